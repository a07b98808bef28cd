// The server's application object on this thread's real loop, with clients over
// loopback: idle marking on the framework clock, agreements and their reload, the start
// line, and the error count with its resets.
#include <filesystem>

#include "framework/clock.h"
#include "server/application.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;

class ServerApp : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    settings_.folder = tmp_ / "srv";
    settings_.port = 0;
    settings_.logHook = [this](std::string_view line) { lines_.emplace_back(line); };
    settings_.terminate = [this](std::string_view why) { terminated_ = std::string(why); };
  }
  void TearDown() override { UClock::SetTestOffset(0); }

  void Start() {
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    CreateFirstAccounts(app_->Accounts());
  }

  bool Logged(std::string_view text) const {
    for (const std::string& l : lines_)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  TempFolder tmp_;
  SServerSettings settings_;
  std::vector<std::string> lines_;
  std::string terminated_;
  std::unique_ptr<CMyApplication> app_;
};

TEST_F(ServerApp, StartCreatesWhatIsMissingAndLogsTheAddressWithItsPort) {
  Start();
  for (const char* name : {"Users", "Files", "News.txt"})
    EXPECT_TRUE(std::filesystem::exists(settings_.folder + "/" + name));
  ASSERT_FALSE(lines_.empty());
  const std::string& line = lines_.back();
  EXPECT_NE(line.find(":" + std::to_string(app_->Port())), std::string::npos) << line;
  EXPECT_NE(line.find("Corvane Server started"), std::string::npos);
  EXPECT_EQ(app_->TransferPort(), app_->Port() + 1);
}

TEST_F(ServerApp, ResourceFileInTheFolderWinsOverTheOneBesideTheProgram) {
  settings_.resourceFolder = tmp_ / "bin";
  std::filesystem::create_directories(settings_.resourceFolder);
  cvtest::WriteFile(tmp_ / "bin/cvserver.dat", std::string("x"));
  Start();
  EXPECT_EQ(app_->ResourcePath(), tmp_ / "bin/cvserver.dat");
  app_.reset();
  cvtest::WriteFile(settings_.folder + "/cvserver.dat", std::string("y"));
  Start();
  EXPECT_EQ(app_->ResourcePath(), settings_.folder + "/cvserver.dat");
}

TEST_F(ServerApp, IdleAfterSixHundredSecondsAndActiveAgainOnTheNextRequest) {
  Start();
  TestClient a, b;
  ASSERT_TRUE(a.Connect(app_->Port()));
  ASSERT_EQ(a.Login("", "", "a"), 0u);
  ASSERT_TRUE(b.Connect(app_->Port()));
  ASSERT_EQ(b.Login("", "", "b"), 0u);
  ASSERT_TRUE(a.WaitPush(trn::NotifyUserChange));  // b's arrival

  // The next session step (a request, or the housekeeping tick) finds a silent for 601 s.
  UClock::Advance(601 * 1000);
  ASSERT_TRUE(b.Request(trn::GetOnlineUsers, {}));
  auto idle = b.WaitPushFor(trn::NotifyUserChange, 1);
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->fields.GetInteger(fld::UserFlags) & userFlagIdle, userFlagIdle);

  ASSERT_TRUE(a.Request(trn::GetOnlineUsers, {}));
  auto back = b.WaitPushFor(trn::NotifyUserChange, 1);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->fields.GetInteger(fld::UserFlags) & userFlagIdle, 0u);
  // b's own request cleared b's idle mark again.
  UFieldData users;
  ASSERT_TRUE(a.Request(trn::GetOnlineUsers, {}, &users));
  ASSERT_EQ(users.GetFieldCount(), 2u);
  EXPECT_EQ(ReadU16(users.GetNthField(2).data() + 4) & userFlagIdle, 0u);
}

