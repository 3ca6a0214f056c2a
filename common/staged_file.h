// The one way the module replaces a file: the new content is written beside it and moved over
// it only when every byte is there, so a failed write leaves the old file and its stamp whole.
// Where the file system allows, the content goes to an unnamed file (O_TMPFILE) that gets a
// name only once complete: a failed write leaves nothing behind, and no name of ours can meet
// a pushed file's. Elsewhere it is a named file ".flx-<pid>-<n>", created exclusively.
//
// Durability: spool files are fsync'ed before they are linked in, since a spooled item is the
// only copy of what a store refused. Mirror files and icons are not: the device pushes them
// again, and a file that a power loss left short no longer matches its pushed size, so the
// next push rewrites it.
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

  // Creates the new content's file for `leaf` in folder `dir` (which must outlive this
  // object): the named file `tmpName` when given (truncated when it is there), else an unnamed
  // one. It gets the old file's mode and owner when `leaf` is a regular file, else `mode`. A
  // folder at `leaf` fails with EISDIR, but for a named file. False, errno set, on failure.
  bool create(int dir, const std::string& leaf, mode_t mode, const std::string& tmpName = "");
  int fd() const { return fd_; }
  // True when the content has a name that discard() must remove (with the folder's rights).
  bool named() const { return !tmp_.empty(); }

  // Writes all `size` bytes, resuming after short writes. False, errno set, on failure.
  bool write(const void* data, size_t size);
  // Flushes (kSync) and closes a named file; an unnamed one stays open until commit(), as it
  // is the only way to its content. False, errno set, on failure.
  bool close(Durability durability);
  // Sets the new content's access and modification times. False, errno set, on failure.
  bool stamp(time_t atime, time_t mtime);
  // Puts the new content at `leaf`, over what is there. False, errno set, on failure: the new
  // content stays where it was (discard() removes it).
  bool commit();
  // Removes the new content if it is still there; keeps errno.
  void discard();
  // Leaves a named file where it is (closed), as a failed rename of an icon does.
  void keep();

 private:
  bool linkAs(const char* name);

  int dir_ = -1;
  int fd_ = -1;
  bool unnamed_ = false;
  bool leafExisted_ = false;
  std::string leaf_;
  std::string tmp_;
};

// Removes the files ".flx-<pid>-<n>" of processes that no longer run from folder `dir`. Only
// for folders where every name is the module's own (the spool): in a mirror folder such a name
// may be a pushed file.
void removeLeftovers(int dir);

}  // namespace flx

#endif  // FLX_COMMON_STAGED_FILE_H
