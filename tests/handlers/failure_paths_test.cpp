// The failure paths of the writers and handlers: the privileged sections a push writes, what
// errno the writer leaves, pushed content read as text, links, folders and leftovers in the
// mirror, rule files that are no regular files, and every system call of the writer, the spool
// and the rule reader failed in turn through the replaceable table.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "common/staged_file.h"
#include "common/sys_calls.h"
#include "flx.h"
#include "handlers/cache_handler.h"
#include "handlers/cache_handler_app.h"
#include "handlers/cache_handler_package.h"
#include "handlers/spool.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace fs = std::filesystem;

namespace {

using flxtest::LogCount;
using flxtest::LogDump;
using flxtest::pushedFile;

Json::Value basicItem(const Json::Value& file) {
  Json::Value data(Json::objectValue);
  data["version"] = "X 1.0-1";
  data["hostname"] = "h";
  data["kevoinfo"] = file;
  return data;
}

Json::Value appItem(const std::string& icon, int64_t mtime) {
  Json::Value app(Json::objectValue);
  app["id"] = "a";
  app["icon"] = flxtest::base64(icon);
  app["icon_mtime"] = Json::Int64(mtime);
  app["icon_size"] = Json::UInt64(icon.size());
  Json::Value data(Json::objectValue);
  data["applications"].append(app);
  return data;
}

// The items of the demo batch, as the push method hands them to updateCache.
Json::Value demoBatch() {
  std::ifstream in(std::string(FLX_SOURCE_DIR) + "/examples/demo-batch.json");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return flxtest::parse(text);
}

class FailurePathTest : public flxtest::RootTest {
 protected:
  FailurePathTest() : id_(addDevice("SN1")), mirror_(mirrorDir(id_)) {}
  ~FailurePathTest() override { flx::sys() = flx::realSysCalls(); }
  std::string conf() const { return mirror_ + "/kevoinfo.conf"; }

