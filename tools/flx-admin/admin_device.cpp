// Devices: the list with states in words, sessions, and decommissioning.
#include "admin_device.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "admin_enroll.h"
#include "admin_util.h"
#include "flxspool.h"
#include "kevoroot.h"
#include "writer.h"

namespace flxadmin {

namespace {

struct FdOwner {
  int fd;
  explicit FdOwner(int f) : fd(f) {}
  FdOwner(const FdOwner&) = delete;
  FdOwner& operator=(const FdOwner&) = delete;
  ~FdOwner() {
    if (fd >= 0) close(fd);
  }
};

// Removes everything below the open folder `dir`, never following a link (a link is removed
// as a link); counts the files removed. False with errno set at the first failure.
bool emptyFolder(int dir, long& files) {
  const int listFd = dup(dir);
  if (listFd < 0) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> list(fdopendir(listFd), closedir);
  if (!list) {
    close(listFd);
    return false;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(list.get())) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      FdOwner sub(openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.fd < 0 || !emptyFolder(sub.fd, files)) return false;
      if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) return false;
    } else {
      if (unlinkat(dir, name.c_str(), 0) != 0) return false;
      ++files;
    }
  }
  return true;
}

// Removes folder `leaf` below `parentPath` with everything in it; `files` counts its files.
// 0 when it is gone (or was never there), else 1 with `err`.
int removeTree(const std::string& parentPath, const std::string& leaf, long& files,
               std::string& err) {
  files = -1;
  FdOwner parent(open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (parent.fd < 0 && errno == ENOENT) return 0;
  FdOwner dir(parent.fd < 0 ? -1
                            : openat(parent.fd, leaf.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.fd < 0 && errno == ENOENT) return 0;
  files = 0;
  if (dir.fd < 0 || !emptyFolder(dir.fd, files) ||
      unlinkat(parent.fd, leaf.c_str(), AT_REMOVEDIR) != 0) {
    err = "cannot remove " + parentPath + "/" + leaf + ": " + strerror(errno) +
          "; remove it by hand (never through a link)";
    return 1;
  }
  return 0;
}

// Deletes the device's cache rows in one transaction; the number removed, -1 with `err`.
int64_t removeCacheRows(int64_t id, const std::string& sn, std::string& err) {
  const std::string path = rootPath(KEVO_CACHE_DB_PATH);
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(raw, 60000);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  int64_t removed = 0;
  const char* const sqls[] = {
      "DELETE FROM vol_info WHERE qx_id = ?1", "DELETE FROM dg_info WHERE qx_id = ?1",
      "DELETE FROM hdd_info WHERE qx_id = ?1", "DELETE FROM share_info WHERE qx_id = ?1",
      "DELETE FROM sample_table WHERE client_sn = ?2"};
  for (const char* sql : sqls) {
    if (rc != SQLITE_OK) break;
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(raw, sql, -1, &st, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_bind_int64(st, 1, id);
      sqlite3_bind_text(st, 2, sn.c_str(), -1, SQLITE_TRANSIENT);
      rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(raw);
      removed += sqlite3_changes(raw);
    }
    sqlite3_finalize(st);
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    err = "cannot remove the cache rows from " + path + ": " +
          (raw != nullptr ? sqlite3_errmsg(raw) : "out of memory") + "; run the removal again";
    return -1;
  }
  return removed;
}

}  // namespace

std::string statusWord(int status) {
  switch (status) {
    case KEVOFLX_QX_STATUS_UNKNOWN:
      return "unknown";
    case KEVOFLX_QX_STATUS_REGISTERED:
      return "registered";
    case KEVOFLX_QX_STATUS_ONLINE:
      return "online";
  }
  return "status-" + std::to_string(status);
}

int deviceStates(Json::Value& out, std::string& err) {
  return guardedOp(err, [&] {
    flxread::ListQuery q;
    q.sort = "id";
    q.page.limit = flxread::kMaxPage;
    Json::Value all(Json::arrayValue);
    Json::Value admissions;
    if (deviceAdmissions(admissions, err) != 0) return 1;
    for (;;) {
      Json::Value page;
      if (flxread::deviceList(q, page, err) != flxread::kOk) return 1;
      for (const Json::Value& d : page["devices"]) {
        Json::Value item(Json::objectValue);
        item["id"] = d["id"];
        item["sn"] = d["sn"];
        item["hostname"] = d["hostname"];
        item["status"] = statusWord(d["status"].asInt());
        item["state"] = d["stale"].asBool() ? "stale" : "reporting";
        const Json::Value& a = admissions[d["sn"].asString()];
        item["enrollment"] =
            (a.isObject() ? a["state"].asString() : std::string("registered")) +
            (a.isObject() && a["identity_conflict"].asBool() ? ",identity-conflict" : "");
        item["last_contact"] = d["last_contact"];
        item["last_collect"] = d["last_collect"];
        item["push_interval"] = d["push_interval"];
        all.append(item);
      }
      q.page.offset += q.page.limit;
      if (page["devices"].size() < static_cast<Json::ArrayIndex>(q.page.limit)) break;
    }
    out.swap(all);
    return 0;
  });
}

int decommission(const std::string& sn, std::vector<std::string>& removed, std::string& err) {
  return guardedOp(err, [&] {
    KEVOFLX_QX dev;
    if (findDevice(sn, dev, err) != 0) return 1;
    const int64_t id = static_cast<int64_t>(dev.id);
    const std::string idText = std::to_string(id);
    std::vector<KEVOFLX_SESSION> sessions;
    KEVOFLXSessionList(sn, sessions);
    // The registry first: its sessions go with the device, so no new push is let in.
    if (KEVOFLXQxDelete(sn) != 0) {
      err = registryError("cannot remove device '" + sn + "'");
      return 1;
    }
    removed.push_back("registry: device " + sn + " (id " + idText + ") with its " +
                      std::to_string(sessions.size()) +
                      " session(s), applications, packages, information and last contact");
    // A push that was let in before finishes its item first: the removal waits for the
    // device's lock and holds it until the lock file goes.
    const std::string lockDir = rootPath(KEVO_LOCK_DIR);
    FdOwner lockDirFd(open(lockDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    FdOwner lock(lockDirFd.fd < 0
                     ? -1
                     : openat(lockDirFd.fd, idText.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (lock.fd >= 0) {
      for (int tries = 0; flock(lock.fd, LOCK_EX | LOCK_NB) != 0 && tries < 1200; ++tries)
        usleep(100 * 1000);
    }
    const int64_t rows = removeCacheRows(id, sn, err);
    if (rows < 0) return 1;
    removed.push_back("cache: " + std::to_string(rows) + " row(s)");
    long files = 0;
    if (removeTree(rootPath(KEVO_QXINFO_DIR), idText, files, err) != 0) return 1;
    removed.push_back(files < 0 ? std::string("mirror folder: none")
                                : "mirror folder " + rootPath(KEVO_QXINFO_DIR) + "/" + idText +
                                      " with " + std::to_string(files) + " file(s)");
    if (removeTree(flxspool::root(), idText, files, err) != 0) return 1;
    removed.push_back(files < 0 ? std::string("spool: none")
                                : "spool: " + std::to_string(files) + " item(s)");
    flxhistory::Writer history;
    const int64_t events = history.forgetDevice(id, err);
    if (events < 0) return 1;
    removed.push_back("history: " + std::to_string(events) + " row(s)");
    if (lock.fd >= 0) {
      if (unlinkat(lockDirFd.fd, idText.c_str(), 0) != 0 && errno != ENOENT) {
        err = "cannot remove the lock file " + lockDir + "/" + idText + ": " + strerror(errno);
        return 1;
      }
      removed.push_back("lock file " + lockDir + "/" + idText);
    }
    return 0;
  });
}

namespace {

struct DeviceArgs {
  std::string sn;
  bool yes = false;
};

int runList() {
  std::string err;
  Json::Value list;
  if (deviceStates(list, err) != 0) return fail(err);
  printf("%-6s %-24s %-24s %-10s %-9s %-22s %s\n", "ID", "SN", "HOSTNAME", "STATUS", "STATE",
         "LAST CONTACT", "ENROLLMENT");
  for (const Json::Value& d : list) {
    printf("%-6s %-24s %-24s %-10s %-9s %-22s %s\n", d["id"].asString().c_str(),
           d["sn"].asCString(), d["hostname"].asCString(), d["status"].asCString(),
           d["state"].asCString(),
           d["last_contact"].isNull() ? "never" : timeText(d["last_contact"].asInt64()).c_str(),
           d["enrollment"].asCString());
  }
  return 0;
}

int runRemove(const DeviceArgs& a) {
  if (!a.yes) {
    if (!isatty(STDIN_FILENO))
      return fail("not removing device '" + a.sn +
                  "': no terminal to ask for confirmation; add --yes to remove it");
    std::cout << "Remove device " << a.sn
              << " and everything stored for it (records, cache rows, mirror folder, spool, "
                 "sessions, history)? [y/N] "
              << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "yes"))
      return fail("device '" + a.sn + "' not removed");
  }
  std::string err;
  std::vector<std::string> removed;
  const int rc = decommission(a.sn, removed, err);
  for (const std::string& line : removed) std::cout << "removed " << line << std::endl;
  return rc != 0 ? fail(err) : 0;
}

}  // namespace

void addDeviceCommands(CLI::App& device, int& rc) {
  auto args = std::make_shared<DeviceArgs>();
  device
      .add_subcommand("list",
                      "List the devices: status and state (reporting, stale) in words, "
                      "and the last contact")
      ->callback([&rc] { rc = runList(); });
  CLI::App* remove = device.add_subcommand(
      "remove", "Remove a device and everything stored for it; says what it removed, asks first");
  remove->add_option("SN", args->sn, "Serial number")->required();
  remove->add_flag("--yes", args->yes, "Do not ask (needed without a terminal)");
  remove->callback([&rc, args] { rc = runRemove(*args); });
}

}  // namespace flxadmin
