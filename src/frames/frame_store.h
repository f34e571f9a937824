// The image object of one open camera: its pixel type and geometry, the output
// depth the host asked for, the processing settings of the frame pipeline, and
// the buffers that delivered frames are converted into and that the finished
// image waits in until the host copies it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "frames/average.h"
#include "frames/convert.h"
#include "frames/kernels.h"
#include "platform/com.h"

namespace kelvane::frames {

// FrameType of a media subtype, or none when the pipeline has none for it.
std::optional<FrameType> FrameTypeForSubtype(const platform::GUID& subtype);

// Results of ProcessFrame.
enum ProcessResult : int {
  kNoPipeline = 0,     // no pipeline for this FrameType, or the store has no buffers
  kStaticRejected = 1, // frozen image rejected; take the next frame
  kNeedMoreFrames = 2, // averaging cycle not complete
  kImageFinished = 3,
};

// Processing settings copied from the camera's settings when its first port opens.
struct FrameSettings {
  int32_t MeanCnt = 1;
  int32_t RecursiveMean = 0;
  int32_t RecursiveCoeff = 80;
  int32_t BlackLvlPoints = 0;
  uint8_t BlackLvlValue = 0;
  uint8_t BlackLvlRange = 0;
  int32_t BlackLvlRetry = 3;
  int32_t RawMode = 0;
  int32_t Algorithm = 2;
};

// Frame memory comes zeroed, and for large frames zeroed lazily by the
// operating system rather than by a pass over every byte: from calloc, or
// for blocks of megabytes mapped in huge pages. A buffer may start `offset`
// bytes into its block (see AllocateBuffers).
struct FreeMemory {
  size_t offset = 0;
  size_t mapped = 0;  // the block's mapped length; 0 when it came from calloc
  void operator()(void* p) const;
};
template <typename T>
using FrameMemory = std::unique_ptr<T[], FreeMemory>;

class FrameStore {
 public:
  static constexpr int kSlots = kMaxMeanCnt + 1;

  // Limits on the memory of one store, so that a hostile geometry or averaging
  // depth is refused instead of taking the machine's memory (a 16384 x 16384
  // colour camera would take 3 GB, 33 averaging slots of a large image more).
  // No single buffer, an image slot or a working buffer of the conversion, may
  // pass 256 MiB (a 16384 x 16384 grey image or an 8192 x 8192 colour one
  // fits); all buffers of the store together may not pass 1 GiB.
  static constexpr uint64_t kMaxBufferBytes = uint64_t{1} << 28;
  static constexpr uint64_t kMaxStoreBytes = uint64_t{1} << 30;

  // Bytes a configuration takes, counted in 64 bits and saturating at
  // UINT64_MAX: its largest single buffer and all its buffers together.
  struct BufferNeeds {
    uint64_t largest = 0;
    uint64_t total = 0;
    uint64_t slots = 0;  // image slots, each of `frame` bytes
    uint64_t frame = 0;
  };

  FrameStore(FrameType frameType, int32_t width, int32_t height, int32_t lut);
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // Plain stores, no reallocation; SetColorOutput afterwards allocates for them.
  // MeanCnt is clamped to 1..32 (it indexes the slot table), a negative
  // BlackLvlPoints switches the frozen-image test off, a RawMode outside 0..4
  // means the data is not demosaiced, and with an Algorithm outside 0..4 every
  // frame that would be demosaiced leaves the image as it was.
  void ApplySettings(const FrameSettings& s);

  // Chooses the output depth, then reallocates every buffer (the current image
  // and any averaging state are lost) and chooses the kernels. A depth whose
  // buffers would pass the limits above is refused before anything changes:
  // false, and the store keeps its depth and buffers. Otherwise false means
  // the geometry is unusable or memory could not be had; the store then holds
  // no buffers and ProcessFrame refuses every frame.
  bool SetColorOutput(bool color);
  // Allocates for the current depth and settings; false without allocating
  // anything when they would pass the limits.
  bool AllocateBuffers();
  void FreeBuffers();
  void ResetCycle();

  // The buffers SetColorOutput (color) would allocate with the current settings.
  BufferNeeds NeedsFor(bool color) const;
  // Empty when those buffers stay within the limits, else a sentence that says
  // which limit they pass and by how much (for the host's message sink).
  std::string LimitProblem(bool color) const;

