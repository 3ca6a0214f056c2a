// The one definition of a device's liveness, and the clock it is read against.
#include <stdlib.h>
#include <time.h>

#include "flxread.h"

namespace flxread {

int64_t livenessInterval(int64_t learntInterval) {
  return learntInterval > 0 ? learntInterval : kAgentIntervalSeconds;
}

bool isStale(int64_t lastContact, int64_t learntInterval, int64_t now) {
  if (lastContact <= 0) return true;
  return now - lastContact > kStaleIntervals * livenessInterval(learntInterval);
}

int64_t clockNow() {
#ifdef FLX_TESTING
  if (const char* fake = getenv("FLX_NOW")) {
    char* end = nullptr;
    const long long v = strtoll(fake, &end, 10);
    if (end != fake && *end == '\0' && v > 0) return v;
  }
#endif
  return static_cast<int64_t>(time(nullptr));
}

}  // namespace flxread
