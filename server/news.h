// The news board: one text of posts, newest first, kept whole in "News.txt" beside the
// server and sent whole to readers. Posts are stamped with the poster's name and the
// time in universal time.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "framework/types.h"
#include "server/serverlog.h"
#include "server/session.h"

namespace cv {

constexpr std::size_t kNewsPostMax = 8192;
constexpr std::size_t kNewsHeaderMax = 255;

inline constexpr std::string_view kNoReadNewsText = "You are not allowed to read news.";
inline constexpr std::string_view kNoPostNewsText = "You are not allowed to post news.";
inline constexpr std::string_view kNewsTooBigText = "Your news post was not accepted because it was too big.";

class CMyNewsService {
 public:
  // Seconds since 1970 in universal time.
  using TimeSource = std::function<Int64()>;

  // news is the text the application keeps (and shows); folder holds "News.txt".
  CMyNewsService(std::string& news, std::string folder, CMyServerLog& log);
  CMyNewsService(const CMyNewsService&) = delete;
  CMyNewsService& operator=(const CMyNewsService&) = delete;

  void Install(CMySessions& sessions);
  // Reads "News.txt" whole (creating an empty one when missing). When it cannot be read
  // the server holds no news until a reload succeeds, and posts are refused, so that a
  // save never replaces news that merely failed to load.
  void Reload();
  bool Loaded() const { return loaded_; }
  void SetTimeSource(TimeSource source) { time_ = std::move(source); }

  // "From name (Jan05 13:07):" and two carriage returns, for a time in universal time.
  static std::string PostHeader(std::string_view userName, Int64 unixSeconds);
  // A carriage return, 58 underscores and a carriage return.
  static std::string Separator();

 private:
  void GetNews(SClientRecord& record, SReply& reply);
  void PostNews(SClientRecord& record, const UFieldData& request, SReply& reply);
  void Save();

  std::string& news_;
  std::string folder_;
  CMyServerLog& log_;
  CMySessions* sessions_ = nullptr;
  TimeSource time_;
  bool loaded_ = false;
};

}  // namespace cv
