#include <gtest/gtest.h>

#include <string>

#include "server/accounts.h"

using namespace cv;

namespace {

SUserData SampleUser() {
  SUserData u;
  u.access.bytes = {0xF0, 0x0F, 0x55, 0xAA, 0x01, 0x02, 0x03, 0x04};
  u.name = "Alice Admin";
  u.field111 = "xyz";
  u.login = "Alice";
  u.password = ComplementText("secret");
  return u;
}

// The record as it must appear on disk, byte by byte.
Bytes SampleImage() {
  Bytes b(734, 0);
  b[1] = 1;  // version
  const Uint8 access[] = {0xF0, 0x0F, 0x55, 0xAA, 0x01, 0x02, 0x03, 0x04};
  for (int i = 0; i < 8; ++i) b[4 + i] = access[i];
  auto put = [&](std::size_t lenAt, const std::string& text) {
    b[lenAt] = 0;
    b[lenAt + 1] = Uint8(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) b[lenAt + 2 + i] = Uint8(text[i]);
  };
  put(528, "Alice Admin");
  put(596, "xyz");
  put(664, "Alice");
  put(700, std::string{char(0xFF - 's'), char(0xFF - 'e'), char(0xFF - 'c'), char(0xFF - 'r'), char(0xFF - 'e'),
                       char(0xFF - 't')});
  return b;
}

void ExpectError(ByteView image, Int16 cls, Int16 id) {
  try {
    DecodeUserData(image);
    ADD_FAILURE() << "decoded";
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(cls, id)) << e.errClass << "/" << e.id;
  }
}

}  // namespace

TEST(UserData, EncodesTheExactFileImage) {
  Bytes image = EncodeUserData(SampleUser());
  ASSERT_EQ(image.size(), 734u);
  Bytes expected = SampleImage();
  for (std::size_t i = 0; i < 734; ++i) ASSERT_EQ(image[i], expected[i]) << "offset " << i;
  EXPECT_EQ(DecodeUserData(expected), SampleUser());
}

TEST(UserData, FullLengthTextsFillTheirAreasExactly) {
  SUserData u;
  u.name = std::string(64, 'n');
  u.field111 = std::string(64, 'f');
  u.login = std::string(32, 'l');
  u.password = std::string(32, '\xEE');
  Bytes image = EncodeUserData(u);
  EXPECT_EQ(image[529], 64);
  EXPECT_EQ(image[593], 'n');
  EXPECT_EQ(image[594], 0);  // reserved after the name
  EXPECT_EQ(image[661], 'f');
  EXPECT_EQ(image[697], 'l');
  EXPECT_EQ(image[733], 0xEE);
  EXPECT_EQ(DecodeUserData(image), u);
}

TEST(UserData, RefusesTextsLongerThanTheirAreas) {
  struct Case {
    std::string SUserData::*field;
    std::size_t size;
  } cases[] = {{&SUserData::name, 65}, {&SUserData::field111, 65}, {&SUserData::login, 33}, {&SUserData::password, 33}};
  for (const auto& c : cases) {
    SUserData u;
    u.*c.field = std::string(c.size, 'a');
    EXPECT_THROW(EncodeUserData(u), SError);
  }
}

TEST(UserData, DecodingChecksSizeVersionAndEveryLength) {
  Bytes good = SampleImage();
  ExpectError(ByteView(good).first(733), errClassGeneral, errBadFormat);
  ExpectError({}, errClassGeneral, errBadFormat);

  for (Uint8 version : {0, 2, 4}) {
    Bytes b = good;
    b[1] = version;
    ExpectError(b, errClassGeneral, errBadVersion);
  }
  // A length past its area would read a neighbour's bytes, or beyond the record.
  for (std::size_t lenAt : {528u, 596u, 664u, 700u}) {
    Bytes b = good;
    b[lenAt] = 0;
    b[lenAt + 1] = lenAt < 600 ? 65 : 33;
    ExpectError(b, errClassGeneral, errBadFormat);
    b[lenAt] = 0xFF;
    ExpectError(b, errClassGeneral, errBadFormat);
  }
}

TEST(UserData, ReadsOnlyTheFirst734BytesAndIgnoresReservedOnes) {
  Bytes b = SampleImage();
  b[2] = 0x12;    // reserved
  b[100] = 0x34;  // reserved area
  b += Bytes(50, 0x77);
  EXPECT_EQ(DecodeUserData(b), SampleUser());
}

TEST(AccountLogins, OnlyNamesDirectlyInsideTheUsersFolderAreSafe) {
  struct Case {
    std::string login;
    bool safe;
  } cases[] = {
      {"admin", true},
      {"Guest User", true},
      {"a.b", true},
      {"...", true},
      {"\xD2quoted\xD3", true},
      {"", false},
      {".", false},
      {"..", false},
      {"../admin", false},
      {"a/b", false},
      {"/etc", false},
      {std::string("a\0b", 3), false},
      {"line\rbreak", false},
      {std::string(255, 'x'), true},
      {std::string(256, 'x'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSafeAccountLogin(c.login), c.safe) << c.login;
}

TEST(AccountLogins, LoginRequestsNameTheLowerCaseAccount) {
  EXPECT_EQ(LoginLookupName(ComplementText("Admin")), "admin");
  EXPECT_EQ(LoginLookupName(""), "guest");
  EXPECT_EQ(LoginLookupName(ComplementText("a\rb")), "a-b");
  EXPECT_EQ(LoginLookupName(ComplementText("\xC4Z")), "\xC4z");  // only ASCII has case
  EXPECT_EQ(LoginLookupName(ComplementText(std::string(80, 'Q'))), std::string(63, 'q'));
}

TEST(AccountLogins, UserNamesAndIcons) {
  EXPECT_EQ(SanitizeUserName(std::string("a\x01\x1F b~\x7F\x80\xFF", 9)), "a** b~***");
  EXPECT_EQ(MapUserIcon(134), 414);
  EXPECT_EQ(MapUserIcon(133), 133);
  EXPECT_EQ(MapUserIcon(-1), -1);
  EXPECT_EQ(QuotedName("bob"),
            "\xD2"
            "bob\xD3");
}
