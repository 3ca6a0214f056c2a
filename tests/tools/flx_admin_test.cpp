// The flx-admin binary, driven as an operator would, on a root of its own.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <tuple>

#include "flx.h"
#include "handlers/spool.h"
#include "kevoroot.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class AdminCliTest : public flxtest::RootTest {
 protected:
  AdminCliTest() : cliRoot_(root() + "/cli") {
    mkdir(cliRoot_.c_str(), 0755);
    // The binary and the in-process registry calls share this root.
    setenv("FLX_ROOT", cliRoot_.c_str(), 1);
  }

  // A shell command's exit status, standard output and standard error.
  Result sh(const std::string& cmd) {
    std::string out = root() + "/out.txt";
    std::string err = root() + "/err.txt";
    int raw = system((cmd + " >'" + out + "' 2>'" + err + "' </dev/null").c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
  }
  Result run(const std::string& args) { return sh(std::string("'") + FLX_ADMIN_BIN + "' " + args); }

  // Every path below the root with its type, mode, size and modification time, in directory
  // order, which an unchanged folder keeps.
  std::string listing() { return sh("find '" + cliRoot_ + "' -printf '%p %y %m %s %T@\\n'").out; }

  std::string cliRoot_;
};

TEST_F(AdminCliTest, InitDeviceSessionAndShowWorkTogether) {
  Result r = run("init");
  ASSERT_EQ(0, r.status) << r.err;
  std::string first = listing();
  Result again = run("init");
  ASSERT_EQ(0, again.status) << again.err;
  EXPECT_EQ(first, listing());

  std::string key = readFile(cliRoot_ + KEVO_PUSH_KEY_PATH);
  EXPECT_EQ(0600u, flxtest::modeOf(cliRoot_ + KEVO_PUSH_KEY_PATH));
  EXPECT_EQ(65u, key.size());
  EXPECT_EQ(64u, key.find_first_not_of("0123456789abcdef"));

  r = run("device add --sn 2150PDN004711 --hostname nas-1");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("1\n", r.out);
  r = run("session add --sn 2150PDN004711");
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(33u, r.out.size());
  EXPECT_EQ(32u, r.out.find_first_not_of("0123456789abcdef"));
  std::string sn;
  EXPECT_TRUE(KEVOFLXQxCheckWebapiPriviege(r.out.substr(0, 32), KEVOFLX_DEFAULT_API_CLASS, sn));
  EXPECT_EQ("2150PDN004711", sn);
  r = run("session add --sn 2150PDN004711 --sid fixed-session-0001 --ttl 60");
  EXPECT_EQ("fixed-session-0001\n", r.out);
  EXPECT_TRUE(KEVOFLXQxCheckWebapiPriviege("fixed-session-0001", KEVOFLX_DEFAULT_API_CLASS, sn));

  // Applications, packages and info as shown are checked after a real push, end to end; here
  // the parts that need a second device or a file mode of its own.
  writeFile(cliRoot_ + KEVO_QXINFO_DIR "/1/pkgs/Tool/INFO", "package=Tool\n");
  writeFile(cliRoot_ + KEVO_QXINFO_DIR "/1/kevoinfo.conf", "a=b\n");
  chmod((cliRoot_ + KEVO_QXINFO_DIR "/1/kevoinfo.conf").c_str(), 0640);
  ASSERT_EQ(0, sh("sqlite3 '" + cliRoot_ + KEVO_CACHE_DB_PATH +
                  "' \"INSERT INTO vol_info VALUES('volume_1','normal','raid5','/pool',100,40,7,1);"
                  " INSERT INTO vol_info VALUES('other','normal','raid1','/p',1,1,7,2)\"")
                   .status);

  r = run("device show 2150PDN004711");
  ASSERT_EQ(0, r.status) << r.err;
  const Json::Value show = flxtest::parse(r.out);
  EXPECT_EQ("nas-1", show["device"]["hostname"].asString());
  EXPECT_TRUE(show["device"]["extra"].isObject());
  ASSERT_EQ(1u, show["cache"]["vol_info"].size()) << "only the device's own rows";
  EXPECT_EQ("/pool", show["cache"]["vol_info"][0]["pool_path"].asString());
  ASSERT_EQ(2u, show["files"].size());
  EXPECT_EQ("kevoinfo.conf|0640", flxtest::fields(show["files"][0], {"path", "mode"}));

  r = run("device remove 2150PDN004711 --yes");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(KEVOFLXQxCheckWebapiPriviege("fixed-session-0001", KEVOFLX_DEFAULT_API_CLASS, sn));
}

