// Bayer demosaicing, scalar reference.
//
// Every routine walks the frame once, row after row in memory order, and
// writes each destination row completely (black border pixels included) before
// moving on (so a caller may take each row as soon as it is done, Demosaic8Rows).
// Algorithms 1 to 4 step two pixels at a time along a row, because
// the colour of a site alternates with the column and each pixel of the pair is
// handled by its own code path. Faster variants must reproduce these bytes.
#include "frames/demosaic.h"
#include "frames/demosaic_rows.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace kelvane::frames {
namespace {

// Algorithm 0 halves and quarters sums of two or four samples, rounding down.
// It was first written with lookup tables, indexed by the sum, that held
// exactly sum >> 1 and sum >> 2; the shifts give the same values without the
// tables' 768 KB for 16-bit samples, whose scattered reads at the row ends
// missed the cache on every row.
template <typename T>
T Half(int32_t sum) {
  return static_cast<T>(sum >> 1);
}
template <typename T>
T Quarter(int32_t sum) {
  return static_cast<T>(sum >> 2);
}

template <typename T>
void Black(T* out, ptrdiff_t pixels) {
  std::fill(out, out + 3 * pixels, T{0});
}

// Where the source rows are: one after another in a whole frame, or in a ring
// of `ring` rows that the sink refills as rows are done (row y in slot y % ring).
template <typename T>
struct Source {
  const T* base;
  ptrdiff_t w;
  ptrdiff_t ring;  // 0: the whole frame

  const T* Row(ptrdiff_t y) const { return base + (ring != 0 ? y % ring : y) * w; }
};

// Calls first(x) for x0, x0 + 2, ... and second(x) for x0 + 1, x0 + 3, ... below x1, in order.
template <typename First, typename Second>
void Pairs(ptrdiff_t x0, ptrdiff_t x1, First first, Second second) {
  ptrdiff_t x = x0;
  for (; x + 1 < x1; x += 2) {
    first(x);
    second(x + 1);
  }
  if (x < x1) first(x);
}

// Runs green(x) on the green sites and colour(x) on the others of row y, for x in [x0, x1).
template <typename Green, typename NonGreen>
void RowSites(const Pattern& p, ptrdiff_t y, ptrdiff_t x0, ptrdiff_t x1, Green green, NonGreen colour) {
  if (p.At(x0, y) == kG) {
    Pairs(x0, x1, green, colour);
  } else {
    Pairs(x0, x1, colour, green);
  }
}

template <typename T>
T Clamp(int32_t v, int32_t max) {
  return static_cast<T>(std::clamp(v, int32_t{0}, max));
}

// Lets a faster variant compute the stretch [x0, x1) of row y; returns where the
// reference must carry on.
// Where output rows go: each to its place in a whole destination frame, or all
// to one row buffer that a sink takes over as soon as the row is complete.
template <typename T>
struct Output {
  T* dst;
  ptrdiff_t w;
  const RowSink<T>* sink;
  // The stretch of the current row a hook wrote to the sink's mapped rows.
  mutable ptrdiff_t mapped_from = 0, mapped_to = 0;

  T* Row(ptrdiff_t y) const { return sink != nullptr ? dst : dst + 3 * y * w; }
  void Done(ptrdiff_t y) const {
    if (sink != nullptr) sink->done(sink->context, y, dst, mapped_from, mapped_to);
    mapped_from = mapped_to = 0;
  }
};

template <typename T>
ptrdiff_t Hook(const Output<T>& o, RowHook<T> hook, const T* up2, const T* up, const T* row, const T* down,
               const T* down2, T* out, ptrdiff_t w, ptrdiff_t y, ptrdiff_t x0, ptrdiff_t x1, const Pattern& p,
               int32_t max) {
  if (hook == nullptr || x1 <= x0) return x0;
  const MappedRows* mapped = o.sink != nullptr ? o.sink->mapped : nullptr;
  const RowStretch<T> s{{up2, up, row, down, down2}, out, w, y, x0, x1, &p, max, mapped};
  const ptrdiff_t end = hook(s);
  if (mapped != nullptr) o.mapped_from = x0, o.mapped_to = end;
  return end;
}

// Hands row y to the sink when the scope of its computation ends.
template <typename T>
struct RowDone {
  const Output<T>& o;
  ptrdiff_t y;
  ~RowDone() { o.Done(y); }
};

// A sample of the 2 x 2 block with top-left corner (x, y): in row y + dy, column x + dx.
struct Spot {
  int dy = 0;
  ptrdiff_t dx = 0;

