// The server's running log: lines for the log window (handed to a hook) and
// tab-separated records appended to the log files in the program's folder.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "framework/types.h"
#include "server/prefs.h"

namespace cv {

inline constexpr std::string_view kDownloadLogName = "Download Log.txt";
inline constexpr std::string_view kUploadLogName = "Upload Log.txt";
inline constexpr std::string_view kConnectLogName = "Connect Log.txt";
inline constexpr std::string_view kAccountLogName = "Account Log.txt";
inline constexpr std::string_view kErrorLogName = "Error Log.txt";

inline constexpr std::string_view kTransferLogHeader = "Date/time\tAddress\tAccount\tName\tFile Name\r";
inline constexpr std::string_view kConnectLogHeader = "Date/time\tAddress\tAccount\tName\r";
inline constexpr std::string_view kAccountLogHeader = "Date/time\tAddress\tAccount\tName\tAction\tAffected Account\r";

constexpr std::size_t kLogRecordMax = 1023;
constexpr std::size_t kLogDateMax = 127;
constexpr std::size_t kLogAddressMax = 127;
constexpr std::size_t kLogSessionTextMax = 31;  // session login and name
constexpr std::size_t kLogDescriptionMax = 255;
constexpr std::size_t kLogIdTextMax = 127;
constexpr std::size_t kLogWindowMax = 16384;

// The client a record is about.
struct SLogActor {
  std::string address;  // peer address text
  std::string account;  // session login
  std::string name;     // session name
};

// The subject of a client's log line: its name, or its address text while it has none.
inline std::string_view LogSubject(std::string_view name, std::string_view address) {
  return name.empty() ? address : name;
}

// Text of the log window: cleared once it exceeds 16384 bytes, lines separated by CR.
class CMyLogText {
 public:
  void Append(std::string_view line);
  const std::string& Text() const { return text_; }
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

class CMyServerLog {
 public:
  using LineHook = std::function<void(std::string_view line)>;
  using DateSource = std::function<std::string()>;

  // Log files go into folder; options are the option flags that switch them on.
  explicit CMyServerLog(std::string folder, Uint32 options = kDefaultOptions);

  void SetOptions(Uint32 options) { options_ = options; }
  Uint32 Options() const { return options_; }
  // Receives every log window line (without a leading CR).
  void SetLineHook(LineHook hook) { hook_ = std::move(hook); }
  // The current date and time text (short date, blank, time with seconds).
  void SetDateSource(DateSource source) { date_ = std::move(source); }

  // The date, padded or cut to 21 characters, the subject padded or cut to 18, the text.
  std::string FormatLine(std::string_view subject, std::string_view text) const;
  void Line(std::string_view subject, std::string_view text);

  // Each appends one record when its option flag is on; raise the file system's error.
  void DownloadLog(const SLogActor& actor, std::string_view fileName);
  void UploadLog(const SLogActor& actor, std::string_view fileName);
  void ConnectLog(const SLogActor& actor);
  // action is "Create", "Delete" or "Modify".
  void AccountLog(const SLogActor& actor, std::string_view action, std::string_view affectedLogin);
  // Always written: the error's description and its identification text ("ID 4/117").
  void ErrorLog(std::string_view description, std::string_view idText);

  // The local date and time in the short form.
  static std::string LocalDateText();

 private:
  std::string Date() const;
  void Append(std::string_view file, std::string_view header, std::string record);

  std::string folder_;
  Uint32 options_;
  LineHook hook_;
  DateSource date_;
};

// A hook that writes each line to the diagnostic output (headless servers).
CMyServerLog::LineHook StderrLogHook();

}  // namespace cv
