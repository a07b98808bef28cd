// Chat lines, private messages and the private chat rooms.
#include "server/chat.h"

#include <algorithm>
#include <limits>

#include "framework/text.h"
#include "protocol/catalogue.h"

namespace cv {

namespace {

std::string_view Cut(std::string_view s, std::size_t n) { return s.substr(0, std::min(s.size(), n)); }

std::string_view FieldText(const UFieldData& request, Uint16 id, std::size_t max) {
  ByteView data = request.GetField(id);
  return Cut(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), max);
}

bool Established(const SClientRecord& r) { return r.loggedIn && r.link && r.link->IsEstablished(); }

}  // namespace

bool SPrivateChat::HasMember(Uint16 userId) const {
  return std::find(members.begin(), members.end(), userId) != members.end();
}

void CheckCounterWindow(Uint32& windowStart, Uint16& counter, Uint32 now) {
  if (now - windowStart > kCounterWindowSeconds) {
    windowStart = now;
    counter = 0;
  }
}

CMyChatService::CMyChatService(CMyServerLog& log, URandom& random) : log_(log), random_(random) {}

void CMyChatService::Install(CMySessions& sessions) {
  sessions_ = &sessions;
  auto plug = [&](Uint16 type, auto member) {
    sessions.AddService(type, [this, member](SClientRecord& r, const UFieldData& rq, SReply& reply, Uint32 now) {
      (this->*member)(r, rq, reply, now);
    });
  };
  auto plugTimeless = [&](Uint16 type, auto member) {
    sessions.AddService(type, [this, member](SClientRecord& r, const UFieldData& rq, SReply& reply, Uint32) {
      (this->*member)(r, rq, reply);
    });
  };
  plug(trn::SendChat, &CMyChatService::SendChat);
  plug(trn::SendPrivMsg, &CMyChatService::SendPrivMsg);
  plug(trn::InviteNewChat, &CMyChatService::InviteNewChat);
  plug(trn::InviteToChat, &CMyChatService::InviteToChat);
  plugTimeless(trn::RejectChatInvite, &CMyChatService::RejectChatInvite);
  plugTimeless(trn::JoinChat, &CMyChatService::JoinChat);
  plugTimeless(trn::LeaveChat, &CMyChatService::LeaveChat);
  plugTimeless(trn::SetChatSubject, &CMyChatService::SetChatSubject);
  sessions.AddLeaveHandler([this](SClientRecord& r, bool tell) { ClientLeaving(r, tell); });
}

SPrivateChat* CMyChatService::FindRoom(Uint32 id) {
  for (SPrivateChat& room : rooms_)
    if (room.id == id) return &room;
  return nullptr;
}

std::string CMyChatService::ChatLines(std::string_view userName, std::string_view text, bool action) {
  const SCountedString name = UText::ToCounted(userName);
  const std::string prefix = action ? UText::FmtN(kChatPrefixMax, "\r *** %#s ", name.data())
                                    : UText::FmtN(kChatPrefixMax, "\r%#13.13s:  ", name.data());
  text = Cut(text, kChatTextMax);
  std::string out = prefix;
  out.reserve(std::min(kChatTextMax, prefix.size() + text.size()));
  // Every carriage return starts a new line with its own prefix; a text of many empty
  // lines grows quickly, so building stops once the cut is reached.
  for (char c : text) {
    if (out.size() >= kChatTextMax) break;
    if (c == '\r')
      out += prefix;
    else
      out += c;
  }
  if (out.size() > kChatTextMax) out.resize(kChatTextMax);
  return out;
}

std::string CMyChatService::QuotaRefusal(std::string_view message, std::string_view targetName) {
  std::string excerpt(Cut(message, kQuotaExcerptMax));
  if (message.size() > kQuotaExcerptMax) excerpt += '\xC9';
  const SCountedString e = UText::ToCounted(excerpt);
  const SCountedString t = UText::ToCounted(targetName);
  return UText::FmtN(kErrorTextMax,
                     "Could not send message \xD2%#s\xD3 to user \xD2%#s\xD3 as it would exceed your message quota.  "
                     "Try again later.",
                     e.data(), t.data());
}

bool CMyChatService::PostTo(Uint16 userId, Uint16 type, UFieldData& fields) {
  SClientRecord* r = sessions_->FindUser(userId);
  if (!r || !Established(*r)) return false;
  r->link->Post(type, fields);
  return true;
}

void CMyChatService::PostToMembers(const SPrivateChat& room, Uint16 type, UFieldData& fields, bool readersOnly) {
  for (Uint16 id : room.members) {
    SClientRecord* r = sessions_->FindUser(id);
    if (!r || !Established(*r)) continue;
    if (readersOnly && !r->access.Has(CanReadChat)) continue;
    r->link->Post(type, fields);
  }
}

