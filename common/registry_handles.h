// Owners of the hashes and lists that the core and registry libraries allocate: each is
// released through its own library's free call on every way out.
#ifndef FLX_COMMON_REGISTRY_HANDLES_H
#define FLX_COMMON_REGISTRY_HANDLES_H

#include <memory>

#include "flx.h"
#include "kevocore.h"

struct HashFree {
  void operator()(KVSZHASH* hash) const { KVLIBSzHashFree(hash); }
};
struct QxListFree {
  void operator()(KEVOFLX_QX* head) const { KEVOFLXQxListFree(&head); }
};
struct AppListFree {
  void operator()(KEVOFLX_APP* head) const { KEVOFLXAppListFree(&head); }
};
using HashPtr = std::unique_ptr<KVSZHASH, HashFree>;
using QxListPtr = std::unique_ptr<KEVOFLX_QX, QxListFree>;
using AppListPtr = std::unique_ptr<KEVOFLX_APP, AppListFree>;

// KVLIBSzHashSetValue may replace the handle; the owner follows it.
inline int setHashValue(HashPtr& hash, const char* key, const char* value) {
  KVSZHASH* raw = hash.release();
  int rc = KVLIBSzHashSetValue(&raw, key, value);
  hash.reset(raw);
  return rc;
}

#endif  // FLX_COMMON_REGISTRY_HANDLES_H
