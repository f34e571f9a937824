// The decompressors' conversion of a camera's frame to 24-bit bottom-up BGR.
#include <algorithm>
#include <cstring>

#include "platform/framework/framework.h"

namespace kelvane::framework {

using namespace platform;

namespace {

int Clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Colour (0 red, 1 green, 2 blue) at (x, y) of a Bayer mosaic; pattern 0..3 = RGGB, GRBG, GBRG, BGGR.
int BayerColour(int pattern, int32_t x, int32_t y) {
  static const int kTable[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
  return kTable[pattern & 3][(y & 1) * 2 + (x & 1)];
}

void YuvToBgr(int y, int u, int v, uint8_t* out) {
  const int c = y - 16, d = u - 128, e = v - 128;
  out[0] = static_cast<uint8_t>(Clamp8((298 * c + 516 * d + 128) >> 8));
  out[1] = static_cast<uint8_t>(Clamp8((298 * c - 100 * d - 208 * e + 128) >> 8));
  out[2] = static_cast<uint8_t>(Clamp8((298 * c + 409 * e + 128) >> 8));
}

}  // namespace

bool ConvertToRgb24(const GUID& s, int32_t w, int32_t h, const uint8_t* in, size_t length, int32_t rawPattern,
                    uint8_t* out) {
  if (w <= 0 || h <= 0 || length < FrameBytes(s, w, h)) return false;
  const auto W = static_cast<size_t>(w);
  // Output is a bottom-up bitmap: picture row y goes to memory row h - 1 - y.
  auto pixel = [&](int32_t x, int32_t y) { return out + (static_cast<size_t>(h - 1 - y) * W + static_cast<size_t>(x)) * 3; };
  auto grey = [&](int32_t x, int32_t y, int v) {
    uint8_t* p = pixel(x, y);
    p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
  };
  // Sample (x, y) of 8-bit or 16-bit (most significant byte first) single-channel data.
  const bool wide = s == MEDIASUBTYPE_MO16 || s == MEDIASUBTYPE_RAW16;
  auto sample = [&](int32_t x, int32_t y) {
    const size_t i = static_cast<size_t>(y) * W + static_cast<size_t>(x);
    return static_cast<int>(wide ? in[2 * i] : in[i]);
  };
  if (s == MEDIASUBTYPE_YUY2 || s == MEDIASUBTYPE_UYVY || s == MEDIASUBTYPE_Y422) {
    const bool yFirst = s == MEDIASUBTYPE_YUY2;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x + 1 < w; x += 2) {
        const uint8_t* p = in + (static_cast<size_t>(y) * W + static_cast<size_t>(x)) * 2;
        const int y0 = yFirst ? p[0] : p[1], y1 = yFirst ? p[2] : p[3];
        const int u = yFirst ? p[1] : p[0], v = yFirst ? p[3] : p[2];
        YuvToBgr(y0, u, v, pixel(x, y));
        YuvToBgr(y1, u, v, pixel(x + 1, y));
      }
  } else if (s == MEDIASUBTYPE_Y411) {
    const uint8_t* p = in;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x + 3 < w; x += 4, p += 6) {
        YuvToBgr(p[1], p[0], p[3], pixel(x, y));
        YuvToBgr(p[2], p[0], p[3], pixel(x + 1, y));
        YuvToBgr(p[4], p[0], p[3], pixel(x + 2, y));
        YuvToBgr(p[5], p[0], p[3], pixel(x + 3, y));
      }
  } else if (s == MEDIASUBTYPE_Y444) {
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const uint8_t* p = in + (static_cast<size_t>(y) * W + static_cast<size_t>(x)) * 3;
        YuvToBgr(p[1], p[0], p[2], pixel(x, y));
      }
  } else if (s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV) {
    const size_t n = W * static_cast<size_t>(h);
    const uint8_t* u = in + n;
    const uint8_t* v = u + n / 4;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const size_t k = static_cast<size_t>(y / 2) * (W / 2) + static_cast<size_t>(x / 2);
        YuvToBgr(in[static_cast<size_t>(y) * W + static_cast<size_t>(x)], u[k], v[k], pixel(x, y));
      }
  } else if (s == MEDIASUBTYPE_Y800 || s == MEDIASUBTYPE_RGB8 || s == MEDIASUBTYPE_RAW8 ||
             s == MEDIASUBTYPE_LUMX || wide) {
    if (rawPattern < 1 || rawPattern > 4) {
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) grey(x, y, sample(x, y));
    } else {
      // Each pixel takes its three colours from the 2x2 cell it lies in.
      const int pattern = rawPattern - 1;
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
          const int32_t cx = std::min(x & ~1, std::max(w - 2, 0)), cy = std::min(y & ~1, std::max(h - 2, 0));
          int sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
          for (int32_t dy = 0; dy < 2 && cy + dy < h; ++dy)
            for (int32_t dx = 0; dx < 2 && cx + dx < w; ++dx) {
              const int c = BayerColour(pattern, cx + dx, cy + dy);
              sum[c] += sample(cx + dx, cy + dy);
              ++count[c];
            }
          uint8_t* p = pixel(x, y);
          p[2] = static_cast<uint8_t>(count[0] ? sum[0] / count[0] : 0);
          p[1] = static_cast<uint8_t>(count[1] ? sum[1] / count[1] : 0);
          p[0] = static_cast<uint8_t>(count[2] ? sum[2] / count[2] : 0);
        }
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace kelvane::framework
