// The gate that serialises everything done to one open camera: the host's
// calls on it (from any of the host's threads) and the host's CompleteCallback,
// which runs on the camera's streaming thread.
//
// The thread that holds the gate may enter again: a CompleteCallback runs with
// the gate held by its streaming thread, and may read rows, change properties,
// arm the next grab or close its own port. A host call that holds the gate
// therefore never runs beside the callback, so a callback is never cut short
// by a close and `setCompleteCallback` never returns while the old callback
// still runs. The streaming thread gives up waiting for the gate (and skips the
// callback) when the camera closes, so a close that stops the graph while
// holding the gate does not wait for a thread that waits for it.
//
// One call gives the gate up early: a read of the image (`getCVLGrabRow`)
// holds it only to take hold of the published image, and copies beside
// anything, the callback included; the image it holds keeps its buffer.
// Otherwise the streaming thread, done with the next image, would wait for
// the host's copy of the last one before it could call the host back.
//
// A thread that finds the gate held spins a little before it sleeps: the
// holds it meets most are short (a callback, a host call). A hold that ends
// within the spin hands the gate over without a sleep, and without the
// holder's Leave having to wake the waiter, a system call that on a virtual
// machine also interrupts the other processor.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kelvane::frames {

class CameraGate {
 public:
  // How long a host call and the streaming thread spin before they sleep.
  static constexpr std::chrono::microseconds kSpin{50};

  // Waits for the gate; returns at once on the thread that holds it.
  void Enter() {
    std::unique_lock lock(mutex_);
    const auto self = std::this_thread::get_id();
    if (depth_ != 0 && owner_ != self) SpinUnlocked(lock, kSpin, nullptr);
    changed_.wait(lock, [&] { return depth_ == 0 || owner_ == self; });
    Take(self);
  }

  // As Enter, but gives up (false) once `abandon` reads true; Wake makes a
  // waiter look at it again.
  bool EnterUnless(const std::atomic<bool>& abandon) {
    std::unique_lock lock(mutex_);
    const auto self = std::this_thread::get_id();
    if (depth_ != 0 && owner_ != self) SpinUnlocked(lock, kSpin, &abandon);
    changed_.wait(lock, [&] { return depth_ == 0 || owner_ == self || abandon.load(std::memory_order_acquire); });
    if (abandon.load(std::memory_order_acquire)) return false;
    Take(self);
    return true;
  }

  void Leave() {
    std::lock_guard lock(mutex_);
    if (depth_ > 0 && --depth_ == 0) {
      owner_ = {};
      held_.store(false, std::memory_order_release);
      changed_.notify_all();
    }
  }

  void Wake() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }

  bool HeldByThisThread() const {
    std::lock_guard lock(mutex_);
    return depth_ > 0 && owner_ == std::this_thread::get_id();
  }

 private:
  void Take(std::thread::id self) {
    owner_ = self;
    ++depth_;
    held_.store(true, std::memory_order_relaxed);
  }

  // With the lock given up, spins while another thread holds the gate, for at
  // most `limit` or until `abandon` reads true; returns with the lock taken
  // again. Only a shortcut: the caller's wait decides.
  void SpinUnlocked(std::unique_lock<std::mutex>& lock, std::chrono::microseconds limit,
                    const std::atomic<bool>* abandon) {
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + limit;
    while (held_.load(std::memory_order_acquire) && (abandon == nullptr || !abandon->load(std::memory_order_acquire)) &&
           std::chrono::steady_clock::now() < until) {
      for (int i = 0; i < 16; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#else
        std::this_thread::yield();
#endif
      }
    }
    lock.lock();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id owner_;
  int depth_ = 0;
  // depth_ != 0, for the spin to read without the lock.
  std::atomic<bool> held_{false};
};

// Holds a gate for a scope.
class GateHold {
 public:
  explicit GateHold(CameraGate& gate) : gate_(&gate) { gate_->Enter(); }
  ~GateHold() { Release(); }
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;
  void Release() {
    if (gate_) gate_->Leave();
    gate_ = nullptr;
  }

 private:
  CameraGate* gate_;
};

}  // namespace kelvane::frames
