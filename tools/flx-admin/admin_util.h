// Helpers shared by the operator's operations: owned registry handles, root paths and the
// wording of registry failures.
#ifndef FLX_TOOLS_ADMIN_UTIL_H
#define FLX_TOOLS_ADMIN_UTIL_H

#include <json/value.h>
#include <stdint.h>

#include <exception>
#include <memory>
#include <string>

#include "flx.h"
#include "flxread.h"
#include "kevocore.h"

namespace flxadmin {

struct HashFree {
  void operator()(KVSZHASH* h) const { KVLIBSzHashFree(h); }
};
struct QxListFree {
  void operator()(KEVOFLX_QX* p) const { KEVOFLXQxListFree(&p); }
};
struct AppListFree {
  void operator()(KEVOFLX_APP* p) const { KEVOFLXAppListFree(&p); }
};
struct PkgListFree {
  void operator()(KEVOFLX_PKG* p) const { KEVOFLXPkgListFree(&p); }
};
typedef std::unique_ptr<KVSZHASH, HashFree> HashPtr;

// A filter hash with the one key `key`; null when it cannot be made.
HashPtr makeFilter(const char* key, const std::string& value);

// The root prefix followed by `below`.
std::string rootPath(const char* below);

// One line for a failed registry call: what failed, the error code, what to do.
std::string registryError(const std::string& what);

// Texts the operator types become keys: printable ASCII without spaces, 1 to `max` bytes.
bool isPlainToken(const std::string& text, size_t max);

// Fills `dev` with the device `sn`. Non-zero, with a one-line message, when it is unknown or
// the registry failed.
int findDevice(const std::string& sn, KEVOFLX_QX& dev, std::string& err);

// Runs an operation; an exception becomes a failure with its message in `err`.
template <class Fn>
int guardedOp(std::string& err, Fn&& fn) noexcept {
  return flxread::guardedCall(err, 1, static_cast<Fn&&>(fn));
}

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_UTIL_H
