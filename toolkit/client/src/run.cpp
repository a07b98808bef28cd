// corvane with its windows: Qt, the loop binding and the alerts around the program.
#include <signal.h>

#include <QApplication>
#include <cstdio>
#include <filesystem>

#include "framework/transport.h"
#include "toolkit/alerts.h"
#include "toolkit/client/client_windows.h"
#include "toolkit/display.h"
#include "toolkit/qtloop.h"

namespace cv::client {

int RunClient(int argc, char** argv, const SMyClientCommandLine& commandLine) {
  std::string why;
  // A QApplication without a display ends the process; say why instead.
  if (!UDisplay::CanOpen(&why)) {
    std::fprintf(stderr, "corvane: cannot open a window: %s\n", why.c_str());
    return 1;
  }
  SMyClientSettings settings = SettingsFromCommandLine(commandLine);
  settings.resourceFolder = ProgramFolder();
  std::error_code ec;
  std::filesystem::create_directories(settings.folder, ec);

  // Qt starts threads of its own; they must leave interrupt, terminate and hang-up to
  // the loop, which turns them into a Quit that saves the preferences.
  sigset_t quitSignals;
  sigemptyset(&quitSignals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&quitSignals, sig);
  pthread_sigmask(SIG_BLOCK, &quitSignals, nullptr);

  QApplication qt(argc, argv);
  // The program ends by its own Quit, which first saves the preferences.
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName(QStringLiteral("Corvane"));
  int status = 0;
  try {
    UTransport::Init();
    UQtLoop::Install();
    UEventLoop::WatchSignals();
    UAlert::InstallErrorSink();
    CMyClientProgram program(std::move(settings));
    program.Start();
    if (commandLine.server) program.App().ConnectTo(*commandLine.server, commandLine.login, commandLine.password);
    program.App().Run();
  } catch (const SError& e) {
    std::fprintf(stderr, "corvane: cannot start (ID %hi/%hi)\n", e.errClass, e.id);
    status = 1;
  }
  UEventLoop::StopWatchingSignals();
  // The Qt binding's notifiers and timers must go before the QApplication does.
  UEventLoop::SetBinding(NewEpollBinding());
  return status;
}

}  // namespace cv::client
