#include "framework/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace cv;

TEST(Errors, SystemCodesMapToClassAndId) {
  struct Case {
    Int32 code;
    Int16 cls, id;
  } cases[] = {
      {ECONNRESET, errClassNetwork, errConnectionLost},
      {ECONNREFUSED, errClassNetwork, errRefused},
      {ENOENT, errClassFiles, errFileNotFound},
      {ENOSPC, errClassFiles, errDiskFull},
      {EDQUOT, errClassFiles, errDiskFull},
      {9999, errClassGeneral, errUnknown},
      {0, errClassGeneral, errUnknown},
  };
  for (const auto& c : cases) {
    SError e = UError::FromSystem(c.code);
    EXPECT_EQ(e.errClass, c.cls) << c.code;
    EXPECT_EQ(e.id, c.id) << c.code;
    EXPECT_EQ(e.systemCode, c.code);
  }
}

TEST(Errors, RaiseFullKeepsSourceAndSilence) {
  try {
    UError::RaiseFull(1, 2, "UTransport", 120, false, true);
  } catch (const SError& e) {
    EXPECT_TRUE(e.Is(1, 2));
    EXPECT_STREQ(e.source, "UTransport");
    EXPECT_EQ(e.line, 120u);
    EXPECT_TRUE(e.IsSilent());
    return;
  }
  FAIL() << "nothing raised";
}
