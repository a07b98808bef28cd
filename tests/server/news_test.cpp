// The news board on the server's real loop: reading, posting with its header and
// separator, the push to readers, "News.txt" after each post, size limits, reloads and a
// save that fails.
#include <cerrno>
#include <filesystem>

#include "framework/filesys.h"
#include "server/application.h"
#include "server/news.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;

// 2026-01-05 13:07:00 UTC.
constexpr Int64 kJan5 = 1767618420;

class NewsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    settings_.folder = tmp_ / "srv";
    settings_.port = 0;
    settings_.logHook = [](std::string_view) {};
    settings_.terminate = [](std::string_view) {};
  }
  void TearDown() override { UFileSys::SetSaveFaultForTesting(0); }

  void Start(const std::string* news = nullptr) {
    if (news) {
      std::filesystem::create_directories(settings_.folder);
      cvtest::WriteFile(NewsPath(), *news);
    }
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    app_->NewsService()->SetTimeSource([] { return kJan5; });
    adminPassword_ = CreateFirstAccounts(app_->Accounts());
    SPrivilegeSet noNews = GuestPrivileges();
    noNews.Clear(CanReadNews);
    app_->Accounts().Create(MakeAccount("blind", "Blind", "pw", noNews));
  }

  std::unique_ptr<TestClient> Join(std::string_view name, std::string_view login = "", std::string_view password = "") {
    auto c = std::make_unique<TestClient>();
    EXPECT_TRUE(c->Connect(app_->Port()));
    EXPECT_EQ(c->Login(login, password, name), 0u);
    return c;
  }
  std::unique_ptr<TestClient> Admin(std::string_view name) { return Join(name, "admin", adminPassword_); }

  static UFieldData Post(std::string_view text) {
    UFieldData f;
    f.AddText(fld::Data, text);
    return f;
  }

  std::string NewsPath() const { return settings_.folder + "/News.txt"; }
  std::string FetchNews(TestClient& c) {
    UFieldData reply;
    EXPECT_TRUE(c.Request(trn::GetNews, {}, &reply));
    return reply.GetText(fld::Data, UFieldData::kMaxFieldSize);
  }

  TempFolder tmp_;
  SServerSettings settings_;
  std::string adminPassword_;
  std::unique_ptr<CMyApplication> app_;
};

TEST(NewsFormat, HeaderInUniversalTimeAndSeparator) {
  EXPECT_EQ(CMyNewsService::PostHeader("Al", kJan5), "From Al (Jan05 13:07):\r\r");
  // 2026-12-31 23:59:30 UTC, whatever the local zone says.
  EXPECT_EQ(CMyNewsService::PostHeader("Al", 1798761570), "From Al (Dec31 23:59):\r\r");
  EXPECT_EQ(CMyNewsService::PostHeader("Zed", 1772323200), "From Zed (Mar01 00:00):\r\r");
  const std::string sep = CMyNewsService::Separator();
  EXPECT_EQ(sep.size(), 60u);
  EXPECT_EQ(sep, "\r" + std::string(58, '_') + "\r");
}

TEST_F(NewsServer, PostsGoOnTopOnDiskAndToEveryReader) {
  const std::string old = "Welcome.\r";
  Start(&old);
  auto al = Admin("Al");
  auto bo = Join("Bo");
  auto blind = Join("Blind", "blind", "pw");
  EXPECT_EQ(FetchNews(*bo), old);
  EXPECT_EQ(FetchNews(*blind), kNoReadNewsText);

  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(al->Request(trn::PostNews, Post("First\rpost"), &reply, &code));
  ASSERT_EQ(code, 0u);
  const std::string a = "From Al (Jan05 13:07):\r\rFirst\rpost\r" + std::string(58, '_') + "\r";
  for (TestClient* c : {al.get(), bo.get()}) {
    auto pushed = c->WaitPush(trn::NewMessage);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(pushed->fields.GetText(fld::Data, UFieldData::kMaxFieldSize), a);
  }
  EXPECT_EQ(cvtest::ReadFile(NewsPath()), a + old);

  // An empty post is a header and a separator; the newest comes first.
  ASSERT_TRUE(al->Request(trn::PostNews, {}, &reply, &code));
  ASSERT_EQ(code, 0u);
  const std::string b = "From Al (Jan05 13:07):\r\r\r" + std::string(58, '_') + "\r";
  EXPECT_EQ(cvtest::ReadFile(NewsPath()), b + a + old);
  EXPECT_EQ(FetchNews(*bo), b + a + old);
  EXPECT_EQ(app_->News(), b + a + old);
  ASSERT_TRUE(blind->Request(trn::GetOnlineUsers, {}));
  EXPECT_FALSE(blind->WaitPush(trn::NewMessage, 0));

  ASSERT_TRUE(bo->Request(trn::PostNews, Post("me too"), &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), kNoPostNewsText);
}

