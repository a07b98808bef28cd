// The session table's rules: pre-login dropping, account handlers with their privileges,
// disconnecting, and the user-info flood ban. Each client is a record whose link notes
// what it was sent.
#include "server/session.h"
#include "protocol/catalogue.h"
#include "server/application.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;

struct RecordingLink : CMyClientLink {
  std::vector<std::pair<Uint16, UFieldData>> posts;
  bool cut = false;
  void Post(Uint16 type, UFieldData& fields) override { posts.emplace_back(type, fields); }
  bool IsEstablished() const override { return !cut; }
  void Disconnect() override { cut = true; }
};

class Sessions : public ::testing::Test {
 protected:
  Sessions() : store_(tmp_ / "Users"), log_(tmp_.Path()), sessions_(store_, log_) {
    std::filesystem::create_directories(tmp_ / "Users");
    adminPassword_ = CreateFirstAccounts(store_);
    log_.SetLineHook([this](std::string_view l) { lines_.emplace_back(l); });
  }

  std::pair<SClientRecord*, RecordingLink*> Connect(Uint32 address = 0x7F000001) {
    auto link = std::make_unique<RecordingLink>();
    RecordingLink* raw = link.get();
    SClientRecord& r = sessions_.Add(std::move(link), address, "127.0.0.1", now_);
    return {&r, raw};
  }

  SReply Ask(SClientRecord& r, Uint16 type, const UFieldData& f = {}) {
    SReply reply;
    sessions_.HandleRequest(r, type, f, reply, now_);
    if (reply.after) reply.after();
    return reply;
  }

  SReply Login(SClientRecord& r, std::string_view login, std::string_view password, std::string_view name = "n") {
    UFieldData f;
    f.AddText(fld::UserLogin, ComplementText(login));
    f.AddText(fld::UserPassword, ComplementText(password));
    f.AddText(fld::UserName, name);
    return Ask(r, trn::Login, f);
  }

  TempFolder tmp_;
  CMyAccountStore store_;
  CMyServerLog log_;
  CMySessions sessions_;
  std::string adminPassword_;
  std::vector<std::string> lines_;
  Uint32 now_ = 1000;
};

TEST_F(Sessions, OnlyLoginIsServedBeforeLogin) {
  auto [r, link] = Connect();
  for (Uint16 type : {Uint16(trn::GetNews), Uint16(trn::GetOnlineUsers), Uint16(trn::NewUser), Uint16(999)})
    EXPECT_FALSE(Ask(*r, type).wanted) << type;
  SReply bad = Login(*r, "nobody", "");
  EXPECT_TRUE(bad.wanted);
  EXPECT_EQ(bad.errorCode, 1u);
  EXPECT_EQ(bad.fields.GetText(fld::ErrorText), "Incorrect login.");
  EXPECT_FALSE(r->loggedIn);
  EXPECT_EQ(Login(*r, "", "").errorCode, 0u);
  EXPECT_TRUE(r->loggedIn);
  EXPECT_EQ(r->name, "Guest");
  EXPECT_EQ(Ask(*r, 999).fields.GetText(fld::ErrorText), "Unknown transaction type!");
}

TEST_F(Sessions, LoginIsAnnouncedToOthersButNotToTheNewcomer) {
  auto [a, linkA] = Connect();
  auto [b, linkB] = Connect();
  ASSERT_EQ(Login(*a, "admin", adminPassword_, "Boss").errorCode, 0u);
  EXPECT_EQ(a->name, "Boss");  // admins may use any name
  EXPECT_EQ(a->UserFlags(), userFlagAdmin);
  EXPECT_TRUE(linkA->posts.empty());
  ASSERT_EQ(Login(*b, "guest", "", "Visitor").errorCode, 0u);
  ASSERT_EQ(linkA->posts.size(), 1u);
  EXPECT_EQ(linkA->posts[0].first, trn::NotifyUserChange);
  EXPECT_EQ(linkA->posts[0].second.GetText(fld::UserName), "Guest");
  EXPECT_TRUE(linkB->posts.empty());

  sessions_.Remove(*b);
  ASSERT_EQ(linkA->posts.size(), 2u);
  EXPECT_EQ(linkA->posts[1].first, trn::NotifyUserDelete);
  EXPECT_EQ(linkA->posts[1].second.GetInteger(fld::UserId), 2u);
}

