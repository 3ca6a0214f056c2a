#include "agent.h"

#include <errno.h>
#include <fcntl.h>
#include <json/reader.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "kevohandle.h"
#include "push.h"

namespace flxagent {

const Collector kCollectors[] = {
    {"basic", "basic", CollectBasic},
    {"basic", "info", CollectInfo},
    {"storage", "storage", CollectStorage},
    {"storage", "share", CollectShares},
    {"basic", "applications", CollectApplications},
    {"basic", "package", CollectPackages},
    {nullptr, nullptr, nullptr},
};

namespace {

using kevo::Fd;

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ItemKey(const Json::Value& item) {
  return item["group_name"].asString() + "/" + item["module_name"].asString();
}

}  // namespace

Json::Value CollectBatch(Context& ctx, const std::vector<std::string>& only, uint64_t collectTime,
                         std::ostream& err) {
  Json::Value batch(Json::arrayValue);
  for (const Collector* c = kCollectors; c->collect != nullptr; ++c) {
    if (!only.empty() && std::find(only.begin(), only.end(), c->module) == only.end()) continue;
    Json::Value data;
    std::string why;
    bool ok = false;
    try {
      ok = c->collect(ctx, data, why);
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (!ok) {
      err << "flx-agent: " << c->group << "/" << c->module << " not collected: " << why
          << std::endl;
      continue;
    }
    Json::Value item(Json::objectValue);
    item["group_name"] = c->group;
    item["module_name"] = c->module;
    item["collect_time"] = static_cast<Json::UInt64>(collectTime);
    item["data"] = data;
    batch.append(item);
  }
  for (const std::string& note : ctx.notes) err << "flx-agent: note: " << note << std::endl;
  ctx.notes.clear();
  return batch;
}

std::string ContentHash(const Json::Value& item) {
  Json::Value data = item["data"];
  if (data.isObject()) data.removeMember("up_time");
  // A volume in use always changes a little: its use counts in steps of 1% of its size.
  if (data.isObject() && data["vol"].isArray()) {
    for (Json::Value& vol : data["vol"]) {
      const uint64_t total = vol["size_total"].asUInt64();
      const uint64_t used = vol["size_used"].asUInt64();
      vol["size_used"] = static_cast<Json::UInt64>(total > 0 ? used / (total / 100 + 1) : used);
    }
  }
  const std::string text = ItemKey(item) + "\n" + flxpush::Compact(data);
  unsigned char digest[16];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), nullptr, 0);
  char hex[sizeof digest * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

bool PushState::load(const std::string& file) {
  url.clear();
  items.clear();
  bool ok = false;
  const std::string text = ReadText(file, &ok, 1 << 20);
  Json::Value state;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!ok || !reader->parse(text.data(), text.data() + text.size(), &state, nullptr) ||
      !state.isObject() || !state["url"].isString() || !state["items"].isObject()) {
    return false;
  }
  url = state["url"].asString();
  for (const std::string& key : state["items"].getMemberNames()) {
    const Json::Value& entry = state["items"][key];
    if (entry["hash"].isString() && entry["pushed"].isInt64()) {
      items[key] = {entry["hash"].asString(), entry["pushed"].asInt64()};
    }
  }
  return true;
}

bool PushState::save(const std::string& file) const {
  Json::Value state(Json::objectValue);
  state["url"] = url;
  state["items"] = Json::Value(Json::objectValue);
  for (const auto& kv : items) {
    state["items"][kv.first]["hash"] = kv.second.first;
    state["items"][kv.first]["pushed"] = static_cast<Json::Int64>(kv.second.second);
  }
  // No fsync: a state lost to a power cut costs one round that pushes everything.
  return ReplaceFile(file, flxpush::Compact(state) + "\n", 0600);
}

bool ReplaceFile(const std::string& file, const std::string& text, mode_t mode) {
  const size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : file.substr(0, slash);
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  // The default folders below /var/lib and /etc are the agent's own: made on first use.
  mkdir(folder.c_str(), 0755);
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  Fd dirFd(dir);
  // Written beside and renamed over, so that a crash leaves the old file or the new one. No
  // step follows a link planted at either name: the temporary file is made new (a leftover of
  // an earlier process of this id is removed first), and the rename replaces a link at the
  // file's name instead of writing through it.
  const std::string temp = "." + name + "." + std::to_string(getpid()) + ".tmp";
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir, temp.c_str(), flags, mode);
  if (fd < 0 && errno == EEXIST && unlinkat(dir, temp.c_str(), 0) == 0)
    fd = openat(dir, temp.c_str(), flags, mode);
  if (fd < 0) return false;
  bool ok;
  {
    Fd tempFd(fd);
    ok = fchmod(fd, mode) == 0 && WriteAll(fd, text);
  }
  if (ok && renameat(dir, temp.c_str(), dir, name.c_str()) == 0) return true;
  unlinkat(dir, temp.c_str(), 0);
  return false;
}

Json::Value PushState::changed(const Json::Value& batch, const std::string& pushUrl,
                               int64_t now) const {
  Json::Value out(Json::arrayValue);
  for (const Json::Value& item : batch) {
    auto it = items.find(ItemKey(item));
    const bool fresh = url == pushUrl && it != items.end() &&
                       it->second.first == ContentHash(item) &&
                       now - it->second.second < kRepushSeconds && now >= it->second.second;
    if (!fresh) out.append(item);
  }
  return out;
}

void PushState::record(const Json::Value& pushed, const std::string& pushUrl, int64_t now) {
  if (url != pushUrl) items.clear();
  url = pushUrl;
  for (const Json::Value& item : pushed) items[ItemKey(item)] = {ContentHash(item), now};
}

Json::Value WithHeartbeat(const Json::Value& changed, const Json::Value& batch) {
  if (batch.empty()) return changed;
  const Json::Value* beat = &batch[0];
  for (const Json::Value& item : batch)
    if (ItemKey(item) == "basic/basic") beat = &item;
  for (const Json::Value& item : changed)
    if (ItemKey(item) == ItemKey(*beat)) return changed;
  Json::Value out(Json::arrayValue);
  out.append(*beat);
  for (const Json::Value& item : changed) out.append(item);
  return out;
}

}  // namespace flxagent
