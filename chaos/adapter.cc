// The run's side of the adapter protocol: the process, its pipes, a reader
// thread that hands each answer line to the thread that asked.
#include "chaos/adapter.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "runtime/eintr.h"

namespace wendlemoor {

namespace {

constexpr std::size_t kLineMax = 1024;
constexpr int kExitDeadlineMs = 2000;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// A line as it may be quoted in one line of a report: control bytes shown
// as '?', at most 60 bytes.
std::string Quote(const std::string& line) {
  std::string out = "\"";
  for (std::size_t i = 0; i < line.size() && i < 60; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    out += c < 0x20 || c == 0x7f ? '?' : char(c);
  }
  if (line.size() > 60) out += "...";
  return out + "\"";
}

// Whether the command's first word names an executable file, in PATH when
// it has no '/'. A first word the shell would read otherwise (quotes, an
// assignment, an expansion) is left to the shell. Returns 0 or the errno.
int FindCommand(const std::string& command) {
  const std::vector<std::string> words = Words(command);
  if (words.empty()) return ENOENT;
  const std::string& word = words[0];
  if (word.find_first_of("=$'\"`\\;&|<>(){}*?[~") != std::string::npos) {
    return 0;
  }
  if (word.find('/') != std::string::npos) {
    struct stat status;
    if (stat(word.c_str(), &status) != 0) return errno;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    return access(word.c_str(), X_OK) == 0 ? 0 : errno;
  }
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string file = (folder.empty() ? "." : folder) + "/" + word;
    struct stat status;
    if (stat(file.c_str(), &status) == 0 && !S_ISDIR(status.st_mode) &&
        access(file.c_str(), X_OK) == 0) {
      return 0;
    }
  }
  return ENOENT;
}

}  // namespace

bool ParseGreeting(const std::string& line, AdapterFeatures* features,
                   std::string* error) {
  const std::vector<std::string> words = Words(line);
  if (words.size() < 2 || words[0] != "wendlemoor-adapter" ||
      words[1].find_first_not_of("0123456789") != std::string::npos) {
    *error = "greeted with " + Quote(line) + ", not \"wendlemoor-adapter " +
             std::to_string(kAdapterProtocolVersion) + " ...\"";
    return false;
  }
  if (words[1] != std::to_string(kAdapterProtocolVersion)) {
    *error = "speaks protocol version " + words[1] + ", not " +
             std::to_string(kAdapterProtocolVersion);
    return false;
  }
  AdapterFeatures read;
  // Plain words this version does not know are left for later versions; a
  // word with an argument it does not know would change what a hold means.
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "missing") {
      read.missing = "missing";
      for (++i; i < words.size(); ++i) read.missing += " " + words[i];
      break;
    }
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos) {
      if (word == "threads") read.threads = true;
      if (word == "thread-end") read.thread_end = true;
      if (word == "instances") read.instances = true;
      if (word == "fencing") read.fencing = true;
      read.words.insert(word);
      continue;
    }
    const std::string key = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    if (key != "lease") {
      *error = "greeted with " + Quote(word) + ", a word this version " +
               "does not know";
      return false;
    }
    // At most 9 digits: a lease of up to about 11 days, never an overflow.
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoull(value.c_str(), nullptr, 10) == 0) {
      *error = "greeted with " + Quote(word) +
               ", not a lease of a positive whole number of milliseconds";
      return false;
    }
    read.lease_ms = std::strtoull(value.c_str(), nullptr, 10);
  }
  *features = read;
  return true;
}

