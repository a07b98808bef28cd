// The client's windows against the real corvane-server program: a server with seeded
// accounts in a temporary folder, the whole client (windows, application, chat, news)
// made in the test on Qt's offscreen platform, and helpers that type and click.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "client/chat.h"
#include "protocol/catalogue.h"
#include "qt_harness.h"
#include "tests/server/server_harness.h"
#include "tests/server/temp_folder.h"
#include "toolkit/client/client_windows.h"
#include "toolkit/media.h"
#include "toolkit/qttext.h"

namespace cvtest {

inline constexpr int kClientWaitMs = 10000;

// The seeded accounts: the window logs in as Alice, the test's own clients as Bob and Carol.
namespace accounts {
inline constexpr const char* kAliceLogin = "alice";
inline constexpr const char* kAlicePassword = "wonderland";
inline constexpr const char* kAliceName = "Alice";
inline constexpr const char* kBobLogin = "bob";
inline constexpr const char* kBobPassword = "builder";
inline constexpr const char* kCarolLogin = "carol";
inline constexpr const char* kCarolPassword = "singer";
}  // namespace accounts
using namespace accounts;

inline bool AddAccount(const std::string& dir, const std::string& login, const std::string& name,
                       const std::string& password, const std::string& scratch, bool admin = true) {
  ServerProcess add;
  const std::string input = password + "\n";
  add.Spawn({"--dir", dir, "--add-account", login, "--name", name, admin ? "--admin" : "--guest"}, scratch + ".err",
            scratch + ".out", &input);
  return add.Wait() == 0;
}

// The first widget of type T named `name` among the open windows.
template <class T>
T* FindWidget(const char* name) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->objectName() == QLatin1String(name))
      if (auto* t = qobject_cast<T*>(top)) return t;
    if (auto* t = top->findChild<T*>(QLatin1String(name))) return t;
  }
  return nullptr;
}

// The shown top-level window with that title.
inline QWidget* ShownWindow(const QString& title) {
  for (QWidget* top : QApplication::topLevelWidgets())
    if (top->isVisible() && top->windowTitle() == title) return top;
  return nullptr;
}

// The button of a window with that text.
inline QAbstractButton* ButtonIn(QWidget* window, const QString& text) {
  if (!window) return nullptr;
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
    if (b->text() == text) return b;
  return nullptr;
}

// What the rows of a list say, in order.
inline QStringList RowTexts(QListWidget* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
  return texts;
}

inline QString MacText(std::string_view text) { return cv::UQtText::FromMac(text); }

class ClientWindowsTest : public QtLoopTest {
 protected:
  void SetUp() override {
    QtLoopTest::SetUp();
    cv::USound::SetPlayer([this](cv::Int16 id, const cv::Bytes&) { sounds.push_back(id); });
    cv::USound::SetBeeper([this] { ++beeps; });
    serverDir_ = tmp_ / "srv";
    std::filesystem::create_directories(serverDir_);
    ASSERT_TRUE(AddAccount(serverDir_, kAliceLogin, kAliceName, kAlicePassword, tmp_ / "add1"));
    ASSERT_TRUE(AddAccount(serverDir_, kBobLogin, "Bob", kBobPassword, tmp_ / "add2"));
    ASSERT_TRUE(AddAccount(serverDir_, kCarolLogin, "Carol", kCarolPassword, tmp_ / "add3"));
    PrepareServer();
    ASSERT_TRUE(server_.StartServer(serverDir_)) << server_.Stderr();
    clientDir_ = tmp_ / "client";
    std::filesystem::create_directories(clientDir_);
    // The name the window's user goes by.
    cv::client::SMyClientPrefs prefs;
    prefs.userName = kAliceName;
    cv::URandom random;
    cv::client::SaveClientPrefs(clientDir_, prefs, random);
    MakeProgram();
  }

  void TearDown() override {
    program_.reset();
    cv::USound::SetPlayer(nullptr);
    cv::USound::SetBeeper(nullptr);
    QtLoopTest::TearDown();
  }

  // Files the server reads when it starts.
  virtual void PrepareServer() {}

