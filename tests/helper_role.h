// Helper roles: the test binary re-runs itself as a helper process.
//
// A test file registers a role with WENDLEMOOR_HELPER_ROLE(name) { ... } whose
// body receives the arguments after the role name and returns the process's
// exit status. The test's main checks for "--helper-role NAME args..." before
// GoogleTest starts; tests launch helpers with StartHelper and wait for them
// with WaitHelper, which gives up (and kills the helper) after a deadline so
// that a broken lock fails a test instead of hanging it.
//
// Everything here builds and works on every platform, except where a
// declaration says otherwise. Registration happens before main; the rest may
// be called from any thread.
#ifndef WENDLEMOOR_TESTS_HELPER_ROLE_H_
#define WENDLEMOOR_TESTS_HELPER_ROLE_H_

#include <string>
#include <vector>

#include "runtime/process.h"

using HelperRoleFunction = int (*)(const std::vector<std::string>& arguments);

// Registers a role at static-initialisation time; returns true.
bool RegisterHelperRole(const char* name, HelperRoleFunction function);

// For a test binary's main: when `argv` asks for a helper role
// ("--helper-role NAME args..."), runs it, sets `*status` to its exit status
// (kHelperUnknownRole for a name no file registered) and returns true;
// otherwise returns false.
bool RunHelperRoleIfAsked(int argc, char** argv, int* status);

#define WENDLEMOOR_HELPER_ROLE(name)                                       \
  static int HelperRole_##name(const std::vector<std::string>& arguments); \
  [[maybe_unused]] static const bool kHelperRoleRegistered_##name =        \
      RegisterHelperRole(#name, HelperRole_##name);                        \
  static int HelperRole_##name(                                            \
      [[maybe_unused]] const std::vector<std::string>& arguments)

// ThreadSanitizer runs a thread of its own in every process and hands signals
// to their handlers late and coalesced; tests that count threads or handled
// signals allow for that.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// Named exit statuses of helpers.
inline constexpr int kHelperOk = 0;
inline constexpr int kHelperFailed = 3;
inline constexpr int kHelperUnknownRole = 4;

// The path of the running test binary, defined by each platform's entry
// point: on Linux read from /proc/self/exe when the process started, before
// it entered a namespace of its own (after that, in a chroot, the link names
// the binary as seen from outside the chroot); on Windows the module's file
// name. Empty when it could not be read.
std::string TestBinaryPath();

// Starts this binary as `role` with `arguments` and the standard streams
// `attributes` gives (every one inherited when it is null); returns its
// handle, which WaitHelper spends, or an empty handle with errno set when it
// could not be started. Descriptors named in `attributes` stay the caller's.
[[nodiscard]] JX_Process StartHelper(
    const std::string& role, const std::vector<std::string>& arguments,
    const JX_ProcessAttributes* attributes = nullptr);

// Waits up to `deadline_ms` for `process` to end and spends its handle.
// Returns its exit code (JX_WaitProcess's: minus the signal number when a
// signal killed it), or kWaitTimedOut after killing it and reaping it when
// the deadline passed, and for an empty handle or a failed wait.
inline constexpr int kWaitTimedOut = -1000;
int WaitHelper(JX_Process process, int deadline_ms);

// Linux only, defined by its entry point: true when this test process and
// everything it starts see a lock folder of their own at DefaultLockFolder()
// (a fresh tmpfs in a private mount namespace); false when they share the
// machine's.
extern bool gPrivateLockFolder;

#endif  // WENDLEMOOR_TESTS_HELPER_ROLE_H_
