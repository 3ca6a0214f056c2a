// basic/applications and basic/package: desktop applications and installed Debian packages.
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "agent.h"

namespace flxagent {

namespace {

const char kDpkgStatus[] = "/var/lib/dpkg/status";
const char kDpkgInfo[] = "/var/lib/dpkg/info";
const char kApplications[] = "/usr/share/applications";
const char kIconThemes[] = "/usr/share/icons";
const char kPixmaps[] = "/usr/share/pixmaps";
const char* const kUnitFolders[] = {"/lib/systemd/system/", "/usr/lib/systemd/system/"};
const int kLargeIcon = 256;
const int kSmallIcon = 32;

struct Package {
  std::string id, name, arch, version, maintainer, summary;
};

// The installed packages of dpkg's status file, in its order. A second architecture of the
// same package gets the id "name:arch".
bool InstalledPackages(const Context& ctx, std::vector<Package>& packages) {
  bool ok = false;
  std::istringstream in(ReadText(ctx.path(kDpkgStatus), &ok));
  if (!ok) return false;
  std::set<std::string> ids;
  std::map<std::string, std::string> fields;
  std::string line;
  const auto flush = [&]() {
    const std::string& status = fields["Status"];
    const bool installed =
        status.size() >= 10 && status.compare(status.size() - 10, 10, " installed") == 0;
    if (installed && !fields["Package"].empty()) {
      Package p;
      p.name = fields["Package"];
      p.arch = fields["Architecture"];
      p.id = ids.count(p.name) ? p.name + ":" + p.arch : p.name;
      p.version = fields["Version"];
      p.maintainer = fields["Maintainer"];
      p.summary = fields["Description"];
      if (ids.insert(p.id).second) packages.push_back(p);
    }
    fields.clear();
  };
  while (std::getline(in, line)) {
    if (Trim(line).empty()) {
      flush();
    } else if (line[0] == ' ' || line[0] == '\t') {
      continue;  // a continuation line: only the first line of a field is used
    } else {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      fields[line.substr(0, colon)] = Trim(line.substr(colon + 1));
    }
  }
  flush();
  return true;
}

// File path -> owning package name, for the files below the given folders, from dpkg's lists.
std::map<std::string, std::string> FileOwners(const Context& ctx,
                                              const std::vector<std::string>& folders) {
  std::map<std::string, std::string> owners;
  const std::string info = ctx.path(kDpkgInfo);
  for (const std::string& name : ListDir(info)) {
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".list") != 0) continue;
    const std::string package = name.substr(0, std::min(name.size() - 5, name.find(':')));
    std::istringstream in(ReadText(info + "/" + name));
    std::string line;
    while (std::getline(in, line)) {
      for (const std::string& folder : folders) {
        if (line.size() > folder.size() && StartsWith(line, folder.c_str())) {
          owners.emplace(line, package);
        }
      }
    }
  }
  return owners;
}

// ---- applications ----

struct Icon {
  int width = 0;
  std::string path;
};

