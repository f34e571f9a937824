// Binding ports to cameras, sharing a camera between ports, opening a camera on
// its first port and releasing it with its last.
#include <string>

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

void BindPort(int32_t port, int index, CameraRecord& camera, int32_t* size) {
  State().PortTable[port] = PortEntry{index, &camera};
  if (size) {
    size[0] = camera.Frames->Width();
    size[1] = camera.Frames->Rows();
  }
}

// Undoes a first open: graph filters, callback, frame store.
void ReleaseCamera(CameraRecord& camera) {
  capture::TearDownGraph(camera);
  camera.Decoder.reset();
  camera.Frames.reset();
}

// The media type that reaches the sample grabber: its connected type, else the
// connection type of the first pin found on grabber, renderer or decompressor.
bool ConnectedMediaType(CameraRecord& camera, AM_MEDIA_TYPE& mt) {
  if (camera.SampleGrabber && SUCCEEDED(camera.SampleGrabber->GetConnectedMediaType(&mt))) return true;
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
    if (SUCCEEDED(pin->ConnectionMediaType(&mt))) return true;
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

  AM_MEDIA_TYPE mt;
  if (!ConnectedMediaType(camera, mt)) {
    capture::LogUnknownSampleFormat("Unknown Sample format", mt.subtype);
    ReleaseCamera(camera);
    return false;
  }
  const GUID subtype = mt.subtype;
  const VIDEOINFOHEADER* vih = VideoInfo(mt);
  const int32_t frameType = frames::FrameTypeForSubtype(subtype);
  if (!capture::IsSupportedSubtype(subtype) || !vih) {
    capture::LogUnknownSampleFormat("Unknown Sample format", subtype);
    FreeMediaType(mt);
    ReleaseCamera(camera);
    return false;
  }
  const int32_t width = vih->bmiHeader.biWidth, height = vih->bmiHeader.biHeight;
  FreeMediaType(mt);
  if (frameType < 0) {
    ReleaseCamera(camera);
    return false;
  }

  const int32_t lut = frameType == 8 || frameType == 10 ? s.Lut : 0;
  camera.Frames = std::make_unique<frames::FrameStore>(frameType, width, height, lut);
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
  camera.Decoder = std::make_unique<frames::CVideoDecoderCB>(*camera.Frames);
  camera.Decoder->DropCnt.store(s.DropCnt);
  if (s.ContinousVideo == 0) camera.Decoder->PauseControl.store(camera.MediaControl.Get());
  ComPtr<IMediaEventSink> events;
  if (SUCCEEDED(QueryInto(camera.Graph.Get(), events))) camera.Decoder->EventSink.store(events.Get());
  if (!camera.SampleGrabber || FAILED(camera.SampleGrabber->SetCallback(camera.Decoder.get(), 1))) {
    ReleaseCamera(camera);
    return false;
  }
  return true;
}

}  // namespace

int32_t OpenPort(int32_t grabber, int32_t port, const char* cameraName, int32_t* size) {
  HostState& s = State();
  if (grabber != 0 || static_cast<uint32_t>(port) >= kMaxPorts || s.PortTable[port].Camera) return 0;
  int index = FindCamera(cameraName);
  if (index < 0) return 0;
  CameraRecord& camera = s.CameraTable[index];
  CameraLock& lock = s.CameraMutex[index];

  if (lock.Held()) {  // open in this library already: the port shares it
    BindPort(port, index, camera, size);
    ++camera.PortCount;
    return 1;
  }
  // Taking the lock first makes test and creation one step: of two hosts
  // opening the camera at the same moment, exactly one gets it.
  std::string error;
  switch (lock.TryAcquire(index, &error)) {
    case CameraLock::Result::Taken:
      break;
    case CameraLock::Result::HeldElsewhere:
      return 0;  // open in another process or another copy of the library
    case CameraLock::Result::Error:
      DebugPrint("Unable to lock camera %s: %s\r\n", cameraName, error.c_str());
      return 0;
  }
  DebugPrint("OPEN %s\r\n", cameraName);
  bool opened = false;
  try {
    opened = OpenCamera(camera);
  } catch (...) {
    ReleaseCamera(camera);
    lock.Release();
    throw;
  }
  if (!opened) {
    lock.Release();
    return 0;
  }
  BindPort(port, index, camera, size);
  camera.PortCount = 1;

  SwitchTrigger(camera, 0);
  const int32_t timeout = camera.Settings.Timeout;
  if (Snapshot(camera, timeout, camera.Decoder->Arm()) == 1)
    DebugPrint("%s: initial snapshot timeout after %d ms\r\n", camera.ConfigName, timeout);
  if (camera.Settings.ContinousVideo == 0) capture::PauseGraph(camera.MediaControl.Get());
  return 1;
}

bool ClosePort(int32_t grabber, int32_t port) {
  if (!CheckPort(grabber, port)) return false;
  HostState& s = State();
  PortEntry& entry = s.PortTable[port];
  CameraRecord& camera = *entry.Camera;
  DebugPrint("CLOSE %s\r\n", camera.ConfigName);
  const int index = entry.CameraIndex;
  entry = PortEntry{-1, nullptr};
  if (--camera.PortCount > 0) return true;
  camera.PortCount = 0;
  SwitchTrigger(camera, 0);
  ReleaseCamera(camera);
  return s.CameraMutex[index].Release();
}

}  // namespace kelvane::host
