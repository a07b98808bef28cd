// The client's windows without the windows: what each one shows and what its user can
// do, as small interfaces that the desktop front end implements and tests record.
// Texts are Mac OS Roman throughout; the front end converts them for display.
//
// The logic never waits for a window: a window that asks something (connect, agreement,
// post) is opened through the shell, and the front end makes the window's controller
// (CMyConnectWindow, CMyAgreementWindow, CMyPostWindow) and calls it when a button is
// clicked.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/prefs.h"
#include "framework/types.h"

namespace cv::client {

class CMyApplication;

// ---- Commands (menu "Corvane", toolbar buttons). Values are the customisable toolbar's
// item numbers; the menu-only commands follow.
enum EMyCommand : Uint32 {
  cmdOptions = 1,
  cmdConnect = 2,
  cmdDisconnect = 3,
  cmdShowNews = 4,
  cmdPostNews = 5,
  cmdShowChat = 6,
  cmdShowFiles = 7,
  cmdShowOnlineUsers = 8,
  cmdShowTasks = 9,
  cmdQuit = 10,
  cmdAbout = 11,
  cmdNewUser = 12,
  cmdOpenUser = 13,
  cmdNothing = 14,
  cmdShowTracker = 15,
  cmdShowToolbar = 16,
  cmdCloseFolders = 17,
  cmdHiddenCommands = 666,
};

struct SMyToolbarButton {
  EMyCommand command;
  std::string_view label;
  Int16 icon;
};

// The toolbar window "Corvane": its buttons in order.
std::span<const SMyToolbarButton> ToolbarButtons();

// ---- Toolbar

enum class EMyToolbarLook : Uint8 {
  Disconnected,  // "Connect" on; "Disconnect" and the server buttons off
  Connecting,    // "Connect" off, "Disconnect" on, the server buttons off
  Connected,     // "Connect" off; "Disconnect" and the server buttons on
};

// Whether a command's button is enabled in a look. The server buttons are "Post...",
// "Files", "New User" and "Open User"; the others are always enabled.
bool IsCommandEnabled(EMyToolbarLook look, EMyCommand command);

class IMyToolbarView {
 public:
  virtual ~IMyToolbarView() = default;
  virtual void SetLook(EMyToolbarLook look) = 0;
};

// ---- Tasks window ("Tasks"; rows keyed by the task's id)

struct SMyTaskRow {
  Uint32 value = 0;
  Uint32 maximum = 0;
  std::string text;
  bool operator==(const SMyTaskRow&) const = default;
};

class IMyTasksView {
 public:
  virtual ~IMyTasksView() = default;
  virtual void AddRow(Uint32 taskId, const SMyTaskRow& row) = 0;
  virtual void UpdateRow(Uint32 taskId, const SMyTaskRow& row) = 0;
  virtual void RemoveRow(Uint32 taskId) = 0;
};

// ---- Alerts

struct SMyAlert {
  enum Kind : Uint8 { kindNote = 0, kindCaution = 1, kindStop = 2, kindQuestion = 3 };
  Int16 id = 0;  // the resource number; 0 for a message alert
  Uint8 kind = kindNote;
  std::string title;
  std::string text;
  std::vector<std::string> buttons;  // at least "OK"
  bool operator==(const SMyAlert&) const = default;
};

// ---- Connect window ("Connect")

inline constexpr std::string_view kConnectPrompt =
    "Enter the server address, and if you have an account, your login and password.  If not, leave the login and "
    "password blank.";

struct SMyConnectForm {
  std::string server;    // "Server:"
  std::string login;     // "Login:"
  std::string password;  // "Password:"
  bool operator==(const SMyConnectForm&) const = default;
};

class IMyConnectView {
 public:
  virtual ~IMyConnectView() = default;
  virtual SMyConnectForm Read() = 0;
  virtual void Close() = 0;
};

// What the connect window's buttons do.
class CMyConnectWindow {
 public:
  CMyConnectWindow(CMyApplication& app, IMyConnectView& view) : app_(app), view_(view) {}
  // "Connect": closes the window and connects with its fields.
  void Connect();
  void Cancel() { view_.Close(); }
  // "Save...": bookmarks are not kept yet; beeps and stays open.
  void Save();

 private:
  CMyApplication& app_;
  IMyConnectView& view_;
};

// ---- Agreement window ("Agreement")

inline constexpr std::string_view kAgreementPrompt =
    "Please read this agreement carefully.  By clicking on the \xD2"
    "Agree\xD3 button, you are agreeing to be bound by "
    "the terms of this agreement.";

class IMyAgreementView {
 public:
  virtual ~IMyAgreementView() = default;
  virtual void Close() = 0;
};

class CMyAgreementWindow {
 public:
  CMyAgreementWindow(CMyApplication& app, IMyAgreementView& view) : app_(app), view_(view) {}
  void Agree() { view_.Close(); }
  // Closes and disconnects.
  void Disagree();

 private:
  CMyApplication& app_;
  IMyAgreementView& view_;
};

// ---- News window ("News") and post window ("Post Message")

inline constexpr std::string_view kPostPrompt =
    "Type a message below.  When you click \xD4Send\xD5, the message will be posted for discussion.";

class IMyNewsView {
 public:
  virtual ~IMyNewsView() = default;
  // Replaces the whole text and redraws.
  virtual void SetText(std::string_view text) = 0;
  // Inserts before the first byte and redraws.
  virtual void InsertAtStart(std::string_view text) = 0;
  virtual void ScrollToTop() = 0;
  // Opens the post window modally; its controller is CMyPostWindow (client/news.h).
  virtual void OpenPostWindow() = 0;
};

class IMyPostView {
 public:
  virtual ~IMyPostView() = default;
  // The entry's whole text.
  virtual std::string Text() = 0;
  virtual void Close() = 0;
};

// ---- The shell: alerts, sounds and the fixed windows as a group

class IMyClientShell {
 public:
  virtual ~IMyClientShell() = default;
  // An informational alert; the front end shows it (modal or not) and nothing waits.
  virtual void ShowAlert(const SMyAlert& alert) = 0;
  virtual void Beep() = 0;
  // A 'snd ' resource of corvane.dat.
  virtual void PlaySound(Int16 soundId) = 0;

  // Shows a fixed window, or brings it to the front when it is shown.
  virtual void ShowWindow(EMyWindow window) = 0;
  // "Chat", "Tasks (server)", ...
  virtual void SetWindowTitle(EMyWindow window, std::string_view title) = 0;
  // Where a fixed window is and whether it is shown, for the preferences file; false
  // when the window does not exist.
  virtual bool GetWindowState(EMyWindow window, SMyRect& rect, bool& visible) = 0;

  // Opens the connect window with its fields filled (controller CMyConnectWindow);
  // the bookmark popup is shown only when bookmarks exist.
  virtual void OpenConnect(const SMyConnectForm& form, bool showBookmarks) = 0;
  // "About Corvane" with the statistics line and an "OK" button.
  virtual void OpenAbout(std::string_view statistics) = 0;
  // "Agreement" with kAgreementPrompt above the text (controller CMyAgreementWindow).
  virtual void OpenAgreement(std::string_view text) = 0;
  virtual void OpenOptions() = 0;
  // At disconnect: closes the folder, file information and account windows.
  virtual void CloseServerWindows() = 0;
};

}  // namespace cv::client
