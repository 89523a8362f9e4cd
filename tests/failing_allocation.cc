#include "tests/failing_allocation.h"

#include <cstdlib>
#include <new>

namespace pendrakel::testing {
namespace {

// Allocations still let through on this thread; negative when not armed.
thread_local int tSkip = -1;
thread_local bool tFailed = false;

[[maybe_unused]] void* Allocate(std::size_t size) {
  if (tSkip == 0) {
    tSkip = -1;
    tFailed = true;
    return nullptr;
  }
  if (tSkip > 0) --tSkip;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void FailAllocationAfter(int skip) {
  tSkip = skip;
  tFailed = false;
}

bool AllocationFailed() {
  tSkip = -1;
  return tFailed;
}

}  // namespace pendrakel::testing

#if PENDRAKEL_TESTS_OWN_OPERATOR_NEW

using pendrakel::testing::Allocate;

// Every form of the global operators is replaced, so that a sanitizer
// runtime's own set is not linked beside these.
void* operator new(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
// Over-aligned blocks are never failed.
void* operator new(std::size_t size, std::align_val_t align) {
  const auto alignment = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  if (void* block = std::aligned_alloc(alignment, rounded)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void* operator new(std::size_t size, std::align_val_t align,
                   const std::nothrow_t&) noexcept {
  try {
    return operator new(size, align);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t align,
                     const std::nothrow_t& nothrow) noexcept {
  return operator new(size, align, nothrow);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t,
                     const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t,
                       const std::nothrow_t&) noexcept {
  std::free(block);
}

#endif  // PENDRAKEL_TESTS_OWN_OPERATOR_NEW
