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
#include "common/staged_file.h"
#include "common/sys_calls.h"
#include "flx.h"
#include "handlers/spool.h"
#include "kevocore.h"
#include "kevoids.h"

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

namespace {

// The device of the push in progress on this thread, looked up at its first item.
thread_local PushScope* tPush = nullptr;

// The registry's id of the device `sn`, or 0 when it is unknown or the registry failed.
uint64_t deviceIdOf(const std::string& sn) {
  if (tPush != nullptr && tPush->known && tPush->sn == sn) return tPush->id;
  KEVOFLX_QX rec;
  const uint64_t id = KEVOFLXQxGetBySN(sn.c_str(), &rec) == 0 ? rec.id : 0;
  if (tPush != nullptr && id != 0) {
    tPush->sn = sn;
    tPush->id = id;
    tPush->known = true;
  }
  return id;
}

uint64_t nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The arrival order of an item that arrives now: its push's, else its own.
Arrival arrivalOfItem() {
  Arrival arrival;
  if (tPush != nullptr) {
    arrival.ns = tPush->arrivalNs;
    arrival.seq = tPush->nextItem++;
  } else {
    arrival.ns = nowNs();
  }
  return arrival;
}

// Calls the handler with the device's lock held. An item whose handler met a passing fault
// (busy, full, I/O) is kept in the spool, whatever the handler returned; one handled without
// such a fault drops a spooled item of its kind that arrived before it, and a stored one
// replays what the device has spooled, now that the stores take writes again.
int callSerialised(const CACHE_HANDLER_ENTRY& row, const std::string& client_sn,
                   uint64_t collect_time, const Json::Value& data) {
  const Arrival arrival = arrivalOfItem();  // before the wait for the device
  const uint64_t id = deviceIdOf(client_sn);
  if (id == 0) return callHandler(row, client_sn, collect_time, data);  // it fails on its own
  DeviceLock lock(id);
  if (lock.removed()) {
    FLX_LOG_ERR(__LINE__, "%s:%d [%s] device %s was removed while its push waited: not stored",
                row.szModule, client_sn.c_str());
    return -1;
  }
  if (lock.opened() && !lock.held()) {
    spoolKeep(id, client_sn, row.szGroup, row.szModule, collect_time, data, KVFAULT_BUSY, arrival);
    return -1;
  }
  KVLIBFaultClear();
  int rc = callHandler(row, client_sn, collect_time, data);
  const int why = KVLIBFaultGet();
  if (why != KVFAULT_NONE) {
    spoolKeep(id, client_sn, row.szGroup, row.szModule, collect_time, data, why, arrival);
    return rc;
  }
  if (flxspool::has(id)) {  // one stat on the common path, where nothing is spooled
    spoolSupersede(id, row.szGroup, row.szModule, arrival, rc >= 0);
    if (rc >= 0) spoolReplay(id);
  }
  return rc;
}

}  // namespace

PushScope::PushScope() : arrivalNs(nowNs()), outer_(tPush) {
  tPush = this;
}

PushScope::~PushScope() {
  tPush = outer_;
}

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

// Decodes `base64_text` into a fresh buffer and writes it all to `file`. Null text is content
// that is not text: it fails as text that does not decode. False (logged) on failure.
bool writeDecoded(flx::StagedFile& file, const char* base64_text) {
  const size_t textLength = base64_text != nullptr ? strlen(base64_text) : 0;
  if (base64_text == nullptr || textLength > static_cast<size_t>(INT_MAX)) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
    return false;
  }
  const int length = static_cast<int>(textLength);
  // One spare byte so that an empty text still gets a buffer of its own.
  std::unique_ptr<unsigned char, FreeDeleter> buffer(
      static_cast<unsigned char*>(flx::sys().calloc(textLength + 1, 1)));
  if (!buffer) {
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, kSource, __LINE__);
    FLX_LOG_ERR(__LINE__, "%s:%d Can't malloc memory: %d bytes", length);
    return false;
  }
  int decoded = length;
  if (KVLIBBase64Decode(base64_text, length, buffer.get(), &decoded) == 0) {
    FLX_LOG_ERR(kLineDecodeFailed, "%s:%d fail to decode");
    return false;
  }
  if (decoded < 0 || decoded > length || !file.write(buffer.get(), static_cast<size_t>(decoded))) {
    FLX_LOG_ERR(kLineWriteFailed, "%s:%d fail to write file");
    return false;
  }
  return true;
}

