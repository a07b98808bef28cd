#include "framework/filesys.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>

#include "framework/errors.h"

namespace cv {
namespace {

namespace fs = std::filesystem;
using UFileSys::TFSRefPtr;

// Runs f and returns the (class, id) it raised, or (0, 0) when it raised nothing.
template <typename F>
std::pair<int, int> Raised(F&& f) {
  try {
    f();
  } catch (const SError& e) {
    return {e.errClass, e.id};
  }
  return {0, 0};
}

Bytes ProtocolPath(std::initializer_list<std::string> parts, int count = -1) {
  Bytes out;
  AppendU16(out, Uint16(count < 0 ? int(parts.size()) : count));
  for (const auto& p : parts) {
    AppendU16(out, 0);
    AppendU8(out, Uint8(p.size()));
    AppendBytes(out, p.data(), p.size());
  }
  return out;
}

// A host path as folder text below the system root.
std::string FolderText(const fs::path& p) {
  std::string t = p.string().substr(1);
  for (char& c : t)
    if (c == '/') c = '\r';
  return t;
}

class FileSysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cvfs-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    top_ = fs::canonical(tmpl);
    // The root the tests resolve from sits one level down, so "outside" is a real folder.
    fs::create_directory(top_ / "root");
    fs::create_directory(top_ / "outside");
    Write(top_ / "outside" / "secret.txt", "secret");
    rootPath_ = top_ / "root";
    root_.reset(UFileSys::NewRoot(EFSBase::SystemRoot, FolderText(rootPath_), {}, fsSoftExists));
    ASSERT_TRUE(root_);
    ASSERT_EQ(UFileSys::GetPath(root_.get()), rootPath_.string());
  }
  void TearDown() override {
    UFileSys::SetSaveFaultForTesting(0);
    std::error_code ec;
    fs::remove_all(top_, ec);
  }

  static void Write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TFSRefPtr Ref(std::optional<std::string_view> folder, std::optional<std::string_view> name, Uint32 flags = 0,
                Int16* kind = nullptr) {
    return TFSRefPtr(UFileSys::New(root_.get(), folder, name, flags, kind));
  }

  // root: a.txt (5 bytes), sub/ (one file), empty/, .hidden
  void Populate() {
    Write(rootPath_ / "a.txt", "hello");
    fs::create_directory(rootPath_ / "sub");
    Write(rootPath_ / "sub" / "inner.mp3", "0123456789");
    fs::create_directory(rootPath_ / "empty");
    Write(rootPath_ / ".hidden", "h");
  }

  fs::path top_;
  fs::path rootPath_;
  TFSRefPtr root_;
};

