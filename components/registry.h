// The component system: start-up, shut-down and service lookup by contract ID.
//
// A process-wide registry maps contract IDs to services. All functions may be
// called from any thread at once (Mutex rules: one mutex guards the registry's
// table and its started flag). The registry holds one reference to each
// registered service until it is unregistered, replaced or shut down.
//
// Public: installed with the library (include/wendlemoor/components/), this
// header is the contract that programs using it build against.
#ifndef WENDLEMOOR_COMPONENTS_REGISTRY_H_
#define WENDLEMOOR_COMPONENTS_REGISTRY_H_

#include "components/interface.h"
#include "components/result_code.h"

namespace wendlemoor {

// Starts the component system and registers the built-in services: the
// event-queue service and the lock service (with its default lock folder).
// The three arguments are reserved; callers pass null.
// Returns kOk, kErrorAlreadyInitialized when it is already started (nothing
// changes), or kErrorOutOfMemory.
ResultCode InitComponentSystem(void* reserved1, void* reserved2,
                               void* reserved3);

// Releases the registry's references to every service and stops the system;
// references that callers still hold stay valid until they release them.
// The argument is reserved; callers pass null.
// Returns kOk, or kErrorNotInitialized when the system was not started.
ResultCode ShutdownComponentSystem(void* reserved);

// Registers `service` under `contract_id`, taking a reference to it, and
// releases any service registered there before. A null `service` removes the
// registration (the way a test takes a built-in service away).
// Returns kOk, kErrorNotInitialized, kErrorInvalidArgument (null or empty
// contract ID) or kErrorOutOfMemory.
ResultCode RegisterService(const char* contract_id, Interface* service);

// Looks the service up and asks it for the interface `iid`. On success stores
// it in `*result` with one reference for the caller and returns kOk; otherwise
// stores null and returns kErrorNotInitialized (system not started),
// kErrorUnknownContract (nothing registered under the ID), kErrorNoInterface
// (the service lacks the interface) or kErrorInvalidArgument (a null
// argument).
ResultCode GetServiceRaw(const char* contract_id, const InterfaceId& iid,
                         void** result);

// The typed lookup: the service as T, or an empty pointer. The result code of
// GetServiceRaw is written to `*rv` when `rv` is not null.
// REQUIRES: `iid` is T's interface ID.
template <typename T>
InterfacePtr<T> GetService(const char* contract_id, const InterfaceId& iid,
                           ResultCode* rv) {
  void* raw = nullptr;
  const ResultCode code = GetServiceRaw(contract_id, iid, &raw);
  if (rv != nullptr) *rv = code;
  return InterfacePtr<T>::Adopt(static_cast<T*>(raw));
}

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_REGISTRY_H_
