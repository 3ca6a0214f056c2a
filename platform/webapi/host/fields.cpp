// Decoding of the fields of one call: query string, form body, cookie, JSON parameters.
#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "host.h"

namespace webapihost {

namespace {

const char kFormType[] = "application/x-www-form-urlencoded";
// A version is a small decimal number; more digits cannot be one that a table serves.
const size_t kMaxVersionDigits = 9;
// Bounds of parsed parameters. A push nests three deep and holds a few values per kilobyte
// (chunks of about 5.5 KB); a value costs the JSON library up to about 200 bytes, so one per
// 64 bytes of input keeps a request's memory within a few times its size.
const int kMaxDepth = 32;
const size_t kMinElements = 4096;
const size_t kBytesPerElement = 64;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Trim(const std::string& text) {
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  auto begin = std::find_if(text.begin(), text.end(), notSpace);
  auto end = std::find_if(text.rbegin(), text.rend(), notSpace).base();
  return begin < end ? std::string(begin, end) : std::string();
}

bool IsFormBody(const RawRequest& raw) {
  if (raw.contentType.empty()) return !raw.body.empty();
  std::string type = raw.contentType;
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type.compare(0, sizeof(kFormType) - 1, kFormType) == 0;
}

bool ParseVersion(const std::string& text, int& version) {
  if (text.empty() || text.size() > kMaxVersionDigits) return false;
  if (!std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return false;
  version = std::stoi(text);
  return true;
}

// Looks a field up without inserting it.
const std::string* Field(const std::map<std::string, std::string>& fields, const char* name) {
  auto it = fields.find(name);
  return it == fields.end() ? nullptr : &it->second;
}

// The number of values a JSON text would make, and its deepest nesting, without building
// anything. Scalars count as one; so does a text that only looks like a container.
size_t Measure(const std::string& text, int& maxDepth) {
  maxDepth = 0;
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || (text[first] != '[' && text[first] != '{')) return 1;
  size_t elements = 1;
  int depth = 0;
  bool inString = false;
  for (size_t i = first; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      maxDepth = std::max(maxDepth, ++depth);
      ++elements;
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == ',') {
      ++elements;
    }
  }
  return elements;
}

}  // namespace

bool PercentDecode(const std::string& in, bool plusIsSpace, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = HexDigit(in[i + 1]);
      const int lo = HexDigit(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(plusIsSpace && c == '+' ? ' ' : c);
    }
  }
  return true;
}

bool DecodeForm(const std::string& text, std::map<std::string, std::string>& fields) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const size_t eq = piece.find('=');
    std::string name;
    std::string value;
    if (!PercentDecode(piece.substr(0, eq), true, name)) return false;
    if (eq != std::string::npos && !PercentDecode(piece.substr(eq + 1), true, value)) return false;
    if (!name.empty()) fields[name] = value;
  }
  return true;
}

