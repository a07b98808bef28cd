// The client application without a server: tasks and their rows, the cleanup timer, the
// stop button, alerts and the error report, commands, documents and the command line.
#include <gtest/gtest.h>

#include "client/application.h"
#include "client/news.h"
#include "client_fixture.h"
#include "framework/resources.h"
#include "protocol/catalogue.h"

namespace {

using namespace cv;
using namespace cv::client;
using cvtest::TempFolder;
using cvtest::TestClientApp;

// A task that finishes on its first pass, or raises the error it was given.
class StepTask : public CMyTask {
 public:
  StepTask(CMyApplication& app, std::string_view title, bool finishAtOnce = true, SError fail = SError(0, 0))
      : CMyTask(app, title), finishAtOnce_(finishAtOnce), fail_(fail) {}
  void Process() override {
    ++runs;
    if (fail_.errClass != 0) throw fail_;
    if (finishAtOnce_) Finish();
  }
  void StartNow() override { ++startNowCalls; }
  int runs = 0;
  int startNowCalls = 0;

 private:
  bool finishAtOnce_;
  SError fail_;
};

class ClientApp : public ::testing::Test {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UTransport::Init();
  }
  void TearDown() override { UMessageSys::Clear(); }
  TempFolder tmp_;
};

TEST_F(ClientApp, StartShowsTheSavedWindowsWithPlainTitlesAndTheDisconnectedToolbar) {
  TestClientApp c(tmp_.Path());
  auto& shell = c.views.shell;
  EXPECT_EQ(shell.shown, (std::vector<EMyWindow>{winToolbar, winTasks, winNews, winChat, winOnlineUsers}));
  EXPECT_EQ(shell.Title(winChat), "Chat");
  EXPECT_EQ(shell.Title(winTasks), "Tasks");
  EXPECT_EQ(shell.Title(winNews), "News");
  EXPECT_EQ(c.views.toolbar.Look(), EMyToolbarLook::Disconnected);
  EXPECT_FALSE(c.app.IsConnected());
  EXPECT_EQ(c.app.Connection(), nullptr);
}

TEST_F(ClientApp, FinishedTasksGoTogetherAtOneCleanupTick500MsAfterTheLastFinish) {
  cvtest::FrozenClock clock;
  TestClientApp c(tmp_.Path());
  auto& rows = c.views.tasks;
  auto& a = c.app.StartTask<StepTask>("first");
  const Uint32 idA = a.Id();
  EXPECT_EQ(rows.rows.at(idA), (SMyTaskRow{0, 0, "first"}));
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(a.IsFinished());
  // Maximum 0 at the finish: the row shows full.
  EXPECT_EQ(rows.rows.at(idA), (SMyTaskRow{100, 100, "first"}));
  UClock::Advance(300);
  UEventLoop::RunUntilIdle();
  auto& b = c.app.StartTask<StepTask>("second");
  const Uint32 idB = b.Id();
  UEventLoop::RunUntilIdle();
  UClock::Advance(499);
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(rows.rows.size(), 2u) << "the second finish restarted the timer";
  EXPECT_EQ(a.runs, 1) << "a finished task is not processed again";
  UClock::Advance(1);
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(rows.rows.empty());
  EXPECT_TRUE(c.app.Tasks().empty());
  EXPECT_EQ(c.app.FindTask(idA), nullptr);
  EXPECT_EQ(c.app.FindTask(idB), nullptr);
}

TEST_F(ClientApp, StopButtonDestroysAnUnfinishedTaskAndIgnoresFinishedOrUnknownOnes) {
  cvtest::FrozenClock clock;
  TestClientApp c(tmp_.Path());
  auto& waiting = c.app.StartTask<StepTask>("waiting", false);
  auto& done = c.app.StartTask<StepTask>("done");
  const Uint32 waitingId = waiting.Id(), doneId = done.Id();
  UEventLoop::RunUntilIdle();
  c.app.StartTaskNow(waitingId);
  EXPECT_EQ(waiting.startNowCalls, 1);
  c.app.StopTask(doneId);
  c.app.StopTask(9999);
  EXPECT_NE(c.app.FindTask(doneId), nullptr) << "stopping a finished task does nothing";
  c.app.StopTask(waitingId);
  EXPECT_EQ(c.app.FindTask(waitingId), nullptr);
  EXPECT_FALSE(c.views.tasks.rows.count(waitingId));
  EXPECT_TRUE(c.views.tasks.rows.count(doneId));
  UEventLoop::RunUntilIdle();
  EXPECT_FALSE(c.app.IsConnected());
}

