// The chat's windows that come and go: private chats, received messages, the send,
// invitation and subject windows, and the hidden command window.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "client/chat_text.h"
#include "toolkit/client/client_windows.h"
#include "toolkit/client/src/windows.h"

namespace cv::client {

namespace {

// A private chat window: users dragged from a list onto it are invited, wherever they
// are dropped (the text views would otherwise take the drop for text).
class CMyRoomWindow final : public CMyWindow {
 public:
  CMyRoomWindow() { setAcceptDrops(true); }
  std::function<void(Uint16)> onDropUser;

  void TakeDropsOf(QWidget* w) { w->installEventFilter(this); }

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override { Drag(event); }
  void dragMoveEvent(QDragMoveEvent* event) override { Drag(event); }
  void dropEvent(QDropEvent* event) override { Drop(event); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove:
        if (!DraggedUser(static_cast<QDropEvent*>(event)->mimeData())) break;
        Drag(static_cast<QDragMoveEvent*>(event));
        return true;
      case QEvent::Drop:
        if (!DraggedUser(static_cast<QDropEvent*>(event)->mimeData())) break;
        Drop(static_cast<QDropEvent*>(event));
        return true;
      default:
        break;
    }
    return CMyWindow::eventFilter(watched, event);
  }

 private:
  static void Drag(QDragMoveEvent* event) {
    if (DraggedUser(event->mimeData())) event->acceptProposedAction();
  }
  void Drop(QDropEvent* event) {
    const Uint16 id = DraggedUser(event->mimeData());
    if (!id || !onDropUser) return;
    event->acceptProposedAction();
    const std::function<void(Uint16)> drop = onDropUser;
    drop(id);
  }
};

QLabel* NameLabel(std::string_view name, QWidget* parent) {
  auto* label = new QLabel(Mac(name), parent);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

// Forgets the logic's callbacks of a window and disposes of it.
void Release(CMyWindow* window) {
  if (!window) return;
  window->onClose = nullptr;
  window->onHidden = nullptr;
  DisposeWindow(window);
}

void Release(CMyDialog* dialog) {
  if (!dialog) return;
  dialog->onReject = nullptr;
  DisposeWindow(dialog);
}

}  // namespace

// ---- Private chat

CMyChatWinView::CMyChatWinView(CMyChatWin& controller, const std::vector<QAction*>& shortcuts) {
  auto* window = new CMyRoomWindow;
  window_ = window;
  window->setMinimumSize(kChatMinWidth, kChatMinHeight);
  window->resize(520, 340);
  for (QAction* a : shortcuts) window->addAction(a);
  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(4, 4, 4, 4);
  subject_ = new QPushButton(window);
  subject_->setObjectName(widgetNames::kSubject);
  subject_->setFlat(true);
  subject_->setStyleSheet(QStringLiteral("text-align: left; padding: 2px 4px;"));
  subject_->setToolTip(QStringLiteral("Click to set the subject"));
  layout->addWidget(subject_);
  auto* split = new QSplitter(Qt::Horizontal, window);
  pane_ = new CMyChatPane(split);
  rows_ = new CMyUserRows(split);
  split->addWidget(pane_);
  split->addWidget(rows_);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 1);
  split->setChildrenCollapsible(false);
  layout->addWidget(split, 1);
  window->setFocusProxy(pane_);
  window->TakeDropsOf(pane_->Text()->viewport());
  window->TakeDropsOf(pane_->Entry()->viewport());

  CMyChatWin* c = &controller;
  pane_->Entry()->onSend = [c](bool action) { Act([c, action] { c->Send(action); }); };
  window->onClose = [c] { Act([c] { c->Close(); }); };
  window->onDropUser = [c](Uint16 id) { Act([c, id] { c->DropUser(id); }); };
  connect(subject_, &QPushButton::clicked, this, [c] { Act([c] { c->OpenSubject(); }); });
}

CMyChatWinView::~CMyChatWinView() {
  if (window_) {
    pane_->Entry()->onSend = nullptr;
    static_cast<CMyRoomWindow*>(window_.data())->onDropUser = nullptr;
  }
  Release(window_);
}

void CMyChatWinView::SetTitle(std::string_view title) {
  if (window_) window_->setWindowTitle(Mac(title));
}

void CMyChatWinView::SetSubject(std::string_view subject) {
  subject_->setText(Mac(kSubjectLabel) + QStringLiteral("  ") + Mac(subject));
}

void CMyChatWinView::Show() { BringToFront(window_); }

// ---- Received private message

CMyPrivMsgView::CMyPrivMsgView(CMyPrivMsgWin& controller, std::string_view senderName, std::string_view text,
                               bool atBack) {
  auto* window = new CMyWindow;
  window_ = window;
  window->setWindowTitle(Mac(senderName));
  auto* layout = new QVBoxLayout(window);
  auto* body = new QPlainTextEdit(window);
  body->setReadOnly(true);
  body->setPlainText(Mac(text));
  layout->addWidget(body, 1);
  auto* ok = new QPushButton(QStringLiteral("OK"), window);
  auto* reply = new QPushButton(QStringLiteral("Reply..."), window);
  layout->addWidget(ButtonRow({ok, reply}, window));
  window->resize(340, 200);

  CMyPrivMsgWin* c = &controller;
  connect(ok, &QPushButton::clicked, this, [c] { Act([c] { c->Ok(); }); });
  connect(reply, &QPushButton::clicked, this, [c] { Act([c] { c->Reply(); }); });
  window->onClose = [c] { Act([c] { c->Ok(); }); };
  if (atBack)
    PutBehind(window);
  else
    BringToFront(window);
}

