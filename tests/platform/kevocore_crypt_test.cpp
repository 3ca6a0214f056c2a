#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "kevocore.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"

namespace {

using flxtest::base64;

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
  struct {
    const char* text;
    int room;
    const char* want;
  } cases[] = {
      {"", 0, ""},
      {"Zm9v\r\nYmFy\n", 6, "foobar"},
      {"Zm9vYmFy", 5, "<fail>"},
      {"Zm9v YmFy", 6, "<fail>"},
      {"Zm9vYg", 6, "<fail>"},
      {"Zm9vYg==x", 6, "<fail>"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, decode(c.text, c.room)) << c.text;
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

TEST_F(KevocoreCrypt, RoundTripNeedsRoomForTheTerminator) {
  std::string plain = "{\"vol\":[1,2,3]}";
  std::string chunk = seal(plain);
  EXPECT_EQ(plain, open(chunk, plain.size() + 1));
  EXPECT_EQ("<fail>", open(chunk, plain.size()));
  EXPECT_EQ(KVERR_BUFFER_TOO_SMALL, KVLIBErrGet());
  EXPECT_EQ("", open(seal(""), 1));
  EXPECT_NE(seal(plain), chunk) << "every chunk has its own nonce";
}

TEST_F(KevocoreCrypt, RejectsTamperedShortAndForeignChunks) {
  std::string chunk = seal(std::string(4096, 'p'));
  std::string raw = decode(chunk, chunk.size());
  for (size_t at : {size_t{0}, size_t{30}, raw.size() - 1}) {  // nonce, ciphertext, tag
    std::string flipped = raw;
    flipped[at] ^= 0x01;
    EXPECT_EQ("<fail>", open(base64(flipped), chunk.size())) << at;
    EXPECT_EQ(KVERR_CRYPT, KVLIBErrGet());
  }
  unsigned char other[32] = {9};
  EXPECT_EQ("<fail>", open(seal("p", other), 64)) << "another key";
  EXPECT_EQ("<fail>", open(base64(std::string(39, 'n')), 64)) << "shorter than nonce and tag";
  EXPECT_EQ("<fail>", open("not base64!", 64));
  EXPECT_EQ(nullptr, KVLIBCryptSzDecrypt(nullptr, nullptr, 10));
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

}  // namespace
