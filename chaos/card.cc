// The report card: a chaos run per module and fault class, one table.
#include "chaos/card.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "chaos/command_run.h"
#include "chaos/fault.h"
#include "chaos/module_run.h"
#include "chaos/report.h"
#include "runtime/eintr.h"
#include "runtime/process.h"

namespace wendlemoor {

namespace {

// How long a cell's run may take beyond its seconds before the card gives up
// on it: the run itself ends a few seconds after its time, whatever its
// lock does.
constexpr int kCellSlackMs = 60000;
constexpr int kCostDeadlineMs = 20000;

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

// Reads a file written as JsonObject: one "key": value a line.
std::map<std::string, std::string> ReadFields(const std::string& path) {
  std::map<std::string, std::string> fields;
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return fields;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ',')) {
      text.pop_back();
    }
    const std::size_t colon = text.find("\": ");
    if (text.size() < 2 || text[0] != '"' || colon == text.npos) continue;
    fields[text.substr(1, colon - 1)] = text.substr(colon + 3);
  }
  std::fclose(file);
  return fields;
}

double Number(const std::map<std::string, std::string>& fields,
              const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() ? 0 : std::strtod(it->second.c_str(), nullptr);
}

std::string Unquoted(const std::string& value) {
  return value.size() >= 2 && value.front() == '"'
             ? value.substr(1, value.size() - 2)
             : value;
}

struct Cell {
  std::string module;  // the module's file name without ".so"
  std::string fault;
  bool ran = false;  // the run ended by itself with a result file
  int status = 0;    // its exit status
  std::map<std::string, std::string> fields;
  std::string text;  // the table's words
  std::string timeline;
};

