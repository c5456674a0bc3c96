// Child processes on Windows: CreateProcess and a wait on the process handle.
//
// What Windows gives: a process handle that becomes signalled when the
// process ends, and its 32-bit exit code. What it lacks, and how the contract
// is kept: there is no argument vector, so the vector is joined into one
// command line quoted as the C library's start-up code splits it again; no
// "./Wendlemoor" without a suffix names a file, so a path whose last part has
// no '.' gets ".exe", as CreateProcess itself does for a command line; no
// signals, so a child starts with none blocked and an exit code is reported
// by its low 8 bits, as a POSIX shell shows exit(-1) as 255. Handles are
// inherited only where made inheritable: the standard handles are handed on,
// and every handle that this runtime and the lock service open is created
// not inheritable, so a child never holds our locks.
#include "runtime/process.h"

#include <windows.h>

#include <cerrno>
#include <new>
#include <string>

#include "runtime/command_line_win32.h"

struct JX_ProcessRecord {
  HANDLE handle;
  DWORD id;
};

namespace {

// The one translation of a launch's Win32 error into errno.
int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return ENOEXEC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_MAX_THRDS_REACHED:
    case ERROR_NO_PROC_SLOTS:
      return EAGAIN;
    default:
      return EINVAL;
  }
}

}  // namespace

void AppendQuotedArgument(const char* argument, std::string* line) {
  const std::string text = argument;
  if (!text.empty() && text.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += text;
    return;
  }
  *line += '"';
  std::size_t backslashes = 0;
  for (const char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    const std::size_t doubled = c == '"' ? 2 * backslashes + 1 : backslashes;
    line->append(doubled, '\\');
    *line += c;
    backslashes = 0;
  }
  line->append(2 * backslashes, '\\');
  *line += '"';
}

std::string ExecutableFileName(const char* path) {
  std::string file = path;
  const std::size_t last_part = file.find_last_of("/\\:");
  const std::size_t dot =
      file.find('.', last_part == std::string::npos ? 0 : last_part + 1);
  if (dot == std::string::npos) file += ".exe";
  return file;
}

JX_Process JX_CreateProcess(const char* path, char* const* argv,
                            char* const* envp,
                            const JX_ProcessAttributes* attributes) {
  if (path == nullptr || argv == nullptr || attributes != nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  std::string file, command_line, environment;
  try {
    file = ExecutableFileName(path);
    for (char* const* argument = argv; *argument != nullptr; ++argument) {
      if (argument != argv) command_line += ' ';
      AppendQuotedArgument(*argument, &command_line);
    }
    // "name=value\0" each, then one more NUL.
    for (char* const* entry = envp; entry != nullptr && *entry != nullptr;
         ++entry) {
      environment.append(*entry).push_back('\0');
    }
    environment.push_back('\0');
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return nullptr;
  }
  auto* record = new (std::nothrow) JX_ProcessRecord{nullptr, 0};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(file.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      0, envp != nullptr ? environment.data() : nullptr,
                      nullptr, &startup, &started)) {
    const DWORD error = GetLastError();
    delete record;
    errno = ErrnoFromWin32(error);
    return nullptr;
  }
  CloseHandle(started.hThread);
  record->handle = started.hProcess;
  record->id = started.dwProcessId;
  return record;
}

JX_Status JX_WaitProcess(JX_Process process, int* exit_code) {
  if (process == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  DWORD code = 0;
  const bool ended =
      WaitForSingleObject(process->handle, INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process->handle, &code);
  CloseHandle(process->handle);
  delete process;
  if (!ended) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  if (exit_code != nullptr) *exit_code = static_cast<int>(code & 0xFF);
  return JX_SUCCESS;
}

pid_t JX_GetProcessId(JX_Process process) {
  return process != nullptr ? static_cast<pid_t>(process->id) : -1;
}
