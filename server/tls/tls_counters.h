// TlsCounters: one I/O thread's TLS handshakes, for the metrics page:
// completed (and of those, resumed from a ticket) and failed by reason.
// TlsFigures gathers every thread's counters with the certificate's expiry.
//
// Threads: each I/O thread owns one TlsCounters and is its only writer
// (relaxed atomics, no locked instruction); the admin thread
// reads them. TlsFigures::expires_at is written by the main thread (at
// start and at each reload) and read by the admin thread: a relaxed atomic,
// an independent figure.
#ifndef PENDRAKEL_SERVER_TLS_TLS_COUNTERS_H_
#define PENDRAKEL_SERVER_TLS_TLS_COUNTERS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pendrakel::server {

// Why a handshake failed, as the metrics page labels it.
enum class TlsFailure : uint8_t {
  kProtocol,     // no common version or cipher, not TLS at all, bad records
  kCertificate,  // the client refused the host's certificate
  kTimeout,      // not done within --head-timeout
  kOther,        // the client went away, or anything else
};
inline constexpr size_t kTlsFailureReasons = 4;
std::string_view TlsFailureName(TlsFailure failure);

// A count with one writer.
class TlsCount {
 public:
  void Add() {
    value_.store(value_.load(std::memory_order_relaxed) + 1,
                 std::memory_order_relaxed);
  }
  uint64_t Read() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

struct TlsCounters {
  TlsCount completed;
  TlsCount resumed;
  std::array<TlsCount, kTlsFailureReasons> failed;
};

struct TlsFigures {
  std::vector<const TlsCounters*> threads;
  // The certificate in use for new handshakes: its notAfter, seconds since
  // the epoch.
  std::atomic<int64_t> expires_at{0};
};

// The TLS families of the metrics page, appended to `page`.
void AppendTlsMetrics(const TlsFigures& figures, std::string& page);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_TLS_TLS_COUNTERS_H_
