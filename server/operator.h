// The operator's windows without the windows: what each one shows and what its buttons
// do, behind small view interfaces that a desktop front end implements (and tests
// implement by recording). Everything runs on the server's event thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "framework/types.h"
#include "server/prefs.h"

namespace cv {

class CMyApplication;

// ---- Statistics

enum EMyStat : std::size_t {
  statConnected,        // "Currently Connected:"
  statDownloads,        // "Downloads in progress:"
  statUploads,          // "Uploads in progress:"
  statPeak,             // "Connection Peak:"
  statConnectionCount,  // "Connection Counter:"
  statDownloadCount,    // "Download Counter:"
  statUploadCount,      // "Upload Counter:"
  kStatCount
};

using SMyStatsValues = std::array<Uint32, kStatCount>;

// The labels, in EMyStat order.
std::string_view StatLabel(EMyStat which);

// Counts since start; the current numbers are given when the values are read.
class CMyServerStats {
 public:
  // A connection was let in; connectedNow includes it.
  void ConnectionOpened(std::size_t connectedNow);
  void DownloadStarted();
  void DownloadEnded();
  void UploadStarted();
  void UploadEnded();
  SMyStatsValues Values(std::size_t connectedNow) const;

 private:
  Uint32 peak_ = 0, connections_ = 0, downloads_ = 0, uploads_ = 0;
  Uint32 downloadsNow_ = 0, uploadsNow_ = 0;
};

// One headless log line with every figure.
std::string StatsLogLine(const SMyStatsValues& values);

class IMyStatsView {
 public:
  virtual ~IMyStatsView() = default;
  virtual void ShowValue(EMyStat which, Uint32 value) = 0;
  virtual void ShowSince(std::string_view text) = 0;
};

// Title "Statistics". Only values that differ from those shown are redrawn.
class CMyStatsWindow {
 public:
  // since: when the window was made at start-up; shown in universal time.
  CMyStatsWindow(IMyStatsView& view, const SDateStamp& since);
  void Refresh(const SMyStatsValues& values);

 private:
  IMyStatsView& view_;
  SMyStatsValues shown_{};
  bool drawn_ = false;
};

// ---- Broadcast

inline constexpr std::string_view kBroadcastPrompt =
    "Enter a message to display to all connected users and click the \xD4Send\xD5 button.";

class IMyBroadcastView {
 public:
  virtual ~IMyBroadcastView() = default;
  virtual std::string Text() = 0;
  virtual void Close() = 0;
};

class CMyBroadcastWindow {
 public:
  CMyBroadcastWindow(CMyApplication& app, IMyBroadcastView& view) : app_(app), view_(view) {}
  // Sends the whole text as a server message to every logged-in client and closes;
  // returns how many clients it went to.
  std::size_t Send();
  void Cancel();

 private:
  CMyApplication& app_;
  IMyBroadcastView& view_;
};

// ---- Options

// What the Options window's fields hold, as typed.
struct SMyOptionsForm {
  std::string maxDownloads;  // "Maximum simultaneous downloads:"
  std::string port;          // "Server port number:"
  bool playSounds = false, confirmQuit = false;
  bool logDownloads = false, logUploads = false, logConnects = false, logAccounts = false;
  std::string name, description;
  bool registerWithTrackers = false;  // "List with Corvane Trackers:"
  std::array<STrackerEntry, kTrackerCount> trackers{};
};

SMyOptionsForm OptionsFormFrom(const SServerPrefs& prefs);
// Step 1-3 of Save: texts cut to their capacities, numbers read as far as they go (a
// maximum of 0 becomes 1), and the register option off without a name or any address.
void ApplyOptionsForm(const SMyOptionsForm& form, SServerPrefs& prefs);

class IMyOptionsView {
 public:
  virtual ~IMyOptionsView() = default;
  virtual void Show(const SMyOptionsForm& form) = 0;
  virtual SMyOptionsForm Read() = 0;
  virtual void Close() = 0;
};

// Title "Options"; pages "General", "Server Info", "Trackers".
class CMyOptionsWindow {
 public:
  CMyOptionsWindow(CMyApplication& app, IMyOptionsView& view) : app_(app), view_(view) {}
  void Open();
  // Applies the form, restarts or stops the tracker timer (announcing at once when on)
  // and saves the preferences. A changed port takes effect at the next start.
  void Save();
  void Cancel();

 private:
  CMyApplication& app_;
  IMyOptionsView& view_;
};

// ---- Quitting

inline constexpr std::string_view kQuitText =
    "There are people connected to this server.  If you quit, they will be disconnected.  To disconnect them "
    "with a message, click \xD2Polite Quit\xD3.";
inline constexpr std::string_view kQuittingText = "Waiting for clients to disconnect...";

class IMyQuitView {
 public:
  virtual ~IMyQuitView() = default;
  virtual std::string Message() = 0;
  virtual void Close() = 0;
  // Opens the "Quitting" window while clients are told and leave.
  virtual void OpenQuitting() = 0;
};

// Title "Quit".
class CMyQuitWindow {
 public:
  CMyQuitWindow(CMyApplication& app, IMyQuitView& view) : app_(app), view_(view) {}
  void PoliteQuit();
  void QuitNow();
  void Cancel();

 private:
  CMyApplication& app_;
  IMyQuitView& view_;
};

class IMyQuittingView {
 public:
  virtual ~IMyQuittingView() = default;
  virtual void Close() = 0;
};

// Title "Quitting".
class CMyQuittingWindow {
 public:
  CMyQuittingWindow(CMyApplication& app, IMyQuittingView& view) : app_(app), view_(view) {}
  void QuitNow();
  // Stays running: the clients already told may still leave by themselves.
  void Cancel();

 private:
  CMyApplication& app_;
  IMyQuittingView& view_;
};

// ---- Main window

class IMyMainView {
 public:
  virtual ~IMyMainView() = default;
  virtual void OpenOptions() = 0;
  virtual void OpenBroadcast() = 0;
  virtual void ShowLog() = 0;
  virtual void ShowStatistics() = 0;
  virtual void OpenQuit() = 0;
};

// Title "Corvane Server": "Options", "Broadcast", "Reload News", "Log", "Statistics", "Quit".
class CMyMainWindow {
 public:
  CMyMainWindow(CMyApplication& app, IMyMainView& view) : app_(app), view_(view) {}
  void Options() { view_.OpenOptions(); }
  void Broadcast() { view_.OpenBroadcast(); }
  void ReloadNews();
  void Log() { view_.ShowLog(); }
  void Statistics() { view_.ShowStatistics(); }
  // Asks first when "Confirm Quit" is on and people are connected; else quits at once.
  void Quit();

 private:
  CMyApplication& app_;
  IMyMainView& view_;
};

}  // namespace cv
