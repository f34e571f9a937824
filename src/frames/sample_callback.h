// The sample callback of one open camera: every delivered frame enters the
// library here, on the capture framework's streaming thread. It decides whether
// the frame is wanted, runs the frame store's pipeline on it, and when an image
// is finished pauses a single-grab graph, tells the grab waiting for it, and
// calls the host's CompleteCallback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "frames/camera_gate.h"
#include "frames/frame_store.h"
#include "platform/dshow.h"

namespace kelvane::frames {

using HostCompleteCallback = int32_t (*)(int32_t grabber, int32_t port);

class CVideoDecoderCB final : public platform::ISampleGrabberCB {
 public:
  // `gate` serialises the host's CompleteCallback with the host's calls on the
  // camera; null: the callback is called without it.
  explicit CVideoDecoderCB(FrameStore& frames, CameraGate* gate = nullptr) : Frames(frames), gate_(gate) {}

  // Its life belongs to the camera record, not to references.
  platform::HRESULT QueryInterface(platform::REFIID riid, void** object) override;
  platform::ULONG AddRef() override { return 2; }
  platform::ULONG Release() override { return 1; }
  platform::HRESULT SampleCB(double sampleTime, platform::IMediaSample* sample) override;
  platform::HRESULT BufferCB(double sampleTime, uint8_t* buffer, int32_t length) override;

  // Arms a single grab: the next frames after the drop count are taken. Returns
  // the grab's sequence number; the image finished for it carries that number,
  // so a completion of an earlier image never ends a later wait. A grab armed
  // while an earlier image is still being built (averaging, frozen frames)
  // starts a cycle of its own: the image it gets is made of frames taken after it.
  uint32_t Arm();
  // Withdraws an armed grab that nobody waits for any more (the open's first
  // snapshot, a grab whose graph did not run): no later frame finishes it, and
  // the next grab starts afresh (drop count, averaging cycle).
  void Disarm();
  // The sequence of the last armed grab: an image begun from now on carries at least this.
  uint32_t CurrentSequence() const { return armed_.load(std::memory_order_acquire); }

  // The camera closes: from now on no frame is processed, the graph is not
  // paused, no completion is posted and the host's callback is not called. A
  // streaming thread that waits for the gate to call back gives up.
  void Detach();
  bool Detached() const { return detached_.load(std::memory_order_acquire); }
  // Waits until no frame is inside BufferCB (returns at once when called from inside it).
  void WaitIdle();
  // True on the streaming thread while it is inside this object's BufferCB.
  bool OnStreamingThread() const;

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
  platform::HRESULT Deliver(uint8_t* buffer, int32_t length);

  CameraGate* gate_;
  // Arming: armed_ and the writes of GrabRequested change together under
  // armMutex_, so the streaming thread's take of a grab never swallows a newer one.
  std::mutex armMutex_;
  std::atomic<uint32_t> armed_{0};
  uint32_t cycleSequence_ = 0;  // arming sequence of the image being built
  bool cycleOpen_ = false;      // frames of an image were taken and it is not finished

  std::atomic<bool> detached_{false};
  std::mutex idleMutex_;
  std::condition_variable idle_;
  int active_ = 0;  // BufferCB calls in progress
};

}  // namespace kelvane::frames
