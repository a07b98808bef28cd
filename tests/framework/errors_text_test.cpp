#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <string>

#include "framework/errors.h"
#include "framework/resources.h"

using namespace cv;

namespace {

constexpr char kUnknown[] = "An unknown error has occured.";
constexpr char kNoMemory[] = "Not enough memory.  Try closing windows.";

class ErrorTexts : public ::testing::Test {
 protected:
  void TearDown() override {
    URez::DisposeAll();
    UError::SetAlertSink(nullptr);
  }
  // Opens a resource file holding the given 'EMSG' lists.
  void Install(std::vector<std::pair<Uint32, Bytes>> lists) {
    TRezFile f = URez::NewInMemory();
    for (auto& [cls, data] : lists) URez::AddItem(f, rezErrorTexts, {cls, 0, data}, false);
  }
};

SError Make(Int16 cls, Int16 id, Int32 code = 0, const char* source = "", Uint32 line = 0) {
  SError e(cls, id);
  e.systemCode = code;
  e.source = source;
  e.line = line;
  return e;
}

}  // namespace

TEST(ErrorIdText, FourForms) {
  EXPECT_EQ(UError::IdText(Make(8, 104)), "ID 8/104");
  EXPECT_EQ(UError::IdText(Make(8, 104, 10061)), "ID 8/104 [10061]");
  EXPECT_EQ(UError::IdText(Make(1, 2, 0, "UTransport", 120)), "ID 1/2 @ UTransport #120");
  EXPECT_EQ(UError::IdText(Make(4, 117, -13, "UFileSys", 7)), "ID 4/117 [-13] @ UFileSys #7");
  EXPECT_EQ(UError::IdText(Make(-1, -2)), "ID -1/-2");
  char buf[6];
  EXPECT_EQ(UError::GetIdText(Make(8, 104), buf, sizeof buf), 6u);
  EXPECT_EQ(std::string(buf, 6), "ID 8/1");
}

TEST_F(ErrorTexts, FallbacksWithoutTexts) {
  EXPECT_EQ(UError::MessageText(Make(3, 101)), kNoMemory);
  EXPECT_EQ(UError::MessageText(Make(4, 117)), kUnknown);
  // A list for class 4 without item 117.
  Install({{4, UError::MakeItemList({{103, "File not found."}})}});
  EXPECT_EQ(UError::MessageText(Make(4, 117)), kUnknown);
  EXPECT_EQ(UError::MessageText(Make(4, 103)), "File not found.");
  EXPECT_EQ(UError::MessageText(Make(4, 0)), kUnknown);  // item id 0 never matches
}

TEST_F(ErrorTexts, LookupAndCut) {
  Install({{8, UError::MakeItemList({{104, "Refused."}, {100, "Lost."}, {112, "In use."}})},
           {3, UError::MakeItemList({{101, "Out of memory."}})}});
  EXPECT_EQ(UError::MessageText(Make(8, 100)), "Lost.");
  EXPECT_EQ(UError::MessageText(Make(8, 104)), "Refused.");
  EXPECT_EQ(UError::MessageText(Make(8, 112)), "In use.");
  EXPECT_EQ(UError::MessageText(Make(8, 101)), kUnknown);
  EXPECT_EQ(UError::MessageText(Make(3, 101)), "Out of memory.");
  char buf[4];
  EXPECT_EQ(UError::GetMessageText(Make(8, 104), buf, sizeof buf), 4u);
  EXPECT_EQ(std::string(buf, 4), "Refu");
  EXPECT_EQ(UError::GetMessageText(Make(8, 104), buf, 0), 0u);
}

TEST_F(ErrorTexts, MalformedListsGiveNoText) {
  const Bytes good = UError::MakeItemList({{5, "five"}, {9, "nine"}});
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
  } cases[] = {
      {"shorter than 24 bytes", [](Bytes& b) { b.resize(23); }},
      {"other magic", [](Bytes& b) { b[3] = '2'; }},
      {"no items", [](Bytes& b) { WriteU32(&b[12], 0); }},
      {"count beyond 2^24", [](Bytes& b) { WriteU32(&b[12], 1u << 24); }},
      {"entries past the end", [](Bytes& b) { WriteU32(&b[12], 1000); }},
      {"text area ends early", [](Bytes& b) { b.resize(b.size() - 1); }},
      {"end offset huge", [](Bytes& b) { WriteU32(&b[16 + 8 * 2 + 4], 0xFFFFFFFF); }},
      {"offsets reversed", [](Bytes& b) { WriteU32(&b[16 + 8 * 1 + 4], 0xFFFFFFF0); }},
  };
  for (const auto& c : cases) {
    Bytes bad = good;
    c.damage(bad);
    std::string_view text;
    EXPECT_FALSE(UError::FindListItem(ByteView(bad.data(), bad.size()), 9, text)) << c.what;
  }
  std::string_view text;
  ASSERT_TRUE(UError::FindListItem(ByteView(good.data(), good.size()), 9, text));
  EXPECT_EQ(text, "nine");
  ASSERT_TRUE(UError::FindListItem(ByteView(good.data(), good.size()), 5, text));
  EXPECT_EQ(text, "five");
  EXPECT_FALSE(UError::FindListItem(ByteView(good.data(), good.size()), 6, text));
}

TEST_F(ErrorTexts, AlertComposesAndSilentShowsNothing) {
  Install({{8, UError::MakeItemList({{100, "The connection was lost."}})}});
  std::vector<std::pair<std::string, std::string>> shown;
  UError::SetAlertSink([&](std::string_view title, std::string_view text) { shown.emplace_back(title, text); });
  UError::Alert(Make(8, 100, ECONNRESET));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, "ERROR");
  EXPECT_EQ(shown[0].second, "The connection was lost.\r\rID 8/100 [" + std::to_string(ECONNRESET) + "]");

  SError silent = Make(8, 100);
  silent.flags |= SError::flagSilent;
  UError::Alert(silent);
  EXPECT_EQ(shown.size(), 1u);

  // The message is cut at 255 bytes and the id line at 128.
  Install({{1, UError::MakeItemList({{1, std::string(400, 'm')}})}});
  const std::string longSource(300, 's');
  UError::Alert(Make(1, 1, 0, longSource.c_str(), 1));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].second.size(), 255u + 2 + 128);
}

TEST(ErrorSystemCodes, HostLookupAndSocketCodes) {
  EXPECT_TRUE(UError::FromSystem(EAI_NONAME).Is(errClassNetwork, errBadAddress));
  EXPECT_TRUE(UError::FromSystem(EAI_AGAIN).Is(errClassNetwork, errBadAddress));
  EXPECT_TRUE(UError::FromSystem(ETOOMANYREFS).Is(errClassNetwork, errConnectionLost));
  EXPECT_TRUE(UError::FromSystem(EHOSTDOWN).Is(errClassNetwork, errTimedOut));
  try {
    UError::RaiseSystem(ECONNRESET, "UTransport", 9);
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(8, 100));
    EXPECT_EQ(e.systemCode, ECONNRESET);
    return;
  }
  FAIL();
}
