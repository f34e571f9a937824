// kelvane-grab: a command-line host that drives the grabber library the way a
// real host does (it loads it with dlopen by path and uses only its 19
// exports) and writes the images it grabs as PNG files. The camera's format,
// size, rate, colour and properties go into the settings file through the
// library's own settings engine (one locked, atomic write) before the camera
// opens.
#include <dlfcn.h>
#include <png.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelvane/grabber.h"
#include "platform/framework/framework.h"
#include "settings/camera_settings.h"

namespace {

// Exit codes: every image asked for grabbed and written; some image not
// grabbed or not written; the command line is wrong; the camera, a setting or
// the library cannot be used as asked.
constexpr int kExitOk = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnusable = 3;

struct Api {
  kelvane_initialize_fn initialize = nullptr;
  kelvane_setDebugMsgProc_fn setDebugMsgProc = nullptr;
  kelvane_getCVLNoOfSupportedCameras_fn getCVLNoOfSupportedCameras = nullptr;
  kelvane_getCVLCameraConfigNames_fn getCVLCameraConfigNames = nullptr;
  kelvane_openCVLPort_fn openCVLPort = nullptr;
  kelvane_closeCVLPort_fn closeCVLPort = nullptr;
  kelvane_doCVLGrab_fn doCVLGrab = nullptr;
  kelvane_getCVLGrabRow_fn getCVLGrabRow = nullptr;
  kelvane_setCompleteCallback_fn setCompleteCallback = nullptr;
  kelvane_getProperty_fn getProperty = nullptr;
  kelvane_setProperty_fn setProperty = nullptr;
  kelvane_getPropertyRange_fn getPropertyRange = nullptr;
  kelvane_configureCamera_fn configureCamera = nullptr;
};
Api api;

template <class T>
bool Resolve(void* library, const char* name, T& out, std::string& missing) {
  out = reinterpret_cast<T>(dlsym(library, name));
  if (!out) missing += std::string(missing.empty() ? "" : ", ") + name;
  return out != nullptr;
}

std::string Load(void* library) {
  std::string missing;
  Resolve(library, "initialize", api.initialize, missing);
  Resolve(library, "setDebugMsgProc", api.setDebugMsgProc, missing);
  Resolve(library, "getCVLNoOfSupportedCameras", api.getCVLNoOfSupportedCameras, missing);
  Resolve(library, "getCVLCameraConfigNames", api.getCVLCameraConfigNames, missing);
  Resolve(library, "openCVLPort", api.openCVLPort, missing);
  Resolve(library, "closeCVLPort", api.closeCVLPort, missing);
  Resolve(library, "doCVLGrab", api.doCVLGrab, missing);
  Resolve(library, "getCVLGrabRow", api.getCVLGrabRow, missing);
  Resolve(library, "setCompleteCallback", api.setCompleteCallback, missing);
  Resolve(library, "getProperty", api.getProperty, missing);
  Resolve(library, "setProperty", api.setProperty, missing);
  Resolve(library, "getPropertyRange", api.getPropertyRange, missing);
  Resolve(library, "configureCamera", api.configureCamera, missing);
  return missing;
}

// The library's messages: kept (the last ones) so that a failure can say what
// the library said about it, and shown as they come with --verbose. They
// arrive on the calling thread and on streaming threads.
std::mutex g_messageMutex;
std::vector<std::string> g_messages;
size_t g_messagesDropped = 0;  // lines no longer kept before g_messages[0]
bool g_verbose = false;
constexpr size_t kKeptMessages = 4096;

int32_t CollectMessage(const char* message) {
  std::string line = message ? message : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(g_messageMutex);
  if (g_verbose) std::fprintf(stderr, "%s\n", line.c_str());
  g_messages.push_back(std::move(line));
  if (g_messages.size() > kKeptMessages) {
    g_messages.erase(g_messages.begin(), g_messages.begin() + kKeptMessages / 2);
    g_messagesDropped += kKeptMessages / 2;
  }
  return 0;
}

// A position in the message stream, and the messages that came after it.
size_t MessageMark() {
  std::lock_guard<std::mutex> lock(g_messageMutex);
  return g_messagesDropped + g_messages.size();
}

std::vector<std::string> MessagesSince(size_t mark) {
  std::lock_guard<std::mutex> lock(g_messageMutex);
  const size_t first = mark > g_messagesDropped ? mark - g_messagesDropped : 0;
  if (first >= g_messages.size()) return {};
  return {g_messages.begin() + static_cast<std::ptrdiff_t>(first), g_messages.end()};
}

// What the library said since mark, as the reason of a failure.
std::string LibraryReason(size_t mark) {
  std::string reason;
  for (const std::string& line : MessagesSince(mark)) {
    // The open and close notes of the camera are no reasons.
    if (line.rfind("OPEN ", 0) == 0 || line.rfind("CLOSE ", 0) == 0 || line.empty()) continue;
    reason += (reason.empty() ? "" : "; ") + line;
  }
  return reason.empty() ? "the library gave no reason (--verbose shows all its messages)" : reason;
}

std::string FpsText(double fps) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", fps);
  return text;
}

