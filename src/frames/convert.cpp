// Frame-level conversions: check that the delivered frame holds what the
// geometry implies, then run the scalar kernels over it. A frame shorter than
// its geometry leaves the target unchanged; a longer one is read only as far as
// the geometry reaches, except on the paths that take the camera's samples
// one for one (8-bit copy, 16-bit grey), which take only a frame of exactly
// the image's length.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "frames/band_pool.h"
#include "frames/convert.h"
#include "frames/demosaic.h"
#include "frames/demosaic_rows.h"

namespace kelvane::frames {
namespace {

const Kernels& K(const FrameJob& j) { return j.kernels != nullptr ? *j.kernels : ScalarKernels(); }

bool Holds(const FrameJob& j, size_t needed_input, size_t output) {
  return j.data != nullptr && j.length >= needed_input && output <= j.target_size;
}

// A frame of another length than the image's is not one of these samples
// laid out as the geometry says: it leaves the target as it was.
bool HoldsExactly(const FrameJob& j, size_t input, size_t output) {
  return Holds(j, input, output) && j.length == input;
}

bool I420Grey(const FrameJob& j) {
  if (!Holds(j, j.pixels, j.pixels)) return false;
  std::memcpy(j.target, j.data, j.pixels);  // the Y plane
  return true;
}

bool I420Colour(const FrameJob& j) {
  const size_t chroma = ((static_cast<size_t>(j.width) + 1) / 2) * ((static_cast<size_t>(j.rows) + 1) / 2);
  if (!Holds(j, j.pixels + 2 * chroma, 3 * j.pixels)) return false;
  K(j).I420ToBgr(j.data, j.data + j.pixels, j.data + j.pixels + chroma, j.target, j.width, j.rows);
  return true;
}

// Pixels beyond the last whole group (a geometry these formats never have)
// keep what the target held.
bool Y411Grey(const FrameJob& j) {
  const size_t groups = j.pixels / 4;
  if (!Holds(j, 6 * groups, 4 * groups)) return false;
  K(j).Y411ToLuma(j.data, j.target, groups);
  return true;
}

bool Y411Colour(const FrameJob& j) {
  const size_t groups = j.pixels / 4;
  if (!Holds(j, 6 * groups, 12 * groups)) return false;
  K(j).Y411ToBgr(j.data, j.target, groups);
  return true;
}

bool UyvyGrey(const FrameJob& j) {
  const size_t groups = j.pixels / 2;
  if (!Holds(j, 4 * groups, 2 * groups)) return false;
  K(j).UyvyToLuma(j.data, j.target, groups);
  return true;
}

bool UyvyColour(const FrameJob& j) {
  const size_t groups = j.pixels / 2;
  if (!Holds(j, 4 * groups, 6 * groups)) return false;
  K(j).UyvyToBgr(j.data, j.target, groups);
  return true;
}

bool Yuy2Grey(const FrameJob& j) {
  const size_t groups = j.pixels / 2;
  if (!Holds(j, 4 * groups, 2 * groups)) return false;
  K(j).Yuy2ToLuma(j.data, j.target, groups);
  return true;
}

bool Yuy2Colour(const FrameJob& j) {
  const size_t groups = j.pixels / 2;
  if (!Holds(j, 4 * groups, 6 * groups)) return false;
  K(j).Yuy2ToBgr(j.data, j.target, groups);
  return true;
}

bool Y444Grey(const FrameJob& j) {
  if (!Holds(j, 3 * j.pixels, j.pixels)) return false;
  K(j).Y444ToLuma(j.data, j.target, j.pixels);
  return true;
}

bool Y444Colour(const FrameJob& j) {
  if (!Holds(j, 3 * j.pixels, 3 * j.pixels)) return false;
  K(j).Y444ToBgr(j.data, j.target, j.pixels);
  return true;
}

bool Copy8(const FrameJob& j) {
  if (!HoldsExactly(j, j.pixels, j.pixels)) return false;
  std::memcpy(j.target, j.data, j.pixels);
  return true;
}

// Each demosaiced row goes on to its next step while it is still in the cache.
struct RowTarget {
  const FrameJob* job;
  const uint8_t* map = nullptr;
  uint16_t largest = 0;
  int32_t shift = 0;
  // A linear map's shift (min(sample, largest) >> map_shift is the table's
  // byte), or -1 for a logarithmic map.
  int32_t map_shift = -1;
  // 16-bit raw data: where the unpacked rows go (a ring of `ring_rows` rows, or
  // the whole frame when ring_rows is 0) and how many rows are unpacked so far.
  uint16_t* unpacked = nullptr;
  size_t ring_rows = 0;
  size_t unpacked_rows = 0;
};

// The delivered 16-bit rows are unpacked (byte swap and shift) into a ring of
// this many rows, each just before the demosaicing first reads it: a
// 1280-pixel ring is 13 KB and stays in the first-level cache, where unpacking
// the whole frame wrote it out to memory and read it back (a quarter of the
// time of the 16-bit demosaicing once its interiors were vector code). The
// smallest ring, a row at a time, measured 5 to 8 % faster than 8 rows
// unpacked 4 at a time.
constexpr size_t kRingRows = static_cast<size_t>(kMinSourceRows);
// Rows unpacked beyond those asked for. The ring must still hold every row
// from the one 5 rows back.
constexpr size_t kUnpackAhead = kRingRows - static_cast<size_t>(kMinSourceRows);

// Unpacks the delivered rows up to `rows` (and kUnpackAhead more).
void UnpackRowsTo(RowTarget& t, size_t rows) {
  const FrameJob& j = *t.job;
  const size_t h = static_cast<size_t>(j.rows), w = static_cast<size_t>(j.width);
  if (rows <= t.unpacked_rows) return;
  const size_t to = std::min(h, rows + kUnpackAhead);
  for (size_t y = t.unpacked_rows; y < to;) {
    // As many rows as fit before the end of the ring.
    const size_t slot = t.ring_rows != 0 ? y % t.ring_rows : y;
    const size_t count = t.ring_rows != 0 ? std::min(to - y, t.ring_rows - slot) : to - y;
    K(j).Unpack16(j.data + 2 * y * w, t.unpacked + slot * w, count * w, j.swap_bytes, t.shift);
    y += count;
  }
  t.unpacked_rows = to;
}

void GreyRow(void* context, ptrdiff_t y, const uint8_t* row, ptrdiff_t, ptrdiff_t) {
  const auto& t = *static_cast<const RowTarget*>(context);
  const size_t w = static_cast<size_t>(t.job->width);
  K(*t.job).BgrToGrey(row, t.job->target + static_cast<size_t>(y) * w, w, 3);
}

// Rows [from, to) of an 8-bit raw frame (to 0: to the last row), demosaiced
// row by row into `row_buffer` and taken to grey.
bool Raw8GreyRows(const FrameJob& j, uint8_t* row_buffer, int32_t from, int32_t to) {
  RowTarget t{&j};
  return K(j).Demosaic8Rows(j.data, row_buffer, j.width, j.rows, j.pattern, j.algorithm,
                            RowSink<uint8_t>{GreyRow, &t, nullptr, 0, from, to});
}

// A large frame is shared out in row bands, each computed from the whole
// source exactly as the one-thread pass computes those rows. Every algorithm
// gains from a second core at a megapixel and more: the interpolating ones
// spend most of their time computing, and even nearest neighbour and the simple
// algorithm, close to the speed of a memory copy on one thread, ran 1.1 to 1.8
// times as fast on two (two cores share the memory bus, but not its full width).
//
// A frame is cut into more bands than there are threads, and each thread takes
// the next band when it is free: a pool thread that wakes late, or shares its
// core with the host, then holds up the frame by one short band at most, not by
// half the frame. Measured at 2448 x 2048 on two cores: two threads ran 1.5
// times the one-thread rate with one band each, 1.8 times with four each.
constexpr int32_t kBandsPerThread = 4;

// How many bands a frame of `job` is shared out in, each of at least
// `least_rows` rows; 1 where it stays on the streaming thread.
int32_t BandCount(const FrameJob& j, int32_t least_rows) {
  const int32_t threads = ConversionThreads();
  if (threads < 2 || j.pixels < BandPixels()) return 1;
  return std::max(1, std::min(threads * kBandsPerThread, j.rows / least_rows));
}

struct Bands {
  const FrameJob* job;
  int32_t count;
  std::atomic<bool> failed{false};

