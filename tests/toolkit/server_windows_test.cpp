// The server's windows on a real server in this process (free loopback port, temporary
// folder), with raw clients over loopback, everything on Qt's loop.
#include "toolkit/server/server_windows.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "framework/random.h"
#include "protocol/catalogue.h"
#include "qt_harness.h"
#include "server/application.h"
#include "server/prefs.h"
#include "tests/server/server_harness.h"
#include "tests/server/temp_folder.h"
#include "toolkit/media.h"
#include "toolkit/qttext.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;

constexpr int kWaitMs = 10000;

bool Until(const std::function<bool()>& done) { return UEventLoop::RunUntilFor(done, kWaitMs); }

void Click(QWidget* window, const char* label) {
  ASSERT_NE(window, nullptr);
  auto* b = window->findChild<QPushButton*>(label);
  ASSERT_NE(b, nullptr) << label;
  QTest::mouseClick(b, Qt::LeftButton);
}

template <typename T>
T* Child(QWidget* window, const char* name) {
  T* w = window ? window->findChild<T*>(name) : nullptr;
  EXPECT_NE(w, nullptr) << name;
  return w;
}

void Picture(QWidget* w, const std::string& name) {
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->grab().save(QString::fromStdString(cvtest::ScreenshotFolder() + "/" + name + ".png")));
}

// A server with its windows, started the way corvane-server starts it.
class ServerWindows : public cvtest::QtLoopTest {
 protected:
  void SetUp() override {
    QtLoopTest::SetUp();
    USound::SetBeeper([this] { ++beeps; });
    USound::SetPlayer([this](Int16 id, const Bytes&) { sounds.push_back(id); });
  }
  void TearDown() override {
    if (windows) windows->Detach();
    app.reset();
    windows.reset();
    USound::SetBeeper(nullptr);
    USound::SetPlayer(nullptr);
    QtLoopTest::TearDown();
  }

  void Start(bool optionsFirst = false) {
    windows = std::make_unique<CMyServerWindows>();
    SServerSettings s;
    s.folder = folder.Path();
    s.resourceFolder = CORVANE_BIN_DIR;
    s.port = 0;
    s.terminate = [](std::string_view) {};
    windows->Attach(s);
    windows->SetOptionsAtStart([optionsFirst] { return optionsFirst; });
    app = std::make_unique<CMyApplication>(s);
    app->Start();
    CreateFirstAccounts(app->Accounts());
  }
  // The windows go before their application.
  void Stop() {
    windows->Detach();
    app.reset();
  }

  TempFolder folder;
  std::unique_ptr<CMyServerWindows> windows;
  std::unique_ptr<CMyApplication> app;
  int beeps = 0;
  std::vector<Int16> sounds;
};

TEST_F(ServerWindows, StatisticsAndLogFollowARawClient) {
  Start();
  EXPECT_TRUE(windows->MainWindow()->isVisible());
  EXPECT_EQ(windows->MainWindow()->windowTitle(), "Corvane Server");
  EXPECT_TRUE(windows->LogWindow()->isVisible());
  EXPECT_TRUE(windows->StatsWindow()->isVisible());
  EXPECT_TRUE(windows->LogText().contains("Corvane Server started"));
  EXPECT_EQ(windows->StatText(statConnected), "0");
  EXPECT_FALSE(windows->SinceText().isEmpty());

  {
    TestClient client;
    ASSERT_TRUE(client.Connect(app->Port()));
    EXPECT_TRUE(Until([&] { return windows->StatText(statConnected) == "1"; }));
    EXPECT_EQ(windows->StatText(statPeak), "1");
    EXPECT_EQ(windows->StatText(statConnectionCount), "1");
    EXPECT_TRUE(Until([&] { return windows->LogText().contains("Connection established"); }));
    Picture(windows->StatsWindow(), "server-statistics");
  }
  EXPECT_TRUE(Until([&] { return windows->StatText(statConnected) == "0"; }));
  EXPECT_EQ(windows->StatText(statPeak), "1");
  EXPECT_EQ(windows->StatText(statConnectionCount), "1");
  EXPECT_TRUE(windows->LogText().contains("Connection closed"));
  // "Play Sounds" is on by default: connected and left.
  EXPECT_TRUE(Until([&] { return sounds.size() >= 2; }));
  Picture(windows->MainWindow(), "server-main");
  Picture(windows->LogWindow(), "server-log");
  Stop();
}

