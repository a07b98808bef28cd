// Windows, the chat pane and user lists shared by the client's windows.
#include "toolkit/client/src/widgets.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QToolButton>
#include <QVBoxLayout>

#include "client/chat_text.h"
#include "toolkit/client/client_windows.h"
#include "toolkit/media.h"
#include "toolkit/qtloop.h"

namespace cv::client {

namespace {

// Lines kept in a chat text: a long session must not grow without end.
constexpr int kChatLinesKept = 20000;
constexpr int kUserIconSize = 32;

QColor ColourOf(const SMyColour& c) { return QColor::fromRgba64(c.red, c.green, c.blue); }

// A user row: the icon at the left, the name from kUserRowNameIndent in its colour.
class CMyUserRowDelegate : public CMyRowDelegate {
 public:
  using CMyRowDelegate::CMyRowDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QStyleOptionViewItem opt = PaintBackground(painter, option, index);
    const QRect r = option.rect;
    const QIcon icon = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
    const int side = std::min(kUserIconSize, r.height() - 2);
    if (!icon.isNull()) icon.paint(painter, QRect(r.left() + 2, r.top() + (r.height() - side) / 2, side, side));

    const Uint16 flags = Uint16(index.data(userRoleFlags).toUInt());
    const bool selected = option.state & QStyle::State_Selected;
    const bool active = option.state & QStyle::State_Active;
    const SNameColour nc = NameColour(flags);
    QColor colour;
    switch (nc.kind) {
      case SNameColour::Rgb:
        colour = ColourOf(nc.rgb);
        break;
      case SNameColour::Dimmed:
        colour = option.palette.color(QPalette::Disabled, QPalette::Text);
        break;
      case SNameColour::Text:
        colour = option.palette.color(selected && active ? QPalette::HighlightedText : QPalette::Text);
        break;
    }
    painter->save();
    painter->setPen(colour);
    painter->setFont(opt.font);
    const QRect textRect = r.adjusted(kUserRowNameIndent, 0, -2, 0);
    const QString name =
        opt.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
    painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, name);
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(std::max(kUserIconSize + 2, option.fontMetrics.height() + 4));
    return s;
  }
};

}  // namespace

QStyleOptionViewItem CMyRowDelegate::PaintBackground(QPainter* painter, const QStyleOptionViewItem& option,
                                                     const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  QStyleOptionViewItem background = opt;
  background.text.clear();
  background.icon = QIcon();
  StyleOf(opt)->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, opt.widget);
  return opt;
}

QStyle* CMyRowDelegate::StyleOf(const QStyleOptionViewItem& option) const {
  return option.widget ? option.widget->style() : QApplication::style();
}

void Act(const std::function<void()>& action) { UQtLoop::Act(action); }

void DisposeWindow(QWidget* window) {
  if (!window) return;
  window->hide();
  window->deleteLater();
}

void BringToFront(QWidget* window) {
  if (!window) return;
  if (window->isMinimized()) window->showNormal();
  window->show();
  window->raise();
  window->activateWindow();
}

void PutBehind(QWidget* window) {
  if (!window) return;
  window->setAttribute(Qt::WA_ShowWithoutActivating);
  window->show();
  window->lower();
}

// ---- CMyWindow, CMyDialog

CMyWindow::CMyWindow(QWidget* parent) : QWidget(parent, Qt::Window) {}

void CMyWindow::closeEvent(QCloseEvent* event) {
  if (onClose) {
    // The logic decides; it may dispose of this window meanwhile.
    event->ignore();
    const std::function<void()> close = onClose;
    close();
    return;
  }
  QWidget::closeEvent(event);
  if (onHidden) {
    const std::function<void()> hidden = onHidden;
    hidden();
  }
}

CMyDialog::CMyDialog(QWidget* parent) : QDialog(parent) {}

void CMyDialog::reject() {
  if (!onReject) {
    QDialog::reject();
    return;
  }
  const std::function<void()> reject = onReject;
  reject();
}

// ---- CMyEntry

