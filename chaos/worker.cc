// A worker process of the chaos run: its threads take names at random and
// inject the faults that strike from inside a holder.
#include "chaos/worker.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "chaos/control.h"
#include "chaos/fault.h"
#include "chaos/history.h"
#include "components/interface.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"
#include "runtime/thread.h"

namespace wendlemoor {

namespace {

constexpr std::uint32_t kHoldMaxMicros = 2000;
constexpr std::uint32_t kPauseMaxMicros = 500;
constexpr std::uint64_t kGateWaitNanos = 100000000;
// How long the child of fork-take waits for a busy name before it ends
// without it, and how long past its hold it may take to give it back.
constexpr std::uint64_t kForkTakeWaitMicros = 200000;
constexpr std::uint64_t kForkTakeReleaseMicros = 2000000;
// An orphan ends this long before the workers stop at the latest, so that
// its last record lies inside the run.
constexpr std::uint64_t kOrphanEndMarginNanos = 100000000;
// How long a spawned child lives: a module's worker starts /bin/sleep for
// kSpawnSeconds; an adapter's child lives 1 to 2 s
// (docs/adapter-protocol.md).
constexpr char kSpawnSeconds[] = "1.5";
constexpr std::uint64_t kSpawnLifeNanos = 1500000000;
constexpr std::uint64_t kAdapterSpawnLifeNanos = 2000000000;

struct Worker {
  ChaosControl* control = nullptr;
  int history = -1;
  int slot = 0;
  std::uint64_t seed = 0;
  int threads = 0;
  int names = 0;
  FaultSet faults = 0;
  std::uint64_t deadline = 0;
  std::vector<std::string> lock_names;
  std::string locks;  // the lock folder
  // The second only when an enabled class asks for it.
  InterfacePtr<LockService> instances[2];
  int instance_count = 1;

  // Shared by every record, taken alone by a thread about to kill the
  // process.
  std::shared_mutex records;
  bool forked_child = false;  // set in the child of a fork only

  // Children of the spawn fault not yet reaped (Mutex rules: `spawn_mutex`
  // guards `spawned`).
  std::mutex spawn_mutex;
  std::vector<JX_Process> spawned;

  // Threads that have ended, to be joined (Mutex rules: `mutex` guards
  // `ended` and `running`).
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<struct ThreadState*> ended;
  int running = 0;
};

struct ThreadState {
  Worker* worker;
  std::uint32_t number;
  int place;  // among the worker's threads: its call slot
  JX_Thread handle = nullptr;
  bool ended_holding = false;
};

// Says, in the thread's call slot, which call it is inside while the object
// lives (chaos/control.h): a call that never returns is found there.
class InCall {
 public:
  InCall(Worker* w, const ThreadState* t, ChaosCall call, int name)
      : slot_(w->control->calls[w->slot][t->place]) {
    slot_.thread.store(t->number);
    slot_.call.store(static_cast<std::uint16_t>(call));
    slot_.name.store(static_cast<std::uint16_t>(name));
    slot_.since.store(JX_MonotonicNanos());
  }
  ~InCall() { slot_.since.store(0); }
  InCall(const InCall&) = delete;
  InCall& operator=(const InCall&) = delete;

