// Child processes and loopback sockets for the tests that run the real programs.
#ifndef FLX_TEST_PROCESS_H
#define FLX_TEST_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace flxtest {

// A child process with its stdout on a pipe; killed and reaped if the test leaves early.
class Child {
 public:
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // stderr goes to `errPath`, or with stdout to the pipe when `errPath` is empty.
  bool Start(const std::vector<std::string>& args, const std::string& errPath) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (errPath.empty()) {
      posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // One line of stdout, or false when none came within the time.
  bool ReadLine(std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      if (!ReadSome(deadline)) return false;
    }
  }

  // Everything until end of file (bounded by the time).
  std::string ReadAll(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ReadSome(deadline)) {
    }
    std::string all;
    all.swap(buffer_);
    return all;
  }

  // The exit status, or -1 when it did not exit in time (it is then killed).
  int Wait(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  bool Running() const { return pid_ > 0; }

 private:
  using Clock = std::chrono::steady_clock;

  bool ReadSome(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (out_ < 0 || left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

// A connection to 127.0.0.1:`port`, or -1.
int LoopbackConnect(int port);
// A loopback port that was free a moment ago.
int FreePort();

}  // namespace flxtest

#endif  // FLX_TEST_PROCESS_H
