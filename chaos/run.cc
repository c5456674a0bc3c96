// The chaos run's own process: options, workers, the faults that strike
// from outside (stop and continue, removals), the check and the report.
#include "chaos/run.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "chaos/checker.h"
#include "chaos/control.h"
#include "chaos/fault.h"
#include "chaos/history.h"
#include "chaos/procfs.h"
#include "chaos/proxy.h"
#include "chaos/report.h"
#include "chaos/server.h"
#include "chaos/timeline.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"

namespace wendlemoor {

namespace {

// `text` cut into lines of at most `width` columns between its words, each
// line after `indent` spaces and ending in a newline.
std::string Wrapped(const std::string& text, std::size_t indent,
                    std::size_t width) {
  std::string lines, line;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(' ', at);
    if (end == text.npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      lines += std::string(indent, ' ') + line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    at = end + 1;
  }
  return lines + std::string(indent, ' ') + line + "\n";
}

// The usage text before and after the fault classes' names.
constexpr char kUsageBefore[] =
    "usage: wendlemoor-chaos [OPTIONS]\n"
    "Runs an adversary against the lock service: PROCESSES worker processes\n"
    "of THREADS threads take NAMES lock names at random (blocking and not),\n"
    "hold them for random short times and release them while faults strike;\n"
    "every process records a history, which is checked at the end: no two\n"
    "holds of one name overlap, every hold ends, no name stays unusable after\n"
    "its holder is gone, every call returns the code promised for it.\n"
    "  --seconds N      how long to run, 1..86400 (default 10); with\n"
    "                   --strikes, the longest the run may take\n"
    "  --strikes N      end once each fault class injected has struck N\n"
    "                   times (without faults: once the workers made N\n"
    "                   holds), 1..1000000 (default: run the time out)\n"
    "  --processes N    worker processes, 1..64 (default 6)\n"
    "  --threads N      threads per worker, 1..64 (default 4)\n"
    "  --names N        lock names, 1..256 (default 4)\n"
    "  --faults LIST    comma-separated faults to inject, or \"all\" (the\n"
    "                   default: those our lock promises to hold under), "
    "or\n";
constexpr char kUsageAfter[] =
    "  --stop-ms MIN[-MAX]  how long a stop lasts, in ms, 1..60000 (default\n"
    "                   10-150); a lock with a lease is stopped inside a\n"
    "                   hold, for 1.5 times its lease unless this is given\n"
    "  --seed N         the seed of every choice (default: drawn, and shown);\n"
    "                   the same seed makes the same choices again\n"
    "  --folder DIR     the run's folder, new or empty (kept afterwards, with\n"
    "                   the history); default: a fresh private folder, "
    "removed\n"
    "  --timeline FILE  write the history as an SVG picture to FILE\n"
    "  --json FILE      write the verdict and the figures as JSON to FILE\n"
    "  --junit FILE     write JUnit XML to FILE: a test case for plain\n"
    "                   contention and one per fault class injected\n"
    "  --history FILE   keep the whole history in FILE, for --check\n"
    "  --check FILE     judge a history kept with --history again, as the\n"
    "                   run that wrote it (with --json, --junit, --timeline);\n"
    "                   status 2 when FILE is missing or no whole history\n"
    "  --findings N     how many findings to print (default 5); the JSON file\n"
    "                   lists them all\n"
    "  -h, --help       show this text\n"
    "Exit status: 0 a clean history, 1 a broken one (or the run could not be\n"
    "made), 2 a bad command line or a file that could not be written (the\n"
    "verdict is printed all the same), 130 interrupted (the figures so far\n"
    "are shown).\n";

std::string UsageText() {
  return kUsageBefore +
         Wrapped("\"none\": " + FaultNames(kAllFaults, ", "), 19, 76) +
         kUsageAfter;
}

}  // namespace

const char* ChaosUsage() {
  static const std::string usage = UsageText();
  return usage.c_str();
}

const char kLinkedInLock[] = "wendlemoor (linked in)";

namespace {

constexpr std::uint64_t kMillis = 1000000;
constexpr std::uint64_t kSeconds = 1000000000;
// How long workers get to finish after the end before they count as hung:
// a hold lasts milliseconds, so a worker still busy after this waits in a
// call that will not return. Its calls are recorded as hung and it is killed.
// A lock with a lease gets as long as a dead holder's name may stay
// unusable (UnusableBoundNanos), if that is longer: a waiter for a name
// whose holder died just before the end waits for the lease.
constexpr std::uint64_t kFinishNanos = 5 * kSeconds;
// How long a removal waits for the holds in progress to end.
constexpr std::uint64_t kQuietNanos = 2 * kSeconds;
// A call that must not wait (any but a blocking acquisition) and that has
// gone on this long, not counting the time its worker was stopped, is hung:
// such a call takes microseconds in a module and milliseconds through an
// adapter, but a loaded machine has been seen to keep an adapter's call
// (one that starts a process) from answering for over 2 s: the bound is the
// same 5 s that workers get to finish after the end.
constexpr std::uint64_t kHangNanos = 5 * kSeconds;
// How often the run looks for such calls in the control page.
constexpr std::uint64_t kHangLookNanos = 100 * kMillis;
// How long the workers' stop may take to land before the run kills them
// (Run::KillAll), and how often it looks meanwhile.
constexpr std::uint64_t kStopLandNanos = 2 * kSeconds;
constexpr int kStopLookMs = 5;
// How soon a turn of a run-side site that was due but had to wait is looked
// at again (Run::TurnReady).
constexpr std::uint64_t kTurnLookNanos = 10 * kMillis;
// Holds per worker the workers make between two turns of a run-side site,
// at least.
constexpr std::uint64_t kHoldsPerTurn = 20;

bool ReadBounded(const std::string& text, std::uint64_t low, std::uint64_t high,
                 std::uint64_t* value) {
  if (text.empty() || text.size() > 20 ||
      text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  errno = 0;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0 && *value >= low && *value <= high;
}

constexpr std::uint64_t kStopMsMax = 60000;

// Reads --stop-ms: "MIN" or "MIN-MAX", 1 <= MIN <= MAX <= kStopMsMax.
bool ReadStopMs(const std::string& text, ChaosOptions* options) {
  const std::size_t dash = text.find('-');
  std::uint64_t low = 0, high = 0;
  if (!ReadBounded(text.substr(0, dash), 1, kStopMsMax, &low)) return false;
  high = low;
  if (dash != text.npos &&
      !ReadBounded(text.substr(dash + 1), low, kStopMsMax, &high)) {
    return false;
  }
  options->stop_min_ms = std::uint32_t(low);
  options->stop_max_ms = std::uint32_t(high);
  options->stop_given = true;
  return true;
}

}  // namespace

ChaosParse ParseChaosOptions(int argc, const char* const* argv,
                             ChaosOptions* options, std::string* error,
                             FaultListFor faults_for) {
  auto take_faults = [&](const std::string& text) {
    FaultList faults;
    if (!ParseFaults(text, faults_for, &faults, error)) return false;
    options->faults = faults.set;
    options->faults_named = faults.named;
    options->fault_columns = faults.columns;
    return true;
  };
  (void)take_faults("all");
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "-h" || option == "--help") return ChaosParse::kHelp;
    std::string value;
    const std::size_t equals = option.find('=');
    if (option.compare(0, 2, "--") == 0 && equals != option.npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "missing value or unknown option: " + option;
      return ChaosParse::kBad;
    }
    std::uint64_t number = 0;
    auto bounded = [&](std::uint64_t low, std::uint64_t high, int* field) {
      if (!ReadBounded(value, low, high, &number)) return false;
      *field = static_cast<int>(number);
      return true;
    };
    bool ok = true;
    if (option == "--seconds") {
      ok = bounded(1, 86400, &options->seconds);
    } else if (option == "--strikes") {
      ok = ReadBounded(value, 1, 1000000, &options->strikes);
    } else if (option == "--processes") {
      ok = bounded(1, kChaosProcessesMax, &options->processes);
    } else if (option == "--threads") {
      ok = bounded(1, kChaosThreadsMax, &options->threads);
    } else if (option == "--names") {
      ok = bounded(1, kChaosNamesMax, &options->names);
    } else if (option == "--faults") {
      ok = take_faults(value);
    } else if (option == "--stop-ms") {
      if (!ReadStopMs(value, options)) {
        *error = "bad value for --stop-ms: \"" + value +
                 "\" (MIN or MIN-MAX in ms, 1 <= MIN <= MAX <= " +
                 std::to_string(kStopMsMax) + ")";
        return ChaosParse::kBad;
      }
    } else if (option == "--seed") {
      ok = ReadBounded(value, 0, UINT64_MAX, &options->seed);
      options->seed_given = true;
    } else if (option == "--folder") {
      ok = !value.empty();
      options->folder = value;
    } else if (option == "--timeline") {
      ok = !value.empty();
      options->timeline = value;
    } else if (option == "--json") {
      ok = !value.empty();
      options->result = value;
    } else if (option == "--junit") {
      ok = !value.empty();
      options->junit = value;
    } else if (option == "--history") {
      ok = !value.empty();
      options->history = value;
    } else if (option == "--check") {
      ok = !value.empty();
      options->check = value;
    } else if (option == "--findings") {
      ok = ReadBounded(value, 0, UINT32_MAX, &number);
      options->findings = std::uint32_t(number);
    } else {
      *error = "unknown option: " + option;
      return ChaosParse::kBad;
    }
    if (!ok) {
      *error = "bad value for " + option + ": \"" + value + "\"";
      return ChaosParse::kBad;
    }
  }
  return ChaosParse::kRun;
}

