// The corvane program itself: its command line without a display, and a run on Qt's
// offscreen platform that connects at start, is seen by another client, and saves its
// preferences when it is told to end.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "client/prefs.h"
#include "tests/server/server_harness.h"
#include "tests/server/temp_folder.h"

namespace {

using namespace cv;
using cvtest::ServerProcess;
using cvtest::TempFolder;
using cvtest::TestClient;

// corvane as a child process with its output in files; `display` false takes away every
// way of reaching a window system.
class CClientProcess {
 public:
  ~CClientProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err, bool display) {
    out_ = out;
    err_ = err;
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      if (display)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      else
        ::unsetenv("QT_QPA_PLATFORM");
      std::string bin = std::string(CORVANE_BIN_DIR) + "/corvane";
      std::vector<std::string> copy = args;
      std::vector<char*> argv{bin.data()};
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(bin.c_str(), argv.data());
      ::_exit(127);
    }
  }

  // The exit status, or -1 after the time-out or a death by signal.
  int Wait(int ms = 20000) {
    for (int i = 0; i < ms / 10; ++i) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  std::string Out() const { return cvtest::Slurp(out_); }
  std::string Err() const { return cvtest::Slurp(err_); }

 private:
  pid_t pid_ = -1;
  std::string out_, err_;
};

TEST(ClientProgram, CommandLineWorksWithoutADisplay) {
  TempFolder tmp;
  struct SCase {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const SCase cases[] = {
      {{"--help"}, 0, "usage: corvane", ""},
      {{"--version"}, 0, "corvane " CORVANE_VERSION "\n", ""},
      {{"--bogus"}, 2, "", "corvane: unknown option --bogus"},
      {{"--login", "x"}, 2, "", "corvane: "},
      {{"--dir", tmp.Path()}, 1, "", "corvane: cannot open a window"},
  };
  for (const SCase& c : cases) {
    CClientProcess p;
    p.Spawn(c.args, tmp / "out", tmp / "err", false);
    EXPECT_EQ(p.Wait(), c.status) << c.args[0];
    EXPECT_NE(p.Out().find(c.out), std::string::npos) << c.args[0] << ": " << p.Out();
    EXPECT_NE(p.Err().find(c.err), std::string::npos) << c.args[0] << ": " << p.Err();
  }
}

TEST(ClientProgram, ConnectsAtStartAndSavesItsPreferencesWhenTerminated) {
  UTransport::Init();
  UMessageSys::Clear();
  TempFolder tmp;
  const std::string serverDir = tmp / "srv";
  std::filesystem::create_directories(serverDir);
  {
    ServerProcess add;
    const std::string password = "wonderland\n";
    add.Spawn({"--dir", serverDir, "--add-account", "alice", "--name", "Alice", "--admin"}, tmp / "a.err",
              tmp / "a.out", &password);
    ASSERT_EQ(add.Wait(), 0);
  }
  ServerProcess server;
  ASSERT_TRUE(server.StartServer(serverDir)) << server.Stderr();
  TestClient watcher;
  ASSERT_TRUE(watcher.Connect(server.Port()));
  ASSERT_EQ(watcher.Login("alice", "wonderland", "watcher"), 0u);

  const std::string clientDir = tmp / "client";
  CClientProcess client;
  client.Spawn({"--dir", clientDir, "--server", "127.0.0.1:" + std::to_string(server.Port()), "--login", "alice",
                "--password", "wonderland"},
               tmp / "c.out", tmp / "c.err", true);
  auto joined = watcher.WaitPush(trn::NotifyUserChange, 20000);
  ASSERT_TRUE(joined) << client.Err();
  EXPECT_EQ(joined->fields.GetText(fld::UserName), std::string(client::kDefaultUserName));
  const Uint16 id = Uint16(joined->fields.GetInteger(fld::UserId));

  client.Signal(SIGTERM);
  EXPECT_EQ(client.Wait(), 0) << client.Err();
  auto left = watcher.WaitPushFor(trn::NotifyUserDelete, id);
  EXPECT_TRUE(left);
  const std::string prefs = cvtest::Slurp(clientDir + "/" + std::string(client::kPrefsFileName));
  EXPECT_EQ(prefs.size(), client::kPrefsSize);
  // Every fixed window was shown, and the file says so.
  EXPECT_TRUE(client::LoadClientPrefs(clientDir).IsVisible(client::winChat));
  EXPECT_TRUE(client::LoadClientPrefs(clientDir).rects[client::winChat].Usable());
}

}  // namespace
