// Filters and pins of the capture framework: the common base of a device
// backend's capture filter, the decompressors, the sample grabber and the null
// renderer.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow.h"
#include "platform/framework/object.h"

namespace kelvane::framework {

using platform::AM_MEDIA_TYPE;
using platform::IBaseFilter;
using platform::IFilterGraph;
using platform::IPin;
using platform::PIN_DIRECTION;

using platform::MediaType;

// A video media type with a VIDEOINFOHEADER, for the filters that make their own.
MediaType MakeVideoType(const platform::GUID& subtype, int32_t width, int32_t height, int64_t interval);

class Filter;

// A pin belongs to its filter: it has no reference count of its own.
// Connections change only while the graph is stopped, so the streaming thread
// reads `peer` without a lock.
class Pin : public IPin {
 public:
  Pin(Filter& filter, PIN_DIRECTION direction, std::u16string name);
  virtual ~Pin() = default;

  HRESULT QueryInterface(REFIID riid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT QueryDirection(PIN_DIRECTION* direction) override;
  HRESULT ConnectedTo(IPin** peer) override;
  HRESULT QueryPinInfo(platform::PIN_INFO* info) override;
  HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) override;

  Filter& Owner() const { return filter_; }
  PIN_DIRECTION Direction() const { return direction_; }
  Pin* Peer() const { return peer_; }
  const MediaType& Type() const { return type_; }
  // Makes or breaks this side of a connection (the graph does both sides).
  void Attach(Pin* peer, const MediaType& type);
  void Detach();

 protected:
  // Further interfaces of the pin (IAMStreamConfig on a camera's capture pin).
  virtual void* FindExtra(REFIID) { return nullptr; }

 private:
  Filter& filter_;
  PIN_DIRECTION direction_;
  std::u16string name_;
  Pin* peer_ = nullptr;  // holds a reference on the peer
  MediaType type_;
};

class Filter : public Object, public IBaseFilter {
 public:
  KELVANE_IUNKNOWN
  HRESULT EnumPins(platform::IEnumPins** pins) override;
  HRESULT QueryFilterInfo(platform::FILTER_INFO* info) override;

  // The name faults are scoped by: the device's or filter's friendly name.
  virtual std::string Scope() const = 0;
  // The failure device operations return once the device has left the bus, or S_OK.
  // Pins and graph membership keep working: the objects are still there.
  virtual HRESULT Health() const { return platform::S_OK; }

  const std::vector<std::unique_ptr<Pin>>& Pins() const { return pins_; }
  Pin* FirstPin(PIN_DIRECTION direction) const;

  // Graph membership, kept by the graph (which holds the reference).
  void JoinGraph(IFilterGraph* graph, std::u16string name);
  IFilterGraph* Graph() const;
  std::u16string GraphName() const;

  // Connection negotiation. An output pin proposes types in order of
  // preference; an input pin accepts or refuses one.
  virtual std::vector<MediaType> Proposals(const Pin& output) const;
  virtual bool Accepts(const Pin& input, const AM_MEDIA_TYPE& mt) const;
  // After both sides of a connection are made or broken.
  virtual void Connected(Pin&) {}
  virtual void Disconnected(Pin&) {}

  // Streaming (on the graph's streaming thread): a frame arrives at an input pin.
  virtual void Receive(Pin& input, uint8_t* data, size_t length, double time);
  // Hands a frame to whatever is connected downstream of `output`.
  static void Deliver(Pin& output, uint8_t* data, size_t length, double time);

 protected:
  Filter() = default;
  void* Find(REFIID riid) override;
  Pin& AddPin(std::unique_ptr<Pin> pin);

  mutable std::mutex mutex_;

 private:
  friend class Pin;
  std::vector<std::unique_ptr<Pin>> pins_;
  IFilterGraph* graph_ = nullptr;  // not referenced: the graph owns its filters
  std::u16string graphName_;
};

// The framework's own filter behind a seam interface pointer, or null.
Filter* AsFilter(IBaseFilter* filter);
Pin* AsPin(IPin* pin);

std::u16string ToUtf16(std::string_view text);
std::string ToUtf8(std::u16string_view text);

}  // namespace kelvane::framework