  // Both 0 for an unusable geometry.
  uint32_t FrameSize() const;
  uint32_t RowLength() const;

  // The finished image as the host reads it. The store keeps three image
  // buffers: the published one, the one the streaming thread converts into,
  // and a spare. Holding a PublishedImage keeps its buffer out of the
  // conversion's reach, so a host copying the image and the streaming thread
  // converting the next frame never wait on each other, and the host never
  // sees a half-converted image: a newer image is published beside the held
  // one. The buffers are freed or replaced (SetColorOutput, the destructor)
  // only once no PublishedImage holds one, so a host may copy without the
  // camera's gate; hold it only for the copy.
  class PublishedImage {
   public:
    PublishedImage(const PublishedImage&) = delete;
    PublishedImage& operator=(const PublishedImage&) = delete;
    ~PublishedImage();
    // Memory order (bottom row first for bitmaps), null without buffers.
    const uint8_t* Data() const { return data_; }
    // Output row y (0 = top row as the host sees it), or null outside the image.
    const uint8_t* Row(int32_t y) const { return store_->RowIn(data_, y); }

   private:
    friend class FrameStore;
    PublishedImage(const FrameStore* store, int index, const uint8_t* data)
        : store_(store), index_(index), data_(data) {}
    const FrameStore* store_;
    int index_;
    const uint8_t* data_;
  };
  PublishedImage Published() const;
  // Calls waiting for the held images to be let go before their buffers go
  // (for the tests).
  int WaitingForReaders() const;

  // The published image without holding it: only while no frame is converted
  // (the tests, or with the streaming thread's lock held).
  uint8_t* ResultBuffer() const;
  uint8_t* Row(int32_t y) const { return const_cast<uint8_t*>(RowIn(ResultBuffer(), y)); }

  // Runs the frame pipeline on one delivered frame; returns a ProcessResult.
  int ProcessFrame(const uint8_t* data, size_t length);

  bool IsStaticImage(const uint8_t* buffer) const;

  // "LUT" may be written by the host while frames stream, hence atomic.
  void SetLut(int32_t lut) { Lut_.store(lut, std::memory_order_relaxed); }

  int32_t MeanCnt() const { return MeanCnt_; }
  int32_t RecursiveMean() const { return RecursiveMean_; }
  int32_t RecursiveCoeff() const { return RecursiveCoeff_; }
  int32_t BlackLvlPoints() const { return BlackLvlPoints_.load(std::memory_order_relaxed); }
  // An externally triggered camera runs without the frozen-image test; the host
  // may switch it off while frames are converted.
  void DisableStaticTest() { BlackLvlPoints_.store(0, std::memory_order_relaxed); }
  uint8_t BlackLvlValue() const { return BlackLvlValue_; }
  uint8_t BlackLvlRange() const { return BlackLvlRange_; }
  int32_t RetryCount() const { return RetryCount_; }
  int32_t BlackLvlRetry() const { return BlackLvlRetry_; }
  // The settings' RawMode as applied: 0 when raw data is not demosaiced.
  int32_t RawMode() const { return RawMode_ ? static_cast<int32_t>(*RawMode_) : 0; }
  std::optional<BayerPattern> Pattern() const { return RawMode_; }
  std::optional<BayerAlgorithm> Algorithm() const { return Algorithm_; }
  int32_t Lut() const { return Lut_.load(std::memory_order_relaxed); }
  int32_t SwapBytes() const { return SwapBytes_; }
  FrameType Type() const { return FrameType_; }
  int32_t Width() const { return Width_; }
  int32_t Height() const { return Height_; }
  uint8_t PixelBits() const { return PixelBits_; }
  int32_t WriteIndex() const { return WriteIndex_; }
  int32_t FrameCount() const { return FrameCount_; }
  const uint8_t* Buffer(int slot) const {
    return slot >= 0 && slot < kSlots ? Buffers_[static_cast<size_t>(slot)].get() : nullptr;
  }
  // Rows of the image: |Height|.
  int32_t Rows() const;
  // The kernel set the store was configured with (null without buffers).
  const Kernels* KernelSet() const { return kernels_; }

