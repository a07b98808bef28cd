// "Corvane Prefs": the record's layout, its checks, and the file on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/prefs.h"
#include "client_fixture.h"

namespace {

using namespace cv;
using namespace cv::client;
using cvtest::TempFolder;

Uint32 LE32(const Bytes& b, std::size_t at) {
  return Uint32(b[at]) | (Uint32(b[at + 1]) << 8) | (Uint32(b[at + 2]) << 16) | (Uint32(b[at + 3]) << 24);
}

SMyClientPrefs Sample() {
  SMyClientPrefs p;
  p.visibility = 0x41;
  p.rects[winChat] = SMyRect{10, 20, 410, 320};
  p.rects[winTracker] = SMyRect{-5, 0, 100, 90};
  p.soundFlags = sndOn | sndChat | sndError;
  p.iconId = 130;
  p.uploaded = 1000;
  p.downloaded = 2000;
  p.onlineSeconds = 3600;
  p.chatBytes = 42;
  p.options = optQueueTransfers | optShowJoinLeave;
  p.userName = "Zed";
  p.tracker = "tracker.example:5600";
  p.chatFontSize = 14;
  p.chatTextColour = SMyColour{1, 2, 3};
  p.chatBackColour = SMyColour{0xFFFF, 0xEEEE, 0xDDDD};
  p.firewall = "socks.example";
  return p;
}

TEST(ClientPrefs, RecordLayoutAndRoundTrip) {
  URandom random(7);
  const SMyClientPrefs p = Sample();
  const Bytes b = EncodeClientPrefs(p, random);
  ASSERT_EQ(b.size(), kPrefsSize);
  EXPECT_EQ(b[0], 6);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], 0x41);
  EXPECT_EQ(LE32(b, 52), 10u);  // chat rectangle
  EXPECT_EQ(LE32(b, 64), 320u);
  EXPECT_EQ(LE32(b, 100), 0xFFFFFFFBu);  // tracker rectangle, left -5
  EXPECT_EQ(LE32(b, 180), p.soundFlags);
  EXPECT_EQ(b[184] | (b[185] << 8), 0xFFFF - 130);
  EXPECT_EQ(LE32(b, 192), Crc32(b.data() + 184, 8, 0xFFFFFFFF));
  EXPECT_EQ(LE32(b, 196), 1000u);
  EXPECT_EQ(LE32(b, 208), 42u);
  EXPECT_EQ(b[212], optQueueTransfers | optShowJoinLeave);
  EXPECT_EQ(b[216], 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[217]), 3), "Zed");
  EXPECT_EQ(b[248], p.tracker.size());
  EXPECT_EQ(b[376], 14);
  EXPECT_EQ(b[390], p.firewall.size());
  for (std::size_t i = 518; i < kPrefsSize; ++i) ASSERT_EQ(b[i], 0) << i;

  SMyClientPrefs back;
  ASSERT_TRUE(DecodeClientPrefs(b, back));
  EXPECT_EQ(back, p);
}

TEST(ClientPrefs, ShortOrForeignRecordsAreRefusedAndDamagedFieldsFallBack) {
  URandom random(1);
  const Bytes good = EncodeClientPrefs(Sample(), random);
  SMyClientPrefs out;
  out.userName = "kept";
  EXPECT_FALSE(DecodeClientPrefs(ByteView(good.data(), kPrefsSize - 1), out));
  Bytes v5 = good;
  v5[0] = 5;
  EXPECT_FALSE(DecodeClientPrefs(v5, out));
  EXPECT_EQ(out.userName, "kept");

  // A hand-edited icon no longer matches its check value: 414, the rest is kept.
  Bytes edited = good;
  edited[184] ^= 0x01;
  ASSERT_TRUE(DecodeClientPrefs(edited, out));
  EXPECT_EQ(out.iconId, kDefaultIconId);
  EXPECT_EQ(out.userName, "Zed");

  // Length bytes beyond their room, an empty tracker, font sizes out of range.
  Bytes odd = good;
  odd[216] = 200;
  odd[248] = 0;
  odd[390] = 255;
  odd[376] = 2;
  ASSERT_TRUE(DecodeClientPrefs(odd, out));
  EXPECT_EQ(out.userName.size(), kUserNameMax);
  EXPECT_EQ(out.tracker, kDefaultTracker);
  EXPECT_EQ(out.firewall.size(), kStoredAddressMax);
  EXPECT_EQ(out.chatFontSize, kMinChatFontSize);
  odd[376] = 72;
  ASSERT_TRUE(DecodeClientPrefs(odd, out));
  EXPECT_EQ(out.chatFontSize, kMaxChatFontSize);
}

