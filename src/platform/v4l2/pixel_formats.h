// The V4L2 pixel formats the backend streams, and how each one's frames are
// laid out again as the frame pipeline reads its subtype: rows without the
// driver's padding, 16-bit samples most significant byte first, RGB bitmaps
// bottom-up in blue-green-red order, planar 4:2:0 as Y, U, V planes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/com.h"

namespace kelvane::v4l2 {

enum class Layout {
  Packed,      // rows of the pipeline's layout; only the padding goes
  Swap16,      // 16-bit little-endian samples: bytes exchanged
  Y41P,        // U0 Y0 V0 Y1 U4 Y2 V4 Y3 Y4 Y5 Y6 Y7 per 8 pixels, to U Y Y V Y Y per 4
  Yuv420,      // Y, U, V planes
  Yvu420,      // Y, V, U planes
  Nv12,        // Y plane, then interleaved U V
  RgbToBgrUp,  // R G B rows top-down, to B G R bottom-up
  BgrUp,       // B G R rows top-down, to bottom-up
  Bgrx32Up,    // B G R X rows top-down, to bottom-up
  Xrgb32Up,    // X R G B rows top-down, to B G R X bottom-up
  Compressed,  // a JPEG frame: passed on as it came
};

struct PixelFormat {
  uint32_t fourcc;
  platform::GUID subtype;  // what the pipeline is told it gets
  Layout layout;
  int bytesPerPixel;  // of the device's rows (for 4:2:0: of the Y plane; Y41P: 0, 12 bytes per 8 pixels)
  int bayer;          // 0, or the colour-filter layout 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR
  const char* name;
};

// The backend's entry for a V4L2 fourcc, or null for one it does not stream.
const PixelFormat* FindPixelFormat(uint32_t fourcc);

// Bytes of one row as the driver lays it out at the least (without padding).
size_t MinBytesPerLine(const PixelFormat& format, uint32_t width);
// Bytes of one frame as the driver sends it, given its bytes per line.
size_t DeviceFrameBytes(const PixelFormat& format, uint32_t width, uint32_t height, uint32_t bytesPerLine);
// Bytes of one frame in the pipeline's layout (0 for a compressed format).
size_t PipelineFrameBytes(const PixelFormat& format, uint32_t width, uint32_t height);
// Whether a frame is already in the pipeline's layout, so that it can be passed
// on from the driver's buffer without a copy.
bool InPipelineLayout(const PixelFormat& format, uint32_t width, uint32_t bytesPerLine);

// Lays a frame of `used` bytes out again into `out` (PipelineFrameBytes bytes).
// False when the frame is shorter than its format needs; nothing past either
// buffer is touched.
bool Repack(const PixelFormat& format, uint32_t width, uint32_t height, uint32_t bytesPerLine, const uint8_t* in,
            size_t used, uint8_t* out);

// "Bayer RGGB" and so on, for messages.
const char* BayerName(int bayer);
// The settings' RawMode that demosaics this colour-filter layout with
// `algorithm`: algorithm 0 reads the codes with red and blue exchanged
// against algorithms 1 to 4.
int RawModeFor(int bayer, int algorithm);

}  // namespace kelvane::v4l2
