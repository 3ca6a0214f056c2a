// basic/basic and basic/info: identity, versions, network and the machine's resources.
#include <arpa/inet.h>
#include <sodium.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "agent.h"

namespace flxagent {

namespace {

const char* const kOsReleasePaths[] = {"/etc/os-release", "/usr/lib/os-release"};

std::string OsReleasePath(const Context& ctx) {
  for (const char* p : kOsReleasePaths) {
    if (access(ctx.path(p).c_str(), R_OK) == 0) return ctx.path(p);
  }
  return "";
}

std::string Hostname(const Context& ctx) {
  std::string name = ReadLine(ctx.path("/proc/sys/kernel/hostname"));
  if (name.empty()) name = ReadLine(ctx.path("/etc/hostname"));
  return name;
}

std::string Model(const Context& ctx) {
  const std::string product = ReadLine(ctx.path("/sys/class/dmi/id/product_name"));
  if (!product.empty()) return product;
  struct utsname u;
  return uname(&u) == 0 ? u.machine : "";
}

}  // namespace

std::string UniqueId(const std::string& machineId) {
  static const char kContext[] = "flx-agent unique id";
  unsigned char digest[16];
  crypto_generichash(digest, sizeof digest,
                     reinterpret_cast<const unsigned char*>(machineId.data()), machineId.size(),
                     reinterpret_cast<const unsigned char*>(kContext), sizeof kContext - 1);
  char hex[sizeof digest * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

namespace {

struct Route {
  std::string iface;
  uint32_t dest = 0, gateway = 0, mask = 0;  // network byte order, as the kernel prints them
};

std::vector<Route> Routes(const Context& ctx) {
  std::vector<Route> routes;
  std::istringstream in(ReadText(ctx.path("/proc/net/route")));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream f(line);
    Route r;
    std::string dest, gw, flags, refcnt, use, metric, mask;
    if (!(f >> r.iface >> dest >> gw >> flags >> refcnt >> use >> metric >> mask)) continue;
    r.dest = static_cast<uint32_t>(strtoul(dest.c_str(), nullptr, 16));
    r.gateway = static_cast<uint32_t>(strtoul(gw.c_str(), nullptr, 16));
    r.mask = static_cast<uint32_t>(strtoul(mask.c_str(), nullptr, 16));
    routes.push_back(r);
  }
  return routes;
}

std::string Ipv4Text(uint32_t networkOrder) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr a;
  a.s_addr = networkOrder;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// The local host addresses of the kernel's routing trie, loopback excluded.
std::vector<uint32_t> LocalAddresses(const Context& ctx) {
  std::vector<uint32_t> found;
  std::istringstream in(ReadText(ctx.path("/proc/net/fib_trie")));
  std::string line, last;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (StartsWith(t, "|-- ")) {
      last = t.substr(4);
    } else if (t == "/32 host LOCAL" && !last.empty()) {
      in_addr a;
      if (inet_pton(AF_INET, last.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) != 127) {
        bool seen = false;
        for (uint32_t f : found) seen = seen || f == a.s_addr;
        if (!seen) found.push_back(a.s_addr);
      }
    }
  }
  return found;
}

// The address on the subnet of the default route's interface, else the first local one.
std::string PrimaryIpv4(const Context& ctx) {
  const std::vector<Route> routes = Routes(ctx);
  const std::vector<uint32_t> local = LocalAddresses(ctx);
  std::string iface;
  for (const Route& r : routes) {
    if (r.dest == 0 && r.mask == 0 && iface.empty()) iface = r.iface;
  }
  for (const Route& r : routes) {
    if (r.iface != iface || r.mask == 0) continue;
    for (uint32_t a : local) {
      if ((a & r.mask) == r.dest) return Ipv4Text(a);
    }
  }
  return local.empty() ? "" : Ipv4Text(local.front());
}

// Wake-on-LAN per physical interface, as the kernel's wakeup flag of its device says.
Json::Value WakeOnLan(const Context& ctx) {
  Json::Value wol(Json::arrayValue);
  const std::string net = ctx.path("/sys/class/net");
  for (const std::string& iface : ListDir(net)) {
    const std::string device = net + "/" + iface + "/device";
    if (access(device.c_str(), F_OK) != 0) continue;  // virtual interface
    wol.append(ReadLine(device + "/power/wakeup") == "enabled");
  }
  return wol;
}

uint64_t FirstNumber(const std::string& text) {
  return strtoull(text.c_str(), nullptr, 10);
}

// Model, vendor and count of the processors.
bool CpuInfo(const Context& ctx, Json::Value& data) {
  bool ok = false;
  std::istringstream cpuinfo(ReadText(ctx.path("/proc/cpuinfo"), &ok));
  std::string line, model, vendor;
  int cores = 0;
  while (std::getline(cpuinfo, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, colon));
    const std::string value = Trim(line.substr(colon + 1));
    if (key == "processor") ++cores;
    if (model.empty() && (key == "model name" || key == "Model" || key == "cpu model")) {
      model = value;
    }
    if (vendor.empty() && (key == "vendor_id" || key == "CPU implementer")) vendor = value;
  }
  data["cpu_model"] = model;
  data["cpu_vendor"] = vendor;
  data["cpu_cores"] = cores;
  return ok;
}

std::string TimeZone(const Context& ctx) {
  const std::string zone = ReadLine(ctx.path("/etc/timezone"));
  if (!zone.empty()) return zone;
  char target[512];
  const ssize_t n = readlink(ctx.path("/etc/localtime").c_str(), target, sizeof target - 1);
  const std::string link(target, n > 0 ? static_cast<size_t>(n) : 0);
  const size_t at = link.find("zoneinfo/");
  return at == std::string::npos ? "" : link.substr(at + 9);
}

}  // namespace

