#include "framework/resources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "framework/errors.h"

using namespace cv;

namespace {

class Rez : public ::testing::Test {
 protected:
  void TearDown() override { URez::DisposeAll(); }
};

Bytes B(std::string_view s) { return Bytes(reinterpret_cast<const Uint8*>(s.data()), s.size()); }

// A small valid file: two types, three items.
Bytes SampleImage() {
  TRezFile f = URez::NewInMemory();
  URez::AddItem(f, FourCC("TEST"), {5, 0, B("five")}, false);
  URez::AddItem(f, FourCC("TEST"), {2, 0, B("two")}, false);
  URez::AddItem(f, FourCC("AAAA"), {7, 0xC0000001, B("seven!")}, false);
  Bytes image = URez::Image(f);
  URez::Dispose(f);
  return image;
}

// Runs fn expecting an SError of (cls, id).
void ExpectError(Int16 cls, Int16 id, const std::function<void()>& fn, const char* what) {
  try {
    fn();
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(cls, id)) << what << ": got " << e.errClass << "/" << e.id;
    return;
  }
  ADD_FAILURE() << what << ": nothing raised";
}

// Offsets into SampleImage's index.
struct Layout {
  Uint32 indexPos, indexSize;
};
Layout LayoutOf(const Bytes& image) { return {ReadU32(&image[28]) + 32, ReadU32(&image[24])}; }

}  // namespace

TEST_F(Rez, WrittenFileReadsBack) {
  const Bytes image = SampleImage();
  EXPECT_EQ(ReadU32(image.data()), FourCC("KRSF"));
  TRezFile f = URez::NewInMemory(image);
  EXPECT_EQ(URez::Types(f), (std::vector<Uint32>{FourCC("AAAA"), FourCC("TEST")}));
  EXPECT_EQ(URez::Ids(f, FourCC("TEST")), (std::vector<Uint32>{2, 5}));
  const Bytes* five = URez::LoadItem(f, FourCC("TEST"), 5);
  ASSERT_TRUE(five);
  EXPECT_EQ(*five, B("five"));
  EXPECT_EQ(*URez::LoadItem(f, FourCC("AAAA"), 7), B("seven!"));
  EXPECT_EQ(URez::LoadItem(f, FourCC("TEST"), 3, true), nullptr);
  ExpectError(
      6, 101, [&] { URez::LoadItem(f, FourCC("TEST"), 3); }, "missing item");
  ExpectError(
      6, 101, [&] { URez::LoadItem(f, FourCC("NONE"), 5); }, "missing type");
  EXPECT_FALSE(URez::IsChanged(f));
}

TEST_F(Rez, UseCountsKeepDataUntilLastRelease) {
  TRezFile f = URez::NewInMemory(SampleImage());
  const Bytes* a = URez::LoadItem(f, FourCC("TEST"), 2);
  const Bytes* b = URez::LoadItem(f, FourCC("TEST"), 2);
  EXPECT_EQ(a, b);  // loaded once
  URez::ReleaseItem(f, FourCC("TEST"), 2);
  EXPECT_EQ(*a, B("two"));  // still in use
  URez::ReleaseItem(f, FourCC("TEST"), 2);
  URez::ReleaseItem(f, FourCC("TEST"), 2);  // one too many: only a trace
  EXPECT_EQ(*URez::LoadItem(f, FourCC("TEST"), 2), B("two"));
}

TEST_F(Rez, NewestFileWinsUntilAnotherIsMadeCurrent) {
  auto make = [](const char* text) {
    TRezFile f = URez::NewInMemory();
    URez::AddItem(f, rezString, {700, 0, B(text)}, false);
    return f;
  };
  TRezFile first = make("first");
  TRezFile second = make("second");
  EXPECT_EQ(URez::FindFile(rezString, 700), second);
  EXPECT_EQ(URez::GetString(700), "second");
  URez::MakeCurrent(first);
  EXPECT_EQ(URez::Current(), first);
  EXPECT_EQ(URez::GetString(700), "first");
  URez::Dispose(first);
  EXPECT_EQ(URez::GetString(700), "second");
  EXPECT_EQ(URez::GetString(701), std::nullopt);
}