TEST_F(FileSysTest, KindsAndResolveFlags) {
  Populate();
  {
    auto target = Ref({}, "a.txt", fsSoftExists);
    auto alias = Ref({}, "a alias", 0);
    UFileSys::MakeAlias(alias.get(), target.get());
    auto folder = Ref({}, "sub", fsSoftExists);
    auto folderAlias = Ref({}, "sub.lnk", 0);
    UFileSys::MakeAlias(folderAlias.get(), folder.get());
    Write(rootPath_ / "gone.txt", "x");
    auto gone = Ref({}, "gone.txt", fsSoftExists);
    auto broken = Ref({}, "gone", 0);
    UFileSys::MakeAlias(broken.get(), gone.get());
    fs::remove(rootPath_ / "gone.txt");
  }

  struct Case {
    const char* folder;
    const char* name;
    Uint32 flags;
    bool object;
    Int16 kind;  // reported kind
    std::pair<int, int> error;
  };
  const Case cases[] = {
      {nullptr, "a.txt", 0, true, fsKindFile, {0, 0}},
      {nullptr, "sub", 0, true, fsKindFolder, {0, 0}},
      {nullptr, "a alias.lnk", 0, true, fsKindFileAlias, {0, 0}},
      {nullptr, "sub.lnk", 0, true, fsKindFolderAlias, {0, 0}},
      {nullptr, "gone.lnk", 0, true, fsKindBrokenAlias, {0, 0}},
      {nullptr, "nothing", 0, true, fsKindMissing, {0, 0}},
      {"nofolder", "nothing", 0, true, fsKindNoFolder, {0, 0}},
      // The programs' combinations.
      {nullptr, "sub", 0x212, true, fsKindFolder, {0, 0}},
      {nullptr, "sub.lnk", 0x212, true, fsKindFolder, {0, 0}},
      {nullptr, "a.txt", 0x212, false, fsKindFile, {0, 0}},
      {nullptr, "a alias.lnk", 0x20A, true, fsKindFile, {0, 0}},
      {nullptr, "sub", 0x20A, false, fsKindFolder, {0, 0}},
      {nullptr, "a.txt", 0x005, false, fsKindFile, {0, 0}},
      {nullptr, "sub", 0x005, false, fsKindFolder, {0, 0}},
      {"nofolder", "x", 0x005, false, fsKindNoFolder, {0, 0}},
      {nullptr, "new", 0x005, true, fsKindMissing, {0, 0}},
      {"nofolder", "x", 0x001, false, fsKindNoFolder, {0, 0}},
      {nullptr, "x", 0x001, true, fsKindMissing, {0, 0}},
      {nullptr, "x", 0x002, false, fsKindMissing, {0, 0}},
      {nullptr, "gone.lnk", 0x202, false, fsKindBrokenAlias, {0, 0}},
      {nullptr, "gone.lnk", 0x200, false, fsKindBrokenAlias, {4, 128}},
      {nullptr, "x", 0x2A0, false, fsKindMissing, {4, 103}},
      {nullptr, "x", 0x320, false, fsKindMissing, {4, 104}},
      {nullptr, "x", 0x020, false, fsKindMissing, {4, 102}},
      {nullptr, "a.txt", 0x040, false, fsKindFile, {4, 115}},
      {nullptr, "sub", 0x080, false, fsKindFolder, {4, 124}},
      {nullptr, "a.txt", 0x100, false, fsKindFile, {4, 125}},
      {nullptr, "x", 0x280, true, fsKindMissing, {0, 0}},
      {nullptr, "sub.lnk", 0x300, true, fsKindFolder, {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.folder ? c.folder : "-") + " / " + c.name + " / " + std::to_string(c.flags));
    Int16 kind = -1;
    TFSRefPtr ref;
    const auto err = Raised([&] {
      ref = Ref(c.folder ? std::optional<std::string_view>(c.folder) : std::nullopt, c.name, c.flags, &kind);
    });
    EXPECT_EQ(err, c.error);
    EXPECT_EQ(bool(ref), c.object);
    EXPECT_EQ(kind, c.kind);
    if (ref) {
      EXPECT_EQ(UFileSys::GetKind(ref.get(), false), c.kind);
    }
  }

  // Following makes the object name the target.
  auto viaAlias = Ref({}, "sub.lnk", 0x212);
  EXPECT_EQ(UFileSys::GetPath(viaAlias.get()), (rootPath_ / "sub").string());
  auto alias = Ref({}, "sub.lnk", 0x002);
  EXPECT_EQ(UFileSys::GetKind(alias.get(), true), fsKindFolder);
  EXPECT_EQ(UFileSys::GetName(alias.get()), "sub");
}

TEST_F(FileSysTest, NameRulesAndFolderText) {
  auto dotted = Ref({}, ".profile");
  EXPECT_EQ(UFileSys::GetName(dotted.get()), "-profile");
  auto dots = Ref({}, "..");
  EXPECT_EQ(UFileSys::GetPath(dots.get()), (rootPath_ / "-.").string());
  auto slashed = Ref({}, "a\\b");
  EXPECT_EQ(UFileSys::GetName(slashed.get()), "a-b");
  auto nested = Ref("\rone\rtwo\\x\r", "leaf");
  EXPECT_EQ(UFileSys::GetPath(nested.get()), (rootPath_ / "one" / "two-x" / "leaf").string());
  EXPECT_EQ(UFileSys::GetParentName(nested.get()), "two-x");
}

// Containment is checked with the kernel's resolution and with the portable fallback.
class FileSysContainmentTest : public FileSysTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    FileSysTest::SetUp();
    UFileSys::SetBeneathFallbackForTesting(GetParam());
  }
  void TearDown() override {
    UFileSys::SetBeneathFallbackForTesting(false);
    FileSysTest::TearDown();
  }
};

