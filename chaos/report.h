// The files a chaos run leaves for CI to read: its verdict and figures as
// JSON, and as JUnit XML a test case per fault class. The run, the check of
// a kept history (--check) and the report card write them with these.
//
// Thread safety: pure functions. Ownership: results
// are the caller's.
#ifndef WENDLEMOOR_CHAOS_REPORT_H_
#define WENDLEMOOR_CHAOS_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "chaos/checker.h"

namespace wendlemoor {

// The calls of ChaosCall as the keys of result files ("acquire_wait").
extern const char* const kChaosCallKeys[kChaosCalls];

// `text` as a JSON string, quotes included: '"', '\\' and control
// characters escaped, every other byte as it is.
std::string JsonString(const std::string& text);

// A JSON object's members in order: a key and its value, already JSON.
using JsonFields = std::vector<std::pair<std::string, std::string>>;

// The object of `fields`, one member a line ending in "\n" (the card reads
// such a file back line by line), or all on one line when `one_line`.
std::string JsonObject(const JsonFields& fields, bool one_line = false);

// The verdict and the figures of a run of `seconds`, as JSON members: the
// counts of the verdict, the figures the run prints, and per call and fault
// class what happened. A run adds its own description and seed.
JsonFields CheckJsonFields(const ChaosCheck& check, int seconds);

// `text` with '&', '<', '>', '"' and '\'' as XML entities, and the control
// characters XML 1.0 cannot hold (all below 0x20 but tab, newline and
// carriage return) as '?'.
std::string XmlEscaped(const std::string& text);

struct JunitCase {
  std::string name;
  std::string failure;  // the message of a failure; empty: passed
  std::string details;  // the failure's text
  std::string skipped;  // the reason it was skipped, or empty
  bool error = false;   // the failure is an error: the case did not run
};

struct JunitSuite {
  std::string name;
  double seconds = 0;
  // Name and value pairs CI shows beside the cases: the seed, the run.
  std::vector<std::pair<std::string, std::string>> properties;
  std::vector<JunitCase> cases;
};

// A JUnit XML document of `suites` (a <testsuites> root, a <testsuite> each).
std::string JunitXml(const std::vector<JunitSuite>& suites);

// The test cases of one run that injected the faults of `faults` (a bit per
// ChaosFault): "contention" (the lock under plain contention) and one per
// fault class injected, named as --faults spells it. A fault class that never
// struck is skipped. A failure goes to the class it belongs to: wrong codes
// and hung calls to the class that judges the call (FaultClass::judges:
// misuse, two-instances, fork), a name left unusable to the class that ends
// holds (thread-end or kill) when only one such was injected; one
// that no single class explains (an overlap, a hold never ended, a crashed
// worker) goes to the only class injected, or else to "contention", whose
// text then says which faults struck together. A failure's text is the
// verdict and the first `findings` findings.
std::vector<JunitCase> RunJunitCases(const ChaosCheck& check,
                                     std::uint32_t faults,
                                     std::size_t findings = 5);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_REPORT_H_
