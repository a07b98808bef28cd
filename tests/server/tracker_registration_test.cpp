#include "server/tracker_registration.h"

#include <gtest/gtest.h>

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

std::string Text(const SInternetNameAddress& a) { return std::string(reinterpret_cast<const char*>(a.text), a.length); }

SServerPrefs TestPrefs() {
  SServerPrefs p;
  p.options = optRegisterWithTrackers;
  p.port = 5500;
  p.serverId = 0x01020304;
  p.serverName = "Test";
  p.trackers = {};
  p.trackers[0].address = "tracker.example.net";
  return p;
}

struct SSent {
  std::string text;
  Uint16 port;
  Bytes datagram;
};

}  // namespace

TEST(TrackerRegistrationPlan, BuildsTheDatagramAndAddressForOneTracker) {
  const STrackerPlan plan = PlanTrackerRegistration(TestPrefs(), 3);
  ASSERT_EQ(plan.datagrams.size(), 1u);
  EXPECT_TRUE(plan.unusable.empty());
  const STrackerDatagram& d = plan.datagrams[0];
  EXPECT_EQ(d.datagram,
            B({0x00, 0x01, 0x15, 0x7C, 0x00, 0x03, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 4, 'T', 'e', 's', 't', 0, 0}));
  EXPECT_EQ(d.entry, 0u);
  EXPECT_EQ(d.address.type, kAddressInternetName);
  EXPECT_EQ(d.address.port, 5499);
  EXPECT_EQ(Text(d.address), "tracker.example.net");
}

TEST(TrackerRegistrationPlan, EachFilledRowGetsItsOwnPasswordAndPort) {
  SServerPrefs p = TestPrefs();
  p.trackers[0] = {};
  p.trackers[1] = {"10.0.0.2:6000", "two"};
  p.trackers[3] = {"tracker4", "four"};
  p.serverDescription = "desc";
  const STrackerPlan plan = PlanTrackerRegistration(p, 0);
  ASSERT_EQ(plan.datagrams.size(), 2u);
  EXPECT_EQ(plan.datagrams[0].entry, 1u);
  EXPECT_EQ(plan.datagrams[0].address.port, 0);  // the text's own port, 6000
  EXPECT_EQ(Text(plan.datagrams[0].address), "10.0.0.2:6000");
  EXPECT_EQ(plan.datagrams[1].entry, 3u);
  EXPECT_EQ(plan.datagrams[1].address.port, 5499);

  const auto first = ParseTrackerRegistration(plan.datagrams[0].datagram);
  const auto second = ParseTrackerRegistration(plan.datagrams[1].datagram);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->password, "two");
  EXPECT_EQ(second->password, "four");
  EXPECT_EQ(first->description, "desc");
  // Only the password differs.
  EXPECT_EQ(plan.datagrams[0].datagram.substr(0, 12 + 5 + 5), plan.datagrams[1].datagram.substr(0, 12 + 5 + 5));
}

TEST(TrackerRegistrationPlan, NothingWhenOffOrUnnamedAndUnusableRowsAreLeftOut) {
  SServerPrefs off = TestPrefs();
  off.options = 0;
  EXPECT_TRUE(PlanTrackerRegistration(off, 1).datagrams.empty());
  SServerPrefs unnamed = TestPrefs();
  unnamed.serverName.clear();
  EXPECT_TRUE(PlanTrackerRegistration(unnamed, 1).datagrams.empty());

  SServerPrefs bad = TestPrefs();
  bad.trackers[1].address = "host:";
  bad.trackers[2].address = "host:70000";
  bad.trackers[3].address = ":5499";
  bad.trackers[4].address = "ok:5499";
  const STrackerPlan plan = PlanTrackerRegistration(bad, 1);
  ASSERT_EQ(plan.datagrams.size(), 2u);
  EXPECT_EQ(plan.datagrams[1].entry, 4u);
  EXPECT_EQ(plan.unusable, (std::vector<std::size_t>{1, 2, 3}));
}

TEST(TrackerRegistrationPlan, TextsAreCutToTheirCapacities) {
  SServerPrefs p = TestPrefs();
  p.serverName = std::string(40, 'n');
  p.serverDescription = std::string(200, 'd');
  p.trackers[0].password = std::string(50, 'p');
  const auto reg = ParseTrackerRegistration(PlanTrackerRegistration(p, 0).datagrams.at(0).datagram);
  ASSERT_TRUE(reg.has_value());
  EXPECT_EQ(reg->name.size(), kServerNameMax);
  EXPECT_EQ(reg->description.size(), kServerDescriptionMax);
  EXPECT_EQ(reg->password.size(), kTrackerPasswordMax);
}

TEST(TrackerRegistrationPlan, SavingWithoutNameOrAddressTurnsRegistrationOff) {
  SServerPrefs p = TestPrefs();
  p.options |= optLogDownloads;
  ApplyTrackerOptionRule(p);
  EXPECT_TRUE(CanRegisterWithTrackers(p));

  SServerPrefs unnamed = p;
  unnamed.serverName.clear();
  ApplyTrackerOptionRule(unnamed);
  EXPECT_EQ(unnamed.options, Uint32(optLogDownloads));

  SServerPrefs noRows = p;
  noRows.trackers = {};
  ApplyTrackerOptionRule(noRows);
  EXPECT_EQ(noRows.options, Uint32(optLogDownloads));
  EXPECT_FALSE(CanRegisterWithTrackers(noRows));
}

TEST(TrackerRegistrationClass, SendsEveryDatagramAndKeepsTime) {
  SServerPrefs p = TestPrefs();
  p.trackers[2] = {"second:7000", "x"};
  CTrackerRegistration reg(p);
  EXPECT_TRUE(reg.Due(0));

  std::vector<SSent> sent;
  bool failFirst = true;
  auto send = [&](const SInternetNameAddress& a, ByteView d) {
    if (failFirst) {
      failFirst = false;
      UError::Raise(errClassNetwork, errBadAddress);
    }
    sent.push_back({Text(a), a.port, Bytes(d.begin(), d.end())});
  };
  // The first tracker's failure does not stop the second.
  EXPECT_EQ(reg.Register(1000, 9, send), 1u);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].text, "second:7000");
  EXPECT_EQ(ReadU16(sent[0].datagram.data() + 4), 9);
  EXPECT_EQ(reg.LastRegistered(), 1000);
  EXPECT_FALSE(reg.Due(1000 + kTrackerRegisterIntervalMs - 1));
  EXPECT_TRUE(reg.Due(1000 + kTrackerRegisterIntervalMs));

  // Each announcement carries the user count of its moment.
  EXPECT_EQ(reg.Register(2000, 4, send), 2u);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(ReadU16(sent[1].datagram.data() + 4), 4);
  EXPECT_EQ(sent[1].port, 5499);

  SServerPrefs off = p;
  off.options = 0;
  reg.Configure(off);
  EXPECT_FALSE(reg.Enabled());
  EXPECT_FALSE(reg.Due(999999999));
  EXPECT_EQ(reg.Register(3000, 1, send), 0u);
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(CTrackerRegistration(p).Register(0, 0, nullptr), 0u);
}