  template <typename T>
  T In(const T* const (&rows)[2], ptrdiff_t x) const {
    return rows[dy][x + dx];
  }
};

// Where the samples of the 2 x 2 block with top-left corner (x, y) sit, for one
// parity of x and y.
struct Block {
  Spot b, r;
  Spot green_right, green_left;  // the green sample of the right-hand and left-hand column
};

Block BlockAt(const Pattern& p, ptrdiff_t px, ptrdiff_t py) {
  Block blk;
  for (int dy = 0; dy < 2; ++dy) {
    for (ptrdiff_t dx = 0; dx < 2; ++dx) {
      const Spot spot{dy, dx};
      switch (p.At(px + dx, py + dy)) {
        case kB: blk.b = spot; break;
        case kR: blk.r = spot; break;
        case kG: (dx == 1 ? blk.green_right : blk.green_left) = spot; break;
      }
    }
  }
  return blk;
}

// Algorithm 0, Bilinear Interpolation (orig): truncating halves and quarters, every
// pixel computed. Past the top and bottom the row on the other side stands in
// for the missing one; in the outer columns the missing neighbours are left out.
// Needs w >= 2 and h >= 2.
template <typename T>
void BilinearOrig(const Source<T>& in, const Output<T>& o, ptrdiff_t w, ptrdiff_t h, const Pattern& p, RowHook<T> hook,
                  ptrdiff_t y0, ptrdiff_t y1) {
  for (ptrdiff_t y = y0; y < y1; ++y) {
    const T* row = in.Row(y);
    const T* up = in.Row(y == 0 ? 1 : y - 1);
    const T* down = in.Row(y == h - 1 ? h - 2 : y + 1);
    T* out = o.Row(y);
    const RowDone<T> done{o, y};
    const int k = p.RowColour(y);  // the other non-green colour, 2 - k, lies above and below

    // horizontal: the row's non-green colour at a green site, green at the others.
    // diagonal: the column colour at a non-green site. Both are passed in so that the
    // outer columns can supply their one-sided values.
    auto green = [&](ptrdiff_t x, T horizontal) {
      T* px = out + 3 * x;
      px[1] = row[x];
      px[k] = horizontal;
      px[2 - k] = Half<T>(up[x] + down[x]);
    };
    auto colour = [&](ptrdiff_t x, T horizontal, T diagonal) {
      T* px = out + 3 * x;
      px[k] = row[x];
      px[1] = horizontal;
      px[2 - k] = diagonal;
    };
    auto edge = [&](ptrdiff_t x, ptrdiff_t inner) {
      if (p.At(x, y) == kG) {
        green(x, row[inner]);
      } else {
        colour(x, row[inner], Half<T>(up[inner] + down[inner]));
      }
    };

    edge(0, 1);
    const ptrdiff_t from = Hook(o, hook, static_cast<const T*>(nullptr), up, row, down, static_cast<const T*>(nullptr),
                                out, w, y, 1, w - 1, p, 0);
    RowSites(
        p, y, from, w - 1, [&](ptrdiff_t x) { green(x, Half<T>(row[x - 1] + row[x + 1])); },
        [&](ptrdiff_t x) {
          colour(x, Half<T>(row[x - 1] + row[x + 1]), Quarter<T>(up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1]));
        });
    edge(w - 1, w - 2);
  }
}

