// One V4L2 video capture node as the backend drives it: its identity, its
// stream formats, its controls and its memory-mapped streaming. Every system
// call goes through the device layer (DeviceOps). A node that fails with
// ENODEV, ENXIO or EIO has gone (unplugged): every operation then fails with
// kDeviceGone until the node can be opened again.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cache_line_allocator.h"
#include "platform/com.h"
#include "platform/thread_safety.h"
#include "platform/v4l2/device_ops.h"
#include "platform/v4l2/pixel_formats.h"

namespace kelvane::v4l2 {

using platform::HRESULT;

// The failure of every operation on a device that has left (as the simulated
// bus's kDeviceGone: the driver's "device not connected").
inline constexpr HRESULT kDeviceGone = platform::MakeHr(0x8007048Fu);
// Another program streams from the device.
inline constexpr HRESULT kDeviceBusy = platform::MakeHr(0x800700AAu);
// The failure an errno stands for.
HRESULT ErrnoResult(int error);

// What VIDIOC_QUERYCAP says of a node.
struct Identity {
  std::string path, driver, card, busInfo;
  uint32_t deviceCaps = 0;
  bool multiPlanar = false;
};

// Opens `path` and asks what it is. False (errno set) when it cannot be
// opened or is not a video capture node that streams.
bool ProbeNode(DeviceOps& ops, const std::string& path, Identity* identity);

// A stream format the device offers: a pixel format at one frame size (or
// a range of sizes) with its frame intervals, in 100-ns units.
struct Mode {
  const PixelFormat* format = nullptr;
  uint32_t width = 0, height = 0;        // the size, or the largest of a range
  uint32_t minWidth = 0, minHeight = 0;  // equal to width and height for a fixed size
  uint32_t stepWidth = 1, stepHeight = 1;
  std::vector<int64_t> intervals;            // fixed intervals, shortest first; empty when a range is given
  int64_t minInterval = 0, maxInterval = 0;  // the shortest and longest
  bool Ranged() const { return minWidth != width || minHeight != height; }
};

// The format the device streams now.
struct Current {
  const PixelFormat* format = nullptr;
  uint32_t width = 0, height = 0, bytesPerLine = 0, sizeImage = 0;
  int64_t interval = 0;  // 0 when the device does not say
};

// The state of one control.
struct Control {
  uint32_t id = 0;
  uint32_t type = 0;
  int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0;
  uint32_t flags = 0;
};

class Device {
 public:
  Device(DeviceOps& ops, Identity identity);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // A copy: a device that comes back on another node changes it.
  Identity Id() const {
    MutexLock lock(mutex_);
    return identity_;
  }

  // S_OK, or kDeviceGone while the device is away. A device that has come
  // back (on its node or another one with the same card and bus) is opened again.
  HRESULT Health();

  // ---- formats ----
  std::vector<Mode> Modes();
  HRESULT GetCurrent(Current* current);
  // Sets the format (and, when interval is not 0, the nearest frame interval
  // the device offers). VFW_E_WRONG_STATE while streaming.
  HRESULT SetCurrent(const PixelFormat& format, uint32_t width, uint32_t height, int64_t interval);

  // Whether the stream can be had: kDeviceBusy (said) when another program
  // owns the device's buffers, as a driver answers a request for them.
  HRESULT Claim();

  // ---- controls ----
  HRESULT QueryControl(uint32_t id, Control* control);
  HRESULT GetControl(uint32_t id, int32_t* value);
  HRESULT SetControl(uint32_t id, int32_t value);
  // The entries of a menu control (index, name), for the capability report.
  std::vector<std::pair<int32_t, std::string>> MenuEntries(const Control& control);

  // ---- streaming (the streaming thread, and Stop once it has ended) ----
  // Waits up to `waitMs` for the next frame and hands it to `deliver`, in the
  // pipeline's layout: straight from the driver's buffer when it is already
  // laid out so, else through `scratch`. The buffer goes back to the driver
  // after `deliver` returns (or throws). False when no frame came.
  using Deliver = std::function<void(uint8_t* data, size_t length, double time)>;
  bool NextFrame(platform::FrameBuffer& scratch, int waitMs, const Deliver& deliver);
  // Gives back to the driver, unread, every buffer it has filled while nobody
  // took frames (the stream paused between single grabs), so that the next
  // frame is one captured from now on. Takes at most twice as many as there
  // are buffers: a camera that fills them as fast as they go back cannot keep
  // the streaming thread here. Returns the frames dropped.
  int DropCaptured();
  void StopStreaming();
  bool Streaming() const;
  // The frame interval of the stream (asked of the device only while it does
  // not stream), 0 when the device does not say.
  int64_t FrameInterval();
  // Set when the device has gone while streaming; cleared by the next start.
  bool LostWhileStreaming() const;

 private:
  int OpenLocked() KELVANE_REQUIRES(mutex_);
  // The open descriptor, opened on demand; -1 with errno set.
  int Fd() KELVANE_REQUIRES(mutex_);
  // ioctl through the device layer, repeated on EINTR.
  int Xioctl(int fd, unsigned long request, void* arg) KELVANE_REQUIRES(mutex_);
  void NoteFailure(int error) KELVANE_REQUIRES(mutex_);  // a vanished device is marked gone
  void CloseLocked() KELVANE_REQUIRES(mutex_);
  // Closes the node again at the end of an operation unless it streams; made
  // with mutex_ held, after the lock.
  struct IdleClose {
    Device& device;
    ~IdleClose() KELVANE_NO_THREAD_SAFETY_ANALYSIS { device.CloseLocked(); }
  };
  HRESULT StartStreamingLocked() KELVANE_REQUIRES(mutex_);
  void StopStreamingLocked() KELVANE_REQUIRES(mutex_);
  // The device went while streaming: said once, buffers given back.
  void LostLocked() KELVANE_REQUIRES(mutex_);
  int PollDevice(int fd, int waitMs, short* revents);
  bool DequeueLocked(int fd, v4l2_buffer& b) KELVANE_REQUIRES(mutex_);
  uint32_t BufferType() const KELVANE_REQUIRES(mutex_);
  void Say(const std::string& text);

  DeviceOps& ops_;
  // One frame at a time, and a stop against it; taken before mutex_.
  Mutex streamMutex_ KELVANE_ACQUIRED_BEFORE(mutex_);
  mutable Mutex mutex_;
  Identity identity_ KELVANE_GUARDED_BY(mutex_);
  int fd_ KELVANE_GUARDED_BY(mutex_) = -1;
  bool gone_ KELVANE_GUARDED_BY(mutex_) = false;
  std::vector<Mode> modes_ KELVANE_GUARDED_BY(mutex_);
  bool modesRead_ KELVANE_GUARDED_BY(mutex_) = false;
  std::map<uint32_t, std::optional<Control>> controls_ KELVANE_GUARDED_BY(mutex_);  // none: not offered

  struct Buffer {
    void* address = nullptr;
    size_t length = 0;
  };
  // Changed with both locks held, so either one is enough to read them.
  std::vector<Buffer> buffers_;
  bool streaming_ KELVANE_GUARDED_BY(mutex_) = false;
  bool lostWhileStreaming_ KELVANE_GUARDED_BY(mutex_) = false;
  bool startFailedSaid_ KELVANE_GUARDED_BY(mutex_) = false;
  bool brokenSaid_ KELVANE_GUARDED_BY(mutex_) = false;
  Current streamFormat_ KELVANE_GUARDED_BY(mutex_);  // the format of the running stream
};

}  // namespace kelvane::v4l2
