#include "handlers/cache_handler.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <exception>
#include <memory>

#include "common/device_lock.h"
#include "common/privilege.h"
#include "common/spool.h"
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
static const int kLineHandlerThrew = 29;
static const int kLineBadFileArgs = 55;
static const int kLineOpenSection = 64;
static const int kLineNoDecodeMemory = 69;
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
    FLX_LOG_ERR(kLineHandlerThrew, "%s:%d [%s] handler threw: %s", row.szModule, e.what());
  } catch (...) {
    FLX_LOG_ERR(kLineHandlerThrew, "%s:%d [%s] handler threw", row.szModule);
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
  spoolSupersede(id, row.szGroup, row.szModule, collect_time);
  spoolReplay(id);
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
                client_sn.c_str());
    return -1;
  }
  return 0;
}

namespace {

// Owns a file descriptor; closes it on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct FreeDeleter {
  void operator()(unsigned char* p) const { free(p); }
};

// Opens `path` for a fresh write inside a privileged section; -1 (logged) on failure.
int openForRewrite(const char* path) {
  PrivilegedSection section(kSource, kLineOpenSection);
  int fd = open(path, O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd < 0) FLX_SHORT_FAILURE(kLineOpenSection, "0 > (fd = open(szPath, O_CREAT | O_WRONLY))");
  return fd;
}

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

void stampMtime(const char* path, uint64_t mtime) {
  PrivilegedSection section(kSource, kLineUtimeSection);
  struct utimbuf utb;
  utb.actime = static_cast<time_t>(mtime);
  utb.modtime = static_cast<time_t>(mtime);
  if (utime(path, &utb) < 0) FLX_SHORT_FAILURE(kLineUtimeSection, "utime(szPath, &utb) < 0");
}

// Decodes `base64_text` into a fresh buffer and writes it all to `fd`. False (logged) on
// failure.
bool writeDecoded(int fd, const char* base64_text) {
  const size_t textLength = strlen(base64_text);
  if (textLength > static_cast<size_t>(INT_MAX)) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
    return false;
  }
  const int length = static_cast<int>(textLength);
  // One spare byte so that an empty text still gets a buffer of its own.
  std::unique_ptr<unsigned char, FreeDeleter> buffer(
      static_cast<unsigned char*>(calloc(textLength + 1, 1)));
  if (!buffer) {
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, kSource, kLineNoDecodeMemory);
    FLX_LOG_ERR(kLineNoDecodeMemory, "%s:%d Can't malloc memory: %d bytes", length);
    return false;
  }
  int decoded = length;
  if (KVLIBBase64Decode(base64_text, length, buffer.get(), &decoded) == 0) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
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
    KVLIBErrSetEx(KVERR_INVALID_ARGUMENT, kSource, kLineBadFileArgs);
    FLX_LOG_ERR(kLineBadFileArgs, "%s:%d Invalid argument: path=%p base64=%p", path, base64_text);
    return -1;
  }
  // An unchanged file costs this one stat: no privileges, no open, no decoding.
  struct stat st;
  const bool existed = stat(path, &st) == 0;
  if (existed && static_cast<uint64_t>(st.st_size) == size &&
      static_cast<uint64_t>(st.st_mtime) == mtime) {
    return 0;
  }
  {
    FileDescriptor fd(openForRewrite(path));
    if (fd.get() < 0) return -1;
    if (!writeDecoded(fd.get(), base64_text)) return -1;
  }
  stampMtime(path, mtime);
  return existed ? 1 : 2;
}
