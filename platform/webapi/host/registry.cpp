// The API tables of the loaded modules, and the call of one method.
#include <dlfcn.h>
#include <json/writer.h>
#include <syslog.h>

#include <chrono>
#include <memory>

#include "host.h"

namespace webapihost {

namespace {

// Client-chosen names go into log lines: keep them short and on one line.
const size_t kMaxLoggedName = 80;

std::string Loggable(const std::string& text) {
  std::string out = text.substr(0, kMaxLoggedName);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (text.size() > kMaxLoggedName) out += "...";
  return out.empty() ? std::string("-") : out;
}

bool IsZeroRow(const WEBAPI_ENTRY& row) {
  return row.szAPI == nullptr && row.version == 0 && row.szMethod == nullptr &&
         row.handler == nullptr;
}

}  // namespace

ApiRegistry::~ApiRegistry() {
  for (void* handle : handles_) dlclose(handle);
}

bool ApiRegistry::LoadModule(const std::string& path, std::string& err) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    err = "cannot load module " + path + ": " + (why != nullptr ? why : "unknown error");
    syslog(LOG_ERR, "%s", err.c_str());
    return false;
  }
  dlerror();
  auto getTable = reinterpret_cast<WEBAPI_GET_TABLE>(dlsym(handle, WEBAPI_GET_TABLE_SYMBOL));
  if (getTable == nullptr) {
    const char* why = dlerror();
    err = "module " + path + " has no " WEBAPI_GET_TABLE_SYMBOL ": " +
          (why != nullptr ? why : "null symbol");
    syslog(LOG_ERR, "%s", err.c_str());
    dlclose(handle);
    return false;
  }
  if (AddTable(getTable(), path) <= 0) {
    err = "module " + path + " serves no method (empty or unterminated API table)";
    syslog(LOG_ERR, "%s", err.c_str());
    dlclose(handle);
    return false;
  }
  handles_.push_back(handle);
  return true;
}

int ApiRegistry::AddTable(const WEBAPI_ENTRY* table, const std::string& origin) {
  if (table == nullptr) return -1;
  int rows = 0;
  while (rows < kMaxRows && !IsZeroRow(table[rows])) ++rows;
  if (rows == kMaxRows) {
    syslog(LOG_ERR, "API table of %s has no all-zero row within %d rows", origin.c_str(), kMaxRows);
    return -1;
  }
  int added = 0;
  for (int i = 0; i < rows; ++i) {
    const WEBAPI_ENTRY& row = table[i];
    if (row.szAPI == nullptr || row.szMethod == nullptr || row.handler == nullptr) {
      syslog(LOG_ERR, "API table of %s: row %d lacks a name or handler; skipped", origin.c_str(),
             i);
      continue;
    }
    entries_.push_back(Entry{row.szAPI, row.version, row.szMethod, row.handler});
    ++added;
  }
  return added;
}

int ApiRegistry::Find(const std::string& api, long version, const std::string& method,
                      WEBAPI_METHOD_HANDLER* handler) const {
  int code = WEBAPI_ERR_NO_API;
  for (const Entry& entry : entries_) {
    if (entry.api != api) continue;
    if (entry.method != method) continue;
    code = WEBAPI_ERR_NO_VERSION;
    if (entry.version != version) continue;
    *handler = entry.handler;
    return 0;
  }
  if (code == WEBAPI_ERR_NO_API) {
    for (const Entry& entry : entries_) {
      if (entry.api == api) return WEBAPI_ERR_NO_METHOD;
    }
  }
  return code;
}

int Dispatcher::Invoke(WEBAPI_METHOD_HANDLER handler, KEVO::APIRequest& request,
                       KEVO::APIResponse& response) {
  try {
    handler(&request, &response);
    return 0;
  } catch (const std::exception& e) {
    syslog(LOG_ERR, "method %s.%s failed with an exception: %s",
           Loggable(request.GetAPIName()).c_str(), Loggable(request.GetAPIMethod()).c_str(),
           e.what());
  } catch (...) {
    syslog(LOG_ERR, "method %s.%s failed with an exception", Loggable(request.GetAPIName()).c_str(),
           Loggable(request.GetAPIMethod()).c_str());
  }
  response.SetError(WEBAPI_ERR_MODULE_FAILED, Json::Value());
  return -1;
}

