#include "server/io/fiber.h"

#include <algorithm>
#include <fstream>

#include "base/debug_check.h"
#include "server/limits.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PENDRAKEL_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define PENDRAKEL_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PENDRAKEL_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define PENDRAKEL_TSAN 1
#endif

#if defined(PENDRAKEL_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(PENDRAKEL_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace pendrakel::server {

size_t FiberStackBound::ForThisMachine() {
  uint64_t map_count = 0;
  std::ifstream setting("/proc/sys/vm/max_map_count");
  if (!(setting >> map_count)) return kMaxFiberStacks;
  return static_cast<size_t>(std::min<uint64_t>(
      kMaxFiberStacks,
      map_count / kMapCountShareForStacks / kMappingsPerFiberStack));
}

bool FiberStackBound::TryAdd() {
  size_t mapped = mapped_.load(std::memory_order_relaxed);
  do {
    if (mapped >= max_stacks_) return false;
  } while (!mapped_.compare_exchange_weak(mapped, mapped + 1,
                                          std::memory_order_relaxed));
  return true;
}

FiberStacks::FiberStacks(size_t stack_bytes, size_t keep,
                         FiberStackBound& bound)
    : allocator_(stack_bytes), bound_(bound), keep_(keep) {
  free_.reserve(keep);
}

FiberStacks::~FiberStacks() {
  for (boost::context::stack_context& stack : free_) Unmap(stack);
}

bool FiberStacks::Take(boost::context::stack_context& stack) noexcept {
  if (!free_.empty()) {
    stack = free_.back();
    free_.pop_back();
    return true;
  }
  if (!bound_.TryAdd()) return false;
  try {
    stack = allocator_.allocate();
    return true;
  } catch (const std::bad_alloc&) {
    bound_.Remove();
    return false;
  }
}

void FiberStacks::Give(boost::context::stack_context stack) noexcept {
  if (free_.size() < keep_) {
    free_.push_back(stack);  // never reallocates: reserved to keep_
  } else {
    Unmap(stack);
  }
}

void FiberStacks::Unmap(boost::context::stack_context& stack) noexcept {
  allocator_.deallocate(stack);
  bound_.Remove();
}

boost::context::stack_context RequestFiber::StackFromCache::allocate() {
  if (!fiber->stacks_.Take(fiber->stack_)) throw std::bad_alloc();
  return fiber->stack_;
}

void RequestFiber::StackFromCache::deallocate(
    boost::context::stack_context& stack) noexcept {
  fiber->stacks_.Give(stack);
}

RequestFiber::~RequestFiber() {
  // Destroying a parked fiber would unwind the extension's stack with an
  // exception it may swallow; the connection always lets it return first.
  PK_DCHECK(!parked());
}

// The I/O thread hands over to the fiber and waits for it to park or end.
void RequestFiber::SwitchIn() {
#if defined(PENDRAKEL_TSAN)
  if (sanitizer_.tsan_fiber == nullptr)
    sanitizer_.tsan_fiber = __tsan_create_fiber(0);
  sanitizer_.tsan_thread = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(sanitizer_.tsan_fiber, 0);
#endif
#if defined(PENDRAKEL_ASAN)
  __sanitizer_start_switch_fiber(&sanitizer_.thread_fake_stack,
                                 static_cast<char*>(stack_.sp) - stack_.size,
                                 stack_.size);
#endif
  fiber_ = std::move(fiber_).resume();
#if defined(PENDRAKEL_ASAN)
  __sanitizer_finish_switch_fiber(sanitizer_.thread_fake_stack, nullptr,
                                  nullptr);
#endif
#if defined(PENDRAKEL_TSAN)
  if (!parked()) {
    __tsan_destroy_fiber(sanitizer_.tsan_fiber);
    sanitizer_.tsan_fiber = nullptr;
  }
#endif
}

void RequestFiber::Suspend() {
#if defined(PENDRAKEL_ASAN)
  __sanitizer_start_switch_fiber(&sanitizer_.fiber_fake_stack,
                                 sanitizer_.thread_stack_bottom,
                                 sanitizer_.thread_stack_size);
#endif
#if defined(PENDRAKEL_TSAN)
  __tsan_switch_to_fiber(sanitizer_.tsan_thread, 0);
#endif
  caller_ = std::move(caller_).resume();
  Entered();
}

// First thing on the fiber, and after each Suspend.
void RequestFiber::Entered() {
#if defined(PENDRAKEL_ASAN)
  __sanitizer_finish_switch_fiber(sanitizer_.fiber_fake_stack,
                                  &sanitizer_.thread_stack_bottom,
                                  &sanitizer_.thread_stack_size);
#endif
}

// Last thing on the fiber: its fake stack goes with it.
void RequestFiber::Leaving() {
#if defined(PENDRAKEL_ASAN)
  __sanitizer_start_switch_fiber(nullptr, sanitizer_.thread_stack_bottom,
                                 sanitizer_.thread_stack_size);
#endif
#if defined(PENDRAKEL_TSAN)
  __tsan_switch_to_fiber(sanitizer_.tsan_thread, 0);
#endif
}

}  // namespace pendrakel::server
