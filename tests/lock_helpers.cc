// The lock helpers of every platform: the factory, the wait for standard
// input's end, and the "lock_hold" and "lock_intervals" roles.
#include "tests/lock_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tests/helper_role.h"
#include "tests/timed_holds.h"

using wendlemoor::CreateLockService;
using wendlemoor::InterfacePtr;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

InterfacePtr<LockService> NewService(const std::string& folder) {
  return InterfacePtr<LockService>::Adopt(
      CreateLockService(folder == "-" ? nullptr : folder.c_str()));
}

void WaitForInputEnd() {
  // Nothing is ever written: only the end counts. A signal goes on waiting.
  for (;;) {
    if (std::getchar() != EOF) continue;
    if (!std::ferror(stdin) || errno != EINTR) return;
    std::clearerr(stdin);
  }
}

ResultCode CodeFromReport(const std::string& line) {
  return line.empty()
             ? kNoReport
             : static_cast<ResultCode>(std::strtoul(line.c_str(), nullptr, 16));
}

WENDLEMOOR_HELPER_ROLE(lock_hold) {
  auto service = NewService(arguments[0]);
  const char* name = arguments[1].c_str();
  const ResultCode code = service->AcquireLock(name, std::stoi(arguments[2]));
  std::printf("%x\n", code);
  std::fflush(stdout);
  WaitForInputEnd();
  if (code != kOk) return kHelperOk;
  return service->ReleaseLock(name) == kOk ? kHelperOk : kHelperFailed;
}

WENDLEMOOR_HELPER_ROLE(lock_intervals) {
  auto service = NewService(arguments[0]);
  WaitForInputEnd();
  return TakeTimedHolds(service.get(), arguments[1].c_str(),
                        std::stoi(arguments[2]), std::stoul(arguments[3]));
}
