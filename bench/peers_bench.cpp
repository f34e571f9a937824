// Every conversion and demosaicing path that a peer library also offers, at
// four frame sizes, on a first call and on a repeated call, one thread:
//
//   ./kelvane_bench --benchmark_filter=PeersBySize
//
// prints one line per path and size: our time, the fastest peer's, and the
// ratio (at most 1 is the goal). A repeated call is the best of several runs
// of the thread's processor time with the frame in the caches where it fits;
// a first call is one call into output memory never touched before (the median
// of 9), as the first frame after a camera opens; its page faults (the median
// count, ours and the peer's) are printed beside it, since at the smaller sizes
// they are most of a first call. Peers are timed only where they are installed
// (scripts/setup --bench).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frames/band_pool.h"
#include "thread_timing.h"
#include "frames/frame_store.h"

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

double Repeated(const std::function<void()>& fn) { return kelvane::bench::BestSecondsPerCall(fn, 0.01); }

long MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

struct FirstCall {
  double seconds;
  long faults;
};

// The median of 9 single calls, each after `prepare` made fresh output memory.
FirstCall First(const std::function<void()>& prepare, const std::function<void()>& fn) {
  constexpr int kCalls = 9;
  std::vector<double> t;
  std::vector<long> faults;
  for (int r = 0; r < kCalls; ++r) {
    prepare();
    const long faults_before = MinorFaults();
    const double start = kelvane::bench::ThreadSeconds();
    fn();
    t.push_back(kelvane::bench::ThreadSeconds() - start);
    faults.push_back(MinorFaults() - faults_before);
  }
  std::sort(t.begin(), t.end());
  std::sort(faults.begin(), faults.end());
  return {t[kCalls / 2], faults[kCalls / 2]};
}

std::vector<uint8_t> Random(size_t n) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(7);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// A peer's output memory, allocated on its first use and never initialised,
// so a first call writes into pages never touched, as the frame store's does.
struct Output {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  uint8_t* Get(size_t n) {
    if (size < n) {
      bytes.reset(new uint8_t[n]);
      size = n;
    }
    return bytes.get();
  }
};

// A peer: converts `in` (a frame of w x h) into `out`.
using PeerFn = std::function<void(const uint8_t* in, Output& out, int w, int h)>;
struct Peer {
  std::string name;
  PeerFn fn;
};

struct Path {
  std::string name;
  FrameType type;
  bool colour;
  int32_t raw_mode, algorithm;
  double in_bytes_per_pixel;
  std::vector<Peer> peers;
};

