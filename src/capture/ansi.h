#pragma once

#include <cstddef>
#include <string>

namespace kelvane::capture {

// A device's friendly name in the ANSI code page, into a fixed buffer:
// Latin-1 code units pass, others become '?'; cut to capacity - 1 characters.
inline void ToAnsi(const std::u16string& text, char* out, size_t capacity) {
  size_t n = 0;
  for (char16_t c : text) {
    if (n + 1 >= capacity) break;
    out[n++] = c < 0x100 ? static_cast<char>(c) : '?';
  }
  out[n] = '\0';
}

}  // namespace kelvane::capture
