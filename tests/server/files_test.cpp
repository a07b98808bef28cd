// The file library served by the server application on this thread's real loop, with a
// client over loopback: listing entries, information, renames and comments, deletes, new
// folders, moves, aliases, drop boxes, private libraries, every refusal text, and attempts
// to reach anything outside the library.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "framework/filesys.h"
#include "server/application.h"
#include "server/files.h"
#include "server_harness.h"
#include "temp_folder.h"

namespace {

using namespace cv;
using cvtest::TempFolder;
using cvtest::TestClient;
namespace fs = std::filesystem;

// A protocol path: count, then per component 2 zero bytes, a length byte and the name.
Bytes PathOf(std::initializer_list<std::string_view> parts, int count = -1) {
  Bytes b;
  AppendU16(b, Uint16(count < 0 ? int(parts.size()) : count));
  for (std::string_view p : parts) {
    AppendU16(b, 0);
    b.push_back(Uint8(p.size()));
    AppendBytes(b, p.data(), p.size());
  }
  return b;
}

std::string Text(ByteView v) { return std::string(reinterpret_cast<const char*>(v.data()), v.size()); }

struct SAnswer {
  Uint32 code = 99;
  UFieldData fields;
  std::string Error() const { return fields.GetText(fld::ErrorText, 1024); }
};

struct SEntry {
  Uint32 type = 0, creator = 0, size = 0;
  Bytes raw;
};

// Entries of a listing by name.
std::map<std::string, SEntry> Entries(const UFieldData& reply) {
  std::map<std::string, SEntry> out;
  for (std::size_t i = 1; i <= reply.GetFieldCount(); ++i) {
    if (reply.GetNthFieldId(i) != fld::FileNameWithInfo) continue;
    ByteView v = reply.GetNthField(i);
    if (v.size() < 20) {
      ADD_FAILURE() << "short entry";
      continue;
    }
    SEntry e;
    e.type = ReadU32(v.data());
    e.creator = ReadU32(v.data() + 4);
    e.size = ReadU32(v.data() + 8);
    e.raw = Bytes(v.data(), v.size());
    const std::size_t n = ReadU16(v.data() + 18);
    EXPECT_EQ(v.size(), 20 + n);
    out[Text(v.subspan(20, std::min(n, v.size() - 20)))] = e;
  }
  return out;
}

Bytes ExpectedEntry(const char (&type)[5], Uint32 creator, Uint32 size, std::string_view name) {
  Bytes b;
  AppendU32(b, FourCC(type));
  AppendU32(b, creator);
  AppendU32(b, size);
  AppendU32(b, 0);
  AppendU16(b, 0);
  AppendU16(b, Uint16(name.size()));
  AppendBytes(b, name.data(), name.size());
  return b;
}

class FileLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    UTransport::Init();
    srv_ = tmp_ / "srv";
    files_ = srv_ + "/Files";
    fs::create_directories(files_);
    settings_.folder = srv_;
    settings_.port = 0;
    settings_.logHook = [this](std::string_view line) { lines_.emplace_back(line); };
    settings_.terminate = [](std::string_view) {};
    // The prepared library.
    cvtest::WriteFile(files_ + "/readme.txt", std::string("hello"));
    fs::create_directories(files_ + "/Sub/Inner");
    cvtest::WriteFile(files_ + "/Sub/a.bin", std::string(300, 'x'));
    fs::create_directories(files_ + "/Music");
    cvtest::WriteFile(files_ + "/Song.mp3", std::string(1234, 'm'));
    fs::create_directories(files_ + "/Uploads Drop Box/Private");
    cvtest::WriteFile(files_ + "/Uploads Drop Box/part.cpf", std::string(7, 'p'));
    cvtest::WriteFile(files_ + "/Uploads Drop Box/secret.txt", std::string("s"));
    cvtest::WriteFile(files_ + "/Uploads Drop Box/Private/note.txt", std::string("n"));
    // What lies beside the library and must stay out of reach.
    fs::create_directories(tmp_ / "outside/deep");
    cvtest::WriteFile(tmp_ / "outside/secret.txt", std::string("top secret"));
  }

  void Start() {
    app_ = std::make_unique<CMyApplication>(settings_);
    app_->Start();
    adminPassword_ = CreateFirstAccounts(app_->Accounts());
    ASSERT_FALSE(adminPassword_.empty());
  }

  // A client logged in as admin (every privilege) or guest (read chat and news, download).
  void Connect(TestClient& c, bool admin) {
    ASSERT_TRUE(c.Connect(app_->Port()));
    ASSERT_EQ(admin ? c.Login("admin", adminPassword_, "boss") : c.Login("", "", "visitor"), 0u);
  }

  static SAnswer Ask(TestClient& c, Uint16 type, UFieldData f) {
    SAnswer a;
    EXPECT_TRUE(c.Request(type, std::move(f), &a.fields, &a.code));
    return a;
  }
  static UFieldData Item(const Bytes& path, std::string_view name) {
    UFieldData f;
    f.AddField(fld::FilePath, path);
    f.AddText(fld::FileName, name);
    return f;
  }
  static SAnswer List(TestClient& c, const Bytes& path) {
    UFieldData f;
    f.AddField(fld::FilePath, path);
    return Ask(c, trn::GetFileList, f);
  }

  bool Logged(std::string_view text) const {
    return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
  }

  TempFolder tmp_;
  std::string srv_, files_;
  SServerSettings settings_;
  std::vector<std::string> lines_;
  std::unique_ptr<CMyApplication> app_;
  std::string adminPassword_;
};

