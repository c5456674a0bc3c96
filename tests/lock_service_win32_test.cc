// The lock service on Windows, across processes: holds never overlap, a
// terminated holder or an ended thread frees its names at once, children
// inherit no handle, and names someone else made first fail closed.
#include "components/lock_service.h"

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/interval.h"
#include "tests/helper_role.h"
#include "tests/scratch_lock_folder.h"
#include "tests/test_child_win32.h"
#include "tests/timed_holds.h"

using wendlemoor::CreateLockService;
using wendlemoor::InterfacePtr;
using wendlemoor::kErrorInvalidArgument;
using wendlemoor::kErrorLockBusy;
using wendlemoor::kErrorLockFolderUnusable;
using wendlemoor::kErrorLockNotHeld;
using wendlemoor::kErrorLockWouldDeadlock;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::ResultCode;

namespace {

constexpr int kDeadlineMs = 60000;

// Blocks until the test closes this helper's standard input.
void WaitForInputEnd() {
  char byte;
  DWORD n = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &n, nullptr) &&
         n > 0) {
  }
}

InterfacePtr<LockService> ServiceOver(const std::string& folder) {
  return InterfacePtr<LockService>::Adopt(CreateLockService(folder.c_str()));
}

// Arguments: folder, name, wait flag. Reports the acquire's code in hex on a
// line, holds until its input ends, then releases.
WENDLEMOOR_HELPER_ROLE(win_lock_hold) {
  auto service = ServiceOver(arguments[0]);
  const char* name = arguments[1].c_str();
  const ResultCode code = service->AcquireLock(name, std::stoi(arguments[2]));
  std::printf("%x\n", code);
  std::fflush(stdout);
  WaitForInputEnd();
  if (code != kOk) return kHelperOk;
  return service->ReleaseLock(name) == kOk ? kHelperOk : kHelperFailed;
}

// Arguments: folder, name, count, hold in microseconds. Once its input ends,
// prints "acquired released" monotonic times of every hold.
WENDLEMOOR_HELPER_ROLE(win_lock_intervals) {
  auto service = ServiceOver(arguments[0]);
  WaitForInputEnd();
  return TakeTimedHolds(service.get(), arguments[1].c_str(),
                        std::stoi(arguments[2]), std::stoul(arguments[3]));
}

// The code a win_lock_hold helper reports, or kNoReport.
constexpr ResultCode kNoReport = 0xFFFFFFFF;
ResultCode ReadCode(TestChild& helper) {
  const std::string line = helper.Read(true, kDeadlineMs);
  return line.empty()
             ? kNoReport
             : static_cast<ResultCode>(std::strtoul(line.c_str(), nullptr, 16));
}

class Win32LockTest : public testing::Test {
 protected:
  void SetUp() override { service_ = folder_.NewService(); }

  // Starts a win_lock_hold helper on `name` of this test's folder.
  void StartHolder(TestChild* helper, const std::string& name, int wait) {
    ASSERT_TRUE(helper->StartHelper(
        "win_lock_hold", {folder_.path(), name, std::to_string(wait)}));
  }

  ScratchLockFolder folder_;
  InterfacePtr<LockService> service_;
};

TEST_F(Win32LockTest, HoldsOfThreeProcessesNeverOverlap) {
  constexpr int kHelpers = 3, kHolds = 40;
  TestChild helpers[kHelpers];
  for (TestChild& helper : helpers) {
    ASSERT_TRUE(helper.StartHelper(
        "win_lock_intervals",
        {folder_.path(), "shared", std::to_string(kHolds), "2000"}));
  }
  for (TestChild& helper : helpers) helper.CloseInput();  // all begin
  std::vector<std::string> reports;
  for (TestChild& helper : helpers) {
    reports.push_back(helper.Read(false, kDeadlineMs));
    EXPECT_EQ(helper.Wait(kDeadlineMs), kHelperOk);
  }
  ExpectHoldsNeverOverlap(reports, kHelpers * kHolds);
}

TEST_F(Win32LockTest, TerminatedHolderFreesItsNameAtOnce) {
  TestChild holder, waiter;
  StartHolder(&holder, "n", 1);
  ASSERT_EQ(ReadCode(holder), kOk);
  ASSERT_EQ(service_->AcquireLock("n", 0), kErrorLockBusy);
  StartHolder(&waiter, "n", 1);
  EXPECT_EQ(waiter.Read(true, 500), "");  // still waiting

  const std::uint64_t begin = JX_MonotonicNanos();
  holder.Terminate();
  EXPECT_EQ(ReadCode(waiter), kOk);
  // "At once": well under the deadline, with room for a stalled machine.
  EXPECT_LT(JX_MonotonicNanos() - begin, 10000000000u);
  EXPECT_EQ(holder.Wait(kDeadlineMs), 9);  // the code Terminate gives
  EXPECT_EQ(waiter.Wait(kDeadlineMs), kHelperOk);
  EXPECT_EQ(service_->AcquireLock("n", 0), kOk);
}

