// RequestFiber: a stackful fiber (Boost.Context) on which one extension call
// runs, so that the call's synchronous ReadClient and WriteClient can wait for
// a slow client without holding a thread. When the socket is not ready the
// call parks (Suspend): control returns to the I/O thread, which serves other
// connections; the connection resumes the fiber (Resume) once the socket is
// ready or the wait's deadline has passed.
//
// FiberStacks: the stacks of one I/O thread's fibers. Each stack is mapped
// with a guard page below it; finished fibers give their stack back to the
// cache, so starting a request costs no system call once the cache is warm.
// Only the pages a call touches become resident.
//
// Sanitizers are told about every switch (AddressSanitizer's fiber switch
// calls, ThreadSanitizer's fibers), so their reports stay meaningful.
//
// Threads: a FiberStacks and all fibers on it belong to one I/O thread;
// Start, Resume and Suspend run on that thread only. A RequestFiber is owned
// by its connection and must not be destroyed while a fiber is parked on it.
#ifndef PENDRAKEL_SERVER_IO_FIBER_H_
#define PENDRAKEL_SERVER_IO_FIBER_H_

#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#include <cstddef>
#include <utility>
#include <vector>

namespace pendrakel::server {

class FiberStacks {
 public:
  // Stacks of `stack_bytes` each; up to `keep` finished ones are kept.
  FiberStacks(size_t stack_bytes, size_t keep);
  ~FiberStacks();
  FiberStacks(const FiberStacks&) = delete;
  FiberStacks& operator=(const FiberStacks&) = delete;

  boost::context::stack_context Take();
  void Give(boost::context::stack_context stack) noexcept;

 private:
  boost::context::protected_fixedsize_stack allocator_;
  std::vector<boost::context::stack_context> free_;
  const size_t keep_;
};

class RequestFiber {
 public:
  explicit RequestFiber(FiberStacks& stacks) : stacks_(stacks) {}
  ~RequestFiber();
  RequestFiber(const RequestFiber&) = delete;
  RequestFiber& operator=(const RequestFiber&) = delete;

  // Runs `work` on a new fiber until it returns or parks.
  // REQUIRES: !parked().
  template <typename Work>
  void Start(Work work) {
    fiber_ = boost::context::fiber(
        std::allocator_arg, StackFromCache{this},
        [this, work = std::move(work)](boost::context::fiber&& caller) mutable {
          caller_ = std::move(caller);
          Entered();
          work();
          Leaving();
          return std::move(caller_);
        });
    SwitchIn();
  }

  // Continues a parked fiber until it returns or parks again.
  // REQUIRES: parked().
  void Resume() { SwitchIn(); }

  // From inside the fiber: gives control back to the I/O thread until
  // Resume.
  void Suspend();

  // A fiber has started and not returned yet.
  bool parked() const { return static_cast<bool>(fiber_); }

 private:
  // Boost.Context's stack allocator, drawing on the thread's cache.
  struct StackFromCache {
    RequestFiber* fiber;
    boost::context::stack_context allocate();
    void deallocate(boost::context::stack_context& stack) noexcept;
  };

  void SwitchIn();
  void Entered();
  void Leaving();

  FiberStacks& stacks_;
  boost::context::fiber fiber_;   // the parked fiber, empty when none
  boost::context::fiber caller_;  // the I/O thread, while the fiber runs
  boost::context::stack_context stack_{};
  // What the sanitizers are told at each switch (unused without them).
  struct SanitizerState {
    void* thread_fake_stack = nullptr;
    void* fiber_fake_stack = nullptr;
    const void* thread_stack_bottom = nullptr;
    size_t thread_stack_size = 0;
    void* tsan_fiber = nullptr;
    void* tsan_thread = nullptr;
  };
  SanitizerState sanitizer_;
};

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_IO_FIBER_H_
