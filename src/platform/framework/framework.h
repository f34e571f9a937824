// The capture framework as a device backend sees it. The framework provides the
// filter graph with intelligent connect, the capture graph builder, the sample
// grabber, the null renderer, the decompressors, the streaming threads, media
// events and the system device enumerator. A backend provides its devices:
// their enumeration entries, a capture filter (a SourceFilter) for each, and
// the decompressor filters installed next to them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cache_line_allocator.h"
#include "platform/dshow.h"
#include "platform/factory.h"
#include "platform/framework/filter.h"

namespace kelvane::framework {

using platform::FrameBuffer;

// ---- decompressors ---------------------------------------------------------------------------------

// Which inputs a decompressor reads: as the simulated bus's filters of those
// names do, or (Codecs) every format the framework converts, as the system's
// decompressor with the machine's codecs installed does for real cameras.
enum class FilterKind { FireiYuv, Avi, IatYuv, BayerRgb, Codecs };
enum class RawModeSupport { None, Supported, Raises };

// A decompressor filter of the legacy filter category: its friendly name, the
// input subtypes it reads, and whether it offers a raw (demosaicing) mode.
struct DecompressorDesc {
  std::string name;
  FilterKind kind = FilterKind::Avi;
  RawModeSupport rawMode = RawModeSupport::None;
};

// ---- the devices of a backend ---------------------------------------------------------------------

// One device in the video input category, as the enumerator lists it.
struct DeviceEntry {
  std::string name;  // the friendly name (also the scope of faults on its moniker)
  // The failure the device answers with once it has left, or S_OK.
  std::function<HRESULT()> health;
  // Creates the device's capture filter.
  std::function<HRESULT(REFIID, void**)> bind;
};

class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  // The devices of the video input category, in enumeration order (gone ones
  // included: the enumerator leaves out those whose health fails).
  virtual std::vector<DeviceEntry> Devices() = 0;
  // The decompressors of the legacy filter category, in the order intelligent
  // connect tries them.
  virtual std::vector<DecompressorDesc> Decompressors() = 0;
  // The camera driver's file version text (Platform::DriverFileVersion).
  virtual std::string DriverVersion() { return {}; }
};

// ---- streaming -------------------------------------------------------------------------------------

// How a graph's streaming thread paces frames: by each format's frame interval,
// as fast as the callback takes them, or one per step (or granted credit).
enum class Pacing { RealTime, Fast, Stepped };

// A running graph's streaming state; sources hold it weakly to step it.
class Stream;

enum class StepOutcome { Delivered, NoFrame, NotRunning };
// Stepped pacing: lets the stream deliver one frame and returns once the
// callback has finished with it.
StepOutcome StepStream(Stream& stream);
// Wakes the streaming thread to look at its pacing and credits again.
void WakeStream(Stream& stream);

// A filter that produces frames (a camera). The streaming thread asks it for
// the next frame in the byte layout of its connection.
class SourceFilter : public Filter {
 public:
  // Fills `frame` with the next frame and returns true, or false when the
  // device gives none now (stopped, gone, waiting for a trigger).
  virtual bool NextFrame(FrameBuffer& frame, double* time) = 0;
  // Hands the next frame to what is connected to `output` (Filter::Deliver).
  // The default makes it in `scratch` through NextFrame; a device whose own
  // buffers already hold the frame in its connection's layout passes them on
  // in place and takes them back once the frame has been delivered.
  virtual bool ProduceFrame(FrameBuffer& scratch, Pin& output) {
    double time = 0;
    if (!NextFrame(scratch, &time)) return false;
    Deliver(output, scratch.data(), scratch.size(), time);
    return true;
  }
  // Frame interval of the connected format, 100-ns units.
  virtual int64_t FrameInterval() const = 0;

  // The pacing of the streams this source is in.
  virtual Pacing CurrentPacing() const { return Pacing::RealTime; }
  // Stepped pacing: takes one frame granted ahead of a step, if any.
  virtual bool TakeCredit() { return false; }
  // Delivery starts again after a pause or at start (on the streaming thread,
  // before the first frame): a device that kept capturing into its queued
  // buffers while nobody took frames drops those frames here, so the next
  // frame delivered is one captured after delivery was asked for.
  virtual void Resumed() {}
  // A streaming thread starts or has ended delivering this source's frames.
  virtual void StreamStarted(const std::shared_ptr<Stream>&) {}
  virtual void StreamEnded(const std::shared_ptr<Stream>&) {}
  // Names the stream in messages about a frame that failed.
  virtual std::string StreamName() const { return "Stream"; }
};

// ---- object creation --------------------------------------------------------------------------------

// The platform behind the seam's factory for a backend's devices: the
// framework's objects, with `backend` supplying the devices and decompressors.
platform::Platform& PlatformFor(DeviceBackend& backend);

HRESULT CreateDeviceEnumerator(DeviceBackend& backend, REFIID riid, void** out);
HRESULT CreateDecompressor(const DecompressorDesc& desc, REFIID riid, void** out);
HRESULT CreateFilterGraph(DeviceBackend& backend, REFIID riid, void** out);
HRESULT CreateCaptureGraphBuilder(REFIID riid, void** out);
HRESULT CreateSampleGrabber(REFIID riid, void** out);
HRESULT CreateNullRenderer(REFIID riid, void** out);

// ---- video formats ---------------------------------------------------------------------------------

uint16_t BitCountOf(const platform::GUID& subtype);
bool SubtypeFromName(std::string_view name, platform::GUID* subtype);
std::string SubtypeName(const platform::GUID& subtype);
// Bytes of one frame of this subtype and size.
size_t FrameBytes(const platform::GUID& subtype, int32_t width, int32_t height);

// Converts a frame to 24-bit bottom-up BGR (the decompressors). `rawPattern`
// 1..4 demosaics 8-bit data as RGGB, GRBG, GBRG, BGGR; 0 takes it as grey.
// Returns false for a subtype it cannot read or a short frame. Motion-JPEG is
// not read here: a decompressor decodes it with a JpegDecoder (jpeg.h).
bool ConvertToRgb24(const platform::GUID& subtype, int32_t width, int32_t height, const uint8_t* in, size_t length,
                    int32_t rawPattern, uint8_t* out);

}  // namespace kelvane::framework