void CMyChatService::SendChat(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  reply.wanted = false;
  CheckCounterWindow(record.chatFloodWindowStart, record.chatUnits, now);
  if (record.chatUnits > kChatFloodLimit) {
    if (record.link) record.link->Disconnect();
    sessions_->AddBan(record.address, now);
    log_.Line(record.Subject(), "Autobanned for flooding");
    return;
  }
  if (!record.access.Has(CanSendChat)) {
    UFieldData notice;
    notice.AddInteger(fld::ChatOptions, 1);
    notice.AddText(fld::Data, kNoChatText);
    if (record.link && record.link->IsEstablished()) record.link->Post(trn::ServerMessage, notice);
    return;
  }
  const std::string lines =
      ChatLines(record.name, FieldText(request, fld::Data, kChatTextMax), request.GetInteger(fld::ChatOptions) == 1);
  // Never above 10240 + 8192 here, so the 16-bit counter cannot wrap.
  record.chatUnits = Uint16(record.chatUnits + std::max<std::size_t>(lines.size(), kChatLineMinUnits));

  UFieldData message;
  if (const Uint32 chatId = request.GetInteger(fld::ChatId); chatId != 0) {
    SPrivateChat* room = FindRoom(chatId);
    if (!room) return;
    message.AddInteger(fld::ChatId, chatId);
    message.AddText(fld::Data, lines);
    PostToMembers(*room, trn::ChatMessage, message, true);
    return;
  }
  message.AddText(fld::Data, lines);
  for (SClientRecord& r : sessions_->Clients())
    if (Established(r) && r.access.Has(CanReadChat)) r.link->Post(trn::ChatMessage, message);
}

void CMyChatService::SendPrivMsg(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  CheckCounterWindow(record.quotaWindowStart, record.quotaCount, now);
  SClientRecord* target = sessions_->FindUser(Uint16(request.GetInteger(fld::UserId)));
  // A client that has not logged in yet is not on the user list: nobody can address it.
  if (!target || !Established(*target)) return reply.Error(kNotConnectedText);
  const std::string text(FieldText(request, fld::Data, kPrivateMessageMax));
  if (record.quotaCount > kMessageQuota) return reply.Error(QuotaRefusal(text, target->name));
  record.quotaCount += 1;
  // The sender's answer goes out before the message reaches the target.
  reply.after = [this, targetId = target->userId, senderId = record.userId, senderName = record.name, text] {
    UFieldData message;
    message.AddInteger(fld::UserId, senderId);
    message.AddText(fld::UserName, senderName);
    message.AddText(fld::Data, text);
    PostTo(targetId, trn::ServerMessage, message);
  };
}

Uint32 CMyChatService::NewRoomId() {
  const Int32 drawn = random_.Draw(std::numeric_limits<Int32>::min(), std::numeric_limits<Int32>::max());
  roomCounter_ = Uint8(roomCounter_ + 1);
  Uint32 id = (Uint32(drawn) & 0xFFFFFF00u) | roomCounter_;
  if (id == 0) id = 1;
  // Id 0 means the public chat, so the search for a free id steps over it too.
  while (FindRoom(id) != nullptr) {
    id += 1;
    if (id == 0) id = 1;
  }
  return id;
}

void CMyChatService::SendInvitations(const SClientRecord& inviter, const SPrivateChat& room, const UFieldData& request,
                                     bool skipMembers) {
  UFieldData invitation;
  invitation.AddInteger(fld::ChatId, room.id);
  invitation.AddInteger(fld::UserId, inviter.userId);
  invitation.AddText(fld::UserName, inviter.name);
  const std::size_t count = request.GetFieldCount();
  for (std::size_t n = 1; n <= count; ++n) {
    if (request.GetNthFieldId(n) != fld::UserId) continue;
    const Uint16 id = Uint16(request.GetNthInteger(n));
    if (id == inviter.userId || (skipMembers && room.HasMember(id))) continue;
    PostTo(id, trn::InviteToChat, invitation);
  }
}

void CMyChatService::InviteNewChat(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  CheckCounterWindow(record.quotaWindowStart, record.quotaCount, now);
  if (record.quotaCount > kMessageQuota) return reply.Error(kNewChatQuotaText);
  SPrivateChat& room = rooms_.emplace_front();
  room.id = NewRoomId();
  room.members.push_back(record.userId);
  // The invitations go out before the requester's answer.
  SendInvitations(record, room, request, false);
  reply.fields.AddInteger(fld::ChatId, room.id);
  reply.fields.AddInteger(fld::UserId, record.userId);
  reply.fields.AddInteger(fld::UserIconId, Uint16(record.icon));
  reply.fields.AddInteger(fld::UserFlags, record.UserFlags());
  reply.fields.AddText(fld::UserName, record.name);
  record.quotaCount += 1;
}

