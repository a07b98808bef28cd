// Chat, private messages and private rooms on the server's real loop, with clients over
// loopback: line format, who hears what, the flood ban, the message quota and a room's
// whole life.
#include <filesystem>
#include <optional>

#include "framework/clock.h"
#include "server/application.h"
#include "server/chat.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;

const std::string kAlPrefix = "\r           Al:  ";

class ChatServer : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    settings_.folder = tmp_ / "srv";
    settings_.port = 0;
    settings_.logHook = [this](std::string_view line) { lines_.emplace_back(line); };
    settings_.terminate = [](std::string_view) {};
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    CreateFirstAccounts(app_->Accounts());
  }
  void TearDown() override { UClock::SetTestOffset(0); }

  // The guest's privileges less one (or none when without is 0).
  static SPrivilegeSet GuestWithout(std::optional<unsigned> without = std::nullopt) {
    SPrivilegeSet access = GuestPrivileges();
    if (without) access.Clear(*without);
    return access;
  }

  // Makes an account named name (its login too), connects and logs in; the pushes the
  // login caused are left to the caller.
  std::unique_ptr<TestClient> Join(std::string_view name, const SPrivilegeSet& access = GuestPrivileges()) {
    app_->Accounts().Create(MakeAccount(name, name, "pw", access));
    auto c = std::make_unique<TestClient>();
    EXPECT_TRUE(c->Connect(app_->Port()));
    EXPECT_EQ(c->Login(name, "pw", name), 0u);
    // A request answered means everything the login caused has gone out before it.
    EXPECT_TRUE(c->Request(trn::GetOnlineUsers, {}));
    return c;
  }

  static UFieldData Chat(std::string_view text, Uint32 options = 0, Uint32 chatId = 0) {
    UFieldData f;
    f.AddText(fld::Data, text);
    if (options) f.AddInteger(fld::ChatOptions, options);
    if (chatId) f.AddInteger(fld::ChatId, chatId);
    return f;
  }

  static UFieldData Message(Uint16 to, std::string_view text) {
    UFieldData f;
    f.AddInteger(fld::UserId, to);
    f.AddText(fld::Data, text);
    return f;
  }

  static UFieldData Room(Uint32 id) {
    UFieldData f;
    f.AddInteger(fld::ChatId, id);
    return f;
  }

  bool Logged(std::string_view text) const {
    for (const std::string& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  TempFolder tmp_;
  SServerSettings settings_;
  std::vector<std::string> lines_;
  std::unique_ptr<CMyApplication> app_;
};

TEST(ChatLines, PrefixEveryLineAndCutTheWhole) {
  struct Case {
    std::string name, text;
    bool action;
    std::string want;
  } cases[] = {
      {"Al", "a\rb", false, kAlPrefix + "a" + kAlPrefix + "b"},
      {"Al", "", false, kAlPrefix},
      {"Al", "hi\r", false, kAlPrefix + "hi" + kAlPrefix},
      {"Al", "waves", true, "\r *** Al waves"},
      {"Al", "x\ry", true, "\r *** Al x\r *** Al y"},
      // Names beyond 13 characters are cut to fit the column.
      {"Bartholomew-Smith", "yo", false, "\rBartholomew-S:  yo"},
      // Other control bytes are the reader's business; only line ends are rewritten.
      {"Al", std::string("a\tb\x01", 4), false, kAlPrefix + std::string("a\tb\x01", 4)},
  };
  for (const Case& c : cases) EXPECT_EQ(CMyChatService::ChatLines(c.name, c.text, c.action), c.want) << c.text;

  // Many empty lines grow past the cut: the result stops at 8192 bytes.
  const std::string many = CMyChatService::ChatLines("Al", std::string(5000, '\r'), false);
  ASSERT_EQ(many.size(), kChatTextMax);
  EXPECT_EQ(many.substr(0, kAlPrefix.size()), kAlPrefix);
  // An over-long text is cut before the prefix goes in, and the whole again after.
  EXPECT_EQ(CMyChatService::ChatLines("Al", std::string(9000, 'z'), false),
            (kAlPrefix + std::string(9000, 'z')).substr(0, kChatTextMax));
}

TEST(ChatLines, QuotaRefusalQuotesAnExcerpt) {
  EXPECT_EQ(CMyChatService::QuotaRefusal("hello", "Bo"),
            "Could not send message \xD2hello\xD3 to user \xD2"
            "Bo\xD3 as it would exceed your message quota.  Try again later.");
  const std::string twenty(20, 'x');
  EXPECT_NE(CMyChatService::QuotaRefusal(twenty, "Bo").find("\xD2" + twenty + "\xD3"), std::string::npos);
  EXPECT_NE(CMyChatService::QuotaRefusal(twenty + "yyyyy", "Bo").find("\xD2" + twenty + "\xC9\xD3"), std::string::npos);
}

TEST_F(ChatServer, ChatReachesEveryReaderFormattedTheSender) {
  auto al = Join("Al");
  auto bo = Join("Bo");
  auto deaf = Join("Deaf", GuestWithout(CanReadChat));

  al->Post(trn::SendChat, Chat("a\rb"));
  for (TestClient* c : {al.get(), bo.get()}) {
    auto line = c->WaitPush(trn::ChatMessage);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->fields.GetText(fld::Data, kChatTextMax), kAlPrefix + "a" + kAlPrefix + "b");
    EXPECT_FALSE(line->fields.HasField(fld::ChatId));
  }
  bo->Post(trn::SendChat, Chat("waves", 1));
  auto action = al->WaitPush(trn::ChatMessage);
  ASSERT_TRUE(action);
  EXPECT_EQ(action->fields.GetText(fld::Data), "\r *** Bo waves");
  ASSERT_TRUE(bo->WaitPush(trn::ChatMessage));  // its own line

  // The deaf user can still send; nothing came to it meanwhile.
  deaf->Post(trn::SendChat, Chat("hello?"));
  auto fromDeaf = bo->WaitPush(trn::ChatMessage);
  ASSERT_TRUE(fromDeaf);
  EXPECT_EQ(fromDeaf->fields.GetText(fld::Data), "\r         Deaf:  hello?");
  ASSERT_TRUE(deaf->Request(trn::GetOnlineUsers, {}));
  EXPECT_FALSE(deaf->WaitPush(trn::ChatMessage, 0));
}