TEST_F(ClientApp, AFailingTaskIsReportedAndDestroyedWhileTheOthersGoOn) {
  TestClientApp c(tmp_.Path());
  auto& bad = c.app.StartTask<StepTask>("bad", false, SError(errClassFiles, errDiskFull));
  auto& good = c.app.StartTask<StepTask>("good", false);
  const Uint32 badId = bad.Id();
  UEventLoop::RunUntilIdle();
  EXPECT_EQ(c.app.FindTask(badId), nullptr);
  EXPECT_GE(good.runs, 1);
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].title, "ERROR");
  EXPECT_NE(c.views.shell.alerts[0].text.find("The disk is full.\r\rID 4/101"), std::string::npos)
      << c.views.shell.alerts[0].text;
}

TEST_F(ClientApp, ErrorReportSilentNetworkAndOther) {
  TestClientApp c(tmp_.Path());
  auto& shell = c.views.shell;
  SError silent(errClassNetwork, errRefused);
  silent.flags = SError::flagSilent;
  c.app.Error(silent);
  EXPECT_TRUE(shell.alerts.empty());
  EXPECT_TRUE(shell.sounds.empty());

  c.app.Error(SError(errClassNetwork, errRefused));
  ASSERT_EQ(shell.alerts.size(), 1u);
  EXPECT_EQ(shell.alerts[0].id, kAlertNetworkError);
  EXPECT_EQ(shell.alerts[0].title, "Network Error");
  EXPECT_EQ(shell.alerts[0].text, "The connection was refused.  The server may not be running.");
  EXPECT_EQ(shell.sounds, (std::vector<Int16>{kSoundError}));

  c.app.Prefs().soundFlags = kAllSounds & ~sndError;
  c.app.Error(SError(errClassNetwork, errTimedOut));
  EXPECT_EQ(shell.sounds.size(), 1u) << "the error sound is off";
  c.app.Prefs().soundFlags = kAllSounds & ~sndOn;
  c.app.PlaySound(kSoundNews, sndNews);
  EXPECT_EQ(shell.sounds.size(), 1u) << "all sounds are off";

  c.app.Error(SError(errClassGeneral, errBadFormat));
  EXPECT_EQ(shell.alerts.back().title, "ERROR");
  EXPECT_EQ(shell.alerts.back().text.substr(0, 13), "The data is d");
  EXPECT_NE(shell.alerts.back().text.find("\r\rID 1/8"), std::string::npos);
}

TEST_F(ClientApp, NumberedAlertsComeFromTheResourceFileElseFromBuiltInWording) {
  {
    TestClientApp c(tmp_.Path());
    c.app.ShowAlert(kAlertDisconnected, "Bye now.");
    c.app.ShowAlert(140, "notes.txt");
    auto& alerts = c.views.shell.alerts;
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].title, "Disconnected");
    EXPECT_EQ(alerts[0].text, "The server has disconnected you:\r\rBye now.");
    EXPECT_EQ(alerts[1].text, "Are you sure you want to delete the file \xD2notes.txt\xD3?  This cannot be undone.");
    EXPECT_EQ(alerts[1].buttons, (std::vector<std::string>{"Delete", "Cancel"}));
    EXPECT_EQ(alerts[1].kind, SMyAlert::kindQuestion);
  }
  // Not started: no resource file is open, the built-in texts serve.
  TestClientApp bare(tmp_.Path(), false);
  ASSERT_EQ(URez::Current(), nullptr);
  bare.app.ShowAlert(kAlertDisconnected, "Bye now.");
  bare.app.ShowAlert(kAlertConnectionLost);
  bare.app.ShowAlert(151, "x");
  auto& alerts = bare.views.shell.alerts;
  ASSERT_EQ(alerts.size(), 3u);
  EXPECT_EQ(alerts[0].text, "The server has disconnected you:\r\rBye now.");
  EXPECT_EQ(alerts[0].buttons, (std::vector<std::string>{"OK"}));
  EXPECT_EQ(alerts[1].title, "Connection Lost");
  EXPECT_EQ(alerts[2].text, "x");
}

