// The task base classes, the connect and login tasks and the tasks window's rows.
#include "client/task.h"

#include "client/application.h"
#include "framework/errors.h"
#include "protocol/catalogue.h"

namespace cv::client {

// ---- CMyTask

CMyTask::CMyTask(CMyApplication& app, std::string_view title) : app_(app) { id_ = app_.RegisterTask(*this, title); }

CMyTask::~CMyTask() { app_.UnregisterTask(*this); }

void CMyTask::SetProgress(Uint32 value, Uint32 maximum, std::string_view text) {
  app_.SetTaskProgress(*this, value, maximum, text);
}

void CMyTask::Finish() {
  finished_ = true;
  app_.FinishTask(*this);
}

// ---- CMyTransactTask

CMyTransactTask::CMyTransactTask(CMyApplication& app, std::string_view title, Uint16 type, UFieldData request,
                                 Uint32 timeoutMs)
    : CMyTask(app, title), fields_(std::move(request)) {
  TTransactConnection c = app.Connection();
  if (!c) UError::Raise(errClassNetwork, errConnectionLost);
  transaction_.reset(UTransaction::NewRequest(c, type));
  if (timeoutMs) UTransaction::SetTimeout(transaction_.get(), timeoutMs);
  UTransaction::Send(transaction_.get(), fields_);
  fields_.Clear();
}

CMyTransactTask::~CMyTransactTask() = default;

bool CMyTransactTask::ReplyArrived(bool showBytes) {
  TTransaction t = transaction_.get();
  if (!t) return false;
  const bool complete = UTransaction::IsComplete(t);
  if (showBytes) SetProgress(UTransaction::GetReceivedSize(t), UTransaction::GetTotalSize(t));
  if (!complete) return false;
  UTransaction::GetData(t, fields_);
  errorCode_ = UTransaction::GetErrorCode(t);
  transaction_.reset();
  App().CheckReply(errorCode_, fields_);
  return true;
}

// ---- CMyConnectTask

CMyConnectTask::CMyConnectTask(CMyApplication& app) : CMyTask(app, "Connecting to Server...") { app.NewConnection(); }

void CMyConnectTask::Process() {
  TTransactConnection c = App().Connection();
  if (!c) UError::Raise(errClassNetwork, errConnectionLost);
  if (step == 1) {
    step = 2;
    const SInternetNameAddress& server = App().ServerAddress();
    if (!App().Prefs().firewall.empty()) {
      const SInternetNameAddress firewall = FirewallAddress(App().Prefs());
      UTransport::StartConnectViaFirewall(UTransaction::GetTransport(c), &server, server.Size(), &firewall,
                                          firewall.Size());
    } else {
      UTransaction::StartConnect(c, &server, server.Size());
    }
    App().Toolbar().SetLook(EMyToolbarLook::Connecting);
    SetProgress(1, 3);
    return;
  }
  Uint16 state = kTransactConnecting;
  try {
    state = UTransaction::Connect(c);
  } catch (const SError& e) {
    if (!e.Is(errClassGeneral, errBadVersion)) throw;
    // The server refused this protocol version: its own alert instead of the error's.
    App().ShowAlert(kAlertHandshakeRefused);
    UError::RaiseFull(e.errClass, e.id, "CMyConnectTask", __LINE__, false, true);
  }
  if (state == kTransactHandshaking) SetProgress(2, 3);
  if (state != kTransactEstablished) return;
  SetProgress(3, 3);
  Finish();
  App().HandshakeDone();
}

// ---- CMyLoginTask

std::string ComplementText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = char(0xFF - Uint8(c));
  return out;
}

namespace {

UFieldData LoginRequest(CMyApplication& app, std::string_view login, std::string_view password) {
  UFieldData f;
  f.AddText(fld::UserLogin, ComplementText(login));
  f.AddText(fld::UserPassword, ComplementText(password));
  f.AddText(fld::UserName, app.Prefs().userName);
  f.AddInteger(fld::UserIconId, app.Prefs().iconId);
  return f;
}

}  // namespace

CMyLoginTask::CMyLoginTask(CMyApplication& app, std::string_view login, std::string_view password)
    : CMyTransactTask(app, "Logging in...", trn::Login, LoginRequest(app, login, password)) {
  SetProgress(1, 2);
}

void CMyLoginTask::Process() {
  if (!ReplyArrived(false)) return;
  App().PlaySound(kSoundLoggedIn, sndLoggedIn);
  SetProgress(2, 2);
  Finish();
}

// ---- CMyTasksWindow

void CMyTasksWindow::Add(Uint32 taskId, std::string_view title) {
  SMyTaskRow& row = rows_[taskId];
  row = SMyTaskRow{0, 0, std::string(title)};
  view_.AddRow(taskId, row);
}

void CMyTasksWindow::Update(Uint32 taskId, Uint32 value, Uint32 maximum, std::string_view text) {
  auto it = rows_.find(taskId);
  if (it == rows_.end()) return;
  SMyTaskRow row = it->second;
  row.value = value;
  row.maximum = maximum;
  if (!text.empty()) row.text = std::string(text);
  if (row == it->second) return;
  it->second = std::move(row);
  view_.UpdateRow(taskId, it->second);
}

void CMyTasksWindow::Complete(Uint32 taskId) {
  auto it = rows_.find(taskId);
  if (it == rows_.end()) return;
  SMyTaskRow& row = it->second;
  if (row.value >= row.maximum && row.maximum != 0) return;
  row.value = row.maximum = 100;
  view_.UpdateRow(taskId, row);
}

void CMyTasksWindow::Remove(Uint32 taskId) {
  if (rows_.erase(taskId)) view_.RemoveRow(taskId);
}

const SMyTaskRow* CMyTasksWindow::Row(Uint32 taskId) const {
  auto it = rows_.find(taskId);
  return it == rows_.end() ? nullptr : &it->second;
}

}  // namespace cv::client
