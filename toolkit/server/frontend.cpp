// Placeholder until the server windows land.
#include "toolkit/server/frontend.h"

namespace cv {

int RunServerWithWindows(int /*argc*/, char** /*argv*/, SServerSettings /*settings*/) { return 1; }

}  // namespace cv
