// The test binary's entry on Windows: either a helper role or GoogleTest.
//
// Windows has no private mount for the lock folder: each test that takes
// locks uses a name prefix of its own (the "folder" of the Windows lock
// service), which no other run uses.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/helper_role.h"

namespace {

std::map<std::string, HelperRoleFunction>& Roles() {
  static auto* roles = new std::map<std::string, HelperRoleFunction>;
  return *roles;
}

}  // namespace

bool RegisterHelperRole(const char* name, HelperRoleFunction function) {
  Roles()[name] = function;
  return true;
}

int main(int argc, char** argv) {
  // A test that crashes must fail, not wait for a click; helpers and the
  // programs under test inherit the mode.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
               SEM_NOOPENFILEERRORBOX);
  if (argc >= 3 && std::string(argv[1]) == "--helper-role") {
    auto it = Roles().find(argv[2]);
    if (it == Roles().end()) return kHelperUnknownRole;
    return it->second(std::vector<std::string>(argv + 3, argv + argc));
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