// The call with the largest count among the keys `prefix` + call.
int TopCall(const std::map<std::string, std::string>& fields,
            const std::string& prefix) {
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

std::string CellText(const Cell& cell) {
  if (!cell.ran) {
    return cell.status == 2 ? "refused (status 2)"
                            : Format("run failed (status %d)", cell.status);
  }
  const auto& f = cell.fields;
  std::vector<std::string> parts;
  auto count = [&](const char* key) {
    return static_cast<long long>(Number(f, key));
  };
  if (count("crashed") > 0)
    parts.push_back(Format("crash %lld", count("crashed")));
  if (count("overlaps") > 0) {
    parts.push_back(Format("overlap %lld", count("overlaps")));
  }
  if (count("unusable") > 0) {
    parts.push_back(Format("not freed %lld (%.1f s)", count("unusable"),
                           Number(f, "unusable_max_ms") / 1e3));
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
    parts.push_back(
        Format("%s→%s %lld", kCallShort[call],
               code == f.end() ? "?" : Unquoted(code->second).c_str(),
               static_cast<long long>(Number(f, key))));
  }
  if (parts.empty()) {
    return cell.fault != "none" && count(("struck_" + cell.fault).c_str()) == 0
               ? "not struck"
               : "holds";
  }
  std::string text = parts[0];
  if (parts.size() > 1) text += ", " + parts[1];
  if (parts.size() > 2) text += ", …";
  return text;
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
};

// The card's rows in order: each module, then each adapter command. A name
// that an earlier row has gets its row's number.
std::vector<Row> Rows(const CardOptions& options) {
  std::vector<Row> rows;
  for (const std::string& path : options.modules) {
    rows.push_back({path, false, Stem(path)});
  }
  for (const std::string& command : options.commands) {
    rows.push_back({command, true, CommandStem(command)});
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

// Runs `arguments` (this executable's) with a deadline; returns its exit
// status, -1 when it could not start or did not end in time.
int RunChild(const std::string& self, const std::vector<std::string>& arguments,
             int deadline_ms) {
  std::vector<std::string> strings = {self};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  JX_Process child =
      JX_CreateProcess(self.c_str(), argv.data(), nullptr, nullptr);
  if (child == nullptr) return -1;
  int code = -1;
  return WaitChildFor(child, deadline_ms, &code) ? code : -1;
}

bool Interrupted() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  return sigismember(&pending, SIGINT) == 1 ||
         sigismember(&pending, SIGTERM) == 1 ||
         sigismember(&pending, SIGHUP) == 1;
}

std::string Padded(const std::string& text, std::size_t width) {
  // Width in characters: the arrow is one character of three bytes.
  std::size_t shown = 0;
  for (const char c : text)
    shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return text + std::string(width > shown ? width - shown : 0, ' ');
}

std::size_t Shown(const std::string& text) {
  std::size_t shown = 0;
  for (const char c : text)
    shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return shown;
}

std::string Table(const CardOptions& options, const std::vector<Cell>& cells,
                  const std::map<std::string, std::string>& costs) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"module"};
  for (const std::string& fault : options.faults) header.push_back(fault);
  header.push_back("warm acquire+release");
  header.push_back("time to free after kill (p50 / max)");
  rows.push_back(header);
  for (const Row& r : Rows(options)) {
    const std::string& module = r.name;
    std::vector<std::string> row = {module};
    std::string free = "-";
    for (const std::string& fault : options.faults) {
      for (const Cell& cell : cells) {
        if (cell.module != module || cell.fault != fault) continue;
        row.push_back(cell.text);
        if (fault == "kill" && cell.ran) {
          if (Number(cell.fields, "free_count") > 0) {
            free = Format("%.2f / %.2f ms", Number(cell.fields, "free_p50_ms"),
                          Number(cell.fields, "free_max_ms"));
          } else if (Number(cell.fields, "unusable") > 0) {
            free = "never";
          }
        }
      }
    }
    row.resize(options.faults.size() + 1, "-");
    row.push_back(costs.count(module) ? costs.at(module) : "-");
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

std::string CellJson(const Cell& cell, const std::string& cost) {
  JsonFields fields = {{"module", JsonString(cell.module)},
                       {"fault", JsonString(cell.fault)},
                       {"ran", cell.ran ? "true" : "false"},
                       {"status", std::to_string(cell.status)},
                       {"text", JsonString(cell.text)}};
  if (!cell.ran) {
    fields.push_back({"holds", "false"});
    for (const char* key : {"overlaps", "unusable", "never_ended", "hung",
                            "wrong_codes", "crashed"}) {
      fields.push_back({key, "0"});
    }
  }
  for (const auto& [key, value] : cell.fields) fields.push_back({key, value});
  fields.push_back({"warm_ns", cost.empty() ? "null" : cost});
  fields.push_back(
      {"timeline", cell.timeline.empty() ? "null" : JsonString(cell.timeline)});
  // One line per cell in the array: the file stays a table to the eye.
  return JsonObject(fields, true);
}

bool CellHolds(const Cell& cell) {
  const auto holds = cell.fields.find("holds");
  return cell.ran && holds != cell.fields.end() && holds->second == "true";
}

// A suite per module, a case per cell: "contention" for the cell without
// faults, else the fault class.
std::string CardJunit(const CardOptions& options,
                      const std::vector<Cell>& cells,
                      const std::string& description) {
  std::vector<JunitSuite> suites;
  for (const std::string& path : options.modules) {
    JunitSuite suite;
    suite.name = Stem(path);
    suite.properties = {{"module", path},
                        {"seed", std::to_string(options.seed)},
                        {"card", description}};
    for (const Cell& cell : cells) {
      if (cell.module != suite.name) continue;
      JunitCase c;
      c.name = cell.fault == "none" ? "contention" : cell.fault;
      suite.seconds += cell.ran ? Number(cell.fields, "ran_ms") / 1e3 : 0;
      const auto verdict = cell.fields.find("verdict");
      if (!cell.ran) {
        c.failure = cell.text;
        c.error = true;
        c.details = "see " + options.out + "/" + cell.module + "-" +
                    cell.fault + ".log";
      } else if (!CellHolds(cell)) {
        c.failure = cell.text;
        c.details = (verdict == cell.fields.end() ? std::string()
                                                  : Unquoted(verdict->second)) +
                    "\ntimeline: " + options.out + "/" + cell.timeline;
      } else if (cell.text == "not struck") {
        c.skipped = cell.text;
      }
      suite.cases.push_back(c);
    }
    suites.push_back(suite);
  }
  return JunitXml(suites);
}

}  // namespace

int RunCard(const CardOptions& options, const std::string& self) {
  if (mkdir(options.out.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", options.out.c_str(),
                 std::strerror(errno));
    return 1;
  }
  // Ctrl-C reaches the cell's run too, which ends, cleans up and reports;
  // the card then stops with what it has.
  sigset_t ending;
  sigemptyset(&ending);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, s);
  (void)sigprocmask(SIG_BLOCK, &ending, nullptr);
  const std::string description = Format(
      "%zu rows x %zu faults, %d s each, %d processes x %d threads, %d "
      "names, seed %" PRIu64,
      options.modules.size() + options.commands.size(), options.faults.size(),
      options.seconds, options.processes, options.threads, options.names,
      options.seed);
  std::printf("wendlemoor-chaos --card: %s\n", description.c_str());
  std::fflush(stdout);
  std::vector<Cell> cells;
  std::map<std::string, std::string> costs, cost_ns;
  bool interrupted = false;
  bool failed = false;
  const std::size_t total = (options.modules.size() + options.commands.size()) *
                            options.faults.size();
  for (const Row& row : Rows(options)) {
    const std::string& path = row.path;
    const bool is_command = row.is_command;
    const std::string& module = row.name;
    const std::string base = options.out + "/" + module;
    // An adapter is asked once what it supports; the faults it does not
    // are cells of their own words, not runs.
    AdapterFeatures features;
    std::string probe_error;
    const bool probed =
        is_command && ProbeAdapter(self, path, &features, &probe_error);
    const FaultSet supported = probed ? AdapterFaults(features) : kAllFaults;
    if (is_command) {
      costs[module] = "-";
    } else if (RunChild(self,
                        {"--module", path, "--cost", "--result",
                         base + "-cost.json", "--log", base + "-cost.log"},
                        kCostDeadlineMs) == 0) {
      const auto fields = ReadFields(base + "-cost.json");
      const double ns = Number(fields, "warm_ns");
      cost_ns[module] = Format("%.0f", ns);
      costs[module] =
          ns >= 1000 ? Format("%.2f µs", ns / 1e3) : Format("%.0f ns", ns);
      (void)unlink((base + "-cost.log").c_str());
    } else {
      costs[module] = "failed";
    }
    (void)unlink((base + "-cost.json").c_str());
    for (const std::string& fault : options.faults) {
      if (interrupted || Interrupted()) {
        interrupted = true;
        break;
      }
      Cell cell;
      cell.module = module;
      cell.fault = fault;
      const FaultClass* column = FindFault(fault);  // null: "none"
      if (is_command &&
          (!features.missing.empty() ||
           (column != nullptr && !Has(supported, column->fault)))) {
        cell.text = "not supported";
        cells.push_back(cell);
        std::fprintf(stderr, "[%zu/%zu] %s %s: %s\n", cells.size(), total,
                     module.c_str(), fault.c_str(), cell.text.c_str());
        continue;
      }
      const std::string name = base + "-" + fault;
      const std::vector<std::string> arguments = {
          is_command ? "--command" : "--module",
          path,
          "--faults",
          fault,
          "--seconds",
          std::to_string(options.seconds),
          "--processes",
          std::to_string(options.processes),
          "--threads",
          std::to_string(options.threads),
          "--names",
          std::to_string(options.names),
          "--seed",
          std::to_string(options.seed),
          "--result",
          name + ".json",
          "--timeline",
          name + ".svg",
          "--history",
          name + ".history",
          "--log",
          name + ".log"};
      cell.status =
          RunChild(self, arguments, options.seconds * 1000 + kCellSlackMs);
      cell.fields = ReadFields(name + ".json");
      cell.ran = (cell.status == 0 || cell.status == 1) && !cell.fields.empty();
      interrupted = interrupted || cell.status == 130;
      failed = failed || !cell.ran;
      cell.text = CellText(cell);
      if (CellHolds(cell)) {
        (void)unlink((name + ".svg").c_str());
        (void)unlink((name + ".history").c_str());
        (void)unlink((name + ".log").c_str());
      } else {
        cell.timeline = module + "-" + fault + ".svg";
      }
      (void)unlink((name + ".json").c_str());
      cells.push_back(cell);
      std::fprintf(stderr, "[%zu/%zu] %s %s: %s\n", cells.size(), total,
                   module.c_str(), fault.c_str(), cell.text.c_str());
    }
    if (interrupted) break;
  }
  std::printf("%s", Table(options, cells, costs).c_str());
  std::string json = "[\n";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    json += CellJson(cells[i], cost_ns[cells[i].module]) +
            (i + 1 < cells.size() ? ",\n" : "\n");
  }
  json += "]\n";
  const std::string json_path = options.out + "/report-card.json";
  if (!WriteTextFile(json_path, json)) {
    std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", json_path.c_str(),
                 std::strerror(errno));
    failed = true;
  }
  std::size_t broken = 0, not_run = 0;
  std::string array = "[";
  for (const Cell& cell : cells) {
    not_run += !cell.ran;
    broken += cell.ran && !CellHolds(cell);
    array += std::string(array.size() > 1 ? ",\n  " : "\n  ") +
             CellJson(cell, cost_ns[cell.module]);
  }
  const std::vector<std::pair<std::string, std::string>> reports = {
      {options.json,
       JsonObject({{"card", JsonString(description)},
                   {"seed", JsonString(std::to_string(options.seed))},
                   {"holds", broken + not_run == 0 ? "true" : "false"},
                   {"cells_broken", std::to_string(broken)},
                   {"cells_not_run", std::to_string(not_run)},
                   {"interrupted", interrupted ? "true" : "false"},
                   {"cells", array + "\n]"}})},
      {options.junit, CardJunit(options, cells, description)}};
  for (const auto& [path, text] : reports) {
    if (!path.empty() && !WriteTextFile(path, text)) {
      std::fprintf(stderr, "wendlemoor-chaos: %s: %s\n", path.c_str(),
                   std::strerror(errno));
      failed = true;
    }
  }
  std::printf(
      "cells: %zu, written to %s (timelines of the cells that broke "
      "beside it)\n",
      cells.size(), json_path.c_str());
  std::fflush(stdout);
  if (interrupted) return 130;
  return failed ? 1 : 0;
}

}  // namespace wendlemoor
