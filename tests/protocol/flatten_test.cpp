#include "protocol/flatten.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "framework/errors.h"
#include "framework/random.h"

using namespace cv;

namespace {

// A file in memory that a flattener reads from and an unflattener writes into.
struct MemFile {
  Bytes bytes;

  FlatSource Source() {
    return [this](Uint64 offset, Uint8* buf, std::size_t count) -> std::size_t {
      if (offset >= bytes.size()) return 0;
      const std::size_t n = std::min<std::size_t>(count, bytes.size() - offset);
      std::memcpy(buf, bytes.data() + offset, n);
      return n;
    };
  }
  FlatSink Sink() {
    return [this](Uint64 offset, ByteView piece) {
      if (bytes.size() < offset + piece.size()) bytes.resize(offset + piece.size());
      std::memcpy(bytes.data() + offset, piece.data(), piece.size());
    };
  }
};

Bytes Pattern(std::size_t n, Int32 seed) {
  URandom r(seed);
  Bytes b(n, 0);
  for (auto& c : b) c = Uint8(r.Draw(0, 255));
  return b;
}

// Reads the whole stream in pieces of `piece` bytes (0: random sizes up to 70000).
Bytes ReadAll(CFlattener& f, std::size_t piece, URandom* rnd = nullptr) {
  Bytes out;
  Bytes buf;
  while (!f.AtEnd()) {
    const std::size_t n = piece ? piece : std::size_t(rnd->Draw(1, 70000));
    buf.assign(n, 0);
    const std::size_t got = f.Read(buf.data(), n);
    EXPECT_TRUE(got == n || f.AtEnd());
    out.append(buf.data(), got);
  }
  return out;
}

void WriteAll(CUnflattener& u, const Bytes& stream, std::size_t piece, URandom* rnd = nullptr) {
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t n = std::min<std::size_t>(piece ? piece : std::size_t(rnd->Draw(1, 70000)), stream.size() - at);
    u.Write(stream.data() + at, n);
    at += n;
  }
}

void ExpectError(const std::function<void()>& f, Int16 cls, Int16 id) {
  try {
    f();
    ADD_FAILURE() << "no error, expected (" << cls << ", " << id << ")";
  } catch (const SError& e) {
    EXPECT_EQ(e.errClass, cls);
    EXPECT_EQ(e.id, id);
  }
}

Bytes StreamHeader(Uint32 magic = kFlatMagic, Uint16 version = 1, Uint16 forks = 2) {
  Bytes b;
  AppendU32(b, magic);
  AppendU16(b, version);
  b.append(16, 0);
  AppendU16(b, forks);
  return b;
}

Bytes Fork(Uint32 type, const Bytes& data, Uint32 compression = 0) {
  Bytes b;
  AppendU32(b, type);
  AppendU32(b, compression);
  AppendU32(b, 0);
  AppendU32(b, Uint32(data.size()));
  return b + data;
}

Bytes InfoBytes(const std::string& name, const std::string& comment = "") {
  SFlatInfo info = InfoForFile("x.txt");
  info.name = name;
  info.comment = comment;
  return BuildInfoFork(info);
}

// An information fork with the given name bytes, bypassing the writer's checks.
Bytes RawInfo(const std::string& name, Uint16 nameLength, Uint16 commentLength = 0) {
  Bytes b(72, 0);
  WriteU32(b.data(), kPlatformOurs);
  WriteU16(b.data() + 70, nameLength);
  b.append(reinterpret_cast<const Uint8*>(name.data()), name.size());
  AppendU16(b, commentLength);
  return b;
}

}  // namespace

