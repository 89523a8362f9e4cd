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
// FiberStackBound: the process-wide bound on fiber stacks mapped at once
// (in use, parked or cached). Each stack costs the process two memory
// mappings (the stack and its guard), and a process past vm.max_map_count
// can map nothing more; so the bound is taken from that setting at start,
// and a request that finds no stack under it, or whose stack cannot be
// mapped, is answered 503 instead of ending the process.
//
// Sanitizers are told about every switch (AddressSanitizer's fiber switch
// calls, ThreadSanitizer's fibers), so their reports stay meaningful.
//
// Threads: the FiberStackBound is shared by all I/O threads (an atomic
// count, changed by compare-and-swap). A FiberStacks and all fibers on it
// belong to one I/O thread; Start, Resume and Suspend run on that thread only.
// A RequestFiber is owned by its connection and must not be destroyed while a
// fiber is parked on it.
#ifndef PENDRAKEL_SERVER_IO_FIBER_H_
#define PENDRAKEL_SERVER_IO_FIBER_H_

#include <atomic>
#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace pendrakel::server {

class FiberStackBound {
 public:
  explicit FiberStackBound(size_t max_stacks) : max_stacks_(max_stacks) {}
  FiberStackBound(const FiberStackBound&) = delete;
  FiberStackBound& operator=(const FiberStackBound&) = delete;

  // The bound for this machine: kMaxFiberStacks, lowered so that the
  // stacks' mappings take at most kMapCountShareForStacks of
  // vm.max_map_count (read from /proc once, at start).
  static size_t ForThisMachine();

  // Counts one more mapped stack; false when the bound is reached.
  bool TryAdd();
  void Remove() { mapped_.fetch_sub(1, std::memory_order_relaxed); }
  size_t mapped() const { return mapped_.load(std::memory_order_relaxed); }
  size_t max_stacks() const { return max_stacks_; }

 private:
  const size_t max_stacks_;
  std::atomic<size_t> mapped_{0};
};

class FiberStacks {
 public:
  // Stacks of `stack_bytes` each, counted against `bound` (which must
  // outlive this); up to `keep` finished ones are kept.
  FiberStacks(size_t stack_bytes, size_t keep, FiberStackBound& bound);
  ~FiberStacks();
  FiberStacks(const FiberStacks&) = delete;
  FiberStacks& operator=(const FiberStacks&) = delete;

  // A stack from the cache, or a new one; false when the bound is reached
  // or the mapping fails (address space, map count).
  bool Take(boost::context::stack_context& stack) noexcept;
  void Give(boost::context::stack_context stack) noexcept;

 private:
  void Unmap(boost::context::stack_context& stack) noexcept;

  boost::context::protected_fixedsize_stack allocator_;
  FiberStackBound& bound_;
  std::vector<boost::context::stack_context> free_;
  const size_t keep_;
};

class RequestFiber {
 public:
  explicit RequestFiber(FiberStacks& stacks) : stacks_(stacks) {}
  ~RequestFiber();
  RequestFiber(const RequestFiber&) = delete;
  RequestFiber& operator=(const RequestFiber&) = delete;

  // Runs `work` on a new fiber until it returns or parks. False, with
  // nothing run, when no stack can be had. `work` must not throw.
  // REQUIRES: !parked().
  template <typename Work>
  [[nodiscard]] bool Start(Work work) {
    try {
      fiber_ =
          boost::context::fiber(std::allocator_arg, StackFromCache{this},
                                [this, work = std::move(work)](
                                    boost::context::fiber&& caller) mutable {
                                  caller_ = std::move(caller);
                                  Entered();
                                  work();
                                  Leaving();
                                  return std::move(caller_);
                                });
    } catch (const std::bad_alloc&) {
      return false;  // thrown by StackFromCache::allocate only
    }
    SwitchIn();
    return true;
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
  // Boost.Context's stack allocator, drawing on the thread's cache; throws
  // std::bad_alloc when there is no stack to be had.
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