// The width of a PNG file, 0 when it is not one.
int PngWidth(const std::string& path) {
  char buf[24];
  std::ifstream in(path, std::ios::binary);
  const std::string head(buf, in.read(buf, sizeof buf) ? sizeof buf : 0);
  if (head.size() < 24 || head.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return 0;
  const auto byte = [&head](size_t i) { return static_cast<unsigned char>(head[i]); };
  return static_cast<int>(byte(16) << 24 | byte(17) << 16 | byte(18) << 8 | byte(19));
}

// Folders of the icon themes that hold fixed-size PNG icons: <theme>/<N>x<N>/<category>.
std::vector<std::string> IconFolders(const Context& ctx) {
  std::vector<std::string> folders;
  std::vector<std::string> themes = ListDir(ctx.path(kIconThemes));
  // hicolor is every theme's fallback: look there first.
  std::stable_partition(themes.begin(), themes.end(),
                        [](const std::string& t) { return t == "hicolor"; });
  for (const std::string& theme : themes) {
    const std::string base = ctx.path(kIconThemes) + "/" + theme;
    for (const std::string& size : ListDir(base)) {
      if (size.find('x') == std::string::npos || !isdigit(static_cast<unsigned char>(size[0]))) {
        continue;
      }
      for (const std::string& category : ListDir(base + "/" + size)) {
        folders.push_back(base + "/" + size + "/" + category);
      }
    }
  }
  folders.push_back(ctx.path(kPixmaps));
  return folders;
}

std::vector<Icon> FindIcons(const Context& ctx, const std::vector<std::string>& folders,
                            const std::string& icon) {
  std::vector<Icon> found;
  if (icon.empty()) return found;
  if (icon[0] == '/') {
    const int w = PngWidth(ctx.path(icon));
    if (w > 0) found.push_back({w, ctx.path(icon)});
    return found;
  }
  if (icon.find('/') != std::string::npos) return found;
  const std::string file =
      icon.size() > 4 && icon.compare(icon.size() - 4, 4, ".png") == 0 ? icon : icon + ".png";
  for (const std::string& folder : folders) {
    const std::string path = folder + "/" + file;
    if (access(path.c_str(), R_OK) != 0) continue;
    const int w = PngWidth(path);
    if (w > 0) found.push_back({w, path});
  }
  return found;
}

void AddIcon(Json::Value& app, const char* key, const Icon& icon) {
  bool ok = false;
  const std::string bytes = ReadText(icon.path, &ok, 4u << 20);
  if (!ok) return;
  const std::string k = key;
  app[k] = Base64(bytes);
  app[k + "_mtime"] = static_cast<Json::Int>(FileMtime(icon.path));
  app[k + "_size"] = static_cast<Json::UInt64>(bytes.size());
}

// The largest PNG up to 256 px as "icon_256", the smallest from 32 px (else the largest) as
// "icon".
void AddIcons(Json::Value& app, std::vector<Icon> icons) {
  if (icons.empty()) return;
  std::stable_sort(icons.begin(), icons.end(),
                   [](const Icon& a, const Icon& b) { return a.width < b.width; });
  const Icon* large = nullptr;
  const Icon* small = nullptr;
  for (const Icon& i : icons) {
    if (i.width <= kLargeIcon) large = &i;
    if (small == nullptr && i.width >= kSmallIcon) small = &i;
  }
  if (small == nullptr) small = &icons.back();
  AddIcon(app, "icon", *small);
  if (large != nullptr) AddIcon(app, "icon_256", *large);
}

// The keys of a desktop file's [Desktop Entry] group.
std::map<std::string, std::string> DesktopEntry(const std::string& text) {
  std::map<std::string, std::string> keys;
  std::istringstream in(text);
  std::string line;
  bool inEntry = false;
  while (std::getline(in, line)) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    if (t[0] == '[') {
      inEntry = t == "[Desktop Entry]";
      continue;
    }
    const size_t eq = t.find('=');
    if (inEntry && eq != std::string::npos)
      keys.emplace(Trim(t.substr(0, eq)), Trim(t.substr(eq + 1)));
  }
  return keys;
}

Json::Value Names(const std::map<std::string, std::string>& keys) {
  Json::Value names(Json::objectValue);
  std::map<std::string, std::string> chosenLocale;
  for (const auto& kv : keys) {
    if (kv.first == "Name") {
      names["enu"] = kv.second;
    } else if (StartsWith(kv.first, "Name[") && kv.first.back() == ']') {
      const std::string locale = kv.first.substr(5, kv.first.size() - 6);
      const std::string code = HostLanguage(locale);
      if (code.empty() || code == "enu" || kv.second.empty()) continue;
      // Of "de" and "de_AT", the plain language wins.
      auto it = chosenLocale.find(code);
      if (it != chosenLocale.end() && it->second.size() <= locale.size()) continue;
      chosenLocale[code] = locale;
      names[code] = kv.second;
    }
  }
  return names;
}

bool Hidden(const std::map<std::string, std::string>& keys) {
  const auto is = [&keys](const char* key, const char* value) {
    auto it = keys.find(key);
    return it != keys.end() && it->second == value;
  };
  return is("NoDisplay", "true") || is("Hidden", "true") || !is("Type", "Application");
}

}  // namespace

bool CollectApplications(Context& ctx, Json::Value& data, std::string&) {
  data = Json::Value(Json::objectValue);
  data["applications"] = Json::Value(Json::arrayValue);
  std::vector<std::string> desktopFiles;
  for (const std::string& name : ListDir(ctx.path(kApplications))) {
    if (name.size() > 8 && name.compare(name.size() - 8, 8, ".desktop") == 0) {
      desktopFiles.push_back(name);
    }
  }
  if (desktopFiles.empty()) return true;
  std::vector<Package> packages;
  InstalledPackages(ctx, packages);
  std::map<std::string, std::string> versions;
  for (const Package& p : packages) versions.emplace(p.name, p.version);
  const auto owners = FileOwners(ctx, {std::string(kApplications) + "/"});
  const std::vector<std::string> iconFolders = IconFolders(ctx);
  for (const std::string& file : desktopFiles) {
    const auto keys =
        DesktopEntry(ReadText(ctx.path(kApplications) + "/" + file, nullptr, 1 << 20));
    if (Hidden(keys) || keys.count("Name") == 0) continue;
    Json::Value app(Json::objectValue);
    app["id"] = file.substr(0, file.size() - 8);
    app["name"] = Names(keys);
    auto owner = owners.find(std::string(kApplications) + "/" + file);
    const bool owned = owner != owners.end();
    app["version"] = owned ? versions[owner->second] : "";
    app["is_package"] = owned ? 1 : 0;
    Json::Value extra(Json::objectValue);
    if (owned) extra["package"] = owner->second;
    auto categories = keys.find("Categories");
    if (categories != keys.end()) extra["categories"] = categories->second;
    app["extra"] = extra;
    auto icon = keys.find("Icon");
    if (icon != keys.end()) AddIcons(app, FindIcons(ctx, iconFolders, icon->second));
    data["applications"].append(app);
  }
  return true;
}

