// The history's software table: devices per version of each package and application, kept
// by adding each recorded state and taking away the one it replaces.
#ifndef FLX_HISTORY_SOFTWARE_COUNTS_H
#define FLX_HISTORY_SOFTWARE_COUNTS_H

#include <sqlite3.h>

#include <functional>
#include <map>
#include <string>

namespace flxhistory {

// Kind ("package", "application") to id to a text of it: its version, or its name.
using SoftwareOf = std::map<std::string, std::map<std::string, std::string>>;

// Counts a device moving from `before` to `after` (versions; empty: no device): one less for
// each version it left, one more for each it took, with the name from `names` where known.
// Inside the caller's transaction; false, with `why`, on a failed statement.
bool countSoftware(sqlite3* db, const SoftwareOf& before, const SoftwareOf& after,
                   const SoftwareOf& names, std::string& why);

// Fills an empty table from the recorded states (`states` calls its argument once per state),
// for a history migrated from before the counts; inside the caller's write transaction.
using EachState = std::function<bool(const std::function<void(const SoftwareOf&)>& add)>;
bool ensureSoftware(sqlite3* db, const EachState& states, std::string& why);

}  // namespace flxhistory

#endif  // FLX_HISTORY_SOFTWARE_COUNTS_H
