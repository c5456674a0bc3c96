// wendlemoor-chaos over a lock module: options, worker, cost, cleanup.
#include "chaos/module_run.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "chaos/card.h"
#include "chaos/control.h"
#include "chaos/history.h"
#include "chaos/run.h"
#include "chaos/worker.h"
#include "components/module_loader.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"

namespace wendlemoor {

const char kModuleUsage[] =
    "Lock services from modules (shared libraries, components/module.h):\n"
    "  --module PATH    run over the lock service of the module at PATH; a\n"
    "                   module that cannot be loaded is refused with status 2\n"
    "  --card           the report card: every module (--module, repeated,\n"
    "                   or --modules DIR: every .so in DIR) under each fault\n"
    "                   of --faults on its own and \"none\" (default: all),\n"
    "                   --seconds each (default 2); prints one table, writes\n"
    "                   report-card.json and the timelines of the cells that\n"
    "                   broke to --out DIR (default report-card)\n"
    "  --cost           the warm acquire+release cost alone (of the module\n"
    "                   with --module, of the service linked in without)\n"
    "  --result FILE    the same as --json; with --card, --json and --junit\n"
    "                   write the whole card (a JUnit suite per module)\n"
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
// crashes or hangs is reported and the run goes on.
void CleanUp(const std::shared_ptr<LockModule>& module,
             const std::string& folder) {
  const pid_t child = fork();
  if (child == -1) {
    std::fprintf(stderr, "wendlemoor-chaos: cleanup of %s: fork: %s\n",
                 module->path().c_str(), std::strerror(errno));
    return;
  }
  if (child == 0) {
    module->Cleanup(folder.c_str());
    _exit(0);
  }
  JX_Process handle = JX_AdoptProcess(child);
  int code = -1;
  const bool ended =
      handle != nullptr && WaitChildFor(handle, kCleanupDeadlineMs, &code);
  if (!ended || code != 0) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: its cleanup %s\n",
                 module->path().c_str(),
                 ended ? ("ended with " + std::to_string(code)).c_str()
                       : "did not end within 5 s; killed");
  }
}

// One thread takes and gives back one name, uncontended, in a fresh folder:
// the warm cost of an acquire+release pair.
// The service over `folder`: the module's, or the one linked in when
// `module` is empty.
ResultCode Create(const std::shared_ptr<LockModule>& module, const char* folder,
                  LockService** service) {
  if (module) return CreateModuleLockService(module, folder, service);
  *service = CreateLockService(folder);
  return *service != nullptr ? kOk : kErrorOutOfMemory;
}

int MeasureCost(const std::shared_ptr<LockModule>& module,
                const std::string& result) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                       "/wendlemoor-cost-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", folder.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const std::string locks = folder + "/locks";
  std::string json;
  LockService* service = nullptr;
  ResultCode code = mkdir(locks.c_str(), 0700) == 0
                        ? Create(module, locks.c_str(), &service)
                        : kErrorSystemBase | std::uint32_t(errno);
  // The best of several short windows: on a busy machine a window that
  // another process shared says more about the machine than about the lock.
  std::uint64_t best = UINT64_MAX;
  for (int window = 0; window < kCostWindows && code == kOk; ++window) {
    std::uint64_t rounds = 0;
    const std::uint64_t start = JX_MonotonicNanos();
    std::uint64_t now = start;
    while (code == kOk && now - start < kCostWindowNanos) {
      code = service->AcquireLock("cost", 1);
      if (code == kOk) code = service->ReleaseLock("cost");
      if (++rounds % 16 == 0) now = JX_MonotonicNanos();
    }
    if (code == kOk) best = std::min(best, (now - start) / rounds);
  }
  if (code == kOk) {
    json = "{\n\"warm_ns\": " + std::to_string(best) + "\n}\n";
  } else {
    json = "{\n\"warm_error\": \"" + ChaosCodeText(code) + "\"\n}\n";
  }
  if (service != nullptr) service->Release();
  if (module) module->Cleanup(locks.c_str());
  (void)RemoveTree(folder);
  std::printf("%s", json.c_str());
  if (!result.empty() && !WriteTextFile(result, json)) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", result.c_str(),
                 std::strerror(errno));
    return 1;
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

}  // namespace

bool RedirectOutputToLog(const std::string& log) {
  const int fd =
      open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool redirected = fd != -1 && dup2(fd, STDOUT_FILENO) != -1 &&
                          dup2(fd, STDERR_FILENO) != -1;
  const int error = errno;
  // Never retried (runtime/eintr.h); a descriptor that landed on a closed
  // standard one stays open as it.
  if (fd > STDERR_FILENO) close(fd);
  if (!redirected) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", log.c_str(),
                 std::strerror(error));
  }
  return redirected;
}