void CMyChatService::InviteToChat(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  CheckCounterWindow(record.quotaWindowStart, record.quotaCount, now);
  if (record.quotaCount > kMessageQuota) return reply.Error(kInviteQuotaText);
  reply.wanted = false;
  SPrivateChat* room = FindRoom(request.GetInteger(fld::ChatId));
  if (!room) return;
  SendInvitations(record, *room, request, true);
  record.quotaCount += 1;
}

void CMyChatService::RejectChatInvite(SClientRecord& record, const UFieldData& request, SReply& reply) {
  reply.wanted = false;
  SPrivateChat* room = FindRoom(request.GetInteger(fld::ChatId));
  if (!room) return;
  const SCountedString name = UText::ToCounted(record.name);
  UFieldData message;
  message.AddInteger(fld::ChatId, room->id);
  message.AddText(fld::Data, UText::FmtN(kErrorTextMax, "\r<<< \"%#s\" declined invitation to chat >>>", name.data()));
  PostToMembers(*room, trn::ChatMessage, message, true);
}

void CMyChatService::JoinChat(SClientRecord& record, const UFieldData& request, SReply& reply) {
  SPrivateChat* room = FindRoom(request.GetInteger(fld::ChatId));
  if (!room) return reply.Error(kChatClosedText);
  if (!room->HasMember(record.userId)) {
    UFieldData notice;
    notice.AddInteger(fld::ChatId, room->id);
    notice.AddInteger(fld::UserId, record.userId);
    notice.AddInteger(fld::UserIconId, Uint16(record.icon));
    notice.AddInteger(fld::UserFlags, record.UserFlags());
    notice.AddText(fld::UserName, record.name);
    PostToMembers(*room, trn::NotifyChatUserChange, notice, false);
    room->members.push_back(record.userId);
  }
  if (room->subject) reply.fields.AddText(fld::ChatSubject, *room->subject);
  for (Uint16 id : room->members)
    if (const SClientRecord* member = sessions_->FindUser(id))
      reply.fields.AddField(fld::UserNameWithInfo, CMySessions::UserListEntry(*member));
}

void CMyChatService::RemoveMember(std::list<SPrivateChat>::iterator room, Uint16 userId, bool tell) {
  auto& members = room->members;
  members.erase(std::remove(members.begin(), members.end(), userId), members.end());
  if (members.empty()) {
    rooms_.erase(room);
    return;
  }
  if (!tell) return;
  UFieldData notice;
  notice.AddInteger(fld::ChatId, room->id);
  notice.AddInteger(fld::UserId, userId);
  PostToMembers(*room, trn::NotifyChatUserDelete, notice, false);
}

void CMyChatService::LeaveChat(SClientRecord& record, const UFieldData& request, SReply& reply) {
  reply.wanted = false;
  const Uint32 id = request.GetInteger(fld::ChatId);
  auto room = std::find_if(rooms_.begin(), rooms_.end(), [&](const SPrivateChat& r) { return r.id == id; });
  if (room == rooms_.end() || !room->HasMember(record.userId)) return;
  RemoveMember(room, record.userId, true);
}

void CMyChatService::SetChatSubject(SClientRecord& /*record*/, const UFieldData& request, SReply& reply) {
  reply.wanted = false;
  SPrivateChat* room = FindRoom(request.GetInteger(fld::ChatId));
  if (!room) return;
  const std::string subject(FieldText(request, fld::ChatSubject, kChatSubjectMax));
  if (subject.empty())
    room->subject.reset();
  else
    room->subject = subject;
  UFieldData notice;
  notice.AddInteger(fld::ChatId, room->id);
  notice.AddText(fld::ChatSubject, subject);
  PostToMembers(*room, trn::NotifyChatSubject, notice, false);
}

void CMyChatService::ClientLeaving(SClientRecord& record, bool tell) {
  for (auto room = rooms_.begin(); room != rooms_.end();) {
    auto next = std::next(room);
    if (room->HasMember(record.userId)) RemoveMember(room, record.userId, tell);
    room = next;
  }
}

void CMyChatService::Broadcast(std::string_view text) {
  if (!sessions_) return;
  UFieldData message;
  message.AddText(fld::Data, Cut(text, UFieldData::kMaxFieldSize));
  sessions_->Broadcast(trn::ServerMessage, message);
}

}  // namespace cv
