// The test binary's entry: either a helper role or GoogleTest.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "runtime/private_mount.h"
#include "tests/helper_role.h"

bool gPrivateLockFolder = false;

namespace {

// Set by main before it enters a namespace of its own (see TestBinaryPath).
std::string& TestBinary() {
  static auto* path = new std::string;
  return *path;
}

}  // namespace

std::string TestBinaryPath() { return TestBinary(); }

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
