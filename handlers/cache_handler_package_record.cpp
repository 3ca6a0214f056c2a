// Package record update: one pushed package's files mirrored, its registry record filled from
// the entry, the INFO file and the rule files, and stored.
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/flx_log.h"
#include "common/json_util.h"
#include "common/mirror_fs.h"
#include "common/sys_calls.h"
#include "flx.h"
#include "flxhandles.h"
#include "handlers/cache_handler_package.h"
#include "handlers/cache_handler_package_util.h"
#include "kevocore.h"
#include "kevoroot.h"

static const char kSource[] = "cache_handler_package";

namespace {

constexpr int kTextBufSize = 1024;
constexpr int kLineKeyListOom = 260;
constexpr int kLineValueHashOom = 264;
constexpr int kLineGetKeys = 323;
constexpr int kLineFoundListOom = 327;
constexpr int kLineEnumKey = 332;
constexpr int kLinePkgSet = 494;

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
  if (!pkg::readPackageId(pkg, out.id)) return false;
  const struct {
    const char* name;
    std::string* text;
  } members[] = {{"version", &out.version}, {"status", &out.status}};
  for (const auto& m : members) {
    bool ok = false;
    *m.text = flx::jsonText(flx::jsonMember(pkg, m.name), &ok);
    if (!ok) {
      FLX_LOG_ERR(__LINE__, "%s:%d bad package %s: \"%s\" is not a text",
                  flx::logText(out.id).c_str(), m.name);
      return false;
    }
  }
  return true;
}

int32_t statusCode(const std::string& status) {
  for (const StatusCode& row : kStatusCodes) {
    if (status == row.text) return row.code;
  }
  return kStatusOther;
}

// A key that finds no room is not read; the package goes on without it.
void pushKey(SzListPtr& keys, const char* key) {
  (void)flx::sys().listPush(keys.addr(), key);
}

// The fixed INFO keys, then "displayname_<code>" for each code of the host's "supplang".
void requestInfoKeys(SzListPtr& keys) {
  for (const char* key : kRequestedInfoKeys) {
    pushKey(keys, key);
  }
  char szConf[pkg::kPathSize];
  if (!pkg::composePath(szConf, "%s" KEVO_HOST_CONF_PATH, KEVORootPrefix())) return;
  char langs[kTextBufSize] = {0};
  if (KVLIBFileGetKeyValue(szConf, "supplang", langs, kTextBufSize, 0) <= 0) return;
  char keyName[kTextBufSize];
  char* save = nullptr;
  for (char* lang = strtok_r(langs, ",", &save); lang != nullptr;
       lang = strtok_r(nullptr, ",", &save)) {
    snprintf(keyName, sizeof(keyName), "%s_%s", "displayname", lang);
    pushKey(keys, keyName);
  }
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
  SzListPtr found(KVLIBSzListAlloc(1024));
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
    char szPath[pkg::kPathSize];
    if (!pkg::packagePath(szPath, qxId, rec.pkg_id, file.tail)) continue;
    struct stat st;
    if (lstat(szPath, &st) != 0) continue;  // no rule file: the INFO value stays
    std::string text;
    if (evalPackageRuleFile(szPath, build, text) > 0) rec.*file.field = text;
  }
}

// Steps after the files are mirrored: read the stored record, fill it, store it.
int storePackageRecord(uint64_t qxId, const PackageEntry& entry, int32_t build, SzListPtr& keys,
                       HashPtr& values) {
  KEVOFLX_PKG rec;
  if (KEVOFLXPkgGetBy(qxId, entry.id.c_str(), &rec) < 0) KEVOFLXPkgClear(&rec);
  rec.qx_id = qxId;
  rec.pkg_id = entry.id;
  requestInfoKeys(keys);
  applyVersion(rec, entry.version);
  rec.status = statusCode(entry.status);
  char szFile[pkg::kPathSize];
  if (!pkg::packagePath(szFile, qxId, entry.id, "/INFO")) return -1;
  flx::FileForReading info;
  if (!info.open(szFile)) KVLIBErrSetEx(KVERR_FILE_OPEN, kSource, __LINE__);
  if (info.name()[0] == '\0' || KVLIBFileGetKeys(info.name(), keys.get(), values.addr(), "=") < 0) {
    FLX_LOG_ERR(kLineGetKeys, "%s:%d KVLIBFileGetKeys() failed!! szFile=[%s], kevoerr=[0x%04X]",
                flx::logText(szFile).c_str(), KVLIBErrGet());
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
  SzListPtr keys(KVLIBSzListAlloc(512));
  if (!keys) {
    FLX_LOG_ERR(kLineKeyListOom, "%s:%d Out of memory!!");
    return -1;
  }
  HashPtr values(KVLIBSzHashAlloc(512));
  if (!values) {
    FLX_LOG_ERR(kLineValueHashOom, "%s:%d Out of memory!!");
    return -1;
  }
  if (writePackageInfoFile(qxId, pkg) < 0) return -1;
  if (mirrorPackageConfFiles(qxId, pkg) < 0) return -1;
  return storePackageRecord(qxId, entry, build, keys, values);
}
