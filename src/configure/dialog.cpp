#include "configure/dialog.h"

#include "capture/property_store.h"
#include "configure/actions.h"
#include "configure/texts.h"
#include "host/state.h"

namespace kelvane::configure {

namespace {

host::CameraRecord* CameraAt(int index) {
  host::HostState& s = host::State();
  if (index < 0 || static_cast<uint32_t>(index) >= s.CameraCount.load(std::memory_order_acquire)) return nullptr;
  return &s.CameraTable[static_cast<size_t>(index)];
}

}  // namespace

int Dialog::CameraCount() { return static_cast<int>(host::State().CameraCount.load(std::memory_order_acquire)); }

std::string Dialog::CameraName(int index) {
  host::CameraRecord* camera = CameraAt(index);
  return camera ? camera->ConfigName : "";
}

DialogSelection Dialog::Select(int index) {
  DialogSelection selection;
  host::CameraRecord* camera = CameraAt(index);
  if (!camera) return selection;
  selection.selected = true;
  {
    host::HostState& s = host::State();
    MutexLock lock(s.TableMutex);
    selection.state = s.CameraMutex[static_cast<size_t>(index)].Held() ? kTextOpen : kTextClosed;
  }
  frames::GateHold hold(camera->Gate);
  host::AdoptPendingSettings(*camera);
  selection.color = camera->Settings.Color != 0;
  return selection;
}

void Dialog::SetColor(int index, bool on) {
  host::CameraRecord* camera = CameraAt(index);
  if (!camera) return;
  frames::GateHold hold(camera->Gate);
  host::AdoptPendingSettings(*camera);
  camera->Settings.Color = on ? 1 : 0;
  SaveSettings(*camera);
}

void Dialog::Source(int index, void* owner) {
  if (CameraAt(index)) ConfigureSource(owner, index);
}

void Dialog::Format(int index, void* owner) {
  if (CameraAt(index)) ConfigureFormat(owner, index);
}

void Dialog::Capabilities(int index) {
  host::CameraRecord* camera = CameraAt(index);
  if (!camera) return;
  frames::GateHold hold(camera->Gate);
  host::AdoptPendingSettings(*camera);
  capture::DumpCameraCapabilities(*camera);
}

}  // namespace kelvane::configure
