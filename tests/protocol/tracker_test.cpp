#include "protocol/tracker.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "framework/errors.h"

using namespace cv;

namespace {

Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(Uint8(x));
  return out;
}

Bytes B(std::string_view s) { return Bytes(reinterpret_cast<const Uint8*>(s.data()), s.size()); }

void ExpectError(const std::function<void()>& fn, Int16 cls, Int16 id) {
  try {
    fn();
    ADD_FAILURE() << "no error raised, expected (" << cls << ", " << id << ")";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(cls, id)) << "got (" << e.errClass << ", " << e.id << ")";
  }
}

STrackerServer Server(Uint8 last, Uint16 port, Uint16 users, std::string name, std::string desc) {
  STrackerServer s;
  s.address = {10, 0, 0, last};
  s.port = port;
  s.users = users;
  s.name = std::move(name);
  s.description = std::move(desc);
  return s;
}

Bytes Greeting() {
  auto g = EncodeTrackerGreeting();
  return Bytes(g.begin(), g.end());
}

}  // namespace

TEST(TrackerGreeting, BytesAndChecks) {
  EXPECT_EQ(Greeting(), B({'C', 'V', 'T', 'K', 0, 1}));
  const Bytes g = Greeting();
  CheckTrackerGreeting(g);
  EXPECT_TRUE(IsTrackerGreeting(g));
  ExpectError([] { CheckTrackerGreeting(B({'C', 'V', 'T', 'X', 0, 1})); }, errClassGeneral, errBadFormat);
  ExpectError([] { CheckTrackerGreeting(B({'C', 'V', 'T', 'K', 0, 2})); }, errClassGeneral, errBadVersion);
  ExpectError([] { CheckTrackerGreeting(B({'C', 'V', 'T', 'K', 0})); }, errClassGeneral, errBadArgument);
  EXPECT_FALSE(IsTrackerGreeting(B({'C', 'V', 'T', 'K', 1, 1})));
}

TEST(TrackerRegistration, DatagramBytesMatchHandBuiltBuffer) {
  STrackerRegistration r;
  r.port = 5500;
  r.users = 3;
  r.serverId = 0x01020304;
  r.name = "Test";
  EXPECT_EQ(EncodeTrackerRegistration(r),
            B({0x00, 0x01, 0x15, 0x7C, 0x00, 0x03, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 4, 'T', 'e', 's', 't', 0, 0}));

  r.description = "Hi";
  r.password = "pw\xD2";
  r.serverId = 0xFFFEFDFC;
  EXPECT_EQ(EncodeTrackerRegistration(r), B({0x00, 0x01, 0x15, 0x7C, 0x00, 0x03, 0x00, 0x00, 0xFF, 0xFE, 0xFD, 0xFC,
                                             4,    'T',  'e',  's',  't',  2,    'H',  'i',  3,    'p',  'w',  0xD2}));
  const auto back = ParseTrackerRegistration(EncodeTrackerRegistration(r));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, r);
}

TEST(TrackerRegistration, LongTextsAreCutToACountedString) {
  STrackerRegistration r;
  r.name = std::string(300, 'n');
  r.description = std::string(256, 'd');
  r.password = std::string(255, 'p');
  const Bytes d = EncodeTrackerRegistration(r);
  EXPECT_EQ(d.size(), kTrackerRegistrationMaxSize);
  const auto back = ParseTrackerRegistration(d);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->name, std::string(255, 'n'));
  EXPECT_EQ(back->description, std::string(255, 'd'));
  EXPECT_EQ(back->password, r.password);
}

