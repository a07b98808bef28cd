#include "server/admission.h"

#include <gtest/gtest.h>

using namespace cv;

namespace {
constexpr Uint32 kA = 0x7F000001, kB = 0x7F000002;
}

TEST(BanList, EntriesLast1800Seconds) {
  CMyBanList bans;
  bans.Add(kA, 1000);
  bans.Expire(2800);
  EXPECT_TRUE(bans.Contains(kA));
  bans.Expire(2801);
  EXPECT_FALSE(bans.Contains(kA));
  EXPECT_EQ(bans.Size(), 0u);

  // Across a wrap of the seconds clock.
  bans.Add(kB, 0xFFFFFF00u);
  bans.Expire(0x100);
  EXPECT_TRUE(bans.Contains(kB));
  bans.Expire(0xFFFFFF00u + 1801);
  EXPECT_FALSE(bans.Contains(kB));
}

TEST(BanList, HoldsThirtyTwoAndDropsTheOldest) {
  CMyBanList bans;
  for (Uint32 i = 0; i < 32; ++i) bans.Add(100 + i, i);
  EXPECT_EQ(bans.Size(), 32u);
  bans.Add(999, 40);
  EXPECT_EQ(bans.Size(), 32u);
  EXPECT_FALSE(bans.Contains(100));
  EXPECT_TRUE(bans.Contains(101));
  EXPECT_TRUE(bans.Contains(999));
  EXPECT_EQ(bans.Entries().front().address, 101u);
  EXPECT_EQ(bans.Entries().back().address, 999u);
  EXPECT_EQ(bans.Entries().back().added, 40u);
}

TEST(ConnectFlood, TwelfthQuickConnectionOfARunFloods) {
  CMyConnectFlood flood;
  for (int i = 1; i <= 11; ++i) EXPECT_FALSE(flood.Check(kA, 100 + Uint32(i))) << i;
  EXPECT_TRUE(flood.Check(kA, 129));  // 12th, 29 s after the first (at 101)
  EXPECT_TRUE(flood.Check(kA, 130));
}

TEST(ConnectFlood, AnotherAddressStartsANewRun) {
  CMyConnectFlood flood;
  for (int i = 0; i < 11; ++i) EXPECT_FALSE(flood.Check(kA, 10));
  EXPECT_FALSE(flood.Check(kB, 10));
  for (int i = 0; i < 11; ++i) EXPECT_FALSE(flood.Check(kA, 11)) << i;
  EXPECT_TRUE(flood.Check(kA, 11));
}

TEST(ConnectFlood, ARunOlderThanThirtySecondsNeverFloods) {
  CMyConnectFlood flood;
  EXPECT_FALSE(flood.Check(kA, 0));
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(flood.Check(kA, 1));
  EXPECT_FALSE(flood.Check(kA, 30));  // run count 11, but 30 s after the run began
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(flood.Check(kA, 31));
  EXPECT_FALSE(flood.Check(kB, 40));
  for (int i = 0; i < 11; ++i) flood.Check(kA, 41);
  EXPECT_TRUE(flood.Check(kA, 42));
}

TEST(Admission, ChecksRunInOrderAndFloodingBans) {
  CMyAdmission adm;
  // Five at once from one address are fine, a sixth is not (and does not count as a run).
  for (std::size_t open = 0; open < 5; ++open) EXPECT_EQ(adm.Admit(kA, open, 0), EAdmission::Accept);
  EXPECT_EQ(adm.Admit(kA, 5, 0), EAdmission::TooManyFromAddress);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(adm.Admit(kA, 0, 1), EAdmission::Accept);
  EXPECT_EQ(adm.Admit(kA, 0, 2), EAdmission::Flooding);  // run count 11
  EXPECT_TRUE(adm.Bans().Contains(kA));
  EXPECT_EQ(adm.Admit(kA, 0, 3), EAdmission::Banned);
  EXPECT_EQ(adm.Admit(kA, 0, 1802), EAdmission::Banned);
  EXPECT_EQ(adm.Admit(kB, 0, 1803), EAdmission::Accept);
  EXPECT_EQ(adm.Admit(kA, 0, 1803), EAdmission::Accept);  // ban expired, new run began
  EXPECT_EQ(adm.Bans().Size(), 0u);

  // A ban from elsewhere (DisconnectUser) is honoured before the other checks.
  adm.Bans().Add(kB, 2000);
  EXPECT_EQ(adm.Admit(kB, 9, 2001), EAdmission::Banned);
}

TEST(UserInfoFlood, TwentySixPassTheTwentySeventhFloods) {
  Uint32 start = 0;
  Uint16 count = 0;
  for (int i = 1; i <= 26; ++i) EXPECT_FALSE(UserInfoFloods(start, count, 1000)) << i;
  EXPECT_TRUE(UserInfoFloods(start, count, 1000));
  EXPECT_TRUE(UserInfoFloods(start, count, 1060));   // still the same window
  EXPECT_FALSE(UserInfoFloods(start, count, 1061));  // a new window
  EXPECT_EQ(start, 1061u);
  EXPECT_EQ(count, 1);
}

TEST(UserIds, RunFromOneAndSkipZero) {
  Uint16 last = 0;
  EXPECT_EQ(NextUserId(last), 1);
  EXPECT_EQ(NextUserId(last), 2);
  last = 65534;
  EXPECT_EQ(NextUserId(last), 65535);
  EXPECT_EQ(NextUserId(last), 1);
}