TEST_F(FileLibrary, RootListingEntriesCarryCodesSizesAndNames) {
  Start();
  TestClient c;
  Connect(c, false);
  SAnswer a = Ask(c, trn::GetFileList, {});
  ASSERT_EQ(a.code, 0u) << a.Error();
  auto e = Entries(a.fields);
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e["readme.txt"].raw, ExpectedEntry("TEXT", FourCC("ttxt"), 5, "readme.txt"));
  EXPECT_EQ(e["Sub"].raw, ExpectedEntry("fldr", 0, 2, "Sub"));
  EXPECT_EQ(e["Music"].raw, ExpectedEntry("fldr", 0, 0, "Music"));
  // The root is never a drop box; the drop box itself is listed with its item count.
  EXPECT_EQ(e["Uploads Drop Box"].size, 3u);
  EXPECT_EQ(e["Song.mp3"].size, 1234u);
}

TEST_F(FileLibrary, PathsFollowTheReadingRules) {
  fs::create_directories(files_ + "/a-b");
  cvtest::WriteFile(files_ + "/a-b/in.txt", std::string("1"));
  Start();
  TestClient c;
  Connect(c, false);
  struct Case {
    const char* what;
    Bytes path;
    std::vector<std::string> names;  // what the listing holds
  };
  Bytes shortPath = {0, 1, 0, 0};
  const std::vector<Case> cases = {
      {"one .. lists the root", PathOf({".."}), {"Music", "Song.mp3", "Sub", "Uploads Drop Box", "a-b", "readme.txt"}},
      {"short field is the root", shortPath, {"Music", "Song.mp3", "Sub", "Uploads Drop Box", "a-b", "readme.txt"}},
      {"count beyond the data", PathOf({"Sub", "Inner"}, 3), {}},
      {"count beyond the data, folder with items", PathOf({"Sub"}, 3), {"Inner", "a.bin"}},
      {"count cuts the data", PathOf({"Sub", "nothing"}, 1), {"Inner", "a.bin"}},
      {"backslash becomes a minus", PathOf({"a\\b"}), {"in.txt"}},
      {".. inside a path is skipped", PathOf({"Sub", "..", ".."}), {"Inner", "a.bin"}},
  };
  for (const Case& k : cases) {
    SAnswer a = List(c, k.path);
    ASSERT_EQ(a.code, 0u) << k.what << ": " << a.Error();
    std::vector<std::string> got;
    for (auto& [name, entry] : Entries(a.fields)) got.push_back(name);
    EXPECT_EQ(got, k.names) << k.what;
  }
  SAnswer missing = List(c, PathOf({"Nowhere"}));
  EXPECT_EQ(missing.code, 1u);
  EXPECT_EQ(missing.Error(), "Cannot get file list because the specified folder could not be found.");
  SAnswer file = List(c, PathOf({"readme.txt"}));
  EXPECT_EQ(file.Error(), "Cannot get file list because the specified folder could not be found.");
}

TEST_F(FileLibrary, DropBoxesShowOnlyIncompleteUploadsToUsersWhoCannotViewThem) {
  Start();
  TestClient guest, admin;
  Connect(guest, false);
  Connect(admin, true);
  auto seen = Entries(List(guest, PathOf({"Uploads Drop Box"})).fields);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.begin()->first, "part.cpf");
  EXPECT_EQ(seen.begin()->second.raw, ExpectedEntry("CVft", FourCC("CVCL"), 7, "part.cpf"));
  EXPECT_EQ(Entries(List(admin, PathOf({"Uploads Drop Box"})).fields).size(), 3u);
  // A folder inside a drop box is not one unless its own name says so.
  EXPECT_EQ(Entries(List(guest, PathOf({"Uploads Drop Box", "Private"})).fields).count("note.txt"), 1u);
  // An alias to a drop box leads to a drop box.
  fs::create_directories(files_ + "/Links");
  UFieldData f = Item(PathOf({}), "Uploads Drop Box");
  f.AddField(fld::FileNewPath, PathOf({"Links"}));
  ASSERT_EQ(Ask(admin, trn::MakeFileAlias, f).code, 0u);
  EXPECT_EQ(Entries(List(guest, PathOf({"Links", "Uploads Drop Box.lnk"})).fields).size(), 1u);

  EXPECT_TRUE(IsDropBoxName("my drop boxes"));
  EXPECT_TRUE(IsDropBoxName("Public DROP BOX"));
  EXPECT_FALSE(IsDropBoxName("dropbox"));
  EXPECT_TRUE(IsUploadFolderName("Uploads"));
  EXPECT_TRUE(IsUploadFolderName("x drop box"));
  EXPECT_FALSE(IsUploadFolderName("Private"));
}

