// libdc1394 itself behind the table, and the switch that lets tests put a
// fake camera in its place. The library's own log output goes to the host's
// message sink: a grabber plug-in has no terminal to write to.
#include "platform/iidc/dc1394_ops.h"

#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/factory.h"

namespace kelvane::iidc {

namespace {

void ToSink(dc1394log_t type, const char* message, void*) {
  // Debug lines are wanted only by whoever asked libdc1394 for them.
  if (type == DC1394_LOG_DEBUG && !std::getenv("DC1394_DEBUG")) return;
  const char* kind = type == DC1394_LOG_ERROR ? "error" : type == DC1394_LOG_WARNING ? "warning" : "debug";
  std::string line = message ? message : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  platform::PlatformMessage(("libdc1394 " + std::string(kind) + ": " + line + "\r\n").c_str());
}

class Library final : public Dc1394Ops {
 public:
  Library() {
    dc1394_log_register_handler(DC1394_LOG_ERROR, ToSink, nullptr);
    dc1394_log_register_handler(DC1394_LOG_WARNING, ToSink, nullptr);
    dc1394_log_register_handler(DC1394_LOG_DEBUG, ToSink, nullptr);
  }

  dc1394_t* New() override { return dc1394_new(); }
  void Free(dc1394_t* context) override { dc1394_free(context); }
  dc1394error_t CameraEnumerate(dc1394_t* context, dc1394camera_list_t** list) override {
    return dc1394_camera_enumerate(context, list);
  }
  void CameraFreeList(dc1394camera_list_t* list) override { dc1394_camera_free_list(list); }
  dc1394camera_t* CameraNewUnit(dc1394_t* context, uint64_t guid, int unit) override {
    return dc1394_camera_new_unit(context, guid, unit);
  }
  void CameraFree(dc1394camera_t* camera) override { dc1394_camera_free(camera); }

  dc1394error_t VideoGetSupportedModes(dc1394camera_t* camera, dc1394video_modes_t* modes) override {
    return dc1394_video_get_supported_modes(camera, modes);
  }
  dc1394error_t VideoGetSupportedFramerates(dc1394camera_t* camera, dc1394video_mode_t mode,
                                            dc1394framerates_t* rates) override {
    return dc1394_video_get_supported_framerates(camera, mode, rates);
  }
  dc1394error_t VideoGetMode(dc1394camera_t* camera, dc1394video_mode_t* mode) override {
    return dc1394_video_get_mode(camera, mode);
  }
  dc1394error_t VideoSetMode(dc1394camera_t* camera, dc1394video_mode_t mode) override {
    return dc1394_video_set_mode(camera, mode);
  }
  dc1394error_t VideoGetFramerate(dc1394camera_t* camera, dc1394framerate_t* rate) override {
    return dc1394_video_get_framerate(camera, rate);
  }
  dc1394error_t VideoSetFramerate(dc1394camera_t* camera, dc1394framerate_t rate) override {
    return dc1394_video_set_framerate(camera, rate);
  }
  dc1394error_t VideoSetIsoSpeed(dc1394camera_t* camera, dc1394speed_t speed) override {
    return dc1394_video_set_iso_speed(camera, speed);
  }
  dc1394error_t VideoSetOperationMode(dc1394camera_t* camera, dc1394operation_mode_t mode) override {
    return dc1394_video_set_operation_mode(camera, mode);
  }
  dc1394error_t VideoSetTransmission(dc1394camera_t* camera, dc1394switch_t power) override {
    return dc1394_video_set_transmission(camera, power);
  }
  dc1394error_t GetImageSizeFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                          uint32_t* height) override {
    return dc1394_get_image_size_from_video_mode(camera, mode, width, height);
  }
  dc1394error_t GetColorCodingFromVideoMode(dc1394camera_t* camera, dc1394video_mode_t mode,
                                            dc1394color_coding_t* coding) override {
    return dc1394_get_color_coding_from_video_mode(camera, mode, coding);
  }