  void MakeProgram() {
    program_.reset();
    cv::client::SMyClientSettings settings;
    settings.folder = clientDir_;
    settings.resourceFolder = CORVANE_BIN_DIR;
    program_ = std::make_unique<cv::client::CMyClientProgram>(settings);
    program_->Start();
  }

  cv::client::CMyClientProgram& Program() { return *program_; }
  cv::client::CMyApplication& App() { return program_->App(); }
  QWidget* Window(cv::client::EMyWindow w) { return program_->Windows().Window(w); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(server_.Port()); }

  bool WaitFor(const std::function<bool()>& done, int ms = kClientWaitMs) {
    return cv::UEventLoop::RunUntilFor(done, ms);
  }
  // Lets Qt and the loop deliver what is pending (deferred alerts, deletions).
  void Settle() {
    for (int i = 0; i < 5; ++i) cv::UEventLoop::RunOnce(10);
  }

  // The toolbar's "Connect..." button, the three fields typed, "Connect" clicked.
  void OpenConnectAndType(const std::string& server, const std::string& login, const std::string& password) {
    auto* toolbar = Window(cv::client::winToolbar);
    QAbstractButton* connect = ButtonIn(toolbar, QStringLiteral("Connect..."));
    ASSERT_TRUE(connect);
    ASSERT_TRUE(connect->isEnabled());
    QTest::mouseClick(connect, Qt::LeftButton);
    QWidget* window = Program().Windows().ConnectWindow();
    ASSERT_TRUE(window);
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Connect"));
    auto type = [&](const char* name, const std::string& text) {
      auto* edit = window->findChild<QLineEdit*>(QLatin1String(name));
      ASSERT_TRUE(edit) << name;
      edit->clear();
      QTest::keyClicks(edit, QString::fromStdString(text));
    };
    type(cv::client::widgetNames::kServer, server);
    type(cv::client::widgetNames::kLogin, login);
    type(cv::client::widgetNames::kPassword, password);
    auto* button = window->findChild<QAbstractButton*>(QLatin1String(cv::client::widgetNames::kConnectButton));
    ASSERT_TRUE(button);
    QTest::mouseClick(button, Qt::LeftButton);
  }

  // Connects as Alice (or another account) through the connect window and waits until
  // the login, the user list and the news have come.
  void ConnectAsAlice(const char* login = kAliceLogin, const char* password = kAlicePassword) {
    OpenConnectAndType(Address(), login, password);
    ASSERT_TRUE(WaitFor([&] { return App().IsConnected() && App().Tasks().empty(); })) << AlertTexts();
  }

  // Bob (or Carol), a client of the test's own over the transaction protocol.
  void ConnectBob(TestClient& bob, const char* login = kBobLogin, const char* password = kBobPassword,
                  const char* name = "Bob") {
    ASSERT_TRUE(bob.Connect(server_.Port()));
    ASSERT_EQ(bob.Login(login, password, name), 0u);
  }

  // Alice's user id as the server gave it (from Bob's online list).
  cv::Uint16 UserIdOf(TestClient& bob, const std::string& name) {
    cv::UFieldData users;
    if (!bob.Request(cv::trn::GetOnlineUsers, {}, &users)) return 0;
    for (std::size_t n = 1; n <= users.GetFieldCount(); ++n) {
      if (users.GetNthFieldId(n) != cv::fld::UserNameWithInfo) continue;
      if (auto e = cv::client::ParseUserEntry(users.GetNthField(n)); e && e->name == name) return e->id;
    }
    return 0;
  }

  std::string AlertTexts() const {
    std::string out;
    for (const auto& a : alerts) out += a.title + ": " + a.message + "\n";
    return out;
  }

  // Saves a picture of a window where a person can look at it.
  void SaveScreenshot(QWidget* window, const std::string& name) {
    ASSERT_TRUE(window);
    window->show();
    Settle();
    const std::string path = ScreenshotFolder() + "/" + name + ".png";
    EXPECT_TRUE(window->grab().save(QString::fromStdString(path))) << path;
  }

  TempFolder tmp_;
  std::string serverDir_;
  std::string clientDir_;
  ServerProcess server_;
  std::unique_ptr<cv::client::CMyClientProgram> program_;
  std::vector<cv::Int16> sounds;
  int beeps = 0;
};

}  // namespace cvtest
