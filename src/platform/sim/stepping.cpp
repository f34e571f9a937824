// Stepping a simulated camera frame by frame: the framework streams, the bus
// keeps each camera's granted frames and the streams that take its frames.
#include "platform/sim/internal.h"

namespace kelvane::sim {

bool Grant(const std::string& camera, int64_t frames) {
  auto device = FindDevice(camera);
  if (!device || frames < 0) return false;
  std::vector<std::shared_ptr<Stream>> streams;
  {
    MutexLock lock(device->Mutex());
    device->credits += frames;
    for (const auto& w : device->streams)
      if (auto s = w.lock()) streams.push_back(std::move(s));
  }
  for (const auto& s : streams) framework::WakeStream(*s);
  return true;
}

int64_t Credits(const std::string& camera) {
  auto device = FindDevice(camera);
  if (!device) return 0;
  MutexLock lock(device->Mutex());
  return device->credits;
}

StepResult Step(const std::string& camera) {
  auto device = FindDevice(camera);
  if (!device) return StepResult::NotRunning;
  std::vector<std::shared_ptr<Stream>> streams;
  {
    MutexLock lock(device->Mutex());
    for (const auto& w : device->streams)
      if (auto s = w.lock()) streams.push_back(std::move(s));
  }
  for (const auto& s : streams) {
    switch (framework::StepStream(*s)) {
      case framework::StepOutcome::Delivered:
        return StepResult::Delivered;
      case framework::StepOutcome::NoFrame:
        return StepResult::NoFrame;
      case framework::StepOutcome::NotRunning:
        break;
    }
  }
  return StepResult::NotRunning;
}

}  // namespace kelvane::sim
