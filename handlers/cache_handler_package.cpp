#include "handlers/cache_handler_package.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/path_safety.h"
#include "common/privilege.h"
#include "flx.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevoroot.h"

static const char kSource[] = "cache_handler_package";

namespace {

constexpr size_t kPathSize = 4096;
constexpr int kTextBufSize = 1024;

const char kMkdirCheck[] = "0 > KEVOFSMkdirP(szFolderPath, NULL, TRUE, UID_ERR, GID_ERR, -1)";
const char kWriteCheck[] = "0 > iTmp";
const char kChmodCheck[] = "0 > chmod(szPath, 0644)";

// Owns a core-library hash or list and frees it with the library's own call on every path.
// Calls that may replace the handle (to grow it) get its address through addr().
template <class T, void (*Free)(T*)>
class KvHandle {
 public:
  explicit KvHandle(T* handle) : handle_(handle) {}
  ~KvHandle() {
    if (handle_ != nullptr) Free(handle_);
  }
  KvHandle(const KvHandle&) = delete;
  KvHandle& operator=(const KvHandle&) = delete;
  T* get() const { return handle_; }
  T** addr() { return &handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  T* handle_;
};
using SzHash = KvHandle<KVSZHASH, KVLIBSzHashFree>;
using SzList = KvHandle<KVSZLIST, KVLIBSzListFree>;

// Owns the head of a registry list; the library frees it on every path, also when null.
template <class T, void (*Free)(T**)>
class RegistryList {
 public:
  RegistryList() = default;
  ~RegistryList() { Free(&head_); }
  RegistryList(const RegistryList&) = delete;
  RegistryList& operator=(const RegistryList&) = delete;
  T* head() const { return head_; }
  T** addr() { return &head_; }

 private:
  T* head_ = nullptr;
};

// Formats a path into a kPathSize buffer. False, with a log line, when it does not fit.
__attribute__((format(printf, 2, 3))) bool composePath(char* buf, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, kPathSize, fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) < kPathSize) return true;
  FLX_LOG_ERR(__LINE__, "%s:%d path too long: %s", buf);
  return false;
}

bool pkgsFolderPath(char* buf, uint64_t qxId) {
  return composePath(buf, "%s" KEVO_QXINFO_DIR "/%llu/pkgs", KEVORootPrefix(),
                     static_cast<unsigned long long>(qxId));
}

// <mirror>/pkgs/<id><tail>, tail "" for the package folder or "/INFO", "/conf", ...
bool packagePath(char* buf, uint64_t qxId, const std::string& id, const char* tail) {
  return composePath(buf, "%s" KEVO_QXINFO_DIR "/%llu/pkgs/%s%s", KEVORootPrefix(),
                     static_cast<unsigned long long>(qxId), id.c_str(), tail);
}

// Creates `folder` with its parents inside a privileged section known by `line`. 0 or -1.
int makeFolder(const char* folder, int line) {
  PrivilegedSection priv(kSource, line);
  if (0 > KEVOFSMkdirP(folder, NULL, TRUE, UID_ERR, GID_ERR, -1)) {
    FLX_SHORT_FAILURE(line, kMkdirCheck);
    return -1;
  }
  return 0;
}

// A pushed file: base64 content, size and modification time on the device.
struct PushedFile {
  std::string data;
  uint64_t size = 0;
  uint64_t mtime = 0;
};

bool hasFileMembers(const Json::Value& v) {
  return flx::jsonHas(v, "data") && flx::jsonHas(v, "size") && flx::jsonHas(v, "mtime");
}

// False when "data" is not a string; a missing or mistyped "size" or "mtime" reads as 0.
bool readPushedFile(const Json::Value& v, PushedFile& out) {
  bool ok = false;
  out.data = flx::jsonText(flx::jsonMember(v, "data"), &ok);
  out.size = flx::jsonU64(flx::jsonMember(v, "size"));
  out.mtime = flx::jsonU64(flx::jsonMember(v, "mtime"));
  return ok;
}

