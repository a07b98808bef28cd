// corvane-server with its windows.
#pragma once

#include "server/application.h"

namespace cv {

// Runs the server with its windows: starts Qt, the Qt loop binding and the alerts,
// then the application with its main, log and statistics windows, until it quits.
// Returns the process's exit status.
int RunServerWithWindows(int argc, char** argv, SServerSettings settings);

}  // namespace cv
