#include "server/accounts.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "framework/filesys.h"

#include <filesystem>
#include <set>

#include "temp_folder.h"

using namespace cv;
namespace fs = std::filesystem;

namespace {

SPrivilegeSet All() { return SPrivilegeSet::FromU64(~0ull); }

SPrivilegeSet Only(std::initializer_list<EPrivilege> bits) {
  SPrivilegeSet s;
  for (auto b : bits) s.Set(b);
  return s;
}

Bytes AccessBytes(const SPrivilegeSet& s) { return Bytes(s.bytes.begin(), s.bytes.end()); }

SUserRequest Request(const std::string& login, const std::string& password, const std::string& name = "Someone",
                     SPrivilegeSet access = Only({CanSendChat, CanReadChat})) {
  SUserRequest r;
  r.name = name;
  r.wireLogin = ComplementText(login);
  r.wirePassword = ComplementText(password);
  r.access = AccessBytes(access);
  return r;
}

SLoginRequest LoginRequest(const std::string& login, const std::string& password, const std::string& name = "Nick",
                           Int16 icon = 128) {
  return SLoginRequest{ComplementText(login), ComplementText(password), name, icon};
}

class AccountStore : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(users_); }

  // Everything below the temporary root, to prove nothing was created outside "Users".
  std::set<std::string> Tree() const {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root_.Path()))
      out.insert(fs::relative(e.path(), root_.Path()).string());
    return out;
  }

  cvtest::TempFolder root_;
  std::string users_ = root_ / "Users";
  CMyAccountStore store_{users_};
};

}  // namespace

TEST_F(AccountStore, NewUserWritesTheRecordInItsOwnFolder) {
  SUserRequest req = Request("Admin", "pw", "The Admin", Only({CanCreateUsers, CanSendChat}));
  req.field111 = "extra";
  SAccountReply r = store_.NewUser(All(), req);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.login, "Admin");

  std::string image = cvtest::ReadFile(users_ + "/Admin/UserData");
  ASSERT_EQ(image.size(), 734u);
  SUserData u = DecodeUserData(ByteView(reinterpret_cast<const Uint8*>(image.data()), image.size()));
  EXPECT_EQ(u.login, "Admin");
  EXPECT_EQ(u.password, ComplementText("pw"));  // kept in its wire form
  EXPECT_EQ(u.name, "The Admin");
  EXPECT_EQ(u.field111, "extra");
  EXPECT_EQ(u.access, Only({CanCreateUsers, CanSendChat}));
  // The save leaves no temporary file behind.
  EXPECT_EQ(Tree(), (std::set<std::string>{"Users", "Users/Admin", "Users/Admin/UserData"}));
}

TEST_F(AccountStore, NewUserCutsFieldsToTheirAreas) {
  SUserRequest req = Request(std::string(40, 'L'), std::string(40, 'p'), std::string(70, 'n'));
  req.field111 = std::string(70, 'f');
  req.access = Bytes(12, 0);
  ASSERT_TRUE(store_.NewUser(All(), req).ok);
  SUserData u = store_.Read(std::string(32, 'l'));
  EXPECT_EQ(u.login, std::string(32, 'L'));
  EXPECT_EQ(u.password.size(), 32u);
  EXPECT_EQ(u.name.size(), 64u);
  EXPECT_EQ(u.field111.size(), 64u);
}

TEST_F(AccountStore, RefusalsAndCeiling) {
  SAccountReply r = store_.NewUser(Only({CanSendChat}), Request("bob", ""));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "You are not allowed to create new users.");

  SPrivilegeSet creator = Only({CanCreateUsers, CanSendChat, CanReadChat});
  r = store_.NewUser(creator, Request("bob", "", "Bob", Only({CanSendChat, CanDeleteFiles})));
  EXPECT_EQ(r.text, "Cannot create user with more access than yourself.");
  EXPECT_FALSE(store_.Exists("bob"));

  r = store_.NewUser(creator, Request("bob", "", "Bob", Only({CanSendChat, DontShowAgreement})));
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_TRUE(store_.Read("bob").access.Has(DontShowAgreement));

  EXPECT_EQ(store_.DeleteUser(Only({CanCreateUsers}), ComplementText("bob")).text,
            "You are not allowed to delete users.");
  EXPECT_EQ(store_.OpenUser(SPrivilegeSet{}, "bob").text, "You are not allowed to get user information.");
  EXPECT_EQ(store_.SetUser(Only({CanReadUsers}), Request("bob", "")).text,
            "You are not allowed to modify user information.");
  EXPECT_TRUE(store_.Exists("bob"));
}

