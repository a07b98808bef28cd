#include "whiteboard/whiteboard.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "framework/errors.h"

namespace cv::pw {

namespace {

constexpr Uint32 kStrokeTickMs = 500;
// A pasted picture of the board at 32 bits a pixel is 640,000 bytes; anything much
// larger is not a picture of ours and is not relayed.
constexpr Uint32 kMaxPictureSize = 4u << 20;
constexpr std::size_t kMaxTransfersPerGuest = 16;
constexpr std::size_t kMaxTransfers = 256;

Bytes Text(std::string_view s) { return Bytes(reinterpret_cast<const Uint8*>(s.data()), s.size()); }
ByteView View(const Bytes& b) { return ByteView(b.data(), b.size()); }

Bytes DottedAddress(const SInternetAddress& a) {
  const std::string s = std::to_string(a.host[0]) + "." + std::to_string(a.host[1]) + "." + std::to_string(a.host[2]) +
                        "." + std::to_string(a.host[3]);
  return Text(s);
}

Bytes RemoteAddressText(TTransport t) {
  char text[32];
  try {
    const Uint32 n = UTransport::GetRemoteAddressText(t, text, sizeof text);
    return Bytes(reinterpret_cast<const Uint8*>(text), n);
  } catch (const SError&) {
    return {};
  }
}

}  // namespace

struct CMyWhiteboard::STransfer {
  Uint32 id = 0;
  STransferTicket ticket;
  Uint32 paste = 0;  // the transfer id of the paste's upload
  Uint32 owner = 0;  // user id the ticket went to
  bool upload = false;
  Uint32 pictureSize = 0;
  Bytes data;  // the upload's bytes so far
  bool connected = false;
};

struct CMyWhiteboard::SConnection {
  enum class EState {
    awaitingHandshake,
    awaitingName,
    inSession,
    awaitingTicket,
    uploading,
    downloading,
    gbAwaitingHandshake,
    gbAwaitingName,
    gbAsking,
    gbDiscarding,
    host,  // this copy's own connection to its host
  };
  TransportPtr transport;
  EState state = EState::awaitingHandshake;
  CMyPeerReader reader{true};
  Uint32 userId = 0;
  Bytes name;
  Uint32 privileges = 0;
  Bytes address;
  bool dead = false;
  Uint32 token = 0;
  Uint32 transferId = 0;
  std::size_t passed = 0;
  bool waitingReady = false;
  bool closing = false;  // shutting down once the unsent bytes are out

