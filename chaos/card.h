// The report card: every lock module and adapter under each fault on its
// own, one table.
//
// A cell is one chaos run (chaos/run.h) of one row (a module, --module, or
// an adapter, --command) under one fault class, or under none (plain
// contention between processes and between threads), each a process of its
// own, so that nothing a lock does reaches the card. The run writes its
// verdict and figures to a result file, a JSON object with one key a line
// (--json, chaos/report.h); the card reads them back, adds a module's warm
// acquire+release cost (a --cost process of its own), and prints one table:
// a row per module or adapter, a column per fault class, each cell "holds",
// "not struck" (it held, but its fault never struck), "not supported" (an
// adapter that cannot be put under the fault), "n/a" (a class that strikes
// what a lock made outside its folder, for a lock that makes nothing
// there: the run refuses it, chaos/run.h), what broke in a few words
// with its count, or why it did not run. It writes the same as
// report-card.json (an array of cells), keeps the timeline and the history
// file of every cell that broke and the log of every cell that did not
// hold, and on demand writes the card as one JSON object (--json) and as
// JUnit XML (--junit, chaos/report.h).
//
// A cell is evidence with a stated power. A cell under a fault class runs
// until the fault has struck `strikes` times (the run's --strikes) or for
// `seconds` at most; the cell under none, which has no strike to count,
// until its workers made kContentionHolds holds (or `seconds`): its n,
// counted afterwards, is a part of them. Every cell shows its
// n: the strikes of its fault, or for none the contended handovers (a
// waiter given the name by another holder, chaos/checker.h). A clean cell
// says "holds (n=41)" only when n >= kPowerStrikes; below it says "too few
// (n=7)", and "not struck" for n = 0: no failure in n tries bounds the
// failure rate per try only below about 3/n. A broken cell says what broke
// and its n ("overlap 3933 (n=30)"): one failure is proof whatever n.
// The JSON gives per cell its strikes, the 95% upper bound on the failure
// rate per strike that a clean cell allows (FailureRateBound; null when it
// broke or never struck), its seed and for none its handovers.
//
// Cells of one row run side by side, `jobs` at a time; the module's cost is
// measured before them, alone. Running cells share the cores, so each runs
// slower: the strike-count end keeps each cell's n, not its time. A cell
// whose class strikes the row's lock server (started once for the row,
// chaos/server.h) runs alone, since every cell of the row uses that server;
// on a row without one such cells are "n/a". Rows run one after another,
// in order; `rows` chooses some by their card names.
//
// Every child has a deadline: a cell still running `grace` seconds after
// its time, or a cost measurement after 20 s, is killed with what it
// started, and the card goes on; such a cell did not run. Each run works in
// a folder inside `folder` (or `out`) that the card removes once the child
// has ended; the card's first line names that folder's filesystem, which
// is what a lock of files is tried on.
//
// While standard error is a terminal, one line there, rewritten, says which
// cell runs (k of N, row, fault class) and for how long the card has run.
//
// Thread safety: RunCard runs once per process, on the main thread.
#ifndef WENDLEMOOR_CHAOS_CARD_H_
#define WENDLEMOOR_CHAOS_CARD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "chaos/checker.h"

namespace wendlemoor {

// A clean cell needs this many strikes (or, under none, handovers) to say
// "holds".
inline constexpr std::uint64_t kPowerStrikes = 30;

// How many holds a cell under none runs for, at most the card's seconds.
inline constexpr std::uint64_t kContentionHolds = 1000;

// The 95% upper bound on the failure rate per try that n tries without a
// failure allow: 1 - 0.05^(1/n), about 3/n for large n (the rule of three).
// 1 for n = 0.
double FailureRateBound(std::uint64_t n);

struct CardOptions {
  std::vector<std::string> modules;  // paths, in row order
  // Adapter command lines (chaos/command_run.h), rows after the modules,
  // named after their last word's file name; no cost is measured for them.
  std::vector<std::string> commands;
  std::vector<std::string> faults;  // column order: "none" or a fault name
  // The rows to run, by their card names (see RunCard), in the card's order;
  // empty: every row.
  std::vector<std::string> rows;
  int seconds = 10;                       // the most a cell may run
  std::uint64_t strikes = kPowerStrikes;  // a cell ends after so many
  int jobs = 1;                           // cells of a row that may run at once
  int processes = 4;
  int threads = 3;
  int names = 4;
  std::uint64_t seed = 1;  // every cell's run is made from this seed
  int grace = 60;  // seconds a cell may run past `seconds` before it is killed
  std::string out = "report-card";  // the folder of the JSON and timelines
  std::string folder;               // where the cells' runs work; empty: `out`
  std::string json;   // a JSON file of the card and its cells, or empty
  std::string junit;  // a JUnit XML file: a suite per row, or empty
};

// Runs every cell with `self` (this executable) and prints the table on
// standard output, then a line for each reason it fails. Rows are named
// after their file (a module's without ".so"); a name that an earlier row
// has gets its row's number ("lock-2"). The row of a module file named
// wendlemoor.so is ours, which promises to hold under no fault and under
// the classes it survives (FaultClass::ours_survives); its other cells are
// shown, never counted against it.
// Returns the exit status: 0 when every cell ran (whatever the other rows
// found) and our row held, or was not on the card; 1 when a cell of our row
// broke, or a cell could not be run (refused, failed or killed at its
// deadline; a fault an adapter does not support is no such cell); 2 when
// the out folder or a report file could not be written (one line on
// standard error, the table printed all the same), or `rows` names a row
// the card does not have (nothing run); 130 when interrupted
// (the cells not run then are in the table and the files as such).
int RunCard(const CardOptions& options, const std::string& self);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_CARD_H_
