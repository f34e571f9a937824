// A fake V4L2 driver for the tests of the V4L2 backend: a set of video device
// nodes behind the DeviceOps seam, answering open, close, the VIDIOC_* requests,
// mmap, munmap and poll as a well-behaved kernel driver does (errno values
// included), with no real device, thread, timer or sleep involved. Frames are
// made by a producer the test chooses, so every byte a backend sees is known
// to the test. The camera captures a frame when someone waits for one (a poll
// with a timeout, a dequeue with nothing filled yet), or when the test says it
// captured some while nobody took them (Capture): those wait in the driver's
// outgoing queue and are dequeued oldest first, as a real driver's are.
//
//   FakeV4l2 fake;
//   fake.AddDevice(UvcWebcam("/dev/video0"));
//   v4l2::SetDeviceOps(&fake);
//
// Descriptors are numbers from 1000 up that the fake never hands out twice, so
// nothing real is ever touched and a use after close shows as EBADF.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/v4l2/device_ops.h"

namespace kelvane::v4l2::fake {

// The byte the default producer writes into the padding at the end of each row.
inline constexpr uint8_t kPaddingMarker = 0xEE;

struct Fraction {
  uint32_t numerator = 0;
  uint32_t denominator = 0;
  friend bool operator==(const Fraction&, const Fraction&) = default;
};

// The frame intervals offered at one frame size: a discrete list (in the order
// VIDIOC_ENUM_FRAMEINTERVALS reports them), or when the list is empty a
// stepwise range.
struct StepwiseIntervals {
  Fraction min{};
  Fraction max{};
  Fraction step{};
};
struct Intervals {
  std::vector<Fraction> discrete{};
  std::optional<StepwiseIntervals> stepwise{};
};

struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
  Intervals intervals{};
};

struct StepwiseSizes {
  uint32_t minWidth = 0;
  uint32_t maxWidth = 0;
  uint32_t stepWidth = 1;
  uint32_t minHeight = 0;
  uint32_t maxHeight = 0;
  uint32_t stepHeight = 1;
  Intervals intervals{};  // the same at every size
};

struct Format {
  uint32_t fourcc = 0;
  std::string description{};
  uint32_t flags = 0;  // V4L2_FMT_FLAG_COMPRESSED, ...
  // Discrete frame sizes, or when empty the stepwise range.
  std::vector<FrameSize> sizes{};
  std::optional<StepwiseSizes> stepwise{};
  // Padding bytes at the end of every row: bytesperline is the packed row
  // length plus this (half of it on the chroma rows of the three-plane formats).
  uint32_t strideExtra = 0;
  // The image size the driver reports: for compressed formats the largest
  // frame (the buffer length); 0 computes it from the layout (compressed:
  // width * height * 2). Metadata formats: the buffer size.
  uint32_t sizeimage = 0;
  // Bits per pixel of the first plane's rows for a fourcc the fake does not
  // know; 0 takes it from the fourcc.
  uint32_t bitsPerPixel = 0;
};

struct Control {
  uint32_t id = 0;
  uint32_t type = V4L2_CTRL_TYPE_INTEGER;  // INTEGER, BOOLEAN or MENU
  std::string name{};
  int32_t minimum = 0;
  int32_t maximum = 0;
  int32_t step = 1;
  int32_t defaultValue = 0;
  std::optional<int32_t> value{};  // the current value; unset: the default
  uint32_t flags = 0;              // V4L2_CTRL_FLAG_DISABLED, INACTIVE, READ_ONLY...
  // Menu item names by index; an empty name is an index the driver skips
  // (VIDIOC_QUERYMENU answers EINVAL, setting it too).
  std::vector<std::string> menu{};
  // The automatic mode this control yields to: while control autoId does not
  // hold manualValue, this one reports V4L2_CTRL_FLAG_INACTIVE.
  uint32_t autoId = 0;
  int32_t manualValue = 0;
};

// What the producer is asked for: one frame of the format set on the node.
struct FrameRequest {
  uint32_t fourcc = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytesperline = 0;  // 0 for compressed formats
  uint32_t sizeimage = 0;     // the buffer length
  uint32_t sequence = 0;      // counts from 0 at every VIDIOC_STREAMON
};
using FrameProducer = std::function<std::vector<uint8_t>(const FrameRequest&)>;

// The default producer: a pattern that depends on the sequence number, with
// every padding byte of every row (all planes) set to kPaddingMarker.
// Compressed formats get a short marker-delimited pattern, not a real image.
std::vector<uint8_t> DefaultFrame(const FrameRequest& request);

// The byte the default pattern puts at column byte x of row y of a plane
// (plane 0 is the only plane of packed formats).
uint8_t PatternByte(uint32_t sequence, uint32_t plane, uint32_t x, uint32_t y);

struct Device {
  std::string path{};  // "/dev/video0"
  std::string driver = "fakecam";
  std::string card{};
  std::string busInfo{};
  // The node's capabilities (device_caps): V4L2_CAP_VIDEO_CAPTURE or
  // _MPLANE, V4L2_CAP_META_CAPTURE, V4L2_CAP_VIDEO_OUTPUT, V4L2_CAP_STREAMING.
  uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  // The whole physical device's capabilities as VIDIOC_QUERYCAP reports them in
  // `capabilities` (a webcam's video node also names its metadata node's);
  // 0: deviceCaps. V4L2_CAP_DEVICE_CAPS is always added.
  uint32_t physicalCaps = 0;
  std::vector<Format> formats{};
  std::vector<Control> controls{};
  FrameProducer producer{};  // unset: DefaultFrame. Runs under the fake's lock: it must not call the fake.