namespace {

struct Slot {
  pid_t pid = -1;  // -1: no worker in this slot
  std::uint64_t generation = 0;
  // Per thread place: when the call last recorded as hung began, so that
  // each hung call is recorded once.
  std::uint64_t hung_since[kChaosThreadsMax] = {};
};

// What the run does at times of its own while the workers run, in the order
// the main loop does them when several are due at once: a turn of the
// fault classes that strike a worker from outside, and one of those that
// strike between holds (chaos/fault.h), among them.
enum class Duty {
  kContinue,
  kStrikeWorker,
  kStrikeBetweenHolds,
  kHangs,
  kProgress,
  kCount
};

// When each duty is next due, on the monotonic clock. The main loop does every
// duty that is due, then waits for a signal until the earliest next one.
class Schedule {
 public:
  static constexpr std::uint64_t kNever = UINT64_MAX;

  void Set(Duty duty, std::uint64_t when) { due_[Index(duty)] = when; }
  void Clear(Duty duty) { Set(duty, kNever); }
  bool Due(Duty duty, std::uint64_t now) const {
    return now >= due_[Index(duty)];
  }
  // The earliest time a duty is due, or `end` when none is due before it.
  std::uint64_t Next(std::uint64_t end) const {
    for (const std::uint64_t when : due_) end = std::min(end, when);
    return end;
  }

 private:
  static int Index(Duty duty) { return static_cast<int>(duty); }
  std::uint64_t due_[static_cast<int>(Duty::kCount)] = {kNever, kNever, kNever,
                                                        kNever, kNever};
};

class Run final : public FaultRunSide {
 public:
  Run(const ChaosOptions& options, const std::vector<std::string>& command)
      : options_(options), command_(command), random_(options.seed) {}

  int Main();
  // The classes that strike the lock's server reach it through the channel
  // of its guard at `channel` (chaos/server.h).
  void UseServer(const std::string& channel) {
    server_ = std::make_unique<ServerChannel>(channel);
  }

  // What the fault classes that strike from the run act through.
  ChaosRandom& Random() override { return random_; }
  void RecordFault(ChaosFault fault, pid_t worker) override;
  std::vector<pid_t> Workers() const override;
  void StopWorker(pid_t worker, std::uint64_t nanos) override;
  std::string LockFolder() const override { return folder_ + "/locks"; }
  void RenewWorker() override;
  StopShape Stop() const override {
    return {options_.stop_min_ms, options_.stop_max_ms, options_.stop_given,
            options_.lease_ms};
  }
  void StopWorkerHolding(pid_t worker, std::uint64_t nanos) override;
  void KillWorker(pid_t worker) override { Kill(worker); }
  void RemoveOutside() override { options_.cleanup(LockFolder()); }
  void RenewIdleWorker() override;
  void PauseServer(std::uint64_t nanos) override;
  void RestartServer() override;
  void CutOff(pid_t worker, std::uint64_t nanos, bool drop) override;

 private:
  bool Empty() const;
  bool Prepare();
  bool StartProxies();
  std::size_t SlotOf(pid_t worker) const;
  bool Spawn(int slot);
  void Record(ChaosEvent event, std::uint64_t value = 0, std::uint32_t code = 0,
              ChaosFault fault = ChaosFault::kCount, bool wait = false);
  void RecordStrike(ChaosFault fault, std::uint64_t value, std::uint32_t ms,
                    bool drop = false);
  void ShiftCalls(std::size_t slot, std::uint64_t nanos);
  double At() const;
  void Reap(bool replace);
  bool HandleSignals();
  bool WaitForSignal(std::uint64_t until);
  void Kill(pid_t pid);
  void Again(Duty duty, FaultSite site);
  void StrikeWorker();
  void Continue();
  void StrikeBetweenHolds();
  bool CloseGate();
  void Progress(bool last);
  bool StruckEnough() const;
  bool TurnReady(Duty duty, std::uint64_t now);
  void EndEarly();
  void LookForHangs();
  std::uint64_t RecordHungCalls(std::size_t slot, bool every);
  void Finish();
  void RecordStuck();
  void KillAll(bool interrupted);
  void EndAdopted();
  int Report();