  bool HandshakeDone() const { return state == EState::awaitingName || state == EState::inSession; }
};

CMyWhiteboard::CMyWhiteboard(SMyViews views, SMyPrefs prefs, Uint16 port)
    : views_(views), prefs_(std::move(prefs)), port_(port) {
  segmenter_.SetSegmentSize(prefs_.fastConnection ? kFastSegment : kSlowSegment);
  tool_.penSize = Uint8(std::clamp<Uint16>(prefs_.penSize, 1, 255));
  ResetUsers();
}

CMyWhiteboard::~CMyWhiteboard() {
  // Transports flush their own pending messages; ours (1000, 1001) go here.
  UMessageSys::Flush(&CMyWhiteboard::OnMessage, this);
}

void CMyWhiteboard::Start() {
  listener_.reset(UTransport::New(kTransportTCP));
  UTransport::SetMessageHandler(listener_.get(), &CMyWhiteboard::OnMessage, this);
  const SInternetAddress any = SInternetAddress::Any(port_);
  UTransport::Listen(listener_.get(), &any, sizeof any);
  if (views_.board) {
    char text[32];
    Bytes shown = Text("(not available)");
    try {
      const Uint32 n = UTransport::GetLocalAddressText(listener_.get(), text, sizeof text);
      shown.assign(reinterpret_cast<const Uint8*>(text), n);
    } catch (const SError&) {
    }
    views_.board->ShowLocalAddress(shown);
  }
  Status(kStatusHosting);
}

Uint16 CMyWhiteboard::ListeningPort() const {
  if (!listener_) return 0;
  return UTransport::GetLocalAddress(listener_.get()).port;
}

std::size_t CMyWhiteboard::ConnectionCount() const {
  return std::count_if(connections_.begin(), connections_.end(), [](auto& c) { return !c->dead; });
}

std::size_t CMyWhiteboard::GuestCount() const {
  return std::count_if(connections_.begin(), connections_.end(), [](auto& c) {
    return !c->dead && (c->HandshakeDone() || c->state == SConnection::EState::awaitingHandshake);
  });
}

const SMyUser* CMyWhiteboard::FindUser(Uint32 id) const {
  for (const SMyUser& u : users_)
    if (u.id == id) return &u;
  return nullptr;
}

// ---- messages ----

void CMyWhiteboard::OnMessage(void* context, void* object, Uint32 id, const void* data, Uint32 size) {
  auto* self = static_cast<CMyWhiteboard*>(context);
  const bool outer = !self->handling_;
  self->handling_ = true;
  try {
    self->Handle(object, id, data, size);
  } catch (const SError& e) {
    self->ReportError(e);
  }
  if (outer) {
    self->handling_ = false;
    self->Sweep();
  }
}

void CMyWhiteboard::Sweep() {
  std::erase_if(connections_, [](const std::unique_ptr<SConnection>& c) { return c->dead; });
}

void CMyWhiteboard::Handle(void* object, Uint32 id, const void* data, Uint32 size) {
  if (id == msg_RedirectArrived) {
    if (host_) LeaveHost(0);
    Status(kStatusGuestElsewhere);
    return;
  }
  if (id == msg_FollowRedirect) {
    StartConnect(std::string(static_cast<const char*>(data), size));
    return;
  }
  if (id == msg_Timer && closingTimer_ && object == closingTimer_.get()) {
    bool waiting = false;
    for (auto& c : connections_) {
      if (c->dead || !c->closing) continue;
      if (UTransport::IsDisconnecting(c->transport.get()))
        waiting = true;
      else
        DropConnection(*c);
    }
    if (!waiting) closingTimer_.reset();
    return;
  }
  if (id == msg_Timer && strokeTimer_ && object == strokeTimer_.get()) {
    if (auto seg = segmenter_.Flush()) SendStrokeSegment(std::move(*seg));
    return;
  }
  if (listener_ && object == listener_.get()) {
    if (id == msg_ConnectionRequest) AcceptCallers();
    return;
  }
  if (host_ && object == host_->transport.get()) {
    OnHostEvent(id);
    return;
  }
  for (auto& cp : connections_) {
    SConnection& c = *cp;
    if (c.dead || object != c.transport.get()) continue;
    switch (id) {
      case msg_DataArrived:
        Receive(c);
        break;
      case msg_ReadyToSend:
        c.waitingReady = false;
        PumpTransfer(c);
        break;
      case msg_ConnectionClosed:
        if (c.HandshakeDone() || c.state == SConnection::EState::awaitingHandshake)
          DropGuest(c);
        else
          DropConnection(c);
        break;
      default:
        break;
    }
    return;
  }
}

// ---- host side ----

void CMyWhiteboard::AcceptCallers() {
  for (;;) {
    SInternetAddress peer;
    Uint32 psize = sizeof peer;
    TransportPtr t(UTransport::Accept(listener_.get(), &peer, &psize));
    if (!t) return;
    if (role_ == ERole::host && ConnectionCount() >= prefs_.maxConnections) continue;  // closed at once
    auto c = std::make_unique<SConnection>();
    c->transport = std::move(t);
    c->userId = nextUserId_++;
    c->address = psize >= sizeof peer ? DottedAddress(peer) : Bytes{};
    UTransport::SetMessageHandler(c->transport.get(), &CMyWhiteboard::OnMessage, this);
    if (role_ == ERole::host) {
      if (GuestCount() == 0) Status(kStatusConnected);
      c->state = SConnection::EState::awaitingHandshake;
    } else {
      c->state = SConnection::EState::gbAwaitingHandshake;
      const Bytes hs = EncodeHandshake(EHandshake::session);
      UTransport::Send(c->transport.get(), hs.data(), Uint32(hs.size()));
    }
    connections_.push_back(std::move(c));
  }
}

void CMyWhiteboard::Receive(SConnection& c) {
  Uint8 buf[16384];
  while (!c.dead) {
    const Uint32 n = UTransport::Receive(c.transport.get(), buf, sizeof buf);
    if (n == 0) return;
    std::size_t at = 0;
    while (at < n && !c.dead) {
      if (c.state == SConnection::EState::uploading) {
        OnTransferData(c, buf + at, n - at);
        break;
      }
      if (c.state == SConnection::EState::gbDiscarding || c.state == SConnection::EState::downloading) break;
      const auto r = c.reader.Feed(buf + at, n - at);
      at += r.used;
      if (r.item == CMyPeerReader::EItem::handshake) {
        OnHandshake(c, r.handshake);
      } else if (r.item == CMyPeerReader::EItem::message) {
        switch (c.state) {
          case SConnection::EState::awaitingName:
          case SConnection::EState::inSession:
            OnGuestMessage(c, r.message);
            break;
          case SConnection::EState::gbAwaitingName:
          case SConnection::EState::gbAsking:
            OnGoBetweenMessage(c, r.message);
            break;
          case SConnection::EState::awaitingTicket:
            OnTransferMessage(c, r.message);
            break;
          default:
            break;
        }
      }
    }
  }
}

void CMyWhiteboard::OnHandshake(SConnection& c, EHandshake h) {
  using S = SConnection::EState;
  if (c.state == S::gbAwaitingHandshake) {
    if (h != EHandshake::session) return DropConnection(c);
    c.state = S::gbAwaitingName;
    return;
  }
  if (c.state != S::awaitingHandshake) return;
  if (h == EHandshake::transfer) {
    const Bytes hs = EncodeHandshake(EHandshake::transfer);
    UTransport::Send(c.transport.get(), hs.data(), Uint32(hs.size()));
    c.state = S::awaitingTicket;
    return;
  }
  if (h != EHandshake::session) return DropConnection(c);
  const Bytes hs = EncodeHandshake(EHandshake::session);
  UTransport::Send(c.transport.get(), hs.data(), Uint32(hs.size()));
  Sound(kSoundGuestJoined);
  c.privileges = prefs_.defaultPrivileges;
  c.state = S::awaitingName;
  SendToGuest(c, kHostId, kOwnPrivileges, View(EncodeOwnPrivileges(c.privileges)));
  SendToGuest(c, kHostId, kUserName, View(EncodeUserName(View(prefs_.name))));
  SendToGuest(c, kHostId, kUserPrivileges, View(EncodeUserPrivileges(kHostId, kAllPrivileges)));
  for (auto& o : connections_) {
    if (o.get() == &c || o->dead || o->state != S::inSession) continue;
    SendToGuest(c, o->userId, kUserName, View(EncodeUserName(View(o->name))));
    SendToGuest(c, o->userId, kUserPrivileges, View(EncodeUserPrivileges(o->userId, o->privileges)));
  }
}

void CMyWhiteboard::OnGuestMessage(SConnection& c, const SPeerMessage& m) {
  using S = SConnection::EState;
  if (!CheckBody(m.type, m.body, false)) return DropGuest(c);
  if (c.state == S::awaitingName) {
    if (m.type != kUserName) return DropGuest(c);
    DecodeUserName(m.body, c.name);
    c.state = S::inSession;
    users_.push_back({c.userId, c.name, c.privileges, c.address, false});
    UsersChanged();
    const Bytes name = EncodeUserName(View(c.name));
    const Bytes privs = EncodeUserPrivileges(c.userId, c.privileges);
    for (auto& o : connections_) {
      if (o.get() == &c || o->dead || !o->HandshakeDone()) continue;
      SendToGuest(*o, c.userId, kUserName, View(name));
      SendToGuest(*o, c.userId, kUserPrivileges, View(privs));
    }
    return;
  }
  if (IsDrawingType(m.type)) {
    if (!(c.privileges & kCanDraw)) return;
    SDrawing d;
    if (!DecodeDrawing(m.type, m.body, d)) return DropGuest(c);
    ApplyDrawing(c.userId, d);
    RelayDrawing(c.userId, m.type, m.body, &c);
    return;
  }
  switch (m.type) {
    case kChat: {
      if (!(c.privileges & kCanWriteChat)) return;
      Bytes text;
      DecodeChatText(m.body, text);
      const Bytes line = FormatChatLine(View(c.name), View(text));
      AppendChat(line, true);
      const Bytes body = EncodeChat(View(line));
      for (auto& o : connections_)
        if (o.get() != &c && !o->dead && o->HandshakeDone() && (o->privileges & kCanViewChat))
          SendToGuest(*o, c.userId, kChat, View(body));
      return;
    }
    case kUserName: {
      DecodeUserName(m.body, c.name);
      for (SMyUser& u : users_)
        if (u.id == c.userId) u.name = c.name;
      UsersChanged();
      const Bytes body = EncodeUserName(View(c.name));
      for (auto& o : connections_)
        if (o.get() != &c && !o->dead && o->HandshakeDone()) SendToGuest(*o, c.userId, kUserName, View(body));
      return;
    }
    case kUserPrivileges: {
      if (!(c.privileges & kCanChangePrivileges)) return;
      Uint32 target = 0, privs = 0;
      DecodeUserPrivileges(m.body, target, privs);
      if (target == c.userId) return;  // nobody raises their own privileges
      ApplyPrivilegeChange(c.userId, target, privs);
      return;
    }
    case kPasteRequest: {
      if (!(c.privileges & kCanPaste)) return;
      SPasteRequest req;
      DecodePasteRequest(m.body, req);
      const std::size_t held =
          std::count_if(transfers_.begin(), transfers_.end(), [&](auto& t) { return t->owner == c.userId; });
      if (req.pictureSize == 0 || req.pictureSize > kMaxPictureSize || held >= kMaxTransfersPerGuest ||
          transfers_.size() + connections_.size() + 1 > kMaxTransfers)
        return;
      auto makeTicket = [&](Uint32 owner, bool upload, Uint32 paste) {
        auto t = std::make_unique<STransfer>();
        t->id = nextTransferId_++;
        t->ticket = {t->id, Uint32(rng_.Draw(INT_MIN, INT_MAX)), Uint32(rng_.Draw(INT_MIN, INT_MAX))};
        t->paste = paste ? paste : t->id;
        t->owner = owner;
        t->upload = upload;
        t->pictureSize = req.pictureSize;
        STransfer& ref = *t;
        transfers_.push_back(std::move(t));
        return &ref;
      };
      STransfer* up = makeTicket(c.userId, true, 0);
      // Viewers get the request and a ticket of their own for fetching the picture.
      for (auto& o : connections_) {
        if (o.get() == &c || o->dead || !o->HandshakeDone() || !(o->privileges & kCanViewBoard)) continue;
        SendToGuest(*o, c.userId, kPasteRequest, m.body);
        STransfer* down = makeTicket(o->userId, false, up->paste);
        SendToGuest(*o, c.userId, kPasteTicket, View(EncodePasteTicket(down->ticket, req.tag)));
      }
      SendToGuest(c, kHostId, kPasteTicket, View(EncodePasteTicket(up->ticket, req.tag)));
      return;
    }
    default:
      return;  // 40, 41 and unknown types
  }
}

void CMyWhiteboard::ApplyPrivilegeChange(Uint32 requester, Uint32 target, Uint32 privileges) {
  privileges &= kAllPrivileges;
  SConnection* t = nullptr;
  for (auto& o : connections_)
    if (!o->dead && o->state == SConnection::EState::inSession && o->userId == target) t = o.get();
  if (!t) return;
  t->privileges = privileges;
  for (SMyUser& u : users_)
    if (u.id == target) u.privileges = privileges;
  UsersChanged();
  SendToGuest(*t, kHostId, kOwnPrivileges, View(EncodeOwnPrivileges(privileges)));
  const Bytes body = EncodeUserPrivileges(target, privileges);
  for (auto& o : connections_)
    if (o.get() != t && !o->dead && o->HandshakeDone()) SendToGuest(*o, requester, kUserPrivileges, View(body));
}

void CMyWhiteboard::RelayDrawing(Uint32 sender, Uint16 type, ByteView body, const SConnection* except) {
  const Bytes frame = EncodeFrame(sender, type, body);
  for (auto& o : connections_) {
    if (o.get() == except || o->dead || !o->HandshakeDone() || !(o->privileges & kCanViewBoard)) continue;
    UTransport::Send(o->transport.get(), frame.data(), Uint32(frame.size()));
  }
}

void CMyWhiteboard::SendToGuest(SConnection& c, Uint32 sender, Uint16 type, ByteView body) {
  const Bytes frame = EncodeFrame(sender, type, body);
  UTransport::Send(c.transport.get(), frame.data(), Uint32(frame.size()));
}

void CMyWhiteboard::DropGuest(SConnection& c) {
  if (c.dead) return;
  const bool wasInSession = c.state == SConnection::EState::inSession;
  const Uint32 id = c.userId, privileges = c.privileges;
  c.dead = true;
  c.transport.reset();
  Sound(kSoundEnded);
  std::erase_if(transfers_, [&](auto& t) { return t->owner == id && !t->connected; });
  if (wasInSession) {
    // The departure goes the way of a drawing of the leaver's.
    if (privileges & kCanDraw) RelayDrawing(id, kUserLeft, View(EncodeUserLeft()), nullptr);
    std::erase_if(users_, [&](const SMyUser& u) { return u.id == id; });
    UsersChanged();
  }
  if (role_ == ERole::host && GuestCount() == 0) {
    ResetUsers();
    Status(kStatusHosting);
  }
}

void CMyWhiteboard::DropConnection(SConnection& c) {
  if (c.dead) return;
  if (c.token && views_.shell) views_.shell->CloseRedirectIncoming(c.token);
  c.dead = true;
  c.transport.reset();
  if (c.transferId) EndTransfer(c.transferId);
}

void CMyWhiteboard::EndTransfer(Uint32 id) {
  auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](auto& t) { return t->id == id; });
  if (it == transfers_.end()) return;
  const Uint32 paste = (*it)->paste;
  if ((*it)->upload && (*it)->data.size() < (*it)->pictureSize) {
    // An upload that stopped short: its viewers will never get the rest.
    transfers_.erase(it);
    for (auto& c : connections_) {
      if (c->dead || c->state != SConnection::EState::downloading) continue;
      const auto mine =
          std::find_if(transfers_.begin(), transfers_.end(), [&](auto& t) { return t->id == c->transferId; });
      if (mine != transfers_.end() && (*mine)->paste == paste) DropConnection(*c);
    }
    std::erase_if(transfers_, [&](auto& t) { return t->paste == paste; });
    return;
  }
  if (!(*it)->upload) transfers_.erase(it);
  // A finished upload stays while some viewer may still fetch it.
  const bool viewersLeft =
      std::any_of(transfers_.begin(), transfers_.end(), [&](auto& t) { return !t->upload && t->paste == paste; });
  if (!viewersLeft) std::erase_if(transfers_, [&](auto& t) { return t->upload && t->paste == paste && t->connected; });
}

