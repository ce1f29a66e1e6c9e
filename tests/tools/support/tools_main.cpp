// Entry point of the tools' test programs (they do not use the runtime).
#include <gtest/gtest.h>

#include "skip_code.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return CTestExitCode(RUN_ALL_TESTS());
}