  const ChaosOptions& options_;
  const std::vector<std::string>& command_;
  ChaosRandom random_;
  std::string folder_;
  bool own_folder_ = false;
  int history_ = -1;
  int signals_ = -1;
  ChaosControl* control_ = nullptr;
  std::vector<Slot> slots_;
  std::uint64_t start_ = 0;
  std::uint64_t deadline_ = 0;
  Schedule schedule_;
  pid_t stopped_ = -1;
  std::uint64_t stopped_at_ = 0;
  std::uint64_t gate_closed_ = 0;  // when the open gate was closed, or 0
  std::uint64_t outside_faults_ = 0;
  std::uint64_t holds_at_turn_ = 0;  // the workers' holds at the last turn
  bool interrupted_ = false;
  bool terminal_ = false;
  // The lock's server of the run's own, when a class that strikes it is
  // enabled (chaos/server.h); paused since `server_paused_at_`, or 0.
  std::unique_ptr<ServerChannel> server_;
  std::uint64_t server_paused_at_ = 0;
  // Under cut-off, each slot's worker reaches the server through a proxy of
  // its own; the one frozen is `cut_` (or -1), since `cut_at_`, to be
  // dropped at its end when `cut_drop_`.
  std::vector<std::unique_ptr<LoopbackProxy>> proxies_;
  int cut_ = -1;
  std::uint64_t cut_at_ = 0;
  bool cut_drop_ = false;
};

void Run::Record(ChaosEvent event, std::uint64_t value, std::uint32_t code,
                 ChaosFault fault, bool wait) {
  ChaosRecord record{};
  record.event = event;
  record.value = value;
  record.code = code;
  record.call = static_cast<std::uint16_t>(fault);
  record.wait = wait ? 1 : 0;
  if (!RecordEvent(history_, record)) {
    std::fprintf(stderr, "wendlemoor-chaos: history: %s\n",
                 std::strerror(errno));
  }
}

// True when folder_ is a folder with nothing in it; errno stays EEXIST.
bool Run::Empty() const {
  DIR* dir = opendir(folder_.c_str());
  if (dir == nullptr) {
    errno = EEXIST;
    return false;
  }
  int entries = 0;
  while (readdir(dir) != nullptr) ++entries;
  closedir(dir);
  errno = EEXIST;
  return entries == 2;  // "." and ".."
}

bool Run::Prepare() {
  if (options_.folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                          "/wendlemoor-chaos-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", pattern.c_str(),
                   std::strerror(errno));
      return false;
    }
    folder_ = pattern;
    own_folder_ = true;
  } else {
    // A folder of its own or an empty one: the run removes lock files and
    // folders in it, and must not scribble among someone else's files.
    folder_ = options_.folder;
    if (mkdir(folder_.c_str(), 0700) != 0 && (errno != EEXIST || !Empty())) {
      std::fprintf(
          stderr, "wendlemoor-chaos: %s: %s\n", folder_.c_str(),
          errno == EEXIST ? "exists and is not empty" : std::strerror(errno));
      return false;
    }
  }
  const std::string history = folder_ + "/history";
  if (mkdir(history.c_str(), 0700) != 0) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", history.c_str(),
                 errno == EEXIST ? "the folder holds a run already"
                                 : std::strerror(errno));
    return false;
  }
  control_ = MapControl(folder_ + "/control", true);
  history_ = open((history + "/run.history").c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
  // SIGCHLD and the signals that end a run are read from a descriptor in the
  // main loop, never handled asynchronously.
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  if (control_ == nullptr || history_ == -1 ||
      sigprocmask(SIG_BLOCK, &set, nullptr) != 0 ||
      (signals_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)) == -1) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", folder_.c_str(),
                 std::strerror(errno));
    return false;
  }
  // The run owns every process its workers leave behind: a worker's child
  // whose parent died (the orphan fault's, in a process group of its own)
  // is given to the run rather than to init, and EndAdopted ends it with
  // the run. Reap() passes over such children: they are in no slot. Where
  // the system refuses, they end by themselves, up to 2 s after the run.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
    std::fprintf(stderr,
                 "wendlemoor-chaos: cannot adopt the workers' orphans: %s\n",
                 std::strerror(errno));
  }
  return true;
}

bool Run::Spawn(int slot) {
  Slot& s = slots_[slot];
  const std::uint64_t seed = DeriveSeed(options_.seed, slot + 1, s.generation);
  std::vector<std::string> strings = command_;
  for (const std::string& argument :
       {folder_, std::to_string(slot), std::to_string(seed),
        std::to_string(options_.threads), std::to_string(options_.names),
        FaultNames(options_.faults), std::to_string(deadline_)}) {
    strings.push_back(argument);
  }
  std::vector<char*> argv;
  for (auto& string : strings) argv.push_back(string.data());
  argv.push_back(nullptr);
  // A process group of its own keeps a terminal's Ctrl-C away from the
  // workers: the run ends them itself, after it has recorded that. Reap()
  // waits for any worker, by its ID. A worker never outlives the run, even
  // one killed; this is the main thread, which lives as long.
  JX_ProcessAttributes attributes;
  attributes.new_process_group = true;
  attributes.die_with_parent = true;
  // Under cut-off its adapter finds the server at its slot's proxy.
  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (!proxies_.empty()) {
    const std::string name = std::string(kServerVariable) + "=";
    for (char** e = environ; *e != nullptr; ++e) {
      if (!std::string_view(*e).starts_with(name)) environment.push_back(*e);
    }
    environment.push_back(name + proxies_[slot]->address());
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  s.pid = JX_DetachProcess(JX_CreateProcess(
      argv[0], argv.data(), envp.empty() ? nullptr : envp.data(), &attributes));
  ++s.generation;
  if (s.pid == -1) {
    std::fprintf(stderr, "wendlemoor-chaos: cannot start %s: %s\n", argv[0],
                 std::strerror(errno));
    return false;
  }
  return true;
}

// Reaps every worker that has ended and records its end at once; while time
// remains, a worker that ended before the end is replaced when `replace`.
void Run::Reap(bool replace) {
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].pid != pid) continue;
      // What it left in its group (an adapter's children) goes with it; the
      // group's ID is not reused while any of them lives.
      (void)kill(-pid, SIGKILL);
      Record(ChaosEvent::kWorkerExit, std::uint64_t(pid),
             std::uint32_t(JX_ExitCodeFromStatus(status)));
      // Its calls that hung are read before a successor's threads take its
      // call slots; the others, cut short, are forgotten.
      RecordHungCalls(i, false);
      for (ChaosCallSlot& call : control_->calls[i]) call.since.store(0);
      std::fill(std::begin(slots_[i].hung_since),
                std::end(slots_[i].hung_since), 0);
      slots_[i].pid = -1;
      // Dead, it holds nothing: its count of holds in progress goes.
      control_->busy[i].store(0);
      control_->holding[i].store(0);
      if (pid == stopped_) stopped_ = -1;
      if (replace && JX_MonotonicNanos() + 200 * kMillis < deadline_)
        Spawn(int(i));
    }
  }
}

