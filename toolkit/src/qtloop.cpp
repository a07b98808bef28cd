// The Qt binding of the framework's loop.
#include "toolkit/qtloop.h"

#include <poll.h>

#include <QCoreApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <exception>
#include <vector>

namespace cv {

namespace {

class CQtBinding;

// The Qt binding of this thread, while one exists.
thread_local CQtBinding* gBinding = nullptr;

class CQtBinding final : public ILoopBinding {
 public:
  CQtBinding() : anchor_(std::make_unique<QObject>()) {
    if (!QCoreApplication::instance()) UError::Raise(errClassGeneral, errBadState);
    tick_.setSingleShot(true);
    tick_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick_, &QTimer::timeout, anchor_.get(), [this] { Callback([] {}); });
    bound_.setSingleShot(true);
    bound_.setTimerType(Qt::PreciseTimer);
    // Only ends a wait; the framework's own pass follows it.
    QObject::connect(&bound_, &QTimer::timeout, anchor_.get(), [] {});
    previous_ = gBinding;
    gBinding = this;
  }

  ~CQtBinding() override {
    if (gBinding == this) gBinding = previous_;
    for (SWatch& w : watches_) {
      delete w.read;
      delete w.write;
    }
  }

  void Watch(int fd, Uint32 events, TReadyProc proc, void* context) override {
    if (fd < 0) UError::Raise(errClassGeneral, errBadArgument);
    if (static_cast<std::size_t>(fd) >= watches_.size()) {
      if (events == 0 || !proc) return;
      watches_.resize(static_cast<std::size_t>(fd) + 64);
    }
    SWatch& w = watches_[static_cast<std::size_t>(fd)];
    if (events == 0 || !proc) {
      w.mask = 0;
      w.proc = nullptr;
      w.context = nullptr;
    } else {
      w.mask = events & (evRead | evWrite);
      w.proc = proc;
      w.context = context;
    }
    // Notifiers are never deleted here: the procedure that stops a watch may be running
    // from that very notifier. A stopped one is disabled and kept for the next socket
    // that gets the same descriptor.
    Enable(fd, w.read, QSocketNotifier::Read, (w.mask & evRead) != 0);
    Enable(fd, w.write, QSocketNotifier::Write, (w.mask & evWrite) != 0);
  }

  int Wait(int timeoutMs) override {
    // A pump from inside one of our own callbacks: Qt's events belong to the loop that
    // is running already.
    if (timeoutMs == 0 && depth_ > 0) return 0;
    ready_ = 0;
    if (timeoutMs == 0) {
      QCoreApplication::processEvents(QEventLoop::AllEvents);
    } else {
      if (timeoutMs > 0) bound_.start(timeoutMs);
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
      bound_.stop();
    }
    // Outside any Qt loop of their own, objects deleted later go now.
    if (depth_ == 0) QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Arm();
    const int ready = ready_;
    ready_ = 0;
    if (pending_) {
      std::exception_ptr e = pending_;
      pending_ = nullptr;
      std::rethrow_exception(e);
    }
    return ready;
  }

  void Wake() override {
    // Any thread. One queued call at a time is enough: it pumps everything.
    if (wakePending_.exchange(true)) return;
    QMetaObject::invokeMethod(
        anchor_.get(),
        [this] {
          wakePending_ = false;
          ++ready_;
          Callback([] {});
        },
        Qt::QueuedConnection);
  }

  void RequestPump() {
    if (pumpPending_) return;
    pumpPending_ = true;
    QMetaObject::invokeMethod(
        anchor_.get(),
        [this] {
          pumpPending_ = false;
          Callback([] {});
        },
        Qt::QueuedConnection);
  }

  // Runs fn, then a pump of the framework's loop, keeping exceptions out of Qt.
  template <typename F>
  void Callback(F&& fn) {
    ++depth_;
    try {
      fn();
      UEventLoop::Pump();
    } catch (...) {
      Keep(std::current_exception());
    }
    --depth_;
    Arm();
  }

  void Keep(std::exception_ptr e) {
    if (!pending_) pending_ = e;
  }

  int Depth() const { return depth_; }
  void Enter() { ++depth_; }
  void Leave() { --depth_; }

 private:
  struct SWatch {
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
    Uint32 mask = 0;
    TReadyProc proc = nullptr;
    void* context = nullptr;
  };

  void Enable(int fd, QSocketNotifier*& n, QSocketNotifier::Type type, bool on) {
    if (!on) {
      if (n) n->setEnabled(false);
      return;
    }
    if (!n) {
      n = new QSocketNotifier(fd, type);
      QObject::connect(n, &QSocketNotifier::activated, anchor_.get(), [this, fd] { Ready(fd); });
    }
    n->setEnabled(true);
  }

  // A notifier fired: the descriptor's actual state decides what its procedure is told,
  // as with the epoll binding (hang-ups and errors included).
  void Ready(int fd) {
    Callback([this, fd] {
      if (static_cast<std::size_t>(fd) >= watches_.size()) return;
      SWatch& w = watches_[static_cast<std::size_t>(fd)];
      if (!w.proc || !w.mask) return;
      pollfd p{};
      p.fd = fd;
      if (w.mask & evRead) p.events |= POLLIN | POLLRDHUP;
      if (w.mask & evWrite) p.events |= POLLOUT;
      if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLNVAL)) return;
      Uint32 what = 0;
      if (p.revents & POLLIN) what |= evRead;
      if (p.revents & POLLOUT) what |= evWrite;
      if (p.revents & (POLLHUP | POLLRDHUP)) what |= evHangup;
      if (p.revents & POLLERR) what |= evError;
      if (!what) return;
      ++ready_;
      w.proc(w.context, fd, what);
    });
  }

  // One Qt timer for the framework's next due timer, or at once while messages wait.
  void Arm() {
    int next = UMessageSys::GetCount() > 0 ? 0 : UEventLoop::NextTimeout();
    if (next < 0) {
      tick_.stop();
      return;
    }
    if (!tick_.isActive() || tick_.remainingTime() > next) tick_.start(next);
  }

  std::unique_ptr<QObject> anchor_;  // context of every connection: gone with the binding
  QTimer tick_;
  QTimer bound_;
  std::vector<SWatch> watches_;
  std::atomic<bool> wakePending_{false};
  bool pumpPending_ = false;
  int depth_ = 0;
  int ready_ = 0;
  std::exception_ptr pending_;
  CQtBinding* previous_ = nullptr;
};

}  // namespace

namespace UQtLoop {

std::unique_ptr<ILoopBinding> NewBinding() { return std::make_unique<CQtBinding>(); }

void Install() { UEventLoop::SetBinding(NewBinding()); }

bool IsInstalled() { return gBinding != nullptr; }

void Act(const std::function<void()>& action) {
  CQtBinding* b = gBinding;
  if (b) b->Enter();
  try {
    action();
  } catch (const SError& e) {
    const SErrorMessage copy = SErrorMessage::From(e);
    UMessageSys::Post(msg_Error, &copy, sizeof copy, 10);
  } catch (...) {
    // Without the binding there is no Qt loop between us and the caller to protect.
    if (!b) throw;
    b->Keep(std::current_exception());
  }
  if (b) {
    b->Leave();
    b->RequestPump();
  }
}

void RequestPump() {
  if (gBinding) gBinding->RequestPump();
}

int Exec(QDialog& dialog) {
  RequestPump();
  return dialog.exec();
}

}  // namespace UQtLoop

}  // namespace cv
