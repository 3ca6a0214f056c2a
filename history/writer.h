// The history writer: takes the notes of pushes, reads each device's state through the read
// views, and records what changed (events), daily samples and the device's summary row.
// One process writes (flx-history); flx-admin uses the same code to rebuild.
#ifndef FLX_HISTORY_WRITER_H
#define FLX_HISTORY_WRITER_H

#include <json/value.h>
#include <sqlite3.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flxhistory.h"
#include "kevodb.h"
#include "kevoids.h"

namespace flxhistory {

struct WriterOptions {
  int64_t retentionDays = 730;
  size_t batch = 500;        // notes taken at once, committed in one transaction
  size_t pruneBatch = 5000;  // old rows removed per statement
  // Called after the batch's rows are written, before the commit, and after the commit
  // (tests end the process there).
  std::function<void()> beforeCommit, beforeDrop;
};

// What the state of one device yields: the summary row and the samples of its volumes and
// disks. Computed from deviceShow's object.
class Writer {
 public:
  explicit Writer(WriterOptions options = WriterOptions()) : options_(std::move(options)) {}
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Takes up to options.batch notes and records them, with how far each notes file was
  // taken, in one transaction. Returns the number of notes taken; -1 with a one-line `err`
  // when the history database or the stores failed (the notes stay).
  int step(std::string& err);
  // Deletes the notes files taken to their end that no process writes any more; the number
  // deleted, -1 with `err`.
  int retire(std::string& err);
  // Removes rows older than the retention, at most pruneBatch per table; the number removed,
  // -1 with `err` on failure.
  int prune(int64_t now, std::string& err);
  // Removes the history of devices the registry no longer has, a bounded batch of rows at a
  // time; the number of devices whose history is gone, -1 with `err`.
  int sweepRemoved(std::string& err);
  // Records every registered device's current state as its baseline (no events), its
  // current samples and summary. The number of devices, -1 with `err`.
  int rebuildAll(std::string& err);

  // Processes one device's state as if a note of `kinds` had arrived at `arrival`
  // (tests and the generator in bench/ feed states without going through the notes).
  int record(const std::string& sn, const Kinds& kinds, int64_t arrival, std::string& err);

  // Opens the history database, creating it and its tables when missing; false with `err`.
  bool open(std::string& err);
  // Removes every row of device `deviceId` (a device being removed) in one transaction; the
  // number of rows removed, -1 with `err`.
  int64_t forgetDevice(int64_t deviceId, std::string& err);

 private:
  void close();
  // One device inside the open transaction; false with `err` on a database failure.
  enum Outcome { kDone, kGone, kReadFailed, kDbFailed };
  // `arrivals`: the push's notes in order, the last one the push's arrival.
  Outcome device(const std::string& sn, const Kinds& kinds, const std::vector<int64_t>& arrivals,
                 bool rebuild, std::string& err);
  bool exec(const char* sql, std::string& err);
  // The statement of `sql`, prepared once per connection (null when it cannot be).
  sqlite3_stmt* cached(const char* sql);
  bool dbError(const std::string& what, std::string& err);
  bool forget(int64_t deviceId, std::string& err);

  WriterOptions options_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  bool broken_ = false;  // a statement failed: open afresh before the next use
  KEVOFILEID fileId_ = {0, 0};
};

// Notes not yet taken (-1 when the notes folder cannot be read).
long notesWaiting();

// Cuts `text` to kMaxValueBytes (on a character boundary), noting its length.
std::string boundedValue(const std::string& text);

// Moves a history database that fails its integrity check aside (keeping it next to the
// new one as "<path>.corrupt-<time>") and creates a fresh one; then records the baselines.
// `movedTo` names where a corrupt one went (empty: none). 0 on success, else 1 with `err`.
int rebuildHistory(std::string& movedTo, int& devices, std::string& err);

// Creates the history database (mode 0640, like the cache database) and the notes folder
// (root's, mode 0700; an older one open to all is closed) when missing, and migrates the
// database's schema. 0 on success, else 1 with
// `err`.
int initHistory(std::string& err);

// Creates the history database when missing and runs each schema step it has not had (see
// historySteps()); `from` gets the version found. 0 on success, else 1 with `err`.
int migrateHistory(int& from, std::string& err);

// The numbered steps of the history's schema, oldest first.
std::vector<kevo::SchemaStep> historySteps();

}  // namespace flxhistory

#endif  // FLX_HISTORY_WRITER_H
