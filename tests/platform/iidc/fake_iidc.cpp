#include "fake_iidc.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

namespace kelvane::iidc::fake {

namespace {

// Where the camera's command registers sit in the bus's register space (the
// library counts the control-register offsets from here), and the quadlet
// offsets the inquiry registers give are counted from the space's base.
constexpr uint32_t kCommandBase = 0xF00000;
constexpr uint64_t kAdvancedArea = 0x3000;
constexpr uint64_t kDecodedEnd = 0x1000;  // below this, undecoded addresses read 0
constexpr int kFirstFd = 7000;
constexpr uint64_t kClockStartUs = 1'000'000;

uint32_t Bit(int n) { return 1u << (31 - n); }  // IIDC bit n, from the most significant

bool IsFeature(dc1394feature_t f) { return f >= DC1394_FEATURE_MIN && f <= DC1394_FEATURE_MAX; }
int FeatureIndex(dc1394feature_t f) { return int(f) - DC1394_FEATURE_MIN; }

struct FixedInfo {
  uint32_t width, height;
  dc1394color_coding_t coding;
};
constexpr FixedInfo kFixed[] = {
    {160, 120, DC1394_COLOR_CODING_YUV444},   {320, 240, DC1394_COLOR_CODING_YUV422},
    {640, 480, DC1394_COLOR_CODING_YUV411},   {640, 480, DC1394_COLOR_CODING_YUV422},
    {640, 480, DC1394_COLOR_CODING_RGB8},     {640, 480, DC1394_COLOR_CODING_MONO8},
    {640, 480, DC1394_COLOR_CODING_MONO16},   {800, 600, DC1394_COLOR_CODING_YUV422},
    {800, 600, DC1394_COLOR_CODING_RGB8},     {800, 600, DC1394_COLOR_CODING_MONO8},
    {1024, 768, DC1394_COLOR_CODING_YUV422},  {1024, 768, DC1394_COLOR_CODING_RGB8},
    {1024, 768, DC1394_COLOR_CODING_MONO8},   {800, 600, DC1394_COLOR_CODING_MONO16},
    {1024, 768, DC1394_COLOR_CODING_MONO16},  {1280, 960, DC1394_COLOR_CODING_YUV422},
    {1280, 960, DC1394_COLOR_CODING_RGB8},    {1280, 960, DC1394_COLOR_CODING_MONO8},
    {1600, 1200, DC1394_COLOR_CODING_YUV422}, {1600, 1200, DC1394_COLOR_CODING_RGB8},
    {1600, 1200, DC1394_COLOR_CODING_MONO8},  {1280, 960, DC1394_COLOR_CODING_MONO16},
    {1600, 1200, DC1394_COLOR_CODING_MONO16},
};
constexpr int kFixedCount = int(sizeof(kFixed) / sizeof(kFixed[0]));

bool IsMode(dc1394video_mode_t m) { return m >= DC1394_VIDEO_MODE_MIN && m <= DC1394_VIDEO_MODE_MAX; }
bool IsFixed(dc1394video_mode_t m) { return m >= DC1394_VIDEO_MODE_MIN && m - DC1394_VIDEO_MODE_MIN < kFixedCount; }
bool IsFormat7(dc1394video_mode_t m) {
  return m >= DC1394_VIDEO_MODE_FORMAT7_MIN && m <= DC1394_VIDEO_MODE_FORMAT7_MAX;
}
int Format7Number(dc1394video_mode_t m) { return int(m) - DC1394_VIDEO_MODE_FORMAT7_MIN; }

// The IIDC format and mode numbers of a video mode.
std::pair<uint32_t, uint32_t> Codes(dc1394video_mode_t m) {
  const int i = int(m) - DC1394_VIDEO_MODE_MIN;
  if (i <= 6) return {0, uint32_t(i)};
  if (i <= 14) return {1, uint32_t(i - 7)};
  if (i <= 22) return {2, uint32_t(i - 15)};
  if (m == DC1394_VIDEO_MODE_EXIF) return {6, 0};
  return {7, uint32_t(Format7Number(m))};
}

std::optional<dc1394video_mode_t> ModeOf(uint32_t format, uint32_t mode) {
  const int base = DC1394_VIDEO_MODE_MIN;
  if (format == 0 && mode <= 6) return dc1394video_mode_t(base + int(mode));
  if (format == 1 && mode <= 7) return dc1394video_mode_t(base + 7 + int(mode));
  if (format == 2 && mode <= 7) return dc1394video_mode_t(base + 15 + int(mode));
  if (format == 6 && mode == 0) return DC1394_VIDEO_MODE_EXIF;
  if (format == 7 && mode <= 7) return dc1394video_mode_t(DC1394_VIDEO_MODE_FORMAT7_MIN + int(mode));
  return std::nullopt;
}

bool Sixteen(dc1394color_coding_t c) {
  return c == DC1394_COLOR_CODING_MONO16 || c == DC1394_COLOR_CODING_RAW16 || c == DC1394_COLOR_CODING_MONO16S ||
         c == DC1394_COLOR_CODING_RGB16 || c == DC1394_COLOR_CODING_RGB16S;
}

uint32_t RowBytes(dc1394color_coding_t coding, uint32_t width) { return (width * BitsPerPixel(coding) + 7) / 8; }

// Frames per second times 8 of a rate code (1.875 fps is 15).
uint32_t Fps8(dc1394framerate_t rate) { return 15u << (rate - DC1394_FRAMERATE_MIN); }

float AbsoluteOf(const Feature& f, uint32_t value) {
  if (f.max <= f.min) return f.absMin;
  return f.absMin + float(value - f.min) / float(f.max - f.min) * (f.absMax - f.absMin);
}

uint32_t ValueOf(const Feature& f, float absolute) {
  if (f.absMax <= f.absMin) return f.min;
  const double t = (double(absolute) - f.absMin) / (double(f.absMax) - f.absMin);
  return f.min + uint32_t(std::lround(t * double(f.max - f.min)));
}

bool IsMultiValue(dc1394feature_t f) {
  return f == DC1394_FEATURE_WHITE_BALANCE || f == DC1394_FEATURE_TEMPERATURE || f == DC1394_FEATURE_WHITE_SHADING;
}

uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
float BitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

void Normalise(Camera& c) {
  for (Format7Mode& m : c.format7) {
    if (m.unitWidth == 0) m.unitWidth = 1;
    if (m.unitHeight == 0) m.unitHeight = 1;
    if (m.unitLeft == 0) m.unitLeft = m.unitWidth;
    if (m.unitTop == 0) m.unitTop = m.unitHeight;
    if (m.width == 0) m.width = m.maxWidth - m.left;
    if (m.height == 0) m.height = m.maxHeight - m.top;
    if (m.codings.empty()) m.codings.push_back(DC1394_COLOR_CODING_MONO8);
    if (!m.coding) m.coding = m.codings.front();
    if (m.unitBytes == 0) m.unitBytes = 4;
    if (m.packetSize == 0) m.packetSize = m.maxBytes / m.unitBytes * m.unitBytes;
  }
}

}  // namespace

uint64_t FeatureSlot(dc1394feature_t feature) {
  const int i = FeatureIndex(feature);
  if (i < 16) return 4u * uint32_t(i);
  if (i < 20) return 0x80 + 4u * uint32_t(i - 16);
  return 0xC0 + 4u * uint32_t(i - 20);
}

uint32_t BitsPerPixel(dc1394color_coding_t coding) {
  switch (coding) {
    case DC1394_COLOR_CODING_MONO8:
    case DC1394_COLOR_CODING_RAW8:
      return 8;
    case DC1394_COLOR_CODING_YUV411:
      return 12;
    case DC1394_COLOR_CODING_YUV422:
    case DC1394_COLOR_CODING_MONO16:
    case DC1394_COLOR_CODING_MONO16S:
    case DC1394_COLOR_CODING_RAW16:
      return 16;
    case DC1394_COLOR_CODING_YUV444:
    case DC1394_COLOR_CODING_RGB8:
      return 24;
    case DC1394_COLOR_CODING_RGB16:
    case DC1394_COLOR_CODING_RGB16S:
      return 48;
  }
  return 0;
}

uint32_t FixedPacketSize(dc1394video_mode_t mode, dc1394framerate_t rate) {
  if (!IsFixed(mode) || rate < DC1394_FRAMERATE_MIN || rate > DC1394_FRAMERATE_MAX) return 0;
  const FixedInfo& info = kFixed[mode - DC1394_VIDEO_MODE_MIN];
  const uint64_t numerator = uint64_t(RowBytes(info.coding, info.width)) * Fps8(rate) * info.height;
  const uint64_t bytes = (numerator + 7200 * 8 - 1) / (7200 * 8);
  return uint32_t((bytes + 3) / 4 * 4);
}

uint16_t PatternValue(uint32_t sequence, uint32_t x, uint32_t y, Channel channel, bool sixteenBits) {
  const auto a = uint8_t(x * 3 + y * 5 + sequence * 11 + uint32_t(channel) * 37);
  if (!sixteenBits) return a;
  return uint16_t((a << 8) | (a ^ 0xA5));  // the two bytes always differ
}

namespace {

// One group of pixels of a colour coding, in the camera's byte order: the
// channel and the pixel in the group of every sample (chroma is the first
// pixel's).
struct Sample {
  Channel channel;
  uint32_t pixel;
};
struct Group {
  uint32_t pixels = 1;
  std::vector<Sample> samples;
};

Group GroupOf(dc1394color_coding_t coding) {
  using C = Channel;
  switch (coding) {
    case DC1394_COLOR_CODING_MONO8:
    case DC1394_COLOR_CODING_MONO16:
    case DC1394_COLOR_CODING_MONO16S:
      return {1, {{C::kY, 0}}};
    case DC1394_COLOR_CODING_RAW8:
    case DC1394_COLOR_CODING_RAW16:
      return {1, {{C::kRaw, 0}}};
    case DC1394_COLOR_CODING_YUV444:
      return {1, {{C::kU, 0}, {C::kY, 0}, {C::kV, 0}}};
    case DC1394_COLOR_CODING_YUV422:
      return {2, {{C::kU, 0}, {C::kY, 0}, {C::kV, 0}, {C::kY, 1}}};
    case DC1394_COLOR_CODING_YUV411:
      return {4, {{C::kU, 0}, {C::kY, 0}, {C::kY, 1}, {C::kV, 0}, {C::kY, 2}, {C::kY, 3}}};
    default:  // RGB8, RGB16
      return {1, {{C::kR, 0}, {C::kG, 0}, {C::kB, 0}}};
  }
}

}  // namespace

void DefaultFrame(const FrameRequest& r, std::span<uint8_t> image) {
  const bool wide = Sixteen(r.coding);
  const Group group = GroupOf(r.coding);
  if (BitsPerPixel(r.coding) == 0 || r.stride < RowBytes(r.coding, r.width) ||
      image.size() < size_t(r.stride) * r.height)
    return;
  for (uint32_t y = 0; y < r.height; ++y) {
    uint8_t* out = image.data() + size_t(y) * r.stride;
    for (uint32_t x = 0; x + group.pixels <= r.width; x += group.pixels) {
      for (const Sample& s : group.samples) {
        const uint32_t px = r.left + x + s.pixel;
        const uint16_t v = PatternValue(r.sequence, px, r.top + y, s.channel, wide);
        if (wide) *out++ = uint8_t(v >> 8);
        *out++ = uint8_t(v);
      }
    }
  }
}

std::vector<uint8_t> ExpectedImage(const FrameRequest& request) {
  std::vector<uint8_t> image(size_t(request.stride) * request.height);
  DefaultFrame(request, image);
  return image;
}

// The camera itself: its description, the state its registers show, and what
// the bus knows of it.
struct FakeIidc::Impl {
  struct Handle;

