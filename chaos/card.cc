// The report card: a chaos run per row and fault class, one table.
#include "chaos/card.h"

#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "chaos/command_run.h"
#include "chaos/control.h"
#include "chaos/fault.h"
#include "chaos/report.h"
#include "chaos/row_server.h"
#include "chaos/run.h"
#include "chaos/server.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"
#include "runtime/process.h"

namespace wendlemoor {

double FailureRateBound(std::uint64_t n) {
  return n == 0 ? 1.0 : 1.0 - std::pow(0.05, 1.0 / double(n));
}

namespace {

constexpr int kCostDeadlineMs = 20000;
// How often the progress line's clock moves while cells run.
constexpr std::uint32_t kProgressMs = 1000;

// The calls of ChaosCall as the table says them.
constexpr const char* kCallShort[kChaosCalls] = {"",
                                                 "blocking acquire",
                                                 "try",
                                                 "release",
                                                 "2nd acquire",
                                                 "2nd release",
                                                 "other instance",
                                                 "forked release",
                                                 "forked acquire"};

std::string Format(const char* format, auto... arguments) {
  char text[512];
  std::snprintf(text, sizeof text, format, arguments...);
  return text;
}

using Fields = std::map<std::string, std::string>;

// Reads a file written as JsonObject: one "key": value a line, however long
// (a run's findings are all on one).
Fields ReadFields(const std::string& path) {
  Fields fields;
  std::ifstream file(path);
  std::string text;
  while (std::getline(file, text)) {
    if (!text.empty() && text.back() == ',') text.pop_back();
    const std::size_t colon = text.find("\": ");
    if (text.size() < 2 || text[0] != '"' || colon == text.npos) continue;
    fields[text.substr(1, colon - 1)] = text.substr(colon + 3);
  }
  return fields;
}

double Number(const Fields& fields, const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() ? 0 : std::strtod(it->second.c_str(), nullptr);
}

std::string Unquoted(const std::string& value) {
  return value.size() >= 2 && value.front() == '"'
             ? value.substr(1, value.size() - 2)
             : value;
}

std::string Stem(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  if (name.ends_with(".so")) name.resize(name.size() - 3);
  return name;
}

// An adapter's row name: the file name of the command's last word.
std::string CommandStem(const std::string& command) {
  std::string last = command;
  while (!last.empty() && last.back() == ' ') last.pop_back();
  return Stem(last.substr(last.rfind(' ') + 1));
}

struct Row {
  std::string path;  // a module's path or an adapter's command
  bool is_command;
  std::string name;  // unique among the rows
  bool promises;     // ours: it promises to hold
};

// Every row the card's modules and commands make, in order: each module,
// then each adapter command. A name that an earlier row has gets its row's
// number.
std::vector<Row> AllRows(const CardOptions& options) {
  std::vector<Row> rows;
  for (const std::string& path : options.modules) {
    rows.push_back({path, false, Stem(path), Stem(path) == "wendlemoor"});
  }
  for (const std::string& command : options.commands) {
    rows.push_back({command, true, CommandStem(command), false});
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (rows[j].name == rows[i].name) {
        rows[i].name += "-" + std::to_string(i + 1);
        break;
      }
    }
  }
  return rows;
}

// The rows the card runs: every row, or those `options.rows` names.
std::vector<Row> Rows(const CardOptions& options) {
  std::vector<Row> rows = AllRows(options);
  if (options.rows.empty()) return rows;
  std::erase_if(rows, [&](const Row& row) {
    return std::find(options.rows.begin(), options.rows.end(), row.name) ==
           options.rows.end();
  });
  return rows;
}

struct Cell {
  std::string module;  // its row's name
  std::string fault;
  std::uint32_t lease_ms = 0;  // its row's lease (0: none)
  bool ran = false;            // the run ended by itself with a result file
  bool supported = true;       // false: an adapter without the fault
  int status = 0;              // its exit status, -1 when killed or not started
  Fields fields;               // its result file's, when it ran
  std::string text;            // the table's words
  std::string timeline;
};

bool CellHolds(const Cell& cell) {
  const auto holds = cell.fields.find("holds");
  return cell.ran && holds != cell.fields.end() && holds->second == "true";
}

// A cell's n: the strikes of its fault, or under none the contended
// handovers; 0 for a cell that did not run.
std::uint64_t CellStrikes(const Cell& cell) {
  const auto it = cell.fields.find(
      cell.fault == "none" ? "handovers" : "struck_" + cell.fault);
  return it == cell.fields.end()
             ? 0
             : std::strtoull(it->second.c_str(), nullptr, 10);
}

// A clean cell whose n is too small to say "holds": no failure, and no
// evidence either.
bool TooFew(const Cell& cell) {
  return CellHolds(cell) && CellStrikes(cell) < kPowerStrikes;
}

// The call with the largest count among the keys `prefix` + call.
int TopCall(const Fields& fields, const std::string& prefix) {
  int top = 0;
  double most = 0;
  for (int call = 1; call < kChaosCalls; ++call) {
    const double count = Number(fields, prefix + kChaosCallKeys[call]);
    if (count > most) {
      most = count;
      top = call;
    }
  }
  return top;
}

// The words of a cell that ran: what broke, the two first things with
// their counts, or "holds", "too few" when its n is below kPowerStrikes or
// "not struck" when its fault never struck; all but the last with its n.
std::string CellText(const Cell& cell) {
  const auto& f = cell.fields;
  std::vector<std::string> parts;
  auto count = [&](const std::string& key) {
    return static_cast<long long>(Number(f, key));
  };
  if (count("crashed") > 0)
    parts.push_back(Format("crash %lld", count("crashed")));
  if (count("overlaps") > 0) {
    // A row whose lock gives fencing tokens says how many a fencing check
    // would have caught.
    parts.push_back(count("tokens") > 0
                        ? Format("overlap %lld (fenced %lld)",
                                 count("overlaps"), count("fenced"))
                        : Format("overlap %lld", count("overlaps")));
  }
  if (count("tokens_backwards") > 0) {
    parts.push_back(
        Format("token went backwards %lld", count("tokens_backwards")));
  }
  if (count("unusable") > 0) {
    parts.push_back(Format("not freed %lld (%.1f s)", count("unusable"),
                           Number(f, "unusable_max_ms") / 1e3));
  }
  if (count("orphaned") > 0) {
    parts.push_back(Format("orphan %lld (%.1f s)", count("orphaned"),
                           Number(f, "orphaned_max_ms") / 1e3));
  }
  if (count("kept_by_child") > 0) {
    parts.push_back(Format("kept by child %lld (%.1f s)",
                           count("kept_by_child"),
                           Number(f, "kept_by_child_max_ms") / 1e3));
  }
  if (count("never_ended") > 0) {
    parts.push_back(Format("never ended %lld", count("never_ended")));
  }
  if (count("hung") > 0) {
    const int call = TopCall(f, "hung_");
    parts.push_back(Format("hung %lld (%s)", count("hung"), kCallShort[call]));
  }
  if (count("wrong_codes") > 0) {
    const int call = TopCall(f, "wrong_");
    const std::string key = std::string("wrong_") + kChaosCallKeys[call];
    const auto code = f.find(key + "_code");
    parts.push_back(Format(
        "%s→%s %lld", kCallShort[call],
        code == f.end() ? "?" : Unquoted(code->second).c_str(), count(key)));
  }
  // Workers that failed without a crash: stuck, or given up on an adapter.
  if (count("failed_workers") > count("crashed")) {
    parts.push_back(
        Format("stuck %lld", count("failed_workers") - count("crashed")));
  }
  const unsigned long long n = CellStrikes(cell);
  const std::string power = Format(" (n=%llu)", n);
  if (parts.empty()) {
    if (!CellHolds(cell)) return "broken" + power;
    if (cell.fault != "none" && n == 0) return "not struck";
    return (n < kPowerStrikes ? "too few" : "holds") + power;
  }
  std::string text = parts[0];
  if (parts.size() > 1) text += ", " + parts[1];
  if (parts.size() > 2) text += ", …";
  return text + power;
}

struct ChildEnd {
  int status = -1;  // its exit status; -1 when not started or killed
  bool overran = false;
};

// Runs `arguments` (this executable's) with a deadline, past which it is
// killed; what it started dies with it (workers and cleanups die with their
// run).
ChildEnd RunChild(const std::string& self,
                  const std::vector<std::string>& arguments, int deadline_ms) {
  std::vector<std::string> strings = {self};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::uint64_t start = JX_MonotonicNanos();
  JX_Process child =
      JX_CreateProcess(self.c_str(), argv.data(), nullptr, nullptr);
  if (child == nullptr) return {};
  ChildEnd end;
  if (JX_WaitProcessOrKill(child, std::uint32_t(deadline_ms), &end.status) !=
      JX_SUCCESS) {
    end.status = -1;
    end.overran =
        JX_MonotonicNanos() - start >= std::uint64_t(deadline_ms) * 1000000;
  }
  return end;
}

bool Interrupted() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  return sigismember(&pending, SIGINT) == 1 ||
         sigismember(&pending, SIGTERM) == 1 ||
         sigismember(&pending, SIGHUP) == 1;
}

