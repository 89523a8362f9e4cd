#include "server/tls/tls_counters.h"

namespace pendrakel::server {
namespace {

void Family(std::string& page, std::string_view name, std::string_view type,
            std::string_view help) {
  page.append("# HELP ").append(name).append(" ").append(help);
  page.append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& page, std::string_view name, std::string_view labels,
            int64_t value) {
  page.append(name);
  if (!labels.empty()) page.append("{").append(labels).append("}");
  page.append(" ").append(std::to_string(value)).append("\n");
}

template <typename Field>
int64_t Sum(const TlsFigures& figures, Field field) {
  uint64_t total = 0;
  for (const TlsCounters* t : figures.threads) total += field(*t).Read();
  return static_cast<int64_t>(total);
}

}  // namespace

std::string_view TlsFailureName(TlsFailure failure) {
  switch (failure) {
    case TlsFailure::kProtocol:
      return "protocol";
    case TlsFailure::kCertificate:
      return "certificate";
    case TlsFailure::kTimeout:
      return "timeout";
    case TlsFailure::kOther:
      break;
  }
  return "other";
}

void AppendTlsMetrics(const TlsFigures& figures, std::string& page) {
  Family(page, "pendrakel_tls_handshakes_total", "counter",
         "TLS handshakes completed.");
  Sample(
      page, "pendrakel_tls_handshakes_total", "",
      Sum(
          figures, [](const TlsCounters& t) -> auto& { return t.completed; }));
  Family(page, "pendrakel_tls_resumed_handshakes_total", "counter",
         "TLS handshakes completed by resuming a session from a ticket.");
  Sample(page, "pendrakel_tls_resumed_handshakes_total", "",
         Sum(
             figures, [](const TlsCounters& t) -> auto& { return t.resumed; }));
  Family(page, "pendrakel_tls_handshake_failures_total", "counter",
         "TLS handshakes that failed, by reason.");
  for (size_t i = 0; i < kTlsFailureReasons; ++i) {
    const std::string label =
        "reason=\"" + std::string(TlsFailureName(static_cast<TlsFailure>(i))) +
        "\"";
    Sample(page, "pendrakel_tls_handshake_failures_total", label,
           Sum(
               figures, [i](const TlsCounters& t) -> auto& {
                 return t.failed[i];
               }));
  }
  Family(page, "pendrakel_tls_certificate_expiry_seconds", "gauge",
         "When the certificate new handshakes use expires, in seconds since "
         "the epoch.");
  Sample(page, "pendrakel_tls_certificate_expiry_seconds", "",
         figures.expires_at.load(std::memory_order_relaxed));
}

}  // namespace pendrakel::server
