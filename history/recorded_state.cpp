// The state of a device as the history records it: read from deviceShow's object, kept as
// JSON text between notes, and compared into change events.
#include <ctype.h>
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <memory>

#include "writer.h"
#include "writer_internal.h"

namespace flxhistory {
namespace detail {
namespace {

const char* const kDeviceFields[] = {"hostname",     "model_name", "version",
                                     "build_number", "status",     "cluster_role"};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

const Json::Value& rowsOf(const Json::Value& show, const char* table) {
  return show.isMember(table) ? show[table] : show["cache"][table];
}

Json::Value fieldsJson(const Fields& f) {
  Json::Value o(Json::objectValue);
  for (const auto& kv : f) o[kv.first] = kv.second;
  return o;
}

Fields fieldsOf(const Json::Value& o) {
  Fields f;
  for (const std::string& name : o.getMemberNames()) f[name] = o[name].asString();
  return f;
}

bool parseState(const std::string& textIn, Recorded& r);

}  // namespace

std::string text(const Json::Value& v) {
  if (v.isNull()) return "";
  if (v.isString()) return v.asString();
  if (v.isBool()) return v.asBool() ? "true" : "false";
  if (v.isIntegral())
    return v.isInt64() ? std::to_string(v.asInt64()) : std::to_string(v.asUInt64());
  if (v.isNumeric()) return Json::writeString(Json::StreamWriterBuilder(), v);
  return Json::writeString(Json::StreamWriterBuilder(), v);
}

int64_t integer(const Json::Value& v) {
  if (v.isIntegral()) return v.isInt64() ? v.asInt64() : static_cast<int64_t>(v.asUInt64());
  if (v.isNumeric()) return static_cast<int64_t>(v.asDouble());
  return 0;
}

bool failing(const std::string& status, const std::string& smart) {
  static const std::set<std::string> goodStatus = {"", "good", "normal", "ready", "initialized"};
  static const std::set<std::string> goodSmart = {"", "normal", "good", "ok"};
  return goodStatus.count(lower(status)) == 0 || goodSmart.count(lower(smart)) == 0;
}

Current current(const Json::Value& show) {
  Current c;
  const Json::Value& dev = show["device"];
  c.id = integer(dev["id"]);
  c.sn = dev["sn"].asString();
  for (const char* f : kDeviceFields) c.device[f] = text(dev[f]);
  for (const KindSpec& k : kKinds) {
    Objects& objs = c.objects[k.kind];
    for (const Json::Value& row : rowsOf(show, k.table)) {
      Fields& fields = objs[boundedValue(text(row[k.key]))];
      for (const char* f : k.fields) fields[f] = text(row[f]);
    }
  }
  for (const char* table : {"vol_info", "dg_info", "hdd_info"}) {
    for (const Json::Value& row : show["cache"][table])
      c.storageTime = std::max(c.storageTime, integer(row["mtime"]));
  }
  for (const Json::Value& row : show["cache"]["share_info"])
    c.shareTime = std::max(c.shareTime, integer(row["mtime"]));
  for (const Json::Value& f : show["files"]) {
    if (f["path"].asString() == "kevoinfo.conf") c.mirrorTime = integer(f["mtime"]);
  }
  for (const Json::Value& row : show["packages"])
    c.names[kKindPackage][boundedValue(text(row["pkg_id"]))] = text(row["display_name"]);
  for (const Json::Value& row : show["applications"])
    c.names[kKindApplication][boundedValue(text(row["app_id"]))] = text(row["names"]["enu"]);
  c.apps = static_cast<int>(show["applications"].size());
  c.pkgs = static_cast<int>(show["packages"].size());
  return c;
}

std::string stateText(const Recorded& r) {
  Json::Value o(Json::objectValue);
  o["sn"] = r.sn;
  o["device"] = fieldsJson(r.device);
  Json::Value& objs = o["objects"] = Json::Value(Json::objectValue);
  for (const auto& kind : r.objects) {
    Json::Value& k = objs[kind.first] = Json::Value(Json::objectValue);
    for (const auto& obj : kind.second) k[obj.first] = fieldsJson(obj.second);
  }
  Json::Value& b = o["baselined"] = Json::Value(Json::arrayValue);
  for (const std::string& kind : r.baselined) b.append(kind);
  o["storage_time"] = Json::Int64(r.storageTime);
  o["arrival"] = Json::Int64(r.arrival);
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  w["emitUTF8"] = true;
  return Json::writeString(w, o);
}

SoftwareOf versionsOf(const std::map<std::string, Objects>& objects) {
  SoftwareOf out;
  for (const char* kind : {kKindPackage, kKindApplication}) {
    auto found = objects.find(kind);
    if (found == objects.end()) continue;
    auto& versions = out[kind];
    for (const auto& obj : found->second) {
      auto v = obj.second.find("version");
      versions[obj.first] = v != obj.second.end() ? v->second : std::string();
    }
  }
  return out;
}

bool readState(const std::string& textIn, Recorded& r) {
  try {
    return parseState(textIn, r);
  } catch (const std::exception&) {
    r = Recorded();
    return false;
  }
}

namespace {

bool parseState(const std::string& textIn, Recorded& r) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value o;
  if (!reader->parse(textIn.data(), textIn.data() + textIn.size(), &o, nullptr) || !o.isObject())
    return false;
  r.exists = true;
  r.sn = o["sn"].asString();
  r.device = fieldsOf(o["device"]);
  for (const std::string& kind : o["objects"].getMemberNames()) {
    Objects& objs = r.objects[kind];
    for (const std::string& name : o["objects"][kind].getMemberNames())
      objs[name] = fieldsOf(o["objects"][kind][name]);
  }
  for (const Json::Value& k : o["baselined"]) r.baselined.insert(k.asString());
  r.storageTime = o["storage_time"].asInt64();
  r.arrival = o.get("arrival", 0).asInt64();
  return true;
}

}  // namespace

void diffFields(const std::string& kind, const std::string& object, const Fields& before,
                const Fields& after, int64_t collect, std::vector<Event>& out) {
  for (const auto& kv : after) {
    auto old = before.find(kv.first);
    const std::string oldValue = old != before.end() ? old->second : "";
    if (oldValue != kv.second)
      out.push_back({kind, object, "changed", kv.first, boundedValue(oldValue),
                     boundedValue(kv.second), collect});
  }
}

void diffObjects(const std::string& kind, const Objects& before, const Objects& after,
                 int64_t collect, std::vector<Event>& out) {
  for (const auto& obj : before) {
    if (after.count(obj.first) == 0)
      out.push_back({kind, obj.first, "removed", "", "", "", collect});
  }
  for (const auto& obj : after) {
    auto old = before.find(obj.first);
    if (old == before.end())
      out.push_back({kind, obj.first, "added", "", "", "", collect});
    else
      diffFields(kind, obj.first, old->second, obj.second, collect, out);
  }
}

}  // namespace detail

std::string boundedValue(const std::string& value) {
  if (value.size() <= static_cast<size_t>(kMaxValueBytes)) return value;
  size_t cut = static_cast<size_t>(kMaxValueBytes);
  // Back to the start of a UTF-8 character.
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return value.substr(0, cut) + "\xE2\x80\xA6 (" + std::to_string(value.size()) + " bytes)";
}

}  // namespace flxhistory
