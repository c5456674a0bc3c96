// Lock service promises made on every platform, proven through the service's
// interface alone: threads of one process exclude each other, misuse and bad
// names fail at once.
#include <atomic>
#include <string>
#include <thread>

#include "components/lock_service.h"
#include "gtest/gtest.h"
#include "tests/scratch_lock_folder.h"

using wendlemoor::Interface;
using wendlemoor::InterfaceId;
using wendlemoor::InterfacePtr;
using wendlemoor::kBaseInterfaceId;
using wendlemoor::kErrorInvalidArgument;
using wendlemoor::kErrorLockBusy;
using wendlemoor::kErrorLockNotHeld;
using wendlemoor::kErrorLockWouldDeadlock;
using wendlemoor::kErrorNoInterface;
using wendlemoor::kLockNameMax;
using wendlemoor::kOk;
using wendlemoor::LockService;

namespace {

class LockPromiseTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    service_ = folder_.NewService();
    ASSERT_TRUE(service_);
  }

  ScratchLockFolder folder_;
  InterfacePtr<LockService> service_;
};

TEST_F(LockPromiseTest, ThreadsExcludeEachOtherOnlyOnTheSameName) {
  ASSERT_EQ(service_->AcquireLock("a", 1), kOk);
  std::thread([&] {
    EXPECT_EQ(service_->AcquireLock("a", 0), kErrorLockBusy);
    EXPECT_EQ(service_->ReleaseLock("a"), kErrorLockNotHeld);  // not ours
    // Names that some mapping could take for "a" are other locks.
    for (const char* other : {"b", "A", "a\\", "a/", "a%"}) {
      EXPECT_EQ(service_->AcquireLock(other, 0), kOk) << other;
      EXPECT_EQ(service_->ReleaseLock(other), kOk) << other;
    }
  }).join();
  EXPECT_EQ(service_->ReleaseLock("a"), kOk);
  // Again through the description kept from the first hold.
  ASSERT_EQ(service_->AcquireLock("a", 1), kOk);
  std::thread([&] {
    EXPECT_EQ(service_->AcquireLock("a", 0), kErrorLockBusy);
  }).join();
  EXPECT_EQ(service_->ReleaseLock("a"), kOk);

  std::atomic<int> inside{0}, overlaps{0};
  auto hammer = [&] {
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(service_->AcquireLock("c", 1), kOk);
      if (inside.fetch_add(1) != 0) ++overlaps;
      std::this_thread::yield();
      inside.fetch_sub(1);
      ASSERT_EQ(service_->ReleaseLock("c"), kOk);
    }
  };
  std::thread t1(hammer), t2(hammer), t3(hammer);
  t1.join(), t2.join(), t3.join();
  EXPECT_EQ(overlaps.load(), 0);
}

TEST_F(LockPromiseTest, MisuseAndBadNamesFailAtOnce) {
  ASSERT_EQ(service_->AcquireLock("x", 1), kOk);
  // Flag 0 first: without the check it fails as busy rather than hanging.
  ASSERT_EQ(service_->AcquireLock("x", 0), kErrorLockWouldDeadlock);
  EXPECT_EQ(service_->AcquireLock("x", 1), kErrorLockWouldDeadlock);
  EXPECT_EQ(service_->ReleaseLock("x"), kOk);
  EXPECT_EQ(service_->ReleaseLock("x"), kErrorLockNotHeld);
  EXPECT_EQ(service_->ReleaseLock("never"), kErrorLockNotHeld);

  const std::string too_long(kLockNameMax + 1, 'a');
  for (const char* bad :
       {static_cast<const char*>(nullptr), "", too_long.c_str()}) {
    EXPECT_EQ(service_->AcquireLock(bad, 1), kErrorInvalidArgument);
    EXPECT_EQ(service_->ReleaseLock(bad), kErrorInvalidArgument);
  }
  // The longest names, escaped in full at three bytes each, still fit.
  for (char c : {'a', '\xff', '/', '\\'}) {
    const std::string longest(kLockNameMax, c);
    EXPECT_EQ(service_->AcquireLock(longest.c_str(), 0), kOk) << c;
    EXPECT_EQ(service_->ReleaseLock(longest.c_str()), kOk) << c;
  }

  void* base = nullptr;
  EXPECT_EQ(service_->QueryInterface(kBaseInterfaceId, &base), kOk);
  EXPECT_EQ(static_cast<Interface*>(base)->Release(), 1u);
  EXPECT_EQ(service_->QueryInterface(InterfaceId{}, &base), kErrorNoInterface);
  EXPECT_EQ(base, nullptr);
}

}  // namespace
