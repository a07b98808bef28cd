// The requests that set up downloads and uploads, reference numbers, and the client
// information text about running transfers.
#include <algorithm>

#include "protocol/catalogue.h"
#include "protocol/privileges.h"
#include "server/transfers.h"

namespace cv {
namespace {

using UFileSys::TFSRefPtr;

constexpr std::size_t kNameMax = 255;
constexpr std::size_t kPathMax = 2048;
constexpr std::size_t kResumeMax = 512;

std::string Quoted(std::string_view name) { return "\xD2" + std::string(name) + "\xD3"; }

std::string Cut(std::string_view s, std::size_t n) { return std::string(s.substr(0, std::min(s.size(), n))); }

bool EndsWithPartial(std::string_view name) {
  if (name.size() < kPartialSuffix.size()) return false;
  std::string tail(name.substr(name.size() - kPartialSuffix.size()));
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return tail == kPartialSuffix;
}

// A field cut to max bytes (longer fields are read only that far).
ByteView FieldUpTo(const UFieldData& request, Uint16 id, std::size_t max) {
  ByteView v = request.GetField(id);
  return v.size() > max ? v.first(max) : v;
}

// The item path and name name beneath root; none when it is unsafe or outside the root.
TFSRefPtr FindItem(TFSRef root, ByteView path, std::string_view name, Int16& kind) {
  kind = fsKindNoFolder;
  if (!root) return nullptr;
  try {
    return TFSRefPtr(UFileSys::NewFromPath(root, path.data(), path.size(), name, 0, &kind));
  } catch (const SError&) {
    kind = fsKindNoFolder;
    return nullptr;
  }
}

void AddU32(UFieldData& fields, Uint16 id, Uint32 value) {
  Uint8 b[4];
  WriteU32(b, value);
  fields.AddField(id, b, 4);
}

bool IsRoot(TFSRef folder) { return UFileSys::GetPath(folder) == UFileSys::GetRootPath(folder); }

// The folder that holds ref's item, by its host path.
std::string ParentPath(TFSRef ref) {
  std::string path = UFileSys::GetPath(ref);
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ParentName(std::string_view parentPath) {
  const std::size_t slash = parentPath.find_last_of('/');
  return std::string(slash == std::string::npos ? parentPath : parentPath.substr(slash + 1));
}

}  // namespace

CMyTransferService::CMyTransferService(CMyFileService& files, CMyServerLog& log, URandom& random, Uint16& serial,
                                       STransferHooks hooks)
    : files_(files), log_(log), random_(random), serial_(serial), hooks_(std::move(hooks)) {}

CMyTransferService::~CMyTransferService() { DropAll(); }

void CMyTransferService::Install(CMySessions& sessions) {
  sessions.AddService(trn::DownloadFile, [this](SClientRecord& r, const UFieldData& rq, SReply& reply, Uint32 now) {
    DownloadFile(r, rq, reply, now);
  });
  sessions.AddService(trn::UploadFile, [this](SClientRecord& r, const UFieldData& rq, SReply& reply, Uint32 now) {
    UploadFile(r, rq, reply, now);
  });
}

bool CMyTransferService::ReferenceInUse(const TransferReference& ref) const {
  for (const SDownload& d : downloads_)
    if (d.reference == ref) return true;
  for (const SUpload& u : uploads_)
    if (u.reference == ref) return true;
  return false;
}

TransferReference CMyTransferService::NextReference(bool download) {
  // The serial alone keeps references apart until it wraps; a live one is never handed
  // out twice.
  for (;;) {
    serial_ = Uint16(serial_ + 1);
    if (serial_ == 0) serial_ = 1;
    const Uint16 r = Uint16(random_.Draw(0, 0xFFFF));
    TransferReference ref = MakeTransferReference(r, serial_, download);
    if (!ReferenceInUse(ref)) return ref;
  }
}

std::string CMyTransferService::Describe(const SError& e) const {
  if (hooks_.describe) return hooks_.describe(e);
  return UError::MessageText(e) + "\r" + UError::IdText(e);
}

void CMyTransferService::ReportError(const SError& e) {
  if (hooks_.error) hooks_.error(e);
}

void CMyTransferService::Changed() {
  if (hooks_.statsChanged) hooks_.statsChanged();
}

void CMyTransferService::DownloadFile(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  if (!record.access.Has(CanDownloadFiles)) return reply.Error("You are not allowed to download files.");
  const Uint16 max = hooks_.maxDownloads ? hooks_.maxDownloads() : 100;
  if (downloads_.size() >= max)
    return reply.Error(
        "Cannot download because the maximum number of simultaneous downloads for this server has been reached.  "
        "Try again later.");
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const TFSRefPtr root = files_.UserRoot(record);
  Int16 kind = fsKindNoFolder;
  TFSRefPtr item = FindItem(root.get(), FieldUpTo(request, fld::FilePath, kPathMax), name, kind);
  if (item && kind == fsKindFileAlias) kind = UFileSys::GetKind(item.get(), true);
  if (!item || kind != fsKindFile)
    return reply.Error("Cannot download because there is no file named " + Quoted(name) + ".");
  const std::string parent = ParentPath(item.get());
  if (!record.access.Has(CanViewDropBoxes) && parent != UFileSys::GetRootPath(item.get()) &&
      IsDropBoxName(ParentName(parent)))
    return reply.Error("Cannot download " + Quoted(name) + " because it is in a drop box.");

  SDownload d;
  d.plain = request.GetInteger(fld::FileTransferOptions) == 2;
  try {
    UFileSys::Open(item.get(), fsRead | fsShareRead);
    const Uint64 length = UFileSys::GetSize(item.get());
    if (d.plain) {
      if (length > 0xFFFFFFFFu) UError::Raise(errClassGeneral, errFieldTooLarge);
      d.size = Uint32(length);
    } else {
      TFSRef raw = item.get();
      FlatSource source = [raw](Uint64 offset, Uint8* buf, std::size_t count) {
        return UFileSys::ReadAt(raw, offset, buf, count);
      };
      const SFlatInfo info = InfoForFile(UFileSys::GetName(item.get()));
      const ByteView resume = FieldUpTo(request, fld::FileResumeData, kResumeMax);
      if (resume.empty())
        d.flattener.emplace(info, length, std::move(source));
      else
        d.flattener.emplace(CFlattener::FromResume(info, length, std::move(source), resume));
      d.size = d.flattener->Size();
      // No resource fork is sent, so the data fork ends the stream.
      d.dataAt = d.size - d.flattener->DataLength();
      d.fileStart = d.flattener->DataStart();
    }
  } catch (const SError& e) {
    // The client is told why, so that its transfer does not wait for ever. The failure is
    // logged but not counted as the server's error: clients choose what to ask for, and
    // must not be able to force a reset.
    if (UFileSys::IsOpen(item.get())) UFileSys::Close(item.get());
    reply.ErrorWithCause("Cannot download " + Quoted(name) + ":", Describe(e));
    try {
      log_.ErrorLog(UError::MessageText(e), UError::IdText(e));
    } catch (const SError&) {
    }
    return;
  }
  d.file = std::move(item);
  d.fileOpen = true;
  d.reference = NextReference(true);
  d.created = now;
  d.client = record.userId;
  d.subject = record.Subject();
  d.addressText = record.addressText;
  d.fileName = Cut(name, kTransferNameMax);
  AddU32(reply.fields, fld::TransferSize, d.size);
  reply.fields.AddField(fld::ReferenceNumber, d.reference.data(), d.reference.size());
  downloads_.push_back(std::move(d));
  totalDownloads_ += 1;
  reply.after = [this, subject = record.Subject(), actor = record.Actor(), name] {
    log_.Line(subject, "Download " + Quoted(name));
    Changed();
    try {
      log_.DownloadLog(actor, name);
    } catch (const SError& e) {
      ReportError(e);
    }
  };
}

void CMyTransferService::UploadFile(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now) {
  if (!record.access.Has(CanUploadFiles)) return reply.Error("You are not allowed to upload files.");
  const std::string name = request.GetText(fld::FileName, kNameMax);
  const ByteView path = FieldUpTo(request, fld::FilePath, kPathMax);
  const TFSRefPtr root = files_.UserRoot(record);
  const TFSRefPtr folder = CMyFileService::ResolveFolder(root.get(), path);
  if (!folder)
    return reply.Error("Cannot accept upload of the file " + Quoted(name) +
                       " because the specified folder could not be found.");
  if (!record.access.Has(CanUploadAnywhere) &&
      (IsRoot(folder.get()) || !IsUploadFolderName(UFileSys::GetName(folder.get()))))
    return reply.Error("Cannot accept upload of the file " + Quoted(name) +
                       " because you are only allowed to upload to the \xD2Uploads\xD3 folder.");
  if (UFileSys::IsLocked(folder.get()))
    return reply.Error("Cannot accept upload of the file " + Quoted(name) +
                       " because the destination volume is read-only or locked.");

  // The file is received under its name with ".cpf" appended (unless it already ends so).
  const bool named = EndsWithPartial(name);
  const std::string partialName = named ? name : name + std::string(kPartialSuffix);
  Int16 finalKind = fsKindNoFolder, partialKind = fsKindNoFolder;
  TFSRefPtr finalRef = FindItem(root.get(), path, name, finalKind);
  TFSRefPtr partial = FindItem(root.get(), path, partialName, partialKind);
  if (!finalRef || !partial)
    return reply.Error("Cannot accept upload of the file " + Quoted(name) +
                       " because the specified folder could not be found.");
  const bool resume = request.GetInteger(fld::FileTransferOptions) == 1;
  if (resume) {
    if (partialKind != fsKindFile) {
      if (!named && finalKind != fsKindMissing)
        return reply.Error("Cannot resume upload of the file " + Quoted(name) +
                           " because it is already fully transfered.");
      return reply.Error("Cannot resume upload of the file " + Quoted(name) + " because it does not exist.");
    }
    Uint32 type = 0, creator = 0;
    UFileSys::GetTypeAndCreator(partial.get(), type, creator);
    if (SFileCodes{type, creator} != kPartialFileCodes)
      return reply.Error("Cannot resume upload of the file " + Quoted(name) +
                         " because it is already fully transfered.");
  } else {
    if (partialKind != fsKindMissing || (!named && finalKind != fsKindMissing))
      return reply.Error("Cannot accept upload because there is already a file named " + Quoted(name) +
                         ". Try choosing a different name.");
    Uint64 free = 0;
    try {
      free = UFileSys::FreeSpace(folder.get());
    } catch (const SError&) {
      free = 0;
    }
    if (Uint64(request.GetInteger(fld::TransferSize)) + kUploadSpareBytes > free) {
      log_.Line(record.Subject(), "Not enough free disk space for upload");
      return reply.Error("Cannot accept upload of the file " + Quoted(name) +
                         " because there is not enough free disk space.");
    }
  }
  for (const SUpload& u : uploads_)
    if (UFileSys::GetPath(u.file.get()) == UFileSys::GetPath(partial.get()))
      return reply.Error("Cannot resume upload of the file " + Quoted(name) + " because it is already in use.");

  SUpload u;
  Bytes resumeRecord;
  bool created = false;
  try {
    if (!resume) {
      UFileSys::CreateFile(partial.get(), kPartialFileCodes.type, kPartialFileCodes.creator);
      created = true;
    }
    UFileSys::Open(partial.get(), fsReadWrite | fsShareNone);
    const Uint64 held = resume ? UFileSys::GetSize(partial.get()) : 0;
    if (resume) resumeRecord = MakeResumeRecord(held);
    TFSRef raw = partial.get();
    u.unflattener.emplace(
        [raw](Uint64 offset, ByteView bytes) {
          if (UFileSys::WriteAt(raw, offset, bytes.data(), bytes.size()) != bytes.size())
            UError::Raise(errClassFiles, errDiskFull);
        },
        held);
  } catch (const SError& e) {
    if (UFileSys::IsOpen(partial.get())) UFileSys::Close(partial.get());
    if (created) {
      try {
        UFileSys::Delete(partial.get());
      } catch (const SError&) {
      }
    }
    if (resume && e.Is(errClassFiles, errFileInUse))
      return reply.Error("Cannot resume upload of the file " + Quoted(name) + " because it is already in use.");
    std::string cause = UError::MessageText(e);
    if (cause.size() > 255) cause.resize(255);
    std::string detail = UError::IdText(e);
    if (detail.size() > 31) detail.resize(31);
    return reply.Error("Cannot accept upload of " + Quoted(name) + ":\r" + cause + "\r" + detail);
  }
  u.file = std::move(partial);
  u.folder = UFileSys::TFSRefPtr(UFileSys::Clone(folder.get()));
  u.reference = NextReference(false);
  u.lastActivity = now;
  u.client = record.userId;
  u.subject = record.Subject();
  u.addressText = record.addressText;
  u.fileName = Cut(name, kTransferNameMax);
  u.finalName = named ? std::string() : UFileSys::GetName(finalRef.get());
  if (resume) reply.fields.AddField(fld::FileResumeData, resumeRecord);
  reply.fields.AddField(fld::ReferenceNumber, u.reference.data(), u.reference.size());
  uploads_.push_back(std::move(u));
  totalUploads_ += 1;
  reply.after = [this, subject = record.Subject(), actor = record.Actor(), name] {
    log_.Line(subject, "Upload " + Quoted(name));
    Changed();
    try {
      log_.UploadLog(actor, name);
    } catch (const SError& e) {
      ReportError(e);
    }
  };
}

std::string CMyTransferService::DownloadsText(Uint16 userId) const {
  std::string text;
  for (const SDownload& d : downloads_) {
    if (d.client != userId) continue;
    const Uint32 percent = d.size == 0 ? 100 : Uint32(Uint64(d.sent) * 100 / d.size);
    text += d.fileName + " (" + std::to_string(percent) + "%)\r";
  }
  return text.empty() ? "None.\r" : text;
}

std::string CMyTransferService::UploadsText(Uint16 userId) const {
  std::string text;
  for (const SUpload& u : uploads_) {
    if (u.client != userId) continue;
    const Uint64 percent = u.expected == 0 ? 0 : u.received * 100 / u.expected;
    text += u.fileName + " (" + std::to_string(percent) + "%)\r";
  }
  return text.empty() ? "None.\r" : text;
}

}  // namespace cv
