// The words and numbers oxr-http shows: the live status line while a stream
// runs, and the summary at the end.
#ifndef OXR_CLI_PROGRESS_H
#define OXR_CLI_PROGRESS_H

#include <string>
#include <vector>

#include "delivery_sink.h"
#include "end_rules.h"

// "1.2 MB", "830 B"
std::string HumanBytes(long long nBytes);

// One line without line end, such as "  42 parts  512.0 KB  10.0 parts/s  4.2 s".
std::string StatusLine(const SinkStats& stats, const TransferState& state);

// The summary, one string per line, without line ends.
std::vector<std::string> SummaryLines(const SinkStats& stats, const TransferState& state,
                                      const std::string& endText, const std::string& savedIn);

#endif
