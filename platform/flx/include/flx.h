// Device registry library: the host's records of managed devices, their sessions,
// applications, packages and extended information, kept in the registry database.
//
// The process keeps one connection (WAL; a lock is waited out as the cache database does),
// opened with root's ids, and creates the schema when it is missing. A failure of the
// database is logged with the operation and SQLite's text. Bad arguments give a negative
// result (or false) and set the error slot of the core library; nothing here throws. Lists
// are allocated by the library, chained through `pNext`, and released by their list-free call
// (also when the head is null).
#ifndef FLX_H
#define FLX_H

#include <json/value.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "kevocore.h"

#define KEVOFLX_DEFAULT_API_CLASS "KEVO.FLX.RPC"
#define KEVOFLX_APP_LOCALE_COUNT 20
#define KEVOFLX_PKG_LANG_COUNT 19

// Locale codes of the application names, in the order of `_tag_kevo_flx_app_::name`
// ("enu" first: the default name).
extern const char* const kKevoFlxAppLocales[KEVOFLX_APP_LOCALE_COUNT];
// Language codes of the package display names, in the order of
// `_tag_kevo_flx_pkg_::display_names` ("enu" is the separate default display name).
extern const char* const kKevoFlxPkgLangs[KEVOFLX_PKG_LANG_COUNT];

// Device status values.
#define KEVOFLX_QX_STATUS_UNKNOWN 0
#define KEVOFLX_QX_STATUS_REGISTERED 1
#define KEVOFLX_QX_STATUS_ONLINE 2

// Error slot codes of the registry, besides the core library's own: the registry database
// failed (cannot be opened, or a statement failed), and a key that must be unique exists.
#define KEVOFLX_ERR_DATABASE 0x0E00u
#define KEVOFLX_ERR_EXISTS 0x0F00u

// A managed device. `id` is the registry's device id.
struct _tag_kevo_flx_qx_ {
  _tag_kevo_flx_qx_* pNext = nullptr;
  uint64_t id = 0;
  std::string sn;
  std::string model_name;
  std::string version;
  int64_t build_number = 0;
  int64_t smallfix_number = 0;
  std::string hostname;
  int64_t wol = 0;
  uint64_t up_time = 0;
  int64_t cluster_role = 0;
  std::string extra;  // JSON object text
  int32_t status = 0;
  int64_t last_update = 0;  // seconds since the epoch of the last KEVOFLXQxSet
};

// An application of a device, keyed by (qx_id, app_id).
struct _tag_kevo_flx_app_ {
  _tag_kevo_flx_app_* pNext = nullptr;
  int32_t reserved = 0;
  uint64_t id = 0;  // registry id
  int64_t reserved2 = 0;
  uint64_t qx_id = 0;
  std::string app_id;
  std::string name[KEVOFLX_APP_LOCALE_COUNT];  // kKevoFlxAppLocales order; [0] is "enu"
  std::string version;
  int64_t icon_mtime = 0;
  std::string protocol;
  int32_t port = 0;
  std::string url;
  std::string window_param;
  int32_t is_package = 0;
  std::string extra;  // JSON object text, or empty
};

// A package of a device, keyed by (qx_id, pkg_id).
struct _tag_kevo_flx_pkg_ {
  _tag_kevo_flx_pkg_* pNext = nullptr;
  int32_t reserved = 0;
  uint64_t id = 0;  // registry id
  int64_t reserved2 = 0;
  std::string pkg_id;
  std::string display_name;
  std::string display_names[KEVOFLX_PKG_LANG_COUNT];  // kKevoFlxPkgLangs order
  std::string version;
  std::string version_bound_text;
  int32_t status = 0;
  int32_t reserved3 = 0;
  int32_t report = 0;
  std::string dependencies;
  std::string conflicts;
  int32_t startable = 1;
  int32_t silent_install = 0;
  int32_t silent_upgrade = 0;
  int32_t silent_uninstall = 0;
  int32_t version_bound_number = 0;
  uint64_t version_bound_stamp = 0;
  uint64_t qx_id = UINT64_MAX;
};

// Extended information of a device: five numbers, then seven texts. `json` keeps the whole
// pushed object; the other fields are the members that the registry understands.
struct _tag_kevo_flx_info_ {
  int64_t id = 0;     // registry id
  int64_t mtime = 0;  // seconds since the epoch when it was stored
  int64_t qx_id = -1;
  int64_t cpu_cores = 0;
  int64_t mem_total = 0;  // bytes
  std::string cpu_model;
  std::string cpu_vendor;
  std::string timezone;
  std::string time_server;
  std::string dns_server;
  std::string gateway;
  std::string json;
};