TEST_F(Rez, EditingRules) {
  TRezFile f = URez::NewInMemory();
  EXPECT_TRUE(URez::IsChanged(f));  // an empty store starts changed
  const Uint32 a = URez::AddItem(f, rezString, {0, 0, B("a")}, false);
  const Uint32 b = URez::AddItem(f, rezString, {0, 0, B("b")}, false);
  EXPECT_NE(a, 0u);
  EXPECT_EQ(b, a + 1);
  ExpectError(
      6, 104,
      [&] {
        URez::AddItem(f, rezString, {a, 0, B("x")}, false);
      },
      "duplicate id");
  URez::AddItem(f, rezString, {a, 0, B("a2")}, true);
  EXPECT_EQ(*URez::LoadItem(f, rezString, a), B("a2"));
  ExpectError(
      6, 103,
      [&] {
        URez::AddItem(f, rezString, {a, 0, B("x")}, true);
      },
      "replace while loaded");
  ExpectError(
      6, 103, [&] { URez::RemoveItem(f, rezString, a); }, "remove while loaded");
  ExpectError(
      6, 103, [&] { URez::SetItemHandle(f, rezString, a, B("x")); }, "set while loaded");
  URez::ReleaseItem(f, rezString, a);
  URez::RemoveItem(f, rezString, a);
  EXPECT_FALSE(URez::HasItem(f, rezString, a));
  URez::SetItemHandle(f, rezString, b, B("bee"));
  // An empty item still reads back.
  URez::AddItem(f, rezSound, {9, 0, {}}, false);

  URez::Save(f);
  TRezFile g = URez::NewInMemory(URez::Image(f));
  EXPECT_EQ(URez::Ids(g, rezString), (std::vector<Uint32>{b}));
  EXPECT_EQ(*URez::LoadItem(g, rezString, b), B("bee"));
  EXPECT_EQ(*URez::LoadItem(g, rezSound, 9), Bytes{});
}

TEST_F(Rez, AutomaticIdsWrap) {
  TRezFile f = URez::NewInMemory();
  URez::AddItem(f, rezString, {0xFFFFFFFF, 0, B("last")}, false);
  URez::AddItem(f, rezString, {1, 0, B("one")}, false);
  // Ask for ids until the counter passes the top: it never hands out 0 or a taken id.
  std::vector<Uint32> got;
  for (int i = 0; i < 3; ++i) got.push_back(URez::AddItem(f, rezString, {0, 0, B("n")}, false));
  for (Uint32 id : got) EXPECT_TRUE(id != 0 && id != 1 && id != 0xFFFFFFFF);
}

TEST_F(Rez, SaveNeedsAWritableStore) {
  SRezProcs readOnly;
  const Bytes image = SampleImage();
  readOnly.read = [&](Uint64 off, void* buf, std::size_t n) {
    if (off + n > image.size()) return false;
    std::memcpy(buf, image.data() + off, n);
    return true;
  };
  readOnly.getSize = [&] { return Uint64(image.size()); };
  TRezFile f = URez::New(readOnly);
  EXPECT_EQ(*URez::LoadItem(f, FourCC("TEST"), 5), B("five"));
  ExpectError(
      1, 3, [&] { URez::Save(f); }, "save without write");

  TRezFile none = URez::New(SRezProcs{});
  URez::AddItem(none, rezString, {1, 0, B("x")}, false);
  EXPECT_EQ(*URez::LoadItem(none, rezString, 1), B("x"));  // in memory, needs no read
}

TEST_F(Rez, DamagedFilesAreRejected) {
  const Bytes good = SampleImage();
  const Layout at = LayoutOf(good);
  struct Case {
    const char* what;
    Int16 cls, id;
    std::function<void(Bytes&)> damage;
  } cases[] = {
      {"39 bytes", 6, 102, [](Bytes& b) { b.resize(39); }},
      {"wrong magic", 1, 8, [](Bytes& b) { b[0] = 'X'; }},
      {"wrong version", 1, 7, [](Bytes& b) { WriteU16(&b[4], 2); }},
      {"index past the end", 6, 102, [](Bytes& b) { WriteU32(&b[28], Uint32(b.size())); }},
      {"index offset wraps", 6, 102, [](Bytes& b) { WriteU32(&b[28], 0xFFFFFFF0); }},
      {"index too small", 6, 102, [](Bytes& b) { WriteU32(&b[24], 4); }},
      {"index size huge", 6, 102, [](Bytes& b) { WriteU32(&b[24], 0xFFFFFFFF); }},
      {"truncated index", 6, 102, [](Bytes& b) { b.resize(b.size() - 1); }},
      {"index not at its position", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos], at.indexPos + 1); }},
      {"huge type count", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 4], 0x7FFFFFFF); }},
      {"type code 0", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 8], 0); }},
      {"types out of order", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 8], FourCC("ZZZZ")); }},
      {"huge item count", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 12], 0x10000000); }},
      {"item id 0", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 16], 0); }},
      {"item past the index", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 16 + 12], at.indexPos); }},
      {"item size past the index", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 16 + 8], 0xFFFFFFF0); }},
      {"item inside the header", 6, 102, [&](Bytes& b) { WriteU32(&b[at.indexPos + 16 + 12], 4); }},
      // Second group (TEST): items 2 and 5; make 5 start inside 2.
      {"overlapping items", 6, 102,
       [&](Bytes& b) {
         const Uint32 group2 = at.indexPos + 8 + 8 + 16;
         const Uint32 pos2 = ReadU32(&b[group2 + 8 + 12]);
         WriteU32(&b[group2 + 8 + 16 + 12], pos2 + 1);
       }},
      {"ids out of order", 6, 102,
       [&](Bytes& b) {
         const Uint32 group2 = at.indexPos + 8 + 8 + 16;
         WriteU32(&b[group2 + 8 + 16], 1);
       }},
  };
  for (const auto& c : cases) {
    Bytes bad = good;
    c.damage(bad);
    ExpectError(
        c.cls, c.id, [&] { URez::NewInMemory(bad); }, c.what);
  }
  EXPECT_TRUE(URez::Current() == nullptr);  // nothing half-opened stays in the search order
}

