// Video streams the demo camera cut on purpose (/video.mjpg?drop=N): where
// each goes on when its client asks again, so that frame numbers run on
// across connections and a client can check every frame came once, in order.
#ifndef OXR_DEMO_DROP_LEDGER_H
#define OXR_DEMO_DROP_LEDGER_H

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

class DropLedger {
public:
    struct Resume {
        unsigned nNextFrame = 1; // the frame the cut one was: it never arrived whole
        unsigned nDrops = 0;     // cuts of this stream so far
    };

    // Where a stream of `key` (its request target) goes on from, taken out
    // of the ledger: a fresh start unless the camera cut one within kKeepMs.
    Resume Take(const std::string& key);
    // Notes a cut stream of `key`, before its connection ends.
    void Put(const std::string& key, const Resume& resume);

    // A client that does not come back within this long starts afresh.
    static constexpr std::chrono::milliseconds kKeepMs{10000};
    static constexpr size_t kMaxEntries = 64;

private:
    struct Entry {
        Resume resume;
        std::chrono::steady_clock::time_point at;
    };
    void ForgetOld(); // mutex held

    std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

#endif
