// The set of the client's windows: the shell (alerts, sounds, the fixed windows as a
// group, the connect, About and agreement windows), the menus with their shortcuts, and
// the maker of the chat's windows.
#include "toolkit/client/client_windows.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "toolkit/alerts.h"
#include "toolkit/client/src/windows.h"
#include "toolkit/media.h"

namespace cv::client {

namespace {

// Text fields claim some Ctrl keys for line editing (Ctrl+K, Ctrl+U on X11). The menu's
// commands come first: a user who presses Ctrl+K in the chat entry means "Connect".
class CMenuKeysFirst final : public QObject {
 public:
  explicit CMenuKeysFirst(std::vector<QKeySequence> keys) : keys_(std::move(keys)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::ShortcutOverride) {
      const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
      if (std::find(keys_.begin(), keys_.end(), pressed) != keys_.end()) {
        // Not taken by the field, so the shortcut runs.
        event->ignore();
        return true;
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  std::vector<QKeySequence> keys_;
};

struct SMenuCommand {
  EMyCommand command;
  const char* label;
  QKeySequence shortcut;
};

// The "Corvane" menu, in order; nullptr labels are separators.
const std::vector<SMenuCommand>& CorvaneMenu() {
  static const std::vector<SMenuCommand> menu = {
      {cmdConnect, "Connect", QKeySequence(Qt::CTRL | Qt::Key_K)},
      {cmdDisconnect, "Disconnect", {}},
      {cmdNothing, nullptr, {}},
      {cmdShowNews, "Show News", QKeySequence(Qt::CTRL | Qt::Key_N)},
      {cmdShowOnlineUsers, "Show Online Users", QKeySequence(Qt::CTRL | Qt::Key_U)},
      {cmdShowFiles, "Show Files", QKeySequence(Qt::CTRL | Qt::Key_F)},
      {cmdShowChat, "Show Chat", QKeySequence(Qt::CTRL | Qt::Key_H)},
      {cmdShowTasks, "Show Tasks", QKeySequence(Qt::CTRL | Qt::Key_T)},
      {cmdShowTracker, "Show Tracker", QKeySequence(Qt::CTRL | Qt::Key_R)},
      {cmdShowToolbar, "Show Toolbar", QKeySequence(Qt::CTRL | Qt::Key_B)},
      {cmdNothing, nullptr, {}},
      {cmdPostNews, "Post News...", QKeySequence(Qt::CTRL | Qt::Key_P)},
      {cmdNothing, nullptr, {}},
      {cmdNewUser, "New User", QKeySequence(Qt::CTRL | Qt::Key_M)},
      {cmdOpenUser, "Open User...", QKeySequence(Qt::CTRL | Qt::Key_O)},
      {cmdNothing, nullptr, {}},
      {cmdOptions, "Options...", {}},
      {cmdAbout, "About Corvane...", {}},
  };
  return menu;
}

// The hidden command window has a key but no menu item.
const QKeySequence kHiddenCommandKey(Qt::CTRL | Qt::SHIFT | Qt::Key_S);

enum class EEdit { Undo, Cut, Copy, Paste, Clear, SelectAll };

bool IsTextWidget(const QWidget* w) {
  return qobject_cast<const QLineEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w) ||
         qobject_cast<const QTextEdit*>(w);
}

// The text view that last had the keyboard: the menus are in the toolbar window, and
// choosing from them takes the keyboard away from the view they are meant for.
QPointer<QWidget>& LastTextWidget() {
  static QPointer<QWidget> last;
  return last;
}

// An Edit menu command, for the text view that has (or last had) the keyboard.
void EditFocused(EEdit what) {
  QWidget* w = QApplication::focusWidget();
  if (!IsTextWidget(w)) w = LastTextWidget();
  if (auto* line = qobject_cast<QLineEdit*>(w)) {
    switch (what) {
      case EEdit::Undo:
        return line->undo();
      case EEdit::Cut:
        return line->cut();
      case EEdit::Copy:
        return line->copy();
      case EEdit::Paste:
        return line->paste();
      case EEdit::Clear:
        return line->del();
      case EEdit::SelectAll:
        return line->selectAll();
    }
  }
  auto text = [what](auto* edit) {
    switch (what) {
      case EEdit::Undo:
        return edit->undo();
      case EEdit::Cut:
        return edit->cut();
      case EEdit::Copy:
        return edit->copy();
      case EEdit::Paste:
        return edit->paste();
      case EEdit::Clear: {
        if (edit->isReadOnly()) return;
        QTextCursor c = edit->textCursor();
        c.removeSelectedText();
        return;
      }
      case EEdit::SelectAll:
        return edit->selectAll();
    }
  };
  if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) return text(plain);
  if (auto* rich = qobject_cast<QTextEdit*>(w)) return text(rich);
}

// Each "%" doubled: the alert box fills in "%#s" and "%%", and these texts are final.
std::string Literal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

bool OnSomeScreen(const QRect& r) {
  for (QScreen* s : QGuiApplication::screens())
    if (s->availableGeometry().intersects(r)) return true;
  return false;
}

// Where a fixed window goes when the preferences have no place for it.
QRect DefaultPlace(EMyWindow w) {
  switch (w) {
    case winToolbar:
      return {20, 30, 0, 0};
    case winChat:
      return {20, 220, 540, 400};
    case winOnlineUsers:
      return {580, 220, 220, 400};
    case winNews:
      return {820, 220, 440, 400};
    case winTasks:
      return {20, 660, 540, 150};
    default:
      return {60, 60, 400, 300};
  }
}

// The application as the desktop runs it: an alert box that is up when the program is
// told to quit runs a loop of its own inside the one that would end, so it goes first.
class CMyDesktopApplication final : public CMyApplication {
 public:
  using CMyApplication::CMyApplication;

