// The camera property sheet's plain logic: the General, Image Averaging and
// Filters pages with their members, data exchange, ranges and apply.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "configure/ui_bridge.h"
#include "host/state.h"

namespace kelvane::configure {

// An edit's text as the data exchange reads it: at most 63 characters, leading
// white space skipped, a signed decimal integer, anything after it ignored.
// False when the text does not begin with an integer that fits 32 bits.
bool ParseEditInteger(const std::string& text, int32_t* value);

// One page: its controls in exchange order and the members behind them.
class SheetPage : public PageModel {
 public:
  enum class Kind { Check, List, Edit, Text };
  struct Field {
    int id;
    Kind kind;
    int32_t settings::CameraSettings::*setting;  // null: not applied (the state text)
    bool ranged;
    int32_t minimum, maximum;
    int entries;  // of a list
  };

  SheetPage(const char* title, std::vector<Field> fields, host::CameraRecord& camera);
  virtual ~SheetPage() = default;

  const char* Title() override { return title_; }
  int Member(int id) override;
  std::string Text(int id) override;
  bool Enabled(int id) override;
  std::vector<int> ExchangeOrder() override;
  bool Transfer(const std::vector<ControlValue>& controls, TransferError* error) override;

  // Writes the members into the camera's settings. Call with its gate held.
  virtual void Apply();
  void SetStateText(std::string text) { state_ = std::move(text); }

 protected:
  const char* title_;
  std::vector<Field> fields_;
  std::vector<int32_t> members_;
  std::string state_;
  host::CameraRecord& camera_;
};

// The sheet of one camera. The pages load their members from the camera's
// settings when it is made.
class Sheet final : public SheetModel {
 public:
  Sheet(int index, std::string caption);

  std::string Caption() override { return caption_; }
  int PageCount() override { return static_cast<int>(pages_.size()); }
  PageModel& Page(int index) override { return *pages_.at(static_cast<size_t>(index)); }
  void Shown(int index) override;
  void MarkModified(int index) override;
  bool Unapplied() override { return unapplied_; }
  void Apply() override;
  void Action(int command, void* owner) override;

  // Saves the camera's whole settings block (the sheet closes).
  void Save();
  SheetPage& General() { return *pages_[0]; }

 private:
  std::string caption_;
  host::CameraRecord& camera_;
  std::array<std::unique_ptr<SheetPage>, 3> pages_;
  std::array<bool, 3> shown_{};
  bool unapplied_ = false;
};

}  // namespace kelvane::configure
