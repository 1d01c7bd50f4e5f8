// Conversions between CBM (PETSCII) names and host file names.
#include <cstring>

#include "core/log.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

std::uint8_t petsciiToHost(std::uint8_t c) {
    if (c == 0x20 || c == 0x21 || (c >= 0x23 && c <= 0x29) || (c >= 0x2B && c <= 0x2E) ||
        (c >= 0x30 && c <= 0x39) || c == 0x3B || c == 0x3D || c == 0x40 || c == 0x5B || c == 0x5D || c == 0xA0)
        return c;
    if (c >= 0x41 && c <= 0x5A) return static_cast<std::uint8_t>(c + 0x20);
    if (c >= 0xC1 && c <= 0xDA) return static_cast<std::uint8_t>(c - 0x80);
    return '_';
}

std::uint8_t hostToPetsciiChar(std::uint8_t c) {
    if ((c >= 0x20 && c <= 0x40) || c == '[' || c == ']') return c;
    if (c >= 'A' && c <= 'Z') return static_cast<std::uint8_t>(c + 0x80);
    if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 0x20);
    return 0x20;
}

bool equalsNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return *a == *b;
}

// ".PRG" -> 0x82, ".SEQ" -> 0x81, else 0. The text is mapped PETSCII, where
// the host's lower-case letters have become 0x41-0x5A.
std::uint8_t typeOfExtension(const char* dot) {
    if (equalsNoCase(dot, ".PRG")) return kTypePrg;
    if (equalsNoCase(dot, ".SEQ")) return kTypeSeq;
    return 0;
}

}  // namespace

void trimNamePad(std::uint8_t* name, int length, std::int32_t imageType) {
    const std::uint8_t pad = imageType == kTypeT64 ? kTapeNamePad : kDiskNamePad;
    for (int i = length - 1; i >= 0 && name[i] == pad; --i) name[i] = 0;
}

void convert(std::uint8_t* name, int length) {
    if (logMask & kLogTrace) {
        char before[kCbmNameLength + 1] = {};
        std::memcpy(before, name, static_cast<std::size_t>(length < kCbmNameLength ? length : kCbmNameLength));
        logMessage(kLogTrace, "convert: <%s>", before);
    }
    for (int i = 0; i < length && name[i] != 0; ++i) name[i] = petsciiToHost(name[i]);
}

void appendTypeExtension(char* hostName, std::uint8_t fileType) {
    static const char* const kExtensions[] = {".del", ".seq", ".prg", ".usr", ".rel"};
    if (appendPrgExtension != 0 || fileType == kTypeScratched)
        std::strcat(hostName, ".prg");
    else if (fileType >= kTypeDel && fileType <= kTypeRel)
        std::strcat(hostName, kExtensions[fileType - kTypeDel]);
}

void hostToPetscii(std::uint8_t* name, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) name[i] = hostToPetsciiChar(name[i]);
}

bool buildHostName(const std::uint8_t* convertedName, std::uint8_t fileType, char* out, std::size_t outSize) {
    char plain[kCbmNameLength + 8] = {};
    std::size_t n = 0;
    while (n < kCbmNameLength && convertedName[n] != 0) ++n;
    std::memcpy(plain, convertedName, n);
    appendTypeExtension(plain, fileType);
    std::size_t o = 0;
    for (const char* p = plain; *p; ++p) {
        const auto c = static_cast<std::uint8_t>(*p);
#ifdef _WIN32
        if (o + 1 >= outSize) return false;
        out[o++] = static_cast<char>(c);
#else
        // Linux host names are UTF-8: the one byte above 0x7F that survives
        // the conversion, 0xA0, travels as U+00A0.
        if (c == 0xA0) {
            if (o + 2 >= outSize) return false;
            out[o++] = static_cast<char>(0xC2);
            out[o++] = static_cast<char>(0xA0);
            continue;
        }
        if (o + 1 >= outSize) return false;
        out[o++] = static_cast<char>(c);
#endif
    }
    out[o] = 0;
    return true;
}

bool buildRequestName(const char* destPath, const char* destName, char* out, std::size_t outSize) {
    out[0] = 0;
    if (!destName) return false;
    const char* name = destName;
    if (!destPath) {
        const char* sep = std::strrchr(destName, platform::kPathSeparator);
        if (sep) name = sep + 1;
    }
    const std::size_t len = std::strlen(name);
    if (len >= outSize) return false;
    std::memcpy(out, name, len + 1);
    return true;
}

void splitHostNameForAdding(const char* hostName, CbmName& out) {
    char mapped[platform::kMaxPath] = {};
    std::size_t len = std::strlen(hostName);
    if (len >= sizeof mapped) len = sizeof mapped - 1;
    std::memcpy(mapped, hostName, len);
    // A name from a subfolder keeps its folder as part of the CBM name; the
    // separator becomes a space on every platform (Windows' backslash does so
    // by the character table already).
    for (char* p = mapped; *p; ++p)
        if (*p == platform::kPathSeparator) *p = ' ';
    hostToPetscii(reinterpret_cast<std::uint8_t*>(mapped), len);
    out.fileType = kTypeSeq;
    if (char* dot = std::strrchr(mapped, '.')) {
        if (std::uint8_t t = typeOfExtension(dot)) {
            out.fileType = t;
            *dot = 0;
        }
    }
    std::memset(out.name, kDiskNamePad, sizeof out.name);
    std::size_t n = std::strlen(mapped);
    std::memcpy(out.name, mapped, n < kCbmNameLength ? n : kCbmNameLength);
}

bool splitHostNameForDeleting(const char* mappedName, char* out, std::size_t outSize, std::uint8_t& fileType) {
    std::size_t len = std::strlen(mappedName);
    if (len >= outSize) len = outSize - 1;
    std::memcpy(out, mappedName, len);
    out[len] = 0;
    char* dot = std::strrchr(out, '.');
    if (!dot) return false;
    fileType = typeOfExtension(dot);
    if (fileType == 0) return false;
    *dot = 0;
    return true;
}
