#include "tests/run_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"

namespace {

int MillisecondsLeft(std::uint64_t end_nanos) {
  const std::uint64_t now = JX_MonotonicNanos();
  if (now >= end_nanos) return 0;
  return static_cast<int>((end_nanos - now + 999999) / 1000000);
}

// Starts the process with its standard output on `write_end`, leading a
// process group of its own.
JX_Process Spawn(const std::vector<std::string>& argv, const std::string& cwd,
                 int write_end) {
  std::vector<std::string> strings = argv;
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  JX_ProcessAttributes attributes;
  attributes.standard_output = write_end;
  attributes.working_folder = cwd.empty() ? nullptr : cwd.c_str();
  attributes.new_process_group = true;
  return JX_CreateProcess(pointers[0], pointers.data(), nullptr, &attributes);
}

}  // namespace

RunResult RunReading(const std::vector<std::string>& argv,
                     const std::string& cwd, int deadline_ms,
                     const OutputReading& reading) {
  RunResult result;
  const std::uint64_t end =
      JX_MonotonicNanos() + static_cast<std::uint64_t>(deadline_ms) * 1000000u;
  // Close-on-exec, so that processes other threads start meanwhile do not hold
  // our pipe open.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.spawn_error = errno;
    return result;
  }
  if (reading.pipe_size != 0) fcntl(fds[1], F_SETPIPE_SZ, reading.pipe_size);
  const JX_Process process = Spawn(argv, cwd, fds[1]);
  result.spawn_error = process == nullptr ? errno : 0;
  close(fds[1]);
  if (process == nullptr) {
    close(fds[0]);
    return result;
  }
  result.pid = JX_GetProcessId(process);

  // Read until every writer is gone or the deadline passes.
  JX_Sleep(JX_MillisecondsToInterval(reading.start_delay_ms));
  std::vector<char> chunk(reading.chunk);
  bool open = true;
  while (open) {
    const int left = MillisecondsLeft(end);
    if (left == 0) break;
    pollfd entry{fds[0], POLLIN, 0};
    const int ready = poll(&entry, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n =
        RetryOnEintr([&] { return read(fds[0], chunk.data(), chunk.size()); });
    if (n <= 0) {
      open = false;
    } else {
      reading.on_output(result.pid, chunk.data(), static_cast<std::size_t>(n),
                        JX_MonotonicNanos());
      JX_Sleep(JX_MillisecondsToInterval(reading.pause_ms));
    }
  }
  close(fds[0]);

  // The output is closed; the process may still be on its way out.
  // Output still open at the deadline is a time-out, whatever the process.
  const JX_Status ended = JX_WaitProcessOrKill(
      process, open ? 0u : static_cast<std::uint32_t>(MillisecondsLeft(end)),
      &result.status);
  result.timed_out = open || ended == JX_TIMED_OUT;
  return result;
}

RunResult RunCapture(const std::vector<std::string>& argv,
                     const std::string& cwd, int deadline_ms) {
  std::string output;
  OutputReading reading;
  reading.on_output = [&](pid_t, const char* data, std::size_t size,
                          std::uint64_t) { output.append(data, size); };
  RunResult result = RunReading(argv, cwd, deadline_ms, reading);
  result.output = std::move(output);
  return result;
}

std::vector<RunResult> RunCaptureAll(const std::vector<RunRequest>& requests,
                                     int deadline_ms) {
  std::vector<RunResult> results(requests.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    threads.emplace_back([&, i] {
      results[i] = RunCapture(requests[i].argv, requests[i].cwd, deadline_ms);
    });
  }
  for (auto& thread : threads) thread.join();
  return results;
}

void RunAgainWhile(
    const std::vector<RunRequest>& requests, std::vector<RunResult>* runs,
    int deadline_ms,
    const std::function<bool(std::size_t, const RunResult&)>& unproven) {
  for (std::size_t i = 0; i < requests.size(); ++i) {
    for (int again = 0; again < 2 && unproven(i, (*runs)[i]); ++again) {
      (*runs)[i] = RunCaptureAll({requests[i]}, deadline_ms)[0];
    }
  }
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
  pattern += "/wendlemoor-test-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(const std::string& name,
                               const std::string& content, mode_t mode) const {
  const std::string file = path_ + "/" + name;
  const int fd =
      open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1) return {};
  const bool written = write(fd, content.data(), content.size()) ==
                       static_cast<ssize_t>(content.size());
  // An explicit chmod: the umask would narrow the mode given to open.
  const bool ok = written && fchmod(fd, mode) == 0;
  close(fd);
  return ok ? file : std::string();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, newline - start));
    start = newline + 1;
  }
  return lines;
}

std::vector<RunResult> RunWithStubChildren(
    const std::vector<std::vector<std::string>>& argument_lists,
    int deadline_ms) {
  TempDir stub_dir;
  if (stub_dir.path().empty() ||
      stub_dir.WriteFile("Wendlemoor", "#!/bin/sh\nexit 0\n", 0755).empty()) {
    return std::vector<RunResult>(argument_lists.size());
  }
  std::vector<RunRequest> requests;
  for (const auto& arguments : argument_lists) {
    RunRequest request{{WENDLEMOOR_BINARY}, stub_dir.path()};
    request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
    requests.push_back(request);
  }
  return RunCaptureAll(requests, deadline_ms);
}
