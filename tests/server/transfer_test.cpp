// Downloads and uploads against the server's application on this thread's real loop,
// with transfer connections over loopback: byte-exact files, resumes, refusals, the
// download limit, time-outs on the framework clock and headers that name nothing.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "framework/clock.h"
#include "protocol/flatten.h"
#include "protocol/transfer.h"
#include "server/application.h"
#include "server/operator.h"
#include "server/transfers.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;
namespace fs = std::filesystem;

Bytes PathOf(std::initializer_list<std::string_view> parts) {
  Bytes b;
  AppendU16(b, Uint16(parts.size()));
  for (std::string_view p : parts) {
    AppendU16(b, 0);
    b.push_back(Uint8(p.size()));
    AppendBytes(b, p.data(), p.size());
  }
  return b;
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  Uint32 x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 24);
  }
  return s;
}

TransferReference RefOf(const UFieldData& reply) {
  TransferReference ref{};
  ByteView v = reply.GetField(fld::ReferenceNumber);
  if (v.size() == 4) std::copy(v.begin(), v.end(), ref.begin());
  return ref;
}

void Ignore(void*, void*, Uint32, const void*, Uint32) {}

// A raw transfer connection as a client opens it.
class TransferConn {
 public:
  bool Open(Uint16 port) {
    t_.reset(UTransport::New(kTransportTCP));
    UTransport::SetMessageHandler(t_.get(), &Ignore, nullptr);
    SInternetAddress a = SInternetAddress::Loopback(port);
    UTransport::StartConnect(t_.get(), &a, sizeof a);
    return UEventLoop::RunUntilFor([&] { return UTransport::IsConnected(t_.get()); }, 5000);
  }
  void Header(const TransferReference& ref, Uint32 dataSize, Uint32 magic = kTransferMagic) {
    auto h = EncodeTransferHeader(STransferHeader{ref, dataSize, 0});
    WriteU32(h.data(), magic);
    UTransport::Send(t_.get(), h.data(), Uint32(h.size()));
  }
  void Send(const Bytes& b, std::size_t from, std::size_t to) {
    for (std::size_t at = from; at < to;) {
      const std::size_t n = std::min<std::size_t>(to - at, 1 << 20);
      UTransport::Send(t_.get(), b.data() + at, Uint32(n));
      at += n;
      UEventLoop::RunUntilFor([&] { return UTransport::GetUnsentSize(t_.get()) < (4u << 20); }, 5000);
    }
  }
  // Reads until n bytes came or the server closed.
  Bytes Receive(std::size_t n) {
    Bytes got;
    std::vector<Uint8> buf(1 << 16);
    UEventLoop::RunUntilFor(
        [&] {
          for (;;) {
            Uint32 k = UTransport::Receive(t_.get(), buf.data(), Uint32(buf.size()));
            if (k == 0) break;
            got.insert(got.end(), buf.begin(), buf.begin() + k);
          }
          return got.size() >= n || !UTransport::IsConnected(t_.get());
        },
        20000);
    return got;
  }
  bool WaitClosed(int ms = 5000) {
    return UEventLoop::RunUntilFor([&] { return !UTransport::IsConnected(t_.get()); }, ms);
  }
  bool Connected() const { return UTransport::IsConnected(t_.get()); }
  void Close() { t_.reset(); }

 private:
  TransportPtr t_;
};

Bytes Unflatten(const Bytes& stream, Bytes start = {}) {
  Bytes out = std::move(start);
  CUnflattener u(
      [&](Uint64 offset, ByteView b) {
        if (out.size() < offset + b.size()) out.resize(offset + b.size());
        std::copy(b.begin(), b.end(), out.begin() + offset);
      },
      out.size());
  u.Write(ByteView(stream.data(), stream.size()));
  u.Finish();
  return out;
}

