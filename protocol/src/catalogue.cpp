#include "protocol/catalogue.h"

#include <algorithm>
#include <cstdio>

#include "protocol/fields.h"

namespace cv {

namespace {

using K = EFieldKind;

// Sorted by id.
constexpr SFieldInfo kFields[] = {
    {fld::ErrorText, "ErrorText", K::Text, 0},
    {fld::Data, "Data", K::TextOrBytes, 0},
    {fld::UserName, "UserName", K::Text, 0},
    {fld::UserId, "UserId", K::Integer, 0},
    {fld::UserIconId, "UserIconId", K::Integer, 0},
    {fld::UserLogin, "UserLogin", K::Text, 0},
    {fld::UserPassword, "UserPassword", K::Text, 0},
    {fld::ReferenceNumber, "ReferenceNumber", K::Integer, 0},
    {fld::TransferSize, "TransferSize", K::Integer, 0},
    {fld::ChatOptions, "ChatOptions", K::Integer, 0},
    {fld::UserAccess, "UserAccess", K::Fixed, 8},
    {fld::UserExtra, "", K::Text, 0},
    {fld::UserFlags, "UserFlags", K::Integer, 0},
    {fld::Options, "Options", K::Integer, 0},
    {fld::ChatId, "ChatId", K::Integer, 0},
    {fld::ChatSubject, "ChatSubject", K::Text, 0},
    {fld::FileNameWithInfo, "FileNameWithInfo", K::Record, 0},
    {fld::FileName, "FileName", K::Text, 0},
    {fld::FilePath, "FilePath", K::Record, 0},
    {fld::FileResumeData, "FileResumeData", K::Record, 0},
    {fld::FileTransferOptions, "FileTransferOptions", K::Integer, 0},
    {fld::FileTypeString, "FileTypeString", K::Text, 0},
    {fld::FileCreatorString, "FileCreatorString", K::Text, 0},
    {fld::FileSize, "FileSize", K::Integer, 0},
    {fld::FileCreateDate, "FileCreateDate", K::Fixed, 8},
    {fld::FileModifyDate, "FileModifyDate", K::Fixed, 8},
    {fld::FileComment, "FileComment", K::Text, 0},
    {fld::FileNewName, "FileNewName", K::Text, 0},
    {fld::FileNewPath, "FileNewPath", K::Record, 0},
    {fld::FileType, "FileType", K::Fixed, 4},
    {fld::UserNameWithInfo, "UserNameWithInfo", K::Record, 0},
};

constexpr SFieldUse F(Uint16 id) { return SFieldUse{id, false}; }
constexpr SFieldUse N(Uint16 id) { return SFieldUse{id, true}; }

constexpr SFieldUse kData[] = {F(fld::Data)};
constexpr SFieldUse kLogin[] = {F(fld::UserLogin), F(fld::UserPassword), F(fld::UserName), F(fld::UserIconId)};
constexpr SFieldUse kSendPrivMsg[] = {F(fld::UserId), F(fld::Data)};
constexpr SFieldUse kDisconnectUser[] = {F(fld::UserId), F(fld::Options)};
constexpr SFieldUse kInvitees[] = {N(fld::UserId)};
constexpr SFieldUse kChatUser[] = {F(fld::ChatId), F(fld::UserId), F(fld::UserIconId), F(fld::UserFlags),
                                   F(fld::UserName)};
constexpr SFieldUse kChatId[] = {F(fld::ChatId)};
constexpr SFieldUse kJoinChatReply[] = {F(fld::ChatSubject), N(fld::UserNameWithInfo)};
constexpr SFieldUse kFilePath[] = {F(fld::FilePath)};
constexpr SFieldUse kFileList[] = {N(fld::FileNameWithInfo)};
constexpr SFieldUse kDownload[] = {F(fld::FileName), F(fld::FilePath), F(fld::FileResumeData),
                                   F(fld::FileTransferOptions)};
constexpr SFieldUse kDownloadReply[] = {F(fld::ReferenceNumber), F(fld::TransferSize)};
constexpr SFieldUse kUpload[] = {F(fld::FileName), F(fld::FilePath), F(fld::TransferSize), F(fld::FileTransferOptions)};
constexpr SFieldUse kUploadReply[] = {F(fld::ReferenceNumber), F(fld::FileResumeData)};
constexpr SFieldUse kFileItem[] = {F(fld::FileName), F(fld::FilePath)};
constexpr SFieldUse kFileInfoReply[] = {F(fld::FileName),       F(fld::FileTypeString), F(fld::FileCreatorString),
                                        F(fld::FileType),       F(fld::FileSize),       F(fld::FileCreateDate),
                                        F(fld::FileModifyDate), F(fld::FileComment)};
constexpr SFieldUse kSetFileInfo[] = {F(fld::FileName), F(fld::FilePath), F(fld::FileNewName), F(fld::FileComment)};
constexpr SFieldUse kMoveFile[] = {F(fld::FileName), F(fld::FilePath), F(fld::FileNewPath)};
constexpr SFieldUse kUserList[] = {N(fld::UserNameWithInfo)};
constexpr SFieldUse kUserId[] = {F(fld::UserId)};
constexpr SFieldUse kClientInfoReply[] = {F(fld::Data), F(fld::UserName)};
constexpr SFieldUse kAccount[] = {F(fld::UserLogin), F(fld::UserPassword), F(fld::UserName), F(fld::UserAccess),
                                  F(fld::UserExtra)};
constexpr SFieldUse kUserLogin[] = {F(fld::UserLogin)};
constexpr SFieldUse kOpenUserReply[] = {F(fld::UserName), F(fld::UserLogin), F(fld::UserPassword), F(fld::UserAccess)};
constexpr SFieldUse kSendChat[] = {F(fld::Data), F(fld::ChatOptions), F(fld::ChatId)};
constexpr SFieldUse kInviteToChat[] = {F(fld::ChatId), N(fld::UserId)};
constexpr SFieldUse kChatSubject[] = {F(fld::ChatId), F(fld::ChatSubject)};
constexpr SFieldUse kUserInfo[] = {F(fld::UserName), F(fld::UserIconId)};
constexpr SFieldUse kServerMessage[] = {F(fld::UserId), F(fld::UserName), F(fld::Data), F(fld::ChatOptions)};
constexpr SFieldUse kChatMessage[] = {F(fld::Data), F(fld::ChatId)};
constexpr SFieldUse kInvitation[] = {F(fld::ChatId), F(fld::UserId), F(fld::UserName)};
constexpr SFieldUse kChatUserDelete[] = {F(fld::ChatId), F(fld::UserId)};
constexpr SFieldUse kUserChange[] = {F(fld::UserId), F(fld::UserIconId), F(fld::UserFlags), F(fld::UserName)};

constexpr std::span<const SFieldUse> kNone{};

constexpr EDirection C2S = EDirection::ClientToServer;
constexpr EDirection S2C = EDirection::ServerToClient;

// Sorted by type; 113 appears once for each direction.
constexpr STransactionInfo kTransactions[] = {
    {trn::GetNews, "GetNews", C2S, true, kNone, kData},
    {trn::NewMessage, "NewMessage", S2C, false, kData, kNone},
    {trn::PostNews, "PostNews", C2S, true, kData, kNone},
    {trn::ServerMessage, "ServerMessage", S2C, false, kServerMessage, kNone},
    {trn::SendChat, "SendChat", C2S, false, kSendChat, kNone},
    {trn::ChatMessage, "ChatMessage", S2C, false, kChatMessage, kNone},
    {trn::Login, "Login", C2S, true, kLogin, kNone},
    {trn::SendPrivMsg, "SendPrivMsg", C2S, true, kSendPrivMsg, kNone},
    {trn::ShowAgreement, "ShowAgreement", S2C, false, kData, kNone},
    {trn::DisconnectUser, "DisconnectUser", C2S, true, kDisconnectUser, kNone},
    {trn::DisconnectMessage, "DisconnectMessage", S2C, false, kData, kNone},
    {trn::InviteNewChat, "InviteNewChat", C2S, true, kInvitees, kChatUser},
    {trn::InviteToChat, "InviteToChat", C2S, false, kInviteToChat, kNone},
    {trn::InviteToChat, "InviteToChat", S2C, false, kInvitation, kNone},
    {trn::RejectChatInvite, "RejectChatInvite", C2S, false, kChatId, kNone},
    {trn::JoinChat, "JoinChat", C2S, true, kChatId, kJoinChatReply},
    {trn::LeaveChat, "LeaveChat", C2S, false, kChatId, kNone},
    {trn::NotifyChatUserChange, "NotifyChatUserChange", S2C, false, kChatUser, kNone},
    {trn::NotifyChatUserDelete, "NotifyChatUserDelete", S2C, false, kChatUserDelete, kNone},
    {trn::NotifyChatSubject, "NotifyChatSubject", S2C, false, kChatSubject, kNone},
    {trn::SetChatSubject, "SetChatSubject", C2S, false, kChatSubject, kNone},
    {trn::GetFileList, "GetFileList", C2S, true, kFilePath, kFileList},
    {trn::DownloadFile, "DownloadFile", C2S, true, kDownload, kDownloadReply},
    {trn::UploadFile, "UploadFile", C2S, true, kUpload, kUploadReply},
    {trn::DeleteFile, "DeleteFile", C2S, true, kFileItem, kNone},
    {trn::NewFolder, "NewFolder", C2S, true, kFileItem, kNone},
    {trn::GetFileInfo, "GetFileInfo", C2S, true, kFileItem, kFileInfoReply},
    {trn::SetFileInfo, "SetFileInfo", C2S, true, kSetFileInfo, kNone},
    {trn::MoveFile, "MoveFile", C2S, true, kMoveFile, kNone},
    {trn::MakeFileAlias, "MakeFileAlias", C2S, true, kMoveFile, kNone},
    {trn::GetOnlineUsers, "GetOnlineUsers", C2S, true, kNone, kUserList},
    {trn::NotifyUserChange, "NotifyUserChange", S2C, false, kUserChange, kNone},
    {trn::NotifyUserDelete, "NotifyUserDelete", S2C, false, kUserId, kNone},
    {trn::GetClientInfo, "GetClientInfo", C2S, true, kUserId, kClientInfoReply},
    {trn::SetClientUserInfo, "SetClientUserInfo", C2S, false, kUserInfo, kNone},
    {trn::NewUser, "NewUser", C2S, true, kAccount, kNone},
    {trn::DeleteUser, "DeleteUser", C2S, true, kUserLogin, kNone},
    {trn::OpenUser, "OpenUser", C2S, true, kUserLogin, kOpenUserReply},
    {trn::SetUser, "SetUser", C2S, true, kAccount, kNone},
};

constexpr bool SortedFields() {
  for (std::size_t i = 1; i < std::size(kFields); ++i)
    if (kFields[i - 1].id >= kFields[i].id) return false;
  return true;
}
constexpr bool SortedTransactions() {
  for (std::size_t i = 1; i < std::size(kTransactions); ++i)
    if (kTransactions[i - 1].type > kTransactions[i].type) return false;
  return true;
}
static_assert(SortedFields(), "field table must be sorted by id");
static_assert(SortedTransactions(), "transaction table must be sorted by type");

void AppendEscaped(std::string& out, ByteView data, std::size_t maxChars) {
  out += '"';
  const std::size_t n = std::min(data.size(), maxChars);
  for (std::size_t i = 0; i < n; ++i) {
    const Uint8 c = data[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  out += '"';
  if (data.size() > n) out += "...";
}

void AppendHex(std::string& out, ByteView data, std::size_t maxBytes) {
  const std::size_t n = std::min(data.size(), maxBytes);
  for (std::size_t i = 0; i < n; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", data[i]);
    if (i) out += ' ';
    out += b;
  }
  if (data.size() > n) out += " ...";
}

bool LooksLikeText(ByteView data) {
  for (Uint8 c : data)
    if (c < 0x20 && c != '\r' && c != '\n' && c != '\t') return false;
  return true;
}

void AppendValue(std::string& out, Uint16 id, ByteView data) {
  const SFieldInfo* info = UCatalogue::FindField(id);
  char b[64];
  if (id == fld::UserPassword) {
    std::snprintf(b, sizeof b, "(%zu bytes, hidden)", data.size());
    out += b;
    return;
  }
  const EFieldKind kind = info ? info->kind : EFieldKind::Record;
  switch (kind) {
    case EFieldKind::Integer:
      std::snprintf(b, sizeof b, "%u", unsigned(UFieldData::DecodeInteger(data)));
      out += b;
      if (data.size() != 2 && data.size() != 4) {
        std::snprintf(b, sizeof b, " (%zu bytes)", data.size());
        out += b;
      }
      return;
    case EFieldKind::Text:
      AppendEscaped(out, data, 120);
      return;
    case EFieldKind::TextOrBytes:
      if (LooksLikeText(data)) {
        AppendEscaped(out, data, 120);
        return;
      }
      break;
    case EFieldKind::Record:
      if (id == fld::UserNameWithInfo && data.size() >= 8) {
        const std::size_t nameLen = std::min<std::size_t>(ReadU16(data.data() + 6), data.size() - 8);
        std::snprintf(b, sizeof b, "user %u icon %u flags %u name ", unsigned(ReadU16(data.data())),
                      unsigned(ReadU16(data.data() + 2)), unsigned(ReadU16(data.data() + 4)));
        out += b;
        AppendEscaped(out, data.subspan(8, nameLen), 64);
        return;
      }
      break;
    case EFieldKind::Fixed:
      break;
  }
  std::snprintf(b, sizeof b, "%zu bytes ", data.size());
  out += b;
  AppendHex(out, data, 32);
}

}  // namespace

namespace UCatalogue {

std::span<const SFieldInfo> Fields() { return kFields; }
std::span<const STransactionInfo> Transactions() { return kTransactions; }

const SFieldInfo* FindField(Uint16 id) {
  auto it = std::lower_bound(std::begin(kFields), std::end(kFields), id,
                             [](const SFieldInfo& f, Uint16 v) { return f.id < v; });
  return (it != std::end(kFields) && it->id == id) ? &*it : nullptr;
}

const STransactionInfo* FindTransaction(Uint16 type) {
  auto it = std::lower_bound(std::begin(kTransactions), std::end(kTransactions), type,
                             [](const STransactionInfo& t, Uint16 v) { return t.type < v; });
  return (it != std::end(kTransactions) && it->type == type) ? &*it : nullptr;
}

const STransactionInfo* FindTransaction(Uint16 type, EDirection direction) {
  for (const auto* t = FindTransaction(type); t && t != std::end(kTransactions) && t->type == type; ++t)
    if (t->direction == direction) return t;
  return nullptr;
}

std::string FieldName(Uint16 id) {
  const SFieldInfo* f = FindField(id);
  if (f && !f->name.empty()) return std::string(f->name);
  return std::to_string(id);
}

std::string TransactionName(Uint16 type) {
  const STransactionInfo* t = FindTransaction(type);
  return t ? std::string(t->name) : std::to_string(type);
}

bool ServerServes(Uint16 type) { return FindTransaction(type, EDirection::ClientToServer) != nullptr; }

}  // namespace UCatalogue

std::string DumpFields(const UFieldData& fields) {
  std::string out;
  const std::size_t count = fields.GetFieldCount();
  for (std::size_t n = 1; n <= count; ++n) {
    const Uint16 id = fields.GetNthFieldId(n);
    out += "  ";
    const SFieldInfo* info = UCatalogue::FindField(id);
    if (info && !info->name.empty()) {
      out += info->name;
      out += " (" + std::to_string(id) + ")";
    } else {
      out += "field " + std::to_string(id);
    }
    out += ": ";
    AppendValue(out, id, fields.GetNthField(n));
    out += '\n';
  }
  return out;
}

std::string DumpTransaction(Uint16 type, bool isReply, Uint32 id, Uint32 errorCode, const UFieldData& fields,
                            Uint16 requestType) {
  std::string out;
  const Uint16 shown = isReply ? requestType : type;
  if (shown != 0) {
    out += UCatalogue::TransactionName(shown);
    if (UCatalogue::FindTransaction(shown)) out += " (" + std::to_string(shown) + ")";
    out += ' ';
  } else if (!isReply) {
    out += "type 0 ";
  }
  out += isReply ? "reply" : "request";
  out += " id " + std::to_string(id);
  if (isReply || errorCode != 0) out += " error " + std::to_string(errorCode);
  const std::size_t count = fields.GetFieldCount();
  out += ", " + std::to_string(count) + (count == 1 ? " field\n" : " fields\n");
  out += DumpFields(fields);
  return out;
}

}  // namespace cv
