#include "flxspool.h"

#include <dirent.h>
#include <json/reader.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "kevohandle.h"
#include "kevoroot.h"

namespace flxspool {

namespace {

const char kSuffix[] = ".json";

// Names of `dir` that pass `keep`, in order.
template <typename Keep>
std::vector<std::string> namesOf(const std::string& dir, Keep keep) {
  std::vector<std::string> out;
  kevo::Dir d(opendir(dir.c_str()));
  while (struct dirent* e = d ? readdir(d.get()) : nullptr) {
    if (e->d_name[0] != '.' && keep(e->d_name)) out.push_back(e->d_name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// "<group>.<module>.json" -> "<group>.<module>"; empty when the name is no item's.
std::string kindOf(const std::string& name) {
  const size_t n = sizeof kSuffix - 1;
  if (name.size() <= n || name.compare(name.size() - n, n, kSuffix) != 0) return std::string();
  std::string kind = name.substr(0, name.size() - n);
  return kind.find('.') == std::string::npos ? std::string() : kind;
}

bool isDeviceFolder(const char* name) {
  char* end = nullptr;
  strtoull(name, &end, 10);
  return end != name && *end == '\0';
}

}  // namespace

std::string root() {
  return std::string(KEVORootPrefix()) + KEVO_SPOOL_DIR;
}

std::string deviceDir(uint64_t id) {
  return root() + "/" + std::to_string(id);
}

std::string itemPath(uint64_t id, const std::string& kind) {
  return deviceDir(id) + "/" + kind + kSuffix;
}

bool has(uint64_t id) {
  struct stat st;
  return stat(deviceDir(id).c_str(), &st) == 0;
}

namespace {

// The spool's item files; `readTimes` also parses each to fill its collect time, which
// the byte total does not need.
std::vector<Entry> scan(uint64_t id, bool readTimes) {
  std::vector<Entry> out;
  std::vector<std::string> dirs;
  if (id != 0) {
    dirs.push_back(std::to_string(id));
  } else {
    dirs = namesOf(root(), isDeviceFolder);
  }
  for (const std::string& dir : dirs) {
    const std::string folder = root() + "/" + dir;
    for (const std::string& name : namesOf(folder, [](const char*) { return true; })) {
      struct stat st;
      Entry e;
      e.kind = kindOf(name);
      e.path = folder + "/" + name;
      if (e.kind.empty() || lstat(e.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      e.id = strtoull(dir.c_str(), nullptr, 10);
      e.bytes = static_cast<uint64_t>(st.st_size);
      e.notBefore = st.st_mtime;
      Json::Value item;
      if (readTimes && readItem(e.path, item)) e.collect_time = item["collect_time"].asUInt64();
      out.push_back(e);
    }
  }
  return out;
}

}  // namespace

std::vector<Entry> list(uint64_t id) {
  return scan(id, true);
}

std::vector<Entry> files(uint64_t id) {
  return scan(id, false);
}

uint64_t totalBytes() {
  uint64_t total = 0;
  for (const Entry& e : files()) total += e.bytes;
  return total;
}

bool readItem(const std::string& path, Json::Value& item) {
  kevo::File f(fopen(path.c_str(), "re"));
  if (!f) return false;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value parsed;
  if (!reader->parse(text.data(), text.data() + text.size(), &parsed, nullptr)) return false;
  if (!parsed.isObject() || !parsed["sn"].isString() || !parsed["data"].isObject() ||
      !parsed["group_name"].isString() || !parsed["module_name"].isString() ||
      !parsed["collect_time"].isUInt64()) {
    return false;
  }
  item.swap(parsed);
  return true;
}

int drop(const Entry& entry) {
  if (unlink(entry.path.c_str()) != 0) return -1;
  rmdir(deviceDir(entry.id).c_str());  // only when empty
  return 0;
}

}  // namespace flxspool
