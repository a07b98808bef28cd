// The server's windows: widgets that implement the view interfaces of server/operator.h.
#include "toolkit/server/server_windows.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "framework/types.h"
#include "toolkit/media.h"
#include "toolkit/qtloop.h"
#include "toolkit/qttext.h"

namespace cv {

namespace {

using UQtText::FromMac;
using UQtText::ToMac;

// Where the windows go when the preferences hold no place for them.
constexpr SFrame kDefaultMain{60, 60, 330, 230};
constexpr SFrame kDefaultLog{350, 60, 950, 400};
constexpr SFrame kDefaultStats{60, 280, 330, 500};

QPushButton* Button(std::string_view label, std::function<void()> action, QWidget* parent) {
  auto* b = new QPushButton(FromMac(label), parent);
  b->setObjectName(FromMac(label));
  QObject::connect(b, &QPushButton::clicked, b, [action = std::move(action)] { UQtLoop::Act(action); });
  return b;
}

// A row of buttons at the foot of a dialog, each running the action it points at (set
// later by the window's owner); the last one is the default.
QHBoxLayout* ButtonRow(QWidget* parent,
                       std::initializer_list<std::pair<std::string_view, std::function<void()>*>> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  QPushButton* last = nullptr;
  for (auto [label, action] : buttons) {
    last = Button(
        label, [action] { (*action)(); }, parent);
    row->addWidget(last);
  }
  if (last) last->setDefault(true);
  return row;
}

QLineEdit* Field(const char* name, int maxLength, QWidget* parent) {
  auto* f = new QLineEdit(parent);
  f->setObjectName(name);
  f->setMaxLength(maxLength);
  return f;
}

void Place(QWidget& w, const SFrame& stored, const SFrame& fallback) {
  const SFrame& f = stored.Usable() ? stored : fallback;
  w.setGeometry(f.left, f.top, f.right - f.left, f.bottom - f.top);
}

Int16 Clamp16(int v) { return Int16(std::clamp(v, -32768, 32767)); }

SFrame FrameOf(const QWidget* w) {
  if (!w) return {};
  const QRect g = w->geometry();
  return {Clamp16(g.left()), Clamp16(g.top()), Clamp16(g.left() + g.width()), Clamp16(g.top() + g.height())};
}

void Bring(QWidget& w) {
  w.show();
  w.raise();
  w.activateWindow();
}

// ---- Main window

class CMainWidget final : public QWidget {
 public:
  std::function<void()> onClose;

  CMainWidget() {
    setWindowTitle(FromMac("Corvane Server"));
    setObjectName("Corvane Server");
    grid_ = new QGridLayout(this);
  }
  void Add(QPushButton* b) {
    const int n = grid_->count();
    grid_->addWidget(b, n / 2, n % 2);
  }

 protected:
  // Closing the main window is the Quit button.
  void closeEvent(QCloseEvent* e) override {
    e->ignore();
    if (onClose) UQtLoop::Act(onClose);
  }

 private:
  QGridLayout* grid_;
};

// ---- Log window

class CLogWidget final : public QWidget {
 public:
  CLogWidget() {
    setWindowTitle(FromMac("Corvane Server Log"));
    setObjectName("Corvane Server Log");
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The lines are padded into columns.
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(text_);
  }
  void SetAll(const std::string& macText) { text_->setPlainText(FromMac(macText)); }
  void AppendLine(std::string_view macLine) { text_->appendPlainText(FromMac(macLine)); }
  QString Text() const { return text_->toPlainText(); }

 private:
  QPlainTextEdit* text_;
};

// ---- Statistics window

class CStatsWidget final : public QWidget, public IMyStatsView {
 public:
  CStatsWidget() {
    setWindowTitle(FromMac("Statistics"));
    setObjectName("Statistics");
    auto* form = new QFormLayout(this);
    for (std::size_t i = 0; i < kStatCount; ++i) {
      values_[i] = new QLabel("0", this);
      values_[i]->setObjectName(FromMac(StatLabel(EMyStat(i))));
      values_[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      form->addRow(FromMac(StatLabel(EMyStat(i))), values_[i]);
    }
    since_ = new QLabel(this);
    since_->setObjectName("Since:");
    form->addRow(FromMac("Since:"), since_);
  }
  void ShowValue(EMyStat which, Uint32 value) override {
    if (which < kStatCount) values_[which]->setText(QString::number(value));
  }
  void ShowSince(std::string_view text) override { since_->setText(FromMac(text)); }
  QString Value(EMyStat which) const { return which < kStatCount ? values_[which]->text() : QString(); }
  QString Since() const { return since_->text(); }

 private:
  std::array<QLabel*, kStatCount> values_{};
  QLabel* since_;
};

// ---- Dialogs: Escape and the close box are "Cancel".

class CDialog : public QDialog {
 public:
  std::function<void()> onCancel;