  uint64_t id_;
  std::string mirror_;
};

// Id-change lines by section ("file:line") and kind ("setresgid" or "setresuid").
std::map<std::string, int> idChangesBySection() {
  std::map<std::string, int> out;
  for (const auto& line : flxtest::LogTexts()) {
    const size_t warn = line.find(" WARNING: set");
    if (warn == std::string::npos) continue;
    out[line.substr(0, warn) + " " + line.substr(warn + 10, 9)] += 1;
  }
  return out;
}

// As the server user, a batch changes ids only in the sections the handlers name: two per
// mirror file (the open; the stamp and the move), four per icon, none for the device's lock,
// and a decode failure only the first. Icons get their pushed times.
TEST_F(FailurePathTest, ABatchChangesIdsOnlyInTheNamedSections) {
  addDevice("DEMO-SN-0001");
  chmod(root().c_str(), 0755);            // the server user reads the mirror with its own ids
  const Json::Value batch = demoBatch();  // the checkout may be closed to the server user
  flxtest::AsServerUser(false, [&] {
    {
      PushScope push;
      for (const Json::Value& item : batch) {
        EXPECT_EQ(0, updateCache(item["group_name"].asString(), item["module_name"].asString(),
                                 "DEMO-SN-0001", item["collect_time"].asUInt64(), item["data"]))
            << LogDump();
      }
    }
    int files = 0, icons = 0;
    std::error_code ec;  // no exception may leave the server user's child
    for (fs::recursive_directory_iterator e(mirrorDir(2), ec), end; !ec && e != end;
         e.increment(ec)) {
      if (!e->is_regular_file(ec)) continue;
      (e->path().string().find("/apps/") != std::string::npos ? icons : files) += 1;
    }
    EXPECT_FALSE(ec) << ec.message();
    ASSERT_GT(files, 2);
    ASSERT_GT(icons, 0);
    for (const Json::Value& item : batch) {  // stamped inside its section, not with our ids
      for (const Json::Value& app : item["data"]["applications"]) {
        struct stat st;
        ASSERT_EQ(
            0, stat((mirrorDir(2) + "/apps/" + app["id"].asString() + "/icon.png").c_str(), &st));
        EXPECT_EQ(app["icon_mtime"].asInt64(), st.st_mtime);
      }
    }
    std::map<std::string, int> changes = idChangesBySection();
    for (const auto& c : changes) {
      EXPECT_EQ(std::string::npos, c.first.find("device_lock")) << c.first;
      if (c.first.compare(0, 14, "cache_handler:") != 0) continue;
      EXPECT_TRUE(c.first.compare(0, 17, "cache_handler:64 ") == 0 ||
                  c.first.compare(0, 17, "cache_handler:91 ") == 0)
          << c.first;
    }
    for (const char* at : {"cache_handler:64", "cache_handler:91"}) {
      EXPECT_EQ(files, changes[std::string(at) + " setresgid"]) << at;
      EXPECT_EQ(2 * files, changes[std::string(at) + " setresuid"]) << at;
    }
    for (const char* at : {"cache_handler_app:22", "cache_handler_app:26", "cache_handler_app:54",
                           "cache_handler_app:60"}) {
      EXPECT_EQ(icons, changes[std::string(at) + " setresgid"]) << at;
      EXPECT_EQ(2 * icons, changes[std::string(at) + " setresuid"]) << at;
    }

    flxtest::ClearLog();
    Json::Value bad = pushedFile("x");
    bad["data"] = "***";
    EXPECT_EQ(-1, update_file_from_pushed((mirrorDir(2) + "/kevoinfo.conf").c_str(), bad));
    EXPECT_EQ((std::map<std::string, int>{{"cache_handler:64 setresgid", 1},
                                          {"cache_handler:64 setresuid", 2}}),
              idChangesBySection())
        << LogDump();
  });
}

// "data" is read with the text conversion after the unchanged check: absent and null are
// empty, numbers and booleans their text; only objects and arrays are refused.
TEST_F(FailurePathTest, PushedFileDataIsReadAsText) {
  fs::create_directories(mirror_);
  const struct {
    const char* name;
    Json::Value data;  // null member: absent when `absent`
    bool absent;
    bool unchanged;  // the file already has the pushed size and time
    int rc;
    std::string content;
  } rows[] = {
      {"absent", Json::Value(), true, false, 2, ""},
      {"null", Json::Value(), false, false, 2, ""},
      {"boolean as its text", Json::Value(true), false, false, 2, "\xB6\xBB\x9E"},
      {"number, unchanged file", Json::Value(12), false, true, 0, "kept"},
      {"object", Json::Value(Json::objectValue), false, false, -1, "kept"},
      {"array", Json::Value(Json::arrayValue), false, false, -1, "kept"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove(conf());
    ASSERT_EQ(2, update_file_from_pushed(conf().c_str(), pushedFile("kept", 1500000000)));
    if (r.rc == 2) fs::remove(conf());
    Json::Value file = pushedFile("kept", r.unchanged ? 1500000000 : 1600000000);
    if (r.absent) {
      file.removeMember("data");
    } else {
      file["data"] = r.data;
    }
    flxtest::ClearLog();
    EXPECT_EQ(r.rc, update_file_from_pushed(conf().c_str(), file)) << LogDump();
    EXPECT_EQ(r.content, readFile(conf()));
    EXPECT_EQ(r.rc == -1 ? 1 : 0, LogCount("cache_handler:71 fail to decode")) << LogDump();
    if (r.unchanged) {
      EXPECT_TRUE(flxtest::LogLines().empty()) << LogDump();
    }
  }
}

// After a failed write, errno is the write's, and so is the caller's "0 > iTmp" line; the
// fault's kind reaches the dispatcher, which spools the item although the basic handler returns
// 0. The same for a registry update that met a busy database.
TEST_F(FailurePathTest, PassingFaultsTheBasicHandlerDoesNotReportAreSpooled) {
  ASSERT_EQ(0, updateCache("basic", "basic", "SN1", 1, basicItem(pushedFile("old\n"))));
  static int writes;
  writes = 0;
  flx::sys().write = [](int fd, const void* data, size_t size) -> ssize_t {
    if (++writes > 1) return flx::realSysCalls().write(fd, data, size);
    errno = ENOSPC;  // the mirror file's; the spool then takes the item
    return -1;
  };
  flxtest::ClearLog();
  EXPECT_EQ(0, updateCache("basic", "basic", "SN1", 2, basicItem(pushedFile("new\n", 7))));
  EXPECT_EQ(2, writes);
  EXPECT_EQ("old\n", readFile(conf()));
  EXPECT_EQ(1, LogCount("(No space left on device)(cache_handler_basic:22)(No space left on device)"
                        "Failed [0 > iTmp], err=No space left on device"))
      << LogDump();
  EXPECT_EQ(1, LogCount("spooled (disk full)")) << LogDump();
  flx::sys() = flx::realSysCalls();
  EXPECT_EQ(0, updateCache("storage", "share", "SN1", 3, flxtest::parse(R"({"share":[]})")));
  EXPECT_EQ("new\n", readFile(conf())) << "replayed once the disk took writes";
  EXPECT_TRUE(flxspool::list(id_).empty());

  // The registry held by another writer: the handler still returns 0, the item is spooled.
  sqlite3* other = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path(KEVO_REGISTRY_DB_PATH).c_str(), &other));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
  Json::Value renamed = basicItem(pushedFile("new\n", 7));
  renamed["hostname"] = "renamed";
  EXPECT_EQ(0, updateCache("basic", "basic", "SN1", 4, renamed));
  sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(1, LogCount("collected at 4 spooled (database busy)")) << LogDump();
  EXPECT_EQ(0, updateCache("storage", "share", "SN1", 5, flxtest::parse(R"({"share":[]})")));
  KEVOFLX_QX rec;
  ASSERT_EQ(0, KEVOFLXQxGetBySN("SN1", &rec));
  EXPECT_EQ("renamed", rec.hostname) << "replayed once the registry took writes";
}

