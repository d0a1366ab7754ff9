// Where the shared code's few diagnostics go ("Incremented: 2", "Could not
// create mutex: 5", a refused object, ...). By default informational lines go
// to standard output and warnings to standard error, as the control
// application and the Windows DLL write them. A program whose standard output
// must stay clean routes them elsewhere: the GStreamer plugin runs inside
// client programs that may be writing video to theirs, and logs through
// GStreamer's debug log instead.
#pragma once

namespace DriverLog {

enum class Level { Info, Warning };

using Sink = void (*)(Level level, const char* line);

// Replaces the default destination for the whole process (null restores it).
// Set it once, before the shared objects are used.
void setSink(Sink sink);

// One line, printf-style, without its newline.
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((format(printf, 2, 3)))
#endif
void write(Level level, const char* format, ...);

} // namespace DriverLog
