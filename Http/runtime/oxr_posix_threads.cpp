// POSIX side of the runtime, its threads: pthreads kept in a small pool, the
// monotonic clock and sleeping. Sockets, waits and files are in
// oxr_posix.cpp.
#include "oxr.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <pthread.h>
#include <time.h>
#include <vector>

namespace {

// One OXR_THREAD: a function to run, done once it has returned.
struct ThreadRecord {
    OXR_THREAD_PROC pfnProc;
    void* pArg;
    std::mutex mutex;
    std::condition_variable cond;
    bool bDone = false;
};

// A receiver starts with every kept-alive request and ends with its body: a
// thread that has run one waits a while for the next instead of ending, so
// a poll costs a wake-up, not a thread's creation, first touch and end.
const int kIdleMs = 2000;
const size_t kMostIdle = 64;

struct Worker {
    pthread_t tid{};
    ThreadRecord* pTask = nullptr; // guarded by the pool's mutex
    bool bQuit = false;            // likewise
    std::condition_variable cond;
};

struct Pool {
    std::mutex mutex;
    std::vector<Worker*> idle; // waiting for a task
    std::vector<Worker*> all;  // alive, to be joined when the library unloads
    // The library unloads, or the process ends: the waiting threads end
    // before the code they run goes away. One still running a task (a
    // session left open) is let go, not waited for: an exit must not hang.
    ~Pool() {
        std::vector<Worker*> waiting;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (Worker* w : all) {
                w->bQuit = true;
                w->cond.notify_all();
                if (w->pTask == nullptr) {
                    waiting.push_back(w);
                } else {
                    pthread_detach(w->tid);
                }
            }
            all.clear();
            idle.clear();
        }
        for (Worker* w : waiting) {
            pthread_join(w->tid, nullptr);
            delete w;
        }
    }
};

Pool g_pool;

// The task the calling thread runs, if it is one of the pool's.
thread_local ThreadRecord* t_pSelf = nullptr;

// Runs the worker's task. The worker is back to "no task" under the pool's
// lock before the waiter can see the task done: once OXR_Thread_Wait has
// returned, the pool's teardown finds this worker waiting and joins it, and
// never mistakes it for one still running (which it would let go, and lose).
void RunTask(Worker* w, std::unique_lock<std::mutex>& poolLock) {
    ThreadRecord* rec = w->pTask;
    poolLock.unlock();
    t_pSelf = rec;
    rec->pfnProc(rec->pArg);
    t_pSelf = nullptr;
    // What OpenSSL keeps per thread (a TLS receiver's error queue) is given
    // back now, as the thread's end would: a pool thread still waiting when
    // the process exits ends after OpenSSL's own clean-up, too late for it.
    OPENSSL_thread_stop();
    poolLock.lock();
    w->pTask = nullptr;
    // The waiter frees the record: nothing of it is touched after this.
    std::lock_guard<std::mutex> lock(rec->mutex);
    rec->bDone = true;
    rec->cond.notify_all();
}

void* WorkerMain(void* p) {
    Worker* w = static_cast<Worker*>(p);
    std::unique_lock<std::mutex> lock(g_pool.mutex);
    for (;;) {
        while (w->pTask != nullptr) {
            RunTask(w, lock);
        }
        if (w->bQuit) {
            return nullptr; // joined by the pool's teardown
        }
        if (g_pool.idle.size() < kMostIdle) {
            g_pool.idle.push_back(w);
            w->cond.wait_for(lock, std::chrono::milliseconds(kIdleMs),
                             [w] { return w->pTask != nullptr || w->bQuit; });
        }
        if (w->pTask != nullptr) {
            continue; // taken off the idle list by whoever gave the task
        }
        if (w->bQuit) {
            return nullptr;
        }
        // Nothing came: the thread ends, and no one joins it.
        for (size_t i = 0; i < g_pool.idle.size(); ++i) {
            if (g_pool.idle[i] == w) {
                g_pool.idle.erase(g_pool.idle.begin() + static_cast<long>(i));
                break;
            }
        }
        for (size_t i = 0; i < g_pool.all.size(); ++i) {
            if (g_pool.all[i] == w) {
                g_pool.all.erase(g_pool.all.begin() + static_cast<long>(i));
                break;
            }
        }
        pthread_detach(w->tid);
        delete w;
        return nullptr;
    }
}

// A new thread for the pool, with its first task; false when none could start.
bool StartWorker(ThreadRecord* rec) {
    Worker* w = new (std::nothrow) Worker;
    if (w == nullptr) {
        return false;
    }
    w->pTask = rec;
    // The default attributes (the process's stack limit, 8 MiB on most
    // systems: address space only, pages come as they are touched), but
    // never less than the runtime promises.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t nStack = 0;
    if (pthread_attr_getstacksize(&attr, &nStack) == 0 &&
        nStack < static_cast<size_t>(OXR_THREAD_MIN_STACK)) {
        pthread_attr_setstacksize(&attr, static_cast<size_t>(OXR_THREAD_MIN_STACK));
    }
    try {
        g_pool.all.push_back(w);
    } catch (...) {
        pthread_attr_destroy(&attr);
        delete w;
        return false;
    }
    const int r = pthread_create(&w->tid, &attr, WorkerMain, w);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        g_pool.all.pop_back();
        delete w;
        return false;
    }
    return true;
}

} // namespace

OXR_THREAD OXR_Thread_Create(OXR_THREAD_PROC pfnProc, void* pArg, int, int, int, int) {
    ThreadRecord* rec = new (std::nothrow) ThreadRecord;
    if (rec == nullptr) {
        return nullptr;
    }
    rec->pfnProc = pfnProc;
    rec->pArg = pArg;
    std::lock_guard<std::mutex> lock(g_pool.mutex);
    if (!g_pool.idle.empty()) {
        Worker* w = g_pool.idle.back();
        g_pool.idle.pop_back();
        w->pTask = rec;
        w->cond.notify_one();
        return rec;
    }
    if (!StartWorker(rec)) {
        delete rec;
        return nullptr;
    }
    return rec;
}

int OXR_Thread_Wait(OXR_THREAD hThread) {
    if (hThread == nullptr) {
        return -1;
    }
    ThreadRecord* rec = static_cast<ThreadRecord*>(hThread);
    {
        std::unique_lock<std::mutex> lock(rec->mutex);
        rec->cond.wait(lock, [rec] { return rec->bDone; });
    }
    delete rec;
    return 0;
}

int OXR_Thread_IsCurrent(OXR_THREAD hThread) {
    return hThread != nullptr && t_pSelf == hThread;
}

void* OXR_Thread_Arg(OXR_THREAD_PROC pfnProc) {
    return t_pSelf != nullptr && t_pSelf->pfnProc == pfnProc ? t_pSelf->pArg : nullptr;
}

void OXR_Sleep(int nMs) {
    timespec ts{nMs / 1000, static_cast<long>(nMs % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t OXR_TickMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
