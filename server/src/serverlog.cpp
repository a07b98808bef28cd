#include "server/serverlog.h"

#include <ctime>
#include <iostream>

#include "server/src/diskio.h"

namespace cv {

namespace {

std::string PadCut(std::string_view s, std::size_t width) {
  std::string out(s.substr(0, width));
  out.resize(width, ' ');
  return out;
}

std::string Cut(std::string_view s, std::size_t max) { return std::string(s.substr(0, max)); }

// Tabs and line ends inside a field would forge fields or records (a file name comes
// from the client); they become blanks.
std::string Field(std::string_view s, std::size_t max = 255) {
  std::string out = Cut(s, max);
  for (char& c : out)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return out;
}

std::string ActorFields(const std::string& date, const SLogActor& a) {
  return Cut(date, kLogDateMax) + '\t' + Field(a.address, kLogAddressMax) + '\t' +
         Field(a.account, kLogSessionTextMax) + '\t' + Field(a.name, kLogSessionTextMax);
}

}  // namespace

void CMyLogText::Append(std::string_view line) {
  if (text_.size() > kLogWindowMax) text_.clear();
  if (!text_.empty()) text_ += '\r';
  text_.append(line);
}

CMyServerLog::CMyServerLog(std::string folder, Uint32 options) : folder_(std::move(folder)), options_(options) {}

std::string CMyServerLog::LocalDateText() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[128];
  std::size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
  return std::string(buf, n);
}

std::string CMyServerLog::Date() const { return Cut(date_ ? date_() : LocalDateText(), kLogDateMax); }

std::string CMyServerLog::FormatLine(std::string_view subject, std::string_view text) const {
  return PadCut(Date(), 21) + ' ' + PadCut(subject, 18) + ' ' + std::string(text);
}

void CMyServerLog::Line(std::string_view subject, std::string_view text) {
  if (hook_) hook_(FormatLine(subject, text));
}

void CMyServerLog::Append(std::string_view file, std::string_view header, std::string record) {
  if (record.size() > kLogRecordMax) {
    record.resize(kLogRecordMax - 1);
    record += '\r';
  }
  diskio::AppendWithHeader(diskio::Join(folder_, file), header, record);
}

void CMyServerLog::DownloadLog(const SLogActor& actor, std::string_view fileName) {
  if (!(options_ & optLogDownloads)) return;
  Append(kDownloadLogName, kTransferLogHeader, ActorFields(Date(), actor) + '\t' + Field(fileName) + '\r');
}

void CMyServerLog::UploadLog(const SLogActor& actor, std::string_view fileName) {
  if (!(options_ & optLogUploads)) return;
  Append(kUploadLogName, kTransferLogHeader, ActorFields(Date(), actor) + '\t' + Field(fileName) + '\r');
}

void CMyServerLog::ConnectLog(const SLogActor& actor) {
  if (!(options_ & optLogConnects)) return;
  Append(kConnectLogName, kConnectLogHeader, ActorFields(Date(), actor) + '\r');
}

void CMyServerLog::AccountLog(const SLogActor& actor, std::string_view action, std::string_view affectedLogin) {
  if (!(options_ & optLogAccounts)) return;
  Append(kAccountLogName, kAccountLogHeader,
         ActorFields(Date(), actor) + '\t' + Field(action) + '\t' + Field(affectedLogin) + '\r');
}

void CMyServerLog::ErrorLog(std::string_view description, std::string_view idText) {
  Append(kErrorLogName, {},
         PadCut(Date(), 22) + ' ' + Cut(description, kLogDescriptionMax) + " (" + Cut(idText, kLogIdTextMax) + ")\r");
}

CMyServerLog::LineHook StderrLogHook() {
  return [](std::string_view line) {
    std::cerr << line << '\n';
    std::cerr.flush();
  };
}

}  // namespace cv
