// The event-queue service: one event queue per thread, on request.
//
// This is kept minimal: a thread prepares its queue and can then obtain it;
// nothing is ever posted or processed. Both operations may be called from any
// thread at once (Mutex rules: the service's mutex guards its table of queues).
// The service holds one reference to each queue it created until it is
// destroyed.
//
// Public: installed with the library (include/wendlemoor/components/), this
// header is the contract that programs using it build against.
#ifndef WENDLEMOOR_COMPONENTS_EVENT_QUEUE_SERVICE_H_
#define WENDLEMOOR_COMPONENTS_EVENT_QUEUE_SERVICE_H_

#include "components/interface.h"
#include "components/result_code.h"

namespace wendlemoor {

inline constexpr char kEventQueueServiceContractId[] =
    "@wendlemoor.org/event-queue-service;1";

// {A6CF90DC-15B3-11D2-932E-00805F8ADD32}
inline constexpr InterfaceId kEventQueueServiceId = {
    0xA6CF90DC,
    0x15B3,
    0x11D2,
    {0x93, 0x2E, 0x00, 0x80, 0x5F, 0x8A, 0xDD, 0x32}};

// {5E0C2B8D-7A41-4C6B-B1F0-3D9A6E27C4A1}
inline constexpr InterfaceId kEventQueueId = {
    0x5E0C2B8D,
    0x7A41,
    0x4C6B,
    {0xB1, 0xF0, 0x3D, 0x9A, 0x6E, 0x27, 0xC4, 0xA1}};

// A thread's event queue. It has only the base operations.
class EventQueue : public Interface {
 public:
  static constexpr const InterfaceId& kIid = kEventQueueId;

 protected:
  ~EventQueue() = default;
};

class EventQueueService : public Interface {
 public:
  static constexpr const InterfaceId& kIid = kEventQueueServiceId;

  // Creates the calling thread's event queue. Calling it again from the same
  // thread keeps the queue it has and returns kOk.
  // Returns kOk or kErrorOutOfMemory.
  virtual ResultCode PrepareQueue() = 0;

  // Hands out the event queue of `thread` (a JX_GetCurrentThread identity;
  // null means the calling thread) with one reference for the caller in
  // `*queue`. Returns kOk, kErrorNoQueue when that thread has prepared none
  // (`*queue` is then null), or kErrorInvalidArgument for a null `queue`.
  virtual ResultCode GetQueue(void* thread, EventQueue** queue) = 0;

 protected:
  ~EventQueueService() = default;
};

// Creates a new event-queue service with one reference for the caller, or
// returns null when memory runs out.
EventQueueService* CreateEventQueueService();

}  // namespace wendlemoor

#endif  // WENDLEMOOR_COMPONENTS_EVENT_QUEUE_SERVICE_H_