  void Quit() override {
    CMyApplication::Quit();
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) box->close();
  }
};

}  // namespace

struct CMyClientWindows::SImpl final : public IMyClientShell, public IMyChatViews {
  SImpl();
  ~SImpl() override;

  QWidget* Window(EMyWindow w);
  void BuildMenus();
  void FollowLook(EMyToolbarLook look);
  void Place(EMyWindow w);
  void AnyWindowLeft();

  // ---- IMyClientShell
  void ShowAlert(const SMyAlert& alert) override;
  void Beep() override { USound::Beep(); }
  void PlaySound(Int16 soundId) override { USound::Play(soundId); }
  void ShowWindow(EMyWindow window) override;
  void SetWindowTitle(EMyWindow window, std::string_view title) override;
  bool GetWindowState(EMyWindow window, SMyRect& rect, bool& visible) override;
  void OpenConnect(const SMyConnectForm& form, bool showBookmarks) override;
  void OpenAbout(std::string_view statistics) override;
  void OpenAgreement(std::string_view text) override;
  // The options window is not part of this build.
  void OpenOptions() override { USound::Beep(); }
  // This build has no folder, file information or account windows.
  void CloseServerWindows() override {}

  // ---- IMyChatViews
  IMyUserListView& UserList() override { return users; }
  IMyPublicChatView& PublicChat() override { return chat; }
  std::unique_ptr<IMyChatWinView> NewChatWin(CMyChatWin& controller) override {
    return std::make_unique<CMyChatWinView>(controller, shortcuts);
  }
  std::unique_ptr<IMyPrivMsgView> NewPrivMsgWin(CMyPrivMsgWin& controller, std::string_view senderName,
                                                std::string_view text, bool atBack) override {
    return std::make_unique<CMyPrivMsgView>(controller, senderName, text, atBack);
  }
  std::unique_ptr<IMySendPrivMsgView> NewSendPrivMsgWin(CMySendPrivMsgWin& controller,
                                                        std::string_view recipientName) override {
    return std::make_unique<CMySendPrivMsgView>(controller, recipientName);
  }
  std::unique_ptr<IMyChatInviteView> NewChatInviteWin(CMyChatInviteWin& controller,
                                                      std::string_view inviterName) override {
    return std::make_unique<CMyChatInviteView>(controller, inviterName);
  }
  std::unique_ptr<IMyChatSubjectView> NewChatSubjectWin(CMyChatSubjectWin& controller,
                                                        std::string_view subject) override {
    return std::make_unique<CMyChatSubjectView>(controller, subject);
  }
  std::unique_ptr<IMySecretView> NewSecretWin(CMySecretWin& controller) override {
    return std::make_unique<CMySecretView>(controller);
  }

  SMyLogic logic;
  std::unique_ptr<CMenuKeysFirst> menuKeysFirst;
  // Owns the actions and is the context of deferred calls: both go with the windows.
  std::unique_ptr<QObject> anchor = std::make_unique<QObject>();
  CMyToolbarWin toolbar{logic};
  CMyTasksWin tasks{logic};
  CMyNewsWin news{logic};
  CMyPublicChatWin chat{logic};
  CMyUserListWin users{logic};
  QPointer<CMyConnectDialog> connectDialog;
  QPointer<CMyAgreementDialog> agreement;
  std::unique_ptr<CMyAboutDialog> about;
  std::map<EMyCommand, QAction*> commandActions;
  // Every shortcut, for the windows that have no menu bar.
  std::vector<QAction*> shortcuts;
  std::array<bool, kWindowSlots> placed{};
  bool starting = false;
  bool shiftAtStart = false;
};

