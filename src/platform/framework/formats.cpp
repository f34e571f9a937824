// The video subtypes the framework knows: names, bits per pixel, frame sizes.
#include "platform/framework/framework.h"

namespace kelvane::framework {

using namespace platform;

namespace {

struct SubtypeInfo {
  const char* name;
  GUID guid;
  uint16_t bits;
};

const SubtypeInfo kSubtypes[] = {
    {"RGB8", MEDIASUBTYPE_RGB8, 8},   {"Y800", MEDIASUBTYPE_Y800, 8},       {"IYUV", MEDIASUBTYPE_IYUV, 12},
    {"I420", MEDIASUBTYPE_I420, 12},  {"Y411", MEDIASUBTYPE_Y411, 12},      {"Y422", MEDIASUBTYPE_Y422, 16},
    {"YUY2", MEDIASUBTYPE_YUY2, 16},  {"Y444", MEDIASUBTYPE_Y444, 24},      {"UYVY", MEDIASUBTYPE_UYVY, 16},
    {"RGB24", MEDIASUBTYPE_RGB24, 24}, {"RGB32", MEDIASUBTYPE_RGB32, 32},   {"ARGB32", MEDIASUBTYPE_ARGB32, 32},
    {"LUMX", MEDIASUBTYPE_LUMX, 8},   {"MO16", MEDIASUBTYPE_MO16, 16},      {"RAW8", MEDIASUBTYPE_RAW8, 8},
    {"RAW16", MEDIASUBTYPE_RAW16, 16},
    // A compressed frame has no fixed size: 16 bits per pixel is the most a
    // Motion-JPEG frame may take (biSizeImage, and the size a camera's
    // buffers are made for). Its frames are shorter and vary in length.
    {"MJPG", MEDIASUBTYPE_MJPG, 16},
};

}  // namespace

uint16_t BitCountOf(const GUID& subtype) {
  for (const auto& s : kSubtypes)
    if (s.guid == subtype) return s.bits;
  return 0;
}

bool SubtypeFromName(std::string_view name, GUID* subtype) {
  for (const auto& s : kSubtypes)
    if (name == s.name) {
      *subtype = s.guid;
      return true;
    }
  return false;
}

std::string SubtypeName(const GUID& subtype) {
  for (const auto& s : kSubtypes)
    if (s.guid == subtype) return s.name;
  return "unknown subtype";
}

size_t FrameBytes(const GUID& subtype, int32_t width, int32_t height) {
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  const uint16_t bits = BitCountOf(subtype);
  if (subtype == MEDIASUBTYPE_I420 || subtype == MEDIASUBTYPE_IYUV) return n + n / 2;
  if (subtype == MEDIASUBTYPE_Y411) return n / 4 * 6;
  return n * bits / 8;
}

}  // namespace kelvane::framework
