// The server program's application object: owns the folders and texts loaded from disk,
// the preferences, the listeners and the client sessions; runs the start-up, routes
// every transport notification to the session step, counts unexpected errors (a reset
// after 101, termination after 11 resets) and quits at once or politely.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "framework/events.h"
#include "framework/random.h"
#include "framework/resources.h"
#include "framework/transport.h"
#include "protocol/transaction.h"
#include "server/accounts.h"
#include "server/operator.h"
#include "server/prefs.h"
#include "server/serverlog.h"
#include "server/session.h"
#include "server/tracker_registration.h"

namespace cv {

class CMyChatService;
class CMyNewsService;
class CMyFileService;
class CMyTransferService;

inline constexpr std::string_view kUsersFolderName = "Users";
inline constexpr std::string_view kFilesFolderName = "Files";
inline constexpr std::string_view kNewsFileName = "News.txt";
inline constexpr std::string_view kAgreementFileName = "Agreement.txt";
inline constexpr std::string_view kServerResourceName = "cvserver.dat";
inline constexpr std::string_view kShutdownMessage = "The server is shutting down.";
inline constexpr Uint32 kSubProtocol = FourCC("CRVN");
constexpr Uint16 kSubVersion = 2;
constexpr Uint16 kMaxErrors = 100;  // one more resets
constexpr Uint16 kMaxResets = 10;   // one more terminates
// How long a polite quit at a signal waits for clients before ending anyway.
constexpr Uint32 kShutdownWaitMs = 3000;
constexpr Uint32 kShutdownPollMs = 50;
// The session step also runs this often without network events, so that idle users are
// marked and connections that ended quietly (a drained graceful close) are let go.
constexpr Uint32 kHousekeepingMs = 10000;

// What the command line says.
struct SServerCommandLine {
  enum EAction { Run, Help, Version, AddAccount };
  EAction action = Run;
  bool headless = false;
  std::string dir;             // empty: the program's folder
  std::optional<Uint16> port;  // absent: from the preferences; 0: any free port
  std::string tracker;         // --tracker: announce to this one only, for this run
  std::string accountLogin;    // --add-account
  std::string accountName;     // --name
  bool accountAdmin = false;   // --admin (else --guest)
};

// False with a message for an unknown option, a missing value or a bad port.
bool ParseServerCommandLine(std::span<const std::string_view> args, SServerCommandLine& out, std::string& error);
std::string ServerUsageText();
// The folder that holds the running program.
std::string ProgramFolder();

// Every defined privilege; what the guest account gets (read and send chat, read news,
// download files).
SPrivilegeSet AdminPrivileges();
SPrivilegeSet GuestPrivileges();
// An account with a plain-text password, stored as the account store stores it.
SUserData MakeAccount(std::string_view login, std::string_view name, std::string_view plainPassword,
                      const SPrivilegeSet& access);
// 12 letters and digits from the system's entropy source (the framework generator is
// seeded from the uptime, which an attacker could guess).
std::string RandomPassword();
// When the users folder holds no account: creates "admin" with every privilege and the
// returned random password, and "guest" with an empty one. Empty when nothing was made.
std::string CreateFirstAccounts(CMyAccountStore& store);

// What the desktop front end does for the application; none when headless.
class IMyServerFrontEnd {
 public:
  virtual ~IMyServerFrontEnd() = default;
  // The preferences are loaded and the listeners not yet open: the windows are made at
  // their stored places, and the Options window may be used before the server listens.
  virtual void Opening(CMyApplication& app) = 0;
  // After every session step and reset: the statistics may have changed.
  virtual void StatsChanged() = 0;
  // A sound of the resource file; only asked for while "Play Sounds" is on.
  virtual void PlaySound(Int16 sound) = 0;
  // Before the preferences are saved: each window's place and visibility.
  virtual void StoreWindows(SServerPrefs& prefs) = 0;
};

struct SServerSettings {
  std::string folder;          // holds Users, Files, News.txt, Prefs, the logs
  std::string resourceFolder;  // where cvserver.dat is found when folder has none
  std::optional<Uint16> port;  // overrides the preferences; 0: any free port
  // Not empty: the only tracker for this run, with registration on; Prefs keeps its own.
  std::string tracker;
  bool headless = true;
  // Log window lines; headless servers default to the diagnostic output.
  CMyServerLog::LineHook logHook;
  // Ends the process without saving (too many resets); tests replace it.
  std::function<void(std::string_view why)> terminate;
  // The windows, when there are any (outlives the application).
  IMyServerFrontEnd* frontEnd = nullptr;
};

class CMyApplication : public CApplication {
 public:
  explicit CMyApplication(SServerSettings settings);
  ~CMyApplication() override;

