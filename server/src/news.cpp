// The news board's handlers, its file and the post header.
#include "server/news.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "framework/errors.h"
#include "framework/filesys.h"
#include "framework/text.h"
#include "protocol/catalogue.h"

namespace cv {

namespace {

constexpr std::string_view kNewsFile = "News.txt";
// More than any news board gathers; a file beyond it is not taken for news (and so
// never rewritten from a partial read).
constexpr std::size_t kNewsFileMax = std::size_t(256) << 20;
constexpr std::size_t kSeparatorUnderscores = 58;

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The folder as a file object of its own tree.
UFileSys::TFSRefPtr FolderRef(const std::string& folder) {
  std::string path = std::filesystem::absolute(folder).lexically_normal().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string text = path.substr(1);
  std::replace(text.begin(), text.end(), '/', '\r');
  return UFileSys::TFSRefPtr(UFileSys::NewRoot(EFSBase::SystemRoot, text, std::nullopt, fsMustBeFolder));
}

}  // namespace

CMyNewsService::CMyNewsService(std::string& news, std::string folder, CMyServerLog& log)
    : news_(news), folder_(std::move(folder)), log_(log), time_([] { return Int64(std::time(nullptr)); }) {}

void CMyNewsService::Install(CMySessions& sessions) {
  sessions_ = &sessions;
  sessions.AddService(trn::GetNews,
                      [this](SClientRecord& r, const UFieldData&, SReply& reply, Uint32) { GetNews(r, reply); });
  sessions.AddService(
      trn::PostNews, [this](SClientRecord& r, const UFieldData& rq, SReply& reply, Uint32) { PostNews(r, rq, reply); });
}

void CMyNewsService::Reload() {
  loaded_ = false;
  news_.clear();
  try {
    UFileSys::TFSRefPtr folder = FolderRef(folder_);
    Int16 kind = 0;
    UFileSys::TFSRefPtr file(UFileSys::New(folder.get(), std::nullopt, kNewsFile, 0, &kind));
    if (kind == fsKindMissing) {
      UFileSys::SaveWhole(folder.get(), kNewsFile, ByteView());
    } else {
      Bytes bytes = UFileSys::LoadWhole(file.get(), kNewsFileMax);
      news_.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    loaded_ = true;
  } catch (const SError& e) {
    news_.clear();
    char line[64];
    std::snprintf(line, sizeof line, "Cannot read the news (ID %hi/%hi)", e.errClass, e.id);
    log_.Line("", line);
  }
}

std::string CMyNewsService::PostHeader(std::string_view userName, Int64 unixSeconds) {
  const std::time_t t = std::time_t(unixSeconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  const SCountedString name = UText::ToCounted(userName);
  return UText::FmtN(kNewsHeaderMax, "From %#s (%s%2.2hu %2.2hu:%2.2hu):\r\r", name.data(),
                     kMonths[std::clamp(utc.tm_mon, 0, 11)], utc.tm_mday, utc.tm_hour, utc.tm_min);
}

std::string CMyNewsService::Separator() { return "\r" + std::string(kSeparatorUnderscores, '_') + "\r"; }

void CMyNewsService::GetNews(SClientRecord& record, SReply& reply) {
  if (!record.access.Has(CanReadNews)) {
    reply.fields.AddText(fld::Data, kNoReadNewsText);
    return;
  }
  reply.fields.AddText(fld::Data, std::string_view(news_).substr(0, std::min(news_.size(), UFieldData::kMaxFieldSize)));
}

void CMyNewsService::Save() {
  // A new file replaces the old one whole, so a crash while saving keeps the old news.
  UFileSys::TFSRefPtr folder = FolderRef(folder_);
  UFileSys::SaveWhole(folder.get(), kNewsFile, ByteView(reinterpret_cast<const Uint8*>(news_.data()), news_.size()));
}

void CMyNewsService::PostNews(SClientRecord& record, const UFieldData& request, SReply& reply) {
  if (!record.access.Has(CanPostNews)) return reply.Error(kNoPostNewsText);
  if (request.GetFieldSize(fld::Data) > kNewsPostMax) return reply.Error(kNewsTooBigText);
  // Saving what is held would replace news that could not be read.
  if (!loaded_) UError::Raise(errClassGeneral, errBadArgument);
  ByteView body = request.GetField(fld::Data);
  std::string post = PostHeader(record.name, time_());
  post.append(reinterpret_cast<const char*>(body.data()), body.size());
  post += Separator();
  news_.insert(0, post);
  Save();
  reply.after = [this, post = std::move(post)] {
    UFieldData message;
    message.AddText(fld::Data, std::string_view(post));
    for (SClientRecord& r : sessions_->Clients())
      if (r.loggedIn && r.link && r.link->IsEstablished() && r.access.Has(CanReadNews))
        r.link->Post(trn::NewMessage, message);
  };
}

}  // namespace cv
