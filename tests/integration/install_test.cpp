// The build as shipped: a plain configure is a production build, and `cmake --install` lays the
// programs out in the fixed folders with the module searching exactly the fixed library folder.
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "product.h"
#include "support/root_fixture.h"

namespace {

// Runs a shell command; its exit status, with stdout and stderr in `out`.
int Shell(const std::string& command, std::string& out) {
  out.clear();
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  return pclose(p);
}

using BuildTest = flxtest::RootTest;

TEST_F(BuildTest, PlainConfigureIsAProductionBuild) {
  std::string out;
  ASSERT_EQ(0, Shell(std::string(FLX_CMAKE_BIN) + " -S '" FLX_SOURCE_DIR "' -B '" + root() +
                         "/b' -G Ninja",
                     out))
      << out;
  const std::string cache = readFile(path("/b/CMakeCache.txt"));
  EXPECT_NE(std::string::npos, cache.find("\nFLX_TESTING:BOOL=OFF\n"));
  EXPECT_NE(std::string::npos, cache.find("\nFLX_ROOT:STRING=\n"));
}

TEST_F(BuildTest, InstallLaysOutTheFixedFolders) {
  std::string out;
  ASSERT_EQ(
      0,
      Shell("DESTDIR='" + path("/dest") + "' " FLX_CMAKE_BIN " --install '" FLX_BUILD_DIR "'", out))
      << out;
  const std::string target = path("/dest" FLX_TARGET_DIR_BUILT);
  for (const char* file : {"/lib/libkevocore.so.6", "/lib/libflx.so.5", "/lib/libwebapi-QXM5.so",
                           "/webapi/KEVO.FLX.RPC.so", "/bin/flx-webapi-host", "/bin/flx-admin"})
    EXPECT_TRUE(std::filesystem::is_regular_file(target + file)) << file << "\n" << out;
  // The device programs, for machines without the host, with their own copy of the core library.
  const std::string fixed = "/var/packages/FLX/target";
  const std::string usr = target.substr(0, target.size() - fixed.size()) + "/usr";
  for (const char* file : {"/bin/flx-push", "/bin/flx-agent", "/lib/flx-agent/libkevocore.so.6"})
    EXPECT_TRUE(std::filesystem::exists(usr + file)) << file << "\n" << out;

  ASSERT_EQ(0, Shell("readelf -d '" + target + "/webapi/KEVO.FLX.RPC.so'", out)) << out;
  EXPECT_NE(std::string::npos, out.find("Library runpath: [" FLX_TARGET_DIR_BUILT "/lib]\n"))
      << out;
  EXPECT_EQ(std::string::npos, out.find("(RPATH)")) << out;

  // The shipped unit names no module: the host's defaults are every module the install lays
  // out, and only those.
  std::set<std::string> loaded, installed;
  std::ifstream unit(FLX_SOURCE_DIR "/deploy/systemd/flx-webapi-host.service");
  for (std::string word; unit >> word;) EXPECT_NE("--module", word);
  for (const std::string& module : flxproduct::DefaultModules())
    loaded.insert(std::filesystem::path(module).filename().string());
  for (const auto& e : std::filesystem::directory_iterator(target + "/webapi")) {
    if (e.path().extension() == ".so") installed.insert(e.path().filename().string());
  }
  EXPECT_EQ(installed, loaded);
  EXPECT_EQ(3u, installed.size());  // push, inventory, enrollment
}

}  // namespace
