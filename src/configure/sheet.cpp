#include "configure/sheet.h"

#include <cctype>
#include <cstdio>
#include <limits>

#include "capture/property_store.h"
#include "configure/actions.h"
#include "configure/texts.h"

namespace kelvane::configure {

namespace {

using CS = settings::CameraSettings;
using Kind = SheetPage::Kind;

constexpr int kEntriesAlgorithm = static_cast<int>(std::size(kAlgorithmEntries));
constexpr int kEntriesRaw = static_cast<int>(std::size(kRawFormatEntries));
constexpr int kEntriesLut = static_cast<int>(std::size(kLutEntries));

// The exchange orders and ranges of the three pages.
std::vector<SheetPage::Field> GeneralFields() {
  return {{kColor, Kind::Check, &CS::Color, false, 0, 0, 0},
          {kState, Kind::Text, nullptr, false, 0, 0, 0},
          {kContinuous, Kind::Check, &CS::ContinousVideo, false, 0, 0, 0},
          {kAlgorithm, Kind::List, &CS::Algorithm, false, 0, 0, kEntriesAlgorithm},
          {kRawFormat, Kind::List, &CS::RawMode, false, 0, 0, kEntriesRaw},
          {kLut, Kind::List, &CS::Lut, false, 0, 0, kEntriesLut},
          {kTrigger, Kind::Check, &CS::HWTrigger, false, 0, 0, 0}};
}

std::vector<SheetPage::Field> AverageFields() {
  return {{kFrameCount, Kind::Edit, &CS::MeanCnt, true, 1, 32, 0},
          {kCoefficient, Kind::Edit, &CS::RecursiveCoeff, true, 1, 100, 0},
          {kRecursive, Kind::Check, &CS::RecursiveMean, false, 0, 0, 0}};
}

std::vector<SheetPage::Field> FilterFields() {
  return {{kDeviation, Kind::Edit, &CS::BlackLvlRange, true, 0, 128, 0},
          {kReacquisitions, Kind::Edit, &CS::BlackLvlRetry, true, 0, 100, 0},
          {kPointValue, Kind::Edit, &CS::BlackLvlValue, true, 0, 255, 0},
          {kPointCount, Kind::Edit, &CS::BlackLvlPoints, false, 0, 0, 0},
          {kFrameCount, Kind::Edit, &CS::DropCnt, true, 0, 32767, 0}};
}

// The General page: the trigger box also shows the driver's trigger
// register, and a list left without a selection keeps its setting.
class GeneralPage final : public SheetPage {
 public:
  explicit GeneralPage(host::CameraRecord& camera) : SheetPage(kGeneralTitle, GeneralFields(), camera) {
    state_ = camera.GrabberFilter ? kTextRunning : kTextClosed;
    if (camera.CameraInfo) members_[Position(kTrigger)] = 1;
  }
  bool Enabled(int id) override { return id != kTrigger || !camera_.CameraInfo; }
  void Apply() override {
    settings::CameraSettings& s = camera_.Settings;
    for (size_t i = 0; i < fields_.size(); ++i) {
      const Field& f = fields_[i];
      if (!f.setting) continue;
      if (f.kind == Kind::List && members_[i] < 0) continue;  // nothing chosen: the setting stays
      s.*f.setting = members_[i];
    }
  }

 private:
  size_t Position(int id) const {
    for (size_t i = 0; i < fields_.size(); ++i)
      if (fields_[i].id == id) return i;
    return 0;
  }
};

}  // namespace

bool ParseEditInteger(const std::string& text, int32_t* value) {
  const std::string s = text.substr(0, 63);
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  int64_t v = 0;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
    v = v * 10 + (s[i] - '0');
    if (v > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min()) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

SheetPage::SheetPage(const char* title, std::vector<Field> fields, host::CameraRecord& camera)
    : title_(title), fields_(std::move(fields)), members_(fields_.size(), 0), camera_(camera) {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].setting) members_[i] = camera.Settings.*fields_[i].setting;
}