TEST_F(Win32LockTest, ThreadThatEndsHoldingFreesItsName) {
  std::thread([&] {
    ASSERT_EQ(service_->AcquireLock("ended", 1), kOk);
  }).join();
  // Ended by ExitThread: no return to the service's caller at all.
  const HANDLE exiting = CreateThread(
      nullptr, 0,
      [](void* service) -> DWORD {
        static_cast<LockService*>(service)->AcquireLock("exited", 1);
        ExitThread(0);
      },
      service_.get(), 0, nullptr);
  ASSERT_NE(exiting, nullptr);
  ASSERT_EQ(WaitForSingleObject(exiting, kDeadlineMs), WAIT_OBJECT_0);
  CloseHandle(exiting);
  // Another process takes both without waiting; nobody may release them.
  for (const char* name : {"ended", "exited"}) {
    TestChild other;
    StartHolder(&other, name, 0);
    EXPECT_EQ(ReadCode(other), kOk) << name;
    EXPECT_EQ(other.Wait(kDeadlineMs), kHelperOk) << name;
    EXPECT_EQ(service_->ReleaseLock(name), kErrorLockNotHeld) << name;
  }
}

// A mutex is recursive whichever handle asks: a second instance must refuse
// the name to the thread that holds it through the first, not grant it again.
TEST_F(Win32LockTest, HeldNameIsRefusedToItsHolderThroughAnotherInstance) {
  InterfacePtr<LockService> second = folder_.NewService();
  ASSERT_EQ(service_->AcquireLock("twice", 1), kOk);
  EXPECT_EQ(second->AcquireLock("twice", 1), kErrorLockWouldDeadlock);
  EXPECT_EQ(second->ReleaseLock("twice"), kErrorLockNotHeld);
  EXPECT_EQ(service_->ReleaseLock("twice"), kOk);
  EXPECT_EQ(second->AcquireLock("twice", 0), kOk);
  EXPECT_EQ(second->ReleaseLock("twice"), kOk);
}

// The name of the object behind lock `name` of `folder`, for names of plain
// ASCII letters.
std::string ObjectName(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

TEST_F(Win32LockTest, ChildStartedWhileHoldingInheritsNoHandle) {
  ASSERT_EQ(service_->AcquireLock("held", 1), kOk);
  // Started while the name is held, with every inheritable handle handed on.
  TestChild child;
  StartHolder(&child, "", 1);
  ASSERT_EQ(ReadCode(child), kErrorInvalidArgument);
  EXPECT_EQ(service_->ReleaseLock("held"), kOk);
  // Our handle is closed: the object exists only if the child has one.
  const std::string name = ObjectName(folder_.path(), "held");
  const HANDLE left = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  EXPECT_EQ(left, nullptr);
  if (left != nullptr) CloseHandle(left);
  EXPECT_EQ(child.Wait(kDeadlineMs), kHelperOk);
}

// Creates, as a squatter would, `name`'s object of `folder` with the
// descriptor `sddl`: a mutex, or an event when `event` is true. Returns its
// handle, or null when this system would not make it.
HANDLE Squat(const std::string& folder, const std::string& name,
             const char* sddl, bool event) {
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (sddl != nullptr &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(
          sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
    return nullptr;
  }
  const std::string object = ObjectName(folder, name);
  const HANDLE handle =
      event ? CreateEventA(&attributes, FALSE, FALSE, object.c_str())
            : CreateMutexA(&attributes, FALSE, object.c_str());
  LocalFree(attributes.lpSecurityDescriptor);
  return handle;
}

TEST_F(Win32LockTest, ObjectsAreOursAloneAndSquattedNamesFailClosed) {
  // Our own: owned by the user, who alone is admitted.
  ASSERT_EQ(service_->AcquireLock("mine", 1), kOk);
  const std::string mine = ObjectName(folder_.path(), "mine");
  const HANDLE opened = OpenMutexA(READ_CONTROL, FALSE, mine.c_str());
  ASSERT_NE(opened, nullptr);
  PSID owner = nullptr;
  ACL* dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(
      GetSecurityInfo(opened, SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &descriptor),
      static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 1);
  ACCESS_ALLOWED_ACE* ace = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_TRUE(EqualSid(reinterpret_cast<PSID>(&ace->SidStart), owner));
  LocalFree(descriptor);
  CloseHandle(opened);
  EXPECT_EQ(service_->ReleaseLock("mine"), kOk);

  // Someone else's, first: another type of object; a mutex whose DACL does
  // not admit us; a mutex that admits everyone but belongs to another owner.
  const struct {
    const char* name;
    const char* sddl;
    bool event;
  } squats[] = {
      {"event", nullptr, true},
      {"closed", "D:(A;;GA;;;SY)", false},
      {"foreign", "O:SYD:(A;;GA;;;WD)", false},
  };
  for (const auto& squat : squats) {
    SCOPED_TRACE(squat.name);
    const HANDLE handle =
        Squat(folder_.path(), squat.name, squat.sddl, squat.event);
    // Windows lets no one but an administrator give an object another
    // owner: that squat cannot be staged, nor made by an ordinary user.
    if (handle == nullptr) {
      if (GetLastError() != ERROR_INVALID_OWNER) {
        ADD_FAILURE() << "could not squat: error " << GetLastError();
      }
      continue;
    }
    EXPECT_EQ(service_->AcquireLock(squat.name, 0), kErrorLockFolderUnusable);
    EXPECT_EQ(service_->AcquireLock(squat.name, 1), kErrorLockFolderUnusable);
    CloseHandle(handle);
  }
  // A prefix that names no namespace of objects.
  auto nowhere = ServiceOver("Local\\no\\such\\namespace");
  EXPECT_EQ(nowhere->AcquireLock("n", 0), kErrorLockFolderUnusable);
}

}  // namespace
