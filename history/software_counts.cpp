#include "software_counts.h"

#include <tuple>

#include "flxhistory_schema.h"
#include "statement.h"

namespace flxhistory {
namespace {

// Adds `n` devices (negative: takes them away) to one version; a version no device runs
// any more goes.
bool add(sqlite3* db, const std::string& kind, const std::string& id, const std::string& version,
         const std::string& name, int64_t n) {
  Stmt up(db,
          "INSERT INTO software(kind, id, version, name, devices) VALUES(?1, ?2, ?3, ?4, "
          "?5) ON CONFLICT(kind, id, version) DO UPDATE SET devices = devices + ?5,"
          " name = CASE WHEN ?4 = '' THEN name ELSE ?4 END");
  Stmt gone(db,
            "DELETE FROM software WHERE kind = ?1 AND id = ?2 AND version = ?3 AND devices <= 0");
  for (Stmt* st : {&up, &gone}) {
    if (!st->ok()) return false;
    st->bind(1, kind).bind(2, id).bind(3, version);
  }
  up.bind(4, name).bind(5, n);
  return up.step() == SQLITE_DONE && gone.step() == SQLITE_DONE;
}

const std::string kNone;

const std::string& lookup(const SoftwareOf& of, const std::string& kind, const std::string& id) {
  auto k = of.find(kind);
  if (k == of.end()) return kNone;
  auto it = k->second.find(id);
  return it == k->second.end() ? kNone : it->second;
}

}  // namespace

bool countSoftware(sqlite3* db, const SoftwareOf& before, const SoftwareOf& after,
                   const SoftwareOf& names, std::string& why) {
  for (const char* kind : {kKindPackage, kKindApplication}) {
    auto was = before.find(kind), is = after.find(kind);
    if (was != before.end()) {
      for (const auto& old : was->second) {
        const bool kept = is != after.end() && is->second.count(old.first) != 0 &&
                          is->second.at(old.first) == old.second;
        if (!kept && !add(db, kind, old.first, old.second, "", -1)) {
          why = sqlite3_errmsg(db);
          return false;
        }
      }
    }
    if (is == after.end()) continue;
    for (const auto& now : is->second) {
      const bool kept = was != before.end() && was->second.count(now.first) != 0 &&
                        was->second.at(now.first) == now.second;
      if (!kept && !add(db, kind, now.first, now.second, lookup(names, kind, now.first), 1)) {
        why = sqlite3_errmsg(db);
        return false;
      }
    }
  }
  return true;
}

bool ensureSoftware(sqlite3* db, const EachState& states, std::string& why) {
  // Counted already, or nothing recorded to count from: the table is kept as the states change.
  Stmt has(db, "SELECT EXISTS(SELECT 1 FROM software) OR NOT EXISTS(SELECT 1 FROM state)");
  const int rc = has.step();
  if (rc != SQLITE_ROW) {
    why = sqlite3_errmsg(db);
    return false;
  }
  if (sqlite3_column_int(has.get(), 0) != 0) return true;
  // Counted in memory first: one row written per version, not one update per device.
  std::map<std::tuple<std::string, std::string, std::string>, int64_t> counts;
  const bool read = states([&](const SoftwareOf& of) {
    for (const auto& kind : of)
      for (const auto& v : kind.second) ++counts[{kind.first, v.first, v.second}];
  });
  if (!read) {
    why = "cannot read the recorded states";
    return false;
  }
  for (const auto& c : counts) {
    if (!add(db, std::get<0>(c.first), std::get<1>(c.first), std::get<2>(c.first), "", c.second)) {
      why = sqlite3_errmsg(db);
      return false;
    }
  }
  return true;
}

}  // namespace flxhistory
