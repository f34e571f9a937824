// Which lock guards which field, said in the code and checked by clang's
// thread-safety analysis (-Wthread-safety; other compilers ignore the
// attributes). A field marked KELVANE_GUARDED_BY(m) may only be touched with
// m held; a function marked KELVANE_REQUIRES(m) is called with m held.
//
// std::mutex carries no such attributes, so the guarded state uses Mutex and
// MutexLock below: the same mutex, with the attributes the analysis reads.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KELVANE_TSA(x) __attribute__((x))
#else
#define KELVANE_TSA(x)
#endif

#define KELVANE_CAPABILITY(x) KELVANE_TSA(capability(x))
#define KELVANE_SCOPED_CAPABILITY KELVANE_TSA(scoped_lockable)
#define KELVANE_GUARDED_BY(x) KELVANE_TSA(guarded_by(x))
#define KELVANE_PT_GUARDED_BY(x) KELVANE_TSA(pt_guarded_by(x))
#define KELVANE_ACQUIRED_BEFORE(...) KELVANE_TSA(acquired_before(__VA_ARGS__))
#define KELVANE_REQUIRES(...) KELVANE_TSA(requires_capability(__VA_ARGS__))
#define KELVANE_ACQUIRE(...) KELVANE_TSA(acquire_capability(__VA_ARGS__))
#define KELVANE_RELEASE(...) KELVANE_TSA(release_capability(__VA_ARGS__))
#define KELVANE_TRY_ACQUIRE(...) KELVANE_TSA(try_acquire_capability(__VA_ARGS__))
#define KELVANE_EXCLUDES(...) KELVANE_TSA(locks_excluded(__VA_ARGS__))
#define KELVANE_RETURN_CAPABILITY(x) KELVANE_TSA(lock_returned(x))
#define KELVANE_NO_THREAD_SAFETY_ANALYSIS KELVANE_TSA(no_thread_safety_analysis)

namespace kelvane {

// A std::mutex the analysis knows.
class KELVANE_CAPABILITY("mutex") Mutex {
 public:
  void lock() KELVANE_ACQUIRE() { m_.lock(); }
  void unlock() KELVANE_RELEASE() { m_.unlock(); }
  bool try_lock() KELVANE_TRY_ACQUIRE(true) { return m_.try_lock(); }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope, as std::lock_guard does; it can be let go and
// taken again in between (Unlock, Lock), and a condition variable may wait on
// it (std::condition_variable_any).
class KELVANE_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) KELVANE_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() KELVANE_RELEASE() {
    if (held_) m_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() KELVANE_ACQUIRE() {
    m_.lock();
    held_ = true;
  }
  void unlock() KELVANE_RELEASE() {
    held_ = false;
    m_.unlock();
  }

 private:
  Mutex& m_;
  bool held_ = true;
};

}  // namespace kelvane
