// The chat service in a whole client application: against the real corvane-server on
// loopback (a second user speaks through a raw protocol connection), and against a
// scripted server for what a real one never sends.
#include <gtest/gtest.h>

#include <array>

#include "client/chat.h"
#include "client_fixture.h"
#include "fake_server.h"
#include "framework/transport.h"
#include "protocol/catalogue.h"
#include "tests/server/server_harness.h"

namespace {

using namespace cv;
using namespace cv::client;
using cvtest::FakeServer;
using cvtest::ServerProcess;
using cvtest::TempFolder;
using cvtest::TestClient;
using cvtest::TestClientApp;

// ---- Recording chat views

template <class Base>
class RecText : public Base {
 public:
  void AppendText(std::string_view t) override { text += t; }
  void ClearText() override { text.clear(); }
  bool IsTextEmpty() override { return text.empty(); }
  void ScrollToEnd() override { ++scrolls; }
  bool IsMinimised() override { return minimised; }
  std::string EntryText() override { return entry; }
  void ClearEntry() override { entry.clear(); }
  void SetChatStyle(const SMyChatStyle& s) override { style = s; }

  std::string text, entry;
  int scrolls = 0;
  bool minimised = false;
  SMyChatStyle style;
};

template <class Base>
class RecRows : public Base {
 public:
  void InsertUser(std::size_t i, const SUserEntry& e) override {
    if (i > users.size()) return ADD_FAILURE() << "insert at " << i;
    users.insert(users.begin() + std::ptrdiff_t(i), e);
  }
  void ChangeUser(std::size_t i, const SUserEntry& e) override {
    if (i >= users.size()) return ADD_FAILURE() << "change at " << i;
    users[i] = e;
  }
  void RemoveUser(std::size_t i) override {
    if (i >= users.size()) return ADD_FAILURE() << "remove at " << i;
    users.erase(users.begin() + std::ptrdiff_t(i));
  }
  void ClearUsers() override { users.clear(); }

  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const auto& u : users) out.push_back(u.name);
    return out;
  }
  const SUserEntry* Named(std::string_view name) const {
    for (const auto& u : users)
      if (u.name == name) return &u;
    return nullptr;
  }

  std::vector<SUserEntry> users;
};

class RecUserList : public RecRows<IMyUserListView> {
 public:
  void EnableButtons(bool a, bool b, bool c, bool d) override { buttons = {a, b, c, d}; }
  std::array<bool, 4> buttons{};
};

class RecPublicChat : public RecText<IMyPublicChatView> {};

// Views that come and go keep themselves in their factory's list while they live.
template <class T>
class Listed {
 public:
  Listed(std::vector<T*>& list, T* self) : list_(list), self_(self) { list_.push_back(self_); }
  ~Listed() { std::erase(list_, self_); }
  Listed(const Listed&) = delete;
  Listed& operator=(const Listed&) = delete;

 private:
  std::vector<T*>& list_;
  T* self_;
};

class RecChatWin : public RecRows<RecText<IMyChatWinView>> {
 public:
  RecChatWin(CMyChatWin& c, std::vector<RecChatWin*>& list) : controller(c), listed_(list, this) {}
  void SetTitle(std::string_view t) override { title = t; }
  void SetSubject(std::string_view s) override { subject = s; }
  void Show() override { ++shown; }
  CMyChatWin& controller;
  std::string title, subject;
  int shown = 0;

 private:
  Listed<RecChatWin> listed_;
};

class RecPrivMsg : public IMyPrivMsgView {
 public:
  RecPrivMsg(CMyPrivMsgWin& c, std::string_view s, std::string_view t, bool back, std::vector<RecPrivMsg*>& list)
      : controller(c), sender(s), text(t), atBack(back), listed_(list, this) {}
  CMyPrivMsgWin& controller;
  std::string sender, text;
  bool atBack;

 private:
  Listed<RecPrivMsg> listed_;
};

class RecSendMsg : public IMySendPrivMsgView {
 public:
  RecSendMsg(CMySendPrivMsgWin& c, std::string_view r, std::vector<RecSendMsg*>& list)
      : controller(c), recipient(r), listed_(list, this) {}
  std::string Text() override { return text; }
  CMySendPrivMsgWin& controller;
  std::string recipient, text;

 private:
  Listed<RecSendMsg> listed_;
};

class RecInvite : public IMyChatInviteView {
 public:
  RecInvite(CMyChatInviteWin& c, std::string_view n, std::vector<RecInvite*>& list)
      : controller(c), inviter(n), listed_(list, this) {}
  CMyChatInviteWin& controller;
  std::string inviter;

 private:
  Listed<RecInvite> listed_;
};

class RecSubject : public IMyChatSubjectView {
 public:
  RecSubject(CMyChatSubjectWin& c, std::string_view s, std::vector<RecSubject*>& list)
      : controller(c), text(s), listed_(list, this) {}
  std::string Text() override { return text; }
  CMyChatSubjectWin& controller;
  std::string text;

