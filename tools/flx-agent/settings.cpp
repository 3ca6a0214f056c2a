// The agent's settings from outside its command line, where other local users cannot read them:
// a configuration file, the environment, and the session id in a file only its owner reads.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "agent.h"
#include "kevohandle.h"
#include "kevoroot.h"

namespace flxagent {

namespace {

const size_t kMaxSessionFile = 4096;

std::string Octal(mode_t mode) {
  std::ostringstream text;
  text << "0" << std::oct << (mode & 07777);
  return text.str();
}

// Reads the session id, refusing a file that is a link, not a regular file, or that another
// user owns or may read: whoever reads the id may push as this machine.
bool ReadSessionFile(const std::string& path, std::string& sid, std::string& why) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why =
        "cannot open the session id file " + path + " (" + strerror(errno) + "; a link is refused)";
    return false;
  }
  kevo::Fd closer(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the session id file " + path + " is not a regular file";
    return false;
  }
  if ((st.st_mode & 077) != 0 || (st.st_uid != geteuid() && st.st_uid != 0)) {
    why = "the session id file " + path + " (mode " + Octal(st.st_mode) + ", owner " +
          std::to_string(st.st_uid) +
          ") may be read by others: chown it to this user and chmod 600";
    return false;
  }
  char buf[kMaxSessionFile];
  const ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0) {
    why = "cannot read the session id file " + path + " (" + strerror(errno) + ")";
    return false;
  }
  const std::string text(buf, static_cast<size_t>(n));
  sid = Trim(text.substr(0, text.find('\n')));
  if (sid.empty()) {
    why = "the session id file " + path +
          " is empty: put the id that 'flx-admin session add' printed in it";
    return false;
  }
  return true;
}

// Reads `key=value` lines ('#' starts a comment line) into the settings that are still empty.
bool ReadConfig(const std::string& path, const std::string& text, AgentOptions& options,
                std::string& why) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : Trim(line.substr(eq + 1));
    std::string* slot = key == "url"            ? &options.url
                        : key == "key_file"     ? &options.keyFile
                        : key == "ca_file"      ? &options.caFile
                        : key == "session_file" ? &options.sidFile
                                                : nullptr;
    if (eq == std::string::npos || slot == nullptr) {
      why = path + " line " + std::to_string(number) + ": expected url, key_file, ca_file or " +
            "session_file = VALUE, not '" + line + "'";
      return false;
    }
    if (slot->empty()) *slot = value;
  }
  return true;
}

}  // namespace

std::string DefaultConfigFile() {
  return std::string(KEVORootPrefix()) + "/etc/flx-agent/agent.conf";
}

bool ResolveSettings(AgentOptions& options, const std::string& configFile, bool configGiven,
                     const std::function<const char*(const char*)>& getEnv, std::string& why) {
  // The command line wins, then the environment, then the configuration file.
  const char* envUrl = getEnv("FLX_AGENT_URL");
  if (options.url.empty() && envUrl != nullptr) options.url = envUrl;
  const char* envSid = getEnv("FLX_AGENT_SID");
  if (options.sid.empty() && envSid != nullptr) options.sid = envSid;
  bool ok = false;
  const std::string text = ReadText(configFile, &ok, 1 << 20);
  if (!ok && (configGiven || access(configFile.c_str(), F_OK) == 0)) {
    why = "cannot read the configuration file " + configFile;
    return false;
  }
  if (ok && !ReadConfig(configFile, text, options, why)) return false;
  // What `flx-agent enroll` wrote fills what the configuration left empty.
  options.configFile = configFile;
  Enrollment enrollment;
  if (LoadEnrollment(EnrollmentFile(configFile), enrollment)) {
    const std::string dir = configFile.substr(0, configFile.rfind('/') + 1);
    if (options.url.empty()) options.url = enrollment.url;
    if (options.keyFile.empty()) options.keyFile = dir + "push.key";
    if (options.sidFile.empty()) options.sidFile = dir + "session";
    if (options.caFile.empty() && enrollment.url.rfind("https://", 0) == 0)
      options.caFile = dir + "ca.crt";
  }
  // The session file is read only to push, so that --dry-run needs no secret.
  if (options.sid.empty() && !options.sidFile.empty() && !options.dryRun)
    return ReadSessionFile(options.sidFile, options.sid, why);
  return true;
}

}  // namespace flxagent
