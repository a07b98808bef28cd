#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/clock.h"
#include "framework/events.h"

using namespace cv;

namespace {

// Records every message it gets as "id:tag" (tag = first data byte, when there is data).
struct Recorder {
  std::vector<std::string> seen;

  static void Proc(void* context, void* /*object*/, Uint32 id, const void* data, Uint32 size) {
    auto* r = static_cast<Recorder*>(context);
    std::string entry = std::to_string(id);
    if (size) entry += ":" + std::string(static_cast<const char*>(data), size);
    r->seen.push_back(entry);
  }
};

void PostTagged(Recorder& r, Uint32 id, const char* tag, Int16 priority = 0) {
  UMessageSys::Post(id, tag, static_cast<Uint32>(std::strlen(tag)), priority, Recorder::Proc, &r);
}

class TestApp : public CApplication {
 public:
  using CApplication::CApplication;
  std::vector<SError> errors;
  std::vector<int> signals;
  std::vector<std::string> opened;
  std::vector<TTimer> ticks;
  std::vector<Uint32> others;

  void Error(const SError& e) override { errors.push_back(e); }
  void Signal(int signo) override {
    signals.push_back(signo);
    CApplication::Signal(signo);
  }
  void OpenDocument(std::string_view path) override { opened.emplace_back(path); }
  void Timer(TTimer t) override { ticks.push_back(t); }
  void HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) override {
    if (id > 999) others.push_back(id);
    CApplication::HandleMessage(object, id, data, size);
  }
};

class Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UMessageSys::SetDefaultHandler(nullptr, nullptr);
    UClock::SetTestOffset(0);
  }
  void TearDown() override {
    UMessageSys::Clear();
    UClock::SetTestOffset(0);
  }
};

// Timers on a clock that only Advance moves, so that a check one millisecond before a
// deadline does not race real time on a slow machine.
class TimerLoop : public Loop {
 protected:
  void SetUp() override {
    Loop::SetUp();
    const std::int64_t base = UClock::Milliseconds();
    UClock::SetSource([base] { return base; });
  }
  void TearDown() override {
    Loop::TearDown();
    UClock::SetSource(nullptr);
  }
};

TEST_F(Loop, HigherPriorityFirstThenPostingOrder) {
  Recorder r;
  PostTagged(r, 1000, "a");
  PostTagged(r, 1000, "b");
  PostTagged(r, 1000, "late", -20);
  PostTagged(r, 1000, "urgent", 10);
  PostTagged(r, 1000, "c");
  while (UMessageSys::Execute()) {
  }
  EXPECT_EQ(r.seen, (std::vector<std::string>{"1000:urgent", "1000:a", "1000:b", "1000:c", "1000:late"}));
}

TEST_F(Loop, ExecuteWithIdsTakesOnlyThose) {
  Recorder r;
  PostTagged(r, 1001, "x", 10);
  PostTagged(r, 1002, "y");
  PostTagged(r, 1003, "z");
  const Uint32 wanted[] = {1002, 1003};
  EXPECT_TRUE(UMessageSys::Execute(wanted));
  EXPECT_TRUE(UMessageSys::Execute(wanted));
  EXPECT_FALSE(UMessageSys::Execute(wanted));
  EXPECT_EQ(r.seen, (std::vector<std::string>{"1002:y", "1003:z"}));
  EXPECT_EQ(UMessageSys::GetCount(), 1u);
}

TEST_F(Loop, ReplaceKeepsPlaceAndUpdatesData) {
  Recorder r;
  PostTagged(r, 1010, "1");
  PostTagged(r, 1011, "other");
  // Same size: overwritten in place. Other size: a new entry in the old one's place.
  UMessageSys::Replace(1010, "2", 1, 0, Recorder::Proc, &r);
  UMessageSys::Replace(1010, "three", 5, 0, Recorder::Proc, &r);
  // Nothing pending with this id: posts at the tail.
  UMessageSys::Replace(1012, "new", 3, 0, Recorder::Proc, &r);
  // A change of priority moves it up but keeps posting order among its new peers.
  PostTagged(r, 1013, "hi", 5);
  UMessageSys::Replace(1011, "other", 5, 5, Recorder::Proc, &r);
  while (UMessageSys::Execute()) {
  }
  EXPECT_EQ(r.seen, (std::vector<std::string>{"1011:other", "1013:hi", "1010:three", "1012:new"}));
}

