// The news window's text, GetNews after each connect, PostNews, and pushed posts.
#include "client/news.h"

#include "protocol/catalogue.h"

namespace cv::client {

namespace {

std::string_view DataText(const UFieldData& fields) {
  ByteView b = fields.GetField(fld::Data);
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

UFieldData PostRequest(std::string_view text) {
  UFieldData f;
  // Longer than one field holds: (1, 10), reported, nothing sent.
  f.AddText(fld::Data, text);
  return f;
}

}  // namespace

CMyNewsClient::CMyNewsClient(CMyApplication& app, IMyNewsView& view) : app_(app), view_(view) {
  app_.AddIncomingHandler(trn::NewMessage, [this](UFieldData& fields) { InsertPost(DataText(fields)); });
  app_.AddCommandHandler(cmdPostNews, [this] { PostNewsCommand(); });
  app_.AddConnectionListener(*this);
}

CMyNewsClient::~CMyNewsClient() {
  app_.RemoveIncomingHandler(trn::NewMessage);
  app_.RemoveCommandHandler(cmdPostNews);
  app_.RemoveConnectionListener(*this);
  // A news task must not outlive the window it fills.
  for (CMyTask* task : app_.Tasks()) {
    auto* get = dynamic_cast<CMyGetNewsTask*>(task);
    if (get && get->IsFor(*this)) app_.StopTask(task->Id());
  }
}

void CMyNewsClient::Connected() { app_.StartTask<CMyGetNewsTask>(*this); }

void CMyNewsClient::PostNewsCommand() {
  if (app_.IsConnected()) view_.OpenPostWindow();
}

void CMyNewsClient::Post(std::string_view text) {
  if (!app_.IsConnected()) return;
  try {
    app_.StartTask<CMyPostNewsTask>(text);
  } catch (const SError& e) {
    app_.Error(e);
  }
}

void CMyNewsClient::ReplaceText(std::string_view text) {
  text_.assign(text.substr(0, std::min(text.size(), kMaxNewsText)));
  view_.SetText(text_);
  view_.ScrollToTop();
}

void CMyNewsClient::InsertPost(std::string_view text) {
  text_.insert(0, text);
  if (text_.size() > kMaxNewsText) {
    text_.resize(kMaxNewsText);
    view_.SetText(text_);
  } else {
    view_.InsertAtStart(text);
  }
  app_.PlaySound(kSoundNews, sndNews);
}

// ---- Tasks

CMyGetNewsTask::CMyGetNewsTask(CMyApplication& app, CMyNewsClient& news)
    : CMyTransactTask(app, "Transferring news...", trn::GetNews, UFieldData(), kGetNewsTimeoutMs), news_(news) {}

void CMyGetNewsTask::Process() {
  if (!ReplyArrived()) return;
  news_.ReplaceText(DataText(Fields()));
  Finish();
}

CMyPostNewsTask::CMyPostNewsTask(CMyApplication& app, std::string_view text)
    : CMyTransactTask(app, "Posting message...", trn::PostNews, PostRequest(text)) {
  SetProgress(1, 2);
}

void CMyPostNewsTask::Process() {
  if (!ReplyArrived(false)) return;
  SetProgress(2, 2);
  Finish();
}

void CMyPostWindow::Send() {
  const std::string text = view_.Text();
  view_.Close();
  news_.Post(text);
}

}  // namespace cv::client
