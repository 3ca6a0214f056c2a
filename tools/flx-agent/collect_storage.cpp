// storage/storage and storage/share: volumes, disk groups, disks and shared folders.
#include <json/reader.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>

#include "agent.h"

namespace flxagent {

namespace {

// File systems that are not on a local block device, even when /proc/mounts names one.
const char* const kSkippedFsTypes[] = {
    "nfs",      "nfs4",     "cifs",    "smb3", "smbfs",  "sshfs", "9p",        "overlay", "tmpfs",
    "devtmpfs", "squashfs", "iso9660", "udf",  "autofs", "ceph",  "glusterfs", "lustre"};
// Block devices that are not disks of their own.
const char* const kSkippedDiskPrefixes[] = {"loop", "ram", "zram", "dm-", "md", "sr", "fd", "nbd"};

struct Mount {
  std::string device;  // kernel name, e.g. "vda1", "md0", "dm-0"
  std::string devicePath;
  std::string mountPoint;
  std::string fsType;
  bool readOnly = false;
};

struct MdArray {
  std::string name, level, state;
  uint64_t bytes = 0;
  std::vector<std::string> members;  // kernel names of member devices
};

// Undoes the octal escapes of /proc/mounts ("\040" for a space).
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&field](size_t k) {
      return k < field.size() && field[k] >= '0' && field[k] <= '7';
    };
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out.push_back(static_cast<char>(strtol(field.substr(i + 1, 3).c_str(), nullptr, 8)));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// The kernel name of a device path: symlinks such as /dev/mapper/x resolved on the machine.
std::string KernelName(const Context& ctx, const std::string& devicePath) {
  std::string path = devicePath;
  if (ctx.live()) {
    std::unique_ptr<char, decltype(&free)> real(realpath(devicePath.c_str(), nullptr), &free);
    if (real) path = real.get();
  }
  return path.substr(path.rfind('/') + 1);
}

std::vector<Mount> Mounts(const Context& ctx) {
  std::vector<Mount> mounts;
  std::set<std::string> seen;
  std::istringstream in(ReadText(ctx.path("/proc/mounts")));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string device, point, type, options;
    if (!(f >> device >> point >> type >> options)) continue;
    if (!StartsWith(device, "/dev/") || StartsWith(device, "/dev/loop")) continue;
    if (std::find(std::begin(kSkippedFsTypes), std::end(kSkippedFsTypes), type) !=
            std::end(kSkippedFsTypes) ||
        StartsWith(type, "fuse")) {
      continue;
    }
    Mount m;
    m.devicePath = Unescape(device);
    m.device = KernelName(ctx, m.devicePath);
    if (!seen.insert(m.device).second) continue;  // a bind mount of a device already listed
    m.mountPoint = Unescape(point);
    m.fsType = type;
    m.readOnly = options == "ro" || StartsWith(options, "ro,");
    mounts.push_back(m);
  }
  return mounts;
}

std::vector<MdArray> MdArrays(const Context& ctx) {
  std::vector<MdArray> arrays;
  std::istringstream in(ReadText(ctx.path("/proc/mdstat")));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string name, colon, word;
    if (!(f >> name >> colon) || colon != ":" || !StartsWith(name, "md")) {
      // "<blocks> blocks ... [UU]" belongs to the array above it.
      if (!arrays.empty() && line.find(" blocks") != std::string::npos) {
        arrays.back().bytes = strtoull(Trim(line).c_str(), nullptr, 10) * 1024;
        const size_t open = line.rfind('[');
        if (open != std::string::npos && line.find('_', open) != std::string::npos) {
          arrays.back().state = "degraded";
        }
      }
      continue;
    }
    MdArray md;
    md.name = name;
    f >> md.state;
    while (f >> word) {
      if (StartsWith(word, "raid") || word == "linear") {
        md.level = word;
      } else if (word != "(auto-read-only)" && word.find('[') != std::string::npos) {
        md.members.push_back(word.substr(0, word.find('[')));
      }
    }
    md.state = md.state == "active" ? "normal" : md.state;
    arrays.push_back(md);
  }
  return arrays;
}

// The volume group of an LVM device-mapper name "vg-lv" ("--" escapes a '-' in either part).
std::string VolumeGroup(const std::string& dmName) {
  for (size_t i = 0; i < dmName.size(); ++i) {
    if (dmName[i] != '-') continue;
    if (i + 1 < dmName.size() && dmName[i + 1] == '-') {
      ++i;
      continue;
    }
    std::string vg = dmName.substr(0, i);
    for (size_t at = vg.find("--"); at != std::string::npos; at = vg.find("--", at + 1)) {
      vg.erase(at, 1);
    }
    return vg;
  }
  return "";
}