 private:
  static constexpr int kImages = 3;
  // Before a buffer's first write since it was allocated: the image buffer
  // `bit` (0..kImages-1) or the slot `bit` - kImages.
  void FirstWrite(const uint8_t* buffer, int bit);
  const uint8_t* RowIn(const uint8_t* base, int32_t y) const;
  uint8_t* Image(int index) const { return images_[static_cast<size_t>(index)]; }
  // The three image buffers of `size` bytes, the first `offset` bytes into
  // its block and each further one a cache line further in. False when the
  // memory cannot be had.
  bool AllocateImages(size_t size, size_t offset);
  // Makes the image in the conversion's buffer the published one, and gives
  // the conversion a buffer no host is reading. Streaming thread only.
  void Publish();
  void Release(int index) const;
  // Returns once no PublishedImage holds a buffer.
  void WaitForReaders() const;
  uint8_t* Slot(int32_t slot) const {
    return slot >= 0 && slot < kSlots ? Buffers_[static_cast<size_t>(slot)].get() : nullptr;
  }
  bool GeometryUsable() const;
  uint8_t DepthFor(bool color) const;
  BufferNeeds NeedsForDepth(uint8_t bits) const;
  static bool WithinLimits(const BufferNeeds& needs);
  void ChooseKernels();

  int32_t MeanCnt_ = 1;
  int32_t RecursiveMean_ = 0;
  int32_t RecursiveCoeff_ = 80;
  std::atomic<int32_t> BlackLvlPoints_{0};
  uint8_t BlackLvlValue_ = 0;
  uint8_t BlackLvlRange_ = 0;
  int32_t RetryCount_ = 0;
  int32_t BlackLvlRetry_ = 3;
  // The settings' RawMode and Algorithm, checked once where they come in: no
  // pattern, raw data is not demosaiced; no algorithm, a converter that would
  // demosaic refuses every frame.
  std::optional<BayerPattern> RawMode_;
  std::optional<BayerAlgorithm> Algorithm_ = BayerAlgorithm::Bilinear;
  std::atomic<int32_t> Lut_;
  int32_t SwapBytes_ = 1;
  FrameType FrameType_;
  int32_t Width_;
  int32_t Height_;
  uint8_t PixelBits_ = 8;
  int32_t WriteIndex_ = 0;
  int32_t FrameCount_ = 0;
  // Averaging slots: the frames of a mean (0..MeanCnt-1), or a running
  // average's newest frame (0). A single frame per image needs none.
  std::array<FrameMemory<uint8_t>, kSlots> Buffers_{};
  // The image buffers, by role. front_ is published; back_ is the streaming
  // thread's to write; spare_ is neither. Only the streaming thread (and a
  // host call that reallocates, with the streaming thread's lock held) changes
  // the roles, under publish_; hosts pin the front under publish_.
  std::array<uint8_t*, kImages> images_{};
  // What holds the image buffers: one block for all three where that block
  // is mapped in huge pages, otherwise a block each (and always in the
  // address sanitizer's builds, so that it sees past every image's end).
  std::array<FrameMemory<uint8_t>, kImages> imageBlocks_{};
  int front_ = 0;
  int back_ = 1;
  int spare_ = 2;
  // Which buffers have not been written since they were allocated (FirstWrite).
  uint64_t unwritten_ = 0;
  // A running average built in back_ since the last publication (otherwise
  // it is the front image).
  bool backHoldsAverage_ = false;
  mutable std::mutex publish_;
  mutable std::condition_variable released_;
  mutable std::array<int, kImages> readers_{};
  mutable int waitingForReaders_ = 0;

  // Chosen once per configuration.
  const Kernels* kernels_ = nullptr;
  FrameConverter converter_ = nullptr;
  AverageKernel average_ = nullptr;
  // The averaging layout the slots were allocated for.
  int32_t layoutMeanCnt_ = 0;
  int32_t layoutRecursive_ = 0;
  // Scratch memory of the Bayer and 16-bit paths, sized per configuration.
  FrameMemory<uint8_t> scratch8_;
  FrameMemory<uint16_t> scratch16In_;
  FrameMemory<uint16_t> scratch16Out_;
};

}  // namespace kelvane::frames
