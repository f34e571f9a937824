// Throughput of every pixel conversion and of averaging at three frame sizes,
// with memcpy of the output size as the physical limit. Where libyuv, OpenCV or
// libdc1394 are present, their nearest counterparts run on the same input and
// report the counter kelvane_vs_ref = our time / their time (below 1: faster).
#include <benchmark/benchmark.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frames/average.h"
#include "frames/frame_store.h"
#include "frames/kernels.h"

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

struct Size {
  int w, h;
};
constexpr Size kSizes[] = {{640, 480}, {1280, 960}, {2448, 2048}};

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

struct Path {
  const char* name;
  FrameType frame_type;
  bool color;
  int32_t raw_mode;
  int32_t algorithm;
  int32_t lut;
  // Delivered bytes for w x h pixels, in eighths of a byte per pixel.
  int eighths_per_pixel;
};

// Every conversion path of the dispatch table.
constexpr Path kPaths[] = {
    {"I420_grey", FrameType::I420, false, 0, 0, 0, 12},      {"I420_bgr", FrameType::I420, true, 0, 0, 0, 12},
    {"Y411_grey", FrameType::Y411, false, 0, 0, 0, 12},      {"Y411_bgr", FrameType::Y411, true, 0, 0, 0, 12},
    {"UYVY_grey", FrameType::Uyvy, false, 0, 0, 0, 16},      {"UYVY_bgr", FrameType::Uyvy, true, 0, 0, 0, 16},
    {"Y444_grey", FrameType::Y444, false, 0, 0, 0, 24},      {"Y444_bgr", FrameType::Y444, true, 0, 0, 0, 24},
    {"Y800_copy", FrameType::Grey8, false, 0, 0, 0, 8},       {"YUY2_grey", FrameType::Yuy2, false, 0, 0, 0, 16},
    {"YUY2_bgr", FrameType::Yuy2, true, 0, 0, 0, 16},        {"RGB24_grey", FrameType::Rgb24, false, 0, 0, 0, 24},
    {"RGB24_copy", FrameType::Rgb24, true, 0, 0, 0, 24},      {"RGB32_grey", FrameType::Rgb32, false, 0, 0, 0, 32},
    {"RGB32_copy", FrameType::Rgb32, true, 0, 0, 0, 32},      {"Mono16_grey_lowbyte", FrameType::Mono16, false, 0, 0, 0, 16},
    {"Mono16_grey_lin12", FrameType::Mono16, false, 0, 0, 2, 16}, {"Mono16_grey_log12", FrameType::Mono16, false, 0, 0, 6, 16},
    {"RAW8_grey_alg2", FrameType::Raw8, false, 1, 2, 0, 8},
    {"RAW8_bgr_alg0", FrameType::Raw8, true, 1, 0, 0, 8},    {"RAW8_bgr_alg1", FrameType::Raw8, true, 1, 1, 0, 8},
    {"RAW8_bgr_alg2", FrameType::Raw8, true, 1, 2, 0, 8},    {"RAW8_bgr_alg3", FrameType::Raw8, true, 1, 3, 0, 8},
    {"RAW8_bgr_alg4", FrameType::Raw8, true, 1, 4, 0, 8},    {"RAW16_grey_alg2", FrameType::Raw16, false, 1, 2, 2, 16},
    {"RAW16_bgr_alg0", FrameType::Raw16, true, 1, 0, 2, 16}, {"RAW16_bgr_alg1", FrameType::Raw16, true, 1, 1, 2, 16},
    {"RAW16_bgr_alg2", FrameType::Raw16, true, 1, 2, 2, 16}, {"RAW16_bgr_alg3", FrameType::Raw16, true, 1, 3, 2, 16},
    {"RAW16_bgr_alg4", FrameType::Raw16, true, 1, 4, 2, 16},
};

// A configured store with one delivered frame, ready to convert again and again.
struct Conversion {
  std::unique_ptr<FrameStore> store;
  std::vector<uint8_t> frame;

  Conversion(const Path& p, Size s) {
    store = std::make_unique<FrameStore>(p.frame_type, s.w, s.h, p.lut);
    FrameSettings settings;
    settings.RawMode = p.raw_mode;
    settings.Algorithm = p.algorithm;
    store->ApplySettings(settings);
    store->SetColorOutput(p.color);
    frame = RandomBytes(static_cast<size_t>(s.w) * static_cast<size_t>(s.h) * static_cast<size_t>(p.eighths_per_pixel) / 8, 1);
  }
  void Run() {
    benchmark::DoNotOptimize(store->ProcessFrame(frame.data(), frame.size()));
    store->ResetCycle();
  }
};

void SetSize(benchmark::State& state, Size s) {
  state.counters["pixels"] = static_cast<double>(s.w) * s.h;
  state.SetItemsProcessed(state.iterations() * s.w * s.h);
}

