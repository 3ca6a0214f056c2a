// Where the agent finds its host URL, key and session id: the command line, then the
// environment, then its configuration file; the session file must be the owner's alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "agent.h"
#include "support/root_fixture.h"

namespace {

using flxagent::AgentOptions;

class AgentSettingsTest : public flxtest::RootTest {
 protected:
  // Resolves `options` against the configuration file `conf` (none when empty) and `env`.
  bool resolve(AgentOptions& options, const std::string& conf, std::string& why,
               bool given = true) {
    const std::string file = path("/etc/flx-agent/agent.conf");
    if (!conf.empty()) writeFile(file, conf);
    return flxagent::ResolveSettings(
        options, file, given,
        [this](const char* name) -> const char* {
          const auto it = env_.find(name);
          return it == env_.end() ? nullptr : it->second.c_str();
        },
        why);
  }
  std::string session(const std::string& name, const std::string& content, mode_t mode) {
    const std::string file = writeFile(path("/" + name), content);
    chmod(file.c_str(), mode);
    return file;
  }

  std::map<std::string, std::string> env_;
};

TEST_F(AgentSettingsTest, CommandLineThenEnvironmentThenFile) {
  const std::string sid = session("sid", "sid-from-file\n", 0600);
  const std::string conf =
      "# comment\nurl = https://conf.example\nkey_file=/conf/push.key\n"
      "ca_file=\nsession_file=" +
      sid + "\n";
  const std::map<std::string, std::string> env = {{"FLX_AGENT_URL", "https://env"},
                                                  {"FLX_AGENT_SID", "env-sid"}};
  const struct {
    const char *cliUrl, *cliSid;
    bool withEnv;
    const char *url, *sid;
  } cases[] = {
      {"", "", false, "https://conf.example", "sid-from-file"},
      {"", "", true, "https://env", "env-sid"},
      {"https://cli", "cli-sid", true, "https://cli", "cli-sid"},
  };
  for (const auto& c : cases) {
    env_ = c.withEnv ? env : std::map<std::string, std::string>();
    AgentOptions options;
    options.url = c.cliUrl;
    options.sid = c.cliSid;
    std::string why;
    ASSERT_TRUE(resolve(options, conf, why)) << why;
    EXPECT_EQ(c.url, options.url);
    EXPECT_EQ(c.sid, options.sid);
    EXPECT_EQ("/conf/push.key", options.keyFile);
    EXPECT_EQ("", options.caFile);
  }
}

TEST_F(AgentSettingsTest, RefusesSessionFilesOthersMayReadAndBadFiles) {
  const std::string open = session("open", "sid\n", 0644);
  const std::string link = path("/session-link");
  ASSERT_EQ(0, symlink(session("target", "sid\n", 0600).c_str(), link.c_str()));
  struct Case {
    std::string conf;
    const char* why;
  } cases[] = {
      {"session_file=" + open + "\n", "may be read by others"},
      {"session_file=" + link + "\n", "a link is refused"},
      {"session_file=" + session("empty", "\n", 0600) + "\n", "is empty"},
      {"url https://x\n", "line 1: expected url"},
      {"sid=abc\n", "line 1: expected url"},  // a session id never sits in the shared file
      {"", "cannot read the configuration file"},
  };
  for (const Case& c : cases) {
    unlink(path("/etc/flx-agent/agent.conf").c_str());
    AgentOptions options;
    std::string why;
    EXPECT_FALSE(resolve(options, c.conf, why)) << c.conf;
    EXPECT_NE(std::string::npos, why.find(c.why)) << why;
  }
  // No configuration file where none was named, and --dry-run needs no session.
  AgentOptions options;
  std::string why;
  EXPECT_TRUE(resolve(options, "", why, false)) << why;
  options.dryRun = true;
  EXPECT_TRUE(resolve(options, "session_file=" + open + "\n", why)) << why;
}

}  // namespace
