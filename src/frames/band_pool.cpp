#include "frames/band_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvane::frames {
namespace {

constexpr int32_t kMaxAutoThreads = 4;

std::atomic<int32_t> g_limit{0};
std::atomic<size_t> g_band_pixels{kDefaultBandPixels};

// One call of RunBands: its bands are taken one at a time by whichever thread
// is free, the caller's own included.
struct Job {
  void (*band)(void*, int32_t);
  void* context;
  int32_t bands;
  int32_t next = 0;  // the next band to take
  int32_t done = 0;
};

class Pool {
 public:
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  void Run(int32_t bands, void (*band)(void*, int32_t), void* context, int32_t helpers) {
    Job job{band, context, bands};
    {
      std::lock_guard lock(mutex_);
      while (static_cast<int32_t>(threads_.size()) < helpers) threads_.emplace_back([this] { Work(); });
      jobs_.push_back(&job);
    }
    work_.notify_all();
    // The caller works on its own job until every band is taken, then waits
    // for the bands other threads still compute.
    std::unique_lock lock(mutex_);
    while (job.next < job.bands) {
      const int32_t index = job.next++;
      if (job.next == job.bands) Forget(&job);
      lock.unlock();
      band(context, index);
      lock.lock();
      ++job.done;
    }
    finished_.wait(lock, [&] { return job.done == job.bands; });
  }

 private:
  void Forget(Job* job) { jobs_.erase(std::find(jobs_.begin(), jobs_.end(), job)); }

  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      Job* job = jobs_.front();
      const int32_t index = job->next++;
      if (job->next == job->bands) Forget(job);
      lock.unlock();
      job->band(job->context, index);
      lock.lock();
      if (++job->done == job->bands) finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable finished_;
  std::deque<Job*> jobs_;  // jobs with bands not yet taken
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

Pool& ThePool() {
  // Destroyed when the library is unloaded or the process exits: its threads
  // are idle then (no stream converts), and are joined.
  static Pool pool;
  return pool;
}

}  // namespace

void SetConversionThreads(int32_t threads) { g_limit.store(std::max(threads, 0), std::memory_order_relaxed); }

int32_t ConversionThreads() {
  const int32_t limit = g_limit.load(std::memory_order_relaxed);
  if (limit != 0) return limit;
  // Asked of the system once: the answer may read a file, and this is asked per frame.
  static const int32_t cores =
      std::clamp(static_cast<int32_t>(std::thread::hardware_concurrency()), 1, kMaxAutoThreads);
  return cores;
}

void SetBandPixels(size_t pixels) {
  g_band_pixels.store(pixels != 0 ? pixels : kDefaultBandPixels, std::memory_order_relaxed);
}

size_t BandPixels() { return g_band_pixels.load(std::memory_order_relaxed); }

void RunBands(int32_t bands, void (*band)(void* context, int32_t index), void* context) {
  if (bands <= 0) return;
  const int32_t helpers = std::min(ConversionThreads(), bands) - 1;
  if (helpers <= 0) {
    for (int32_t i = 0; i < bands; ++i) band(context, i);
    return;
  }
  ThePool().Run(bands, band, context, helpers);
}

}  // namespace kelvane::frames
