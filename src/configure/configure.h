// The configuration exports' logic: the dialog and the property sheet shown
// through the user-interface module when one can be shown, else today's text
// through the message sink.
#pragma once

#include <string>

#include "configure/ui_bridge.h"

namespace kelvane::configure {

// The user-interface module beside the library, loaded on first use; null
// with the reason when it cannot be loaded.
const UiModule* LoadUi(std::string* reason);

// Makes the exports use `ui` instead of the module (tests that script the
// user); null goes back to the module.
void SetUiForTesting(const UiModule* ui);

}  // namespace kelvane::configure
