// corvane-server with windows: Qt, the loop binding, the alerts, then the application.
#include "toolkit/server/frontend.h"

#include <pthread.h>
#include <signal.h>

#include <QApplication>
#include <cstdio>

#include "framework/events.h"
#include "framework/text.h"
#include "framework/transport.h"
#include "toolkit/alerts.h"
#include "toolkit/display.h"
#include "toolkit/media.h"
#include "toolkit/qtloop.h"
#include "toolkit/server/server_windows.h"

namespace cv {

bool CanOpenServerWindows(std::string* why) { return UDisplay::CanOpen(why); }

int RunServerWithWindows(int argc, char** argv, SServerSettings settings) {
  // Qt starts threads of its own; they must leave interrupt and terminate to the loop,
  // which reads them as messages (the mask is inherited).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &set, &saved);

  static int qtArgc;
  qtArgc = argc;
  QApplication qt(qtArgc, argv);
  QApplication::setApplicationName("corvane-server");
  QApplication::setQuitOnLastWindowClosed(false);

  int status = 0;
  CMyServerWindows windows;
  windows.Attach(settings);
  // Said while the application (and with it the resource file and its error texts) is
  // still there; interrupt and terminate act as usual while the alert waits.
  auto cannotStart = [&](const SError& e) {
    windows.Detach();
    std::fprintf(stderr, "corvane-server: cannot start (%s)\n", UError::IdText(e).c_str());
    std::fflush(stderr);
    UEventLoop::StopWatchingSignals();
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    UError::Alert(e);
    status = 1;
  };
  try {
    UQtLoop::Install();
    UAlert::InstallErrorSink();
    UTransport::Init();
    UEventLoop::WatchSignals();
    CMyApplication app(settings);
    // The windows go before the application they show.
    struct SDetach {
      CMyServerWindows& w;
      ~SDetach() { w.Detach(); }
    } detach{windows};
    try {
      app.Start();
    } catch (const SError& e) {
      cannotStart(e);
    }
    if (status == 0) {
      std::string password = CreateFirstAccounts(app.Accounts());
      if (!password.empty()) {
        std::fprintf(stderr,
                     "corvane-server: first start: created account \"admin\" with password \"%s\" "
                     "(shown only once) and account \"guest\" without a password\n",
                     password.c_str());
        // The operator of a desktop server reads the log window rather than a terminal.
        app.Log().Line("",
                       "First start: account \xD2"
                       "admin\xD3 has the password \xD2" +
                           password + "\xD3 (shown only once); account \xD2guest\xD3 has none");
      }
      std::fprintf(stderr, "corvane-server: listening on %s port %u (transfers on %u), folder %s\n",
                   app.LocalAddressText().c_str(), unsigned(app.Port()), unsigned(app.TransferPort()),
                   settings.folder.c_str());
      std::fflush(stderr);
      app.Run();
    }
  } catch (const SError& e) {
    if (status == 0) cannotStart(e);
    status = 1;
  }
  UEventLoop::StopWatchingSignals();
  UError::SetAlertSink(nullptr);
  UImage::ClearCache();
  // The binding's notifiers belong to this QApplication.
  UEventLoop::SetBinding(NewEpollBinding());
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return status;
}

}  // namespace cv
