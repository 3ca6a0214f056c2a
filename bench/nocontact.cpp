// LD_PRELOAD shim for bench/liveness-load.sh: a host that records no arrival, as before the
// liveness record existed, to run beside the real one in the same script.
#include "flx.h"

int KEVOFLXContactNote(const std::string&, int64_t, int64_t) {
  return 0;
}
int KEVOFLXContactNotes(const std::vector<KEVOFLX_CONTACT>&) {
  return 0;
}
