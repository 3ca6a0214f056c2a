// The history writer: compares each device's state with the one recorded, and writes
// events, samples and the summary in one transaction per batch of notes.
#include "writer.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "flx.h"
#include "flxread.h"
#include "kevocore.h"
#include "kevodb.h"
#include "kevoroot.h"
#include "software_counts.h"
#include "statement.h"

namespace flxhistory {
namespace {

const int kBusyTimeoutMs = 2000;
const mode_t kHistoryDbMode = 0640;
const int64_t kDay = 86400;
// Days of samples a volume's trend is drawn through.
const int64_t kTrendDays = 30;
// Thresholds of the marks, as the page draws them.
const double kFullPercent = 90;
const int64_t kHotCelsius = 55;
const double kFillingDays = 30;
// A device's push interval: gaps under kBurstSeconds are one push's several items or its
// retries; a gap weighs kIntervalWeight in the running average and counts at most
// kMaxGapFactor intervals, so that one outage does not teach a long rhythm while a real change
// is learnt within a few pushes.
const int64_t kBurstSeconds = 10;
const int64_t kMinInterval = 60;
const int64_t kMaxInterval = 7 * kDay;
const double kIntervalWeight = 0.25;
const double kMaxGapFactor = 4;
// How far past the writer's clock a note's arrival may be (the clocks of the host's processes
// are one clock; this is only slack).
const int64_t kArrivalSlack = 60;

typedef std::map<std::string, std::string> Fields;
typedef std::map<std::string, Fields> Objects;  // by object name

// What is compared per kind: where deviceShow has the rows, the key and the fields watched.
struct KindSpec {
  const char* kind;
  const char* source;  // "group.module" of the push that carries it
  const char* table;   // cache table, or a top-level key of deviceShow's object
  const char* key;
  std::vector<const char*> fields;
};
const KindSpec kKinds[] = {
    {kKindVolume, "storage.storage", "vol_info", "name", {"status", "raid_type", "size_total"}},
    {kKindDiskGroup, "storage.storage", "dg_info", "name", {"status", "raid_type", "size_total"}},
    {kKindDisk, "storage.storage", "hdd_info", "dev", {"status", "smart_status", "used_by"}},
    {kKindShare, "storage.share", "share_info", "name", {}},
    {kKindApplication, "basic.applications", "applications", "app_id", {"version"}},
    {kKindPackage, "basic.package", "packages", "pkg_id", {"version", "status"}},
};
const char* const kDeviceFields[] = {"hostname",     "model_name", "version",
                                     "build_number", "status",     "cluster_role"};

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

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The read views' rule for a failing disk (status or SMART status not a normal word).
bool failing(const std::string& status, const std::string& smart) {
  static const std::set<std::string> goodStatus = {"", "good", "normal", "ready", "initialized"};
  static const std::set<std::string> goodSmart = {"", "normal", "good", "ok"};
  return goodStatus.count(lower(status)) == 0 || goodSmart.count(lower(smart)) == 0;
}

// A device's state as deviceShow reports it, reduced to what the history watches.
struct Current {
  int64_t id = 0;
  std::string sn;
  Fields device;
  std::map<std::string, Objects> objects;  // by kind
  SoftwareOf names;                        // of packages and applications, by id
  int64_t storageTime = 0, shareTime = 0, mirrorTime = 0;
  int apps = 0, pkgs = 0;
};

const Json::Value& rowsOf(const Json::Value& show, const char* table) {
  return show.isMember(table) ? show[table] : show["cache"][table];
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

// The recorded state: what was watched at the last note, which kinds have a baseline, and
// the collect time of the storage rows last sampled.
struct Recorded {
  bool exists = false;
  std::string sn;
  Fields device;
  std::map<std::string, Objects> objects;
  std::set<std::string> baselined;
  int64_t storageTime = -1;
  int64_t arrival = 0;  // of the last push the interval was measured to; 0 when none
};

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

bool parseState(const std::string& textIn, Recorded& r);

// The versions of the packages and applications among recorded objects.
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

// A recorded state that cannot be read (not written by this writer) counts as none: the
// device gets a new baseline instead of stopping every batch.
bool readState(const std::string& textIn, Recorded& r) {
  try {
    return parseState(textIn, r);
  } catch (const std::exception&) {
    r = Recorded();
    return false;
  }
}

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

struct Event {
  std::string kind, object, change, field, oldValue, newValue;
  int64_t collect;
};

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

// Days until the volume fills, from the linear trend of its daily use; negative when it
// does not grow (or there are fewer than two days).
// A sample of the day: last values replace, maximums grow; NULL leaves a column as it was.
const char kSampleSql[] =
    "INSERT INTO samples(device_id, kind, object, day, used_last, used_max, total_last,"
    " total_max, temp_max) VALUES (?1, ?2, ?3, ?4, ?5, ?5, ?6, ?6, ?7)"
    " ON CONFLICT(device_id, kind, object, day) DO UPDATE SET"
    " used_last = coalesce(excluded.used_last, used_last),"
    " used_max = max(coalesce(used_max, excluded.used_max), coalesce(excluded.used_max, used_max)),"
    " total_last = coalesce(excluded.total_last, total_last),"
    " total_max = max(coalesce(total_max, excluded.total_max),"
    " coalesce(excluded.total_max, total_max)),"
    " temp_max = max(coalesce(temp_max, excluded.temp_max), coalesce(excluded.temp_max, temp_max))";

const char kTrendSql[] =
    "SELECT day, used_last, total_last FROM samples WHERE device_id = ?1 AND kind = 'volume'"
    " AND object = ?2 AND day >= (SELECT max(day) FROM samples WHERE device_id = ?1 AND"
    " kind = 'volume' AND object = ?2) - ?3 ORDER BY day";

double fillDays(sqlite3_stmt* trend, int64_t deviceId, const std::string& volume, bool& ok) {
  Stmt q(trend);
  q.bind(1, deviceId).bind(2, volume).bind(3, kTrendDays);
  std::vector<double> xs, ys;
  double lastUsed = 0, lastTotal = 0;
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    if (sqlite3_column_type(q.get(), 1) == SQLITE_NULL) continue;
    xs.push_back(static_cast<double>(sqlite3_column_int64(q.get(), 0)));
    ys.push_back(lastUsed = static_cast<double>(sqlite3_column_int64(q.get(), 1)));
    lastTotal = static_cast<double>(sqlite3_column_int64(q.get(), 2));
  }
  ok = rc == SQLITE_DONE;
  if (xs.size() < 2 || lastTotal <= 0) return -1;
  double mx = 0, my = 0;
  for (size_t i = 0; i < xs.size(); ++i) mx += xs[i], my += ys[i];
  mx /= static_cast<double>(xs.size());
  my /= static_cast<double>(ys.size());
  double sxy = 0, sxx = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    sxy += (xs[i] - mx) * (ys[i] - my);
    sxx += (xs[i] - mx) * (xs[i] - mx);
  }
  if (sxx <= 0) return -1;
  const double slope = sxy / sxx;  // bytes a day
  if (slope <= 0) return -1;
  return std::max(0.0, (lastTotal - lastUsed) / slope);
}

// The interval after a push `gap` seconds after the last one; `interval` 0 is none yet.
int64_t learnInterval(int64_t interval, int64_t gap) {
  double next = static_cast<double>(gap);
  if (interval > 0) {
    const double was = static_cast<double>(interval);
    next = (1 - kIntervalWeight) * was + kIntervalWeight * std::min(next, kMaxGapFactor * was);
  }
  return std::min(kMaxInterval, std::max(kMinInterval, static_cast<int64_t>(next + 0.5)));
}

}  // namespace

