#include "platform/v4l2/device.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <system_error>

#include "platform/dshow.h"
#include "platform/factory.h"

namespace kelvane::v4l2 {

using namespace platform;

namespace {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK;
constexpr uint32_t kBufferCount = 4;
constexpr int kMaxInterruptions = 64;

bool Vanished(int error) { return error == ENODEV || error == ENXIO || error == EIO; }

// A buffer request of the streaming ioctls: single-planar, or multi-planar with
// its plane array beside it (so it cannot be copied).
struct BufferArg {
  v4l2_buffer b{};
  v4l2_plane planes[VIDEO_MAX_PLANES]{};
  BufferArg(uint32_t index, uint32_t type, bool multiPlanar, uint32_t planeCount) {
    b.index = index;
    b.type = type;
    b.memory = V4L2_MEMORY_MMAP;
    if (multiPlanar) {
      b.m.planes = planes;
      b.length = planeCount;
    }
  }
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
};

int64_t ToInterval(const v4l2_fract& f) {
  if (f.denominator == 0) return 0;
  return static_cast<int64_t>(f.numerator) * 10'000'000 / f.denominator;
}

std::string Text(const uint8_t* bytes, size_t size) {
  const size_t n = strnlen(reinterpret_cast<const char*>(bytes), size);
  return std::string(reinterpret_cast<const char*>(bytes), n);
}

}  // namespace

HRESULT ErrnoResult(int error) {
  switch (error) {
    case 0:
      return E_FAIL;
    case ENODEV:
    case ENXIO:
    case EIO:
    case ENOENT:
      return kDeviceGone;
    case EBUSY:
      return kDeviceBusy;
    case EINVAL:
    case ERANGE:
      return E_INVALIDARG;
    case EACCES:
    case EPERM:
      return MakeHr(0x80070005u);  // access denied
    case ENOMEM:
      return E_OUTOFMEMORY;
    case ENOTTY:
      return E_NOTIMPL;
  }
  return E_FAIL;
}

bool ProbeNode(DeviceOps& ops, const std::string& path, Identity* identity) {
  const int fd = ops.Open(path.c_str(), kOpenFlags);
  if (fd < 0) return false;
  v4l2_capability cap{};
  int r;
  int tries = 0;
  do r = ops.Ioctl(fd, VIDIOC_QUERYCAP, &cap);
  while (r < 0 && errno == EINTR && ++tries < kMaxInterruptions);
  const int error = errno;
  ops.Close(fd);
  if (r < 0) {
    errno = error;
    return false;
  }
  const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  const bool single = caps & V4L2_CAP_VIDEO_CAPTURE, multi = caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE;
  if ((!single && !multi) || !(caps & V4L2_CAP_STREAMING)) {
    errno = ENODEV;  // metadata, output or read-only nodes
    return false;
  }
  identity->path = path;
  identity->driver = Text(cap.driver, sizeof cap.driver);
  identity->card = Text(cap.card, sizeof cap.card);
  identity->busInfo = Text(cap.bus_info, sizeof cap.bus_info);
  identity->deviceCaps = caps;
  identity->multiPlanar = !single && multi;
  return true;
}

Device::Device(DeviceOps& ops, Identity identity) : ops_(ops), identity_(std::move(identity)) {}

Device::~Device() {
  MutexLock stream(streamMutex_);
  MutexLock lock(mutex_);
  StopStreamingLocked();
  CloseLocked();
}

void Device::Say(const std::string& text) { PlatformMessage(("V4L2 camera " + text + "\r\n").c_str()); }

uint32_t Device::BufferType() const {
  return identity_.multiPlanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

int Device::Xioctl(int fd, unsigned long request, void* arg) {
  int r;
  int tries = 0;
  do r = ops_.Ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR && ++tries < kMaxInterruptions);
  if (r < 0) NoteFailure(errno);
  return r;
}

// Waits up to waitMs for the device to have something to say (a filled
// buffer, or an error that the next DQBUF reports); an interrupted wait is
// waited again (a signal costs no frame). `revents` gets what it said.
int Device::PollDevice(int fd, int waitMs, short* revents) {
  pollfd p{fd, POLLIN, 0};
  int ready;
  int tries = 0;
  do ready = ops_.Poll(&p, 1, waitMs);
  while (ready < 0 && errno == EINTR && ++tries < kMaxInterruptions);
  if (revents) *revents = p.revents;
  return ready;
}

// Takes a filled buffer from the driver. False when there is none (EAGAIN) or
// the driver failed: a device that has left is lost, any other failure is said
// once per stream.
bool Device::DequeueLocked(int fd, v4l2_buffer& b) {
  if (Xioctl(fd, VIDIOC_DQBUF, &b) >= 0) return b.index < buffers_.size();
  const int error = errno;
  if (error == EAGAIN) return false;
  if (Vanished(error) || gone_) {
    LostLocked();
  } else if (!brokenSaid_) {
    brokenSaid_ = true;
    Say(identity_.card + " (" + identity_.path + "): taking a frame failed: " + std::generic_category().message(error));
  }
  return false;
}

void Device::NoteFailure(int error) {
  if (Vanished(error)) gone_ = true;
  errno = error;
}

int Device::OpenLocked() {
  if (fd_ >= 0) return fd_;
  if (gone_) {
    errno = ENODEV;
    return -1;
  }
  fd_ = ops_.Open(identity_.path.c_str(), kOpenFlags);
  if (fd_ < 0 && (errno == ENOENT || Vanished(errno))) gone_ = true;
  return fd_;
}

int Device::Fd() { return OpenLocked(); }

void Device::CloseLocked() {
  if (fd_ < 0 || streaming_) return;
  ops_.Close(fd_);
  fd_ = -1;
}

HRESULT Device::Health() {
  MutexLock lock(mutex_);
  if (!gone_) return S_OK;
  if (streaming_) return kDeviceGone;
  CloseLocked();
  // Back on its node, or on another one with the same card on the same bus.
  std::vector<std::string> candidates{identity_.path};
  for (const std::string& node : ops_.ListNodes())
    if (node != identity_.path) candidates.push_back(node);
  for (const std::string& node : candidates) {
    Identity found;
    if (!ProbeNode(ops_, node, &found)) continue;
    if (found.card != identity_.card || found.busInfo != identity_.busInfo) continue;
    identity_ = found;
    gone_ = false;
    modesRead_ = false;
    controls_.clear();  // it may be another camera of the same model
    return S_OK;
  }
  return kDeviceGone;
}

// ---- formats ------------------------------------------------------------------------------------------

std::vector<Mode> Device::Modes() {
  MutexLock lock(mutex_);
  IdleClose idle{*this};
  if (modesRead_) return modes_;
  const int fd = Fd();
  if (fd < 0) return {};
  std::vector<Mode> modes;
  for (uint32_t i = 0;; ++i) {
    v4l2_fmtdesc desc{};
    desc.index = i;
    desc.type = BufferType();
    if (Xioctl(fd, VIDIOC_ENUM_FMT, &desc) < 0) break;
    const PixelFormat* format = FindPixelFormat(desc.pixelformat);
    if (!format) continue;  // a format the pipeline cannot read

    const auto intervalsAt = [&](Mode& m) KELVANE_REQUIRES(mutex_) {
      for (uint32_t k = 0; k < 256; ++k) {
        v4l2_frmivalenum iv{};
        iv.index = k;
        iv.pixel_format = desc.pixelformat;
        iv.width = m.width;
        iv.height = m.height;
        if (Xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv) < 0) break;
        if (iv.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
          if (const int64_t t = ToInterval(iv.discrete); t > 0) m.intervals.push_back(t);
        } else {
          m.minInterval = ToInterval(iv.stepwise.min);
          m.maxInterval = ToInterval(iv.stepwise.max);
          break;
        }
      }
      if (!m.intervals.empty()) {
        std::sort(m.intervals.begin(), m.intervals.end());
        m.intervals.erase(std::unique(m.intervals.begin(), m.intervals.end()), m.intervals.end());
        m.minInterval = m.intervals.front();
        m.maxInterval = m.intervals.back();
      }
    };

    bool any = false;
    for (uint32_t k = 0; k < 1024; ++k) {
      v4l2_frmsizeenum size{};
      size.index = k;
      size.pixel_format = desc.pixelformat;
      if (Xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
      Mode m;
      m.format = format;
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        m.width = m.minWidth = size.discrete.width;
        m.height = m.minHeight = size.discrete.height;
      } else {
        m.width = size.stepwise.max_width;
        m.height = size.stepwise.max_height;
        m.minWidth = size.stepwise.min_width;
        m.minHeight = size.stepwise.min_height;
        m.stepWidth = std::max<uint32_t>(size.stepwise.step_width, 1);
        m.stepHeight = std::max<uint32_t>(size.stepwise.step_height, 1);
      }
      if (m.width == 0 || m.height == 0) continue;
      intervalsAt(m);
      modes.push_back(std::move(m));
      any = true;
      if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
    }
    if (!any) {
      // A driver that lists no sizes: the size it streams now.
      v4l2_format f{};
      f.type = BufferType();
      if (Xioctl(fd, VIDIOC_G_FMT, &f) == 0) {
        Mode m;
        m.format = format;
        m.width = m.minWidth = identity_.multiPlanar ? f.fmt.pix_mp.width : f.fmt.pix.width;
        m.height = m.minHeight = identity_.multiPlanar ? f.fmt.pix_mp.height : f.fmt.pix.height;
        if (m.width && m.height) {
          intervalsAt(m);
          modes.push_back(std::move(m));
        }
      }
    }
  }
  if (gone_) return {};
  modes_ = modes;
  modesRead_ = true;
  return modes;
}

