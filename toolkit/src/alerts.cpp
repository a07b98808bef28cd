// Alerts as QMessageBox.
#include "toolkit/alerts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "framework/errors.h"
#include "toolkit/qtloop.h"
#include "toolkit/qttext.h"

namespace cv::UAlert {

namespace {

Hook& TheHook() {
  static Hook hook;
  return hook;
}

QMessageBox::Icon IconFor(SAlertTemplate::Kind kind) {
  switch (kind) {
    case SAlertTemplate::kindStop:
      return QMessageBox::Critical;
    case SAlertTemplate::kindCaution:
      return QMessageBox::Warning;
    case SAlertTemplate::kindQuestion:
      return QMessageBox::Question;
    default:
      return QMessageBox::Information;
  }
}

int Present(const SShownAlert& a, QWidget* parent) {
  if (const Hook& hook = TheHook()) return hook(a);
  if (!QApplication::instance()) return 0;
  QMessageBox box(IconFor(a.kind), UQtText::FromMac(a.title), UQtText::FromMac(a.message), QMessageBox::NoButton,
                  parent);
  box.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
  std::vector<QAbstractButton*> buttons;
  std::vector<std::string> labels = a.buttons;
  if (labels.empty()) labels.push_back("OK");
  for (std::size_t i = 0; i < labels.size(); ++i) {
    // Roles only order the buttons; the answer is the button's place in the template.
    const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    buttons.push_back(box.addButton(UQtText::FromMac(labels[i]), role));
  }
  box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
  box.setEscapeButton(buttons.back());
  UQtLoop::Exec(box);
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) return int(i + 1);
  return int(buttons.size());
}

template <typename Args>
std::string FillInAny(std::string_view message, const Args& args) {
  std::string out;
  auto next = std::begin(args);
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '%' && message.substr(i, 3) == "%#s") {
      if (next != std::end(args)) out += std::string_view(*next++);
      i += 2;
    } else if (message[i] == '%' && message.substr(i, 2) == "%%") {
      out += '%';
      i += 1;
    } else {
      out += message[i];
    }
  }
  return out;
}

}  // namespace

std::string FillIn(std::string_view message, std::initializer_list<std::string_view> args) {
  return FillInAny(message, args);
}

std::string FillIn(std::string_view message, const std::vector<std::string>& args) { return FillInAny(message, args); }

int ShowTemplate(const SAlertTemplate& alert, const std::vector<std::string>& args, QWidget* parent, Uint32 id) {
  SShownAlert a;
  a.id = id;
  a.kind = SAlertTemplate::Kind(alert.kind);
  a.title = alert.title;
  a.message = FillIn(alert.message, args);
  a.buttons = alert.buttons;
  if (a.buttons.empty()) a.buttons.push_back("OK");
  return Present(a, parent);
}

int Show(Uint32 id, const std::vector<std::string>& args, QWidget* parent) {
  std::optional<SAlertTemplate> t = URez::GetAlert(id);
  if (!t) {
    UError::Trace("UAlert - no such alert in the resource files");
    return 0;
  }
  return ShowTemplate(*t, args, parent, id);
}

int Show(Uint32 id, std::initializer_list<std::string_view> args, QWidget* parent) {
  return Show(id, std::vector<std::string>(args.begin(), args.end()), parent);
}

void ShowError(std::string_view title, std::string_view text) {
  SShownAlert a;
  a.kind = SAlertTemplate::kindCaution;
  a.title = std::string(title);
  a.message = std::string(text);
  a.buttons = {"OK"};
  Present(a, nullptr);
}

void InstallErrorSink() {
  UError::SetAlertSink([](std::string_view title, std::string_view text) { ShowError(title, text); });
}

void SetHook(Hook hook) { TheHook() = std::move(hook); }

}  // namespace cv::UAlert
