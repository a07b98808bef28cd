// A hostile server against the whole client program (application, news and chat): replies
// with missing fields or fields of the wrong kind, oversized texts and lists, unknown
// transaction types and a server that stalls in the handshake or mid-login. Each case
// ends with the same questions: is the loop still serving (a marker chat line gets
// through), is the connection in the expected state, did the user see what they should,
// and is what the client keeps bounded.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "chat_fixture.h"
#include "client_fixture.h"
#include "fake_server.h"
#include "protocol/catalogue.h"

namespace {

using namespace cv;
using namespace cv::client;
using cvtest::ChatClient;
using cvtest::FakeServer;
using cvtest::Loopback;

Bytes Entry(Uint16 id, std::string_view name) { return cvtest::UserEntryBytes(id, 0, 0, Uint16(name.size()), name); }

UFieldData Text(Uint16 id, std::string_view text) {
  UFieldData f;
  f.AddText(id, text);
  return f;
}

struct SHostileCase {
  const char* name;
  // Before the client connects.
  std::function<void(FakeServer&)> arrange = nullptr;
  // Once connected (or once the server holds the connection, for stalls).
  std::function<void(FakeServer&)> act = nullptr;
  // Framework clock moved forward after act, for a server that stops answering.
  Uint32 stallMs = 0;
  bool staysConnected = true;
  // The resource alert the user sees (0: none of them).
  Int16 alert = 0;
  std::function<void(ChatClient&)> check = nullptr;
};

void PrintTo(const SHostileCase& c, std::ostream* os) { *os << c.name; }

std::string Param(const ::testing::TestParamInfo<SHostileCase>& info) { return info.param.name; }

class HostileServer : public ::testing::TestWithParam<SHostileCase> {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UTransport::Init();
  }
  void TearDown() override { UMessageSys::Clear(); }

  cvtest::TempFolder tmp_;
};

TEST_P(HostileServer, ClientStaysSoundAndBounded) {
  const SHostileCase& hc = GetParam();
  cvtest::FrozenClock clock;
  FakeServer server;
  if (hc.arrange) hc.arrange(server);
  ChatClient client(tmp_.Path());
  client.c.app.ConnectTo(Loopback(server.Port()), "me", "pw");

  const bool stall = hc.stallMs != 0;
  if (stall)
    ASSERT_TRUE(client.WaitFor([&] { return server.silentHandshake ? true : !server.requests.empty(); }));
  else
    ASSERT_TRUE(client.WaitFor([&] {
      return client.c.app.IsConnected() ? client.c.AllTasksFinished() : !client.c.views.shell.alerts.empty();
    }));
  if (hc.act) hc.act(server);
  if (stall) {
    UEventLoop::RunUntilIdle();
    UClock::Advance(hc.stallMs);
  }

  if (hc.staysConnected) {
    // Everything pushed before the marker has been handled once the marker shows.
    server.Push(trn::ChatMessage, Text(fld::Data, "marker"));
    ASSERT_TRUE(
        client.c.WaitFor([&] { return client.views.publicChat.text.find("marker") != std::string::npos; }, 60000));
    EXPECT_TRUE(client.c.app.IsConnected());
  } else {
    ASSERT_TRUE(client.WaitFor([&] { return !client.c.app.IsConnected() && !client.c.views.shell.alerts.empty(); }));
    EXPECT_EQ(client.c.views.toolbar.Look(), EMyToolbarLook::Disconnected);
  }
  const SMyAlert* seen = hc.alert ? client.c.views.shell.FindAlert(hc.alert) : nullptr;
  EXPECT_TRUE(!hc.alert || seen) << "alert " << hc.alert;
  for (const SMyAlert& a : client.c.views.shell.alerts) {
    EXPECT_LE(a.text.size(), 1024u) << a.title;
  }
  if (hc.check) hc.check(client);
}