TEST_F(Loop, FlushRemovesByHandlerContextAndObject) {
  Recorder a, b;
  int objX = 0, objY = 0;
  UMessageSys::Post(1020, nullptr, 0, 0, Recorder::Proc, &a, &objX);
  UMessageSys::Post(1021, nullptr, 0, 0, Recorder::Proc, &a, &objY);
  UMessageSys::Post(1022, nullptr, 0, 0, Recorder::Proc, &b, &objX);
  UMessageSys::Flush(Recorder::Proc, &a, &objX);
  EXPECT_EQ(UMessageSys::GetCount(), 2u);
  UMessageSys::Flush(Recorder::Proc, &a);
  EXPECT_EQ(UMessageSys::GetCount(), 1u);
  while (UMessageSys::Execute()) {
  }
  EXPECT_EQ(b.seen, (std::vector<std::string>{"1022"}));
  EXPECT_TRUE(a.seen.empty());
}

TEST_F(Loop, PostCopiesDataSoTheBufferCanBeReused) {
  Recorder r;
  char buffer[] = "first";
  UMessageSys::Post(1030, buffer, 5, 0, Recorder::Proc, &r);
  std::memcpy(buffer, "XXXXX", 5);
  UMessageSys::Execute();
  EXPECT_EQ(r.seen, (std::vector<std::string>{"1030:first"}));
}

void Raising(void* /*context*/, void*, Uint32 id, const void*, Uint32) {
  UError::RaiseFull(errClassNetwork, errRefused, "Raising", static_cast<Uint32>(id), false, false);
}

TEST_F(Loop, EscapedErrorBecomesErrorMessageAheadOfOrdinaryOnes) {
  TestApp app;
  Recorder r;
  UMessageSys::Post(1040, nullptr, 0, 0, Raising, nullptr);
  PostTagged(r, 1041, "after");
  UMessageSys::Execute();  // raises; the loop goes on
  EXPECT_EQ(UMessageSys::GetCount(msg_Error), 1u);
  UMessageSys::Execute();  // msg_Error at priority 10 runs before the ordinary message
  ASSERT_EQ(app.errors.size(), 1u);
  EXPECT_TRUE(app.errors[0].Is(errClassNetwork, errRefused));
  EXPECT_STREQ(app.errors[0].source, "Raising");
  EXPECT_EQ(app.errors[0].line, 1040u);
  EXPECT_TRUE(r.seen.empty());
  UMessageSys::Execute();
  EXPECT_EQ(r.seen.size(), 1u);

  // Send reports the same way.
  UMessageSys::Send(1042, nullptr, 0, 0, Raising, nullptr);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(app.errors.size(), 2u);
}

TEST_F(Loop, ErrorWhileHandlingErrorIsDropped) {
  struct FailingAlert : TestApp {
    int calls = 0;
    void Error(const SError& e) override {
      ++calls;
      UError::Raise(e.errClass, e.id);
    }
  } app;
  UMessageSys::Post(1050, nullptr, 0, 0, Raising, nullptr);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(app.calls, 1);
  EXPECT_EQ(UMessageSys::GetCount(), 0u);
}

void RaisingSilently(void*, void*, Uint32, const void*, Uint32) {
  UError::RaiseFull(errClassGeneral, errBadState, "", 0, false, true);
}

TEST_F(Loop, DefaultErrorAlertsOnceAndNeverForSilentErrors) {
  std::vector<std::string> alerts;
  UError::SetAlertSink([&](std::string_view title, std::string_view text) {
    alerts.push_back(std::string(title) + "|" + std::string(text));
  });
  {
    CApplication app;
    UMessageSys::Post(1055, nullptr, 0, 0, Raising, nullptr);
    UMessageSys::Post(1056, nullptr, 0, 0, RaisingSilently, nullptr);
    UEventLoop::RunUntilIdle();
  }
  UError::SetAlertSink(nullptr);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].rfind("ERROR|", 0), 0u) << alerts[0];
  EXPECT_NE(alerts[0].find("ID 8/104 @ Raising #1055"), std::string::npos) << alerts[0];
}

