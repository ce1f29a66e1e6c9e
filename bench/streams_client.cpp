// The client of bench_streams: opens the sessions, counts and checks their
// parts, samples the process's own figures, closes everything and compares.
//
// The figures, by platform:
// - Linux: resident memory (VmRSS, peak VmHWM) and threads from
//   /proc/self/status, open descriptors from /proc/self/fd;
// - Windows: working set (and its peak) and private bytes from
//   GetProcessMemoryInfo, threads from a CreateToolhelp32Snapshot, handles
//   from GetProcessHandleCount, and the address space (reserved, committed,
//   free, the largest free block) walked with VirtualQuery, since each
//   receiver thread reserves 1 MiB of it for its stack. Where a call gives 0
//   (wine 8.0 does for PrivateUsage and GetProcessHandleCount), the committed
//   private regions and this process's entries in the system's handle list
//   stand in, and the output says so.
//
// On Windows a thread of its own keeps the time limit and ends the process
// when a call of the main thread has not returned for 30 s, naming the call.
// (Under wine it needs the wineserver to sleep and to end the process, so
// when that is overloaded the caller's own time limit has to end it.)
#include "streams_client.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <process.h>
#include <psapi.h>
#include <tlhelp32.h>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "bench_util.h"
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "oxr_http.h"

