#include "server/prefs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "temp_folder.h"

using namespace cv;

namespace {

SServerPrefs Sample() {
  SServerPrefs p;
  p.visibility = visMainWindow | visStatsWindow;
  p.mainFrame = {10, 20, 300, 400};
  p.logFrame = {-5, 0, 100, 50};
  p.statsFrame = {1, 2, 3, 4};
  p.options = optLogDownloads | optLogAccounts | optRegisterWithTrackers;
  p.port = 6000;
  p.maxDownloads = 7;
  p.aliasMayAsk = 1;
  p.serverId = -123456789;
  p.serverName = "My Server";
  p.serverDescription = "A place \xD2with\xD3 quotes";
  for (std::size_t i = 0; i < kTrackerCount; ++i) {
    p.trackers[i].address = "tracker" + std::to_string(i) + ".example";
    p.trackers[i].password = "pw" + std::to_string(i);
  }
  return p;
}

// Defaults as the server starts with them; the random id aside.
void ExpectDefaults(const SServerPrefs& p) {
  EXPECT_EQ(p.options, 0x30u);
  EXPECT_EQ(p.port, 5500);
  EXPECT_EQ(p.maxDownloads, 100);
  EXPECT_EQ(p.visibility, 7);
  EXPECT_NE(p.serverId, 0);
  EXPECT_EQ(p.serverName, "");
  EXPECT_EQ(p.trackers[0].address, kDefaultTrackerHost);
  for (std::size_t i = 1; i < kTrackerCount; ++i) EXPECT_EQ(p.trackers[i], STrackerEntry{});
}

}  // namespace

TEST(Prefs, EncodesTheFixedPartAndTheStringSequence) {
  SServerPrefs p;
  p.options = 0x12345678;
  p.port = 0xABCD;
  p.maxDownloads = 3;
  p.aliasMayAsk = 9;
  p.serverId = Int32(0x80000001u);
  p.mainFrame = {-1, 2, 3, 4};
  p.serverName = "N";
  p.serverDescription = "DD";
  p.trackers[4].password = "P";
  Bytes b = EncodeServerPrefs(p);
  ASSERT_EQ(b.size(), 96u + 1 + 2 + 1);
  EXPECT_EQ(ReadU16(&b[0]), 4);
  EXPECT_EQ(ReadU16(&b[2]), 7);
  EXPECT_EQ(Int16(ReadU16(&b[4])), -1);
  EXPECT_EQ(ReadU16(&b[10]), 4);
  for (std::size_t i = 28; i < 60; ++i) EXPECT_EQ(b[i], 0) << i;
  EXPECT_EQ(ReadU32(&b[60]), 0x12345678u);
  EXPECT_EQ(ReadU16(&b[64]), 0xABCD);
  EXPECT_EQ(ReadU16(&b[66]), 3);
  EXPECT_EQ(b[70], 9);
  EXPECT_EQ(ReadU32(&b[72]), 0x80000001u);
  // reserved, empty, reserved, name, empty, description, then four empty entries.
  const Uint8 strings[] = {0, 0, 0, 1, 'N', 0, 2, 'D', 'D', 0, 0, 0, 0};
  for (std::size_t i = 0; i < sizeof strings; ++i) EXPECT_EQ(b[76 + i], strings[i]) << i;
  EXPECT_EQ(b[b.size() - 2], 1);
  EXPECT_EQ(b.back(), 'P');
}

TEST(Prefs, RoundTripKeepsEverySetting) {
  URandom random(7);
  SServerPrefs p = Sample();
  SServerPrefs back;
  ASSERT_TRUE(DecodeServerPrefs(EncodeServerPrefs(p), random, back));
  EXPECT_EQ(back, p);
}

TEST(Prefs, TextsAreCutToTheirCapacities) {
  URandom random(7);
  SServerPrefs p = Sample();
  p.serverName = std::string(40, 'n');
  p.serverDescription = std::string(300, 'd');
  p.trackers[2].address = std::string(300, 'a');
  p.trackers[2].password = std::string(40, 'p');
  SServerPrefs back;
  ASSERT_TRUE(DecodeServerPrefs(EncodeServerPrefs(p), random, back));
  EXPECT_EQ(back.serverName, std::string(31, 'n'));
  EXPECT_EQ(back.serverDescription, std::string(127, 'd'));
  EXPECT_EQ(back.trackers[2].address, std::string(255, 'a'));
  EXPECT_EQ(back.trackers[2].password, std::string(31, 'p'));

  // Longer strings written by another program are cut when read.
  Bytes b = EncodeServerPrefs(SServerPrefs{});
  b.erase(76 + 3, 1);
  b.insert(76 + 3, 1, Uint8(50));
  b.insert(76 + 4, 50, Uint8('x'));
  ASSERT_TRUE(DecodeServerPrefs(b, random, back));
  EXPECT_EQ(back.serverName, std::string(31, 'x'));
}