TEST(TrackerRegistration, MalformedDatagramsAreRejected) {
  const Bytes good = B({0, 1, 0x15, 0x7C, 0, 3, 0, 0, 1, 2, 3, 4, 2, 'A', 'B', 1, 'd', 1, 'p'});
  ASSERT_TRUE(ParseTrackerRegistration(good).has_value());
  // Every proper prefix is truncated somewhere.
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(ParseTrackerRegistration(ByteView(good.data(), n)).has_value()) << n;

  struct Case {
    const char* what;
    Bytes data;
  } cases[] = {
      {"other kind", B({0, 2, 0x15, 0x7C, 0, 3, 0, 0, 1, 2, 3, 4, 0, 0, 0})},
      {"name past end", B({0, 1, 0x15, 0x7C, 0, 3, 0, 0, 1, 2, 3, 4, 9, 'A', 0, 0})},
      {"description past end", B({0, 1, 0x15, 0x7C, 0, 3, 0, 0, 1, 2, 3, 4, 1, 'A', 200, 0})},
      {"password past end", B({0, 1, 0x15, 0x7C, 0, 3, 0, 0, 1, 2, 3, 4, 1, 'A', 0, 255})},
  };
  for (const Case& c : cases) EXPECT_FALSE(ParseTrackerRegistration(c.data).has_value()) << c.what;

  Bytes trailing = good;
  trailing += B({9, 9, 9});
  const auto r = ParseTrackerRegistration(trailing);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->password, "p");
}

TEST(TrackerBatch, ParsesRecordsAndStopsAtATruncatedOne) {
  const Bytes r1 = EncodeTrackerRecord(Server(1, 5500, 7, "One", "First"));
  EXPECT_EQ(r1, B({10, 0, 0, 1, 0x15, 0x7C, 0, 7, 0, 0, 3, 'O', 'n', 'e', 5, 'F', 'i', 'r', 's', 't'}));
  const Bytes r2 = EncodeTrackerRecord(Server(2, 6000, 0, "", ""));
  EXPECT_EQ(r2.size(), kTrackerRecordMinSize);

  Bytes data = B({0, 5, 0, 2});
  data += r1;
  data += r2;
  std::vector<STrackerServer> out;
  Uint16 total = 0;
  ASSERT_TRUE(ParseTrackerBatch(data, total, out));
  EXPECT_EQ(total, 5);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], Server(1, 5500, 7, "One", "First"));
  EXPECT_EQ(out[1], Server(2, 6000, 0, "", ""));

  // Cut the second record at every length: the first always stays, the second never.
  for (std::size_t cut = 1; cut <= r2.size(); ++cut) {
    out.clear();
    ASSERT_TRUE(ParseTrackerBatch(ByteView(data.data(), data.size() - cut), total, out));
    EXPECT_EQ(out.size(), 1u) << cut;
  }
  // A name whose end reaches the end of the data leaves no room for the description.
  Bytes nameToEnd = B({0, 1, 0, 1, 1, 2, 3, 4, 0, 1, 0, 0, 0, 2, 'a', 'b'});
  out.clear();
  ASSERT_TRUE(ParseTrackerBatch(nameToEnd, total, out));
  EXPECT_TRUE(out.empty());
  // Shorter than the head plus one record: nothing; shorter than the head: no total.
  out.clear();
  EXPECT_TRUE(ParseTrackerBatch(B({0, 1, 0, 1, 1, 2, 3, 4, 0, 1, 0, 0, 0, 0, 0}), total, out));
  EXPECT_TRUE(out.empty());
  total = 77;
  EXPECT_FALSE(ParseTrackerBatch(B({0, 1, 0}), total, out));
  EXPECT_EQ(total, 77);
}

