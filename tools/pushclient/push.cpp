#include "push.h"

#include <httplib.h>
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>

#include "kevocore.h"
#include "kevoroot.h"

namespace flxpush {

namespace {

const char kApi[] = "KEVO.FLX.RPC.ClientInfo";
const char kFormType[] = "application/x-www-form-urlencoded";
const size_t kKeySize = 32;
const time_t kConnectSeconds = 10;
// A large batch may keep the host busy for a while.
const time_t kTransferSeconds = 300;

bool ReadBatch(const std::string& file, Json::Value& batch, std::string& err) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    err = "cannot read the batch file " + file + ": check the path";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const std::string content = text.str();
  Json::CharReaderBuilder builder;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string why;
  bool parsed = false;
  try {
    parsed = reader->parse(content.data(), content.data() + content.size(), &batch, &why);
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (!parsed) {
    for (char& c : why) c = c == '\n' ? ' ' : c;
    err = file + " is not valid JSON (" + why + "): fix the batch file";
  }
  return parsed;
}

// Enciphers each piece of the payload's compact text into one chunk.
bool EncipherPayload(const Json::Value& data, const unsigned char* key, size_t chunkSize,
                     Json::Value& chunks, std::string& err) {
  chunks = Json::Value(Json::arrayValue);
  for (const std::string& piece : CutText(Compact(data), chunkSize)) {
    const int length = static_cast<int>(piece.size());
    const int size = KVLIBCryptSzChunkSize(length);
    std::vector<char> out(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    if (size <= 0 || KVLIBCryptSzEncryptWithKey(key, piece.data(), length, out.data(), size) <= 0) {
      err = "cannot encipher a payload piece (core library error 0x" +
            std::to_string(KVLIBErrGet()) + "): check the key file";
      return false;
    }
    chunks.append(std::string(out.data()));
  }
  return true;
}

bool ReadKey(const PushOptions& options, unsigned char* key, std::string& err) {
  const std::string path = options.keyFile.empty()
                               ? std::string(KEVORootPrefix()) + KEVO_PUSH_KEY_PATH
                               : options.keyFile;
  if (KVLIBCryptReadKeyFile(path.c_str(), key) != 0) {
    err = "cannot read the push key " + path +
          " (64 hex digits expected): give the host's key file with --key";
    return false;
  }
  return true;
}

std::string RequestBody(const PushOptions& options, const Json::Value& items) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"api", kApi}, {"version", "1"}, {"method", "push"}, {"_sid", options.sid}};
  if (options.hasClientSn) fields.emplace_back("client_sn", options.clientSn);
  if (!options.fingerprint.empty()) fields.emplace_back("fingerprint", options.fingerprint);
  fields.emplace_back("items", Compact(items));
  return FormEncode(fields);
}

const char* RefusalHint(int code) {
  switch (code) {
    case 105:
      return "the session is unknown, expired or not the device's; create one with "
             "flx-admin session add";
    case 400:
      return "an item did not decipher or the batch is malformed; check --key and the batch";
    case 403:
      return "the device waits for the operator's approval (flx-admin device approve)";
    case 409:
      return "the session belongs to another machine (a clone?): enroll this one with "
             "flx-agent enroll";
    default:
      return "see the host's log";
  }
}

// Prints the answer and turns it into the exit code.
int Conclude(const httplib::Response& response, std::ostream& out, std::ostream& err,
             const char* tool) {
  if (!response.body.empty()) out << response.body << (response.body.back() == '\n' ? "" : "\n");
  if (response.status != 200) {
    err << tool << ": the host answered HTTP " << response.status
        << (response.status == 413 ? " (request too large): push fewer or smaller items"
                                   : ": check the URL and the host's log")
        << std::endl;
    return kExitErrorAnswer;
  }
  Json::Value answer;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const std::string& body = response.body;
  if (!reader->parse(body.data(), body.data() + body.size(), &answer, nullptr) ||
      !answer.isObject() || !answer["success"].isBool()) {
    err << tool
        << ": the answer is not a web API answer: check that the URL names the host's "
           "entry point"
        << std::endl;
    return kExitUsage;
  }
  if (answer["success"].asBool()) return kExitSuccess;
  // Read through a const reference: operator[] on a non-object would otherwise throw.
  const Json::Value& error = static_cast<const Json::Value&>(answer)["error"];
  const Json::Value& code = error.isObject() ? error["code"] : Json::Value::nullSingleton();
  err << tool << ": the host refused the push with error " << Compact(code) << ": "
      << RefusalHint(code.isInt() ? code.asInt() : 0) << std::endl;
  return kExitErrorAnswer;
}

}  // namespace

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

