// AccessLog: one line per request (--access-log PATH, or - for standard
// output), in the combined log format with the time the request took, in
// microseconds, added at the end:
//
//   127.0.0.1 - - [08/Dec/2026:10:15:42 +0000] "GET /greeting HTTP/1.1" 200 5
//   "-" "curl/7.88.1" 112
//
// and on the TLS port two fields more, the protocol and the cipher:
// `... 112 TLSv1.3 TLS_AES_256_GCM_SHA384`.
//
// (one line): client address, identity and user (always "-"), the time the
// request's head was complete, the request line as sent, the status, the
// body bytes sent ("-" for none), Referer and User-Agent, microseconds. Bytes
// outside printable ASCII, '"' and '\' in the quoted fields are written as
// \xHH, so a client cannot forge a line. Each of the three quoted fields
// keeps at most kMaxLoggedFieldBytes of what was sent (then "..."), so a
// line stays short whatever a client sends. A request line that could not
// be parsed is written as sent.
//
// I/O threads never wait for the disk: each formats its lines into a
// LogBuffer of its own and hands them over in batches (kLogHandOverBytes, or
// at its sweep, four times a second) to the writer thread, which writes
// about ten times a second; so lines of different threads may come out of
// order within that half second. A thread whose unwritten lines reach
// kMaxBufferedLogBytes drops further lines (counted, and shown on the
// metrics page) until the writer has caught up. Reopen (on SIGHUP) makes
// the writer close and open the file again, for log rotation.
//
// Threads: Open, Start and Stop on the main thread; LogBuffer::Append on its
// I/O thread; Reopen from any thread; the writer thread does the I/O.
#ifndef PENDRAKEL_SERVER_OPS_ACCESS_LOG_H_
#define PENDRAKEL_SERVER_OPS_ACCESS_LOG_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace pendrakel::server {

class RequestHead;

class LogBuffer {
 public:
  // One request's line. `head` is null when the request was refused before
  // its head was read; `body_bytes` < 0 writes "-". `tls`: on the TLS port,
  // the protocol and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256"), written as
  // two more fields at the end; empty on the plain port, which adds none.
  void Write(std::string_view client, const RequestHead* head, int status,
             int64_t body_bytes, uint64_t microseconds,
             std::string_view tls = {});
  // Hands the lines gathered so far to the writer. On the buffer's I/O
  // thread, or on any thread once that one has ended.
  void HandOver() EXCLUDES(mutex_);

  // The writer's side: everything handed over so far.
  void TakeInto(std::string& out) EXCLUDES(mutex_);
  // Lines dropped for a full buffer; atomic, so that any thread may read it.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::string gathered_;  // the I/O thread's lines not handed over yet
  Mutex mutex_;
  std::string pending_ GUARDED_BY(mutex_);
  std::atomic<uint64_t> dropped_{0};
};

class AccessLog {
 public:
  // Opens `path` for appending ("-": standard output). Null with a
  // one-line `error` when it cannot be opened.
  static std::unique_ptr<AccessLog> Open(const std::string& path,
                                         size_t threads, std::string& error);
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  LogBuffer& buffer(size_t thread) { return *buffers_[thread]; }
  // Lines dropped so far by all the threads' buffers; any thread.
  uint64_t dropped_lines() const;

  void Start();
  // Writes what is buffered and ends the writer. Idempotent.
  // REQUIRES: the I/O threads have ended.
  void Stop() EXCLUDES(mutex_);
  // Asks the writer to open the file again (SIGHUP).
  void Reopen() EXCLUDES(mutex_);

 private:
  AccessLog(std::string path, int fd, size_t threads);
  void Run() EXCLUDES(mutex_);
  void WriteOut(const std::string& text);

  const std::string path_;
  int fd_;  // writer thread only, once started
  std::vector<std::unique_ptr<LogBuffer>> buffers_;
  std::thread writer_;
  Mutex mutex_;
  std::condition_variable_any wake_;
  bool stop_ GUARDED_BY(mutex_) = false;
  bool reopen_ GUARDED_BY(mutex_) = false;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_OPS_ACCESS_LOG_H_
