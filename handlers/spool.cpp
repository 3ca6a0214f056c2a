#include "handlers/spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/privilege.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevoroot.h"

static const char kSource[] = "spool";

namespace {

const char kSuffix[] = ".json";

const char* faultText(int why) {
  switch (why) {
    case KVFAULT_BUSY:
      return "database busy";
    case KVFAULT_FULL:
      return "disk full";
    case KVFAULT_IO:
      return "I/O error";
  }
  return "transient failure";
}

std::string spoolRoot() {
  return std::string(KEVORootPrefix()) + KEVO_SPOOL_DIR;
}

std::string deviceDir(uint64_t id) {
  return spoolRoot() + "/" + std::to_string(id);
}

std::string itemPath(uint64_t id, const char* group, const char* module) {
  return deviceDir(id) + "/" + group + "." + module + kSuffix;
}

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

// After a replay that failed again, an item waits this long before the next push tries it, so
// that a store still busy does not hold every item of every push for its whole patience.
const time_t kRetryAfterSeconds = 60;

struct SpoolFile {
  std::string first;     // name
  uint64_t second = 0;   // bytes
  time_t notBefore = 0;  // the mtime: a failed replay sets it into the future
  bool operator<(const SpoolFile& o) const { return first < o.first; }
};

// Regular files of `dir` with their sizes, names in order.
std::vector<SpoolFile> filesOf(const std::string& dir) {
  std::vector<SpoolFile> out;
  std::unique_ptr<DIR, DirClose> d(opendir(dir.c_str()));
  if (!d) return out;
  while (struct dirent* e = readdir(d.get())) {
    struct stat st;
    std::string name = e->d_name;
    if (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      out.push_back(SpoolFile{name, static_cast<uint64_t>(st.st_size), st.st_mtime});
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

uint64_t spoolBytes() {
  uint64_t total = 0;
  std::unique_ptr<DIR, DirClose> d(opendir(spoolRoot().c_str()));
  if (!d) return 0;
  while (struct dirent* e = readdir(d.get())) {
    if (e->d_name[0] == '.') continue;
    for (const auto& f : filesOf(spoolRoot() + "/" + e->d_name)) total += f.second;
  }
  return total;
}

// Reads a spooled item; false when it is not one.
bool readItem(const std::string& path, Json::Value& item) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "re"), fclose);
  if (!f) return false;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  return flx::fromString(text, item) && item.isObject() && flx::jsonMember(item, "sn").isString() &&
         flx::jsonMember(item, "data").isObject();
}

// Writes `text` beside `path` and renames it over, so that a failed write keeps the old item.
bool writeWhole(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == text.size() && fsync(fd) == 0;
  int err = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  if (ok) err = errno;
  unlink(tmp.c_str());
  errno = err;
  return false;
}

uint64_t spooledTime(const std::string& path, bool& found) {
  Json::Value item;
  found = readItem(path, item);
  return found ? flx::jsonU64(flx::jsonMember(item, "collect_time")) : 0;
}

// A handler's exception is its failure.
int runHandler(CACHE_HANDLER handler, const std::string& sn, uint64_t t, const Json::Value& d) {
  try {
    return handler(sn, t, d);
  } catch (const std::exception&) {
  } catch (...) {
  }
  return -1;
}

const CACHE_HANDLER_ENTRY* rowOfKind(const std::string& kind) {
  for (const CACHE_HANDLER_ENTRY* row = g_table; row->szModule != nullptr; ++row) {
    if (kind == std::string(row->szGroup) + "." + row->szModule + kSuffix) return row;
  }
  return nullptr;
}

}  // namespace

int spoolKeep(uint64_t id, const std::string& sn, const char* group, const char* module,
              uint64_t collect_time, const Json::Value& data, int why) {
  Json::Value item(Json::objectValue);
  item["sn"] = sn;
  item["group_name"] = group;
  item["module_name"] = module;
  item["collect_time"] = Json::UInt64(collect_time);
  item["data"] = data;
  const std::string text = flx::toString(item);
  const std::string path = itemPath(id, group, module);
  PrivilegedSection section(kSource, __LINE__);
  bool found = false;
  uint64_t kept = spooledTime(path, found);
  if (found && kept > collect_time) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu not spooled: a newer one is (%llu > %llu)",
                group, module, static_cast<unsigned long long>(id),
                static_cast<unsigned long long>(kept),
                static_cast<unsigned long long>(collect_time));
    return 0;
  }
  if (text.size() > kSpoolItemMaxBytes || spoolBytes() + text.size() > kSpoolTotalMaxBytes) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu lost: the spool is full (%zu bytes)", group,
                module, static_cast<unsigned long long>(id), text.size());
    return -1;
  }
  // The spool folder may be searched by all (so that a push finds an empty spool without
  // privileges), a device's folder and items only by root.
  const std::string root = spoolRoot();
  KEVOFSMkdirP(root.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0711);
  KEVOFSMkdirP(deviceDir(id).c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0700);
  if (!writeWhole(path, text)) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu lost: cannot write %s: %m", group, module,
                static_cast<unsigned long long>(id), path.c_str());
    return -1;
  }
  FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu collected at %llu spooled (%s): %s", group,
              module, static_cast<unsigned long long>(id),
              static_cast<unsigned long long>(collect_time), faultText(why), path.c_str());
  return 0;
}