// Returns false once a signal asks the run to end.
bool Run::HandleSignals() {
  struct signalfd_siginfo info;
  while (read(signals_, &info, sizeof info) == ssize_t(sizeof info)) {
    if (info.ssi_signo != SIGCHLD) interrupted_ = true;
  }
  Reap(!interrupted_);
  return !interrupted_;
}

// Waits until `until` at most for a signal, a worker's end among them, and
// handles what came. Returns false once a signal asks the run to end.
bool Run::WaitForSignal(std::uint64_t until) {
  const std::uint64_t now = JX_MonotonicNanos();
  struct pollfd poll_fd = {signals_, POLLIN, 0};
  (void)poll(&poll_fd, 1,
             until > now ? int((until - now + kMillis - 1) / kMillis) : 0);
  return HandleSignals();
}

// Ends worker `pid` and its group. The record comes first: the worker held
// its names until then at least.
void Run::Kill(pid_t pid) {
  Record(ChaosEvent::kWorkerKilled, std::uint64_t(pid));
  (void)kill(-pid, SIGKILL);
}

void Run::RecordFault(ChaosFault fault, pid_t worker) {
  RecordStrike(fault,
               FaultOf(fault).site == FaultSite::kBetweenHolds
                   ? gate_closed_
                   : std::uint64_t(worker),
               0);
}

void Run::RecordStrike(ChaosFault fault, std::uint64_t value, std::uint32_t ms,
                       bool drop) {
  Record(ChaosEvent::kFault, value, ms, fault, drop);
  ++outside_faults_;
  control_->struck[static_cast<int>(fault)].fetch_add(1);
}

// The seconds since the run's start, for the lines that say what the run
// did to the lock's server.
double Run::At() const { return double(JX_MonotonicNanos() - start_) / 1e9; }

// The calls in progress of the worker in `slot` did not go on for `nanos`
// (their worker, its connections or the server stood still): they count as
// begun that much later, so that no such wait is taken for a hang. A call
// that ended meanwhile is left alone.
void Run::ShiftCalls(std::size_t slot, std::uint64_t nanos) {
  for (int place = 0; place < options_.threads; ++place) {
    std::uint64_t since = control_->calls[slot][place].since.load();
    std::uint64_t& hung = slots_[slot].hung_since[place];
    if (since != 0 &&
        control_->calls[slot][place].since.compare_exchange_strong(
            since, since + nanos) &&
        hung == since) {
      hung = since + nanos;
    }
  }
}

// The server stands still; the main loop continues it at its time
// (Continue), and strikes nothing else of the site before.
void Run::PauseServer(std::uint64_t nanos) {
  std::string error;
  const pid_t pid = server_->Pause(&error);
  if (pid == -1) {
    std::printf("%.3f s: server-pause: the server could not be paused: %s\n",
                At(), error.c_str());
    return;
  }
  // Recorded once it stands still: the record's moment is the pause's.
  RecordStrike(ChaosFault::kServerPause, std::uint64_t(pid),
               std::uint32_t(nanos / kMillis));
  server_paused_at_ = JX_MonotonicNanos();
  schedule_.Set(Duty::kContinue, server_paused_at_ + nanos);
  std::printf("%.3f s: server-pause: server %d stopped for %llu ms\n", At(),
              int(pid), (unsigned long long)(nanos / kMillis));
}

// Under cut-off: a proxy per slot between its workers and the server, on a
// Unix socket of the server's file name in a folder of the slot's (a
// PostgreSQL client names the socket by its folder and port) or on a free
// loopback port. Returns false with the cause on standard error.
bool Run::StartProxies() {
  if (!Has(options_.faults, ChaosFault::kCutOff)) return true;
  const char* target = std::getenv(kServerVariable);
  for (std::size_t slot = 0; target != nullptr && slot < slots_.size();
       ++slot) {
    std::string listen = "127.0.0.1:0";
    const std::string_view server = target;
    if (server.starts_with("unix:")) {
      const std::string folder = folder_ + "/proxy-" + std::to_string(slot);
      if (mkdir(folder.c_str(), 0700) != 0) {
        std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return false;
      }
      listen = "unix:" + folder + std::string(server.substr(server.rfind('/')));
    }
    std::string error;
    proxies_.push_back(LoopbackProxy::Start(target, listen, &error));
    if (proxies_.back() == nullptr) {
      std::fprintf(stderr, "wendlemoor-chaos: the proxy to %s: %s\n", target,
                   error.c_str());
      return false;
    }
  }
  if (target == nullptr) {
    std::fprintf(stderr, "wendlemoor-chaos: cut-off: %s names no server\n",
                 kServerVariable);
  }
  return target != nullptr;
}

// The slot of `worker`, or slots_.size() when it is none's.
std::size_t Run::SlotOf(pid_t worker) const {
  std::size_t slot = 0;
  while (slot < slots_.size() && slots_[slot].pid != worker) ++slot;
  return slot;
}

// The worker's proxy freezes once one of its threads holds a name (holds
// are short: a millisecond between looks, a second at most); the main loop
// ends the cut at its time (Continue).
void Run::CutOff(pid_t worker, std::uint64_t nanos, bool drop) {
  const std::size_t slot = SlotOf(worker);
  const std::uint64_t give_up = JX_MonotonicNanos() + kSeconds;
  while (slot < slots_.size() && slots_[slot].pid == worker && !interrupted_ &&
         control_->holding[slot].load() == 0 && JX_MonotonicNanos() < give_up) {
    (void)WaitForSignal(JX_MonotonicNanos() + kMillis);
  }
  if (slot >= slots_.size() || slots_[slot].pid != worker || interrupted_) {
    return;
  }
  proxies_[slot]->Freeze();
  RecordStrike(ChaosFault::kCutOff, std::uint64_t(worker),
               std::uint32_t(nanos / kMillis), drop);
  cut_ = int(slot);
  cut_at_ = JX_MonotonicNanos();
  cut_drop_ = drop;
  schedule_.Set(Duty::kContinue, cut_at_ + nanos);
  std::printf("%.3f s: cut-off: worker %d (%s) cut off for %llu ms, then %s\n",
              At(), int(worker),
              control_->holding[slot].load() > 0 ? "holding" : "not holding",
              (unsigned long long)(nanos / kMillis),
              drop ? "its connections dropped" : "let go on");
}

