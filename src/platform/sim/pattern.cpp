// The simulated camera's picture.
//
// The test pattern moves from frame to frame (a colour ramp that drifts and a
// bright bar that walks across), so a frozen image is easy to tell from a live
// one, and it carries a little per-frame noise, so an averaged image is
// visibly smoother than a single frame. Every frame is a pure function of its
// number: tests can compute what they should receive.
#include <algorithm>
#include <cstring>

#include "platform/sim/internal.h"

namespace kelvane::sim {

using namespace platform;

namespace {

struct Rgb {
  int r, g, b;
};

uint32_t Hash(uint32_t x, uint32_t y, uint32_t k) {
  uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u ^ k * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

int Clamp8(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

Rgb PatternPixel(int32_t x, int32_t y, int32_t w, int32_t h, int64_t frame) {
  const auto k = static_cast<int>(frame % 1024);
  const int noise = static_cast<int>(Hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                          static_cast<uint32_t>(frame)) % 17u) - 8;
  int r = (x * 255 / std::max(w - 1, 1) + 3 * k) & 0xFF;
  int g = (y * 255 / std::max(h - 1, 1) + 2 * k) & 0xFF;
  int b = ((x + y) / 4 + k) & 0xFF;
  const int barWidth = std::max(w / 16, 1);
  const int barX = static_cast<int>((frame * 4) % std::max(w, 1));
  if (x >= barX && x < barX + barWidth) r = g = b = 235;
  // Keep clear of the ends so the noise never clips and averages out exactly.
  r = 16 + r * 220 / 255 + noise;
  g = 16 + g * 220 / 255 + noise;
  b = 16 + b * 220 / 255 + noise;
  return {r, g, b};
}

int Luma(const Rgb& c) { return Clamp8((66 * c.r + 129 * c.g + 25 * c.b + 128) / 256 + 16); }
int ChromaU(const Rgb& c) { return Clamp8((-38 * c.r - 74 * c.g + 112 * c.b + 128) / 256 + 128); }
int ChromaV(const Rgb& c) { return Clamp8((112 * c.r - 94 * c.g - 18 * c.b + 128) / 256 + 128); }

// Colour (0 red, 1 green, 2 blue) at (x, y) of a Bayer mosaic; pattern 0..3 = RGGB, GRBG, GBRG, BGGR.
int BayerColour(int pattern, int32_t x, int32_t y) {
  static const int kTable[4][4] = {{0, 1, 1, 2}, {1, 0, 2, 1}, {1, 2, 0, 1}, {2, 1, 1, 0}};
  return kTable[pattern & 3][(y & 1) * 2 + (x & 1)];
}

int Channel(const Rgb& c, int colour) { return Clamp8(colour == 0 ? c.r : colour == 1 ? c.g : c.b); }

}  // namespace

void RenderPattern(const GUID& s, int32_t w, int32_t h, int64_t index, BayerPattern bayer, uint8_t* out) {
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  const int pattern = static_cast<int>(bayer);
  auto at = [&](int32_t x, int32_t y) { return PatternPixel(x, y, w, h, index); };
  if (s == MEDIASUBTYPE_YUY2 || s == MEDIASUBTYPE_UYVY || s == MEDIASUBTYPE_Y422) {
    const bool yFirst = s == MEDIASUBTYPE_YUY2;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x + 1 < w; x += 2) {
        const Rgb a = at(x, y), b = at(x + 1, y);
        uint8_t* p = out + (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 2;
        const auto u = static_cast<uint8_t>((ChromaU(a) + ChromaU(b)) / 2);
        const auto v = static_cast<uint8_t>((ChromaV(a) + ChromaV(b)) / 2);
        if (yFirst) {
          p[0] = static_cast<uint8_t>(Luma(a)), p[1] = u, p[2] = static_cast<uint8_t>(Luma(b)), p[3] = v;
        } else {
          p[0] = u, p[1] = static_cast<uint8_t>(Luma(a)), p[2] = v, p[3] = static_cast<uint8_t>(Luma(b));
        }
      }
  } else if (s == MEDIASUBTYPE_Y411) {
    // U Y0 Y1 V Y2 Y3: one chroma pair for four pixels.
    uint8_t* p = out;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x + 3 < w; x += 4, p += 6) {
        const Rgb c0 = at(x, y), c1 = at(x + 1, y), c2 = at(x + 2, y), c3 = at(x + 3, y);
        p[0] = static_cast<uint8_t>((ChromaU(c0) + ChromaU(c1) + ChromaU(c2) + ChromaU(c3)) / 4);
        p[1] = static_cast<uint8_t>(Luma(c0));
        p[2] = static_cast<uint8_t>(Luma(c1));
        p[3] = static_cast<uint8_t>((ChromaV(c0) + ChromaV(c1) + ChromaV(c2) + ChromaV(c3)) / 4);
        p[4] = static_cast<uint8_t>(Luma(c2));
        p[5] = static_cast<uint8_t>(Luma(c3));
      }
  } else if (s == MEDIASUBTYPE_Y444) {
    // U Y V per pixel.
    for (size_t i = 0; i < n; ++i) {
      const Rgb c = at(static_cast<int32_t>(i % static_cast<size_t>(w)), static_cast<int32_t>(i / static_cast<size_t>(w)));
      out[3 * i] = static_cast<uint8_t>(ChromaU(c));
      out[3 * i + 1] = static_cast<uint8_t>(Luma(c));
      out[3 * i + 2] = static_cast<uint8_t>(ChromaV(c));
    }
  } else if (s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV) {
    // Y plane, then U and V planes at half resolution both ways.
    uint8_t* u = out + n;
    uint8_t* v = u + n / 4;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const Rgb c = at(x, y);
        out[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] = static_cast<uint8_t>(Luma(c));
        if ((x & 1) == 0 && (y & 1) == 0) {
          const size_t k = static_cast<size_t>(y / 2) * static_cast<size_t>(w / 2) + static_cast<size_t>(x / 2);
          u[k] = static_cast<uint8_t>(ChromaU(c));
          v[k] = static_cast<uint8_t>(ChromaV(c));
        }
      }
  } else if (s == MEDIASUBTYPE_RGB24 || s == MEDIASUBTYPE_RGB32 || s == MEDIASUBTYPE_ARGB32) {
    // A bottom-up bitmap: the first row in memory is the bottom of the picture.
    const size_t bpp = s == MEDIASUBTYPE_RGB24 ? 3 : 4;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const Rgb c = at(x, y);
        uint8_t* p = out + (static_cast<size_t>(h - 1 - y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * bpp;
        p[0] = static_cast<uint8_t>(Clamp8(c.b));
        p[1] = static_cast<uint8_t>(Clamp8(c.g));
        p[2] = static_cast<uint8_t>(Clamp8(c.r));
        if (bpp == 4) p[3] = 0xFF;
      }
  } else if (s == MEDIASUBTYPE_MO16) {
    // 16-bit grey, most significant byte first, using the full 16-bit scale.
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<int32_t>(i % static_cast<size_t>(w)), y = static_cast<int32_t>(i / static_cast<size_t>(w));
      const int v = Luma(at(x, y)) * 257;
      out[2 * i] = static_cast<uint8_t>(v >> 8);
      out[2 * i + 1] = static_cast<uint8_t>(v & 0xFF);
    }
  } else if (s == MEDIASUBTYPE_RAW16) {
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<int32_t>(i % static_cast<size_t>(w)), y = static_cast<int32_t>(i / static_cast<size_t>(w));
      const int v = Channel(at(x, y), BayerColour(pattern, x, y)) * 257;
      out[2 * i] = static_cast<uint8_t>(v >> 8);
      out[2 * i + 1] = static_cast<uint8_t>(v & 0xFF);
    }
  } else if (s == MEDIASUBTYPE_RAW8 || s == MEDIASUBTYPE_LUMX) {
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<int32_t>(i % static_cast<size_t>(w)), y = static_cast<int32_t>(i / static_cast<size_t>(w));
      out[i] = static_cast<uint8_t>(Channel(at(x, y), BayerColour(pattern, x, y)));
    }
  } else {
    // Y800, RGB8 and anything else one byte per pixel: grey.
    const size_t bytes = FrameBytes(s, w, h);
    for (size_t i = 0; i < std::min(n, bytes); ++i) {
      const auto x = static_cast<int32_t>(i % static_cast<size_t>(w)), y = static_cast<int32_t>(i / static_cast<size_t>(w));
      out[i] = static_cast<uint8_t>(Luma(at(x, y)));
    }
  }
}

void RenderBlank(const GUID& s, int32_t w, int32_t h, uint8_t* out) {
  const size_t bytes = FrameBytes(s, w, h);
  std::memset(out, 0, bytes);
  auto repeat = [&](std::initializer_list<uint8_t> group) {
    for (size_t i = 0; i + group.size() <= bytes; i += group.size()) std::copy(group.begin(), group.end(), out + i);
  };
  if (s == MEDIASUBTYPE_YUY2) repeat({0, 128, 0, 128});
  else if (s == MEDIASUBTYPE_UYVY || s == MEDIASUBTYPE_Y422) repeat({128, 0, 128, 0});
  else if (s == MEDIASUBTYPE_Y411) repeat({128, 0, 0, 128, 0, 0});
  else if (s == MEDIASUBTYPE_Y444) repeat({128, 0, 128});
  else if (s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    std::memset(out + n, 128, bytes - n);
  }
}

}  // namespace kelvane::sim