INSTANTIATE_TEST_SUITE_P(Resolution, FileSysContainmentTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fallback" : "Kernel"; });

TEST_P(FileSysContainmentTest, RefusesNamesThatCouldLeaveTheRoot) {
  const std::pair<std::optional<std::string>, std::optional<std::string>> bad[] = {
      {std::nullopt, "a/b"},
      {std::nullopt, std::string("a\0b", 3)},
      {std::nullopt, ""},
      {"..", "x"},
      {"sub\r..\r..", "x"},
      {".", "x"},
      {"sub\r\rx", "y"},
      {"/etc", "passwd"},
      {std::nullopt, std::string(256, 'n')},
  };
  for (const auto& [folder, name] : bad) {
    SCOPED_TRACE(folder.value_or("-") + " / " + name.value_or("-"));
    const std::optional<std::string_view> f = folder ? std::optional<std::string_view>(*folder) : std::nullopt;
    const std::optional<std::string_view> n = name ? std::optional<std::string_view>(*name) : std::nullopt;
    EXPECT_EQ(Raised([&] { Ref(f, n, 0); }), std::make_pair(4, 119));
    // Under the soft flags such a name is simply not there.
    EXPECT_EQ(Ref(f, n, fsSoftExists), nullptr);
    EXPECT_EQ(Ref(f, n, fsSoftFolder), nullptr);
  }
  Populate();
  auto a = Ref({}, "a.txt", fsSoftExists);
  EXPECT_EQ(Raised([&] { UFileSys::Rename(a.get(), "../escaped"); }), std::make_pair(4, 119));
  EXPECT_EQ(Raised([&] { UFileSys::Rename(a.get(), ".."); }), std::make_pair(4, 119));
  EXPECT_TRUE(fs::exists(rootPath_ / "a.txt"));
}

TEST_P(FileSysContainmentTest, SymlinksLeadingOutsideAreRefused) {
  Populate();
  fs::create_directory_symlink(top_ / "outside", rootPath_ / "out");
  fs::create_symlink(top_ / "outside" / "secret.txt", rootPath_ / "secret.txt");
  fs::create_symlink("../outside/secret.txt", rootPath_ / "relative.txt");
  fs::create_symlink("sub/inner.mp3", rootPath_ / "inside.mp3");

  for (const char* name : {"out", "secret.txt", "relative.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Raised([&] { Ref({}, name, 0); }), std::make_pair(4, 117));
    EXPECT_EQ(Ref({}, name, fsSoftExists), nullptr);
  }
  // Through a linked folder, and through a protocol path.
  EXPECT_EQ(Raised([&] { Ref("out", "secret.txt", 0); }), std::make_pair(4, 117));
  const Bytes path = ProtocolPath({"out"});
  EXPECT_EQ(UFileSys::NewFromPath(root_.get(), path.data(), path.size(), "secret.txt", fsSoftExists), nullptr);

  // A link that stays inside is an ordinary item.
  auto inside = Ref({}, "inside.mp3", fsSoftExists);
  ASSERT_TRUE(inside);
  UFileSys::Open(inside.get(), fsRead);
  char buf[4] = {};
  EXPECT_EQ(UFileSys::ReadAt(inside.get(), 0, buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), "0123");

  // Listing shows neither the escaping links nor their targets.
  std::set<std::string> names;
  for (const auto& it : UFileSys::List(root_.get())) names.insert(it.name);
  EXPECT_EQ(names, (std::set<std::string>{"a.txt", "sub", "empty", ".hidden", "inside.mp3"}));
}

TEST_P(FileSysContainmentTest, AliasesLeadingOutsideAreRefused) {
  Populate();
  // An alias made under a wider root, then seen from the narrower one.
  TFSRefPtr top(UFileSys::NewRoot(EFSBase::SystemRoot, FolderText(top_), {}, fsSoftExists));
  TFSRefPtr secret(UFileSys::New(top.get(), "outside", "secret.txt", fsSoftExists));
  TFSRefPtr wide(UFileSys::New(top.get(), "root", "wide", 0));
  UFileSys::MakeAlias(wide.get(), secret.get());
  EXPECT_EQ(UFileSys::GetKind(wide.get(), false), fsKindFileAlias);  // fine from the wider root

  Int16 kind = -1;
  auto narrow = Ref({}, "wide.lnk", 0, &kind);
  EXPECT_EQ(kind, fsKindBrokenAlias);
  EXPECT_FALSE(UFileSys::ResolveAlias(narrow.get()));
  EXPECT_EQ(Raised([&] { Ref({}, "wide.lnk", fsFollowAlias); }), std::make_pair(4, 117));
  EXPECT_EQ(Ref({}, "wide.lnk", fsFollowAlias | fsSoftExists), nullptr);

  // Making one from the narrow root to the outside is refused outright.
  auto alias = Ref({}, "escape", 0);
  EXPECT_EQ(Raised([&] { UFileSys::MakeAlias(alias.get(), secret.get()); }), std::make_pair(4, 117));
  EXPECT_FALSE(fs::exists(rootPath_ / "escape.lnk"));

  // A hand-made alias file with a relative climb out of the root.
  Bytes forged;
  AppendU32(forged, FourCC("CVal"));
  AppendU16(forged, 1);
  AppendU16(forged, 0);
  const std::string abs = "/nonexistent/x";
  const std::string rel = "../../outside/secret.txt";
  AppendU16(forged, Uint16(abs.size()));
  AppendBytes(forged, abs.data(), abs.size());
  AppendU16(forged, Uint16(rel.size()));
  AppendBytes(forged, rel.data(), rel.size());
  Write(rootPath_ / "forged.lnk", std::string(forged.begin(), forged.end()));
  EXPECT_EQ(UFileSys::GetKind(Ref({}, "forged.lnk").get(), false), fsKindBrokenAlias);
  EXPECT_EQ(Raised([&] { Ref({}, "forged.lnk", fsFollowAlias); }), std::make_pair(4, 117));

  // Garbage in a .lnk file is just an alias that cannot be followed.
  Write(rootPath_ / "junk.lnk", "not an alias at all");
  EXPECT_EQ(UFileSys::GetKind(Ref({}, "junk.lnk").get(), false), fsKindBrokenAlias);
}

TEST_F(FileSysTest, AliasesResolveAfterMovingTheAliasOrTheTree) {
  Populate();
  fs::create_directory(rootPath_ / "Music");
  Write(rootPath_ / "Song.mp3", "0123456789AB");
  auto song = Ref({}, "Song.mp3", fsSoftExists);
  auto music = Ref({}, "Music", 0x212);
  auto alias = TFSRefPtr(UFileSys::New(music.get(), {}, "Song.mp3", fsSoftNotExists));
  UFileSys::MakeAlias(alias.get(), song.get());
  EXPECT_EQ(UFileSys::GetName(alias.get()), "Song.mp3.lnk");
  auto again = TFSRefPtr(UFileSys::New(music.get(), {}, "Song.mp3", 0));
  EXPECT_EQ(Raised([&] { UFileSys::MakeAlias(again.get(), song.get()); }), std::make_pair(4, 115));

  auto listed = UFileSys::List(music.get());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "Song.mp3.lnk");
  EXPECT_EQ(listed[0].kind, fsKindFileAlias);
  EXPECT_EQ(listed[0].type, FourCC("MP3 "));
  EXPECT_EQ(listed[0].creator, FourCC("MAmp"));
  EXPECT_EQ(listed[0].size, 12u);

  // An alias to a folder lets a protocol path continue inside its target.
  auto sub = Ref({}, "sub", 0x212);
  auto subAlias = Ref("Music", "Stuff", 0);
  UFileSys::MakeAlias(subAlias.get(), sub.get());
  const Bytes path = ProtocolPath({"Music", "Stuff.lnk"});
  Int16 kind = -1;
  TFSRefPtr inner(UFileSys::NewFromPath(root_.get(), path.data(), path.size(), "inner.mp3", 0x20A, &kind));
  ASSERT_TRUE(inner);
  EXPECT_EQ(kind, fsKindFile);
  EXPECT_EQ(UFileSys::GetPath(inner.get()), (rootPath_ / "sub" / "inner.mp3").string());
  // ...and one to a file ends the path there.
  const Bytes throughFile = ProtocolPath({"Music", "Song.mp3.lnk"});
  EXPECT_EQ(UFileSys::NewFromPath(root_.get(), throughFile.data(), throughFile.size(), "x", fsSoftFolder, &kind),
            nullptr);
  EXPECT_EQ(kind, fsKindNoFolder);

  // Moving the alias keeps it working (absolute target)...
  auto dest = Ref({}, "empty", 0x212);
  UFileSys::Move(alias.get(), dest.get());
  EXPECT_EQ(UFileSys::GetKind(alias.get(), false), fsKindFileAlias);

  // ...and so does moving the whole tree (relative target).
  fs::rename(rootPath_, top_ / "moved");
  TFSRefPtr moved(UFileSys::NewRoot(EFSBase::SystemRoot, FolderText(top_ / "moved"), {}, fsSoftExists));
  TFSRefPtr movedAlias(UFileSys::New(moved.get(), "empty", "Song.mp3.lnk", 0x20A));
  ASSERT_TRUE(movedAlias);
  EXPECT_EQ(UFileSys::GetPath(movedAlias.get()), (top_ / "moved" / "Song.mp3").string());

  // A broken alias lists as 'alis' with size 0.
  fs::remove(top_ / "moved" / "Song.mp3");
  TFSRefPtr movedEmpty(UFileSys::New(moved.get(), {}, "empty", 0x212));
  listed = UFileSys::List(movedEmpty.get());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].kind, fsKindBrokenAlias);
  EXPECT_EQ(listed[0].type, FourCC("alis"));
  EXPECT_EQ(listed[0].creator, 0u);
  EXPECT_EQ(listed[0].size, 0u);
}