  dc1394error_t Format7GetMaxImageSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* width,
                                       uint32_t* height) override {
    return dc1394_format7_get_max_image_size(camera, mode, width, height);
  }
  dc1394error_t Format7GetUnitSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                   uint32_t* vUnit) override {
    return dc1394_format7_get_unit_size(camera, mode, hUnit, vUnit);
  }
  dc1394error_t Format7GetUnitPosition(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* hUnit,
                                       uint32_t* vUnit) override {
    return dc1394_format7_get_unit_position(camera, mode, hUnit, vUnit);
  }
  dc1394error_t Format7GetColorCodings(dc1394camera_t* camera, dc1394video_mode_t mode,
                                       dc1394color_codings_t* codings) override {
    return dc1394_format7_get_color_codings(camera, mode, codings);
  }
  dc1394error_t Format7GetColorFilter(dc1394camera_t* camera, dc1394video_mode_t mode,
                                      dc1394color_filter_t* filter) override {
    return dc1394_format7_get_color_filter(camera, mode, filter);
  }
  dc1394error_t Format7GetPacketParameters(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* unitBytes,
                                           uint32_t* maxBytes) override {
    return dc1394_format7_get_packet_parameters(camera, mode, unitBytes, maxBytes);
  }
  dc1394error_t Format7GetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t* size) override {
    return dc1394_format7_get_packet_size(camera, mode, size);
  }
  dc1394error_t Format7SetPacketSize(dc1394camera_t* camera, dc1394video_mode_t mode, uint32_t size) override {
    return dc1394_format7_set_packet_size(camera, mode, size);
  }
  dc1394error_t Format7GetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t* coding,
                              uint32_t* packetSize, uint32_t* left, uint32_t* top, uint32_t* width,
                              uint32_t* height) override {
    return dc1394_format7_get_roi(camera, mode, coding, packetSize, left, top, width, height);
  }
  dc1394error_t Format7SetRoi(dc1394camera_t* camera, dc1394video_mode_t mode, dc1394color_coding_t coding,
                              int32_t packetSize, int32_t left, int32_t top, int32_t width, int32_t height) override {
    return dc1394_format7_set_roi(camera, mode, coding, packetSize, left, top, width, height);
  }
  dc1394error_t Format7GetTotalBytes(dc1394camera_t* camera, dc1394video_mode_t mode, uint64_t* bytes) override {
    return dc1394_format7_get_total_bytes(camera, mode, bytes);
  }

  dc1394error_t FeatureGetAll(dc1394camera_t* camera, dc1394featureset_t* features) override {
    return dc1394_feature_get_all(camera, features);
  }
  dc1394error_t FeatureGetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* value) override {
    return dc1394_feature_get_value(camera, feature, value);
  }
  dc1394error_t FeatureSetValue(dc1394camera_t* camera, dc1394feature_t feature, uint32_t value) override {
    return dc1394_feature_set_value(camera, feature, value);
  }
  dc1394error_t FeatureGetBoundaries(dc1394camera_t* camera, dc1394feature_t feature, uint32_t* minimum,
                                     uint32_t* maximum) override {
    return dc1394_feature_get_boundaries(camera, feature, minimum, maximum);
  }
  dc1394error_t FeatureGetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t* mode) override {
    return dc1394_feature_get_mode(camera, feature, mode);
  }
  dc1394error_t FeatureSetMode(dc1394camera_t* camera, dc1394feature_t feature, dc1394feature_mode_t mode) override {
    return dc1394_feature_set_mode(camera, feature, mode);
  }
  dc1394error_t FeatureGetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t* power) override {
    return dc1394_feature_get_power(camera, feature, power);
  }
  dc1394error_t FeatureSetPower(dc1394camera_t* camera, dc1394feature_t feature, dc1394switch_t power) override {
    return dc1394_feature_set_power(camera, feature, power);
  }
  dc1394error_t FeatureGetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                          dc1394switch_t* power) override {
    return dc1394_feature_get_absolute_control(camera, feature, power);
  }
  dc1394error_t FeatureSetAbsoluteControl(dc1394camera_t* camera, dc1394feature_t feature,
                                          dc1394switch_t power) override {
    return dc1394_feature_set_absolute_control(camera, feature, power);
  }
  dc1394error_t FeatureGetAbsoluteBoundaries(dc1394camera_t* camera, dc1394feature_t feature, float* minimum,
                                             float* maximum) override {
    return dc1394_feature_get_absolute_boundaries(camera, feature, minimum, maximum);
  }
  dc1394error_t FeatureGetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float* value) override {
    return dc1394_feature_get_absolute_value(camera, feature, value);
  }
  dc1394error_t FeatureSetAbsoluteValue(dc1394camera_t* camera, dc1394feature_t feature, float value) override {
    return dc1394_feature_set_absolute_value(camera, feature, value);
  }
  dc1394error_t FeatureWhitebalanceGetValue(dc1394camera_t* camera, uint32_t* ub, uint32_t* vr) override {
    return dc1394_feature_whitebalance_get_value(camera, ub, vr);
  }
  dc1394error_t FeatureWhitebalanceSetValue(dc1394camera_t* camera, uint32_t ub, uint32_t vr) override {
    return dc1394_feature_whitebalance_set_value(camera, ub, vr);
  }
  dc1394error_t FeatureTemperatureGetValue(dc1394camera_t* camera, uint32_t* target, uint32_t* current) override {
    return dc1394_feature_temperature_get_value(camera, target, current);
  }
  dc1394error_t FeatureTemperatureSetValue(dc1394camera_t* camera, uint32_t target) override {
    return dc1394_feature_temperature_set_value(camera, target);
  }
  dc1394error_t FeatureWhiteshadingGetValue(dc1394camera_t* camera, uint32_t* r, uint32_t* g, uint32_t* b) override {
    return dc1394_feature_whiteshading_get_value(camera, r, g, b);
  }
  dc1394error_t FeatureWhiteshadingSetValue(dc1394camera_t* camera, uint32_t r, uint32_t g, uint32_t b) override {
    return dc1394_feature_whiteshading_set_value(camera, r, g, b);
  }

  dc1394error_t GetControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values,
                                    uint32_t count) override {
    return dc1394_get_control_registers(camera, offset, values, count);
  }
  dc1394error_t SetControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                    uint32_t count) override {
    return dc1394_set_control_registers(camera, offset, values, count);
  }
  dc1394error_t GetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, uint32_t* values,
                                       uint32_t count) override {
    return dc1394_get_adv_control_registers(camera, offset, values, count);
  }
  dc1394error_t SetAdvControlRegisters(dc1394camera_t* camera, uint64_t offset, const uint32_t* values,
                                       uint32_t count) override {
    return dc1394_set_adv_control_registers(camera, offset, values, count);
  }

  dc1394error_t CaptureSetup(dc1394camera_t* camera, uint32_t buffers, uint32_t flags) override {
    return dc1394_capture_setup(camera, buffers, flags);
  }
  dc1394error_t CaptureStop(dc1394camera_t* camera) override { return dc1394_capture_stop(camera); }
  int CaptureGetFileno(dc1394camera_t* camera) override { return dc1394_capture_get_fileno(camera); }
  int Poll(int fd, int timeoutMs) override {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs);
  }
  dc1394error_t CaptureDequeue(dc1394camera_t* camera, dc1394capture_policy_t policy,
                               dc1394video_frame_t** frame) override {
    return dc1394_capture_dequeue(camera, policy, frame);
  }
  dc1394error_t CaptureEnqueue(dc1394camera_t* camera, dc1394video_frame_t* frame) override {
    return dc1394_capture_enqueue(camera, frame);
  }
};

std::atomic<Dc1394Ops*> g_ops{nullptr};

}  // namespace

Dc1394Ops& LibraryOps() {
  static Library* ops = new Library;  // never destroyed: cameras may be closed during exit
  return *ops;
}

Dc1394Ops& CurrentOps() {
  Dc1394Ops* ops = g_ops.load(std::memory_order_acquire);
  return ops ? *ops : LibraryOps();
}

Dc1394Ops* SetOps(Dc1394Ops* ops) { return g_ops.exchange(ops, std::memory_order_acq_rel); }

}  // namespace kelvane::iidc
