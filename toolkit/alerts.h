// Alerts: modal message boxes made from the resource file's alert templates, and the
// box that shows framework errors ("ERROR").
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "framework/resources.h"

class QWidget;

namespace cv {

namespace UAlert {

// An alert as it is about to be shown: Mac OS Roman texts, arguments filled in.
struct SShownAlert {
  Uint32 id = 0;  // 0 for an error alert
  SAlertTemplate::Kind kind = SAlertTemplate::kindNote;
  std::string title;
  std::string message;
  std::vector<std::string> buttons;
};

// Each "%#s" of a template message takes the next argument (a missing one is empty);
// "%%" is a percent sign; anything else stays as written.
std::string FillIn(std::string_view message, std::initializer_list<std::string_view> args);
std::string FillIn(std::string_view message, const std::vector<std::string>& args);

// Shows alert `id` of the open resource files, modal (network and timers keep going
// meanwhile). Returns the button chosen, 1 for the first (the default one); Escape
// chooses the last. 0 when no file has that alert.
int Show(Uint32 id, std::initializer_list<std::string_view> args = {}, QWidget* parent = nullptr);
int Show(Uint32 id, const std::vector<std::string>& args, QWidget* parent = nullptr);
int ShowTemplate(const SAlertTemplate& alert, const std::vector<std::string>& args, QWidget* parent = nullptr,
                 Uint32 id = 0);

// The framework's error alert (what UError::Alert gives): caution icon, one "OK".
void ShowError(std::string_view title, std::string_view text);
// Makes UError::Alert show ShowError's box (nothing is shown without a QApplication).
void InstallErrorSink();

// Tests: every alert goes to the hook instead of the screen, and the hook's result is
// the button chosen. An empty hook shows them again.
using Hook = std::function<int(const SShownAlert&)>;
void SetHook(Hook hook);

}  // namespace UAlert

}  // namespace cv
