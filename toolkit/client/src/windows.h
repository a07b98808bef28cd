// The client's windows. The fixed ones (toolbar, tasks, news, chat, online users) are
// their own views and live as long as the program; the connect, agreement and post
// windows are their views too and go when their controller closes them. The chat's
// windows that come and go are views that own a window and dispose of it when the logic
// destroys them.
#pragma once

#include <QPointer>
#include <map>
#include <vector>

#include "client/views.h"
#include "toolkit/client/src/widgets.h"

class QComboBox;
class QLineEdit;
class QMenuBar;

namespace cv::client {

// ---- Toolbar "Corvane": one button per command, in the order of ToolbarButtons().
class CMyToolbarWin final : public CMyWindow, public IMyToolbarView {
 public:
  explicit CMyToolbarWin(const SMyLogic& logic);
  void SetLook(EMyToolbarLook look) override;
  QToolButton* Button(EMyCommand command) const;
  // Runs after each look change (the menus follow the buttons).
  std::function<void(EMyToolbarLook)> onLook;

 private:
  const SMyLogic& logic_;
  std::vector<std::pair<EMyCommand, QToolButton*>> buttons_;
};

// ---- "Tasks": a row per task (text and progress bar), stop and start-now buttons.
class CMyTasksWin final : public CMyWindow, public IMyTasksView {
 public:
  explicit CMyTasksWin(const SMyLogic& logic);
  void AddRow(Uint32 taskId, const SMyTaskRow& row) override;
  void UpdateRow(Uint32 taskId, const SMyTaskRow& row) override;
  void RemoveRow(Uint32 taskId) override;
  QListWidget* List() const { return list_; }

 private:
  Uint32 SelectedTask() const;
  void Fill(QListWidgetItem& item, Uint32 taskId, const SMyTaskRow& row);

  const SMyLogic& logic_;
  QListWidget* list_;
  std::map<Uint32, QListWidgetItem*> rows_;
};

// ---- "Post Message": the controller closes it.
class CMyPostDialog final : public CMyDialog, public IMyPostView {
 public:
  CMyPostDialog(CMyNewsClient& news, QWidget* parent);
  std::string Text() override;
  void Close() override;

 private:
  CMyPostWindow controller_;
  QPlainTextEdit* text_;
};

// ---- "News": the news text, read only.
class CMyNewsWin final : public CMyWindow, public IMyNewsView {
 public:
  explicit CMyNewsWin(const SMyLogic& logic);
  void SetText(std::string_view text) override;
  void InsertAtStart(std::string_view text) override;
  void ScrollToTop() override;
  void OpenPostWindow() override;
  QPlainTextEdit* Text() const { return text_; }
  QWidget* Post() const { return post_; }

 private:
  const SMyLogic& logic_;
  QPlainTextEdit* text_;
  QPointer<CMyPostDialog> post_;
};

// ---- "Chat": the public chat.
class CMyPublicChatWin final : public CMyWindow, public IMyPublicChatView {
 public:
  explicit CMyPublicChatWin(const SMyLogic& logic);
  void AppendText(std::string_view text) override { pane_->AppendText(text); }
  void ClearText() override { pane_->ClearText(); }
  bool IsTextEmpty() override { return pane_->IsTextEmpty(); }
  void ScrollToEnd() override { pane_->ScrollToEnd(); }
  bool IsMinimised() override { return pane_->IsMinimised(); }
  std::string EntryText() override { return pane_->EntryText(); }
  void ClearEntry() override { pane_->ClearEntry(); }
  void SetChatStyle(const SMyChatStyle& style) override { pane_->SetChatStyle(style); }

 private:
  const SMyLogic& logic_;
  CMyChatPane* pane_;
};

// ---- "Online Users": the list and its bar of buttons.
class CMyUserListWin final : public CMyWindow, public IMyUserListView {
 public:
  explicit CMyUserListWin(const SMyLogic& logic);
  void InsertUser(std::size_t index, const SUserEntry& entry) override { rows_->InsertUser(index, entry); }
  void ChangeUser(std::size_t index, const SUserEntry& entry) override { rows_->ChangeUser(index, entry); }
  void RemoveUser(std::size_t index) override { rows_->RemoveUser(index); }
  void ClearUsers() override { rows_->ClearUsers(); }
  void EnableButtons(bool privateChat, bool sendMessage, bool getInfo, bool disconnectUser) override;
  CMyUserRows* Rows() const { return rows_; }