typedef _tag_kevo_flx_qx_ KEVOFLX_QX;
typedef _tag_kevo_flx_app_ KEVOFLX_APP;
typedef _tag_kevo_flx_pkg_ KEVOFLX_PKG;
typedef _tag_kevo_flx_info_ KEVOFLX_INFO;

// --- sessions ---
// The shortest session id the registry creates or accepts: a session id is all a device needs
// to push, and a short one can be guessed.
#define KEVOFLX_MIN_SID_LENGTH 16
// True when session `sid` exists, has not expired, its API class equals `apiClass` and its
// device exists; `sn` then holds the device's serial number. An id shorter than
// KEVOFLX_MIN_SID_LENGTH is refused (invalid argument), even one stored by other means.
bool KEVOFLXQxCheckWebapiPriviege(const std::string& sid, const std::string& apiClass,
                                  std::string& sn);
// Creates session `sid` for device `sn` (an empty `apiClass` means KEVOFLX_DEFAULT_API_CLASS;
// `expiry` 0 means never, else seconds since the epoch). Negative on failure, and for an id
// shorter than KEVOFLX_MIN_SID_LENGTH.
int KEVOFLXSessionCreate(const std::string& sid, const std::string& sn, const std::string& apiClass,
                         int64_t expiry);
// Removes a session. Negative when it does not exist or on failure.
int KEVOFLXSessionDelete(const std::string& sid);

// --- devices ---
// Lists the devices matching the filter's "sn" (every device without one). `*ppList` is
// the head (null when none matches) and `*pTotal` the count. Negative on failure.
int KEVOFLXQxList(const KVSZHASH* pFilter, KEVOFLX_QX** ppList, int* pTotal);
void KEVOFLXQxListFree(KEVOFLX_QX** ppList);
// Fills `pRec` with the device of serial number `sn`. Negative when unknown or on failure.
int KEVOFLXQxGetBySN(const char* sn, KEVOFLX_QX* pRec);
// Sets the record's status field (stored by KEVOFLXQxSet). Negative on bad arguments.
int KEVOFLXQxItemSetStatus(KEVOFLX_QX* pRec, int status);
// Stores every field of an existing device record (by `id`). Negative on failure.
int KEVOFLXQxSet(KEVOFLX_QX* pRec);
// Registers a device; its new id goes to `*pId`. Negative when the serial number exists.
int KEVOFLXQxCreate(const std::string& sn, const std::string& hostname, uint64_t* pId);
// Removes a device with its sessions, applications, packages and info. Negative when
// unknown or on failure.
int KEVOFLXQxDelete(const std::string& sn);

// --- extended information ---
// Fills `pInfo` from a JSON object that holds "qx_id". Negative on failure.
int KEVOFLXInfoJsonToStruct(const Json::Value& obj, KEVOFLX_INFO* pInfo);
// Stores the device's info record, replacing the earlier one. Negative on failure.
int KEVOFLXInfoCreate(KEVOFLX_INFO* pInfo);
// Fills `pInfo` with the stored info of device `qxId`. Negative when none or on failure.
int KEVOFLXInfoGet(uint64_t qxId, KEVOFLX_INFO* pInfo);

// --- applications ---
// Lists the applications of the filter's "qx_id". As KEVOFLXQxList.
int KEVOFLXAppList(const KVSZHASH* pFilter, KEVOFLX_APP** ppList, int* pTotal);
// The record after `pRec` in its list, or null.
KEVOFLX_APP* KEVOFLXAppNext(KEVOFLX_APP* pRec);
void KEVOFLXAppListFree(KEVOFLX_APP** ppList);
// Creates or replaces the application (qx_id, app_id). Negative on failure.
int KEVOFLXAppSet(KEVOFLX_APP* pRec);
// Deletes the application with registry id `id`. Negative when unknown or on failure.
int KEVOFLXAppDelete(uint64_t id);