bool WaitChildFor(JX_Process child, int deadline_ms, int* code) {
  *code = -1;
  const JX_Status status =
      JX_WaitProcessFor(child, std::uint32_t(deadline_ms), code);
  if (status == JX_SUCCESS) return true;
  if (status == JX_TIMED_OUT) {
    (void)JX_KillProcess(child);
    (void)JX_WaitProcess(child, nullptr);
  }
  *code = -1;
  return false;
}

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
  // The module options are taken out; the rest are the run's own.
  std::vector<std::string> modules, commands;  // commands: card rows only
  std::string modules_folder, result, log, out;
  bool card = false, cost = false, any = false;
  for (int i = 1; i < argc; ++i) {
    card = card || std::string(argv[i]) == "--card";
  }
  std::vector<const char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    std::string* value = nullptr;
    if (option == "--card") {
      any = true;
      continue;
    }
    if (option == "--cost") {
      cost = any = true;
      continue;
    }
    if (option == "--module") {
      modules.emplace_back();
      value = &modules.back();
    } else if (option == "--command" && card) {
      commands.emplace_back();
      value = &commands.back();
    } else if (option == "--modules") {
      value = &modules_folder;
    } else if (option == "--result") {
      value = &result;
    } else if (option == "--log") {
      value = &log;
    } else if (option == "--out") {
      value = &out;
    } else {
      rest.push_back(argv[i]);
      continue;
    }
    any = true;
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      *status = Usage("missing value for " + option);
      return true;
    }
    *value = argv[++i];
  }
  if (!any) return false;
  if (!log.empty() && !RedirectOutputToLog(log)) {
    *status = 1;
    return true;
  }
  const std::string self = Self();
  if (self.empty()) {
    std::perror("wendlemoor-chaos: /proc/self/exe");
    *status = 1;
    return true;
  }
  ChaosOptions options;
  CardOptions card_options;
  if (card) {
    // Shorter and smaller than a run's defaults: the card has many cells.
    options.seconds = card_options.seconds;
    options.processes = card_options.processes;
    options.threads = card_options.threads;
    options.names = card_options.names;
  }
  std::string error;
  // A card takes "none" among the faults: its column without any.
  switch (ParseChaosOptions(int(rest.size()), rest.data(), &options, &error,
                            card ? FaultListFor::kCard : FaultListFor::kRun)) {
    case ChaosParse::kHelp:
      std::fputs(ChaosUsage(), stdout);
      std::fputs(kModuleUsage, stdout);
      *status = 0;
      return true;
    case ChaosParse::kBad:
      *status = Usage(error);
      return true;
    case ChaosParse::kRun:
      break;
  }
  if (!options.check.empty()) {
    *status = CheckChaosHistory(options);
    return true;
  }
  if (card) {
    if (!modules_folder.empty()) {
      for (const std::string& path : ModulesIn(modules_folder)) {
        modules.push_back(path);
      }
    }
    if (modules.empty() && commands.empty()) {
      *status = Usage(
          "--card needs --module or --modules with a module, or --command");
      return true;
    }
    card_options.faults = options.fault_columns;
    card_options.modules = modules;
    card_options.commands = commands;
    card_options.seconds = options.seconds;
    card_options.processes = options.processes;
    card_options.threads = options.threads;
    card_options.names = options.names;
    if (options.seed_given) card_options.seed = options.seed;
    if (!out.empty()) card_options.out = out;
    card_options.json = options.result;
    card_options.junit = options.junit;
    *status = RunCard(card_options, self);
    return true;
  }
  if (!result.empty()) options.result = result;
  if (modules.empty()) {
    *status = cost ? MeasureCost(nullptr, options.result)
                   : RunChaos(options, {self, "--worker"});
    return true;
  }
  if (modules.size() != 1) {
    *status = Usage("one --module for a run");
    return true;
  }
  const std::shared_ptr<LockModule> module = Load(modules[0]);
  if (!module) {
    *status = 2;
    return true;
  }
  if (cost) {
    *status = MeasureCost(module, options.result);
    return true;
  }
  options.cleanup = [&module](const std::string& folder) {
    CleanUp(module, folder);
  };
  *status = RunChaos(options, {self, "--module", modules[0], "--worker"});
  return true;
}

}  // namespace wendlemoor
