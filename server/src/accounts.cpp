#include "server/accounts.h"

#include <algorithm>
#include <filesystem>

#include "server/src/diskio.h"

namespace cv {

namespace {

constexpr std::size_t kOffVersion = 0;
constexpr std::size_t kOffAccess = 4;
constexpr std::size_t kOffNameLen = 528;
constexpr std::size_t kOffName = 530;
constexpr std::size_t kOffField111Len = 596;
constexpr std::size_t kOffField111 = 598;
constexpr std::size_t kOffLoginLen = 664;
constexpr std::size_t kOffLogin = 666;
constexpr std::size_t kOffPasswordLen = 700;
constexpr std::size_t kOffPassword = 702;
static_assert(kOffPassword + kAccountPasswordMax == kUserDataSize);

void PutText(Bytes& out, std::size_t lenOffset, std::size_t textOffset, std::size_t cap, std::string_view text) {
  if (text.size() > cap) UError::Raise(errClassGeneral, errBadArgument);
  WriteU16(out.data() + lenOffset, Uint16(text.size()));
  std::copy(text.begin(), text.end(), out.begin() + std::ptrdiff_t(textOffset));
}

std::string GetText(ByteView in, std::size_t lenOffset, std::size_t textOffset, std::size_t cap) {
  std::size_t n = ReadU16(in.data() + lenOffset);
  if (n > cap) UError::Raise(errClassGeneral, errBadFormat);
  return std::string(reinterpret_cast<const char*>(in.data() + textOffset), n);
}

std::string Head(std::string_view s, std::size_t n) { return std::string(s.substr(0, std::min(n, s.size()))); }

void Lowercase(std::string& s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
}

SUserData RecordFromRequest(const SUserRequest& r) {
  SUserData u;
  u.name = Head(r.name, kAccountNameMax);
  u.field111 = Head(r.field111, kAccountField111Max);
  u.login = ComplementText(Head(r.wireLogin, kAccountLoginMax));
  u.password = Head(r.wirePassword, kAccountPasswordMax);
  u.access = SPrivilegeSet::FromBytes(r.access);
  return u;
}

SAccountReply Refused(std::string_view text) {
  SAccountReply r;
  r.text = std::string(text);
  return r;
}

template <typename R>
void FailWithCause(R& r, std::string text, const SError& e) {
  r.ok = false;
  r.text = std::move(text);
  r.hasCause = true;
  r.cause = e;
}

}  // namespace

Bytes EncodeUserData(const SUserData& u) {
  Bytes out(kUserDataSize, 0);
  WriteU16(out.data() + kOffVersion, kUserDataVersion);
  std::copy(u.access.bytes.begin(), u.access.bytes.end(), out.begin() + kOffAccess);
  PutText(out, kOffNameLen, kOffName, kAccountNameMax, u.name);
  PutText(out, kOffField111Len, kOffField111, kAccountField111Max, u.field111);
  PutText(out, kOffLoginLen, kOffLogin, kAccountLoginMax, u.login);
  PutText(out, kOffPasswordLen, kOffPassword, kAccountPasswordMax, u.password);
  return out;
}

SUserData DecodeUserData(ByteView in) {
  if (in.size() < kUserDataSize) UError::Raise(errClassGeneral, errBadFormat);
  if (ReadU16(in.data() + kOffVersion) != kUserDataVersion) UError::Raise(errClassGeneral, errBadVersion);
  SUserData u;
  u.access = SPrivilegeSet::FromBytes(in.subspan(kOffAccess, kPrivilegeSetSize));
  u.name = GetText(in, kOffNameLen, kOffName, kAccountNameMax);
  u.field111 = GetText(in, kOffField111Len, kOffField111, kAccountField111Max);
  u.login = GetText(in, kOffLoginLen, kOffLogin, kAccountLoginMax);
  u.password = GetText(in, kOffPasswordLen, kOffPassword, kAccountPasswordMax);
  return u;
}

std::string ComplementText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(0xFF - Uint8(c));
  return out;
}

bool IsSafeAccountLogin(std::string_view login) {
  if (login.empty() || login == "." || login == "..") return false;
  // A folder name is at most 255 bytes; nothing longer can name an account.
  if (login.size() > 255) return false;
  for (char c : login)
    if (c == '/' || c == '\0' || c == '\r') return false;
  return true;
}

