// Transfer connections: matching each to its transfer by the header, sending downloads
// with the pacing rule, receiving uploads, and ending transfers by completion, close or
// time-out.
#include <algorithm>

#include "framework/clock.h"
#include "server/transfers.h"

namespace cv {
namespace {

constexpr Uint32 kDiscardMax = 65536;

Uint64 SecondsSinceStart() { return Uint64(UClock::Milliseconds() / 1000); }

void CloseFile(UFileSys::TFSRefPtr& file) {
  if (file && UFileSys::IsOpen(file.get())) UFileSys::Close(file.get());
}

}  // namespace

void CMyTransferService::AddConnection(TransportPtr connection, std::string addressText, Uint32 now) {
  SWaiting w;
  w.connection = std::move(connection);
  w.addressText = std::move(addressText);
  w.accepted = now;
  waiting_.push_back(std::move(w));
}

void CMyTransferService::Step(Uint32 now) {
  Identify(now);
  ShareSendBuffers();
  bool dropped = false;
  for (auto it = downloads_.begin(); it != downloads_.end();) {
    bool keep = false;
    try {
      keep = StepDownload(*it, now);
    } catch (const SError& e) {
      log_.Line(it->addressText, "Download aborted");
      ReportError(e);
    }
    if (keep) {
      ++it;
      continue;
    }
    CloseFile(it->file);
    it = downloads_.erase(it);
    dropped = true;
  }
  for (auto it = uploads_.begin(); it != uploads_.end();) {
    bool keep = false;
    try {
      keep = StepUpload(*it, now);
    } catch (const SError& e) {
      // A full disk or a damaged stream: what arrived stays for a resume. Only disk
      // trouble is the server's error; a client's bad stream must not count towards a reset.
      log_.Line(it->addressText, "Upload aborted");
      if (e.errClass == errClassFiles) ReportError(e);
    }
    if (keep) {
      ++it;
      continue;
    }
    CloseFile(it->file);
    it = uploads_.erase(it);
    dropped = true;
  }
  if (dropped) Changed();
}

void CMyTransferService::ShareSendBuffers() {
  std::size_t sending = 0;
  for (const SDownload& d : downloads_) sending += d.connection != nullptr;
  if (sending == 0) return;
  const Uint32 each =
      Uint32(std::clamp<std::size_t>(kDownloadSendBudget / sending, kDownloadSendBufferMin, kDownloadSendBufferMax));
  for (SDownload& d : downloads_) {
    if (!d.connection || d.sendBuffer == each) continue;
    d.sendBuffer = each;
    try {
      UTransport::SetSendBufferSize(d.connection.get(), each);
    } catch (const SError&) {
      // Only a matter of speed: the socket keeps the buffer it has.
    }
  }
}

void CMyTransferService::Identify(Uint32 now) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    TTransport t = it->connection.get();
    // What arrived before a close still counts: a short upload may close right after.
    Uint8 bytes[kTransferHeaderSize];
    const Uint32 n = UTransport::Receive(t, bytes, Uint32(kTransferHeaderSize - it->have));
    it->have += it->header.Feed(ByteView(bytes, n));
    if (!it->header.Complete() && !UTransport::IsConnected(t)) {
      it = waiting_.erase(it);
      continue;
    }
    if (!it->header.Complete()) {
      // One that never sends its header does not stay for ever.
      if (now - it->accepted >= kHeaderWaitSeconds) {
        log_.Line(it->addressText, "Transfer connection establish failed!");
        it = waiting_.erase(it);
      } else {
        ++it;
      }
      continue;
    }
    const std::optional<STransferHeader> header = it->header.Header();
    bool attached = false;
    if (header && header->IsDownload()) {
      for (SDownload& d : downloads_) {
        // A second connection for a transfer that already has one is refused.
        if (d.reference != header->reference || d.connection) continue;
        d.connection = std::move(it->connection);
        d.addressText = it->addressText;
        log_.Line(d.addressText, "Download connection established");
        attached = true;
        break;
      }
    } else if (header) {
      for (SUpload& u : uploads_) {
        if (u.reference != header->reference || u.connection) continue;
        u.connection = std::move(it->connection);
        u.addressText = it->addressText;
        u.expected = header->dataSize;
        log_.Line(u.addressText, "Upload connection established");
        attached = true;
        break;
      }
    }
    if (!attached) log_.Line(it->addressText, "Transfer connection establish failed!");
    it = waiting_.erase(it);
  }
}