TEST_F(Rez, EveryTruncationIsHandled) {
  const Bytes good = SampleImage();
  for (std::size_t n = 0; n < good.size(); ++n) {
    try {
      TRezFile f = URez::NewInMemory(Bytes(good.data(), n));
      URez::Dispose(f);
      EXPECT_EQ(n, 0u) << "a truncated file was accepted";
    } catch (const SError&) {
    }
  }
}

TEST_F(Rez, OpenFileFromDisk) {
  char path[] = "/tmp/corvane-rez-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const Bytes image = SampleImage();
  ASSERT_EQ(write(fd, image.data(), image.size()), ssize_t(image.size()));
  close(fd);
  TRezFile f = URez::OpenFile(path);
  EXPECT_EQ(*URez::LoadItem(f, FourCC("AAAA"), 7), B("seven!"));
  URez::Dispose(f);
  std::remove(path);
  ExpectError(
      4, 103, [&] { URez::OpenFile(path); }, "missing file");
}

TEST(AlertTemplate, FlattenAndParse) {
  SAlertTemplate a;
  a.kind = SAlertTemplate::kindQuestion;
  a.title = "Delete File";
  a.message = "Delete \xD2%#s\xD3?";
  a.buttons = {"Delete", "Cancel"};
  const Bytes flat = a.Flatten();
  SAlertTemplate b;
  ASSERT_TRUE(SAlertTemplate::Parse(ByteView(flat.data(), flat.size()), b));
  EXPECT_EQ(b.title, a.title);
  EXPECT_EQ(b.message, a.message);
  EXPECT_EQ(b.buttons, a.buttons);
  // Every cut, and a length byte pointing past the end, is refused.
  for (std::size_t n = 0; n < flat.size(); ++n) EXPECT_FALSE(SAlertTemplate::Parse(ByteView(flat.data(), n), b)) << n;
  Bytes longTitle = flat;
  longTitle[1] = 250;
  EXPECT_FALSE(SAlertTemplate::Parse(ByteView(longTitle.data(), longTitle.size()), b));
}

TEST_F(Rez, ManifestCompiles) {
  const char* manifest = R"(# a comment
resource 'STR ' 700 "status"   # trailing comment
  text "abc" "\r"
end
resource 'TEST' 1
  counted "abc"
  hex 0001ff
  u16 258
  u32 1
end
resource 'EMSG' 4 "files"
  item 117 "Access denied."
  item 103 "Not found."
end
resource 'ALRT' 131
  alert stop "Lost" "The connection is lost."
end
resource 'snd ' 128
  sound chime 660 990 100
end
resource 'ICON' 400
  icon folder e8b840 16
end
)";
  std::string why;
  const Bytes image = URez::CompileManifest(manifest, ".", &why);
  URez::NewInMemory(image);
  EXPECT_EQ(URez::GetString(700), "abc\r");
  const auto data = URez::Read(FourCC("TEST"), 1);
  ASSERT_TRUE(data);
  EXPECT_EQ(*data, (Bytes{3, 'a', 'b', 'c', 0x00, 0x01, 0xFF, 0x01, 0x02, 0, 0, 0, 1}));
  const auto alert = URez::GetAlert(131);
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->title, "Lost");
  EXPECT_EQ(alert->buttons, std::vector<std::string>{"OK"});
  const auto snd = URez::Read(rezSound, 128);
  ASSERT_TRUE(snd);
  EXPECT_EQ(std::string(snd->begin(), snd->begin() + 4), "RIFF");
  const auto icon = URez::Read(rezIcon, 400);
  ASSERT_TRUE(icon);
  EXPECT_EQ((*icon)[1], 'P');
  EXPECT_EQ(ReadU32(icon->data() + 16), 16u);  // PNG width
}

