// Recording implementations of the client's views: every call is kept so that tests can
// check what a user would have seen. Shared by the client tests.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/application.h"
#include "client/views.h"

namespace cvtest {

class RecordingShell : public cv::client::IMyClientShell {
 public:
  void ShowAlert(const cv::client::SMyAlert& alert) override { alerts.push_back(alert); }
  void Beep() override { ++beeps; }
  void PlaySound(cv::Int16 soundId) override { sounds.push_back(soundId); }
  void ShowWindow(cv::client::EMyWindow window) override { shown.push_back(window); }
  void SetWindowTitle(cv::client::EMyWindow window, std::string_view title) override {
    titles[window] = std::string(title);
  }
  bool GetWindowState(cv::client::EMyWindow window, cv::client::SMyRect& rect, bool& visible) override {
    auto it = windowStates.find(window);
    if (it == windowStates.end()) return false;
    rect = it->second.first;
    visible = it->second.second;
    return true;
  }
  void OpenConnect(const cv::client::SMyConnectForm& form, bool showBookmarks) override {
    connectForms.push_back(form);
    bookmarkPopupShown = showBookmarks;
  }
  void OpenAbout(std::string_view statistics) override { abouts.emplace_back(statistics); }
  void OpenAgreement(std::string_view text) override { agreements.emplace_back(text); }
  void OpenOptions() override { ++optionsOpened; }
  void CloseServerWindows() override { ++serverWindowsClosed; }

  // The alerts with that title, or with that resource number.
  std::size_t CountAlerts(std::string_view title) const {
    return std::size_t(std::count_if(alerts.begin(), alerts.end(), [&](const auto& a) { return a.title == title; }));
  }
  const cv::client::SMyAlert* FindAlert(cv::Int16 id) const {
    for (const auto& a : alerts)
      if (a.id == id) return &a;
    return nullptr;
  }
  const cv::client::SMyAlert* FindAlert(std::string_view title) const {
    for (const auto& a : alerts)
      if (a.title == title) return &a;
    return nullptr;
  }
  std::string Title(cv::client::EMyWindow window) const {
    auto it = titles.find(window);
    return it == titles.end() ? std::string() : it->second;
  }

  std::vector<cv::client::SMyAlert> alerts;
  int beeps = 0;
  std::vector<cv::Int16> sounds;
  std::vector<cv::client::EMyWindow> shown;
  std::map<cv::client::EMyWindow, std::string> titles;
  // What GetWindowState answers; windows not listed do not exist.
  std::map<cv::client::EMyWindow, std::pair<cv::client::SMyRect, bool>> windowStates;
  std::vector<cv::client::SMyConnectForm> connectForms;
  bool bookmarkPopupShown = false;
  std::vector<std::string> abouts;
  std::vector<std::string> agreements;
  int optionsOpened = 0;
  int serverWindowsClosed = 0;
};

class RecordingToolbar : public cv::client::IMyToolbarView {
 public:
  void SetLook(cv::client::EMyToolbarLook l) override { looks.push_back(l); }
  std::optional<cv::client::EMyToolbarLook> Look() const {
    if (looks.empty()) return std::nullopt;
    return looks.back();
  }
  std::vector<cv::client::EMyToolbarLook> looks;
};

// Rows as the window would show them, and every change in order ("add", "update", "remove").
class RecordingTasks : public cv::client::IMyTasksView {
 public:
  struct SEvent {
    std::string what;
    cv::Uint32 taskId;
    cv::client::SMyTaskRow row;
  };
  void AddRow(cv::Uint32 id, const cv::client::SMyTaskRow& row) override {
    rows[id] = row;
    events.push_back({"add", id, row});
  }
  void UpdateRow(cv::Uint32 id, const cv::client::SMyTaskRow& row) override {
    rows[id] = row;
    events.push_back({"update", id, row});
  }
  void RemoveRow(cv::Uint32 id) override {
    rows.erase(id);
    events.push_back({"remove", id, {}});
  }
  // Every state a row with that title went through, as "value/maximum".
  std::vector<std::string> ProgressOf(std::string_view title) const {
    std::vector<std::string> out;
    std::optional<cv::Uint32> id;
    for (const auto& e : events) {
      if (e.what == "add" && e.row.text == title && !id) id = e.taskId;
      if (id && e.taskId == *id && e.what != "remove")
        out.push_back(std::to_string(e.row.value) + "/" + std::to_string(e.row.maximum));
    }
    return out;
  }
  bool HasRow(std::string_view title) const {
    for (const auto& [id, row] : rows)
      if (row.text == title) return true;
    return false;
  }
  std::optional<cv::Uint32> RowId(std::string_view title) const {
    for (const auto& [id, row] : rows)
      if (row.text == title) return id;
    return std::nullopt;
  }
  std::map<cv::Uint32, cv::client::SMyTaskRow> rows;
  std::vector<SEvent> events;
};

class RecordingNews : public cv::client::IMyNewsView {
 public:
  void SetText(std::string_view t) override {
    text = std::string(t);
    calls.push_back("set");
  }
  void InsertAtStart(std::string_view t) override {
    text.insert(0, t);
    calls.push_back("insert");
  }
  void ScrollToTop() override { calls.push_back("top"); }
  void OpenPostWindow() override { ++postWindowsOpened; }
  std::string text;
  std::vector<std::string> calls;
  int postWindowsOpened = 0;
};

class RecordingConnectView : public cv::client::IMyConnectView {
 public:
  cv::client::SMyConnectForm Read() override { return form; }
  void Close() override { ++closed; }
  cv::client::SMyConnectForm form;
  int closed = 0;
};

class RecordingAgreementView : public cv::client::IMyAgreementView {
 public:
  void Close() override { ++closed; }
  int closed = 0;
};

class RecordingPostView : public cv::client::IMyPostView {
 public:
  std::string Text() override { return text; }
  void Close() override { ++closed; }
  std::string text;
  int closed = 0;
};

// The core views of one client application.
struct ClientViews {
  RecordingShell shell;
  RecordingToolbar toolbar;
  RecordingTasks tasks;
  cv::client::SMyCoreViews Core() { return cv::client::SMyCoreViews{shell, toolbar, tasks}; }
};

}  // namespace cvtest