// A module row's warm cost, as the table says it and in nanoseconds for the
// JSON (empty when not measured).
struct Cost {
  std::string text = "-";
  std::string ns;
  std::uint32_t lease_ms = 0;  // the module's lease (0: none)
};

Cost MeasureRowCost(const CardOptions& options, const std::string& self,
                    const Row& row) {
  if (row.is_command) return {};
  const std::string base = options.out + "/" + row.name + "-cost";
  const std::string run =
      (options.folder.empty() ? options.out : options.folder) + "/" + row.name +
      "-cost.run";
  const ChildEnd end =
      RunChild(self,
               {"--module", row.path, "--cost", "--folder", run, "--result",
                base + ".json", "--log", base + ".log"},
               kCostDeadlineMs);
  (void)RemoveTree(run);  // left by a child killed at its deadline
  const Fields fields = ReadFields(base + ".json");
  (void)unlink((base + ".json").c_str());
  const auto lease_ms = std::uint32_t(Number(fields, "lease_ms"));
  if (end.status != 0 || fields.count("warm_ns") == 0) {
    return {"failed", "", lease_ms};
  }
  (void)unlink((base + ".log").c_str());  // kept only to say why it failed
  const double ns = Number(fields, "warm_ns");
  return {ns >= 1000 ? Format("%.2f µs", ns / 1e3) : Format("%.0f ns", ns),
          Format("%.0f", ns), lease_ms};
}

