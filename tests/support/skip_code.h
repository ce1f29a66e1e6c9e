// The exit code of a test program for CTest: GoogleTest's result, except
// that a program all of whose tests skipped their work (GTEST_SKIP, because
// a program they need is missing) returns the skip code, which CTest reports
// as skipped (SKIP_RETURN_CODE), not as passed; and a program that ran no
// test at all (a filter that matches none) fails.
#ifndef SKIP_CODE_H
#define SKIP_CODE_H

#include <gtest/gtest.h>

#include <cstdio>

inline int CTestExitCode(int nGtestResult) {
    const testing::UnitTest& u = *testing::UnitTest::GetInstance();
    if (u.test_to_run_count() == 0) {
        std::fprintf(stderr, "no test was selected to run\n");
        return 1;
    }
    if (nGtestResult == 0 && u.skipped_test_count() == u.test_to_run_count()) {
        return OXR_TEST_SKIP_CODE;
    }
    return nGtestResult;
}

#endif // SKIP_CODE_H
