// The metrics page: the host's figures and the store's, in the Prometheus
// text exposition format (version 0.0.4), every family with its HELP and
// TYPE lines.
//
// The store's figures are its STAT report as it stands (the memory total as
// a gauge, each event counter as a counter); the host's are the gauges of
// ServerState and the sum of every I/O thread's TrafficCounters.
//
// A pure function of what it is given; called on the admin thread.
#ifndef PENDRAKEL_SERVER_ADMIN_METRICS_PAGE_H_
#define PENDRAKEL_SERVER_ADMIN_METRICS_PAGE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/admin/stat_probe.h"
#include "server/io/event_loop.h"
#include "server/io/server_state.h"
#include "server/io/traffic_counters.h"

namespace pendrakel::server {

inline constexpr std::string_view kMetricsContentType =
    "text/plain; version=0.0.4";

// "X-Counter-CMD-Get_OK" gives "cmd_get_ok", "X-Counter-ValuesCollect"
// gives "values_collect": the metric name's part for a STAT line.
std::string MetricNamePart(std::string_view stat_line_name);

std::string RenderMetrics(const ServerState& state,
                          const std::vector<const TrafficCounters*>& threads,
                          IoBackend backend, const StatReport& store,
                          uint64_t stat_probes, uint64_t log_lines_dropped);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_ADMIN_METRICS_PAGE_H_
