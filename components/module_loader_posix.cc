// The module loader on POSIX systems: dlopen. The library is loaded with
// every symbol resolved at once (RTLD_NOW), so that one it lacks is a
// refusal here rather than a crash at its first call, and its symbols are
// kept to itself (RTLD_LOCAL), so that two modules never bind to each
// other's functions. The program that loads modules must be linked
// dynamically: a statically linked one would load a second C library
// beside its own.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "components/module_library.h"

namespace wendlemoor {

ResultCode OpenModuleLibrary(const char* path, void** library,
                             std::string* error) {
  *library = nullptr;
  struct stat status;
  if (stat(path, &status) != 0) {
    *error = std::strerror(errno);
    return kErrorModuleNotFound;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = "not a shared library: not a regular file";
    return kErrorModuleNotLibrary;
  }
  // A name without a slash would be searched for along the library path;
  // the caller means the file it named.
  std::string file = path;
  if (file.find('/') == std::string::npos) file = "./" + file;
  *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (*library == nullptr) {
    const char* cause = dlerror();
    *error = std::string("not a shared library: ") +
             (cause != nullptr ? cause : "dlopen failed");
    return kErrorModuleNotLibrary;
  }
  return kOk;
}

void (*ModuleLibrarySymbol(void* library, const char* name))() {
  // POSIX guarantees that a function's address survives the trip through
  // void*.
  return reinterpret_cast<void (*)()>(dlsym(library, name));
}

void CloseModuleLibrary(void* library) { (void)dlclose(library); }

}  // namespace wendlemoor
