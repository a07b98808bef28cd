#include "protocol/privileges.h"

#include <algorithm>

namespace cv {

namespace {

constexpr SPrivilegeInfo kPrivileges[] = {
    {CanDeleteFiles, "CanDeleteFiles", "Can Delete Files"},
    {CanUploadFiles, "CanUploadFiles", "Can Upload Files"},
    {CanDownloadFiles, "CanDownloadFiles", "Can Download Files"},
    {CanRenameFiles, "CanRenameFiles", "Can Rename Files"},
    {CanMoveFiles, "CanMoveFiles", "Can Move Files"},
    {CanCreateFolders, "CanCreateFolders", "Can Create Folders"},
    {CanDeleteFolders, "CanDeleteFolders", "Can Delete Folders"},
    {CanRenameFolders, "CanRenameFolders", "Can Rename Folders"},
    {CanMoveFolders, "CanMoveFolders", "Can Move Folders"},
    {CanReadChat, "CanReadChat", "Can Read Chat"},
    {CanSendChat, "CanSendChat", "Can Send Chat"},
    {CanCreateUsers, "CanCreateUsers", "Can Create Users"},
    {CanDeleteUsers, "CanDeleteUsers", "Can Delete Users"},
    {CanReadUsers, "CanReadUsers", "Can Read Users"},
    {CanModifyUsers, "CanModifyUsers", "Can Modify Users"},
    {CanReadNews, "CanReadNews", "Can Read News"},
    {CanPostNews, "CanPostNews", "Can Post News"},
    {CanDisconnectUsers, "CanDisconnectUsers", "Can Disconnect Users"},
    {CannotBeDisconnected, "CannotBeDisconnected", "Cannot be Disconnected"},
    {CanGetUserInfo, "CanGetUserInfo", "Can Get User Info"},
    {CanUploadAnywhere, "CanUploadAnywhere", "Can Upload Anywhere"},
    {CanUseAnyName, "CanUseAnyName", "Can Use Any Name"},
    {DontShowAgreement, "DontShowAgreement", "Don't Show Agreement"},
    {CanCommentFiles, "CanCommentFiles", "Can Comment Files"},
    {CanCommentFolders, "CanCommentFolders", "Can Comment Folders"},
    {CanViewDropBoxes, "CanViewDropBoxes", "Can View Drop Boxes"},
    {CanMakeAliases, "CanMakeAliases", "Can Make Aliases"},
};

static_assert(std::is_sorted(std::begin(kPrivileges), std::end(kPrivileges),
                             [](const SPrivilegeInfo& a, const SPrivilegeInfo& b) { return a.bit < b.bit; }),
              "the table is kept in bit order");

}  // namespace

std::span<const SPrivilegeInfo> PrivilegeTable() { return kPrivileges; }

const SPrivilegeInfo* FindPrivilege(unsigned bit) {
  for (const auto& p : kPrivileges)
    if (p.bit == bit) return &p;
  return nullptr;
}

const SPrivilegeInfo* FindPrivilege(std::string_view name) {
  for (const auto& p : kPrivileges)
    if (p.name == name) return &p;
  return nullptr;
}

SPrivilegeSet SPrivilegeSet::FromBytes(ByteView data) {
  SPrivilegeSet s;
  std::copy_n(data.begin(), std::min(data.size(), kPrivilegeSetSize), s.bytes.begin());
  return s;
}

bool WithinPrivilegeCeiling(const SPrivilegeSet& wanted, const SPrivilegeSet& held) {
  SPrivilegeSet w = wanted;
  w.Clear(DontShowAgreement);
  for (std::size_t i = 0; i < kPrivilegeSetSize; ++i)
    if ((w.bytes[i] & ~held.bytes[i]) != 0) return false;
  return true;
}

}  // namespace cv
