// oxr-http's end rules and the words it shows, without the library: when
// a transfer ends and with which exit code, the live status line and the
// summary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_options.h"
#include "delivery_sink.h"
#include "end_rules.h"
#include "exit_codes.h"
#include "oxr_http.h"
#include "progress.h"

namespace {

struct EndCase {
    const char* name;
    std::vector<std::string> args;
    TransferState state;
    EndReason reason;
    int nExit;
};

TransferState State(bool bMultipart, long long nLength, long long nParts, long long nBytes,
                    long long nElapsedMs, long long nIdleMs) {
    TransferState s;
    s.bMultipart = bMultipart;
    s.nContentLength = nLength;
    s.nParts = nParts;
    s.nBytes = nBytes;
    s.nElapsedMs = nElapsedMs;
    s.nIdleMs = nIdleMs;
    return s;
}

TEST(EndRules, DecideWhenAndHowATransferEnds) {
    TransferState interrupted = State(true, -1, 1, 10, 100, 0);
    interrupted.bInterrupted = true;
    TransferState writeFailed = State(true, -1, 1, 10, 100, 0);
    writeFailed.bWriteFailed = true;
    TransferState head = State(false, 500, 0, 0, 0, 0);
    head.bNoBody = true;
    TransferState closed = State(true, -1, 2, 20, 500, 10);
    closed.nStreamEnd = HTTP_END_PEER_CLOSED;
    TransferState delimited = State(true, -1, 2, 20, 500, 10);
    delimited.nStreamEnd = HTTP_END_CLOSING_DELIMITER;
    TransferState chunked = State(false, -1, 0, 161, 5, 0);
    chunked.bChunked = true;
    chunked.nStreamEnd = HTTP_END_COMPLETE;
    TransferState framedParts = State(true, -1, 2, 20, 500, 0);
    framedParts.nStreamEnd = HTTP_END_COMPLETE;
    TransferState reconnecting = State(true, -1, 2, 20, 60000, 50000);
    reconnecting.bReconnect = true;
    reconnecting.bReconnecting = true;
    const EndCase cases[] = {
        {"raw body still coming", {}, State(false, 100, 0, 50, 100, 10), EndReason::kNone, 0},
        {"raw body complete", {}, State(false, 100, 0, 100, 100, 0), EndReason::kComplete, 0},
        {"raw body cut short",
         {},
         State(false, 100, 0, 50, 20000, 10000),
         EndReason::kIdle,
         kExitEndedEarly},
        {"raw body of unknown length",
         {},
         State(false, -1, 0, 50, 20000, 10000),
         EndReason::kIdle,
         kExitOk},
        {"HEAD has no body", {}, head, EndReason::kComplete, kExitOk},
        {"parts enough",
         {"--max-parts", "3"},
         State(true, -1, 3, 30, 500, 0),
         EndReason::kMaxParts,
         kExitOk},
        {"parts too few",
         {"--max-parts", "3"},
         State(true, -1, 2, 20, 500, 10000),
         EndReason::kIdle,
         kExitEndedEarly},
        {"duration reached",
         {"--duration", "2"},
         State(true, -1, 20, 200, 2000, 0),
         EndReason::kDuration,
         kExitOk},
        {"quiet before the duration",
         {"--duration", "5"},
         State(true, -1, 20, 200, 2500, 10000),
         EndReason::kIdle,
         kExitEndedEarly},
        {"stream without limits ends",
         {},
         State(true, -1, 20, 200, 20000, 10000),
         EndReason::kIdle,
         kExitOk},
        {"idle below the time-out",
         {"--timeout", "1000"},
         State(true, -1, 1, 1, 5000, 999),
         EndReason::kNone,
         0},
        {"the library reports the end, before --max-parts",
         {"--max-parts", "3"},
         closed,
         EndReason::kStreamEnded,
         kExitEndedEarly},
        {"the library reports the closing delimiter",
         {},
         delimited,
         EndReason::kStreamEnded,
         kExitOk},
        {"a chunked body's last chunk", {}, chunked, EndReason::kComplete, kExitOk},
        {"a whole body, even with --duration",
         {"--duration", "5"},
         chunked,
         EndReason::kComplete,
         kExitOk},
        {"a multipart body whole before --max-parts",
         {"--max-parts", "3"},
         framedParts,
         EndReason::kStreamEnded,
         kExitEndedEarly},
        {"--reconnect: a silence is the library's to answer",
         {"--reconnect", "1000"},
         reconnecting,
         EndReason::kNone,
         0},
        {"--reconnect: --duration still ends it",
         {"--reconnect", "1000", "--duration", "60"},
         reconnecting,
         EndReason::kDuration,
         kExitOk},
        {"interrupted", {}, interrupted, EndReason::kInterrupted, kExitInterrupted},
        {"output failed", {}, writeFailed, EndReason::kWriteFailed, kExitLocalIo},
    };
    for (const EndCase& c : cases) {
        ClientOptions o;
        std::string error;
        std::vector<std::string> args = c.args;
        args.push_back("http://h/");
        ASSERT_TRUE(ParseClientOptions(args, &o, &error)) << c.name;
        const EndReason reason = JudgeEnd(o, c.state);
        EXPECT_EQ(static_cast<int>(reason), static_cast<int>(c.reason)) << c.name;
        if (reason != EndReason::kNone) {
            EXPECT_EQ(ExitCodeForEnd(o, c.state, reason), c.nExit) << c.name;
            EXPECT_FALSE(DescribeEnd(o, c.state, reason).empty()) << c.name;
        }
    }
}

TEST(EndRules, EarlyEndIsNamedInTheSummaryText) {
    ClientOptions o;
    std::string error;
    ASSERT_TRUE(ParseClientOptions({"--max-parts", "10", "http://h/"}, &o, &error));
    const TransferState s = State(true, -1, 4, 40, 3000, 10000);
    EXPECT_NE(DescribeEnd(o, s, EndReason::kIdle).find("ended early (4 of 10 parts)"),
              std::string::npos);
}

TEST(Progress, StatusLineAndSummaryNameCountsRatesAndTheEnd) {
    SinkStats stats;
    stats.nParts = 30;
    stats.nBytes = 300 * 1024;
    stats.nFirstMs = 120;
    stats.dGapMeanMs = 100;
    stats.nGapMaxMs = 180;
    stats.types = {"image/jpeg"};
    TransferState state;
    state.bMultipart = true;
    state.nElapsedMs = 3000;
    EXPECT_EQ(StatusLine(stats, state), "  30 parts  300.0 KB  10.0 parts/s  3.0 s");
    const std::vector<std::string> lines =
        SummaryLines(stats, state, "duration of 3 s reached", "out (30 files)");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "received 30 parts (image/jpeg), 300.0 KB in 3.00 s: 10.0 parts/s, "
                        "100.0 KB/s");
    EXPECT_EQ(lines[1],
              "first data 120 ms after the request; between parts: mean 100 ms, max 180 ms");
    EXPECT_EQ(lines[lines.size() - 2], "ended: duration of 3 s reached");
    EXPECT_EQ(lines.back(), "saved in out (30 files)");
    // --reconnect: drops on the status line and in the summary, by reason
    state.bReconnect = true;
    stats.nReconnects = 3;
    stats.reconnectReasons = {{"peer-closed", 2}, {"time-out", 1}};
    stats.lastReconnect = "time-out";
    EXPECT_EQ(StatusLine(stats, state),
              "  30 parts  300.0 KB  10.0 parts/s  3.0 s  3 reconnects (last: time-out)");
    state.bReconnecting = true;
    EXPECT_EQ(StatusLine(stats, state),
              "  30 parts  300.0 KB  10.0 parts/s  3.0 s  reconnecting after time-out (3 so far)");
    const std::vector<std::string> again = SummaryLines(stats, state, "its end", "");
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[again.size() - 2], "reconnects: 3 (peer-closed 2, time-out 1)");
    EXPECT_EQ(HumanBytes(830), "830 B");
    EXPECT_EQ(HumanBytes(3 * 1024 * 1024 / 2), "1.5 MB");
}

} // namespace
