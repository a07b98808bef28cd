// Downloads and uploads: the two requests that set a transfer up and hand out its
// reference number, the tables of pending and running transfers, the connections on
// the transfer port that name a transfer in their header, and the steps that move the
// file's bytes and end transfers by completion, close or time-out.
//
// An upload is written to the name with ".cpf" appended (an incomplete file) and gets
// its own name only once every announced byte has arrived, so an interrupted upload
// can be resumed and never passes for a complete file.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "framework/random.h"
#include "framework/transport.h"
#include "protocol/fields.h"
#include "protocol/flatten.h"
#include "protocol/transfer.h"
#include "server/files.h"
#include "server/serverlog.h"
#include "server/session.h"

namespace cv {

// A negotiated transfer whose connection has not come within this many seconds goes.
constexpr Uint32 kTransferPendingSeconds = 500;
// An upload silent this long is aborted; a transfer connection that has not sent its
// header this long is closed.
constexpr Uint32 kUploadSilentSeconds = 121;
constexpr Uint32 kHeaderWaitSeconds = 121;
// Room kept free on the disk beyond an upload's announced size.
constexpr Uint64 kUploadSpareBytes = 512000;
constexpr std::size_t kTransferNameMax = 31;
// The socket send buffers of all connected downloads share this budget: a download
// alone gets a deep buffer, so that a fast link is not held up by the round trips of
// a shallow one; many downloads each keep the usual size, and the kernel memory they
// hold together stays bounded.
constexpr std::size_t kDownloadSendBudget = 512 * 1024;
constexpr std::size_t kDownloadSendBufferMin = 64 * 1024;
constexpr std::size_t kDownloadSendBufferMax = 512 * 1024;
inline constexpr std::string_view kPartialSuffix = ".cpf";

struct STransferHooks {
  // Unexpected errors while a transfer runs (the server's error procedure).
  std::function<void(const SError&)> error;
  // The error's description, a CR and its detail (for error replies with a cause).
  std::function<std::string(const SError&)> describe;
  // The maximum number of simultaneous downloads.
  std::function<Uint16()> maxDownloads;
  // Totals or the running transfers changed.
  std::function<void()> statsChanged;
};

class CMyTransferService {
 public:
  // serial is the application's transfer counter (a reset sets it back to 1).
  CMyTransferService(CMyFileService& files, CMyServerLog& log, URandom& random, Uint16& serial,
                     STransferHooks hooks = {});
  ~CMyTransferService();

  // Serves DownloadFile and UploadFile through the session table.
  void Install(CMySessions& sessions);

  void DownloadFile(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);
  void UploadFile(SClientRecord& record, const UFieldData& request, SReply& reply, Uint32 now);

  // A connection accepted on the transfer port; it waits for its header. The owner has
  // already set its message handler.
  void AddConnection(TransportPtr connection, std::string addressText, Uint32 now);
  // Identification of waiting connections, then the download step, then the upload step.
  void Step(Uint32 now);
  // Ends every transfer and waiting connection (a reset); partial uploads stay on disk.
  void DropAll();

  // The client information text's lines for one user's transfers ("None.\r" when none).
  std::string DownloadsText(Uint16 userId) const;
  std::string UploadsText(Uint16 userId) const;

  std::size_t Downloads() const { return downloads_.size(); }
  std::size_t Uploads() const { return uploads_.size(); }
  std::size_t Waiting() const { return waiting_.size(); }
  Uint32 TotalDownloads() const { return totalDownloads_; }
  Uint32 TotalUploads() const { return totalUploads_; }

 private:
  struct SWaiting {
    TransportPtr connection;
    std::string addressText;
    Uint32 accepted = 0;
    // The header may come in pieces; each is read as it arrives, so that the
    // transport reports the next one.
    CTransferHeaderReader header;
    std::size_t have = 0;
  };
  // A download holds none of the file's bytes in memory: its chunks wait in the
  // connection's queue as file ranges (the pacing keeps at most two chunks' worth queued,
  // 4 MiB; each range holds a duplicate descriptor until sent), and only the stream's few
  // hundred bytes before the data fork are ever copied.
  struct SDownload {
    TransportPtr connection;
    std::string addressText;
    UFileSys::TFSRefPtr file;
    std::optional<CFlattener> flattener;
    TransferReference reference{};
    Uint32 created = 0;
    Uint32 size = 0;
    Uint32 sent = 0;
    CSendPacing pacing;
    // Stream offset where the file's bytes begin (0 in plain mode), and their file offset.
    Uint32 dataAt = 0;
    Uint64 fileStart = 0;
    Uint32 sendBuffer = 0;  // the socket send buffer last given, 0 for the default
    bool plain = false;
    bool fileOpen = false;
    Uint16 client = 0;
    std::string subject;
    std::string fileName;
  };
  struct SUpload {
    TransportPtr connection;
    std::string addressText;
    UFileSys::TFSRefPtr file;
    UFileSys::TFSRefPtr folder;
    std::optional<CUnflattener> unflattener;
    TransferReference reference{};
    Uint32 lastActivity = 0;
    Uint64 received = 0;
    Uint64 expected = 0;
    Uint16 client = 0;
    std::string subject;
    std::string fileName;   // cut to 31, for display
    std::string finalName;  // the name the file gets once complete
  };

  TransferReference NextReference(bool download);
  bool ReferenceInUse(const TransferReference& ref) const;
  void Identify(Uint32 now);
  // Gives each connected download its share of the send buffer budget.
  void ShareSendBuffers();
  // False when the record is finished and should go.
  bool StepDownload(SDownload& d, Uint32 now);
  // Queues the next chunk of the stream: bytes before the data fork as a buffer, the
  // file's own bytes as a range the transport sends from the file.
  void QueueChunk(SDownload& d, Uint32 chunk);
  bool StepUpload(SUpload& u, Uint32 now);
  void CompleteUpload(SUpload& u);
  std::string Describe(const SError& e) const;
  void ReportError(const SError& e);
  void Changed();

  CMyFileService& files_;
  CMyServerLog& log_;
  URandom& random_;
  Uint16& serial_;
  STransferHooks hooks_;
  std::list<SWaiting> waiting_;
  std::list<SDownload> downloads_;
  std::list<SUpload> uploads_;
  Uint32 totalDownloads_ = 0;
  Uint32 totalUploads_ = 0;
};

}  // namespace cv
