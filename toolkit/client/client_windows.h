// The client's windows on Qt Widgets: the toolbar "Corvane" with the menus, the tasks,
// news, chat and online users windows, the connect, About, agreement and post windows,
// and the chat's windows that come and go. They show what the logic of client/ tells
// them through its view interfaces and hand what the user does back to its controllers.
//
// CMyClientProgram puts the whole program together (windows, application, chat and
// news) the way corvane runs it; tests make one too and drive its windows.
#pragma once

#include <memory>
#include <string>

#include "client/application.h"
#include "client/chat.h"
#include "client/news.h"

class QWidget;

namespace cv::client {

// Object names of the widgets a user types into or clicks, for tests and pictures.
namespace widgetNames {
inline constexpr const char* kServer = "server";
inline constexpr const char* kLogin = "login";
inline constexpr const char* kPassword = "password";
inline constexpr const char* kConnectButton = "connect";
inline constexpr const char* kChatText = "chatText";
inline constexpr const char* kChatEntry = "chatEntry";
inline constexpr const char* kUserList = "userList";
inline constexpr const char* kTaskList = "taskList";
inline constexpr const char* kStopButton = "stop";
inline constexpr const char* kStartNowButton = "startNow";
inline constexpr const char* kNewsText = "newsText";
inline constexpr const char* kPostText = "postText";
inline constexpr const char* kSendButton = "send";
inline constexpr const char* kSubject = "subject";
}  // namespace widgetNames

// What a row of the tasks window holds beside its text (Qt::DisplayRole).
enum EMyTaskRowRole : int {
  taskRoleId = 0x0100,  // Qt::UserRole
  taskRoleValue,
  taskRoleMaximum,
};
// What a row of a user list holds beside the name (Qt::DisplayRole).
enum EMyUserRowRole : int {
  userRoleId = 0x0100,
  userRoleIcon,
  userRoleFlags,
};

class CMyClientWindows {
 public:
  CMyClientWindows();
  ~CMyClientWindows();
  CMyClientWindows(const CMyClientWindows&) = delete;
  CMyClientWindows& operator=(const CMyClientWindows&) = delete;

  // For the application, the chat and the news, made after this.
  SMyCoreViews CoreViews();
  IMyChatViews& ChatViews();
  IMyNewsView& NewsView();

  // Menus and buttons reach the logic from here on; before CMyApplication::Start.
  void Attach(CMyApplication& app, CMyChatClient& chat, CMyNewsClient& news);
  // After CMyApplication::Start: every fixed window at its place, the icons.
  void Started();
  // Closes every window that comes and goes and forgets the logic; before it goes.
  void Detach();

  // The fixed windows (none for the tracker, which this build lacks).
  QWidget* Window(EMyWindow window) const;
  // The windows open at the moment (none when closed).
  QWidget* ConnectWindow() const;
  QWidget* AboutWindow() const;
  QWidget* AgreementWindow() const;
  QWidget* PostWindow() const;

 private:
  struct SImpl;
  std::unique_ptr<SImpl> d_;
};

// The program: windows, application, chat and news, in the order they depend on.
class CMyClientProgram {
 public:
  explicit CMyClientProgram(SMyClientSettings settings);
  ~CMyClientProgram();
  CMyClientProgram(const CMyClientProgram&) = delete;
  CMyClientProgram& operator=(const CMyClientProgram&) = delete;

  // Preferences, windows shown as saved, chat style.
  void Start();

  CMyClientWindows& Windows() { return windows_; }
  CMyApplication& App() { return *app_; }
  CMyChatClient& Chat() { return *chat_; }
  CMyNewsClient& News() { return *news_; }

 private:
  CMyClientWindows windows_;
  std::unique_ptr<CMyApplication> app_;
  std::unique_ptr<CMyChatClient> chat_;
  std::unique_ptr<CMyNewsClient> news_;
};

// corvane with its windows: Qt, the loop binding, the alerts, the program; connects at
// once when the command line names a server. Returns the process's exit status.
int RunClient(int argc, char** argv, const SMyClientCommandLine& commandLine);

}  // namespace cv::client