  // Behaviour.
  int unplugAfterFrames = -1;  // after this many delivered frames the device is gone; -1: never
  bool busy = false;           // another program owns the streaming: REQBUFS, S_FMT, STREAMON answer EBUSY
  bool stalled = false;        // the camera sends nothing: poll times out, DQBUF finds nothing
  int eintrEvery = 0;          // every k-th Ioctl or Poll on the device answers EINTR
  int eagainEvery = 0;         // every k-th DQBUF on a non-blocking descriptor answers EAGAIN
  // The camera fills queued buffers faster than anyone takes them: even a poll
  // that does not wait finds one ready whenever a buffer is queued.
  bool alwaysReady = false;
  int openFails = 0;        // errno every Open answers (EACCES, EBUSY...); 0: opens
  uint32_t minBuffers = 2;  // VIDIOC_REQBUFS raises a smaller count to this
};

// Ready-made devices.
// A USB webcam: YUYV and MJPEG at 640x480, 320x240, 1280x720 (30 and 15 fps,
// also 10 fps at 1280x720) and the usual camera controls.
Device UvcWebcam(const std::string& path = "/dev/video0");
// The webcam's metadata node (V4L2_CAP_META_CAPTURE only).
Device MetadataNode(const std::string& path = "/dev/video1");
// A video output node (V4L2_CAP_VIDEO_OUTPUT).
Device OutputNode(const std::string& path = "/dev/video9");
// Raw Bayer 8-bit in all four orders and RGGB 16-bit, stepwise sizes up to 640x480.
Device BayerCamera(const std::string& path = "/dev/video2");
// 16-bit little-endian grey (Y16) and 8-bit GREY at 1024x768 with padded rows.
Device Grey16Camera(const std::string& path = "/dev/video3");
// A multi-planar capture node: YUV420 and NV12, each in one plane.
Device MultiPlanarCamera(const std::string& path = "/dev/video4");
// UYVY, Y41P, YVU420, RGB24, BGR24, XBGR32, ABGR32, XRGB32 at 64x48.
Device FormatZoo(const std::string& path = "/dev/video5");

struct Counters {
  int openDescriptors = 0;
  int liveMappings = 0;      // mmap calls not yet undone by munmap
  int buffersAllocated = 0;  // buffer memory still alive (allocated by REQBUFS, freed or orphaned and unmapped)
  int pollCalls = 0;
  int pollTimeouts = 0;  // Poll calls that found nothing ready (the fake does not wait)
  int stalledWaits = 0;  // blocking DQBUFs that would wait forever (answered EINTR)
  int framesDelivered = 0;
  int badUnmaps = 0;  // Munmap of an address or length the fake did not map
};

class FakeV4l2 : public DeviceOps {
 public:
  FakeV4l2();
  ~FakeV4l2() override;
  FakeV4l2(const FakeV4l2&) = delete;
  FakeV4l2& operator=(const FakeV4l2&) = delete;

  // Adds a node (plugged in), replacing one with the same path.
  void AddDevice(Device device);
  // Changes a node's description (its knobs: busy, stalled, producer...) under
  // the lock; false when no such node exists, plugged or not.
  bool Configure(const std::string& path, const std::function<void(Device&)>& change);
  // The device goes away as if unplugged: its open descriptors fail with ENODEV
  // from now on and it leaves ListNodes. False when not plugged.
  bool Unplug(const std::string& path);
  // Plugs an unplugged node back as a fresh device (same description).
  bool Replug(const std::string& path);
  // The streaming camera captures n frames while nobody dequeues: each fills
  // the oldest queued buffer with the next sequence number and waits in the
  // outgoing queue; a frame that finds no queued buffer is lost (its sequence
  // number is skipped, as a driver shows a dropped frame). Returns the frames
  // kept; none while the node does not stream or the camera is stalled.
  int Capture(const std::string& path, int n);

  Counters Stats() const;
  // Ioctl calls made with this request (failed ones included).
  int Calls(unsigned long request) const;
  // No descriptor open and no mapping live.
  bool AllClosed() const;
  // A control's current value on a plugged node.
  std::optional<int32_t> ControlValue(const std::string& path, uint32_t id) const;
  bool Streaming(const std::string& path) const;

  // DeviceOps.
  std::vector<std::string> ListNodes() override;
  int Open(const char* path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  void* Mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) override;
  int Munmap(void* address, size_t length) override;
  int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;

  struct Node;
  struct Storage;

 private:
  struct OpenFile {
    std::shared_ptr<Node> node;
    int flags = 0;
  };
  struct Mapping {
    std::shared_ptr<Storage> storage;
    size_t length = 0;
    int count = 0;
  };

  int DoIoctl(int fd, OpenFile& file, unsigned long request, void* arg);
  // The camera captures the next frame into queued buffer `index`.
  void Fill(Node& node, uint32_t index);
  bool InterruptNow(Node& node);
  void ReleaseQueue(Node& node);

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Node>> nodes_;  // plugged and unplugged, by path
  std::map<int, OpenFile> files_;
  std::map<const void*, Mapping> mappings_;
  std::map<unsigned long, int> calls_;
  Counters counters_;
  int nextFd_ = 1000;
};

}  // namespace kelvane::v4l2::fake
