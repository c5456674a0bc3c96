// The lock benchmark: what a lock costs through the lock service, beside the
// kernel primitive it is built on, and what a whole driver run costs. Prints
// one table; every row is measured in this run. The primitive ("raw", "kept")
// is judged with the one check after each lock that the service makes to
// survive its files' removal; the warm pair is also set beside the bare lock,
// for what that check costs.
//
// Rows that need other processes fork workers from this single-threaded
// process; they share anonymous memory, stamp times on CLOCK_MONOTONIC, and
// every phase has a deadline after which its workers are killed, so a broken
// lock shows up as a failed row and never as a hang.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/measurements.h"

using wendlemoor::InterfacePtr;
using wendlemoor::LockService;

namespace {

// ---- The table ------------------------------------------------------------

class Table {
 public:
  void Add(std::string what, std::string value, std::string goal,
           std::string met) {
    rows_.push_back(
        {std::move(what), std::move(value), std::move(goal), std::move(met)});
  }
  void Rule() { rows_.push_back({}); }
  void Print() const {
    std::printf("%-46s %-24s %-16s %s\n", "measurement", "value", "goal",
                "met");
    for (const Row& row : rows_) {
      if (row.what.empty()) {
        std::printf("%.98s\n",
                    "---------------------------------------------------------"
                    "-----------------------------------------");
      } else {
        std::printf("%-46s %-24s %-16s %s\n", row.what.c_str(),
                    row.value.c_str(), row.goal.c_str(), row.met.c_str());
      }
    }
  }

