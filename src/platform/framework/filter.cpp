#include "platform/framework/filter.h"

#include <algorithm>

#include "platform/framework/fault.h"
#include "platform/framework/framework.h"

namespace kelvane::framework {

using namespace platform;

namespace {

// Enumerates a filter's pins; holds the filter alive while it exists.
class PinEnum final : public Object, public IEnumPins {
 public:
  explicit PinEnum(Filter& filter) : filter_(ComPtr<IBaseFilter>::Share(&filter)) {
    for (const auto& p : filter.Pins()) pins_.push_back(p.get());
  }
  KELVANE_IUNKNOWN

  HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override {
    KELVANE_FAULT("IEnumPins::Next", AsFilter(filter_.Get())->Scope());
    if (!pins || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && next_ < pins_.size()) {
      pins[n] = pins_[next_++];
      pins[n]->AddRef();
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    next_ = 0;
    return S_OK;
  }

 private:
  void* Find(REFIID riid) override {
    if (riid == IUnknown::iid || riid == IEnumPins::iid) return static_cast<IEnumPins*>(this);
    return nullptr;
  }
  ComPtr<IBaseFilter> filter_;
  std::vector<Pin*> pins_;
  size_t next_ = 0;
};

void CopyName(char16_t (&target)[128], const std::u16string& name) {
  const size_t n = std::min<size_t>(name.size(), 127);
  std::copy_n(name.data(), n, target);
  target[n] = 0;
}

}  // namespace

MediaType MakeVideoType(const GUID& subtype, int32_t width, int32_t height, int64_t interval) {
  MediaType m;
  AM_MEDIA_TYPE& mt = m.Get();
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = subtype;
  mt.formattype = FORMAT_VideoInfo;
  const size_t bytes = FrameBytes(subtype, width, height);
  mt.lSampleSize = static_cast<uint32_t>(bytes);
  auto* vih = static_cast<VIDEOINFOHEADER*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
  if (!vih) return m;
  *vih = VIDEOINFOHEADER{};
  vih->rcSource = vih->rcTarget = RECT{0, 0, width, height};
  vih->AvgTimePerFrame = interval;
  vih->bmiHeader.biWidth = width;
  vih->bmiHeader.biHeight = height;
  vih->bmiHeader.biBitCount = BitCountOf(subtype);
  const bool rgb = subtype == MEDIASUBTYPE_RGB8 || subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB32 ||
                   subtype == MEDIASUBTYPE_ARGB32;
  vih->bmiHeader.biCompression = rgb ? 0 : subtype.Data1;
  vih->bmiHeader.biSizeImage = static_cast<uint32_t>(bytes);
  mt.pbFormat = reinterpret_cast<uint8_t*>(vih);
  mt.cbFormat = sizeof(VIDEOINFOHEADER);
  return m;
}

// ---- Pin --------------------------------------------------------------------------------------------

Pin::Pin(Filter& filter, PIN_DIRECTION direction, std::u16string name)
    : filter_(filter), direction_(direction), name_(std::move(name)) {}

HRESULT Pin::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  void* found = nullptr;
  if (riid == IUnknown::iid || riid == IPin::iid) found = static_cast<IPin*>(this);
  if (!found) found = FindExtra(riid);
  *out = found;
  if (!found) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG Pin::AddRef() { return filter_.AddRef(); }
ULONG Pin::Release() { return filter_.Release(); }

HRESULT Pin::QueryDirection(PIN_DIRECTION* direction) {
  KELVANE_FAULT("IPin::QueryDirection", filter_.Scope());
  if (!direction) return E_POINTER;
  *direction = direction_;
  return S_OK;
}

HRESULT Pin::ConnectedTo(IPin** peer) {
  KELVANE_FAULT("IPin::ConnectedTo", filter_.Scope());
  if (!peer) return E_POINTER;
  *peer = nullptr;
  std::lock_guard lock(filter_.mutex_);
  if (!peer_) return VFW_E_NOT_CONNECTED;
  peer_->AddRef();
  *peer = peer_;
  return S_OK;
}

HRESULT Pin::QueryPinInfo(PIN_INFO* info) {
  KELVANE_FAULT("IPin::QueryPinInfo", filter_.Scope());
  if (!info) return E_POINTER;
  *info = PIN_INFO{};
  filter_.AddRef();
  info->pFilter = &filter_;
  info->dir = direction_;
  CopyName(info->achName, name_);
  return S_OK;
}

HRESULT Pin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
  KELVANE_FAULT("IPin::ConnectionMediaType", filter_.Scope());
  if (!mt) return E_POINTER;
  *mt = AM_MEDIA_TYPE{};
  std::lock_guard lock(filter_.mutex_);
  if (!peer_) return VFW_E_NOT_CONNECTED;
  return CopyMediaType(*mt, type_.Get());
}

void Pin::Attach(Pin* peer, const MediaType& type) {
  peer->AddRef();
  std::lock_guard lock(filter_.mutex_);
  peer_ = peer;
  type_ = type;
}

void Pin::Detach() {
  Pin* old = nullptr;
  {
    std::lock_guard lock(filter_.mutex_);
    old = std::exchange(peer_, nullptr);
    type_ = MediaType();
  }
  if (old) old->Release();
}

// ---- Filter -----------------------------------------------------------------------------------------

void* Filter::Find(REFIID riid) {
  if (riid == IUnknown::iid || riid == IBaseFilter::iid) return static_cast<IBaseFilter*>(this);
  return nullptr;
}

HRESULT Filter::EnumPins(IEnumPins** pins) {
  KELVANE_FAULT("IBaseFilter::EnumPins", Scope());
  if (!pins) return E_POINTER;
  *pins = nullptr;
  return HandOut(new PinEnum(*this), IEnumPins::iid, reinterpret_cast<void**>(pins));
}

HRESULT Filter::QueryFilterInfo(FILTER_INFO* info) {
  KELVANE_FAULT("IBaseFilter::QueryFilterInfo", Scope());
  if (!info) return E_POINTER;
  *info = FILTER_INFO{};
  std::lock_guard lock(mutex_);
  CopyName(info->achName, graphName_);
  if (graph_) {
    graph_->AddRef();
    info->pGraph = graph_;
  }
  return S_OK;
}

Pin* Filter::FirstPin(PIN_DIRECTION direction) const {
  for (const auto& p : pins_)
    if (p->Direction() == direction) return p.get();
  return nullptr;
}

void Filter::JoinGraph(IFilterGraph* graph, std::u16string name) {
  std::lock_guard lock(mutex_);
  graph_ = graph;
  graphName_ = std::move(name);
}

IFilterGraph* Filter::Graph() const {
  std::lock_guard lock(mutex_);
  return graph_;
}

std::u16string Filter::GraphName() const {
  std::lock_guard lock(mutex_);
  return graphName_;
}

std::vector<MediaType> Filter::Proposals(const Pin&) const { return {}; }
bool Filter::Accepts(const Pin&, const AM_MEDIA_TYPE&) const { return false; }
void Filter::Receive(Pin&, uint8_t*, size_t, double) {}

void Filter::Deliver(Pin& output, uint8_t* data, size_t length, double time) {
  if (Pin* peer = output.Peer()) peer->Owner().Receive(*peer, data, length, time);
}

Pin& Filter::AddPin(std::unique_ptr<Pin> pin) {
  pins_.push_back(std::move(pin));
  return *pins_.back();
}

Filter* AsFilter(IBaseFilter* filter) { return dynamic_cast<Filter*>(filter); }
Pin* AsPin(IPin* pin) { return dynamic_cast<Pin*>(pin); }

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp = c;
    size_t extra = 0;
    if (c >= 0xF0) { cp = c & 0x07u; extra = 3; }
    else if (c >= 0xE0) { cp = c & 0x0Fu; extra = 2; }
    else if (c >= 0xC0) { cp = c & 0x1Fu; extra = 1; }
    if (i + extra >= text.size()) extra = 0;  // a cut sequence: keep the lead byte
    ++i;
    for (size_t k = 0; k < extra && i < text.size(); ++k, ++i) cp = cp << 6 | (static_cast<unsigned char>(text[i]) & 0x3Fu);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | cp >> 18));
      out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace kelvane::framework
