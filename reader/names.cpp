// Conversions between CBM (PETSCII) names and host file names.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

// What a name byte shows on the C64 (its upper/lower case set), as ASCII; 0
// for graphics, control codes and the three signs without an ASCII form.
std::uint8_t petsciiShown(std::uint8_t c) {
    if (c >= 0x41 && c <= 0x5A) return static_cast<std::uint8_t>(c + 0x20);
    if (c >= 0xC1 && c <= 0xDA) return static_cast<std::uint8_t>(c - 0x80);
    // The same capitals again (cc1541 lists them so).
    if (c >= 0x61 && c <= 0x7A) return static_cast<std::uint8_t>(c - 0x20);
    if ((c >= 0x20 && c <= 0x40) || c == 0x5B || c == 0x5D || c == 0xA0) return c;
    return 0;
}

// GEOS writes its names in ASCII.
std::uint8_t asciiShown(std::uint8_t c) { return (c >= 0x20 && c <= 0x7E) || c == 0xA0 ? c : 0; }

// What a host name keeps; anything else becomes '_'. '~' is not kept: the
// listing's "~2" suffixes must never meet a converted name.
bool hostKeeps(std::uint8_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == 0xA0) return true;
    return c != 0 && std::strchr(" !#$%&'()+,-.;=@[]", c) != nullptr;
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

// Packing also knows ".USR" and ".DEL", the types the listing shows so
// (deleting by the old CBM-name road keeps to PRG and SEQ).
std::uint8_t typeOfExtensionForAdding(const char* dot) {
    if (equalsNoCase(dot, ".USR")) return kTypeUsr;
    if (equalsNoCase(dot, ".DEL")) return kTypeDel;
    return typeOfExtension(dot);
}

}  // namespace

void trimNamePad(std::uint8_t* name, int length, std::int32_t imageType) {
    const std::uint8_t pad = imageType == kTypeT64 ? kTapeNamePad : kDiskNamePad;
    for (int i = length - 1; i >= 0 && name[i] == pad; --i) name[i] = 0;
}

void convert(std::uint8_t* name, int length, bool ascii) {
    if (logMask & kLogTrace) {
        char before[kCbmNameLength + 1] = {};
        std::memcpy(before, name, static_cast<std::size_t>(length < kCbmNameLength ? length : kCbmNameLength));
        logMessage(kLogTrace, "convert: <%s>", before);
    }
    for (int i = 0; i < length && name[i] != 0; ++i) {
        const std::uint8_t shown = ascii ? asciiShown(name[i]) : petsciiShown(name[i]);
        name[i] = hostKeeps(shown) ? shown : '_';
    }
}

void appendTypeExtension(char* hostName, std::uint8_t fileType) {
    static const char* const kExtensions[] = {".del", ".seq", ".prg", ".usr", ".rel"};
    if (appendPrgExtension != 0 || fileType == kTypeScratched)
        std::strcat(hostName, ".prg");
    else if (fileType >= kTypeDel && fileType <= kTypeRel)
        std::strcat(hostName, kExtensions[fileType - kTypeDel]);
}

std::size_t hostToPetscii(std::uint8_t* name, std::size_t length) {
    // One character of the host's UTF-8 text gives one CBM character, so a
    // letter outside ASCII becomes one space, not one per byte.
    std::size_t out = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = name[i];
        if (c >= 0x80) {
            while (i + 1 < length && (name[i + 1] & 0xC0) == 0x80) ++i;
            name[out++] = 0x20;
            continue;
        }
        name[out++] = hostToPetsciiChar(c);
    }
    for (std::size_t i = out; i < length; ++i) name[i] = 0;
    return out;
}

namespace {

// Name bytes as host text, which is UTF-8 inside the plug-in: the one byte
// above 0x7F that survives the conversion, 0xA0, travels as U+00A0.
std::string hostEncoded(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (static_cast<std::uint8_t>(*p) == 0xA0) {
            out += "\xC2\xA0";
            continue;
        }
        out += *p;
    }
    return out;
}

std::string convertedNameText(const std::uint8_t* convertedName) {
    std::size_t n = 0;
    while (n < kCbmNameLength && convertedName[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(convertedName), n);
}

// The name part of a listed name. An empty CBM name (sixteen fill bytes, as
// directory art and LOAD"" disks have) is a name no host takes, so it shows
// as the character for what a host name cannot hold: "_.prg".
std::string listedBase(const std::uint8_t* convertedName) {
    const std::string base = hostEncoded(convertedNameText(convertedName).c_str());
    return base.empty() ? std::string("_") : base;
}

}  // namespace

std::string cbmText(const std::uint8_t* bytes, int length, std::int32_t imageType, bool ascii) {
    std::uint8_t copy[kCbmNameLength + 9] = {};
    if (length > kCbmNameLength + 8) length = kCbmNameLength + 8;
    std::memcpy(copy, bytes, static_cast<std::size_t>(length));
    trimNamePad(copy, length, imageType);
    // As the drive shows it: a '/' or '*' is itself here, not a host's '_'.
    for (int i = 0; i < length && copy[i] != 0; ++i) {
        const std::uint8_t shown = ascii ? asciiShown(copy[i]) : petsciiShown(copy[i]);
        copy[i] = shown ? shown : '_';
    }
    return hostEncoded(reinterpret_cast<const char*>(copy));
}