// Algorithm 1, Nearest Neighbor: each pixel copies the block to its lower right;
// green comes from the block's right-hand column. Last column and row black.
template <typename T>
void Nearest(const Source<T>& in, const Output<T>& o, ptrdiff_t w, ptrdiff_t h, const Pattern& p, RowHook<T> hook,
             ptrdiff_t y0, ptrdiff_t y1) {
  for (ptrdiff_t y = y0; y + 1 < h && y < y1; ++y) {
    const T* row = in.Row(y);
    const T* down = in.Row(y + 1);
    const T* const rows[2] = {row, down};
    T* out = o.Row(y);
    const RowDone<T> done{o, y};
    const Block even = BlockAt(p, 0, y);
    const Block odd = BlockAt(p, 1, y);
    auto pixel = [&](ptrdiff_t x, const Block& blk) {
      T* px = out + 3 * x;
      px[kB] = blk.b.In(rows, x);
      px[kG] = blk.green_right.In(rows, x);
      px[kR] = blk.r.In(rows, x);
    };
    const ptrdiff_t from = Hook(o, hook, static_cast<const T*>(nullptr), static_cast<const T*>(nullptr), row, down,
                                static_cast<const T*>(nullptr), out, w, y, 0, w - 1, p, 0);
    // Pairs starts with the even-column block; an odd start swaps them.
    if ((from & 1) == 0) {
      Pairs(from, w - 1, [&](ptrdiff_t x) { pixel(x, even); }, [&](ptrdiff_t x) { pixel(x, odd); });
    } else {
      Pairs(from, w - 1, [&](ptrdiff_t x) { pixel(x, odd); }, [&](ptrdiff_t x) { pixel(x, even); });
    }
    Black(out + 3 * (w - 1), 1);
  }
  if (y1 == h) {
    Black(o.Row(h - 1), w);
    o.Done(h - 1);
  }
}

// Algorithm 2, Bilinear Interpolation: averages of the nearest same-colour
// samples, rounded to nearest. 1-pixel black frame.
template <typename T>
void Bilinear(const Source<T>& in, const Output<T>& o, ptrdiff_t w, ptrdiff_t h, const Pattern& p, RowHook<T> hook,
              ptrdiff_t y0, ptrdiff_t y1) {
  for (ptrdiff_t y = y0; y < y1; ++y) {
    T* out = o.Row(y);
    const RowDone<T> done{o, y};
    if (y < 1 || y >= h - 1) {
      Black(out, w);
      continue;
    }
    const T* up = in.Row(y - 1);
    const T* row = in.Row(y);
    const T* down = in.Row(y + 1);
    const int k = p.RowColour(y);

    auto green = [&](ptrdiff_t x) {
      T* px = out + 3 * x;
      px[1] = row[x];
      px[k] = static_cast<T>((row[x - 1] + row[x + 1] + 1) >> 1);
      px[2 - k] = static_cast<T>((up[x] + down[x] + 1) >> 1);
    };
    auto colour = [&](ptrdiff_t x) {
      T* px = out + 3 * x;
      px[k] = row[x];
      px[1] = static_cast<T>((up[x] + down[x] + row[x - 1] + row[x + 1] + 2) >> 2);
      px[2 - k] = static_cast<T>((up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1] + 2) >> 2);
    };

    Black(out, 1);
    const ptrdiff_t from = Hook(o, hook, static_cast<const T*>(nullptr), up, row, down, static_cast<const T*>(nullptr),
                                out, w, y, 1, w - 1, p, 0);
    RowSites(p, y, from, w - 1, green, colour);
    Black(out + 3 * (w - 1), 1);
  }
}

