// The connections of one worker process (see gate.h).
#include "gate.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "webapi.h"

namespace webapihost {

namespace {

// How often the accept loop looks at deadlines, the stop flag and the parent.
const int kSweepMs = 200;
// How long a worker with more open connections than another leaves a new one to the others.
const int kYieldMs = 2;
// How long a refused client may go on sending before its connection is closed.
const int kLingerMs = 1000;

thread_local uint64_t tConnId = 0;
thread_local int tConnFd = -1;

// Bytes that arrived on the connection and were not read yet.
int Pending(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// True when the client closed its side: the connection ends as soon as its thread notices.
bool PeerGone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Reads and discards what the client sends until it stops, closes or the time is up.
void Linger(int fd) {
  const auto end = ConnectionGate::Clock::now() + std::chrono::milliseconds(kLingerMs);
  char sink[16384];
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - ConnectionGate::Clock::now())
            .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return;
    if (recv(fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) return;
  }
}

}  // namespace

ConnectionGate& ConnectionGate::Instance() {
  static ConnectionGate gate;
  return gate;
}

void ConnectionGate::Arm(const GateLimits& limits, pid_t parent, WorkerLoads* loads, int slot) {
  limits_ = limits;
  parent_ = parent;
  if (loads != nullptr && slot >= 0 && slot < WorkerLoads::kSlots) {
    loads_ = loads;
    slot_ = slot;
    PublishLoad();
  }
  armed_ = true;
}

void ConnectionGate::Stop() {
  stopping_ = true;  // only an atomic store: called from a signal handler
}

void ConnectionGate::WriteRefusal(int fd, int status, const char* reason) {
  const std::string body =
      "{\"success\":false,\"error\":{\"code\":" + std::to_string(WEBAPI_ERR_REFUSED) + "}}";
  const std::string text =
      "HTTP/1.1 " + std::to_string(status) + " " + reason +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  if (send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    // The client is gone or not reading; the connection is closed either way.
  }
}

int ConnectionGate::Accept(int listenFd) {
  // Several workers wait on the same socket: one wins, the others must not block in accept.
  const int flags = fcntl(listenFd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(listenFd, F_SETFL, flags | O_NONBLOCK);
  while (true) {
    if (parent_ != 0 && getppid() != parent_) stopping_ = true;
    if (stopping_) {
      errno = EBADF;  // ends the HTTP library's accept loop
      return -1;
    }
    pollfd p{listenFd, POLLIN, 0};
    const int ready = poll(&p, 1, kSweepMs);
    Sweep(Clock::now());
    if (ready <= 0 || stopping_) continue;  // a stopping worker leaves new clients to the others
    if (OthersHaveFewer()) {
      // Taken by then if a less loaded worker was free to; else this one serves it after all.
      p.revents = 0;
      poll(nullptr, 0, kYieldMs);
    }
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) return -1;  // no socket left
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;  // another worker took it, or the client went away
    }
    // Request and answer are single writes; Nagle would hold each for a delayed ACK.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::unique_lock<std::mutex> lock(mutex_);
    size_t open = 0;
    for (auto& c : conns_) {
      if (!c.second.closing && PeerGone(c.second.fd)) c.second.closing = true;
      open += c.second.closing ? 0 : 1;
    }
    if (open >= limits_.maxConnections && !EvictIdle()) {
      lock.unlock();
      syslog(LOG_WARNING, "refused 503: %zu connections open in this worker, none idle", open);
      WriteRefusal(fd, 503, "Service Unavailable");
      close(fd);
      continue;
    }
    pending_ = nextId_++;
    conns_[pending_] = Conn{fd, State::kWaiting, Clock::now(), 0, false};
    PublishLoad();
    return fd;
  }
}

void ConnectionGate::PublishLoad() {
  if (loads_ != nullptr) loads_->open[slot_].store(static_cast<int>(conns_.size()));
}

bool ConnectionGate::OthersHaveFewer() {
  if (loads_ == nullptr) return false;
  const int mine = loads_->open[slot_].load();
  for (int i = 0; i < WorkerLoads::kSlots; ++i) {
    const int theirs = loads_->open[i].load();
    if (i != slot_ && theirs >= 0 && theirs < mine) return true;
  }
  return false;
}