TEST_F(NewsServer, PostsUpTo8192BytesAreTakenLongerOnesRefused) {
  Start();
  auto al = Admin("Al");
  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(al->Request(trn::PostNews, Post(std::string(kNewsPostMax + 1, 'b')), &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText), kNewsTooBigText);
  EXPECT_EQ(cvtest::ReadFile(NewsPath()), "");
  ASSERT_TRUE(al->Request(trn::PostNews, Post(std::string(kNewsPostMax, 'a')), &reply, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(cvtest::ReadFile(NewsPath()).size(), 24 + kNewsPostMax + 60);
}

TEST_F(NewsServer, LongNewsIsSentCutButKeptWholeOnDisk) {
  std::string old(70000, 'n');
  old.back() = 'E';
  Start(&old);
  auto al = Admin("Al");
  EXPECT_EQ(FetchNews(*al), old.substr(0, UFieldData::kMaxFieldSize));
  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(al->Request(trn::PostNews, Post("x"), &reply, &code));
  ASSERT_EQ(code, 0u);
  const std::string file = cvtest::ReadFile(NewsPath());
  ASSERT_EQ(file.size(), 24 + 1 + 60 + old.size());
  EXPECT_EQ(file.substr(file.size() - old.size()), old);
}

TEST_F(NewsServer, ReloadTakesTheFileAsTheOperatorLeftIt) {
  Start();
  auto al = Admin("Al");
  cvtest::WriteFile(NewsPath(), std::string("Edited by hand.\r"));
  app_->ReloadNews();
  EXPECT_EQ(FetchNews(*al), "Edited by hand.\r");
}

TEST_F(NewsServer, FailedSaveKeepsTheOldFileAndTellsNobody) {
  const std::string old = "Old news.\r";
  Start(&old);
  auto al = Admin("Al");
  auto bo = Join("Bo");
  UFileSys::SetSaveFaultForTesting(ENOSPC);
  UFieldData post = Post("lost?");
  al->Post(trn::PostNews, post);
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->ErrorCount() > 0; }, 5000));
  EXPECT_EQ(cvtest::ReadFile(NewsPath()), old);
  ASSERT_TRUE(bo->Request(trn::GetOnlineUsers, {}));
  EXPECT_FALSE(bo->WaitPush(trn::NewMessage, 0));
  // The next post that saves carries both.
  UFileSys::SetSaveFaultForTesting(0);
  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(al->Request(trn::PostNews, Post("again"), &reply, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(cvtest::ReadFile(NewsPath()), app_->News());
  EXPECT_NE(app_->News().find("lost?"), std::string::npos);
}

TEST(NewsLoad, UnreadableNewsRefusesPostsAndLeavesTheFileAlone) {
  TempFolder tmp;
  std::filesystem::create_directories(tmp / "News.txt");
  std::string news = "stale";
  CMyServerLog log(tmp.Path());
  log.SetLineHook([](std::string_view) {});
  CMyNewsService service(news, tmp.Path(), log);
  service.Reload();
  EXPECT_FALSE(service.Loaded());
  EXPECT_EQ(news, "");
  EXPECT_TRUE(std::filesystem::is_directory(tmp / "News.txt"));

  std::filesystem::remove(tmp / "News.txt");
  service.Reload();
  EXPECT_TRUE(service.Loaded());
  EXPECT_TRUE(std::filesystem::is_regular_file(tmp / "News.txt"));
}

}  // namespace
