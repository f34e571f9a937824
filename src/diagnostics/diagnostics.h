// The library's one diagnostic channel: texts handed to the host's message sink.
// Every subsystem reports through here, so it sits below all of them.
#pragma once

#include <cstdint>

#include "diagnostics/hresult_names.h"

namespace kelvane {

using MessageSink = int32_t (*)(const char* message);

// Installs the host's sink (null switches messages off); returns what was passed.
MessageSink SetMessageSink(MessageSink sink);
MessageSink CurrentMessageSink();

// printf-style; formats into a private 512-byte buffer (texts are cut to 511
// characters) and hands the text to the sink unchanged. Without a sink nothing
// is formatted. Callable from any thread.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "%s - %s [0x%x]\r\n": the failed step, the HRESULT's name, its value.
void LogFailure(const char* step, int32_t hr);

}  // namespace kelvane