  void reject() override {
    if (onCancel)
      UQtLoop::Act(onCancel);
    else
      QDialog::reject();
  }
  // Hides, and ends a modal run when there is one.
  void Finish() { done(QDialog::Rejected); }
};

class COptionsDialog final : public CDialog, public IMyOptionsView {
 public:
  std::function<void()> onSave;

  COptionsDialog() {
    setWindowTitle(FromMac("Options"));
    setObjectName("Options");
    auto* tabs = new QTabWidget(this);

    auto* general = new QWidget;
    auto* g = new QFormLayout(general);
    maxDownloads_ = Field("maxDownloads", 5, general);
    port_ = Field("port", 5, general);
    g->addRow(FromMac("Maximum simultaneous downloads:"), maxDownloads_);
    g->addRow(FromMac("Server port number:"), port_);
    for (auto [box, label] :
         {std::pair{&playSounds_, "Play Sounds"}, std::pair{&confirmQuit_, "Confirm Quit"},
          std::pair{&logDownloads_, "Log Downloads to file"}, std::pair{&logUploads_, "Log Uploads to file"},
          std::pair{&logConnects_, "Log Connects to file"}, std::pair{&logAccounts_, "Log Account Changes to file"}}) {
      *box = new QCheckBox(FromMac(label), general);
      (*box)->setObjectName(label);
      g->addRow(*box);
    }
    tabs->addTab(general, FromMac("General"));

    auto* info = new QWidget;
    auto* i = new QFormLayout(info);
    i->addRow(new QLabel(FromMac("Information about this Server (for Trackers):"), info));
    name_ = Field("name", int(kServerNameMax), info);
    description_ = Field("description", int(kServerDescriptionMax), info);
    i->addRow(FromMac("Name:"), name_);
    i->addRow(FromMac("Description:"), description_);
    tabs->addTab(info, FromMac("Server Info"));

    auto* trackers = new QWidget;
    auto* t = new QGridLayout(trackers);
    register_ = new QCheckBox(FromMac("List with Corvane Trackers:"), trackers);
    register_->setObjectName("List with Corvane Trackers:");
    t->addWidget(register_, 0, 0, 1, 2);
    t->addWidget(new QLabel(FromMac("Address"), trackers), 1, 0);
    t->addWidget(new QLabel(FromMac("Password"), trackers), 1, 1);
    for (std::size_t r = 0; r < kTrackerCount; ++r) {
      const std::string n = std::to_string(r + 1);
      addresses_[r] = Field(("trackerAddress" + n).c_str(), int(kTrackerAddressMax), trackers);
      passwords_[r] = Field(("trackerPassword" + n).c_str(), int(kTrackerPasswordMax), trackers);
      passwords_[r]->setEchoMode(QLineEdit::Password);
      t->addWidget(addresses_[r], int(r) + 2, 0);
      t->addWidget(passwords_[r], int(r) + 2, 1);
    }
    t->setColumnStretch(0, 3);
    t->setColumnStretch(1, 1);
    tabs->addTab(trackers, FromMac("Trackers"));

    QHBoxLayout* buttons = ButtonRow(this, {{"Cancel", &onCancel}, {"Save", &onSave}});
    auto* l = new QVBoxLayout(this);
    l->addWidget(tabs);
    l->addLayout(buttons);
  }

  void Show(const SMyOptionsForm& f) override {
    maxDownloads_->setText(FromMac(f.maxDownloads));
    port_->setText(FromMac(f.port));
    playSounds_->setChecked(f.playSounds);
    confirmQuit_->setChecked(f.confirmQuit);
    logDownloads_->setChecked(f.logDownloads);
    logUploads_->setChecked(f.logUploads);
    logConnects_->setChecked(f.logConnects);
    logAccounts_->setChecked(f.logAccounts);
    name_->setText(FromMac(f.name));
    description_->setText(FromMac(f.description));
    register_->setChecked(f.registerWithTrackers);
    for (std::size_t r = 0; r < kTrackerCount; ++r) {
      addresses_[r]->setText(FromMac(f.trackers[r].address));
      passwords_[r]->setText(FromMac(f.trackers[r].password));
    }
    Bring(*this);
  }

