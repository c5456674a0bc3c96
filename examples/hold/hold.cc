// hold: takes a lock name through an installed Wendlemoor and holds it until
// Enter is pressed, or for a given number of seconds, then gives it back.
//
//   hold NAME [SECONDS]
//
// Each step prints its result code in hex and the code's name. A name held
// elsewhere is reported as busy, then waited for. Run it in two terminals
// with the same name, or beside wendlemoor-locks, to watch one wait for the
// other. Exit status: 0 held and given back, 1 a step failed (a bad name, a
// lock folder that is not private to the user), 2 a bad command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "components/lock_service.h"
#include "components/registry.h"

using wendlemoor::Failed;
using wendlemoor::GetService;
using wendlemoor::InitComponentSystem;
using wendlemoor::InterfacePtr;
using wendlemoor::IsSystemError;
using wendlemoor::kErrorAlreadyInitialized;
using wendlemoor::kErrorInvalidArgument;
using wendlemoor::kErrorLockBusy;
using wendlemoor::kErrorLockFolderUnusable;
using wendlemoor::kErrorLockNotHeld;
using wendlemoor::kErrorLockWouldDeadlock;
using wendlemoor::kErrorNoInterface;
using wendlemoor::kErrorNotInitialized;
using wendlemoor::kErrorOutOfMemory;
using wendlemoor::kErrorUnknownContract;
using wendlemoor::kLockServiceContractId;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;
using wendlemoor::ShutdownComponentSystem;
using wendlemoor::Succeeded;

namespace {

struct CodeName {
  ResultCode code;
  const char* name;
};
constexpr CodeName kCodeNames[] = {
    {kOk, "kOk"},
    {kErrorNotInitialized, "kErrorNotInitialized"},
    {kErrorUnknownContract, "kErrorUnknownContract"},
    {kErrorNoInterface, "kErrorNoInterface"},
    {kErrorInvalidArgument, "kErrorInvalidArgument"},
    {kErrorOutOfMemory, "kErrorOutOfMemory"},
    {kErrorAlreadyInitialized, "kErrorAlreadyInitialized"},
    {kErrorLockBusy, "kErrorLockBusy"},
    {kErrorLockWouldDeadlock, "kErrorLockWouldDeadlock"},
    {kErrorLockNotHeld, "kErrorLockNotHeld"},
    {kErrorLockFolderUnusable, "kErrorLockFolderUnusable"},
};

// Prints the step's outcome, the code in hex and its name; returns true when
// it succeeded.
bool Report(const char* step, const char* what, ResultCode code) {
  const char* name = "an unknown code";
  for (const CodeName& known : kCodeNames) {
    if (known.code == code) name = known.name;
  }
  if (IsSystemError(code)) {
    std::printf("%s \"%s\": %x kErrorSystemBase | errno %u (%s)\n", step, what,
                code, code & 0xFFFFu,
                std::strerror(static_cast<int>(code & 0xFFFFu)));
  } else {
    std::printf("%s \"%s\": %x %s\n", step, what, code, name);
  }
  std::fflush(stdout);
  return Succeeded(code);
}

int Usage() {
  std::fprintf(stderr,
               "usage: hold NAME [SECONDS]\n"
               "Holds the lock NAME until Enter is pressed, or for SECONDS.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return Usage();
  const char* name = argv[1];
  long seconds = -1;  // until Enter
  if (argc == 3) {
    char* end = nullptr;
    seconds = std::strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || seconds < 0) return Usage();
  }

  // The system and the service are reported only when they fail.
  ResultCode rv = InitComponentSystem(nullptr, nullptr, nullptr);
  if (Failed(rv)) return Report("start", "component system", rv), 1;
  bool ok = false;
  {  // The service's reference goes back before the system shuts down.
    InterfacePtr<LockService> locks =
        GetService<LockService>(kLockServiceContractId, LockService::kIid, &rv);
    if (Failed(rv)) {
      Report("find", kLockServiceContractId, rv);
    } else {
      rv = locks->AcquireLock(name, 0);
      if (rv == kErrorLockBusy) {
        Report("busy, waiting for", name, rv);
        rv = locks->AcquireLock(name, 1);
      }
      if (Report("acquire", name, rv)) {
        if (seconds < 0) {
          std::printf("holding \"%s\" until Enter\n", name);
          std::fflush(stdout);
          for (int c = 0; c != '\n' && c != EOF;) c = std::getchar();
        } else {
          std::printf("holding \"%s\" for %ld s\n", name, seconds);
          std::fflush(stdout);
          std::this_thread::sleep_for(std::chrono::seconds(seconds));
        }
        ok = Report("release", name, locks->ReleaseLock(name));
      }
    }
  }
  ShutdownComponentSystem(nullptr);
  return ok ? 0 : 1;
}
