// The limits of pendrakel-host: every bound the host puts on a client or on
// itself, with its unit in its name, in one place. First the defaults of the
// flags (server/options.h), which follow what the well-known servers do and
// are chosen so that one misbehaving client can cost the host only a bounded
// amount of memory and time, and never a thread; then the fixed bounds of
// connections, of the I/O threads, of the process, of the admin port and of
// the access log. server/README.md lists them all.
//
// Constants only; no state, safe from any thread.
#ifndef PENDRAKEL_SERVER_LIMITS_H_
#define PENDRAKEL_SERVER_LIMITS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pendrakel::server {

// A request head (request line and header fields) larger than this is
// answered 431 and the connection closed. Flag --max-head.
inline constexpr size_t kDefaultMaxHeadBytes = 16 * 1024;
// The smallest and largest head limit the flag accepts.
inline constexpr size_t kMinHeadLimitBytes = 1024;
inline constexpr size_t kMaxHeadLimitBytes = 1024 * 1024;

// A request body (declared by Content-Length or decoded from chunks) larger
// than this is answered 413 without calling the extension. Flag --max-body.
inline constexpr uint64_t kDefaultMaxBodyBytes = 64ull * 1024 * 1024;
// cbTotalBytes is 32 bits wide and its all-ones value is reserved, so no
// body can be longer than this.
inline constexpr uint64_t kMaxBodyCeilingBytes = 4294967294ull;

// Body bytes gathered before the extension is called (lpbData/cbAvailable).
// A body no longer than this is read completely without holding a thread.
// Flag --preload.
inline constexpr size_t kDefaultPreloadBytes = 48 * 1024;
inline constexpr size_t kMaxPreloadBytes = 16 * 1024 * 1024;

// A client sending a body must send at least the minimum upload rate over
// every window of this length (and something in each): else it is answered
// 408 and closed, and ReadClient fails. Flag --read-timeout.
inline constexpr std::chrono::seconds kDefaultReadTimeout{30};
// The minimum upload rate in bytes per second, averaged over a read
// time-out window; 0 leaves only the silence rule. Flag --min-upload-rate.
inline constexpr uint64_t kDefaultMinUploadRate = 1024;
// The rate in bytes per second that a body of declared length must average
// over its whole length: it must be complete a read time-out plus its
// length at this rate after its head (else 408), so that the memory it
// reserved for its length (the store's, the upload budget's) is held for a
// bounded time: 64 MiB at most about 68 minutes. 0 sets no such deadline.
// Flag --min-upload-average.
inline constexpr uint64_t kDefaultMinUploadAverage = 16 * 1024;
// Body bytes of uploads in progress, host-wide: the Content-Length declared
// past the preload (which the extension receives straight into its memory)
// and chunked bodies gathered so far. An upload beyond it waits for room up
// to the read time-out (trying again at each sweep), then is answered 503;
// the only upload in progress is never refused. Flag --max-upload-bytes.
inline constexpr uint64_t kDefaultMaxUploadBytes = 1024ull * 1024 * 1024;
// A client that takes no response byte for this long is dropped; a response
// that keeps moving may take as long as it needs. Flag --write-timeout.
inline constexpr std::chrono::seconds kDefaultWriteTimeout{30};
// A request head must be complete this long after its first byte (and a new
// connection must deliver its first head within it). Flag --head-timeout.
inline constexpr std::chrono::seconds kDefaultHeadTimeout{20};
// A kept-alive connection that starts no new request for this long is
// closed. Flag --idle-timeout.
inline constexpr std::chrono::seconds kDefaultIdleTimeout{60};
// Connections open at once; one more is answered 503 and closed.
// Flag --max-connections.
inline constexpr int kDefaultMaxConnections = 4096;
// Body bytes that the extension left unread are read and dropped up to this
// count so that the connection can be kept; a longer rest closes it, and so
// does a rest sent slower than the minimum upload rate. Flag --drain-limit.
inline constexpr uint64_t kDefaultDrainLimitBytes = 1024 * 1024;
// On SIGINT/SIGTERM, requests in progress get this long to finish before
// their client I/O is cut. Flag --shutdown-grace.
inline constexpr std::chrono::seconds kDefaultShutdownGrace{5};
// After the grace, the time extension calls still get to return once their
// client I/O has been cut; past it the process exits without unloading.
inline constexpr std::chrono::seconds kShutdownHardBound{10};
// The most I/O threads --threads takes.
inline constexpr int kMaxThreads = 1024;
// The stack of each request's fiber (mapped with a guard page; only the pages
// a call touches become resident), and how many finished stacks each I/O
// thread keeps for the next requests.
inline constexpr size_t kFiberStackBytes = 256 * 1024;
inline constexpr size_t kFiberStacksKept = 64;
// Fiber stacks mapped at once, process-wide (so requests parked waiting for
// their client, plus those running and the cached stacks). Each costs two
// memory mappings (the stack and its guard page); the bound in force is
// lowered at start so that they take at most a share of vm.max_map_count,
// leaving the rest to the module and the host. A request past it is
// answered 503 and its connection closed.
inline constexpr size_t kMaxFiberStacks = 16384;
inline constexpr size_t kMappingsPerFiberStack = 2;
inline constexpr uint64_t kMapCountShareForStacks = 2;  // one half

