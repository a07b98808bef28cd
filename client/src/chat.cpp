// The chat service: the user list, chat lines in and out, private messages, private
// rooms and the hidden commands; and the tasks that wait for the server's replies.
#include "client/chat.h"

#include <algorithm>
#include <limits>

#include "framework/transport.h"
#include "protocol/catalogue.h"

namespace cv::client {

namespace {

// The incoming transactions this service handles.
constexpr Uint16 kHandledTypes[] = {
    trn::ChatMessage,          trn::ServerMessage,     trn::InviteToChat,     trn::NotifyChatUserChange,
    trn::NotifyChatUserDelete, trn::NotifyChatSubject, trn::NotifyUserChange, trn::NotifyUserDelete,
};

template <class T>
void EraseOne(std::list<std::unique_ptr<T>>& list, const T& item) {
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == &item; });
  if (it != list.end()) list.erase(it);
}

// Every UserNameWithInfo field of a reply, in field order.
template <class F>
void ForEachUserEntry(const UFieldData& reply, F&& f) {
  const std::size_t count = reply.GetFieldCount();
  for (std::size_t n = 1; n <= count; ++n)
    if (reply.GetNthFieldId(n) == fld::UserNameWithInfo)
      if (auto entry = ParseUserEntry(reply.GetNthField(n))) f(std::move(*entry));
}

}  // namespace

bool AppendChatLine(IMyChatTextView& view, std::string_view line) {
  line = LineToAppend(line, view.IsTextEmpty());
  if (line.empty()) return false;
  view.AppendText(line);
  if (!view.IsMinimised()) view.ScrollToEnd();
  return true;
}

// ---- Set-up

CMyChatClient::CMyChatClient(CMyApplication& app, IMyChatViews& views) : app_(app), views_(views) {
  app_.AddIncomingHandler(trn::ChatMessage, [this](UFieldData& f) { HandleChatMessage(f); });
  app_.AddIncomingHandler(trn::ServerMessage, [this](UFieldData& f) { HandlePrivateMessage(f); });
  app_.AddIncomingHandler(trn::InviteToChat, [this](UFieldData& f) { HandleInviteToChat(f); });
  app_.AddIncomingHandler(trn::NotifyChatUserChange, [this](UFieldData& f) { HandleChatUserChange(f); });
  app_.AddIncomingHandler(trn::NotifyChatUserDelete, [this](UFieldData& f) { HandleChatUserDelete(f); });
  app_.AddIncomingHandler(trn::NotifyChatSubject, [this](UFieldData& f) { HandleChatSubject(f); });
  app_.AddIncomingHandler(trn::NotifyUserChange, [this](UFieldData& f) { HandleUserChange(f); });
  app_.AddIncomingHandler(trn::NotifyUserDelete, [this](UFieldData& f) { HandleUserDelete(f); });
  app_.AddConnectionListener(*this);
  app_.AddCommandHandler(cmdHiddenCommands, [this] { OpenSecretWin(); });
  EnableUserButtons();
  ApplyChatStyle();
}

CMyChatClient::~CMyChatClient() {
  app_.RemoveCommandHandler(cmdHiddenCommands);
  for (Uint16 type : kHandledTypes) app_.RemoveIncomingHandler(type);
  app_.RemoveConnectionListener(*this);
  // Tasks of the chat that are still running would call it when they end.
  for (Uint32 id : tasks_)
    if (CMyTask* task = app_.FindTask(id); task && !task->IsFinished()) app_.StopTask(id);
  secretWin_.reset();
  sendWins_.clear();
  messages_.clear();
  invitations_.clear();
  chats_.clear();
}

void CMyChatClient::TrackTask(const CMyTask& task) {
  std::erase_if(tasks_, [&](Uint32 id) {
    const CMyTask* t = app_.FindTask(id);
    return !t || t->IsFinished();
  });
  tasks_.push_back(task.Id());
}

void CMyChatClient::Connecting() { views_.PublicChat().ClearText(); }

void CMyChatClient::Connected() {
  EnableUserButtons();
  TrackTask(app_.StartTask<CMyGetOnlineUsersTask>(*this));
}

void CMyChatClient::Disconnected() {
  users_.Clear();
  views_.UserList().ClearUsers();
  invitations_.clear();
  chats_.clear();
  EnableUserButtons();
}

void CMyChatClient::EnableUserButtons() {
  const bool on = app_.IsConnected();
  views_.UserList().EnableButtons(on, on, false, false);
}

SMyChatStyle CMyChatClient::ChatStyle() const {
  const SMyClientPrefs& prefs = app_.Prefs();
  return {prefs.chatFontSize, prefs.chatTextColour, prefs.chatBackColour};
}