TEST_F(Sessions, AccountHandlersFollowPrivileges) {
  auto [admin, adminLink] = Connect();
  auto [guest, guestLink] = Connect();
  ASSERT_EQ(Login(*admin, "admin", adminPassword_).errorCode, 0u);
  ASSERT_EQ(Login(*guest, "", "").errorCode, 0u);

  UFieldData create;
  create.AddText(fld::UserName, "Dora");
  create.AddText(fld::UserLogin, ComplementText("dora"));
  create.AddText(fld::UserPassword, ComplementText("pw"));
  create.AddField(fld::UserAccess, GuestPrivileges().bytes.data(), 8);
  EXPECT_EQ(Ask(*guest, trn::NewUser, create).fields.GetText(fld::ErrorText),
            "You are not allowed to create new users.");
  EXPECT_EQ(Ask(*admin, trn::NewUser, create).errorCode, 0u);
  EXPECT_EQ(Ask(*admin, trn::NewUser, create).errorCode, 1u);  // exists already

  UFieldData open;
  open.AddText(fld::UserLogin, "dora");
  SReply opened = Ask(*admin, trn::OpenUser, open);
  EXPECT_EQ(opened.errorCode, 0u);
  EXPECT_EQ(opened.fields.GetText(fld::UserName), "Dora");
  EXPECT_EQ(opened.fields.GetText(fld::UserPassword), "x");

  // A modification reaches logged-in sessions of that account at once.
  auto [dora, doraLink] = Connect();
  ASSERT_EQ(Login(*dora, "dora", "pw").errorCode, 0u);
  UFieldData modify = create;
  SPrivilegeSet more = GuestPrivileges();
  more.Set(CanGetUserInfo);
  modify.Clear();
  modify.AddText(fld::UserName, "Dora");
  modify.AddText(fld::UserLogin, ComplementText("dora"));
  modify.AddField(fld::UserPassword, "\0", 1);  // keep the password
  modify.AddField(fld::UserAccess, more.bytes.data(), 8);
  EXPECT_EQ(Ask(*admin, trn::SetUser, modify).errorCode, 0u);
  EXPECT_TRUE(dora->access.Has(CanGetUserInfo));

  UFieldData info;
  info.AddInteger(fld::UserId, admin->userId);
  SReply got = Ask(*dora, trn::GetClientInfo, info);
  EXPECT_EQ(got.errorCode, 0u);
  EXPECT_NE(got.fields.GetText(fld::Data, 1024).find("Account:    admin\r"), std::string::npos);
  EXPECT_NE(got.fields.GetText(fld::Data, 1024).find("None.\r"), std::string::npos);

  UFieldData del;
  del.AddText(fld::UserLogin, ComplementText("dora"));
  EXPECT_EQ(Ask(*admin, trn::DeleteUser, del).errorCode, 0u);
  EXPECT_FALSE(store_.Exists("dora"));
  EXPECT_TRUE(dora->loggedIn);  // stays connected
}

TEST_F(Sessions, DisconnectUserWithBanUnlessProtected) {
  auto [admin, adminLink] = Connect(0x0A000001);
  auto [guest, guestLink] = Connect(0x0A000002);
  ASSERT_EQ(Login(*admin, "admin", adminPassword_).errorCode, 0u);
  ASSERT_EQ(Login(*guest, "", "").errorCode, 0u);

  UFieldData kickAdmin;
  kickAdmin.AddInteger(fld::UserId, admin->userId);
  EXPECT_EQ(Ask(*guest, trn::DisconnectUser, kickAdmin).fields.GetText(fld::ErrorText),
            "You are not allowed to disconnect users.");
  // Every privilege includes CannotBeDisconnected.
  SReply self = Ask(*admin, trn::DisconnectUser, kickAdmin);
  EXPECT_EQ(self.errorCode, 1u);
  EXPECT_FALSE(adminLink->cut);

  UFieldData kick;
  kick.AddInteger(fld::UserId, guest->userId);
  kick.AddInteger(fld::Options, 1);
  EXPECT_EQ(Ask(*admin, trn::DisconnectUser, kick).errorCode, 0u);
  EXPECT_TRUE(guestLink->cut);
  EXPECT_TRUE(sessions_.Bans().Contains(0x0A000002));
  EXPECT_EQ(sessions_.Admit(0x0A000002, now_), EAdmission::Banned);
}

TEST_F(Sessions, UserInfoFloodBansOnTheTwentySeventhInAMinute) {
  auto [r, link] = Connect();
  ASSERT_EQ(Login(*r, "", "").errorCode, 0u);
  UFieldData info;
  info.AddText(fld::UserName, "new\x01name");
  info.AddInteger(fld::UserIconId, 134);
  for (int i = 0; i < 26; ++i) EXPECT_FALSE(Ask(*r, trn::SetClientUserInfo, info).wanted);
  EXPECT_FALSE(link->cut);
  EXPECT_EQ(r->icon, 414);      // 134 is reserved
  EXPECT_EQ(r->name, "Guest");  // guests keep their account's name
  Ask(*r, trn::SetClientUserInfo, info);
  EXPECT_TRUE(link->cut);
  EXPECT_TRUE(sessions_.Bans().Contains(r->address));
}

TEST_F(Sessions, OnlyFiveConnectionsPerAddress) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(sessions_.Admit(0x0A000009, now_), EAdmission::Accept);
    Connect(0x0A000009);
  }
  EXPECT_EQ(sessions_.Admit(0x0A000009, now_), EAdmission::TooManyFromAddress);
  EXPECT_EQ(sessions_.Admit(0x0A00000A, now_), EAdmission::Accept);
}

}  // namespace