  // The rows [from, to) of band `index`, cut at even rows, so each band starts
  // on the same pattern row as the frame. The bands shrink towards the end:
  // band i of n holds (2 (n - i) - 1) / n^2 of the rows, so the last band
  // (which one thread may finish while the other has nothing left to take) is
  // the shortest, while the first ones stay long enough to cost little to hand
  // out.
  int32_t Edge(int32_t index) const {
    if (index >= count) return job->rows;
    // rows x (left / count)^2 in two steps, each product within 64 bits for
    // any count; both steps grow with `left`, so the edges never go back.
    const int64_t rows = job->rows, left = count - index;
    return static_cast<int32_t>(rows - rows * left / count * left / count) & ~1;
  }
  void Fail() { failed.store(true, std::memory_order_relaxed); }
  bool Run(void (*band)(void*, int32_t)) {
    RunBands(count, band, this);
    return !failed.load(std::memory_order_relaxed);
  }
};

struct Bands8 : Bands {
  const uint8_t* src;
  BayerAlgorithm algorithm;
};

void DemosaicBand(void* context, int32_t index) {
  auto& b = *static_cast<Bands8*>(context);
  const FrameJob& j = *b.job;
  const int32_t from = b.Edge(index), to = b.Edge(index + 1);
  if (to > from && !K(j).Demosaic8Band(b.src, j.target, j.width, j.rows, j.pattern, b.algorithm, from, to)) b.Fail();
}

bool Demosaic8Frame(const FrameJob& j, const uint8_t* src, BayerAlgorithm algorithm) {
  const int32_t count = BandCount(j, 2);
  if (count < 2) return K(j).Demosaic8(src, j.target, j.width, j.rows, j.pattern, algorithm);
  Bands8 bands{{&j, count}, src, algorithm};
  return bands.Run(DemosaicBand);
}

// The row buffers the grey path's bands take from its scratch memory: bands
// beyond these many are not made.
constexpr int32_t kGreyRowBuffers = 16;

void Raw8GreyBand(void* context, int32_t index) {
  auto& b = *static_cast<Bands*>(context);
  const FrameJob& j = *b.job;
  const int32_t from = b.Edge(index), to = b.Edge(index + 1);
  uint8_t* row_buffer = j.scratch8 + static_cast<size_t>(index) * 3 * static_cast<size_t>(j.width);
  if (to > from && !Raw8GreyRows(j, row_buffer, from, to)) b.Fail();
}

bool Raw8Grey(const FrameJob& j) {
  if (!Holds(j, j.pixels, j.pixels) || j.scratch8 == nullptr) return false;
  if (j.pixels == 0) return true;
  const int32_t count = std::min(BandCount(j, 2), kGreyRowBuffers);
  if (count < 2) return Raw8GreyRows(j, j.scratch8, 0, 0);
  Bands bands{&j, count};
  return bands.Run(Raw8GreyBand);
}

bool Raw8Colour(const FrameJob& j) {
  if (!Holds(j, j.pixels, 3 * j.pixels)) return false;
  if (j.pixels == 0) return true;
  return Demosaic8Frame(j, j.data, j.algorithm);
}

bool Rgb24Grey(const FrameJob& j) {
  if (!Holds(j, 3 * j.pixels, j.pixels)) return false;
  K(j).BgrToGrey(j.data, j.target, j.pixels, 3);
  return true;
}

bool Rgb32Grey(const FrameJob& j) {
  if (!Holds(j, 4 * j.pixels, j.pixels)) return false;
  K(j).BgrToGrey(j.data, j.target, j.pixels, 4);
  return true;
}

// The camera's own pixels: a short frame copies what arrived, a long one is cut.
bool CopyPixels(const FrameJob& j) {
  if (j.data == nullptr) return false;
  const size_t arrived = std::min(j.length, j.target_size);
  std::memcpy(j.target, j.data, arrived);
  if (arrived < j.target_size && j.previous != nullptr)
    std::memcpy(j.target + arrived, j.previous + arrived, j.target_size - arrived);
  return true;
}

bool Mono16Grey(const FrameJob& j) {
  if (!HoldsExactly(j, 2 * j.pixels, j.pixels)) return false;
  const LutInfo lut = LutFor(j.lut);
  const uint8_t* map = lut.low_byte_grey ? nullptr : GetMapTable(lut.logarithmic, lut.bits);
  K(j).Mono16ToGrey(j.data, j.target, j.pixels, j.swap_bytes, 16 - lut.bits, map, lut.largest());
  return true;
}

// The border pixels of a row whose interior the demosaicing mapped. A linear map
// is computed: its table (64 KB for 16 bits) would be read at a few scattered
// places per row, which missed the cache often enough to cost 3 to 5 % of the
// frame.
uint8_t MapLinear(const RowTarget& t, uint16_t v) {
  return static_cast<uint8_t>(std::min(v, t.largest) >> t.map_shift);
}
void MapBorder(const RowTarget& t, const uint16_t* samples, uint8_t* out, size_t count) {
  if (t.map_shift < 0) return Map16ToBytes(samples, out, count, t.map, t.largest);
  for (size_t i = 0; i < count; ++i) out[i] = MapLinear(t, samples[i]);
}
void MapGreyBorder(const RowTarget& t, const uint16_t* bgr16, uint8_t* grey, size_t pixels) {
  if (t.map_shift < 0) return Map16ToGrey(bgr16, grey, pixels, t.map, t.largest);
  for (size_t i = 0; i < pixels; ++i, bgr16 += 3)
    grey[i] = static_cast<uint8_t>((MapLinear(t, bgr16[0]) + MapLinear(t, bgr16[1]) + MapLinear(t, bgr16[2])) / 3);
}

// Row y + 1 reads the source rows up to y + 3. Pixels [from, to) were mapped
// straight into the target by the demosaicing; the rest of the row is mapped here.
void MappedRow(void* context, ptrdiff_t y, const uint16_t* row, ptrdiff_t from, ptrdiff_t to) {
  auto& t = *static_cast<RowTarget*>(context);
  UnpackRowsTo(t, static_cast<size_t>(y) + 4);
  const size_t w = static_cast<size_t>(t.job->width);
  uint8_t* out = t.job->target + static_cast<size_t>(y) * 3 * w;
  const auto f = static_cast<size_t>(from), e = static_cast<size_t>(to);
  if (f == e) {
    K(*t.job).Map16ToBytes(row, out, 3 * w, t.map, t.largest);
    return;
  }
  // Only the border pixels are left: too few for the vector kernel's checks to pay.
  MapBorder(t, row, out, 3 * f);
  MapBorder(t, row + 3 * e, out + 3 * e, 3 * (w - e));
}

void MappedGreyRow(void* context, ptrdiff_t y, const uint16_t* row, ptrdiff_t from, ptrdiff_t to) {
  auto& t = *static_cast<RowTarget*>(context);
  UnpackRowsTo(t, static_cast<size_t>(y) + 4);
  const size_t w = static_cast<size_t>(t.job->width);
  uint8_t* out = t.job->target + static_cast<size_t>(y) * w;
  const auto f = static_cast<size_t>(from), e = static_cast<size_t>(to);
  if (f == e) {
    K(*t.job).Map16ToGrey(row, out, w, t.map, t.largest);
    return;
  }
  MapGreyBorder(t, row, out, f);
  MapGreyBorder(t, row + 3 * e, out + e, w - e);
}

using MappedRowFn = void (*)(void*, ptrdiff_t, const uint16_t*, ptrdiff_t, ptrdiff_t);

// Unpacks rows [from, to) of 16-bit raw data (to 0: to the last row) and the
// rows around them into `ring` (a ring of kRingRows rows, or the whole frame
// when `ring_rows` is 0), demosaics them row by row into `row_buffer` and maps
// each row to bytes by `row` (which also unpacks the rows the next one needs).
bool Demosaic16Part(const FrameJob& j, MappedRowFn row, uint16_t* ring, size_t ring_rows, uint16_t* row_buffer,
                    int32_t from, int32_t to) {
  const LutInfo lut = LutFor(j.lut);
  // Lut 0 keeps all 16 bits, so colour goes through the linear 16-bit table.
  RowTarget t{&j, GetMapTable(lut.logarithmic, lut.bits), lut.largest(), 16 - lut.bits};
  if (t.map == nullptr) return false;
  if (!lut.logarithmic) t.map_shift = lut.bits - 8;
  t.ring_rows = ring_rows;
  t.unpacked = ring;
  // Output row y reads the source rows y - 2 .. y + 2 (or mirrored ones).
  t.unpacked_rows = from > 2 ? static_cast<size_t>(from) - 2 : 0;
  UnpackRowsTo(t, static_cast<size_t>(from) + 3);
  // A linear map is a shift, which the demosaicing variants can apply as they
  // store, writing bytes straight into the target.
  const bool grey = row == MappedGreyRow;
  const MappedRows mapped{j.target, static_cast<size_t>(j.width) * (grey ? 1 : 3), lut.bits - 8, lut.largest(), grey};
  return K(j).Demosaic16Rows(
      ring, row_buffer, j.width, j.rows, j.pattern, j.algorithm, lut.bits,
      RowSink<uint16_t>{row, &t, lut.logarithmic ? nullptr : &mapped, static_cast<ptrdiff_t>(ring_rows), from, to});
}

// A band of a 16-bit frame takes this many rows of the unpacking buffer (sized
// for the whole frame): its ring, then its row buffer of 3 samples a pixel.
constexpr size_t kBandScratchRows = kRingRows + 3;

struct Bands16 : Bands {
  MappedRowFn row;
};

void Demosaic16Band(void* context, int32_t index) {
  auto& b = *static_cast<Bands16*>(context);
  const FrameJob& j = *b.job;
  const int32_t from = b.Edge(index), to = b.Edge(index + 1);
  uint16_t* ring = j.scratch16_in + static_cast<size_t>(index) * kBandScratchRows * static_cast<size_t>(j.width);
  uint16_t* row_buffer = ring + kRingRows * static_cast<size_t>(j.width);
  if (to > from && !Demosaic16Part(j, b.row, ring, kRingRows, row_buffer, from, to)) b.Fail();
}

bool Demosaic16Frame(const FrameJob& j, MappedRowFn row) {
  if (j.scratch16_in == nullptr || j.scratch16_out == nullptr) return false;
  // Each band's ring and row buffer come from the unpacking buffer.
  const int32_t count = BandCount(j, static_cast<int32_t>(kBandScratchRows));
  if (count >= 2) {
    Bands16 bands{{&j, count}, row};
    return bands.Run(Demosaic16Band);
  }
  // The ring takes the last rows of the unpacking buffer, so a read past its
  // last row is a read past the buffer; frames of no more rows than the ring
  // are unpacked whole.
  const size_t h = static_cast<size_t>(j.rows), w = static_cast<size_t>(j.width);
  const size_t ring_rows = h > kRingRows ? kRingRows : 0;
  return Demosaic16Part(j, row, j.scratch16_in + (h - (ring_rows != 0 ? ring_rows : h)) * w, ring_rows, j.scratch16_out,
                        0, 0);
}

// Nearest neighbour only copies samples, and a linear map of a sample shifted
// right by 16 - b is (s >> (16 - b)) >> (b - 8) = s >> 8 for every b: the
// result is the 8-bit algorithm on the samples' high bytes, which the vector
// sets run at twice the pixels per step (the scalar set stays with the 16-bit
// samples). The high bytes go into the unpacking buffer, read as bytes.
bool NearestOfHighBytes(const FrameJob& j, bool grey) {
  const LutInfo lut = LutFor(j.lut);
  const uint8_t* map = GetMapTable(false, lut.bits);
  if (&K(j) == &ScalarKernels() || lut.logarithmic || map == nullptr) return false;
  if (j.scratch16_in == nullptr || j.scratch16_out == nullptr) return false;
  auto* high = reinterpret_cast<uint8_t*>(j.scratch16_in);
  K(j).Mono16ToGrey(j.data, high, j.pixels, j.swap_bytes, 16 - lut.bits, map, lut.largest());
  if (!grey) return Demosaic8Frame(j, high, BayerAlgorithm::Nearest);
  RowTarget t{&j};
  return K(j).Demosaic8Rows(high, reinterpret_cast<uint8_t*>(j.scratch16_out), j.width, j.rows, j.pattern,
                            BayerAlgorithm::Nearest, RowSink<uint8_t>{GreyRow, &t});
}

// Algorithm 4 under a linear map, in a set that reads the delivered samples
// for it directly: no unpacking pass, which was a fifth to a third of the time.
struct SimpleBands : Bands {
  bool grey;
};

bool DeliveredSimple(const FrameJob& j, bool grey, int32_t from, int32_t to) {
  return K(j).DeliveredSimpleRows(j.data, j.target, j.width, j.rows, j.pattern, j.swap_bytes, LutFor(j.lut).bits, grey,
                                  from, to);
}

void DeliveredSimpleBand(void* context, int32_t index) {
  auto& b = *static_cast<SimpleBands*>(context);
  const int32_t from = b.Edge(index), to = b.Edge(index + 1);
  if (to > from && !DeliveredSimple(*b.job, b.grey, from, to)) b.Fail();
}

bool SimpleOfDelivered(const FrameJob& j, bool grey) {
  const LutInfo lut = LutFor(j.lut);
  if (K(j).DeliveredSimpleRows == nullptr || lut.logarithmic) return false;
  if (lut.bits < 16 && !K(j).DeliveredSimpleBelow16) return false;
  // Asked with no rows first, so that bands are not started for a frame it leaves to the interiors.
  if (!DeliveredSimple(j, grey, 0, 0)) return false;
  const int32_t count = BandCount(j, 2);
  if (count < 2) return DeliveredSimple(j, grey, 0, j.rows);
  SimpleBands bands{{&j, count}, grey};
  return bands.Run(DeliveredSimpleBand);
}

bool Raw16Colour(const FrameJob& j) {
  if (!Holds(j, 2 * j.pixels, 3 * j.pixels)) return false;
  if (j.pixels == 0) return true;
  if (j.algorithm == BayerAlgorithm::Nearest && NearestOfHighBytes(j, false)) return true;
  if (j.algorithm == BayerAlgorithm::Simple && SimpleOfDelivered(j, false)) return true;
  return Demosaic16Frame(j, MappedRow);
}

bool Raw16Grey(const FrameJob& j) {
  if (!Holds(j, 2 * j.pixels, j.pixels)) return false;
  if (j.pixels == 0) return true;
  if (j.algorithm == BayerAlgorithm::Nearest && NearestOfHighBytes(j, true)) return true;
  if (j.algorithm == BayerAlgorithm::Simple && SimpleOfDelivered(j, true)) return true;
  return Demosaic16Frame(j, MappedGreyRow);
}

// A demosaicing converter whose algorithm code is none of 0..4: every frame
// leaves the target as it was.
bool RefuseFrame(const FrameJob&) { return false; }

// The converter for the pixel layout, whatever the algorithm.
FrameConverter ConverterFor(FrameType frame_type, int32_t pixel_bits, bool demosaic) {
  const bool grey = pixel_bits == 8;
  switch (frame_type) {
    case FrameType::I420: return grey ? I420Grey : I420Colour;
    case FrameType::Y411: return grey ? Y411Grey : Y411Colour;
    case FrameType::Uyvy: return grey ? UyvyGrey : UyvyColour;
    case FrameType::Y444: return grey ? Y444Grey : Y444Colour;
    case FrameType::Grey8:
    case FrameType::Raw8:
      if (!demosaic) return Copy8;
      return grey ? Raw8Grey : Raw8Colour;
    case FrameType::Yuy2: return grey ? Yuy2Grey : Yuy2Colour;
    case FrameType::Rgb24: return grey ? Rgb24Grey : CopyPixels;
    case FrameType::Rgb32: return grey ? Rgb32Grey : CopyPixels;
    case FrameType::Mono16:
      // Mono16 with colour and a Bayer pattern set is demosaiced like RAW16.
      return grey || !demosaic ? Mono16Grey : Raw16Colour;
    case FrameType::Raw16:
      if (!demosaic) return Mono16Grey;
      return grey ? Raw16Grey : Raw16Colour;
  }
  return nullptr;  // a stored number that is no FrameType
}

bool Demosaics(FrameConverter c) { return c == Raw8Grey || c == Raw8Colour || c == Raw16Grey || c == Raw16Colour; }

}  // namespace

FrameConverter SelectConverter(FrameType frame_type, int32_t pixel_bits, std::optional<BayerPattern> pattern,
                               std::optional<BayerAlgorithm> algorithm) {
  const FrameConverter c = ConverterFor(frame_type, pixel_bits, pattern.has_value());
  return Demosaics(c) && !algorithm ? RefuseFrame : c;
}

const char* FrameTypeName(FrameType t) {
  switch (t) {
    case FrameType::I420: return "I420";
    case FrameType::Y411: return "Y411";
    case FrameType::Uyvy: return "UYVY";
    case FrameType::Y444: return "Y444";
    case FrameType::Grey8: return "Grey8";
    case FrameType::Yuy2: return "YUY2";
    case FrameType::Rgb24: return "RGB24";
    case FrameType::Rgb32: return "RGB32";
    case FrameType::Mono16: return "Mono16";
    case FrameType::Raw8: return "RAW8";
    case FrameType::Raw16: return "RAW16";
  }
  return "unknown";
}

ScratchNeeds ScratchFor(FrameType frame_type, int32_t pixel_bits, std::optional<BayerPattern> pattern) {
  const FrameConverter c = ConverterFor(frame_type, pixel_bits, pattern.has_value());
  ScratchNeeds needs;
  if (c == Raw8Grey) needs.bytes8_per_row_pixel = 3 * static_cast<size_t>(kGreyRowBuffers);
  if (c == Raw16Grey || c == Raw16Colour) {
    needs.samples16_in_per_pixel = 1;
    needs.samples16_out_per_row_pixel = 3;
  }
  return needs;
}

}  // namespace kelvane::frames
