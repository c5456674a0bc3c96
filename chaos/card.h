// The report card: every lock module under each fault on its own, one table.
//
// A cell is one chaos run (chaos/run.h) of one module (--module) under one
// fault class, or under none (plain contention between processes and
// between threads), each a process of its own, so that nothing a module does
// reaches the card. The run writes its verdict and figures to a result file,
// a JSON object with one key a line (--json, chaos/report.h); the card reads
// them back, adds the module's warm acquire+release cost (a --cost process of
// its own), and prints one table: a row per module, a column per fault class,
// each cell "holds" or what broke in a few words with its count. It writes
// the same as report-card.json (an array of cells), keeps the timeline and
// the history file of every cell that broke, and on demand writes the card
// as one JSON object (--json) and as JUnit XML (--junit, chaos/report.h).
//
// Thread safety: RunCard runs once per process, on the main thread.
#ifndef WENDLEMOOR_CHAOS_CARD_H_
#define WENDLEMOOR_CHAOS_CARD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "chaos/checker.h"

namespace wendlemoor {

struct CardOptions {
  std::vector<std::string> modules;  // paths, in row order
  // Adapter command lines (chaos/command_run.h), rows after the modules,
  // named after their last word's file name; no cost is measured for them.
  std::vector<std::string> commands;
  std::vector<std::string> faults;  // column order: "none" or a fault name
  int seconds = 2;
  int processes = 4;
  int threads = 3;
  int names = 4;
  std::uint64_t seed = 1;
  std::string out = "report-card";  // the folder of the JSON and timelines
  std::string json;   // a JSON file of the card and its cells, or empty
  std::string junit;  // a JUnit XML file: a suite per module, or empty
};

// Runs every cell with `self` (this executable) and prints the table on
// standard output. Returns 0 when every cell ran (whatever it found), 1 when
// one could not be run or the files not written, 130 when interrupted.
int RunCard(const CardOptions& options, const std::string& self);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_CARD_H_
