// The push client shared by flx-push and flx-agent: enciphers each item's payload in chunks
// with the push key and sends a batch as one push call.
#ifndef FLX_TOOLS_PUSH_H
#define FLX_TOOLS_PUSH_H

#include <json/value.h>
#include <stddef.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace flxpush {

// Exit codes of flx-push and flx-agent.
const int kExitSuccess = 0;
const int kExitErrorAnswer = 1;
const int kExitUsage = 2;  // also transport errors

const size_t kDefaultChunkSize = 4096;
// Largest --chunk-size: the cipher takes int lengths, and a host buffers a chunk whole.
const size_t kMaxChunkSize = size_t(16) << 20;
const char kEntryPath[] = "/webapi/entry.cgi";

struct PushOptions {
  std::string url;
  std::string sid;
  std::string keyFile;  // empty: the host's push key below the root
  std::string caFile;   // https: the certificates to trust; empty: the system's
  std::string clientSn;
  bool hasClientSn = false;
  // The machine's identity fingerprint, sent as one more field (the agent's); empty: none.
  std::string fingerprint;
  size_t chunkSize = kDefaultChunkSize;
  bool raw = false;  // each item's data is already an array of chunks
  std::string batchFile;
};

// Splits URL into "scheme://host[:port]" and the path (kEntryPath when the URL has none). A
// URL without a scheme is taken as http. False, with `err` set, for other schemes or no host.
bool SplitUrl(const std::string& url, std::string& origin, std::string& path, std::string& err);
// Cuts `text` into consecutive pieces of at most `size` bytes (none for an empty text).
std::vector<std::string> CutText(const std::string& text, size_t size);
// Percent-encodes name/value pairs as an application/x-www-form-urlencoded body.
std::string FormEncode(const std::vector<std::pair<std::string, std::string>>& fields);
// The items to send: each item of `batch` with its "data" serialised compactly, cut into
// pieces of `chunkSize` bytes and each piece enciphered with `key` (32 bytes); with `raw`
// the items go as given. False, with `err` set, when the batch is not an array of objects
// with "data" or a piece cannot be enciphered.
bool BuildItems(const Json::Value& batch, const unsigned char* key, size_t chunkSize, bool raw,
                Json::Value& items, std::string& err);
// Reads the batch file, then as PushBatch. Returns the exit code.
int Push(const PushOptions& options, std::ostream& out, std::ostream& err);
// Builds the items of `batch`, sends one push and prints the answer to `out`; messages go to
// `err`, one line each, prefixed with `tool`. `options.batchFile` is not read. Returns the
// exit code; `answer` (when given) gets the host's error code (0: success or no answer).
int PushBatch(const PushOptions& options, const Json::Value& batch, std::ostream& out,
              std::ostream& err, const char* tool = "flx-push", int* answer = nullptr);
// The host's error code of a web API answer's text, 0 for success or no such answer.
int AnswerCode(const std::string& body);
// The compact JSON text of `value` (no indentation, UTF-8 kept).
std::string Compact(const Json::Value& value);

}  // namespace flxpush

#endif  // FLX_TOOLS_PUSH_H