TEST_F(FileLibrary, InfoByKindInFieldOrder) {
  Start();
  TestClient c;
  Connect(c, true);
  UFieldData alias = Item(PathOf({}), "Song.mp3");
  alias.AddField(fld::FileNewPath, PathOf({"Music"}));
  ASSERT_EQ(Ask(c, trn::MakeFileAlias, alias).code, 0u);
  UFieldData folderAlias = Item(PathOf({}), "Sub");
  folderAlias.AddField(fld::FileNewPath, PathOf({"Music"}));
  ASSERT_EQ(Ask(c, trn::MakeFileAlias, folderAlias).code, 0u);
  cvtest::WriteFile(files_ + "/gone.txt", std::string("g"));
  UFieldData broken = Item(PathOf({}), "gone.txt");
  broken.AddField(fld::FileNewPath, PathOf({"Music"}));
  ASSERT_EQ(Ask(c, trn::MakeFileAlias, broken).code, 0u);
  fs::remove(files_ + "/gone.txt");

  auto ids = [](const UFieldData& f) {
    std::vector<Uint16> out;
    for (std::size_t i = 1; i <= f.GetFieldCount(); ++i) out.push_back(f.GetNthFieldId(i));
    return out;
  };
  using V = std::vector<Uint16>;
  const V fileOrder = {fld::FileType, fld::FileTypeString, fld::FileCreatorString, fld::FileSize,
                       fld::FileName, fld::FileCreateDate, fld::FileModifyDate};
  const V folderOrder = {fld::FileTypeString, fld::FileCreatorString, fld::FileType,
                         fld::FileName,       fld::FileCreateDate,    fld::FileModifyDate};
  const V brokenOrder = {fld::FileTypeString, fld::FileCreatorString, fld::FileType, fld::FileName};
  struct Case {
    Bytes path;
    const char* name;
    const char* typeString;
    const char* creatorString;
    const char* type;
    std::optional<Uint32> size;
    V order;
  };
  const std::vector<Case> cases = {
      {PathOf({}), "readme.txt", "Text File", "SimpleText", "TEXT", 5, fileOrder},
      {PathOf({}), "Song.mp3", "MP3 ", "MAmp", "MP3 ", 1234, fileOrder},
      {PathOf({}), "Sub", "Folder", "n/a", "fldr", std::nullopt, folderOrder},
      {PathOf({"Music"}), "Song.mp3.lnk", "MP3  (alias)", "MAmp", "MP3 ", 1234, fileOrder},
      {PathOf({"Music"}), "Sub.lnk", "Folder Alias", "n/a", "fldr", std::nullopt, folderOrder},
      {PathOf({"Music"}), "gone.txt.lnk", "Unattached Alias", "n/a", "alis", std::nullopt, brokenOrder},
      {PathOf({"Uploads Drop Box"}), "part.cpf", "Incomplete File", "Corvane", "CVft", 7, fileOrder},
  };
  for (const Case& k : cases) {
    SAnswer a = Ask(c, trn::GetFileInfo, Item(k.path, k.name));
    ASSERT_EQ(a.code, 0u) << k.name << ": " << a.Error();
    EXPECT_EQ(ids(a.fields), k.order) << k.name;
    EXPECT_EQ(a.fields.GetText(fld::FileName), k.name);
    EXPECT_EQ(a.fields.GetText(fld::FileTypeString), k.typeString) << k.name;
    EXPECT_EQ(a.fields.GetText(fld::FileCreatorString), k.creatorString) << k.name;
    EXPECT_EQ(Text(a.fields.GetField(fld::FileType)), k.type) << k.name;
    if (k.size) {
      ASSERT_EQ(a.fields.GetFieldSize(fld::FileSize), 4u);
      EXPECT_EQ(a.fields.GetInteger(fld::FileSize), *k.size) << k.name;
    }
    if (k.order.size() > 4) {
      ASSERT_EQ(a.fields.GetFieldSize(fld::FileModifyDate), 8u);
      EXPECT_GE(ReadStamp(a.fields.GetField(fld::FileModifyDate).data()).year, 2020);
    }
  }
  // The alias to a folder lists as a folder with the target's item count.
  auto music = Entries(List(c, PathOf({"Music"})).fields);
  EXPECT_EQ(music["Sub.lnk"].raw, ExpectedEntry("fldr", 0, 2, "Sub.lnk"));
  EXPECT_EQ(music["Song.mp3.lnk"].raw, ExpectedEntry("MP3 ", FourCC("MAmp"), 1234, "Song.mp3.lnk"));
  EXPECT_EQ(music["gone.txt.lnk"].raw, ExpectedEntry("alis", 0, 0, "gone.txt.lnk"));
}

