// Real sessions over loopback: several copies on this thread's event loop, plus raw
// sockets where a test needs to speak the protocol badly.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "framework/events.h"
#include "framework/transport.h"
#include "whiteboard/whiteboard.h"

namespace cv::pw {
namespace {

Bytes T(const std::string& s) { return Bytes(reinterpret_cast<const Uint8*>(s.data()), s.size()); }
ByteView V(const Bytes& b) { return ByteView(b.data(), b.size()); }

// Records what the windows would show.
struct SRecorder : IMyBoardWindow, IMyChatWindow, IMyUserInfoWindow, IMyShell {
  std::vector<Uint16> statuses, alerts, sounds;
  std::vector<std::string> alertTexts;
  std::vector<Bytes> lines;
  std::vector<SError> errors;
  std::vector<std::pair<Uint32, Bytes>> incoming;  // redirect questions
  int redirectQuestions = 0, eraseQuestions = 0;
  Bytes redirectTried, redirectName, redirectAddress;

  void BoardChanged(const SArea&) override {}
  void ShowStatus(Uint16 t) override { statuses.push_back(t); }
  void ShowLocalAddress(const Bytes&) override {}
  void UsersChanged(const std::vector<SMyUser>&) override {}
  void AppendLine(const Bytes& l) override { lines.push_back(l); }
  void Clear() override { lines.clear(); }
  void Show(const SMyUser&, bool) override {}
  void Alert(Uint16 id, const char* text) override {
    alerts.push_back(id);
    alertTexts.push_back(text);
  }
  void ShowError(const SError& e) override { errors.push_back(e); }
  void PlaySound(Uint16 id) override { sounds.push_back(id); }
  void ConfirmRedirectIncoming(Uint32 token, const Bytes& name) override { incoming.push_back({token, name}); }
  void CloseRedirectIncoming(Uint32) override {}
  void ConfirmRedirect(const Bytes& tried, const Bytes& name, const Bytes& address) override {
    ++redirectQuestions;
    redirectTried = tried;
    redirectName = name;
    redirectAddress = address;
  }
  void ConfirmErase() override { ++eraseQuestions; }
};

struct SCopy {
  SRecorder rec;
  std::unique_ptr<CMyWhiteboard> wb;
  explicit SCopy(const std::string& name, SMyPrefs prefs = {}) {
    prefs.name = T(name);
    wb = std::make_unique<CMyWhiteboard>(SMyViews{&rec, &rec, &rec, &rec}, prefs, 0);
    wb->Start();
  }
  CMyWhiteboard* operator->() { return wb.get(); }
  Uint16 Port() const { return wb->ListeningPort(); }
  void Join(SCopy& host) {
    wb->SetConnectPort(host.Port());
    wb->Connect("127.0.0.1");
  }
};

bool Until(const std::function<bool()>& done, int ms = 5000) { return UEventLoop::RunUntilFor(done, ms); }

class Session : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UTransport::Init(); }
  void TearDown() override {
    UEventLoop::RunUntilIdle();
    UMessageSys::Clear();
  }
  static bool InSession(SCopy& c) { return c->GuestState() == CMyWhiteboard::EGuestState::inSession; }
  static bool Knows(SCopy& c, std::size_t users) { return c->Users().size() == users; }
};

SDrawing Stroke(Uint16 type, std::initializer_list<SPoint> pts) {
  SDrawing d;
  d.type = type;
  d.colour = {200, 10, 10};
  d.penSize = 4;
  d.points = pts;
  return d;
}

