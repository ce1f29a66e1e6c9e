// Shared entry point of every test program: starts the socket layer first.
#include <gtest/gtest.h>

#include "oxr.h"
#include "skip_code.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    OXR_Init();
    int r = RUN_ALL_TESTS();
    OXR_Fini();
    return CTestExitCode(r);
}
