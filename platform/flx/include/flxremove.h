// Removing a device from every store of the host: its registry records, cache rows, mirror
// folder, spool, lock file and history. flx-admin and the management API call the same code;
// in the host's workers the file and cache steps run with root's ids through the core
// library's guard. Nothing here throws.
#ifndef FLX_REMOVE_H
#define FLX_REMOVE_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace flxremove {

// What a removal did: one line per step done, in order; the steps it did not do, and why it
// stopped (both empty when it finished).
struct Report {
  std::vector<std::string> removed;
  std::vector<std::string> left;
  std::string error;
};

struct Options {
  // Removes the history of registry id `id`; the rows removed, -1 with `err`. Null: the
  // history's one writer drops a removed device's rows at its next sweep.
  std::function<int64_t(int64_t id, std::string& err)> forgetHistory;
  // How long a push in flight may hold the device's lock before the removal gives up.
  int lockWaitMs = 120000;
};

enum Result { kRemoved = 0, kNotFound = 1, kFailed = -1 };

// Removes device `sn`. Its sessions go first, so no new push is let in; a push in flight
// finishes first (the removal takes the device's lock); the registry's record goes last, so
// a removal that stopped halfway finds the device again when run again and finishes it.
// Folders are removed without following a link; a link is removed as a link.
Result RemoveDevice(const std::string& sn, const Options& options, Report& report) noexcept;

}  // namespace flxremove

#endif  // FLX_REMOVE_H
