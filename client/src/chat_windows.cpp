// The chat's windows that come and go: what their buttons do.
#include <algorithm>

#include "client/chat.h"
#include "protocol/catalogue.h"

namespace cv::client {

namespace {

// A window's send key: the same preparation as the public chat, never scrambled.
std::optional<std::string> TakeTypedLine(CMyApplication& app, IMyChatTextView& view) {
  if (!app.IsConnected()) return std::nullopt;
  std::string text = view.EntryText();
  if (text.empty()) return std::nullopt;
  view.ClearEntry();
  if (PrepareChatText(text, nullptr) == EChatPrepared::TooLong) {
    app.ShowAlert(kAlertChatTooLong);
    return std::nullopt;
  }
  return text;
}

}  // namespace

// ---- CMyChatWin

CMyChatWin::CMyChatWin(CMyChatClient& chat, Uint32 chatId) : chat_(chat), chatId_(chatId) {
  view_ = chat_.Views().NewChatWin(*this);
  view_->SetChatStyle(chat_.ChatStyle());
  view_->SetTitle(PrivateChatTitle({}));
  view_->SetSubject({});
}

// The subject window goes before the chat window it belongs to.
CMyChatWin::~CMyChatWin() { subjectWin_.reset(); }

void CMyChatWin::Send(bool action) {
  if (auto text = TakeTypedLine(chat_.App(), *view_)) chat_.PostChat(*text, action, chatId_);
}

void CMyChatWin::Close() {
  UFieldData f;
  f.AddInteger(fld::ChatId, chatId_);
  chat_.App().PostTransaction(trn::LeaveChat, f);
  chat_.CloseChat(*this);
}

void CMyChatWin::OpenSubject() {
  if (!subjectWin_) subjectWin_ = std::make_unique<CMyChatSubjectWin>(chat_, *this);
}

void CMyChatWin::DropUser(Uint16 userId) {
  if (userId == 0 || !chat_.App().IsConnected()) return;
  UFieldData f;
  f.AddInteger(fld::UserId, userId);
  f.AddInteger(fld::ChatId, chatId_);
  chat_.App().PostTransaction(trn::InviteToChat, f);
}

void CMyChatWin::SetSubject(std::string_view subject) {
  subject_ = std::string(subject.substr(0, kSubjectMax));
  view_->SetTitle(PrivateChatTitle(subject_));
  view_->SetSubject(subject_);
}

bool CMyChatWin::ShowLine(std::string_view line) { return AppendChatLine(*view_, line); }

CMyUserList::SPut CMyChatWin::PutUser(SUserEntry entry) {
  CMyUserList::SPut put = users_.Put(std::move(entry));
  if (put.result == CMyUserList::EPut::Added)
    view_->InsertUser(put.index, users_.Entries()[put.index]);
  else if (put.result == CMyUserList::EPut::Updated)
    view_->ChangeUser(put.index, users_.Entries()[put.index]);
  return put;
}

std::optional<SUserEntry> CMyChatWin::RemoveUser(Uint16 userId) {
  std::size_t index = 0;
  auto removed = users_.Remove(userId, &index);
  if (removed) view_->RemoveUser(index);
  return removed;
}

void CMyChatWin::ClearUsers() {
  users_.Clear();
  view_->ClearUsers();
}

void CMyChatWin::CloseSubject() { subjectWin_.reset(); }

// ---- CMyChatSubjectWin

CMyChatSubjectWin::CMyChatSubjectWin(CMyChatClient& chat, CMyChatWin& room) : chat_(chat), room_(room) {
  view_ = chat_.Views().NewChatSubjectWin(*this, room_.Subject());
}

void CMyChatSubjectWin::Set() {
  if (chat_.App().IsConnected()) {
    const std::string subject = view_->Text().substr(0, kSubjectMax);
    UFieldData f;
    f.AddInteger(fld::ChatId, room_.ChatId());
    f.AddText(fld::ChatSubject, subject);
    chat_.App().PostTransaction(trn::SetChatSubject, f);
  }
  room_.CloseSubject();
}

void CMyChatSubjectWin::Cancel() { room_.CloseSubject(); }

// ---- CMyPrivMsgWin

CMyPrivMsgWin::CMyPrivMsgWin(CMyChatClient& chat, Uint32 serial, Uint16 senderId, std::string senderName,
                             std::string text)
    : chat_(chat), serial_(serial), senderId_(senderId), senderName_(std::move(senderName)), text_(std::move(text)) {
  const bool atBack = chat_.App().Prefs().options & optPrivateMessagesAtBack;
  view_ = chat_.Views().NewPrivMsgWin(*this, senderName_, text_, atBack);
}

void CMyPrivMsgWin::Ok() { chat_.ClosePrivateMessage(serial_); }

void CMyPrivMsgWin::Reply() { chat_.OpenSendWin(senderId_, senderName_, serial_); }

// ---- CMySendPrivMsgWin

CMySendPrivMsgWin::CMySendPrivMsgWin(CMyChatClient& chat, Uint16 userId, std::string userName, Uint32 replyTo)
    : chat_(chat), userId_(userId), userName_(std::move(userName)), replyTo_(replyTo) {
  view_ = chat_.Views().NewSendPrivMsgWin(*this, userName_);
}

void CMySendPrivMsgWin::Send() {
  CMyApplication& app = chat_.App();
  if (!app.IsConnected()) return app.Beep();
  std::string text = view_->Text();
  if (text.empty()) return app.Beep();
  // The server keeps far less; this only keeps the field within its 16-bit size.
  if (text.size() > UFieldData::kMaxFieldSize) text.resize(UFieldData::kMaxFieldSize);
  chat_.TrackTask(app.StartTask<CMySendPrivMsgTask>(userId_, text));
  CMyChatClient& chat = chat_;
  const Uint32 replyTo = replyTo_;
  chat.CloseSendWin(*this);  // this window is gone from here on
  if (replyTo) chat.ClosePrivateMessage(replyTo);
}

void CMySendPrivMsgWin::Cancel() { chat_.CloseSendWin(*this); }

// ---- CMyChatInviteWin

CMyChatInviteWin::CMyChatInviteWin(CMyChatClient& chat, Uint32 chatId, std::string inviterName)
    : chat_(chat), chatId_(chatId), inviterName_(std::move(inviterName)) {
  view_ = chat_.Views().NewChatInviteWin(*this, inviterName_);
}

void CMyChatInviteWin::Chat() {
  CMyChatClient& chat = chat_;
  const Uint32 chatId = chatId_;
  chat.CloseInvitation(*this);  // this window is gone from here on
  if (!chat.App().IsConnected() || chat.FindChat(chatId)) return;
  CMyChatWin* room = chat.NewChat(chatId);
  if (!room) return;
  room->View().Show();
  chat.TrackTask(chat.App().StartTask<CMyJoinChatTask>(chat, chatId));
}

void CMyChatInviteWin::Decline() {
  CMyChatClient& chat = chat_;
  UFieldData f;
  f.AddInteger(fld::ChatId, chatId_);
  chat.CloseInvitation(*this);
  chat.App().PostTransaction(trn::RejectChatInvite, f);
}

// ---- CMySecretWin

CMySecretWin::CMySecretWin(CMyChatClient& chat) : chat_(chat) { view_ = chat_.Views().NewSecretWin(*this); }

void CMySecretWin::Execute() { chat_.ExecuteSecret(view_->Word(), view_->Argument()); }

void CMySecretWin::Close() { chat_.CloseSecretWin(); }

}  // namespace cv::client