TEST_F(ClientApp, AlertTemplatesWithOtherConversionsAreShownAsTheyAre) {
  SAlertTemplate odd;
  odd.title = "Odd";
  odd.message = "value %d of %#s";
  TRezFile rez = URez::NewInMemory();
  URez::AddItem(rez, rezAlert, SRezItem{151, 0, odd.Flatten()}, false);
  odd.message = "100%% of %#s and %#s";
  URez::AddItem(rez, rezAlert, SRezItem{152, 0, odd.Flatten()}, false);
  TestClientApp c(tmp_.Path(), false);
  c.app.ShowAlert(151, "x");
  c.app.ShowAlert(152, "y");
  URez::Dispose(rez);
  EXPECT_EQ(c.views.shell.alerts[0].text, "value %d of %#s");
  EXPECT_EQ(c.views.shell.alerts[1].text, "100% of y and y");
}

TEST_F(ClientApp, CheckReplyShowsTheServerTextAndRaisesSilentlyOnlyWhenOneWasShown) {
  TestClientApp c(tmp_.Path());
  UFieldData withText;
  withText.AddText(fld::ErrorText, "Incorrect login.");
  UFieldData without;
  try {
    c.app.CheckReply(1, withText);
    ADD_FAILURE() << "no raise";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassGeneral, errUnknown));
    EXPECT_TRUE(e.IsSilent());
  }
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].title, "Server Message");
  EXPECT_EQ(c.views.shell.alerts[0].text, "Incorrect login.");
  try {
    c.app.CheckReply(1, without);
    ADD_FAILURE() << "no raise";
  } catch (const SError& e) {
    EXPECT_FALSE(e.IsSilent());
  }
  // A text on a success is still shown; nothing is raised.
  c.app.CheckReply(0, withText);
  c.app.CheckReply(0, without);
  EXPECT_EQ(c.views.shell.alerts.size(), 2u);
}

TEST_F(ClientApp, CommandsOpenTheirWindowsAndServiceCommandsWinOverBuiltInOnes) {
  TestClientApp c(tmp_.Path());
  auto& shell = c.views.shell;
  shell.shown.clear();
  c.app.Command(cmdShowNews);
  c.app.Command(cmdShowTracker);
  c.app.Command(cmdShowFiles);
  EXPECT_EQ(shell.shown, (std::vector<EMyWindow>{winNews, winTracker}));
  c.app.Command(cmdConnect);
  ASSERT_EQ(shell.connectForms.size(), 1u);
  EXPECT_FALSE(shell.bookmarkPopupShown);
  c.app.Command(cmdOptions);
  EXPECT_EQ(shell.optionsOpened, 1);
  c.app.Prefs().downloaded = 1536;
  c.app.Prefs().uploaded = 0;
  c.app.Prefs().chatBytes = 1536;
  c.app.Prefs().onlineSeconds = 3725;
  c.app.Command(cmdAbout);
  ASSERT_EQ(shell.abouts.size(), 1u);
  EXPECT_EQ(shell.abouts[0], "1K downloaded, 0K uploaded, 1.5K chat, 1:02:05 online");
  // Post News while disconnected opens nothing.
  c.app.Command(cmdPostNews);
  EXPECT_EQ(c.newsView.postWindowsOpened, 0);
  int calls = 0;
  c.app.AddCommandHandler(cmdShowNews, [&] { ++calls; });
  c.app.Command(cmdShowNews);
  EXPECT_EQ(calls, 1);
  c.app.RemoveCommandHandler(cmdShowNews);
  c.app.Command(cmdShowNews);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(shell.shown.back(), winNews);
}

