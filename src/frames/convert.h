// Pixel conversion from the camera's delivered layout to the host's layout:
// one grey byte per pixel, three bytes per pixel in the order B G R, or the
// camera's own four-byte pixels.
//
// The kernels below are the scalar reference: each reads like the arithmetic
// it implements and is the truth that any faster variant must match byte for
// byte. None of them allocates; scratch memory belongs to the frame store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "frames/demosaic.h"
#include "frames/kernels.h"
#include "frames/tables.h"

namespace kelvane::frames {

// One 24-bit pixel from Y, U, V with the fixed-point products of YuvTables.
inline void YuvToBgr(const YuvTables& t, uint8_t y, uint8_t u, uint8_t v, uint8_t* bgr) {
  auto clamp = [](int32_t x) { return static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x)); };
  const int32_t luma = t.Y[y];
  bgr[0] = clamp((luma + t.Bu[u] + 128) >> 8);
  bgr[1] = clamp((luma - t.Gu[u] - t.Gv[v] + 128) >> 8);
  bgr[2] = clamp((luma + t.Rv[v] + 128) >> 8);
}

// ---- scalar kernels ------------------------------------------------------------------------------

// Planar 4:2:0: chroma sample (x/2, y/2) of a ((width+1)/2)-wide plane serves its 2 x 2 block.
void I420ToBgr(const uint8_t* y_plane, const uint8_t* u_plane, const uint8_t* v_plane, uint8_t* bgr, int32_t width,
               int32_t rows);
// Packed 4:1:1, 6 bytes U Y0 Y1 V Y2 Y3 per group of 4 pixels.
void Y411ToBgr(const uint8_t* src, uint8_t* bgr, size_t groups);
void Y411ToLuma(const uint8_t* src, uint8_t* grey, size_t groups);
// Packed 4:2:2, 4 bytes U Y0 V Y1 per group of 2 pixels.
void UyvyToBgr(const uint8_t* src, uint8_t* bgr, size_t groups);
void UyvyToLuma(const uint8_t* src, uint8_t* grey, size_t groups);
// Packed 4:2:2, 4 bytes Y0 U Y1 V per group of 2 pixels.
void Yuy2ToBgr(const uint8_t* src, uint8_t* bgr, size_t groups);
void Yuy2ToLuma(const uint8_t* src, uint8_t* grey, size_t groups);
// Packed 4:4:4, 3 bytes U Y V per pixel.
void Y444ToBgr(const uint8_t* src, uint8_t* bgr, size_t pixels);
void Y444ToLuma(const uint8_t* src, uint8_t* grey, size_t pixels);
// Grey = (B + G + R) / 3 of the first three bytes of each 3- or 4-byte pixel.
void BgrToGrey(const uint8_t* src, uint8_t* grey, size_t pixels, size_t bytes_per_pixel);
// Row i of `out` is row rows - 1 - i of `image`, each `row_bytes` long: a
// whole-image read of a top-down image, bottom row first.
void CopyRowsReversed(const uint8_t* image, uint8_t* out, size_t row_bytes, size_t rows);

// 16-bit samples as the camera sends them (two bytes each, most significant
// first when `swap` is set), shifted right by `shift` into native samples.
void Unpack16(const uint8_t* src, uint16_t* samples, size_t count, bool swap, int32_t shift);
// Grey from 16-bit samples: map[min(sample >> shift, largest)], or the low
// byte of the sample when map is null.
void Mono16ToGrey(const uint8_t* src, uint8_t* grey, size_t count, bool swap, int32_t shift, const uint8_t* map,
                  uint16_t largest);
// Each 16-bit sample to map[min(sample, largest)].
void Map16ToBytes(const uint16_t* samples, uint8_t* dst, size_t count, const uint8_t* map, uint16_t largest);
// Three 16-bit samples per pixel, each mapped, then averaged to grey.
void Map16ToGrey(const uint16_t* bgr16, uint8_t* grey, size_t pixels, const uint8_t* map, uint16_t largest);

// ---- frame conversion ----------------------------------------------------------------------------

