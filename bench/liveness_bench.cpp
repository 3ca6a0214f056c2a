// What liveness and the keyring cost a push, measured in one process and printed as ratios:
//  - the record of each answered push's arrival (one registry upsert after the push) against
//    the push itself, at 100 pushes/s with the demo fleet's heartbeat (its basic item);
//  - a push deciphered by the keyring's second key against one deciphered by the first.
// The registry commits as the host's held stores do (synchronous=NORMAL).
//   build/dev/bin/liveness_bench [--pushes N]   (N per measurement, default 2000)
#include <json/reader.h>
#include <sodium.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "admin_key.h"
#include "api/webapi_flx_cache.h"
#include "bench_util.h"
#include "flx.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "product.h"
#include "push.h"

namespace {

using Clock = std::chrono::steady_clock;

int RelaxSync(sqlite3* db, char**, const sqlite3_api_routines*) {
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return SQLITE_OK;
}

double Micros(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

Json::Value Items(const Json::Value& batch, const unsigned char* key) {
  Json::Value items;
  std::string err;
  if (!flxpush::BuildItems(batch, key, 4096, false, items, err)) {
    fprintf(stderr, "liveness_bench: %s\n", err.c_str());
    exit(2);
  }
  return items;
}

bool Push(const std::string& sid, const Json::Value& items) {
  Json::Value params(Json::objectValue);
  params["items"] = items;
  KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, sid, "127.0.0.1");
  KEVO::APIResponse resp;
  set_v1(&req, &resp);
  return resp.IsSuccess();
}

// Waits for the next slot of a 100/s schedule.
void Pace(Clock::time_point& next) {
  next += std::chrono::milliseconds(10);
  std::this_thread::sleep_until(next);
}

}  // namespace

