// Private: the per-thread state behind UMessageSys, UTimer and UEventLoop.
#pragma once

#include <signal.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "framework/events.h"

namespace cv {

struct TTimerRec {
  TMessageProc handler = nullptr;
  void* context = nullptr;
  Uint32 interval = 0;
  bool repeating = false;
  bool running = false;
  Int64 due = 0;
  Uint64 sequence = 0;  // key in the running list together with due
};

namespace detail {

struct SMessage {
  SMessage* next = nullptr;
  Uint64 sequence = 0;
  Uint32 id = 0;
  Int16 priority = 0;
  TMessageProc handler = nullptr;
  void* context = nullptr;
  void* object = nullptr;
  Uint32 size = 0;

  // The copy of the data, in the same allocation behind the header.
  Uint8* Data();
};

class MessageQueue {
 public:
  MessageQueue() = default;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;
  ~MessageQueue();

  void Post(Uint32 id, const void* data, Uint32 size, Int16 priority, TMessageProc handler, void* context,
            void* object);
  void Replace(Uint32 id, const void* data, Uint32 size, Int16 priority, TMessageProc handler, void* context,
               void* object);
  void Flush(TMessageProc handler, void* context, void* object);
  // Unlinks the next message to deliver (caller frees it), or none.
  SMessage* Take(std::span<const Uint32> ids);
  std::size_t Count() const { return count_; }
  std::size_t Count(Uint32 id) const;
  void Clear();

  static SMessage* Allocate(Uint32 size);
  static void Free(SMessage* m);

 private:
  struct Bucket {
    Int16 priority;
    SMessage* head;
    SMessage* tail;
  };
  Bucket& BucketFor(Int16 priority);
  void Append(SMessage* m);
  void InsertBySequence(SMessage* m);
  void Unlink(Bucket& b, SMessage* prev, SMessage* m);

  std::vector<Bucket> buckets_;  // highest priority first
  std::size_t count_ = 0;
  Uint64 sequence_ = 0;
};

// Work handed to a loop from other threads.
class RemoteInbox : public UEventLoop::CRemote {
 public:
  void Run(std::function<void()> fn) override;
  // Loop thread: takes everything handed over so far.
  std::vector<std::function<void()>> TakeAll();
  void SetBinding(ILoopBinding* binding);
  void Close();

 private:
  std::mutex lock_;
  ILoopBinding* binding_ = nullptr;
  bool closed_ = false;
  std::vector<std::function<void()>> work_;
};

struct LoopState {
  LoopState();
  ~LoopState();

  MessageQueue queue;
  TMessageProc defaultHandler = nullptr;
  void* defaultContext = nullptr;

  std::unique_ptr<ILoopBinding> binding;
  std::shared_ptr<RemoteInbox> remote;
  std::map<std::pair<Int64, Uint64>, TTimerRec*> timers;  // running timers by (due, sequence)
  Uint64 timerSequence = 0;

  bool stopRequested = false;
  int signalFd = -1;
  sigset_t savedMask{};
};

LoopState& State();
ILoopBinding& EnsureBinding(LoopState& s);

void Deliver(LoopState& s, TMessageProc handler, void* context, void* object, Uint32 id, const void* data, Uint32 size);

}  // namespace detail

}  // namespace cv
