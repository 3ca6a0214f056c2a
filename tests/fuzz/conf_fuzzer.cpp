// The configuration file readers and the package rule evaluation, on one file per input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "handlers/cache_handler_package.h"
#include "kevocore.h"

namespace {

struct ListFree {
  void operator()(KVSZLIST* l) const { KVLIBSzListFree(l); }
};
struct HashFree {
  void operator()(KVSZHASH* h) const { KVLIBSzHashFree(h); }
};
using List = std::unique_ptr<KVSZLIST, ListFree>;
using Hash = std::unique_ptr<KVSZHASH, HashFree>;

// Keys that the package handler asks of INFO files and rule files, and a host setting.
const char* const kKeys[] = {"package",     "version",     "displayname",
                             "qxm_min_ver", "qxm_max_ver", "pkg_min_ver",
                             "pkg_max_ver", "supplang",    ""};
const int32_t kBuilds[] = {-1, 700, INT32_MAX};
// Sections beyond this many are not read one by one: each read parses the whole file again.
const int kMaxSections = 64;

std::string gPath;

void readSections(bool hasNul) {
  List sections(KVLIBSzListAlloc(4));
  Hash fields(KVLIBSzHashAlloc(4));
  if (!sections || !fields) abort();
  KVSZLIST* raw = sections.release();
  const int count = KVLIBFileEnumSection(gPath.c_str(), &raw);
  sections.reset(raw);
  if (count < 0) return;
  for (int i = 0; i < count && i < kMaxSections; ++i) {
    const char* name = KVLIBSzListGet(sections.get(), i);
    if (name == nullptr) abort();
    KVLIBHashRemoveAll(fields.get());
    KVSZHASH* h = fields.release();
    const int n = KVLIBFileGetSection(gPath.c_str(), name, &h);
    fields.reset(h);
    // A listed section can be read back, unless a NUL byte cut its name short.
    if (n < 0 && !hasNul) abort();
  }
}

void readKeys() {
  List keys(KVLIBSzListAlloc(2));
  Hash values(KVLIBSzHashAlloc(2));
  if (!keys || !values) abort();
  KVSZLIST* rawKeys = keys.release();
  for (const char* key : kKeys) KVLIBSzListPush(&rawKeys, key);
  keys.reset(rawKeys);
  for (const char* sep : {"=", ":"}) {
    KVSZHASH* h = values.release();
    const int found = KVLIBFileGetKeys(gPath.c_str(), keys.get(), &h, sep);
    values.reset(h);
    if (found > static_cast<int>(sizeof kKeys / sizeof kKeys[0])) abort();
  }
  for (const char* key : kKeys) {
    for (int size : {1024, 8}) {
      char buf[1024];
      memset(buf, 'x', sizeof buf);
      const int n = KVLIBFileGetKeyValue(gPath.c_str(), key, buf, size, 0);
      // The count ends at the terminator, always inside the buffer.
      if (n >= size || (n >= 0 && buf[n] != '\0')) abort();
    }
  }
}

void evalRules() {
  for (int32_t build : kBuilds) {
    std::string text = "untouched";
    const int rc = evalPackageRuleFile(gPath.c_str(), build, text);
    if (rc == 0 && text != "untouched") abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gPath = flxfuzz::makeRoot() + "/fuzz.conf";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  flxfuzz::writeFile(gPath, data, size);
  readSections(memchr(data, 0, size) != nullptr);
  readKeys();
  evalRules();
  return 0;
}
