// A whole run of the real executable, parent and three children, on every
// platform: every line, who wrote it, and the exit status.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/log_lines.h"

namespace {

constexpr int kDeadlineMs = 120000;

TEST(EndToEndTest, ThreeChildrenTakeEveryNameInTurn) {
  const TimedRun run =
      RunAndTimeLines({"./Wendlemoor", "-3"}, BuildFolder(), kDeadlineMs);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0);

  std::vector<unsigned> processes;  // in order of first appearance
  for (const auto& line : run.lines) {
    ASSERT_NE(line.pid, 0u) << "unprefixed line: " << line.message;
    if (std::find(processes.begin(), processes.end(), line.pid) ==
        processes.end()) {
      processes.push_back(line.pid);
      EXPECT_EQ(line.message, "entering main");
    }
  }
  ASSERT_EQ(processes.size(), 4u);

  // name -> the times at which each child's worker logged its exit.
  std::map<std::string, std::vector<std::uint64_t>> exits_by_name;
  for (std::size_t i = 1; i < processes.size(); ++i) {
    SCOPED_TRACE("child " + std::to_string(processes[i]));
    const std::vector<LogLine> lines = LinesOf(run.lines, processes[i]);
    const std::string main_thread = lines.front().thread;
    std::set<std::string> workers, names;
    std::size_t exits_seen = 0;
    bool joined = false;
    for (const auto& line : lines) {
      char name[64];
      unsigned rv = 1;
      if (std::sscanf(line.message.c_str(),
                      "exiting TestThread [lock=%63s rv=%x]", name, &rv) == 2) {
        EXPECT_FALSE(joined) << "an exit line after the join";
        EXPECT_EQ(rv, 0u) << name;
        EXPECT_TRUE(names.insert(name).second) << name << " twice";
        workers.insert(line.thread);
        exits_by_name[name].push_back(line.at_ns);
        ++exits_seen;
      } else if (line.message == "joined with all threads; exiting DoTest") {
        EXPECT_EQ(line.thread, main_thread);
        EXPECT_EQ(exits_seen, 5u);
        joined = true;
      }
    }
    EXPECT_TRUE(joined);
    EXPECT_EQ(names,
              (std::set<std::string>{"foopy", "test", "1", "xyz", "zib4ever"}));
    EXPECT_EQ(workers.size(), 5u);
    EXPECT_EQ(workers.count(main_thread), 0u);
  }
  // A worker logs its exit right after releasing, and holds at least 500 ms:
  // two children's exits for one name closer than that mean overlapping holds.
  // Lines are timed when read, and a worker may be held up between its
  // release and its line, so a gap may look up to 100 ms shorter on a busy
  // machine. (Overlapping holds leave exits nearly together: every child
  // draws the same delays.)
  for (auto& [name, times] : exits_by_name) {
    std::sort(times.begin(), times.end());
    for (std::size_t i = 1; i < times.size(); ++i) {
      EXPECT_GE(times[i] - times[i - 1], 400000000u) << name;
    }
  }
}

}  // namespace