// Links, folders and plain files where the handlers write.
TEST_F(FailurePathTest, WhatStandsInTheMirrorFolders) {
  const std::string outside = writeFile(path("/outside"), "outside");
  // An icon that is a link is replaced by the rename; the link's target is left alone.
  ASSERT_EQ(0, appCacheUpdate("SN1", 1, appItem("icon-1", 100)));
  const std::string icon = mirror_ + "/apps/a/icon.png";
  fs::remove(icon);
  fs::create_symlink(outside, icon);
  EXPECT_EQ(0, appCacheUpdate("SN1", 1, appItem("icon-2", 200)));
  EXPECT_FALSE(fs::is_symlink(icon));
  EXPECT_EQ("icon-2", readFile(icon));
  EXPECT_EQ("outside", readFile(outside));
  struct stat st;
  ASSERT_EQ(0, lstat(icon.c_str(), &st));
  EXPECT_EQ(200, st.st_mtime);

  // An empty object is an empty list: every application goes (a non-empty one is refused:
  // AppHandlerTest.RegistryHoldsExactlyThePushedList).
  ASSERT_EQ(1u, flxtest::recordsOf(id_, KEVOFLXAppList, KEVOFLXAppListFree).size());
  flxtest::ClearLog();
  EXPECT_EQ(0, appCacheUpdate("SN1", 1, flxtest::parse(R"({"applications": {}})")));
  EXPECT_TRUE(flxtest::recordsOf(id_, KEVOFLXAppList, KEVOFLXAppListFree).empty());
  EXPECT_TRUE(flxtest::LogLines().empty()) << LogDump();

  // A folder at the mirror file's path fails at the open, with its check text.
  fs::create_directories(conf());
  flxtest::ClearLog();
  EXPECT_EQ(0, basicCacheUpdate("SN1", 1, basicItem(pushedFile("x"))));
  EXPECT_EQ(1, LogCount("cache_handler:64 (euid=0)(pid=" + std::to_string(getpid()) +
                        ")(Is a directory)Failed [0 > (fd = open(szPath, O_CREAT | O_WRONLY))]"))
      << LogDump();
  EXPECT_EQ(0, LogCount("move")) << LogDump();
  fs::remove(conf());

  // Stale removal where pkgs/<id> is a plain file: nothing to remove there, the record goes.
  KEVOFLX_PKG rec;
  rec.qx_id = id_;
  rec.pkg_id = "gone";
  ASSERT_GE(KEVOFLXPkgSet(&rec), 0);
  writeFile(mirror_ + "/pkgs/gone", "plain");
  flxtest::ClearLog();
  EXPECT_EQ(0, removeStalePackages(flxtest::parse(R"({"packages":[]})"), id_));
  EXPECT_TRUE(flxtest::recordsOf(id_, KEVOFLXPkgList, KEVOFLXPkgListFree).empty());
  EXPECT_EQ(0, LogCount("delete pkg cache")) << LogDump();
}

