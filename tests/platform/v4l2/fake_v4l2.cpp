#include "fake_v4l2.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <numeric>
#include <tuple>
#include <utility>

namespace kelvane::v4l2::fake {

namespace {

constexpr size_t kPage = 4096;
constexpr uint32_t kMaxBuffers = VIDEO_MAX_FRAME;
constexpr uint32_t kKernelVersion = (6u << 16) | (1u << 8);

size_t PageAlign(size_t n) { return (n + kPage - 1) / kPage * kPage; }

// A name into a fixed field, cut to fit and always terminated.
void CopyName(void* field, size_t size, const std::string& name) {
  std::memset(field, 0, size);
  std::memcpy(field, name.data(), std::min(name.size(), size - 1));
}

int Fail(int error) {
  errno = error;
  return -1;
}

// The buffer type of a node's one queue.
uint32_t QueueType(uint32_t caps) {
  if (caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) return V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
  if (caps & V4L2_CAP_VIDEO_CAPTURE) return V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (caps & V4L2_CAP_META_CAPTURE) return V4L2_BUF_TYPE_META_CAPTURE;
  if (caps & V4L2_CAP_VIDEO_OUTPUT_MPLANE) return V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE;
  if (caps & V4L2_CAP_VIDEO_OUTPUT) return V4L2_BUF_TYPE_VIDEO_OUTPUT;
  return 0;
}

bool Multiplanar(uint32_t type) {
  return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE || type == V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE;
}

// Row layout of the formats the fake knows: bits per pixel of the first
// plane's rows, and the planes that follow it.
enum class Planes { kPacked, kThreeQuarter /* Y, then U and V at half size */, kTwoHalf /* Y, then interleaved UV */ };
struct Packing {
  uint32_t bits = 0;
  Planes planes = Planes::kPacked;
};

Packing PackingOf(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_SRGGB8:
    case V4L2_PIX_FMT_SGRBG8:
    case V4L2_PIX_FMT_SGBRG8:
    case V4L2_PIX_FMT_SBGGR8:
      return {8, Planes::kPacked};
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
      return {8, Planes::kThreeQuarter};
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
      return {8, Planes::kTwoHalf};
    case V4L2_PIX_FMT_Y41P:
      return {12, Planes::kPacked};
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
      return {24, Planes::kPacked};
    case V4L2_PIX_FMT_XBGR32:
    case V4L2_PIX_FMT_ABGR32:
    case V4L2_PIX_FMT_XRGB32:
    case V4L2_PIX_FMT_ARGB32:
    case V4L2_PIX_FMT_BGR32:
    case V4L2_PIX_FMT_RGB32:
      return {32, Planes::kPacked};
    default:  // YUYV, UYVY, Y16, 16-bit Bayer and the other two-byte formats
      return {16, Planes::kPacked};
  }
}

struct PlaneRows {
  uint32_t offset = 0;
  uint32_t rowBytes = 0;  // the image bytes of a row
  uint32_t stride = 0;
  uint32_t rows = 0;
};

std::vector<PlaneRows> PlaneLayout(uint32_t fourcc, uint32_t width, uint32_t height, uint32_t bytesperline,
                                   uint32_t bits) {
  const Packing packing = PackingOf(fourcc);
  const uint32_t rowBytes = (width * (bits ? bits : packing.bits) + 7) / 8;
  std::vector<PlaneRows> planes{{0, rowBytes, bytesperline, height}};
  const uint32_t lumaSize = bytesperline * height;
  if (packing.planes == Planes::kThreeQuarter) {
    const uint32_t chromaStride = bytesperline / 2;
    const uint32_t chromaRows = (height + 1) / 2;
    planes.push_back({lumaSize, (rowBytes + 1) / 2, chromaStride, chromaRows});
    planes.push_back({lumaSize + chromaStride * chromaRows, (rowBytes + 1) / 2, chromaStride, chromaRows});
  } else if (packing.planes == Planes::kTwoHalf) {
    planes.push_back({lumaSize, rowBytes, bytesperline, (height + 1) / 2});
  }
  return planes;
}

bool Compressed(const Format& format) { return format.flags & V4L2_FMT_FLAG_COMPRESSED; }

// bytesperline and sizeimage of a format at a size, as the driver reports them.
std::pair<uint32_t, uint32_t> Geometry(const Format& format, uint32_t width, uint32_t height) {
  if (Compressed(format)) return {0, format.sizeimage ? format.sizeimage : width * height * 2};
  if (width == 0 || height == 0) return {0, format.sizeimage};
  const uint32_t bits = format.bitsPerPixel ? format.bitsPerPixel : PackingOf(format.fourcc).bits;
  const uint32_t stride = (width * bits + 7) / 8 + format.strideExtra;
  const auto planes = PlaneLayout(format.fourcc, width, height, stride, format.bitsPerPixel);
  const PlaneRows& last = planes.back();
  const uint32_t computed = last.offset + last.stride * last.rows;
  return {stride, std::max(computed, format.sizeimage)};
}

double Seconds(Fraction f) { return f.denominator ? double(f.numerator) / f.denominator : 0.0; }

Fraction Reduce(uint64_t numerator, uint64_t denominator) {
  const uint64_t g = std::gcd(numerator, denominator);
  if (g > 1) numerator /= g, denominator /= g;
  return {uint32_t(numerator), uint32_t(denominator)};
}

// The offered interval nearest to the one asked for.
Fraction NearestInterval(const Intervals& offered, Fraction wanted) {
  if (!offered.discrete.empty()) {
    Fraction best = offered.discrete.front();
    for (const Fraction& f : offered.discrete) {
      if (std::fabs(Seconds(f) - Seconds(wanted)) < std::fabs(Seconds(best) - Seconds(wanted))) best = f;
    }
    return best;
  }
  if (!offered.stepwise) return {};
  const StepwiseIntervals& s = *offered.stepwise;
  const double t = std::clamp(Seconds(wanted), Seconds(s.min), Seconds(s.max));
  const double stepSeconds = Seconds(s.step);
  const uint64_t k = stepSeconds > 0 ? uint64_t(std::llround((t - Seconds(s.min)) / stepSeconds)) : 0;
  // min + k * step, over the product of the denominators.
  const uint64_t denominator = uint64_t(s.min.denominator) * s.step.denominator;
  uint64_t numerator = uint64_t(s.min.numerator) * s.step.denominator + k * s.step.numerator * s.min.denominator;
  const uint64_t maxNumerator = uint64_t(s.max.numerator) * denominator / s.max.denominator;
  if (numerator > maxNumerator && k > 0) numerator -= uint64_t(s.step.numerator) * s.min.denominator;
  return Reduce(numerator, denominator);
}

Fraction NominalInterval(const Intervals& offered) {
  if (!offered.discrete.empty()) return offered.discrete.front();
  if (offered.stepwise) return offered.stepwise->min;
  return {};
}

uint32_t StepClamp(uint32_t value, uint32_t min, uint32_t max, uint32_t step) {
  value = std::clamp(value, min, max);
  if (step > 1) {
    value = min + (value - min + step / 2) / step * step;
    if (value > max) value -= step;
  }
  return value;
}

const Intervals* IntervalsAt(const Format& format, uint32_t width, uint32_t height) {
  for (const FrameSize& size : format.sizes) {
    if (size.width == width && size.height == height) return &size.intervals;
  }
  if (format.sizes.empty() && format.stepwise) {
    const StepwiseSizes& s = *format.stepwise;
    if (width < s.minWidth || width > s.maxWidth || height < s.minHeight || height > s.maxHeight) return nullptr;
    if ((width - s.minWidth) % std::max(s.stepWidth, 1u) || (height - s.minHeight) % std::max(s.stepHeight, 1u)) {
      return nullptr;
    }
    return &s.intervals;
  }
  return nullptr;
}

}  // namespace