std::string boundedValue(const std::string& value) {
  if (value.size() <= static_cast<size_t>(kMaxValueBytes)) return value;
  size_t cut = static_cast<size_t>(kMaxValueBytes);
  // Back to the start of a UTF-8 character.
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return value.substr(0, cut) + "\xE2\x80\xA6 (" + std::to_string(value.size()) + " bytes)";
}

Writer::~Writer() {
  close();
}

sqlite3_stmt* Writer::cached(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return nullptr;
  }
  statements_[sql] = st;
  return st;
}

namespace {

// A note's arrival is only as good as whoever wrote it: none is taken as later than a minute
// from now (events in the future are never pruned) nor as more than a day before the newest
// arrival recorded (`newest`, 0 when none), so that no gap it makes teaches a week's interval.
std::vector<int64_t> boundedArrivals(std::vector<int64_t> arrivals, int64_t newest) {
  const int64_t latest = static_cast<int64_t>(time(nullptr)) + kArrivalSlack;
  const int64_t earliest = newest > 0 ? newest - kDay : 0;
  for (int64_t& t : arrivals) t = std::max(earliest, std::min(t, latest));
  return arrivals;
}

}  // namespace

void Writer::close() {
  for (auto& kept : statements_) sqlite3_finalize(kept.second);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool Writer::dbError(const std::string& what, std::string& err) {
  const std::string path = historyDbPath();
  const int code = db_ != nullptr ? (sqlite3_extended_errcode(db_) & 0xff) : SQLITE_NOMEM;
  const std::string msg = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
  switch (code) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      err = "the history database " + path + " is corrupt (" + msg + ") while " + what +
            "; notes are kept: run 'flx-admin history rebuild'";
      break;
    case SQLITE_FULL:
      err = "the history database " + path + " cannot grow, the disk is full, while " + what +
            "; notes are kept and taken when there is room";
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      err = "the history database " + path + " is locked by another process while " + what +
            "; notes are kept and taken later";
      break;
    default:
      err = "the history database " + path + " failed while " + what + ": " + msg +
            "; notes are kept and taken later";
  }
  if (db_ != nullptr) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  // Opened afresh next time, in case the file was replaced or repaired; not closed now, while
  // the caller's statements are still in hand.
  broken_ = true;
  return false;
}