TEST_F(ChatServer, UserWithoutSendChatIsToldAndNobodyHearsIt) {
  auto al = Join("Al");
  auto mute = Join("Mute", GuestWithout(CanSendChat));
  mute->Post(trn::SendChat, Chat("let me speak"));
  auto notice = mute->WaitPush(trn::ServerMessage);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->fields.GetText(fld::Data), kNoChatText);
  EXPECT_EQ(notice->fields.GetInteger(fld::ChatOptions), 1u);

  al->Post(trn::SendChat, Chat("next"));
  auto first = al->WaitPush(trn::ChatMessage);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->fields.GetText(fld::Data), kAlPrefix + "next");
  // The mute user still reads chat.
  EXPECT_TRUE(mute->WaitPush(trn::ChatMessage));
}

TEST_F(ChatServer, FloodingChatIsBannedAfterTheLineThatPassedTheLimit) {
  auto bo = Join("Bo");
  {
    // Within one window 100 short lines are fine; a minute later the count starts over.
    auto cy = Join("Cy");
    for (int i = 0; i < 100; ++i) cy->Post(trn::SendChat, Chat("x"));
    ASSERT_TRUE(cy->Request(trn::GetOnlineUsers, {}));
    UClock::Advance(61 * 1000);
    for (int i = 0; i < 100; ++i) cy->Post(trn::SendChat, Chat("x"));
    ASSERT_TRUE(cy->Request(trn::GetOnlineUsers, {}));
    EXPECT_FALSE(Logged("Autobanned for flooding"));
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(bo->WaitPush(trn::ChatMessage)) << i;
  }
  auto al = Join("Al");
  // Lines of at most 90 bytes count 90: 114 of them pass 10240, the 115th is refused.
  for (int i = 0; i < 115; ++i) al->Post(trn::SendChat, Chat(std::to_string(i)));
  ASSERT_TRUE(al->WaitClosed());
  int delivered = 0;
  while (auto line = bo->WaitPush(trn::ChatMessage, delivered < 114 ? TestClient::kWaitMs : 200)) {
    EXPECT_EQ(line->fields.GetText(fld::Data), kAlPrefix + std::to_string(delivered));
    ++delivered;
  }
  EXPECT_EQ(delivered, 114);
  EXPECT_TRUE(Logged("Autobanned for flooding"));
  // The address is banned now.
  TestClient again;
  EXPECT_FALSE(again.Connect(app_->Port()) && again.Login("Al", "pw", "Al") == 0);
}

