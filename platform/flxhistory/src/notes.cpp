// Notes of pushes: one small file each, created whole by one write.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "flxhistory.h"
#include "kevoroot.h"

namespace flxhistory {
namespace {

// A note: "flx-note <arrival> <sn>\n", one "<group> <module>\n" per kind, ".\n" last. The
// last line tells a complete note from one whose writer died halfway.
const char kHead[] = "flx-note ";
const char kEnd[] = ".\n";
const size_t kMaxNoteBytes = 4096;
const time_t kIncompleteGraceSeconds = 60;

// Texts a note carries: printable ASCII without spaces, 1 to `max` bytes.
bool plain(const std::string& text, size_t max) {
  if (text.empty() || text.size() > max) return false;
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

std::atomic<unsigned> g_sequence{0};

bool parseNote(const std::string& text, Note& note) {
  if (text.size() < sizeof kHead + 2 || text.compare(0, sizeof kHead - 1, kHead) != 0 ||
      text.compare(text.size() - 2, 2, kEnd) != 0) {
    return false;
  }
  size_t pos = sizeof kHead - 1;
  size_t eol = text.find('\n', pos);
  const std::string head = text.substr(pos, eol - pos);
  const size_t space = head.find(' ');
  if (space == std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const long long arrival = strtoll(head.c_str(), &end, 10);
  if (errno != 0 || end != head.c_str() + space || arrival < 0) return false;
  note.arrival = arrival;
  note.sn = head.substr(space + 1);
  if (!plain(note.sn, 128)) return false;
  note.kinds.clear();
  for (pos = eol + 1; pos < text.size() - 2; pos = eol + 1) {
    eol = text.find('\n', pos);
    const std::string line = text.substr(pos, eol - pos);
    const size_t sp = line.find(' ');
    if (sp == std::string::npos) return false;
    note.kinds.emplace_back(line.substr(0, sp), line.substr(sp + 1));
    if (!word(note.kinds.back().first) || !word(note.kinds.back().second)) return false;
  }
  return true;
}

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

}  // namespace

std::string notesDir() {
  return std::string(KEVORootPrefix()) + KEVO_HISTORY_NOTES_DIR;
}

std::string historyDbPath() {
  return std::string(KEVORootPrefix()) + KEVO_HISTORY_DB_PATH;
}

int notePush(const std::string& sn, const Kinds& kinds, int64_t arrival) noexcept {
  char text[kMaxNoteBytes];
  size_t len = 0;
  bool fits = plain(sn, 128) && arrival >= 0;
  if (fits) {
    int n = snprintf(text, sizeof text, "%s%lld %s\n", kHead, static_cast<long long>(arrival),
                     sn.c_str());
    len = static_cast<size_t>(n);
    for (const auto& kind : kinds) {
      if (!fits) break;
      fits = word(kind.first) && word(kind.second);
      n = snprintf(text + len, sizeof text - len, "%s %s\n", kind.first.c_str(),
                   kind.second.c_str());
      fits = fits && n > 0 && len + static_cast<size_t>(n) + sizeof kEnd < sizeof text;
      if (fits) len += static_cast<size_t>(n);
    }
  }
  if (!fits) {
    syslog(LOG_ERR,
           "notes.cpp:%d history note of a push not written: a serial number or kind is not plain "
           "text",
           __LINE__);
    errno = EINVAL;
    return -1;
  }
  memcpy(text + len, kEnd, sizeof kEnd - 1);
  len += sizeof kEnd - 1;

  // The name sorts by time; process id and a counter keep names of one instant apart.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char path[4096];
  int n = snprintf(path, sizeof path, "%s%s/%lld%09ld-%d-%u", KEVORootPrefix(),
                   KEVO_HISTORY_NOTES_DIR, static_cast<long long>(now.tv_sec), now.tv_nsec,
                   static_cast<int>(getpid()), g_sequence.fetch_add(1));
  int fd = -1;
  if (n > 0 && static_cast<size_t>(n) < sizeof path) {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kNoteMode);
  }
  if (fd >= 0) {
    ssize_t done = write(fd, text, len);
    int saved = errno;
    close(fd);
    if (done == static_cast<ssize_t>(len)) return 0;
    unlink(path);
    errno = done < 0 ? saved : ENOSPC;
  }
  syslog(LOG_ERR, "notes.cpp:%d history note of a push by %s not written to %s%s: %m", __LINE__,
         sn.c_str(), KEVORootPrefix(), KEVO_HISTORY_NOTES_DIR);
  return -1;
}

int takeNotes(size_t max, std::vector<Note>& out, std::string& err) {
  out.clear();
  const std::string dir = notesDir();
  std::unique_ptr<DIR, DirClose> d(opendir(dir.c_str()));
  if (!d) {
    err = "cannot read the notes folder " + dir + ": " + strerror(errno) + "; run 'flx-admin init'";
    return -1;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d.get())) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  const time_t now = time(nullptr);
  for (const std::string& name : names) {
    if (out.size() >= max) break;
    const std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;  // taken meanwhile
    char buf[kMaxNoteBytes + 1];
    ssize_t got = read(fd, buf, sizeof buf);
    struct stat st;
    const bool isFile = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    Note note;
    note.name = name;
    if (isFile && got > 0 && parseNote(std::string(buf, static_cast<size_t>(got)), note)) {
      out.push_back(note);
      continue;
    }
    if (isFile && now - st.st_mtime < kIncompleteGraceSeconds) continue;  // still being written
    syslog(LOG_WARNING, "notes.cpp:%d history note %s dropped: not a complete note", __LINE__,
           path.c_str());
    unlink(path.c_str());
  }
  return 0;
}

bool dropNote(const Note& note) {
  const std::string path = notesDir() + "/" + note.name;
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

long notesWaiting() {
  std::unique_ptr<DIR, DirClose> d(opendir(notesDir().c_str()));
  if (!d) return -1;
  long n = 0;
  while (struct dirent* e = readdir(d.get())) {
    if (e->d_name[0] != '.') ++n;
  }
  return n;
}

}  // namespace flxhistory
