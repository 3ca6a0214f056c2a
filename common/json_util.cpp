#include "common/json_util.h"

#include <json/reader.h>
#include <json/writer.h>
#include <string.h>

#include <memory>

namespace flx {

namespace {

const Json::Value& nullValue() {
  static const Json::Value kNull;
  return kNull;
}

template <typename T>
T fail(bool* ok) {
  if (ok != nullptr) *ok = false;
  return T();
}

template <typename T>
T pass(T value, bool* ok) {
  if (ok != nullptr) *ok = true;
  return value;
}

}  // namespace

std::string toString(const Json::Value& value) {
  try {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
  } catch (...) {
    return std::string();
  }
}

bool fromString(const std::string& text, Json::Value& out) {
  try {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = true;
    builder["allowComments"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string errors;
    const char* begin = text.data();
    if (!reader->parse(begin, begin + text.size(), &parsed, &errors)) return false;
    out.swap(parsed);
    return true;
  } catch (...) {
    // The reader throws on documents nested deeper than its stack limit.
    return false;
  }
}

bool jsonHas(const Json::Value& obj, const char* key) {
  return obj.isObject() && key != nullptr && obj.find(key, key + strlen(key)) != nullptr;
}

const Json::Value& jsonMember(const Json::Value& obj, const char* key) {
  if (!obj.isObject() || key == nullptr) return nullValue();
  const Json::Value* found = obj.find(key, key + strlen(key));
  return found != nullptr ? *found : nullValue();
}

const Json::Value& jsonAt(const Json::Value& arr, Json::ArrayIndex index) {
  if (!arr.isArray() || index >= arr.size()) return nullValue();
  return arr[index];
}

std::string jsonText(const Json::Value& v, bool* ok) {
  return v.isString() ? pass(v.asString(), ok) : fail<std::string>(ok);
}

uint64_t jsonU64(const Json::Value& v, bool* ok) {
  if (v.isBool()) return pass<uint64_t>(v.asBool() ? 1 : 0, ok);
  return v.isUInt64() ? pass<uint64_t>(v.asUInt64(), ok) : fail<uint64_t>(ok);
}

int64_t jsonI64(const Json::Value& v, bool* ok) {
  if (v.isBool()) return pass<int64_t>(v.asBool() ? 1 : 0, ok);
  return v.isInt64() ? pass<int64_t>(v.asInt64(), ok) : fail<int64_t>(ok);
}

uint32_t jsonU32(const Json::Value& v, bool* ok) {
  if (v.isBool()) return pass<uint32_t>(v.asBool() ? 1 : 0, ok);
  return v.isUInt() ? pass<uint32_t>(v.asUInt(), ok) : fail<uint32_t>(ok);
}

int32_t jsonI32(const Json::Value& v, bool* ok) {
  if (v.isBool()) return pass<int32_t>(v.asBool() ? 1 : 0, ok);
  return v.isInt() ? pass<int32_t>(v.asInt(), ok) : fail<int32_t>(ok);
}

bool jsonBool(const Json::Value& v, bool* ok) {
  if (v.isBool()) return pass(v.asBool(), ok);
  if (v.isIntegral()) return pass(v.isInt64() ? v.asInt64() != 0 : v.asUInt64() != 0, ok);
  return fail<bool>(ok);
}

}  // namespace flx