std::string LoginLookupName(std::string_view wireLogin) {
  std::string login = ComplementText(Head(wireLogin, kRequestTextMax));
  if (login.empty()) return std::string(kGuestLogin);
  Lowercase(login);
  std::replace(login.begin(), login.end(), '\r', '-');
  return login;
}

std::string SanitizeUserName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    Uint8 b = Uint8(c);
    if (b < 32 || b >= 127) c = '*';
  }
  return out;
}

Int16 MapUserIcon(Int16 icon) { return icon == kReservedIcon ? kReservedIconStandIn : icon; }

std::string QuotedName(std::string_view name) {
  std::string out = "\xD2";
  out.append(name);
  out += "\xD3";
  return out;
}

std::string CMyAccountStore::AccountFolder(std::string_view login) const {
  if (!IsSafeAccountLogin(login)) return {};
  std::string name = diskio::FindNameIgnoringCase(folder_, login);
  if (name.empty()) return {};
  std::string path = diskio::Join(folder_, name);
  return diskio::IsFolder(path) ? path : std::string();
}

bool CMyAccountStore::IsMissingAccount(const SError& e) {
  return e.Is(errClassFiles, errPathNotFound) || e.Is(errClassFiles, errFileNotFound) || e.Is(errClassFiles, 104);
}

SUserData CMyAccountStore::Read(std::string_view login) const {
  std::string dir = AccountFolder(login);
  if (dir.empty()) UError::Raise(errClassFiles, errPathNotFound);
  std::string file = diskio::Join(dir, kUserDataName);
  if (!diskio::IsFile(file)) UError::Raise(errClassFiles, errFileNotFound);
  return DecodeUserData(diskio::ReadUpTo(file, kUserDataSize));
}

void CMyAccountStore::Create(const SUserData& user) {
  if (!IsSafeAccountLogin(user.login)) UError::Raise(errClassFiles, errInvalidName);
  if (!diskio::FindNameIgnoringCase(folder_, user.login).empty()) UError::Raise(errClassFiles, errNameExists);
  Bytes image = EncodeUserData(user);
  std::string dir = diskio::Join(folder_, user.login);
  diskio::MakeFolder(dir);
  try {
    diskio::SaveWhole(diskio::Join(dir, kUserDataName), image);
  } catch (...) {
    // Leave no empty account folder behind: it would block the login forever.
    try {
      diskio::RemoveFolder(dir);
    } catch (const SError&) {
    }
    throw;
  }
}

void CMyAccountStore::Write(const SUserData& user) {
  if (!IsSafeAccountLogin(user.login)) UError::Raise(errClassFiles, errInvalidName);
  std::string dir = AccountFolder(user.login);
  if (dir.empty()) UError::Raise(errClassFiles, errPathNotFound);
  diskio::SaveWhole(diskio::Join(dir, kUserDataName), EncodeUserData(user));
}

void CMyAccountStore::Remove(std::string_view login) {
  std::string dir = AccountFolder(login);
  if (dir.empty()) UError::Raise(errClassFiles, errPathNotFound);
  std::string file = diskio::Join(dir, kUserDataName);
  if (diskio::IsFile(file)) diskio::RemoveFile(file);
  // Temporary files left by interrupted saves would keep the folder from going.
  const std::string tempPrefix = "." + std::string(kUserDataName) + ".";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(tempPrefix) && name.ends_with(".tmp") && entry.is_regular_file(ec))
      diskio::RemoveFile(entry.path().string());
  }
  diskio::RemoveFolder(dir);
}

SLoginResult CMyAccountStore::Login(const SLoginRequest& req) const {
  SLoginResult r;
  const std::string login = LoginLookupName(req.wireLogin);
  r.login = Head(login, kSessionTextMax);
  SUserData user;
  try {
    user = Read(login);
  } catch (const SError& e) {
    if (IsMissingAccount(e))
      r.text = std::string(kIncorrectLogin);
    else
      FailWithCause(r, "Cannot read user " + QuotedName(login) + ":", e);
    return r;
  }
  if (user.password != Head(req.wirePassword, kRequestTextMax)) {
    r.text = std::string(kIncorrectLogin);
    return r;
  }
  r.ok = true;
  r.accountName = Head(user.name, kSessionTextMax);
  r.icon = MapUserIcon(req.icon);
  r.access = user.access;
  r.userName = user.access.Has(CanUseAnyName) ? SanitizeUserName(Head(req.name, kRequestTextMax))
                                              : Head(user.name, kRequestTextMax);
  r.userName = Head(r.userName, kSessionTextMax);
  r.showAgreement = !user.access.Has(DontShowAgreement);
  return r;
}

