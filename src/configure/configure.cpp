#include "configure/configure.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string_view>

#include "capture/property_store.h"
#include "configure/dialog.h"
#include "configure/driver_pages.h"
#include "configure/sheet.h"
#include "diagnostics/diagnostics.h"
#include "host/library.h"
#include "host/state.h"

namespace kelvane::configure {

namespace {

constexpr const char* kModuleName = "libkelvane-ui.so";

std::atomic<const UiModule*> g_testUi{nullptr};

std::string Utf8(const char16_t* text) {
  std::string out;
  for (; text && *text; ++text) {
    uint32_t c = *text;
    if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(*++text) - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The directory the library was loaded from (with the exports compiled into
// a program: the program's).
std::string OwnDirectory() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&LoadUi), &info) || !info.dli_fname) return ".";
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// While a user interface runs, the driver's property frames are shown by it.
class FrameScope {
 public:
  explicit FrameScope(const UiModule& ui) {
    previous_ = platform::SetPropertyFrameHandler([&ui](void* owner, int32_t, int32_t, const char16_t* caption,
                                                        platform::ULONG objectCount, platform::IUnknown** objects,
                                                        platform::ULONG pageCount, const platform::CLSID* pages) {
      if (objectCount < 1 || !objects || !objects[0]) return platform::E_POINTER;
      auto made = MakeDriverPages(objects[0], pages, pageCount);
      std::vector<DriverPage*> shown;
      shown.reserve(made.size());
      for (auto& page : made) shown.push_back(page.get());
      if (shown.empty()) return platform::S_OK;
      ui.RunPropertyFrame(owner, Utf8(caption), shown);
      return platform::S_OK;
    });
  }
  ~FrameScope() { platform::SetPropertyFrameHandler(std::move(previous_)); }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  platform::PropertyFrameHandler previous_;
};

// The module when it can show a window now, else null and why not.
const UiModule* UsableUi(std::string* reason) {
  if (const UiModule* ui = g_testUi.load(std::memory_order_acquire)) return ui;
  // A host (or a command-line tool) that wants the capability report as text.
  if (const char* off = std::getenv("KELVANE_UI"); off && std::string_view(off) == "0") {
    *reason = "switched off by KELVANE_UI=0";
    return nullptr;
  }
  const UiModule* ui = LoadUi(reason);
  if (!ui) return nullptr;
  *reason = ui->CannotShow();
  return reason->empty() ? ui : nullptr;
}

}  // namespace

const UiModule* LoadUi(std::string* reason) {
  static std::mutex mutex;
  static const UiModule* module = nullptr;
  static std::string failure;
  std::lock_guard lock(mutex);
  if (module || !failure.empty()) {
    *reason = failure;
    return module;
  }
#ifdef KELVANE_NO_UI
  failure = "this library was built without its user-interface module";
  *reason = failure;
  return nullptr;
#endif
  const std::string path = OwnDirectory() + "/" + kModuleName;
  // Never unloaded: the toolkit keeps state that must outlive every dialog.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* error = dlerror();
    failure = std::string("the user-interface module ") + path + " cannot be loaded: " + (error ? error : "unknown");
  } else if (auto entry = reinterpret_cast<UiEntry>(dlsym(handle, kUiEntryName)); !entry) {
    failure = path + " is not this library's user-interface module";
  } else if (const UiModule* ui = entry(); !ui || ui->version != kUiBridgeVersion) {
    failure = path + " is from another build of the library";
  } else {
    module = ui;
  }
  *reason = failure;
  return module;
}

void SetUiForTesting(const UiModule* ui) { g_testUi.store(ui, std::memory_order_release); }

}  // namespace kelvane::configure

namespace kelvane::host {

using configure::UiModule;

int32_t Configure() {
  std::string reason;
  if (const UiModule* ui = configure::UsableUi(&reason)) {
    configure::FrameScope frames(*ui);
    configure::Dialog dialog;
    try {
      ui->RunDialog(dialog);
    } catch (const std::exception& e) {
      DebugPrint("Config dialog exception - %s\n", e.what());
    } catch (...) {
      DebugPrint("Config dialog exception - %s\n", "unknown");
    }
    return 0;
  }
  HostState& s = State();
  const uint32_t count = s.CameraCount.load(std::memory_order_acquire);
  DebugPrint("configure: no configuration dialog (%s); %u camera(s)\r\n", reason.c_str(), count);
  for (uint32_t i = 0; i < count; ++i) {
    bool open;
    {
      MutexLock lock(s.TableMutex);
      open = s.CameraTable[i].PortCount > 0;
    }
    DebugPrint("%u: %s%s\r\n", i, s.CameraTable[i].ConfigName, open ? " (open)" : "");
  }
  return 0;
}

int32_t ConfigureCamera(const char* cameraName) {
  const int index = FindCamera(cameraName);
  if (index < 0) {
    DebugPrint("configureCamera: no camera is named \"%s\"\r\n", cameraName ? cameraName : "(null)");
    return 1;
  }
  std::string reason;
  if (const UiModule* ui = configure::UsableUi(&reason)) {
    configure::FrameScope frames(*ui);
    configure::Sheet sheet(index, cameraName);
    try {
      ui->RunSheet(sheet);
    } catch (...) {
      DebugPrint("Config property sheet exception - %s\n", cameraName);
    }
    sheet.Save();  // whichever button closed it, and also after an exception
    return 0;
  }
  DebugPrint("configureCamera: no property sheet (%s); the capability report of %s follows\r\n", reason.c_str(),
             cameraName);
  CameraRecord& camera = State().CameraTable[static_cast<size_t>(index)];
  frames::GateHold hold(camera.Gate);
  AdoptPendingSettings(camera);
  capture::DumpCameraCapabilities(camera);
  return 0;
}

}  // namespace kelvane::host
