// Reading log lines: what is the same on every platform.
#include "tests/log_lines.h"

#include <cstdio>

#include "gtest/gtest.h"

bool ParseLogLine(const std::string& raw, LogLine* line) {
  line->message = raw;
  unsigned pid = 0;
  int consumed = 0;
  char thread[64];
  if (raw.size() < 4 || raw[0] != '[' ||
      std::sscanf(raw.c_str(), "[%u:%63[^]]] %n", &pid, thread, &consumed) !=
          2 ||
      consumed == 0) {
    return false;
  }
  line->pid = pid;
  line->thread = thread;
  line->message = raw.substr(static_cast<std::size_t>(consumed));
  return true;
}

TimedRun RunAndTimeLines(const std::vector<std::string>& argv,
                         const std::string& cwd, int deadline_ms) {
  return RunReadingLines(argv, cwd, deadline_ms, ReadPlan{});
}

std::vector<LogLine> LinesOf(const std::vector<LogLine>& lines, unsigned pid) {
  std::vector<LogLine> out;
  for (const auto& line : lines) {
    if (line.pid == pid) out.push_back(line);
  }
  return out;
}

std::string BuildFolder() {
  const std::string binary = WENDLEMOOR_BINARY;
  return binary.substr(0, binary.find_last_of("/\\"));
}

std::map<unsigned, ChildOutcome> ChildOutcomes(
    const std::vector<LogLine>& lines, unsigned parent) {
  std::map<unsigned, ChildOutcome> children;
  for (const auto& line : lines) {
    if (line.pid == 0 || line.pid == parent) continue;
    ChildOutcome& child = children[line.pid];
    char name[64];
    unsigned rv = 1;
    if (std::sscanf(line.message.c_str(),
                    "exiting TestThread [lock=%63s rv=%x]", name, &rv) == 2) {
      ++child.exits;
      if (rv == 0) child.clean_exits.insert(name);
    } else if (line.message == "joined with all threads; exiting DoTest") {
      child.joined = true;
    }
  }
  return children;
}

void ExpectFullRun(const ChildOutcome& child, unsigned pid) {
  EXPECT_EQ(child.exits, 5) << "child " << pid;
  EXPECT_EQ(child.clean_exits.size(), 5u) << "child " << pid;
  EXPECT_TRUE(child.joined) << "child " << pid;
}
