// The file library's requests: listing, information, renaming, deleting, new folders,
// moves and aliases, all beneath the requesting user's root.
#include "server/files.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <system_error>

#include "protocol/catalogue.h"
#include "protocol/privileges.h"

namespace cv {
namespace {

using UFileSys::TFSRefPtr;

constexpr std::size_t kNameMax = 255;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

bool HoldsIgnoringCase(std::string_view name, std::string_view what) {
  return Lower(name).find(what) != std::string::npos;
}

bool EndsWithLnk(std::string_view name) { return name.size() >= 4 && Lower(name.substr(name.size() - 4)) == ".lnk"; }

std::string Quoted(std::string_view name) { return "\xD2" + std::string(name) + "\xD3"; }

std::string FourChars(Uint32 code) {
  std::string s(4, ' ');
  WriteU32(s.data(), code);
  return s;
}

bool IsFolderKind(Int16 kind) { return kind == fsKindFolder || kind == fsKindFolderAlias; }

// A host folder path as the file layer's folder text: components separated by CRs. Paths
// holding a CR or a backslash cannot be written that way; they give none.
std::optional<std::string> FolderText(const std::string& hostPath) {
  std::string text;
  for (char c : hostPath) {
    if (c == '\r' || c == '\\') return std::nullopt;
    text += c == '/' ? '\r' : c;
  }
  return text;
}

// A host folder opened as a root of its own; none when it is not an existing folder.
TFSRefPtr OpenRoot(const std::string& hostPath) {
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(hostPath, ec);
  if (ec || !std::filesystem::is_directory(real, ec)) return nullptr;
  const auto text = FolderText(real.string());
  if (!text) return nullptr;
  try {
    return TFSRefPtr(UFileSys::NewRoot(EFSBase::SystemRoot, *text, std::nullopt, fsSoftExists | fsSoftIsFolder));
  } catch (const SError&) {
    return nullptr;
  }
}

// The item that path and name name beneath root, aliases not followed; none when it is
// missing, unsafe or outside the root. kind receives what was found.
TFSRefPtr FindItem(TFSRef root, ByteView path, std::string_view name, Int16& kind) {
  kind = fsKindNoFolder;
  if (!root) return nullptr;
  try {
    return TFSRefPtr(UFileSys::NewFromPath(root, path.data(), path.size(), name, fsSoftExists, &kind));
  } catch (const SError&) {
    kind = fsKindNoFolder;
    return nullptr;
  }
}

ByteView FieldView(const UFieldData& request, Uint16 id) { return request.GetField(id); }

void AddU32Field(UFieldData& fields, Uint16 id, Uint32 value) {
  Uint8 b[4];
  WriteU32(b, value);
  fields.AddField(id, b, 4);
}

void AddStampField(UFieldData& fields, Uint16 id, const SDateStamp& stamp) {
  Uint8 b[8];
  WriteStamp(b, stamp);
  fields.AddField(id, b, 8);
}

std::string DefaultDescription(const SError& e) { return UError::MessageText(e) + "\r" + UError::IdText(e); }

}  // namespace

bool IsDropBoxName(std::string_view name) { return HoldsIgnoringCase(name, "drop box"); }

bool IsUploadFolderName(std::string_view name) {
  return HoldsIgnoringCase(name, "upload") || HoldsIgnoringCase(name, "drop box");
}

Bytes FileListEntry(const SFSListItem& item) {
  const std::size_t n = std::min(item.name.size(), kNameMax);
  Uint8 fixed[20] = {};
  WriteU32(fixed, item.type);
  WriteU32(fixed + 4, item.creator);
  WriteU32(fixed + 8, item.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : Uint32(item.size));
  WriteU16(fixed + 18, Uint16(n));
  Bytes out(fixed, sizeof fixed);
  AppendBytes(out, item.name.data(), n);
  return out;
}

std::string TypeDisplayName(Uint32 type) {
  switch (type) {
    case FourCC("APPL"):
      return "Application Program";
    case FourCC("SITD"):
      return "StuffIt Archive";
    case FourCC("TEXT"):
      return "Text File";
    case FourCC("CVft"):
      return "Incomplete File";
    case FourCC("CVbm"):
      return "Corvane Bookmark";
    default:
      return FourChars(type);
  }
}

std::string CreatorDisplayName(Uint32 creator) {
  switch (creator) {
    case FourCC("CVCL"):
    case FourCC("CVSV"):
      return "Corvane";
    case FourCC("SIT!"):
      return "StuffIt";
    case FourCC("ttxt"):
      return "SimpleText";
    default:
      return FourChars(creator);
  }
}

CMyFileService::CMyFileService(std::string filesFolder, CMyAccountStore& accounts, CMyServerLog& log,
                               TDescribe describe)
    : filesFolder_(std::move(filesFolder)), accounts_(accounts), log_(log), describe_(std::move(describe)) {}

void CMyFileService::Install(CMySessions& sessions) {
  using TMember = void (CMyFileService::*)(SClientRecord&, const UFieldData&, SReply&);
  const std::array<std::pair<Uint16, TMember>, 7> table{{
      {trn::GetFileList, &CMyFileService::GetFileList},
      {trn::GetFileInfo, &CMyFileService::GetFileInfo},
      {trn::SetFileInfo, &CMyFileService::SetFileInfo},
      {trn::DeleteFile, &CMyFileService::DeleteFile},
      {trn::NewFolder, &CMyFileService::NewFolder},
      {trn::MoveFile, &CMyFileService::MoveFile},
      {trn::MakeFileAlias, &CMyFileService::MakeFileAlias},
  }};
  for (const auto& entry : table) {
    const TMember member = entry.second;
    sessions.AddService(entry.first, [this, member](SClientRecord& record, const UFieldData& request, SReply& reply,
                                                    Uint32) { (this->*member)(record, request, reply); });
  }
}

UFileSys::TFSRefPtr CMyFileService::UserRoot(const SClientRecord& record) const {
  // An account folder holding "Files" has a private library.
  if (!record.login.empty()) {
    const std::string account = accounts_.AccountFolder(record.login);
    if (!account.empty()) {
      std::error_code ec;
      const std::string own = account + "/Files";
      if (std::filesystem::is_directory(own, ec)) return OpenRoot(own);
    }
  }
  return OpenRoot(filesFolder_);
}

UFileSys::TFSRefPtr CMyFileService::ResolveFolder(TFSRef root, ByteView path) {
  if (!root) return nullptr;
  try {
    return TFSRefPtr(UFileSys::NewFromPath(root, path.data(), path.size(), std::nullopt,
                                           fsSoftExists | fsSoftIsFolder | fsFollowAlias));
  } catch (const SError&) {
    return nullptr;
  }
}

std::string CMyFileService::Describe(const SError& e) const { return describe_ ? describe_(e) : DefaultDescription(e); }

void CMyFileService::FailWithCause(SReply& reply, std::string_view text, const SError& e) const {
  reply.ErrorWithCause(text, Describe(e));
}

void CMyFileService::LogAfter(SReply& reply, const SClientRecord& record, std::string text) {
  reply.after = [this, subject = record.Subject(), text = std::move(text)] { log_.Line(subject, text); };
}

void CMyFileService::GetFileList(SClientRecord& record, const UFieldData& request, SReply& reply) {
  static constexpr std::string_view kNotFound = "Cannot get file list because the specified folder could not be found.";
  const TFSRefPtr root = UserRoot(record);
  const ByteView path = FieldView(request, fld::FilePath);
  TFSRefPtr folder = ResolveFolder(root.get(), path);
  if (!folder) return reply.Error(kNotFound);
  const bool isRoot = UFileSys::GetPath(folder.get()) == UFileSys::GetRootPath(folder.get());
  // Only the folder's own name makes it a drop box; the root never is one.
  const bool hidden = !isRoot && IsDropBoxName(UFileSys::GetName(folder.get())) && !record.access.Has(CanViewDropBoxes);
  std::vector<SFSListItem> items;
  try {
    items = UFileSys::List(folder.get());
  } catch (const SError&) {
    return reply.Error(kNotFound);
  }
  for (const SFSListItem& item : items) {
    if (hidden && item.type != FourCC("CVft")) continue;
    reply.fields.AddField(fld::FileNameWithInfo, FileListEntry(item));
  }
}

void CMyFileService::GetFileInfo(SClientRecord& record, const UFieldData& request, SReply& reply) {
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const std::string notFound = "Cannot get info because there is no file/folder named " + Quoted(name) + ".";
  const TFSRefPtr root = UserRoot(record);
  Int16 kind = fsKindNoFolder;
  const TFSRefPtr item = FindItem(root.get(), FieldView(request, fld::FilePath), name, kind);
  if (!item) return reply.Error(notFound);
  try {
    // Aliases show what they lead to.
    TFSRefPtr target(UFileSys::Clone(item.get()));
    if (kind == fsKindFileAlias || kind == fsKindFolderAlias) UFileSys::GetKind(target.get(), true);
    UFieldData& f = reply.fields;
    if (kind == fsKindFile || kind == fsKindFileAlias) {
      Uint32 type = 0, creator = 0;
      UFileSys::GetTypeAndCreator(item.get(), type, creator);
      const Uint64 size = UFileSys::GetSize(target.get());
      AddU32Field(f, fld::FileType, type);
      f.AddText(fld::FileTypeString, kind == fsKindFileAlias ? FourChars(type) + " (alias)" : TypeDisplayName(type));
      f.AddText(fld::FileCreatorString, CreatorDisplayName(creator));
      AddU32Field(f, fld::FileSize, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : Uint32(size));
    } else {
      f.AddText(fld::FileTypeString, kind == fsKindFolder        ? "Folder"
                                     : kind == fsKindFolderAlias ? "Folder Alias"
                                                                 : "Unattached Alias");
      f.AddText(fld::FileCreatorString, "n/a");
      AddU32Field(f, fld::FileType, FourCC(kind == fsKindBrokenAlias ? "alis" : "fldr"));
    }
    f.AddText(fld::FileName, UFileSys::GetName(item.get()));
    if (kind != fsKindBrokenAlias) {
      SDateStamp created, modified;
      UFileSys::GetDates(target.get(), created, modified);
      AddStampField(f, fld::FileCreateDate, created);
      AddStampField(f, fld::FileModifyDate, modified);
      f.AddText(fld::FileComment, UFileSys::GetComment(target.get()));
    }
  } catch (const SError&) {
    // Gone or unreadable while we looked.
    reply.fields.Clear();
    reply.Error(notFound);
  }
}

void CMyFileService::SetFileInfo(SClientRecord& record, const UFieldData& request, SReply& reply) {
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const TFSRefPtr root = UserRoot(record);
  Int16 kind = fsKindNoFolder;
  const TFSRefPtr item = FindItem(root.get(), FieldView(request, fld::FilePath), name, kind);
  if (!item) return reply.Error("Cannot set info because there is no file/folder named " + Quoted(name) + ".");
  const bool folder = IsFolderKind(kind);

  const ByteView comment = FieldView(request, fld::FileComment);
  const bool hasComment = !comment.empty() && !(comment.size() == 1 && comment[0] == 0);
  if (hasComment && kind != fsKindBrokenAlias) {
    if (folder && !record.access.Has(CanCommentFolders))
      return reply.Error("You are not allowed set comments for folders.");
    if (!folder && !record.access.Has(CanCommentFiles))
      return reply.Error("You are not allowed set comments for files.");
    UFileSys::SetComment(item.get(), std::string_view(reinterpret_cast<const char*>(comment.data()), comment.size()));
  }

  const std::string newName = request.GetText(fld::FileNewName, kNameMax);
  if (newName.empty() || newName == name) return;
  if (folder && !record.access.Has(CanRenameFolders)) return reply.Error("You are not allowed to rename folders.");
  if (!folder && !record.access.Has(CanRenameFiles)) return reply.Error("You are not allowed to rename files.");
  if (IsDropBoxName(name) && !record.access.Has(CanViewDropBoxes))
    return reply.Error("You are not allowed to rename drop boxes.");
  try {
    // The file layer refuses names that are not one safe component, and never replaces
    // an item that already has the new name.
    UFileSys::Rename(item.get(), newName);
  } catch (const SError& e) {
    FailWithCause(reply, "Cannot set info for " + Quoted(name) + ":", e);
  }
}

void CMyFileService::DeleteFile(SClientRecord& record, const UFieldData& request, SReply& reply) {
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const TFSRefPtr root = UserRoot(record);
  Int16 kind = fsKindNoFolder;
  const TFSRefPtr item = FindItem(root.get(), FieldView(request, fld::FilePath), name, kind);
  if (!item) return reply.Error("Cannot delete " + Quoted(name) + " because it does not exist or cannot be found.");
  if (IsFolderKind(kind)) {
    if (!record.access.Has(CanDeleteFolders)) return reply.Error("You are not allowed to delete folders.");
  } else if (!record.access.Has(CanDeleteFiles)) {
    return reply.Error("You are not allowed to delete files.");
  }
  try {
    // An alias goes itself, never its target; a folder only when empty.
    UFileSys::Delete(item.get());
  } catch (const SError& e) {
    return FailWithCause(reply, "Cannot delete " + Quoted(name) + ":", e);
  }
  LogAfter(reply, record, "Delete " + Quoted(name));
}

void CMyFileService::NewFolder(SClientRecord& record, const UFieldData& request, SReply& reply) {
  if (!record.access.Has(CanCreateFolders)) return reply.Error("You are not allowed to create folders.");
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const TFSRefPtr root = UserRoot(record);
  const TFSRefPtr parent = ResolveFolder(root.get(), FieldView(request, fld::FilePath));
  if (!parent)
    return reply.Error("Cannot create folder " + Quoted(name) + " because the enclosing folder could not be found.");
  try {
    Int16 kind = fsKindNoFolder;
    const TFSRefPtr made(UFileSys::New(parent.get(), std::nullopt, name, 0, &kind));
    if (kind >= fsKindFile)
      return reply.Error("Cannot create folder " + Quoted(name) +
                         " because there is already a file or folder with that name.");
    UFileSys::CreateFolder(made.get());
  } catch (const SError& e) {
    return FailWithCause(reply, "Cannot create folder " + Quoted(name) + ":", e);
  }
  LogAfter(reply, record, "Create folder " + Quoted(name));
}

void CMyFileService::MoveFile(SClientRecord& record, const UFieldData& request, SReply& reply) {
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const TFSRefPtr root = UserRoot(record);
  Int16 kind = fsKindNoFolder;
  const TFSRefPtr item = FindItem(root.get(), FieldView(request, fld::FilePath), name, kind);
  if (!item) return reply.Error("Cannot move because there is no file/folder named " + Quoted(name) + ".");
  if (IsFolderKind(kind)) {
    if (!record.access.Has(CanMoveFolders)) return reply.Error("You are not allowed to move folders.");
  } else if (!record.access.Has(CanMoveFiles)) {
    return reply.Error("You are not allowed to move files.");
  }
  const TFSRefPtr dest = ResolveFolder(root.get(), FieldView(request, fld::FileNewPath));
  if (!dest) return reply.Error("Cannot move " + Quoted(name) + " because the destination folder could not be found.");
  try {
    UFileSys::Move(item.get(), dest.get());
  } catch (const SError& e) {
    if (e.Is(errClassFiles, errNameExists))
      return reply.Error("Cannot move " + Quoted(name) +
                         " because there is already a file/folder in the destination folder with the same name.");
    if (e.Is(errClassFiles, errNotSameDisk))
      return reply.Error("Cannot move " + Quoted(name) + " between different disks.");
    if (e.Is(errClassFiles, errIntoItself))
      return reply.Error("Cannot move " + Quoted(name) + " into itself or into a subfolder of itself.");
    return FailWithCause(reply, "Cannot move " + Quoted(name) + ":", e);
  }
  LogAfter(reply, record, "Move " + Quoted(name));
}

void CMyFileService::MakeFileAlias(SClientRecord& record, const UFieldData& request, SReply& reply) {
  if (!record.access.Has(CanMakeAliases)) return reply.Error("You are not allowed to make aliases.");
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const TFSRefPtr root = UserRoot(record);
  Int16 kind = fsKindNoFolder;
  const TFSRefPtr source = FindItem(root.get(), FieldView(request, fld::FilePath), name, kind);
  if (!source) return reply.Error("Cannot make alias because there is no file/folder named " + Quoted(name) + ".");
  const TFSRefPtr dest = ResolveFolder(root.get(), FieldView(request, fld::FileNewPath));
  if (!dest)
    return reply.Error("Cannot make alias of " + Quoted(name) + " because the destination folder could not be found.");
  const std::string exists = "Cannot make alias of " + Quoted(name) +
                             " because there is already a file/folder in the destination folder with the same name.";
  try {
    std::string aliasName = UFileSys::GetName(source.get());
    if (!EndsWithLnk(aliasName)) aliasName += ".lnk";
    Int16 there = fsKindNoFolder;
    const TFSRefPtr alias(UFileSys::New(dest.get(), std::nullopt, aliasName, 0, &there));
    if (there >= fsKindFile) return reply.Error(exists);
    // The target must lie beneath the same root; the file layer refuses anything else.
    UFileSys::MakeAlias(alias.get(), source.get());
  } catch (const SError& e) {
    if (e.Is(errClassFiles, errNameExists)) return reply.Error(exists);
    return FailWithCause(reply, "Cannot make alias of " + Quoted(name) + ":", e);
  }
  LogAfter(reply, record, "Alias " + Quoted(name));
}

}  // namespace cv