bool CMyTransferService::StepDownload(SDownload& d, Uint32 now) {
  if (!d.connection) {
    if (now - d.created > kTransferPendingSeconds) {
      log_.Line(d.subject, "Download aborted (no response)");
      return false;
    }
    return true;
  }
  TTransport t = d.connection.get();
  if (!UTransport::IsConnected(t)) {
    log_.Line(d.addressText, "Download connection closed");
    return false;
  }
  // Nothing is expected from the client; whatever it sends is read and dropped.
  Uint8 discard[1024];
  for (Uint32 total = 0; total < kDiscardMax && UTransport::GetReceiveSize(t) > 0;) {
    const Uint32 got = UTransport::Receive(t, discard, sizeof discard);
    if (got == 0) break;
    total += got;
  }
  if (!d.fileOpen) return true;
  const Uint32 left = d.size - d.sent;
  const Uint32 chunk =
      d.pacing.NextChunk(UTransport::GetUnsentSize(t), UTransport::IsReadyToSend(t) ? 1 : 2, SecondsSinceStart(), left);
  if (chunk > 0) QueueChunk(d, chunk);
  if (d.sent >= d.size) {
    CloseFile(d.file);
    d.fileOpen = false;
    log_.Line(d.addressText, "Download complete");
    return true;
  }
  UTransport::NotifyReadyToSend(t);
  return true;
}

void CMyTransferService::QueueChunk(SDownload& d, Uint32 chunk) {
  TTransport t = d.connection.get();
  // The stream's own bytes before the data fork (none in plain mode) go as a buffer.
  const Uint32 head = d.sent < d.dataAt ? std::min(chunk, d.dataAt - d.sent) : 0;
  if (head > 0) {
    SendBufferPtr buffer(UTransport::NewBuffer(head));
    if (d.flattener->Read(static_cast<Uint8*>(buffer.get()), head) != head) UError::Raise(errClassGeneral, errBadState);
    UTransport::SendBuffer(t, buffer.release());
    d.sent += head;
  }
  const Uint32 rest = chunk - head;
  if (rest == 0) return;
  // The file's bytes go from the file straight to the socket: never read into memory
  // here, and taken only as fast as the client reads.
  const Uint64 from = d.fileStart + (d.sent - d.dataAt);
  if (UFileSys::GetSize(d.file.get()) < from + rest) UError::Raise(errClassGeneral, errBadState);  // it shrank
  UTransport::SendFile(t, UFileSys::GetDescriptor(d.file.get()), from, rest);
  d.sent += rest;
}

bool CMyTransferService::StepUpload(SUpload& u, Uint32 now) {
  if (!u.connection) {
    if (now - u.lastActivity > kTransferPendingSeconds) {
      log_.Line(u.subject, "Upload aborted (no response)");
      return false;
    }
    return true;
  }
  TTransport t = u.connection.get();
  if (now - u.lastActivity >= kUploadSilentSeconds) {
    log_.Line(u.addressText, "Upload aborted");
    return false;
  }
  Uint8 buf[65536];
  while (u.received < u.expected) {
    const Uint64 want = std::min<Uint64>(sizeof buf, u.expected - u.received);
    const Uint32 n = UTransport::Receive(t, buf, Uint32(want));
    if (n == 0) break;
    u.unflattener->Write(ByteView(buf, n));
    u.received += n;
    u.lastActivity = now;
  }
  if (u.received >= u.expected) {
    CompleteUpload(u);
    return false;
  }
  if (!UTransport::IsConnected(t)) {
    // An early close leaves what arrived in the partial file.
    log_.Line(u.addressText, "Upload aborted");
    return false;
  }
  return true;
}

void CMyTransferService::CompleteUpload(SUpload& u) {
  UTransport::Disconnect(u.connection.get());
  u.connection.reset();
  u.unflattener->Finish();  // a stream cut short or damaged stays incomplete
  CloseFile(u.file);
  if (!u.finalName.empty()) {
    // A complete file that appeared meanwhile is never replaced; ours stays incomplete.
    Int16 kind = fsKindNoFolder;
    UFileSys::TFSRefPtr existing(UFileSys::New(u.folder.get(), std::nullopt, u.finalName, 0, &kind));
    if (kind != fsKindMissing) UError::Raise(errClassFiles, errNameExists);
    UFileSys::Rename(u.file.get(), u.finalName);
  }
  log_.Line(u.addressText, "Upload complete");
}

void CMyTransferService::DropAll() {
  waiting_.clear();
  for (SDownload& d : downloads_) CloseFile(d.file);
  for (SUpload& u : uploads_) CloseFile(u.file);
  downloads_.clear();
  uploads_.clear();
}

}  // namespace cv
