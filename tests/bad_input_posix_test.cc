// Bad input: command lines no user should type, and lock names at the edges
// of what the lock service takes.
//
// Command lines run the real executable in a scratch folder whose "Wendlemoor"
// is a stub script, so that parents' children end at once.
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "components/lock_file_name.h"
#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "tests/run_capture.h"

using wendlemoor::CreateLockService;
using wendlemoor::InterfacePtr;
using wendlemoor::kErrorInvalidArgument;
using wendlemoor::kErrorLockBusy;
using wendlemoor::kErrorLockNotHeld;
using wendlemoor::kLockFileNameSize;
using wendlemoor::kLockNameMax;
using wendlemoor::kOk;
using wendlemoor::LockFileName;
using wendlemoor::LockNameFromFileName;
using wendlemoor::LockService;

namespace {

constexpr int kDeadlineMs = 60000;

int CountLines(const std::string& output, const std::string& needle) {
  int count = 0;
  for (const auto& line : SplitLines(output)) {
    count += line.find(needle) != std::string::npos;
  }
  return count;
}

TEST(BadInputTest, OddArgumentsEndInADesignedBranchWithoutCrashing) {
  // The longest single argument the kernel passes on (MAX_ARG_STRLEN, 32
  // pages, including the terminating NUL).
  constexpr std::size_t kLongest = 32 * 4096 - 1;
  const std::string zeros_then_three =
      std::string("-").append(4998, '0').append("3");
  struct Row {
    std::vector<std::string> arguments;
    int status;
    int spawns;  // "spawning child test" lines
    bool usage;  // the usage text is printed
    bool child;  // the child branch ran
    const char* what;
  };
  const std::vector<Row> rows = {
      {{""}, 0, 10, false, false, "empty"},
      {{std::string("-").append(kLongest - 1, '7')},
       255,
       0,
       true,
       false,
       "longest argument of digits"},
      {{std::string("-2").append(kLongest - 2, 'x')},
       0,
       2,
       false,
       false,
       "longest argument, digits then letters"},
      {{std::string("-").append(kLongest - 1, 'q')},
       255,
       0,
       true,
       false,
       "longest argument of letters"},
      {{"-\xff\xfe"}, 255, 0, true, false, "not UTF-8 after the dash"},
      {{"\xc3\x28"}, 0, 10, false, false, "not UTF-8"},
      {{std::string("-").append(5000, '9')},
       255,
       0,
       true,
       false,
       "5000 digits"},
      {{zeros_then_three}, 0, 3, false, false, "5000 digits, a small number"},
      {{"-+3"}, 0, 3, false, false, "explicit plus"},
      {{"--2147483648"}, 0, 0, false, false, "smallest count"},
      {{"--2147483649"}, 255, 0, true, false, "below the smallest count"},
      {{"-child", "", "\xff", "-5", std::string(kLongest, 'a')},
       0,
       0,
       false,
       true,
       "child with odd extra arguments"},
  };
  const std::vector<RunResult> runs =
      RunRowsWithStubChildren(rows, kDeadlineMs);

  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const RunResult& run = runs[i];
    SCOPED_TRACE(row.what);
    ASSERT_EQ(run.spawn_error, 0);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, row.status) << run.output.substr(0, 2000);
    EXPECT_EQ(CountLines(run.output, "] entering main"), 1);
    EXPECT_EQ(CountLines(run.output, "] spawning child test"), row.spawns);
    EXPECT_EQ(CountLines(run.output, "### usage"), row.usage ? 1 : 0);
    EXPECT_EQ(CountLines(run.output, "] running child test"),
              row.child ? 1 : 0);
    EXPECT_EQ(CountLines(run.output, "failed"), 0);
  }
}