namespace streams {

namespace {

using Clock = std::chrono::steady_clock;

const long kRssGoalKb = 64 * 1024; // Linux: peak resident memory at most this
const int kGiveUpAfter = 5;        // opening stops after this many failures in a row
#if defined(_WIN32)
const double kMiB = 1024.0 * 1024.0;
#endif

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// What the main thread is doing, for the time limit to tell when it stops.
enum Stage { kStageOther, kStageOpen, kStageSend, kStageClose };
std::atomic<int> g_nStage{kStageOther};
#if defined(_WIN32)
// Taking the figures goes through the wineserver under wine, which can stall.
const char* const kStageNames[] = {"", "OXR_HTTP_OpenEx", "OXR_HTTP_SendRequest", "OXR_HTTP_Close"};
std::atomic<const char*> g_pszMeasuring{nullptr}; // the step of Measure under way, if any
std::atomic<int64_t> g_tMeasuringMs{0};
#endif
std::atomic<int> g_nStageSession{0};
std::atomic<int64_t> g_tStageMs{0};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

void SetStage(Stage e, int nSession) {
    g_nStageSession = nSession;
    g_tStageMs = NowMs();
    g_nStage = e;
}

struct Session {
    const Options* pOpt = nullptr;
    int nHandle = -1;
    StreamCheck check; // receiver thread only
    // read by the main thread
    std::atomic<long> nParts{0};
    std::atomic<long> nBad{0};
};

int OXR_HTTP_CALLBACK OnPart(int nHandle, void* pUser, OXR_HTTP_DATA* pData) {
    Session* s = static_cast<Session*>(pUser);
    if (nHandle != 0 ||
        !CheckPart(*s->pOpt, &s->check, pData->pData, pData->nDataLen, pData->szContentType)) {
        ++s->nBad;
    }
    ++s->nParts;
    return 0;
}

// ---------------------------------------------------------------- figures

#if defined(_WIN32)

// Marks the step of Measure under way (nullptr: done).
void Measuring(const char* pszStep) {
    g_tMeasuringMs = NowMs();
    g_pszMeasuring = pszStep;
}

struct Figures {
    double dWorkingSet = 0; // bytes
    double dPeakWorkingSet = 0;
    double dPrivate = 0; // PrivateUsage, or else the committed private regions
    long nThreads = -1;
    long nHandles = -1;
    // the address space below the highest application address
    double dCommitted = 0;
    double dPrivateCommitted = 0; // of it MEM_PRIVATE
    double dReserved = 0;         // reserved and not committed
    double dFree = 0;
    double dLargestFree = 0;
};

// Where the private bytes and the handles come from: under wine (8.0)
// PrivateUsage and GetProcessHandleCount report 0, so they are taken from
// the committed private regions and from the system's handle list instead.
bool g_bPrivateFromRegions = false;
bool g_bHandlesFromList = false;

// The entries of NtQuerySystemInformation(SystemHandleInformation).
struct SystemHandleEntry {
    ULONG nOwnerPid;
    BYTE nObjectType;
    BYTE nFlags;
    USHORT nHandle;
    PVOID pObject;
    ULONG nAccess;
};
struct SystemHandleList {
    ULONG nCount;
    SystemHandleEntry first; // and the others after it
};
typedef LONG(NTAPI* NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

// This process's handle values in the system's handle list; false when
// the list cannot be had.
bool OwnHandles(std::vector<USHORT>* pOut) {
    pOut->clear();
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    FARPROC pfnAny =
        hNtdll != nullptr ? GetProcAddress(hNtdll, "NtQuerySystemInformation") : nullptr;
    if (pfnAny == nullptr) {
        return false;
    }
    NtQuerySystemInformationFn pfn = nullptr;
    std::memcpy(&pfn, &pfnAny, sizeof(pfn));
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<char> buf(1 << 20);
    for (int nTry = 0; nTry < 8; ++nTry) {
        ULONG nNeeded = 0;
        LONG nStatus =
            pfn(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &nNeeded);
        if (nStatus == kInfoLengthMismatch) {
            buf.resize(std::max<size_t>(buf.size() * 2, nNeeded + 65536));
            continue;
        }
        if (nStatus != 0) {
            return false;
        }
        ULONG nCount = 0;
        std::memcpy(&nCount, buf.data(), sizeof(nCount));
        const size_t nFirst = offsetof(SystemHandleList, first);
        const DWORD dwPid = GetCurrentProcessId();
        for (ULONG i = 0; i < nCount && nFirst + (i + 1) * sizeof(SystemHandleEntry) <= buf.size();
             ++i) {
            SystemHandleEntry e;
            std::memcpy(&e, buf.data() + nFirst + i * sizeof(e), sizeof(e));
            if (e.nOwnerPid == dwPid) {
                pOut->push_back(e.nHandle);
            }
        }
        return true;
    }
    return false;
}

long CountHandlesInSystemList() {
    std::vector<USHORT> handles;
    return OwnHandles(&handles) ? static_cast<long>(handles.size()) : -1;
}

// The object type of one of this process's handles ("Event", "File", ...).
std::string HandleType(USHORT nHandle) {
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    FARPROC pfnAny = hNtdll != nullptr ? GetProcAddress(hNtdll, "NtQueryObject") : nullptr;
    if (pfnAny == nullptr) {
        return "?";
    }
    typedef LONG(NTAPI * NtQueryObjectFn)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    NtQueryObjectFn pfn = nullptr;
    std::memcpy(&pfn, &pfnAny, sizeof(pfn));
    const ULONG kObjectTypeInformation = 2;
    // It starts with the type name as a counted wide string.
    struct TypeName {
        USHORT nLength;
        USHORT nMaximumLength;
        PWSTR pBuffer;
    };
    alignas(8) char buf[4096];
    ULONG nNeeded = 0;
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(nHandle));
    if (pfn(h, kObjectTypeInformation, buf, sizeof(buf), &nNeeded) != 0) {
        return "?";
    }
    TypeName name;
    std::memcpy(&name, buf, sizeof(name));
    std::string s;
    for (USHORT i = 0; i < name.nLength / 2 && name.pBuffer != nullptr; ++i) {
        s += name.pBuffer[i] < 128 ? static_cast<char>(name.pBuffer[i]) : '?';
    }
    return s;
}

// The handles in now that were not in before, with their types.
std::string NewHandlesText(const std::vector<USHORT>& before) {
    std::vector<USHORT> now;
    if (!OwnHandles(&now)) {
        return "";
    }
    std::string s;
    for (USHORT h : now) {
        if (std::find(before.begin(), before.end(), h) == before.end()) {
            char sz[96];
            std::snprintf(sz, sizeof(sz), "%s0x%x (%s)", s.empty() ? "" : ", ", h,
                          HandleType(h).c_str());
            s += sz;
        }
    }
    return s;
}

long CountThreads() {
    HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (h == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD dwPid = GetCurrentProcessId();
    long n = 0;
    THREADENTRY32 te;
    te.dwSize = sizeof(te);
    for (BOOL b = Thread32First(h, &te); b; b = Thread32Next(h, &te)) {
        if (te.th32OwnerProcessID == dwPid) {
            ++n;
        }
        te.dwSize = sizeof(te);
    }
    CloseHandle(h);
    return n;
}

void WalkAddressSpace(Figures* f) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const char* p = static_cast<const char*>(si.lpMinimumApplicationAddress);
    const char* pEnd = static_cast<const char*>(si.lpMaximumApplicationAddress);
    // Each step moves past one region of at least a page: bounded by the
    // number of pages, and by this count in any case.
    for (int nSteps = 0; p < pEnd && nSteps < 4000000; ++nSteps) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(p, &mbi, sizeof(mbi)) == 0 || mbi.RegionSize == 0) {
            break;
        }
        const double d = static_cast<double>(mbi.RegionSize);
        if (mbi.State == MEM_COMMIT) {
            f->dCommitted += d;
            f->dPrivateCommitted += mbi.Type == MEM_PRIVATE ? d : 0;
        } else if (mbi.State == MEM_RESERVE) {
            f->dReserved += d;
        } else if (mbi.State == MEM_FREE) {
            f->dFree += d;
            f->dLargestFree = std::max(f->dLargestFree, d);
        }
        p = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
    }
}

