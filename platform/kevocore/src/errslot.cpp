// The per-thread error slot and the terminal debug switch.
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