TEST_F(FileSysTest, ProtocolPaths) {
  Populate();
  fs::create_directory(rootPath_ / "sub" / "deeper");
  struct Case {
    Bytes path;
    std::string expect;  // relative to the root; "" is the root
  };
  const Case cases[] = {
      {Bytes(), ""},
      {ProtocolPath({}), ""},
      {ProtocolPath({".."}), ""},
      {ProtocolPath({"..", "sub", "..", "deeper"}), "sub/deeper"},
      {ProtocolPath({"sub", "deeper"}, 3), "sub/deeper"},  // count says 3, data holds 2
      {ProtocolPath({"sub", "", "deeper"}), "sub"},        // an empty component ends the path
      {ProtocolPath({"a\\b"}), "a-b"},
  };
  for (const auto& c : cases) {
    TFSRefPtr ref(UFileSys::NewFromPath(root_.get(), c.path.data(), c.path.size(), {}, 0));
    ASSERT_TRUE(ref);
    EXPECT_EQ(UFileSys::GetPath(ref.get()), c.expect.empty() ? rootPath_.string() : (rootPath_ / c.expect).string());
  }
  const Bytes slash = ProtocolPath({"sub/deeper"});
  EXPECT_EQ(UFileSys::NewFromPath(root_.get(), slash.data(), slash.size(), {}, fsSoftExists), nullptr);
  const Bytes truncated = {0, 1, 0, 0, 200, 'a', 'b'};  // claims 200 bytes, holds 2
  TFSRefPtr t(UFileSys::NewFromPath(root_.get(), truncated.data(), truncated.size(), {}, 0));
  EXPECT_EQ(UFileSys::GetPath(t.get()), rootPath_.string());
  // Too long a path is not there.
  std::string longName(250, 'x');
  Bytes deep;
  AppendU16(deep, 20);
  for (int i = 0; i < 20; ++i) {
    AppendU16(deep, 0);
    AppendU8(deep, 250);
    AppendBytes(deep, longName.data(), longName.size());
  }
  EXPECT_EQ(UFileSys::NewFromPath(root_.get(), deep.data(), deep.size(), "f", fsSoftFolder), nullptr);
  EXPECT_EQ(Raised([&] { UFileSys::NewFromPath(root_.get(), deep.data(), deep.size(), "f", 0); }),
            std::make_pair(4, 104));
}