uint8_t PatternByte(uint32_t sequence, uint32_t plane, uint32_t x, uint32_t y) {
  const auto value = uint8_t(x + 3 * y + 17 * sequence + 101 * plane);
  return value == kPaddingMarker ? uint8_t(0x11) : value;  // the marker only ever shows padding
}

std::vector<uint8_t> DefaultFrame(const FrameRequest& request) {
  if (request.bytesperline == 0) {
    // Compressed or metadata: a short pattern between JPEG start and end markers.
    const size_t n = std::min<size_t>(request.sizeimage ? request.sizeimage : 64, 64);
    std::vector<uint8_t> frame(n);
    for (size_t i = 0; i < n; ++i) frame[i] = PatternByte(request.sequence, 0, uint32_t(i), 0);
    if (n >= 4) frame[0] = 0xFF, frame[1] = 0xD8, frame[n - 2] = 0xFF, frame[n - 1] = 0xD9;
    return frame;
  }
  const auto planes = PlaneLayout(request.fourcc, request.width, request.height, request.bytesperline, 0);
  const PlaneRows& last = planes.back();
  std::vector<uint8_t> frame(std::max<size_t>(request.sizeimage, last.offset + size_t(last.stride) * last.rows),
                             kPaddingMarker);
  for (uint32_t p = 0; p < planes.size(); ++p) {
    const PlaneRows& plane = planes[p];
    for (uint32_t y = 0; y < plane.rows; ++y) {
      uint8_t* row = frame.data() + plane.offset + size_t(y) * plane.stride;
      for (uint32_t x = 0; x < std::min(plane.rowBytes, plane.stride); ++x)
        row[x] = PatternByte(request.sequence, p, x, y);
    }
  }
  return frame;
}

// Buffer memory: page-aligned like a kernel mapping, alive while the queue or a
// mapping holds it.
struct FakeV4l2::Storage {
  Storage(size_t size, int* liveCount) : length(PageAlign(size)), live(liveCount) {
    data = static_cast<uint8_t*>(::operator new (length, std::align_val_t{kPage}));
    std::memset(data, 0, length);
    ++*live;
  }
  ~Storage() {
    ::operator delete (data, std::align_val_t{kPage});
    --*live;
  }
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  uint8_t* data = nullptr;
  size_t length = 0;  // page-aligned
  int mapped = 0;
  int* live;
};

