// The framework's loop on Qt's: network, timers, wakes from other threads and the
// framework's messages, with Qt's loop running on its own, under CApplication::Run,
// and inside a modal dialog opened by a message handler.
#include <QDialog>
#include <QEventLoop>
#include <QTimer>
#include <string>
#include <thread>
#include <vector>

#include "framework/events.h"
#include "framework/transport.h"
#include "qt_harness.h"
#include "toolkit/qtloop.h"

namespace {

using namespace cv;

constexpr int kSafetyMs = 20000;  // only ends a test that has already failed

// An echo server and a client that sends one text, both on framework transports.
class CEcho {
 public:
  explicit CEcho(std::string text) : text_(std::move(text)) {
    listener_.reset(UTransport::New(kTransportTCP));
    UTransport::SetMessageHandler(listener_.get(), &CEcho::Proc, this);
    SInternetAddress any = SInternetAddress::Loopback(0);
    UTransport::Listen(listener_.get(), &any, sizeof any);
  }

  void Start() {
    client_.reset(UTransport::New(kTransportTCP));
    UTransport::SetMessageHandler(client_.get(), &CEcho::Proc, this);
    SInternetAddress to = SInternetAddress::Loopback(UTransport::GetLocalAddress(listener_.get()).port);
    UTransport::StartConnect(client_.get(), &to, sizeof to);
  }

  bool Done() const { return received_ == text_; }
  const std::string& Received() const { return received_; }
  std::function<void()> onDone;

 private:
  static void Proc(void* context, void* object, Uint32 id, const void*, Uint32) {
    auto* self = static_cast<CEcho*>(context);
    auto* t = static_cast<TTransport>(object);
    if (t == self->listener_.get()) {
      while (TTransport peer = UTransport::Accept(t)) {
        UTransport::SetMessageHandler(peer, &CEcho::Proc, self);
        self->peers_.emplace_back(peer);
      }
      return;
    }
    if (t == self->client_.get()) {
      if (id == msg_ConnectionEstablished) UTransport::Send(t, self->text_.data(), Uint32(self->text_.size()));
      if (id == msg_DataArrived) {
        char buffer[256];
        while (Uint32 n = UTransport::Receive(t, buffer, sizeof buffer)) self->received_.append(buffer, n);
        if (self->Done() && self->onDone) self->onDone();
      }
      return;
    }
    if (id == msg_DataArrived) {
      char buffer[256];
      while (Uint32 n = UTransport::Receive(t, buffer, sizeof buffer)) UTransport::Send(t, buffer, n);
    }
  }