// Names at and past the longest, and built of every byte value but NUL.
class BadLockNameTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    folder_ = temp_.path() + "/locks";
    service_ =
        InterfacePtr<LockService>::Adopt(CreateLockService(folder_.c_str()));
    ASSERT_TRUE(service_);
  }

  // Only the lock folder in the scratch folder, only regular files in it.
  void ExpectNothingOutsideTheFolder(std::size_t files) {
    std::vector<std::string> outside;
    for (const auto& entry :
         std::filesystem::directory_iterator(temp_.path())) {
      outside.push_back(entry.path().string());
    }
    EXPECT_EQ(outside, std::vector<std::string>{folder_});
    std::size_t regular = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      EXPECT_TRUE(entry.is_regular_file() && !entry.is_symlink())
          << entry.path();
      ++regular;
    }
    EXPECT_EQ(regular, files);
  }

  TempDir temp_;
  std::string folder_;
  InterfacePtr<LockService> service_;
};

TEST_F(BadLockNameTest, EveryByteValueMakesADistinctLockInsideTheFolder) {
  std::vector<std::string> names;
  for (int c = 1; c <= 255; ++c) names.emplace_back(1, static_cast<char>(c));
  std::string all_bytes;
  for (int c = 1; c <= 255; ++c) all_bytes += static_cast<char>(c);
  for (std::size_t at = 0; at < all_bytes.size(); at += kLockNameMax) {
    names.push_back(all_bytes.substr(at, kLockNameMax));
  }
  // The longest name, and copies differing from it in one byte at each end
  // and in the middle, by one bit.
  const std::string longest = all_bytes.substr(100, kLockNameMax);
  names.push_back(longest);
  for (std::size_t at : {std::size_t{0}, kLockNameMax / 2, kLockNameMax - 1}) {
    std::string near = longest;
    near[at] = static_cast<char>(near[at] ^ 1);
    names.push_back(near);
  }
  ASSERT_EQ(std::set<std::string>(names.begin(), names.end()).size(),
            names.size());
  // Every name reads back from its file name; a spelling that the mapping
  // never writes reads back as no name at all.
  for (const auto& name : names) {
    char file_name[kLockFileNameSize];
    char back[kLockNameMax + 1];
    LockFileName(name.data(), name.size(), file_name);
    ASSERT_EQ(LockNameFromFileName(file_name, back), name.size()) << name;
    EXPECT_EQ(std::string(back), name);
  }
  for (const char* foreign : {"%2f", "%41", "%00", "%4", "a.b", "%"}) {
    char back[kLockNameMax + 1];
    EXPECT_EQ(LockNameFromFileName(foreign, back), 0u) << foreign;
  }

  // All held at once: two names sharing a lock would make the second busy.
  for (const auto& name : names) {
    EXPECT_EQ(service_->AcquireLock(name.c_str(), 0), kOk) << name;
  }
  std::thread([&] {
    for (const auto& name : names) {
      EXPECT_EQ(service_->AcquireLock(name.c_str(), 0), kErrorLockBusy) << name;
    }
  }).join();
  for (const auto& name : names) {
    EXPECT_EQ(service_->ReleaseLock(name.c_str()), kOk) << name;
  }
  ExpectNothingOutsideTheFolder(names.size());
}

TEST_F(BadLockNameTest, NamesPastTheLongestAreRefusedAndTouchNothing) {
  std::string all_bytes;
  for (int c = 255; c >= 1; --c) all_bytes += static_cast<char>(c);
  for (std::size_t length :
       {kLockNameMax + 1, kLockNameMax + 2, all_bytes.size()}) {
    const std::string name = all_bytes.substr(0, length);
    EXPECT_EQ(service_->AcquireLock(name.c_str(), 1), kErrorInvalidArgument)
        << length;
    EXPECT_EQ(service_->ReleaseLock(name.c_str()), kErrorInvalidArgument)
        << length;
    // Its first kLockNameMax bytes are a name of their own, not held.
    EXPECT_EQ(service_->ReleaseLock(name.substr(0, kLockNameMax).c_str()),
              kErrorLockNotHeld);
  }
  EXPECT_FALSE(std::filesystem::exists(folder_));  // never even created
  const std::string longest = all_bytes.substr(0, kLockNameMax);
  EXPECT_EQ(service_->AcquireLock(longest.c_str(), 1), kOk);
  EXPECT_EQ(service_->ReleaseLock(longest.c_str()), kOk);
  ExpectNothingOutsideTheFolder(1);
}

}  // namespace