 private:
  ChaosCallSlot& slot_;
};

// The worker of this process, for GiveUpChaosWorker.
Worker* gWorker = nullptr;
ChaosForkHook gForkHook = nullptr;
ChaosOpenCloseHook gOpenCloseHook = nullptr;
ChaosSpawnHook gSpawnHook = nullptr;
ChaosTokenHook gTokenHook = nullptr;

// Kills the worker with its process group, which it leads when the run
// started it (chaos/run.h); a worker started otherwise kills only itself.
void KillWorker() { kill(getpgrp() == getpid() ? 0 : getpid(), SIGKILL); }

ChaosRecord MakeRecord(std::uint32_t thread, ChaosEvent event, int name,
                       std::uint16_t call = 0, std::uint32_t code = 0,
                       std::uint64_t value = 0, bool wait = false) {
  ChaosRecord record{};
  record.event = event;
  record.thread = thread;
  record.name = static_cast<std::uint16_t>(name);
  record.call = call;
  record.code = code;
  record.value = value;
  record.wait = wait ? 1 : 0;
  return record;
}

void Record(Worker* w, std::uint32_t thread, ChaosEvent event, int name,
            std::uint16_t call = 0, std::uint32_t code = 0,
            std::uint64_t value = 0, bool wait = false) {
  const ChaosRecord record =
      MakeRecord(thread, event, name, call, code, value, wait);
  // A record that cannot be written leaves a hole in the history; the
  // checker then finds a hold that never ended or none at all, never a false
  // overlap. The forked child is alone in its process and must not touch a
  // lock that another thread may have held at the fork.
  if (w->forked_child) {
    (void)RecordEvent(w->history, record);
    return;
  }
  std::shared_lock<std::shared_mutex> lock(w->records);
  (void)RecordEvent(w->history, record);
}

void RecordCall(Worker* w, std::uint32_t thread, int name, ChaosCall call,
                ResultCode code) {
  Record(w, thread, ChaosEvent::kCall, name, static_cast<std::uint16_t>(call),
         code);
}

// Waits until the forked `child` has ended. A child reported stopped is
// continued: when the run stops this worker's group and continues it while
// a thread of the worker is inside fork, the child can be born with the stop
// and miss the continue, and would stay stopped at its first instruction
// while this thread waits on it holding a name. Were the stop the run's own,
// still under way, the child only goes on a moment before the rest of the
// group does.
void WaitForForkedChild(pid_t child) {
  for (;;) {
    int status = 0;
    if (RetryOnEintr([&] { return waitpid(child, &status, WUNTRACED); }) !=
            child ||
        !WIFSTOPPED(status)) {
      return;
    }
    (void)kill(child, SIGCONT);
  }
}

// The child of a fork while holding `name`, of the worker `parent`: it must
// find the name neither its own nor free. Only async-signal-safe work besides
// the two calls, whose service makes them safe after fork.
[[noreturn]] void ForkedChild(Worker* w, pid_t parent, std::uint32_t thread,
                              int name, LockService* service) {
  w->forked_child = true;
  // A lock may hang this child in its calls: it dies with the worker, which
  // the run kills when it hangs too.
  if (JX_DieWithParent(parent) != JX_SUCCESS) _exit(0);
  const char* lock = w->lock_names[name].c_str();
  RecordCall(w, thread, name, ChaosCall::kForkedRelease,
             service->ReleaseLock(lock));
  const ResultCode code = service->AcquireLock(lock, 0);
  RecordCall(w, thread, name, ChaosCall::kForkedAcquire, code);
  if (code == kOk) (void)service->ReleaseLock(lock);
  _exit(0);
}

// Ends this process by the signal SIGALRM after `micros`, or cancels that
// when `micros` is 0: the bound a forked child puts on calls of a lock that
// may never return. Async-signal-safe.
void DieAfter(std::uint64_t micros) {
  struct itimerval timer = {};
  timer.it_value.tv_sec = time_t(micros / 1000000);
  timer.it_value.tv_usec = suseconds_t(micros % 1000000);
  (void)setitimer(ITIMER_REAL, &timer, nullptr);
}

// The child of fork-take, of the worker `parent`: alone in its process, it
// takes `name`, which the forking thread does not hold (another thread of
// the parent may), as any program's child would, and records the hold as
// its own process's. Only async-signal-safe work besides the lock's calls,
// whose service makes them safe after fork.
[[noreturn]] void TakingChild(Worker* w, pid_t parent, std::uint32_t thread,
                              int name, LockService* service,
                              std::uint64_t hold_nanos) {
  w->forked_child = true;
  // A child of a parent gone would hold the name for nobody: it dies with
  // the parent, whose holds the checker ends with its own (kForkedChild).
  if (JX_DieWithParent(parent) != JX_SUCCESS) _exit(0);
  Record(w, thread, ChaosEvent::kForkedChild, name, 0, 0,
         std::uint64_t(parent));
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  if (signal(SIGALRM, SIG_DFL) == SIG_ERR ||
      sigprocmask(SIG_UNBLOCK, &alarm, nullptr) != 0) {
    _exit(0);
  }
  const char* lock = w->lock_names[name].c_str();
  const std::uint64_t asked = JX_MonotonicNanos();
  ResultCode code = service->AcquireLock(lock, 0);
  bool wait = false;
  if (code == kErrorLockBusy) {
    RecordCall(w, thread, name, ChaosCall::kAcquireNoWait, code);
    // Waiting briefly: a child still waiting then dies, holding nothing.
    DieAfter(kForkTakeWaitMicros);
    wait = true;
    code = service->AcquireLock(lock, 1);
    DieAfter(0);
  }
  if (code != kOk) {
    RecordCall(w, thread, name,
               wait ? ChaosCall::kAcquireWait : ChaosCall::kAcquireNoWait,
               code);
    _exit(0);
  }
  Record(w, thread, ChaosEvent::kHoldStart, name, 0, 0,
         JX_MonotonicNanos() - asked, wait);
  DieAfter(hold_nanos / 1000 + kForkTakeReleaseMicros);
  JX_Sleep(static_cast<JX_Interval>(hold_nanos / 1000));
  Record(w, thread, ChaosEvent::kHoldEnd, name);
  RecordCall(w, thread, name, ChaosCall::kRelease, service->ReleaseLock(lock));
  _exit(0);
}

// The child of a holder that the orphan fault kills: it leaves the
// worker's process group, which the run kills once it has reaped the
// worker, lives on alone without touching the lock, records its end and
// ends. It ends by itself before the workers stop, so it never outlives
// the run by more than a moment. Async-signal-safe.
[[noreturn]] void OrphanChild(Worker* w, pid_t parent, std::uint32_t thread,
                              int name, std::uint64_t life_nanos) {
  w->forked_child = true;
  (void)setpgid(0, 0);  // the parent does it too; either may come first
  const std::uint64_t now = JX_MonotonicNanos();
  const std::uint64_t last = w->deadline > kOrphanEndMarginNanos
                                 ? w->deadline - kOrphanEndMarginNanos
                                 : 0;
  const std::uint64_t until = std::min(now + life_nanos, last);
  if (until > now) JX_Sleep(static_cast<JX_Interval>((until - now) / 1000));
  Record(w, thread, ChaosEvent::kOrphanEnd, name, 0, 0, std::uint64_t(parent));
  _exit(0);
}

// Opens, reads a little of and closes every regular file of the lock
// folder, on a thread of its own. A file that goes meanwhile, or that
// cannot be opened, is passed over: the strike is what a backup does,
// not a check.
void OpenCloseMain(void* argument) {
  const auto* folder = static_cast<const std::string*>(argument);
  DIR* dir = opendir(folder->c_str());
  if (dir == nullptr) return;
  while (const struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = openat(dirfd(dir), entry->d_name,
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd == -1) continue;
    struct stat st;
    char bytes[64];
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      (void)RetryOnEintr([&] { return read(fd, bytes, sizeof bytes); });
    }
    close(fd);  // never retried (runtime/eintr.h)
  }
  closedir(dir);
}

// One thread holding one name, as the fault table's strikes see it
// (chaos/fault.h): they act on the name through this.
class HoldingThread final : public FaultWorkerSide {
 public:
  HoldingThread(Worker* w, ThreadState* t, int name, int instance,
                ChaosRandom& random)
      : w_(w), t_(t), name_(name), instance_(instance), random_(random) {}