// Removes the new content after a failure outside the sections: a named file beside sits in
// root's folder, so its removal needs root's ids (silently: no section of the writer's own).
void discardContent(flx::StagedFile& file) {
  if (!file.named()) {
    file.discard();
    return;
  }
  kevo::RootIds ids;
  file.discard();
}

// The first section: the folder, and the new content's file in it. A link at the name is
// refused, a folder there fails as the open would.
bool openContent(flx::StagedFile& file, flx::Fd& dir, const char* path) {
  PrivilegedSection section(kSource, kLineOpenSection);
  std::string leaf;
  dir = flx::openParentNoFollow(path, leaf, false);
  if (!dir.ok() || flx::refuseLink(dir.get(), leaf, path) || !file.create(dir.get(), leaf, 0644)) {
    FLX_SHORT_FAILURE(kLineOpenSection, "0 > (fd = open(szPath, O_CREAT | O_WRONLY))");
    return false;
  }
  return true;
}

// Decodes and writes with the caller's ids: the descriptor opened in the first section is all
// the write needs. A failure leaves errno as the failed step set it.
bool writeContent(flx::StagedFile& file, const char* text) {
  if (!writeDecoded(file, text)) {
    discardContent(file);
    return false;
  }
  if (!file.close(flx::StagedFile::kNoSync)) {
    FLX_LOG_ERR(kLineWriteFailed, "%s:%d fail to write file");
    discardContent(file);
    return false;
  }
  return true;
}

// The second section: the stamp, and the move over the old file.
bool commitContent(flx::StagedFile& file, const char* path, uint64_t mtime) {
  PrivilegedSection section(kSource, kLineUtimeSection);
  if (!file.stamp(static_cast<time_t>(mtime), static_cast<time_t>(mtime))) {
    FLX_SHORT_FAILURE(kLineUtimeSection, "utime(szPath, &utb) < 0");
  }
  if (file.commit()) return true;
  FLX_LOG_ERR(kLineUtimeSection, "%s:%d failed to move the new content over %s, errno=%m",
              flx::logText(path).c_str());
  file.discard();
  return false;
}

// The writer behind both entries; `text` null for content that is not text.
int writeMirrorFile(const char* path, const char* text, uint64_t size, uint64_t mtime) {
  // An unchanged file costs this one lstat: no privileges, no open, no decoding.
  struct stat st;
  const bool existed = lstat(path, &st) == 0;
  if (existed && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == size &&
      static_cast<uint64_t>(st.st_mtime) == mtime) {
    return 0;
  }
  // errno is left as the failed step set it, for the caller's line; the spool learns a
  // fault's kind from its note.
  flx::Fd dir;  // outlives the file staged in it
  flx::StagedFile file;
  if (!openContent(file, dir, path)) return -1;
  if (!writeContent(file, text)) return -1;
  if (!commitContent(file, path, mtime)) return -1;
  return existed ? 1 : 2;
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
  return writeMirrorFile(path, base64_text, size, mtime);
}

int update_file_from_pushed(const char* path, const Json::Value& file) {
  if (path == nullptr) return update_file_from_base64(path, "", 0, 0);
  // The text conversion: absent or null is the empty text, numbers and booleans their text.
  bool isText = false;
  const std::string text = flx::jsonText(flx::jsonMember(file, "data"), &isText);
  return writeMirrorFile(path, isText ? text.c_str() : nullptr,
                         flx::jsonU64(flx::jsonMember(file, "size")),
                         flx::jsonU64(flx::jsonMember(file, "mtime")));
}
