// The library as a host sees it: its dynamic symbol table and a load by path.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <string>

#include "kelvane/grabber.h"

namespace {

const std::set<std::string> kExports = {
    "initialize",       "finalize",         "setSystemPath",       "setDebugMsgProc",
    "getCVLMaxNoOfGrabbers", "getCVLMaxNoOfPorts", "getCVLNoOfSupportedCameras", "getCVLCameraConfigNames",
    "openCVLPort",      "closeCVLPort",     "doCVLGrab",           "getCVLGrabRow",
    "setCompleteCallback", "setHWTrigger",  "getProperty",         "setProperty",
    "getPropertyRange", "configure",        "configureCamera"};

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return names;
  std::array<char, 512> line{};
  while (fgets(line.data(), line.size(), pipe)) {
    std::string text(line.data());
    text.erase(text.find_last_not_of("\r\n") + 1);
    auto space = text.find_last_of(' ');
    std::string type = text.substr(text.find(' ') + 1, 1);
    // Linker-defined version nodes (type A) are not code or data of ours.
    if (type != "A") names.insert(text.substr(space + 1));
  }
  pclose(pipe);
  return names;
}

TEST(Abi, ExportsExactlyTheNineteenFunctions) {
  EXPECT_EQ(DefinedDynamicSymbols(KELVANE_LIBRARY), kExports);
}

// The dialog's toolkit lives in the module loaded on demand: a host without
// it still loads the library.
TEST(Abi, NeedsNoToolkit) {
  FILE* pipe = popen(("readelf -d '" + std::string(KELVANE_LIBRARY) + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::array<char, 512> line{};
  int needed = 0;
  while (fgets(line.data(), line.size(), pipe)) {
    const std::string text(line.data());
    if (text.find("(NEEDED)") == std::string::npos) continue;
    ++needed;
    EXPECT_EQ(text.find("Qt"), std::string::npos) << text;
  }
  pclose(pipe);
  EXPECT_GT(needed, 0);
}

TEST(Abi, LoadsByPathAndAnswersBeforeInitialize) {
  void* library = dlopen(KELVANE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const auto& name : kExports) EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
  auto grabbers = reinterpret_cast<decltype(&getCVLMaxNoOfGrabbers)>(dlsym(library, "getCVLMaxNoOfGrabbers"));
  auto ports = reinterpret_cast<decltype(&getCVLMaxNoOfPorts)>(dlsym(library, "getCVLMaxNoOfPorts"));
  auto count = reinterpret_cast<decltype(&getCVLNoOfSupportedCameras)>(dlsym(library, "getCVLNoOfSupportedCameras"));
  auto names = reinterpret_cast<decltype(&getCVLCameraConfigNames)>(dlsym(library, "getCVLCameraConfigNames"));
  EXPECT_EQ(grabbers(), 1);
  EXPECT_EQ(ports(), 25);
  EXPECT_EQ(count(), 0);  // nothing is enumerated before initialize
  ASSERT_NE(names(), nullptr);
  EXPECT_EQ(names()[0], nullptr);
  // Not unloaded: the library's state lives as long as the process, as it
  // does in a host (threads of an open camera may still run at unload).
}

}  // namespace