  struct Device {
    explicit Device(Camera c) : added(std::move(c)) { PowerUp(); }
    void PowerUp() {
      state = added;
      Normalise(state);
      for (Feature& f : state.features) {
        if (f.absoluteCapable) f.absValue = AbsoluteOf(f, f.value);
      }
      std::tie(format, mode) = Codes(IsMode(state.mode) ? state.mode : DC1394_VIDEO_MODE_640x480_MONO8);
      rate = uint32_t(std::clamp(state.rate, DC1394_FRAMERATE_MIN, DC1394_FRAMERATE_MAX) - DC1394_FRAMERATE_MIN);
      transmitting = false;
    }

    Camera added;  // as plugged in
    Camera state;  // current values (mode and rate live in the codes below)
    bool gone = false;
    uint32_t format = 0, mode = 0, rate = 0;  // CUR_V_FORMAT, CUR_V_MODE, CUR_V_FRM_RATE
    uint32_t channel = 0;
    uint32_t speed = DC1394_ISO_SPEED_400;
    bool modeB = false;
    bool transmitting = false;
    int delivered = 0;
    bool format7Error = false;  // the last Format 7 register write was refused
    Handle* capturer = nullptr;
  };

  struct Capture {
    int fd = -1;
    uint32_t flags = 0;
    bool broken = false;  // a bus reset ended it
    FrameRequest request{};
    uint32_t imageBytes = 0, packetSize = 0, packets = 0;
    uint64_t totalBytes = 0, periodUs = 0;
    dc1394color_filter_t filter{};
    std::vector<dc1394video_frame_t> frames;
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<bool> held;
    uint32_t next = 0;    // the ring buffer the host dequeues next
    uint32_t filled = 0;  // buffers from `next` on that the camera has filled and nobody dequeued
  };

  struct Handle {
    dc1394camera_t record{};
    std::string vendor, model;
    std::shared_ptr<Device> device;
    bool freed = false;
    std::unique_ptr<Capture> capture;
  };

  struct List {
    dc1394camera_list_t list{};
    std::vector<dc1394camera_id_t> ids;
    bool live = true;
  };

  // Finds the handle behind a camera pointer, or says what its use answers.
  Handle* Find(dc1394camera_t* camera, dc1394error_t* error, bool allowGone) {
    *error = DC1394_CAMERA_NOT_INITIALIZED;
    auto it = handles.find(camera);
    if (camera == nullptr || it == handles.end()) return nullptr;
    if (it->second->freed) {
      ++counters.staleUses;
      return nullptr;
    }
    if (it->second->device->gone && !allowGone) {
      *error = DC1394_FAILURE;
      return nullptr;
    }
    return it->second.get();
  }

  template <typename Body>
  dc1394error_t Run(const char* name, dc1394camera_t* camera, Body&& body, bool allowGone = false) {
    std::lock_guard lock(mutex);
    ++calls[name];
    dc1394error_t error;
    Handle* h = Find(camera, &error, allowGone);
    return h ? body(*h, *h->device) : error;
  }

  Device* Plugged(uint64_t guid) {
    for (auto& d : devices) {
      if (d->added.guid == guid && !d->gone) return d.get();
    }
    return nullptr;
  }

  static Feature* FeatureOf(Device& d, dc1394feature_t id) {
    for (Feature& f : d.state.features) {
      if (f.id == id) return &f;
    }
    return nullptr;
  }
  static Format7Mode* Format7Of(Device& d, dc1394video_mode_t m) {
    for (Format7Mode& f : d.state.format7) {
      if (f.mode == m) return &f;
    }
    return nullptr;
  }
  static const FixedMode* FixedOf(const Device& d, dc1394video_mode_t m) {
    for (const FixedMode& f : d.state.modes) {
      if (f.mode == m) return &f;
    }
    return nullptr;
  }
  static bool Offers(const FixedMode& m, uint32_t rateCode) {
    return std::find(m.rates.begin(), m.rates.end(), dc1394framerate_t(DC1394_FRAMERATE_MIN + int(rateCode))) !=
           m.rates.end();
  }
  static bool Has(Device& d, dc1394video_mode_t m) { return FixedOf(d, m) || Format7Of(d, m); }
  static std::optional<dc1394video_mode_t> Current(const Device& d) { return ModeOf(d.format, d.mode); }

  // The single-value feature a call addresses (TRIGGER not included).
  static dc1394error_t Lookup(Device& d, dc1394feature_t id, Feature** out) {
    if (!IsFeature(id)) return DC1394_INVALID_FEATURE;
    *out = FeatureOf(d, id);
    return *out ? DC1394_SUCCESS : DC1394_FUNCTION_NOT_SUPPORTED;
  }
  // A feature with absolute control (the trigger has none here).
  static dc1394error_t AbsoluteLookup(Device& d, dc1394feature_t id, Feature** out) {
    if (!IsFeature(id)) return DC1394_INVALID_FEATURE;
    *out = FeatureOf(d, id);
    return *out && (*out)->absoluteCapable ? DC1394_SUCCESS : DC1394_FUNCTION_NOT_SUPPORTED;
  }
  static dc1394error_t Format7Lookup(Device& d, dc1394video_mode_t m, Format7Mode** out) {
    if (!IsFormat7(m) || (*out = Format7Of(d, m)) == nullptr) return DC1394_INVALID_VIDEO_MODE;
    return DC1394_SUCCESS;
  }

  // A Format 7 call on a mode of the camera.
  template <typename Body>
  dc1394error_t RunFormat7(const char* name, dc1394camera_t* camera, dc1394video_mode_t mode, Body&& body) {
    return Run(name, camera, [&](Handle&, Device& d) {
      Format7Mode* m = nullptr;
      const dc1394error_t e = Format7Lookup(d, mode, &m);
      return e ? e : body(d, *m);
    });
  }
  // A Format 7 call that reads two numbers.
  template <typename Get>
  dc1394error_t Format7Pair(const char* name, dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* a, uint32_t* b,
                            Get&& get) {
    return RunFormat7(name, camera, mode, [&](Device&, Format7Mode& m) {
      if (!a || !b) return DC1394_INVALID_ARGUMENT_VALUE;
      std::tie(*a, *b) = get(m);
      return DC1394_SUCCESS;
    });
  }
  // A call on one single-value feature the camera has.
  template <typename Body>
  dc1394error_t RunFeature(const char* name, dc1394camera_t* camera, dc1394feature_t id, Body&& body) {
    return Run(name, camera, [&](Handle&, Device& d) {
      Feature* f = nullptr;
      const dc1394error_t e = Lookup(d, id, &f);
      return e ? e : body(d, *f);
    });
  }

  static bool RegionFits(const Format7Mode& m, uint32_t l, uint32_t t, uint32_t w, uint32_t h) {
    return w > 0 && h > 0 && w % m.unitWidth == 0 && h % m.unitHeight == 0 && l % m.unitLeft == 0 &&
           t % m.unitTop == 0 && uint64_t(l) + w <= m.maxWidth && uint64_t(t) + h <= m.maxHeight;
  }
  static bool PacketFits(const Format7Mode& m, uint32_t p) {
    return p >= m.unitBytes && p <= m.maxBytes && p % m.unitBytes == 0;
  }
  static uint64_t TotalBytes(const Format7Mode& m) { return uint64_t(RowBytes(*m.coding, m.width)) * m.height; }
  static uint32_t PacketsPerFrame(const Format7Mode& m) {
    const uint32_t packet = std::max(m.packetSize, 1u);
    return uint32_t((TotalBytes(m) + packet - 1) / packet);
  }

  // A change of the streaming format while a capture runs on the camera.
  static bool Streaming(const Device& d) { return d.capturer != nullptr; }

  void SetValue(Feature& f, uint32_t value) {
    f.value = value;
    if (f.absoluteCapable) f.absValue = AbsoluteOf(f, value);
  }

  // The registers.
  std::optional<uint32_t> Read(Device& d, uint64_t off);
  bool Write(Device& d, uint64_t off, uint32_t v);
  uint32_t FeatureInquiry(Device& d, dc1394feature_t id);
  uint32_t FeatureStatus(Device& d, dc1394feature_t id);
  void FeatureControl(Device& d, dc1394feature_t id, uint32_t v);
  std::optional<uint32_t> ReadFormat7(Device& d, Format7Mode& m, uint64_t off);
  void WriteFormat7(Device& d, Format7Mode& m, uint64_t off, uint32_t v);

  // Capture.
  // The camera can put a frame in the ring: the buffer after the filled ones is free.
  bool Ready(const Device& d, const Capture& c) const {
    return d.transmitting && !d.state.stalled && !c.broken && c.filled < c.frames.size() &&
           !c.held[(c.next + c.filled) % c.frames.size()];
  }
  // The camera captures the next frame into ring buffer `index`.
  void Fill(Handle& h, Device& d, Capture& c, uint32_t index);
  // The host dequeues the frame at `next`.
  void Hand(Device& d, Capture& c);
  void Stop(Handle& h);

