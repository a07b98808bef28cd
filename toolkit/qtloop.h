// The framework's loop on Qt's: a binding that watches descriptors with socket
// notifiers and wakes through queued calls, so that CApplication::Run drives the
// windows, and Qt's own loops (modal dialogs, message boxes) keep the network, the
// timers and the framework's messages going.
//
// While the framework waits (CApplication::Run, UEventLoop::RunUntil), each wait is
// one pass of Qt's event processing. While Qt runs a loop of its own, every notifier,
// wake and timer of the binding calls the watch procedure and then UEventLoop::Pump,
// and one Qt timer stays armed for UEventLoop::NextTimeout. Everything happens on the
// thread that made the QApplication.
//
// Window code calls into program logic through UQtLoop::Act: an SError it raises is
// reported as the loop reports errors (msg_Error to the application) instead of
// unwinding through Qt, and the messages and timers it started are served even when a
// Qt loop is running at the time.
#pragma once

#include <functional>
#include <memory>

#include "framework/events.h"

class QDialog;

namespace cv {

namespace UQtLoop {

// A binding for the calling thread, which must be the thread of the QCoreApplication.
std::unique_ptr<ILoopBinding> NewBinding();
// Installs it as this thread's loop binding (before any descriptor is watched).
void Install();
// Whether the installed binding of this thread is the Qt one.
bool IsInstalled();

// Runs a window's action on program logic. Never throws: an SError becomes msg_Error
// (priority 10, to the application); anything else is kept and rethrown from the
// framework's next wait. Then asks for a pump.
void Act(const std::function<void()>& action);

// Makes the framework's loop run a pass soon, from whatever loop is running.
void RequestPump();

// Runs a modal dialog. Messages posted and timers started just before it (by the
// handler that opens it) are served while it is up. Returns QDialog::exec's result.
int Exec(QDialog& dialog);

}  // namespace UQtLoop

}  // namespace cv
