// The base runtime on Windows: a child that dies with its parent.
#include <string>

#include "gtest/gtest.h"
#include "runtime/process.h"
#include "tests/test_child_win32.h"

namespace {

TEST(ProcessTest, ChildDiesWithItsParent) {
  TestChild helper;
  ASSERT_TRUE(helper.StartHelper("start_dying_with_me", {}));
  const std::string line = helper.Read(true, 60000);
  ASSERT_FALSE(line.empty());
  // The helper alone: its job, TestChild's, holds the child too.
  const JX_Process alone = JX_AdoptProcess(helper.pid());
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(JX_WaitProcessOrKill(alone, 0, nullptr), JX_TIMED_OUT);
  // Gone already (no process to open), or within the minute.
  const JX_Process child = JX_AdoptProcess(std::stoi(line));
  if (child != nullptr) {
    EXPECT_EQ(JX_WaitProcessOrKill(child, 60000, nullptr), JX_SUCCESS);
  }
}

}  // namespace