Json::Value Volume(const Context& ctx, const Mount& m, const std::vector<MdArray>& arrays) {
  Json::Value vol(Json::objectValue);
  vol["id"] = m.mountPoint;
  vol["status"] = m.readOnly ? "read-only" : "normal";
  vol["raid_type"] = "single";
  vol["pool_path"] = m.devicePath;
  for (const MdArray& md : arrays) {
    if (md.name == m.device) {
      vol["raid_type"] = md.level;
      vol["pool_path"] = "/dev/" + md.name;
    }
  }
  const std::string dm = ctx.path("/sys/block/" + m.device + "/dm/");
  if (StartsWith(ReadLine(dm + "uuid"), "LVM-")) {
    vol["raid_type"] = "lvm";
    vol["pool_path"] = "/dev/" + VolumeGroup(ReadLine(dm + "name"));
  }
  struct statvfs st;
  if (statvfs(ctx.path(m.mountPoint).c_str(), &st) == 0) {
    const uint64_t unit = st.f_frsize;
    vol["size_total"] = static_cast<Json::UInt64>(st.f_blocks * unit);
    vol["size_used"] = static_cast<Json::UInt64>((st.f_blocks - st.f_bfree) * unit);
  } else {
    vol["size_total"] = 0;
    vol["size_used"] = 0;
  }
  return vol;
}

// LVM volume groups, from vgs where it is installed and permitted.
void VolumeGroups(Context& ctx, Json::Value& dgs) {
  if (!ctx.haveTool("vgs")) return;
  std::string out;
  int status = 0;
  Json::Value report;
  if (!ctx.runTool({"vgs", "--reportformat", "json", "--units", "b", "--nosuffix", "-o",
                    "vg_name,vg_size,vg_free"},
                   out, status) ||
      status != 0 || !ParseJson(out, report)) {
    ctx.note("LVM volume groups skipped: vgs failed (it needs root)");
    return;
  }
  const Json::Value& rows = report["report"][0]["vg"];
  for (const Json::Value& row : rows) {
    const uint64_t size = strtoull(row["vg_size"].asString().c_str(), nullptr, 10);
    const uint64_t free = strtoull(row["vg_free"].asString().c_str(), nullptr, 10);
    Json::Value dg(Json::objectValue);
    dg["id"] = row["vg_name"].asString();
    dg["status"] = "normal";
    dg["raid_type"] = "lvm";
    dg["size_total"] = static_cast<Json::UInt64>(size);
    dg["size_used"] = static_cast<Json::UInt64>(size >= free ? size - free : 0);
    dgs.append(dg);
  }
}

// What uses a disk or one of its partitions: md arrays, device-mapper devices, mount points.
std::string UsedBy(const Context& ctx, const std::string& disk, const std::vector<Mount>& mounts) {
  std::vector<std::string> devices = {disk};
  for (const std::string& name : ListDir(ctx.path("/sys/block/" + disk))) {
    if (StartsWith(name, disk.c_str())) devices.push_back(name);
  }
  std::vector<std::string> users;
  for (const std::string& dev : devices) {
    const std::string base = ctx.path("/sys/block/" + disk + (dev == disk ? "" : "/" + dev));
    for (const std::string& holder : ListDir(base + "/holders")) {
      const std::string dmName = ReadLine(ctx.path("/sys/block/" + holder + "/dm/name"));
      users.push_back(dmName.empty() ? holder : dmName);
    }
    for (const Mount& m : mounts) {
      if (m.device == dev) users.push_back(m.mountPoint);
    }
  }
  std::string joined;
  for (const std::string& u : users) joined += (joined.empty() ? "" : ",") + u;
  return joined;
}

std::string Bus(const Context& ctx, const std::string& disk) {
  char target[1024];
  const ssize_t n = readlink(ctx.path("/sys/block/" + disk).c_str(), target, sizeof target - 1);
  const std::string link(target, n > 0 ? static_cast<size_t>(n) : 0);
  static const struct {
    const char* marker;
    const char* bus;
  } kBuses[] = {{"/usb", "usb"}, {"/nvme", "nvme"}, {"/virtio", "virtio"},
                {"/mmc", "mmc"}, {"/ata", "sata"},  {"/host", "scsi"}};
  for (const auto& b : kBuses) {
    if (link.find(b.marker) != std::string::npos) return b.bus;
  }
  if (StartsWith(disk, "nvme")) return "nvme";
  if (StartsWith(disk, "vd")) return "virtio";
  if (StartsWith(disk, "mmcblk")) return "mmc";
  return "scsi";
}