void CMyChatClient::ApplyChatStyle() {
  const SMyChatStyle style = ChatStyle();
  views_.PublicChat().SetChatStyle(style);
  for (auto& chat : chats_) chat->View().SetChatStyle(style);
}

// ---- Online users

void CMyChatClient::FillUserList(const UFieldData& reply) {
  users_.Clear();
  views_.UserList().ClearUsers();
  ForEachUserEntry(reply, [&](SUserEntry entry) {
    const CMyUserList::SPut put = users_.Put(std::move(entry));
    if (put.result == CMyUserList::EPut::Added)
      views_.UserList().InsertUser(put.index, users_.Entries()[put.index]);
    else if (put.result == CMyUserList::EPut::Updated)
      views_.UserList().ChangeUser(put.index, users_.Entries()[put.index]);
  });
}

void CMyChatClient::HandleUserChange(UFieldData& fields) {
  std::optional<SUserEntry> entry = UserEntryFromFields(fields);
  if (!entry) return;
  const CMyUserList::SPut put = users_.Put(*entry);
  const std::string line = put.result == CMyUserList::EPut::Updated ? NameChangeLine(put.oldName, entry->name) : "";
  if (put.result == CMyUserList::EPut::Added) {
    views_.UserList().InsertUser(put.index, *entry);
    app_.PlaySound(kSoundJoin, sndJoin);
  } else if (put.result == CMyUserList::EPut::Updated) {
    views_.UserList().ChangeUser(put.index, *entry);
    if (put.oldName != entry->name) {
      ShowPublicLine(line);
      app_.PlaySound(kSoundChat, sndChat);
    }
  }
  for (auto& chat : chats_) {
    const SUserEntry* known = chat->Users().Find(entry->id);
    if (!known) continue;
    const std::string oldName = known->name;
    chat->PutUser(*entry);
    if (oldName != entry->name) chat->ShowLine(NameChangeLine(oldName, entry->name));
  }
}

void CMyChatClient::HandleUserDelete(UFieldData& fields) {
  const Uint32 id = fields.GetInteger(fld::UserId);
  if (id == 0 || id > 0xFFFF) return;
  std::size_t index = 0;
  if (!users_.Remove(Uint16(id), &index)) return;
  views_.UserList().RemoveUser(index);
  app_.PlaySound(kSoundLeave, sndLeave);
}

void CMyChatClient::PrivateChatWith(Uint16 userId) {
  if (userId == 0 || !app_.IsConnected()) return;
  TrackTask(app_.StartTask<CMyInviteNewChatTask>(*this, userId));
}

void CMyChatClient::SendMessageTo(Uint16 userId) {
  if (const SUserEntry* user = users_.Find(userId)) OpenSendWin(user->id, user->name, 0);
}

// ---- Public chat

void CMyChatClient::PostChat(std::string_view text, bool action, Uint32 chatId) {
  text = text.substr(0, UFieldData::kMaxFieldSize);
  UFieldData f;
  f.AddText(fld::Data, text);
  if (action) f.AddInteger(fld::ChatOptions, 1);
  if (chatId) f.AddInteger(fld::ChatId, chatId);
  app_.PostTransaction(trn::SendChat, f);
  // Held at its top rather than wrapping back to a small count.
  Uint32& bytes = app_.Prefs().chatBytes;
  bytes = Uint32(std::min<Uint64>(Uint64(bytes) + text.size(), std::numeric_limits<Uint32>::max()));
}

void CMyChatClient::SendPublic(bool action) {
  if (!app_.IsConnected()) return;
  IMyPublicChatView& view = views_.PublicChat();
  std::string text = view.EntryText();
  if (text.empty()) return;
  view.ClearEntry();
  if (silly_) return PostChat(SillyText(app_.Random().Draw(1, 5)), false, 0);
  if (PrepareChatText(text, scrambler_ ? &*scrambler_ : nullptr) == EChatPrepared::TooLong)
    return app_.ShowAlert(kAlertChatTooLong);
  PostChat(text, action, 0);
}

bool CMyChatClient::ShowPublicLine(std::string_view line) { return AppendChatLine(views_.PublicChat(), line); }

void CMyChatClient::HandleChatMessage(UFieldData& fields) {
  std::string line = fields.GetText(fld::Data, kChatLineMax);
  if (const Uint32 chatId = fields.GetInteger(fld::ChatId); chatId != 0) {
    CMyChatWin* chat = FindChat(chatId);
    if (chat && chat->ShowLine(line)) app_.PlaySound(kSoundChat, sndChat);
    return;
  }
  if (scrambler_) line = scrambler_->DecodeLine(std::move(line));
  if (ShowPublicLine(line)) app_.PlaySound(kSoundChat, sndChat);
}

// ---- Private messages

