// The client's fixed windows with a real server: news and posting, the tasks window's
// rows and its stop button, the menus and their shortcuts, window places kept in the
// preferences, and the fixed windows that only hide when closed.
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <fstream>

#include "client_harness.h"

namespace {

using namespace cv;
using namespace cv::client;
using namespace cvtest::accounts;
using cvtest::ButtonIn;
using cvtest::ClientWindowsTest;
using cvtest::MacText;
using cvtest::RowTexts;
using cvtest::ShownWindow;
using cvtest::TestClient;

using ClientWindows = ClientWindowsTest;

QListWidget* TaskRows(QWidget* tasks) { return tasks->findChild<QListWidget*>(widgetNames::kTaskList); }

QAction* MenuAction(QWidget* toolbar, const QString& menu, const QString& item) {
  QMenuBar* bar = toolbar->findChild<QMenuBar*>();
  if (!bar) return nullptr;
  for (QAction* m : bar->actions()) {
    if (m->text() != menu || !m->menu()) continue;
    for (QAction* a : m->menu()->actions())
      if (a->text() == item) return a;
  }
  return nullptr;
}

TEST_F(ClientWindows, NewsWindowFillsAfterConnectAndPostsGoThroughThePostWindow) {
  // Bob's post is on the board before Alice comes.
  TestClient bob;
  ConnectBob(bob);
  UFieldData welcome;
  welcome.AddText(fld::Data, "Welcome to the board.");
  ASSERT_TRUE(bob.Request(trn::PostNews, welcome));
  ASSERT_TRUE(bob.WaitPush(trn::NewMessage));

  ConnectAsAlice();
  auto* news = Window(winNews)->findChild<QPlainTextEdit*>(widgetNames::kNewsText);
  ASSERT_TRUE(news);
  EXPECT_TRUE(news->toPlainText().contains(QStringLiteral("Welcome to the board.")))
      << news->toPlainText().toStdString();
  EXPECT_TRUE(news->isReadOnly());

  // "Post..." opens "Post Message"; "Send" posts the whole text.
  QTest::mouseClick(ButtonIn(Window(winToolbar), QStringLiteral("Post...")), Qt::LeftButton);
  QWidget* post = Program().Windows().PostWindow();
  ASSERT_TRUE(post && post->isVisible());
  EXPECT_EQ(post->windowTitle(), QStringLiteral("Post Message"));
  EXPECT_TRUE(post->isModal());
  auto* entry = post->findChild<QPlainTextEdit*>(widgetNames::kPostText);
  QTest::keyClicks(entry, QStringLiteral("First line"));
  QTest::keyClick(entry, Qt::Key_Return);
  QTest::keyClicks(entry, QStringLiteral("second line"));
  QTest::mouseClick(post->findChild<QAbstractButton*>(widgetNames::kSendButton), Qt::LeftButton);

  auto pushed = bob.WaitPush(trn::NewMessage);
  ASSERT_TRUE(pushed);
  const std::string posted = pushed->fields.GetText(fld::Data);
  EXPECT_NE(posted.find("First line\rsecond line"), std::string::npos) << posted;
  // The server's push puts the post at the top of the window.
  ASSERT_TRUE(WaitFor([&] { return news->toPlainText().contains(QStringLiteral("second line")); }));
  EXPECT_TRUE(news->toPlainText().startsWith(MacText(posted))) << news->toPlainText().toStdString();
  // Newest first: the earlier post stays below.
  EXPECT_LT(news->toPlainText().indexOf(QStringLiteral("second line")),
            news->toPlainText().indexOf(QStringLiteral("Welcome to the board.")));
  Settle();
  EXPECT_FALSE(Program().Windows().PostWindow());

  // A post of another user arrives the same way; "Cancel" sends nothing.
  UFieldData f;
  f.AddText(fld::Data, "Bob was here");
  ASSERT_TRUE(bob.Request(trn::PostNews, f));
  ASSERT_TRUE(bob.WaitPush(trn::NewMessage));
  ASSERT_TRUE(WaitFor([&] { return news->toPlainText().contains(QStringLiteral("Bob was here")); }));
  QAction* postNews = MenuAction(Window(winToolbar), QStringLiteral("Corvane"), QStringLiteral("Post News..."));
  ASSERT_TRUE(postNews);
  postNews->trigger();
  ASSERT_TRUE(Program().Windows().PostWindow());
  QTest::keyClicks(Program().Windows().PostWindow()->findChild<QPlainTextEdit*>(), QStringLiteral("never sent"));
  QTest::mouseClick(ButtonIn(Program().Windows().PostWindow(), QStringLiteral("Cancel")), Qt::LeftButton);
  EXPECT_FALSE(bob.WaitPush(trn::NewMessage, 300));
  EXPECT_TRUE(alerts.empty()) << AlertTexts();

  SaveScreenshot(Window(winNews), "client-news");
}

TEST_F(ClientWindows, TasksWindowShowsRowsWhileTasksRunAndItsStopButtonEndsTheConnect) {
  QListWidget* rows = TaskRows(Window(winTasks));
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->count(), 0);