int32_t BuildNumber(const std::string& versionId) {
  if (versionId.empty() || !isdigit(static_cast<unsigned char>(versionId[0]))) return 0;
  int32_t parts[3] = {0, 0, 0};
  const char* p = versionId.c_str();
  for (int i = 0; i < 3 && isdigit(static_cast<unsigned char>(*p)); ++i) {
    char* end = nullptr;
    const unsigned long n = strtoul(p, &end, 10);
    parts[i] = n > 99 ? 99 : static_cast<int32_t>(n);
    p = end;
    if (*p != '.') break;
    ++p;
  }
  return parts[0] * 10000 + parts[1] * 100 + parts[2];
}

std::string VersionText(const std::string& osRelease, int32_t* build) {
  auto values = ParseKeyValues(osRelease);
  std::string id = values["ID"].empty() ? "linux" : values["ID"];
  std::string version = values["VERSION_ID"].empty() ? "0" : values["VERSION_ID"];
  // The host splits at the first space and the first '-': neither may occur inside a part.
  for (char& c : id) c = (c == ' ' || c == '-') ? '_' : c;
  for (char& c : version) c = (c == ' ' || c == '-') ? '.' : c;
  const int32_t number = BuildNumber(version);
  if (build != nullptr) *build = number;
  return id + " " + version + "-" + std::to_string(number);
}

bool CollectBasic(Context& ctx, Json::Value& data, std::string& why) {
  const std::string osPath = OsReleasePath(ctx);
  bool ok = false;
  const std::string osRelease = osPath.empty() ? "" : ReadText(osPath, &ok, 1 << 20);
  if (!ok) {
    why = "no readable /etc/os-release";
    return false;
  }
  data = Json::Value(Json::objectValue);
  data["hostname"] = Hostname(ctx);
  if (data["hostname"].asString().empty()) {
    why = "no host name in /proc/sys/kernel/hostname or /etc/hostname";
    return false;
  }
  data["model_name"] = Model(ctx);
  data["version"] = VersionText(osRelease);
  data["up_time"] = static_cast<Json::UInt64>(FirstNumber(ReadLine(ctx.path("/proc/uptime"))));
  data["ip"] = PrimaryIpv4(ctx);
  const std::string machineId = ReadLine(ctx.path("/etc/machine-id"));
  data["unique"] = machineId.empty() ? "" : UniqueId(machineId);
  data["wol"] = WakeOnLan(ctx);
  data["smallfixnum"] = 0;
  data["gluster_role"] = 0;
  data["kevoinfo"] = PushedFile(osRelease, FileMtime(osPath));
  return true;
}

bool CollectInfo(Context& ctx, Json::Value& data, std::string& why) {
  data = Json::Value(Json::objectValue);
  if (!CpuInfo(ctx, data)) {
    why = "cannot read /proc/cpuinfo";
    return false;
  }
  auto mem = ParseKeyValues(ReadText(ctx.path("/proc/meminfo")), ':');
  data["mem_total"] = static_cast<Json::UInt64>(FirstNumber(mem["MemTotal"]) * 1024);
  data["kernel"] = ReadLine(ctx.path("/proc/sys/kernel/osrelease"));
  auto stat = ParseKeyValues(ReadText(ctx.path("/proc/stat")), ' ');
  data["boot_time"] = static_cast<Json::UInt64>(FirstNumber(stat["btime"]));
  data["timezone"] = TimeZone(ctx);
  auto resolv = ParseKeyValues(ReadText(ctx.path("/etc/resolv.conf")), ' ');
  data["dns_server"] = resolv["nameserver"];
  std::string gateway;
  for (const Route& r : Routes(ctx)) {
    if (r.dest == 0 && r.mask == 0 && gateway.empty()) gateway = Ipv4Text(r.gateway);
  }
  data["gateway"] = gateway;
  return true;
}

}  // namespace flxagent
