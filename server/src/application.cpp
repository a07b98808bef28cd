// The server's application object: start-up, routing of notifications, the error
// count with its automatic reset, and quitting.
#include "server/application.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "framework/clock.h"
#include "framework/resources.h"
#include "protocol/catalogue.h"
#include "server/chat.h"
#include "server/files.h"
#include "server/news.h"
#include "server/src/diskio.h"
#include "server/src/session_link.h"
#include "server/transfers.h"

namespace cv {

namespace {

// The news and agreement are sent whole in one field list, so more is never kept.
constexpr std::size_t kTextFileMax = kMaxTransactionSize;

std::string ToString(const Bytes& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

}  // namespace

CMyApplication::CMyApplication(SServerSettings settings) : settings_(std::move(settings)) {
  if (!settings_.logHook && settings_.headless) settings_.logHook = StderrLogHook();
  log_ = std::make_unique<CMyServerLog>(settings_.folder);
  log_->SetLineHook(settings_.logHook);
  usersFolder_ = diskio::Join(settings_.folder, kUsersFolderName);
  filesFolder_ = diskio::Join(settings_.folder, kFilesFolderName);
  accounts_ = std::make_unique<CMyAccountStore>(usersFolder_);
  sessions_ = std::make_unique<CMySessions>(*accounts_, *log_);
  SSessionHooks hooks;
  hooks.playSound = [this](Int16 n) { PlaySound(n); };
  hooks.describeError = [this](const SError& e) { return DescribeError(e); };
  hooks.wake = [] { UMessageSys::Post(msg_DataArrived); };
  hooks.transfersText = [this](Uint16 userId, bool downloads) -> std::string {
    if (!transfers_) return "None.\r";
    return downloads ? transfers_->DownloadsText(userId) : transfers_->UploadsText(userId);
  };
  sessions_->SetHooks(std::move(hooks));
}

CMyApplication::~CMyApplication() {
  // Clients go before the listeners; nothing is told (the process is ending).
  if (sessions_) sessions_->DropAll();
  transfers_.reset();
  URez::Dispose(rezFile_);
}

Uint32 CMyApplication::Now() { return Uint32(UClock::Milliseconds() / 1000); }

void CMyApplication::LoadTexts() {
  const std::string newsPath = diskio::Join(settings_.folder, kNewsFileName);
  if (!diskio::IsFile(newsPath)) diskio::SaveWhole(newsPath, ByteView());
  news_ = ToString(diskio::ReadUpTo(newsPath, kTextFileMax));

  // No agreement file (or one that cannot be read) means no agreement until a reload finds one.
  agreement_.reset();
  const std::string agreementPath = diskio::Join(settings_.folder, kAgreementFileName);
  if (diskio::IsFile(agreementPath)) {
    try {
      agreement_ = ToString(diskio::ReadUpTo(agreementPath, kTextFileMax));
    } catch (const SError&) {
      agreement_.reset();
    }
  }
  sessions_->SetAgreement(Agreement());
}

void CMyApplication::Start() {
  if (!diskio::IsFolder(settings_.folder)) diskio::MakeFolder(settings_.folder);
  if (!diskio::IsFolder(usersFolder_)) diskio::MakeFolder(usersFolder_);
  if (!diskio::IsFolder(filesFolder_)) diskio::MakeFolder(filesFolder_);
  files_ = std::make_unique<CMyFileService>(filesFolder_, *accounts_, *log_,
                                            [this](const SError& e) { return DescribeError(e); });
  files_->Install(*sessions_);
  LoadTexts();
  chat_ = std::make_unique<CMyChatService>(*log_, random_);
  chat_->Install(*sessions_);
  newsService_ = std::make_unique<CMyNewsService>(news_, settings_.folder, *log_);
  newsService_->Install(*sessions_);
  newsService_->Reload();
  prefs_ = LoadServerPrefs(settings_.folder, random_);
  log_->SetOptions(prefs_.options);
  STransferHooks transferHooks;
  transferHooks.error = [this](const SError& e) { Error(e); };
  transferHooks.describe = [this](const SError& e) { return DescribeError(e); };
  transferHooks.maxDownloads = [this] { return prefs_.maxDownloads; };
  transfers_ = std::make_unique<CMyTransferService>(*files_, *log_, random_, transferRefCounter_, transferHooks);
  transfers_->Install(*sessions_);

  resourcePath_ = diskio::Join(settings_.folder, kServerResourceName);
  if (!diskio::IsFile(resourcePath_) && !settings_.resourceFolder.empty()) {
    std::string beside = diskio::Join(settings_.resourceFolder, kServerResourceName);
    if (diskio::IsFile(beside)) resourcePath_ = beside;
  }
  // Error texts come from the resource file; without one the built-in texts serve.
  if (diskio::IsFile(resourcePath_)) {
    try {
      URez::Dispose(rezFile_);
      rezFile_ = URez::OpenFile(resourcePath_);
    } catch (const SError& e) {
      std::fprintf(stderr, "corvane-server: cannot read %s (%s)\n", resourcePath_.c_str(), UError::IdText(e).c_str());
    }
  }

  // Windows at their places; the operator may change the options before we listen.
  if (settings_.frontEnd) settings_.frontEnd->Opening(*this);

  const Uint16 wanted = settings_.port ? *settings_.port : prefs_.port;
  // With port 0 (any free port) the pick is retried while the port above it is taken.
  for (int attempt = 0;; ++attempt) {
    listener_.reset(UTransaction::NewConnection(kTransportTCP));
    UTransaction::SetMessageHandler(listener_.get(), &CMyApplication::OnTransport, this);
    SInternetAddress any = SInternetAddress::Any(wanted);
    UTransport::Listen(UTransaction::GetTransport(listener_.get()), &any, sizeof any);
    port_ = UTransport::GetLocalAddress(UTransaction::GetTransport(listener_.get())).port;
    try {
      if (port_ == 0xFFFF) UError::Raise(errClassNetwork, errAddressInUse);
      transferListener_.reset(UTransport::New(kTransportTCP));
      UTransport::SetMessageHandler(transferListener_.get(), &CMyApplication::OnTransport, this);
      SInternetAddress transfers = SInternetAddress::Any(Uint16(port_ + 1));
      UTransport::Listen(transferListener_.get(), &transfers, sizeof transfers);
      break;
    } catch (const SError&) {
      transferListener_.reset();
      if (wanted != 0 || attempt >= 20) throw;
    }
  }
  transferPort_ = UTransport::GetLocalAddress(transferListener_.get()).port;
  TTransport listening = UTransaction::GetTransport(listener_.get());

  char text[64];
  Uint32 n = UTransport::GetLocalAddressText(listening, text, sizeof text);
  localAddress_.assign(text, n);
  std::string subject = localAddress_;
  if (port_ != kDefaultServerPort) subject += ":" + std::to_string(port_);
  log_->Line(subject, "Corvane Server started");
  started_ = true;
  housekeeping_.reset(UTimer::StartNew(nullptr, nullptr, kHousekeepingMs, true));
  StartTrackerAndStats();
}

void CMyApplication::OnTransport(void* context, void* object, Uint32 id, const void* data, Uint32 size) {
  static_cast<CMyApplication*>(context)->HandleMessage(object, id, data, size);
}

void CMyApplication::HandleMessage(void* object, Uint32 id, const void* data, Uint32 size) {
  if (id >= msg_DataArrived && id <= msg_ConnectionFailed) {
    if (object != nullptr && object == transferListener_.get()) AcceptTransfers();
    SessionStep();
    return;
  }
  CApplication::HandleMessage(object, id, data, size);
}

void CMyApplication::AcceptTransfers() {
  const Uint32 now = Now();
  sessions_->Bans().Expire(now);
  for (;;) {
    SInternetAddress peer;
    Uint32 size = sizeof peer;
    TransportPtr t(UTransport::Accept(transferListener_.get(), &peer, &size));
    if (!t) break;
    if (quitting_ || !transfers_) continue;
    if (size >= sizeof peer && sessions_->Bans().Contains(ReadU32(peer.host))) continue;
    char text[64];
    std::string addressText(text, UTransport::GetRemoteAddressText(t.get(), text, sizeof text));
    UTransport::SetMessageHandler(t.get(), &CMyApplication::OnTransport, this);
    transfers_->AddConnection(std::move(t), std::move(addressText), now);
  }
}

void CMyApplication::AcceptClients(Uint32 now) {
  if (!listener_) return;
  for (;;) {
    SInternetAddress peer;
    Uint32 size = sizeof peer;
    TransactConnectionPtr c(UTransaction::AcceptConnection(listener_.get(), &peer, &size));
    if (!c) break;
    if (quitting_) continue;  // closed without an answer
    const Uint32 address = size >= sizeof peer ? ReadU32(peer.host) : 0;
    char text[64];
    std::string addressText(text,
                            UTransport::GetRemoteAddressText(UTransaction::GetTransport(c.get()), text, sizeof text));
    switch (sessions_->Admit(address, now)) {
      case EAdmission::Accept:
        break;
      case EAdmission::Flooding:
        log_->Line(addressText, "Autobanned for flooding");
        continue;
      default:
        continue;
    }
    UTransaction::SetMessageHandler(c.get(), &CMyApplication::OnTransport, this);
    sessions_->Add(std::make_unique<CMyTransactLink>(c.release()), address, std::move(addressText), now);
    stats_.ConnectionOpened(sessions_->Count());
    errorCount_ = 0;
    resetCount_ = 0;
  }
}

void CMyApplication::SessionStep() {
  if (stepping_ || !started_) return;
  stepping_ = true;
  struct SReset {
    bool& flag;
    ~SReset() { flag = false; }
  } reset{stepping_};

  const Uint32 now = Now();
  AcceptClients(now);
  auto& clients = sessions_->Clients();
  for (auto it = clients.begin(); it != clients.end();) {
    auto next = std::next(it);
    SClientRecord& record = *it;
    auto* link = static_cast<CMyTransactLink*>(record.link.get());
    if (!link->IsConnected()) {
      log_->Line(record.Subject(), "Connection closed");
      sessions_->Remove(record);
      it = next;
      continue;
    }
    if (link->IsClosing() || link->Refused()) {
      it = next;
      continue;
    }
    if (!link->HandshakeDone()) {
      Uint32 code = 0;
      Uint16 subVersion = 0;
      switch (UTransaction::ReadHandshake(link->Connection(), &code, &subVersion)) {
        case kHandshakeIncomplete:
          it = next;
          continue;
        case kHandshakeValid:
          if (code == kSubProtocol && subVersion == kSubVersion) {
            UTransaction::AcceptHandshake(link->Connection());
            log_->Line(record.Subject(), "Connection established");
          } else {
            link->RejectHandshake(1);
            std::string codeText = FourCCText(code);
            char line[64];
            std::snprintf(line, sizeof line, "Incompatible version (%4.4s%hu)", codeText.c_str(), subVersion);
            log_->Line(record.Subject(), line);
            PlaySound(130);
            it = next;
            continue;
          }
          break;
        default:
          log_->Line(record.Subject(), "Killed unknown protocol!");
          sessions_->Drop(record);
          PlaySound(130);
          it = next;
          continue;
      }
    }
    while (link->IsEstablished()) {
      TransactionPtr t(UTransaction::NextRequest(link->Connection()));
      if (!t) break;
      UFieldData fields;
      UTransaction::GetData(t.get(), fields);
      SReply reply;
      sessions_->HandleRequest(record, UTransaction::GetType(t.get()), fields, reply, now);
      if (reply.wanted) {
        UTransaction::SetReplyError(t.get(), reply.errorCode);
        UTransaction::Send(t.get(), reply.fields);
      }
      if (reply.after) reply.after();
    }
    if (!link->IsConnected()) {
      // Bad framing, a flood ban, or the client disconnected itself: the record goes now.
      log_->Line(record.Subject(), "Connection closed");
      sessions_->Remove(record);
      it = next;
      continue;
    }
    sessions_->CheckIdle(record, now);
    it = next;
  }
  if (transfers_) transfers_->Step(now);
  if (settings_.frontEnd) settings_.frontEnd->StatsChanged();
  if (quitting_ && clients.empty()) Quit();
}

void CMyApplication::PlaySound(Int16 sound) {
  // Sounds need the desktop; a headless server stays silent.
  if (settings_.frontEnd && (prefs_.options & optPlaySounds)) settings_.frontEnd->PlaySound(sound);
}

std::string CMyApplication::DescribeError(const SError& e) const {
  // An error reply carries the description and a short detail.
  std::string message = UError::MessageText(e);
  if (message.size() > kLogDescriptionMax) message.resize(kLogDescriptionMax);
  std::string detail = UError::IdText(e);
  if (detail.size() > 31) detail.resize(31);
  return message + "\r" + detail;
}

void CMyApplication::Terminate(std::string_view why) {
  std::fprintf(stderr, "%.*s\n", int(why.size()), why.data());
  std::fflush(stderr);
  if (settings_.terminate) {
    settings_.terminate(why);
    return;
  }
  std::_Exit(EXIT_FAILURE);
}

void CMyApplication::Error(const SError& error) {
  errorCount_ += 1;
  try {
    if (errorCount_ > kMaxErrors) {
      std::fputs("Too many errors! Resetting...\n", stderr);
      Reset();
    }
    log_->ErrorLog(UError::MessageText(error), UError::IdText(error));
    PlaySound(130);
    // Input that was pending when the error struck is served again.
    UMessageSys::Post(msg_DataArrived);
  } catch (...) {
    Terminate("Reset failed! Terminating...");
  }
}

void CMyApplication::Reset() {
  resetCount_ += 1;
  if (resetCount_ > kMaxResets) {
    Terminate("Too many resets! Terminating...");
    return;
  }
  sessions_->DropAll();
  if (transfers_) transfers_->DropAll();
  errorCount_ = 0;
  transferRefCounter_ = 1;
  log_->Line("", "SERVER RESET - too many errors");
  if (settings_.frontEnd) settings_.frontEnd->StatsChanged();
}

void CMyApplication::ReloadNews() {
  LoadTexts();
  if (newsService_) newsService_->Reload();
  log_->Line("", "Reloaded news");
}

void CMyApplication::Signal(int signalNumber) {
  if (signalNumber == SIGHUP) {
    ReloadNews();
    return;
  }
  CApplication::Signal(signalNumber);
}

void CMyApplication::QuitRequested() {
  // Without windows there is nobody to confirm with: a quit asked for while clients are
  // connected tells them why before they are let go. Asking again quits at once.
  if (quitting_ || sessions_->Count() == 0) {
    Quit();
    return;
  }
  PoliteQuit(kShutdownMessage);
  if (IsQuitting()) return;
  // Each client gets the notice, then its connection is closed once the notice is out.
  for (SClientRecord& r : sessions_->Clients()) static_cast<CMyTransactLink*>(r.link.get())->StartDisconnect();
  // A drained close is not announced, so the list is looked at again until it is empty.
  shutdownStart_ = UClock::Milliseconds();
  shutdownTimer_.reset(UTimer::StartNew(nullptr, nullptr, kShutdownPollMs, true));
  UMessageSys::Post(msg_DataArrived);
}

void CMyApplication::PoliteQuit(std::string_view message) {
  if (sessions_->Count() == 0 || message.empty()) {
    Quit();
    return;
  }
  quitting_ = true;
  UFieldData fields;
  fields.AddText(fld::Data, message.substr(0, std::min<std::size_t>(message.size(), 255)));
  sessions_->Broadcast(trn::DisconnectMessage, fields);
  log_->Line("", "Waiting for clients to disconnect...");
}

void CMyApplication::Timer(TTimer timer) {
  if (shutdownTimer_ && timer == shutdownTimer_.get()) {
    if (UClock::Milliseconds() - shutdownStart_ >= kShutdownWaitMs)
      Quit();
    else
      SessionStep();
    return;
  }
  if (housekeeping_ && timer == housekeeping_.get()) {
    SessionStep();
    return;
  }
  if (TrackerOrStatsTimer(timer)) return;
  CApplication::Timer(timer);
}

void CMyApplication::Quit() {
  if (IsQuitting()) return;
  if (started_) {
    try {
      StoreWindowPlaces();
      SaveServerPrefs(settings_.folder, prefs_);
    } catch (const SError& e) {
      std::fprintf(stderr, "corvane-server: cannot save the preferences (ID %hi/%hi)\n", e.errClass, e.id);
    }
  }
  CApplication::Quit();
}

}  // namespace cv
