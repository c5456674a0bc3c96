// wendlemoor-chaos over an adapter program: options, probe, worker.
#include "chaos/command_run.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "chaos/control.h"
#include "chaos/fault.h"
#include "chaos/history.h"
#include "chaos/row_server.h"
#include "chaos/run.h"
#include "chaos/server.h"
#include "chaos/worker.h"
#include "components/lock_service.h"
#include "runtime/process.h"

namespace wendlemoor {

const char kCommandUsage[] =
    "Locks in any language, through an adapter program "
    "(docs/adapter-protocol.md):\n"
    "  --command CMD    run over the adapter CMD (a shell command line; the\n"
    "                   lock folder is added as its last argument); each\n"
    "                   worker drives one by lines on its standard input.\n"
    "                   An adapter that cannot be started, does not greet\n"
    "                   or answers garbage is refused with status 2; faults\n"
    "                   it does not support are left out\n"
    "  --server KIND    start a lock server of KIND for the run (postgres,\n"
    "                   redis, redis-aof, etcd; default: the one the adapter\n"
    "                   file declares with \"# wendlemoor-server: KIND\"),\n"
    "                   its address in WENDLEMOOR_SERVER; none is started\n"
    "                   when WENDLEMOOR_SERVER is set already\n";

namespace {

// How long an adapter has for its greeting and for every answer but that to
// a blocking acquisition, which may rightly wait as long as the name is
// held (the run counts one that never returns as hung).
constexpr int kGreetMs = 5000;
constexpr int kAnswerMs = 5000;

// The worker's command, set once before any thread.
std::string gCommand;

std::string Self() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  return self;
}

// Ends the worker over an adapter that failed: the finding goes to standard
// error once and to the history (GiveUpChaosWorker).
[[noreturn]] void GiveUp(AdapterFault fault, const std::string& error) {
  static std::atomic<bool> said{false};
  if (!said.exchange(true)) {
    std::fprintf(stderr, "wendlemoor-chaos worker %d: adapter \"%s\" %s\n",
                 getpid(), gCommand.c_str(), error.c_str());
  }
  GiveUpChaosWorker(static_cast<std::uint32_t>(fault));
}

class AdapterLockService;

// A worker thread's number in every adapter (from 1, never reused in the
// process), the services it used, told of its end when it ends, and the
// fencing token of its last acquisition, if that was granted with one.
struct ThreadTag {
  std::uint32_t number = 0;
  std::vector<AdapterLockService*> used;
  bool has_token = false;
  std::uint64_t token = 0;
  ~ThreadTag();
};
thread_local ThreadTag tThread;
std::atomic<std::uint32_t> gNextThread{1};

// The worker's adapter process and what it greeted, shared by its service
// instances.
struct WorkerAdapter {
  std::unique_ptr<Adapter> adapter;
  AdapterFeatures features;
};

// The lock service of a worker: each call is a request to its adapter, on
// the adapter's lock object `instance` (1, or 2 for the worker's second
// service instance: a second lock object in the same adapter process).
class AdapterLockService final : public LockService {
 public:
  AdapterLockService(std::shared_ptr<WorkerAdapter> shared, int instance)
      : shared_(std::move(shared)),
        suffix_(instance == 1 ? "" : " " + std::to_string(instance)) {}

  ResultCode QueryInterface(const InterfaceId& iid, void** result) override {
    if (!(iid == kLockServiceId || iid == kBaseInterfaceId)) {
      *result = nullptr;
      return kErrorNoInterface;
    }
    AddRef();
    *result = static_cast<LockService*>(this);
    return kOk;
  }
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

  ResultCode AcquireLock(const char* name, int wait) override {
    const std::uint32_t t = Thread();
    tThread.has_token = false;
    return Ask(t,
               "acquire " + std::to_string(t) + " " + name +
                   (wait != 0 ? " wait" : " nowait") + suffix_,
               wait != 0 ? -1 : kAnswerMs);
  }