CMyClientWindows::SImpl::SImpl() {
  BuildMenus();
  QObject::connect(qApp, &QApplication::focusChanged, anchor.get(), [](QWidget*, QWidget* now) {
    if (IsTextWidget(now)) LastTextWidget() = now;
  });
  toolbar.onLook = [this](EMyToolbarLook look) { FollowLook(look); };
  FollowLook(EMyToolbarLook::Disconnected);
  for (CMyWindow* w : std::initializer_list<CMyWindow*>{&toolbar, &tasks, &news, &chat, &users}) {
    w->addActions(QList<QAction*>(shortcuts.begin(), shortcuts.end()));
    w->onHidden = [this] { AnyWindowLeft(); };
  }
}

CMyClientWindows::SImpl::~SImpl() {
  delete connectDialog.data();
  delete agreement.data();
}

QWidget* CMyClientWindows::SImpl::Window(EMyWindow w) {
  switch (w) {
    case winToolbar:
      return &toolbar;
    case winTasks:
      return &tasks;
    case winNews:
      return &news;
    case winChat:
      return &chat;
    case winOnlineUsers:
      return &users;
    default:
      return nullptr;
  }
}

void CMyClientWindows::SImpl::BuildMenus() {
  auto* bar = new QMenuBar(&toolbar);
  toolbar.layout()->setMenuBar(bar);
  auto command = [this](EMyCommand c) {
    if (CMyApplication* app = logic.app) Act([app, c] { app->Command(c); });
  };
  auto add = [this](QMenu* menu, const QString& label, const QKeySequence& key, std::function<void()> run) {
    auto* a = new QAction(label, anchor.get());
    a->setShortcut(key);
    QObject::connect(a, &QAction::triggered, anchor.get(), [run] { run(); });
    if (menu) menu->addAction(a);
    if (!key.isEmpty()) shortcuts.push_back(a);
    return a;
  };

  QMenu* file = bar->addMenu(QStringLiteral("File"));
  commandActions[cmdQuit] =
      add(file, QStringLiteral("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), [command] { command(cmdQuit); });

  QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
  add(edit, QStringLiteral("Undo"), QKeySequence(Qt::CTRL | Qt::Key_Z), [] { EditFocused(EEdit::Undo); });
  edit->addSeparator();
  add(edit, QStringLiteral("Cut"), QKeySequence(Qt::CTRL | Qt::Key_X), [] { EditFocused(EEdit::Cut); });
  add(edit, QStringLiteral("Copy"), QKeySequence(Qt::CTRL | Qt::Key_C), [] { EditFocused(EEdit::Copy); });
  add(edit, QStringLiteral("Paste"), QKeySequence(Qt::CTRL | Qt::Key_V), [] { EditFocused(EEdit::Paste); });
  add(edit, QStringLiteral("Clear"), QKeySequence(Qt::Key_Clear), [] { EditFocused(EEdit::Clear); });
  edit->addSeparator();
  add(edit, QStringLiteral("Select All"), QKeySequence(Qt::CTRL | Qt::Key_A), [] { EditFocused(EEdit::SelectAll); });

  QMenu* corvane = bar->addMenu(QStringLiteral("Corvane"));
  for (const SMenuCommand& m : CorvaneMenu()) {
    if (!m.label) {
      corvane->addSeparator();
      continue;
    }
    const EMyCommand c = m.command;
    commandActions[c] = add(corvane, QString::fromLatin1(m.label), m.shortcut, [command, c] { command(c); });
  }
  add(nullptr, QStringLiteral("Secret"), kHiddenCommandKey, [command] { command(cmdHiddenCommands); });

  std::vector<QKeySequence> menuKeys{kHiddenCommandKey};
  for (const SMenuCommand& m : CorvaneMenu())
    if (!m.shortcut.isEmpty()) menuKeys.push_back(m.shortcut);
  menuKeysFirst = std::make_unique<CMenuKeysFirst>(std::move(menuKeys));
  qApp->installEventFilter(menuKeysFirst.get());
}

void CMyClientWindows::SImpl::FollowLook(EMyToolbarLook look) {
  for (auto& [c, action] : commandActions) action->setEnabled(IsCommandEnabled(look, c));
}

void CMyClientWindows::SImpl::Place(EMyWindow w) {
  QWidget* win = Window(w);
  if (!win || placed[w]) return;
  placed[w] = true;
  QRect r = DefaultPlace(w);
  if (logic.app) {
    const SMyRect& saved = logic.app->Prefs().rects[w];
    const QRect s(saved.left, saved.top, saved.right - saved.left, saved.bottom - saved.top);
    // A place on a screen that is no longer there would leave the window out of reach.
    if (saved.Usable() && OnSomeScreen(s)) r = s;
  }
  if (r.width() > 0 && r.height() > 0)
    win->setGeometry(r);
  else
    win->move(r.topLeft());
}

// With no window left on the screen there is nothing to bring the others back with: the
// program ends, as its Quit would.
void CMyClientWindows::SImpl::AnyWindowLeft() {
  QTimer::singleShot(0, anchor.get(), [this] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && !w->isMinimized() && w->isWindow()) return;
    if (CMyApplication* app = logic.app) Act([app] { app->QuitRequested(); });
  });
}