// New folders are 0755 whatever the umask.
TEST_F(FailurePathTest, FoldersAre0755UnderAnyUmask) {
  const mode_t old = umask(077);
  Json::Value pkg(Json::objectValue);
  pkg["id"] = "p";
  pkg["info"] = pushedFile("x=1\n");
  pkg["version"] = "1.0";
  pkg["status"] = "running";
  pkg["conf"]["PKG_DEPS"] = pushedFile("[q]\n");
  Json::Value data(Json::objectValue);
  data["qxm_build"] = 1;
  data["packagelimit"] = pushedFile("limit\n");
  data["packages"].append(pkg);
  EXPECT_EQ(0, basicCacheUpdate("SN1", 1, basicItem(pushedFile("x"))));
  EXPECT_EQ(0, appCacheUpdate("SN1", 1, appItem("icon", 1)));
  EXPECT_EQ(0, packageCacheUpdate("SN1", 1, data)) << LogDump();
  umask(old);
  for (const char* dir : {"", "/apps", "/apps/a", "/pkgs", "/pkgs/p", "/pkgs/p/conf"}) {
    EXPECT_EQ(0755u, flxtest::modeOf(mirror_ + dir)) << dir;
  }
}

// Rule files: a header cut at a NUL byte reads nothing, and the line names the file itself; a
// missing file, a FIFO or a folder is refused without blocking, naming its own path.
TEST_F(FailurePathTest, RuleFilesThatCannotBeRead) {
  fs::create_directories(mirror_);
  const std::string rules = mirror_ + "/PKG_DEPS";
  const struct {
    const char* name;
    std::function<void()> make;
    int rc;
    std::string text;
    const char* line;
    const char* tail;  // the error slot, as the library's own reader sets it
  } rows[] = {
      {"NUL in a header",
       [&] { writeFile(rules, std::string("[ab\0c]\npkg_min_ver=1\n[q]\n", 24)); }, 2, "q",
       "cache_handler_package:134 failed to KVLIBFileGetSection, path: ",
       ", section name: ab, nFields: -1, kevo_error=[500]"},
      {"missing", [] {}, -1, "before", "cache_handler_package:113 Failed to KVLIBFileEnumSection ",
       ", errno=0X300"},
      {"FIFO", [&] { mkfifo(rules.c_str(), 0600); }, -1, "before",
       "cache_handler_package:113 Failed to KVLIBFileEnumSection ", ", errno=0X300"},
      {"folder", [&] { fs::create_directories(rules); }, -1, "before",
       "cache_handler_package:113 Failed to KVLIBFileEnumSection ", ", errno=0X300"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove_all(rules);
    r.make();
    flxtest::ClearLog();
    std::string text = "before";
    alarm(10);  // a read that blocks fails the test rather than hanging it
    EXPECT_EQ(r.rc, evalPackageRuleFile(rules.c_str(), 700, text));
    alarm(0);
    EXPECT_EQ(r.text, text);
    EXPECT_EQ(1, LogCount(std::string(r.line) + rules + r.tail)) << LogDump();
    EXPECT_EQ(0, LogCount("/proc/self/fd")) << LogDump();
  }
}

// ---- every call of the table failed in turn ----

// The call to fail, which of its calls (1 = the first), and the errno it fails with.
struct Fault {
  int which = -1;
  int nth = 0;
  int err = 0;
  int seen = 0;
};
Fault gFault;
// Set: the file system has no unnamed files, and the writer falls back to named ones.
bool gNoUnnamed = false;

enum Call {
  kOpenat,
  kWrite,
  kFsync,
  kRenameat,
  kFchmod,
  kUtimensat,
  kFutimens,
  kLinkat,
  kMkdirat,
  kUnlinkat,
  kCalloc,
  kListAlloc,
  kHashAlloc,
  kListPush
};

bool failNow(int which) {
  if (gFault.which != which || ++gFault.seen != gFault.nth) return false;
  errno = gFault.err;
  return true;
}

void installFaults() {
  flx::SysCalls& s = flx::sys();
  s.openat = [](int d, const char* n, int f, mode_t m) {
    if (gNoUnnamed && (f & O_TMPFILE) == O_TMPFILE) {
      errno = EOPNOTSUPP;
      return -1;
    }
    return failNow(kOpenat) ? -1 : flx::realSysCalls().openat(d, n, f, m);
  };
  s.write = [](int fd, const void* p, size_t n) -> ssize_t {
    return failNow(kWrite) ? -1 : flx::realSysCalls().write(fd, p, n);
  };
  s.fsync = [](int fd) { return failNow(kFsync) ? -1 : flx::realSysCalls().fsync(fd); };
  s.renameat = [](int a, const char* b, int c, const char* d) {
    return failNow(kRenameat) ? -1 : flx::realSysCalls().renameat(a, b, c, d);
  };
  s.fchmod = [](int fd, mode_t m) {
    return failNow(kFchmod) ? -1 : flx::realSysCalls().fchmod(fd, m);
  };
  s.utimensat = [](int d, const char* n, const struct timespec t[2], int f) {
    return failNow(kUtimensat) ? -1 : flx::realSysCalls().utimensat(d, n, t, f);
  };
  s.futimens = [](int fd, const struct timespec t[2]) {
    return failNow(kFutimens) ? -1 : flx::realSysCalls().futimens(fd, t);
  };
  s.linkat = [](int a, const char* b, int c, const char* d, int f) {
    return failNow(kLinkat) ? -1 : flx::realSysCalls().linkat(a, b, c, d, f);
  };
  s.mkdirat = [](int d, const char* n, mode_t m) {
    return failNow(kMkdirat) ? -1 : flx::realSysCalls().mkdirat(d, n, m);
  };
  s.unlinkat = [](int d, const char* n, int f) {
    return failNow(kUnlinkat) ? -1 : flx::realSysCalls().unlinkat(d, n, f);
  };
  s.calloc = [](size_t n, size_t z) {
    return failNow(kCalloc) ? nullptr : flx::realSysCalls().calloc(n, z);
  };
  s.listAlloc = [](int c) { return failNow(kListAlloc) ? nullptr : KVLIBSzListAlloc(c); };
  s.hashAlloc = [](int c) { return failNow(kHashAlloc) ? nullptr : KVLIBSzHashAlloc(c); };
  s.listPush = [](KVSZLIST** l, const char* t) {
    return failNow(kListPush) ? -1 : KVLIBSzListPush(l, t);
  };
}

// Each row fails one call of one writer with a chosen errno and checks the answer, the files
// and the lines. Runs without root's help: nothing here needs a privilege.
TEST_F(FailurePathTest, EachCallFailedInTurn) {
  const std::string dir = mirror_ + "/apps";  // the mkdirat row makes it
  const std::string rules = mirror_ + "/PKG_DEPS";
  writeFile(rules, "[q]\n");
  writeFile(conf(), "old\n");
  const Json::Value newFile = pushedFile("new\n", 5);
  auto mirror = [&] { return update_file_from_pushed(conf().c_str(), newFile); };
  auto badMirror = [&] {
    Json::Value bad = newFile;
    bad["data"] = "***";
    return update_file_from_pushed(conf().c_str(), bad);
  };
  auto named = [](std::function<int()> run) {  // the same on a file system without O_TMPFILE
    return [run] {
      gNoUnnamed = true;
      const int rc = run();
      gNoUnnamed = false;
      return rc;
    };
  };
  auto icon = [&] {
    return update_app_icon("icon", id_, appItem("icon-bytes", 9)["applications"][0]);
  };
  auto spool = [&] {
    return spoolKeep(id_, "SN1", "storage", "share", 4, flxtest::parse(R"({"share":[]})"),
                     KVFAULT_BUSY, Arrival());
  };
  auto rule = [&] {
    std::string text;
    return evalPackageRuleFile(rules.c_str(), 1, text);
  };
  const struct {
    const char* name;
    Call call;
    int nth;
    int err;
    std::function<int()> run;
    int rc;
    const char* line;       // a line that must be there
    std::string confAfter;  // kevoinfo.conf afterwards
    bool spooled;
  } rows[] = {
      {"open of the file beside", kOpenat, 1, EACCES, mirror, -1,
       "(Permission denied)!!Failed [0 > (fd = open(szPath, O_CREAT | O_WRONLY))]", "old\n", false},
      {"fchmod of the file beside", kFchmod, 1, EPERM, mirror, -1,
       "(Operation not permitted)Failed [0 > (fd = open(", "old\n", false},
      {"write", kWrite, 1, ENOSPC, mirror, -1, "cache_handler:76 fail to write file", "old\n",
       false},
      {"utime", kFutimens, 1, EIO, mirror, 1,
       "(Input/output error)Failed [utime(szPath, &utb) < 0]", "new\n", false},
      {"link beside", kLinkat, 1, EIO, mirror, -1, "failed to move the new content over", "old\n",
       false},
      {"rename", kRenameat, 1, EIO, mirror, -1, "failed to move the new content over", "old\n",
       false},
      {"decode buffer", kCalloc, 1, ENOMEM, mirror, -1, "Can't malloc memory", "old\n", false},
      {"icon folder", kMkdirat, 1, ENOSPC, icon, -1,
       "(No space left on device)Failed [0 > KEVOFSMkdirP(szFolderPath", "old\n", false},
      {"icon rename", kRenameat, 1, EIO, icon, 0, "cache_handler_app:56 failed to rename", "old\n",
       false},
      {"spool fsync", kFsync, 1, EIO, spool, -1, "cannot write", "old\n", false},
      {"spool write", kWrite, 1, ENOSPC, spool, -1, "No space left on device", "old\n", false},
      {"spool link", kLinkat, 1, EIO, spool, -1, "cannot write", "old\n", false},
      {"removal of a named file beside", kUnlinkat, 1, EIO, named(badMirror), -1, "fail to decode",
       "old\n", false},
      {"rule section list", kListAlloc, 1, ENOMEM, rule, -1,
       "cache_handler_package:106 Failed to KVLIBSzListAlloc, errno=0X", "old\n", false},
      {"rule field hash", kHashAlloc, 1, ENOMEM, rule, -1,
       "cache_handler_package:122 failed to KVLIBSzHashAlloc, kevo_error=[", "old\n", false},
  };
  installFaults();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    gFault = Fault{r.call, r.nth, r.err, 0};
    flxtest::ClearLog();
    EXPECT_EQ(r.rc, r.run()) << LogDump();
    EXPECT_EQ(r.nth, gFault.seen) << "the call was reached";
    EXPECT_GE(LogCount(r.line), 1) << LogDump();
    gFault = Fault{};
    EXPECT_EQ(r.confAfter, readFile(conf()));
    EXPECT_EQ(r.spooled, !flxspool::list(id_).empty());
    int beside = 0;  // nothing half-written is left, but where its removal failed
    for (const auto& e : fs::directory_iterator(mirror_)) {
      if (e.path().filename().string().find(".flx-") == std::string::npos) continue;
      ++beside;
      fs::remove(e.path());
    }
    EXPECT_EQ(r.call == kUnlinkat ? 1 : 0, beside);
    writeFile(conf(), "old\n");
    fs::remove_all(flxspool::root());
    fs::remove_all(dir);
  }
  gFault = Fault{kListAlloc, 1, ENOMEM, 0};
  rule();
  EXPECT_EQ(0x200u, KVLIBErrGet()) << "the code recorded after a failed list";

  // The section hash is taken before any section is read: no section is looked at.
  writeFile(rules, std::string("[ab\0c]\n[q]\n", 11));
  gFault = Fault{kHashAlloc, 1, ENOMEM, 0};
  flxtest::ClearLog();
  EXPECT_EQ(-1, rule());
  EXPECT_EQ(1, LogCount("cache_handler_package:122 ")) << LogDump();
  EXPECT_EQ(0, LogCount("cache_handler_package:134 ")) << LogDump();

  // A key that finds no room in the list of INFO keys is not read; the package is stored.
  Json::Value data = flxtest::parse(R"({"qxm_build": 1, "packages": [{"id": "p",
      "version": "1.0", "status": "running"}]})");
  data["packagelimit"] = pushedFile("limit\n");
  data["packages"][0]["info"] = pushedFile("startable=no\n");
  gFault = Fault{kListPush, 1, ENOMEM, 0};
  flxtest::ClearLog();
  EXPECT_EQ(0, packageCacheUpdate("SN1", 1, data)) << LogDump();
  EXPECT_LE(1, gFault.seen);
  EXPECT_EQ(0, LogCount("Out of memory")) << LogDump();
  EXPECT_EQ(1u, flxtest::recordsOf(id_, KEVOFLXPkgList, KEVOFLXPkgListFree).size());
}