  std::string text_;
  std::string received_;
  TransportPtr listener_, client_;
  std::vector<TransportPtr> peers_;
};

struct STimerProbe {
  int ticks = 0;
  std::function<void()> onTick;
  static void Proc(void* context, void*, Uint32, const void*, Uint32) {
    auto* self = static_cast<STimerProbe*>(context);
    self->ticks += 1;
    if (self->onTick) self->onTick();
  }
};

using QtLoop = cvtest::QtLoopTest;

TEST_F(QtLoop, NetworkAndTimersRunWhileQtRunsItsOwnLoop) {
  CEcho echo("hello over loopback");
  STimerProbe probe;
  QEventLoop loop;
  auto check = [&] {
    if (echo.Done() && probe.ticks > 0) loop.quit();
  };
  echo.onDone = check;
  probe.onTick = check;
  TimerPtr timer(UTimer::StartNew(&STimerProbe::Proc, &probe, 30, false));
  echo.Start();
  // Code that enters a Qt loop from outside the framework's own handlers says so.
  UQtLoop::RequestPump();
  QTimer::singleShot(kSafetyMs, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_EQ(echo.Received(), "hello over loopback");
  EXPECT_EQ(probe.ticks, 1);
  EXPECT_FALSE(UTimer::IsRunning(timer.get()));
}

TEST_F(QtLoop, WorkHandedOverFromAnotherThreadRunsOnTheGuiThread) {
  QEventLoop loop;
  std::thread::id ranOn;
  std::thread helper([remote = UEventLoop::Remote(), &ranOn, &loop] {
    remote->Run([&ranOn, &loop] {
      ranOn = std::this_thread::get_id();
      loop.quit();
    });
  });
  QTimer::singleShot(kSafetyMs, &loop, &QEventLoop::quit);
  loop.exec();
  helper.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

// An application whose handlers record what reached them.
class CRecordingApp : public CApplication {
 public:
  std::vector<Uint32> ids;
  std::vector<SError> errors;
  std::function<void(Uint32)> on;

  void HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) override {
    if (id > 999) {
      ids.push_back(id);
      if (on) on(id);
      return;
    }
    CApplication::HandleMessage(object, id, data, size);
  }
  void Error(const SError& e) override { errors.push_back(e); }
};

TEST_F(QtLoop, ApplicationRunDeliversInOrderAndReportsErrorsOfWindowActions) {
  CRecordingApp app;
  UMessageSys::Post(1001);
  UMessageSys::Post(1002);
  UMessageSys::Post(1003, nullptr, 0, 10);
  // A button's action that fails, and one that ends the program, from Qt's side.
  QTimer::singleShot(0, [] { UQtLoop::Act([] { UError::Raise(errClassFiles, errAccessDenied); }); });
  QTimer::singleShot(20, [&app] { UQtLoop::Act([&app] { UMessageSys::Post(1004); }); });
  app.on = [&app](Uint32 id) {
    if (id == 1004) app.Quit();
  };
  QTimer::singleShot(kSafetyMs, [&app] { app.Quit(); });
  app.Run();
  EXPECT_EQ(app.ids, (std::vector<Uint32>{1003, 1001, 1002, 1004}));
  ASSERT_EQ(app.errors.size(), 1u);
  EXPECT_TRUE(app.errors[0].Is(errClassFiles, errAccessDenied));
}

TEST_F(QtLoop, ModalDialogOpenedByAHandlerKeepsEverythingGoing) {
  CRecordingApp app;
  CEcho echo("through the modal loop");
  STimerProbe probe;
  QDialog dialog;
  bool remoteRan = false;
  bool inModal = false;
  int modalResult = -1;
  std::vector<Uint32> duringModal;
  auto allDone = [&] { return echo.Done() && probe.ticks >= 3 && remoteRan && !duringModal.empty(); };
  // Whatever finishes last closes the dialog, from inside a framework handler.
  auto check = [&] {
    if (inModal && allDone()) dialog.accept();
  };
  echo.onDone = check;
  probe.onTick = check;
  TimerPtr timer;
  std::thread helper;
  app.on = [&](Uint32 id) {
    if (id == 1001) {
      // Everything below starts inside the handler, then the handler waits for the user.
      echo.Start();
      timer.reset(UTimer::StartNew(&STimerProbe::Proc, &probe, 10, true));
      UMessageSys::Post(1002);
      helper = std::thread([remote = UEventLoop::Remote(), &remoteRan, check] {
        remote->Run([&remoteRan, check] {
          remoteRan = true;
          check();
        });
      });
      inModal = true;
      QTimer::singleShot(kSafetyMs, &dialog, &QDialog::reject);
      modalResult = UQtLoop::Exec(dialog);
      inModal = false;
      app.Quit();
    } else if (id == 1002 && inModal) {
      duringModal.push_back(id);
      check();
    }
  };
  UMessageSys::Post(1001);
  app.Run();
  helper.join();
  EXPECT_EQ(modalResult, QDialog::Accepted);
  EXPECT_TRUE(echo.Done());
  EXPECT_GE(probe.ticks, 3);
  EXPECT_TRUE(remoteRan);
  EXPECT_EQ(duringModal, (std::vector<Uint32>{1002}));
}

}  // namespace