struct FakeV4l2::Node {
  explicit Node(Device d) : device(std::move(d)), queueType(QueueType(device.deviceCaps)) {
    for (Control& c : device.controls) {
      if (!c.value) c.value = c.defaultValue;
    }
    std::sort(device.controls.begin(), device.controls.end(),
              [](const Control& a, const Control& b) { return a.id < b.id; });
    if (!device.formats.empty()) {
      const Format& f = device.formats.front();
      fourcc = f.fourcc;
      if (!f.sizes.empty()) {
        width = f.sizes.front().width, height = f.sizes.front().height;
      } else if (f.stepwise) {
        width = f.stepwise->maxWidth, height = f.stepwise->maxHeight;
      }
      UpdateGeometry();
      if (const Intervals* offered = IntervalsAt(f, width, height)) interval = NominalInterval(*offered);
    }
  }

  const Format* CurrentFormat() const {
    for (const Format& f : device.formats) {
      if (f.fourcc == fourcc) return &f;
    }
    return nullptr;
  }
  void UpdateGeometry() {
    if (const Format* f = CurrentFormat()) std::tie(bytesperline, sizeimage) = Geometry(*f, width, height);
  }
  Control* FindControl(uint32_t id) {
    for (Control& c : device.controls) {
      if (c.id == id) return &c;
    }
    return nullptr;
  }
  uint32_t FlagsOf(const Control& c) {
    uint32_t flags = c.flags;
    if (c.autoId) {
      const Control* master = FindControl(c.autoId);
      if (master && master->value != c.manualValue) flags |= V4L2_CTRL_FLAG_INACTIVE;
    }
    return flags;
  }

  struct Buffer {
    std::shared_ptr<Storage> storage;
    uint32_t offset = 0;
    bool queued = false;  // the driver's: in the incoming or the outgoing queue
    bool done = false;    // filled, in the outgoing queue
    uint32_t bytesused = 0;
    uint32_t sequence = 0;
    timeval timestamp{};
  };

  Device device;
  uint32_t queueType;
  bool gone = false;
  // The format set.
  uint32_t fourcc = 0, width = 0, height = 0, bytesperline = 0, sizeimage = 0;
  Fraction interval;
  // The queue.
  int owner = 0;  // the descriptor that allocated the buffers
  std::vector<Buffer> buffers;
  std::deque<uint32_t> queued;  // indexes, in QBUF order
  std::deque<uint32_t> done;    // filled and not yet dequeued, oldest first
  bool streaming = false;
  uint32_t sequence = 0;
  uint64_t clockUs = 1'000'000;
  int framesDelivered = 0;
  // Fault injection.
  int interruptibleCalls = 0;
  int nonBlockingDequeues = 0;
};

namespace {

// The camera's clock moves on by one frame interval.
void Advance(FakeV4l2::Node& node) {
  const Fraction step = node.interval.denominator ? node.interval : Fraction{1, 30};
  node.clockUs += uint64_t(step.numerator) * 1'000'000 / step.denominator;
}

}  // namespace

FakeV4l2::FakeV4l2() = default;

FakeV4l2::~FakeV4l2() {
  // Storage counts itself out of counters_: let it go while counters_ lives.
  mappings_.clear();
  files_.clear();
  nodes_.clear();
}

void FakeV4l2::AddDevice(Device device) {
  std::lock_guard lock(mutex_);
  const std::string path = device.path;
  nodes_[path] = std::make_shared<Node>(std::move(device));
}

bool FakeV4l2::Configure(const std::string& path, const std::function<void(Device&)>& change) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return false;
  change(it->second->device);
  return true;
}

bool FakeV4l2::Unplug(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end() || it->second->gone) return false;
  it->second->gone = true;
  it->second->streaming = false;
  return true;
}

bool FakeV4l2::Replug(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end() || !it->second->gone) return false;
  // Descriptors still open on the old device keep failing with ENODEV.
  it->second = std::make_shared<Node>(it->second->device);
  return true;
}

Counters FakeV4l2::Stats() const {
  std::lock_guard lock(mutex_);
  Counters c = counters_;
  c.openDescriptors = int(files_.size());
  c.liveMappings = 0;
  for (const auto& [address, mapping] : mappings_) c.liveMappings += mapping.count;
  return c;
}

int FakeV4l2::Calls(unsigned long request) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(request);
  return it == calls_.end() ? 0 : it->second;
}

bool FakeV4l2::AllClosed() const {
  std::lock_guard lock(mutex_);
  return files_.empty() && mappings_.empty();
}

std::optional<int32_t> FakeV4l2::ControlValue(const std::string& path, uint32_t id) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end() || it->second->gone) return std::nullopt;
  const Control* c = it->second->FindControl(id);
  return c ? c->value : std::nullopt;
}

bool FakeV4l2::Streaming(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  return it != nodes_.end() && !it->second->gone && it->second->streaming;
}

std::vector<std::string> FakeV4l2::ListNodes() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [path, node] : nodes_) {
    if (!node->gone) paths.push_back(path);
  }
  // By the number at the end: video2 before video10.
  auto split = [](const std::string& p) {
    size_t digits = p.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(p[digits - 1]))) --digits;
    const std::string number = p.substr(digits);
    return std::make_tuple(p.substr(0, digits), number.size(), number);
  };
  std::sort(paths.begin(), paths.end(),
            [&](const std::string& a, const std::string& b) { return split(a) < split(b); });
  return paths;
}

