#include "components/event_queue_service.h"

#include <mutex>
#include <new>
#include <vector>

#include "runtime/thread.h"

namespace wendlemoor {

namespace {

class EventQueueImpl final : public InterfaceImpl<EventQueueImpl, EventQueue> {
};

class EventQueueServiceImpl final
    : public InterfaceImpl<EventQueueServiceImpl, EventQueueService> {
 public:
  ~EventQueueServiceImpl() {
    for (const Slot& slot : queues_) slot.queue->Release();
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

  // Mutex rules: mutex_ guards queues_.
  std::mutex mutex_;
  std::vector<Slot> queues_;
};

}  // namespace

EventQueueService* CreateEventQueueService() {
  return new (std::nothrow) EventQueueServiceImpl;
}

}  // namespace wendlemoor
