// The paintwave program's application object: loads the preferences, runs one
// whiteboard copy on the event loop, and on quit saves the preferences, disconnects and
// closes the listener.
#pragma once

#include <string>

#include "framework/events.h"
#include "whiteboard/whiteboard.h"

namespace cv::pw {

class CMyApplication : public CApplication {
 public:
  // prefsFolder holds "Paintwave Prefs"; readPrefs false starts from the initial
  // values (Control and Alt held at start-up).
  CMyApplication(SMyViews views, std::string prefsFolder, Uint16 port, bool readPrefs = true);
  ~CMyApplication() override;

  CMyWhiteboard& Whiteboard() { return board_; }
  // Opens the listener; raises when the port cannot be had.
  void Start();
  void QuitRequested() override;

 private:
  std::string folder_;
  CMyWhiteboard board_;
  bool saved_ = false;
};

}  // namespace cv::pw