  std::mutex mutex;
  std::vector<std::shared_ptr<Device>> devices;  // in plug order
  std::vector<std::unique_ptr<int>> contextStore;
  std::map<const void*, bool> contexts;  // live or freed
  // Handles and lists stay allocated after they are freed, so that a pointer
  // the host still holds never names something new.
  std::map<const dc1394camera_t*, std::unique_ptr<Handle>> handles;
  std::map<const dc1394camera_list_t*, std::unique_ptr<List>> lists;
  std::map<int, Handle*> fds;
  std::map<std::string, int> calls;
  Counters counters;
  int nextFd = kFirstFd;
};

uint32_t FakeIidc::Impl::FeatureInquiry(Device& d, dc1394feature_t id) {
  if (id == DC1394_FEATURE_TRIGGER) {
    const Trigger& t = d.state.trigger;
    if (!t.present) return 0;
    uint32_t v = kPresence | (t.readOut ? kInqReadOut | Bit(7) : 0) | (t.onOffCapable ? kInqOnOff : 0) |
                 (t.polarityCapable ? Bit(6) : 0);
    for (uint32_t s : t.sources) v |= s <= 3 ? Bit(8 + int(s)) : s == 7 ? Bit(15) : 0;
    for (uint32_t m : t.modes) v |= m <= 5 ? Bit(16 + int(m)) : m == 14 ? Bit(30) : m == 15 ? Bit(31) : 0;
    return v;
  }
  const Feature* f = FeatureOf(d, id);
  if (!f) return 0;
  return kPresence | (f->absoluteCapable ? kInqAbsControl : 0) | (f->onePushCapable ? kInqOnePush : 0) |
         (f->readOut ? kInqReadOut : 0) | (f->onOffCapable ? kInqOnOff : 0) | (f->autoCapable ? kInqAuto : 0) |
         (f->manualCapable ? kInqManual : 0) | (f->min & 0xFFF) << 12 | (f->max & 0xFFF);
}

uint32_t FakeIidc::Impl::FeatureStatus(Device& d, dc1394feature_t id) {
  if (id == DC1394_FEATURE_TRIGGER) {
    const Trigger& t = d.state.trigger;
    if (!t.present) return 0;
    return kPresence | (t.on ? kTriggerOn : 0) | (t.polarityHigh ? kTriggerPolarityHigh : 0) |
           (t.source & 7) << kTriggerSourceShift | (t.mode & 0xF) << kTriggerModeShift | (t.parameter & 0xFFF);
  }
  const Feature* f = FeatureOf(d, id);
  if (!f) return 0;
  uint32_t v = kPresence | (f->absoluteOn ? kCsrAbsControl : 0) |
               (f->mode == DC1394_FEATURE_MODE_ONE_PUSH_AUTO ? kCsrOnePush : 0) | (f->on ? kCsrOnOff : 0) |
               (f->mode == DC1394_FEATURE_MODE_AUTO ? kCsrAuto : 0);
  switch (id) {
    case DC1394_FEATURE_WHITE_BALANCE:
    case DC1394_FEATURE_TEMPERATURE:
      return v | (f->value & 0xFFF) << 12 | (f->value2 & 0xFFF);
    case DC1394_FEATURE_WHITE_SHADING:
      return v | (f->red & 0xFF) << 16 | (f->green & 0xFF) << 8 | (f->blue & 0xFF);
    default:
      return v | (f->value & 0xFFF);
  }
}

// A write to a feature's status/control register: the fields the camera
// implements change, the others and out-of-range values are ignored.
void FakeIidc::Impl::FeatureControl(Device& d, dc1394feature_t id, uint32_t v) {
  if (id == DC1394_FEATURE_TRIGGER) {
    Trigger& t = d.state.trigger;
    if (!t.present) return;
    if (t.onOffCapable) t.on = v & kTriggerOn;
    if (t.polarityCapable) t.polarityHigh = v & kTriggerPolarityHigh;
    const uint32_t source = (v >> kTriggerSourceShift) & 7, mode = (v >> kTriggerModeShift) & 0xF;
    if (std::count(t.sources.begin(), t.sources.end(), source)) t.source = source;
    if (std::count(t.modes.begin(), t.modes.end(), mode)) t.mode = mode;
    t.parameter = v & 0xFFF;
    return;
  }
  Feature* f = FeatureOf(d, id);
  if (!f) return;
  if (f->absoluteCapable) f->absoluteOn = v & kCsrAbsControl;
  if (f->onOffCapable) f->on = v & kCsrOnOff;
  if ((v & kCsrOnePush) && f->onePushCapable) {
    f->mode = DC1394_FEATURE_MODE_ONE_PUSH_AUTO;
  } else if ((v & kCsrAuto) && f->autoCapable) {
    f->mode = DC1394_FEATURE_MODE_AUTO;
  } else if (!(v & kCsrAuto) && f->manualCapable && f->mode != DC1394_FEATURE_MODE_ONE_PUSH_AUTO) {
    f->mode = DC1394_FEATURE_MODE_MANUAL;
  }
  auto in = [f](uint32_t x) { return x >= f->min && x <= f->max; };
  const uint32_t high = (v >> 12) & 0xFFF, low = v & 0xFFF;
  switch (id) {
    case DC1394_FEATURE_WHITE_BALANCE:
      if (in(high) && in(low)) f->value = high, f->value2 = low;
      break;
    case DC1394_FEATURE_TEMPERATURE:
      if (in(high)) f->value = high;
      break;
    case DC1394_FEATURE_WHITE_SHADING: {
      const uint32_t r = (v >> 16) & 0xFF, g = (v >> 8) & 0xFF, b = v & 0xFF;
      if (in(r) && in(g) && in(b)) f->red = r, f->green = g, f->blue = b;
      break;
    }
    default:
      if (in(low)) SetValue(*f, low);
  }
}

std::optional<uint32_t> FakeIidc::Impl::ReadFormat7(Device& d, Format7Mode& m, uint64_t off) {
  const uint64_t total = TotalBytes(m);
  switch (off) {
    case kF7MaxImageSizeInq:
      return m.maxWidth << 16 | (m.maxHeight & 0xFFFF);
    case kF7UnitSizeInq:
      return m.unitWidth << 16 | (m.unitHeight & 0xFFFF);
    case kF7ImagePosition:
      return m.left << 16 | (m.top & 0xFFFF);
    case kF7ImageSize:
      return m.width << 16 | (m.height & 0xFFFF);
    case kF7ColorCodingId:
      return uint32_t(*m.coding - DC1394_COLOR_CODING_MIN) << 24;
    case kF7ColorCodingInq: {
      uint32_t v = 0;
      for (dc1394color_coding_t c : m.codings) v |= Bit(c - DC1394_COLOR_CODING_MIN);
      return v;
    }
    case kF7PixelNumberInq:
      return m.width * m.height;
    case kF7TotalBytesHiInq:
      return uint32_t(total >> 32);
    case kF7TotalBytesLoInq:
      return uint32_t(total);
    case kF7PacketParaInq:
      return m.unitBytes << 16 | (m.maxBytes & 0xFFFF);
    case kF7BytePerPacket:
      return m.packetSize << 16;  // no recommended size
    case kF7PacketPerFrameInq:
      return PacketsPerFrame(m);
    case kF7UnitPositionInq:
      return m.unitLeft << 16 | (m.unitTop & 0xFFFF);
    case kF7DataDepthInq:
      return (Sixteen(*m.coding) ? 16u : 8u) << 24;
    case kF7ColorFilterId:
      return uint32_t(m.filter - DC1394_COLOR_FILTER_MIN) << 24;
    case kF7ValueSetting:
      return kPresence | (d.format7Error ? Bit(8) : 0);
    default:
      return off < 0x100 ? std::optional<uint32_t>(0) : std::nullopt;
  }
}

void FakeIidc::Impl::WriteFormat7(Device& d, Format7Mode& m, uint64_t off, uint32_t v) {
  const bool current = Current(d) == m.mode;
  if (current && d.transmitting && off != kF7ValueSetting) return;  // not while the camera sends
  bool refused = false;
  switch (off) {
    case kF7ImagePosition:
      refused = !RegionFits(m, v >> 16, v & 0xFFFF, m.width, m.height);
      if (!refused) m.left = v >> 16, m.top = v & 0xFFFF;
      break;
    case kF7ImageSize:
      refused = !RegionFits(m, m.left, m.top, v >> 16, v & 0xFFFF);
      if (!refused) m.width = v >> 16, m.height = v & 0xFFFF;
      break;
    case kF7ColorCodingId: {
      const auto coding = dc1394color_coding_t(DC1394_COLOR_CODING_MIN + int(v >> 24));
      refused = std::find(m.codings.begin(), m.codings.end(), coding) == m.codings.end();
      if (!refused) m.coding = coding;
      break;
    }
    case kF7BytePerPacket:
      refused = !PacketFits(m, v >> 16);
      if (!refused) m.packetSize = v >> 16;
      break;
    default:
      return;  // read-only
  }
  d.format7Error = refused;
}

std::optional<uint32_t> FakeIidc::Impl::Read(Device& d, uint64_t off) {
  const Camera& c = d.state;
  if (off % 4) return std::nullopt;
  if (off >= kFormat7CsrArea && off < kFormat7CsrArea + 0x800) {
    const auto mode = dc1394video_mode_t(DC1394_VIDEO_MODE_FORMAT7_MIN + int((off - kFormat7CsrArea) / 0x100));
    Format7Mode* m = Format7Of(d, mode);
    return m ? ReadFormat7(d, *m, off % 0x100) : std::nullopt;
  }
  if (off >= kAbsCsrArea && off < kAbsCsrArea + 0x10 * DC1394_FEATURE_NUM) {
    const Feature* f = FeatureOf(d, dc1394feature_t(DC1394_FEATURE_MIN + int((off - kAbsCsrArea) / 0x10)));
    if (!f || !f->absoluteCapable) return std::nullopt;
    switch (off % 0x10) {
      case 0:
        return FloatBits(f->absMin);
      case 4:
        return FloatBits(f->absMax);
      case 8:
        return FloatBits(f->absValue);
      default:
        return std::nullopt;
    }
  }
  if (off >= kAdvancedArea && off < kAdvancedArea + 4 * c.advanced.size()) return c.advanced[(off - kAdvancedArea) / 4];
  if (off >= kDecodedEnd) return std::nullopt;

  auto featureAt = [](uint64_t slot) -> std::optional<dc1394feature_t> {
    for (int f = DC1394_FEATURE_MIN; f <= DC1394_FEATURE_MAX; ++f) {
      if (FeatureSlot(dc1394feature_t(f)) == slot) return dc1394feature_t(f);
    }
    return std::nullopt;
  };
  if (off == kVFormatInq) {
    uint32_t v = 0;
    for (const FixedMode& m : c.modes) v |= Bit(int(Codes(m.mode).first));
    if (!c.format7.empty()) v |= Bit(7);
    return v;
  }
  if (off >= kVModeInq && off < kVModeInq + 32) {
    const uint32_t format = uint32_t(off - kVModeInq) / 4;
    uint32_t v = 0;
    for (const FixedMode& m : c.modes) v |= Codes(m.mode).first == format ? Bit(int(Codes(m.mode).second)) : 0;
    for (const Format7Mode& m : c.format7) v |= format == 7 ? Bit(Format7Number(m.mode)) : 0;
    return v;
  }
  if (off >= kVCsrInq7 && off < kVCsrInq7 + 32) {
    const auto mode = dc1394video_mode_t(DC1394_VIDEO_MODE_FORMAT7_MIN + int(off - kVCsrInq7) / 4);
    if (!Format7Of(d, mode)) return 0;
    return uint32_t((kCommandBase + kFormat7CsrArea + 0x100 * uint64_t(Format7Number(mode))) / 4);
  }
  if (off >= kVRateInq && off < kVCsrInq7) {
    const auto mode = ModeOf(uint32_t(off - kVRateInq) / 32, uint32_t(off - kVRateInq) % 32 / 4);
    const FixedMode* m = mode ? FixedOf(d, *mode) : nullptr;
    uint32_t v = 0;
    for (int r = 0; m && r < DC1394_FRAMERATE_NUM; ++r) v |= Offers(*m, uint32_t(r)) ? Bit(r) : 0;
    return v;
  }
  switch (off) {
    case kBasicFuncInq:
      return (c.advanced.empty() ? 0 : Bit(0)) | (c.bModeCapable ? Bit(8) : 0);
    case kFeatureHiInq:
    case kFeatureLoInq: {
      uint32_t v = 0;
      for (int f = DC1394_FEATURE_MIN; f <= DC1394_FEATURE_MAX; ++f) {
        if (!FeatureInquiry(d, dc1394feature_t(f))) continue;
        const int i = f - DC1394_FEATURE_MIN;
        if (off == kFeatureHiInq && i < 16) v |= Bit(i);
        if (off == kFeatureLoInq && i >= 16) v |= Bit(i < 20 ? i - 16 : i - 20 + 16);
      }
      return v;
    }
    case kAdvancedFeatureInq:
      return c.advanced.empty() ? 0 : uint32_t((kCommandBase + kAdvancedArea) / 4);
    case kCurVFrmRate:
      return d.rate << 29;
    case kCurVMode:
      return d.mode << 29;
    case kCurVFormat:
      return d.format << 29;
    case kIsoChannelSpeed:
      if (d.modeB) return Bit(16) | (d.channel & 0x3F) << 8 | (d.speed & 7);
      return (d.channel & 0xF) << 28 | (d.speed & 3) << 24;
    case kIsoEn:
      return d.transmitting ? Bit(0) : 0;
    default:
      break;
  }
  if (off >= kFeatureInq && off < kFeatureInq + 0x100) {
    const auto f = featureAt(off - kFeatureInq);
    return f ? FeatureInquiry(d, *f) : 0;
  }
  if (off >= kAbsCsrInq && off < kAbsCsrInq + 0x100) {
    const auto f = featureAt(off - kAbsCsrInq);
    const Feature* feature = f ? FeatureOf(d, *f) : nullptr;
    if (!feature || !feature->absoluteCapable) return 0;
    return uint32_t((kCommandBase + kAbsCsrArea + 0x10 * uint64_t(FeatureIndex(*f))) / 4);
  }
  if (off >= kFeatureCsr && off < kFeatureCsr + 0x100) {
    const auto f = featureAt(off - kFeatureCsr);
    return f ? FeatureStatus(d, *f) : 0;
  }
  return 0;  // reserved
}

bool FakeIidc::Impl::Write(Device& d, uint64_t off, uint32_t v) {
  Camera& c = d.state;
  if (off % 4) return false;
  if (off >= kFormat7CsrArea && off < kFormat7CsrArea + 0x800) {
    const auto mode = dc1394video_mode_t(DC1394_VIDEO_MODE_FORMAT7_MIN + int((off - kFormat7CsrArea) / 0x100));
    Format7Mode* m = Format7Of(d, mode);
    if (!m || off % 0x100 >= 0x100) return false;
    WriteFormat7(d, *m, off % 0x100, v);
    return true;
  }
  if (off >= kAbsCsrArea && off < kAbsCsrArea + 0x10 * DC1394_FEATURE_NUM) {
    Feature* f = FeatureOf(d, dc1394feature_t(DC1394_FEATURE_MIN + int((off - kAbsCsrArea) / 0x10)));
    if (!f || !f->absoluteCapable || off % 0x10 == 12) return false;
    const float value = BitsFloat(v);
    if (off % 0x10 == 8 && value >= f->absMin && value <= f->absMax) {
      f->absValue = value;
      f->value = ValueOf(*f, value);
    }
    return true;
  }
  if (off >= kAdvancedArea && off < kAdvancedArea + 4 * c.advanced.size()) {
    c.advanced[(off - kAdvancedArea) / 4] = v;
    return true;
  }
  if (off >= kDecodedEnd) return false;
  switch (off) {
    case kInitialize:
      if (v & Bit(0)) {
        // Factory defaults: the power-up state, the advanced area kept.
        const std::vector<uint32_t> advanced = c.advanced;
        Handle* capturer = d.capturer;
        d.PowerUp();
        d.state.advanced = advanced;
        d.capturer = capturer;
      }
      return true;
    case kCurVFrmRate:
      if (!d.transmitting) d.rate = v >> 29;
      return true;
    case kCurVMode:
      if (!d.transmitting) d.mode = v >> 29;
      return true;
    case kCurVFormat:
      if (!d.transmitting && (Read(d, kVFormatInq).value_or(0) & Bit(int(v >> 29)))) d.format = v >> 29;
      return true;
    case kIsoChannelSpeed:
      if (d.transmitting) return true;
      d.modeB = c.bModeCapable && (v & Bit(16));
      d.channel = d.modeB ? (v >> 8) & 0x3F : v >> 28;
      d.speed = d.modeB ? std::min(v & 7, uint32_t(DC1394_ISO_SPEED_MAX)) : (v >> 24) & 3;
      return true;
    case kIsoEn:
      d.transmitting = v & Bit(0);
      return true;
    default:
      break;
  }
  for (int f = DC1394_FEATURE_MIN; f <= DC1394_FEATURE_MAX; ++f) {
    if (off == kFeatureCsr + FeatureSlot(dc1394feature_t(f))) FeatureControl(d, dc1394feature_t(f), v);
  }
  return true;  // inquiry and reserved registers ignore writes
}

void FakeIidc::Impl::Fill(Handle& h, Device& d, Capture& c, uint32_t index) {
  dc1394video_frame_t& frame = c.frames[index];
  uint8_t* image = c.buffers[index].get();
  FrameRequest request = c.request;
  request.sequence = c.request.sequence++;
  if (d.state.producer) {
    d.state.producer(request, std::span<uint8_t>(image, c.imageBytes));
  } else {
    DefaultFrame(request, std::span<uint8_t>(image, c.imageBytes));
  }
  std::memset(image + c.imageBytes, kPaddingMarker, size_t(c.totalBytes - c.imageBytes));

  frame = {};
  frame.image = image;
  frame.size[0] = request.width, frame.size[1] = request.height;
  frame.position[0] = request.left, frame.position[1] = request.top;
  frame.color_coding = request.coding;
  frame.color_filter = c.filter;
  frame.yuv_byte_order = DC1394_BYTE_ORDER_UYVY;
  frame.data_depth = Sixteen(request.coding) ? 16 : 8;
  frame.stride = request.stride;
  frame.video_mode = request.mode;
  frame.total_bytes = c.totalBytes;
  frame.image_bytes = c.imageBytes;
  frame.padding_bytes = uint32_t(c.totalBytes - c.imageBytes);
  frame.packet_size = c.packetSize;
  frame.packets_per_frame = c.packets;
  frame.timestamp = kClockStartUs + uint64_t(request.sequence) * c.periodUs;
  frame.camera = &h.record;
  frame.id = index;
  frame.allocated_image_bytes = c.totalBytes;
  frame.little_endian = DC1394_FALSE;
  frame.data_in_padding = DC1394_FALSE;
}

void FakeIidc::Impl::Hand(Device& d, Capture& c) {
  --c.filled;
  c.frames[c.next].frames_behind = c.filled;  // captured and waiting behind this one
  c.held[c.next] = true;
  c.next = (c.next + 1) % uint32_t(c.frames.size());
  ++counters.framesDelivered;
  ++d.delivered;
  // A one-push adjustment completes with the frame that follows it.
  for (Feature& f : d.state.features) {
    if (f.mode == DC1394_FEATURE_MODE_ONE_PUSH_AUTO) f.mode = DC1394_FEATURE_MODE_MANUAL;
  }
  if (d.state.unplugAfterFrames >= 0 && d.delivered >= d.state.unplugAfterFrames) {
    d.gone = true;
    d.transmitting = false;
  }
  if (d.state.busResetAfterFrames >= 0 && d.delivered >= d.state.busResetAfterFrames) {
    d.state.busResetAfterFrames = -1;
    c.broken = true;
    d.transmitting = false;
  }
}

void FakeIidc::Impl::Stop(Handle& h) {
  Capture& c = *h.capture;
  Device& d = *h.device;
  if (d.capturer == &h) d.capturer = nullptr;
  if ((c.flags & DC1394_CAPTURE_FLAGS_AUTO_ISO) && !d.gone) d.transmitting = false;
  fds.erase(c.fd);
  h.capture.reset();
}

FakeIidc::FakeIidc() : impl_(std::make_unique<Impl>()) {}
FakeIidc::~FakeIidc() = default;

void FakeIidc::AddCamera(Camera camera) {
  std::lock_guard lock(impl_->mutex);
  auto device = std::make_shared<Impl::Device>(std::move(camera));
  for (auto& d : impl_->devices) {
    if (d->added.guid == device->added.guid && d->added.unit == device->added.unit) {
      d->gone = true;
      d = device;
      return;
    }
  }
  impl_->devices.push_back(device);
}

bool FakeIidc::Configure(uint64_t guid, const std::function<void(Camera&)>& change) {
  std::lock_guard lock(impl_->mutex);
  Impl::Device* d = impl_->Plugged(guid);
  if (!d) return false;
  if (auto mode = Impl::Current(*d)) d->state.mode = *mode;
  d->state.rate = dc1394framerate_t(DC1394_FRAMERATE_MIN + int(d->rate));
  change(d->state);
  Normalise(d->state);
  if (IsMode(d->state.mode)) std::tie(d->format, d->mode) = Codes(d->state.mode);
  if (d->state.rate >= DC1394_FRAMERATE_MIN && d->state.rate <= DC1394_FRAMERATE_MAX)
    d->rate = uint32_t(d->state.rate - DC1394_FRAMERATE_MIN);
  return true;
}

bool FakeIidc::Unplug(uint64_t guid) {
  std::lock_guard lock(impl_->mutex);
  Impl::Device* d = impl_->Plugged(guid);
  if (!d) return false;
  d->gone = true;
  d->transmitting = false;
  return true;
}

bool FakeIidc::Replug(uint64_t guid) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->Plugged(guid)) return false;
  for (auto& d : impl_->devices) {
    if (d->added.guid != guid) continue;
    d = std::make_shared<Impl::Device>(d->added);
    return true;
  }
  return false;
}

