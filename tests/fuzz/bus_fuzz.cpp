// Fuzzing the simulated bus description: the input is a description as
// KELVANE_SIM_BUS may name one. It is loaded; a rejected one must leave a
// message naming the origin and an empty bus. An accepted one is then used as
// the library uses a bus: the cameras are discovered through the platform seam
// (capture::EnumCameras), and each camera's driver interfaces are asked what
// the library asks (formats of both format interfaces, vendor record, property
// ranges, registers), and small frames of its current format are rendered and
// decompressed. Faults reached only after parsing show up here. Without
// injected faults every object must be given back afterwards.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "capture/discovery.h"
#include "diagnostics/diagnostics.h"
#include "platform/factory.h"
#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

namespace {

using namespace kelvane;
using namespace kelvane::platform;

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "bus_fuzz: %s\n", what.c_str());
  std::abort();
}
#define CHECK(condition, what)      \
  do {                              \
    if (!(condition)) Broken(what); \
  } while (0)

// Sinks that read every message to its end, so a message built wrong shows.
size_t g_messageBytes = 0;
int32_t CountHostMessage(const char* text) {
  g_messageBytes += std::strlen(text);
  return 0;
}
void CountPlatformMessage(const char* text) { g_messageBytes += std::strlen(text); }

constexpr size_t kMaxRenderedBytes = 1 << 20;

// What the library's format and property code asks of a camera.
void Interrogate(capture::CameraRecord& camera) {
  IBaseFilter* filter = camera.CaptureFilter.Get();
  if (!filter) return;
  if (camera.FormatConfig) {
    FiStreamCapsEntry* list = nullptr;
    uint32_t count = 0;
    if (SUCCEEDED(camera.FormatConfig->GetStreamCaps(&list, &count)) && list) {
      for (uint32_t i = 0; i < count; ++i) {
        const int32_t index = static_cast<int32_t>(i);
        uint32_t lo = 0, hi = 0, packet = 0;
        int32_t code = 0;
        RECT rect{};
        camera.FormatConfig->GetF7PacketInfo(index, &lo, &hi);
        camera.FormatConfig->GetF7PacketSize(index, &packet);
        camera.FormatConfig->GetCurrentFps(index, &code);
        camera.FormatConfig->GetCustomRect(index, &rect);
      }
      camera.FormatConfig->FreeStreamCaps(list);
    }
    int32_t current = -1;
    camera.FormatConfig->GetDefaultFormat(&current);
  }
  ComPtr<IAMStreamConfig> config;
  if (camera.CapturePin && SUCCEEDED(camera.CapturePin.As(config))) {
    int32_t count = 0, size = 0;
    if (SUCCEEDED(config->GetNumberOfCapabilities(&count, &size))) {
      CHECK(size <= 128, "stream caps larger than the caller's buffer");
      for (int32_t i = 0; i < count && i < 64; ++i) {
        AM_MEDIA_TYPE* mt = nullptr;
        uint8_t caps[128] = {};
        if (SUCCEEDED(config->GetStreamCaps(i, &mt, caps))) DeleteMediaType(mt);
      }
    }
    AM_MEDIA_TYPE* mt = nullptr;
    if (SUCCEEDED(config->GetFormat(&mt))) DeleteMediaType(mt);
  }
  if (camera.CameraInfo) {
    uint8_t record[kVendorInfoSize];
    camera.CameraInfo->GetVendorInfo(record);
    uint32_t value = 0;
    for (uint32_t address : {0xF0F00830u, 0xF0F00530u, 0xF0F00800u, 0xF0F00831u}) {
      camera.CameraInfo->ReadRegister(address, &value);
      camera.CameraInfo->WriteRegister(address, value);
    }
  }
  int32_t minimum, maximum, step, defaultValue, flags;
  for (int32_t code = 0; code < 6; ++code) {
    if (camera.ExposureControl)
      camera.ExposureControl->GetRange(code, &minimum, &maximum, &step, &defaultValue, &flags);
    if (camera.ColorControl) camera.ColorControl->GetRange(code, &minimum, &maximum, &step, &defaultValue, &flags);
    if (camera.BasicControl) camera.BasicControl->GetRange(code, &minimum, &maximum, &step, &defaultValue, &flags);
  }
  ComPtr<IAMVideoProcAmp> procAmp;
  ComPtr<IAMCameraControl> cameraControl;
  for (int32_t p = 0; p < 10; ++p) {
    if (SUCCEEDED(camera.CaptureFilter.As(procAmp)))
      procAmp->GetRange(p, &minimum, &maximum, &step, &defaultValue, &flags);
    if (SUCCEEDED(camera.CaptureFilter.As(cameraControl)))
      cameraControl->GetRange(p, &minimum, &maximum, &step, &defaultValue, &flags);
  }
}

// The frames a graph would stream, and what a decompressor makes of them.
void Render(const std::string& name) {
  const std::optional<sim::FormatState> format = sim::CurrentFormat(name);
  if (!format || sim::FrameBytes(format->subtype, format->width, format->height) > kMaxRenderedBytes) return;
  for (int64_t index = 0; index < 2; ++index) {
    const std::vector<uint8_t> frame = sim::RenderFrame(name, index);
    std::vector<uint8_t> rgb(static_cast<size_t>(format->width) * static_cast<size_t>(format->height) * 3);
    for (int32_t raw = 0; raw <= 4; raw += 4)
      sim::ConvertToRgb24(format->subtype, format->width, format->height, frame.data(), frame.size(), raw, rgb.data());
  }
}

bool HasFaults(std::string_view text) {
  const nlohmann::json root = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  return root.is_object() && root.contains("faults") && !root["faults"].empty();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetMessageSink(CountHostMessage);
  SetPlatformMessageSink(CountPlatformMessage);
  sim::SetRate(sim::Rate::Stepped);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const int64_t objects = sim::LiveObjects(), references = sim::OutstandingReferences();
  if (!sim::LoadBusFromText(text, "fuzz.json")) {
    const std::string error = sim::LastBusError();
    CHECK(error.rfind("Simulated bus fuzz.json: ", 0) == 0, "a rejection without its origin: " + error);
    CHECK(sim::CameraNames().empty(), "a rejected description left cameras");
  }
  {
    auto table = std::make_unique<capture::CameraRecord[]>(capture::kMaxCameras);
    capture::CameraRecord* records[capture::kMaxCameras];
    char* names[capture::kMaxCameras] = {};
    for (int i = 0; i < capture::kMaxCameras; ++i) records[i] = &table[static_cast<size_t>(i)];
    uint32_t count = 0;
    try {
      capture::EnumCameras(capture::kMaxCameras, records, &count, names);
      CHECK(count <= static_cast<uint32_t>(capture::kMaxCameras), "more cameras than slots");
      for (uint32_t i = 0; i < count; ++i) {
        CHECK(std::strlen(names[i]) < static_cast<size_t>(capture::kNameSize), "a name overflows its slot");
        Interrogate(table[i]);
      }
      for (const std::string& name : sim::CameraNames()) Render(name);
    } catch (const PlatformError&) {
      // A driver operation the description made raise, as older drivers do.
    }
  }
  if (!HasFaults(text)) {
    CHECK(sim::LiveObjects() == objects, "objects of the simulation leaked");
    CHECK(sim::OutstandingReferences() == references, "references leaked");
  }
  return 0;
}
