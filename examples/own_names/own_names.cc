// own_names: a program that already has an Interface, a kOk, a LockService and
// the rest of its own includes every installed header and takes and gives
// back a lock through wendlemoor::. Each of its names is a different kind of
// entity from the library's (a variable where the library has a function, a
// type of another shape), so the file builds only while the library keeps its
// names out of the global namespace.
//
//   own_names [NAME]    exit status 0 when NAME was taken and given back
#include <cstdio>

#include "components/event_queue_service.h"
#include "components/interface.h"
#include "components/lock_service.h"
#include "components/registry.h"
#include "components/result_code.h"
#if __has_include("components/lock_holders.h")  // installed on Linux alone
#include "components/lock_holders.h"
#endif

// The program's own plug-ins and its tally of the library's answers.
enum ResultCode { kOk, kBroken };
int Failed = 0;
int Succeeded = 0;
using InterfaceId = int;
struct Interface {
  virtual ResultCode Start() = 0;
};
template <typename T>
using InterfacePtr = T*;
struct LockService final : Interface {
  ResultCode Start() override { return kOk; }
};
LockService gOwnLocks;
Interface* OwnService(InterfaceId id) { return id == 1 ? &gOwnLocks : nullptr; }
Interface* (*GetService)(InterfaceId) = OwnService;
bool RegisterService = false;

void Tally(wendlemoor::ResultCode code) {
  if (wendlemoor::Failed(code)) {
    ++Failed;
  } else {
    ++Succeeded;
  }
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "own-names";
  Tally(wendlemoor::InitComponentSystem(nullptr, nullptr, nullptr));
  {  // The service's reference goes back before the system shuts down.
    wendlemoor::ResultCode rv = wendlemoor::kOk;
    wendlemoor::InterfacePtr<wendlemoor::LockService> locks =
        wendlemoor::GetService<wendlemoor::LockService>(
            wendlemoor::kLockServiceContractId, wendlemoor::LockService::kIid,
            &rv);
    Tally(rv);
    if (locks) {
      Tally(locks->AcquireLock(name, 1));
      Tally(locks->ReleaseLock(name));
    }
  }
  Tally(wendlemoor::ShutdownComponentSystem(nullptr));
  // The program's own names still mean what it gave them.
  InterfacePtr<Interface> own = GetService(1);
  RegisterService = own != nullptr && own->Start() == kOk;
  std::printf("library: %d steps succeeded, %d failed; own service: %s\n",
              Succeeded, Failed, RegisterService ? "started" : "missing");
  return Succeeded == 5 && Failed == 0 && RegisterService ? 0 : 1;
}
