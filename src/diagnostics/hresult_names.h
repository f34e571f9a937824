#pragma once

#include <cstdint>
#include <span>

namespace kelvane {

// One row of the HRESULT name table: the status value as its 32 bits, and the
// identifier under which the platform headers define it.
struct HResultNameEntry {
  uint32_t code;
  const char* name;
};

// The whole table (generated in hresult_names.cpp), strictly ascending by code.
std::span<const HResultNameEntry> HResultNameTable() noexcept;

// Symbolic name of an HRESULT by exact 32-bit match; "Unknown" for any value
// not in the table. Never null; the string is static.
const char* HResultName(int32_t hr) noexcept;

}  // namespace kelvane
