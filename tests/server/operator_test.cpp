// The operator windows' behaviour through recording views, on a real server with
// clients over loopback where the window acts on the server.
#include <filesystem>
#include <map>

#include "framework/clock.h"
#include "framework/text.h"
#include "server/application.h"
#include "server/operator.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;

struct SStatsRecorder : IMyStatsView {
  std::vector<std::pair<EMyStat, Uint32>> drawn;
  std::string since;
  void ShowValue(EMyStat which, Uint32 value) override { drawn.emplace_back(which, value); }
  void ShowSince(std::string_view text) override { since = std::string(text); }
};

TEST(OperatorStats, CountsPeakAndTotalsSinceStart) {
  CMyServerStats s;
  s.ConnectionOpened(1);
  s.ConnectionOpened(2);
  s.ConnectionOpened(3);
  s.DownloadStarted();
  s.DownloadStarted();
  s.DownloadEnded();
  s.UploadStarted();
  s.UploadEnded();
  s.UploadEnded();  // an extra end does not go below zero
  const SMyStatsValues v = s.Values(1);
  EXPECT_EQ(v, (SMyStatsValues{1, 1, 0, 3, 3, 2, 1}));
  EXPECT_EQ(StatsLogLine(v),
            "Statistics: Currently Connected: 1, Downloads in progress: 1, Uploads in progress: 0, Connection Peak: 3, "
            "Connection Counter: 3, Download Counter: 2, Upload Counter: 1");
  EXPECT_EQ(StatLabel(statPeak), "Connection Peak:");
}

