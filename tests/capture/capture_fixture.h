// Common ground of the capture tests: a fresh bus at the stepped rate, no
// faults, the library's messages captured, cameras discovered into records the
// test owns, and a check that everything the test took from the simulation was
// given back once those records are gone.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/camera_record.h"
#include "capture/discovery.h"
#include "diagnostics/diagnostics.h"
#include "platform/factory.h"
#include "platform/sim/sim.h"

namespace kelvane::capture::testing {

using namespace kelvane::platform;

inline std::mutex g_logMutex;
inline std::vector<std::string> g_log;

inline int32_t CaptureLog(const char* text) {
  std::lock_guard lock(g_logMutex);
  g_log.emplace_back(text);
  return 0;
}

inline void DropPlatformMessage(const char*) {}

inline sim::Fault MakeFault(std::string operation, std::string scope, int count = 1, HRESULT result = E_FAIL) {
  sim::Fault f;
  f.operation = std::move(operation);
  f.scope = std::move(scope);
  f.count = count;
  f.result = result;
  return f;
}

// A fault on the call after the first `after` matching calls.
inline sim::Fault LaterFault(std::string operation, std::string scope, int after) {
  sim::Fault f = MakeFault(std::move(operation), std::move(scope));
  f.after = after;
  return f;
}

inline sim::Fault RaiseFault(std::string operation, std::string scope, std::string text) {
  sim::Fault f = MakeFault(std::move(operation), std::move(scope));
  f.raise = std::move(text);
  return f;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::LoadDefaultBus();
    sim::ClearFaults();
    sim::SetRate(sim::Rate::Stepped);
    ClearLog();
    SetMessageSink(CaptureLog);
    SetPlatformMessageSink(DropPlatformMessage);
    objects_ = sim::LiveObjects();
    references_ = sim::OutstandingReferences();
  }

  void TearDown() override {
    records_.clear();
    sim::ClearFaults();
    sim::SetRate(sim::Rate::Stepped);
    SetMessageSink(nullptr);
    SetPlatformMessageSink(nullptr);
    EXPECT_EQ(sim::LiveObjects(), objects_) << "simulated objects leaked";
    EXPECT_EQ(sim::OutstandingReferences(), references_) << "references leaked";
  }

  static void LoadBus(const std::string& json) {
    ASSERT_TRUE(sim::LoadBusFromText(json, "test bus")) << sim::LastBusError();
  }

  static std::vector<std::string> Log() {
    std::lock_guard lock(g_logMutex);
    return g_log;
  }
  static void ClearLog() {
    std::lock_guard lock(g_logMutex);
    g_log.clear();
  }
  static bool Logged(const std::string& line) {
    for (const auto& l : Log())
      if (l == line) return true;
    return false;
  }

  // Discovers the bus into fresh records, as start-up does.
  HRESULT Enumerate(uint32_t maximum = kMaxCameras) {
    records_.clear();
    CameraRecord* table[kMaxCameras];
    for (auto& slot : table) {
      records_.push_back(std::make_unique<CameraRecord>());
      slot = records_.back().get();
    }
    for (auto& name : names_) name = nullptr;
    count_ = 0;
    return EnumCameras(maximum, table, &count_, names_);
  }

  std::vector<std::string> ConfigNames() const {
    std::vector<std::string> v;
    for (uint32_t i = 0; i < count_; ++i) v.emplace_back(names_[i] ? names_[i] : "(null)");
    return v;
  }

  // The record of the camera with this friendly name, after Enumerate.
  CameraRecord& Camera(const std::string& friendly) {
    for (uint32_t i = 0; i < count_; ++i)
      if (friendly == records_[i]->FriendlyName) return *records_[i];
    ADD_FAILURE() << "no camera " << friendly;
    return *records_.at(0);
  }

  std::vector<std::unique_ptr<CameraRecord>> records_;
  char* names_[kMaxCameras] = {};
  uint32_t count_ = 0;

 private:
  int64_t objects_ = 0;
  int64_t references_ = 0;
};

}  // namespace kelvane::capture::testing
