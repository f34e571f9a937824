// Bayer demosaicing: five algorithms, 8- and 16-bit samples.
//
// Source: w x h raw samples, row after row. Destination: w x h pixels of three
// samples each (sample 0 shown as blue, 1 green, 2 red). Nothing is allocated
// here; tables are built once, thread-safely.
#pragma once

#include <cstdint>
#include <optional>

namespace kelvane::frames {

// The settings' Algorithm codes.
enum class BayerAlgorithm : int32_t {
  BilinearOrig = 0,  // truncating halves and quarters, every pixel computed
  Nearest = 1,       // last row and column black
  Bilinear = 2,      // 1-pixel black frame
  HqLinear = 3,      // 2-pixel black frame, clamped
  Simple = 4,        // last row and column black
};

// The settings' RawMode codes 1..4 (0, data not demosaiced, is no pattern).
// Each is named after the layout of the top-left 2 x 2 block, row 0 then row 1,
// as algorithms 1 to 4 read it; algorithm 0 reads every code with red and blue
// exchanged (Bggr as R G / G B, Grbg as G B / R G, and so on). The
// configuration page's captions ("Bayer RGGB", "Bayer GRBG", "Bayer GBRG",
// "Bayer BGGR" for 1 to 4) are what it shows, not what the codes do.
enum class BayerPattern : int32_t {
  Bggr = 1,  // B G / G R
  Grbg = 2,  // G R / B G
  Gbrg = 3,  // G B / R G
  Rggb = 4,  // R G / G B
};

// One of the named values (an enumeration cast from a stored number may not be).
constexpr bool IsKnown(BayerAlgorithm a) { return static_cast<int32_t>(a) >= 0 && static_cast<int32_t>(a) <= 4; }
constexpr bool IsKnown(BayerPattern p) { return static_cast<int32_t>(p) >= 1 && static_cast<int32_t>(p) <= 4; }

// The settings' numbers as enumerations, for where they enter the frame
// pipeline: nothing for a number outside the named codes.
constexpr std::optional<BayerAlgorithm> BayerAlgorithmFrom(int32_t code) {
  const auto a = static_cast<BayerAlgorithm>(code);
  return IsKnown(a) ? std::optional(a) : std::nullopt;
}
constexpr std::optional<BayerPattern> BayerPatternFrom(int32_t raw_mode) {
  const auto p = static_cast<BayerPattern>(raw_mode);
  return IsKnown(p) ? std::optional(p) : std::nullopt;
}

// "HqLinear", "Bggr" and so on, for messages and test names; "unknown" otherwise.
const char* BayerAlgorithmName(BayerAlgorithm a);
const char* BayerPatternName(BayerPattern p);

// The scalar reference. Returns false, leaving dst unwritten, for missing or
// overlapping buffers, a size below 1 x 1, or an algorithm or pattern that is
// none of the named values.
bool Demosaic8(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern, BayerAlgorithm algorithm);

// bits: significant bits of the samples (10, 12, 14 or 16); algorithm 3 clamps to 2^bits - 1.
bool Demosaic16(const uint16_t* src, uint16_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                BayerAlgorithm algorithm, int32_t bits);

}  // namespace kelvane::frames