bool Writer::exec(const char* sql, std::string& err) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  return dbError(std::string("running ") + sql, err);
}

bool Writer::open(std::string& err) {
  const std::string path = historyDbPath();
  if (db_ != nullptr && !broken_ && KEVOFileIdSame(path.c_str(), &fileId_)) return true;
  close();
  broken_ = false;
  // Made by 'flx-admin init', not here: a missing file stays missing.
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    return dbError("opening it", err);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // The writer never changes the schema: 'flx-admin init' migrates it (the package runs it).
  const int version = kevo::sqliteUserVersion(db_);
  if (version < 0) return dbError("reading its schema version", err);
  if (version < kHistorySchemaVersion) {
    err = "the history database " + path + " has schema version " + std::to_string(version) +
          ", this writer needs " + std::to_string(kHistorySchemaVersion) +
          "; run 'flx-admin init' to migrate it; notes are kept and taken later";
    broken_ = true;
    return false;
  }
  if (!exec("PRAGMA synchronous=NORMAL", err)) return false;
  // A history migrated from before the software counts gains them from the states it recorded.
  std::string why;
  if (!exec("BEGIN IMMEDIATE", err)) return false;
  const bool counted = ensureSoftware(
      db_,
      [this](const std::function<void(const SoftwareOf&)>& add) {
        Stmt q(db_, "SELECT state FROM state");
        int rc;
        while ((rc = q.step()) == SQLITE_ROW) {
          const unsigned char* t = sqlite3_column_text(q.get(), 0);
          Recorded rec;
          if (t != nullptr && readState(reinterpret_cast<const char*>(t), rec))
            add(versionsOf(rec.objects));
        }
        return rc == SQLITE_DONE;
      },
      why);
  if (!counted) {
    std::string ignored;
    exec("ROLLBACK", ignored);
    return dbError("counting the fleet's software: " + why, err);
  }
  if (!exec("COMMIT", err)) return false;
  if (!KEVOFileIdGet(path.c_str(), &fileId_)) {
    err = "the history database " + path + " vanished after it was opened: " + strerror(errno);
    broken_ = true;
    return false;
  }
  return true;
}

