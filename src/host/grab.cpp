// The grab cycle: arming a grab, waiting for its image, reading the image out,
// and the camera's external trigger.
#include "host/grab.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "capture/graph.h"
#include "diagnostics/diagnostics.h"
#include "frames/kernels.h"
#include "host/library.h"

namespace kelvane::host {

using namespace platform;

namespace {

constexpr uint32_t kTriggerModeRegister = 0xF0F00830;
constexpr int32_t kDefaultGrabBoundMs = 2000;
constexpr int64_t kMaxCycleAllowanceMs = 60000;
// The wait for an image ended because the camera has gone.
constexpr HRESULT kDeviceLost = MakeHr(0x8007048Fu);

// Waits for EC_COMPLETE of the grab armed with `sequence`; completions of earlier
// images (a late frame of a grab whose wait had already given up) are skipped.
HRESULT WaitForImage(IGraphBuilder* graph, int32_t boundMs, uint32_t sequence) {
  ComPtr<IMediaEventEx> events;
  if (FAILED(QueryInto(graph, events)) || !events) return E_FAIL;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    int32_t code = 0;
    intptr_t param1 = 0, param2 = 0;
    if (FAILED(events->GetEvent(&code, &param1, &param2, static_cast<int32_t>(left)))) return E_FAIL;
    if (code == EC_COMPLETE && static_cast<int32_t>(static_cast<uint32_t>(param1) - sequence) >= 0) return S_OK;
    if (code == EC_DEVICE_LOST) return kDeviceLost;
    if (left == 0) return E_FAIL;
  }
}

}  // namespace

// Dropped and averaged frames count in full; retries of frozen frames count for
// at most the Timeout once more (a camera that keeps sending a frozen picture
// has failed); the whole allowance stops at one minute, so a camera that stops
// delivering never blocks the host for long.
int32_t GrabBound(const CameraRecord& camera, int32_t timeoutMs) {
  const int64_t base = timeoutMs > 0                 ? timeoutMs
                       : camera.Settings.Timeout > 0 ? camera.Settings.Timeout
                                                     : kDefaultGrabBoundMs;
  const int64_t intervalMs = std::max<int64_t>(camera.FrameInterval, 0) / 10000;
  if (intervalMs <= 0 || !camera.Decoder || !camera.Frames) return static_cast<int32_t>(base);
  const int64_t dropped = std::max<int32_t>(camera.Decoder->DropCnt.load(), 0);
  const int64_t averaged = std::max<int32_t>(camera.Frames->MeanCnt(), 1);
  const int64_t retries =
      camera.Frames->BlackLvlPoints() > 0 ? std::max<int32_t>(camera.Frames->BlackLvlRetry() - 1, 0) : 0;
  const int64_t cap = kMaxCycleAllowanceMs / intervalMs + 1;  // frames, so the products below cannot overflow
  int64_t allowance = std::min(dropped + averaged, cap) * intervalMs;
  allowance += std::min(std::min(averaged * retries, cap) * intervalMs, base);
  allowance = std::min(allowance, kMaxCycleAllowanceMs);
  return static_cast<int32_t>(std::min<int64_t>(base + allowance, INT32_MAX));
}

SnapshotResult Snapshot(CameraRecord& camera, int32_t timeoutMs, uint32_t sequence) {
  if (capture::RunGraph(camera.MediaControl.Get(), timeoutMs) != 0) return SnapshotResult::NotRunning;
  if (camera.Decoder && camera.Decoder->Callback.load()) return SnapshotResult::Delivered;
  const HRESULT hr = WaitForImage(camera.Graph.Get(), GrabBound(camera, timeoutMs), sequence);
  if (SUCCEEDED(hr)) return SnapshotResult::Delivered;
  return hr == kDeviceLost ? SnapshotResult::DeviceLost : SnapshotResult::NoImage;
}

int32_t Grab(int32_t grabber, int32_t port) {
  PortCall call("doCVLGrab", grabber, port);
  if (!call) return 0;
  CameraRecord& camera = call.Camera();
  frames::CVideoDecoderCB& decoder = *camera.Decoder;
  if (decoder.OnStreamingThread() && !decoder.Callback.load()) {
    // The image would have to come from this very thread.
    Refuse("doCVLGrab", grabber, port, "a synchronous grab cannot wait inside the camera's own callback");
    return 0;
  }
  const uint32_t sequence = decoder.Arm();
  SnapshotResult r;
  try {
    r = Snapshot(camera, 0, sequence);
  } catch (...) {
    decoder.Disarm();
    throw;
  }
  if (r == SnapshotResult::NotRunning) {
    // No image can come for this grab: none may turn up later and be taken for it.
    decoder.Disarm();
    Refuse("doCVLGrab", grabber, port, "%s: the graph did not run, no image", camera.ConfigName);
    return 0;
  }
  if (r == SnapshotResult::DeviceLost) {
    decoder.Disarm();
    Refuse("doCVLGrab", grabber, port,
           "%s: the camera has gone (unplugged?); close the port and open it again once the camera is back",
           camera.ConfigName);
    return 0;
  }
  return r == SnapshotResult::Delivered ? 1 : 0;
}