TEST(Flatten, TenByteTextFileHasTheFixedLayout) {
  MemFile file{Bytes(reinterpret_cast<const Uint8*>("0123456789"), 10)};
  CFlattener f(InfoForFile("/library/a.txt"), file.bytes.size(), file.Source());
  ASSERT_EQ(f.Size(), 145u);
  const Bytes s = ReadAll(f, 1000);
  ASSERT_EQ(s.size(), 145u);
  const Uint8* p = s.data();

  EXPECT_EQ(ReadU32(p), FourCC("FILP"));
  EXPECT_EQ(ReadU16(p + 4), 1);
  EXPECT_EQ(Bytes(p + 6, 16), Bytes(16, 0));
  EXPECT_EQ(ReadU16(p + 22), 2);

  const Uint8* fork = p + 24;
  EXPECT_EQ(ReadU32(fork), FourCC("INFO"));
  EXPECT_EQ(ReadU32(fork + 4), 0u);
  EXPECT_EQ(ReadU32(fork + 8), 0u);
  EXPECT_EQ(ReadU32(fork + 12), 79u);
  const Uint8* info = fork + 16;
  EXPECT_EQ(ReadU32(info), FourCC("MWIN"));
  EXPECT_EQ(ReadU32(info + 4), FourCC("TEXT"));
  EXPECT_EQ(ReadU32(info + 8), FourCC("ttxt"));
  EXPECT_EQ(Bytes(info + 12, 58), Bytes(58, 0));  // flags, reserved, dates, script
  EXPECT_EQ(ReadU16(info + 70), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(info + 72), 5), "a.txt");
  EXPECT_EQ(ReadU16(info + 77), 0);

  const Uint8* data = info + 79;
  EXPECT_EQ(ReadU32(data), FourCC("DATA"));
  EXPECT_EQ(ReadU32(data + 12), 10u);
  EXPECT_EQ(Bytes(data + 16, 10), file.bytes);
}

TEST(Flatten, LongNameIsCutButKeepsItsCodes) {
  const std::string longName = std::string(96, 'n') + ".txt";  // 100 bytes
  const SFlatInfo info = InfoForFile(longName);
  EXPECT_EQ(info.name, longName.substr(0, 63));
  EXPECT_EQ(info.codes, (SFileCodes{FourCC("TEXT"), FourCC("ttxt")}));
  const Bytes fork = BuildInfoFork(info);
  EXPECT_EQ(fork.size(), 74u + 63);
  EXPECT_EQ(ReadU16(fork.data() + 70), 63);

  // A name given longer than 63 is cut by the encoder as well.
  SFlatInfo raw = info;
  raw.name = longName;
  EXPECT_EQ(BuildInfoFork(raw), fork);
}

TEST(Flatten, RoundTripAtEverySplitSize) {
  struct Case {
    const char* label;
    std::string comment;
    bool resource;
  } cases[] = {{"plain", "", false},
               {"comment", "A comment\rwith two lines", false},
               {"resource", "", true},
               {"both", "c", true}};
  const Bytes data = Pattern(300, 7);
  const Bytes rsrc = Pattern(40, 8);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SFlatInfo info = InfoForFile("photo.JPG");
    info.comment = c.comment;
    info.created = {2001, 5, 1234};
    info.modified = {2024, 999, 31535999};
    MemFile source{data}, rsrcSource{rsrc};
    auto make = [&] {
      CFlattener f(info, data.size(), source.Source());
      if (c.resource) f.AddResourceFork(rsrc.size(), rsrcSource.Source());
      return f;
    };
    CFlattener whole = make();
    const Bytes stream = ReadAll(whole, 1 << 20);
    ASSERT_EQ(stream.size(), whole.Size());
    EXPECT_EQ(ReadU16(stream.data() + 22), c.resource ? 3 : 2);

    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
      CFlattener f = make();
      ASSERT_EQ(ReadAll(f, piece), stream) << piece;

      MemFile target, rsrcTarget;
      CUnflattener u(target.Sink());
      if (c.resource) u.SetResourceSink(rsrcTarget.Sink());
      WriteAll(u, stream, piece);
      ASSERT_NO_THROW(u.Finish()) << piece;
      ASSERT_EQ(target.bytes, data) << piece;
      ASSERT_EQ(rsrcTarget.bytes, c.resource ? rsrc : Bytes()) << piece;
      EXPECT_EQ(u.Consumed(), stream.size());
      EXPECT_EQ(u.DataReceived(), data.size());
    }

    // Without a resource sink the resource fork is skipped.
    MemFile target;
    CUnflattener u(target.Sink());
    WriteAll(u, stream, 3);
    u.Finish();
    EXPECT_EQ(target.bytes, data);
    const auto got = u.Info();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->name, "photo.JPG");
    EXPECT_EQ(got->codes, (SFileCodes{FourCC("JPEG"), FourCC("GKON")}));
    EXPECT_EQ(got->comment, c.comment);
    EXPECT_EQ(got->created, info.created);
    EXPECT_EQ(got->modified, info.modified);
    EXPECT_EQ(got->platform, kPlatformOurs);
  }
}

