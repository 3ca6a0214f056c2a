// The enrollment's tools: the agent's identity and the host's fingerprint of it, the CA and
// site certificate flx-admin makes, and the enrollment secrets' commands.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>

#include "admin_enroll.h"
#include "agent.h"
#include "flxenroll.h"
#include "flxoperators.h"
#include "kevoroot.h"
#include "support/root_fixture.h"

namespace {

class EnrollToolsTest : public flxtest::RootTest {
 protected:
  std::string Tree(const std::string& serial) {
    const std::string dir = path("/machine");
    writeFile(dir + "/etc/machine-id", "00112233445566778899aabbccddeeff\n");
    writeFile(dir + "/proc/sys/kernel/hostname", "box\n");
    writeFile(dir + "/sys/class/dmi/id/product_serial", serial + "\n");
    writeFile(dir + "/sys/class/dmi/id/product_uuid", "4C4C4544-0039-5710\n");
    writeFile(dir + "/sys/class/net/eth1/address", "52:54:00:BB:00:02\n");
    writeFile(dir + "/sys/class/net/eth1/device/uevent", "DRIVER=e1000\n");
    writeFile(dir + "/sys/class/net/eth0/address", "52:54:00:aa:00:01\n");
    writeFile(dir + "/sys/class/net/eth0/device/uevent", "DRIVER=e1000\n");
    writeFile(dir + "/sys/class/net/docker0/address", "02:42:00:00:00:09\n");  // virtual
    writeFile(dir + "/sys/class/net/lo/address", "00:00:00:00:00:00\n");
    return dir;
  }
};

TEST_F(EnrollToolsTest, IdentityAndTheHostsFingerprintAgree) {
  const struct {
    std::string dmi;
    std::string serial;
  } cases[] = {
      {"CZ2 1234/X", "CZ2-1234-X"},
      {"To Be Filled By O.E.M.", ""},
      {"0000000000", ""},
      {"", ""},
  };
  const std::string derived =
      "linux-" + flxagent::UniqueId("00112233445566778899aabbccddeeff").substr(0, 16);
  for (const auto& c : cases) {
    flxagent::Context ctx;
    ctx.root = Tree(c.dmi);
    flxagent::Identity id;
    std::string why;
    ASSERT_TRUE(flxagent::CollectIdentity(ctx, id, why)) << why;
    EXPECT_EQ(c.serial.empty() ? derived : c.serial, id.serial) << c.dmi;
    EXPECT_EQ("box", id.hostname);
    EXPECT_EQ("4c4c4544-0039-5710", id.productUuid);
    ASSERT_EQ((std::vector<std::string>{"52:54:00:aa:00:01", "52:54:00:bb:00:02"}), id.macs);
    // The host computes the fingerprint from the identity the agent sends: both must agree,
    // whatever order the addresses come in, or every push would be told to enroll again.
    EXPECT_EQ(flxagent::Fingerprint(id),
              flxenroll::Fingerprint(id.machineId, id.productUuid, {id.macs[1], id.macs[0]}));
  }
  flxagent::Context empty;
  empty.root = path("/nothing");
  flxagent::Identity id;
  std::string why;
  EXPECT_FALSE(flxagent::CollectIdentity(empty, id, why));
}

TEST_F(EnrollToolsTest, CertificatesNameTheHostAndThePinMatchesOpenssl) {
  std::string hash, err;
  Json::Value info;
  ASSERT_EQ(0, flxadmin::certShow(hash, info, err)) << err;
  EXPECT_TRUE(info["signed_by_ca"].asBool());
  char host[256] = "";
  ASSERT_EQ(0, gethostname(host, sizeof host - 1));
  const std::string names = info["names"].asString();
  for (const std::string& name :
       {std::string("DNS:") + host, std::string("DNS:localhost"), std::string("IP:127.0.0.1")})
    EXPECT_NE(std::string::npos, names.find(name)) << names;
  // The pipeline the README gives reproduces the pin.
  const std::string cmd = "openssl x509 -pubkey -noout -in " + path(KEVO_CA_CERT_PATH) +
                          " | openssl pkey -pubin -outform DER | sha256sum";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  char out[128] = "";
  ASSERT_NE(nullptr, fgets(out, sizeof out, p));
  pclose(p);
  EXPECT_EQ(hash, "sha256:" + std::string(out).substr(0, 64));
  struct stat st {};
  ASSERT_EQ(0, stat(path(KEVO_CA_KEY_PATH).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  // An operator's own site certificate is kept; the CA is made again only when both are gone.
  writeFile(path(KEVO_SITE_CERT_PATH), "operator's own\n");
  ASSERT_EQ(0, flxadmin::certInit(err)) << err;
  EXPECT_EQ("operator's own\n", readFile(path(KEVO_SITE_CERT_PATH)));
  std::string again;
  ASSERT_EQ(0, flxadmin::certShow(again, info, err)) << err;
  EXPECT_EQ(hash, again);
}

TEST_F(EnrollToolsTest, SecretsAreListedByStateAndNeverShown) {
  flxadmin::EnrollOptions o;
  o.url = "https://flx.example";
  o.uses = 1;
  o.group = "lab";
  ASSERT_EQ(0, flxops::AddGroup("lab"));
  std::string line, err;
  ASSERT_EQ(0, flxadmin::enrollAdd(o, line, err)) << err;
  EXPECT_EQ(0u, line.find("flx-agent enroll https://flx.example --token ")) << line;
  const std::string token = line.substr(line.find("--token ") + 8, 23);
  ASSERT_EQ('.', token[6]) << token;
  o.ttl = -1;
  EXPECT_NE(0, flxadmin::enrollAdd(o, line, err));
  o.ttl = 60;
  o.group = "has space";
  EXPECT_NE(0, flxadmin::enrollAdd(o, line, err));
  o.group = "";
  ASSERT_EQ(0, flxadmin::enrollAdd(o, line, err)) << err;
  const std::string second = line.substr(line.find("--token ") + 8, 6);
  ASSERT_EQ(0, flxadmin::enrollRemove(second, err)) << err;
  EXPECT_NE(0, flxadmin::enrollRemove(second, err)) << "revoked twice";
  flxenroll::Identity id;
  id.serial = "ONE";
  id.fingerprint = std::string(64, 'a');
  flxenroll::Issued issued;
  ASSERT_EQ(0, flxenroll::Join(token.substr(0, 6), token.substr(7), id, time(nullptr), issued));
  Json::Value list;
  ASSERT_EQ(0, flxadmin::enrollList(list, err)) << err;
  ASSERT_EQ(2u, list.size());
  std::map<std::string, std::string> states;
  for (const Json::Value& s : list) states[s["id"].asString()] = s["state"].asString();
  EXPECT_EQ("used-up", states[token.substr(0, 6)]);
  EXPECT_EQ("revoked", states[second]);
  // Only the secret's hash is kept.
  EXPECT_EQ("", query("SELECT public_id FROM enroll_secrets WHERE secret_hash = '" +
                          token.substr(7) + "'",
                      path(KEVO_REGISTRY_DB_PATH)));
  Json::Value sessions;
  ASSERT_EQ(0, flxadmin::sessionList("ONE", sessions, err)) << err;
  ASSERT_EQ(1u, sessions.size());
  EXPECT_EQ(std::string::npos, sessions.toStyledString().find(issued.sid));
}

}  // namespace