TEST_F(FileLibrary, RenameAndCommentFollowPrivileges) {
  Start();
  TestClient admin, guest;
  Connect(admin, true);
  Connect(guest, false);
  // Same name: success without any privilege.
  UFieldData same = Item(PathOf({}), "readme.txt");
  same.AddText(fld::FileNewName, "readme.txt");
  EXPECT_EQ(Ask(guest, trn::SetFileInfo, same).code, 0u);
  // A comment of one zero byte is no comment.
  UFieldData zero = Item(PathOf({}), "readme.txt");
  zero.AddField(fld::FileComment, "\0", 1);
  EXPECT_EQ(Ask(guest, trn::SetFileInfo, zero).code, 0u);

  UFieldData rename = Item(PathOf({"Sub"}), "a.bin");
  rename.AddText(fld::FileNewName, "b.bin");
  rename.AddText(fld::FileComment, "nice");
  SAnswer a = Ask(admin, trn::SetFileInfo, rename);
  ASSERT_EQ(a.code, 0u) << a.Error();
  EXPECT_FALSE(fs::exists(files_ + "/Sub/a.bin"));
  EXPECT_EQ(fs::file_size(files_ + "/Sub/b.bin"), 300u);

  UFieldData folder = Item(PathOf({"Sub"}), "Inner");
  folder.AddText(fld::FileNewName, "Renamed");
  ASSERT_EQ(Ask(admin, trn::SetFileInfo, folder).code, 0u);
  EXPECT_TRUE(fs::is_directory(files_ + "/Sub/Renamed"));

  // Onto an existing name: refused, both items kept.
  UFieldData clash = Item(PathOf({}), "readme.txt");
  clash.AddText(fld::FileNewName, "Song.mp3");
  SAnswer c = Ask(admin, trn::SetFileInfo, clash);
  EXPECT_EQ(c.code, 1u);
  EXPECT_EQ(c.Error().rfind("Cannot set info for \xD2readme.txt\xD3:\r", 0), 0u) << c.Error();
  EXPECT_EQ(cvtest::ReadFile(files_ + "/readme.txt"), "hello");
  EXPECT_EQ(fs::file_size(files_ + "/Song.mp3"), 1234u);
  // Renaming an alias keeps its target; without ".lnk" it becomes a plain name.
  UFieldData alias = Item(PathOf({}), "Song.mp3");
  alias.AddField(fld::FileNewPath, PathOf({"Music"}));
  ASSERT_EQ(Ask(admin, trn::MakeFileAlias, alias).code, 0u);
  UFieldData ra = Item(PathOf({"Music"}), "Song.mp3.lnk");
  ra.AddText(fld::FileNewName, "Tune.lnk");
  ASSERT_EQ(Ask(admin, trn::SetFileInfo, ra).code, 0u);
  EXPECT_EQ(Ask(admin, trn::GetFileInfo, Item(PathOf({"Music"}), "Tune.lnk")).fields.GetText(fld::FileTypeString),
            "MP3  (alias)");
}

