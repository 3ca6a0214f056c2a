// Folder trees of the stores copied, linked and removed without ever passing a symbolic link:
// every step opens the next folder or file relative to its parent with O_NOFOLLOW, so a link
// planted in a mirror folder is never followed out of the store.
#ifndef FLX_TOOLS_ADMIN_TREE_H
#define FLX_TOOLS_ADMIN_TREE_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace flxadmin {

// What a tree holds, one entry per folder or regular file, relative to the tree's top.
struct TreeEntry {
  std::string path;  // "a/b"; "" for the top folder itself
  bool dir = false;
  mode_t mode = 0;  // permission bits only
  uid_t uid = 0;
  gid_t gid = 0;
  int64_t mtime = 0;  // seconds
  uint64_t size = 0;
  std::string sha256;  // hex, files only (when asked for)
};

// Options of copyTree.
struct CopyOptions {
  bool hash = false;  // fill sha256 of every file copied
  // Hard links instead of copies (same file system only); a file that cannot be linked is
  // copied.
  bool link = false;
};

// Copies the tree at `from` (a folder) to `to` (created; its parent must exist), keeping
// modes, owners (when run as root) and modification times. Symbolic links and special files
// are not copied; their paths go to `skipped`. Entries copied go to `entries` (may be null).
// Copies (not links) are on disk when it returns (one syncfs at the end).
// False with `err` on failure.
bool copyTree(const std::string& from, const std::string& to, const CopyOptions& options,
              std::vector<TreeEntry>* entries, std::vector<std::string>& skipped, std::string& err);

// Lists the tree at `top` as copyTree would copy it (with checksums when `hash`).
bool listTree(const std::string& top, bool hash, std::vector<TreeEntry>& entries,
              std::vector<std::string>& skipped, std::string& err);

// Removes the tree at `path` (a folder, or anything else) without following links. True when
// it is gone (or was never there).
bool removeTree(const std::string& path);

// SHA-256 of a whole file, as hex; empty when it cannot be read (it is not followed through a
// link).
std::string fileSha256(const std::string& path);

// Mode bits as octal text ("0644").
std::string modeText(mode_t mode);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_TREE_H
