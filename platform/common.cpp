// Platform services built from the system-specific ones.
#include "platform/platform.h"

namespace platform {

bool readWholeFile(const char* path, std::uint8_t* data, std::uint32_t size, int& lastError) {
    InputFile file;
    std::uint64_t actual = 0;
    if (!openForRead(path, file, lastError) || !fileSize(file, actual, lastError)) return false;
    // A file that has grown or shrunk since its size was taken is refused
    // rather than stored cut short.
    if (actual != size || !readAll(file, data, size, lastError) || !atEnd(file)) {
        lastError = 0;
        return false;
    }
    return true;
}

std::uint64_t fingerprint(const std::uint8_t* data, std::size_t size, std::uint64_t from) {
    for (std::size_t i = 0; i < size; ++i) from = (from ^ data[i]) * 0x100000001b3u;
    return from;
}

OutputFile::~OutputFile() { finishOutputFile(*this, false); }

}  // namespace platform
