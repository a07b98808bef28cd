#include "whiteboard/application.h"

namespace cv::pw {

CMyApplication::CMyApplication(SMyViews views, std::string prefsFolder, Uint16 port, bool readPrefs)
    : folder_(std::move(prefsFolder)), board_(views, readPrefs ? ReadPrefs(folder_) : SMyPrefs{}, port) {}

CMyApplication::~CMyApplication() { board_.Shutdown(); }

void CMyApplication::Start() { board_.Start(); }

void CMyApplication::QuitRequested() {
  if (!saved_) {
    saved_ = true;
    try {
      WritePrefs(folder_, board_.Prefs());
    } catch (const SError& e) {
      Error(e);
    }
    board_.Shutdown();
  }
  Quit();
}

}  // namespace cv::pw