Figures Measure() {
    Figures f;
    Measuring("GetProcessMemoryInfo");
    PROCESS_MEMORY_COUNTERS_EX pmc;
    std::memset(&pmc, 0, sizeof(pmc));
    pmc.cb = sizeof(pmc);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                             sizeof(pmc))) {
        f.dWorkingSet = static_cast<double>(pmc.WorkingSetSize);
        f.dPeakWorkingSet = static_cast<double>(pmc.PeakWorkingSetSize);
        f.dPrivate = static_cast<double>(pmc.PrivateUsage);
    }
    Measuring("CreateToolhelp32Snapshot");
    f.nThreads = CountThreads();
    Measuring("GetProcessHandleCount");
    DWORD dwHandles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &dwHandles) && dwHandles != 0) {
        f.nHandles = static_cast<long>(dwHandles);
    } else {
        Measuring("NtQuerySystemInformation(SystemHandleInformation)");
        f.nHandles = CountHandlesInSystemList();
        g_bHandlesFromList = true;
    }
    Measuring("VirtualQuery");
    WalkAddressSpace(&f);
    Measuring(nullptr);
    if (f.dPrivate == 0) {
        f.dPrivate = f.dPrivateCommitted;
        g_bPrivateFromRegions = true;
    }
    return f;
}

std::string Brief(const Figures& f) {
    char sz[200];
    std::snprintf(sz, sizeof(sz),
                  "working set %.1f MiB, private %.1f MiB, threads %ld, handles %ld",
                  f.dWorkingSet / kMiB, f.dPrivate / kMiB, f.nThreads, f.nHandles);
    return sz;
}

std::string Space(const Figures& f) {
    char sz[200];
    std::snprintf(sz, sizeof(sz),
                  "address space: %.0f MiB committed, %.0f MiB reserved, %.0f MiB free (largest "
                  "free block %.0f MiB)",
                  f.dCommitted / kMiB, f.dReserved / kMiB, f.dFree / kMiB, f.dLargestFree / kMiB);
    return sz;
}

std::string Peak(const Figures& f) {
    char sz[160];
    std::snprintf(sz, sizeof(sz), "working set %.1f MiB (peak %.1f MiB), private %.1f MiB",
                  f.dWorkingSet / kMiB, f.dPeakWorkingSet / kMiB, f.dPrivate / kMiB);
    return sz;
}

