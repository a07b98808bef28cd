#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/clock.h"
#include "framework/transport.h"
#include "listing_fetch.h"
#include "server/tracker_registration.h"
#include "tracker/tracker.h"

using namespace cv;

namespace {

STrackerRegistration Reg(Uint16 port, std::string name, std::string password = "") {
  STrackerRegistration r;
  r.port = port;
  r.users = 2;
  r.serverId = 42;
  r.name = std::move(name);
  r.description = "about";
  r.password = std::move(password);
  return r;
}

constexpr std::array<Uint8, 4> kHostA{10, 0, 0, 1};
constexpr std::array<Uint8, 4> kHostB{10, 0, 0, 2};

}  // namespace

TEST(TrackerList, AddsUpdatesAndExpiresAfterTenMinutes) {
  CTrackerList list;
  EXPECT_EQ(list.Register(kHostA, Reg(5500, "A"), 0), CTrackerList::EResult::Added);
  EXPECT_EQ(list.Register(kHostB, Reg(5500, "B"), 1000), CTrackerList::EResult::Added);
  // Same address and port: the same server, renamed, with its new user count.
  STrackerRegistration renamed = Reg(5500, "A2");
  renamed.users = 9;
  EXPECT_EQ(list.Register(kHostA, renamed, 2000), CTrackerList::EResult::Updated);
  EXPECT_EQ(list.Register(kHostA, Reg(5600, "A3"), 3000), CTrackerList::EResult::Added);

  auto servers = list.Servers(3000);
  ASSERT_EQ(servers.size(), 3u);
  EXPECT_EQ(servers[0].name, "A2");
  EXPECT_EQ(servers[0].users, 9);
  EXPECT_EQ(servers[0].address, kHostA);
  EXPECT_EQ(servers[1].port, 5600);
  EXPECT_EQ(servers[2].name, "B");

  // B was last heard at 1000: gone from listings at 1000 + 15 min even before a sweep.
  EXPECT_EQ(list.Servers(1000 + kTrackerExpiryMs - 1).size(), 3u);
  EXPECT_EQ(list.Servers(1000 + kTrackerExpiryMs).size(), 2u);
  EXPECT_EQ(list.Expire(2000 + kTrackerExpiryMs), 2u);
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list.Servers(2000 + kTrackerExpiryMs)[0].name, "A3");
}

TEST(TrackerList, PasswordsAndLimits) {
  CTrackerList list;
  list.SetPasswords({"secret", "other"});
  EXPECT_EQ(list.Register(kHostA, Reg(1, "x", "wrong"), 0), CTrackerList::EResult::BadPassword);
  EXPECT_EQ(list.Register(kHostA, Reg(1, "x", ""), 0), CTrackerList::EResult::BadPassword);
  EXPECT_EQ(list.Register(kHostA, Reg(1, "x", "other"), 0), CTrackerList::EResult::Added);
  EXPECT_EQ(list.Size(), 1u);

  CTrackerList many;
  for (Uint16 p = 1; p <= kTrackerMaxServersPerAddress; ++p)
    EXPECT_EQ(many.Register(kHostA, Reg(p, "m"), 0), CTrackerList::EResult::Added);
  EXPECT_EQ(many.Register(kHostA, Reg(9999, "m"), 0), CTrackerList::EResult::Full);
  EXPECT_EQ(many.Register(kHostA, Reg(1, "again"), 0), CTrackerList::EResult::Updated);
  EXPECT_EQ(many.Register(kHostB, Reg(9999, "b"), 0), CTrackerList::EResult::Added);

  CTrackerList full;
  std::size_t n = 0;
  for (Uint8 a = 1; n < kTrackerMaxServers; ++a)
    for (Uint16 p = 1; p <= 16 && n < kTrackerMaxServers; ++p, ++n)
      ASSERT_EQ(full.Register({192, 168, 0, a}, Reg(p, "f"), 0), CTrackerList::EResult::Added);
  EXPECT_EQ(full.Register(kHostA, Reg(1, "late"), 1), CTrackerList::EResult::Full);
  // Once the old ones are stale, a newcomer gets in.
  EXPECT_EQ(full.Register(kHostA, Reg(1, "late"), kTrackerExpiryMs), CTrackerList::EResult::Added);
  EXPECT_EQ(full.Size(), 1u);
}