TEST(Flatten, BigFileAtRandomSplits) {
  const Bytes data = Pattern(3 * 1024 * 1024 + 17, 99);
  MemFile source{data};
  URandom rnd(12345);
  for (int round = 0; round < 3; ++round) {
    CFlattener f(InfoForFile("big.bin"), data.size(), source.Source());
    const Bytes stream = ReadAll(f, 0, &rnd);
    ASSERT_EQ(stream.size(), f.Size());
    MemFile target;
    CUnflattener u(target.Sink());
    WriteAll(u, stream, 0, &rnd);
    u.Finish();
    ASSERT_TRUE(target.bytes == data);
  }
}

TEST(Flatten, ResumeReproducesTheFileFromAnyOffset) {
  const Bytes data = Pattern(10000, 3);
  MemFile source{data};
  const SFlatInfo info = InfoForFile("song.mp3");
  const Uint32 infoLength = Uint32(BuildInfoFork(info).size());
  for (Uint64 held : {Uint64(0), Uint64(1), Uint64(4999), Uint64(9999), Uint64(10000), Uint64(20000)}) {
    SCOPED_TRACE(held);
    const Bytes record = MakeResumeRecord(held);
    ASSERT_EQ(ResumeOffset(ByteView(record.data(), record.size())), held);

    CFlattener f = CFlattener::FromResume(info, data.size(), source.Source(), ByteView(record.data(), record.size()));
    const Uint32 left = held < data.size() ? Uint32(data.size() - held) : 0;
    EXPECT_EQ(f.DataLength(), left);
    EXPECT_EQ(f.Size(), 56 + infoLength + left);
    const Bytes stream = ReadAll(f, 777);

    MemFile partial{data.substr(0, std::min<std::size_t>(held, data.size()))};
    CUnflattener u(partial.Sink(), std::min<Uint64>(held, data.size()));
    WriteAll(u, stream, 777);
    u.Finish();
    EXPECT_TRUE(partial.bytes == data);
  }
}

