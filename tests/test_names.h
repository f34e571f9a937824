// Names for the cases of a parameterised test, so that each case of a table
// runs as its own test and a failure names it:
// Cases/DecompressorChoiceTest.DecompressorFollowsCameraSubtypeColourAndRawMode/FireIColourYUY2ItsDecompressor
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kelvane::tests {

// A case's description as a test name: its words joined, each begun with a
// capital ("Fire-i colour YUY2: its decompressor" gives
// "FireIColourYUY2ItsDecompressor"). Anything but an ASCII letter, digit or
// underscore separates words; gtest takes nothing else in a name.
inline std::string TestName(std::string_view what) {
  std::string name;
  bool wordStart = true;
  for (const char ch : what) {
    const bool lower = ch >= 'a' && ch <= 'z';
    const bool kept = lower || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
    if (ch == '\'') continue;  // "section's" is one word
    if (!kept) {
      wordStart = true;
      continue;
    }
    const bool digit = ch >= '0' && ch <= '9';
    // Numbers of two words stay apart: "Y411 640x480" gives "Y411_640x480".
    if (wordStart && digit && !name.empty() && name.back() >= '0' && name.back() <= '9') name += '_';
    name += wordStart && lower ? static_cast<char>(ch - 'a' + 'A') : ch;
    wordStart = false;
  }
  return name.empty() ? std::string("Unnamed") : name;
}

// The name generator of a table whose cases carry their description in `what`.
// Two cases of one name stop the test program at start-up, so a table cannot
// quietly lose a case to a clash.
struct NameFromWhat {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return TestName(info.param.what);
  }
};

}  // namespace kelvane::tests