TEST_F(FileSysTest, ReadWriteAtOffsetsAndSizes) {
  auto f = Ref({}, "data.bin", fsMustNotExist);
  UFileSys::CreateFile(f.get(), FourCC("BINA"), FourCC("dosa"));
  EXPECT_EQ(Raised([&] { UFileSys::CreateFile(f.get(), 0, 0); }), std::make_pair(4, 115));
  char buf[16] = {};
  EXPECT_EQ(Raised([&] { UFileSys::ReadAt(f.get(), 0, buf, 1); }), std::make_pair(1, 3));
  UFileSys::Open(f.get(), fsReadWrite);
  EXPECT_EQ(Raised([&] { UFileSys::Open(f.get(), fsRead); }), std::make_pair(1, 3));
  EXPECT_EQ(UFileSys::WriteAt(f.get(), 10, "world", 5), 5u);
  EXPECT_EQ(UFileSys::WriteAt(f.get(), 0, "hello", 5), 5u);
  EXPECT_EQ(UFileSys::GetSize(f.get()), 15u);
  EXPECT_EQ(UFileSys::ReadAt(f.get(), 8, buf, sizeof buf), 7u);  // stops at the end
  EXPECT_EQ(std::string(buf, 7), std::string("\0\0world", 7));
  EXPECT_EQ(UFileSys::ReadAt(f.get(), 100, buf, 4), 0u);
  UFileSys::SetSize(f.get(), 3);
  EXPECT_EQ(UFileSys::GetSize(f.get()), 3u);
  UFileSys::SetSize(f.get(), 6);
  EXPECT_EQ(UFileSys::ReadAt(f.get(), 0, buf, 16), 6u);
  EXPECT_EQ(std::string(buf, 6), std::string("hel\0\0\0", 6));

  // Open files are in use for deleting, renaming, moving and exclusive opens.
  auto other = TFSRefPtr(UFileSys::Clone(f.get()));
  EXPECT_FALSE(UFileSys::IsOpen(other.get()));
  EXPECT_EQ(Raised([&] { UFileSys::Delete(other.get()); }), std::make_pair(4, 116));
  EXPECT_EQ(Raised([&] { UFileSys::Rename(other.get(), "x"); }), std::make_pair(4, 116));
  EXPECT_EQ(Raised([&] { UFileSys::Open(other.get(), fsRead | fsShareNone); }), std::make_pair(4, 116));
  UFileSys::Open(other.get(), fsRead | fsShareBoth);  // f allows reading by others
  UFileSys::Close(other.get());
  UFileSys::Close(f.get());
  UFileSys::Open(other.get(), fsRead | fsShareNone);
  EXPECT_EQ(Raised([&] { UFileSys::Open(f.get(), fsRead); }), std::make_pair(4, 116));
  UFileSys::Dispose(other.release());
  UFileSys::Open(f.get(), fsRead);
  EXPECT_EQ(Raised([&] { UFileSys::SetSize(f.get(), 0); }), std::make_pair(4, 117));

  // A file removed behind our back: the open one still reads, a fresh open gets the mapped error.
  fs::remove(rootPath_ / "data.bin");
  EXPECT_EQ(UFileSys::ReadAt(f.get(), 0, buf, 3), 3u);
  UFileSys::Close(f.get());
  EXPECT_EQ(Raised([&] { UFileSys::Open(f.get(), fsRead); }), std::make_pair(4, 103));
  EXPECT_EQ(Raised([&] { UFileSys::GetSize(f.get()); }), std::make_pair(4, 103));
  EXPECT_EQ(Raised([&] { UFileSys::Rename(f.get(), "y"); }), std::make_pair(4, 103));
  EXPECT_EQ(Raised([&] { UFileSys::LoadWhole(f.get(), 100); }), std::make_pair(4, 103));
  UFileSys::Delete(f.get());  // missing is not an error
  EXPECT_EQ(Raised([&] { UFileSys::Open(root_.get(), fsRead); }), std::make_pair(4, 124));
}

