// What the whiteboard's windows show and ask, as small interfaces. The desktop front end
// implements them with real windows; a headless run leaves them out; tests record them.
// The application never waits for an answer: questions come back as calls on
// CMyApplication (AnswerRedirectIncoming, AnswerRedirect, AnswerErase).
#pragma once

#include <vector>

#include "framework/errors.h"
#include "framework/types.h"
#include "whiteboard/board.h"

namespace cv::pw {

// One entry of the connections list.
struct SMyUser {
  Uint32 id = 0;
  Bytes name;
  Uint32 privileges = 0;
  Bytes address;         // dotted text, known to the host for its guests
  bool drawing = false;  // the last one whose drawing arrived
  bool operator==(const SMyUser&) const = default;
};

// Status texts of the status line.
enum : Uint16 { kStatusHosting = 700, kStatusConnecting = 701, kStatusConnected = 702, kStatusGuestElsewhere = 703 };
// Alerts and sounds (resource numbers).
enum : Uint16 { kAlertSessionLost = 155, kAlertConnectFailed = 156, kAlertNotAllowed = 170 };
enum : Uint16 { kSoundChat = 136, kSoundJoined = 137, kSoundGuestJoined = 138, kSoundEnded = 139 };

// The board window with its tools, status line, local address and connections list.
class IMyBoardWindow {
 public:
  virtual ~IMyBoardWindow() = default;
  virtual void BoardChanged(const SArea& area) = 0;
  virtual void ShowStatus(Uint16 statusText) = 0;
  // "My Address:" and the text, or "(not available)".
  virtual void ShowLocalAddress(const Bytes& text) = 0;
  virtual void UsersChanged(const std::vector<SMyUser>& users) = 0;
};

// "Chat": the received lines and the input line.
class IMyChatWindow {
 public:
  virtual ~IMyChatWindow() = default;
  virtual void AppendLine(const Bytes& line) = 0;
  virtual void Clear() = 0;
};

// "Info for %#s": name, address and the six privilege boxes of one user.
class IMyUserInfoWindow {
 public:
  virtual ~IMyUserInfoWindow() = default;
  virtual void Show(const SMyUser& user, bool mayChange) = 0;
};

// Alerts, sounds and the confirmation windows.
class IMyShell {
 public:
  virtual ~IMyShell() = default;
  // Alert 155, 156 or 170 (with its text, such as "draw").
  virtual void Alert(Uint16 alertId, const char* text) = 0;
  virtual void ShowError(const SError& e) = 0;
  virtual void PlaySound(Uint16 soundId) = 0;
  // "Confirm Redirect Incoming" for a caller; answered by AnswerRedirectIncoming(token, ...).
  virtual void ConfirmRedirectIncoming(Uint32 token, const Bytes& callerName) = 0;
  virtual void CloseRedirectIncoming(Uint32 token) = 0;
  // "Confirm Redirect"; answered by AnswerRedirect.
  virtual void ConfirmRedirect(const Bytes& tried, const Bytes& name, const Bytes& address) = 0;
  // "Confirm Erase"; answered by AnswerErase.
  virtual void ConfirmErase() = 0;
};

struct SMyViews {
  IMyBoardWindow* board = nullptr;
  IMyChatWindow* chat = nullptr;
  IMyUserInfoWindow* info = nullptr;
  IMyShell* shell = nullptr;
};

}  // namespace cv::pw
