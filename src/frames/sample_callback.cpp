#include "frames/sample_callback.h"

namespace kelvane::frames {

using namespace platform;

HRESULT CVideoDecoderCB::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == ISampleGrabberCB::iid || riid == IUnknown::iid) {
    *object = static_cast<ISampleGrabberCB*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT CVideoDecoderCB::SampleCB(double sampleTime, IMediaSample* sample) {
  if (!sample) return E_POINTER;
  uint8_t* buffer = nullptr;
  if (FAILED(sample->GetPointer(&buffer))) return E_FAIL;
  return BufferCB(sampleTime, buffer, sample->GetActualDataLength());
}

uint32_t CVideoDecoderCB::Arm() {
  uint32_t sequence = armed_.fetch_add(1, std::memory_order_acq_rel) + 1;
  GrabRequested.store(1, std::memory_order_release);
  return sequence;
}

HRESULT CVideoDecoderCB::BufferCB(double /*sampleTime*/, uint8_t* buffer, int32_t length) {
  const bool requested = GrabRequested.load(std::memory_order_acquire) != 0;
  if (!Continuous.load(std::memory_order_acquire) && !requested) return S_OK;  // not wanted
  if (requested && ++SkipCount <= DropCnt.load(std::memory_order_relaxed)) return S_OK;  // dropped after a trigger

  if (!cycleOpen_) {
    cycleSequence_ = armed_.load(std::memory_order_acquire);
    cycleOpen_ = true;
  }
  GrabRequested.store(0, std::memory_order_release);
  int result = kNoPipeline;
  if (buffer && length > 0) {
    std::lock_guard<std::mutex> lock(FrameLock);
    result = Frames.ProcessFrame(buffer, static_cast<size_t>(length));
    if (result == kImageFinished) Frames.ResetCycle();
  }
  switch (result) {
    case kStaticRejected:
    case kNeedMoreFrames:
      GrabRequested.store(1, std::memory_order_release);  // the next frame is taken
      return S_OK;
    case kImageFinished:
      break;
    default:
      return E_FAIL;
  }

  SkipCount = 0;
  cycleOpen_ = false;
  if (IMediaControl* pause = PauseControl.load(std::memory_order_acquire);
      pause && !Continuous.load(std::memory_order_acquire))
    pause->Pause();
  if (HostCompleteCallback callback = Callback.load(std::memory_order_acquire))
    callback(0, Port.load(std::memory_order_relaxed));
  if (IMediaEventSink* events = EventSink.load(std::memory_order_acquire))
    events->Notify(EC_COMPLETE, static_cast<intptr_t>(cycleSequence_), 0);
  return S_OK;
}

}  // namespace kelvane::frames
