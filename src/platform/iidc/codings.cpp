#include "platform/iidc/codings.h"

#include <cmath>
#include <cstring>

#include "platform/dshow.h"

namespace kelvane::iidc {

using namespace platform;

namespace {

// clang-format off
const Coding kCodings[] = {
    {DC1394_COLOR_CODING_MONO8,  MEDIASUBTYPE_Y800,  8,  false, "MONO8"},
    {DC1394_COLOR_CODING_YUV411, MEDIASUBTYPE_Y411,  12, false, "YUV411"},
    {DC1394_COLOR_CODING_YUV422, MEDIASUBTYPE_UYVY,  16, false, "YUV422"},
    {DC1394_COLOR_CODING_YUV444, MEDIASUBTYPE_Y444,  24, false, "YUV444"},
    {DC1394_COLOR_CODING_RGB8,   MEDIASUBTYPE_RGB24, 24, false, "RGB8"},
    {DC1394_COLOR_CODING_MONO16, MEDIASUBTYPE_MO16,  16, false, "MONO16"},
    {DC1394_COLOR_CODING_RAW8,   MEDIASUBTYPE_RAW8,  8,  true,  "RAW8"},
    {DC1394_COLOR_CODING_RAW16,  MEDIASUBTYPE_RAW16, 16, true,  "RAW16"},
};
// clang-format on

bool Wide(const Coding& c) { return c.bitsPerPixel == 16 && c.coding != DC1394_COLOR_CODING_YUV422; }

}  // namespace

const Coding* FindCoding(dc1394color_coding_t coding) {
  for (const Coding& c : kCodings)
    if (c.coding == coding) return &c;
  return nullptr;
}

size_t RowBytes(const Coding& coding, uint32_t width) { return size_t{width} * coding.bitsPerPixel / 8; }

size_t FrameBytes(const Coding& coding, uint32_t width, uint32_t height) {
  return size_t{width} * height * coding.bitsPerPixel / 8;
}

bool InPipelineLayout(const Coding& coding, uint32_t width, uint32_t stride, bool littleEndian, uint32_t yuvOrder) {
  if (stride != 0 && stride != RowBytes(coding, width)) return false;
  if (coding.coding == DC1394_COLOR_CODING_RGB8) return false;
  if (Wide(coding) && littleEndian) return false;
  if (coding.coding == DC1394_COLOR_CODING_YUV422 && yuvOrder == DC1394_BYTE_ORDER_YUYV) return false;
  return true;
}

bool Repack(const Coding& coding, uint32_t width, uint32_t height, uint32_t stride, bool littleEndian,
            uint32_t yuvOrder, const uint8_t* in, size_t used, uint8_t* out) {
  const size_t line = RowBytes(coding, width);
  if (stride == 0) stride = static_cast<uint32_t>(line);
  if (stride < line || height == 0) return false;
  if (used < size_t{stride} * (height - 1) + line) return false;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* s = in + size_t{stride} * y;
    if (coding.coding == DC1394_COLOR_CODING_RGB8) {
      // R G B top-down to B G R bottom-up.
      uint8_t* t = out + line * (height - 1 - y);
      for (size_t x = 0; x < line; x += 3) {
        t[x] = s[x + 2];
        t[x + 1] = s[x + 1];
        t[x + 2] = s[x];
      }
      continue;
    }
    uint8_t* t = out + line * y;
    if (Wide(coding) && littleEndian) {
      for (size_t x = 0; x + 1 < line; x += 2) {
        t[x] = s[x + 1];
        t[x + 1] = s[x];
      }
    } else if (coding.coding == DC1394_COLOR_CODING_YUV422 && yuvOrder == DC1394_BYTE_ORDER_YUYV) {
      for (size_t x = 0; x + 1 < line; x += 2) {  // Y U Y V to U Y V Y
        t[x] = s[x + 1];
        t[x + 1] = s[x];
      }
    } else {
      std::memcpy(t, s, line);
    }
  }
  return true;
}

int32_t FpsCodeOf(dc1394framerate_t rate) {
  if (rate < DC1394_FRAMERATE_MIN || rate > DC1394_FRAMERATE_MAX) return -1;
  return static_cast<int32_t>(rate - DC1394_FRAMERATE_MIN);
}

dc1394framerate_t RateOfFpsCode(int32_t code) { return static_cast<dc1394framerate_t>(DC1394_FRAMERATE_MIN + code); }

int64_t IntervalOfFpsCode(int32_t code) {
  if (code < 0 || code > 7) return 0;
  return static_cast<int64_t>(std::llround(1e7 / (1.875 * static_cast<double>(1 << code))));
}

int64_t Format7Interval(uint64_t bytes, uint32_t packet) {
  if (packet == 0) return 0;
  const uint64_t packets = (bytes + packet - 1) / packet;
  return static_cast<int64_t>(packets) * 1250;
}

const char* FilterName(dc1394color_filter_t filter) {
  switch (filter) {
    case DC1394_COLOR_FILTER_RGGB:
      return "Bayer RGGB";
    case DC1394_COLOR_FILTER_GBRG:
      return "Bayer GBRG";
    case DC1394_COLOR_FILTER_GRBG:
      return "Bayer GRBG";
    case DC1394_COLOR_FILTER_BGGR:
      return "Bayer BGGR";
  }
  return "no mosaic";
}

int RawModeFor(dc1394color_filter_t filter, int algorithm) {
  // Layouts 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR; algorithm 0 takes code 1 as
  // R G / G B, 2 as G B / R G, 3 as G R / B G, 4 as B G / G R, and the others
  // take 1 as B G / G R, 2 as G R / B G, 3 as G B / R G, 4 as R G / G B.
  int layout = 0;
  switch (filter) {
    case DC1394_COLOR_FILTER_RGGB:
      layout = 1;
      break;
    case DC1394_COLOR_FILTER_GRBG:
      layout = 2;
      break;
    case DC1394_COLOR_FILTER_GBRG:
      layout = 3;
      break;
    case DC1394_COLOR_FILTER_BGGR:
      layout = 4;
      break;
  }
  static constexpr int kAlgorithm0[] = {0, 1, 3, 2, 4};
  static constexpr int kOthers[] = {0, 4, 2, 3, 1};
  return algorithm == 0 ? kAlgorithm0[layout] : kOthers[layout];
}

}  // namespace kelvane::iidc