int Fail(int code, const std::string& text) {
  std::fprintf(stderr, "kelvane-grab: %s\n", text.c_str());
  return code;
}

// The library beside an installed tool (bin/../lib/libkelvane.so.N), else
// the one of the build tree the tool was built in.
std::string DefaultLibrary() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path installed = self.parent_path() / KELVANE_INSTALLED_LIBRARY;
    if (std::filesystem::exists(installed, error)) return installed.lexically_normal().string();
  }
  return KELVANE_DEFAULT_LIBRARY;
}

// ---- Formats: the capability report's "--- FORMATS for NAME ---" section ----

struct FormatEntry {
  std::string line;  // as the report gives it
  std::string subtype;
  int index = 0;  // position in the camera's list of formats
  int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0, stepX = 1, stepY = 1;
  double minFps = 0, maxFps = 0;  // 0: not given

  bool Ranged() const { return minWidth != maxWidth || minHeight != maxHeight; }
  bool HasSize(int w, int h) const {
    return w >= minWidth && w <= maxWidth && h >= minHeight && h <= maxHeight && (w - minWidth) % stepX == 0 &&
           (h - minHeight) % stepY == 0;
  }
  bool HasRate(double fps) const { return minFps <= 0 || (fps >= minFps - 0.005 && fps <= maxFps + 0.005); }
  std::string Sizes() const {
    std::string text = std::to_string(minWidth) + "x" + std::to_string(minHeight);
    if (Ranged())
      text += " to " + std::to_string(maxWidth) + "x" + std::to_string(maxHeight) + " in steps of " +
              std::to_string(stepX) + "x" + std::to_string(stepY);
    return text;
  }
};

struct Capabilities {
  bool found = false;       // the report had a FORMATS section
  bool vendorPath = false;  // rates are the driver's codes (the camera offers FiVideoFormatConfig)
  std::vector<std::string> report;
  std::vector<FormatEntry> formats;
};

bool ParseSize(const std::string& text, int& w, int& h) {
  char x = 0, extra = 0;
  return std::sscanf(text.c_str(), "%d%c%d%c", &w, &x, &h, &extra) == 3 && (x == 'x' || x == 'X') && w > 0 && h > 0;
}

FormatEntry ParseFormatLine(const std::string& line, int index) {
  FormatEntry entry;
  entry.line = line;
  entry.index = index;
  const size_t space = line.find(' ');
  entry.subtype = line.substr(0, space);
  std::string rest = space == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', space));
  std::string rates;
  if (const size_t comma = rest.rfind(", "); comma != std::string::npos) {
    rates = rest.substr(comma + 2);
    rest = rest.substr(0, comma);
  } else if (rest.size() > 4 && rest.compare(rest.size() - 4, 4, " fps") == 0) {
    rates = rest;
    rest.clear();
  }
  if (!rest.empty()) {
    int w0 = 0, h0 = 0, w1 = 0, h1 = 0, sx = 1, sy = 1;
    if (std::sscanf(rest.c_str(), "%dx%d to %dx%d in steps of %dx%d", &w0, &h0, &w1, &h1, &sx, &sy) == 6) {
      entry.minWidth = w0, entry.minHeight = h0, entry.maxWidth = w1, entry.maxHeight = h1;
      entry.stepX = std::max(sx, 1), entry.stepY = std::max(sy, 1);
    } else if (std::sscanf(rest.c_str(), "%dx%d", &w0, &h0) == 2) {
      entry.minWidth = entry.maxWidth = w0;
      entry.minHeight = entry.maxHeight = h0;
    }
  }
  double f0 = 0, f1 = 0;
  if (std::sscanf(rates.c_str(), "%lf to %lf fps", &f0, &f1) == 2) {
    entry.minFps = f0, entry.maxFps = f1;
  } else if (std::sscanf(rates.c_str(), "%lf fps", &f0) == 1) {
    entry.minFps = entry.maxFps = f0;
  }
  return entry;
}