TEST(Flatten, ResumeRecordLayoutAndChecks) {
  const Bytes record = MakeResumeRecord(0x01020304);
  ASSERT_EQ(record.size(), 58u);
  EXPECT_EQ(ReadU32(record.data()), FourCC("RFLT"));
  EXPECT_EQ(ReadU16(record.data() + 4), 1);
  EXPECT_EQ(Bytes(record.data() + 6, 34), Bytes(34, 0));
  EXPECT_EQ(ReadU16(record.data() + 40), 2);
  EXPECT_EQ(ReadU32(record.data() + 42), FourCC("DATA"));
  EXPECT_EQ(ReadU32(record.data() + 46), 0x01020304u);
  EXPECT_EQ(Bytes(record.data() + 50, 8), Bytes(8, 0));
  ExpectError([] { MakeResumeRecord(Uint64(1) << 32); }, errClassGeneral, errFieldTooLarge);

  auto offsetOf = [](const Bytes& r) { return ResumeOffset(ByteView(r.data(), r.size())); };
  Bytes wrongMagic = record;
  wrongMagic[0] = 'X';
  Bytes wrongVersion = record;
  WriteU16(wrongVersion.data() + 4, 2);
  ExpectError([&] { offsetOf(record.substr(0, 41)); }, errClassGeneral, errBadArgument);
  ExpectError([&] { offsetOf(wrongMagic); }, errClassGeneral, errBadFormat);
  ExpectError([&] { offsetOf(wrongVersion); }, errClassGeneral, errBadVersion);

  // 42 bytes hold no entry; a zero count reads none; entries of other types are ignored.
  EXPECT_EQ(offsetOf(record.substr(0, 42)), 0u);
  Bytes none = record;
  WriteU16(none.data() + 40, 0);
  EXPECT_EQ(offsetOf(none), 0u);
  Bytes two = record;
  WriteU32(two.data() + 42, FourCC("MACR"));
  two.append(16, 0);
  WriteU32(two.data() + 58, FourCC("DATA"));
  WriteU32(two.data() + 62, 77);
  EXPECT_EQ(offsetOf(two), 77u);
  // The count may promise more entries than the record holds.
  Bytes many = record;
  WriteU16(many.data() + 40, 0xFFFF);
  EXPECT_EQ(offsetOf(many), 0x01020304u);
}

TEST(Flatten, TypeAndCreatorFromNames) {
  struct Case {
    const char* name;
    Uint32 type;
    Uint32 creator;
  } cases[] = {
      {"a.txt", FourCC("TEXT"), FourCC("ttxt")},
      {"README.TXT", FourCC("TEXT"), FourCC("ttxt")},
      {"main.Cpp", FourCC("TEXT"), FourCC("CWIE")},
      {"x.c", FourCC("TEXT"), FourCC("CWIE")},
      {"x.cp", FourCC("TEXT"), FourCC("CWIE")},
      {"x.h", FourCC("TEXT"), FourCC("CWIE")},
      {"x.hpp", FourCC("TEXT"), FourCC("CWIE")},
      {"pic.bmp", FourCC("BMP "), FourCC("GKON")},
      {"d.dat", FourCC("BINA"), FourCC("hDmp")},
      {"w.doc", FourCC("W6BN"), FourCC("MSWD")},
      {"p.exe", FourCC("DEXE"), FourCC("CWIE")},
      {"g.gif", FourCC("GIFf"), FourCC("GKON")},
      {"m.cbm", FourCC("CVbm"), FourCC("CVCL")},
      {"part.zip.cpf", FourCC("CVft"), FourCC("CVCL")},
      {"j.jpg", FourCC("JPEG"), FourCC("GKON")},
      {"v.mov", FourCC("MooV"), FourCC("TVOD")},
      {"s.mp3", FourCC("MP3 "), FourCC("MAmp")},
      {"v.mpg", FourCC("MPG "), FourCC("TVOD")},
      {"a.sit", FourCC("SITD"), FourCC("SIT!")},
      {"t.tif", FourCC("TIFF"), FourCC("GKON")},
      {"w.wav", FourCC("WAVE"), FourCC("TVOD")},
      {"z.ZIP", FourCC("ZIP "), FourCC("ZIP ")},
      {"archive.tar.gz", FourCC("BINA"), FourCC("dosa")},
      {"photo.jpeg", FourCC("BINA"), FourCC("dosa")},
      {"noextension", FourCC("BINA"), FourCC("dosa")},
      {"trailing.", FourCC("BINA"), FourCC("dosa")},
      {".txt", FourCC("TEXT"), FourCC("ttxt")},
      {"dir.txt/file", FourCC("BINA"), FourCC("dosa")},
      {"dir/sub/notes.txt", FourCC("TEXT"), FourCC("ttxt")},
      {"", FourCC("BINA"), FourCC("dosa")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodesFromName(c.name), (SFileCodes{c.type, c.creator})) << c.name;
  }
  EXPECT_EQ(FileExtension("x." + std::string(20, 'e')), std::string(15, 'e'));
  EXPECT_EQ(kFolderCodes, (SFileCodes{FourCC("fldr"), 0}));
  EXPECT_EQ(kBrokenAliasCodes, (SFileCodes{FourCC("alis"), 0}));
}

