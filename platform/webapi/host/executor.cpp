// The child process that runs a worker's module calls (see Executor in host.h), and the channel
// between them: each message is a count of texts, then each text's length and bytes.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host.h"

namespace webapihost {

namespace {

// No text of a call is larger than the host's body limit; this only guards the reader.
const uint64_t kMaxText = uint64_t(1) << 32;

bool WriteAll(int fd, std::vector<iovec> parts) {
  size_t at = 0;
  while (at < parts.size()) {
    msghdr msg{};
    msg.msg_iov = &parts[at];
    msg.msg_iovlen = std::min<size_t>(parts.size() - at, IOV_MAX);
    // A closed channel is an error to report, not a signal that ends the process.
    const ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    size_t left = static_cast<size_t>(n);
    while (at < parts.size() && left >= parts[at].iov_len) left -= parts[at++].iov_len;
    if (left > 0) {
      parts[at].iov_base = static_cast<char*>(parts[at].iov_base) + left;
      parts[at].iov_len -= left;
    }
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Send(int fd, const std::vector<const std::string*>& texts) {
  std::vector<uint64_t> sizes;
  sizes.push_back(texts.size());
  for (const std::string* t : texts) sizes.push_back(t->size());
  std::vector<iovec> parts;
  parts.push_back({sizes.data(), sizes.size() * sizeof(uint64_t)});
  for (const std::string* t : texts)
    if (!t->empty()) parts.push_back({const_cast<char*>(t->data()), t->size()});
  return WriteAll(fd, parts);
}

bool Receive(int fd, const std::vector<std::string*>& texts) {
  uint64_t count = 0;
  if (!ReadAll(fd, &count, sizeof count) || count != texts.size()) return false;
  std::vector<uint64_t> sizes(count);
  if (!ReadAll(fd, sizes.data(), count * sizeof(uint64_t))) return false;
  for (size_t i = 0; i < count; ++i) {
    if (sizes[i] > kMaxText) return false;
    texts[i]->resize(sizes[i]);
    if (sizes[i] > 0 && !ReadAll(fd, &(*texts[i])[0], sizes[i])) return false;
  }
  return true;
}

}  // namespace

Served ServeHere(Dispatcher& dispatcher, const RawRequest& raw) {
  Served served;
  served.text = AnswerText(dispatcher.Handle(raw, &served.status, &served.guessed));
  return served;
}

int ServeCalls(int fd, Dispatcher& dispatcher) {
  RawRequest raw;
  while (Receive(fd, {&raw.query, &raw.body, &raw.contentType, &raw.cookie, &raw.remoteIp,
                      &raw.clientAddress})) {
    const Served served = ServeHere(dispatcher, raw);
    const std::string status = std::to_string(served.status);
    const std::string guessed = served.guessed ? "1" : "0";
    if (!Send(fd, {&status, &guessed, &served.text})) break;
    raw = RawRequest();  // a large body is not kept until the next call
  }
  return 0;
}

bool Executor::Start(const std::function<int(int fd)>& serve) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    syslog(LOG_ERR, "cannot start an executor: socketpair: %m");
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    syslog(LOG_ERR, "cannot start an executor: fork: %m");
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    // Stop signals reach the worker, which answers what is in flight and then closes the
    // channel: that, not a signal sent to the whole group, ends the executor.
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_NAME, "flx-executor");
    _exit(serve(fds[1]));
  }
  close(fds[1]);
  fd_ = fds[0];
  pid_ = pid;
  return true;
}

Served Executor::Run(const RawRequest& raw) {
  // Calls go in the order they came: a plain mutex lets one connection wait many turns.
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  turn_.wait(lock, [&] { return serving_ == ticket; });
  struct NextTurn {
    Executor& e;
    ~NextTurn() {
      ++e.serving_;
      e.turn_.notify_all();
    }
  } next{*this};
  Served served;
  std::string status, guessed;
  if (fd_ >= 0 &&
      Send(fd_, {&raw.query, &raw.body, &raw.contentType, &raw.cookie, &raw.remoteIp,
                 &raw.clientAddress}) &&
      Receive(fd_, {&status, &guessed, &served.text})) {
    served.status = atoi(status.c_str());
    served.guessed = guessed == "1";
    return served;
  }
  const bool first = fd_ >= 0;
  Reap(true);
  if (first && onDeath_) onDeath_();
  served.status = 500;
  served.text =
      "{\"success\":false,\"error\":{\"code\":" + std::to_string(WEBAPI_ERR_MODULE_FAILED) + "}}";
  return served;
}

void Executor::Reap(bool logEnd) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (pid_ <= 0) return;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  if (logEnd && WIFSIGNALED(status)) {
    syslog(LOG_ERR, "executor %d killed by signal %d (%s); worker %d stops", static_cast<int>(pid_),
           WTERMSIG(status), strsignal(WTERMSIG(status)), static_cast<int>(getpid()));
  } else if (logEnd) {
    syslog(LOG_ERR, "executor %d exited with status %d; worker %d stops", static_cast<int>(pid_),
           WIFEXITED(status) ? WEXITSTATUS(status) : -1, static_cast<int>(getpid()));
  }
  pid_ = -1;
}

Executor::~Executor() {
  std::lock_guard<std::mutex> lock(mutex_);
  Reap(false);
}

}  // namespace webapihost
