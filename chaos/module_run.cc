// wendlemoor-chaos over a lock module: options, worker, cost, cleanup.
#include "chaos/module_run.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "chaos/card.h"
#include "chaos/control.h"
#include "chaos/history.h"
#include "chaos/row_server.h"
#include "chaos/run.h"
#include "chaos/worker.h"
#include "components/module_loader.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"

namespace wendlemoor {

const char kModuleUsage[] =
    "Lock services from modules (shared libraries, components/module.h):\n"
    "  --module PATH    run over the lock service of the module at PATH; a\n"
    "                   module that cannot be loaded is refused with status 2\n"
    "  --card           the report card: every module (--module, repeated,\n"
    "                   or --modules DIR: every .so in DIR) and adapter\n"
    "                   (--command, repeated) under each fault of --faults on\n"
    "                   its own and \"none\" (default: all), each until its\n"
    "                   fault struck --strikes N times (default 30; under\n"
    "                   \"none\": 1000 holds) or for --seconds at most\n"
    "                   (default 10), from --seed N (default 1); prints one\n"
    "                   table, writes report-card.json and the timelines of\n"
    "                   the cells that broke to --out DIR (default\n"
    "                   report-card); the cells' lock folders go in --folder\n"
    "                   DIR (default: --out).\n"
    "                   A clean cell says \"holds\" after 30 strikes or more\n"
    "                   (under none: contended handovers), \"too few\" below.\n"
    "                   --rows NAME,... runs only those rows (named as the\n"
    "                   card names them); --jobs N runs N cells of a row at\n"
    "                   once (default: the cores online). A cell still\n"
    "                   running --grace S seconds after its time (default\n"
    "                   60) is killed and not run.\n"
    "                   Exit status: 0 every cell ran and the wendlemoor row\n"
    "                   (the module file wendlemoor.so, ours, which promises\n"
    "                   to hold) held; 1 that row broke or a cell could not\n"
    "                   be run; 2 a bad command line or a file not written;\n"
    "                   130 interrupted\n"
    "  --cost           the warm acquire+release cost alone (of the module\n"
    "                   with --module, of the service linked in without), in\n"
    "                   --folder DIR when given; leaves no folder behind\n"
    "  --result FILE    the same as --json; with --card, --json and --junit\n"
    "                   write the whole card (a JUnit suite per row)\n"
    "  --log FILE       write standard output and error to FILE\n";

namespace {

constexpr int kCleanupDeadlineMs = 5000;
constexpr int kCostWindows = 10;
constexpr std::uint64_t kCostWindowNanos = 20000000;

// The module of a worker process, for its service factory; set once before
// any thread starts.
std::shared_ptr<LockModule> gWorkerModule;

LockService* CreateFromModule(const char* folder) {
  LockService* service = nullptr;
  const ResultCode code =
      CreateModuleLockService(gWorkerModule, folder, &service);
  if (code != kOk) {
    std::fprintf(stderr, "wendlemoor-chaos worker %d: %s: %x\n", getpid(),
                 gWorkerModule->path().c_str(), code);
  }
  return service;
}

// Loads `path`; on a refusal prints the one line and returns null.
std::shared_ptr<LockModule> Load(const std::string& path) {
  std::shared_ptr<LockModule> module;
  std::string error;
  const ResultCode code = LoadLockModule(path.c_str(), &module, &error);
  if (code != kOk) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s (%x)\n", path.c_str(),
                 error.c_str(), code);
  }
  return module;
}

