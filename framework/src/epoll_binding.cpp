// The epoll binding: level-triggered readiness for watched descriptors and an eventfd
// that other threads write to cut a wait short.
#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

#include "framework/events.h"

namespace cv {

namespace {

class EpollBinding final : public ILoopBinding {
 public:
  EpollBinding() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) UError::RaiseLastSystem();
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
      int code = errno;
      ::close(epoll_);
      UError::RaiseSystem(code);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0) {
      int code = errno;
      ::close(wake_);
      ::close(epoll_);
      UError::RaiseSystem(code);
    }
  }

  ~EpollBinding() override {
    ::close(wake_);
    ::close(epoll_);
  }

  void Watch(int fd, Uint32 events, TReadyProc proc, void* context) override {
    if (fd < 0) UError::Raise(errClassGeneral, errBadArgument);
    if (static_cast<std::size_t>(fd) >= watches_.size()) {
      if (events == 0) return;
      watches_.resize(static_cast<std::size_t>(fd) + 64);
    }
    Entry& e = watches_[static_cast<std::size_t>(fd)];
    if (events == 0 || !proc) {
      if (e.registered) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
      e = Entry{};
      e.generation = ++generation_;
      return;
    }
    epoll_event ev{};
    if (events & evRead) ev.events |= EPOLLIN | EPOLLRDHUP;
    if (events & evWrite) ev.events |= EPOLLOUT;
    const bool same = e.registered && e.proc == proc && e.context == context;
    if (!same) e.generation = ++generation_;
    ev.data.u64 = (Uint64(e.generation) << 32) | Uint32(fd);
    if (e.registered) {
      if (e.mask == ev.events && same) return;
      if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) != 0) UError::RaiseLastSystem();
    } else {
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        // A descriptor closed and reused behind our back: start its watch afresh.
        if (errno != EEXIST || ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) != 0) UError::RaiseLastSystem();
      }
    }
    e.registered = true;
    e.mask = ev.events;
    e.proc = proc;
    e.context = context;
  }

  int Wait(int timeoutMs) override {
    epoll_event events[kBatch];
    int n = ::epoll_wait(epoll_, events, kBatch, timeoutMs);
    if (n <= 0) return 0;
    int ready = 0;
    for (int i = 0; i < n; ++i) {
      const Uint64 key = events[i].data.u64;
      if (key == kWakeKey) {
        Uint64 value;
        while (::read(wake_, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
        }
        ++ready;
        continue;
      }
      const int fd = static_cast<int>(key & 0xFFFFFFFFu);
      const Uint32 generation = static_cast<Uint32>(key >> 32);
      if (fd < 0 || static_cast<std::size_t>(fd) >= watches_.size()) continue;
      Entry& e = watches_[static_cast<std::size_t>(fd)];
      // A watch removed or replaced by an earlier procedure in this batch is stale.
      if (!e.registered || e.generation != generation) continue;
      Uint32 what = 0;
      const Uint32 got = events[i].events;
      if (got & EPOLLIN) what |= evRead;
      if (got & EPOLLOUT) what |= evWrite;
      if (got & (EPOLLHUP | EPOLLRDHUP)) what |= evHangup;
      if (got & EPOLLERR) what |= evError;
      ++ready;
      e.proc(e.context, fd, what);
    }
    return ready;
  }

  void Wake() override {
    const Uint64 one = 1;
    // A full counter already means a wake is pending.
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }

 private:
  static constexpr int kBatch = 256;
  static constexpr Uint64 kWakeKey = ~Uint64(0);

  struct Entry {
    bool registered = false;
    Uint32 mask = 0;
    Uint32 generation = 0;
    TReadyProc proc = nullptr;
    void* context = nullptr;
  };

  int epoll_ = -1;
  int wake_ = -1;
  Uint32 generation_ = 0;
  std::vector<Entry> watches_;
};

}  // namespace

std::unique_ptr<ILoopBinding> NewEpollBinding() { return std::make_unique<EpollBinding>(); }

}  // namespace cv
