// The captions, list entries, state texts and ranges of the configuration
// dialog and the property sheet. Shared by the plain page logic and the
// widgets, so both show exactly the same words.
#pragma once

#include <cstdint>

namespace kelvane::configure {

// Control identifiers; the widgets carry them as object names ("control1003").
enum ControlId : int {
  kClose = 1,
  kSource = 1000,
  kFormat = 1001,
  kCapabilities = 1002,
  kCameraList = 1003,
  kState = 1004,
  kColor = 1005,
  kPointCount = 1006,
  kPointValue = 1007,
  kDeviation = 1008,
  kReacquisitions = 1009,
  kFrameCount = 1010,  // the skip count on the Filters page
  kRecursive = 1011,
  kCoefficient = 1012,
  kContinuous = 1013,
  kRawFormat = 1015,
  kAlgorithm = 1016,
  kTrigger = 1017,
  kLut = 1018,
};

// The string table.
inline constexpr const char* kTextClosed = "CLOSED";    // id 1
inline constexpr const char* kTextOpen = "OPEN";        // id 2
inline constexpr const char* kTextRunning = "RUNNING";  // id 5
inline constexpr const char* kTextStopped = "STOPPED";  // id 6

// The configuration dialog.
inline constexpr const char* kDialogCaption = "Camera Configuration";
inline constexpr const char* kDialogColor = "Color Images";
inline constexpr const char* kButtonSource = "Source";
inline constexpr const char* kButtonFormat = "Format";
inline constexpr const char* kButtonClose = "Close";
inline constexpr const char* kButtonCapabilities = "Capabilities";

// The General page.
inline constexpr const char* kGeneralTitle = "General";
inline constexpr const char* kGroupCamera = "Camera";
inline constexpr const char* kLabelState = "State";
inline constexpr const char* kGeneralColor = "COLOR Images";
inline constexpr const char* kGeneralContinuous = "Continous Video Stream";
inline constexpr const char* kGeneralTrigger = "HWtrigger support";
inline constexpr const char* kGroupDecoding = "Video Raw Format Decoding";
inline constexpr const char* kLabelAlgorithm = "Algorithm";
inline constexpr const char* kLabelRawFormat = "Raw format";
inline constexpr const char* kLabelLut = "LUT";
inline constexpr const char* kGroupDirectX = "DirectX Configuration";
inline constexpr const char* kAlgorithmEntries[] = {"Bilinear Interpolation (orig)", "Nearest Neighbor",
                                                    "Bilinear Interpolation", "HQ Linear", "Simple"};
inline constexpr const char* kRawFormatEntries[] = {"None", "Bayer RGGB", "Bayer GRBG", "Bayer GBRG", "Bayer BGGR"};
inline constexpr const char* kLutEntries[] = {"None",
                                              "Linear 10 bit",
                                              "Linear 12 bit",
                                              "Linear 14 bit",
                                              "Linear 16 bit",
                                              "Logaritmic 10 bit",
                                              "Logaritmic 12 bit",
                                              "Logaritmic 14 bit",
                                              "Logaritmic 16 bit"};

// The Image Averaging page.
inline constexpr const char* kAverageTitle = "Image Averaging";
inline constexpr const char* kGroupAveraging = "Averaging";
inline constexpr const char* kLabelFrameCount = "Number of images to average";
inline constexpr const char* kLabelCoefficient = "Coeffecient [%]";
inline constexpr const char* kRecursiveFilter = "Recursive filter";

// The Filters page.
inline constexpr const char* kFiltersTitle = "Filters";
inline constexpr const char* kGroupStatic = "Static Image Detection";
inline constexpr const char* kLabelDeviation = "Allowed deviation from detection value";
inline constexpr const char* kLabelReacquisitions = "Max reaquisitions when static image";
inline constexpr const char* kLabelPointValue = "Value of checked point";
inline constexpr const char* kLabelPointCount = "No of points in linear detection";
inline constexpr const char* kGroupTriggerDelay = "Trigger Delay";
inline constexpr const char* kLabelSkipCount = "Number of images to skip after trigger";

// The warnings of the data exchange.
inline constexpr const char* kWarnNumber = "Enter a whole number.";
inline constexpr const char* kWarnRangeFormat = "Enter a whole number from %d to %d.";

// The driver's pages.
inline constexpr const char* kSourcePageTitle = "Source";
inline constexpr const char* kFormatPageTitle = "Format";

}  // namespace kelvane::configure