// The source lines of one kind of mirrored file: the write check, its form, the chmod section.
struct MirrorLines {
  int write;
  bool longForm;
  int chmod;
};
// clang-format off
const MirrorLines kLimitFileLines = {220, true,  223};
const MirrorLines kInfoFileLines  = {33,  true,  36};
const MirrorLines kConfFileLines  = {74,  false, 78};
// clang-format on

// Mirrors `file` at `path` and gives a newly created file mode 0644. -1 when either failed.
int mirrorFile(const char* path, const PushedFile& file, const MirrorLines& at) {
  int iTmp = update_file_from_base64(path, file.data.c_str(), file.size, file.mtime);
  if (0 > iTmp) {
    if (at.longForm) {
      FLX_LONG_FAILURE(at.write, kWriteCheck);
    } else {
      FLX_SHORT_FAILURE(at.write, kWriteCheck);
    }
    return -1;
  }
  if (iTmp != 2) return 0;
  PrivilegedSection priv(kSource, at.chmod);
  if (0 > chmod(path, 0644)) {
    FLX_SHORT_FAILURE(at.chmod, kChmodCheck);
    return -1;
  }
  return 0;
}

// The entry's "id" when it is a text that may name a folder; false with a log line otherwise.
bool readPackageId(const Json::Value& pkg, std::string& id) {
  bool ok = false;
  id = flx::jsonText(flx::jsonMember(pkg, "id"), &ok);
  if (!ok) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad package entry: \"id\" is not a text");
    return false;
  }
  if (!isSafePathComponent(id)) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad package id [%s]: not usable as a folder name", id.c_str());
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Package description files

constexpr int kLineInfoMkdir = 30;
constexpr int kLineConfMkdir = 61;

int writePackageInfoFile(uint64_t qxId, const Json::Value& pkg) {
  std::string id;
  if (!readPackageId(pkg, id)) return -1;
  PushedFile info;
  if (!readPushedFile(flx::jsonMember(pkg, "info"), info)) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad package %s: \"info\" has no text \"data\"", id.c_str());
    return -1;
  }
  char szFolderPath[kPathSize];
  char szPath[kPathSize];
  if (!packagePath(szFolderPath, qxId, id, "") || !packagePath(szPath, qxId, id, "/INFO")) {
    return -1;
  }
  if (makeFolder(szFolderPath, kLineInfoMkdir) < 0) return -1;
  return mirrorFile(szPath, info, kInfoFileLines);
}

namespace {

// Mirrors one member of "conf"; a member that is not a complete pushed file is skipped.
void mirrorConfFile(const char* folder, const std::string& id, const std::string& name,
                    const Json::Value& value) {
  if (!value.isObject() || !hasFileMembers(value)) return;
  if (!isSafePathComponent(name)) {
    FLX_LOG_ERR(__LINE__, "%s:%d skip configuration file [%s] of package %s: not a file name",
                name.c_str(), id.c_str());
    return;
  }
  PushedFile file;
  if (!readPushedFile(value, file)) {
    FLX_LOG_ERR(__LINE__, "%s:%d skip configuration file %s of package %s: \"data\" is not a text",
                name.c_str(), id.c_str());
    return;
  }
  char szPath[kPathSize];
  if (!composePath(szPath, "%s/%s", folder, name.c_str())) return;
  mirrorFile(szPath, file, kConfFileLines);  // a failed file is logged and does not stop the rest
}

}  // namespace

