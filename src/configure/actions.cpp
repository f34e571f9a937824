#include "configure/actions.h"

#include <cstring>
#include <exception>
#include <vector>

#include "capture/graph.h"
#include "capture/property_store.h"
#include "capture/stream_format.h"
#include "diagnostics/diagnostics.h"
#include "platform/factory.h"
#include "settings/camera_settings.h"

namespace kelvane::configure {

using namespace platform;

namespace {

// Page identifiers in task memory, freed on every way out.
struct TaskGuids {
  GUID* p = nullptr;
  ~TaskGuids() { CoTaskMemFree(p); }
};

int32_t PortsOf(int index) {
  host::HostState& s = host::State();
  MutexLock lock(s.TableMutex);
  return s.CameraTable[static_cast<size_t>(index)].PortCount;
}

bool ValidIndex(int index) {
  return index >= 0 && static_cast<uint32_t>(index) < host::State().CameraCount.load(std::memory_order_acquire);
}

// The caption in UTF-16, as the frame takes it (the library's 8-bit text is UTF-8).
std::u16string Utf16(const char* text) {
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  while (*s) {
    uint32_t c = *s++;
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (more) c &= 0x3Fu >> more;
    for (; more > 0 && (*s & 0xC0) == 0x80; --more) c = c << 6 | (*s++ & 0x3Fu);
    if (more > 0 || c > 0x10FFFF) c = 0xFFFD;  // cut short or out of range
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace

HRESULT ShowPropertyPages(IUnknown* object, const char* caption, uint8_t mask, int32_t x, int32_t y, void* owner) {
  if (!object) return E_POINTER;
  ComPtr<ISpecifyPropertyPages> specify;
  HRESULT hr = QueryInto(object, specify);
  if (FAILED(hr) || !specify) return FAILED(hr) ? hr : E_NOINTERFACE;
  CAUUID pages;
  hr = specify->GetPages(&pages);
  TaskGuids published{pages.pElems};
  if (FAILED(hr)) return hr;
  if (pages.cElems > 0 && !pages.pElems) return E_POINTER;
  TaskGuids kept{static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * (pages.cElems ? pages.cElems : 1)))};
  if (!kept.p) return E_OUTOFMEMORY;
  ULONG count = 0;
  for (ULONG i = 0; i < pages.cElems; ++i)
    if (i >= 8 || !(mask & (1u << i))) kept.p[count++] = pages.pElems[i];
  if (count == 0) return S_OK;  // nothing to show: no frame
  const std::u16string title = caption ? Utf16(caption) : std::u16string();
  IUnknown* objects[] = {object};
  return OleCreatePropertyFrame(owner, x, y, caption ? title.c_str() : nullptr, 1, objects, count, kept.p, 0);
}

bool IsDriverVersion2(const host::CameraRecord& camera) {
  if (!camera.FormatConfig) return false;
  return ActivePlatform().DriverFileVersion().rfind("2.", 0) == 0;
}

bool SaveSettings(host::CameraRecord& camera) {
  const auto path = host::SettingsPath();  // says itself why there is none
  if (!path) return false;
  if (settings::WriteCameraSettings(*path, camera.ConfigName, camera.Settings)) return true;
  DebugPrint("%s: the settings could not be saved to %s\r\n", camera.ConfigName, path->c_str());
  return false;
}

bool ConfigureSource(void* owner, int index) {
  if (!ValidIndex(index)) return false;
  host::CameraRecord& camera = host::State().CameraTable[static_cast<size_t>(index)];
  frames::GateHold hold(camera.Gate);
  // Taking the graph down stops the stream of every port that has the camera
  // open, and nothing rebuilds it until they all close: refuse instead.
  if (const int32_t ports = PortsOf(index); ports > 0) {
    DebugPrint(
        "Source: %s is open on %d port(s); close them first, as its source pages need the camera without its "
        "capture graph\r\n",
        camera.ConfigName, ports);
    return false;
  }
  host::AdoptPendingSettings(camera);
  try {
    capture::TearDownGraph(camera);
    capture::CreateGraph(camera);
    if (IsDriverVersion2(camera))
      ShowPropertyPages(camera.CaptureFilter.Get(), camera.ConfigName, 0xFE, 0, 0, owner);
    else
      ShowPropertyPages(camera.CapturePin.Get(), camera.ConfigName, 0, 0, 0, owner);
    capture::GetStreamConfig(camera);
    SaveSettings(camera);
  } catch (const std::exception& e) {
    DebugPrint("Exception: %s\n", e.what());
    return false;
  }
  return true;
}

bool ConfigureFormat(void* owner, int index) {
  if (!ValidIndex(index)) return false;
  host::CameraRecord& camera = host::State().CameraTable[static_cast<size_t>(index)];
  frames::GateHold hold(camera.Gate);
  host::AdoptPendingSettings(camera);
  try {
    ShowPropertyPages(camera.CaptureFilter.Get(), camera.ConfigName, IsDriverVersion2(camera) ? 1 : 0, 0, 0, owner);
    capture::GetStreamConfig(camera);
    SaveSettings(camera);
    if (const auto path = host::SettingsPath())
      if (!capture::SaveCameraProperties(camera, *path))
        DebugPrint("%s: the property values could not be saved to %s\r\n", camera.ConfigName, path->c_str());
  } catch (const std::exception& e) {
    DebugPrint("Exception: %s\n", e.what());
    return false;
  }
  return true;
}

}  // namespace kelvane::configure
