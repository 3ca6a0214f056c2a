// Trees walked by descriptors: a folder is opened relative to its parent, never by a path
// that a link could redirect.
#include "admin_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "kevohandle.h"

namespace flxadmin {
namespace {

using kevo::Fd;

std::string join(const std::string& rel, const char* name) {
  return rel.empty() ? std::string(name) : rel + "/" + name;
}

std::string failure(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + strerror(errno);
}

// Names in folder `fd` (which stays open), without "." and "..".
bool names(int fd, std::vector<std::string>& out) {
  const int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) return false;
  kevo::Dir d(fdopendir(dup));
  if (!d) {
    close(dup);
    return false;
  }
  while (struct dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
  }
  return true;
}

TreeEntry entryOf(const std::string& rel, const struct stat& st) {
  TreeEntry e;
  e.path = rel;
  e.dir = S_ISDIR(st.st_mode);
  e.mode = st.st_mode & 07777;
  e.uid = st.st_uid;
  e.gid = st.st_gid;
  e.mtime = st.st_mtime;
  e.size = e.dir ? 0 : static_cast<uint64_t>(st.st_size);
  return e;
}

// Gives `fd` the owner (as root only: another user cannot give files away), mode and times of
// `st`.
bool keepMeta(int fd, const struct stat& st) {
  if (geteuid() == 0 && fchown(fd, st.st_uid, st.st_gid) != 0) return false;
  if (fchmod(fd, st.st_mode & 07777) != 0) return false;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return futimens(fd, times) == 0;
}

// Reads `in` to its end into `out` (when >= 0), hashing it when `hash` is not null.
bool pump(int in, int out, crypto_hash_sha256_state* hash) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (hash != nullptr) crypto_hash_sha256_update(hash, reinterpret_cast<unsigned char*>(buf), n);
    for (ssize_t done = 0; out >= 0 && done < n;) {
      ssize_t w = write(out, buf + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

std::string hexOf(crypto_hash_sha256_state& state) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  char hex[2 * sizeof digest + 1];
  crypto_hash_sha256_final(&state, digest);
  return sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
}

struct Walk {
  const CopyOptions& options;
  bool copy;  // false: only list
  std::vector<TreeEntry>* entries;
  std::vector<std::string>& skipped;
  std::string& err;
  std::string top;

  // One file of folder `from` (and `to` when copying).
  bool file(int from, int to, const char* name, const std::string& rel, const struct stat& st) {
    TreeEntry e = entryOf(rel, st);
    if (copy && options.link && linkat(from, name, to, name, 0) == 0) {
      if (entries != nullptr) entries->push_back(e);
      return true;
    }
    Fd in(openat(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0) {
      err = failure("read", top + "/" + rel);
      return false;
    }
    Fd out(copy ? openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                : -1);
    if (copy && out.get() < 0) {
      err = failure("create the copy of", top + "/" + rel);
      return false;
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    const bool hash = options.hash || !copy;
    if (!pump(in.get(), out.get(), hash ? &state : nullptr) || (copy && !keepMeta(out.get(), st))) {
      err = failure("copy", top + "/" + rel);
      return false;
    }
    if (hash) e.sha256 = hexOf(state);
    if (entries != nullptr) entries->push_back(e);
    return true;
  }

  // Folder `from` (and its copy `to`), whose own entry is `rel`.
  bool folder(int from, int to, const std::string& rel, const struct stat& self) {
    if (entries != nullptr) entries->push_back(entryOf(rel, self));
    std::vector<std::string> list;
    if (!names(from, list)) {
      err = failure("list", top + "/" + rel);
      return false;
    }
    for (const std::string& name : list) {
      const std::string sub = join(rel, name.c_str());
      struct stat st;
      if (fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed meanwhile
        err = failure("read", top + "/" + sub);
        return false;
      }
      if (S_ISREG(st.st_mode)) {
        if (!file(from, to, name.c_str(), sub, st)) return false;
      } else if (S_ISDIR(st.st_mode)) {
        Fd child(openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child.get() < 0) {
          err = failure("open", top + "/" + sub);
          return false;
        }
        Fd copyDir;
        if (copy) {
          if (mkdirat(to, name.c_str(), 0700) != 0) {
            err = failure("create the copy of", top + "/" + sub);
            return false;
          }
          copyDir.reset(openat(to, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
          if (copyDir.get() < 0) {
            err = failure("open the copy of", top + "/" + sub);
            return false;
          }
        }
        if (!folder(child.get(), copyDir.get(), sub, st)) return false;
        // Set last: the files written into it changed its time.
        if (copy && !keepMeta(copyDir.get(), st)) {
          err = failure("keep the mode and owner of", top + "/" + sub);
          return false;
        }
      } else {
        skipped.push_back(top + "/" + sub);
      }
    }
    return true;
  }
};

}  // namespace

namespace {

// Opens the top folder of a walk, never through a link, with its metadata in `st`.
bool openTop(const std::string& path, Fd& fd, struct stat& st, std::string& err) {
  if (sodium_init() < 0) {
    err = "cannot start libsodium";
    return false;
  }
  fd.reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok() || fstat(fd.get(), &st) != 0) {
    err = failure("open the folder", path);
    return false;
  }
  return true;
}

}  // namespace

bool copyTree(const std::string& from, const std::string& to, const CopyOptions& options,
              std::vector<TreeEntry>* entries, std::vector<std::string>& skipped,
              std::string& err) {
  Fd src;
  struct stat st;
  if (!openTop(from, src, st, err)) return false;
  if (mkdir(to.c_str(), 0700) != 0) {
    err = failure("create the folder", to);
    return false;
  }
  Fd dst(open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dst.get() < 0) {
    err = failure("open the folder", to);
    return false;
  }
  Walk walk{options, true, entries, skipped, err, from};
  if (!walk.folder(src.get(), dst.get(), "", st)) return false;
  // One flush of the whole file system at the end costs less than one per file.
  if (!keepMeta(dst.get(), st) || (!options.link && syncfs(dst.get()) != 0)) {
    err = failure("keep the mode and owner of", to);
    return false;
  }
  return true;
}

bool listTree(const std::string& top, bool hash, std::vector<TreeEntry>& entries,
              std::vector<std::string>& skipped, std::string& err) {
  Fd src;
  struct stat st;
  if (!openTop(top, src, st, err)) return false;
  CopyOptions options;
  options.hash = hash;
  Walk walk{options, false, &entries, skipped, err, top};
  return walk.folder(src.get(), -1, "", st);
}

namespace {

// Empties folder `fd` and removes it from `parent` as `name`.
bool removeIn(int parent, const char* name) {
  if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  Fd fd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::vector<std::string> list;
  if (!names(fd.get(), list)) return false;
  for (const std::string& n : list) {
    if (!removeIn(fd.get(), n.c_str())) return false;
  }
  return unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

bool removeTree(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  Fd dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.get() >= 0 && removeIn(dir.get(), leaf.c_str());
}

std::string fileSha256(const std::string& path) {
  if (sodium_init() < 0) return "";
  Fd in(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  if (in.get() < 0 || !pump(in.get(), -1, &state)) return "";
  return hexOf(state);
}

std::string modeText(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace flxadmin
