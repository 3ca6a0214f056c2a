#include "common/sys_calls.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace flx {

namespace {

int realOpenat(int dir, const char* name, int flags, mode_t mode) {
  return ::openat(dir, name, flags, mode);
}

const SysCalls kReal = {
    realOpenat, ::write,     ::fsync,          ::close,          ::renameat,
    ::fchmod,   ::utimensat, ::futimens,       ::linkat,         ::mkdirat,
    ::unlinkat, ::calloc,    KVLIBSzListAlloc, KVLIBSzHashAlloc, KVLIBSzListPush,
};

SysCalls gSys = kReal;

}  // namespace

SysCalls& sys() {
  return gSys;
}

const SysCalls& realSysCalls() {
  return kReal;
}

}  // namespace flx
