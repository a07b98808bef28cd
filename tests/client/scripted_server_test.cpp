// The client logic against a scripted server in this process: refusals, silence past a
// deadline, the stop button, pushes with missing or hostile fields, and lost connections.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "fake_server.h"
#include "protocol/catalogue.h"

namespace {

using namespace cv;
using namespace cv::client;
using cvtest::FakeServer;
using cvtest::Loopback;
using cvtest::TempFolder;
using cvtest::TestClientApp;

class Listener : public IMyConnectionListener {
 public:
  void Connecting() override { events.push_back("connecting"); }
  void Connected() override { events.push_back("connected"); }
  void Disconnected() override { events.push_back("disconnected"); }
  std::vector<std::string> events;
};

class ClientWithScriptedServer : public ::testing::Test {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UTransport::Init();
  }
  void TearDown() override { UMessageSys::Clear(); }

  // Connected and logged in, every task finished.
  void Connect(TestClientApp& c) {
    ASSERT_TRUE(c.ConnectAndWait(Loopback(server_.Port()), "me", "pw"));
    ASSERT_TRUE(server_.HasClient());
  }
  std::size_t RequestsOf(Uint16 type) const {
    std::size_t n = 0;
    for (const auto& r : server_.requests) n += r.type == type;
    return n;
  }

  TempFolder tmp_;
  FakeServer server_;
};

TEST_F(ClientWithScriptedServer, LoginCarriesComplementedTextsNameAndIcon) {
  TestClientApp c(tmp_.Path());
  c.app.Prefs().userName = "Zed";
  c.app.Prefs().iconId = 130;
  ASSERT_TRUE(c.ConnectAndWait(Loopback(server_.Port()), std::string("a\x00\xFF", 3), ""));
  ASSERT_FALSE(server_.requests.empty());
  const auto& login = server_.requests[0];
  EXPECT_EQ(login.type, trn::Login);
  EXPECT_EQ(login.fields.GetText(fld::UserLogin), std::string("\x9E\xFF\x00", 3));
  EXPECT_FALSE(login.fields.HasField(fld::UserPassword)) << "an empty password is not sent";
  EXPECT_EQ(login.fields.GetText(fld::UserName), "Zed");
  EXPECT_EQ(login.fields.GetInteger(fld::UserIconId), 130u);
  EXPECT_EQ(RequestsOf(trn::GetNews), 1u);
}

TEST_F(ClientWithScriptedServer, ARefusedHandshakeShowsItsOwnAlertOnly) {
  server_.refuseHandshake = true;
  TestClientApp c(tmp_.Path());
  Listener listener;
  c.app.AddConnectionListener(listener);
  c.app.ConnectTo(Loopback(server_.Port()), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.alerts.empty() && !c.app.Connection(); }));
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].id, kAlertHandshakeRefused);
  EXPECT_EQ(c.views.shell.alerts[0].title, "Connection Refused");
  EXPECT_TRUE(c.app.Tasks().empty());
  EXPECT_EQ(c.views.toolbar.Look(), EMyToolbarLook::Disconnected);
  EXPECT_EQ(listener.events, (std::vector<std::string>{"connecting", "disconnected"}));
}

TEST_F(ClientWithScriptedServer, GetNewsTimesOutAfter400SecondsAndOnlyThatTaskEnds) {
  server_.unanswered = {trn::GetNews};
  cvtest::FrozenClock clock;
  TestClientApp c(tmp_.Path());
  c.app.ConnectTo(Loopback(server_.Port()), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return RequestsOf(trn::GetNews) == 1 && c.views.tasks.HasRow("Transferring news..."); }));
  // The login default of 200 s does not apply to the news.
  UClock::Advance(399999);
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(c.views.shell.alerts.empty());
  EXPECT_TRUE(c.views.tasks.HasRow("Transferring news..."));
  UClock::Advance(1);
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.alerts.empty(); }));
  EXPECT_EQ(c.views.shell.alerts[0].id, kAlertNetworkError);
  EXPECT_EQ(c.views.shell.alerts[0].text, "The other side did not answer in time.");
  EXPECT_EQ(c.views.shell.sounds.back(), kSoundError);
  EXPECT_FALSE(c.views.tasks.HasRow("Transferring news..."));
  EXPECT_TRUE(c.app.IsConnected()) << "a failed news fetch keeps the connection";
}