int SheetPage::Member(int id) {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].id == id) {
      // A list whose member is not one of its entries shows no selection.
      if (fields_[i].kind == Kind::List && (members_[i] < 0 || members_[i] >= fields_[i].entries)) return -1;
      return members_[i];
    }
  return 0;
}

std::string SheetPage::Text(int id) {
  if (id == kState) return state_;
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].id == id) return std::to_string(members_[i]);
  return {};
}

bool SheetPage::Enabled(int) { return true; }

std::vector<int> SheetPage::ExchangeOrder() {
  std::vector<int> ids;
  for (const Field& f : fields_) ids.push_back(f.id);
  return ids;
}

bool SheetPage::Transfer(const std::vector<ControlValue>& controls, TransferError* error) {
  for (size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    const ControlValue* c = nullptr;
    for (const ControlValue& v : controls)
      if (v.id == f.id) c = &v;
    if (!c) continue;  // a control the widgets do not have keeps its member
    switch (f.kind) {
      case Kind::Text:
        state_ = c->text;
        break;
      case Kind::Check:
        members_[i] = c->value != 0 ? 1 : 0;
        break;
      case Kind::List:
        members_[i] = c->value >= 0 && c->value < f.entries ? c->value : -1;
        break;
      case Kind::Edit: {
        int32_t v = 0;
        const bool number = ParseEditInteger(c->text, &v);
        if (!number || (f.ranged && (v < f.minimum || v > f.maximum))) {
          if (error) {
            error->control = f.id;
            if (f.ranged) {
              char text[96];
              std::snprintf(text, sizeof text, kWarnRangeFormat, f.minimum, f.maximum);
              error->warning = text;
            } else {
              error->warning = kWarnNumber;
            }
          }
          return false;
        }
        members_[i] = v;
        break;
      }
    }
  }
  return true;
}

void SheetPage::Apply() {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].setting) camera_.Settings.*fields_[i].setting = members_[i];
}

Sheet::Sheet(int index, std::string caption)
    : caption_(std::move(caption)), camera_(host::State().CameraTable[static_cast<size_t>(index)]) {
  frames::GateHold hold(camera_.Gate);
  host::AdoptPendingSettings(camera_);
  pages_[0] = std::make_unique<GeneralPage>(camera_);
  pages_[1] = std::make_unique<SheetPage>(kAverageTitle, AverageFields(), camera_);
  pages_[2] = std::make_unique<SheetPage>(kFiltersTitle, FilterFields(), camera_);
}

void Sheet::Shown(int index) {
  if (index >= 0 && index < PageCount()) shown_[static_cast<size_t>(index)] = true;
}

void Sheet::MarkModified(int index) {
  if (index >= 0 && index < PageCount()) unapplied_ = true;
}

void Sheet::Apply() {
  frames::GateHold hold(camera_.Gate);
  for (size_t i = 0; i < pages_.size(); ++i)
    if (shown_[i]) pages_[i]->Apply();
  unapplied_ = false;
}

void Sheet::Action(int command, void* owner) {
  if (command == kSource) General().SetStateText(kTextStopped);
  // Whatever goes wrong in an action ends it without a message of its own:
  // the actions report their failures themselves.
  try {
    const int index = host::FindCamera(camera_.ConfigName);
    if (index < 0) return;
    switch (command) {
      case kSource:
        ConfigureSource(owner, index);
        break;
      case kFormat:
        ConfigureFormat(owner, index);
        break;
      case kCapabilities: {
        host::CameraRecord& camera = host::State().CameraTable[static_cast<size_t>(index)];
        frames::GateHold hold(camera.Gate);
        capture::DumpCameraCapabilities(camera);
        break;
      }
      default:
        break;
    }
  } catch (...) {
  }
}

void Sheet::Save() {
  frames::GateHold hold(camera_.Gate);
  SaveSettings(camera_);
}

}  // namespace kelvane::configure
