#include "fail_alloc.h"

#include <atomic>
#include <new>

namespace {

std::atomic<int> g_nCountdown{-1}; // -1: no failure pending
std::atomic<int> g_nSeen{0};
std::atomic<size_t> g_nLargest{0};
thread_local bool t_bExempt = false;

bool ShouldFail(std::size_t nSize) {
    if (t_bExempt) {
        return false;
    }
    ++g_nSeen;
    size_t nLargest = g_nLargest.load();
    while (nSize > nLargest && !g_nLargest.compare_exchange_weak(nLargest, nSize)) {
    }
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
    g_nLargest = 0;
    g_nCountdown = nSkip;
}

void ResetNothrowNew() {
    g_nSeen = 0;
    g_nLargest = 0;
    g_nCountdown = -1;
}

size_t LargestNothrowNew() {
    return g_nLargest.load();
}

int CountNothrowNew() {
    return g_nSeen.load();
}

CExemptFromFailures::CExemptFromFailures() {
    t_bExempt = true;
}

CExemptFromFailures::~CExemptFromFailures() {
    t_bExempt = false;
}

// Forward to the throwing forms, so the blocks come from the same allocator
// that delete and delete[] return them to (sanitizers check the pairing).
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (ShouldFail(n)) {
        return nullptr;
    }
    try {
        return ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    if (ShouldFail(n)) {
        return nullptr;
    }
    try {
        return ::operator new[](n);
    } catch (...) {
        return nullptr;
    }
}