bool FakeIidc::BusReset(uint64_t guid) {
  std::lock_guard lock(impl_->mutex);
  Impl::Device* d = impl_->Plugged(guid);
  if (!d) return false;
  if (d->capturer) d->capturer->capture->broken = true;
  d->transmitting = false;
  return true;
}

Counters FakeIidc::Stats() const {
  std::lock_guard lock(impl_->mutex);
  Counters c = impl_->counters;
  c.contexts = int(std::count_if(impl_->contexts.begin(), impl_->contexts.end(), [](auto& e) { return e.second; }));
  c.lists = int(std::count_if(impl_->lists.begin(), impl_->lists.end(), [](auto& e) { return e.second->live; }));
  c.cameras = c.captures = c.framesHeld = 0;
  for (const auto& [record, h] : impl_->handles) {
    if (h->freed) continue;
    ++c.cameras;
    if (!h->capture) continue;
    ++c.captures;
    c.framesHeld += int(std::count(h->capture->held.begin(), h->capture->held.end(), true));
  }
  return c;
}

bool FakeIidc::AllReleased() const {
  const Counters c = Stats();
  return c.contexts == 0 && c.cameras == 0 && c.lists == 0 && c.captures == 0 && c.framesHeld == 0;
}

std::optional<Camera> FakeIidc::State(uint64_t guid) const {
  std::lock_guard lock(impl_->mutex);
  const Impl::Device* d = impl_->Plugged(guid);
  if (!d) return std::nullopt;
  Camera c = d->state;
  if (auto mode = Impl::Current(*d)) c.mode = *mode;
  c.rate = dc1394framerate_t(DC1394_FRAMERATE_MIN + int(d->rate));
  return c;
}