TEST_F(ClientApp, DocumentsOfOtherKindsGiveTheirAlerts) {
  TestClientApp c(tmp_.Path());
  c.app.OpenDocument("/somewhere/notes.txt");
  c.app.OpenDocument("/somewhere/home.cbm");
  ASSERT_EQ(c.views.shell.alerts.size(), 2u);
  EXPECT_EQ(c.views.shell.alerts[0].id, kAlertUnknownDocument);
  EXPECT_EQ(c.views.shell.alerts[1].id, kAlertUnknownDocument);
}

TEST_F(ClientApp, ConnectWindowAndAgreementWindowButtons) {
  TestClientApp c(tmp_.Path());
  cvtest::RecordingConnectView view;
  view.form = SMyConnectForm{"0:1", "me", "pw"};
  CMyConnectWindow window(c.app, view);
  window.Save();
  EXPECT_EQ(c.views.shell.beeps, 1);
  EXPECT_EQ(view.closed, 0);
  window.Connect();
  EXPECT_EQ(view.closed, 1);
  EXPECT_EQ(c.app.ServerText(), "0:1") << "only a text of exactly \"0\" is replaced";
  EXPECT_EQ(c.app.Login(), "me");
  EXPECT_EQ(c.app.Password(), "pw");
  EXPECT_EQ(c.views.shell.Title(winTasks), "Tasks (0:1)");
  ASSERT_NE(c.app.Connection(), nullptr);

  cvtest::RecordingAgreementView agreement;
  CMyAgreementWindow(c.app, agreement).Agree();
  EXPECT_EQ(agreement.closed, 1);
  EXPECT_NE(c.app.Connection(), nullptr);
  CMyAgreementWindow(c.app, agreement).Disagree();
  EXPECT_EQ(agreement.closed, 2);
  EXPECT_EQ(c.app.Connection(), nullptr);
  EXPECT_EQ(c.views.shell.Title(winTasks), "Tasks");
  EXPECT_TRUE(c.app.Tasks().empty());
}

TEST_F(ClientApp, ServerTextsBecomeAddressesAndTitlesAreCut) {
  TestClientApp c(tmp_.Path());
  struct Case {
    std::string server;
    std::string text;
    Uint16 port;
  };
  const Case cases[] = {
      {"0", "127.0.0.1", 5500},
      {"example.org", "example.org", 5500},
      {"example.org:6000", "example.org:6000", 6000},
      {"example.org:70000", "example.org:70000", 0},
      {"example.org:6x", "example.org:6x", 0},
  };
  for (const Case& k : cases) {
    c.app.ConnectTo(k.server, "", "");
    const SInternetNameAddress& a = c.app.ServerAddress();
    EXPECT_EQ(a.type, kAddressInternetName);
    EXPECT_EQ(a.port, k.port) << k.server;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.text), a.length), k.text);
  }
  const std::string longName(200, 'n');
  c.app.ConnectTo(longName, "", "");
  EXPECT_EQ(c.views.shell.Title(winChat), "Chat (" + std::string(63, 'n') + ")");
  c.app.Disconnect();
}

TEST_F(ClientApp, ToolbarLooksEnableTheRightButtons) {
  ASSERT_EQ(ToolbarButtons().size(), 14u);
  EXPECT_EQ(ToolbarButtons().front().label, "Options");
  EXPECT_EQ(ToolbarButtons().back().command, cmdDisconnect);
  struct Case {
    EMyCommand command;
    bool disconnected, connecting, connected;
  };
  const Case cases[] = {
      {cmdConnect, true, false, false},   {cmdDisconnect, false, true, true}, {cmdPostNews, false, false, true},
      {cmdShowFiles, false, false, true}, {cmdNewUser, false, false, true},   {cmdOpenUser, false, false, true},
      {cmdShowNews, true, true, true},    {cmdAbout, true, true, true},       {cmdQuit, true, true, true},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(IsCommandEnabled(EMyToolbarLook::Disconnected, k.command), k.disconnected) << k.command;
    EXPECT_EQ(IsCommandEnabled(EMyToolbarLook::Connecting, k.command), k.connecting) << k.command;
    EXPECT_EQ(IsCommandEnabled(EMyToolbarLook::Connected, k.command), k.connected) << k.command;
  }
}