TEST_F(ServerWindows, BroadcastReachesALoggedInClient) {
  Start();
  TestClient client;
  ASSERT_TRUE(client.Connect(app->Port()));
  ASSERT_EQ(client.Login("guest", ""), 0u);

  Click(windows->MainWindow(), "Broadcast");
  QWidget* w = windows->BroadcastWindow();
  ASSERT_TRUE(w->isVisible());
  auto* text = Child<QPlainTextEdit>(w, "message");
  ASSERT_NE(text, nullptr);
  text->setPlainText(QString::fromUtf8("Caf\u00E9 closes \u2013 \u201Csoon\u201D\nbye \u0142"));
  Picture(w, "server-broadcast");
  Click(w, "Send");
  EXPECT_FALSE(w->isVisible());

  std::optional<cvtest::SPush> push = client.WaitPush(trn::ServerMessage);
  ASSERT_TRUE(push);
  EXPECT_EQ(push->fields.GetText(fld::Data), "Caf\x8E closes \xD0 \xD2soon\xD3\rbye l");
  Stop();
}

TEST_F(ServerWindows, OptionsSaveWritesThePreferences) {
  Start();
  windows->MainWindow()->setGeometry(110, 120, 300, 180);
  windows->StatsWindow()->hide();
  Click(windows->MainWindow(), "Options");
  QWidget* w = windows->OptionsWindow();
  ASSERT_TRUE(w->isVisible());
  EXPECT_EQ(Child<QLineEdit>(w, "port")->text(), "5500");
  Child<QLineEdit>(w, "name")->setText("Test Server");
  Child<QLineEdit>(w, "description")->setText(QString::fromUtf8("A \u201Cplace\u201D"));
  Child<QLineEdit>(w, "maxDownloads")->setText("0");
  Child<QLineEdit>(w, "trackerAddress2")->setText("127.0.0.1:6000");
  Child<QCheckBox>(w, "List with Corvane Trackers:")->setChecked(true);
  Child<QCheckBox>(w, "Log Connects to file")->setChecked(true);
  Child<QCheckBox>(w, "Play Sounds")->setChecked(false);
  Picture(w, "server-options");
  Click(w, "Save");
  EXPECT_FALSE(w->isVisible());

  URandom random;
  SServerPrefs saved = LoadServerPrefs(folder.Path(), random);
  EXPECT_EQ(saved.serverName, "Test Server");
  EXPECT_EQ(saved.serverDescription, "A \xD2place\xD3");
  EXPECT_EQ(saved.maxDownloads, 1);  // 0 becomes 1
  EXPECT_EQ(saved.trackers[1].address, "127.0.0.1:6000");
  EXPECT_EQ(saved.options & (optRegisterWithTrackers | optLogConnects | optPlaySounds),
            Uint32(optRegisterWithTrackers | optLogConnects));
  EXPECT_TRUE(app->TrackerTimerRunning());
  // The windows' places go with every save.
  EXPECT_EQ(saved.mainFrame, (SFrame{110, 120, 410, 300}));
  EXPECT_EQ(saved.visibility, Uint16(visMainWindow | visLogWindow));

  // Cancel changes nothing.
  Click(windows->MainWindow(), "Options");
  Child<QLineEdit>(w, "name")->setText("Other");
  QTest::keyClick(w, Qt::Key_Escape);
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(LoadServerPrefs(folder.Path(), random).serverName, "Test Server");
  Stop();
}

