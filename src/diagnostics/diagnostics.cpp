#include "diagnostics/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kelvane {
namespace {
std::atomic<MessageSink> g_sink{nullptr};
}

MessageSink SetMessageSink(MessageSink sink) {
  g_sink.store(sink, std::memory_order_release);
  return sink;
}

MessageSink CurrentMessageSink() { return g_sink.load(std::memory_order_acquire); }

void DebugPrint(const char* format, ...) {
  MessageSink sink = CurrentMessageSink();
  if (!sink || !format) return;
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;  // an encoding error: nothing sensible to deliver
  sink(buffer);
}

void LogFailure(const char* step, int32_t hr) {
  DebugPrint("%s - %s [0x%x]\r\n", step, HResultName(hr), static_cast<unsigned>(hr));
}

}  // namespace kelvane
