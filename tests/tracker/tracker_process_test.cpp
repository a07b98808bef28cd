// corvane-tracker as its own process on free loopback ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/clock.h"
#include "framework/transport.h"
#include "listing_fetch.h"
#include "server/application.h"
#include "server/tracker_registration.h"
#include "tests/server/server_harness.h"
#include "tests/server/temp_folder.h"

using namespace cv;

namespace {

const std::string kTrackerPath = std::string(CORVANE_BIN_DIR) + "/corvane-tracker";

// Runs the program with args; stdout is read through a pipe.
class CTrackerProcess {
 public:
  explicit CTrackerProcess(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv{const_cast<char*>(kTrackerPath.c_str())};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(kTrackerPath.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~CTrackerProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGTERM);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }

  // Everything written to stdout until the first line end (or the end), within 5 s.
  std::string FirstLine() {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, std::size_t(n));
    }
    return text;
  }

  // The exit status, waiting at most 5 s (-1: still running, then killed).
  int Wait() {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    exited_ = true;
    return -1;
  }

  // Reads the bound ports from the start-up line.
  bool Ports(Uint16& udp, Uint16& tcp) {
    const std::string line = FirstLine();
    // "... on 127.0.0.1:UDP (UDP), listings on 127.0.0.1:TCP (TCP)"
    auto portBefore = [&](std::string_view tag) -> int {
      const std::size_t end = line.find(tag);
      if (end == std::string::npos) return -1;
      const std::size_t colon = line.rfind(':', end);
      if (colon == std::string::npos || colon < 9 || line.compare(colon - 9, 9, "127.0.0.1") != 0) return -1;
      return std::atoi(line.c_str() + colon + 1);
    };
    const int u = portBefore(" (UDP)"), t = portBefore(" (TCP)");
    if (u <= 0 || t <= 0 || u > 65535 || t > 65535) {
      ADD_FAILURE() << "unexpected start-up line: " << line;
      return false;
    }
    udp = Uint16(u);
    tcp = Uint16(t);
    return true;
  }

  void Term() { ::kill(pid_, SIGTERM); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
};

SServerPrefs PrefsFor(Uint16 trackerPort, Uint16 serverPort, std::string name, std::string password = "") {
  SServerPrefs p;
  p.options = optRegisterWithTrackers;
  p.port = serverPort;
  p.serverId = 0x0A0B0C0D;
  p.serverName = std::move(name);
  p.serverDescription = "A server \xD2with\xD3 quotes";
  p.trackers = {};
  p.trackers[0] = {"127.0.0.1:" + std::to_string(trackerPort), std::move(password)};
  return p;
}

struct SAnnouncer {
  TransportPtr udp{UTransport::New(kTransportUDP)};
  void Announce(const SServerPrefs& prefs, Uint16 users) {
    CTrackerRegistration reg(prefs);
    ASSERT_EQ(reg.Register(0, users,
                           [&](const SInternetNameAddress& a, ByteView d) {
                             UTransport::SendUnit(udp.get(), &a, a.Size(), d.data(), Uint32(d.size()));
                           }),
              1u);
  }
  void SendRaw(Uint16 port, const Bytes& data) {
    const SInternetAddress a = SInternetAddress::Loopback(port);
    UTransport::SendUnit(udp.get(), &a, sizeof a, data.data(), Uint32(data.size()));
  }
};

// Fetches until a server on that port is listed; datagrams are handled in the order
// sent, so everything announced before it has been handled by then.
std::vector<STrackerServer> ListingWith(Uint16 tcpPort, Uint16 serverPort) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto listing = cvtest::FetchListing(tcpPort);
    if (!listing) return {};
    for (const STrackerServer& s : *listing)
      if (s.port == serverPort) return *listing;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "server on port " << serverPort << " never listed";
  return {};
}

const STrackerServer* Find(const std::vector<STrackerServer>& list, Uint16 port) {
  for (const STrackerServer& s : list)
    if (s.port == port) return &s;
  return nullptr;
}

}  // namespace

