// The history: notes of pushes, and the writer that turns them into events, daily samples,
// summary rows and baselines.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "admin.h"
#include "flx.h"
#include "flxhistory.h"
#include "handlers/cache_handler.h"
#include "support/log_capture.h"
#include "support/root_fixture.h"
#include "support/util.h"
#include "writer.h"

namespace {

using flxhistory::Kinds;
using flxtest::parse;

const int64_t kDay = 86400;
const int64_t kT0 = 20000 * kDay + 3600;  // one o'clock of a day
const Kinds kStorage = {{"storage", "storage"}};

class HistoryTest : public flxtest::RootTest {
 protected:
  HistoryTest() : a_(addDevice("SN-A", "vault")) {}

  // A storage push of device `sn` at `t`: one volume of 100 bytes with `used`, and disks
  // "sda" (always good) and "sdb" with `sdbSmart` and `sdbTemp`.
  void storage(const std::string& sn, int64_t t, int64_t used, const char* sdbSmart = "normal",
               int sdbTemp = 30) {
    const std::string data =
        R"({"vol":[{"id":"vol1","status":"ready","size_total":100,"size_used":)" +
        std::to_string(used) +
        R"(}],"dg":[],"hdd":[{"id":"sda","status":"good","smart_status":"normal","temp":31},)"
        R"({"id":"sdb","status":"good","smart_status":")" +
        sdbSmart + R"(","temp":)" + std::to_string(sdbTemp) + "}]}";
    ASSERT_EQ(0, storageCacheUpdate(sn, static_cast<uint64_t>(t), parse(data)));
  }
  static void pkg(uint64_t qx, const std::string& id, const std::string& version) {
    KEVOFLX_PKG p;
    p.qx_id = qx, p.pkg_id = id, p.version = version, p.status = 1;
    ASSERT_EQ(0, KEVOFLXPkgSet(&p));
  }
  static void removePkg(uint64_t qx, const char* id) {
    KEVOFLX_PKG p;
    ASSERT_EQ(0, KEVOFLXPkgGetBy(qx, id, &p));
    ASSERT_EQ(0, KEVOFLXPkgDelete(p.id));
  }
  static void note(const std::string& sn, const Kinds& kinds, int64_t arrival) {
    ASSERT_EQ(0, flxhistory::notePush(sn, kinds, arrival));
  }
  // Takes every note, as `flx-history --once` does; the number taken.
  static int takeAll(flxhistory::WriterOptions options = {}) {
    flxhistory::Writer w(options);
    std::string err;
    int total = 0, n;
    while ((n = w.step(err)) > 0) total += n;
    EXPECT_EQ(0, n) << err;
    EXPECT_EQ("", err);
    return total;
  }
  // A file written two minutes ago.
  static bool oldFile(const std::string& path, const std::string& content) {
    const struct timeval old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    return !writeFile(path, content).empty() && utimes(path.c_str(), old) == 0;
  }
  std::string history(const std::string& sql) const {
    return query(sql, flxhistory::historyDbPath());
  }
  std::string events() const {
    return history(
        "SELECT kind, object, change, field, old_value, new_value, collect_time, arrival_time"
        " FROM events ORDER BY kind, object, field");
  }

  const uint64_t a_;
};

TEST_F(HistoryTest, BaselineFirstThenEventsForWhatChanged) {
  storage("SN-A", kT0, 10);
  pkg(a_, "Media", "1.0");
  pkg(a_, "Backup", "2.0");
  note("SN-A", {{"basic", "basic"}, {"storage", "storage"}, {"basic", "package"}}, kT0 + 5);
  EXPECT_EQ(1, takeAll());
  EXPECT_EQ("", events()) << "a device seen first is a baseline, not a burst of 'added'";
  EXPECT_EQ("1", history("SELECT count(*) FROM state"));

  // The disk goes bad, one package goes, the other gets a version too long to keep whole.
  storage("SN-A", kT0 + 60, 12, "abnormal");
  removePkg(a_, "Backup");
  const std::string longVersion = "1." + std::string(400, '9');
  pkg(a_, "Media", longVersion);
  note("SN-A", {{"storage", "storage"}}, kT0 + 70);
  note("SN-A", {{"basic", "package"}}, kT0 + 80);
  EXPECT_EQ(2, takeAll()) << "two notes, one device: one read";
  const std::string cut = longVersion.substr(0, 256) + "\xE2\x80\xA6 (402 bytes)";
  EXPECT_EQ("disk|sdb|changed|smart_status|normal|abnormal|" + std::to_string(kT0 + 60) + "|" +
                std::to_string(kT0 + 80) + "\n" + "package|Backup|removed||||" +
                std::to_string(kT0 + 80) + "|" + std::to_string(kT0 + 80) + "\n" +
                "package|Media|changed|version|1.0|" + cut + "|" + std::to_string(kT0 + 80) + "|" +
                std::to_string(kT0 + 80),
            events());
  EXPECT_EQ(0, flxhistory::notesWaiting());

  // Nothing new: no events; a new disk and a new share kind: "added", and the share kind's
  // first push is its baseline.
  note("SN-A", {{"basic", "basic"}}, kT0 + 90);
  EXPECT_EQ(1, takeAll());
  EXPECT_EQ("3", history("SELECT count(*) FROM events"));
  ASSERT_EQ(0, shareCacheUpdate("SN-A", kT0 + 100, parse(R"({"share":[{"name":"docs"}]})")));
  note("SN-A", {{"storage", "share"}}, kT0 + 100);
  EXPECT_EQ(1, takeAll());
  EXPECT_EQ("3", history("SELECT count(*) FROM events"));
}