TEST_F(ClientWithScriptedServer, StopButtonOnNewsDiscardsTheLateReplyAndOnLoginDisconnects) {
  server_.unanswered = {trn::GetNews};
  TestClientApp c(tmp_.Path());
  c.app.ConnectTo(Loopback(server_.Port()), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return RequestsOf(trn::GetNews) == 1 && c.views.tasks.HasRow("Transferring news..."); }));
  c.app.StopTask(*c.views.tasks.RowId("Transferring news..."));
  EXPECT_FALSE(c.views.tasks.HasRow("Transferring news..."));
  server_.ReplyHeld();
  // The late reply disturbs nothing: a new request still gets its own answer.
  c.news.Post("hi");
  ASSERT_TRUE(c.WaitFor([&] { return c.AllTasksFinished() && RequestsOf(trn::PostNews) == 1; }));
  EXPECT_TRUE(c.views.shell.alerts.empty());
  EXPECT_TRUE(c.newsView.calls.empty());
  EXPECT_TRUE(c.app.IsConnected());

  server_.unanswered = {trn::Login};
  c.app.ConnectTo(Loopback(server_.Port()), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return c.views.tasks.HasRow("Logging in...") && RequestsOf(trn::Login) == 2; }));
  c.app.StopTask(*c.views.tasks.RowId("Logging in..."));
  EXPECT_FALSE(c.app.IsConnected());
  EXPECT_EQ(c.app.Connection(), nullptr);
  EXPECT_TRUE(c.views.tasks.rows.empty());
  EXPECT_TRUE(c.views.shell.alerts.empty());
}

TEST_F(ClientWithScriptedServer, ALoginErrorWithoutTextIsReportedAndDisconnects) {
  server_.answer = [](const FakeServer::SRequest& r, UFieldData&, Uint32& code) {
    if (r.type == trn::Login) code = 1;
  };
  TestClientApp c(tmp_.Path());
  c.app.ConnectTo(Loopback(server_.Port()), "", "");
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.alerts.empty() && !c.app.Connection(); }));
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].title, "ERROR");
  EXPECT_NE(c.views.shell.alerts[0].text.find("ID 1/1"), std::string::npos);
}

TEST_F(ClientWithScriptedServer, ServerMessagesByTheirFieldsAndUnknownPushesIgnored) {
  TestClientApp c(tmp_.Path());
  std::vector<Uint32> privateFrom;
  c.app.AddIncomingHandler(trn::ServerMessage,
                           [&](UFieldData& f) { privateFrom.push_back(f.GetInteger(fld::UserId)); });
  int chatLines = 0;
  c.app.AddIncomingHandler(trn::ChatMessage, [&](UFieldData&) { ++chatLines; });
  Connect(c);
  UFieldData junk;
  junk.AddText(999, std::string(300, 'j'));
  server_.Push(4242, junk);
  server_.Push(trn::ServerMessage, UFieldData());
  UFieldData fromServer;
  fromServer.AddText(fld::Data, std::string(300, 's'));
  fromServer.AddInteger(fld::ChatOptions, 1);
  fromServer.AddInteger(fld::UserId, 0);
  server_.Push(trn::ServerMessage, fromServer);
  UFieldData privateMessage;
  privateMessage.AddInteger(fld::UserId, 5);
  privateMessage.AddText(fld::Data, "psst");
  server_.Push(trn::ServerMessage, privateMessage);
  // A wrong-kind field: text where an integer is expected.
  UFieldData odd;
  odd.AddText(fld::ChatOptions, "abc");
  odd.AddText(fld::Data, "odd");
  server_.Push(trn::ServerMessage, odd);
  server_.Push(trn::ChatMessage, UFieldData());
  ASSERT_TRUE(c.WaitFor([&] { return chatLines == 1; }));
  auto& alerts = c.views.shell.alerts;
  ASSERT_EQ(alerts.size(), 3u);
  EXPECT_EQ(alerts[0].title, "Administrator Message");
  EXPECT_EQ(alerts[0].text, "");
  EXPECT_EQ(alerts[1].title, "Server Message");
  EXPECT_EQ(alerts[1].text, std::string(255, 's'));
  EXPECT_EQ(alerts[2].title, "Administrator Message");
  EXPECT_EQ(alerts[2].text, "odd");
  EXPECT_EQ(privateFrom, (std::vector<Uint32>{5}));
  EXPECT_TRUE(c.app.IsConnected());
}

