// The mirror folder's costs against their baselines in the same process:
//  - rule evaluation reading the file once, against one read per section;
//  - the link-safe, write-beside-and-rename file writer, against a plain truncating rewrite.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <fstream>
#include <string>
#include <vector>

#include "handlers/cache_handler.h"
#include "handlers/cache_handler_package.h"
#include "kevocore.h"

namespace {

std::string tempDir() {
  char tmpl[] = "/tmp/mirror_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  return tmpl;
}

std::string ruleFile(const std::string& dir, int sections) {
  std::string path = dir + "/PKG_DEPS";
  std::ofstream out(path);
  for (int i = 0; i < sections; ++i) {
    out << "[pkg" << i << "]\nqxm_min_ver=5.0-" << i << "\npkg_min_ver=1." << i << "\n";
  }
  return path;
}

// Baseline: the sections listed, then each read from the file again.
void RulesReadPerSection(benchmark::State& state) {
  const std::string dir = tempDir();
  const std::string path = ruleFile(dir, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    KVSZLIST* names = KVLIBSzListAlloc(1024);
    KVSZHASH* fields = KVLIBSzHashAlloc(1024);
    int n = KVLIBFileEnumSection(path.c_str(), &names);
    for (int i = 0; i < n; ++i) {
      KVLIBHashRemoveAll(fields);
      KVLIBFileGetSection(path.c_str(), KVLIBSzListGet(names, i), &fields);
    }
    KVLIBSzHashFree(fields);
    KVLIBSzListFree(names);
  }
  unlink(path.c_str());
  rmdir(dir.c_str());
}

void RulesReadOnce(benchmark::State& state) {
  const std::string dir = tempDir();
  const std::string path = ruleFile(dir, static_cast<int>(state.range(0)));
  std::string text;
  for (auto _ : state) benchmark::DoNotOptimize(evalPackageRuleFile(path.c_str(), 700, text));
  unlink(path.c_str());
  rmdir(dir.c_str());
}

const int kFileSize = 4096;

// Baseline: the earlier writer's system calls, truncating the file in place.
void RewritePlain(benchmark::State& state) {
  const std::string dir = tempDir();
  const std::string path = dir + "/INFO";
  const std::string content(kFileSize, 'i');
  for (auto _ : state) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (write(fd, content.data(), content.size()) != kFileSize) abort();
    close(fd);
    struct utimbuf utb = {1600000000, 1600000000};
    utime(path.c_str(), &utb);
  }
  unlink(path.c_str());
  rmdir(dir.c_str());
}

void RewriteStaged(benchmark::State& state) {
  const std::string dir = tempDir();
  const std::string path = dir + "/INFO";
  std::vector<char> b64(kFileSize * 2);
  const std::string content(kFileSize, 'i');
  KVLIBBase64Encode(reinterpret_cast<const unsigned char*>(content.data()), kFileSize, b64.data(),
                    static_cast<int>(b64.size()));
  uint64_t mtime = 1600000000;
  for (auto _ : state) {  // a new stamp every time, so that every call rewrites
    if (update_file_from_base64(path.c_str(), b64.data(), kFileSize, ++mtime) < 0) abort();
  }
  unlink(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace

BENCHMARK(RulesReadPerSection)->Arg(8)->Arg(64)->Arg(512);
BENCHMARK(RulesReadOnce)->Arg(8)->Arg(64)->Arg(512);
BENCHMARK(RewritePlain);
BENCHMARK(RewriteStaged);
BENCHMARK_MAIN();
