// What the library and its user-interface module (libkelvane-ui.so, loaded on
// demand) hand each other. The module links no part of the library: it sees
// the dialog, the sheet and the driver's pages only through these abstract
// classes, whose logic (loading, validation, data exchange, apply) lives in
// the library. Both sides are built together from one tree, so passing C++
// objects (std::string, std::vector) across is safe; kUiBridgeVersion guards
// against a module left over from another build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane::configure {

inline constexpr int kUiBridgeVersion = 1;

// ---- the configuration dialog -----------------------------------------------------------------------

struct DialogSelection {
  bool selected = false;  // false: no entry; state text and check box are cleared
  std::string state;      // "OPEN" or "CLOSED"
  bool color = false;
};

class DialogModel {
 public:
  virtual int CameraCount() = 0;
  virtual std::string CameraName(int index) = 0;
  // Read afresh from the camera table at each selection (index -1: none).
  virtual DialogSelection Select(int index) = 0;
  // Sets Color and saves the camera's whole settings block at once.
  virtual void SetColor(int index, bool on) = 0;
  // The Source and Format actions, with `owner` (a widget) owning the driver's frame.
  virtual void Source(int index, void* owner) = 0;
  virtual void Format(int index, void* owner) = 0;
  virtual void Capabilities(int index) = 0;

 protected:
  ~DialogModel() = default;
};

// ---- the property sheet -----------------------------------------------------------------------------

// A control's value as the widgets hold it: check boxes 0 or 1, lists the
// selected index (-1: none), edits their text.
struct ControlValue {
  int id = 0;
  int value = 0;
  std::string text;
};

struct TransferError {
  int control = 0;      // the control that gets the focus
  std::string warning;  // the warning box's text
};

class PageModel {
 public:
  virtual const char* Title() = 0;
  // The member behind a control, as the control shows it: check boxes and
  // lists as numbers, edits as their decimal text; the state text (1004).
  virtual int Member(int id) = 0;
  virtual std::string Text(int id) = 0;
  virtual bool Enabled(int id) = 0;
  // The controls in the order the data exchange visits them.
  virtual std::vector<int> ExchangeOrder() = 0;
  // Takes the controls' values into the members in exchange order. At the
  // first bad value it stops: false, and `error` names the control and the
  // warning; members of later controls keep their values.
  virtual bool Transfer(const std::vector<ControlValue>& controls, TransferError* error) = 0;

 protected:
  ~PageModel() = default;
};

class SheetModel {
 public:
  virtual std::string Caption() = 0;
  virtual int PageCount() = 0;
  virtual PageModel& Page(int index) = 0;
  // The page is shown for the first time: from now on it is applied on OK and Apply.
  virtual void Shown(int index) = 0;
  // A control of the page changed: the sheet has something to apply.
  virtual void MarkModified(int index) = 0;
  virtual bool Unapplied() = 0;
  // Applies every page shown so far (after a successful transfer of the current one).
  virtual void Apply() = 0;
  // A General page button: Source (which sets the state text to "STOPPED"
  // first), Format or Capabilities, with `owner` owning the driver's frame.
  virtual void Action(int command, void* owner) = 0;

 protected:
  ~SheetModel() = default;
};

// ---- the driver's property pages ---------------------------------------------------------------------

struct SourceProperty {
  int index = 0;  // of the 23 named properties
  std::string name;
  int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
  bool canAuto = false, automatic = false;
};

struct FrameRate {
  std::string text;      // "15.00 fps"
  int32_t code = -1;     // the driver's frame-rate code, or -1
  int64_t interval = 0;  // 100-ns units
};

struct FormatEntry {
  std::string text;  // "YUY2 640 x 480", "RAW8 free region up to 1024 x 768"
  bool freeRegion = false;
  int32_t maxWidth = 0, maxHeight = 0, unitX = 1, unitY = 1;
  uint32_t packetMin = 0, packetMax = 0;  // both 0: no packet size to choose
  // A free region as the driver holds it for this entry, shown when the entry
  // is chosen (so that OK without an edit keeps the camera's packet size);
  // 0 where the driver does not say.
  int32_t left = 0, top = 0, width = 0, height = 0;
  uint32_t packet = 0;
  std::vector<FrameRate> rates;
};

struct FormatChoice {
  int entry = -1;
  int rate = -1;                                     // index into the entry's rates; -1 keeps the rate
  int32_t left = 0, top = 0, width = 0, height = 0;  // free region
  uint32_t packet = 0;                               // 0 keeps the packet size
};

class DriverPage {
 public:
  enum class Kind { Source, Format };
  virtual Kind PageKind() = 0;
  virtual const char* Title() = 0;
  // Source page.
  virtual std::vector<SourceProperty> Properties() = 0;
  // Writes one property through the camera's property interfaces; "" or why not.
  virtual std::string SetProperty(int index, int32_t value, bool automatic) = 0;
  // Format page.
  virtual std::vector<FormatEntry> Formats() = 0;
  virtual FormatChoice CurrentFormat() = 0;
  // Sets the format through the format or stream-configuration interface; "" or why not.
  virtual std::string SetFormat(const FormatChoice& choice) = 0;

 protected:
  ~DriverPage() = default;
};

// ---- the module's entry -------------------------------------------------------------------------------

struct UiModule {
  int version = kUiBridgeVersion;
  // Empty when a window can be shown on the calling thread, else why not.
  std::string (*CannotShow)() = nullptr;
  void (*RunDialog)(DialogModel& dialog) = nullptr;
  void (*RunSheet)(SheetModel& sheet) = nullptr;
  // A modal frame with the pages; returns when the user closes it.
  void (*RunPropertyFrame)(void* owner, const std::string& caption, const std::vector<DriverPage*>& pages) = nullptr;
};

// The one name the module exports.
inline constexpr const char* kUiEntryName = "kelvane_ui_module";
using UiEntry = const UiModule* (*)();

}  // namespace kelvane::configure
