// Control of the simulated platform for tests and tools: load a bus, inject
// faults, read the object counters, look into a simulated camera, and drive
// streaming frame by frame. Only tests and the simulation include this header;
// the library reaches the simulation through the platform seam alone.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"
#include "platform/dshow.h"

namespace kelvane::sim {

// ---- the bus -------------------------------------------------------------------------------------

// Replaces the bus with one described in JSON text. `origin` names the text in
// messages. A malformed description is reported through PlatformMessage (file,
// place, problem) and leaves an empty bus: no camera, no filter. Returns
// whether the description was accepted.
bool LoadBusFromText(std::string_view json, std::string_view origin = "<text>");
// A file is read only when it is a regular file of at most kMaxBusFileBytes;
// anything else (a named pipe, a device, a directory) is refused unread, with
// a message, and leaves an empty bus as a malformed description does.
inline constexpr int64_t kMaxBusFileBytes = int64_t{16} * 1024 * 1024;
bool LoadBusFromFile(const std::string& path);
// Back to the start-up bus: the file named by KELVANE_SIM_BUS, or the built-in bench.
void ResetBus();
// The built-in bench, ignoring KELVANE_SIM_BUS.
void LoadDefaultBus();
// The description of the built-in bench, as JSON text.
std::string DefaultBusJson();
// The message of the last rejected description, empty when the bus loaded cleanly.
std::string LastBusError();
// Friendly names of the cameras on the bus, in enumeration order (disappeared ones included).
std::vector<std::string> CameraNames();

// ---- fault injection --------------------------------------------------------------------------------

// Operation names are "Interface::Method" as declared in the seam, e.g.
// "IMoniker::BindToObject", "IPropertyBag::Read", "IMediaControl::Run",
// "IFiVideoFormatConfig::SetCustomRect"; "IMediaControl::QueryInterface" is a
// filter graph asked for its media control. A fault lets the first `after` calls
// pass and then applies to the next `count` calls (count < 0: every call). It
// either returns `result` or, when `raise` is set, throws
// platform::PlatformError with that text.
struct Fault {
  std::string operation;
  std::string scope{};  // a camera's or filter's friendly name; empty: everywhere
  int count = 1;
  platform::HRESULT result = platform::E_FAIL;
  std::optional<std::string> raise{};
  int after = 0;
};
void InjectFault(const Fault& fault);
void ClearFaults();
// How many calls the faults on `operation` still apply to (-1: unlimited).
int PendingFaults(const std::string& operation);

// The operations that reach fault injection, counted by name whatever their
// scope and whether or not a fault applies: every call a fault could be put
// on. TraceOperations(true) starts a new trace (the counts start from zero);
// false stops it and keeps its counts. Off, a faultable call costs one atomic
// load. A test traces a sequence of calls once to learn which operations it
// makes and how often, then makes each of them fail in turn.
void TraceOperations(bool on);
std::map<std::string, int> TracedOperations();

// The camera leaves the bus: it is no longer enumerated, its objects fail every
// operation with kDeviceGone and it delivers no frame. Returns false for an unknown name.
inline constexpr platform::HRESULT kDeviceGone = platform::MakeHr(0x8007048Fu);
bool Disappear(const std::string& camera);
// After `after` more frames the camera delivers none, until ResumeFrames.
bool StopFrames(const std::string& camera, int after = 0);
bool ResumeFrames(const std::string& camera);
// An external trigger pulse for a camera in trigger mode: one frame may be taken.
bool FireTrigger(const std::string& camera);

// ---- counters -----------------------------------------------------------------------------------------

// Objects of the simulation alive now, and references held on them.
int64_t LiveObjects();
int64_t OutstandingReferences();

// ---- camera state -------------------------------------------------------------------------------------

// Register access as the bus sees it: ReadRegister returns false for an
// unknown camera or a register the camera does not have. PokeRegister sets all
// 32 bits, read-only ones included (a test's way to model a camera's answer).
bool ReadRegister(const std::string& camera, uint32_t address, uint32_t* value);
bool PokeRegister(const std::string& camera, uint32_t address, uint32_t value);

enum class PropertySet { Exposure, Color, Basic, ProcAmp, CameraControl };
struct PropertyState {
  double minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
  int32_t flags = 0, caps = 0;
};
std::optional<PropertyState> GetProperty(const std::string& camera, PropertySet set, int32_t code);
bool SetProperty(const std::string& camera, PropertySet set, int32_t code, const PropertyState& state);

// The camera's current format: index in its list, size, frame rate code.
struct FormatState {
  int32_t index = -1;
  platform::GUID subtype;
  int32_t width = 0, height = 0;
  platform::RECT rect;  // the free region of a Format 7 mode, else the whole frame
  uint32_t packetSize = 0;
  int32_t fpsCode = -1;
  int64_t frameInterval = 0;  // 100-ns units
};
std::optional<FormatState> CurrentFormat(const std::string& camera);
// The video-control mode of the camera's output pin.
std::optional<int32_t> VideoControlMode(const std::string& camera);
// Frames the camera has produced since the bus was loaded.
int64_t FramesProduced(const std::string& camera);

// ---- streaming --------------------------------------------------------------------------------------------

// Real time follows each format's frame interval; Fast delivers as fast as the
// callback takes frames; Stepped delivers one frame per Step.
enum class Rate { RealTime, Fast, Stepped };
void SetRate(Rate rate);
Rate CurrentRate();

enum class StepResult {
  Delivered,   // a frame went through the graph and its callback has returned
  NoFrame,     // the graph runs but the camera gave no frame (stopped, gone, awaiting a trigger)
  NotRunning,  // no running graph streams this camera
};
// Stepped rate: lets the graph that streams `camera` deliver one frame and
// returns once the callback has finished with it (the callback runs on the
// graph's streaming thread, not the caller's).
StepResult Step(const std::string& camera);

// Stepped rate, without blocking: grants `frames` frames to the camera, which a
// graph streaming it delivers as soon as it runs (also one started later, by a
// call that blocks until its image arrives). Returns false for an unknown camera.
bool Grant(const std::string& camera, int64_t frames);
// Granted frames not yet delivered.
int64_t Credits(const std::string& camera);

// The bytes the camera delivers as frame `index` (counted as FramesProduced
// counts) in its current format, from the test pattern.
std::vector<uint8_t> RenderFrame(const std::string& camera, int64_t index);

}  // namespace kelvane::sim
