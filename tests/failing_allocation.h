// Allocation failure on demand, for tests of what the store does when the
// heap runs out. The test binary that links failing_allocation.cc replaces
// the global operator new: once armed on a thread, it lets `skip` more
// allocations of that thread through and fails the next one (a throwing new
// throws std::bad_alloc, a nothrow new returns nullptr), then disarms.
// Blocks from MemoryBudget (malloc) are not affected.
//
// The thread sanitizer's runtime brings its own operator new, which cannot
// be replaced: there, nothing is replaced and tests skip themselves.
#ifndef PENDRAKEL_TESTS_FAILING_ALLOCATION_H_
#define PENDRAKEL_TESTS_FAILING_ALLOCATION_H_

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PENDRAKEL_TESTS_OWN_OPERATOR_NEW 0
#endif
#endif
#ifndef PENDRAKEL_TESTS_OWN_OPERATOR_NEW
#define PENDRAKEL_TESTS_OWN_OPERATOR_NEW 1
#endif

namespace pendrakel::testing {

// Whether this binary can fail allocations on demand.
inline constexpr bool kCanFailAllocations = PENDRAKEL_TESTS_OWN_OPERATOR_NEW;

void FailAllocationAfter(int skip);
// Disarms; true when the armed failure happened.
bool AllocationFailed();

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_FAILING_ALLOCATION_H_
