// The IEEE 1394 camera driver's private interfaces: camera information and
// registers, the three property interfaces, the format interface, and the
// raw-mode interface of its YUV decompressor.
//
// Operations marked "may raise" throw PlatformError on older drivers instead of
// returning an HRESULT.
#pragma once

#include <cstdint>

#include "platform/dshow.h"

namespace kelvane::platform {

inline constexpr uint32_t kVendorInfoSize = 144;
inline constexpr uint32_t kVendorNameOffset = 12;   // 64 bytes, NUL-terminated
inline constexpr uint32_t kModelNameOffset = 76;    // 64 bytes, NUL-terminated
inline constexpr uint32_t kCameraNumberOffset = 140;  // signed 32-bit

struct IFiCameraInfo : IUnknown {
  static constexpr IID iid{0x5B44AFE7, 0x6EFF, 0x4B29, {0x90, 0x8B, 0x47, 0x0A, 0x33, 0x27, 0xD1, 0xE7}};
  virtual HRESULT GetVendorInfo(uint8_t* record) = 0;  // kVendorInfoSize bytes
  virtual HRESULT ReadRegister(uint32_t address, uint32_t* value) = 0;
  virtual HRESULT WriteRegister(uint32_t address, uint32_t value) = 0;
};

// The three property interfaces share one shape. A value travels as a 32-bit
// word: an integer when the filter offers IFiCameraInfo but not
// IFiVideoFormatConfig, the bit pattern of a 32-bit float otherwise.
struct IFiPropertyControl : IUnknown {
  virtual HRESULT GetRange(int32_t code, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                           int32_t* flags) = 0;
  virtual HRESULT Set(int32_t code, int32_t value, int32_t flags) = 0;
  virtual HRESULT Get(int32_t code, int32_t* value, int32_t* flags) = 0;
};

// Codes: 0 Exposure, 1 Shutter, 2 Gain, 3 Iris.
struct IFiExposureControl : IFiPropertyControl {
  static constexpr IID iid{0x92750B52, 0x7FB7, 0x411B, {0x96, 0x30, 0x98, 0xD3, 0xDA, 0xFD, 0x93, 0x49}};
};
// Codes: 0 UB, 1 VR, 2 Hue, 3 Saturation.
struct IFiColorControl : IFiPropertyControl {
  static constexpr IID iid{0x92750B62, 0x7FB7, 0x411B, {0x96, 0x30, 0x98, 0xD3, 0xDA, 0xFD, 0x93, 0x49}};
};
// Codes: 0 Focus, 1 Zoom, 2 Brightness, 3 Sharpness, 4 Gamma.
struct IFiBasicControl : IFiPropertyControl {
  static constexpr IID iid{0x92750B72, 0x7FB7, 0x411B, {0x96, 0x30, 0x98, 0xD3, 0xDA, 0xFD, 0x93, 0x49}};
};

// One entry of the driver's format list: 160 bytes, media type pointer at 0, caps at 8.
struct FiStreamCapsEntry {
  AM_MEDIA_TYPE* mediaType = nullptr;
  VIDEO_STREAM_CONFIG_CAPS caps;
  uint8_t reserved[24] = {};
};
static_assert(sizeof(FiStreamCapsEntry) == 160);

struct IFiVideoFormatConfig : IUnknown {
  static constexpr IID iid{0x63D0FAF7, 0xCFBC, 0x4DE5, {0xB5, 0x39, 0x5B, 0xBD, 0xF0, 0xBC, 0x07, 0x3B}};
  // The driver allocates the list; give it back with FreeStreamCaps.
  virtual HRESULT GetStreamCaps(FiStreamCapsEntry** list, uint32_t* count) = 0;
  virtual HRESULT FreeStreamCaps(FiStreamCapsEntry* list) = 0;
  virtual HRESULT GetDefaultFormat(int32_t* index) = 0;
  virtual HRESULT SetDefaultFormat(int32_t index) = 0;
  virtual HRESULT GetF7PacketInfo(int32_t index, uint32_t* minimum, uint32_t* maximum) = 0;
  virtual HRESULT GetF7PacketSize(int32_t index, uint32_t* size) = 0;  // may raise
  virtual HRESULT SetF7PacketSize(int32_t index, uint32_t size) = 0;
  virtual HRESULT GetCurrentFps(int32_t index, int32_t* code) = 0;
  virtual HRESULT SetCurrentFps(int32_t index, int32_t code) = 0;
  virtual HRESULT SetCustomRect(int32_t index, RECT rect) = 0;   // may raise
  virtual HRESULT GetCustomRect(int32_t index, RECT* rect) = 0;  // may raise
};

// Raw-mode interface of the driver's YUV decompressor.
struct IFiRawMode : IUnknown {
  static constexpr IID iid{0x92DCFFA8, 0xC116, 0x49A0, {0xAB, 0xAE, 0x6D, 0xEF, 0xD0, 0x3F, 0xEC, 0xA2}};
  virtual HRESULT SetRawMode(int32_t mode) = 0;  // may raise
};

}  // namespace kelvane::platform