TEST_F(FileSysTest, AtomicSaveKeepsOldContentOnFailure) {
  UFileSys::SaveWhole(root_.get(), "Prefs", ByteView(reinterpret_cast<const Uint8*>("version1"), 8));
  EXPECT_EQ(Read(rootPath_ / "Prefs"), "version1");
  ::chmod((rootPath_ / "Prefs").c_str(), 0640);
  UFileSys::SaveWhole(root_.get(), "Prefs", ByteView(reinterpret_cast<const Uint8*>("v2"), 2));
  EXPECT_EQ(Read(rootPath_ / "Prefs"), "v2");
  EXPECT_EQ(fs::status(rootPath_ / "Prefs").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  for (int fault : {ENOSPC, EIO, EDQUOT}) {
    UFileSys::SetSaveFaultForTesting(fault);
    const auto err = Raised(
        [&] { UFileSys::SaveWhole(root_.get(), "Prefs", ByteView(reinterpret_cast<const Uint8*>("broken!!!"), 9)); });
    EXPECT_EQ(err, (fault == EIO ? std::make_pair(4, 106) : std::make_pair(4, 101)));
    EXPECT_EQ(Read(rootPath_ / "Prefs"), "v2");
  }
  // No temporary file is left behind.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(rootPath_)) names.insert(e.path().filename());
  EXPECT_EQ(names, std::set<std::string>{"Prefs"});

  auto prefs = Ref({}, "Prefs", 0x2A0);
  const Bytes back = UFileSys::LoadWhole(prefs.get(), 100);
  EXPECT_EQ(std::string(back.begin(), back.end()), "v2");
  EXPECT_EQ(Raised([&] { UFileSys::LoadWhole(prefs.get(), 1); }), std::make_pair(1, 10));

  EXPECT_EQ(Raised([&] { UFileSys::SaveWhole(Ref("missing", {}).get(), "x", ByteView()); }), std::make_pair(4, 102));
  fs::create_directory(rootPath_ / "dir");
  EXPECT_EQ(Raised([&] { UFileSys::SaveWhole(root_.get(), "dir", ByteView()); }), std::make_pair(4, 124));
  EXPECT_EQ(Raised([&] { UFileSys::SaveWhole(root_.get(), "a/b", ByteView()); }), std::make_pair(4, 119));
}

TEST_F(FileSysTest, ListingEntries) {
  Populate();
  std::map<std::string, SFSListItem> byName;
  for (auto& it : UFileSys::List(root_.get())) byName[it.name] = it;
  ASSERT_EQ(byName.size(), 4u);  // ".", ".." never; hidden items yes
  EXPECT_EQ(byName["a.txt"].type, FourCC("TEXT"));
  EXPECT_EQ(byName["a.txt"].creator, FourCC("ttxt"));
  EXPECT_EQ(byName["a.txt"].size, 5u);
  EXPECT_GE(byName["a.txt"].modified.year, 2020);
  EXPECT_EQ(byName["sub"].type, FourCC("fldr"));
  EXPECT_EQ(byName["sub"].creator, 0u);
  EXPECT_EQ(byName["sub"].size, 1u);
  EXPECT_EQ(byName["empty"].size, 0u);
  EXPECT_EQ(byName[".hidden"].type, FourCC("BINA"));
  EXPECT_EQ(UFileSys::CountItems(root_.get()), 4u);

  Uint32 count = 0;
  const Bytes block = UFileSys::ListFolder(root_.get(), count);
  EXPECT_EQ(count, 4u);
  std::size_t offset = 0;
  SFSListItem item;
  Uint32 read = 0;
  while (UFileSys::ReadListEntry(block, offset, item)) {
    ++read;
    const auto& want = byName.at(item.name);
    EXPECT_EQ(item.type, want.type);
    EXPECT_EQ(item.size, want.size);
    EXPECT_EQ(item.modified, want.modified);
  }
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(offset, block.size());
  // A cut block stops cleanly.
  offset = 0;
  const Bytes cut(block.begin(), block.begin() + 20);
  EXPECT_FALSE(UFileSys::ReadListEntry(cut, offset, item));

  SDateStamp created, modified;
  UFileSys::GetDates(Ref({}, "a.txt").get(), created, modified);
  EXPECT_EQ(modified, byName["a.txt"].modified);
  EXPECT_EQ(Raised([&] { UFileSys::List(Ref({}, "a.txt").get()); }), std::make_pair(4, 102));
}

TEST_F(FileSysTest, MoveRenameDeleteAndCreate) {
  Populate();
  fs::create_directory(rootPath_ / "dest");
  Write(rootPath_ / "dest" / "a.txt", "other");
  auto a = Ref({}, "a.txt", fsSoftExists);
  auto dest = Ref({}, "dest", 0x212);
  EXPECT_EQ(Raised([&] { UFileSys::Move(a.get(), dest.get()); }), std::make_pair(4, 115));
  EXPECT_EQ(Read(rootPath_ / "a.txt"), "hello");
  EXPECT_EQ(Read(rootPath_ / "dest" / "a.txt"), "other");

  auto sub = Ref({}, "sub", 0x212);
  EXPECT_EQ(Raised([&] { UFileSys::Move(sub.get(), sub.get()); }), std::make_pair(4, 122));
  fs::create_directory(rootPath_ / "sub" / "child");
  auto child = Ref("sub", "child", 0x212);
  EXPECT_EQ(Raised([&] { UFileSys::Move(sub.get(), child.get()); }), std::make_pair(4, 122));
  EXPECT_EQ(Raised([&] { UFileSys::Move(sub.get(), a.get()); }), std::make_pair(4, 125));
  UFileSys::Move(sub.get(), dest.get());
  EXPECT_EQ(UFileSys::GetPath(sub.get()), (rootPath_ / "dest" / "sub").string());
  EXPECT_TRUE(fs::exists(rootPath_ / "dest" / "sub" / "inner.mp3"));

  // Rename never replaces.
  EXPECT_EQ(Raised([&] { UFileSys::Rename(a.get(), "empty"); }), std::make_pair(4, 115));
  UFileSys::Rename(a.get(), ".dotted is fine");
  EXPECT_EQ(Read(rootPath_ / ".dotted is fine"), "hello");
  EXPECT_EQ(UFileSys::GetName(a.get()), ".dotted is fine");

  // Deleting: a folder only when empty; a missing item is not an error; aliases, not targets.
  auto destSub = Ref("dest", "sub", 0x212);
  EXPECT_NE(Raised([&] { UFileSys::Delete(destSub.get()); }), std::make_pair(0, 0));
  EXPECT_TRUE(fs::exists(rootPath_ / "dest" / "sub" / "inner.mp3"));
  auto empty = Ref({}, "empty", 0x212);
  UFileSys::Delete(empty.get());
  EXPECT_FALSE(fs::exists(rootPath_ / "empty"));
  UFileSys::Delete(empty.get());
  auto alias = Ref({}, "link", 0);
  UFileSys::MakeAlias(alias.get(), destSub.get());
  UFileSys::Delete(alias.get());
  EXPECT_FALSE(fs::exists(rootPath_ / "link.lnk"));
  EXPECT_TRUE(fs::exists(rootPath_ / "dest" / "sub"));
  EXPECT_EQ(Raised([&] { UFileSys::Delete(root_.get()); }), std::make_pair(4, 117));

  auto folder = Ref("made", {}, 0);
  UFileSys::CreateFolder(folder.get());
  EXPECT_EQ(Raised([&] { UFileSys::CreateFolder(folder.get()); }), std::make_pair(4, 115));
  auto missingParent = Ref("nowhere", "x", 0);
  EXPECT_EQ(Raised([&] { UFileSys::CreateFolder(missingParent.get()); }), std::make_pair(4, 102));
  EXPECT_GT(UFileSys::FreeSpace(folder.get()), 0u);
  EXPECT_GT(UFileSys::FreeSpace(missingParent.get()), 0u);
  EXPECT_FALSE(UFileSys::IsLocked(folder.get()));
  UFileSys::SetComment(folder.get(), "ignored");
  EXPECT_EQ(UFileSys::GetComment(folder.get()), "");
}

TEST_F(FileSysTest, MoveToAnotherDisk) {
  struct stat a {
  }, b{};
  if (::stat("/dev/shm", &b) != 0 || ::stat(rootPath_.c_str(), &a) != 0 || a.st_dev == b.st_dev) {
    GTEST_SKIP() << "no second file system to move to";
  }
  char tmpl[] = "/dev/shm/cvfs-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  TFSRefPtr other(UFileSys::NewRoot(EFSBase::SystemRoot, FolderText(tmpl), {}, 0x212));
  Populate();
  auto a1 = Ref({}, "a.txt", fsSoftExists);
  EXPECT_EQ(Raised([&] { UFileSys::Move(a1.get(), other.get()); }), std::make_pair(4, 129));
  EXPECT_TRUE(fs::exists(rootPath_ / "a.txt"));
  fs::remove_all(tmpl);
}

TEST(FileSysCodes, TypeAndCreatorFromNames) {
  struct Case {
    const char* name;
    const char* type;
    const char* creator;
  };
  const Case cases[] = {
      {"a.txt", "TEXT", "ttxt"},         {"README.TXT", "TEXT", "ttxt"}, {"photo.JpG", "JPEG", "GKON"},
      {"x.c", "TEXT", "CWIE"},           {"x.hpp", "TEXT", "CWIE"},      {"song.mp3", "MP3 ", "MAmp"},
      {"file.cpf", "CVft", "CVCL"},      {"srv.cbm", "CVbm", "CVCL"},    {"archive.tar.gz", "BINA", "dosa"},
      {"page.html", "BINA", "dosa"},     {"noext", "BINA", "dosa"},      {"trailing.", "BINA", "dosa"},
      {"dir.txt/inner", "BINA", "dosa"}, {"a.zip", "ZIP ", "ZIP "},
  };
  for (const auto& c : cases) {
    Uint32 type = 0, creator = 0;
    UFileSys::TypeAndCreatorFromName(c.name, type, creator);
    EXPECT_EQ(FourCCText(type), c.type) << c.name;
    EXPECT_EQ(FourCCText(creator), c.creator) << c.name;
  }
}

TEST(FileSysSpecial, SpecialFoldersAndMissingArguments) {
  TFSRefPtr temp(UFileSys::New(EFSBase::Temp, {}, {}, fsSoftExists));
  ASSERT_TRUE(temp);
  EXPECT_EQ(UFileSys::GetKind(temp.get(), false), fsKindFolder);
  TFSRefPtr app(UFileSys::New(EFSBase::AppFolder, {}, {}, fsSoftExists));
  ASSERT_TRUE(app);
  EXPECT_EQ(UFileSys::GetPath(app.get()), fs::canonical("/proc/self/exe").parent_path().string());
  EXPECT_EQ(Raised([] { UFileSys::New(SFSBase(TFSRef(nullptr)), {}, "x", 0); }), std::make_pair(1, 2));
  EXPECT_EQ(Raised([] { UFileSys::GetKind(nullptr, false); }), std::make_pair(1, 2));
  UFileSys::Dispose(nullptr);
}

}  // namespace
}  // namespace cv