int main(int argc, char** argv) {
  int pushes = 2000;
  if (argc == 3 && strcmp(argv[1], "--pushes") == 0) pushes = atoi(argv[2]);
  if (pushes <= 0) {
    fprintf(stderr, "usage: liveness_bench [--pushes N]\n");
    return 2;
  }
  sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(RelaxSync));
  const flxbench::TempRoot tempRoot("/tmp/liveness_bench");
  const std::string root = tempRoot.dir();
  std::string err, sid;
  uint64_t id = 0;
  if (flxadmin::init(err) != 0 || flxadmin::deviceAdd("SN-BENCH", "", id, err) != 0 ||
      flxadmin::sessionAdd("SN-BENCH", sid, 0, err) != 0) {
    fprintf(stderr, "liveness_bench: set-up failed: %s\n", err.c_str());
    return 2;
  }
  std::ifstream file(std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json");
  std::stringstream text;
  text << file.rdbuf();
  Json::Value demo;
  Json::CharReaderBuilder builder;
  std::string parseErr;
  if (!Json::parseFromStream(builder, text, &demo, &parseErr) || !demo.isArray()) return 2;
  Json::Value heartbeat(Json::arrayValue);
  heartbeat.append(demo[0]);  // the basic item
  // Old files let the library keep the keyring between pushes, as on a running host.
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  utimes(KVLIBCryptKeyPath(), old);
  unsigned char first[32], second[32];
  KVLIBCryptReadKeyFile(KVLIBCryptKeyPath(), first);
  const Json::Value withFirst = Items(heartbeat, first);

  // 1. The arrival record against the push, interleaved at 100 pushes/s: what the answer
  // waits for (the product's after hook, which keeps the arrival) and what follows the answer
  // (its write), as the host's worker runs them.
  webapihost::Call call;
  call.api = "KEVO.FLX.RPC.ClientInfo";
  call.method = "push";
  call.params["items"] = withFirst;
  std::vector<double> push, kept, counted, written, inline1;
  Clock::time_point next = Clock::now();
  for (int i = 0; i < pushes; ++i) {
    Pace(next);
    const auto a = Clock::now();
    Json::Value params(Json::objectValue);
    params["items"] = withFirst;
    KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, sid, "127.0.0.1");
    KEVO::APIResponse resp;
    set_v1(&req, &resp);
    if (!resp.IsSuccess()) return fprintf(stderr, "liveness_bench: push failed\n"), 1;
    // The items' count alone, as the after hook made it before the arrival record existed; it
    // goes first or second in turns, so that neither is always the one with warm caches.
    const auto countItems = [&resp]() {
      const auto t = Clock::now();
      flxproduct::CountItems({{"basic", "basic"}}, resp);
      return Micros(t, Clock::now());
    };
    if (i % 2 == 0) counted.push_back(countItems());
    const auto b = Clock::now();
    flxproduct::AfterCall(call, "SN-BENCH", resp);
    const auto c = Clock::now();
    if (i % 2 == 1) counted.push_back(countItems());
    flxproduct::AfterAnswer(false);
    const auto d = Clock::now();
    // The record as it was written before the answer: one upsert of its own.
    KEVOFLXContactNote("SN-BENCH", static_cast<int64_t>(time(nullptr)) + i, 1700000000);
    const auto e = Clock::now();
    push.push_back(Micros(a, b));
    kept.push_back(Micros(b, c));
    written.push_back(Micros(c, d));
    inline1.push_back(Micros(d, e));
  }
  const double p50 = Percentile(push, 0.5), p99 = Percentile(push, 0.99);
  printf("push (heartbeat) at 100/s: p50 %.0f us, p99 %.0f us\n", p50, p99);
  printf(
      "before the answer (after hook, arrival kept): p50 %.1f us, p99 %.1f us; of which the "
      "items' count, there before the record: p50 %.1f us\n",
      Percentile(kept, 0.5), Percentile(kept, 0.99), Percentile(counted, 0.5));
  printf("after the answer (arrival, key use, history note written): p50 %.0f us, p99 %.0f us\n",
         Percentile(written, 0.5), Percentile(written, 0.99));
  printf("the upsert alone, as it ran before the answer until now: p50 %.0f us, p99 %.0f us\n",
         Percentile(inline1, 0.5), Percentile(inline1, 0.99));
  // The record's share of what the answer waits for: the after hook less the count it always
  // made; until now the upsert (and the note) came on top, before the answer.
  const double record = Percentile(kept, 0.5) - Percentile(counted, 0.5);
  printf(
      "ratio answered push with the record / without (p50): %.3f; with the upsert before the "
      "answer, as until now: %.3f\n",
      (p50 + record) / p50, (p50 + record + Percentile(inline1, 0.5)) / p50);
  // A worker's batch while requests queue: one commit for up to 32 arrivals.
  std::vector<double> perArrival;
  for (int round = 0; round < 200; ++round) {
    std::vector<KEVOFLX_CONTACT> batch(32);
    for (size_t j = 0; j < batch.size(); ++j) {
      batch[j].sn = "SN-BENCH";
      batch[j].arrival = static_cast<int64_t>(time(nullptr)) + round;
      batch[j].collect_time = 1700000000;
    }
    const auto a = Clock::now();
    if (KEVOFLXContactNotes(batch) != 0) return fprintf(stderr, "liveness_bench: batch\n"), 1;
    perArrival.push_back(Micros(a, Clock::now()) / batch.size());
  }
  printf("a batch of 32 arrivals in one commit: p50 %.1f us an arrival\n",
         Percentile(perArrival, 0.5));

  // 2. The keyring's fallback: rotate, so that the old key is the second one tried.
  std::string oldId, newId;
  if (flxadmin::keyRotate(oldId, newId, err) != 0) {
    fprintf(stderr, "liveness_bench: %s\n", err.c_str());
    return 2;
  }
  utimes(KVLIBCryptKeyPath(), old);
  utimes(KVLIBCryptKeysDir(), old);
  KVLIBCryptReadKeyFile(KVLIBCryptKeyPath(), second);
  const Json::Value byNewest = Items(heartbeat, second), bySecond = Items(heartbeat, first);
  const Json::Value wholeNewest = Items(demo, second), wholeSecond = Items(demo, first);
  std::vector<double> t1, t2, w1, w2;
  // The demo batch waits for the disk many times over: a twentieth as many of those.
  for (int i = 0; i < pushes; ++i) {
    const int kinds = i % 20 == 0 ? 4 : 2;
    const Json::Value* order[4] = {&byNewest, &bySecond, &wholeNewest, &wholeSecond};
    std::vector<double>* out[4] = {&t1, &t2, &w1, &w2};
    for (int k = 0; k < kinds; ++k) {
      const int j = ((i / 20) % 2 == 0) ? k : k ^ 1;  // alternate which key goes first
      const auto a = Clock::now();
      if (!Push(sid, *order[j])) return fprintf(stderr, "liveness_bench: push failed\n"), 1;
      out[j]->push_back(Micros(a, Clock::now()));
    }
  }
  printf("heartbeat push by the first key: p50 %.0f us; by the second: p50 %.0f us; ratio %.3f\n",
         Percentile(t1, 0.5), Percentile(t2, 0.5), Percentile(t2, 0.5) / Percentile(t1, 0.5));
  printf(
      "demo batch (6 items) by the first key: p50 %.0f us; by the second: p50 %.0f us; ratio "
      "%.3f\n",
      Percentile(w1, 0.5), Percentile(w2, 0.5), Percentile(w2, 0.5) / Percentile(w1, 0.5));
  sodium_memzero(first, sizeof first);
  sodium_memzero(second, sizeof second);
  return 0;
}