void CMyWhiteboard::DropAllGuests() {
  for (auto& c : connections_) {
    if (c->dead) continue;
    if (c->HandshakeDone() || c->state == SConnection::EState::awaitingHandshake)
      DropGuest(*c);
    else
      DropConnection(*c);
  }
  if (!handling_) Sweep();
}

// ---- go-between ----

void CMyWhiteboard::OnGoBetweenMessage(SConnection& c, const SPeerMessage& m) {
  using S = SConnection::EState;
  if (c.state != S::gbAwaitingName) return;  // asking: what the caller sends is discarded
  if (m.type != kUserName || !DecodeUserName(m.body, c.name)) return DropConnection(c);
  SendToGuest(c, kHostId, kGuestElsewhere, View(EncodeGuestElsewhere()));
  switch (prefs_.redirectPolicy) {
    case kRedirectAllow:
      return SendRedirect(c);
    case kRedirectDeny:
      return DropConnection(c);
    default:
      c.state = S::gbAsking;
      c.token = nextToken_++;
      if (views_.shell)
        views_.shell->ConfirmRedirectIncoming(c.token, c.name);
      else
        DropConnection(c);  // nobody to ask
  }
}

void CMyWhiteboard::SendRedirect(SConnection& c) {
  SRedirect r;
  r.name = prefs_.name;
  r.address = host_ ? RemoteAddressText(host_->transport.get()) : Bytes{};
  SendToGuest(c, kHostId, kRedirect, View(EncodeRedirect(r)));
  c.state = SConnection::EState::gbDiscarding;
  c.token = 0;
}

