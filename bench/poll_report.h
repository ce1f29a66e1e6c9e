// bench_poll's rows, clients and report: the medians, the per-round ratios,
// what httpd saw, where a keep-alive snapshot's time goes, and the goals.
#ifndef OXR_BENCH_POLL_REPORT_H
#define OXR_BENCH_POLL_REPORT_H

#include <map>
#include <string>
#include <vector>

#include "poll_apache.h"
#include "poll_clients.h"

namespace bench {

enum Client { kKeepAlive = 0, kWithout = 1, kCurl = 2 };
extern const char* const kClientTag[3];  // in the log's tags
extern const char* const kClientName[3]; // in the tables

struct Row {
    const char* pszName; // for --only and the log's tags
    const char* pszTitle;
    bool bTls;
    bool bDigest;
    bool bFirstPart;
};

struct Report {
    std::vector<Row> rows;
    std::vector<int> clients;
    int nRounds = 0;
    int nSnapshots = 0;
    int nFirst = 0;
    std::vector<std::vector<std::vector<Outcome>>> results; // [row][client][round]
    std::map<std::string, LogCount> counts;                 // httpd's, by tag
};

// The tag a client's URL carries in a round ("warm" before the rounds).
std::string Tag(const Row& row, int nClient, const std::string& sRound);
// The figure compared: snapshots/s, or ms to the first part (the library's
// from before OXR_HTTP_OpenEx with bFromOpen).
double Figure(const Row& row, const Outcome& o, int nSnapshots, bool bFromOpen);
std::string Fixed(double v, int nDigits);
// Prints the tables and the goals.
void PrintReport(const Report& rep, int nFailed);

} // namespace bench

#endif // OXR_BENCH_POLL_REPORT_H
