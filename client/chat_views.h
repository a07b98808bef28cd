// The chat side's windows without the windows: what each shows and what its user can
// do. The front end implements the view interfaces; the logic (client/chat.h) owns the
// windows that come and go through IMyChatViews and talks to their views only here.
// Texts are Mac OS Roman; the front end converts them for display.
//
// Windows that come and go: the factory returns the view; destroying the view closes
// the window. The logic may destroy a view from inside a call that the view made (a
// button), so a view must not touch itself after calling its controller, and a front
// end that cannot delete a window inside its own event should defer the deletion.
//
// Controllers (CMyChatWin, CMyPrivMsgWin, ...) are what the buttons call; the factory
// gets the controller so that the view can keep a reference to it. A controller
// outlives its view.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "client/chat_text.h"
#include "client/prefs.h"
#include "framework/types.h"

namespace cv::client {

class CMyChatClient;
class CMyChatWin;
class CMyPrivMsgWin;
class CMySendPrivMsgWin;
class CMyChatInviteWin;
class CMyChatSubjectWin;
class CMySecretWin;

// ---- Fixed texts of the windows

inline constexpr std::string_view kUserListTitle = "Online Users";
inline constexpr std::string_view kPublicChatTitle = "Chat";
inline constexpr std::string_view kSendMessageTitle = "Send Message";
inline constexpr std::string_view kSendMessagePrompt = "Type a message and hit the Enter key to send it privately to:";
inline constexpr std::string_view kChatInviteTitle = "Chat Invitation";
inline constexpr std::string_view kChatInvitePrompt = "You are invited to chat with:";
inline constexpr std::string_view kChatSubjectTitle = "Chat Subject";
inline constexpr std::string_view kChatSubjectPrompt = "Enter a subject for this chat:";
inline constexpr std::string_view kSubjectLabel = "Subject:";
inline constexpr std::string_view kSecretTitle = "Secret";
// Public and private chat windows are never smaller than this.
inline constexpr Int16 kChatMinWidth = 300;
inline constexpr Int16 kChatMinHeight = 130;
// Where a list row's name starts; the icon is drawn at the left.
inline constexpr Int16 kUserRowNameIndent = 36;

// Icons of the online users window's buttons.
enum : Int16 {
  kIconPrivateChat = 415,
  kIconSendMessage = 206,
  kIconGetUserInfo = 215,
  kIconDisconnectUser = 412,
};

// The chat text views' look (from the preferences).
struct SMyChatStyle {
  Uint16 fontSize = 12;
  SMyColour text{0, 0, 0};
  SMyColour back{0xFFFF, 0xFFFF, 0xFFFF};
  bool operator==(const SMyChatStyle&) const = default;
};

// ---- Pieces shared by several windows

// A list of users in list order (online users, the members of a private chat). A row
// shows entry.icon at the left and entry.name from kUserRowNameIndent in the colour
// NameColour(entry.flags) gives.
class IMyUserRowsView {
 public:
  virtual ~IMyUserRowsView() = default;
  virtual void InsertUser(std::size_t index, const SUserEntry& entry) = 0;
  virtual void ChangeUser(std::size_t index, const SUserEntry& entry) = 0;
  virtual void RemoveUser(std::size_t index) = 0;
  virtual void ClearUsers() = 0;
};

// A chat text view with its entry below. The entry's send key calls the owner's send
// with action false, the alternate send key with action true.
class IMyChatTextView {
 public:
  virtual ~IMyChatTextView() = default;
  virtual void AppendText(std::string_view text) = 0;
  virtual void ClearText() = 0;
  virtual bool IsTextEmpty() = 0;
  // Scrolls the end of the text into view.
  virtual void ScrollToEnd() = 0;
  virtual bool IsMinimised() = 0;
  virtual std::string EntryText() = 0;
  virtual void ClearEntry() = 0;
  virtual void SetChatStyle(const SMyChatStyle& style) = 0;
};

// ---- Fixed windows (made by the front end with the application's other windows)

// "Online Users": the list and a bar of icon buttons above it, each acting on the
// selected user: kIconPrivateChat -> CMyChatClient::PrivateChatWith, kIconSendMessage
// (and a double-click on a row) -> CMyChatClient::SendMessageTo, kIconGetUserInfo and
// kIconDisconnectUser belong to account administration and stay disabled for now.
// Dragging a row onto a private chat window calls CMyChatWin::DropUser.
class IMyUserListView : public IMyUserRowsView {
 public:
  virtual void EnableButtons(bool privateChat, bool sendMessage, bool getInfo, bool disconnectUser) = 0;
};

// "Chat" (the application retitles it while connected): send key ->
// CMyChatClient::SendPublic(false), alternate send key -> SendPublic(true).
class IMyPublicChatView : public IMyChatTextView {};

// ---- Windows that come and go

// A private chat ("Private Chat" or "Private Chat:  subject"): text, entry, its own
// user list and the subject view ("Subject:" and the subject; a click calls
// CMyChatWin::OpenSubject). Send keys -> CMyChatWin::Send; closing -> CMyChatWin::Close.
class IMyChatWinView : public IMyChatTextView, public IMyUserRowsView {
 public:
  virtual void SetTitle(std::string_view title) = 0;
  virtual void SetSubject(std::string_view subject) = 0;
  // Shows the window, or brings it to the front.
  virtual void Show() = 0;
};

// A received private message: titled with the sender's name, the text, "OK" ->
// CMyPrivMsgWin::Ok, "Reply..." -> CMyPrivMsgWin::Reply; closing is "OK".
class IMyPrivMsgView {
 public:
  virtual ~IMyPrivMsgView() = default;
};

// "Send Message": kSendMessagePrompt, the recipient's name, a text entry; "Send" (and
// the Enter key) -> CMySendPrivMsgWin::Send, "Cancel" and closing -> Cancel.
class IMySendPrivMsgView {
 public:
  virtual ~IMySendPrivMsgView() = default;
  virtual std::string Text() = 0;
};

// "Chat Invitation": kChatInvitePrompt and the inviter's name; "Chat" ->
// CMyChatInviteWin::Chat, "Decline" and closing -> Decline.
class IMyChatInviteView {
 public:
  virtual ~IMyChatInviteView() = default;
};

// "Chat Subject": kChatSubjectPrompt and an entry of up to 255 characters filled with
// the current subject; "Set" -> CMyChatSubjectWin::Set, "Cancel" and closing -> Cancel.
class IMyChatSubjectView {
 public:
  virtual ~IMyChatSubjectView() = default;
  virtual std::string Text() = 0;
};

// "Secret": two entries of up to 31 characters (a command word and its argument) and
// "Execute" -> CMySecretWin::Execute; closing -> CMySecretWin::Close.
class IMySecretView {
 public:
  virtual ~IMySecretView() = default;
  virtual std::string Word() = 0;
  virtual std::string Argument() = 0;
  virtual void Show() = 0;
};

// What the front end gives the chat: its two fixed windows and a maker for the others.
// Made windows are shown at once, except the private chat window, which is shown by
// IMyChatWinView::Show once it is filled.
class IMyChatViews {
 public:
  virtual ~IMyChatViews() = default;
  virtual IMyUserListView& UserList() = 0;
  virtual IMyPublicChatView& PublicChat() = 0;

  virtual std::unique_ptr<IMyChatWinView> NewChatWin(CMyChatWin& controller) = 0;
  // In front of the other windows, or behind them when atBack.
  virtual std::unique_ptr<IMyPrivMsgView> NewPrivMsgWin(CMyPrivMsgWin& controller, std::string_view senderName,
                                                        std::string_view text, bool atBack) = 0;
  virtual std::unique_ptr<IMySendPrivMsgView> NewSendPrivMsgWin(CMySendPrivMsgWin& controller,
                                                                std::string_view recipientName) = 0;
  virtual std::unique_ptr<IMyChatInviteView> NewChatInviteWin(CMyChatInviteWin& controller,
                                                              std::string_view inviterName) = 0;
  virtual std::unique_ptr<IMyChatSubjectView> NewChatSubjectWin(CMyChatSubjectWin& controller,
                                                                std::string_view subject) = 0;
  virtual std::unique_ptr<IMySecretView> NewSecretWin(CMySecretWin& controller) = 0;
};

}  // namespace cv::client
