// The core library: containers, configuration files, base64 and the push cipher, exec, mkdir -p,
// the connection holder.
#include <errno.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kevocore.h"
#include "kevodb.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using flxtest::base64;
using flxtest::modeOf;

// Owners that hand the raw handle to a growing call and take back whatever it left there.
struct Hash {
  KVSZHASH* h = KVLIBSzHashAlloc(1);
  ~Hash() { KVLIBSzHashFree(h); }
};
struct List {
  KVSZLIST* l = KVLIBSzListAlloc(0);
  ~List() { KVLIBSzListFree(l); }
};

std::string keyOf(int i) {
  return "k" + std::to_string((i * 7919) % 2000);
}

TEST(KevocoreContainers, GrowThroughTheirAddressAndKeepInsertionOrder) {
  Hash hash;
  const KVSZHASH* first = hash.h;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(0, KVLIBSzHashSetValue(&hash.h, keyOf(i).c_str(), std::to_string(i).c_str()));
  }
  EXPECT_NE(first, hash.h) << "growth is expected to move the handle";
  EXPECT_EQ(0, KVLIBSzHashSetValue(&hash.h, keyOf(0).c_str(), "new"));
  ASSERT_EQ(2000, KVLIBSzHashCount(hash.h));
  EXPECT_STREQ("new", KVLIBSzHashGetValue(hash.h, keyOf(0).c_str()));

  List keys;
  ASSERT_EQ(2000, KVLIBSzHashEnumKey(hash.h, &keys.l));
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(keyOf(i), KVLIBSzListGet(keys.l, i)) << i;

  char text[] = "item";  // pushed text is copied
  EXPECT_EQ(2001, KVLIBSzListPush(&keys.l, text));
  text[0] = 'X';
  EXPECT_STREQ("item", KVLIBSzListGet(keys.l, 2000));
}

TEST(KevocoreContainers, ErrorSlotIsPerThreadAndCopiesTheFileName) {
  KVLIBErrSetEx(0x200, std::string("caller.cpp").c_str(), 107);
  std::thread([] { EXPECT_EQ(0u, KVLIBErrGet()); }).join();
  EXPECT_EQ(0x200u, KVLIBErrGet());
  EXPECT_STREQ("caller.cpp", KVLIBErrGetFile());
  EXPECT_EQ(107, KVLIBErrGetLine());
}

class KevocoreConf : public flxtest::RootTest {
 protected:
  int section(const std::string& file, const char* name) {
    KVLIBHashRemoveAll(hash_.h);
    return KVLIBFileGetSection(file.c_str(), name, &hash_.h);
  }
  std::string value(const char* key) const {
    const char* v = KVLIBSzHashGetValue(hash_.h, key);
    return v != nullptr ? v : "<absent>";
  }

  Hash hash_;
  List list_;
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
  ASSERT_EQ(5, KVLIBFileEnumSection(file.c_str(), &list_.l)) << "every header counts";
  std::vector<std::string> names(list_.l->pszItem, list_.l->pszItem + list_.l->nItem);
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
  EXPECT_EQ("no newline|<absent>", value("final") + "|" + value("dup")) << "the hash was emptied";
  EXPECT_LT(section(file, "missing"), 0);
  EXPECT_EQ(KVERR_NOT_FOUND, KVLIBErrGet());
  EXPECT_LT(section(file, ""), 0) << "keys before the first section belong to none";
  EXPECT_LT(section(root(), "A"), 0) << "a directory cannot be read";
}

