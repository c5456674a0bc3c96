// Test helpers: running a command with a deadline and capturing its output,
// and scratch folders.
//
// All functions may be called from any thread at once. None of them touches the
// calling process's signal dispositions or standard streams.
#ifndef WENDLEMOOR_TESTS_RUN_CAPTURE_H_
#define WENDLEMOOR_TESTS_RUN_CAPTURE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The status of a run whose process could not be started.
inline constexpr int kRunNotStarted = -1000;

struct RunResult {
  // 0..255 for a normal exit, minus the signal number for a process killed by
  // a signal (-9 after a timeout), or kRunNotStarted.
  int status = kRunNotStarted;
  // Everything written to standard output by the process and by every
  // descendant that inherited it, in the order it reached the pipe.
  std::string output;
  // True when the deadline passed and the process group was killed.
  bool timed_out = false;
  pid_t pid = -1;       // the process's ID, -1 when not started
  int spawn_error = 0;  // errno of the failed start, 0 when it started
};

// Starts argv[0] (a path: it is not searched for in PATH, and a relative path
// is taken from `cwd`) with arguments `argv` in the folder `cwd` (the caller's
// own when empty), with this process's environment, standard input and
// standard error, and its standard output connected to a pipe that is read
// until every writer has closed it. The process leads a process group of its
// own and starts with no signal blocked. When the process has not ended and
// closed its output within `deadline_ms`, the whole group is killed with
// SIGKILL and reaped, so no run outlives the call by more than its children
// take to die.
// REQUIRES: argv is not empty.
RunResult RunCapture(const std::vector<std::string>& argv,
                     const std::string& cwd, int deadline_ms);

// How RunReading reads a run's output.
struct OutputReading {
  int pipe_size = 0;         // bytes (F_SETPIPE_SZ); 0 keeps the default
  int start_delay_ms = 0;    // before the first read
  std::size_t chunk = 4096;  // bytes per read
  int pause_ms = 0;          // after each read
  // Called with every chunk read: the process's pid, the bytes, and the
  // monotonic time they were read at.
  std::function<void(pid_t, const char*, std::size_t, std::uint64_t)> on_output;
};

// RunCapture that hands the output to `reading.on_output` as it is read, as
// `reading` says, and leaves RunResult::output empty.
RunResult RunReading(const std::vector<std::string>& argv,
                     const std::string& cwd, int deadline_ms,
                     const OutputReading& reading);

struct RunRequest {
  std::vector<std::string> argv;
  std::string cwd;
};

// Runs every request at once, each as RunCapture with its own deadline of
// `deadline_ms`, and returns their results in the order of `requests`.
std::vector<RunResult> RunCaptureAll(const std::vector<RunRequest>& requests,
                                     int deadline_ms);

// Runs request i again alone, up to twice, while `unproven(i, its run)`:
// for a run that proves nothing on a starved machine (a break that comes by
// chance when two holds meet, a fault class that never struck). Only a
// result that a lock can fail to give each time may be asked for again: a
// lock that holds never breaks, so a second look cannot let a broken lock
// pass.
void RunAgainWhile(
    const std::vector<RunRequest>& requests, std::vector<RunResult>* runs,
    int deadline_ms,
    const std::function<bool(std::size_t, const RunResult&)>& unproven);

// Runs the built executable once per argument list, all at once, from a
// folder whose "./Wendlemoor" is a stub that exits 0 at once: the parent's
// behaviour is seen in seconds, without real children. A run whose stub could
// not be written has status kRunNotStarted.
std::vector<RunResult> RunWithStubChildren(
    const std::vector<std::vector<std::string>>& argument_lists,
    int deadline_ms);

// The same for table rows, each with its `arguments`.
template <typename Row>
std::vector<RunResult> RunRowsWithStubChildren(const std::vector<Row>& rows,
                                               int deadline_ms) {
  std::vector<std::vector<std::string>> argument_lists;
  for (const Row& row : rows) argument_lists.push_back(row.arguments);
  return RunWithStubChildren(argument_lists, deadline_ms);
}

// A fresh, empty folder (mode 0700) under $TMPDIR or /tmp, removed with all
// its content when the object is destroyed. path() is empty when the folder
// could not be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes `content` to the file `name` in the folder with mode `mode`;
  // returns its full path, or an empty string on failure.
  std::string WriteFile(const std::string& name, const std::string& content,
                        mode_t mode) const;

 private:
  std::string path_;
};

// Splits `text` at '\n' into lines without their newline. A last line with no
// newline is kept as it is; an empty text has no lines.
std::vector<std::string> SplitLines(const std::string& text);

#endif  // WENDLEMOOR_TESTS_RUN_CAPTURE_H_