TEST_F(Rez, ManifestTextBecomesMacRoman) {
  const Bytes image = URez::CompileManifest("resource 'STR ' 1\n  text \"“Caf\xC3\xA9” \\x01\\r\"\nend\n", ".");
  URez::NewInMemory(image);
  EXPECT_EQ(URez::GetString(1),
            "\xD2"
            "Caf\x8E\xD3 \x01\r");
}

TEST_F(Rez, ManifestErrorsNameTheLine) {
  struct Case {
    const char* manifest;
    const char* expect;
  } cases[] = {
      {"resource 'STR ' 1\n  text \"a\"\n", "\"end\" missing"},
      {"\n\nresource 'STR ' 1\n  bogus 1\nend\n", "manifest:4: unknown keyword"},
      {"resource 'STR' 1\nend\n", "type codes"},
      {"resource 'STR ' 0\nend\n", "must not be 0"},
      {"resource 'STR ' 1\nend\nresource 'STR ' 1\nend\n", "duplicate resource"},
      {"resource 'STR ' 1\n  text \"\xE4\xB8\xAD\"\nend\n", "Mac OS Roman"},
      {"resource 'STR ' 1\n  text \"open\nend\n", "unterminated"},
      {"resource 'EMSG' 1\n  item 0 \"x\"\nend\n", "item id 0"},
      {"resource 'EMSG' 1\n  item 2 \"x\"\n  item 2 \"y\"\nend\n", "duplicate item"},
      {"resource 'ICON' 1\n  icon blob ffffff\nend\n", "unknown icon shape"},
      {"resource 'X   ' 1\n  u8 256\nend\n", "bad number"},
      {"text \"x\"\n", "outside a resource"},
      {"include \"/nonexistent/file.rez\"\n", "cannot read"},
  };
  for (const auto& c : cases) {
    std::string why;
    ExpectError(
        1, 8, [&] { URez::CompileManifest(c.manifest, ".", &why); }, c.manifest);
    EXPECT_NE(why.find(c.expect), std::string::npos) << c.manifest << " gave: " << why;
  }
  EXPECT_TRUE(URez::Current() == nullptr);
}

// The resource files the programs ship: every error class, and what the programs name.
TEST_F(Rez, ShippedManifestsHoldWhatTheProgramsUse) {
  auto compile = [](const std::string& rel) {
    const std::string path = std::string(CORVANE_SOURCE_DIR) + "/resources/" + rel;
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(text.empty()) << path;
    std::string why;
    try {
      return URez::CompileManifest(text, path.substr(0, path.rfind('/')), &why);
    } catch (const SError&) {
      ADD_FAILURE() << rel << ": " << why;
      return Bytes{};
    }
  };
  struct Program {
    const char* manifest;
    std::vector<std::pair<Uint32, std::vector<Uint32>>> needs;
  } programs[] = {
      {"cvserver/cvserver.rez", {{rezSound, {128, 129, 130}}}},
      {"corvane/corvane.rez",
       {{rezSound, {128, 129, 130, 131, 132, 133, 134, 135, 136}},
        {rezAlert, {128, 129, 131, 132, 133, 134, 135, 136, 137, 139, 140, 142, 143, 144, 145, 146, 147, 148, 149}},
        {rezIcon, {205, 206, 210, 211, 212, 213, 215, 216, 400, 401, 402, 403, 404, 405, 406, 407, 408,
                   409, 411, 412, 413, 414, 415, 416, 417, 418, 419, 420, 421, 422, 423, 424, 425, 426}}}},
      {"paintwave/paintwave.rez",
       {{rezSound, {136, 137, 138, 139}},
        {rezAlert, {155, 156, 170}},
        {rezString, {700, 701, 702, 703}},
        {rezPicture, {999}}}},
  };
  for (const auto& p : programs) {
    const Bytes image = compile(p.manifest);
    if (image.empty()) continue;
    TRezFile f = URez::NewInMemory(image);
    for (Int16 cls : {1, 3, 4, 6, 8}) EXPECT_TRUE(URez::HasItem(f, rezErrorTexts, Uint32(cls))) << p.manifest;
    for (const auto& [type, ids] : p.needs)
      for (Uint32 id : ids)
        EXPECT_TRUE(URez::HasItem(f, type, id)) << p.manifest << " '" << FourCCText(type) << "' " << id;
    for (Uint32 id : URez::Ids(f, rezAlert)) {
      SAlertTemplate a;
      const Bytes* data = URez::LoadItem(f, rezAlert, id);
      EXPECT_TRUE(SAlertTemplate::Parse(ByteView(data->data(), data->size()), a)) << id;
      URez::ReleaseItem(f, rezAlert, id);
    }
    URez::Dispose(f);
  }
}
