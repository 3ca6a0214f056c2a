// Package rule files (PKG_DEPS, PKG_CONX): the sections that apply to the device's build,
// turned into one rule text.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>

#include <string>

#include "common/flx_log.h"
#include "common/mirror_fs.h"
#include "common/sys_calls.h"
#include "handlers/cache_handler_package.h"
#include "kevocore.h"

static const char kSource[] = "cache_handler_package";

namespace {

constexpr int kLineBadParameters = 100;
constexpr int kLineEnumSection = 113;
constexpr int kLineListAlloc = 106;
constexpr int kLineListAllocErr = 107;
constexpr int kLineHashAlloc = 122;
constexpr int kLineGetSection = 134;
// The section list and the field hash, allocated as the evaluation's working set.
constexpr int kCapacity = 1024;

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

struct HashFree {
  void operator()(KVSZHASH* hash) const { KVLIBSzHashFree(hash); }
};

struct RuleEval {
  const char* path;
  int32_t build;
  std::string text;
  // The working hash of the sections, allocated once the file is known to have one and
  // before any is read; `noHash` when that failed.
  std::unique_ptr<KVSZHASH, HashFree> fields;
  bool noHash = false;
};

int visitSection(const char* name, const KVSZHASH* fields, void* ctx) {
  RuleEval& eval = *static_cast<RuleEval*>(ctx);
  if (!eval.fields) {
    eval.fields.reset(flx::sys().hashAlloc(kCapacity));
    eval.noHash = !eval.fields;
    if (eval.noHash) return -1;  // stops the walk
  }
  if (fields == nullptr) {  // an unreadable section is skipped
    FLX_LOG_ERR(kLineGetSection,
                "%s:%d failed to KVLIBFileGetSection, path: %s, section name: %s, nFields: %d, "
                "kevo_error=[%X]\n",
                flx::logText(eval.path).c_str(), flx::logText(name).c_str(), -1, KVLIBErrGet());
    return 0;
  }
  if (sectionApplies(fields, eval.build)) appendRule(eval.text, name, fields);
  return 0;
}

struct ListFree {
  void operator()(KVSZLIST* list) const { KVLIBSzListFree(list); }
};

// Opens the rule file without passing a link or blocking on a FIFO; only a regular file is
// read. False (errno and the library's error set) otherwise.
bool openRuleFile(flx::FileForReading& file, const char* path) {
  if (!file.open(path)) {
    KVLIBErrSetEx(KVERR_FILE_OPEN, kSource, __LINE__);
    return false;
  }
  struct stat st;
  if (fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
    KVLIBErrSetEx(KVERR_FILE_OPEN, kSource, __LINE__);
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace

int evalPackageRuleFile(const char* path, int32_t build, std::string& text) {
  if (path == nullptr) {
    FLX_LOG_ERR(kLineBadParameters, "%s:%d Bad parameters");
    return -1;
  }
  std::unique_ptr<KVSZLIST, ListFree> sections(flx::sys().listAlloc(kCapacity));
  if (!sections) {
    FLX_LOG_ERR(kLineListAlloc, "%s:%d Failed to KVLIBSzListAlloc, errno=0X%X", KVLIBErrGet());
    KVLIBErrSetEx(KVERR_OUT_OF_MEMORY, kSource, kLineListAllocErr);
    return -1;
  }
  flx::FileForReading file;
  RuleEval eval{path, build, std::string(), nullptr};
  // One read of the file for all its sections.
  int count =
      openRuleFile(file, path) ? KVLIBFileEachSection(file.name(), visitSection, &eval) : -1;
  if (eval.noHash) {
    FLX_LOG_ERR(kLineHashAlloc, "%s:%d failed to KVLIBSzHashAlloc, kevo_error=[%X]", KVLIBErrGet());
    return -1;
  }
  if (count < 0) {
    FLX_LOG_ERR(kLineEnumSection, "%s:%d Failed to KVLIBFileEnumSection %s, errno=0X%X",
                flx::logText(path).c_str(), KVLIBErrGet());
    return -1;
  }
  if (count == 0) return 0;
  text.swap(eval.text);
  return count;
}
