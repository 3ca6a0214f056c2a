#include "handlers/spool.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
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
  if (dir.ok()) flx::removeLeftovers(dir.get());  // every name here is the spool's own
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

// Holds the spool's lock, with root's ids: the spool folder locked (flock) for the reading,
// writing and removal of its items, a short step each.
class SpoolLock {
 public:
  SpoolLock() {
    if (KEVOFSMkdirP(flxspool::root().c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0711) < 0) return;
    fd_ = flx::Fd(open(flxspool::root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (fd_.ok() && flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  SpoolLock(const SpoolLock&) = delete;
  SpoolLock& operator=(const SpoolLock&) = delete;

 private:
  kevo::RootIds ids_;
  flx::Fd fd_;
};

void setArrival(Json::Value& item, const Arrival& arrival) {
  item["arrival_ns"] = Json::UInt64(arrival.ns);
  item["arrival_seq"] = Json::UInt(arrival.seq);
}

// A spooled item's arrival; an item spooled without one counts as the earliest.
Arrival arrivalOf(const Json::Value& item) {
  Arrival arrival;
  arrival.ns = flx::jsonU64(flx::jsonMember(item, "arrival_ns"));
  arrival.seq = static_cast<uint32_t>(flx::jsonU64(flx::jsonMember(item, "arrival_seq")));
  return arrival;
}

bool sameArrival(const Arrival& a, const Arrival& b) {
  return !arrivedAfter(a, b) && !arrivedAfter(b, a);
}

// Runs `step` with the lock held, if spooled item `path` is still the one that arrived at
// `arrival`: a later one may have replaced it while it was replayed.
template <typename Step>
void ifStillSpooled(const std::string& path, const Arrival& arrival, Step step) {
  SpoolLock lock;
  Json::Value item;
  if (flxspool::readItem(path, item) && sameArrival(arrivalOf(item), arrival)) step();
}

}  // namespace

int spoolKeep(uint64_t id, const std::string& sn, const char* group, const char* module,
              uint64_t collect_time, const Json::Value& data, int why, const Arrival& arrival) {
  Json::Value item(Json::objectValue);
  item["sn"] = sn;
  item["group_name"] = group;
  item["module_name"] = module;
  item["collect_time"] = Json::UInt64(collect_time);
  setArrival(item, arrival);
  item["data"] = data;
  const std::string text = flx::toString(item);
  const std::string kind = std::string(group) + "." + module;
  const std::string path = flxspool::itemPath(id, kind);
  SpoolLock lock;
  Json::Value spooled;
  if (flxspool::readItem(path, spooled) && arrivedAfter(arrivalOf(spooled), arrival)) {
    FLX_LOG_ERR(__LINE__,
                "%s:%d [%s] of device %llu collected at %llu not spooled (%s): a later one is",
                kind.c_str(), ull(id), ull(collect_time), faultText(why));
    return 0;
  }
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

void spoolSupersede(uint64_t id, const char* group, const char* module, const Arrival& arrival,
                    bool stored) {
  if (!flxspool::has(id)) return;
  const std::string path = flxspool::itemPath(id, std::string(group) + "." + module);
  Json::Value item;
  SpoolLock lock;
  if (!flxspool::readItem(path, item) || arrivedAfter(arrivalOf(item), arrival)) return;
  removeItem(path);
  FLX_LOG_ERR(__LINE__,
              "%s:%d [%s.%s] of device %llu collected at %llu dropped from the spool: "
              "a later one was %s",
              group, module, ull(id), ull(flx::jsonU64(flx::jsonMember(item, "collect_time"))),
              stored ? "stored" : "handled and failed");
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
      SpoolLock lock;
      if (!flxspool::readItem(e.path, item)) continue;  // replayed or replaced meanwhile
    }
    const Arrival arrival = arrivalOf(item);
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
      ifStillSpooled(e.path, arrival, [&] {
        flx::sys().utimensat(AT_FDCWD, e.path.c_str(), times, AT_SYMLINK_NOFOLLOW);
      });
      FLX_LOG_ERR(__LINE__, "%s:%d [%s] of device %llu stays in the spool (%s)", e.kind.c_str(),
                  ull(id), faultText(why));
      break;
    }
    ifStillSpooled(e.path, arrival, [&] { removeItem(e.path); });
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