 private:
  Listed<RecSubject> listed_;
};

class RecSecret : public IMySecretView {
 public:
  RecSecret(CMySecretWin& c, std::vector<RecSecret*>& list) : controller(c), listed_(list, this) {}
  std::string Word() override { return word; }
  std::string Argument() override { return argument; }
  void Show() override { ++shown; }
  CMySecretWin& controller;
  std::string word, argument;
  int shown = 0;

 private:
  Listed<RecSecret> listed_;
};

class RecChatViews : public IMyChatViews {
 public:
  IMyUserListView& UserList() override { return userList; }
  IMyPublicChatView& PublicChat() override { return publicChat; }
  std::unique_ptr<IMyChatWinView> NewChatWin(CMyChatWin& c) override {
    return std::make_unique<RecChatWin>(c, chatWins);
  }
  std::unique_ptr<IMyPrivMsgView> NewPrivMsgWin(CMyPrivMsgWin& c, std::string_view sender, std::string_view text,
                                                bool atBack) override {
    return std::make_unique<RecPrivMsg>(c, sender, text, atBack, privMsgs);
  }
  std::unique_ptr<IMySendPrivMsgView> NewSendPrivMsgWin(CMySendPrivMsgWin& c, std::string_view name) override {
    return std::make_unique<RecSendMsg>(c, name, sendWins);
  }
  std::unique_ptr<IMyChatInviteView> NewChatInviteWin(CMyChatInviteWin& c, std::string_view name) override {
    return std::make_unique<RecInvite>(c, name, invites);
  }
  std::unique_ptr<IMyChatSubjectView> NewChatSubjectWin(CMyChatSubjectWin& c, std::string_view subject) override {
    return std::make_unique<RecSubject>(c, subject, subjects);
  }
  std::unique_ptr<IMySecretView> NewSecretWin(CMySecretWin& c) override {
    return std::make_unique<RecSecret>(c, secrets);
  }

  RecUserList userList;
  RecPublicChat publicChat;
  std::vector<RecChatWin*> chatWins;
  std::vector<RecPrivMsg*> privMsgs;
  std::vector<RecSendMsg*> sendWins;
  std::vector<RecInvite*> invites;
  std::vector<RecSubject*> subjects;
  std::vector<RecSecret*> secrets;
};

// One client program as the front end composes it: the application, then the chat.
struct ChatClient {
  explicit ChatClient(const std::string& folder) : c(folder), chat(c.app, views) {
    c.app.Prefs().options |= optShowJoinLeave;
  }
  bool WaitFor(const std::function<bool()>& done) { return c.WaitFor(done); }
  std::vector<Int16>& Sounds() { return c.views.shell.sounds; }
  bool Played(Int16 sound) const {
    const auto& s = c.views.shell.sounds;
    return std::find(s.begin(), s.end(), sound) != s.end();
  }

  TestClientApp c;
  RecChatViews views;
  CMyChatClient chat;
};

std::string Prefixed(std::string_view name, std::string_view text) {
  std::string line = "\r" + std::string(13 - std::min<std::size_t>(13, name.size()), ' ') + std::string(name);
  return line + ":  " + std::string(text);
}

bool Contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

UFieldData Fields(std::initializer_list<std::pair<Uint16, Uint32>> integers, Uint16 textId = 0,
                  std::string_view text = {}) {
  UFieldData f;
  for (auto [id, value] : integers) f.AddInteger(id, value);
  if (textId) f.AddText(textId, text);
  return f;
}

// ---- Against corvane-server