int mirrorPackageConfFiles(uint64_t qxId, const Json::Value& pkg) {
  const Json::Value& conf = flx::jsonMember(pkg, "conf");
  if (!conf.isObject() || conf.empty()) return 0;
  std::string id;
  if (!readPackageId(pkg, id)) return -1;
  char szFolderPath[kPathSize];
  if (!packagePath(szFolderPath, qxId, id, "/conf")) return -1;
  if (makeFolder(szFolderPath, kLineConfMkdir) < 0) return -1;
  for (Json::Value::const_iterator it = conf.begin(); it != conf.end(); ++it) {
    mirrorConfFile(szFolderPath, id, it.name(), *it);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Package version limits

constexpr int kLineBadParameters = 100;
constexpr int kLineSectionListOom = 106;
constexpr int kLineSectionListOomErr = 107;
constexpr int kLineEnumSection = 113;
constexpr int kLineRuleFileTooLarge = 117;
constexpr int kLineSectionHashOom = 122;
constexpr int kLineGetSection = 134;
constexpr int kLineLimitMkdir = 210;

namespace {

// Every section is read with a parse of the whole file, so the work grows with sections times
// size: a pushed file of a few thousand sections would hold the server for minutes.
constexpr long long kMaxRuleParseBytes = 4LL << 20;

// The build part of an OS version ("5.0-700" or "5.0.700"); what does not parse stays 0.
int32_t versionBuildPart(const char* version) {
  int major = 0;
  int minor = 0;
  int build = 0;
  if (strchr(version, '-') != nullptr) {
    (void)sscanf(version, "%d.%d-%d", &major, &minor, &build);
  } else {
    (void)sscanf(version, "%d.%d.%d", &major, &minor, &build);
  }
  return build;
}

// Whether the section's OS bounds (both inclusive, both optional) admit `build`.
bool sectionApplies(const KVSZHASH* fields, int32_t build) {
  const char* minVer = KVLIBSzHashGetValue(fields, "qxm_min_ver");
  if (minVer != nullptr && versionBuildPart(minVer) > build) return false;
  const char* maxVer = KVLIBSzHashGetValue(fields, "qxm_max_ver");
  if (maxVer != nullptr && build > versionBuildPart(maxVer)) return false;
  return true;
}

// Appends the section's entries: name>=min, name<=max, or the bare name.
void appendRule(std::string& text, const char* name, const KVSZHASH* fields) {
  auto add = [&text](const std::string& entry) {
    if (!text.empty()) text += ':';
    text += entry;
  };
  const char* minVer = KVLIBSzHashGetValue(fields, "pkg_min_ver");
  const char* maxVer = KVLIBSzHashGetValue(fields, "pkg_max_ver");
  if (minVer != nullptr) add(std::string(name) + ">=" + minVer);
  if (maxVer != nullptr) add(std::string(name) + "<=" + maxVer);
  if (minVer == nullptr && maxVer == nullptr) add(name);
}

}  // namespace

int evalPackageRuleFile(const char* path, int32_t build, std::string& text) {
  if (path == nullptr) {
    FLX_LOG_ERR(kLineBadParameters, "%s:%d Bad parameters");
    return -1;
  }
  SzList sections(KVLIBSzListAlloc(1024));
  if (!sections) {
    FLX_LOG_ERR(kLineSectionListOom, "%s:%d Failed to KVLIBSzListAlloc, errno=0X%X", KVLIBErrGet());
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, kSource, kLineSectionListOomErr);
    return -1;
  }
  int count = KVLIBFileEnumSection(path, sections.addr());
  if (count < 0) {
    FLX_LOG_ERR(kLineEnumSection, "%s:%d Failed to KVLIBFileEnumSection %s, errno=0X%X", path,
                KVLIBErrGet());
    return -1;
  }
  if (count == 0) return 0;
  struct stat st;
  if (stat(path, &st) == 0 && count * static_cast<long long>(st.st_size) > kMaxRuleParseBytes) {
    FLX_LOG_ERR(kLineRuleFileTooLarge,
                "%s:%d Rule file %s not evaluated: %d sections in %lld bytes", path, count,
                static_cast<long long>(st.st_size));
    return -1;
  }
  SzHash fields(KVLIBSzHashAlloc(1024));
  if (!fields) {
    FLX_LOG_ERR(kLineSectionHashOom, "%s:%d failed to KVLIBSzHashAlloc, kevo_error=[%X]",
                KVLIBErrGet());
    return -1;
  }
  text.clear();
  for (int i = 0; i < count; ++i) {
    const char* name = KVLIBSzListGet(sections.get(), i);
    if (name == nullptr) continue;
    KVLIBHashRemoveAll(fields.get());
    int nFields = KVLIBFileGetSection(path, name, fields.addr());
    if (nFields < 0) {
      FLX_LOG_ERR(kLineGetSection,
                  "%s:%d failed to KVLIBFileGetSection, path: %s, section name: %s, nFields: %d, "
                  "kevo_error=[%X]\n",
                  path, name, nFields, KVLIBErrGet());
      continue;
    }
    if (sectionApplies(fields.get(), build)) appendRule(text, name, fields.get());
  }
  return count;
}

int writePackageLimitFile(uint64_t qxId, const Json::Value& limit) {
  if (!limit.isObject()) return 0;
  char szFolderPath[kPathSize];
  if (!pkgsFolderPath(szFolderPath, qxId)) return -1;
  if (makeFolder(szFolderPath, kLineLimitMkdir) < 0) return -1;
  if (!hasFileMembers(limit)) return -1;
  PushedFile file;
  if (!readPushedFile(limit, file)) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad \"packagelimit\": \"data\" is not a text");
    return -1;
  }
  char szPath[kPathSize];
  if (!composePath(szPath, "%s/kevopackageslimit.conf", szFolderPath)) return -1;
  return mirrorFile(szPath, file, kLimitFileLines);
}

