// Bus descriptions: the example files load, malformed ones are reported with
// file, place and problem and give no camera, and the start-up bus follows
// KELVANE_SIM_BUS. Files that are not regular files, or too large, are refused
// without being read.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "sim_fixture.h"
#include "test_names.h"

namespace kelvane::sim::testing {
namespace {

using BusTest = SimTest;

TEST_F(BusTest, ExampleBusesLoad) {
  for (const char* file : {"legacy_bench.json", "faulty_bench.json"}) {
    EXPECT_TRUE(LoadBusFromFile(DataFile(file))) << file << ": " << LastBusError();
    EXPECT_EQ(LastBusError(), "");
  }
  EXPECT_TRUE(LoadBusFromText(DefaultBusJson(), "default"));
  EXPECT_EQ(CameraNames().size(), 3u);
}

struct MalformedCase {
  const char* what;
  const char* text;
  const char* place;    // expected in the message
  const char* problem;  // expected in the message
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.what; }

const MalformedCase kMalformedCases[] = {
    {"syntax error", "{\n  \"cameras\": [\n    {\"name\": \"A\",, }\n  ]\n}", "line 3, column", "syntax error"},
    {"top level not an object", "[1, 2]", "at /", "expected an object"},
    {"cameras not an array", R"({"cameras": {}})", "at /cameras", "expected an array"},
    {"camera without a name", R"({"cameras": [{"formats": []}]})", "at /cameras/0", "missing \"name\""},
    {"camera without formats", R"({"cameras": [{"name": "A"}]})", "at /cameras/0", "missing \"formats\""},
    {"unknown subtype", R"({"cameras": [{"name": "A", "formats": [{"subtype": "NV12", "width": 2, "height": 2}]}]})",
     "at /cameras/0/formats/0/subtype", "unknown subtype \"NV12\""},
    {"width not a whole number of pixel groups",
     R"({"cameras": [{"name": "A", "formats": [{"subtype": "YUY2", "width": 3, "height": 2}]}]})",
     "at /cameras/0/formats/0", "whole number of pixel groups"},
    {"unknown camera key",
     R"({"cameras": [{"name": "A", "formats": [{"subtype": "Y800", "width": 2, "height": 2}], "colour": 1}]})",
     "at /cameras/0/colour", "unknown key"},
    {"register address not a multiple of 4",
     R"({"cameras": [{"name": "A", "formats": [{"subtype": "Y800", "width": 2, "height": 2}],
           "registers": [{"address": "0xF0F00831"}]}]})",
     "at /cameras/0/registers/0/address", "multiples of 4"},
    {"property minimum above maximum",
     R"({"cameras": [{"name": "A", "formats": [{"subtype": "Y800", "width": 2, "height": 2}],
           "properties": [{"set": "exposure", "code": 0, "min": 5, "max": 1}]}]})",
     "at /cameras/0/properties/0", "\"min\" is above \"max\""},
    {"fault operation without its interface", R"({"faults": [{"operation": "Run", "result": "E_BOGUS"}]})",
     "at /faults/0/operation", "Interface::Method"},
    {"unknown fault result", R"({"faults": [{"operation": "IMediaControl::Run", "result": "E_BOGUS"}]})",
     "at /faults/0/result", "unknown result name"},
    {"unknown rate", R"({"rate": "slow"})", "at /rate", "expected realtime, fast or stepped"},
    {"width out of range",
     R"({"cameras": [{"name": "A", "formats": [{"subtype": "Y800", "width": 99999, "height": 2}]}]})",
     "at /cameras/0/formats/0/width", "outside 1..16384"},
    // Numbers beyond a double's range are the JSON reader's own complaint, placed like a syntax error.
    {"number beyond a double", "{\n  \"rate\":\n    1e400}", "line 3, column", "number overflow parsing '1e400'"},
    {"negative number beyond a double",
     R"({"cameras": [{"name": "A", "formats": [{"subtype": "Y800", "width": 2, "height": 2}],
           "properties": [{"set": "exposure", "code": 0, "max": -2e308}]}]})",
     "line 2, column", "number overflow"},
    {"short unicode escape", "{\"comment\": \"\\u12\"}", "line 1, column", "syntax error"},
};

class MalformedBusTest : public SimTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedBusTest, MalformedDescriptionsAreReportedAndYieldNoCamera) {
  const MalformedCase& c = GetParam();
  EXPECT_FALSE(LoadBusFromText(c.text, "bench.json")) << c.text;
  const auto messages = Messages();
  ASSERT_EQ(messages.size(), 1u) << c.text;
  const std::string& m = messages[0];
  EXPECT_NE(m.find("bench.json"), std::string::npos) << m;
  EXPECT_NE(m.find(c.place), std::string::npos) << m;
  EXPECT_NE(m.find(c.problem), std::string::npos) << m;
  EXPECT_EQ(m.substr(m.size() - 2), "\r\n");
  EXPECT_TRUE(CameraNames().empty()) << c.text;
  EXPECT_EQ(LastBusError() + "\r\n", m);
}

INSTANTIATE_TEST_SUITE_P(Descriptions, MalformedBusTest, ::testing::ValuesIn(kMalformedCases), tests::NameFromWhat());

