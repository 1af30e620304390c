// Test program of the sandbox tests: refuses to start anywhere but inside
// the sandbox, since its tests write fixed system paths and kill processes.
#include <gtest/gtest.h>

#include "sandbox.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    sandbox::RequireSandbox();
    return RUN_ALL_TESTS();
}