TEST_F(Session, HostAndTwoGuestsShareOneBoardAndChat) {
  SCopy host("Hostess"), a("Alice"), b("Bob");
  a.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 2) && Knows(a, 2); }));
  b.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 3) && Knows(a, 3) && Knows(b, 3); }));

  // Ids and privileges as each copy sees them.
  EXPECT_EQ(a->Role(), CMyWhiteboard::ERole::guest);
  EXPECT_EQ(a->OwnPrivileges(), 31u);
  ASSERT_NE(host->FindUser(2), nullptr);
  EXPECT_EQ(host->FindUser(2)->name, T("Alice"));
  EXPECT_EQ(host->FindUser(3)->name, T("Bob"));
  EXPECT_EQ(host->FindUser(3)->address, T("127.0.0.1"));
  ASSERT_NE(a->FindUser(1), nullptr);
  EXPECT_EQ(a->FindUser(1)->privileges, 63u);
  EXPECT_EQ(a->FindUser(3)->name, T("Bob"));
  EXPECT_EQ(a->FindUser(3)->privileges, 31u);
  EXPECT_EQ(b->FindUser(2)->name, T("Alice"));
  EXPECT_EQ(b->FindUser(0)->name, T("Bob"));
  EXPECT_EQ(host.rec.statuses.back(), kStatusConnected);
  EXPECT_EQ(a.rec.sounds.front(), kSoundJoined);

  // Everybody draws; every board ends the same.
  a->Draw(Stroke(kBrush, {{10, 10}, {100, 120}, {200, 30}}));
  SDrawing spray = Stroke(kSpray, {{150, 150}, {160, 155}});
  spray.seed = 77;
  b->Draw(spray);
  SDrawing rect;
  rect.type = kRect;
  rect.filled = true;
  rect.left = 300, rect.top = 300, rect.right = 350, rect.bottom = 390;
  host->Draw(rect);
  SDrawing fill;
  fill.type = kFill;
  fill.colour = {0, 0, 255};
  fill.x1 = 5, fill.y1 = 390;
  a->Draw(fill);
  ASSERT_TRUE(Until([&] {
    return host->Board() == a->Board() && a->Board() == b->Board() && b->Board().Pixel(5, 390) != kBackground;
  }));
  EXPECT_NE(host->Board().Pixel(10, 10), kBackground);
  EXPECT_EQ(b->FindUser(2)->drawing, true);

  // Chat: the writer formats its own line, the host formats it for the others.
  a->SendChat(V(T("hi")));
  ASSERT_TRUE(Until([&] { return !b.rec.lines.empty() && !host.rec.lines.empty(); }));
  EXPECT_EQ(b.rec.lines.back(), T("\r     Alice:  hi"));
  EXPECT_EQ(host.rec.lines.back(), T("\r     Alice:  hi"));
  EXPECT_EQ(a.rec.lines.back(), T("\r     Alice:  hi"));
  host->SendChat(V(T("welcome")));
  ASSERT_TRUE(Until([&] { return a.rec.lines.size() == 2 && b.rec.lines.size() == 2; }));
  EXPECT_EQ(a.rec.lines.back(), T("\r   Hostess:  welcome"));
}

TEST_F(Session, PrivilegeChangesAndWhatTheyAllow) {
  SCopy host("H"), a("A"), b("B");
  a.Join(host);
  b.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 3) && Knows(a, 3) && Knows(b, 3); }));

  // Refusals before anything is sent.
  a->ChangePrivileges(3, 0);
  EXPECT_EQ(a.rec.alertTexts.back(), "administer other users");
  host->ChangePrivileges(1, 0);
  EXPECT_EQ(host.rec.alertTexts.back(), "change your own privileges");

  // The host takes drawing and chat viewing from B.
  host->ChangePrivileges(3, kAllPrivileges & ~kCanChangePrivileges & ~kCanDraw & ~kCanViewChat);
  ASSERT_TRUE(Until([&] { return b->OwnPrivileges() == 14u && a->FindUser(3)->privileges == 14u; }));
  b->Draw(Stroke(kBrush, {{1, 1}, {50, 50}}));
  EXPECT_EQ(b.rec.alertTexts.back(), "draw");
  EXPECT_EQ(b->Board().Pixel(1, 1), kBackground);

  // A gets the change bit and gives B drawing back; B still sees no chat.
  host->ChangePrivileges(2, kAllPrivileges);
  ASSERT_TRUE(Until([&] { return a->OwnPrivileges() == 63u; }));
  a->ChangePrivileges(0, 0);
  EXPECT_EQ(a.rec.alertTexts.back(), "change your own privileges");
  a->ChangePrivileges(1, 0);
  EXPECT_EQ(a.rec.alertTexts.back(), "change your host's privileges");
  a->ChangePrivileges(3, 14u | kCanDraw);
  ASSERT_TRUE(Until([&] { return b->OwnPrivileges() == 15u && host->FindUser(3)->privileges == 15u; }));
  host->SendChat(V(T("secret")));
  a->SendChat(V(T("also")));
  b->Draw(Stroke(kBrush, {{1, 1}, {50, 50}}));
  ASSERT_TRUE(Until([&] {
    return a.rec.lines.size() == 2 && host->Board().Pixel(1, 1) != kBackground && a->Board().Pixel(1, 1) != kBackground;
  }));
  // B saw neither line (only its own lines would show, and it wrote none).
  EXPECT_TRUE(b.rec.lines.empty());
}