void CMyChatClient::HandlePrivateMessage(UFieldData& fields) {
  const Uint32 senderId = fields.GetInteger(fld::UserId);
  if (senderId == 0 || senderId > 0xFFFF || messages_.size() >= kMaxPrivateMessages) return;
  messages_.push_back(std::make_unique<CMyPrivMsgWin>(*this, nextMessageSerial_++, Uint16(senderId),
                                                      fields.GetText(fld::UserName, kUserEntryNameMax),
                                                      fields.GetText(fld::Data, kChatLineMax)));
  app_.PlaySound(kSoundPrivateMessage, sndPrivateMessage);
}

void CMyChatClient::ClosePrivateMessage(Uint32 serial) {
  std::erase_if(messages_, [&](const auto& m) { return m->Serial() == serial; });
}

void CMyChatClient::OpenSendWin(Uint16 userId, std::string_view userName, Uint32 replyTo) {
  sendWins_.push_back(std::make_unique<CMySendPrivMsgWin>(*this, userId, std::string(userName), replyTo));
}

void CMyChatClient::CloseSendWin(CMySendPrivMsgWin& window) { EraseOne(sendWins_, window); }

// ---- Private chats

CMyChatWin* CMyChatClient::FindChat(Uint32 chatId) {
  for (auto& chat : chats_)
    if (chat->ChatId() == chatId) return chat.get();
  return nullptr;
}

CMyChatWin* CMyChatClient::NewChat(Uint32 chatId) {
  if (chatId == 0 || chats_.size() >= kMaxPrivateChats) return nullptr;
  chats_.push_back(std::make_unique<CMyChatWin>(*this, chatId));
  return chats_.back().get();
}

void CMyChatClient::CloseChat(CMyChatWin& chat) { EraseOne(chats_, chat); }

void CMyChatClient::OpenCreatedChat(const UFieldData& reply) {
  const Uint32 chatId = reply.GetInteger(fld::ChatId);
  CMyChatWin* chat = FindChat(chatId);
  if (!chat) chat = NewChat(chatId);
  if (!chat) return;
  if (auto me = UserEntryFromFields(reply)) chat->PutUser(std::move(*me));
  chat->View().Show();
}

void CMyChatClient::FillJoinedChat(Uint32 chatId, const UFieldData& reply) {
  CMyChatWin* chat = FindChat(chatId);
  if (!chat) return;  // closed while the reply was on its way
  chat->SetSubject(reply.GetText(fld::ChatSubject, kSubjectMax));
  chat->ClearUsers();
  ForEachUserEntry(reply, [&](SUserEntry entry) { chat->PutUser(std::move(entry)); });
}

void CMyChatClient::HandleInviteToChat(UFieldData& fields) {
  const Uint32 chatId = fields.GetInteger(fld::ChatId);
  if (chatId == 0 || invitations_.size() >= kMaxInvitations || FindChat(chatId)) return;
  for (const auto& invitation : invitations_)
    if (invitation->ChatId() == chatId) return;
  app_.PlaySound(kSoundChatInvitation, sndChatInvitation);
  invitations_.push_back(std::make_unique<CMyChatInviteWin>(*this, chatId, fields.GetText(fld::UserName, 255)));
}

void CMyChatClient::CloseInvitation(CMyChatInviteWin& invitation) { EraseOne(invitations_, invitation); }

void CMyChatClient::HandleChatUserChange(UFieldData& fields) {
  CMyChatWin* chat = FindChat(fields.GetInteger(fld::ChatId));
  std::optional<SUserEntry> entry = UserEntryFromFields(fields);
  if (!chat || !entry) return;
  const std::string name = entry->name;
  const CMyUserList::SPut put = chat->PutUser(std::move(*entry));
  if (put.result == CMyUserList::EPut::Added) {
    app_.PlaySound(kSoundJoin, sndJoin);
    if (app_.Prefs().options & optShowJoinLeave) chat->ShowLine(JoinLine(name));
  } else if (put.result == CMyUserList::EPut::Updated && put.oldName != name) {
    chat->ShowLine(NameChangeLine(put.oldName, name));
    app_.PlaySound(kSoundChat, sndChat);
  }
}

void CMyChatClient::HandleChatUserDelete(UFieldData& fields) {
  CMyChatWin* chat = FindChat(fields.GetInteger(fld::ChatId));
  const Uint32 id = fields.GetInteger(fld::UserId);
  if (!chat || id == 0 || id > 0xFFFF) return;
  std::optional<SUserEntry> removed = chat->RemoveUser(Uint16(id));
  if (!removed) return;
  app_.PlaySound(kSoundLeave, sndLeave);
  if (app_.Prefs().options & optShowJoinLeave) chat->ShowLine(LeaveLine(removed->name));
}

