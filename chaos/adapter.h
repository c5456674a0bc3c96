// An adapter: a program, in any language, that holds named locks for the
// chaos run when asked by lines on its standard input and answers each
// request with one line on its standard output (docs/adapter-protocol.md).
// This is the run's side of that protocol: it starts the program, reads its
// greeting, sends requests and waits for their answers with deadlines.
//
// The program is started as `/bin/sh -c 'exec COMMAND "$@"' LOCK_FOLDER`,
// to die with the process that started it (die_with_parent,
// runtime/process.h): no adapter outlives it, even one killed with SIGKILL.
// On Linux that holds only while the starting thread lives: start adapters
// from the main thread.
//
// Thread safety: Request may be called from any number of threads at once,
// one request per thread id at a time; the rest from one thread. Ownership:
// the Adapter owns its process, its pipes and its reader thread; destroying
// it ends all three.
#ifndef WENDLEMOOR_CHAOS_ADAPTER_H_
#define WENDLEMOOR_CHAOS_ADAPTER_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "chaos/history.h"
#include "runtime/process.h"
#include "runtime/thread.h"

namespace wendlemoor {

inline constexpr int kAdapterProtocolVersion = 1;

// What the greeting ("wendlemoor-adapter 1 threads thread-end misuse
// lease=500") says the adapter can do.
struct AdapterFeatures {
  bool threads = false;     // several threads, answers in any order
  bool thread_end = false;  // "end T": a thread ends holding
  bool instances = false;   // requests may end with an instance, 1 or 2
  // "fencing": every acquisition granted is answered "T ok TOKEN", the
  // lock's fencing token for that grant, never "T done".
  bool fencing = false;
  // Every plain word it offers ("fork", "misuse", ...): the fault classes it
  // can be put under are those whose word it says (FaultsGreeted,
  // chaos/fault.h).
  std::set<std::string> words;
  // Not empty: the lock is not on this machine ("missing WHAT...").
  std::string missing;
  // "lease=MS": the lock is a lease of MS milliseconds (0: no lease;
  // components/module.h tells what a lease means to the run).
  std::uint32_t lease_ms = 0;
};

// Reads a greeting line. Returns false, with the cause in `*error`, for a
// line that is not one, names another protocol version, gives a lease that
// is not a positive whole number of milliseconds, or says a word with an
// argument ("word=value") that this version does not know. A plain word it
// does not know is left for later versions.
bool ParseGreeting(const std::string& line, AdapterFeatures* features,
                   std::string* error);

// kForked answers "fork T NAME": "T forked RELEASE ACQUIRE", the child's
// two results, each "done", "busy" or a failure's reason. kGranted answers
// an acquisition of an adapter that greeted "fencing": "T ok TOKEN".
enum class AdapterAnswer { kDone, kBusy, kFailed, kForked, kGranted };

// Reads an answer line ("T done", "T busy", "T failed REASON", "T forked R
// A", and when `fencing` "T ok TOKEN"). Returns false for a line that does
// not parse, a token that is not a decimal number below 2^64 among them;
// `*reason` is the failure's reason, the fork's "R A", or the token in
// decimal without leading zeros.
bool ParseAnswer(const std::string& line, bool fencing, std::uint32_t* thread,
                 AdapterAnswer* answer, std::string* reason);

class Adapter {
 public:
  // Starts `command` with `lock_folder` as its last argument, in the
  // caller's process group or, when `own_group`, in one of its own. Returns
  // null with `*error` set when it cannot be started (a first word that
  // names no executable file among them).
  static std::unique_ptr<Adapter> Start(const std::string& command,
                                        const std::string& lock_folder,
                                        bool own_group, std::string* error);
  ~Adapter();
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // Waits at most `deadline_ms` for the greeting. Returns kNone with the
  // features, or the fault with a description in `*error`.
  AdapterFault Greet(int deadline_ms, AdapterFeatures* features,
                     std::string* error);

  // Sends `line` (without its newline) for `thread` and waits for that
  // thread's answer, at most `deadline_ms` (-1: as long as it takes, until
  // the adapter ends). Returns kNone with the answer, or the fault that
  // made the adapter unusable (every later call returns it too) with a
  // description in `*error`. After a greeting with "fencing", an
  // acquisition granted without a token, or a token that answers any other
  // request, is garbage (AdapterFault::kGarbage).
  AdapterFault Request(std::uint32_t thread, const std::string& line,
                       int deadline_ms, AdapterAnswer* answer,
                       std::string* reason, std::string* error);

  // Kills the adapter's process (and its group when it has one of its own).
  void Kill();

  const std::string& command() const { return command_; }

 private:
  Adapter() = default;
  static void ReaderMain(void* argument);
  void Fail(AdapterFault fault, const std::string& error);  // mutex_ held
  void Reader();

  std::string command_;
  std::mutex process_mutex_;  // guards `process_`, spent once reaped
  JX_Process process_ = nullptr;
  int to_ = -1;    // its standard input
  int from_ = -1;  // its standard output
  JX_Thread reader_ = nullptr;
  int wake_ = -1;       // closed to end the reader
  int wake_read_ = -1;  // the reader's end of that pipe
  bool own_group_ = false;

  // Mutex rules: `mutex_` guards every field below and the writes to `to_`.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool greeted_ = false;
  std::string greeting_;
  bool fencing_ = false;  // what the greeting said, once Greet read it
  struct Pending {
    bool acquire = false;  // the request is an acquisition
    bool answered = false;
    AdapterAnswer answer = AdapterAnswer::kFailed;
    std::string reason;
  };
  std::map<std::uint32_t, Pending> pending_;  // by thread id
  AdapterFault fault_ = AdapterFault::kNone;
  std::string error_;
  bool closing_ = false;
};

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_ADAPTER_H_
