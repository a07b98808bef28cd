// Alerts from the resource file's templates, the error alert, sounds and icons.
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "framework/errors.h"
#include "framework/resources.h"
#include "qt_harness.h"
#include "toolkit/alerts.h"
#include "toolkit/media.h"
#include "toolkit/qttext.h"

namespace {

using namespace cv;

// A resource file in memory, searched first while the test runs.
class CTestRez {
 public:
  explicit CTestRez(std::string_view manifest) {
    std::string error;
    file_ = URez::NewInMemory(URez::CompileManifest(manifest, ".", &error));
    EXPECT_TRUE(error.empty()) << error;
    UImage::ClearCache();
  }
  ~CTestRez() {
    URez::Dispose(file_);
    UImage::ClearCache();
  }

 private:
  TRezFile file_ = nullptr;
};

// UTF-8 text; the resource compiler stores the curly quotes as Mac OS Roman.
constexpr std::string_view kManifest =
    "resource 'ALRT' 140 \"Confirm deletion\"\n"
    "  alert question \"Delete File\" \"Delete \u201C%#s\u201D from %#s?  100%% sure?\" \"Delete\" \"Keep\" "
    "\"Cancel\"\n"
    "end\n"
    "resource 'ALRT' 141 \"No buttons\"\n"
    "  alert stop \"Stopped\" \"Plain %d text\"\n"
    "end\n"
    "resource 'snd ' 128 \"Connected\"\n"
    "  sound chime 660 990 60\n"
    "end\n"
    "resource 'ICON' 205 \"Refresh\"\n"
    "  icon refresh 2f8f4f 32\n"
    "end\n";
using Alerts = cvtest::QtLoopTest;

TEST_F(Alerts, TemplatesTakeTheirArgumentsAndButtons) {
  CTestRez rez(kManifest);
  EXPECT_EQ(UAlert::Show(140, {"notes.txt", "Files"}), 1);
  EXPECT_EQ(UAlert::Show(141, {"unused"}), 1);
  EXPECT_EQ(UAlert::Show(999), 0);  // no such alert: nothing shown
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0].id, 140u);
  EXPECT_EQ(alerts[0].kind, SAlertTemplate::kindQuestion);
  EXPECT_EQ(alerts[0].title, "Delete File");
  EXPECT_EQ(alerts[0].message, "Delete \xD2notes.txt\xD3 from Files?  100% sure?");
  EXPECT_EQ(alerts[0].buttons, (std::vector<std::string>{"Delete", "Keep", "Cancel"}));
  // Other conversions are shown as written, never read as arguments.
  EXPECT_EQ(alerts[1].message, "Plain %d text");
  EXPECT_EQ(alerts[1].buttons, (std::vector<std::string>{"OK"}));
  EXPECT_EQ(UAlert::FillIn("%#s and %#s", {"one"}), "one and ");
}

TEST_F(Alerts, FrameworkErrorsShowThroughTheSink) {
  UAlert::InstallErrorSink();
  UError::Alert(SError(errClassFiles, errAccessDenied));
  SError silent(errClassFiles, errAccessDenied);
  silent.flags |= SError::flagSilent;
  UError::Alert(silent);
  UError::SetAlertSink(nullptr);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "ERROR");
  EXPECT_EQ(alerts[0].kind, SAlertTemplate::kindCaution);
  EXPECT_EQ(alerts[0].message, UError::AlertText(SError(errClassFiles, errAccessDenied)));
  EXPECT_EQ(alerts[0].buttons, (std::vector<std::string>{"OK"}));
}

TEST_F(Alerts, RealBoxAnswersWithThePlaceOfTheButtonClicked) {
  CTestRez rez(kManifest);
  UAlert::SetHook(nullptr);
  QString shownTitle;
  // Clicks "Keep" as soon as the box is up.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    shownTitle = box->windowTitle();
    for (QAbstractButton* b : box->buttons())
      if (b->text() == "Keep") b->click();
  });
  QTimer::singleShot(20000, [] {
    if (auto* w = QApplication::activeModalWidget()) w->close();
  });
  EXPECT_EQ(UAlert::Show(140, {"a", "b"}), 2);
  EXPECT_EQ(shownTitle, "Delete File");
}

TEST_F(Alerts, SoundsGoToTheInstalledPlayerOnlyAndIconsComeFromPng) {
  CTestRez rez(kManifest);
  std::vector<std::pair<Int16, std::string>> played;
  USound::Play(128);  // no player: silence, no error
  USound::SetPlayer(
      [&](Int16 id, const Bytes& wave) { played.emplace_back(id, std::string(wave.begin(), wave.begin() + 4)); });
  USound::Play(128);
  USound::Play(131);  // not in the file
  USound::SetPlayer(nullptr);
  EXPECT_EQ(played, (std::vector<std::pair<Int16, std::string>>{{128, "RIFF"}}));
  int beeps = 0;
  USound::SetBeeper([&] { ++beeps; });
  USound::Beep();
  USound::SetBeeper(nullptr);
  EXPECT_EQ(beeps, 1);
  USound::Beep();  // the offscreen platform's bell: nothing happens

  QPixmap p = UImage::Pixmap(205);
  ASSERT_FALSE(p.isNull());
  EXPECT_EQ(p.size(), QSize(32, 32));
  EXPECT_FALSE(UImage::Icon(205).isNull());
  EXPECT_TRUE(UImage::Icon(206).isNull());
}

}  // namespace
