#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <json/reader.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "agent.h"
#include "kevocore.h"
#include "kevohandle.h"

extern char** environ;

namespace flxagent {

std::string Context::path(const std::string& abs) const {
  if (live()) return abs;
  std::string base = root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + abs;
}

std::string ReadText(const std::string& path, bool* ok, size_t limit) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  kevo::Fd closer(fd);
  struct stat st;
  // Only regular files and the kernel's pseudo files (size 0); never a FIFO or a device.
  bool good = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buf[65536];
  while (good) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) good = false;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > limit) good = false;
  }
  if (!good) text.clear();
  if (ok != nullptr) *ok = good;
  return text;
}

std::string Trim(const std::string& text) {
  const char* ws = " \t\r\n";
  const size_t b = text.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return text.substr(b, text.find_last_not_of(ws) - b + 1);
}

std::string ReadLine(const std::string& path) {
  const std::string text = ReadText(path, nullptr, 1 << 20);
  return Trim(text.substr(0, text.find('\n')));
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  kevo::Dir dir(opendir(path.c_str()));
  if (!dir) return names;
  while (const dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The core library's encoder: the one whose decoder the host uses.
std::string Base64(const std::string& bytes) {
  if (bytes.size() > static_cast<size_t>(INT_MAX) / 4 * 3 - 3) return "";
  std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int n =
      KVLIBBase64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()), &out[0], static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool ParseJson(const std::string& text, Json::Value& out) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  try {
    return reader->parse(text.data(), text.data() + text.size(), &out, nullptr);
  } catch (const std::exception&) {
    return false;
  }
}

int64_t FileMtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

Json::Value PushedFile(const std::string& content, int64_t mtime) {
  Json::Value file(Json::objectValue);
  file["data"] = Base64(content);
  file["size"] = static_cast<Json::UInt64>(content.size());
  file["mtime"] = static_cast<Json::UInt64>(mtime < 0 ? 0 : mtime);
  return file;
}

bool HaveTool(const std::string& name) {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    const size_t colon = std::min(dirs.find(':', at), dirs.size());
    const std::string dir = dirs.substr(at, colon - at);
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    at = colon + 1;
  }
  return false;
}

bool RunTool(const std::vector<std::string>& argv, std::string& out, int& status, int timeoutMs) {
  out.clear();
  status = -1;
  if (argv.empty()) return false;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  kevo::Fd readEnd(fds[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool timedOut = false;
  char buf[65536];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  if (timedOut || !WIFEXITED(ws)) return false;
  status = WEXITSTATUS(ws);
  return true;
}

std::map<std::string, std::string> ParseKeyValues(const std::string& text, char sep) {
  std::map<std::string, std::string> values;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = Trim(text.substr(at, nl - at));
    at = nl + 1;
    const size_t eq = line.find(sep);
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    values.emplace(Trim(line.substr(0, eq)), value);  // the first occurrence counts
  }
  return values;
}

std::string HostLanguage(const std::string& locale) {
  static const struct {
    const char* locale;  // language, or language_TERRITORY where the territory matters
    const char* code;
  } kLanguages[] = {
      {"en", "enu"}, {"zh_TW", "cht"}, {"zh_HK", "cht"}, {"zh", "chs"},    {"ko", "krn"},
      {"de", "ger"}, {"fr", "fre"},    {"it", "ita"},    {"es", "spn"},    {"ja", "jpn"},
      {"da", "dan"}, {"nb", "nor"},    {"no", "nor"},    {"nn", "nor"},    {"sv", "sve"},
      {"nl", "nld"}, {"ru", "rus"},    {"pl", "plk"},    {"pt_BR", "ptb"}, {"pt", "ptg"},
      {"hu", "hun"}, {"tr", "trk"},    {"cs", "csy"},
  };
  // Drop the encoding and modifier: "de_DE.UTF-8@euro" -> "de_DE".
  const std::string bare = locale.substr(0, locale.find_first_of(".@"));
  const std::string language = bare.substr(0, bare.find('_'));
  for (const auto& l : kLanguages) {
    if (bare == l.locale) return l.code;
  }
  for (const auto& l : kLanguages) {
    if (language == l.locale) return l.code;
  }
  return "";
}

}  // namespace flxagent