TEST(Flatten, FileTimesBecomeStampsByTheMonthTable) {
  using namespace std::chrono;
  constexpr Uint32 kMonthStart[12] = {0,        2678400,  5097600,  7776000,  10368000, 13046400,
                                      15638400, 18316800, 20995200, 23587200, 26265600, 28857600};
  for (int y : {1970, 1999, 2000, 2023, 2024, 2100}) {
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    for (unsigned m = 1; m <= 12; ++m) {
      const unsigned d = m == 2 ? 28 : 15;
      const Int64 unix =
          sys_days{year{y} / month{m} / day{d}}.time_since_epoch().count() * 86400 + 13 * 3600 + 7 * 60 + 42;
      const SDateStamp s = StampFromFileTime(unix, 250);
      const Uint32 expected =
          (d - 1) * 86400 + kMonthStart[m - 1] + (leap && m > 2 ? 86400 : 0) + 13 * 3600 + 7 * 60 + 42;
      EXPECT_EQ(s, (SDateStamp{Uint16(y), 250, expected})) << y << "-" << m;
    }
  }
  const SDateStamp fallback{1997, 0, 0};
  EXPECT_EQ(StampFromFileTime(Int64(1) << 50), fallback);
  EXPECT_EQ(StampFromFileTime(-(Int64(1) << 50)), fallback);
  EXPECT_EQ(StampFromFileTime(0, 1000), fallback);
  // The stamp travels as year, milliseconds, seconds, big-endian.
  Uint8 b[8];
  WriteStamp(b, SDateStamp{2024, 500, 0x01020304});
  EXPECT_EQ(Bytes(b, 8), (Bytes{0x07, 0xE8, 0x01, 0xF4, 0x01, 0x02, 0x03, 0x04}));
}

TEST(Unflatten, DamagedHeadersRaiseTheirErrors) {
  MemFile file{Bytes(5, 'x')};
  CFlattener f(InfoForFile("a.txt"), 5, file.Source());
  const Bytes good = ReadAll(f, 4096);

  struct Case {
    const char* label;
    Bytes stream;
    Int16 id;
  } cases[] = {
      {"magic", StreamHeader(FourCC("FILQ")) + good.substr(24), errBadFormat},
      {"version", StreamHeader(kFlatMagic, 2) + good.substr(24), errBadVersion},
      {"compression", StreamHeader() + Fork(kForkInfo, InfoBytes("a"), 1), errBadFormat},
      {"unknown fork compressed", StreamHeader() + Fork(FourCC("XTRA"), Bytes(3, 0), 7), errBadFormat},
      {"second data fork", StreamHeader() + Fork(kForkData, Bytes(2, 1)) + Fork(kForkData, Bytes(2, 2)), errBadFormat},
      {"second info fork", StreamHeader() + Fork(kForkInfo, InfoBytes("a")) + Fork(kForkInfo, InfoBytes("b")),
       errBadFormat},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t(1), std::size_t(5), c.stream.size()}) {
      SCOPED_TRACE(std::string(c.label) + " piece " + std::to_string(piece));
      MemFile target;
      CUnflattener u(target.Sink());
      ExpectError([&] { WriteAll(u, c.stream, piece); }, errClassGeneral, c.id);
      // Once damaged, the cursor takes nothing more.
      ExpectError([&] { u.Write(good.data(), 1); }, errClassGeneral, errBadState);
      EXPECT_LE(target.bytes.size(), 2u);
    }
  }
}