  // The token hook (chaos/worker.h): the token of the calling thread's
  // last acquisition, answered "T ok TOKEN".
  static bool Token(LockService*, std::uint64_t* token) {
    *token = tThread.token;
    return tThread.has_token;
  }
  ResultCode ReleaseLock(const char* name) override {
    const std::uint32_t t = Thread();
    return Ask(t, "release " + std::to_string(t) + " " + name + suffix_,
               kAnswerMs);
  }

  // The fork hook (chaos/worker.h): "fork T NAME".
  static void Fork(LockService* service, const char* name, ResultCode* release,
                   ResultCode* acquire) {
    auto* self = static_cast<AdapterLockService*>(service);
    const std::uint32_t t = self->Thread();
    const std::string line =
        "fork " + std::to_string(t) + " " + name + self->suffix_;
    AdapterAnswer answer;
    std::string results, error;
    const AdapterFault fault = self->shared_->adapter->Request(
        t, line, kAnswerMs, &answer, &results, &error);
    if (fault != AdapterFault::kNone) GiveUp(fault, error);
    if (answer != AdapterAnswer::kForked) {
      GiveUp(AdapterFault::kGarbage,
             "answered \"" + line + "\" with no \"forked\" answer");
    }
    const std::size_t space = results.find(' ');
    *release = self->CodeOf(line, results.substr(0, space));
    *acquire = self->CodeOf(line, results.substr(space + 1));
  }

  // The open-close hook (chaos/worker.h): "open-close T NAME", answered
  // "T done" once another thread of the adapter has opened, read and closed
  // the folder's files. A failure is named once and the hold goes on.
  static void OpenClose(LockService* service, const char* name) {
    auto* self = static_cast<AdapterLockService*>(service);
    const std::uint32_t t = self->Thread();
    (void)self->Ask(
        t, "open-close " + std::to_string(t) + " " + name + self->suffix_,
        kAnswerMs);
  }

  // The spawn hook (chaos/worker.h): "spawn T NAME", answered "T done"
  // once the child has started. A failure is named once (CodeOf) and leaves
  // the hold as it was.
  static void Spawn(LockService* service, const char* name) {
    auto* self = static_cast<AdapterLockService*>(service);
    const std::uint32_t t = self->Thread();
    (void)self->Ask(t,
                    "spawn " + std::to_string(t) + " " + name + self->suffix_,
                    kAnswerMs);
  }

  // The thread `t` has ended: what it held on every instance is given back
  // as the adapter's lock does on a thread's end.
  void EndThread(std::uint32_t t) {
    if (shared_->features.thread_end)
      (void)Ask(t, "end " + std::to_string(t), kAnswerMs);
  }

  const Adapter* adapter() const { return shared_->adapter.get(); }

 private:
  ~AdapterLockService() = default;

  std::uint32_t Thread() {
    if (tThread.number == 0) tThread.number = gNextThread.fetch_add(1);
    bool known = false;
    for (AdapterLockService* s : tThread.used) known = known || s == this;
    if (!known) tThread.used.push_back(this);
    return tThread.number;
  }

  ResultCode Ask(std::uint32_t t, const std::string& line, int deadline_ms) {
    AdapterAnswer answer;
    std::string reason, error;
    const AdapterFault fault = shared_->adapter->Request(
        t, line, deadline_ms, &answer, &reason, &error);
    if (fault != AdapterFault::kNone) GiveUp(fault, error);
    if (answer == AdapterAnswer::kForked) {
      GiveUp(AdapterFault::kGarbage,
             "answered \"" + line + "\" with a \"forked\" answer");
    }
    if (answer == AdapterAnswer::kDone) return kOk;
    if (answer == AdapterAnswer::kGranted) {
      // The adapter checked the request was an acquisition and the token
      // a number (Adapter::Request).
      tThread.has_token = true;
      tThread.token = std::strtoull(reason.c_str(), nullptr, 10);
      return kOk;
    }
    if (answer == AdapterAnswer::kBusy) return kErrorLockBusy;
    return CodeOf(line, reason);
  }