// Blocks while the server starts again: the workers go on meanwhile, and
// their calls in progress count as begun after it.
void Run::RestartServer() {
  std::string error;
  const pid_t killed = server_->Pid(&error);
  const std::uint64_t begun = JX_MonotonicNanos();
  RecordStrike(ChaosFault::kServerRestart, std::uint64_t(std::max(killed, 0)),
               0);
  const pid_t pid = server_->Restart(kServerStartMs, &error);
  const std::uint64_t took = JX_MonotonicNanos() - begun;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].pid != -1) ShiftCalls(i, took);
  }
  if (pid == -1) {
    std::printf(
        "%.3f s: server-restart: server %d killed, not started again: "
        "%s\n",
        At(), int(killed), error.c_str());
    return;
  }
  std::printf(
      "%.3f s: server-restart: server %d killed, %d answers after "
      "%llu ms\n",
      At(), int(killed), int(pid), (unsigned long long)(took / kMillis));
}

std::vector<pid_t> Run::Workers() const {
  std::vector<pid_t> live;
  for (const Slot& s : slots_) {
    if (s.pid != -1) live.push_back(s.pid);
  }
  return live;
}

void Run::StopWorker(pid_t worker, std::uint64_t nanos) {
  stopped_ = worker;
  kill(-worker, SIGSTOP);
  stopped_at_ = JX_MonotonicNanos();
  schedule_.Set(Duty::kContinue, JX_MonotonicNanos() + nanos);
}

// A lease runs out while its holder is stopped: the stop must land inside a
// hold. The worker is stopped once one of its threads holds a name; once the
// stop has landed (every thread stopped, the counts still), a hold that
// ended meanwhile makes the run continue it and wait for the next. After a
// second without one, it is stopped wherever it is.
void Run::StopWorkerHolding(pid_t worker, std::uint64_t nanos) {
  std::size_t slot = 0;
  while (slot < slots_.size() && slots_[slot].pid != worker) ++slot;
  const std::uint64_t give_up = JX_MonotonicNanos() + kSeconds;
  auto alive = [&] {
    return !interrupted_ && slots_[slot].pid == worker &&
           JX_MonotonicNanos() < give_up;
  };
  while (slot < slots_.size() && alive()) {
    if (control_->holding[slot].load() == 0) {
      // Holds are short and frequent: a millisecond between looks.
      (void)WaitForSignal(JX_MonotonicNanos() + kMillis);
      continue;
    }
    if (kill(-worker, SIGSTOP) != 0) return;
    // The stop has landed when the kernel reports the worker stopped
    // (WNOWAIT leaves the report, which Reap never asks for); SIGCHLD
    // wakes the wait when it does.
    bool landed = false;
    while (!landed && alive()) {
      siginfo_t info{};
      landed = waitid(P_PID, id_t(worker), &info,
                      WSTOPPED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == worker;
      if (!landed) (void)WaitForSignal(JX_MonotonicNanos() + kMillis);
    }
    if (landed && control_->holding[slot].load() > 0) {
      stopped_ = worker;
      stopped_at_ = JX_MonotonicNanos();
      schedule_.Set(Duty::kContinue, stopped_at_ + nanos);
      return;
    }
    (void)kill(-worker, SIGCONT);
  }
  if (slot < slots_.size() && slots_[slot].pid == worker && !interrupted_) {
    StopWorker(worker, nanos);
  }
}

// Sets when `duty` comes round again, on its site's schedule.
void Run::Again(Duty duty, FaultSite site) {
  const FaultSchedule* schedule = SiteSchedule(site, options_.faults);
  schedule_.Set(
      duty,
      JX_MonotonicNanos() +
          (schedule->every_ms + random_.Below(schedule->spread_ms)) * kMillis);
}

// A turn of the classes that strike one worker from outside; the main loop
// waits for a stopped worker to go on before the next.
void Run::StrikeWorker() {
  Again(Duty::kStrikeWorker, FaultSite::kWorker);
  DrawFault(FaultSite::kWorker, options_.faults, random_)->on_run(*this);
}

void Run::Continue() {
  const std::uint64_t now = JX_MonotonicNanos();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    // A stopped worker's calls did not go on while it was stopped, and
    // none went on while the server stood still.
    if (stopped_ != -1 && slots_[i].pid == stopped_) {
      ShiftCalls(i, now - stopped_at_);
    }
    if (server_paused_at_ != 0 && slots_[i].pid != -1) {
      ShiftCalls(i, now - server_paused_at_);
    }
    if (cut_ == int(i) && slots_[i].pid != -1) ShiftCalls(i, now - cut_at_);
  }
  if (cut_ != -1) {
    LoopbackProxy& proxy = *proxies_[std::size_t(cut_)];
    if (cut_drop_) proxy.Drop();
    proxy.Thaw();
    std::printf("%.3f s: cut-off: worker %d's connections %s\n", At(),
                int(slots_[std::size_t(cut_)].pid),
                cut_drop_ ? "dropped" : "go on");
    cut_ = -1;
  }
  if (stopped_ != -1) kill(-stopped_, SIGCONT);
  stopped_ = -1;
  if (server_paused_at_ != 0) {
    server_->Resume();
    server_paused_at_ = 0;
    std::printf("%.3f s: server-pause: the server goes on\n", At());
  }
  schedule_.Clear(Duty::kContinue);
}

// A turn of the classes that strike while nobody holds a name or is taking
// one: the removals of a cleaner that ignores the folder's lock.
void Run::StrikeBetweenHolds() {
  Again(Duty::kStrikeBetweenHolds, FaultSite::kBetweenHolds);
  if (CloseGate()) {
    DrawFault(FaultSite::kBetweenHolds, options_.faults, random_)
        ->on_run(*this);
  }
  gate_closed_ = 0;
  OpenGate(control_);
}