std::optional<uint32_t> FakeIidc::Register(uint64_t guid, uint64_t offset) const {
  std::lock_guard lock(impl_->mutex);
  Impl::Device* d = impl_->Plugged(guid);
  return d ? impl_->Read(*d, offset) : std::nullopt;
}

int FakeIidc::Capture(uint64_t guid, int n) {
  std::lock_guard lock(impl_->mutex);
  Impl::Device* d = impl_->Plugged(guid);
  if (!d || !d->capturer || !d->transmitting || d->state.stalled || d->capturer->capture->broken) return 0;
  Impl::Handle& h = *d->capturer;
  Impl::Capture& c = *h.capture;
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (!impl_->Ready(*d, c)) {  // the ring is full: the frame is lost
      ++c.request.sequence;
      continue;
    }
    impl_->Fill(h, *d, c, (c.next + c.filled) % uint32_t(c.frames.size()));
    ++c.filled;
    ++kept;
  }
  return kept;
}

bool FakeIidc::Transmitting(uint64_t guid) const {
  std::lock_guard lock(impl_->mutex);
  const Impl::Device* d = impl_->Plugged(guid);
  return d && d->transmitting;
}

bool FakeIidc::Capturing(uint64_t guid) const {
  std::lock_guard lock(impl_->mutex);
  const Impl::Device* d = impl_->Plugged(guid);
  return d && d->capturer;
}

int FakeIidc::Calls(const std::string& operation) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->calls.find(operation);
  return it == impl_->calls.end() ? 0 : it->second;
}

// The context and the cameras.

dc1394_t* FakeIidc::New() {
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["New"];
  impl_->contextStore.push_back(std::make_unique<int>(0));
  auto* context = reinterpret_cast<dc1394_t*>(impl_->contextStore.back().get());
  impl_->contexts[context] = true;
  return context;
}

void FakeIidc::Free(dc1394_t* context) {
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["Free"];
  auto it = impl_->contexts.find(context);
  if (it == impl_->contexts.end() || !it->second) {
    ++impl_->counters.badFrees;
    return;
  }
  it->second = false;
}

dc1394error_t FakeIidc::CameraEnumerate(dc1394_t* context, dc1394camera_list_t** list) {
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["CameraEnumerate"];
  auto it = impl_->contexts.find(context);
  if (it == impl_->contexts.end() || !it->second) {
    if (it != impl_->contexts.end()) ++impl_->counters.staleUses;
    return DC1394_CAMERA_NOT_INITIALIZED;
  }
  if (!list) return DC1394_INVALID_ARGUMENT_VALUE;
  auto store = std::make_unique<Impl::List>();
  for (const auto& d : impl_->devices) {
    if (!d->gone) store->ids.push_back({uint16_t(d->added.unit), d->added.guid});
  }
  store->list.num = uint32_t(store->ids.size());
  store->list.ids = store->ids.empty() ? nullptr : store->ids.data();
  *list = &store->list;
  impl_->lists[*list] = std::move(store);
  return DC1394_SUCCESS;
}

void FakeIidc::CameraFreeList(dc1394camera_list_t* list) {
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["CameraFreeList"];
  auto it = impl_->lists.find(list);
  if (it == impl_->lists.end() || !it->second->live) {
    ++impl_->counters.badFrees;
    return;
  }
  it->second->live = false;
}

dc1394camera_t* FakeIidc::CameraNewUnit(dc1394_t* context, uint64_t guid, int unit) {
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["CameraNewUnit"];
  auto it = impl_->contexts.find(context);
  if (it == impl_->contexts.end() || !it->second) {
    if (it != impl_->contexts.end()) ++impl_->counters.staleUses;
    return nullptr;
  }
  for (const auto& d : impl_->devices) {
    if (d->gone || d->added.guid != guid || (unit >= 0 && d->added.unit != unit)) continue;
    auto h = std::make_unique<Impl::Handle>();
    const Camera& c = d->state;
    h->device = d;
    h->vendor = c.vendor;
    h->model = c.model;
    dc1394camera_t& r = h->record;
    r.guid = c.guid;
    r.unit = c.unit;
    r.unit_spec_ID = 0x00A02D;
    r.unit_sw_version = c.iidcVersion >= DC1394_IIDC_VERSION_1_30 ? 0x102 : 0x100 + (c.iidcVersion - 544);
    r.unit_sub_sw_version = c.iidcVersion >= DC1394_IIDC_VERSION_1_31 ? 0x10 * (c.iidcVersion - 547) : 0;
    r.command_registers_base = kCommandBase;
    r.advanced_features_csr = c.advanced.empty() ? 0 : kCommandBase + kAdvancedArea;
    for (const Format7Mode& m : c.format7) {
      r.format7_csr[Format7Number(m.mode)] = kCommandBase + kFormat7CsrArea + 0x100 * uint64_t(Format7Number(m.mode));
    }
    r.iidc_version = c.iidcVersion;
    r.vendor = h->vendor.data();
    r.model = h->model.data();
    r.vendor_id = c.vendorId;
    r.model_id = c.modelId;
    r.bmode_capable = c.bModeCapable ? DC1394_TRUE : DC1394_FALSE;
    dc1394camera_t* record = &h->record;
    impl_->handles[record] = std::move(h);
    return record;
  }
  return nullptr;
}

void FakeIidc::CameraFree(dc1394camera_t* camera) {
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["CameraFree"];
  auto it = impl_->handles.find(camera);
  if (it == impl_->handles.end() || it->second->freed) {
    ++impl_->counters.badFrees;
    return;
  }
  Impl::Handle& h = *it->second;
  if (h.capture) {
    ++impl_->counters.implicitStops;
    impl_->Stop(h);
  }
  h.freed = true;
}

// Fixed video modes and frame rates.