// Degrees Celsius from the drive's hwmon sensor, 0 when it has none.
int Temperature(const Context& ctx, const std::string& disk) {
  const std::string device = ctx.path("/sys/block/" + disk + "/device");
  std::vector<std::string> sensors;
  for (const std::string& h : ListDir(device + "/hwmon")) sensors.push_back(device + "/hwmon/" + h);
  for (const std::string& h : ListDir(device)) {
    if (StartsWith(h, "hwmon")) sensors.push_back(device + "/" + h);
  }
  for (const std::string& s : sensors) {
    const std::string milli = ReadLine(s + "/temp1_input");
    if (!milli.empty()) return static_cast<int>(strtol(milli.c_str(), nullptr, 10) / 1000);
  }
  return 0;
}

// The disk's SMART reading where smartctl can give one; a note says why where it cannot.
SmartReading Smart(Context& ctx, const std::string& disk, bool& smartctlNoted) {
  if (!ctx.haveTool("smartctl")) {
    if (ctx.live() && !smartctlNoted) {
      ctx.note("SMART status not collected: smartctl is not installed");
      smartctlNoted = true;
    }
    return {};
  }
  SmartReading r = ReadSmart(ctx, disk);
  if (r.status.empty()) ctx.note("SMART status of " + disk + " skipped: " + r.why);
  return r;
}

// The last component of a symbolic link's target.
std::string LinkName(const std::string& link) {
  char target[1024];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  const std::string text(target, n > 0 ? static_cast<size_t>(n) : 0);
  return text.substr(text.rfind('/') + 1);
}

bool SkippedDisk(const std::string& name) {
  for (const char* prefix : kSkippedDiskPrefixes) {
    if (StartsWith(name, prefix)) return true;
  }
  return false;
}

Json::Value Disks(Context& ctx, const std::vector<Mount>& mounts) {
  Json::Value hdds(Json::arrayValue);
  bool smartctlNoted = false;
  int number = 0;
  for (const std::string& disk : ListDir(ctx.path("/sys/block"))) {
    const std::string base = ctx.path("/sys/block/" + disk);
    const uint64_t sectors = strtoull(ReadLine(base + "/size").c_str(), nullptr, 10);
    if (SkippedDisk(disk) || sectors == 0) continue;
    Json::Value hdd(Json::objectValue);
    hdd["id"] = disk;
    const std::string state = ReadLine(base + "/device/state");
    hdd["status"] = state.empty() || state == "running" || state == "live" ? "good" : state;
    const SmartReading smart = Smart(ctx, disk, smartctlNoted);
    hdd["smart_status"] = smart.status;
    std::string model = ReadLine(base + "/device/model");
    if (model.empty()) model = ReadLine(base + "/device/name");
    if (model.empty()) model = LinkName(base + "/device/driver");  // e.g. virtio_blk
    hdd["model"] = model;
    hdd["bus"] = Bus(ctx, disk);
    hdd["used_by"] = UsedBy(ctx, disk, mounts);
    hdd["name"] = "Disk " + std::to_string(++number);
    const std::string rotational = ReadLine(base + "/queue/rotational");
    hdd["disk_type"] = rotational == "0" ? "ssd" : rotational == "1" ? "hdd" : "";
    hdd["ctn_name"] = "Host";
    const int sensor = Temperature(ctx, disk);
    hdd["temp"] = sensor != 0 ? sensor : smart.temp;
    hdd["size_total"] = static_cast<Json::UInt64>(sectors * 512);  // always 512-byte units
    hdds.append(hdd);
  }
  return hdds;
}

// The volume (mount point) holding `path`: the longest mount point that prefixes it.
const Mount* VolumeOf(const std::vector<Mount>& mounts, const std::string& path) {
  const Mount* best = nullptr;
  for (const Mount& m : mounts) {
    const std::string& mp = m.mountPoint;
    const bool inside = mp == "/" || path == mp || StartsWith(path, (mp + "/").c_str());
    if (inside && (best == nullptr || mp.size() > best->mountPoint.size())) best = &m;
  }
  return best;
}