// Algorithm 3, HQ Linear: gradient-corrected bilinear interpolation (Malvar,
// He and Cutler) on a 5 x 5 neighbourhood, clamped to 0..max. 2-pixel black frame.
template <typename T>
void HqLinear(const Source<T>& in, const Output<T>& o, ptrdiff_t w, ptrdiff_t h, const Pattern& p, int32_t max,
              RowHook<T> hook, ptrdiff_t y0, ptrdiff_t y1) {
  for (ptrdiff_t y = y0; y < y1; ++y) {
    T* out = o.Row(y);
    const RowDone<T> done{o, y};
    if (y < 2 || y >= h - 2) {
      Black(out, w);
      continue;
    }
    const T* up2 = in.Row(y - 2);
    const T* up = in.Row(y - 1);
    const T* row = in.Row(y);
    const T* down = in.Row(y + 1);
    const T* down2 = in.Row(y + 2);
    const int k = p.RowColour(y);

    auto green = [&](ptrdiff_t x) {
      const int32_t c = row[x];
      const int32_t n = up[x], s = down[x], e = row[x + 1], wst = row[x - 1];
      const int32_t n2 = up2[x], s2 = down2[x], e2 = row[x + 2], w2 = row[x - 2];
      const int32_t diag = up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1];
      T* px = out + 3 * x;
      px[1] = Clamp<T>(c, max);
      px[k] = Clamp<T>((5 * c + 4 * (wst + e) - diag - (w2 + e2) + ((n2 + s2 + 1) >> 1) + 4) >> 3, max);
      px[2 - k] = Clamp<T>((5 * c + 4 * (n + s) - diag - (n2 + s2) + ((w2 + e2 + 1) >> 1) + 4) >> 3, max);
    };
    auto colour = [&](ptrdiff_t x) {
      const int32_t c = row[x];
      const int32_t axial = up[x] + down[x] + row[x - 1] + row[x + 1];
      const int32_t axial2 = up2[x] + down2[x] + row[x - 2] + row[x + 2];
      const int32_t diag = up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1];
      T* px = out + 3 * x;
      px[k] = Clamp<T>(c, max);
      px[1] = Clamp<T>((4 * c + 2 * axial - axial2 + 4) >> 3, max);
      px[2 - k] = Clamp<T>((2 * (3 * c + diag) - ((3 * axial2 + 1) >> 1) + 4) >> 3, max);
    };

    const ptrdiff_t left = std::min<ptrdiff_t>(2, w);
    const ptrdiff_t right = std::max(left, w - 2);
    Black(out, left);
    const ptrdiff_t from = Hook(o, hook, up2, up, row, down, down2, out, w, y, left, right, p, max);
    RowSites(p, y, from, right, green, colour);
    Black(out + 3 * right, w - right);
  }
}

// Algorithm 4, Simple: each pixel takes the block to its lower right, green the
// rounded mean of the block's two greens. Last column and row black.
template <typename T>
void Simple(const Source<T>& in, const Output<T>& o, ptrdiff_t w, ptrdiff_t h, const Pattern& p, RowHook<T> hook,
            ptrdiff_t y0, ptrdiff_t y1) {
  for (ptrdiff_t y = y0; y + 1 < h && y < y1; ++y) {
    const T* row = in.Row(y);
    const T* down = in.Row(y + 1);
    const T* const rows[2] = {row, down};
    T* out = o.Row(y);
    const RowDone<T> done{o, y};
    const Block even = BlockAt(p, 0, y);
    const Block odd = BlockAt(p, 1, y);
    auto pixel = [&](ptrdiff_t x, const Block& blk) {
      T* px = out + 3 * x;
      px[kB] = blk.b.In(rows, x);
      px[kG] = static_cast<T>((blk.green_left.In(rows, x) + blk.green_right.In(rows, x) + 1) >> 1);
      px[kR] = blk.r.In(rows, x);
    };
    const ptrdiff_t from = Hook(o, hook, static_cast<const T*>(nullptr), static_cast<const T*>(nullptr), row, down,
                                static_cast<const T*>(nullptr), out, w, y, 0, w - 1, p, 0);
    // Pairs starts with the even-column block; an odd start swaps them.
    if ((from & 1) == 0) {
      Pairs(from, w - 1, [&](ptrdiff_t x) { pixel(x, even); }, [&](ptrdiff_t x) { pixel(x, odd); });
    } else {
      Pairs(from, w - 1, [&](ptrdiff_t x) { pixel(x, odd); }, [&](ptrdiff_t x) { pixel(x, even); });
    }
    Black(out + 3 * (w - 1), 1);
  }
  if (y1 == h) {
    Black(o.Row(h - 1), w);
    o.Done(h - 1);
  }
}