// The capability report of a camera. Without a dialog to show, configureCamera
// sends it through the message sink; it opens the camera for that.
Capabilities ReadCapabilities(const std::string& camera) {
  Capabilities caps;
  const size_t mark = MessageMark();
  api.configureCamera(0, camera.c_str());
  caps.report = MessagesSince(mark);
  const std::string header = "--- FORMATS for " + camera + " ---";
  bool inFormats = false;
  for (const std::string& line : caps.report) {
    if (line.rfind("FiVideoFormatConfig ", 0) == 0) caps.vendorPath = line.find("S_OK") != std::string::npos;
    if (line == header) {
      caps.found = inFormats = true;
      continue;
    }
    if (line.rfind("--- ", 0) == 0) inFormats = false;
    if (inFormats && !line.empty())
      caps.formats.push_back(ParseFormatLine(line, static_cast<int>(caps.formats.size())));
  }
  return caps;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string SubtypeList(const Capabilities& caps) {
  std::vector<std::string> names;
  for (const FormatEntry& f : caps.formats)
    if (std::find(names.begin(), names.end(), f.subtype) == names.end()) names.push_back(f.subtype);
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text.empty() ? "none" : text;
}

// ---- Properties ----

const char* const kPropertyNames[] = {KELVANE_PROPERTY_NAMES};
const char* const kLibrarySettings[] = {"PixelSize", "LUT", "DropCnt", "Continous", "HWTrigger"};

bool SameText(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// A camera property's own spelling, or nullptr for another name.
const char* PropertyNamed(const std::string& name) {
  for (const char* p : kPropertyNames)
    if (SameText(name, p)) return p;
  return nullptr;
}

struct Assignment {
  std::string name;  // as the library spells it
  int32_t value = 0;
  enum class Kind { Property, Flags, Library, Register } kind = Kind::Property;
};

// ---- PNG files, written on a thread of their own ----

std::string g_pngError;
void OnPngError(png_structp png, png_const_charp message) {
  g_pngError = message ? message : "libpng error";
  png_longjmp(png, 1);
}

// Writes one image; returns the reason when it cannot.
std::optional<std::string> WritePng(const std::string& path, const std::vector<uint8_t>& rows, int width, int height,
                                    int bytesPerPixel) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return std::string(std::strerror(errno));
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return g_pngError.empty() ? std::string("libpng failed") : g_pngError;
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
  if (std::fflush(file) != 0 || std::ferror(file)) {
    const int error = errno;
    std::fclose(file);
    return std::string(std::strerror(error));
  }
  if (std::fclose(file) != 0) return std::string(std::strerror(errno));
  return std::nullopt;
}

struct Image {
  int number = 0;  // 1-based
  std::vector<uint8_t> pixels;
};

// Images waiting to be written, at most kQueued of them: a grab that finds the
// queue full waits (synchronous modes) or its image is dropped (continuous).
class Writer {
 public:
  static constexpr size_t kQueued = 16;
  Writer(std::string prefix, int width, int height, int bytesPerPixel, bool enabled)
      : prefix_(std::move(prefix)), width_(width), height_(height), bpp_(bytesPerPixel), enabled_(enabled) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Writer() { Finish(); }

  std::string PathOf(int number) const { return prefix_ + std::to_string(number) + ".png"; }

  // Waits for room; false when the writer stopped.
  void Push(Image image) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < kQueued; });
    queue_.push_back(std::move(image));
    work_.notify_one();
  }
  bool TryPush(Image& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kQueued) return false;
    queue_.push_back(std::move(image));
    work_.notify_one();
    return true;
  }
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  const std::vector<int>& Written() const { return written_; }
  const std::vector<std::string>& Failures() const { return failures_; }

 private:
  void Run() {
    for (;;) {
      Image image;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [&] { return done_ || !queue_.empty(); });
        if (queue_.empty()) return;
        image = std::move(queue_.front());
        queue_.pop_front();
      }
      room_.notify_one();
      if (!enabled_) continue;
      const std::string path = PathOf(image.number);
      if (auto error = WritePng(path, image.pixels, width_, height_, bpp_))
        failures_.push_back("cannot write " + path + ": " + *error);
      else
        written_.push_back(image.number);
    }
  }

  std::string prefix_;
  int width_, height_, bpp_;
  bool enabled_;
  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::deque<Image> queue_;
  bool done_ = false;
  std::vector<int> written_;  // numbers of the images written
  std::vector<std::string> failures_;
  std::thread thread_;
};

// ---- Grabbing ----

constexpr int32_t kGrabber = 0;
constexpr int32_t kPort = 0;
int g_width = 0, g_height = 0, g_bytesPerPixel = 1;

bool CopyImage(std::vector<uint8_t>& pixels) {
  // Row by row, top row first, as most hosts read.
  const size_t rowBytes = static_cast<size_t>(g_width) * static_cast<size_t>(g_bytesPerPixel);
  pixels.resize(rowBytes * static_cast<size_t>(g_height));
  for (int y = 0; y < g_height; ++y)
    if (!api.getCVLGrabRow(kGrabber, kPort, pixels.data() + static_cast<size_t>(y) * rowBytes, y, 0, g_width - 1))
      return false;
  return true;
}