 private:
  struct Row {
    std::string what, value, goal, met;
  };
  std::vector<Row> rows_;
};

std::string Format(const char* format, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

const char* Verdict(bool met) { return met ? "yes" : "NO"; }

// ---- The measurements -----------------------------------------------------

constexpr int kWaiterCounts[] = {1, 10, 50};
constexpr int kWaits = 3;  // of a blocked waiter and of a sleeper
constexpr int kRuns = 3;   // of the driver
// A service that does not exclude returns from every acquisition at once:
// its rows are still printed, but judged invalid rather than fast.
constexpr const char* kInvalid = "INVALID (no lock)";

// Everything the table shows, all measured before any of it is printed.
struct Measured {
  bool service_locks = false;
  PairCosts pairs;
  HandoffCosts handoff[2][3];  // [service?][waiters]
  double woken[2][3];          // [service?][waiters]; -1 when not measured
  double shortest_wait_ms = 1e9;
  // CPU per second waited, of each wait.
  std::vector<double> blocked_cpu, sleeper_cpu;
  std::vector<RunCosts> runs;
  std::vector<double> run_cpu;
  long max_rss_kib = 0;
  bool runs_ok = true;

  // The verdict of a row that times the service.
  const char* ServiceVerdict(bool met) const {
    return service_locks ? Verdict(met) : kInvalid;
  }
};

void MeasureHandoffs(const TempFolder& folder, Measured* m) {
  // All six configurations take turns in every round, in a rotating order:
  // the goals compare them with each other, so a busy spell of the machine
  // must not land on one configuration alone.
  for (int round = 0; round < kHandoffRounds; ++round) {
    std::fprintf(stderr, "handoff, round %d of %d...\n", round + 1,
                 kHandoffRounds);
    for (int k = 0; k < 6; ++k) {
      const int config = (round + k) % 6;
      const int w = config / 2;
      const bool via_service = config % 2 == 0;
      // Without a lock nobody waits, and there is no handoff to time.
      if (via_service && !m->service_locks) continue;
      MeasureHandoff(folder, via_service, kWaiterCounts[w],
                     kHandoffSamples / kHandoffRounds,
                     &m->handoff[via_service][w]);
    }
  }
}

void MeasureWokenPerRelease(LockService* service, const TempFolder& folder,
                            Measured* m) {
  std::fprintf(stderr, "waiters woken per release...\n");
  for (int w = 0; w < 3; ++w) {
    for (int via_service = 1; via_service >= 0; --via_service) {
      m->woken[via_service][w] =
          via_service && !m->service_locks
              ? -1
              : MeasureWakeups(service, folder, via_service != 0,
                               kWaiterCounts[w]);
    }
  }
}

void MeasureBlockedWaits(LockService* service, const TempFolder& folder,
                         Measured* m) {
  std::fprintf(stderr, "a waiter blocked for one second, and a sleeper...\n");
  // CPU per second waited, median of a few waits: one wake-up that lands on a
  // busy moment of the machine costs several times the usual.
  for (int i = 0; i < kWaits; ++i) {
    const BlockedCosts blocked = MeasureBlockedWaiter(service, folder);
    m->shortest_wait_ms = std::min(m->shortest_wait_ms, blocked.waited_ms);
    m->blocked_cpu.push_back(blocked.cpu_us / (blocked.waited_ms / 1e3));
    const BlockedCosts sleeper = MeasureSleeper();
    m->sleeper_cpu.push_back(sleeper.cpu_us / (sleeper.waited_ms / 1e3));
  }
}

void MeasureDriverRuns(Measured* m) {
  std::fprintf(stderr, "three runs of Wendlemoor -10...\n");
  for (int i = 0; i < kRuns; ++i) {
    m->runs.push_back(MeasureDriverRun());
    if (m->runs.back().status != 0) m->runs_ok = false;
    m->run_cpu.push_back(m->runs.back().cpu_ms);
    m->max_rss_kib = std::max(m->max_rss_kib, m->runs.back().max_rss_kib);
  }
}

// ---- The table's sections -------------------------------------------------

void AddPairRows(const Measured& m, Table* table) {
  const PairCosts& pairs = m.pairs;
  table->Add("warm acquire+release, service (ns)",
             Format("%.0f", pairs.service_warm_ns), "", "");
  table->Add("  kept description, OFD lock+check+unlock (ns)",
             Format("%.0f", pairs.kept_checked_ns), "", "");
  table->Add("  kept description, OFD lock+unlock (ns)",
             Format("%.0f", pairs.kept_ofd_ns), "", "");
  table->Add("  kept description, flock+unflock (ns)",
             Format("%.0f", pairs.kept_flock_ns), "", "");
  table->Add("warm pair service/kept OFD+check",
             Format("%.3f", pairs.warm_checked_ratio), "<= 1.25",
             m.ServiceVerdict(pairs.warm_checked_ratio <= 1.25));
  table->Add("warm pair service/kept OFD",
             Format("%.3f", pairs.warm_bare_ratio), "", "");
  table->Add("cold acquire+release, service (ns)",
             Format("%.0f", pairs.service_cold_ns), "", "");
  table->Add("  raw open+lock+check+unlock+close (ns)",
             Format("%.0f", pairs.raw_ns), "", "");
  table->Add("cold pair service/raw", Format("%.3f", pairs.cold_ratio),
             "<= 1.25", m.ServiceVerdict(pairs.cold_ratio <= 1.25));
}

// A row with overlapping holders, missing samples or killed workers is
// flagged, so that its numbers are not taken at face value.
std::string HandoffNote(const HandoffCosts& h) {
  std::string note;
  if (h.overlaps != 0) note += "overlaps=" + std::to_string(h.overlaps) + " ";
  if (h.short_queue != 0) {
    note += "short-queue=" + std::to_string(h.short_queue) + " ";
  }
  if (h.killed != 0) note += "killed=" + std::to_string(h.killed) + " ";
  if (h.failed != 0) note += "failed=" + std::to_string(h.failed) + " ";
  if (h.micros.size() < kHandoffSamples) note += "short-run ";
  return note;
}

void AddHandoffRows(const Measured& m, Table* table) {
  for (int w = 0; w < 3; ++w) {
    for (int via_service = 1; via_service >= 0; --via_service) {
      const HandoffCosts& h = m.handoff[via_service][w];
      char what[96];
      std::snprintf(what, sizeof what,
                    "handoff, %2d waiting, %-7s p50/p99 (us)", kWaiterCounts[w],
                    via_service ? "service" : "raw");
      char value[96];
      std::snprintf(value, sizeof value, "%.1f / %.1f  n=%zu",
                    Percentile(h.micros, 0.50), Percentile(h.micros, 0.99),
                    h.micros.size());
      table->Add(what, value, "", HandoffNote(h));
    }
    const double ratio =
        MedianRatio(m.handoff[1][w].round_p50, m.handoff[0][w].round_p50);
    char what[96];
    std::snprintf(what, sizeof what, "handoff, %2d waiting, service/raw p50",
                  kWaiterCounts[w]);
    table->Add(
        what, Format("%.3f", ratio), "<= 1.25",
        m.ServiceVerdict(!m.handoff[1][w].micros.empty() && ratio <= 1.25));
  }
}

void AddWakeupRows(const Measured& m, Table* table) {
  for (int w = 0; w < 3; ++w) {
    for (int via_service = 1; via_service >= 0; --via_service) {
      const double value = m.woken[via_service][w];
      char what[96];
      std::snprintf(what, sizeof what,
                    "waiters woken per release, %2d waiting, %s",
                    kWaiterCounts[w], via_service ? "service" : "raw");
      // Counted in whole blocks, so anything above 1 is a waiter woken for
      // nothing.
      const bool met = value >= 0 && value <= 1.0;
      const char* verdict = value < 0 ? "NO (not measured)" : Verdict(met);
      if (via_service && !m.service_locks) verdict = kInvalid;
      table->Add(what, value < 0 ? "-" : Format("%.2f", value), "1", verdict);
    }
  }
}

// How a handoff's time grows with the queue behind the holder.
void AddQueueScalingRows(const Measured& m, Table* table) {
  for (int via_service = 1; via_service >= 0; --via_service) {
    const HandoffCosts* const h = m.handoff[via_service];
    const double scale = MedianRatio(h[2].round_p50, h[0].round_p50);
    const bool met = !h[2].micros.empty() && scale <= 2.0;
    table->Add(via_service ? "handoff p50, 50 waiting / 1 waiting, service"
                           : "handoff p50, 50 waiting / 1 waiting, raw",
               Format("%.3f", scale), "<= 2",
               via_service ? m.ServiceVerdict(met) : Verdict(met));
  }
}

void AddBlockedRows(const Measured& m, Table* table) {
  const double cpu_per_second = Median(m.blocked_cpu);
  table->Add("blocked waiter, shortest of 3 waits (ms)",
             Format("%.0f", m.shortest_wait_ms), "~1000", "");
  table->Add(
      "blocked waiter, CPU per second waited (us)",
      Format("%.1f", cpu_per_second), "< 1000",
      m.ServiceVerdict(m.shortest_wait_ms > 900 && cpu_per_second < 1000));
  table->Add("  for scale: sleeping thread, CPU per second",
             Format("%.1f", Median(m.sleeper_cpu)), "", "");
}

void AddDriverRunRows(const Measured& m, Table* table) {
  const std::vector<double>& run_cpu = m.run_cpu;
  const double cpu_ms = Median(run_cpu);
  char value[96];
  std::snprintf(value, sizeof value, "%.0f (%.0f-%.0f, of %d)", cpu_ms,
                *std::min_element(run_cpu.begin(), run_cpu.end()),
                *std::max_element(run_cpu.begin(), run_cpu.end()), kRuns);
  table->Add("Wendlemoor -10, CPU all processes (ms)", value, "<= 60",
             m.runs_ok ? Verdict(cpu_ms <= 60) : "NO (run failed)");
  std::snprintf(value, sizeof value, "user %.0f sys %.0f",
                m.runs[kRuns / 2].user_ms, m.runs[kRuns / 2].sys_ms);
  table->Add("Wendlemoor -10, CPU split of one run (ms)", value, "", "");
  table->Add("Wendlemoor -10, peak RSS of one process (KiB)",
             Format("%.0f", static_cast<double>(m.max_rss_kib)), "<= 4096",
             m.runs_ok ? Verdict(m.max_rss_kib <= 4096) : "NO (run failed)");
  table->Add(
      "Wendlemoor -10, wall time (ms)", Format("%.0f", m.runs[0].wall_ms), "",
      m.runs[0].private_folder ? "private lock folder" : "SHARED lock folder");
}

// ---- What goes under the table --------------------------------------------

void PrintNotes(const Measured& m) {
  std::printf(
      "\n\"check\": the fstat after each lock that tells that the locked file "
      "is still linked;\nraw rows make it too. Goal ratios are medians of "
      "per-round ratios.\n");
  for (int i = 0; i < kRuns; ++i) {
    const int status = m.runs[i].status;
    if (status == -1) {
      std::printf("run %d of Wendlemoor -10: killed at its deadline\n", i + 1);
    } else if (status == -2) {
      std::printf("run %d of Wendlemoor -10: could not be run (see above)\n",
                  i + 1);
    } else if (status != 0) {
      std::printf("run %d of Wendlemoor -10: wait status %#x\n", i + 1,
                  static_cast<unsigned>(status));
    }
  }
  if (!m.service_locks) {
    std::printf(
        "\nThe service returned from AcquireLock without a kernel lock on the "
        "name's file:\nits rows measure no locking at all.\n");
  }
}

}  // namespace

int main() {
  const HostFacts host = ReadHostFacts();
  TempFolder folder;
  InterfacePtr<LockService> service = NewService(folder);
  Measured m;

  std::fprintf(stderr, "checking that the service locks...\n");
  m.service_locks = ServiceLocks(service.get(), folder);
  std::fprintf(stderr, "uncontended pairs...\n");
  m.pairs = MeasurePairs(service.get(), folder);
  MeasureHandoffs(folder, &m);
  MeasureWokenPerRelease(service.get(), folder, &m);
  MeasureBlockedWaits(service.get(), folder, &m);
  MeasureDriverRuns(&m);
  service.reset();

  std::printf("Wendlemoor lock benchmark  %s\n", host.date.c_str());
  std::printf("kernel %s, CPU %s, %ld cores\n\n", host.kernel.c_str(),
              host.cpu_model.c_str(), host.cores);
  Table table;
  AddPairRows(m, &table);
  table.Rule();
  AddHandoffRows(m, &table);
  AddWakeupRows(m, &table);
  AddQueueScalingRows(m, &table);
  table.Rule();
  AddBlockedRows(m, &table);
  table.Rule();
  AddDriverRunRows(m, &table);
  table.Print();
  PrintNotes(m);
  return 0;
}