// Closes the gate and waits for the holds in progress to end. Returns true
// once none is held or being taken, false when that did not come within
// kQuietNanos or the run was interrupted; the gate stays closed either way.
bool Run::CloseGate() {
  if (stopped_ != -1) Continue();
  gate_closed_ = JX_MonotonicNanos();
  control_->gate.store(1);
  const std::uint64_t give_up = gate_closed_ + kQuietNanos;
  bool quiet = false;
  while (!quiet && !interrupted_ && JX_MonotonicNanos() < give_up) {
    quiet = true;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      quiet = quiet && control_->busy[i].load() == 0;
    }
    // Holds are short: a millisecond between looks costs nothing, and a
    // worker that dies inside a hold meanwhile is reaped at once.
    if (!quiet) (void)WaitForSignal(JX_MonotonicNanos() + kMillis);
  }
  return quiet;
}

void Run::RenewIdleWorker() {
  if (CloseGate()) RenewWorker();
  gate_closed_ = 0;
  OpenGate(control_);
}

// Programs come and go while a cleaner removes files: one worker, holding
// nothing while the gate is closed, is ended and replaced, and the new one
// opens every name afresh, on the new files, beside workers that kept the
// old ones open. A lock that keeps what it opened without looking again then
// has two holders.
void Run::RenewWorker() {
  const std::vector<pid_t> live = Workers();
  if (live.empty() || JX_MonotonicNanos() + 200 * kMillis >= deadline_) return;
  const pid_t pid = live[random_.Below(live.size())];
  Record(ChaosEvent::kWorkerRenewed, std::uint64_t(pid));
  Kill(pid);
}

void Run::Progress(bool last) {
  if (!terminal_) return;
  if (last) {
    std::fputs("\r\x1b[K", stderr);
    return;
  }
  schedule_.Set(Duty::kProgress, JX_MonotonicNanos() + kSeconds);
  std::fprintf(stderr, "\r%3llu/%d s  holds %llu  faults %llu\x1b[K",
               (unsigned long long)((JX_MonotonicNanos() - start_) / kSeconds),
               options_.seconds, (unsigned long long)control_->holds.load(),
               (unsigned long long)(control_->faults.load() + outside_faults_));
}

// Whether every class injected has struck as often as asked, or for a run
// without faults whether its workers made as many holds; never when no
// strikes were asked. The counts are live: the workers count their strikes
// and holds on the control page as they make them.
bool Run::StruckEnough() const {
  if (options_.strikes == 0) return false;
  if (options_.faults == 0) return control_->holds.load() >= options_.strikes;
  for (const FaultClass& c : FaultTable()) {
    if (Has(options_.faults, c.fault) &&
        control_->struck[static_cast<int>(c.fault)].load() < options_.strikes) {
      return false;
    }
  }
  return true;
}

// Whether a turn of a run-side site (`duty`) is to strike now: it is due,
// no worker is stopped (a stop's turn waits for the stopped worker to go
// on), and the workers made kHoldsPerTurn holds each on average since the
// last turn.
// Otherwise a quick schedule would strike workers that did nothing since:
// those of a slow lock, renewed or stopped again before they took a name.
// A turn that must wait is looked at again kTurnLookNanos later.
bool Run::TurnReady(Duty duty, std::uint64_t now) {
  if (!schedule_.Due(duty, now)) return false;
  const std::uint64_t holds = control_->holds.load();
  const bool stopped = duty == Duty::kStrikeWorker &&
                       (stopped_ != -1 || server_paused_at_ != 0 || cut_ != -1);
  if (!stopped &&
      holds >=
          holds_at_turn_ + kHoldsPerTurn * std::uint64_t(options_.processes)) {
    holds_at_turn_ = holds;
    return true;
  }
  schedule_.Set(duty, now + kTurnLookNanos);
  return false;
}

// Ends the run now rather than at its time: the workers stop taking names
// as at their deadline, and no worker is replaced or renewed after this.
void Run::EndEarly() {
  const std::uint64_t now = JX_MonotonicNanos();
  Record(ChaosEvent::kEndedEarly, now);
  control_->ended.store(1);
  deadline_ = now;
}

// Records the calls that have hung in every worker but a stopped one, whose
// calls do not go on. The next look comes when a call seen going on reaches
// the bound, or after kHangLookNanos, for calls begun since.
void Run::LookForHangs() {
  std::uint64_t next = JX_MonotonicNanos() + kHangLookNanos;
  for (std::size_t i = 0; i < slots_.size() && server_paused_at_ == 0; ++i) {
    if (slots_[i].pid != -1 && slots_[i].pid != stopped_ && cut_ != int(i)) {
      next = std::min(next, RecordHungCalls(i, false));
    }
  }
  schedule_.Set(Duty::kHangs, next);
}

// Records, once each, the calls of the worker in `slot` that hang: those
// that must not wait and have gone on for the hang bound, or with `every`,
// every call still going on. Returns when the first of the others that must
// not wait will have gone on for the bound (Schedule::kNever for none).
std::uint64_t Run::RecordHungCalls(std::size_t slot, bool every) {
  const std::uint64_t now = JX_MonotonicNanos();
  std::uint64_t due = Schedule::kNever;
  Slot& s = slots_[slot];
  for (int place = 0; place < options_.threads; ++place) {
    ChaosCallSlot& call = control_->calls[slot][place];
    const std::uint64_t since = call.since.load();
    if (since == 0 || since > now || since == s.hung_since[place]) continue;
    ChaosRecord record{};
    record.event = ChaosEvent::kCallHung;
    record.value = std::uint64_t(s.pid);
    record.thread = call.thread.load();
    record.call = call.call.load();
    record.name = call.name.load();
    record.code = std::uint32_t((now - since) / kMillis);
    // The fields are those of the call begun at `since` if it still goes on.
    if (call.since.load() != since) continue;
    const bool waits =
        record.call == static_cast<std::uint16_t>(ChaosCall::kAcquireWait);
    if (!every && !waits && now - since < kHangNanos) {
      due = std::min(due, since + kHangNanos);
    }
    if (!every && (waits || now - since < kHangNanos)) continue;
    s.hung_since[place] = since;
    if (!RecordEvent(history_, record)) {
      std::fprintf(stderr, "wendlemoor-chaos: history: %s\n",
                   std::strerror(errno));
    }
  }
  return due;
}

// After the end: every worker ends on its own, or counts as hung. Hung
// calls are still looked for meanwhile.
void Run::Finish() {
  Continue();
  OpenGate(control_);
  for (Duty duty :
       {Duty::kStrikeWorker, Duty::kStrikeBetweenHolds, Duty::kProgress}) {
    schedule_.Clear(duty);
  }
  const std::uint64_t give_up =
      JX_MonotonicNanos() +
      std::max(kFinishNanos, UnusableBoundNanos(options_.lease_ms));
  for (;;) {
    Reap(false);
    bool any = false;
    for (const Slot& s : slots_) any = any || s.pid != -1;
    if (!any) return;
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= give_up) break;
    if (schedule_.Due(Duty::kHangs, now)) LookForHangs();
    if (!WaitForSignal(schedule_.Next(give_up))) return;
  }
  RecordStuck();
  KillAll(false);
}