bool Writer::forget(int64_t deviceId, std::string& err) {
  {
    Stmt q(db_, "SELECT state FROM state WHERE device_id = ?");
    q.bind(1, deviceId);
    const int rc = q.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return dbError("reading a device's state", err);
    const unsigned char* t = rc == SQLITE_ROW ? sqlite3_column_text(q.get(), 0) : nullptr;
    Recorded rec;
    std::string why;
    if (t != nullptr && readState(reinterpret_cast<const char*>(t), rec) &&
        !countSoftware(db_, versionsOf(rec.objects), {}, {}, why))
      return dbError("counting the fleet's software: " + why, err);
  }
  const char* const sqls[] = {
      "DELETE FROM events WHERE device_id = ?", "DELETE FROM samples WHERE device_id = ?",
      "DELETE FROM summary WHERE device_id = ?", "DELETE FROM state WHERE device_id = ?"};
  for (const char* sql : sqls) {
    Stmt s(db_, sql);
    s.bind(1, deviceId);
    if (!s.run()) return dbError("removing a device's history", err);
  }
  return true;
}

int64_t Writer::forgetDevice(int64_t deviceId, std::string& err) {
  if (!open(err) || !exec("BEGIN IMMEDIATE", err)) return -1;
  const int64_t before = sqlite3_total_changes64(db_);
  if (!forget(deviceId, err)) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return -1;
  }
  const int64_t removed = sqlite3_total_changes64(db_) - before;
  return exec("COMMIT", err) ? removed : -1;
}

