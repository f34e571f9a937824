// The dialog, the sheet and the driver's pages with a scripted user: what the
// user chooses must be in the settings file and in the next open's grab, bad
// values must be refused with their warning and change nothing.
#include "configure/configure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "configure/actions.h"
#include "configure/texts.h"
#include "host/host_fixture.h"
#include "platform/dshow.h"
#include "settings/camera_settings.h"
#include "settings/profile_file.h"

namespace kelvane::testing {
namespace {

using namespace configure;

// The scripted user: what happens while each window is shown.
std::function<void(DialogModel&)> g_dialog;
std::function<void(SheetModel&)> g_sheet;
std::function<void(const std::string&, const std::vector<DriverPage*>&)> g_frame;

const UiModule* ScriptedUi() {
  static UiModule ui;
  ui.CannotShow = [] { return std::string(); };
  ui.RunDialog = [](DialogModel& d) {
    if (g_dialog) g_dialog(d);
  };
  ui.RunSheet = [](SheetModel& s) {
    if (g_sheet) g_sheet(s);
  };
  ui.RunPropertyFrame = [](void*, const std::string& caption, const std::vector<DriverPage*>& pages) {
    if (g_frame) g_frame(caption, pages);
  };
  return &ui;
}

// The controls of a page as the widgets would hand them over, with some replaced.
std::vector<ControlValue> Controls(PageModel& page, const std::vector<ControlValue>& changes = {}) {
  std::vector<ControlValue> controls;
  for (int id : page.ExchangeOrder()) controls.push_back({id, page.Member(id), page.Text(id)});
  for (const ControlValue& change : changes)
    for (ControlValue& c : controls)
      if (c.id == change.id) c = change;
  return controls;
}

class ConfigureTest : public HostTest {
 public:
  void SetUp() override {
    HostTest::SetUp();
    g_dialog = nullptr;
    g_sheet = nullptr;
    g_frame = nullptr;
    SetUiForTesting(ScriptedUi());
  }
  void TearDown() override {
    SetUiForTesting(nullptr);
    HostTest::TearDown();
  }
  int32_t FileInt(const char* section, const char* key, int32_t absent = -12345) {
    return settings::ProfileText::Load(SettingsFile()).GetInt(section, key, absent);
  }
};

// ---- the sheet's data exchange ---------------------------------------------------------------------------

struct ExchangeCase {
  const char* name;
  int page;  // 1 Image Averaging, 2 Filters
  int id;
  const char* text;
  const char* key;
  bool accepted;
  int32_t stored;  // the key's value in the file after the sheet closed
  const char* warning;
};

class SheetExchange : public ConfigureTest, public ::testing::WithParamInterface<ExchangeCase> {};

// A value is refused with its warning, the focus goes to its control, nothing
// of the page reaches the settings and later controls keep their members;
// accepted values are saved when the sheet closes.
TEST_P(SheetExchange, RefusesOutOfRangeAndSavesAccepted) {
  const ExchangeCase& c = GetParam();
  Initialize();
  g_sheet = [&](SheetModel& sheet) {
    PageModel& page = sheet.Page(c.page);
    sheet.Shown(c.page);
    const std::vector<int> order = page.ExchangeOrder();
    const int last = order.back();
    const int lastBefore = page.Member(last);
    // The last control gets a new valid value too: it must stay unapplied
    // when an earlier control is refused.
    std::vector<ControlValue> changes{{c.id, 0, c.text}};
    if (last != c.id) changes.push_back({last, 1, "1"});
    TransferError error;
    const bool ok = page.Transfer(Controls(page, changes), &error);
    EXPECT_EQ(ok, c.accepted);
    if (ok) {
      sheet.Apply();
    } else {
      EXPECT_EQ(error.control, c.id);
      EXPECT_EQ(error.warning, c.warning);
      EXPECT_EQ(page.Member(last), lastBefore);
    }
  };
  EXPECT_EQ(configureCamera(0, kColour.config), 0);
  EXPECT_EQ(FileInt(kColour.config, c.key), c.stored);
}

const ExchangeCase kExchangeCases[] = {
    {"MeanCntZero", 1, kFrameCount, "0", "MeanCnt", false, 1, "Enter a whole number from 1 to 32."},
    {"MeanCnt33", 1, kFrameCount, "33", "MeanCnt", false, 1, "Enter a whole number from 1 to 32."},
    {"MeanCnt1", 1, kFrameCount, "1", "MeanCnt", true, 1, ""},
    {"MeanCnt32", 1, kFrameCount, "32", "MeanCnt", true, 32, ""},
    {"MeanCntTextAfterNumber", 1, kFrameCount, "  12 frames", "MeanCnt", true, 12, ""},
    {"MeanCntNoNumber", 1, kFrameCount, "twelve", "MeanCnt", false, 1, "Enter a whole number from 1 to 32."},
    {"Coefficient101", 1, kCoefficient, "101", "RecursiveCoeff", false, 80, "Enter a whole number from 1 to 100."},
    {"Coefficient100", 1, kCoefficient, "100", "RecursiveCoeff", true, 100, ""},
    {"Deviation129", 2, kDeviation, "129", "BlackLvlRange", false, 0, "Enter a whole number from 0 to 128."},
    {"Reacquisitions101", 2, kReacquisitions, "101", "BlackLvlRetry", false, 3, "Enter a whole number from 0 to 100."},
    {"PointValue256", 2, kPointValue, "256", "BlackLvlValue", false, 16, "Enter a whole number from 0 to 255."},
    {"SkipCount32768", 2, kFrameCount, "32768", "DropCnt", false, 0, "Enter a whole number from 0 to 32767."},
    {"SkipCount32767", 2, kFrameCount, "32767", "DropCnt", true, 32767, ""},
    {"PointCountNegative", 2, kPointCount, "-5", "BlackLvlPoints", true, -5, ""},
    {"PointCountNoNumber", 2, kPointCount, "-", "BlackLvlPoints", false, 0, "Enter a whole number."},
    {"PointCountBeyond32Bits", 2, kPointCount, "2147483648", "BlackLvlPoints", false, 0, "Enter a whole number."},
};
INSTANTIATE_TEST_SUITE_P(Pages, SheetExchange, ::testing::ValuesIn(kExchangeCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- the General page and the sheet's life -----------------------------------------------------------------

TEST_F(ConfigureTest, GeneralPageLoadsListsAndTriggerAndAppliesOnlyShownPages) {
  WriteSettings(settings::SettingsSection(kColour.config), {"Algorithm=4", "RawMode=0", "Lut=8", "MeanCnt=5"});
  WriteSettings(settings::SettingsSection(kUsb.config), {"Algorithm=7"});
  Initialize();
  g_sheet = [&](SheetModel& sheet) {
    PageModel& general = sheet.Page(0);
    EXPECT_EQ(general.Member(kAlgorithm), 4);  // "Simple"
    EXPECT_EQ(general.Member(kRawFormat), 0);  // "None"
    EXPECT_EQ(general.Member(kLut), 8);        // "Logaritmic 16 bit"
    EXPECT_EQ(general.Text(kState), kTextClosed);
    // The driver's trigger register: checked and not to be changed.
    EXPECT_EQ(general.Member(kTrigger), 1);
    EXPECT_FALSE(general.Enabled(kTrigger));
    // A page never shown is never applied, even with its members changed.
    ASSERT_TRUE(sheet.Page(1).Transfer(Controls(sheet.Page(1), {{kFrameCount, 0, "9"}}), nullptr));
    sheet.Shown(0);
    ASSERT_TRUE(general.Transfer(Controls(general, {{kColor, 1, ""}}), nullptr));
    sheet.MarkModified(0);
    EXPECT_TRUE(sheet.Unapplied());
    sheet.Apply();
    EXPECT_FALSE(sheet.Unapplied());
    // Changed after Apply and then cancelled: not applied, yet Apply's values are saved.
    ASSERT_TRUE(general.Transfer(Controls(general, {{kContinuous, 1, ""}}), nullptr));
  };
  EXPECT_EQ(configureCamera(0, kColour.config), 0);
  EXPECT_EQ(FileInt(kColour.config, "Color"), 1);
  EXPECT_EQ(FileInt(kColour.config, "ContinousVideo"), 0);
  EXPECT_EQ(FileInt(kColour.config, "HWTrigger"), 1);
  EXPECT_EQ(FileInt(kColour.config, "MeanCnt"), 5);
  EXPECT_EQ(FileInt(kColour.config, "Lut"), 8);

  // A list whose setting is none of its entries shows no selection and keeps the setting.
  g_sheet = [&](SheetModel& sheet) {
    PageModel& general = sheet.Page(0);
    EXPECT_EQ(general.Member(kAlgorithm), -1);
    EXPECT_TRUE(general.Enabled(kTrigger));  // no trigger register on a USB camera
    sheet.Shown(0);
    ASSERT_TRUE(general.Transfer(Controls(general), nullptr));
    sheet.Apply();
  };
  EXPECT_EQ(configureCamera(0, kUsb.config), 0);
  EXPECT_EQ(FileInt(kUsb.config, "Algorithm"), 7);
  EXPECT_EQ(FileInt(kUsb.config, "HWTrigger"), 0);

  // The colour chosen reaches the next open: 24-bit rows.
  ASSERT_EQ(Open(0, kColour), 1);
  int32_t bits = 0;
  ASSERT_EQ(getProperty(0, 0, "PixelSize", &bits), 1);
  EXPECT_EQ(bits, 24);
}

TEST_F(ConfigureTest, UnknownCameraShowsAndSavesNothing) {
  bool shown = false;
  g_sheet = [&](SheetModel&) { shown = true; };
  EXPECT_EQ(configureCamera(0, kColour.config), 1);  // before initialize: no camera at all
  Initialize();
  EXPECT_EQ(configureCamera(0, "Kestrel Optics KC-640C - 1047"), 1);
  EXPECT_FALSE(shown);
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
  // Cancel without a change saves the settings as they were: every key, defaults included.
  EXPECT_EQ(configureCamera(0, kUsb.config), 0);
  EXPECT_TRUE(shown);
  EXPECT_EQ(FileInt(kUsb.config, "DefFmt"), -1);
  EXPECT_EQ(FileInt(kUsb.config, "RecursiveCoeff"), 80);
}

// ---- the dialog ---------------------------------------------------------------------------------------------

TEST_F(ConfigureTest, DialogShowsStateAfreshAndSavesEachColourClick) {
  Initialize();
  ASSERT_EQ(Open(0, kMono16), 1);
  std::vector<std::string> seen;
  g_dialog = [&](DialogModel& d) {
    ASSERT_EQ(d.CameraCount(), 3);
    EXPECT_EQ(d.CameraName(1), kMono16.config);
    EXPECT_EQ(d.Select(0).state, kTextClosed);
    EXPECT_EQ(d.Select(1).state, kTextOpen);
    EXPECT_TRUE(closeCVLPort(0, 0));
    EXPECT_EQ(d.Select(1).state, kTextClosed);  // read afresh at each selection
    EXPECT_FALSE(d.Select(-1).selected);
    d.SetColor(0, true);
    seen.push_back(std::to_string(FileInt(kColour.config, "Color")));
    EXPECT_TRUE(d.Select(0).color);
    d.SetColor(0, false);
    seen.push_back(std::to_string(FileInt(kColour.config, "Color")));
  };
  EXPECT_EQ(::configure(), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "0"}));
}

// ---- the actions: which pages of which object ----------------------------------------------------------------

struct RouteCase {
  const char* name;
  const char* driverVersion;
  Camera camera;
  bool source;   // the Source action, else Format
  bool fromPin;  // the pages of the capture pin, else of the camera filter
  std::vector<platform::GUID> pages;
};

class ActionRoute : public ConfigureTest, public ::testing::WithParamInterface<RouteCase> {
 public:
  void PrepareBus() override {
    std::string bus = sim::DefaultBusJson();
    const std::string key = "\"driver_version\": \"2.6.0.18\"";
    bus.replace(bus.find(key), key.size(), std::string("\"driver_version\": \"") + GetParam().driverVersion + "\"");
    ASSERT_TRUE(sim::LoadBusFromText(bus));
  }
};

TEST_P(ActionRoute, ShowsThePagesTheDriverVersionCallsFor) {
  const RouteCase& c = GetParam();
  Initialize();
  int frames = 0;
  auto previous = platform::SetPropertyFrameHandler([&](void*, int32_t, int32_t, const char16_t* caption,
                                                        platform::ULONG count, platform::IUnknown** objects,
                                                        platform::ULONG pageCount, const platform::CLSID* pages) {
    ++frames;
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(std::u16string(caption).size(), std::string(c.camera.config).size());
    platform::ComPtr<platform::IPin> pin;
    EXPECT_EQ(platform::SUCCEEDED(platform::QueryInto(objects[0], pin)), c.fromPin);
    EXPECT_EQ(std::vector<platform::GUID>(pages, pages + pageCount), c.pages);
    return platform::S_OK;
  });
  char** names = getCVLCameraConfigNames();
  const int index = static_cast<int>(std::find(names, names + 3, std::string(c.camera.config)) - names);
  EXPECT_TRUE(c.source ? ConfigureSource(nullptr, index) : ConfigureFormat(nullptr, index));
  platform::SetPropertyFrameHandler(previous);
  EXPECT_EQ(frames, 1);
}

using platform::CLSID_VideoFormatPropertyPage;
using platform::CLSID_VideoSourcePropertyPage;
const RouteCase kRouteCases[] = {
    {"V2SourceFirstFilterPage", "2.6.0.18", kColour, true, false, {CLSID_VideoSourcePropertyPage}},
    {"V2FormatOtherFilterPages", "2.6.0.18", kColour, false, false, {CLSID_VideoFormatPropertyPage}},
    {"V1SourcePinPages", "1.9.3.0", kColour, true, true, {CLSID_VideoFormatPropertyPage}},
    {"V1FormatAllFilterPages",
     "1.9.3.0",
     kColour,
     false,
     false,
     {CLSID_VideoSourcePropertyPage, CLSID_VideoFormatPropertyPage}},
    {"NoDriverFileSourcePinPages", "", kMono16, true, true, {CLSID_VideoFormatPropertyPage}},
    {"V2WithoutFormatInterfaceSourcePinPages", "2.6.0.18", kUsb, true, true, {CLSID_VideoFormatPropertyPage}},
    {"V2WithoutFormatInterfaceFormatAllPages", "2.6.0.18", kUsb, false, false, {CLSID_VideoSourcePropertyPage}},
};
INSTANTIATE_TEST_SUITE_P(Versions, ActionRoute, ::testing::ValuesIn(kRouteCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- the Format page: the choice reaches the file and the next grab -------------------------------------------

struct FormatCase {
  const char* name;
  Camera camera;
  const char* entry;  // the list text to choose
  const char* rate;   // the rate text to choose
  int32_t left, top, width, height;
  uint32_t packet;
  platform::GUID subtype;
  int32_t openWidth, openHeight;
  bool source = false;  // the Format page is the pin's, shown by the Source action
};

class FormatChoiceTest : public ConfigureTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatChoiceTest, ReachesTheFileAndTheNextOpen) {
  const FormatCase& c = GetParam();
  Initialize();
  std::string problem = "no frame";
  g_frame = [&](const std::string& caption, const std::vector<DriverPage*>& pages) {
    EXPECT_EQ(caption, c.camera.config);
    for (DriverPage* page : pages) {
      if (page->PageKind() != DriverPage::Kind::Format) continue;
      const auto formats = page->Formats();
      FormatChoice choice = page->CurrentFormat();
      choice.entry = -1;
      for (size_t i = 0; i < formats.size(); ++i)
        if (formats[i].text == c.entry) choice.entry = static_cast<int>(i);
      ASSERT_GE(choice.entry, 0) << c.entry;
      const auto& rates = formats[static_cast<size_t>(choice.entry)].rates;
      for (size_t r = 0; r < rates.size(); ++r)
        if (rates[r].text == c.rate) choice.rate = static_cast<int>(r);
      choice.left = c.left;
      choice.top = c.top;
      choice.width = c.width;
      choice.height = c.height;
      choice.packet = c.packet;
      problem = page->SetFormat(choice);
    }
  };
  g_dialog = [&](DialogModel& d) {
    for (int i = 0; i < d.CameraCount(); ++i)
      if (d.CameraName(i) == c.camera.config) c.source ? d.Source(i, nullptr) : d.Format(i, nullptr);
  };
  EXPECT_EQ(::configure(), 0);
  EXPECT_EQ(problem, "");
  const std::string section = settings::SettingsSection(c.camera.config);
  EXPECT_EQ(settings::ProfileText::Load(SettingsFile()).Find(section, "SubType"), settings::GuidToText(c.subtype));
  EXPECT_EQ(FileInt(section.c_str(), "Width"), c.openWidth);
  EXPECT_EQ(FileInt(section.c_str(), "Height"), c.openHeight);
  if (c.packet) {
    EXPECT_EQ(FileInt(section.c_str(), "PacketSize"), static_cast<int32_t>(c.packet));
  }

  // Another process (or the sim) may move the camera meanwhile: the next open
  // sets the format from the file.
  ASSERT_EQ(Open(0, c.camera), 1);
  EXPECT_EQ(size_[0], c.openWidth);
  EXPECT_EQ(size_[1], c.openHeight);
  const auto format = sim::CurrentFormat(c.camera.friendly);
  ASSERT_TRUE(format);
  EXPECT_EQ(format->subtype, c.subtype);
  if (c.packet) {
    EXPECT_EQ(format->rect.left, c.left);
    EXPECT_EQ(format->rect.top, c.top);
    EXPECT_EQ(format->packetSize, c.packet);
  }
}

const FormatCase kFormatCases[] = {
    {"DriverList", kColour, "UYVY 320 x 240", "15.00 fps", 0, 0, 0, 0, 0, platform::MEDIASUBTYPE_UYVY, 320, 240},
    {"DriverFreeRegion", kColour, "RAW8 free region up to 1024 x 768", "7.50 fps", 64, 32, 256, 128, 1024,
     platform::MEDIASUBTYPE_RAW8, 256, 128},
    {"StreamConfig", kUsb, "RGB24 640 x 480", "15.00 fps", 0, 0, 0, 0, 0, platform::MEDIASUBTYPE_RGB24, 640, 480, true},
};
INSTANTIATE_TEST_SUITE_P(Formats, FormatChoiceTest, ::testing::ValuesIn(kFormatCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- the Source page, the refusal on open ports, faults and leaks ---------------------------------------------

TEST_F(ConfigureTest, SourcePageWritesPropertiesAndFormatSavesThem) {
  Initialize();
  std::vector<std::string> problems;
  g_frame = [&](const std::string&, const std::vector<DriverPage*>& pages) {
    for (DriverPage* page : pages) {
      if (page->PageKind() != DriverPage::Kind::Source) continue;
      const auto properties = page->Properties();
      const auto brightness = std::find_if(properties.begin(), properties.end(),
                                           [](const SourceProperty& p) { return p.name == "Brightness"; });
      ASSERT_NE(brightness, properties.end());
      EXPECT_EQ(brightness->maximum, 255);
      problems.push_back(page->SetProperty(brightness->index, 300, false));
      problems.push_back(page->SetProperty(brightness->index, 200, false));
    }
  };
  g_dialog = [&](DialogModel& d) {
    d.Source(0, nullptr);  // version 2: the filter's Source page
    g_frame = nullptr;
    d.Format(0, nullptr);  // saves the property values
  };
  EXPECT_EQ(::configure(), 0);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0], "Brightness: 300 is not within 0 to 255");
  EXPECT_EQ(problems[1], "");
  EXPECT_EQ(FileInt(kColour.config, "Brightness"), 200);
  EXPECT_EQ(FileInt(kColour.config, "Brightness_flags"), 2);
  EXPECT_EQ(FileInt(kColour.config, "Focus"), -12345);  // the camera has no focus
}

TEST_F(ConfigureTest, SourceIsRefusedWhilePortsUseTheCamera) {
  Initialize();
  ASSERT_EQ(Open(0, kColour), 1);
  int frames = 0;
  g_frame = [&](const std::string&, const std::vector<DriverPage*>&) { ++frames; };
  g_dialog = [&](DialogModel& d) { d.Source(0, nullptr); };
  EXPECT_EQ(::configure(), 0);
  EXPECT_EQ(frames, 0);
  EXPECT_TRUE(LoggedContaining("Source: Kestrel Optics KC-640C - 10472 is open on 1 port(s)"));
  // The port still gets its frames.
  sim::Grant(kColour.friendly, 1);
  EXPECT_EQ(doCVLGrab(0, 0), 1);
}

TEST_F(ConfigureTest, DriverFaultIsReportedAndTheDialogStaysUsableWithoutLeaks) {
  Initialize();
  const int64_t objects = sim::LiveObjects();
  sim::Fault fault;
  fault.operation = "ISpecifyPropertyPages::GetPages";
  fault.raise = "pages gone";
  sim::InjectFault(fault);
  int frames = 0;
  g_frame = [&](const std::string&, const std::vector<DriverPage*>& pages) {
    ++frames;
    for (DriverPage* page : pages) page->Formats(), page->Properties(), page->CurrentFormat();
  };
  g_dialog = [&](DialogModel& d) {
    d.Format(0, nullptr);
    EXPECT_TRUE(Logged("Exception: pages gone\n"));
    EXPECT_EQ(frames, 0);
    d.Format(0, nullptr);
    EXPECT_EQ(frames, 1);
  };
  EXPECT_EQ(::configure(), 0);
  EXPECT_EQ(sim::LiveObjects(), objects);
}

// No module beside the library: the text of before, and why.
TEST_F(ConfigureTest, WithoutTheModuleTheCamerasAreListedAsText) {
  SetUiForTesting(nullptr);
  Initialize();
  EXPECT_EQ(::configure(), 0);
  EXPECT_TRUE(LoggedContaining("libkelvane-ui.so cannot be loaded") ||
              LoggedContaining("built without its user-interface module"));
  EXPECT_TRUE(LoggedContaining("2: USB 2.0 Video Camera"));
  EXPECT_EQ(configureCamera(0, kUsb.config), 0);
  EXPECT_TRUE(LoggedContaining("configureCamera: no property sheet ("));
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

}  // namespace
}  // namespace kelvane::testing
