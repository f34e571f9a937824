// Bayer demosaicing: five algorithms, 8- and 16-bit samples.
//
// Source: w x h raw samples, row after row. Destination: w x h pixels of three
// samples each (sample 0 shown as blue, 1 green, 2 red). `pattern` is the
// RawMode code 1..4; algorithm 0 reads it with red and blue exchanged.
// Nothing is allocated here; tables are built once, thread-safely.
#pragma once

#include <cstdint>

namespace kelvane::frames {

enum class BayerAlgorithm : int32_t {
  BilinearOrig = 0,  // truncating table lookups, every pixel computed
  Nearest = 1,       // last row and column black
  Bilinear = 2,      // 1-pixel black frame
  HqLinear = 3,      // 2-pixel black frame, clamped
  Simple = 4,        // last row and column black
};

// Returns false, leaving dst unwritten, for an algorithm outside 0..4 or a
// pattern outside 1..4 (also for algorithm 0).
bool Demosaic8(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, int32_t pattern, int32_t algorithm);

// bits: significant bits of the samples (10, 12, 14 or 16); algorithm 3 clamps to 2^bits - 1.
bool Demosaic16(const uint16_t* src, uint16_t* dst, int32_t w, int32_t h, int32_t pattern, int32_t algorithm,
                int32_t bits);

}  // namespace kelvane::frames
