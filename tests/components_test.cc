// The component system: reference counting, registry lookups and the
// event-queue service.
#include <vector>

#include "components/event_queue_service.h"
#include "components/interface.h"
#include "components/lock_service.h"
#include "components/registry.h"
#include "gtest/gtest.h"
#include "tests/fake_lock_service.h"

using wendlemoor::EventQueue;
using wendlemoor::EventQueueService;
using wendlemoor::GetService;
using wendlemoor::InitComponentSystem;
using wendlemoor::Interface;
using wendlemoor::InterfacePtr;
using wendlemoor::kBaseInterfaceId;
using wendlemoor::kErrorAlreadyInitialized;
using wendlemoor::kErrorInvalidArgument;
using wendlemoor::kErrorNoInterface;
using wendlemoor::kErrorNoQueue;
using wendlemoor::kErrorNotInitialized;
using wendlemoor::kErrorUnknownContract;
using wendlemoor::kEventQueueServiceContractId;
using wendlemoor::kEventQueueServiceId;
using wendlemoor::kLockServiceContractId;
using wendlemoor::kLockServiceId;
using wendlemoor::kOk;
using wendlemoor::LockService;
using wendlemoor::RegisterService;
using wendlemoor::ResultCode;
using wendlemoor::ShutdownComponentSystem;

namespace {

// Starts the component system for one test and always stops it again.
class ComponentSystemTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitComponentSystem(nullptr, nullptr, nullptr), kOk);
  }
  void TearDown() override { ShutdownComponentSystem(nullptr); }
};

TEST(InterfacePtrTest, HoldsExactlyOneReferenceAndGivesItBackOnce) {
  auto* fake = new FakeLockService;  // the test's own reference
  {
    InterfacePtr<LockService> empty;
    EXPECT_FALSE(empty);
    empty.reset();  // resetting an empty pointer releases nothing

    fake->AddRef();
    auto first = InterfacePtr<LockService>::Adopt(fake);
    auto second = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), fake);
    first = std::move(second);  // move-assign into an empty pointer
    // Self-move keeps the reference. It comes through another name, as it
    // does in real code (a swap, an element moved onto itself).
    InterfacePtr<LockService>& same = first;
    first = std::move(same);
    EXPECT_EQ(fake->references(), 2u);

    fake->AddRef();
    InterfacePtr<LockService> third = InterfacePtr<LockService>::Adopt(fake);
    *third.Receive() = nullptr;  // Receive gives the held reference back
    EXPECT_EQ(fake->references(), 2u);
  }
  EXPECT_EQ(fake->references(), 1u);
  EXPECT_EQ(fake->releases() + 1, fake->add_refs());  // all but the test's own
  fake->Release();
}

TEST(ComponentSystemLookupTest, GetServiceReportsEachFailureWithItsOwnCode) {
  ResultCode rv = kOk;
  EXPECT_FALSE(
      GetService<LockService>(kLockServiceContractId, kLockServiceId, &rv));
  EXPECT_EQ(rv, kErrorNotInitialized);
  EXPECT_EQ(RegisterService(kLockServiceContractId, nullptr),
            kErrorNotInitialized);
  EXPECT_EQ(ShutdownComponentSystem(nullptr), kErrorNotInitialized);

  ASSERT_EQ(InitComponentSystem(nullptr, nullptr, nullptr), kOk);
  EXPECT_EQ(InitComponentSystem(nullptr, nullptr, nullptr),
            kErrorAlreadyInitialized);

  EXPECT_FALSE(GetService<LockService>("@wendlemoor.org/no-such;1",
                                       kLockServiceId, &rv));
  EXPECT_EQ(rv, kErrorUnknownContract);
  // The lock service asked for as the event-queue service.
  EXPECT_FALSE(GetService<EventQueueService>(kLockServiceContractId,
                                             kEventQueueServiceId, &rv));
  EXPECT_EQ(rv, kErrorNoInterface);
  EXPECT_FALSE(GetService<LockService>(nullptr, kLockServiceId, &rv));
  EXPECT_EQ(rv, kErrorInvalidArgument);

  // Both built-in services are there, and a null out-parameter is allowed.
  EXPECT_TRUE(
      GetService<LockService>(kLockServiceContractId, kLockServiceId, nullptr));
  EXPECT_TRUE(GetService<EventQueueService>(kEventQueueServiceContractId,
                                            kEventQueueServiceId, &rv));
  EXPECT_EQ(rv, kOk);
  EXPECT_EQ(ShutdownComponentSystem(nullptr), kOk);
}

