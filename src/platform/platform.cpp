#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/dshow.h"
#include "platform/factory.h"

namespace kelvane::platform {

void* CoTaskMemAlloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }
void CoTaskMemFree(void* p) { std::free(p); }

void FreeMediaType(AM_MEDIA_TYPE& mt) {
  if (mt.cbFormat != 0 || mt.pbFormat) {
    CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
  }
  if (mt.pUnk) {
    mt.pUnk->Release();
    mt.pUnk = nullptr;
  }
}

void DeleteMediaType(AM_MEDIA_TYPE* mt) {
  if (!mt) return;
  FreeMediaType(*mt);
  mt->~AM_MEDIA_TYPE();
  CoTaskMemFree(mt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source) {
  target = source;
  target.pbFormat = nullptr;
  target.cbFormat = 0;
  if (source.cbFormat != 0 && source.pbFormat) {
    target.pbFormat = static_cast<uint8_t*>(CoTaskMemAlloc(source.cbFormat));
    if (!target.pbFormat) {
      target.pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
    target.cbFormat = source.cbFormat;
  }
  if (target.pUnk) target.pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE& source) {
  void* raw = CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE));
  if (!raw) return nullptr;
  auto* mt = new (raw) AM_MEDIA_TYPE();
  if (FAILED(CopyMediaType(*mt, source))) {
    mt->~AM_MEDIA_TYPE();
    CoTaskMemFree(raw);
    return nullptr;
  }
  return mt;
}

VIDEOINFOHEADER* VideoInfo(const AM_MEDIA_TYPE& mt) {
  if (!(mt.formattype == FORMAT_VideoInfo) || !mt.pbFormat || mt.cbFormat < sizeof(VIDEOINFOHEADER)) return nullptr;
  return reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
}

namespace {
std::atomic<Platform*> g_platform{nullptr};
}

Platform& ActivePlatform() {
  Platform* p = g_platform.load(std::memory_order_acquire);
  return p ? *p : DefaultPlatform();
}

Platform* SetPlatform(Platform* platform) { return g_platform.exchange(platform, std::memory_order_acq_rel); }

namespace {
std::atomic<PlatformMessageSink> g_sink{nullptr};
}

void SetPlatformMessageSink(PlatformMessageSink sink) { g_sink.store(sink, std::memory_order_release); }

void PlatformMessage(const char* text) {
  if (PlatformMessageSink sink = g_sink.load(std::memory_order_acquire)) sink(text);
}

namespace {
// The frame is shown on the thread of the user interface that asked for it;
// the lock only guards installing and taking the handler, never the frame.
std::mutex g_frameMutex;
PropertyFrameHandler g_frame;
}  // namespace

PropertyFrameHandler SetPropertyFrameHandler(PropertyFrameHandler handler) {
  std::lock_guard lock(g_frameMutex);
  std::swap(g_frame, handler);
  return handler;
}

HRESULT OleCreatePropertyFrame(void* owner, int32_t x, int32_t y, const char16_t* caption, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages, uint32_t /*locale*/) {
  if (objectCount > 0 && !objects) return E_POINTER;
  if (pageCount > 0 && !pages) return E_POINTER;
  PropertyFrameHandler frame;
  {
    std::lock_guard lock(g_frameMutex);
    frame = g_frame;
  }
  if (!frame) return E_NOTIMPL;
  return frame(owner, x, y, caption, objectCount, objects, pageCount, pages);
}

}  // namespace kelvane::platform
