#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

std::uint32_t logMask = 0;

void logMessage(std::uint32_t mask, const char* format, ...) {
    if ((mask & logMask) == 0) return;
    // Nobody listening (Linux without OMBRIX_LOG): no line is formatted.
    if (!platform::debugOutputWanted()) return;
    static constexpr char kPrefix[] = "OMBRIX: ";
    // 1,022 characters of message at most; longer output is cut.
    char line[sizeof kPrefix - 1 + 1023];
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + sizeof kPrefix - 1, 1023, format, args);
    va_end(args);
    platform::debugOutput(line);
}