SAccountReply CMyAccountStore::NewUser(const SPrivilegeSet& caller, const SUserRequest& req) {
  if (!caller.Has(CanCreateUsers)) return Refused(kNoCreateUsers);
  SUserData user = RecordFromRequest(req);
  if (!WithinPrivilegeCeiling(user.access, caller)) return Refused(kMoreAccessThanYourself);
  SAccountReply r;
  r.login = user.login;
  try {
    Create(user);
  } catch (const SError& e) {
    if (e.Is(errClassFiles, errNameExists))
      r.text = "Cannot create user " + QuotedName(user.login) + " because there is already a user with that login.";
    else
      FailWithCause(r, "Cannot create user " + QuotedName(user.login) + ":", e);
    return r;
  }
  r.ok = true;
  return r;
}

SAccountReply CMyAccountStore::DeleteUser(const SPrivilegeSet& caller, std::string_view wireLogin) {
  if (!caller.Has(CanDeleteUsers)) return Refused(kNoDeleteUsers);
  std::string login = ComplementText(Head(wireLogin, kRequestTextMax));
  Lowercase(login);
  SAccountReply r;
  r.login = login;
  try {
    Remove(login);
  } catch (const SError& e) {
    if (IsMissingAccount(e))
      r.text = "No user with login " + QuotedName(login) + ".";
    else
      FailWithCause(r, "Cannot delete user " + QuotedName(login) + ":", e);
    return r;
  }
  r.ok = true;
  return r;
}

SOpenUserResult CMyAccountStore::OpenUser(const SPrivilegeSet& caller, std::string_view plainLogin) const {
  SOpenUserResult r;
  if (!caller.Has(CanReadUsers)) {
    r.text = std::string(kNoGetUserInfo);
    return r;
  }
  const std::string login = Head(plainLogin, kRequestTextMax);
  r.login = login;
  SUserData user;
  try {
    user = Read(login);
  } catch (const SError& e) {
    if (IsMissingAccount(e))
      r.text = "No user with login " + QuotedName(login) + ".";
    else
      FailWithCause(r, "Cannot read user " + QuotedName(login) + ":", e);
    return r;
  }
  r.ok = true;
  r.name = user.name;
  r.wireLogin = ComplementText(login);
  if (!user.password.empty()) r.passwordMarker = "x";
  r.access = user.access;
  return r;
}

SAccountReply CMyAccountStore::SetUser(const SPrivilegeSet& caller, const SUserRequest& req, SPrivilegeSet* newAccess) {
  if (!caller.Has(CanModifyUsers)) return Refused(kNoModifyUsers);
  SUserData user = RecordFromRequest(req);
  std::string lower = user.login;
  Lowercase(lower);
  SAccountReply r;
  r.login = lower;
  if (req.wirePassword.size() == 1 && req.wirePassword[0] == '\0') {
    try {
      // The whole stored password is kept: cutting it would lock the account out.
      user.password = Read(lower).password;
    } catch (const SError& e) {
      if (IsMissingAccount(e))
        r.text = "No user with login " + QuotedName(lower) + ".";
      else
        FailWithCause(r, "Cannot read user " + QuotedName(lower) + ":", e);
      return r;
    }
  }
  try {
    Write(user);
  } catch (const SError& e) {
    // Modifying never creates an account: that needs CanCreateUsers and its ceiling.
    if (IsMissingAccount(e))
      r.text = "No user with login " + QuotedName(lower) + ".";
    else
      FailWithCause(r, "Cannot modify user " + QuotedName(lower) + ":", e);
    return r;
  }
  if (newAccess) *newAccess = user.access;
  r.ok = true;
  return r;
}

}  // namespace cv