bool SameCounts(const Figures& a, const Figures& b) {
    return a.nThreads == b.nThreads && a.nHandles == b.nHandles;
}

const char kCounts[] = "threads and handles";

// Where the figures came from, when not from the usual calls.
std::string Sources() {
    std::string s;
    if (g_bPrivateFromRegions) {
        s += "private: PrivateUsage is 0 here, so the committed MEM_PRIVATE regions (VirtualQuery)";
    }
    if (g_bHandlesFromList) {
        s += std::string(s.empty() ? "" : "; ") +
             "handles: GetProcessHandleCount gives 0 here, so this process's entries in "
             "NtQuerySystemInformation(SystemHandleInformation)";
    }
    return s;
}

std::string Platform() {
    std::string s = sizeof(void*) == 8 ? "64-bit Windows build" : "32-bit Windows build";
    typedef const char*(__cdecl * WineVersionFn)();
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    FARPROC pfn = hNtdll != nullptr ? GetProcAddress(hNtdll, "wine_get_version") : nullptr;
    if (pfn != nullptr) {
        WineVersionFn pfnVersion = nullptr;
        std::memcpy(&pfnVersion, &pfn, sizeof(pfnVersion));
        s += std::string(" under wine ") + pfnVersion();
    }
    return s;
}

unsigned __stdcall ProbeThread(void*) {
    return 0;
}

unsigned __stdcall WaitForGo(void* p) {
    WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
    return 0;
}

// After a failed open: can a thread like a receiver (1 MiB of stack
// reserved) start now? Names the system's error when not.
std::string ProbeThreadText() {
    unsigned nId = 0;
    uintptr_t h = _beginthreadex(nullptr, 1024 * 1024, ProbeThread, nullptr,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &nId);
    if (h == 0) {
        const DWORD dwErr = GetLastError();
        return "a thread with 1 MiB of stack reserved cannot start now either (error " +
               std::to_string(dwErr) + ", errno " + std::to_string(errno) + ")";
    }
    WaitForSingleObject(reinterpret_cast<HANDLE>(h), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(h));
    return "a thread with 1 MiB of stack reserved still starts";
}

#else

struct Figures {
    long nRssKb = -1;
    long nHwmKb = -1;
    long nThreads = -1;
    int nFds = -1;
};

Figures Measure() {
    return Figures{bench::ProcStatus("VmRSS"), bench::ProcStatus("VmHWM"),
                   bench::ProcStatus("Threads"), bench::OpenDescriptors()};
}

std::string MiB(long nKb) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f MiB", static_cast<double>(nKb) / 1024);
    return sz;
}

std::string Brief(const Figures& f) {
    return "RSS " + MiB(f.nRssKb) + ", threads " + std::to_string(f.nThreads) + ", descriptors " +
           std::to_string(f.nFds);
}

std::string Space(const Figures&) {
    return "";
}

std::string Peak(const Figures& f) {
    return "RSS " + MiB(f.nRssKb) + " (peak " + MiB(f.nHwmKb) + ")";
}

bool SameCounts(const Figures& a, const Figures& b) {
    return a.nThreads == b.nThreads && a.nFds == b.nFds;
}

const char kCounts[] = "threads and descriptors";

std::string Sources() {
    return "";
}

std::string Platform() {
    return "Linux";
}

std::string ProbeThreadText() {
    return "";
}

bool OwnHandles(std::vector<unsigned short>* pOut) {
    pOut->clear();
    return false;
}

std::string NewHandlesText(const std::vector<unsigned short>&) {
    return "";
}

extern "C" void OnTimeLimit(int) {
    static const char kText[] = "\ntime limit reached (duration + 120 s), stopped\n";
    ssize_t r = write(2, kText, sizeof(kText) - 1);
    (void)r;
    _exit(4);
}

