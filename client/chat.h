// The client's social side: the online users list, the public chat, private messages,
// private chat rooms with invitations and subjects, and the hidden command window. The
// server formats every chat line; the client shows what it receives, adding only its
// own notes about names, joins and leaves.
//
// CMyChatClient is made by the front end after the application; it registers its
// incoming handlers, its command and a connection listener, and owns the windows that
// come and go (each a controller below with the view the factory made for it).
#pragma once

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/application.h"
#include "client/chat_text.h"
#include "client/chat_views.h"
#include "client/task.h"

namespace cv::client {

inline constexpr Int16 kAlertChatTooLong = 132;
// A server that floods the client with windows finds these full; the surplus is dropped.
inline constexpr std::size_t kMaxPrivateChats = 256;
inline constexpr std::size_t kMaxInvitations = 64;
inline constexpr std::size_t kMaxPrivateMessages = 256;
// The silly-mode identity.
inline constexpr Uint16 kSillyIcon = 154;
inline constexpr std::string_view kSillyName = "Bacon";

class CMyChatClient;

// Appends a line to a chat text view (a leading return goes when the view is empty) and
// scrolls to it unless the window is minimised; false when nothing was left to append.
bool AppendChatLine(IMyChatTextView& view, std::string_view line);

// ---- Private chat window
class CMyChatWin {
 public:
  CMyChatWin(CMyChatClient& chat, Uint32 chatId);
  ~CMyChatWin();
  CMyChatWin(const CMyChatWin&) = delete;
  CMyChatWin& operator=(const CMyChatWin&) = delete;

  // The entry's send keys: the typed line to this room.
  void Send(bool action);
  // Closing the window leaves the room.
  void Close();
  // The subject view: opens the subject window (or brings it forward).
  void OpenSubject();
  // A user dropped from a list: invited to this room.
  void DropUser(Uint16 userId);

  Uint32 ChatId() const { return chatId_; }
  const std::string& Subject() const { return subject_; }
  const CMyUserList& Users() const { return users_; }
  IMyChatWinView& View() { return *view_; }
  CMyChatSubjectWin* SubjectWin() { return subjectWin_.get(); }

  // ---- Used by the chat client
  void SetSubject(std::string_view subject);
  // Appends a line (a leading return goes when the text is empty); false when nothing
  // was left to append.
  bool ShowLine(std::string_view line);
  CMyUserList::SPut PutUser(SUserEntry entry);
  std::optional<SUserEntry> RemoveUser(Uint16 userId);
  void ClearUsers();
  void CloseSubject();

 private:
  CMyChatClient& chat_;
  Uint32 chatId_;
  std::string subject_;
  CMyUserList users_;
  std::unique_ptr<IMyChatWinView> view_;
  std::unique_ptr<CMyChatSubjectWin> subjectWin_;
};

// ---- "Chat Subject" window of one private chat
class CMyChatSubjectWin {
 public:
  CMyChatSubjectWin(CMyChatClient& chat, CMyChatWin& room);
  // "Set": SetChatSubject while connected; the window closes.
  void Set();
  void Cancel();
  IMyChatSubjectView& View() { return *view_; }

 private:
  CMyChatClient& chat_;
  CMyChatWin& room_;
  std::unique_ptr<IMyChatSubjectView> view_;
};

// ---- Received private message
class CMyPrivMsgWin {
 public:
  CMyPrivMsgWin(CMyChatClient& chat, Uint32 serial, Uint16 senderId, std::string senderName, std::string text);
  void Ok();
  // Opens the send window for the sender; this window closes once the reply is sent.
  void Reply();

  Uint32 Serial() const { return serial_; }
  Uint16 SenderId() const { return senderId_; }
  const std::string& SenderName() const { return senderName_; }
  const std::string& Text() const { return text_; }

 private:
  CMyChatClient& chat_;
  Uint32 serial_;
  Uint16 senderId_;
  std::string senderName_;
  std::string text_;
  std::unique_ptr<IMyPrivMsgView> view_;
};

// ---- "Send Message" window
class CMySendPrivMsgWin {
 public:
  // replyTo: the serial of the received message window this answers, or 0.
  CMySendPrivMsgWin(CMyChatClient& chat, Uint16 userId, std::string userName, Uint32 replyTo);
  // Starts CMySendPrivMsgTask and closes; an empty text, or no connection, beeps and
  // keeps the window.
  void Send();
  void Cancel();

  Uint16 UserId() const { return userId_; }
  const std::string& UserName() const { return userName_; }
  IMySendPrivMsgView& View() { return *view_; }

 private:
  CMyChatClient& chat_;
  Uint16 userId_;
  std::string userName_;
  Uint32 replyTo_;
  std::unique_ptr<IMySendPrivMsgView> view_;
};

// ---- "Chat Invitation" window
class CMyChatInviteWin {
 public:
  CMyChatInviteWin(CMyChatClient& chat, Uint32 chatId, std::string inviterName);
  // Closes; joins the room in a new private chat window (unless one is open).
  void Chat();
  // Closes and tells the server.
  void Decline();

  Uint32 ChatId() const { return chatId_; }
  const std::string& InviterName() const { return inviterName_; }

 private:
  CMyChatClient& chat_;
  Uint32 chatId_;
  std::string inviterName_;
  std::unique_ptr<IMyChatInviteView> view_;
};

// ---- "Secret" window
class CMySecretWin {
 public:
  explicit CMySecretWin(CMyChatClient& chat);
  // Runs the command named by the word (lower-cased and hashed); an unknown word beeps.
  void Execute();
  void Close();
  IMySecretView& View() { return *view_; }