  // The code of an answer's word: done, busy or a failure's reason.
  ResultCode CodeOf(const std::string& line, const std::string& reason) {
    if (reason == "done") return kOk;
    if (reason == "busy") return kErrorLockBusy;
    if (reason == "deadlock") return kErrorLockWouldDeadlock;
    if (reason == "not-held") return kErrorLockNotHeld;
    // Any other failure is the adapter's own (an exception's name): it is
    // named once on standard error and counts as an I/O error.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (said_.insert(reason).second) {
        std::fprintf(stderr,
                     "wendlemoor-chaos worker %d: adapter \"%s\": \"%s\" "
                     "failed: %s\n",
                     getpid(), gCommand.c_str(), line.c_str(), reason.c_str());
      }
    }
    return kErrorSystemBase | EIO;
  }

  const std::shared_ptr<WorkerAdapter> shared_;
  const std::string suffix_;  // the instance's words at a request's end
  std::atomic<std::uint32_t> references_{1};
  std::mutex mutex_;            // guards `said_`
  std::set<std::string> said_;  // failure reasons already named
};

ThreadTag::~ThreadTag() {
  // One end per adapter, whichever of its instances the thread used.
  std::set<const Adapter*> told;
  for (AdapterLockService* s : used) {
    if (told.insert(s->adapter()).second) s->EndThread(number);
  }
}

// The worker's adapter while a service instance uses it: the worker's
// second instance (the two-instances fault) is the same adapter's lock
// object 2. Set by the worker's main thread before its threads start.
std::weak_ptr<WorkerAdapter> gWorkerAdapter;

LockService* CreateFromCommand(const char* folder) {
  if (std::shared_ptr<WorkerAdapter> shared = gWorkerAdapter.lock()) {
    return new AdapterLockService(std::move(shared), 2);
  }
  auto shared = std::make_shared<WorkerAdapter>();
  std::string error;
  shared->adapter = Adapter::Start(gCommand, folder, false, &error);
  if (!shared->adapter) GiveUp(AdapterFault::kCannotStart, error);
  const AdapterFault fault =
      shared->adapter->Greet(kGreetMs, &shared->features, &error);
  if (fault != AdapterFault::kNone) GiveUp(fault, error);
  gWorkerAdapter = shared;
  return new AdapterLockService(std::move(shared), 1);
}

int Usage(const std::string& error) {
  std::fprintf(stderr, "wendlemoor-chaos: %s\n%s%s", error.c_str(),
               ChaosUsage(), kCommandUsage);
  return 2;
}

// A worker of a run over the adapter `command`: its lock service sends
// every call to an adapter process of its own.
int RunAdapterWorker(const std::string& command,
                     const std::vector<std::string>& arguments) {
  gCommand = command;
  SetChaosForkHook(AdapterLockService::Fork);
  SetChaosOpenCloseHook(AdapterLockService::OpenClose);
  SetChaosSpawnHook(AdapterLockService::Spawn);
  SetChaosTokenHook(AdapterLockService::Token);
  return RunChaosWorker(arguments, CreateFromCommand);
}

// The adapter's options, taken out of a command line; the rest are the
// run's own.
struct CommandLine {
  std::string command;  // empty: no --command
  std::string server;   // --server KIND, or empty
  std::string result;
  std::string log;
  std::vector<const char*> rest;  // argv[0] and the run's options
};

// Takes the adapter's options out of `argv`. Returns false, with the cause
// in `*error`, when one has no value.
bool TakeCommandOptions(int argc, char** argv, CommandLine* line,
                        std::string* error) {
  line->rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option != "--command" && option != "--result" && option != "--log" &&
        option != "--server") {
      line->rest.push_back(argv[i]);
      continue;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      *error = "missing value for " + option;
      return false;
    }
    (option == "--command"  ? line->command
     : option == "--result" ? line->result
     : option == "--server" ? line->server
                            : line->log) = argv[++i];
  }
  return true;
}

// Leaves out of `options` the faults an adapter with `features` does not
// support, and runs it with one thread when it supports no more. Returns
// false when --faults named one of them; `*left_out` says which faults
// went (of those named, or of all), empty when none did.
bool FitToAdapter(const AdapterFeatures& features, ChaosOptions* options,
                  std::string* left_out) {
  const FaultSet unsupported = options->faults & ~AdapterFaults(features);
  *left_out = unsupported == 0 ? "" : FaultNames(unsupported, ", ");
  options->faults &= ~unsupported;
  if (!features.threads) options->threads = 1;
  options->lease_ms = features.lease_ms;
  return !options->faults_named || unsupported == 0;
}

