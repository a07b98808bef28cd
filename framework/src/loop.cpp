// The loop: timers kept on the framework's clock, work handed over from other
// threads, signals read from a descriptor, and the passes that tie them together.
#include <errno.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <new>

#include "framework/clock.h"
#include "framework/events.h"
#include "framework/src/loop_state.h"

namespace cv {

namespace detail {

void RemoteInbox::Run(std::function<void()> fn) {
  std::lock_guard<std::mutex> hold(lock_);
  if (closed_) return;
  work_.push_back(std::move(fn));
  if (binding_) binding_->Wake();
}

std::vector<std::function<void()>> RemoteInbox::TakeAll() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::function<void()>> out;
  out.swap(work_);
  return out;
}

void RemoteInbox::SetBinding(ILoopBinding* binding) {
  std::lock_guard<std::mutex> hold(lock_);
  binding_ = binding;
  if (binding_ && !work_.empty()) binding_->Wake();
}

void RemoteInbox::Close() {
  std::lock_guard<std::mutex> hold(lock_);
  closed_ = true;
  binding_ = nullptr;
  work_.clear();
}

LoopState::LoopState() : remote(std::make_shared<RemoteInbox>()) {}

LoopState::~LoopState() {
  remote->Close();
  if (signalFd >= 0) {
    ::close(signalFd);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  }
  for (auto& [key, timer] : timers) timer->running = false;
  timers.clear();
  queue.Clear();
}

LoopState& State() {
  thread_local LoopState state;
  return state;
}

ILoopBinding& EnsureBinding(LoopState& s) {
  if (!s.binding) {
    s.binding = NewEpollBinding();
    s.remote->SetBinding(s.binding.get());
  }
  return *s.binding;
}

namespace {

void Unschedule(LoopState& s, TTimerRec* t) {
  if (!t->running) return;
  s.timers.erase({t->due, t->sequence});
  t->running = false;
}

void Schedule(LoopState& s, TTimerRec* t, Int64 due) {
  t->due = due;
  t->sequence = ++s.timerSequence;
  t->running = true;
  s.timers.emplace(std::make_pair(t->due, t->sequence), t);
}

// Posts one tick for every due timer. The replace keeps at most one tick per timer
// pending however long the program was busy, and a repeating timer that fell behind
// starts a fresh interval from now instead of catching up.
bool FireDueTimers(LoopState& s) {
  if (s.timers.empty()) return false;
  const Int64 now = UClock::Milliseconds();
  bool fired = false;
  while (!s.timers.empty()) {
    auto it = s.timers.begin();
    if (it->first.first > now) break;
    TTimerRec* t = it->second;
    s.timers.erase(it);
    t->running = false;
    if (t->repeating) {
      Int64 next = t->due + t->interval;
      if (next <= now) next = now + t->interval;
      Schedule(s, t, next);
    }
    s.queue.Replace(msg_Timer, nullptr, 0, -20, t->handler, t->context, t);
    fired = true;
  }
  return fired;
}

bool RunRemoteWork(LoopState& s) {
  auto work = s.remote->TakeAll();
  for (auto& fn : work) fn();
  return !work.empty();
}

bool Process(LoopState& s) {
  bool did = RunRemoteWork(s);
  did |= FireDueTimers(s);
  while (UMessageSys::Execute()) did = true;
  return did;
}

int WaitLimit(LoopState& s, int timeoutMs) {
  if (s.queue.Count() > 0) return 0;
  int next = UEventLoop::NextTimeout();
  if (next < 0) return timeoutMs;
  if (timeoutMs < 0) return next;
  return std::min(next, timeoutMs);
}

void SignalReady(void* context, int fd, Uint32 /*events*/) {
  auto* s = static_cast<LoopState*>(context);
  signalfd_siginfo info;
  for (;;) {
    ssize_t n = ::read(fd, &info, sizeof info);
    if (n != static_cast<ssize_t>(sizeof info)) break;
    Int32 signo = static_cast<Int32>(info.ssi_signo);
    s->queue.Post(msg_Signal, &signo, sizeof signo, 0, nullptr, nullptr, nullptr);
  }
}

}  // namespace

}  // namespace detail

