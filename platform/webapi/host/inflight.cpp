// The in-flight file of a worker: a few header lines, then the request's texts, each as its
// length on a line of its own and its bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "host.h"
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
  out << kMagic << "\npid " << getpid() << "\nattempt " << request.attempt << "\napi "
      << HeaderValue(request.api) << "\nmethod " << HeaderValue(request.method) << "\ndevice "
      << HeaderValue(request.device) << "\n\n";
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

bool ReadInFlight(const std::string& path, InFlight& request) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) return false;
  while (std::getline(in, line) && !line.empty()) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "attempt") request.attempt = std::atoi(value.c_str());
    if (key == "api") request.api = value;
    if (key == "method") request.method = value;
    if (key == "device") request.device = value;
  }
  for (std::string* t : Texts(request.raw)) {
    size_t size = 0;
    if (!std::getline(in, line) || line.empty() || line.size() > 12 ||
        line.find_first_not_of("0123456789") != std::string::npos)
      return false;
    size = std::stoull(line);
    t->resize(size);
    if (size > 0 && !in.read(&(*t)[0], static_cast<std::streamsize>(size))) return false;
  }
  return true;
}

std::vector<Quarantined> ListQuarantine() {
  std::vector<Quarantined> out;
  const std::string dir = std::string(KEVORootPrefix()) + kQuarantineDir;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
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