TEST(TrackerProcess, ListsARegisteredServer) {
  cvtest::InitTransportOnce();
  CTrackerProcess tracker({"--udp-port", "0", "--tcp-port", "0"});
  Uint16 udp = 0, tcp = 0;
  ASSERT_TRUE(tracker.Ports(udp, tcp));

  SAnnouncer a;
  // Garbage first: the tracker ignores it and keeps serving.
  a.SendRaw(udp, Bytes(3, 0xFF));
  a.SendRaw(udp, Bytes(2000, 0x01));
  a.Announce(PrefsFor(udp, 5500, "Loopback server"), 3);
  const auto listing = ListingWith(tcp, 5500);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].address, (std::array<Uint8, 4>{127, 0, 0, 1}));
  EXPECT_EQ(listing[0].users, 3);
  EXPECT_EQ(listing[0].name, "Loopback server");
  EXPECT_EQ(listing[0].description, "A server \xD2with\xD3 quotes");

  // A later announcement updates the same entry.
  a.Announce(PrefsFor(udp, 5500, "Renamed"), 8);
  a.Announce(PrefsFor(udp, 5501, "Second"), 0);
  const auto later = ListingWith(tcp, 5501);
  ASSERT_EQ(later.size(), 2u);
  ASSERT_NE(Find(later, 5500), nullptr);
  EXPECT_EQ(Find(later, 5500)->name, "Renamed");
  EXPECT_EQ(Find(later, 5500)->users, 8);

  tracker.Term();
  EXPECT_EQ(tracker.Wait(), 0);
}

TEST(TrackerProcess, PasswordsFromItsFolder) {
  cvtest::InitTransportOnce();
  const auto dir = std::filesystem::temp_directory_path() / ("corvane-trkp-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "Passwords") << "letmein\n";
  CTrackerProcess tracker({"--udp-port", "0", "--tcp-port", "0", "--dir", dir.string()});
  Uint16 udp = 0, tcp = 0;
  ASSERT_TRUE(tracker.Ports(udp, tcp));

  SAnnouncer a;
  a.Announce(PrefsFor(udp, 6001, "No password"), 1);
  a.Announce(PrefsFor(udp, 6002, "Wrong", "guess"), 1);
  a.Announce(PrefsFor(udp, 6003, "Right", "letmein"), 1);
  const auto listing = ListingWith(tcp, 6003);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].name, "Right");
  std::filesystem::remove_all(dir);
}

TEST(TrackerProcess, PasswordFromTheCommandLine) {
  cvtest::InitTransportOnce();
  CTrackerProcess tracker({"--udp-port", "0", "--tcp-port", "0", "--password", "opensesame"});
  Uint16 udp = 0, tcp = 0;
  ASSERT_TRUE(tracker.Ports(udp, tcp));

  SAnnouncer a;
  a.Announce(PrefsFor(udp, 6101, "No password"), 1);
  a.Announce(PrefsFor(udp, 6102, "Wrong", "opensesam"), 1);
  a.Announce(PrefsFor(udp, 6103, "Right", "opensesame"), 1);
  const auto listing = ListingWith(tcp, 6103);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].name, "Right");
}

TEST(TrackerProcess, ClosesOnABadGreeting) {
  CTrackerProcess tracker({"--udp-port", "0", "--tcp-port", "0"});
  Uint16 udp = 0, tcp = 0;
  ASSERT_TRUE(tracker.Ports(udp, tcp));

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(tcp);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  const char bad[] = {'C', 'V', 'T', 'K', 0, 9};
  ASSERT_EQ(::send(fd, bad, sizeof bad, 0), ssize_t(sizeof bad));
  char buf[16];
  EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 0) << "the tracker answered a bad greeting";
  ::close(fd);

  // Still serving.
  cvtest::InitTransportOnce();
  const auto listing = cvtest::FetchListing(tcp);
  ASSERT_TRUE(listing.has_value());
  EXPECT_TRUE(listing->empty());
}