// One delivered frame and where it goes. `rows` is |Height|; the conversions run
// in memory order, so a bottom-up image stays bottom-up.
struct FrameJob {
  const uint8_t* data = nullptr;
  size_t length = 0;  // bytes delivered
  uint8_t* target = nullptr;
  size_t target_size = 0;  // FrameSize
  // What the target held before, when that lives elsewhere (the published
  // image, while the target is the next image's buffer); null: in the target.
  // A frame that covers only part of the target keeps the rest from here.
  const uint8_t* previous = nullptr;
  int32_t width = 0;
  int32_t rows = 0;
  size_t pixels = 0;  // width * rows
  // How raw data is demosaiced, for the converters that do (the store checked
  // the settings' numbers when it chose the converter).
  BayerPattern pattern = BayerPattern::Bggr;
  BayerAlgorithm algorithm = BayerAlgorithm::BilinearOrig;
  int32_t lut = 0;
  bool swap_bytes = true;
  uint8_t* scratch8 = nullptr;        // demosaiced rows (3 bytes per pixel), one per band, 8-bit raw grey path
  uint16_t* scratch16_in = nullptr;   // 1 sample per pixel, unpacked 16-bit raw data
  uint16_t* scratch16_out = nullptr;  // one demosaiced row (3 samples per pixel) of 16-bit data
  const Kernels* kernels = nullptr;   // the set chosen for the store; null: the scalar reference
};

// The pixel layouts the frame pipeline reads, by the codes the camera record
// keeps: which one a camera delivers follows from its connected media subtype.
enum class FrameType : int32_t {
  I420 = 0,    // planar 4:2:0: Y plane, then U, then V (IYUV, I420)
  Y411 = 1,    // packed 4:1:1: U Y0 Y1 V Y2 Y3
  Uyvy = 2,    // packed 4:2:2: U Y0 V Y1 (UYVY, Y422)
  Y444 = 3,    // packed 4:4:4: U Y V
  Grey8 = 4,   // 8 bits per pixel, grey or Bayer raw (RGB8, Y800)
  Yuy2 = 5,    // packed 4:2:2: Y0 U Y1 V
  Rgb24 = 6,   // B G R, a bottom-up bitmap
  Rgb32 = 7,   // B G R and a fourth byte, a bottom-up bitmap (RGB32, ARGB32)
  Mono16 = 8,  // 16-bit grey, most significant byte first
  Raw8 = 9,    // 8-bit Bayer raw
  Raw16 = 10,  // 16-bit Bayer raw, most significant byte first
};

// One of the eleven layouts (a FrameType made from a stored number may not be).
constexpr bool IsKnown(FrameType t) {
  return static_cast<int32_t>(t) >= 0 && static_cast<int32_t>(t) <= 10;
}
// Rows stored bottom row first, as bitmaps are.
constexpr bool IsBottomUp(FrameType t) { return t == FrameType::Rgb24 || t == FrameType::Rgb32; }
// 16-bit samples, which the Lut's table maps to bytes.
constexpr bool Is16Bit(FrameType t) { return t == FrameType::Mono16 || t == FrameType::Raw16; }
// One sample per pixel that a Bayer pattern can demosaic.
constexpr bool IsRaw(FrameType t) {
  return t == FrameType::Grey8 || t == FrameType::Raw8 || t == FrameType::Mono16 || t == FrameType::Raw16;
}
// "RGB24" and so on, for messages and test names.
const char* FrameTypeName(FrameType t);

// Converts job.data into job.target. Returns false when the target was left
// unchanged (a frame too short for its geometry, or a rejected Bayer setting).
using FrameConverter = bool (*)(const FrameJob&);

// The converter for one configuration, or null for an unknown FrameType. No
// pattern (RawMode 0, or a code outside 1..4): raw data is not demosaiced. No
// algorithm (a code outside 0..4): a converter that would demosaic refuses
// every frame, leaving the target as it was.
FrameConverter SelectConverter(FrameType frame_type, int32_t pixel_bits, std::optional<BayerPattern> pattern,
                               std::optional<BayerAlgorithm> algorithm);

// Scratch memory the chosen converter needs: per pixel of the frame, or per
// pixel of one row (the demosaiced paths go on with each row as it is done).
struct ScratchNeeds {
  size_t bytes8_per_row_pixel = 0;
  size_t samples16_in_per_pixel = 0;
  size_t samples16_out_per_row_pixel = 0;
};
ScratchNeeds ScratchFor(FrameType frame_type, int32_t pixel_bits, std::optional<BayerPattern> pattern);

}  // namespace kelvane::frames
