// The notes that tell the history process which device pushed which kinds. The host appends
// one note after each stored push; flx-history takes them in batches and records how far it
// took each notes file in the same transaction as the rows it wrote for them.
//
// Each process appends to a notes file of its own (one write of one line per note; a new
// file after 1 MiB), holding a shared lock on it for as long as it may write to it; a file
// taken to its end whose lock is free and that is a minute old is deleted. The notes folder
// and its files are root's, mode 0700 and 0600: the host's workers (a service user with saved
// id 0) create their file with root's ids, and no other local user can plant or read a note.
// Readers never wait on an entry and read only regular files no larger than a writer makes;
// the history clamps a note's arrival time. A note is a hint, never data: the history reads
// the device's state from the stores, so a forged note costs one needless read.
#ifndef FLXHISTORY_H
#define FLXHISTORY_H

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "flxhistory_schema.h"

#define KEVO_HISTORY_NOTES_DIR "/var/packages/FLX/target/history-notes"

namespace flxhistory {

// Mode of the notes folder (see above) and of each notes file.
constexpr unsigned kNotesDirMode = 0700;
constexpr unsigned kNoteMode = 0600;

// (group, module) of each kind pushed.
typedef std::vector<std::pair<std::string, std::string>> Kinds;

// Notes that device `sn` pushed `kinds` at `arrival` (seconds). 0 on success; -1 (errno set,
// one log line) when the note could not be written or its text is not plain. Never throws.
// Cost: one appending write, without waiting for the disk: a crash of any process loses no
// note, a power loss may lose the last ones (the device's next push brings its state again).
int notePush(const std::string& sn, const Kinds& kinds, int64_t arrival) noexcept;

struct Note {
  std::string sn;
  Kinds kinds;
  int64_t arrival = 0;
};

// How far each notes file (by name) was taken.
typedef std::map<std::string, uint64_t> Offsets;

// Up to `max` complete notes after `taken`, oldest file first; `ends` gets each file's new
// offset (past lines that are not notes too, which are skipped with one log line a file; an
// entry that is not a notes file gets an offset past any end, and retireNotes deletes it).
// -1 with `err` when the folder cannot be read.
int takeNotes(const Offsets& taken, size_t max, std::vector<Note>& out, Offsets& ends,
              std::string& err);
// Number of notes after `taken` (lines that are not notes left out): counted in the first
// 16 MiB of them and 1,000 files, estimated from the files' sizes beyond. `oldestArrival` (when
// given) gets the first one's arrival, -1 when none waits. Logs nothing: /metrics calls it at each
// scrape.
long countNotes(const Offsets& taken, int64_t* oldestArrival = nullptr);
// Deletes the notes files taken to their end that no process writes to any more and that are
// older than `minAgeSeconds`; returns their names. Files missing from the folder are
// returned too, so that their offsets can go.
std::vector<std::string> retireNotes(const Offsets& taken, int64_t minAgeSeconds = 60);

// The notes folder and the history database below the current root.
std::string notesDir();
std::string historyDbPath();

}  // namespace flxhistory

#endif  // FLXHISTORY_H
