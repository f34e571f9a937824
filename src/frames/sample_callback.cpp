#include "frames/sample_callback.h"

#include <exception>

#include "diagnostics/diagnostics.h"

namespace kelvane::frames {

using namespace platform;

namespace {
// The decoder whose BufferCB this thread is inside, if any.
thread_local const CVideoDecoderCB* t_inside = nullptr;

// A graph call made from the streaming thread. What it raises is reported and
// goes no further: it would leave the callback into the framework's thread.
template <class F>
void GraphCall(const char* operation, F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    DebugPrint("Sample callback: %s raised: %s\r\n", operation, e.what());
  } catch (...) {
    DebugPrint("Sample callback: %s raised\r\n", operation);
  }
}
}  // namespace

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
  std::lock_guard lock(armMutex_);
  const uint32_t sequence = armed_.load(std::memory_order_relaxed) + 1;
  armed_.store(sequence, std::memory_order_release);
  GrabRequested.store(1, std::memory_order_release);
  return sequence;
}

void CVideoDecoderCB::Disarm() {
  std::lock_guard lock(armMutex_);
  armed_.store(armed_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  GrabRequested.store(0, std::memory_order_release);
}

void CVideoDecoderCB::Detach() {
  {
    std::lock_guard lock(idleMutex_);
    detached_.store(true, std::memory_order_release);
  }
  Callback.store(nullptr, std::memory_order_release);
  PauseControl.store(nullptr, std::memory_order_release);
  EventSink.store(nullptr, std::memory_order_release);
  if (gate_) gate_->Wake();
}

void CVideoDecoderCB::WaitIdle() {
  if (OnStreamingThread()) return;
  std::unique_lock lock(idleMutex_);
  idle_.wait(lock, [&] { return active_ == 0; });
}

bool CVideoDecoderCB::OnStreamingThread() const { return t_inside == this; }

HRESULT CVideoDecoderCB::BufferCB(double /*sampleTime*/, uint8_t* buffer, int32_t length) {
  {
    // Counted under the same lock that Detach sets the flag under, so that a
    // close that waits for idleness never misses a frame just coming in.
    std::lock_guard lock(idleMutex_);
    if (detached_.load(std::memory_order_relaxed)) return S_OK;
    ++active_;
  }
  const CVideoDecoderCB* outer = t_inside;
  t_inside = this;
  struct Exit {
    CVideoDecoderCB& self;
    const CVideoDecoderCB* outer;
    ~Exit() {
      t_inside = outer;
      std::lock_guard lock(self.idleMutex_);
      if (--self.active_ == 0) self.idle_.notify_all();
    }
  } exit{*this, outer};
  return Deliver(buffer, length);
}

HRESULT CVideoDecoderCB::Deliver(uint8_t* buffer, int32_t length) {
  // An empty or failed sample is no frame: it neither counts as dropped nor
  // takes the armed grab, so the next full frame is taken as it would have been.
  if (!buffer || length <= 0) return E_FAIL;

  bool restart = false, take = false;
  uint32_t sequence = 0;
  {
    std::lock_guard lock(armMutex_);
    const uint32_t armed = armed_.load(std::memory_order_relaxed);
    if (armed != cycleSequence_) {
      // A grab was armed or withdrawn since the image being built began: what
      // was taken for it is not the new grab's, which starts from its own frames.
      restart = cycleOpen_;
      cycleOpen_ = false;
      cycleSequence_ = armed;
      SkipCount = 0;
    }
    const bool requested = GrabRequested.load(std::memory_order_relaxed) != 0;
    const bool wanted = requested || Continuous.load(std::memory_order_acquire);
    // After a trigger the first DropCnt frames are dropped.
    const bool dropped = wanted && requested && ++SkipCount <= DropCnt.load(std::memory_order_relaxed);
    if (wanted && !dropped) {
      take = true;
      GrabRequested.store(0, std::memory_order_release);
      cycleOpen_ = true;
      sequence = cycleSequence_;
    }
  }

  // A frame that is not taken touches the store only to drop a cycle that a
  // newer grab replaced; otherwise it leaves the host's copy undisturbed.
  if (!take && !restart) return S_OK;
  int result = kNoPipeline;
  {
    std::lock_guard lock(FrameLock);
    if (restart) Frames.ResetCycle();
    if (!take) return S_OK;
    result = Frames.ProcessFrame(buffer, static_cast<size_t>(length));
    if (result == kImageFinished) Frames.ResetCycle();
  }
  switch (result) {
    case kStaticRejected:
    case kNeedMoreFrames: {
      // The next frame is taken, unless a newer grab came meanwhile: it has
      // asked for frames itself and restarts the cycle.
      std::lock_guard lock(armMutex_);
      if (armed_.load(std::memory_order_relaxed) == sequence) GrabRequested.store(1, std::memory_order_release);
      return S_OK;
    }
    case kImageFinished:
      break;
    default:
      return E_FAIL;
  }

  {
    std::lock_guard lock(armMutex_);
    SkipCount = 0;
    cycleOpen_ = false;
  }
  if (IMediaControl* pause = PauseControl.load(std::memory_order_acquire);
      pause && !Continuous.load(std::memory_order_acquire))
    GraphCall("Pause", [&] { pause->Pause(); });
  if (Callback.load(std::memory_order_acquire)) {
    // The host's callback runs inside the camera's gate, never beside a host
    // call on the same camera; a close gives the wait up (Detach).
    if (!gate_ || gate_->EnterUnless(detached_)) {
      struct Leave {
        CameraGate* gate;
        ~Leave() {
          if (gate) gate->Leave();
        }
      } leave{gate_};
      if (HostCompleteCallback callback = Callback.load(std::memory_order_acquire))
        callback(0, Port.load(std::memory_order_relaxed));
    }
  }
  if (IMediaEventSink* events = EventSink.load(std::memory_order_acquire))
    GraphCall("Notify", [&] { events->Notify(EC_COMPLETE, static_cast<intptr_t>(sequence), 0); });
  return S_OK;
}

}  // namespace kelvane::frames