  OpenConnectAndType(Address(), kAliceLogin, kAlicePassword);
  // The connect task's row comes at once; the login, user list and news rows follow.
  EXPECT_EQ(RowTexts(rows), QStringList{QStringLiteral("Connecting to Server...")});
  QStringList seen;
  int most = 0;
  ASSERT_TRUE(WaitFor([&] {
    for (const QString& t : RowTexts(rows))
      if (!seen.contains(t)) seen << t;
    if (rows->count() > most) {
      most = rows->count();
      // The busiest moment is the one worth a look.
      Window(winTasks)->grab().save(QString::fromStdString(cvtest::ScreenshotFolder() + "/client-tasks.png"));
    }
    return App().IsConnected() && App().Tasks().empty();
  }));
  for (const char* title :
       {"Connecting to Server...", "Logging in...", "Transferring list of online users...", "Transferring news..."})
    EXPECT_TRUE(seen.contains(QString::fromLatin1(title))) << title;
  // Finished tasks leave by themselves.
  EXPECT_EQ(rows->count(), 0);

  // A row's bar: value and maximum travel with it; a finished row is full.
  App().Disconnect();
  OpenConnectAndType(Address(), kAliceLogin, kAlicePassword);
  ASSERT_EQ(rows->count(), 1);
  rows->setCurrentRow(0);
  QTest::mouseClick(Window(winTasks)->findChild<QAbstractButton*>(widgetNames::kStopButton), Qt::LeftButton);
  // Stopping the connect task disconnects.
  EXPECT_EQ(rows->count(), 0);
  EXPECT_EQ(App().Connection(), nullptr);
  EXPECT_FALSE(App().IsConnected());
  Settle();
  EXPECT_FALSE(App().IsConnected());
  EXPECT_TRUE(alerts.empty()) << AlertTexts();
  // Nothing selected: the buttons do nothing.
  QTest::mouseClick(Window(winTasks)->findChild<QAbstractButton*>(widgetNames::kStopButton), Qt::LeftButton);
  QTest::mouseClick(Window(winTasks)->findChild<QAbstractButton*>(widgetNames::kStartNowButton), Qt::LeftButton);
}

