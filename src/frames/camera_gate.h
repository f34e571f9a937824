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
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kelvane::frames {

class CameraGate {
 public:
  // Waits for the gate; returns at once on the thread that holds it.
  void Enter() {
    std::unique_lock lock(mutex_);
    const auto self = std::this_thread::get_id();
    changed_.wait(lock, [&] { return depth_ == 0 || owner_ == self; });
    owner_ = self;
    ++depth_;
  }

  // As Enter, but gives up (false) once `abandon` reads true; Wake makes a
  // waiter look at it again.
  bool EnterUnless(const std::atomic<bool>& abandon) {
    std::unique_lock lock(mutex_);
    const auto self = std::this_thread::get_id();
    changed_.wait(lock, [&] { return depth_ == 0 || owner_ == self || abandon.load(std::memory_order_acquire); });
    if (abandon.load(std::memory_order_acquire)) return false;
    owner_ = self;
    ++depth_;
    return true;
  }

  void Leave() {
    std::lock_guard lock(mutex_);
    if (depth_ > 0 && --depth_ == 0) {
      owner_ = {};
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
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id owner_;
  int depth_ = 0;
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