int32_t SetCallback(int32_t grabber, int32_t port, CompleteCallback callback) {
  PortCall call("setCompleteCallback", grabber, port);
  if (!call) return 0;
  // With the camera's gate held no callback of the camera runs, so the old
  // callback is never called once this returns.
  frames::CVideoDecoderCB& decoder = *call.Camera().Decoder;
  decoder.Port.store(port);
  decoder.Callback.store(callback);
  return 1;
}

int32_t SwitchTrigger(CameraRecord& camera, int32_t enable) {
  const settings::CameraSettings& s = camera.Settings;
  HRESULT hr = S_OK;
  if (camera.CameraInfo) {
    uint32_t value = 0;
    hr = camera.CameraInfo->ReadRegister(kTriggerModeRegister, &value);
    if (SUCCEEDED(hr) && (value & 0x80000000u)) {
      value = (value & 0xFCF0FFFFu) | (enable ? 0x02000000u : 0u) |
              (static_cast<uint32_t>(s.TriggerPolarity) & 1u) * 0x01000000u |
              (static_cast<uint32_t>(s.TriggerMode) & 0xFu) * 0x10000u;
      hr = camera.CameraInfo->WriteRegister(kTriggerModeRegister, value);
    }
  } else if (s.HWTrigger != 0 && camera.VideoControl && camera.CapturePin) {
    hr = camera.VideoControl->SetMode(camera.CapturePin.Get(), enable ? VideoControlFlag_ExternalTriggerEnable : 0);
    if (!enable) return SUCCEEDED(hr) ? 1 : 0;
    if (FAILED(hr)) LogFailure("Failed setting ExternalTriggerEnable", hr);
  }
  // An externally triggered camera runs without the frozen-image test until its next first open.
  if (enable && camera.Frames) camera.Frames->DisableStaticTest();
  return SUCCEEDED(hr) ? 1 : 0;
}

int32_t SetTrigger(int32_t grabber, int32_t port, int32_t enable) {
  PortCall call("setHWTrigger", grabber, port);
  if (!call) return 0;
  return SwitchTrigger(call.Camera(), enable);
}

int32_t GrabRow(int32_t grabber, int32_t port, void* destination, int32_t row, int32_t first, int32_t last) {
  const uint32_t from = static_cast<uint32_t>(first), to = static_cast<uint32_t>(last);
  if (!destination) {
    Refuse("getCVLGrabRow", grabber, port, "no destination (null pointer)");
    return 0;
  }
  if (to <= from) {
    Refuse("getCVLGrabRow", grabber, port, "last (%u) is not above first (%u)", to, from);
    return 0;
  }
  PortCall call("getCVLGrabRow", grabber, port);
  if (!call) return 0;
  CameraRecord& camera = call.Camera();
  // The host copies the published image: the streaming thread converts the
  // next frame into another buffer meanwhile, and publishes it beside this one.
  // The copy runs outside the camera's gate, so that the streaming thread can
  // call the host back for the next image while this one is copied: holding
  // the image keeps its buffer, which "PixelSize" or the last close frees only
  // once no copy holds it. Everything else the copy needs is read here, under
  // the gate.
  const frames::FrameStore& f = *camera.Frames;
  const frames::FrameStore::PublishedImage image = f.Published();
  const uint8_t* p = image.Row(row);
  if (!p) {
    Refuse("getCVLGrabRow", grabber, port, "row %d is not one of 0..%d", row, f.Rows() - 1);
    return 0;
  }
  const uint64_t b = f.PixelBits() / 8u;
  const uint64_t n = (static_cast<uint64_t>(to) - from + 1) * b;
  auto* out = static_cast<uint8_t*>(destination);
  if (n == f.FrameSize()) {
    // The whole image, bottom row first.
    const auto rows = static_cast<size_t>(f.Rows());
    const size_t rowLength = f.RowLength();
    const uint8_t* data = image.Data();
    const bool topDown = data == image.Row(0);
    const frames::Kernels* kernels = f.KernelSet();
    const frames::Kernels& set = kernels != nullptr ? *kernels : frames::ScalarKernels();
    call.Leave();
    if (topDown)
      set.CopyRowsReversed(data, out, rowLength, rows);
    else
      std::memcpy(out, data, n);  // stored bottom-up already
    return 1;
  }
  // Pixels first..last of one row: the range must lie inside the row.
  if (to >= static_cast<uint32_t>(f.Width())) {
    Refuse("getCVLGrabRow", grabber, port,
           "pixels %u..%u reach past the row of %d pixels (the whole image is 0..%llu in one call)", from, to,
           f.Width(), static_cast<unsigned long long>(f.FrameSize() / b - 1));
    return 0;
  }
  call.Leave();
  std::memcpy(out, p + static_cast<size_t>(from) * b, n);
  return 1;
}

}  // namespace kelvane::host