void CMyClientWindows::SImpl::ShowAlert(const SMyAlert& alert) {
  // Alerts come from inside the logic (a task's reply, a processing pass); the box is
  // modal, so it opens once that has returned.
  QTimer::singleShot(0, anchor.get(), [alert] {
    SAlertTemplate t;
    t.kind = alert.kind;
    t.title = alert.title;
    t.message = Literal(alert.text);
    t.buttons = alert.buttons;
    UAlert::ShowTemplate(t, {}, nullptr, Uint32(Uint16(alert.id)));
  });
}

void CMyClientWindows::SImpl::ShowWindow(EMyWindow window) {
  QWidget* w = Window(window);
  if (!w) {
    USound::Beep();
    return;
  }
  Place(window);
  if (starting && shiftAtStart && window != winToolbar) return;
  BringToFront(w);
}

void CMyClientWindows::SImpl::SetWindowTitle(EMyWindow window, std::string_view title) {
  if (QWidget* w = Window(window)) w->setWindowTitle(Mac(title));
}

bool CMyClientWindows::SImpl::GetWindowState(EMyWindow window, SMyRect& rect, bool& visible) {
  QWidget* w = Window(window);
  if (!w) return false;
  const QRect g = w->geometry();
  rect = SMyRect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
  visible = w->isVisible();
  return true;
}

void CMyClientWindows::SImpl::OpenConnect(const SMyConnectForm& form, bool showBookmarks) {
  if (!logic.app) return;
  if (!connectDialog) connectDialog = new CMyConnectDialog(*logic.app);
  connectDialog->Fill(form, showBookmarks);
  BringToFront(connectDialog);
}

void CMyClientWindows::SImpl::OpenAbout(std::string_view statistics) {
  if (!about) about = std::make_unique<CMyAboutDialog>();
  about->SetStatistics(statistics);
  BringToFront(about.get());
}

void CMyClientWindows::SImpl::OpenAgreement(std::string_view text) {
  if (!logic.app) return;
  agreement = new CMyAgreementDialog(*logic.app, text);
  BringToFront(agreement);
}

// ---- CMyClientWindows

CMyClientWindows::CMyClientWindows() : d_(std::make_unique<SImpl>()) {}

CMyClientWindows::~CMyClientWindows() = default;

SMyCoreViews CMyClientWindows::CoreViews() { return SMyCoreViews{*d_, d_->toolbar, d_->tasks}; }

IMyChatViews& CMyClientWindows::ChatViews() { return *d_; }

IMyNewsView& CMyClientWindows::NewsView() { return d_->news; }

void CMyClientWindows::Attach(CMyApplication& app, CMyChatClient& chat, CMyNewsClient& news) {
  d_->logic = SMyLogic{&app, &chat, &news};
  d_->starting = true;
  d_->shiftAtStart = QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier;
}

void CMyClientWindows::Started() {
  d_->starting = false;
  for (EMyWindow w : kFixedWindows) d_->Place(w);
  // The resource file has just been opened: nothing looked up before it counts.
  UImage::ClearCache();
  for (EMyWindow w : kFixedWindows) RefreshIcons(Window(w));
  if (d_->chat.isVisible()) BringToFront(&d_->chat);
}

void CMyClientWindows::Detach() {
  delete d_->connectDialog.data();
  delete d_->agreement.data();
  if (QWidget* post = d_->news.Post()) delete post;
  d_->logic = SMyLogic{};
}

QWidget* CMyClientWindows::Window(EMyWindow window) const { return d_->Window(window); }

QWidget* CMyClientWindows::ConnectWindow() const { return d_->connectDialog; }

QWidget* CMyClientWindows::AboutWindow() const { return d_->about.get(); }

QWidget* CMyClientWindows::AgreementWindow() const { return d_->agreement; }

QWidget* CMyClientWindows::PostWindow() const { return d_->news.Post(); }

// ---- CMyClientProgram

CMyClientProgram::CMyClientProgram(SMyClientSettings settings) {
  app_ = std::make_unique<CMyDesktopApplication>(std::move(settings), windows_.CoreViews());
  chat_ = std::make_unique<CMyChatClient>(*app_, windows_.ChatViews());
  news_ = std::make_unique<CMyNewsClient>(*app_, windows_.NewsView());
  windows_.Attach(*app_, *chat_, *news_);
}

CMyClientProgram::~CMyClientProgram() {
  windows_.Detach();
  news_.reset();
  chat_.reset();
  app_.reset();
}

void CMyClientProgram::Start() {
  app_->Start();
  chat_->ApplyChatStyle();
  windows_.Started();
}

}  // namespace cv::client