// Fails, writing nothing, for missing or overlapping buffers, a size below 1 x 1, or
// an algorithm or pattern that is none of the named values (a cast from a bad number).
// Frames too small for an algorithm's neighbourhood come out black: its border then
// covers the whole frame, and algorithm 0 has nothing to interpolate from in a single
// row or column.
//
// Only output rows [band_from, band_to) are written (all of them when band_to
// is 0; a sink names its band itself); rows of a band depend on the source
// alone, so bands may be computed side by side.
template <typename T>
bool Demosaic(const DemosaicRows<T>& hooks, const T* src, T* dst, int32_t width, int32_t height, BayerPattern pattern,
              BayerAlgorithm algorithm, int32_t max, const RowSink<T>* sink = nullptr, int32_t band_from = 0,
              int32_t band_to = 0) {
  if (src == nullptr || dst == nullptr || width <= 0 || height <= 0) return false;
  if (sink != nullptr) band_from = sink->from, band_to = sink->to;
  if (band_to == 0) band_to = height;
  if (band_from < 0 || band_from >= band_to || band_to > height) return false;
  if (!IsKnown(pattern) || !IsKnown(algorithm)) return false;

  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (pixels > std::numeric_limits<ptrdiff_t>::max() / (3 * sizeof(T))) return false;
  // A ring too short for the rows one output row reads is refused.
  const ptrdiff_t ring = sink != nullptr ? sink->source_rows : 0;
  if (ring != 0 && ring < kMinSourceRows) return false;
  const size_t read = ring != 0 ? static_cast<size_t>(ring) * static_cast<size_t>(width) : pixels;
  // The destination is written while the source is still being read: overlapping buffers would corrupt it.
  const auto s0 = reinterpret_cast<uintptr_t>(src);
  const auto d0 = reinterpret_cast<uintptr_t>(dst);
  const size_t written = sink != nullptr ? static_cast<size_t>(width) : pixels;
  if (s0 < d0 + 3 * written * sizeof(T) && d0 < s0 + read * sizeof(T)) return false;
  if (sink != nullptr && sink->done == nullptr) return false;

  const ptrdiff_t w = width;
  const ptrdiff_t h = height;
  const Pattern& p = LayoutOf(pattern, algorithm);
  const RowHook<T> hook = hooks.algorithm[static_cast<size_t>(algorithm)];
  const Output<T> o{dst, w, sink};
  const Source<T> src_rows{src, w, ring};
  const ptrdiff_t y0 = band_from, y1 = band_to;
  switch (algorithm) {
    case BayerAlgorithm::BilinearOrig:
      // A single row or column has no neighbours to interpolate from.
      if (w < 2 || h < 2) {
        for (ptrdiff_t y = y0; y < y1; ++y) {
          Black(o.Row(y), w);
          o.Done(y);
        }
      } else {
        BilinearOrig(src_rows, o, w, h, p, hook, y0, y1);
      }
      return true;
    case BayerAlgorithm::Nearest: Nearest(src_rows, o, w, h, p, hook, y0, y1); return true;
    case BayerAlgorithm::Bilinear: Bilinear(src_rows, o, w, h, p, hook, y0, y1); return true;
    case BayerAlgorithm::HqLinear: HqLinear(src_rows, o, w, h, p, max, hook, y0, y1); return true;
    case BayerAlgorithm::Simple: Simple(src_rows, o, w, h, p, hook, y0, y1); return true;
  }
  return false;
}

// The plain reference: every row computed here.
template <typename T>
constexpr DemosaicRows<T> kNoHooks{};

int32_t Largest(int32_t bits) { return (int32_t{1} << bits) - 1; }

}  // namespace

const char* BayerAlgorithmName(BayerAlgorithm a) {
  switch (a) {
    case BayerAlgorithm::BilinearOrig: return "BilinearOrig";
    case BayerAlgorithm::Nearest: return "Nearest";
    case BayerAlgorithm::Bilinear: return "Bilinear";
    case BayerAlgorithm::HqLinear: return "HqLinear";
    case BayerAlgorithm::Simple: return "Simple";
  }
  return "unknown";
}

