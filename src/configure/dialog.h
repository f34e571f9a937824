// The camera configuration dialog's plain logic: the camera list, the state
// and colour of the selected camera, and its actions.
#pragma once

#include "configure/ui_bridge.h"

namespace kelvane::configure {

class Dialog final : public DialogModel {
 public:
  int CameraCount() override;
  std::string CameraName(int index) override;
  DialogSelection Select(int index) override;
  void SetColor(int index, bool on) override;
  void Source(int index, void* owner) override;
  void Format(int index, void* owner) override;
  void Capabilities(int index) override;
};

}  // namespace kelvane::configure
