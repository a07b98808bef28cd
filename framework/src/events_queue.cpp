// The message queue: per-priority lists in posting order, so that taking the next
// message costs nothing however long the queue grows.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "framework/events.h"
#include "framework/src/loop_state.h"

namespace cv {

SErrorMessage SErrorMessage::From(const SError& e) {
  SErrorMessage m;
  m.errClass = e.errClass;
  m.id = e.id;
  m.systemCode = e.systemCode;
  m.source = e.source ? e.source : "";
  m.line = e.line;
  m.flags = e.flags;
  return m;
}

SError SErrorMessage::ToError() const {
  SError e(errClass, id);
  e.systemCode = systemCode;
  e.source = source ? source : "";
  e.line = line;
  e.flags = flags;
  return e;
}

namespace detail {

namespace {

constexpr std::size_t kHeaderSize =
    (sizeof(SMessage) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

bool Matches(const SMessage* m, Uint32 id, TMessageProc handler, void* context, void* object) {
  return m->id == id && m->handler == handler && m->context == context && (!object || m->object == object);
}

}  // namespace

Uint8* SMessage::Data() { return reinterpret_cast<Uint8*>(this) + kHeaderSize; }

SMessage* MessageQueue::Allocate(Uint32 size) {
  void* block = std::malloc(kHeaderSize + (size ? size : 1));
  if (!block) UError::Raise(errClassMemory, errNoMemory);
  return new (block) SMessage{};
}

void MessageQueue::Free(SMessage* m) {
  if (!m) return;
  m->~SMessage();
  std::free(m);
}

MessageQueue::~MessageQueue() { Clear(); }

MessageQueue::Bucket& MessageQueue::BucketFor(Int16 priority) {
  auto it = std::find_if(buckets_.begin(), buckets_.end(), [&](const Bucket& b) { return b.priority <= priority; });
  if (it != buckets_.end() && it->priority == priority) return *it;
  return *buckets_.insert(it, Bucket{priority, nullptr, nullptr});
}

void MessageQueue::Append(SMessage* m) {
  Bucket& b = BucketFor(m->priority);
  m->next = nullptr;
  if (b.tail)
    b.tail->next = m;
  else
    b.head = m;
  b.tail = m;
  ++count_;
}

// Puts m into its priority's list by posting sequence (used when a replaced message
// changes priority but keeps its place in posting order).
void MessageQueue::InsertBySequence(SMessage* m) {
  Bucket& b = BucketFor(m->priority);
  SMessage* prev = nullptr;
  SMessage* cur = b.head;
  while (cur && cur->sequence < m->sequence) {
    prev = cur;
    cur = cur->next;
  }
  m->next = cur;
  if (prev)
    prev->next = m;
  else
    b.head = m;
  if (!cur) b.tail = m;
  ++count_;
}

void MessageQueue::Unlink(Bucket& b, SMessage* prev, SMessage* m) {
  if (prev)
    prev->next = m->next;
  else
    b.head = m->next;
  if (b.tail == m) b.tail = prev;
  m->next = nullptr;
  --count_;
}

void MessageQueue::Post(Uint32 id, const void* data, Uint32 size, Int16 priority, TMessageProc handler, void* context,
                        void* object) {
  if (size && !data) UError::Raise(errClassGeneral, errBadArgument);
  SMessage* m = Allocate(size);
  m->id = id;
  m->priority = priority;
  m->handler = handler;
  m->context = context;
  m->object = object;
  m->size = size;
  m->sequence = ++sequence_;
  if (size) std::memcpy(m->Data(), data, size);
  Append(m);
}

void MessageQueue::Replace(Uint32 id, const void* data, Uint32 size, Int16 priority, TMessageProc handler,
                           void* context, void* object) {
  if (size && !data) UError::Raise(errClassGeneral, errBadArgument);
  for (Bucket& b : buckets_) {
    SMessage* prev = nullptr;
    for (SMessage* m = b.head; m; prev = m, m = m->next) {
      if (!Matches(m, id, handler, context, object)) continue;
      if (m->size == size) {
        if (size) std::memmove(m->Data(), data, size);
        if (object) m->object = object;
        if (m->priority != priority) {
          Unlink(b, prev, m);
          m->priority = priority;
          InsertBySequence(m);
        }
        return;
      }
      SMessage* fresh = Allocate(size);
      fresh->id = id;
      fresh->priority = priority;
      fresh->handler = handler;
      fresh->context = context;
      fresh->object = object ? object : m->object;
      fresh->size = size;
      fresh->sequence = m->sequence;
      if (size) std::memcpy(fresh->Data(), data, size);
      Unlink(b, prev, m);
      Free(m);
      InsertBySequence(fresh);
      return;
    }
  }
  Post(id, data, size, priority, handler, context, object);
}

void MessageQueue::Flush(TMessageProc handler, void* context, void* object) {
  for (Bucket& b : buckets_) {
    SMessage* prev = nullptr;
    SMessage* m = b.head;
    while (m) {
      SMessage* next = m->next;
      if (m->handler == handler && m->context == context && (!object || m->object == object)) {
        Unlink(b, prev, m);
        Free(m);
      } else {
        prev = m;
      }
      m = next;
    }
  }
}

SMessage* MessageQueue::Take(std::span<const Uint32> ids) {
  for (Bucket& b : buckets_) {
    SMessage* prev = nullptr;
    for (SMessage* m = b.head; m; prev = m, m = m->next) {
      if (!ids.empty() && std::find(ids.begin(), ids.end(), m->id) == ids.end()) continue;
      Unlink(b, prev, m);
      return m;
    }
  }
  return nullptr;
}

std::size_t MessageQueue::Count(Uint32 id) const {
  std::size_t n = 0;
  for (const Bucket& b : buckets_)
    for (const SMessage* m = b.head; m; m = m->next) n += m->id == id;
  return n;
}

void MessageQueue::Clear() {
  for (Bucket& b : buckets_) {
    SMessage* m = b.head;
    while (m) {
      SMessage* next = m->next;
      Free(m);
      m = next;
    }
    b.head = b.tail = nullptr;
  }
  buckets_.clear();
  count_ = 0;
}

// Calls the handler; an SError that escapes becomes msg_Error to the default handler,
// unless the failing message was itself msg_Error (a failing alert must not loop).
void Deliver(LoopState& s, TMessageProc handler, void* context, void* object, Uint32 id, const void* data,
             Uint32 size) {
  if (!handler) {
    handler = s.defaultHandler;
    context = s.defaultContext;
  }
  if (!handler) return;
  auto report = [&](const SError& e) {
    if (id == msg_Error) return;
    SErrorMessage copy = SErrorMessage::From(e);
    s.queue.Post(msg_Error, &copy, sizeof copy, 10, nullptr, nullptr, nullptr);
  };
  try {
    handler(context, object, id, data, size);
  } catch (const SError& e) {
    report(e);
  } catch (const std::bad_alloc&) {
    report(SError(errClassMemory, errNoMemory));
  }
}

}  // namespace detail

namespace UMessageSys {

void Post(Uint32 id, const void* data, Uint32 size, Int16 priority, TMessageProc handler, void* context, void* object) {
  detail::State().queue.Post(id, data, size, priority, handler, context, object);
}

void Replace(Uint32 id, const void* data, Uint32 size, Int16 priority, TMessageProc handler, void* context,
             void* object) {
  detail::State().queue.Replace(id, data, size, priority, handler, context, object);
}

void Flush(TMessageProc handler, void* context, void* object) { detail::State().queue.Flush(handler, context, object); }

void Send(Uint32 id, const void* data, Uint32 size, Int16 /*priority*/, TMessageProc handler, void* context,
          void* object) {
  detail::Deliver(detail::State(), handler, context, object, id, data, size);
}

bool Execute(std::span<const Uint32> ids) {
  detail::LoopState& s = detail::State();
  detail::SMessage* m = s.queue.Take(ids);
  if (!m) return false;
  struct Freer {
    detail::SMessage* m;
    ~Freer() { detail::MessageQueue::Free(m); }
  } freer{m};
  detail::Deliver(s, m->handler, m->context, m->object, m->id, m->size ? m->Data() : nullptr, m->size);
  return true;
}

void SetDefaultHandler(TMessageProc handler, void* context) {
  detail::LoopState& s = detail::State();
  s.defaultHandler = handler;
  s.defaultContext = context;
}

TMessageProc GetDefaultHandler() { return detail::State().defaultHandler; }
void* GetDefaultContext() { return detail::State().defaultContext; }

std::size_t GetCount() { return detail::State().queue.Count(); }
std::size_t GetCount(Uint32 id) { return detail::State().queue.Count(id); }
void Clear() { detail::State().queue.Clear(); }

}  // namespace UMessageSys

}  // namespace cv
