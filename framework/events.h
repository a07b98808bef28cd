// Messages, timers and the application loop.
//
// A program is one thread driven by one loop. Everything that happens to it (a socket
// becoming readable, a finished host-name lookup, a timer tick, a signal, an error
// that escaped a handler) becomes a message in one queue, and messages are handled one
// at a time, each to completion. A notification is never a nested call from inside the
// operation that caused it: it is queued and runs after that operation has returned.
//
// The queue (UMessageSys) delivers by priority (higher first), then in posting order.
// Timers (UTimer) post msg_Timer through UMessageSys::Replace, so at most one tick per
// timer is ever pending. Timers read UClock, so tests that move the clock forward make
// due timers fire on the next UEventLoop::Pump.
//
// The loop (UEventLoop) waits on a replaceable binding (ILoopBinding): epoll for
// headless programs, tests and benches; the desktop plugs in its own binding and calls
// UEventLoop::Pump from its native loop. State is per thread: a thread that runs a loop
// has its own queue, timers and binding.
#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/errors.h"
#include "framework/types.h"

namespace cv {

// Message ids used by the framework. Programs use ids above 999.
enum : Uint32 {
  msg_Error = 1,           // data: SErrorMessage
  msg_Timer = 2,           // object: the timer
  msg_Quit = 3,            // no data
  msg_Command = 8,         // data: SCommandMessage
  msg_DialogHit = 31,      // data: the dialog's hit record
  msg_OpenDocuments = 33,  // no data
  msg_Signal = 40,         // data: Int32 signal number (SIGINT, SIGTERM, SIGHUP)
  msg_MenuCommand = 999,   // data: u32 command
};

// Command code of the keyboard shortcut that asks the program to quit.
inline constexpr Uint32 kQuitCommand = 10000;

// (context, object, message id, data, data size). Data lives until the call returns.
using TMessageProc = void (*)(void* context, void* object, Uint32 id, const void* data, Uint32 size);

// The copy of an error carried by msg_Error (a plain record, safe to copy as bytes).
struct SErrorMessage {
  Int16 errClass = errClassGeneral;
  Int16 id = errUnknown;
  Int32 systemCode = 0;
  const char* source = "";  // static text
  Uint32 line = 0;
  Uint32 flags = 0;

  static SErrorMessage From(const SError& e);
  SError ToError() const;
};

// Data of msg_Command.
struct SCommandMessage {
  Uint32 code = 0;
  Uint32 time = 0;
  Uint32 character = 0;
  Uint32 modifiers = 0;
};

namespace UMessageSys {

// Copies the data and appends the message behind every pending one. Without a handler
// the message goes to the default handler at delivery time.
void Post(Uint32 id, const void* data = nullptr, Uint32 size = 0, Int16 priority = 0, TMessageProc handler = nullptr,
          void* context = nullptr, void* object = nullptr);

// Updates a pending message with the same id, handler and context (and object, when
// one is given) in place, keeping its place in the queue; posts when there is none.
void Replace(Uint32 id, const void* data = nullptr, Uint32 size = 0, Int16 priority = 0, TMessageProc handler = nullptr,
             void* context = nullptr, void* object = nullptr);

// Removes every pending message for that handler and context (and object, when given).
void Flush(TMessageProc handler, void* context, void* object = nullptr);

// Calls the handler at once; an SError it raises is reported as if the message had been
// queued (msg_Error to the default handler).
void Send(Uint32 id, const void* data = nullptr, Uint32 size = 0, Int16 priority = 0, TMessageProc handler = nullptr,
          void* context = nullptr, void* object = nullptr);

// Delivers the pending message with the highest priority (earliest among equals); with
// ids, only messages whose id is among them. Returns false when nothing qualifies.
bool Execute(std::span<const Uint32> ids = {});

void SetDefaultHandler(TMessageProc handler, void* context);
TMessageProc GetDefaultHandler();
void* GetDefaultContext();

// Pending messages (all, or those with that id).
std::size_t GetCount();
std::size_t GetCount(Uint32 id);
// Drops every pending message. For tests and for the end of a thread's loop.
void Clear();

}  // namespace UMessageSys

struct TTimerRec;
using TTimer = TTimerRec*;

namespace UTimer {

// A stopped timer. Ticks go to handler(context, timer, msg_Timer, nullptr, 0); without a
// handler to CApplication::Timer.
TTimer New(TMessageProc handler, void* context);
// Creates and starts; raises (3, 101) when the timer cannot be set.
TTimer StartNew(TMessageProc handler, void* context, Uint32 intervalMs, bool repeating);
// (Re)starts; the first tick comes one interval from now.
void Start(TTimer timer, Uint32 intervalMs, bool repeating);
// Returns whether it was running. None returns false.
bool Stop(TTimer timer);
bool IsRunning(TTimer timer);
// Stops, removes its pending ticks and frees it. None is ignored.
void Dispose(TTimer timer);

}  // namespace UTimer

// A timer that disposes of itself.
struct TimerDisposer {
  void operator()(TTimerRec* t) const { UTimer::Dispose(t); }
};
using TimerPtr = std::unique_ptr<TTimerRec, TimerDisposer>;

// What the loop needs from the system underneath: readiness of descriptors, a wait
// that any thread can cut short, and nothing else. Timers are kept by the framework
// (they read UClock); the binding only learns how long it may sleep.
//
// A binding on a foreign loop (the desktop's) maps Watch to its own descriptor
// notifiers and Wake to a thread-safe post. Wait processes its native events for at
// most the given time. While the foreign loop runs on its own (a modal dialog), the
// binding calls the watch procedures from its notifiers, then UEventLoop::Pump, and
// arms one native timer for UEventLoop::NextTimeout after each pump.
class ILoopBinding {
 public:
  enum : Uint32 { evRead = 1, evWrite = 2, evHangup = 4, evError = 8 };
  // Called on the loop thread with what happened (evRead/evWrite/evHangup/evError).
  using TReadyProc = void (*)(void* context, int fd, Uint32 events);