TEST_F(ChatServer, PrivateMessagesAndTheSharedQuota) {
  auto al = Join("Al");
  auto bo = Join("Bo");
  const Uint16 alId = 1, boId = 2;

  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(al->Request(trn::SendPrivMsg, Message(boId, "hello there"), &reply, &code));
  EXPECT_EQ(code, 0u);
  auto got = bo->WaitPush(trn::ServerMessage);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->fields.GetInteger(fld::UserId), alId);
  EXPECT_EQ(got->fields.GetText(fld::UserName), "Al");
  EXPECT_EQ(got->fields.GetText(fld::Data), "hello there");

  ASSERT_TRUE(al->Request(trn::SendPrivMsg, Message(77, "anyone?"), &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), kNotConnectedText);

  // Over-long messages are cut to 4096 bytes.
  ASSERT_TRUE(al->Request(trn::SendPrivMsg, Message(boId, std::string(5000, 'm')), &reply, &code));
  got = bo->WaitPush(trn::ServerMessage);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->fields.GetFieldSize(fld::Data), kPrivateMessageMax);

  // An invitation to an unknown room costs nothing; a new chat and an invitation count.
  UFieldData unknown = Room(12345);
  unknown.AddInteger(fld::UserId, boId);
  al->Post(trn::InviteToChat, unknown);
  UFieldData invite;
  invite.AddInteger(fld::UserId, boId);
  ASSERT_TRUE(al->Request(trn::InviteNewChat, invite, &reply, &code));  // 3
  ASSERT_EQ(code, 0u);
  UFieldData again = Room(reply.GetInteger(fld::ChatId));
  again.AddInteger(fld::UserId, boId);
  al->Post(trn::InviteToChat, again);  // 4
  for (int i = 5; i <= 11; ++i) {
    ASSERT_TRUE(al->Request(trn::SendPrivMsg, Message(boId, "m"), &reply, &code));
    ASSERT_EQ(code, 0u) << i;
  }
  const std::string long25 = "abcdefghijklmnopqrstuvwxy";
  ASSERT_TRUE(al->Request(trn::SendPrivMsg, Message(boId, long25), &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), "Could not send message \xD2" + long25.substr(0, 20) +
                                               "\xC9\xD3 to user \xD2"
                                               "Bo\xD3 as it would exceed your message quota.  Try again later.");
  ASSERT_TRUE(al->Request(trn::InviteNewChat, invite, &reply, &code));
  EXPECT_EQ(reply.GetText(fld::ErrorText), kNewChatQuotaText);
  ASSERT_TRUE(al->Request(trn::InviteToChat, again, &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), kInviteQuotaText);

  // The other user's quota is its own; the window restarts after a minute.
  ASSERT_TRUE(bo->Request(trn::SendPrivMsg, Message(alId, "fine"), &reply, &code));
  EXPECT_EQ(code, 0u);
  UClock::Advance(61 * 1000);
  ASSERT_TRUE(al->Request(trn::SendPrivMsg, Message(boId, "later"), &reply, &code));
  EXPECT_EQ(code, 0u);
}