// ---------------------------------------------------------------------------------------------
// Package record update

constexpr int kLineKeyListOom = 260;
constexpr int kLineValueHashOom = 264;
constexpr int kLineGetKeys = 323;
constexpr int kLineFoundListOom = 327;
constexpr int kLineEnumKey = 332;
constexpr int kLinePkgSet = 494;

namespace {

// INFO keys read for every package; "displayname_<lang>" keys follow, one per host language.
const char* const kRequestedInfoKeys[] = {
    "report_url",     "install_dep_packages", "install_conflict_packages",
    "startable",      "displayname",          "silent_install",
    "silent_upgrade", "silent_uninstall",
};

// What a found INFO key (with a non-empty value) does to the record.
struct InfoKeyRule {
  const char* key;
  void (*apply)(KEVOFLX_PKG& rec, const char* value);
};
// clang-format off
const InfoKeyRule kInfoKeyRules[] = {
    {"displayname",               [](KEVOFLX_PKG& r, const char* v) { r.display_name = v; }},
    {"report_url",                [](KEVOFLX_PKG& r, const char*) { r.report = 1; }},
    {"install_dep_packages",      [](KEVOFLX_PKG& r, const char* v) { r.dependencies = v; }},
    {"install_conflict_packages", [](KEVOFLX_PKG& r, const char* v) { r.conflicts = v; }},
    {"startable",                 [](KEVOFLX_PKG& r, const char* v) {
                                    if (strcasecmp(v, "no") == 0) r.startable = 0; }},
    {"silent_install",            [](KEVOFLX_PKG& r, const char*) { r.silent_install = 1; }},
    {"silent_upgrade",            [](KEVOFLX_PKG& r, const char*) { r.silent_upgrade = 1; }},
    {"silent_uninstall",          [](KEVOFLX_PKG& r, const char*) { r.silent_uninstall = 1; }},
};

struct StatusCode {
  const char* text;
  int32_t code;
};
const StatusCode kStatusCodes[] = {
    {"broken",        1},
    {"running",       2},
    {"stop",          3},
    {"non_installed", 5},
    {"version_limit", 6},
};
// clang-format on
constexpr int32_t kStatusOther = 4;

const char kLangKeyPrefix[] = "displayname_";

// The texts of a package entry; "version" and "status" are empty when absent.
struct PackageEntry {
  std::string id;
  std::string version;
  std::string status;
};

// False, with one log line, when a member has another JSON type or the id names no folder.
bool readPackageEntry(const Json::Value& pkg, PackageEntry& out) {
  if (!readPackageId(pkg, out.id)) return false;
  const struct {
    const char* name;
    std::string* text;
  } members[] = {{"version", &out.version}, {"status", &out.status}};
  for (const auto& m : members) {
    const Json::Value& v = flx::jsonMember(pkg, m.name);
    if (!v.isNull() && !v.isString()) {
      FLX_LOG_ERR(__LINE__, "%s:%d bad package %s: \"%s\" is not a text", out.id.c_str(), m.name);
      return false;
    }
    *m.text = flx::jsonText(v);
  }
  return true;
}

int32_t statusCode(const std::string& status) {
  for (const StatusCode& row : kStatusCodes) {
    if (status == row.text) return row.code;
  }
  return kStatusOther;
}

int pushKey(SzList& keys, const char* key) {
  if (KVLIBSzListPush(keys.addr(), key) >= 0) return 0;
  FLX_LOG_ERR(kLineKeyListOom, "%s:%d Out of memory!!");
  return -1;
}

// The fixed INFO keys, then "displayname_<code>" for each code of the host's "supplang".
int requestInfoKeys(SzList& keys) {
  for (const char* key : kRequestedInfoKeys) {
    if (pushKey(keys, key) < 0) return -1;
  }
  char szConf[kPathSize];
  if (!composePath(szConf, "%s" KEVO_HOST_CONF_PATH, KEVORootPrefix())) return 0;
  char langs[kTextBufSize] = {0};
  if (KVLIBFileGetKeyValue(szConf, "supplang", langs, kTextBufSize, 0) <= 0) return 0;
  char keyName[kTextBufSize];
  char* save = nullptr;
  for (char* lang = strtok_r(langs, ",", &save); lang != nullptr;
       lang = strtok_r(nullptr, ",", &save)) {
    snprintf(keyName, sizeof(keyName), "%s_%s", "displayname", lang);
    if (pushKey(keys, keyName) < 0) return -1;
  }
  return 0;
}

// A new version drops what was bound to the old one.
void applyVersion(KEVOFLX_PKG& rec, const std::string& version) {
  if (version != rec.version) {
    rec.version_bound_text.clear();
    rec.version_bound_number = 0;
    rec.version_bound_stamp = 0;
  }
  rec.version = version;
}

// A per-language name equal to the default name is stored empty. False when `key` names no
// known language.
bool applyLanguageName(KEVOFLX_PKG& rec, const char* key, const char* value) {
  if (strncmp(key, kLangKeyPrefix, sizeof(kLangKeyPrefix) - 1) != 0) return false;
  const char* lang = key + sizeof(kLangKeyPrefix) - 1;
  for (int i = 0; i < KEVOFLX_PKG_LANG_COUNT; ++i) {
    if (strcmp(lang, kKevoFlxPkgLangs[i]) != 0) continue;
    rec.display_names[i].clear();
    if (rec.display_name != value) rec.display_names[i] = value;
    return true;
  }
  return false;
}

void applyInfoKey(KEVOFLX_PKG& rec, const char* key, const char* value) {
  if (applyLanguageName(rec, key, value)) return;
  for (const InfoKeyRule& rule : kInfoKeyRules) {
    if (strcmp(key, rule.key) == 0) {
      rule.apply(rec, value);
      return;
    }
  }
}

// Fills the display name, the flags and the INFO-given rules from the values read.
int applyInfoValues(KEVOFLX_PKG& rec, const KVSZHASH* values) {
  SzList found(KVLIBSzListAlloc(1024));
  if (!found) {
    FLX_LOG_ERR(kLineFoundListOom, "%s:%d Out of memory!!");
    return -1;
  }
  rec.display_name = rec.pkg_id;
  if (KVLIBSzHashEnumKey(values, found.addr()) < 0) {
    FLX_LOG_ERR(kLineEnumKey, "%s:%d KVLIBSzHashEnumKey() failed!");
    return -1;
  }
  rec.startable = 1;
  const char* name = KVLIBSzHashGetValue(values, "displayname");
  if (name == nullptr) name = KVLIBSzHashGetValue(values, "displayname_enu");
  if (name != nullptr) rec.display_name = name;
  for (int i = 0; i < found.get()->nItem; ++i) {
    const char* key = KVLIBSzListGet(found.get(), i);
    if (key == nullptr || key[0] == '\0') continue;
    const char* value = KVLIBSzHashGetValue(values, key);
    if (value == nullptr || value[0] == '\0') continue;
    applyInfoKey(rec, key, value);
  }
  return 0;
}

// A rule file with at least one section overrides the INFO value, even with an empty text.
void applyRuleFiles(KEVOFLX_PKG& rec, uint64_t qxId, int32_t build) {
  const struct {
    const char* tail;
    std::string KEVOFLX_PKG::*field;
  } files[] = {{"/conf/PKG_DEPS", &KEVOFLX_PKG::dependencies},
               {"/conf/PKG_CONX", &KEVOFLX_PKG::conflicts}};
  for (const auto& file : files) {
    char szPath[kPathSize];
    if (!packagePath(szPath, qxId, rec.pkg_id, file.tail)) continue;
    if (access(szPath, F_OK) != 0) continue;
    std::string text;
    if (evalPackageRuleFile(szPath, build, text) > 0) rec.*file.field = text;
  }
}

// Steps after the files are mirrored: read the stored record, fill it, store it.
int storePackageRecord(uint64_t qxId, const PackageEntry& entry, int32_t build, SzList& keys,
                       SzHash& values) {
  KEVOFLX_PKG rec;
  if (KEVOFLXPkgGetBy(qxId, entry.id.c_str(), &rec) < 0) KEVOFLXPkgClear(&rec);
  rec.qx_id = qxId;
  rec.pkg_id = entry.id;
  if (requestInfoKeys(keys) < 0) return -1;
  applyVersion(rec, entry.version);
  rec.status = statusCode(entry.status);
  char szFile[kPathSize];
  if (!packagePath(szFile, qxId, entry.id, "/INFO")) return -1;
  if (KVLIBFileGetKeys(szFile, keys.get(), values.addr(), "=") < 0) {
    FLX_LOG_ERR(kLineGetKeys, "%s:%d KVLIBFileGetKeys() failed!! szFile=[%s], kevoerr=[0x%04X]",
                szFile, KVLIBErrGet());
    return -1;
  }
  if (applyInfoValues(rec, values.get()) < 0) return -1;
  applyRuleFiles(rec, qxId, build);
  if (KEVOFLXPkgSet(&rec) < 0) {
    FLX_LOG_ERR(kLinePkgSet, "%s:%d KEVOFLXPkgSet fail");
    return -1;
  }
  return 0;
}

}  // namespace

