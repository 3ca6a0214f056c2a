// Root's ids around opening a store, and the identity of an open file: shared by the
// libraries that keep one database connection per process (the registry and its readers).
#ifndef KEVOIDS_H
#define KEVOIDS_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// The effective ids that KEVORootIdsRaise replaced; zero-initialise before use.
typedef struct {
  int raised;
  uid_t euid;
  gid_t egid;
} KEVOROOTIDS;

// Raises the effective ids to the saved root ids when the process runs with dropped
// privileges (as the web API host does); a process that is already root, or has no saved
// root, is left alone. KEVORootIdsRestore puts back what was replaced.
void KEVORootIdsRaise(KEVOROOTIDS* saved);
void KEVORootIdsRestore(KEVOROOTIDS* saved);

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

// Root's effective ids for the guard's lifetime (see KEVORootIdsRaise).
class RootIds {
 public:
  RootIds() { KEVORootIdsRaise(&saved_); }
  ~RootIds() { KEVORootIdsRestore(&saved_); }
  RootIds(const RootIds&) = delete;
  RootIds& operator=(const RootIds&) = delete;

 private:
  KEVOROOTIDS saved_ = {0, 0, 0};
};

}  // namespace kevo
#endif

#endif  // KEVOIDS_H
