// Helpers shared by the suites: JSON and pushed files, records compared field by field, the
// registry's lists, and the descriptors a handler leaves open.
#ifndef FLX_TESTS_SUPPORT_UTIL_H
#define FLX_TESTS_SUPPORT_UTIL_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/json_util.h"
#include "flx.h"
#include "kevocore.h"

namespace flxtest {

inline Json::Value parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(flx::fromString(text, v)) << text;
  return v;
}

// The named members of `v` as text, joined by "|": one comparison for a record's fields.
inline std::string fields(const Json::Value& v, std::initializer_list<const char*> names) {
  std::string out;
  for (const char* name : names) out += "|" + v[name].asString();
  return out.substr(1);
}

inline std::string base64(const std::string& bytes) {
  std::vector<char> text(bytes.size() * 2 + 8);
  const int n =
      KVLIBBase64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()), text.data(), static_cast<int>(text.size()));
  return std::string(text.data(), n > 0 ? n : 0);
}

// A file as items carry it: its content in base64, its size and its modification time.
inline Json::Value pushedFile(const std::string& content, uint64_t mtime = 1600000000) {
  Json::Value file(Json::objectValue);
  file["data"] = base64(content);
  file["size"] = Json::UInt64(content.size());
  file["mtime"] = Json::UInt64(mtime);
  return file;
}

// Device `qx`'s records of one kind in the registry (applications or packages), in list order.
template <class Rec>
std::vector<Rec> recordsOf(uint64_t qx, int (*list)(const KVSZHASH*, Rec**, int*),
                           void (*freeList)(Rec**)) {
  KVSZHASH* filter = KVLIBSzHashAlloc(4);
  KVLIBSzHashSetValue(&filter, "qx_id", std::to_string(qx).c_str());
  Rec* head = nullptr;
  int total = -1;
  EXPECT_EQ(0, list(filter, &head, &total));
  KVLIBSzHashFree(filter);
  std::vector<Rec> out;
  for (Rec* r = head; r != nullptr; r = r->pNext) out.push_back(*r);
  EXPECT_EQ(total, static_cast<int>(out.size()));
  freeList(&head);
  return out;
}

// Permission bits of `path`, 0 when it does not exist.
inline mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Number of this process's open descriptors on the database file or its journals.
inline int openDescriptorsOn(const std::string& dbPath) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    char target[PATH_MAX] = {0};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 &&
        std::string(target).compare(0, dbPath.size(), dbPath) == 0) {
      ++count;
    }
  }
  if (dir != nullptr) closedir(dir);
  return count;
}

}  // namespace flxtest

#endif  // FLX_TESTS_SUPPORT_UTIL_H
