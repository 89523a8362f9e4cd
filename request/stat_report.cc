#include "request/stat_report.h"

#include <cstring>
#include <string_view>

#include "request/counters.h"
#include "request/header_block.h"
#include "request/host_calls.h"
#include "request/status.h"
#include "store/memory_budget.h"

namespace pendrakel {
namespace {

struct CounterLine {
  std::string_view name;
  std::atomic<uint32_t> Counters::*counter;
};

// In report order.
constexpr CounterLine kCounterLines[] = {
    {"X-Counter-CMD-Stat", &Counters::CmdStat},
    {"X-Counter-CMD-Get", &Counters::CmdGet},
    {"X-Counter-CMD-Get_OK", &Counters::CmdGetOk},
    {"X-Counter-CMD-Get-NotFound", &Counters::CmdGetNotFound},
    {"X-Counter-CMD-Set", &Counters::CmdSet},
    {"X-Counter-CMD-Set-OK", &Counters::CmdSetOk},
    {"X-Counter-CMD-Set-NoMemory", &Counters::CmdSetNoMemory},
    {"X-Counter-CMD-Del", &Counters::CmdDel},
    {"X-Counter-CMD-Nop", &Counters::CmdNop},
    {"X-Counter-CMD-Unknown", &Counters::CmdUnknown},
    {"X-Counter-ValuesCollect", &Counters::ValuesCollect},
    {"X-Counter-ValuesCreate", &Counters::ValuesCreate},
    {"X-Counter-ValuesError", &Counters::ValuesError},
    {"X-Counter-ValueCollect", &Counters::ValueCollect},
    {"X-Counter-ValueCreate", &Counters::ValueCreate},
    {"X-Counter-ValueReplace", &Counters::ValueReplace},
    {"X-Counter-ValueDelete", &Counters::ValueDelete},
    {"X-Counter-CookieDistribute", &Counters::CookieDistribute},
};

}  // namespace

bool IsStatRequest(const char* method) {
  return std::strcmp(method, "STAT") == 0;
}

void SendStatReport(EXTENSION_CONTROL_BLOCK* ecb, const MemoryBudget& budget,
                    Counters& counters) {
  // All lines together stay far below the block's size: none is refused.
  HeaderBlock block;
  block.AppendNumber("X-Memory-Total", budget.total());
  for (const CounterLine& line : kCounterLines) {
    block.AppendNumber(
        line.name, (counters.*line.counter).load(std::memory_order_relaxed));
  }
  block.Append(kContentLengthZero);
  block.Close();
  SendHead(ecb, kStatusOk, block);
  Count(counters.CmdStat);
}

}  // namespace pendrakel