const SHostileCase kCases[] = {
    {.name = "StallInTheHandshake",
     .arrange = [](FakeServer& s) { s.silentHandshake = true; },
     .stallMs = kHandshakeTimeout,
     .staysConnected = false,
     .alert = kAlertNetworkError},
    {.name = "StallMidLogin",
     .arrange = [](FakeServer& s) { s.unanswered = {trn::Login}; },
     .stallMs = kDefaultReplyTimeout,
     .staysConnected = false,
     .alert = kAlertNetworkError,
     .check = [](ChatClient& c) { EXPECT_TRUE(c.c.app.Tasks().empty() || c.c.AllTasksFinished()); }},
    {.name = "LoginRefusedWithAnOversizedText",
     .arrange =
         [](FakeServer& s) {
           s.answer = [](const FakeServer::SRequest& r, UFieldData& reply, Uint32& code) {
             if (r.type != trn::Login) return;
             reply.AddText(fld::ErrorText, std::string(65535, 'E'));
             code = 1;
           };
         },
     .staysConnected = false,
     .check =
         [](ChatClient& c) {
           const SMyAlert* a = c.c.views.shell.FindAlert(kServerMessageTitle);
           ASSERT_NE(a, nullptr);
           EXPECT_EQ(a->text, std::string(255, 'E'));
         }},
    {.name = "RepliesWithWrongKindsOfFields",
     .arrange =
         [](FakeServer& s) {
           s.answer = [](const FakeServer::SRequest& r, UFieldData& reply, Uint32&) {
             // Integers where texts belong and texts where entries belong.
             if (r.type == trn::GetNews) reply.AddInteger(fld::Data, 7);
             if (r.type == trn::GetOnlineUsers) {
               reply.AddText(fld::UserNameWithInfo, "not an entry");
               reply.AddField(fld::UserNameWithInfo, Bytes{0xFF});
               reply.AddField(fld::UserNameWithInfo, Entry(3, "ok"));
             }
           };
         },
     .act =
         [](FakeServer& s) {
           UFieldData f;
           f.AddText(fld::UserId, "abc");  // a user id three bytes long
           f.AddInteger(fld::UserName, 99);
           s.Push(trn::NotifyUserChange, f);
           UFieldData g;
           g.AddText(fld::ChatId, "xyz");
           g.AddInteger(fld::Data, 1);
           s.Push(trn::ChatMessage, g);
         },
     .check = [](ChatClient& c) { EXPECT_EQ(c.views.userList.Names(), (std::vector<std::string>{"ok"})); }},
    {.name = "UnknownAndReplyTypesPushed",
     .act =
         [](FakeServer& s) {
           for (Uint16 type : std::initializer_list<Uint16>{0, 1, 9999, 65535, trn::Login, trn::GetNews})
             s.Push(type, Text(fld::Data, "what is this"));
         },
     .check = [](ChatClient& c) { EXPECT_TRUE(c.c.views.shell.alerts.empty()); }},
    {.name = "OversizedTexts",
     .act =
         [](FakeServer& s) {
           UFieldData admin;
           admin.AddText(fld::Data, std::string(65535, 'A'));
           s.Push(trn::ServerMessage, admin);
           s.Push(trn::ChatMessage, Text(fld::Data, std::string(65535, 'C')));
           for (int i = 0; i < 40; ++i) s.Push(trn::NewMessage, Text(fld::Data, std::string(60000, 'N')));
         },
     .check =
         [](ChatClient& c) {
           const SMyAlert* a = c.c.views.shell.FindAlert(kAdminMessageTitle);
           ASSERT_NE(a, nullptr);
           EXPECT_EQ(a->text.size(), 255u);
           EXPECT_LE(c.views.publicChat.text.size(), 8192u + 64u);
           EXPECT_LE(c.c.newsView.text.size(), kMaxNewsText);
         }},
    {.name = "AUserListOf100000Entries",
     .arrange =
         [](FakeServer& s) {
           s.answer = [](const FakeServer::SRequest& r, UFieldData& reply, Uint32&) {
             if (r.type != trn::GetOnlineUsers) return;
             // As many entries as a field list holds; the rest come as join notices.
             for (Uint32 id = 1; id <= 65535; ++id) reply.AddField(fld::UserNameWithInfo, Entry(Uint16(id), "u"));
           };
         },
     .act =
         [](FakeServer& s) {
           for (Uint32 i = 0; i < 100000 - 65535; ++i) {
             UFieldData f;
             f.AddInteger(fld::UserId, 65536 + i);  // beyond any user id
             f.AddText(fld::UserName, "v");
             s.Push(trn::NotifyUserChange, f);
           }
         },
     .check =
         [](ChatClient& c) {
           EXPECT_EQ(c.chat.Users().Size(), 65535u);
           EXPECT_EQ(c.views.userList.users.size(), 65535u);
         }},
    {.name = "DisconnectNoticeWithAnOversizedText",
     .act = [](FakeServer& s) { s.Push(trn::DisconnectMessage, Text(fld::Data, std::string(65535, 'D'))); },
     .staysConnected = false,
     .alert = kAlertDisconnected,
     .check =
         [](ChatClient& c) {
           const SMyAlert* a = c.c.views.shell.FindAlert(kAlertDisconnected);
           ASSERT_NE(a, nullptr);
           EXPECT_NE(a->text.find(std::string(255, 'D')), std::string::npos);
           EXPECT_EQ(a->text.find(std::string(256, 'D')), std::string::npos);
         }},
};

INSTANTIATE_TEST_SUITE_P(Replies, HostileServer, ::testing::ValuesIn(kCases), Param);

}  // namespace