TEST_F(ClientApp, TasksWindowRedrawsOnlyWhatChanged) {
  cvtest::RecordingTasks view;
  CMyTasksWindow w(view);
  w.Add(1, "Transferring news...");
  w.Update(1, 10, 200, {});
  w.Update(1, 10, 200, {});
  w.Update(1, 10, 200, "Transferring news...");
  w.Update(1, 20, 200, "other");
  w.Update(7, 1, 1, {});
  w.Complete(1);
  w.Complete(1);
  w.Remove(1);
  w.Remove(1);
  std::vector<std::string> seen;
  for (const auto& e : view.events)
    seen.push_back(e.what + " " + std::to_string(e.row.value) + "/" + std::to_string(e.row.maximum) + " " + e.row.text);
  EXPECT_EQ(seen, (std::vector<std::string>{"add 0/0 Transferring news...", "update 10/200 Transferring news...",
                                            "update 20/200 other", "update 100/100 other", "remove 0/0 "}));
  // A row already full stays as it is at the finish.
  w.Add(2, "t");
  w.Update(2, 2, 2, {});
  view.events.clear();
  w.Complete(2);
  EXPECT_TRUE(view.events.empty());
  EXPECT_EQ(*w.Row(2), (SMyTaskRow{2, 2, "t"}));
}

TEST(ClientCommandLine, OptionsAndErrors) {
  struct Case {
    std::vector<std::string_view> args;
    bool ok;
    SMyClientCommandLine::EAction action;
    std::string dir, server, login, password;
    std::size_t documents;
  };
  const Case cases[] = {
      {{}, true, SMyClientCommandLine::Run, "", "", "", "", 0},
      {{"--help"}, true, SMyClientCommandLine::Help, "", "", "", "", 0},
      {{"--version"}, true, SMyClientCommandLine::Version, "", "", "", "", 0},
      {{"--dir", "/tmp/x", "a.cbm", "b.cbm"}, true, SMyClientCommandLine::Run, "/tmp/x", "", "", "", 2},
      {{"--server", "0:5600", "--login", "bob", "--password", "pw"},
       true,
       SMyClientCommandLine::Run,
       "",
       "0:5600",
       "bob",
       "pw",
       0},
      {{"--dir"}, false, SMyClientCommandLine::Run, "", "", "", "", 0},
      {{"--login", "bob"}, false, SMyClientCommandLine::Run, "", "", "", "", 0},
      {{"--server", ""}, false, SMyClientCommandLine::Run, "", "", "", "", 0},
      {{"--bogus"}, false, SMyClientCommandLine::Run, "", "", "", "", 0},
  };
  for (const Case& k : cases) {
    SMyClientCommandLine out;
    std::string error;
    const bool ok = ParseClientCommandLine(k.args, out, error);
    ASSERT_EQ(ok, k.ok) << (k.args.empty() ? "" : k.args[0]);
    if (!ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(out.action, k.action);
    EXPECT_EQ(out.dir, k.dir);
    EXPECT_EQ(out.server.value_or(""), k.server);
    EXPECT_EQ(out.login, k.login);
    EXPECT_EQ(out.password, k.password);
    EXPECT_EQ(out.documents.size(), k.documents);
  }
  EXPECT_NE(ClientUsageText().find("usage: corvane"), std::string::npos);
  SMyClientCommandLine line;
  line.documents = {"a.cbm"};
  EXPECT_EQ(SettingsFromCommandLine(line).folder, ProgramFolder());
  EXPECT_EQ(SettingsFromCommandLine(line).documents, line.documents);
  line.dir = "/tmp/prefs";
  EXPECT_EQ(SettingsFromCommandLine(line).folder, "/tmp/prefs");
}

}  // namespace
