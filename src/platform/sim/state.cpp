// Process-wide state of the simulation: the bus in use, the injected faults,
// the object counters, and the test-facing operations on them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/factory.h"
#include "platform/sim/bus.h"
#include "platform/sim/internal.h"

namespace kelvane::sim {

using namespace platform;

namespace {

// The trace of faultable operations (TraceOperations).
std::atomic<bool> g_tracing{false};
struct OperationTrace {
  std::mutex mutex;
  std::map<std::string, int, std::less<>> counts;
};
OperationTrace& Trace() {
  static OperationTrace* trace = new OperationTrace;  // streaming threads may still count at exit
  return *trace;
}

void CountOperation(std::string_view operation) {
  OperationTrace& t = Trace();
  std::lock_guard lock(t.mutex);
  if (!g_tracing.load(std::memory_order_relaxed)) return;  // stopped meanwhile
  auto it = t.counts.find(operation);
  if (it == t.counts.end()) it = t.counts.emplace(std::string(operation), 0).first;
  ++it->second;
}

struct SimState {
  std::mutex firstLoad;
  std::mutex mutex;
  std::shared_ptr<Bus> bus;
  std::string lastError;
  std::vector<Fault> faults;
  std::atomic<Rate> rate{Rate::RealTime};
};

SimState& State() {
  static SimState* state = new SimState;  // outlives every static that may still release objects
  return *state;
}

// Builds the live bus from a description; call with the state mutex held.
void InstallLocked(SimState& s, BusDesc desc) {
  auto bus = std::make_shared<Bus>();
  for (auto& c : desc.cameras) bus->cameras.push_back(std::make_shared<Device>(std::move(c)));
  bus->filters = std::move(desc.filters);
  bus->driverVersion = std::move(desc.driverVersion);
  s.faults = std::move(desc.faults);
  if (desc.rate) s.rate.store(*desc.rate);
  s.bus = std::move(bus);
}

// Loads a description; a malformed one leaves an empty bus and a message.
bool Load(std::string_view text, std::string_view origin) {
  std::string error;
  auto desc = ParseBus(text, origin, &error);
  SimState& s = State();
  {
    std::lock_guard lock(s.mutex);
    if (desc) {
      InstallLocked(s, std::move(*desc));
      s.lastError.clear();
    } else {
      InstallLocked(s, BusDesc{});
      s.lastError = "Simulated bus " + error;
    }
  }
  if (!desc) PlatformMessage(("Simulated bus " + error + "\r\n").c_str());
  return desc.has_value();
}

// Reads a description file into `text`, or returns why not. Only a regular
// file is read (a named pipe would block until some writer came, a device
// could be endless), and at most kMaxBusFileBytes of it.
std::optional<std::string> ReadBusFile(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string("cannot be read: ") + std::generic_category().message(errno);
  std::optional<std::string> problem;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    problem = std::string("cannot be read: ") + std::generic_category().message(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
  } else if (st.st_size > kMaxBusFileBytes) {
    problem = "larger than 16 MiB";
  } else {
    // The size may change while it is read: never take more than the limit.
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxBusFileBytes)) {
          problem = "larger than 16 MiB";
          break;
        }
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        problem = std::string("cannot be read: ") + std::generic_category().message(errno);
        break;
      }
    }
  }
  ::close(fd);
  return problem;
}

bool LoadFile(const std::string& path) {
  std::string text;
  if (std::optional<std::string> problem = ReadBusFile(path, text)) {
    const std::string error = "Simulated bus " + path + ": " + *problem;
    {
      SimState& s = State();
      std::lock_guard lock(s.mutex);
      InstallLocked(s, BusDesc{});
      s.lastError = error;
    }
    PlatformMessage((error + "\r\n").c_str());
    return false;
  }
  return Load(text, path);
}

void LoadStartupBus() {
  const char* path = std::getenv("KELVANE_SIM_BUS");
  if (path && *path) {
    LoadFile(path);
  } else {
    Load(DefaultBusText(), "built-in bench");
  }
}

// Calls f with the camera's lock held. The analysis cannot follow the lock into
// a generic callable; the callables say KELVANE_REQUIRES(d.Mutex()) instead.
template <class F>
KELVANE_NO_THREAD_SAFETY_ANALYSIS auto WithDevice(const std::string& camera, F&& f)
    -> decltype(f(std::declval<Device&>())) {
  auto device = FindDevice(camera);
  if (!device) return {};
  MutexLock lock(device->Mutex());
  return f(*device);
}

}  // namespace

