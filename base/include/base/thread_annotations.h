// Lock contracts the compiler checks. With clang and -Wthread-safety, a member
// marked TARNWELL_GUARDED_BY(mutex_) may only be touched with mutex_ held, a
// function marked TARNWELL_REQUIRES(mutex_) may only be called with it held,
// and one marked TARNWELL_EXCLUDES(mutex_) only without it. Other compilers
// see nothing: every macro expands to nothing.
//
// libstdc++'s std::mutex carries no annotations, so guarded members go with
// the annotated wrappers of base/mutex.h (tarnwell::Mutex and its locks).
#ifndef TARNWELL_BASE_THREAD_ANNOTATIONS_H_
#define TARNWELL_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TARNWELL_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define TARNWELL_THREAD_ANNOTATION_(x)
#endif

// On a class: objects of it are locks (the name shows in diagnostics).
#define TARNWELL_CAPABILITY(name) TARNWELL_THREAD_ANNOTATION_(capability(name))
// On a class: an RAII object that holds a lock for its lifetime.
#define TARNWELL_SCOPED_CAPABILITY TARNWELL_THREAD_ANNOTATION_(scoped_lockable)

// On a data member: read and written only with the lock held (reads may hold
// it shared).
#define TARNWELL_GUARDED_BY(x) TARNWELL_THREAD_ANNOTATION_(guarded_by(x))
// On a pointer member: what it points to is guarded by the lock; the pointer
// itself is not.
#define TARNWELL_PT_GUARDED_BY(x) TARNWELL_THREAD_ANNOTATION_(pt_guarded_by(x))

// On a lock: it is always taken before, or after, the listed ones.
#define TARNWELL_ACQUIRED_BEFORE(...) TARNWELL_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))
#define TARNWELL_ACQUIRED_AFTER(...) TARNWELL_THREAD_ANNOTATION_(acquired_after(__VA_ARGS__))

// On a function: the caller holds the locks, exclusively or at least shared.
#define TARNWELL_REQUIRES(...) TARNWELL_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define TARNWELL_REQUIRES_SHARED(...) \
    TARNWELL_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))

// On a function: it takes the locks (with no arguments, on a lock's own
// member function: the object itself) and returns with them held.
#define TARNWELL_ACQUIRE(...) TARNWELL_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define TARNWELL_ACQUIRE_SHARED(...) \
    TARNWELL_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))
// On a function: it releases the locks, which the caller held.
#define TARNWELL_RELEASE(...) TARNWELL_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define TARNWELL_RELEASE_SHARED(...) \
    TARNWELL_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))
#define TARNWELL_RELEASE_GENERIC(...) \
    TARNWELL_THREAD_ANNOTATION_(release_generic_capability(__VA_ARGS__))
// On a function: it takes the lock when it returns the given value.
#define TARNWELL_TRY_ACQUIRE(...) TARNWELL_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))

// On a function: the caller must not hold the locks, because the function
// takes them itself (or calls something that may wait for their holder).
#define TARNWELL_EXCLUDES(...) TARNWELL_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))

// On a function: it checks at run time that the lock is held; from there on
// the analysis assumes it.
#define TARNWELL_ASSERT_CAPABILITY(x) TARNWELL_THREAD_ANNOTATION_(assert_capability(x))
// On a function: it returns a reference to the given lock.
#define TARNWELL_RETURN_CAPABILITY(x) TARNWELL_THREAD_ANNOTATION_(lock_returned(x))

// On a function: the analysis skips it. Each use says in a comment why the
// function is safe all the same.
#define TARNWELL_NO_THREAD_SAFETY_ANALYSIS TARNWELL_THREAD_ANNOTATION_(no_thread_safety_analysis)

#endif  // TARNWELL_BASE_THREAD_ANNOTATIONS_H_
