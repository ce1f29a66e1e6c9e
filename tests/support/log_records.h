// Reads back what the log sink wrote to the standard error stream. Header
// only: it needs the library's internal log header, which only the test
// programs see.
#ifndef LOG_RECORDS_H
#define LOG_RECORDS_H

#include <cctype>
#include <string>
#include <vector>

#include "http_log.h"
#include "stderr_capture.h"

namespace log_records_detail {

// "LABEL STAMP FILE:LINEmessage" -> "LABEL FILE: message"; other lines as they are.
inline std::string Shorten(const std::string& line) {
    size_t nLabelEnd = line.find(' ');
    size_t nStampEnd = nLabelEnd == std::string::npos ? nLabelEnd : line.find(' ', nLabelEnd + 1);
    if (nStampEnd == std::string::npos) {
        return line;
    }
    size_t nColon = line.find(':', nStampEnd + 1);
    if (nColon == std::string::npos) {
        return line;
    }
    size_t nMsg = nColon + 1;
    while (nMsg < line.size() && std::isdigit(static_cast<unsigned char>(line[nMsg]))) {
        ++nMsg;
    }
    return line.substr(0, nLabelEnd) + " " + line.substr(nStampEnd + 1, nColon - nStampEnd - 1) +
           ": " + line.substr(nMsg);
}

} // namespace log_records_detail

// One entry per record, "LABEL file: message" without the time stamp, the
// line number and the final line feed, e.g.
// "HTTP_LOG_DEBUG Http/src/http_parse.cpp: FindHeader Return NULL, cannot find header".
inline std::vector<std::string> LogRecords(const std::string& text) {
    std::vector<std::string> records;
    size_t nStart = 0;
    while (nStart < text.size()) {
        size_t nEnd = text.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = text.size();
        }
        records.push_back(log_records_detail::Shorten(text.substr(nStart, nEnd - nStart)));
        nStart = nEnd + 1;
    }
    return records;
}

// Runs f with the library's log at level 2 (every record, to the standard
// error stream) and returns the records it wrote; logging is off afterwards.
template <class F> std::vector<std::string> LoggedBy(F f) {
    g_cHttpLog.SetLevel(2);
    StderrCapture cap;
    f();
    std::string text = cap.Finish();
    g_cHttpLog.SetLevel(-1);
    return LogRecords(text);
}

#endif // LOG_RECORDS_H
