// The toolbar's buttons and looks, and the buttons of the connect and agreement windows.
#include "client/views.h"

#include <array>

#include "client/application.h"

namespace cv::client {

namespace {

constexpr std::array kButtons = {
    SMyToolbarButton{cmdOptions, "Options", 419},     SMyToolbarButton{cmdConnect, "Connect...", 411},
    SMyToolbarButton{cmdShowTracker, "Tracker", 420}, SMyToolbarButton{cmdShowNews, "News", 413},
    SMyToolbarButton{cmdPostNews, "Post...", 413},    SMyToolbarButton{cmdShowChat, "Chat", 415},
    SMyToolbarButton{cmdShowFiles, "Files", 400},     SMyToolbarButton{cmdShowOnlineUsers, "Users", 414},
    SMyToolbarButton{cmdShowTasks, "Tasks", 416},     SMyToolbarButton{cmdNewUser, "New User", 417},
    SMyToolbarButton{cmdOpenUser, "Open User", 418},  SMyToolbarButton{cmdQuit, "Quit", 213},
    SMyToolbarButton{cmdAbout, "About", 215},         SMyToolbarButton{cmdDisconnect, "Disconnect", 412},
};

bool IsServerCommand(EMyCommand c) {
  return c == cmdPostNews || c == cmdShowFiles || c == cmdNewUser || c == cmdOpenUser;
}

}  // namespace

std::span<const SMyToolbarButton> ToolbarButtons() { return kButtons; }

bool IsCommandEnabled(EMyToolbarLook look, EMyCommand command) {
  if (command == cmdConnect) return look == EMyToolbarLook::Disconnected;
  if (command == cmdDisconnect) return look != EMyToolbarLook::Disconnected;
  if (IsServerCommand(command)) return look == EMyToolbarLook::Connected;
  return true;
}

void CMyConnectWindow::Connect() {
  const SMyConnectForm form = view_.Read();
  view_.Close();
  app_.ConnectTo(form.server, form.login, form.password);
}

void CMyConnectWindow::Save() { app_.Beep(); }

void CMyAgreementWindow::Disagree() {
  view_.Close();
  app_.Disconnect();
}

}  // namespace cv::client
