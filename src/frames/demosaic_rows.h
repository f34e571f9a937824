// What the demosaicing reference shares with its faster variants: the pattern
// tables and a hook through which a variant computes a stretch of a row's
// interior. The reference computes whatever the hook leaves (the borders, the
// edge columns, the pixels after the hook's last whole block), so a variant
// only ever needs to handle whole blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frames/demosaic.h"

namespace kelvane::frames {

// A colour is also the index of the output sample it goes to.
enum Colour : uint8_t { kB = 0, kG = 1, kR = 2 };

// The colour of every site of the 2 x 2 block that tiles the frame, [row parity][column parity].
struct Pattern {
  std::array<std::array<Colour, 2>, 2> site;

  Colour At(ptrdiff_t x, ptrdiff_t y) const { return site[y & 1][x & 1]; }
  // The non-green colour that shares row y with the greens; the other one lies above and below.
  Colour RowColour(ptrdiff_t y) const { return At(0, y) == kG ? At(1, y) : At(0, y); }
};

// The layouts of BayerPattern 1..4 (at index code - 1) as algorithms 1 to 4 read them.
inline constexpr std::array<Pattern, 4> kPatterns = {{
    {{{{kB, kG}, {kG, kR}}}},
    {{{{kG, kR}, {kB, kG}}}},
    {{{{kG, kB}, {kR, kG}}}},
    {{{{kR, kG}, {kG, kB}}}},
}};

// Algorithm 0 reads the same codes with red and blue exchanged.
inline constexpr std::array<Pattern, 4> kPatternsOrig = {{
    {{{{kR, kG}, {kG, kB}}}},
    {{{{kG, kB}, {kR, kG}}}},
    {{{{kG, kR}, {kB, kG}}}},
    {{{{kB, kG}, {kG, kR}}}},
}};

// The layout `algorithm` reads for `pattern`, both among the named values.
constexpr const Pattern& LayoutOf(BayerPattern pattern, BayerAlgorithm algorithm) {
  const auto index = static_cast<size_t>(static_cast<int32_t>(pattern) - 1);
  return algorithm == BayerAlgorithm::BilinearOrig ? kPatternsOrig[index] : kPatterns[index];
}

// The pattern names say what algorithms 1 to 4 read, and algorithm 0 reads each with red and blue exchanged.
constexpr bool Lays(BayerPattern p, BayerAlgorithm a, Colour c00, Colour c01, Colour c10, Colour c11) {
  const Pattern& l = LayoutOf(p, a);
  return l.site[0][0] == c00 && l.site[0][1] == c01 && l.site[1][0] == c10 && l.site[1][1] == c11;
}
static_assert(Lays(BayerPattern::Bggr, BayerAlgorithm::Nearest, kB, kG, kG, kR) &&
              Lays(BayerPattern::Grbg, BayerAlgorithm::Nearest, kG, kR, kB, kG) &&
              Lays(BayerPattern::Gbrg, BayerAlgorithm::Nearest, kG, kB, kR, kG) &&
              Lays(BayerPattern::Rggb, BayerAlgorithm::Nearest, kR, kG, kG, kB));
static_assert(Lays(BayerPattern::Bggr, BayerAlgorithm::BilinearOrig, kR, kG, kG, kB) &&
              Lays(BayerPattern::Grbg, BayerAlgorithm::BilinearOrig, kG, kB, kR, kG) &&
              Lays(BayerPattern::Gbrg, BayerAlgorithm::BilinearOrig, kG, kR, kB, kG) &&
              Lays(BayerPattern::Rggb, BayerAlgorithm::BilinearOrig, kB, kG, kG, kR));

// Where a sink puts rows of 16-bit samples once they are mapped to bytes by a
// linear map (min(sample, largest) >> shift): 3 bytes per pixel, or one grey
// byte per pixel (the mean of the three mapped samples). A variant may write
// stretches of a row there directly and leave only the rest to the sink. The
// source samples are at most `largest` (they were unpacked with the map's
// shift), so the sums and means a variant forms from them are too.
struct MappedRows {
  uint8_t* base;
  size_t stride;  // bytes from one row to the next
  int32_t shift;
  uint16_t largest;
  bool grey;
};

// One row's stretch of interior pixels [x0, x1) of output row y. The source
// rows are y - 2 .. y + 2 as the algorithm sees them (algorithm 0 mirrors them
// at the top and bottom); rows an algorithm does not use may be null. Every
// source row holds w samples, and the algorithm's own neighbourhood of each
// pixel in [x0, x1) lies inside them.
template <typename T>
struct RowStretch {
  const T* rows[5];
  T* out;  // output row y, 3 samples per pixel
  ptrdiff_t w;
  ptrdiff_t y;
  ptrdiff_t x0, x1;
  const Pattern* pattern;
  int32_t max;  // largest sample value (algorithm 3 clamps to it)
  // When not null, the hook may write its pixels mapped to bytes into row y of
  // it instead of into `out` (the pixels it returns as done are then only there).
  const MappedRows* mapped = nullptr;
};

// Computes output pixels x0 .. end - 1 of the stretch exactly as the reference
// would and returns end (x0 <= end <= x1).
template <typename T>
using RowHook = ptrdiff_t (*)(const RowStretch<T>&);

// One hook per BayerAlgorithm code 0..4; a null hook leaves the row to the reference.
template <typename T>
struct DemosaicRows {
  RowHook<T> algorithm[5];
};

// The fewest rows a ring of source rows may hold: output row y reads rows y - 2
// .. y + 2, and its sink brings in row y + 3 for the next one.
inline constexpr ptrdiff_t kMinSourceRows = 5;

// Receives each output row as soon as it is complete: y and its 3w samples,
// valid only during the call. Pixels [mapped_from, mapped_to) of the row were
// already written to `mapped` and are not in `row`.
//
// With `source_rows` not 0 the source holds only that many rows, a ring with
// row y at row y % source_rows (at least kMinSourceRows): rows from - 2 ..
// from + 2 (those in the frame) must be there at the start, and done(y) must
// bring in row y + 3 (where the frame has one) before it returns, writing over
// no row after y - 2. The rows being read then stay in the first-level cache,
// where a whole frame of them would be written out and read back.
//
// Only output rows [from, to) are computed and handed over (to 0 stands for
// the frame's height), exactly as the whole frame has them: bands of one frame,
// each with its own ring and row buffer, may be computed at once on several
// threads.
template <typename T>
struct RowSink {
  void (*done)(void* context, ptrdiff_t y, const T* row, ptrdiff_t mapped_from, ptrdiff_t mapped_to);
  void* context;
  const MappedRows* mapped = nullptr;
  ptrdiff_t source_rows = 0;
  int32_t from = 0;
  int32_t to = 0;
};

// Output rows [from, to) of the frame only, exactly as the whole-frame call
// writes them; the other rows are left alone. Bands of one frame may be
// computed at once on several threads. False, writing nothing, where the whole
// frame would be refused or the band is empty or outside the frame.
bool Demosaic8Band(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                   BayerAlgorithm algorithm, int32_t from, int32_t to);

// The same, but every row is computed into `row_buffer` (3w samples) and handed
// to the sink in order, top to bottom, so that a following step works on rows
// still in the cache. Nothing is handed over when the arguments are rejected.
bool Demosaic8Rows(const uint8_t* src, uint8_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                   BayerAlgorithm algorithm, const RowSink<uint8_t>& sink);
bool Demosaic16Rows(const uint16_t* src, uint16_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                    BayerAlgorithm algorithm, int32_t bits, const RowSink<uint16_t>& sink);

// Each of the calls above (and Demosaic8, Demosaic16) with a set's hooks
// computing the interiors, for the builders of the vector sets: the rest of the
// pipeline reaches these through the set's entries (Kernels::Demosaic8Rows and
// so on), which the scalar set fills with the plain reference.
bool Demosaic8With(const DemosaicRows<uint8_t>& hooks, const uint8_t* src, uint8_t* dst, int32_t w, int32_t h,
                   BayerPattern pattern, BayerAlgorithm algorithm);
bool Demosaic16With(const DemosaicRows<uint16_t>& hooks, const uint16_t* src, uint16_t* dst, int32_t w, int32_t h,
                    BayerPattern pattern, BayerAlgorithm algorithm, int32_t bits);
bool Demosaic8BandWith(const DemosaicRows<uint8_t>& hooks, const uint8_t* src, uint8_t* dst, int32_t w, int32_t h,
                       BayerPattern pattern, BayerAlgorithm algorithm, int32_t from, int32_t to);
bool Demosaic8RowsWith(const DemosaicRows<uint8_t>& hooks, const uint8_t* src, uint8_t* row_buffer, int32_t w,
                       int32_t h, BayerPattern pattern, BayerAlgorithm algorithm, const RowSink<uint8_t>& sink);
bool Demosaic16RowsWith(const DemosaicRows<uint16_t>& hooks, const uint16_t* src, uint16_t* row_buffer, int32_t w,
                        int32_t h, BayerPattern pattern, BayerAlgorithm algorithm, int32_t bits,
                        const RowSink<uint16_t>& sink);

}  // namespace kelvane::frames
