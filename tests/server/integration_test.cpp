// The corvane-server program, run for real in a temporary folder on a free loopback
// port, spoken to over the framework's transaction connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "server/application.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::ServerProcess;
using cvtest::TempFolder;
using cvtest::TestClient;

std::string AdminPassword(const std::string& err) {
  const std::string key = "account \"admin\" with password \"";
  std::size_t at = err.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  std::size_t end = err.find('"', at);
  return end == std::string::npos ? std::string() : err.substr(at, end - at);
}

class ServerProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    dir_ = tmp_ / "srv";
    ASSERT_TRUE(server_.StartServer(dir_)) << server_.Stderr();
  }

  TempFolder tmp_;
  std::string dir_;
  ServerProcess server_;
};

TEST(ServerCommandLine, HelpVersionAndBadOptions) {
  TempFolder tmp;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string outHas;
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: corvane-server"},
      {{"--version"}, 0, "corvane-server " CORVANE_VERSION},
      {{"--bogus"}, 2, ""},
      {{"--port", "70000"}, 2, ""},
      {{"--port", "12ab"}, 2, ""},
      {{"--port"}, 2, ""},
      {{"--dir", tmp.Path(), "--add-account", "x/y", "--admin"}, 2, ""},
      {{"--dir", tmp.Path(), "--add-account", "bob"}, 2, ""},
  };
  for (const Case& c : cases) {
    ServerProcess p;
    p.Spawn(c.args, tmp / "err", tmp / "out");
    EXPECT_EQ(p.Wait(), c.status) << c.args[0];
    if (!c.outHas.empty()) {
      EXPECT_NE(cvtest::Slurp(tmp / "out").find(c.outHas), std::string::npos);
    }
    if (c.status == 2) {
      EXPECT_NE(cvtest::Slurp(tmp / "err").find("corvane-server: "), std::string::npos);
    }
  }
}

TEST_F(ServerProgram, FirstStartCreatesFoldersAndAccountsAndPrintsThePasswordOnce) {
  for (const char* name : {"Users", "Files", "News.txt", "Users/admin/UserData", "Users/guest/UserData"})
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/" + name)) << name;
  const std::string password = AdminPassword(server_.Stderr());
  ASSERT_EQ(password.size(), 12u) << server_.Stderr();
  for (const auto& e : std::filesystem::directory_iterator(dir_))
    if (e.is_regular_file()) {
      EXPECT_EQ(cvtest::Slurp(e.path()).find(password), std::string::npos) << e.path();
    }

  TestClient admin;
  ASSERT_TRUE(admin.Connect(server_.Port()));
  std::string text;
  EXPECT_EQ(admin.Login("admin", "wrong", "x", &text), 1u);
  EXPECT_EQ(text, "Incorrect login.");
  EXPECT_EQ(admin.Login("Admin", password, "boss"), 0u);

  TestClient guest;
  ASSERT_TRUE(guest.Connect(server_.Port()));
  EXPECT_EQ(guest.Login("", "", "visitor"), 0u);
  // The admin hears of the guest's arrival, under the guest account's stored name.
  auto change = admin.WaitPush(trn::NotifyUserChange);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->fields.GetText(fld::UserName), "Guest");

  // A second start finds the accounts and prints nothing about them.
  server_.Signal(SIGKILL);
  server_.Wait();
  ServerProcess again;
  ASSERT_TRUE(again.StartServer(dir_));
  EXPECT_EQ(AdminPassword(again.Stderr()), "");
}

TEST_F(ServerProgram, HandshakeWithAnotherSubVersionIsRefused) {
  TestClient old;
  EXPECT_FALSE(old.Connect(server_.Port(), FourCC("CRVN"), 1));
  EXPECT_TRUE(old.error().Is(errClassGeneral, errBadVersion));
  TestClient good;
  EXPECT_TRUE(good.Connect(server_.Port()));
}