Writer::Outcome Writer::device(const std::string& sn, const Kinds& kinds,
                               const std::vector<int64_t>& arrivals, bool rebuild,
                               std::string& err) {
  Json::Value show;
  std::string readErr;
  const flxread::Result r = flxread::deviceShow(sn, show, readErr);
  if (r == flxread::kNotFound) return kGone;
  if (r != flxread::kOk) {
    err = "cannot read the state of device " + sn + ": " + readErr + "; its notes are kept";
    return kReadFailed;
  }
  const Current cur = current(show);

  Recorded rec;
  {
    Stmt q(cached("SELECT state FROM state WHERE device_id = ?"));
    q.bind(1, cur.id);
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(q.get(), 0);
      if (t == nullptr || !readState(reinterpret_cast<const char*>(t), rec)) rec = Recorded();
    } else if (rc != SQLITE_DONE) {
      dbError("reading a device's recorded state", err);
      return kDbFailed;
    }
  }
  int64_t interval = 0;  // none learnt yet
  {
    Stmt q(cached("SELECT push_interval FROM summary WHERE device_id = ?"));
    q.bind(1, cur.id);
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
      interval = sqlite3_column_int64(q.get(), 0);
    } else if (rc != SQLITE_DONE) {
      dbError("reading a device's push interval", err);
      return kDbFailed;
    }
  }
  // A registry id that now names another device: the old one's history goes.
  if (rec.exists && rec.sn != cur.sn) {
    if (!forget(cur.id, err)) return kDbFailed;
    rec = Recorded();
    interval = 0;
  }

  const std::vector<int64_t> times = rebuild ? arrivals : boundedArrivals(arrivals, rec.arrival);
  const int64_t arrival = times.back();
  std::set<std::string> pushed;
  for (const auto& k : kinds) pushed.insert(k.first + "." + k.second);
  std::vector<Event> events;
  Recorded next;
  next.exists = true;
  next.sn = cur.sn;
  next.device = cur.device;
  next.objects = cur.objects;
  next.baselined = rec.baselined;
  next.storageTime = cur.storageTime;
  // A rebuild is no push: it keeps the interval and the arrival it is measured from.
  next.arrival = rec.arrival;
  for (int64_t t : rebuild ? std::vector<int64_t>() : times) {
    const int64_t gap = t - next.arrival;
    if (next.arrival > 0 && gap >= 0 && gap < kBurstSeconds) continue;  // the same push
    if (next.arrival > 0 && gap > 0) interval = learnInterval(interval, gap);
    next.arrival = t;  // a clock set back starts again from here
  }
  if (!rebuild && rec.exists && rec.baselined.count(kKindDevice) != 0)
    diffFields(kKindDevice, "", rec.device, cur.device, arrival, events);
  next.baselined.insert(kKindDevice);
  for (const KindSpec& k : kKinds) {
    const Objects& now = cur.objects.at(k.kind);
    if (!rebuild && rec.exists && rec.baselined.count(k.kind) != 0) {
      int64_t collect = arrival;
      if (strcmp(k.source, "storage.storage") == 0 && cur.storageTime > 0)
        collect = cur.storageTime;
      if (strcmp(k.source, "storage.share") == 0 && cur.shareTime > 0) collect = cur.shareTime;
      auto before = rec.objects.find(k.kind);
      diffObjects(k.kind, before != rec.objects.end() ? before->second : Objects(), now, collect,
                  events);
    }
    // A kind gets its baseline the first time it is pushed or has rows: its first objects
    // are where the history starts, not a burst of "added".
    if (pushed.count(k.source) != 0 || !now.empty()) next.baselined.insert(k.kind);
  }

  Stmt ins(
      cached("INSERT INTO events(device_id, kind, object, change, field, old_value, new_value,"
             " collect_time, arrival_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  for (const Event& e : events) {
    ins.bind(1, cur.id).bind(2, e.kind).bind(3, e.object).bind(4, e.change).bind(5, e.field);
    ins.bind(6, e.oldValue).bind(7, e.newValue).bind(8, e.collect).bind(9, arrival);
    if (!ins.run()) {
      dbError("writing events", err);
      return kDbFailed;
    }
  }

  // Samples, by each row's collect time, once per storage push.
  if (rebuild || cur.storageTime != rec.storageTime) {
    Stmt up(cached(kSampleSql));
    for (const Json::Value& v : show["cache"]["vol_info"]) {
      const int64_t mtime = integer(v["mtime"]);
      up.bind(1, cur.id).bind(2, std::string(kKindVolume)).bind(3, boundedValue(text(v["name"])));
      up.bind(4, mtime / kDay);
      up.bindInt(5, integer(v["size_used"]), v["size_used"].isNull());
      up.bindInt(6, integer(v["size_total"]), v["size_total"].isNull());
      up.bindInt(7, 0, true);
      if (!up.run()) {
        dbError("writing samples", err);
        return kDbFailed;
      }
    }
    for (const Json::Value& d : show["cache"]["hdd_info"]) {
      if (d["temp"].isNull()) continue;
      up.bind(1, cur.id).bind(2, std::string(kKindDisk)).bind(3, boundedValue(text(d["dev"])));
      up.bind(4, integer(d["mtime"]) / kDay);
      up.bindInt(5, 0, true).bindInt(6, 0, true).bindInt(7, integer(d["temp"]), false);
      if (!up.run()) {
        dbError("writing samples", err);
        return kDbFailed;
      }
    }
  }

  // The summary row, as the fleet list shows it.
  double maxUse = -1;
  std::string maxName;
  double fill = -1;
  int volCount = 0;
  for (const Json::Value& v : show["cache"]["vol_info"]) {
    ++volCount;
    const int64_t total = integer(v["size_total"]);
    const std::string name = boundedValue(text(v["name"]));
    if (total > 0) {
      const double use =
          static_cast<double>(integer(v["size_used"])) * 100.0 / static_cast<double>(total);
      if (use > maxUse) maxUse = use, maxName = name;
      bool ok = true;
      const double days = fillDays(cached(kTrendSql), cur.id, name, ok);
      if (!ok) {
        dbError("reading samples", err);
        return kDbFailed;
      }
      if (days >= 0 && (fill < 0 || days < fill)) fill = days;
    }
  }
  int diskCount = 0, diskFailing = 0;
  bool hasTemp = false;
  int64_t maxTemp = 0;
  for (const Json::Value& d : show["cache"]["hdd_info"]) {
    ++diskCount;
    if (failing(text(d["status"]), text(d["smart_status"]))) ++diskFailing;
    if (!d["temp"].isNull()) {
      const int64_t t = integer(d["temp"]);
      if (!hasTemp || t > maxTemp) maxTemp = t;
      hasTemp = true;
    }
  }
  int64_t lastSeen = std::max(std::max(cur.storageTime, cur.shareTime), cur.mirrorTime);
  if (lastSeen == 0) lastSeen = arrival;
  const double roundedUse =
      maxUse < 0 ? 0 : static_cast<double>(static_cast<int64_t>(maxUse * 10 + 0.5)) / 10;
  const double roundedFill =
      fill < 0 ? 0 : static_cast<double>(static_cast<int64_t>(fill * 10 + 0.5)) / 10;
  Json::Value marks(Json::arrayValue);
  if (diskFailing > 0) marks.append("failing");
  if (maxUse >= kFullPercent) marks.append("full");
  if (hasTemp && maxTemp >= kHotCelsius) marks.append("hot");
  if (fill >= 0 && fill <= kFillingDays) marks.append("filling");
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  Stmt sum(
      cached("INSERT OR REPLACE INTO summary(device_id, last_seen, vol_count, vol_max_use,"
             " vol_max_name, disk_count, disk_failing, disk_max_temp, app_count, pkg_count,"
             " fill_days, marks, push_interval) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  sum.bind(1, cur.id).bind(2, lastSeen).bind(3, volCount).bindReal(4, roundedUse, maxUse < 0);
  if (maxUse < 0)
    sqlite3_bind_null(sum.get(), 5);
  else
    sum.bind(5, maxName);
  sum.bind(6, diskCount).bind(7, diskFailing).bindInt(8, maxTemp, !hasTemp);
  sum.bind(9, cur.apps).bind(10, cur.pkgs).bindReal(11, roundedFill, fill < 0);
  sum.bind(12, Json::writeString(w, marks)).bindInt(13, interval, interval <= 0);
  if (!sum.run()) {
    dbError("writing the summary", err);
    return kDbFailed;
  }

  std::string why;
  if (!countSoftware(db_, versionsOf(rec.objects), versionsOf(cur.objects), cur.names, why)) {
    dbError("counting the fleet's software: " + why, err);
    return kDbFailed;
  }
  Stmt st(cached("INSERT OR REPLACE INTO state(device_id, state, updated) VALUES (?, ?, ?)"));
  st.bind(1, cur.id).bind(2, stateText(next)).bind(3, arrival);
  if (!st.run()) {
    dbError("writing the state", err);
    return kDbFailed;
  }
  return kDone;
}

namespace {

bool loadOffsets(sqlite3* db, Offsets& taken) {
  Stmt q(db, "SELECT file, offset FROM notes_taken");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(q.get(), 0);
    if (name != nullptr)
      taken[reinterpret_cast<const char*>(name)] =
          static_cast<uint64_t>(sqlite3_column_int64(q.get(), 1));
  }
  return rc == SQLITE_DONE;
}

}  // namespace

int Writer::step(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    err.clear();
    if (!open(err)) return -1;
    Offsets taken, ends;
    if (!loadOffsets(db_, taken)) {
      dbError("reading how far the notes were taken", err);
      return -1;
    }
    std::vector<Note> notes;
    if (takeNotes(taken, options_.batch, notes, ends, err) != 0) return -1;
    if (ends.empty()) return 0;
    // One read per device, however many of its notes wait: its kinds merged, its arrivals
    // in order (the last one is the push's; all of them teach the interval).
    struct Pending {
      Kinds kinds;
      std::vector<int64_t> arrivals;
    };
    std::map<std::string, Pending> bySn;
    std::vector<std::string> order;
    for (const Note& n : notes) {
      auto found = bySn.find(n.sn);
      if (found == bySn.end()) {
        order.push_back(n.sn);
        found = bySn.emplace(n.sn, Pending()).first;
      }
      Pending& p = found->second;
      p.kinds.insert(p.kinds.end(), n.kinds.begin(), n.kinds.end());
      p.arrivals.push_back(n.arrival);
    }
    if (!exec("BEGIN IMMEDIATE", err)) return -1;
    for (const std::string& sn : order) {
      Pending& p = bySn[sn];
      std::sort(p.arrivals.begin(), p.arrivals.end());
      const Outcome o = device(sn, p.kinds, p.arrivals, false, err);
      if (o == kDbFailed) return -1;
      if (o == kReadFailed) {
        // The stores cannot be read: the batch waits for them, notes and all.
        std::string ignored;
        exec("ROLLBACK", ignored);
        return -1;
      }
    }
    Stmt mark(db_,
              "INSERT INTO notes_taken(file, offset) VALUES (?, ?)"
              " ON CONFLICT(file) DO UPDATE SET offset = excluded.offset");
    for (const auto& end : ends) {
      mark.bind(1, end.first).bind(2, static_cast<int64_t>(end.second));
      if (!mark.run()) {
        dbError("recording how far the notes were taken", err);
        return -1;
      }
    }
    if (options_.beforeCommit) options_.beforeCommit();
    if (!exec("COMMIT", err)) return -1;
    if (options_.beforeDrop) options_.beforeDrop();
    return static_cast<int>(notes.size());
  });
}