  SMyOptionsForm Read() override {
    SMyOptionsForm f;
    f.maxDownloads = ToMac(maxDownloads_->text());
    f.port = ToMac(port_->text());
    f.playSounds = playSounds_->isChecked();
    f.confirmQuit = confirmQuit_->isChecked();
    f.logDownloads = logDownloads_->isChecked();
    f.logUploads = logUploads_->isChecked();
    f.logConnects = logConnects_->isChecked();
    f.logAccounts = logAccounts_->isChecked();
    f.name = ToMac(name_->text());
    f.description = ToMac(description_->text());
    f.registerWithTrackers = register_->isChecked();
    for (std::size_t r = 0; r < kTrackerCount; ++r) {
      f.trackers[r].address = ToMac(addresses_[r]->text());
      f.trackers[r].password = ToMac(passwords_[r]->text());
    }
    return f;
  }

  void Close() override { Finish(); }

 private:
  QLineEdit *maxDownloads_, *port_, *name_, *description_;
  QCheckBox *playSounds_ = nullptr, *confirmQuit_ = nullptr, *logDownloads_ = nullptr, *logUploads_ = nullptr,
            *logConnects_ = nullptr, *logAccounts_ = nullptr, *register_;
  std::array<QLineEdit*, kTrackerCount> addresses_{}, passwords_{};
};

class CBroadcastDialog final : public CDialog, public IMyBroadcastView {
 public:
  std::function<void()> onSend;

  CBroadcastDialog() {
    setWindowTitle(FromMac("Broadcast"));
    setObjectName("Broadcast");
    auto* prompt = new QLabel(FromMac(kBroadcastPrompt), this);
    prompt->setWordWrap(true);
    text_ = new QPlainTextEdit(this);
    text_->setObjectName("message");
    QHBoxLayout* buttons = ButtonRow(this, {{"Cancel", &onCancel}, {"Send", &onSend}});
    auto* l = new QVBoxLayout(this);
    l->addWidget(prompt);
    l->addWidget(text_);
    l->addLayout(buttons);
    resize(380, 220);
  }
  void Open() {
    text_->clear();
    Bring(*this);
    text_->setFocus();
  }
  std::string Text() override { return ToMac(text_->toPlainText()); }
  void Close() override { Finish(); }

 private:
  QPlainTextEdit* text_;
};

class CQuitDialog final : public CDialog, public IMyQuitView {
 public:
  std::function<void()> onPolite, onNow, onQuitting;

  CQuitDialog() {
    setWindowTitle(FromMac("Quit"));
    setObjectName("Quit");
    // Asks before anything else can happen in the other windows.
    setWindowModality(Qt::ApplicationModal);
    auto* text = new QLabel(FromMac(kQuitText), this);
    text->setWordWrap(true);
    message_ = Field("message", 255, this);
    QHBoxLayout* buttons = ButtonRow(this, {{"Cancel", &onCancel}, {"Quit Now", &onNow}, {"Polite Quit", &onPolite}});
    auto* l = new QVBoxLayout(this);
    l->addWidget(text);
    l->addWidget(message_);
    l->addLayout(buttons);
    resize(420, 160);
  }
  void Open() {
    message_->clear();
    Bring(*this);
    message_->setFocus();
  }
  std::string Message() override { return ToMac(message_->text()); }
  void Close() override { Finish(); }
  void OpenQuitting() override { onQuitting(); }

 private:
  QLineEdit* message_;
};

class CQuittingDialog final : public CDialog, public IMyQuittingView {
 public:
  std::function<void()> onNow;

  CQuittingDialog() {
    setWindowTitle(FromMac("Quitting"));
    setObjectName("Quitting");
    setWindowModality(Qt::ApplicationModal);
    auto* text = new QLabel(FromMac(kQuittingText), this);
    QHBoxLayout* buttons = ButtonRow(this, {{"Cancel", &onCancel}, {"Quit Now", &onNow}});
    auto* l = new QVBoxLayout(this);
    l->addWidget(text);
    l->addLayout(buttons);
  }
  void Close() override { Finish(); }
};

}  // namespace

struct CMyServerWindows::SImpl {
  CMyApplication* app = nullptr;
  std::function<bool()> optionsAtStart = [] {
    return (QGuiApplication::queryKeyboardModifiers() & Qt::AltModifier) != 0;
  };
  CMyLogText logText;

