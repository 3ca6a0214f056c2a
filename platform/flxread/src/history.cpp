// The history's read side: change events, daily samples with a volume's trend, and the
// volumes about to fill. Rows come from the attached history "h"; devices from the registry.
#include <math.h>

#include <algorithm>
#include <vector>

#include "flx_schema.h"
#include "flxhistory_schema.h"
#include "read_db.h"

namespace flxread {
namespace {

const char* const kKinds[] = {
    flxhistory::kKindDevice,  flxhistory::kKindVolume, flxhistory::kKindDiskGroup,
    flxhistory::kKindDisk,    flxhistory::kKindShare,  flxhistory::kKindApplication,
    flxhistory::kKindPackage,
};

// Device `sn`'s id, or 0 when the registry has none; false when the read failed.
bool deviceId(ReadDb& db, const std::string& sn, int64_t& id) {
  Query q(db, "SELECT id FROM devices WHERE sn = ?");
  q.bind(sn);
  const int rc = q.step();
  id = rc == SQLITE_ROW ? q.i64(0) : 0;
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

// One day's use of a volume.
struct UsePoint {
  int64_t day;
  double used, total;
};

// The least-squares line through the last kTrendDays days of `points` (in day order), and
// where it reaches the volume's last size; null with fewer than two days.
Json::Value trend(const std::vector<UsePoint>& points, int64_t today) {
  if (points.size() < 2) return Json::Value();
  const int64_t last = points.back().day;
  const int64_t first = std::max(points.front().day, last - kTrendDays + 1);
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const UsePoint& p : points) {
    if (p.day < first) continue;
    const double x = static_cast<double>(p.day - first);
    n += 1, sx += x, sy += p.used, sxx += x * x, sxy += x * p.used;
  }
  const double spread = n * sxx - sx * sx;
  if (n < 2 || spread <= 0) return Json::Value();
  const double slope = (n * sxy - sx * sy) / spread;
  const double intercept = (sy - slope * sx) / n;
  const double total = points.back().total;
  Json::Value t(Json::objectValue);
  t["from_day"] = Json::Int64(first);
  t["to_day"] = Json::Int64(last);
  t["from_used"] = intercept;
  t["to_used"] = intercept + slope * static_cast<double>(last - first);
  t["per_day"] = slope;
  t["total"] = total;
  t["fill_day"] = Json::Value();
  t["fill_days"] = Json::Value();
  // Growth under a byte a day is no growth: it would fill long after the device is gone.
  if (slope >= 1 && total > 0) {
    const double fillDay = static_cast<double>(first) + (total - intercept) / slope;
    t["fill_day"] = round(fillDay * 10) / 10;
    t["fill_days"] = std::max(0.0, round((fillDay - static_cast<double>(today)) * 10) / 10);
  }
  return t;
}

// Sample columns of each kind.
const char kVolumeColumns[] = "day, used_last, used_max, total_last, total_max";
const char kDiskColumns[] = "day, temp_max";

Result readSeries(const std::string& sn, const std::string& kind, const std::string& object,
                  int64_t fromDay, int64_t toDay, int64_t today, Json::Value& out,
                  std::string& err) {
  const bool volume = kind == flxhistory::kKindVolume;
  if (!volume && kind != flxhistory::kKindDisk) {
    err = "samples are kept for volumes and disks only, not '" + kind + "'";
    return kBadArgument;
  }
  if (toDay < fromDay || toDay - fromDay > kMaxSeriesDays) {
    err = "range of days out of bounds";
    return kBadArgument;
  }
  ReadDb db;
  int64_t id = 0;
  if (!db.ok() || !deviceId(db, sn, id)) return storeFailed(db, err);
  if (id == 0) return kNotFound;
  Query q(db, std::string("SELECT object, ") + (volume ? kVolumeColumns : kDiskColumns) +
                  " FROM h.samples WHERE device_id = ?1 AND kind = ?2 AND (?3 = '' OR object = ?3)"
                  " AND day BETWEEN ?4 AND ?5 ORDER BY object, day");
  q.bind(id).bind(kind).bind(object).bind(fromDay).bind(toDay);
  Json::Value result(Json::objectValue);
  result["sn"] = sn;
  result["kind"] = kind;
  Json::Value& all = result["series"] = Json::Value(Json::arrayValue);
  std::vector<UsePoint> use;
  auto close = [&] {
    if (volume && !all.empty()) all[all.size() - 1]["trend"] = trend(use, today);
    use.clear();
  };
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    const std::string name = q.text(0);
    if (all.empty() || all[all.size() - 1]["object"].asString() != name) {
      close();
      Json::Value s(Json::objectValue);
      s["object"] = name;
      s["points"] = Json::Value(Json::arrayValue);
      all.append(s);
    }
    Json::Value point = q.row();
    point.removeMember("object");
    if (volume && !point["used_last"].isNull())
      use.push_back({q.i64(1), static_cast<double>(q.i64(2)), static_cast<double>(q.i64(4))});
    all[all.size() - 1]["points"].append(point);
  }
  if (rc != SQLITE_DONE) return storeFailed(db, err);
  close();
  out.swap(result);
  return kOk;
}

Result readFilling(double days, int64_t today, const Page& page, Json::Value& out, std::string& err,
                   const Scope& scope) {
  if (page.limit < 0 || page.limit > kMaxPage || page.offset < 0) {
    err = "paging out of range";
    return kBadArgument;
  }
  ReadDb db;
  // One pass over the recent samples of the candidates' present volumes, each found by its
  // key: the samples of older days and of volumes gone are never read. The joins' fixed order
  // hands out each volume's days together and in order; an ORDER BY would make the planner
  // read every summary row instead of those the fill_days index finds.
  Query q(db,
          "SELECT s.device_id, d.sn, d.hostname, d.model_name, v.name, x.day, x.used_last,"
          " x.total_last FROM h.summary s CROSS JOIN " KEVOFLX_TABLE_DEVICES
          " d ON d.id = s.device_id"
          " CROSS JOIN c.vol_info v ON v.qx_id = s.device_id"
          " CROSS JOIN h.samples x ON x.device_id = s.device_id AND x.kind = 'volume'"
          " AND x.object = v.name AND x.day > ?2 AND x.used_last IS NOT NULL"
          " WHERE s.fill_days <= ?1 AND " +
              scopeSql(scope, "s.device_id"));
  q.bind(days).bind(today - kTrendDays);
  std::vector<Json::Value> found;
  std::vector<UsePoint> use;
  Json::Value volume(Json::objectValue);
  int64_t device = 0;
  std::string name;
  auto close = [&] {
    const Json::Value t = trend(use, today);
    if (!t.isNull() && !t["fill_days"].isNull() && t["fill_days"].asDouble() <= days) {
      volume["used"] = use.back().used;
      volume["total"] = use.back().total;
      for (const char* key : {"per_day", "fill_day", "fill_days"}) volume[key] = t[key];
      found.push_back(volume);
    }
    use.clear();
  };
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    if (!use.empty() && (q.i64(0) != device || q.text(4) != name)) close();
    if (use.empty()) {
      device = q.i64(0);
      name = q.text(4);
      volume = Json::Value(Json::objectValue);
      volume["qx_id"] = Json::Int64(device);
      volume["sn"] = q.text(1);
      volume["hostname"] = q.text(2);
      volume["model_name"] = q.text(3);
      volume["name"] = name;
    }
    use.push_back({q.i64(5), static_cast<double>(q.i64(6)), static_cast<double>(q.i64(7))});
  }
  if (rc != SQLITE_DONE) return storeFailed(db, err);
  if (!use.empty()) close();
  std::stable_sort(found.begin(), found.end(), [](const Json::Value& a, const Json::Value& b) {
    return a["fill_days"].asDouble() < b["fill_days"].asDouble();
  });
  if (page.sink != nullptr) {  // the volumes filling are few: sorted first, then handed out
    for (Json::Value& v : found)
      if (!(*page.sink)(v)) break;
    out = Json::Value(Json::objectValue);
    return kOk;
  }
  Json::Value result(Json::objectValue);
  Json::Value& rows = result["volumes"] = Json::Value(Json::arrayValue);
  for (size_t i = static_cast<size_t>(std::min<int64_t>(page.offset, found.size()));
       i < found.size() && rows.size() < static_cast<Json::ArrayIndex>(page.limit); ++i)
    rows.append(found[i]);
  result["total"] = Json::UInt64(found.size());
  result["offset"] = Json::Int64(page.offset);
  result["limit"] = Json::Int64(page.limit);
  out.swap(result);
  return kOk;
}

}  // namespace

