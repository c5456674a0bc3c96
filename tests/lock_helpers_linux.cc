// The Linux half of lock_helpers.h: helpers steered through pipes, and who
// waits, read from /proc/locks by the viewer's reader.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "components/lock_holders.h"
#include "gtest/gtest.h"
#include "tests/helper_role.h"
#include "tests/lock_helpers.h"

using wendlemoor::KernelFileLocks;
using wendlemoor::LockFileKey;
using wendlemoor::ReadKernelFileLocks;
using wendlemoor::ResultCode;

Helper Start(const char* role, const std::vector<std::string>& arguments,
             int control_read) {
  int report[2], control[2] = {-1, -1};
  EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
  if (control_read == -1) {
    EXPECT_EQ(pipe2(control, O_CLOEXEC), 0);
    control_read = control[0];
  }
  JX_ProcessAttributes streams;
  streams.standard_input = control_read;
  streams.standard_output = report[1];
  Helper helper;
  helper.process = StartHelper(role, arguments, &streams);
  helper.pid = JX_GetProcessId(helper.process);
  helper.report = report[0];
  helper.control = control[1];
  close(report[1]);
  if (control[0] != -1) close(control[0]);
  EXPECT_NE(helper.pid, -1);
  return helper;
}

std::string Read(int fd, bool line, int deadline_ms) {
  std::string text;
  char c;
  pollfd p = {fd, POLLIN, 0};
  while (poll(&p, 1, deadline_ms) == 1 && read(fd, &c, 1) == 1) {
    if (line && c == '\n') break;
    text += c;
  }
  return text;
}

ResultCode ReadCode(const Helper& helper) {
  return CodeFromReport(Read(helper.report, true));
}

int Finish(Helper& helper) {
  close(helper.control);
  close(helper.report);
  return WaitHelper(helper.process, kLockDeadlineMs);
}

LockFileKey LockKey(const struct stat& st) { return {st.st_dev, st.st_ino}; }

bool SomeoneWaitsOnAny(const std::vector<LockFileKey>& files) {
  std::vector<KernelFileLocks> locks;
  if (ReadKernelFileLocks(files, &locks) != 0) return false;
  for (const KernelFileLocks& file : locks) {
    if (file.waiting > 0) return true;
  }
  return false;
}
