// Flattened files: the byte stream a file travels as on a transfer connection, and
// the resume record that lets a receiver holding the first part of a file ask the
// sender to start further on.
//
// Stream: a 24-byte header ('FILP', version 1, fork count), then forks, each a
// 16-byte fork header (type, compression 0, length) and that many bytes. We write
// an 'INFO' fork (platform, type and creator, dates, name, comment) and a 'DATA'
// fork (the file's bytes from the start offset to the end). A reader skips fork
// types it does not know.
//
// Both directions are incremental cursors that take or give bytes in pieces of any
// size, so the transfer code can feed them straight from sockets. File I/O stays
// outside: the flattener pulls data-fork bytes from a source and the unflattener
// pushes them to a sink, both with explicit file offsets. Nothing but the headers
// and the information fork is held in memory.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "framework/types.h"

namespace cv {

constexpr Uint32 kFlatMagic = FourCC("FILP");
constexpr Uint32 kResumeMagic = FourCC("RFLT");
constexpr Uint32 kForkInfo = FourCC("INFO");
constexpr Uint32 kForkData = FourCC("DATA");
constexpr Uint32 kForkResource = FourCC("MACR");
constexpr Uint32 kPlatformOurs = FourCC("MWIN");
constexpr Uint16 kFlatVersion = 1;

constexpr std::size_t kFlatHeaderSize = 24;
constexpr std::size_t kForkHeaderSize = 16;
constexpr std::size_t kInfoFixedSize = 74;        // information fork without name and comment bytes
constexpr std::size_t kFlatNameMax = 63;          // names we write are cut to this
constexpr std::size_t kInfoTextMax = 255;         // longest name or comment we accept from others
constexpr std::size_t kInfoForkKeep = 592;        // room for a received information fork
constexpr std::size_t kResumeRecordSize = 58;     // the record we write
constexpr std::size_t kResumeRecordMinSize = 42;  // shortest record we accept
constexpr std::size_t kResumeRecordMax = 1024;    // longest record we look into

// Type and creator codes. The host stores none, so they come from the name.
struct SFileCodes {
  Uint32 type = 0;
  Uint32 creator = 0;
  bool operator==(const SFileCodes&) const = default;
};

constexpr SFileCodes kFolderCodes{FourCC("fldr"), 0};
constexpr SFileCodes kBrokenAliasCodes{FourCC("alis"), 0};
constexpr SFileCodes kPartialFileCodes{FourCC("CVft"), FourCC("CVCL")};
constexpr SFileCodes kDefaultFileCodes{FourCC("BINA"), FourCC("dosa")};

// The last path component of a name or path ('/' or '\' separated).
std::string_view LastPathComponent(std::string_view path);
// The text after the last dot of the last path component, at most 15 bytes of it;
// empty when there is no dot.
std::string_view FileExtension(std::string_view name);
// Codes for a file of this name: extensions of 1 to 3 characters are looked up
// without regard to case; anything else is 'BINA'/'dosa'.
SFileCodes CodesFromName(std::string_view name);

// A host file time (seconds since 1970 UTC) as a stamp; a time outside the years
// 1 to 9999 gives 1 January 1997.
SDateStamp StampFromFileTime(Int64 unixSeconds, Uint16 msecs = 0);

// The information fork's content. Texts are Mac OS Roman bytes.
struct SFlatInfo {
  Uint32 platform = kPlatformOurs;
  SFileCodes codes = kDefaultFileCodes;
  Uint32 flags = 0;
  Uint32 platformFlags = 0;
  SDateStamp created{};   // we write zeros here
  SDateStamp modified{};  // and here
  Uint16 nameScript = 0;
  std::string name;
  std::string comment;  // we write none
};

// The information fork we send for a file: its last path component cut to 63 bytes,
// codes from that name, zero dates, no comment.
SFlatInfo InfoForFile(std::string_view path);

// Encodes an information fork; the name is cut to 63 bytes and the comment to 255.
// A name that is empty, ".", "..", or holds "/" or NUL raises (4, 119).
Bytes BuildInfoFork(const SFlatInfo& info);
// Decodes one; a fork too short for its lengths, or with a name or comment longer
// than 255 bytes, raises (1, 8); a name as refused above raises (4, 119).
SFlatInfo ParseInfoFork(ByteView fork);
// Whether a received name may be used as a file name (not empty, ".", ".." and
// holding no "/" or NUL).
bool IsSafeFlatName(std::string_view name);

// Resume record: 'RFLT', version 1, reserved, entry count 2, one 'DATA' entry with
// the number of data bytes the receiver already holds.
Bytes MakeResumeRecord(Uint64 heldBytes);  // more than 32 bits of it raises (1, 10)
// The 'DATA' offset a record asks for (0 when it has no 'DATA' entry). Shorter than
// 42 bytes raises (1, 2), a wrong magic (1, 8), another version (1, 7).
Uint32 ResumeOffset(ByteView record);

// Fills buf with up to count bytes of the file from offset; returns how many it
// gave, 0 at the file's end. A short answer is asked again for the rest.
using FlatSource = std::function<std::size_t(Uint64 offset, Uint8* buf, std::size_t count)>;
// Takes bytes that belong at offset of the file.
using FlatSink = std::function<void(Uint64 offset, ByteView bytes)>;

// The sending side's cursor over header, information fork, data fork (and an
// optional resource fork). The stream's length is fixed when it is opened; a
// source that comes up short because the file shrank raises (1, 3).
class CFlattener {
 public:
  // fileSize is the data fork's file length; the fork holds bytes startOffset..end
  // (none when startOffset is not below fileSize). A stream longer than 32 bits can
  // count raises (1, 10); a bad name raises (4, 119).
  CFlattener(const SFlatInfo& info, Uint64 fileSize, FlatSource dataSource, Uint64 startOffset = 0);
  // Starts the data fork where a resume record says (errors of ResumeOffset).
  static CFlattener FromResume(const SFlatInfo& info, Uint64 fileSize, FlatSource dataSource, ByteView record);

