#include <fcntl.h>
#include <poll.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "gtest/gtest.h"
#include "runtime/eintr.h"
#include "tests/helper_role.h"
#include "tests/lock_helpers.h"

using wendlemoor::CreateLockService;
using wendlemoor::InterfacePtr;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

InterfacePtr<LockService> NewService(const std::string& folder) {
  return InterfacePtr<LockService>::Adopt(
      CreateLockService(folder == "-" ? nullptr : folder.c_str()));
}

void WaitForControl(const std::string& fd) {
  char byte;
  RetryOnEintr([&] { return read(std::stoi(fd), &byte, 1); });
}

WENDLEMOOR_HELPER_ROLE(lock_hold) {
  auto service = NewService(arguments[0]);
  const char* name = arguments[1].c_str();
  const ResultCode code = service->AcquireLock(name, std::stoi(arguments[2]));
  std::printf("%x\n", code);
  std::fflush(stdout);
  WaitForControl(arguments[3]);
  if (code != kOk) return kHelperOk;
  return service->ReleaseLock(name) == kOk ? kHelperOk : kHelperFailed;
}

Helper Start(const char* role, std::vector<std::string> arguments,
             int control_read) {
  int report[2], control[2] = {-1, -1};
  EXPECT_EQ(pipe2(report, O_CLOEXEC), 0);
  if (control_read == -1) {
    EXPECT_EQ(pipe2(control, O_CLOEXEC), 0);
    control_read = control[0];
  }
  fcntl(control_read, F_SETFD, 0);  // the one descriptor the helper inherits
  arguments.push_back(std::to_string(control_read));
  Helper helper{StartHelper(role, arguments, report[1]), report[0], control[1]};
  fcntl(control_read, F_SETFD, FD_CLOEXEC);
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
  const std::string line = Read(helper.report, true);
  return line.empty() ? kNoReport : std::stoul(line, nullptr, 16);
}

int Finish(Helper& helper) {
  close(helper.control);
  close(helper.report);
  return WaitHelper(helper.pid, kLockDeadlineMs);
}

std::string LockKey(const struct stat& st) {
  char key[64];
  std::snprintf(key, sizeof key, " %02x:%02x:%llu ", major(st.st_dev),
                minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  return key;
}

bool SomeoneWaitsOnAny(const std::vector<std::string>& keys) {
  std::ifstream locks("/proc/locks");
  for (std::string l; std::getline(locks, l);) {
    if (l.find("->") == l.npos) continue;
    for (const auto& key : keys) {
      if (l.find(key) != l.npos) return true;
    }
  }
  return false;
}