Bytes Flatten(std::string_view name, const std::string& content, ByteView resume = {}) {
  FlatSource src = [&](Uint64 off, Uint8* buf, std::size_t n) {
    const std::size_t k = std::min<std::size_t>(n, content.size() - std::min<std::size_t>(off, content.size()));
    std::copy_n(content.data() + off, k, buf);
    return k;
  };
  CFlattener f = resume.empty() ? CFlattener(InfoForFile(name), content.size(), src)
                                : CFlattener::FromResume(InfoForFile(name), content.size(), src, resume);
  Bytes out(f.Size(), 0);
  f.Read(out.data(), out.size());
  return out;
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

class Transfers : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    srv_ = tmp_ / "srv";
    files_ = srv_ + "/Files";
    fs::create_directories(files_ + "/My Uploads");
    fs::create_directories(files_ + "/Public Drop Box/Inner");
    fs::create_directories(files_ + "/Plain");
    cvtest::WriteFile(files_ + "/small.txt", std::string("hello, world"));
    cvtest::WriteFile(files_ + "/Public Drop Box/hidden.bin", std::string("h"));
    cvtest::WriteFile(files_ + "/Public Drop Box/Inner/open.bin", std::string("o"));
    cvtest::WriteFile(files_ + "/My Uploads/report.doc", std::string("done"));
    settings_.folder = srv_;
    settings_.port = 0;
    settings_.logHook = [this](std::string_view line) { lines_.emplace_back(line); };
    settings_.terminate = [](std::string_view) {};
  }
  void TearDown() override { UClock::SetTestOffset(0); }

  void Start() {
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    adminPassword_ = CreateFirstAccounts(app_->Accounts());
    SPrivilegeSet up = GuestPrivileges();
    up.Set(CanUploadFiles);
    app_->Accounts().Create(MakeAccount("up", "Uploader", "pw", up));
  }
  void Connect(TestClient& c, std::string_view who) {
    ASSERT_TRUE(c.Connect(app_->Port()));
    if (who == "admin")
      ASSERT_EQ(c.Login("admin", adminPassword_, "boss"), 0u);
    else if (who == "up")
      ASSERT_EQ(c.Login("up", "pw", "uploader"), 0u);
    else
      ASSERT_EQ(c.Login("", "", "visitor"), 0u);
  }
  static UFieldData DownloadRequest(const Bytes& path, std::string_view name, ByteView resume = {}, int options = 0) {
    UFieldData f;
    f.AddField(fld::FilePath, path);
    f.AddText(fld::FileName, name);
    if (!resume.empty()) f.AddField(fld::FileResumeData, resume);
    if (options) f.AddInteger(fld::FileTransferOptions, Uint32(options));
    return f;
  }
  static UFieldData UploadRequest(const Bytes& path, std::string_view name, Uint32 size, bool resume = false) {
    UFieldData f;
    f.AddText(fld::FileName, name);
    if (resume) f.AddInteger(fld::FileTransferOptions, 1);
    f.AddInteger(fld::TransferSize, size);
    f.AddField(fld::FilePath, path);
    return f;
  }
  // Asks for a download and opens its transfer connection, header sent; the server has
  // not read it yet. The stream's announced size goes to size.
  void OpenDownload(TestClient& c, const UFieldData& request, TransferConn& t, Uint32& size) {
    UFieldData reply;
    Uint32 code = 99;
    ASSERT_TRUE(c.Request(trn::DownloadFile, request, &reply, &code));
    ASSERT_EQ(code, 0u) << reply.GetText(fld::ErrorText);
    size = reply.GetInteger(fld::TransferSize);
    ASSERT_TRUE(t.Open(app_->TransferPort()));
    t.Header(RefOf(reply), 0);
  }
  bool Logged(std::string_view text) const {
    return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
  }
  // Runs the loop briefly so that the server takes what is on the wire.
  static void Spin(int ms = 100) {
    UEventLoop::RunUntilFor([] { return false; }, ms);
  }

  TempFolder tmp_;
  std::string srv_, files_;
  SServerSettings settings_;
  std::vector<std::string> lines_;
  std::unique_ptr<CMyApplication> app_;
  std::string adminPassword_;
};