void CMyWhiteboard::AnswerRedirectIncoming(Uint32 token, bool allow, bool dontAskAgain) {
  if (dontAskAgain) prefs_.redirectPolicy = allow ? kRedirectAllow : kRedirectDeny;
  for (auto& c : connections_) {
    if (c->dead || c->token != token || c->state != SConnection::EState::gbAsking) continue;
    try {
      if (allow)
        SendRedirect(*c);
      else
        DropConnection(*c);
    } catch (const SError& e) {
      ReportError(e);
    }
  }
  if (!handling_) Sweep();
}

// ---- transfers ----

void CMyWhiteboard::OnTransferMessage(SConnection& c, const SPeerMessage& m) {
  STransferTicket t;
  if (m.type != kTransferTicket || !DecodeTransferTicket(m.body, t)) return DropConnection(c);
  for (auto& tr : transfers_) {
    if (tr->connected || !(tr->ticket == t)) continue;
    tr->connected = true;
    c.transferId = tr->id;
    c.state = tr->upload ? SConnection::EState::uploading : SConnection::EState::downloading;
    if (!tr->upload) PumpTransfer(c);
    return;
  }
  DropConnection(c);
}

void CMyWhiteboard::OnTransferData(SConnection& c, const Uint8* data, std::size_t size) {
  STransfer* up = nullptr;
  for (auto& t : transfers_)
    if (t->id == c.transferId) up = t.get();
  if (!up) return DropConnection(c);
  const std::size_t room = up->pictureSize - up->data.size();
  up->data.append(data, std::min(size, room));
  c.passed = up->data.size();
  for (auto& o : connections_)
    if (!o->dead && o->state == SConnection::EState::downloading) PumpTransfer(*o);
  if (up->data.size() == up->pictureSize) FinishTransfer(c);
}