// Where a cell's run works and leaves its files: `out`/row-fault.*, and
// its folder in `folder` (or `out`).
std::string CellBase(const CardOptions& options, const Cell& cell) {
  return options.out + "/" + cell.module + "-" + cell.fault;
}
std::string CellFolder(const CardOptions& options, const Cell& cell) {
  return (options.folder.empty() ? options.out : options.folder) + "/" +
         cell.module + "-" + cell.fault + ".run";
}

// What ends `cell` before its time: its strikes, or under none its holds.
std::uint64_t CellStrikesAsked(const CardOptions& options, const Cell& cell) {
  return cell.fault == "none" ? kContentionHolds : options.strikes;
}

// The time a cell under `fault` may take on a lock with a lease, in leases:
// 0 for a class whose strikes do not wait for it. After thread-end, kill,
// orphan, kill-anywhere and remove-held (its renewed worker may hold) a dead
// holder's name stays taken until the lease runs out, while its waiters
// wait: one lease per strike asked (measured at a lease of 2 s: 30 strikes
// took 18 s to over 60 s, where 10 s saw 3 to 14). A stop lasts 1.5 leases,
// and its first strike past the lease shows what the lease does: room for
// four stops.
double LeasesPerCell(const std::string& fault, std::uint64_t strikes) {
  for (const char* waits :
       {"thread-end", "kill", "orphan", "remove-held", "kill-anywhere"}) {
    if (fault == waits) return double(strikes);
  }
  return fault == "stop" ? 4 * 1.5 : 0;
}

// How long `cell` may run: the card's seconds, which its strikes (under
// none its holds) usually end sooner. On a row with a lease, a class whose
// strikes wait for the lease may run the leases LeasesPerCell gives it when
// that is longer, up to kLeaseCapSeconds times the card's seconds, so that a
// long lease costs a bounded time. A cell ends on its strikes, never for
// having broken: the longer time costs the cells that need it.
constexpr int kLeaseCapSeconds = 6;
int CellSeconds(const CardOptions& options, const Cell& cell) {
  const double leases_ms =
      LeasesPerCell(cell.fault, CellStrikesAsked(options, cell)) *
      double(cell.lease_ms);
  const double most = double(options.seconds) * kLeaseCapSeconds;
  const int seconds = int(std::ceil(std::min(leases_ms / 1000, most)));
  return std::max(options.seconds, std::min(seconds, 86400));
}

// A cell's run, started: its child and when it is killed.
struct RunningCell {
  JX_Process process = nullptr;
  std::size_t cell = 0;    // its place in the card's cells
  std::uint64_t kill = 0;  // the deadline, on the monotonic clock
};

// Starts the run of `cell`, of `row`. Returns an empty handle when it could
// not be started.
JX_Process StartCell(const CardOptions& options, const std::string& self,
                     const Row& row, const Cell& cell) {
  const std::string name = CellBase(options, cell);
  // A result file left by an earlier card is no result of this one.
  (void)unlink((name + ".json").c_str());
  std::vector<std::string> strings = {
      self,
      row.is_command ? "--command" : "--module",
      row.path,
      "--faults",
      cell.fault,
      "--seconds",
      std::to_string(CellSeconds(options, cell)),
      "--strikes",
      std::to_string(CellStrikesAsked(options, cell)),
      "--processes",
      std::to_string(options.processes),
      "--threads",
      std::to_string(options.threads),
      "--names",
      std::to_string(options.names),
      "--seed",
      std::to_string(options.seed),
      "--folder",
      CellFolder(options, cell),
      "--result",
      name + ".json",
      "--timeline",
      name + ".svg",
      "--history",
      name + ".history",
      "--log",
      name + ".log"};
  std::vector<char*> argv;
  for (std::string& string : strings) argv.push_back(string.data());
  argv.push_back(nullptr);
  return JX_CreateProcess(self.c_str(), argv.data(), nullptr, nullptr);
}