namespace {

// A tracker's answer: greeting, a stray message, two batches (3 + 2 records), and a
// batch with a truncated record that adds nothing.
struct Listing {
  std::vector<STrackerServer> servers;
  Bytes stream;
};

Listing MakeListing() {
  Listing l;
  for (int i = 0; i < 5; ++i)
    l.servers.push_back(Server(Uint8(i + 1), Uint16(5500 + i), Uint16(i), "Server " + std::to_string(i),
                               std::string(std::size_t(i * 40), char('a' + i))));
  auto batch = [&](std::size_t from, std::size_t to) {
    Bytes data;
    AppendU16(data, 5);
    AppendU16(data, Uint16(to - from));
    for (std::size_t i = from; i < to; ++i) data += EncodeTrackerRecord(l.servers[i]);
    return EncodeTrackerMessage(trkServerList, data);
  };
  l.stream = Greeting();
  l.stream += EncodeTrackerMessage(7, B("ignored"));
  l.stream += batch(0, 3);
  l.stream += EncodeTrackerMessage(9, {});
  l.stream += EncodeTrackerMessage(trkServerList, B({0, 5, 0, 1, 1, 2, 3, 4, 0, 1, 0, 0, 0, 9}));
  l.stream += batch(3, 5);
  return l;
}

}  // namespace

TEST(TrackerListReader, ReadsTheListingSplitAnywhere) {
  const Listing l = MakeListing();
  for (std::size_t split = 0; split <= l.stream.size(); ++split) {
    CTrackerListReader r;
    EXPECT_EQ(r.Feed(ByteView(l.stream.data(), split)), split);
    EXPECT_EQ(r.Complete(), split == l.stream.size()) << split;
    r.Feed(ByteView(l.stream.data() + split, l.stream.size() - split));
    ASSERT_TRUE(r.Complete()) << split;
    EXPECT_EQ(r.Servers(), l.servers) << split;
    EXPECT_EQ(r.Total(), 5);
    r.Closed();
  }
  CTrackerListReader bytewise;
  for (Uint8 b : l.stream) bytewise.Feed(ByteView(&b, 1));
  EXPECT_TRUE(bytewise.Complete());
  EXPECT_EQ(bytewise.TakeServers(), l.servers);
}

TEST(TrackerListReader, StopsTakingBytesOnceComplete) {
  Bytes s = Greeting();
  s += EncodeTrackerMessage(trkServerList, B({0, 0, 0, 0}));
  const std::size_t end = s.size();
  s += B({0xDE, 0xAD});
  CTrackerListReader r;
  EXPECT_EQ(r.Feed(s), end);
  EXPECT_TRUE(r.Complete());
  EXPECT_TRUE(r.Servers().empty());
  EXPECT_EQ(r.Feed(s), 0u);
}

TEST(TrackerListReader, BadGreetingsAndEarlyCloseAreErrors) {
  ExpectError([] { CTrackerListReader().Feed(B({'C', 'V', 'T', 'k', 0, 1})); }, errClassGeneral, errBadFormat);
  ExpectError([] { CTrackerListReader().Feed(B({'C', 'V', 'T', 'K', 1, 0})); }, errClassGeneral, errBadVersion);

  CTrackerListReader failed;
  ExpectError([&] { failed.Feed(B({'X', 'V', 'T', 'K', 0, 1})); }, errClassGeneral, errBadFormat);
  // It stays failed: a good stream afterwards is not taken.
  ExpectError([&] { failed.Feed(MakeListing().stream); }, errClassGeneral, errBadFormat);

  const Listing l = MakeListing();
  CTrackerListReader partial;
  partial.Feed(ByteView(l.stream.data(), l.stream.size() - 1));
  EXPECT_FALSE(partial.Complete());
  EXPECT_EQ(partial.Servers().size(), 3u);
  ExpectError([&] { partial.Closed(); }, errClassNetwork, 102);
  ExpectError([] { CTrackerListReader().Closed(); }, errClassNetwork, 102);
}

TEST(TrackerListReader, GivesUpOnAnEndlessListing) {
  // A tracker that never reaches its total must not make the client hold everything.
  Bytes filler = EncodeTrackerMessage(2, Bytes(kTrackerMaxMessageData, 0));
  CTrackerListReader r;
  r.Feed(Greeting());
  std::size_t fed = kTrackerGreetingSize;
  try {
    while (fed <= kTrackerMaxListingBytes + filler.size()) fed += r.Feed(filler);
    ADD_FAILURE() << "the reader took " << fed << " bytes";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(errClassGeneral, errBadFormat));
  }
  EXPECT_LE(fed, kTrackerMaxListingBytes);
}