// ---- what runs with which ids, and what no writer removes ----

// Index of the first log line at or after `from` that contains `needle`; -1 when none.
int lineIndex(const std::string& needle, int from = 0) {
  const std::vector<std::string> texts = flxtest::LogTexts();
  for (int i = from; i < static_cast<int>(texts.size()); ++i) {
    if (texts[i].find(needle) != std::string::npos) return i;
  }
  return -1;
}

// As the server user, the writer raises its ids for the open and for the move only: the decode
// and the write run with the caller's ids, so their failure lines come after the open's
// section is left, and the caller's "0 > iTmp" line carries the write's own error.
TEST_F(FailurePathTest, DecodeAndWriteRunWithTheCallersIds) {
  fs::create_directories(mirror_);
  chmod(root().c_str(), 0755);
  installFaults();
  flxtest::AsServerUser(false, [&] {
    for (const char* data : {"bmV3Cg==", "***"}) {  // a write that fails; text that is no base64
      SCOPED_TRACE(data);
      Json::Value file = pushedFile("new\n", 7);
      file["data"] = data;
      gFault = Fault{kWrite, 1, ENOSPC, 0};
      flxtest::ClearLog();
      EXPECT_EQ(0, basicCacheUpdate("SN1", 1, basicItem(file)));
      const int enter = lineIndex("cache_handler:64 WARNING: setresuid");
      const int failure = lineIndex(gFault.seen == 1 ? "cache_handler:76 fail to write file"
                                                     : "cache_handler:71 fail to decode");
      EXPECT_LT(lineIndex("cache_handler:64 WARNING: setresuid", enter + 1), failure);
      EXPECT_LT(failure, lineIndex("(euid=1024)(pid=" + std::to_string(getpid()) + ")"));
      EXPECT_EQ(gFault.seen,
                LogCount("(No space left on device)(cache_handler_basic:22)(No space "
                         "left on device)Failed [0 > iTmp], err=No space left on device"))
          << LogDump();
      EXPECT_EQ(0, LogCount("cache_handler:91")) << LogDump();
    }
  });
}

