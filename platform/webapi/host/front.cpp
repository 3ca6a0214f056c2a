// The private nginx front of `--listen`: the shipped site, moved into a folder of its own.
#include <sstream>

#include "host.h"

namespace webapihost {

namespace {

bool Has(const std::string& line, const char* text) {
  return line.find(text) != std::string::npos;
}

}  // namespace

bool FrontConfig(const std::string& listen, const std::string& fastcgi, const std::string& www,
                 const std::string& prefix, const std::string& user, std::string& conf,
                 std::string& err) {
  // Each rewrite must find its line: a site that lost one would serve the wrong thing.
  struct Rewrite {
    const char* find;
    std::string with;  // empty: the line goes
    bool found;
  } rewrites[] = {
      // A thousand clients at once wait in the queue rather than resend their SYN a second
      // later.
      {"listen 443 ssl", "    listen " + listen + " backlog=4096;", false},
      {"listen [::]:443 ssl", "", false},
      {"ssl_certificate ", "", false},
      {"ssl_certificate_key", "", false},
      {"ssl_protocols", "", false},
      {"ssl_session_cache", "", false},
      {"ssl_session_timeout", "", false},
      {"Strict-Transport-Security", "", false},  // HSTS belongs to the TLS server only
      {"server unix:/run/flx-webapi-host/fastcgi.sock;", "    server " + fastcgi + ";", false},
      {"/var/log/nginx/flx-webapi.access.log",
       "    access_log " + prefix + "/access.log flx_webapi;", false},
      {"/var/log/nginx/flx-webapi.error.log", "    error_log " + prefix + "/error.log;", false},
      {"alias /var/packages/FLX/target/webapi/www/;", "        alias " + www + "/;", false},
      {"root /var/packages/FLX/target/webapi/www;", "        root " + www + ";", false},
  };
  std::ostringstream out;
  out << "# Made by flx-webapi-host from its built-in copy of deploy/nginx/flx-webapi.conf.\n"
      << (user.empty() ? "" : "user " + user + ";\n") << "daemon off;\nworker_processes auto;\n"
      << "worker_rlimit_nofile 8192;\npid " << prefix << "/nginx.pid;\nerror_log " << prefix
      << "/error.log;\nevents { worker_connections 4096; }\nhttp {\n"
      << "  types { text/html html; text/css css; text/javascript js; image/png png; "
         "image/svg+xml svg; application/json json; }\n"
      << "  default_type application/octet-stream;\n  sendfile on;\n  tcp_nodelay on;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    out << "  " << temp << "_temp_path " << prefix << "/" << temp << ";\n";
  std::istringstream site(ShippedSite());
  for (std::string line; std::getline(site, line);) {
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos || line[first] == '#') continue;  // its comments stay there
    Rewrite* hit = nullptr;
    for (Rewrite& r : rewrites) {
      if (hit == nullptr && Has(line, r.find)) hit = &r;
    }
    if (hit == nullptr) {
      out << line << "\n";
      continue;
    }
    hit->found = true;
    if (!hit->with.empty()) out << hit->with << "\n";
  }
  out << "}\n";
  for (const Rewrite& r : rewrites) {
    if (!r.found) {
      err = std::string("the built-in nginx site lacks the line with '") + r.find + "'";
      return false;
    }
  }
  conf = out.str();
  return true;
}

}  // namespace webapihost