class ChatWithServer : public ::testing::Test {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UTransport::Init();
    dir_ = tmp_ / "srv";
    for (const char* login : {"alice", "bob"}) {
      ServerProcess p;
      const std::string password = std::string(login) + "-pw\n";
      p.Spawn({"--dir", dir_, "--add-account", login, "--admin"}, tmp_ / "acct.err", tmp_ / "acct.out", &password);
      ASSERT_EQ(p.Wait(), 0) << cvtest::Slurp(tmp_ / "acct.err");
    }
    ASSERT_TRUE(server_.StartServer(dir_)) << server_.Stderr();
    alice_ = std::make_unique<ChatClient>(tmp_ / "alice");
    alice_->c.app.Prefs().userName = "alice";
  }
  void TearDown() override {
    alice_.reset();
    UMessageSys::Clear();
  }

  ChatClient& Alice() { return *alice_; }
  void ConnectAlice() {
    ASSERT_TRUE(Alice().c.ConnectAndWait(cvtest::Loopback(server_.Port()), "alice", "alice-pw"));
    ASSERT_TRUE(Alice().WaitFor([&] { return Alice().views.userList.Named("alice"); }));
  }
  // Bob, logged in over a raw connection.
  void ConnectBob() {
    ASSERT_TRUE(bob_.Connect(server_.Port()));
    UFieldData f;
    f.AddText(fld::UserLogin, cv::client::ComplementText("bob"));
    f.AddText(fld::UserPassword, cv::client::ComplementText("bob-pw"));
    f.AddText(fld::UserName, "bob");
    f.AddInteger(fld::UserIconId, 200);
    Uint32 code = 99;
    ASSERT_TRUE(bob_.Request(trn::Login, f, nullptr, &code));
    ASSERT_EQ(code, 0u);
    ASSERT_TRUE(Alice().WaitFor([&] { return Alice().views.userList.Named("bob"); }));
  }
  Uint16 IdOf(std::string_view name) {
    const SUserEntry* e = Alice().views.userList.Named(name);
    return e ? e->id : 0;
  }
  // Bob's next chat line (public or in a room).
  std::string BobHears() {
    auto push = bob_.WaitPush(trn::ChatMessage);
    return push ? push->fields.GetText(fld::Data, 65535) : "(nothing)";
  }

  TempFolder tmp_;
  std::string dir_;
  ServerProcess server_;
  std::unique_ptr<ChatClient> alice_;
  TestClient bob_;
};