 private:
  const SMyLogic& logic_;
  CMyUserRows* rows_;
  QToolButton* chatButton_;
  QToolButton* messageButton_;
  QToolButton* infoButton_;
  QToolButton* disconnectButton_;
};

// ---- "Connect": closed by its controller.
class CMyConnectDialog final : public CMyDialog, public IMyConnectView {
 public:
  explicit CMyConnectDialog(CMyApplication& app);
  void Fill(const SMyConnectForm& form, bool showBookmarks);
  SMyConnectForm Read() override;
  void Close() override;

 private:
  CMyConnectWindow controller_;
  QLineEdit* server_;
  QLineEdit* login_;
  QLineEdit* password_;
  QComboBox* bookmarks_;
};

// ---- "Agreement": closed by its controller; closing it disagrees.
class CMyAgreementDialog final : public CMyDialog, public IMyAgreementView {
 public:
  CMyAgreementDialog(CMyApplication& app, std::string_view text);
  void Close() override;

 private:
  CMyAgreementWindow controller_;
};

// ---- "About Corvane": the statistics and "OK".
class CMyAboutDialog final : public QDialog {
 public:
  CMyAboutDialog();
  void SetStatistics(std::string_view statistics);

 private:
  QLabel* statistics_;
};

// ---- The chat's windows that come and go (views owning their window).

class CMyChatWinView final : public QObject, public IMyChatWinView {
 public:
  explicit CMyChatWinView(CMyChatWin& controller, const std::vector<QAction*>& shortcuts);
  ~CMyChatWinView() override;
  void AppendText(std::string_view text) override { pane_->AppendText(text); }
  void ClearText() override { pane_->ClearText(); }
  bool IsTextEmpty() override { return pane_->IsTextEmpty(); }
  void ScrollToEnd() override { pane_->ScrollToEnd(); }
  bool IsMinimised() override { return pane_->IsMinimised(); }
  std::string EntryText() override { return pane_->EntryText(); }
  void ClearEntry() override { pane_->ClearEntry(); }
  void SetChatStyle(const SMyChatStyle& style) override { pane_->SetChatStyle(style); }
  void InsertUser(std::size_t index, const SUserEntry& entry) override { rows_->InsertUser(index, entry); }
  void ChangeUser(std::size_t index, const SUserEntry& entry) override { rows_->ChangeUser(index, entry); }
  void RemoveUser(std::size_t index) override { rows_->RemoveUser(index); }
  void ClearUsers() override { rows_->ClearUsers(); }
  void SetTitle(std::string_view title) override;
  void SetSubject(std::string_view subject) override;
  void Show() override;

 private:
  QPointer<CMyWindow> window_;
  CMyChatPane* pane_;
  CMyUserRows* rows_;
  QPushButton* subject_;
};

class CMyPrivMsgView final : public QObject, public IMyPrivMsgView {
 public:
  CMyPrivMsgView(CMyPrivMsgWin& controller, std::string_view senderName, std::string_view text, bool atBack);
  ~CMyPrivMsgView() override;

 private:
  QPointer<CMyWindow> window_;
};

class CMySendPrivMsgView final : public QObject, public IMySendPrivMsgView {
 public:
  CMySendPrivMsgView(CMySendPrivMsgWin& controller, std::string_view recipientName);
  ~CMySendPrivMsgView() override;
  std::string Text() override;

 private:
  QPointer<CMyDialog> window_;
  CMyEntry* entry_;
};

class CMyChatInviteView final : public QObject, public IMyChatInviteView {
 public:
  CMyChatInviteView(CMyChatInviteWin& controller, std::string_view inviterName);
  ~CMyChatInviteView() override;

 private:
  QPointer<CMyDialog> window_;
};

class CMyChatSubjectView final : public QObject, public IMyChatSubjectView {
 public:
  CMyChatSubjectView(CMyChatSubjectWin& controller, std::string_view subject);
  ~CMyChatSubjectView() override;
  std::string Text() override;

 private:
  QPointer<CMyDialog> window_;
  QLineEdit* entry_;
};

class CMySecretView final : public QObject, public IMySecretView {
 public:
  explicit CMySecretView(CMySecretWin& controller);
  ~CMySecretView() override;
  std::string Word() override;
  std::string Argument() override;
  void Show() override;

 private:
  QPointer<CMyWindow> window_;
  QLineEdit* word_;
  QLineEdit* argument_;
};

// A row of buttons at the right of a window's bottom edge, the first the default.
QWidget* ButtonRow(const std::vector<QPushButton*>& buttons, QWidget* parent);

}  // namespace cv::client
