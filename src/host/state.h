// The process-wide state behind the exports: camera table, port table, camera
// locks, system path. One object, created on first use, living as long as the
// library is loaded.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/camera_record.h"
#include "frames/frame_store.h"
#include "frames/sample_callback.h"
#include "host/camera_lock.h"

namespace kelvane::host {

inline constexpr int kMaxPorts = 25;
inline constexpr int kMaxCameras = capture::kMaxCameras;
inline constexpr int kSystemPathSize = 256;  // at most 255 characters

// A camera of the table: what the capture layer knows of it, plus what an open
// camera owns in this process.
struct CameraRecord : capture::CameraRecord {
  std::unique_ptr<frames::FrameStore> Frames;     // created by the first open, destroyed by the last close
  std::unique_ptr<frames::CVideoDecoderCB> Decoder;
  int32_t PortCount = 0;  // ports bound to it; 0: not open in this process
};

struct PortEntry {
  int32_t CameraIndex = 0;         // -1 after the port was closed
  CameraRecord* Camera = nullptr;  // null: the port is free
};

struct HostState {
  std::array<CameraRecord, kMaxCameras> CameraTable;
  uint32_t CameraCount = 0;
  char* ConfigNames[kMaxCameras + 1] = {};  // null-terminated also with 25 cameras
  std::array<PortEntry, kMaxPorts> PortTable;
  std::array<CameraLock, kMaxCameras> CameraMutex;
  bool Initialized = false;
  char SystemPath[kSystemPathSize] = {};
};

HostState& State();

// True when grabber is 0, port is below 25 and the port is bound.
bool CheckPort(int32_t grabber, int32_t port);

// The settings file of the current system path, or nullopt (with a message)
// when the path is too long for it.
std::optional<std::string> SettingsPath();

// Index of the camera whose ConfigName equals name exactly (case-sensitive), or -1.
int FindCamera(const char* name);

}  // namespace kelvane::host
