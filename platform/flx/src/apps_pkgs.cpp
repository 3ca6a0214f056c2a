// Applications and packages of a device: both keyed by (device id, their own id text), both
// listed by a "qx_id" filter, created or replaced in place so that the registry id stays.
#include "flx.h"
#include "flx_schema.h"
#include "records.h"
#include "registry_db.h"

using namespace flxreg;

namespace {

struct AppTable {
  typedef KEVOFLX_APP Rec;
  static constexpr const char* kName = KEVOFLX_TABLE_APPS;
  static constexpr const char* kKeys = "qx_id, app_id";
  template <class R, class V>
  static void visit(R& r, V&& v) {
    visitApp(r, v);
  }
};

struct PkgTable {
  typedef KEVOFLX_PKG Rec;
  static constexpr const char* kName = KEVOFLX_TABLE_PKGS;
  static constexpr const char* kKeys = "qx_id, pkg_id";
  template <class R, class V>
  static void visit(R& r, V&& v) {
    visitPkg(r, v);
  }
};

template <class T>
const std::vector<std::string>& columns() {
  static const std::vector<std::string> cols = [] {
    typename T::Rec rec;
    ColumnNames names;
    T::visit(rec, names);
    return names.names;
  }();
  return cols;
}

template <class T>
void readRow(Stmt& st, typename T::Rec& rec) {
  st.read(rec.id);
  T::visit(rec, Reader{st});
}

template <class T>
int listRows(const KVSZHASH* pFilter, typename T::Rec** ppList, int* pTotal) {
  if (ppList == nullptr) return failInvalid();
  *ppList = nullptr;
  if (pTotal != nullptr) *pTotal = 0;
  const char* qx = pFilter != nullptr ? KVLIBSzHashGetValue(pFilter, "qx_id") : nullptr;
  uint64_t qxId = 0;
  if (qx != nullptr && !parseU64(qx, qxId)) return failInvalid();
  Db db;
  if (!db.ok()) return -1;
  Stmt st(db, selectSql(T::kName, columns<T>()) + (qx != nullptr ? " WHERE qx_id = ?" : "") +
                  " ORDER BY id");
  if (qx != nullptr) st.bind(qxId);
  return collectRows(st, ppList, pTotal, [&](typename T::Rec& rec) { readRow<T>(st, rec); });
}

// The record's id is set to the registry id of the stored row.
template <class T>
int upsertRow(typename T::Rec* pRec) {
  Db db;
  if (!db.ok()) return -1;
  Stmt st(db, upsertSql(T::kName, columns<T>(), T::kKeys));
  T::visit(*pRec, Binder{st});
  if (st.step() != SQLITE_ROW) return -1;
  uint64_t id = 0;
  st.read(id);
  if (!st.run()) return -1;
  pRec->id = id;
  return 0;
}

template <class T>
int deleteRow(uint64_t id) {
  if (id == 0) return failInvalid();
  Db db;
  if (!db.ok()) return -1;
  Stmt st(db, std::string("DELETE FROM ") + T::kName + " WHERE id = ?");
  st.bind(id);
  return runChange(db, st);
}

}  // namespace

// --- applications ---

int KEVOFLXAppList(const KVSZHASH* pFilter, KEVOFLX_APP** ppList, int* pTotal) {
  return guarded("list applications", -1,
                 [&] { return listRows<AppTable>(pFilter, ppList, pTotal); });
}

KEVOFLX_APP* KEVOFLXAppNext(KEVOFLX_APP* pRec) {
  return pRec != nullptr ? pRec->pNext : nullptr;
}

void KEVOFLXAppListFree(KEVOFLX_APP** ppList) {
  if (ppList == nullptr) return;
  freeChain(*ppList);
  *ppList = nullptr;
}

int KEVOFLXAppSet(KEVOFLX_APP* pRec) {
  return guarded("store application", -1, [&] {
    if (pRec == nullptr || pRec->app_id.empty()) return failInvalid();
    return upsertRow<AppTable>(pRec);
  });
}

int KEVOFLXAppDelete(uint64_t id) {
  return guarded("remove application", -1, [&] { return deleteRow<AppTable>(id); });
}

// --- packages ---

int KEVOFLXPkgList(const KVSZHASH* pFilter, KEVOFLX_PKG** ppList, int* pTotal) {
  return guarded("list packages", -1, [&] { return listRows<PkgTable>(pFilter, ppList, pTotal); });
}

void KEVOFLXPkgListFree(KEVOFLX_PKG** ppList) {
  if (ppList == nullptr) return;
  freeChain(*ppList);
  *ppList = nullptr;
}

int KEVOFLXPkgGetBy(uint64_t qxId, const char* pkgId, KEVOFLX_PKG* pRec) {
  return guarded("read package", -1, [&] {
    if (pkgId == nullptr || *pkgId == '\0' || pRec == nullptr) return failInvalid();
    Db db;
    if (!db.ok()) return -1;
    Stmt st(db,
            selectSql(PkgTable::kName, columns<PkgTable>()) + " WHERE qx_id = ? AND pkg_id = ?");
    st.bind(qxId);
    st.bind(std::string(pkgId));
    int rc = st.step();
    if (rc == SQLITE_DONE) FLXREG_ERR(KVERR_NOT_FOUND);
    if (rc != SQLITE_ROW) return -1;
    readRow<PkgTable>(st, *pRec);
    return 0;
  });
}

void KEVOFLXPkgClear(KEVOFLX_PKG* pRec) {
  if (pRec == nullptr) {
    FLXREG_ERR(KVERR_INVALID_ARGUMENT);
    return;
  }
  guarded(0, [&] {
    *pRec = KEVOFLX_PKG();
    return 0;
  });
}

int KEVOFLXPkgSet(KEVOFLX_PKG* pRec) {
  return guarded("store package", -1, [&] {
    if (pRec == nullptr || pRec->pkg_id.empty()) return failInvalid();
    return upsertRow<PkgTable>(pRec);
  });
}

int KEVOFLXPkgDelete(uint64_t id) {
  return guarded("remove package", -1, [&] { return deleteRow<PkgTable>(id); });
}
