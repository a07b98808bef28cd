// The client program's application object: owns the connection to one server at a
// time, the task list, the settings and statistics, and talks to the fixed windows
// through their views. Services (chat, news) register handlers for the transactions the
// server sends on its own and listen for connects and disconnects.
//
// Everything runs on the loop thread. The application's connection and timers carry
// their own handler, so nothing here depends on being the queue's default handler.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/prefs.h"
#include "client/task.h"
#include "client/views.h"
#include "framework/errors.h"
#include "framework/events.h"
#include "framework/random.h"
#include "framework/resources.h"
#include "framework/transport.h"
#include "protocol/fields.h"
#include "protocol/transaction.h"

namespace cv::client {

inline constexpr std::string_view kResourceFileName = "corvane.dat";
inline constexpr Uint32 kSubProtocol = FourCC("CRVN");
inline constexpr Uint16 kSubVersion = 2;
inline constexpr Uint16 kDefaultServerPort = 5500;
inline constexpr Uint32 kCleanupDelayMs = 500;
// Agreement text one connection may send; more is dropped.
inline constexpr std::size_t kMaxAgreementText = 1024 * 1024;

// Alerts of corvane.dat.
enum : Int16 {
  kAlertConnectionLost = 131,
  kAlertToolbarFile = 136,
  kAlertUnknownDocument = 137,
  kAlertSettingsFile = 139,
  kAlertNetworkError = 142,
  kAlertDisconnected = 143,
  kAlertHandshakeRefused = 146,
};

inline constexpr std::string_view kServerMessageTitle = "Server Message";
inline constexpr std::string_view kAdminMessageTitle = "Administrator Message";

// Something that must react to connect and disconnect (chat, news, ...).
class IMyConnectionListener {
 public:
  virtual ~IMyConnectionListener() = default;
  // A connect to ServerText() has started (the public chat clears its text).
  virtual void Connecting() {}
  // The handshake is done and the login task has been started.
  virtual void Connected() {}
  // Tasks are destroyed and the connection is gone.
  virtual void Disconnected() {}
};

// An incoming server transaction: the request's fields.
using TIncomingHandler = std::function<void(UFieldData& fields)>;

// What the program is started with.
struct SMyClientSettings {
  std::string folder;                  // holds "Corvane Prefs"
  std::string resourceFolder;          // holds corvane.dat; empty: the folder, then the program's folder
  std::vector<std::string> documents;  // files to open once the loop runs
};

struct SMyCoreViews {
  IMyClientShell& shell;
  IMyToolbarView& toolbar;
  IMyTasksView& tasks;
};

class CMyApplication : public CApplication {
 public:
  CMyApplication(SMyClientSettings settings, SMyCoreViews views);
  ~CMyApplication() override;

  // Start-up: the resource file, the preferences, the fixed windows shown as saved.
  void Start();
  // Disconnects and saves the preferences, then quits.
  void Quit() override;
  void Error(const SError& error) override;
  void HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) override;
  void Timer(TTimer timer) override;
  void OpenDocument(std::string_view path) override;

  // ---- Commands (menu and toolbar)
  void Command(Uint32 command);
  // A service's command (post news, the hidden command window, ...); replaces the built-in one.
  void AddCommandHandler(Uint32 command, std::function<void()> handler);
  void RemoveCommandHandler(Uint32 command);

  // ---- Connection
  // The connect window's "Connect": "0" means 127.0.0.1, "host:port" a port (default
  // 5500); login and password become the application's. Disconnects first.
  void ConnectTo(std::string_view server, std::string_view login, std::string_view password);
  void Disconnect();
  bool IsConnected() const { return connected_; }
  // None while not connecting or connected.
  TTransactConnection Connection() { return connection_.get(); }
  const std::string& ServerText() const { return serverText_; }
  const SInternetNameAddress& ServerAddress() const { return serverAddress_; }
  const std::string& Login() const { return login_; }
  const std::string& Password() const { return password_; }
  // Clock seconds when the connection was established; 0 while not connected.
  Uint32 ConnectTime() const { return connectTime_; }
  // Sends a transaction that expects no reply; does nothing while not connected.
  void PostTransaction(Uint16 type, UFieldData& fields);
  // Common reply check: field 100 in a "Server Message" alert, then (1, 1) raised when
  // errorCode is not 0 (silent when a text was shown).
  void CheckReply(Uint32 errorCode, const UFieldData& reply);

  // ---- Incoming transactions and listeners
  // One handler per type. ServerMessage (104) handlers get private messages only (field
  // 103 non-zero); the application shows the others itself.
  void AddIncomingHandler(Uint16 type, TIncomingHandler handler);
  void RemoveIncomingHandler(Uint16 type);
  // Called in registration order.
  void AddConnectionListener(IMyConnectionListener& listener);
  void RemoveConnectionListener(IMyConnectionListener& listener);

