#include "progress.h"

#include <cstdio>

namespace {

std::string Format(const char* pszFormat, double a, double b = 0, double c = 0) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), pszFormat, a, b, c);
    return buf;
}

std::string Plural(long long n, const char* pszWord) {
    return std::to_string(n) + " " + pszWord + (n == 1 ? "" : "s");
}

double PerSecond(long long n, long long nMs) {
    return nMs > 0 ? static_cast<double>(n) * 1000.0 / static_cast<double>(nMs) : 0.0;
}

} // namespace

std::string HumanBytes(long long nBytes) {
    const double d = static_cast<double>(nBytes);
    if (nBytes < 1024) {
        return std::to_string(nBytes) + " B";
    }
    if (nBytes < 1024 * 1024) {
        return Format("%.1f KB", d / 1024);
    }
    return Format("%.1f MB", d / (1024 * 1024));
}

std::string StatusLine(const SinkStats& stats, const TransferState& state) {
    const double dSeconds = static_cast<double>(state.nElapsedMs) / 1000.0;
    if (state.bMultipart) {
        std::string line =
            "  " + std::to_string(stats.nParts) + " parts  " + HumanBytes(stats.nBytes) +
            Format("  %.1f parts/s  %.1f s", PerSecond(stats.nParts, state.nElapsedMs), dSeconds);
        if (state.bReconnecting) {
            line += "  reconnecting after " + stats.lastReconnect + " (" +
                    std::to_string(stats.nReconnects) + " so far)";
        } else if (stats.nReconnects > 0) {
            line += "  " + Plural(stats.nReconnects, "reconnect") +
                    " (last: " + stats.lastReconnect + ")";
        }
        return line;
    }
    std::string line = "  " + HumanBytes(stats.nBytes);
    if (state.nContentLength >= 0) {
        line += " of " + HumanBytes(state.nContentLength);
    }
    return line + "  " +
           HumanBytes(static_cast<long long>(PerSecond(stats.nBytes, state.nElapsedMs))) +
           Format("/s  %.1f s", dSeconds);
}

std::vector<std::string> SummaryLines(const SinkStats& stats, const TransferState& state,
                                      const std::string& endText, const std::string& savedIn) {
    std::vector<std::string> lines;
    const double dSeconds = static_cast<double>(state.nElapsedMs) / 1000.0;
    const std::string rate =
        HumanBytes(static_cast<long long>(PerSecond(stats.nBytes, state.nElapsedMs))) + "/s";
    if (state.bMultipart) {
        std::string line = "received " + Plural(stats.nParts, "part");
        std::string types;
        for (const std::string& t : stats.types) {
            types += (types.empty() ? "" : ", ") + (t.empty() ? std::string("no type") : t);
        }
        if (!types.empty()) {
            line += " (" + types + ")";
        }
        line += ", " + HumanBytes(stats.nBytes) + Format(" in %.2f s", dSeconds);
        if (state.nElapsedMs > 0) {
            line += Format(": %.1f parts/s, ", PerSecond(stats.nParts, state.nElapsedMs)) + rate;
        }
        lines.push_back(line);
    } else {
        std::string line = "received " + HumanBytes(stats.nBytes) + Format(" in %.2f s", dSeconds);
        if (state.nElapsedMs > 0) {
            line += ", " + rate;
        }
        lines.push_back(line);
    }
    if (stats.nFirstMs >= 0) {
        std::string line = "first data " + std::to_string(stats.nFirstMs) + " ms after the request";
        if (state.bMultipart && stats.nParts > 1) {
            line += Format("; between parts: mean %.0f ms, max %.0f ms", stats.dGapMeanMs,
                           static_cast<double>(stats.nGapMaxMs));
        }
        lines.push_back(line);
    }
    if (stats.nDropped > 0) {
        lines.push_back(Plural(stats.nDropped, "further part") + " arrived and dropped");
    }
    if (stats.bBinaryToTerminalSkipped) {
        lines.push_back("binary data not written to the terminal: use -o FILE or --parts DIR");
    }
    if (state.bReconnect) {
        // "reconnects: 3 (peer-closed 2, time-out 1)"
        std::string line = "reconnects: " + std::to_string(stats.nReconnects);
        for (size_t i = 0; i < stats.reconnectReasons.size(); ++i) {
            line += (i == 0 ? " (" : ", ") + stats.reconnectReasons[i].first + " " +
                    std::to_string(stats.reconnectReasons[i].second);
        }
        lines.push_back(line + (stats.reconnectReasons.empty() ? "" : ")"));
    }
    lines.push_back("ended: " + endText);
    if (!savedIn.empty()) {
        lines.push_back("saved in " + savedIn);
    }
    return lines;
}
