// The registry of helper roles and the start and wait of a helper, shared by
// the test entry points of every platform.
#include "tests/helper_role.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/process.h"

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

JX_Process StartHelper(const std::string& role,
                       const std::vector<std::string>& arguments,
                       const JX_ProcessAttributes* attributes) {
  std::vector<std::string> strings = {TestBinaryPath(), "--helper-role", role};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  return JX_CreateProcess(strings[0].c_str(), argv.data(), nullptr, attributes);
}

int WaitHelper(JX_Process process, int deadline_ms) {
  int code = 0;
  return JX_WaitProcessOrKill(process, static_cast<std::uint32_t>(deadline_ms),
                              &code) == JX_SUCCESS
             ? code
             : kWaitTimedOut;
}
