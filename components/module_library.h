// The platform's part of the module loader (components/module_loader.h):
// opening a shared library, finding a symbol in it, closing it. One file per
// platform: module_loader_posix.cc (dlopen), module_loader_win32.cc
// (LoadLibrary).
//
// Thread safety: any thread. Private to the component system.
#ifndef WENDLEMOOR_COMPONENTS_MODULE_LIBRARY_H_
#define WENDLEMOOR_COMPONENTS_MODULE_LIBRARY_H_

#include <string>

#include "components/result_code.h"

namespace wendlemoor {

// Opens the library at `path`. Returns kOk with its handle in `*library`,
// or kErrorModuleNotFound (nothing at `path`) or kErrorModuleNotLibrary (the
// file cannot be loaded) with the cause in `*error` and `*library` null.
ResultCode OpenModuleLibrary(const char* path, void** library,
                             std::string* error);

// The address of the function `name` exported by `library`, or null.
void (*ModuleLibrarySymbol(void* library, const char* name))();

// Closes a library that OpenModuleLibrary opened.
void CloseModuleLibrary(void* library);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_MODULE_LIBRARY_H_
