// Cost of deciphering one pushed chunk and of decoding a pushed file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "kevocore.h"
#include "kevoroot.h"

namespace {

// A root of its own holding a push key; `settled` backdates the key file so that the library
// may keep the key between calls, as on a running host.
class KeyRoot {
 public:
  explicit KeyRoot(bool settled) {
    char tmpl[] = "/tmp/crypt_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    root_ = tmpl;
    setenv("FLX_ROOT", root_.c_str(), 1);
    std::string dir = root_ + "/var/packages/FLX/target/etc";
    KEVOFSMkdirP(dir.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1);
    for (int i = 0; i < 32; ++i) key_[i] = static_cast<unsigned char>(i * 7 + 1);
    std::vector<char> hex(65);
    for (int i = 0; i < 32; ++i) snprintf(&hex[2 * i], 3, "%02x", key_[i]);
    std::ofstream(KVLIBCryptKeyPath()) << hex.data() << "\n";
    if (settled) {
      struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
      utimes(KVLIBCryptKeyPath(), old);
    }
  }
  ~KeyRoot() {
    unlink(KVLIBCryptKeyPath());
    for (const char* d : {"/var/packages/FLX/target/etc", "/var/packages/FLX/target",
                          "/var/packages/FLX", "/var/packages", "/var", ""}) {
      rmdir((root_ + d).c_str());
    }
    unsetenv("FLX_ROOT");
  }
  const unsigned char* key() const { return key_; }

 private:
  std::string root_;
  unsigned char key_[32];
};

void decryptChunk(benchmark::State& state, bool settled) {
  KeyRoot root(settled);
  std::string plain(4096, 'j');
  std::vector<char> chunk(KVLIBCryptSzChunkSize(plain.size()));
  KVLIBCryptSzEncryptWithKey(root.key(), plain.data(), plain.size(), chunk.data(), chunk.size());
  std::vector<char> buf(chunk.size());
  for (auto _ : state) {
    if (KVLIBCryptSzDecrypt(chunk.data(), buf.data(), buf.size()) == nullptr) {
      state.SkipWithError("decipher failed");
      break;
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(state.iterations() * plain.size());
}

void BM_DecryptChunk4K(benchmark::State& state) {
  decryptChunk(state, true);
}
void BM_DecryptChunk4KFreshKeyFile(benchmark::State& state) {
  decryptChunk(state, false);
}

void BM_Base64Decode64K(benchmark::State& state) {
  std::vector<unsigned char> data(64 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31);
  std::vector<char> text(data.size() * 4 / 3 + 8);
  int len = KVLIBBase64Encode(data.data(), data.size(), text.data(), text.size());
  std::vector<unsigned char> out(data.size());
  for (auto _ : state) {
    int outLen = out.size();
    if (KVLIBBase64Decode(text.data(), len, out.data(), &outLen) == 0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}

BENCHMARK(BM_DecryptChunk4K);
BENCHMARK(BM_DecryptChunk4KFreshKeyFile);
BENCHMARK(BM_Base64Decode64K);

}  // namespace

BENCHMARK_MAIN();
