// LD_PRELOAD shim for bench/liveness-load.sh: a host that records no arrival, as before the
// liveness record existed, to run beside the real one in the same script.
#include <stdint.h>

#include <string>

int KEVOFLXContactNote(const std::string&, int64_t, int64_t) {
  return 0;
}
