#include "request/stat_report.h"

#include <cstring>
#include <string_view>

#include "request/counters.h"
#include "request/header_block.h"
#include "request/host_calls.h"
#include "request/status.h"
#include "store/memory_budget.h"

namespace pendrakel {

bool IsStatRequest(const char* method) {
  return std::strcmp(method, "STAT") == 0;
}

void SendStatReport(EXTENSION_CONTROL_BLOCK* ecb, const MemoryBudget& budget,
                    Counters& counters) {
  // All lines together stay far below the block's size: none is refused.
  HeaderBlock block;
  block.AppendNumber("X-Memory-Total", budget.total());
  for (const CounterInfo& counter : kCounterInfo) {
    block.AppendNumber(
        counter.line,
        (counters.*counter.field).load(std::memory_order_relaxed));
  }
  block.Append(kContentLengthZero);
  block.Close();
  SendHead(ecb, kStatusOk, block);
  Count(counters.CmdStat);
}

}  // namespace pendrakel