TEST_F(AccountStore, DuplicateLoginsAreRefusedInAnyLetterCase) {
  ASSERT_TRUE(store_.NewUser(All(), Request("Admin", "a")).ok);
  for (const char* login : {"Admin", "admin", "ADMIN"}) {
    SAccountReply r = store_.NewUser(All(), Request(login, "b"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text,
              std::string("Cannot create user \xD2") + login + "\xD3 because there is already a user with that login.");
    EXPECT_FALSE(r.hasCause);
  }
  EXPECT_EQ(store_.Read("admin").password, ComplementText("a"));
}

TEST_F(AccountStore, UnsafeLoginsNeverReachTheFileSystem) {
  fs::create_directory(root_ / "victim");
  cvtest::WriteFile(root_ / "victim/UserData", EncodeUserData(SUserData{All(), "x", "", "victim", ""}));
  const auto before = Tree();
  for (const std::string& login :
       std::initializer_list<std::string>{"..", ".", "../victim", "a/b", std::string("a\0b", 3), "x\ry"}) {
    SAccountReply made = store_.NewUser(All(), Request(login, ""));
    EXPECT_FALSE(made.ok) << login;
    EXPECT_TRUE(made.hasCause);
    EXPECT_TRUE(made.cause.Is(errClassFiles, errInvalidName));
    EXPECT_EQ(made.text, "Cannot create user " + QuotedName(login) + ":");

    SLoginResult in = store_.Login(LoginRequest(login, ""));
    EXPECT_FALSE(in.ok);
    EXPECT_EQ(in.text, "Incorrect login.");

    EXPECT_FALSE(store_.OpenUser(All(), login).ok);
    EXPECT_FALSE(store_.DeleteUser(All(), ComplementText(login)).ok);
    EXPECT_FALSE(store_.SetUser(All(), Request(login, "new")).ok);
  }
  EXPECT_EQ(Tree(), before);
  EXPECT_EQ(store_.OpenUser(All(), "../victim").text, "No user with login \xD2../victim\xD3.");
}

TEST_F(AccountStore, LoginChecksThePasswordInItsWireForm) {
  ASSERT_TRUE(store_.NewUser(All(), Request("Admin", "pw", "Boss", Only({CanSendChat}))).ok);

  SLoginResult r = store_.Login(LoginRequest("ADMIN", "pw", "Whoever", 134));
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.login, "admin");
  EXPECT_EQ(r.accountName, "Boss");
  EXPECT_EQ(r.userName, "Boss");  // no CanUseAnyName: the account's name is used
  EXPECT_EQ(r.icon, 414);
  EXPECT_EQ(r.access, Only({CanSendChat}));
  EXPECT_TRUE(r.showAgreement);

  for (const char* wrong : {"", "p", "pw ", "PW"}) {
    SLoginResult bad = store_.Login(LoginRequest("admin", wrong));
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.text, "Incorrect login.");
    EXPECT_FALSE(bad.hasCause);
  }
  EXPECT_EQ(store_.Login(LoginRequest("nobody", "pw")).text, "Incorrect login.");
}

TEST_F(AccountStore, LoginNameRulesAndGuest) {
  ASSERT_TRUE(store_.NewUser(All(), Request("guest", "", "Guest", Only({CanUseAnyName, DontShowAgreement}))).ok);
  SLoginResult r = store_.Login(LoginRequest("", "", std::string("Nick\x07\xC3", 6), 5));
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.login, "guest");
  EXPECT_EQ(r.userName, "Nick**");
  EXPECT_FALSE(r.showAgreement);

  r = store_.Login(LoginRequest("", "", std::string(50, 'n')));
  EXPECT_EQ(r.userName, std::string(31, 'n'));
}

TEST_F(AccountStore, UnreadableRecordsReportTheirCause) {
  fs::create_directory(users_ + "/short");
  cvtest::WriteFile(users_ + "/short/UserData", std::string(100, '\0'));
  SLoginResult r = store_.Login(LoginRequest("short", ""));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "Cannot read user \xD2short\xD3:");
  EXPECT_TRUE(r.hasCause);
  EXPECT_TRUE(r.cause.Is(errClassGeneral, errBadFormat));

  Bytes v2 = EncodeUserData(SUserData{});
  v2[1] = 2;
  fs::create_directory(users_ + "/old");
  cvtest::WriteFile(users_ + "/old/UserData", v2);
  SOpenUserResult o = store_.OpenUser(All(), "old");
  EXPECT_EQ(o.text, "Cannot read user \xD2old\xD3:");
  EXPECT_TRUE(o.cause.Is(errClassGeneral, errBadVersion));

  // A folder without its record is no account at all.
  fs::create_directory(users_ + "/empty");
  EXPECT_EQ(store_.Login(LoginRequest("empty", "")).text, "Incorrect login.");
  EXPECT_EQ(store_.OpenUser(All(), "empty").text,
            "No user with login \xD2"
            "empty\xD3.");
}

