#include "protocol/privileges.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace cv;

TEST(Privileges, TableNamesEveryDefinedBitOnce) {
  auto table = PrivilegeTable();
  EXPECT_EQ(table.size(), 27u);
  std::set<unsigned> bits;
  std::set<std::string_view> names;
  for (const auto& p : table) {
    EXPECT_TRUE(bits.insert(p.bit).second) << int(p.bit);
    EXPECT_TRUE(names.insert(p.name).second) << p.name;
    EXPECT_EQ(FindPrivilege(p.bit), &p);
    EXPECT_EQ(FindPrivilege(p.name), &p);
  }
  for (unsigned unnamed : {11u, 12u, 13u, 18u, 19u, 32u, 63u}) EXPECT_EQ(FindPrivilege(unnamed), nullptr);
  EXPECT_EQ(FindPrivilege("CanFly"), nullptr);
  EXPECT_EQ(FindPrivilege(CannotBeDisconnected)->label, "Cannot be Disconnected");
  EXPECT_EQ(FindPrivilege(DontShowAgreement)->label, "Don't Show Agreement");
}

TEST(Privileges, BitsLieInTheirByteUnderTheirMask) {
  struct Case {
    EPrivilege bit;
    std::size_t byte;
    Uint8 mask;
  } cases[] = {
      {CanDeleteFiles, 0, 0x80}, {CanRenameFolders, 0, 0x01},  {CanMoveFolders, 1, 0x80},
      {CanSendChat, 1, 0x20},    {CanCreateUsers, 1, 0x02},    {CanDeleteUsers, 1, 0x01},
      {CanReadUsers, 2, 0x80},   {CanReadNews, 2, 0x08},       {CannotBeDisconnected, 2, 0x01},
      {CanGetUserInfo, 3, 0x80}, {DontShowAgreement, 3, 0x10}, {CanMakeAliases, 3, 0x01},
  };
  for (const auto& c : cases) {
    SPrivilegeSet s;
    s.Set(c.bit);
    SPrivilegeSet expected;
    expected.bytes[c.byte] = c.mask;
    EXPECT_EQ(s, expected) << int(c.bit);
    EXPECT_TRUE(s.Has(c.bit));
  }
}

TEST(Privileges, SetAndClearTouchOnlyTheirBit) {
  for (unsigned bit = 0; bit < 64; ++bit) {
    SPrivilegeSet s = SPrivilegeSet::FromU64(~0ull);
    s.Clear(bit);
    EXPECT_EQ(s.ToU64(), ~0ull & ~(1ull << (63 - bit))) << bit;
    EXPECT_FALSE(s.Has(bit));
    s.Set(bit);
    EXPECT_EQ(s.ToU64(), ~0ull);
  }
  SPrivilegeSet s;
  s.Set(64);
  s.Set(200);
  EXPECT_EQ(s.ToU64(), 0u);
  EXPECT_FALSE(SPrivilegeSet::FromU64(~0ull).Has(64));
}

TEST(Privileges, FromBytesTakesAtMostEightAndZeroFillsTheRest) {
  const Uint8 three[] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(SPrivilegeSet::FromBytes(three).ToU64(), 0xAABBCC0000000000ull);
  const Uint8 ten[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(SPrivilegeSet::FromBytes(ten).ToU64(), 0x0102030405060708ull);
  EXPECT_EQ(SPrivilegeSet::FromBytes({}).ToU64(), 0u);
}

TEST(Privileges, CeilingIgnoresOnlyDontShowAgreement) {
  SPrivilegeSet creator;
  creator.Set(CanCreateUsers);
  creator.Set(CanSendChat);

  SPrivilegeSet wanted;
  wanted.Set(CanSendChat);
  EXPECT_TRUE(WithinPrivilegeCeiling(wanted, creator));
  wanted.Set(DontShowAgreement);
  EXPECT_TRUE(WithinPrivilegeCeiling(wanted, creator));
  wanted.Set(CanDeleteFiles);
  EXPECT_FALSE(WithinPrivilegeCeiling(wanted, creator));

  // Bits without a name count too: they cannot be smuggled past the creator.
  SPrivilegeSet unnamed;
  unnamed.Set(40);
  EXPECT_FALSE(WithinPrivilegeCeiling(unnamed, creator));
  creator.Set(40);
  EXPECT_TRUE(WithinPrivilegeCeiling(unnamed, creator));
}
