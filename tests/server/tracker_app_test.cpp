// The server's tracker announcements as datagrams caught on a loopback socket: sent at
// start, on the five-minute timer of the framework clock, with the port really listened
// on and the users connected; the server id is made once and kept.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/clock.h"
#include "server/application.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;

// A UDP socket on a free loopback port standing in for a tracker.
class CCatcher {
 public:
  CCatcher() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~CCatcher() { ::close(fd_); }
  Uint16 Port() const { return port_; }
  // The next datagram, running the loop meanwhile; empty after 5 s.
  Bytes Next() {
    Bytes got;
    UEventLoop::RunUntilFor(
        [&] {
          Uint8 buf[1024];
          const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
          if (n > 0) got.assign(buf, buf + n);
          return n > 0;
        },
        5000);
    return got;
  }
  bool Quiet(int ms) {
    UEventLoop::RunUntilFor([] { return false; }, ms);
    Uint8 buf[1024];
    return ::recv(fd_, buf, sizeof buf, 0) < 0;
  }

 private:
  int fd_ = -1;
  Uint16 port_ = 0;
};

class TrackerApp : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    settings_.folder = tmp_ / "srv";
    settings_.port = 0;
    settings_.logHook = [](std::string_view) {};
  }
  void TearDown() override { UClock::SetTestOffset(0); }
  void Start() {
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    CreateFirstAccounts(app_->Accounts());
  }

  cvtest::TempFolder tmp_;
  SServerSettings settings_;
  std::unique_ptr<CMyApplication> app_;
};

TEST_F(TrackerApp, ServerIdIsMadeOnceAndKept) {
  Start();
  const Int32 id = app_->Prefs().serverId;
  EXPECT_NE(id, 0);
  URandom random;
  EXPECT_EQ(LoadServerPrefs(settings_.folder, random).serverId, id);  // saved at once
  app_.reset();
  Start();
  EXPECT_EQ(app_->Prefs().serverId, id);
  // Another server folder gets its own.
  settings_.folder = tmp_ / "other";
  app_.reset();
  Start();
  EXPECT_NE(app_->Prefs().serverId, id);
}

TEST_F(TrackerApp, AnnouncesAtStartAndEveryFiveMinutesWithTheUsersConnected) {
  CCatcher first, second;
  std::filesystem::create_directories(settings_.folder);
  SServerPrefs prefs;
  prefs.options = optRegisterWithTrackers;
  prefs.port = 5500;  // the command line's port 0 wins: the port really used is announced
  prefs.serverId = 0x01020304;
  prefs.serverName = "Test";
  prefs.trackers = {};
  prefs.trackers[1] = {"127.0.0.1:" + std::to_string(first.Port()), "one"};
  prefs.trackers[3] = {"127.0.0.1:" + std::to_string(second.Port()), ""};
  SaveServerPrefs(settings_.folder, prefs);
  Start();
  const Uint16 port = app_->Port();

  const Bytes a = first.Next(), b = second.Next();
  Bytes want = {0, 1, Uint8(port >> 8), Uint8(port), 0, 0, 0, 0, 1, 2, 3, 4, 4, 'T', 'e', 's', 't', 0};
  Bytes wantA = want, wantB = want;
  wantA.insert(wantA.end(), {3, 'o', 'n', 'e'});
  wantB.push_back(0);
  EXPECT_EQ(a, wantA);
  EXPECT_EQ(b, wantB);

  cvtest::TestClient c1, c2, c3;
  for (cvtest::TestClient* c : {&c1, &c2, &c3}) ASSERT_TRUE(c->Connect(port));
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Sessions().Count() == 3; }, 5000));
  EXPECT_TRUE(first.Quiet(50));  // nothing before the period is up

  UClock::Advance(kTrackerRegisterIntervalMs - 1000);
  EXPECT_TRUE(first.Quiet(50));
  UClock::Advance(1000);
  const Bytes later = first.Next();
  ASSERT_GE(later.size(), 6u);
  EXPECT_EQ(later[4], 0);
  EXPECT_EQ(later[5], 3);
  EXPECT_EQ(second.Next().size(), wantB.size());
}

TEST_F(TrackerApp, NothingIsSentWithRegistrationOff) {
  CCatcher catcher;
  std::filesystem::create_directories(settings_.folder);
  SServerPrefs prefs;
  prefs.options = 0;
  prefs.serverName = "Quiet";
  prefs.trackers = {};
  prefs.trackers[0] = {"127.0.0.1:" + std::to_string(catcher.Port()), ""};
  SaveServerPrefs(settings_.folder, prefs);
  Start();
  EXPECT_FALSE(app_->TrackerTimerRunning());
  EXPECT_EQ(app_->RegisterWithTrackers(), 0u);
  UClock::Advance(kTrackerRegisterIntervalMs);
  EXPECT_TRUE(catcher.Quiet(100));
}

TEST_F(TrackerApp, CommandLineTrackerServesThisRunOnly) {
  CCatcher catcher;
  const std::string text = "127.0.0.1:" + std::to_string(catcher.Port());
  std::vector<std::string_view> args{"--tracker", text};
  SServerCommandLine cmd;
  std::string error;
  ASSERT_TRUE(ParseServerCommandLine(args, cmd, error)) << error;
  EXPECT_EQ(cmd.tracker, text);
  for (std::vector<std::string_view> bad :
       {std::vector<std::string_view>{"--tracker"}, std::vector<std::string_view>{"--tracker="}}) {
    SServerCommandLine ignored;
    EXPECT_FALSE(ParseServerCommandLine(bad, ignored, error));
  }

  settings_.tracker = cmd.tracker;
  Start();  // default prefs: no name, registration off
  EXPECT_TRUE(app_->TrackerTimerRunning());
  const Bytes d = catcher.Next();
  const std::string name = "Corvane Server";
  ASSERT_GE(d.size(), 13u + name.size());
  EXPECT_EQ(d[12], name.size());
  EXPECT_EQ(std::string(d.begin() + 13, d.begin() + 13 + long(name.size())), name);
  // The preferences keep their own trackers and settings.
  EXPECT_FALSE(app_->Prefs().options & optRegisterWithTrackers);
  EXPECT_TRUE(app_->Prefs().serverName.empty());
  EXPECT_NE(app_->Prefs().trackers[0].address, text);
}

}  // namespace