TEST(ClientPrefs, LongTextsAreCutAndAddressPortsFollowTheColonRule) {
  URandom random(3);
  SMyClientPrefs p;
  p.tracker = std::string(200, 't');
  p.userName = std::string(40, 'n');
  SMyClientPrefs back;
  ASSERT_TRUE(DecodeClientPrefs(EncodeClientPrefs(p, random), back));
  EXPECT_EQ(back.tracker, std::string(127, 't'));
  EXPECT_EQ(back.userName, std::string(31, 'n'));

  SMyClientPrefs a;
  a.tracker = "tracker.example";
  a.firewall = "fw.example";
  EXPECT_EQ(TrackerAddress(a).port, kDefaultTrackerPort);
  EXPECT_EQ(FirewallAddress(a).port, kDefaultFirewallPort);
  a.tracker = "tracker.example:7000";
  a.firewall = "fw.example:9050";
  EXPECT_EQ(TrackerAddress(a).port, 0);
  EXPECT_EQ(FirewallAddress(a).port, 0);
  EXPECT_EQ(TrackerAddress(a).length, a.tracker.size());
  EXPECT_EQ(TrackerAddress(a).type, kAddressInternetName);
}

TEST(ClientPrefs, FileOnDiskMissingDamagedAndSaved) {
  TempFolder tmp;
  const SMyClientPrefs defaults;
  EXPECT_EQ(LoadClientPrefs(tmp.Path()), defaults);
  EXPECT_TRUE(defaults.IsVisible(winToolbar) && defaults.IsVisible(winOnlineUsers) && !defaults.IsVisible(winTracker));
  EXPECT_EQ(defaults.userName, "unnamed");

  cvtest::WriteFile(tmp / "Corvane Prefs", std::string(100, '\x06'));
  EXPECT_EQ(LoadClientPrefs(tmp.Path()), defaults);

  // A folder in the file's place reads as missing; saving into a missing folder makes it.
  const std::string nested = tmp / "a/b";
  URandom random(5);
  SaveClientPrefs(nested, Sample(), random);
  EXPECT_EQ(std::filesystem::file_size(nested + "/Corvane Prefs"), kPrefsSize);
  EXPECT_EQ(LoadClientPrefs(nested), Sample());
  std::filesystem::create_directory(tmp / "c");
  std::filesystem::create_directory(tmp / "c/Corvane Prefs");
  EXPECT_EQ(LoadClientPrefs(tmp / "c"), defaults);
  EXPECT_THROW(SaveClientPrefs(tmp / "c", Sample(), random), SError);
}

TEST(ClientPrefs, TheApplicationLoadsAtStartAndSavesTheWindowsThatExist) {
  UMessageSys::Clear();
  TempFolder tmp;
  URandom random(9);
  SMyClientPrefs saved = Sample();
  saved.visibility = (1u << winToolbar) | (1u << winNews);
  SaveClientPrefs(tmp.Path(), saved, random);
  {
    cvtest::TestClientApp c(tmp.Path());
    EXPECT_EQ(c.app.Prefs(), saved);
    EXPECT_EQ(c.views.shell.shown, (std::vector<EMyWindow>{winToolbar, winNews}));
    c.views.shell.windowStates[winTasks] = {SMyRect{1, 2, 3, 4}, true};
    c.views.shell.windowStates[winNews] = {SMyRect{5, 6, 7, 8}, false};
    c.app.SavePrefs();
  }
  const SMyClientPrefs after = LoadClientPrefs(tmp.Path());
  EXPECT_TRUE(after.IsVisible(winTasks));
  EXPECT_FALSE(after.IsVisible(winNews));
  EXPECT_TRUE(after.IsVisible(winToolbar)) << "a window that does not exist keeps its saved state";
  EXPECT_EQ(after.rects[winTasks], (SMyRect{1, 2, 3, 4}));
  EXPECT_EQ(after.rects[winChat], saved.rects[winChat]);
  EXPECT_EQ(after.iconId, 130);
}

}  // namespace