  void RecordFault(ChaosFault fault) override {
    w_->control->faults.fetch_add(1);
    w_->control->struck[static_cast<int>(fault)].fetch_add(1);
    Record(w_, t_->number, ChaosEvent::kFault, name_,
           static_cast<std::uint16_t>(fault));
  }
  ResultCode Acquire(ChaosCall call, Instance instance, bool wait) override {
    InCall in_call(w_, t_, call, name_);
    return Service(instance)->AcquireLock(Lock(), wait ? 1 : 0);
  }
  ResultCode Release(ChaosCall call, Instance instance) override {
    InCall in_call(w_, t_, call, name_);
    return Service(instance)->ReleaseLock(Lock());
  }
  void RecordCall(ChaosCall call, ResultCode code) override {
    Record(w_, t_->number, ChaosEvent::kCall, name_,
           static_cast<std::uint16_t>(call), code);
  }
  void ForkHolding() override;
  [[noreturn]] void KillHolding(ChaosFault fault) override;
  ChaosRandom& Random() override { return random_; }
  void ForkTaking(std::uint64_t pick, std::uint64_t hold_nanos) override;
  [[noreturn]] void OrphanHolding(ChaosFault fault,
                                  std::uint64_t life_nanos) override;
  void OpenCloseFiles() override;
  void SpawnHolding(ChaosFault fault) override;