bool spoolHas(uint64_t id) {
  struct stat st;
  return stat(deviceDir(id).c_str(), &st) == 0;
}

void spoolSupersede(uint64_t id, const char* group, const char* module, uint64_t collect_time) {
  if (!spoolHas(id)) return;
  const std::string path = itemPath(id, group, module);
  PrivilegedSection section(kSource, __LINE__);
  bool found = false;
  uint64_t kept = spooledTime(path, found);
  if (!found || kept > collect_time) return;
  unlink(path.c_str());
  FLX_LOG_ERR(__LINE__,
              "%s:%d [%s.%s] of device %llu collected at %llu dropped from the spool: "
              "a newer one was stored",
              group, module, static_cast<unsigned long long>(id),
              static_cast<unsigned long long>(kept));
}

int spoolReplay(uint64_t id, bool now) {
  if (!spoolHas(id)) return 0;
  const std::string dir = deviceDir(id);
  std::vector<SpoolFile> files;
  {
    PrivilegedSection section(kSource, __LINE__);
    files = filesOf(dir);
  }
  int replayed = 0;
  for (const auto& f : files) {
    const CACHE_HANDLER_ENTRY* row = rowOfKind(f.first);
    if (row == nullptr) continue;  // a ".tmp" left by a crash, or not ours
    if (!now && f.notBefore > time(nullptr)) continue;
    const std::string path = dir + "/" + f.first;
    Json::Value item;
    bool ok;
    {
      PrivilegedSection section(kSource, __LINE__);
      ok = readItem(path, item);
    }
    const std::string sn = flx::jsonText(flx::jsonMember(item, "sn"));
    const uint64_t t = flx::jsonU64(flx::jsonMember(item, "collect_time"));
    KVLIBFaultClear();
    int rc = ok ? runHandler(row->handler, sn, t, flx::jsonMember(item, "data")) : -1;
    const int why = KVLIBFaultGet();
    if (rc < 0 && why != KVFAULT_NONE) {
      const time_t later = time(nullptr) + kRetryAfterSeconds;
      const struct timespec times[2] = {{later, 0}, {later, 0}};
      {
        PrivilegedSection section(kSource, __LINE__);
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
      }
      FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu stays in the spool (%s)", row->szGroup,
                  row->szModule, static_cast<unsigned long long>(id), faultText(why));
      break;
    }
    {
      PrivilegedSection section(kSource, __LINE__);
      unlink(path.c_str());
    }
    if (rc < 0) {
      FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu failed on replay; dropped from the spool",
                  row->szGroup, row->szModule, static_cast<unsigned long long>(id));
      continue;
    }
    FLX_LOG_ERR(__LINE__, "%s:%d [%s.%s] of device %llu collected at %llu replayed from the spool",
                row->szGroup, row->szModule, static_cast<unsigned long long>(id),
                static_cast<unsigned long long>(t));
    ++replayed;
  }
  PrivilegedSection section(kSource, __LINE__);
  rmdir(dir.c_str());  // only when empty
  return replayed;
}

std::vector<SpoolEntry> spoolList(uint64_t id) {
  std::vector<SpoolEntry> out;
  std::vector<std::string> dirs;
  if (id != 0) {
    dirs.push_back(std::to_string(id));
  } else {
    std::unique_ptr<DIR, DirClose> d(opendir(spoolRoot().c_str()));
    while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
      if (e->d_name[0] != '.') dirs.push_back(e->d_name);
    }
    std::sort(dirs.begin(), dirs.end());
  }
  for (const std::string& name : dirs) {
    char* end = nullptr;
    unsigned long long dev = strtoull(name.c_str(), &end, 10);
    if (end == name.c_str() || *end != '\0') continue;
    for (const auto& f : filesOf(spoolRoot() + "/" + name)) {
      if (rowOfKind(f.first) == nullptr) continue;
      SpoolEntry e;
      e.id = dev;
      e.kind = f.first.substr(0, f.first.size() - (sizeof kSuffix - 1));
      e.path = spoolRoot() + "/" + name + "/" + f.first;
      e.bytes = f.second;
      bool found = false;
      e.collect_time = spooledTime(e.path, found);
      out.push_back(e);
    }
  }
  return out;
}

int spoolDrop(const SpoolEntry& entry) {
  if (unlink(entry.path.c_str()) != 0) return -1;
  rmdir(deviceDir(entry.id).c_str());
  return 0;
}
