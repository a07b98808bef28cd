#include "whiteboard/prefs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "framework/errors.h"

namespace cv::pw {
namespace {

namespace fs = std::filesystem;

class PrefsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pw_prefs_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Put(const Bytes& data) {
    std::ofstream f(dir_ / kPrefsFileName, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  }
  fs::path dir_;
};

SMyPrefs Sample() {
  SMyPrefs p;
  p.toolsWindow = {-3, 7};
  p.chatWindow = {1, 2, 300, 400};
  p.toolOption = 2;
  p.penSize = 9;
  p.currentTool = 6;
  p.chatShown = false;
  p.maxConnections = 8;
  p.chatText = {1, 2, 3};
  p.chatBackground = {0xFFFF, 0x8000, 0};
  p.chatFontSize = 14;
  p.name = Bytes(reinterpret_cast<const Uint8*>("Jo"), 2);
  p.fastConnection = true;
  p.playSounds = false;
  p.useFirewall = true;
  p.firewall = Bytes(reinterpret_cast<const Uint8*>("fw.example"), 10);
  p.askBeforeErasing = false;
  p.askBeforeRedirecting = false;
  p.defaultPrivileges = 3;
  p.redirectPolicy = kRedirectDeny;
  return p;
}

TEST_F(PrefsFile, WrittenWholeAndReadBack) {
  const SMyPrefs p = Sample();
  WritePrefs(dir_.string(), p);
  EXPECT_EQ(ReadPrefs(dir_.string()), p);
  // Only the file itself is left in the folder.
  int files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1);
  // Layout checks at the fixed offsets.
  const Bytes b = EncodePrefs(p);
  EXPECT_EQ(ReadU32(b.data()), FourCC("PWSL"));
  EXPECT_EQ(ReadU16(b.data() + 4), 7);
  EXPECT_EQ(Int16(ReadU16(b.data() + 12)), -3);
  EXPECT_EQ(ReadU16(b.data() + 38), 9);
  EXPECT_EQ(b[40], 6);
  EXPECT_EQ(ReadU32(b.data() + 44), 8u);
  EXPECT_EQ(b[60], 14);
  EXPECT_EQ(b[61], 2);
  EXPECT_EQ(b.size(), 61u + 3 + 3 + 11 + 3 + 7);
}

TEST_F(PrefsFile, MissingOrInvalidFilesGiveTheInitialValues) {
  EXPECT_EQ(ReadPrefs(dir_.string()), SMyPrefs{});
  const Bytes good = EncodePrefs(Sample());
  Bytes big = good;
  big.resize(2000, 0);
  Bytes magic = good;
  magic[0] = 'X';
  Bytes version = good;
  version[5] = 8;
  const Bytes cases[] = {big, magic, version, Bytes(good.data(), 30), Bytes(good.data(), good.size() - 1), Bytes{}};
  for (const Bytes& c : cases) {
    Put(c);
    EXPECT_EQ(ReadPrefs(dir_.string()), SMyPrefs{}) << c.size();
  }
}

TEST_F(PrefsFile, VersionSixKeepsTheInitialNewerOptions) {
  Bytes v6 = EncodePrefs(Sample());
  v6.resize(v6.size() - 7);
  v6[5] = 6;
  Put(v6);
  const SMyPrefs p = ReadPrefs(dir_.string());
  EXPECT_EQ(p.name, Sample().name);
  EXPECT_EQ(p.toolsWindow, Sample().toolsWindow);
  EXPECT_EQ(p.firewall, Sample().firewall);
  EXPECT_TRUE(p.askBeforeErasing);
  EXPECT_TRUE(p.askBeforeRedirecting);
  EXPECT_EQ(p.defaultPrivileges, 31u);
  EXPECT_EQ(p.redirectPolicy, kRedirectAsk);
}

TEST_F(PrefsFile, OutOfRangeValuesAreMended) {
  Bytes b = EncodePrefs(Sample());
  b.back() = 5;                // redirect policy
  WriteU16(b.data() + 38, 0);  // pen size
  b[61] = 0;                   // empty name ...
  b.erase(62, 2);              // ... without its bytes
  Put(b);
  const SMyPrefs p = ReadPrefs(dir_.string());
  EXPECT_EQ(p.redirectPolicy, kRedirectAsk);
  EXPECT_EQ(p.penSize, 1);
  EXPECT_EQ(p.name, SMyPrefs{}.name);
  WriteU16(b.data() + 38, 900);
  Put(b);
  EXPECT_EQ(ReadPrefs(dir_.string()).penSize, 255);
}

TEST_F(PrefsFile, WriteFailureIsAFrameworkError) {
  EXPECT_THROW(WritePrefs((dir_ / "no" / "such").string(), Sample()), SError);
  // A failed write leaves an earlier file alone.
  WritePrefs(dir_.string(), Sample());
  fs::create_directory(dir_ / (std::string(kPrefsFileName) + ".new"));
  EXPECT_THROW(WritePrefs(dir_.string(), SMyPrefs{}), SError);
  EXPECT_EQ(ReadPrefs(dir_.string()), Sample());
}

}  // namespace
}  // namespace cv::pw