// Reads what the run of `cell` left, once its child `end`ed, into `cell`.
void EndCell(const CardOptions& options, const ChildEnd& end, Cell* cell) {
  const std::string name = CellBase(options, *cell);
  const int deadline_s = CellSeconds(options, *cell) + options.grace;
  (void)RemoveTree(CellFolder(options, *cell));
  cell->status = end.status;
  if (end.status == 0 || end.status == 1)
    cell->fields = ReadFields(name + ".json");
  // A class that does not apply to the lock (chaos/run.h): "n/a", no run.
  if (end.status == kChaosNotApplicable &&
      ReadFields(name + ".json").count("not_applicable") > 0) {
    (void)unlink((name + ".json").c_str());
    (void)unlink((name + ".log").c_str());
    cell->supported = false;
    cell->text = "n/a";
    return;
  }
  (void)unlink((name + ".json").c_str());
  cell->ran = !cell->fields.empty();
  if (cell->ran) {
    cell->text = CellText(*cell);
  } else if (end.overran) {
    cell->text = Format("killed at its deadline (%d s)", deadline_s);
  } else if (end.status == 130) {
    cell->text = "interrupted";
  } else {
    cell->text = end.status == 2 ? "refused (status 2)"
                                 : Format("run failed (status %d)", end.status);
  }
  if (CellHolds(*cell)) {
    for (const char* file : {".svg", ".history", ".log"}) {
      (void)unlink((name + file).c_str());
    }
  } else if (cell->ran) {
    cell->timeline = cell->module + "-" + cell->fault + ".svg";
  }
}

// Whether an adapter with `supported` faults (none: it cannot run here at
// all) can be put under the card's column `fault`.
bool Supports(FaultSet supported, const std::string& fault) {
  const FaultClass* column = FindFault(fault);  // null: "none"
  return column != nullptr ? Has(supported, column->fault) : supported != 0;
}

// The line on standard error, rewritten, that says which cell runs; nothing
// when standard error is no terminal.
class CardProgress {
 public:
  explicit CardProgress(std::size_t total)
      : terminal_(isatty(STDERR_FILENO) == 1),
        start_(JX_MonotonicNanos()),
        total_(total) {}

  // Cell `cell` is reached: started, or said in words.
  void Reached(const Cell& cell) {
    ++reached_;
    what_ = cell.module + " " + cell.fault;
    Show();
  }
  void Show() const {
    if (!terminal_) return;
    const std::uint64_t seconds = (JX_MonotonicNanos() - start_) / 1000000000;
    std::fprintf(stderr, "\rcell %zu of %zu: %s, %llu:%02llu\x1b[K", reached_,
                 total_, what_.c_str(), (unsigned long long)(seconds / 60),
                 (unsigned long long)(seconds % 60));
  }
  void Clear() const {
    if (terminal_) std::fputs("\r\x1b[K", stderr);
  }

 private:
  const bool terminal_;
  const std::uint64_t start_;
  const std::size_t total_;
  std::size_t reached_ = 0;
  std::string what_;
};

