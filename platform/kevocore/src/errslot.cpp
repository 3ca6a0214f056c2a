// The per-thread error slot and the terminal debug switch.
#include <errno.h>
#include <sqlite3.h>
#include <string.h>

#include "kevocore.h"

int giTerminalDebug = 0;

namespace {

struct ErrSlot {
  unsigned int code = 0;
  int line = 0;
  // A copy: callers may pass a buffer that does not outlive the call.
  char file[256] = "";
};

thread_local ErrSlot tSlot;
thread_local int tFault = KVFAULT_NONE;

}  // namespace

void KVLIBErrSetEx(unsigned int code, const char* file, int line) {
  tSlot.code = code;
  tSlot.line = line;
  if (file == nullptr) file = "";
  strncpy(tSlot.file, file, sizeof(tSlot.file) - 1);
  tSlot.file[sizeof(tSlot.file) - 1] = '\0';
}

unsigned int KVLIBErrGet(void) {
  return tSlot.code;
}

const char* KVLIBErrGetFile(void) {
  return tSlot.file;
}

int KVLIBErrGetLine(void) {
  return tSlot.line;
}

void KVLIBFaultNote(int kind) {
  // The first condition of a failure is its cause; later ones are its consequences.
  if (tFault == KVFAULT_NONE) tFault = kind;
}

int KVLIBFaultGet(void) {
  return tFault;
}

void KVLIBFaultClear(void) {
  tFault = KVFAULT_NONE;
}

int KVLIBFaultNoteErrno(int err) {
  int kind = KVFAULT_NONE;
  if (err == ENOSPC || err == EDQUOT) kind = KVFAULT_FULL;
  if (err == EIO) kind = KVFAULT_IO;
  if (kind != KVFAULT_NONE) KVLIBFaultNote(kind);
  return kind;
}

int KVLIBFaultNoteSqlite(int rc, int sysErrno) {
  int kind = KVFAULT_NONE;
  if (sysErrno == ENOSPC || sysErrno == EDQUOT) rc = SQLITE_FULL;
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      kind = KVFAULT_BUSY;
      break;
    case SQLITE_FULL:
      kind = KVFAULT_FULL;
      break;
    case SQLITE_IOERR:
      kind = KVFAULT_IO;
      break;
  }
  if (kind != KVFAULT_NONE) KVLIBFaultNote(kind);
  return kind;
}