// The framework counts every object, the simulation's and its own.
int64_t LiveObjects() { return framework::LiveObjects(); }
int64_t OutstandingReferences() { return framework::OutstandingReferences(); }

std::shared_ptr<Bus> CurrentBus() {
  SimState& s = State();
  {
    std::lock_guard lock(s.mutex);
    if (s.bus) return s.bus;
  }
  // The first use loads the start-up bus once, whichever thread comes first.
  std::lock_guard once(s.firstLoad);
  {
    std::lock_guard lock(s.mutex);
    if (s.bus) return s.bus;
  }
  LoadStartupBus();
  std::lock_guard lock(s.mutex);
  return s.bus;
}

std::shared_ptr<Device> FindDevice(std::string_view name) {
  auto bus = CurrentBus();
  for (auto& d : bus->cameras)
    if (d->Name() == name) return d;
  return nullptr;
}

void TraceOperations(bool on) {
  OperationTrace& t = Trace();
  std::lock_guard lock(t.mutex);
  if (on) t.counts.clear();
  g_tracing.store(on, std::memory_order_relaxed);
}

std::map<std::string, int> TracedOperations() {
  OperationTrace& t = Trace();
  std::lock_guard lock(t.mutex);
  return {t.counts.begin(), t.counts.end()};
}

std::optional<HRESULT> TakeFault(std::string_view operation, std::string_view scope) {
  if (g_tracing.load(std::memory_order_relaxed)) CountOperation(operation);
  SimState& s = State();
  std::optional<std::string> raise;
  HRESULT result = S_OK;
  {
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.faults.begin(), s.faults.end(), [&](const Fault& f) {
      return f.count != 0 && f.operation == operation && (f.scope.empty() || f.scope == scope);
    });
    if (it == s.faults.end()) return std::nullopt;
    if (it->after > 0) {
      --it->after;
      return std::nullopt;
    }
    raise = it->raise;
    result = it->result;
    if (it->count > 0 && --it->count == 0) s.faults.erase(it);
  }
  if (raise) throw PlatformError(*raise);
  return result;
}

namespace {
// Faults and the operation trace reach into the framework's own objects
// through its fault hook, installed before any object of the simulation is made.
const bool g_faultHookInstalled = (framework::SetFaultHook(&TakeFault), true);
}  // namespace

// ---- Device -------------------------------------------------------------------------------------

Device::Device(CameraDesc desc) : desc_(std::move(desc)) {
  present = desc_.present;
  registers = desc_.registers;
  for (int i = 0; i < 5; ++i) properties[i] = desc_.properties[i];
  formats = desc_.formats;
  current = desc_.defaultFormat;
  videoControlMode = desc_.videoControlMode;
  for (const auto& f : formats) {
    rects.push_back(RECT{0, 0, f.width, f.height});
    packetSizes.push_back(f.format7 ? f.format7->packet : 0);
  }
}

bool Device::TriggerEnabled() const {
  if (videoControlMode & VideoControlFlag_ExternalTriggerEnable) return true;
  auto it = registers.find(0xF0F00830);
  return it != registers.end() && (it->second.value & 0x82000000u) == 0x82000000u;
}

int32_t Device::Width(int32_t index) const {
  const RECT& r = rects[static_cast<size_t>(index)];
  return r.right - r.left;
}
int32_t Device::Height(int32_t index) const {
  const RECT& r = rects[static_cast<size_t>(index)];
  return r.bottom - r.top;
}

