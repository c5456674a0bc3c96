// Result codes of the component system and its services: the one table.
//
// A ResultCode fails when its top bit is set; every other value, zero included,
// is a success. Codes are logged with "%x". Each failure cause has a code of
// its own; system errors that fit no named cause carry their errno (Win32
// error code on Windows) in the low 16 bits of kErrorSystemBase.
//
// Public: installed with the library (include/wendlemoor/components/), this
// header is the contract that programs using it build against.
#ifndef WENDLEMOOR_COMPONENTS_RESULT_CODE_H_
#define WENDLEMOOR_COMPONENTS_RESULT_CODE_H_

#include <cstdint>

namespace wendlemoor {

using ResultCode = std::uint32_t;

inline constexpr ResultCode kOk = 0;

// --- Component system ---

// System not started.
inline constexpr ResultCode kErrorNotInitialized = 0x80000001;
// No such service.
inline constexpr ResultCode kErrorUnknownContract = 0x80000002;
// Interface not implemented.
inline constexpr ResultCode kErrorNoInterface = 0x80000003;
// Null, empty, too long.
inline constexpr ResultCode kErrorInvalidArgument = 0x80000004;
inline constexpr ResultCode kErrorOutOfMemory = 0x80000005;
inline constexpr ResultCode kErrorAlreadyInitialized = 0x80000006;

// --- Event-queue service ---

// No queue was prepared.
inline constexpr ResultCode kErrorNoQueue = 0x80000101;

// --- Lock service ---

// Held elsewhere (flag 0).
inline constexpr ResultCode kErrorLockBusy = 0x80000201;
// Caller holds it.
inline constexpr ResultCode kErrorLockWouldDeadlock = 0x80000202;
// Caller does not hold it.
inline constexpr ResultCode kErrorLockNotHeld = 0x80000203;
// Not private to us.
inline constexpr ResultCode kErrorLockFolderUnusable = 0x80000204;

// --- Component modules (components/module_loader.h) ---

// The module's path names no file we can reach.
inline constexpr ResultCode kErrorModuleNotFound = 0x80000301;
// The file is not a shared library that this process can load.
inline constexpr ResultCode kErrorModuleNotLibrary = 0x80000302;
// The library exports no wendlemoor_module_entry.
inline constexpr ResultCode kErrorModuleNoEntry = 0x80000303;
// Built against another version of components/module.h.
inline constexpr ResultCode kErrorModuleAbiVersion = 0x80000304;
// Its entry point returned a failure or no description.
inline constexpr ResultCode kErrorModuleEntryFailed = 0x80000305;
// It provides no lock service, or answered success without one.
inline constexpr ResultCode kErrorModuleNoLockService = 0x80000306;
// Its lock service's table of operations lacks one (a null slot).
inline constexpr ResultCode kErrorModuleMissingOperation = 0x80000307;

// Any other failed system call: kErrorSystemBase | errno (on Windows, the
// low 16 bits of the Win32 error code).
inline constexpr ResultCode kErrorSystemBase = 0x80010000;

constexpr bool Failed(ResultCode code) { return (code & 0x80000000u) != 0; }
constexpr bool Succeeded(ResultCode code) { return !Failed(code); }

constexpr bool IsSystemError(ResultCode code) {
  return (code & 0xFFFF0000u) == kErrorSystemBase;
}

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_RESULT_CODE_H_
