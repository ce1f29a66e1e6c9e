// Makes one chosen allocation through the non-throwing operator new fail, so
// tests can walk the library's out-of-memory paths. Linking a program that
// calls these functions replaces the non-throwing operator new (and new[])
// in that program.
#ifndef FAIL_ALLOC_H
#define FAIL_ALLOC_H

// The non-throwing allocation after nSkip successful ones returns NULL, once.
void FailNothrowNewAfter(int nSkip);
// Cancels a pending failure.
void ResetNothrowNew();
// Non-throwing allocations seen since the last FailNothrowNewAfter or reset.
int CountNothrowNew();

#endif // FAIL_ALLOC_H
