// The test binary's entry on Windows: either a helper role or GoogleTest.
//
// Windows has no private mount for the lock folder: each test that takes
// locks uses a name prefix of its own (the "folder" of the Windows lock
// service), which no other run uses.
#include <windows.h>

#include "gtest/gtest.h"
#include "tests/helper_role.h"

std::string TestBinaryPath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

int main(int argc, char** argv) {
  // A test that crashes must fail, not wait for a click; helpers and the
  // programs under test inherit the mode.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  if (int status; RunHelperRoleIfAsked(argc, argv, &status)) return status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
