// The IIDC colour codings the backend streams, the pipeline subtype each one
// becomes, and how a frame of it is laid out again as the pipeline reads it:
// 4:1:1, 4:2:2 and 4:4:4 already come in the pipeline's U Y Y V Y Y, U Y V Y
// and U Y V orders; RGB8 rows come top-down in R G B order and become a
// bottom-up B G R bitmap; 16-bit samples travel most significant byte first
// on the bus, as the pipeline reads them, and are turned round only when the
// library says it has made them little-endian.
#pragma once

#include <dc1394/dc1394.h>

#include <cstddef>
#include <cstdint>

#include "platform/com.h"

namespace kelvane::iidc {

struct Coding {
  dc1394color_coding_t coding;
  platform::GUID subtype;
  uint32_t bitsPerPixel;  // on the bus
  bool raw;               // a colour-filter mosaic
  const char* name;       // as the IIDC documents name it
};

// The backend's entry for a colour coding, or null for one it does not stream.
const Coding* FindCoding(dc1394color_coding_t coding);

// Bytes of one row (and of a frame) of the coding as the camera sends it.
size_t RowBytes(const Coding& coding, uint32_t width);
size_t FrameBytes(const Coding& coding, uint32_t width, uint32_t height);

// Whether a frame the camera sent can go to the pipeline as it is.
bool InPipelineLayout(const Coding& coding, uint32_t width, uint32_t stride, bool littleEndian, uint32_t yuvOrder);

// Lays a frame out again into `out` (the pipeline's FrameBytes for the
// subtype). False when `used` bytes are fewer than the frame needs; nothing
// past either buffer is touched.
bool Repack(const Coding& coding, uint32_t width, uint32_t height, uint32_t stride, bool littleEndian,
            uint32_t yuvOrder, const uint8_t* in, size_t used, uint8_t* out);

// The IIDC frame-rate code of a libdc1394 rate (0 for 1.875 fps, doubling
// per code), or -1; and back.
int32_t FpsCodeOf(dc1394framerate_t rate);
dc1394framerate_t RateOfFpsCode(int32_t code);
// The frame interval of a code, 100-ns units (0 for no code).
int64_t IntervalOfFpsCode(int32_t code);
// A Format 7 frame of `bytes` in packets of `packet` bytes, one packet per
// 125-microsecond isochronous cycle: its interval in 100-ns units.
int64_t Format7Interval(uint64_t bytes, uint32_t packet);

// "Bayer RGGB" and so on, and the settings' RawMode that demosaics the
// layout with `algorithm` (0 reads the codes with red and blue exchanged
// against algorithms 1 to 4); 0 for no mosaic.
const char* FilterName(dc1394color_filter_t filter);
int RawModeFor(dc1394color_filter_t filter, int algorithm);

}  // namespace kelvane::iidc