// ---- packages ----

namespace {

// Packages with an active systemd service: the owner of its unit file (or, where that path
// differs from the one dpkg lists, of the unit in a packaged folder). Empty, with a note, when
// systemctl cannot say.
std::set<std::string> RunningPackages(Context& ctx) {
  std::set<std::string> running;
  if (!ctx.live() && !ctx.tools) return running;
  std::string out;
  int status = 0;
  if (!ctx.runTool({"systemctl", "show", "--no-pager", "--property=Id,ActiveState,FragmentPath",
                    "--", "*.service"},
                   out, status) ||
      status != 0) {
    ctx.note("package states not collected: systemctl cannot show services here; all are \"stop\"");
    return running;
  }
  const std::map<std::string, std::string> services = ActiveServices(out);
  if (services.empty()) return running;
  const auto owners = FileOwners(ctx, {kUnitFolders[0], kUnitFolders[1]});
  for (const auto& service : services) {
    auto it = owners.find(service.second);
    for (const char* folder : kUnitFolders) {
      if (it == owners.end()) it = owners.find(folder + service.first);
    }
    if (it != owners.end()) running.insert(it->second);
  }
  return running;
}

// A value of the INFO file: one line, no double quotes.
std::string InfoValue(std::string value) {
  for (char& c : value) c = (c == '\n' || c == '\r' || c == '"') ? ' ' : c;
  return value;
}

std::string InfoFile(const Package& p) {
  std::string info = "package=\"" + InfoValue(p.name) + "\"\n";
  info += "version=\"" + InfoValue(p.version) + "\"\n";
  info += "displayname=\"" + InfoValue(p.summary.empty() ? p.name : p.summary) + "\"\n";
  info += "maintainer=\"" + InfoValue(p.maintainer) + "\"\n";
  info += "arch=\"" + InfoValue(p.arch) + "\"\n";
  if (StartsWith(p.maintainer, "http://") || StartsWith(p.maintainer, "https://")) {
    info += "report_url=\"" + InfoValue(p.maintainer) + "\"\n";
  }
  return info;
}

bool Selected(const Context& ctx, const Package& p) {
  if (ctx.packagePatterns.empty()) return true;
  for (const std::string& pattern : ctx.packagePatterns) {
    if (fnmatch(pattern.c_str(), p.name.c_str(), 0) == 0) return true;
  }
  return false;
}

}  // namespace

bool CollectPackages(Context& ctx, Json::Value& data, std::string& why) {
  std::vector<Package> packages;
  if (!InstalledPackages(ctx, packages)) {
    why = std::string("cannot read dpkg's status file ") + kDpkgStatus;
    return false;
  }
  int32_t build = 0;
  VersionText(ReadText(ctx.path("/etc/os-release")), &build);
  if (build == 0) VersionText(ReadText(ctx.path("/usr/lib/os-release")), &build);
  const std::set<std::string> running = RunningPackages(ctx);
  const int64_t statusMtime = FileMtime(ctx.path(kDpkgStatus));
  data = Json::Value(Json::objectValue);
  data["qxm_build"] = build;
  // No package limits on a plain Linux machine: an empty limit file.
  data["packagelimit"] = PushedFile("", 0);
  data["packages"] = Json::Value(Json::arrayValue);
  for (const Package& p : packages) {
    if (!Selected(ctx, p)) continue;
    Json::Value entry(Json::objectValue);
    entry["id"] = p.id;
    entry["version"] = p.version;
    entry["status"] = running.count(p.name) ? "running" : "stop";
    // The list file changes when the package is installed or upgraded.
    const std::string info = ctx.path(kDpkgInfo) + "/" + p.name;
    int64_t mtime = FileMtime(info + ".list");
    if (mtime == 0) mtime = FileMtime(info + ":" + p.arch + ".list");
    entry["info"] = PushedFile(InfoFile(p), mtime != 0 ? mtime : statusMtime);
    data["packages"].append(entry);
  }
  return true;
}

}  // namespace flxagent