// Times our own conversion for as many runs as the reference took and reports the ratio.
void ReportRatio(benchmark::State& state, const std::function<void()>& ours, double reference_seconds) {
  const int64_t runs = std::max<int64_t>(state.iterations(), 3);
  const auto start = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < runs; ++i) ours();
  const double our_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.counters["kelvane_vs_ref"] =
      (our_seconds / static_cast<double>(runs)) / (reference_seconds / static_cast<double>(state.iterations()));
}

// Runs `reference` in the timed loop, then compares it with the Kelvane path `ours`.
template <typename Reference>
void Compare(benchmark::State& state, const Path& ours_path, Size s, Reference&& reference) {
  Conversion ours(ours_path, s);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) reference();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  SetSize(state, s);
  ReportRatio(state, [&] { ours.Run(); }, seconds);
}

const Path& PathNamed(const std::string& name) {
  for (const Path& p : kPaths)
    if (name == p.name) return p;
  return kPaths[0];
}

std::string SizeName(Size s) { return std::to_string(s.w) + "x" + std::to_string(s.h); }

void RegisterConversions() {
  for (const Path& p : kPaths)
    for (Size s : kSizes)
      benchmark::RegisterBenchmark((std::string("Convert/") + p.name + "/" + SizeName(s)).c_str(),
                                   [p, s](benchmark::State& state) {
                                     Conversion c(p, s);
                                     for (auto _ : state) c.Run();
                                     SetSize(state, s);
                                   })
          ->Unit(benchmark::kMicrosecond);
}

void RegisterAveraging() {
  for (int n : {2, 3, 8, 16, 17, 32})
    for (Size s : kSizes)
      for (int bytes_per_pixel : {1, 3}) {
        const std::string name = "Average/" + std::to_string(n) + "/" + SizeName(s) + "/" +
                                 std::to_string(bytes_per_pixel * 8) + "bit";
        benchmark::RegisterBenchmark(name.c_str(), [n, s, bytes_per_pixel](benchmark::State& state) {
          const size_t size = static_cast<size_t>(s.w) * static_cast<size_t>(s.h) * static_cast<size_t>(bytes_per_pixel);
          std::vector<std::vector<uint8_t>> frames;
          std::vector<const uint8_t*> ptrs;
          // Frame i starts 64 i bytes into its buffer, as a frame store's slots do.
          for (int i = 0; i < n; ++i)
            frames.push_back(RandomBytes(size + 64 * static_cast<size_t>(i), static_cast<unsigned>(i)));
          for (size_t i = 0; i < frames.size(); ++i) ptrs.push_back(frames[i].data() + 64 * i);
          std::vector<uint8_t> result(size);
          // The set a frame store would use (KELVANE_FORCE_SCALAR=1: the scalar reference).
          const auto kernel = kelvane::frames::SelectKernels().Average[n - 2];
          for (auto _ : state) {
            kernel(ptrs.data(), size, result.data());
            benchmark::ClobberMemory();
          }
          state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size) * n);
        })->Unit(benchmark::kMicrosecond);
      }
  for (Size s : kSizes)
    benchmark::RegisterBenchmark(("BlendRecursive/" + SizeName(s) + "/24bit").c_str(), [s](benchmark::State& state) {
      const size_t size = static_cast<size_t>(s.w) * static_cast<size_t>(s.h) * 3;
      const auto newest = RandomBytes(size, 1);
      auto result = RandomBytes(size, 2);
      for (auto _ : state) {
        kelvane::frames::SelectKernels().BlendRecursive(newest.data(), result.data(), size, 80);
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size) * 2);
    })->Unit(benchmark::kMicrosecond);
}

// The physical limit: copying the output image once.
void RegisterMemcpy() {
  for (Size s : kSizes)
    for (int bytes_per_pixel : {1, 3}) {
      const std::string name = "Memcpy/" + SizeName(s) + "/" + std::to_string(bytes_per_pixel * 8) + "bit";
      benchmark::RegisterBenchmark(name.c_str(), [s, bytes_per_pixel](benchmark::State& state) {
        const size_t size = static_cast<size_t>(s.w) * static_cast<size_t>(s.h) * static_cast<size_t>(bytes_per_pixel);
        const auto src = RandomBytes(size, 3);
        std::vector<uint8_t> dst(size);
        for (auto _ : state) {
          std::memcpy(dst.data(), src.data(), size);
          benchmark::ClobberMemory();
        }
        SetSize(state, s);
        state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
      })->Unit(benchmark::kMicrosecond);
    }
}