std::vector<Path> Paths() {
  std::vector<Path> paths = {
      {"YUY2_bgr", FrameType::Yuy2, true, 0, 0, 2, {}},   {"UYVY_bgr", FrameType::Uyvy, true, 0, 0, 2, {}},
      {"I420_bgr", FrameType::I420, true, 0, 0, 1.5, {}}, {"YUY2_grey", FrameType::Yuy2, false, 0, 0, 2, {}},
      {"RGB24_grey", FrameType::Rgb24, false, 0, 0, 3, {}}, {"RAW8_alg1_nearest", FrameType::Raw8, true, 1, 1, 1, {}},
      {"RAW8_alg2_bilinear", FrameType::Raw8, true, 1, 2, 1, {}}, {"RAW8_alg3_hqlinear", FrameType::Raw8, true, 1, 3, 1, {}},
      {"RAW8_alg4_simple", FrameType::Raw8, true, 1, 4, 1, {}},
  };
  auto add = [&](const char* path, const char* name, PeerFn fn) {
    for (Path& p : paths)
      if (p.name == path) p.peers.push_back({name, std::move(fn)});
  };
#ifdef KELVANE_HAVE_LIBYUV
  add("YUY2_bgr", "libyuv YUY2ToARGB", [](const uint8_t* in, Output& out, int w, int h) {
    uint8_t* o = out.Get(size_t(4) * w * h);
    libyuv::YUY2ToARGB(in, 2 * w, o, 4 * w, w, h);
  });
  add("UYVY_bgr", "libyuv UYVYToARGB", [](const uint8_t* in, Output& out, int w, int h) {
    uint8_t* o = out.Get(size_t(4) * w * h);
    libyuv::UYVYToARGB(in, 2 * w, o, 4 * w, w, h);
  });
  add("I420_bgr", "libyuv I420ToRGB24", [](const uint8_t* in, Output& out, int w, int h) {
    uint8_t* o = out.Get(size_t(3) * w * h);
    const size_t n = size_t(w) * h;
    libyuv::I420ToRGB24(in, w, in + n, w / 2, in + n * 5 / 4, w / 2, o, 3 * w, w, h);
  });
  add("RGB24_grey", "libyuv RGB24ToJ400", [](const uint8_t* in, Output& out, int w, int h) {
    uint8_t* o = out.Get(size_t(w) * h);
    libyuv::RGB24ToJ400(in, 3 * w, o, w, w, h);
  });
#endif
#ifdef KELVANE_HAVE_OPENCV
  cv::setNumThreads(1);
  auto cv_peer = [](int code, int in_type, int rows_factor_num, int rows_factor_den) {
    return [=](const uint8_t* in, Output& out, int w, int h) {
      const cv::Mat src(h * rows_factor_num / rows_factor_den, w, in_type, const_cast<uint8_t*>(in));
      const bool grey = code == cv::COLOR_YUV2GRAY_YUY2 || code == cv::COLOR_BGR2GRAY;
      uint8_t* o = out.Get(size_t(grey ? 1 : 3) * w * h);
      cv::Mat dst(h, w, grey ? CV_8UC1 : CV_8UC3, o);
      cv::cvtColor(src, dst, code);
    };
  };
  add("YUY2_bgr", "OpenCV YUV2BGR_YUY2", cv_peer(cv::COLOR_YUV2BGR_YUY2, CV_8UC2, 1, 1));
  add("UYVY_bgr", "OpenCV YUV2BGR_UYVY", cv_peer(cv::COLOR_YUV2BGR_UYVY, CV_8UC2, 1, 1));
  add("I420_bgr", "OpenCV YUV2BGR_I420", cv_peer(cv::COLOR_YUV2BGR_I420, CV_8UC1, 3, 2));
  add("YUY2_grey", "OpenCV YUV2GRAY_YUY2", cv_peer(cv::COLOR_YUV2GRAY_YUY2, CV_8UC2, 1, 1));
  add("RGB24_grey", "OpenCV BGR2GRAY", cv_peer(cv::COLOR_BGR2GRAY, CV_8UC3, 1, 1));
  add("RAW8_alg2_bilinear", "OpenCV BayerBG2BGR", cv_peer(cv::COLOR_BayerBG2BGR, CV_8UC1, 1, 1));
  add("RAW8_alg3_hqlinear", "OpenCV BayerBG2BGR_EA", cv_peer(cv::COLOR_BayerBG2BGR_EA, CV_8UC1, 1, 1));
#endif
#ifdef KELVANE_HAVE_DC1394
  auto dc_peer = [](dc1394bayer_method_t method) {
    return [=](const uint8_t* in, Output& out, int w, int h) {
      uint8_t* o = out.Get(size_t(3) * w * h);
      dc1394_bayer_decoding_8bit(in, o, uint32_t(w), uint32_t(h), DC1394_COLOR_FILTER_BGGR, method);
    };
  };
  add("RAW8_alg1_nearest", "libdc1394 NEAREST", dc_peer(DC1394_BAYER_METHOD_NEAREST));
  add("RAW8_alg2_bilinear", "libdc1394 BILINEAR", dc_peer(DC1394_BAYER_METHOD_BILINEAR));
  add("RAW8_alg3_hqlinear", "libdc1394 HQLINEAR", dc_peer(DC1394_BAYER_METHOD_HQLINEAR));
  add("RAW8_alg4_simple", "libdc1394 SIMPLE", dc_peer(DC1394_BAYER_METHOD_SIMPLE));
#endif
  return paths;
}