  // Start-up: folders, news and agreement, preferences, listeners, the start line.
  // Raises when a port cannot be bound.
  void Start();

  void QuitRequested() override;
  void Quit() override;
  void Error(const SError& error) override;
  void HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) override;
  void Signal(int signalNumber) override;
  void Timer(TTimer timer) override;

  // Sets quitting, tells every logged-in client why and ends once they have gone. An
  // empty message, or nobody connected, quits at once.
  void PoliteQuit(std::string_view message);
  // Stops waiting for clients to leave; those already told may still go by themselves.
  void CancelPoliteQuit() {
    quitting_ = false;
    shutdownTimer_.reset();
  }
  void ReloadNews();
  // Puts the windows' places and visibility into the preferences (before a save).
  void StoreWindowPlaces() {
    if (settings_.frontEnd) settings_.frontEnd->StoreWindows(prefs_);
  }
  // Drops every client and restarts the error count; the listeners stay.
  void Reset();

  Uint16 Port() const { return port_; }
  Uint16 TransferPort() const { return transferPort_; }
  const std::string& LocalAddressText() const { return localAddress_; }
  const std::string& Folder() const { return settings_.folder; }
  const std::string& News() const { return news_; }
  const std::string* Agreement() const { return agreement_ ? &*agreement_ : nullptr; }
  const std::string& ResourcePath() const { return resourcePath_; }
  SServerPrefs& Prefs() { return prefs_; }
  CMySessions& Sessions() { return *sessions_; }
  CMyServerLog& Log() { return *log_; }
  CMyAccountStore& Accounts() { return *accounts_; }
  // Present once started.
  CMyChatService* Chat() { return chat_.get(); }
  CMyNewsService* NewsService() { return newsService_.get(); }
  CMyTransferService* Transfers() { return transfers_.get(); }
  Uint16 ErrorCount() const { return errorCount_; }
  Uint16 ResetCount() const { return resetCount_; }
  bool IsQuittingPolitely() const { return quitting_; }

  // Announces the server to its trackers now, with the current user count; the number
  // of datagrams sent (0 when registration is off or the name is empty).
  std::size_t RegisterWithTrackers();
  // After a change to the preferences: with registration on, restarts the five-minute
  // tracker timer and announces at once; otherwise stops the timer.
  void RestartTrackerTimer();
  bool TrackerTimerRunning() const { return trackerTimer_ && UTimer::IsRunning(trackerTimer_.get()); }
  // Connection and transfer figures for the statistics window and the headless log.
  CMyServerStats& Stats() { return stats_; }
  SMyStatsValues StatsValues() const;

  // The session step: accepts, checks handshakes, serves requests, notices closes.
  void SessionStep();

  // Seconds of the framework clock.
  static Uint32 Now();

 private:
  static void OnTransport(void* context, void* object, Uint32 id, const void* data, Uint32 size);
  void AcceptClients(Uint32 now);
  void AcceptTransfers();
  void PlaySound(Int16 sound);
  void Terminate(std::string_view why);
  std::string DescribeError(const SError& e) const;
  void LoadTexts();
  // application_tracker.cpp
  void StartTrackerAndStats();
  bool TrackerOrStatsTimer(TTimer timer);
  SServerPrefs AnnouncedPrefs() const;

  SServerSettings settings_;
  URandom random_;
  SServerPrefs prefs_;
  std::unique_ptr<CMyServerLog> log_;
  std::unique_ptr<CMyAccountStore> accounts_;
  std::unique_ptr<CMySessions> sessions_;
  std::unique_ptr<CMyFileService> files_;
  std::string usersFolder_, filesFolder_, resourcePath_;
  std::string news_;
  std::optional<std::string> agreement_;
  TransactConnectionPtr listener_;
  TransportPtr transferListener_;
  TimerPtr shutdownTimer_;
  TimerPtr housekeeping_;
  Int64 shutdownStart_ = 0;
  Uint16 port_ = 0;
  Uint16 transferPort_ = 0;
  std::string localAddress_;
  Uint16 errorCount_ = 0;
  Uint16 resetCount_ = 0;
  bool quitting_ = false;
  bool started_ = false;
  bool stepping_ = false;
  Uint16 transferRefCounter_ = 1;
  std::unique_ptr<CMyChatService> chat_;
  std::unique_ptr<CMyNewsService> newsService_;
  TransportPtr trackerUdp_;
  TimerPtr trackerTimer_;
  CTrackerRegistration trackerRegistration_;
  CMyServerStats stats_;
  TimerPtr statsLogTimer_;
  std::unique_ptr<CMyTransferService> transfers_;
  TRezFile rezFile_ = nullptr;  // cvserver.dat, open while the application runs
};

}  // namespace cv