std::string CookieValue(const std::string& header, const std::string& name) {
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    const std::string piece = header.substr(start, end - start);
    start = end + 1;
    const size_t eq = piece.find('=');
    if (eq == std::string::npos || Trim(piece.substr(0, eq)) != name) continue;
    std::string value = Trim(piece.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::string();
}

Json::Value ParamValue(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["strictRoot"] = false;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  try {
    // The reader throws past its nesting limit; such a text is kept as a string.
    if (reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) return value;
  } catch (const std::exception&) {
  }
  return Json::Value(text);
}

namespace {

// The number of pieces a form text holds, counted without decoding any, up to `most` + 1:
// a flood of separators costs no more than the first of them.
size_t CountFields(const std::string& text, size_t most) {
  if (text.empty()) return 0;
  size_t n = 1;
  const char* end = text.data() + text.size();
  for (const char* p = text.data();
       n <= most && (p = static_cast<const char*>(memchr(p, '&', end - p)));)
    ++n, ++p;
  return n;
}

// Decodes the named fields of a form text only; the others are not even copied.
bool PickFields(const std::string& text, std::map<std::string, std::string>& picked) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    // Within this piece only: a search to the end of a large body for every piece would cost
    // the square of its size.
    const void* mark = memchr(text.data() + start, '=', end - start);
    const size_t eq = mark ? static_cast<const char*>(mark) - text.data() : end;
    const size_t nameEnd = eq < end ? eq : end;
    const std::string rawName = text.substr(start, std::min<size_t>(nameEnd - start, 24));
    std::string name;
    if (nameEnd - start <= 24 && PercentDecode(rawName, true, name) &&
        (name == "api" || name == "method" || name == "version" || name == "_sid")) {
      std::string value;
      if (eq < end && !PercentDecode(text.substr(eq + 1, end - eq - 1), true, value)) return false;
      picked[name] = value;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

int DecodeFields(const RawRequest& raw, Call& call) {
  const bool form = IsFormBody(raw);
  const size_t inQuery = CountFields(raw.query, kMaxFields);
  if (inQuery + (form ? CountFields(raw.body, kMaxFields - std::min(inQuery, kMaxFields)) : 0) >
      kMaxFields)
    return WEBAPI_ERR_REFUSED;
  std::map<std::string, std::string> fields;
  if (!PickFields(raw.query, fields)) return WEBAPI_ERR_UNKNOWN;
  if (form && !PickFields(raw.body, fields)) return WEBAPI_ERR_UNKNOWN;
  const std::string* api = Field(fields, "api");
  const std::string* method = Field(fields, "method");
  const std::string* version = Field(fields, "version");
  const std::string* sid = Field(fields, "_sid");
  call.api = api != nullptr ? *api : std::string();
  call.method = method != nullptr ? *method : std::string();
  call.versionText = version != nullptr ? *version : std::string();
  call.sid = sid != nullptr ? *sid : CookieValue(raw.cookie, "id");
  call.params = Json::Value(Json::objectValue);
  call.rawParams.clear();
  if (call.api.empty()) return WEBAPI_ERR_NO_API;
  if (call.method.empty()) return WEBAPI_ERR_NO_METHOD;
  if (!ParseVersion(call.versionText, call.version)) return WEBAPI_ERR_NO_VERSION;
  return 0;
}

bool DecodeParams(const RawRequest& raw, Call& call) {
  std::map<std::string, std::string> fields;
  if (!DecodeForm(raw.query, fields)) return false;
  if (IsFormBody(raw)) {
    std::map<std::string, std::string> bodyFields;
    if (!DecodeForm(raw.body, bodyFields)) return false;
    for (auto& field : bodyFields) fields[field.first] = std::move(field.second);
  }
  for (auto& field : fields) {
    if (field.first == "api" || field.first == "method" || field.first == "version" ||
        field.first == "_sid")
      continue;
    call.rawParams[field.first] = std::move(field.second);
  }
  return true;
}

int ParseParams(Call& call, size_t inputBytes, std::string& why) {
  const size_t budget = kMinElements + inputBytes / kBytesPerElement;
  size_t elements = 0;
  for (const auto& field : call.rawParams) {
    int depth = 0;
    elements += Measure(field.second, depth);
    if (depth > kMaxDepth) {
      why = "a parameter nests deeper than " + std::to_string(kMaxDepth);
      return 400;
    }
    if (elements > budget) {
      why = "the parameters hold more than " + std::to_string(budget) + " values";
      return 413;
    }
  }
  for (auto& field : call.rawParams) {
    Json::Value& value = call.params[field.first] = ParamValue(field.second);
    if (value.isNumeric()) call.numberTexts[field.first] = std::move(field.second);
  }
  call.rawParams.clear();
  return 0;
}

void KeepParamsAsText(Call& call) {
  for (auto& field : call.rawParams)
    call.params[field.first] = Json::Value(std::move(field.second));
  call.rawParams.clear();
}

namespace {

// `form` without its pieces named "_sid" (however the name is encoded).
std::string WithoutSid(const std::string& form) {
  std::string out;
  size_t start = 0;
  while (start <= form.size()) {
    size_t end = form.find('&', start);
    if (end == std::string::npos) end = form.size();
    const std::string piece = form.substr(start, end - start);
    std::string name;
    const bool sid = PercentDecode(piece.substr(0, piece.find('=')), true, name) && name == "_sid";
    if (!sid && !piece.empty()) out += (out.empty() ? "" : "&") + piece;
    start = end + 1;
  }
  return out;
}

}  // namespace

void ForgetSession(RawRequest& raw) {
  raw.query = WithoutSid(raw.query);
  if (IsFormBody(raw)) raw.body = WithoutSid(raw.body);
  raw.cookie.clear();
}

int DecodeCall(const RawRequest& raw, Call& call) {
  const int code = DecodeFields(raw, call);
  if (code == WEBAPI_ERR_REFUSED) return code;
  if (!DecodeParams(raw, call)) return WEBAPI_ERR_UNKNOWN;
  std::string why;
  if (ParseParams(call, raw.query.size() + raw.body.size(), why) != 0) return WEBAPI_ERR_REFUSED;
  return code;
}

}  // namespace webapihost
