// How much slower than a plain build this test binary and the host it
// starts run: the sanitizer builds scale their bounds on time and their
// request counts by it, so the same checks hold without flaking there.
#ifndef PENDRAKEL_TESTS_HARDENING_BUILD_SPEED_H_
#define PENDRAKEL_TESTS_HARDENING_BUILD_SPEED_H_

namespace pendrakel::testing {

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define PENDRAKEL_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define PENDRAKEL_SANITIZED_BUILD 1
#endif

#ifdef PENDRAKEL_SANITIZED_BUILD
// Time bounds are multiplied by this; request counts divided by it.
inline constexpr int kSlowdownFactor = 5;
#else
inline constexpr int kSlowdownFactor = 1;
#endif

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_HARDENING_BUILD_SPEED_H_
