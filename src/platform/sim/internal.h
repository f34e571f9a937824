// Object creation inside the simulation, the camera filter that the
// framework's graph streams from, and the simulated cameras' pictures.
#pragma once

#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/firei.h"
#include "platform/framework/fault.h"
#include "platform/framework/framework.h"
#include "platform/framework/jpeg.h"
#include "platform/framework/object.h"
#include "platform/sim/bus.h"

namespace kelvane::sim {

using platform::IID;
using platform::REFIID;
using platform::ULONG;

// The framework's building blocks the simulated devices are made of.
using framework::CountObject;
using framework::Facet;
using framework::Filter;
using framework::FrameBuffer;
using framework::HandOut;
using framework::MediaType;
using framework::Object;
using framework::Pin;
using framework::SourceFilter;
using framework::ToUtf16;
using framework::ToUtf8;

// The simulated bus as the framework's device backend.
framework::DeviceBackend& Backend();

HRESULT CreateCameraFilter(std::shared_ptr<Device> device, REFIID riid, void** out);

// Fills one frame of the moving test pattern (frame number `index`) in the
// byte layout of `subtype`. `out` holds FrameBytes(subtype, width, height).
void RenderPattern(const platform::GUID& subtype, int32_t width, int32_t height, int64_t index, BayerPattern bayer,
                   uint8_t* out);

// Fills a black frame (black after any conversion: luma 0, neutral chroma).
void RenderBlank(const platform::GUID& subtype, int32_t width, int32_t height, uint8_t* out);

// The layout a camera renders (or reads from its file) a frame of `subtype`
// in: a Motion-JPEG camera takes its picture as RGB24 and sends it encoded.
inline platform::GUID PictureLayout(const platform::GUID& subtype) {
  return subtype == platform::MEDIASUBTYPE_MJPG ? platform::MEDIASUBTYPE_RGB24 : subtype;
}

// Encodes an RGB24 picture as the JPEG a Motion-JPEG camera sends; `frame`
// ends up holding exactly its bytes. Throws when the picture cannot be encoded.
template <class Buffer>
void EncodeFrame(framework::JpegEncoder& encoder, const uint8_t* picture, int32_t width, int32_t height,
                 Buffer& frame) {
  frame.resize(framework::JpegEncoder::MaxBytes(width, height));
  const size_t length = frame.empty() ? 0 : encoder.EncodeRgb24(picture, width, height, frame.data());
  if (length == 0) throw std::runtime_error("the picture cannot be encoded as JPEG");
  frame.resize(length);
}

}  // namespace kelvane::sim
