// A guest that joins a session whose board already holds drawing: it is not sent the
// board so far. It starts from a cleared board (its own earlier drawing included),
// learns everybody already there, and from then on gets every drawing like the rest.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "framework/events.h"
#include "framework/transport.h"
#include "whiteboard/whiteboard.h"

namespace cv::pw {
namespace {

Bytes T(const std::string& s) { return Bytes(reinterpret_cast<const Uint8*>(s.data()), s.size()); }

// Counts what the board window is told; nothing else is shown.
struct SBoardWatch : IMyBoardWindow {
  int changes = 0;
  void BoardChanged(const SArea&) override { ++changes; }
  void ShowStatus(Uint16) override {}
  void ShowLocalAddress(const Bytes&) override {}
  void UsersChanged(const std::vector<SMyUser>&) override {}
};

struct SLateCopy {
  SBoardWatch watch;
  std::unique_ptr<CMyWhiteboard> wb;
  explicit SLateCopy(const std::string& name) {
    SMyPrefs prefs;
    prefs.name = T(name);
    wb = std::make_unique<CMyWhiteboard>(SMyViews{&watch, nullptr, nullptr, nullptr}, prefs, 0);
    wb->Start();
  }
  CMyWhiteboard* operator->() { return wb.get(); }
  void Join(SLateCopy& host) {
    wb->SetConnectPort(host->ListeningPort());
    wb->Connect("127.0.0.1");
  }
};

bool Until(const std::function<bool()>& done, int ms = 5000) { return UEventLoop::RunUntilFor(done, ms); }

class LateJoin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UTransport::Init(); }
  void TearDown() override {
    UEventLoop::RunUntilIdle();
    UMessageSys::Clear();
  }
};

SDrawing Rect(Int16 l, Int16 t, Int16 r, Int16 b) {
  SDrawing d;
  d.type = kRect;
  d.filled = true;
  d.colour = {200, 10, 10};
  d.left = l, d.top = t, d.right = r, d.bottom = b;
  return d;
}

TEST_F(LateJoin, ALateGuestStartsBlankAndSeesOnlyWhatIsDrawnAfterItJoined) {
  SLateCopy host("H"), early("Early"), late("Late");
  early.Join(host);
  ASSERT_TRUE(Until([&] { return host->Users().size() == 2 && early->Users().size() == 2; }));

  // Drawing in the session before the late guest comes.
  host->Draw(Rect(10, 10, 60, 60));
  early->Draw(Rect(100, 100, 150, 150));
  ASSERT_TRUE(Until([&] { return host->Board() == early->Board() && host->Board().Pixel(120, 120) != kBackground; }));

  // The late guest has drawings of its own on its board while it still hosts alone.
  late->Draw(Rect(300, 300, 350, 350));
  ASSERT_NE(late->Board().Pixel(320, 320), kBackground);

  late.Join(host);
  ASSERT_TRUE(Until([&] {
    return late->GuestState() == CMyWhiteboard::EGuestState::inSession && late->Users().size() == 3 &&
           host->Users().size() == 3 && early->Users().size() == 3;
  }));
  // It knows who is there, with names and privileges...
  ASSERT_NE(late->FindUser(1), nullptr);
  EXPECT_EQ(late->FindUser(1)->name, T("H"));
  ASSERT_NE(late->FindUser(2), nullptr);
  EXPECT_EQ(late->FindUser(2)->name, T("Early"));
  EXPECT_EQ(late->FindUser(2)->privileges, 31u);
  // ...but its board was cleared on joining and nothing of the session's was sent.
  UEventLoop::RunUntilIdle();
  EXPECT_TRUE(late->Board() == CMyBoard());
  EXPECT_EQ(late->Board().Pixel(20, 20), kBackground);
  EXPECT_EQ(late->Board().Pixel(320, 320), kBackground);
  // The others keep what they had; the late guest's old drawing never reached them.
  EXPECT_NE(host->Board().Pixel(20, 20), kBackground);
  EXPECT_EQ(host->Board().Pixel(320, 320), kBackground);

  // Drawing from now on reaches it from the host and from the other guest alike,
  // and its own drawing reaches them.
  host->Draw(Rect(200, 10, 220, 30));
  early->Draw(Rect(200, 50, 220, 70));
  late->Draw(Rect(200, 90, 220, 110));
  ASSERT_TRUE(Until([&] {
    return late->Board().Pixel(210, 20) != kBackground && late->Board().Pixel(210, 60) != kBackground &&
           host->Board().Pixel(210, 100) != kBackground && early->Board().Pixel(210, 100) != kBackground;
  }));
  EXPECT_TRUE(host->Board() == early->Board());
  EXPECT_FALSE(late->Board() == host->Board());  // the early drawing stays missing there
  EXPECT_EQ(late->Board().Pixel(120, 120), kBackground);

  // An erase brings every board back to the same picture.
  SDrawing erase;
  erase.type = kEraseBoard;
  early->Draw(erase);
  ASSERT_TRUE(Until([&] { return host->Board() == CMyBoard() && late->Board() == CMyBoard(); }));
  EXPECT_TRUE(early->Board() == CMyBoard());
}

}  // namespace
}  // namespace cv::pw