TEST_F(ServerApp, AgreementIsSentAfterLoginUntilItsFileIsRemovedAndNewsReloaded) {
  std::filesystem::create_directories(tmp_ / "srv");
  cvtest::WriteFile(tmp_ / "srv/Agreement.txt", std::string("Be kind.\rNo spam."));
  Start();
  TestClient a;
  ASSERT_TRUE(a.Connect(app_->Port()));
  ASSERT_EQ(a.Login("", ""), 0u);
  auto agreement = a.WaitPush(trn::ShowAgreement);
  ASSERT_TRUE(agreement);
  EXPECT_EQ(agreement->fields.GetText(fld::Data), "Be kind.\rNo spam.");

  std::filesystem::remove(tmp_ / "srv/Agreement.txt");
  app_->ReloadNews();
  EXPECT_TRUE(Logged("Reloaded news"));
  TestClient b;
  ASSERT_TRUE(b.Connect(app_->Port()));
  ASSERT_EQ(b.Login("", ""), 0u);
  // Pushes caused by the login come before the answer to any later request.
  ASSERT_TRUE(b.Request(trn::GetOnlineUsers, {}));
  EXPECT_FALSE(b.WaitPush(trn::ShowAgreement, 0));
}

TEST_F(ServerApp, TooManyErrorsResetAndTooManyResetsTerminate) {
  Start();
  TestClient a;
  ASSERT_TRUE(a.Connect(app_->Port()));
  ASSERT_EQ(a.Login("", ""), 0u);
  // An accepted connection clears the counts.
  for (int i = 0; i < 50; ++i) app_->Error(SError(errClassGeneral, errUnknown));
  EXPECT_EQ(app_->ErrorCount(), 50);
  TestClient b;
  ASSERT_TRUE(b.Connect(app_->Port()));
  EXPECT_EQ(app_->ErrorCount(), 0);

  for (int i = 0; i < 100; ++i) app_->Error(SError(errClassGeneral, errUnknown));
  EXPECT_EQ(app_->ErrorCount(), 100);
  EXPECT_EQ(app_->ResetCount(), 0);
  EXPECT_EQ(app_->Sessions().Count(), 2u);
  app_->Error(SError(errClassGeneral, errUnknown));
  EXPECT_EQ(app_->ResetCount(), 1);
  EXPECT_EQ(app_->Sessions().Count(), 0u);
  EXPECT_TRUE(Logged("SERVER RESET - too many errors"));
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_NE(cvtest::ReadFile(settings_.folder + "/Error Log.txt").find("ID 1/1"), std::string::npos);

  for (int reset = 2; reset <= 10; ++reset)
    for (int i = 0; i < 101; ++i) app_->Error(SError(errClassGeneral, errUnknown));
  EXPECT_EQ(app_->ResetCount(), 10);
  EXPECT_EQ(terminated_, "");
  for (int i = 0; i < 101; ++i) app_->Error(SError(errClassGeneral, errUnknown));
  EXPECT_EQ(terminated_, "Too many resets! Terminating...");
}

TEST_F(ServerApp, PoliteQuitWithAMessageEndsWhenTheLastClientHasGone) {
  Start();
  TestClient a;
  ASSERT_TRUE(a.Connect(app_->Port()));
  ASSERT_EQ(a.Login("", ""), 0u);
  app_->PoliteQuit("Back in five minutes.");
  EXPECT_FALSE(app_->IsQuitting());
  auto notice = a.WaitPush(trn::DisconnectMessage);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->fields.GetText(fld::Data), "Back in five minutes.");
  // Newcomers are turned away while the server waits.
  TestClient late;
  EXPECT_FALSE(late.Connect(app_->Port()));
  a.Close();
  EXPECT_TRUE(UEventLoop::RunUntilFor([&] { return app_->IsQuitting(); }, 5000));
  EXPECT_TRUE(std::filesystem::exists(settings_.folder + "/Prefs"));
}

TEST_F(ServerApp, ARunOfTwelveQuickConnectionsFromOneAddressIsBanned) {
  Start();
  // Eleven connections in a row, each gone before the next, are let in.
  for (int i = 0; i < 11; ++i) {
    TestClient c;
    ASSERT_TRUE(c.Connect(app_->Port())) << i;
    c.Close();
    ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Sessions().Count() == 0; }, 5000));
  }
  TestClient twelfth;
  EXPECT_FALSE(twelfth.Connect(app_->Port()));
  EXPECT_TRUE(Logged("Autobanned for flooding"));
  EXPECT_TRUE(app_->Sessions().Bans().Contains(0x7F000001));
  // The ban lasts 1800 s.
  UClock::Advance(1801 * 1000);
  TestClient later;
  EXPECT_TRUE(later.Connect(app_->Port()));
}

}  // namespace