Json::Value Dispatcher::Handle(const RawRequest& raw, int* httpStatus, const BeforeCall& before,
                               Outcome* outcome) {
  const auto start = std::chrono::steady_clock::now();
  Call call;
  KEVO::APIResponse response;
  WEBAPI_METHOD_HANDLER handler = nullptr;
  int status = 200;
  std::string who;
  std::string refused;
  bool allowed = false;
  int code = DecodeFields(raw, call);
  if (code == WEBAPI_ERR_REFUSED) {
    status = 413;
    refused = "too_many_fields";
    syslog(LOG_WARNING, "refused 413 from %s: more than %zu fields", Loggable(raw.remoteIp).c_str(),
           kMaxFields);
  }
  if (code == 0) code = registry_.Find(call.api, call.version, call.method, &handler);
  if (code == 0) {
    // The session is checked from the names alone: a caller without one costs no decoding.
    const size_t dot = call.api.rfind('.');
    SessionQuery query;
    query.api = call.api;
    query.apiClass = dot == std::string::npos ? std::string() : call.api.substr(0, dot);
    query.method = call.method;
    query.version = call.version;
    query.sid = call.sid;
    query.requestMethod = raw.requestMethod;
    query.remoteIp = raw.remoteIp;
    allowed = !hooks_.check || hooks_.check(query, who);
    if (outcome != nullptr) {
      outcome->api = call.api;
      outcome->method = call.method;
    }
    // A refused call reaches only a module that checks the session itself.
    const int refusal = allowed          ? 0
                        : hooks_.refusal ? hooks_.refusal(query)
                                         : int(WEBAPI_ERR_REFUSED);
    if (refusal != 0) {
      code = refusal;
      refused = "session";
    } else if (!DecodeParams(raw, call)) {
      code = WEBAPI_ERR_UNKNOWN;
      refused = "bad_encoding";
    } else if (!allowed) {
      KeepParamsAsText(call);  // the module refuses it, nothing is parsed
      refused = "session";
    } else {
      std::string why;
      status = ParseParams(call, raw.query.size() + raw.body.size(), why);
      if (status != 0) {
        syslog(LOG_WARNING, "refused %d from %s: %s", status, Loggable(raw.remoteIp).c_str(),
               why.c_str());
        code = WEBAPI_ERR_REFUSED;
        refused = status == 413 ? "too_many_values" : "too_deep";
      } else {
        status = 200;
        if (hooks_.admit) code = hooks_.admit(call, who);
        if (code != 0) refused = "admission";
      }
    }
  }
  if (code != 0) {
    response.SetError(code, Json::Value());
  } else {
    if (before && allowed) before(call, who);
    KEVO::APIRequest request(call.api, call.version, call.method, call.params, call.sid,
                             raw.remoteIp, call.numberTexts);
    Invoke(handler, request, response);
    if (outcome != nullptr && response.IsDownload()) outcome->download = response.TakeDownload();
    if (hooks_.after) hooks_.after(call, who, response);
  }
  if (httpStatus != nullptr) *httpStatus = status;
  const Json::Value answer = response.ToJson();
  const int answerCode = response.IsSuccess() ? 0 : answer["error"]["code"].asInt();
  if (outcome != nullptr) {
    outcome->code = answerCode;
    outcome->refused = refused;
  }
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  // Notice, above the modules' info lines, so that --log-level notice keeps one line a request.
  syslog(LOG_NOTICE, "request api=%s method=%s version=%s code=%d duration=%lldms",
         Loggable(call.api).c_str(), Loggable(call.method).c_str(),
         Loggable(call.versionText).c_str(), answerCode, ms);
  return answer;
}

std::string AnswerText(const Json::Value& answer) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  // Written by hand so that "success" leads, as clients read it first.
  const Json::Value& success = answer["success"];
  std::string text = "{\"success\":" + Json::writeString(builder, success);
  for (const char* key : {"data", "error"}) {
    const Json::Value& value = answer[key];
    if (!value.isNull())
      text += std::string(",\"") + key + "\":" + Json::writeString(builder, value);
  }
  return text + "}";
}

}  // namespace webapihost
