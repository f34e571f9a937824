#include "platform/framework/jpeg.h"

#include <climits>

#if KELVANE_HAVE_JPEG
#include <turbojpeg.h>
#endif

namespace kelvane::framework {

#if KELVANE_HAVE_JPEG

bool JpegSupported() { return true; }

JpegDecoder::~JpegDecoder() {
  if (handle_) tjDestroy(handle_);
}

bool JpegDecoder::DecodeToRgb24(const uint8_t* in, size_t length, int32_t width, int32_t height, uint8_t* out,
                                std::string* why) {
  auto fail = [&](std::string text) {
    if (why) *why = std::move(text);
    return false;
  };
  if (width <= 0 || height <= 0 || width > INT_MAX / 3) return fail("no picture size");
  if (!in || length == 0) return fail("an empty frame");
  if (!handle_) handle_ = tjInitDecompress();
  if (!handle_) return fail("the JPEG decoder cannot be made");
  const auto size = static_cast<unsigned long>(length);
  int w = 0, h = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(handle_, in, size, &w, &h, &subsampling, &colourspace) != 0)
    return fail(tjGetErrorStr2(handle_));
  // Data that ends before the frame header is answered with a warning and no size.
  if (w <= 0 || h <= 0) return fail(std::string("no JPEG frame header: ") + tjGetErrorStr2(handle_));
  // The output holds the connected size exactly: a frame of any other size
  // (the library would scale a larger one down, not refuse it) is not written.
  if (w != width || h != height)
    return fail("the JPEG is " + std::to_string(w) + " x " + std::to_string(h) + ", the stream " +
                std::to_string(width) + " x " + std::to_string(height));
  // A warning (data cut short, a corrupt segment) leaves a grey or smeared
  // part in the picture: such a frame is no image to measure on.
  if (tjDecompress2(handle_, in, size, out, width, width * 3, height, TJPF_BGR,
                    TJFLAG_BOTTOMUP | TJFLAG_STOPONWARNING) != 0)
    return fail(tjGetErrorStr2(handle_));
  return true;
}

JpegEncoder::~JpegEncoder() {
  if (handle_) tjDestroy(handle_);
}

size_t JpegEncoder::MaxBytes(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  const unsigned long n = tjBufSize(width, height, TJSAMP_422);
  return n == static_cast<unsigned long>(-1) ? 0 : static_cast<size_t>(n);
}

size_t JpegEncoder::EncodeRgb24(const uint8_t* bgr, int32_t width, int32_t height, uint8_t* out) {
  if (!bgr || !out || MaxBytes(width, height) == 0 || width > INT_MAX / 3) return 0;
  if (!handle_) handle_ = tjInitCompress();
  if (!handle_) return 0;
  unsigned char* buffer = out;
  unsigned long size = MaxBytes(width, height);
  // NOREALLOC: the library writes into `out` and never past MaxBytes.
  if (tjCompress2(handle_, bgr, width, width * 3, height, TJPF_BGR, &buffer, &size, TJSAMP_422, kQuality,
                  TJFLAG_BOTTOMUP | TJFLAG_NOREALLOC) != 0)
    return 0;
  return static_cast<size_t>(size);
}

#else

bool JpegSupported() { return false; }

JpegDecoder::~JpegDecoder() = default;

bool JpegDecoder::DecodeToRgb24(const uint8_t*, size_t, int32_t, int32_t, uint8_t*, std::string* why) {
  if (why) *why = "this build reads no JPEG";
  return false;
}

JpegEncoder::~JpegEncoder() = default;

size_t JpegEncoder::MaxBytes(int32_t, int32_t) { return 0; }

size_t JpegEncoder::EncodeRgb24(const uint8_t*, int32_t, int32_t, uint8_t*) { return 0; }

#endif

}  // namespace kelvane::framework
