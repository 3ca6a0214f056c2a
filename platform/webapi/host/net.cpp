// The host's listening sockets, and the addresses it is given.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "process.h"

namespace webapihost {

namespace {

// nginx opens one FastCGI connection per request: a fleet enrolling or pushing at once must
// queue here rather than be refused (502). The kernel caps it at net.core.somaxconn.
const int kFastcgiBacklog = 4096;

}  // namespace

int ListenTcp(const std::string& host, int& port, std::string& err) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    err = "cannot resolve " + host;
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
  const int fd = socket(found->ai_family, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 ||
      listen(fd, kFastcgiBacklog) != 0) {
    err = std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  return fd;
}

int ListenUnix(const std::string& path, uid_t uid, gid_t gid, std::string& err) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) {
    err = "socket path too long: " + path;
    return -1;
  }
  std::strcpy(a.sun_path, path.c_str());
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(fd, kFastcgiBacklog) != 0 || chown(path.c_str(), uid, gid) != 0 ||
      chmod(path.c_str(), 0660) != 0) {
    err = path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool IsLoopback(const std::string& host) {
  in_addr v4;
  return host == "::1" || host == "localhost" ||
         (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127);
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  if (host.empty() || portText.empty() || portText.size() > 5) return false;
  for (char c : portText) {
    if (c < '0' || c > '9') return false;
  }
  port = std::stoi(portText);
  return port <= 65535;
}

}  // namespace webapihost