TEST_F(HistoryTest, SamplesByCollectDayAndTheSummary) {
  // Day 0: 40 then 30 used (last 30, max 40); days 1 to 3 grow by 10 a day; day 3 arrives
  // after day 4's push, which had a hot, failing disk.
  struct Push {
    int64_t t;
    int64_t used;
  };
  const Push pushes[] = {{kT0, 40},
                         {kT0 + 600, 30},
                         {kT0 + kDay, 40},
                         {kT0 + 2 * kDay, 50},
                         {kT0 + 4 * kDay, 55},
                         {kT0 + 3 * kDay, 60}};
  for (const Push& p : pushes) {
    storage("SN-A", p.t, p.used, p.t == kT0 + 4 * kDay ? "failing" : "normal",
            p.t == kT0 + 4 * kDay ? 58 : 30);
    note("SN-A", kStorage, p.t + 30);
    EXPECT_EQ(1, takeAll());
  }
  EXPECT_EQ("0|30|40|100|100\n1|40|40|100|100\n2|50|50|100|100\n3|60|60|100|100\n4|55|55|100|100",
            history("SELECT day - " + std::to_string(kT0 / kDay) +
                    ", used_last, used_max, total_last, total_max FROM samples"
                    " WHERE kind = 'volume' ORDER BY day"));
  EXPECT_EQ("30|58",
            history("SELECT min(temp_max), max(temp_max) FROM samples WHERE object = 'sdb'"));

  // The last push was day 3's (used 60), the disk good again; the trend over days 0..4
  // (30, 40, 50, 60, 55: 7 a day) fills the 45 bytes left on the newest day in 6.4 days.
  EXPECT_EQ(std::to_string(kT0 + 3 * kDay) + "|1|60.0|vol1|2|0|31|0|0|6.4|[\"filling\"]",
            history("SELECT last_seen, vol_count, vol_max_use, vol_max_name, disk_count,"
                    " disk_failing, disk_max_temp, app_count, pkg_count, round(fill_days, 1),"
                    " marks FROM summary"));
  EXPECT_EQ("", events().find("added") == std::string::npos ? "" : events());
}

