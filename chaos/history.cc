#include "chaos/history.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "chaos/control.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"

namespace wendlemoor {

const char* AdapterFaultText(AdapterFault fault) {
  switch (fault) {
    case AdapterFault::kNone:
      return "none";
    case AdapterFault::kCannotStart:
      return "cannot be started";
    case AdapterFault::kExited:
      return "exited";
    case AdapterFault::kGarbage:
      return "answered garbage";
    case AdapterFault::kLate:
      return "answered late or not at all";
    case AdapterFault::kVersion:
      return "speaks another protocol version";
  }
  return "?";
}

bool RecordEvent(int fd, ChaosRecord record) {
  record.time = JX_MonotonicNanos();
  record.pid = getpid();
  // One write of a few bytes to a file opened with O_APPEND lands whole and
  // is never interleaved with another thread's or process's record.
  return WriteAll(fd, reinterpret_cast<const char*>(&record), sizeof record);
}

namespace {

// Reads the whole file at `path` into `*bytes`; false with errno set.
bool ReadBytes(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd == -1) return false;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n =
        RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
    if (n == 0) break;
    if (n < 0) {
      const int error = errno;
      close(fd);  // never retried (runtime/eintr.h)
      errno = error;
      return false;
    }
    bytes->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return true;
}

bool ReadFile(const std::string& path, std::vector<ChaosRecord>* records) {
  std::string bytes;
  if (!ReadBytes(path, &bytes)) return false;
  // A file may hold no whole record (its process ended before it recorded
  // anything): there is then nothing to copy, and no buffer to copy into.
  const std::size_t count = bytes.size() / sizeof(ChaosRecord);
  if (count == 0) return true;
  const std::size_t first = records->size();
  records->resize(first + count);
  std::memcpy(records->data() + first, bytes.data(),
              count * sizeof(ChaosRecord));
  return true;
}

}  // namespace

void MergeHistory(std::vector<ChaosRecord>* records) {
  std::stable_sort(records->begin(), records->end(),
                   [](const ChaosRecord& a, const ChaosRecord& b) {
                     return a.time < b.time;
                   });
}

bool ReadHistory(const std::string& folder, std::vector<ChaosRecord>* records) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> files;
  errno = 0;
  while (const struct dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const std::string suffix = ".history";
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      files.push_back(folder + "/" + name);
    }
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    errno = error;
    return false;
  }
  // A fixed order of files keeps the merge of equal times reproducible.
  std::sort(files.begin(), files.end());
  bool ok = true;
  for (const auto& file : files) ok = ReadFile(file, records) && ok;
  MergeHistory(records);
  return ok;
}

namespace {

constexpr char kHistoryMagic[] = "wendlemoor-chaos history 1";

// Whether `r` is a record a run writes, over `names` names.
bool Plausible(const ChaosRecord& r, int names) {
  const auto event = static_cast<std::uint16_t>(r.event);
  if (event < static_cast<std::uint16_t>(ChaosEvent::kHoldStart) ||
      event > static_cast<std::uint16_t>(ChaosEvent::kHoldToken)) {
    return false;
  }
  const bool on_name =
      r.event == ChaosEvent::kHoldStart || r.event == ChaosEvent::kHoldEnd ||
      r.event == ChaosEvent::kCall || r.event == ChaosEvent::kCallHung ||
      r.event == ChaosEvent::kOrphanEnd || r.event == ChaosEvent::kHoldToken;
  const bool with_call =
      r.event == ChaosEvent::kCall || r.event == ChaosEvent::kCallHung;
  if (on_name && r.name >= names) return false;
  if (with_call &&
      (r.call < static_cast<std::uint16_t>(ChaosCall::kAcquireWait) ||
       r.call > static_cast<std::uint16_t>(ChaosCall::kForkedAcquire))) {
    return false;
  }
  return r.event != ChaosEvent::kFault ||
         r.call < static_cast<std::uint16_t>(ChaosFault::kCount);
}

bool Fail(std::string* error, const std::string& cause) {
  *error = cause;
  return false;
}

}  // namespace

bool WriteTextFile(const std::string& path, const std::string& text) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1) return false;
  const bool written = WriteAll(fd, text.data(), text.size());
  const int error = errno;
  close(fd);  // never retried (runtime/eintr.h)
  errno = error;
  return written;
}

bool WriteHistoryFile(const std::string& path, const ChaosHistoryHeader& header,
                      const std::vector<ChaosRecord>& records) {
  // Each is one header line.
  std::string run = header.run, lock = header.lock;
  for (std::string* text : {&run, &lock}) {
    for (char& c : *text) c = c == '\n' ? ' ' : c;
  }
  std::string text = std::string(kHistoryMagic) + "\nnames " +
                     std::to_string(header.names) + "\nfaults " +
                     std::to_string(header.faults) + "\nseconds " +
                     std::to_string(header.seconds) + "\nseed " +
                     std::to_string(header.seed) + "\nrun " + run + "\nlock " +
                     lock + "\nlease " + std::to_string(header.lease_ms) +
                     "\nrecords " + std::to_string(records.size()) + "\n\n";
  text.append(reinterpret_cast<const char*>(records.data()),
              records.size() * sizeof(ChaosRecord));
  return WriteTextFile(path, text);
}

