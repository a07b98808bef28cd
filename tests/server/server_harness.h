// Helpers for tests that talk to a real server: a client over the framework's own
// transaction connection, and the corvane-server program run as a child process.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/events.h"
#include "framework/transport.h"
#include "protocol/catalogue.h"
#include "protocol/transaction.h"
#include "server/accounts.h"

namespace cvtest {

inline std::string Complement(std::string_view s) { return cv::ComplementText(s); }

struct SPush {
  cv::Uint16 type = 0;
  cv::UFieldData fields;
};

// One client connection driven by the test's own loop.
class TestClient {
 public:
  static constexpr int kWaitMs = 5000;

  TestClient() = default;
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects and runs the handshake; false with error() set when it failed.
  bool Connect(cv::Uint16 port, cv::Uint32 code = cv::FourCC("CRVN"), cv::Uint16 subVersion = 2) {
    c_.reset(cv::UTransaction::NewConnection());
    cv::UTransaction::SetMessageHandler(c_.get(), &TestClient::Ignore, this);
    cv::UTransaction::SetProtocol(c_.get(), code, subVersion);
    cv::SInternetAddress a = cv::SInternetAddress::Loopback(port);
    cv::UTransaction::StartConnect(c_.get(), &a, sizeof a);
    bool failed = false;
    bool done = cv::UEventLoop::RunUntilFor(
        [&] {
          try {
            return cv::UTransaction::Connect(c_.get()) == cv::kTransactEstablished;
          } catch (const cv::SError& e) {
            error_ = e;
            failed = true;
            return true;
          }
        },
        kWaitMs);
    return done && !failed;
  }

  const cv::SError& error() const { return error_; }
  cv::TTransactConnection connection() const { return c_.get(); }

  // Sends a request and waits for its reply; false on time-out.
  bool Request(cv::Uint16 type, cv::UFieldData fields, cv::UFieldData* reply = nullptr,
               cv::Uint32* errorCode = nullptr) {
    cv::TransactionPtr t(cv::UTransaction::NewRequest(c_.get(), type));
    cv::UTransaction::Send(t.get(), fields);
    bool ok = cv::UEventLoop::RunUntilFor(
        [&] {
          Collect();
          return cv::UTransaction::IsComplete(t.get()) || !cv::UTransaction::IsConnected(c_.get());
        },
        kWaitMs);
    if (!ok || !cv::UTransaction::IsComplete(t.get())) return false;
    if (errorCode) *errorCode = cv::UTransaction::GetErrorCode(t.get());
    cv::UFieldData data;
    cv::UTransaction::GetData(t.get(), data);
    if (reply) *reply = std::move(data);
    return true;
  }

  // Login; returns the reply's error code (or 99 on time-out) and its text.
  cv::Uint32 Login(std::string_view login, std::string_view password, std::string_view name = "tester",
                   std::string* text = nullptr) {
    cv::UFieldData f;
    f.AddText(cv::fld::UserLogin, Complement(login));
    f.AddText(cv::fld::UserPassword, Complement(password));
    f.AddText(cv::fld::UserName, name);
    f.AddInteger(cv::fld::UserIconId, 128);
    cv::UFieldData reply;
    cv::Uint32 code = 99;
    if (!Request(cv::trn::Login, f, &reply, &code)) return 99;
    if (text) *text = reply.GetText(cv::fld::ErrorText);
    return code;
  }

  void Post(cv::Uint16 type, cv::UFieldData fields) { cv::UTransaction::Post(c_.get(), type, fields); }

  // Waits for a push of that type (ones already received count); nullopt on time-out.
  std::optional<SPush> WaitPush(cv::Uint16 type, int ms = kWaitMs) {
    std::optional<SPush> found;
    cv::UEventLoop::RunUntilFor(
        [&] {
          Collect();
          for (auto it = pushes_.begin(); it != pushes_.end(); ++it) {
            if (it->type == type) {
              found = std::move(*it);
              pushes_.erase(it);
              return true;
            }
          }
          return false;
        },
        ms);
    return found;
  }

