#include "fail_alloc.h"

#include <atomic>
#include <new>

namespace {

std::atomic<int> g_nCountdown{-1}; // -1: no failure pending
std::atomic<int> g_nSeen{0};
thread_local bool t_bExempt = false;

bool ShouldFail() {
    if (t_bExempt) {
        return false;
    }
    ++g_nSeen;
    int n = g_nCountdown.load();
    while (n >= 0) {
        if (g_nCountdown.compare_exchange_weak(n, n - 1)) {
            return n == 0;
        }
    }
    return false;
}

} // namespace

void FailNothrowNewAfter(int nSkip) {
    g_nSeen = 0;
    g_nCountdown = nSkip;
}

void ResetNothrowNew() {
    g_nSeen = 0;
    g_nCountdown = -1;
}

int CountNothrowNew() {
    return g_nSeen.load();
}

void ExemptThisThreadFromFailures() {
    t_bExempt = true;
}

// Forward to the throwing forms, so the blocks come from the same allocator
// that delete and delete[] return them to (sanitizers check the pairing).
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (ShouldFail()) {
        return nullptr;
    }
    try {
        return ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    if (ShouldFail()) {
        return nullptr;
    }
    try {
        return ::operator new[](n);
    } catch (...) {
        return nullptr;
    }
}
