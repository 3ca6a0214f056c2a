// The push method in process, on a root of its own with one registered device and session.
//
// Input: a batch as flx-push reads it, a JSON array of items. An item's "data" that is an
// array is sent as given (raw chunks); any other "data" is enciphered with the root's push
// key: a string as its own text, another value as its JSON text (strings "b64:TEXT" in it
// replaced by the base64 of TEXT), cut every "chunk" bytes (default 4096). A JSON object is taken
// as the whole parameter set, its "items" converted the same way; any other input is sent as the
// text of "items".
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "api/webapi_flx_cache.h"
#include "common/json_util.h"
#include "fuzz_support.h"
#include "kevocore.h"
#include "kevoroot.h"
#include "webapi.h"

namespace {

const size_t kDefaultChunk = 4096;

std::string gSid;
std::string gMirror;
unsigned char gKey[32];

std::string encipher(const std::string& plain) {
  std::string out(KVLIBCryptSzChunkSize(static_cast<int>(plain.size())), '\0');
  int n = KVLIBCryptSzEncryptWithKey(gKey, plain.data(), static_cast<int>(plain.size()), &out[0],
                                     static_cast<int>(out.size()));
  out.resize(n > 0 ? n : 0);
  return out;
}

// A string "b64:TEXT" in a payload stands for the base64 of TEXT, so that mutations reach the
// content of pushed files (INFO, rule files), not only their encoding.
void expandFiles(Json::Value& v) {
  if (v.isArray() || v.isObject()) {
    for (Json::Value& member : v) expandFiles(member);
  } else if (v.isString() && v.asString().compare(0, 4, "b64:") == 0) {
    const std::string text = v.asString().substr(4);
    std::string out(KVLIBCryptSzChunkSize(static_cast<int>(text.size())), '\0');
    const int n =
        KVLIBBase64Encode(reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()), &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? n : 0);
    v = out;
  }
}

void encipherItem(Json::Value& item) {
  if (!item.isObject() || !item.isMember("data") || item["data"].isArray()) return;
  Json::Value& data = item["data"];
  expandFiles(data);
  const std::string plain = data.isString() ? data.asString() : flx::toString(data);
  size_t chunk = kDefaultChunk;
  const Json::Value& cut = flx::jsonMember(item, "chunk");
  if (cut.isUInt() && cut.asUInt() > 0) chunk = cut.asUInt();
  Json::Value chunks(Json::arrayValue);
  for (size_t at = 0; at < plain.size(); at += chunk) {
    chunks.append(encipher(plain.substr(at, chunk)));
  }
  item["data"] = chunks;
}

Json::Value params(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Json::Value input;
  Json::Value out(Json::objectValue);
  if (!flx::fromString(text, input)) {
    out["items"] = text;
  } else if (input.isObject()) {
    out = input;
  } else {
    out["client_sn"] = "FUZZ-SN";
    out["items"] = input;
  }
  if (out.isMember("items") && out["items"].isArray()) {
    for (Json::Value& item : out["items"]) encipherItem(item);
  }
  return out;
}

// Pushed names must never lead a write out of the device's mirror folder, and a push leaves no
// temporary file behind in it. Only the folders on the way are listed after each push; a
// stray write anywhere else in the root goes unseen.
void checkConfined() {
  const std::string& root = flxfuzz::makeRoot();
  flxfuzz::checkEntries(root + "/..", [](const std::string& n) { return n == "root"; });
  // etc: the host's CA and site certificate, which init makes.
  flxfuzz::checkEntries(
      root, [](const std::string& n) { return n == "var" || n == "etc.defaults" || n == "etc"; });
  flxfuzz::checkEntries(root + KEVO_QXINFO_DIR, [](const std::string& n) { return n == "1"; });
  flxfuzz::checkEntries(gMirror, [](const std::string& n) {
    return n == "apps" || n == "pkgs" || n == "kevoinfo.conf";
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& root = flxfuzz::makeRoot();
  uint64_t id = 0;
  gSid = flxfuzz::addDeviceWithSession("FUZZ-SN", id);
  if (id != 1) abort();  // checkConfined() expects the first device's id
  gMirror = root + KEVO_QXINFO_DIR "/1";
  if (KVLIBCryptReadKeyFile((root + KEVO_PUSH_KEY_PATH).c_str(), gKey) != 0) abort();
  // The method's last resort catches what a handler threw; the rest of the batch is then lost.
  flxfuzz::abortOnLogText("Push stopped by an unexpected failure");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KEVO::APIRequest req("KEVO.FLX.RPC.ClientInfo", 1, "push", params(data, size), gSid, "127.0.0.1");
  KEVO::APIResponse resp;
  set_v1(&req, &resp);
  // The session is valid, so every push is answered with success or 400.
  if (!resp.IsSet() || (!resp.IsSuccess() && resp.GetError() != 400)) abort();
  checkConfined();
  return 0;
}