bool isHistoryKind(const std::string& kind) {
  return std::find(std::begin(kKinds), std::end(kKinds), kind) != std::end(kKinds);
}

Result history(const HistoryQuery& q, const Page& page, Json::Value& out, std::string& err) {
  return guarded(err, [&] {
    if (!q.kind.empty() && !isHistoryKind(q.kind)) {
      err = "unknown kind '" + q.kind + "'";
      return kBadArgument;
    }
    ReadDb db;
    int64_t id = 0;
    if (!q.sn.empty()) {
      if (!db.ok() || !deviceId(db, q.sn, id)) return storeFailed(db, err);
      if (id == 0) return kNotFound;
    }
    // Events come from the index of their device, or of their time for the whole fleet, in
    // the answer's order: the page stops early, and the total is counted apart.
    const std::string where = std::string(" WHERE ") +
                              (q.sn.empty() ? "" : "e.device_id = ?1 AND ") +
                              "(?2 = '' OR e.kind = ?2) AND e.arrival_time >= ?3"
                              " AND e.arrival_time < ?4 AND " +
                              scopeSql(q.scope, "e.device_id");
    const std::string from =
        " FROM h.events e CROSS JOIN " KEVOFLX_TABLE_DEVICES " d ON d.id = e.device_id";
    return pagedRows(
        db, "SELECT count(*)" + from + where,
        "SELECT e.id, d.sn, d.hostname, e.kind, e.object, e.change, e.field, e.old_value,"
        " e.new_value, e.collect_time, e.arrival_time" +
            from + where + " ORDER BY e.arrival_time DESC, e.id DESC LIMIT ?5 OFFSET ?6",
        page, "events", [&](Query& s) { s.bind(id).bind(q.kind).bind(q.from).bind(q.to); }, out,
        err);
  });
}

Result series(const std::string& sn, const std::string& kind, const std::string& object,
              int64_t fromDay, int64_t toDay, int64_t today, Json::Value& out, std::string& err) {
  return guarded(err,
                 [&] { return readSeries(sn, kind, object, fromDay, toDay, today, out, err); });
}

Result volumesFilling(double days, int64_t today, const Page& page, Json::Value& out,
                      std::string& err, const Scope& scope) {
  return guarded(err, [&] { return readFilling(days, today, page, out, err, scope); });
}

}  // namespace flxread