 private:
  // Records `fault` as the process's last record: the records' lock is
  // taken for good, so that no other thread records after it.
  void RecordLastFault(ChaosFault fault);
  LockService* Service(Instance instance) const {
    return w_
        ->instances[instance == Instance::kHolding ? instance_ : 1 - instance_]
        .get();
  }
  const char* Lock() const { return w_->lock_names[name_].c_str(); }

  Worker* const w_;
  ThreadState* const t_;
  const int name_;
  const int instance_;
  ChaosRandom& random_;
};

void HoldingThread::ForkHolding() {
  LockService* service = Service(Instance::kHolding);
  if (gForkHook != nullptr) {
    ResultCode release = kOk, acquire = kOk;
    {
      InCall in_call(w_, t_, ChaosCall::kForkedAcquire, name_);
      gForkHook(service, Lock(), &release, &acquire);
    }
    RecordCall(ChaosCall::kForkedRelease, release);
    RecordCall(ChaosCall::kForkedAcquire, acquire);
    return;
  }
  // The child judges this process's hold, which must outlive its calls:
  // a kill by another thread (it takes the records' lock alone) waits
  // until the child has ended. This thread records nothing meanwhile.
  std::shared_lock<std::shared_mutex> no_kill(w_->records);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) ForkedChild(w_, parent, t_->number, name_, service);
  if (child > 0) {
    // The child's calls are this thread's wait.
    InCall in_call(w_, t_, ChaosCall::kForkedAcquire, name_);
    WaitForForkedChild(child);
  }
}

void HoldingThread::ForkTaking(std::uint64_t pick, std::uint64_t hold_nanos) {
  // An adapter's holder lives in another process (its greeting never
  // offers fork-take), and a single name leaves nothing else to take.
  if (gForkHook != nullptr || w_->names < 2) return;
  int other = static_cast<int>(pick % std::uint64_t(w_->names - 1));
  if (other >= name_) ++other;
  LockService* service = Service(Instance::kHolding);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    TakingChild(w_, parent, t_->number, other, service, hold_nanos);
  }
  if (child > 0) {
    // The child bounds its own calls: this wait ends with them.
    InCall in_call(w_, t_, ChaosCall::kAcquireWait, other);
    WaitForForkedChild(child);
  }
}

void HoldingThread::RecordLastFault(ChaosFault fault) {
  // No other thread records anything after it: a hold recorded later
  // would outlive its process in the history.
  w_->records.lock();
  w_->control->faults.fetch_add(1);
  w_->control->struck[static_cast<int>(fault)].fetch_add(1);
  (void)RecordEvent(w_->history,
                    MakeRecord(t_->number, ChaosEvent::kFault, name_,
                               static_cast<std::uint16_t>(fault)));
}