TEST_F(AccountStore, OpenUserNeverSendsThePassword) {
  ASSERT_TRUE(store_.NewUser(All(), Request("Carol", "hunter2", "Carol C", Only({CanReadNews}))).ok);
  ASSERT_TRUE(store_.NewUser(All(), Request("dave", "", "Dave")).ok);

  SOpenUserResult r = store_.OpenUser(Only({CanReadUsers}), "carol");
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.name, "Carol C");
  EXPECT_EQ(r.wireLogin, ComplementText("carol"));
  EXPECT_EQ(r.passwordMarker, "x");
  EXPECT_EQ(r.access, Only({CanReadNews}));

  EXPECT_EQ(store_.OpenUser(All(), "dave").passwordMarker, "");
  EXPECT_EQ(store_.OpenUser(All(), "erin").text,
            "No user with login \xD2"
            "erin\xD3.");
}

TEST_F(AccountStore, SetUserReplacesTheRecordAndCanKeepThePassword) {
  const std::string longPassword(32, 'k');  // every byte of the longest password survives
  ASSERT_TRUE(store_.NewUser(All(), Request("Carol", longPassword, "Carol")).ok);

  SUserRequest keep = Request("CAROL", "", "Carol Two", Only({CanPostNews}));
  keep.wirePassword = std::string(1, '\0');
  SPrivilegeSet taken;
  SAccountReply r = store_.SetUser(Only({CanModifyUsers}), keep, &taken);
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.login, "carol");
  EXPECT_EQ(taken, Only({CanPostNews}));
  SUserData u = store_.Read("carol");
  EXPECT_EQ(u.password, ComplementText(longPassword));
  EXPECT_EQ(u.name, "Carol Two");
  EXPECT_EQ(u.access, Only({CanPostNews}));
  EXPECT_TRUE(store_.Login(LoginRequest("carol", longPassword)).ok);

  // The marker sent back as text is a password like any other.
  SUserRequest marker = Request("carol", "", "Carol");
  marker.wirePassword = "x";
  ASSERT_TRUE(store_.SetUser(All(), marker).ok);
  EXPECT_EQ(store_.Read("carol").password, "x");

  // No ceiling when modifying.
  ASSERT_TRUE(store_.SetUser(Only({CanModifyUsers}), Request("carol", "z", "C", All())).ok);
  EXPECT_EQ(store_.Read("carol").access, All());
  // The folder keeps the letter case it was created with.
  EXPECT_TRUE(fs::exists(users_ + "/Carol/UserData"));
  EXPECT_EQ(Tree(), (std::set<std::string>{"Users", "Users/Carol", "Users/Carol/UserData"}));
}

TEST_F(AccountStore, SetUserNeverCreatesAnAccount) {
  SUserRequest keep = Request("ghost", "");
  keep.wirePassword = std::string(1, '\0');
  EXPECT_EQ(store_.SetUser(All(), keep).text, "No user with login \xD2ghost\xD3.");
  EXPECT_EQ(store_.SetUser(All(), Request("Ghost", "pw")).text, "No user with login \xD2ghost\xD3.");
  EXPECT_FALSE(store_.Exists("ghost"));
}

TEST_F(AccountStore, DeleteUserRemovesTheFolder) {
  ASSERT_TRUE(store_.NewUser(All(), Request("Erin", "pw")).ok);
  cvtest::WriteFile(users_ + "/Erin/.UserData.tmp", "left over");
  cvtest::WriteFile(users_ + "/Erin/.UserData.4242.7.tmp", "left over by an interrupted save");
  SAccountReply r = store_.DeleteUser(Only({CanDeleteUsers}), ComplementText("ERIN"));
  ASSERT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.login, "erin");
  EXPECT_EQ(Tree(), std::set<std::string>{"Users"});

  r = store_.DeleteUser(All(), ComplementText("erin"));
  EXPECT_EQ(r.text,
            "No user with login \xD2"
            "erin\xD3.");

  // Something else in the folder is not ours to remove: the deletion reports it.
  ASSERT_TRUE(store_.NewUser(All(), Request("frank", "pw")).ok);
  cvtest::WriteFile(users_ + "/frank/notes", "keep");
  r = store_.DeleteUser(All(), ComplementText("frank"));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text,
            "Cannot delete user \xD2"
            "frank\xD3:");
  EXPECT_TRUE(r.hasCause);
  EXPECT_TRUE(fs::exists(users_ + "/frank/notes"));
}

TEST_F(AccountStore, WriteFailuresLeaveTheOldRecord) {
  ASSERT_TRUE(store_.NewUser(All(), Request("gina", "old")).ok);
  // The next save fails at its write step, as it would on a read-only disk.
  UFileSys::SetSaveFaultForTesting(EACCES);
  SAccountReply r = store_.SetUser(All(), Request("gina", "new"));
  UFileSys::SetSaveFaultForTesting(0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "Cannot modify user \xD2gina\xD3:");
  EXPECT_TRUE(r.hasCause);
  EXPECT_TRUE(r.cause.Is(errClassFiles, errAccessDenied)) << r.cause.errClass << "/" << r.cause.id;
  EXPECT_EQ(store_.Read("gina").password, ComplementText("old"));
}
