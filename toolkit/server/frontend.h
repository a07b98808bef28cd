// corvane-server with its windows: what the program's main calls when it does not run
// headless. Nothing here needs Qt's headers.
#pragma once

#include <string>

#include "server/application.h"

namespace cv {

// True when windows can be opened; otherwise false with the reason (no display).
bool CanOpenServerWindows(std::string* why);

// Starts Qt, its loop binding and the alerts, then runs the application with its
// windows until it quits. Returns the process's exit status. A server that cannot
// start says why in an alert (and on the diagnostic output).
int RunServerWithWindows(int argc, char** argv, SServerSettings settings);

}  // namespace cv
