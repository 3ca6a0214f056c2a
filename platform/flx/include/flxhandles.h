// Owners of the hashes and lists that the core and registry libraries allocate: each is
// released through its own library's free call on every way out. The module's handlers and
// flx-admin use these.
#ifndef FLXHANDLES_H
#define FLXHANDLES_H

#include <stdint.h>

#include <string>
#include <utility>

#include "flx.h"
#include "kevocore.h"

// Owns a core-library hash or list. Calls that may replace the handle (to grow it) get its
// address through addr().
template <class T, void (*Free)(T*)>
class KvHandle {
 public:
  explicit KvHandle(T* handle = nullptr) : handle_(handle) {}
  ~KvHandle() { reset(); }
  KvHandle(KvHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  KvHandle& operator=(KvHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  KvHandle(const KvHandle&) = delete;
  KvHandle& operator=(const KvHandle&) = delete;

  T* get() const { return handle_; }
  T** addr() { return &handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr) Free(handle_);
    handle_ = nullptr;
  }

 private:
  T* handle_;
};
using HashPtr = KvHandle<KVSZHASH, KVLIBSzHashFree>;
using SzListPtr = KvHandle<KVSZLIST, KVLIBSzListFree>;

// Owns the head of a registry list. The registry expects its list-free call on every way out,
// also when the head is null (a unique_ptr would skip its deleter then).
template <class T, void (*Free)(T**)>
class RegistryList {
 public:
  RegistryList() = default;
  ~RegistryList() { Free(&head_); }
  RegistryList(const RegistryList&) = delete;
  RegistryList& operator=(const RegistryList&) = delete;

  T* get() const { return head_; }
  T** addr() { return &head_; }
  T* operator->() const { return head_; }
  explicit operator bool() const { return head_ != nullptr; }

 private:
  T* head_ = nullptr;
};
using QxList = RegistryList<KEVOFLX_QX, KEVOFLXQxListFree>;
using AppList = RegistryList<KEVOFLX_APP, KEVOFLXAppListFree>;
using PkgList = RegistryList<KEVOFLX_PKG, KEVOFLXPkgListFree>;

inline int setHashValue(HashPtr& hash, const char* key, const char* value) {
  return KVLIBSzHashSetValue(hash.addr(), key, value);
}

// A one-key filter hash for the registry's list calls; empty when it cannot be made.
inline HashPtr makeFilter(const char* key, const char* value) {
  HashPtr hash(KVLIBSzHashAlloc(1024));
  if (hash && setHashValue(hash, key, value) < 0) hash.reset();
  return hash;
}
inline HashPtr makeFilter(const char* key, const std::string& value) {
  return makeFilter(key, value.c_str());
}

// Finds a device by serial number through a filter hash {"sn"} and the registry's device
// list; both are held until the object dies, then released, hash first.
class QxBySerial {
 public:
  // True when the hash could be made and the registry lists a device for `sn`. Call once.
  bool lookup(const std::string& sn) {
    hash_ = makeFilter("sn", sn.c_str());
    int total = 0;  // not needed: the first record is the device
    return hash_ && KEVOFLXQxList(hash_.get(), list_.addr(), &total) >= 0 && list_;
  }
  // The id of the first listed device; only after a successful lookup.
  uint64_t id() const { return list_->id; }
  KEVOFLX_QX* record() const { return list_.get(); }

 private:
  QxList list_;  // declared first: released after the hash
  HashPtr hash_;
};

#endif  // FLXHANDLES_H
