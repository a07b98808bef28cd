// corvane: parses the command line and runs the client with its windows.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client/application.h"
#include "toolkit/client/client_windows.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  cv::client::SMyClientCommandLine cmd;
  std::string error;
  if (!cv::client::ParseClientCommandLine(args, cmd, error)) {
    std::fprintf(stderr, "corvane: %s\n%s", error.c_str(), cv::client::ClientUsageText().c_str());
    return 2;
  }
  if (cmd.action == cv::client::SMyClientCommandLine::Help) {
    std::fputs(cv::client::ClientUsageText().c_str(), stdout);
    return 0;
  }
  if (cmd.action == cv::client::SMyClientCommandLine::Version) {
    std::printf("corvane %s\n", CORVANE_VERSION);
    return 0;
  }
  return cv::client::RunClient(argc, argv, cmd);
}