 private:
  CMyChatClient& chat_;
  std::unique_ptr<IMySecretView> view_;
};

// ---- The service
class CMyChatClient : public IMyConnectionListener {
 public:
  CMyChatClient(CMyApplication& app, IMyChatViews& views);
  ~CMyChatClient() override;
  CMyChatClient(const CMyChatClient&) = delete;
  CMyChatClient& operator=(const CMyChatClient&) = delete;

  // The public chat starts empty for each server.
  void Connecting() override;
  // Starts CMyGetOnlineUsersTask.
  void Connected() override;
  // Empties the user list; closes private chats and invitations.
  void Disconnected() override;

  // ---- Online users window
  const CMyUserList& Users() const { return users_; }
  // Button 415: a new private chat with the user.
  void PrivateChatWith(Uint16 userId);
  // Button 206 and double-click: the send window for the user.
  void SendMessageTo(Uint16 userId);

  // ---- Public chat window
  void SendPublic(bool action);
  // The chat font and colours of the preferences, on the public and every private chat.
  void ApplyChatStyle();

  // ---- Hidden command window (command 666)
  void OpenSecretWin();
  void ExecuteSecret(std::string_view word, std::string_view argument);
  bool IsScrambling() const { return scrambler_.has_value(); }
  bool IsSilly() const { return silly_; }

  // ---- Windows that come and go
  CMyChatWin* FindChat(Uint32 chatId);
  const std::list<std::unique_ptr<CMyChatWin>>& Chats() const { return chats_; }
  const std::list<std::unique_ptr<CMyChatInviteWin>>& Invitations() const { return invitations_; }
  const std::list<std::unique_ptr<CMyPrivMsgWin>>& PrivateMessages() const { return messages_; }
  const std::list<std::unique_ptr<CMySendPrivMsgWin>>& SendWindows() const { return sendWins_; }
  CMySecretWin* SecretWin() { return secretWin_.get(); }

  // ---- Used by the windows and tasks
  CMyApplication& App() { return app_; }
  IMyChatViews& Views() { return views_; }
  SMyChatStyle ChatStyle() const;
  // SendChat with the text (and the action flag, and the room when chatId is not 0);
  // the chat bytes statistic grows by its length.
  void PostChat(std::string_view text, bool action, Uint32 chatId);
  // The GetOnlineUsers reply.
  void FillUserList(const UFieldData& reply);
  // The InviteNewChat reply: the room's window with the requester in its list.
  void OpenCreatedChat(const UFieldData& reply);
  // The JoinChat reply for a room whose window is still open.
  void FillJoinedChat(Uint32 chatId, const UFieldData& reply);
  // A new private chat window, not yet shown; none when too many are open.
  CMyChatWin* NewChat(Uint32 chatId);
  void CloseChat(CMyChatWin& chat);
  void CloseInvitation(CMyChatInviteWin& invitation);
  void ClosePrivateMessage(Uint32 serial);
  void OpenSendWin(Uint16 userId, std::string_view userName, Uint32 replyTo);
  void CloseSendWin(CMySendPrivMsgWin& window);
  void CloseSecretWin();
  // Tasks started for the chat, stopped when the chat goes first.
  void TrackTask(const CMyTask& task);

 private:
  void HandleChatMessage(UFieldData& fields);
  void HandlePrivateMessage(UFieldData& fields);
  void HandleInviteToChat(UFieldData& fields);
  void HandleChatUserChange(UFieldData& fields);
  void HandleChatUserDelete(UFieldData& fields);
  void HandleChatSubject(UFieldData& fields);
  void HandleUserChange(UFieldData& fields);
  void HandleUserDelete(UFieldData& fields);
  // Appends to the public chat the way private chats do.
  bool ShowPublicLine(std::string_view line);
  void EnableUserButtons();

  CMyApplication& app_;
  IMyChatViews& views_;
  CMyUserList users_;
  std::list<std::unique_ptr<CMyChatWin>> chats_;
  std::list<std::unique_ptr<CMyChatInviteWin>> invitations_;
  std::list<std::unique_ptr<CMyPrivMsgWin>> messages_;
  std::list<std::unique_ptr<CMySendPrivMsgWin>> sendWins_;
  std::unique_ptr<CMySecretWin> secretWin_;
  std::optional<CMyChatScrambler> scrambler_;
  bool silly_ = false;
  Uint32 nextMessageSerial_ = 1;
  std::vector<Uint32> tasks_;
};

// ---- Tasks

// "Transferring list of online users...": GetOnlineUsers; fills the list.
class CMyGetOnlineUsersTask : public CMyTransactTask {
 public:
  CMyGetOnlineUsersTask(CMyApplication& app, CMyChatClient& chat);
  void Process() override;

 private:
  CMyChatClient& chat_;
};

// "Sending private message...": SendPrivMsg with the user id and text.
class CMySendPrivMsgTask : public CMyTransactTask {
 public:
  CMySendPrivMsgTask(CMyApplication& app, Uint16 userId, std::string_view text);
  void Process() override;
};

// "Opening private chat...": InviteNewChat for one user; opens the room's window.
class CMyInviteNewChatTask : public CMyTransactTask {
 public:
  CMyInviteNewChatTask(CMyApplication& app, CMyChatClient& chat, Uint16 userId);
  void Process() override;

 private:
  CMyChatClient& chat_;
};

// "Joining private chat...": JoinChat; fills the window's subject and members, or closes
// the window when the server refuses.
class CMyJoinChatTask : public CMyTransactTask {
 public:
  CMyJoinChatTask(CMyApplication& app, CMyChatClient& chat, Uint32 chatId);
  void Process() override;

 private:
  CMyChatClient& chat_;
  Uint32 chatId_;
};

}  // namespace cv::client
