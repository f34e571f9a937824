// The process-wide state behind the exports: camera table, port table, camera
// locks, system path. One object, created on first use, living as long as the
// library is loaded.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "capture/camera_record.h"
#include "host/camera_lock.h"

namespace kelvane::host {

inline constexpr int kMaxPorts = 25;
inline constexpr int kMaxCameras = capture::kMaxCameras;
inline constexpr int kSystemPathSize = 256;  // at most 255 characters

// A camera of the table: what the capture layer knows of it, plus what an open
// camera owns in this process.
struct CameraRecord : capture::CameraRecord {
  int32_t PortCount = 0;  // ports bound to it; 0: not open in this process
  int32_t Width = 0, Height = 0;  // image size of the open camera
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

// Index of the camera whose ConfigName equals name exactly (case-sensitive), or -1.
int FindCamera(const char* name);

}  // namespace kelvane::host
