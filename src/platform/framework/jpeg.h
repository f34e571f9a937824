// JPEG through libjpeg-turbo: the Motion-JPEG decoder of the decompressors and
// the encoder of cameras that send Motion-JPEG. A build without libjpeg-turbo
// (KELVANE_JPEG off) keeps both types; they then refuse every frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvane::framework {

// Whether this build reads and writes JPEG.
bool JpegSupported();

// One decoder per decompressor, used by its streaming thread only. The
// library's handle is made at the first frame and kept for the next ones.
class JpegDecoder {
 public:
  JpegDecoder() = default;
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;
  ~JpegDecoder();

  // Decodes a JPEG of exactly width x height pixels into 24-bit bottom-up BGR
  // (width * height * 3 bytes at `out`, the RGB24 layout). A JPEG of another
  // size is refused before anything is written. One that does not decode
  // cleanly (cut short, corrupt, or decoded with a warning on the way) gives
  // false with the reason in `why`; `out` may then hold part of a picture.
  // Frames without Huffman tables decode with the standard tables, as
  // Motion-JPEG cameras mean them to.
  bool DecodeToRgb24(const uint8_t* in, size_t length, int32_t width, int32_t height, uint8_t* out, std::string* why);

 private:
  [[maybe_unused]] void* handle_ = nullptr;  // tjhandle
};

// A Motion-JPEG camera's encoder: baseline JPEG, 4:2:2 chroma, fixed quality.
// One thread at a time; the handle is kept from frame to frame.
class JpegEncoder {
 public:
  static constexpr int kQuality = 90;

  JpegEncoder() = default;
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;
  ~JpegEncoder();

  // The most bytes a JPEG of this size can take (0 for an impossible size).
  static size_t MaxBytes(int32_t width, int32_t height);
  // Encodes a bottom-up 24-bit BGR image into `out`, which holds
  // MaxBytes(width, height) bytes; returns the JPEG's length, 0 on failure.
  size_t EncodeRgb24(const uint8_t* bgr, int32_t width, int32_t height, uint8_t* out);

 private:
  [[maybe_unused]] void* handle_ = nullptr;  // tjhandle
};

}  // namespace kelvane::framework