bool ParseAnswer(const std::string& line, bool fencing, std::uint32_t* thread,
                 AdapterAnswer* answer, std::string* reason) {
  const std::vector<std::string> words = Words(line);
  if (words.size() < 2 || words[0].size() > 9 ||
      words[0].find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *thread = std::uint32_t(std::strtoul(words[0].c_str(), nullptr, 10));
  reason->clear();
  if (words[1] == "done" && words.size() == 2) {
    *answer = AdapterAnswer::kDone;
  } else if (words[1] == "busy" && words.size() == 2) {
    *answer = AdapterAnswer::kBusy;
  } else if (words[1] == "forked" && words.size() == 4) {
    *answer = AdapterAnswer::kForked;
    *reason = words[2] + " " + words[3];
  } else if (words[1] == "failed" && words.size() >= 3) {
    *answer = AdapterAnswer::kFailed;
    *reason = words[2];
  } else if (fencing && words[1] == "ok" && words.size() == 3) {
    // Decimal digits only, and no wrap past 2^64 - 1: strtoull would take
    // a sign, spaces and "0x", and saturate.
    const std::string& digits = words[2];
    if (digits.empty() || digits.size() > 20 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    std::uint64_t token = 0;
    for (const char c : digits) {
      const std::uint64_t digit = std::uint64_t(c - '0');
      if (token > (UINT64_MAX - digit) / 10) return false;
      token = token * 10 + digit;
    }
    *answer = AdapterAnswer::kGranted;
    *reason = std::to_string(token);
  } else {
    return false;
  }
  return true;
}

std::unique_ptr<Adapter> Adapter::Start(const std::string& command,
                                        const std::string& lock_folder,
                                        bool own_group, std::string* error) {
  if (const int cause = FindCommand(command); cause != 0) {
    *error = "cannot be started: " + Words(command + " ?")[0] + ": " +
             std::strerror(cause);
    return nullptr;
  }
  std::unique_ptr<Adapter> adapter(new Adapter());
  adapter->command_ = command;
  adapter->own_group_ = own_group;
  int in[2], out[2], wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) {
    *error = std::string("cannot be started: pipe: ") + std::strerror(errno);
    return nullptr;
  }
  adapter->wake_read_ = wake[0];
  adapter->wake_ = wake[1];
  if (pipe2(in, O_CLOEXEC) != 0) {
    *error = std::string("cannot be started: pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("cannot be started: pipe: ") + std::strerror(errno);
    close(in[0]);  // never retried (runtime/eintr.h)
    close(in[1]);
    return nullptr;
  }
  // A write to an adapter that has gone must fail with EPIPE, not end this
  // process; the adapter gets the default back.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> strings = {"sh", "-c", "exec " + command + " \"$@\"",
                                      "wendlemoor-adapter", lock_folder};
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  JX_ProcessAttributes attributes;
  attributes.standard_input = in[0];
  attributes.standard_output = out[1];
  attributes.new_process_group = own_group;
  attributes.die_with_parent = true;
  attributes.default_sigpipe = true;
  adapter->process_ =
      JX_CreateProcess("/bin/sh", argv.data(), nullptr, &attributes);
  const int cause = errno;
  close(in[0]);
  close(out[1]);
  adapter->to_ = in[1];
  adapter->from_ = out[0];
  if (adapter->process_ == nullptr) {
    *error = std::string("cannot be started: ") + std::strerror(cause);
    return nullptr;
  }
  adapter->reader_ = JX_CreateThread(JX_USER_THREAD, ReaderMain, adapter.get(),
                                     JX_PRIORITY_NORMAL, JX_GLOBAL_THREAD,
                                     JX_JOINABLE_THREAD, 0);
  if (adapter->reader_ == nullptr) {
    *error = std::string("cannot be read: thread: ") + std::strerror(errno);
    return nullptr;
  }
  return adapter;
}

Adapter::~Adapter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  // The end of its standard input asks it to end; one that does not within
  // the deadline is killed.
  if (to_ != -1) close(to_);
  {
    std::lock_guard<std::mutex> process_lock(process_mutex_);
    if (process_ != nullptr) {
      // An adapter with a group of its own is ended with everything it
      // started there, before it is reaped and its group ID can be reused.
      if (own_group_) (void)JX_KillProcess(process_);
      (void)JX_WaitProcessOrKill(process_, kExitDeadlineMs, nullptr);
      process_ = nullptr;
    }
  }
  // Something it started may still hold its standard output open: the
  // reader is woken by the end of its wake pipe instead. The process lock
  // is not held here: a reader that met the end of the output before
  // `closing_` was set goes on to take it, and is joined only after.
  if (reader_ != nullptr) {
    if (wake_ != -1) close(wake_);
    wake_ = -1;
    (void)JX_JoinThread(reader_);
  }
  if (wake_ != -1) close(wake_);
  if (wake_read_ != -1) close(wake_read_);
  if (from_ != -1) close(from_);
}

void Adapter::ReaderMain(void* argument) {
  static_cast<Adapter*>(argument)->Reader();
}

void Adapter::Fail(AdapterFault fault, const std::string& error) {
  if (fault_ == AdapterFault::kNone) {
    fault_ = fault;
    error_ = error;
  }
  changed_.notify_all();
}