#endif

// Prints the figures line, and on Windows the address space under it.
void PrintFigures(const char* pszLabel, const std::string& sBefore, const Figures& f) {
    std::printf("%-14s%s%s\n", pszLabel, sBefore.c_str(), Brief(f).c_str());
    std::string s = Space(f);
    if (!s.empty()) {
        std::printf("%-14s%s\n", "", s.c_str());
    }
    std::fflush(stdout);
}

} // namespace

bool PrepareClient(int nSessions, const char* pszProgram) {
#if defined(_WIN32)
    (void)nSessions;
    (void)pszProgram;
    return true;
#else
    // N sockets here (and N + 1 in a forked server, which inherits the
    // limit); the rest is standard streams, the control pipe, /proc reads and
    // slack.
    const int nNeed = nSessions + 64;
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        std::perror("getrlimit");
        return false;
    }
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < static_cast<rlim_t>(nNeed)) {
        if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < static_cast<rlim_t>(nNeed)) {
            std::fprintf(stderr,
                         "%s: the sessions need %d descriptors, but the descriptor "
                         "limit is %llu (hard limit %llu).\n"
                         "Raise it first, e.g. `ulimit -n %d` (a hard limit above %llu needs root "
                         "or /etc/security/limits.conf), or use fewer --sessions.\n",
                         pszProgram, nNeed, (unsigned long long)rl.rlim_cur,
                         (unsigned long long)rl.rlim_max, nNeed, (unsigned long long)rl.rlim_max);
            return false;
        }
        rlim_t nOld = rl.rlim_cur;
        rl.rlim_cur = static_cast<rlim_t>(nNeed);
        if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
            std::fprintf(stderr,
                         "%s: cannot raise the descriptor limit from %llu to %d "
                         "(%s); run `ulimit -n %d` first.\n",
                         pszProgram, (unsigned long long)nOld, nNeed, std::strerror(errno), nNeed);
            return false;
        }
        std::printf("descriptor limit raised from %llu to %d\n", (unsigned long long)nOld, nNeed);
    }
    rlimit rlThreads{};
    if (getrlimit(RLIMIT_NPROC, &rlThreads) == 0 && rlThreads.rlim_cur != RLIM_INFINITY &&
        rlThreads.rlim_cur < static_cast<rlim_t>(nNeed)) {
        std::printf("warning: the process limit (ulimit -u) is %llu; %d receiver threads may not "
                    "start\n",
                    (unsigned long long)rlThreads.rlim_cur, nSessions);
    }
    return true;
#endif
}

void StartTimeLimit(int nSeconds) {
#if defined(_WIN32)
    // A thread of its own, alive from before the first figures to the end.
    // It also ends the process when one call of the main thread has not
    // returned for kStuckS, after saying which call, and the figures then.
    std::thread([nSeconds]() {
        const int kStuckS = 30;
        const Clock::time_point tEnd = Clock::now() + std::chrono::seconds(nSeconds);
        while (Clock::now() < tEnd) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const char* pszStep = g_pszMeasuring.load();
            if (pszStep != nullptr && NowMs() - g_tMeasuringMs.load() > kStuckS * 1000) {
                std::fflush(stdout);
                std::printf("\nstuck: %s, taking the figures, has not returned for %d s; "
                            "stopped\n",
                            pszStep, kStuckS);
                std::fflush(stdout);
                std::_Exit(5);
            }
            const int nStage = g_nStage.load();
            if (nStage != kStageOther && NowMs() - g_tStageMs.load() > kStuckS * 1000) {
                std::fflush(stdout);
                std::printf("\nstuck: %s of session %d has not returned for %d s; stopped\n",
                            kStageNames[nStage], g_nStageSession.load(), kStuckS);
                try {
                    PrintFigures("then:", "", Measure());
                } catch (...) {
                    std::printf("then:         (no memory left to take the figures)\n");
                }
                std::fflush(stdout);
                std::_Exit(5);
            }
        }
        std::fprintf(stderr, "\ntime limit reached (duration + 120 s), stopped\n");
        std::fflush(stdout);
        std::_Exit(4);
    }).detach();
