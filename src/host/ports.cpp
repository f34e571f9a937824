// Binding ports to cameras, sharing a camera between ports, opening a camera on
// its first port and releasing it with its last.
#include <string>
#include <thread>
#include <vector>

#include "capture/discovery.h"
#include "capture/graph.h"
#include "capture/property_store.h"
#include "capture/stream_format.h"
#include "diagnostics/diagnostics.h"
#include "host/grab.h"
#include "host/library.h"
#include "host/state.h"
#include "settings/camera_settings.h"

namespace kelvane::host {

using namespace platform;

namespace {

void BindPort(HostState& s, int32_t port, int index, CameraRecord& camera, int32_t* size)
    KELVANE_REQUIRES(s.TableMutex) {
  s.PortTable[static_cast<size_t>(port)] = PortEntry{index, &camera, false};
  if (size) {
    size[0] = camera.Frames->Width();
    size[1] = camera.Frames->Rows();
  }
}

// Undoes a first open: graph filters, callback, frame store. False when the
// graph might still call the callback; the callback and the frame store it
// feeds are then kept alive (never freed) rather than freed under it.
bool ReleaseCamera(CameraRecord& camera) {
  if (camera.Decoder) camera.Decoder->Detach();
  const bool quiet = capture::TearDownGraph(camera);
  if (!quiet) {
    DebugPrint("%s: the sample callback could not be removed from a graph that did not stop; its memory is kept\r\n",
               camera.ConfigName);
    static std::mutex keptMutex;
    static std::vector<std::pair<std::unique_ptr<frames::CVideoDecoderCB>, std::unique_ptr<frames::FrameStore>>> kept;
    std::lock_guard lock(keptMutex);
    kept.emplace_back(std::move(camera.Decoder), std::move(camera.Frames));
    return false;
  }
  if (camera.Decoder) camera.Decoder->WaitIdle();
  camera.Decoder.reset();
  camera.Frames.reset();
  return true;
}

// The media type that reaches the sample grabber: its connected type, else the
// connection type of the first pin found on grabber, renderer or decompressor.
bool ConnectedMediaType(CameraRecord& camera, MediaType& mt) {
  if (camera.SampleGrabber && SUCCEEDED(camera.SampleGrabber->GetConnectedMediaType(mt.Out()))) return true;
  struct Candidate {
    IBaseFilter* filter;
    PIN_DIRECTION direction;
  } candidates[] = {{camera.GrabberFilter.Get(), PINDIR_INPUT},
                    {camera.RendererFilter.Get(), PINDIR_INPUT},
                    {camera.DecompressorFilter.Get(), PINDIR_OUTPUT}};
  for (const Candidate& c : candidates) {
    if (!c.filter) continue;
    ComPtr<IPin> pin;
    if (FAILED(capture::GetPin(c.filter, c.direction, pin.Put()))) continue;
    if (SUCCEEDED(pin->ConnectionMediaType(mt.Out()))) return true;
  }
  return false;
}

frames::FrameSettings FrameSettingsOf(const settings::CameraSettings& s) {
  frames::FrameSettings f;
  f.BlackLvlPoints = s.BlackLvlPoints;
  f.BlackLvlValue = static_cast<uint8_t>(s.BlackLvlValue & 0xFF);
  f.BlackLvlRange = static_cast<uint8_t>(s.BlackLvlRange & 0xFF);
  f.BlackLvlRetry = s.BlackLvlRetry;
  f.MeanCnt = s.MeanCnt;
  f.RecursiveMean = s.RecursiveMean;
  f.RecursiveCoeff = s.RecursiveCoeff;
  f.Algorithm = s.Algorithm;
  f.RawMode = s.RawMode;
  return f;
}

// The first open of a camera in this process, up to its installed callback.
// The lock is already ours. On failure everything taken here is released.
bool OpenCamera(CameraRecord& camera) {
  // The settings are read again at each first open; a path too long for the
  // settings file leaves the defaults, as a missing file does.
  const auto path = SettingsPath();
  camera.Settings = path ? settings::ReadCameraSettings(*path, camera.ConfigName) : settings::CameraSettings{};
  {
    MutexLock lock(camera.PendingMutex);
    camera.PendingSettings.reset();  // older than what was just read
  }
  const settings::CameraSettings& s = camera.Settings;
  if (s.RawMode < 0 || s.RawMode > 4)
    DebugPrint(
        "%s: RawMode %d is not one of 0..4; raw data will not be demosaiced and its colour images will be "
        "grey\r\n",
        camera.ConfigName, s.RawMode);

  HRESULT hr = capture::SetStreamConfig(camera);
  if (FAILED(hr)) LogFailure("SetStreamConfig", hr);
  hr = capture::BuildCaptureGraph(camera);
  if (FAILED(hr)) {
    ReleaseCamera(camera);  // a failed build keeps nothing until the next open
    return false;
  }
  if (path) capture::ApplyCameraProperties(camera, *path);

  MediaType mt;
  if (!ConnectedMediaType(camera, mt)) {
    capture::LogUnknownSampleFormat("Unknown Sample format", mt.Get().subtype);
    ReleaseCamera(camera);
    return false;
  }
  const GUID subtype = mt.Get().subtype;
  const VIDEOINFOHEADER* vih = mt.Video();
  const std::optional<frames::FrameType> frameType = frames::FrameTypeForSubtype(subtype);
  if (!capture::IsSupportedSubtype(subtype) || !vih) {
    capture::LogUnknownSampleFormat("Unknown Sample format", subtype);
    ReleaseCamera(camera);
    return false;
  }
  const int32_t width = vih->bmiHeader.biWidth, height = vih->bmiHeader.biHeight;
  camera.FrameInterval = vih->AvgTimePerFrame;
  if (!frameType) {
    capture::LogUnknownSampleFormat("No frame pipeline for the sample format", subtype);
    ReleaseCamera(camera);
    return false;
  }

  const int32_t lut = frames::Is16Bit(*frameType) ? s.Lut : 0;
  camera.Frames = std::make_unique<frames::FrameStore>(*frameType, width, height, lut);
  camera.Frames->ApplySettings(FrameSettingsOf(s));
  if (!camera.Frames->SetColorOutput(s.Color != 0)) {
    const std::string tooLarge = camera.Frames->LimitProblem(s.Color != 0);
    if (!tooLarge.empty())
      DebugPrint("%s: %s; the camera is not opened\r\n", camera.ConfigName, tooLarge.c_str());
    else
      DebugPrint("%s: no memory for %d x %d image buffers\r\n", camera.ConfigName, width, height);
    ReleaseCamera(camera);
    return false;
  }
  camera.Decoder = std::make_unique<frames::CVideoDecoderCB>(*camera.Frames, &camera.Gate);
  camera.Decoder->DropCnt.store(s.DropCnt);
  if (s.ContinousVideo == 0) camera.Decoder->PauseControl.store(camera.MediaControl.Get());
  ComPtr<IMediaEventSink> events;
  if (SUCCEEDED(QueryInto(camera.Graph.Get(), events))) camera.Decoder->EventSink.store(events.Get());
  const HRESULT installed =
      camera.SampleGrabber ? camera.SampleGrabber->SetCallback(camera.Decoder.get(), 1) : E_POINTER;
  if (FAILED(installed)) {
    LogFailure("Failed to install the sample callback", installed);
    ReleaseCamera(camera);
    return false;
  }
  return true;
}

// Waits for a release that began inside the camera's own callback. Call with
// the camera's gate held; the gate is left while waiting, as the release needs it.
void JoinReleaser(CameraRecord& camera) {
  while (camera.Releaser.joinable()) {
    std::thread releaser = std::move(camera.Releaser);
    camera.Gate.Leave();
    releaser.join();
    camera.Gate.Enter();
  }
}

// The last close of a camera, after its ports are unbound: stops and tears the
// graph down, frees the frame store and the callback, and gives the camera
// lock back. Every step is taken whatever the driver did in the steps before.
// Call with the gate held, never on the camera's streaming thread.
bool FinishRelease(CameraRecord& camera, int index) {
  try {
    SwitchTrigger(camera, 0);
  } catch (const std::exception& e) {
    DebugPrint("%s: switching the trigger off raised: %s\r\n", camera.ConfigName, e.what());
  }
  ReleaseCamera(camera);
  HostState& s = State();
  MutexLock lock(s.TableMutex);
  return s.CameraMutex[static_cast<size_t>(index)].Release();
}

}  // namespace

int32_t OpenPort(int32_t grabber, int32_t port, const char* cameraName, int32_t* size) {
  HostState& s = State();
  if (grabber != 0) {
    Refuse("openCVLPort", grabber, port, "there is no grabber %d, only grabber 0", grabber);
    return 0;
  }
  if (static_cast<uint32_t>(port) >= kMaxPorts) {
    Refuse("openCVLPort", grabber, port, "port %d is not one of 0..%d", port, kMaxPorts - 1);
    return 0;
  }
  int index = FindCamera(cameraName);
  if (index < 0) {
    if (!cameraName)
      Refuse("openCVLPort", grabber, port, "no camera name (null pointer)");
    else
      Refuse("openCVLPort", grabber, port, "no camera is named \"%s\" (names are compared with letter case)",
             cameraName);
    return 0;
  }
  CameraRecord& camera = s.CameraTable[static_cast<size_t>(index)];

  frames::GateHold hold(camera.Gate);
  if (camera.Releaser.joinable() && camera.Decoder && camera.Decoder->OnStreamingThread()) {
    // Closed from this very callback: its release waits for the callback to return.
    Refuse("openCVLPort", grabber, port, "%s cannot be opened again from the callback that closed it", cameraName);
    return 0;
  }
  JoinReleaser(camera);
  {
    MutexLock table(s.TableMutex);
    PortEntry& entry = s.PortTable[static_cast<size_t>(port)];
    if (entry.Camera || entry.Reserved) {
      Refuse("openCVLPort", grabber, port, "port %d is already bound to %s; close it first", port,
             entry.Camera ? entry.Camera->ConfigName : "a camera being opened");
      return 0;
    }
    if (camera.PortCount > 0) {  // open in this library already: the port shares it
      BindPort(s, port, index, camera, size);
      ++camera.PortCount;
      return 1;
    }
    // Taking the lock first makes test and creation one step: of two hosts
    // opening the camera at the same moment, exactly one gets it.
    std::string error;
    LockHolder holder;
    switch (s.CameraMutex[static_cast<size_t>(index)].TryAcquire(index, &error, &holder)) {
      case CameraLock::Result::Taken:
        break;
      case CameraLock::Result::HeldElsewhere:  // open in another process or another copy of the library
        if (holder.ThisProcess)
          DebugPrint("%s: camera in use by another copy of the library in this process\r\n", cameraName);
        else if (holder.Pid > 0)
          DebugPrint("%s: camera in use by process %d\r\n", cameraName, holder.Pid);
        else
          DebugPrint("%s: camera in use by another process\r\n", cameraName);
        return 0;
      case CameraLock::Result::Error:
        DebugPrint("Unable to lock camera %s: %s\r\n", cameraName, error.c_str());
        return 0;
    }
    entry.Reserved = true;  // no other open takes this port meanwhile
  }
  auto unreserve = [&] {
    MutexLock table(s.TableMutex);
    s.PortTable[static_cast<size_t>(port)].Reserved = false;
    s.CameraMutex[static_cast<size_t>(index)].Release();
  };
  DebugPrint("OPEN %s\r\n", cameraName);
  bool opened = false;
  try {
    opened = OpenCamera(camera);
  } catch (...) {
    ReleaseCamera(camera);
    unreserve();
    throw;
  }
  if (!opened) {
    unreserve();
    Refuse("openCVLPort", grabber, port, "%s could not be opened (the messages above say why)", cameraName);
    return 0;
  }
  {
    MutexLock table(s.TableMutex);
    BindPort(s, port, index, camera, size);
    camera.PortCount = 1;
  }

  // The camera is open and its port bound from here on: a driver that raises
  // in the steps below costs the first image, not the open.
  try {
    SwitchTrigger(camera, 0);
    const int32_t timeout = camera.Settings.Timeout;
    if (Snapshot(camera, timeout, camera.Decoder->Arm()) == SnapshotResult::NotRunning)
      DebugPrint("%s: initial snapshot timeout after %d ms\r\n", camera.ConfigName, timeout);
  } catch (const std::exception& e) {
    DebugPrint("%s: initial snapshot failed: %s\r\n", camera.ConfigName, e.what());
  }
  // The first image was for the open alone: a frame that comes after the wait
  // gave up must not finish a grab nobody asked for.
  camera.Decoder->Disarm();
  if (camera.Settings.ContinousVideo == 0) {
    try {
      capture::PauseGraph(camera.MediaControl.Get());
    } catch (const std::exception& e) {
      DebugPrint("%s: PauseGraph raised: %s\r\n", camera.ConfigName, e.what());
    }
  }
  return 1;
}

bool ClosePort(int32_t grabber, int32_t port) {
  PortCall call("closeCVLPort", grabber, port);
  if (!call) return false;
  CameraRecord& camera = call.Camera();
  const int index = call.Index();
  HostState& s = State();
  DebugPrint("CLOSE %s\r\n", camera.ConfigName);
  {
    MutexLock table(s.TableMutex);
    s.PortTable[static_cast<size_t>(port)] = PortEntry{-1, nullptr, false};
    if (--camera.PortCount > 0) return true;
    camera.PortCount = 0;
  }
  if (camera.Decoder && camera.Decoder->OnStreamingThread()) {
    // Closed from the camera's own CompleteCallback: the callback object and
    // the graph it runs in are released once the callback has returned, by a
    // thread of their own (the streaming thread cannot wait for itself).
    camera.Decoder->Detach();
    camera.Releaser = std::thread([&camera, index] {
      frames::GateHold hold(camera.Gate);
      FinishRelease(camera, index);
    });
    return true;
  }
  return FinishRelease(camera, index);
}

}  // namespace kelvane::host
