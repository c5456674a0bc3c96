// The reference module: the project's own lock service
// (components/lock_service.h) behind the C interface of components/module.h,
// loaded like any other module. Its C object holds one reference to the C++
// service and forwards each slot to it; the service's files live in the
// folder it is given, so it has nothing to clean up outside it.
#include <atomic>
#include <cstring>
#include <new>

#include "components/lock_service.h"
#include "components/module.h"

namespace wendlemoor {
namespace {

struct Object {
  wendlemoor_lock_service base;  // first: the host sees only this
  std::atomic<std::uint32_t> references;
  LockService* service;
};

Object* Self(wendlemoor_lock_service* self) {
  return reinterpret_cast<Object*>(self);
}

std::uint32_t AddRef(wendlemoor_lock_service* self) {
  return Self(self)->references.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t Release(wendlemoor_lock_service* self) {
  Object* object = Self(self);
  const std::uint32_t left =
      object->references.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) {
    object->service->Release();
    delete object;
  }
  return left;
}

wendlemoor_result QueryInterface(wendlemoor_lock_service* self,
                                 const wendlemoor_interface_id* iid,
                                 void** result) {
  static const wendlemoor_interface_id kLock = WENDLEMOOR_LOCK_SERVICE_IID;
  static const wendlemoor_interface_id kBase = WENDLEMOOR_BASE_IID;
  if (result == nullptr || iid == nullptr) {
    return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  }
  if (std::memcmp(iid, &kLock, sizeof kLock) != 0 &&
      std::memcmp(iid, &kBase, sizeof kBase) != 0) {
    *result = nullptr;
    return WENDLEMOOR_ERROR_NO_INTERFACE;
  }
  AddRef(self);
  *result = self;
  return WENDLEMOOR_OK;
}

wendlemoor_result AcquireLock(wendlemoor_lock_service* self, const char* name,
                              int wait) {
  return Self(self)->service->AcquireLock(name, wait);
}

wendlemoor_result ReleaseLock(wendlemoor_lock_service* self, const char* name) {
  return Self(self)->service->ReleaseLock(name);
}

const wendlemoor_lock_service_ops kOps = {QueryInterface, AddRef, Release,
                                          AcquireLock, ReleaseLock};

wendlemoor_result Create(const char* folder, wendlemoor_lock_service** out) {
  *out = nullptr;
  if (folder == nullptr) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  LockService* service = CreateLockService(folder);
  if (service == nullptr) return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  auto* object = new (std::nothrow) Object{{&kOps}, {1}, service};
  if (object == nullptr) {
    service->Release();
    return WENDLEMOOR_ERROR_OUT_OF_MEMORY;
  }
  *out = &object->base;
  return WENDLEMOOR_OK;
}

const wendlemoor_module kModule = {
    WENDLEMOOR_MODULE_ABI_VERSION, "wendlemoor", Create, nullptr, 0, nullptr};

}  // namespace
}  // namespace wendlemoor

extern "C" WENDLEMOOR_MODULE_EXPORT wendlemoor_result wendlemoor_module_entry(
    std::uint32_t host_abi_version, const wendlemoor_module** module) {
  if (module == nullptr) return WENDLEMOOR_ERROR_INVALID_ARGUMENT;
  *module = &wendlemoor::kModule;
  // A host of another version reads the version and refuses.
  (void)host_abi_version;
  return WENDLEMOOR_OK;
}