// Runs the cells `to_run` (places in `cells`) of `row`, `options.jobs` at a
// time, each in a process of its own with its deadline. Once
// `*interrupted`, the cells not yet started are not run.
void RunCells(const CardOptions& options, const std::string& self,
              const Row& row, const std::vector<std::size_t>& to_run,
              CardProgress& progress, bool* interrupted,
              std::vector<Cell>* cells) {
  std::vector<RunningCell> running;
  std::size_t next = 0;
  while (next < to_run.size() || !running.empty()) {
    *interrupted = *interrupted || Interrupted();
    while (!*interrupted && next < to_run.size() &&
           running.size() < std::size_t(std::max(options.jobs, 1))) {
      Cell& cell = (*cells)[to_run[next++]];
      progress.Reached(cell);
      const std::uint64_t deadline_s =
          std::uint64_t(CellSeconds(options, cell) + options.grace);
      const JX_Process process = StartCell(options, self, row, cell);
      if (process == nullptr) {
        EndCell(options, {}, &cell);
        continue;
      }
      running.push_back({process, to_run[next - 1],
                         JX_MonotonicNanos() + deadline_s * 1000000000});
    }
    for (; *interrupted && next < to_run.size(); ++next) {
      Cell& cell = (*cells)[to_run[next]];
      progress.Reached(cell);
      cell.status = 130;
      cell.text = "not run (interrupted)";
    }
    if (running.empty()) continue;
    const std::uint64_t now = JX_MonotonicNanos();
    std::uint64_t wait_ms = kProgressMs;
    std::vector<JX_Process> processes;
    for (const RunningCell& r : running) {
      processes.push_back(r.process);
      wait_ms = std::min(wait_ms, r.kill > now ? (r.kill - now) / 1000000 : 0);
    }
    std::size_t index = 0;
    int status = -1;
    const JX_Status waited =
        JX_WaitAnyProcessFor(processes.data(), processes.size(),
                             std::uint32_t(wait_ms), &index, &status);
    if (waited == JX_FAILURE && errno != ECHILD) {
      // Not one of the handles can be waited for: the cells are ended, as
      // failed runs, rather than waited for again and again.
      for (const RunningCell& r : running) {
        (void)JX_WaitProcessOrKill(r.process, 0, nullptr);
        EndCell(options, {}, &(*cells)[r.cell]);
      }
      running.clear();
      continue;
    }
    if (waited != JX_TIMED_OUT) {
      // Ended (or reaped by someone else: ECHILD, a failed run).
      Cell& cell = (*cells)[running[index].cell];
      EndCell(options, {waited == JX_SUCCESS ? status : -1, false}, &cell);
      *interrupted = *interrupted || cell.status == 130;
      running.erase(running.begin() + std::ptrdiff_t(index));
    }
    // The cells past their deadline are killed with what they started.
    const std::uint64_t later = JX_MonotonicNanos();
    for (std::size_t i = 0; i < running.size();) {
      if (later < running[i].kill) {
        ++i;
        continue;
      }
      int code = -1;
      const bool killed =
          JX_WaitProcessOrKill(running[i].process, 0, &code) != JX_SUCCESS;
      EndCell(options, {killed ? -1 : code, killed},
              &(*cells)[running[i].cell]);
      running.erase(running.begin() + std::ptrdiff_t(i));
    }
    progress.Show();
  }
}

// The cells of `row`, in column order. An adapter is asked once what it
// supports and what lease it has; the faults it does not support are cells
// of their own words, not runs. A module row's lease is `module_lease_ms`.
// Once `*interrupted`, the cells left are not run.
void RunRow(const CardOptions& options, const std::string& self, const Row& row,
            std::uint32_t module_lease_ms, CardProgress& progress,
            bool* interrupted, std::vector<Cell>* cells) {
  // A row's lock server is started once, for all its cells, which find it
  // through the environment (chaos/server.h); one that does not start makes
  // the row's cells "not supported".
  std::unique_ptr<Server> server;
  bool server_failed = false;
  const std::string kind = RowServer(row.path, row.is_command);
  if (!kind.empty() && !*interrupted &&
      std::getenv(kServerVariable) == nullptr) {
    const std::string folder = options.out + "/" + row.name + ".server";
    (void)RemoveTree(folder);  // left by a card that was killed
    std::string error = "no such server kind";
    if (IsServerKind(kind)) {
      server = Server::Start(kind, folder, kServerStartMs, &error);
    }
    server_failed = server == nullptr ||
                    setenv(kServerVariable, server->address().c_str(), 1) != 0;
    if (server_failed) {
      std::fprintf(stderr, "wendlemoor-chaos: server %s of %s: %s\n",
                   kind.c_str(), row.name.c_str(), error.c_str());
    } else {
      std::fprintf(stderr, "server %s of %s: %s, started in %llu ms\n",
                   kind.c_str(), row.name.c_str(), server->address().c_str(),
                   static_cast<unsigned long long>(server->start_ms()));
    }
  }
  AdapterFeatures features;
  std::string probe_error;
  const bool probed = row.is_command && !*interrupted && !server_failed &&
                      ProbeAdapter(row.path, &features, &probe_error);
  // An adapter that says what it lacks here (a library, its server)
  // supports nothing; one that cannot be probed at all is tried, and its
  // cells refused.
  const FaultSet supported = !features.missing.empty() || server_failed ? 0
                             : probed ? AdapterFaults(features)
                                      : kAllFaults;
  std::vector<std::size_t> to_run;
  for (const std::string& fault : options.faults) {
    Cell cell;
    cell.module = row.name;
    cell.fault = fault;
    cell.lease_ms = row.is_command ? features.lease_ms : module_lease_ms;
    if (!Supports(supported, fault)) {
      cell.supported = false;
      // An adapter's lock has no cleanup for the run to call.
      const FaultClass* column = FindFault(fault);
      cell.text =
          column != nullptr && column->outside_folder ? "n/a" : "not supported";
      progress.Reached(cell);
    } else {
      to_run.push_back(cells->size());
    }
    cells->push_back(cell);
  }
  RunCells(options, self, row, to_run, progress, interrupted, cells);
  if (server != nullptr) (void)unsetenv(kServerVariable);
}

