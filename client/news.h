// The news board on the client: fetched after each connect, posts sent from the post
// window, and posts by other users inserted at the top as the server pushes them.
#pragma once

#include <string>
#include <string_view>

#include "client/application.h"
#include "client/task.h"
#include "client/views.h"

namespace cv::client {

inline constexpr Uint32 kGetNewsTimeoutMs = 400000;
// The news window keeps at most this much; older text beyond it is dropped from the end.
inline constexpr std::size_t kMaxNewsText = 1024 * 1024;

class CMyNewsClient : public IMyConnectionListener {
 public:
  // Registers the NewMessage handler, the post news command and a connection listener.
  CMyNewsClient(CMyApplication& app, IMyNewsView& view);
  ~CMyNewsClient() override;
  CMyNewsClient(const CMyNewsClient&) = delete;
  CMyNewsClient& operator=(const CMyNewsClient&) = delete;

  // Starts CMyGetNewsTask.
  void Connected() override;
  // "Post News...": the post window, while connected only.
  void PostNewsCommand();
  // The post window's "Send": starts CMyPostNewsTask with the whole text.
  void Post(std::string_view text);

  // The GetNews reply: replaces the text and scrolls to the top.
  void ReplaceText(std::string_view text);
  // A NewMessage push: inserted before the first byte; sound 128.
  void InsertPost(std::string_view text);
  // What the news window shows.
  const std::string& Text() const { return text_; }
  IMyNewsView& View() { return view_; }

 private:
  CMyApplication& app_;
  IMyNewsView& view_;
  std::string text_;
};

// "Transferring news...": GetNews with a 400 s reply time-out.
class CMyGetNewsTask : public CMyTransactTask {
 public:
  CMyGetNewsTask(CMyApplication& app, CMyNewsClient& news);
  void Process() override;
  bool IsFor(const CMyNewsClient& news) const { return &news_ == &news; }

 private:
  CMyNewsClient& news_;
};

// "Posting message...": PostNews; progress 1 of 2, then 2 of 2.
class CMyPostNewsTask : public CMyTransactTask {
 public:
  CMyPostNewsTask(CMyApplication& app, std::string_view text);
  void Process() override;
};

// The post window's buttons.
class CMyPostWindow {
 public:
  CMyPostWindow(CMyNewsClient& news, IMyPostView& view) : news_(news), view_(view) {}
  void Send();
  void Cancel() { view_.Close(); }

 private:
  CMyNewsClient& news_;
  IMyPostView& view_;
};

}  // namespace cv::client
