#include "handlers/cache_handler.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <exception>
#include <memory>

#include "common/device_lock.h"
#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/privilege.h"
#include "handlers/spool.h"
#include "flx.h"
#include "kevocore.h"

static const char kSource[] = "cache_handler";

// One aligned row per item kind: group, module, handler. Never written at run time.
// clang-format off
const CACHE_HANDLER_ENTRY g_table[7] = {
    {"basic",   "basic",        basicCacheUpdate},
    {"basic",   "package",      packageCacheUpdate},
    {"basic",   "applications", appCacheUpdate},
    {"basic",   "info",         infoCacheUpdate},
    {"storage", "share",        shareCacheUpdate},
    {"storage", "storage",      storageCacheUpdate},
    {nullptr,   nullptr,        nullptr},
};
// clang-format on
static_assert(sizeof(g_table) == 168, "the server reads g_table as 7 rows of 24 bytes");

// Source lines that the log lines of this file are known by.
static const int kLineDataIncorrect = 23;
static const int kLineHandlerFailed = 27;
static const int kLineOpenSection = 64;
static const int kLineDecodeFailed = 71;
static const int kLineWriteFailed = 76;
static const int kLineUtimeSection = 91;

namespace {

const CACHE_HANDLER_ENTRY* findHandler(const std::string& group, const std::string& module) {
  for (const CACHE_HANDLER_ENTRY* row = g_table; row->szModule != nullptr; ++row) {
    if (module == row->szModule && row->szGroup != nullptr && group == row->szGroup) return row;
  }
  return nullptr;
}

// A handler's exception is its failure: it must not reach the server, nor stop the batch.
int callHandler(const CACHE_HANDLER_ENTRY& row, const std::string& client_sn, uint64_t collect_time,
                const Json::Value& data) {
  try {
    return row.handler(client_sn, collect_time, data);
  } catch (const std::exception& e) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s] handler threw: %s", row.szModule, e.what());
  } catch (...) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s] handler threw", row.szModule);
  }
  return -1;
}

}  // namespace

namespace {

// The registry's id of the device `sn`, or 0 when it is unknown or the registry failed.
uint64_t deviceIdOf(const std::string& sn) {
  KEVOFLX_QX rec;
  return KEVOFLXQxGetBySN(sn.c_str(), &rec) == 0 ? rec.id : 0;
}

// Calls the handler with the device's lock held. A transient failure keeps the item in the
// spool; a success supersedes a spooled item of its kind and replays what the device has
// spooled, now that the stores take writes again.
int callSerialised(const CACHE_HANDLER_ENTRY& row, const std::string& client_sn,
                   uint64_t collect_time, const Json::Value& data) {
  const uint64_t id = deviceIdOf(client_sn);
  if (id == 0) return callHandler(row, client_sn, collect_time, data);  // it fails on its own
  DeviceLock lock(id);
  if (lock.opened() && !lock.held()) {
    spoolKeep(id, client_sn, row.szGroup, row.szModule, collect_time, data, KVFAULT_BUSY);
    return -1;
  }
  KVLIBFaultClear();
  int rc = callHandler(row, client_sn, collect_time, data);
  const int why = KVLIBFaultGet();
  if (rc < 0) {
    if (why != KVFAULT_NONE) {
      spoolKeep(id, client_sn, row.szGroup, row.szModule, collect_time, data, why);
    }
    return rc;
  }
  if (spoolHas(id)) {  // one look on the common path, where the device has nothing spooled
    spoolSupersede(id, row.szGroup, row.szModule, collect_time);
    spoolReplay(id);
  }
  return rc;
}

}  // namespace

int updateCache(const std::string& group_name, const std::string& module_name,
                const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  const CACHE_HANDLER_ENTRY* row = findHandler(group_name, module_name);
  if (row == nullptr) return 0;
  if (!data.isObject()) {
    FLX_LOG_ERR(kLineDataIncorrect, "%s:%d [%s] data is incorrect", row->szModule);
    return -1;
  }
  if (callSerialised(*row, client_sn, collect_time, data) < 0) {
    FLX_LOG_ERR(kLineHandlerFailed, "%s:%d Update information [%s], client_sn=%s", row->szModule,
                flx::logText(client_sn).c_str());
    return -1;
  }
  return 0;
}

namespace {

struct FreeDeleter {
  void operator()(unsigned char* p) const { free(p); }
};

// Writes all `size` bytes, resuming after short writes. False on an error.
bool writeAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The new content of a mirror file, written beside it under a name of its own and moved over
// it only when every byte is there: a failed write leaves the old file and its stamp whole.
class StagedFile {
 public:
  ~StagedFile() { discard(); }

  // Opens the file's folder without passing a link and creates the temporary file (the old
  // file's mode and owner when it exists, else 0644). Privileged; -1 (logged) on failure.
  int open(const char* path) {
    int failure = 0;
    {
      PrivilegedSection section(kSource, kLineOpenSection);
      path_ = path;
      dir_ = flx::openParentNoFollow(path_, leaf_, false);
      if (dir_.ok() && !flx::refuseLink(dir_.get(), leaf_, path_)) createTemp();
      if (!fd_.ok()) {
        FLX_SHORT_FAILURE(kLineOpenSection, "0 > (fd = open(szPath, O_CREAT | O_WRONLY))");
        failure = errno != 0 ? errno : EIO;
      }
    }
    errno = failure;  // leaving the section reset it; the caller's line shows the cause
    return failure != 0 ? -1 : 0;
  }
  int fd() const { return fd_.get(); }