// The name of the filesystem that holds `path` (its statfs type), the type
// in hex when it is none of the common ones, or "unknown" when it cannot be
// asked.
std::string FilesystemOf(const std::string& path) {
  struct statfs info;
  if (RetryOnEintr([&] { return statfs(path.c_str(), &info); }) != 0) {
    return "unknown";
  }
  struct Known {
    unsigned long type;
    const char* name;
  };
  // ext2, ext3 and ext4 share their magic number.
  static constexpr Known kKnown[] = {{EXT4_SUPER_MAGIC, "ext4"},
                                     {TMPFS_MAGIC, "tmpfs"},
                                     {XFS_SUPER_MAGIC, "xfs"},
                                     {BTRFS_SUPER_MAGIC, "btrfs"},
                                     {OVERLAYFS_SUPER_MAGIC, "overlay"},
                                     {NFS_SUPER_MAGIC, "nfs"},
                                     {RAMFS_MAGIC, "ramfs"},
                                     {F2FS_SUPER_MAGIC, "f2fs"},
                                     {0xFE534D42, "smb"},
                                     {CIFS_SUPER_MAGIC, "cifs"},
                                     {V9FS_MAGIC, "9p"},
                                     {0x65735546, "fuse"},
                                     {0x2fc12fc1, "zfs"},
                                     {0x01161970, "gfs2"},
                                     {0x5346414f, "afs"},
                                     {0x47504653, "gpfs"},
                                     {0x0bd00bd0, "lustre"},
                                     {0x00c36400, "ceph"}};
  const unsigned long type = static_cast<unsigned long>(info.f_type);
  for (const Known& known : kKnown) {
    if (known.type == type) return known.name;
  }
  return Format("0x%lx", type);
}

std::size_t Shown(const std::string& text) {
  // Width in characters: the arrow is one character of three bytes.
  std::size_t shown = 0;
  for (const char c : text)
    shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return shown;
}

std::string Padded(const std::string& text, std::size_t width) {
  const std::size_t shown = Shown(text);
  return text + std::string(width > shown ? width - shown : 0, ' ');
}

// The cell of `row` under `fault`; the card has one for every pair.
const Cell& CellOf(const std::vector<Cell>& cells, const std::string& row,
                   const std::string& fault) {
  static const Cell kNone;
  for (const Cell& cell : cells) {
    if (cell.module == row && cell.fault == fault) return cell;
  }
  return kNone;
}

std::string Table(const CardOptions& options, const std::vector<Cell>& cells,
                  const std::map<std::string, Cost>& costs) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"module"};
  for (const std::string& fault : options.faults) header.push_back(fault);
  header.push_back("warm acquire+release");
  header.push_back("time to free after kill (p50 / max)");
  rows.push_back(header);
  for (const Row& r : Rows(options)) {
    std::vector<std::string> row = {r.name};
    std::string free = "-";
    for (const std::string& fault : options.faults) {
      const Cell& cell = CellOf(cells, r.name, fault);
      row.push_back(cell.text.empty() ? "-" : cell.text);
      if (fault != "kill" || !cell.ran) continue;
      if (Number(cell.fields, "free_count") > 0) {
        free = Format("%.2f / %.2f ms", Number(cell.fields, "free_p50_ms"),
                      Number(cell.fields, "free_max_ms"));
      } else if (Number(cell.fields, "unusable") > 0) {
        free = "never";
      }
    }
    row.push_back(costs.count(r.name) ? costs.at(r.name).text : "-");
    row.push_back(free);
    rows.push_back(row);
  }
  std::vector<std::size_t> widths(header.size(), 3);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], Shown(row[i]));
    }
  }
  std::string text;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    text += "|";
    for (std::size_t i = 0; i < rows[r].size(); ++i) {
      text += " " + Padded(rows[r][i], widths[i]) + " |";
    }
    text += "\n";
    if (r == 0) {
      text += "|";
      for (std::size_t width : widths)
        text += std::string(width + 2, '-') + "|";
      text += "\n";
    }
  }
  return text;
}

