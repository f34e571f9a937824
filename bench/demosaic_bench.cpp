// Demosaicing throughput per algorithm and sample size, against a plain copy of the
// output size as the floor any variant can hope for.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frames/band_pool.h"
#include "frames/demosaic.h"
#include "frames/frame_store.h"
#include "frames/kernels.h"

namespace {

using kelvane::frames::BayerAlgorithm;
using kelvane::frames::BayerPattern;

// The set a frame store would use (KELVANE_FORCE_SCALAR=1: the scalar reference).
const auto& Demosaic8 = *kelvane::frames::SelectKernels().Demosaic8;
const auto& Demosaic16 = *kelvane::frames::SelectKernels().Demosaic16;

// A deterministic raw frame with some texture, so no path is helped by flat data.
template <typename T>
std::vector<T> RawFrame(int64_t w, int64_t h, unsigned max) {
  std::vector<T> raw(static_cast<size_t>(w * h));
  uint32_t state = 12345;
  for (T& v : raw) {
    state = state * 1664525u + 1013904223u;
    v = static_cast<T>((state >> 8) % (max + 1));
  }
  return raw;
}

void SetCounters(benchmark::State& state, int64_t w, int64_t h, size_t sample) {
  state.SetItemsProcessed(state.iterations() * w * h);
  state.SetBytesProcessed(state.iterations() * w * h * 3 * static_cast<int64_t>(sample));
}

// Arguments: width, height, algorithm.
void BM_Demosaic8(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const auto algorithm = static_cast<BayerAlgorithm>(state.range(2));
  const std::vector<uint8_t> src = RawFrame<uint8_t>(w, h, 255);
  std::vector<uint8_t> dst(static_cast<size_t>(3 * w * h));
  for (auto _ : state) {
    Demosaic8(src.data(), dst.data(), static_cast<int32_t>(w), static_cast<int32_t>(h), BayerPattern::Bggr, algorithm);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  SetCounters(state, w, h, sizeof(uint8_t));
}

void BM_Demosaic16(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const auto algorithm = static_cast<BayerAlgorithm>(state.range(2));
  const std::vector<uint16_t> src = RawFrame<uint16_t>(w, h, 4095);
  std::vector<uint16_t> dst(static_cast<size_t>(3 * w * h));
  for (auto _ : state) {
    Demosaic16(src.data(), dst.data(), static_cast<int32_t>(w), static_cast<int32_t>(h), BayerPattern::Bggr, algorithm,
               12);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  SetCounters(state, w, h, sizeof(uint16_t));
}

// A frame store demosaicing RAW8 or RAW16 (Lut 0, the default) to colour on 1
// or more threads (the pool's row bands), to find where a second thread starts
// to pay. Arguments: width, height, algorithm, threads. Real time: the bands run
// on other threads.
template <kelvane::frames::FrameType Type>
void BM_StoreRawThreads(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const int64_t bytes = Type == kelvane::frames::FrameType::Raw16 ? 2 : 1;
  const std::vector<uint8_t> src = RawFrame<uint8_t>(w * bytes, h, 255);
  kelvane::frames::FrameStore store(Type, static_cast<int32_t>(w), static_cast<int32_t>(h), 0);
  kelvane::frames::FrameSettings s;
  s.RawMode = 1;
  s.Algorithm = static_cast<int32_t>(state.range(2));
  store.ApplySettings(s);
  store.SetColorOutput(true);
  kelvane::frames::SetConversionThreads(static_cast<int32_t>(state.range(3)));
  kelvane::frames::SetBandPixels(1);  // every size shares, so the line can be seen
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.ProcessFrame(src.data(), src.size()));
    store.ResetCycle();
  }
  kelvane::frames::SetConversionThreads(0);
  kelvane::frames::SetBandPixels(0);
  state.SetItemsProcessed(state.iterations() * w * h);
}
void BM_StoreRaw8Threads(benchmark::State& state) { BM_StoreRawThreads<kelvane::frames::FrameType::Raw8>(state); }
void BM_StoreRaw16Threads(benchmark::State& state) { BM_StoreRawThreads<kelvane::frames::FrameType::Raw16>(state); }

// The second core's gain, in one run: a frame store demosaicing RAW8 to colour
// on one thread and on two in turn, frame by frame, so that both see the same
// state of a machine shared with other jobs (run one after the other, the two
// figures could be taken minutes apart under different loads). Counters:
// `speedup_median` is the median frame time on one thread over the median on
// two, `speedup_best` the same of the fastest frames. Arguments: width, height,
// algorithm.
void BM_SecondCore(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const std::vector<uint8_t> src = RawFrame<uint8_t>(w, h, 255);
  kelvane::frames::FrameStore store(kelvane::frames::FrameType::Raw8, static_cast<int32_t>(w), static_cast<int32_t>(h),
                                    0);
  kelvane::frames::FrameSettings s;
  s.RawMode = 1;
  s.Algorithm = static_cast<int32_t>(state.range(2));
  store.ApplySettings(s);
  store.SetColorOutput(true);
  kelvane::frames::SetBandPixels(1);  // every size shares, so the line can be seen
  std::array<std::vector<double>, 2> seconds;
  auto frame = [&](int32_t threads) {
    kelvane::frames::SetConversionThreads(threads);
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(store.ProcessFrame(src.data(), src.size()));
    store.ResetCycle();
    seconds[static_cast<size_t>(threads - 1)].push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  };
  frame(1);  // the buffers' first writes and the pool's threads are not timed
  frame(2);
  seconds[0].clear();
  seconds[1].clear();
  for (auto _ : state) {
    frame(1);
    frame(2);
  }
  kelvane::frames::SetConversionThreads(0);
  kelvane::frames::SetBandPixels(0);
  for (auto& t : seconds) std::sort(t.begin(), t.end());
  const size_t middle = seconds[0].size() / 2;
  state.counters["one_thread_ms"] = 1e3 * seconds[0][middle];
  state.counters["two_threads_ms"] = 1e3 * seconds[1][middle];
  state.counters["speedup_median"] = seconds[0][middle] / seconds[1][middle];
  state.counters["speedup_best"] = seconds[0][0] / seconds[1][0];
}

// Arguments: width, height, bytes per output sample.
void BM_DemosaicCopyReference(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const auto bytes = static_cast<size_t>(3 * w * h * state.range(2));
  const std::vector<uint8_t> src(bytes, 1);
  std::vector<uint8_t> dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  SetCounters(state, w, h, static_cast<size_t>(state.range(2)));
}

constexpr int64_t kSizes[][2] = {{640, 480}, {1280, 960}, {2448, 2048}};

void AlgorithmArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"w", "h", "algorithm"});
  for (const auto& size : kSizes) {
    for (int64_t algorithm = 0; algorithm <= 4; ++algorithm) b->Args({size[0], size[1], algorithm});
  }
}

void CopyArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"w", "h", "sample_bytes"});
  for (const auto& size : kSizes) {
    for (int64_t sample = 1; sample <= 2; ++sample) b->Args({size[0], size[1], sample});
  }
}

void ThreadArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"w", "h", "algorithm", "threads"});
  for (const auto& size : {std::array<int64_t, 2>{320, 240}, {640, 480}, {1280, 960}, {2448, 2048}})
    for (const int64_t algorithm : {1, 2, 3, 4})
      for (const int64_t threads : {1, 2}) b->Args({size[0], size[1], algorithm, threads});
}

void SecondCoreArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"w", "h", "algorithm"});
  for (const auto& size : {std::array<int64_t, 2>{1280, 960}, {2448, 2048}})
    for (const int64_t algorithm : {1, 2, 3, 4}) b->Args({size[0], size[1], algorithm});
}

}  // namespace

BENCHMARK(BM_SecondCore)->Apply(SecondCoreArgs)->Iterations(101)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreRaw8Threads)->Apply(ThreadArgs)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreRaw16Threads)->Apply(ThreadArgs)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Demosaic8)->Apply(AlgorithmArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Demosaic16)->Apply(AlgorithmArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DemosaicCopyReference)->Apply(CopyArgs)->Unit(benchmark::kMicrosecond);