TEST_F(ChatWithServer, UserListFollowsJoinsNameChangesAndLeaves) {
  ConnectAlice();
  EXPECT_EQ(Alice().views.userList.Names(), (std::vector<std::string>{"alice"}));
  EXPECT_EQ(Alice().views.userList.buttons, (std::array<bool, 4>{true, true, false, false}));
  EXPECT_FALSE(Alice().Played(kSoundJoin)) << "filling the list is silent";

  ConnectBob();
  EXPECT_EQ(Alice().views.userList.Names(), (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(Alice().views.userList.Named("bob")->icon, 200);
  EXPECT_TRUE(Alice().Played(kSoundJoin));

  UFieldData rename;
  rename.AddText(fld::UserName, "robert");
  rename.AddInteger(fld::UserIconId, 201);
  bob_.Post(trn::SetClientUserInfo, rename);
  ASSERT_TRUE(Alice().WaitFor([&] { return Alice().views.userList.Named("robert"); }));
  // The public chat was empty, so the line loses its leading return.
  EXPECT_EQ(Alice().views.publicChat.text, " <<< bob is now known as robert >>>");
  EXPECT_GT(Alice().views.publicChat.scrolls, 0);
  EXPECT_TRUE(Alice().Played(kSoundChat));

  // The same name with another icon: the entry changes, no line.
  UFieldData icon;
  icon.AddText(fld::UserName, "robert");
  icon.AddInteger(fld::UserIconId, 202);
  bob_.Post(trn::SetClientUserInfo, icon);
  ASSERT_TRUE(Alice().WaitFor([&] { return Alice().views.userList.Named("robert")->icon == 202; }));
  EXPECT_EQ(Alice().views.publicChat.text, " <<< bob is now known as robert >>>");

  bob_.Close();
  ASSERT_TRUE(Alice().WaitFor([&] { return Alice().views.userList.users.size() == 1; }));
  EXPECT_TRUE(Alice().Played(kSoundLeave));

  Alice().c.app.Disconnect();
  EXPECT_TRUE(Alice().views.userList.users.empty());
  EXPECT_EQ(Alice().chat.Users().Size(), 0u);
  EXPECT_EQ(Alice().views.userList.buttons, (std::array<bool, 4>{false, false, false, false}));
}

TEST_F(ChatWithServer, PublicChatLinesBothWaysWithTheLengthLimit) {
  ConnectAlice();
  ConnectBob();
  auto& pub = Alice().views.publicChat;
  const Uint32 bytesBefore = Alice().c.app.Prefs().chatBytes;

  pub.entry = "hello\r";
  Alice().chat.SendPublic(false);
  EXPECT_EQ(pub.entry, "");
  EXPECT_EQ(BobHears(), Prefixed("alice", "hello"));
  ASSERT_TRUE(Alice().WaitFor([&] { return !pub.text.empty(); }));
  EXPECT_EQ(pub.text, Prefixed("alice", "hello").substr(1));
  EXPECT_EQ(Alice().c.app.Prefs().chatBytes, bytesBefore + 5);

  pub.entry = "waves";
  Alice().chat.SendPublic(true);
  EXPECT_EQ(BobHears(), "\r *** alice waves");

  bob_.Post(trn::SendChat, Fields({}, fld::Data, "hi there"));
  ASSERT_TRUE(Alice().WaitFor([&] { return Contains(pub.text, Prefixed("bob", "hi there")); }));
  EXPECT_EQ(BobHears(), Prefixed("bob", "hi there")) << "the sender hears his own line";

  // 2,049 bytes are refused and lost; 2,048 go.
  pub.entry = std::string(2049, 'x');
  Alice().chat.SendPublic(false);
  EXPECT_EQ(pub.entry, "");
  ASSERT_NE(Alice().c.views.shell.FindAlert(kAlertChatTooLong), nullptr);
  pub.entry = std::string(2048, 'y');
  Alice().chat.SendPublic(false);
  const std::string heard = BobHears();
  EXPECT_EQ(heard, Prefixed("alice", std::string(2048, 'y')));
  EXPECT_FALSE(Contains(heard, "xxx"));
  EXPECT_EQ(Alice().c.app.Prefs().chatBytes, bytesBefore + 5 + 5 + 2048);

  // An empty entry, or no connection: nothing happens and the entry keeps its text.
  pub.entry = "";
  Alice().chat.SendPublic(false);
  Alice().c.app.Disconnect();
  pub.entry = "offline";
  Alice().chat.SendPublic(false);
  EXPECT_EQ(pub.entry, "offline");
}

TEST_F(ChatWithServer, PrivateMessagesBothWays) {
  ConnectAlice();
  ConnectBob();
  auto& views = Alice().views;
  const Uint16 aliceId = IdOf("alice"), bobId = IdOf("bob");

  ASSERT_TRUE(bob_.Request(trn::SendPrivMsg, Fields({{fld::UserId, aliceId}}, fld::Data, "psst")));
  ASSERT_TRUE(Alice().WaitFor([&] { return views.privMsgs.size() == 1; }));
  EXPECT_EQ(views.privMsgs[0]->sender, "bob");
  EXPECT_EQ(views.privMsgs[0]->text, "psst");
  EXPECT_FALSE(views.privMsgs[0]->atBack);
  EXPECT_TRUE(Alice().Played(kSoundPrivateMessage));

  views.privMsgs[0]->controller.Reply();
  ASSERT_EQ(views.sendWins.size(), 1u);
  EXPECT_EQ(views.sendWins[0]->recipient, "bob");
  // An empty text beeps and keeps the window.
  const int beeps = Alice().c.views.shell.beeps;
  views.sendWins[0]->controller.Send();
  EXPECT_EQ(Alice().c.views.shell.beeps, beeps + 1);
  ASSERT_EQ(views.sendWins.size(), 1u);
  views.sendWins[0]->text = "hi bob";
  views.sendWins[0]->controller.Send();
  EXPECT_TRUE(views.sendWins.empty());
  EXPECT_TRUE(views.privMsgs.empty()) << "the answered message closes";
  auto got = bob_.WaitPush(trn::ServerMessage);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->fields.GetInteger(fld::UserId), aliceId);
  EXPECT_EQ(got->fields.GetText(fld::UserName), "alice");
  EXPECT_EQ(got->fields.GetText(fld::Data), "hi bob");

  // From the user list, with the received window shown at the back this time.
  Alice().c.app.Prefs().options |= optPrivateMessagesAtBack;
  Alice().chat.SendMessageTo(bobId);
  ASSERT_EQ(views.sendWins.size(), 1u);
  EXPECT_EQ(views.sendWins[0]->recipient, "bob");
  views.sendWins[0]->text = "second";
  views.sendWins[0]->controller.Send();
  got = bob_.WaitPush(trn::ServerMessage);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->fields.GetText(fld::Data), "second");
  ASSERT_TRUE(bob_.Request(trn::SendPrivMsg, Fields({{fld::UserId, aliceId}}, fld::Data, "again")));
  ASSERT_TRUE(Alice().WaitFor([&] { return views.privMsgs.size() == 1; }));
  EXPECT_TRUE(views.privMsgs[0]->atBack);
  views.privMsgs[0]->controller.Ok();
  EXPECT_TRUE(views.privMsgs.empty());

  // Not connected: the send window beeps and stays.
  Alice().chat.SendMessageTo(bobId);
  Alice().c.app.Disconnect();
  ASSERT_EQ(views.sendWins.size(), 1u);
  views.sendWins[0]->text = "lost";
  views.sendWins[0]->controller.Send();
  EXPECT_EQ(views.sendWins.size(), 1u);
  views.sendWins[0]->controller.Cancel();
  EXPECT_TRUE(views.sendWins.empty());
}

