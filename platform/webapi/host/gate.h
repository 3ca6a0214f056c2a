// The connections of one worker process: TCP_NODELAY, a cap with idle keep-alive connections
// closed first, a deadline for each request, and early refusals written straight to the socket.
// The HTTP library accepts through accept(), which this gate takes over for its listening socket.
#ifndef WEBAPI_HOST_GATE_H
#define WEBAPI_HOST_GATE_H

#include <httplib.h>
#include <stddef.h>
#include <stdint.h>

#include <sys/types.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace webapihost {

struct GateLimits {
  size_t maxConnections = 64;  // per worker; each open connection holds one thread
  int requestSeconds = 120;    // headers and body of one request, from when it may begin
};

// The open connections of every worker, in memory shared by the supervisor and its workers:
// a worker with more than another leaves a new client to it for a moment, so that keep-alive
// clients spread evenly over the workers' executors. -1: no worker in that slot.
struct WorkerLoads {
  static constexpr int kSlots = 256;
  std::atomic<int> open[kSlots];
};

class ConnectionGate {
 public:
  using Clock = std::chrono::steady_clock;

  // The gate of this process. Once armed, it serves the socket of the first accept() call.
  static ConnectionGate& Instance();

  void Arm(const GateLimits& limits, pid_t parent, WorkerLoads* loads = nullptr, int slot = -1);
  // Makes the accept loop end; idle connections are closed, busy ones after their answer.
  void Stop();
  bool Stopping() const { return stopping_; }
  bool Armed() const { return armed_; }

  // The accept loop of the HTTP library: waits, sweeps, refuses; -1 once stopping.
  int Accept(int listenFd);
  // Runs one accepted connection on a thread of its own; joins them all at Shutdown().
  void Run(std::function<void()> serve);
  void Shutdown();

  // Called on the connection's own thread around the phases of a request: headers read, body
  // read (the module may run), answer written.
  void BeginRequest();
  void BeginModule();
  void EndRequest();
  // Writes a refusal straight to this thread's connection and closes it for reading, after
  // discarding what the client still sends for a moment. False when there is no connection.
  bool RefuseCurrent(int status, const char* reason);

 private:
  enum class State { kWaiting, kReading, kModule };
  struct Conn {
    int fd;
    State state;
    Clock::time_point since;  // accepted, or last answer written
    uint64_t served;
    bool closing;
  };

  ConnectionGate() = default;
  void SetState(State state);
  void Sweep(Clock::time_point now);
  bool EvictIdle();
  // True when another worker has fewer connections open than this one.
  bool OthersHaveFewer();
  void PublishLoad();
  static void WriteRefusal(int fd, int status, const char* reason);

  std::mutex mutex_;
  std::condition_variable done_;
  std::map<uint64_t, Conn> conns_;
  uint64_t nextId_ = 1;
  uint64_t pending_ = 0;  // accepted, not yet handed to a thread
  size_t threads_ = 0;
  GateLimits limits_;
  pid_t parent_ = 0;
  WorkerLoads* loads_ = nullptr;
  int slot_ = -1;
  std::atomic<bool> armed_{false};
  std::atomic<bool> stopping_{false};
};

// The HTTP library's task queue: one thread per accepted connection, through the gate.
class GateQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override;
  void shutdown() override;
};

}  // namespace webapihost

#endif  // WEBAPI_HOST_GATE_H
