// Qt for the toolkit tests: one QApplication on the offscreen platform, made on first
// use (listing the tests makes none), and a fixture that puts the framework's loop on
// Qt's for the length of a test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "framework/events.h"
#include "framework/transport.h"
#include "toolkit/alerts.h"
#include "toolkit/qtloop.h"

namespace cvtest {

inline QApplication& QtApp() {
  static QApplication* app = [] {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "toolkit_tests";
    static char* argv[] = {name, nullptr};
    // The offscreen platform says so for every window placed or raised.
    static QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (message.startsWith("This plugin does not support")) return;
          previous(type, context, message);
        });
    // Kept until the process ends: widgets of static lifetime may outlive any test.
    return new QApplication(argc, argv);
  }();
  return *app;
}

class QtLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QtApp();
    cv::UTransport::Init();
    cv::UMessageSys::Clear();
    cv::UEventLoop::SetBinding(cv::UQtLoop::NewBinding());
    // An alert that nobody answers would hang the test: they are answered at once.
    cv::UAlert::SetHook([this](const cv::UAlert::SShownAlert& a) {
      alerts.push_back(a);
      return 1;
    });
  }
  void TearDown() override {
    cv::UAlert::SetHook(nullptr);
    cv::UMessageSys::Clear();
    cv::UEventLoop::SetBinding(cv::NewEpollBinding());
  }

  std::vector<cv::UAlert::SShownAlert> alerts;
};

// Where the tests leave pictures of the windows (not compared with anything).
inline std::string ScreenshotFolder() {
  std::string folder = CORVANE_SCREENSHOT_DIR;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return folder;
}

}  // namespace cvtest