  std::unique_ptr<CMainWidget> main;
  std::unique_ptr<CLogWidget> log;
  std::unique_ptr<CStatsWidget> stats;
  std::unique_ptr<COptionsDialog> options;
  std::unique_ptr<CBroadcastDialog> broadcast;
  std::unique_ptr<CQuitDialog> quit;
  std::unique_ptr<CQuittingDialog> quitting;

  std::unique_ptr<CMyMainWindow> mainLogic;
  std::unique_ptr<CMyStatsWindow> statsLogic;
  std::unique_ptr<CMyOptionsWindow> optionsLogic;
  std::unique_ptr<CMyBroadcastWindow> broadcastLogic;
  std::unique_ptr<CMyQuitWindow> quitLogic;
  std::unique_ptr<CMyQuittingWindow> quittingLogic;

  void AppendLog(std::string_view line) {
    const std::size_t before = logText.Text().size();
    logText.Append(line);
    if (!log) return;
    // The text starts afresh once it has grown too long.
    if (logText.Text().size() < before)
      log->SetAll(logText.Text());
    else
      log->AppendLine(line);
  }
};

CMyServerWindows::CMyServerWindows() : d_(std::make_unique<SImpl>()) {}

CMyServerWindows::~CMyServerWindows() { Detach(); }

void CMyServerWindows::Attach(SServerSettings& settings) {
  settings.headless = false;
  settings.frontEnd = this;
  settings.logHook = [d = d_.get()](std::string_view line) { d->AppendLog(line); };
}

void CMyServerWindows::Detach() {
  // Logic first (it refers to the widgets as views), then the widgets.
  d_->quittingLogic.reset();
  d_->quitLogic.reset();
  d_->broadcastLogic.reset();
  d_->optionsLogic.reset();
  d_->statsLogic.reset();
  d_->mainLogic.reset();
  d_->quitting.reset();
  d_->quit.reset();
  d_->broadcast.reset();
  d_->options.reset();
  d_->stats.reset();
  d_->log.reset();
  d_->main.reset();
  d_->app = nullptr;
}

void CMyServerWindows::SetOptionsAtStart(std::function<bool()> ask) { d_->optionsAtStart = std::move(ask); }

void CMyServerWindows::Opening(CMyApplication& app) {
  Detach();
  SImpl& d = *d_;
  d.app = &app;
  const SServerPrefs& prefs = app.Prefs();

  d.main = std::make_unique<CMainWidget>();
  d.mainLogic = std::make_unique<CMyMainWindow>(app, static_cast<IMyMainView&>(*this));
  CMyMainWindow* m = d.mainLogic.get();
  d.main->Add(Button(
      "Options", [m] { m->Options(); }, d.main.get()));
  d.main->Add(Button(
      "Broadcast", [m] { m->Broadcast(); }, d.main.get()));
  d.main->Add(Button(
      "Reload News", [m] { m->ReloadNews(); }, d.main.get()));
  d.main->Add(Button(
      "Log", [m] { m->Log(); }, d.main.get()));
  d.main->Add(Button(
      "Statistics", [m] { m->Statistics(); }, d.main.get()));
  d.main->Add(Button(
      "Quit", [m] { m->Quit(); }, d.main.get()));
  d.main->onClose = [m] { m->Quit(); };
  auto* quitKey = new QShortcut(QKeySequence::Quit, d.main.get());
  quitKey->setContext(Qt::ApplicationShortcut);
  QObject::connect(quitKey, &QShortcut::activated, d.main.get(), [m] { UQtLoop::Act([m] { m->Quit(); }); });

  d.log = std::make_unique<CLogWidget>();
  d.log->SetAll(d.logText.Text());

  d.stats = std::make_unique<CStatsWidget>();
  d.statsLogic = std::make_unique<CMyStatsWindow>(*d.stats, StampNow());
  d.statsLogic->Refresh(app.StatsValues());

  d.options = std::make_unique<COptionsDialog>();
  d.optionsLogic = std::make_unique<CMyOptionsWindow>(app, *d.options);
  CMyOptionsWindow* o = d.optionsLogic.get();
  d.options->onSave = [o] { o->Save(); };
  d.options->onCancel = [o] { o->Cancel(); };

  d.broadcast = std::make_unique<CBroadcastDialog>();
  d.broadcastLogic = std::make_unique<CMyBroadcastWindow>(app, *d.broadcast);
  CMyBroadcastWindow* b = d.broadcastLogic.get();
  d.broadcast->onSend = [b] { b->Send(); };
  d.broadcast->onCancel = [b] { b->Cancel(); };

  d.quit = std::make_unique<CQuitDialog>();
  d.quitLogic = std::make_unique<CMyQuitWindow>(app, *d.quit);
  d.quitting = std::make_unique<CQuittingDialog>();
  d.quittingLogic = std::make_unique<CMyQuittingWindow>(app, *d.quitting);
  CMyQuitWindow* q = d.quitLogic.get();
  CMyQuittingWindow* qq = d.quittingLogic.get();
  d.quit->onPolite = [q] { q->PoliteQuit(); };
  d.quit->onNow = [q] { q->QuitNow(); };
  d.quit->onCancel = [q] { q->Cancel(); };
  d.quit->onQuitting = [w = d.quitting.get()] { Bring(*w); };
  d.quitting->onNow = [qq] { qq->QuitNow(); };
  d.quitting->onCancel = [qq] { qq->Cancel(); };

  const QIcon icon = UImage::Icon(kServerIconId);
  for (QWidget* w : std::initializer_list<QWidget*>{d.main.get(), d.log.get(), d.stats.get(), d.options.get(),
                                                    d.broadcast.get(), d.quit.get(), d.quitting.get()})
    if (!icon.isNull()) w->setWindowIcon(icon);

  Place(*d.main, prefs.mainFrame, kDefaultMain);
  Place(*d.log, prefs.logFrame, kDefaultLog);
  Place(*d.stats, prefs.statsFrame, kDefaultStats);
  d.main->show();
  if (prefs.visibility & visLogWindow) d.log->show();
  if (prefs.visibility & visStatsWindow) d.stats->show();

  // Holding Alt at start: the options first, while nothing listens yet.
  if (d.optionsAtStart && d.optionsAtStart()) {
    o->Open();
    d.options->hide();
    UQtLoop::Exec(*d.options);
  }
}

void CMyServerWindows::StatsChanged() {
  if (d_->statsLogic && d_->app) d_->statsLogic->Refresh(d_->app->StatsValues());
}

void CMyServerWindows::PlaySound(Int16 sound) { USound::Play(sound); }

void CMyServerWindows::StoreWindows(SServerPrefs& prefs) {
  prefs.mainFrame = FrameOf(d_->main.get());
  prefs.logFrame = FrameOf(d_->log.get());
  prefs.statsFrame = FrameOf(d_->stats.get());
  Uint16 v = 0;
  if (d_->main) v |= visMainWindow;
  if (d_->log && d_->log->isVisible()) v |= visLogWindow;
  if (d_->stats && d_->stats->isVisible()) v |= visStatsWindow;
  prefs.visibility = v;
}

CMyMainWindow* CMyServerWindows::Main() { return d_->mainLogic.get(); }

void CMyServerWindows::OpenOptions() {
  if (d_->optionsLogic) d_->optionsLogic->Open();
}

void CMyServerWindows::OpenBroadcast() {
  if (d_->broadcast) d_->broadcast->Open();
}

void CMyServerWindows::ShowLog() {
  if (d_->log) Bring(*d_->log);
}

void CMyServerWindows::ShowStatistics() {
  if (d_->stats) Bring(*d_->stats);
}

void CMyServerWindows::OpenQuit() {
  if (!d_->quit) return;
  USound::Beep();
  d_->quit->Open();
}

QWidget* CMyServerWindows::MainWindow() const { return d_->main.get(); }
QWidget* CMyServerWindows::LogWindow() const { return d_->log.get(); }
QWidget* CMyServerWindows::StatsWindow() const { return d_->stats.get(); }
QWidget* CMyServerWindows::OptionsWindow() const { return d_->options.get(); }
QWidget* CMyServerWindows::BroadcastWindow() const { return d_->broadcast.get(); }
QWidget* CMyServerWindows::QuitWindow() const { return d_->quit.get(); }
QWidget* CMyServerWindows::QuittingWindow() const { return d_->quitting.get(); }

QString CMyServerWindows::StatText(EMyStat which) const { return d_->stats ? d_->stats->Value(which) : QString(); }
QString CMyServerWindows::SinceText() const { return d_->stats ? d_->stats->Since() : QString(); }
QString CMyServerWindows::LogText() const { return d_->log ? d_->log->Text() : UQtText::FromMac(d_->logText.Text()); }

}  // namespace cv