TEST_F(Transfers, DownloadsSmallAndLargeFilesByteExact) {
  const std::string big = Pattern(20u << 20, 7);
  cvtest::WriteFile(files_ + "/Plain/big.bin", big);
  Start();
  TestClient c;
  Connect(c, "guest");
  struct Case {
    Bytes path;
    std::string name, content;
    int options;
  };
  for (const Case& k : {Case{PathOf({}), "small.txt", "hello, world", 0}, Case{PathOf({"Plain"}), "big.bin", big, 0},
                        Case{PathOf({}), "small.txt", "hello, world", 2}, Case{PathOf({"Plain"}), "big.bin", big, 2}}) {
    SCOPED_TRACE(k.name + " options " + std::to_string(k.options));
    TransferConn t;
    Uint32 size = 0;
    ASSERT_NO_FATAL_FAILURE(OpenDownload(c, DownloadRequest(k.path, k.name, {}, k.options), t, size));
    Bytes got = t.Receive(size);
    ASSERT_EQ(got.size(), size);
    if (k.options == 2)
      EXPECT_EQ(got, ToBytes(k.content));
    else
      EXPECT_EQ(Unflatten(got), ToBytes(k.content));
    t.Close();
    ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Downloads() == 0; }, 5000));
  }
  EXPECT_TRUE(
      Logged("Download \xD2"
             "big.bin\xD3"));
  EXPECT_TRUE(Logged("Download connection established"));
  EXPECT_TRUE(Logged("Download complete"));
  EXPECT_TRUE(Logged("Download connection closed"));
  EXPECT_EQ(app_->Transfers()->TotalDownloads(), 4u);
  // The operator's statistics show the same figures.
  EXPECT_EQ(app_->StatsValues()[statDownloadCount], 4u);
}

TEST_F(Transfers, DownloadResumesWhereThePartialFileEnds) {
  const std::string content = Pattern(300000, 3);
  cvtest::WriteFile(files_ + "/Plain/song.mp3", content);
  Start();
  TestClient c;
  Connect(c, "guest");
  const Bytes held = ToBytes(content.substr(0, 123457));
  TransferConn t;
  Uint32 size = 0;
  ASSERT_NO_FATAL_FAILURE(
      OpenDownload(c, DownloadRequest(PathOf({"Plain"}), "song.mp3", MakeResumeRecord(held.size())), t, size));
  EXPECT_LT(size, content.size() - held.size() + 400);
  Bytes got = t.Receive(size);
  ASSERT_EQ(got.size(), size);
  EXPECT_EQ(Unflatten(got, held), ToBytes(content));
}

TEST_F(Transfers, AClientThatPausesReadingHoldsBackTheRestAndThenGetsItByteExact) {
  // Far more than the socket buffers and the server's queue hold together.
  const std::string content = Pattern(40u << 20, 5);
  cvtest::WriteFile(files_ + "/Plain/long.bin", content);
  Start();
  TestClient c;
  Connect(c, "guest");
  TransferConn t;
  Uint32 size = 0;
  ASSERT_NO_FATAL_FAILURE(OpenDownload(c, DownloadRequest(PathOf({"Plain"}), "long.bin"), t, size));
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return Logged("Download connection established"); }, 5000));
  // Nothing read meanwhile: the server keeps only a few chunks queued, so it neither
  // queues the whole stream nor gets its connection cut for a queue over the limit.
  Spin(500);
  EXPECT_FALSE(Logged("Download complete"));
  EXPECT_TRUE(t.Connected());
  EXPECT_EQ(app_->Transfers()->Downloads(), 1u);
  Bytes got = t.Receive(size);
  ASSERT_EQ(got.size(), size);
  EXPECT_EQ(Unflatten(got), ToBytes(content));
  EXPECT_TRUE(Logged("Download complete"));
}

TEST_F(Transfers, AFileThatShrinksEndsItsDownloadWithWhatItStillHad) {
  const std::string content = Pattern(4u << 20, 9);
  cvtest::WriteFile(files_ + "/Plain/cut.bin", content);
  Start();
  TestClient c;
  Connect(c, "guest");
  for (int options : {0, 2}) {
    SCOPED_TRACE("options " + std::to_string(options));
    cvtest::WriteFile(files_ + "/Plain/cut.bin", content);
    TransferConn t;
    Uint32 size = 0;
    ASSERT_NO_FATAL_FAILURE(OpenDownload(c, DownloadRequest(PathOf({"Plain"}), "cut.bin", {}, options), t, size));
    fs::resize_file(files_ + "/Plain/cut.bin", 1u << 20);
    const Bytes got = t.Receive(size);
    EXPECT_TRUE(t.WaitClosed());
    ASSERT_LT(got.size(), size);
    // What came is the stream as announced, as far as the file still reached.
    const Bytes whole = options == 2 ? ToBytes(content) : Flatten("cut.bin", content);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));
    ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Downloads() == 0; }, 5000));
  }
  EXPECT_TRUE(Logged("Download aborted"));
  EXPECT_FALSE(Logged("Download complete"));
}

