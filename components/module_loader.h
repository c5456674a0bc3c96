// The module loader: lock services from shared libraries written against the
// C interface of components/module.h.
//
// LoadLockModule opens a library, finds its one entry point, checks the ABI
// version it was built for and that it provides a lock service; each refusal
// has a result code of its own and a one-line cause. A lock service made by a
// module is reached through a small C++ object implementing LockService that
// forwards each call to the C object's table of operations by its slot: the
// module's objects are never taken for C++ objects, whose table layout is the
// compiler's business. RegisterModuleLockService puts such a service in the
// component system under kLockServiceContractId, where GetService finds it
// as any other (kLockServiceId).
//
// A module is trusted no further than the loader can check: the version, the
// presence of the entry point, of create_lock_service and of every slot of
// the table it returns. What its calls then do (hang, crash, grant twice) is
// for whoever calls them to survive; wendlemoor-chaos does (chaos/run.h).
//
// Platforms: Linux and other POSIX systems through dlopen
// (module_loader_posix.cc); Windows through LoadLibrary
// (module_loader_win32.cc), built but not tested under wine.
//
// Thread safety: every function may be called from any thread. Ownership: a
// LockModule keeps its library loaded; every service it created holds a
// share of it, so the library stays loaded until the last of them and the
// last LockModule pointer are gone.
#ifndef WENDLEMOOR_COMPONENTS_MODULE_LOADER_H_
#define WENDLEMOOR_COMPONENTS_MODULE_LOADER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "components/lock_service.h"
#include "components/module.h"
#include "components/result_code.h"

namespace wendlemoor {

class LockModule {
 public:
  LockModule(const LockModule&) = delete;
  LockModule& operator=(const LockModule&) = delete;
  // Unloads the library.
  ~LockModule();

  // The path it was loaded from, and the name the module gives itself (the
  // file's name when it gives none).
  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }

  // Calls the module's cleanup for `folder`, when it has one.
  void Cleanup(const char* folder) const;
  // Whether it has a cleanup (it makes something outside its folders).
  bool HasCleanup() const { return module_->cleanup != nullptr; }
  // Its lease in milliseconds: 0 for none, or for a module of ABI version 1.
  std::uint32_t lease_ms() const { return lease_ms_; }
  // The kind of lock server its services reach (components/module.h): empty
  // for none, or for a module of ABI version 1 or 2.
  const std::string& server() const { return server_; }

 private:
  friend ResultCode LoadLockModule(const char*, std::shared_ptr<LockModule>*,
                                   std::string*);
  friend ResultCode CreateModuleLockService(const std::shared_ptr<LockModule>&,
                                            const char*, LockService**);
  LockModule() = default;

  std::string path_;
  std::string name_;
  void* library_ = nullptr;  // the platform's handle
  const wendlemoor_module* module_ = nullptr;
  std::uint32_t lease_ms_ = 0;
  std::string server_;
};

// Loads the library at `path` and checks it. A path without a folder
// ("lock.so") names a file in the current folder: it is never searched for
// along the library path (LD_LIBRARY_PATH, the system's folders), which could
// load another file of that name. Returns kOk with the module in
// `*module`, or one of these with `*module` empty and the cause, one line
// without the path, in `*error`:
//   kErrorModuleNotFound       no file at `path` (or one we may not reach),
//   kErrorModuleNotLibrary     a file that is not a loadable shared library,
//   kErrorModuleNoEntry        no wendlemoor_module_entry in it,
//   kErrorModuleAbiVersion     built for an ABI version outside
//                              WENDLEMOOR_MODULE_ABI_VERSION_MIN to
//                              WENDLEMOOR_MODULE_ABI_VERSION,
//   kErrorModuleEntryFailed    its entry point failed or described nothing,
//   kErrorModuleNoLockService  it provides no lock service,
//   kErrorInvalidArgument      a null or empty `path`,
//   kErrorOutOfMemory.
// Loading runs the library's initialisers in this process.
[[nodiscard]] ResultCode LoadLockModule(const char* path,
                                        std::shared_ptr<LockModule>* module,
                                        std::string* error);

// Creates a lock service over `folder` through `module`. Returns kOk with one
// reference in `*out`; the module's own failure code (a failure code it
// invents is passed on as it is) with `*out` null; kErrorModuleNoLockService
// when it answered success without an object; kErrorModuleMissingOperation
// when the object's table lacks a slot (the object's reference is given back
// through its release slot, when it has one); kErrorOutOfMemory.
[[nodiscard]] ResultCode CreateModuleLockService(
    const std::shared_ptr<LockModule>& module, const char* folder,
    LockService** out);

// Creates a lock service over `folder` through `module` and registers it
// under kLockServiceContractId, replacing what was there. Returns kOk, a code
// of CreateModuleLockService, or one of RegisterService
// (kErrorNotInitialized when the component system is not started).
[[nodiscard]] ResultCode RegisterModuleLockService(
    const std::shared_ptr<LockModule>& module, const char* folder);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_MODULE_LOADER_H_
