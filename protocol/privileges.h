// Privilege sets: 8 bytes stored and sent raw. Bit n lies in byte n / 8 under the mask
// 0x80 >> (n % 8), so bit 0 is the top bit of the first byte. Only the named bits are
// ever tested; every other bit is kept, copied and sent unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "framework/types.h"

namespace cv {

enum EPrivilege : Uint8 {
  CanDeleteFiles = 0,
  CanUploadFiles = 1,
  CanDownloadFiles = 2,
  CanRenameFiles = 3,
  CanMoveFiles = 4,
  CanCreateFolders = 5,
  CanDeleteFolders = 6,
  CanRenameFolders = 7,
  CanMoveFolders = 8,
  CanReadChat = 9,
  CanSendChat = 10,
  CanCreateUsers = 14,
  CanDeleteUsers = 15,
  CanReadUsers = 16,
  CanModifyUsers = 17,
  CanReadNews = 20,
  CanPostNews = 21,
  CanDisconnectUsers = 22,
  CannotBeDisconnected = 23,
  CanGetUserInfo = 24,
  CanUploadAnywhere = 25,
  CanUseAnyName = 26,
  DontShowAgreement = 27,
  CanCommentFiles = 28,
  CanCommentFolders = 29,
  CanViewDropBoxes = 30,
  CanMakeAliases = 31,
};

constexpr std::size_t kPrivilegeSetSize = 8;
constexpr unsigned kPrivilegeBits = 64;

// One named bit: its number, its code name and the label the account window shows.
struct SPrivilegeInfo {
  Uint8 bit;
  std::string_view name;
  std::string_view label;
};

// Every named bit, in bit order.
std::span<const SPrivilegeInfo> PrivilegeTable();
// The entry for a bit number, or nullptr when the bit has no name.
const SPrivilegeInfo* FindPrivilege(unsigned bit);
// The entry with this code name ("CanSendChat"), or nullptr.
const SPrivilegeInfo* FindPrivilege(std::string_view name);

constexpr std::size_t PrivilegeByte(unsigned bit) { return bit / 8; }
constexpr Uint8 PrivilegeMask(unsigned bit) { return Uint8(0x80u >> (bit % 8)); }

struct SPrivilegeSet {
  std::array<Uint8, kPrivilegeSetSize> bytes{};

  // Bits at or beyond 64 are never held.
  bool Has(unsigned bit) const { return bit < kPrivilegeBits && (bytes[PrivilegeByte(bit)] & PrivilegeMask(bit)) != 0; }
  // Bits at or beyond 64 are ignored.
  void Set(unsigned bit, bool on = true) {
    if (bit >= kPrivilegeBits) return;
    if (on)
      bytes[PrivilegeByte(bit)] |= PrivilegeMask(bit);
    else
      bytes[PrivilegeByte(bit)] &= Uint8(~PrivilegeMask(bit));
  }
  void Clear(unsigned bit) { Set(bit, false); }

  // Up to 8 bytes from a field; missing trailing bytes are 0.
  static SPrivilegeSet FromBytes(ByteView data);
  Uint64 ToU64() const { return ReadU64(bytes.data()); }
  static SPrivilegeSet FromU64(Uint64 v) {
    SPrivilegeSet s;
    WriteU64(s.bytes.data(), v);
    return s;
  }

  bool operator==(const SPrivilegeSet&) const = default;
};

// True when every bit of wanted, DontShowAgreement aside, is also in held: an account
// may only be created with privileges that its creator holds.
bool WithinPrivilegeCeiling(const SPrivilegeSet& wanted, const SPrivilegeSet& held);

}  // namespace cv
