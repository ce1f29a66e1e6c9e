// Win32 side of the runtime, its threads, time and files: Win32 threads,
// the tick count, local time and the log file. Sockets, mutexes and waits are
// in oxr_win32.cpp.
#include "oxr.h"

#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

// ---------------------------------------------------------------- threads

namespace {

// Threads are told apart by their system id. The one thread-local slot is
// a pointer to the record (a TLS index: nothing is allocated per thread, so
// nothing is left behind when a thread ends, of which the DLL asks not to
// be told).
struct ThreadRecord {
    HANDLE hThread;
    std::atomic<DWORD> dwId;
    OXR_THREAD_PROC pfnProc;
    void* pArg;
};

const DWORD g_dwSelfSlot = TlsAlloc();

unsigned __stdcall ThreadMain(void* p) {
    ThreadRecord* rec = static_cast<ThreadRecord*>(p);
    rec->dwId = GetCurrentThreadId();
    if (g_dwSelfSlot != TLS_OUT_OF_INDEXES) {
        TlsSetValue(g_dwSelfSlot, rec);
    }
    rec->pfnProc(rec->pArg);
    return 0;
}

} // namespace

OXR_THREAD OXR_Thread_Create(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int) {
    ThreadRecord* rec = new (std::nothrow) ThreadRecord{};
    if (rec == nullptr) {
        return nullptr;
    }
    rec->pfnProc = pfnProc;
    rec->pArg = pArg;
    unsigned nId = 0;
    // 1 MiB of address space reserved and committed as it is used: a
    // thousand receivers fit a 32-bit process beside the application.
    uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(OXR_THREAD_MIN_STACK), ThreadMain,
                                 rec, STACK_SIZE_PARAM_IS_A_RESERVATION, &nId);
    if (h == 0) {
        delete rec;
        return nullptr;
    }
    rec->hThread = reinterpret_cast<HANDLE>(h);
    rec->dwId = nId;
    return rec;
}

int OXR_Thread_Wait(OXR_THREAD hThread) {
    if (hThread == nullptr) {
        return -1;
    }
    ThreadRecord* rec = static_cast<ThreadRecord*>(hThread);
    DWORD r = WaitForSingleObject(rec->hThread, INFINITE);
    CloseHandle(rec->hThread);
    delete rec;
    return r == WAIT_OBJECT_0 ? 0 : -1;
}

int OXR_Thread_IsCurrent(OXR_THREAD hThread) {
    return hThread != nullptr &&
           static_cast<ThreadRecord*>(hThread)->dwId.load() == GetCurrentThreadId();
}

void* OXR_Thread_Arg(OXR_THREAD_PROC pfnProc) {
    if (g_dwSelfSlot == TLS_OUT_OF_INDEXES) {
        return nullptr;
    }
    const ThreadRecord* rec = static_cast<const ThreadRecord*>(TlsGetValue(g_dwSelfSlot));
    return rec != nullptr && rec->pfnProc == pfnProc ? rec->pArg : nullptr;
}

void OXR_Sleep(int nMs) {
    Sleep(static_cast<DWORD>(nMs < 0 ? 0 : nMs));
}

int64_t OXR_TickMs() {
    return static_cast<int64_t>(GetTickCount64());
}

// ---------------------------------------------------------------- files and time

int OXR_LocalTime(time_t t, struct tm* pTm) {
    return localtime_s(pTm, &t) == 0 ? 0 : -1;
}
const char* OXR_LogDir() {
    return "c:\\httplog";
}

FILE* OXR_CreateLogFile(const char* pszDir, const char* pszName, int* pnWhy) {
    *pnWhy = OXR_LOGFILE_FAILED;
    _mkdir(pszDir); // one that exists is fine
    char szPath[MAX_PATH];
    const int n = std::snprintf(szPath, sizeof(szPath), "%s\\%s", pszDir, pszName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szPath)) {
        return nullptr;
    }
    // CREATE_NEW never opens what exists, and a reparse point in the file's
    // place is taken as the name being taken, not followed.
    HANDLE hFile = CreateFileA(szPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        *pnWhy = dwError == ERROR_FILE_EXISTS || dwError == ERROR_ALREADY_EXISTS
                     ? OXR_LOGFILE_EXISTS
                     : OXR_LOGFILE_FAILED;
        return nullptr;
    }
    const int nFile = _open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_WRONLY | _O_BINARY);
    if (nFile == -1) {
        CloseHandle(hFile);
        return nullptr;
    }
    FILE* pFile = _fdopen(nFile, "wb");
    if (pFile == nullptr) {
        _close(nFile); // closes the handle too
    }
    return pFile;
}