void Device::FillMediaType(int32_t index, AM_MEDIA_TYPE& mt, VIDEO_STREAM_CONFIG_CAPS* caps) const {
  const FormatDesc& f = formats[static_cast<size_t>(index)];
  const RECT rect = rects[static_cast<size_t>(index)];
  const int32_t w = rect.right - rect.left, h = rect.bottom - rect.top;
  const bool rgb = f.subtype == MEDIASUBTYPE_RGB8 || f.subtype == MEDIASUBTYPE_RGB24 ||
                   f.subtype == MEDIASUBTYPE_RGB32 || f.subtype == MEDIASUBTYPE_ARGB32;
  const size_t bytes = FrameBytes(f.subtype, w, h);
  mt = AM_MEDIA_TYPE{};
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = f.subtype;
  mt.formattype = FORMAT_VideoInfo;
  mt.lSampleSize = static_cast<uint32_t>(bytes);
  auto* vih = static_cast<VIDEOINFOHEADER*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
  if (vih) {
    *vih = VIDEOINFOHEADER{};
    vih->rcSource = rect;
    vih->rcTarget = rect;
    vih->AvgTimePerFrame = f.interval;
    vih->dwBitRate = f.interval ? static_cast<uint32_t>(std::min<double>(
                                      static_cast<double>(bytes) * 8.0 * 1e7 / static_cast<double>(f.interval), 4e9))
                                : 0;
    vih->bmiHeader.biWidth = w;
    vih->bmiHeader.biHeight = h;  // positive: RGB rows are stored bottom-up
    vih->bmiHeader.biBitCount = f.bitCount;
    vih->bmiHeader.biCompression = rgb ? 0 : f.subtype.Data1;
    vih->bmiHeader.biSizeImage = static_cast<uint32_t>(bytes);
    mt.pbFormat = reinterpret_cast<uint8_t*>(vih);
    mt.cbFormat = sizeof(VIDEOINFOHEADER);
  }
  if (!caps) return;
  *caps = VIDEO_STREAM_CONFIG_CAPS{};
  caps->guid = FORMAT_VideoInfo;
  if (f.format7) {
    const Format7Desc& d = *f.format7;
    caps->InputSize = {d.maxWidth, d.maxHeight};
    caps->MinCroppingSize = {d.unitX, d.unitY};
    caps->MaxCroppingSize = {d.maxWidth, d.maxHeight};
    caps->CropGranularityX = d.unitX;
    caps->CropGranularityY = d.unitY;
    caps->CropAlignX = d.unitX;
    caps->CropAlignY = d.unitY;
    caps->MinOutputSize = {d.unitX, d.unitY};
    caps->MaxOutputSize = {d.maxWidth, d.maxHeight};
    caps->OutputGranularityX = d.unitX;
    caps->OutputGranularityY = d.unitY;
  } else {
    caps->InputSize = caps->MinCroppingSize = caps->MaxCroppingSize = {f.width, f.height};
    caps->MinOutputSize = caps->MaxOutputSize = {f.width, f.height};
  }
  caps->MinFrameInterval = f.minInterval;
  caps->MaxFrameInterval = f.maxInterval;
  const double maxBytes = static_cast<double>(FrameBytes(f.subtype, caps->MaxOutputSize.cx, caps->MaxOutputSize.cy));
  caps->MinBitsPerSecond = static_cast<int32_t>(std::min(
      static_cast<double>(FrameBytes(f.subtype, caps->MinOutputSize.cx, caps->MinOutputSize.cy)) * 8e7 /
          static_cast<double>(f.maxInterval ? f.maxInterval : 1),
      2e9));
  caps->MaxBitsPerSecond =
      static_cast<int32_t>(std::min(maxBytes * 8e7 / static_cast<double>(f.minInterval ? f.minInterval : 1), 2e9));
}

// ---- test-facing operations ------------------------------------------------------------------------------

bool LoadBusFromText(std::string_view json, std::string_view origin) { return Load(json, origin); }
bool LoadBusFromFile(const std::string& path) { return LoadFile(path); }
void ResetBus() { LoadStartupBus(); }
void LoadDefaultBus() { Load(DefaultBusText(), "built-in bench"); }
std::string DefaultBusJson() { return DefaultBusText(); }

std::string LastBusError() {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  return s.lastError;
}

std::vector<std::string> CameraNames() {
  std::vector<std::string> names;
  for (auto& d : CurrentBus()->cameras) names.push_back(d->Name());
  return names;
}

void InjectFault(const Fault& fault) {
  CurrentBus();  // a later first load would replace the faults with the description's
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  s.faults.push_back(fault);
}

void ClearFaults() {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  s.faults.clear();
}

int PendingFaults(const std::string& operation) {
  SimState& s = State();
  std::lock_guard lock(s.mutex);
  int total = 0;
  for (const auto& f : s.faults) {
    if (f.operation != operation) continue;
    if (f.count < 0) return -1;
    total += f.count;
  }
  return total;
}

bool Disappear(const std::string& camera) {
  return WithDevice(camera, [](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    d.present = false;
    return true;
  });
}

