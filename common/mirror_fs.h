// Safe steps in the device mirror folders. Folders and files there may have been replaced by
// symbolic links (by anyone who can write there); the module works as root, so no step below
// the mirror root (<root>/var/packages/FLX/target/qxinfo) ever passes through a link: folders
// are opened one by one with O_NOFOLLOW and files are worked on relative to their folder.
#ifndef FLX_COMMON_MIRROR_FS_H
#define FLX_COMMON_MIRROR_FS_H

#include <sys/types.h>

#include <string>

#include "kevohandle.h"

namespace flx {

// The tree's one descriptor owner.
using Fd = kevo::Fd;

// Opens folder `path` (creating missing folders, mode 0755, when `create`). Below the mirror
// root every folder is opened without following a link; a link met on the way is logged with
// its path and fails the call with ELOOP. Elsewhere the path is trusted. Invalid Fd on failure,
// errno set.
Fd openDirNoFollow(const std::string& path, bool create);

// Opens the folder that holds the last component of `path` as openDirNoFollow does, and puts
// that component in `leaf`.
Fd openParentNoFollow(const std::string& path, std::string& leaf, bool create);

// Fails with ELOOP, and a log line naming it, when `leaf` in folder `dir` is a symbolic link.
// `path` names it in the log line.
bool refuseLink(int dir, const std::string& leaf, const std::string& path);

// A file of a mirror folder opened for reading without passing a link. The libraries that read
// by path get name(), which names this very file ("/proc/self/fd/N"), so a link swapped in
// after the open is not followed either.
class FileForReading {
 public:
  // False, errno set (ELOOP, logged, for a link), when `path` cannot be opened.
  bool open(const std::string& path);
  const char* name() const { return name_.c_str(); }
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
  std::string name_;
};

// Sets the mode of regular file `leaf` of folder `dir` through a descriptor of its own, so that a
// link is never followed. 0, or -1 with errno set.
int chmodAt(int dir, const std::string& leaf, mode_t mode);
// The same for a full path.
int chmodNoFollow(const std::string& path, mode_t mode);

}  // namespace flx

#endif  // FLX_COMMON_MIRROR_FS_H