TEST_F(BusTest, MalformedFileIsNamedAndRepeatedAtCameraEnumeration) {
  EXPECT_FALSE(LoadBusFromFile(DataFile("malformed.json")));
  const std::string error = LastBusError();
  EXPECT_NE(error.find("malformed.json: line 3, column"), std::string::npos) << error;
  // The camera enumeration repeats the report (the first may have come before a sink was set) and finds nothing.
  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  ComPtr<IEnumMoniker> list;
  EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0), S_FALSE);
  EXPECT_EQ(Messages().size(), 2u);

  EXPECT_FALSE(LoadBusFromFile(DataFile("no_such_bus.json")));
  EXPECT_NE(LastBusError().find("no_such_bus.json: cannot be read"), std::string::npos) << LastBusError();
}

// A start-up bus with a number out of range is reported like any malformed
// one, and read once: the enumerations that follow repeat the report without
// reading the file again.
TEST_F(BusTest, OutOfRangeNumberInTheStartupBusIsReportedOnce) {
  const std::string file = ::testing::TempDir() + "kelvane_overflow_bus.json";
  auto write = [&](const char* text) {
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
  };
  write("{\"cameras\": [], \"rate\": 1e400}");
  ASSERT_EQ(setenv("KELVANE_SIM_BUS", file.c_str(), 1), 0);
  EXPECT_NO_THROW(ResetBus());
  const std::string error = LastBusError();
  EXPECT_EQ(error.rfind("Simulated bus " + file + ": line 1, column ", 0), 0u) << error;
  EXPECT_NE(error.find("number overflow"), std::string::npos) << error;
  EXPECT_TRUE(CameraNames().empty());
  write(R"({"cameras": [{"name": "A", "formats": [{"subtype": "Y800", "width": 2, "height": 2}]}]})");
  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
  for (int i = 0; i < 2; ++i) {
    ComPtr<IEnumMoniker> list;
    EXPECT_EQ(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0), S_FALSE);
  }
  EXPECT_EQ(Messages(), std::vector<std::string>(3, error + "\r\n"));
  ASSERT_EQ(unsetenv("KELVANE_SIM_BUS"), 0);
  std::remove(file.c_str());
}

// Only a regular file of at most 16 MiB is read as a description: a named pipe
// would block the reader until some writer came, a device could be endless.
enum class Unreadable { Pipe, Directory, Device, Large };

struct UnreadableCase {
  const char* what;
  Unreadable file;
  const char* problem;
};

void PrintTo(const UnreadableCase& c, std::ostream* os) { *os << c.what; }

const UnreadableCase kUnreadableCases[] = {
    {"named pipe", Unreadable::Pipe, "not a regular file"},
    {"directory", Unreadable::Directory, "not a regular file"},
    {"device", Unreadable::Device, "not a regular file"},
    {"just over 16 MiB", Unreadable::Large, "larger than 16 MiB"},
};

class UnreadableBusTest : public SimTest, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(UnreadableBusTest, FilesThatAreNotRegularOrTooLargeAreRefusedUnread) {
  const UnreadableCase& c = GetParam();
  // A directory of the case's own: the cases may run at the same time.
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("kelvane_bus_files_" + std::to_string(getpid()) + "_" + tests::TestName(c.what));
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  std::string path;
  switch (c.file) {
    case Unreadable::Pipe:
      path = (dir / "pipe.json").string();
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      break;
    case Unreadable::Directory:
      path = dir.string();
      break;
    case Unreadable::Device:
      path = "/dev/zero";
      break;
    case Unreadable::Large: {
      path = (dir / "large.json").string();
      FILE* f = std::fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(ftruncate(fileno(f), 16 * 1024 * 1024 + 1), 0);  // sparse: takes no room
      std::fclose(f);
      break;
    }
  }
  LoadDefaultBus();
  EXPECT_FALSE(LoadBusFromFile(path)) << path;
  EXPECT_EQ(LastBusError(), "Simulated bus " + path + ": " + c.problem);
  EXPECT_EQ(Messages(), std::vector<std::string>{LastBusError() + "\r\n"});
  EXPECT_TRUE(CameraNames().empty()) << path;
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, UnreadableBusTest, ::testing::ValuesIn(kUnreadableCases), tests::NameFromWhat());

TEST_F(BusTest, StartupBusFollowsTheEnvironment) {
  ASSERT_EQ(setenv("KELVANE_SIM_BUS", DataFile("legacy_bench.json").c_str(), 1), 0);
  ResetBus();
  EXPECT_EQ(CameraNames(), (std::vector<std::string>{"Kestrel KC-320", "Kestrel KC-320 (old driver)", "DMK 21AU04"}));
  ASSERT_EQ(unsetenv("KELVANE_SIM_BUS"), 0);
  ResetBus();
  EXPECT_EQ(CameraNames().front(), "Kestrel KC-640C");
}

TEST_F(BusTest, FaultsOfTheDescriptionAreInjected) {
  ASSERT_TRUE(LoadBusFromFile(DataFile("faulty_bench.json")));
  EXPECT_EQ(PendingFaults("IMoniker::BindToObject"), 1);
  EXPECT_EQ(PendingFaults("IPropertyBag::Read"), -1);
  LoadDefaultBus();
  EXPECT_EQ(PendingFaults("IMoniker::BindToObject"), 0) << "a new bus brings its own faults only";
}

}  // namespace
}  // namespace kelvane::sim::testing
