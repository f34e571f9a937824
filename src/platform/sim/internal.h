// Object creation inside the simulation, the camera filter that the
// framework's graph streams from, and the simulated cameras' pictures.
#pragma once

#include <memory>
#include <vector>

#include "platform/firei.h"
#include "platform/framework/fault.h"
#include "platform/framework/framework.h"
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

}  // namespace kelvane::sim
