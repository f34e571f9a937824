// The framework's own filters: the decompressors of the legacy filter
// category, the sample grabber and the null renderer.
#include <atomic>

#include "platform/factory.h"
#include "platform/firei.h"
#include "platform/framework/fault.h"
#include "platform/framework/framework.h"
#include "platform/framework/jpeg.h"

namespace kelvane::framework {

using namespace platform;

namespace {

bool IsVideoInfo(const AM_MEDIA_TYPE& mt) {
  const VIDEOINFOHEADER* vih = VideoInfo(mt);
  return mt.majortype == MEDIATYPE_Video && vih && vih->bmiHeader.biWidth > 0 && vih->bmiHeader.biHeight != 0;
}

bool OneOf(const GUID& g, std::initializer_list<GUID> list) {
  for (const GUID& x : list)
    if (x == g) return true;
  return false;
}

// A decompressor: takes the camera's format on its input and gives 24-bit RGB.
class Decompressor final : public Filter, public IFiRawMode {
 public:
  explicit Decompressor(DecompressorDesc desc) : desc_(std::move(desc)) {
    input_ = &AddPin(std::make_unique<Pin>(*this, PINDIR_INPUT, u"XForm In"));
    output_ = &AddPin(std::make_unique<Pin>(*this, PINDIR_OUTPUT, u"XForm Out"));
  }
  KELVANE_IUNKNOWN

  std::string Scope() const override { return desc_.name; }

  HRESULT SetRawMode(int32_t mode) override {
    KELVANE_FAULT("IFiRawMode::SetRawMode", Scope());
    if (desc_.rawMode == RawModeSupport::Raises) throw PlatformError("SetRawMode: not supported by this decompressor");
    if (mode < 0 || mode > 4) return E_INVALIDARG;
    rawMode_.store(mode);
    return S_OK;
  }

  bool Accepts(const Pin& pin, const AM_MEDIA_TYPE& mt) const override {
    if (&pin != input_ || !IsVideoInfo(mt)) return false;
    const GUID& s = mt.subtype;
    const auto& y = MEDIASUBTYPE_Y800;
    switch (desc_.kind) {
      case FilterKind::FireiYuv:
        return OneOf(s, {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_Y422, MEDIASUBTYPE_Y411,
                         MEDIASUBTYPE_Y444, MEDIASUBTYPE_I420, MEDIASUBTYPE_IYUV, y, MEDIASUBTYPE_RAW8,
                         MEDIASUBTYPE_MO16, MEDIASUBTYPE_RAW16});
      case FilterKind::Avi:
        if (s == MEDIASUBTYPE_MJPG) return JpegSupported();
        return OneOf(s, {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_Y422, MEDIASUBTYPE_I420,
                         MEDIASUBTYPE_IYUV, y});
      case FilterKind::IatYuv:
        return OneOf(s, {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_Y422, MEDIASUBTYPE_Y411, y});
      case FilterKind::BayerRgb:
        return OneOf(s, {MEDIASUBTYPE_LUMX, MEDIASUBTYPE_RAW8, y});
      case FilterKind::Codecs:
        if (s == MEDIASUBTYPE_MJPG) return JpegSupported();
        return OneOf(s, {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_Y422, MEDIASUBTYPE_Y411,
                         MEDIASUBTYPE_Y444, MEDIASUBTYPE_I420, MEDIASUBTYPE_IYUV, y, MEDIASUBTYPE_RAW8,
                         MEDIASUBTYPE_MO16, MEDIASUBTYPE_RAW16});
    }
    return false;
  }

  std::vector<MediaType> Proposals(const Pin& pin) const override {
    std::vector<MediaType> v;
    if (&pin != output_ || !input_->Peer()) return v;
    const VIDEOINFOHEADER* in = input_->Type().Video();
    if (!in) return v;
    const int32_t h = in->bmiHeader.biHeight < 0 ? -in->bmiHeader.biHeight : in->bmiHeader.biHeight;
    v.push_back(MakeVideoType(MEDIASUBTYPE_RGB24, in->bmiHeader.biWidth, h, in->AvgTimePerFrame));
    return v;
  }

  void Receive(Pin& pin, uint8_t* data, size_t length, double time) override {
    if (&pin != input_) return;
    const AM_MEDIA_TYPE& mt = input_->Type().Get();
    const VIDEOINFOHEADER* in = input_->Type().Video();
    if (!in) return;
    const int32_t w = in->bmiHeader.biWidth;
    const int32_t h = in->bmiHeader.biHeight < 0 ? -in->bmiHeader.biHeight : in->bmiHeader.biHeight;
    out_.resize(FrameBytes(MEDIASUBTYPE_RGB24, w, h));
    if (mt.subtype == MEDIASUBTYPE_MJPG) {
      std::string why;
      if (!jpeg_.DecodeToRgb24(data, length, w, h, out_.data(), &why)) {
        ReportBadJpeg(why);
        return;
      }
      Deliver(*output_, out_.data(), out_.size(), time);
      return;
    }
    int32_t pattern = rawMode_.load();
    if (desc_.kind == FilterKind::BayerRgb && pattern == 0) pattern = 1;
    if (!ConvertToRgb24(mt.subtype, w, h, data, length, pattern, out_.data())) return;  // a broken frame is dropped
    Deliver(*output_, out_.data(), out_.size(), time);
  }

  // A new connection is a new stream: its first bad frame is said again.
  void Connected(Pin& pin) override {
    if (&pin == input_) jpegReported_.store(false);
  }