bool ConnectionGate::EvictIdle() {
  Conn* oldest = nullptr;
  for (auto& c : conns_) {
    Conn& conn = c.second;
    // Idle keep-alive: answered at least once, waiting, nothing of a next request arrived.
    if (conn.closing || conn.state != State::kWaiting || conn.served == 0 || Pending(conn.fd) > 0)
      continue;
    if (oldest == nullptr || conn.since < oldest->since) oldest = &conn;
  }
  if (oldest == nullptr) return false;
  shutdown(oldest->fd, SHUT_RDWR);
  oldest->closing = true;
  syslog(LOG_INFO, "closed an idle keep-alive connection to make room for a new one");
  return true;
}

void ConnectionGate::Sweep(Clock::time_point now) {
  const auto limit = std::chrono::seconds(limits_.requestSeconds);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& c : conns_) {
    Conn& conn = c.second;
    if (conn.closing || conn.state == State::kModule || now - conn.since <= limit) continue;
    syslog(LOG_WARNING, "refused 408: request not complete within %d s", limits_.requestSeconds);
    WriteRefusal(conn.fd, 408, "Request Timeout");
    shutdown(conn.fd, SHUT_RDWR);
    conn.closing = true;
  }
}

void ConnectionGate::Run(std::function<void()> serve) {
  uint64_t id;
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = pending_;
    pending_ = 0;
    auto it = conns_.find(id);
    fd = it == conns_.end() ? -1 : it->second.fd;
    ++threads_;
  }
  auto body = [this, id, fd](const std::function<void()>& run) {
    tConnId = id;
    tConnFd = fd;
    run();
    std::lock_guard<std::mutex> lock(mutex_);
    conns_.erase(id);
    PublishLoad();
    --threads_;
    done_.notify_all();
  };
  try {
    std::thread(body, std::move(serve)).detach();
  } catch (const std::system_error&) {
    // No thread to be had: serve it here rather than drop it.
    body(serve);
  }
}

void ConnectionGate::Shutdown() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (threads_ > 0) {
    // Connections that wait for a request are closed; busy ones after their answer.
    for (auto& c : conns_) {
      Conn& conn = c.second;
      if (conn.closing || conn.state != State::kWaiting || Pending(conn.fd) > 0) continue;
      shutdown(conn.fd, SHUT_RDWR);
      conn.closing = true;
    }
    done_.wait_for(lock, std::chrono::milliseconds(kSweepMs));
  }
}

void ConnectionGate::SetState(State state) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = conns_.find(tConnId);
  if (it != conns_.end()) it->second.state = state;
}

void ConnectionGate::BeginRequest() {
  SetState(State::kReading);
}

void ConnectionGate::BeginModule() {
  SetState(State::kModule);
}

void ConnectionGate::EndRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = conns_.find(tConnId);
  if (it == conns_.end()) return;
  Conn& conn = it->second;
  conn.state = State::kWaiting;
  conn.since = Clock::now();
  ++conn.served;
  if (stopping_ && !conn.closing) {
    // The answer is written already; reading nothing more ends the connection.
    shutdown(conn.fd, SHUT_RD);
    conn.closing = true;
  }
}

bool ConnectionGate::RefuseCurrent(int status, const char* reason) {
  if (tConnFd < 0) return false;
  WriteRefusal(tConnFd, status, reason);
  Linger(tConnFd);
  shutdown(tConnFd, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = conns_.find(tConnId);
  if (it != conns_.end()) it->second.closing = true;
  return true;
}

void GateQueue::enqueue(std::function<void()> fn) {
  ConnectionGate::Instance().Run(std::move(fn));
}

void GateQueue::shutdown() {
  ConnectionGate::Instance().Shutdown();
}

}  // namespace webapihost

// The HTTP library accepts with accept(); once the gate is armed, its loop runs the gate's.
extern "C" int accept(int fd, struct sockaddr* addr, socklen_t* len) {
  webapihost::ConnectionGate& gate = webapihost::ConnectionGate::Instance();
  if (gate.Armed()) return gate.Accept(fd);
  return accept4(fd, addr, len, 0);
}