int FakeV4l2::Open(const char* path, int flags) {
  std::lock_guard lock(mutex_);
  if (path == nullptr) return Fail(EFAULT);
  auto it = nodes_.find(path);
  if (it == nodes_.end() || it->second->gone) return Fail(ENOENT);
  if (it->second->device.openFails) return Fail(it->second->device.openFails);
  const int fd = nextFd_++;
  files_[fd] = OpenFile{it->second, flags};
  return fd;
}

void FakeV4l2::ReleaseQueue(Node& node) {
  // Buffers still mapped stay alive through their mappings, as the kernel's do.
  node.streaming = false;
  node.queued.clear();
  node.done.clear();
  node.buffers.clear();
  node.owner = 0;
}

int FakeV4l2::Close(int fd) {
  std::lock_guard lock(mutex_);
  auto it = files_.find(fd);
  if (it == files_.end()) return Fail(EBADF);
  Node& node = *it->second.node;
  if (node.owner == fd) ReleaseQueue(node);
  files_.erase(it);
  return 0;
}

bool FakeV4l2::InterruptNow(Node& node) {
  const int every = node.device.eintrEvery;
  return every > 0 && ++node.interruptibleCalls % every == 0;
}

int FakeV4l2::Ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard lock(mutex_);
  ++calls_[request];
  auto it = files_.find(fd);
  if (it == files_.end()) return Fail(EBADF);
  Node& node = *it->second.node;
  if (node.gone) return Fail(ENODEV);
  if (InterruptNow(node)) return Fail(EINTR);
  if (arg == nullptr) return Fail(EFAULT);
  return DoIoctl(fd, it->second, request, arg);
}

namespace {

// S_CTRL's adjustment of a value: integers and booleans are clamped and
// stepped, a menu index outside the range is ERANGE and a skipped one EINVAL.
int Adjust(const Control& c, int32_t& value) {
  switch (c.type) {
    case V4L2_CTRL_TYPE_MENU:
      if (value < c.minimum || value > c.maximum) return ERANGE;
      if (size_t(value) >= c.menu.size() || c.menu[size_t(value)].empty()) return EINVAL;
      return 0;
    case V4L2_CTRL_TYPE_BOOLEAN:
      value = std::clamp(value, 0, 1);
      return 0;
    default: {
      const int64_t step = std::max(c.step, 1);
      int64_t v = std::clamp<int64_t>(value, c.minimum, c.maximum);
      v = c.minimum + (v - c.minimum + step / 2) / step * step;
      if (v > c.maximum) v -= step;
      value = int32_t(v);
      return 0;
    }
  }
}

}  // namespace

void FakeV4l2::Fill(Node& node, uint32_t index) {
  Node::Buffer& buffer = node.buffers[index];
  const FrameRequest frame{node.fourcc, node.width, node.height, node.bytesperline, node.sizeimage, node.sequence};
  const std::vector<uint8_t> bytes = node.device.producer ? node.device.producer(frame) : DefaultFrame(frame);
  const size_t used = std::min<size_t>(bytes.size(), node.sizeimage);
  std::memcpy(buffer.storage->data, bytes.data(), used);
  buffer.bytesused = uint32_t(used);
  buffer.sequence = node.sequence++;
  buffer.timestamp = {time_t(node.clockUs / 1'000'000), suseconds_t(node.clockUs % 1'000'000)};
  Advance(node);
}

int FakeV4l2::Capture(const std::string& path, int n) {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(path);
  if (it == nodes_.end()) return 0;
  Node& node = *it->second;
  if (node.gone || !node.streaming || node.device.stalled) return 0;
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (node.queued.empty()) {  // no buffer to capture into: the frame is lost
      ++node.sequence;
      Advance(node);
      continue;
    }
    const uint32_t index = node.queued.front();
    node.queued.pop_front();
    Fill(node, index);
    node.buffers[index].done = true;
    node.done.push_back(index);
    ++kept;
  }
  return kept;
}

