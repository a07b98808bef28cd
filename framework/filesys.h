// File system access: every file and folder the programs touch goes through UFileSys.
//
// A file object (TFSRef) is built from a base folder and names and never leaves its root:
// names, protocol paths, aliases and symbolic links are all resolved beneath it. A special
// folder is the root of the objects made from it; an object passes its root on to the
// objects made from it; NewRoot makes an object that is the root of its own tree (a file
// library served to others is opened that way, so that nothing in it leads elsewhere). Names that cannot be made safe
// ("", ".",
// "..", a slash or a NUL byte) are refused with (4, 119); anything that would lead outside
// the root is refused with (4, 117). Under the soft flags 0x001 / 0x002 such a name simply
// gives no object, the way a missing item does.
//
// This host keeps no type and creator codes: they are derived from the name's extension.
// Aliases are small ".lnk" files of our own (format in framework/src/filesys_alias.cpp).
//
// Whole-file saves (preferences, account records, news) go through SaveWhole, which
// writes a temporary file beside the target, syncs it and renames it over the target, so
// that a crash or a full disk never leaves a half-written file.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/types.h"

namespace cv {

struct SFSRef;
using TFSRef = SFSRef*;

// What a path names.
enum : Int16 {
  fsKindNoFolder = 0,     // missing, and its enclosing folder missing too
  fsKindMissing = 1,      // missing, enclosing folder present
  fsKindFile = 2,         // a file
  fsKindFolder = 3,       // a folder
  fsKindFileAlias = 4,    // an alias to a file
  fsKindFolderAlias = 5,  // an alias to a folder
  fsKindBrokenAlias = 6,  // an alias whose target cannot be found
};

// Resolve flags for New; they may be combined.
enum : Uint32 {
  fsSoftFolder = 0x001,     // the enclosing folder must exist, else no object
  fsSoftExists = 0x002,     // the item must exist, else no object
  fsSoftNotExists = 0x004,  // the item must not exist, else no object
  fsSoftFile = 0x008,       // the item must be a file, else no object
  fsSoftIsFolder = 0x010,   // the item must be a folder, else no object
  fsMustExist = 0x020,      // else (4,103) for a file, (4,104) for a folder, (4,102) otherwise
  fsMustNotExist = 0x040,   // else (4,115)
  fsMustBeFile = 0x080,     // else (4,124)
  fsMustBeFolder = 0x100,   // else (4,125)
  fsFollowAlias = 0x200,    // name the alias's target; (4,128) when it cannot be followed
};

// Ids raised by this module beyond the common ones of framework/errors.h (class 4).
enum : Int16 {
  errFolderNotFound = 104,  // 4,104: a folder was wanted and is missing, or the path is too long
  errIntoItself = 122,      // 4,122: a folder moved into itself or its own subfolder
  errNotAFile = 124,        // 4,124
  errNotAFolder = 125,      // 4,125
  errAliasBroken = 128,     // 4,128: an alias that cannot be followed
};

// The special base folders.
enum class EFSBase {
  SystemRoot,  // the root of the system disk
  AppFolder,   // the folder that holds the program
  AppFolder2,  // the same folder, under its second name
  UserData,    // the second standard location: the user's own settings folder
  Temp,        // the host's temporary folder
};

// A base for New: an existing file object or a special folder.
struct SFSBase {
  SFSBase(TFSRef r) : ref(r), isRef(true) {}
  SFSBase(EFSBase s) : special(s) {}
  TFSRef ref = nullptr;
  EFSBase special = EFSBase::SystemRoot;
  bool isRef = false;
};

// Open access; sharing says what other opens in this program may do meanwhile.
enum : Uint32 {
  fsRead = 0x01,
  fsWrite = 0x02,
  fsReadWrite = 0x03,
  fsShareRead = 0x10,  // also what an open without sharing bits allows
  fsShareWrite = 0x20,
  fsShareBoth = 0x30,
  fsShareNone = 0x40,  // no other open of the file meanwhile
};

// One item of a folder listing.
struct SFSListItem {
  std::string name;  // the item's own name on disk (an alias keeps its ".lnk")
  Int16 kind = fsKindFile;
  Uint32 type = 0;
  Uint32 creator = 0;
  Uint64 size = 0;  // a file's length, or a folder's number of items
  SDateStamp created;
  SDateStamp modified;
};

// Listing entries as a block: type, creator, size (32 bits), flags (32 bits, 0), a reserved
// word, creation and modification stamps, name length (1 byte) and the name.
constexpr std::size_t kFSListEntryFixed = 4 + 4 + 4 + 4 + 2 + 8 + 8 + 1;

constexpr std::size_t kFSMaxPath = 4096;

namespace UFileSys {

// Makes a file object, or none as the flags say. A folder text is a counted-string style
// path whose components are separated by carriage returns; the name is one component. With
// both, the folder text is appended first. kindOut receives the kind that was found.
TFSRef New(SFSBase base, std::optional<std::string_view> folderText, std::optional<std::string_view> name, Uint32 flags,
           Int16* kindOut = nullptr);
// Like New, but the object becomes the root of everything made from it.
TFSRef NewRoot(SFSBase base, std::optional<std::string_view> folderText, std::optional<std::string_view> name,
               Uint32 flags, Int16* kindOut = nullptr);
// From a protocol path (count, then per component 2 ignored bytes, a length byte and the
// name). Without a name, the path's last component is the item.
TFSRef NewFromPath(SFSBase base, const void* path, std::size_t pathSize, std::optional<std::string_view> name,
                   Uint32 flags, Int16* kindOut = nullptr);
TFSRef Clone(TFSRef ref);
void Dispose(TFSRef ref);

struct Disposer {
  void operator()(TFSRef r) const { Dispose(r); }
};
using TFSRefPtr = std::unique_ptr<SFSRef, Disposer>;

// Kind 0 to 6; following an alias makes the object name the alias's target.
Int16 GetKind(TFSRef ref, bool followAlias);
std::string GetPath(TFSRef ref);        // the full host path
std::string GetRootPath(TFSRef ref);    // the folder this object may not leave
std::string GetName(TFSRef ref);        // last path component
std::string GetParentName(TFSRef ref);  // second-to-last path component

// Codes derived from a name's extension; folders and broken aliases get 'fldr' / 'alis'.
void TypeAndCreatorFromName(std::string_view name, Uint32& type, Uint32& creator);
void GetTypeAndCreator(TFSRef ref, Uint32& type, Uint32& creator);
void GetDates(TFSRef ref, SDateStamp& created, SDateStamp& modified);
std::string GetComment(TFSRef ref);                     // always empty
void SetComment(TFSRef ref, std::string_view comment);  // accepted and ignored

void CreateFile(TFSRef ref, Uint32 type, Uint32 creator);  // the codes are not stored
void CreateFolder(TFSRef ref);
void Delete(TFSRef ref);
void Rename(TFSRef ref, std::string_view newName);
void Move(TFSRef ref, TFSRef destFolder);

// Makes an alias to target at aliasRef's path (".lnk" appended unless present); aliasRef
// then names the alias file.
void MakeAlias(TFSRef aliasRef, TFSRef target);
// Follows the alias that ref names (without changing ref); false when it cannot be followed.
bool ResolveAlias(TFSRef ref, std::string* targetPath = nullptr, Int16* targetKind = nullptr);

void Open(TFSRef ref, Uint32 access);
void Close(TFSRef ref);
bool IsOpen(TFSRef ref);
std::size_t ReadAt(TFSRef ref, Uint64 offset, void* buffer, std::size_t count);
std::size_t WriteAt(TFSRef ref, Uint64 offset, const void* data, std::size_t count);
Uint64 GetSize(TFSRef ref);  // of the open file when open
// The open file's descriptor (-1 when not open), for sending it with UTransport::SendFile;
// it stays the object's own.
int GetDescriptor(TFSRef ref);
void SetSize(TFSRef ref, Uint64 size);

std::vector<SFSListItem> List(TFSRef folder);
Bytes ListFolder(TFSRef folder, Uint32& count);
// Reads the entry at offset in a listing block and moves offset past it; false at the end
// or on a damaged block.
bool ReadListEntry(ByteView block, std::size_t& offset, SFSListItem& item);
Uint32 CountItems(TFSRef folder);

Uint64 FreeSpace(TFSRef ref);
bool IsLocked(TFSRef ref);  // this host layer always answers no

// Replaces folder/name with bytes in one step: a crash or a failure leaves the old content.
void SaveWhole(TFSRef folder, std::string_view name, ByteView bytes);
// The whole content of an existing file, at most maxSize bytes (else (1, 10)).
Bytes LoadWhole(TFSRef ref, std::size_t maxSize);

// The program's folder is found from the running executable; tests and embedders may set it.
void SetAppFolder(std::string_view hostPath);

// Resolves with the portable check that kernels without openat2 get; for tests.
void SetBeneathFallbackForTesting(bool on);
// Makes the next SaveWhole fail with this errno at its write step (0 to clear); for tests.
void SetSaveFaultForTesting(int errnoValue);

}  // namespace UFileSys
}  // namespace cv
