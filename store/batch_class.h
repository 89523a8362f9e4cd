// RunAtBatchClass: moves the calling thread to the scheduler's batch class.
// The store's background threads (the collectors, the journal's writer) run
// there: a batch thread does not preempt the thread that wakes it, so a
// request that hands work over goes on at once, and the work takes its fair
// share after. Any thread, for itself.
#ifndef PENDRAKEL_STORE_BATCH_CLASS_H_
#define PENDRAKEL_STORE_BATCH_CLASS_H_

#include <pthread.h>
#include <sched.h>

namespace pendrakel {

inline void RunAtBatchClass() {
  const sched_param batch{};
  // Nothing to be done when the system refuses: the thread runs as before.
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch);
}

}  // namespace pendrakel

#endif  // PENDRAKEL_STORE_BATCH_CLASS_H_