  // Stamps the content with `mtime` and moves it over the file. False (logged) when the move
  // failed; a failed stamp is logged only.
  bool commit(uint64_t mtime) {
    {
      PrivilegedSection section(kSource, kLineUtimeSection);
      struct timespec times[2];
      times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(mtime);
      times[0].tv_nsec = times[1].tv_nsec = 0;
      if (futimens(fd_.get(), times) < 0) {
        FLX_SHORT_FAILURE(kLineUtimeSection, "utime(szPath, &utb) < 0");
      }
    }
    if (close(fd_.release()) != 0) {
      FLX_LOG_ERR(kLineWriteFailed, "%s:%d fail to write file");
      return false;
    }
    int rc = 0;
    int saved = 0;
    {
      PrivilegedSection section(kSource, __LINE__);
      rc = renameat(dir_.get(), tmp_.c_str(), dir_.get(), leaf_.c_str());
      saved = errno;
    }
    if (rc != 0) {
      errno = saved;
      FLX_LOG_ERR(__LINE__, "%s:%d failed to move the new content over %s, errno=%m",
                  flx::logText(path_).c_str());
      return false;
    }
    tmp_.clear();
    return true;
  }

  // Removes the temporary file, keeping errno.
  void discard() {
    fd_.reset();
    if (tmp_.empty() || !dir_.ok()) return;
    int saved = errno;
    {
      PrivilegedSection section(kSource, __LINE__);
      unlinkat(dir_.get(), tmp_.c_str(), 0);
    }
    tmp_.clear();
    errno = saved;
  }

 private:
  void createTemp() {
    struct stat old;
    const bool existed = fstatat(dir_.get(), leaf_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    for (int attempt = 0; attempt < 16 && !fd_.ok(); ++attempt) {
      // Short enough beside any name that fits the folder.
      char name[40];
      snprintf(name, sizeof(name), ".flx-%d-%d", static_cast<int>(getpid()), rand() % 100000);
      tmp_ = name;
      fd_ = flx::Fd(openat(dir_.get(), tmp_.c_str(),
                           O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644));
      if (!fd_.ok() && errno != EEXIST) break;
    }
    if (!fd_.ok()) {
      tmp_.clear();
      return;
    }
    if (existed && S_ISREG(old.st_mode)) {
      // A rewritten file keeps its owner and mode.
      if (fchown(fd_.get(), old.st_uid, old.st_gid) != 0) errno = 0;  // needs root
      fchmod(fd_.get(), old.st_mode & 07777);
    }
    errno = 0;
  }

  std::string path_;
  std::string leaf_;
  std::string tmp_;
  flx::Fd dir_;
  flx::Fd fd_;
};

// Decodes `base64_text` into a fresh buffer and writes it all to `fd`. False (logged, errno
// set) on failure.
bool writeDecoded(int fd, const char* base64_text) {
  const size_t textLength = strlen(base64_text);
  if (textLength > static_cast<size_t>(INT_MAX)) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
    errno = EINVAL;
    return false;
  }
  const int length = static_cast<int>(textLength);
  // One spare byte so that an empty text still gets a buffer of its own.
  std::unique_ptr<unsigned char, FreeDeleter> buffer(
      static_cast<unsigned char*>(calloc(textLength + 1, 1)));
  if (!buffer) {
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, kSource, __LINE__);
    FLX_LOG_ERR(__LINE__, "%s:%d Can't malloc memory: %d bytes", length);
    errno = ENOMEM;
    return false;
  }
  int decoded = length;
  if (KVLIBBase64Decode(base64_text, length, buffer.get(), &decoded) == 0) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
    errno = EINVAL;
    return false;
  }
  if (decoded < 0 || decoded > length ||
      !writeAll(fd, buffer.get(), static_cast<size_t>(decoded))) {
    FLX_LOG_ERR(kLineWriteFailed, "%s:%d fail to write file");
    return false;
  }
  return true;
}

}  // namespace

int update_file_from_base64(const char* path, const char* base64_text, uint64_t size,
                            uint64_t mtime) {
  if (path == nullptr || base64_text == nullptr) {
    KVLIBErrSetEx(KVERR_INVALID_ARGUMENT, kSource, __LINE__);
    FLX_LOG_ERR(__LINE__, "%s:%d Invalid argument: path=%p base64=%p", path, base64_text);
    errno = EINVAL;
    return -1;
  }
  // An unchanged file costs this one lstat: no privileges, no open, no decoding.
  struct stat st;
  const bool existed = lstat(path, &st) == 0;
  if (existed && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == size &&
      static_cast<uint64_t>(st.st_mtime) == mtime) {
    return 0;
  }
  // errno of the failing step is left for the caller's failure line.
  StagedFile file;
  if (file.open(path) < 0) return -1;
  if (!writeDecoded(file.fd(), base64_text)) return -1;
  if (!file.commit(mtime)) return -1;
  return existed ? 1 : 2;
}

int update_file_from_pushed(const char* path, const Json::Value& file) {
  const Json::Value& content = flx::jsonMember(file, "data");
  if (!content.isString()) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
    errno = EINVAL;
    return -1;
  }
  return update_file_from_base64(path, flx::jsonText(content).c_str(),
                                 flx::jsonU64(flx::jsonMember(file, "size")),
                                 flx::jsonU64(flx::jsonMember(file, "mtime")));
}
