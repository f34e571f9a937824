// kelvane-grab: a small host that drives the grabber library the way a real
// host does — it loads it with dlopen by path and uses only its 19 exports —
// and writes the images it grabs as PNG files.
#include <dlfcn.h>
#include <png.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvane/grabber.h"

namespace {

struct Api {
  decltype(&::initialize) initialize = nullptr;
  decltype(&::setDebugMsgProc) setDebugMsgProc = nullptr;
  decltype(&::getCVLNoOfSupportedCameras) getCVLNoOfSupportedCameras = nullptr;
  decltype(&::getCVLCameraConfigNames) getCVLCameraConfigNames = nullptr;
  decltype(&::openCVLPort) openCVLPort = nullptr;
  decltype(&::closeCVLPort) closeCVLPort = nullptr;
  decltype(&::doCVLGrab) doCVLGrab = nullptr;
  decltype(&::getCVLGrabRow) getCVLGrabRow = nullptr;
  decltype(&::setCompleteCallback) setCompleteCallback = nullptr;
  decltype(&::getProperty) getProperty = nullptr;
  decltype(&::setProperty) setProperty = nullptr;
  decltype(&::getPropertyRange) getPropertyRange = nullptr;
  decltype(&::configureCamera) configureCamera = nullptr;
};

template <class T>
bool Resolve(void* library, const char* name, T& out) {
  out = reinterpret_cast<T>(dlsym(library, name));
  if (!out) std::fprintf(stderr, "kelvane-grab: %s missing from the library\n", name);
  return out != nullptr;
}

bool Load(void* library, Api& api) {
  return Resolve(library, "initialize", api.initialize) && Resolve(library, "setDebugMsgProc", api.setDebugMsgProc) &&
         Resolve(library, "getCVLNoOfSupportedCameras", api.getCVLNoOfSupportedCameras) &&
         Resolve(library, "getCVLCameraConfigNames", api.getCVLCameraConfigNames) &&
         Resolve(library, "openCVLPort", api.openCVLPort) && Resolve(library, "closeCVLPort", api.closeCVLPort) &&
         Resolve(library, "doCVLGrab", api.doCVLGrab) && Resolve(library, "getCVLGrabRow", api.getCVLGrabRow) &&
         Resolve(library, "setCompleteCallback", api.setCompleteCallback) &&
         Resolve(library, "getProperty", api.getProperty) && Resolve(library, "setProperty", api.setProperty) &&
         Resolve(library, "getPropertyRange", api.getPropertyRange) &&
         Resolve(library, "configureCamera", api.configureCamera);
}

int32_t PrintMessage(const char* message) {
  std::fputs(message, stderr);
  return 0;
}

// Completions arrive on the library's streaming thread.
std::mutex g_mutex;
std::condition_variable g_done;
int g_completed = 0;

int32_t OnComplete(int32_t, int32_t) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_completed;
  }
  g_done.notify_all();
  return 0;
}

bool WaitForCompletions(int count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return g_completed >= count; });
}

const char* const kPropertyNames[] = {"Brightness", "Exposure", "Sharpness", "Contrast", "Hue", "Saturation",
                                      "UB", "VR", "WhiteBalance", "Gamma", "Shutter", "Gain", "Iris", "Focus",
                                      "Temperature", "Trigger", "Zoom", "Pan", "Tilt", "Roll", "OpticalFilter",
                                      "ColorEnable", "BacklightCompensation"};

bool WritePng(const std::string& path, const std::vector<uint8_t>& rows, int width, int height, int bytesPerPixel) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               bytesPerPixel == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (bytesPerPixel == 3) png_set_bgr(png);  // the library delivers blue, green, red
  const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
  for (int y = 0; y < height; ++y)
    png_write_row(png, const_cast<png_bytep>(rows.data() + static_cast<size_t>(y) * rowBytes));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

// The settings file's text form of a media subtype, by its short name.
std::string SubtypeText(const std::string& name) {
  if (name == "RGB8") return "{E436EB7A-524F-11CE-9F53-0020AF0BA770}";
  if (name == "RGB24") return "{E436EB7D-524F-11CE-9F53-0020AF0BA770}";
  if (name == "RGB32") return "{E436EB7E-524F-11CE-9F53-0020AF0BA770}";
  if (name == "MO16") return "{36316F4D-FB2A-11D3-9B34-00104B310C3D}";
  std::string cc = name == "RAW16" ? "RAW1" : name;
  if (cc.size() != 4) return "";
  char text[64];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-0000-0010-8000-00AA00389B71}", static_cast<unsigned char>(cc[3]),
                static_cast<unsigned char>(cc[2]), static_cast<unsigned char>(cc[1]), static_cast<unsigned char>(cc[0]));
  return text;
}