std::string CellJson(const CardOptions& options, const Cell& cell,
                     const std::string& cost) {
  // Its power: n, and the failure rate per strike that a clean n allows.
  const std::uint64_t n = CellStrikes(cell);
  JsonFields fields = {
      {"module", JsonString(cell.module)},
      {"fault", JsonString(cell.fault)},
      {"ran", cell.ran ? "true" : "false"},
      {"supported", cell.supported ? "true" : "false"},
      {"status", std::to_string(cell.status)},
      {"text", JsonString(cell.text)},
      {"strikes", std::to_string(n)},
      {"failure_rate_bound", CellHolds(cell) && n > 0
                                 ? Format("%.6g", FailureRateBound(n))
                                 : "null"}};
  if (cell.ran) {
    for (const auto& [key, value] : cell.fields) fields.push_back({key, value});
  } else {
    fields.push_back({"seed", JsonString(std::to_string(options.seed))});
    // Whatever a run killed late may have written is not its result.
    fields.push_back({"holds", "false"});
    for (const char* key : {"overlaps", "unusable", "never_ended", "hung",
                            "wrong_codes", "crashed"}) {
      fields.push_back({key, "0"});
    }
  }
  fields.push_back({"warm_ns", cost.empty() ? "null" : cost});
  fields.push_back(
      {"timeline", cell.timeline.empty() ? "null" : JsonString(cell.timeline)});
  // One line per cell in the array: the file stays a table to the eye.
  return JsonObject(fields, true);
}

// A suite per row, a case per cell: "contention" for the cell without
// faults, else the fault class.
std::string CardJunit(const CardOptions& options,
                      const std::vector<Cell>& cells,
                      const std::string& description) {
  std::vector<JunitSuite> suites;
  for (const Row& row : Rows(options)) {
    JunitSuite suite;
    suite.name = row.name;
    suite.properties = {{row.is_command ? "command" : "module", row.path},
                        {"seed", std::to_string(options.seed)},
                        {"card", description}};
    for (const Cell& cell : cells) {
      if (cell.module != row.name) continue;
      JunitCase c;
      c.name = cell.fault == "none" ? "contention" : cell.fault;
      suite.seconds += cell.ran ? Number(cell.fields, "ran_ms") / 1e3 : 0;
      const auto verdict = cell.fields.find("verdict");
      // Too few strikes to say it holds is no failure, nor a pass.
      if (!cell.supported || TooFew(cell)) {
        c.skipped = cell.text;
      } else if (!cell.ran) {
        c.failure = cell.text;
        c.error = true;
        c.details = "see " + options.out + "/" + cell.module + "-" +
                    cell.fault + ".log";
      } else if (!CellHolds(cell)) {
        c.failure = cell.text;
        c.details = (verdict == cell.fields.end() ? std::string()
                                                  : Unquoted(verdict->second)) +
                    "\ntimeline: " + options.out + "/" + cell.timeline;
      }
      suite.cases.push_back(c);
    }
    suites.push_back(suite);
  }
  return JunitXml(suites);
}

// What the card found, for its status and its JSON.
struct Tally {
  std::size_t broken = 0, not_run = 0, not_supported = 0, too_few = 0;
  std::vector<std::string> promises_broken;  // "row under fault"
};

Tally Count(const CardOptions& options, const std::vector<Cell>& cells) {
  Tally tally;
  for (const Cell& cell : cells) {
    tally.not_supported += !cell.supported;
    tally.not_run += cell.supported && !cell.ran;
    tally.broken += cell.ran && !CellHolds(cell);
    tally.too_few += TooFew(cell);
  }
  for (const Row& row : Rows(options)) {
    for (const std::string& fault : options.faults) {
      const Cell& cell = CellOf(cells, row.name, fault);
      // Ours promises to hold under no fault and the classes it survives,
      // not under a documented limit (FaultClass::ours_survives).
      const FaultClass* column = FindFault(fault);
      const bool promised = column == nullptr || column->ours_survives;
      if (row.promises && promised && cell.ran && !CellHolds(cell)) {
        tally.promises_broken.push_back(row.name + " under " + fault);
      }
    }
  }
  return tally;
}

