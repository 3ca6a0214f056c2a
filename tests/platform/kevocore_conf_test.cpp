#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "kevocore.h"
#include "support/root_fixture.h"

namespace {

class KevocoreConf : public flxtest::RootTest {
 protected:
  ~KevocoreConf() override {
    KVLIBSzHashFree(hash_);
    KVLIBSzListFree(list_);
  }
  int section(const std::string& file, const char* name) {
    KVLIBHashRemoveAll(hash_);
    return KVLIBFileGetSection(file.c_str(), name, &hash_);
  }
  std::string value(const char* key) const {
    const char* v = KVLIBSzHashGetValue(hash_, key);
    return v != nullptr ? v : "<absent>";
  }

  KVSZHASH* hash_ = KVLIBSzHashAlloc(1);
  KVSZLIST* list_ = KVLIBSzListAlloc(1);
};

TEST_F(KevocoreConf, SectionedFileCornerCases) {
  std::string file = writeFile(path("/rules"),
                               "top = before any section\n"
                               "# comment = not a key\n"
                               "  ; indented = comment\n"
                               "\n"
                               "[A]\r\n"
                               "  pkg_min_ver =  1.0  \r\n"
                               "quoted=\"  spaced \"\n"
                               "half=\"open\n"
                               "dup=first\n"
                               "no separator\n"
                               "=no key\n"
                               "eq=a=b\n"
                               "[ Empty ]\n"
                               "[B]\n"
                               "dup=other\n"
                               "[A]\n"
                               "dup=last\n"
                               "[tail]\n"
                               "final=no newline");
  ASSERT_EQ(5, KVLIBFileEnumSection(file.c_str(), &list_)) << "every header counts";
  std::vector<std::string> names(list_->pszItem, list_->pszItem + list_->nItem);
  EXPECT_EQ((std::vector<std::string>{"A", "Empty", "B", "A", "tail"}), names);

  // Both [A] blocks merge, the later "dup" wins, and every key/value line counts.
  EXPECT_EQ(6, section(file, "A"));
  EXPECT_EQ("1.0", value("pkg_min_ver"));
  EXPECT_EQ("  spaced ", value("quoted"));
  EXPECT_EQ("\"open", value("half"));
  EXPECT_EQ("last", value("dup"));
  EXPECT_EQ("a=b", value("eq"));

  EXPECT_EQ(0, section(file, "Empty"));
  EXPECT_EQ(1, section(file, "tail"));
  EXPECT_EQ("no newline", value("final"));
  EXPECT_LT(section(file, "missing"), 0);
  EXPECT_EQ(KVERR_NOT_FOUND, KVLIBErrGet());
  EXPECT_LT(section(file, ""), 0) << "keys before the first section belong to none";
  EXPECT_LT(section(root(), "A"), 0) << "a directory cannot be read";
  EXPECT_EQ(KVERR_FILE_OPEN, KVLIBErrGet());
}

TEST_F(KevocoreConf, GetKeysTakesListedKeysWithTheGivenSeparator) {
  std::string file = writeFile(path("/INFO"),
                               "[ignored header]\n"
                               "displayname : \"Pkg\"\n"
                               "startable:yes\n"
                               "startable:no\n"
                               "other: x\n"
                               "url=not split here\n");
  for (const char* key : {"displayname", "startable", "url", "absent"}) {
    KVLIBSzListPush(&list_, key);
  }
  EXPECT_EQ(2, KVLIBFileGetKeys(file.c_str(), list_, &hash_, ":"));
  EXPECT_EQ("Pkg", value("displayname"));
  EXPECT_EQ("no", value("startable"));
  EXPECT_LT(KVLIBFileGetKeys(path("/absent").c_str(), list_, &hash_, ":"), 0);
}

TEST_F(KevocoreConf, GetKeyValueResults) {
  std::string longValue(100000, 'v');
  std::string file = writeFile(
      path("/conf"), "supplang=\"enu,ger\"\nempty=\"\"\nlong=" + longValue + "\nfit=1234567\n");
  struct {
    const char* key;
    int size;
    int want;
    const char* text;
  } cases[] = {
      {"supplang", 8, 7, "enu,ger"}, {"fit", 8, 7, "1234567"}, {"supplang", 7, -1, ""},
      {"empty", 8, 0, ""},           {"absent", 8, 0, ""},     {"long", 8, -1, ""},
  };
  char buf[8];
  for (const auto& c : cases) {
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(c.want, KVLIBFileGetKeyValue(file.c_str(), c.key, buf, c.size, 0)) << c.key;
    EXPECT_STREQ(c.text, buf) << c.key;
  }
  std::vector<char> big(longValue.size() + 1);
  EXPECT_EQ(100000, KVLIBFileGetKeyValue(file.c_str(), "long", big.data(), big.size(), 0));
  EXPECT_LT(KVLIBFileGetKeyValue(path("/absent").c_str(), "k", buf, sizeof(buf), 0), 0);
}

}  // namespace
