#pragma once

#include <cstdint>

#include "host/state.h"

namespace kelvane::host {

enum class SnapshotResult {
  Delivered,   // the image was delivered, or its delivery is left to the CompleteCallback
  NotRunning,  // the graph did not reach the running state: no image will come
  NoImage,     // the wait ended without the image
  DeviceLost,  // the camera left while the grab waited (unplugged): no image will come
};

// Starts the graph and, without a CompleteCallback, waits for the image of the
// grab armed with `sequence`.
SnapshotResult Snapshot(CameraRecord& camera, int32_t timeoutMs, uint32_t sequence);

// How long a synchronous wait for an image of the camera lasts: `timeoutMs`
// (else the camera's Timeout, 2000 ms when not positive) plus the frames the
// settings ask for at the camera's frame interval. Call with the camera's gate held.
int32_t GrabBound(const CameraRecord& camera, int32_t timeoutMs);

// The trigger of the port's camera on or off; what setHWTrigger does after its port check.
int32_t SwitchTrigger(CameraRecord& camera, int32_t enable);

}  // namespace kelvane::host
