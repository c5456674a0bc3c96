// The registry of helper roles, shared by the test entry points of every
// platform.
#include "tests/helper_role.h"

#include <map>
#include <string>
#include <vector>

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

bool RunHelperRoleIfAsked(int argc, char** argv, int* status) {
  if (argc < 3 || std::string(argv[1]) != "--helper-role") return false;
  const auto it = Roles().find(argv[2]);
  *status = it == Roles().end()
                ? kHelperUnknownRole
                : it->second(std::vector<std::string>(argv + 3, argv + argc));
  return true;
}
