// The fixed windows: toolbar, tasks, news, public chat and online users.
#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionProgressBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "toolkit/client/client_windows.h"
#include "toolkit/client/src/windows.h"

namespace cv::client {

namespace {

// The toolbar's buttons in two rows, so that it fits beside the other windows.
constexpr int kToolbarColumns = 7;

// Tasks window rows: the text, and a progress bar below it.
constexpr int kBarHeight = 10;
constexpr int kBarSteps = 1000;

class CMyTaskRowDelegate : public CMyRowDelegate {
 public:
  using CMyRowDelegate::CMyRowDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QStyleOptionViewItem opt = PaintBackground(painter, option, index);
    const QWidget* widget = opt.widget;

    const QRect r = option.rect.adjusted(4, 3, -4, -3);
    const int lineHeight = opt.fontMetrics.height();
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    const QString text = opt.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, r.width());
    painter->drawText(QRect(r.left(), r.top(), r.width(), lineHeight), Qt::AlignLeft | Qt::AlignVCenter, text);
    painter->restore();

    const quint64 value = index.data(taskRoleValue).toULongLong();
    const quint64 maximum = index.data(taskRoleMaximum).toULongLong();
    QStyleOptionProgressBar bar;
    bar.initFrom(widget);
    bar.rect = QRect(r.left(), r.top() + lineHeight + 3, r.width(), kBarHeight);
    bar.minimum = 0;
    bar.maximum = kBarSteps;
    bar.progress = maximum == 0 ? 0 : int(std::min<quint64>(value, maximum) * kBarSteps / maximum);
    bar.textVisible = false;
    bar.state |= QStyle::State_Horizontal;
    StyleOf(opt)->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(option.fontMetrics.height() + kBarHeight + 12);
    return s;
  }
};

QVBoxLayout* WindowLayout(QWidget* window) {
  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);
  return layout;
}

QHBoxLayout* ButtonBar(QVBoxLayout* into) {
  auto* bar = new QHBoxLayout;
  bar->setSpacing(2);
  into->addLayout(bar);
  return bar;
}

}  // namespace

// ---- Toolbar

CMyToolbarWin::CMyToolbarWin(const SMyLogic& logic) : logic_(logic) {
  setWindowTitle(QStringLiteral("Corvane"));
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(2);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  int at = 0;
  for (const SMyToolbarButton& b : ToolbarButtons()) {
    auto* button = new QToolButton(this);
    button->setProperty(kIconProperty, int(b.icon));
    button->setText(Mac(b.label));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setIconSize(QSize(32, 32));
    button->setAutoRaise(true);
    button->setMinimumWidth(64);
    const EMyCommand command = b.command;
    connect(button, &QToolButton::clicked, this, [this, command] {
      if (CMyApplication* app = logic_.app) Act([app, command] { app->Command(command); });
    });
    layout->addWidget(button, at / kToolbarColumns, at % kToolbarColumns);
    ++at;
    buttons_.emplace_back(command, button);
  }
  SetLook(EMyToolbarLook::Disconnected);
}

void CMyToolbarWin::SetLook(EMyToolbarLook look) {
  for (auto& [command, button] : buttons_) button->setEnabled(IsCommandEnabled(look, command));
  if (onLook) onLook(look);
}

QToolButton* CMyToolbarWin::Button(EMyCommand command) const {
  for (const auto& [c, button] : buttons_)
    if (c == command) return button;
  return nullptr;
}

// ---- Tasks

CMyTasksWin::CMyTasksWin(const SMyLogic& logic) : logic_(logic) {
  setWindowTitle(QStringLiteral("Tasks"));
  setMinimumSize(150, 69);
  QVBoxLayout* layout = WindowLayout(this);
  QHBoxLayout* bar = ButtonBar(layout);
  QToolButton* stop = IconButton(412, QStringLiteral("Stop"), this);
  stop->setObjectName(widgetNames::kStopButton);
  QToolButton* startNow = IconButton(216, QStringLiteral("Start Now"), this);
  startNow->setObjectName(widgetNames::kStartNowButton);
  bar->addWidget(stop);
  bar->addWidget(startNow);
  bar->addStretch(1);
  list_ = new QListWidget(this);
  list_->setObjectName(widgetNames::kTaskList);
  list_->setItemDelegate(new CMyTaskRowDelegate(list_));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setUniformItemSizes(true);
  layout->addWidget(list_, 1);

  connect(stop, &QToolButton::clicked, this, [this] {
    const Uint32 id = SelectedTask();
    if (CMyApplication* app = logic_.app; app && id) Act([app, id] { app->StopTask(id); });
  });
  connect(startNow, &QToolButton::clicked, this, [this] {
    const Uint32 id = SelectedTask();
    if (CMyApplication* app = logic_.app; app && id) Act([app, id] { app->StartTaskNow(id); });
  });
}

Uint32 CMyTasksWin::SelectedTask() const {
  const QList<QListWidgetItem*> items = list_->selectedItems();
  return items.isEmpty() ? 0 : Uint32(items.front()->data(taskRoleId).toUInt());
}

void CMyTasksWin::Fill(QListWidgetItem& item, Uint32 taskId, const SMyTaskRow& row) {
  item.setData(Qt::DisplayRole, Mac(row.text));
  item.setData(taskRoleId, uint(taskId));
  item.setData(taskRoleValue, qulonglong(row.value));
  item.setData(taskRoleMaximum, qulonglong(row.maximum));
}