int Writer::retire(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    if (!open(err)) return -1;
    Offsets taken;
    if (!loadOffsets(db_, taken)) {
      dbError("reading how far the notes were taken", err);
      return -1;
    }
    int n = 0;
    Stmt del(db_, "DELETE FROM notes_taken WHERE file = ?");
    for (const std::string& name : retireNotes(taken)) {
      del.bind(1, name);
      if (!del.run()) {
        dbError("forgetting a deleted notes file", err);
        return -1;
      }
      ++n;
    }
    return n;
  });
}

long notesWaiting() {
  Offsets taken;
  {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(historyDbPath().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(raw, kBusyTimeoutMs);
      loadOffsets(raw, taken);
    }
  }
  return countNotes(taken);
}

int Writer::record(const std::string& sn, const Kinds& kinds, int64_t arrival, std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    if (!open(err) || !exec("BEGIN IMMEDIATE", err)) return -1;
    const Outcome o = device(sn, kinds, {arrival}, false, err);
    if (o == kDbFailed) return -1;
    if (!exec("COMMIT", err)) return -1;
    return o == kDone ? 1 : 0;
  });
}

int Writer::prune(int64_t now, std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    if (!open(err)) return -1;
    const int64_t cutoff = now - options_.retentionDays * kDay;
    int removed = 0;
    Stmt ev(
        db_,
        "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE arrival_time < ? LIMIT ?)");
    ev.bind(1, cutoff).bind(2, static_cast<int64_t>(options_.pruneBatch));
    if (!ev.run()) {
      dbError("removing old events", err);
      return -1;
    }
    removed += sqlite3_changes(db_);
    Stmt sa(db_,
            "DELETE FROM samples WHERE (device_id, kind, object, day) IN (SELECT device_id, kind,"
            " object, day FROM samples WHERE day < ? LIMIT ?)");
    sa.bind(1, cutoff / kDay).bind(2, static_cast<int64_t>(options_.pruneBatch));
    if (!sa.run()) {
      dbError("removing old samples", err);
      return -1;
    }
    removed += sqlite3_changes(db_);
    return removed;
  });
}

