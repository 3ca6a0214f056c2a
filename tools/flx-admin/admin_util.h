// Helpers shared by the operator's operations: root paths and the wording of registry
// failures (the registry's handles have their owners in flxhandles.h).
#ifndef FLX_TOOLS_ADMIN_UTIL_H
#define FLX_TOOLS_ADMIN_UTIL_H

#include <json/value.h>
#include <stdint.h>
#include <sys/types.h>

#include <exception>
#include <string>

#include "flx.h"
#include "flxhandles.h"
#include "flxread.h"
#include "kevocore.h"

namespace flxadmin {

// The root prefix followed by `below`.
std::string rootPath(const char* below);

// Says "flx-admin: ERR" on stderr; 1, a failed command's exit status.
int fail(const std::string& err);
// A time as UTC text ("2026-12-06 14:00:00Z"); "-" for none (0 or less).
std::string timeText(int64_t t);

// Whether anything (a link too) is at `path`.
bool exists(const std::string& path);
// Writes a new file whole or not at all (beside, then renamed over), so that a crash never
// leaves half of it.
int writeNewFile(const std::string& path, const std::string& content, mode_t mode,
                 std::string& err);

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