Json::Value Share(const std::vector<Mount>& mounts, const std::string& name,
                  const std::string& path, const std::string& comment, bool hidden) {
  Json::Value share(Json::objectValue);
  share["name"] = name;
  share["desc"] = comment;
  const Mount* vol = VolumeOf(mounts, path);
  share["vol_id"] = vol != nullptr ? vol->mountPoint : "";
  share["display_vol_name"] = vol != nullptr ? vol->device : "";
  share["hidden"] = hidden ? 1 : 0;
  return share;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Samba's sections other than [global] and printers; keys are case-insensitive.
void SambaShares(const Context& ctx, const std::vector<Mount>& mounts, Json::Value& shares) {
  std::istringstream in(ReadText(ctx.path("/etc/samba/smb.conf")));
  std::string line, section;
  std::map<std::string, std::string> keys;
  const auto flush = [&]() {
    const std::string lower = Lower(section);
    const bool printer = lower == "printers" || lower == "print$" || keys["printable"] == "yes" ||
                         keys["print ok"] == "yes";
    if (!section.empty() && lower != "global" && !printer && !keys["path"].empty()) {
      const std::string browse =
          !keys["browseable"].empty() ? keys["browseable"] : keys["browsable"];
      shares.append(Share(mounts, section, keys["path"], keys["comment"],
                          browse == "no" || browse == "false" || browse == "0"));
    }
    keys.clear();
  };
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t[0] == '[') {
      flush();
      // A header without its ']' starts a section that nothing is taken from.
      section = t.back() == ']' ? Trim(t.substr(1, t.size() - 2)) : "";
      continue;
    }
    const size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Lower(Trim(t.substr(0, eq)));
    std::string value = Trim(t.substr(eq + 1));
    if (key != "path" && key != "comment") value = Lower(value);
    keys[key] = value;
  }
  flush();
}

// NFS exports: "path client(options) ..." with '\' continuing a line.
void NfsExports(const Context& ctx, const std::vector<Mount>& mounts, Json::Value& shares) {
  std::string text = ReadText(ctx.path("/etc/exports"));
  for (size_t at = text.find("\\\n"); at != std::string::npos; at = text.find("\\\n", at)) {
    text.replace(at, 2, " ");
  }
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    std::string path, clients;
    if (line[0] == '"') {
      const size_t close = line.find('"', 1);
      if (close == std::string::npos) continue;
      path = line.substr(1, close - 1);
      clients = Trim(line.substr(close + 1));
    } else {
      const size_t space = line.find_first_of(" \t");
      path = line.substr(0, space);
      clients = space == std::string::npos ? "" : Trim(line.substr(space));
    }
    if (path.empty() || path[0] != '/') continue;
    std::istringstream words(clients);
    clients.clear();
    for (std::string w; words >> w;) clients += (clients.empty() ? "" : " ") + w;
    shares.append(
        Share(mounts, path, path, "NFS export to " + (clients.empty() ? "*" : clients), false));
  }
}

}  // namespace

bool CollectStorage(Context& ctx, Json::Value& data, std::string& why) {
  if (access(ctx.path("/proc/mounts").c_str(), R_OK) != 0) {
    why = "cannot read /proc/mounts";
    return false;
  }
  const std::vector<Mount> mounts = Mounts(ctx);
  const std::vector<MdArray> arrays = MdArrays(ctx);
  data = Json::Value(Json::objectValue);
  data["vol"] = Json::Value(Json::arrayValue);
  data["dg"] = Json::Value(Json::arrayValue);
  for (const Mount& m : mounts) data["vol"].append(Volume(ctx, m, arrays));
  for (const MdArray& md : arrays) {
    Json::Value dg(Json::objectValue);
    dg["id"] = md.name;
    dg["status"] = md.state;
    dg["raid_type"] = md.level;
    dg["size_total"] = static_cast<Json::UInt64>(md.bytes);
    // An array is handed whole to what holds it: used when anything does.
    const bool held = !ListDir(ctx.path("/sys/block/" + md.name + "/holders")).empty() ||
                      std::any_of(mounts.begin(), mounts.end(),
                                  [&md](const Mount& m) { return m.device == md.name; });
    dg["size_used"] = static_cast<Json::UInt64>(held ? md.bytes : 0);
    data["dg"].append(dg);
  }
  VolumeGroups(ctx, data["dg"]);
  data["hdd"] = Disks(ctx, mounts);
  return true;
}

bool CollectShares(Context& ctx, Json::Value& data, std::string&) {
  const std::vector<Mount> mounts = Mounts(ctx);
  data = Json::Value(Json::objectValue);
  data["share"] = Json::Value(Json::arrayValue);
  SambaShares(ctx, mounts, data["share"]);
  NfsExports(ctx, mounts, data["share"]);
  return true;
}

}  // namespace flxagent