TEST_F(FileLibrary, DeleteNewFolderMoveAndAliasChangeTheDiskAndLog) {
  Start();
  TestClient c;
  Connect(c, true);
  // New folder.
  SAnswer nf = Ask(c, trn::NewFolder, Item(PathOf({"Sub"}), "Fresh"));
  ASSERT_EQ(nf.code, 0u) << nf.Error();
  EXPECT_TRUE(fs::is_directory(files_ + "/Sub/Fresh"));
  // Move a file and a folder.
  UFieldData mv = Item(PathOf({}), "readme.txt");
  mv.AddField(fld::FileNewPath, PathOf({"Sub", "Fresh"}));
  ASSERT_EQ(Ask(c, trn::MoveFile, mv).code, 0u);
  EXPECT_EQ(cvtest::ReadFile(files_ + "/Sub/Fresh/readme.txt"), "hello");
  UFieldData mvf = Item(PathOf({"Sub"}), "Inner");
  mvf.AddField(fld::FileNewPath, PathOf({"Music"}));
  ASSERT_EQ(Ask(c, trn::MoveFile, mvf).code, 0u);
  EXPECT_TRUE(fs::is_directory(files_ + "/Music/Inner"));
  // Alias: Song.mp3 into Music lists as Song.mp3.lnk with the target's codes.
  UFieldData al = Item(PathOf({}), "Song.mp3");
  al.AddField(fld::FileNewPath, PathOf({"Music"}));
  ASSERT_EQ(Ask(c, trn::MakeFileAlias, al).code, 0u);
  EXPECT_EQ(Entries(List(c, PathOf({"Music"})).fields)["Song.mp3.lnk"].type, FourCC("MP3 "));
  // Deleting the alias leaves its target.
  ASSERT_EQ(Ask(c, trn::DeleteFile, Item(PathOf({"Music"}), "Song.mp3.lnk")).code, 0u);
  EXPECT_FALSE(fs::exists(files_ + "/Music/Song.mp3.lnk"));
  EXPECT_TRUE(fs::exists(files_ + "/Song.mp3"));
  // Delete a file, then the emptied folder; a folder with items stays.
  ASSERT_EQ(Ask(c, trn::DeleteFile, Item(PathOf({"Sub", "Fresh"}), "readme.txt")).code, 0u);
  ASSERT_EQ(Ask(c, trn::DeleteFile, Item(PathOf({"Sub"}), "Fresh")).code, 0u);
  EXPECT_FALSE(fs::exists(files_ + "/Sub/Fresh"));
  SAnswer full = Ask(c, trn::DeleteFile, Item(PathOf({}), "Sub"));
  EXPECT_EQ(full.code, 1u);
  EXPECT_EQ(full.Error().rfind("Cannot delete \xD2Sub\xD3:\r", 0), 0u) << full.Error();
  EXPECT_GT(full.Error().size(), std::string("Cannot delete \xD2Sub\xD3:\r").size());
  EXPECT_TRUE(fs::exists(files_ + "/Sub/a.bin"));

  for (const char* line :
       {"Create folder \xD2"
        "Fresh\xD3",
        "Move \xD2readme.txt\xD3", "Move \xD2Inner\xD3", "Alias \xD2Song.mp3\xD3", "Delete \xD2Song.mp3.lnk\xD3",
        "Delete \xD2"
        "Fresh\xD3"})
    EXPECT_TRUE(Logged(line)) << line;
  EXPECT_FALSE(Logged("Delete \xD2Sub\xD3"));
}

TEST_F(FileLibrary, AnAccountWithItsOwnFilesFolderSeesOnlyThatTree) {
  Start();
  SPrivilegeSet all = AdminPrivileges();
  app_->Accounts().Create(MakeAccount("priv", "Private", "pw", all));
  fs::create_directories(srv_ + "/Users/priv/Files/Mine");
  cvtest::WriteFile(srv_ + "/Users/priv/Files/only.txt", std::string("o"));
  TestClient c;
  ASSERT_TRUE(c.Connect(app_->Port()));
  ASSERT_EQ(c.Login("priv", "pw"), 0u);
  auto root = Entries(Ask(c, trn::GetFileList, {}).fields);
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(root.count("only.txt"), 1u);
  EXPECT_EQ(List(c, PathOf({"Sub"})).code, 1u);
  UFieldData mv = Item(PathOf({}), "only.txt");
  mv.AddField(fld::FileNewPath, PathOf({"Mine"}));
  ASSERT_EQ(Ask(c, trn::MoveFile, mv).code, 0u);
  EXPECT_TRUE(fs::exists(srv_ + "/Users/priv/Files/Mine/only.txt"));
  EXPECT_EQ(Ask(c, trn::DeleteFile, Item(PathOf({}), "readme.txt")).code, 1u);
  EXPECT_TRUE(fs::exists(files_ + "/readme.txt"));
}