TEST_F(HistoryTest, PushIntervalLearntFromArrivals) {
  // A history made before versions and before the summary had push_interval: the writer
  // refuses it until init's migration adds the column.
  history("DROP INDEX summary_push_interval");
  history("ALTER TABLE summary DROP COLUMN push_interval");
  history("PRAGMA user_version=0");
  std::string why;
  EXPECT_FALSE(flxhistory::Writer().open(why));
  EXPECT_NE(std::string::npos, why.find("run 'flx-admin init'")) << why;
  ASSERT_EQ(0, flxhistory::initHistory(why)) << why;
  EXPECT_EQ(std::to_string(flxhistory::kHistorySchemaVersion), history("PRAGMA user_version"));

  const std::map<std::string, uint64_t> ids = {
      {"SN-A", a_}, {"SN-B", addDevice("SN-B")}, {"SN-C", addDevice("SN-C")}};
  for (const auto& d : ids) storage(d.first, kT0, 10);
  // Each row: the arrivals of one device's notes taken in one batch, and its interval after.
  struct Step {
    const char* sn;
    std::vector<int64_t> arrivals;
    const char* interval;
  };
  const Step steps[] = {
      {"SN-A", {kT0}, "NULL"},                             // one push: nothing to learn from
      {"SN-A", {kT0 + 300}, "300"},                        // the first gap is the interval
      {"SN-A", {kT0 + 600, kT0 + 603, kT0 + 607}, "300"},  // one push's items: one gap
      {"SN-A", {kT0 + 609}, "300"},             // a retry seconds later, in a batch of its own
      {"SN-A", {kT0 + 900}, "300"},             // measured from the push, not from its retry
      {"SN-A", {kT0 + 900 + 3 * kDay}, "525"},  // an outage counts as four intervals at most
      {"SN-A", {kT0 + 1200 + 3 * kDay}, "469"},
      {"SN-B", {kT0, kT0 + 20}, "60"},  // bounded below
      {"SN-C", {kT0}, "NULL"},
      {"SN-C", {kT0 + 10 * kDay}, "604800"},  // bounded above: a week
  };
  for (const Step& s : steps) {
    for (int64_t t : s.arrivals) note(s.sn, kStorage, t);
    EXPECT_EQ(static_cast<int>(s.arrivals.size()), takeAll());
    EXPECT_EQ(s.interval, history("SELECT push_interval FROM summary WHERE device_id = " +
                                  std::to_string(ids.at(s.sn))))
        << s.sn << " after " << s.arrivals.back() - kT0;
  }

  // A rebuild is no push: it keeps the interval and where the next gap starts.
  std::string movedTo, err;
  int devices = 0;
  ASSERT_EQ(0, flxhistory::rebuildHistory(movedTo, devices, err)) << err;
  EXPECT_EQ("469|60|604800", history("SELECT group_concat(coalesce(push_interval, ''), '|') FROM"
                                     " (SELECT push_interval FROM summary ORDER BY device_id)"));
  note("SN-A", kStorage, kT0 + 1500 + 3 * kDay);
  takeAll();
  EXPECT_EQ("427",
            history("SELECT push_interval FROM summary WHERE device_id = " + std::to_string(a_)));
}

TEST_F(HistoryTest, NotesSurviveAKilledWriter) {
  storage("SN-A", kT0, 10);
  note("SN-A", {{"storage", "storage"}, {"basic", "package"}}, kT0);
  EXPECT_EQ(1, takeAll());
  // Killed before the commit: nothing written, the note waits; after it: the rows and how
  // far the notes were taken are committed together. Either way the rows are there once.
  for (const char* where : {"before commit", "after commit"}) {
    SCOPED_TRACE(where);
    const bool before = where[0] == 'b';
    pkg(a_, where, "1");
    note("SN-A", {{"basic", "package"}}, kT0 + 10);
    const pid_t pid = fork();
    if (pid == 0) {
      flxhistory::WriterOptions o;
      std::function<void()> die = [] { kill(getpid(), SIGKILL); };
      (before ? o.beforeCommit : o.beforeDrop) = die;
      flxhistory::Writer w(o);
      std::string err;
      w.step(err);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(before ? 1 : 0, flxhistory::notesWaiting());
    EXPECT_EQ(before ? 1 : 0, takeAll());
    EXPECT_EQ("1",
              history(std::string("SELECT count(*) FROM events WHERE object = '") + where + "'"));
  }
}

TEST_F(HistoryTest, LockedOrCorruptDatabaseKeepsNotesUntilRebuilt) {
  addDevice("SN-B");
  storage("SN-A", kT0, 10);
  storage("SN-B", kT0, 20);
  note("SN-A", kStorage, kT0);
  note("SN-B", kStorage, kT0);
  EXPECT_EQ(2, takeAll());

  const std::string db = flxhistory::historyDbPath();
  storage("SN-A", kT0 + 30, 50);
  note("SN-A", kStorage, kT0 + 30);
  {
    // Locked by another writer: the batch waits, notes and all.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
    flxhistory::Writer w;
    std::string err;
    EXPECT_EQ(-1, w.step(err));
    EXPECT_NE(std::string::npos, err.find("is locked by another process")) << err;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr));
    EXPECT_EQ(1, flxhistory::notesWaiting());
    // A write that fails halfway through a device: all of the batch is rolled back.
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other,
                                      "CREATE TRIGGER no_summary BEFORE INSERT ON summary BEGIN"
                                      " SELECT RAISE(FAIL, 'no room'); END",
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, w.step(err));
    EXPECT_NE(std::string::npos, err.find("writing the summary")) << err;
    EXPECT_EQ(1, flxhistory::notesWaiting());
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "DROP TRIGGER no_summary", nullptr, nullptr, nullptr));
    sqlite3_close(other);
  }
  unlink((db + "-wal").c_str());
  unlink((db + "-shm").c_str());
  writeFile(db, std::string(8192, 'x'));
  storage("SN-A", kT0 + 60, 90);
  note("SN-A", kStorage, kT0 + 60);
  // The process says what is wrong in one line and fails; the notes stay.
  const std::string out = root() + "/out.txt";
  const int once = system(
      (std::string("'" FLX_BUILD_DIR "/bin/flx-history' --once --log-stderr 2>'") + out + "'")
          .c_str());
  EXPECT_EQ(1, WEXITSTATUS(once));
  const std::string said = readFile(out);
  EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << said;
  EXPECT_NE(std::string::npos, said.find("is corrupt")) << said;
  EXPECT_NE(std::string::npos, said.find("flx-admin history rebuild")) << said;
  EXPECT_LE(1, flxhistory::notesWaiting());

  // SN-B leaves the registry; the rebuild records SN-A's baseline and leaves SN-B out.
  ASSERT_EQ(0, KEVOFLXQxDelete("SN-B"));
  const int rc =
      system((std::string("'") + FLX_ADMIN_BIN + "' history rebuild >'" + out + "' 2>&1").c_str());
  EXPECT_EQ(0, rc) << readFile(out);
  EXPECT_NE(std::string::npos, readFile(out).find("moved the corrupt history database aside"));
  EXPECT_EQ(std::to_string(a_) + "|90.0", history("SELECT device_id, vol_max_use FROM summary"));
  takeAll();
  EXPECT_EQ(0, flxhistory::notesWaiting()) << "the kept note is taken now";
  EXPECT_EQ("", events()) << "the rebuilt baseline is current";
}

