#include "server/serverlog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "framework/errors.h"
#include "temp_folder.h"

using namespace cv;

namespace {

class ServerLog : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetDateSource([] { return std::string("12/6/26 9:05:07 PM"); });
    log_.SetLineHook([this](std::string_view line) { lines_.emplace_back(line); });
  }
  std::string File(std::string_view name) const { return cvtest::ReadFile(dir_ / std::string(name)); }
  bool Exists(std::string_view name) const { return std::filesystem::exists(dir_ / std::string(name)); }

  cvtest::TempFolder dir_;
  CMyServerLog log_{dir_.Path(), 0};
  std::vector<std::string> lines_;
  SLogActor alice_{"10.0.0.7", "alice", "Alice"};
};

}  // namespace

TEST_F(ServerLog, WindowLinesHaveFixedColumns) {
  log_.Line("Alice", "Login successful");
  log_.Line("", "Reloaded news");
  log_.Line("A subject far longer than eighteen", "x");
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[0], "12/6/26 9:05:07 PM    Alice              Login successful");
  EXPECT_EQ(lines_[1], "12/6/26 9:05:07 PM                       Reloaded news");
  EXPECT_EQ(lines_[2], "12/6/26 9:05:07 PM    A subject far long x");

  log_.SetDateSource([] { return std::string("Sunday, December 6, 2026 21:05:07"); });
  EXPECT_EQ(log_.FormatLine("s", "t"), "Sunday, December 6, 2 s                  t");
}

TEST(LogSubjects, NameOrElseAddress) {
  EXPECT_EQ(LogSubject("Alice", "10.0.0.7"), "Alice");
  EXPECT_EQ(LogSubject("", "10.0.0.7"), "10.0.0.7");
}

TEST(LogText, LinesAreSeparatedByCarriageReturnsAndTheTextIsClearedWhenLarge) {
  CMyLogText text;
  text.Append("first");
  EXPECT_EQ(text.Text(), "first");
  text.Append("second");
  EXPECT_EQ(text.Text(), "first\rsecond");

  text.Clear();
  const std::string big(16384, 'a');
  text.Append(big);
  text.Append("b");  // 16384 is not yet more than the limit
  EXPECT_EQ(text.Text().size(), 16386u);
  text.Append("after");
  EXPECT_EQ(text.Text(), "after");
}

TEST_F(ServerLog, RecordsAreWrittenOnlyWhenTheirFlagIsOn) {
  log_.DownloadLog(alice_, "song.mp3");
  log_.UploadLog(alice_, "song.mp3");
  log_.ConnectLog(alice_);
  log_.AccountLog(alice_, "Create", "bob");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path()));

  log_.SetOptions(optLogUploads);
  log_.DownloadLog(alice_, "a");
  log_.UploadLog(alice_, "b");
  EXPECT_FALSE(Exists(kDownloadLogName));
  EXPECT_TRUE(Exists(kUploadLogName));
}

TEST_F(ServerLog, FirstRecordCreatesTheFileWithItsHeader) {
  log_.SetOptions(optLogDownloads | optLogUploads | optLogConnects | optLogAccounts);
  log_.DownloadLog(alice_, "song.mp3");
  log_.DownloadLog(SLogActor{"10.0.0.8", "", ""}, "b\xD2.txt");
  EXPECT_EQ(File(kDownloadLogName),
            "Date/time\tAddress\tAccount\tName\tFile Name\r"
            "12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\tsong.mp3\r"
            "12/6/26 9:05:07 PM\t10.0.0.8\t\t\tb\xD2.txt\r");

  log_.UploadLog(alice_, "up.bin");
  EXPECT_EQ(File(kUploadLogName),
            "Date/time\tAddress\tAccount\tName\tFile Name\r"
            "12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\tup.bin\r");

  log_.ConnectLog(alice_);
  EXPECT_EQ(File(kConnectLogName),
            "Date/time\tAddress\tAccount\tName\r"
            "12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\r");

  log_.AccountLog(alice_, "Create", "bob");
  log_.AccountLog(alice_, "Delete", "bob");
  EXPECT_EQ(File(kAccountLogName),
            "Date/time\tAddress\tAccount\tName\tAction\tAffected Account\r"
            "12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\tCreate\tbob\r"
            "12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\tDelete\tbob\r");
}

TEST_F(ServerLog, AnExistingFileGetsNoSecondHeader) {
  cvtest::WriteFile(dir_ / "Connect Log.txt", "old record\r");
  log_.SetOptions(optLogConnects);
  log_.ConnectLog(alice_);
  EXPECT_EQ(File(kConnectLogName), "old record\r12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\r");
}

TEST_F(ServerLog, FieldsCannotForgeFieldsOrRecords) {
  log_.SetOptions(optLogDownloads);
  log_.DownloadLog(alice_, "evil\tname\rfake record\n");
  EXPECT_EQ(File(kDownloadLogName),
            "Date/time\tAddress\tAccount\tName\tFile Name\r"
            "12/6/26 9:05:07 PM\t10.0.0.7\talice\tAlice\tevil name fake record \r");

  // Overlong fields are cut, so a record stays one line of bounded length.
  cvtest::TempFolder other;
  CMyServerLog log(other.Path(), optLogDownloads);
  log.SetDateSource([] { return std::string(500, 'd'); });
  log.DownloadLog(SLogActor{std::string(500, 'a'), std::string(500, 'l'), std::string(500, 'n')},
                  std::string(2000, 'f'));
  std::string all = cvtest::ReadFile(other / "Download Log.txt");
  std::string record = all.substr(std::string(kTransferLogHeader).size());
  EXPECT_EQ(record, std::string(127, 'd') + '\t' + std::string(127, 'a') + '\t' + std::string(31, 'l') + '\t' +
                        std::string(31, 'n') + '\t' + std::string(255, 'f') + '\r');
}

TEST_F(ServerLog, ErrorRecordsAreAlwaysWritten) {
  log_.ErrorLog("The file is in use.", "ID 4/116 [16]");
  log_.ErrorLog("Not enough memory.  Try closing windows.", "ID 3/101");
  EXPECT_EQ(File(kErrorLogName),
            "12/6/26 9:05:07 PM     The file is in use. (ID 4/116 [16])\r"
            "12/6/26 9:05:07 PM     Not enough memory.  Try closing windows. (ID 3/101)\r");
}

TEST_F(ServerLog, UnwritableLogRaises) {
  std::filesystem::create_directory(dir_ / "Error Log.txt");
  EXPECT_THROW(log_.ErrorLog("x", "ID 1/1"), SError);
}

TEST(ServerLogDate, LocalDateTextHasDateAndTime) {
  std::string d = CMyServerLog::LocalDateText();
  EXPECT_FALSE(d.empty());
  EXPECT_NE(d.find(' '), std::string::npos);
  EXPECT_NE(d.find(':'), std::string::npos);
}