// --- packages ---
// Lists the packages of the filter's "qx_id". As KEVOFLXQxList.
int KEVOFLXPkgList(const KVSZHASH* pFilter, KEVOFLX_PKG** ppList, int* pTotal);
void KEVOFLXPkgListFree(KEVOFLX_PKG** ppList);
// Fills `pRec` with the stored package (qxId, pkgId). Negative when none or on failure.
int KEVOFLXPkgGetBy(uint64_t qxId, const char* pkgId, KEVOFLX_PKG* pRec);
// Resets the record: texts empty, numbers 0, startable 1, qx_id all bits set.
void KEVOFLXPkgClear(KEVOFLX_PKG* pRec);
// Creates or replaces the package (qx_id, pkg_id). Negative on failure.
int KEVOFLXPkgSet(KEVOFLX_PKG* pRec);
// Deletes the package with registry id `id`. Negative when unknown or on failure.
int KEVOFLXPkgDelete(uint64_t id);

// --- operators ---
// An operator who may read the inventory. The token itself is never stored, only its hash.
struct KEVOFLX_OPERATOR {
  std::string name;
  int64_t created = 0;    // seconds since the epoch
  int64_t expiry = 0;     // 0: never
  int64_t last_used = 0;  // 0: never (to within KEVOFLX_LAST_USE_STEP)
};
// Adds operator `name` with the hash of its token. Negative when the name exists (error slot
// KEVOFLX_ERR_EXISTS) or on failure.
int KEVOFLXOperatorCreate(const std::string& name, const std::string& tokenHash);
// Removes an operator. Negative when unknown (KVERR_NOT_FOUND) or on failure.
int KEVOFLXOperatorDelete(const std::string& name);
// Every operator, by name. Negative on failure.
int KEVOFLXOperatorList(std::vector<KEVOFLX_OPERATOR>& out);

// --- liveness, token expiry, push key use, session times (liveness.cpp) ---
// How often a last-use time is written at most, per token or key: reads of it are told
// "within a minute".
#define KEVOFLX_LAST_USE_STEP 60
// Records that device `sn` pushed and was answered at `arrival`; `collectTime` is the newest
// collect time of the push's items (0: none). An unknown device is no failure (it may have
// been removed meanwhile). Negative on failure.
int KEVOFLXContactNote(const std::string& sn, int64_t arrival, int64_t collectTime);
// One answered push's contact, for KEVOFLXContactNotes.
struct KEVOFLX_CONTACT {
  std::string sn;
  int64_t arrival = 0;
  int64_t collect_time = 0;
};
// Records several contacts, in order, in one transaction (one commit for a worker's batch).
// Negative, with nothing written, when one of them is invalid or on failure.
int KEVOFLXContactNotes(const std::vector<KEVOFLX_CONTACT>& contacts);
// Sets when operator `name`'s token expires (0: never). Negative when unknown or on failure.
int KEVOFLXOperatorSetExpiry(const std::string& name, int64_t expiry);
// Notes that operator `name`'s token was used at `now`; the stored time moves only when it is
// KEVOFLX_LAST_USE_STEP older. Negative on failure.
int KEVOFLXOperatorTouch(const std::string& name, int64_t now);
// Notes that push key `keyId` deciphered a push at `now` (stored as KEVOFLXOperatorTouch).
int KEVOFLXKeyUsed(const std::string& keyId, int64_t now);
// When each key id last deciphered a push (key id -> seconds). Negative on failure.
int KEVOFLXKeyUseList(std::vector<std::pair<std::string, int64_t>>& out);
// Forgets the use of a retired key. Negative on failure (an unknown id is none).
int KEVOFLXKeyUseForget(const std::string& keyId);
// A push session as an operator sees it: never its id.
struct KEVOFLX_SESSION {
  std::string sn;
  std::string api_class;
  int64_t created = 0;  // seconds since the epoch; 0 when unknown (made before it was kept)
  int64_t expiry = 0;   // 0: never
};
// The sessions of device `sn` (empty: every device), by device then creation. Negative on
// failure.
int KEVOFLXSessionList(const std::string& sn, std::vector<KEVOFLX_SESSION>& out);

// --- schema ---
// The registry schema version this library reads and writes (the database's user_version).
int KEVOFLXSchemaVersion();
// Brings the registry database's schema up to date, creating the database when missing, by
// running each numbered step it has not had once, in a transaction of its own. Only the
// operator's tool calls it: operations refuse an older schema instead. `*pFrom` gets the
// version found. Negative, with `error` saying what failed, on failure.
int KEVOFLXSchemaMigrate(int* pFrom, std::string& error);

#endif  // FLX_H
