#include "platform/v4l2/pixel_formats.h"

#include <linux/videodev2.h>

#include <cstring>

#include "platform/dshow.h"

namespace kelvane::v4l2 {

using namespace platform;

namespace {

// clang-format off
const PixelFormat kFormats[] = {
    {V4L2_PIX_FMT_YUYV,    MEDIASUBTYPE_YUY2,  Layout::Packed,     2, 0, "YUYV"},
    {V4L2_PIX_FMT_UYVY,    MEDIASUBTYPE_UYVY,  Layout::Packed,     2, 0, "UYVY"},
    {V4L2_PIX_FMT_Y41P,    MEDIASUBTYPE_Y411,  Layout::Y41P,       0, 0, "Y41P"},
    {V4L2_PIX_FMT_YUV420,  MEDIASUBTYPE_I420,  Layout::Yuv420,     1, 0, "YUV420"},
    {V4L2_PIX_FMT_YVU420,  MEDIASUBTYPE_I420,  Layout::Yvu420,     1, 0, "YVU420"},
    {V4L2_PIX_FMT_NV12,    MEDIASUBTYPE_I420,  Layout::Nv12,       1, 0, "NV12"},
    {V4L2_PIX_FMT_GREY,    MEDIASUBTYPE_Y800,  Layout::Packed,     1, 0, "GREY"},
    {V4L2_PIX_FMT_Y16,     MEDIASUBTYPE_MO16,  Layout::Swap16,     2, 0, "Y16"},
    {V4L2_PIX_FMT_Y16_BE,  MEDIASUBTYPE_MO16,  Layout::Packed,     2, 0, "Y16_BE"},
    {V4L2_PIX_FMT_SRGGB8,  MEDIASUBTYPE_RAW8,  Layout::Packed,     1, 1, "SRGGB8"},
    {V4L2_PIX_FMT_SGRBG8,  MEDIASUBTYPE_RAW8,  Layout::Packed,     1, 2, "SGRBG8"},
    {V4L2_PIX_FMT_SGBRG8,  MEDIASUBTYPE_RAW8,  Layout::Packed,     1, 3, "SGBRG8"},
    {V4L2_PIX_FMT_SBGGR8,  MEDIASUBTYPE_RAW8,  Layout::Packed,     1, 4, "SBGGR8"},
    {V4L2_PIX_FMT_SRGGB16, MEDIASUBTYPE_RAW16, Layout::Swap16,     2, 1, "SRGGB16"},
    {V4L2_PIX_FMT_SGRBG16, MEDIASUBTYPE_RAW16, Layout::Swap16,     2, 2, "SGRBG16"},
    {V4L2_PIX_FMT_SGBRG16, MEDIASUBTYPE_RAW16, Layout::Swap16,     2, 3, "SGBRG16"},
    {V4L2_PIX_FMT_SBGGR16, MEDIASUBTYPE_RAW16, Layout::Swap16,     2, 4, "SBGGR16"},
    {V4L2_PIX_FMT_RGB24,   MEDIASUBTYPE_RGB24, Layout::RgbToBgrUp, 3, 0, "RGB24"},
    {V4L2_PIX_FMT_BGR24,   MEDIASUBTYPE_RGB24, Layout::BgrUp,      3, 0, "BGR24"},
    {V4L2_PIX_FMT_XBGR32,  MEDIASUBTYPE_RGB32, Layout::Bgrx32Up,   4, 0, "XBGR32"},
    {V4L2_PIX_FMT_ABGR32,  MEDIASUBTYPE_RGB32, Layout::Bgrx32Up,   4, 0, "ABGR32"},
    {V4L2_PIX_FMT_BGR32,   MEDIASUBTYPE_RGB32, Layout::Bgrx32Up,   4, 0, "BGR32"},
    {V4L2_PIX_FMT_XRGB32,  MEDIASUBTYPE_RGB32, Layout::Xrgb32Up,   4, 0, "XRGB32"},
    {V4L2_PIX_FMT_ARGB32,  MEDIASUBTYPE_RGB32, Layout::Xrgb32Up,   4, 0, "ARGB32"},
    {V4L2_PIX_FMT_RGB32,   MEDIASUBTYPE_RGB32, Layout::Xrgb32Up,   4, 0, "RGB32"},
    {V4L2_PIX_FMT_MJPEG,   MEDIASUBTYPE_MJPG,  Layout::Compressed, 0, 0, "MJPEG"},
    {V4L2_PIX_FMT_JPEG,    MEDIASUBTYPE_MJPG,  Layout::Compressed, 0, 0, "JPEG"},
};
// clang-format on

bool IsPlanar(Layout l) { return l == Layout::Yuv420 || l == Layout::Yvu420 || l == Layout::Nv12; }

}  // namespace

const PixelFormat* FindPixelFormat(uint32_t fourcc) {
  for (const PixelFormat& f : kFormats)
    if (f.fourcc == fourcc) return &f;
  return nullptr;
}

size_t MinBytesPerLine(const PixelFormat& format, uint32_t width) {
  if (format.layout == Layout::Y41P) return size_t{width} / 8 * 12;
  return size_t{width} * static_cast<size_t>(format.bytesPerPixel);
}

size_t DeviceFrameBytes(const PixelFormat& format, uint32_t width, uint32_t height, uint32_t bytesPerLine) {
  const size_t line = std::max<size_t>(bytesPerLine, MinBytesPerLine(format, width));
  // The chroma planes of 4:2:0 have half the luma's bytes per line, half its rows.
  if (IsPlanar(format.layout)) return line * height + line * (height / 2);
  return line * height;
}

size_t PipelineFrameBytes(const PixelFormat& format, uint32_t width, uint32_t height) {
  const size_t n = size_t{width} * height;
  switch (format.layout) {
    case Layout::Compressed:
      return 0;
    case Layout::Y41P:
      return n / 4 * 6;
    case Layout::Yuv420:
    case Layout::Yvu420:
    case Layout::Nv12:
      return n + 2 * (n / 4);
    case Layout::RgbToBgrUp:
    case Layout::BgrUp:
      return n * 3;
    case Layout::Bgrx32Up:
    case Layout::Xrgb32Up:
      return n * 4;
    case Layout::Packed:
    case Layout::Swap16:
      break;
  }
  return n * static_cast<size_t>(format.bytesPerPixel);
}

bool InPipelineLayout(const PixelFormat& format, uint32_t width, uint32_t bytesPerLine) {
  if (format.layout == Layout::Compressed) return true;
  if (bytesPerLine != MinBytesPerLine(format, width)) return false;
  return format.layout == Layout::Packed || (format.layout == Layout::Yuv420 && width % 2 == 0);
}

bool Repack(const PixelFormat& format, uint32_t width, uint32_t height, uint32_t bytesPerLine, const uint8_t* in,
            size_t used, uint8_t* out) {
  const size_t minLine = MinBytesPerLine(format, width);
  const size_t line = std::max<size_t>(bytesPerLine, minLine);
  if (format.layout == Layout::Compressed) return used > 0;
  if (used < DeviceFrameBytes(format, width, height, bytesPerLine)) return false;
  const size_t w = width, h = height;
  switch (format.layout) {
    case Layout::Packed:
      for (size_t y = 0; y < h; ++y) std::memcpy(out + y * minLine, in + y * line, minLine);
      return true;
    case Layout::Swap16:
      for (size_t y = 0; y < h; ++y) {
        const uint8_t* s = in + y * line;
        uint8_t* d = out + y * minLine;
        for (size_t i = 0; i + 1 < minLine; i += 2) {
          d[i] = s[i + 1];
          d[i + 1] = s[i];
        }
      }
      return true;
    case Layout::Y41P:
      for (size_t y = 0; y < h; ++y) {
        const uint8_t* s = in + y * line;
        uint8_t* d = out + y * (w / 4 * 6);
        for (size_t x = 0; x + 8 <= w; x += 8, s += 12, d += 12) {
          const uint8_t g[12] = {s[0], s[1], s[3], s[2], s[5], s[7], s[4], s[8], s[9], s[6], s[10], s[11]};
          std::memcpy(d, g, 12);
        }
      }
      return true;
    case Layout::Yuv420:
    case Layout::Yvu420:
    case Layout::Nv12: {
      // The pipeline's planes: w*h luma, then (w*h)/4 of U and of V.
      const size_t n = w * h, q = n / 4, cw = w / 2, ch = h / 2, cline = line / 2;
      for (size_t y = 0; y < h; ++y) std::memcpy(out + y * w, in + y * line, w);
      uint8_t* u = out + n;
      uint8_t* v = out + n + q;
      const uint8_t* chroma = in + line * h;
      if (format.layout == Layout::Nv12) {
        for (size_t y = 0; y < ch; ++y) {
          const uint8_t* s = chroma + y * line;
          for (size_t x = 0; x < cw && y * cw + x < q; ++x) {
            u[y * cw + x] = s[2 * x];
            v[y * cw + x] = s[2 * x + 1];
          }
        }
        return true;
      }
      const uint8_t* first = chroma;
      const uint8_t* second = chroma + cline * ch;
      if (format.layout == Layout::Yvu420) std::swap(u, v);
      for (size_t y = 0; y < ch; ++y) {
        const size_t take = std::min(cw, q - std::min(q, y * cw));
        std::memcpy(u + y * cw, first + y * cline, take);
        std::memcpy(v + y * cw, second + y * cline, take);
      }
      return true;
    }
    case Layout::RgbToBgrUp:
    case Layout::BgrUp:
    case Layout::Bgrx32Up:
    case Layout::Xrgb32Up:
      for (size_t y = 0; y < h; ++y) {
        const uint8_t* s = in + (h - 1 - y) * line;
        uint8_t* d = out + y * minLine;
        switch (format.layout) {
          case Layout::RgbToBgrUp:
            for (size_t x = 0; x < w; ++x, s += 3, d += 3) {
              d[0] = s[2];
              d[1] = s[1];
              d[2] = s[0];
            }
            break;
          case Layout::Xrgb32Up:
            for (size_t x = 0; x < w; ++x, s += 4, d += 4) {
              d[0] = s[3];
              d[1] = s[2];
              d[2] = s[1];
              d[3] = s[0];
            }
            break;
          default:
            std::memcpy(d, s, minLine);
            break;
        }
      }
      return true;
    case Layout::Compressed:
      break;
  }
  return false;
}

const char* BayerName(int bayer) {
  switch (bayer) {
    case 1:
      return "Bayer RGGB";
    case 2:
      return "Bayer GRBG";
    case 3:
      return "Bayer GBRG";
    case 4:
      return "Bayer BGGR";
  }
  return "";
}

int RawModeFor(int bayer, int algorithm) {
  // Layouts 1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR; algorithm 0 takes code 1 as
  // R G / G B, 2 as G B / R G, 3 as G R / B G, 4 as B G / G R, and the others
  // take 1 as B G / G R, 2 as G R / B G, 3 as G B / R G, 4 as R G / G B.
  static constexpr int kAlgorithm0[] = {0, 1, 3, 2, 4};
  static constexpr int kOthers[] = {0, 4, 2, 3, 1};
  if (bayer < 1 || bayer > 4) return 0;
  return algorithm == 0 ? kAlgorithm0[bayer] : kOthers[bayer];
}

}  // namespace kelvane::v4l2