// Calls the module's cleanup in a child of its own, so that one that
// crashes or hangs is reported and the run goes on. The child dies with this
// process: a run killed meanwhile (a card cell past its deadline) leaves no
// cleanup behind.
void CleanUp(const std::shared_ptr<LockModule>& module,
             const std::string& folder) {
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == -1) {
    std::fprintf(stderr, "wendlemoor-chaos: cleanup of %s: fork: %s\n",
                 module->path().c_str(), std::strerror(errno));
    return;
  }
  if (child == 0) {
    // A parent that ended before the request leaves the child to init.
    if (JX_DieWithParent(parent) != JX_SUCCESS) _exit(1);
    module->Cleanup(folder.c_str());
    _exit(0);
  }
  JX_Process handle = JX_AdoptProcess(child);
  int code = -1;
  const bool ended =
      handle != nullptr &&
      JX_WaitProcessOrKill(handle, kCleanupDeadlineMs, &code) == JX_SUCCESS;
  if (!ended || code != 0) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: its cleanup %s\n",
                 module->path().c_str(),
                 ended ? ("ended with " + std::to_string(code)).c_str()
                       : "did not end within 5 s; killed");
  }
}

// The service over `folder`: the module's, or the one linked in when
// `module` is empty.
ResultCode Create(const std::shared_ptr<LockModule>& module, const char* folder,
                  LockService** service) {
  if (module) return CreateModuleLockService(module, folder, service);
  *service = CreateLockService(folder);
  return *service != nullptr ? kOk : kErrorOutOfMemory;
}

// The best of several short windows in which one thread takes and gives back
// one name, uncontended: the warm cost of an acquire+release pair, in
// nanoseconds, or the code of the call that failed.
ResultCode WarmCost(LockService* service, std::uint64_t* best) {
  // On a busy machine a window that another process shared says more about
  // the machine than about the lock.
  *best = UINT64_MAX;
  ResultCode code = kOk;
  for (int window = 0; window < kCostWindows && code == kOk; ++window) {
    std::uint64_t rounds = 0;
    const std::uint64_t start = JX_MonotonicNanos();
    std::uint64_t now = start;
    while (code == kOk && now - start < kCostWindowNanos) {
      code = service->AcquireLock("cost", 1);
      if (code == kOk) code = service->ReleaseLock("cost");
      if (++rounds % 16 == 0) now = JX_MonotonicNanos();
    }
    if (code == kOk) *best = std::min(*best, (now - start) / rounds);
  }
  return code;
}

// Measures the warm cost in a folder of its own (options.folder, made
// afresh, or a new one under TMPDIR) and removes the folder after, the
// module's cleanup done (in a child, with a deadline).
int MeasureCost(const std::shared_ptr<LockModule>& module,
                const ChaosOptions& options) {
  std::string folder = options.folder;
  if (folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    folder = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
             "/wendlemoor-cost-XXXXXX";
  }
  if ((options.folder.empty() ? mkdtemp(folder.data()) == nullptr
                              : mkdir(folder.c_str(), 0700) != 0)) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", folder.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const std::string locks = folder + "/locks";
  LockService* service = nullptr;
  ResultCode code = mkdir(locks.c_str(), 0700) == 0
                        ? Create(module, locks.c_str(), &service)
                        : kErrorSystemBase | std::uint32_t(errno);
  std::uint64_t best = 0;
  if (code == kOk) code = WarmCost(service, &best);
  // The lease too: the card gives a lease's cells the longer time they need
  // (chaos/card.cc).
  const std::string json =
      (code == kOk ? "{\n\"warm_ns\": " + std::to_string(best)
                   : "{\n\"warm_error\": \"" + ChaosCodeText(code) + "\"") +
      ",\n\"lease_ms\": " + std::to_string(module ? module->lease_ms() : 0) +
      "\n}\n";
  if (service != nullptr) service->Release();
  if (module) CleanUp(module, locks);
  (void)RemoveTree(folder);
  std::printf("%s", json.c_str());
  if (!options.result.empty() && !WriteTextFile(options.result, json)) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", options.result.c_str(),
                 std::strerror(errno));
    return 2;
  }
  return code == kOk ? 0 : 1;
}

std::string Self() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  return self;
}

