// The process-wide state behind the exports: camera table, port table, camera
// locks, system path. One object, created on first use, living as long as the
// library is loaded.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/camera_record.h"
#include "frames/camera_gate.h"
#include "frames/frame_store.h"
#include "frames/sample_callback.h"
#include "host/camera_lock.h"
#include "platform/thread_safety.h"

namespace kelvane::host {

inline constexpr int kMaxPorts = 25;
inline constexpr int kMaxCameras = capture::kMaxCameras;
inline constexpr int kSystemPathSize = 256;  // at most 255 characters

// A camera of the table: what the capture layer knows of it, plus what an open
// camera owns in this process.
//
// Threads: Gate serialises every call on the camera (and its CompleteCallback);
// Frames, Decoder, Settings, FrameInterval and the capture record's graph
// objects are touched only with the Gate held. PortCount and the port table
// belong to HostState::TableMutex.
struct CameraRecord : capture::CameraRecord {
  std::unique_ptr<frames::FrameStore> Frames;  // created by the first open, destroyed by the last close
  std::unique_ptr<frames::CVideoDecoderCB> Decoder;
  int32_t PortCount = 0;      // ports bound to it; 0: not open in this process
  int64_t FrameInterval = 0;  // of the connected format, 100-ns units; 0: unknown
  frames::CameraGate Gate;
  // Finishes a release that began inside the camera's own CompleteCallback,
  // once the callback has returned. Joined by the next open of the camera.
  std::thread Releaser;
  // Settings read by setSystemPath; the camera takes them at its next call.
  Mutex PendingMutex;
  std::optional<settings::CameraSettings> PendingSettings KELVANE_GUARDED_BY(PendingMutex);
};

struct PortEntry {
  int32_t CameraIndex = 0;         // -1 after the port was closed
  CameraRecord* Camera = nullptr;  // null: the port is free
  bool Reserved = false;           // a first open on this port is under way
};

struct HostState {
  std::array<CameraRecord, kMaxCameras> CameraTable;
  std::atomic<uint32_t> CameraCount{0};     // published once the table is filled
  char* ConfigNames[kMaxCameras + 1] = {};  // null-terminated also with 25 cameras
  Mutex TableMutex;  // also guards each camera's PortCount
  std::array<PortEntry, kMaxPorts> PortTable KELVANE_GUARDED_BY(TableMutex);
  std::array<CameraLock, kMaxCameras> CameraMutex KELVANE_GUARDED_BY(TableMutex);
  std::mutex StartMutex;  // start-up runs once, whichever thread comes first
  std::atomic<bool> Initialized{false};
  Mutex PathMutex;
  char SystemPath[kSystemPathSize] KELVANE_GUARDED_BY(PathMutex) = {};
};

HostState& State();

// True when grabber is 0, port is below 25 and the port is bound.
bool CheckPort(int32_t grabber, int32_t port);

// The camera bound to a port, held for one call: the camera's gate is entered
// (calls on one camera are serialised, calls on different cameras run in
// parallel) and the settings that setSystemPath read are taken up. False when
// grabber or port is invalid or the port is not bound.
class PortCall {
 public:
  // `function` names the export in the message that says why a call is refused.
  PortCall(const char* function, int32_t grabber, int32_t port);
  ~PortCall();
  PortCall(const PortCall&) = delete;
  PortCall& operator=(const PortCall&) = delete;
  explicit operator bool() const { return camera_ != nullptr; }
  CameraRecord& Camera() const { return *camera_; }
  int Index() const { return index_; }
  // Gives the camera's gate up before the call ends; the camera is no longer
  // the call's to touch.
  void Leave();

 private:
  CameraRecord* camera_ = nullptr;
  int index_ = -1;
};

// Says through the message sink why `function` refuses its call on (grabber,
// port): "<function>[<grabber>,<port>]: <reason>". Every refusal of a host's
// call goes through here, so hosts (and tests) always learn the reason.
void Refuse(const char* function, int32_t grabber, int32_t port, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// Takes up settings that setSystemPath left for the camera. Call with its gate held.
void AdoptPendingSettings(CameraRecord& camera);

// The settings file of the current system path, or nullopt (with a message)
// when the path is too long for it.
std::optional<std::string> SettingsPath();

// Index of the camera whose ConfigName equals name exactly (case-sensitive), or -1.
int FindCamera(const char* name);

}  // namespace kelvane::host