TEST(TrackerProcess, HelpVersionAndBadOptions) {
  {
    CTrackerProcess p({"--help"});
    EXPECT_NE(p.FirstLine().find("Usage: corvane-tracker"), std::string::npos);
    EXPECT_EQ(p.Wait(), 0);
  }
  {
    CTrackerProcess p({"--version"});
    EXPECT_EQ(p.FirstLine(), std::string("corvane-tracker ") + CORVANE_VERSION + "\n");
    EXPECT_EQ(p.Wait(), 0);
  }
  {
    CTrackerProcess p({"--udp-port", "banana"});
    EXPECT_EQ(p.Wait(), 2);
  }
  {
    // Two trackers cannot share a port.
    CTrackerProcess first({"--udp-port", "0", "--tcp-port", "0"});
    Uint16 udp = 0, tcp = 0;
    ASSERT_TRUE(first.Ports(udp, tcp));
    CTrackerProcess second({"--udp-port", std::to_string(udp), "--tcp-port", "0"});
    EXPECT_EQ(second.Wait(), 1);
  }
}

// A whole server on this thread's loop announces itself to the tracker program at start,
// again every five minutes of the framework clock with the users connected by then, and
// the listing client reads it back.
TEST(TrackerProcess, ServerRegistersAtStartAndEveryFiveMinutes) {
  cvtest::InitTransportOnce();
  CTrackerProcess tracker({"--udp-port", "0", "--tcp-port", "0", "--password", "pw"});
  Uint16 udp = 0, tcp = 0;
  ASSERT_TRUE(tracker.Ports(udp, tcp));

  cvtest::TempFolder tmp;
  SServerSettings settings;
  settings.folder = tmp.Path() + "/srv";
  settings.port = 0;
  std::vector<std::string> lines;
  settings.logHook = [&](std::string_view line) { lines.emplace_back(line); };
  std::filesystem::create_directories(settings.folder);
  SServerPrefs prefs = PrefsFor(udp, 5500, "End to end");
  prefs.options |= optConfirmQuit;
  prefs.trackers[0].password = "pw";
  prefs.trackers[2] = {"127.0.0.1:" + std::to_string(udp), "wrong"};  // refused by the tracker
  SaveServerPrefs(settings.folder, prefs);

  auto app = std::make_unique<CMyApplication>(settings);
  app->Start();
  CreateFirstAccounts(app->Accounts());
  EXPECT_TRUE(app->TrackerTimerRunning());
  const Uint16 port = app->Port();

  auto listing = ListingWith(tcp, port);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].name, "End to end");
  EXPECT_EQ(listing[0].description, "A server \xD2with\xD3 quotes");
  EXPECT_EQ(listing[0].port, port);
  EXPECT_EQ(listing[0].users, 0);

  cvtest::TestClient a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_EQ(a.Login("", "", "a"), 0u);
  ASSERT_TRUE(b.Connect(port));
  ASSERT_EQ(b.Login("", "", "b"), 0u);
  // No new announcement before the five minutes are up.
  listing = ListingWith(tcp, port);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].users, 0);

  UClock::Advance(kTrackerRegisterIntervalMs);
  bool updated = false;
  for (int attempt = 0; attempt < 100 && !updated; ++attempt) {
    UEventLoop::RunUntilFor([] { return false; }, 20);
    listing = ListingWith(tcp, port);
    updated = listing.size() == 1 && listing[0].users == 2;
  }
  EXPECT_TRUE(updated) << "the five-minute announcement never arrived";
  EXPECT_EQ(listing[0].name, "End to end");

  // Headless, the statistics come as a log line on the same period.
  bool statsLine = false;
  for (const std::string& l : lines) statsLine = statsLine || l.find("Currently Connected: 2, ") != std::string::npos;
  EXPECT_TRUE(statsLine);

  UClock::SetTestOffset(0);
  app.reset();
  tracker.Term();
  EXPECT_EQ(tracker.Wait(), 0);
}
