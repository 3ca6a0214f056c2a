// Cost of the push path's own work: deciphering and parsing a batch, one statement on the
// cache database, and the check of an unchanged mirror file.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#include <fstream>
#include <string>
#include <vector>

#include "admin.h"
#include "api/webapi_flx_cache.h"
#include "common/cache_db.h"
#include "handlers/cache_handler.h"
#include "kevocore.h"
#include "kevoroot.h"

namespace {

// A root of its own, initialised as by `flx-admin init`, with one device and its session.
class BenchRoot {
 public:
  BenchRoot() {
    char tmpl[] = "/tmp/push_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    root_ = tmpl;
    setenv("FLX_ROOT", root_.c_str(), 1);
    std::string err;
    uint64_t id = 0;
    if (flxadmin::init(err) != 0 || flxadmin::deviceAdd("SN-BENCH", "", id, err) != 0 ||
        flxadmin::sessionAdd("SN-BENCH", sid_, 0, err) != 0) {
      fprintf(stderr, "bench set-up failed: %s\n", err.c_str());
      abort();
    }
    // An old key file lets the library keep the key between calls, as on a running host.
    struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    utimes(KVLIBCryptKeyPath(), old);
  }
  ~BenchRoot() {
    nftw(
        root_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
    unsetenv("FLX_ROOT");
  }
  const std::string& root() const { return root_; }
  const std::string& sid() const { return sid_; }

 private:
  std::string root_;
  std::string sid_;
};

BenchRoot* gRoot = nullptr;

// One item of an unknown pair: 64 KiB of JSON in 16 chunks, so only decipher, join and parse
// are measured, not a handler.
void BM_PushOneItemOf16Chunks(benchmark::State& state) {
  unsigned char key[32];
  KVLIBCryptReadKeyFile(KVLIBCryptKeyPath(), key);
  std::string plain = "{\"rows\":[";
  while (plain.size() < 64 * 1024 - 64) plain += "{\"name\":\"volume_1\",\"size\":123456789},";
  plain += "{}]}";
  Json::Value data(Json::arrayValue);
  const size_t piece = (plain.size() + 15) / 16;
  for (size_t at = 0; at < plain.size(); at += piece) {
    std::string part = plain.substr(at, piece);
    std::string chunk(KVLIBCryptSzChunkSize(static_cast<int>(part.size())), '\0');
    int n = KVLIBCryptSzEncryptWithKey(key, part.data(), static_cast<int>(part.size()), &chunk[0],
                                       static_cast<int>(chunk.size()));
    chunk.resize(n > 0 ? n : 0);
    data.append(chunk);
  }
  Json::Value item(Json::objectValue);
  item["group_name"] = "bench";
  item["module_name"] = "unknown";
  item["collect_time"] = 1700000000;
  item["data"] = data;
  Json::Value params(Json::objectValue);
  params["items"].append(item);
  KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params, gRoot->sid(), "127.0.0.1");
  for (auto _ : state) {
    KEVO::APIResponse resp;
    set_v1(&req, &resp);
    if (!resp.IsSuccess()) {
      state.SkipWithError("push failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_PushOneItemOf16Chunks)->Unit(benchmark::kMicrosecond);

// One unit of database work: open, one INSERT, close.
void BM_CacheDbUnitOneInsert(benchmark::State& state) {
  {
    CacheDbUnit setup("bench", 1, 1);
    setup.exec("CREATE TABLE IF NOT EXISTS bench_rows(id INTEGER PRIMARY KEY, v TEXT);", 1);
  }
  int64_t i = 0;
  for (auto _ : state) {
    std::string sql =
        "INSERT OR REPLACE INTO bench_rows VALUES (" + std::to_string(i++ % 64) + ", 'value');";
    CacheDbUnit unit("bench", 1, 2);
    if (unit.exec(sql.c_str(), 3) != 0) {
      state.SkipWithError("insert failed");
      break;
    }
  }
}
BENCHMARK(BM_CacheDbUnitOneInsert)->Unit(benchmark::kMicrosecond);

// The common path of every basic push: the mirror already holds the file.
void BM_MirrorFileUnchanged(benchmark::State& state) {
  const std::string path = gRoot->root() + "/mirror.conf";
  const char* text = "aGVsbG8gd29ybGQK";  // "hello world\n"
  update_file_from_base64(path.c_str(), text, 12, 1600000000);
  for (auto _ : state) {
    if (update_file_from_base64(path.c_str(), text, 12, 1600000000) != 0) {
      state.SkipWithError("file was rewritten");
      break;
    }
  }
}
BENCHMARK(BM_MirrorFileUnchanged);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  BenchRoot root;
  gRoot = &root;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gRoot = nullptr;
  return 0;
}
