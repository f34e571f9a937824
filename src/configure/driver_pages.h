// The driver's Source and Format pages as plain objects, built from what an
// object (a camera filter or its capture pin) reports through the seam: its
// property ranges, its format list and stream capabilities. Any device
// backend's camera gets them; the widgets only show and collect.
#pragma once

#include <memory>
#include <vector>

#include "configure/ui_bridge.h"
#include "platform/dshow.h"

namespace kelvane::configure {

class DriverPageObject : public DriverPage {
 public:
  virtual ~DriverPageObject() = default;
};

// The pages for these page identifiers, in order; identifiers of pages this
// library cannot build are left out.
std::vector<std::unique_ptr<DriverPageObject>> MakeDriverPages(platform::IUnknown* object, const platform::CLSID* pages,
                                                               uint32_t count);

// IIDC frame-rate codes: 1.875 frames per second at code 0, doubling per code.
int64_t IntervalOfFpsCode(int32_t code);

}  // namespace kelvane::configure