// ---- connections and requests ----

// A chunk-size line (with its extensions) or the trailer section of a chunked
// body may not be longer than this: 400 and close.
inline constexpr size_t kMaxChunkLineBytes = 4096;
// Responses answered from one read before they are sent: the bound on the
// pipelined responses a connection holds back.
inline constexpr size_t kMaxPipelinedResponses = 16;
// Buffered response bytes past which the host sends before answering more
// pipelined requests.
inline constexpr size_t kFlushThresholdBytes = 64 * 1024;
// WriteClient copies a body up to this size into the connection's output
// buffer (sent with the head in one system call); larger ones are sent
// straight from the extension's memory, the fiber parking while the client
// is slow.
inline constexpr size_t kCoalesceBodyBytes = 16 * 1024;
// The output buffer a connection has from its first answer on: room for a
// small answer, so that its head does not grow the buffer piece by piece
// and a connection closed after one request grows it no further.
inline constexpr size_t kInitialOutputBufferBytes = 1024;
// A request head's text and fields start with room for this much, enough
// for a usual head; they keep what they grew to.
inline constexpr size_t kInitialHeadArenaBytes = 512;
inline constexpr size_t kInitialHeadFields = 16;
// Buffers that grew beyond this for one request are given back after it, so
// an idle connection holds little memory.
inline constexpr size_t kRetainedBufferBytes = 64 * 1024;
// After a last answer with request bytes still coming (a refusal, or a body
// too long to drain) the host reads and drops what the client still sends,
// so that a client that reads only once it has sent everything sees the
// answer instead of a reset: for at most kLingerTimeout in all, as long as
// a byte comes every kLingerSilenceTimeout, and up to kLingerMaxBytes (the
// default largest body).
inline constexpr std::chrono::seconds kLingerTimeout{30};
inline constexpr std::chrono::seconds kLingerSilenceTimeout{5};
inline constexpr uint64_t kLingerMaxBytes = 64ull * 1024 * 1024;
// The same while shutting down, when closing promptly matters more.
inline constexpr std::chrono::milliseconds kShutdownLingerTimeout{100};

// Bytes a connection's socket holds that the kernel has not sent yet
// (TCP_NOTSENT_LOWAT): a send takes no more once this many wait, so a
// client that stops reading a large value holds about this much kernel
// memory beside what is in flight, instead of a send buffer grown to
// megabytes. Large enough that a reader keeping up is never held back.
inline constexpr size_t kMaxUnsentBytes = 128 * 1024;

// ---- the I/O threads ----

