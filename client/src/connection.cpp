// Connecting, logging in and disconnecting, and the transactions the server sends on
// its own.
#include <algorithm>
#include <filesystem>

#include "client/application.h"
#include "framework/filesys.h"
#include "framework/text.h"
#include "protocol/catalogue.h"

namespace cv::client {

namespace {

// Incoming transactions taken in one pass; the rest wait for the next, so that a server
// that never stops sending cannot hold the loop.
constexpr std::size_t kIncomingPerPass = 256;
constexpr std::size_t kTitleServerMax = 63;
constexpr std::size_t kTitleMax = 127;
constexpr std::size_t kLoginMax = 255;

std::string Titled(const char* tmpl, std::string_view server) {
  const SCountedString name = UText::ToCounted(server.substr(0, std::min(server.size(), kTitleServerMax)));
  return UText::FmtN(kTitleMax, tmpl, name.data());
}

// "host:port": the port, or 0 when the digits do not make one (the connect then
// fails as an invalid address); no colon: the default port.
Uint16 PortOf(std::string_view server) {
  const std::size_t colon = server.find(':');
  if (colon == std::string_view::npos) return kDefaultServerPort;
  const std::string_view digits = server.substr(colon + 1);
  if (digits.empty() || digits.size() > 5) return 0;
  Uint32 value = 0;
  for (char c : digits) {
    if (!UText::IsDigit(Uint8(c))) return 0;
    value = value * 10 + Uint32(c - '0');
  }
  return value <= 0xFFFF ? Uint16(value) : 0;
}

std::string_view FieldText(const UFieldData& fields, Uint16 id) {
  ByteView b = fields.GetField(id);
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace

void CMyApplication::ConnectTo(std::string_view server, std::string_view login, std::string_view password) {
  std::string text(server == "0" ? std::string_view("127.0.0.1") : server);
  if (text.size() > 255) text.resize(255);
  login_ = std::string(login.substr(0, std::min(login.size(), kLoginMax)));
  password_ = std::string(password.substr(0, std::min(password.size(), kLoginMax)));
  if (connected_ || connection_) Disconnect();
  serverText_ = text;
  serverAddress_ = SInternetNameAddress::Make(text, PortOf(text));
  views_.shell.SetWindowTitle(winChat, Titled("Chat (%#s)", text));
  views_.shell.SetWindowTitle(winTasks, Titled("Tasks (%#s)", text));
  views_.shell.SetWindowTitle(winNews, Titled("News (%#s)", text));
  StartTask<CMyConnectTask>();
  for (IMyConnectionListener* l : std::vector<IMyConnectionListener*>(listeners_)) l->Connecting();
}

TTransactConnection CMyApplication::NewConnection() {
  connected_ = false;
  connection_.reset(UTransaction::NewConnection());
  UTransaction::SetMessageHandler(connection_.get(), &CMyApplication::OnMessage, this);
  UTransaction::SetProtocol(connection_.get(), kSubProtocol, kSubVersion);
  return connection_.get();
}

void CMyApplication::HandshakeDone() {
  connected_ = true;
  connectTime_ = UDateTime::GetSeconds();
  views_.toolbar.SetLook(EMyToolbarLook::Connected);
  StartTask<CMyLoginTask>(login_, password_);
  for (IMyConnectionListener* l : std::vector<IMyConnectionListener*>(listeners_)) {
    // A listener may have disconnected (a failing start of its own task).
    if (!connected_) break;
    l->Connected();
  }
}

void CMyApplication::Disconnect() {
  std::vector<Uint32> doomed;
  for (const SEntry& e : tasks_)
    if (!e.task->IsIndependent()) doomed.push_back(e.id);
  for (Uint32 id : doomed) DestroyTask(id);

  const bool hadConnection = connected_ || connection_;
  if (connection_) UTransaction::Disconnect(connection_.get());
  connection_.reset();
  UpdateOnlineSeconds();
  connected_ = false;
  connectTime_ = 0;
  agreement_.reset();
  agreementBytes_ = 0;
  if (closing_) return;
  views_.toolbar.SetLook(EMyToolbarLook::Disconnected);
  RestoreTitles();
  if (!hadConnection) return;
  views_.shell.CloseServerWindows();
  for (IMyConnectionListener* l : std::vector<IMyConnectionListener*>(listeners_)) l->Disconnected();
}

void CMyApplication::RestoreTitles() {
  views_.shell.SetWindowTitle(winChat, "Chat");
  views_.shell.SetWindowTitle(winTasks, "Tasks");
  views_.shell.SetWindowTitle(winNews, "News");
}

void CMyApplication::PostTransaction(Uint16 type, UFieldData& fields) {
  if (!connected_ || !connection_) return;
  UTransaction::Post(connection_.get(), type, fields);
}

void CMyApplication::CheckReply(Uint32 errorCode, const UFieldData& reply) {
  const bool hasText = reply.HasField(fld::ErrorText);
  if (hasText) ShowMessageAlert(kServerMessageTitle, reply.GetText(fld::ErrorText, 255));
  if (errorCode != 0) UError::RaiseFull(errClassGeneral, errUnknown, "CheckReply", __LINE__, false, hasText);
}

// ---- Incoming

void CMyApplication::AddIncomingHandler(Uint16 type, TIncomingHandler handler) { incoming_[type] = std::move(handler); }

void CMyApplication::RemoveIncomingHandler(Uint16 type) { incoming_.erase(type); }

void CMyApplication::AddConnectionListener(IMyConnectionListener& listener) {
  if (std::find(listeners_.begin(), listeners_.end(), &listener) == listeners_.end()) listeners_.push_back(&listener);
}

void CMyApplication::RemoveConnectionListener(IMyConnectionListener& listener) { std::erase(listeners_, &listener); }

void CMyApplication::DispatchIncoming() {
  for (std::size_t n = 0; connection_; ++n) {
    if (n == kIncomingPerPass) {
      RequestProcessing();
      break;
    }
    TTransaction t = UTransaction::NextRequest(connection_.get());
    if (!t) break;
    const Uint16 type = UTransaction::GetType(t);
    UFieldData fields;
    UTransaction::GetData(t, fields);
    UTransaction::DisposeTransaction(t);
    try {
      Dispatch(type, fields);
    } catch (const SError& e) {
      Error(e);
    }
  }
  // Agreement texts that came in this pass are shown together, in arrival order.
  if (agreement_) {
    const std::string text = std::move(*agreement_);
    agreement_.reset();
    views_.shell.OpenAgreement(text);
  }
}

void CMyApplication::Dispatch(Uint16 type, UFieldData& fields) {
  switch (type) {
    case trn::ServerMessage:
      HandleServerMessage(fields);
      return;
    case trn::ShowAgreement:
      HandleShowAgreement(fields);
      return;
    case trn::DisconnectMessage:
      HandleDisconnectMessage(fields);
      return;
    default:
      break;
  }
  auto it = incoming_.find(type);
  if (it == incoming_.end() || !it->second) return;
  // A copy: the handler may replace or remove itself.
  TIncomingHandler handler = it->second;
  handler(fields);
}

void CMyApplication::HandleServerMessage(UFieldData& fields) {
  if (fields.GetInteger(fld::UserId) != 0) {
    // A private message: the chat service's.
    auto it = incoming_.find(trn::ServerMessage);
    if (it != incoming_.end() && it->second) {
      TIncomingHandler handler = it->second;
      handler(fields);
    }
    return;
  }
  const bool fromServer = fields.GetInteger(fld::ChatOptions) == 1;
  ShowMessageAlert(fromServer ? kServerMessageTitle : kAdminMessageTitle, fields.GetText(fld::Data, 255));
}

void CMyApplication::HandleShowAgreement(UFieldData& fields) {
  // What one connection may make the client keep and show, however often it sends.
  std::string_view text = FieldText(fields, fld::Data);
  const std::size_t room = kMaxAgreementText - std::min(kMaxAgreementText, agreementBytes_);
  text = text.substr(0, std::min(room, text.size()));
  agreementBytes_ += text.size();
  if (text.empty() && agreementBytes_ >= kMaxAgreementText) return;
  if (!agreement_) agreement_.emplace();
  agreement_->append(text);
}

void CMyApplication::HandleDisconnectMessage(UFieldData& fields) {
  const std::string text = fields.GetText(fld::Data, 255);
  Disconnect();
  ShowAlert(kAlertDisconnected, text);
}

// ---- Documents

void CMyApplication::OpenDocument(std::string_view path) {
  Uint32 type = 0, creator = 0;
  UFileSys::TypeAndCreatorFromName(std::filesystem::path(std::string(path)).filename().string(), type, creator);
  if (creator == FourCC("CVCL") && type == FourCC("CVtb")) {
    ShowAlert(kAlertToolbarFile);
  } else if (creator == FourCC("CVCL") && type == FourCC("CVss")) {
    ShowAlert(kAlertSettingsFile);
  } else {
    // Bookmark files are not read yet: like any other file they cannot be opened.
    ShowAlert(kAlertUnknownDocument);
  }
}

}  // namespace cv::client
