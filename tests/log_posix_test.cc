// LogMessage: the line prefix, the cut of long lines and whole lines under
// concurrent writers.
#include "driver/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/thread.h"
#include "tests/run_capture.h"

namespace {

// Sends standard output to a scratch file for the life of the object.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = open(dir_.path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    saved_ = dup(STDOUT_FILENO);
    if (file_ != -1 && saved_ != -1) dup2(file_, STDOUT_FILENO);
  }
  ~StdoutCapture() { Finish(); }

  bool ok() const { return file_ != -1 && saved_ != -1; }

  // Restores standard output and returns what was written meanwhile.
  std::string Finish() {
    if (saved_ == -1) return {};
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    std::string text;
    char chunk[4096];
    ssize_t n;
    off_t offset = 0;
    while ((n = pread(file_, chunk, sizeof chunk, offset)) > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
      offset += n;
    }
    close(file_);
    file_ = -1;
    return text;
  }

 private:
  TempDir dir_;
  int file_ = -1;
  int saved_ = -1;
};

std::string Prefix(void* thread) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[%u:%p] ",
                static_cast<unsigned>(getpid()), thread);
  return prefix;
}

constexpr std::size_t kMaxLine = kLogLineSize - 1;  // 511

// Fill length of writer t's line i: varied, and now and then the longest a
// line may be without being cut.
constexpr std::size_t kHead = 8;  // "w<t> s<iii> "
std::size_t FillFor(int t, int i, std::size_t room) {
  const std::size_t longest = room - kHead - 1;
  if (i % 50 == 49) return longest;
  return static_cast<std::size_t>(i * 37 + t * 11) % (longest + 1);
}

#define TEN "0123456789"
#define HUNDRED TEN TEN TEN TEN TEN TEN TEN TEN TEN TEN
#define SIX_HUNDRED HUNDRED HUNDRED HUNDRED HUNDRED HUNDRED HUNDRED

TEST(LogMessageTest, LinesCarryPrefixAndLongLinesAreCutTo511) {
  const std::string prefix = Prefix(JX_GetCurrentThread());
  const std::string text600(600, 'a');
  const std::string exact_fit(kMaxLine - prefix.size() - 1, 'b');
  const std::string literal600 = SIX_HUNDRED;

  StdoutCapture capture;
  ASSERT_TRUE(capture.ok());
  LogMessage("value %d of %s\n", 42, "answer");
  LogMessage("%s\n", text600.c_str());
  LogMessage(SIX_HUNDRED "\n");
  LogMessage("%s\n", exact_fit.c_str());
  // Without a newline in the format a cut line keeps its last character.
  LogMessage("%s", text600.c_str());
  const std::string output = capture.Finish();

  const std::string cut_a = (prefix + text600).substr(0, kMaxLine - 1) + "\n";
  const std::string cut_literal =
      (prefix + literal600).substr(0, kMaxLine - 1) + "\n";
  const std::string expected = prefix + "value 42 of answer\n" + cut_a +
                               cut_literal + prefix + exact_fit + "\n" +
                               (prefix + text600).substr(0, kMaxLine);
  ASSERT_EQ(cut_a.size(), kMaxLine);
  EXPECT_EQ(output, expected);
}

TEST(LogMessageTest, ConcurrentWritersProduceWholeLinesWithTheirIdentity) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 200;
  std::vector<std::string> identities(kThreads);
  std::barrier start(kThreads);

  StdoutCapture capture;
  ASSERT_TRUE(capture.ok());
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      identities[t] = Prefix(JX_GetCurrentThread());
      const std::size_t room = kMaxLine - identities[t].size();
      start.arrive_and_wait();
      for (int i = 0; i < kLinesPerThread; ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "w%d s%03d ", t, i);
        LogMessage("%s%s\n", head,
                   std::string(FillFor(t, i, room), 'a' + t).c_str());
      }
    });
  }
  for (auto& writer : writers) writer.join();
  const std::string output = capture.Finish();

  std::vector<int> next(kThreads, 0);
  int lines = 0;
  for (const std::string& line : SplitLines(output)) {
    SCOPED_TRACE(line);
    ++lines;
    int t = -1;
    int i = -1;
    const std::size_t w = line.find("] w");
    ASSERT_NE(w, std::string::npos);
    ASSERT_EQ(std::sscanf(line.c_str() + w, "] w%d s%d ", &t, &i), 2);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    // The writer's own prefix, its lines in its order, one fill letter only.
    EXPECT_EQ(line.substr(0, w + 2), identities[t]);
    EXPECT_EQ(i, next[t]++);
    const std::size_t body = w + 2 + kHead;
    EXPECT_EQ(
        line.substr(body),
        std::string(FillFor(t, i, kMaxLine - identities[t].size()), 'a' + t));
  }
  EXPECT_EQ(lines, kThreads * kLinesPerThread);
  EXPECT_EQ(output.back(), '\n');
}

}  // namespace