std::string entryNameText(const std::uint8_t* entry, std::int32_t imageType) {
    return cbmText(entry + kDirFileName, kCbmNameLength, imageType, isGeosEntry(entry));
}

ShownCbmName shownCbmName(const std::uint8_t* name, bool ascii) {
    int end = 0;
    while (end < kCbmNameLength && name[end] != kDiskNamePad) ++end;
    ShownCbmName shown;
    shown.name = cbmText(name, end, kTypeNone, ascii);
    if (end + 1 < kCbmNameLength) shown.tail = cbmText(name + end + 1, kCbmNameLength - end - 1, kTypeNone, ascii);
    return shown;
}

bool buildHostName(const std::uint8_t* convertedName, std::uint8_t fileType, char* out, std::size_t outSize) {
    char plain[kCbmNameLength + 8] = {};
    const std::string name = convertedNameText(convertedName);
    std::memcpy(plain, name.data(), name.size());
    appendTypeExtension(plain, fileType);
    const std::string encoded = hostEncoded(plain);
    if (encoded.size() + 1 > outSize) return false;
    std::memcpy(out, encoded.c_str(), encoded.size() + 1);
    return true;
}

std::string requestName(const char* destPath, const char* destName) {
    if (!destName) return {};
    const char* name = destName;
    if (!destPath) {
        const char* sep = std::strrchr(destName, platform::kPathSeparator);
        if (sep) name = sep + 1;
    }
    return name;
}

std::string outputPath(const char* destPath, const char* destName) {
    std::string path = destPath ? destPath : "";
    if (path.empty()) return destName;
    if (path.back() != platform::kPathSeparator && path.back() != '/') path += platform::kPathSeparator;
    return path + destName;
}

namespace {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Windows opens these words as devices, whatever extension follows them.
bool isReservedDeviceWord(std::string word) {
    static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (char& c : word) c = lowerAscii(c);
    for (const char* d : kDevices)
        if (word == d) return true;
    return word.size() == 4 && (word.compare(0, 3, "com") == 0 || word.compare(0, 3, "lpt") == 0) &&
           word[3] >= '1' && word[3] <= '9';
}

}  // namespace

void makeHostSafe(std::string& name, bool windowsRules) {
    if (name == "." || name == "..") {
        name += '_';
        return;
    }
    if (!windowsRules) return;
    // The device word is what stands before the first dot, trailing blanks cut.
    std::size_t word = name.find('.');
    if (word == std::string::npos) word = name.size();
    while (word > 0 && name[word - 1] == ' ') --word;
    if (isReservedDeviceWord(name.substr(0, word))) name.insert(word, 1, '_');
    // Windows drops a trailing dot or blank, which would merge "A." with "A".
    if (!name.empty() && (name.back() == '.' || name.back() == ' ')) name += '_';
}

#ifdef _WIN32
constexpr bool kWindowsNames = true;
#else
constexpr bool kWindowsNames = false;
#endif

std::string listedNameKey(std::string name) {
    // Windows compares names without regard to letter case.
    if (kWindowsNames)
        for (char& c : name) c = lowerAscii(c);
    return name;
}

std::string uniqueListedName(ImageInfo& info, const std::uint8_t* convertedName, std::uint8_t fileType) {
    if (extractAsPC64 != 0) {
        // PC64 names: the number of the extension goes up where two files
        // would have the same name (name.p00, name.p01 ... name.p99).
        const std::string base = listedBase(convertedName);
        for (int number = 0; number < 100; ++number) {
            char extension[8] = {};
            std::snprintf(extension, sizeof extension, ".%c%02d", pc64Letter(fileType), number);
            std::string name = base + extension;
            makeHostSafe(name, kWindowsNames);
            if (info.listedNameKeys.try_emplace(listedNameKey(name), 2u).second) return name;
        }
        char extension[8] = {};
        std::snprintf(extension, sizeof extension, ".%c99", pc64Letter(fileType));
        return uniqueListedName(info, convertedName, std::string(extension));
    }
    char typeExtension[8] = {};
    appendTypeExtension(typeExtension, fileType);
    return uniqueListedName(info, convertedName, std::string(typeExtension));
}

std::string uniqueListedName(ImageInfo& info, const std::uint8_t* convertedName, const std::string& typeExtension) {
    const std::string base = listedBase(convertedName);
    std::string name = base + typeExtension;
    makeHostSafe(name, kWindowsNames);
    // One look-up that also records the name (its key made once).
    auto [taken, added] = info.listedNameKeys.try_emplace(listedNameKey(name), 2u);
    if (added) return name;
    // Each name remembers the next number to try, so a tape of thousands of
    // equal names is still listed in linear time (the map's entries stay
    // where they are while others are added).
    unsigned& next = taken->second;
    for (;;) {
        name = base + "~" + std::to_string(next++) + typeExtension;
        makeHostSafe(name, kWindowsNames);
        if (info.listedNameKeys.try_emplace(listedNameKey(name), 2u).second) return name;
    }
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
        if (std::uint8_t t = typeOfExtensionForAdding(dot)) {
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
