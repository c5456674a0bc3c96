// The module loader's checks and the C++ face of a module's lock service;
// components/module_loader.h is the contract.
#include "components/module_loader.h"

#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "components/module_library.h"
#include "components/registry.h"

namespace wendlemoor {

namespace {

// A module's lock service as a LockService: each call goes to the C
// object's table by its slot. The adapter answers QueryInterface and counts
// its own references; it holds one reference to the C object, given back
// when the adapter goes, and a share of the module, so the library stays
// loaded while the object may still be called.
class ModuleLockService final
    : public InterfaceImpl<ModuleLockService, LockService> {
 public:
  ModuleLockService(std::shared_ptr<LockModule> module,
                    wendlemoor_lock_service* object)
      : module_(std::move(module)), object_(object) {}
  ~ModuleLockService() { (void)object_->ops->release(object_); }

  ResultCode AcquireLock(const char* name, int wait) override {
    return object_->ops->acquire_lock(object_, name, wait);
  }
  ResultCode ReleaseLock(const char* name) override {
    return object_->ops->release_lock(object_, name);
  }

 private:
  const std::shared_ptr<LockModule> module_;
  wendlemoor_lock_service* const object_;
};

bool HasEverySlot(const wendlemoor_lock_service* object) {
  return object->ops != nullptr && object->ops->query_interface != nullptr &&
         object->ops->add_ref != nullptr && object->ops->release != nullptr &&
         object->ops->acquire_lock != nullptr &&
         object->ops->release_lock != nullptr;
}

std::string Hex(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", code);
  return text;
}

// The file's name without its folder and its last extension.
std::string Stem(const std::string& path) {
  std::string name = path.substr(path.find_last_of("/\\") + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

LockModule::~LockModule() {
  if (library_ != nullptr) CloseModuleLibrary(library_);
}

void LockModule::Cleanup(const char* folder) const {
  if (module_->cleanup != nullptr) module_->cleanup(folder);
}

ResultCode LoadLockModule(const char* path, std::shared_ptr<LockModule>* module,
                          std::string* error) {
  module->reset();
  if (path == nullptr || path[0] == '\0') {
    *error = "no path given";
    return kErrorInvalidArgument;
  }
  std::shared_ptr<LockModule> loaded(new (std::nothrow) LockModule);
  if (!loaded) {
    *error = "out of memory";
    return kErrorOutOfMemory;
  }
  loaded->path_ = path;
  ResultCode code = OpenModuleLibrary(path, &loaded->library_, error);
  if (code != kOk) return code;
  const auto entry = reinterpret_cast<wendlemoor_module_entry_fn>(
      ModuleLibrarySymbol(loaded->library_, WENDLEMOOR_MODULE_ENTRY_NAME));
  if (entry == nullptr) {
    *error = "no entry point " WENDLEMOOR_MODULE_ENTRY_NAME;
    return kErrorModuleNoEntry;
  }
  const wendlemoor_module* description = nullptr;
  code = entry(WENDLEMOOR_MODULE_ABI_VERSION, &description);
  if (Failed(code)) {
    *error = "its entry point failed with " + Hex(code);
    return kErrorModuleEntryFailed;
  }
  if (description == nullptr) {
    *error = "its entry point described no module";
    return kErrorModuleEntryFailed;
  }
  if (description->abi_version < WENDLEMOOR_MODULE_ABI_VERSION_MIN ||
      description->abi_version > WENDLEMOOR_MODULE_ABI_VERSION) {
    *error = "built for module ABI version " +
             std::to_string(description->abi_version) + ", not " +
             std::to_string(WENDLEMOOR_MODULE_ABI_VERSION_MIN) + " to " +
             std::to_string(WENDLEMOOR_MODULE_ABI_VERSION);
    return kErrorModuleAbiVersion;
  }
  if (description->create_lock_service == nullptr) {
    *error = "it provides no lock service";
    return kErrorModuleNoLockService;
  }
  loaded->module_ = description;
  // A member past the module's version is not there to read.
  loaded->lease_ms_ = description->abi_version >= 2 ? description->lease_ms : 0;
  if (description->abi_version >= 3 && description->server != nullptr) {
    loaded->server_ = description->server;
  }
  loaded->name_ = description->name != nullptr && description->name[0] != '\0'
                      ? description->name
                      : Stem(loaded->path_);
  *module = std::move(loaded);
  return kOk;
}

ResultCode CreateModuleLockService(const std::shared_ptr<LockModule>& module,
                                   const char* folder, LockService** out) {
  *out = nullptr;
  wendlemoor_lock_service* object = nullptr;
  const ResultCode code = module->module_->create_lock_service(folder, &object);
  if (Failed(code)) return code;
  if (object == nullptr) return kErrorModuleNoLockService;
  if (!HasEverySlot(object)) {
    // Refused now rather than called through a null slot later; the
    // reference it gave is given back where its table allows.
    if (object->ops != nullptr && object->ops->release != nullptr) {
      (void)object->ops->release(object);
    }
    return kErrorModuleMissingOperation;
  }
  auto* service = new (std::nothrow) ModuleLockService(module, object);
  if (service == nullptr) {
    (void)object->ops->release(object);
    return kErrorOutOfMemory;
  }
  *out = service;
  return kOk;
}

ResultCode RegisterModuleLockService(const std::shared_ptr<LockModule>& module,
                                     const char* folder) {
  LockService* service = nullptr;
  ResultCode code = CreateModuleLockService(module, folder, &service);
  if (code != kOk) return code;
  code = RegisterService(kLockServiceContractId, service);
  service->Release();  // the registry holds its own reference
  return code;
}

}  // namespace wendlemoor
