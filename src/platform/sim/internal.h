// Object creation inside the simulation, and the camera filter that the graph
// streams from.
#pragma once

#include <memory>
#include <vector>

#include "platform/cache_line_allocator.h"
#include "platform/firei.h"
#include "platform/sim/bus.h"
#include "platform/sim/filter.h"

namespace kelvane::sim {

HRESULT CreateDeviceEnumerator(REFIID riid, void** out);
HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out);
HRESULT CreateDecompressor(const FilterDesc& desc, REFIID riid, void** out);
HRESULT CreateFilterGraph(REFIID riid, void** out);
HRESULT CreateCaptureGraphBuilder(REFIID riid, void** out);
HRESULT CreateSampleGrabber(REFIID riid, void** out);
HRESULT CreateNullRenderer(REFIID riid, void** out);

using platform::FrameBuffer;

// A filter that produces frames (the camera). The streaming thread asks it for
// the next frame in the byte layout of its connection.
class SourceFilter : public Filter {
 public:
  // Fills `frame` with the next frame and returns true, or false when the
  // device gives none now (stopped, gone, waiting for a trigger).
  virtual bool NextFrame(FrameBuffer& frame, double* time) = 0;
  // Frame interval of the connected format, 100-ns units.
  virtual int64_t FrameInterval() const = 0;
  virtual std::shared_ptr<Device> DevicePtr() const = 0;
};

// Fills one frame of the moving test pattern (frame number `index`) in the
// byte layout of `subtype`. `out` holds FrameBytes(subtype, width, height).
void RenderPattern(const platform::GUID& subtype, int32_t width, int32_t height, int64_t index, BayerPattern bayer,
                   uint8_t* out);

// Fills a black frame (black after any conversion: luma 0, neutral chroma).
void RenderBlank(const platform::GUID& subtype, int32_t width, int32_t height, uint8_t* out);

// Converts a frame to 24-bit bottom-up BGR (the decompressors). `rawPattern`
// 1..4 demosaics 8-bit data as RGGB, GRBG, GBRG, BGGR; 0 takes it as grey.
// Returns false for a subtype it cannot read or a short frame.
bool ConvertToRgb24(const platform::GUID& subtype, int32_t width, int32_t height, const uint8_t* in, size_t length,
                    int32_t rawPattern, uint8_t* out);

}  // namespace kelvane::sim