  // The same for a push about one user (field 103).
  std::optional<SPush> WaitPushFor(cv::Uint16 type, cv::Uint32 userId, int ms = kWaitMs) {
    std::optional<SPush> found;
    cv::UEventLoop::RunUntilFor(
        [&] {
          Collect();
          for (auto it = pushes_.begin(); it != pushes_.end(); ++it) {
            if (it->type == type && it->fields.GetInteger(cv::fld::UserId) == userId) {
              found = std::move(*it);
              pushes_.erase(it);
              return true;
            }
          }
          return false;
        },
        ms);
    return found;
  }

  bool WaitClosed(int ms = kWaitMs) {
    return cv::UEventLoop::RunUntilFor([&] { return !cv::UTransaction::IsConnected(c_.get()); }, ms);
  }

  void Close() { c_.reset(); }

 private:
  static void Ignore(void*, void*, cv::Uint32, const void*, cv::Uint32) {}

  void Collect() {
    while (cv::TTransaction t = cv::UTransaction::NextRequest(c_.get())) {
      SPush p;
      p.type = cv::UTransaction::GetType(t);
      cv::UTransaction::GetData(t, p.fields);
      cv::UTransaction::DisposeTransaction(t);
      pushes_.push_back(std::move(p));
    }
  }

  cv::TransactConnectionPtr c_;
  cv::SError error_;
  std::vector<SPush> pushes_;
};

inline std::string ServerBinary() { return std::string(CORVANE_BIN_DIR) + "/corvane-server"; }

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The program as a child process, its diagnostic output in a file.
class ServerProcess {
 public:
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Runs the program with args; stdin from stdinText (when given).
  void Spawn(const std::vector<std::string>& args, const std::string& errPath, const std::string& outPath,
             const std::string* stdinText = nullptr) {
    errPath_ = errPath;
    // A file left by an earlier run must not be mistaken for this one's output.
    std::remove(errPath.c_str());
    std::remove(outPath.c_str());
    int in[2] = {-1, -1};
    if (stdinText) {
      ASSERT_EQ(::pipe(in), 0);
    }
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      std::FILE* e = std::freopen(errPath.c_str(), "w", stderr);
      std::FILE* o = std::freopen(outPath.c_str(), "w", stdout);
      (void)e;
      (void)o;
      if (stdinText) {
        ::dup2(in[0], STDIN_FILENO);
        ::close(in[1]);
      }
      std::vector<char*> argv;
      std::string bin = ServerBinary();
      argv.push_back(bin.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(bin.c_str(), argv.data());
      ::_exit(127);
    }
    if (stdinText) {
      ::close(in[0]);
      ssize_t n = ::write(in[1], stdinText->data(), stdinText->size());
      (void)n;
      ::close(in[1]);
    }
  }

  // Starts a server in dir on a free port and waits until it listens.
  bool StartServer(const std::string& dir) {
    Spawn({"--headless", "--dir", dir, "--port", "0"}, dir + ".err", dir + ".out");
    for (int i = 0; i < 500; ++i) {
      std::string err = Slurp(errPath_);
      std::size_t at = err.find(" port ");
      if (err.find("listening on") != std::string::npos && at != std::string::npos) {
        port_ = cv::Uint16(std::stoi(err.substr(at + 6)));
        return true;
      }
      if (Exited()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  bool Exited() {
    if (status_) return true;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = st;
      pid_ = -1;
      return true;
    }
    return false;
  }

  // Waits for the exit; the exit status, or -1 after the time-out (or a signal death).
  int Wait(int ms = 10000) {
    for (int i = 0; i < ms / 10 && !Exited(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!Exited()) return -1;
    return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
  }

  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  cv::Uint16 Port() const { return port_; }
  std::string Stderr() const { return Slurp(errPath_); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string errPath_;
  cv::Uint16 port_ = 0;
};

}  // namespace cvtest