const char* BayerPatternName(BayerPattern p) {
  switch (p) {
    case BayerPattern::Bggr: return "Bggr";
    case BayerPattern::Grbg: return "Grbg";
    case BayerPattern::Gbrg: return "Gbrg";
    case BayerPattern::Rggb: return "Rggb";
  }
  return "unknown";
}

bool Demosaic8With(const DemosaicRows<uint8_t>& hooks, const uint8_t* src, uint8_t* dst, int32_t w, int32_t h,
                   BayerPattern pattern, BayerAlgorithm algorithm) {
  return Demosaic(hooks, src, dst, w, h, pattern, algorithm, 255);
}

bool Demosaic16With(const DemosaicRows<uint16_t>& hooks, const uint16_t* src, uint16_t* dst, int32_t w, int32_t h,
                    BayerPattern pattern, BayerAlgorithm algorithm, int32_t bits) {
  if (bits < 1 || bits > 16) return false;
  return Demosaic(hooks, src, dst, w, h, pattern, algorithm, Largest(bits));
}

bool Demosaic8BandWith(const DemosaicRows<uint8_t>& hooks, const uint8_t* src, uint8_t* dst, int32_t w, int32_t h,
                       BayerPattern pattern, BayerAlgorithm algorithm, int32_t from, int32_t to) {
  if (to <= from) return false;
  return Demosaic<uint8_t>(hooks, src, dst, w, h, pattern, algorithm, 255, nullptr, from, to);
}

bool Demosaic8RowsWith(const DemosaicRows<uint8_t>& hooks, const uint8_t* src, uint8_t* row_buffer, int32_t w,
                       int32_t h, BayerPattern pattern, BayerAlgorithm algorithm, const RowSink<uint8_t>& sink) {
  return Demosaic(hooks, src, row_buffer, w, h, pattern, algorithm, 255, &sink);
}

bool Demosaic16RowsWith(const DemosaicRows<uint16_t>& hooks, const uint16_t* src, uint16_t* row_buffer, int32_t w,
                        int32_t h, BayerPattern pattern, BayerAlgorithm algorithm, int32_t bits,
                        const RowSink<uint16_t>& sink) {
  if (bits < 1 || bits > 16) return false;
  return Demosaic(hooks, src, row_buffer, w, h, pattern, algorithm, Largest(bits), &sink);
}

bool Demosaic8(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern, BayerAlgorithm algorithm) {
  return Demosaic8With(kNoHooks<uint8_t>, src, dst, w, h, pattern, algorithm);
}

bool Demosaic16(const uint16_t* src, uint16_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                BayerAlgorithm algorithm, int32_t bits) {
  return Demosaic16With(kNoHooks<uint16_t>, src, dst, w, h, pattern, algorithm, bits);
}

bool Demosaic8Band(const uint8_t* src, uint8_t* dst, int32_t w, int32_t h, BayerPattern pattern,
                   BayerAlgorithm algorithm, int32_t from, int32_t to) {
  return Demosaic8BandWith(kNoHooks<uint8_t>, src, dst, w, h, pattern, algorithm, from, to);
}

bool Demosaic8Rows(const uint8_t* src, uint8_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                   BayerAlgorithm algorithm, const RowSink<uint8_t>& sink) {
  return Demosaic8RowsWith(kNoHooks<uint8_t>, src, row_buffer, w, h, pattern, algorithm, sink);
}

bool Demosaic16Rows(const uint16_t* src, uint16_t* row_buffer, int32_t w, int32_t h, BayerPattern pattern,
                    BayerAlgorithm algorithm, int32_t bits, const RowSink<uint16_t>& sink) {
  return Demosaic16RowsWith(kNoHooks<uint16_t>, src, row_buffer, w, h, pattern, algorithm, bits, sink);
}

}  // namespace kelvane::frames
