// Vector bodies for x86-64 processors with AVX-512 VBMI (byte permutes over 128
// entries): the logarithmic 16-bit to byte map, which the AVX2 set can only
// gather, and the 16-bit demosaicing interiors with 32 samples per register.
// Nothing here may run before the processor was found to support AVX-512 F, BW
// and VBMI.
#pragma once

#include "frames/simd_avx2.h"

#ifdef KELVANE_HAVE_AVX2_KERNELS
#include <cstddef>
#include <cstdint>

namespace kelvane::frames::vbmi {

// A non-decreasing map of 2^bits entries written as byte tables over 256
// buckets, at up to kMaxLevels bucket widths. At level i a sample s falls in
// bucket h = s >> shift[i]; its byte is base[i][h], plus one when the bits of s
// below the shift exceed over[i][h] (a bucket holds at most one step of the
// map). The first level has the widest buckets and covers every sample; each
// further level covers s < 256 << shift[i] with narrower buckets and wins there,
// where the map is too steep for the wider ones.
inline constexpr int32_t kMaxLevels = 6;
struct ByteMapLevels {
  int32_t count = 0;
  int32_t shift[kMaxLevels] = {};
  alignas(64) uint8_t base[kMaxLevels][256] = {};
  alignas(64) uint8_t over[kMaxLevels][256] = {};
};

// Builds the levels for map[0 .. largest], largest = 2^bits - 1 with bits 8..16.
// False when the map cannot be written so (it falls or steps too often); the
// levels are checked against every entry of the map before true is returned.
bool BuildByteMapLevels(const uint8_t* map, uint16_t largest, ByteMapLevels& levels);

// Mono16ToGrey through the levels: blocks of 64 samples (128 input bytes).
inline constexpr size_t kSamplesPerBlock = 64;
void Mono16ToGreyLevelsBlocks(const uint8_t* src, uint8_t* grey, size_t blocks, bool swap, int32_t shift,
                              uint16_t largest, const ByteMapLevels& levels);

// Y444 luma and BGR to grey, 64 pixels per block (grey_vbmi.cpp); they read
// exactly the block's bytes.
inline constexpr size_t kGreyPixelsPerBlock = 64;
void Y444ToLumaBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);
void Bgr24ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);
void Bgr32ToGreyBlocks(const uint8_t* src, uint8_t* grey, size_t blocks);

// YUV to BGR, 64 pixels per block (yuv_vbmi.cpp); they read exactly the
// block's bytes (I420: one row, 64 luma and 32 bytes of each chroma plane).
inline constexpr size_t kYuvPixelsPerBlock = 64;
void Yuy2ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
void UyvyToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
void Y411ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
void Y444ToBgrBlocks(const uint8_t* src, uint8_t* bgr, size_t blocks);
void I420RowToBgrBlocks(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* bgr, size_t blocks);

// Interiors of the 16-bit demosaicing (AVX-512 BW and VBMI): algorithms 0 and 2
// for mapped samples of at most 14 bits and algorithm 4 for any mapped samples,
// 32 pixels per block; everything else goes to the AVX2 interiors.
extern const DemosaicRows<uint16_t> kDemosaicRows16;
// The byte swap and shift of delivered 16-bit samples ahead of them: blocks of 32 samples.
void Unpack16Blocks(const uint8_t* src, uint16_t* samples, size_t blocks, bool swap, int32_t shift);

}  // namespace kelvane::frames::vbmi

#endif
