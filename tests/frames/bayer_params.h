// The demosaicing algorithms and pattern codes as test parameters, each case
// named after them ("HqLinear_Bggr"), so a failure says which one it is.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>

#include "frames/demosaic.h"

namespace kelvane::frames {

inline constexpr BayerAlgorithm kEveryAlgorithm[] = {BayerAlgorithm::BilinearOrig, BayerAlgorithm::Nearest,
                                                     BayerAlgorithm::Bilinear, BayerAlgorithm::HqLinear,
                                                     BayerAlgorithm::Simple};
inline constexpr BayerPattern kEveryPattern[] = {BayerPattern::Bggr, BayerPattern::Grbg, BayerPattern::Gbrg,
                                                 BayerPattern::Rggb};

using AlgorithmAndPattern = std::tuple<BayerAlgorithm, BayerPattern>;

// How gtest shows a parameter in a failure message.
inline void PrintTo(BayerAlgorithm a, std::ostream* os) { *os << BayerAlgorithmName(a); }
inline void PrintTo(BayerPattern p, std::ostream* os) { *os << BayerPatternName(p); }

inline std::string CaseName(BayerAlgorithm a, BayerPattern p) {
  return std::string(BayerAlgorithmName(a)) + "_" + BayerPatternName(p);
}

// Name generators for INSTANTIATE_TEST_SUITE_P.
inline std::string AlgorithmName(const testing::TestParamInfo<BayerAlgorithm>& info) {
  return BayerAlgorithmName(info.param);
}
inline std::string AlgorithmAndPatternName(const testing::TestParamInfo<AlgorithmAndPattern>& info) {
  return CaseName(std::get<0>(info.param), std::get<1>(info.param));
}

inline auto AlgorithmPatternPairs() {
  return testing::Combine(testing::ValuesIn(kEveryAlgorithm), testing::ValuesIn(kEveryPattern));
}

}  // namespace kelvane::frames
