// The base64 decoder and the chunk decipher: the input as a pushed text, and as plain bytes
// that must come back unchanged through encoding and enciphering.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kevocore.h"
#include "kevoroot.h"

namespace {

unsigned char gKey[32];

// The input as text: decoded into room for all of it and into too little room.
void decodeText(const std::string& text) {
  const int length = static_cast<int>(text.size());
  for (int room : {length / 4 * 3 + 3, length / 2}) {
    std::vector<unsigned char> out(room + 1);
    int n = room;
    if (KVLIBBase64Decode(text.c_str(), length, out.data(), &n) != 0 && (n < 0 || n > room)) {
      abort();
    }
  }
  // The module gives the decipher a buffer exactly as long as the chunk.
  for (int size : {length, 24}) {
    std::vector<char> buf(size > 0 ? size : 1);
    if (KVLIBCryptSzDecrypt(text.c_str(), buf.data(), size) != nullptr &&
        strnlen(buf.data(), size) == static_cast<size_t>(size)) {
      abort();
    }
  }
}

// The input as plain bytes: encode and decode, encipher and decipher.
void roundTrip(const uint8_t* data, int length) {
  std::vector<char> text(KVLIBCryptSzChunkSize(length));
  if (KVLIBBase64Encode(data, length, text.data(), static_cast<int>(text.size())) <= 0 &&
      length > 0) {
    abort();
  }
  std::vector<unsigned char> back(length + 1);
  int n = length;
  if (KVLIBBase64Decode(text.data(), static_cast<int>(strlen(text.data())), back.data(), &n) == 0 ||
      n != length || memcmp(back.data(), data, length) != 0) {
    abort();
  }
  const int chunkLen =
      KVLIBCryptSzEncryptWithKey(gKey, data, length, text.data(), static_cast<int>(text.size()));
  if (chunkLen <= 0) abort();
  std::vector<char> plain(chunkLen);
  if (KVLIBCryptSzDecrypt(text.data(), plain.data(), chunkLen) == nullptr) abort();
  // Deciphered text ends at its first NUL, as the push method reads it.
  const void* nul = memchr(data, 0, length);
  const size_t want = nul != nullptr ? static_cast<const uint8_t*>(nul) - data : length;
  if (strlen(plain.data()) != want || memcmp(plain.data(), data, want) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& root = flxfuzz::makeRoot();
  if (KVLIBCryptReadKeyFile((root + KEVO_PUSH_KEY_PATH).c_str(), gKey) != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  decodeText(std::string(reinterpret_cast<const char*>(data), size));
  roundTrip(data, static_cast<int>(size));
  return 0;
}
