#include <gtest/gtest.h>
#include "kxquant.h"
#include "libkxquant/c99.h"
TEST(Lib, Version) {
  EXPECT_NE(kxq_version(), nullptr);
}
