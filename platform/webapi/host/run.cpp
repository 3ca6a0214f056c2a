// The host's run folders, one per host start, and the busy table of its workers.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "kevohandle.h"
#include "process.h"

namespace webapihost {

namespace {

// The start time of process `pid` in clock ticks since boot (field 22 of its stat line), or
// empty when it does not run.
std::string StartTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return "";
  // The command name may hold spaces and parentheses: the fields start after its last ')'.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return "";
  size_t at = close + 2;
  for (int field = 3; field < 22 && at != std::string::npos; ++field) {
    at = line.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  if (at == std::string::npos) return "";
  return line.substr(at, line.find(' ', at) - at);
}

bool Digits(const std::string& text) {
  return !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

struct Slot {
  std::atomic<int64_t> since;  // steady clock, ns; 0: idle
  std::atomic<int32_t> seconds;
  std::atomic<int32_t> scrape;
};
Slot* gSlots = nullptr;
int gSlotCount = 0;

Slot* At(int slot) {
  return gSlots != nullptr && slot >= 0 && slot < gSlotCount ? &gSlots[slot] : nullptr;
}

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string RunFolderName() {
  uint64_t nonce = 0;
  if (getrandom(&nonce, sizeof nonce, 0) != static_cast<ssize_t>(sizeof nonce))
    nonce = static_cast<uint64_t>(Now());
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(nonce));
  const pid_t pid = getpid();
  return "host." + std::to_string(pid) + "." + StartTicks(pid) + "." + hex;
}

int RemoveStaleRunFolders(const std::string& base) {
  kevo::Dir d(opendir(base.c_str()));
  if (!d) return 0;
  std::vector<std::string> stale;
  const std::string self = std::to_string(getpid());
  while (const dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name.compare(0, 5, "host.") != 0) continue;
    // host.<pid>.<start ticks>.<nonce>, or host.<pid> of older hosts.
    const size_t dot = name.find('.', 5);
    const std::string pid = name.substr(5, dot == std::string::npos ? std::string::npos : dot - 5);
    if (!Digits(pid)) continue;
    const size_t dot2 = dot == std::string::npos ? dot : name.find('.', dot + 1);
    const std::string ticks =
        dot == std::string::npos
            ? ""
            : name.substr(dot + 1, dot2 == std::string::npos ? dot2 : dot2 - dot - 1);
    const std::string running =
        pid.size() > 9 ? "" : StartTicks(static_cast<pid_t>(std::stol(pid)));
    // Ours is not made yet: a folder with our pid is an earlier start's (a restarted container).
    const bool alive = pid != self && !running.empty() && (ticks.empty() || ticks == running);
    if (!alive) stale.push_back(name);
  }
  int removed = 0;
  for (const std::string& name : stale) {
    std::error_code ec;  // links inside are removed, never followed
    std::filesystem::remove_all(base + "/" + name, ec);
    if (ec) {
      syslog(LOG_WARNING, "cannot remove the stale run folder %s: %s", name.c_str(),
             ec.message().c_str());
    } else {
      syslog(LOG_NOTICE, "removed the run folder %s of a host that no longer runs", name.c_str());
      ++removed;
    }
  }
  return removed;
}

namespace busy {

bool Map(int slots) {
  if (gSlots != nullptr) return true;
  void* p = mmap(nullptr, sizeof(Slot) * static_cast<size_t>(slots), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    syslog(LOG_ERR, "cannot map the busy table: %m; no worker is seen busy or overdue");
    return false;
  }
  gSlots = static_cast<Slot*>(p);  // zero-filled: every slot idle
  gSlotCount = slots;
  return true;
}

void Start(int slot, int seconds, bool scrape) {
  Slot* s = At(slot);
  if (s == nullptr) return;
  s->seconds.store(seconds, std::memory_order_relaxed);
  s->scrape.store(scrape ? 1 : 0, std::memory_order_relaxed);
  s->since.store(Now(), std::memory_order_release);
}

void Stop(int slot) {
  if (Slot* s = At(slot)) s->since.store(0, std::memory_order_release);
}

State Of(int slot) {
  State state;
  const Slot* s = At(slot);
  if (s == nullptr) return state;
  const int64_t since = s->since.load(std::memory_order_acquire);
  if (since == 0) return state;
  state.busy = true;
  state.running = std::chrono::nanoseconds(std::max<int64_t>(0, Now() - since));
  state.seconds = s->seconds.load(std::memory_order_relaxed);
  state.scrape = s->scrape.load(std::memory_order_relaxed) != 0;
  return state;
}

}  // namespace busy

}  // namespace webapihost