// Sets keys of one section of the settings file, keeping everything else. The
// library reads the file again when it opens the camera.
bool WriteSettings(const std::string& path, const std::string& section,
                   const std::vector<std::pair<std::string, std::string>>& keys) {
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
  }
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  // The library names a section after the camera with brackets made underscores.
  std::string header = "[" + section + "]";
  for (size_t i = 1; i + 1 < header.size(); ++i)
    if (header[i] == '[' || header[i] == ']') header[i] = '_';
  size_t start = lines.size(), end = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lower(lines[i]) == lower(header)) {
      start = i;
      end = i + 1;
      while (end < lines.size() && (lines[end].empty() || lines[end][0] != '[')) ++end;
      break;
    }
  }
  if (start == lines.size()) {
    lines.push_back(header);
    start = lines.size() - 1;
    end = lines.size();
  }
  for (const auto& [key, value] : keys) {
    bool done = false;
    for (size_t i = start + 1; i < end && !done; ++i) {
      auto eq = lines[i].find('=');
      if (eq != std::string::npos && lower(lines[i].substr(0, eq)) == lower(key)) {
        lines[i] = key + "=" + value;
        done = true;
      }
    }
    if (!done) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(end), key + "=" + value);
      ++end;
    }
  }
  std::ofstream out(path, std::ios::trunc);
  for (const auto& line : lines) out << line << "\n";
  return static_cast<bool>(out);
}

