// A module for the host's tests: "pid" answers the id of the process that runs it, "threads"
// that process's number of threads, "slow" answers after half a second, "hang" after 30 s,
// "crash" kills the process that runs it.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "webapi.h"

namespace {

void Pid(KEVO::APIRequest*, KEVO::APIResponse* resp) {
  resp->SetSuccess(Json::Value(static_cast<int>(getpid())));
}
void Threads(KEVO::APIRequest*, KEVO::APIResponse* resp) {
  int n = -2;  // "." and ".."
  if (DIR* d = opendir("/proc/self/task")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  resp->SetSuccess(Json::Value(n));
}
void Slow(KEVO::APIRequest*, KEVO::APIResponse* resp) {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  resp->SetSuccess(Json::Value(static_cast<int>(getpid())));
}
void Hang(KEVO::APIRequest*, KEVO::APIResponse* resp) {
  std::this_thread::sleep_for(std::chrono::seconds(30));
  resp->SetSuccess(Json::Value());
}
void Crash(KEVO::APIRequest*, KEVO::APIResponse*) {
  raise(SIGKILL);
}

const WEBAPI_ENTRY kTable[] = {
    {"T.Crash", 1, "pid", Pid},   {"T.Crash", 1, "threads", Threads},
    {"T.Crash", 1, "slow", Slow}, {"T.Crash", 1, "crash", Crash},
    {"T.Crash", 1, "hang", Hang}, {nullptr, 0, nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const WEBAPI_ENTRY* GetAPITable() {
  return kTable;
}
