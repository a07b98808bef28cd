// The operator's windows of corvane-server on Qt Widgets: main ("Corvane Server"),
// log, statistics, Options, Broadcast, Quit and Quitting. They draw what the logic of
// server/operator.h tells them and hand the buttons back to it.
//
// Made before the application (its settings point here), the windows themselves come
// to life in Opening, at the places stored in the preferences, and go in Detach, which
// must run before the application is destroyed.
#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "server/application.h"
#include "server/operator.h"

class QWidget;

namespace cv {

// The windows' icon in cvserver.dat.
inline constexpr Uint32 kServerIconId = 128;

class CMyServerWindows final : public IMyServerFrontEnd, private IMyMainView {
 public:
  CMyServerWindows();
  ~CMyServerWindows() override;
  CMyServerWindows(const CMyServerWindows&) = delete;
  CMyServerWindows& operator=(const CMyServerWindows&) = delete;

  // Puts the windows in the settings: the front end and the log window's feed.
  void Attach(SServerSettings& settings);
  // Closes every window and forgets the application.
  void Detach();

  // Whether Opening offers the Options window before the server listens (the operator
  // holds Alt); tests replace it.
  void SetOptionsAtStart(std::function<bool()> ask);

  void Opening(CMyApplication& app) override;
  void StatsChanged() override;
  void PlaySound(Int16 sound) override;
  void StoreWindows(SServerPrefs& prefs) override;

  // The main window's buttons, as a click would run them.
  CMyMainWindow* Main();

  // The windows (none before Opening): for tests and pictures.
  QWidget* MainWindow() const;
  QWidget* LogWindow() const;
  QWidget* StatsWindow() const;
  QWidget* OptionsWindow() const;
  QWidget* BroadcastWindow() const;
  QWidget* QuitWindow() const;
  QWidget* QuittingWindow() const;
  // What the statistics window shows for a figure, and after "Since:".
  QString StatText(EMyStat which) const;
  QString SinceText() const;
  // The log window's text.
  QString LogText() const;

 private:
  void OpenOptions() override;
  void OpenBroadcast() override;
  void ShowLog() override;
  void ShowStatistics() override;
  void OpenQuit() override;

  struct SImpl;
  std::unique_ptr<SImpl> d_;
};

}  // namespace cv