// A folder at an icon's name: the file beside is made and written, the move fails with the
// rename's error and keeps it, the mode is not set, and the write's result stands: three
// sections (folder, open, rename), no "fopen" line.
TEST_F(FailurePathTest, AFolderAtTheIconsNameKeepsTheFileBeside) {
  const std::string icon = mirror_ + "/apps/a/icon.png";
  fs::create_directories(icon);
  chmod(root().c_str(), 0755);
  flxtest::AsServerUser(false, [&] {
    EXPECT_EQ(0, update_app_icon("icon", id_, appItem("icon-bytes", 9)["applications"][0]));
    EXPECT_EQ("icon-bytes", readFile(icon + ".tmp"));
    EXPECT_TRUE(fs::is_directory(icon));
    EXPECT_EQ(1, LogCount("cache_handler_app:56 failed to rename " + icon + ".tmp to " + icon +
                          ", errno=Is a directory"))
        << LogDump();
    EXPECT_EQ(0, LogCount("fopen")) << LogDump();
    std::map<std::string, int> expected;
    for (const char* at :
         {"cache_handler_app:22", "cache_handler_app:26", "cache_handler_app:54"}) {
      expected[std::string(at) + " setresgid"] = 1;
      expected[std::string(at) + " setresuid"] = 2;
    }
    EXPECT_EQ(expected, idChangesBySection()) << LogDump();
  });
}

