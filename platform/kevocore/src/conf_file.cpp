// Readers of sectioned configuration files and key/value files.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kevohandle.h"
#include "kv_internal.h"

namespace kevocore {
namespace {

const char kBlank[] = " \t\r\n\v\f";

std::string trim(const std::string& text) {
  size_t begin = text.find_first_not_of(kBlank);
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(kBlank);
  return text.substr(begin, end - begin + 1);
}

std::string unquote(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// getline's buffer, released on every way out.
struct LineBuffer {
  char* data = nullptr;
  size_t capacity = 0;
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { free(data); }
};

struct ParseState {
  std::string section;
  bool inSection = false;
};

void parseLine(const std::string& raw, const std::string& sep, ParseState& state,
               const ConfVisitor& visit) {
  static const std::string kNone;
  std::string line = trim(raw);
  if (line.empty() || line[0] == '#' || line[0] == ';') return;
  if (line[0] == '[') {
    // A header without its closing bracket still starts a section, so that its keys are
    // never taken for those of the section before it.
    size_t close = line.rfind(']');
    size_t end = close == std::string::npos || close == 0 ? line.size() : close;
    state.section = trim(line.substr(1, end - 1));
    state.inSection = true;
    visit(ConfLine{ConfLine::kSection, state.section, true, kNone, kNone});
    return;
  }
  size_t at = line.find(sep);
  if (at == std::string::npos) return;
  std::string key = trim(line.substr(0, at));
  if (key.empty()) return;
  std::string value = unquote(trim(line.substr(at + sep.size())));
  visit(ConfLine{ConfLine::kKeyValue, state.section, state.inSection, key, value});
}

}  // namespace

bool parseConfFile(const char* path, const char* sep, const ConfVisitor& visit) {
  kevo::File file(fopen(path, "re"));
  if (!file) {
    KV_FAIL(KVERR_FILE_OPEN);
    return false;
  }
  LineBuffer buf;
  ParseState state;
  const std::string separator(sep);
  ssize_t len;
  while ((len = getline(&buf.data, &buf.capacity, file.get())) >= 0) {
    parseLine(std::string(buf.data, static_cast<size_t>(len)), separator, state, visit);
  }
  // getline fails the same way at the end and on a read error (a directory, say).
  if (ferror(file.get()) || !feof(file.get())) {
    KV_FAIL(KVERR_FILE_OPEN);
    return false;
  }
  return true;
}

}  // namespace kevocore

using kevocore::ConfLine;
using kevocore::parseConfFile;

namespace {

// Runs `body` with allocation failures turned into the library's failure value.
template <typename Body>
int guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    KV_FAIL(KVERR_OUT_OF_MEMORY);
  } catch (...) {
    KV_FAIL(KVERR_FILE_FORMAT);
  }
  return -1;
}

}  // namespace

