// The push keyring: rotate, retire, list.
#include "admin_key.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>

#include "admin_util.h"
#include "kevohandle.h"
#include "kevoroot.h"

namespace flxadmin {

namespace {

// As many older keys as the host tries.
const size_t kMaxOlderKeys = 16;

struct OlderKey {
  std::string file;  // name in the folder
  std::string id;
  int64_t rotated = 0;
};

// The short id of the key in `path`; empty when it holds no key.
std::string keyIdOfFile(const std::string& path) {
  unsigned char key[32];
  char id[16];
  const bool ok =
      KVLIBCryptReadKeyFile(path.c_str(), key) == 0 && KVLIBCryptKeyId(key, id, sizeof id) == 0;
  sodium_memzero(key, sizeof key);
  return ok ? std::string(id) : std::string();
}

// The keyring folder, made 0700 when missing; refused when it is a link or not a folder.
int keyFolder(std::string& dir, std::string& err) {
  dir = rootPath(KEVO_PUSH_KEYS_DIR);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    err = "cannot create the keyring folder " + dir + ": " + strerror(errno);
    return 1;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    err = "the keyring folder " + dir + " is not a folder; move it away and try again";
    return 1;
  }
  if ((st.st_mode & 07777) != 0700 && chmod(dir.c_str(), 0700) != 0) {
    err = "cannot set the mode of " + dir + ": " + strerror(errno);
    return 1;
  }
  return 0;
}

// The older keys, newest first. Names are "<rotation time>-<id>.key".
int olderKeys(std::vector<OlderKey>& out, std::string& err) {
  const std::string dir = rootPath(KEVO_PUSH_KEYS_DIR);
  out.clear();
  kevo::Dir d(opendir(dir.c_str()));
  if (!d) {
    if (errno == ENOENT) return 0;
    err = "cannot read the keyring folder " + dir + ": " + strerror(errno);
    return 1;
  }
  while (const dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name[0] == '.' || name.size() <= 4 || name.compare(name.size() - 4, 4, ".key") != 0)
      continue;
    OlderKey k;
    k.file = name;
    k.id = keyIdOfFile(dir + "/" + name);
    k.rotated = strtoll(name.c_str(), nullptr, 10);
    out.push_back(k);
  }
  std::sort(out.begin(), out.end(),
            [](const OlderKey& a, const OlderKey& b) { return a.file > b.file; });
  return 0;
}

std::map<std::string, int64_t> lastUses() {
  std::vector<std::pair<std::string, int64_t>> uses;
  KEVOFLXKeyUseList(uses);
  return std::map<std::string, int64_t>(uses.begin(), uses.end());
}

}  // namespace

bool randomKeyText(std::string& text) {
  if (sodium_init() < 0) return false;
  unsigned char key[32];
  char hex[2 * sizeof key + 1];
  randombytes_buf(key, sizeof key);
  sodium_bin2hex(hex, sizeof hex, key, sizeof key);
  text = std::string(hex) + "\n";
  sodium_memzero(key, sizeof key);
  sodium_memzero(hex, sizeof hex);
  return true;
}

int keyRotate(std::string& oldId, std::string& newId, std::string& err) {
  return guardedOp(err, [&] {
    const std::string current = rootPath(KEVO_PUSH_KEY_PATH);
    oldId = keyIdOfFile(current);
    if (oldId.empty()) {
      err = "the current push key " + current +
            " is missing or not 64 hex digits; run 'flx-admin init'";
      return 1;
    }
    std::string dir;
    std::vector<OlderKey> older;
    if (keyFolder(dir, err) != 0 || olderKeys(older, err) != 0) return 1;
    if (older.size() >= kMaxOlderKeys) {
      err = "the keyring already holds " + std::to_string(older.size()) +
            " older keys, as many as the host tries; run 'flx-admin key retire' first";
      return 1;
    }
    // The old key is in the folder before the new one replaces it: no moment accepts neither.
    std::string text;
    {
      unsigned char key[32];
      char hex[65];
      if (KVLIBCryptReadKeyFile(current.c_str(), key) != 0) {
        err = "cannot read the current push key " + current;
        return 1;
      }
      sodium_bin2hex(hex, sizeof hex, key, sizeof key);
      text = std::string(hex) + "\n";
      sodium_memzero(key, sizeof key);
      sodium_memzero(hex, sizeof hex);
    }
    char name[64];
    snprintf(name, sizeof name, "%012lld-%s.key", static_cast<long long>(flxread::clockNow()),
             oldId.c_str());
    int rc = writeNewFile(dir + "/" + name, text, 0600, err);
    sodium_memzero(&text[0], text.size());
    if (rc != 0) return 1;
    if (!randomKeyText(text)) {
      err = "cannot start the random generator (libsodium); check the installation";
      return 1;
    }
    rc = writeNewFile(current, text, 0600, err);
    sodium_memzero(&text[0], text.size());
    if (rc != 0) return 1;
    newId = keyIdOfFile(current);
    return 0;
  });
}

