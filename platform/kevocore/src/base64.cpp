// Base64 with the standard alphabet and padding; line breaks in the text are skipped.
#include <errno.h>
#include <sodium.h>

#include "kv_internal.h"

int KVLIBBase64Decode(const char* text, int length, unsigned char* out, int* pLength) {
  if (text == nullptr || length < 0 || out == nullptr || pLength == nullptr || *pLength < 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return 0;
  }
  size_t decoded = 0;
  // No end pointer: libsodium then refuses any character it cannot decode or skip.
  if (sodium_base642bin(out, static_cast<size_t>(*pLength), text, static_cast<size_t>(length),
                        "\r\n", &decoded, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
    KV_FAIL(errno == ERANGE ? KVERR_BUFFER_TOO_SMALL : KVERR_BAD_ENCODING);
    return 0;
  }
  *pLength = static_cast<int>(decoded);
  return 1;
}

int KVLIBBase64Encode(const unsigned char* data, int length, char* out, int size) {
  if ((data == nullptr && length != 0) || length < 0 || out == nullptr || size <= 0) {
    KV_FAIL(KVERR_INVALID_ARGUMENT);
    return 0;
  }
  // libsodium aborts on a short output buffer, so the size is checked here first.
  size_t need =
      sodium_base64_ENCODED_LEN(static_cast<size_t>(length), sodium_base64_VARIANT_ORIGINAL);
  if (need > static_cast<size_t>(size)) {
    KV_FAIL(KVERR_BUFFER_TOO_SMALL);
    return 0;
  }
  sodium_bin2base64(out, need, data, static_cast<size_t>(length), sodium_base64_VARIANT_ORIGINAL);
  return static_cast<int>(need - 1);
}
