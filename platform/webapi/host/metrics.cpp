// The host's counters in memory shared by the supervisor and its workers, and their exposition
// in Prometheus's text format.
#include <pthread.h>
#include <sys/mman.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host.h"

namespace webapihost {
namespace metrics {

namespace {

// One series: "name{labels}" and its value (a double's bits, so that sums of seconds add up
// with one compare-and-swap and no lock a dying worker could keep).
constexpr size_t kKeyBytes = 512;
constexpr size_t kSlots = 4096;
constexpr size_t kMaxFamilies = 64;
// A family may take this many series: device-chosen label values cannot crowd out the rest.
constexpr uint32_t kMaxSeriesPerFamily = 512;

enum : uint32_t { kFree = 0, kReady = 1 };

struct Slot {
  std::atomic<uint32_t> state;
  uint32_t keyLen;
  std::atomic<uint64_t> bits;
  char key[kKeyBytes];
};

struct Table {
  // Held while a series is made, so that processes making the same one at once make it once
  // however long the first is descheduled. Robust: a worker that dies holding it does not stop
  // the others. Counting never takes it.
  pthread_mutex_t claiming;
  uint32_t familySeries[kMaxFamilies];
  Slot slots[kSlots];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared counters need lock-free atomics");

Table* gTable = nullptr;

struct Family {
  std::string name;
  Type type;
  std::string help;
};
// Described before the fork: every process holds the same list in the same order.
std::vector<Family>& Families() {
  static std::vector<Family> families;
  return families;
}

const double kBuckets[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};

double FromBits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

uint64_t ToBits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

// The family a series belongs to: its name, less a histogram's suffix.
int FamilyOf(const std::string& name) {
  const std::vector<Family>& fams = Families();
  for (size_t i = 0; i < fams.size(); ++i) {
    if (name == fams[i].name) return static_cast<int>(i);
    if (fams[i].type != Type::kHistogram || name.compare(0, fams[i].name.size(), fams[i].name) != 0)
      continue;
    const char* rest = name.c_str() + fams[i].name.size();
    if (!std::strcmp(rest, "_bucket") || !std::strcmp(rest, "_sum") || !std::strcmp(rest, "_count"))
      return static_cast<int>(i);
  }
  return -1;
}

std::atomic<uint64_t>* Claim(const std::string& name, const std::string& labels);

// This process's series already found, by key: a push is counted without probing the table.
// The pointers stay valid in forked children, which map the table at the same address.
std::mutex gCacheMutex;
std::unordered_map<std::string, std::atomic<uint64_t>*> gFound;
std::unordered_map<std::string, std::vector<std::atomic<uint64_t>*>> gHistograms;

// The caches' key of a series.
std::string CacheKey(const std::string& name, const std::string& labels) {
  std::string key = name;
  key += '\0';
  key += labels;
  return key;
}

std::atomic<uint64_t>* Find(const std::string& name, const std::string& labels) {
  std::string key = CacheKey(name, labels);
  std::lock_guard<std::mutex> hold(gCacheMutex);
  auto it = gFound.find(key);
  if (it != gFound.end()) return it->second;
  std::atomic<uint64_t>* v = Claim(name, labels);
  if (v != nullptr) gFound.emplace(std::move(key), v);
  return v;
}

// Takes the claiming lock; false when a holder died leaving it unrecoverable.
bool LockClaims() {
  const int rc = pthread_mutex_lock(&gTable->claiming);
  // A holder that died left at most a slot still free with part of a key: nothing to repair.
  if (rc == EOWNERDEAD) return pthread_mutex_consistent(&gTable->claiming) == 0;
  return rc == 0;
}

std::atomic<uint64_t>* Claim(const std::string& name, const std::string& labels) {
  if (gTable == nullptr) return nullptr;
  const int family = FamilyOf(name);
  if (family < 0) return nullptr;
  const std::string key = labels.empty() ? name : name + "{" + labels + "}";
  if (key.size() > kKeyBytes) return nullptr;
  if (!LockClaims()) return nullptr;
  std::atomic<uint64_t>* found = nullptr;
  const size_t start = std::hash<std::string>()(key) % kSlots;
  for (size_t n = 0; n < kSlots; ++n) {
    Slot& s = gTable->slots[(start + n) % kSlots];
    if (s.state.load(std::memory_order_acquire) == kReady) {
      if (s.keyLen == key.size() && std::memcmp(s.key, key.data(), key.size()) == 0) {
        found = &s.bits;
        break;
      }
      continue;
    }
    if (gTable->familySeries[family] >= kMaxSeriesPerFamily) break;
    std::memcpy(s.key, key.data(), key.size());
    s.keyLen = static_cast<uint32_t>(key.size());
    s.bits.store(ToBits(0));
    // Ready only once whole: a scrape reads the slots without the lock.
    s.state.store(kReady, std::memory_order_release);
    ++gTable->familySeries[family];
    found = &s.bits;
    break;
  }
  pthread_mutex_unlock(&gTable->claiming);
  return found;
}

// Whole numbers (most samples) without a float conversion: a scrape may hold a million.
void AppendNumber(std::string& out, double v) {
  if (std::isinf(v)) {
    out += v > 0 ? "+Inf" : "-Inf";
    return;
  }
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  char buf[32];
  if (v == std::floor(v) && std::fabs(v) < 1e15) {
    const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v));
    out.append(buf, r.ptr);
    return;
  }
  const int n = snprintf(buf, sizeof buf, "%.9g", v);
  out.append(buf, static_cast<size_t>(std::max(n, 0)));
}

std::string Number(double v) {
  std::string out;
  AppendNumber(out, v);
  return out;
}

void AddTo(std::atomic<uint64_t>* v, double n) {
  uint64_t old = v->load(std::memory_order_relaxed);
  while (!v->compare_exchange_weak(old, ToBits(FromBits(old) + n), std::memory_order_relaxed)) {
  }
}

// Bytes of the well-formed UTF-8 character at `i` (no overlong form, no surrogate, at most
// U+10FFFF); 0 when the byte there starts none.
size_t Utf8Length(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
  }
  return len;
}

}  // namespace

