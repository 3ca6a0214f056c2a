// The writer's loop over the notes: takes a batch, records each device once, and keeps how
// far each notes file was taken; retires finished files and prunes old rows.
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "flxread.h"
#include "statement.h"
#include "writer.h"
#include "writer_internal.h"

namespace flxhistory {
using namespace detail;

namespace {

bool loadOffsets(sqlite3* db, Offsets& taken) {
  Stmt q(db, "SELECT file, offset FROM notes_taken");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(q.get(), 0);
    if (name != nullptr)
      taken[reinterpret_cast<const char*>(name)] =
          static_cast<uint64_t>(sqlite3_column_int64(q.get(), 1));
  }
  return rc == SQLITE_DONE;
}

}  // namespace

int Writer::step(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    err.clear();
    if (!open(err)) return -1;
    Offsets taken, ends;
    if (!loadOffsets(db_, taken)) {
      dbError("reading how far the notes were taken", err);
      return -1;
    }
    std::vector<Note> notes;
    if (takeNotes(taken, options_.batch, notes, ends, err) != 0) return -1;
    if (ends.empty()) return 0;
    // One read per device, however many of its notes wait: its kinds merged, its arrivals
    // in order (the last one is the push's; all of them teach the interval).
    struct Pending {
      Kinds kinds;
      std::vector<int64_t> arrivals;
    };
    std::map<std::string, Pending> bySn;
    std::vector<std::string> order;
    for (const Note& n : notes) {
      auto found = bySn.find(n.sn);
      if (found == bySn.end()) {
        order.push_back(n.sn);
        found = bySn.emplace(n.sn, Pending()).first;
      }
      Pending& p = found->second;
      p.kinds.insert(p.kinds.end(), n.kinds.begin(), n.kinds.end());
      p.arrivals.push_back(n.arrival);
    }
    if (!exec("BEGIN IMMEDIATE", err)) return -1;
    for (const std::string& sn : order) {
      Pending& p = bySn[sn];
      std::sort(p.arrivals.begin(), p.arrivals.end());
      const Outcome o = device(sn, p.kinds, p.arrivals, false, err);
      if (o == kDbFailed) return -1;
      if (o == kReadFailed) {
        // The stores cannot be read: the batch waits for them, notes and all.
        std::string ignored;
        exec("ROLLBACK", ignored);
        return -1;
      }
    }
    Stmt mark(db_,
              "INSERT INTO notes_taken(file, offset) VALUES (?, ?)"
              " ON CONFLICT(file) DO UPDATE SET offset = excluded.offset");
    for (const auto& end : ends) {
      mark.bind(1, end.first).bind(2, static_cast<int64_t>(end.second));
      if (!mark.run()) {
        dbError("recording how far the notes were taken", err);
        return -1;
      }
    }
    if (options_.beforeCommit) options_.beforeCommit();
    if (!exec("COMMIT", err)) return -1;
    if (options_.beforeDrop) options_.beforeDrop();
    return static_cast<int>(notes.size());
  });
}

int Writer::retire(std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    if (!open(err)) return -1;
    Offsets taken;
    if (!loadOffsets(db_, taken)) {
      dbError("reading how far the notes were taken", err);
      return -1;
    }
    int n = 0;
    Stmt del(db_, "DELETE FROM notes_taken WHERE file = ?");
    for (const std::string& name : retireNotes(taken)) {
      del.bind(1, name);
      if (!del.run()) {
        dbError("forgetting a deleted notes file", err);
        return -1;
      }
      ++n;
    }
    return n;
  });
}

long notesWaiting() {
  Offsets taken;
  {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(historyDbPath().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(raw, kBusyTimeoutMs);
      loadOffsets(raw, taken);
    }
  }
  return countNotes(taken);
}

int Writer::record(const std::string& sn, const Kinds& kinds, int64_t arrival, std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    if (!open(err) || !exec("BEGIN IMMEDIATE", err)) return -1;
    const Outcome o = device(sn, kinds, {arrival}, false, err);
    if (o == kDbFailed) return -1;
    if (!exec("COMMIT", err)) return -1;
    return o == kDone ? 1 : 0;
  });
}

int Writer::prune(int64_t now, std::string& err) {
  return flxread::guardedCall(err, -1, [&] {
    if (!open(err)) return -1;
    const int64_t cutoff = now - options_.retentionDays * kDay;
    int removed = 0;
    Stmt ev(
        db_,
        "DELETE FROM events WHERE id IN (SELECT id FROM events WHERE arrival_time < ? LIMIT ?)");
    ev.bind(1, cutoff).bind(2, static_cast<int64_t>(options_.pruneBatch));
    if (!ev.run()) {
      dbError("removing old events", err);
      return -1;
    }
    removed += sqlite3_changes(db_);
    Stmt sa(db_,
            "DELETE FROM samples WHERE (device_id, kind, object, day) IN (SELECT device_id, kind,"
            " object, day FROM samples WHERE day < ? LIMIT ?)");
    sa.bind(1, cutoff / kDay).bind(2, static_cast<int64_t>(options_.pruneBatch));
    if (!sa.run()) {
      dbError("removing old samples", err);
      return -1;
    }
    removed += sqlite3_changes(db_);
    return removed;
  });
}

}  // namespace flxhistory
