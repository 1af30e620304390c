#include <gtest/gtest.h>

#include "Install.h"

TEST(Record, HasItsFixedLayout) { EXPECT_EQ(sizeof(__UPDATE_INFO__), 164u); }