  // ---- Tasks
  // Creates a task owned by the task list; returns it.
  template <class T, class... A>
  T& StartTask(A&&... args) {
    auto task = std::make_unique<T>(*this, std::forward<A>(args)...);
    T& ref = *task;
    Adopt(std::move(task));
    return ref;
  }
  // The tasks in list order.
  std::vector<CMyTask*> Tasks() const;
  CMyTask* FindTask(Uint32 taskId) const;
  // The stop button: an unfinished task is destroyed, or, for a connect or login task,
  // the client disconnects. A finished or unknown task: nothing.
  void StopTask(Uint32 taskId);
  // The start-now button.
  void StartTaskNow(Uint32 taskId);
  CMyTasksWindow& TasksWindow() { return tasksWindow_; }

  // ---- Alerts and sounds
  // Plays the sound when sounds are on and its option bit is set.
  void PlaySound(Int16 soundId, Uint32 soundFlag);
  void Beep() { views_.shell.Beep(); }
  // A numbered alert of corvane.dat, "%#s" replaced by arg; built-in wording when the
  // resource file lacks it.
  void ShowAlert(Int16 alertId, std::string_view arg = {});
  void ShowMessageAlert(std::string_view title, std::string_view text);
  IMyClientShell& Shell() { return views_.shell; }
  IMyToolbarView& Toolbar() { return views_.toolbar; }

  // ---- Settings and statistics
  SMyClientPrefs& Prefs() { return prefs_; }
  // Writes "Corvane Prefs" with the windows' current places; raises on failure.
  void SavePrefs();
  const std::string& Folder() const { return settings_.folder; }
  // online seconds += now - connect time; connect time = now (while connected).
  void UpdateOnlineSeconds();
  // "%#s %#s, %#s uploaded, %#s chat, %#s online", online time brought up to date.
  std::string StatisticsText();
  URandom& Random() { return random_; }
  std::string_view DownloadFolderName() const { return "Downloads"; }

  // ---- Used by the tasks
  Uint32 RegisterTask(CMyTask& task, std::string_view title);
  void UnregisterTask(CMyTask& task);
  void SetTaskProgress(CMyTask& task, Uint32 value, Uint32 maximum, std::string_view text);
  void FinishTask(CMyTask& task);
  // The connect task's fresh connection; the old one is disposed of.
  TTransactConnection NewConnection();
  // The connect task's success: connected look, connect time, login task, listeners.
  void HandshakeDone();
  // Asks for a processing pass (at most one is pending).
  void RequestProcessing();
  // The processing pass: the connection check, every unfinished task, then the
  // incoming transactions.
  void ProcessTasks();

 private:
  struct SEntry {
    Uint32 id = 0;
    CMyTask* task = nullptr;
    std::unique_ptr<CMyTask> owner;
  };

  static void OnMessage(void* context, void* object, Uint32 id, const void* data, Uint32 size);
  void Adopt(std::unique_ptr<CMyTask> task);
  void DestroyTask(Uint32 taskId);
  void TaskFailed(Uint32 taskId, const SError& error);
  void DispatchIncoming();
  void HandleServerMessage(UFieldData& fields);
  void HandleShowAgreement(UFieldData& fields);
  void HandleDisconnectMessage(UFieldData& fields);
  void Dispatch(Uint16 type, UFieldData& fields);
  void RestoreTitles();
  void Cleanup();
  void OpenResourceFile();

  SMyClientSettings settings_;
  SMyCoreViews views_;
  CMyTasksWindow tasksWindow_;
  URandom random_;
  SMyClientPrefs prefs_;
  TRezFile rezFile_ = nullptr;

  TransactConnectionPtr connection_;
  bool connected_ = false;
  Uint32 connectTime_ = 0;
  std::string serverText_;
  SInternetNameAddress serverAddress_;
  std::string login_, password_;
  std::optional<std::string> agreement_;
  std::size_t agreementBytes_ = 0;

  std::vector<SEntry> tasks_;
  Uint32 nextTaskId_ = 1;
  TimerPtr cleanupTimer_;
  bool processing_ = false;
  bool closing_ = false;

  std::map<Uint16, TIncomingHandler> incoming_;
  std::vector<IMyConnectionListener*> listeners_;
  std::map<Uint32, std::function<void()>> commands_;
};

// ---- The command line of corvane

struct SMyClientCommandLine {
  enum EAction { Run, Help, Version };
  EAction action = Run;
  std::string dir;                     // --dir: where "Corvane Prefs" lives; empty: the program's folder
  std::optional<std::string> server;   // --server HOST[:PORT]: connect at start
  std::string login, password;         // --login, --password (with --server)
  std::vector<std::string> documents;  // other arguments: files to open
};

// False with a message for an unknown option or a missing value.
bool ParseClientCommandLine(std::span<const std::string_view> args, SMyClientCommandLine& out, std::string& error);
std::string ClientUsageText();
// The application's settings for a command line: the folder (the program's own without
// --dir) and the documents. A --server is connected to by the front end after Start.
SMyClientSettings SettingsFromCommandLine(const SMyClientCommandLine& commandLine);
// The folder that holds the running program.
std::string ProgramFolder();

}  // namespace cv::client
