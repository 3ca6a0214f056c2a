// The in-flight file of a worker: a few header lines, then the request's texts, each as its
// length on a line of its own and its bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "host.h"
#include "kevohandle.h"
#include "kevoroot.h"

namespace webapihost {

namespace {

const char kMagic[] = "flx-inflight 1";

std::string HeaderValue(const std::string& text) {
  std::string out = text;
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\n' || c == '\r'; }, '?');
  return out;
}

std::vector<std::string*> Texts(RawRequest& r) {
  return {&r.query, &r.body, &r.contentType, &r.cookie, &r.remoteIp, &r.requestMethod};
}

}  // namespace

bool WriteInFlight(const std::string& path, const InFlight& request) {
  std::ostringstream out;
  // The worker's pid: for an operator (or a test) who wants to know which one runs it.
  out << kMagic << "\nhost " << HeaderValue(request.hostStart) << "\npid " << getpid()
      << "\nattempt " << request.attempt << "\napi " << HeaderValue(request.api) << "\nmethod "
      << HeaderValue(request.method) << "\ndevice " << HeaderValue(request.device) << "\n\n";
  RawRequest raw = request.raw;
  for (const std::string* t : Texts(raw)) out << t->size() << "\n" << *t;
  const std::string text = out.str();
  // The session id travels in it: for the worker's user only.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == text.size();
}

bool ReadInFlight(const std::string& path, InFlight& request, size_t maxBytes) {
  // Anyone who could plant one is not trusted: no FIFO, no link, nothing larger than a request.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  std::string text;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
            static_cast<unsigned long long>(st.st_size) <= maxBytes;
  if (ok) {
    text.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = read(fd, &text[done], text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    text.resize(done);
  }
  close(fd);
  if (!ok) return false;
  size_t at = 0;
  auto line = [&text, &at](std::string& out) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    out = text.substr(at, end - at);
    at = end + 1;
    return true;
  };
  std::string l;
  if (!line(l) || l != kMagic) return false;
  while (line(l) && !l.empty()) {
    const size_t space = l.find(' ');
    const std::string key = l.substr(0, space);
    const std::string value = space == std::string::npos ? "" : l.substr(space + 1);
    const long number = std::atol(value.substr(0, 12).c_str());
    if (key == "host") request.hostStart = value;
    if (key == "pid") request.pid = number;
    if (key == "attempt") request.attempt = static_cast<int>(number);
    if (key == "api") request.api = value;
    if (key == "method") request.method = value;
    if (key == "device") request.device = value;
  }
  for (std::string* t : Texts(request.raw)) {
    // Every size within what the file still holds: a forged one allocates nothing.
    if (!line(l) || l.empty() || l.size() > 12 ||
        l.find_first_not_of("0123456789") != std::string::npos)
      return false;
    const unsigned long long size = std::strtoull(l.c_str(), nullptr, 10);
    if (size > text.size() - at) return false;
    t->assign(text, at, static_cast<size_t>(size));
    at += static_cast<size_t>(size);
  }
  return true;
}

std::vector<Quarantined> ListQuarantine() {
  std::vector<Quarantined> out;
  const std::string dir = std::string(KEVORootPrefix()) + kQuarantineDir;
  kevo::Dir d(opendir(dir.c_str()));
  if (!d) return out;
  while (const dirent* e = readdir(d.get())) {
    Quarantined q;
    q.name = e->d_name;
    struct stat st;
    if (q.name[0] == '.' || stat((dir + "/" + q.name).c_str(), &st) != 0) continue;
    q.when = st.st_mtime;
    ReadInFlight(dir + "/" + q.name, q.request);
    out.push_back(q);
  }
  std::sort(out.begin(), out.end(),
            [](const Quarantined& a, const Quarantined& b) { return a.name < b.name; });
  return out;
}

bool QuarantineRequest(const InFlight& request, const std::string& name, size_t maxCount,
                       size_t maxBytes) {
  const std::string dir = std::string(KEVORootPrefix()) + kQuarantineDir;
  mkdir(dir.c_str(), 0700);
  InFlight kept = request;
  ForgetSession(kept.raw);
  if (!WriteInFlight(dir + "/" + name, kept)) {
    syslog(LOG_ERR, "cannot quarantine the request that killed two workers (api=%s method=%s): %m",
           request.api.substr(0, 80).c_str(), request.method.substr(0, 80).c_str());
    return false;
  }
  struct Kept {
    std::string name;
    time_t when;
    size_t bytes;
  };
  std::vector<Kept> all;
  size_t bytes = 0;
  if (kevo::Dir d{opendir(dir.c_str())}) {
    while (const dirent* e = readdir(d.get())) {
      struct stat st;
      if (e->d_name[0] == '.' || lstat((dir + "/" + e->d_name).c_str(), &st) != 0) continue;
      all.push_back(Kept{e->d_name, st.st_mtime, static_cast<size_t>(st.st_size)});
      bytes += static_cast<size_t>(st.st_size);
    }
  }
  // Oldest first; the one just kept stays whatever it weighs.
  std::sort(all.begin(), all.end(), [](const Kept& a, const Kept& b) {
    return a.when != b.when ? a.when < b.when : a.name < b.name;
  });
  size_t count = all.size();
  for (const Kept& k : all) {
    if (count <= maxCount && bytes <= maxBytes) break;
    if (k.name == name) continue;
    if (unlink((dir + "/" + k.name).c_str()) != 0) continue;
    --count;
    bytes -= k.bytes;
    syslog(LOG_WARNING, "quarantine full (%zu requests, %zu bytes at most): dropped the oldest, %s",
           maxCount, maxBytes, k.name.c_str());
  }
  return true;
}

int DropQuarantine(const std::string& name) {
  const std::string dir = std::string(KEVORootPrefix()) + kQuarantineDir;
  int dropped = 0;
  for (const Quarantined& q : ListQuarantine()) {
    if (!name.empty() && q.name != name) continue;
    if (unlink((dir + "/" + q.name).c_str()) == 0) ++dropped;
  }
  return dropped == 0 && !name.empty() ? -1 : dropped;
}

}  // namespace webapihost