  virtual ~ILoopBinding() = default;

  // Watches fd for evRead and/or evWrite, replacing an earlier watch of it; 0 stops
  // watching it (hang-ups are then not reported either).
  virtual void Watch(int fd, Uint32 events, TReadyProc proc, void* context) = 0;
  // Waits at most timeoutMs (-1: no limit, 0: just look) for ready descriptors or a
  // Wake, calling the watch procedures of those that are ready. Returns how many were.
  virtual int Wait(int timeoutMs) = 0;
  // Any thread: makes a current or the next Wait return promptly.
  virtual void Wake() = 0;
};

// The epoll binding used by headless programs, tests and benches.
std::unique_ptr<ILoopBinding> NewEpollBinding();

namespace UEventLoop {

// The binding of this thread's loop; an epoll binding is made on first use.
ILoopBinding& Binding();
// Installs another binding (before any descriptor is watched).
void SetBinding(std::unique_ptr<ILoopBinding> binding);

// One non-blocking pass: dispatches ready descriptors, work handed over from other
// threads and due timers, then executes messages until none is left. Returns whether
// anything was done. A foreign loop calls it whenever it has woken for us.
bool Pump();
// Pumps until nothing is left to do at this instant (timers not yet due stay).
void RunUntilIdle();
// Pump, then waits for the next event or due timer (at most timeoutMs; -1 no limit)
// and pumps again.
void RunOnce(int timeoutMs = -1);
// Runs until Stop (programs without an application object; the application's Run
// uses its quit flag instead). Stop makes the innermost Run return after this pass.
void Run();
void Stop();
// Runs until done() returns true (checked before each wait). Modal loops use it.
void RunUntil(const std::function<bool()>& done);
// Runs until done() or until timeoutMs of the real clock have passed; returns done().
bool RunUntilFor(const std::function<bool()>& done, int timeoutMs);

// Milliseconds until the next timer is due (0 when one is due, -1 when none runs).
int NextTimeout();

// A loop as seen from other threads: Run hands fn over from any thread, and fn runs on
// the loop's own thread during its next pass (dropped once that loop has ended).
class CRemote {
 public:
  virtual ~CRemote() = default;
  virtual void Run(std::function<void()> fn) = 0;
};
// This thread's loop as seen from other threads (lives as long as the thread's loop).
std::shared_ptr<CRemote> Remote();

// SIGINT, SIGTERM and SIGHUP become msg_Signal messages to the default handler, read
// on the loop; nothing runs inside a signal handler. Stop restores the former mask.
// Call it before starting other threads: they inherit the mask and leave the signals
// to the loop (the framework's own helper threads block them anyway).
// Returns whether this call started watching (false when already watching).
// CApplication::Run watches while it runs.
bool WatchSignals();
void StopWatchingSignals();

}  // namespace UEventLoop

// The program's application object: owns the loop, receives every message posted
// without a handler and reports errors. Programs derive CMyApplication from it.
class CApplication {
 public:
  // documents: files named on the command line; when there are any, msg_OpenDocuments
  // is posted so that they are opened once the loop runs.
  explicit CApplication(std::vector<std::string> documents = {});
  CApplication(const CApplication&) = delete;
  CApplication& operator=(const CApplication&) = delete;

  virtual ~CApplication();
  // Runs the loop until Quit.
  virtual void Run();
  // Asks to quit; the default quits at once.
  virtual void QuitRequested();
  // Sets the quit flag; Run returns after the current pass.
  virtual void Quit();
  // A keyboard shortcut; kQuitCommand calls QuitRequested.
  virtual void KeyCommand(Uint32 code, const void* data);
  // Shows the error alert unless the error is silent.
  virtual void Error(const SError& error);
  // A tick of a timer that has no handler of its own.
  virtual void Timer(TTimer timer);
  // Passes each command-line file to OpenDocument.
  virtual void OpenCommandLineDocuments();
  virtual void OpenDocument(std::string_view path);
  virtual void DialogHit(const void* hit, Uint32 size);
  // Dispatches the framework's ids; programs override it for theirs and call the base.
  virtual void HandleMessage(void* object, Uint32 id, const void* data, Uint32 size);
  // SIGINT and SIGTERM call QuitRequested; SIGHUP is ignored unless overridden.
  virtual void Signal(int signalNumber);

  bool IsQuitting() const { return quit_; }
  const std::vector<std::string>& Documents() const { return documents_; }

  // The current application (the queue's default handler), or none.
  static CApplication* Current();

  // Splits a command line into file names: with at most one colon the whole line is
  // one name (spaces included); otherwise names are cut at single spaces.
  static std::vector<std::string> SplitCommandLine(std::string_view line);

 private:
  static void Dispatch(void* context, void* object, Uint32 id, const void* data, Uint32 size);

  std::vector<std::string> documents_;
  bool quit_ = false;
};

}  // namespace cv
