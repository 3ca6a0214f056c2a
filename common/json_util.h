// JSON text helpers and non-throwing readers of pushed values.
//
// jsoncpp's as*() conversions, and operator[] on values of the wrong type, throw; no
// exception may reach the server, so every handler reads pushed values through these.
// A reader converts as the matching as*() does (null is ""/0/false, numbers and booleans
// become text, a fraction is cut toward zero when it fits, a boolean is 0 or 1). Where as*()
// would throw (an object or array, text read as a number, a number out of the type's range)
// it returns its fallback ("", 0, false) and sets `*ok` to false when `ok` is given.
#ifndef FLX_COMMON_JSON_UTIL_H
#define FLX_COMMON_JSON_UTIL_H

#include <json/value.h>
#include <stdint.h>

#include <string>

namespace flx {

// The value as compact JSON text.
std::string toString(const Json::Value& value);
// Parses `text` into `out` as the classic reader does: comments allowed, any value as root,
// but no trailing comma and no byte-order mark. False, with `out` untouched, when the text is
// not valid JSON. Every pushed payload is read through this one setting.
bool fromString(const std::string& text, Json::Value& out);

// True when `obj` is an object with member `key`.
bool jsonHas(const Json::Value& obj, const char* key);
// Member `key` of `obj`, or a null value when `obj` is not an object or lacks it.
const Json::Value& jsonMember(const Json::Value& obj, const char* key);
// Element `index` of `arr`, or a null value when `arr` is not an array or is shorter.
const Json::Value& jsonAt(const Json::Value& arr, Json::ArrayIndex index);

// asString(): text, numbers and booleans as their text, null as "".
std::string jsonText(const Json::Value& v, bool* ok = nullptr);
// asUInt64(), asInt64(), asUInt(), asInt().
uint64_t jsonU64(const Json::Value& v, bool* ok = nullptr);
int64_t jsonI64(const Json::Value& v, bool* ok = nullptr);
uint32_t jsonU32(const Json::Value& v, bool* ok = nullptr);
int32_t jsonI32(const Json::Value& v, bool* ok = nullptr);
// asBool(): a number is true when non-zero.
bool jsonBool(const Json::Value& v, bool* ok = nullptr);

}  // namespace flx

#endif  // FLX_COMMON_JSON_UTIL_H
