// The push cipher: XChaCha20-Poly1305 (IETF) without associated data. A chunk is the base64 of
// the 24-byte nonce followed by the ciphertext and its 16-byte tag.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sodium.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "kevoids.h"
#include "kevoroot.h"
#include "kv_internal.h"

namespace {

constexpr size_t kKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
// A key file is 64 hex digits and some whitespace; anything much longer is not a key file.
constexpr size_t kMaxKeyFileBytes = 4096;
// A key file whose mtime is this close to the time it was read may still be rewritten within
// the same timestamp tick, unseen by stat; such a key is not cached.
constexpr time_t kSettledSeconds = 2;

bool ensureSodium() {
  if (sodium_init() < 0) {
    KV_FAIL(KVERR_CRYPT);
    return false;
  }
  return true;
}

// Closes a file descriptor on every way out.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Parses the open key file into `key`; the text read is wiped. `why` says what was wrong.
bool readKeyFd(int fd, unsigned char* key, const char** why = nullptr) {
  char text[kMaxKeyFileBytes + 1];
  size_t got = 0;
  for (;;) {
    ssize_t n = read(fd, text + got, sizeof(text) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (why != nullptr) *why = strerror(errno);
      KV_FAIL(KVERR_FILE_OPEN);
      sodium_memzero(text, sizeof(text));
      return false;
    }
    if (n == 0 || (got += static_cast<size_t>(n)) == sizeof(text)) break;
  }
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t begin = 0;
  while (begin < got && blank(text[begin])) ++begin;
  size_t end = got;
  while (end > begin && blank(text[end - 1])) --end;
  size_t binLen = 0;
  const char* hexEnd = nullptr;
  bool ok =
      got < sizeof(text) && end - begin == 2 * kKeyBytes &&
      sodium_hex2bin(key, kKeyBytes, text + begin, end - begin, nullptr, &binLen, &hexEnd) == 0 &&
      binLen == kKeyBytes && hexEnd == text + end;
  sodium_memzero(text, sizeof(text));
  if (!ok) {
    if (why != nullptr) *why = "not 64 hex digits";
    sodium_memzero(key, kKeyBytes);
    KV_FAIL(KVERR_FILE_FORMAT);
  }
  return ok;
}

// The push key of the last decipher call, reused while one stat shows the same settled file.
struct KeyCache {
  std::mutex lock;
  bool valid = false;
  std::string path;
  struct stat st {};
  unsigned char key[kKeyBytes] = {};

  bool matches(const std::string& p, const struct stat& now) const {
    return valid && p == path && now.st_dev == st.st_dev && now.st_ino == st.st_ino &&
           now.st_size == st.st_size && now.st_mtim.tv_sec == st.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == st.st_mtim.tv_nsec && now.st_ctim.tv_sec == st.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == st.st_ctim.tv_nsec;
  }
  void forget() {
    valid = false;
    sodium_memzero(key, sizeof(key));
  }
  ~KeyCache() { forget(); }
};

KeyCache gKeyCache;

// The push key is root's (mode 0600) while the host runs with dropped ids and saved id 0:
// the key file is opened as root for the length of the open, and the ids put back at once.
int openKeyFile(const std::string& path) {
  kevo::RootIds asRoot;
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Copies the host's push key into `key`, from the cache when the file has not changed.
bool loadPushKeyOrThrow(unsigned char* key) {
  const std::string path = KVLIBCryptKeyPath();
  std::lock_guard<std::mutex> guard(gKeyCache.lock);
  struct stat now;
  if (stat(path.c_str(), &now) == 0 && gKeyCache.matches(path, now)) {
    memcpy(key, gKeyCache.key, kKeyBytes);
    return true;
  }
  gKeyCache.forget();
  Fd file(openKeyFile(path));
  struct stat st;
  const char* why = nullptr;
  if (file.fd < 0 || fstat(file.fd, &st) != 0) {
    why = strerror(errno);
    KV_FAIL(KVERR_FILE_OPEN);
  } else if (!readKeyFd(file.fd, key, &why)) {
    why = why != nullptr ? why : "unreadable";
  }
  if (why != nullptr) {
    // Every chunk of every push fails without a key: say once per load why, and where from.
    syslog(LOG_ERR, "push key [%s] is unusable: %s", path.c_str(), why);
    return false;
  }
  if (st.st_mtim.tv_sec + kSettledSeconds < time(nullptr)) {
    gKeyCache.path = path;
    gKeyCache.st = st;
    memcpy(gKeyCache.key, key, kKeyBytes);
    gKeyCache.valid = true;
  }
  return true;
}

// The key pinned by KVLIBCryptKeyPin on this thread: chunks use it without a stat each.
struct PinnedKey {
  int depth = 0;
  bool ok = false;
  unsigned char key[kKeyBytes] = {};
  ~PinnedKey() { sodium_memzero(key, sizeof(key)); }
};
thread_local PinnedKey tPinned;

bool loadPushKey(unsigned char* key) {
  if (tPinned.depth > 0) {
    if (!tPinned.ok) {
      KV_FAIL(KVERR_FILE_OPEN);
      return false;
    }
    memcpy(key, tPinned.key, kKeyBytes);
    return true;
  }
  try {
    return loadPushKeyOrThrow(key);
  } catch (...) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return false;
  }
}

}  // namespace