namespace {

struct QxListFree {
  void operator()(KEVOFLX_QX* p) const { KEVOFLXQxListFree(&p); }
};

// Every registered device (id, serial number); false when the registry cannot be read.
bool registered(std::vector<std::pair<int64_t, std::string>>& out, std::string& err) {
  KEVOFLX_QX* raw = nullptr;
  int total = 0;
  const int rc = KEVOFLXQxList(nullptr, &raw, &total);
  std::unique_ptr<KEVOFLX_QX, QxListFree> list(raw);
  if (rc < 0) {
    err = "cannot list the registry's devices (error " + std::to_string(KVLIBErrGet()) +
          "); run 'flx-admin init'";
    return false;
  }
  for (const KEVOFLX_QX* d = list.get(); d != nullptr; d = d->pNext)
    out.emplace_back(static_cast<int64_t>(d->id), d->sn);
  return true;
}

}  // namespace

int Writer::sweepRemoved(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    std::vector<std::pair<int64_t, std::string>> devices;
    if (!registered(devices, err) || !open(err)) return -1;
    std::set<int64_t> known;
    for (const auto& d : devices) known.insert(d.first);
    std::vector<int64_t> gone;
    {
      Stmt q(db_, "SELECT device_id FROM state UNION SELECT device_id FROM summary");
      int rc;
      while ((rc = q.step()) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(q.get(), 0);
        if (known.count(id) == 0) gone.push_back(id);
      }
      if (rc != SQLITE_DONE) {
        dbError("listing recorded devices", err);
        return -1;
      }
    }
    for (int64_t id : gone) {
      // Events in bounded batches, each its own transaction, so that a long history never
      // holds the database for long; the state goes last, so an interrupted sweep resumes.
      for (;;) {
        Stmt del(
            db_,
            "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE device_id = ? LIMIT ?)");
        del.bind(1, id).bind(2, static_cast<int64_t>(options_.pruneBatch));
        if (!del.run()) {
          dbError("removing a removed device's events", err);
          return -1;
        }
        if (sqlite3_changes(db_) < static_cast<int>(options_.pruneBatch)) break;
      }
      if (!exec("BEGIN IMMEDIATE", err) || !forget(id, err) || !exec("COMMIT", err)) return -1;
    }
    return static_cast<int>(gone.size());
  });
}

