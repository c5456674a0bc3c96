// Child processes on Windows: CreateProcess and waits on process handles.
//
// What Windows gives: a process handle that becomes signalled when the
// process ends, and its 32-bit exit code. A wait with a deadline is a wait on
// that handle with a timeout; a wait for the first of several, one wait on
// all their handles (at most 64, what WaitForMultipleObjects takes).
//
// What it lacks, and how the contract is kept: there is no argument vector,
// so the vector is joined into one command line quoted as the C library's
// start-up code splits it again; no "./Wendlemoor" without a suffix names a
// file, so a path whose last part has no '.' gets ".exe", as CreateProcess
// itself does for a command line; no signals, so a child starts with none
// blocked and an exit code is reported by its low 8 bits, as a POSIX shell
// shows exit(-1) as 255; no closed standard handle.
//
// No process groups: a job object takes their place, so that a child started
// in one of its own and all it starts end together. No death signal: a child
// that dies with us (die_with_parent) is in a job that ends what is in it
// when its last handle closes (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE). That
// handle is ours alone, never inheritable, and Windows closes it when we end,
// however we end. With new_process_group both are one job: everything the
// child starts is in it and ends with us, and also when the child's handle is
// spent. Without, what the child starts leaves the job silently
// (JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK), so the child alone dies with us, as
// on Linux. A detached child's job handle stays open here, for the same
// reason.
//
// Handles are inherited only where made inheritable: the standard handles are
// handed on (ours, or for a stream given as a descriptor or an output file an
// inheritable copy made for the launch and closed after it), and every handle
// that this runtime and the lock service open is created not inheritable, so
// a child never holds our locks.
#include "runtime/process.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "runtime/command_line_win32.h"

struct JX_ProcessRecord {
  HANDLE handle;
  DWORD id;
  // The job of its own (new_process_group, die_with_parent), or nullptr.
  HANDLE job;
  bool dies_with_us;  // the job ends it when `job` closes
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

// A job for the child of `options`, or nullptr with the Win32 error in
// `*error`.
HANDLE CreateJob(const JX_ProcessAttributes& options, DWORD* error) {
  // Created not inheritable: no child holds it open after we end.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  if (options.die_with_parent) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
        (options.new_process_group ? 0 : JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK);
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                 &limits, sizeof limits)) {
      *error = GetLastError();
      CloseHandle(job);
      return nullptr;
    }
  }
  return job;
}

// Spends `process` after a wait that returned `waited`.
JX_Status Reap(JX_Process process, DWORD waited, int* exit_code) {
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
                options.standard_error}) < JX_kInheritStream ||
      (options.output_file != nullptr &&
       (options.standard_output != JX_kInheritStream ||
        options.standard_error != JX_kInheritStream))) {
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
  auto* record = new (std::nothrow)
      JX_ProcessRecord{nullptr, 0, nullptr, options.die_with_parent};
  if (record == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  int output = JX_kInheritStream;
  if (options.output_file != nullptr) {
    output = _open(options.output_file,
                   _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (output == -1) {
      delete record;
      return nullptr;
    }
  }
  const int standard_output =
      options.output_file != nullptr ? output : options.standard_output;
  const int standard_error =
      options.output_file != nullptr ? output : options.standard_error;
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
        ChildStream(standard_output, STD_OUTPUT_HANDLE, &copies);
    startup.hStdError = ChildStream(standard_error, STD_ERROR_HANDLE, &copies);
    ok = copies.size() == std::size_t(options.standard_input >= 0) +
                              (standard_output >= 0) + (standard_error >= 0);
    if (ok && (options.new_process_group || options.die_with_parent)) {
      record->job = CreateJob(options, &error);
      ok = record->job != nullptr;
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
  if (output != JX_kInheritStream) _close(output);
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
  return Reap(process, waited, exit_code);
}

JX_Status JX_WaitAnyProcessFor(const JX_Process* processes, std::size_t count,
                               std::uint32_t timeout_ms, std::size_t* index,
                               int* exit_code) {
  static_assert(JX_kMaxWaitProcesses == MAXIMUM_WAIT_OBJECTS);
  HANDLE handles[JX_kMaxWaitProcesses];
  bool valid = processes != nullptr && index != nullptr && count > 0 &&
               count <= JX_kMaxWaitProcesses;
  for (std::size_t i = 0; valid && i < count; ++i) {
    valid = processes[i] != nullptr;
    if (valid) handles[i] = processes[i]->handle;
  }
  if (!valid) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  // The lowest index of those signalled, as the contract asks.
  const DWORD waited =
      WaitForMultipleObjects(DWORD(count), handles, FALSE, timeout_ms);
  if (waited == WAIT_TIMEOUT) return JX_TIMED_OUT;
  if (waited >= WAIT_OBJECT_0 + count) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  *index = waited - WAIT_OBJECT_0;
  return Reap(processes[*index], WAIT_OBJECT_0, exit_code);
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
      JX_ProcessRecord{handle, static_cast<DWORD>(pid), nullptr, false};
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
  // Closed, the job would end a child that is to die with us alone.
  if (process->job != nullptr && !process->dies_with_us) {
    CloseHandle(process->job);
  }
  delete process;
  return pid;
}

pid_t JX_GetProcessId(JX_Process process) {
  return process != nullptr ? static_cast<pid_t>(process->id) : -1;
}

int JX_ExitCodeFromStatus(int status) { return status & 0xFF; }

JX_Status JX_DieWithParent(pid_t) {
  errno = ENOSYS;
  return JX_FAILURE;
}

JX_Status JX_RedirectOutputToFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return JX_FAILURE;
  }
  const int fd =
      _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
            _S_IREAD | _S_IWRITE);
  if (fd == -1) return JX_FAILURE;
  std::fflush(stdout);
  std::fflush(stderr);
  bool moved = true;
  for (const auto& [target, standard] :
       {std::pair{1, STD_OUTPUT_HANDLE}, std::pair{2, STD_ERROR_HANDLE}}) {
    moved = _dup2(fd, target) == 0;  // errno set when not
    if (!moved) break;
    // A standard handle reaches a child by inheritance: the copy _dup2 made
    // is made inheritable, and named the standard handle for Win32 too.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(target));
    moved = handle != INVALID_HANDLE_VALUE &&
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT,
                                 HANDLE_FLAG_INHERIT) &&
            SetStdHandle(standard, handle);
    if (!moved) {
      errno = EBADF;
      break;
    }
  }
  const int error = errno;
  _close(fd);
  errno = error;
  return moved ? JX_SUCCESS : JX_FAILURE;
}