void CMyTasksWin::AddRow(Uint32 taskId, const SMyTaskRow& row) {
  if (rows_.count(taskId)) return UpdateRow(taskId, row);
  auto* item = new QListWidgetItem(list_);
  Fill(*item, taskId, row);
  rows_[taskId] = item;
}

void CMyTasksWin::UpdateRow(Uint32 taskId, const SMyTaskRow& row) {
  auto it = rows_.find(taskId);
  if (it == rows_.end()) return;
  Fill(*it->second, taskId, row);
}

void CMyTasksWin::RemoveRow(Uint32 taskId) {
  auto it = rows_.find(taskId);
  if (it == rows_.end()) return;
  delete it->second;
  rows_.erase(it);
}

// ---- News

CMyPostDialog::CMyPostDialog(CMyNewsClient& news, QWidget* parent) : CMyDialog(parent), controller_(news, *this) {
  setWindowTitle(QStringLiteral("Post Message"));
  setWindowModality(Qt::ApplicationModal);
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(Mac(kPostPrompt), this));
  text_ = new QPlainTextEdit(this);
  text_->setObjectName(widgetNames::kPostText);
  text_->setTabChangesFocus(true);
  layout->addWidget(text_, 1);
  auto* send = new QPushButton(QStringLiteral("Send"), this);
  send->setObjectName(widgetNames::kSendButton);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  layout->addWidget(ButtonRow({send, cancel}, this));
  connect(send, &QPushButton::clicked, this, [this] { Act([this] { controller_.Send(); }); });
  onReject = [this] { Act([this] { controller_.Cancel(); }); };
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  resize(420, 260);
}

std::string CMyPostDialog::Text() { return ToMac(text_->toPlainText()); }

void CMyPostDialog::Close() {
  onReject = nullptr;
  DisposeWindow(this);
}

CMyNewsWin::CMyNewsWin(const SMyLogic& logic) : logic_(logic) {
  setWindowTitle(QStringLiteral("News"));
  setMinimumSize(300, 100);
  QVBoxLayout* layout = WindowLayout(this);
  text_ = new QPlainTextEdit(this);
  text_->setObjectName(widgetNames::kNewsText);
  text_->setReadOnly(true);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  layout->addWidget(text_, 1);
}

void CMyNewsWin::SetText(std::string_view text) { text_->setPlainText(Mac(text)); }

void CMyNewsWin::InsertAtStart(std::string_view text) {
  QTextCursor cursor(text_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.insertText(Mac(text));
}

void CMyNewsWin::ScrollToTop() { text_->verticalScrollBar()->setValue(0); }

void CMyNewsWin::OpenPostWindow() {
  if (post_) {
    BringToFront(post_);
    return;
  }
  if (!logic_.news) return;
  post_ = new CMyPostDialog(*logic_.news, nullptr);
  BringToFront(post_);
}

// ---- Public chat

CMyPublicChatWin::CMyPublicChatWin(const SMyLogic& logic) : logic_(logic) {
  setWindowTitle(QStringLiteral("Chat"));
  setMinimumSize(kChatMinWidth, kChatMinHeight);
  QVBoxLayout* layout = WindowLayout(this);
  pane_ = new CMyChatPane(this);
  layout->addWidget(pane_, 1);
  setFocusProxy(pane_);
  pane_->Entry()->onSend = [this](bool action) {
    if (CMyChatClient* chat = logic_.chat) Act([chat, action] { chat->SendPublic(action); });
  };
}

// ---- Online users

CMyUserListWin::CMyUserListWin(const SMyLogic& logic) : logic_(logic) {
  setWindowTitle(Mac(kUserListTitle));
  setMinimumSize(150, 100);
  QVBoxLayout* layout = WindowLayout(this);
  QHBoxLayout* bar = ButtonBar(layout);
  chatButton_ = IconButton(kIconPrivateChat, QStringLiteral("Private Chat"), this);
  messageButton_ = IconButton(kIconSendMessage, QStringLiteral("Send Private Message"), this);
  infoButton_ = IconButton(kIconGetUserInfo, QStringLiteral("Get User Info"), this);
  disconnectButton_ = IconButton(kIconDisconnectUser, QStringLiteral("Disconnect User"), this);
  for (QToolButton* b : {chatButton_, messageButton_, infoButton_, disconnectButton_}) bar->addWidget(b);
  bar->addStretch(1);
  rows_ = new CMyUserRows(this);
  layout->addWidget(rows_, 1);

  connect(chatButton_, &QToolButton::clicked, this, [this] {
    const Uint16 id = rows_->SelectedUser();
    if (CMyChatClient* chat = logic_.chat; chat && id) Act([chat, id] { chat->PrivateChatWith(id); });
  });
  connect(messageButton_, &QToolButton::clicked, this, [this] {
    const Uint16 id = rows_->SelectedUser();
    if (CMyChatClient* chat = logic_.chat; chat && id) Act([chat, id] { chat->SendMessageTo(id); });
  });
  connect(rows_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    const Uint16 id = Uint16(item->data(userRoleId).toUInt());
    if (CMyChatClient* chat = logic_.chat; chat && id) Act([chat, id] { chat->SendMessageTo(id); });
  });
  EnableButtons(false, false, false, false);
}

void CMyUserListWin::EnableButtons(bool privateChat, bool sendMessage, bool getInfo, bool disconnectUser) {
  chatButton_->setEnabled(privateChat);
  messageButton_->setEnabled(sendMessage);
  infoButton_->setEnabled(getInfo);
  disconnectButton_->setEnabled(disconnectUser);
}

}  // namespace cv::client
