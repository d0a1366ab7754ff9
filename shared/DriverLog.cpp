#include "DriverLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace DriverLog {
namespace {

std::atomic<Sink> g_sink {nullptr};

} // namespace

void setSink(Sink sink)
{
    g_sink.store(sink, std::memory_order_release);
}

void write(Level level, const char* format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (const Sink sink = g_sink.load(std::memory_order_acquire)) {
        sink(level, line);
        return;
    }
    FILE* stream = level == Level::Info ? stdout : stderr;
    std::fprintf(stream, "%s\n", line);
    std::fflush(stream);
}

} // namespace DriverLog