int updatePackageRecord(uint64_t qxId, const Json::Value& pkg, int32_t build) {
  if (!flx::jsonHas(pkg, "id") || !flx::jsonHas(pkg, "info")) return -1;
  PackageEntry entry;
  if (!readPackageEntry(pkg, entry)) return -1;
  SzList keys(KVLIBSzListAlloc(512));
  if (!keys) {
    FLX_LOG_ERR(kLineKeyListOom, "%s:%d Out of memory!!");
    return -1;
  }
  SzHash values(KVLIBSzHashAlloc(512));
  if (!values) {
    FLX_LOG_ERR(kLineValueHashOom, "%s:%d Out of memory!!");
    return -1;
  }
  if (writePackageInfoFile(qxId, pkg) < 0) return -1;
  if (mirrorPackageConfFiles(qxId, pkg) < 0) return -1;
  return storePackageRecord(qxId, entry, build, keys, values);
}

// ---------------------------------------------------------------------------------------------
// Stale package removal

constexpr int kLinePkgList = 541;
constexpr int kLineRemoveInfo = 550;
constexpr int kLineDeletePkg = 554;

namespace {

// Whether `pkgId` is the "id" text of an element of `packages` (false unless an array).
bool isPushedPackage(const Json::Value& packages, const std::string& pkgId) {
  if (!packages.isArray()) return false;
  for (Json::ArrayIndex i = 0; i < packages.size(); ++i) {
    bool ok = false;
    std::string id = flx::jsonText(flx::jsonMember(flx::jsonAt(packages, i), "id"), &ok);
    if (ok && id == pkgId) return true;
  }
  return false;
}

// Removes the package's mirrored INFO file, then its record; a record whose INFO file could
// not be removed stays. A stored id that cannot name a folder has no mirror of ours: only the
// record goes.
void removeStalePackage(uint64_t qxId, const KEVOFLX_PKG& rec) {
  int removed = 0;
  char szPath[kPathSize];
  if (!isSafePathComponent(rec.pkg_id)) {
    FLX_LOG_ERR(__LINE__,
                "%s:%d package id [%s] of qx %llu names no mirror folder; files left alone",
                rec.pkg_id.c_str(), static_cast<unsigned long long>(qxId));
  } else if (!packagePath(szPath, qxId, rec.pkg_id, "/INFO")) {
    removed = -1;
  } else {
    PrivilegedSection priv(kSource, kLineRemoveInfo);
    removed = KVLIBExec("/bin/rm", "-rf", szPath, NULL, NULL);
  }
  int deleted = 0;
  if (removed >= 0) deleted = KEVOFLXPkgDelete(rec.id);
  if (removed < 0 || deleted < 0) {
    FLX_LOG_ERR(kLineDeletePkg, "%s:%d delete pkg cache, id: %llu, pkgname: %s",
                static_cast<unsigned long long>(qxId), rec.pkg_id.c_str());
  }
}

}  // namespace

