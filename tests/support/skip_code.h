// The exit code of a test program for CTest: GoogleTest's result, except
// that a program all of whose tests skipped their work (GTEST_SKIP, because
// a program they need is missing) returns the skip code, which CTest reports
// as skipped (SKIP_RETURN_CODE), not as passed.
#ifndef SKIP_CODE_H
#define SKIP_CODE_H

#include <gtest/gtest.h>

inline int CTestExitCode(int nGtestResult) {
    const testing::UnitTest& u = *testing::UnitTest::GetInstance();
    if (nGtestResult == 0 && u.test_to_run_count() > 0 &&
        u.skipped_test_count() == u.test_to_run_count()) {
        return OXR_TEST_SKIP_CODE;
    }
    return nGtestResult;
}

#endif // SKIP_CODE_H
