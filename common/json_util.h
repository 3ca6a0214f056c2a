// JSON text helpers and non-throwing readers of pushed values.
//
// jsoncpp's as*() conversions, and operator[] on values of the wrong type, throw; no
// exception may reach the server, so every handler reads pushed values through these.
// A reader returns its fallback (empty text, 0, false) when the value is missing, of another
// type or out of range, and then sets `*ok` to false when `ok` is given.
#ifndef FLX_COMMON_JSON_UTIL_H
#define FLX_COMMON_JSON_UTIL_H

#include <json/value.h>
#include <stdint.h>

#include <string>

namespace flx {

// The value as compact JSON text.
std::string toString(const Json::Value& value);
// Parses `text` (comments allowed and kept) into `out`. False, with `out` untouched, when
// the text is not valid JSON.
bool fromString(const std::string& text, Json::Value& out);

// True when `obj` is an object with member `key`.
bool jsonHas(const Json::Value& obj, const char* key);
// Member `key` of `obj`, or a null value when `obj` is not an object or lacks it.
const Json::Value& jsonMember(const Json::Value& obj, const char* key);
// Element `index` of `arr`, or a null value when `arr` is not an array or is shorter.
const Json::Value& jsonAt(const Json::Value& arr, Json::ArrayIndex index);

// Strings only.
std::string jsonText(const Json::Value& v, bool* ok = nullptr);
// Integers (and booleans, and reals with an integral value) in the type's range.
uint64_t jsonU64(const Json::Value& v, bool* ok = nullptr);
int64_t jsonI64(const Json::Value& v, bool* ok = nullptr);
uint32_t jsonU32(const Json::Value& v, bool* ok = nullptr);
int32_t jsonI32(const Json::Value& v, bool* ok = nullptr);
// Booleans, and integers (non-zero is true).
bool jsonBool(const Json::Value& v, bool* ok = nullptr);

}  // namespace flx

#endif  // FLX_COMMON_JSON_UTIL_H
