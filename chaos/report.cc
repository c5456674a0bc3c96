// JSON and JUnit XML of chaos runs.
#include "chaos/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "chaos/fault.h"
#include "runtime/eintr.h"

namespace wendlemoor {

const char* const kChaosCallKeys[kChaosCalls] = {"",
                                                 "acquire_wait",
                                                 "acquire_nowait",
                                                 "release",
                                                 "again",
                                                 "release_again",
                                                 "other_instance",
                                                 "forked_release",
                                                 "forked_acquire"};

namespace {

std::string Format(const char* format, auto... arguments) {
  char text[512];
  std::snprintf(text, sizeof text, format, arguments...);
  return text;
}

std::string Millis(std::uint64_t nanos) {
  return Format("%.3f", double(nanos) / 1e6);
}

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by '?': neither JSON nor XML may hold one, and a module's file
// name may.
std::string ValidUtf8(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = c < 0x80           ? 1
                               : (c >> 5) == 0x6  ? 2
                               : (c >> 4) == 0xE  ? 3
                               : (c >> 3) == 0x1E ? 4
                                                  : 0;
    bool whole =
        length > 0 && i + length <= text.size() && !(length == 2 && c < 0xC2);
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (whole) {
      out.append(text, i, length);
      i += length;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : ValidUtf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += Format("\\u%04x", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonObject(const JsonFields& fields, bool one_line) {
  const char* const end = one_line ? " " : "\n";
  std::string text = std::string("{") + end;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    text += JsonString(fields[i].first) + ": " + fields[i].second +
            (i + 1 < fields.size() ? "," : "") + end;
  }
  return text + (one_line ? "}" : "}\n");
}

JsonFields CheckJsonFields(const ChaosCheck& check, int seconds) {
  const ChaosVerdict& v = check.verdict;
  const ChaosFigures& f = check.figures;
  JsonFields fields;
  auto number = [&](const std::string& key, std::uint64_t value) {
    fields.push_back({key, std::to_string(value)});
  };
  auto millis = [&](const std::string& key, std::uint64_t nanos) {
    fields.push_back({key, Millis(nanos)});
  };
  fields.push_back({"holds", v.clean() ? "true" : "false"});
  fields.push_back({"verdict", JsonString(VerdictLine(v))});
  number("overlaps", v.overlaps);
  // A lock's fencing tokens (0, 0, 0 without): how many holds came with
  // one, the overlaps they fenced, and the tokens that went backwards.
  number("tokens", v.tokens);
  number("fenced", v.fenced);
  number("tokens_backwards", v.backwards);
  number("indeterminate", v.indeterminate);
  number("unusable", v.unusable);
  millis("unusable_max_ms", v.unusable_max);
  number("orphaned", v.orphaned);
  millis("orphaned_max_ms", v.orphaned_max);
  number("kept_by_child", v.kept_by_child);
  millis("kept_by_child_max_ms", v.kept_max);
  number("never_ended", v.never_ended);
  number("hung", v.hung);
  number("wrong_codes", v.wrong_codes);
  number("crashed", v.crashed_workers);
  number("failed_workers", v.failed_workers);
  fields.push_back({"interrupted", v.interrupted ? "true" : "false"});
  number("seconds", std::uint64_t(seconds));
  millis("ran_ms", f.end - f.start);
  number("acquisitions", f.acquisitions);
  number("busy", f.busy);
  number("handovers", f.handovers);
  std::string per_name = "[";
  for (const std::uint64_t holds : f.holds_per_name) {
    per_name += (per_name.size() > 1 ? ", " : "") + std::to_string(holds);
  }
  fields.push_back({"holds_per_name", per_name + "]"});
  millis("wait_p50_ms", f.wait_p50);
  millis("wait_p99_ms", f.wait_p99);
  millis("wait_max_ms", f.wait_max);
  number("free_count", f.freed);
  millis("free_p50_ms", f.free_p50);
  millis("free_max_ms", f.free_max);
  for (const FaultClass& c : FaultTable()) {
    number(std::string("struck_") + c.name,
           f.faults[static_cast<int>(c.fault)]);
  }
  for (int call = 1; call < kChaosCalls; ++call) {
    if (f.calls[call] > 0) {
      number(std::string("calls_") + kChaosCallKeys[call], f.calls[call]);
    }
    if (v.wrong_by_call[call] > 0) {
      number(std::string("wrong_") + kChaosCallKeys[call],
             v.wrong_by_call[call]);
      fields.push_back({std::string("wrong_") + kChaosCallKeys[call] + "_code",
                        JsonString(ChaosCodeText(v.first_wrong_code[call]))});
    }
    if (v.hung_by_call[call] > 0) {
      number(std::string("hung_") + kChaosCallKeys[call], v.hung_by_call[call]);
    }
  }
  std::string examples = "[";
  for (const std::string& example : v.examples) {
    examples += (examples.size() > 1 ? ", " : "") + JsonString(example);
  }
  fields.push_back({"examples", examples + "]"});
  return fields;
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : ValidUtf8(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' &&
                       c != '\r'
                   ? '?'
                   : c;
    }
  }
  return out;
}

std::string JunitXml(const std::vector<JunitSuite>& suites) {
  std::size_t tests = 0, failures = 0, errors = 0, skipped = 0;
  std::string body;
  for (const JunitSuite& suite : suites) {
    std::size_t suite_failures = 0, suite_errors = 0, suite_skipped = 0;
    std::string cases;
    for (const JunitCase& c : suite.cases) {
      cases += "    <testcase classname=\"" + XmlEscaped(suite.name) +
               "\" name=\"" + XmlEscaped(c.name) + "\"";
      if (!c.failure.empty()) {
        const char* tag = c.error ? "error" : "failure";
        ++(c.error ? suite_errors : suite_failures);
        cases += Format(">\n      <%s message=\"", tag) +
                 XmlEscaped(c.failure) + "\" type=\"" +
                 (c.error ? "not run" : "broken") + "\">" +
                 XmlEscaped(c.details) + Format("</%s>\n", tag) +
                 "    </testcase>\n";
      } else if (!c.skipped.empty()) {
        ++suite_skipped;
        cases += ">\n      <skipped message=\"" + XmlEscaped(c.skipped) +
                 "\"/>\n    </testcase>\n";
      } else {
        cases += "/>\n";
      }
    }
    body += "  <testsuite name=\"" + XmlEscaped(suite.name) +
            Format(
                "\" tests=\"%zu\" failures=\"%zu\" errors=\"%zu\" "
                "skipped=\"%zu\" time=\"%.3f\">\n",
                suite.cases.size(), suite_failures, suite_errors, suite_skipped,
                suite.seconds);
    if (!suite.properties.empty()) {
      body += "    <properties>\n";
      for (const auto& [name, value] : suite.properties) {
        body += "      <property name=\"" + XmlEscaped(name) + "\" value=\"" +
                XmlEscaped(value) + "\"/>\n";
      }
      body += "    </properties>\n";
    }
    body += cases + "  </testsuite>\n";
    tests += suite.cases.size();
    failures += suite_failures;
    errors += suite_errors;
    skipped += suite_skipped;
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" +
         Format(
             "<testsuites name=\"wendlemoor-chaos\" tests=\"%zu\" "
             "failures=\"%zu\" errors=\"%zu\" skipped=\"%zu\">\n",
             tests, failures, errors, skipped) +
         body + "</testsuites>\n";
}

std::vector<JunitCase> RunJunitCases(const ChaosCheck& check,
                                     std::uint32_t faults,
                                     std::size_t findings) {
  const ChaosVerdict& v = check.verdict;
  // Case 0 is plain contention, case 1 + f the fault class f.
  std::vector<std::vector<std::string>> problems(kFaultCount + 1);
  int count = 0;
  const FaultClass* only = nullptr;
  // The one class injected that ends holds, if only one does.
  const FaultClass* only_ending = nullptr;
  int ending = 0;
  for (const FaultClass& c : FaultTable()) {
    if (!Has(faults, c.fault)) continue;
    only = &c;
    ++count;
    if (c.ends != FaultEnds::kNone) {
      only_ending = &c;
      ++ending;
    }
  }
  const auto case_of = [](const FaultClass& c) {
    return 1 + static_cast<int>(c.fault);
  };
  const int general = count == 1 ? case_of(*only) : 0;
  auto add = [&](int owner, std::uint64_t n, const std::string& text) {
    if (n > 0) problems[owner].push_back(std::to_string(n) + " " + text);
  };
  add(general, v.overlaps,
      v.tokens == 0 ? std::string("overlapping holds")
                    : Format("overlapping holds (fenced %llu)",
                             static_cast<unsigned long long>(v.fenced)));
  add(general, v.backwards, "tokens went backwards");
  add(general, v.never_ended, "holds never ended");
  add(general, v.failed_workers, "workers crashed or hung");
  add(ending == 1 ? case_of(*only_ending) : general, v.unusable,
      Format("names unusable after their holder was gone (longest %.1f s)",
             double(v.unusable_max) / 1e9));
  add(Has(faults, ChaosFault::kOrphan) ? case_of(FaultOf(ChaosFault::kOrphan))
                                       : general,
      v.orphaned,
      Format("names held by an orphan (longest %.1f s)",
             double(v.orphaned_max) / 1e9));
  add(Has(faults, ChaosFault::kSpawn) ? case_of(FaultOf(ChaosFault::kSpawn))
                                      : general,
      v.kept_by_child,
      Format("names kept by a spawned child after the release (longest "
             "%.1f s)",
             double(v.kept_max) / 1e9));
  for (int call = 1; call < kChaosCalls; ++call) {
    const auto which = static_cast<ChaosCall>(call);
    const FaultClass* judge = FaultJudging(which);
    const int owner = judge != nullptr && Has(faults, judge->fault)
                          ? case_of(*judge)
                          : general;
    add(owner, v.wrong_by_call[call],
        std::string("wrong codes from ") + ChaosCallText(which) + " (first " +
            ChaosCodeText(v.first_wrong_code[call]) + ")");
    add(owner, v.hung_by_call[call],
        std::string("calls hung: ") + ChaosCallText(which));
  }
  std::string details = VerdictLine(v);
  for (std::size_t i = 0; i < v.examples.size() && i < findings; ++i) {
    details += "\nfound: " + v.examples[i];
  }
  if (v.examples.size() > findings) {
    details += "\n" + std::to_string(v.examples.size() - findings) +
               " more findings in the JSON file";
  }
  std::vector<JunitCase> cases;
  for (int owner = 0; owner <= kFaultCount; ++owner) {
    const FaultClass* c =
        owner == 0 ? nullptr : &FaultOf(static_cast<ChaosFault>(owner - 1));
    if (c != nullptr && !Has(faults, c->fault)) continue;
    JunitCase junit;
    junit.name = c == nullptr ? "contention" : c->name;
    for (const std::string& problem : problems[owner]) {
      junit.failure += (junit.failure.empty() ? "" : "; ") + problem;
    }
    if (!junit.failure.empty()) {
      if (owner == 0 && count > 1) {
        junit.failure =
            "with " + FaultNames(faults) + " together: " + junit.failure;
      }
      junit.details = details;
    } else if (c != nullptr && check.figures.faults[owner - 1] == 0) {
      junit.skipped = "not struck";
    }
    cases.push_back(junit);
  }
  return cases;
}

}  // namespace wendlemoor
