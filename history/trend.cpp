// The arithmetic of a device's trend and push rhythm: days until a volume fills, the push
// interval learnt from the gaps between notes, and the arrivals it is learnt from.
#include <time.h>

#include <algorithm>

#include "statement.h"
#include "writer_internal.h"

namespace flxhistory {
namespace detail {
namespace {

// Days of samples a volume's trend is drawn through.
const int64_t kTrendDays = 30;
// A device's push interval: a gap weighs kIntervalWeight in the running average and counts at
// most kMaxGapFactor intervals, so that one outage does not teach a long rhythm while a real
// change is learnt within a few pushes.
const int64_t kMinInterval = 60;
const int64_t kMaxInterval = 7 * kDay;
const double kIntervalWeight = 0.25;
const double kMaxGapFactor = 4;
// How far past the writer's clock a note's arrival may be (the clocks of the host's processes
// are one clock; this is only slack).
const int64_t kArrivalSlack = 60;

}  // namespace

double fillDays(sqlite3_stmt* trend, int64_t deviceId, const std::string& volume, bool& ok) {
  Stmt q(trend);
  q.bind(1, deviceId).bind(2, volume).bind(3, kTrendDays);
  std::vector<double> xs, ys;
  double lastUsed = 0, lastTotal = 0;
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) {
    if (sqlite3_column_type(q.get(), 1) == SQLITE_NULL) continue;
    xs.push_back(static_cast<double>(sqlite3_column_int64(q.get(), 0)));
    ys.push_back(lastUsed = static_cast<double>(sqlite3_column_int64(q.get(), 1)));
    lastTotal = static_cast<double>(sqlite3_column_int64(q.get(), 2));
  }
  ok = rc == SQLITE_DONE;
  if (xs.size() < 2 || lastTotal <= 0) return -1;
  double mx = 0, my = 0;
  for (size_t i = 0; i < xs.size(); ++i) mx += xs[i], my += ys[i];
  mx /= static_cast<double>(xs.size());
  my /= static_cast<double>(ys.size());
  double sxy = 0, sxx = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    sxy += (xs[i] - mx) * (ys[i] - my);
    sxx += (xs[i] - mx) * (xs[i] - mx);
  }
  if (sxx <= 0) return -1;
  const double slope = sxy / sxx;  // bytes a day
  if (slope <= 0) return -1;
  return std::max(0.0, (lastTotal - lastUsed) / slope);
}

int64_t learnInterval(int64_t interval, int64_t gap) {
  double next = static_cast<double>(gap);
  if (interval > 0) {
    const double was = static_cast<double>(interval);
    next = (1 - kIntervalWeight) * was + kIntervalWeight * std::min(next, kMaxGapFactor * was);
  }
  return std::min(kMaxInterval, std::max(kMinInterval, static_cast<int64_t>(next + 0.5)));
}

std::vector<int64_t> boundedArrivals(std::vector<int64_t> arrivals, int64_t newest) {
  const int64_t latest = static_cast<int64_t>(time(nullptr)) + kArrivalSlack;
  const int64_t earliest = newest > 0 ? newest - kDay : 0;
  for (int64_t& t : arrivals) t = std::max(earliest, std::min(t, latest));
  return arrivals;
}

}  // namespace detail
}  // namespace flxhistory