TEST_F(ClientWindows, MenusCarryTheCommandsAndTheirShortcuts) {
  QWidget* toolbar = Window(winToolbar);
  struct SItem {
    const char* menu;
    const char* item;
    QKeySequence key;
  };
  const SItem items[] = {
      {"File", "Quit", QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {"Edit", "Undo", QKeySequence(Qt::CTRL | Qt::Key_Z)},
      {"Edit", "Cut", QKeySequence(Qt::CTRL | Qt::Key_X)},
      {"Edit", "Copy", QKeySequence(Qt::CTRL | Qt::Key_C)},
      {"Edit", "Paste", QKeySequence(Qt::CTRL | Qt::Key_V)},
      {"Edit", "Clear", QKeySequence(Qt::Key_Clear)},
      {"Edit", "Select All", QKeySequence(Qt::CTRL | Qt::Key_A)},
      {"Corvane", "Connect", QKeySequence(Qt::CTRL | Qt::Key_K)},
      {"Corvane", "Disconnect", QKeySequence()},
      {"Corvane", "Show News", QKeySequence(Qt::CTRL | Qt::Key_N)},
      {"Corvane", "Show Online Users", QKeySequence(Qt::CTRL | Qt::Key_U)},
      {"Corvane", "Show Files", QKeySequence(Qt::CTRL | Qt::Key_F)},
      {"Corvane", "Show Chat", QKeySequence(Qt::CTRL | Qt::Key_H)},
      {"Corvane", "Show Tasks", QKeySequence(Qt::CTRL | Qt::Key_T)},
      {"Corvane", "Show Tracker", QKeySequence(Qt::CTRL | Qt::Key_R)},
      {"Corvane", "Show Toolbar", QKeySequence(Qt::CTRL | Qt::Key_B)},
      {"Corvane", "Post News...", QKeySequence(Qt::CTRL | Qt::Key_P)},
      {"Corvane", "New User", QKeySequence(Qt::CTRL | Qt::Key_M)},
      {"Corvane", "Open User...", QKeySequence(Qt::CTRL | Qt::Key_O)},
      {"Corvane", "Options...", QKeySequence()},
      {"Corvane", "About Corvane...", QKeySequence()},
  };
  for (const SItem& i : items) {
    QAction* a = MenuAction(toolbar, QString::fromLatin1(i.menu), QString::fromLatin1(i.item));
    ASSERT_TRUE(a) << i.item;
    EXPECT_EQ(a->shortcut(), i.key) << i.item;
  }
  // Not connected: the server commands are off, as on the toolbar.
  EXPECT_TRUE(MenuAction(toolbar, "Corvane", "Connect")->isEnabled());
  EXPECT_FALSE(MenuAction(toolbar, "Corvane", "Disconnect")->isEnabled());
  EXPECT_FALSE(MenuAction(toolbar, "Corvane", "Post News...")->isEnabled());

  // A hidden window comes back with its shortcut, from any of the fixed windows.
  QWidget* news = Window(winNews);
  news->close();
  EXPECT_FALSE(news->isVisible());
  QWidget* chat = Window(winChat);
  chat->activateWindow();
  QApplication::setActiveWindow(chat);
  QTest::keyClick(chat, Qt::Key_N, Qt::ControlModifier);
  EXPECT_TRUE(news->isVisible());

  // The Edit commands act on the focused entry.
  auto* entry = chat->findChild<QPlainTextEdit*>(widgetNames::kChatEntry);
  entry->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), entry);
  QTest::keyClicks(entry, QStringLiteral("copy me"));
  // Choosing from the menu makes the toolbar the active window; the entry is still meant.
  toolbar->activateWindow();
  QApplication::setActiveWindow(toolbar);
  toolbar->setFocus();
  ASSERT_NE(QApplication::focusWidget(), entry);
  MenuAction(toolbar, "Edit", "Select All")->trigger();
  MenuAction(toolbar, "Edit", "Cut")->trigger();
  EXPECT_TRUE(entry->toPlainText().isEmpty());
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("copy me"));
  MenuAction(toolbar, "Edit", "Paste")->trigger();
  MenuAction(toolbar, "Edit", "Paste")->trigger();
  EXPECT_EQ(entry->toPlainText(), QStringLiteral("copy mecopy me"));
  MenuAction(toolbar, "Edit", "Undo")->trigger();
  EXPECT_EQ(entry->toPlainText(), QStringLiteral("copy me"));
  MenuAction(toolbar, "Edit", "Select All")->trigger();
  MenuAction(toolbar, "Edit", "Clear")->trigger();
  EXPECT_TRUE(entry->toPlainText().isEmpty());

  // The menu's keys win over the entry's own line editing (Ctrl+U, Ctrl+K on X11). The
  // offscreen platform binds neither, so the entry is made to claim every Ctrl key as an
  // X11 text field claims those.
  class ClaimsCtrlKeys : public QObject {
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() != QEvent::ShortcutOverride) return false;
      if (!(static_cast<QKeyEvent*>(e)->modifiers() & Qt::ControlModifier)) return false;
      e->accept();
      return true;
    }
  } claims;
  entry->installEventFilter(&claims);
  QWidget* users = Window(winOnlineUsers);
  users->close();
  QApplication::setActiveWindow(chat);
  entry->setFocus();
  QTest::keyClicks(entry, QStringLiteral("kept"));
  QTest::keyClick(entry, Qt::Key_U, Qt::ControlModifier);
  EXPECT_TRUE(users->isVisible());
  EXPECT_EQ(entry->toPlainText(), QStringLiteral("kept"));
  entry->removeEventFilter(&claims);
  entry->clear();

  // "About Corvane..." shows the statistics line.
  MenuAction(toolbar, "Corvane", "About Corvane...")->trigger();
  QWidget* about = Program().Windows().AboutWindow();
  ASSERT_TRUE(about && about->isVisible());
  EXPECT_EQ(about->windowTitle(), QStringLiteral("About Corvane"));
  auto* statistics = about->findChild<QLabel*>(QStringLiteral("statistics"));
  ASSERT_TRUE(statistics);
  EXPECT_TRUE(statistics->text().contains(QStringLiteral("uploaded"))) << statistics->text().toStdString();
  QTest::mouseClick(ButtonIn(about, QStringLiteral("OK")), Qt::LeftButton);
  EXPECT_FALSE(about->isVisible());

  // The connect window's "Cancel" closes it and connects nowhere.
  MenuAction(toolbar, "Corvane", "Connect")->trigger();
  QWidget* connect = Program().Windows().ConnectWindow();
  ASSERT_TRUE(connect && connect->isVisible());
  EXPECT_TRUE(connect->isModal());
  QTest::mouseClick(ButtonIn(connect, QStringLiteral("Cancel")), Qt::LeftButton);
  EXPECT_FALSE(connect->isVisible());
  EXPECT_EQ(App().Connection(), nullptr);
  Settle();
  EXPECT_FALSE(Program().Windows().ConnectWindow());
}