bool SplitUrl(const std::string& url, std::string& origin, std::string& path, std::string& err) {
  std::string rest = url;
  std::string scheme = "http";
  const size_t sep = url.find("://");
  if (sep != std::string::npos) {
    scheme = url.substr(0, sep);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    rest = url.substr(sep + 3);
  }
  if (scheme != "http" && scheme != "https") {
    err = "unsupported URL scheme '" + scheme + "' in --url: use http:// or https://";
    return false;
  }
  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  if (authority.empty()) {
    err = "no host in --url '" + url + "': give e.g. http://127.0.0.1:5000";
    return false;
  }
  origin = scheme + "://" + authority;
  path = slash == std::string::npos ? std::string() : rest.substr(slash);
  if (path.empty() || path == "/") path = kEntryPath;
  return true;
}

std::vector<std::string> CutText(const std::string& text, size_t size) {
  std::vector<std::string> pieces;
  if (size == 0) size = kDefaultChunkSize;
  for (size_t at = 0; at < text.size(); at += size) pieces.push_back(text.substr(at, size));
  return pieces;
}

std::string FormEncode(const std::vector<std::pair<std::string, std::string>>& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string body;
  const auto encode = [&body](const std::string& text) {
    for (unsigned char c : text) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
        body.push_back(static_cast<char>(c));
      } else {
        body.push_back('%');
        body.push_back(kHex[c >> 4]);
        body.push_back(kHex[c & 15]);
      }
    }
  };
  for (const auto& field : fields) {
    if (!body.empty()) body.push_back('&');
    encode(field.first);
    body.push_back('=');
    encode(field.second);
  }
  return body;
}

bool BuildItems(const Json::Value& batch, const unsigned char* key, size_t chunkSize, bool raw,
                Json::Value& items, std::string& err) {
  if (!batch.isArray()) {
    err = "the batch must be a JSON array of items {group_name, module_name, collect_time, data}";
    return false;
  }
  items = Json::Value(Json::arrayValue);
  for (Json::ArrayIndex i = 0; i < batch.size(); ++i) {
    const Json::Value& item = batch[i];
    if (!item.isObject() || !item.isMember("data")) {
      err = "item " + std::to_string(i) + " of the batch is not an object with \"data\"";
      return false;
    }
    Json::Value sent = item;
    if (!raw && !EncipherPayload(item["data"], key, chunkSize, sent["data"], err)) return false;
    items.append(sent);
  }
  return true;
}

int Push(const PushOptions& options, std::ostream& out, std::ostream& err) {
  Json::Value batch;
  std::string why;
  if (!ReadBatch(options.batchFile, batch, why)) {
    err << "flx-push: " << why << std::endl;
    return kExitUsage;
  }
  return PushBatch(options, batch, out, err);
}

int AnswerCode(const std::string& body) {
  Json::Value answer;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(body.data(), body.data() + body.size(), &answer, nullptr) ||
      !answer.isObject())
    return 0;
  const Json::Value& error = static_cast<const Json::Value&>(answer)["error"];
  const Json::Value& code = error.isObject() ? error["code"] : Json::Value::nullSingleton();
  return code.isInt() ? code.asInt() : 0;
}

int PushBatch(const PushOptions& options, const Json::Value& batch, std::ostream& out,
              std::ostream& err, const char* tool, int* answer) {
  if (answer != nullptr) *answer = 0;
  std::string origin;
  std::string path;
  std::string why;
  unsigned char key[kKeySize] = {0};
  Json::Value items;
  if (options.chunkSize == 0 || options.chunkSize > kMaxChunkSize) {
    err << tool << ": --chunk-size must be between 1 and " << kMaxChunkSize << std::endl;
    return kExitUsage;
  }
  if (!SplitUrl(options.url, origin, path, why) || (!options.raw && !ReadKey(options, key, why)) ||
      !BuildItems(batch, key, options.chunkSize, options.raw, items, why)) {
    err << tool << ": " << why << std::endl;
    return kExitUsage;
  }
  httplib::Client client(origin);
  if (!options.caFile.empty()) client.set_ca_cert_path(options.caFile);
  client.set_connection_timeout(kConnectSeconds);
  client.set_read_timeout(kTransferSeconds);
  client.set_write_timeout(kTransferSeconds);
  const httplib::Result result = client.Post(path, RequestBody(options, items), kFormType);
  if (!result) {
    err << tool << ": cannot reach " << origin << " (" << httplib::to_string(result.error())
        << "): check that the host runs and --url is right" << std::endl;
    return kExitUsage;
  }
  if (answer != nullptr && result->status == 200) *answer = AnswerCode(result->body);
  return Conclude(*result, out, err, tool);
}

}  // namespace flxpush
