// Clang thread-safety annotations. Under Clang with -Wthread-safety the
// compiler checks that every field marked GUARDED_BY is touched only with its
// lock held; under other compilers the macros expand to nothing.
#ifndef PENDRAKEL_BASE_THREAD_ANNOTATIONS_H_
#define PENDRAKEL_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define PK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PK_THREAD_ANNOTATION(x)
#endif

// Other libraries (Abseil) may define the same macros with the same
// meaning; the first definition stands.
#ifndef CAPABILITY
#define CAPABILITY(x) PK_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY PK_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) PK_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef REQUIRES
#define REQUIRES(...) PK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) PK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) PK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef REQUIRES_SHARED
#define REQUIRES_SHARED(...) \
  PK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE_SHARED
#define ACQUIRE_SHARED(...) \
  PK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_SHARED
#define RELEASE_SHARED(...) \
  PK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#endif
#ifndef RELEASE_GENERIC
#define RELEASE_GENERIC(...) \
  PK_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) PK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS \
  PK_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

#endif  // PENDRAKEL_BASE_THREAD_ANNOTATIONS_H_
