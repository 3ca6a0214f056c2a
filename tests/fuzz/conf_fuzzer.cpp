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

// Keys that the package handler asks of INFO files, a host setting and the empty key; every
// key read parses the whole file again, so the list is short.
const char* const kKeys[] = {"package", "displayname", "supplang", ""};
const int32_t kBuilds[] = {-1, 700};
// Sections beyond this many are not read one by one, for the same reason.
const int kMaxSections = 8;

std::string gPath;

// Calls `read` with the address of the handle, which it may replace.
template <class T, class D, class Read>
int withAddress(std::unique_ptr<T, D>& handle, Read read) {
  T* raw = handle.release();
  const int rc = read(&raw);
  handle.reset(raw);
  return rc;
}

// True when both hashes hold the same keys with the same values.
bool sameFields(const KVSZHASH* a, const KVSZHASH* b) {
  if (KVLIBSzHashCount(a) != KVLIBSzHashCount(b)) return false;
  List keys(KVLIBSzListAlloc(4));
  if (!keys || withAddress(keys, [&](KVSZLIST** l) { return KVLIBSzHashEnumKey(a, l); }) < 0) {
    abort();
  }
  for (int i = 0; i < keys->nItem; ++i) {
    const char* key = KVLIBSzListGet(keys.get(), i);
    const char* other = KVLIBSzHashGetValue(b, key);
    if (other == nullptr || strcmp(other, KVLIBSzHashGetValue(a, key)) != 0) return false;
  }
  return true;
}

struct Visit {
  int index;
  bool hasNul;  // a NUL byte cuts names short, so a section may not be found again by name
};

// The fields that one read of the file gives a section must be those of reading it alone.
int checkSection(const char* name, const KVSZHASH* fields, void* ctx) {
  Visit& visit = *static_cast<Visit*>(ctx);
  if (visit.index++ >= kMaxSections || fields == nullptr || visit.hasNul) return 0;
  Hash alone(KVLIBSzHashAlloc(4));
  if (!alone) abort();
  const int n =
      withAddress(alone, [&](KVSZHASH** h) { return KVLIBFileGetSection(gPath.c_str(), name, h); });
  if (n < 0 || !sameFields(fields, alone.get())) abort();
  return 0;
}

void readSections(bool hasNul) {
  List names(KVLIBSzListAlloc(4));
  if (!names) abort();
  const int count =
      withAddress(names, [&](KVSZLIST** l) { return KVLIBFileEnumSection(gPath.c_str(), l); });
  Visit visit{0, hasNul};
  const int visited = KVLIBFileEachSection(gPath.c_str(), checkSection, &visit);
  if (visited != count || (count >= 0 && visit.index != count)) abort();
}

void readKeys() {
  List keys(KVLIBSzListAlloc(2));
  Hash values(KVLIBSzHashAlloc(2));
  if (!keys || !values) abort();
  for (const char* key : kKeys) {
    withAddress(keys, [&](KVSZLIST** l) { return KVLIBSzListPush(l, key); });
  }
  for (const char* sep : {"=", ":"}) {
    const int found = withAddress(
        values, [&](KVSZHASH** h) { return KVLIBFileGetKeys(gPath.c_str(), keys.get(), h, sep); });
    if (found > static_cast<int>(sizeof kKeys / sizeof kKeys[0])) abort();
  }
  for (const char* key : kKeys) {
    // The count ends at the terminator, always inside the buffer (a short one for one key).
    const int size = key == kKeys[0] ? 8 : 1024;
    char buf[1024];
    memset(buf, 'x', sizeof buf);
    const int n = KVLIBFileGetKeyValue(gPath.c_str(), key, buf, size, 0);
    if (n >= size || (n >= 0 && buf[n] != '\0')) abort();
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