// Stops the workers that have not ended and records every call of theirs
// still going on (the call each thread hangs in), then each as stuck.
void Run::RecordStuck() {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].pid == -1) continue;
    kill(-slots_[i].pid, SIGSTOP);
    RecordHungCalls(i, true);
    Record(ChaosEvent::kWorkerStuck, std::uint64_t(slots_[i].pid));
  }
}

// Ends every worker. They are all stopped first and only then recorded as
// ended: a worker killed while the others ran would free its names to them
// before the record said its holds had ended. When `interrupted`, that record
// ends every hold still open.
//
// A worker that never reports the stop (its threads held in a tracer's
// stop, as a sanitizer's leak check at exit holds them) is given
// kStopLandNanos, then killed all the same: the run must end.
void Run::KillAll(bool interrupted) {
  for (Slot& s : slots_) {
    if (s.pid != -1) kill(-s.pid, SIGSTOP);
  }
  const std::uint64_t give_up = JX_MonotonicNanos() + kStopLandNanos;
  for (Slot& s : slots_) {
    int status = 0;
    pid_t waited = 0;
    while (s.pid != -1 && waited == 0) {
      waited = RetryOnEintr(
          [&] { return waitpid(s.pid, &status, WUNTRACED | WNOHANG); });
      if (waited == 0 && JX_MonotonicNanos() >= give_up) break;
      if (waited == 0) (void)poll(nullptr, 0, kStopLookMs);
    }
    if (waited == s.pid && !WIFSTOPPED(status)) {
      Record(ChaosEvent::kWorkerExit, std::uint64_t(s.pid),
             std::uint32_t(JX_ExitCodeFromStatus(status)));
      s.pid = -1;
    }
  }
  if (interrupted) Record(ChaosEvent::kInterrupted);
  for (Slot& s : slots_) {
    if (s.pid == -1) continue;
    Kill(s.pid);
    int status = 0;
    if (RetryOnEintr([&] { return waitpid(s.pid, &status, 0); }) == s.pid) {
      Record(ChaosEvent::kWorkerExit, std::uint64_t(s.pid),
             std::uint32_t(JX_ExitCodeFromStatus(status)));
    }
    s.pid = -1;
  }
}

// The children of process `parent`, read from /proc (empty when it cannot
// be read): what a subreaper adopted is its child there too.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const ProcEntry& process : ProcessTable()) {
    if (process.ppid == parent) children.push_back(process.pid);
  }
  return children;
}

// Once every worker has ended: kills and reaps every child the run adopted
// (PR_SET_CHILD_SUBREAPER in Prepare), and then what those leave in turn,
// until the run has no child left. A normal end finds none (an orphan ends
// before the workers' deadline); an interrupted run ends its orphans here.
void Run::EndAdopted() {
  for (std::vector<pid_t> left = ChildrenOf(getpid()); !left.empty();
       left = ChildrenOf(getpid())) {
    // A child of ours is never reaped by anyone else, so its ID stays its
    // own until the waitpid below.
    for (const pid_t pid : left) (void)kill(pid, SIGKILL);
    for (const pid_t pid : left) {
      int status = 0;
      if (RetryOnEintr([&] { return waitpid(pid, &status, 0); }) == -1 &&
          errno == ECHILD) {
        return;  // reaped after all, or /proc said what is not so
      }
    }
  }
}

// The user and system CPU time this process has used so far, in seconds, or
// -1 when it cannot be read.
double OwnCpuSeconds() {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1;
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The run's one-line description: its shape, faults and seed.
std::string Description(const ChaosOptions& options) {
  char run[512];
  std::snprintf(run, sizeof run,
                "%d s, %d processes x %d threads, %d names, faults %s, "
                "seed %llu",
                options.seconds, options.processes, options.threads,
                options.names, FaultNames(options.faults).c_str(),
                (unsigned long long)options.seed);
  if (options.strikes == 0) return run;
  return std::string(run) + ", until " + std::to_string(options.strikes) +
         (options.faults == 0 ? " holds" : " strikes a class");
}

// Writes `text` to `path` unless it is empty. Returns false, with one line
// on standard error, when it could not.
bool WriteReport(const std::string& path, const std::string& text) {
  if (path.empty() || WriteTextFile(path, text)) return true;
  std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", path.c_str(),
               std::strerror(errno));
  return false;
}

// Prints the first `shown` findings and how many more there are.
void PrintFindings(const std::vector<std::string>& findings,
                   std::size_t shown) {
  for (std::size_t i = 0; i < findings.size() && i < shown; ++i) {
    std::printf("found: %s\n", findings[i].c_str());
  }
  if (findings.size() > shown) {
    std::printf(
        "%zu more findings (--findings N prints more, --json lists all)\n",
        findings.size() - shown);
  }
}

// Judges `history`, prints the figures and the verdict, and writes the files
// that `options` asks for; `run` describes the run and `cpu`, when not
// negative, what its own process cost. Returns 0 for a clean history, 1 for
// a broken one, 2 when a file could not be written.
int Judge(const std::vector<ChaosRecord>& history, const ChaosOptions& options,
          const std::string& run, double cpu,
          const std::string& lock_folder = "") {
  const std::string lock = options.lock.empty() ? "not named" : options.lock;
  bool written = true;
  if (!options.history.empty() &&
      !WriteHistoryFile(options.history,
                        {options.names, options.faults, options.seconds,
                         options.seed, run, options.lock, options.lease_ms},
                        history)) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", options.history.c_str(),
                 std::strerror(errno));
    written = false;
  }
  const ChaosCheck check =
      CheckHistory(history, std::size_t(options.names),
                   UnusableBoundNanos(options.lease_ms), lock_folder);
  std::printf("wendlemoor-chaos: %s\nlock: %s\n", run.c_str(), lock.c_str());
  std::fputs(FiguresText(check.figures).c_str(), stdout);
  std::fputs(AnswersText(check).c_str(), stdout);
  if (cpu >= 0) {
    std::printf("run CPU: %.2f s (its own process, until its workers ended)\n",
                cpu);
  }
  PrintFindings(check.verdict.examples, options.findings);
  const std::string verdict = VerdictLine(check.verdict);
  if (!options.timeline.empty()) {
    written = WriteReport(options.timeline,
                          TimelineSvg(check, history, options.names,
                                      "wendlemoor-chaos " + verdict, run)) &&
              written;
  }
  std::printf("%s\n", verdict.c_str());
  std::fflush(stdout);
  if (!options.result.empty()) {
    JsonFields fields = {
        {"run", JsonString(run)},
        {"lock", JsonString(lock)},
        // A string: a seed may exceed what a double holds exactly.
        {"seed", JsonString(std::to_string(options.seed))}};
    for (auto& field : CheckJsonFields(check, options.seconds)) {
      fields.push_back(std::move(field));
    }
    written = WriteReport(options.result, JsonObject(fields)) && written;
  }
  if (!options.junit.empty()) {
    JunitSuite suite;
    suite.name = "wendlemoor-chaos";
    suite.seconds = double(check.figures.end - check.figures.start) / 1e9;
    suite.properties = {{"run", run},
                        {"lock", lock},
                        {"seed", std::to_string(options.seed)},
                        {"verdict", verdict}};
    suite.cases = RunJunitCases(check, options.faults, options.findings);
    written = WriteReport(options.junit, JunitXml({suite})) && written;
  }
  if (!written) return 2;
  return check.verdict.clean() ? 0 : 1;
}