TEST_F(Loop, MessagesWithoutHandlerGoToTheApplication) {
  Recorder r;
  UMessageSys::Post(1060);  // no default handler yet: dropped
  UMessageSys::Execute();
  {
    TestApp app;
    EXPECT_EQ(CApplication::Current(), &app);
    UMessageSys::Post(1061);
    UEventLoop::RunUntilIdle();
    EXPECT_EQ(app.others, (std::vector<Uint32>{1061}));
  }
  EXPECT_EQ(CApplication::Current(), nullptr);
  EXPECT_EQ(UMessageSys::GetDefaultHandler(), nullptr);
}

TEST_F(TimerLoop, OneShotTimerFiresOnceWhenTheClockIsAdvanced) {
  Recorder r;
  TimerPtr t(UTimer::StartNew(Recorder::Proc, &r, 500, false));
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(r.seen.empty());
  UClock::Advance(499);
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(r.seen.empty());
  UClock::Advance(1);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(r.seen, (std::vector<std::string>{"2"}));
  EXPECT_FALSE(UTimer::Stop(t.get()));
  UClock::Advance(10000);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(r.seen.size(), 1u);
}

TEST_F(TimerLoop, TimersFireInDueOrder) {
  std::vector<void*> order;
  auto proc = [](void* context, void* object, Uint32, const void*, Uint32) {
    static_cast<std::vector<void*>*>(context)->push_back(object);
  };
  TimerPtr t30(UTimer::StartNew(proc, &order, 30, false));
  TimerPtr t10(UTimer::StartNew(proc, &order, 10, false));
  TimerPtr t20(UTimer::StartNew(proc, &order, 20, true));
  UClock::Advance(30);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(order, (std::vector<void*>{t10.get(), t20.get(), t30.get()}));
}

TEST_F(TimerLoop, BusyProgramGetsOneTickNotTen) {
  Recorder r;
  TimerPtr t(UTimer::StartNew(Recorder::Proc, &r, 100, true));
  // Busy for a second: the clock moves, the loop does not run.
  for (int i = 0; i < 10; ++i) {
    UClock::Advance(100);
    UEventLoop::Binding().Wait(0);
  }
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(r.seen.size(), 1u);
  // Still repeating, one interval on from when it fired.
  UClock::Advance(100);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(r.seen.size(), 2u);
  EXPECT_TRUE(UTimer::Stop(t.get()));
  EXPECT_FALSE(UTimer::IsRunning(t.get()));
}

TEST_F(TimerLoop, TicksNeverAccumulateWhileTheQueueIsBusy) {
  Recorder r;
  TimerPtr t(UTimer::StartNew(Recorder::Proc, &r, 10, true));
  // A stream of ordinary messages keeps the tick (priority -20) waiting.
  struct Busy {
    int left = 50;
    static void Proc(void* c, void*, Uint32, const void*, Uint32) {
      auto* b = static_cast<Busy*>(c);
      UClock::Advance(10);
      UEventLoop::Pump();  // nested pass: ticks come due and are replaced, not added
      if (--b->left > 0) UMessageSys::Post(1070, nullptr, 0, 0, Proc, b);
    }
  } busy;
  UMessageSys::Post(1070, nullptr, 0, 0, Busy::Proc, &busy);
  EXPECT_TRUE(UMessageSys::Execute());
  EXPECT_LE(UMessageSys::GetCount(msg_Timer), 1u);
  UTimer::Stop(t.get());
  UEventLoop::RunUntilIdle();
  EXPECT_LE(r.seen.size(), 2u);
}

TEST_F(TimerLoop, DisposingATimerDropsItsPendingTick) {
  Recorder r;
  TTimer t = UTimer::StartNew(Recorder::Proc, &r, 5, false);
  UClock::Advance(5);
  UEventLoop::Binding().Wait(0);
  // Make the tick pending without delivering it: a pump from inside a handler that
  // disposes of the timer first.
  struct Disposer {
    TTimer t;
    static void Proc(void* c, void*, Uint32, const void*, Uint32) {
      auto* d = static_cast<Disposer*>(c);
      EXPECT_EQ(UMessageSys::GetCount(msg_Timer), 1u);
      UTimer::Dispose(d->t);
    }
  } d{t};
  UMessageSys::Post(1080, nullptr, 0, 0, Disposer::Proc, &d);
  UEventLoop::RunUntilIdle();  // the tick is posted behind 1080 (priority -20), then flushed
  EXPECT_TRUE(r.seen.empty());
  EXPECT_EQ(UMessageSys::GetCount(), 0u);
}