TEST(TrackerListing, EncoderBatchesWithinTheLimitAndReadsBack) {
  std::vector<STrackerServer> servers;
  for (int i = 0; i < 300; ++i)
    servers.push_back(Server(Uint8(i), Uint16(i), Uint16(i * 3), std::string(std::size_t(i % 256), 'N'),
                             std::string(std::size_t((i * 7) % 256), 'D')));
  for (std::size_t maxData : {std::size_t(0), std::size_t(600), std::size_t(4000), kTrackerMaxMessageData}) {
    const Bytes listing = EncodeTrackerListing(servers, maxData);
    // Walk the frames: each within the limit (never below one largest record).
    std::size_t at = 0, batches = 0;
    while (at < listing.size()) {
      ASSERT_LE(at + 4, listing.size());
      const std::size_t len = ReadU16(listing.data() + at + 2);
      EXPECT_EQ(ReadU16(listing.data() + at), trkServerList);
      EXPECT_LE(len, std::max<std::size_t>(maxData, 4 + 12 + 510));
      EXPECT_EQ(ReadU16(listing.data() + at + 4), 300);
      at += 4 + len;
      ++batches;
    }
    EXPECT_EQ(at, listing.size());
    EXPECT_GT(batches, 1u);

    CTrackerListReader r;
    r.Feed(Greeting());
    EXPECT_EQ(r.Feed(listing), listing.size());
    ASSERT_TRUE(r.Complete());
    EXPECT_EQ(r.Servers(), servers);
  }

  const Bytes none = EncodeTrackerListing({});
  EXPECT_EQ(none, B({0, 1, 0, 4, 0, 0, 0, 0}));
  ExpectError([] { EncodeTrackerMessage(1, Bytes(0x10000, 0)); }, errClassGeneral, errFieldTooLarge);
}

TEST(TrackerAddress, ParsesHostAndPort) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    Uint16 port;
  } cases[] = {
      {"tracker.example.net", true, "tracker.example.net", 5499},
      {"10.0.0.1:6000", true, "10.0.0.1", 6000},
      {"host:65535", true, "host", 65535},
      {"host:1", true, "host", 1},
      {"", false, "", 0},
      {":5499", false, "", 0},
      {"host:", false, "", 0},
      {"host:0", false, "", 0},
      {"host:65536", false, "", 0},
      {"host:123456", false, "", 0},
      {"host:12a", false, "", 0},
      {"host:-1", false, "", 0},
      {"host:1:2", false, "", 0},
  };
  for (const Case& c : cases) {
    const auto a = ParseTrackerAddress(c.text, kTrackerRegistrationPort);
    ASSERT_EQ(a.has_value(), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(a->host, c.host);
    EXPECT_EQ(a->port, c.port);
  }
  EXPECT_EQ(ParseTrackerAddress("h", kTrackerListingPort)->port, 5498);
  EXPECT_FALSE(ParseTrackerAddress(std::string(256, 'h'), 5498).has_value());
  EXPECT_EQ(TrackerAddressText({"h", 5498}), "h:5498");
}

TEST(TrackerAddress, NameRecordTakesThePortFromTheTextWhenItHasOne) {
  const SInternetNameAddress plain = TrackerNameRecord("tracker.example.net", kTrackerRegistrationPort);
  EXPECT_EQ(plain.type, kAddressInternetName);
  EXPECT_EQ(plain.port, 5499);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.text), plain.length), "tracker.example.net");
  EXPECT_EQ(plain.Size(), 5u + 19u);

  const SInternetNameAddress withPort = TrackerNameRecord("10.0.0.1:6000", kTrackerRegistrationPort);
  EXPECT_EQ(withPort.port, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(withPort.text), withPort.length), "10.0.0.1:6000");
}
