#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

std::uint32_t logMask = 0;

namespace {

// The last error line of this thread, for a host that shows the user why a
// call failed. A plain array: mingw's thread_local objects with destructors
// are not safe in a DLL that is unloaded.
thread_local char lastError[1023];

}  // namespace

void logMessage(std::uint32_t mask, const char* format, ...) {
    // An error line is kept whatever the log level: it is the reason a host
    // can show for the failure that follows.
    const bool keep = mask == kLogError;
    const bool write = (mask & logMask) != 0 && platform::debugOutputWanted();
    // Nobody listening (Linux without OMBRIX_LOG): no line is formatted.
    if (!keep && !write) return;
    static constexpr char kPrefix[] = "OMBRIX: ";
    // 1,022 characters of message at most; longer output is cut.
    char line[sizeof kPrefix - 1 + 1023];
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + sizeof kPrefix - 1, 1023, format, args);
    va_end(args);
    if (keep) {
        const char* message = line + sizeof kPrefix - 1;
        std::size_t n = std::strlen(message);
        while (n > 0 && (message[n - 1] == '\n' || message[n - 1] == '\r')) --n;
        std::memcpy(lastError, message, n);
        lastError[n] = 0;
    }
    if (write) platform::debugOutput(line);
}

void clearLastError() { lastError[0] = 0; }

const char* lastErrorLine() { return lastError; }
