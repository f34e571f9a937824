// Every libdc1394 call the IIDC backend makes goes through Dc1394Ops, so that
// the backend can run on a camera of the tests' own (a fake IIDC camera behind
// the same table) as well as on the library's. Each operation has the library
// function's meaning exactly: the same arguments, the same results and error
// codes, the same ownership of what it hands out. The names are the library's
// without the prefix (CameraEnumerate is dc1394_camera_enumerate).
//
// Register offsets are the library's: the control registers are counted from
// the camera's command-register base (TRIGGER_MODE is 0x830), the advanced
// ones from its advanced-feature base.
#pragma once

#include <dc1394/dc1394.h>

#include <cstdint>

namespace kelvane::iidc {

class Dc1394Ops {
 public:
  virtual ~Dc1394Ops() = default;

  // The context and the cameras.
  virtual dc1394_t* New() = 0;
  virtual void Free(dc1394_t* context) = 0;
  virtual dc1394error_t CameraEnumerate(dc1394_t* context, dc1394camera_list_t** list) = 0;
  virtual void CameraFreeList(dc1394camera_list_t* list) = 0;
  virtual dc1394camera_t* CameraNewUnit(dc1394_t* context, uint64_t guid, int unit) = 0;  // null if gone
  virtual void CameraFree(dc1394camera_t* camera) = 0;

