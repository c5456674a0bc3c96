// The module loader on Windows: LoadLibrary. A DLL that is missing, or a
// file that is not one, is told apart by asking for the file's attributes
// first; GetProcAddress finds the entry point. Built by the Windows build,
// not yet tested under wine.
#include <windows.h>

#include <string>

#include "components/module_library.h"

namespace wendlemoor {

namespace {

std::string Win32Text(DWORD error) {
  char text[256] = "";
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, text, sizeof text, nullptr);
  std::string out(text, length);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
    out.pop_back();
  }
  return out.empty() ? "error " + std::to_string(error) : out;
}

}  // namespace

ResultCode OpenModuleLibrary(const char* path, void** library,
                             std::string* error) {
  *library = nullptr;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *error = Win32Text(GetLastError());
    return kErrorModuleNotFound;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = "not a shared library: a folder";
    return kErrorModuleNotLibrary;
  }
  // A full path keeps the search order out of it: a name without a folder
  // would be looked for along the DLL search path.
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) {
    *error = "not a shared library: " +
             (length == 0 ? Win32Text(GetLastError()) : "path too long");
    return kErrorModuleNotLibrary;
  }
  HMODULE handle = LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (handle == nullptr) {
    *error = "not a shared library: " + Win32Text(GetLastError());
    return kErrorModuleNotLibrary;
  }
  *library = handle;
  return kOk;
}

void (*ModuleLibrarySymbol(void* library, const char* name))() {
  // void (*)() is the one function type that any other casts to without a
  // warning.
  return reinterpret_cast<void (*)()>(
      GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseModuleLibrary(void* library) {
  (void)FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace wendlemoor
