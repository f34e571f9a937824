// The device backends behind the seam, and the choice between them: the
// simulated bus ("sim"), this machine's V4L2 cameras ("v4l2") or its IIDC
// cameras ("iidc": IEEE 1394 and USB, through libdc1394).
#pragma once

#include <string>
#include <string_view>

namespace kelvane::platform {

struct BackendChoice {
  std::string name;     // "sim", "v4l2" or "iidc": what DefaultPlatform() gives from now on
  std::string message;  // one line for the host: which backend, and why
};

// Chooses the backend. `requested` is "sim", "v4l2", "iidc", or "auto" (or
// empty): auto takes the IIDC cameras when the machine has any, else its V4L2
// cameras when it has any, else the simulated bus. An unknown name is said in the message and taken as auto; `source`
// names where the request came from, for that message.
BackendChoice ChooseBackend(std::string_view requested, std::string_view source);

// The backend in use: "sim" until one is chosen.
std::string ActiveBackendName();

}  // namespace kelvane::platform
