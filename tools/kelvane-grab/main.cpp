// kelvane-grab: a small host that loads the grabber library the way a real host
// does (dlopen by path), prints the library's messages on standard error and
// lists the cameras it finds.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kelvane/grabber.h"

namespace {

struct Api {
  decltype(&::initialize) initialize = nullptr;
  decltype(&::getCVLNoOfSupportedCameras) getCVLNoOfSupportedCameras = nullptr;
  decltype(&::getCVLCameraConfigNames) getCVLCameraConfigNames = nullptr;
};

template <class T>
bool Resolve(void* library, const char* name, T& out) {
  out = reinterpret_cast<T>(dlsym(library, name));
  if (!out) std::fprintf(stderr, "kelvane-grab: %s missing from the library\n", name);
  return out != nullptr;
}

int32_t PrintMessage(const char* message) {
  std::fputs(message, stderr);
  return 0;
}

void Usage() {
  std::fprintf(stderr,
               "usage: kelvane-grab [--library PATH] [--settings DIR]\n"
               "  Lists the cameras the library finds. The simulated bus is taken from\n"
               "  $KELVANE_SIM_BUS (a JSON bus description) or the built-in default bus.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string libraryPath = KELVANE_DEFAULT_LIBRARY;
  std::string settingsDir = ".";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--library" && i + 1 < argc) {
      libraryPath = argv[++i];
    } else if (arg == "--settings" && i + 1 < argc) {
      settingsDir = argv[++i];
    } else {
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
  if (!Resolve(library, "initialize", api.initialize) ||
      !Resolve(library, "getCVLNoOfSupportedCameras", api.getCVLNoOfSupportedCameras) ||
      !Resolve(library, "getCVLCameraConfigNames", api.getCVLCameraConfigNames))
    return 1;

  // The sink goes in first so that the start-up messages show too.
  auto setSink = reinterpret_cast<decltype(&::setDebugMsgProc)>(dlsym(library, "setDebugMsgProc"));
  if (setSink) setSink(PrintMessage);
  api.initialize(settingsDir.c_str(), PrintMessage);
  int32_t count = api.getCVLNoOfSupportedCameras();
  std::printf("%d camera(s)\n", count);
  char** names = api.getCVLCameraConfigNames();
  for (int i = 0; names && names[i]; ++i) std::printf("  %d: %s\n", i, names[i]);
  return 0;
}