TEST_F(ChatServer, PrivateRoomFromInvitationToClose) {
  auto al = Join("Al");
  auto bo = Join("Bo");
  auto cy = Join("Cy");
  const Uint16 alId = 1, boId = 2, cyId = 3;

  UFieldData invite;
  invite.AddInteger(fld::UserId, boId);
  invite.AddInteger(fld::UserId, 999);   // unknown: skipped
  invite.AddInteger(fld::UserId, alId);  // the requester: skipped
  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(al->Request(trn::InviteNewChat, invite, &reply, &code));
  ASSERT_EQ(code, 0u);
  const Uint32 room = reply.GetInteger(fld::ChatId);
  EXPECT_EQ(room & 0xFF, 1u);  // the room counter fills the low byte
  EXPECT_EQ(reply.GetInteger(fld::UserId), alId);
  EXPECT_EQ(reply.GetText(fld::UserName), "Al");
  EXPECT_EQ(reply.GetInteger(fld::UserIconId), 128u);
  ASSERT_NE(app_->Chat()->FindRoom(room), nullptr);

  auto invitation = bo->WaitPush(trn::InviteToChat);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->fields.GetInteger(fld::ChatId), room);
  EXPECT_EQ(invitation->fields.GetInteger(fld::UserId), alId);
  EXPECT_EQ(invitation->fields.GetText(fld::UserName), "Al");
  EXPECT_FALSE(al->WaitPush(trn::InviteToChat, 0));

  ASSERT_TRUE(bo->Request(trn::JoinChat, Room(room), &reply, &code));
  ASSERT_EQ(code, 0u);
  EXPECT_FALSE(reply.HasField(fld::ChatSubject));
  ASSERT_EQ(reply.GetFieldCount(), 2u);
  EXPECT_EQ(ReadU16(reply.GetNthField(1).data()), alId);
  EXPECT_EQ(ReadU16(reply.GetNthField(2).data()), boId);
  auto joined = al->WaitPush(trn::NotifyChatUserChange);
  ASSERT_TRUE(joined);
  EXPECT_EQ(joined->fields.GetInteger(fld::ChatId), room);
  EXPECT_EQ(joined->fields.GetInteger(fld::UserId), boId);
  EXPECT_EQ(joined->fields.GetText(fld::UserName), "Bo");

  // Joining again lists the members and tells nobody.
  ASSERT_TRUE(bo->Request(trn::JoinChat, Room(room), &reply, &code));
  EXPECT_EQ(reply.GetFieldCount(), 2u);

  // Subject: every member hears it, the sender included.
  UFieldData subject = Room(room);
  subject.AddText(fld::ChatSubject, "Plans");
  bo->Post(trn::SetChatSubject, subject);
  for (TestClient* c : {al.get(), bo.get()}) {
    auto s = c->WaitPush(trn::NotifyChatSubject);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->fields.GetInteger(fld::ChatId), room);
    EXPECT_EQ(s->fields.GetText(fld::ChatSubject), "Plans");
  }

  // Room chat: members only; the sender need not be one.
  cy->Post(trn::SendChat, Chat("knock", 0, room));
  for (TestClient* c : {al.get(), bo.get()}) {
    auto line = c->WaitPush(trn::ChatMessage);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->fields.GetInteger(fld::ChatId), room);
    EXPECT_EQ(line->fields.GetText(fld::Data), "\r           Cy:  knock");
  }
  cy->Post(trn::RejectChatInvite, Room(room));
  auto declined = al->WaitPush(trn::ChatMessage);
  ASSERT_TRUE(declined);
  EXPECT_EQ(declined->fields.GetText(fld::Data), "\r<<< \"Cy\" declined invitation to chat >>>");
  ASSERT_TRUE(cy->Request(trn::GetOnlineUsers, {}));
  EXPECT_FALSE(cy->WaitPush(trn::ChatMessage, 0));

  // A third member gets the subject with the list; nobody had been told of Bo twice.
  ASSERT_TRUE(cy->Request(trn::JoinChat, Room(room), &reply, &code));
  EXPECT_EQ(reply.GetText(fld::ChatSubject), "Plans");
  EXPECT_EQ(reply.GetFieldCount(), 4u);
  auto cyJoined = al->WaitPush(trn::NotifyChatUserChange);
  ASSERT_TRUE(cyJoined);
  EXPECT_EQ(cyJoined->fields.GetInteger(fld::UserId), cyId);

  // Leaving tells the rest; a disconnection does the same before the user-left notice.
  bo->Post(trn::LeaveChat, Room(room));
  auto left = al->WaitPush(trn::NotifyChatUserDelete);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->fields.GetInteger(fld::UserId), boId);
  cy->Close();
  auto gone = al->WaitPush(trn::NotifyUserDelete);
  ASSERT_TRUE(gone);
  auto cyLeft = al->WaitPush(trn::NotifyChatUserDelete, 0);
  ASSERT_TRUE(cyLeft);
  EXPECT_EQ(cyLeft->fields.GetInteger(fld::UserId), cyId);

  // The last member closes the room; its id no longer opens anything.
  al->Post(trn::LeaveChat, Room(room));
  ASSERT_TRUE(bo->Request(trn::JoinChat, Room(room), &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), kChatClosedText);
  EXPECT_TRUE(app_->Chat()->Rooms().empty());

  // Ids keep counting in the low byte.
  ASSERT_TRUE(al->Request(trn::InviteNewChat, {}, &reply, &code));
  EXPECT_EQ(reply.GetInteger(fld::ChatId) & 0xFF, 2u);
}

TEST_F(ChatServer, ResetClosesEveryRoomWithoutNotices) {
  auto al = Join("Al");
  auto bo = Join("Bo");
  UFieldData reply;
  ASSERT_TRUE(al->Request(trn::InviteNewChat, {}, &reply));
  const Uint32 room = reply.GetInteger(fld::ChatId);
  ASSERT_TRUE(bo->Request(trn::JoinChat, Room(room), &reply));
  ASSERT_EQ(app_->Chat()->Rooms().size(), 1u);
  app_->Reset();
  EXPECT_TRUE(app_->Chat()->Rooms().empty());
  EXPECT_TRUE(al->WaitClosed());
  EXPECT_FALSE(al->WaitPush(trn::NotifyChatUserDelete, 0));
}

TEST_F(ChatServer, BroadcastGoesToEveryLoggedInClientWithoutASender) {
  auto al = Join("Al");
  auto bo = Join("Bo");
  app_->Chat()->Broadcast("Maintenance at noon.");
  for (TestClient* c : {al.get(), bo.get()}) {
    auto m = c->WaitPush(trn::ServerMessage);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->fields.GetText(fld::Data), "Maintenance at noon.");
    EXPECT_EQ(m->fields.GetFieldCount(), 1u);
  }
}

}  // namespace
