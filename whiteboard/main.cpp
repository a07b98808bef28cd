// paintwave without windows: hosts a session (or joins one) on the event loop, prints
// what the windows would show, and sends lines typed on standard input as chat.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "framework/events.h"
#include "framework/transport.h"
#include "whiteboard/application.h"

namespace {

using namespace cv;
using namespace cv::pw;

void Usage(FILE* to) {
  std::fputs(
      "usage: paintwave [options]\n"
      "  --port N     port to listen on and to connect to (default 2007; 0 any free port)\n"
      "  --dir DIR    folder of \"Paintwave Prefs\" (default: the current folder)\n"
      "  --host       host a session (the default)\n"
      "  --join HOST  join the session hosted at HOST\n"
      "  --name NAME  your name for this run\n"
      "  --defaults   ignore the saved preferences\n"
      "  --help       this text\n"
      "  --version    the program's version\n"
      "Lines typed on standard input are sent as chat.\n",
      to);
}

std::string Printable(const Bytes& b) {
  std::string s;
  for (Uint8 c : b) s += c == '\r' ? '\n' : (c < 0x20 ? '?' : char(c));
  return s;
}

class CConsole : public IMyBoardWindow, public IMyChatWindow, public IMyUserInfoWindow, public IMyShell {
 public:
  CMyWhiteboard* board = nullptr;

  void BoardChanged(const SArea&) override {}
  void ShowStatus(Uint16 text) override {
    const char* what = text == kStatusHosting      ? "hosting, waiting for guests"
                       : text == kStatusConnecting ? "connecting"
                       : text == kStatusConnected  ? "in a session"
                                                   : "the user reached is a guest elsewhere";
    std::printf("status %u: %s\n", unsigned(text), what);
    std::fflush(stdout);
  }
  void ShowLocalAddress(const Bytes& text) override {
    std::printf("My Address: %s\n", Printable(text).c_str());
    std::fflush(stdout);
  }
  void UsersChanged(const std::vector<SMyUser>& users) override {
    std::printf("users:");
    for (const SMyUser& u : users)
      std::printf(" %u:%s(%u)", unsigned(u.id), Printable(u.name).c_str(), unsigned(u.privileges));
    std::printf("\n");
    std::fflush(stdout);
  }
  void AppendLine(const Bytes& line) override {
    std::printf("%s\n", Printable(line).c_str() + (line.empty() ? 0 : 1));
    std::fflush(stdout);
  }
  void Clear() override {}
  void Show(const SMyUser&, bool) override {}
  void Alert(Uint16 id, const char* text) override { std::fprintf(stderr, "alert %u %s\n", unsigned(id), text); }
  void ShowError(const SError& e) override { UError::Alert(e); }
  void PlaySound(Uint16) override {}
  // Nobody is there to answer: callers are refused, redirects are followed.
  void ConfirmRedirectIncoming(Uint32 token, const Bytes&) override {
    pendingRefusal_ = token;
    Defer();
  }
  void CloseRedirectIncoming(Uint32) override {}
  void ConfirmRedirect(const Bytes&, const Bytes&, const Bytes&) override {
    followRedirect_ = true;
    Defer();
  }
  void ConfirmErase() override {}

  static void OnDeferred(void* context, void*, Uint32, const void*, Uint32) {
    auto* self = static_cast<CConsole*>(context);
    if (self->pendingRefusal_)
      self->board->AnswerRedirectIncoming(std::exchange(self->pendingRefusal_, 0), false, false);
    if (self->followRedirect_) {
      self->followRedirect_ = false;
      self->board->AnswerRedirect(true, false);
    }
  }

 private:
  void Defer() { UMessageSys::Post(2000, nullptr, 0, 0, &CConsole::OnDeferred, this); }
  Uint32 pendingRefusal_ = 0;
  bool followRedirect_ = false;
};

struct SInput {
  CMyWhiteboard* board = nullptr;
  std::string line;
};

void OnInput(void* context, int fd, Uint32) {
  auto* in = static_cast<SInput*>(context);
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) {
    UEventLoop::Binding().Watch(fd, 0, nullptr, nullptr);
    return;
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buf[i] != '\n') {
      in->line += buf[i];
      continue;
    }
    const Bytes text(reinterpret_cast<const Uint8*>(in->line.data()), in->line.size());
    in->line.clear();
    try {
      in->board->SendChat(ByteView(text.data(), text.size()));
    } catch (const SError& e) {
      UError::Alert(e);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  long port = kDefaultPort;
  std::string dir = ".", join, name;
  bool defaults = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "paintwave: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("paintwave %s\n", CORVANE_VERSION);
      return 0;
    } else if (a == "--port") {
      char* end = nullptr;
      const std::string v = value();
      port = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || port < 0 || port > 65535) {
        std::fprintf(stderr, "paintwave: bad port %s\n", v.c_str());
        return 2;
      }
    } else if (a == "--dir") {
      dir = value();
    } else if (a == "--join") {
      join = value();
    } else if (a == "--host") {
      join.clear();
    } else if (a == "--name") {
      name = value();
    } else if (a == "--defaults") {
      defaults = true;
    } else {
      std::fprintf(stderr, "paintwave: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }

  try {
    UTransport::Init();
    CConsole console;
    SMyViews views{&console, &console, &console, &console};
    CMyApplication app(views, dir, Uint16(port), !defaults);
    console.board = &app.Whiteboard();
    if (!name.empty()) {
      SMyPrefs p = app.Whiteboard().Prefs();
      p.name.assign(reinterpret_cast<const Uint8*>(name.data()), std::min<std::size_t>(name.size(), 255));
      app.Whiteboard().ApplyOptions(p);
    }
    try {
      app.Start();
      std::printf("listening on port %u\n", unsigned(app.Whiteboard().ListeningPort()));
    } catch (const SError& e) {
      // A guest can do without its own listener (another copy on this machine has the
      // port); it then cannot pass callers on to its host.
      if (join.empty()) throw;
      std::printf("not listening (error %d/%d); joining anyway\n", e.errClass, e.id);
    }
    std::fflush(stdout);
    if (!join.empty()) app.Whiteboard().Connect(join);
    SInput input{&app.Whiteboard(), {}};
    bool watchingInput = true;
    try {
      UEventLoop::Binding().Watch(0, ILoopBinding::evRead, &OnInput, &input);
    } catch (const SError&) {
      watchingInput = false;  // a file or /dev/null: no chat from standard input
    }
    UEventLoop::WatchSignals();
    app.Run();
    if (watchingInput) UEventLoop::Binding().Watch(0, 0, nullptr, nullptr);
    UEventLoop::StopWatchingSignals();
  } catch (const SError& e) {
    UError::Alert(e);
    return 1;
  }
  return 0;
}
