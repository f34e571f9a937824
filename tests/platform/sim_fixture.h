// Common ground of the simulated platform's tests: a fresh default bus, no
// faults, captured platform messages, and a check that the test gave back
// every object it took.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow.h"
#include "platform/factory.h"
#include "platform/firei.h"
#include "platform/sim/sim.h"

namespace kelvane::sim::testing {

using namespace kelvane::platform;

inline std::mutex g_messagesMutex;
inline std::vector<std::string> g_messages;

inline void CaptureMessage(const char* text) {
  std::lock_guard lock(g_messagesMutex);
  g_messages.emplace_back(text);
}

inline std::string DataFile(const char* name) { return std::string(KELVANE_TEST_DATA) + "/" + name; }

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadDefaultBus();
    ClearFaults();
    SetRate(Rate::Stepped);
    {
      std::lock_guard lock(g_messagesMutex);
      g_messages.clear();
    }
    SetPlatformMessageSink(CaptureMessage);
    objects_ = LiveObjects();
    references_ = OutstandingReferences();
  }
  void TearDown() override {
    SetPlatformMessageSink(nullptr);
    ClearFaults();
    EXPECT_EQ(LiveObjects(), objects_) << "objects leaked";
    EXPECT_EQ(OutstandingReferences(), references_) << "references leaked";
  }

  static std::vector<std::string> Messages() {
    std::lock_guard lock(g_messagesMutex);
    return g_messages;
  }

  // Binds the camera with this friendly name as a filter, or fails the test.
  static ComPtr<IBaseFilter> BindCamera(const std::string& name) {
    ComPtr<IBaseFilter> filter;
    ComPtr<ICreateDevEnum> devices;
    EXPECT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, ICreateDevEnum::iid, devices.PutVoid()), S_OK);
    if (!devices) return filter;
    ComPtr<IEnumMoniker> list;
    if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Put(), 0) != S_OK) return filter;
    ComPtr<IMoniker> moniker;
    ULONG fetched = 0;
    while (list->Next(1, moniker.Put(), &fetched) == S_OK) {
      ComPtr<IPropertyBag> bag;
      std::u16string friendly;
      if (FAILED(moniker->BindToStorage(IPropertyBag::iid, bag.PutVoid()))) continue;
      if (FAILED(bag->Read(u"FriendlyName", &friendly))) continue;
      if (friendly == std::u16string(name.begin(), name.end())) {
        EXPECT_EQ(moniker->BindToObject(IBaseFilter::iid, filter.PutVoid()), S_OK);
        return filter;
      }
    }
    ADD_FAILURE() << "no camera named " << name;
    return filter;
  }

  static ComPtr<IPin> OutputPin(IBaseFilter* filter) {
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> pin;
    if (FAILED(filter->EnumPins(pins.Put()))) return pin;
    ULONG n = 0;
    while (pins->Next(1, pin.Put(), &n) == S_OK) {
      PIN_DIRECTION d;
      if (SUCCEEDED(pin->QueryDirection(&d)) && d == PINDIR_OUTPUT) return pin;
    }
    pin.Reset();
    return pin;
  }

 private:
  int64_t objects_ = 0;
  int64_t references_ = 0;
};

}  // namespace kelvane::sim::testing
