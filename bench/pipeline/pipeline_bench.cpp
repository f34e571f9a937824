// The whole pipeline against its conversion kernel: a simulated 1280 x 960
// YUY2 camera streaming as fast as it can, in continuous colour mode, through
// the exports, compared with the frame store converting the same frame alone.
// The host-copy figures read every image on the host's thread while the
// streaming thread converts the next one; the kernel is timed after the stream
// has stopped, so that nothing else converts beside it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "frames/frame_store.h"
#include "host/state.h"
#include "kelvane/grabber.h"
#include "platform/sim/sim.h"
#include "settings/camera_settings.h"

namespace {

constexpr int32_t kWidth = 1280, kHeight = 960;
constexpr const char* kCamera = "Bench Camera";
constexpr const char* kConfigName = "Bench Optics BC-1280 - 1";

const char* kBus = R"({"rate": "fast", "cameras": [{
  "name": "Bench Camera", "kind": "1394", "vendor": "Bench Optics", "model": "BC-1280", "number": 1,
  "formats": [{"subtype": "YUY2", "width": 1280, "height": 960, "fps": [3, 4, 5], "fps_code": 5}],
  "source": {"still": true}}]})";

std::mutex g_mutex;
std::condition_variable g_done;
int64_t g_images = 0;

int32_t OnImage(int32_t, int32_t) {
  {
    std::lock_guard lock(g_mutex);
    ++g_images;
  }
  g_done.notify_all();
  return 0;
}

