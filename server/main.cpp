// corvane-server: parses the command line, builds the application object and runs it.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "framework/events.h"
#include "framework/transport.h"
#include "server/application.h"
#ifdef CORVANE_SERVER_WINDOWS
#include "toolkit/server/frontend.h"
#endif

namespace {

int AddAccount(const cv::SServerCommandLine& cmd, const std::string& folder) {
  std::string password;
  if (::isatty(STDIN_FILENO)) std::fprintf(stderr, "Password for %s: ", cmd.accountLogin.c_str());
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.size() > cv::kAccountPasswordMax) {
    std::fprintf(stderr, "corvane-server: password too long (at most 32 characters)\n");
    return 2;
  }
  try {
    cv::CMyAccountStore store(folder + "/Users");
    std::error_code ec;
    std::filesystem::create_directories(store.Folder(), ec);
    store.Create(cv::MakeAccount(cmd.accountLogin, cmd.accountName, password,
                                 cmd.accountAdmin ? cv::AdminPrivileges() : cv::GuestPrivileges()));
  } catch (const cv::SError& e) {
    if (e.Is(cv::errClassFiles, cv::errNameExists))
      std::fprintf(stderr, "corvane-server: an account with login \"%s\" exists already\n", cmd.accountLogin.c_str());
    else
      std::fprintf(stderr, "corvane-server: cannot create the account (ID %hi/%hi)\n", e.errClass, e.id);
    return 1;
  }
  std::fprintf(stderr, "corvane-server: account \"%s\" created\n", cmd.accountLogin.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  cv::SServerCommandLine cmd;
  std::string error;
  if (!cv::ParseServerCommandLine(args, cmd, error)) {
    std::fprintf(stderr, "corvane-server: %s\n%s", error.c_str(), cv::ServerUsageText().c_str());
    return 2;
  }
  if (cmd.action == cv::SServerCommandLine::Help) {
    std::fputs(cv::ServerUsageText().c_str(), stdout);
    return 0;
  }
  if (cmd.action == cv::SServerCommandLine::Version) {
    std::printf("corvane-server %s\n", CORVANE_VERSION);
    return 0;
  }
  const std::string programFolder = cv::ProgramFolder();
  const std::string folder = cmd.dir.empty() ? programFolder : cmd.dir;
  if (cmd.action == cv::SServerCommandLine::AddAccount) return AddAccount(cmd, folder);

  cv::SServerSettings settings;
  settings.folder = folder;
  settings.resourceFolder = programFolder;
  settings.port = cmd.port;
  settings.tracker = cmd.tracker;
#ifdef CORVANE_SERVER_WINDOWS
  if (!cmd.headless) {
    std::string why;
    if (cv::CanOpenServerWindows(&why)) return cv::RunServerWithWindows(argc, argv, std::move(settings));
    std::fprintf(stderr, "corvane-server: %s; running headless\n", why.c_str());
  }
#endif
  settings.headless = true;
  try {
    cv::UTransport::Init();
    cv::UEventLoop::WatchSignals();
    cv::CMyApplication app(settings);
    app.Start();
    cv::CMyAccountStore& store = app.Accounts();
    std::string password = cv::CreateFirstAccounts(store);
    if (!password.empty())
      std::fprintf(stderr,
                   "corvane-server: first start: created account \"admin\" with password \"%s\" "
                   "(shown only once) and account \"guest\" without a password\n",
                   password.c_str());
    std::fprintf(stderr, "corvane-server: listening on %s port %u (transfers on %u), folder %s\n",
                 app.LocalAddressText().c_str(), unsigned(app.Port()), unsigned(app.TransferPort()), folder.c_str());
    std::fflush(stderr);
    app.Run();
    cv::UEventLoop::StopWatchingSignals();
  } catch (const cv::SError& e) {
    std::fprintf(stderr, "corvane-server: cannot start (ID %hi/%hi", e.errClass, e.id);
    if (e.systemCode) std::fprintf(stderr, " [%li]", long(e.systemCode));
    std::fprintf(stderr, ")\n");
    return 1;
  }
  return 0;
}