// Neither writer deletes a file: a pushed configuration file named like the file beside of a
// writer that died stays when another file of its folder is written; a new file and a
// rewritten one leave no other name behind. With and without unnamed files.
TEST_F(FailurePathTest, NoWriterDeletesAPushedFile) {
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const std::string planted = ".flx-" + std::to_string(dead) + "-1";
  installFaults();
  for (bool noUnnamed : {false, true}) {
    SCOPED_TRACE(noUnnamed ? "named" : "unnamed");
    fs::remove_all(mirror_);
    Json::Value pkg = flxtest::parse(R"({"id": "p"})");
    pkg["conf"][planted] = pushedFile("pushed");
    ASSERT_EQ(0, mirrorPackageConfFiles(id_, pkg));
    gNoUnnamed = noUnnamed;
    for (const char* content : {"new", "rewritten"}) {
      pkg["conf"].clear();
      pkg["conf"]["PKG_DEPS"] = pushedFile(content);
      EXPECT_EQ(0, mirrorPackageConfFiles(id_, pkg)) << LogDump();
    }
    gNoUnnamed = false;
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(mirror_ + "/pkgs/p/conf")) {
      names.insert(e.path().filename().string());
    }
    EXPECT_EQ((std::set<std::string>{planted, "PKG_DEPS"}), names);
    EXPECT_EQ("pushed", readFile(mirror_ + "/pkgs/p/conf/" + planted));
    EXPECT_EQ("rewritten", readFile(mirror_ + "/pkgs/p/conf/PKG_DEPS"));
  }
}

}  // namespace