void CMyChatClient::HandleChatSubject(UFieldData& fields) {
  if (CMyChatWin* chat = FindChat(fields.GetInteger(fld::ChatId)))
    chat->SetSubject(fields.GetText(fld::ChatSubject, kSubjectMax));
}

// ---- Hidden command window

void CMyChatClient::OpenSecretWin() {
  if (secretWin_)
    secretWin_->View().Show();
  else
    secretWin_ = std::make_unique<CMySecretWin>(*this);
}

void CMyChatClient::CloseSecretWin() { secretWin_.reset(); }

void CMyChatClient::ExecuteSecret(std::string_view word, std::string_view argument) {
  word = word.substr(0, kSecretEntryMax);
  argument = argument.substr(0, kSecretEntryMax);
  SMyClientPrefs& prefs = app_.Prefs();
  switch (SecretCommandFor(word)) {
    case ESecretCommand::None:
      return app_.Beep();
    case ESecretCommand::SetIcon:
      if (auto icon = SecretIconId(argument))
        prefs.iconId = *icon;
      else
        app_.Beep();
      return;
    case ESecretCommand::Icon134:
      prefs.iconId = 134;
      return;
    case ESecretCommand::Icon139:
      prefs.iconId = 139;
      return;
    case ESecretCommand::Icon158:
      prefs.iconId = 158;
      return;
    case ESecretCommand::Icon410:
      prefs.iconId = 410;
      return;
    case ESecretCommand::SendBuffer:
      return UTransport::SetSendBufferSize(SendBufferBytes(argument));
    case ESecretCommand::LeechRating:
      if (!app_.IsConnected()) return app_.Beep();
      return PostChat(LeechRatingText(prefs.uploaded, prefs.downloaded), true, 0);
    case ESecretCommand::Statistics:
      if (!app_.IsConnected()) return app_.Beep();
      return PostChat(app_.StatisticsText(), false, 0);
    case ESecretCommand::Scramble:
      scrambler_ = CMyChatScrambler::FromKey(argument);
      return;
    case ESecretCommand::Silly: {
      if (!app_.IsConnected()) return app_.Beep();
      UFieldData f;
      f.AddInteger(fld::UserIconId, kSillyIcon);
      f.AddText(fld::UserName, kSillyName);
      app_.PostTransaction(trn::SetClientUserInfo, f);
      silly_ = true;
      return;
    }
    case ESecretCommand::Nothing:
      return;
  }
}

// ---- Tasks

namespace {

UFieldData OneInteger(Uint16 id, Uint32 value) {
  UFieldData f;
  f.AddInteger(id, value);
  return f;
}

UFieldData PrivateMessage(Uint16 userId, std::string_view text) {
  UFieldData f = OneInteger(fld::UserId, userId);
  f.AddText(fld::Data, text);
  return f;
}

}  // namespace

CMyGetOnlineUsersTask::CMyGetOnlineUsersTask(CMyApplication& app, CMyChatClient& chat)
    : CMyTransactTask(app, "Transferring list of online users...", trn::GetOnlineUsers, UFieldData()), chat_(chat) {}

void CMyGetOnlineUsersTask::Process() {
  if (!ReplyArrived()) return;
  chat_.FillUserList(Fields());
  Finish();
}

CMySendPrivMsgTask::CMySendPrivMsgTask(CMyApplication& app, Uint16 userId, std::string_view text)
    : CMyTransactTask(app, "Sending private message...", trn::SendPrivMsg, PrivateMessage(userId, text)) {}

void CMySendPrivMsgTask::Process() {
  if (ReplyArrived()) Finish();
}

CMyInviteNewChatTask::CMyInviteNewChatTask(CMyApplication& app, CMyChatClient& chat, Uint16 userId)
    : CMyTransactTask(app, "Opening private chat...", trn::InviteNewChat, OneInteger(fld::UserId, userId)),
      chat_(chat) {}

void CMyInviteNewChatTask::Process() {
  if (!ReplyArrived()) return;
  chat_.OpenCreatedChat(Fields());
  Finish();
}

CMyJoinChatTask::CMyJoinChatTask(CMyApplication& app, CMyChatClient& chat, Uint32 chatId)
    : CMyTransactTask(app, "Joining private chat...", trn::JoinChat, OneInteger(fld::ChatId, chatId)),
      chat_(chat),
      chatId_(chatId) {}

void CMyJoinChatTask::Process() {
  bool complete = false;
  try {
    complete = ReplyArrived();
  } catch (...) {
    // A refused join leaves no window behind; the reply check has shown why.
    if (ErrorCode() != 0)
      if (CMyChatWin* chat = chat_.FindChat(chatId_)) chat_.CloseChat(*chat);
    throw;
  }
  if (!complete) return;
  chat_.FillJoinedChat(chatId_, Fields());
  Finish();
}

}  // namespace cv::client
