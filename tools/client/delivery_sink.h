// Takes what the library's data callback delivers and puts it where the
// command line asked: numbered part files, an output file, or standard
// output; and keeps the counts that the status line and summary show.
//
// One sink serves the whole run: every request is one transfer on it
// (BeginTransfer ... EndTransfer), with its own output file and counts,
// while part files are numbered on across transfers in one index.
//
// Deliver() runs on the library's receiver thread; everything else on the
// main thread. The receiver starts inside OXR_HTTP_SendRequest, before the
// main thread has read the response's Content-Type, so deliveries that come
// before SetMode() are held and handled by SetMode() in arrival order.
#ifndef OXR_CLI_DELIVERY_SINK_H
#define OXR_CLI_DELIVERY_SINK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct SinkSettings {
    std::string partsDir; // empty: no part files
    long nMaxParts = 0;   // parts of one transfer beyond this are dropped; 0: no limit
    bool bStdoutIsTerminal = false;
};

// Counts of the current (or last) transfer.
struct SinkStats {
    long long nParts = 0;      // multipart parts taken
    long long nBytes = 0;      // body bytes taken
    long long nDeliveries = 0; // callback calls, dropped ones included
    long long nDropped = 0;    // parts past --max-parts
    long long nFirstMs = -1;   // first delivery, ms after the request was sent
    long long nLastMs = -1;    // last delivery, ms after the request was sent
    double dGapMeanMs = 0;     // between consecutive parts
    long long nGapMaxMs = 0;
    std::vector<std::string> types; // distinct part types in order of arrival (a few)
    bool bBinaryToTerminalSkipped = false;
    long long nPartFiles = 0; // files written into the parts directory
    std::string error;        // first output failure; empty when none
    // Drops the library answered by making the stream again (--reconnect):
    // how many, how many for each reason in order of first arrival, the last.
    long long nReconnects = 0;
    std::vector<std::pair<std::string, long long>> reconnectReasons;
    std::string lastReconnect; // "peer-closed", "time-out", "framing"
};

class DeliverySink {
public:
    enum class Mode { kUnknown, kRaw, kMultipart };

    explicit DeliverySink(const SinkSettings& settings);
    ~DeliverySink();
    DeliverySink(const DeliverySink&) = delete;
    DeliverySink& operator=(const DeliverySink&) = delete;

    // Creates the parts directory and its index; false with a reason.
    bool Prepare(std::string* pError);
    // Starts a transfer: its output (outputFile, or standard output when
    // empty and there is no parts directory) is opened, its counts start at
    // zero, and times are counted from tSent. False with a reason.
    bool BeginTransfer(const std::string& outputFile, std::chrono::steady_clock::time_point tSent,
                       std::string* pError);
    // One delivery of the data callback (receiver thread).
    void Deliver(const char* pData, int nLen, const char* pszContentType);
    // The library's record of a drop it answers by making the stream again
    // (receiver thread), with its reason.
    void NoteReconnect(const std::string& reason);
    // Once the response head is known: raw or multipart, and the response's type.
    void SetMode(Mode mode, const std::string& responseType);
    // Ends a WaitForDelivery now (receiver thread: the receiver has ended).
    void Wake();
    // Waits until a new delivery arrives, Wake is called, or the time passes.
    void WaitForDelivery(std::chrono::milliseconds limit);
    SinkStats Stats() const;
    // Closes the transfer's output and completes its index lines. Call once
    // its receiver can deliver no more (ended, or its session closed).
    void EndTransfer();
    // Ends the transfer still open and closes the index.
    void Finish();

private:
    struct Held {
        std::string bytes;
        std::string type;
        std::chrono::steady_clock::time_point at;
        int64_t nUnixMs;
    };
    void Take(const Held& d); // mutex held
    void TakePart(const Held& d);
    void TakeRaw(const Held& d);
    bool WriteOut(const std::string& bytes, const std::string& type, bool bPart);
    void Fail(const std::string& what);
    bool WriteIndex(long long nIndex, const std::string& name, size_t nBytes,
                    const std::string& type, int64_t nUnixMs);
    void EndTransferLocked();

    SinkSettings m_settings;
    std::chrono::steady_clock::time_point m_start; // the transfer's request went out
    std::string m_outputFile;
    bool m_bInTransfer = false;
    long long m_nPartsBefore = 0; // part files of earlier transfers
    mutable std::mutex m_mutex;
    std::condition_variable m_delivered;
    Mode m_mode = Mode::kUnknown;
    std::string m_responseType;
    std::vector<Held> m_held;
    SinkStats m_stats;
    long long m_nWakes = 0;
    std::chrono::steady_clock::time_point m_lastPartAt;
    double m_dGapSumMs = 0;
    FILE* m_pOut = nullptr; // output file or stdout; not owned when stdout
    FILE* m_pIndex = nullptr;
    FILE* m_pRawPart = nullptr; // the raw body saved as part 1 in partsDir
    int64_t m_nRawFirstUnixMs = 0;
};

#endif