CMyPrivMsgView::~CMyPrivMsgView() { Release(window_); }

// ---- Send Message

CMySendPrivMsgView::CMySendPrivMsgView(CMySendPrivMsgWin& controller, std::string_view recipientName) {
  auto* window = new CMyDialog;
  window_ = window;
  window->setWindowTitle(Mac(kSendMessageTitle));
  auto* layout = new QVBoxLayout(window);
  layout->addWidget(WrappedLabel(Mac(kSendMessagePrompt), window));
  layout->addWidget(NameLabel(recipientName, window));
  entry_ = new CMyEntry(window);
  entry_->setObjectName(QStringLiteral("messageText"));
  layout->addWidget(entry_, 1);
  auto* send = new QPushButton(QStringLiteral("Send"), window);
  send->setObjectName(widgetNames::kSendButton);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), window);
  layout->addWidget(ButtonRow({send, cancel}, window));
  window->resize(360, 220);

  CMySendPrivMsgWin* c = &controller;
  entry_->onSend = [c](bool) { Act([c] { c->Send(); }); };
  connect(send, &QPushButton::clicked, this, [c] { Act([c] { c->Send(); }); });
  connect(cancel, &QPushButton::clicked, this, [c] { Act([c] { c->Cancel(); }); });
  window->onReject = [c] { Act([c] { c->Cancel(); }); };
  BringToFront(window);
  entry_->setFocus();
}

CMySendPrivMsgView::~CMySendPrivMsgView() {
  if (window_) entry_->onSend = nullptr;
  Release(window_);
}

std::string CMySendPrivMsgView::Text() { return window_ ? ToMac(entry_->toPlainText()) : std::string(); }

// ---- Chat Invitation

CMyChatInviteView::CMyChatInviteView(CMyChatInviteWin& controller, std::string_view inviterName) {
  auto* window = new CMyDialog;
  window_ = window;
  window->setWindowTitle(Mac(kChatInviteTitle));
  auto* layout = new QVBoxLayout(window);
  layout->addWidget(WrappedLabel(Mac(kChatInvitePrompt), window));
  layout->addWidget(NameLabel(inviterName, window));
  auto* chat = new QPushButton(QStringLiteral("Chat"), window);
  auto* decline = new QPushButton(QStringLiteral("Decline"), window);
  layout->addWidget(ButtonRow({chat, decline}, window));

  CMyChatInviteWin* c = &controller;
  connect(chat, &QPushButton::clicked, this, [c] { Act([c] { c->Chat(); }); });
  connect(decline, &QPushButton::clicked, this, [c] { Act([c] { c->Decline(); }); });
  window->onReject = [c] { Act([c] { c->Decline(); }); };
  BringToFront(window);
}

CMyChatInviteView::~CMyChatInviteView() { Release(window_); }

// ---- Chat Subject

CMyChatSubjectView::CMyChatSubjectView(CMyChatSubjectWin& controller, std::string_view subject) {
  auto* window = new CMyDialog;
  window_ = window;
  window->setWindowTitle(Mac(kChatSubjectTitle));
  auto* layout = new QVBoxLayout(window);
  layout->addWidget(WrappedLabel(Mac(kChatSubjectPrompt), window));
  entry_ = new QLineEdit(Mac(subject), window);
  entry_->setObjectName(widgetNames::kSubject);
  entry_->setMaxLength(int(kSubjectMax));
  entry_->selectAll();
  layout->addWidget(entry_);
  auto* set = new QPushButton(QStringLiteral("Set"), window);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), window);
  layout->addWidget(ButtonRow({set, cancel}, window));
  window->setMinimumWidth(340);

  CMyChatSubjectWin* c = &controller;
  connect(set, &QPushButton::clicked, this, [c] { Act([c] { c->Set(); }); });
  connect(cancel, &QPushButton::clicked, this, [c] { Act([c] { c->Cancel(); }); });
  window->onReject = [c] { Act([c] { c->Cancel(); }); };
  BringToFront(window);
}

CMyChatSubjectView::~CMyChatSubjectView() { Release(window_); }

std::string CMyChatSubjectView::Text() { return window_ ? ToMac(entry_->text()) : std::string(); }

// ---- Secret

CMySecretView::CMySecretView(CMySecretWin& controller) {
  auto* window = new CMyWindow;
  window_ = window;
  window->setWindowTitle(Mac(kSecretTitle));
  auto* layout = new QVBoxLayout(window);
  word_ = new QLineEdit(window);
  word_->setObjectName(QStringLiteral("word"));
  word_->setMaxLength(int(kSecretEntryMax));
  argument_ = new QLineEdit(window);
  argument_->setObjectName(QStringLiteral("argument"));
  argument_->setMaxLength(int(kSecretEntryMax));
  layout->addWidget(word_);
  layout->addWidget(argument_);
  auto* execute = new QPushButton(QStringLiteral("Execute"), window);
  execute->setDefault(true);
  layout->addWidget(ButtonRow({execute}, window));
  window->setMinimumWidth(240);

  CMySecretWin* c = &controller;
  connect(execute, &QPushButton::clicked, this, [c] { Act([c] { c->Execute(); }); });
  connect(argument_, &QLineEdit::returnPressed, this, [c] { Act([c] { c->Execute(); }); });
  window->onClose = [c] { Act([c] { c->Close(); }); };
  BringToFront(window);
}

CMySecretView::~CMySecretView() { Release(window_); }

std::string CMySecretView::Word() { return window_ ? ToMac(word_->text()) : std::string(); }

std::string CMySecretView::Argument() { return window_ ? ToMac(argument_->text()) : std::string(); }

void CMySecretView::Show() { BringToFront(window_); }

}  // namespace cv::client