TEST_F(Transfers, UploadCutShortLeavesAPartialFileThatAResumeCompletesByteExact) {
  Start();
  TestClient c;
  Connect(c, "up");
  const std::string content = Pattern(700000, 11);
  const Bytes stream = Flatten("song.mp3", content);
  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "song.mp3", Uint32(stream.size())),
                        &reply, &code));
  ASSERT_EQ(code, 0u) << reply.GetText(fld::ErrorText);
  const std::string partial = files_ + "/My Uploads/song.mp3.cpf";
  EXPECT_TRUE(fs::exists(partial));
  {
    TransferConn t;
    ASSERT_TRUE(t.Open(app_->TransferPort()));
    t.Header(RefOf(reply), Uint32(stream.size()));
    t.Send(stream, 0, 400000);
    ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return fs::file_size(partial) > 300000; }, 5000));
    t.Close();
  }
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Uploads() == 0; }, 5000));
  EXPECT_TRUE(Logged("Upload aborted"));
  EXPECT_FALSE(fs::exists(files_ + "/My Uploads/song.mp3"));
  const std::string firstPart = cvtest::ReadFile(partial);
  EXPECT_EQ(firstPart, content.substr(0, firstPart.size()));

  // A new upload of the same name is refused while the partial file is there.
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "song.mp3", 10), &reply, &code));
  EXPECT_EQ(code, 1u);

  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "song.mp3", 0, true), &reply, &code));
  ASSERT_EQ(code, 0u) << reply.GetText(fld::ErrorText);
  ASSERT_EQ(reply.GetNthField(1).size(), kResumeRecordSize);  // the resume record comes first
  const ByteView resume = reply.GetField(fld::FileResumeData);
  EXPECT_EQ(ResumeOffset(resume), firstPart.size());
  const Bytes rest = Flatten("song.mp3", content, resume);
  TransferConn t;
  ASSERT_TRUE(t.Open(app_->TransferPort()));
  t.Header(RefOf(reply), Uint32(rest.size()));
  t.Send(rest, 0, rest.size());
  ASSERT_TRUE(t.WaitClosed());
  EXPECT_EQ(cvtest::ReadFile(files_ + "/My Uploads/song.mp3"), content);
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_TRUE(Logged("Upload complete"));
  EXPECT_TRUE(Logged("Upload connection established"));
}

TEST_F(Transfers, UploadsThatCannotFinishKeepTheirPartialFileAndReplaceNothing) {
  Start();
  TestClient c;
  Connect(c, "up");
  const std::string content = Pattern(400000, 5);
  const Bytes stream = Flatten("full.bin", content);
  UFieldData reply;
  Uint32 code = 99;

  // A disk that fills up (here: a file size limit) aborts the upload with an error.
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "full.bin", Uint32(stream.size())),
                        &reply, &code));
  ASSERT_EQ(code, 0u) << reply.GetText(fld::ErrorText);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 100000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Uint16 errorsBefore = app_->ErrorCount();
  {
    TransferConn t;
    ASSERT_TRUE(t.Open(app_->TransferPort()));
    t.Header(RefOf(reply), Uint32(stream.size()));
    t.Send(stream, 0, stream.size());
    EXPECT_TRUE(t.WaitClosed());
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(app_->Transfers()->Uploads(), 0u);
  EXPECT_GT(app_->ErrorCount(), errorsBefore);
  EXPECT_TRUE(Logged("Upload aborted"));
  EXPECT_FALSE(fs::exists(files_ + "/My Uploads/full.bin"));
  const std::string kept = cvtest::ReadFile(files_ + "/My Uploads/full.bin.cpf");
  EXPECT_LE(kept.size(), 100000u);
  EXPECT_EQ(kept, content.substr(0, kept.size()));

  // A complete file of the name that appeared meanwhile is never replaced.
  const Bytes small2 = Flatten("race.bin", "new");
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "race.bin", Uint32(small2.size())),
                        &reply, &code));
  ASSERT_EQ(code, 0u);
  cvtest::WriteFile(files_ + "/My Uploads/race.bin", std::string("theirs"));
  TransferConn t;
  ASSERT_TRUE(t.Open(app_->TransferPort()));
  t.Header(RefOf(reply), Uint32(small2.size()));
  t.Send(small2, 0, small2.size());
  EXPECT_TRUE(t.WaitClosed());
  EXPECT_EQ(cvtest::ReadFile(files_ + "/My Uploads/race.bin"), "theirs");
  EXPECT_EQ(cvtest::ReadFile(files_ + "/My Uploads/race.bin.cpf"), "new");

  // A stream that is not a flattened file ends the upload without counting as a server error.
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "junk.bin", 64), &reply, &code));
  ASSERT_EQ(code, 0u);
  const Uint16 errorsNow = app_->ErrorCount();
  TransferConn j;
  ASSERT_TRUE(j.Open(app_->TransferPort()));
  j.Header(RefOf(reply), 64);
  j.Send(Bytes(64, 'j'), 0, 64);
  EXPECT_TRUE(j.WaitClosed());
  EXPECT_EQ(app_->ErrorCount(), errorsNow);
  EXPECT_EQ(app_->Transfers()->Uploads(), 0u);
  EXPECT_FALSE(fs::exists(files_ + "/My Uploads/junk.bin"));
}