// A run over the adapter of `line`, once it has answered a first request.
int RunOverAdapter(const CommandLine& line, ChaosOptions options) {
  if (!line.result.empty()) options.result = line.result;
  options.lock = "adapter " + line.command;
  // Before the probe: the adapter may need its server to greet. Stopped
  // and removed when this returns; its guard does it should we crash.
  std::unique_ptr<Server> server;
  const std::string kind =
      line.server.empty() ? RowServer(line.command, true) : line.server;
  if (!StartRowServer(kind, "adapter \"" + line.command + "\"", options.folder,
                      &server)) {
    return 2;
  }
  AdapterFeatures features;
  std::string error, left_out;
  if (!ProbeAdapter(line.command, &features, &error)) {
    std::fprintf(stderr, "wendlemoor-chaos: adapter \"%s\" %s\n",
                 line.command.c_str(), error.c_str());
    return 2;
  }
  if (!FitToAdapter(features, &options, &left_out)) {
    std::fprintf(stderr,
                 "wendlemoor-chaos: adapter \"%s\" does not support: %s\n",
                 line.command.c_str(), left_out.c_str());
    return 2;
  }
  if (options.lease_ms > 0) {
    options.lock += ", lease " + std::to_string(options.lease_ms) + " ms";
  }
  std::printf("adapter \"%s\": protocol %d, %d thread%s per process%s%s\n",
              line.command.c_str(), kAdapterProtocolVersion, options.threads,
              options.threads == 1 ? "" : "s",
              left_out.empty() ? "" : "; not supported: ", left_out.c_str());
  std::fflush(stdout);
  return RunChaos(options, {Self(), "--command", line.command, "--worker"});
}

}  // namespace

FaultSet AdapterFaults(const AdapterFeatures& features) {
  return FaultsGreeted(features.words);
}

bool ProbeAdapter(const std::string& command, AdapterFeatures* features,
                  std::string* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                       "/wendlemoor-probe-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    *error = folder + ": " + std::strerror(errno);
    return false;
  }
  bool ok = false;
  {
    std::unique_ptr<Adapter> adapter =
        Adapter::Start(command, folder + "/locks", true, error);
    AdapterAnswer answer;
    std::string reason;
    ok = adapter != nullptr &&
         adapter->Greet(kGreetMs, features, error) == AdapterFault::kNone;
    if (ok && !features->missing.empty()) {
      *error = "is not supported here: " + features->missing;
      ok = false;
    }
    ok = ok && adapter->Request(1, "release 1 wendlemoor-probe", kAnswerMs,
                                &answer, &reason, error) == AdapterFault::kNone;
  }
  (void)RemoveTree(folder);
  return ok;
}

bool RunCommandCommand(int argc, char** argv, int* status) {
  if (argc >= 4 && std::string(argv[1]) == "--command" &&
      std::string(argv[3]) == "--worker") {
    *status = RunAdapterWorker(argv[2],
                               std::vector<std::string>(argv + 4, argv + argc));
    return true;
  }
  // The report card takes adapters as rows (chaos/card.h).
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--card") return false;
  }
  CommandLine line;
  std::string error;
  if (!TakeCommandOptions(argc, argv, &line, &error)) {
    *status = Usage(error);
    return true;
  }
  if (line.command.empty()) return false;
  if (!line.log.empty() &&
      JX_RedirectOutputToFile(line.log.c_str()) != JX_SUCCESS) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", line.log.c_str(),
                 std::strerror(errno));
    *status = 1;
    return true;
  }
  ChaosOptions options;
  switch (ParseChaosOptions(int(line.rest.size()), line.rest.data(), &options,
                            &error)) {
    case ChaosParse::kHelp:
      std::fputs(ChaosUsage(), stdout);
      std::fputs(kCommandUsage, stdout);
      *status = 0;
      return true;
    case ChaosParse::kBad:
      *status = Usage(error);
      return true;
    case ChaosParse::kRun:
      break;
  }
  *status = RunOverAdapter(line, options);
  return true;
}

}  // namespace wendlemoor
