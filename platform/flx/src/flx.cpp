// Devices and sessions of the registry, and the locale tables.
#include "flx.h"
#include "flx_schema.h"

#include <time.h>

#include "records.h"
#include "registry_db.h"

const char* const kKevoFlxAppLocales[KEVOFLX_APP_LOCALE_COUNT] = {
    "enu", "cht", "chs", "krn", "ger", "fre", "ita", "spn", "jpn", "dan",
    "nor", "sve", "nld", "rus", "plk", "ptb", "ptg", "hun", "trk", "csy"};

const char* const kKevoFlxPkgLangs[KEVOFLX_PKG_LANG_COUNT] = {
    "cht", "chs", "krn", "ger", "fre", "ita", "spn", "jpn", "dan", "nor",
    "sve", "nld", "rus", "plk", "ptb", "ptg", "hun", "trk", "csy"};

using namespace flxreg;

namespace {

const std::vector<std::string>& deviceColumns() {
  static const std::vector<std::string> cols = [] {
    KEVOFLX_QX rec;
    ColumnNames names;
    visitDevice(rec, names);
    return names.names;
  }();
  return cols;
}

void readDevice(Stmt& st, KEVOFLX_QX& rec) {
  st.read(rec.id);
  visitDevice(rec, Reader{st});
}

}  // namespace

// --- sessions ---

bool KEVOFLXQxCheckWebapiPriviege(const std::string& sid, const std::string& apiClass,
                                  std::string& sn) {
  return guarded("check session", false, [&] {
    if (sid.size() < KEVOFLX_MIN_SID_LENGTH) return failInvalid() == 0;
    Db db;
    if (!db.ok()) return false;
    Stmt st(db, "SELECT s.sn FROM " KEVOFLX_TABLE_SESSIONS " s JOIN " KEVOFLX_TABLE_DEVICES
                " d ON d.sn = s.sn"
                " WHERE s.sid = ? AND s.api_class = ? AND (s.expiry = 0 OR s.expiry > ?)");
    st.bind(sid);
    st.bind(apiClass);
    st.bind(static_cast<int64_t>(time(nullptr)));
    if (st.step() != SQLITE_ROW) return false;
    st.read(sn);
    return true;
  });
}

int KEVOFLXSessionCreate(const std::string& sid, const std::string& sn, const std::string& apiClass,
                         int64_t expiry) {
  return guarded("create session", -1, [&] {
    if (sid.size() < KEVOFLX_MIN_SID_LENGTH || sn.empty() || expiry < 0) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_SESSIONS
                "(sid, sn, api_class, expiry) VALUES(?, ?, ?, ?)");
    st.bind(sid);
    st.bind(sn);
    st.bind(apiClass.empty() ? std::string(KEVOFLX_DEFAULT_API_CLASS) : apiClass);
    st.bind(expiry);
    return st.run() ? 0 : -1;
  });
}

int KEVOFLXSessionDelete(const std::string& sid) {
  return guarded("remove session", -1, [&] {
    if (sid.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "DELETE FROM " KEVOFLX_TABLE_SESSIONS " WHERE sid = ?");
    st.bind(sid);
    return runChange(db, st);
  });
}

// --- devices ---

int KEVOFLXQxList(const KVSZHASH* pFilter, KEVOFLX_QX** ppList, int* pTotal) {
  return guarded("list devices", -1, [&] {
    if (ppList == nullptr) return failInvalid();
    *ppList = nullptr;
    if (pTotal != nullptr) *pTotal = 0;
    const char* sn = pFilter != nullptr ? KVLIBSzHashGetValue(pFilter, "sn") : nullptr;
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, selectSql(KEVOFLX_TABLE_DEVICES, deviceColumns()) +
                    (sn != nullptr ? " WHERE sn = ?" : "") + " ORDER BY id");
    if (sn != nullptr) st.bind(std::string(sn));
    return collectRows(st, ppList, pTotal, [&](KEVOFLX_QX& rec) { readDevice(st, rec); });
  });
}

void KEVOFLXQxListFree(KEVOFLX_QX** ppList) {
  if (ppList == nullptr) return;
  freeChain(*ppList);
  *ppList = nullptr;
}

int KEVOFLXQxGetBySN(const char* sn, KEVOFLX_QX* pRec) {
  return guarded("read device", -1, [&] {
    if (sn == nullptr || *sn == '\0' || pRec == nullptr) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, selectSql(KEVOFLX_TABLE_DEVICES, deviceColumns()) + " WHERE sn = ?");
    st.bind(std::string(sn));
    int rc = st.step();
    if (rc == SQLITE_DONE) FLXREG_ERR(KVERR_NOT_FOUND);
    if (rc != SQLITE_ROW) return -1;
    readDevice(st, *pRec);
    return 0;
  });
}

int KEVOFLXQxItemSetStatus(KEVOFLX_QX* pRec, int status) {
  if (pRec == nullptr || status < KEVOFLX_QX_STATUS_UNKNOWN || status > KEVOFLX_QX_STATUS_ONLINE) {
    return failInvalid();
  }
  pRec->status = status;
  return 0;
}

int KEVOFLXQxSet(KEVOFLX_QX* pRec) {
  return guarded("store device", -1, [&] {
    if (pRec == nullptr || pRec->id == 0 || pRec->sn.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    pRec->last_update = static_cast<int64_t>(time(nullptr));
    Stmt st(db, "UPDATE " KEVOFLX_TABLE_DEVICES " SET " + joinColumns(deviceColumns(), " = ?") +
                    " WHERE id = ?");
    visitDevice(*pRec, Binder{st});
    st.bind(pRec->id);
    return runChange(db, st);
  });
}

int KEVOFLXQxCreate(const std::string& sn, const std::string& hostname, uint64_t* pId) {
  return guarded("create device", -1, [&] {
    if (sn.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "INSERT INTO " KEVOFLX_TABLE_DEVICES
                "(sn, hostname, status, last_update) VALUES(?, ?, ?, ?)"
                " RETURNING id");
    st.bind(sn);
    st.bind(hostname);
    st.bind(static_cast<int64_t>(KEVOFLX_QX_STATUS_REGISTERED));
    st.bind(static_cast<int64_t>(time(nullptr)));
    if (st.step() != SQLITE_ROW) return -1;
    uint64_t id = 0;
    st.read(id);
    if (!st.run()) return -1;
    if (pId != nullptr) *pId = id;
    return 0;
  });
}

// Sessions, applications, packages and info go with the device (foreign keys cascade).
int KEVOFLXQxDelete(const std::string& sn) {
  return guarded("remove device", -1, [&] {
    if (sn.empty()) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db, "DELETE FROM " KEVOFLX_TABLE_DEVICES " WHERE sn = ?");
    st.bind(sn);
    return runChange(db, st);
  });
}
