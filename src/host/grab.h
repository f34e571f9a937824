#pragma once

#include <cstdint>

#include "host/state.h"

namespace kelvane::host {

// Starts the graph and, without a CompleteCallback, waits for the image of the
// grab armed with `sequence`. 0: image delivered (or left to the callback);
// 1: the graph did not reach the running state; E_FAIL: the wait ended without it.
int32_t Snapshot(CameraRecord& camera, int32_t timeoutMs, uint32_t sequence);

// The trigger of the port's camera on or off; what setHWTrigger does after its port check.
int32_t SwitchTrigger(CameraRecord& camera, int32_t enable);

}  // namespace kelvane::host