TEST_F(KevocoreConf, KeyReadersTakeListedKeysAndFitValuesToTheBuffer) {
  const std::string info = writeFile(path("/INFO"),
                                     "[ignored header]\n"
                                     "displayname : \"Pkg\"\n"
                                     "startable:yes\n"
                                     "startable:no\n"
                                     "other: x\n"
                                     "url=not split here\n");
  for (const char* key : {"displayname", "startable", "url", "absent"}) {
    KVLIBSzListPush(&list_.l, key);
  }
  EXPECT_EQ(2, KVLIBFileGetKeys(info.c_str(), list_.l, &hash_.h, ":"));
  EXPECT_EQ("Pkg", value("displayname"));
  EXPECT_EQ("no", value("startable"));
  EXPECT_LT(KVLIBFileGetKeys(path("/absent").c_str(), list_.l, &hash_.h, ":"), 0);
  std::string longValue(100000, 'v');
  std::string file =
      writeFile(path("/conf"), "supplang=\"enu,ger\"\nempty=\"\"\nlong=" + longValue + "\n");
  const std::tuple<const char*, int, int, const char*> cases[] = {
      {"supplang", 8, 7, "enu,ger"}, {"supplang", 7, -1, ""}, {"empty", 8, 0, ""},
      {"absent", 8, 0, ""},          {"long", 8, -1, ""},
  };
  char buf[8];
  for (const auto& [key, size, want, text] : cases) {
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(want, KVLIBFileGetKeyValue(file.c_str(), key, buf, size, 0)) << key;
    EXPECT_STREQ(text, buf) << key;
  }
  std::vector<char> big(longValue.size() + 1);
  EXPECT_EQ(100000, KVLIBFileGetKeyValue(file.c_str(), "long", big.data(), big.size(), 0));
  EXPECT_LT(KVLIBFileGetKeyValue(path("/absent").c_str(), "k", buf, sizeof(buf), 0), 0);
}

// Decodes into a buffer of `room` bytes; "<fail>" on failure.
std::string decode(const std::string& text, int room) {
  std::vector<unsigned char> out(room + 1);
  int len = room;
  if (KVLIBBase64Decode(text.data(), text.size(), out.data(), &len) == 0) return "<fail>";
  return std::string(reinterpret_cast<char*>(out.data()), len);
}

TEST(KevocoreBase64, RoundTripsAndRejects) {
  for (std::string bytes : {"", "f", "fo", "foo", "foob"}) {
    bytes += std::string("\0\xff", 2);
    EXPECT_EQ(bytes, decode(base64(bytes), bytes.size())) << bytes;
  }
  const std::tuple<const char*, int, const char*> cases[] = {
      {"", 0, ""},
      {"Zm9v\r\nYmFy\n", 6, "foobar"},
      {"Zm9vYmFy", 5, "<fail>"},
      {"Zm9v YmFy", 6, "<fail>"},
      {"Zm9vYg", 6, "<fail>"},
      {"Zm9vYg==x", 6, "<fail>"},
  };
  for (const auto& [text, room, want] : cases) EXPECT_EQ(want, decode(text, room)) << text;
  char small[4];
  EXPECT_EQ(0, KVLIBBase64Encode(reinterpret_cast<const unsigned char*>("abc"), 3, small, 4));
}

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const char kKeyHex[] = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";

class KevocoreCrypt : public flxtest::RootTest {
 protected:
  KevocoreCrypt() { writeKey(std::string("  ") + kKeyHex + "\n\n"); }
  void writeKey(const std::string& text) { writeFile(KVLIBCryptKeyPath(), text); }

  static std::string seal(const std::string& plain, const unsigned char* key = kKey) {
    std::vector<char> chunk(KVLIBCryptSzChunkSize(plain.size()));
    int n = KVLIBCryptSzEncryptWithKey(key, plain.data(), plain.size(), chunk.data(), chunk.size());
    EXPECT_EQ(static_cast<int>(chunk.size()) - 1, n);
    return chunk.data();
  }
  // Deciphers into a buffer of `size` bytes; "<fail>" when the call fails.
  static std::string open(const std::string& chunk, int size) {
    std::vector<char> buf(size > 0 ? size : 1, 'x');
    const char* r = KVLIBCryptSzDecrypt(chunk.c_str(), buf.data(), size);
    return r == buf.data() ? r : "<fail>";
  }
};

