// The client logic against the real corvane-server program, on a real loop: connect
// and login, refusals, the agreement, and news between two clients.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "tests/server/server_harness.h"

namespace {

using namespace cv;
using namespace cv::client;
using cvtest::Loopback;
using cvtest::ServerProcess;
using cvtest::TempFolder;
using cvtest::TestClientApp;

std::string AdminPassword(const std::string& err) {
  const std::string key = "account \"admin\" with password \"";
  std::size_t at = err.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return err.substr(at, err.find('"', at) - at);
}

class ClientWithServer : public ::testing::Test {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UTransport::Init();
    serverDir_ = tmp_ / "srv";
    std::filesystem::create_directories(serverDir_);
  }
  void StartServer() { ASSERT_TRUE(server_.StartServer(serverDir_)) << server_.Stderr(); }
  std::string Address() const { return Loopback(server_.Port()); }

  TempFolder tmp_;
  std::string serverDir_;
  ServerProcess server_;
};

TEST_F(ClientWithServer, ConnectAndLoginShowTheirProgressTitlesToolbarAndSoundThenDisconnectRestores) {
  StartServer();
  TestClientApp c(tmp_ / "client");
  ASSERT_TRUE(c.ConnectAndWait(Address()));
  auto& tasks = c.views.tasks;
  EXPECT_EQ(tasks.ProgressOf("Connecting to Server..."), (std::vector<std::string>{"0/0", "1/3", "2/3", "3/3"}));
  EXPECT_EQ(tasks.ProgressOf("Logging in..."), (std::vector<std::string>{"0/0", "1/2", "2/2"}));
  // The news row counts the reply's bytes.
  const auto news = tasks.ProgressOf("Transferring news...");
  ASSERT_GE(news.size(), 2u);
  EXPECT_EQ(news.front(), "0/0");
  EXPECT_NE(news.back(), "100/100") << "the bytes of the reply, not a bare finish";
  // An empty news file: the window is emptied and scrolled to the top.
  EXPECT_EQ(c.newsView.calls, (std::vector<std::string>{"set", "top"}));
  EXPECT_EQ(c.newsView.text, "");
  EXPECT_EQ(c.views.toolbar.looks,
            (std::vector<EMyToolbarLook>{EMyToolbarLook::Disconnected, EMyToolbarLook::Connecting,
                                         EMyToolbarLook::Connected}));
  const std::string server = Address();
  EXPECT_EQ(c.views.shell.Title(winChat), "Chat (" + server + ")");
  EXPECT_EQ(c.views.shell.Title(winTasks), "Tasks (" + server + ")");
  EXPECT_EQ(c.views.shell.Title(winNews), "News (" + server + ")");
  EXPECT_EQ(c.views.shell.sounds, (std::vector<Int16>{kSoundLoggedIn}));
  EXPECT_TRUE(c.views.shell.alerts.empty());
  EXPECT_NE(c.app.ConnectTime(), 0u);

  // Finished tasks leave the window by themselves.
  EXPECT_TRUE(c.WaitFor([&] { return tasks.rows.empty(); }));

  c.app.Command(cmdDisconnect);
  EXPECT_FALSE(c.app.IsConnected());
  EXPECT_EQ(c.app.Connection(), nullptr);
  EXPECT_EQ(c.app.ConnectTime(), 0u);
  EXPECT_EQ(c.views.shell.Title(winChat), "Chat");
  EXPECT_EQ(c.views.toolbar.Look(), EMyToolbarLook::Disconnected);
  EXPECT_EQ(c.views.shell.serverWindowsClosed, 1);
}

TEST_F(ClientWithServer, WrongPasswordShowsTheServersTextOnceAndDisconnects) {
  StartServer();
  TestClientApp c(tmp_ / "client");
  c.app.ConnectTo(Address(), "admin", "wrong");
  ASSERT_TRUE(c.WaitFor([&] { return c.views.shell.FindAlert("Server Message") && !c.app.Connection(); }));
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].text, "Incorrect login.");
  EXPECT_EQ(c.views.toolbar.Look(), EMyToolbarLook::Disconnected);
  EXPECT_EQ(c.views.shell.Title(winNews), "News");
  EXPECT_TRUE(c.app.Tasks().empty());
  EXPECT_TRUE(c.views.shell.sounds.empty());
}

