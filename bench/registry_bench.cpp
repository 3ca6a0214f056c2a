// The registry calls of one demo push (17, as the handlers make them) on the process's one
// connection, against the same calls each on a connection of its own (the registry before it
// kept one). Prints the ratio, min and median over rounds; run by hand.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "admin.h"
#include "bench_util.h"
#include "flx.h"
#include "kevoroot.h"

namespace flxreg {
void closeShared();  // the library's own: the next call opens a fresh connection
}

namespace {

const int kRounds = 15;
const int kPushesPerRound = 40;

bool gFresh = false;  // a connection of its own for every call

template <class Fn>
void call(Fn&& fn) {
  if (gFresh) flxreg::closeShared();
  fn();
}

void onePush(const std::string& sid) {
  std::string sn;
  call([&] { KEVOFLXQxCheckWebapiPriviege(sid, KEVOFLX_DEFAULT_API_CLASS, sn); });
  KVSZHASH* filter = KVLIBSzHashAlloc(4);
  KVLIBSzHashSetValue(&filter, "sn", "SN-BENCH");
  KEVOFLX_QX* dev = nullptr;
  for (int handler = 0; handler < 5; ++handler) {
    call([&] {
      int total = 0;
      KEVOFLXQxListFree(&dev);
      KEVOFLXQxList(filter, &dev, &total);
    });
  }
  KVLIBSzHashFree(filter);
  if (dev == nullptr) abort();
  call([&] { KEVOFLXQxSet(dev); });
  KEVOFLX_QX rec;
  call([&] { KEVOFLXQxGetBySN("SN-BENCH", &rec); });
  KEVOFLX_INFO info;
  info.qx_id = static_cast<int64_t>(dev->id);
  call([&] { KEVOFLXInfoCreate(&info); });
  for (const char* id : {"photo", "video", "music"}) {
    KEVOFLX_APP app;
    app.qx_id = dev->id;
    app.app_id = id;
    call([&] { KEVOFLXAppSet(&app); });
  }
  for (const char* id : {"Tool", "Backup"}) {
    KEVOFLX_PKG pkg;
    call([&] { KEVOFLXPkgGetBy(dev->id, id, &pkg); });
    pkg.qx_id = dev->id;
    pkg.pkg_id = id;
    call([&] { KEVOFLXPkgSet(&pkg); });
  }
  KEVOFLXQxListFree(&dev);
}

double roundMs(const std::string& sid) {
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  for (int i = 0; i < kPushesPerRound; ++i) onePush(sid);
  clock_gettime(CLOCK_MONOTONIC, &b);
  return ((b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6) / kPushesPerRound;
}

}  // namespace

int main() {
  const flxbench::TempRoot root("/tmp/registry_bench");
  std::string err, sid;
  uint64_t id = 0;
  if (flxadmin::init(err) != 0 || flxadmin::deviceAdd("SN-BENCH", "", id, err) != 0 ||
      flxadmin::sessionAdd("SN-BENCH", sid, 0, err) != 0) {
    fprintf(stderr, "bench set-up failed: %s\n", err.c_str());
    return 1;
  }
  std::vector<double> kept, fresh;
  for (int r = 0; r < kRounds; ++r) {  // interleaved, so that the machine's noise hits both
    gFresh = false;
    kept.push_back(roundMs(sid));
    gFresh = true;
    fresh.push_back(roundMs(sid));
  }
  std::sort(kept.begin(), kept.end());
  std::sort(fresh.begin(), fresh.end());
  printf("registry calls of one push (ms)  min     median\n");
  printf("  one connection per process    %7.3f %7.3f\n", kept.front(), kept[kRounds / 2]);
  printf("  one connection per call       %7.3f %7.3f\n", fresh.front(), fresh[kRounds / 2]);
  printf("  ratio kept/fresh              %7.2f %7.2f\n", kept.front() / fresh.front(),
         kept[kRounds / 2] / fresh[kRounds / 2]);
  flxreg::closeShared();
  return 0;
}
