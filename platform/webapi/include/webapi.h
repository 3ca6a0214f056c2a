// Web API framework: the request and response objects that the host hands to a module's
// method handlers, and the layout of the API table that a module exports.
#ifndef WEBAPI_H
#define WEBAPI_H

#include <json/value.h>
#include <stddef.h>

#include <functional>
#include <map>
#include <string>

namespace KEVO {

// One web API call: its name, version, method, session, caller and parameters.
class APIRequest {
 public:
  APIRequest(std::string api, int version, std::string method, Json::Value params,
             std::string sessionId, std::string remoteIp,
             std::map<std::string, std::string> numberTexts = {});

  // True when the request carries parameter `name`.
  bool HasParam(const std::string& name) const;
  // The parameter's value (already decoded as JSON), or `defaultValue` when absent.
  Json::Value GetParam(const std::string& name, const Json::Value& defaultValue) const;
  // The text a parameter that parsed as a JSON number was sent as ("2.10", "007"): a number
  // loses it. False when the parameter is absent or no number.
  bool GetNumberText(const std::string& name, std::string& text) const;
  // The API name without its last dotted component ("KEVO.FLX.RPC" for
  // "KEVO.FLX.RPC.ClientInfo").
  std::string GetAPIClass() const;
  std::string GetAPIName() const { return api_; }
  int GetAPIVersion() const { return version_; }
  std::string GetAPIMethod() const { return method_; }
  std::string GetSessionID() const { return sessionId_; }
  std::string GetRemoteIP() const { return remoteIp_; }

 private:
  std::string api_;
  int version_;
  std::string method_;
  Json::Value params_;  // an object
  std::string sessionId_;
  std::string remoteIp_;
  std::map<std::string, std::string> numberTexts_;
};

// Writes one piece of a download's body; false when the client is gone (stop then).
using BodyWriter = std::function<bool(const char* data, size_t size)>;
// Writes a whole download through `write`; false when it had to stop part way.
using BodyProducer = std::function<bool(const BodyWriter& write)>;

// A download answered instead of the JSON object: its type, its file name and the code that
// writes its body piece by piece once the method has returned, so that a large list is never
// held whole.
struct Download {
  std::string contentType;
  std::string fileName;
  BodyProducer producer;
};

// The answer of one call: success with optional data, or an error code. The last call of
// SetSuccess or SetError decides.
class APIResponse {
 public:
  void SetSuccess(const Json::Value& data);
  void SetError(int code, const Json::Value& data);
  // Answers with a download (success for the log and the counters); a later SetError wins.
  void SetDownload(Download download);

  bool IsSet() const { return set_; }
  bool IsSuccess() const { return set_ && success_; }
  int GetError() const { return error_; }
  const Json::Value& GetData() const { return data_; }
  bool IsDownload() const { return IsSuccess() && download_.producer != nullptr; }
  // Hands the download over to the host, which writes it after the call.
  Download TakeDownload() { return std::move(download_); }
  // {"success":true[,"data":...]} or {"success":false,"error":{"code":N}}; an answer that
  // was never set is an error of its own code (WEBAPI_ERR_NO_ANSWER).
  Json::Value ToJson() const;

 private:
  bool set_ = false;
  bool success_ = false;
  int error_ = 0;
  Json::Value data_;
  Download download_;
};

}  // namespace KEVO

// Codes of the framework's own refusals (never 105 or 400, which belong to modules).
#define WEBAPI_ERR_UNKNOWN 100
#define WEBAPI_ERR_NO_API 101
#define WEBAPI_ERR_NO_METHOD 103
#define WEBAPI_ERR_NO_VERSION 104
#define WEBAPI_ERR_NO_ANSWER 117
#define WEBAPI_ERR_MODULE_FAILED 118
// A limit of the host refused the request; the HTTP status says which.
#define WEBAPI_ERR_REFUSED 119

typedef void (*WEBAPI_METHOD_HANDLER)(KEVO::APIRequest*, KEVO::APIResponse*);

// One row of a module's API table; the table ends with an all-zero row. 32 bytes on 64-bit.
struct WEBAPI_ENTRY {
  const char* szAPI;
  long version;
  const char* szMethod;
  WEBAPI_METHOD_HANDLER handler;
};

// The one symbol that the host looks up in a module.
extern "C" typedef const WEBAPI_ENTRY* (*WEBAPI_GET_TABLE)(void);
#define WEBAPI_GET_TABLE_SYMBOL "GetAPITable"

#endif  // WEBAPI_H
