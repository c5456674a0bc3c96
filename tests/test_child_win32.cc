#include "tests/test_child_win32.h"

#include "runtime/command_line_win32.h"
#include "runtime/interval.h"
#include "tests/helper_role.h"

TestChild::~TestChild() {
  if (job_ != nullptr) TerminateJobObject(job_, 1);
  for (HANDLE handle : {process_, job_, input_, output_}) {
    if (handle != nullptr) CloseHandle(handle);
  }
}

bool TestChild::Start(const std::vector<std::string>& argv,
                      const std::string& cwd) {
  std::string application = argv[0];
  const bool relative = application.find(':') == std::string::npos &&
                        application[0] != '/' && application[0] != '\\';
  if (relative && !cwd.empty()) application = cwd + "/" + application;
  application = ExecutableFileName(application.c_str());
  std::string command_line;
  for (const std::string& argument : argv) {
    if (!command_line.empty()) command_line += ' ';
    AppendQuotedArgument(argument.c_str(), &command_line);
  }
  // The child's ends are inheritable; ours are not.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE child_input = nullptr, child_output = nullptr;
  if (!CreatePipe(&child_input, &input_, &inheritable, 0) ||
      !CreatePipe(&output_, &child_output, &inheritable, 0)) {
    return false;
  }
  SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
  job_ = CreateJobObjectA(nullptr, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_input;
  startup.hStdOutput = child_output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started = {};
  // Suspended until it is in the job, so that all it starts is in it too.
  const bool ok =
      job_ != nullptr &&
      CreateProcessA(application.c_str(), command_line.data(), nullptr, nullptr,
                     TRUE, CREATE_SUSPENDED, nullptr,
                     cwd.empty() ? nullptr : cwd.c_str(), &startup, &started);
  CloseHandle(child_input);
  CloseHandle(child_output);
  if (!ok) return false;
  AssignProcessToJobObject(job_, started.hProcess);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  process_ = started.hProcess;
  pid_ = started.dwProcessId;
  return true;
}

bool TestChild::StartHelper(const std::string& role,
                            const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {TestBinaryPath(), "--helper-role", role};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return Start(argv, "");
}

bool TestChild::ReadAvailable(std::string* out) {
  DWORD available = 0;
  if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) {
    return false;  // every writer has closed it
  }
  if (available == 0) {
    // Tests only: a coarse poll keeps the deadline simple.
    JX_Sleep(JX_MillisecondsToInterval(2));
    return true;
  }
  char buffer[4096];
  DWORD n = 0;
  if (!ReadFile(output_, buffer,
                available < sizeof buffer ? available : sizeof buffer, &n,
                nullptr)) {
    return false;
  }
  out->append(buffer, n);
  return true;
}

std::string TestChild::Read(bool line, int deadline_ms) {
  const std::uint64_t deadline =
      JX_MonotonicNanos() + std::uint64_t(deadline_ms) * 1000000u;
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (line && newline != std::string::npos) {
      std::string text = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return text;
    }
    if (JX_MonotonicNanos() >= deadline || !ReadAvailable(&pending_)) break;
  }
  std::string text;
  text.swap(pending_);
  return text;
}

void TestChild::CloseInput() {
  if (input_ != nullptr) CloseHandle(input_);
  input_ = nullptr;
}

int TestChild::Wait(int deadline_ms) {
  CloseInput();
  DWORD code = 0;
  if (WaitForSingleObject(process_, static_cast<DWORD>(deadline_ms)) !=
          WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process_, &code)) {
    TerminateJobObject(job_, 1);
    return kChildTimedOut;
  }
  return static_cast<int>(code & 0xFF);
}

void TestChild::Terminate() { TerminateProcess(process_, 9); }
