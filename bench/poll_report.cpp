// bench_poll's report, as Markdown tables.
#include "poll_report.h"

#include <algorithm>
#include <cstdio>

namespace bench {

const char* const kClientTag[3] = {"ka", "without", "curl"};
const char* const kClientName[3] = {"library keep-alive", "library without keep-alive",
                                    "libcurl one handle"};

namespace {

const char kNone[] = "–";

// The median of a client's figure over the rounds that passed.
std::string MedianFigure(const Report& rep, size_t i, int c, bool bFromOpen) {
    std::vector<double> v;
    for (const Outcome& o : rep.results[i][c]) {
        if (o.bOk) {
            v.push_back(Figure(rep.rows[i], o, rep.nSnapshots, bFromOpen));
        }
    }
    if (v.empty()) {
        return kNone;
    }
    // A median of fewer rounds says so.
    const std::string sPassed =
        static_cast<int>(v.size()) < rep.nRounds
            ? " (" + std::to_string(v.size()) + "/" + std::to_string(rep.nRounds) + ")"
            : "";
    return Fixed(Median(v), rep.rows[i].bFirstPart ? 2 : 0) + sPassed;
}

// The median of the same-round ratios a/b (-1 without a verified pair); the
// ratios by round go to *pRounds. libcurl's time runs from curl_easy_perform
// either way.
double Ratios(const Report& rep, size_t i, int a, int b, bool bFromOpen, std::string* pRounds) {
    std::vector<double> v;
    pRounds->clear();
    for (int r = 0; r < rep.nRounds; ++r) {
        const Outcome& x = rep.results[i][a][r];
        const Outcome& y = rep.results[i][b][r];
        const bool bBoth = x.bOk && y.bOk;
        const double q = bBoth ? Figure(rep.rows[i], x, rep.nSnapshots, bFromOpen) /
                                     Figure(rep.rows[i], y, rep.nSnapshots, bFromOpen && b != kCurl)
                               : 0;
        *pRounds += (pRounds->empty() ? "" : " ") + (bBoth ? Fixed(q, 2) : kNone);
        if (bBoth) {
            v.push_back(q);
        }
    }
    return v.empty() ? -1.0 : Median(v);
}

bool Has(const Report& rep, int nClient) {
    return std::find(rep.clients.begin(), rep.clients.end(), nClient) != rep.clients.end();
}

std::string RatioText(double d) {
    return d < 0 ? kNone : Fixed(d, 2);
}

// httpd's counts and the client's own count of connections, per run
// (first part: per fetch).
void PrintServerView(const Report& rep) {
    std::printf("\n### What httpd saw (access log), per run of %d snapshots; first part: per "
                "fetch\n\n| row | client | requests | 401 | connections | TLS full / resumed | "
                "connections, client's count |\n|---|---|---:|---:|---:|---:|---:|\n",
                rep.nSnapshots);
    for (size_t i = 0; i < rep.rows.size(); ++i) {
        const Row& row = rep.rows[i];
        const int nPer = row.bFirstPart ? rep.nRounds * rep.nFirst : rep.nRounds;
        auto per = [&](int n) { return Fixed(static_cast<double>(n) / nPer, n % nPer ? 2 : 0); };
        for (int c : rep.clients) {
            LogCount sum;
            int nClient = 0;
            for (int r = 0; r < rep.nRounds; ++r) {
                auto it = rep.counts.find(Tag(row, c, std::to_string(r + 1)));
                if (it != rep.counts.end()) {
                    sum.nRequests += it->second.nRequests;
                    sum.nUnauthorized += it->second.nUnauthorized;
                    sum.nConnections += it->second.nConnections;
                    sum.nFullHandshakes += it->second.nFullHandshakes;
                    sum.nResumed += it->second.nResumed;
                }
                nClient += rep.results[i][c][r].nConnections;
            }
            const std::string sTls =
                row.bTls ? per(sum.nFullHandshakes) + " / " + per(sum.nResumed) : "—";
            std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", row.pszTitle, kClientName[c],
                        per(sum.nRequests).c_str(), per(sum.nUnauthorized).c_str(),
                        per(sum.nConnections).c_str(), sTls.c_str(), per(nClient).c_str());
        }
    }
}

// A client's per-snapshot median over the rounds of what get gives for a run.
template <typename Get>
std::string PerSnapshot(const Report& rep, size_t i, int c, double dScale, int nDigits, Get get) {
    std::vector<double> v;
    for (const Outcome& o : rep.results[i][c]) {
        if (o.bOk) {
            v.push_back(get(o) * dScale / rep.nSnapshots);
        }
    }
    return v.empty() ? std::string(kNone) : Fixed(Median(v), nDigits);
}

// Where a keep-alive snapshot's time goes, as the application sees it, beside
// the other clients' time per snapshot; then each client's processor time
// and context switches per snapshot (all threads of the client process).
void PrintPhases(const Report& rep) {
    std::printf("\n### Time per snapshot, µs (medians of the rounds); library keep-alive in "
                "phases\n\n| row | library keep-alive | in SendRequest | from its return to the "
                "whole body | from there to the receiver's end | library without keep-alive | "
                "libcurl one handle |\n|---|---:|---:|---:|---:|---:|---:|\n");
    for (size_t i = 0; i < rep.rows.size(); ++i) {
        if (rep.rows[i].bFirstPart) {
            continue;
        }
        auto us = [&](int c, double Outcome::*pField) {
            return PerSnapshot(rep, i, c, 1e6, 0, [&](const Outcome& o) { return o.*pField; });
        };
        std::printf(
            "| %s | %s | %s | %s | %s | %s | %s |\n", rep.rows[i].pszTitle,
            us(kKeepAlive, &Outcome::dSeconds).c_str(), us(kKeepAlive, &Outcome::dSend).c_str(),
            us(kKeepAlive, &Outcome::dBody).c_str(), us(kKeepAlive, &Outcome::dEndWait).c_str(),
            us(kWithout, &Outcome::dSeconds).c_str(), us(kCurl, &Outcome::dSeconds).c_str());
    }
    std::printf("\n### Client process per snapshot: processor time, µs / context switches "
                "(medians of the rounds)\n\n| row | library keep-alive | library without "
                "keep-alive | libcurl one handle |\n|---|---:|---:|---:|\n");
    for (size_t i = 0; i < rep.rows.size(); ++i) {
        if (rep.rows[i].bFirstPart) {
            continue;
        }
        std::string cells[3];
        for (int c = 0; c < 3; ++c) {
            cells[c] = PerSnapshot(rep, i, c, 1e6, 0, [](const Outcome& o) { return o.dCpu; }) +
                       " / " + PerSnapshot(rep, i, c, 1, 1, [](const Outcome& o) {
                           return static_cast<double>(o.nSwitches);
                       });
        }
        std::printf("| %s | %s | %s | %s |\n", rep.rows[i].pszTitle, cells[0].c_str(),
                    cells[1].c_str(), cells[2].c_str());
    }
}

} // namespace

