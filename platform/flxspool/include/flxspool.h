// The files of the dead-letter spool: one folder per device id below the spool folder, one
// file "<group>.<module>.json" per item kind, holding {sn, group_name, module_name,
// collect_time, data}.
#ifndef FLXSPOOL_H
#define FLXSPOOL_H

#include <json/value.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

// Folder of the spool, below the root.
#define KEVO_SPOOL_DIR "/var/packages/FLX/target/spool"

namespace flxspool {

// One spooled item as listed.
struct Entry {
  uint64_t id = 0;
  std::string kind;  // "<group>.<module>"
  std::string path;
  uint64_t bytes = 0;
  uint64_t collect_time = 0;
  time_t notBefore = 0;  // the file's mtime: a failed replay moves it into the future
};

std::string root();
std::string deviceDir(uint64_t id);
std::string itemPath(uint64_t id, const std::string& kind);
// True when device `id` has a spool folder (one stat, no privileges).
bool has(uint64_t id);
// The spooled items, of every device or of one (`id` non-zero), by device and kind.
std::vector<Entry> list(uint64_t id = 0);
// The same without their collect times (left 0): one stat per file, no file read.
std::vector<Entry> files(uint64_t id = 0);
// Bytes held by the whole spool.
uint64_t totalBytes();
// Reads a spooled item; false when the file is missing or holds no item.
bool readItem(const std::string& path, Json::Value& item);
// Removes one spooled item, and its device's folder when that is then empty. 0 on success.
int drop(const Entry& entry);

}  // namespace flxspool

#endif  // FLXSPOOL_H