int FakeV4l2::DoIoctl(int fd, OpenFile& file, unsigned long request, void* arg) {
  Node& node = *file.node;
  Device& device = node.device;
  const bool ownedByOther = node.owner != 0 && node.owner != fd;

  auto fillBuffer = [&](v4l2_buffer* b, uint32_t index) -> int {
    const Node::Buffer& buffer = node.buffers[index];
    if (Multiplanar(node.queueType) && (b->m.planes == nullptr || b->length < 1)) return EINVAL;
    v4l2_plane* planes = Multiplanar(node.queueType) ? b->m.planes : nullptr;
    std::memset(b, 0, sizeof *b);
    b->index = index;
    b->type = node.queueType;
    b->memory = V4L2_MEMORY_MMAP;
    b->field = V4L2_FIELD_NONE;
    b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    if (buffer.done) {
      b->flags |= V4L2_BUF_FLAG_DONE;
    } else if (buffer.queued) {
      b->flags |= V4L2_BUF_FLAG_QUEUED;
    }
    if (buffer.storage->mapped) b->flags |= V4L2_BUF_FLAG_MAPPED;
    b->sequence = buffer.sequence;
    b->timestamp = buffer.timestamp;
    if (planes) {
      std::memset(planes, 0, sizeof *planes);
      planes[0].bytesused = buffer.bytesused;
      planes[0].length = node.sizeimage;
      planes[0].m.mem_offset = buffer.offset;
      b->m.planes = planes;
      b->length = 1;
    } else {
      b->bytesused = buffer.bytesused;
      b->length = node.sizeimage;
      b->m.offset = buffer.offset;
    }
    return 0;
  };

  // S_FMT and TRY_FMT: the nearest format the device offers.
  auto negotiate = [&](v4l2_format* f, bool set) -> int {
    if (f->type != node.queueType || device.formats.empty()) return EINVAL;
    if (set && (device.busy || ownedByOther || !node.buffers.empty())) return EBUSY;
    const bool mplane = Multiplanar(node.queueType);
    const bool meta = node.queueType == V4L2_BUF_TYPE_META_CAPTURE;
    const uint32_t wanted = meta ? f->fmt.meta.dataformat : mplane ? f->fmt.pix_mp.pixelformat : f->fmt.pix.pixelformat;
    uint32_t width = mplane ? f->fmt.pix_mp.width : f->fmt.pix.width;
    uint32_t height = mplane ? f->fmt.pix_mp.height : f->fmt.pix.height;
    const Format* format = &device.formats.front();
    for (const Format& candidate : device.formats) {
      if (candidate.fourcc == wanted) format = &candidate;
    }
    if (meta) {
      width = height = 0;
    } else if (!format->sizes.empty()) {
      // Smallest difference in area, as a webcam driver picks.
      const FrameSize* best = nullptr;
      uint64_t bestDistance = UINT64_MAX;
      for (const FrameSize& size : format->sizes) {
        const uint64_t overlap = uint64_t(std::min(width, size.width)) * std::min(height, size.height);
        const uint64_t distance = uint64_t(width) * height + uint64_t(size.width) * size.height - 2 * overlap;
        if (distance < bestDistance) best = &size, bestDistance = distance;
      }
      width = best->width, height = best->height;
    } else if (format->stepwise) {
      const StepwiseSizes& s = *format->stepwise;
      width = StepClamp(width, s.minWidth, s.maxWidth, s.stepWidth);
      height = StepClamp(height, s.minHeight, s.maxHeight, s.stepHeight);
    }
    const auto [stride, size] = Geometry(*format, width, height);
    std::memset(&f->fmt, 0, sizeof f->fmt);
    if (meta) {
      f->fmt.meta.dataformat = format->fourcc;
      f->fmt.meta.buffersize = size;
    } else if (mplane) {
      v4l2_pix_format_mplane& p = f->fmt.pix_mp;
      p.width = width, p.height = height, p.pixelformat = format->fourcc;
      p.field = V4L2_FIELD_NONE;
      p.colorspace = Compressed(*format) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
      p.num_planes = 1;
      p.plane_fmt[0].bytesperline = stride;
      p.plane_fmt[0].sizeimage = size;
    } else {
      v4l2_pix_format& p = f->fmt.pix;
      p.width = width, p.height = height, p.pixelformat = format->fourcc;
      p.field = V4L2_FIELD_NONE;
      p.colorspace = Compressed(*format) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
      p.bytesperline = stride;
      p.sizeimage = size;
    }
    if (set) {
      node.fourcc = format->fourcc, node.width = width, node.height = height;
      node.bytesperline = stride, node.sizeimage = size;
      // Keep the frame rate when the new size offers it, else its nominal one.
      const Intervals* offered = IntervalsAt(*format, width, height);
      if (offered) {
        const Fraction nearest = NearestInterval(*offered, node.interval);
        node.interval = nearest == node.interval ? nearest : NominalInterval(*offered);
      } else {
        node.interval = {};
      }
    }
    return 0;
  };

  auto controlError = [&](uint32_t id, int32_t& value, bool set) -> int {
    Control* c = node.FindControl(id);
    if (c == nullptr || (c->flags & V4L2_CTRL_FLAG_DISABLED)) return EINVAL;
    if (!set) return 0;
    if (c->flags & V4L2_CTRL_FLAG_READ_ONLY) return EACCES;
    if (c->flags & V4L2_CTRL_FLAG_GRABBED) return EBUSY;
    return Adjust(*c, value);
  };

  int error = 0;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* cap = static_cast<v4l2_capability*>(arg);
      std::memset(cap, 0, sizeof *cap);
      CopyName(cap->driver, sizeof cap->driver, device.driver);
      CopyName(cap->card, sizeof cap->card, device.card);
      CopyName(cap->bus_info, sizeof cap->bus_info, device.busInfo);
      cap->version = kKernelVersion;
      cap->device_caps = device.deviceCaps;
      cap->capabilities = (device.physicalCaps ? device.physicalCaps : device.deviceCaps) | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* e = static_cast<v4l2_fmtdesc*>(arg);
      if (e->type != node.queueType || e->index >= device.formats.size()) return Fail(EINVAL);
      const Format& f = device.formats[e->index];
      const uint32_t index = e->index, type = e->type;
      std::memset(e, 0, sizeof *e);
      e->index = index, e->type = type;
      e->flags = f.flags;
      e->pixelformat = f.fourcc;
      CopyName(e->description, sizeof e->description, f.description);
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* e = static_cast<v4l2_frmsizeenum*>(arg);
      const Format* format = nullptr;
      for (const Format& f : device.formats) {
        if (f.fourcc == e->pixel_format) format = &f;
      }
      if (format == nullptr) return Fail(EINVAL);
      const uint32_t index = e->index, fourcc = e->pixel_format;
      if (!format->sizes.empty()) {
        if (index >= format->sizes.size()) return Fail(EINVAL);
        std::memset(e, 0, sizeof *e);
        e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        e->discrete = {format->sizes[index].width, format->sizes[index].height};
      } else if (format->stepwise && index == 0) {
        const StepwiseSizes& s = *format->stepwise;
        std::memset(e, 0, sizeof *e);
        e->type = V4L2_FRMSIZE_TYPE_STEPWISE;
        e->stepwise = {s.minWidth, s.maxWidth, s.stepWidth, s.minHeight, s.maxHeight, s.stepHeight};
      } else {
        return Fail(EINVAL);
      }
      e->index = index, e->pixel_format = fourcc;
      return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* e = static_cast<v4l2_frmivalenum*>(arg);
      const Intervals* offered = nullptr;
      for (const Format& f : device.formats) {
        if (f.fourcc == e->pixel_format) offered = IntervalsAt(f, e->width, e->height);
      }
      if (offered == nullptr) return Fail(EINVAL);
      const uint32_t index = e->index, fourcc = e->pixel_format, width = e->width, height = e->height;
      if (!offered->discrete.empty()) {
        if (index >= offered->discrete.size()) return Fail(EINVAL);
        std::memset(e, 0, sizeof *e);
        e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e->discrete = {offered->discrete[index].numerator, offered->discrete[index].denominator};
      } else if (offered->stepwise && index == 0) {
        const StepwiseIntervals& s = *offered->stepwise;
        std::memset(e, 0, sizeof *e);
        e->type = V4L2_FRMIVAL_TYPE_STEPWISE;
        e->stepwise.min = {s.min.numerator, s.min.denominator};
        e->stepwise.max = {s.max.numerator, s.max.denominator};
        e->stepwise.step = {s.step.numerator, s.step.denominator};
      } else {
        return Fail(EINVAL);
      }
      e->index = index, e->pixel_format = fourcc, e->width = width, e->height = height;
      return 0;
    }
    case VIDIOC_G_FMT: {
      auto* f = static_cast<v4l2_format*>(arg);
      if (f->type != node.queueType || device.formats.empty()) return Fail(EINVAL);
      // The format set, reported through the same path TRY_FMT takes.
      const uint32_t type = f->type;
      std::memset(f, 0, sizeof *f);
      f->type = type;
      if (type == V4L2_BUF_TYPE_META_CAPTURE) {
        f->fmt.meta.dataformat = node.fourcc;
      } else if (Multiplanar(type)) {
        f->fmt.pix_mp.pixelformat = node.fourcc, f->fmt.pix_mp.width = node.width, f->fmt.pix_mp.height = node.height;
      } else {
        f->fmt.pix.pixelformat = node.fourcc, f->fmt.pix.width = node.width, f->fmt.pix.height = node.height;
      }
      error = negotiate(f, false);
      break;
    }
    case VIDIOC_S_FMT:
      error = negotiate(static_cast<v4l2_format*>(arg), true);
      break;
    case VIDIOC_TRY_FMT:
      error = negotiate(static_cast<v4l2_format*>(arg), false);
      break;
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* p = static_cast<v4l2_streamparm*>(arg);
      const bool capture =
          node.queueType == V4L2_BUF_TYPE_VIDEO_CAPTURE || node.queueType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
      if (p->type != node.queueType || !capture) return Fail(EINVAL);
      const Format* format = node.CurrentFormat();
      const Intervals* offered = format ? IntervalsAt(*format, node.width, node.height) : nullptr;
      if (request == VIDIOC_S_PARM) {
        if (node.streaming) return Fail(EBUSY);
        if (offered) {
          const v4l2_fract wanted = p->parm.capture.timeperframe;
          node.interval = wanted.numerator == 0 || wanted.denominator == 0
                              ? NominalInterval(*offered)
                              : NearestInterval(*offered, {wanted.numerator, wanted.denominator});
        }
      }
      const uint32_t type = p->type;
      std::memset(p, 0, sizeof *p);
      p->type = type;
      if (offered) {
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe = {node.interval.numerator, node.interval.denominator};
      }
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto* r = static_cast<v4l2_requestbuffers*>(arg);
      if (r->type != node.queueType || r->memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
      if (device.busy || ownedByOther || node.streaming) return Fail(EBUSY);
      for (const Node::Buffer& b : node.buffers) {
        if (b.storage->mapped) return Fail(EBUSY);  // no V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS
      }
      ReleaseQueue(node);
      const uint32_t count = r->count == 0 ? 0 : std::clamp(r->count, device.minBuffers, kMaxBuffers);
      size_t offset = 0;
      for (uint32_t i = 0; i < count; ++i) {
        Node::Buffer b;
        b.storage = std::make_shared<Storage>(std::max<uint32_t>(node.sizeimage, 1), &counters_.buffersAllocated);
        b.offset = uint32_t(offset);
        offset += b.storage->length;
        node.buffers.push_back(std::move(b));
      }
      if (count > 0) node.owner = fd;
      r->count = count;
      r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
      r->flags = 0;
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      auto* b = static_cast<v4l2_buffer*>(arg);
      if (b->type != node.queueType || b->index >= node.buffers.size()) return Fail(EINVAL);
      error = fillBuffer(b, b->index);
      break;
    }
    case VIDIOC_QBUF: {
      auto* b = static_cast<v4l2_buffer*>(arg);
      if (ownedByOther) return Fail(EBUSY);
      if (b->type != node.queueType || b->memory != V4L2_MEMORY_MMAP || b->index >= node.buffers.size()) {
        return Fail(EINVAL);
      }
      if (Multiplanar(node.queueType) && (b->m.planes == nullptr || b->length < 1)) return Fail(EINVAL);
      Node::Buffer& buffer = node.buffers[b->index];
      if (buffer.queued) return Fail(EINVAL);
      buffer.queued = true;
      node.queued.push_back(b->index);
      error = fillBuffer(b, b->index);
      break;
    }
    case VIDIOC_DQBUF: {
      auto* b = static_cast<v4l2_buffer*>(arg);
      if (ownedByOther) return Fail(EBUSY);
      if (b->type != node.queueType || b->memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
      if (Multiplanar(node.queueType) && (b->m.planes == nullptr || b->length < 1)) return Fail(EINVAL);
      if (!node.streaming) return Fail(EINVAL);
      const bool nonBlocking = file.flags & O_NONBLOCK;
      if (nonBlocking && device.eagainEvery > 0 && ++node.nonBlockingDequeues % device.eagainEvery == 0) {
        return Fail(EAGAIN);
      }
      uint32_t index;
      if (!node.done.empty()) {  // the oldest frame the camera captured meanwhile
        index = node.done.front();
        node.done.pop_front();
      } else {
        if (node.queued.empty() || device.stalled) {
          if (nonBlocking) return Fail(EAGAIN);
          // A driver would wait here for ever; the fake answers as if a signal came.
          ++counters_.stalledWaits;
          return Fail(EINTR);
        }
        index = node.queued.front();  // captured now, for the one who asks
        node.queued.pop_front();
        Fill(node, index);
      }
      Node::Buffer& buffer = node.buffers[index];
      buffer.queued = false;
      buffer.done = false;
      ++counters_.framesDelivered;
      if (++node.framesDelivered == device.unplugAfterFrames) {
        node.gone = true;
        node.streaming = false;
      }
      error = fillBuffer(b, index);
      break;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      const auto* type = static_cast<const int*>(arg);
      if (uint32_t(*type) != node.queueType) return Fail(EINVAL);
      if (ownedByOther || (request == VIDIOC_STREAMON && device.busy)) return Fail(EBUSY);
      if (request == VIDIOC_STREAMON) {
        if (node.buffers.empty()) return Fail(EINVAL);
        if (!node.streaming) node.streaming = true, node.sequence = 0;
      } else {
        node.streaming = false;
        node.queued.clear();
        node.done.clear();
        for (Node::Buffer& b : node.buffers) b.queued = b.done = false;
      }
      return 0;
    }
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL: {
      uint32_t& idField = request == VIDIOC_QUERYCTRL ? static_cast<v4l2_queryctrl*>(arg)->id
                                                      : static_cast<v4l2_query_ext_ctrl*>(arg)->id;
      const uint32_t id = idField & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
      const Control* found = nullptr;
      if (idField & V4L2_CTRL_FLAG_NEXT_CTRL) {
        for (const Control& c : device.controls) {  // sorted by id
          if (c.id > id) {
            found = &c;
            break;
          }
        }
      } else if (!(idField & V4L2_CTRL_FLAG_NEXT_COMPOUND)) {  // the fake has no compound controls
        found = node.FindControl(id);
      }
      if (found == nullptr) return Fail(EINVAL);
      const uint32_t flags = node.FlagsOf(*found);
      if (request == VIDIOC_QUERYCTRL) {
        auto* q = static_cast<v4l2_queryctrl*>(arg);
        std::memset(q, 0, sizeof *q);
        q->id = found->id, q->type = found->type;
        CopyName(q->name, sizeof q->name, found->name);
        q->minimum = found->minimum, q->maximum = found->maximum, q->step = found->step;
        q->default_value = found->defaultValue, q->flags = flags;
      } else {
        auto* q = static_cast<v4l2_query_ext_ctrl*>(arg);
        std::memset(q, 0, sizeof *q);
        q->id = found->id, q->type = found->type;
        CopyName(q->name, sizeof q->name, found->name);
        q->minimum = found->minimum, q->maximum = found->maximum, q->step = uint64_t(found->step);
        q->default_value = found->defaultValue, q->flags = flags;
        q->elem_size = sizeof(int32_t), q->elems = 1;
      }
      return 0;
    }
    case VIDIOC_QUERYMENU: {
      auto* m = static_cast<v4l2_querymenu*>(arg);
      const Control* c = node.FindControl(m->id);
      if (c == nullptr || c->type != V4L2_CTRL_TYPE_MENU) return Fail(EINVAL);
      const int64_t index = m->index;
      if (index < c->minimum || index > c->maximum || size_t(index) >= c->menu.size() ||
          c->menu[size_t(index)].empty()) {
        return Fail(EINVAL);
      }
      const uint32_t id = m->id, i = m->index;
      std::memset(m, 0, sizeof *m);
      m->id = id, m->index = i;
      CopyName(m->name, sizeof m->name, c->menu[size_t(index)]);
      return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
      auto* c = static_cast<v4l2_control*>(arg);
      int32_t value = c->value;
      const bool set = request == VIDIOC_S_CTRL;
      error = controlError(c->id, value, set);
      if (error) break;
      Control* control = node.FindControl(c->id);
      if (set) {
        control->value = value;  // S_CTRL does not return the value it took
      } else {
        c->value = *control->value;
      }
      return 0;
    }
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: {
      auto* e = static_cast<v4l2_ext_controls*>(arg);
      const bool get = request == VIDIOC_G_EXT_CTRLS;
      const bool defaults = e->which == V4L2_CTRL_WHICH_DEF_VAL;
      if (e->which == V4L2_CTRL_WHICH_REQUEST_VAL || (defaults && !get)) {
        e->error_idx = e->count;
        return Fail(EINVAL);
      }
      if (e->count == 0) return 0;
      if (e->controls == nullptr) return Fail(EFAULT);
      // Everything is checked before anything changes; a failed set names
      // no control (error_idx == count): nothing was set.
      std::vector<int32_t> values(e->count);
      for (uint32_t i = 0; i < e->count; ++i) {
        const v4l2_ext_control& c = e->controls[i];
        values[i] = c.value;
        error = 0;
        if (e->which != V4L2_CTRL_WHICH_CUR_VAL && !defaults && V4L2_CTRL_ID2WHICH(c.id) != e->which) {
          error = EINVAL;
        } else {
          error = controlError(c.id, values[i], !get);
        }
        if (error) {
          e->error_idx = request == VIDIOC_S_EXT_CTRLS ? e->count : i;
          return Fail(error);
        }
      }
      for (uint32_t i = 0; i < e->count; ++i) {
        Control* control = node.FindControl(e->controls[i].id);
        if (get) {
          e->controls[i].value = defaults ? control->defaultValue : *control->value;
        } else {
          if (request == VIDIOC_S_EXT_CTRLS) control->value = values[i];
          e->controls[i].value = values[i];
        }
      }
      return 0;
    }
    default:
      return Fail(ENOTTY);
  }
  return error ? Fail(error) : 0;
}