void CMyWhiteboard::FinishTransfer(SConnection& c) {
  // The transport says nothing more once it has shut down, so the record goes as soon
  // as the last bytes are out: at once, or when the closing timer finds it drained.
  UTransport::StartDisconnect(c.transport.get());
  if (!UTransport::IsDisconnecting(c.transport.get())) return DropConnection(c);
  c.closing = true;
  if (!closingTimer_) closingTimer_.reset(UTimer::StartNew(&CMyWhiteboard::OnMessage, this, kStrokeTickMs, true));
}

void CMyWhiteboard::PumpTransfer(SConnection& c) {
  if (c.dead || c.closing || c.state != SConnection::EState::downloading || c.waitingReady) return;
  const STransfer* mine = nullptr;
  for (auto& t : transfers_)
    if (t->id == c.transferId) mine = t.get();
  if (!mine) return DropConnection(c);
  const STransfer* up = nullptr;
  for (auto& t : transfers_)
    if (t->upload && t->paste == mine->paste) up = t.get();
  if (!up) return;
  if (c.passed < up->data.size()) {
    const std::size_t n = std::min(kTransferPiece, up->data.size() - c.passed);
    UTransport::Send(c.transport.get(), up->data.data() + c.passed, Uint32(n));
    c.passed += n;
    c.waitingReady = true;
    UTransport::NotifyReadyToSend(c.transport.get());
    return;
  }
  if (c.passed == up->pictureSize) FinishTransfer(c);
}

