// Accounts: one folder per account under the users folder, named by its login, holding
// the fixed-size "UserData" record. The store also carries the account transactions'
// logic (login, create, delete, open, modify) up to the reply texts, so the session layer
// only moves fields in and out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "framework/errors.h"
#include "framework/types.h"
#include "protocol/privileges.h"

namespace cv {

constexpr std::size_t kUserDataSize = 734;
constexpr Uint16 kUserDataVersion = 1;
constexpr std::size_t kAccountNameMax = 64;
constexpr std::size_t kAccountField111Max = 64;
constexpr std::size_t kAccountLoginMax = 32;
constexpr std::size_t kAccountPasswordMax = 32;
// Longest login, name or password taken from a request (field capacity 64 less one).
constexpr std::size_t kRequestTextMax = 63;
// Longest account name, login and user name kept in a session.
constexpr std::size_t kSessionTextMax = 31;
constexpr Int16 kReservedIcon = 134;
constexpr Int16 kReservedIconStandIn = 414;

inline constexpr std::string_view kUserDataName = "UserData";
inline constexpr std::string_view kGuestLogin = "guest";

// Refusal texts of the account transactions.
inline constexpr std::string_view kNoCreateUsers = "You are not allowed to create new users.";
inline constexpr std::string_view kNoDeleteUsers = "You are not allowed to delete users.";
inline constexpr std::string_view kNoGetUserInfo = "You are not allowed to get user information.";
inline constexpr std::string_view kNoModifyUsers = "You are not allowed to modify user information.";
inline constexpr std::string_view kNoDisconnectUsers = "You are not allowed to disconnect users.";
inline constexpr std::string_view kNoGetClientInfo = "You are not allowed to get client information.";
inline constexpr std::string_view kIncorrectLogin = "Incorrect login.";
inline constexpr std::string_view kMoreAccessThanYourself = "Cannot create user with more access than yourself.";

// One account record. Texts are raw bytes; the password is kept complemented, as it
// travels, and is never decoded.
struct SUserData {
  SPrivilegeSet access;
  std::string name;      // display name, up to 64 bytes
  std::string field111;  // up to 64 bytes, kept as received
  std::string login;     // plain text, up to 32 bytes
  std::string password;  // complemented, up to 32 bytes

  bool operator==(const SUserData&) const = default;
};

// The 734-byte file image. Raises (1, 2) when a text is longer than its area.
Bytes EncodeUserData(const SUserData& user);
// Reads the first 734 bytes. Raises (1, 8) for a short image or a text length beyond
// its area, (1, 7) for a version other than 1.
SUserData DecodeUserData(ByteView data);

// Every byte replaced by 255 - byte (logins and passwords on the wire).
std::string ComplementText(std::string_view text);
// True when the login names a folder directly inside the users folder: not empty, not
// "." or "..", and without "/", NUL or CR.
bool IsSafeAccountLogin(std::string_view login);
// The account a Login request names: complemented back, lower-cased, CR made "-", at
// most 63 bytes; empty means "guest".
std::string LoginLookupName(std::string_view wireLogin);
// A user name as others see it: bytes below 32, 127 and above are replaced by "*".
std::string SanitizeUserName(std::string_view name);
// The icon actually used for a requested icon (134 is reserved).
Int16 MapUserIcon(Int16 icon);
// "“name”" with the curly quotes of the character set.
std::string QuotedName(std::string_view name);

// Result of an account transaction. On failure text is the error reply's text; when
// hasCause is set the session appends CR, the cause's description, CR and its detail.
struct SAccountReply {
  bool ok = false;
  std::string text;
  bool hasCause = false;
  SError cause;
  std::string login;  // the account acted on (plain; as the account log names it)
};

struct SLoginRequest {
  std::string wireLogin;     // field 105
  std::string wirePassword;  // field 106
  std::string name;          // field 102
  Int16 icon = 0;            // field 104
};

struct SLoginResult : SAccountReply {
  std::string accountName;  // stored name, up to 31
  std::string userName;     // the session name to set, up to 31
  Int16 icon = 0;
  SPrivilegeSet access;
  bool showAgreement = false;  // the account lacks DontShowAgreement
};

// Fields of NewUser and SetUser, as received.
struct SUserRequest {
  std::string name;          // 102
  std::string field111;      // 111
  std::string wireLogin;     // 105, complemented
  std::string wirePassword;  // 106, complemented; one zero byte means "unchanged" in SetUser
  Bytes access;              // 110, up to 8 bytes
};

struct SOpenUserResult : SAccountReply {
  std::string name;            // 102
  std::string wireLogin;       // 105: the requested login complemented
  std::string passwordMarker;  // 106: "x" when a password is stored, else empty (absent)
  SPrivilegeSet access;        // 110
};

class CMyAccountStore {
 public:
  explicit CMyAccountStore(std::string usersFolder) : folder_(std::move(usersFolder)) {}

  const std::string& Folder() const { return folder_; }

  // The account's folder path (matched ignoring ASCII case), or empty when there is no
  // such account or the login is not safe.
  std::string AccountFolder(std::string_view login) const;
  bool Exists(std::string_view login) const { return !AccountFolder(login).empty(); }

  // Raises (4, 102) for a missing account folder (or an unsafe login), (4, 103) for a
  // missing "UserData", (1, 8) / (1, 7) for an unreadable record, or the system's error.
  SUserData Read(std::string_view login) const;
  // Creates the account's folder and record. Raises (4, 119) for an unsafe login and
  // (4, 115) when an account with that login (in any letter case) exists.
  void Create(const SUserData& user);
  // Replaces the record of an existing account. Raises (4, 119) for an unsafe login and
  // (4, 102) when the account does not exist; never creates one.
  void Write(const SUserData& user);
  // Removes the record and the folder. Raises (4, 102) when there is no such account.
  void Remove(std::string_view login);

  // The account transactions. Callers pass the caller's privilege set.
  SLoginResult Login(const SLoginRequest& request) const;
  SAccountReply NewUser(const SPrivilegeSet& caller, const SUserRequest& request);
  SAccountReply DeleteUser(const SPrivilegeSet& caller, std::string_view wireLogin);
  SOpenUserResult OpenUser(const SPrivilegeSet& caller, std::string_view plainLogin) const;
  // On success reply.login is the lower-case login: sessions with that login take the new
  // privilege set (newAccess).
  SAccountReply SetUser(const SPrivilegeSet& caller, const SUserRequest& request, SPrivilegeSet* newAccess = nullptr);

  // True for the errors that mean "no such account".
  static bool IsMissingAccount(const SError& e);

 private:
  std::string folder_;
};

}  // namespace cv
