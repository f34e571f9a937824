// The vector kernel set against the scalar reference, byte for byte: random and
// extreme data (all 0, all at the top of the range, checkerboards that drive the
// clamps), sizes around the vector block lengths, and inputs and outputs that end
// at a page boundary followed by an inaccessible page, so any read or write past
// the end faults.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bayer_params.h"
#include "frames/convert.h"
#include "frames/demosaic.h"
#include "frames/demosaic_rows.h"
#include "frames/frame_store.h"
#include "frames/kernels.h"
#include "frames/simd_vbmi.h"
#include "frames/tables.h"

namespace kelvane::frames {
namespace {

// `bytes` of memory that end exactly where an inaccessible page begins.
class Guarded {
 public:
  explicit Guarded(size_t bytes) : bytes_(bytes) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    mapped_ = (bytes + page_ - 1) / page_ * page_ + page_;
    base_ = static_cast<uint8_t*>(mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base_, MAP_FAILED);
    EXPECT_EQ(mprotect(base_ + mapped_ - page_, page_, PROT_NONE), 0);
    data_ = base_ + mapped_ - page_ - bytes;
  }
  ~Guarded() { munmap(base_, mapped_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  uint8_t* bytes() { return data_; }
  uint16_t* samples() { return reinterpret_cast<uint16_t*>(data_); }
  std::vector<uint8_t> Contents() const { return {data_, data_ + bytes_}; }

 private:
  size_t bytes_, page_, mapped_;
  uint8_t* base_;
  uint8_t* data_;
};

// kSteps: random multiples of (top + 1) / 256 plus 0, 1 or that less 1 or 2, so
// that sums and means of 16-bit samples sit on either side of the steps of a
// linear map to bytes (their low bits decide the byte).
enum class Fill { kRandom, kZero, kTop, kChecker, kRandomExtremes, kSteps };
constexpr Fill kFills[] = {Fill::kRandom, Fill::kZero, Fill::kTop, Fill::kChecker, Fill::kRandomExtremes};

// Element i of a row of `width` elements; the checkerboard alternates along rows and columns.
template <typename T>
void FillWith(T* p, size_t count, Fill fill, T top, size_t width, unsigned seed) {
  std::mt19937 rng(seed);
  for (size_t i = 0; i < count; ++i) {
    switch (fill) {
      case Fill::kRandom:
        p[i] = static_cast<T>(rng() % (uint32_t{top} + 1));
        break;
      case Fill::kZero:
        p[i] = 0;
        break;
      case Fill::kTop:
        p[i] = top;
        break;
      case Fill::kChecker:
        p[i] = ((i % width) + (i / width)) % 2 != 0 ? top : T{0};
        break;
      case Fill::kRandomExtremes:
        p[i] = (rng() & 1) != 0 ? top : T{0};
        break;
      case Fill::kSteps: {
        const uint32_t unit = std::max<uint32_t>((uint32_t{top} + 1) / 256, 1), r = static_cast<uint32_t>(rng());
        const uint32_t near[4] = {0, 1, unit - 1, unit >= 2 ? unit - 2 : 0};
        p[i] = static_cast<T>(std::min<uint32_t>((r >> 8) % 256 * unit + near[r & 3], top));
        break;
      }
    }
  }
}

class VectorSet : public testing::Test {
 protected:
  void SetUp() override {
    vector_ = frames::VectorKernels();
    if (vector_ == nullptr) GTEST_SKIP() << "no vector kernels on this processor";
    sets_ = VectorKernelSets();
  }
  // Runs `run` with the scalar set and each vector set this processor has (the
  // AVX2 one too where a wider one is chosen) on the same guarded input; the
  // outputs must match.
  void Compare(const std::string& what, size_t in_bytes, size_t out_bytes, Fill fill, size_t width,
               const std::function<void(const Kernels&, const uint8_t*, uint8_t*)>& run, bool sixteen_bit = false,
               uint16_t top16 = 0xFFFF, size_t written = SIZE_MAX) {
    Guarded in(in_bytes), want(out_bytes), got(out_bytes);
    if (sixteen_bit) {
      FillWith<uint16_t>(in.samples(), in_bytes / 2, fill, top16, width, 17);
    } else {
      FillWith<uint8_t>(in.bytes(), in_bytes, fill, 255, width, 17);
    }
    // Bytes from `written` on are left as they were by every set (the
    // averaging kernels' last partial group of 8): they must keep the filler.
    written = std::min(written, out_bytes);
    std::memset(want.bytes(), 0x5A, out_bytes);
    run(ScalarKernels(), in.bytes(), want.bytes());
    auto a = want.Contents();
    for (size_t i = written; i < out_bytes; ++i) EXPECT_EQ(a[i], 0x5A) << what << ": scalar wrote byte " << i;
    a.resize(written);
    for (const Kernels* set : sets_) {
      // Unlike the reference's: a byte that neither writes cannot compare equal.
      std::memset(got.bytes(), 0xA5, out_bytes);
      run(*set, in.bytes(), got.bytes());
      auto b = got.Contents();
      for (size_t i = written; i < out_bytes; ++i)
        EXPECT_EQ(b[i], 0xA5) << what << ": " << set->name << " wrote byte " << i;
      b.resize(written);
      if (a != b) {
        size_t first = 0;
        while (a[first] == b[first]) ++first;
        ADD_FAILURE() << what << " fill " << static_cast<int>(fill) << " " << set->name << ": first difference at byte "
                      << first << " of " << out_bytes << " (scalar " << int{a[first]} << ", vector " << int{b[first]}
                      << ")";
      }
    }
  }
  const Kernels* vector_ = nullptr;
  std::vector<const Kernels*> sets_;
};

TEST_F(VectorSet, PackedYuvAndLuma) {
  struct Format {
    const char* name;
    size_t in_per_unit, pixels_per_unit;  // a unit is a group (or a pixel for Y444)
    void (*Kernels::*bgr)(const uint8_t*, uint8_t*, size_t);
    void (*Kernels::*luma)(const uint8_t*, uint8_t*, size_t);
  };
  const Format formats[] = {
      {"YUY2", 4, 2, &Kernels::Yuy2ToBgr, &Kernels::Yuy2ToLuma},
      {"UYVY", 4, 2, &Kernels::UyvyToBgr, &Kernels::UyvyToLuma},
      {"Y411", 6, 4, &Kernels::Y411ToBgr, &Kernels::Y411ToLuma},
      {"Y444", 3, 1, &Kernels::Y444ToBgr, &Kernels::Y444ToLuma},
  };
  for (const Format& f : formats)
    for (size_t units : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{15}, size_t{16}, size_t{17}, size_t{31},
                         size_t{32}, size_t{33}, size_t{63}, size_t{64}, size_t{65}, size_t{127}, size_t{128},
                         size_t{129}, size_t{640 * 3 + 5}})
      for (Fill fill : kFills) {
        const std::string what = std::string(f.name) + " x" + std::to_string(units);
        const size_t in = f.in_per_unit * units, pixels = f.pixels_per_unit * units;
        Compare(what + " bgr", in, 3 * pixels, fill, in,
                [&](const Kernels& k, const uint8_t* s, uint8_t* d) { (k.*f.bgr)(s, d, units); });
        Compare(what + " luma", in, pixels, fill, in,
                [&](const Kernels& k, const uint8_t* s, uint8_t* d) { (k.*f.luma)(s, d, units); });
      }
}

// The whole-image read's copy: row lengths around its 32- and 128-byte pieces
// (the last piece overlaps the one before it), at a page end on both sides.
TEST_F(VectorSet, RowsReversed) {
  for (size_t row : {size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{127}, size_t{128}, size_t{129}, size_t{161},
                     size_t{3840}, size_t{3845}})
    for (size_t rows : {size_t{1}, size_t{3}})
      Compare("rows of " + std::to_string(row) + " x" + std::to_string(rows), row * rows, row * rows, Fill::kRandom,
              row, [&](const Kernels& k, const uint8_t* s, uint8_t* d) { k.CopyRowsReversed(s, d, row, rows); });
}

TEST_F(VectorSet, PlanarYuvOddSizes) {
  for (int32_t w : {1, 2, 31, 32, 33, 63, 64, 65, 97, 640})
    for (int32_t h : {1, 2, 3, 5})
      for (Fill fill : kFills) {
        const size_t luma = static_cast<size_t>(w) * static_cast<size_t>(h);
        const size_t chroma = static_cast<size_t>((w + 1) / 2) * static_cast<size_t>((h + 1) / 2);
        Compare("I420 " + std::to_string(w) + "x" + std::to_string(h), luma + 2 * chroma, 3 * luma, fill,
                static_cast<size_t>(w), [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                  k.I420ToBgr(s, s + luma, s + luma + chroma, d, w, h);
                });
      }
}

TEST_F(VectorSet, RgbToGrey) {
  for (size_t bpp : {size_t{3}, size_t{4}})
    for (size_t pixels :
         {size_t{1}, size_t{2}, size_t{3}, size_t{31}, size_t{32}, size_t{33}, size_t{34}, size_t{35}, size_t{36},
          size_t{63}, size_t{64}, size_t{65}, size_t{66}, size_t{67}, size_t{98}, size_t{127}, size_t{128},
          size_t{129}, size_t{191}, size_t{192}, size_t{193}, size_t{1000}})
      for (Fill fill : kFills)
        Compare("BGR" + std::to_string(8 * bpp) + " x" + std::to_string(pixels), bpp * pixels, pixels, fill, 3,
                [&](const Kernels& k, const uint8_t* s, uint8_t* d) { k.BgrToGrey(s, d, pixels, bpp); });
}

TEST_F(VectorSet, SixteenBitSwapShiftAndMaps) {
  struct Map {
    const char* name;
    int32_t bits;
    const uint8_t* table;  // null: the low byte (grey only)
  };
  const Map maps[] = {{"low byte", 16, nullptr},
                      {"lin10", 10, GetMapTable(false, 10)},
                      {"lin12", 12, GetMapTable(false, 12)},
                      {"lin16", 16, GetMapTable(false, 16)},
                      {"log10", 10, GetMapTable(true, 10)},
                      {"log14", 14, GetMapTable(true, 14)},
                      {"log16", 16, GetMapTable(true, 16)}};
  for (const Map& m : maps)
    for (bool swap : {true, false})
      for (size_t count : {size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{95}, size_t{513}, size_t{2000}})
        for (Fill fill : kFills) {
          const std::string what = std::string(m.name) + (swap ? " swapped" : "") + " x" + std::to_string(count);
          const int32_t shift = 16 - m.bits;
          const auto largest = static_cast<uint16_t>((1u << m.bits) - 1u);
          // Samples above `largest` (possible only with the unshifted data) must clamp alike.
          Compare(
              what + " grey", 2 * count, count, fill, 7,
              [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                k.Mono16ToGrey(s, d, count, swap, shift, m.table, largest);
              },
              true);
          Compare(
              what + " unpack", 2 * count, 2 * count, fill, 7,
              [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                k.Unpack16(s, reinterpret_cast<uint16_t*>(d), count, swap, shift);
              },
              true);
          if (m.table == nullptr) continue;
          Compare(
              what + " map", 2 * count, count, fill, 7,
              [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                k.Map16ToBytes(reinterpret_cast<const uint16_t*>(s), d, count, m.table, largest);
              },
              true);
          Compare(
              what + " map grey", 6 * count, count, fill, 7,
              [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                k.Map16ToGrey(reinterpret_cast<const uint16_t*>(s), d, count, m.table, largest);
              },
              true);
        }
}

class VectorDemosaic : public VectorSet, public testing::WithParamInterface<AlgorithmAndPattern> {};

TEST_P(VectorDemosaic, EverySizeAndFill) {
  const BayerAlgorithm algorithm = std::get<0>(GetParam());
  const BayerPattern pattern = std::get<1>(GetParam());
  const std::pair<int32_t, int32_t> sizes[] = {{1, 1},  {2, 2},  {3, 3},  {5, 4},   {33, 5}, {34, 6},
                                               {36, 5}, {64, 4}, {65, 7}, {100, 6}, {131, 5}};
  for (auto [w, h] : sizes)
    for (Fill fill : kFills) {
      const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
      const std::string what = std::to_string(w) + "x" + std::to_string(h);
      Compare(what + " 8-bit", n, 3 * n, fill, static_cast<size_t>(w),
              [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                EXPECT_TRUE(k.Demosaic8(s, d, w, h, pattern, algorithm));
              });
      // 16-bit: 12 significant bits, with samples up to 65535 so the clamps work too.
      for (uint16_t top : {uint16_t{4095}, uint16_t{65535}})
        Compare(
            what + " 16-bit top " + std::to_string(top), 2 * n, 6 * n, fill, static_cast<size_t>(w),
            [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
              EXPECT_TRUE(k.Demosaic16(reinterpret_cast<const uint16_t*>(s), reinterpret_cast<uint16_t*>(d), w, h,
                                       pattern, algorithm, 12));
            },
            true, top);
    }
}

INSTANTIATE_TEST_SUITE_P(VectorSet, VectorDemosaic, AlgorithmPatternPairs(), AlgorithmAndPatternName);

TEST_F(VectorSet, AveragingEveryCountAndBlend) {
  for (int32_t n = 2; n <= kMaxMeanCnt; ++n)
    for (size_t size : {size_t{7}, size_t{8}, size_t{32}, size_t{40}, size_t{75}, size_t{1000}})
      for (Fill fill : kFills) {
        // n frames laid out one after another; the last ends at the guard page.
        Compare("average of " + std::to_string(n) + " x" + std::to_string(size), size * static_cast<size_t>(n), size,
                fill, 5, [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                  const uint8_t* frames[kMaxMeanCnt];
                  for (int32_t i = 0; i < n; ++i) frames[i] = s + static_cast<size_t>(i) * size;
                  k.Average[n - 2](frames, size, d);
                },
                false, 0xFFFF, size / 8 * 8);
      }
  for (int32_t coefficient : {0, 1, 33, 50, 80, 99, 100, 101, 255, 300, -1})
    for (size_t size : {size_t{7}, size_t{8}, size_t{32}, size_t{72}, size_t{1003}})
      for (Fill fill : kFills) {
        // The result starts as the second half of the input: both blend operands vary.
        Compare("blend " + std::to_string(coefficient) + " x" + std::to_string(size), 2 * size, size, fill, 3,
                [&](const Kernels& k, const uint8_t* s, uint8_t* d) {
                  std::memcpy(d, s + size, size);
                  k.BlendRecursive(s, d, size, coefficient);
                });
      }
}

// The raw paths hand each demosaiced row on to grey conversion or mapping while it
// is in the cache. Both sets must give what the whole-frame steps give.
TEST_F(VectorSet, RawPathsRowByRow) {
  using enum FrameType;
  struct Path {
    FrameType frame_type;
    int32_t pixel_bits, lut;
    bool swap = true;  // 16-bit samples delivered high byte first
  };
  // Linear maps of every width (Lut 0 to 4, and an invalid code, which maps 16
  // bits) are applied by the vector demosaicing as it stores, nearest neighbour
  // of a linear map runs on the high bytes, and the simple algorithm reads the
  // delivered samples, either byte order, without unpacking them.
  const Path paths[] = {{Raw8, 8, 0},         {Raw8, 24, 0},        {Raw16, 8, 0},   {Raw16, 8, 1},
                        {Raw16, 8, 2},        {Raw16, 8, 3},        {Raw16, 8, 4},   {Raw16, 24, 0},
                        {Raw16, 24, 1},       {Raw16, 24, 2},       {Raw16, 24, 3},  {Raw16, 24, 4},
                        {Raw16, 8, 6},        {Raw16, 24, 8},       {Raw16, 24, 11}, {Raw16, 24, 0, false},
                        {Raw16, 8, 1, false}, {Raw16, 24, 2, false}};
  // Widths around the 32-pixel blocks of the 16-bit interiors: rows with no
  // block, one block, a row that ends inside the load ahead of its last block
  // (at each length it can have there), and a last block overlapping the
  // previous one. Frames of more rows than the ring of unpacked 16-bit rows
  // holds (8) go round it once or more, ending anywhere in it.
  for (const Path& p : paths)
    for (auto [w, h] : {std::pair{7, 5}, std::pair{33, 3}, std::pair{34, 4}, std::pair{35, 5}, std::pair{63, 3},
                        std::pair{64, 3}, std::pair{65, 12}, std::pair{66, 3}, std::pair{67, 3}, std::pair{70, 21},
                        std::pair{95, 4}, std::pair{96, 3}, std::pair{97, 17}, std::pair{131, 9}})
      for (BayerAlgorithm algorithm : kEveryAlgorithm)
        for (Fill fill : {Fill::kRandom, Fill::kChecker, Fill::kTop, Fill::kRandomExtremes, Fill::kSteps}) {
          const BayerPattern pattern =
              kEveryPattern[(static_cast<int32_t>(algorithm) + static_cast<int32_t>(fill) + w) % 4];
          const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
          const bool sixteen = Is16Bit(p.frame_type);
          const size_t out = n * static_cast<size_t>(p.pixel_bits / 8);
          const FrameConverter convert = SelectConverter(p.frame_type, p.pixel_bits, pattern, algorithm);
          ASSERT_NE(convert, nullptr);
          // The expectation from whole frames, with the scalar kernels.
          Guarded in(sixteen ? 2 * n : n);
          if (sixteen) {
            FillWith<uint16_t>(in.samples(), n, fill, 0xFFFF, static_cast<size_t>(w), 5);
          } else {
            FillWith<uint8_t>(in.bytes(), n, fill, 255, static_cast<size_t>(w), 5);
          }
          std::vector<uint8_t> want(out);
          if (sixteen) {
            const LutInfo lut = LutFor(p.lut);
            const uint8_t* map = GetMapTable(lut.logarithmic, lut.bits);
            std::vector<uint16_t> samples(n), bgr16(3 * n);
            Unpack16(in.bytes(), samples.data(), n, p.swap, 16 - lut.bits);
            ASSERT_TRUE(Demosaic16(samples.data(), bgr16.data(), w, h, pattern, algorithm, lut.bits));
            if (p.pixel_bits == 24) {
              Map16ToBytes(bgr16.data(), want.data(), 3 * n, map, lut.largest());
            } else {
              Map16ToGrey(bgr16.data(), want.data(), n, map, lut.largest());
            }
          } else {
            std::vector<uint8_t> bgr(3 * n);
            ASSERT_TRUE(Demosaic8(in.bytes(), bgr.data(), w, h, pattern, algorithm));
            if (p.pixel_bits == 24) {
              want = bgr;
            } else {
              BgrToGrey(bgr.data(), want.data(), n, 3);
            }
          }
          std::vector<const Kernels*> sets = {&ScalarKernels()};
          sets.insert(sets.end(), sets_.begin(), sets_.end());
          // Whether the simple algorithm reads the delivered samples under the
          // maps narrower than 16 bits depends on the processor: every set that
          // reads them is checked both ways here.
          std::vector<Kernels> other_way;
          other_way.reserve(sets.size());
          if (sixteen && algorithm == BayerAlgorithm::Simple)
            for (const Kernels* k : sets)
              if (k->DeliveredSimpleRows != nullptr) {
                other_way.push_back(*k);
                other_way.back().DeliveredSimpleBelow16 = !k->DeliveredSimpleBelow16;
              }
          for (const Kernels& k : other_way) sets.push_back(&k);
          for (const Kernels* k : sets) {
            SCOPED_TRACE(testing::Message()
                         << "type " << FrameTypeName(p.frame_type) << " bits " << p.pixel_bits << " lut " << p.lut
                         << (p.swap ? "" : " unswapped") << " " << w << "x" << h << " " << CaseName(algorithm, pattern)
                         << " " << k->name << (k->DeliveredSimpleBelow16 ? " (delivered below 16 bits)" : ""));
            // The target ends at a guard page: a store past the image faults.
            Guarded target(out);
            // Each set its own filler: a byte that no set writes cannot compare equal.
            std::memset(target.bytes(), k == &ScalarKernels() ? 0x5A : 0xA5, out);
            std::vector<uint8_t> row8(3 * static_cast<size_t>(w));
            std::vector<uint16_t> row16(3 * static_cast<size_t>(w));
            // The unpacked samples end at a guard page too: the interiors read
            // ahead of a row only as far as the row goes.
            Guarded unpacked(2 * n);
            FrameJob job;
            job.data = in.bytes();
            job.length = sixteen ? 2 * n : n;
            job.target = target.bytes();
            job.target_size = out;
            job.width = w;
            job.rows = h;
            job.pixels = n;
            job.pattern = pattern;
            job.algorithm = algorithm;
            job.lut = p.lut;
            job.swap_bytes = p.swap;
            job.scratch8 = row8.data();
            job.scratch16_in = unpacked.samples();
            job.scratch16_out = row16.data();
            job.kernels = k;
            ASSERT_TRUE(convert(job));
            EXPECT_EQ(target.Contents(), want);
          }
        }
}


// The row form with a linear map applied as the rows are stored: the interiors
// write their pixels' bytes (or grey means) straight into the target and the
// sink maps the rest. Every shift a hook may be given (0 to 8, odd ones too,
// which no Lut uses), so each formula's own shift folded with the map's is
// exact, at samples up to the largest value (the sums at their widest), for
// every algorithm and pattern, rows of one block, of a block and a few
// pixels, and of many blocks; the target ends at a guard page.
struct MappedSink {
  uint8_t* target;
  ptrdiff_t w;
  int32_t shift;
  uint16_t largest;
  bool grey;
  static uint8_t Map(const MappedSink& s, uint16_t v) { return static_cast<uint8_t>(std::min(v, s.largest) >> s.shift); }
  static void Done(void* context, ptrdiff_t y, const uint16_t* row, ptrdiff_t from, ptrdiff_t to) {
    const auto& s = *static_cast<const MappedSink*>(context);
    for (ptrdiff_t x = 0; x < s.w; ++x) {
      if (x >= from && x < to) continue;
      const uint16_t* p = row + 3 * x;
      if (s.grey) {
        s.target[y * s.w + x] = static_cast<uint8_t>((Map(s, p[0]) + Map(s, p[1]) + Map(s, p[2])) / 3);
      } else {
        for (ptrdiff_t c = 0; c < 3; ++c) s.target[3 * (y * s.w + x) + c] = Map(s, p[c]);
      }
    }
  }
};

TEST_F(VectorSet, MappedRowsEveryShift) {
  for (int32_t shift = 0; shift <= 8; ++shift)
    for (auto [w, h] : {std::pair{34, 5}, std::pair{70, 4}, std::pair{1283, 6}})
      for (BayerAlgorithm algorithm : kEveryAlgorithm)
        for (Fill fill : {Fill::kRandom, Fill::kTop, Fill::kChecker, Fill::kRandomExtremes, Fill::kSteps})
          for (bool grey : {false, true}) {
            const int32_t bits = 8 + shift;
            const BayerPattern pattern = kEveryPattern[(static_cast<int32_t>(algorithm) + shift + w) % 4];
            const auto largest = static_cast<uint16_t>((1u << bits) - 1u);
            const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h), out = grey ? n : 3 * n;
            std::vector<uint16_t> frame(n), bgr16(3 * n), row(3 * static_cast<size_t>(w));
            FillWith<uint16_t>(frame.data(), n, fill, largest, static_cast<size_t>(w), 23);
            ASSERT_TRUE(Demosaic16(frame.data(), bgr16.data(), w, h, pattern, algorithm, bits));
            Guarded want(out);
            MappedSink reference{want.bytes(), w, shift, largest, grey};
            for (size_t y = 0; y < static_cast<size_t>(h); ++y)
              MappedSink::Done(&reference, static_cast<ptrdiff_t>(y), bgr16.data() + 3 * y * static_cast<size_t>(w),
                               0, 0);
            for (const Kernels* k : sets_) {
              SCOPED_TRACE(testing::Message() << k->name << " shift " << shift << " " << w << "x" << h << " "
                                              << CaseName(algorithm, pattern) << " fill " << static_cast<int>(fill)
                                              << (grey ? " grey" : " colour"));
              Guarded got(out);
              std::memset(got.bytes(), 0xA5, out);
              MappedSink sink{got.bytes(), w, shift, largest, grey};
              const MappedRows mapped{got.bytes(), static_cast<size_t>(w) * (grey ? 1 : 3), shift, largest, grey};
              ASSERT_TRUE(k->Demosaic16Rows(frame.data(), row.data(), w, h, pattern, algorithm, bits,
                                            RowSink<uint16_t>{MappedSink::Done, &sink, &mapped}));
              EXPECT_EQ(got.Contents(), want.Contents());
            }
          }
}

// KELVANE_KERNELS pins a set by the name it reports; a set this processor does
// not run, or no name, leaves the choice to the processor.
TEST(VectorSets, SetsAreFoundByName) {
  EXPECT_EQ(NamedKernels("scalar"), &ScalarKernels());
  for (const Kernels* k : VectorKernelSets()) EXPECT_EQ(NamedKernels(k->name), k) << k->name;
  EXPECT_EQ(NamedKernels(""), nullptr);
  EXPECT_EQ(NamedKernels(nullptr), nullptr);
  EXPECT_EQ(NamedKernels("avx1024"), nullptr);
}

// Every 16-bit sample, both byte orders, every Lut code and one invalid code:
// each vector set (AVX2, and the byte-permute set where the processor has it)
// must give the reference's byte for each of the 65536 samples. The samples are
// shuffled so every vector block mixes dark and bright ones.
TEST(VectorSets, Mono16GreyEverySampleEveryLut) {
  const std::vector<const Kernels*> sets = VectorKernelSets();
  if (sets.empty()) GTEST_SKIP() << "no vector kernels on this processor";
  std::vector<uint16_t> ascending(65536);
  for (size_t i = 0; i < ascending.size(); ++i) ascending[i] = static_cast<uint16_t>(i);
  std::vector<uint16_t> shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  for (const std::vector<uint16_t>* samples : {&ascending, &shuffled}) {
    const std::vector<uint16_t>& in = *samples;
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    for (int32_t code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) {
      const LutInfo lut = LutFor(code);
      const uint8_t* map = lut.low_byte_grey ? nullptr : GetMapTable(lut.logarithmic, lut.bits);
      for (bool swap : {false, true}) {
        std::vector<uint8_t> want(in.size()), got(in.size());
        ScalarKernels().Mono16ToGrey(bytes, want.data(), in.size(), swap, 16 - lut.bits, map, lut.largest());
        for (const Kernels* k : sets) {
          std::fill(got.begin(), got.end(), uint8_t{0x5A});
          k->Mono16ToGrey(bytes, got.data(), in.size(), swap, 16 - lut.bits, map, lut.largest());
          size_t first = 0;
          while (first < want.size() && want[first] == got[first]) ++first;
          EXPECT_EQ(first, want.size()) << k->name << " Lut " << code << (swap ? " swapped" : "")
                                        << ": first difference at sample " << first;
        }
      }
    }
  }
}

#ifdef KELVANE_HAVE_AVX2_KERNELS
// The byte tables of the permute set: every logarithmic map must be writable so
// (else that set silently keeps the gather). Any jumps between buckets are
// fine, but a map that falls, or steps more than once, inside every bucket of
// the narrowest width must be refused rather than approximated.
TEST(VectorSets, ByteMapLevelsAcceptOnlyExactMaps) {
  std::vector<uint8_t> falling(4096), steep(4096), jumps(4096);
  for (size_t i = 0; i < falling.size(); ++i) {
    falling[i] = static_cast<uint8_t>(255 - (i & 15));
    steep[i] = static_cast<uint8_t>(i < 2048 ? 2 * i : i >> 4);
    jumps[i] = static_cast<uint8_t>((i >> 4) * 97 % 255 + ((i & 15) > 6 ? 1 : 0));
  }
  const struct {
    const char* name;
    const uint8_t* map;
    uint16_t largest;
    bool writable;
  } cases[] = {{"log10", GetMapTable(true, 10), 1023, true},  {"log12", GetMapTable(true, 12), 4095, true},
               {"log14", GetMapTable(true, 14), 16383, true}, {"log16", GetMapTable(true, 16), 65535, true},
               {"lin12", GetMapTable(false, 12), 4095, true}, {"falling", falling.data(), 4095, false},
               {"steps of two", steep.data(), 4095, false},
               {"jumps between buckets", jumps.data(), 4095, true},   {"not a power of two", GetMapTable(true, 12), 4000, false}};
  for (const auto& c : cases) {
    vbmi::ByteMapLevels levels;
    EXPECT_EQ(vbmi::BuildByteMapLevels(c.map, c.largest, levels), c.writable) << c.name;
  }
}
#endif

// The environment is read once per process, so each value is tried in a fresh one.
TEST(KernelDispatch, ForceScalarValues) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    const char* value;
    bool scalar;
  } cases[] = {{"1", true}, {"yes", true}, {"0", false}, {"", false}};
  for (const auto& c : cases) {
    const bool want_scalar = c.scalar || VectorKernels() == nullptr;
    EXPECT_EXIT(
        {
          setenv("KELVANE_FORCE_SCALAR", c.value, 1);
          std::exit((&SelectKernels() == &ScalarKernels()) == want_scalar ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << "KELVANE_FORCE_SCALAR=\"" << c.value << "\"";
  }
}

TEST(KernelDispatch, ChosenOnceAndHonoursForceScalar) {
  const char* force = std::getenv("KELVANE_FORCE_SCALAR");
  const bool forced = force != nullptr && force[0] != '\0' && std::string(force) != "0";
  const Kernels* expected = forced || VectorKernels() == nullptr ? &ScalarKernels() : VectorKernels();
  EXPECT_EQ(&SelectKernels(), expected) << SelectKernels().name;
  FrameStore store(FrameType::Yuy2, 64, 2, 0);
  ASSERT_TRUE(store.SetColorOutput(true));
  EXPECT_EQ(store.KernelSet(), expected);
  // A frame store converts through its set: the same image either way.
  std::vector<uint8_t> frame(64 * 2 * 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 37);
  ASSERT_EQ(store.ProcessFrame(frame.data(), frame.size()), kImageFinished);
  std::vector<uint8_t> want(64 * 2 * 3);
  ScalarKernels().Yuy2ToBgr(frame.data(), want.data(), 64);
  EXPECT_EQ(std::vector<uint8_t>(store.ResultBuffer(), store.ResultBuffer() + store.FrameSize()), want);
}

}  // namespace
}  // namespace kelvane::frames
