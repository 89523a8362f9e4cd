// Allocation failure on demand, for tests of what the store does when the
// heap runs out. The test binary that links failing_allocation.cc replaces
// the global operator new: once armed on a thread, it lets `skip` more
// allocations of that thread through and fails the next one (a throwing new
// throws std::bad_alloc, a nothrow new returns nullptr), then disarms.
// Blocks from MemoryBudget (malloc) are not affected.
#ifndef PENDRAKEL_TESTS_FAILING_ALLOCATION_H_
#define PENDRAKEL_TESTS_FAILING_ALLOCATION_H_

namespace pendrakel::testing {

void FailAllocationAfter(int skip);
// Disarms; true when the armed failure happened.
bool AllocationFailed();

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_FAILING_ALLOCATION_H_
