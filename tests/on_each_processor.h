// StartOnEachProcessor: runs `body` on one thread per processor this
// process may run on, each pinned there, so that per-processor state is
// reached through every one of its slots. The caller joins the threads.
#ifndef PENDRAKEL_TESTS_ON_EACH_PROCESSOR_H_
#define PENDRAKEL_TESTS_ON_EACH_PROCESSOR_H_

#include <sched.h>

#include <thread>
#include <vector>

namespace pendrakel::testing {

template <typename Body>
std::vector<std::thread> StartOnEachProcessor(Body body) {
  cpu_set_t allowed;
  sched_getaffinity(0, sizeof(allowed), &allowed);
  std::vector<std::thread> threads;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    threads.emplace_back([cpu, body] {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      sched_setaffinity(0, sizeof(one), &one);
      body();
    });
  }
  return threads;
}

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_ON_EACH_PROCESSOR_H_