void RegisterReferences() {
#ifdef KELVANE_HAVE_LIBYUV
  for (Size s : kSizes) {
    const std::string size = SizeName(s);
    benchmark::RegisterBenchmark(("Ref/libyuv/I420ToRGB24/" + size).c_str(), [s](benchmark::State& state) {
      const int cw = (s.w + 1) / 2, ch = (s.h + 1) / 2;
      const auto src = RandomBytes(static_cast<size_t>(s.w * s.h + 2 * cw * ch), 1);
      std::vector<uint8_t> dst(static_cast<size_t>(s.w * s.h * 3));
      const uint8_t* y = src.data();
      const uint8_t* u = y + s.w * s.h;
      const uint8_t* v = u + cw * ch;
      Compare(state, PathNamed("I420_bgr"), s,
              [&] { libyuv::I420ToRGB24(y, s.w, u, cw, v, cw, dst.data(), s.w * 3, s.w, s.h); });
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("Ref/libyuv/UYVYToARGB/" + size).c_str(), [s](benchmark::State& state) {
      const auto src = RandomBytes(static_cast<size_t>(s.w * s.h * 2), 1);
      std::vector<uint8_t> dst(static_cast<size_t>(s.w * s.h * 4));
      Compare(state, PathNamed("UYVY_bgr"), s,
              [&] { libyuv::UYVYToARGB(src.data(), s.w * 2, dst.data(), s.w * 4, s.w, s.h); });
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("Ref/libyuv/YUY2ToARGB/" + size).c_str(), [s](benchmark::State& state) {
      const auto src = RandomBytes(static_cast<size_t>(s.w * s.h * 2), 1);
      std::vector<uint8_t> dst(static_cast<size_t>(s.w * s.h * 4));
      Compare(state, PathNamed("YUY2_bgr"), s,
              [&] { libyuv::YUY2ToARGB(src.data(), s.w * 2, dst.data(), s.w * 4, s.w, s.h); });
    })->Unit(benchmark::kMicrosecond);
  }
#endif
#ifdef KELVANE_HAVE_OPENCV
  cv::setNumThreads(1);
  struct CvCase {
    const char* name;
    int code;
    const char* ours;
    int src_type;
    int rows_num, rows_den;  // source rows relative to the image height
  };
  static const CvCase kCv[] = {
      {"YUV2BGR_I420", cv::COLOR_YUV2BGR_I420, "I420_bgr", CV_8UC1, 3, 2},
      {"YUV2BGR_UYVY", cv::COLOR_YUV2BGR_UYVY, "UYVY_bgr", CV_8UC2, 1, 1},
      {"YUV2BGR_YUY2", cv::COLOR_YUV2BGR_YUY2, "YUY2_bgr", CV_8UC2, 1, 1},
      {"BGR2GRAY", cv::COLOR_BGR2GRAY, "RGB24_grey", CV_8UC3, 1, 1},
      {"BayerBG2BGR", cv::COLOR_BayerBG2BGR, "RAW8_bgr_alg2", CV_8UC1, 1, 1},
      {"BayerBG2BGR_EA", cv::COLOR_BayerBG2BGR_EA, "RAW8_bgr_alg3", CV_8UC1, 1, 1},
  };
  for (const CvCase& c : kCv)
    for (Size s : kSizes)
      benchmark::RegisterBenchmark((std::string("Ref/opencv/") + c.name + "/" + SizeName(s)).c_str(),
                                   [&c, s](benchmark::State& state) {
                                     cv::Mat src(s.h * c.rows_num / c.rows_den, s.w, c.src_type);
                                     cv::randu(src, 0, 256);
                                     cv::Mat dst;
                                     cv::cvtColor(src, dst, c.code);  // allocate once, outside the timing
                                     Compare(state, PathNamed(c.ours), s, [&] { cv::cvtColor(src, dst, c.code); });
                                   })
          ->Unit(benchmark::kMicrosecond);
#endif
#ifdef KELVANE_HAVE_DC1394
  struct DcCase {
    const char* name;
    dc1394bayer_method_t method;
    const char* ours;
  };
  static const DcCase kDc[] = {
      {"NEAREST", DC1394_BAYER_METHOD_NEAREST, "RAW8_bgr_alg1"},
      {"SIMPLE", DC1394_BAYER_METHOD_SIMPLE, "RAW8_bgr_alg4"},
      {"BILINEAR", DC1394_BAYER_METHOD_BILINEAR, "RAW8_bgr_alg2"},
      {"HQLINEAR", DC1394_BAYER_METHOD_HQLINEAR, "RAW8_bgr_alg3"},
  };
  for (const DcCase& c : kDc)
    for (Size s : kSizes)
      benchmark::RegisterBenchmark((std::string("Ref/dc1394/") + c.name + "/" + SizeName(s)).c_str(),
                                   [&c, s](benchmark::State& state) {
                                     const auto src = RandomBytes(static_cast<size_t>(s.w * s.h), 1);
                                     std::vector<uint8_t> dst(static_cast<size_t>(s.w * s.h * 3));
                                     Compare(state, PathNamed(c.ours), s, [&] {
                                       dc1394_bayer_decoding_8bit(src.data(), dst.data(), static_cast<uint32_t>(s.w),
                                                                  static_cast<uint32_t>(s.h),
                                                                  DC1394_COLOR_FILTER_BGGR, c.method);
                                     });
                                   })
          ->Unit(benchmark::kMicrosecond);
#endif
}

const int kRegistered = [] {
#ifdef __GLIBC__
  // Frame-sized buffers page-aligned, as a capture driver's are, whatever was
  // allocated and freed before (see targets_bench.cpp).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  RegisterConversions();
  RegisterAveraging();
  RegisterMemcpy();
  RegisterReferences();
  return 0;
}();

}  // namespace
