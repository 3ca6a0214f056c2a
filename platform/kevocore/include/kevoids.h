// Root's ids around a privileged step (the module's privileged sections and the libraries'
// own root steps), and the identity of an open file.
#ifndef KEVOIDS_H
#define KEVOIDS_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// The one privilege guard of the system: root's effective ids for the length of a step, put
// back afterwards. Entering raises the group, then the user; leaving changes the user to root
// (so that any group may be set), the group back, then the user back.
typedef struct {
  uid_t euid;  // the effective ids at entry
  gid_t egid;
  int active;  // entered and not yet left
} KEVOROOTIDS;

// Where a logged guard reports: `changed` for every successful change of an effective id to 0,
// `refused` for a refused change (which: "resgid" or "resuid"; middle: the id asked for;
// step: "ENTERCriticalSection" or "LEAVECriticalSection"), called with errno as the change
// left it.
typedef struct {
  void (*changed)(void* ctx, const char* which, int middle);
  void (*refused)(void* ctx, const char* which, int middle, const char* step);
  void* ctx;
} KEVOIDLOG;

// Logged (`log` non-null): raises whichever effective id is not 0, stops at the first refused
// change, and leaves errno 0 (EPERM after a refusal). Silent (`log` null): the libraries' own
// steps; acts only for a process with dropped effective and saved root ids, goes on after a
// refused group change, and keeps errno.
void KEVORootIdsEnter(KEVOROOTIDS* saved, const KEVOIDLOG* log);
// Puts back the ids saved by KEVORootIdsEnter; errno as for Enter.
void KEVORootIdsLeave(KEVOROOTIDS* saved, const KEVOIDLOG* log);

// What a path named when a connection was opened on it.
typedef struct {
  dev_t dev;
  ino_t ino;
} KEVOFILEID;

// TRUE and the file's identity, or FALSE when it cannot be stat'ed.
int KEVOFileIdGet(const char* path, KEVOFILEID* id);
// TRUE when `path` still names the file `id` was taken from. A path that cannot be checked
// for want of search permission is taken as unchanged; a missing one as replaced.
int KEVOFileIdSame(const char* path, const KEVOFILEID* id);

#ifdef __cplusplus
}

namespace kevo {

// The silent guard: root's effective ids for its lifetime (see KEVORootIdsEnter).
class RootIds {
 public:
  RootIds() { KEVORootIdsEnter(&saved_, nullptr); }
  ~RootIds() { KEVORootIdsLeave(&saved_, nullptr); }
  RootIds(const RootIds&) = delete;
  RootIds& operator=(const RootIds&) = delete;

 private:
  KEVOROOTIDS saved_ = {0, 0, 0};
};

}  // namespace kevo
#endif

#endif  // KEVOIDS_H
