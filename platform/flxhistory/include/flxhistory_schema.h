// The history store: change events, daily samples and one summary row per device. One
// process writes it (flx-history); the read views attach it read-only.
#ifndef FLXHISTORY_SCHEMA_H
#define FLXHISTORY_SCHEMA_H

#define KEVO_HISTORY_DB_PATH "/var/packages/FLX/target/db/flx_history.sqlite"

namespace flxhistory {

// Kinds of objects an event or a sample names.
constexpr const char* kKindDevice = "device";
constexpr const char* kKindVolume = "volume";
constexpr const char* kKindDiskGroup = "disk_group";
constexpr const char* kKindDisk = "disk";
constexpr const char* kKindShare = "share";
constexpr const char* kKindApplication = "application";
constexpr const char* kKindPackage = "package";

// Changes: "added" and "removed" leave field, old_value and new_value empty; "changed" names
// the field with its old and new text. Values longer than kMaxValueBytes are cut and end with
// "… (N bytes)". Times are seconds since the epoch; day is the UTC day number of collect_time.
constexpr int kMaxValueBytes = 256;

// clang-format off
constexpr const char* kSchemaSql =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS events("
    " id INTEGER PRIMARY KEY,"
    " device_id INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"            // one of the kinds above
    " object TEXT NOT NULL,"          // the object's name or id; '' for the device itself
    " change TEXT NOT NULL,"          // 'added' | 'removed' | 'changed'
    " field TEXT NOT NULL DEFAULT '',"
    " old_value TEXT NOT NULL DEFAULT '',"
    " new_value TEXT NOT NULL DEFAULT '',"
    " collect_time INTEGER NOT NULL,"
    " arrival_time INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_by_device ON events(device_id, arrival_time DESC, id DESC);"
    "CREATE INDEX IF NOT EXISTS events_by_time ON events(arrival_time DESC, id DESC);"
    // Daily samples: volumes carry used and total bytes (last and maximum of the day), disks
    // their highest temperature of the day; columns that do not apply are NULL.
    "CREATE TABLE IF NOT EXISTS samples("
    " device_id INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"            // 'volume' | 'disk'
    " object TEXT NOT NULL,"          // volume name, disk dev
    " day INTEGER NOT NULL,"
    " used_last INTEGER, used_max INTEGER, total_last INTEGER, total_max INTEGER,"
    " temp_max INTEGER,"
    " PRIMARY KEY(device_id, kind, object, day)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS samples_by_day ON samples(day);"
    // One row per device, read by the fleet list and its sorts; the column names are the
    // list's summary keys. marks: JSON array of the page's marks ("failing", "full", "hot",
    // "stale" ...). fill_days: days until the fullest-growing volume fills, NULL when none grows.
    // push_interval: the device's usual seconds between pushes, learnt from the arrivals of
    // its notes; NULL until two pushes were seen.
    "CREATE TABLE IF NOT EXISTS summary("
    " device_id INTEGER PRIMARY KEY,"
    " last_seen INTEGER,"
    " vol_count INTEGER NOT NULL DEFAULT 0,"
    " vol_max_use REAL,"
    " vol_max_name TEXT,"
    " disk_count INTEGER NOT NULL DEFAULT 0,"
    " disk_failing INTEGER NOT NULL DEFAULT 0,"
    " disk_max_temp INTEGER,"
    " app_count INTEGER NOT NULL DEFAULT 0,"
    " pkg_count INTEGER NOT NULL DEFAULT 0,"
    " fill_days REAL,"
    " marks TEXT NOT NULL DEFAULT '[]',"
    " push_interval INTEGER);"
    "CREATE INDEX IF NOT EXISTS summary_last_seen ON summary(last_seen);"
    "CREATE INDEX IF NOT EXISTS summary_vol_max_use ON summary(vol_max_use);"
    "CREATE INDEX IF NOT EXISTS summary_vol_count ON summary(vol_count);"
    "CREATE INDEX IF NOT EXISTS summary_disk_count ON summary(disk_count);"
    "CREATE INDEX IF NOT EXISTS summary_disk_failing ON summary(disk_failing);"
    "CREATE INDEX IF NOT EXISTS summary_disk_max_temp ON summary(disk_max_temp);"
    "CREATE INDEX IF NOT EXISTS summary_app_count ON summary(app_count);"
    "CREATE INDEX IF NOT EXISTS summary_pkg_count ON summary(pkg_count);"
    "CREATE INDEX IF NOT EXISTS summary_fill_days ON summary(fill_days);"
    // The devices of each mark are few: the list counts them from these, not from every row.
    // The last state recorded per device (a JSON object the writer compares the next push
    // with); a device without a row here gets a baseline, not "added" events.
    "CREATE TABLE IF NOT EXISTS state("
    " device_id INTEGER PRIMARY KEY,"
    " state TEXT NOT NULL,"
    " updated INTEGER NOT NULL);";

// The fleet's software: how many devices run each version of each package and application,
// as the recorded states hold them (the writer adds a device's state and takes away the one
// it replaces); name is the package's display name or the application's English name. A
// history migrated from before it is counted by the writer from its recorded states.
constexpr const char* kSoftwareSql =
    "CREATE TABLE IF NOT EXISTS software("
    " kind TEXT NOT NULL,"            // 'package' | 'application'
    " id TEXT NOT NULL,"
    " version TEXT NOT NULL,"
    " name TEXT NOT NULL DEFAULT '',"
    " devices INTEGER NOT NULL,"
    " PRIMARY KEY(kind, id, version)) WITHOUT ROWID;";
// One partial index per mark, so that the fleet's counts by mark cost the same at any size.
constexpr const char* kMarkIndexesSql =
    "CREATE INDEX IF NOT EXISTS summary_failing ON summary(device_id) WHERE marks LIKE '%\"failing\"%';"
    "CREATE INDEX IF NOT EXISTS summary_full ON summary(device_id) WHERE marks LIKE '%\"full\"%';"
    "CREATE INDEX IF NOT EXISTS summary_hot ON summary(device_id) WHERE marks LIKE '%\"hot\"%';"
    "CREATE INDEX IF NOT EXISTS summary_filling ON summary(device_id) WHERE marks LIKE '%\"filling\"%';";

// The fleet's shortest push interval, from which the readers count the stale devices without
// reading every device.
constexpr const char* kIntervalIndexSql =
    "CREATE INDEX IF NOT EXISTS summary_push_interval ON summary(push_interval);";

// clang-format on

// The version of the history's last schema step (its user_version); 'flx-admin init' runs the
// steps, the writer refuses an older database.
constexpr int kHistorySchemaVersion = 4;

}  // namespace flxhistory

#endif  // FLXHISTORY_SCHEMA_H
