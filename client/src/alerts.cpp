// Numbered alerts from corvane.dat, with built-in wording for the ones the connection
// logic shows when the resource file is missing or lacks them.
#include <array>

#include "client/application.h"
#include "framework/text.h"

namespace cv::client {

namespace {

struct SBuiltInAlert {
  Int16 id;
  Uint8 kind;
  std::string_view title;
  std::string_view message;
};

constexpr std::array kBuiltInAlerts = {
    SBuiltInAlert{kAlertConnectionLost, SMyAlert::kindStop, "Connection Lost",
                  "The connection to the server has been lost."},
    SBuiltInAlert{kAlertToolbarFile, SMyAlert::kindNote, "Cannot Open",
                  "This is a toolbar file.  It cannot be opened as a document."},
    SBuiltInAlert{kAlertUnknownDocument, SMyAlert::kindCaution, "Cannot Open",
                  "This file is not a Corvane bookmark and cannot be opened."},
    SBuiltInAlert{kAlertSettingsFile, SMyAlert::kindNote, "Cannot Open",
                  "This is a Corvane settings file.  It cannot be opened as a document."},
    SBuiltInAlert{kAlertNetworkError, SMyAlert::kindStop, "Network Error", "%#s"},
    SBuiltInAlert{kAlertDisconnected, SMyAlert::kindStop, "Disconnected", "The server has disconnected you:\r\r%#s"},
    SBuiltInAlert{kAlertHandshakeRefused, SMyAlert::kindStop, "Connection Refused",
                  "The server refused the connection.  It may run a version that this program does not support."},
};

constexpr std::size_t kMaxArguments = 4;
constexpr std::size_t kAlertTextMax = 1024;

// The template with each "%#s" replaced by arg and "%%" by "%". A template with any
// other conversion is shown as it is: it would read arguments that were never given.
std::string FormatAlertText(const std::string& tmpl, std::string_view arg) {
  std::size_t arguments = 0;
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%') continue;
    if (tmpl.compare(i, 3, "%#s") == 0) {
      ++arguments;
      i += 2;
    } else if (tmpl.compare(i, 2, "%%") == 0) {
      ++i;
    } else {
      return tmpl;
    }
  }
  if (arguments > kMaxArguments) return tmpl;
  const SCountedString counted = UText::ToCounted(arg);
  const Uint8* a = counted.data();
  return UText::FmtN(kAlertTextMax, tmpl.c_str(), a, a, a, a);
}

}  // namespace

void CMyApplication::ShowAlert(Int16 alertId, std::string_view arg) {
  std::optional<SAlertTemplate> tmpl = URez::GetAlert(Uint32(Uint16(alertId)));
  if (!tmpl) {
    for (const SBuiltInAlert& b : kBuiltInAlerts) {
      if (b.id != alertId) continue;
      tmpl.emplace();
      tmpl->kind = b.kind;
      tmpl->title = std::string(b.title);
      tmpl->message = std::string(b.message);
    }
  }
  SMyAlert alert;
  alert.id = alertId;
  if (tmpl) {
    alert.kind = tmpl->kind;
    alert.title = tmpl->title;
    alert.text = FormatAlertText(tmpl->message, arg);
    alert.buttons = tmpl->buttons;
  } else {
    // Not ours and not in the file: still say something.
    alert.kind = SMyAlert::kindCaution;
    alert.title = "Corvane";
    alert.text = arg.empty() ? UText::Fmt("Alert %d", int(alertId)) : std::string(arg);
  }
  if (alert.buttons.empty()) alert.buttons = {"OK"};
  views_.shell.ShowAlert(alert);
}

void CMyApplication::ShowMessageAlert(std::string_view title, std::string_view text) {
  SMyAlert alert;
  alert.kind = SMyAlert::kindNote;
  alert.title = std::string(title);
  alert.text = std::string(text);
  alert.buttons = {"OK"};
  views_.shell.ShowAlert(alert);
}

}  // namespace cv::client