// Writes report-card.json and the files `options` asks for. Returns false,
// one line on standard error for each, when one could not be written.
bool WriteCard(const CardOptions& options, const std::vector<Cell>& cells,
               const std::map<std::string, Cost>& costs,
               const std::string& description, const std::string& filesystem,
               const Tally& tally, bool interrupted, int status) {
  std::string json = "[\n", array = "[";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const auto cost = costs.find(cells[i].module);
    const std::string line =
        CellJson(options, cells[i], cost == costs.end() ? "" : cost->second.ns);
    json += line + (i + 1 < cells.size() ? ",\n" : "\n");
    array += (i > 0 ? ",\n  " : "\n  ") + line;
  }
  json += "]\n";
  const bool holds =
      tally.broken + tally.not_run + tally.not_supported == 0 && !interrupted;
  const std::vector<std::pair<std::string, std::string>> reports = {
      {options.out + "/report-card.json", json},
      {options.json,
       JsonObject(
           {{"card", JsonString(description)},
            {"seed", JsonString(std::to_string(options.seed))},
            {"strikes", std::to_string(options.strikes)},
            {"power_strikes", std::to_string(kPowerStrikes)},
            {"folder",
             JsonString(options.folder.empty() ? options.out : options.folder)},
            {"filesystem", JsonString(filesystem)},
            {"holds", holds ? "true" : "false"},
            {"status", std::to_string(status)},
            {"cells_broken", std::to_string(tally.broken)},
            {"cells_not_run", std::to_string(tally.not_run)},
            {"cells_not_supported", std::to_string(tally.not_supported)},
            {"cells_too_few", std::to_string(tally.too_few)},
            {"promises_broken", std::to_string(tally.promises_broken.size())},
            {"interrupted", interrupted ? "true" : "false"},
            {"cells", array + "\n]"}})},
      {options.junit, CardJunit(options, cells, description)}};
  bool written = true;
  for (const auto& [path, text] : reports) {
    if (!path.empty() && !WriteTextFile(path, text)) {
      std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", path.c_str(),
                   std::strerror(errno));
      written = false;
    }
  }
  return written;
}

}  // namespace

int RunCard(const CardOptions& options, const std::string& self) {
  for (const std::string& name : options.rows) {
    bool known = false;
    std::string names;
    for (const Row& row : AllRows(options)) {
      known = known || row.name == name;
      names += (names.empty() ? "" : ", ") + row.name;
    }
    if (!known) {
      std::fprintf(stderr,
                   "wendlemoor-chaos: --rows: no row \"%s\" on this card "
                   "(its rows: %s)\n",
                   name.c_str(), names.c_str());
      return 2;
    }
  }
  for (const std::string& folder : {options.out, options.folder}) {
    if (!folder.empty() && mkdir(folder.c_str(), 0755) != 0 &&
        errno != EEXIST) {
      std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", folder.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  // Ctrl-C reaches the cell's run too, which ends, cleans up and reports;
  // the card then stops with what it has.
  sigset_t ending;
  sigemptyset(&ending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, s);
  (void)sigprocmask(SIG_BLOCK, &ending, nullptr);
  const std::vector<Row> rows = Rows(options);
  const std::string folder =
      options.folder.empty() ? options.out : options.folder;
  const std::string filesystem = FilesystemOf(folder);
  const std::string description = Format(
      "%zu rows x %zu faults, each until %" PRIu64 " strikes (none: %" PRIu64
      " holds) or %d s (a lease's: up to %d s), %d processes x %d threads, "
      "%d names, seed %" PRIu64 ", %d at a time",
      rows.size(), options.faults.size(), options.strikes, kContentionHolds,
      options.seconds, options.seconds * kLeaseCapSeconds, options.processes,
      options.threads, options.names, options.seed, std::max(options.jobs, 1));
  std::printf("wendlemoor-chaos --card: %s; lock folders on %s (%s)\n",
              description.c_str(), filesystem.c_str(), folder.c_str());
  std::fflush(stdout);
  std::vector<Cell> cells;
  std::map<std::string, Cost> costs;
  bool interrupted = false;
  CardProgress progress(rows.size() * options.faults.size());
  for (const Row& row : rows) {
    interrupted = interrupted || Interrupted();
    if (!interrupted) costs[row.name] = MeasureRowCost(options, self, row);
    RunRow(options, self, row, costs[row.name].lease_ms, progress, &interrupted,
           &cells);
  }
  progress.Clear();
  std::printf("%s", Table(options, cells, costs).c_str());
  const Tally tally = Count(options, cells);
  int status = interrupted                                           ? 130
               : tally.not_run > 0 || !tally.promises_broken.empty() ? 1
                                                                     : 0;
  if (!WriteCard(options, cells, costs, description, filesystem, tally,
                 interrupted, status) &&
      status != 130) {
    status = 2;
  }
  std::printf(
      "cells: %zu (%zu broken, %zu with too few strikes, %zu not run, %zu not "
      "supported), written to %s/report-card.json (timelines of the cells "
      "that broke beside it)\n",
      cells.size(), tally.broken, tally.too_few, tally.not_run,
      tally.not_supported, options.out.c_str());
  for (const std::string& where : tally.promises_broken) {
    std::printf("broke: %s, a row that promises to hold\n", where.c_str());
  }
  if (tally.not_run > 0 && !interrupted) {
    std::printf("not run: %zu cells (their logs are in %s)\n", tally.not_run,
                options.out.c_str());
  }
  std::fflush(stdout);
  return status;
}

}  // namespace wendlemoor
