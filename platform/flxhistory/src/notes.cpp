// Notes of pushes: each process appends one line a note to a file of its own.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "flxhistory.h"
#include "kevohandle.h"
#include "kevoids.h"
#include "kevoroot.h"

namespace flxhistory {
namespace {

// A note: "<arrival> <sn> <group>.<module>,...\n" ("-" when no kind was given).
const size_t kMaxNoteBytes = 4096;
// A process starts a new notes file after this many bytes, so that taken files can go.
const off_t kRotateBytes = 1 << 20;
// No writer makes a larger notes file: anything larger is not read at all.
const off_t kMaxFileBytes = kRotateBytes + static_cast<off_t>(kMaxNoteBytes) + 1;
// The offset recorded for an entry that is not a notes file (not a regular file, or too large):
// past any notes file's end, so that it is never opened again, and deleted by retireNotes.
const uint64_t kSkipped = static_cast<uint64_t>(kMaxFileBytes) + 1;
// Bytes of notes and files that countNotes reads; beyond, it estimates from the files' sizes,
// so that a scrape's cost has a bound however many notes wait.
const uint64_t kCountBudget = 16u << 20;
const size_t kCountFiles = 1000;

// Serial numbers: printable ASCII without spaces, 1 to 128 bytes.
bool plain(const std::string& text) {
  if (text.empty() || text.size() > 128) return false;
  for (unsigned char c : text) {
    if (c <= ' ' || c >= 0x7f) return false;
  }
  return true;
}

// A group or module name: letters, digits, '_' and '-', 1 to 64 bytes.
bool word(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (unsigned char c : text) {
    if (!isalnum(c) && c != '_' && c != '-') return false;
  }
  return true;
}

bool parseNote(const std::string& line, Note& note) {
  const size_t a = line.find(' ');
  const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (b == std::string::npos || line.find(' ', b + 1) != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const long long arrival = strtoll(line.c_str(), &end, 10);
  if (errno != 0 || end != line.c_str() + a || arrival < 0 || a == 0) return false;
  note.arrival = arrival;
  note.sn = line.substr(a + 1, b - a - 1);
  if (!plain(note.sn)) return false;
  note.kinds.clear();
  const std::string kinds = line.substr(b + 1);
  if (kinds == "-") return true;
  for (size_t pos = 0; pos <= kinds.size();) {
    size_t comma = kinds.find(',', pos);
    if (comma == std::string::npos) comma = kinds.size();
    const std::string kind = kinds.substr(pos, comma - pos);
    const size_t dot = kind.find('.');
    if (dot == std::string::npos) return false;
    note.kinds.emplace_back(kind.substr(0, dot), kind.substr(dot + 1));
    if (!word(note.kinds.back().first) || !word(note.kinds.back().second)) return false;
    pos = comma + 1;
  }
  return true;
}

// This process's notes file: opened at the first note, with a shared lock held while open.
struct Writer {
  std::mutex lock;
  int fd = -1;
  pid_t pid = 0;
  std::string root;
  off_t size = 0;
};

Writer& writer() {
  static Writer* w = new Writer;  // never destroyed: notes may come while statics go
  return *w;
}

// A new notes file for this process; false with errno.
bool openNotesFile(Writer& w) {
  if (w.fd >= 0) close(w.fd);  // in a forked child, the parent keeps its file and lock
  w.fd = -1;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char path[4096];
  const int n =
      snprintf(path, sizeof path, "%s%s/%lld%09ld-%d", KEVORootPrefix(), KEVO_HISTORY_NOTES_DIR,
               static_cast<long long>(now.tv_sec), now.tv_nsec, static_cast<int>(getpid()));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path) {
    errno = ENAMETOOLONG;
    return false;
  }
  int fd;
  {
    kevo::RootIds ids;  // the folder is root's: the host's workers write through saved id 0
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kNoteMode);
  }
  if (fd < 0) return false;
  if (flock(fd, LOCK_SH) != 0) {
    const int saved = errno;
    close(fd);
    kevo::RootIds ids;
    unlink(path);
    errno = saved;
    return false;
  }
  w.fd = fd;
  w.pid = getpid();
  w.root = KEVORootPrefix();
  w.size = 0;
  return true;
}

// An entry of the notes folder, as lstat saw it when listed.
struct Entry {
  std::string name;
  struct stat st;
  bool operator<(const Entry& o) const { return name < o.name; }
};

// A notes file as writers make them: a regular file no larger than kMaxFileBytes.
bool notesFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes;
}

