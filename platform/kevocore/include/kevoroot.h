// The root prefix of every fixed absolute path of the system.
//
// Release builds use the prefix fixed at build time (empty: the real paths). Test builds let
// the FLX_ROOT environment variable replace it, so that every test gets a root of its own;
// release builds never read the environment, since the host writes with saved user id 0.
#ifndef KEVOROOT_H
#define KEVOROOT_H

#include <stdio.h>
#include <stdlib.h>

#ifndef FLX_ROOT_DEFAULT
#define FLX_ROOT_DEFAULT ""
#endif

// Fixed paths below the root.
#define KEVO_CACHE_DB_PATH "/var/packages/FLX/target/db/flx_db.sqlite"
#define KEVO_REGISTRY_DB_PATH "/var/packages/FLX/target/db/flx_registry.sqlite"
#define KEVO_QXINFO_DIR "/var/packages/FLX/target/qxinfo"
#define KEVO_PUSH_KEY_PATH "/var/packages/FLX/target/etc/push.key"
// Keys still accepted after a rotation (folder 0700, files 0600), newest name first.
#define KEVO_PUSH_KEYS_DIR "/var/packages/FLX/target/etc/push.keys.d"
#define KEVO_LIB_DIR "/var/packages/FLX/target/lib"
#define KEVO_WEBAPI_DIR "/var/packages/FLX/target/webapi"
// Folder of the per-device lock files.
#define KEVO_LOCK_DIR "/var/packages/FLX/target/lock"
#define KEVO_HOST_CONF_PATH "/etc.defaults/kevoinfo.conf"
// The host's small CA (join lines pin its public key) and the certificate it signed for the
// site (with the CA after it, so that a machine enrolling sees the CA in the handshake).
#define KEVO_TLS_DIR "/etc/ssl/flx"
#define KEVO_CA_CERT_PATH "/etc/ssl/flx/ca.crt"
#define KEVO_CA_KEY_PATH "/etc/ssl/flx/ca.key"
#define KEVO_SITE_CERT_PATH "/etc/ssl/flx/flx-webapi.crt"
#define KEVO_SITE_KEY_PATH "/etc/ssl/flx/flx-webapi.key"

#ifdef __cplusplus
extern "C" {
#endif

// The current root prefix (never NULL; empty for the real paths).
static inline const char* KEVORootPrefix(void) {
#ifdef FLX_TESTING
  const char* env = getenv("FLX_ROOT");
  if (env != NULL) return env;
#endif
  return FLX_ROOT_DEFAULT;
}

// Writes the root prefix followed by `path` into `buf`. Returns snprintf's result: the
// length wanted, so a result >= size means the path was cut.
static inline int KEVORootPath(char* buf, size_t size, const char* path) {
  return snprintf(buf, size, "%s%s", KEVORootPrefix(), path);
}

#ifdef __cplusplus
}
#endif

#endif  // KEVOROOT_H