 protected:
  void* Find(REFIID riid) override {
    if (riid == IFiRawMode::iid && desc_.rawMode != RawModeSupport::None) return static_cast<IFiRawMode*>(this);
    return Filter::Find(riid);
  }

 private:
  // A Motion-JPEG frame that does not decode is dropped. Cameras that send
  // one tend to send many (a bad cable, a wrong format): the stream says so
  // once, not once per frame.
  void ReportBadJpeg(const std::string& why) {
    if (jpegReported_.exchange(true)) return;
    std::string stream = "Stream";
    if (const Pin* up = input_->Peer()) {
      const Filter& source = up->Owner();
      const auto* s = dynamic_cast<const SourceFilter*>(&source);
      stream = (s ? s->StreamName() : stream) + ": " + source.Scope();
    }
    PlatformMessage((stream + ": " + desc_.name + ": dropped a Motion-JPEG frame that does not decode (" + why +
                     "); further ones are dropped without a message\r\n")
                        .c_str());
  }

  DecompressorDesc desc_;
  Pin* input_;
  Pin* output_;
  std::atomic<int32_t> rawMode_{0};
  std::atomic<bool> jpegReported_{false};
  FrameBuffer out_;   // streaming thread only
  JpegDecoder jpeg_;  // streaming thread only
};

// The sample a SampleCB receives: the frame buffer, valid during the call.
class Sample final : public Object, public IMediaSample {
 public:
  Sample(uint8_t* data, size_t length) : data_(data), length_(length) {}
  KELVANE_IUNKNOWN
  HRESULT GetPointer(uint8_t** buffer) override {
    if (!buffer) return E_POINTER;
    *buffer = data_;
    return S_OK;
  }
  int32_t GetActualDataLength() override { return static_cast<int32_t>(length_); }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IMediaSample::iid) return static_cast<IMediaSample*>(this);
    return nullptr;
  }
  uint8_t* data_;
  size_t length_;
};

class SampleGrabber final : public Filter, public ISampleGrabber {
 public:
  SampleGrabber() {
    input_ = &AddPin(std::make_unique<Pin>(*this, PINDIR_INPUT, u"Input"));
    output_ = &AddPin(std::make_unique<Pin>(*this, PINDIR_OUTPUT, u"Output"));
  }
  ~SampleGrabber() override {
    if (callback_) callback_->Release();
  }
  KELVANE_IUNKNOWN

  std::string Scope() const override { return "SampleGrabber"; }

  HRESULT SetCallback(ISampleGrabberCB* callback, int32_t method) override {
    KELVANE_FAULT("ISampleGrabber::SetCallback", Scope());
    if (method != 0 && method != 1) return E_INVALIDARG;
    if (callback) callback->AddRef();
    ISampleGrabberCB* old = nullptr;
    {
      std::lock_guard lock(callbackMutex_);
      old = std::exchange(callback_, callback);
      method_ = method;
    }
    if (old) old->Release();
    return S_OK;
  }

  HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) override {
    KELVANE_FAULT("ISampleGrabber::GetConnectedMediaType", Scope());
    if (!mt) return E_POINTER;
    *mt = AM_MEDIA_TYPE{};
    std::lock_guard lock(mutex_);
    if (!input_->Peer()) return VFW_E_NOT_CONNECTED;
    return CopyMediaType(*mt, input_->Type().Get());
  }

  bool Accepts(const Pin& pin, const AM_MEDIA_TYPE&) const override { return &pin == input_; }

  std::vector<MediaType> Proposals(const Pin& pin) const override {
    std::vector<MediaType> v;
    if (&pin == output_ && input_->Peer()) v.push_back(input_->Type());
    return v;
  }

  void Receive(Pin& pin, uint8_t* data, size_t length, double time) override {
    if (&pin != input_) return;
    ISampleGrabberCB* callback = nullptr;
    int32_t method = 0;
    {
      std::lock_guard lock(callbackMutex_);
      callback = callback_;
      method = method_;
      if (callback) callback->AddRef();
    }
    if (callback) {
      // Whatever the callback answers, the frame goes on downstream.
      if (method == 1) {
        callback->BufferCB(time, data, static_cast<int32_t>(length));
      } else {
        auto* sample = new Sample(data, length);
        callback->SampleCB(time, sample);
        sample->Release();
      }
      callback->Release();
    }
    Deliver(*output_, data, length, time);
  }

 protected:
  void* Find(REFIID riid) override {
    if (riid == ISampleGrabber::iid) return static_cast<ISampleGrabber*>(this);
    return Filter::Find(riid);
  }

 private:
  Pin* input_;
  Pin* output_;
  std::mutex callbackMutex_;  // not the filter's mutex: the callback may query the filter
  ISampleGrabberCB* callback_ = nullptr;
  int32_t method_ = 0;
};

class NullRenderer final : public Filter {
 public:
  NullRenderer() { input_ = &AddPin(std::make_unique<Pin>(*this, PINDIR_INPUT, u"In")); }
  KELVANE_IUNKNOWN
  std::string Scope() const override { return "NullRenderer"; }
  bool Accepts(const Pin& pin, const AM_MEDIA_TYPE&) const override { return &pin == input_; }

 private:
  Pin* input_;
};

}  // namespace

HRESULT CreateDecompressor(const DecompressorDesc& desc, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new Decompressor(desc), riid, out);
}

HRESULT CreateSampleGrabber(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new SampleGrabber, riid, out);
}

HRESULT CreateNullRenderer(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return HandOut(new NullRenderer, riid, out);
}

}  // namespace kelvane::framework
