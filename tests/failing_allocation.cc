#include "tests/failing_allocation.h"

#include <cstdlib>
#include <new>

namespace pendrakel::testing {
namespace {

// Allocations still let through on this thread; negative when not armed.
thread_local int tSkip = -1;
thread_local bool tFailed = false;

void* Allocate(std::size_t size) {
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

using pendrakel::testing::Allocate;

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