TEST_F(ChatWithServer, PrivateRoomFromInviteToLeave) {
  ConnectAlice();
  ConnectBob();
  auto& views = Alice().views;
  Alice().chat.PrivateChatWith(IdOf("bob"));
  ASSERT_TRUE(Alice().WaitFor([&] { return views.chatWins.size() == 1 && views.chatWins[0]->shown; }));
  RecChatWin& room = *views.chatWins[0];
  EXPECT_EQ(room.title, "Private Chat");
  EXPECT_EQ(room.Names(), (std::vector<std::string>{"alice"}));
  EXPECT_EQ(room.style, Alice().chat.ChatStyle());

  auto invite = bob_.WaitPush(trn::InviteToChat);
  ASSERT_TRUE(invite);
  const Uint32 chatId = invite->fields.GetInteger(fld::ChatId);
  EXPECT_EQ(chatId, room.controller.ChatId());
  EXPECT_EQ(invite->fields.GetText(fld::UserName), "alice");

  UFieldData joined;
  ASSERT_TRUE(bob_.Request(trn::JoinChat, Fields({{fld::ChatId, chatId}}), &joined));
  ASSERT_TRUE(Alice().WaitFor([&] { return room.users.size() == 2; }));
  EXPECT_EQ(room.Names(), (std::vector<std::string>{"alice", "bob"}));
  EXPECT_EQ(room.text, " <<< bob has joined the chat >>>");

  bob_.Post(trn::SetChatSubject, Fields({{fld::ChatId, chatId}}, fld::ChatSubject, "plans"));
  ASSERT_TRUE(Alice().WaitFor([&] { return room.subject == "plans"; }));
  EXPECT_EQ(room.title, "Private Chat:  plans");
  ASSERT_TRUE(bob_.WaitPush(trn::NotifyChatSubject)) << "bob hears his own subject";

  bob_.Post(trn::SendChat, Fields({{fld::ChatId, chatId}}, fld::Data, "in the room"));
  ASSERT_TRUE(Alice().WaitFor([&] { return Contains(room.text, Prefixed("bob", "in the room")); }));
  EXPECT_TRUE(views.publicChat.text.empty()) << "room lines stay in the room";
  EXPECT_EQ(BobHears(), Prefixed("bob", "in the room"));

  room.entry = "ours\r";
  room.controller.Send(false);
  auto line = bob_.WaitPush(trn::ChatMessage);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->fields.GetInteger(fld::ChatId), chatId);
  EXPECT_EQ(line->fields.GetText(fld::Data), Prefixed("alice", "ours"));

  // The subject window starts with the current subject; "Set" goes to the room.
  room.controller.OpenSubject();
  ASSERT_EQ(views.subjects.size(), 1u);
  EXPECT_EQ(views.subjects[0]->text, "plans");
  views.subjects[0]->text = "new plans";
  views.subjects[0]->controller.Set();
  EXPECT_TRUE(views.subjects.empty());
  auto subject = bob_.WaitPush(trn::NotifyChatSubject);
  ASSERT_TRUE(subject);
  EXPECT_EQ(subject->fields.GetText(fld::ChatSubject), "new plans");
  ASSERT_TRUE(Alice().WaitFor([&] { return room.title == "Private Chat:  new plans"; }));

  bob_.Post(trn::LeaveChat, Fields({{fld::ChatId, chatId}}));
  ASSERT_TRUE(Alice().WaitFor([&] { return room.users.size() == 1; }));
  EXPECT_TRUE(Contains(room.text, "\r <<< bob has left the chat >>>"));
  EXPECT_TRUE(Alice().Played(kSoundLeave));

  // Closing the window leaves: the room, now empty, is gone on the server.
  room.controller.Close();
  EXPECT_TRUE(views.chatWins.empty());
  // A line after it on the same connection: once bob hears it, the leave was handled.
  views.publicChat.entry = "bye";
  Alice().chat.SendPublic(false);
  EXPECT_EQ(BobHears(), Prefixed("alice", "bye"));
  Uint32 code = 0;
  UFieldData refused;
  ASSERT_TRUE(bob_.Request(trn::JoinChat, Fields({{fld::ChatId, chatId}}), &refused, &code));
  EXPECT_EQ(code, 1u);
}