#else
    std::signal(SIGALRM, OnTimeLimit);
    alarm(static_cast<unsigned>(nSeconds));
#endif
}

int FitThreads(int nMax) {
#if defined(_WIN32)
    // Threads like the receivers (1 MiB of stack reserved), each blocked on
    // one event, so that nothing but their memory is measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Figures start = Measure();
    std::printf("fit-threads: up to %d threads with 1 MiB of stack reserved, each waiting on one "
                "event (%s)\n",
                nMax, Platform().c_str());
    PrintFigures("start:", "", start);
    HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (hGo == nullptr) {
        std::printf("CreateEvent failed, error %lu\n", GetLastError());
        return 1;
    }
    std::vector<HANDLE> threads;
    DWORD dwError = 0;
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < nMax; ++i) {
        unsigned nId = 0;
        uintptr_t h = _beginthreadex(nullptr, 1024 * 1024, WaitForGo, hGo,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, &nId);
        if (h == 0) {
            dwError = GetLastError();
            break;
        }
        threads.push_back(reinterpret_cast<HANDLE>(h));
        if (threads.size() % 250 == 0) {
            char sz[64];
            std::snprintf(sz, sizeof(sz), "%zu threads; ", threads.size());
            PrintFigures("  started:", sz, Measure());
        }
    }
    const double dStartS = Seconds(t0, Clock::now());
    const Figures full = Measure();
    char sz[160];
    std::snprintf(sz, sizeof(sz), "%zu threads in %.2f s; ", threads.size(), dStartS);
    PrintFigures("started:", sz, full);
    if (dwError != 0) {
        std::printf("              thread %zu did not start: error %lu\n", threads.size() + 1,
                    static_cast<unsigned long>(dwError));
    } else {
        std::printf("              every one of the %d started\n", nMax);
    }
    SetEvent(hGo);
    for (HANDLE h : threads) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
    CloseHandle(hGo);
    PrintFigures("ended:", "", Measure());
    if (threads.size() > 2) {
        const double n = static_cast<double>(threads.size());
        std::printf("per thread:   %.2f MiB committed, %.2f MiB of working set\n",
                    (full.dCommitted - start.dCommitted) / kMiB / n,
                    (full.dWorkingSet - start.dWorkingSet) / kMiB / n);
    }
    return dwError == 0 ? 0 : 1;
#else
    (void)nMax;
    std::fprintf(stderr, "--fit-threads is for the Windows build\n");
    return 2;
#endif
}