TEST(Unflatten, TruncatedStreamsAreNotFinished) {
  MemFile file{Pattern(20, 1)};
  CFlattener f(InfoForFile("a.txt"), 20, file.Source());
  const Bytes good = ReadAll(f, 4096);
  for (std::size_t n = 0; n < good.size(); ++n) {
    MemFile target;
    CUnflattener u(target.Sink());
    u.Write(good.data(), n);
    ExpectError([&] { u.Finish(); }, errClassGeneral, errBadFormat);
    EXPECT_LE(target.bytes.size(), 20u);
  }
  MemFile target;
  CUnflattener u(target.Sink());
  u.Write(good.data(), good.size());
  EXPECT_NO_THROW(u.Finish());
  EXPECT_TRUE(u.AtForkBoundary());
}

TEST(Unflatten, UnknownForksAreSkipped) {
  const Bytes data = Pattern(33, 4);
  const Bytes stream = StreamHeader(kFlatMagic, 1, 4) + Fork(kForkInfo, InfoBytes("a.txt")) +
                       Fork(FourCC("XTRA"), Pattern(50, 5)) + Fork(kForkResource, Pattern(9, 6)) +
                       Fork(kForkData, data) + Fork(FourCC("TAIL"), Bytes());
  for (std::size_t piece : {std::size_t(1), std::size_t(7), stream.size()}) {
    MemFile target;
    CUnflattener u(target.Sink());
    WriteAll(u, stream, piece);
    u.Finish();
    EXPECT_EQ(target.bytes, data);
    ASSERT_TRUE(u.Info().has_value());
    EXPECT_EQ(u.Info()->name, "a.txt");
  }
}

TEST(Unflatten, HugeLengthsStayBounded) {
  // An information fork announcing 4 GB keeps only its first 592 bytes.
  Bytes stream = StreamHeader() + Fork(kForkInfo, Bytes());
  WriteU32(stream.data() + 24 + 12, 0xFFFFFFFFu);
  MemFile target;
  CUnflattener u(target.Sink());
  u.Write(stream.data(), stream.size());
  const Bytes junk(100000, 'j');
  for (int i = 0; i < 5; ++i) u.Write(junk.data(), junk.size());
  EXPECT_FALSE(u.InfoFork().has_value());
  ExpectError([&] { u.Finish(); }, errClassGeneral, errBadFormat);

  // A complete information fork longer than the room is cut, and still decodes.
  const Bytes longInfo = InfoBytes("n.txt", "c") + Bytes(1000, 'z');
  const Bytes s2 = StreamHeader() + Fork(kForkInfo, longInfo) + Fork(kForkData, Bytes(1, 1));
  CUnflattener u2(target.Sink());
  WriteAll(u2, s2, 100);
  u2.Finish();
  ASSERT_TRUE(u2.InfoFork().has_value());
  EXPECT_EQ(u2.InfoFork()->size(), kInfoForkKeep);
  EXPECT_EQ(u2.Info()->comment, "c");

  // A data fork whose end would pass the largest offset is refused before any byte is written.
  Bytes s3 = StreamHeader() + Fork(kForkData, Bytes());
  WriteU32(s3.data() + 24 + 12, 0x10);
  MemFile untouched;
  CUnflattener u3(untouched.Sink(), ~Uint64(0) - 8);
  ExpectError([&] { u3.Write(s3.data(), s3.size()); }, errClassGeneral, errBadFormat);
  EXPECT_TRUE(untouched.bytes.empty());

  // A data fork announcing 4 GB writes where its bytes belong as they come.
  Bytes s4 = StreamHeader() + Fork(kForkData, Bytes());
  WriteU32(s4.data() + 24 + 12, 0xFFFFFFFFu);
  std::vector<Uint64> offsets;
  CUnflattener u4([&](Uint64 off, ByteView piece) { offsets.push_back(off + piece.size()); }, 5);
  u4.Write(s4.data(), s4.size());
  u4.Write(junk.data(), 10);
  u4.Write(junk.data(), 10);
  EXPECT_THAT(offsets, testing::ElementsAre(15u, 25u));
  EXPECT_FALSE(u4.DataComplete());
}