TEST_F(ChatWithServer, InvitationsAreJoinedDeclinedOrFoundClosed) {
  ConnectAlice();
  ConnectBob();
  auto& views = Alice().views;
  const Uint16 aliceId = IdOf("alice");
  auto invite = [&] {
    UFieldData reply;
    EXPECT_TRUE(bob_.Request(trn::InviteNewChat, Fields({{fld::UserId, aliceId}}), &reply));
    return reply.GetInteger(fld::ChatId);
  };

  const Uint32 first = invite();
  ASSERT_TRUE(Alice().WaitFor([&] { return views.invites.size() == 1; }));
  EXPECT_EQ(views.invites[0]->inviter, "bob");
  EXPECT_TRUE(Alice().Played(kSoundChatInvitation));
  views.invites[0]->controller.Chat();
  EXPECT_TRUE(views.invites.empty());
  ASSERT_EQ(views.chatWins.size(), 1u);
  RecChatWin& room = *views.chatWins[0];
  ASSERT_TRUE(Alice().WaitFor([&] { return room.users.size() == 2; }));
  EXPECT_EQ(room.Names(), (std::vector<std::string>{"bob", "alice"}));
  EXPECT_EQ(room.controller.ChatId(), first);
  auto change = bob_.WaitPush(trn::NotifyChatUserChange);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->fields.GetInteger(fld::UserId), aliceId);

  const Uint32 second = invite();
  ASSERT_TRUE(Alice().WaitFor([&] { return views.invites.size() == 1; }));
  views.invites[0]->controller.Decline();
  EXPECT_TRUE(views.invites.empty());
  auto declined = bob_.WaitPush(trn::ChatMessage);
  ASSERT_TRUE(declined);
  EXPECT_EQ(declined->fields.GetInteger(fld::ChatId), second);
  EXPECT_EQ(declined->fields.GetText(fld::Data), "\r<<< \"alice\" declined invitation to chat >>>");

  // A room that closed before "Chat": the refused join takes its window away again.
  const Uint32 third = invite();
  ASSERT_TRUE(Alice().WaitFor([&] { return views.invites.size() == 1; }));
  bob_.Post(trn::LeaveChat, Fields({{fld::ChatId, third}}));
  bob_.Post(trn::LeaveChat, Fields({{fld::ChatId, second}}));
  ASSERT_TRUE(bob_.Request(trn::GetOnlineUsers, UFieldData()));  // the leaves are done
  views.invites[0]->controller.Chat();
  ASSERT_TRUE(Alice().WaitFor([&] { return views.chatWins.size() == 1; }));
  EXPECT_EQ(views.chatWins[0]->controller.ChatId(), first);
  const SMyAlert* alert = Alice().c.views.shell.FindAlert(kServerMessageTitle);
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->text, "Cannot join private chat because it has been closed already.");

  // Disconnecting closes the rooms and the invitations, without waiting for the server.
  invite();
  ASSERT_TRUE(Alice().WaitFor([&] { return views.invites.size() == 1; }));
  Alice().c.app.Disconnect();
  EXPECT_TRUE(views.chatWins.empty());
  EXPECT_TRUE(views.invites.empty());
  EXPECT_TRUE(Alice().chat.Chats().empty());
}

TEST_F(ChatWithServer, HiddenCommands) {
  ConnectAlice();
  ConnectBob();
  SMyClientPrefs& prefs = Alice().c.app.Prefs();
  auto& shell = Alice().c.views.shell;
  Alice().c.app.Command(cmdHiddenCommands);
  ASSERT_EQ(Alice().views.secrets.size(), 1u);
  Alice().c.app.Command(cmdHiddenCommands);
  ASSERT_EQ(Alice().views.secrets.size(), 1u) << "one window, brought forward";
  EXPECT_EQ(Alice().views.secrets[0]->shown, 1);
  RecSecret& secret = *Alice().views.secrets[0];
  auto run = [&](std::string word, std::string argument = {}) {
    secret.word = std::move(word);
    secret.argument = std::move(argument);
    secret.controller.Execute();
  };

  int beeps = shell.beeps;
  run("pork");
  EXPECT_EQ(shell.beeps, ++beeps);
  run("Cap");
  EXPECT_EQ(prefs.iconId, 134);
  run("icon", "139");
  EXPECT_EQ(shell.beeps, ++beeps);
  EXPECT_EQ(prefs.iconId, 134);
  run("icon", "2000");
  EXPECT_EQ(prefs.iconId, 2000);
  run("idle");
  EXPECT_EQ(shell.beeps, beeps);

  const Uint32 oldBuffer = UTransport::GetSendBufferSize();
  run("sendbuf", "32");
  EXPECT_EQ(UTransport::GetSendBufferSize(), 32768u);
  UTransport::SetSendBufferSize(oldBuffer);

  prefs.uploaded = 3;
  prefs.downloaded = 10;
  run("leech");
  EXPECT_EQ(BobHears(), "\r *** alice announces a LEECH RATING of >>>> 3");
  run("stats");
  const std::string stats = BobHears();
  EXPECT_TRUE(Contains(stats, "alice:  <1K downloaded, <1K uploaded, ")) << stats;
  EXPECT_TRUE(Contains(stats, " online")) << stats;

  // Scrambled lines travel encoded and are shown decoded behind a bullet.
  run("scramble", "123");
  EXPECT_TRUE(Alice().chat.IsScrambling());
  auto& pub = Alice().views.publicChat;
  ASSERT_TRUE(Alice().WaitFor([&] { return Contains(pub.text, " online"); })) << "alice's own lines are in";
  pub.text.clear();
  pub.entry = "hello \"hello\"";
  Alice().chat.SendPublic(false);
  const std::string scrambled = BobHears();
  ASSERT_EQ(scrambled.back(), '\xCA');
  EXPECT_FALSE(Contains(scrambled, "hello \"")) << "encoded outside the quotes";
  EXPECT_TRUE(Contains(scrambled, "\"hello\"\xCA"));
  ASSERT_TRUE(Alice().WaitFor([&] { return !pub.text.empty(); }));
  EXPECT_EQ(pub.text, "        alice\xA5  hello \"hello\"\xCA");
  run("scramble", "off");
  EXPECT_FALSE(Alice().chat.IsScrambling());

  // Silly mode renames and re-icons, and every line becomes a silly one.
  run("silly");
  auto renamed = bob_.WaitPushFor(trn::NotifyUserChange, IdOf("alice"));
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->fields.GetText(fld::UserName), "Bacon");
  EXPECT_EQ(renamed->fields.GetInteger(fld::UserIconId), 154u);
  pub.entry = "serious business";
  Alice().chat.SendPublic(true);
  EXPECT_EQ(pub.entry, "");
  const std::string silly = BobHears();
  bool isSilly = false;
  for (Int32 n = 1; n <= 5; ++n) isSilly |= silly == Prefixed("Bacon", SillyText(n));
  EXPECT_TRUE(isSilly) << silly;

  secret.controller.Close();
  EXPECT_TRUE(Alice().views.secrets.empty());
  Alice().c.app.Disconnect();
  Alice().c.app.Command(cmdHiddenCommands);
  Alice().views.secrets[0]->word = "leech";
  Alice().views.secrets[0]->controller.Execute();
  EXPECT_EQ(shell.beeps, beeps + 1) << "announcements need a connection";
}