namespace UTimer {

TTimer New(TMessageProc handler, void* context) {
  auto* t = new (std::nothrow) TTimerRec;
  if (!t) UError::Raise(errClassMemory, errNoMemory);
  t->handler = handler;
  t->context = context;
  return t;
}

TTimer StartNew(TMessageProc handler, void* context, Uint32 intervalMs, bool repeating) {
  TTimer t = New(handler, context);
  try {
    Start(t, intervalMs, repeating);
  } catch (...) {
    Dispose(t);
    throw;
  }
  return t;
}

void Start(TTimer timer, Uint32 intervalMs, bool repeating) {
  TTimerRec& t = Require(timer);
  detail::LoopState& s = detail::State();
  detail::Unschedule(s, &t);
  // A repeating timer of 0 ms would never let the loop sleep; 1 ms is the finest tick.
  t.interval = repeating && intervalMs == 0 ? 1 : intervalMs;
  t.repeating = repeating;
  try {
    detail::Schedule(s, &t, UClock::Milliseconds() + t.interval);
  } catch (const std::bad_alloc&) {
    UError::Raise(errClassMemory, errNoMemory);
  }
}

bool Stop(TTimer timer) {
  if (!timer) return false;
  bool was = timer->running;
  detail::Unschedule(detail::State(), timer);
  return was;
}

bool IsRunning(TTimer timer) { return timer && timer->running; }

void Dispose(TTimer timer) {
  if (!timer) return;
  detail::LoopState& s = detail::State();
  detail::Unschedule(s, timer);
  s.queue.Flush(timer->handler, timer->context, timer);
  delete timer;
}

}  // namespace UTimer

namespace UEventLoop {

ILoopBinding& Binding() { return detail::EnsureBinding(detail::State()); }

void SetBinding(std::unique_ptr<ILoopBinding> binding) {
  detail::LoopState& s = detail::State();
  s.remote->SetBinding(nullptr);
  s.binding = std::move(binding);
  s.remote->SetBinding(s.binding.get());
}

bool Pump() {
  detail::LoopState& s = detail::State();
  bool did = detail::EnsureBinding(s).Wait(0) > 0;
  did |= detail::Process(s);
  return did;
}

void RunUntilIdle() {
  while (Pump()) {
  }
}

void RunOnce(int timeoutMs) {
  detail::LoopState& s = detail::State();
  Pump();
  detail::EnsureBinding(s).Wait(detail::WaitLimit(s, timeoutMs));
  detail::Process(s);
}

void Run() {
  detail::LoopState& s = detail::State();
  s.stopRequested = false;
  RunUntil([&s] { return s.stopRequested; });
  s.stopRequested = false;
}

void Stop() { detail::State().stopRequested = true; }

void RunUntil(const std::function<bool()>& done) {
  detail::LoopState& s = detail::State();
  ILoopBinding& binding = detail::EnsureBinding(s);
  // Each round: wait (not at all when messages are pending) and dispatch what is ready,
  // then run remote work, due timers and every queued message.
  while (!done()) {
    binding.Wait(detail::WaitLimit(s, -1));
    detail::Process(s);
  }
}

bool RunUntilFor(const std::function<bool()>& done, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  detail::LoopState& s = detail::State();
  ILoopBinding& binding = detail::EnsureBinding(s);
  while (!done()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return done();
    binding.Wait(detail::WaitLimit(s, static_cast<int>(std::min<long long>(left, INT_MAX))));
    detail::Process(s);
  }
  return true;
}

int NextTimeout() {
  detail::LoopState& s = detail::State();
  if (s.timers.empty()) return -1;
  Int64 left = s.timers.begin()->first.first - UClock::Milliseconds();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

std::shared_ptr<CRemote> Remote() { return detail::State().remote; }

bool WatchSignals() {
  detail::LoopState& s = detail::State();
  if (s.signalFd >= 0) return false;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (int rc = pthread_sigmask(SIG_BLOCK, &set, &s.savedMask); rc != 0) UError::RaiseSystem(rc);
  int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    int code = errno;
    pthread_sigmask(SIG_SETMASK, &s.savedMask, nullptr);
    UError::RaiseSystem(code);
  }
  s.signalFd = fd;
  detail::EnsureBinding(s).Watch(fd, ILoopBinding::evRead, detail::SignalReady, &s);
  return true;
}

void StopWatchingSignals() {
  detail::LoopState& s = detail::State();
  if (s.signalFd < 0) return;
  detail::EnsureBinding(s).Watch(s.signalFd, 0, nullptr, nullptr);
  // Signals that came in meanwhile still become messages rather than ending the process.
  detail::SignalReady(&s, s.signalFd, 0);
  ::close(s.signalFd);
  s.signalFd = -1;
  pthread_sigmask(SIG_SETMASK, &s.savedMask, nullptr);
}

}  // namespace UEventLoop

}  // namespace cv