TEST_F(ComponentSystemTest, EveryReferenceTakenIsGivenBackExactlyOnce) {
  auto* fake = new FakeLockService;
  ASSERT_EQ(RegisterService(kLockServiceContractId, fake), kOk);
  {
    ResultCode rv = 0;
    auto a =
        GetService<LockService>(kLockServiceContractId, kLockServiceId, &rv);
    auto b =
        GetService<LockService>(kLockServiceContractId, kLockServiceId, &rv);
    ASSERT_EQ(a.get(), fake);
    EXPECT_EQ(fake->references(), 4u);  // test, registry, a, b
  }
  EXPECT_EQ(fake->references(), 2u);

  // Replacing a registration gives the old service's reference back.
  auto* replacement = new FakeLockService;
  ASSERT_EQ(RegisterService(kLockServiceContractId, replacement), kOk);
  EXPECT_EQ(fake->references(), 1u);
  ASSERT_EQ(ShutdownComponentSystem(nullptr), kOk);
  EXPECT_EQ(replacement->references(), 1u);
  EXPECT_EQ(fake->releases() + 1, fake->add_refs());
  EXPECT_EQ(replacement->releases() + 1, replacement->add_refs());
  fake->Release();
  replacement->Release();
  ASSERT_EQ(InitComponentSystem(nullptr, nullptr, nullptr),
            kOk);  // for TearDown
}

TEST_F(ComponentSystemTest, RemovedServiceIsUnknownAfterwards) {
  ASSERT_EQ(RegisterService(kEventQueueServiceContractId, nullptr), kOk);
  ResultCode rv = kOk;
  EXPECT_FALSE(GetService<EventQueueService>(kEventQueueServiceContractId,
                                             kEventQueueServiceId, &rv));
  EXPECT_EQ(rv, kErrorUnknownContract);
  EXPECT_EQ(RegisterService("", nullptr), kErrorInvalidArgument);
}

TEST_F(ComponentSystemTest, QueueExistsOnlyAfterThePreparingThreadAsksForIt) {
  auto service = GetService<EventQueueService>(kEventQueueServiceContractId,
                                               kEventQueueServiceId, nullptr);
  ASSERT_TRUE(service);
  InterfacePtr<EventQueue> queue;
  EXPECT_EQ(service->GetQueue(nullptr, queue.Receive()), kErrorNoQueue);
  EXPECT_FALSE(queue);
  EXPECT_EQ(service->GetQueue(nullptr, nullptr), kErrorInvalidArgument);

  ASSERT_EQ(service->PrepareQueue(), kOk);
  ASSERT_EQ(service->PrepareQueue(), kOk);  // again: the same queue stays
  ASSERT_EQ(service->GetQueue(nullptr, queue.Receive()), kOk);
  InterfacePtr<EventQueue> again;
  ASSERT_EQ(service->GetQueue(nullptr, again.Receive()), kOk);
  EXPECT_EQ(queue.get(), again.get());

  // The queue outlives the service while the caller still holds it.
  service.reset();
  ASSERT_EQ(ShutdownComponentSystem(nullptr), kOk);
  void* base = nullptr;
  EXPECT_EQ(queue->QueryInterface(kBaseInterfaceId, &base), kOk);
  static_cast<Interface*>(base)->Release();
  ASSERT_EQ(InitComponentSystem(nullptr, nullptr, nullptr), kOk);
}

}  // namespace
