// Whether windows can be shown at all, asked before Qt is started (a QApplication
// without a display ends the process).
#pragma once

#include <string>

namespace cv {

namespace UDisplay {

// True when QT_QPA_PLATFORM names a platform, or when the X display in DISPLAY or the
// Wayland socket in WAYLAND_DISPLAY answers. Otherwise false with the reason.
bool CanOpen(std::string* why = nullptr);

}  // namespace UDisplay

}  // namespace cv
