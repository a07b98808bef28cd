// The client list: admission, records, user list entries, broadcasts and idle marking.
#include <algorithm>

#include "protocol/catalogue.h"
#include "server/session.h"

namespace cv {

Uint16 SClientRecord::UserFlags() const {
  Uint16 flags = 0;
  if (idle) flags |= userFlagIdle;
  if (access.Has(CanDisconnectUsers)) flags |= userFlagAdmin;
  return flags;
}

void SReply::Error(std::string_view text) {
  errorCode = 1;
  fields.Clear();
  fields.AddText(fld::ErrorText, text.substr(0, std::min(text.size(), kErrorTextMax)));
}

void SReply::ErrorWithCause(std::string_view text, std::string_view cause) {
  std::string all(text.substr(0, std::min(text.size(), kErrorTextMax)));
  all += '\r';
  all += cause;
  if (all.size() > kErrorTextWithCauseMax) all.resize(kErrorTextWithCauseMax);
  errorCode = 1;
  fields.Clear();
  fields.AddText(fld::ErrorText, all);
}

CMySessions::CMySessions(CMyAccountStore& accounts, CMyServerLog& log) : accounts_(accounts), log_(log) {}

EAdmission CMySessions::Admit(Uint32 address, Uint32 now) {
  std::size_t same = std::size_t(
      std::count_if(clients_.begin(), clients_.end(), [&](const SClientRecord& r) { return r.address == address; }));
  return admission_.Admit(address, same, now);
}

SClientRecord& CMySessions::Add(std::unique_ptr<CMyClientLink> link, Uint32 address, std::string addressText,
                                Uint32 now) {
  SClientRecord& r = clients_.emplace_back();
  r.link = std::move(link);
  r.address = address;
  r.addressText = std::move(addressText);
  r.lastActivity = now;
  r.quotaWindowStart = now;
  r.userId = NextUserId(lastUserId_);
  accepted_ += 1;
  peak_ = std::max(peak_, clients_.size());
  Sound(128);
  if (hooks_.statsChanged) hooks_.statsChanged();
  return r;
}

void CMySessions::Drop(SClientRecord& record) {
  for (auto& leaving : leaveHandlers_) leaving(record, false);
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (&*it == &record) {
      clients_.erase(it);
      break;
    }
  }
  if (hooks_.statsChanged) hooks_.statsChanged();
}

void CMySessions::DropAll() {
  for (SClientRecord& r : clients_)
    for (auto& leaving : leaveHandlers_) leaving(r, false);
  clients_.clear();
  if (hooks_.statsChanged) hooks_.statsChanged();
}

void CMySessions::Remove(SClientRecord& record) {
  const Uint16 userId = record.userId;
  for (auto& leaving : leaveHandlers_) leaving(record, true);
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (&*it == &record) {
      clients_.erase(it);
      break;
    }
  }
  UFieldData fields;
  fields.AddInteger(fld::UserId, userId);
  Broadcast(trn::NotifyUserDelete, fields);
  Sound(129);
  if (hooks_.statsChanged) hooks_.statsChanged();
}

SClientRecord* CMySessions::FindUser(Uint16 userId) {
  for (SClientRecord& r : clients_)
    if (r.userId == userId) return &r;
  return nullptr;
}

void CMySessions::Broadcast(Uint16 type, UFieldData& fields) {
  fields.GetBlock();  // built once, then shared by every post
  for (SClientRecord& r : clients_)
    if (r.loggedIn && r.link && r.link->IsEstablished()) r.link->Post(type, fields);
}

void CMySessions::NotifyChange(const SClientRecord& record) {
  UFieldData fields;
  fields.AddInteger(fld::UserId, record.userId);
  fields.AddInteger(fld::UserIconId, Uint16(record.icon));
  fields.AddInteger(fld::UserFlags, record.UserFlags());
  fields.AddText(fld::UserName, record.name);
  Broadcast(trn::NotifyUserChange, fields);
}

void CMySessions::SetUser(SClientRecord& record, std::string_view name) {
  record.name = std::string(name.substr(0, std::min(name.size(), kUserNameMax)));
  NotifyChange(record);
}

void CMySessions::CheckIdle(SClientRecord& record, Uint32 now) {
  if (record.idle || !record.link || !record.link->IsEstablished()) return;
  if (now - record.lastActivity > kIdleSeconds) {
    record.idle = true;
    NotifyChange(record);
  }
}

Bytes CMySessions::UserListEntry(const SClientRecord& r) {
  std::string_view name = r.name.empty() ? std::string_view("???") : std::string_view(r.name);
  Bytes out;
  AppendU16(out, r.userId);
  AppendU16(out, Uint16(r.icon));
  AppendU16(out, r.UserFlags());
  AppendU16(out, Uint16(name.size()));
  AppendBytes(out, name.data(), name.size());
  return out;
}

void CMySessions::HandleRequest(SClientRecord& record, Uint16 type, const UFieldData& request, SReply& reply,
                                Uint32 now) {
  reply = SReply{};
  if (record.idle) {
    record.idle = false;
    NotifyChange(record);
  }
  record.lastActivity = now;
  // Before login only Login is served; anything else is dropped unanswered.
  if (type != trn::Login && !record.loggedIn) {
    reply.wanted = false;
    return;
  }
  Dispatch(record, type, request, reply, now);
}

}  // namespace cv