namespace {

// A push deciphered just before a retirement may note its key's use after it: the uses of
// keys no longer in the ring are forgotten, at each retirement.
int forgetRetiredUses(std::string& err) {
  std::vector<OlderKey> left;
  if (olderKeys(left, err) != 0) return 1;
  const std::string current = keyIdOfFile(rootPath(KEVO_PUSH_KEY_PATH));
  for (const auto& use : lastUses()) {
    const bool inRing = use.first == current ||
                        std::any_of(left.begin(), left.end(),
                                    [&use](const OlderKey& k) { return k.id == use.first; });
    if (!inRing) KEVOFLXKeyUseForget(use.first);
  }
  return 0;
}

}  // namespace

int keyRetire(int64_t unusedFor, int64_t now, std::vector<std::string>& retired,
              std::vector<std::string>& kept, std::string& err) {
  return guardedOp(err, [&] {
    if (unusedFor < 0) {
      err = "invalid --unused-for: give a number of seconds";
      return 1;
    }
    std::vector<OlderKey> older;
    if (forgetRetiredUses(err) != 0 || olderKeys(older, err) != 0) return 1;
    if (older.empty()) {
      err = "there is no older key to retire; 'flx-admin key rotate' makes one";
      return 1;
    }
    const std::map<std::string, int64_t> uses = lastUses();
    const std::string dir = rootPath(KEVO_PUSH_KEYS_DIR);
    for (const OlderKey& k : older) {
      int64_t lastUse = k.rotated;
      const char* what = "rotated out";
      auto use = uses.find(k.id);
      if (use != uses.end() && use->second + KEVOFLX_LAST_USE_STEP > lastUse) {
        lastUse = use->second + KEVOFLX_LAST_USE_STEP;
        what = "last used (to within a minute)";
      }
      const int64_t idle = now - lastUse;
      if (idle < unusedFor) {
        kept.push_back("key " + k.id + ": " + what + " " +
                       std::to_string(std::max<int64_t>(idle, 0)) + " s ago, less than " +
                       std::to_string(unusedFor) + " s");
        continue;
      }
      if (unlink((dir + "/" + k.file).c_str()) != 0) {
        err = "cannot remove " + dir + "/" + k.file + ": " + strerror(errno);
        return 1;
      }
      KEVOFLXKeyUseForget(k.id);
      retired.push_back("key " + k.id + " (unused for " + std::to_string(idle) + " s)");
    }
    if (forgetRetiredUses(err) != 0) return 1;
    if (retired.empty()) {
      err = "not retiring any key: every older key was used within " + std::to_string(unusedFor) +
            " s (devices take the current key when they renew); try again later";
      return 1;
    }
    return 0;
  });
}

int keyList(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    std::vector<OlderKey> older;
    if (olderKeys(older, err) != 0) return 1;
    const std::map<std::string, int64_t> uses = lastUses();
    Json::Value result(Json::objectValue);
    result["current"] = keyIdOfFile(rootPath(KEVO_PUSH_KEY_PATH));
    Json::Value& list = result["older"] = Json::Value(Json::arrayValue);
    for (const OlderKey& k : older) {
      Json::Value o(Json::objectValue);
      o["id"] = k.id;
      o["file"] = k.file;
      o["rotated"] = Json::Int64(k.rotated);
      auto use = uses.find(k.id);
      o["last_used"] = Json::Int64(use != uses.end() ? use->second : 0);
      list.append(o);
    }
    out.swap(result);
    return 0;
  });
}

namespace {

int runRotate() {
  std::string err, oldId, newId;
  if (keyRotate(oldId, newId, err) != 0) return fail(err);
  std::cout << "current key " << newId << "; key " << oldId
            << " stays accepted until 'flx-admin key retire' (devices get the current key when "
               "they renew)"
            << std::endl;
  return 0;
}

int runRetire(int64_t unusedFor) {
  std::string err;
  std::vector<std::string> retired, kept;
  const int rc = keyRetire(unusedFor, flxread::clockNow(), retired, kept, err);
  for (const std::string& line : retired) std::cout << "retired " << line << std::endl;
  for (const std::string& line : kept) std::cout << "kept " << line << std::endl;
  return rc != 0 ? fail(err) : 0;
}

int runList() {
  std::string err;
  Json::Value list;
  if (keyList(list, err) != 0) return fail(err);
  std::cout << "current " << list["current"].asString() << std::endl;
  for (const Json::Value& k : list["older"]) {
    std::cout << "older   " << k["id"].asString() << " rotated " << k["rotated"].asInt64()
              << " last used " << k["last_used"].asInt64() << " (" << k["file"].asString() << ")"
              << std::endl;
  }
  return 0;
}

}  // namespace

void addKeyCommands(CLI::App& app, Commands& commands) {
  CLI::App* key = app.add_subcommand("key", "The push keyring: the current key and older ones");
  key->require_subcommand(1);
  commands.emplace_back(
      key->add_subcommand("rotate",
                          "Make a new current key; the old one stays accepted until it is retired"),
      runRotate);
  auto unusedFor = std::make_shared<int64_t>(0);
  CLI::App* retire =
      key->add_subcommand("retire", "Drop the older keys that no push used for the given time");
  retire->add_option("--unused-for", *unusedFor, "Seconds without a push deciphered by the key")
      ->required();
  commands.emplace_back(retire, [unusedFor] { return runRetire(*unusedFor); });
  commands.emplace_back(
      key->add_subcommand("list",
                          "Show the short ids of the keys, with their rotation and last use"),
      runList);
}

}  // namespace flxadmin