// ---- Against a scripted server

class ChatWithFakeServer : public ::testing::Test {
 protected:
  void SetUp() override {
    UMessageSys::Clear();
    UTransport::Init();
    server_ = std::make_unique<FakeServer>();
    client_ = std::make_unique<ChatClient>(tmp_.Path());
  }
  void TearDown() override {
    client_.reset();
    server_.reset();
    UMessageSys::Clear();
  }
  // Pushes, then waits until a last chat line arrives: everything before it is handled.
  void PushAndSettle(std::vector<std::pair<Uint16, UFieldData>> pushes) {
    for (auto& [type, fields] : pushes) server_->Push(type, fields);
    const std::string marker = "settled " + std::to_string(++settles_);
    server_->Push(trn::ChatMessage, Fields({}, fld::Data, marker));
    ASSERT_TRUE(client_->WaitFor([&] { return Contains(client_->views.publicChat.text, marker); }));
  }

  TempFolder tmp_;
  std::unique_ptr<FakeServer> server_;
  std::unique_ptr<ChatClient> client_;
  int settles_ = 0;
};

Bytes Entry(Uint16 id, Uint16 icon, Uint16 flags, Uint16 length, std::string_view name) {
  Bytes b;
  AppendU16(b, id);
  AppendU16(b, icon);
  AppendU16(b, flags);
  AppendU16(b, length);
  AppendBytes(b, name.data(), name.size());
  return b;
}

TEST_F(ChatWithFakeServer, HostileUserListAndPushesAreBounded) {
  server_->answer = [](const FakeServer::SRequest& r, UFieldData& reply, Uint32&) {
    if (r.type != trn::GetOnlineUsers) return;
    for (const Bytes& e :
         {Entry(1, 5, 0, 1, "a"), Bytes{0, 1, 0}, Entry(0, 5, 0, 4, "zero"), Entry(9, 5, 0, 40, "short"),
          Entry(1, 0, 2, 2, "a2"), Entry(2, 7, 1, 1, "b"), Entry(3, 7, 0, 300, std::string(300, 'n'))})
      reply.AddField(fld::UserNameWithInfo, e);
    reply.AddText(fld::Data, "not a user");
  };
  ASSERT_TRUE(client_->c.ConnectAndWait(cvtest::Loopback(server_->Port())));
  auto& views = client_->views;
  ASSERT_EQ(views.userList.users.size(), 3u);
  EXPECT_EQ(views.userList.users[0], (SUserEntry{1, 414, 2, "a2"})) << "a repeated id replaces, icon 0 shows 414";
  EXPECT_EQ(views.userList.users[1].name, "b");
  EXPECT_EQ(views.userList.users[2].name, std::string(63, 'n'));

  const int sounds = int(client_->Sounds().size());
  PushAndSettle({
      {trn::ChatMessage, Fields({{fld::ChatId, 77}}, fld::Data, "for no room")},
      {trn::NotifyChatUserChange, Fields({{fld::ChatId, 77}, {fld::UserId, 4}}, fld::UserName, "x")},
      {trn::NotifyChatUserDelete, Fields({{fld::ChatId, 77}, {fld::UserId, 1}})},
      {trn::NotifyChatSubject, Fields({{fld::ChatId, 77}}, fld::ChatSubject, "s")},
      {trn::NotifyUserChange, Fields({}, fld::UserName, "nobody")},
      {trn::NotifyUserDelete, Fields({{fld::UserId, 999}})},
      {trn::NotifyUserDelete, Fields({})},
      {trn::InviteToChat, Fields({}, fld::UserName, "no room id")},
      {trn::ChatMessage, Fields({})},
  });
  EXPECT_EQ(views.userList.users.size(), 3u);
  EXPECT_TRUE(views.invites.empty());
  EXPECT_FALSE(Contains(views.publicChat.text, "for no room"));
  // Only the marker line's chat sound.
  EXPECT_EQ(int(client_->Sounds().size()), sounds + 1);

  // An oversized line is cut; a private message without name or text still opens.
  PushAndSettle({
      {trn::ChatMessage, Fields({}, fld::Data, "\r" + std::string(60000, 'L'))},
      {trn::ServerMessage, Fields({{fld::UserId, 5}})},
  });
  EXPECT_EQ(std::count(views.publicChat.text.begin(), views.publicChat.text.end(), 'L'), 8191);
  ASSERT_EQ(views.privMsgs.size(), 1u);
  EXPECT_EQ(views.privMsgs[0]->sender, "");

  // Invitations: one window per room, and no more than the cap.
  std::vector<std::pair<Uint16, UFieldData>> invites;
  for (Uint32 id = 1; id <= kMaxInvitations + 10; ++id)
    invites.push_back({trn::InviteToChat, Fields({{fld::ChatId, id}}, fld::UserName, "spam")});
  invites.push_back({trn::InviteToChat, Fields({{fld::ChatId, 1}}, fld::UserName, "again")});
  PushAndSettle(std::move(invites));
  EXPECT_EQ(views.invites.size(), kMaxInvitations);

  client_->c.app.Disconnect();
  EXPECT_TRUE(views.invites.empty());
  EXPECT_EQ(views.privMsgs.size(), 1u) << "received messages stay after a disconnect";
}

