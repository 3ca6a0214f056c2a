// Application icons from a device's mirror folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "flx_schema.h"
#include "kevohandle.h"
#include "kevopath.h"
#include "kevoroot.h"
#include "read_db.h"

namespace flxread {
namespace {

// Icons are small pictures; anything larger is not served.
const off_t kMaxIconBytes = 1 << 20;

// The icon file names in `dir`, sorted: regular "*.png" entries only.
std::vector<std::string> iconNames(const std::string& dir) {
  std::vector<std::string> names;
  kevo::Dir d(opendir(dir.c_str()));
  if (!d) return names;
  while (const struct dirent* e = readdir(d.get())) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Reads a regular file of at most kMaxIconBytes without following a symbolic link.
bool readIcon(const std::string& path, std::string& png, int64_t& mtime) {
  // Never waits on a planted FIFO: its type is checked once it is open.
  kevo::Fd f(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (f.get() < 0 || fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxIconBytes)
    return false;
  std::string data(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = read(f.get(), &data[done], data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  png.swap(data);
  mtime = st.st_mtime;
  return true;
}

Result icon(const std::string& sn, const std::string& appId, const std::string& key,
            std::string& png, int64_t& mtime, std::string& err) {
  if (!isSafePathComponent(appId) || (!key.empty() && !isSafePathComponent(key + ".png"))) {
    err = "application id or icon key is not a file name";
    return kBadArgument;
  }
  ReadDb db;
  Query q(db, "SELECT d.id FROM " KEVOFLX_TABLE_DEVICES " d JOIN " KEVOFLX_TABLE_APPS
              " a ON a.qx_id = d.id WHERE d.sn = ? AND a.app_id = ?");
  q.bind(sn).bind(appId);
  const int rc = q.step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return storeFailed(db, err);
  if (rc == SQLITE_DONE) {
    err = "device '" + sn + "' has no application '" + appId + "'";
    return kNotFound;
  }
  const std::string dir = std::string(KEVORootPrefix()) + KEVO_QXINFO_DIR + "/" +
                          std::to_string(q.i64(0)) + "/apps/" + appId;
  // The file name comes from the folder's own listing, never from the request.
  for (const std::string& name : iconNames(dir)) {
    if (!key.empty() && name != key + ".png") continue;
    if (readIcon(dir + "/" + name, png, mtime)) return kOk;
  }
  err = "no icon of application '" + appId + "' in the mirror of '" + sn + "'";
  return kNotFound;
}

}  // namespace

Result appIcon(const std::string& sn, const std::string& appId, const std::string& key,
               std::string& png, int64_t& mtime, std::string& err) {
  return guarded(err, [&] { return icon(sn, appId, key, png, mtime, err); });
}

}  // namespace flxread
