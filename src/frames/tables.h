// Lookup tables shared by every camera's frame pipeline. Each is built once,
// on first use, and kept for the life of the library; concurrent first use
// from two streaming threads builds it exactly once.
#pragma once

#include <cstdint>

namespace kelvane::frames {

// Products of the YUV to BGR conversion, indexed by the 8-bit sample.
struct YuvTables {
  int32_t Y[256];   // 298 * (i - 16)
  int32_t Rv[256];  // 409 * (i - 128)
  int32_t Gu[256];  // 100 * (i - 128)
  int32_t Gv[256];  // 208 * (i - 128)
  int32_t Bu[256];  // 516 * (i - 128)
};
const YuvTables& GetYuvTables();

// GreyTable[B + G + R] = (B + G + R) / 3, 766 entries.
inline constexpr int kGreyTableSize = 766;
const uint8_t* GetGreyTable();

// How a Lut code maps 16-bit samples to bytes.
struct LutInfo {
  int32_t bits;         // significant bits b of a sample: 10, 12, 14 or 16
  bool logarithmic;     // logarithmic instead of linear MapTable
  bool low_byte_grey;   // Lut 0: grey output takes the low byte, no table
  uint16_t largest() const { return static_cast<uint16_t>((1u << bits) - 1u); }
};
// Codes 0..8; any other code reads as linear 16-bit.
LutInfo LutFor(int32_t lut);

// MapTable of 2^bits bytes for bits 10, 12, 14 or 16 (linear or logarithmic).
// Returns null for any other bit count.
const uint8_t* GetMapTable(bool logarithmic, int32_t bits);

}  // namespace kelvane::frames
