// The machine's identity: what it enrolls with, and the fingerprint each push carries.
#include <sodium.h>

#include <algorithm>
#include <cctype>

#include "agent.h"

namespace flxagent {

namespace {

// DMI serials that firmware leaves as placeholders: every such machine would share them.
bool PlaceholderSerial(std::string serial) {
  std::transform(serial.begin(), serial.end(), serial.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const char* const kPlaceholders[] = {"",
                                              "none",
                                              "not specified",
                                              "to be filled by o.e.m.",
                                              "default string",
                                              "system serial number",
                                              "0",
                                              "0123456789",
                                              "not applicable",
                                              "n/a",
                                              "unknown"};
  for (const char* p : kPlaceholders) {
    if (serial == p) return true;
  }
  return serial.find_first_not_of('0') == std::string::npos;
}

// What the host takes as a serial: letters, digits, '.', '_' and '-', at most 64.
std::string CleanSerial(const std::string& raw) {
  std::string out;
  for (unsigned char c : raw) {
    out.push_back(std::isalnum(c) || c == '.' || c == '_' || c == '-' ? static_cast<char>(c) : '-');
  }
  return out.substr(0, 48);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool CollectIdentity(const Context& ctx, Identity& id, std::string& why) {
  const std::string machineId = ReadLine(ctx.path("/etc/machine-id"));
  if (machineId.empty()) {
    why = "no /etc/machine-id: this machine cannot be told apart from others";
    return false;
  }
  id.machineId = UniqueId(machineId);
  // The DMI serial and UUID are root's to read; a user's agent falls back to the derived serial.
  const std::string dmi = ReadLine(ctx.path("/sys/class/dmi/id/product_serial"));
  id.serial = PlaceholderSerial(dmi) ? "linux-" + id.machineId.substr(0, 16) : CleanSerial(dmi);
  id.hostname = ReadLine(ctx.path("/proc/sys/kernel/hostname"));
  if (id.hostname.empty()) id.hostname = ReadLine(ctx.path("/etc/hostname"));
  id.productUuid = Lower(ReadLine(ctx.path("/sys/class/dmi/id/product_uuid")));
  id.macs.clear();
  // Physical interfaces only (those with a device): virtual ones come and go with containers.
  for (const std::string& name : ListDir(ctx.path("/sys/class/net"))) {
    const std::string dir = ctx.path("/sys/class/net/" + name);
    bool isDevice = false;
    ReadText(dir + "/device/uevent", &isDevice, 1);
    if (!isDevice && ListDir(dir + "/device").empty()) continue;
    const std::string mac = Lower(ReadLine(dir + "/address"));
    if (mac.empty() || mac == "00:00:00:00:00:00") continue;
    id.macs.push_back(mac);
  }
  std::sort(id.macs.begin(), id.macs.end());
  return true;
}

std::string Fingerprint(const Identity& id) {
  std::string macs;
  for (const std::string& mac : id.macs) macs += (macs.empty() ? "" : ",") + mac;
  const std::string text = id.machineId + "|" + id.productUuid + "|" + macs;
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  char hex[sizeof digest * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

Json::Value IdentityJson(const Identity& id) {
  Json::Value out(Json::objectValue);
  out["serial"] = id.serial;
  out["hostname"] = id.hostname;
  out["machine_id"] = id.machineId;
  out["product_uuid"] = id.productUuid;
  out["macs"] = Json::Value(Json::arrayValue);
  for (const std::string& mac : id.macs) out["macs"].append(mac);
  return out;
}

}  // namespace flxagent