// The entries of the notes folder, sorted by name (by creation time). Listing stats without
// opening, so that a file with nothing new costs no open.
bool listNotes(std::vector<Entry>& entries, std::string& err) {
  const std::string dir = notesDir();
  kevo::Dir d(opendir(dir.c_str()));
  if (!d) {
    err = "cannot read the notes folder " + dir + ": " + strerror(errno) + "; run 'flx-admin init'";
    return false;
  }
  while (struct dirent* e = readdir(d.get())) {
    if (e->d_name[0] == '.') continue;
    Entry entry;
    entry.name = e->d_name;
    if (fstatat(dirfd(d.get()), e->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) == 0)
      entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end());
  return true;
}

// Calls `line(text, endOffset)` for each complete line of notes file `name` after `from`,
// until it returns false. The open never waits (a FIFO planted there answers at once) nor
// follows a link, and only a notes file is read, to its size when opened. False when it is
// gone or not a notes file (`st` then says what it is).
template <class Fn>
bool eachLine(const std::string& name, uint64_t from, struct stat& st, Fn line) {
  const std::string path = notesDir() + "/" + name;
  const kevo::Fd owner(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  const int fd = owner.get();
  if (fd < 0 || fstat(fd, &st) != 0 || !notesFile(st)) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::string pending;
  uint64_t offset = from;
  char buf[65536];
  while (offset + pending.size() < size) {
    const size_t want = std::min<uint64_t>(sizeof buf, size - offset - pending.size());
    const ssize_t got = pread(fd, buf, want, static_cast<off_t>(offset + pending.size()));
    if (got <= 0) break;
    pending.append(buf, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t eol; (eol = pending.find('\n', start)) != std::string::npos; start = eol + 1) {
      if (!line(pending.substr(start, eol - start), offset + eol + 1)) return true;
    }
    offset += start;
    pending.erase(0, start);
    // A line longer than any note is never completed into one: skip what there is.
    if (pending.size() > kMaxNoteBytes) {
      if (!line(pending, offset + pending.size())) break;
      offset += pending.size();
      pending.clear();
    }
  }
  return true;
}

// True when the file of `fd` (its size in `st`) has a complete line after `at`.
bool endedLineAfter(int fd, uint64_t at, const struct stat& st) {
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size <= at) return false;
  if (size - at > kMaxNoteBytes) return true;
  char tail[kMaxNoteBytes];
  const ssize_t got = pread(fd, tail, size - at, static_cast<off_t>(at));
  return got < 0 || memchr(tail, '\n', static_cast<size_t>(got)) != nullptr;
}

uint64_t offsetOf(const Offsets& taken, const std::string& name) {
  auto found = taken.find(name);
  return found != taken.end() ? found->second : 0;
}

}  // namespace

std::string notesDir() {
  return std::string(KEVORootPrefix()) + KEVO_HISTORY_NOTES_DIR;
}

std::string historyDbPath() {
  return std::string(KEVORootPrefix()) + KEVO_HISTORY_DB_PATH;
}

int notePush(const std::string& sn, const Kinds& kinds, int64_t arrival) noexcept {
  char text[kMaxNoteBytes];
  bool fits = plain(sn) && arrival >= 0;
  int n = fits
              ? snprintf(text, sizeof text, "%lld %s ", static_cast<long long>(arrival), sn.c_str())
              : 0;
  size_t len = n > 0 ? static_cast<size_t>(n) : 0;
  for (size_t i = 0; fits && i < kinds.size(); ++i) {
    fits = word(kinds[i].first) && word(kinds[i].second);
    n = snprintf(text + len, sizeof text - len, "%s%s.%s", i ? "," : "", kinds[i].first.c_str(),
                 kinds[i].second.c_str());
    fits = fits && n > 0 && len + static_cast<size_t>(n) + 2 < sizeof text;
    if (fits) len += static_cast<size_t>(n);
  }
  if (!fits) {
    syslog(LOG_ERR,
           "notes.cpp:%d history note of a push not written: its serial number or a kind is not "
           "plain text",
           __LINE__);
    errno = EINVAL;
    return -1;
  }
  if (kinds.empty()) text[len++] = '-';
  text[len++] = '\n';

  Writer& w = writer();
  int saved = 0;
  try {
    std::lock_guard<std::mutex> hold(w.lock);
    const bool current =
        w.fd >= 0 && w.pid == getpid() && w.size < kRotateBytes && w.root == KEVORootPrefix();
    if (current || openNotesFile(w)) {
      const ssize_t done = write(w.fd, text, len);
      if (done == static_cast<ssize_t>(len)) {
        w.size += static_cast<off_t>(len);
        return 0;
      }
      saved = done < 0 ? errno : ENOSPC;
      // A line cut short is ended, so that the next note starts a line of its own.
      if (done > 0 && write(w.fd, "\n", 1) == 1) w.size += done + 1;
    } else {
      saved = errno;
    }
  } catch (...) {
    saved = EDEADLK;
  }
  errno = saved;
  syslog(LOG_ERR, "notes.cpp:%d history note of a push by %s not written in %s%s: %m", __LINE__,
         sn.c_str(), KEVORootPrefix(), KEVO_HISTORY_NOTES_DIR);
  errno = saved;
  return -1;
}

