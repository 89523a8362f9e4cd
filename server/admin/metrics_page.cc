#include "server/admin/metrics_page.h"

#include <cctype>
#include <cstdio>

namespace pendrakel::server {
namespace {

constexpr std::string_view kCounterPrefix = "X-Counter-";

class Page {
 public:
  void Family(std::string_view name, std::string_view type,
              std::string_view help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  void Sample(std::string_view name, std::string_view labels,
              std::string_view value) {
    text_ += name;
    if (!labels.empty()) {
      text_ += '{';
      text_ += labels;
      text_ += '}';
    }
    text_ += ' ';
    text_ += value;
    text_ += '\n';
  }
  void Sample(std::string_view name, std::string_view labels, uint64_t value) {
    Sample(name, labels, std::to_string(value));
  }
  void One(std::string_view name, std::string_view type, std::string_view help,
           uint64_t value) {
    Family(name, type, help);
    Sample(name, "", value);
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

// One count summed over every I/O thread: a field of TrafficCounters, or an
// element of one of its arrays.
template <typename Field>
uint64_t Sum(const std::vector<const TrafficCounters*>& threads, Field field) {
  uint64_t total = 0;
  for (const TrafficCounters* t : threads) total += field(*t).Read();
  return total;
}

uint64_t Sum(const std::vector<const TrafficCounters*>& threads,
             OwnedCount TrafficCounters::*field) {
  return Sum(threads, [field](const TrafficCounters& t) -> const OwnedCount& {
    return t.*field;
  });
}

bool IsNumber(std::string_view text) {
  return !text.empty() && text.size() <= 20 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", seconds);
  return text;
}

void StoreFamilies(Page& page, const StatReport& store, uint64_t probes) {
  page.One("pendrakel_store_up", "gauge",
           "1 when the store answered the STAT request of this scrape",
           store.status_text.empty() ? 0 : 1);
  page.One("pendrakel_store_stat_probes_total", "counter",
           "STAT requests sent to the store by scrapes (each is counted in "
           "the store's own cmd_stat counter too)",
           probes);
  for (const auto& [name, value] : store.lines) {
    if (!IsNumber(value)) continue;  // not a figure: nothing to export
    if (name == "X-Memory-Total") {
      page.Family("pendrakel_store_memory_bytes", "gauge",
                  "Bytes of stored values charged to the memory budget "
                  "(STAT X-Memory-Total)");
      page.Sample("pendrakel_store_memory_bytes", "", value);
    } else if (name.rfind(kCounterPrefix, 0) == 0) {
      const std::string metric =
          "pendrakel_store_" + MetricNamePart(name) + "_total";
      page.Family(metric, "counter", "Store events (STAT " + name + ")");
      page.Sample(metric, "", value);
    }
  }
}

void ConnectionFamilies(Page& page, const ServerState& state, size_t io_threads,
                        IoBackend backend) {
  page.Family("pendrakel_io_threads", "gauge",
              "I/O threads, by the event loop they run");
  page.Sample("pendrakel_io_threads",
              "loop=\"" + std::string(BackendName(backend)) + "\"", io_threads);
  page.One("pendrakel_connections_open", "gauge", "Client connections open",
           static_cast<uint64_t>(state.connections.open()));
  page.One("pendrakel_connections_accepted_total", "counter",
           "Client connections accepted", state.connections.accepted());
  page.One("pendrakel_connections_refused_total", "counter",
           "Client connections turned away at the connection limit (503)",
           state.connections.refused());
  page.One("pendrakel_requests_parked", "gauge",
           "Requests waiting for a slow client",
           static_cast<uint64_t>(
               state.parked_requests.load(std::memory_order_relaxed)));
  page.One("pendrakel_uploads_in_progress", "gauge",
           "Uploads holding part of the in-progress budget",
           static_cast<uint64_t>(state.uploads.uploads()));
  page.One("pendrakel_upload_declared_bytes", "gauge",
           "Body bytes reserved by uploads in progress", state.uploads.bytes());
}

void RequestFamilies(Page& page,
                     const std::vector<const TrafficCounters*>& threads) {
  page.Family("pendrakel_http_requests_total", "counter",
              "Requests answered, by status code");
  constexpr size_t kSlots = kLastCountedStatus - kFirstCountedStatus + 1;
  for (size_t slot = 0; slot < kSlots; ++slot) {
    const uint64_t count =
        Sum(threads, [slot](const TrafficCounters& t) -> const OwnedCount& {
          return t.by_status[slot];
        });
    if (count == 0) continue;
    page.Sample("pendrakel_http_requests_total",
                "code=\"" + std::to_string(slot + kFirstCountedStatus) + "\"",
                count);
  }
  const char* kDuration = "pendrakel_http_request_duration_seconds";
  page.Family(kDuration, "histogram",
              "Time the module took for a request, from its head to its "
              "return");
  uint64_t cumulative = 0;
  for (size_t b = 0; b <= kDurationBucketSeconds.size(); ++b) {
    cumulative += Sum(
        threads, [b](const TrafficCounters& t) -> const auto& {
          return t.duration_buckets[b];
        });
    const std::string le = b < kDurationBucketSeconds.size()
                               ? Seconds(kDurationBucketSeconds[b])
                               : "+Inf";
    page.Sample(std::string(kDuration) + "_bucket", "le=\"" + le + "\"",
                cumulative);
  }
  const uint64_t nanoseconds =
      Sum(threads, &TrafficCounters::duration_nanoseconds);
  page.Sample(std::string(kDuration) + "_sum", "", Seconds(nanoseconds / 1e9));
  page.Sample(std::string(kDuration) + "_count", "", cumulative);
}

void ByteAndLimitFamilies(Page& page, const ServerState& state,
                          const std::vector<const TrafficCounters*>& threads) {
  page.One("pendrakel_http_received_bytes_total", "counter",
           "Bytes received from clients",
           Sum(threads, &TrafficCounters::bytes_received));
  page.One("pendrakel_http_sent_bytes_total", "counter",
           "Bytes sent to clients", Sum(threads, &TrafficCounters::bytes_sent));
  const char* kLimits = "pendrakel_limit_hits_total";
  page.Family(kLimits, "counter",
              "Answers the host gave for a limit: 408 time-out or too slow, "
              "413 body, 431 head, 503 connections or uploads");
  page.Sample(kLimits, "code=\"408\"",
              Sum(threads, &TrafficCounters::timeouts));
  page.Sample(kLimits, "code=\"413\"",
              Sum(threads, &TrafficCounters::bodies_too_large));
  page.Sample(kLimits, "code=\"431\"",
              Sum(threads, &TrafficCounters::heads_too_large));
  page.Sample(kLimits, "code=\"503\"",
              Sum(threads, &TrafficCounters::unavailable) +
                  state.connections.refused());
}

}  // namespace

std::string MetricNamePart(std::string_view stat_line_name) {
  if (stat_line_name.rfind(kCounterPrefix, 0) == 0)
    stat_line_name.remove_prefix(kCounterPrefix.size());
  std::string part;
  char previous = '\0';
  for (const char c : stat_line_name) {
    const bool upper = std::isupper(static_cast<unsigned char>(c)) != 0;
    if (c == '-' || c == '_') {
      if (!part.empty() && part.back() != '_') part += '_';
    } else if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      if (upper && std::islower(static_cast<unsigned char>(previous)) != 0)
        part += '_';
      part += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    previous = c;
  }
  return part;
}

std::string RenderMetrics(const ServerState& state,
                          const std::vector<const TrafficCounters*>& threads,
                          IoBackend backend, const StatReport& store,
                          uint64_t stat_probes, uint64_t log_lines_dropped) {
  Page page;
  StoreFamilies(page, store, stat_probes);
  ConnectionFamilies(page, state, threads.size(), backend);
  RequestFamilies(page, threads);
  ByteAndLimitFamilies(page, state, threads);
  page.One("pendrakel_access_log_dropped_lines_total", "counter",
           "Access log lines dropped because the writer fell behind",
           log_lines_dropped);
  return page.Take();
}

}  // namespace pendrakel::server
