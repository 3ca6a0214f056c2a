// Serialises the handling of one device across processes: an advisory lock on a file per
// device below the root, held around each handler call. Different devices go in parallel. The
// lock folder is opened once per process; the folder and files are root's alone, opened
// through the silent guard.
#ifndef FLX_COMMON_DEVICE_LOCK_H
#define FLX_COMMON_DEVICE_LOCK_H

#include <stdint.h>

#include <string>

#include "kevoroot.h"  // KEVO_LOCK_DIR

// Takes the lock of device `id`, waiting at most `waitMicroseconds` (then logged); released
// on every way out.
class DeviceLock {
 public:
  // The wait that outlasts one handler held up by a locked database.
  static const unsigned kDefaultWait = 120u * 1000000u;

  explicit DeviceLock(uint64_t id, unsigned waitMicroseconds = kDefaultWait);
  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // False when the lock file could not be opened (logged): the caller goes on unserialised
  // rather than refuse every item over a lock file.
  bool opened() const { return fd_ >= 0; }
  bool held() const { return held_; }
  // True when the device was removed while this push waited: the removal unlinks the lock
  // file while it holds it, and nothing may be stored for the device after that.
  bool removed() const { return removed_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  bool removed_ = false;
};

#endif  // FLX_COMMON_DEVICE_LOCK_H
