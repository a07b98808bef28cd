// One copy of the whiteboard in a session: the listener, the connection to the host
// (as a guest) or the guests' connections (as a host), the user list, the board, the
// chat and the options. Everything runs on the thread's event loop; transports report
// to this object's own handler, so several copies can share one loop (tests do).
//
// A copy that is connected to nobody is a host: callers become its guests, it relays
// their drawing and chat to the others and serves their pasted pictures. A copy that
// connects to another becomes a guest; callers then reach a go-between that, by the
// redirect policy or the user's answer, sends them on to this copy's host.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/events.h"
#include "framework/random.h"
#include "framework/transport.h"
#include "whiteboard/board.h"
#include "whiteboard/peer_protocol.h"
#include "whiteboard/prefs.h"
#include "whiteboard/tools.h"
#include "whiteboard/views.h"

namespace cv::pw {

// Messages this object posts to itself.
enum : Uint32 {
  msg_RedirectArrived = 1000,  // disconnect and show status 703
  msg_FollowRedirect = 1001,   // data: the address text to connect to
};

inline constexpr std::size_t kTransferPiece = 51200;

class CMyWhiteboard {
 public:
  enum class ERole { host, guest };
  enum class EGuestState { notConnected, connecting, awaitingHandshake, inSession };

  // port: where this copy listens and where it connects (2007 unless a test says
  // otherwise); 0 listens on any free port.
  CMyWhiteboard(SMyViews views, SMyPrefs prefs, Uint16 port = kDefaultPort);
  ~CMyWhiteboard();
  CMyWhiteboard(const CMyWhiteboard&) = delete;
  CMyWhiteboard& operator=(const CMyWhiteboard&) = delete;

  // Listens on the port (all interfaces) and shows the local address and status 700.
  void Start();
  // The port outgoing connections go to (the listening port unless set; 2007 when that
  // is 0). A port written in an address text is ignored either way.
  void SetConnectPort(Uint16 port) { connectPort_ = port; }

  // Commands of the windows and menus.
  void Connect(std::string_view address);
  void Disconnect();
  void SendChat(ByteView text);
  // A tool's operation: refused with alert 170 without the draw privilege; otherwise
  // drawn here and sent (to the host, or to every guest that may view the board).
  void Draw(const SDrawing& d);
  void ChangePrivileges(Uint32 userId, Uint32 privileges);
  void ShowUserInfo(Uint32 userId);
  // The eraser's double-click: erase (asking first when the option says so), or with
  // Alt the start picture.
  void EraseCommand(bool alt);
  // Paste is not available here: (1, 4) with the privilege, alert 170 without.
  void PasteCommand();
  void ApplyOptions(const SMyPrefs& prefs);
  // Called on quit: disconnects and closes the listener.
  void Shutdown();

  // Strokes of the brush-like tools, cut into segments (7 or 20 points) and sent as
  // they fill; while connected a 500 ms timer also sends what was collected.
  SMyToolState& Tool() { return tool_; }
  void StrokeBegin(SPoint p);
  void StrokeMove(SPoint p);
  void StrokeEnd();

  // Answers of the confirmation windows.
  void AnswerRedirectIncoming(Uint32 token, bool allow, bool dontAskAgain);
  void AnswerRedirect(bool connect, bool dontAskAgain);
  void AnswerErase(bool erase, bool dontAskAgain);

  // What the windows show.
  ERole Role() const { return role_; }
  EGuestState GuestState() const { return guestState_; }
  const CMyBoard& Board() const { return board_; }
  CMyBoard& Board() { return board_; }
  const std::vector<SMyUser>& Users() const { return users_; }
  const SMyUser* FindUser(Uint32 id) const;
  Uint32 OwnPrivileges() const { return ownPrivileges_; }
  const SMyPrefs& Prefs() const { return prefs_; }
  Uint16 ListeningPort() const;
  // Guest connections, go-betweens and transfer connections.
  std::size_t ConnectionCount() const;
  std::size_t GuestCount() const;
  std::size_t TransferCount() const { return transfers_.size(); }

 private:
  struct SConnection;
  struct STransfer;

  static void OnMessage(void* context, void* object, Uint32 id, const void* data, Uint32 size);
  void Handle(void* object, Uint32 id, const void* data, Uint32 size);
  void Sweep();

  // Host side and go-between.
  void AcceptCallers();
  void Receive(SConnection& c);
  void OnHandshake(SConnection& c, EHandshake h);
  void OnGuestMessage(SConnection& c, const SPeerMessage& m);
  void OnGoBetweenMessage(SConnection& c, const SPeerMessage& m);
  void OnTransferMessage(SConnection& c, const SPeerMessage& m);
  void OnTransferData(SConnection& c, const Uint8* data, std::size_t size);
  void PumpTransfer(SConnection& c);
  void EndTransfer(Uint32 id);
  void FinishTransfer(SConnection& c);
  void SendRedirect(SConnection& c);
  void DropGuest(SConnection& c);
  void DropConnection(SConnection& c);
  void DropAllGuests();
  void RelayDrawing(Uint32 sender, Uint16 type, ByteView body, const SConnection* except);
  void SendToGuest(SConnection& c, Uint32 sender, Uint16 type, ByteView body);
  void ApplyPrivilegeChange(Uint32 requester, Uint32 target, Uint32 privileges);

  // Guest side.
  void StartConnect(const std::string& address);
  void OnHostEvent(Uint32 id);
  void OnHostData();
  void OnHostMessage(const SPeerMessage& m);
  void LeaveHost(Uint16 alert);
  void SendToHost(Uint16 type, ByteView body);

  // Shared.
  void ApplyDrawing(Uint32 sender, const SDrawing& d);
  void AppendChat(const Bytes& line, bool sound);
  void ResetUsers();
  void UsersChanged();
  void Status(Uint16 text);
  void Sound(Uint16 id);
  void Alert(Uint16 id, const char* text);
  void ReportError(const SError& e);
  void SendStrokeSegment(std::vector<SPoint> points);

  SMyViews views_;
  SMyPrefs prefs_;
  Uint16 port_;
  Uint16 connectPort_ = 0;
  ERole role_ = ERole::host;
  EGuestState guestState_ = EGuestState::notConnected;
  TransportPtr listener_;
  std::unique_ptr<SConnection> host_;
  std::vector<std::unique_ptr<SConnection>> connections_;
  std::vector<std::unique_ptr<STransfer>> transfers_;
  Uint32 nextUserId_ = kFirstGuestId;
  Uint32 nextTransferId_ = 1;
  Uint32 nextToken_ = 1;
  Uint32 ownPrivileges_ = kAllPrivileges;
  std::vector<SMyUser> users_;
  std::string triedAddress_;
  SRedirect pendingRedirect_;
  CMyBoard board_;
  SMyToolState tool_;
  CMyStrokeSegmenter segmenter_;
  TimerPtr strokeTimer_;
  TimerPtr closingTimer_;
  URandom rng_;
  bool handling_ = false;
};

}  // namespace cv::pw