int KVLIBCryptKeyPin(void) {
  if (tPinned.depth > 0) {
    ++tPinned.depth;
    return tPinned.ok ? 0 : -1;
  }
  tPinned.ok = loadPushKey(tPinned.key);
  tPinned.depth = 1;
  return tPinned.ok ? 0 : -1;
}

void KVLIBCryptKeyUnpin(void) {
  if (tPinned.depth == 0 || --tPinned.depth > 0) return;
  tPinned.ok = false;
  sodium_memzero(tPinned.key, sizeof(tPinned.key));
}

const char* KVLIBCryptKeyPath(void) {
  thread_local char path[PATH_MAX];
  int n = KEVORootPath(path, sizeof(path), KEVO_PUSH_KEY_PATH);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    path[0] = '\0';
  }
  return path;
}

int KVLIBCryptReadKeyFile(const char* path, unsigned char* key) {
  if (path == nullptr || key == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  Fd file(open(path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    KV_FAIL(KVERR_FILE_OPEN);
    return -1;
  }
  return readKeyFd(file.fd, key) ? 0 : -1;
}

int KVLIBCryptSzChunkSize(int length) {
  if (length < 0 || static_cast<size_t>(length) > INT_MAX - kNonceBytes - kTagBytes) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return 0;
  }
  size_t need = sodium_base64_ENCODED_LEN(kNonceBytes + static_cast<size_t>(length) + kTagBytes,
                                          sodium_base64_VARIANT_ORIGINAL);
  if (need > INT_MAX) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return 0;
  }
  return static_cast<int>(need);
}

int KVLIBCryptSzEncryptWithKey(const unsigned char* key, const void* plain, int length, char* out,
                               int size) {
  if (key == nullptr || (plain == nullptr && length != 0) || out == nullptr || size <= 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return 0;
  }
  int need = KVLIBCryptSzChunkSize(length);
  if (need == 0) return 0;
  if (need > size) {
    KV_FAIL(KVERR_BUFFER_TOO_SMALL);
    return 0;
  }
  if (!ensureSodium()) return 0;
  size_t rawLen = kNonceBytes + static_cast<size_t>(length) + kTagBytes;
  std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[rawLen]);
  if (!raw) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return 0;
  }
  randombytes_buf(raw.get(), kNonceBytes);
  unsigned long long cipherLen = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      raw.get() + kNonceBytes, &cipherLen, static_cast<const unsigned char*>(plain),
      static_cast<unsigned long long>(length), nullptr, 0, nullptr, raw.get(), key);
  return KVLIBBase64Encode(raw.get(), static_cast<int>(rawLen), out, size);
}

char* KVLIBCryptSzDecrypt(const char* chunk, char* buf, int size) {
  if (chunk == nullptr || buf == nullptr || size <= 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return nullptr;
  }
  buf[0] = '\0';
  size_t textLen = strlen(chunk);
  if (textLen > INT_MAX || !ensureSodium()) {
    if (textLen > INT_MAX) KV_FAIL(KVERR_INVALID_ARGUMENT);
    return nullptr;
  }
  int rawLen = static_cast<int>(textLen / 4 * 3 + 3);
  std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[rawLen]);
  if (!raw) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return nullptr;
  }
  if (KVLIBBase64Decode(chunk, static_cast<int>(textLen), raw.get(), &rawLen) == 0) {
    return nullptr;
  }
  if (static_cast<size_t>(rawLen) < kNonceBytes + kTagBytes) {
    KV_FAIL(KVERR_CRYPT);
    return nullptr;
  }
  size_t plainLen = static_cast<size_t>(rawLen) - kNonceBytes - kTagBytes;
  if (plainLen >= static_cast<size_t>(size)) {
    KV_FAIL(KVERR_BUFFER_TOO_SMALL);
    return nullptr;
  }
  unsigned char key[kKeyBytes];
  if (!loadPushKey(key)) return nullptr;
  unsigned long long got = 0;
  int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
      reinterpret_cast<unsigned char*>(buf), &got, nullptr, raw.get() + kNonceBytes,
      static_cast<unsigned long long>(rawLen) - kNonceBytes, nullptr, 0, raw.get(), key);
  sodium_memzero(key, sizeof(key));
  if (rc != 0) {
    sodium_memzero(buf, plainLen + 1);
    KV_FAIL(KVERR_CRYPT);
    return nullptr;
  }
  buf[got] = '\0';
  return buf;
}
