// The application object: default handler of the queue, owner of the loop.
#include <csignal>
#include <cstring>

#include "framework/events.h"
#include "framework/src/loop_state.h"

namespace cv {

CApplication::CApplication(std::vector<std::string> documents) : documents_(std::move(documents)) {
  if (!documents_.empty()) UMessageSys::Post(msg_OpenDocuments);
  UMessageSys::SetDefaultHandler(&CApplication::Dispatch, this);
}

CApplication::~CApplication() {
  if (Current() == this) UMessageSys::SetDefaultHandler(nullptr, nullptr);
}

CApplication* CApplication::Current() {
  if (UMessageSys::GetDefaultHandler() != &CApplication::Dispatch) return nullptr;
  return static_cast<CApplication*>(UMessageSys::GetDefaultContext());
}

void CApplication::Dispatch(void* context, void* object, Uint32 id, const void* data, Uint32 size) {
  static_cast<CApplication*>(context)->HandleMessage(object, id, data, size);
}

void CApplication::Run() {
  // Interrupt, terminate and hang-up become messages while the loop runs.
  const bool watching = UEventLoop::WatchSignals();
  try {
    UEventLoop::RunUntil([this] { return quit_; });
  } catch (...) {
    if (watching) UEventLoop::StopWatchingSignals();
    throw;
  }
  if (watching) UEventLoop::StopWatchingSignals();
}

void CApplication::QuitRequested() { Quit(); }

void CApplication::Quit() { quit_ = true; }

void CApplication::KeyCommand(Uint32 code, const void* /*data*/) {
  if (code == kQuitCommand) QuitRequested();
}

void CApplication::Error(const SError& error) {
  if (!error.IsSilent()) UError::Alert(error);
}

void CApplication::Timer(TTimer /*timer*/) {}

void CApplication::OpenCommandLineDocuments() {
  for (const std::string& path : documents_) OpenDocument(path);
}

void CApplication::OpenDocument(std::string_view /*path*/) {}

void CApplication::DialogHit(const void* /*hit*/, Uint32 /*size*/) {}

void CApplication::HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) {
  switch (id) {
    case msg_Error:
      if (data && size >= sizeof(SErrorMessage)) {
        SErrorMessage copy;
        std::memcpy(&copy, data, sizeof copy);
        Error(copy.ToError());
      }
      break;
    case msg_Timer:
      Timer(static_cast<TTimer>(object));
      break;
    case msg_Quit:
      QuitRequested();
      break;
    case msg_Command:
      if (data && size >= sizeof(Uint32)) {
        Uint32 code;
        std::memcpy(&code, data, sizeof code);
        KeyCommand(code, data);
      }
      break;
    case msg_DialogHit:
      DialogHit(data, size);
      break;
    case msg_OpenDocuments:
      OpenCommandLineDocuments();
      break;
    case msg_Signal:
      if (data && size >= sizeof(Int32)) {
        Int32 signo;
        std::memcpy(&signo, data, sizeof signo);
        Signal(signo);
      }
      break;
    default:
      break;
  }
}

void CApplication::Signal(int signalNumber) {
  if (signalNumber == SIGINT || signalNumber == SIGTERM) QuitRequested();
}

std::vector<std::string> CApplication::SplitCommandLine(std::string_view line) {
  std::vector<std::string> names;
  if (line.empty()) return names;
  std::size_t colons = 0;
  for (char c : line) colons += c == ':';
  if (colons <= 1) {
    names.emplace_back(line);
    return names;
  }
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t space = line.find(' ', start);
    if (space == std::string_view::npos) space = line.size();
    if (space > start) names.emplace_back(line.substr(start, space - start));
    start = space + 1;
  }
  return names;
}

}  // namespace cv
