// The command line of the real executable: which branch each first argument
// selects, how many children a parent launches, and the usage text.
//
// Parents run in a scratch folder whose "Wendlemoor" is a stub script, so their
// children end at once and the lock service plays no part; the executable
// itself is run by its absolute path.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/run_capture.h"

namespace {

constexpr int kDeadlineMs = 60000;

constexpr char kUsage[] =
    "### usage: Wendlemoor [-N]\n"
    "where, N is the number of test processes to spawn.\n";

// The message of a log line written by process `pid`, or "<not a log line>".
std::string MessageOf(const std::string& line, pid_t pid) {
  const std::string head =
      std::string("[").append(std::to_string(pid)).append(":0x");
  const std::size_t end = line.find("] ");
  if (line.compare(0, head.size(), head) != 0 || end == std::string::npos ||
      end == head.size() ||
      line.find_first_not_of("0123456789abcdef", head.size()) != end) {
    return "<not a log line>";
  }
  return line.substr(end + 2);
}

std::vector<std::string> MessagesOf(const RunResult& run) {
  std::vector<std::string> messages;
  for (const auto& line : SplitLines(run.output)) {
    messages.push_back(MessageOf(line, run.pid));
  }
  return messages;
}

// What a parent that launches `spawns` children logs when every launch works.
std::vector<std::string> ParentMessages(int spawns) {
  std::vector<std::string> messages = {"entering main",
                                       "sleeping for 1 second"};
  messages.insert(messages.end(), spawns, "spawning child test");
  return messages;
}

int CountLines(const std::string& output, const std::string& needle) {
  int count = 0;
  for (const auto& line : SplitLines(output)) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}

enum class Branch { kParent, kUsage, kChild };

struct Row {
  std::vector<std::string> arguments;
  Branch branch;
  int spawns;  // parents only
};

TEST(CommandLineTest, FirstArgumentSelectsBranchAndChildCount) {
  const std::vector<Row> rows = {
      {{}, Branch::kParent, 10},
      {{"-3"}, Branch::kParent, 3},
      {{"-3x"}, Branch::kParent, 3},
      {{"- 4"}, Branch::kParent, 4},
      {{"5"}, Branch::kParent, 10},
      {{"--2"}, Branch::kParent, 0},
      {{"-0"}, Branch::kUsage, 0},
      {{"-"}, Branch::kUsage, 0},
      {{"-x"}, Branch::kUsage, 0},
      {{"-Child"}, Branch::kUsage, 0},
      {{"-child2"}, Branch::kUsage, 0},
      {{"-99999999999"}, Branch::kUsage, 0},
      {{"--99999999999"}, Branch::kUsage, 0},
      {{"-child"}, Branch::kChild, 0},
      {{"-child", "extra"}, Branch::kChild, 0},
  };
  const std::vector<RunResult> runs =
      RunRowsWithStubChildren(rows, kDeadlineMs);

  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const RunResult& run = runs[i];
    std::string label = "arguments:";
    for (const auto& argument : row.arguments) label += " \"" + argument + "\"";
    SCOPED_TRACE(label);
    ASSERT_EQ(run.spawn_error, 0);
    EXPECT_FALSE(run.timed_out);
    switch (row.branch) {
      case Branch::kParent:
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(MessagesOf(run), ParentMessages(row.spawns)) << run.output;
        break;
      case Branch::kUsage: {
        // The usage follows the one log line unprefixed, and nothing else.
        EXPECT_EQ(run.status, 255);
        const std::size_t first_end = run.output.find('\n');
        ASSERT_NE(first_end, std::string::npos) << run.output;
        EXPECT_EQ(MessageOf(run.output.substr(0, first_end), run.pid),
                  "entering main");
        EXPECT_EQ(run.output.substr(first_end + 1), kUsage);
        break;
      }
      case Branch::kChild:
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(CountLines(run.output, "running child test"), 1)
            << run.output;
        EXPECT_EQ(CountLines(run.output, "spawning"), 0) << run.output;
        EXPECT_EQ(CountLines(run.output, "usage"), 0) << run.output;
        break;
    }
  }
}

TEST(CommandLineTest, ParentWithoutExecutableInFolderReportsEachFailedLaunch) {
  TempDir empty_dir;
  ASSERT_FALSE(empty_dir.path().empty());
  const RunResult run =
      RunCapture({WENDLEMOOR_BINARY, "-3"}, empty_dir.path(), kDeadlineMs);
  ASSERT_EQ(run.spawn_error, 0);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 1);
  std::vector<std::string> expected = ParentMessages(0);
  for (int i = 0; i < 3; ++i) {
    expected.push_back("spawning child test");
    expected.push_back("failed to spawn child test [errno=2]");
  }
  EXPECT_EQ(MessagesOf(run), expected) << run.output;
}

}  // namespace