HRESULT Device::GetCurrent(Current* current) {
  MutexLock lock(mutex_);
  IdleClose idle{*this};
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  v4l2_format f{};
  f.type = BufferType();
  if (Xioctl(fd, VIDIOC_G_FMT, &f) < 0) return ErrnoResult(errno);
  Current c;
  uint32_t fourcc;
  if (identity_.multiPlanar) {
    fourcc = f.fmt.pix_mp.pixelformat;
    c.width = f.fmt.pix_mp.width;
    c.height = f.fmt.pix_mp.height;
    c.bytesPerLine = f.fmt.pix_mp.plane_fmt[0].bytesperline;
    c.sizeImage = f.fmt.pix_mp.plane_fmt[0].sizeimage;
  } else {
    fourcc = f.fmt.pix.pixelformat;
    c.width = f.fmt.pix.width;
    c.height = f.fmt.pix.height;
    c.bytesPerLine = f.fmt.pix.bytesperline;
    c.sizeImage = f.fmt.pix.sizeimage;
  }
  c.format = FindPixelFormat(fourcc);
  if (!c.format) {
    // Streaming something the pipeline cannot read (another program set it):
    // the first format it can read stands in until one is set.
    return VFW_E_INVALIDMEDIATYPE;
  }
  v4l2_streamparm parm{};
  parm.type = BufferType();
  if (Xioctl(fd, VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
    c.interval = ToInterval(parm.parm.capture.timeperframe);
  else if (gone_)
    return kDeviceGone;
  *current = c;
  return S_OK;
}

HRESULT Device::SetCurrent(const PixelFormat& format, uint32_t width, uint32_t height, int64_t interval) {
  MutexLock lock(mutex_);
  IdleClose idle{*this};
  if (streaming_) return VFW_E_WRONG_STATE;
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  v4l2_format f{};
  f.type = BufferType();
  if (identity_.multiPlanar) {
    f.fmt.pix_mp.pixelformat = format.fourcc;
    f.fmt.pix_mp.width = width;
    f.fmt.pix_mp.height = height;
    f.fmt.pix_mp.field = V4L2_FIELD_NONE;
    f.fmt.pix_mp.num_planes = 1;
  } else {
    f.fmt.pix.pixelformat = format.fourcc;
    f.fmt.pix.width = width;
    f.fmt.pix.height = height;
    f.fmt.pix.field = V4L2_FIELD_NONE;
  }
  if (Xioctl(fd, VIDIOC_S_FMT, &f) < 0) {
    const int error = errno;
    if (error == EBUSY)
      Say(identity_.card + " (" + identity_.path + "): the device is busy: another program is using it");
    return ErrnoResult(error);
  }
  const uint32_t gotFourcc = identity_.multiPlanar ? f.fmt.pix_mp.pixelformat : f.fmt.pix.pixelformat;
  const uint32_t gotWidth = identity_.multiPlanar ? f.fmt.pix_mp.width : f.fmt.pix.width;
  const uint32_t gotHeight = identity_.multiPlanar ? f.fmt.pix_mp.height : f.fmt.pix.height;
  if (gotFourcc != format.fourcc || gotWidth != width || gotHeight != height) return VFW_E_INVALIDMEDIATYPE;
  if (identity_.multiPlanar && f.fmt.pix_mp.num_planes != 1) return VFW_E_INVALIDMEDIATYPE;
  if (interval > 0) {
    v4l2_streamparm parm{};
    parm.type = BufferType();
    if (Xioctl(fd, VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
      // The interval as a fraction of a second; the driver takes the nearest it offers.
      const int64_t g = std::gcd<int64_t, int64_t>(interval, 10'000'000);
      parm = v4l2_streamparm{};
      parm.type = BufferType();
      parm.parm.capture.timeperframe.numerator = static_cast<uint32_t>(interval / g);
      parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(10'000'000 / g);
      if (Xioctl(fd, VIDIOC_S_PARM, &parm) < 0) return ErrnoResult(errno);
    } else if (gone_) {
      return kDeviceGone;
    }
  }
  return S_OK;
}

HRESULT Device::Claim() {
  MutexLock lock(mutex_);
  if (streaming_) return S_OK;
  IdleClose idle{*this};
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  v4l2_requestbuffers req{};
  req.count = 0;
  req.type = BufferType();
  req.memory = V4L2_MEMORY_MMAP;
  if (Xioctl(fd, VIDIOC_REQBUFS, &req) == 0) return S_OK;
  const int error = errno;
  if (error == EBUSY) {
    Say(identity_.card + " (" + identity_.path + "): the device is busy: another program is using it");
    return kDeviceBusy;
  }
  // A driver that cannot free buffers it has none of says nothing of ownership.
  return Vanished(error) ? kDeviceGone : S_OK;
}

// ---- controls -----------------------------------------------------------------------------------------

HRESULT Device::QueryControl(uint32_t id, Control* control) {
  MutexLock lock(mutex_);
  // A control's type, range and default do not change while the device is
  // here: asked once, not at every property access (each would open the node).
  if (auto known = controls_.find(id); known != controls_.end()) {
    if (!known->second) return E_PROP_ID_UNSUPPORTED;
    *control = *known->second;
    return S_OK;
  }
  IdleClose idle{*this};
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  v4l2_queryctrl q{};
  q.id = id;
  if (Xioctl(fd, VIDIOC_QUERYCTRL, &q) < 0) {
    if (gone_) return kDeviceGone;
    controls_[id] = std::nullopt;
    return E_PROP_ID_UNSUPPORTED;
  }
  if (q.flags & V4L2_CTRL_FLAG_DISABLED) {
    controls_[id] = std::nullopt;
    return E_PROP_ID_UNSUPPORTED;
  }
  control->id = id;
  control->type = q.type;
  control->minimum = q.minimum;
  control->maximum = q.maximum;
  control->step = q.step > 0 ? q.step : 1;
  control->defaultValue = q.default_value;
  control->flags = q.flags;
  controls_[id] = *control;
  return S_OK;
}

HRESULT Device::GetControl(uint32_t id, int32_t* value) {
  MutexLock lock(mutex_);
  IdleClose idle{*this};
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  v4l2_control c{};
  c.id = id;
  if (Xioctl(fd, VIDIOC_G_CTRL, &c) < 0) return ErrnoResult(errno);
  *value = c.value;
  return S_OK;
}

HRESULT Device::SetControl(uint32_t id, int32_t value) {
  MutexLock lock(mutex_);
  IdleClose idle{*this};
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  v4l2_control c{};
  c.id = id;
  c.value = value;
  if (Xioctl(fd, VIDIOC_S_CTRL, &c) < 0) {
    const int error = errno;
    // A control the device will not change now (an automatic mode holds it).
    if (error == EACCES || error == EBUSY) return E_FAIL;
    return ErrnoResult(error);
  }
  return S_OK;
}

std::vector<std::pair<int32_t, std::string>> Device::MenuEntries(const Control& control) {
  std::vector<std::pair<int32_t, std::string>> entries;
  if (control.type != V4L2_CTRL_TYPE_MENU) return entries;
  MutexLock lock(mutex_);
  IdleClose idle{*this};
  const int fd = Fd();
  if (fd < 0) return entries;
  for (int32_t i = control.minimum; i <= control.maximum && i - control.minimum < 64; ++i) {
    v4l2_querymenu m{};
    m.id = control.id;
    m.index = static_cast<uint32_t>(i);
    if (Xioctl(fd, VIDIOC_QUERYMENU, &m) == 0) entries.emplace_back(i, Text(m.name, sizeof m.name));
  }
  return entries;
}

// ---- streaming ----------------------------------------------------------------------------------------

bool Device::Streaming() const {
  MutexLock lock(mutex_);
  return streaming_;
}

int64_t Device::FrameInterval() {
  {
    MutexLock lock(mutex_);
    if (streaming_) return streamFormat_.interval;
  }
  Current c;
  return SUCCEEDED(GetCurrent(&c)) ? c.interval : 0;
}

bool Device::LostWhileStreaming() const {
  MutexLock lock(mutex_);
  return lostWhileStreaming_;
}

HRESULT Device::StartStreamingLocked() {
  const int fd = Fd();
  if (fd < 0) return ErrnoResult(errno);
  // The format the frames will come in, padding included.
  v4l2_format f{};
  f.type = BufferType();
  if (Xioctl(fd, VIDIOC_G_FMT, &f) < 0) return ErrnoResult(errno);
  Current c;
  if (identity_.multiPlanar) {
    c.format = FindPixelFormat(f.fmt.pix_mp.pixelformat);
    c.width = f.fmt.pix_mp.width;
    c.height = f.fmt.pix_mp.height;
    c.bytesPerLine = f.fmt.pix_mp.plane_fmt[0].bytesperline;
    c.sizeImage = f.fmt.pix_mp.plane_fmt[0].sizeimage;
  } else {
    c.format = FindPixelFormat(f.fmt.pix.pixelformat);
    c.width = f.fmt.pix.width;
    c.height = f.fmt.pix.height;
    c.bytesPerLine = f.fmt.pix.bytesperline;
    c.sizeImage = f.fmt.pix.sizeimage;
  }
  if (!c.format) return VFW_E_INVALIDMEDIATYPE;
  v4l2_streamparm parm{};
  parm.type = BufferType();
  if (Xioctl(fd, VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
    c.interval = ToInterval(parm.parm.capture.timeperframe);

  v4l2_requestbuffers req{};
  req.count = kBufferCount;
  req.type = BufferType();
  req.memory = V4L2_MEMORY_MMAP;
  if (Xioctl(fd, VIDIOC_REQBUFS, &req) < 0) return ErrnoResult(errno);
  if (req.count < 2) {
    StopStreamingLocked();
    return E_OUTOFMEMORY;
  }
  buffers_.assign(req.count, Buffer{});
  const auto fail = [&](int error) KELVANE_REQUIRES(mutex_) {
    StopStreamingLocked();
    return ErrnoResult(error);
  };
  const bool multi = identity_.multiPlanar;
  for (uint32_t i = 0; i < req.count; ++i) {
    BufferArg q(i, BufferType(), multi, VIDEO_MAX_PLANES);
    if (Xioctl(fd, VIDIOC_QUERYBUF, &q.b) < 0) return fail(errno);
    const size_t length = multi ? q.planes[0].length : q.b.length;
    const off_t offset = multi ? q.planes[0].m.mem_offset : q.b.m.offset;
    void* address = ops_.Mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (address == MAP_FAILED) return fail(errno);
    buffers_[i] = Buffer{address, length};
  }
  for (uint32_t i = 0; i < req.count; ++i) {
    BufferArg q(i, BufferType(), multi, 1);
    if (Xioctl(fd, VIDIOC_QBUF, &q.b) < 0) return fail(errno);
  }
  uint32_t type = BufferType();
  if (Xioctl(fd, VIDIOC_STREAMON, &type) < 0) return fail(errno);
  streaming_ = true;
  streamFormat_ = c;
  brokenSaid_ = false;
  return S_OK;
}

void Device::StopStreamingLocked() {
  if (fd_ >= 0 && streaming_) {
    uint32_t type = BufferType();
    Xioctl(fd_, VIDIOC_STREAMOFF, &type);
  }
  streaming_ = false;
  for (Buffer& b : buffers_)
    if (b.address) ops_.Munmap(b.address, b.length);
  const bool hadBuffers = !buffers_.empty();
  buffers_.clear();
  if (fd_ >= 0 && hadBuffers && !gone_) {
    v4l2_requestbuffers req{};
    req.count = 0;
    req.type = BufferType();
    req.memory = V4L2_MEMORY_MMAP;
    Xioctl(fd_, VIDIOC_REQBUFS, &req);
  }
  // A device that has gone gives its descriptor back now: the next open
  // finds the node again when the camera is back.
  if (gone_) CloseLocked();
}

void Device::StopStreaming() {
  MutexLock stream(streamMutex_);
  MutexLock lock(mutex_);
  StopStreamingLocked();
  // The node is not held while nothing streams: another program may take it,
  // and a USB camera may sleep. Formats and controls stay set in the driver.
  CloseLocked();
  lostWhileStreaming_ = false;
  startFailedSaid_ = false;
}

void Device::LostLocked() {
  gone_ = true;
  if (lostWhileStreaming_) return;
  lostWhileStreaming_ = true;
  Say(identity_.card + " (" + identity_.path + "): the device is gone (unplugged?); streaming ended");
  StopStreamingLocked();
}

int Device::DropCaptured() {
  MutexLock stream(streamMutex_);
  MutexLock lock(mutex_);
  if (!streaming_ || lostWhileStreaming_ || fd_ < 0) return 0;
  const int fd = fd_;
  const uint32_t type = BufferType();
  const bool multiPlanar = identity_.multiPlanar;
  const size_t limit = 2 * buffers_.size();
  int dropped = 0;
  while (static_cast<size_t>(dropped) < limit) {
    // A poll that does not wait says whether the driver has a filled buffer
    // now, without waiting for the camera to fill one.
    short revents = 0;
    if (PollDevice(fd, 0, &revents) <= 0 || !(revents & POLLIN)) break;
    BufferArg taken(0, type, multiPlanar, VIDEO_MAX_PLANES);
    if (!DequeueLocked(fd, taken.b)) break;
    ++dropped;
    BufferArg q(taken.b.index, type, multiPlanar, 1);
    if (Xioctl(fd, VIDIOC_QBUF, &q.b) < 0) {
      if (gone_) LostLocked();
      break;
    }
  }
  return dropped;
}

bool Device::NextFrame(FrameBuffer& scratch, int waitMs, const Deliver& deliver) {
  MutexLock stream(streamMutex_);
  int fd;
  Current format;
  bool multiPlanar;
  uint32_t type;
  {
    MutexLock lock(mutex_);
    multiPlanar = identity_.multiPlanar;
    type = BufferType();
    if (lostWhileStreaming_) return false;
    if (!streaming_) {
      const HRESULT hr = StartStreamingLocked();
      if (FAILED(hr)) {
        if (!startFailedSaid_) {
          startFailedSaid_ = true;
          Say(identity_.card + " (" + identity_.path + "): cannot start streaming: " +
              (hr == kDeviceBusy   ? std::string("the device is busy: another program is using it")
               : hr == kDeviceGone ? std::string("the device is gone")
                                   : std::generic_category().message(errno)));
        }
        if (gone_) lostWhileStreaming_ = true;
        CloseLocked();
        return false;
      }
    }
    fd = fd_;
    format = streamFormat_;
  }

  if (PollDevice(fd, waitMs, nullptr) <= 0) return false;  // nothing yet: asked again at the next turn

  BufferArg taken(0, type, multiPlanar, VIDEO_MAX_PLANES);
  v4l2_buffer& b = taken.b;
  {
    MutexLock lock(mutex_);
    if (!DequeueLocked(fd, b)) return false;
  }

  const Buffer& buffer = buffers_[b.index];
  size_t used = multiPlanar ? taken.planes[0].bytesused : b.bytesused;
  used = std::min(used, buffer.length);
  auto* data = static_cast<uint8_t*>(buffer.address);

  // The buffer goes back to the driver whatever happens to the frame.
  bool requeued = false;
  const auto requeue = [&] {
    if (requeued) return;
    requeued = true;
    BufferArg q(b.index, type, multiPlanar, 1);
    MutexLock lock(mutex_);
    if (streaming_ && Xioctl(fd, VIDIOC_QBUF, &q.b) < 0 && gone_) LostLocked();
  };
  struct Requeue {
    const decltype(requeue)& f;
    ~Requeue() { f(); }
  } guard{requeue};

  if (b.flags & V4L2_BUF_FLAG_ERROR) return false;  // a frame the driver says is broken
  const double time = static_cast<double>(b.timestamp.tv_sec) + static_cast<double>(b.timestamp.tv_usec) / 1e6;
  const PixelFormat& pf = *format.format;
  if (pf.layout == Layout::Compressed) {
    if (used == 0) return false;
    deliver(data, used, time);
    return true;
  }
  const size_t bytes = PipelineFrameBytes(pf, format.width, format.height);
  if (used < DeviceFrameBytes(pf, format.width, format.height, format.bytesPerLine)) {
    MutexLock lock(mutex_);
    if (!brokenSaid_) {
      brokenSaid_ = true;
      Say(identity_.card + " (" + identity_.path + "): a frame of " + std::to_string(used) +
          " bytes is shorter than its format needs; such frames are dropped");
    }
    return false;
  }
  if (InPipelineLayout(pf, format.width, format.bytesPerLine)) {
    deliver(data, bytes, time);
    return true;
  }
  scratch.resize(bytes);
  Repack(pf, format.width, format.height, format.bytesPerLine, data, used, scratch.data());
  requeue();
  deliver(scratch.data(), scratch.size(), time);
  return true;
}

}  // namespace kelvane::v4l2