TEST_F(ChatWithFakeServer, RoomRepliesWithoutIdsOrWithBadMembersAreHandled) {
  server_->answer = [](const FakeServer::SRequest& r, UFieldData& reply, Uint32&) {
    if (r.type == trn::GetOnlineUsers) reply.AddField(fld::UserNameWithInfo, Entry(4, 9, 0, 3, "dan"));
    if (r.type == trn::InviteNewChat && r.fields.GetInteger(fld::UserId) == 4) {
      reply.AddInteger(fld::ChatId, 500);
      reply.AddInteger(fld::UserId, 1);
      reply.AddText(fld::UserName, "me");
    }
    if (r.type == trn::JoinChat) {
      reply.AddText(fld::ChatSubject, std::string(300, 's'));
      reply.AddField(fld::UserNameWithInfo, Bytes{0, 7});
      reply.AddField(fld::UserNameWithInfo, Entry(8, 1, 0, 3, "eve"));
    }
  };
  ASSERT_TRUE(client_->c.ConnectAndWait(cvtest::Loopback(server_->Port())));
  auto& views = client_->views;

  // A reply without a room id opens nothing.
  client_->chat.PrivateChatWith(5);
  ASSERT_TRUE(client_->WaitFor([&] { return client_->c.AllTasksFinished(); }));
  EXPECT_TRUE(views.chatWins.empty());

  client_->chat.PrivateChatWith(4);
  ASSERT_TRUE(client_->WaitFor([&] { return views.chatWins.size() == 1; }));
  EXPECT_EQ(views.chatWins[0]->Names(), (std::vector<std::string>{"me"}));

  // A join: the subject is cut to 255 bytes, and the broken member entry is skipped.
  PushAndSettle({{trn::InviteToChat, Fields({{fld::ChatId, 600}}, fld::UserName, "eve")}});
  ASSERT_EQ(views.invites.size(), 1u);
  views.invites[0]->controller.Chat();
  ASSERT_TRUE(client_->WaitFor([&] { return views.chatWins.size() == 2 && !views.chatWins[1]->users.empty(); }));
  RecChatWin& joined = *views.chatWins[1];
  EXPECT_EQ(joined.subject, std::string(255, 's'));
  EXPECT_EQ(joined.title, "Private Chat:  " + std::string(49, 's') + "...");
  EXPECT_EQ(joined.Names(), (std::vector<std::string>{"eve"}));

  // A minimised room's line is added without scrolling; the first line loses its return.
  joined.minimised = true;
  const int scrolls = joined.scrolls;
  PushAndSettle({{trn::ChatMessage, Fields({{fld::ChatId, 600}}, fld::Data, "\rquiet")}});
  EXPECT_EQ(joined.text, "quiet");
  EXPECT_EQ(joined.scrolls, scrolls);

  // Closing a room tells the server.
  joined.controller.Close();
  ASSERT_TRUE(
      client_->WaitFor([&] { return !server_->requests.empty() && server_->requests.back().type == trn::LeaveChat; }));
  EXPECT_EQ(server_->requests.back().fields.GetInteger(fld::ChatId), 600u);
  EXPECT_EQ(views.chatWins.size(), 1u);
}

}  // namespace
