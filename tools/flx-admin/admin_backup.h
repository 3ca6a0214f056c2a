// Backups of a root's stores: the three databases, the mirror folders, the spool, the keys,
// the certificate and the host settings, with a manifest that lets a backup be verified
// without restoring it.
#ifndef FLX_TOOLS_ADMIN_BACKUP_H
#define FLX_TOOLS_ADMIN_BACKUP_H

#include <json/value.h>

#include <string>
#include <vector>

namespace flxadmin {

// The manifest's name inside a backup folder.
extern const char kManifestName[];

struct BackupReport {
  double seconds = 0;                // the whole backup
  double windowSeconds = 0;          // every device lock held, until the snapshots were pinned
  double linkSeconds = 0;            // then each device's lock until its folders were linked
  Json::Value counts;                // as in the manifest
  std::vector<std::string> skipped;  // links and special files not copied
};

// Writes a backup of the current root into `dir` (made, mode 0700; it must not exist or be
// empty). Consistent while pushes run: the databases are read in one snapshot taken, with the
// mirror folders and the spool linked aside, while every device's lock is held.
int backup(const std::string& dir, BackupReport& report, std::string& err);

// Checks a backup against its manifest: every file's size and SHA-256, no file missing or
// added, each database's integrity and schema version. Each problem is one line in `problems`;
// non-zero when there is any (or the manifest cannot be read, in `err`).
int verifyBackup(const std::string& dir, std::vector<std::string>& problems, std::string& err);

// Restores a verified backup into the current root, which must hold no fleet and no running
// host (nor any process with the stores open); then migrates the schemas as init does.
// Refuses a backup whose schemas are newer than this program's.
int restore(const std::string& dir, std::string& err);

// The pid of a process that has the database at `path` open (its WAL index locked), 0 when
// none, -1 when it cannot be told.
long databaseUser(const std::string& path);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_BACKUP_H
