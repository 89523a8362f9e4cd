// The STAT report: the memory total and the eighteen counters as response
// header lines, with no body.
#ifndef PENDRAKEL_REQUEST_STAT_REPORT_H_
#define PENDRAKEL_REQUEST_STAT_REPORT_H_

#include "base/isapi.h"

namespace pendrakel {

class MemoryBudget;
class Counters;

// True when `method` is exactly "STAT" (case-sensitive, whole text).
bool IsStatRequest(const char* method);

// Builds and sends the report, then counts CmdStat. Reads no cookie and no
// body, and takes no lock: each number is read once as its line is written.
void SendStatReport(EXTENSION_CONTROL_BLOCK* ecb, const MemoryBudget& budget,
                    Counters& counters);

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_STAT_REPORT_H_
