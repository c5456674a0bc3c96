// wendlemoor-chaos: an adversary for the lock service, with its own checker.
//
//   wendlemoor-chaos [OPTIONS]     a run (chaos/run.h; --help)
//   wendlemoor-chaos --worker ...  one of its worker processes
//   wendlemoor-chaos --check FILE  a kept history judged again
//   wendlemoor-chaos --module PATH ..., --card ...  over lock modules
//                                  (chaos/module_run.h)
//   wendlemoor-chaos --command CMD ...  over an adapter program
//                                  (chaos/command_run.h)
//
// Exit status: 0 a clean history, 1 a broken one, 2 a bad command line (or
// a history file to check that is no whole history, or a report file that
// could not be written), 130 interrupted. The card's own: chaos/card.h.
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "chaos/command_run.h"
#include "chaos/module_run.h"
#include "chaos/run.h"
#include "chaos/worker.h"
#include "components/lock_service.h"
#include "runtime/eintr.h"

using wendlemoor::ChaosOptions;
using wendlemoor::ChaosParse;
using wendlemoor::ChaosUsage;
using wendlemoor::CheckChaosHistory;
using wendlemoor::CreateLockService;
using wendlemoor::kCommandUsage;
using wendlemoor::kLinkedInLock;
using wendlemoor::kModuleUsage;
using wendlemoor::ParseChaosOptions;
using wendlemoor::RunChaos;
using wendlemoor::RunChaosWorker;
using wendlemoor::RunCommandCommand;
using wendlemoor::RunModuleCommand;

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--worker") {
    return RunChaosWorker(std::vector<std::string>(argv + 2, argv + argc),
                          CreateLockService);
  }
  if (int status = 0; RunCommandCommand(argc, argv, &status)) {
    return status;
  }
  if (int status = 0; RunModuleCommand(argc, argv, &status)) {
    return status;
  }
  ChaosOptions options;
  std::string error;
  switch (ParseChaosOptions(argc, argv, &options, &error)) {
    case ChaosParse::kHelp:
      std::fputs(ChaosUsage(), stdout);
      std::fputs(kModuleUsage, stdout);
      std::fputs(kCommandUsage, stdout);
      return 0;
    case ChaosParse::kBad:
      std::fprintf(stderr, "wendlemoor-chaos: %s\n%s", error.c_str(),
                   ChaosUsage());
      return 2;
    case ChaosParse::kRun:
      break;
  }
  if (!options.check.empty()) return CheckChaosHistory(options);
  // Workers are this very executable, found again through /proc even when it
  // was started by a relative path or from PATH.
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::perror("wendlemoor-chaos: /proc/self/exe");
    return 1;
  }
  self[n] = '\0';
  options.lock = kLinkedInLock;
  return RunChaos(options, {self, "--worker"});
}
