#include <gtest/gtest.h>

#include "support/temp_dir.h"

TEST(Skeleton, TempDirExists) {
  TempDir d;
  WriteAll(d.file("a"), "x");
  EXPECT_EQ(ReadText(d.file("a")), "x");
}