TEST_F(Session, LeavingGuestsAndIdsThatAreNeverReused) {
  SCopy host("H"), a("A"), b("B");
  a.Join(host);
  b.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 3) && Knows(a, 3); }));
  b->Disconnect();
  EXPECT_EQ(b->Role(), CMyWhiteboard::ERole::host);
  EXPECT_EQ(b.rec.statuses.back(), kStatusHosting);
  ASSERT_TRUE(Until([&] { return Knows(host, 2) && Knows(a, 2); }));
  SCopy c("C");
  c.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 3); }));
  EXPECT_NE(host->FindUser(4), nullptr);
  a->Disconnect();
  c->Disconnect();
  ASSERT_TRUE(Until([&] { return Knows(host, 1) && host->GuestCount() == 0; }));
  EXPECT_EQ(host.rec.statuses.back(), kStatusHosting);
  EXPECT_EQ(host.rec.sounds.back(), kSoundEnded);
}

TEST_F(Session, CallersBeyondTheMaximumAreClosedAtOnce) {
  SMyPrefs one;
  one.maxConnections = 1;
  SCopy host("H", one), a("A"), b("B");
  a.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 2) && InSession(a); }));
  b.Join(host);
  ASSERT_TRUE(Until([&] { return b->Role() == CMyWhiteboard::ERole::host; }));
  EXPECT_EQ(b.rec.alerts.back(), kAlertConnectFailed);
  EXPECT_TRUE(InSession(a));
  EXPECT_EQ(host->ConnectionCount(), 1u);
}

TEST_F(Session, AGuestRedirectsItsCallersToItsHost) {
  SCopy host("H"), a("Andy");
  a.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 2) && InSession(a); }));

  // Policy ask: Andy is asked; C's user is asked whether to follow.
  SCopy c("Cee");
  c->SetConnectPort(a.Port());
  c->Connect("127.0.0.1:9999");  // the port in the text is ignored
  ASSERT_TRUE(Until([&] { return !a.rec.incoming.empty() && c.rec.statuses.back() == kStatusGuestElsewhere; }));
  EXPECT_EQ(a.rec.incoming[0].second, T("Cee"));
  EXPECT_EQ(c.rec.statuses.back(), kStatusGuestElsewhere);
  a->AnswerRedirectIncoming(a.rec.incoming[0].first, true, true);
  EXPECT_EQ(a->Prefs().redirectPolicy, kRedirectAllow);
  ASSERT_TRUE(Until([&] { return c.rec.redirectQuestions == 1; }));
  EXPECT_EQ(c.rec.redirectTried, T("127.0.0.1:9999"));
  EXPECT_EQ(c.rec.redirectName, T("Andy"));
  EXPECT_EQ(c.rec.redirectAddress, T("127.0.0.1"));
  ASSERT_TRUE(Until([&] { return c->Role() == CMyWhiteboard::ERole::host; }));
  c->SetConnectPort(host.Port());
  c->AnswerRedirect(true, true);
  ASSERT_TRUE(Until([&] { return Knows(host, 3) && InSession(c) && Knows(c, 3); }));
  EXPECT_FALSE(c->Prefs().askBeforeRedirecting);

  // Policy deny: the caller is dropped and is left hosting.
  SMyPrefs deny = a->Prefs();
  deny.redirectPolicy = kRedirectDeny;
  a->ApplyOptions(deny);
  SCopy d("Dee");
  d->SetConnectPort(a.Port());
  d->Connect("127.0.0.1");
  ASSERT_TRUE(Until([&] {
    return d->Role() == CMyWhiteboard::ERole::host && d.rec.statuses.back() == kStatusHosting && !d.rec.alerts.empty();
  }));
  EXPECT_EQ(d.rec.redirectQuestions, 0);
  ASSERT_TRUE(Until([&] { return a->ConnectionCount() == 0; }));
}