void Adapter::Reader() {
  std::string line;
  char buffer[512];
  for (;;) {
    struct pollfd fds[2] = {{from_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (RetryOnEintr([&] { return poll(fds, 2, -1); }) == -1) break;
    if (fds[1].revents != 0) return;  // the owner is ending
    const ssize_t n =
        RetryOnEintr([&] { return read(from_, buffer, sizeof buffer); });
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\n') {
        line += buffer[i];
        if (line.size() <= kLineMax) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        Fail(AdapterFault::kGarbage, "answered a line longer than " +
                                         std::to_string(kLineMax) +
                                         " bytes: " + Quote(line));
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (!greeted_) {
        greeted_ = true;
        greeting_ = line;
        changed_.notify_all();
        line.clear();
        continue;
      }
      std::uint32_t thread = 0;
      AdapterAnswer answer;
      std::string reason;
      if (!ParseAnswer(line, fencing_, &thread, &answer, &reason)) {
        Fail(AdapterFault::kGarbage,
             "answered a line that does not parse: " + Quote(line));
        return;
      }
      auto it = pending_.find(thread);
      if (it == pending_.end() || it->second.answered) {
        Fail(AdapterFault::kGarbage,
             "answered thread " + std::to_string(thread) +
                 ", which had asked nothing: " + Quote(line));
        return;
      }
      // A grant of a fencing adapter carries its token, and nothing else
      // does: a token missing is one the run cannot judge.
      if (fencing_ && it->second.acquire && answer == AdapterAnswer::kDone) {
        Fail(AdapterFault::kGarbage,
             "granted an acquisition without a fencing token: " + Quote(line));
        return;
      }
      if (answer == AdapterAnswer::kGranted && !it->second.acquire) {
        Fail(AdapterFault::kGarbage,
             "answered a token to a request other than an acquisition: " +
                 Quote(line));
        return;
      }
      it->second = Pending{it->second.acquire, true, answer, reason};
      changed_.notify_all();
      line.clear();
    }
  }
  // The end of its standard output: it exited or closed it.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
  }
  std::string how = "exited";
  {
    std::lock_guard<std::mutex> process_lock(process_mutex_);
    int code = 0;
    if (process_ != nullptr &&
        JX_WaitProcessFor(process_, 1000, &code) == JX_SUCCESS) {
      process_ = nullptr;
      how = code < 0 ? "was killed by signal " + std::to_string(-code)
                     : "exited with status " + std::to_string(code);
    } else {
      how = "closed its standard output";
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Fail(AdapterFault::kExited, how);
}

AdapterFault Adapter::Greet(int deadline_ms, AdapterFeatures* features,
                            std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool done = changed_.wait_for(
      lock, std::chrono::milliseconds(deadline_ms),
      [&] { return greeted_ || fault_ != AdapterFault::kNone; });
  if (!done) {
    Fail(AdapterFault::kLate,
         "did not greet within " + std::to_string(deadline_ms) + " ms");
  } else if (greeted_) {
    // The reader hands over the greeting before it looks for the end that
    // may follow it at once (an adapter that only says what is missing):
    // the greeting is judged whatever came after it.
    if (ParseGreeting(greeting_, features, error)) {
      fencing_ = features->fencing;
      return AdapterFault::kNone;
    }
    const AdapterFault fault = error->find("version") != std::string::npos
                                   ? AdapterFault::kVersion
                                   : AdapterFault::kGarbage;
    Fail(fault, *error);
    return fault;
  }
  if (fault_ == AdapterFault::kExited) error_ = error_ + " before greeting";
  *error = error_;
  return fault_;
}

AdapterFault Adapter::Request(std::uint32_t thread, const std::string& line,
                              int deadline_ms, AdapterAnswer* answer,
                              std::string* reason, std::string* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (fault_ == AdapterFault::kNone) {
    pending_[thread] = Pending();
    pending_[thread].acquire = line.rfind("acquire ", 0) == 0;
    // A thread has at most one line in the pipe: the pipe never fills, and
    // this write does not block for long while the lock is held.
    const std::string text = line + "\n";
    if (!WriteAll(to_, text.data(), text.size())) {
      Fail(AdapterFault::kExited,
           std::string("stopped reading its input: ") + std::strerror(errno));
    }
  }
  const auto answered = [&] {
    return fault_ != AdapterFault::kNone || pending_[thread].answered;
  };
  if (deadline_ms < 0) {
    changed_.wait(lock, answered);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(deadline_ms),
                                answered)) {
    Fail(AdapterFault::kLate, "did not answer " + Quote(line) + " within " +
                                  std::to_string(deadline_ms) + " ms");
  }
  const Pending pending = pending_[thread];
  pending_.erase(thread);
  if (fault_ != AdapterFault::kNone) {
    *error = error_;
    return fault_;
  }
  *answer = pending.answer;
  *reason = pending.reason;
  return AdapterFault::kNone;
}

void Adapter::Kill() {
  std::lock_guard<std::mutex> process_lock(process_mutex_);
  if (process_ != nullptr) (void)JX_KillProcess(process_);
}

}  // namespace wendlemoor