bool StopFrames(const std::string& camera, int after) {
  return WithDevice(camera, [&](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    d.framesLeft = std::max(after, 0);
    return true;
  });
}

bool ResumeFrames(const std::string& camera) {
  return WithDevice(camera, [](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    d.framesLeft = -1;
    return true;
  });
}

bool FireTrigger(const std::string& camera) {
  return WithDevice(camera, [](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    ++d.triggers;
    return true;
  });
}

bool ReadRegister(const std::string& camera, uint32_t address, uint32_t* value) {
  return WithDevice(camera, [&](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    auto it = d.registers.find(address);
    if (it == d.registers.end()) return false;
    if (value) *value = it->second.value;
    return true;
  });
}

bool PokeRegister(const std::string& camera, uint32_t address, uint32_t value) {
  return WithDevice(camera, [&](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    auto it = d.registers.find(address);
    if (it == d.registers.end()) {
      d.registers[address] = RegisterDesc{value, 0xFFFFFFFFu};
    } else {
      it->second.value = value;
    }
    return true;
  });
}

std::optional<PropertyState> GetProperty(const std::string& camera, PropertySet set, int32_t code) {
  return WithDevice(camera, [&](Device& d) KELVANE_REQUIRES(d.Mutex()) -> std::optional<PropertyState> {
    auto& table = d.properties[static_cast<int>(set)];
    auto it = table.find(code);
    if (it == table.end()) return std::nullopt;
    const PropertyDesc& p = it->second;
    return PropertyState{p.minimum, p.maximum, p.step, p.defaultValue, p.value, p.flags, p.caps};
  });
}

bool SetProperty(const std::string& camera, PropertySet set, int32_t code, const PropertyState& state) {
  return WithDevice(camera, [&](Device& d) KELVANE_REQUIRES(d.Mutex()) {
    PropertyDesc& p = d.properties[static_cast<int>(set)][code];
    p.minimum = state.minimum;
    p.maximum = state.maximum;
    p.step = state.step;
    p.defaultValue = state.defaultValue;
    p.value = state.value;
    p.flags = state.flags;
    p.caps = state.caps;
    return true;
  });
}

std::optional<FormatState> CurrentFormat(const std::string& camera) {
  return WithDevice(camera, [](Device& d) KELVANE_REQUIRES(d.Mutex()) -> std::optional<FormatState> {
    FormatState s;
    s.index = d.current;
    const FormatDesc& f = d.formats[static_cast<size_t>(d.current)];
    s.subtype = f.subtype;
    s.width = d.Width(d.current);
    s.height = d.Height(d.current);
    s.rect = d.rects[static_cast<size_t>(d.current)];
    s.packetSize = d.packetSizes[static_cast<size_t>(d.current)];
    s.fpsCode = f.fpsCode;
    s.frameInterval = f.interval;
    return s;
  });
}

std::optional<int32_t> VideoControlMode(const std::string& camera) {
  return WithDevice(camera, [](Device& d) KELVANE_REQUIRES(d.Mutex()) -> std::optional<int32_t> { return d.videoControlMode; });
}

int64_t FramesProduced(const std::string& camera) {
  return WithDevice(camera, [](Device& d) KELVANE_REQUIRES(d.Mutex()) -> int64_t { return d.framesProduced; });
}

void SetRate(Rate rate) { State().rate.store(rate); }
Rate CurrentRate() { return State().rate.load(); }

}  // namespace kelvane::sim

namespace kelvane::sim {

std::vector<uint8_t> RenderFrame(const std::string& camera, int64_t index) {
  auto device = FindDevice(camera);
  if (!device) return {};
  GUID subtype;
  FrameRequest request;
  request.index = index;
  {
    const Device& d = *device;
    MutexLock lock(d.Mutex());
    subtype = d.formats[static_cast<size_t>(d.current)].subtype;
    request.layout = PictureLayout(subtype);
    request.width = d.Width(d.current);
    request.height = d.Height(d.current);
    request.bayer = d.Desc().source.bayer;
  }
  std::vector<uint8_t> frame(FrameBytes(request.layout, request.width, request.height));
  PatternSource(device->Desc().source.blankEvery).Fill(request, frame);
  if (request.layout == subtype) return frame;
  std::vector<uint8_t> encoded;
  framework::JpegEncoder encoder;
  EncodeFrame(encoder, frame.data(), request.width, request.height, encoded);
  return encoded;
}

}  // namespace kelvane::sim