void HoldingThread::OrphanHolding(ChaosFault fault, std::uint64_t life_nanos) {
  RecordLastFault(fault);  // as a kill
  if (gForkHook == nullptr) {
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) OrphanChild(w_, parent, t_->number, name_, life_nanos);
    // Out of the group before the run, reaping this process, kills it.
    if (child > 0) (void)setpgid(child, child);
  }
  // This process alone: the child must outlive it.
  kill(getpid(), SIGKILL);
  for (;;) pause();  // until the SIGKILL lands
}

void HoldingThread::OpenCloseFiles() {
  if (gOpenCloseHook != nullptr) {
    gOpenCloseHook(Service(Instance::kHolding), Lock());
    return;
  }
  JX_Thread other = JX_CreateThread(JX_USER_THREAD, OpenCloseMain, &w_->locks,
                                    JX_PRIORITY_NORMAL, JX_GLOBAL_THREAD,
                                    JX_JOINABLE_THREAD, 0);
  if (other != nullptr) (void)JX_JoinThread(other);
}

void HoldingThread::KillHolding(ChaosFault fault) {
  // The lock is never given back; the process dies with it.
  RecordLastFault(fault);
  // The whole process group: an adapter of the worker (chaos/adapter.h)
  // dies with it, as a lock inside it would.
  KillWorker();
  for (;;) pause();  // until the SIGKILL lands
}

// Whether the worker is to stop taking names: its deadline passed, or the
// run ended early (chaos/control.h).
bool Ended(const Worker* w) {
  return JX_MonotonicNanos() >= w->deadline || w->control->ended.load() != 0;
}

// Reaps the spawned children that have ended; with `all`, kills and reaps
// the rest too. `w->spawn_mutex` held.
void ReapSpawned(Worker* w, bool all) {
  std::vector<JX_Process> running;
  for (JX_Process child : w->spawned) {
    if (all) {
      (void)JX_WaitProcessOrKill(child, 0, nullptr);
    } else if (JX_WaitProcessFor(child, 0, nullptr) == JX_TIMED_OUT) {
      running.push_back(child);
    }
  }
  w->spawned.swap(running);
}

void HoldingThread::SpawnHolding(ChaosFault fault) {
  w_->control->faults.fetch_add(1);
  w_->control->struck[static_cast<int>(fault)].fetch_add(1);
  Record(w_, t_->number, ChaosEvent::kFault, name_,
         static_cast<std::uint16_t>(fault), 0,
         gSpawnHook != nullptr ? kAdapterSpawnLifeNanos : kSpawnLifeNanos);
  if (gSpawnHook != nullptr) {
    gSpawnHook(Service(Instance::kHolding), Lock());
    return;
  }
  // As a C program starts one: fork and exec, every descriptor the lock
  // left without close-on-exec inherited. The child dies with this thread
  // at the latest, which only frees what it might keep sooner.
  std::string program = "sleep", seconds = kSpawnSeconds;
  char* argv[] = {program.data(), seconds.data(), nullptr};
  JX_ProcessAttributes attributes;
  attributes.die_with_parent = true;
  const JX_Process child =
      JX_CreateProcess("/bin/sleep", argv, nullptr, &attributes);
  if (child == nullptr) {
    std::fprintf(stderr, "wendlemoor-chaos worker %d: spawn: %s\n", getpid(),
                 std::strerror(errno));
    return;
  }
  std::lock_guard<std::mutex> lock(w_->spawn_mutex);
  ReapSpawned(w_, false);
  w_->spawned.push_back(child);
}