TEST_F(ServerWindows, OptionsAtStartComeBeforeTheServerListens) {
  bool listeningMeanwhile = true;
  // The operator changes the port while the window is up, then saves.
  QTimer::singleShot(0, [&] {
    QWidget* w = windows->OptionsWindow();
    ASSERT_TRUE(w && w->isVisible() && w->isModal());
    listeningMeanwhile = app->Port() != 0;
    Child<QLineEdit>(w, "name")->setText("Early");
    Click(w, "Save");
  });
  QTimer::singleShot(kWaitMs, [] {
    if (QWidget* w = QApplication::activeModalWidget()) w->close();
  });
  Start(true);
  EXPECT_FALSE(listeningMeanwhile);
  EXPECT_FALSE(windows->OptionsWindow()->isVisible());
  EXPECT_EQ(app->Prefs().serverName, "Early");
  EXPECT_NE(app->Port(), 0);
  TestClient client;
  EXPECT_TRUE(client.Connect(app->Port()));
  Stop();
}

TEST_F(ServerWindows, QuitWithNobodyConnectedQuitsAndWindowsComeBackWhereTheyWere) {
  Start();
  windows->LogWindow()->setGeometry(400, 90, 500, 250);
  windows->StatsWindow()->hide();
  Click(windows->MainWindow(), "Quit");
  EXPECT_TRUE(app->IsQuitting());
  EXPECT_FALSE(windows->QuitWindow()->isVisible());
  EXPECT_EQ(beeps, 0);
  Stop();

  Start();
  EXPECT_EQ(windows->LogWindow()->geometry(), QRect(400, 90, 500, 250));
  EXPECT_TRUE(windows->LogWindow()->isVisible());
  EXPECT_FALSE(windows->StatsWindow()->isVisible());
  Stop();
}

TEST_F(ServerWindows, PoliteQuitTellsClientsAndEndsWhenTheyHaveGone) {
  Start();
  TestClient client;
  ASSERT_TRUE(client.Connect(app->Port()));
  ASSERT_EQ(client.Login("guest", ""), 0u);
  ASSERT_TRUE(Until([&] { return windows->StatText(statConnected) == "1"; }));

  // Closing the main window asks first while somebody is connected.
  windows->MainWindow()->close();
  QWidget* quit = windows->QuitWindow();
  ASSERT_TRUE(quit->isVisible());
  EXPECT_EQ(beeps, 1);
  EXPECT_FALSE(app->IsQuitting());
  Picture(quit, "server-quit");
  Child<QLineEdit>(quit, "message")->setText("Back in five minutes");
  Click(quit, "Polite Quit");
  EXPECT_FALSE(quit->isVisible());
  EXPECT_TRUE(windows->QuittingWindow()->isVisible());
  Picture(windows->QuittingWindow(), "server-quitting");

  std::optional<cvtest::SPush> notice = client.WaitPush(trn::DisconnectMessage);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->fields.GetText(fld::Data), "Back in five minutes");
  EXPECT_FALSE(app->IsQuitting());
  client.Close();
  EXPECT_TRUE(Until([&] { return app->IsQuitting(); }));
  Stop();
}

TEST_F(ServerWindows, QuitWindowCancelKeepsTheServerRunning) {
  Start();
  TestClient client;
  ASSERT_TRUE(client.Connect(app->Port()));
  ASSERT_TRUE(Until([&] { return windows->StatText(statConnected) == "1"; }));
  Click(windows->MainWindow(), "Quit");
  ASSERT_TRUE(windows->QuitWindow()->isVisible());
  Click(windows->QuitWindow(), "Cancel");
  EXPECT_FALSE(windows->QuitWindow()->isVisible());
  EXPECT_FALSE(app->IsQuitting());
  Click(windows->MainWindow(), "Quit");
  Click(windows->QuitWindow(), "Quit Now");
  EXPECT_TRUE(app->IsQuitting());
  Stop();
}

}  // namespace
