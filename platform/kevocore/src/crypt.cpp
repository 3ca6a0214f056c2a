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

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kevohandle.h"
#include "kevoids.h"
#include "kevoroot.h"
#include "kv_internal.h"

namespace {

using kevo::Fd;

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

// The push keys accepted: the current key first, then the older ones of the keyring folder,
// newest first. Fixed size, so that a key is never copied into memory left unwiped.
constexpr int kMaxRingKeys = 1 + 16;
constexpr int kKeyIdBytes = 4;  // a short id names a key in metrics and tools, never the key
struct Ring {
  int count = 0;
  unsigned char key[kMaxRingKeys][kKeyBytes] = {};
  char id[kMaxRingKeys][2 * kKeyIdBytes + 1] = {};
  void wipe() {
    sodium_memzero(key, sizeof(key));
    count = 0;
  }
  void copyFrom(const Ring& other) {
    memcpy(key, other.key, sizeof(key));
    memcpy(id, other.id, sizeof(id));
    count = other.count;
  }
  ~Ring() { wipe(); }
};

void keyIdOf(const unsigned char* key, char* out) {
  unsigned char hash[crypto_generichash_BYTES_MIN];
  crypto_generichash(hash, sizeof(hash), key, kKeyBytes, nullptr, 0);
  sodium_bin2hex(out, 2 * kKeyIdBytes + 1, hash, kKeyIdBytes);
}

bool sameStat(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The keyring of the last decipher call, reused while a stat of the key file and of the
// keyring folder show both unchanged and settled. Older keys are written beside and renamed
// into the folder, so its own times change with every key added or dropped.
struct KeyCache {
  std::mutex lock;
  bool valid = false;
  std::string path, dir;
  struct stat st {};
  bool dirPresent = false;
  struct stat dirSt {};
  Ring ring;

  bool matches(const std::string& p, const struct stat& now, const std::string& d, bool present,
               const struct stat& dirNow) const {
    return valid && p == path && d == dir && sameStat(now, st) && present == dirPresent &&
           (!present || sameStat(dirNow, dirSt));
  }
  void forget() {
    valid = false;
    ring.wipe();
  }
};

KeyCache gKeyCache;

// The push key is root's (mode 0600) while the host runs with dropped ids and saved id 0:
// the key file is opened as root for the length of the open, and the ids put back at once.
int openKeyFile(const std::string& path) {
  kevo::RootIds asRoot;
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Appends the keys of the keyring folder, newest (largest name) first. A file that is not a
// key is logged and skipped: the current key still serves.
void loadOlderKeys(const std::string& dir, Ring& ring) {
  std::vector<std::string> names;
  int dirFd;
  {
    kevo::RootIds asRoot;
    dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (dirFd < 0) return;
  Fd owner(dirFd);
  {
    kevo::RootIds asRoot;
    Fd listFd(dup(dirFd));
    kevo::Dir d(listFd.ok() ? fdopendir(listFd.get()) : nullptr);
    if (d) listFd.release();  // the listing owns it now
    while (d) {
      const dirent* e = readdir(d.get());
      if (e == nullptr) break;
      const size_t len = strlen(e->d_name);
      if (e->d_name[0] != '.' && len > 4 && strcmp(e->d_name + len - 4, ".key") == 0)
        names.push_back(e->d_name);
    }
  }
  std::sort(names.rbegin(), names.rend());
  for (const std::string& name : names) {
    if (ring.count == kMaxRingKeys) {
      syslog(LOG_WARNING, "push keyring [%s] holds more than %d keys: the oldest are not tried",
             dir.c_str(), kMaxRingKeys - 1);
      break;
    }
    int fd;
    {
      kevo::RootIds asRoot;
      fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    Fd file(fd);
    const char* why = nullptr;
    if (file.get() < 0 || !readKeyFd(file.get(), ring.key[ring.count], &why)) {
      syslog(LOG_ERR, "push key [%s/%s] is unusable: %s", dir.c_str(), name.c_str(),
             why != nullptr ? why : strerror(errno));
      continue;
    }
    // The same key twice (the moment of a rotation) is tried once.
    bool seen = false;
    for (int i = 0; i < ring.count && !seen; ++i)
      seen = sodium_memcmp(ring.key[i], ring.key[ring.count], kKeyBytes) == 0;
    if (seen) {
      sodium_memzero(ring.key[ring.count], kKeyBytes);
      continue;
    }
    keyIdOf(ring.key[ring.count], ring.id[ring.count]);
    ++ring.count;
  }
}

// Fills `ring` with the host's keys, from the cache when neither the key file nor the
// keyring folder has changed.
bool loadRingOrThrow(Ring& ring) {
  const std::string path = KVLIBCryptKeyPath();
  const std::string dir = KVLIBCryptKeysDir();
  std::lock_guard<std::mutex> guard(gKeyCache.lock);
  struct stat now, dirNow;
  const bool dirPresent = stat(dir.c_str(), &dirNow) == 0;
  if (stat(path.c_str(), &now) == 0 && gKeyCache.matches(path, now, dir, dirPresent, dirNow)) {
    ring.copyFrom(gKeyCache.ring);
    return true;
  }
  gKeyCache.forget();
  ring.wipe();
  Fd file(openKeyFile(path));
  struct stat st;
  const char* why = nullptr;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) {
    why = strerror(errno);
    KV_FAIL(KVERR_FILE_OPEN);
  } else if (!readKeyFd(file.get(), ring.key[0], &why)) {
    why = why != nullptr ? why : "unreadable";
  }
  if (why != nullptr) {
    // Every chunk of every push fails without a key: say once per load why, and where from.
    syslog(LOG_ERR, "push key [%s] is unusable: %s", path.c_str(), why);
    return false;
  }
  keyIdOf(ring.key[0], ring.id[0]);
  ring.count = 1;
  loadOlderKeys(dir, ring);
  const time_t settled = time(nullptr) - kSettledSeconds;
  if (st.st_mtim.tv_sec < settled && (!dirPresent || dirNow.st_mtim.tv_sec < settled)) {
    gKeyCache.path = path;
    gKeyCache.dir = dir;
    gKeyCache.st = st;
    gKeyCache.dirPresent = dirPresent;
    gKeyCache.dirSt = dirNow;
    gKeyCache.ring.copyFrom(ring);
    gKeyCache.valid = true;
  }
  return true;
}

bool loadRing(Ring& ring) {
  try {
    return loadRingOrThrow(ring);
  } catch (...) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
    return false;
  }
}

// The keyring pinned by KVLIBCryptKeyPin on this thread: chunks use it without a stat each.
// `hint`: the key that deciphered the push's last chunk, tried first for the next one.
struct PinnedRing {
  int depth = 0;
  bool ok = false;
  int hint = 0;
  Ring ring;
};
thread_local PinnedRing tPinned;
// The id of the key that deciphered the last chunk since the pin began ("" when none).
thread_local char tLastKeyId[2 * kKeyIdBytes + 1];

}  // namespace

int KVLIBCryptKeyPin(void) {
  if (tPinned.depth > 0) {
    ++tPinned.depth;
    return tPinned.ok ? 0 : -1;
  }
  tLastKeyId[0] = '\0';
  tPinned.hint = 0;
  tPinned.ok = loadRing(tPinned.ring);
  tPinned.depth = 1;
  return tPinned.ok ? 0 : -1;
}

void KVLIBCryptKeyUnpin(void) {
  if (tPinned.depth == 0 || --tPinned.depth > 0) return;
  tPinned.ok = false;
  tPinned.ring.wipe();
}

const char* KVLIBCryptLastKeyId(void) {
  return tLastKeyId;
}

const char* KVLIBCryptKeysDir(void) {
  thread_local char path[PATH_MAX];
  int n = KEVORootPath(path, sizeof(path), KEVO_PUSH_KEYS_DIR);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    path[0] = '\0';
  }
  return path;
}

int KVLIBCryptKeyId(const unsigned char* key, char* out, int size) {
  if (key == nullptr || out == nullptr || size < 2 * kKeyIdBytes + 1) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  if (!ensureSodium()) return -1;
  keyIdOf(key, out);
  return 0;
}

int KVLIBCryptCurrentKeyHex(char* out, int size) {
  if (out == nullptr || size < static_cast<int>(2 * kKeyBytes + 1)) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  if (!ensureSodium()) return -1;
  Ring ring;
  if (!loadRing(ring)) return -1;
  sodium_bin2hex(out, static_cast<size_t>(size), ring.key[0], kKeyBytes);
  return 0;
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
  if (file.get() < 0) {
    KV_FAIL(KVERR_FILE_OPEN);
    return -1;
  }
  return readKeyFd(file.get(), key) ? 0 : -1;
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
  // A push outside a pin loads the keyring for this chunk alone.
  std::unique_ptr<Ring> own;
  const Ring* ring = &tPinned.ring;
  int first = tPinned.hint;
  if (tPinned.depth > 0) {
    if (!tPinned.ok) {
      KV_FAIL(KVERR_FILE_OPEN);
      return nullptr;
    }
  } else {
    own.reset(new (std::nothrow) Ring);
    if (!own) {
      KV_FAIL(KVERR_OUT_OF_MEMORY);
      return nullptr;
    }
    if (!loadRing(*own)) return nullptr;
    ring = own.get();
    first = 0;
  }
  // The newest key first (or the one that served this push's last chunk); a wrong key fails
  // on the tag, before anything is deciphered.
  unsigned long long got = 0;
  int rc = -1;
  for (int i = 0; i < ring->count && rc != 0; ++i) {
    const int k = (first + i) % ring->count;
    rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
        reinterpret_cast<unsigned char*>(buf), &got, nullptr, raw.get() + kNonceBytes,
        static_cast<unsigned long long>(rawLen) - kNonceBytes, nullptr, 0, raw.get(), ring->key[k]);
    if (rc == 0) {
      memcpy(tLastKeyId, ring->id[k], sizeof(tLastKeyId));
      if (tPinned.depth > 0) tPinned.hint = k;
    }
  }
  if (rc != 0) {
    sodium_memzero(buf, plainLen + 1);
    KV_FAIL(KVERR_CRYPT);
    return nullptr;
  }
  buf[got] = '\0';
  return buf;
}
