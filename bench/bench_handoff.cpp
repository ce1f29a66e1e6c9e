// What one hand-over between two threads costs on this machine: two threads
// pass a turn back and forth over a mutex and a condition variable, the way
// a receiver thread and an application waiting for its callback do. Run as
// it is, the scheduler places the two threads where it likes (on a machine
// with idle cores, usually apart); under `taskset -c 0` both share one core.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

int main(int argc, char** argv) {
    const int nTurns = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (nTurns <= 0) {
        std::fprintf(stderr, "usage: bench_handoff [TURNS]\n");
        return 2;
    }
    std::mutex m;
    std::condition_variable cv;
    bool bOther = false; // whose turn: the second thread's when true
    std::thread other([&] {
        for (int i = 0; i < nTurns; ++i) {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return bOther; });
            bOther = false;
            cv.notify_all();
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < nTurns; ++i) {
        std::unique_lock<std::mutex> lock(m);
        bOther = true;
        cv.notify_all();
        cv.wait(lock, [&] { return !bOther; });
    }
    const auto t1 = std::chrono::steady_clock::now();
    other.join();
    const double dUs = std::chrono::duration<double, std::micro>(t1 - t0).count() / nTurns;
    std::printf("%d round trips: %.1f us each (two hand-overs)\n", nTurns, dUs);
    return 0;
}