TEST_F(KevocoreCrypt, RoundTripNeedsRoomAndTamperedShortOrForeignChunksFail) {
  std::string plain = "{\"vol\":[1,2,3]}";
  std::string chunk = seal(plain);
  EXPECT_EQ(plain, open(chunk, plain.size() + 1));
  EXPECT_EQ("<fail>", open(chunk, plain.size()));
  EXPECT_EQ(KVERR_BUFFER_TOO_SMALL, KVLIBErrGet());
  EXPECT_EQ("", open(seal(""), 1));
  EXPECT_NE(seal(plain), chunk) << "every chunk has its own nonce";
  const std::string big = seal(std::string(4096, 'p'));
  const std::string raw = decode(big, big.size());
  for (size_t at : {size_t{0}, size_t{30}, raw.size() - 1}) {  // nonce, ciphertext, tag
    std::string flipped = raw;
    flipped[at] ^= 0x01;
    EXPECT_EQ("<fail>", open(base64(flipped), big.size())) << at;
    EXPECT_EQ(KVERR_CRYPT, KVLIBErrGet());
  }
  unsigned char other[32] = {9};
  EXPECT_EQ("<fail>", open(seal("p", other), 64)) << "another key";
  EXPECT_EQ("<fail>", open(base64(std::string(39, 'n')), 64)) << "shorter than nonce and tag";
  EXPECT_EQ("<fail>", open("not base64!", 64));
}

TEST_F(KevocoreCrypt, KeyFileProblemsFailAndARewrittenKeyIsUsed) {
  std::string chunk = seal("text");
  std::string hex = kKeyHex;
  for (std::string bad : {std::string(), hex.substr(2), "zz" + hex.substr(2), hex + "21"}) {
    writeKey(bad);
    EXPECT_EQ("<fail>", open(chunk, 64)) << bad;
  }
  const std::string where = std::string("push key [") + KVLIBCryptKeyPath() + "] is unusable: ";
  EXPECT_EQ(4, flxtest::LogCount(where + "not 64 hex digits")) << flxtest::LogDump();
  remove(KVLIBCryptKeyPath());
  EXPECT_EQ("<fail>", open(chunk, 64));
  EXPECT_EQ(KVERR_FILE_OPEN, KVLIBErrGet());
  EXPECT_EQ(1, flxtest::LogCount(where + "No such file or directory"));

  // Pinned for a push: one look at the file, however many chunks, and one line when missing.
  EXPECT_EQ(-1, KVLIBCryptKeyPin());
  EXPECT_EQ("<fail>", open(chunk, 64));
  KVLIBCryptKeyUnpin();
  EXPECT_EQ(2, flxtest::LogCount(where + "No such file or directory"));
  writeKey(kKeyHex);
  EXPECT_EQ(0, KVLIBCryptKeyPin());
  remove(KVLIBCryptKeyPath());
  EXPECT_EQ("text", open(chunk, 64));
  KVLIBCryptKeyUnpin();
  EXPECT_EQ("<fail>", open(chunk, 64));

  // A settled key file, then a new key written in place with the very same mtime.
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  writeKey(kKeyHex);
  ASSERT_EQ(0, utimes(KVLIBCryptKeyPath(), old));
  EXPECT_EQ("text", open(chunk, 64));
  writeKey("07" + std::string(62, '0'));
  ASSERT_EQ(0, utimes(KVLIBCryptKeyPath(), old));
  EXPECT_EQ("<fail>", open(chunk, 64));
  unsigned char next[32] = {7};
  EXPECT_EQ("next", open(seal("next", next), 64));
}

TEST(KevocoreExec, ExitStatusSignalsAndArguments) {
  EXPECT_EQ(0, KVLIBExec("/bin/true", NULL));
  EXPECT_LT(KVLIBExec("/bin/false", NULL), 0);
  EXPECT_LT(KVLIBExec("/bin/sh", "-c", "kill -KILL $$", NULL), 0);
  EXPECT_LT(KVLIBExec("true", NULL), 0) << "no search of PATH";
  EXPECT_LT(KVLIBExec("/nonexistent/program", NULL), 0);
  EXPECT_EQ(KVERR_EXEC, KVLIBErrGet());
  // Arguments reach the program untouched by any shell; the first NULL ends them.
  EXPECT_EQ(0, KVLIBExec("/bin/sh", "-c", "test \"$1\" = 'a b;*' && test $# = 1", "sh", "a b;*",
                         NULL, NULL));
}

using KevocoreMkdir = flxtest::RootTest;