int RunClient(const Options& o, int nPort, const std::string& sServer, const char* pszProgram) {
    OXR_HTTP_ClientInit();
    // The main thread's first sleep makes the thread runtime give it an
    // event (on Windows, winpthreads does); it sleeps in the run below, so it
    // does so here once, before the figures are taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Figures start = Measure();
    std::printf("%s: %d sessions, %d s, %.3g parts/s each of %d to %d bytes; server: %s (%u "
                "cores, %s)\n",
                pszProgram, o.nSessions, o.nDuration, o.dRate, o.nMinBytes, o.nMaxBytes,
                sServer.c_str(), std::thread::hardware_concurrency(), Platform().c_str());
    PrintFigures("start:", "", start);
    std::vector<unsigned short> startHandles;
    OwnHandles(&startHandles);
    if (!Sources().empty()) {
        std::printf("              (%s)\n", Sources().c_str());
    }

    std::vector<Session> sessions(static_cast<size_t>(o.nSessions));
    const std::string sUrl = "http://127.0.0.1:" + std::to_string(nPort) + "/stream";
    int nOpened = 0;
    int nTried = 0;
    int nInARow = 0;
    std::string sFirstFailure;
    const Clock::time_point tOpen = Clock::now();
    for (Session& s : sessions) {
        s.pOpt = &o;
        ++nTried;
        SetStage(kStageOpen, nTried);
        const Clock::time_point tCall = Clock::now();
        int h = OXR_HTTP_OpenEx(sUrl.c_str(), HTTP_METHOD_GET, nullptr, 0, 5000, OnPart, &s);
        std::string sWhy;
        if (h >= 0) {
            SetStage(kStageSend, nTried);
        }
        if (h < 0) {
            sWhy = "OXR_HTTP_OpenEx failed, error " + std::to_string(OXR_HTTP_GetErrNo(-1));
        } else if (OXR_HTTP_SendRequest(h, nullptr, nullptr, 0, 5000) != 0) {
            int nReason = 0;
            OXR_HTTP_GetStreamState(h, &nReason, nullptr);
            sWhy = "OXR_HTTP_SendRequest failed (status " +
                   std::to_string(OXR_HTTP_GetStatus(h, nullptr, 0)) + ", end reason " +
                   std::to_string(nReason) + ")";
            OXR_HTTP_Close(h);
            h = -1;
        }
        SetStage(kStageOther, 0);
        s.nHandle = h;
        if (nTried % 250 == 0 && nTried < o.nSessions) {
            char szSoFar[96];
            std::snprintf(szSoFar, sizeof(szSoFar), "%d sessions in %.2f s; ", nTried,
                          Seconds(tOpen, Clock::now()));
            PrintFigures("  opening:", szSoFar, Measure());
        }
        if (h >= 0) {
            ++nOpened;
            nInARow = 0;
            continue;
        }
        // Each failure is told at once: opening may not get to its end.
        std::printf("  failed:     session %d after %.1f s: %s\n", nTried,
                    Seconds(tCall, Clock::now()), sWhy.c_str());
        if (sFirstFailure.empty()) {
            sFirstFailure = "session " + std::to_string(nTried) + ": " + sWhy;
            const std::string sProbe = ProbeThreadText();
            if (!sProbe.empty()) {
                std::printf("              then: %s\n", sProbe.c_str());
            }
            PrintFigures("", "at the first failure: ", Measure());
        }
        std::fflush(stdout);
        if (++nInARow >= kGiveUpAfter) {
            break;
        }
    }
    const double dOpenS = Seconds(tOpen, Clock::now());
    const Figures opened = Measure();
    char szOpened[160];
    std::snprintf(szOpened, sizeof(szOpened), "%d of %d sessions in %.2f s; ", nOpened, o.nSessions,
                  dOpenS);
    PrintFigures("opened:", szOpened, opened);
    if (!sFirstFailure.empty()) {
        std::printf("              first failure: %s\n", sFirstFailure.c_str());
        if (nTried < o.nSessions) {
            std::printf("              gave up after %d failures in a row (%d tried)\n",
                        kGiveUpAfter, nTried);
        }
    }

    const Clock::time_point tStreamStart = Clock::now();
    const int nStep = o.nDuration >= 20 ? 10 : o.nDuration >= 6 ? 2 : 1;
    // The parts per session are taken the moment the duration is over,
    // before the figures (which can take long under wine).
    std::vector<long> counts;
    long nBad = 0;
    long nSilent = 0;
    bool bCounted = false;
    auto takeCounts = [&]() {
        for (const Session& s : sessions) {
            if (s.nHandle < 0) {
                continue;
            }
            const long n = s.nParts.load();
            counts.push_back(n);
            nBad += s.nBad.load();
            nSilent += n == 0 ? 1 : 0;
        }
        bCounted = true;
    };
    for (int t = nStep; t <= o.nDuration; t += nStep) {
        std::this_thread::sleep_until(tStreamStart + std::chrono::seconds(t));
        if (t == o.nDuration) {
            takeCounts();
        }
        long nSoFar = 0;
        for (const Session& s : sessions) {
            nSoFar += s.nParts.load();
        }
        char szLabel[32];
        std::snprintf(szLabel, sizeof(szLabel), "  %3d s:", t);
        PrintFigures(szLabel, std::to_string(nSoFar) + " parts so far; ", Measure());
    }
    if (!bCounted) {
        std::this_thread::sleep_until(tStreamStart + std::chrono::seconds(o.nDuration));
        takeCounts();
    }
    const Figures running = Measure();
    std::sort(counts.begin(), counts.end());
    long nMin = counts.empty() ? 0 : counts.front();
    long nMedian = counts.empty() ? 0 : counts[(counts.size() - 1) / 2];
    long nMax = counts.empty() ? 0 : counts.back();
    long nTotal = 0;
    for (long n : counts) {
        nTotal += n;
    }

    const Clock::time_point tClose = Clock::now();
    int nClosing = 0;
    for (Session& s : sessions) {
        ++nClosing;
        if (s.nHandle >= 0) {
            SetStage(kStageClose, nClosing);
            OXR_HTTP_Close(s.nHandle);
        }
    }
    SetStage(kStageOther, 0);
    const double dCloseS = Seconds(tClose, Clock::now());
    const Figures closed = Measure();
    // On Linux the receivers ran on a pool whose idle threads end 2 s after
    // their last receiver: the counts are taken again until they are back,
    // for 4 s at the most.
    Figures settled = closed;
    double dSettleS = 0;
#if !defined(_WIN32)
    const Clock::time_point tClosed = Clock::now();
    while (!SameCounts(settled, start) && Seconds(tClosed, Clock::now()) < 4.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        settled = Measure();
    }
    dSettleS = SameCounts(closed, start) ? 0 : Seconds(tClosed, Clock::now());
#endif
    // Before OXR_HTTP_ClientFini, which may close some of them.
    const std::string sNewHandles = SameCounts(settled, start) ? "" : NewHandlesText(startHandles);
    OXR_HTTP_ClientFini();

    std::printf("\nafter %d s:   parts per session min %ld / median %ld / max %ld (about %.0f "
                "expected), %ld in all, %ld sessions without parts, %ld parts wrong\n",
                o.nDuration, nMin, nMedian, nMax, o.dRate * o.nDuration, nTotal, nSilent, nBad);
    std::printf("running:      %s, %s\n", Peak(running).c_str(),
                Brief(running).substr(Brief(running).find("threads")).c_str());
    char szClosed[64];
    std::snprintf(szClosed, sizeof(szClosed), "all in %.2f s; ", dCloseS);
    PrintFigures("closed:", szClosed, closed);
    if (dSettleS > 0) {
        char szLater[64];
        std::snprintf(szLater, sizeof(szLater), "%.1f s later; ", dSettleS);
        PrintFigures("then:", szLater, settled);
    }
    std::printf("              (start: %s)\n", Brief(start).c_str());

    const bool bDeliver = nOpened == o.nSessions && nSilent == 0 && nBad == 0;
    const bool bBack = SameCounts(settled, start);
    std::printf("\ngoal: all %d sessions deliver parts, every part right: %s\n", o.nSessions,
                bDeliver ? "met" : "NOT met");
#if defined(_WIN32)
    const bool bMemory = true;
    std::printf("memory: no goal on Windows; peak working set %.1f MiB, private %.1f MiB while "
                "running\n",
                running.dPeakWorkingSet / kMiB, running.dPrivate / kMiB);
#else
    const bool bMemory = running.nHwmKb <= kRssGoalKb;
    std::printf("goal: resident memory at most 64 MiB (peak %s): %s\n", MiB(running.nHwmKb).c_str(),
                bMemory ? "met" : "NOT met");
#endif
    std::printf("goal: %s back to the start after closing: %s\n", kCounts,
                bBack ? "met" : "NOT met");
    if (!sNewHandles.empty()) {
        std::printf("      handles there after closing that were not there at the start: %s\n",
                    sNewHandles.c_str());
    }
    std::fflush(stdout);
    return bDeliver && bMemory && bBack ? 0 : 1;
}

} // namespace streams
