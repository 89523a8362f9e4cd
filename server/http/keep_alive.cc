#include "server/http/keep_alive.h"

namespace pendrakel::server {

bool AnnouncesClose(const HeadFacts& facts) {
  return facts.close_requested || facts.block_says_close ||
         facts.body_unframed || facts.unread_body > facts.drain_limit;
}

Ending DecideEnding(const EndingFacts& facts) {
  // A client too slow to send its request is not waited for any longer.
  if (facts.refusal == HttpError::kRequestTimeout) return Ending::kCloseNow;
  // After a refusal the client may still be sending: reading on for a
  // while lets it see the answer instead of a reset.
  if (facts.refusal != HttpError::kNone) return Ending::kLinger;
  const bool too_much_unread = facts.unread_body > facts.drain_limit;
  if (facts.call_must_close || facts.client_asked_close || facts.stopping ||
      too_much_unread) {
    // A client that asked for the close and sent nothing more has nothing
    // in flight that a close could turn into a reset.
    const bool nothing_more = facts.unread_body == 0 && !facts.more_bytes_held;
    return facts.client_asked_close && nothing_more ? Ending::kCloseNow
                                                    : Ending::kLinger;
  }
  return facts.unread_body > 0 ? Ending::kDrain : Ending::kKeep;
}

}  // namespace pendrakel::server