TEST_F(KevocoreMkdir, CreatesParentsWithTheModeWhateverTheUmaskAndFailuresSetErrno) {
  mode_t old = umask(077);
  std::string deep = path("/a//b/c/");
  EXPECT_EQ(0, KEVOFSMkdirP(deep.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1));
  EXPECT_EQ(0755u, modeOf(path("/a")));
  EXPECT_EQ(0755u, modeOf(path("/a/b/c")));
  EXPECT_EQ(0, KEVOFSMkdirP(deep.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, -1)) << "exists";
  EXPECT_EQ(0, KEVOFSMkdirP(path("/a/x").c_str(), nullptr, FALSE, UID_ERR, GID_ERR, 0700));
  EXPECT_EQ(0700u, modeOf(path("/a/x")));
  umask(old);
  writeFile(path("/file"), "x");
  const std::tuple<std::string, int, int, int> cases[] = {
      {path("/file"), TRUE, -1, ENOTDIR},       {path("/file/sub/deeper"), TRUE, -1, ENOTDIR},
      {path("/file"), FALSE, -1, ENOTDIR},      {path("/missing/leaf"), FALSE, -1, ENOENT},
      {path("/badmode"), TRUE, 010000, EINVAL},
  };
  for (const auto& [dir, recursive, mode, err] : cases) {
    errno = 0;
    EXPECT_LT(KEVOFSMkdirP(dir.c_str(), nullptr, recursive, UID_ERR, GID_ERR, mode), 0) << dir;
    EXPECT_EQ(err, errno) << dir;
  }
}

}  // namespace

// The connection holder that the registry and the read views share.
class KevocoreSharedDb : public flxtest::RootTest {
 protected:
  static int opens;
  static sqlite3* open(const std::vector<std::string>& paths, std::string& error) {
    ++opens;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(paths[0].c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
      return db;
    error = sqlite3_errmsg(db);
    sqlite3_close(db);
    return nullptr;
  }
  std::string file = path("/store.sqlite");
  void SetUp() override {
    opens = 0;
    writeFile(file, "");
  }
};
int KevocoreSharedDb::opens = 0;

TEST_F(KevocoreSharedDb, KeepsStatementsAndReopensWhenBrokenReplacedOrMissing) {
  kevo::SharedDb holder(open);
  const std::vector<std::string> paths = {file};
  const std::string sql = "SELECT 1";
  sqlite3* first = nullptr;
  sqlite3_stmt* kept = nullptr;
  {
    kevo::SharedDb::Use use(holder, paths);
    ASSERT_NE(nullptr, first = use.handle()) << use.error();
    kevo::SharedDb::Statement a(holder, use.handle(), sql);
    kevo::SharedDb::Statement nested(holder, use.handle(), sql);
    kept = a.get();
    EXPECT_NE(kept, nested.get()) << "a text already held gets a statement of its own";
    EXPECT_EQ(SQLITE_ROW, sqlite3_step(a.get()));
  }
  {
    kevo::SharedDb::Use use(holder, paths);
    EXPECT_EQ(first, use.handle());
    kevo::SharedDb::Statement again(holder, use.handle(), sql);
    EXPECT_EQ(kept, again.get()) << "kept, and reset for the next operation";
    EXPECT_EQ(SQLITE_ROW, sqlite3_step(again.get()));
    kevo::SharedDb::Statement bad(holder, use.handle(), "SELECT FROM");
    EXPECT_EQ(SQLITE_ERROR, bad.rc());
    EXPECT_EQ(nullptr, bad.get());
    holder.markBroken(use.handle());
  }
  EXPECT_EQ(1, opens);
  { kevo::SharedDb::Use use(holder, paths); }
  EXPECT_EQ(2, opens) << "after a failure that may have broken it";
  ASSERT_EQ(0, rename(writeFile(file + ".new", "").c_str(), file.c_str()));
  { kevo::SharedDb::Use use(holder, paths); }
  EXPECT_EQ(3, opens) << "the file was replaced";
  { kevo::SharedDb::Use use(holder, paths); }
  EXPECT_EQ(3, opens);
  ASSERT_EQ(0, unlink(file.c_str()));
  kevo::SharedDb::Use gone(holder, paths);
  EXPECT_EQ(nullptr, gone.handle());
  EXPECT_NE("", gone.error());
}