// The bench camera's library, settings file and simulated bus, once per process.
bool Prepare() {
  static bool prepared = [] {
    const auto dir = std::filesystem::temp_directory_path() / ("kelvane-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("KELVANE_LOCK_DIR", dir.c_str(), 1);
    {
      // Colour with a Bayer code set: the graph connects the camera straight to
      // the grabber and the library's own YUY2 conversion does the work.
      std::ofstream ini(dir / "Kelvane.ini");
      ini << "[" << kConfigName << "]\nSubType="
          << kelvane::settings::GuidToText(kelvane::platform::MEDIASUBTYPE_YUY2)
          << "\nColor=1\nRawMode=1\nContinousVideo=1\n";
    }
    if (!kelvane::sim::LoadBusFromText(kBus)) return false;
    initialize(dir.c_str(), nullptr);
    return true;
  }();
  return prepared;
}

bool g_open = false;

// Opens the bench camera, streaming continuously in colour, unless it is open.
bool StartStreaming() {
  if (g_open) return true;
  if (!Prepare()) return false;
  int32_t size[2];
  if (!openCVLPort(0, 0, kConfigName, size) || size[0] != kWidth || size[1] != kHeight) return false;
  g_open = true;
  setCompleteCallback(0, 0, OnImage);
  return setProperty(0, 0, "Continous", 1) == 1;
}

// Stops the stream and closes the camera: its streaming thread would share the
// processor and the memory bus with a kernel being timed alone.
void StopStreaming() {
  if (!g_open) return;
  setProperty(0, 0, "Continous", 0);
  closeCVLPort(0, 0);
  g_open = false;
}

void BM_PipelineYuy2ToBgr(benchmark::State& state) {
  if (!StartStreaming()) {
    state.SkipWithError("could not start the simulated camera");
    return;
  }
  for (auto _ : state) {
    std::unique_lock lock(g_mutex);
    const int64_t next = g_images + 1;
    g_done.wait(lock, [&] { return g_images >= next; });
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PipelineYuy2ToBgr)->UseRealTime()->MinTime(1.0);

// Waits until an image newer than `seen` is published; returns its number.
int64_t WaitForImageAfter(int64_t seen) {
  std::unique_lock lock(g_mutex);
  g_done.wait(lock, [&] { return g_images > seen; });
  return g_images;
}

// The whole image as a host reads it, bottom row first.
bool ReadImage(std::vector<uint8_t>& image) {
  return getCVLGrabRow(0, 0, image.data(), 0, 0, kWidth * kHeight - 1) == 1;
}

// The same published image copied plainly with memcpy, in memory order: what
// the read would cost if it added nothing to moving the bytes.
bool CopyImagePlainly(std::vector<uint8_t>& image) {
  kelvane::host::PortCall call("bench", 0, 0);
  if (!call) return false;
  const kelvane::frames::FrameStore& store = *call.Camera().Frames;
  const kelvane::frames::FrameStore::PublishedImage published = store.Published();
  const size_t bytes = std::min<size_t>(store.FrameSize(), image.size());
  call.Leave();
  std::memcpy(image.data(), published.Data(), bytes);
  return true;
}

// Waits for the next image, then copies it whole as a host does. read_ms: the
// mean time a whole-image read takes when the host reads each image once while
// the next one is converted beside it. The plain variant copies each image
// with memcpy instead: the rate a host that copies every image could reach at
// best on this machine, where the copy and the conversion share the caches
// and the memory.
void HostCopiesEveryImage(benchmark::State& state, bool (*copy)(std::vector<uint8_t>&)) {
  if (!StartStreaming()) {
    state.SkipWithError("could not start the simulated camera");
    return;
  }
  std::vector<uint8_t> image(size_t{kWidth} * kHeight * 3);
  int64_t seen = 0;
  std::chrono::steady_clock::duration reading{};
  for (auto _ : state) {
    seen = WaitForImageAfter(seen);
    const auto start = std::chrono::steady_clock::now();
    if (!copy(image)) state.SkipWithError("the read failed");
    reading += std::chrono::steady_clock::now() - start;
    benchmark::DoNotOptimize(image.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["read_ms"] = std::chrono::duration<double, std::milli>(reading).count() /
                              static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}
void BM_PipelineYuy2ToBgrHostCopies(benchmark::State& state) { HostCopiesEveryImage(state, ReadImage); }
BENCHMARK(BM_PipelineYuy2ToBgrHostCopies)->UseRealTime()->MinTime(1.0);
void BM_PipelineYuy2ToBgrHostCopiesPlainly(benchmark::State& state) { HostCopiesEveryImage(state, CopyImagePlainly); }
BENCHMARK(BM_PipelineYuy2ToBgrHostCopiesPlainly)->UseRealTime()->MinTime(1.0);

// Our whole-image read against a plain copy of the same image, the two in
// turn on fresh images: each copies an image the streaming thread has just
// finished on the other core, while it converts the next one. read_ms and
// plain_ms are their mean times; read_over_plain is what the read itself adds.
void BM_FreshImageReadAgainstPlainCopy(benchmark::State& state) {
  if (!StartStreaming()) {
    state.SkipWithError("could not start the simulated camera");
    return;
  }
  std::vector<uint8_t> image(size_t{kWidth} * kHeight * 3);
  int64_t seen = 0, turns[2] = {0, 0};
  std::chrono::steady_clock::duration spent[2] = {};
  for (auto _ : state) {
    seen = WaitForImageAfter(seen);
    const int plain = static_cast<int>(turns[0] > turns[1]);
    const auto start = std::chrono::steady_clock::now();
    if (!(plain != 0 ? CopyImagePlainly(image) : ReadImage(image))) state.SkipWithError("the read failed");
    spent[plain] += std::chrono::steady_clock::now() - start;
    ++turns[plain];
    benchmark::DoNotOptimize(image.data());
  }
  const auto mean = [&](int i) {
    return std::chrono::duration<double, std::milli>(spent[i]).count() /
           static_cast<double>(std::max<int64_t>(turns[i], 1));
  };
  state.counters["read_ms"] = mean(0);
  state.counters["plain_ms"] = mean(1);
  state.counters["read_over_plain"] = mean(0) / std::max(mean(1), 1e-9);
}
BENCHMARK(BM_FreshImageReadAgainstPlainCopy)->UseRealTime()->MinTime(1.0);

// A whole-image read while the camera streams, against a plain copy of as many bytes.
void BM_WholeImageRead(benchmark::State& state) {
  if (!StartStreaming()) {
    state.SkipWithError("could not start the simulated camera");
    return;
  }
  std::vector<uint8_t> image(size_t{kWidth} * kHeight * 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(getCVLGrabRow(0, 0, image.data(), 0, 0, kWidth * kHeight - 1));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_WholeImageRead)->UseRealTime()->MinTime(1.0);

// Copies as many bytes as an image holds, once per iteration.
void CopyAnImage(benchmark::State& state) {
  std::vector<uint8_t> from(size_t{kWidth} * kHeight * 3, 1), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(from.size()));
}

void BM_PlainCopy(benchmark::State& state) { CopyAnImage(state); }
BENCHMARK(BM_PlainCopy)->UseRealTime()->MinTime(1.0);

// The same plain copy while the camera streams: the streaming thread's
// conversions share the memory bus and the last-level cache with the copy, as
// they do with the whole-image read above.
void BM_PlainCopyWhileStreaming(benchmark::State& state) {
  if (!StartStreaming()) {
    state.SkipWithError("could not start the simulated camera");
    return;
  }
  CopyAnImage(state);
}
BENCHMARK(BM_PlainCopyWhileStreaming)->UseRealTime()->MinTime(1.0);

// The host's share of the kernel's rate in one run: rounds of a host copying
// every image while the camera streams, then of the kernel alone with the
// camera closed, in turn, 0.4 seconds each, so that both see the same
// state of a machine shared with other jobs (run apart, as the benchmarks above
// and below are, they can be minutes and loads apart). host_over_kernel is the
// median over the rounds of the images a second that reach the host over the
// frames a second the kernel converts alone (both in real time).
void BM_HostCopiesAgainstKernel(benchmark::State& state) {
  if (!Prepare()) {
    state.SkipWithError("could not load the simulated camera");
    return;
  }
  const std::vector<uint8_t> frame = kelvane::sim::RenderFrame(kCamera, 0);
  kelvane::frames::FrameStore store(kelvane::frames::FrameType::Yuy2, kWidth, kHeight, 0);
  store.SetColorOutput(true);
  std::vector<uint8_t> image(size_t{kWidth} * kHeight * 3);
  using Clock = std::chrono::steady_clock;
  constexpr auto kWindow = std::chrono::milliseconds(400);
  auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  std::vector<double> host, kernel, ratios;
  for (auto _ : state) {
    if (!StartStreaming()) {
      state.SkipWithError("could not start the simulated camera");
      return;
    }
    int64_t seen = 0;
    {
      std::lock_guard lock(g_mutex);
      seen = g_images;
    }
    // Reads every image for `window`; returns how many it read.
    auto read_for = [&](Clock::duration window) {
      int64_t read = 0;
      const auto start = Clock::now();
      while (Clock::now() - start < window) {
        seen = WaitForImageAfter(seen);
        if (!ReadImage(image)) {
          state.SkipWithError("the read failed");
          break;
        }
        benchmark::DoNotOptimize(image.data());
        ++read;
      }
      return read;
    };
    // The images of the first 0.2 seconds after opening are not counted:
    // their first writes, and the threads finding their cores, vary from round
    // to round far more than the rest.
    read_for(kWindow / 2);
    const auto start = Clock::now();
    const int64_t read = read_for(kWindow);
    host.push_back(static_cast<double>(read) / seconds(Clock::now() - start));
    StopStreaming();
    int64_t converted = 0;
    const auto alone = Clock::now();
    while (Clock::now() - alone < kWindow) {
      benchmark::DoNotOptimize(store.ProcessFrame(frame.data(), frame.size()));
      store.ResetCycle();
      ++converted;
    }
    kernel.push_back(static_cast<double>(converted) / seconds(Clock::now() - alone));
    ratios.push_back(host.back() / kernel.back());
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  state.counters["host_images_per_s"] = median(host);
  state.counters["kernel_frames_per_s"] = median(kernel);
  state.counters["host_over_kernel"] = median(ratios);
}
BENCHMARK(BM_HostCopiesAgainstKernel)->UseRealTime()->Iterations(9)->Unit(benchmark::kMillisecond);

void BM_KernelYuy2ToBgr(benchmark::State& state) {
  const std::vector<uint8_t> frame = [] {
    StopStreaming();
    Prepare();
    return kelvane::sim::RenderFrame(kCamera, 0);
  }();
  kelvane::frames::FrameStore store(kelvane::frames::FrameType::Yuy2, kWidth, kHeight, 0);
  store.SetColorOutput(true);
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.ProcessFrame(frame.data(), frame.size()));
    store.ResetCycle();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KernelYuy2ToBgr)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