// Completions arrive on the library's streaming thread. In continuous mode
// the callback copies the image there (the library allows reading rows from
// the callback), so no finished image is missed while the tool waits.
std::mutex g_mutex;
std::condition_variable g_done;
int g_completed = 0;
bool g_continuous = false;
int g_wanted = 0;
int g_taken = 0, g_dropped = 0;
Writer* g_writer = nullptr;

int32_t OnComplete(int32_t, int32_t) {
  if (g_continuous) {
    std::unique_lock<std::mutex> lock(g_mutex);
    if (g_taken >= g_wanted) return 0;
    lock.unlock();
    Image image;
    const bool copied = CopyImage(image.pixels);
    lock.lock();
    if (copied) {
      image.number = g_taken + 1;
      if (g_writer->TryPush(image))
        ++g_taken;
      else
        ++g_dropped;  // the writer is behind: this image is not kept
    } else {
      ++g_dropped;
    }
  } else {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_completed;
  }
  g_done.notify_all();
  return 0;
}

class Progress {
 public:
  explicit Progress(int count) : count_(count), live_(isatty(STDOUT_FILENO) != 0) {}
  void Show(int images, double seconds, int dropped, bool last) {
    if (!live_ && !last) return;
    std::printf("%simages %d/%d, %.1f fps, %d dropped%s", live_ ? "\r" : "", images, count_,
                seconds > 0 ? images / seconds : 0.0, dropped, last ? "\n" : "");
    std::fflush(stdout);
  }

 private:
  int count_;
  bool live_;
};

// ---- Settings: a directory the user names, or one for this run only ----