TEST_F(FileLibrary, EveryRefusalTextByteForByte) {
  Start();
  TestClient guest, admin;
  Connect(guest, false);
  Connect(admin, true);
  fs::create_directories(files_ + "/Public Drop Box");
  cvtest::WriteFile(files_ + "/Music/Song.mp3", std::string("dup"));
  cvtest::WriteFile(files_ + "/Music/Song.mp3.lnk", std::string("not really"));
  auto with = [](UFieldData f, Uint16 id, const Bytes& v) {
    f.AddField(id, v);
    return f;
  };
  auto text = [](UFieldData f, Uint16 id, std::string_view v) {
    f.AddText(id, v);
    return f;
  };
  struct Case {
    bool asAdmin;
    Uint16 type;
    UFieldData fields;
    std::string error;
  };
  const Bytes root = PathOf({});
  const Bytes none = PathOf({"Nowhere"});
  std::vector<Case> cases = {
      {false, trn::GetFileList, with({}, fld::FilePath, none),
       "Cannot get file list because the specified folder could not be found."},
      {false, trn::GetFileInfo, Item(root, "nope"),
       "Cannot get info because there is no file/folder named \xD2nope\xD3."},
      {false, trn::SetFileInfo, Item(root, "nope"),
       "Cannot set info because there is no file/folder named \xD2nope\xD3."},
      {false, trn::SetFileInfo, text(Item(root, "Sub"), fld::FileComment, "c"),
       "You are not allowed set comments for folders."},
      {false, trn::SetFileInfo, text(Item(root, "readme.txt"), fld::FileComment, "c"),
       "You are not allowed set comments for files."},
      {false, trn::SetFileInfo, text(Item(root, "Sub"), fld::FileNewName, "X"),
       "You are not allowed to rename folders."},
      {false, trn::SetFileInfo, text(Item(root, "readme.txt"), fld::FileNewName, "X"),
       "You are not allowed to rename files."},
      {false, trn::DeleteFile, Item(root, "nope"),
       "Cannot delete \xD2nope\xD3 because it does not exist or cannot be found."},
      {false, trn::DeleteFile, Item(root, "Sub"), "You are not allowed to delete folders."},
      {false, trn::DeleteFile, Item(root, "readme.txt"), "You are not allowed to delete files."},
      {false, trn::NewFolder, Item(none, "X"), "You are not allowed to create folders."},
      {true, trn::NewFolder, Item(none, "X"),
       "Cannot create folder \xD2X\xD3 because the enclosing folder could not be found."},
      {true, trn::NewFolder, Item(root, "readme.txt"),
       "Cannot create folder \xD2readme.txt\xD3 because there is already a file or folder with that name."},
      {false, trn::MoveFile, Item(root, "nope"), "Cannot move because there is no file/folder named \xD2nope\xD3."},
      {false, trn::MoveFile, Item(root, "Sub"), "You are not allowed to move folders."},
      {false, trn::MoveFile, Item(root, "readme.txt"), "You are not allowed to move files."},
      {true, trn::MoveFile, with(Item(root, "readme.txt"), fld::FileNewPath, none),
       "Cannot move \xD2readme.txt\xD3 because the destination folder could not be found."},
      {true, trn::MoveFile, with(Item(root, "Song.mp3"), fld::FileNewPath, PathOf({"Music"})),
       "Cannot move \xD2Song.mp3\xD3 because there is already a file/folder in the destination folder with the same "
       "name."},
      {true, trn::MoveFile, with(Item(root, "Sub"), fld::FileNewPath, PathOf({"Sub", "Inner"})),
       "Cannot move \xD2Sub\xD3 into itself or into a subfolder of itself."},
      {true, trn::MoveFile, with(Item(root, "Sub"), fld::FileNewPath, PathOf({"Sub"})),
       "Cannot move \xD2Sub\xD3 into itself or into a subfolder of itself."},
      {false, trn::MakeFileAlias, Item(root, "nope"), "You are not allowed to make aliases."},
      {true, trn::MakeFileAlias, Item(root, "nope"),
       "Cannot make alias because there is no file/folder named \xD2nope\xD3."},
      {true, trn::MakeFileAlias, with(Item(root, "readme.txt"), fld::FileNewPath, none),
       "Cannot make alias of \xD2readme.txt\xD3 because the destination folder could not be found."},
      {true, trn::MakeFileAlias, with(Item(root, "Song.mp3"), fld::FileNewPath, PathOf({"Music"})),
       "Cannot make alias of \xD2Song.mp3\xD3 because there is already a file/folder in the destination folder with "
       "the same name."},
  };
  // Renaming something named like a drop box needs CanViewDropBoxes, even with the rename
  // privileges: checked with an account that has everything else.
  SPrivilegeSet most = AdminPrivileges();
  most.Clear(CanViewDropBoxes);
  app_->Accounts().Create(MakeAccount("most", "Most", "pw", most));
  TestClient mostly;
  ASSERT_TRUE(mostly.Connect(app_->Port()));
  ASSERT_EQ(mostly.Login("most", "pw"), 0u);
  SAnswer db = Ask(mostly, trn::SetFileInfo, text(Item(root, "Public Drop Box"), fld::FileNewName, "Mine"));
  EXPECT_EQ(db.Error(), "You are not allowed to rename drop boxes.");

  for (Case& k : cases) {
    SAnswer a = Ask(k.asAdmin ? admin : guest, k.type, k.fields);
    EXPECT_EQ(a.code, 1u) << k.error;
    EXPECT_EQ(a.Error(), k.error);
  }
  // Nothing was changed by any of them.
  EXPECT_TRUE(fs::is_directory(files_ + "/Sub/Inner"));
  EXPECT_TRUE(fs::is_directory(files_ + "/Public Drop Box"));
  EXPECT_EQ(cvtest::ReadFile(files_ + "/readme.txt"), "hello");
  EXPECT_EQ(cvtest::ReadFile(files_ + "/Music/Song.mp3"), "dup");
  EXPECT_EQ(cvtest::ReadFile(files_ + "/Music/Song.mp3.lnk"), "not really");
  EXPECT_FALSE(fs::exists(files_ + "/X"));
}

