// Timing by the calling thread's own processor time: time the thread spent
// waiting for a core shared with other jobs does not count, so ratios measured
// side by side in one run hold on a busy machine.
#pragma once

#include <time.h>

#include <algorithm>
#include <functional>

namespace kelvane::bench {

inline double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds per call: the best of 7 repetitions of enough calls to last
// `least` seconds, after one call that warms the caches and builds lazy tables.
inline double BestSecondsPerCall(const std::function<void()>& fn, double least) {
  fn();
  int calls = 1;
  for (;;) {
    const double start = ThreadSeconds();
    for (int i = 0; i < calls; ++i) fn();
    if (ThreadSeconds() - start > least || calls > (1 << 20)) break;
    calls *= 2;
  }
  double best = 1e9;
  for (int r = 0; r < 7; ++r) {
    const double start = ThreadSeconds();
    for (int i = 0; i < calls; ++i) fn();
    best = std::min(best, (ThreadSeconds() - start) / calls);
  }
  return best;
}

}  // namespace kelvane::bench