namespace {

// One "key value" line of a history file's header, read into `*header`.
// Returns false when a known key's value is out of range; `*seen` gains the
// key, and `*count` the records' count.
bool TakeHeaderLine(std::string_view text, ChaosHistoryHeader* header,
                    std::set<std::string>* seen, std::uint64_t* count) {
  const std::size_t space = text.find(' ');
  const std::string key(text.substr(0, space));
  const std::string value(space == text.npos ? "" : text.substr(space + 1));
  // A number field: digits only, within [low, high].
  auto number = [&](std::uint64_t low, std::uint64_t high, std::uint64_t* out) {
    if (value.empty() || value.size() > 20 ||
        value.find_first_not_of("0123456789") != value.npos) {
      return false;
    }
    errno = 0;
    *out = std::strtoull(value.c_str(), nullptr, 10);
    return errno == 0 && *out >= low && *out <= high;
  };
  seen->insert(key);
  std::uint64_t n = 0;
  if (key == "names") {
    if (!number(1, kChaosNamesMax, &n)) return false;
    header->names = int(n);
  } else if (key == "faults") {
    if (!number(0, (1u << int(ChaosFault::kCount)) - 1, &n)) return false;
    header->faults = std::uint32_t(n);
  } else if (key == "seconds") {
    if (!number(1, 86400, &n)) return false;
    header->seconds = int(n);
  } else if (key == "seed") {
    return number(0, UINT64_MAX, &header->seed);
  } else if (key == "run") {
    header->run = value;
  } else if (key == "lock") {
    header->lock = value;  // missing from the files of older runs
  } else if (key == "lease") {
    if (!number(0, UINT32_MAX, &n)) return false;
    header->lease_ms = std::uint32_t(n);  // missing from older files: none
  } else if (key == "records") {
    return number(2, UINT64_MAX / sizeof(ChaosRecord), count);
  }  // other keys are for later versions to add, and ignored
  return true;
}

// Whether `records` are a whole run's, each one a run writes, in time order.
// Returns false with the cause in `*error`.
bool CheckRecords(const std::vector<ChaosRecord>& records, int names,
                  std::string* error) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ChaosRecord& r = records[i];
    if (!Plausible(r, names) || (i > 0 && r.time < records[i - 1].time)) {
      return Fail(error, "not a history: record " + std::to_string(i) +
                             " is not one a run writes");
    }
  }
  if (records.front().event != ChaosEvent::kRunStart ||
      records.back().event != ChaosEvent::kRunEnd) {
    return Fail(error,
                "not a whole run: it does not begin with the run's "
                "start and end with its end");
  }
  return true;
}

}  // namespace

bool ReadHistoryFile(const std::string& path, ChaosHistoryHeader* header,
                     std::vector<ChaosRecord>* records, std::string* error) {
  *header = ChaosHistoryHeader();
  records->clear();
  std::string bytes;
  if (!ReadBytes(path, &bytes)) return Fail(error, std::strerror(errno));
  std::size_t at = 0;
  // The next header line, without its newline; false at the end of the file.
  auto line = [&](std::string_view* out) {
    const std::size_t end = bytes.find('\n', at);
    if (end == bytes.npos) return false;
    *out = std::string_view(bytes).substr(at, end - at);
    at = end + 1;
    return true;
  };
  std::string_view text;
  if (!line(&text) || text != kHistoryMagic) {
    return Fail(error, "not a wendlemoor-chaos history file");
  }
  std::uint64_t count = 0;
  std::set<std::string> seen;
  while (line(&text) && !text.empty()) {
    if (!TakeHeaderLine(text, header, &seen, &count)) {
      return Fail(error, "bad header line: " + std::string(text));
    }
  }
  for (const char* key :
       {"names", "faults", "seconds", "seed", "run", "records"}) {
    if (!text.empty() || seen.count(key) == 0) {
      return Fail(error, "cut short in its header");
    }
  }
  const std::uint64_t size = count * sizeof(ChaosRecord);
  if (bytes.size() - at != size) {
    return Fail(
        error,
        bytes.size() - at < size
            ? "cut short: " + std::to_string(count) + " records announced, " +
                  std::to_string((bytes.size() - at) / sizeof(ChaosRecord)) +
                  " whole ones found"
            : "longer than its " + std::to_string(count) + " records");
  }
  records->resize(count);
  std::memcpy(records->data(), bytes.data() + at, size);
  if (!CheckRecords(*records, header->names, error)) {
    records->clear();
    return false;
  }
  return true;
}

}  // namespace wendlemoor