// A blocking-free raw peer for speaking the protocol by hand.
struct SRaw {
  int fd = -1;
  Bytes in;
  bool closed = false;
  explicit SRaw(Uint16 port) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    UEventLoop::Binding().Watch(fd, ILoopBinding::evRead, &SRaw::OnReady, this);
  }
  ~SRaw() {
    UEventLoop::Binding().Watch(fd, 0, nullptr, nullptr);
    ::close(fd);
  }
  static void OnReady(void* ctx, int, Uint32) {
    auto* self = static_cast<SRaw*>(ctx);
    Uint8 buf[65536];
    for (;;) {
      const ssize_t n = ::recv(self->fd, buf, sizeof buf, 0);
      if (n > 0) {
        self->in.append(buf, std::size_t(n));
        continue;
      }
      if (n == 0) {
        self->closed = true;
        UEventLoop::Binding().Watch(self->fd, 0, nullptr, nullptr);
      }
      return;
    }
  }
  void Send(const Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
  void Frame(Uint16 type, const Bytes& body) { Send(EncodeFrame(kHostId, type, V(body))); }
  // Frames received after the 8-byte handshake, as (sender, type, body).
  std::vector<std::tuple<Uint32, Uint16, Bytes>> Frames(std::size_t skip = 8) const {
    std::vector<std::tuple<Uint32, Uint16, Bytes>> out;
    std::size_t at = skip;
    while (at + 8 <= in.size()) {
      const std::size_t len = ReadU16(in.data() + at + 6);
      if (at + 8 + len > in.size()) break;
      out.push_back({ReadU32(in.data() + at), ReadU16(in.data() + at + 4), Bytes(in.data() + at + 8, len)});
      at += 8 + len;
    }
    return out;
  }
  bool Has(Uint16 type) const {
    for (auto& f : Frames())
      if (std::get<1>(f) == type) return true;
    return false;
  }
};

TEST_F(Session, ProtocolBreakersAreDropped) {
  SCopy host("H");
  struct SCase {
    const char* name;
    std::function<void(SRaw&)> send;
  } cases[] = {
      {"wrong handshake",
       [](SRaw& r) {
         r.Send(Bytes{'P', 'W', 'S', 'L', 0, 0, 0, 3});
       }},
      {"chat before the name",
       [](SRaw& r) {
         r.Send(EncodeHandshake(EHandshake::session));
         r.Frame(kChat, EncodeChat(V(T("hey"))));
       }},
      {"a brush body too short",
       [](SRaw& r) {
         r.Send(EncodeHandshake(EHandshake::session));
         r.Frame(kUserName, EncodeUserName(V(T("X"))));
         r.Frame(kBrush, Bytes(7, 0));
       }},
      {"a transfer without its ticket",
       [](SRaw& r) {
         r.Send(EncodeHandshake(EHandshake::transfer));
         r.Frame(kChat, EncodeChat(V(T("hey"))));
       }},
      {"a ticket nobody issued",
       [](SRaw& r) {
         r.Send(EncodeHandshake(EHandshake::transfer));
         r.Frame(kTransferTicket, EncodeTransferTicket({1, 2, 3}));
       }},
  };
  for (auto& c : cases) {
    SRaw raw(host.Port());
    c.send(raw);
    ASSERT_TRUE(Until([&] { return raw.closed; })) << c.name;
    EXPECT_EQ(host->ConnectionCount(), 0u) << c.name;
    EXPECT_EQ(host->Users().size(), 1u) << c.name;
  }
  // A well-behaved raw guest gets the welcome in order.
  SRaw ok(host.Port());
  ok.Send(EncodeHandshake(EHandshake::session));
  ok.Frame(kUserName, EncodeUserName(V(T("Raw"))));
  ASSERT_TRUE(Until([&] { return ok.Frames().size() >= 3 && host->Users().size() == 2; }));
  EXPECT_EQ(Bytes(ok.in.data(), 8), EncodeHandshake(EHandshake::session));
  const auto f = ok.Frames();
  EXPECT_EQ(std::get<1>(f[0]), kOwnPrivileges);
  EXPECT_EQ(std::get<2>(f[0]), EncodeOwnPrivileges(31));
  EXPECT_EQ(std::get<1>(f[1]), kUserName);
  EXPECT_EQ(std::get<0>(f[1]), kHostId);
  EXPECT_EQ(std::get<2>(f[2]), EncodeUserPrivileges(1, 63));
  // A drawing without the privilege is neither drawn nor relayed.
  const Uint32 rawId = host->Users()[1].id;
  EXPECT_EQ(rawId, 7u);  // every caller took an id, even those that were dropped
  host->ChangePrivileges(rawId, kCanViewBoard);
  ASSERT_TRUE(Until([&] { return ok.Has(kOwnPrivileges) && ok.Frames().size() >= 4; }));
  SDrawing d = Stroke(kBrush, {{5, 5}, {6, 6}});
  ok.Frame(kBrush, EncodeDrawing(d));
  // A rename behind it shows when the host has read the stroke.
  ok.Frame(kUserName, EncodeUserName(V(T("Raw2"))));
  ASSERT_TRUE(Until([&] { return host->FindUser(rawId) && host->FindUser(rawId)->name == T("Raw2"); }));
  EXPECT_EQ(host->Board().Pixel(5, 5), kBackground);
}

