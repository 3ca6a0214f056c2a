// The history database beside the registry and the cache: attached read-only as "h", or an
// empty one in memory with the same tables while there is none to read.
#ifndef FLXREAD_HISTORY_DB_H
#define FLXREAD_HISTORY_DB_H

#include <sqlite3.h>

#include <string>

#include "kevoids.h"

namespace flxread {

// Attaches the history database to `db` as "h". A missing, unreadable or incomplete one is
// an empty history, not a failure: `id` is then {0, 0}. False only when not even the empty
// stand-in could be attached (`error` says why).
bool attachHistory(sqlite3* db, KEVOFILEID& id, std::string& error);

// True while the history database is still the file `id` was taken from (or, for {0, 0},
// while there is still no file to read).
bool historyUnchanged(const KEVOFILEID& id);

}  // namespace flxread

#endif  // FLXREAD_HISTORY_DB_H