TEST_F(Transfers, RefusalsByPrivilegeFolderAndName) {
  Start();
  TestClient guest, up, admin;
  Connect(guest, "guest");
  Connect(up, "up");
  Connect(admin, "admin");
  struct Case {
    TestClient* who;
    Uint16 type;
    UFieldData request;
    std::string text;  // empty: accepted
  };
  const std::string q = "\xD2", e = "\xD3";
  std::vector<Case> cases;
  cases.push_back({&guest, trn::DownloadFile, DownloadRequest(PathOf({"Public Drop Box"}), "hidden.bin"),
                   "Cannot download " + q + "hidden.bin" + e + " because it is in a drop box."});
  cases.push_back({&guest, trn::DownloadFile, DownloadRequest(PathOf({"Public Drop Box", "Inner"}), "open.bin"), ""});
  cases.push_back({&admin, trn::DownloadFile, DownloadRequest(PathOf({"Public Drop Box"}), "hidden.bin"), ""});
  cases.push_back({&guest, trn::DownloadFile, DownloadRequest(PathOf({}), "Plain"),
                   "Cannot download because there is no file named " + q + "Plain" + e + "."});
  cases.push_back({&guest, trn::DownloadFile, DownloadRequest(PathOf({".."}), "srv.err"),
                   "Cannot download because there is no file named " + q + "srv.err" + e + "."});
  cases.push_back({&guest, trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "a.bin", 10),
                   "You are not allowed to upload files."});
  cases.push_back({&up, trn::UploadFile, UploadRequest(PathOf({}), "a.bin", 10),
                   "Cannot accept upload of the file " + q + "a.bin" + e +
                       " because you are only allowed to upload to the " + q + "Uploads" + e + " folder."});
  cases.push_back({&up, trn::UploadFile, UploadRequest(PathOf({"Plain"}), "a.bin", 10),
                   "Cannot accept upload of the file " + q + "a.bin" + e +
                       " because you are only allowed to upload to the " + q + "Uploads" + e + " folder."});
  cases.push_back(
      {&up, trn::UploadFile, UploadRequest(PathOf({"Nowhere"}), "a.bin", 10),
       "Cannot accept upload of the file " + q + "a.bin" + e + " because the specified folder could not be found."});
  cases.push_back({&up, trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "report.doc", 10),
                   "Cannot accept upload because there is already a file named " + q + "report.doc" + e +
                       ". Try choosing a different name."});
  cases.push_back(
      {&up, trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "report.doc", 0, true),
       "Cannot resume upload of the file " + q + "report.doc" + e + " because it is already fully transfered."});
  cases.push_back({&up, trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "none.doc", 0, true),
                   "Cannot resume upload of the file " + q + "none.doc" + e + " because it does not exist."});
  cases.push_back({&up, trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "huge.bin", 0xFFFFFFFFu),
                   std::string()});  // accepted or refused for space below
  cases.push_back({&up, trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "ok.bin", 10), ""});
  cases.push_back({&admin, trn::UploadFile, UploadRequest(PathOf({}), "root.bin", 10), ""});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    UFieldData reply;
    Uint32 code = 99;
    ASSERT_TRUE(cases[i].who->Request(cases[i].type, cases[i].request, &reply, &code));
    if (cases[i].request.GetText(fld::FileName) == "huge.bin") {
      if (code != 0) {
        EXPECT_EQ(reply.GetText(fld::ErrorText), "Cannot accept upload of the file " + q + "huge.bin" + e +
                                                     " because there is not enough free disk space.");
        EXPECT_TRUE(Logged("Not enough free disk space for upload"));
        EXPECT_FALSE(fs::exists(files_ + "/My Uploads/huge.bin.cpf"));
      }
      continue;
    }
    if (cases[i].text.empty()) {
      EXPECT_EQ(code, 0u) << reply.GetText(fld::ErrorText);
      EXPECT_EQ(reply.GetField(fld::ReferenceNumber).size(), 4u);
    } else {
      EXPECT_EQ(code, 1u);
      EXPECT_EQ(reply.GetText(fld::ErrorText), cases[i].text);
    }
  }
  // Refusals leave nothing behind.
  EXPECT_FALSE(fs::exists(files_ + "/a.bin.cpf"));
  EXPECT_FALSE(fs::exists(files_ + "/My Uploads/none.doc.cpf"));
  EXPECT_EQ(cvtest::ReadFile(files_ + "/My Uploads/report.doc"), "done");
}