TEST(Unflatten, BadInformationForksAreReportedAsSuch) {
  struct Case {
    const char* label;
    Bytes fork;
    Int16 cls, id;
  } cases[] = {
      {"slash", RawInfo("a/b", 3), errClassFiles, errInvalidName},
      {"nul", RawInfo(std::string("a\0b", 3), 3), errClassFiles, errInvalidName},
      {"empty", RawInfo("", 0), errClassFiles, errInvalidName},
      {"dotdot", RawInfo("..", 2), errClassFiles, errInvalidName},
      {"name past fork", RawInfo("abc", 40), errClassGeneral, errBadFormat},
      {"name over 255", RawInfo(std::string(300, 'a'), 300), errClassGeneral, errBadFormat},
      {"comment past fork", RawInfo("abc", 3, 10), errClassGeneral, errBadFormat},
      {"short fork", Bytes(73, 0), errClassGeneral, errBadFormat},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes stream = StreamHeader() + Fork(kForkInfo, c.fork) + Fork(kForkData, Bytes(4, 4));
    MemFile target;
    CUnflattener u(target.Sink());
    // The stream itself is fine; only a caller that wants the name hears of it.
    u.Write(stream.data(), stream.size());
    u.Finish();
    EXPECT_EQ(target.bytes, Bytes(4, 4));
    ExpectError([&] { u.Info(); }, c.cls, c.id);
  }
  // A 255-byte name from another writer is accepted when it fits.
  EXPECT_EQ(ParseInfoFork(RawInfo(std::string(255, 'a'), 255)).name.size(), 255u);
}

TEST(Flatten, WriterRefusesWhatItCannotSend) {
  MemFile file{Bytes(10, 1)};
  for (const char* bad : {"a/b", "", "..", "."}) {
    SFlatInfo info = InfoForFile("x");
    info.name = bad;
    ExpectError([&] { CFlattener(info, 10, file.Source()); }, errClassFiles, errInvalidName);
  }
  SFlatInfo nul = InfoForFile("x");
  nul.name = std::string("a\0b", 3);
  ExpectError([&] { BuildInfoFork(nul); }, errClassFiles, errInvalidName);

  // The stream length must fit in 32 bits.
  const SFlatInfo info = InfoForFile("a.txt");
  const Uint64 overhead = 56 + BuildInfoFork(info).size();
  EXPECT_EQ(CFlattener(info, 0xFFFFFFFFu - overhead, file.Source()).Size(), 0xFFFFFFFFu);
  ExpectError([&] { CFlattener(info, 0x100000000u - overhead, file.Source()); }, errClassGeneral, errFieldTooLarge);
  ExpectError([&] { CFlattener(info, Uint64(5) << 30, file.Source()); }, errClassGeneral, errFieldTooLarge);
  // Resuming far into a big file leaves a stream that fits.
  EXPECT_EQ(CFlattener(info, Uint64(5) << 30, file.Source(), Uint64(5) << 30).DataLength(), 0u);

  // A file that shrank after opening cannot fill the announced stream.
  CFlattener f(info, 20, file.Source());
  Bytes buf(200, 0);
  ExpectError([&] { f.Read(buf.data(), buf.size()); }, errClassGeneral, errBadState);
}

TEST(Unflatten, SinkFailureStopsTheCursor) {
  MemFile file{Bytes(10, 1)};
  CFlattener f(InfoForFile("a.txt"), 10, file.Source());
  const Bytes stream = ReadAll(f, 4096);
  CUnflattener u([](Uint64, ByteView) { UError::Raise(errClassFiles, errDiskFull); });
  ExpectError([&] { u.Write(stream.data(), stream.size()); }, errClassFiles, errDiskFull);
  ExpectError([&] { u.Write(stream.data(), 1); }, errClassGeneral, errBadState);
}
