#include "request/stat_report.h"

#include <cstring>
#include <string_view>

#include "request/counters.h"
#include "request/response.h"
#include "store/memory_budget.h"

namespace pendrakel {

bool IsStatRequest(const char* method) {
  return std::strcmp(method, "STAT") == 0;
}

void SendStatReport(EXTENSION_CONTROL_BLOCK* ecb, const MemoryBudget& budget,
                    Counters& counters) {
  // All lines together stay far below the block's size: none is refused.
  Response response(ecb);
  response.AddNumber("X-Memory-Total", budget.total());
  for (const CounterInfo& counter : kCounterInfo) {
    response.AddNumber(counter.line, counters.Read(counter.counter));
  }
  response.SendWithoutBody(Status::kOk);
  counters.Add(Counter::kCmdStat);
}

}  // namespace pendrakel