std::unique_ptr<FrameStore> Store(const Path& p, int w, int h) {
  auto store = std::make_unique<FrameStore>(p.type, w, h, 0);
  FrameSettings s;
  s.RawMode = p.raw_mode;
  s.Algorithm = p.algorithm;
  store->ApplySettings(s);
  store->SetColorOutput(p.colour);
  return store;
}

void PeersBySize(benchmark::State& state) {
  kelvane::frames::SetConversionThreads(1);  // one thread on both sides
#ifdef __GLIBC__
  // glibc raises its threshold for mapping a block whenever a mapped block is
  // freed, and from then on serves blocks of that size from its heap, whose
  // pages the call before has touched: a "first" call on either side would then
  // be timed into warm memory or not by chance. Fixed below the smallest
  // output here (a grey 320 x 240 image, 75 KiB), every output (ours and the
  // peers') is mapped afresh.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
#endif
  constexpr int kSizes[][2] = {{320, 240}, {640, 480}, {1280, 960}, {2448, 2048}};
  const std::vector<Path> paths = Paths();
  struct Row {
    std::string path, peer;
    int w, h;
    double ours_first, peer_first, ours_repeat, peer_repeat;
    long ours_faults, peer_faults;
  };
  std::vector<Row> rows;
  for (auto _ : state) {
    for (const auto& size : kSizes) {
      const int w = size[0], h = size[1];
      for (const Path& p : paths) {
        if (p.peers.empty()) continue;
        const auto in = Random(static_cast<size_t>(p.in_bytes_per_pixel * w * h));
        std::unique_ptr<FrameStore> store;
        const FirstCall ours_first = First([&] { store = Store(p, w, h); },
                                           [&] { benchmark::DoNotOptimize(store->ProcessFrame(in.data(), in.size())); });
        store = Store(p, w, h);
        const double ours_repeat = Repeated([&] {
          benchmark::DoNotOptimize(store->ProcessFrame(in.data(), in.size()));
          store->ResetCycle();
        });
        Row best{p.name, "", w, h, ours_first.seconds, 1e9, ours_repeat, 1e9, ours_first.faults, 0};
        for (const Peer& peer : p.peers) {
          Output out;
          const FirstCall first = First([&] { out = Output(); }, [&] { peer.fn(in.data(), out, w, h); });
          const double repeat = Repeated([&] {
            peer.fn(in.data(), out, w, h);
            benchmark::ClobberMemory();
          });
          if (repeat < best.peer_repeat) {
            best.peer = peer.name;
            best.peer_repeat = repeat;
          }
          if (first.seconds < best.peer_first) {
            best.peer_first = first.seconds;
            best.peer_faults = first.faults;
          }
        }
        rows.push_back(best);
      }
    }
  }
  std::printf("\nOne thread; ratios are ours / the fastest peer (at most 1 is the goal)\n");
  std::printf("%-20s %-11s %-24s %9s %9s %6s   %9s %9s %6s   %s\n", "path", "size", "fastest peer (repeated)",
              "first ms", "peer", "ratio", "again ms", "peer", "ratio", "first-call faults (ours/peer)");
  for (const Row& r : rows) {
    const std::string size = std::to_string(r.w) + "x" + std::to_string(r.h);
    std::printf("%-20s %-11s %-24s %9.3f %9.3f %6.2f   %9.3f %9.3f %6.2f   %ld/%ld\n", r.path.c_str(), size.c_str(),
                r.peer.c_str(), 1e3 * r.ours_first, 1e3 * r.peer_first, r.ours_first / r.peer_first,
                1e3 * r.ours_repeat, 1e3 * r.peer_repeat, r.ours_repeat / r.peer_repeat, r.ours_faults, r.peer_faults);
    state.counters[r.path + "@" + size + "/first"] = r.ours_first / r.peer_first;
    state.counters[r.path + "@" + size + "/again"] = r.ours_repeat / r.peer_repeat;
  }
  std::printf("\n");
  kelvane::frames::SetConversionThreads(0);
}

BENCHMARK(PeersBySize)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
