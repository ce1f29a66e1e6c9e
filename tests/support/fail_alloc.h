// Makes one chosen allocation through the non-throwing operator new fail, so
// tests can walk the library's out-of-memory paths. Linking a program that
// calls these functions replaces the non-throwing operator new (and new[])
// in that program.
#ifndef FAIL_ALLOC_H
#define FAIL_ALLOC_H

#include <cstddef>

// The non-throwing allocation after nSkip successful ones returns NULL, once.
void FailNothrowNewAfter(int nSkip);
// Cancels a pending failure.
void ResetNothrowNew();
// Non-throwing allocations seen since the last FailNothrowNewAfter or reset,
// and the largest of them in bytes.
int CountNothrowNew();
size_t LargestNothrowNew();
// Allocations on the calling thread are neither counted nor failed while
// this lives: for the test server's threads, which stand for the device (a
// thread the runtime later hands to a receiver is not exempt then).
class CExemptFromFailures {
public:
    CExemptFromFailures();
    ~CExemptFromFailures();
    CExemptFromFailures(const CExemptFromFailures&) = delete;
    CExemptFromFailures& operator=(const CExemptFromFailures&) = delete;
};

#endif // FAIL_ALLOC_H
