// wendlemoor-locks: which names of the lock folder are held, by which process,
// and how many wait for them; once, or redrawn every second.
//
//   wendlemoor-locks [--watch] [FOLDER]
//
// Standard output carries the table and nothing else, so that it can be piped.
// Exit status: 0 shown, 1 the folder or /proc could not be used (one line on
// standard error), 2 a bad command line (the usage on standard error).
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "components/lock_holders.h"
#include "components/lock_service.h"
#include "runtime/eintr.h"
#include "runtime/interval.h"

using wendlemoor::DefaultLockFolder;
using wendlemoor::LockRow;
using wendlemoor::SnapshotResult;
using wendlemoor::SnapshotResultText;
using wendlemoor::TakeLockSnapshot;

namespace {

constexpr char kUsage[] =
    "usage: wendlemoor-locks [--watch] [FOLDER]\n"
    "Shows every name in the lock folder (FOLDER, or the user's default lock\n"
    "folder): free or held, the holder's PID and command name, and how many\n"
    "wait for it, sorted by name. Bytes of a name other than printable ASCII,\n"
    "and the space and the backslash, are shown as \\xHH.\n"
    "  -w, --watch  redraw the table every second until interrupted\n"
    "  -h, --help   show this text\n"
    "Limits: processes of other users are not visible (a name they hold shows\n"
    "PID \"?\"); a holder that is exiting may show for a moment after its "
    "lock\n"
    "is gone; the table is a snapshot of one moment, not a promise about the\n"
    "next.\n"
    "Exit status: 0 shown, 1 the folder is missing, not a folder or not\n"
    "private (ours, mode 0700, no symbolic link), 2 a bad command line.\n";

bool WriteAll(int fd, const std::string& text) {
  return ::WriteAll(fd, text.data(), text.size());
}

// Names and command names are bytes chosen by other programs: shown raw they
// could move the cursor, recolour the terminal or split a row in two. Printable
// ASCII other than space and backslash stays as it is.
std::string Printable(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (const unsigned char c : bytes) {
    if (c > ' ' && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 0xF];
    }
  }
  return text;
}

// The table's lines, header first, columns aligned; none ends in a space or a
// newline.
std::vector<std::string> TableLines(const std::vector<LockRow>& rows) {
  std::vector<std::vector<std::string>> cells = {
      {"NAME", "STATE", "PID", "COMMAND", "WAITING"}};
  for (const LockRow& row : rows) {
    const bool known = row.held && row.holder != 0;
    cells.push_back({Printable(row.name), row.held ? "held" : "free",
                     known      ? std::to_string(row.holder)
                     : row.held ? "?"
                                : "-",
                     known      ? Printable(row.command)
                     : row.held ? "?"
                                : "-",
                     std::to_string(row.waiting)});
  }
  std::size_t width[5] = {};
  for (const auto& line : cells) {
    for (int i = 0; i < 5; ++i) width[i] = std::max(width[i], line[i].size());
  }
  // Numbers align to the right, words to the left.
  constexpr bool kRight[5] = {false, false, true, false, true};
  std::vector<std::string> lines;
  for (const auto& line : cells) {
    std::string text;
    for (int i = 0; i < 5; ++i) {
      const std::string pad(width[i] - line[i].size(), ' ');
      if (i > 0) text += "  ";
      text += kRight[i] ? pad + line[i] : line[i] + (i < 4 ? pad : "");
    }
    lines.push_back(text);
  }
  return lines;
}

// Takes a snapshot; on failure writes the one line naming the problem to
// standard error and returns false.
bool Take(const std::string& folder, std::vector<LockRow>* rows) {
  int error = 0;
  const SnapshotResult result = TakeLockSnapshot(folder.c_str(), rows, &error);
  if (result == SnapshotResult::kOk) return true;
  std::string line = "wendlemoor-locks: ";
  if (result != SnapshotResult::kLocksUnreadable &&
      result != SnapshotResult::kOutOfMemory) {
    line += folder + ": ";
  }
  line += SnapshotResultText(result);
  if (error != 0) line += std::string(": ") + std::strerror(error);
  (void)WriteAll(STDERR_FILENO, line + "\n");
  return false;
}

bool ReportOutputError() {
  const std::string line = std::string("wendlemoor-locks: standard output: ") +
                           std::strerror(errno) + "\n";
  (void)WriteAll(STDERR_FILENO, line);
  return false;
}

int ShowOnce(const std::string& folder) {
  std::vector<LockRow> rows;
  if (!Take(folder, &rows)) return 1;
  std::string text;
  for (const std::string& line : TableLines(rows)) text += line + "\n";
  return WriteAll(STDOUT_FILENO, text) || ReportOutputError() ? 0 : 1;
}

// Redraws until a signal ends the process. On a terminal every frame is one
// write that homes the cursor and overwrites the last frame line by line,
// clearing only what is left over, so the screen never goes blank between
// frames; elsewhere frames follow each other, a blank line between them.
int Watch(const std::string& folder) {
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  std::string frame = terminal ? "\x1b[H\x1b[2J" : "";
  for (;;) {
    std::vector<LockRow> rows;
    if (!Take(folder, &rows)) return 1;
    std::vector<std::string> lines = TableLines(rows);
    if (terminal) {
      char clock[16] = "";
      const std::time_t now = std::time(nullptr);
      struct tm local;
      if (localtime_r(&now, &local) != nullptr) {
        std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
      }
      lines.insert(lines.begin(),
                   {"every 1 s: " + Printable(folder) + "  " + clock, ""});
      // Rows past the bottom would scroll the frame off its home; keep the
      // lines that fit.
      winsize size = {};
      if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 1 &&
          lines.size() >= size.ws_row) {
        lines.resize(size.ws_row - 1u);
      }
      frame += "\x1b[H";
      for (const std::string& line : lines) frame += line + "\x1b[K\n";
      frame += "\x1b[J";
    } else {
      for (const std::string& line : lines) frame += line + "\n";
      frame += "\n";
    }
    if (!WriteAll(STDOUT_FILENO, frame)) return ReportOutputError() ? 0 : 1;
    frame.clear();
    JX_Sleep(JX_SecondsToInterval(1));
  }
}

int BadCommandLine() {
  (void)WriteAll(STDERR_FILENO, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool watch = false;
  bool options_done = false;
  const char* folder = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (!options_done && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--help" || argument == "-h") {
        return WriteAll(STDOUT_FILENO, kUsage) || ReportOutputError() ? 0 : 1;
      }
      if (argument == "--watch" || argument == "-w") {
        watch = true;
      } else if (argument == "--") {
        options_done = true;
      } else {
        return BadCommandLine();
      }
    } else if (folder == nullptr) {
      folder = argv[i];
    } else {
      return BadCommandLine();
    }
  }
  const std::string path = folder != nullptr ? folder : DefaultLockFolder();
  return watch ? Watch(path) : ShowOnce(path);
}