// ---- guest side ----

void CMyWhiteboard::Connect(std::string_view address) {
  try {
    StartConnect(std::string(address));
  } catch (const SError& e) {
    ReportError(e);
  }
}

void CMyWhiteboard::StartConnect(const std::string& address) {
  if (host_) LeaveHost(0);
  DropAllGuests();
  triedAddress_ = address.substr(0, 254);
  auto c = std::make_unique<SConnection>();
  c->state = SConnection::EState::host;
  c->transport.reset(UTransport::New(kTransportTCP));
  UTransport::SetMessageHandler(c->transport.get(), &CMyWhiteboard::OnMessage, this);
  const SInternetNameAddress target = SInternetNameAddress::Make(triedAddress_, connectPort_ ? connectPort_
                                                                                : port_      ? port_
                                                                                             : kDefaultPort);
  role_ = ERole::guest;
  ownPrivileges_ = 0;
  guestState_ = EGuestState::connecting;
  host_ = std::move(c);
  try {
    if (prefs_.useFirewall) {
      const SInternetNameAddress fw = SInternetNameAddress::Make(
          std::string_view(reinterpret_cast<const char*>(prefs_.firewall.data()), prefs_.firewall.size()), 1080);
      UTransport::StartConnectViaFirewall(host_->transport.get(), &target, target.Size(), &fw, fw.Size());
    } else {
      UTransport::StartConnect(host_->transport.get(), &target, target.Size());
    }
  } catch (const SError&) {
    LeaveHost(0);
    throw;
  }
  Status(kStatusConnecting);
}

void CMyWhiteboard::OnHostEvent(Uint32 id) {
  switch (id) {
    case msg_ConnectionEstablished: {
      const Bytes hs = EncodeHandshake(EHandshake::session);
      UTransport::Send(host_->transport.get(), hs.data(), Uint32(hs.size()));
      guestState_ = EGuestState::awaitingHandshake;
      return;
    }
    case msg_ConnectionFailed: {
      SError error;
      try {
        UTransport::GetConnectStatus(host_->transport.get());
        error = SError(errClassNetwork, errRefused);
      } catch (const SError& e) {
        error = e;
      }
      LeaveHost(0);
      ReportError(error);
      return;
    }
    case msg_ConnectionClosed:
      LeaveHost(guestState_ == EGuestState::inSession ? kAlertSessionLost : kAlertConnectFailed);
      return;
    case msg_DataArrived:
      OnHostData();
      return;
    default:
      return;
  }
}

void CMyWhiteboard::OnHostData() {
  Uint8 buf[16384];
  while (host_) {
    const Uint32 n = UTransport::Receive(host_->transport.get(), buf, sizeof buf);
    if (n == 0) return;
    std::size_t at = 0;
    while (host_ && at < n) {
      const auto r = host_->reader.Feed(buf + at, n - at);
      at += r.used;
      if (r.item == CMyPeerReader::EItem::handshake) {
        if (r.handshake != EHandshake::session || guestState_ != EGuestState::awaitingHandshake) {
          LeaveHost(kAlertConnectFailed);
          return;
        }
        guestState_ = EGuestState::inSession;
        Sound(kSoundJoined);
        Status(kStatusConnected);
        users_.assign(1, SMyUser{kSelfId, prefs_.name, ownPrivileges_, {}, false});
        UsersChanged();
        if (views_.chat) views_.chat->Clear();
        if (views_.board)
          views_.board->BoardChanged(board_.Apply([] {
            SDrawing d;
            d.type = kEraseBoard;
            return d;
          }()));
        else
          board_.Clear(kBackground);
        SendToHost(kUserName, View(EncodeUserName(View(prefs_.name))));
      } else if (r.item == CMyPeerReader::EItem::message) {
        OnHostMessage(r.message);
      }
    }
  }
}