TEST_F(HistoryTest, RetentionAndRemovedDevicesGoInBoundedBatches) {
  addDevice("SN-B");
  storage("SN-B", kT0, 10);
  note("SN-B", kStorage, kT0);
  EXPECT_EQ(1, takeAll());
  for (int i = 0; i < 3; ++i) {
    storage("SN-B", kT0 + (i + 1) * kDay, 10, i % 2 ? "normal" : "bad");
    note("SN-B", kStorage, kT0 + (i + 1) * kDay);
    EXPECT_EQ(1, takeAll());
  }
  EXPECT_EQ("3|4", history("SELECT (SELECT count(*) FROM events), count(*) FROM samples"
                           " WHERE kind = 'volume'"));
  flxhistory::WriterOptions o;
  o.retentionDays = 2;
  o.pruneBatch = 1;
  flxhistory::Writer w(o);
  std::string err;
  // Now is day 4: events that arrived and samples collected before day 2 go, one of each
  // per call.
  EXPECT_EQ(2, w.prune(kT0 + 4 * kDay, err)) << err;
  int calls = 1;
  while (w.prune(kT0 + 4 * kDay, err) > 0) ++calls;
  EXPECT_EQ(6, calls) << "six samples (a volume and two disks on two days)";
  EXPECT_EQ("2|" + std::to_string(kT0 / kDay + 2),
            history("SELECT (SELECT count(*) FROM events), min(day) FROM samples"));

  ASSERT_EQ(0, KEVOFLXQxDelete("SN-B"));
  EXPECT_EQ(1, w.sweepRemoved(err)) << err;
  EXPECT_EQ("0|0|0|0", history("SELECT (SELECT count(*) FROM events), (SELECT count(*) FROM"
                               " samples), (SELECT count(*) FROM summary), count(*) FROM state"));
}

