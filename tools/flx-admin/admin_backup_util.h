// The pieces of backup, verify and restore (and the check's store access): the stores held
// open for a snapshot, the areas a backup holds, the manifest's files and their checks.
#ifndef FLX_TOOLS_ADMIN_BACKUP_UTIL_H
#define FLX_TOOLS_ADMIN_BACKUP_UTIL_H

#include <json/value.h>
#include <sqlite3.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace flxadmin {

// The names in folder `path` (empty when it cannot be read), without "." and "..".
std::vector<std::string> folderNames(const std::string& path);
// A device id written as decimal digits (as the mirror, spool and lock folders name them).
bool parseId(const std::string& text, uint64_t& id);
// The last component of a path.
std::string baseName(const std::string& path);
// Runs `sql` and calls `row` for each row. False with `err` on failure.
bool eachRow(sqlite3* db, const std::string& sql, const std::function<void(sqlite3_stmt*)>& row,
             std::string& err);

// The three databases of a root, each with a connection of its own (null when the file does
// not exist).
class Stores {
 public:
  struct Store {
    const char* name;  // "registry", "cache", "history"
    std::string path;
    sqlite3* db;
  };
  Stores() = default;
  ~Stores();
  Stores(const Stores&) = delete;
  Stores& operator=(const Stores&) = delete;

  // Opens those that exist (read-only when `readOnly`); the registry must. False with `err`.
  bool open(bool readOnly, std::string& err);
  // One read transaction on each, begun now: the snapshot that the backup copies.
  bool beginSnapshot(std::string& err);
  void endSnapshot();
  sqlite3* db(const char* name) const;
  const std::vector<Store>& all() const { return stores_; }

 private:
  std::vector<Store> stores_;
};

// Row counts of every table of `db`, by table name.
bool tableCounts(sqlite3* db, Json::Value& rows, std::string& err);
// Copies database `src` (in its current snapshot) to `destDir`/<name of `path`>, with the
// mode and owner of the file at `path`.
bool backupDatabase(sqlite3* src, const std::string& path, const std::string& destDir,
                    std::string& err);

// A part of the root that a backup holds: the folder `name` of the backup is `below` in the
// root. `staged`: linked aside in the window, copied from there.
struct Area {
  const char* name;
  const char* below;
  bool staged;
};
// The folders a backup copies (besides the databases).
const std::vector<Area>& backupAreas();
// The folders a restore puts back, the databases' first.
const std::vector<Area>& restoreAreas();

// The manifest's "files": every folder and file of the backup at `dir` but the manifest, with
// mode, owner, size and SHA-256.
bool manifestFiles(const std::string& dir, Json::Value& files, std::string& err);
// The manifest's "counts": devices, sessions and operators of the registry; mirror and spool
// files, all files and bytes.
Json::Value backupCounts(const Json::Value& databases, const Json::Value& files);
bool readManifest(const std::string& dir, Json::Value& manifest, std::string& err);
// Compares the backup's files with the manifest; one line per difference.
void checkFiles(const std::string& dir, const Json::Value& manifest,
                std::vector<std::string>& problems);
// Checks the integrity and schema version of a database copy.
void checkDatabase(const std::string& path, int userVersion, std::vector<std::string>& problems);

// False, with `err`, when the manifest's schemas are newer than this program's.
bool schemasNotNewer(const Json::Value& manifest, std::string& err);
// False, with `err`, when a host runs on the root (its run folder names a live process) or a
// process has one of the root's databases open.
bool rootIsIdle(std::string& err);
// False, with `err`, when the root holds devices or mirror folders already.
bool rootIsEmpty(std::string& err);
// Copies the backup's folder of `area` beside its place in the root and moves its entries in,
// replacing those of the same name.
bool restoreArea(const std::string& dir, const Area& area, std::string& err);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_BACKUP_UTIL_H