TEST(OperatorStats, WindowRedrawsOnlyWhatChanged) {
  SStatsRecorder view;
  SDateTime when{2026, 12, 10, 14, 5, 9, 4, 0};
  SDateStamp stamp{};
  ASSERT_TRUE(UDateTime::DateTimeToStamp(when, stamp));
  CMyStatsWindow window(view, stamp);
  EXPECT_EQ(view.since, UDateTime::DateText(when, UDateTime::dateShort | UDateTime::timeLong));

  window.Refresh({0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(view.drawn.size(), std::size_t(kStatCount));  // the first time, everything
  view.drawn.clear();
  window.Refresh({1, 0, 0, 1, 1, 0, 0});
  EXPECT_EQ(view.drawn,
            (std::vector<std::pair<EMyStat, Uint32>>{{statConnected, 1}, {statPeak, 1}, {statConnectionCount, 1}}));
  view.drawn.clear();
  window.Refresh({1, 0, 0, 1, 1, 0, 0});
  EXPECT_TRUE(view.drawn.empty());
}

TEST(OperatorOptions, SaveReadsTheFormAsTheOperatorTypedIt) {
  SServerPrefs base;
  base.port = 5500;
  base.maxDownloads = 4;
  struct Case {
    const char* maxDownloads;
    const char* port;
    Uint16 wantMax, wantPort;
  } cases[] = {
      {"10", "6000", 10, 6000}, {"0", "5500", 1, 5500},   {"12abc", "70000", 12, 65535},
      {"abc", "x", 1, 5500},    {" 7", "6001z", 7, 6001},
  };
  for (const Case& c : cases) {
    SServerPrefs p = base;
    SMyOptionsForm f = OptionsFormFrom(p);
    f.maxDownloads = c.maxDownloads;
    f.port = c.port;
    ApplyOptionsForm(f, p);
    EXPECT_EQ(p.maxDownloads, c.wantMax) << c.maxDownloads;
    EXPECT_EQ(p.port, c.wantPort) << c.port;
  }

  SServerPrefs p = base;
  SMyOptionsForm f = OptionsFormFrom(p);
  f.name = std::string(40, 'n');
  f.description = std::string(200, 'd');
  f.trackers[1] = {std::string(300, 'h'), std::string(40, 'p')};
  f.registerWithTrackers = true;
  f.logConnects = f.logAccounts = true;
  f.playSounds = f.confirmQuit = false;
  ApplyOptionsForm(f, p);
  EXPECT_EQ(p.serverName.size(), 31u);
  EXPECT_EQ(p.serverDescription.size(), 127u);
  EXPECT_EQ(p.trackers[1].address.size(), 255u);
  EXPECT_EQ(p.trackers[1].password.size(), 31u);
  EXPECT_EQ(p.options, Uint32(optRegisterWithTrackers | optLogConnects | optLogAccounts));
  EXPECT_EQ(OptionsFormFrom(p).name, p.serverName);

  // Registration needs a name and some address, whatever the check box says.
  f.name.clear();
  ApplyOptionsForm(f, p);
  EXPECT_FALSE(p.options & optRegisterWithTrackers);
  f.name = "named";
  f.trackers = {};
  ApplyOptionsForm(f, p);
  EXPECT_FALSE(p.options & optRegisterWithTrackers);
}

struct SOptionsRecorder : IMyOptionsView {
  SMyOptionsForm shown, toRead;
  int closed = 0;
  void Show(const SMyOptionsForm& f) override { shown = f; }
  SMyOptionsForm Read() override { return toRead; }
  void Close() override { ++closed; }
};

struct SBroadcastRecorder : IMyBroadcastView {
  std::string text;
  int closed = 0;
  std::string Text() override { return text; }
  void Close() override { ++closed; }
};

struct SQuitRecorder : IMyQuitView, IMyQuittingView {
  std::string message;
  int closed = 0, quitting = 0;
  std::string Message() override { return message; }
  void Close() override { ++closed; }
  void OpenQuitting() override { ++quitting; }
};

struct SMainRecorder : IMyMainView {
  std::vector<std::string> calls;
  void OpenOptions() override { calls.push_back("options"); }
  void OpenBroadcast() override { calls.push_back("broadcast"); }
  void ShowLog() override { calls.push_back("log"); }
  void ShowStatistics() override { calls.push_back("statistics"); }
  void OpenQuit() override { calls.push_back("quit"); }
};

class OperatorApp : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    settings_.folder = tmp_ / "srv";
    settings_.port = 0;
    settings_.logHook = [this](std::string_view line) { lines_.emplace_back(line); };
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    CreateFirstAccounts(app_->Accounts());
  }
  void TearDown() override { UClock::SetTestOffset(0); }

  TempFolder tmp_;
  SServerSettings settings_;
  std::vector<std::string> lines_;
  std::unique_ptr<CMyApplication> app_;
};

TEST_F(OperatorApp, BroadcastGoesToLoggedInClientsOnly) {
  TestClient in, out;
  ASSERT_TRUE(in.Connect(app_->Port()));
  ASSERT_EQ(in.Login("", "", "in"), 0u);
  ASSERT_TRUE(out.Connect(app_->Port()));  // connected, never logged in

  SBroadcastRecorder view;
  view.text = std::string("Maintenance at noon\rBack soon \xD2really\xD3");
  CMyBroadcastWindow window(*app_, view);
  EXPECT_EQ(window.Send(), 1u);
  EXPECT_EQ(view.closed, 1);
  auto push = in.WaitPush(trn::ServerMessage);
  ASSERT_TRUE(push.has_value());
  EXPECT_EQ(push->fields.GetText(fld::Data), view.text);
  EXPECT_FALSE(out.WaitPush(trn::ServerMessage, 200).has_value());

  window.Cancel();
  EXPECT_EQ(view.closed, 2);
  EXPECT_FALSE(in.WaitPush(trn::ServerMessage, 100).has_value());
}