TEST_F(HistoryTest, NotesFromTheServiceUserAndBadNotes) {
  EXPECT_EQ(0700u, flxtest::modeOf(flxhistory::notesDir()));
  chmod(root().c_str(), 0755);  // the service user passes through the test's root
  // The host's workers write notes with dropped ids; root takes them. A local user without
  // root's saved id can neither plant a note nor list the folder.
  flxtest::AsServerUser(false, [] { EXPECT_EQ(0, flxhistory::notePush("SN-A", kStorage, 7)); });
  if (IsSkipped()) return;
  flxtest::AsServerUser(true, [] {
    EXPECT_EQ(-1, flxhistory::notePush("SN-A", kStorage, 8));
    const std::string planted = flxhistory::notesDir() + "/1-planted";
    EXPECT_EQ(-1, open(planted.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
    EXPECT_EQ(-1, flxhistory::countNotes({}));
  });
  std::vector<flxhistory::Note> notes;
  flxhistory::Offsets ends;
  std::string err;
  ASSERT_EQ(0, flxhistory::takeNotes({}, 10, notes, ends, err)) << err;
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ("SN-A|7|storage.storage", notes[0].sn + "|" + std::to_string(notes[0].arrival) + "|" +
                                          notes[0].kinds[0].first + "." + notes[0].kinds[0].second);
  // Its writer is gone and the file is taken to its end: it goes (here without the minute's wait).
  ASSERT_EQ(1u, ends.size());
  EXPECT_EQ(std::vector<std::string>{ends.begin()->first}, flxhistory::retireNotes(ends, 0));

  // A folder an older release left open to all is closed again by init.
  ASSERT_EQ(0, chmod(flxhistory::notesDir().c_str(), 01733));
  ASSERT_EQ(0, flxadmin::init(err)) << err;
  EXPECT_EQ(0700u, flxtest::modeOf(flxhistory::notesDir()));

  // Text that is not plain is refused. A line that is not a note is skipped (and taken); a
  // line not yet ended waits.
  EXPECT_EQ(-1, flxhistory::notePush("SN A", kStorage, 7));
  EXPECT_EQ(-1, flxhistory::notePush("SN-A", {{"storage", "../x"}}, 7));
  const std::string file =
      writeFile(flxhistory::notesDir() + "/1-half", "garbage\n7 SN-A storage.storage");
  ASSERT_EQ(0, flxhistory::takeNotes({}, 10, notes, ends, err));
  EXPECT_EQ(0u, notes.size());
  EXPECT_EQ(8u, ends["1-half"]);
  EXPECT_EQ(0, flxhistory::countNotes(ends));
  writeFile(file, "garbage\n7 SN-A storage.storage,basic.package\n");
  EXPECT_EQ(1, flxhistory::countNotes(ends));
  ASSERT_EQ(0, flxhistory::takeNotes(ends, 10, notes, ends, err));
  ASSERT_EQ(1u, notes.size());
  EXPECT_EQ(2u, notes[0].kinds.size());
}

// Runs `body` in a child that SIGALRM ends after `seconds`: a reader that waits fails the test
// instead of hanging it.
void inChild(unsigned seconds, const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(seconds);
    flxtest::ClearLog();
    body();
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Entries no writer makes are neither waited on nor read, cost one log line each and are
// deleted; lines that are not notes cost one log line a file, however many there are, and a
// line its gone writer never ended does not keep its file.
TEST_F(HistoryTest, PlantedNotesEntriesAreNeitherWaitedOnNorReadAndGo) {
  storage("SN-A", kT0, 10);
  note("SN-A", kStorage, kT0);
  const std::string dir = flxhistory::notesDir();
  const struct {
    const char* name;
    std::function<bool(const std::string&)> make;
  } plants[] = {
      {"0-fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; }},
      {"0-link", [](const std::string& p) { return symlink("/etc/passwd", p.c_str()) == 0; }},
      {"0-sparse-16g",
       [](const std::string& p) {
         const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
         const bool ok = fd >= 0 && ftruncate(fd, off_t(16) << 30) == 0;
         if (fd >= 0) close(fd);
         return ok;
       }},
      // Written two minutes ago, as by a writer long gone.
      {"0-empty-lines", [](const std::string& p) { return oldFile(p, std::string(200000, '\n')); }},
      {"0-unended", [](const std::string& p) { return oldFile(p, "7 SN-A storage.stor"); }},
  };
  for (const auto& plant : plants) ASSERT_TRUE(plant.make(dir + "/" + plant.name)) << plant.name;

  inChild(20, [&] {
    EXPECT_EQ(1, flxhistory::countNotes({})) << "what /metrics counts";
    EXPECT_EQ(1, takeAll());
    EXPECT_EQ(3, flxtest::LogCount("skipped: not a regular file")) << flxtest::LogDump();
    EXPECT_EQ(1, flxtest::LogCount("200000 lines that are not notes skipped"))
        << flxtest::LogDump();
    flxhistory::Writer w;
    std::string err;
    EXPECT_EQ(5, w.retire(err)) << err;
  });
  for (const auto& plant : plants) {
    struct stat st;
    EXPECT_NE(0, lstat((dir + "/" + plant.name).c_str(), &st)) << plant.name << " is still there";
  }
}

// What /metrics counts has a bound: past 1,000 files the notes are estimated from the sizes,
// at the length of those read.
TEST_F(HistoryTest, WaitingNotesPastTheBoundAreEstimated) {
  for (int i = 0; i < 1500; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/1-%04d", i);
    writeFile(flxhistory::notesDir() + name, std::to_string(1000 + i) + " SN-A storage.storage\n");
  }
  int64_t oldest = 0;
  EXPECT_EQ(1500, flxhistory::countNotes({}, &oldest));
  EXPECT_EQ(1000, oldest);
  EXPECT_EQ(1499, flxhistory::countNotes({{"1-0000", 100}}, &oldest)) << "one taken";
  EXPECT_EQ(1001, oldest);
}

// A note's arrival is bounded to [the device's newest arrival - a day, now + a minute]:
// forged ones neither put events in the future nor teach a week's push interval.
TEST_F(HistoryTest, ForgedArrivalsAreBounded) {
  const int64_t now = time(nullptr);
  storage("SN-A", kT0, 10);
  pkg(a_, "Media", "1");
  for (int64_t t : {now - 900, now - 600, now - 300}) note("SN-A", kStorage, t);
  EXPECT_EQ(3, takeAll());
  const struct {
    const char* what;
    int64_t arrival, lowest, highest;  // where the event's arrival must land
  } cases[] = {
      {"a week ahead", now + 7 * kDay, now - 300, now + 62},
      {"a month back", now - 30 * kDay, now - 300 - kDay, now + 62 - kDay},
  };
  int version = 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    pkg(a_, "Media", std::to_string(version++));
    note("SN-A", {{"basic", "package"}}, c.arrival);
    EXPECT_EQ(1, takeAll());
    const int64_t at =
        std::stoll(history("SELECT arrival_time FROM events ORDER BY id DESC LIMIT 1"));
    EXPECT_LE(c.lowest, at);
    EXPECT_GE(c.highest, at);
  }
  // Notes a week apart, each taken on its own, all in the future: the interval stays the
  // device's own, where unbounded arrivals taught it a week.
  for (int i = 1; i <= 20; ++i) {
    note("SN-A", kStorage, now + i * 7 * kDay);
    EXPECT_EQ(1, takeAll());
  }
  const int64_t interval = std::stoll(
      history("SELECT push_interval FROM summary WHERE device_id = " + std::to_string(a_)));
  EXPECT_GE(3600, interval);
}

}  // namespace

// The software table follows the recorded states: a version gained or left moves one device,
// a removed device takes its versions away, and a history made before the table counts it
// from the states it holds.
TEST_F(HistoryTest, SoftwareCountsFollowTheRecordedStates) {
  const uint64_t b = addDevice("SN-B");
  pkg(a_, "Media", "1.0");
  pkg(a_, "Backup", "2.0");
  pkg(b, "Media", "1.0");
  const Kinds kPkgs = {{"basic", "package"}};
  note("SN-A", kPkgs, kT0);
  note("SN-B", kPkgs, kT0);
  EXPECT_EQ(2, takeAll());
  const char* const kCounts =
      "SELECT kind, id, version, devices FROM software ORDER BY id, version";
  EXPECT_EQ("package|Backup|2.0|1\npackage|Media|1.0|2", history(kCounts));

  pkg(b, "Media", "1.10");
  removePkg(a_, "Backup");
  note("SN-A", kPkgs, kT0 + 60);
  note("SN-B", kPkgs, kT0 + 60);
  note("SN-B", kPkgs, kT0 + 120);  // the same state again changes nothing
  EXPECT_EQ(3, takeAll());
  EXPECT_EQ("package|Media|1.0|1\npackage|Media|1.10|1", history(kCounts));

  ASSERT_EQ(0, KEVOFLXQxDelete("SN-B"));
  flxhistory::Writer w;
  std::string err;
  EXPECT_EQ(1, w.sweepRemoved(err)) << err;
  EXPECT_EQ("package|Media|1.0|1", history(kCounts));

  // A history from before the counts: init adds the table, the writer counts the states.
  history("DROP TABLE software");
  history("PRAGMA user_version = 2");
  history("PRAGMA wal_checkpoint(TRUNCATE)");  // init looks at the file alone
  int from = 0;
  ASSERT_EQ(0, flxhistory::migrateHistory(from, err)) << err;
  EXPECT_EQ(2, from);
  flxhistory::Writer later;
  EXPECT_EQ(0, later.step(err)) << err;
  EXPECT_EQ("package|Media|1.0|1", history(kCounts)) << "counted again from the states";
}