TEST_F(AdminCliTest, BadUsageGivesOneLineAndNonZeroExit) {
  ASSERT_EQ(0, run("init").status);
  ASSERT_EQ(0, run("device add --sn SN1").status);
  const std::tuple<const char*, int, const char*> cases[] = {
      // arguments, status, message
      {"", 2, "subcommand is required"},
      {"device add", 2, "--sn is required"},
      {"device frobnicate", 2, "frobnicate"},
      {"session add --sn SN1 --ttl soon", 2, "--ttl"},
      {"device add --sn SN1", 1, "already exists"},
      {"device add --sn 'two words'", 1, "invalid serial number"},
      {"device show NOPE", 1, "no device with serial number 'NOPE'"},
      {"session add --sn NOPE", 1, "no device"},
      {"session add --sn SN1 --ttl -5", 1, "invalid TTL"},
      {"session add --sn SN1 --sid 15-characters..", 1, "use 16 to 128"},
      {"session remove nothing", 1, "no session"},
  };
  for (const auto& [args, status, says] : cases) {
    Result r = run(args);
    EXPECT_EQ(status, r.status) << args;
    EXPECT_EQ("", r.out) << args;
    EXPECT_NE(std::string::npos, r.err.find(says)) << args << ": " << r.err;
    EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << args << ": " << r.err;
  }
  for (const char* args : {"--help", "device show --help"}) {
    Result r = run(args);
    EXPECT_EQ(0, r.status) << args;
    EXPECT_NE(std::string::npos, r.out.find("Usage")) << args;
  }
}

TEST_F(AdminCliTest, InitCompletesAPartialRootWithoutTouchingWhatExists) {
  writeFile(cliRoot_ + KEVO_PUSH_KEY_PATH, "operator's own key\n");
  ASSERT_EQ(0, run("init").status);
  EXPECT_EQ("operator's own key\n", readFile(cliRoot_ + KEVO_PUSH_KEY_PATH));
  // Stores of a root made before modes were set are brought to them, -wal and -shm included.
  uint64_t id = 0;  // in process: the connection stays open, and with it -wal and -shm
  ASSERT_EQ(0, KEVOFLXQxCreate("SN1", "", &id));
  const std::string reg = cliRoot_ + KEVO_REGISTRY_DB_PATH;
  const std::string cache = cliRoot_ + KEVO_CACHE_DB_PATH;
  writeFile(cache + "-wal", "");
  for (const std::string& p : {reg, reg + "-wal", reg + "-shm", cache, cache + "-wal"}) {
    ASSERT_EQ(0, chmod(p.c_str(), 0644)) << p;
  }
  ASSERT_EQ(0, run("init").status);
  const std::pair<std::string, mode_t> modes[] = {
      {reg, 0600},   {reg + "-wal", 0600},   {reg + "-shm", 0600},
      {cache, 0640}, {cache + "-wal", 0640}, {cliRoot_ + KEVO_PUSH_KEY_PATH, 0600}};
  for (const auto& m : modes) EXPECT_EQ(m.second, flxtest::modeOf(m.first)) << m.first;
  for (const char* below : {KEVO_LIB_DIR, KEVO_WEBAPI_DIR, KEVO_QXINFO_DIR, KEVO_HOST_CONF_PATH,
                            KEVO_REGISTRY_DB_PATH, KEVO_CACHE_DB_PATH}) {
    EXPECT_TRUE(fs::exists(cliRoot_ + below)) << below;
  }
  // No temporary file is left behind.
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(cliRoot_)) {
    EXPECT_EQ(std::string::npos, e.path().filename().string().find(".tmp")) << e.path();
  }
}

TEST_F(AdminCliTest, SpoolListReplayAndDrop) {
  ASSERT_EQ(0, run("init").status);
  ASSERT_EQ(0, run("device add --sn SN1").status);
  Json::Value vols(Json::objectValue);
  for (const char* k : {"vol", "dg", "hdd"}) vols[k] = Json::Value(Json::arrayValue);
  vols["vol"][0]["id"] = "v";
  ASSERT_EQ(0, spoolKeep(1, "SN1", "storage", "storage", 77, vols, KVFAULT_BUSY, Arrival()));
  ASSERT_EQ(0,
            spoolKeep(1, "SN1", "basic", "info", 77, Json::Value(Json::objectValue), 1, Arrival()));
  Result r = run("spool list");
  EXPECT_NE(std::string::npos, r.out.find("storage.storage")) << r.out;
  EXPECT_EQ(0, run("spool drop --device 1 --kind basic.info").status);
  r = run(std::string("spool replay --module ") + FLX_MODULE_PATH);
  EXPECT_EQ("replayed 1 item(s)\n", r.out) << r.err;
  r = run("device show SN1");
  EXPECT_NE(std::string::npos, r.out.find("\"mtime\" : 77")) << r.out;
  EXPECT_TRUE(flxspool::list().empty());
}

}  // namespace
