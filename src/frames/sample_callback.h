// The sample callback of one open camera: every delivered frame enters the
// library here, on the capture framework's streaming thread. It decides whether
// the frame is wanted, runs the frame store's pipeline on it, and when an image
// is finished pauses a single-grab graph, tells the grab waiting for it, and
// calls the host's CompleteCallback.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "frames/frame_store.h"
#include "platform/dshow.h"

namespace kelvane::frames {

using HostCompleteCallback = int32_t (*)(int32_t grabber, int32_t port);

class CVideoDecoderCB final : public platform::ISampleGrabberCB {
 public:
  explicit CVideoDecoderCB(FrameStore& frames) : Frames(frames) {}

  // Its life belongs to the camera record, not to references.
  platform::HRESULT QueryInterface(platform::REFIID riid, void** object) override;
  platform::ULONG AddRef() override { return 2; }
  platform::ULONG Release() override { return 1; }
  platform::HRESULT SampleCB(double sampleTime, platform::IMediaSample* sample) override;
  platform::HRESULT BufferCB(double sampleTime, uint8_t* buffer, int32_t length) override;

  // Arms a single grab: the next frames after the drop count are taken. Returns
  // the grab's sequence number; the image finished for it carries a number at
  // least as large, so a completion of an earlier image never ends a later wait.
  uint32_t Arm();
  // The sequence of the last armed grab: an image begun from now on carries at least this.
  uint32_t CurrentSequence() const { return armed_.load(std::memory_order_acquire); }

  // Held while a frame is converted into the store. The host takes it to copy
  // the image out and to reallocate the store's buffers ("PixelSize"), so it
  // never reads a half-converted image and no frame lands in freed memory.
  std::mutex FrameLock;

  // Written by the host's threads, read by the streaming thread.
  std::atomic<uint8_t> GrabRequested{0};
  std::atomic<int32_t> DropCnt{1};
  std::atomic<int32_t> Port{0};
  std::atomic<uint8_t> Continuous{0};
  std::atomic<platform::IMediaControl*> PauseControl{nullptr};
  std::atomic<HostCompleteCallback> Callback{nullptr};
  // The graph's event sink: told EC_COMPLETE with the grab's sequence number
  // when an image is finished, which ends a synchronous grab's wait.
  std::atomic<platform::IMediaEventSink*> EventSink{nullptr};

  FrameStore& Frames;  // not owned

  // Streaming thread only.
  int32_t SkipCount = 0;

 private:
  std::atomic<uint32_t> armed_{0};
  uint32_t cycleSequence_ = 0;  // arming sequence of the image being built
  bool cycleOpen_ = false;
};

}  // namespace kelvane::frames