void* FakeV4l2::Mmap(void*, size_t length, int protection, int flags, int fd, off_t offset) {
  std::lock_guard lock(mutex_);
  auto fail = [](int error) {
    errno = error;
    return MAP_FAILED;
  };
  auto it = files_.find(fd);
  if (it == files_.end()) return fail(EBADF);
  Node& node = *it->second.node;
  if (node.gone) return fail(ENODEV);
  if (length == 0 || !(flags & MAP_SHARED) || !(protection & PROT_READ)) return fail(EINVAL);
  for (const Node::Buffer& b : node.buffers) {
    if (off_t(b.offset) != offset) continue;
    if (length > b.storage->length) return fail(EINVAL);  // it would reach past the buffer
    Mapping& mapping = mappings_[b.storage->data];
    mapping.storage = b.storage;
    mapping.length = length;
    ++mapping.count;
    ++b.storage->mapped;
    return static_cast<void*>(b.storage->data);
  }
  return fail(EINVAL);  // no buffer at this offset
}

int FakeV4l2::Munmap(void* address, size_t length) {
  std::lock_guard lock(mutex_);
  auto it = mappings_.find(address);
  if (it == mappings_.end() || PageAlign(length) != PageAlign(it->second.length)) {
    // munmap(2) itself would accept any range; one the fake did not map is a
    // fault of the caller's.
    ++counters_.badUnmaps;
    return Fail(EINVAL);
  }
  --it->second.storage->mapped;
  if (--it->second.count == 0) mappings_.erase(it);
  return 0;
}

