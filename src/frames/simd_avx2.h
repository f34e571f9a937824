// Vector bodies of the frame kernels for x86-64 processors with AVX2. Each body
// handles whole blocks only and reads and writes nothing outside them; the
// pixels after the last whole block are left to the scalar reference by the
// wrappers in kernels_any.cpp. Nothing here may run before the processor was
// found to support AVX2.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(KELVANE_NO_VECTOR_KERNELS)
#define KELVANE_HAVE_AVX2_KERNELS 1

#include <cstddef>
#include <cstdint>

#include "frames/demosaic_rows.h"

namespace kelvane::frames::avx2 {

// Packed YUV: blocks of 32 pixels.
inline constexpr size_t kPixelsPerBlock = 32;
void Yuy2ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
void UyvyToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
void Y411ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);  // reads 4 bytes past each block
void Y444ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
// One row of planar 4:2:0: 32 luma and 16 chroma samples per block.
void I420RowToBgrBlocks(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* bgr, size_t blocks);

void Yuy2ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);
void UyvyToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);
void Y411ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);  // reads 4 bytes past each block
void Y444ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);
// Reads 4 bytes before and 4 bytes after each block.
void Bgr24ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);
void Bgr32ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);

// 16-bit samples: blocks of 32 samples.
inline constexpr size_t kSamplesPerBlock = 32;
void Unpack16Blocks(const uint8_t* src, uint16_t* samples, size_t blocks, bool swap, int32_t shift);
// Linear maps only: map[min(s, largest)] = min(s, largest) >> (bits - 8).
void Mono16ToGreyLinearBlocks(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap, int32_t shift,
                              uint16_t largest, int32_t map_shift);
void Mono16ToGreyLowByteBlocks(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap);
void Map16ToBytesLinearBlocks(const uint16_t* samples, uint8_t* dst, size_t blocks, uint16_t largest,
                              int32_t map_shift);
// Any map, by gathering 32-bit words from it: needs 3 readable bytes after map[largest].
void Map16ToBytesGatherBlocks(const uint16_t* samples, uint8_t* dst, size_t blocks, const uint8_t* map,
                              uint16_t largest);

// Averaging: blocks of 32 bytes.
inline constexpr size_t kBytesPerBlock = 32;
// Exact floor(sum / n) for every sum of n bytes, by a multiply-high and a shift.
struct Divider {
  uint16_t multiplier;
  int32_t shift;
  bool exact;
};
Divider DividerFor(int32_t n);
// Counts 2..kMaxAverage only; above it the reference is used (kernels_any.cpp).
inline constexpr int32_t kMaxAverage = 8;
void AverageBlocks(const uint8_t* const* frames, int32_t n, Divider d, size_t blocks, uint8_t* result);
void BlendBlocks(const uint8_t* newest, uint8_t* result, size_t blocks, uint16_t wn, uint16_t wo);
// The whole of CopyRowsReversed, rows of any length.
void CopyRowsReversed(const uint8_t* image, uint8_t* out, size_t row_bytes, size_t rows);

// Interior rows of the demosaicing algorithms.
extern const DemosaicRows<uint8_t> kDemosaicRows8;
extern const DemosaicRows<uint16_t> kDemosaicRows16;

// Algorithm 4 straight from delivered 16-bit samples (see Kernels::DeliveredSimpleRows).
bool DeliveredSimpleRows(const uint8_t* data, uint8_t* out, int32_t width, int32_t height, BayerPattern pattern,
                         bool swap, int32_t bits, bool grey, int32_t from, int32_t to);

}  // namespace kelvane::frames::avx2

#endif
