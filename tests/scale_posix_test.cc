// The full system at scale: a hundred children, five hundred workers, five
// names. Every worker of a name waits its turn, so the run takes about a
// hundred holds of 0.5-1 s in a row, 80-100 s; CTest labels it "scale" and the
// default test command leaves it out.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/log_lines.h"

namespace {

constexpr int kChildren = 100;
constexpr int kDeadlineMs = 600000;

double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

TEST(ScaleTest, HundredChildrenFinishEveryWorkerWithoutOverlappingHolds) {
  rusage before;
  getrusage(RUSAGE_CHILDREN, &before);
  const TimedRun run = RunAndTimeLines(
      {"./Wendlemoor", std::string("-").append(std::to_string(kChildren))},
      BuildFolder(), kDeadlineMs);
  rusage after;
  getrusage(RUSAGE_CHILDREN, &after);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0);
  ASSERT_FALSE(run.lines.empty());
  const std::uint64_t wall_ns =
      run.lines.back().at_ns - run.lines.front().at_ns;
  RecordProperty("wall_seconds", std::to_string(wall_ns / 1e9));
  RecordProperty(
      "cpu_seconds",
      std::to_string(Seconds(after.ru_utime) - Seconds(before.ru_utime) +
                     Seconds(after.ru_stime) - Seconds(before.ru_stime)));
  RecordProperty("largest_process_rss_kib", std::to_string(after.ru_maxrss));

  const unsigned parent = run.lines.front().pid;
  std::map<unsigned, int> clean_exits, joins;  // per child
  std::map<std::string, std::vector<std::uint64_t>> exits_by_name;
  for (const auto& line : run.lines) {
    ASSERT_NE(line.pid, 0u) << "unprefixed line: " << line.message;
    if (line.pid == parent) continue;
    char name[64];
    unsigned rv = 1;
    if (std::sscanf(line.message.c_str(),
                    "exiting TestThread [lock=%63s rv=%x]", name, &rv) == 2) {
      EXPECT_EQ(rv, 0u) << line.pid << " " << name;
      clean_exits[line.pid] += rv == 0;
      exits_by_name[name].push_back(line.at_ns);
    } else if (line.message == "joined with all threads; exiting DoTest") {
      ++joins[line.pid];
    }
  }
  EXPECT_EQ(joins.size(), std::size_t{kChildren});
  EXPECT_EQ(clean_exits.size(), std::size_t{kChildren});
  for (const auto& [pid, count] : clean_exits) EXPECT_EQ(count, 5) << pid;
  for (const auto& [pid, count] : joins) EXPECT_EQ(count, 1) << pid;

  // Each hold lasts at least 500 ms and its exit line follows the release, so
  // one name's exits closer than that mean overlapping holds; 100 ms allow
  // for lines logged or read late (see EndToEndTest).
  ASSERT_EQ(exits_by_name.size(), 5u);
  for (auto& [name, times] : exits_by_name) {
    EXPECT_EQ(times.size(), std::size_t{kChildren}) << name;
    std::sort(times.begin(), times.end());
    for (std::size_t i = 1; i < times.size(); ++i) {
      EXPECT_GE(times[i] - times[i - 1], 400000000u) << name << " exit " << i;
    }
  }
}

}  // namespace
