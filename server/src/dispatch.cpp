// Dispatch of requests by transaction type, and the handlers of the session and account
// transactions. Services that live elsewhere (chat, news, files, transfers) answer with
// a refusal until they are plugged in here.
#include <algorithm>

#include "protocol/catalogue.h"
#include "server/session.h"

namespace cv {

namespace {

std::string Cut(std::string_view s, std::size_t n) { return std::string(s.substr(0, std::min(s.size(), n))); }

bool ExpectsReply(Uint16 type) {
  const STransactionInfo* info = UCatalogue::FindTransaction(type, EDirection::ClientToServer);
  return info == nullptr || info->expectsReply;
}

std::string DefaultDescription(const SError& e) { return UError::MessageText(e) + "\r" + UError::IdText(e); }

SUserRequest UserRequestFrom(const UFieldData& request) {
  SUserRequest r;
  r.name = request.GetText(fld::UserName, kAccountNameMax);
  r.field111 = request.GetText(fld::UserExtra, kAccountField111Max);
  r.wireLogin = request.GetText(fld::UserLogin, kAccountLoginMax);
  r.wirePassword = request.GetText(fld::UserPassword, kAccountPasswordMax);
  ByteView access = request.GetField(fld::UserAccess);
  r.access = Bytes(access.data(), std::min<std::size_t>(access.size(), kPrivilegeSetSize));
  return r;
}

}  // namespace

void CMySessions::AccountFailure(const SAccountReply& result, SReply& reply) {
  if (result.hasCause)
    reply.ErrorWithCause(result.text,
                         hooks_.describeError ? hooks_.describeError(result.cause) : DefaultDescription(result.cause));
  else
    reply.Error(result.text);
}

void CMySessions::Dispatch(SClientRecord& record, Uint16 type, const UFieldData& request, SReply& reply, Uint32 now) {
  switch (type) {
    case trn::Login:
      DoLogin(record, request, reply);
      return;
    case trn::GetOnlineUsers:
      DoGetOnlineUsers(reply);
      return;
    case trn::SetClientUserInfo:
      reply.wanted = false;
      DoSetClientUserInfo(record, request, now);
      return;
    case trn::NewUser:
      DoNewUser(record, request, reply);
      return;
    case trn::DeleteUser:
      DoDeleteUser(record, request, reply);
      return;
    case trn::OpenUser:
      DoOpenUser(record, request, reply);
      return;
    case trn::SetUser:
      DoSetUser(record, request, reply);
      return;
    case trn::DisconnectUser:
      DoDisconnectUser(record, request, reply, now);
      return;
    case trn::GetClientInfo:
      DoGetClientInfo(record, request, reply);
      return;
    default:
      break;
  }
  if (auto it = services_.find(type); it != services_.end()) {
    it->second(record, request, reply, now);
    return;
  }
  if (!UCatalogue::ServerServes(type)) {
    log_.Line(record.Subject(), "Received unknown transaction type!");
    reply.Error(kUnknownTypeText);
    return;
  }
  // A service this build does not carry: answer it plainly so the client's task ends.
  if (!ExpectsReply(type)) {
    reply.wanted = false;
    return;
  }
  reply.Error(kNotAvailableText);
}

void CMySessions::DoLogin(SClientRecord& record, const UFieldData& request, SReply& reply) {
  SLoginRequest rq;
  rq.wireLogin = request.GetText(fld::UserLogin, kRequestTextMax);
  rq.wirePassword = request.GetText(fld::UserPassword, kRequestTextMax);
  rq.name = request.GetText(fld::UserName, kRequestTextMax);
  rq.icon = Int16(request.GetInteger(fld::UserIconId));
  SLoginResult result = accounts_.Login(rq);
  if (!result.ok) {
    AccountFailure(result, reply);
    log_.Line(record.Subject(), "Login failed");
    Sound(130);
    return;
  }
  // The empty reply goes first; everything the login causes follows it.
  reply.after = [this, &record, result = std::move(result)] {
    record.accountName = result.accountName;
    record.login = result.login;
    record.icon = result.icon;
    record.access = result.access;
    // Set before the flag, so the new user is not told of its own arrival.
    SetUser(record, result.userName);
    record.loggedIn = true;
    log_.Line(record.Subject(), "Login successful");
    if (agreement_ && result.showAgreement && record.link) {
      UFieldData fields;
      fields.AddText(fld::Data, std::string_view(*agreement_).substr(0, UFieldData::kMaxFieldSize));
      record.link->Post(trn::ShowAgreement, fields);
    }
    log_.ConnectLog(record.Actor());
  };
}

void CMySessions::DoGetOnlineUsers(SReply& reply) {
  for (const SClientRecord& r : clients_) reply.fields.AddField(fld::UserNameWithInfo, UserListEntry(r));
}

void CMySessions::DoSetClientUserInfo(SClientRecord& record, const UFieldData& request, Uint32 now) {
  if (UserInfoFloods(record.userInfoWindowStart, record.userInfoCount, now)) {
    if (record.link) record.link->Disconnect();
    AddBan(record.address, now);
    log_.Line(record.Subject(), "Autobanned for flooding");
    if (hooks_.wake) hooks_.wake();
    return;
  }
  std::string name = SanitizeUserName(request.GetText(fld::UserName, kRequestTextMax));
  record.icon = MapUserIcon(Int16(request.GetInteger(fld::UserIconId)));
  SetUser(record, record.access.Has(CanUseAnyName) ? name : record.accountName);
}

void CMySessions::DoNewUser(SClientRecord& record, const UFieldData& request, SReply& reply) {
  SAccountReply result = accounts_.NewUser(record.access, UserRequestFrom(request));
  if (!result.ok) return AccountFailure(result, reply);
  log_.AccountLog(record.Actor(), "Create", result.login);
  log_.Line(record.Subject(), "Create user " + QuotedName(result.login));
}

void CMySessions::DoDeleteUser(SClientRecord& record, const UFieldData& request, SReply& reply) {
  SAccountReply result = accounts_.DeleteUser(record.access, request.GetText(fld::UserLogin, kRequestTextMax));
  if (!result.ok) return AccountFailure(result, reply);
  log_.AccountLog(record.Actor(), "Delete", result.login);
  log_.Line(record.Subject(), "Delete user " + QuotedName(result.login));
}

void CMySessions::DoOpenUser(SClientRecord& record, const UFieldData& request, SReply& reply) {
  SOpenUserResult result = accounts_.OpenUser(record.access, request.GetText(fld::UserLogin, kRequestTextMax));
  if (!result.ok) return AccountFailure(result, reply);
  reply.fields.AddText(fld::UserName, result.name);
  reply.fields.AddText(fld::UserLogin, result.wireLogin);
  reply.fields.AddText(fld::UserPassword, result.passwordMarker);
  reply.fields.AddField(fld::UserAccess, result.access.bytes.data(), result.access.bytes.size());
}

void CMySessions::DoSetUser(SClientRecord& record, const UFieldData& request, SReply& reply) {
  SPrivilegeSet access;
  SAccountReply result = accounts_.SetUser(record.access, UserRequestFrom(request), &access);
  if (!result.ok) return AccountFailure(result, reply);
  // Sessions of that account take the new privileges at once, without a notice.
  for (SClientRecord& r : clients_)
    if (r.loggedIn && r.login == result.login) r.access = access;
  log_.AccountLog(record.Actor(), "Modify", result.login);
  log_.Line(record.Subject(), "Modify user " + QuotedName(result.login));
}

void CMySessions::DoDisconnectUser(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  if (!record.access.Has(CanDisconnectUsers)) return reply.Error(kNoDisconnectUsers);
  SClientRecord* target = FindUser(Uint16(request.GetInteger(fld::UserId)));
  if (!target) return;
  if (target->access.Has(CannotBeDisconnected))
    return reply.Error("You are not allowed to disconnect user " + QuotedName(target->Subject()) +
                       " (user is protected).");
  const bool ban = request.GetInteger(fld::Options) == 1;
  if (ban) AddBan(target->address, now);
  if (target->link) target->link->Disconnect();
  if (hooks_.wake) hooks_.wake();
  log_.Line(record.Subject(), std::string(ban ? "Disconnect & ban " : "Disconnect ") + QuotedName(target->Subject()));
}

void CMySessions::DoGetClientInfo(SClientRecord& record, const UFieldData& request, SReply& reply) {
  if (!record.access.Has(CanGetUserInfo)) return reply.Error(kNoGetClientInfo);
  SClientRecord* target = FindUser(Uint16(request.GetInteger(fld::UserId)));
  if (!target) return reply.Error("Cannot get info for the specified client because it does not exist.");
  const std::string downloads = hooks_.transfersText ? hooks_.transfersText(target->userId, true) : "None.\r";
  const std::string uploads = hooks_.transfersText ? hooks_.transfersText(target->userId, false) : "None.\r";
  std::string text = "Nickname:   " + target->name + "\rName:       " + target->accountName +
                     "\rAccount:    " + target->login + "\rAddress:    " + Cut(target->addressText, 63) +
                     "\r\r----------- Downloads -----------\r\r" + downloads +
                     "\r------------ Uploads ------------\r\r" + uploads;
  if (text.size() > kErrorTextWithCauseMax) text.resize(kErrorTextWithCauseMax);
  reply.fields.AddText(fld::Data, text);
  reply.fields.AddText(fld::UserName, target->name);
}

}  // namespace cv