  // Fixed video modes and frame rates.
  virtual dc1394error_t VideoGetSupportedModes(dc1394camera_t* camera, dc1394video_modes_t* modes) = 0;
  virtual dc1394error_t VideoGetSupportedFramerates(dc1394camera_t* camera, dc1394video_mode_t mode,
                                                    dc1394framerates_t* rates) = 0;
  virtual dc1394error_t VideoGetMode(dc1394camera_t* camera, dc1394video_mode_t* mode) = 0;
  virtual dc1394error_t VideoSetMode(dc1394camera_t* camera, dc1394video_mode_t mode) = 0;
  virtual dc1394error_t VideoGetFramerate(dc1394camera_t* camera, dc1394framerate_t* rate) = 0;
  virtual dc1394error_t VideoSetFramerate(dc1394camera_t* camera, dc1394framerate_t rate) = 0;
  virtual dc1394error_t VideoSetIsoSpeed(dc1394camera_t* camera, dc1394speed_t speed) = 0;
  virtual dc1394error_t VideoSetOperationMode(dc1394camera_t* camera, dc1394operation_mode_t mode) = 0;
  virtual dc1394error_t VideoSetTransmission(dc1394camera_t* camera, dc1394switch_t power) = 0;
  virtual dc1394error_t GetImageSizeFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                                  uint32_t* height) = 0;
  virtual dc1394error_t GetColorCodingFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode,
                                                    dc1394color_coding_t* coding) = 0;

  // Format 7: the free-region modes.
  virtual dc1394error_t Format7GetMaxImageSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                               uint32_t* height) = 0;
  virtual dc1394error_t Format7GetUnitSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                           uint32_t* vUnit) = 0;
  virtual dc1394error_t Format7GetUnitPosition(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                               uint32_t* vUnit) = 0;
  virtual dc1394error_t Format7GetColorCodings(dc1394camera_t* camera, dc1394video_mode_t mode,
                                               dc1394color_codings_t* codings) = 0;
  virtual dc1394error_t Format7GetColorFilter(dc1394camera_t* camera, dc1394video_mode_t mode,
                                              dc1394color_filter_t* filter) = 0;
  virtual dc1394error_t Format7GetPacketParameters(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* unitBytes,
                                                   uint32_t* maxBytes) = 0;
  virtual dc1394error_t Format7GetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* size) = 0;
  virtual dc1394error_t Format7SetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t size) = 0;
  virtual dc1394error_t Format7GetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t* coding,
                                      uint32_t* packetSize, uint32_t* left, uint32_t* top, uint32_t* width,
                                      uint32_t* height) = 0;
  // packetSize, left, top, width and height may be DC1394_QUERY_FROM_CAMERA
  // or DC1394_USE_MAX_AVAIL (packet size), DC1394_USE_RECOMMENDED likewise.
  virtual dc1394error_t Format7SetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t coding,
                                      int32_t packetSize, int32_t left, int32_t top, int32_t width, int32_t height) = 0;
  virtual dc1394error_t Format7GetTotalBytes(dc1394camera_t* camera, dc1394video_mode_t mode, uint64_t* bytes) = 0;

  // Features.
  virtual dc1394error_t FeatureGetAll(dc1394camera_t* camera, dc1394featureset_t* features) = 0;
  virtual dc1394error_t FeatureGetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* value) = 0;
  virtual dc1394error_t FeatureSetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t value) = 0;
  virtual dc1394error_t FeatureGetBoundaries(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* minimum,
                                             uint32_t* maximum) = 0;
  virtual dc1394error_t FeatureGetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t* mode) = 0;
  virtual dc1394error_t FeatureSetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t mode) = 0;
  virtual dc1394error_t FeatureGetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t* power) = 0;
  virtual dc1394error_t FeatureSetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t power) = 0;
  virtual dc1394error_t FeatureGetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                                  dc1394switch_t* power) = 0;
  virtual dc1394error_t FeatureSetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                                  dc1394switch_t power) = 0;
  virtual dc1394error_t FeatureGetAbsoluteBoundaries(dc1394camera_t* camera, dc1394feature_t feature, float* minimum,
                                                     float* maximum) = 0;
  virtual dc1394error_t FeatureGetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float* value) = 0;
  virtual dc1394error_t FeatureSetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float value) = 0;
  virtual dc1394error_t FeatureWhitebalanceGetValue(dc1394camera_t* camera, uint32_t* ub, uint32_t* vr) = 0;
  virtual dc1394error_t FeatureWhitebalanceSetValue(dc1394camera_t* camera, uint32_t ub, uint32_t vr) = 0;
  virtual dc1394error_t FeatureTemperatureGetValue(dc1394camera_t* camera, uint32_t* target, uint32_t* current) = 0;
  virtual dc1394error_t FeatureTemperatureSetValue(dc1394camera_t* camera, uint32_t target) = 0;
  virtual dc1394error_t FeatureWhiteshadingGetValue(dc1394camera_t* camera, uint32_t* r, uint32_t* g, uint32_t* b) = 0;
  virtual dc1394error_t FeatureWhiteshadingSetValue(dc1394camera_t* camera, uint32_t r, uint32_t g, uint32_t b) = 0;

  // Registers: `count` quadlets from `offset`.
  virtual dc1394error_t GetControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values,
                                            uint32_t count) = 0;
  virtual dc1394error_t SetControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                            uint32_t count) = 0;
  virtual dc1394error_t GetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values,
                                               uint32_t count) = 0;
  virtual dc1394error_t SetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                               uint32_t count) = 0;

  // Capture: the DMA ring, and the descriptor that becomes readable when a
  // frame is ready (Poll stands for poll(2) on it, POLLIN, the same results).
  virtual dc1394error_t CaptureSetup(dc1394camera_t* camera, uint32_t buffers, uint32_t flags) = 0;
  virtual dc1394error_t CaptureStop(dc1394camera_t* camera) = 0;
  virtual int CaptureGetFileno(dc1394camera_t* camera) = 0;
  virtual int Poll(int fd, int timeoutMs) = 0;
  virtual dc1394error_t CaptureDequeue(dc1394camera_t* camera, dc1394capture_policy_t policy,
                                       dc1394video_frame_t** frame) = 0;
  virtual dc1394error_t CaptureEnqueue(dc1394camera_t* camera, dc1394video_frame_t* frame) = 0;
};

// The library itself.
Dc1394Ops& LibraryOps();

// The table the backend uses now (the library's unless replaced).
Dc1394Ops& CurrentOps();
// Replaces the table (a fake camera in tests); null restores the library's.
// Returns the previous one. Call it before the backend lists its cameras, and
// keep the object alive while any camera of it is open.
Dc1394Ops* SetOps(Dc1394Ops* ops);

}  // namespace kelvane::iidc
