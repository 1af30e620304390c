#include <gtest/gtest.h>

#include "sandbox.h"

using namespace sandbox;

TEST(Outcome, NoManifestPrintsVersionFileError) {
    ResetTree();
    RunResult r = RunAminstall();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Version File Error.\r\n");
}