TEST_F(ServerProgram, GarbageSenderIsClosedWhileAnotherClientKeepsWorking) {
  TestClient a;
  ASSERT_TRUE(a.Connect(server_.Port()));
  ASSERT_EQ(a.Login("", ""), 0u);

  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(server_.Port());
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  timeval tv{5, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_GT(::send(s, garbage, sizeof garbage - 1, 0), 0);
  char buf[16];
  // Closed without an answer: an orderly end or a reset, never data or a time-out.
  errno = 0;
  ssize_t got = ::recv(s, buf, sizeof buf, 0);
  EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << got << " errno " << errno;
  ::close(s);

  UFieldData users;
  ASSERT_TRUE(a.Request(trn::GetOnlineUsers, {}, &users));
  EXPECT_EQ(users.GetFieldCount(), 1u);
}

TEST_F(ServerProgram, UserListJoinsAndLeaves) {
  TestClient a, b, c;
  ASSERT_TRUE(a.Connect(server_.Port()));
  ASSERT_EQ(a.Login("", "", "a"), 0u);
  ASSERT_TRUE(b.Connect(server_.Port()));
  ASSERT_EQ(b.Login("", "", "b"), 0u);
  auto joined = a.WaitPush(trn::NotifyUserChange);
  ASSERT_TRUE(joined);
  const Uint32 bId = joined->fields.GetInteger(fld::UserId);
  EXPECT_EQ(bId, 2u);

  // One connected but not logged in is listed as "???".
  ASSERT_TRUE(c.Connect(server_.Port()));
  UFieldData users;
  ASSERT_TRUE(a.Request(trn::GetOnlineUsers, {}, &users));
  ASSERT_EQ(users.GetFieldCount(), 3u);
  ByteView third = users.GetNthField(3);
  ASSERT_EQ(third.size(), 11u);
  EXPECT_EQ(ReadU16(third.data()), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(third.data() + 8), 3), "???");

  b.Close();
  auto left = a.WaitPush(trn::NotifyUserDelete);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->fields.GetInteger(fld::UserId), bId);
}

TEST_F(ServerProgram, RequestsBeforeLoginGetNoAnswerUnknownAndRefusedRequestsGetErrors) {
  TestClient a;
  ASSERT_TRUE(a.Connect(server_.Port()));
  {
    TransactionPtr t(UTransaction::NewRequest(a.connection(), trn::GetNews));
    UFieldData none;
    UTransaction::Send(t.get(), none);
    // The login that follows is answered; the earlier request never is.
    ASSERT_EQ(a.Login("", ""), 0u);
    EXPECT_FALSE(UTransaction::IsComplete(t.get()));
  }
  UFieldData reply;
  Uint32 code = 0;
  ASSERT_TRUE(a.Request(999, {}, &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), "Unknown transaction type!");
  // Every type a client may send is served now; a download of nothing is refused plainly.
  ASSERT_TRUE(a.Request(trn::DownloadFile, {}, &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), "Cannot download because there is no file named \xD2\xD3.");
}

TEST_F(ServerProgram, SigtermTellsClientsAndQuitsSavingPrefs) {
  std::filesystem::remove(dir_ + "/Prefs");
  TestClient a;
  ASSERT_TRUE(a.Connect(server_.Port()));
  ASSERT_EQ(a.Login("", ""), 0u);
  server_.Signal(SIGTERM);
  auto notice = a.WaitPush(trn::DisconnectMessage);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->fields.GetText(fld::Data), "The server is shutting down.");
  EXPECT_TRUE(a.WaitClosed());
  a.Close();
  EXPECT_EQ(server_.Wait(), 0);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/Prefs"));
}

TEST(ServerAddAccount, ReadsThePasswordFromStdinAndTheAccountLogsIn) {
  UTransport::Init();
  TempFolder tmp;
  const std::string dir = tmp / "srv";
  {
    ServerProcess add;
    std::string password = "s3cret\n";
    add.Spawn({"--dir", dir, "--add-account", "Carol", "--name", "Carol C", "--guest"}, tmp / "err", tmp / "out",
              &password);
    ASSERT_EQ(add.Wait(), 0) << cvtest::Slurp(tmp / "err");
    ServerProcess again;
    again.Spawn({"--dir", dir, "--add-account", "carol", "--admin"}, tmp / "err2", tmp / "out2", &password);
    EXPECT_EQ(again.Wait(), 1) << "a second account with that login in another case";
  }
  CMyAccountStore store(dir + "/Users");
  SUserData u = store.Read("carol");
  EXPECT_EQ(u.name, "Carol C");
  EXPECT_EQ(u.access, GuestPrivileges());

  ServerProcess server;
  ASSERT_TRUE(server.StartServer(dir));
  // Users was not empty: no first-start accounts.
  EXPECT_FALSE(std::filesystem::exists(dir + "/Users/admin"));
  TestClient c;
  ASSERT_TRUE(c.Connect(server.Port()));
  EXPECT_EQ(c.Login("CAROL", "s3cret"), 0u);
}

}  // namespace

namespace {

TEST_F(ServerProgram, SighupReloadsNewsAndAgreement) {
  cvtest::WriteFile(dir_ + "/Agreement.txt", std::string("House rules."));
  server_.Signal(SIGHUP);
  for (int i = 0; i < 500 && server_.Stderr().find("Reloaded news") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(server_.Stderr().find("Reloaded news"), std::string::npos);
  TestClient a;
  ASSERT_TRUE(a.Connect(server_.Port()));
  ASSERT_EQ(a.Login("", ""), 0u);
  auto agreement = a.WaitPush(trn::ShowAgreement);
  ASSERT_TRUE(agreement);
  EXPECT_EQ(agreement->fields.GetText(fld::Data), "House rules.");
}

}  // namespace
