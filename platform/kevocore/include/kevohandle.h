// Owners of the C library's handles, closed on every way out: one of each for the whole tree.
#ifndef KEVO_HANDLE_H
#define KEVO_HANDLE_H

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>

namespace kevo {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const noexcept { return fd_; }
  bool ok() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* d) const noexcept { closedir(d); }
};
// Owns an open folder listing.
using Dir = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
  void operator()(FILE* f) const noexcept { fclose(f); }
};
// Owns a stdio stream.
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace kevo

#endif  // KEVO_HANDLE_H