std::string LabelValue(const std::string& text) {
  // Devices send any bytes: what is not UTF-8 becomes U+FFFD, or Prometheus refuses the whole
  // scrape. Characters are cut (whole) at kMaxLabelValue bytes before escaping, so that an
  // escape is never split.
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(std::min(text.size(), kMaxLabelValue) + 8);
  size_t kept = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t len = Utf8Length(text, i);
    const size_t bytes = len > 0 ? len : sizeof kReplacement - 1;
    if (kept + bytes > kMaxLabelValue) break;
    kept += bytes;
    const char c = text[i];
    if (len == 0) {
      out += kReplacement;
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.append(text, i, len);
    }
    i += len > 0 ? len : 1;
  }
  return out;
}

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

bool Init() {
  if (gTable != nullptr) return true;
  void* p = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    syslog(LOG_ERR, "cannot map the shared counters: %m; /metrics reports no counts");
    return false;
  }
  Table* table = static_cast<Table*>(p);  // zero-filled: every slot free
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int rc = pthread_mutex_init(&table->claiming, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    syslog(LOG_ERR, "cannot set up the shared counters' lock: %s; /metrics reports no counts",
           strerror(rc));
    munmap(p, sizeof(Table));
    return false;
  }
  gTable = table;
  return true;
}

void Describe(const std::string& name, Type type, const std::string& help) {
  if (FamilyOf(name) >= 0 || Families().size() >= kMaxFamilies) return;
  Families().push_back(Family{name, type, help});
}

bool Add(const std::string& name, const std::string& labels, double n) {
  std::atomic<uint64_t>* v = Find(name, labels);
  if (v == nullptr) return false;
  AddTo(v, n);
  return true;
}

bool Set(const std::string& name, const std::string& labels, double value) {
  std::atomic<uint64_t>* v = Find(name, labels);
  if (v == nullptr) return false;
  v->store(ToBits(value), std::memory_order_relaxed);
  return true;
}