TEST_F(ClientWithScriptedServer, AgreementsInOneBurstShowOneWindowAndAFloodIsCapped) {
  TestClientApp c(tmp_.Path());
  Connect(c);
  UFieldData a, b;
  a.AddText(fld::Data, "One. ");
  b.AddText(fld::Data, "Two.");
  server_.Push(trn::ShowAgreement, a);
  server_.Push(trn::ShowAgreement, b);
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.agreements.empty(); }));
  EXPECT_EQ(c.views.shell.agreements, (std::vector<std::string>{"One. Two."}));

  c.views.shell.agreements.clear();
  UFieldData big;
  big.AddText(fld::Data, std::string(UFieldData::kMaxFieldSize, 'x'));
  for (int i = 0; i < 40; ++i) server_.Push(trn::ShowAgreement, big);
  UFieldData last;
  last.AddText(fld::Data, "END");
  server_.Push(trn::ShowAgreement, last);
  // A marker push behind the flood tells when everything has been read.
  server_.Push(trn::ChatMessage, UFieldData());
  int seen = 0;
  c.app.AddIncomingHandler(trn::ChatMessage, [&](UFieldData&) { ++seen; });
  ASSERT_TRUE(c.WaitFor([&] { return seen == 1; }));
  std::size_t total = 9;  // the first two
  for (const auto& text : c.views.shell.agreements) {
    EXPECT_EQ(text.find("END"), std::string::npos);
    total += text.size();
  }
  EXPECT_EQ(total, kMaxAgreementText) << "one connection's agreements stop at the cap";
}

TEST_F(ClientWithScriptedServer, NewsRepliesAndPushesWithOddFields) {
  server_.answer = [](const FakeServer::SRequest& r, UFieldData& reply, Uint32&) {
    if (r.type == trn::GetNews) reply.AddInteger(fld::UserId, 7);  // no text at all
  };
  TestClientApp c(tmp_.Path());
  Connect(c);
  EXPECT_EQ(c.newsView.text, "");
  EXPECT_EQ(c.newsView.calls, (std::vector<std::string>{"set", "top"}));
  UFieldData post;
  post.AddText(fld::Data, "Top\r");
  server_.Push(trn::NewMessage, UFieldData());
  server_.Push(trn::NewMessage, post);
  ASSERT_TRUE(c.WaitFor([&] { return c.newsView.text == "Top\r"; }));
  EXPECT_EQ(c.views.shell.sounds.back(), kSoundNews);
  c.app.Prefs().soundFlags &= ~sndNews;
  const std::size_t sounds = c.views.shell.sounds.size();
  server_.Push(trn::NewMessage, post);
  ASSERT_TRUE(c.WaitFor([&] { return c.newsView.text == "Top\rTop\r"; }));
  EXPECT_EQ(c.views.shell.sounds.size(), sounds);
}

TEST_F(ClientWithScriptedServer, ADisconnectNoticeBeforeTheCloseShowsItsTextNotConnectionLost) {
  TestClientApp c(tmp_.Path());
  Listener listener;
  c.app.AddConnectionListener(listener);
  Connect(c);
  UFieldData notice;
  notice.AddText(fld::Data, "Server going down.");
  server_.Push(trn::DisconnectMessage, notice);
  server_.DropClient();
  ASSERT_TRUE(c.WaitFor([&] { return !c.views.shell.alerts.empty(); }));
  UEventLoop::RunUntilIdle();
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].id, kAlertDisconnected);
  EXPECT_EQ(c.views.shell.alerts[0].text, "The server has disconnected you:\r\rServer going down.");
  EXPECT_FALSE(c.app.IsConnected());
  EXPECT_EQ(listener.events, (std::vector<std::string>{"connecting", "connected", "disconnected"}));
}

TEST_F(ClientWithScriptedServer, AConnectionLostWhileConnectedShowsAlert131AndKeepsIndependentTasks) {
  class Survivor : public CMyTask {
   public:
    explicit Survivor(CMyApplication& app) : CMyTask(app, "Transferring server list...") { SetIndependent(); }
  };
  TestClientApp c(tmp_.Path());
  Connect(c);
  const Uint32 survivor = c.app.StartTask<Survivor>().Id();
  const Uint32 seconds = c.app.Prefs().onlineSeconds;
  server_.DropClient();
  ASSERT_TRUE(c.WaitFor([&] { return !c.app.IsConnected(); }));
  ASSERT_EQ(c.views.shell.alerts.size(), 1u);
  EXPECT_EQ(c.views.shell.alerts[0].id, kAlertConnectionLost);
  EXPECT_EQ(c.app.Connection(), nullptr);
  EXPECT_NE(c.app.FindTask(survivor), nullptr);
  EXPECT_GE(c.app.Prefs().onlineSeconds, seconds);
  EXPECT_EQ(c.app.ConnectTime(), 0u);
}

}  // namespace