int removeStalePackages(const Json::Value& data, uint64_t qxId) {
  char szQxId[64];
  snprintf(szQxId, sizeof(szQxId), "%llu", static_cast<unsigned long long>(qxId));
  SzHash filter(KVLIBSzHashAlloc(1024));
  RegistryList<KEVOFLX_PKG, KEVOFLXPkgListFree> pkgs;
  int total = 0;
  if (!filter || KVLIBSzHashSetValue(filter.addr(), "qx_id", szQxId) < 0 ||
      KEVOFLXPkgList(filter.get(), pkgs.addr(), &total) < 0) {
    FLX_LOG_ERR(kLinePkgList, "%s:%d fail to get pkg list");
    return -1;
  }
  const Json::Value& pushed = flx::jsonMember(data, "packages");
  for (const KEVOFLX_PKG* rec = pkgs.head(); rec != nullptr; rec = rec->pNext) {
    if (!isPushedPackage(pushed, rec->pkg_id)) removeStalePackage(qxId, *rec);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Package handler

constexpr int kLineGetQx = 584;

namespace {

// The registry's device id of serial number `sn`; false when unknown or the query fails.
bool findDeviceId(const std::string& sn, uint64_t& qxId) {
  SzHash filter(KVLIBSzHashAlloc(1024));
  RegistryList<KEVOFLX_QX, KEVOFLXQxListFree> devices;
  int total = 0;
  if (!filter || KVLIBSzHashSetValue(filter.addr(), "sn", sn.c_str()) < 0 ||
      KEVOFLXQxList(filter.get(), devices.addr(), &total) < 0 || devices.head() == nullptr) {
    return false;
  }
  qxId = devices.head()->id;
  return true;
}

// "qxm_build" as a signed 32-bit integer and "packages" as an array (null or absent: none).
// False, with one log line, when either has another type.
bool readItemShape(const Json::Value& data, int32_t& build) {
  const Json::Value& qxmBuild = flx::jsonMember(data, "qxm_build");
  bool ok = false;
  build = flx::jsonI32(qxmBuild, &ok);
  if (!ok || qxmBuild.isBool()) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad item: \"qxm_build\" is not a 32-bit integer");
    return false;
  }
  const Json::Value& packages = flx::jsonMember(data, "packages");
  if (!packages.isNull() && !packages.isArray()) {
    FLX_LOG_ERR(__LINE__, "%s:%d bad item: \"packages\" is not an array");
    return false;
  }
  return true;
}

}  // namespace

int packageCacheUpdate(const std::string& client_sn, uint64_t collect_time,
                       const Json::Value& data) {
  (void)collect_time;
  uint64_t qxId = 0;
  if (!findDeviceId(client_sn, qxId)) {
    FLX_LOG_ERR(kLineGetQx, "%s:%d fail to get qx %s", client_sn.c_str());
    return -1;
  }
  if (removeStalePackages(data, qxId) < 0) return -1;
  if (!flx::jsonHas(data, "qxm_build") || !flx::jsonHas(data, "packagelimit")) return -1;
  int32_t build = 0;
  if (!readItemShape(data, build)) return -1;
  if (writePackageLimitFile(qxId, flx::jsonMember(data, "packagelimit")) < 0) return -1;
  const Json::Value& packages = flx::jsonMember(data, "packages");
  for (Json::ArrayIndex i = 0; i < packages.size(); ++i) {
    if (updatePackageRecord(qxId, flx::jsonAt(packages, i), build) < 0) return -1;
  }
  return 0;
}