// One acquisition, hold and release of a random name. Returns false when the
// thread is to end holding.
bool OneRound(Worker* w, ThreadState* t, ChaosRandom& random) {
  const int name = static_cast<int>(random.Below(w->names));
  const int instance = w->instance_count > 1 ? int(random.Below(2)) : 0;
  const bool wait = !random.OneIn(4);
  const std::uint32_t hold_micros =
      static_cast<std::uint32_t>(random.Below(kHoldMaxMicros + 1));
  LockService* service = w->instances[instance].get();
  const char* lock = w->lock_names[name].c_str();

  const std::uint64_t asked = JX_MonotonicNanos();
  ResultCode code;
  {
    InCall in_call(
        w, t, wait ? ChaosCall::kAcquireWait : ChaosCall::kAcquireNoWait, name);
    code = service->AcquireLock(lock, wait ? 1 : 0);
  }
  if (code != kOk) {
    RecordCall(w, t->number, name,
               wait ? ChaosCall::kAcquireWait : ChaosCall::kAcquireNoWait,
               code);
    return true;
  }
  Record(w, t->number, ChaosEvent::kHoldStart, name, 0, instance,
         JX_MonotonicNanos() - asked, wait);
  std::uint64_t token = 0;
  if (gTokenHook != nullptr && gTokenHook(service, &token)) {
    Record(w, t->number, ChaosEvent::kHoldToken, name, 0, instance, token);
  }
  w->control->holds.fetch_add(1, std::memory_order_relaxed);
  std::atomic<std::int32_t>& in_hold = w->control->holding[w->slot];
  in_hold.fetch_add(1);
  HoldingThread holding(w, t, name, instance, random);
  if (StrikeHold(w->faults, w->threads, random, holding) ==
      HoldAfter::kThreadEnds) {
    return false;
  }
  JX_Sleep(hold_micros);
  in_hold.fetch_sub(1);
  Record(w, t->number, ChaosEvent::kHoldEnd, name);
  // A call slot covers the call alone, never the record of its result,
  // whose write may be slow.
  {
    InCall in_call(w, t, ChaosCall::kRelease, name);
    code = service->ReleaseLock(lock);
  }
  RecordCall(w, t->number, name, ChaosCall::kRelease, code);
  StrikeAfterRelease(w->faults, random, holding);
  return true;
}

void ThreadMain(void* argument) {
  auto* t = static_cast<ThreadState*>(argument);
  Worker* w = t->worker;
  ChaosRandom random(DeriveSeed(w->seed, t->number, 0));
  std::atomic<std::int32_t>& busy = w->control->busy[w->slot];
  while (!Ended(w)) {
    busy.fetch_add(1);
    if (w->control->gate.load() != 0) {
      busy.fetch_sub(1);
      WaitAtGate(w->control, kGateWaitNanos);
      continue;
    }
    if (!OneRound(w, t, random)) {
      t->ended_holding = true;
      break;
    }
    busy.fetch_sub(1);
    JX_Sleep(static_cast<std::uint32_t>(random.Below(kPauseMaxMicros + 1)));
  }
  std::lock_guard<std::mutex> lock(w->mutex);
  w->ended.push_back(t);
  w->changed.notify_one();
}

bool StartThread(Worker* w, std::uint32_t number, int place) {
  auto* t = new ThreadState{w, number, place};
  t->handle = JX_CreateThread(JX_USER_THREAD, ThreadMain, t, JX_PRIORITY_NORMAL,
                              JX_GLOBAL_THREAD, JX_JOINABLE_THREAD, 0);
  if (t->handle == nullptr) {
    delete t;
    return false;
  }
  ++w->running;
  return true;
}

bool ParseNumber(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  errno = 0;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

int Fail(const char* what) {
  std::fprintf(stderr, "wendlemoor-chaos worker %d: %s: %s\n", getpid(), what,
               std::strerror(errno));
  return 3;
}

}  // namespace

void SetChaosForkHook(ChaosForkHook hook) { gForkHook = hook; }
void SetChaosOpenCloseHook(ChaosOpenCloseHook hook) { gOpenCloseHook = hook; }
void SetChaosSpawnHook(ChaosSpawnHook hook) { gSpawnHook = hook; }
void SetChaosTokenHook(ChaosTokenHook hook) { gTokenHook = hook; }