CMyEntry::CMyEntry(QWidget* parent) : QPlainTextEdit(parent) {
  setTabChangesFocus(true);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

QSize CMyEntry::sizeHint() const {
  QSize s = QPlainTextEdit::sizeHint();
  s.setHeight(fontMetrics().lineSpacing() * 3 + 2 * frameWidth() + 8);
  return s;
}

void CMyEntry::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && onSend && !(event->modifiers() & Qt::ShiftModifier)) {
    event->accept();
    const bool action = event->modifiers() & Qt::ControlModifier;
    // A copy: sending may close the window that holds this entry.
    const std::function<void(bool)> send = onSend;
    send(action);
    return;
  }
  if (enter && (event->modifiers() & Qt::ShiftModifier)) {
    insertPlainText(QStringLiteral("\n"));
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

// ---- CMyChatPane

CMyChatPane::CMyChatPane(QWidget* parent) : QWidget(parent) {
  auto* split = new QSplitter(Qt::Vertical, this);
  text_ = new QPlainTextEdit(split);
  text_->setObjectName(widgetNames::kChatText);
  text_->setReadOnly(true);
  text_->setMaximumBlockCount(kChatLinesKept);
  // The server pads names to one width: in a fixed-pitch font the lines align.
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  entry_ = new CMyEntry(split);
  entry_->setObjectName(widgetNames::kChatEntry);
  split->addWidget(text_);
  split->addWidget(entry_);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 0);
  split->setChildrenCollapsible(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(split);
  setFocusProxy(entry_);
}

void CMyChatPane::AppendText(std::string_view text) {
  QTextCursor cursor(text_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(Mac(text));
}

void CMyChatPane::ClearText() { text_->clear(); }

bool CMyChatPane::IsTextEmpty() const { return text_->document()->isEmpty(); }

void CMyChatPane::ScrollToEnd() {
  QScrollBar* bar = text_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

bool CMyChatPane::IsMinimised() const { return window()->isMinimized(); }

std::string CMyChatPane::EntryText() const { return ToMac(entry_->toPlainText()); }

void CMyChatPane::ClearEntry() { entry_->clear(); }

void CMyChatPane::SetChatStyle(const SMyChatStyle& style) {
  for (QPlainTextEdit* edit : {text_, static_cast<QPlainTextEdit*>(entry_)}) {
    QFont font = edit->font();
    font.setPointSize(std::max<int>(1, style.fontSize));
    edit->setFont(font);
  }
  QPalette palette = text_->palette();
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(g, QPalette::Text, ColourOf(style.text));
    palette.setColor(g, QPalette::Base, ColourOf(style.back));
  }
  text_->setPalette(palette);
}

// ---- CMyUserRows

CMyUserRows::CMyUserRows(QWidget* parent) : QListWidget(parent) {
  setObjectName(widgetNames::kUserList);
  setItemDelegate(new CMyUserRowDelegate(this));
  setIconSize(QSize(kUserIconSize, kUserIconSize));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setDragEnabled(true);
  setDragDropMode(QAbstractItemView::DragOnly);
  setUniformItemSizes(true);
}

void CMyUserRows::Fill(QListWidgetItem& item, const SUserEntry& entry) {
  item.setData(Qt::DisplayRole, Mac(entry.name));
  item.setData(userRoleId, uint(entry.id));
  item.setData(userRoleIcon, uint(entry.icon));
  item.setData(userRoleFlags, uint(entry.flags));
  item.setData(Qt::DecorationRole, UserIcon(entry.icon));
}

void CMyUserRows::InsertUser(std::size_t index, const SUserEntry& entry) {
  auto* item = new QListWidgetItem;
  Fill(*item, entry);
  insertItem(int(std::min<std::size_t>(index, std::size_t(count()))), item);
}

void CMyUserRows::ChangeUser(std::size_t index, const SUserEntry& entry) {
  if (QListWidgetItem* it = item(int(index))) Fill(*it, entry);
}

void CMyUserRows::RemoveUser(std::size_t index) { delete takeItem(int(index)); }

void CMyUserRows::ClearUsers() { clear(); }

Uint16 CMyUserRows::SelectedUser() const {
  const QList<QListWidgetItem*> items = selectedItems();
  return items.isEmpty() ? 0 : Uint16(items.front()->data(userRoleId).toUInt());
}

QStringList CMyUserRows::mimeTypes() const { return {QString::fromLatin1(kMimeType)}; }

QMimeData* CMyUserRows::mimeData(const QList<QListWidgetItem*>& items) const {
  if (items.isEmpty()) return nullptr;
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kMimeType), QByteArray::number(items.front()->data(userRoleId).toUInt()));
  return mime;
}

Uint16 DraggedUser(const QMimeData* mime) {
  if (!mime || !mime->hasFormat(QString::fromLatin1(CMyUserRows::kMimeType))) return 0;
  bool ok = false;
  const uint id = mime->data(QString::fromLatin1(CMyUserRows::kMimeType)).toUInt(&ok);
  return ok && id <= 0xFFFF ? Uint16(id) : 0;
}

// ---- Icons and labels

QIcon UserIcon(Uint16 iconId) {
  QIcon icon = UImage::Icon(iconId ? iconId : kDefaultIconId);
  if (icon.isNull()) icon = UImage::Icon(kDefaultIconId);
  return icon;
}

QIcon CommandIcon(Int16 iconId) { return UImage::Icon(Uint32(Uint16(iconId))); }

QToolButton* IconButton(Int16 iconId, const QString& tip, QWidget* parent) {
  auto* b = new QToolButton(parent);
  // The icon comes with RefreshIcons, once the resource file is open: asked for before,
  // it would be remembered as missing.
  b->setProperty(kIconProperty, int(iconId));
  b->setIconSize(QSize(24, 24));
  b->setToolTip(tip);
  b->setAutoRaise(true);
  return b;
}

void RefreshIcons(QWidget* root) {
  if (!root) return;
  for (QAbstractButton* b : root->findChildren<QAbstractButton*>()) {
    const QVariant id = b->property(kIconProperty);
    if (id.isValid()) b->setIcon(CommandIcon(Int16(id.toInt())));
  }
}

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setWordWrap(true);
  l->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return l;
}

}  // namespace cv::client
