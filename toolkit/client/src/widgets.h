// Pieces the client's windows share: top-level windows whose closing the logic decides,
// the chat text with its entry, user lists drawn with their icons and name colours, and
// the logic they call.
#pragma once

#include <QDialog>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QWidget>
#include <functional>
#include <string>
#include <string_view>

#include "client/application.h"
#include "client/chat.h"
#include "client/chat_views.h"
#include "client/news.h"
#include "toolkit/qttext.h"

class QAction;
class QLabel;
class QPushButton;
class QToolButton;

namespace cv::client {

// The logic the windows call; empty before CMyClientWindows::Attach and after Detach.
struct SMyLogic {
  CMyApplication* app = nullptr;
  CMyChatClient* chat = nullptr;
  CMyNewsClient* news = nullptr;
};

// A user's action on the logic: an error it raises is reported by the loop.
void Act(const std::function<void()>& action);

inline QString Mac(std::string_view text) { return UQtText::FromMac(text); }
inline std::string ToMac(const QString& text) { return UQtText::ToMac(text); }

// Hides a window and deletes it once Qt is back in its loop: the call that closes it
// may come from the window's own button or close box.
void DisposeWindow(QWidget* window);

// Shows a window and makes it the active one (or puts it behind the others).
void BringToFront(QWidget* window);
void PutBehind(QWidget* window);

// A top-level window. Closing it runs onClose when there is one (the logic then decides
// whether it goes); without one it only hides, as the fixed windows do.
class CMyWindow : public QWidget {
 public:
  explicit CMyWindow(QWidget* parent = nullptr);
  std::function<void()> onClose;
  // Runs after a close that only hid the window.
  std::function<void()> onHidden;

 protected:
  void closeEvent(QCloseEvent* event) override;
};

// A dialog whose Escape key and close box run onReject (its "Cancel").
class CMyDialog : public QDialog {
 public:
  explicit CMyDialog(QWidget* parent = nullptr);
  std::function<void()> onReject;
  void reject() override;
};

// A text entry where Enter runs onSend(false) and Ctrl+Enter onSend(true); Shift+Enter
// starts a new line. Without onSend, Enter is an ordinary line break.
class CMyEntry : public QPlainTextEdit {
 public:
  explicit CMyEntry(QWidget* parent = nullptr);
  std::function<void(bool action)> onSend;
  QSize sizeHint() const override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

// The chat text (read only) above its entry, with the operations IMyChatTextView asks.
class CMyChatPane : public QWidget {
 public:
  explicit CMyChatPane(QWidget* parent = nullptr);
  QPlainTextEdit* Text() const { return text_; }
  CMyEntry* Entry() const { return entry_; }

  void AppendText(std::string_view text);
  void ClearText();
  bool IsTextEmpty() const;
  void ScrollToEnd();
  bool IsMinimised() const;
  std::string EntryText() const;
  void ClearEntry();
  void SetChatStyle(const SMyChatStyle& style);

 private:
  QPlainTextEdit* text_;
  CMyEntry* entry_;
};

// A list row drawn by hand: the style draws its background (selection, hover) first.
class CMyRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  // The row's style option (font, palette, state) after its background was drawn.
  QStyleOptionViewItem PaintBackground(QPainter* painter, const QStyleOptionViewItem& option,
                                       const QModelIndex& index) const;
  QStyle* StyleOf(const QStyleOptionViewItem& option) const;
};

// A list of users: each row the user's icon at the left and the name from
// kUserRowNameIndent in its colour. Rows can be dragged onto a private chat window.
class CMyUserRows : public QListWidget {
 public:
  static constexpr const char* kMimeType = "application/x-corvane-user-id";

  explicit CMyUserRows(QWidget* parent = nullptr);
  void InsertUser(std::size_t index, const SUserEntry& entry);
  void ChangeUser(std::size_t index, const SUserEntry& entry);
  void RemoveUser(std::size_t index);
  void ClearUsers();
  // The selected user's id, 0 for none.
  Uint16 SelectedUser() const;

 protected:
  QMimeData* mimeData(const QList<QListWidgetItem*>& items) const override;
  QStringList mimeTypes() const override;

 private:
  void Fill(QListWidgetItem& item, const SUserEntry& entry);
};

// The user id carried by a drag from a user list, 0 for anything else.
Uint16 DraggedUser(const QMimeData* mime);

// The icon of a resource id; the default user icon when the file lacks it.
QIcon UserIcon(Uint16 iconId);
QIcon CommandIcon(Int16 iconId);

// A small square button with a resource icon and a tip. The icon's id is kept in the
// button's property kIconProperty, and RefreshIcons loads it once the resource file is
// open.
inline constexpr const char* kIconProperty = "corvaneIcon";
QToolButton* IconButton(Int16 iconId, const QString& tip, QWidget* parent);
void RefreshIcons(QWidget* root);
// A label that wraps its text and can be selected with the mouse.
QLabel* WrappedLabel(const QString& text, QWidget* parent);

}  // namespace cv::client
