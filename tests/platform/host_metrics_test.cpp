// The host's shared counters: label values from devices, counts summed over processes that
// end, the bound on a family's series, and the exposition's order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host.h"

namespace m = webapihost::metrics;

namespace {

TEST(Metrics, LabelValuesAreUtf8EscapedAndCut) {
  const std::string longName(200, 'a');
  const std::string kBad = "\xef\xbf\xbd";  // U+FFFD
  // A two-byte character straddling the bound is dropped whole.
  const std::string straddling = std::string(127, 'b') + "\xc3\xa9" + "tail";
  const struct {
    std::string in, want;
  } cases[] = {
      {"sda", "sda"},
      {"a\"b", "a\\\"b"},
      {"back\\slash", "back\\\\slash"},
      {"two\nlines", "two\\nlines"},
      {"", ""},
      {longName, std::string(m::kMaxLabelValue, 'a')},
      {straddling, std::string(127, 'b')},
      // The cut comes before escaping: an escape is never split.
      {std::string(127, 'c') + "\"\"", std::string(127, 'c') + "\\\""},
      // Bytes that are not UTF-8 become U+FFFD, one each, and count as its three bytes.
      {"caf\xe9", "caf" + kBad},                        // Latin-1
      {"\xed\xa0\x80x", kBad + kBad + kBad + "x"},      // an encoded surrogate
      {"\xc0\xaf", kBad + kBad},                        // an overlong '/'
      {"\xf4\x90\x80\x80", kBad + kBad + kBad + kBad},  // above U+10FFFF
      {"cut\xe2\x82", "cut" + kBad + kBad},             // a character cut short
      {"disk \xf0\x9f\x92\xbe \xe2\x82\xac", "disk \xf0\x9f\x92\xbe \xe2\x82\xac"},  // kept
      {std::string(126, 'd') + "\xff", std::string(126, 'd')},
  };
  for (const auto& c : cases) EXPECT_EQ(m::LabelValue(c.in), c.want) << c.in;
  EXPECT_EQ(m::Label("sn", "x\"y"), "sn=\"x\\\"y\"");
}

TEST(Metrics, CountsOfEndedProcessesAddUpAndFamiliesAreBounded) {
  ASSERT_TRUE(m::Init());
  m::Describe("t_requests_total", m::Type::kCounter, "Requests.");
  m::Describe("t_seconds", m::Type::kHistogram, "Durations.");
  m::Describe("t_kinds_total", m::Type::kCounter, "Kinds.");
  EXPECT_FALSE(m::Add("t_undescribed_total", ""));
  // Three workers count and end (one by a signal, after its counts); the parent sees the sum.
  for (int w = 0; w < 3; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < 1000; ++i) m::Add("t_requests_total", "result=\"ok\"");
      m::Observe("t_seconds", "api=\"a\"", w == 0 ? 0.003 : 2);
      if (w == 2) raise(SIGKILL);
      _exit(0);
    }
    ASSERT_GT(pid, 0);
  }
  while (wait(nullptr) > 0) {
  }
  const std::string text = m::Render();
  EXPECT_NE(text.find("# TYPE t_requests_total counter\nt_requests_total{result=\"ok\"} 3000\n"),
            std::string::npos)
      << text;
  // Buckets in the order of their bounds, ending with +Inf; then count and sum.
  const size_t small = text.find("t_seconds_bucket{api=\"a\",le=\"0.005\"} 1\n");
  const size_t two = text.find("t_seconds_bucket{api=\"a\",le=\"2.5\"} 3\n");
  const size_t inf = text.find("t_seconds_bucket{api=\"a\",le=\"+Inf\"} 3\n");
  ASSERT_NE(small, std::string::npos) << text;
  EXPECT_LT(small, two);
  EXPECT_LT(two, inf);
  EXPECT_NE(text.find("t_seconds_count{api=\"a\"} 3\n"), std::string::npos);
  EXPECT_NE(text.find("t_seconds_sum{api=\"a\"} 4.003\n"), std::string::npos) << text;

  // A family full of device-chosen values refuses more; the others still count.
  int added = 0;
  for (int i = 0; i < 2000; ++i)
    added += m::Add("t_kinds_total", m::Label("kind", "k" + std::to_string(i))) ? 1 : 0;
  EXPECT_LT(added, 2000);
  EXPECT_GT(added, 100);
  EXPECT_TRUE(m::Add("t_requests_total", "result=\"101\""));
}

// Workers that make the same series at once make it once, even when one is stopped
// (descheduled) while making it: a scrape with a series twice is refused whole. One killed
// while making one does not stop the others.
TEST(Metrics, ASeriesIsMadeOnceWhileItsMakersAreStoppedOrKilled) {
  ASSERT_TRUE(m::Init());
  // Two makers on this machine's two cores, stopped in turns: a stop lands often enough in the
  // moment between taking a slot and naming it.
  const int kFamilies = 6, kSeries = 450, kWorkers = 2;
  auto family = [](int f) { return "t_race" + std::to_string(f) + "_total"; };
  for (int f = 0; f <= kFamilies; ++f) m::Describe(family(f), m::Type::kCounter, "Race.");
  std::vector<std::string> names, labels;
  for (int f = 0; f < kFamilies; ++f) names.push_back(family(f));
  for (int i = 0; i < kSeries; ++i) labels.push_back(m::Label("n", std::to_string(i)));
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> workers;
  for (int w = 0; w < kWorkers; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      char c;
      (void)!read(go[0], &c, 1);  // all start together, at the parent's close
      for (int f = 0; f < kFamilies; ++f)
        for (int i = 0; i < kSeries; ++i) m::Add(names[f], labels[i]);
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    workers.push_back(pid);
  }
  close(go[0]);
  close(go[1]);
  // Stop each worker in turn while the others go on, until all have ended.
  for (size_t n = 0, left = workers.size(); left > 0; ++n) {
    const pid_t pid = workers[n % workers.size()];
    if (pid < 0) continue;
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::microseconds(30));
    kill(pid, SIGCONT);
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      workers[n % workers.size()] = -1;
      --left;
    }
  }
  // Makers killed at any moment, some while making a series: the next one is still made.
  alarm(20);  // a lock left held fails the test rather than hang it
  for (int k = 0; k < 30; ++k) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0;; ++i) m::Add(family(kFamilies), m::Label("n", std::to_string(i)));
    }
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(200 + 397 * k % 3000));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(m::Add(family(0), "n=\"after" + std::to_string(k) + "\""));
  }
  alarm(0);
  const std::string text = m::Render();
  for (int f = 0; f < kFamilies; ++f) {
    for (int i = 0; i < kSeries; ++i) {
      const std::string line = family(f) + "{n=\"" + std::to_string(i) + "\"} ";
      const size_t at = text.find(line);
      ASSERT_NE(at, std::string::npos) << line;
      EXPECT_EQ(text.find(line, at + 1), std::string::npos) << "twice: " << line;
      EXPECT_EQ(text.compare(at + line.size(), 2, std::to_string(kWorkers) + "\n"), 0) << line;
    }
  }
}

}  // namespace