dc1394error_t FakeIidc::VideoGetSupportedModes(dc1394camera_t* camera, dc1394video_modes_t* modes) {
  return impl_->Run("VideoGetSupportedModes", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!modes) return DC1394_INVALID_ARGUMENT_VALUE;
    std::vector<dc1394video_mode_t> all;
    for (const FixedMode& m : d.state.modes) all.push_back(m.mode);
    for (const Format7Mode& m : d.state.format7) all.push_back(m.mode);
    std::sort(all.begin(), all.end());
    *modes = {};
    for (dc1394video_mode_t m : all) {
      if (modes->num < DC1394_VIDEO_MODE_NUM) modes->modes[modes->num++] = m;
    }
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoGetSupportedFramerates(dc1394camera_t* camera, dc1394video_mode_t mode,
                                                    dc1394framerates_t* rates) {
  return impl_->Run("VideoGetSupportedFramerates", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!rates) return DC1394_INVALID_ARGUMENT_VALUE;
    const FixedMode* m = IsFixed(mode) ? Impl::FixedOf(d, mode) : nullptr;
    if (!m) return DC1394_INVALID_VIDEO_MODE;
    *rates = {};
    for (uint32_t r = 0; r < DC1394_FRAMERATE_NUM; ++r) {
      if (Impl::Offers(*m, r)) rates->framerates[rates->num++] = dc1394framerate_t(DC1394_FRAMERATE_MIN + int(r));
    }
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoGetMode(dc1394camera_t* camera, dc1394video_mode_t* mode) {
  return impl_->Run("VideoGetMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!mode) return DC1394_INVALID_ARGUMENT_VALUE;
    const auto current = Impl::Current(d);
    if (!current) return DC1394_INVALID_VIDEO_MODE;
    *mode = *current;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoSetMode(dc1394camera_t* camera, dc1394video_mode_t mode) {
  return impl_->Run("VideoSetMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!IsMode(mode) || !Impl::Has(d, mode)) return DC1394_INVALID_VIDEO_MODE;
    if (Impl::Streaming(d)) return DC1394_CAPTURE_IS_RUNNING;
    std::tie(d.format, d.mode) = Codes(mode);
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoGetFramerate(dc1394camera_t* camera, dc1394framerate_t* rate) {
  return impl_->Run("VideoGetFramerate", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!rate) return DC1394_INVALID_ARGUMENT_VALUE;
    *rate = dc1394framerate_t(DC1394_FRAMERATE_MIN + int(d.rate));
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoSetFramerate(dc1394camera_t* camera, dc1394framerate_t rate) {
  return impl_->Run("VideoSetFramerate", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (rate < DC1394_FRAMERATE_MIN || rate > DC1394_FRAMERATE_MAX) return DC1394_INVALID_FRAMERATE;
    const auto current = Impl::Current(d);
    const FixedMode* m = current && IsFixed(*current) ? Impl::FixedOf(d, *current) : nullptr;
    const uint32_t code = uint32_t(rate - DC1394_FRAMERATE_MIN);
    if (m && !Impl::Offers(*m, code)) return DC1394_INVALID_FRAMERATE;
    if (Impl::Streaming(d)) return DC1394_CAPTURE_IS_RUNNING;
    d.rate = code;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoSetIsoSpeed(dc1394camera_t* camera, dc1394speed_t speed) {
  return impl_->Run("VideoSetIsoSpeed", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (speed < DC1394_ISO_SPEED_MIN || speed > DC1394_ISO_SPEED_MAX) return DC1394_INVALID_ISO_SPEED;
    if (speed > DC1394_ISO_SPEED_400 && !d.modeB) return DC1394_INVALID_ISO_SPEED;
    d.speed = uint32_t(speed);
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoSetOperationMode(dc1394camera_t* camera, dc1394operation_mode_t mode) {
  return impl_->Run("VideoSetOperationMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (mode != DC1394_OPERATION_MODE_LEGACY && mode != DC1394_OPERATION_MODE_1394B)
      return DC1394_INVALID_OPERATION_MODE;
    if (mode == DC1394_OPERATION_MODE_1394B && !d.state.bModeCapable) return DC1394_FUNCTION_NOT_SUPPORTED;
    d.modeB = mode == DC1394_OPERATION_MODE_1394B;
    if (!d.modeB) d.speed = std::min(d.speed, uint32_t(DC1394_ISO_SPEED_400));
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::VideoSetTransmission(dc1394camera_t* camera, dc1394switch_t power) {
  return impl_->Run("VideoSetTransmission", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (power != DC1394_ON && power != DC1394_OFF) return DC1394_INVALID_ARGUMENT_VALUE;
    d.transmitting = power == DC1394_ON;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::GetImageSizeFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                                  uint32_t* height) {
  return impl_->Run("GetImageSizeFromVideoMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!width || !height) return DC1394_INVALID_ARGUMENT_VALUE;
    if (IsFixed(mode)) {
      *width = kFixed[mode - DC1394_VIDEO_MODE_MIN].width, *height = kFixed[mode - DC1394_VIDEO_MODE_MIN].height;
      return DC1394_SUCCESS;
    }
    Format7Mode* m = nullptr;
    if (const dc1394error_t e = Impl::Format7Lookup(d, mode, &m)) return e;
    *width = m->width, *height = m->height;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::GetColorCodingFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode,
                                                    dc1394color_coding_t* coding) {
  return impl_->Run("GetColorCodingFromVideoMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!coding) return DC1394_INVALID_ARGUMENT_VALUE;
    if (IsFixed(mode)) {
      *coding = kFixed[mode - DC1394_VIDEO_MODE_MIN].coding;
      return DC1394_SUCCESS;
    }
    Format7Mode* m = nullptr;
    if (const dc1394error_t e = Impl::Format7Lookup(d, mode, &m)) return e;
    *coding = *m->coding;
    return DC1394_SUCCESS;
  });
}

// Format 7.

dc1394error_t FakeIidc::Format7GetMaxImageSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                               uint32_t* height) {
  return impl_->Format7Pair("Format7GetMaxImageSize", camera, mode, width, height,
                            [](const Format7Mode& m) { return std::pair(m.maxWidth, m.maxHeight); });
}

dc1394error_t FakeIidc::Format7GetUnitSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                           uint32_t* vUnit) {
  return impl_->Format7Pair("Format7GetUnitSize", camera, mode, hUnit, vUnit,
                            [](const Format7Mode& m) { return std::pair(m.unitWidth, m.unitHeight); });
}

dc1394error_t FakeIidc::Format7GetUnitPosition(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                               uint32_t* vUnit) {
  return impl_->Format7Pair("Format7GetUnitPosition", camera, mode, hUnit, vUnit,
                            [](const Format7Mode& m) { return std::pair(m.unitLeft, m.unitTop); });
}

dc1394error_t FakeIidc::Format7GetColorCodings(dc1394camera_t* camera, dc1394video_mode_t mode,
                                               dc1394color_codings_t* codings) {
  return impl_->RunFormat7("Format7GetColorCodings", camera, mode, [&](Impl::Device&, Format7Mode& m) {
    if (!codings) return DC1394_INVALID_ARGUMENT_VALUE;
    *codings = {};
    // In the order of the inquiry register's bits, as the library reads them.
    for (int c = DC1394_COLOR_CODING_MIN; c <= DC1394_COLOR_CODING_MAX; ++c) {
      if (std::count(m.codings.begin(), m.codings.end(), dc1394color_coding_t(c)))
        codings->codings[codings->num++] = dc1394color_coding_t(c);
    }
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::Format7GetColorFilter(dc1394camera_t* camera, dc1394video_mode_t mode,
                                              dc1394color_filter_t* filter) {
  return impl_->RunFormat7("Format7GetColorFilter", camera, mode, [&](Impl::Device&, Format7Mode& m) {
    if (!filter) return DC1394_INVALID_ARGUMENT_VALUE;
    *filter = m.filter;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::Format7GetPacketParameters(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* unitBytes,
                                                   uint32_t* maxBytes) {
  return impl_->Format7Pair("Format7GetPacketParameters", camera, mode, unitBytes, maxBytes,
                            [](const Format7Mode& m) { return std::pair(m.unitBytes, m.maxBytes); });
}

dc1394error_t FakeIidc::Format7GetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* size) {
  return impl_->RunFormat7("Format7GetPacketSize", camera, mode, [&](Impl::Device&, Format7Mode& m) {
    if (!size) return DC1394_INVALID_ARGUMENT_VALUE;
    *size = m.packetSize;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::Format7SetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t size) {
  return impl_->RunFormat7("Format7SetPacketSize", camera, mode, [&](Impl::Device& d, Format7Mode& m) {
    if (Impl::Streaming(d) && Impl::Current(d) == mode) return DC1394_CAPTURE_IS_RUNNING;
    if (!Impl::PacketFits(m, size)) return DC1394_REQ_VALUE_OUTSIDE_RANGE;
    m.packetSize = size;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::Format7GetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t* coding,
                                      uint32_t* packetSize, uint32_t* left, uint32_t* top, uint32_t* width,
                                      uint32_t* height) {
  return impl_->RunFormat7("Format7GetRoi", camera, mode, [&](Impl::Device&, Format7Mode& m) {
    if (!coding || !packetSize || !left || !top || !width || !height) return DC1394_INVALID_ARGUMENT_VALUE;
    *coding = *m.coding, *packetSize = m.packetSize;
    *left = m.left, *top = m.top, *width = m.width, *height = m.height;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::Format7SetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t coding,
                                      int32_t packetSize, int32_t left, int32_t top, int32_t width, int32_t height) {
  return impl_->RunFormat7("Format7SetRoi", camera, mode, [&](Impl::Device& d, Format7Mode& m) {
    if (Impl::Streaming(d) && Impl::Current(d) == mode) return DC1394_CAPTURE_IS_RUNNING;
    dc1394color_coding_t c = *m.coding;
    // The library takes QUERY_FROM_CAMERA for the coding too: look at the
    // bits, as that value is outside the enumeration.
    static_assert(sizeof(coding) == sizeof(int32_t));
    int32_t raw = 0;
    std::memcpy(&raw, &coding, sizeof raw);
    if (raw != DC1394_QUERY_FROM_CAMERA) {
      if (std::find(m.codings.begin(), m.codings.end(), coding) == m.codings.end()) return DC1394_INVALID_COLOR_CODING;
      c = coding;
    }
    // Flags: QUERY_FROM_CAMERA keeps the current value; the others take 0 for
    // a position, the most the mode allows from the position for a size, and
    // the maximum for the packet size (the camera recommends none).
    auto position = [](int32_t v, uint32_t current) {
      return v == DC1394_QUERY_FROM_CAMERA ? current : v < 0 ? 0 : uint32_t(v);
    };
    const uint32_t l = position(left, m.left), t = position(top, m.top);
    auto size = [](int32_t v, uint32_t current, uint32_t max, uint32_t from, uint32_t unit) {
      if (v == DC1394_QUERY_FROM_CAMERA) return current;
      if (v < 0) return from < max ? (max - from) / unit * unit : 0;
      return uint32_t(v);
    };
    const uint32_t w = size(width, m.width, m.maxWidth, l, m.unitWidth);
    const uint32_t h = size(height, m.height, m.maxHeight, t, m.unitHeight);
    uint32_t p = m.packetSize;
    if (packetSize == DC1394_USE_MAX_AVAIL || packetSize == DC1394_USE_RECOMMENDED) {
      p = m.maxBytes / m.unitBytes * m.unitBytes;
    } else if (packetSize < 0 && packetSize != DC1394_QUERY_FROM_CAMERA) {
      return DC1394_INVALID_ARGUMENT_VALUE;
    } else if (packetSize >= 0) {
      p = uint32_t(packetSize);
    }
    if (!Impl::RegionFits(m, l, t, w, h) || !Impl::PacketFits(m, p)) return DC1394_REQ_VALUE_OUTSIDE_RANGE;
    m.coding = c, m.packetSize = p;
    m.left = l, m.top = t, m.width = w, m.height = h;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::Format7GetTotalBytes(dc1394camera_t* camera, dc1394video_mode_t mode, uint64_t* bytes) {
  return impl_->RunFormat7("Format7GetTotalBytes", camera, mode, [&](Impl::Device&, Format7Mode& m) {
    if (!bytes) return DC1394_INVALID_ARGUMENT_VALUE;
    *bytes = Impl::TotalBytes(m);
    return DC1394_SUCCESS;
  });
}

// Features.

dc1394error_t FakeIidc::FeatureGetAll(dc1394camera_t* camera, dc1394featureset_t* features) {
  return impl_->Run("FeatureGetAll", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!features) return DC1394_INVALID_ARGUMENT_VALUE;
    *features = {};
    for (int i = 0; i < DC1394_FEATURE_NUM; ++i) {
      dc1394feature_info_t& info = features->feature[i];
      info.id = dc1394feature_t(DC1394_FEATURE_MIN + i);
      info.current_mode = DC1394_FEATURE_MODE_MANUAL;
      info.trigger_mode = DC1394_TRIGGER_MODE_0;
      info.trigger_polarity = DC1394_TRIGGER_ACTIVE_LOW;
      info.trigger_source = DC1394_TRIGGER_SOURCE_0;
      if (info.id == DC1394_FEATURE_TRIGGER) {
        const Trigger& t = d.state.trigger;
        if (!t.present) continue;
        info.available = DC1394_TRUE;
        info.readout_capable = t.readOut ? DC1394_TRUE : DC1394_FALSE;
        info.on_off_capable = t.onOffCapable ? DC1394_TRUE : DC1394_FALSE;
        info.polarity_capable = t.polarityCapable ? DC1394_TRUE : DC1394_FALSE;
        info.is_on = t.on ? DC1394_ON : DC1394_OFF;
        auto modeOf = [](uint32_t m) {
          return dc1394trigger_mode_t(m <= 5 ? DC1394_TRIGGER_MODE_0 + int(m) : DC1394_TRIGGER_MODE_14 + int(m - 14));
        };
        auto sourceOf = [](uint32_t s) {
          return s == 7 ? DC1394_TRIGGER_SOURCE_SOFTWARE : dc1394trigger_source_t(DC1394_TRIGGER_SOURCE_0 + int(s));
        };
        for (uint32_t m : t.modes) info.trigger_modes.modes[info.trigger_modes.num++] = modeOf(m);
        for (uint32_t s : t.sources) info.trigger_sources.sources[info.trigger_sources.num++] = sourceOf(s);
        info.trigger_mode = modeOf(t.mode);
        info.trigger_polarity = t.polarityHigh ? DC1394_TRIGGER_ACTIVE_HIGH : DC1394_TRIGGER_ACTIVE_LOW;
        info.trigger_source = sourceOf(t.source);
        info.value = t.parameter;
        continue;
      }
      const Feature* f = Impl::FeatureOf(d, info.id);
      if (!f) continue;
      info.available = DC1394_TRUE;
      info.absolute_capable = f->absoluteCapable ? DC1394_TRUE : DC1394_FALSE;
      info.readout_capable = f->readOut ? DC1394_TRUE : DC1394_FALSE;
      info.on_off_capable = f->onOffCapable ? DC1394_TRUE : DC1394_FALSE;
      info.is_on = f->on ? DC1394_ON : DC1394_OFF;
      info.current_mode = f->mode;
      if (f->manualCapable) info.modes.modes[info.modes.num++] = DC1394_FEATURE_MODE_MANUAL;
      if (f->autoCapable) info.modes.modes[info.modes.num++] = DC1394_FEATURE_MODE_AUTO;
      if (f->onePushCapable) info.modes.modes[info.modes.num++] = DC1394_FEATURE_MODE_ONE_PUSH_AUTO;
      info.min = f->min, info.max = f->max;
      switch (info.id) {
        case DC1394_FEATURE_WHITE_BALANCE:
          info.BU_value = f->value, info.RV_value = f->value2;
          break;
        case DC1394_FEATURE_TEMPERATURE:
          info.target_value = f->value, info.value = f->value2;
          break;
        case DC1394_FEATURE_WHITE_SHADING:
          info.R_value = f->red, info.G_value = f->green, info.B_value = f->blue;
          break;
        default:
          info.value = f->value;
      }
      info.abs_control = f->absoluteOn ? DC1394_ON : DC1394_OFF;
      if (f->absoluteCapable) info.abs_value = f->absValue, info.abs_min = f->absMin, info.abs_max = f->absMax;
    }
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* value) {
  return impl_->Run("FeatureGetValue", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!value) return DC1394_INVALID_ARGUMENT_VALUE;
    if (feature == DC1394_FEATURE_TRIGGER) {
      if (!d.state.trigger.present) return DC1394_FUNCTION_NOT_SUPPORTED;
      *value = d.state.trigger.parameter;
      return DC1394_SUCCESS;
    }
    if (IsMultiValue(feature)) return DC1394_INVALID_FEATURE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    *value = f->value;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureSetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t value) {
  return impl_->Run("FeatureSetValue", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (feature == DC1394_FEATURE_TRIGGER) {
      if (!d.state.trigger.present) return DC1394_FUNCTION_NOT_SUPPORTED;
      if (value > 0xFFF) return DC1394_REQ_VALUE_OUTSIDE_RANGE;
      d.state.trigger.parameter = value;
      return DC1394_SUCCESS;
    }
    if (IsMultiValue(feature)) return DC1394_INVALID_FEATURE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    if (value < f->min || value > f->max) return DC1394_REQ_VALUE_OUTSIDE_RANGE;
    impl_->SetValue(*f, value);
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetBoundaries(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* minimum,
                                             uint32_t* maximum) {
  return impl_->Run("FeatureGetBoundaries", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!minimum || !maximum) return DC1394_INVALID_ARGUMENT_VALUE;
    if (feature == DC1394_FEATURE_TRIGGER) return DC1394_INVALID_FEATURE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    *minimum = f->min, *maximum = f->max;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t* mode) {
  return impl_->Run("FeatureGetMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!mode) return DC1394_INVALID_ARGUMENT_VALUE;
    if (feature == DC1394_FEATURE_TRIGGER) {
      if (!d.state.trigger.present) return DC1394_FUNCTION_NOT_SUPPORTED;
      *mode = DC1394_FEATURE_MODE_MANUAL;
      return DC1394_SUCCESS;
    }
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    *mode = f->mode;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureSetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t mode) {
  return impl_->Run("FeatureSetMode", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (mode < DC1394_FEATURE_MODE_MIN || mode > DC1394_FEATURE_MODE_MAX) return DC1394_INVALID_FEATURE_MODE;
    if (feature == DC1394_FEATURE_TRIGGER) return DC1394_INVALID_FEATURE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    const bool capable = mode == DC1394_FEATURE_MODE_MANUAL ? f->manualCapable
                         : mode == DC1394_FEATURE_MODE_AUTO ? f->autoCapable
                                                            : f->onePushCapable;
    if (!capable) return DC1394_FUNCTION_NOT_SUPPORTED;
    f->mode = mode;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t* power) {
  return impl_->Run("FeatureGetPower", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!power) return DC1394_INVALID_ARGUMENT_VALUE;
    if (feature == DC1394_FEATURE_TRIGGER) {
      if (!d.state.trigger.present) return DC1394_FUNCTION_NOT_SUPPORTED;
      *power = d.state.trigger.on ? DC1394_ON : DC1394_OFF;
      return DC1394_SUCCESS;
    }
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    *power = f->on ? DC1394_ON : DC1394_OFF;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureSetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t power) {
  return impl_->Run("FeatureSetPower", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (power != DC1394_ON && power != DC1394_OFF) return DC1394_INVALID_ARGUMENT_VALUE;
    if (feature == DC1394_FEATURE_TRIGGER) {
      Trigger& t = d.state.trigger;
      if (!t.present || !t.onOffCapable) return DC1394_FUNCTION_NOT_SUPPORTED;
      t.on = power == DC1394_ON;
      return DC1394_SUCCESS;
    }
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::Lookup(d, feature, &f)) return e;
    if (!f->onOffCapable) return DC1394_FUNCTION_NOT_SUPPORTED;
    f->on = power == DC1394_ON;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                                  dc1394switch_t* power) {
  return impl_->Run("FeatureGetAbsoluteControl", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!power) return DC1394_INVALID_ARGUMENT_VALUE;
    Feature* f = nullptr;
    if (!IsFeature(feature)) return DC1394_INVALID_FEATURE;
    if ((f = Impl::FeatureOf(d, feature)) == nullptr) return DC1394_FUNCTION_NOT_SUPPORTED;
    *power = f->absoluteOn ? DC1394_ON : DC1394_OFF;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureSetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                                  dc1394switch_t power) {
  return impl_->Run("FeatureSetAbsoluteControl", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (power != DC1394_ON && power != DC1394_OFF) return DC1394_INVALID_ARGUMENT_VALUE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::AbsoluteLookup(d, feature, &f)) return e;
    f->absoluteOn = power == DC1394_ON;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetAbsoluteBoundaries(dc1394camera_t* camera, dc1394feature_t feature, float* minimum,
                                                     float* maximum) {
  return impl_->Run("FeatureGetAbsoluteBoundaries", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!minimum || !maximum) return DC1394_INVALID_ARGUMENT_VALUE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::AbsoluteLookup(d, feature, &f)) return e;
    *minimum = f->absMin, *maximum = f->absMax;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureGetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float* value) {
  return impl_->Run("FeatureGetAbsoluteValue", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!value) return DC1394_INVALID_ARGUMENT_VALUE;
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::AbsoluteLookup(d, feature, &f)) return e;
    *value = f->absValue;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureSetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float value) {
  return impl_->Run("FeatureSetAbsoluteValue", camera, [&](Impl::Handle&, Impl::Device& d) {
    Feature* f = nullptr;
    if (const dc1394error_t e = Impl::AbsoluteLookup(d, feature, &f)) return e;
    if (!(value >= f->absMin && value <= f->absMax)) return DC1394_REQ_VALUE_OUTSIDE_RANGE;  // NaN too
    f->absValue = value;
    f->value = ValueOf(*f, value);
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::FeatureWhitebalanceGetValue(dc1394camera_t* camera, uint32_t* ub, uint32_t* vr) {
  return impl_->RunFeature("FeatureWhitebalanceGetValue", camera, DC1394_FEATURE_WHITE_BALANCE,
                           [&](Impl::Device&, Feature& f) {
                             if (!ub || !vr) return DC1394_INVALID_ARGUMENT_VALUE;
                             *ub = f.value, *vr = f.value2;
                             return DC1394_SUCCESS;
                           });
}

dc1394error_t FakeIidc::FeatureWhitebalanceSetValue(dc1394camera_t* camera, uint32_t ub, uint32_t vr) {
  return impl_->RunFeature("FeatureWhitebalanceSetValue", camera, DC1394_FEATURE_WHITE_BALANCE,
                           [&](Impl::Device&, Feature& f) {
                             if (ub < f.min || ub > f.max || vr < f.min || vr > f.max)
                               return DC1394_REQ_VALUE_OUTSIDE_RANGE;
                             f.value = ub, f.value2 = vr;
                             return DC1394_SUCCESS;
                           });
}

dc1394error_t FakeIidc::FeatureTemperatureGetValue(dc1394camera_t* camera, uint32_t* target, uint32_t* current) {
  return impl_->RunFeature("FeatureTemperatureGetValue", camera, DC1394_FEATURE_TEMPERATURE,
                           [&](Impl::Device&, Feature& f) {
                             if (!target || !current) return DC1394_INVALID_ARGUMENT_VALUE;
                             *target = f.value, *current = f.value2;
                             return DC1394_SUCCESS;
                           });
}

dc1394error_t FakeIidc::FeatureTemperatureSetValue(dc1394camera_t* camera, uint32_t target) {
  return impl_->RunFeature("FeatureTemperatureSetValue", camera, DC1394_FEATURE_TEMPERATURE,
                           [&](Impl::Device&, Feature& f) {
                             if (target < f.min || target > f.max) return DC1394_REQ_VALUE_OUTSIDE_RANGE;
                             f.value = target;
                             return DC1394_SUCCESS;
                           });
}

dc1394error_t FakeIidc::FeatureWhiteshadingGetValue(dc1394camera_t* camera, uint32_t* r, uint32_t* g, uint32_t* b) {
  return impl_->RunFeature("FeatureWhiteshadingGetValue", camera, DC1394_FEATURE_WHITE_SHADING,
                           [&](Impl::Device&, Feature& f) {
                             if (!r || !g || !b) return DC1394_INVALID_ARGUMENT_VALUE;
                             *r = f.red, *g = f.green, *b = f.blue;
                             return DC1394_SUCCESS;
                           });
}

dc1394error_t FakeIidc::FeatureWhiteshadingSetValue(dc1394camera_t* camera, uint32_t r, uint32_t g, uint32_t b) {
  return impl_->RunFeature("FeatureWhiteshadingSetValue", camera, DC1394_FEATURE_WHITE_SHADING,
                           [&](Impl::Device&, Feature& f) {
                             const uint32_t most = std::min(f.max, 0xFFu);
                             for (uint32_t v : {r, g, b}) {
                               if (v < f.min || v > most) return DC1394_REQ_VALUE_OUTSIDE_RANGE;
                             }
                             f.red = r, f.green = g, f.blue = b;
                             return DC1394_SUCCESS;
                           });
}

// Registers.

dc1394error_t FakeIidc::GetControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values, uint32_t count) {
  return impl_->Run("GetControlRegisters", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!values || count == 0) return DC1394_INVALID_ARGUMENT_VALUE;
    for (uint32_t i = 0; i < count; ++i) {
      const auto v = impl_->Read(d, offset + 4 * uint64_t(i));
      if (!v) return DC1394_FAILURE;
      values[i] = *v;
    }
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::SetControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                            uint32_t count) {
  return impl_->Run("SetControlRegisters", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (!values || count == 0) return DC1394_INVALID_ARGUMENT_VALUE;
    for (uint32_t i = 0; i < count; ++i) {
      if (!impl_->Write(d, offset + 4 * uint64_t(i), values[i])) return DC1394_FAILURE;
    }
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::GetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values,
                                               uint32_t count) {
  return impl_->Run("GetAdvControlRegisters", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (d.state.advanced.empty()) return DC1394_FUNCTION_NOT_SUPPORTED;
    if (!values || count == 0) return DC1394_INVALID_ARGUMENT_VALUE;
    if (offset % 4 || offset / 4 + count > d.state.advanced.size()) return DC1394_FAILURE;
    std::copy_n(d.state.advanced.begin() + std::ptrdiff_t(offset / 4), count, values);
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::SetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                               uint32_t count) {
  return impl_->Run("SetAdvControlRegisters", camera, [&](Impl::Handle&, Impl::Device& d) {
    if (d.state.advanced.empty()) return DC1394_FUNCTION_NOT_SUPPORTED;
    if (!values || count == 0) return DC1394_INVALID_ARGUMENT_VALUE;
    if (offset % 4 || offset / 4 + count > d.state.advanced.size()) return DC1394_FAILURE;
    std::copy_n(values, count, d.state.advanced.begin() + std::ptrdiff_t(offset / 4));
    return DC1394_SUCCESS;
  });
}

// Capture.

dc1394error_t FakeIidc::CaptureSetup(dc1394camera_t* camera, uint32_t buffers, uint32_t flags) {
  return impl_->Run("CaptureSetup", camera, [&](Impl::Handle& h, Impl::Device& d) {
    if (h.capture) return DC1394_CAPTURE_IS_RUNNING;
    if (buffers == 0) return DC1394_INVALID_ARGUMENT_VALUE;
    if (d.state.busy || d.capturer) return d.state.busyError;
    const auto mode = Impl::Current(d);
    if (!mode || !Impl::Has(d, *mode)) return DC1394_INVALID_VIDEO_MODE;
    auto c = std::make_unique<Impl::Capture>();
    FrameRequest& r = c->request;
    r.mode = *mode;
    if (IsFixed(*mode)) {
      const FixedMode& m = *Impl::FixedOf(d, *mode);
      if (!Impl::Offers(m, d.rate)) return DC1394_INVALID_VIDEO_MODE;
      const FixedInfo& info = kFixed[*mode - DC1394_VIDEO_MODE_MIN];
      r.coding = info.coding, r.width = info.width, r.height = info.height;
      const auto rate = dc1394framerate_t(DC1394_FRAMERATE_MIN + int(d.rate));
      c->packetSize = FixedPacketSize(*mode, rate);
      c->periodUs = 8'000'000 / Fps8(rate);
    } else {
      const Format7Mode& m = *Impl::Format7Of(d, *mode);
      r.coding = *m.coding, r.width = m.width, r.height = m.height, r.left = m.left, r.top = m.top;
      c->packetSize = m.packetSize;
      c->filter = m.filter;
    }
    if (c->packetSize == 0) return DC1394_INVALID_VIDEO_MODE;  // a description without a packet size
    r.stride = RowBytes(r.coding, r.width);
    c->imageBytes = r.stride * r.height;
    c->packets = (c->imageBytes + c->packetSize - 1) / c->packetSize;
    c->totalBytes = uint64_t(c->packets) * c->packetSize;
    if (!IsFixed(*mode)) c->periodUs = 125 * uint64_t(c->packets);  // one packet per isochronous cycle
    c->flags = flags;
    c->fd = impl_->nextFd++;
    c->frames.resize(buffers);
    c->held.assign(buffers, false);
    for (uint32_t i = 0; i < buffers; ++i) c->buffers.push_back(std::make_unique<uint8_t[]>(c->totalBytes));
    impl_->fds[c->fd] = &h;
    h.capture = std::move(c);
    d.capturer = &h;
    if (flags & DC1394_CAPTURE_FLAGS_AUTO_ISO) d.transmitting = true;
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::CaptureStop(dc1394camera_t* camera) {
  return impl_->Run(
      "CaptureStop", camera,
      [&](Impl::Handle& h, Impl::Device&) {
        if (!h.capture) return DC1394_CAPTURE_IS_NOT_SET;
        impl_->Stop(h);
        return DC1394_SUCCESS;
      },
      true);
}

int FakeIidc::CaptureGetFileno(dc1394camera_t* camera) {
  int fd = -1;
  impl_->Run(
      "CaptureGetFileno", camera,
      [&](Impl::Handle& h, Impl::Device&) {
        if (h.capture) fd = h.capture->fd;
        return DC1394_SUCCESS;
      },
      true);
  return fd;
}

int FakeIidc::Poll(int fd, int timeoutMs) {
  // The fake never waits: what is not ready now never will be by itself.
  std::lock_guard lock(impl_->mutex);
  ++impl_->calls["Poll"];
  ++impl_->counters.pollCalls;
  auto it = impl_->fds.find(fd);
  if (it == impl_->fds.end()) {
    errno = EBADF;
    return -1;
  }
  Impl::Handle& h = *it->second;
  if (h.device->gone) {
    errno = ENODEV;
    return -1;
  }
  // A filled frame, or one the camera captures within the wait.
  const Impl::Capture& c = *h.capture;
  if (c.broken || c.filled > 0 || ((timeoutMs != 0 || h.device->state.alwaysReady) && impl_->Ready(*h.device, c)))
    return 1;
  ++impl_->counters.pollTimeouts;
  return 0;
}

dc1394error_t FakeIidc::CaptureDequeue(dc1394camera_t* camera, dc1394capture_policy_t policy,
                                       dc1394video_frame_t** frame) {
  if (frame) *frame = nullptr;
  return impl_->Run("CaptureDequeue", camera, [&](Impl::Handle& h, Impl::Device& d) {
    if (!frame) return DC1394_INVALID_ARGUMENT_VALUE;
    if (policy != DC1394_CAPTURE_POLICY_WAIT && policy != DC1394_CAPTURE_POLICY_POLL)
      return DC1394_INVALID_CAPTURE_POLICY;
    if (!h.capture) return DC1394_CAPTURE_IS_NOT_SET;
    Impl::Capture& c = *h.capture;
    if (c.broken) return DC1394_FAILURE;
    if (c.filled == 0) {  // nothing waits in the ring: the camera captures one for the host now
      if (!impl_->Ready(d, c)) {
        if (policy == DC1394_CAPTURE_POLICY_POLL) return DC1394_SUCCESS;
        ++impl_->counters.stalledWaits;
        return DC1394_FAILURE;
      }
      impl_->Fill(h, d, c, c.next);
      ++c.filled;
    }
    const uint32_t index = c.next;  // the oldest frame in the ring
    impl_->Hand(d, c);
    *frame = &c.frames[index];
    return DC1394_SUCCESS;
  });
}

dc1394error_t FakeIidc::CaptureEnqueue(dc1394camera_t* camera, dc1394video_frame_t* frame) {
  return impl_->Run(
      "CaptureEnqueue", camera,
      [&](Impl::Handle& h, Impl::Device&) {
        if (!h.capture) return DC1394_CAPTURE_IS_NOT_SET;
        Impl::Capture& c = *h.capture;
        for (size_t i = 0; i < c.frames.size(); ++i) {
          if (&c.frames[i] != frame) continue;
          if (!c.held[i]) break;
          c.held[i] = false;
          return DC1394_SUCCESS;
        }
        ++impl_->counters.badEnqueues;
        return DC1394_INVALID_ARGUMENT_VALUE;
      },
      true);
}

}  // namespace kelvane::iidc::fake
