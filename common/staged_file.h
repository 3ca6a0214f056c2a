// The one way the module replaces a file: the new content is written beside it under a name of
// its own and renamed over it only when every byte is there, so a failed write leaves the old
// file and its stamp whole.
//
// Durability: spool files are fsync'ed before the rename, since a spooled item is the only copy
// of what a store refused. Mirror files and icons are not: the device pushes them again, and a
// file that a power loss left short no longer matches its pushed size, so the next push
// rewrites it.
//
// The caller holds whatever privileged section each step needs; every system call goes through
// flx::sys(), and a failed one notes its fault's kind (full disk, I/O) for the spool.
#ifndef FLX_COMMON_STAGED_FILE_H
#define FLX_COMMON_STAGED_FILE_H

#include <sys/types.h>
#include <time.h>

#include <string>

#include "common/mirror_fs.h"

namespace flx {

class StagedFile {
 public:
  enum Durability { kNoSync, kSync };

  StagedFile() = default;
  ~StagedFile() { discard(); }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Creates the temporary file beside `leaf` in folder `dir` (which must outlive this object):
  // `tmpName` when given (truncated when it is there), else ".flx-<pid>-<n>"; temporary files
  // that dead processes left in the folder are removed first. It gets the old file's mode and
  // owner when `leaf` is a regular file, else `mode`. A folder at `leaf` fails with EISDIR.
  // False, errno set, on failure.
  bool create(int dir, const std::string& leaf, mode_t mode, const std::string& tmpName = "");
  int fd() const { return fd_; }
  const std::string& tmpName() const { return tmp_; }

  // Writes all `size` bytes, resuming after short writes. False, errno set, on failure.
  bool write(const void* data, size_t size);
  // Flushes (kSync) and closes the temporary file. False, errno set, on failure.
  bool close(Durability durability);
  // Sets the temporary file's access and modification times. False, errno set, on failure.
  bool stamp(time_t atime, time_t mtime);
  // Renames the temporary file over `leaf`. False, errno set (the temporary file stays), on
  // failure.
  bool commit();
  // Removes the temporary file if it is still there; keeps errno.
  void discard();
  // Leaves the temporary file where it is (closed), as a failed rename of an icon does.
  void keep();

 private:
  int dir_ = -1;
  int fd_ = -1;
  std::string leaf_;
  std::string tmp_;
};

// Removes the temporary files (".flx-<pid>-<n>") of processes that no longer run from folder
// `dir`.
void removeLeftovers(int dir);

}  // namespace flx

#endif  // FLX_COMMON_STAGED_FILE_H