  // Appends a resource fork after the data fork; once, before the first Read, else (1, 3).
  void AddResourceFork(Uint64 size, FlatSource source);

  // Produces the next bytes of the stream: count unless the stream ends first.
  std::size_t Read(Uint8* buf, std::size_t count);

  Uint32 Size() const { return Uint32(size_); }
  Uint32 Position() const { return Uint32(pos_); }
  Uint32 Remaining() const { return Uint32(size_ - pos_); }
  bool AtEnd() const { return pos_ == size_; }
  Uint64 DataStart() const { return start_; }
  Uint32 DataLength() const { return Uint32(dataLength_); }

 private:
  std::size_t ReadFork(Uint64 at, Uint8* buf, std::size_t count, const FlatSource& source, Uint64 fileOffset);
  void Recompute();

  Bytes prefix_;  // stream header, information fork, data fork header
  Bytes resourceHeader_;
  FlatSource dataSource_;
  FlatSource resourceSource_;
  Uint64 start_ = 0;
  Uint64 dataLength_ = 0;
  Uint64 resourceLength_ = 0;
  bool hasResource_ = false;
  Uint64 size_ = 0;
  Uint64 pos_ = 0;
};

// The receiving side's cursor. Raises on a damaged stream: wrong magic (1, 8),
// another version (1, 7), a compression type other than 0 (1, 8), a second 'INFO'
// or 'DATA' fork (1, 8), a data fork reaching past 64 bits (1, 8). After an error
// every further Write raises (1, 3).
class CUnflattener {
 public:
  // Data-fork bytes go to dataSink at startOffset + their position in the fork.
  explicit CUnflattener(FlatSink dataSink, Uint64 startOffset = 0);
  // Takes resource fork bytes instead of skipping them; before they arrive.
  void SetResourceSink(FlatSink sink) { resourceSink_ = std::move(sink); }

  // Consumes the next part of the stream, all of it.
  void Write(ByteView bytes);
  void Write(const void* p, std::size_t n) { Write(ByteView(static_cast<const Uint8*>(p), n)); }

  // The information fork kept so far (its first 592 bytes), once it has fully arrived.
  std::optional<ByteView> InfoFork() const;
  // The decoded information fork (errors of ParseInfoFork); none before it arrived.
  std::optional<SFlatInfo> Info() const;

  Uint64 StartOffset() const { return start_; }
  Uint64 Consumed() const { return consumed_; }
  Uint64 DataReceived() const { return dataReceived_; }
  bool DataComplete() const { return dataDone_; }
  // True between forks, where a stream may end.
  bool AtForkBoundary() const { return state_ == State::forkHeader && have_ == 0; }
  // Checks that the stream ended whole: header read, no fork cut short, a data
  // fork received. Raises (1, 8) otherwise.
  void Finish() const;

 private:
  enum class State { header, forkHeader, forkData, failed };
  void TakeHeader();
  void TakeForkHeader();
  void EndFork();
  [[noreturn]] void Fail(Int16 id, const char* trace = nullptr);

  FlatSink dataSink_;
  FlatSink resourceSink_;
  Uint64 start_;
  State state_ = State::header;
  Uint8 buf_[kFlatHeaderSize]{};
  std::size_t have_ = 0;
  Uint32 forkType_ = 0;
  Uint32 forkLength_ = 0;
  Uint32 forkPos_ = 0;
  Bytes info_;
  bool infoSeen_ = false;
  bool infoDone_ = false;
  bool dataSeen_ = false;
  bool resourceSeen_ = false;
  bool dataDone_ = false;
  Uint64 dataReceived_ = 0;
  Uint64 consumed_ = 0;
};

}  // namespace cv