int FakeV4l2::Poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  std::lock_guard lock(mutex_);
  ++counters_.pollCalls;
  if (count > 0 && fds == nullptr) return Fail(EFAULT);
  for (nfds_t i = 0; i < count; ++i) {
    auto it = files_.find(fds[i].fd);
    if (it != files_.end() && !it->second.node->gone && InterruptNow(*it->second.node)) return Fail(EINTR);
  }
  int ready = 0;
  for (nfds_t i = 0; i < count; ++i) {
    pollfd& p = fds[i];
    p.revents = 0;
    if (p.fd < 0) continue;
    auto it = files_.find(p.fd);
    if (it == files_.end()) {
      p.revents = POLLNVAL;
    } else {
      const Node& node = *it->second.node;
      if (node.gone) {
        p.revents = POLLERR | POLLHUP;
      } else if (!node.streaming || (node.queued.empty() && node.done.empty())) {
        p.revents = POLLERR;  // nothing to wait for
      } else if (!node.done.empty() || (!node.device.stalled && (timeoutMs != 0 || node.device.alwaysReady))) {
        // A filled buffer, or one the camera fills within the wait.
        p.revents = short(p.events & (POLLIN | POLLRDNORM));
      }
    }
    if (p.revents) ++ready;
  }
  if (ready == 0) ++counters_.pollTimeouts;  // a driver would wait out the timeout
  return ready;
}

}  // namespace kelvane::v4l2::fake
