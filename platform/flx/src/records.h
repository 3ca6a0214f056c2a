// How each record maps to its table: one visitor per record names every stored field with its
// column, in column order. Schema, SELECT lists, binds and reads all follow that one order.
#ifndef FLX_RECORDS_H
#define FLX_RECORDS_H

#include <string>
#include <vector>

#include "flx.h"
#include "kevodb.h"

namespace flxreg {

// The version of the last step of schemaSteps(): what this library reads and writes.
constexpr int kSchemaVersion = 6;

// The numbered steps that make the registry's schema, oldest first; each CREATE is
// "IF NOT EXISTS", so a step completes a database made before versions were kept.
std::vector<kevo::SchemaStep> schemaSteps();

// Device columns, without `id`.
template <class Rec, class V>
void visitDevice(Rec& r, V&& v) {
  v("sn", r.sn);
  v("model_name", r.model_name);
  v("version", r.version);
  v("build_number", r.build_number);
  v("smallfix_number", r.smallfix_number);
  v("hostname", r.hostname);
  v("wol", r.wol);
  v("up_time", r.up_time);
  v("cluster_role", r.cluster_role);
  v("extra", r.extra);
  v("status", r.status);
  v("last_update", r.last_update);
}

// Application columns, without `id`; (qx_id, app_id) is the unique key.
template <class Rec, class V>
void visitApp(Rec& r, V&& v) {
  v("qx_id", r.qx_id);
  v("app_id", r.app_id);
  for (int i = 0; i < KEVOFLX_APP_LOCALE_COUNT; ++i) {
    v(std::string("name_") + kKevoFlxAppLocales[i], r.name[i]);
  }
  v("version", r.version);
  v("icon_mtime", r.icon_mtime);
  v("protocol", r.protocol);
  v("port", r.port);
  v("url", r.url);
  v("window_param", r.window_param);
  v("is_package", r.is_package);
  v("extra", r.extra);
  v("reserved", r.reserved);
  v("reserved2", r.reserved2);
}

// Package columns, without `id`; (qx_id, pkg_id) is the unique key.
template <class Rec, class V>
void visitPkg(Rec& r, V&& v) {
  v("qx_id", r.qx_id);
  v("pkg_id", r.pkg_id);
  v("display_name", r.display_name);
  for (int i = 0; i < KEVOFLX_PKG_LANG_COUNT; ++i) {
    v(std::string("display_name_") + kKevoFlxPkgLangs[i], r.display_names[i]);
  }
  v("version", r.version);
  v("version_bound_text", r.version_bound_text);
  v("status", r.status);
  v("report", r.report);
  v("dependencies", r.dependencies);
  v("conflicts", r.conflicts);
  v("startable", r.startable);
  v("silent_install", r.silent_install);
  v("silent_upgrade", r.silent_upgrade);
  v("silent_uninstall", r.silent_uninstall);
  v("version_bound_number", r.version_bound_number);
  v("version_bound_stamp", r.version_bound_stamp);
  v("reserved", r.reserved);
  v("reserved2", r.reserved2);
  v("reserved3", r.reserved3);
}

// Info columns, without `id`; one row per device.
template <class Rec, class V>
void visitInfo(Rec& r, V&& v) {
  v("qx_id", r.qx_id);
  v("mtime", r.mtime);
  v("cpu_cores", r.cpu_cores);
  v("mem_total", r.mem_total);
  v("cpu_model", r.cpu_model);
  v("cpu_vendor", r.cpu_vendor);
  v("timezone", r.timezone);
  v("time_server", r.time_server);
  v("dns_server", r.dns_server);
  v("gateway", r.gateway);
  v("json", r.json);
}

}  // namespace flxreg

#endif  // FLX_RECORDS_H
