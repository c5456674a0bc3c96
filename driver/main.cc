// Wendlemoor: a console test driver that puts the lock service under load.
//
//   Wendlemoor [-N]   the parent: launches N children (10 by default) as
//                     "./Wendlemoor -child" and waits for all of them;
//   Wendlemoor -child a child: runs five lock workers (see locktest/).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/log.h"
#include "driver/standard_streams.h"
#include "locktest/child_run.h"
#include "runtime/interval.h"
#include "runtime/process.h"

namespace {

constexpr int kDefaultChildCount = 10;

int Usage() {
  std::printf(
      "### usage: Wendlemoor [-N]\nwhere, N is the number of test processes to "
      "spawn.\n");
  return -1;
}

// Reads the count as atoi does (leading white space, one optional sign, the
// decimal digits up to the first non-digit, 0 when there is none), but refuses
// a number outside the signed 32-bit range instead of wrapping it around.
bool ReadCount(const char* text, int* count) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  *count = static_cast<int>(value);
  return true;
}

int RunParent(int count) {
  LogMessage("sleeping for 1 second\n");
  JX_Sleep(JX_SecondsToInterval(1));

  // The table lives for the rest of the process; it is given back only on the
  // way out, so that leak checkers see a clean exit.
  JX_Process* processes = nullptr;
  if (count > 0) {
    processes = static_cast<JX_Process*>(
        std::malloc(static_cast<std::size_t>(count) * sizeof(JX_Process)));
    if (processes == nullptr) {
      LogMessage("failed to allocate process table\n");
      return 1;
    }
  }

  char path[] = "./Wendlemoor";
  char child_flag[] = "-child";
  char* const argv[] = {path, child_flag, nullptr};
  bool any_launch_failed = false;
  for (int i = 0; i < count; ++i) {
    LogMessage("spawning child test\n");
    processes[i] = JX_CreateProcess(path, argv, nullptr, nullptr);
    if (processes[i] == nullptr) {
      const int error = errno;
      LogMessage("failed to spawn child test [errno=%d]\n", error);
      any_launch_failed = true;
    }
  }

  int exit_code = 0;
  for (int i = 0; i < count; ++i) {
    if (processes[i] != nullptr) (void)JX_WaitProcess(processes[i], &exit_code);
  }
  std::free(processes);
  // What the children did is not judged; a launch that failed is.
  return any_launch_failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else opens a file. There is nowhere to report a failure.
  if (!PrepareStandardStreams()) return 1;
  LogMessage("entering main\n");
  int count = kDefaultChildCount;
  if (argc > 1) {
    if (std::strcmp(argv[1], "-child") == 0) return RunChildTest();
    if (argv[1][0] == '-') {
      if (!ReadCount(argv[1] + 1, &count) || count == 0) return Usage();
    }
  }
  return RunParent(count);
}