void CMyWhiteboard::OnHostMessage(const SPeerMessage& m) {
  if (!CheckBody(m.type, m.body, true)) return LeaveHost(kAlertSessionLost);
  if (IsDrawingType(m.type)) {
    SDrawing d;
    if (!DecodeDrawing(m.type, m.body, d)) return LeaveHost(kAlertSessionLost);
    ApplyDrawing(m.sender, d);
    return;
  }
  switch (m.type) {
    case kChat: {
      Bytes line;
      DecodeChatLine(m.body, line);
      AppendChat(line, true);
      return;
    }
    case kUserName: {
      Bytes name;
      DecodeUserName(m.body, name);
      if (m.sender == kSelfId) return;
      for (SMyUser& u : users_)
        if (u.id == m.sender) {
          u.name = name;
          UsersChanged();
          return;
        }
      users_.push_back({m.sender, name, 0, {}, false});
      UsersChanged();
      return;
    }
    case kUserLeft:
      if (m.sender == kSelfId) return;
      std::erase_if(users_, [&](const SMyUser& u) { return u.id == m.sender; });
      UsersChanged();
      return;
    case kUserPrivileges: {
      Uint32 id = 0, privs = 0;
      DecodeUserPrivileges(m.body, id, privs);
      for (SMyUser& u : users_)
        if (u.id == id && id != kSelfId) u.privileges = privs;
      UsersChanged();
      return;
    }
    case kOwnPrivileges:
      DecodeOwnPrivileges(m.body, ownPrivileges_);
      for (SMyUser& u : users_)
        if (u.id == kSelfId) u.privileges = ownPrivileges_;
      UsersChanged();
      return;
    case kGuestElsewhere:
      Status(kStatusGuestElsewhere);
      return;
    case kRedirect: {
      if (!DecodeRedirect(m.body, pendingRedirect_)) return LeaveHost(kAlertSessionLost);
      UMessageSys::Post(msg_RedirectArrived, nullptr, 0, 0, &CMyWhiteboard::OnMessage, this);
      const Bytes& a = pendingRedirect_.address;
      if (prefs_.askBeforeRedirecting && views_.shell)
        views_.shell->ConfirmRedirect(Text(triedAddress_), pendingRedirect_.name, a);
      else
        UMessageSys::Post(msg_FollowRedirect, a.data(), Uint32(a.size()), 0, &CMyWhiteboard::OnMessage, this);
      return;
    }
    default:
      return;  // paste requests and tickets: this copy never pastes
  }
}

void CMyWhiteboard::AnswerRedirect(bool connect, bool dontAskAgain) {
  if (dontAskAgain) prefs_.askBeforeRedirecting = false;
  if (connect) {
    const Bytes& a = pendingRedirect_.address;
    UMessageSys::Post(msg_FollowRedirect, a.data(), Uint32(a.size()), 0, &CMyWhiteboard::OnMessage, this);
  } else {
    Status(kStatusHosting);
  }
}

void CMyWhiteboard::LeaveHost(Uint16 alert) {
  if (!host_) return;
  Sound(kSoundEnded);
  host_.reset();
  role_ = ERole::host;
  guestState_ = EGuestState::notConnected;
  ownPrivileges_ = kAllPrivileges;
  segmenter_.End();
  strokeTimer_.reset();
  // Callers that were waiting for the go-between have nobody to be sent to now.
  for (auto& c : connections_)
    if (!c->dead) DropConnection(*c);
  if (!handling_) Sweep();
  ResetUsers();
  Status(kStatusHosting);
  if (alert) Alert(alert, "");
}

void CMyWhiteboard::SendToHost(Uint16 type, ByteView body) {
  if (!host_ || guestState_ != EGuestState::inSession) return;
  const Bytes frame = EncodeFrame(kHostId, type, body);
  UTransport::Send(host_->transport.get(), frame.data(), Uint32(frame.size()));
}

void CMyWhiteboard::Disconnect() {
  if (host_) {
    LeaveHost(0);
    return;
  }
  DropAllGuests();
}

void CMyWhiteboard::Shutdown() {
  Disconnect();
  for (auto& c : connections_)
    if (!c->dead) DropConnection(*c);
  if (!handling_) Sweep();
  strokeTimer_.reset();
  closingTimer_.reset();
  listener_.reset();
}

// ---- shared ----

void CMyWhiteboard::ApplyDrawing(Uint32 sender, const SDrawing& d) {
  const SArea changed = board_.Apply(d);
  if (views_.board && !changed.Empty()) views_.board->BoardChanged(changed);
  bool changedMark = false;
  for (SMyUser& u : users_) {
    const bool drawing = u.id == sender;
    changedMark |= u.drawing != drawing;
    u.drawing = drawing;
  }
  if (changedMark) UsersChanged();
}

void CMyWhiteboard::Draw(const SDrawing& d) {
  if (!(ownPrivileges_ & kCanDraw)) return Alert(kAlertNotAllowed, "draw");
  const Bytes body = EncodeDrawing(d);
  const SArea changed = board_.Apply(d);
  if (views_.board && !changed.Empty()) views_.board->BoardChanged(changed);
  if (role_ == ERole::guest)
    SendToHost(d.type, View(body));
  else
    RelayDrawing(kHostId, d.type, View(body), nullptr);
}

