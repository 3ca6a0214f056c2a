// The inventory page: a fixed set of files from the installed webapi folder. Request paths
// select a file from the table below; none is ever joined into a path.
#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host.h"
#include "kevoroot.h"

namespace webapihost {

namespace {

struct PageFile {
  const char* url;
  const char* file;
  const char* mime;
};

// clang-format off
const PageFile kPageFiles[] = {
    {"/",                          "index.html",    "text/html; charset=utf-8"},
    {"/inventory/",                "index.html",    "text/html; charset=utf-8"},
    {"/inventory.css",             "inventory.css", "text/css; charset=utf-8"},
    {"/inventory/inventory.css",   "inventory.css", "text/css; charset=utf-8"},
    {"/inventory.js",              "inventory.js",  "text/javascript; charset=utf-8"},
    {"/inventory/inventory.js",    "inventory.js",  "text/javascript; charset=utf-8"},
    // The chart library where Debian installs it (nginx serves /javascript/ from there too).
    {"/javascript/chart.js/chart.min.js", "/usr/share/javascript/chart.js/chart.min.js", "text/javascript; charset=utf-8"},
};
// clang-format on

// Pages are small; a larger file is a mistake in the installation, not something to send.
const off_t kMaxPageBytes = 4 << 20;

bool ReadPageFile(const std::string& path, std::string& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxPageBytes;
  if (ok) {
    out.assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (ok && done < out.size()) {
      const ssize_t n = read(fd, &out[done], out.size() - done);
      ok = n > 0;
      if (ok) done += static_cast<size_t>(n);
    }
  }
  close(fd);
  return ok;
}

}  // namespace

std::string PageDir() {
  return std::string(KEVORootPrefix()) + KEVO_WEBAPI_DIR + "/www";
}

void ServeStaticPage(httplib::Server& server, const std::string& dir) {
  for (const PageFile& page : kPageFiles) {
    // Read at each request: an updated installation shows without a restart.
    server.Get(page.url, [dir, page](const httplib::Request&, httplib::Response& res) {
      std::string body;
      const std::string file = page.file[0] == '/' ? page.file : dir + "/" + page.file;
      if (!ReadPageFile(file, body)) {
        res.status = 404;
        res.set_content("the inventory page is not installed in " + dir + "\n", "text/plain");
        return;
      }
      res.set_header("Cache-Control", "no-cache");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_content(body, page.mime);
    });
  }
  server.Get("/inventory", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/inventory/");
  });
}

}  // namespace webapihost