TEST_F(TimerLoop, TimerWithoutHandlerTicksToTheApplicationAndCanPost) {
  TestApp app;
  Recorder r;
  TimerPtr t(UTimer::StartNew(nullptr, nullptr, 50, false));
  struct Poster {
    Recorder* r;
    static void Proc(void* c, void*, Uint32, const void*, Uint32) {
      PostTagged(*static_cast<Poster*>(c)->r, 1090, "from-timer");
    }
  } poster{&r};
  TimerPtr t2(UTimer::StartNew(Poster::Proc, &poster, 50, false));
  UClock::Advance(50);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(app.ticks, (std::vector<TTimer>{t.get()}));
  EXPECT_EQ(r.seen, (std::vector<std::string>{"1090:from-timer"}));
}

TEST_F(Loop, RealTimeTimerWakesTheLoop) {
  Recorder r;
  TimerPtr t(UTimer::StartNew(Recorder::Proc, &r, 20, false));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(UEventLoop::RunUntilFor([&] { return !r.seen.empty(); }, 5000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}

TEST_F(Loop, RunEndsWhenAHandlerStopsIt) {
  int seen = 0;
  struct Stopper {
    int* seen;
    static void Proc(void* c, void*, Uint32, const void*, Uint32) {
      if (++*static_cast<Stopper*>(c)->seen == 3) UEventLoop::Stop();
    }
  } stopper{&seen};
  TimerPtr t(UTimer::StartNew(Stopper::Proc, &stopper, 1, true));
  UEventLoop::Run();
  EXPECT_EQ(seen, 3);
}

TEST_F(Loop, WorkFromAnotherThreadWakesTheLoop) {
  bool done = false;
  auto remote = UEventLoop::Remote();
  std::thread helper([remote, &done] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    remote->Run([&done] { done = true; });
  });
  EXPECT_TRUE(UEventLoop::RunUntilFor([&] { return done; }, 5000));
  helper.join();
}

TEST_F(Loop, SignalsArriveAsMessagesAndTerminationQuits) {
  TestApp app;
  UEventLoop::WatchSignals();
  ::kill(::getpid(), SIGHUP);
  EXPECT_TRUE(UEventLoop::RunUntilFor([&] { return !app.signals.empty(); }, 5000));
  EXPECT_EQ(app.signals, (std::vector<int>{SIGHUP}));
  EXPECT_FALSE(app.IsQuitting());
  ::kill(::getpid(), SIGTERM);
  app.Run();  // returns once SIGTERM has asked it to quit
  EXPECT_TRUE(app.IsQuitting());
  EXPECT_EQ(app.signals.back(), SIGTERM);
  UEventLoop::StopWatchingSignals();
}

TEST_F(Loop, RunTurnsAnInterruptIntoQuit) {
  TestApp app;
  // Raised from inside the running loop, so it must be taken as a message to survive.
  UMessageSys::Post(1100, nullptr, 0, 0, [](void*, void*, Uint32, const void*, Uint32) { ::kill(::getpid(), SIGINT); });
  app.Run();
  EXPECT_TRUE(app.IsQuitting());
  EXPECT_EQ(app.signals, (std::vector<int>{SIGINT}));
}

TEST_F(Loop, QuitMessageAndQuitShortcutEndRun) {
  {
    TestApp app;
    UMessageSys::Post(msg_Quit);
    app.Run();
    EXPECT_TRUE(app.IsQuitting());
  }
  {
    TestApp app;
    SCommandMessage cmd{kQuitCommand, 0, 0, 0};
    UMessageSys::Post(msg_Command, &cmd, sizeof cmd, 10);
    app.Run();
    EXPECT_TRUE(app.IsQuitting());
  }
}

TEST_F(Loop, CommandLineDocumentsOpenOnceTheLoopRuns) {
  TestApp app({"one.cbm", "two.cbm"});
  EXPECT_TRUE(app.opened.empty());
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(app.opened, (std::vector<std::string>{"one.cbm", "two.cbm"}));
}

TEST(CommandLine, SplitsAtSpacesOnlyWithSeveralColons) {
  struct Case {
    const char* line;
    std::vector<std::string> names;
  } cases[] = {
      {"C:\\My Files\\board.txt", {"C:\\My Files\\board.txt"}},
      {"a b c", {"a b c"}},
      {"C:\\a.txt D:\\b.txt", {"C:\\a.txt", "D:\\b.txt"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(CApplication::SplitCommandLine(c.line), c.names) << c.line;
}

}  // namespace