void Usage() {
  std::fprintf(stderr,
               "usage: kelvane-grab [options]\n"
               "  --library PATH     the grabber library (default: the one built beside this tool)\n"
               "  --settings DIR     directory of the settings file Kelvane.ini (default: .)\n"
               "  --list             list the cameras and exit\n"
               "  --configure        show the camera configuration dialog and exit\n"
               "  --configure-camera NAME  show the property sheet of camera NAME and exit\n"
               "  --camera NAME|N    camera by name or index (default: 0)\n"
               "  --count N          images to grab (default: 3)\n"
               "  --callback         asynchronous grabs with a completion callback\n"
               "  --continuous       continuous mode (\"Continous\" 1) with the callback\n"
               "  --format SUBTYPE   stream format to select (YUY2, UYVY, Y411, Y444, I420, Y800, RGB24, RAW8,\n"
               "                     MO16, ...), written to the camera's section of the settings file\n"
               "  --color / --grey   colour or grey images (\"Color\" in the settings file, default colour)\n"
               "  --bayer N          Bayer pattern code 1..4 of raw formats (\"RawMode\"), --algorithm N 0..4\n"
               "  --set NAME=VALUE   set a property, library setting or register (0x...) first; repeatable\n"
               "  --properties       list the camera's properties with ranges and values\n"
               "  --report           print the camera's capability report\n"
               "  --out PREFIX       PNG file prefix (default: kelvane-); --no-png to write none\n"
               "The simulated bus is $KELVANE_SIM_BUS (a JSON bus description) or the built-in default bus.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string libraryPath = KELVANE_DEFAULT_LIBRARY;
  std::string settingsDir = ".";  // where Kelvane.ini is read and written
  std::string cameraArg = "0";
  std::string prefix = "kelvane-";
  int count = 3;
  bool list = false, callback = false, continuous = false, properties = false, report = false, png = true;
  int depth = 24;
  std::string format;
  int bayer = -1, algorithm = -1;
  std::vector<std::pair<std::string, int32_t>> sets;
  std::optional<std::string> configureName;  // "": the dialog; a name: that camera's sheet
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* value = nullptr;
    if (arg == "--library" && (value = next())) libraryPath = value;
    else if (arg == "--settings" && (value = next())) settingsDir = value;
    else if (arg == "--camera" && (value = next())) cameraArg = value;
    else if (arg == "--count" && (value = next())) count = std::atoi(value);
    else if (arg == "--out" && (value = next())) prefix = value;
    else if (arg == "--format" && (value = next())) format = value;
    else if (arg == "--bayer" && (value = next())) bayer = std::atoi(value);
    else if (arg == "--algorithm" && (value = next())) algorithm = std::atoi(value);
    else if (arg == "--set" && (value = next())) {
      std::string s = value;
      auto eq = s.find('=');
      if (eq == std::string::npos) {
        Usage();
        return 2;
      }
      sets.emplace_back(s.substr(0, eq), static_cast<int32_t>(std::strtol(s.c_str() + eq + 1, nullptr, 0)));
    } else if (arg == "--list") list = true;
    else if (arg == "--configure") configureName = "";
    else if (arg == "--configure-camera" && (value = next())) configureName = value;
    else if (arg == "--callback") callback = true;
    else if (arg == "--continuous") continuous = callback = true;
    else if (arg == "--color") depth = 24;
    else if (arg == "--grey" || arg == "--gray") depth = 8;
    else if (arg == "--properties") properties = true;
    else if (arg == "--report") report = true;
    else if (arg == "--no-png") png = false;
    else {
      Usage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "kelvane-grab: cannot load %s: %s\n", libraryPath.c_str(), dlerror());
    return 1;
  }
  Api api;
  if (!Load(library, api)) return 1;

  api.setDebugMsgProc(PrintMessage);  // first, so that the start-up messages show too
  api.initialize(settingsDir.c_str(), PrintMessage);
  const int32_t cameras = api.getCVLNoOfSupportedCameras();
  char** names = api.getCVLCameraConfigNames();
  std::printf("%d camera(s)\n", cameras);
  for (int i = 0; names && names[i]; ++i) std::printf("  %d: %s\n", i, names[i]);
  if (list) return 0;
  if (configureName) {  // the library says through the messages why it shows no window
    if (configureName->empty()) return reinterpret_cast<decltype(&::configure)>(dlsym(library, "configure"))();
    return api.configureCamera(0, configureName->c_str()) == 0 ? 0 : 1;
  }
  if (cameras == 0) return 1;

  std::string name = cameraArg;
  char* end = nullptr;
  long index = std::strtol(cameraArg.c_str(), &end, 10);
  if (end && *end == '\0' && index >= 0 && index < cameras) name = names[index];

  std::vector<std::pair<std::string, std::string>> keys = {{"Color", depth == 24 ? "1" : "0"}};
  if (!format.empty()) {
    std::string text = SubtypeText(format);
    if (text.empty()) {
      std::fprintf(stderr, "kelvane-grab: unknown format %s\n", format.c_str());
      return 2;
    }
    keys.emplace_back("SubType", text);
  }
  if (bayer >= 0) keys.emplace_back("RawMode", std::to_string(bayer));
  if (algorithm >= 0) keys.emplace_back("Algorithm", std::to_string(algorithm));
  const std::string settingsFile = (settingsDir.empty() ? "" : settingsDir + "/") + "Kelvane.ini";
  if (!WriteSettings(settingsFile, name, keys))
    std::fprintf(stderr, "kelvane-grab: cannot write %s\n", settingsFile.c_str());

  if (report) api.configureCamera(0, name.c_str());  // without a dialog, the library prints the report

  const int32_t port = 0;
  int32_t size[2] = {0, 0};
  if (!api.openCVLPort(0, port, name.c_str(), size)) {
    std::fprintf(stderr, "kelvane-grab: cannot open %s\n", name.c_str());
    return 1;
  }
  std::printf("opened %s: %d x %d\n", name.c_str(), size[0], size[1]);
  for (const auto& [key, v] : sets)
    std::printf("set %s=%d: %s\n", key.c_str(), v, api.setProperty(0, port, key.c_str(), v) ? "ok" : "failed");
  if (properties) {
    for (const char* p : kPropertyNames) {
      int32_t lo = 0, hi = 0, v = 0, flags = 0;
      bool ranged = api.getPropertyRange(0, port, p, &lo, &hi);
      bool read = api.getProperty(0, port, p, &v);
      std::string flagName = std::string(p) + ".flags";
      api.getProperty(0, port, flagName.c_str(), &flags);
      if (ranged && read)
        std::printf("  %-22s %6d  range %d..%d  flags 0x%x\n", p, v, lo, hi, static_cast<unsigned>(flags));
      else
        std::printf("  %-22s (not available)\n", p);
    }
  }

  int32_t pixelBits = 8;
  api.getProperty(0, port, "PixelSize", &pixelBits);
  const int bytesPerPixel = pixelBits / 8;
  std::vector<uint8_t> image(static_cast<size_t>(size[0]) * static_cast<size_t>(size[1]) *
                             static_cast<size_t>(bytesPerPixel));

  if (callback) api.setCompleteCallback(0, port, OnComplete);
  if (continuous) api.setProperty(0, port, "Continous", 1);
  const auto start = std::chrono::steady_clock::now();
  int grabbed = 0;
  for (int n = 0; n < count; ++n) {
    bool ok;
    if (continuous) {
      ok = WaitForCompletions(n + 1, 5000);
    } else {
      ok = api.doCVLGrab(0, port) != 0;
      if (ok && callback) ok = WaitForCompletions(n + 1, 5000);
    }
    if (!ok) {
      std::fprintf(stderr, "kelvane-grab: grab %d failed\n", n + 1);
      continue;
    }
    ++grabbed;
    // Row by row, top row first, as most hosts read.
    const size_t rowBytes = static_cast<size_t>(size[0]) * static_cast<size_t>(bytesPerPixel);
    for (int y = 0; y < size[1]; ++y) api.getCVLGrabRow(0, port, image.data() + y * rowBytes, y, 0, size[0] - 1);
    std::string path = prefix + std::to_string(n + 1) + ".png";
    if (png && !WritePng(path, image, size[0], size[1], bytesPerPixel))
      std::fprintf(stderr, "kelvane-grab: cannot write %s\n", path.c_str());
    std::printf("\rgrab %d/%d%s%s", n + 1, count, png ? " -> " : "", png ? path.c_str() : "");
    std::fflush(stdout);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("\n%d image(s) in %.3f s: %.1f frames/s, %.2f ms per grab\n", grabbed, seconds,
              seconds > 0 ? grabbed / seconds : 0.0, grabbed ? 1000.0 * seconds / grabbed : 0.0);
  if (continuous) api.setProperty(0, port, "Continous", 0);
  api.setCompleteCallback(0, port, nullptr);
  api.closeCVLPort(0, port);
  return grabbed == count ? 0 : 1;
}
