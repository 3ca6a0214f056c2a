#include "handlers/spool.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/staged_file.h"
#include "common/sys_calls.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevoids.h"

static const char kSource[] = "spool";

namespace {

// After a replay that failed again, an item waits this long before the next push tries it, so
// that a store still busy does not hold every item of every push for its whole patience.
const time_t kRetryAfterSeconds = 60;

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

unsigned long long ull(uint64_t v) {
  return static_cast<unsigned long long>(v);
}

// Writes `text` as the item file `leaf` of device `id`: staged and fsync'ed, folder and all.
// The spool folder may be searched by all (so that a push finds an empty spool without
// privileges), a device's folder and items only by root. False, errno set, on failure.
bool writeItem(uint64_t id, const std::string& leaf, const std::string& text) {
  if (KEVOFSMkdirP(flxspool::root().c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0711) < 0 ||
      KEVOFSMkdirP(flxspool::deviceDir(id).c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0700) < 0) {
    KVLIBFaultNoteErrno(errno);
    return false;
  }
  flx::Fd dir(open(flxspool::deviceDir(id).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  flx::StagedFile file;
  if (!dir.ok() || !file.create(dir.get(), leaf, 0600) || !file.write(text.data(), text.size()) ||
      !file.close(flx::StagedFile::kSync) || !file.commit()) {
    return false;
  }
  if (flx::sys().fsync(dir.get()) != 0) {  // the rename itself
    KVLIBFaultNoteErrno(errno);
    return false;
  }
  return true;
}

void removeItem(const std::string& path) {
  kevo::RootIds ids;
  flx::sys().unlinkat(AT_FDCWD, path.c_str(), 0);
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
  const std::string kind = std::string(group) + "." + module;
  const std::string path = flxspool::itemPath(id, kind);
  kevo::RootIds ids;
  struct stat st;
  const uint64_t replaced = lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (text.size() > kSpoolItemMaxBytes ||
      flxspool::totalBytes() - replaced + text.size() > kSpoolTotalMaxBytes) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu lost: the spool is full (%zu bytes)",
                kind.c_str(), ull(id), text.size());
    return -1;
  }
  if (!writeItem(id, kind + ".json", text)) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu lost: cannot write %s: %m", kind.c_str(),
                ull(id), path.c_str());
    return -1;
  }
  FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu collected at %llu spooled (%s): %s",
              kind.c_str(), ull(id), ull(collect_time), faultText(why), path.c_str());
  return 0;
}

void spoolSupersede(uint64_t id, const char* group, const char* module) {
  if (!flxspool::has(id)) return;
  const std::string path = flxspool::itemPath(id, std::string(group) + "." + module);
  Json::Value item;
  bool found;
  {
    kevo::RootIds ids;
    found = flxspool::readItem(path, item);
  }
  if (!found) return;
  removeItem(path);
  FLX_LOG_ERR(__LINE__,
              "%s:%d [%s.%s] of device %llu collected at %llu dropped from the spool: "
              "a later one was stored",
              group, module, ull(id), ull(flx::jsonU64(flx::jsonMember(item, "collect_time"))));
}

int spoolReplay(uint64_t id, bool now) {
  if (!flxspool::has(id)) return 0;
  std::vector<flxspool::Entry> entries;
  {
    kevo::RootIds ids;
    entries = flxspool::list(id);
  }
  int replayed = 0;
  for (const flxspool::Entry& e : entries) {
    if (!now && e.notBefore > time(nullptr)) continue;
    Json::Value item;
    {
      kevo::RootIds ids;
      if (!flxspool::readItem(e.path, item)) continue;  // replayed or replaced meanwhile
    }
    const std::string group = flx::jsonText(flx::jsonMember(item, "group_name"));
    const std::string module = flx::jsonText(flx::jsonMember(item, "module_name"));
    const CACHE_HANDLER_ENTRY* row = findHandler(group, module);
    if (row == nullptr) continue;  // not ours
    const std::string sn = flx::jsonText(flx::jsonMember(item, "sn"));
    const uint64_t t = flx::jsonU64(flx::jsonMember(item, "collect_time"));
    KVLIBFaultClear();
    int rc = callHandler(*row, sn, t, flx::jsonMember(item, "data"));
    const int why = KVLIBFaultGet();
    if (why != KVFAULT_NONE) {
      const time_t later = time(nullptr) + kRetryAfterSeconds;
      const struct timespec times[2] = {{later, 0}, {later, 0}};
      {
        kevo::RootIds ids;
        flx::sys().utimensat(AT_FDCWD, e.path.c_str(), times, AT_SYMLINK_NOFOLLOW);
      }
      FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu stays in the spool (%s)", e.kind.c_str(),
                  ull(id), faultText(why));
      break;
    }
    removeItem(e.path);
    if (rc < 0) {
      FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu failed on replay; dropped from the spool",
                  e.kind.c_str(), ull(id));
      continue;
    }
    FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu collected at %llu replayed from the spool",
                e.kind.c_str(), ull(id), ull(t));
    ++replayed;
  }
  kevo::RootIds ids;
  rmdir(flxspool::deviceDir(id).c_str());  // only when empty
  return replayed;
}
