#include "diagnostics/diagnostics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

std::vector<std::string> g_messages;
int32_t Collect(const char* message) {
  g_messages.emplace_back(message);
  return 0;
}

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_messages.clear();
    SetMessageSink(Collect);
  }
  void TearDown() override { SetMessageSink(nullptr); }
};

TEST_F(DiagnosticsTest, DeliversTheTextExactlyAsFormatted) {
  DebugPrint("OPEN %s\r\n", "Cam A");
  DebugPrint("%-25s %s\r\n", "BacklightCompensation", "S_OK");
  DebugPrint("no line end");
  ASSERT_EQ(g_messages.size(), 3u);
  EXPECT_EQ(g_messages[0], "OPEN Cam A\r\n");
  EXPECT_EQ(g_messages[1], "BacklightCompensation     S_OK\r\n");
  EXPECT_EQ(g_messages[2], "no line end");
}

TEST_F(DiagnosticsTest, LongTextsAreCutTo511Characters) {
  std::string name(600, 'x');
  DebugPrint("%s\r\n", name.c_str());
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], std::string(511, 'x'));
}

TEST_F(DiagnosticsTest, FailureLineCarriesStepNameAndValue) {
  LogFailure("SetStreamConfig", static_cast<int32_t>(0x80004005u));
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], "SetStreamConfig - E_FAIL [0x80004005]\r\n");
}

TEST_F(DiagnosticsTest, WithoutASinkNothingIsCalled) {
  SetMessageSink(nullptr);
  DebugPrint("%s", "lost");
  EXPECT_TRUE(g_messages.empty());
  EXPECT_EQ(SetMessageSink(Collect), Collect);
}

}  // namespace
}  // namespace kelvane
