// What bench_soak prints at the end: the figures per drop interval and
// between drops, the counts, and the goals.
#ifndef OXR_BENCH_SOAK_REPORT_H
#define OXR_BENCH_SOAK_REPORT_H

#include "soak_client.h"

namespace soak {

// Resident memory after the last drop may exceed that after the first by at
// most this much for "flat".
const long kRssSlackKb = 2 * 1024;

// Prints the tables and the goals; true when every goal is met.
bool PrintReport(const SoakOptions& o, const Outcome& r);

} // namespace soak

#endif // OXR_BENCH_SOAK_REPORT_H