// Every "*.so" of `folder`, the reference module "wendlemoor.so" first, the
// others in order of name.
std::vector<std::string> ModulesIn(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".so") found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end(),
            [](const std::string& a, const std::string& b) {
              const bool a_first = a.ends_with("/wendlemoor.so");
              const bool b_first = b.ends_with("/wendlemoor.so");
              return a_first != b_first ? a_first : a < b;
            });
  return found;
}

int Usage(const std::string& error) {
  std::fprintf(stderr, "wendlemoor-chaos: %s\n%s%s", error.c_str(),
               ChaosUsage(), kModuleUsage);
  return 2;
}

// The options of the module commands, taken out of the command line; the
// rest are the run's own.
struct ModuleArguments {
  std::vector<std::string> modules;
  std::vector<std::string> commands;  // adapters: card rows only
  std::string modules_folder, result, log, out, grace, rows, jobs;
  bool card = false, cost = false;
  bool any = false;  // one of the options above was given
  std::vector<const char*> rest;
};

// Takes the module options out of `argv`. Returns false, with the usage
// shown, when one lacks its value.
bool TakeModuleArguments(int argc, char** argv, ModuleArguments* a) {
  for (int i = 1; i < argc; ++i) {
    a->card = a->card || std::string(argv[i]) == "--card";
  }
  a->rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    std::string* value = nullptr;
    if (option == "--card" || option == "--cost") {
      a->cost = a->cost || option == "--cost";
      a->any = true;
      continue;
    }
    if (option == "--module") {
      value = &a->modules.emplace_back();
    } else if (option == "--command" && a->card) {
      value = &a->commands.emplace_back();
    } else if (option == "--modules") {
      value = &a->modules_folder;
    } else if (option == "--result") {
      value = &a->result;
    } else if (option == "--log") {
      value = &a->log;
    } else if (option == "--out") {
      value = &a->out;
    } else if (option == "--grace" && a->card) {
      value = &a->grace;
    } else if (option == "--rows" && a->card) {
      value = &a->rows;
    } else if (option == "--jobs" && a->card) {
      value = &a->jobs;
    } else {
      a->rest.push_back(argv[i]);
      continue;
    }
    a->any = true;
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      Usage("missing value for " + option);
      return false;
    }
    *value = argv[++i];
  }
  return true;
}