TEST_F(FileLibrary, NothingOutsideTheLibraryCanBeReachedOrChanged) {
  // A symbolic link and a hand-made alias that both lead outside.
  fs::create_symlink(tmp_ / "outside", files_ + "/escape");
  fs::create_symlink(tmp_ / "outside/secret.txt", files_ + "/escape.txt");
  {
    // An alias made where the outside is reachable, then put into the library.
    std::string tmpText = fs::canonical(tmp_.Path()).string();
    std::replace(tmpText.begin(), tmpText.end(), '/', '\r');
    UFileSys::TFSRefPtr base(UFileSys::NewRoot(EFSBase::SystemRoot, tmpText, std::nullopt, 0));
    UFileSys::TFSRefPtr target(UFileSys::New(base.get(), "outside", "secret.txt", 0));
    UFileSys::TFSRefPtr folderTarget(UFileSys::New(base.get(), std::nullopt, "outside", 0));
    UFileSys::TFSRefPtr a(UFileSys::New(base.get(), "srv\rFiles", "leak.lnk", 0));
    UFileSys::MakeAlias(a.get(), target.get());
    UFileSys::TFSRefPtr b(UFileSys::New(base.get(), "srv\rFiles", "out.lnk", 0));
    UFileSys::MakeAlias(b.get(), folderTarget.get());
  }
  Start();
  TestClient c;
  Connect(c, true);
  const Bytes root = PathOf({});
  const std::string nul("a\0b", 3);

  // Listing: the links are not items, the aliases are unattached.
  auto listed = Entries(Ask(c, trn::GetFileList, {}).fields);
  EXPECT_EQ(listed.count("escape"), 0u);
  EXPECT_EQ(listed.count("escape.txt"), 0u);
  EXPECT_EQ(listed["leak.lnk"].raw, ExpectedEntry("alis", 0, 0, "leak.lnk"));
  EXPECT_EQ(listed["out.lnk"].raw, ExpectedEntry("alis", 0, 0, "out.lnk"));
  SAnswer info = Ask(c, trn::GetFileInfo, Item(root, "leak.lnk"));
  EXPECT_EQ(info.fields.GetText(fld::FileTypeString), "Unattached Alias");
  EXPECT_EQ(info.fields.GetFieldSize(fld::FileSize), 0u);

  struct Case {
    const char* what;
    Uint16 type;
    UFieldData fields;
  };
  auto with = [](UFieldData f, Uint16 id, const Bytes& v) {
    f.AddField(id, v);
    return f;
  };
  auto text = [](UFieldData f, Uint16 id, std::string_view v) {
    f.AddText(id, v);
    return f;
  };
  const std::vector<Case> cases = {
      {"list through a symlink", trn::GetFileList, with({}, fld::FilePath, PathOf({"escape"}))},
      {"list through an alias", trn::GetFileList, with({}, fld::FilePath, PathOf({"out.lnk"}))},
      {"list up", trn::GetFileList, with({}, fld::FilePath, PathOf({"..", "outside"}))},
      {"list with a slash", trn::GetFileList, with({}, fld::FilePath, PathOf({"../outside"}))},
      {"list absolute", trn::GetFileList, with({}, fld::FilePath, PathOf({"/etc"}))},
      {"list with NUL", trn::GetFileList, with({}, fld::FilePath, PathOf({nul}))},
      {"info through a symlink", trn::GetFileInfo, Item(PathOf({"escape"}), "secret.txt")},
      {"info on a symlinked file", trn::GetFileInfo, Item(root, "escape.txt")},
      {"info with a slash", trn::GetFileInfo, Item(root, "../outside/secret.txt")},
      {"info on ..", trn::GetFileInfo, Item(PathOf({"Sub"}), "..")},
      {"delete through a symlink", trn::DeleteFile, Item(PathOf({"escape"}), "secret.txt")},
      {"delete a symlinked file", trn::DeleteFile, Item(root, "escape.txt")},
      {"delete with a slash", trn::DeleteFile, Item(root, "../outside/secret.txt")},
      {"delete with NUL", trn::DeleteFile, Item(root, nul)},
      {"delete the root", trn::DeleteFile, Item(root, "")},
      {"new folder through a symlink", trn::NewFolder, Item(PathOf({"escape"}), "made")},
      {"new folder through an alias", trn::NewFolder, Item(PathOf({"out.lnk"}), "made")},
      {"new folder with a slash", trn::NewFolder, Item(root, "../made")},
      {"new folder with NUL", trn::NewFolder, Item(root, nul)},
      {"new folder empty name", trn::NewFolder, Item(root, "")},
      {"rename to ..", trn::SetFileInfo, text(Item(root, "readme.txt"), fld::FileNewName, "..")},
      {"rename to .", trn::SetFileInfo, text(Item(root, "readme.txt"), fld::FileNewName, ".")},
      {"rename with a slash", trn::SetFileInfo, text(Item(root, "readme.txt"), fld::FileNewName, "../made.txt")},
      {"rename with NUL", trn::SetFileInfo, text(Item(root, "readme.txt"), fld::FileNewName, nul)},
      {"rename through a symlink", trn::SetFileInfo,
       text(Item(PathOf({"escape"}), "secret.txt"), fld::FileNewName, "x")},
      {"move out through a symlink", trn::MoveFile,
       with(Item(root, "readme.txt"), fld::FileNewPath, PathOf({"escape"}))},
      {"move out through an alias", trn::MoveFile,
       with(Item(root, "readme.txt"), fld::FileNewPath, PathOf({"out.lnk"}))},
      {"move in through a symlink", trn::MoveFile,
       with(Item(PathOf({"escape"}), "secret.txt"), fld::FileNewPath, root)},
      {"move a folder into itself", trn::MoveFile, with(Item(root, "Sub"), fld::FileNewPath, PathOf({"Sub", "Inner"}))},
      {"move a folder into itself by an alias", trn::MoveFile,
       with(Item(root, "Sub"), fld::FileNewPath, PathOf({"Sub", "self.lnk"}))},
      {"alias of a symlinked file", trn::MakeFileAlias, with(Item(root, "escape.txt"), fld::FileNewPath, root)},
      {"alias into a symlink", trn::MakeFileAlias,
       with(Item(root, "readme.txt"), fld::FileNewPath, PathOf({"escape"}))},
      {"alias with a slash", trn::MakeFileAlias, with(Item(root, "../outside/secret.txt"), fld::FileNewPath, root)},
  };
  // An alias inside Sub that leads back to Sub.
  UFieldData self = Item(root, "Sub");
  self.AddField(fld::FileNewPath, PathOf({"Sub"}));
  ASSERT_EQ(Ask(c, trn::MakeFileAlias, self).code, 0u);
  ASSERT_TRUE(fs::exists(files_ + "/Sub/Sub.lnk"));
  fs::rename(files_ + "/Sub/Sub.lnk", files_ + "/Sub/self.lnk");

  for (const Case& k : cases) {
    SAnswer a = Ask(c, k.type, k.fields);
    EXPECT_EQ(a.code, 1u) << k.what;
    EXPECT_FALSE(a.Error().empty()) << k.what;
  }
  // The outside is untouched and nothing new appeared anywhere.
  EXPECT_EQ(cvtest::ReadFile(tmp_ / "outside/secret.txt"), "top secret");
  std::vector<std::string> outside;
  for (auto& e : fs::recursive_directory_iterator(tmp_ / "outside")) outside.push_back(e.path().filename().string());
  std::sort(outside.begin(), outside.end());
  EXPECT_EQ(outside, (std::vector<std::string>{"deep", "secret.txt"}));
  EXPECT_FALSE(fs::exists(srv_ + "/made"));
  EXPECT_FALSE(fs::exists(srv_ + "/made.txt"));
  EXPECT_FALSE(fs::exists(tmp_.Path() + "/made"));
  EXPECT_EQ(cvtest::ReadFile(files_ + "/readme.txt"), "hello");
  EXPECT_TRUE(fs::is_directory(files_ + "/Sub/Inner"));
  // Deleting an alias that leads outside removes the alias file only.
  ASSERT_EQ(Ask(c, trn::DeleteFile, Item(root, "leak.lnk")).code, 0u);
  EXPECT_FALSE(fs::exists(files_ + "/leak.lnk"));
  EXPECT_TRUE(fs::exists(tmp_ / "outside/secret.txt"));
}

}  // namespace

namespace {

// The program itself serves the library from the Files folder beside it.
TEST(FileLibraryProgram, ServesTheFilesFolderBesideIt) {
  cv::UTransport::Init();
  TempFolder tmp;
  const std::string dir = tmp / "srv";
  fs::create_directories(dir + "/Files/Docs");
  cvtest::WriteFile(dir + "/Files/Docs/a.txt", std::string("abc"));
  cvtest::ServerProcess server;
  ASSERT_TRUE(server.StartServer(dir)) << server.Stderr();
  TestClient c;
  ASSERT_TRUE(c.Connect(server.Port()));
  ASSERT_EQ(c.Login("", ""), 0u);
  cv::UFieldData f;
  f.AddField(cv::fld::FilePath, PathOf({"Docs"}));
  cv::UFieldData reply;
  cv::Uint32 code = 99;
  ASSERT_TRUE(c.Request(cv::trn::GetFileList, f, &reply, &code));
  ASSERT_EQ(code, 0u) << reply.GetText(cv::fld::ErrorText);
  auto e = Entries(reply);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e["a.txt"].raw, ExpectedEntry("TEXT", cv::FourCC("ttxt"), 3, "a.txt"));
}

}  // namespace