namespace {

// The series of one histogram's label set: its buckets, +Inf, sum and count; null when the
// table has no room for all of them. The cache's entries stay put, so no copy is handed out.
const std::vector<std::atomic<uint64_t>*>* HistogramSeries(const std::string& name,
                                                           const std::string& labels) {
  std::string key = CacheKey(name, labels);
  {
    std::lock_guard<std::mutex> hold(gCacheMutex);
    auto it = gHistograms.find(key);
    if (it != gHistograms.end()) return &it->second;
  }
  const std::string sep = labels.empty() ? "" : ",";
  std::vector<std::atomic<uint64_t>*> all;
  for (double le : kBuckets)
    all.push_back(Find(name + "_bucket", labels + sep + "le=\"" + Number(le) + "\""));
  all.push_back(Find(name + "_bucket", labels + sep + "le=\"+Inf\""));
  all.push_back(Find(name + "_sum", labels));
  all.push_back(Find(name + "_count", labels));
  if (std::find(all.begin(), all.end(), nullptr) != all.end()) return nullptr;
  std::lock_guard<std::mutex> hold(gCacheMutex);
  return &gHistograms.emplace(std::move(key), std::move(all)).first->second;
}

}  // namespace

bool Observe(const std::string& name, const std::string& labels, double seconds) {
  const std::vector<std::atomic<uint64_t>*>* found = HistogramSeries(name, labels);
  if (found == nullptr) return false;
  const std::vector<std::atomic<uint64_t>*>& series = *found;
  const size_t buckets = sizeof kBuckets / sizeof kBuckets[0];
  for (size_t i = 0; i < buckets; ++i) {
    if (seconds <= kBuckets[i]) AddTo(series[i], 1);
  }
  AddTo(series[buckets], 1);
  AddTo(series[buckets + 1], seconds);
  AddTo(series[buckets + 2], 1);
  return true;
}

void Header(std::string& out, const std::string& name, Type type, const std::string& help) {
  const char* types[] = {"counter", "gauge", "histogram"};
  out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + types[static_cast<int>(type)] +
         "\n";
}

void Sample(std::string& out, const std::string& name, const std::string& labels, double value) {
  out += name;
  if (!labels.empty()) {
    out += '{';
    out += labels;
    out += '}';
  }
  out += ' ';
  AppendNumber(out, value);
  out += '\n';
}

std::string Render() {
  const std::vector<Family>& fams = Families();
  std::vector<std::vector<std::pair<std::string, double>>> series(fams.size());
  for (size_t i = 0; gTable != nullptr && i < kSlots; ++i) {
    const Slot& s = gTable->slots[i];
    if (s.state.load(std::memory_order_acquire) != kReady) continue;
    std::string key(s.key, s.keyLen);
    const int family = FamilyOf(key.substr(0, key.find('{')));
    if (family >= 0) series[family].emplace_back(std::move(key), FromBits(s.bits.load()));
  }
  std::string out;
  for (size_t f = 0; f < fams.size(); ++f) {
    if (series[f].empty()) continue;
    Header(out, fams[f].name, fams[f].type, fams[f].help);
    // Buckets in order of their bound, as the format wants them, each label set together.
    std::sort(series[f].begin(), series[f].end(), [](const auto& a, const auto& b) {
      const size_t la = a.first.find("le=\""), lb = b.first.find("le=\"");
      if (la == std::string::npos || lb == std::string::npos ||
          a.first.compare(0, la, b.first, 0, lb) != 0)
        return a.first < b.first;
      const std::string va = a.first.substr(la + 4), vb = b.first.substr(lb + 4);
      return (va[0] == '+' ? INFINITY : std::atof(va.c_str())) <
             (vb[0] == '+' ? INFINITY : std::atof(vb.c_str()));
    });
    for (const auto& s : series[f]) out += s.first + " " + Number(s.second) + "\n";
  }
  return out;
}

}  // namespace metrics
}  // namespace webapihost