TEST_F(ClientWindows, FixedWindowsHideOnCloseAndKeepTheirPlacesAcrossRuns) {
  struct SFixed {
    EMyWindow window;
    const char* title;
    int minWidth, minHeight;
  };
  const SFixed fixed[] = {
      {winToolbar, "Corvane", 0, 0},
      {winTasks, "Tasks", 150, 69},
      {winNews, "News", 300, 100},
      {winChat, "Chat", kChatMinWidth, kChatMinHeight},
      {winOnlineUsers, "Online Users", 0, 0},
  };
  for (const SFixed& f : fixed) {
    QWidget* w = Window(f.window);
    ASSERT_TRUE(w) << f.title;
    EXPECT_EQ(w->windowTitle(), QString::fromLatin1(f.title));
    // A fresh client shows all of them.
    EXPECT_TRUE(w->isVisible()) << f.title;
    EXPECT_GE(w->minimumWidth(), f.minWidth) << f.title;
    EXPECT_GE(w->minimumHeight(), f.minHeight) << f.title;
  }
  EXPECT_EQ(Window(winTracker), nullptr);

  // Closing only hides; the command brings the same window back.
  QWidget* chat = Window(winChat);
  chat->close();
  EXPECT_FALSE(chat->isVisible());
  App().Command(cmdShowChat);
  EXPECT_EQ(Window(winChat), chat);
  EXPECT_TRUE(chat->isVisible());

  // A moved and resized chat window, a hidden tasks window: kept at quit.
  const QRect place(140, 150, 480, 330);
  chat->setGeometry(place);
  Window(winTasks)->close();
  App().Command(cmdQuit);
  EXPECT_TRUE(App().IsQuitting());
  const SMyClientPrefs saved = LoadClientPrefs(clientDir_);
  EXPECT_EQ(saved.rects[winChat], (SMyRect{140, 150, 620, 480}));
  EXPECT_FALSE(saved.IsVisible(winTasks));
  EXPECT_TRUE(saved.IsVisible(winChat));
  EXPECT_TRUE(saved.IsVisible(winToolbar));

  // The next run puts them back.
  MakeProgram();
  EXPECT_EQ(Window(winChat)->geometry(), place);
  EXPECT_TRUE(Window(winChat)->isVisible());
  EXPECT_FALSE(Window(winTasks)->isVisible());
  EXPECT_TRUE(Window(winNews)->isVisible());

  // With the last window closed nothing could bring the others back: the program quits
  // and keeps that nothing was shown.
  for (EMyWindow w : {winChat, winNews, winOnlineUsers}) {
    Window(w)->close();
    Settle();
    EXPECT_FALSE(App().IsQuitting());
  }
  Window(winToolbar)->close();
  Settle();
  EXPECT_TRUE(App().IsQuitting());
  EXPECT_EQ(LoadClientPrefs(clientDir_).visibility, 0);
}

TEST_F(ClientWindows, QuittingClosesAnAlertThatIsUp) {
  // A real box this time, modal, in a loop of its own.
  UAlert::SetHook(nullptr);
  bool boxShown = false;
  bool forced = false;
  QTimer probe;
  probe.setInterval(20);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    if (!QApplication::activeModalWidget()) return;
    if (!boxShown) {
      boxShown = true;
      App().QuitRequested();
    }
  });
  probe.start();
  // Only ends a test that has failed already: the box would otherwise wait forever.
  QTimer::singleShot(8000, [&] {
    if (QWidget* m = QApplication::activeModalWidget()) {
      forced = true;
      m->close();
    }
  });
  App().ShowAlert(kAlertConnectionLost);
  EXPECT_TRUE(WaitFor([&] { return App().IsQuitting(); }));
  EXPECT_TRUE(boxShown);
  EXPECT_FALSE(forced);
  EXPECT_FALSE(QApplication::activeModalWidget());
}

TEST_F(ClientWindows, ConnectWindowScreenshot) {
  App().Command(cmdConnect);
  QWidget* connect = Program().Windows().ConnectWindow();
  ASSERT_TRUE(connect);
  auto* server = connect->findChild<QLineEdit*>(widgetNames::kServer);
  QTest::keyClicks(server, QString::fromStdString(Address()));
  QTest::keyClicks(connect->findChild<QLineEdit*>(widgetNames::kLogin), QString::fromLatin1(kAliceLogin));
  QTest::keyClicks(connect->findChild<QLineEdit*>(widgetNames::kPassword), QString::fromLatin1(kAlicePassword));
  // The password is not shown, and the bookmark popup is hidden without bookmarks.
  EXPECT_EQ(connect->findChild<QLineEdit*>(widgetNames::kPassword)->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(connect->findChild<QComboBox*>()->isVisible());
  SaveScreenshot(connect, "client-connect");
  // Enter in a field is the default button, "Connect".
  QTest::keyClick(server, Qt::Key_Return);
  ASSERT_TRUE(WaitFor([&] { return App().IsConnected() && App().Tasks().empty(); })) << AlertTexts();
}

}  // namespace