TEST(TrackerList, PasswordFileIsReadLineByLine) {
  const auto dir = std::filesystem::temp_directory_path() / ("corvane-trk-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(LoadTrackerPasswords(dir.string()).empty());
  std::ofstream(dir / "Passwords", std::ios::binary) << "one\r\n\ntwo\nthree";
  EXPECT_EQ(LoadTrackerPasswords(dir.string()), (std::set<std::string>{"one", "two", "three"}));
  EXPECT_TRUE(LoadTrackerPasswords("").empty());
  std::filesystem::remove_all(dir);
}

TEST(TrackerOptions, CommandLine) {
  struct Case {
    std::vector<const char*> args;
    bool ok;
    Uint16 udp, tcp;
    const char* bind;
    const char* password;  // nullptr: none
  } cases[] = {
      {{}, true, 5499, 5498, "127.0.0.1", nullptr},
      {{"--udp-port", "7000"}, true, 7000, 5498, "127.0.0.1", nullptr},
      {{"--udp-port=0", "--tcp-port=0"}, true, 0, 0, "127.0.0.1", nullptr},
      {{"--udp-port", "7000", "--tcp-port", "8000", "--bind", "0.0.0.0"}, true, 7000, 8000, "0.0.0.0", nullptr},
      {{"--password", "s3cret"}, true, 5499, 5498, "127.0.0.1", "s3cret"},
      {{"--password=a b"}, true, 5499, 5498, "127.0.0.1", "a b"},
      {{"--password", ""}, false, 0, 0, "", nullptr},
      {{"--password", "0123456789012345678901234567890123"}, false, 0, 0, "", nullptr},
      {{"--password"}, false, 0, 0, "", nullptr},
      {{"--udp-port", "70000"}, false, 0, 0, "", nullptr},
      {{"--tcp-port", "12x"}, false, 0, 0, "", nullptr},
      {{"--udp-port", ""}, false, 0, 0, "", nullptr},
      {{"--tcp-port"}, false, 0, 0, "", nullptr},
      {{"--port", "7000"}, false, 0, 0, "", nullptr},
      {{"--bind", "localhost"}, false, 0, 0, "", nullptr},
      {{"--frobnicate"}, false, 0, 0, "", nullptr},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"corvane-tracker"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    STrackerOptions o;
    std::string error;
    const bool ok = ParseTrackerOptions(int(argv.size()), argv.data(), o, error);
    ASSERT_EQ(ok, c.ok) << (c.args.empty() ? "" : c.args[0]) << " " << error;
    if (!ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(o.udpPort, c.udp);
    EXPECT_EQ(o.tcpPort, c.tcp);
    EXPECT_EQ(o.bind, c.bind);
    EXPECT_EQ(o.password.has_value(), c.password != nullptr);
    if (c.password) {
      EXPECT_EQ(*o.password, c.password);
    }
  }
  const char* argv[] = {"t", "--dir", "/tmp/x", "--help", "--version"};
  STrackerOptions o;
  std::string error;
  ASSERT_TRUE(ParseTrackerOptions(5, argv, o, error));
  EXPECT_EQ(o.dir, "/tmp/x");
  EXPECT_TRUE(o.help && o.version);
}

// The service on this thread's loop: an announcement from the server's own
// registration piece through the framework's UDP transport, a listing through the
// client-side reader, and expiry driven by the framework clock.
TEST(TrackerService, ListsAnnouncedServersAndForgetsSilentOnes) {
  cvtest::InitTransportOnce();
  STrackerOptions options;
  options.udpPort = 0;
  options.tcpPort = 0;
  CTrackerService service;
  service.Start(options);
  ASSERT_NE(service.RegistrationPort(), 0);
  ASSERT_NE(service.ListingPort(), 0);

  SServerPrefs prefs;
  prefs.options = optRegisterWithTrackers;
  prefs.port = 5500;
  prefs.serverName = "In process";
  prefs.serverDescription = "loop";
  prefs.trackers = {};
  prefs.trackers[0].address = "127.0.0.1:" + std::to_string(service.RegistrationPort());
  CTrackerRegistration reg(prefs);
  TransportPtr udp(UTransport::New(kTransportUDP));
  auto send = [&](const SInternetNameAddress& a, ByteView d) {
    UTransport::SendUnit(udp.get(), &a, a.Size(), d.data(), Uint32(d.size()));
  };
  ASSERT_EQ(reg.Register(UClock::Milliseconds(), 6, send), 1u);
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return service.List().Size() == 1; }, 5000));

  auto listing = cvtest::FetchListing(service.ListingPort());
  ASSERT_TRUE(listing.has_value());
  ASSERT_EQ(listing->size(), 1u);
  EXPECT_EQ((*listing)[0].name, "In process");
  EXPECT_EQ((*listing)[0].users, 6);
  EXPECT_EQ((*listing)[0].address, (std::array<Uint8, 4>{127, 0, 0, 1}));
  // The finished client is let go.
  EXPECT_TRUE(UEventLoop::RunUntilFor([&] { return service.ClientCount() == 0; }, 5000));

  UClock::Advance(kTrackerExpiryMs + 1000);
  EXPECT_TRUE(UEventLoop::RunUntilFor([&] { return service.List().Size() == 0; }, 5000));
  UClock::Advance(-(kTrackerExpiryMs + 1000));
  listing = cvtest::FetchListing(service.ListingPort());
  ASSERT_TRUE(listing.has_value());
  EXPECT_TRUE(listing->empty());
  service.Stop();
}
