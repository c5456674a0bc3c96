#include "tests/test_child_win32.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "runtime/interval.h"
#include "tests/helper_role.h"

TestChild::~TestChild() {
  if (process_ != nullptr) {
    (void)JX_KillProcess(process_);
    (void)JX_WaitProcess(process_, nullptr);
  }
  CloseInput();
  if (output_ != -1) _close(output_);
}

bool TestChild::Start(const std::vector<std::string>& argv,
                      const std::string& cwd) {
  // Not inheritable: the child gets copies of its ends alone.
  int input[2], output[2];
  if (_pipe(input, 4096, _O_BINARY | _O_NOINHERIT) != 0) return false;
  if (_pipe(output, 4096, _O_BINARY | _O_NOINHERIT) != 0) {
    _close(input[0]);
    _close(input[1]);
    return false;
  }
  JX_ProcessAttributes attributes;
  attributes.standard_input = input[0];
  attributes.standard_output = output[1];
  attributes.working_folder = cwd.empty() ? nullptr : cwd.c_str();
  attributes.new_process_group = true;
  std::vector<std::string> strings = argv;
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  process_ =
      JX_CreateProcess(pointers[0], pointers.data(), nullptr, &attributes);
  _close(input[0]);
  _close(output[1]);
  input_ = input[1];
  output_ = output[0];
  pid_ = JX_GetProcessId(process_);
  return process_ != nullptr;
}

bool TestChild::StartHelper(const std::string& role,
                            const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {TestBinaryPath(), "--helper-role", role};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return Start(argv, "");
}

bool TestChild::ReadAvailable(std::string* out) {
  DWORD available = 0;
  if (!PeekNamedPipe(reinterpret_cast<HANDLE>(_get_osfhandle(output_)), nullptr,
                     0, nullptr, &available, nullptr)) {
    return false;  // every writer has closed it
  }
  if (available == 0) {
    // Tests only: a coarse poll keeps the deadline simple.
    JX_Sleep(JX_MillisecondsToInterval(2));
    return true;
  }
  char buffer[4096];
  const int n = _read(output_, buffer,
                      available < sizeof buffer ? available : sizeof buffer);
  if (n <= 0) return false;
  out->append(buffer, static_cast<std::size_t>(n));
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
  if (input_ != -1) _close(input_);
  input_ = -1;
}

int TestChild::Wait(int deadline_ms) {
  CloseInput();
  int code = kChildTimedOut;
  if (JX_WaitProcessOrKill(process_, static_cast<std::uint32_t>(deadline_ms),
                           &code) == JX_TIMED_OUT) {
    code = kChildTimedOut;
  }
  process_ = nullptr;  // spent
  return code;
}

void TestChild::Terminate() { (void)JX_KillProcess(process_); }
