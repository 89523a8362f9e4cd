// PK_DCHECK: the invariants the code states, checked in debug builds and in
// the sanitizer builds (which define PENDRAKEL_DEBUG_CHECKS), and compiled
// out of the plain optimised build (NDEBUG) so the hot paths pay nothing.
// A failed check names itself on standard error and aborts.
#ifndef PENDRAKEL_BASE_DEBUG_CHECK_H_
#define PENDRAKEL_BASE_DEBUG_CHECK_H_

#include <cstdio>
#include <cstdlib>

#if !defined(NDEBUG) || defined(PENDRAKEL_DEBUG_CHECKS)
#define PK_DEBUG_CHECKS 1
#else
#define PK_DEBUG_CHECKS 0
#endif

namespace pendrakel {

// Whether PK_DCHECK checks in this build.
inline constexpr bool kDebugChecks = PK_DEBUG_CHECKS != 0;

[[noreturn]] inline void DebugCheckFailed(const char* condition,
                                          const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace pendrakel

#if PK_DEBUG_CHECKS
#define PK_DCHECK(condition) \
  ((condition)               \
       ? void(0)             \
       : ::pendrakel::DebugCheckFailed(#condition, __FILE__, __LINE__))
#else
// Not evaluated, but still compiled, so that it cannot rot.
#define PK_DCHECK(condition) static_cast<void>(sizeof(!(condition)))
#endif

#endif  // PENDRAKEL_BASE_DEBUG_CHECK_H_
