#include "frames/frame_store.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dshow.h"

namespace kelvane::frames {

std::optional<FrameType> FrameTypeForSubtype(const platform::GUID& subtype) {
  using namespace platform;
  struct Entry {
    GUID subtype;
    FrameType frame_type;
  };
  using enum FrameType;
  static constexpr Entry kTable[] = {
      {MEDIASUBTYPE_IYUV, I420},   {MEDIASUBTYPE_I420, I420},   {MEDIASUBTYPE_Y411, Y411},
      {MEDIASUBTYPE_Y422, Uyvy},   {MEDIASUBTYPE_UYVY, Uyvy},   {MEDIASUBTYPE_Y444, Y444},
      {MEDIASUBTYPE_RGB8, Grey8},  {MEDIASUBTYPE_Y800, Grey8},  {MEDIASUBTYPE_YUY2, Yuy2},
      {MEDIASUBTYPE_RGB24, Rgb24}, {MEDIASUBTYPE_RGB32, Rgb32}, {MEDIASUBTYPE_ARGB32, Rgb32},
      {MEDIASUBTYPE_MO16, Mono16}, {MEDIASUBTYPE_RAW8, Raw8},   {MEDIASUBTYPE_RAW16, Raw16},
  };
  for (const Entry& e : kTable)
    if (e.subtype == subtype) return e.frame_type;
  return std::nullopt;
}

void FreeMemory::operator()(void* p) const {
  if (p == nullptr) return;
  if (mapped != 0)
    ::munmap(static_cast<unsigned char*>(p) - offset, mapped);
  else
    std::free(static_cast<unsigned char*>(p) - offset);
}

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapHugeBlocks = false;  // the address sanitizer sees past a buffer's end only in its own heap
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapHugeBlocks = false;
#else
constexpr bool kMapHugeBlocks = true;
#endif
#else
constexpr bool kMapHugeBlocks = true;
#endif

// A block of at least `bytes` zeroed bytes mapped at a huge-page boundary,
// with the whole huge pages in it advised as such; null when the system
// will not map it. `length` receives the mapped length. The image buffers are
// megabytes: in 4 kB pages the first frame into them takes one fault per page
// (900 for a 1280 x 960 colour image, about as long as the conversion), and
// every conversion walks several rows far apart through the translation
// cache. The last huge page is taken only where it wastes at most a quarter of
// the request, and the system falls back to small pages where it has no
// huge ones free.
unsigned char* MapHuge(size_t bytes, size_t& length) {
  const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  length = whole - bytes <= bytes / 4 ? whole : (bytes + 4095) / 4096 * 4096;
  void* m = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  auto* block = static_cast<unsigned char*>(m);
  const size_t lead = (kHugePage - reinterpret_cast<uintptr_t>(block) % kHugePage) % kHugePage;
  if (lead != 0) ::munmap(block, lead);
  if (kHugePage - lead != 0) ::munmap(block + lead + length, kHugePage - lead);
  block += lead;
#ifdef MADV_HUGEPAGE
  ::madvise(block, length / kHugePage * kHugePage, MADV_HUGEPAGE);  // advice only: small pages if refused
#endif
  return block;
}

// Null when the memory cannot be had. A zero-byte request still yields a
// buffer, so an empty image is a configured one. The buffer starts `offset`
// bytes (a multiple of 64) past the first cache line boundary of a block of
// that much more: whole vectors of the kernels then never straddle two lines.
// Image blocks (kWhole: every byte written or read each frame) of a huge
// page or more are mapped in huge pages (MapHuge). A scratch buffer is not:
// the 16-bit paths use only a ring of rows at its end, which gains nothing
// from them, and with the ring in a huge page RAW16 demosaicing at
// 1280 x 960 took 1.3 to 1.5 times as long (measured, cause not found).
enum class Use { kScratch, kWhole };
template <typename T>
FrameMemory<T> Allocate(size_t count, size_t offset = 0, Use use = Use::kScratch) {
  if (count == 0) count = 1;
  if (count > (SIZE_MAX - offset - 63 - 2 * kHugePage) / sizeof(T)) return FrameMemory<T>();
  const size_t bytes = count * sizeof(T) + offset;
  size_t length = 0;
  if (kMapHugeBlocks && use == Use::kWhole && bytes >= kHugePage) {
    if (unsigned char* block = MapHuge(bytes, length))
      return FrameMemory<T>(reinterpret_cast<T*>(block + offset), FreeMemory{offset, length});
  }
  auto* block = static_cast<unsigned char*>(std::calloc(bytes + 63, 1));
  if (block == nullptr) return FrameMemory<T>();
  const size_t skip = (64 - reinterpret_cast<uintptr_t>(block) % 64) % 64 + offset;
  return FrameMemory<T>(reinterpret_cast<T*>(block + skip), FreeMemory{skip});
}

// Memory never written is filled in by the system as it is first written, one
// fault per 4 kB page: at 320 x 240 the first frame's 56 faults took most of
// it. Asked for in one call, the same pages come in about a third less time.
// Only advice: where the system does not know it, the writes fault as before.
void PopulateForWriting(const uint8_t* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  static const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  if (p == nullptr || bytes == 0 || page == 0) return;
  // From the start of p's page. The first and last pages may hold other
  // memory of ours; populating a page changes none of its bytes.
  const size_t lead = reinterpret_cast<uintptr_t>(p) % page;
  ::madvise(const_cast<uint8_t*>(p) - lead, lead + bytes, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Byte counts saturate instead of wrapping: 2^31 x 2^31 pixels of 4 bytes pass 64 bits.
uint64_t Times(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}
uint64_t Plus(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
}  // namespace

FrameStore::FrameStore(FrameType frameType, int32_t width, int32_t height, int32_t lut)
    : Lut_(lut), FrameType_(frameType), Width_(width), Height_(height) {
  // A failure here leaves the store without buffers; the port-open's own
  // SetColorOutput call reports it.
  SetColorOutput(false);
}

FrameStore::~FrameStore() { FreeBuffers(); }

void FrameStore::ApplySettings(const FrameSettings& s) {
  MeanCnt_ = s.MeanCnt < 1 ? 1 : (s.MeanCnt > kMaxMeanCnt ? kMaxMeanCnt : s.MeanCnt);
  RecursiveMean_ = s.RecursiveMean != 0 ? 1 : 0;
  RecursiveCoeff_ = s.RecursiveCoeff;
  // A negative point count would make every frame "static"; treat it as off.
  BlackLvlPoints_ = s.BlackLvlPoints < 0 ? 0 : s.BlackLvlPoints;
  BlackLvlValue_ = s.BlackLvlValue;
  BlackLvlRange_ = s.BlackLvlRange;
  BlackLvlRetry_ = s.BlackLvlRetry;
  RawMode_ = BayerPatternFrom(s.RawMode);
  Algorithm_ = BayerAlgorithmFrom(s.Algorithm);
}

uint8_t FrameStore::DepthFor(bool color) const {
  if (!color) return 8;
  if (!IsKnown(FrameType_)) return 8;
  if (FrameType_ == FrameType::Rgb32) return 32;
  if (IsRaw(FrameType_)) return RawMode_ ? 24 : 8;
  return 24;
}

bool FrameStore::SetColorOutput(bool color) {
  const uint8_t bits = DepthFor(color);
  if (!WithinLimits(NeedsForDepth(bits))) return false;  // refused before the current buffers go
  PixelBits_ = bits;
  FreeBuffers();
  return AllocateBuffers();
}

FrameStore::BufferNeeds FrameStore::NeedsForDepth(uint8_t bits) const {
  BufferNeeds needs;
  if (Width_ < 0) return needs;  // unusable whatever the limits; AllocateBuffers refuses it
  const uint64_t width = static_cast<uint64_t>(Width_);
  const uint64_t pixels = Times(width, static_cast<uint64_t>(Rows()));
  needs.frame = Times(pixels, bits / 8u);
  // The averaging slots, and three image buffers (published, converted into, spare).
  needs.slots = (RecursiveMean_ != 0 ? 1 : (MeanCnt_ <= 1 ? 0 : static_cast<uint64_t>(MeanCnt_))) + kImages;
  const ScratchNeeds s = ScratchFor(FrameType_, bits, RawMode_);
  const uint64_t scratch[] = {Times(s.bytes8_per_row_pixel, width),
                              Times(Times(s.samples16_in_per_pixel, pixels), sizeof(uint16_t)),
                              Times(Times(s.samples16_out_per_row_pixel, width), sizeof(uint16_t))};
  needs.largest = needs.frame;
  needs.total = Times(needs.frame, needs.slots);
  for (const uint64_t bytes : scratch) {
    needs.largest = std::max(needs.largest, bytes);
    needs.total = Plus(needs.total, bytes);
  }
  return needs;
}

FrameStore::BufferNeeds FrameStore::NeedsFor(bool color) const { return NeedsForDepth(DepthFor(color)); }

bool FrameStore::WithinLimits(const BufferNeeds& needs) {
  return needs.largest <= kMaxBufferBytes && needs.total <= kMaxStoreBytes;
}

std::string FrameStore::LimitProblem(bool color) const {
  const uint8_t bits = DepthFor(color);
  const BufferNeeds needs = NeedsForDepth(bits);
  const auto bytes = [](uint64_t n) { return static_cast<unsigned long long>(n); };
  char text[320];
  if (needs.largest > kMaxBufferBytes) {
    std::snprintf(text, sizeof text,
                  "%d x %d images of %d bits need a buffer of %llu bytes, more than the %llu bytes allowed", Width_,
                  Rows(), bits, bytes(needs.largest), bytes(kMaxBufferBytes));
  } else if (needs.total > kMaxStoreBytes) {
    std::snprintf(text, sizeof text,
                  "%d x %d images of %d bits with MeanCnt %d (%llu image buffers) need %llu bytes, more than the "
                  "%llu bytes allowed",
                  Width_, Rows(), bits, MeanCnt_, bytes(needs.slots), bytes(needs.total), bytes(kMaxStoreBytes));
  } else {
    return {};
  }
  return text;
}

int32_t FrameStore::Rows() const {
  if (Height_ == INT32_MIN) return 0;
  return Height_ < 0 ? -Height_ : Height_;
}

bool FrameStore::GeometryUsable() const {
  if (Width_ < 0 || Height_ == INT32_MIN) return false;
  // FrameSize and RowLength are 32-bit counts; the largest output pixel has 4
  // bytes. A row counts on its own, as an image of no rows may be very wide.
  const uint64_t width = static_cast<uint64_t>(Width_);
  return width * 4u <= UINT32_MAX && width * static_cast<uint64_t>(Rows()) * 4u <= UINT32_MAX;
}

uint32_t FrameStore::FrameSize() const {
  if (!GeometryUsable()) return 0;
  return static_cast<uint32_t>(Rows()) * (PixelBits_ / 8u) * static_cast<uint32_t>(Width_);
}

uint32_t FrameStore::RowLength() const {
  if (!GeometryUsable()) return 0;
  return (PixelBits_ / 8u) * static_cast<uint32_t>(Width_);
}

bool FrameStore::AllocateBuffers() {
  WaitForReaders();
  ResetCycle();
  // Fresh buffers hold no image yet, so a recursive mean must start by copying
  // its first frame even when one frame finishes each image.
  FrameCount_ = 0;
  kernels_ = nullptr;
  converter_ = nullptr;
  average_ = nullptr;
  if (!GeometryUsable() || !WithinLimits(NeedsForDepth(PixelBits_))) return false;
  const size_t size = FrameSize();
  auto allocate = [this, size](FrameMemory<uint8_t>& slot) {
    // Zeroed, so a target the converter leaves unwritten never shows the host
    // stale heap memory. Large blocks come page-aligned from the system, so
    // every slot would start at the same place within a page, and averaging
    // reads all slots in step: their cache lines would compete for the same
    // few sets of the first-level cache (the mean of 32 frames took 3.4 times
    // as long). Each slot starts one cache line further into its block.
    const size_t index = static_cast<size_t>(&slot - &Buffers_[0]);
    slot = Allocate<uint8_t>(size, 64 * index, Use::kWhole);
    return slot != nullptr;
  };
  bool ok = true;
  if (RecursiveMean_ != 0) {
    ok = allocate(Buffers_[0]);
  } else if (MeanCnt_ > 1) {
    for (int32_t i = 0; ok && i < MeanCnt_; ++i) ok = allocate(Buffers_[static_cast<size_t>(i)]);
  }
  // The image buffers go on where the slots left off, each a cache line further in.
  ok = ok && AllocateImages(size, 64 * static_cast<size_t>(MeanCnt_));
  {
    std::lock_guard lock(publish_);
    front_ = 0;
    back_ = 1;
    spare_ = 2;
  }
  backHoldsAverage_ = false;

  const size_t width = static_cast<size_t>(Width_);
  const size_t pixels = width * static_cast<size_t>(Rows());
  const ScratchNeeds needs = ScratchFor(FrameType_, PixelBits_, RawMode_);
  if (ok && needs.bytes8_per_row_pixel != 0) {
    scratch8_ = Allocate<uint8_t>(needs.bytes8_per_row_pixel * width);
    ok = scratch8_ != nullptr;
  }
  if (ok && needs.samples16_in_per_pixel != 0) {
    scratch16In_ = Allocate<uint16_t>(needs.samples16_in_per_pixel * pixels);
    scratch16Out_ = Allocate<uint16_t>(needs.samples16_out_per_row_pixel * width);
    ok = scratch16In_ != nullptr && scratch16Out_ != nullptr;
  }
  if (!ok) {
    FreeBuffers();
    return false;
  }
  // The processor is asked once per process; the store takes the set here, not per frame.
  kernels_ = &SelectKernels();
  converter_ = SelectConverter(FrameType_, PixelBits_, RawMode_, Algorithm_);
  if (RecursiveMean_ == 0 && MeanCnt_ >= 2) average_ = kernels_->Average[MeanCnt_ - 2];
  layoutMeanCnt_ = MeanCnt_;
  layoutRecursive_ = RecursiveMean_;
  unwritten_ = ~uint64_t{0};
  return true;
}

void FrameStore::FirstWrite(const uint8_t* buffer, int bit) {
  static_assert(kImages + kSlots <= 64, "one bit of unwritten_ per buffer");
  const uint64_t mask = uint64_t{1} << bit;
  if ((unwritten_ & mask) == 0) return;
  unwritten_ &= ~mask;
  PopulateForWriting(buffer, FrameSize());
}

bool FrameStore::AllocateImages(size_t size, size_t offset) {
  // One block where the three together fill a huge page: three images of
  // 640 x 480 then take one fault on their first frame where each alone
  // would take 225. Smaller images keep a block each, from the heap.
  const size_t stride = (size + 63) / 64 * 64 + 64;
  if (kMapHugeBlocks && size <= SIZE_MAX / (2 * images_.size()) && stride * images_.size() + offset >= kHugePage) {
    imageBlocks_[0] = Allocate<uint8_t>(stride * images_.size(), offset, Use::kWhole);
    if (imageBlocks_[0] == nullptr) return false;
    for (size_t i = 0; i < images_.size(); ++i) images_[i] = imageBlocks_[0].get() + i * stride;
    return true;
  }
  for (size_t i = 0; i < images_.size(); ++i) {
    imageBlocks_[i] = Allocate<uint8_t>(size, offset + 64 * i, Use::kWhole);
    if (imageBlocks_[i] == nullptr) return false;
    images_[i] = imageBlocks_[i].get();
  }
  return true;
}

void FrameStore::FreeBuffers() {
  WaitForReaders();
  ResetCycle();
  for (auto& slot : Buffers_) slot.reset();
  images_.fill(nullptr);
  for (auto& block : imageBlocks_) block.reset();
  scratch8_.reset();
  scratch16In_.reset();
  scratch16Out_.reset();
  kernels_ = nullptr;
  converter_ = nullptr;
  average_ = nullptr;
}

void FrameStore::ResetCycle() {
  WriteIndex_ = 0;
  RetryCount_ = 0;
  // With one frame per image the count stays at 1, so the recursive mean keeps
  // blending into the previous result across grabs (a running average).
  if (MeanCnt_ != 1) FrameCount_ = 0;
}

uint8_t* FrameStore::ResultBuffer() const {
  std::lock_guard lock(publish_);
  return Image(front_);
}

FrameStore::PublishedImage FrameStore::Published() const {
  std::lock_guard lock(publish_);
  ++readers_[static_cast<size_t>(front_)];
  return PublishedImage(this, front_, Image(front_));
}

FrameStore::PublishedImage::~PublishedImage() { store_->Release(index_); }

void FrameStore::Release(int index) const {
  // Notified with the lock held: a store waiting to free its buffers may be
  // destroyed as soon as it sees no reader, and with it the condition.
  std::lock_guard lock(publish_);
  --readers_[static_cast<size_t>(index)];
  released_.notify_all();
}

void FrameStore::WaitForReaders() const {
  std::unique_lock lock(publish_);
  const auto none = [&] { return std::all_of(readers_.begin(), readers_.end(), [](int n) { return n == 0; }); };
  if (none()) return;
  ++waitingForReaders_;
  released_.wait(lock, none);
  --waitingForReaders_;
}

int FrameStore::WaitingForReaders() const {
  std::lock_guard lock(publish_);
  return waitingForReaders_;
}

void FrameStore::Publish() {
  std::unique_lock lock(publish_);
  const int old = front_;
  front_ = back_;
  // The next conversion takes a buffer no host holds. One host copies at a
  // time, so one of the two is free; should two hosts hold both, the
  // conversion waits for the first copy to end rather than write under it.
  // The spare goes first: the image just replaced is the one a host has most
  // likely just copied, and writing into it would take its lines back from
  // the host's core while that core still holds them.
  released_.wait(lock, [&] { return readers_[static_cast<size_t>(old)] == 0 || readers_[static_cast<size_t>(spare_)] == 0; });
  if (readers_[static_cast<size_t>(spare_)] != 0) {
    back_ = old;
  } else {
    back_ = spare_;
    spare_ = old;
  }
  backHoldsAverage_ = false;
}

const uint8_t* FrameStore::RowIn(const uint8_t* base, int32_t y) const {
  const int32_t rows = Rows();
  if (y < 0 || y >= rows || base == nullptr) return nullptr;
  // RGB24 and RGB32 arrive as bottom-up bitmaps, and so does any image with a
  // negative height; the conversions keep memory order.
  const bool bottom_up = Height_ < 0 || IsBottomUp(FrameType_);
  const size_t row = static_cast<size_t>(bottom_up ? rows - 1 - y : y);
  return base + row * RowLength();
}

bool FrameStore::IsStaticImage(const uint8_t* buffer) const {
  const int32_t points = BlackLvlPoints_.load(std::memory_order_relaxed);
  if (points == 0) return false;
  if (Width_ == 0 || Height_ == 0) return true;
  if (points < 0) return true;
  const size_t size = FrameSize();
  const size_t step = size / static_cast<size_t>(points);
  // More points than bytes put every point on byte 0: one look is the same
  // answer, without a loop of up to 2^31 steps per frame.
  const size_t count = step == 0 ? 1 : static_cast<size_t>(points);
  for (size_t i = 0; i < count; ++i) {
    const int v = buffer[i * step];
    const int deviation = v > BlackLvlValue_ ? v - BlackLvlValue_ : BlackLvlValue_ - v;
    if (deviation > BlackLvlRange_) return false;
  }
  return true;
}

int FrameStore::ProcessFrame(const uint8_t* data, size_t length) {
  if (!IsKnown(FrameType_)) return kNoPipeline;
  // Only this thread changes which buffer is the front or the back, so it
  // reads them without the lock.
  uint8_t* back = Image(back_);
  const uint8_t* front = Image(front_);
  // A single frame per image, and the first frame of a running average, are
  // converted straight into the image; the frames of a mean, and the later
  // frames of a running average, into their slots.
  const bool direct = RecursiveMean_ != 0 ? FrameCount_ == 0 : MeanCnt_ < 2;
  uint8_t* target = direct ? back : Slot(WriteIndex_);
  // Without buffers (failed allocation) or with averaging settings changed
  // since they were allocated, the slots needed may not exist.
  if (target == nullptr || back == nullptr || front == nullptr || converter_ == nullptr ||
      MeanCnt_ != layoutMeanCnt_ || RecursiveMean_ != layoutRecursive_)
    return kNoPipeline;

  FirstWrite(back, back_);
  if (!direct) FirstWrite(target, kImages + WriteIndex_);

  FrameJob job;
  job.data = data;
  job.length = data != nullptr ? length : 0;
  job.target = target;
  job.target_size = FrameSize();
  if (direct) job.previous = front;
  job.width = Width_;
  job.rows = Rows();
  job.pixels = static_cast<size_t>(Width_) * static_cast<size_t>(job.rows);
  // Read only by the converters that demosaic, which are chosen only with both.
  if (RawMode_) job.pattern = *RawMode_;
  if (Algorithm_) job.algorithm = *Algorithm_;
  job.lut = Lut();
  job.swap_bytes = SwapBytes_ != 0;
  job.scratch8 = scratch8_.get();
  job.scratch16_in = scratch16In_.get();
  job.scratch16_out = scratch16Out_.get();
  job.kernels = kernels_;
  // A frame that could not be converted leaves the target as it was; the
  // pipeline goes on with those contents. For the image itself that is the
  // published image, not whatever the back buffer held before.
  if (!converter_(job) && direct) std::memcpy(back, front, job.target_size);

  if (IsStaticImage(target)) {
    if (RetryCount_ < INT32_MAX) ++RetryCount_;
    if (RetryCount_ < BlackLvlRetry_) return kStaticRejected;
  }
  RetryCount_ = 0;
  if (RecursiveMean_ != 0) {
    if (FrameCount_ != 0) {
      // The running average so far is the front image unless this cycle has
      // built on it in the back buffer already.
      if (!backHoldsAverage_) std::memcpy(back, front, job.target_size);
      kernels_->BlendRecursive(target, back, job.target_size, RecursiveCoeff_);
    }
    backHoldsAverage_ = true;
  }
  if (FrameCount_ < MeanCnt_) ++FrameCount_;
  if (MeanCnt_ < 2) {
    Publish();
    return kImageFinished;
  }
  if (RecursiveMean_ == 0) WriteIndex_ = WriteIndex_ + 1 >= MeanCnt_ ? 0 : WriteIndex_ + 1;
  if (FrameCount_ < MeanCnt_) return kNeedMoreFrames;
  if (RecursiveMean_ == 0) {
    const uint8_t* frames[kMaxMeanCnt];
    for (int32_t i = 0; i < MeanCnt_; ++i) frames[i] = Slot(i);
    average_(frames, job.target_size, back);
  }
  Publish();
  return kImageFinished;
}

}  // namespace kelvane::frames
