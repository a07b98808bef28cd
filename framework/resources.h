// Resource files: numbered items (error texts, alerts, status texts, sounds, icons,
// pictures) addressed by a four-character type and a 32-bit id. A file's index is
// read once; an item's data is read on first use and kept while it is in use.
// Several files may be open; lookups search them newest (or most recently made
// current) first.
//
// File layout, big-endian: 'KRSF', version 1 (u16), 18 reserved bytes, index size
// (u32, at least 8), index position minus 32 (u32), item data from offset 32, then
// the index: its own position (u32), type count (u32), per type in ascending order
// the code (never 0), item count and items of 16 bytes: id (never 0, ascending),
// flags, data size, data position. All item data lies between offset 32 and the index.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/types.h"

namespace cv {

// Item types the programs use, and the form of their data.
inline constexpr Uint32 rezErrorTexts = FourCC("EMSG");  // id = error class; 'IVA1' item list (errors.h)
inline constexpr Uint32 rezAlert = FourCC("ALRT");       // SAlertTemplate, below
inline constexpr Uint32 rezString = FourCC("STR ");      // the text bytes themselves (Mac OS Roman)
inline constexpr Uint32 rezSound = FourCC("snd ");       // a RIFF WAVE file (PCM)
inline constexpr Uint32 rezIcon = FourCC("ICON");        // a PNG image, 32 x 32 or 16 x 16
inline constexpr Uint32 rezPicture = FourCC("PICT");     // a PNG image

inline constexpr Uint32 kRezMagic = FourCC("KRSF");
inline constexpr Uint16 kRezVersion = 1;

struct SRezFile;
using TRezFile = SRezFile*;

// The byte store beneath a resource file. Only read is needed for reading; Save needs
// read, write, setSize and control. read and write move the whole range or fail.
struct SRezProcs {
  std::function<bool(Uint64 offset, void* buffer, std::size_t size)> read;
  std::function<bool(Uint64 offset, const void* data, std::size_t size)> write;
  std::function<Uint64()> getSize;
  std::function<bool(Uint64 size)> setSize;
  std::function<bool()> control;  // flushes what was written
};

struct SRezItem {
  Uint32 id = 0;  // 0 on AddItem: a new id is chosen
  Uint32 flags = 0;
  Bytes data;
};

// Alert data: kind (u8: 0 note, 1 caution, 2 stop, 3 question), title (counted),
// message (counted; a formatter template that takes counted-string arguments, "%#s"),
// button count (u8, at most 3) and that many counted labels; button 1 is the default.
struct SAlertTemplate {
  enum Kind : Uint8 { kindNote = 0, kindCaution = 1, kindStop = 2, kindQuestion = 3 };
  Uint8 kind = kindNote;
  std::string title;
  std::string message;
  std::vector<std::string> buttons;

  Bytes Flatten() const;
  // False for malformed data; never reads past data.
  static bool Parse(ByteView data, SAlertTemplate& out);
};

namespace URez {

// Opens the file at path for reading and makes it the first searched. An absolute or
// relative path as given; OpenProgramFile takes a name in the program's own folder.
TRezFile OpenFile(const std::string& path);
TRezFile OpenProgramFile(std::string_view name);
// A resource file on any byte store; the index is read at once unless deferred.
TRezFile New(SRezProcs procs, bool defer = false);
// A resource file over bytes in memory (an empty image starts an empty file).
TRezFile NewInMemory(Bytes image = {});
// Unlinks the file from the search order and frees everything it holds. Accepts none.
void Dispose(TRezFile file);
// Disposes of every open file.
void DisposeAll();

void MakeCurrent(TRezFile file);
// The first file searched; none when no file is open.
TRezFile Current();
// The first open file, in search order, that has the item.
TRezFile FindFile(Uint32 type, Uint32 id);

// The item's data, read on first use; adds one to its use count. Not found: error
// (6, 101), or none with mayFail. The pointer stays valid until the matching release.
const Bytes* LoadItem(TRezFile file, Uint32 type, Uint32 id, bool mayFail = false);
void ReleaseItem(TRezFile file, Uint32 type, Uint32 id);
// A copy of an item's data from the first open file that has it; no use count kept.
std::optional<Bytes> Read(Uint32 type, Uint32 id);

bool HasItem(TRezFile file, Uint32 type, Uint32 id);
std::vector<Uint32> Types(TRezFile file);
std::vector<Uint32> Ids(TRezFile file, Uint32 type);
// Size of an item's data without loading it; none when absent.
std::optional<Uint32> ItemSize(TRezFile file, Uint32 type, Uint32 id);

// Editing. Ids already present: replaced with replace set (error (6, 103) while the
// item is loaded), else error (6, 104). Returns the id used.
Uint32 AddItem(TRezFile file, Uint32 type, SRezItem item, bool replace);
void ChangedItem(TRezFile file, Uint32 type, Uint32 id);
void RemoveItem(TRezFile file, Uint32 type, Uint32 id);
void SetItemHandle(TRezFile file, Uint32 type, Uint32 id, Bytes data);
bool IsChanged(TRezFile file);
// Writes the whole file back through its store.
void Save(TRezFile file);
// The file as it would be saved.
Bytes Image(TRezFile file);

// Typed lookups over the open files. Missing or malformed items give none.
std::optional<SAlertTemplate> GetAlert(Uint32 id);
std::optional<std::string> GetString(Uint32 id);

// The resource compiler: a manifest (UTF-8 text; the format is described in
// tools/rez/README.md) into a resource file image. Files named in it are read relative
// to baseDir. Raises (1, 8) with a message in `error` for a bad manifest.
Bytes CompileManifest(std::string_view manifest, const std::string& baseDir, std::string* error = nullptr);

}  // namespace URez

}  // namespace cv