class SettingsDirectory {
 public:
  explicit SettingsDirectory(const std::string& named) : path_(named) {
    if (!path_.empty()) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-grab-XXXXXX").string();
    if (::mkdtemp(pattern.data())) {
      path_ = pattern;
      temporary_ = true;
    }
  }
  ~SettingsDirectory() {
    std::error_code error;
    if (temporary_) std::filesystem::remove_all(path_, error);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool temporary_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Grabs images from a camera through the Kelvane library and writes them as PNG files.", "kelvane-grab"};
  app.set_help_flag("-h,--help", "Show this help and exit");
  app.set_version_flag("--version", std::string("kelvane-grab ") + KELVANE_VERSION_STRING);
  std::string libraryPath = DefaultLibrary();
  std::string settingsArg, cameraArg = "0", prefix = "kelvane-", formatsCamera, format, sizeArg;
  int count = 3, bayer = -1, algorithm = -1;
  double rate = 0;
  bool list = false, callback = false, continuous = false, properties = false, report = false, noPng = false,
       grey = false, colour = false;
  std::vector<std::string> sets;
  app.add_option("--library", libraryPath, "The grabber library to load")->capture_default_str();
  app.add_option("--settings", settingsArg,
                 "Directory of the settings file Kelvane.ini: the choices below are kept there for later runs. "
                 "Without it they hold for this run only and no file is left behind")
      ->check(CLI::ExistingDirectory);
  app.add_flag("--list", list, "List the cameras and exit");
  app.add_option("--formats", formatsCamera, "Show the formats of CAMERA (name or index) with sizes and rates")
      ->type_name("CAMERA");
  app.add_option("--camera", cameraArg, "Camera by name or index")->capture_default_str()->type_name("NAME|N");
  app.add_option("--count", count, "Images to grab")->capture_default_str();
  auto* callbackFlag = app.add_flag("--callback", callback, "Asynchronous grabs with a completion callback");
  app.add_flag("--continuous", continuous, "Continuous mode: the camera runs and every finished image is taken")
      ->excludes(callbackFlag);
  app.add_option("--format", format, "Stream format (subtype, e.g. YUY2, Y800, RAW8; --formats lists them)")
      ->type_name("SUBTYPE");
  app.add_option("--size", sizeArg, "Image size of the format")->type_name("WxH");
  app.add_option("--rate", rate, "Frame rate of the format, frames per second")->check(CLI::PositiveNumber);
  auto* colourFlag = app.add_flag("--color,--colour", colour, "24-bit colour images (the default)");
  app.add_flag("--grey,--gray", grey, "8-bit grey images")->excludes(colourFlag);
  app.add_option("--bayer", bayer, "Bayer pattern 1..4 of raw formats (RawMode)")->check(CLI::Range(0, 4));
  app.add_option("--algorithm", algorithm, "Demosaicing algorithm 0..4")->check(CLI::Range(0, 4));
  app.add_option("--set", sets,
                 "Set a camera property (Gain=20, Gain.flags=2), a library setting (LUT=1) or a register "
                 "(0xF0F00830=0) before grabbing; repeatable")
      ->type_name("NAME=VALUE");
  app.add_flag("--properties", properties, "List the camera's properties with ranges and values");
  app.add_flag("--report", report, "Print the camera's capability report");
  bool configureDialog = false;
  std::string configureCamera;
  app.add_flag("--configure", configureDialog, "Show the camera configuration dialog and exit");
  app.add_option("--configure-camera", configureCamera, "Show the property sheet of CAMERA (name or index) and exit")
      ->type_name("CAMERA");
  app.add_option("--out", prefix, "PNG file prefix: images are PREFIX1.png, PREFIX2.png, ...")
      ->capture_default_str()
      ->type_name("PREFIX");
  app.add_flag("--no-png", noPng, "Write no PNG files");
  app.add_flag("-v,--verbose", g_verbose, "Show the library's messages");
  app.footer(
      "Exit status: 0 every image grabbed and written; 1 an image not grabbed or not written; 2 a wrong command "
      "line; 3 the library, camera or a setting cannot be used as asked. Each failure says why on stderr.\n"
      "The library uses the simulated bus ($KELVANE_SIM_BUS, a JSON bus description, or the built-in bus) or V4L2 "
      "cameras ($KELVANE_BACKEND=sim|v4l2|auto); --verbose shows which.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);  // help and version on stdout, errors on stderr
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (count < 0) return Fail(kExitUsage, "--count: " + std::to_string(count) + " is negative");
  int sizeW = 0, sizeH = 0;
  if (!sizeArg.empty() && !ParseSize(sizeArg, sizeW, sizeH))
    return Fail(kExitUsage, "--size: '" + sizeArg + "' is not WIDTHxHEIGHT");
  if ((!sizeArg.empty() || rate > 0) && format.empty())
    return Fail(kExitUsage, "--size and --rate choose among the sizes and rates of a --format");
  std::vector<Assignment> assignments;
  for (const std::string& set : sets) {
    const size_t eq = set.find('=');
    if (eq == std::string::npos || eq == 0) return Fail(kExitUsage, "--set: '" + set + "' is not NAME=VALUE");
    Assignment a;
    a.name = set.substr(0, eq);
    const std::string valueText = set.substr(eq + 1);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(valueText.c_str(), &end, 0);
    if (valueText.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > UINT32_MAX)
      return Fail(kExitUsage, "--set " + a.name + ": '" + valueText + "' is not a 32-bit integer");
    a.value = static_cast<int32_t>(static_cast<uint32_t>(value));
    std::string base = a.name;
    const bool flags = base.size() > 6 && base.compare(base.size() - 6, 6, ".flags") == 0;
    if (flags) base.resize(base.size() - 6);
    if (const char* property = PropertyNamed(base)) {
      a.kind = flags ? Assignment::Kind::Flags : Assignment::Kind::Property;
      a.name = std::string(property) + (flags ? ".flags" : "");
    } else if (!flags && std::any_of(std::begin(kLibrarySettings), std::end(kLibrarySettings),
                                     [&](const char* s) { return SameText(s, a.name); })) {
      a.kind = Assignment::Kind::Library;
    } else if (!flags && a.name.size() > 2 && (a.name.rfind("0x", 0) == 0 || a.name.rfind("0X", 0) == 0) &&
               a.name.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
      a.kind = Assignment::Kind::Register;
    } else {
      std::string known;
      for (const char* p : kPropertyNames) known += std::string(known.empty() ? "" : ", ") + p;
      for (const char* s : kLibrarySettings) known += std::string(", ") + s;
      return Fail(kExitUnusable, "unknown property " + a.name + "; the names are " + known +
                                     " (NAME.flags for a property's flags) and registers 0x...");
    }
    assignments.push_back(a);
  }

  // The capability report is read as text: the library shows no window for
  // it unless a window is what was asked for.
  const bool configuring = configureDialog || !configureCamera.empty();
  if (!configuring) setenv("KELVANE_UI", "0", 1);
  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return Fail(kExitUnusable, "cannot load the library " + libraryPath + ": " + dlerror());
  if (const std::string missing = Load(library); !missing.empty())
    return Fail(kExitUnusable, libraryPath + " is no Kelvane library: it lacks " + missing);
  if (g_verbose) std::fprintf(stderr, "kelvane-grab: library %s\n", libraryPath.c_str());

  const SettingsDirectory settingsDir(settingsArg);
  if (settingsDir.Path().empty()) return Fail(kExitUnusable, "cannot make a settings directory for this run");
  const auto settingsFile = kelvane::settings::BuildSettingsPath(settingsDir.Path());
  if (!settingsFile) return Fail(kExitUsage, "--settings: the path is too long for the library");

  api.setDebugMsgProc(CollectMessage);  // first, so that the start-up messages are kept too
  api.initialize(settingsDir.Path().c_str(), CollectMessage);
  const int32_t cameras = api.getCVLNoOfSupportedCameras();
  char** names = api.getCVLCameraConfigNames();
  std::vector<std::string> cameraNames;
  for (int i = 0; names && names[i] && i < cameras; ++i) cameraNames.emplace_back(names[i]);
  auto cameraList = [&] {
    std::string text;
    for (size_t i = 0; i < cameraNames.size(); ++i) text += (i ? ", " : "") + std::to_string(i) + ": " + cameraNames[i];
    return text;
  };
  if (list) {
    if (cameraNames.empty()) std::printf("no cameras\n");
    for (size_t i = 0; i < cameraNames.size(); ++i) std::printf("%zu: %s\n", i, cameraNames[i].c_str());
    return kExitOk;
  }
  if (cameraNames.empty()) return Fail(kExitUnusable, "no cameras found (" + LibraryReason(0) + ")");

  // A camera by its exact name, else by its index.
  auto resolve = [&](const std::string& arg) -> std::optional<std::string> {
    for (const std::string& n : cameraNames)
      if (n == arg) return n;
    if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos && arg.size() < 9) {
      const size_t index = std::stoul(arg);
      if (index < cameraNames.size()) return cameraNames[index];
    }
    return std::nullopt;
  };
  if (configureDialog) {
    // Without a window to show, the library says why through its messages.
    auto configure = reinterpret_cast<kelvane_configure_fn>(dlsym(library, "configure"));
    const size_t mark = MessageMark();
    configure();
    for (const std::string& line : MessagesSince(mark)) std::fprintf(stderr, "%s\n", line.c_str());
    return kExitOk;
  }
  if (!configureCamera.empty()) {
    const std::optional<std::string> target = resolve(configureCamera);
    if (!target) return Fail(kExitUnusable, "no camera '" + configureCamera + "'; the cameras are " + cameraList());
    const size_t mark = MessageMark();
    const int32_t result = api.configureCamera(0, target->c_str());
    for (const std::string& line : MessagesSince(mark)) std::fprintf(stderr, "%s\n", line.c_str());
    return result == 0 ? kExitOk : kExitUnusable;
  }
  const std::string wanted = formatsCamera.empty() ? cameraArg : formatsCamera;
  const std::optional<std::string> resolved = resolve(wanted);
  if (!resolved) return Fail(kExitUnusable, "no camera '" + wanted + "'; the cameras are " + cameraList());
  const std::string& name = *resolved;

  std::optional<Capabilities> caps;
  if (!formatsCamera.empty() || !format.empty() || report) {
    const size_t mark = MessageMark();
    caps = ReadCapabilities(name);
    if (!caps->found) return Fail(kExitUnusable, "cannot read the formats of " + name + ": " + LibraryReason(mark));
  }
  if (!formatsCamera.empty()) {
    std::printf("Formats of %s (subtype, sizes, frame rates):\n", name.c_str());
    for (const FormatEntry& f : caps->formats) std::printf("  %s\n", f.line.c_str());
    return kExitOk;
  }
  if (report)
    for (const std::string& line : caps->report) std::printf("%s\n", line.c_str());

  // The settings of this run, in one transaction on the camera's section.
  std::vector<kelvane::settings::ProfileEntry> entries;
  entries.push_back({"Color", grey ? "0" : "1"});
  if (!format.empty()) {
    std::vector<const FormatEntry*> matches;
    for (const FormatEntry& f : caps->formats)
      if (SameText(f.subtype, format)) matches.push_back(&f);
    if (matches.empty())
      return Fail(kExitUnusable, name + " has no format " + format + "; it offers " + SubtypeList(*caps) +
                                     " (--formats shows sizes and rates)");
    kelvane::platform::GUID subtype{};
    if (!kelvane::framework::SubtypeFromName(matches.front()->subtype, &subtype))
      return Fail(kExitUnusable, "the library reads no " + matches.front()->subtype + " frames");
    if (sizeW > 0) {
      std::erase_if(matches, [&](const FormatEntry* f) { return !f->HasSize(sizeW, sizeH); });
      if (matches.empty()) {
        std::string sizes;
        for (const FormatEntry& f : caps->formats)
          if (SameText(f.subtype, format)) sizes += (sizes.empty() ? "" : ", ") + f.Sizes();
        return Fail(kExitUnusable, name + " has no " + sizeArg + " in " + Upper(format) + "; its sizes are " + sizes);
      }
    }
    // The frame interval: on the standard path in 100 ns (0: none set), on
    // the vendor path the driver's rate code, 1.875 frames per second doubled
    // per code. The vendor path needs a code for a format of another size than
    // the first of its subtype: without --rate, the format's highest rate.
    if (rate == 0 && caps->vendorPath && sizeW > 0) rate = matches.front()->maxFps;
    int32_t interval = 0;
    if (rate > 0) {
      std::erase_if(matches, [&](const FormatEntry* f) { return !f->HasRate(rate); });
      if (matches.empty())
        return Fail(kExitUnusable, name + " has no " + FpsText(rate) + " fps in " + Upper(format) +
                                       (sizeW ? " at " + sizeArg : "") + " (--formats lists its rates)");
      if (caps->vendorPath) {
        const double code = std::log2(rate / 1.875);
        if (std::fabs(code - std::round(code)) > 0.01 || code < 0 || code > 6)
          return Fail(kExitUnusable, name + " runs at 1.875, 3.75, 7.5, 15, 30, 60 or 120 fps, not " + FpsText(rate));
        interval = static_cast<int32_t>(std::lround(code));
      } else {
        interval = static_cast<int32_t>(std::lround(1e7 / rate));
      }
    }
    const FormatEntry& chosen = *matches.front();
    // A rate needs a size: the chosen entry's own, the largest of a range.
    if (rate > 0 && sizeW == 0) sizeW = chosen.maxWidth, sizeH = chosen.maxHeight;
    entries.push_back({"SubType", kelvane::settings::GuidToText(subtype)});
    entries.push_back({"Left", "0"});
    entries.push_back({"Top", "0"});
    entries.push_back({"Width", std::to_string(sizeW)});
    entries.push_back({"Height", std::to_string(sizeH)});
    entries.push_back({"AvgTimePerFrame", std::to_string(interval)});
    entries.push_back({"DefFmt", std::to_string(chosen.Ranged() && sizeW > 0 ? chosen.index : -1)});
  }
  if (bayer >= 0) entries.push_back({"RawMode", std::to_string(bayer)});
  if (algorithm >= 0) entries.push_back({"Algorithm", std::to_string(algorithm)});
  if (!kelvane::settings::WriteProfileStrings(*settingsFile, kelvane::settings::SettingsSection(name), entries))
    return Fail(kExitUnusable, "cannot write the settings file " + *settingsFile + ": " + std::strerror(errno));
  // Camera properties live under the camera's name as it stands; the library
  // applies them when it opens the camera.
  std::vector<kelvane::settings::ProfileEntry> propertyEntries;
  for (const Assignment& a : assignments)
    if (a.kind == Assignment::Kind::Property || a.kind == Assignment::Kind::Flags)
      propertyEntries.push_back({a.name, std::to_string(a.value)});
  if (!propertyEntries.empty() && !kelvane::settings::WriteProfileStrings(*settingsFile, name, propertyEntries))
    return Fail(kExitUnusable, "cannot write the settings file " + *settingsFile + ": " + std::strerror(errno));

  int32_t size[2] = {0, 0};
  size_t mark = MessageMark();
  if (!api.openCVLPort(kGrabber, kPort, name.c_str(), size))
    return Fail(kExitUnusable, "cannot open " + name + ": " + LibraryReason(mark));
  int status = kExitOk;
  auto close = [&] {
    api.setCompleteCallback(kGrabber, kPort, nullptr);
    api.closeCVLPort(kGrabber, kPort);
  };
  // The library opens a camera that refuses the format with another one and
  // says so ("SetStreamConfig - ..."): here that is a failure.
  if (!format.empty()) {
    for (const std::string& line : MessagesSince(mark))
      if (line.rfind("SetStreamConfig - ", 0) == 0) {
        close();
        return Fail(kExitUnusable, name + " did not take format " + Upper(format) +
                                       (sizeArg.empty() ? "" : " " + sizeArg) +
                                       (rate > 0 ? " at " + FpsText(rate) + " fps" : "") + ": " + LibraryReason(mark));
      }
    if (sizeW > 0 && (size[0] != sizeW || size[1] != sizeH)) {
      close();
      return Fail(kExitUnusable, name + " opened at " + std::to_string(size[0]) + "x" + std::to_string(size[1]) +
                                     ", not " + std::to_string(sizeW) + "x" + std::to_string(sizeH));
    }
  }
  std::printf("%s: %d x %d\n", name.c_str(), size[0], size[1]);

  for (const Assignment& a : assignments) {
    mark = MessageMark();
    if (a.kind == Assignment::Kind::Property) {
      int32_t lo = 0, hi = 0;
      if (!api.getPropertyRange(kGrabber, kPort, a.name.c_str(), &lo, &hi)) {
        close();
        return Fail(kExitUnusable, name + " has no property " + a.name);
      }
      if (a.value < lo || a.value > hi) {
        close();
        return Fail(kExitUnusable, name + " refuses " + a.name + "=" + std::to_string(a.value) + ": its range is " +
                                       std::to_string(lo) + ".." + std::to_string(hi));
      }
    }
    if (!api.setProperty(kGrabber, kPort, a.name.c_str(), a.value)) {
      close();
      return Fail(kExitUnusable, name + " refuses " + a.name + "=" + std::to_string(a.value) +
                                     (MessagesSince(mark).empty() ? "" : ": " + LibraryReason(mark)));
    }
  }
  if (properties) {
    for (const char* p : kPropertyNames) {
      int32_t lo = 0, hi = 0, v = 0, flags = 0;
      const bool ranged = api.getPropertyRange(kGrabber, kPort, p, &lo, &hi);
      const bool read = api.getProperty(kGrabber, kPort, p, &v);
      const std::string flagName = std::string(p) + ".flags";
      api.getProperty(kGrabber, kPort, flagName.c_str(), &flags);
      if (ranged && read)
        std::printf("  %-22s %6d  range %d..%d  flags 0x%x\n", p, v, lo, hi, static_cast<unsigned>(flags));
      else
        std::printf("  %-22s (not available)\n", p);
    }
  }

  int32_t pixelBits = 8;
  api.getProperty(kGrabber, kPort, "PixelSize", &pixelBits);
  g_width = size[0];
  g_height = size[1];
  g_bytesPerPixel = std::max(1, pixelBits / 8);
  Writer writer(prefix, g_width, g_height, g_bytesPerPixel, !noPng);
  g_writer = &writer;
  Progress progress(count);
  std::vector<std::string> failures;
  int grabbed = 0;
  double seconds = 0;  // time spent grabbing, not waiting for the writer
  using Clock = std::chrono::steady_clock;
  constexpr auto kNoImage = std::chrono::seconds(10);  // with a callback: no image for this long fails

  if (count > 0 && continuous) {
    g_continuous = true;
    g_wanted = count;
    api.setCompleteCallback(kGrabber, kPort, OnComplete);
    const auto start = Clock::now();
    mark = MessageMark();
    if (!api.setProperty(kGrabber, kPort, "Continous", 1)) {
      failures.push_back("cannot start continuous mode: " + LibraryReason(mark));
    } else {
      std::unique_lock<std::mutex> lock(g_mutex);
      while (g_taken < count) {
        const int seen = g_taken + g_dropped;
        if (!g_done.wait_for(lock, kNoImage, [&] { return g_taken + g_dropped > seen; })) {
          failures.push_back("no image for 10 s after image " + std::to_string(g_taken));
          break;
        }
        const int taken = g_taken, dropped = g_dropped;
        lock.unlock();
        progress.Show(taken, std::chrono::duration<double>(Clock::now() - start).count(), dropped, false);
        lock.lock();
      }
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    api.setProperty(kGrabber, kPort, "Continous", 0);
    api.setCompleteCallback(kGrabber, kPort, nullptr);  // returns once the callback is done
    grabbed = g_taken;
  } else if (count > 0) {
    if (callback) api.setCompleteCallback(kGrabber, kPort, OnComplete);
    for (int n = 0; n < count; ++n) {
      const auto start = Clock::now();
      mark = MessageMark();
      bool ok = api.doCVLGrab(kGrabber, kPort) != 0;
      if (ok && callback) {
        std::unique_lock<std::mutex> lock(g_mutex);
        ok = g_done.wait_for(lock, kNoImage, [&] { return g_completed >= n + 1; });
      }
      Image image;
      image.number = n + 1;
      ok = ok && CopyImage(image.pixels);
      seconds += std::chrono::duration<double>(Clock::now() - start).count();
      if (!ok) {
        failures.push_back("grab " + std::to_string(n + 1) + " failed: " + LibraryReason(mark));
        // A callback that comes later belongs to this grab: count it as done.
        std::lock_guard<std::mutex> lock(g_mutex);
        g_completed = n + 1;
        continue;
      }
      ++grabbed;
      writer.Push(std::move(image));
      progress.Show(grabbed, seconds, 0, false);
    }
  }
  close();
  writer.Finish();
  progress.Show(grabbed, seconds, g_dropped, true);
  for (const std::string& f : writer.Failures()) failures.push_back(f);
  if (const auto& written = writer.Written(); !written.empty())
    std::printf("wrote %s%s\n", writer.PathOf(written.front()).c_str(),
                written.size() > 1 ? (" .. " + writer.PathOf(written.back())).c_str() : "");
  for (const std::string& f : failures) Fail(kExitIncomplete, f);
  if (grabbed < count || !failures.empty()) status = kExitIncomplete;
  if (grabbed < count && failures.empty())
    Fail(kExitIncomplete, std::to_string(count - grabbed) + " of " + std::to_string(count) + " images not grabbed");
  return status;
}
