#include "webapi.h"

#include <utility>

namespace KEVO {

APIRequest::APIRequest(std::string api, int version, std::string method, Json::Value params,
                       std::string sessionId, std::string remoteIp,
                       std::map<std::string, std::string> numberTexts)
    : api_(std::move(api)),
      version_(version),
      method_(std::move(method)),
      params_(std::move(params)),
      sessionId_(std::move(sessionId)),
      remoteIp_(std::move(remoteIp)),
      numberTexts_(std::move(numberTexts)) {
  // isMember() and get() throw on arrays and scalars; keep the lookups safe for any input.
  if (!params_.isObject()) params_ = Json::Value(Json::objectValue);
}

bool APIRequest::HasParam(const std::string& name) const {
  return params_.isMember(name);
}

Json::Value APIRequest::GetParam(const std::string& name, const Json::Value& defaultValue) const {
  const Json::Value* found = params_.find(name.data(), name.data() + name.size());
  return found != nullptr ? *found : defaultValue;
}

bool APIRequest::GetNumberText(const std::string& name, std::string& text) const {
  auto found = numberTexts_.find(name);
  if (found == numberTexts_.end()) return false;
  text = found->second;
  return true;
}

std::string APIRequest::GetAPIClass() const {
  // A name without a dot belongs to no class.
  const std::string::size_type dot = api_.rfind('.');
  return dot == std::string::npos ? std::string() : api_.substr(0, dot);
}

void APIResponse::SetSuccess(const Json::Value& data) {
  set_ = true;
  success_ = true;
  error_ = 0;
  data_ = data;
  download_ = Download();
}

void APIResponse::SetDownload(Download download) {
  SetSuccess(Json::Value());
  download_ = std::move(download);
}

void APIResponse::SetError(int code, const Json::Value& data) {
  set_ = true;
  success_ = false;
  error_ = code;
  data_ = data;
  download_ = Download();
}

Json::Value APIResponse::ToJson() const {
  Json::Value answer(Json::objectValue);
  if (IsSuccess()) {
    answer["success"] = true;
    if (!data_.isNull()) answer["data"] = data_;
    return answer;
  }
  answer["success"] = false;
  answer["error"]["code"] = set_ ? error_ : WEBAPI_ERR_NO_ANSWER;
  return answer;
}

}  // namespace KEVO