TEST_F(Transfers, TheDownloadLimitCountsPendingDownloads) {
  Start();
  app_->Prefs().maxDownloads = 2;
  TestClient c;
  Connect(c, "guest");
  UFieldData reply;
  Uint32 code = 99;
  UFieldData first;
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &first, &code));
  EXPECT_EQ(code, 0u);
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &reply, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_NE(RefOf(first), RefOf(reply));
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &reply, &code));
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(reply.GetText(fld::ErrorText),
            "Cannot download because the maximum number of simultaneous downloads for this server has been reached.  "
            "Try again later.");
  // The client information lists them.
  TestClient admin;
  Connect(admin, "admin");
  UFieldData ask, info;
  ask.AddInteger(fld::UserId, 1);
  ASSERT_TRUE(admin.Request(trn::GetClientInfo, ask, &info, &code));
  ASSERT_EQ(code, 0u) << info.GetText(fld::ErrorText);
  EXPECT_NE(info.GetText(fld::Data, 1024).find("small.txt (0%)\rsmall.txt (0%)\r"), std::string::npos)
      << info.GetText(fld::Data, 1024);
  // Once one has run to its end and closed, there is room again.
  TransferConn t;
  ASSERT_TRUE(t.Open(app_->TransferPort()));
  t.Header(RefOf(first), 0);
  EXPECT_FALSE(t.Receive(1).empty());
  t.Close();
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Downloads() == 1; }, 5000));
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &reply, &code));
  EXPECT_EQ(code, 0u);
}

TEST_F(Transfers, TimeOutsOnTheFrameworkClock) {
  Start();
  TestClient c;
  Connect(c, "up");
  UFieldData download, upload, silent;
  Uint32 code = 99;
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &download, &code));
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "s.bin", 1000), &silent, &code));
  ASSERT_EQ(code, 0u);
  TransferConn quiet, headerless;
  ASSERT_TRUE(quiet.Open(app_->TransferPort()));
  quiet.Header(RefOf(silent), 1000);
  ASSERT_TRUE(headerless.Open(app_->TransferPort()));
  {
    auto h = EncodeTransferHeader(STransferHeader{RefOf(download), 0, 0});
    headerless.Send(Bytes(h.begin(), h.end()), 0, 8);  // never the rest
  }
  Spin();
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Waiting() <= 1; }, 5000));

  // 121 s of silence end the upload and the connection that never finished its header.
  UClock::Advance(121 * 1000);
  ASSERT_TRUE(c.Request(trn::GetOnlineUsers, {}));
  EXPECT_TRUE(quiet.WaitClosed());
  EXPECT_TRUE(Logged("Upload aborted"));
  EXPECT_EQ(app_->Transfers()->Uploads(), 0u);
  EXPECT_TRUE(fs::exists(files_ + "/My Uploads/s.bin.cpf"));
  EXPECT_EQ(app_->Transfers()->Downloads(), 1u);

  // The download that never got its connection goes after 500 s.
  UClock::Advance(380 * 1000);
  ASSERT_TRUE(c.Request(trn::GetOnlineUsers, {}));
  EXPECT_EQ(app_->Transfers()->Downloads(), 0u);
  EXPECT_TRUE(Logged("Download aborted (no response)"));
  EXPECT_EQ(app_->Transfers()->Waiting(), 0u);
}

