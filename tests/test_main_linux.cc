// The test binary's entry: either a helper role or GoogleTest.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/private_mount.h"
#include "tests/helper_role.h"

using wendlemoor::DefaultLockFolder;

extern char** environ;

bool gPrivateLockFolder = false;

namespace {

// Set by main before it enters a namespace of its own (see TestBinaryPath).
std::string& TestBinary() {
  static auto* path = new std::string;
  return *path;
}

}  // namespace

std::string TestBinaryPath() { return TestBinary(); }

pid_t StartHelper(const std::string& role,
                  const std::vector<std::string>& arguments, int stdout_fd) {
  const std::string binary = TestBinaryPath();
  std::vector<std::string> strings = {binary, "--helper-role", role};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd != -1) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, binary.c_str(), &actions, nullptr,
                                argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

int WaitHelper(pid_t pid, int deadline_ms) {
  const std::uint64_t end =
      JX_MonotonicNanos() + std::uint64_t(deadline_ms) * 1000000u;
  int status = 0;
  for (;;) {
    const pid_t r =
        RetryOnEintr([&] { return waitpid(pid, &status, WNOHANG); });
    if (r == pid) break;
    if (r == -1) return kWaitTimedOut;
    if (JX_MonotonicNanos() >= end) {
      kill(pid, SIGKILL);
      RetryOnEintr([&] { return waitpid(pid, &status, 0); });
      return kWaitTimedOut;
    }
    // Tests only: a coarse poll keeps the deadline simple.
    JX_Sleep(5000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

int main(int argc, char** argv) {
  char binary[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", binary, sizeof binary);
  if (length > 0 && length < static_cast<ssize_t>(sizeof binary)) {
    TestBinary().assign(binary, static_cast<std::size_t>(length));
  }
  // Helpers are started by a test process and share its lock folder.
  if (int status; RunHelperRoleIfAsked(argc, argv, &status)) return status;
  // Still one thread here, as a namespace requires. Everything this process
  // starts, the real executable and its children included, inherits the
  // private folder. Messages go to standard error: test discovery reads
  // standard output.
  const std::string folder = DefaultLockFolder();
  gPrivateLockFolder = JX_MountPrivateFolder(folder.c_str()) == JX_SUCCESS;
  if (!gPrivateLockFolder) {
    std::fprintf(stderr,
                 "note: no private lock folder (%s); these tests share %s "
                 "with every other run on the machine\n",
                 std::strerror(errno), folder.c_str());
  }
  // "--exec PROGRAM ARGS...": runs PROGRAM in the private folder, for tests
  // that run a program directly under a tool.
  if (argc >= 3 && std::string(argv[1]) == "--exec") {
    execv(argv[2], argv + 2);
    std::fprintf(stderr, "exec %s: %s\n", argv[2], std::strerror(errno));
    return 127;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