TEST_F(Session, TheHostCarriesAPastedPictureToTheViewers) {
  SCopy host("H");
  SRaw req(host.Port()), viewer(host.Port());
  for (SRaw* r : {&req, &viewer}) {
    r->Send(EncodeHandshake(EHandshake::session));
    r->Frame(kUserName, EncodeUserName(V(T("raw"))));
  }
  ASSERT_TRUE(Until([&] { return host->Users().size() == 3; }));
  SPasteRequest pr;
  pr.tag = 0xABCD;
  pr.width = 100, pr.height = 300, pr.depth = 32;
  pr.pictureSize = 120000;
  pr.entries = {1, 2};
  req.Frame(kPasteRequest, EncodePasteRequest(pr));
  auto ticketOf = [](const SRaw& r, STransferTicket& t) {
    for (auto& f : r.Frames()) {
      Uint32 tag = 0;
      if (std::get<1>(f) == kPasteTicket && DecodePasteTicket(V(std::get<2>(f)), t, tag)) return tag == 0xABCD;
    }
    return false;
  };
  STransferTicket up, down;
  ASSERT_TRUE(Until([&] { return ticketOf(req, up) && ticketOf(viewer, down) && viewer.Has(kPasteRequest); }));
  EXPECT_NE(up.transferId, down.transferId);

  // The viewer connects first and waits; then the requester uploads.
  auto fetchPtr = std::make_unique<SRaw>(host.Port()), sendPtr = std::make_unique<SRaw>(host.Port());
  SRaw &fetch = *fetchPtr, &send = *sendPtr;
  fetch.Send(EncodeHandshake(EHandshake::transfer));
  fetch.Frame(kTransferTicket, EncodeTransferTicket(down));
  send.Send(EncodeHandshake(EHandshake::transfer));
  send.Frame(kTransferTicket, EncodeTransferTicket(up));
  Bytes picture(pr.pictureSize, 0);
  for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = Uint8(i * 31 + 7);
  for (std::size_t at = 0; at < picture.size(); at += 30000) send.Send(picture.substr(at, 30000));
  ASSERT_TRUE(Until([&] { return fetch.closed && send.closed; }));
  ASSERT_EQ(fetch.in.size(), 8 + picture.size());
  EXPECT_EQ(Bytes(fetch.in.data(), 8), EncodeHandshake(EHandshake::transfer));
  EXPECT_TRUE(Bytes(fetch.in.data() + 8, picture.size()) == picture);
  // Once both ends have hung up the host forgets the paste.
  fetchPtr.reset();
  sendPtr.reset();
  ASSERT_TRUE(Until([&] { return host->TransferCount() == 0 && host->ConnectionCount() == 2; }));
  // A ticket is good for one connection only.
  SRaw again(host.Port());
  again.Send(EncodeHandshake(EHandshake::transfer));
  again.Frame(kTransferTicket, EncodeTransferTicket(down));
  ASSERT_TRUE(Until([&] { return again.closed; }));
}

TEST_F(Session, StrokesGoOutInSegments) {
  SCopy host("H"), a("A");
  a.Join(host);
  ASSERT_TRUE(Until([&] { return Knows(host, 2) && InSession(a); }));
  a->Tool().tool = kToolShapedBrush;
  a->Tool().shape = 14;
  a->StrokeBegin({10, 10});
  for (int i = 1; i < 45; ++i) a->StrokeMove({Int16(10 + 3 * i), Int16(10 + 2 * i)});
  a->StrokeEnd();
  ASSERT_TRUE(Until(
      [&] { return host->Board() == a->Board() && host->Board().Pixel(10 + 3 * 44, 10 + 2 * 44) != kBackground; }));
  // Without the draw privilege the tool refuses before drawing anything.
  host->ChangePrivileges(2, kCanViewBoard);
  ASSERT_TRUE(Until([&] { return a->OwnPrivileges() == kCanViewBoard; }));
  a->StrokeBegin({300, 300});
  a->StrokeEnd();
  EXPECT_EQ(a.rec.alertTexts.back(), "draw");
  EXPECT_EQ(a->Board().Pixel(300, 300), kBackground);
  a->PasteCommand();
  EXPECT_EQ(a.rec.alertTexts.back(), "paste graphics");
}

}  // namespace
}  // namespace cv::pw
