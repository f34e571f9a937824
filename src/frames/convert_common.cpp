// Scalar reference kernels of the pixel conversions.
#include <algorithm>
#include <cstring>

#include "frames/convert.h"

namespace kelvane::frames {

void I420ToBgr(const uint8_t* y_plane, const uint8_t* u_plane, const uint8_t* v_plane, uint8_t* bgr, int32_t width,
               int32_t rows) {
  const YuvTables& t = GetYuvTables();
  const size_t w = static_cast<size_t>(width);
  const size_t chroma_width = (w + 1) / 2;
  for (size_t y = 0; y < static_cast<size_t>(rows); ++y) {
    const uint8_t* luma = y_plane + y * w;
    const uint8_t* u = u_plane + (y / 2) * chroma_width;
    const uint8_t* v = v_plane + (y / 2) * chroma_width;
    uint8_t* out = bgr + y * w * 3;
    for (size_t x = 0; x < w; ++x) YuvToBgr(t, luma[x], u[x / 2], v[x / 2], out + 3 * x);
  }
}

void Y411ToBgr(const uint8_t* src, uint8_t* bgr, size_t groups) {
  const YuvTables& t = GetYuvTables();
  for (size_t g = 0; g < groups; ++g, src += 6, bgr += 12) {
    const uint8_t u = src[0], v = src[3];
    YuvToBgr(t, src[1], u, v, bgr);
    YuvToBgr(t, src[2], u, v, bgr + 3);
    YuvToBgr(t, src[4], u, v, bgr + 6);
    YuvToBgr(t, src[5], u, v, bgr + 9);
  }
}

void Y411ToLuma(const uint8_t* src, uint8_t* grey, size_t groups) {
  for (size_t g = 0; g < groups; ++g, src += 6, grey += 4) {
    grey[0] = src[1];
    grey[1] = src[2];
    grey[2] = src[4];
    grey[3] = src[5];
  }
}

void UyvyToBgr(const uint8_t* src, uint8_t* bgr, size_t groups) {
  const YuvTables& t = GetYuvTables();
  for (size_t g = 0; g < groups; ++g, src += 4, bgr += 6) {
    YuvToBgr(t, src[1], src[0], src[2], bgr);
    YuvToBgr(t, src[3], src[0], src[2], bgr + 3);
  }
}

void UyvyToLuma(const uint8_t* src, uint8_t* grey, size_t groups) {
  for (size_t g = 0; g < groups; ++g, src += 4, grey += 2) {
    grey[0] = src[1];
    grey[1] = src[3];
  }
}

void Yuy2ToBgr(const uint8_t* src, uint8_t* bgr, size_t groups) {
  const YuvTables& t = GetYuvTables();
  for (size_t g = 0; g < groups; ++g, src += 4, bgr += 6) {
    YuvToBgr(t, src[0], src[1], src[3], bgr);
    YuvToBgr(t, src[2], src[1], src[3], bgr + 3);
  }
}

void Yuy2ToLuma(const uint8_t* src, uint8_t* grey, size_t groups) {
  for (size_t g = 0; g < groups; ++g, src += 4, grey += 2) {
    grey[0] = src[0];
    grey[1] = src[2];
  }
}

void Y444ToBgr(const uint8_t* src, uint8_t* bgr, size_t pixels) {
  const YuvTables& t = GetYuvTables();
  for (size_t i = 0; i < pixels; ++i, src += 3, bgr += 3) YuvToBgr(t, src[1], src[0], src[2], bgr);
}

void Y444ToLuma(const uint8_t* src, uint8_t* grey, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) grey[i] = src[3 * i + 1];
}

void BgrToGrey(const uint8_t* src, uint8_t* grey, size_t pixels, size_t bytes_per_pixel) {
  const uint8_t* table = GetGreyTable();
  for (size_t i = 0; i < pixels; ++i, src += bytes_per_pixel) grey[i] = table[src[0] + src[1] + src[2]];
}

// The image in memory order, its rows written from the last one up (see the AVX2 set's).
void CopyRowsReversed(const uint8_t* image, uint8_t* out, size_t row_bytes, size_t rows) {
  for (size_t i = 0; i < rows; ++i) std::memcpy(out + (rows - 1 - i) * row_bytes, image + i * row_bytes, row_bytes);
}

namespace {
inline uint16_t Sample16(const uint8_t* p, bool swap) {
  // The camera sends the most significant byte first; swapping makes it native.
  return swap ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}
}  // namespace

void Unpack16(const uint8_t* src, uint16_t* samples, size_t count, bool swap, int32_t shift) {
  for (size_t i = 0; i < count; ++i) samples[i] = static_cast<uint16_t>(Sample16(src + 2 * i, swap) >> shift);
}

void Mono16ToGrey(const uint8_t* src, uint8_t* grey, size_t count, bool swap, int32_t shift, const uint8_t* map,
                  uint16_t largest) {
  if (map == nullptr) {
    for (size_t i = 0; i < count; ++i) grey[i] = static_cast<uint8_t>(Sample16(src + 2 * i, swap) & 0xFF);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint16_t s = static_cast<uint16_t>(Sample16(src + 2 * i, swap) >> shift);
    grey[i] = map[std::min(s, largest)];
  }
}

void Map16ToBytes(const uint16_t* samples, uint8_t* dst, size_t count, const uint8_t* map, uint16_t largest) {
  for (size_t i = 0; i < count; ++i) dst[i] = map[std::min(samples[i], largest)];
}

void Map16ToGrey(const uint16_t* bgr16, uint8_t* grey, size_t pixels, const uint8_t* map, uint16_t largest) {
  const uint8_t* table = GetGreyTable();
  for (size_t i = 0; i < pixels; ++i, bgr16 += 3) {
    grey[i] = table[map[std::min(bgr16[0], largest)] + map[std::min(bgr16[1], largest)] +
                    map[std::min(bgr16[2], largest)]];
  }
}

}  // namespace kelvane::frames
