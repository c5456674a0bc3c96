#include "components/event_queue_service.h"

#include <mutex>
#include <new>
#include <vector>

#include "runtime/thread.h"

namespace {

class EventQueueImpl final : public EventQueue {
 public:
  ResultCode QueryInterface(const InterfaceId& iid, void** result) override {
    if (result == nullptr) return kErrorInvalidArgument;
    if (iid == kEventQueueId || iid == kBaseInterfaceId) {
      AddRef();
      *result = static_cast<EventQueue*>(this);
      return kOk;
    }
    *result = nullptr;
    return kErrorNoInterface;
  }
  std::uint32_t AddRef() override { return references_.Add(); }
  std::uint32_t Release() override {
    const std::uint32_t left = references_.Drop();
    if (left == 0) delete this;
    return left;
  }

 private:
  ReferenceCount references_;
};

class EventQueueServiceImpl final : public EventQueueService {
 public:
  ~EventQueueServiceImpl() {
    for (const Slot& slot : queues_) slot.queue->Release();
  }

  ResultCode QueryInterface(const InterfaceId& iid, void** result) override {
    if (result == nullptr) return kErrorInvalidArgument;
    if (iid == kEventQueueServiceId || iid == kBaseInterfaceId) {
      AddRef();
      *result = static_cast<EventQueueService*>(this);
      return kOk;
    }
    *result = nullptr;
    return kErrorNoInterface;
  }
  std::uint32_t AddRef() override { return references_.Add(); }
  std::uint32_t Release() override {
    const std::uint32_t left = references_.Drop();
    if (left == 0) delete this;
    return left;
  }

  ResultCode PrepareQueue() override {
    void* const thread = JX_GetCurrentThread();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& slot : queues_) {
      if (slot.thread == thread) return kOk;
    }
    auto* queue = new (std::nothrow) EventQueueImpl;
    if (queue == nullptr) return kErrorOutOfMemory;
    try {
      queues_.push_back({thread, queue});
    } catch (const std::bad_alloc&) {
      queue->Release();
      return kErrorOutOfMemory;
    }
    return kOk;
  }

  ResultCode GetQueue(void* thread, EventQueue** queue) override {
    if (queue == nullptr) return kErrorInvalidArgument;
    *queue = nullptr;
    if (thread == nullptr) thread = JX_GetCurrentThread();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Slot& slot : queues_) {
      if (slot.thread == thread) {
        slot.queue->AddRef();
        *queue = slot.queue;
        return kOk;
      }
    }
    return kErrorNoQueue;
  }

 private:
  struct Slot {
    void* thread;
    EventQueue* queue;  // one reference, the service's
  };

  ReferenceCount references_;
  // Mutex rules: mutex_ guards queues_.
  std::mutex mutex_;
  std::vector<Slot> queues_;
};

}  // namespace

EventQueueService* CreateEventQueueService() {
  return new (std::nothrow) EventQueueServiceImpl;
}
