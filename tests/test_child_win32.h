// Test helpers on Windows: a child process with its standard input and
// output on pipes, in a job of its own (JX_ProcessAttributes'
// new_process_group), so that it and everything it starts can be killed at a
// deadline.
//
// Called from a test's one thread. A TestChild owns its process handle and
// pipe ends, and kills and reaps whatever is left of its child when destroyed.
#ifndef WENDLEMOOR_TESTS_TEST_CHILD_WIN32_H_
#define WENDLEMOOR_TESTS_TEST_CHILD_WIN32_H_

#include <string>
#include <vector>

#include "runtime/process.h"

class TestChild {
 public:
  TestChild() = default;
  ~TestChild();
  TestChild(const TestChild&) = delete;
  TestChild& operator=(const TestChild&) = delete;

  // Starts `argv` (argv[0] a path, ".exe" added when its last part has no
  // '.', a relative one taken from `cwd`) in the folder `cwd` (ours when
  // empty). Returns false when it could not be started.
  bool Start(const std::vector<std::string>& argv, const std::string& cwd);

  // Starts this test binary in helper role `role` with `arguments`.
  bool StartHelper(const std::string& role,
                   const std::vector<std::string>& arguments);

  // Reads what the child writes until a newline (the line, without it) or,
  // when `line` is false, until every writer has closed the pipe. Gives up at
  // `deadline_ms` and returns what came so far: an empty line only at the
  // pipe's end or the deadline.
  std::string Read(bool line, int deadline_ms);

  // Closes the child's standard input: a helper waiting for its end goes on.
  void CloseInput();

  // Waits up to `deadline_ms` for the child to end and returns its exit code
  // (low 8 bits), or kChildTimedOut after killing its job.
  static constexpr int kChildTimedOut = -1000;
  int Wait(int deadline_ms);

  // Ends the child and its job at once, as a crash or a task manager would
  // (exit code 9).
  void Terminate();

  pid_t pid() const { return pid_; }

 private:
  // Reads what is in the pipe now, or waits a little for it: returns false at
  // the pipe's end.
  bool ReadAvailable(std::string* out);

  JX_Process process_ = nullptr;
  int input_ = -1;   // write end of the child's standard input
  int output_ = -1;  // read end of the child's standard output
  pid_t pid_ = 0;
  std::string pending_;  // read past the last line returned
};

#endif  // WENDLEMOOR_TESTS_TEST_CHILD_WIN32_H_
