// The 23 named camera properties and raw camera registers, served by the
// driver's own property interfaces where the camera has them and by the
// framework's video-processing and camera-control interfaces otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "platform/dshow.h"
#include "platform/firei.h"

namespace kelvane::capture {

using platform::ComPtr;
using platform::HRESULT;

inline constexpr int kPropertyCount = 23;

// The property's name, "Undefined" outside 0..22.
const char* PropertyNameOf(int index);
// Index 0..22 of the first name equal to `name` ignoring letter case, or -1.
int PropertyName(const char* name);
// Whether name ends in ".flags" (letter case matters); base gets the name
// without it, or the whole name. Names of 256 characters or more are refused:
// the result is false and base is left empty, so they count as unknown.
bool SplitFlagsSuffix(const char* name, std::string& base);

// Short-lived accessor of one camera's properties, for one operation or one loop.
class PropertyAccess {
 public:
  explicit PropertyAccess(platform::IBaseFilter* captureFilter);

  HRESULT GetRange(int index, int32_t* minimum, int32_t* maximum, int32_t* step, int32_t* defaultValue,
                   int32_t* flags);
  HRESULT Get(int index, int32_t* value, int32_t* flags);
  HRESULT Set(int index, int32_t value, int32_t flags);
  HRESULT ReadRegisters(uint32_t address, uint32_t count, uint32_t* values);
  HRESULT WriteRegisters(uint32_t address, uint32_t count, const uint32_t* values);

  // 2: the filter offers the driver's format interface (values are floats);
  // 1: it offers the camera-information interface (values are integers); 0: neither.
  int32_t ValueForm = 0;

 private:
  platform::IFiPropertyControl* DriverInterface(int index, int32_t* code) const;

  platform::IBaseFilter* CaptureFilter;  // not referenced by the accessor
  ComPtr<platform::IAMVideoProcAmp> ProcAmp;
  ComPtr<platform::IAMCameraControl> CameraControl;
  ComPtr<platform::IFiCameraInfo> CameraInfo;
  ComPtr<platform::IFiExposureControl> ExposureControl;
  ComPtr<platform::IFiColorControl> ColorControl;
  ComPtr<platform::IFiBasicControl> BasicControl;
};

}  // namespace kelvane::capture