TEST_F(ClientWithServer, NothingListeningGivesTheNetworkErrorAlertAndTheDisconnectedLook) {
  TestClientApp c(tmp_ / "client");
  c.app.ConnectTo(Loopback(cvtest::UnusedPort()), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.alerts.empty(); }));
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].id, kAlertNetworkError);
  EXPECT_EQ(c.views.shell.alerts[0].text, "The connection was refused.  The server may not be running.");
  EXPECT_EQ(c.views.shell.sounds, (std::vector<Int16>{kSoundError}));
  EXPECT_EQ(c.app.Connection(), nullptr);
  EXPECT_EQ(c.views.toolbar.Look(), EMyToolbarLook::Disconnected);
  EXPECT_TRUE(c.app.Tasks().empty());
}

TEST_F(ClientWithServer, TheAgreementOpensItsWindowAndDisagreeDisconnects) {
  cvtest::WriteFile(serverDir_ + "/Agreement.txt", std::string("House rules.\rBe kind."));
  StartServer();
  TestClientApp c(tmp_ / "client");
  c.app.ConnectTo(Address(), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.agreements.empty(); }));
  EXPECT_EQ(c.views.shell.agreements, (std::vector<std::string>{"House rules.\rBe kind."}));
  cvtest::RecordingAgreementView view;
  CMyAgreementWindow(c.app, view).Disagree();
  EXPECT_EQ(view.closed, 1);
  EXPECT_FALSE(c.app.IsConnected());
  EXPECT_EQ(c.app.Connection(), nullptr);
}

TEST_F(ClientWithServer, APostReachesTheOtherClientAtTheTopAndAGuestMayNotPost) {
  StartServer();
  const std::string password = AdminPassword(server_.Stderr());
  ASSERT_FALSE(password.empty()) << server_.Stderr();
  // Two client applications in one process: each routes its own connection and timers.
  TestClientApp admin(tmp_ / "a");
  TestClientApp guest(tmp_ / "b");
  ASSERT_TRUE(admin.ConnectAndWait(Address(), "admin", password));
  ASSERT_TRUE(guest.ConnectAndWait(Address()));
  guest.newsView.calls.clear();

  admin.app.Command(cmdPostNews);
  EXPECT_EQ(admin.newsView.postWindowsOpened, 1);
  cvtest::RecordingPostView post;
  post.text = "Hello board";
  CMyPostWindow(admin.news, post).Send();
  EXPECT_EQ(post.closed, 1);
  ASSERT_TRUE(guest.WaitFor([&] { return guest.newsView.text.find("Hello board") != std::string::npos; }));
  EXPECT_EQ(guest.newsView.calls, (std::vector<std::string>{"insert"}));
  EXPECT_EQ(guest.newsView.text, guest.news.Text());
  EXPECT_EQ(guest.views.shell.sounds.back(), kSoundNews);
  ASSERT_TRUE(admin.WaitFor([&] { return admin.AllTasksFinished(); }));
  EXPECT_EQ(admin.views.tasks.ProgressOf("Posting message..."), (std::vector<std::string>{"0/0", "1/2", "2/2"}));
  EXPECT_EQ(admin.views.shell.CountAlerts("Server Message"), 0u);

  // A second post lands before the first.
  post.text = "Second";
  CMyPostWindow(admin.news, post).Send();
  ASSERT_TRUE(guest.WaitFor([&] { return guest.newsView.text.find("Second") != std::string::npos; }));
  EXPECT_LT(guest.newsView.text.find("Second"), guest.newsView.text.find("Hello board"));

  // The guest account may not post: the server's refusal in a "Server Message" alert.
  guest.news.Post("Not allowed");
  ASSERT_TRUE(guest.WaitFor([&] { return guest.views.shell.FindAlert("Server Message"); }));
  EXPECT_TRUE(guest.app.IsConnected());

  // A fresh connect reads the whole board.
  TestClientApp third(tmp_ / "c");
  ASSERT_TRUE(third.ConnectAndWait(Address()));
  EXPECT_NE(third.newsView.text.find("Hello board"), std::string::npos);
  EXPECT_NE(third.newsView.text.find("Second"), std::string::npos);
  EXPECT_EQ(third.newsView.calls, (std::vector<std::string>{"set", "top"}));
}

TEST_F(ClientWithServer, QuitDisconnectsAndSavesTheStatistics) {
  StartServer();
  const std::string folder = tmp_ / "client";
  {
    TestClientApp c(folder);
    ASSERT_TRUE(c.ConnectAndWait(Address()));
    c.app.Prefs().chatBytes = 77;
    c.app.Quit();
    EXPECT_TRUE(c.app.IsQuitting());
    EXPECT_FALSE(c.app.IsConnected());
  }
  EXPECT_EQ(LoadClientPrefs(folder).chatBytes, 77u);
}

}  // namespace