std::string Tag(const Row& row, int nClient, const std::string& sRound) {
    return std::string(row.pszName) + "-" + kClientTag[nClient] + "-" + sRound;
}

double Figure(const Row& row, const Outcome& o, int nSnapshots, bool bFromOpen) {
    return row.bFirstPart ? 1000 * (bFromOpen ? o.dFromOpen : o.dSeconds) : nSnapshots / o.dSeconds;
}

std::string Fixed(double v, int nDigits) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.*f", nDigits, v);
    return sz;
}

void PrintReport(const Report& rep, int nFailed) {
    const bool bCurl = Has(rep, kCurl);
    std::printf("\n### Medians of %d rounds\n\n| row | unit | %s | %s | %s | keep-alive/libcurl | "
                "keep-alive/without |\n|---|---|---:|---:|---:|---:|---:|\n",
                rep.nRounds, kClientName[0], kClientName[1], kClientName[2]);
    std::vector<std::string> ratioRows;
    std::vector<std::string> goals;
    for (size_t i = 0; i < rep.rows.size(); ++i) {
        const Row& row = rep.rows[i];
        for (int nFromOpen = 0; nFromOpen < (row.bFirstPart ? 2 : 1); ++nFromOpen) {
            const bool bFromOpen = nFromOpen != 0;
            const std::string sTitle =
                row.bFirstPart ? std::string(row.pszTitle) +
                                     (bFromOpen ? ", library from OpenEx" : ", from SendRequest")
                               : row.pszTitle;
            std::string sCurlRounds = "—";
            std::string sWithoutRounds;
            const double dCurl =
                bCurl ? Ratios(rep, i, kKeepAlive, kCurl, bFromOpen, &sCurlRounds) : -1;
            const double dWithout =
                Ratios(rep, i, kKeepAlive, kWithout, bFromOpen, &sWithoutRounds);
            std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", sTitle.c_str(),
                        row.bFirstPart ? "ms" : "snapshots/s",
                        MedianFigure(rep, i, kKeepAlive, bFromOpen).c_str(),
                        MedianFigure(rep, i, kWithout, bFromOpen).c_str(),
                        bCurl ? MedianFigure(rep, i, kCurl, false).c_str() : "—",
                        bCurl ? RatioText(dCurl).c_str() : "—", RatioText(dWithout).c_str());
            ratioRows.push_back("| " + sTitle + " | " + sCurlRounds + " | " +
                                (bCurl ? RatioText(dCurl) : "—") + " | " + sWithoutRounds + " | " +
                                RatioText(dWithout) + " |");
            if (!bCurl || bFromOpen) {
                continue;
            }
            const bool bMet = row.bFirstPart ? dCurl > 0 && dCurl <= 1.0 : dCurl >= 1.0;
            const std::string sValue = dCurl < 0 ? "no verified pair" : Fixed(dCurl, 2);
            goals.push_back(row.bFirstPart
                                ? "goal: time to the first part over https + Digest at most "
                                  "libcurl's (library/libcurl at most 1.0): " +
                                      sValue + (bMet ? ", met" : ", NOT met")
                                : "goal: polling with keep-alive at least 1.0 x libcurl's reused "
                                  "handle, " +
                                      std::string(row.pszTitle) + ": " + sValue +
                                      (bMet ? ", met" : ", NOT met"));
        }
    }
    std::printf("\n### Ratios per round (keep-alive / other; first part: above 1 = library "
                "slower)\n\n| row | keep-alive/libcurl by round | median | keep-alive/without by "
                "round | median |\n|---|---|---:|---|---:|\n");
    for (const std::string& s : ratioRows) {
        std::printf("%s\n", s.c_str());
    }
    PrintServerView(rep);
    PrintPhases(rep);
    int nEarly = 0;
    for (size_t i = 0; i < rep.rows.size(); ++i) {
        for (const Outcome& o : rep.results[i][kKeepAlive]) {
            nEarly += o.nEndedEarly;
        }
    }
    if (nEarly > 0) {
        std::printf("\nnote: %d times OXR_HTTP_GetStreamState said HTTP_STREAM_ENDED with the "
                    "reason HTTP_END_NONE after a whole body; the reason came a moment later\n",
                    nEarly);
    }
    std::printf("\n");
    for (const std::string& s : goals) {
        std::printf("%s\n", s.c_str());
    }
    std::printf(
        "\n%s\n",
        nFailed == 0
            ? "every body verified"
            : (std::to_string(nFailed) + " runs FAILED verification and are not counted").c_str());
}

} // namespace bench
