// The fleet's software: every package and application with its versions and device counts.
#include <algorithm>
#include <map>
#include <vector>

#include "flx_schema.h"
#include "read_db.h"

namespace flxread {
namespace {

struct Version {
  std::string text;
  int64_t devices = 0;
};

struct Item {
  std::string kind, id, name;
  std::vector<Version> versions;
};

// One row per (kind, id, version) with its device count; `?1` is the name filter
// (case-insensitive substring of id or name, empty: all), `?2` the kind (empty: both).
const char kVersionsSql[] =
    "SELECT 'package', pkg_id, max(display_name), version, count(*) FROM " KEVOFLX_TABLE_PKGS
    " WHERE ?2 IN ('', 'package') AND (?1 = '' OR instr(lower(pkg_id), lower(?1)) > 0"
    " OR instr(lower(display_name), lower(?1)) > 0) GROUP BY pkg_id, version"
    " UNION ALL SELECT 'application', app_id, max(name_enu), version, count(*) "
    "FROM " KEVOFLX_TABLE_APPS
    " WHERE ?2 IN ('', 'application') AND (?1 = '' OR instr(lower(app_id), lower(?1)) > 0"
    " OR instr(lower(name_enu), lower(?1)) > 0) GROUP BY app_id, version";

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return s;
}

Json::Value itemJson(Item& item) {
  // Newest first; the newest version is the one nobody is behind.
  std::sort(item.versions.begin(), item.versions.end(),
            [](const Version& a, const Version& b) { return compareVersions(a.text, b.text) > 0; });
  Json::Value o(Json::objectValue);
  o["id"] = item.id;
  o["name"] = item.name.empty() ? item.id : item.name;
  o["kind"] = item.kind;
  Json::Value& versions = o["versions"] = Json::Value(Json::arrayValue);
  int64_t devices = 0;
  for (const Version& v : item.versions) {
    Json::Value e(Json::objectValue);
    e["version"] = v.text;
    e["devices"] = Json::Int64(v.devices);
    versions.append(e);
    devices += v.devices;
  }
  o["newest"] = item.versions.empty() ? "" : item.versions.front().text;
  o["devices"] = Json::Int64(devices);
  o["behind"] = Json::Int64(item.versions.empty() ? 0 : devices - item.versions.front().devices);
  return o;
}

Result list(const std::string& name, const std::string& kind, const Page& page, Json::Value& out,
            std::string& err) {
  if (page.limit < 0 || page.limit > kMaxPage || page.offset < 0) {
    err = "paging out of range";
    return kBadArgument;
  }
  if (!kind.empty() && kind != "package" && kind != "application") {
    err = "unknown kind '" + kind + "'";
    return kBadArgument;
  }
  ReadDb db;
  if (!db.ok()) return storeFailed(db, err);
  Query q(db, kVersionsSql);
  q.bind(name).bind(kind);
  std::map<std::pair<std::string, std::string>, Item> items;
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    Item& item = items[{q.text(0), q.text(1)}];
    item.kind = q.text(0);
    item.id = q.text(1);
    if (item.name.empty()) item.name = q.text(2);
    item.versions.push_back({q.text(3), q.i64(4)});
  }
  if (rc != SQLITE_DONE) return storeFailed(db, err);
  std::vector<Item*> sorted;
  for (auto& entry : items) sorted.push_back(&entry.second);
  std::stable_sort(sorted.begin(), sorted.end(), [](const Item* a, const Item* b) {
    return lowered(a->name.empty() ? a->id : a->name) < lowered(b->name.empty() ? b->id : b->name);
  });
  Json::Value result(Json::objectValue);
  result["total"] = Json::Int64(sorted.size());
  result["offset"] = Json::Int64(page.offset);
  result["limit"] = Json::Int64(page.limit);
  Json::Value& rows = result["items"] = Json::Value(Json::arrayValue);
  for (int64_t i = page.offset;
       i < static_cast<int64_t>(sorted.size()) && i < page.offset + page.limit; ++i)
    rows.append(itemJson(*sorted[i]));
  out.swap(result);
  return kOk;
}

}  // namespace

Result software(const std::string& name, const std::string& kind, const Page& page,
                Json::Value& out, std::string& err) {
  return guarded(err, [&] { return list(name, kind, page, out, err); });
}

}  // namespace flxread
