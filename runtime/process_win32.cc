// Child processes on Windows: CreateProcess and a wait on the process handle.
//
// What Windows gives: a process handle that becomes signalled when the
// process ends, and its 32-bit exit code. What it lacks, and how the contract
// is kept: there is no argument vector, so the vector is joined into one
// command line quoted as the C library's start-up code splits it again; no
// "./Wendlemoor" without a suffix names a file, so a path whose last part has
// no '.' gets ".exe", as CreateProcess itself does for a command line; no
// signals, so a child starts with none blocked and an exit code is reported
// by its low 8 bits, as a POSIX shell shows exit(-1) as 255; no process
// groups, so a job object takes their place: a child started in one of its own
// and all it starts end together; no closed standard handle. A wait with a
// deadline is a wait on the process handle with a timeout. Handles are
// inherited only where made inheritable: the standard handles are handed on
// (ours, or for a stream given as a descriptor an inheritable copy made for the
// launch and closed after it), and every handle that this runtime and the lock
// service open is created not inheritable, so a child never holds our locks.
#include "runtime/process.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "runtime/command_line_win32.h"

struct JX_ProcessRecord {
  HANDLE handle;
  DWORD id;
  HANDLE job;  // the job of its own (new_process_group), or nullptr
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

namespace {

// A copy of our C library descriptor `fd` that the child can inherit, or the
// standard handle `ours` for JX_kInheritStream; nullptr with errno set when
// `fd` is no open descriptor.
HANDLE ChildStream(int fd, DWORD ours, std::vector<HANDLE>* copies) {
  if (fd == JX_kInheritStream) return GetStdHandle(ours);
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  HANDLE copy = nullptr;
  if (handle == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy,
                       0, TRUE, DUPLICATE_SAME_ACCESS)) {
    errno = EBADF;
    return nullptr;
  }
  copies->push_back(copy);
  return copy;
}

}  // namespace

JX_Process JX_CreateProcess(const char* path, char* const* argv,
                            char* const* envp,
                            const JX_ProcessAttributes* attributes) {
  const JX_ProcessAttributes options =
      attributes != nullptr ? *attributes : JX_ProcessAttributes{};
  // A child always gets three standard handles.
  if (path == nullptr || argv == nullptr ||
      std::min({options.standard_input, options.standard_output,
                options.standard_error}) < JX_kInheritStream) {
    errno = EINVAL;
    return nullptr;
  }
  std::string file, command_line, environment;
  try {
    file = path;
    // CreateProcess takes a relative application name from our folder, not
    // the child's: the child's folder is put in front of it.
    const bool relative = file.find(':') == std::string::npos &&
                          file[0] != '/' && file[0] != '\\';
    if (relative && options.working_folder != nullptr) {
      file = std::string(options.working_folder) + "/" + file;
    }
    file = ExecutableFileName(file.c_str());
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
  auto* record = new (std::nothrow) JX_ProcessRecord{nullptr, 0, nullptr};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  std::vector<HANDLE> copies;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION started = {};
  bool ok = false;
  DWORD error = 0;
  try {
    startup.hStdInput =
        ChildStream(options.standard_input, STD_INPUT_HANDLE, &copies);
    startup.hStdOutput =
        ChildStream(options.standard_output, STD_OUTPUT_HANDLE, &copies);
    startup.hStdError =
        ChildStream(options.standard_error, STD_ERROR_HANDLE, &copies);
    ok = copies.size() == std::size_t(options.standard_input >= 0) +
                              (options.standard_output >= 0) +
                              (options.standard_error >= 0);
    if (ok && options.new_process_group) {
      record->job = CreateJobObjectA(nullptr, nullptr);
      ok = record->job != nullptr;
      if (!ok) error = GetLastError();
    }
    // Suspended until it is in its job, so that all it starts is in it too.
    if (ok) {
      ok = CreateProcessA(file.c_str(), command_line.data(), nullptr, nullptr,
                          TRUE, record->job != nullptr ? CREATE_SUSPENDED : 0,
                          envp != nullptr ? environment.data() : nullptr,
                          options.working_folder, &startup, &started);
      if (!ok) error = GetLastError();
    }
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
  }
  // The child has its copies now; ours go.
  for (HANDLE copy : copies) CloseHandle(copy);
  if (ok && record->job != nullptr &&
      !AssignProcessToJobObject(record->job, started.hProcess)) {
    error = GetLastError();
    TerminateProcess(started.hProcess, 1);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    ok = false;
  }
  if (!ok) {
    if (record->job != nullptr) CloseHandle(record->job);
    delete record;
    if (error != 0) errno = ErrnoFromWin32(error);
    return nullptr;
  }
  if (record->job != nullptr) ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  record->handle = started.hProcess;
  record->id = started.dwProcessId;
  return record;
}

JX_Status JX_WaitProcess(JX_Process process, int* exit_code) {
  return JX_WaitProcessFor(process, INFINITE, exit_code);
}

JX_Status JX_WaitProcessFor(JX_Process process, std::uint32_t timeout_ms,
                            int* exit_code) {
  if (process == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  const DWORD waited = WaitForSingleObject(process->handle, timeout_ms);
  if (waited == WAIT_TIMEOUT) return JX_TIMED_OUT;
  DWORD code = 0;
  const bool ended =
      waited == WAIT_OBJECT_0 && GetExitCodeProcess(process->handle, &code);
  CloseHandle(process->handle);
  if (process->job != nullptr) CloseHandle(process->job);
  delete process;
  if (!ended) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  if (exit_code != nullptr) *exit_code = JX_ExitCodeFromStatus(int(code));
  return JX_SUCCESS;
}

JX_Status JX_KillProcess(JX_Process process) {
  // A job of its own ends with everything in it.
  if (process == nullptr ||
      !(process->job != nullptr ? TerminateJobObject(process->job, 9)
                                : TerminateProcess(process->handle, 9))) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  return JX_SUCCESS;
}

JX_Process JX_AdoptProcess(pid_t pid) {
  const HANDLE handle = OpenProcess(
      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
      FALSE, static_cast<DWORD>(pid));
  if (handle == nullptr) {
    errno = ErrnoFromWin32(GetLastError());
    return nullptr;
  }
  auto* record = new (std::nothrow)
      JX_ProcessRecord{handle, static_cast<DWORD>(pid), nullptr};
  if (record == nullptr) {
    CloseHandle(handle);
    errno = ENOMEM;
  }
  return record;
}

pid_t JX_DetachProcess(JX_Process process) {
  if (process == nullptr) return -1;
  const pid_t pid = static_cast<pid_t>(process->id);
  CloseHandle(process->handle);
  if (process->job != nullptr) CloseHandle(process->job);
  delete process;
  return pid;
}

pid_t JX_GetProcessId(JX_Process process) {
  return process != nullptr ? static_cast<pid_t>(process->id) : -1;
}

int JX_ExitCodeFromStatus(int status) { return status & 0xFF; }