int Writer::rebuildAll(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    std::vector<std::pair<int64_t, std::string>> devices;
    if (!registered(devices, err) || !open(err)) return -1;
    const int64_t now = static_cast<int64_t>(time(nullptr));
    int count = 0;
    const size_t kPerTransaction = 200;
    for (size_t i = 0; i < devices.size(); i += kPerTransaction) {
      if (!exec("BEGIN IMMEDIATE", err)) return -1;
      for (size_t j = i; j < devices.size() && j < i + kPerTransaction; ++j) {
        std::string why;
        const Outcome o = device(devices[j].second, Kinds(), {now}, true, why);
        if (o == kDbFailed) {
          err = why;
          return -1;
        }
        if (o == kReadFailed) {
          exec("ROLLBACK", why);
          err = why;
          return -1;
        }
        if (o == kDone) ++count;
      }
      if (!exec("COMMIT", err)) return -1;
    }
    if (sweepRemoved(err) < 0) return -1;
    return count;
  });
}

namespace {

// True when the database at `path` opens and passes a quick integrity check.
bool healthy(const std::string& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc != SQLITE_OK) return false;
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  sqlite3_stmt* st = nullptr;
  bool ok = sqlite3_prepare_v2(raw, "PRAGMA quick_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW &&
            strcmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok") == 0;
  sqlite3_finalize(st);
  return ok;
}

}  // namespace

int rebuildHistory(std::string& movedTo, int& devices, std::string& err) {
  return flxread::guardedCall(err, 1, [&] {
    movedTo.clear();
    devices = 0;
    const std::string path = historyDbPath();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !healthy(path)) {
      const std::string aside = path + ".corrupt-" + std::to_string(time(nullptr));
      for (const char* suffix : {"-wal", "-shm", ""}) {
        const std::string from = path + suffix;
        if (lstat(from.c_str(), &st) == 0 && rename(from.c_str(), (aside + suffix).c_str()) != 0) {
          err = "cannot move the corrupt history database " + from + " aside: " + strerror(errno) +
                "; check that its folder is writable";
          return 1;
        }
      }
      movedTo = aside;
    }
    int from = 0;
    if (migrateHistory(from, err) != 0) return 1;
    Writer w;
    const int n = w.rebuildAll(err);
    if (n < 0) return 1;
    devices = n;
    return 0;
  });
}

int initHistory(std::string& err) {
  return flxread::guardedCall(err, 1, [&] {
    const std::string dir = notesDir();
    struct stat st;
    if (KEVOFSMkdirP(dir.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, kNotesDirMode) < 0 ||
        lstat(dir.c_str(), &st) != 0 ||
        ((st.st_mode & 07777) != kNotesDirMode && chmod(dir.c_str(), kNotesDirMode) != 0)) {
      err = "cannot create the notes folder " + dir + " (mode 0700): " + strerror(errno) +
            "; check the permissions of its parent";
      return 1;
    }
    const std::string path = historyDbPath();
    if (lstat(path.c_str(), &st) == 0 && (st.st_mode & 07777) != kHistoryDbMode)
      chmod(path.c_str(), kHistoryDbMode);
    int from = 0;
    return migrateHistory(from, err);
  });
}

}  // namespace flxhistory
