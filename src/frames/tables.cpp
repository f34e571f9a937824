#include "frames/tables.h"

#include <cmath>
#include <mutex>
#include <vector>

namespace kelvane::frames {

const YuvTables& GetYuvTables() {
  // A function-local static is initialised exactly once, even under concurrent first calls.
  static const YuvTables tables = [] {
    YuvTables t{};
    for (int32_t i = 0; i < 256; ++i) {
      t.Y[i] = 298 * (i - 16);
      t.Rv[i] = 409 * (i - 128);
      t.Gu[i] = 100 * (i - 128);
      t.Gv[i] = 208 * (i - 128);
      t.Bu[i] = 516 * (i - 128);
    }
    return t;
  }();
  return tables;
}

const uint8_t* GetGreyTable() {
  static const std::vector<uint8_t> table = [] {
    std::vector<uint8_t> t(kGreyTableSize);
    for (int k = 0; k < kGreyTableSize; ++k) t[k] = static_cast<uint8_t>(k / 3);
    return t;
  }();
  return table.data();
}

LutInfo LutFor(int32_t lut) {
  switch (lut) {
    case 0: return {16, false, true};
    case 1: return {10, false, false};
    case 2: return {12, false, false};
    case 3: return {14, false, false};
    case 4: return {16, false, false};
    case 5: return {10, true, false};
    case 6: return {12, true, false};
    case 7: return {14, true, false};
    case 8: return {16, true, false};
    default: return {16, false, false};
  }
}

namespace {

std::vector<uint8_t> BuildMapTable(bool logarithmic, int32_t bits) {
  const size_t entries = size_t{1} << bits;
  // Zero padding after the last entry lets vector code read a 4-byte word at any entry.
  std::vector<uint8_t> t(entries + 4);
  if (!logarithmic) {
    for (size_t i = 0; i < entries; ++i) t[i] = static_cast<uint8_t>(i >> (bits - 8));
    return t;
  }
  // 255.999 rather than 256 keeps the last entry at 255 after truncation.
  const double k = 255.999 / std::log(1.0 + static_cast<double>(entries - 1) / 256.0);
  for (size_t i = 0; i < entries; ++i)
    t[i] = static_cast<uint8_t>(k * std::log(1.0 + static_cast<double>(i) / 256.0));
  return t;
}

}  // namespace

const uint8_t* GetMapTable(bool logarithmic, int32_t bits) {
  if (bits != 10 && bits != 12 && bits != 14 && bits != 16) return nullptr;
  const int index = (logarithmic ? 4 : 0) + (bits - 10) / 2;
  static std::once_flag once[8];
  static std::vector<uint8_t> tables[8];
  std::call_once(once[index], [&] { tables[index] = BuildMapTable(logarithmic, bits); });
  return tables[index].data();
}

}  // namespace kelvane::frames