TEST_F(Transfers, ReferencesCarryDirectionAndSerialAndAResetDropsEverything) {
  Start();
  TestClient c;
  Connect(c, "up");
  UFieldData down, up;
  Uint32 code = 99;
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &down, &code));
  ASSERT_EQ(code, 0u);
  ASSERT_TRUE(c.Request(trn::UploadFile, UploadRequest(PathOf({"My Uploads"}), "r.bin", 10), &up, &code));
  ASSERT_EQ(code, 0u);
  const TransferReference d = RefOf(down), u = RefOf(up);
  EXPECT_EQ(d[0] & 1, 1);
  EXPECT_EQ(u[0] & 1, 0);
  EXPECT_EQ(ReadU16(&d[2]), 0x0200);  // the serial, least significant byte first
  EXPECT_EQ(ReadU16(&u[2]), 0x0300);
  // A download's reference never opens the upload, nor the other way round.
  TransferConn wrong;
  ASSERT_TRUE(wrong.Open(app_->TransferPort()));
  TransferReference flipped = u;
  flipped[0] |= 1;
  wrong.Header(flipped, 10);
  EXPECT_TRUE(wrong.WaitClosed());
  EXPECT_EQ(app_->Transfers()->Uploads(), 1u);

  TransferConn waiting;
  ASSERT_TRUE(waiting.Open(app_->TransferPort()));
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Waiting() == 1; }, 5000));
  app_->Reset();
  EXPECT_EQ(app_->Transfers()->Downloads(), 0u);
  EXPECT_EQ(app_->Transfers()->Uploads(), 0u);
  EXPECT_EQ(app_->Transfers()->Waiting(), 0u);
  EXPECT_TRUE(waiting.WaitClosed());
  EXPECT_TRUE(fs::exists(files_ + "/My Uploads/r.bin.cpf"));
  TestClient again;
  Connect(again, "guest");
  ASSERT_TRUE(again.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &down, &code));
  ASSERT_EQ(code, 0u);
  EXPECT_EQ(ReadU16(&RefOf(down)[2]), 0x0200);
}

TEST_F(Transfers, HeadersThatNameNoTransferAreClosedAndChangeNothing) {
  Start();
  TestClient c;
  Connect(c, "guest");
  UFieldData reply;
  Uint32 code = 99;
  ASSERT_TRUE(c.Request(trn::DownloadFile, DownloadRequest(PathOf({}), "small.txt"), &reply, &code));
  ASSERT_EQ(code, 0u);
  const TransferReference ref = RefOf(reply);
  TransferReference otherKind = ref;
  otherKind[0] &= Uint8(~1);
  TransferReference unknown = ref;
  unknown[2] ^= 0x55;
  struct Case {
    TransferReference ref;
    Uint32 magic;
  };
  for (const Case& k : {Case{ref, FourCC("XXXX")}, Case{otherKind, kTransferMagic}, Case{unknown, kTransferMagic}}) {
    TransferConn t;
    ASSERT_TRUE(t.Open(app_->TransferPort()));
    t.Header(k.ref, 0, k.magic);
    EXPECT_TRUE(t.WaitClosed());
  }
  EXPECT_TRUE(Logged("Transfer connection establish failed!"));
  EXPECT_EQ(app_->Transfers()->Downloads(), 1u);

  // A header that arrives in two pieces is taken once whole.
  TransferConn first;
  ASSERT_TRUE(first.Open(app_->TransferPort()));
  auto h = EncodeTransferHeader(STransferHeader{ref, 0, 0});
  Bytes whole(h.begin(), h.end());
  first.Send(whole, 0, 10);
  Spin();
  first.Send(whole, 10, 16);
  const Uint32 size = reply.GetInteger(fld::TransferSize);
  Bytes got = first.Receive(size);
  EXPECT_EQ(got.size(), size);
  // A second connection for the same transfer is refused; the first keeps it.
  TransferConn second;
  ASSERT_TRUE(second.Open(app_->TransferPort()));
  second.Header(ref, 0);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_TRUE(first.Connected());
  EXPECT_EQ(Unflatten(got), ToBytes("hello, world"));
  first.Close();
  ASSERT_TRUE(UEventLoop::RunUntilFor([&] { return app_->Transfers()->Downloads() == 0; }, 5000));
  // Its reference is spent.
  TransferConn late;
  ASSERT_TRUE(late.Open(app_->TransferPort()));
  late.Header(ref, 0);
  EXPECT_TRUE(late.WaitClosed());
}

}  // namespace