int KVLIBFileEnumSection(const char* path, KVSZLIST** ppList) {
  if (path == nullptr || ppList == nullptr || *ppList == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  return guarded([&] {
    // Every header counts, also one that repeats an earlier section's name.
    int appended = 0;
    bool pushFailed = false;
    bool ok = parseConfFile(path, "=", [&](const ConfLine& l) {
      if (l.kind != ConfLine::kSection || pushFailed) return;
      if (KVLIBSzListPush(ppList, l.section.c_str()) < 0) pushFailed = true;
      ++appended;
    });
    return ok && !pushFailed ? appended : -1;
  });
}

int KVLIBFileGetSection(const char* path, const char* section, KVSZHASH** ppHash) {
  if (path == nullptr || section == nullptr || ppHash == nullptr || *ppHash == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  return guarded([&] {
    bool found = false;
    bool setFailed = false;
    int lines = 0;
    bool ok = parseConfFile(path, "=", [&](const ConfLine& l) {
      if (!l.inSection || l.section != section) return;
      found = true;
      if (l.kind != ConfLine::kKeyValue) return;
      ++lines;
      if (KVLIBSzHashSetValue(ppHash, l.key.c_str(), l.value.c_str()) < 0) setFailed = true;
    });
    if (!ok || setFailed) return -1;
    if (!found) {
      KV_FAIL(KVERR_NOT_FOUND);
      return -1;
    }
    return lines;
  });
}

// The fields of one section as KVLIBFileGetSection gives them: all blocks of the name, the
// last key winning. Null when the hash could not be built.
static std::unique_ptr<KVSZHASH, void (*)(KVSZHASH*)> buildSection(
    const std::vector<std::pair<std::string, std::string>>& lines) {
  std::unique_ptr<KVSZHASH, void (*)(KVSZHASH*)> hash(KVLIBSzHashAlloc(64), KVLIBSzHashFree);
  for (const auto& kv : lines) {
    if (!hash) break;
    KVSZHASH* raw = hash.release();
    const bool set = KVLIBSzHashSetValue(&raw, kv.first.c_str(), kv.second.c_str()) >= 0;
    hash.reset(raw);
    if (!set) hash.reset();
  }
  return hash;
}

int KVLIBFileEachSection(const char* path, KVLIB_SECTION_VISITOR visit, void* ctx) {
  if (path == nullptr || visit == nullptr) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  return guarded([&] {
    std::vector<std::string> headers;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> fields;
    bool ok = parseConfFile(path, "=", [&](const ConfLine& l) {
      if (l.kind == ConfLine::kSection) {
        headers.push_back(l.section);
        fields[l.section];
      } else if (l.inSection) {
        fields[l.section].emplace_back(l.key, l.value);
      }
    });
    if (!ok) return -1;
    // One hash per name, built at its first header, so that a file of many repeated headers
    // and keys costs no more than its length.
    using Hash = std::unique_ptr<KVSZHASH, void (*)(KVSZHASH*)>;
    std::map<std::string, Hash> built;
    for (const std::string& header : headers) {
      // The visitor gets the name as C text, cut at a NUL byte, and the section that name
      // reads: none when no header is exactly the cut name.
      const std::string name(header.c_str());
      auto named = fields.find(name);
      if (named == fields.end()) {
        KV_FAIL(KVERR_NOT_FOUND);  // as KVLIBFileGetSection would for that name
        if (visit(name.c_str(), nullptr, ctx) < 0) return -1;
        continue;
      }
      auto at = built.find(name);
      if (at == built.end()) at = built.emplace(name, buildSection(named->second)).first;
      if (visit(name.c_str(), at->second.get(), ctx) < 0) return -1;
    }
    return static_cast<int>(headers.size());
  });
}

int KVLIBFileGetKeys(const char* path, const KVSZLIST* keys, KVSZHASH** ppHash, const char* sep) {
  if (path == nullptr || keys == nullptr || ppHash == nullptr || *ppHash == nullptr ||
      sep == nullptr || *sep == '\0') {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  return guarded([&] {
    std::set<std::string> wanted;
    for (int n = 0; n < keys->nItem; ++n) {
      if (const char* key = KVLIBSzListGet(keys, n)) wanted.insert(key);
    }
    std::set<std::string> found;
    bool setFailed = false;
    bool ok = parseConfFile(path, sep, [&](const ConfLine& l) {
      if (l.kind != ConfLine::kKeyValue || wanted.count(l.key) == 0) return;
      found.insert(l.key);
      if (KVLIBSzHashSetValue(ppHash, l.key.c_str(), l.value.c_str()) < 0) setFailed = true;
    });
    return ok && !setFailed ? static_cast<int>(found.size()) : -1;
  });
}

int KVLIBFileGetKeyValue(const char* path, const char* key, char* buf, int size, int flags) {
  (void)flags;
  if (path == nullptr || key == nullptr || buf == nullptr || size <= 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return -1;
  }
  buf[0] = '\0';
  return guarded([&] {
    std::string value;
    bool found = false;
    bool ok = parseConfFile(path, "=", [&](const ConfLine& l) {
      if (l.kind != ConfLine::kKeyValue || l.key != key) return;
      found = true;
      value = l.value;
    });
    if (!ok) return -1;
    if (!found) {
      KV_FAIL(KVERR_NOT_FOUND);
      return 0;
    }
    if (value.size() >= static_cast<size_t>(size)) {
      KV_FAIL(KVERR_BUFFER_TOO_SMALL);
      return -1;
    }
    memcpy(buf, value.c_str(), value.size() + 1);
    return static_cast<int>(value.size());
  });
}
