// The catalogue of client/server transactions and field ids, as constant tables:
// every transaction type with its name, direction, whether it expects a reply and the
// fields it carries; every field id with its name and data kind. Lookups and a
// readable dump for logs and tests.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "framework/types.h"

namespace cv {

class UFieldData;

// Field ids.
namespace fld {
enum : Uint16 {
  ErrorText = 100,
  Data = 101,
  UserName = 102,
  UserId = 103,
  UserIconId = 104,
  UserLogin = 105,
  UserPassword = 106,
  ReferenceNumber = 107,
  TransferSize = 108,
  ChatOptions = 109,
  UserAccess = 110,
  UserExtra = 111,  // unnamed: up to 64 bytes kept with an account, never returned
  UserFlags = 112,
  Options = 113,
  ChatId = 114,
  ChatSubject = 115,
  FileNameWithInfo = 200,
  FileName = 201,
  FilePath = 202,
  FileResumeData = 203,
  FileTransferOptions = 204,
  FileTypeString = 205,
  FileCreatorString = 206,
  FileSize = 207,
  FileCreateDate = 208,
  FileModifyDate = 209,
  FileComment = 210,
  FileNewName = 211,
  FileNewPath = 212,
  FileType = 213,
  UserNameWithInfo = 300,
};
}  // namespace fld

// Transaction types.
namespace trn {
enum : Uint16 {
  GetNews = 101,
  NewMessage = 102,
  PostNews = 103,
  ServerMessage = 104,
  SendChat = 105,
  ChatMessage = 106,
  Login = 107,
  SendPrivMsg = 108,
  ShowAgreement = 109,
  DisconnectUser = 110,
  DisconnectMessage = 111,
  InviteNewChat = 112,
  InviteToChat = 113,
  RejectChatInvite = 114,
  JoinChat = 115,
  LeaveChat = 116,
  NotifyChatUserChange = 117,
  NotifyChatUserDelete = 118,
  NotifyChatSubject = 119,
  SetChatSubject = 120,
  GetFileList = 200,
  DownloadFile = 202,
  UploadFile = 203,
  DeleteFile = 204,
  NewFolder = 205,
  GetFileInfo = 206,
  SetFileInfo = 207,
  MoveFile = 208,
  MakeFileAlias = 209,
  GetOnlineUsers = 300,
  NotifyUserChange = 301,
  NotifyUserDelete = 302,
  GetClientInfo = 303,
  SetClientUserInfo = 304,
  NewUser = 350,
  DeleteUser = 351,
  OpenUser = 352,
  SetUser = 353,
};
}  // namespace trn

enum class EFieldKind : Uint8 {
  Integer,      // 2 or 4 bytes on the wire; any width accepted when read
  Text,         // characters without a length byte
  TextOrBytes,  // text or raw bytes, depending on the transaction
  Record,       // a structured record (paths, list entries, resume data)
  Fixed,        // raw bytes of a fixed size (privilege set, date stamp, type code)
};

struct SFieldInfo {
  Uint16 id;
  std::string_view name;  // empty for the one unnamed field (111)
  EFieldKind kind;
  Uint16 fixedSize;  // for EFieldKind::Fixed
};

enum class EDirection : Uint8 {
  ClientToServer,
  ServerToClient,
};

// One field a transaction carries; repeated fields occur once per entry, in order.
struct SFieldUse {
  Uint16 id;
  bool repeated;
};

struct STransactionInfo {
  Uint16 type;
  std::string_view name;
  EDirection direction;
  bool expectsReply;  // false: posted
  std::span<const SFieldUse> request;
  std::span<const SFieldUse> reply;
};

namespace UCatalogue {

std::span<const SFieldInfo> Fields();
std::span<const STransactionInfo> Transactions();

// nullptr when unknown.
const SFieldInfo* FindField(Uint16 id);
// 113 (InviteToChat) goes both ways; without a direction the client-to-server entry is found.
const STransactionInfo* FindTransaction(Uint16 type);
const STransactionInfo* FindTransaction(Uint16 type, EDirection direction);

// The name, or the decimal number for an unknown id.
std::string FieldName(Uint16 id);
std::string TransactionName(Uint16 type);

// Whether the server serves requests of this type from clients.
bool ServerServes(Uint16 type);

}  // namespace UCatalogue

// A readable multi-line text of one transaction for logs and tests:
//   GetNews (101) request id 7, 1 field
//     Data (101): "Hello"
// Replies carry type 0 on the wire; give the request's type as requestType when known.
// Passwords are never shown.
std::string DumpTransaction(Uint16 type, bool isReply, Uint32 id, Uint32 errorCode, const UFieldData& fields,
                            Uint16 requestType = 0);
// One line per field, indented by two spaces.
std::string DumpFields(const UFieldData& fields);

}  // namespace cv