int takeNotes(const Offsets& taken, size_t max, std::vector<Note>& out, Offsets& ends,
              std::string& err) {
  out.clear();
  ends.clear();
  std::vector<Entry> entries;
  if (!listNotes(entries, err)) return -1;
  for (const Entry& e : entries) {
    if (out.size() >= max) break;
    const uint64_t from = offsetOf(taken, e.name);
    if (from >= kSkipped || (notesFile(e.st) && static_cast<uint64_t>(e.st.st_size) <= from))
      continue;  // nothing new: not even opened
    struct stat st = e.st;
    size_t junk = 0;
    const bool read =
        notesFile(st) && eachLine(e.name, from, st, [&](const std::string& line, uint64_t end) {
          Note note;
          if (parseNote(line, note)) {
            out.push_back(note);
          } else {
            ++junk;
          }
          ends[e.name] = end;
          return out.size() < max;
        });
    if (!read && !notesFile(st)) {
      syslog(LOG_WARNING,
             "notes.cpp:%d history notes file %s skipped: not a regular file of at most %lld "
             "bytes, as writers make them; it is deleted",
             __LINE__, e.name.c_str(), static_cast<long long>(kMaxFileBytes));
      ends[e.name] = kSkipped;
    }
    // One line a file and batch, however many lines are skipped.
    if (junk > 0)
      syslog(LOG_WARNING,
             "notes.cpp:%d history notes file %s: %zu lines that are not notes skipped", __LINE__,
             e.name.c_str(), junk);
  }
  return 0;
}

long countNotes(const Offsets& taken, int64_t* oldestArrival) {
  if (oldestArrival != nullptr) *oldestArrival = -1;
  std::vector<Entry> entries;
  std::string err;
  if (!listNotes(entries, err)) return -1;
  uint64_t counted = 0, read = 0, unread = 0;
  size_t opened = 0;
  for (const Entry& e : entries) {
    const uint64_t from = offsetOf(taken, e.name);
    if (from >= kSkipped || !notesFile(e.st) || static_cast<uint64_t>(e.st.st_size) <= from)
      continue;
    if (read >= kCountBudget || opened >= kCountFiles) {
      unread += static_cast<uint64_t>(e.st.st_size) - from;
      continue;
    }
    ++opened;
    struct stat st = e.st;
    uint64_t at = from;
    eachLine(e.name, from, st, [&](const std::string& line, uint64_t end) {
      Note note;
      if (parseNote(line, note) && counted++ == 0 && oldestArrival != nullptr)
        *oldestArrival = note.arrival;
      at = end;
      return read + (end - from) < kCountBudget;
    });
    read += at - from;
    if (read >= kCountBudget && static_cast<uint64_t>(st.st_size) > at)
      unread += static_cast<uint64_t>(st.st_size) - at;
  }
  // Past the bounds: the notes of the bytes not read, at the length of those read.
  if (unread > 0 && counted > 0 && read > 0)
    counted += static_cast<uint64_t>(static_cast<double>(unread) * counted / read);
  return static_cast<long>(counted);
}

std::vector<std::string> retireNotes(const Offsets& taken, int64_t minAgeSeconds) {
  std::vector<std::string> gone;
  std::vector<Entry> entries;
  std::string err;
  if (!listNotes(entries, err)) return gone;
  const time_t now = time(nullptr);
  for (const Entry& e : entries) {
    const std::string path = notesDir() + "/" + e.name;
    const uint64_t at = offsetOf(taken, e.name);
    // What is not a notes file holds no note: it goes without being opened.
    if (at >= kSkipped) {
      if (unlink(path.c_str()) == 0) gone.push_back(e.name);
      continue;
    }
    // Past what was taken there is at most a line not ended (longer ones are skipped).
    if (!notesFile(e.st) || static_cast<uint64_t>(e.st.st_size) > at + kMaxNoteBytes) continue;
    const kevo::Fd owner(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    const int fd = owner.get();
    if (fd < 0) continue;
    struct stat st;
    // No process holds it for writing (so it cannot grow any more), it is taken to its end
    // but for a line that can no longer be ended, and old enough that its writer is not
    // between creating and locking it.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &st) == 0 && notesFile(st) &&
        !endedLineAfter(fd, at, st) && now - st.st_mtime >= minAgeSeconds &&
        unlink(path.c_str()) == 0) {
      gone.push_back(e.name);
    }
  }
  for (const auto& entry : taken) {
    const Entry key{entry.first, {}};
    if (!std::binary_search(entries.begin(), entries.end(), key)) gone.push_back(entry.first);
  }
  return gone;
}

}  // namespace flxhistory
