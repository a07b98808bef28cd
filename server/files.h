// The file library: the folder tree that logged-in users browse, inspect and change.
//
// Every request finds the user's root afresh (the account's own "Files" folder when it has
// one, else the server's "Files") and opens it as a file system root, so that no path,
// name, alias or symbolic link in a request can lead outside it. Items that would lead
// outside are simply not there: they get the handler's not-found text.
//
// Uploads and downloads use the same root, path and folder rules (UserRoot, ResolveFolder,
// IsUploadFolderName).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "framework/types.h"
#include "protocol/fields.h"
#include "server/accounts.h"
#include "server/serverlog.h"
#include "server/session.h"

namespace cv {

// A folder whose own name holds "drop box" (any case): its items are hidden from users
// without CanViewDropBoxes, except incomplete uploads.
bool IsDropBoxName(std::string_view name);
// A folder whose own name holds "upload" or "drop box" (any case).
bool IsUploadFolderName(std::string_view name);

// One FileNameWithInfo entry: type, creator, size (32 bits), 4 reserved bytes, script 0,
// name length (16 bits) and the name (at most 255 bytes).
Bytes FileListEntry(const SFSListItem& item);

// The texts shown for type and creator codes in file information.
std::string TypeDisplayName(Uint32 type);
std::string CreatorDisplayName(Uint32 creator);

class CMyFileService {
 public:
  // The error's description, a CR and its detail line (for replies with a cause).
  using TDescribe = std::function<std::string(const SError&)>;

  // filesFolder: the server's library folder (host path). accounts gives the account
  // folders where private libraries live. Successful changes are logged to log.
  CMyFileService(std::string filesFolder, CMyAccountStore& accounts, CMyServerLog& log, TDescribe describe = {});

  // Serves the seven file library requests through the session table.
  void Install(CMySessions& sessions);

  // The user's root, opened as a root of its own; none when neither folder can be opened.
  UFileSys::TFSRefPtr UserRoot(const SClientRecord& record) const;
  // The folder a protocol path names beneath root (aliases followed); none when there is
  // no such folder or it lies outside root. An empty or short path is root itself.
  static UFileSys::TFSRefPtr ResolveFolder(TFSRef root, ByteView path);

  void GetFileList(SClientRecord& record, const UFieldData& request, SReply& reply);
  void GetFileInfo(SClientRecord& record, const UFieldData& request, SReply& reply);
  void SetFileInfo(SClientRecord& record, const UFieldData& request, SReply& reply);
  void DeleteFile(SClientRecord& record, const UFieldData& request, SReply& reply);
  void NewFolder(SClientRecord& record, const UFieldData& request, SReply& reply);
  void MoveFile(SClientRecord& record, const UFieldData& request, SReply& reply);
  void MakeFileAlias(SClientRecord& record, const UFieldData& request, SReply& reply);

 private:
  std::string Describe(const SError& e) const;
  void FailWithCause(SReply& reply, std::string_view text, const SError& e) const;
  void LogAfter(SReply& reply, const SClientRecord& record, std::string text);

  std::string filesFolder_;
  CMyAccountStore& accounts_;
  CMyServerLog& log_;
  TDescribe describe_;
};

}  // namespace cv