int Run::Report() {
  // Before the check: what the run cost while its workers ran, which is CPU
  // the workers did not get.
  const double cpu = OwnCpuSeconds();
  Progress(true);
  std::vector<ChaosRecord> history;
  if (!ReadHistory(folder_ + "/history", &history)) {
    std::fprintf(stderr, "wendlemoor-chaos: reading the history: %s\n",
                 std::strerror(errno));
  }
  const int status =
      Judge(history, options_, Description(options_), cpu, folder_ + "/locks");
  return interrupted_ ? 130 : status;
}

int Run::Main() {
  if (!Prepare()) {
    if (own_folder_) (void)RemoveTree(folder_);
    return 1;
  }
  terminal_ = isatty(STDERR_FILENO) == 1;
  start_ = JX_MonotonicNanos();
  deadline_ = start_ + std::uint64_t(options_.seconds) * kSeconds;
  Record(ChaosEvent::kRunStart, deadline_);
  slots_.resize(std::size_t(options_.processes));
  bool started = StartProxies();
  for (int i = 0; i < options_.processes && started; ++i) started = Spawn(i);
  for (const auto& [duty, site] :
       {std::pair(Duty::kStrikeWorker, FaultSite::kWorker),
        std::pair(Duty::kStrikeBetweenHolds, FaultSite::kBetweenHolds)}) {
    if (const FaultSchedule* schedule = SiteSchedule(site, options_.faults)) {
      schedule_.Set(duty, start_ + schedule->first_ms * kMillis);
    }
  }
  // The progress line is for a person at a terminal. Without one it is never
  // due, or the loop would find it due at every turn and never sleep.
  if (terminal_) schedule_.Set(Duty::kProgress, start_);
  schedule_.Set(Duty::kHangs, start_ + kHangLookNanos);
  while (started) {
    const std::uint64_t now = JX_MonotonicNanos();
    if (now >= deadline_) break;
    // Looked at whenever the loop wakes, at least every kHangLookNanos.
    if (StruckEnough()) {
      EndEarly();
      break;
    }
    if (schedule_.Due(Duty::kContinue, now)) Continue();
    if (TurnReady(Duty::kStrikeWorker, now)) StrikeWorker();
    if (TurnReady(Duty::kStrikeBetweenHolds, now)) StrikeBetweenHolds();
    if (schedule_.Due(Duty::kHangs, now)) LookForHangs();
    if (schedule_.Due(Duty::kProgress, now)) Progress(false);
    if (!WaitForSignal(schedule_.Next(deadline_))) break;
  }
  if (interrupted_ || !started) {
    KillAll(true);
  } else {
    Finish();
    if (interrupted_) KillAll(true);
  }
  EndAdopted();
  Record(ChaosEvent::kRunEnd);
  close(history_);  // never retried (runtime/eintr.h)
  close(signals_);
  if (options_.cleanup) options_.cleanup(folder_ + "/locks");
  const int status = started ? Report() : 1;
  if (own_folder_) (void)RemoveTree(folder_);
  return status;
}

}  // namespace

int RunChaos(const ChaosOptions& given,
             const std::vector<std::string>& worker_command) {
  ChaosOptions options = given;
  // What is made outside the folder can be removed only by the lock's own
  // cleanup, and only a server the run (or its card) started itself is
  // there to pause and restart: without them, such classes do not apply.
  const char* channel = std::getenv(kServerChannelVariable);
  const bool has_server = channel != nullptr && *channel != '\0';
  const FaultSet outside = options.faults & FaultsOutsideFolder();
  const FaultSet served = options.faults & FaultsNeedingServer();
  const FaultSet inapplicable =
      (options.cleanup ? 0 : outside) | (has_server ? 0 : served);
  if (inapplicable != 0 && !options.faults_named) {
    options.faults &= ~inapplicable;
  } else if (inapplicable != 0) {
    const std::string names = FaultNames(inapplicable, ",");
    std::fprintf(stderr, "wendlemoor-chaos: %s does not apply: %s\n",
                 names.c_str(),
                 (inapplicable & outside) != 0
                     ? "the lock makes nothing outside its folder (it has no "
                       "cleanup)"
                     : "the lock has no server that the run started itself "
                       "(chaos/server.h)");
    if (!options.result.empty()) {
      (void)WriteReport(options.result,
                        JsonObject({{"not_applicable", JsonString(names)}}));
    }
    return kChaosNotApplicable;
  }
  if (!options.seed_given)
    options.seed = JX_MonotonicNanos() ^ (getpid() * 0x9E37u);
  Run run(options, worker_command);
  if ((options.faults & FaultsNeedingServer()) != 0) {
    run.UseServer(channel);
  }
  return run.Main();
}

int CheckChaosHistory(const ChaosOptions& given) {
  ChaosHistoryHeader header;
  std::vector<ChaosRecord> history;
  std::string error;
  if (!ReadHistoryFile(given.check, &header, &history, &error)) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", given.check.c_str(),
                 error.c_str());
    return 2;
  }
  ChaosOptions options = given;
  options.names = header.names;
  options.faults = header.faults;
  options.seconds = header.seconds;
  options.seed = header.seed;
  options.lock = header.lock;
  options.lease_ms = header.lease_ms;
  options.history.clear();  // the file judged is kept as it is
  std::printf("wendlemoor-chaos: judging %s again\n", given.check.c_str());
  return Judge(history, options, header.run, -1);
}

}  // namespace wendlemoor
