// The notes that tell the history process which device pushed which kinds. The host writes
// one note after each stored push; flx-history takes them in batches and deletes each only
// after what it wrote for it is committed.
//
// The notes folder is root's, mode 01733: the host's workers (a service user with saved id
// 0) and root can both create notes in it, only root lists and reads it, and the sticky bit
// keeps one writer from deleting another's notes. A note is a hint, never data: the history
// reads the device's state from the stores, so a forged note costs one needless read.
#ifndef FLXHISTORY_H
#define FLXHISTORY_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "flxhistory_schema.h"

#define KEVO_HISTORY_NOTES_DIR "/var/packages/FLX/target/history-notes"

namespace flxhistory {

// Mode of the notes folder (see above) and of each note.
constexpr unsigned kNotesDirMode = 01733;
constexpr unsigned kNoteMode = 0600;

// (group, module) of each kind pushed.
typedef std::vector<std::pair<std::string, std::string>> Kinds;

// Notes that device `sn` pushed `kinds` at `arrival` (seconds). 0 on success; -1 (errno set,
// one log line) when the note could not be written or its text is not plain. Never throws.
// Cost: one file created, written and closed, without waiting for the disk: a crash of any
// process loses no note, a power loss may lose the last ones (the device's next push
// brings its state again).
int notePush(const std::string& sn, const Kinds& kinds, int64_t arrival) noexcept;

struct Note {
  std::string name;  // file name in the notes folder
  std::string sn;
  Kinds kinds;
  int64_t arrival = 0;
};

// Up to `max` notes, oldest first. A note still being written is left for later; one that
// cannot be parsed and is older than a minute is deleted with a log line. -1 with `err`
// when the folder cannot be read.
int takeNotes(size_t max, std::vector<Note>& out, std::string& err);
// Deletes a note that was taken; false (errno set) when it could not be.
bool dropNote(const Note& note);
// Number of notes waiting (-1 when the folder cannot be read).
long notesWaiting();

// The notes folder and the history database below the current root.
std::string notesDir();
std::string historyDbPath();

}  // namespace flxhistory

#endif  // FLXHISTORY_H
