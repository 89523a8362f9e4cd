// Keep-alive: whether a connection is kept after an answer, decided in one
// place. Two questions, both answered here and nowhere else:
//
//   AnnouncesClose  when the module sends its response head: does the head
//                   say "Connection: close"? (Once said, it is kept to.)
//   DecideEnding    once the answer is complete: keep the connection, drain
//                   the unread rest of the body first, or close it (after a
//                   lingering read, or at once).
//
// Besides an ending, a connection closes only when its client goes away, an
// I/O fails, a deadline passes, or the host is forced to stop (see
// io/connection_steps.h).
//
// Pure functions; any thread.
#ifndef PENDRAKEL_SERVER_HTTP_KEEP_ALIVE_H_
#define PENDRAKEL_SERVER_HTTP_KEEP_ALIVE_H_

#include <cstdint>

#include "server/http/http_error.h"

namespace pendrakel::server {

// What is known when the module sends its response head.
struct HeadFacts {
  // The client asked for the close (HTTP/1.0, or "Connection: close"), or
  // the host is stopping.
  bool close_requested = false;
  // The module's header block has a "Connection: close" of its own.
  bool block_says_close = false;
  // The answer has a body whose length the block does not declare, so only
  // the close can end it.
  bool body_unframed = false;
  // Request body bytes not read yet, and how many the host drains at most.
  uint64_t unread_body = 0;
  uint64_t drain_limit = 0;
};

bool AnnouncesClose(const HeadFacts& facts);

enum class Ending {
  kKeep,      // read the next request
  kDrain,     // drop the unread rest of the body, then the next request
  kLinger,    // stop sending, read and drop what the client still sends, close
  kCloseNow,  // close as soon as the answer is sent
};

// What is known once an answer is complete.
struct EndingFacts {
  // The host answered on its own (kNone: the module answered).
  HttpError refusal = HttpError::kNone;
  // The call cannot leave the connection usable: its head announced the
  // close, the body sent did not match its length, or the client was found
  // gone or too slow.
  bool call_must_close = false;
  // The client asked for the close (HTTP/1.0, or "Connection: close").
  bool client_asked_close = false;
  bool stopping = false;
  uint64_t unread_body = 0;
  uint64_t drain_limit = 0;
  // Bytes after this request are already in hand.
  bool more_bytes_held = false;
};

Ending DecideEnding(const EndingFacts& facts);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_HTTP_KEEP_ALIVE_H_
