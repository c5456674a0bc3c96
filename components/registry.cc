#include "components/registry.h"

#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "components/event_queue_service.h"
#include "components/lock_service.h"

namespace wendlemoor {

namespace {

struct Entry {
  std::string contract_id;
  Interface* service;  // one reference, the registry's
};

// Mutex rules: gMutex guards gStarted and gEntries.
std::mutex gMutex;
bool gStarted = false;
std::vector<Entry>* gEntries = nullptr;

// REQUIRES: gMutex held, gStarted. Takes over the caller's reference to
// `service` (null removes). Returns the service it replaced, whose reference
// the caller must drop after unlocking.
Interface* SwapLocked(const char* contract_id, Interface* service) {
  for (auto it = gEntries->begin(); it != gEntries->end(); ++it) {
    if (it->contract_id == contract_id) {
      Interface* old = it->service;
      if (service != nullptr) {
        it->service = service;
      } else {
        gEntries->erase(it);
      }
      return old;
    }
  }
  if (service != nullptr) gEntries->push_back({contract_id, service});
  return nullptr;
}

}  // namespace

ResultCode InitComponentSystem(void*, void*, void*) {
  Interface* event_queue_service = CreateEventQueueService();
  Interface* lock_service = CreateLockService(nullptr);
  // The table is filled before the mutex is taken, so that running out of
  // memory leaves the registry as it was.
  auto* entries = new (std::nothrow) std::vector<Entry>;
  ResultCode code = (event_queue_service == nullptr ||
                     lock_service == nullptr || entries == nullptr)
                        ? kErrorOutOfMemory
                        : kOk;
  if (code == kOk) {
    try {
      entries->reserve(4);
      entries->push_back({kEventQueueServiceContractId, event_queue_service});
      entries->push_back({kLockServiceContractId, lock_service});
    } catch (const std::bad_alloc&) {
      entries->clear();
      code = kErrorOutOfMemory;
    }
  }
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (code == kOk && gStarted) code = kErrorAlreadyInitialized;
    if (code == kOk) {
      gEntries = std::exchange(entries, nullptr);
      event_queue_service = lock_service = nullptr;  // the registry's now
      gStarted = true;
    }
  }
  // Whatever was not handed to the registry goes back here, outside the mutex.
  if (event_queue_service != nullptr) event_queue_service->Release();
  if (lock_service != nullptr) lock_service->Release();
  delete entries;
  return code;
}

ResultCode ShutdownComponentSystem(void*) {
  std::vector<Entry>* entries;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gStarted) return kErrorNotInitialized;
    gStarted = false;
    entries = std::exchange(gEntries, nullptr);
  }
  // A service's destructor may do real work (closing lock files); it runs
  // outside the registry's mutex, in reverse order of registration.
  for (auto it = entries->rbegin(); it != entries->rend(); ++it) {
    it->service->Release();
  }
  delete entries;
  return kOk;
}

ResultCode RegisterService(const char* contract_id, Interface* service) {
  if (contract_id == nullptr || contract_id[0] == '\0') {
    return kErrorInvalidArgument;
  }
  if (service != nullptr) service->AddRef();
  Interface* old = nullptr;
  ResultCode code = kOk;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gStarted) {
      code = kErrorNotInitialized;
    } else {
      try {
        old = SwapLocked(contract_id, service);
      } catch (const std::bad_alloc&) {
        code = kErrorOutOfMemory;
      }
    }
  }
  if (code != kOk && service != nullptr) service->Release();
  if (old != nullptr) old->Release();
  return code;
}

ResultCode GetServiceRaw(const char* contract_id, const InterfaceId& iid,
                         void** result) {
  if (result == nullptr) return kErrorInvalidArgument;
  *result = nullptr;
  if (contract_id == nullptr) return kErrorInvalidArgument;
  Interface* service = nullptr;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (!gStarted) return kErrorNotInitialized;
    for (const Entry& entry : *gEntries) {
      if (entry.contract_id == contract_id) {
        service = entry.service;
        // The registry's own reference may go away as soon as the mutex is
        // dropped; hold one of ours across the query.
        service->AddRef();
        break;
      }
    }
  }
  if (service == nullptr) return kErrorUnknownContract;
  const ResultCode code = service->QueryInterface(iid, result);
  service->Release();
  if (Failed(code)) *result = nullptr;
  return code;
}

}  // namespace wendlemoor
