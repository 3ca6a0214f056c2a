// Handler of the (basic, applications) item: the registry holds exactly the device's pushed
// application list, and each application's icons are mirrored as PNG files.
#include "handlers/cache_handler_app.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/privilege.h"
#include "common/staged_file.h"
#include "common/sys_calls.h"
#include "flx.h"
#include "flxhandles.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevopath.h"
#include "kevoroot.h"

static const char kSource[] = "cache_handler_app";

namespace {

// Source lines that the log lines and privileged sections are known by.
constexpr int kLineIconMkdir = 22;
constexpr int kLineIconOpen = 26;
constexpr int kLineIconOpenFail = 28;
constexpr int kLineIconRename = 54;
constexpr int kLineIconRenameFail = 56;
constexpr int kLineIconChmod = 60;
constexpr int kLineIconWrite = 78;
constexpr int kLineIconCalloc = 122;
constexpr int kLineIconDecode = 126;
constexpr int kLineAppSet = 274;
constexpr int kLineNoQx = 315;
constexpr int kLineNoAppList = 333;

constexpr size_t kPathSize = 4096;
// The derived member and file names live in 16-byte buffers: keys of up to 9 characters.
constexpr size_t kNameSize = 16;
constexpr size_t kMaxKeyLength = 9;

struct MemFree {
  void operator()(unsigned char* p) const { free(p); }
};
using Buffer = std::unique_ptr<unsigned char, MemFree>;

// ---- icon files ----

struct IconPaths {
  char szFolderPath[kPathSize];  // <mirror>/apps/<id>
  char szPath[kPathSize];        // the icon file
  char szTmpPath[kPathSize];     // the icon file with ".tmp" appended
  char szFileName[kNameSize];    // "<key>.png"
  char szMtimeKey[kNameSize];    // "<key>_mtime"
  char szSizeKey[kNameSize];     // "<key>_size"
};

// Forms the names and paths of icon `key`; false when a path does not fit its buffer.
bool formIconPaths(const char* key, uint64_t qxId, const std::string& id, IconPaths* p) {
  snprintf(p->szFileName, kNameSize, "%s.png", key);
  snprintf(p->szMtimeKey, kNameSize, "%s_mtime", key);
  snprintf(p->szSizeKey, kNameSize, "%s_size", key);
  size_t folder = snprintf(p->szFolderPath, kPathSize, "%s" KEVO_QXINFO_DIR "/%llu/apps/%s",
                           KEVORootPrefix(), static_cast<unsigned long long>(qxId), id.c_str());
  size_t file = snprintf(p->szPath, kPathSize, "%s/%s", p->szFolderPath, p->szFileName);
  size_t tmp = snprintf(p->szTmpPath, kPathSize, "%s/%s.tmp", p->szFolderPath, p->szFileName);
  return folder < kPathSize && file < kPathSize && tmp < kPathSize;
}

// True when the icon file already carries the pushed time and size (and is not a stub).
bool iconUnchanged(const IconPaths& p, const Json::Value& app) {
  struct stat st;
  if (lstat(p.szPath, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 4) return false;
  if (!flx::jsonHas(app, p.szMtimeKey) || !flx::jsonHas(app, p.szSizeKey)) return false;
  return flx::jsonI64(flx::jsonMember(app, p.szMtimeKey)) == static_cast<int64_t>(st.st_mtime) &&
         flx::jsonI64(flx::jsonMember(app, p.szSizeKey)) == static_cast<int64_t>(st.st_size);
}

// Decodes the icon's base64 text into `*buf`; false (logged) on failure.
// Content that is not text is refused like text that does not decode.
bool decodeIcon(const Json::Value& content, Buffer* buf, int* decodedLength) {
  if (!content.isString()) {
    FLX_LOG_ERR(kLineIconDecode, "%s:%d fail to decode");
    return false;
  }
  std::string text = flx::jsonText(content);
  unsigned char* raw = nullptr;
  if (text.size() <= static_cast<size_t>(INT32_MAX)) {  // its length must fit the decoder's int
    raw = static_cast<unsigned char*>(flx::sys().calloc(text.size(), 1));
  }
  if (raw == nullptr) {
    FLX_LOG_ERR(kLineIconCalloc, "%s:%d can't calloc");
    return false;
  }
  buf->reset(raw);
  *decodedLength = static_cast<int>(text.size());
  if (0 == KVLIBBase64Decode(text.c_str(), static_cast<int>(text.size()), raw, decodedLength)) {
    FLX_LOG_ERR(kLineIconDecode, "%s:%d fail to decode");
    return false;
  }
  return true;
}

// Opens (creating) the application's icon folder without passing a link.
flx::Fd openIconFolder(const IconPaths& p) {
  PrivilegedSection section(kSource, kLineIconMkdir);
  flx::Fd dir = flx::openDirNoFollow(p.szFolderPath, true);
  if (!dir.ok()) {
    FLX_SHORT_FAILURE(kLineIconMkdir,
                      "0 > KEVOFSMkdirP(szFolderPath, NULL, TRUE, UID_ERR, GID_ERR, -1)");
  }
  return dir;
}

bool openTempFile(flx::StagedFile& file, int dir, const IconPaths& p) {
  bool ok = false;
  int openErrno = 0;
  {
    PrivilegedSection section(kSource, kLineIconOpen);
    ok = file.create(dir, p.szFileName, 0644, std::string(p.szFileName) + ".tmp");
    openErrno = errno;
  }
  if (!ok) {
    errno = openErrno;  // leaving the section reset it
    FLX_LOG_ERR(kLineIconOpenFail, "%s:%d Failed to fopen %s, errno=%m",
                flx::logText(p.szTmpPath).c_str());
  }
  return ok;
}

// Writes and closes the temporary file: 0 when every byte reached it, -1 (logged) otherwise.
int writeTempFile(flx::StagedFile& file, const unsigned char* data, int length) {
  bool complete = file.write(data, static_cast<size_t>(length));
  complete = file.close(flx::StagedFile::kNoSync) && complete;  // a failed close loses bytes too
  if (!complete) {
    FLX_LOG_ERR(kLineIconWrite, "%s:%d fail to write file");
    return -1;
  }
  return 0;
}

// Sets the icon's access time to now and its modification time to the pushed one, so that
// the next push finds it unchanged.
void stampIcon(int dir, const IconPaths& p, const Json::Value& app) {
  struct timespec times[2];
  times[0].tv_sec = time(nullptr);
  times[1].tv_sec = static_cast<time_t>(flx::jsonI64(flx::jsonMember(app, p.szMtimeKey)));
  times[0].tv_nsec = times[1].tv_nsec = 0;
  (void)flx::sys().utimensat(dir, p.szFileName, times, AT_SYMLINK_NOFOLLOW);
}

// Moves the temporary file onto the icon file (a link there is replaced, never followed),
// gives it mode 0644 and, after a complete write, the pushed time. The stamp shares the mode's
// section: the file is root's, and the server's own ids could not stamp it. A failed rename is
// logged, leaves the temporary file where it is, and the stamp goes to the icon's path as it
// is, with the server's ids.
void moveIntoPlace(flx::StagedFile& file, int dir, const IconPaths& p, bool stamp,
                   const Json::Value& app) {
  bool moved = false;
  int renameErrno = 0;
  {
    PrivilegedSection section(kSource, kLineIconRename);
    moved = file.commit();
    renameErrno = errno;
  }
  if (!moved) {
    file.keep();
    errno = renameErrno;
    FLX_LOG_ERR(kLineIconRenameFail, "%s:%d failed to rename %s to %s, errno=%m",
                flx::logText(p.szTmpPath).c_str(), flx::logText(p.szPath).c_str());
    if (stamp) stampIcon(dir, p, app);
    return;
  }
  PrivilegedSection section(kSource, kLineIconChmod);
  if (0 > flx::chmodAt(dir, p.szFileName, 0644)) {
    FLX_SHORT_FAILURE(kLineIconChmod, "0 > chmod(szPath, 0644)");
  }
  if (stamp) stampIcon(dir, p, app);
}

// ---- application list ----

// The device id of serial number `sn`; false when the registry does not know it.
bool findDevice(const std::string& sn, uint64_t* qxId) {
  QxBySerial qx;
  if (!qx.lookup(sn)) return false;
  *qxId = qx.id();
  return true;
}

// Names: "enu" is the default; another locale is kept only where it differs from it.
void fillNames(KEVOFLX_APP* rec, const Json::Value& app) {
  if (!flx::jsonHas(app, "name")) {
    rec->name[0] = rec->app_id;
    return;
  }
  const Json::Value& names = flx::jsonMember(app, "name");
  if (flx::jsonHas(names, kKevoFlxAppLocales[0])) {
    rec->name[0] = flx::jsonText(flx::jsonMember(names, kKevoFlxAppLocales[0]));
  }
  for (int i = 1; i < KEVOFLX_APP_LOCALE_COUNT; ++i) {
    if (!flx::jsonHas(names, kKevoFlxAppLocales[i])) continue;
    std::string text = flx::jsonText(flx::jsonMember(names, kKevoFlxAppLocales[i]));
    if (text != rec->name[0]) rec->name[i] = text;
  }
}

void fillDetails(KEVOFLX_APP* rec, const Json::Value& app) {
  auto member = [&app](const char* key) -> const Json::Value& { return flx::jsonMember(app, key); };
  if (flx::jsonHas(app, "version")) rec->version = flx::jsonText(member("version"));
  if (flx::jsonHas(app, "icon_mtime")) rec->icon_mtime = flx::jsonI32(member("icon_mtime"));
  if (flx::jsonHas(app, "protocol")) rec->protocol = flx::jsonText(member("protocol"));
  if (flx::jsonHas(app, "port")) rec->port = flx::jsonI32(member("port"));
  if (flx::jsonHas(app, "url")) rec->url = flx::jsonText(member("url"));
  if (flx::jsonHas(app, "windowParam")) rec->window_param = flx::jsonText(member("windowParam"));
  if (flx::jsonHas(app, "is_package")) rec->is_package = flx::jsonI32(member("is_package"));
  if (member("extra").isObject()) rec->extra = flx::toString(member("extra"));
}

// Mirrors the application's icons and creates or replaces its registry record.
void setPushedApp(uint64_t qxId, const std::string& id, const Json::Value& app) {
  KEVOFLX_APP rec;  // every field starts zero or empty
  if (isSafePathComponent(id)) {
    update_app_icon("icon", qxId, app);
    update_app_icon("icon_256", qxId, app);
  } else {
    FLX_LOG_ERR(__LINE__, "%s:%d no icon files for application id \"%s\"",
                flx::logText(id).c_str());
  }
  rec.app_id = id;
  rec.qx_id = qxId;
  fillNames(&rec, app);
  fillDetails(&rec, app);
  if (0 > KEVOFLXAppSet(&rec)) FLX_LOG_ERR(kLineAppSet, "%s:%d KEVOFLXAppSet fail");
}

// Sets every pushed application; `pushed` receives the ids pushed, also of those that failed
// to set. A non-empty object cannot be walked by index: false before any change; an empty one
// is an empty list.
bool setPushedApps(uint64_t qxId, const std::string& sn, const Json::Value& data,
                   std::set<std::string>& pushed) {
  const Json::Value& apps = flx::jsonMember(data, "applications");
  if (apps.isObject() && !apps.empty()) {
    FLX_LOG_ERR(__LINE__, "%s:%d applications of %s is an object, not a list: item refused",
                flx::logText(sn).c_str());
    return false;
  }
  if (!apps.isNull() && !apps.isArray() && !apps.isObject()) {  // an empty object is a size-0 list
    FLX_LOG_ERR(__LINE__, "%s:%d applications of %s is not an array: taken as empty",
                flx::logText(sn).c_str());
  }
  Json::ArrayIndex count = apps.isArray() ? apps.size() : 0;
  for (Json::ArrayIndex i = 0; i < count; ++i) {
    const Json::Value& app = flx::jsonAt(apps, i);
    if (!flx::jsonHas(app, "id")) continue;
    std::string id = flx::jsonText(flx::jsonMember(app, "id"));
    pushed.insert(id);
    setPushedApp(qxId, id, app);
  }
  return true;
}

// Deletes the device's registry applications that the push no longer names; false when
// they cannot be listed.
bool deleteUnpushed(uint64_t qxId, const std::set<std::string>& pushed) {
  char szQxId[32];
  snprintf(szQxId, sizeof(szQxId), "%llu", static_cast<unsigned long long>(qxId));
  AppList list;
  HashPtr filter = makeFilter("qx_id", szQxId);
  if (!filter) return false;
  int total = 0;
  if (0 > KEVOFLXAppList(filter.get(), list.addr(), &total)) return false;
  for (KEVOFLX_APP* rec = list.get(); rec != nullptr; rec = KEVOFLXAppNext(rec)) {
    if (pushed.count(rec->app_id) == 0) KEVOFLXAppDelete(rec->id);
  }
  return true;
}

}  // namespace

int update_app_icon(const char* key, uint64_t qxId, const Json::Value& app) {
  if (key == nullptr || strlen(key) > kMaxKeyLength || !flx::jsonHas(app, key) ||
      !flx::jsonHas(app, "id")) {
    return -1;
  }
  std::string id = flx::jsonText(flx::jsonMember(app, "id"));
  if (!isSafePathComponent(id)) {
    FLX_LOG_ERR(__LINE__, "%s:%d refused icon path for application id \"%s\"",
                flx::logText(id).c_str());
    return -1;
  }
  IconPaths paths;
  if (!formIconPaths(key, qxId, id, &paths)) {
    // A cut path could name another application's folder.
    FLX_LOG_ERR(__LINE__, "%s:%d icon path too long for application id \"%s\"",
                flx::logText(id).c_str());
    return -1;
  }
  if (iconUnchanged(paths, app)) return 0;

  Buffer buf;
  int decodedLength = 0;
  if (!decodeIcon(flx::jsonMember(app, key), &buf, &decodedLength)) return -1;
  flx::Fd dir = openIconFolder(paths);
  if (!dir.ok()) return -1;
  flx::StagedFile file;
  if (!openTempFile(file, dir.get(), paths)) return -1;
  int result = writeTempFile(file, buf.get(), decodedLength);
  moveIntoPlace(file, dir.get(), paths, result == 0 && flx::jsonHas(app, paths.szMtimeKey), app);
  return result;
}

int appCacheUpdate(const std::string& client_sn, uint64_t collect_time, const Json::Value& data) {
  (void)collect_time;
  uint64_t qxId = 0;
  if (!findDevice(client_sn, &qxId)) {
    FLX_LOG_ERR(kLineNoQx, "%s:%d fail to get qx %s", flx::logText(client_sn).c_str());
    return -1;
  }
  std::set<std::string> pushed;
  if (!setPushedApps(qxId, client_sn, data, pushed)) return -1;
  if (!deleteUnpushed(qxId, pushed)) {
    FLX_LOG_ERR(kLineNoAppList, "%s:%d Fail to get pacakges");
    return -1;
  }
  return 0;
}
