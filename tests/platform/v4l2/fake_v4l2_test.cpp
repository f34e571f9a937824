// The fake V4L2 driver keeps the documented contract the backend depends on:
// enumerations end with EINVAL, a capture round trip hands over the producer's
// bytes with the padding intact, faults answer the documented errno and leave
// nothing behind.
#include "fake_v4l2.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <ostream>

namespace kelvane::v4l2::fake {
namespace {

// One ioctl; the errno of a failure, 0 on success.
int Call(FakeV4l2& fake, int fd, unsigned long request, void* arg) {
  errno = 0;
  return fake.Ioctl(fd, request, arg) == 0 ? 0 : errno;
}

struct DeviceCase {
  const char* name;
  Device (*make)(const std::string&);
};

void PrintTo(const DeviceCase& c, std::ostream* out) { *out << c.name; }

class FakeDeviceTest : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(FakeDeviceTest, EnumerationsMatchTheDescriptionAndEndWithEinval) {
  const Device device = GetParam().make("/dev/video0");
  FakeV4l2 fake;
  fake.AddDevice(device);
  const int fd = fake.Open("/dev/video0", O_RDWR);
  ASSERT_GE(fd, 1000);

  v4l2_capability cap{};
  ASSERT_EQ(Call(fake, fd, VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_EQ(cap.device_caps, device.deviceCaps);
  EXPECT_TRUE(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
  const uint32_t type = (cap.device_caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE
                        : (cap.device_caps & V4L2_CAP_VIDEO_CAPTURE)      ? V4L2_BUF_TYPE_VIDEO_CAPTURE
                        : (cap.device_caps & V4L2_CAP_META_CAPTURE)       ? V4L2_BUF_TYPE_META_CAPTURE
                                                                          : V4L2_BUF_TYPE_VIDEO_OUTPUT;
  v4l2_fmtdesc desc{};
  desc.type = type;
  for (; Call(fake, fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
    const Format& format = device.formats.at(desc.index);
    EXPECT_EQ(desc.pixelformat, format.fourcc);
    EXPECT_EQ(desc.flags, format.flags);
    v4l2_frmsizeenum size{};
    size.pixel_format = desc.pixelformat;
    for (; Call(fake, fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
      const uint32_t w = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.width : size.stepwise.max_width;
      const uint32_t h = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.height : size.stepwise.max_height;
      v4l2_frmivalenum interval{};
      interval.pixel_format = desc.pixelformat, interval.width = w, interval.height = h;
      while (Call(fake, fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0) ++interval.index;
      EXPECT_EQ(errno, EINVAL);
      EXPECT_GE(interval.index, 1u) << w << "x" << h;
      interval.width = w + 1;  // a size not offered
      interval.index = 0;
      EXPECT_EQ(Call(fake, fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval), EINVAL);
    }
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(size.index, format.sizes.empty() ? (format.stepwise ? 1u : 0u) : format.sizes.size());
  }
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(desc.index, device.formats.size());
  desc.index = 0, desc.type = V4L2_BUF_TYPE_VBI_CAPTURE;
  EXPECT_EQ(Call(fake, fd, VIDIOC_ENUM_FMT, &desc), EINVAL);

  // Controls in ascending id order, every one once.
  v4l2_queryctrl query{};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  uint32_t seen = 0, last = 0;
  for (; Call(fake, fd, VIDIOC_QUERYCTRL, &query) == 0; query.id |= V4L2_CTRL_FLAG_NEXT_CTRL) {
    EXPECT_GT(query.id, last);
    last = query.id;
    ++seen;
  }
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(seen, device.controls.size());
  EXPECT_EQ(Call(fake, fd, VIDIOC_LOG_STATUS, &query), ENOTTY);

  EXPECT_EQ(fake.Close(fd), 0);
  EXPECT_EQ(fake.Close(fd), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(fake.AllClosed());
}

INSTANTIATE_TEST_SUITE_P(ReadyMade, FakeDeviceTest,
                         ::testing::Values(DeviceCase{"Webcam", UvcWebcam}, DeviceCase{"Metadata", MetadataNode},
                                           DeviceCase{"Output", OutputNode}, DeviceCase{"Bayer", BayerCamera},
                                           DeviceCase{"Grey16", Grey16Camera},
                                           DeviceCase{"MultiPlanar", MultiPlanarCamera}, DeviceCase{"Zoo", FormatZoo}),
                         [](const auto& param) { return std::string(param.param.name); });

// A capture session on one node, single- or multi-planar.
struct Session {
  FakeV4l2& fake;
  int fd;
  uint32_t type;
  std::vector<void*> maps;
  std::vector<size_t> lengths;

  int Buffer(unsigned long request, v4l2_buffer& b, v4l2_plane& plane, uint32_t index) {
    b = {};
    b.index = index, b.type = type, b.memory = V4L2_MEMORY_MMAP;
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) b.m.planes = &plane, b.length = 1;
    return Call(fake, fd, request, &b);
  }
  static uint32_t Used(const v4l2_buffer& b, const v4l2_plane& plane) {
    return b.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE ? plane.bytesused : b.bytesused;
  }
};

struct RoundTripCase {
  const char* name;
  Device (*make)(const std::string&);
  uint32_t fourcc;
  uint32_t width, height;
  uint32_t rowBytes;  // the image bytes of a row
  uint32_t expectedStride;
};

void PrintTo(const RoundTripCase& c, std::ostream* out) { *out << c.name; }

class FakeRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(FakeRoundTripTest, DequeuedBuffersHoldTheProducersBytes) {
  const RoundTripCase& c = GetParam();
  FakeV4l2 fake;
  fake.AddDevice(c.make("/dev/video7"));
  Session s{fake, fake.Open("/dev/video7", O_RDWR | O_NONBLOCK), 0, {}, {}};
  v4l2_capability cap{};
  ASSERT_EQ(Call(fake, s.fd, VIDIOC_QUERYCAP, &cap), 0);
  s.type = (cap.device_caps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE
                                                             : V4L2_BUF_TYPE_VIDEO_CAPTURE;
  const bool mplane = s.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;

  v4l2_format format{};
  format.type = s.type;
  if (mplane) {
    format.fmt.pix_mp.pixelformat = c.fourcc, format.fmt.pix_mp.width = c.width, format.fmt.pix_mp.height = c.height;
  } else {
    format.fmt.pix.pixelformat = c.fourcc, format.fmt.pix.width = c.width, format.fmt.pix.height = c.height;
  }
  ASSERT_EQ(Call(fake, s.fd, VIDIOC_S_FMT, &format), 0);
  const uint32_t stride = mplane ? format.fmt.pix_mp.plane_fmt[0].bytesperline : format.fmt.pix.bytesperline;
  const uint32_t sizeimage = mplane ? format.fmt.pix_mp.plane_fmt[0].sizeimage : format.fmt.pix.sizeimage;
  const uint32_t width = mplane ? format.fmt.pix_mp.width : format.fmt.pix.width;
  const uint32_t height = mplane ? format.fmt.pix_mp.height : format.fmt.pix.height;
  EXPECT_EQ(stride, c.expectedStride);
  EXPECT_EQ(width * height * (c.rowBytes / width), c.rowBytes * height);  // the nearest size, rows of rowBytes

  int type = int(s.type);
  EXPECT_EQ(Call(fake, s.fd, VIDIOC_STREAMON, &type), EINVAL);  // no buffers yet
  v4l2_requestbuffers request{};
  request.count = 3, request.type = s.type, request.memory = V4L2_MEMORY_MMAP;
  ASSERT_EQ(Call(fake, s.fd, VIDIOC_REQBUFS, &request), 0);
  ASSERT_EQ(request.count, 3u);
  for (uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer b;
    v4l2_plane plane{};
    ASSERT_EQ(s.Buffer(VIDIOC_QUERYBUF, b, plane, i), 0);
    const size_t length = mplane ? plane.length : b.length;
    const off_t offset = mplane ? plane.m.mem_offset : b.m.offset;
    EXPECT_EQ(length, sizeimage);
    EXPECT_EQ(fake.Mmap(nullptr, length, PROT_READ, MAP_SHARED, s.fd, offset + 1), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    s.maps.push_back(fake.Mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, s.fd, offset));
    s.lengths.push_back(length);
    ASSERT_NE(s.maps.back(), MAP_FAILED);
    ASSERT_EQ(s.Buffer(VIDIOC_QBUF, b, plane, i), 0);
    EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_QUEUED);
  }
  // Freeing the buffers while they are mapped is refused.
  v4l2_requestbuffers none{};
  none.type = s.type, none.memory = V4L2_MEMORY_MMAP;
  EXPECT_EQ(Call(fake, s.fd, VIDIOC_REQBUFS, &none), EBUSY);

  pollfd p{s.fd, POLLIN, 0};
  EXPECT_EQ(fake.Poll(&p, 1, 1000), 1);
  EXPECT_EQ(p.revents, POLLERR);  // not streaming
  ASSERT_EQ(Call(fake, s.fd, VIDIOC_STREAMON, &type), 0);
  for (uint32_t sequence = 0; sequence < 5; ++sequence) {
    ASSERT_EQ(fake.Poll(&p, 1, 1000), 1);
    EXPECT_EQ(p.revents, POLLIN);
    v4l2_buffer b;
    v4l2_plane plane{};
    ASSERT_EQ(s.Buffer(VIDIOC_DQBUF, b, plane, 0), 0);
    EXPECT_EQ(b.index, sequence % request.count);
    EXPECT_EQ(b.sequence, sequence);
    const std::vector<uint8_t> expected = DefaultFrame({c.fourcc, width, height, stride, sizeimage, sequence});
    ASSERT_EQ(Session::Used(b, plane), expected.size());
    EXPECT_EQ(std::memcmp(s.maps[b.index], expected.data(), expected.size()), 0);
    // The marker is in the padding of every row and nowhere else.
    const auto* image = static_cast<const uint8_t*>(s.maps[b.index]);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < stride; ++x) {
        ASSERT_EQ(image[size_t(y) * stride + x] == kPaddingMarker, x >= c.rowBytes) << x << "," << y;
      }
    }
    ASSERT_EQ(s.Buffer(VIDIOC_QBUF, b, plane, b.index), 0);
  }
  ASSERT_EQ(Call(fake, s.fd, VIDIOC_STREAMOFF, &type), 0);
  v4l2_buffer b;
  v4l2_plane plane{};
  EXPECT_EQ(s.Buffer(VIDIOC_DQBUF, b, plane, 0), EINVAL);  // not streaming
  ASSERT_EQ(s.Buffer(VIDIOC_QUERYBUF, b, plane, 0), 0);
  EXPECT_FALSE(b.flags & V4L2_BUF_FLAG_QUEUED);
  EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_MAPPED);

  // Closing first: the mapped memory stays readable until unmapped.
  EXPECT_EQ(fake.Close(s.fd), 0);
  EXPECT_EQ(fake.Stats().buffersAllocated, 3);
  EXPECT_EQ(fake.Stats().liveMappings, 3);
  EXPECT_FALSE(fake.AllClosed());
  for (size_t i = 0; i < s.maps.size(); ++i) EXPECT_EQ(fake.Munmap(s.maps[i], s.lengths[i]), 0);
  EXPECT_EQ(fake.Munmap(s.maps[0], s.lengths[0]), -1);
  EXPECT_EQ(fake.Stats().buffersAllocated, 0);
  EXPECT_TRUE(fake.AllClosed());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FakeRoundTripTest,
    ::testing::Values(RoundTripCase{"WebcamYuyv", UvcWebcam, V4L2_PIX_FMT_YUYV, 320, 240, 640, 640},
                      RoundTripCase{"Y16Padded", Grey16Camera, V4L2_PIX_FMT_Y16, 1024, 768, 2048, 2048 + 64},
                      RoundTripCase{"GreyPadded", Grey16Camera, V4L2_PIX_FMT_GREY, 1024, 768, 1024, 1024 + 32},
                      RoundTripCase{"Bayer", BayerCamera, V4L2_PIX_FMT_SBGGR8, 100, 100, 96, 96},
                      RoundTripCase{"MultiPlanarYuv420", MultiPlanarCamera, V4L2_PIX_FMT_YUV420, 320, 240, 320, 320},
                      RoundTripCase{"MultiPlanarNv12", MultiPlanarCamera, V4L2_PIX_FMT_NV12, 640, 480, 640, 640}),
    [](const auto& param) { return std::string(param.param.name); });

// Streams one node to the point where buffers are queued and streaming runs.
int StartStreaming(FakeV4l2& fake, const char* path, int flags, std::vector<void*>& maps, size_t& length) {
  const int fd = fake.Open(path, flags);
  v4l2_requestbuffers request{};
  request.count = 2, request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE, request.memory = V4L2_MEMORY_MMAP;
  EXPECT_EQ(Call(fake, fd, VIDIOC_REQBUFS, &request), 0);
  for (uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer b{};
    b.index = i, b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE, b.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYBUF, &b), 0);
    length = b.length;
    maps.push_back(fake.Mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset));
    EXPECT_EQ(Call(fake, fd, VIDIOC_QBUF, &b), 0);
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  EXPECT_EQ(Call(fake, fd, VIDIOC_STREAMON, &type), 0);
  return fd;
}

int Dequeue(FakeV4l2& fake, int fd, bool requeue = true) {
  v4l2_buffer b{};
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE, b.memory = V4L2_MEMORY_MMAP;
  const int error = Call(fake, fd, VIDIOC_DQBUF, &b);
  if (error == 0 && requeue) {
    EXPECT_EQ(Call(fake, fd, VIDIOC_QBUF, &b), 0);
  }
  return error;
}

TEST(FakeFaultTest, UnplugGivesEnodevAndACleanClose) {
  FakeV4l2 fake;
  Device webcam = UvcWebcam("/dev/video0");
  webcam.unplugAfterFrames = 2;
  fake.AddDevice(webcam);
  fake.AddDevice(MetadataNode("/dev/video1"));
  std::vector<void*> maps;
  size_t length = 0;
  const int fd = StartStreaming(fake, "/dev/video0", O_RDWR, maps, length);
  EXPECT_EQ(Dequeue(fake, fd), 0);
  EXPECT_EQ(Dequeue(fake, fd, false), 0);  // the second frame still arrives, then the device is gone
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(fake.Poll(&p, 1, 1000), 1);
  EXPECT_EQ(p.revents, POLLERR | POLLHUP);
  EXPECT_EQ(Dequeue(fake, fd), ENODEV);
  v4l2_capability cap{};
  EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYCAP, &cap), ENODEV);
  EXPECT_EQ(fake.ListNodes(), std::vector<std::string>{"/dev/video1"});
  EXPECT_EQ(fake.Open("/dev/video0", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  for (void* map : maps) EXPECT_EQ(fake.Munmap(map, length), 0);
  EXPECT_EQ(fake.Close(fd), 0);
  EXPECT_TRUE(fake.AllClosed());
  EXPECT_EQ(fake.Stats().buffersAllocated, 0);

  ASSERT_TRUE(fake.Replug("/dev/video0"));
  EXPECT_EQ(fake.ListNodes(), (std::vector<std::string>{"/dev/video0", "/dev/video1"}));
  const int again = fake.Open("/dev/video0", O_RDWR);
  EXPECT_EQ(Call(fake, again, VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_EQ(fake.Close(again), 0);
}

TEST(FakeFaultTest, BusyInterruptedAndNotReadyCallsAnswerTheirErrno) {
  FakeV4l2 fake;
  Device busy = UvcWebcam("/dev/video0");
  busy.busy = true;
  fake.AddDevice(busy);
  Device flaky = UvcWebcam("/dev/video2");
  flaky.eagainEvery = 2;
  fake.AddDevice(flaky);
  Device opens = UvcWebcam("/dev/video3");
  opens.openFails = EACCES;
  fake.AddDevice(opens);

  // Another program owns the streaming.
  int fd = fake.Open("/dev/video0", O_RDWR);
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  EXPECT_EQ(Call(fake, fd, VIDIOC_G_FMT, &format), 0);
  EXPECT_EQ(Call(fake, fd, VIDIOC_TRY_FMT, &format), 0);
  EXPECT_EQ(Call(fake, fd, VIDIOC_S_FMT, &format), EBUSY);
  v4l2_requestbuffers request{};
  request.count = 2, request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE, request.memory = V4L2_MEMORY_MMAP;
  EXPECT_EQ(Call(fake, fd, VIDIOC_REQBUFS, &request), EBUSY);
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  EXPECT_EQ(Call(fake, fd, VIDIOC_STREAMON, &type), EBUSY);
  EXPECT_EQ(fake.Close(fd), 0);
  EXPECT_EQ(fake.Open("/dev/video3", O_RDWR), -1);
  EXPECT_EQ(errno, EACCES);

  // Every second non-blocking dequeue finds nothing although a frame is ready.
  std::vector<void*> maps;
  size_t length = 0;
  fd = StartStreaming(fake, "/dev/video2", O_RDWR | O_NONBLOCK, maps, length);
  const int second = fake.Open("/dev/video2", O_RDWR);
  EXPECT_EQ(Call(fake, second, VIDIOC_REQBUFS, &request), EBUSY);  // the first descriptor owns the queue
  EXPECT_EQ(Dequeue(fake, fd), 0);
  EXPECT_EQ(Dequeue(fake, fd), EAGAIN);
  EXPECT_EQ(Dequeue(fake, fd), 0);
  // Injected or real (both buffers out), a non-blocking dequeue finds nothing.
  EXPECT_EQ(Dequeue(fake, fd, false), EAGAIN);
  EXPECT_EQ(Dequeue(fake, fd, false), 0);
  EXPECT_EQ(Dequeue(fake, fd, false), EAGAIN);
  EXPECT_EQ(Dequeue(fake, fd, false), 0);
  EXPECT_EQ(Dequeue(fake, fd, false), EAGAIN);
  EXPECT_EQ(Dequeue(fake, fd, false), EAGAIN);

  // Every third call is interrupted, poll included.
  ASSERT_TRUE(fake.Configure("/dev/video2", [](Device& d) { d.eintrEvery = 3; }));
  v4l2_capability cap{};
  EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYCAP, &cap), EINTR);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(fake.Poll(&p, 1, 10), 1);
  EXPECT_EQ(fake.Poll(&p, 1, 10), 1);
  EXPECT_EQ(fake.Poll(&p, 1, 10), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_EQ(fake.Calls(VIDIOC_QUERYCAP), 3);

  EXPECT_EQ(fake.Close(second), 0);
  EXPECT_EQ(fake.Close(fd), 0);
  for (void* map : maps) EXPECT_EQ(fake.Munmap(map, length), 0);
  const Counters counters = fake.Stats();
  EXPECT_EQ(counters.openDescriptors, 0);
  EXPECT_EQ(counters.liveMappings, 0);
  EXPECT_EQ(counters.buffersAllocated, 0);
  EXPECT_EQ(counters.badUnmaps, 0);
}

TEST(FakeControlTest, ValuesAreSteppedClampedAndRefusedAsDocumented) {
  FakeV4l2 fake;
  fake.AddDevice(UvcWebcam("/dev/video0"));
  const int fd = fake.Open("/dev/video0", O_RDWR);
  struct Case {
    uint32_t id;
    int32_t set;
    int error;       // of VIDIOC_S_CTRL
    int32_t stored;  // read back by VIDIOC_G_CTRL
  };
  const Case cases[] = {
      {V4L2_CID_PAN_ABSOLUTE, 5000, 0, 3600}, {V4L2_CID_PAN_ABSOLUTE, 99999, 0, 36000},
      {V4L2_CID_BRIGHTNESS, -65, 0, -64},     {V4L2_CID_FOCUS_AUTO, 7, 0, 1},
      {V4L2_CID_EXPOSURE_AUTO, 0, EINVAL, 3}, {V4L2_CID_EXPOSURE_AUTO, 4, ERANGE, 3},
      {V4L2_CID_EXPOSURE_AUTO, 1, 0, 1},      {V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4604, 0, 4600},
      {V4L2_CID_PRIVATE_BASE, 1, EINVAL, 0},
  };
  for (const Case& c : cases) {
    v4l2_control control{c.id, c.set};
    EXPECT_EQ(Call(fake, fd, VIDIOC_S_CTRL, &control), c.error) << c.id << " = " << c.set;
    control.value = 0;
    if (c.id != V4L2_CID_PRIVATE_BASE) {
      ASSERT_EQ(Call(fake, fd, VIDIOC_G_CTRL, &control), 0);
      EXPECT_EQ(control.value, c.stored) << c.id << " = " << c.set;
    }
  }
  // Exposure time is active now that exposure is manual; white balance is still automatic.
  v4l2_queryctrl query{};
  query.id = V4L2_CID_EXPOSURE_ABSOLUTE;
  ASSERT_EQ(Call(fake, fd, VIDIOC_QUERYCTRL, &query), 0);
  EXPECT_FALSE(query.flags & V4L2_CTRL_FLAG_INACTIVE);
  query.id = V4L2_CID_WHITE_BALANCE_TEMPERATURE;
  ASSERT_EQ(Call(fake, fd, VIDIOC_QUERYCTRL, &query), 0);
  EXPECT_TRUE(query.flags & V4L2_CTRL_FLAG_INACTIVE);
  v4l2_querymenu item{};
  item.id = V4L2_CID_EXPOSURE_AUTO;
  EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYMENU, &item), EINVAL);  // skipped
  item.index = 3;
  EXPECT_EQ(Call(fake, fd, VIDIOC_QUERYMENU, &item), 0);

  // A set of several changes all or nothing.
  v4l2_ext_control controls[2]{};
  controls[0].id = V4L2_CID_BRIGHTNESS, controls[0].value = 10;
  controls[1].id = V4L2_CID_POWER_LINE_FREQUENCY, controls[1].value = 9;
  v4l2_ext_controls set{};
  set.which = V4L2_CTRL_WHICH_CUR_VAL, set.count = 2, set.controls = controls;
  EXPECT_EQ(Call(fake, fd, VIDIOC_S_EXT_CTRLS, &set), ERANGE);
  EXPECT_EQ(set.error_idx, 2u);
  EXPECT_EQ(fake.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), -64);
  EXPECT_EQ(Call(fake, fd, VIDIOC_TRY_EXT_CTRLS, &set), ERANGE);
  EXPECT_EQ(set.error_idx, 1u);
  controls[1].value = 2;
  EXPECT_EQ(Call(fake, fd, VIDIOC_S_EXT_CTRLS, &set), 0);
  EXPECT_EQ(fake.ControlValue("/dev/video0", V4L2_CID_BRIGHTNESS), 10);
  EXPECT_EQ(fake.ControlValue("/dev/video0", V4L2_CID_POWER_LINE_FREQUENCY), 2);
  EXPECT_EQ(fake.Close(fd), 0);
}

}  // namespace
}  // namespace kelvane::v4l2::fake