// The report card of the rows `a` names, with the run options `options`.
int RunCardCommand(const ModuleArguments& a, const ChaosOptions& options,
                   const std::string& self) {
  CardOptions card;
  card.modules = a.modules;
  if (!a.modules_folder.empty()) {
    for (const std::string& path : ModulesIn(a.modules_folder)) {
      card.modules.push_back(path);
    }
  }
  card.commands = a.commands;
  if (card.modules.empty() && card.commands.empty()) {
    return Usage(
        "--card needs --module or --modules with a module, or --command");
  }
  card.faults = options.fault_columns;
  // A whole number in [1, high] for `option`, or 0 when it is none.
  auto whole = [](const std::string& text, unsigned long high) {
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    const bool ok = errno == 0 && *end == '\0' && std::isdigit(text[0]) &&
                    n >= 1 && n <= high;
    return ok ? int(n) : 0;
  };
  if (!a.grace.empty() && (card.grace = whole(a.grace, 86400)) == 0) {
    return Usage("bad value for --grace: \"" + a.grace + "\"");
  }
  // As many cells at once as there are cores, unless told.
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  card.jobs =
      a.jobs.empty() ? int(std::clamp(cores, 1L, 64L)) : whole(a.jobs, 64);
  if (card.jobs == 0) return Usage("bad value for --jobs: \"" + a.jobs + "\"");
  for (std::size_t at = 0; !a.rows.empty();) {
    const std::size_t comma = a.rows.find(',', at);
    card.rows.push_back(a.rows.substr(at, comma - at));
    if (card.rows.back().empty()) {
      return Usage("bad value for --rows: \"" + a.rows + "\"");
    }
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (options.strikes > 0) card.strikes = options.strikes;
  card.folder = options.folder;
  card.seconds = options.seconds;
  card.processes = options.processes;
  card.threads = options.threads;
  card.names = options.names;
  if (options.seed_given) card.seed = options.seed;
  if (!a.out.empty()) card.out = a.out;
  card.json = a.result.empty() ? options.result : a.result;
  card.junit = options.junit;
  return RunCard(card, self);
}

// A run over the module `path`, or its cost alone.
int RunOneModule(const std::string& path, bool cost, ChaosOptions options,
                 const std::string& self) {
  const std::shared_ptr<LockModule> module = Load(path);
  if (!module) return 2;
  options.lock = "module " + module->name() + ", " + path;
  options.lease_ms = module->lease_ms();
  if (options.lease_ms > 0) {
    options.lock += ", lease " + std::to_string(options.lease_ms) + " ms";
  }
  // Its lock server, when it names one, before the cost's service or any
  // worker; stopped and removed when this returns.
  std::unique_ptr<Server> server;
  if (!StartRowServer(module->server(), "module " + path, options.folder,
                      &server)) {
    return 2;
  }
  if (cost) return MeasureCost(module, options);
  // A module without a cleanup makes nothing outside its folder: the run
  // then refuses the classes that strike there (remove-ipc).
  if (module->HasCleanup()) {
    options.cleanup = [&module](const std::string& folder) {
      CleanUp(module, folder);
    };
  }
  return RunChaos(options, {self, "--module", path, "--worker"});
}

// What the module options `a` ask for, once they are known to be there.
int RunModuleArguments(const ModuleArguments& a) {
  if (!a.log.empty() && JX_RedirectOutputToFile(a.log.c_str()) != JX_SUCCESS) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", a.log.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const std::string self = Self();
  if (self.empty()) {
    std::perror("wendlemoor-chaos: /proc/self/exe");
    return 1;
  }
  ChaosOptions options;
  if (a.card) {
    // Shorter and smaller than a run's defaults: the card has many cells.
    const CardOptions card;
    options.seconds = card.seconds;
    options.processes = card.processes;
    options.threads = card.threads;
    options.names = card.names;
  }
  std::string error;
  // A card takes "none" among the faults: its column without any.
  switch (
      ParseChaosOptions(int(a.rest.size()), a.rest.data(), &options, &error,
                        a.card ? FaultListFor::kCard : FaultListFor::kRun)) {
    case ChaosParse::kHelp:
      std::fputs(ChaosUsage(), stdout);
      std::fputs(kModuleUsage, stdout);
      return 0;
    case ChaosParse::kBad:
      return Usage(error);
    case ChaosParse::kRun:
      break;
  }
  if (!options.check.empty()) return CheckChaosHistory(options);
  if (a.card) return RunCardCommand(a, options, self);
  if (!a.result.empty()) options.result = a.result;
  if (a.modules.size() > 1) return Usage("one --module for a run");
  if (a.modules.size() == 1) {
    return RunOneModule(a.modules[0], a.cost, options, self);
  }
  options.lock = kLinkedInLock;
  return a.cost ? MeasureCost(nullptr, options)
                : RunChaos(options, {self, "--worker"});
}
}  // namespace

bool RunModuleCommand(int argc, char** argv, int* status) {
  if (argc >= 4 && std::string(argv[1]) == "--module" &&
      std::string(argv[3]) == "--worker") {
    gWorkerModule = Load(argv[2]);
    *status =
        gWorkerModule
            ? RunChaosWorker(std::vector<std::string>(argv + 4, argv + argc),
                             CreateFromModule)
            : 3;
    return true;
  }
  ModuleArguments arguments;
  if (!TakeModuleArguments(argc, argv, &arguments)) {
    *status = 2;
    return true;
  }
  if (!arguments.any) return false;
  *status = RunModuleArguments(arguments);
  return true;
}

}  // namespace wendlemoor