void GiveUpChaosWorker(std::uint32_t code) {
  Worker* w = gWorker;
  // As a kill while holding: no record after this one.
  w->records.lock();
  (void)RecordEvent(w->history,
                    MakeRecord(0, ChaosEvent::kAdapterFailed, 0, 0, code));
  // The whole group at once: the adapter and whatever it started die with
  // the worker, which the run then counts as failed (a kill not its own).
  KillWorker();
  _exit(4);
}

int RunChaosWorker(const std::vector<std::string>& arguments,
                   ChaosServiceFactory factory) {
  // folder slot seed threads names faults deadline: the faults by their
  // names (FaultNames), the others numbers.
  constexpr int kFaults = 5;
  std::uint64_t n[7] = {};
  FaultList faults;
  std::string error;
  if (arguments.size() != 7) return Fail("bad worker arguments");
  for (int i = 1; i < 7; ++i) {
    if (i != kFaults && !ParseNumber(arguments[i], &n[i])) {
      return Fail("bad argument");
    }
  }
  if (!ParseFaults(arguments[kFaults], FaultListFor::kRun, &faults, &error)) {
    errno = EINVAL;
    return Fail("bad argument");
  }

  Worker w;
  gWorker = &w;
  const std::string& folder = arguments[0];
  w.slot = int(n[1]);
  w.seed = n[2];
  w.threads = int(n[3]);
  w.names = int(n[4]);
  w.faults = faults.set;
  w.deadline = n[6];
  if (w.slot >= kChaosProcessesMax || w.threads > kChaosThreadsMax ||
      w.names > kChaosNamesMax || w.names < 1) {
    errno = EINVAL;
    return Fail("argument out of range");
  }
  for (int i = 0; i < w.names; ++i) w.lock_names.push_back(ChaosLockName(i));
  w.control = MapControl(folder + "/control", false);
  if (w.control == nullptr) return Fail("control");
  const std::string history =
      folder + "/history/" + std::to_string(getpid()) + ".history";
  w.history = open(history.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
  if (w.history == -1) return Fail("history");
  w.locks = folder + "/locks";
  const std::string& locks = w.locks;
  for (const FaultClass& c : FaultTable()) {
    if (Has(w.faults, c.fault) && c.second_instance) w.instance_count = 2;
  }
  for (int i = 0; i < w.instance_count; ++i) {
    w.instances[i] = InterfacePtr<LockService>::Adopt(factory(locks.c_str()));
    if (!w.instances[i]) return Fail("lock service");
  }

  // A thread that cannot be started fails the worker, but only once every
  // thread that did start has been joined.
  int status = 0;
  std::uint32_t next_number = 1;
  std::unique_lock<std::mutex> lock(w.mutex);
  for (int i = 0; i < w.threads && status == 0; ++i) {
    if (!StartThread(&w, next_number++, i)) status = Fail("thread");
  }
  while (w.running > 0) {
    w.changed.wait(lock, [&] { return !w.ended.empty(); });
    std::vector<ThreadState*> ended;
    ended.swap(w.ended);
    lock.unlock();
    for (ThreadState* t : ended) {
      (void)JX_JoinThread(t->handle);
      // Joined, it has given back what it held: it is no longer inside a
      // hold.
      if (t->ended_holding) {
        w.control->busy[w.slot].fetch_sub(1);
        w.control->holding[w.slot].fetch_sub(1);
      }
      const bool replace = t->ended_holding && status == 0 && !Ended(&w);
      const int place = t->place;
      delete t;
      lock.lock();
      --w.running;
      if (replace && !StartThread(&w, next_number++, place)) {
        status = Fail("thread");
      }
      lock.unlock();
    }
    lock.lock();
  }
  lock.unlock();
  {
    std::lock_guard<std::mutex> spawn_lock(w.spawn_mutex);
    ReapSpawned(&w, true);
  }
  close(w.history);  // never retried (runtime/eintr.h)
  return status;
}

}  // namespace wendlemoor
