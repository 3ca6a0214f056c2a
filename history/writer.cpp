// The history writer: compares each device's state with the one recorded, and writes
// events, samples and the summary in one transaction per batch of notes.
#include "writer.h"

#include <errno.h>
#include <json/writer.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "flxread.h"
#include "kevocore.h"
#include "kevodb.h"
#include "software_counts.h"
#include "statement.h"
#include "writer_internal.h"

namespace flxhistory {
using namespace detail;
namespace {

// Thresholds of the marks, as the page draws them.
const double kFullPercent = 90;
const int64_t kHotCelsius = 55;
const double kFillingDays = 30;

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

// ?3 is the trend's span in days, which fillDays binds.
const char kTrendSql[] =
    "SELECT day, used_last, total_last FROM samples WHERE device_id = ?1 AND kind = 'volume'"
    " AND object = ?2 AND day >= (SELECT max(day) FROM samples WHERE device_id = ?1 AND"
    " kind = 'volume' AND object = ?2) - ?3 ORDER BY day";

}  // namespace

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

}  // namespace flxhistory