// Closed connections each I/O thread keeps, with their buffers (those up
// to kPooledBufferBytes), for the next ones it accepts: a new connection
// then allocates nothing.
inline constexpr size_t kConnectionsKept = 128;
inline constexpr size_t kPooledBufferBytes = 4 * 1024;

// How often each I/O thread looks for connections past their deadline (and
// retries uploads waiting for room, and a paused acceptor).
inline constexpr std::chrono::milliseconds kSweepPeriod{250};
// Pause before accepting again when the process is out of descriptors (or
// accepting failed otherwise).
inline constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// Connections one acceptor takes in a row before the other work of its
// thread gets a turn (epoll; io_uring takes one per readiness, so that
// connections under way go first).
inline constexpr size_t kAcceptsPerTurn = 32;
// Receives of requests land in buffers the event loop lends: this many of
// this size per I/O thread on io_uring (a provided buffer ring, a power of
// two), one on epoll. A connection between requests holds none.
inline constexpr unsigned kLentBuffers = 128;
inline constexpr size_t kLentBufferBytes = 8 * 1024;
// Submission entries of each io_uring (completions get twice as many).
inline constexpr unsigned kRingEntries = 4096;
// Readiness events one epoll_wait takes, and the operations one epoll turn
// tries at most (what they start is tried in the same turn up to that).
inline constexpr int kEpollEventsPerTurn = 256;
inline constexpr size_t kEpollTriesPerTurn = 4096;

// ---- the process ----

// Descriptors kept beyond the connection limit (and the admin port's):
// listening sockets, the module's files, event loops, pipes, the access log,
// a refused client's brief accept. At start the soft descriptor limit is
// raised to the hard one; a --max-connections above what it allows less
// these is lowered, with one line on standard error.
inline constexpr uint64_t kSpareDescriptors = 64;
// How often Shutdown looks whether the connections have gone.
inline constexpr std::chrono::milliseconds kShutdownPollPeriod{10};
// The largest time-out any time-out flag takes.
inline constexpr std::chrono::seconds kMaxTimeout{24 * 3600};
// The largest --max-connections, and the largest --min-upload-rate in bytes
// per second.
inline constexpr int kMaxConnectionsCeiling = 1 << 20;
inline constexpr uint64_t kMaxUploadRateCeiling = uint64_t{1} << 40;

// ---- the admin port and the access log ----

// An admin client that sends nothing for this long is closed.
inline constexpr std::chrono::seconds kAdminTimeout{10};
// Admin request heads are small; anything larger is not a scrape.
inline constexpr uint32_t kAdminHeadLimitBytes = 8192;
// Admin connections open at once; one more is answered 503 and closed.
inline constexpr int kMaxAdminConnections = 16;
// Access log lines a thread may hold before the writer takes them (more are
// dropped and counted), the lines it gathers before it hands them over, and
// how often the writer takes the buffers.
inline constexpr size_t kMaxBufferedLogBytes = 4 * 1024 * 1024;
inline constexpr size_t kLogHandOverBytes = 16 * 1024;
inline constexpr std::chrono::milliseconds kLogWritePeriod{100};
// Bytes of a request line, Referer or User-Agent an access log line keeps
// (before escaping); the rest is cut and marked "...".
inline constexpr size_t kMaxLoggedFieldBytes = 1024;

// TLS. Plaintext encrypted for one send: one full record, so a connection
// holds at most one batch of ciphertext, however large its answer and
// however slow its reader. Decrypted bytes are read into a buffer of the
// thread's of kTlsReadChunkBytes. A connection's ciphertext buffers grown
// past kTlsRetainedBufferBytes are given back once empty. A session
// ticket key seals tickets for kTicketKeyPeriod and opens them for one
// more.
inline constexpr size_t kTlsSendBatchBytes = 16 * 1024;
inline constexpr size_t kTlsReadChunkBytes = 16 * 1024;
inline constexpr size_t kTlsRetainedBufferBytes = 4 * 1024;
inline constexpr std::chrono::hours kTicketKeyPeriod{1};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_LIMITS_H_
