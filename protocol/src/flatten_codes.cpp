// Type and creator codes from names, file time stamps, the information fork and the
// resume record.
#include <algorithm>
#include <iterator>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "protocol/flatten.h"

namespace cv {

namespace {

constexpr std::size_t kExtensionKeep = 15;

// Offsets inside the information fork.
constexpr std::size_t kInfoType = 4, kInfoCreator = 8, kInfoFlags = 12, kInfoPlatformFlags = 16, kInfoCreated = 52,
                      kInfoModified = 60, kInfoScript = 68, kInfoNameLength = 70, kInfoName = 72;

// Offsets inside the resume record.
constexpr std::size_t kResumeVersion = 4, kResumeCount = 40, kResumeEntries = 42, kResumeEntrySize = 16;

}  // namespace

std::string_view LastPathComponent(std::string_view path) {
  const auto cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view FileExtension(std::string_view name) {
  name = LastPathComponent(name);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return name.substr(dot + 1, kExtensionKeep);
}

SFileCodes CodesFromName(std::string_view name) {
  SFileCodes codes;
  UFileSys::TypeAndCreatorFromName(LastPathComponent(name), codes.type, codes.creator);
  return codes;
}

SDateStamp StampFromFileTime(Int64 unixSeconds, Uint16 msecs) {
  // 0001-01-01 and 10000-01-01 00:00:00 UTC.
  constexpr Int64 kFirst = -62135596800, kEnd = 253402300800;
  if (unixSeconds < kFirst || unixSeconds >= kEnd || msecs > 999) return SDateStamp{1997, 0, 0};
  return StampFromUnix(unixSeconds, msecs);
}

bool IsSafeFlatName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

SFlatInfo InfoForFile(std::string_view path) {
  SFlatInfo info;
  const std::string_view name = LastPathComponent(path);
  info.name = std::string(name.substr(0, kFlatNameMax));
  info.codes = CodesFromName(name);  // from the whole name: the cut may drop the extension
  return info;
}

Bytes BuildInfoFork(const SFlatInfo& info) {
  const std::string_view name = std::string_view(info.name).substr(0, kFlatNameMax);
  const std::string_view comment = std::string_view(info.comment).substr(0, kInfoTextMax);
  if (!IsSafeFlatName(name)) UError::Raise(errClassFiles, errInvalidName);
  Bytes out(kInfoFixedSize + name.size() + comment.size(), 0);
  Uint8* p = out.data();
  WriteU32(p, info.platform);
  WriteU32(p + kInfoType, info.codes.type);
  WriteU32(p + kInfoCreator, info.codes.creator);
  WriteU32(p + kInfoFlags, info.flags);
  WriteU32(p + kInfoPlatformFlags, info.platformFlags);
  WriteStamp(p + kInfoCreated, info.created);
  WriteStamp(p + kInfoModified, info.modified);
  WriteU16(p + kInfoScript, info.nameScript);
  WriteU16(p + kInfoNameLength, Uint16(name.size()));
  std::copy(name.begin(), name.end(), p + kInfoName);
  Uint8* q = p + kInfoName + name.size();
  WriteU16(q, Uint16(comment.size()));
  std::copy(comment.begin(), comment.end(), q + 2);
  return out;
}

SFlatInfo ParseInfoFork(ByteView fork) {
  if (fork.size() < kInfoFixedSize) UError::Raise(errClassGeneral, errBadFormat);
  const Uint8* p = fork.data();
  SFlatInfo info;
  info.platform = ReadU32(p);
  info.codes = {ReadU32(p + kInfoType), ReadU32(p + kInfoCreator)};
  info.flags = ReadU32(p + kInfoFlags);
  info.platformFlags = ReadU32(p + kInfoPlatformFlags);
  info.created = ReadStamp(p + kInfoCreated);
  info.modified = ReadStamp(p + kInfoModified);
  info.nameScript = ReadU16(p + kInfoScript);
  const std::size_t nameLength = ReadU16(p + kInfoNameLength);
  // The fixed part already counts the comment length word.
  if (nameLength > kInfoTextMax || nameLength > fork.size() - kInfoFixedSize) {
    UError::Raise(errClassGeneral, errBadFormat);
  }
  info.name.assign(reinterpret_cast<const char*>(p + kInfoName), nameLength);
  const std::size_t commentAt = kInfoName + nameLength;
  const std::size_t commentLength = ReadU16(p + commentAt);
  if (commentLength > kInfoTextMax || commentLength > fork.size() - commentAt - 2) {
    UError::Raise(errClassGeneral, errBadFormat);
  }
  info.comment.assign(reinterpret_cast<const char*>(p + commentAt + 2), commentLength);
  if (!IsSafeFlatName(info.name)) UError::Raise(errClassFiles, errInvalidName);
  return info;
}

Bytes MakeResumeRecord(Uint64 heldBytes) {
  if (heldBytes > 0xFFFFFFFFu) UError::Raise(errClassGeneral, errFieldTooLarge);
  Bytes out(kResumeRecordSize, 0);
  Uint8* p = out.data();
  WriteU32(p, kResumeMagic);
  WriteU16(p + kResumeVersion, kFlatVersion);
  // Two entries are announced although one follows; readers stop at the record's end.
  WriteU16(p + kResumeCount, 2);
  WriteU32(p + kResumeEntries, kForkData);
  WriteU32(p + kResumeEntries + 4, Uint32(heldBytes));
  return out;
}

Uint32 ResumeOffset(ByteView record) {
  if (record.size() < kResumeRecordMinSize) UError::Raise(errClassGeneral, errBadArgument);
  const Uint8* p = record.data();
  if (ReadU32(p) != kResumeMagic) UError::Raise(errClassGeneral, errBadFormat);
  if (ReadU16(p + kResumeVersion) != kFlatVersion) UError::Raise(errClassGeneral, errBadVersion);
  const std::size_t size = std::min(record.size(), kResumeRecordMax);
  const std::size_t fit = (size - kResumeEntries) / kResumeEntrySize;
  const std::size_t count = std::min<std::size_t>(ReadU16(p + kResumeCount), fit);
  Uint32 offset = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const Uint8* e = p + kResumeEntries + i * kResumeEntrySize;
    if (ReadU32(e) == kForkData) offset = ReadU32(e + 4);
  }
  return offset;
}

}  // namespace cv