TEST(Prefs, ZeroPortIdAndFirstTrackerTakeTheirDefaults) {
  URandom random(99);
  SServerPrefs p = Sample();
  p.port = 0;
  p.serverId = 0;
  p.trackers[0] = {"", "kept"};
  SServerPrefs back;
  ASSERT_TRUE(DecodeServerPrefs(EncodeServerPrefs(p), random, back));
  EXPECT_EQ(back.port, 5500);
  EXPECT_NE(back.serverId, 0);
  EXPECT_EQ(back.trackers[0].address, kDefaultTrackerHost);
  EXPECT_EQ(back.trackers[0].password, "kept");
  EXPECT_EQ(back.trackers[1], p.trackers[1]);
}

TEST(Prefs, DamagedImagesAreRejectedWhole) {
  URandom random(1);
  const Bytes good = EncodeServerPrefs(Sample());
  const SServerPrefs untouched = Sample();
  auto rejected = [&](const Bytes& b) {
    SServerPrefs p = untouched;
    bool ok = DecodeServerPrefs(b, random, p);
    EXPECT_EQ(p, untouched);
    return !ok;
  };
  EXPECT_TRUE(rejected({}));
  EXPECT_TRUE(rejected(EncodeServerPrefs(SServerPrefs{}).substr(0, 95)));
  Bytes old = good;
  old[1] = 3;
  EXPECT_TRUE(rejected(old));
  Bytes newer = good;
  newer[1] = 5;
  EXPECT_TRUE(rejected(newer));
  // The last tracker password runs one byte past the end.
  EXPECT_TRUE(rejected(good.substr(0, good.size() - 1)));
  // A length byte that points far beyond the image.
  Bytes wild = EncodeServerPrefs(SServerPrefs{});
  wild[76 + 5] = 0xFF;
  EXPECT_TRUE(rejected(wild));

  // The smallest valid image: every string empty.
  SServerPrefs p;
  EXPECT_TRUE(DecodeServerPrefs(EncodeServerPrefs(SServerPrefs{}), random, p));
}

TEST(Prefs, BytesBeyond8192AreIgnored) {
  URandom random(1);
  SServerPrefs p = Sample();
  Bytes b = EncodeServerPrefs(p);
  b.resize(10000, Uint8('z'));
  SServerPrefs back;
  ASSERT_TRUE(DecodeServerPrefs(b, random, back));
  EXPECT_EQ(back, p);

  cvtest::TempFolder dir;
  cvtest::WriteFile(dir / "Prefs", b);
  EXPECT_EQ(LoadServerPrefs(dir.Path(), random), p);
}

TEST(Prefs, LoadGivesDefaultsForMissingOrBadFilesAndSaveIsWhole) {
  cvtest::TempFolder dir;
  URandom random(5);
  ExpectDefaults(LoadServerPrefs(dir.Path(), random));

  cvtest::WriteFile(dir / "Prefs", std::string(95, '\0'));
  ExpectDefaults(LoadServerPrefs(dir.Path(), random));

  std::filesystem::remove(dir / "Prefs");
  std::filesystem::create_directory(dir / "Prefs");  // not even a file
  ExpectDefaults(LoadServerPrefs(dir.Path(), random));
  std::filesystem::remove(dir / "Prefs");

  // A long old file is replaced, not overwritten in part.
  cvtest::WriteFile(dir / "Prefs", std::string(5000, 'g'));
  SaveServerPrefs(dir.Path(), Sample());
  EXPECT_EQ(cvtest::ReadFile(dir / "Prefs").size(), EncodeServerPrefs(Sample()).size());
  EXPECT_EQ(LoadServerPrefs(dir.Path(), random), Sample());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(Prefs, DefaultsDrawANonZeroServerId) {
  URandom a(3), b(3);
  SServerPrefs p = DefaultServerPrefs(a);
  EXPECT_EQ(p.serverId, DefaultServerPrefs(b).serverId);
  EXPECT_NE(p.serverId, 0);
  // The state whose next value is -2^31 gives the lowest id rather than one out of range.
  URandom edge(Int32(0x7c77a683));
  EXPECT_EQ(DefaultServerPrefs(edge).serverId, std::numeric_limits<Int32>::min());
}
