#include "common/json_util.h"

#include <json/reader.h>
#include <json/writer.h>
#include <string.h>

#include <limits>
#include <memory>
#include <type_traits>

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

// A number as integer type T, as jsoncpp converts it: integers in T's range, reals from
// `low` up to `high` cut toward zero, null 0, booleans 0 or 1. `high` is excluded for the
// 64-bit types, where it is the first value that does not fit (2^63, 2^64).
template <typename T>
T readNumber(const Json::Value& v, double low, double high, bool highIncluded, bool* ok) {
  switch (v.type()) {
    case Json::nullValue:
      return pass<T>(0, ok);
    case Json::booleanValue:
      return pass<T>(v.asBool() ? 1 : 0, ok);
    case Json::intValue: {
      const int64_t i = v.asInt64();
      if (i < 0 && std::is_unsigned<T>::value) return fail<T>(ok);
      if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
          (i > 0 && static_cast<uint64_t>(i) > std::numeric_limits<T>::max())) {
        return fail<T>(ok);
      }
      return pass<T>(static_cast<T>(i), ok);
    }
    case Json::uintValue: {
      const uint64_t u = v.asUInt64();
      if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) return fail<T>(ok);
      return pass<T>(static_cast<T>(u), ok);
    }
    case Json::realValue: {
      const double d = v.asDouble();
      const bool below = highIncluded ? d <= high : d < high;
      if (!(d >= low && below)) return fail<T>(ok);  // NaN fails here too
      return pass<T>(static_cast<T>(d), ok);
    }
    default:
      return fail<T>(ok);
  }
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
    builder["strictRoot"] = false;
    builder["allowTrailingCommas"] = false;
    builder["skipBom"] = false;
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
  if (v.isArray() || v.isObject()) return fail<std::string>(ok);
  return pass(v.asString(), ok);
}

uint64_t jsonU64(const Json::Value& v, bool* ok) {
  return readNumber<uint64_t>(v, 0.0, 18446744073709551616.0, false, ok);
}

int64_t jsonI64(const Json::Value& v, bool* ok) {
  return readNumber<int64_t>(v, -9223372036854775808.0, 9223372036854775808.0, false, ok);
}

uint32_t jsonU32(const Json::Value& v, bool* ok) {
  return readNumber<uint32_t>(v, 0.0, 4294967295.0, true, ok);
}

int32_t jsonI32(const Json::Value& v, bool* ok) {
  return readNumber<int32_t>(v, -2147483648.0, 2147483647.0, true, ok);
}

bool jsonBool(const Json::Value& v, bool* ok) {
  switch (v.type()) {
    case Json::nullValue:
      return pass(false, ok);
    case Json::booleanValue:
      return pass(v.asBool(), ok);
    case Json::intValue:
      return pass(v.asInt64() != 0, ok);
    case Json::uintValue:
      return pass(v.asUInt64() != 0, ok);
    case Json::realValue:
      return pass(v.asDouble() != 0.0, ok);
    default:
      return fail<bool>(ok);
  }
}

}  // namespace flx