void CMyWhiteboard::SendChat(ByteView text) {
  if (text.empty()) return;
  if (!(ownPrivileges_ & kCanWriteChat)) return Alert(kAlertNotAllowed, "participate in chat");
  const ByteView cut(text.data(), std::min(text.size(), kMaxChatText));
  const Bytes line = FormatChatLine(View(prefs_.name), cut);
  AppendChat(line, false);
  if (role_ == ERole::guest) {
    SendToHost(kChat, View(EncodeChat(cut)));
    return;
  }
  const Bytes body = EncodeChat(View(line));
  for (auto& o : connections_)
    if (!o->dead && o->HandshakeDone() && (o->privileges & kCanViewChat)) SendToGuest(*o, kHostId, kChat, View(body));
}

void CMyWhiteboard::ChangePrivileges(Uint32 userId, Uint32 privileges) {
  if (!(ownPrivileges_ & kCanChangePrivileges)) return Alert(kAlertNotAllowed, "administer other users");
  const Uint32 self = role_ == ERole::guest ? kSelfId : kHostId;
  if (userId == self) return Alert(kAlertNotAllowed, "change your own privileges");
  if (userId == kHostId) return Alert(kAlertNotAllowed, "change your host's privileges");
  if (role_ == ERole::guest) {
    SendToHost(kUserPrivileges, View(EncodeUserPrivileges(userId, privileges & kAllPrivileges)));
    return;
  }
  ApplyPrivilegeChange(kHostId, userId, privileges);
}

void CMyWhiteboard::ShowUserInfo(Uint32 userId) {
  const SMyUser* u = FindUser(userId);
  if (u && views_.info) views_.info->Show(*u, (ownPrivileges_ & kCanChangePrivileges) != 0);
}

void CMyWhiteboard::EraseCommand(bool alt) {
  SDrawing d;
  d.type = alt ? kStartPicture : kEraseBoard;
  if (!alt && prefs_.askBeforeErasing && views_.shell) {
    views_.shell->ConfirmErase();
    return;
  }
  Draw(d);
}

void CMyWhiteboard::AnswerErase(bool erase, bool dontAskAgain) {
  if (dontAskAgain) prefs_.askBeforeErasing = false;
  if (!erase) return;
  SDrawing d;
  d.type = kEraseBoard;
  Draw(d);
}

void CMyWhiteboard::PasteCommand() {
  if (!(ownPrivileges_ & kCanPaste)) return Alert(kAlertNotAllowed, "paste graphics");
  UError::Raise(errClassGeneral, errNotImplemented);
}

void CMyWhiteboard::ApplyOptions(const SMyPrefs& prefs) {
  prefs_ = prefs;
  segmenter_.SetSegmentSize(prefs_.fastConnection ? kFastSegment : kSlowSegment);
  for (SMyUser& u : users_)
    if (u.id == (role_ == ERole::guest ? kSelfId : kHostId)) u.name = prefs_.name;
  UsersChanged();
}

void CMyWhiteboard::StrokeBegin(SPoint p) {
  if (const char* refusal = RefusalFor(tool_.tool, ownPrivileges_)) return Alert(kAlertNotAllowed, refusal);
  segmenter_.Begin(p);
  if (role_ == ERole::guest ? guestState_ == EGuestState::inSession : GuestCount() > 0)
    strokeTimer_.reset(UTimer::StartNew(&CMyWhiteboard::OnMessage, this, kStrokeTickMs, true));
}

void CMyWhiteboard::StrokeMove(SPoint p) {
  if (auto seg = segmenter_.Add(p)) SendStrokeSegment(std::move(*seg));
}

void CMyWhiteboard::StrokeEnd() {
  if (auto seg = segmenter_.End()) SendStrokeSegment(std::move(*seg));
  strokeTimer_.reset();
}

void CMyWhiteboard::SendStrokeSegment(std::vector<SPoint> points) {
  try {
    Draw(StrokeOperation(tool_, std::move(points), rng_));
  } catch (const SError& e) {
    ReportError(e);
  }
}

void CMyWhiteboard::AppendChat(const Bytes& line, bool sound) {
  if (views_.chat) views_.chat->AppendLine(line);
  if (sound) Sound(kSoundChat);
}

void CMyWhiteboard::ResetUsers() {
  users_.assign(1, SMyUser{role_ == ERole::guest ? kSelfId : kHostId, prefs_.name, ownPrivileges_, {}, false});
  UsersChanged();
}

void CMyWhiteboard::UsersChanged() {
  if (views_.board) views_.board->UsersChanged(users_);
}

void CMyWhiteboard::Status(Uint16 text) {
  if (views_.board) views_.board->ShowStatus(text);
}

void CMyWhiteboard::Sound(Uint16 id) {
  if (prefs_.playSounds && views_.shell) views_.shell->PlaySound(id);
}

void CMyWhiteboard::Alert(Uint16 id, const char* text) {
  if (views_.shell) views_.shell->Alert(id, text);
}

void CMyWhiteboard::ReportError(const SError& e) {
  if (views_.shell)
    views_.shell->ShowError(e);
  else
    UError::Alert(e);
}

}  // namespace cv::pw