TEST_F(OperatorApp, OptionsSaveStoresThePrefsAndStartsOrStopsTheTrackerTimer) {
  EXPECT_FALSE(app_->TrackerTimerRunning());  // no name by default
  SOptionsRecorder view;
  CMyOptionsWindow window(*app_, view);
  window.Open();
  EXPECT_EQ(view.shown.port, std::to_string(app_->Prefs().port));

  view.toRead = view.shown;
  view.toRead.name = "Saved";
  view.toRead.registerWithTrackers = true;
  view.toRead.trackers[0].address = "127.0.0.1:9";  // the discard port: nothing listens back
  view.toRead.logConnects = true;
  window.Save();
  EXPECT_EQ(view.closed, 1);
  EXPECT_TRUE(app_->TrackerTimerRunning());
  URandom random;
  const SServerPrefs stored = LoadServerPrefs(settings_.folder, random);
  EXPECT_EQ(stored.serverName, "Saved");
  EXPECT_TRUE(stored.options & optLogConnects);
  EXPECT_TRUE(stored.options & optRegisterWithTrackers);

  view.toRead.name.clear();
  window.Save();
  EXPECT_FALSE(app_->TrackerTimerRunning());
  EXPECT_FALSE(app_->Prefs().options & optRegisterWithTrackers);

  const SServerPrefs before = app_->Prefs();
  view.toRead.name = "Not saved";
  window.Cancel();
  EXPECT_EQ(app_->Prefs(), before);
}

TEST_F(OperatorApp, MainWindowButtons) {
  SMainRecorder view;
  CMyMainWindow window(*app_, view);
  window.Options();
  window.Broadcast();
  window.Log();
  window.Statistics();
  window.ReloadNews();
  EXPECT_EQ(view.calls, (std::vector<std::string>{"options", "broadcast", "log", "statistics"}));
  EXPECT_EQ(lines_.back().find("Reloaded news") != std::string::npos, true);

  // With someone connected and "Confirm Quit" on, the Quit window asks first.
  TestClient c;
  ASSERT_TRUE(c.Connect(app_->Port()));
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Sessions().Count() == 1; }, 5000));
  app_->Prefs().options |= optConfirmQuit;
  window.Quit();
  EXPECT_EQ(view.calls.back(), "quit");
  EXPECT_FALSE(app_->IsQuitting());
  app_->Prefs().options &= ~Uint32(optConfirmQuit);
  window.Quit();
  EXPECT_TRUE(app_->IsQuitting());
}

TEST_F(OperatorApp, PoliteQuitTellsClientsAndCanBeCancelled) {
  TestClient c;
  ASSERT_TRUE(c.Connect(app_->Port()));
  ASSERT_EQ(c.Login("", "", "c"), 0u);

  SQuitRecorder view;
  view.message = "Back in five";
  CMyQuitWindow quit(*app_, view);
  quit.Cancel();
  EXPECT_FALSE(app_->IsQuittingPolitely());
  quit.PoliteQuit();
  EXPECT_EQ(view.quitting, 1);
  EXPECT_TRUE(app_->IsQuittingPolitely());
  auto push = c.WaitPush(trn::DisconnectMessage);
  ASSERT_TRUE(push.has_value());
  EXPECT_EQ(push->fields.GetText(fld::Data), "Back in five");

  CMyQuittingWindow quitting(*app_, view);
  quitting.Cancel();
  EXPECT_FALSE(app_->IsQuittingPolitely());
  EXPECT_FALSE(app_->IsQuitting());
  quitting.QuitNow();
  EXPECT_TRUE(app_->IsQuitting());
}

TEST_F(OperatorApp, StatisticsFollowConnections) {
  TestClient a, b;
  ASSERT_TRUE(a.Connect(app_->Port()));
  ASSERT_TRUE(b.Connect(app_->Port()));
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Sessions().Count() == 2; }, 5000));
  b.Close();
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Sessions().Count() == 1; }, 5000));
  const SMyStatsValues v = app_->StatsValues();
  EXPECT_EQ(v[statConnected], 1u);
  EXPECT_EQ(v[statPeak], 2u);
  EXPECT_EQ(v[statConnectionCount], 2u);
}

}  // namespace
