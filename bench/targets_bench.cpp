// The speed goals of the frame pipeline as ratios, measured side by side in one
// run at 1280 x 960 on one thread:
//
//   ./kelvane_bench --benchmark_filter=Targets
//
// prints one line per goal (our time, the time it is compared with, the ratio
// and the ratio allowed) and sets the same ratios as counters. The kernels are
// the ones a frame store picks (KELVANE_FORCE_SCALAR=1 gives the scalar
// reference, for a figure from before the vector kernels). Each time is the
// best of several repetitions of the thread's processor time, as other jobs
// share the machine.
#include <benchmark/benchmark.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <time.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frames/band_pool.h"
#include "thread_timing.h"
#include "frames/frame_store.h"
#include "frames/kernels.h"
#include "platform/cache_line_allocator.h"

#ifdef KELVANE_HAVE_LIBYUV
#include <libyuv.h>
#endif
#ifdef KELVANE_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif
#ifdef KELVANE_HAVE_DC1394
#include <dc1394/conversions.h>
#endif

namespace {

using kelvane::frames::FrameSettings;
using kelvane::frames::FrameStore;
using kelvane::frames::FrameType;

constexpr int kW = 1280, kH = 960;
constexpr size_t kPixels = size_t{kW} * kH;

// Cameras deliver frames in buffers that start on a cache line (most on a
// page); so do the benchmark's, and the frame store's own buffers.
using Bytes = kelvane::platform::FrameBuffer;

Bytes Random(size_t n, unsigned seed) {
  Bytes v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

double Time(const std::function<void()>& fn) { return kelvane::bench::BestSecondsPerCall(fn, 0.02); }

// One frame through a configured store, one frame per image.
struct Conversion {
  std::unique_ptr<FrameStore> store;
  Bytes frame;

  Conversion(FrameType type, bool color, size_t bytes, int32_t raw_mode = 0, int32_t algorithm = 2, int32_t lut = 0) {
    store = std::make_unique<FrameStore>(type, kW, kH, lut);
    FrameSettings s;
    s.RawMode = raw_mode;
    s.Algorithm = algorithm;
    store->ApplySettings(s);
    store->SetColorOutput(color);
    frame = Random(bytes, 1);
  }
  double Seconds() {
    return Time([this] {
      benchmark::DoNotOptimize(store->ProcessFrame(frame.data(), frame.size()));
      store->ResetCycle();
    });
  }
};

double MemcpySeconds(size_t bytes) {
  const auto src = Random(bytes, 3);
  Bytes dst(bytes);
  return Time([&] {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::ClobberMemory();
  });
}

// What any conversion of `in_block` input bytes to 64 output bytes must move
// through memory, with no arithmetic: reads every input byte once (folded
// together by exclusive or) and writes every output byte once. The grey goals
// are compared with a copy of the output, which reads a third to a fifth of
// what these conversions must read; this floor says how near they are to what
// the memory allows.
#if defined(__x86_64__)
template <int Loads>
__attribute__((target("avx2"))) void MoveOnlyLoads(const uint8_t* in, uint8_t* out, size_t blocks) {
  for (size_t b = 0; b < blocks; ++b, in += 32 * Loads, out += 64) {
    __m256i acc[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    for (int i = 0; i < Loads; ++i)
      acc[i & 1] = _mm256_xor_si256(acc[i & 1], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), acc[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), acc[1]);
  }
}
void MoveOnly(const uint8_t* in, size_t in_block, uint8_t* out, size_t blocks) {
  switch (in_block) {
    case 64: return MoveOnlyLoads<2>(in, out, blocks);
    case 96: return MoveOnlyLoads<3>(in, out, blocks);
    case 128: return MoveOnlyLoads<4>(in, out, blocks);
    case 192: return MoveOnlyLoads<6>(in, out, blocks);
    default: return MoveOnlyLoads<8>(in, out, blocks);
  }
}
#else
void MoveOnly(const uint8_t* in, size_t in_block, uint8_t* out, size_t blocks) {
  for (size_t b = 0; b < blocks; ++b, in += in_block, out += 64) {
    uint8_t acc[64];
    std::memcpy(acc, in, 64);
    for (size_t o = 64; o < in_block; ++o) acc[o % 64] ^= in[o];
    std::memcpy(out, acc, 64);
  }
}
#endif

double FloorSeconds(size_t in_block) {
  const size_t blocks = kPixels / 64;
  const auto src = Random(blocks * in_block, 5);
  Bytes dst(kPixels);
  return Time([&] {
    MoveOnly(src.data(), in_block, dst.data(), blocks);
    benchmark::ClobberMemory();
  });
}

struct Floor {
  std::string path;
  double ours_ms, floor_ms, copy_ms;
};

struct Line {
  std::string goal, ours, against;
  double ours_ms, against_ms, allowed;
};

void Targets(benchmark::State& state) {
#ifdef __GLIBC__
  // Every frame-sized buffer straight from the system, page-aligned: otherwise the
  // allocator's adaptive threshold places them by the history of earlier
  // allocations, and how input and output buffers fall relative to each other
  // changed single figures by up to 25 % between builds of the same kernels.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  // One thread: the goals compare kernels, and the thread's processor time
  // would not count the bands a pool computed.
  kelvane::frames::SetConversionThreads(1);
  std::vector<Line> lines;
  std::vector<Floor> floors;
  auto add = [&](const std::string& goal, const std::string& ours, double ours_s, const std::string& against,
                 double against_s, double allowed) {
    lines.push_back({goal, ours, against, ours_s * 1e3, against_s * 1e3, allowed});
  };

  for (auto _ : state) {
    lines.clear();
    const double copy8 = MemcpySeconds(kPixels), copy24 = MemcpySeconds(3 * kPixels);

    // Packed and planar YUV to BGR against libyuv's I420 to RGB24.
    struct Yuv {
      const char* name;
      FrameType type;
      size_t bytes;
    };
    const Yuv yuv[] = {{"YUY2_bgr", FrameType::Yuy2, 2 * kPixels},
                       {"UYVY_bgr", FrameType::Uyvy, 2 * kPixels},
                       {"Y411_bgr", FrameType::Y411, 3 * kPixels / 2},
                       {"Y444_bgr", FrameType::Y444, 3 * kPixels},
                       {"I420_bgr", FrameType::I420, 3 * kPixels / 2}};
#ifdef KELVANE_HAVE_LIBYUV
    const auto i420 = Random(3 * kPixels / 2, 1);
    Bytes rgb(3 * kPixels);
    const double libyuv = Time([&] {
      libyuv::I420ToRGB24(i420.data(), kW, i420.data() + kPixels, kW / 2, i420.data() + kPixels * 5 / 4, kW / 2,
                          rgb.data(), 3 * kW, kW, kH);
      benchmark::ClobberMemory();
    });
    for (const Yuv& y : yuv)
      add("YUV to BGR <= libyuv", y.name, Conversion(y.type, true, y.bytes).Seconds(), "libyuv I420ToRGB24", libyuv,
          1.0);
#endif

    // Luma and RGB to grey against a copy of the output.
    const Yuv grey[] = {{"YUY2_grey", FrameType::Yuy2, 2 * kPixels},     {"UYVY_grey", FrameType::Uyvy, 2 * kPixels},
                        {"Y411_grey", FrameType::Y411, 3 * kPixels / 2}, {"Y444_grey", FrameType::Y444, 3 * kPixels},
                        {"I420_grey", FrameType::I420, 3 * kPixels / 2}, {"RGB24_grey", FrameType::Rgb24, 3 * kPixels},
                        {"RGB32_grey", FrameType::Rgb32, 4 * kPixels}};
    for (const Yuv& g : grey)
      add("grey <= 1.5 memcpy", g.name, Conversion(g.type, false, g.bytes).Seconds(), "memcpy 8-bit out", copy8, 1.5);
    // I420's luma is the first plane as it stands: a copy.
    floors.clear();
    for (const Yuv& g : grey) {
      const size_t in_block = g.type == FrameType::I420 ? 64 : 64 * g.bytes / kPixels;
      floors.push_back({g.name, 0.0, 1e3 * FloorSeconds(in_block), 1e3 * copy8});
    }
    for (Floor& f : floors)
      for (const Line& l : lines)
        if (l.ours == f.path) f.ours_ms = l.ours_ms;

    // Demosaicing.
    const char* names[] = {"RAW8_bgr_alg0", "RAW8_bgr_alg1", "RAW8_bgr_alg2", "RAW8_bgr_alg3", "RAW8_bgr_alg4"};
    // RAW16 with each linear map: Lut 0 (all 16 bits, the default), then 10, 12, 14 and 16 bits.
    constexpr int kLinearLuts[] = {0, 1, 2, 3, 4};
    double raw8[5], raw16[5][5];
    for (int a = 0; a <= 4; ++a) {
      raw8[a] = Conversion(FrameType::Raw8, true, kPixels, 1, a).Seconds();
      for (int l : kLinearLuts) raw16[a][l] = Conversion(FrameType::Raw16, true, 2 * kPixels, 1, a, l).Seconds();
    }
    for (int a : {0, 1, 4}) add("Bayer <= 2 memcpy", names[a], raw8[a], "memcpy 24-bit out", copy24, 2.0);
#ifdef KELVANE_HAVE_OPENCV
    cv::setNumThreads(1);
    cv::Mat bayer(kH, kW, CV_8UC1);
    cv::randu(bayer, 0, 256);
    cv::Mat bgr;
    const double cv_bilinear = Time([&] { cv::cvtColor(bayer, bgr, cv::COLOR_BayerBG2BGR); });
    const double cv_ea = Time([&] { cv::cvtColor(bayer, bgr, cv::COLOR_BayerBG2BGR_EA); });
    add("bilinear <= OpenCV", names[2], raw8[2], "OpenCV BayerBG2BGR", cv_bilinear, 1.0);
    add("HQ linear <= OpenCV EA", names[3], raw8[3], "OpenCV BayerBG2BGR_EA", cv_ea, 1.0);
#endif
#ifdef KELVANE_HAVE_DC1394
    const auto raw = Random(kPixels, 1);
    std::vector<uint8_t> out(3 * kPixels);
    const double dc_hq = Time([&] {
      dc1394_bayer_decoding_8bit(raw.data(), out.data(), kW, kH, DC1394_COLOR_FILTER_BGGR,
                                 DC1394_BAYER_METHOD_HQLINEAR);
      benchmark::ClobberMemory();
    });
    add("HQ linear <= 0.2 libdc1394", names[3], raw8[3], "libdc1394 HQLINEAR", dc_hq, 0.2);
#endif

    // 16-bit against 8-bit.
    const double y800 = Conversion(FrameType::Grey8, false, kPixels).Seconds();
    add("16-bit <= 2 x 8-bit", "Mono16_grey_lowbyte", Conversion(FrameType::Mono16, false, 2 * kPixels, 0, 2, 0).Seconds(), "Y800_copy",
        y800, 2.0);
    add("16-bit <= 2 x 8-bit", "Mono16_grey_lin12", Conversion(FrameType::Mono16, false, 2 * kPixels, 0, 2, 2).Seconds(), "Y800_copy",
        y800, 2.0);
    add("16-bit <= 2 x 8-bit", "Mono16_grey_log12", Conversion(FrameType::Mono16, false, 2 * kPixels, 0, 2, 6).Seconds(), "Y800_copy",
        y800, 2.0);
    add("16-bit <= 2 x 8-bit", "RAW16_grey_alg2", Conversion(FrameType::Raw16, false, 2 * kPixels, 1, 2, 2).Seconds(),
        "RAW8_grey_alg2", Conversion(FrameType::Raw8, false, kPixels, 1, 2).Seconds(), 2.0);
    for (int a = 0; a <= 4; ++a)
      for (int l : kLinearLuts)
        add("16-bit <= 2 x 8-bit", "RAW16_bgr_alg" + std::to_string(a) + "_lut" + std::to_string(l), raw16[a][l],
            names[a], raw8[a], 2.0);

    // Averaging and blending, on 24-bit images.
    const kelvane::frames::Kernels& k = kelvane::frames::SelectKernels();
    std::vector<Bytes> frames;
    const uint8_t* ptrs[8];
    // Frame i starts 64 i bytes into its buffer, as a frame store's slots do.
    for (unsigned i = 0; i < 8; ++i) frames.push_back(Random(3 * kPixels + 64 * i, i));
    for (size_t i = 0; i < 8; ++i) ptrs[i] = frames[i].data() + 64 * i;
    Bytes result(3 * kPixels);
    const double average = Time([&] {
      k.Average[8 - 2](ptrs, 3 * kPixels, result.data());
      benchmark::ClobberMemory();
    });
    // The 8 frames together exceed the caches, as does one copy of all of them.
    add("average of 8 <= 1.5 memcpy", "Average8_24bit", average, "memcpy of 8 frames", MemcpySeconds(8 * 3 * kPixels),
        1.5);
    const double blend = Time([&] {
      k.BlendRecursive(ptrs[0], result.data(), 3 * kPixels, 80);
      benchmark::ClobberMemory();
    });
    add("blend <= 2 memcpy", "Blend_24bit", blend, "memcpy of 1 frame", copy24, 2.0);
  }

  std::printf("\nKernel set: %s; 1280 x 960, one thread, best of 7\n", kelvane::frames::SelectKernels().name);
  std::printf("%-28s %-20s %9s  %-22s %9s  %6s  %6s  %s\n", "goal", "path", "ms", "compared with", "ms", "ratio",
              "allowed", "met");
  int met = 0;
  for (const Line& l : lines) {
    const double ratio = l.ours_ms / l.against_ms;
    met += ratio <= l.allowed ? 1 : 0;
    std::printf("%-28s %-20s %9.3f  %-22s %9.3f  %6.2f  %6.2f  %s\n", l.goal.c_str(), l.ours.c_str(), l.ours_ms,
                l.against.c_str(), l.against_ms, ratio, l.allowed, ratio <= l.allowed ? "yes" : "NO");
    state.counters[l.ours + "/" + l.against] = ratio;
  }
  std::printf("%d of %zu goals met\n\n", met, lines.size());
  std::printf("Memory floor of the grey paths: read the input once, write the output once, nothing else\n");
  std::printf("%-20s %9s  %9s  %13s  %13s\n", "path", "ms", "floor ms", "floor/memcpy", "ours/floor");
  for (const Floor& f : floors) {
    std::printf("%-20s %9.3f  %9.3f  %13.2f  %13.2f\n", f.path.c_str(), f.ours_ms, f.floor_ms, f.floor_ms / f.copy_ms,
                f.ours_ms / f.floor_ms);
    state.counters[f.path + "/floor"] = f.ours_ms / f.floor_ms;
  }
  std::printf("\n");
}

BENCHMARK(Targets)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
