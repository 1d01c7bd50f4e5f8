// What a file holds, told from its first bytes and its size: the disk
// formats by their sizes, the others by their signatures. Only the head of
// the file is read, however large it is.
#include <cstring>

#include "core/log.h"
#include "image/g64.h"
#include "image/image.h"
#include "platform/platform.h"

namespace {

struct Signature {
    const char* bytes;
    std::size_t length;
    std::int32_t type;
    const char* kind;
    std::int32_t container;
};

// X64 is told apart by its header and then by its body's size.
constexpr char kX64Magic[] = "\x43\x15\x41\x64";
const Signature kSignatures[] = {
    {"C64File\0", 8, kTypePC64, "PC64", kContainerPlain},
    {"C64 tape image file", 19, kTypeT64, "T64", kContainerPlain},
    {"C64S tape", 9, kTypeT64, "T64", kContainerPlain},
    // A 1541's GCR tracks, decoded into a D64; a 1571's into a D71.
    {"GCR-1541", 8, kTypeD64, "G64", kContainerG64},
    {"GCR-1571", 8, kTypeD71, "G71", kContainerG64},
};

// Lynx: a BASIC program at 0x0801 whose line links lead, within the head, to
// its end (a zero link), and then the directory's first line with "LYNX".
constexpr std::uint16_t kBasicStart = 0x0801;
constexpr std::size_t kLoadAddressSize = 2;
constexpr std::size_t kLynxSignatureSearch = 64;

bool looksLikeLynx(const std::uint8_t* head, std::size_t headSize) {
    if (headSize < kLoadAddressSize + 2 || head[0] != (kBasicStart & 0xFF) || head[1] != (kBasicStart >> 8))
        return false;
    const std::size_t end = lynxDirectoryStart(head, headSize);
    if (end == 0) return false;
    for (std::size_t i = end; i + 4 <= headSize && i < end + kLynxSignatureSearch; ++i) {
        if (head[i] == 0x0D && i > end + 1) break;  // the signature stands on the first line
        if (std::memcmp(head + i, "LYNX", 4) == 0) return true;
    }
    return false;
}

// A native partition: its root header at 1/1 ('H' at byte 2) and its first
// BAM block at 1/2 ('H', 0xB7 at bytes 2 and 3), in whole tracks.
bool looksLikeNative(const std::uint8_t* head, std::size_t headSize, std::uint64_t size) {
    constexpr std::size_t kHeader = kBlockSize, kBam = 2 * kBlockSize;
    if (headSize < kBam + 4 || size % kNativeTrackBytes != 0 || size / kNativeTrackBytes > 255) return false;
    return head[kHeader + 2] == kNativeHeaderMark && head[kBam + 2] == kNativeHeaderMark &&
           head[kBam + 3] == kNativeBamMark;
}

}  // namespace

std::uint64_t fdSignatureOffset(std::uint64_t size) {
    bool errorBytes = false;
    const FdLayout* fd = fdLayout(diskTypeOfSize(size, errorBytes));
    return fd ? (fd->systemBlock + kFdDeviceBlock) * static_cast<std::uint64_t>(kBlockSize) + kFdSignatureOffset : 0;
}

std::size_t lynxDirectoryStart(const std::uint8_t* data, std::size_t size) {
    if (size < kLoadAddressSize + 2) return 0;
    std::size_t at = kLoadAddressSize;
    // Each link must lead forward, so the walk ends.
    for (;;) {
        if (at + 2 > size) return 0;
        const std::size_t link = data[at] | (data[at + 1] << 8);
        if (link == 0) return at + 2;
        const std::size_t next = link - kBasicStart + kLoadAddressSize;
        if (link < kBasicStart || next <= at + 2) return 0;
        at = next;
    }
}

DetectedType detectContent(const std::uint8_t* head, std::size_t headSize, std::uint64_t size,
                           const std::uint8_t* fdSignature) {
    DetectedType found;
    for (const Signature& s : kSignatures) {
        if (headSize < s.length || std::memcmp(head, s.bytes, s.length) != 0) continue;
        found.type = s.type;
        found.kind = s.kind;
        found.container = s.container;
        return found;
    }
    bool errorBytes = false;
    if (headSize >= kX64HeaderSize && std::memcmp(head, kX64Magic, 4) == 0 && size > kX64HeaderSize) {
        found.type = diskTypeOfSize(size - kX64HeaderSize, errorBytes);
        found.bodyOffset = found.type != kTypeNone ? kX64HeaderSize : 0;
        found.kind = "X64";
        return found;
    }
    if (looksLikeLynx(head, headSize)) {
        found.type = kTypeLynx;
        found.kind = "LNX";
        return found;
    }
    found.type = diskTypeOfSize(size, errorBytes);
    if (const FdLayout* fd = fdLayout(found.type)) {
        // The size says a CMD FD image; its signature confirms it.
        if (!fdSignature || std::memcmp(fdSignature, kFdSignature, sizeof kFdSignature - 1) != 0) return {};
        found.kind = fd->name;
        return found;
    }
    if (const FormatLayout* layout = formatLayout(found.type)) found.kind = layout->name;
    // A DNP of 3 tracks has the size of a 40-track D64: there the track
    // count its BAM states must agree as well.
    if (looksLikeNative(head, headSize, size) &&
        (found.type == kTypeNone || head[2 * kBlockSize + kNativeLastTrack] == size / kNativeTrackBytes)) {
        found.type = kTypeDNP;
        found.kind = "DNP";
    }
    return found;
}

namespace {

// The kind a file's name claims, for the log.
const char* kindOfName(const char* path, std::int32_t type) {
    const char* dot = std::strrchr(path, '.');
    if (dot && (dot[1] | 0x20) == 'x' && std::strcmp(dot + 2, "64") == 0) return "X64";
    if (imageContainerOfPath(path) == kContainerG64) return type == kTypeD71 ? "G71" : "G64";
    if (type == kTypeT64) return "T64";
    if (type == kTypeLynx) return "LNX";
    if (type == kTypePC64) return "PC64";
    if (const FdLayout* fd = fdLayout(type)) return fd->name;
    const FormatLayout* layout = formatLayout(type);
    return layout ? layout->name : "";
}

// The file's head and, for the size of a CMD FD image, the bytes where its
// signature stands (the file is never read whole here).
bool readHead(const char* path, std::uint8_t* head, std::size_t& headSize, std::uint64_t& size,
              std::uint8_t* fdSignature, bool& fdRead) {
    platform::InputFile file;
    int lastError = 0;
    fdRead = false;
    if (!platform::openForRead(path, file, lastError) || !platform::fileSize(file, size, lastError)) return false;
    headSize = size < kDetectHeadSize ? static_cast<std::size_t>(size) : kDetectHeadSize;
    if (!platform::readAll(file, head, static_cast<std::uint32_t>(headSize), lastError)) return false;
    const std::uint64_t at = fdSignatureOffset(size);
    if (at != 0) fdRead = platform::readAt(file, at, fdSignature, sizeof kFdSignature - 1, lastError);
    return true;
}

}  // namespace

std::int32_t imageTypeOfFile(const char* path, std::uint32_t& bodyOffset, std::int32_t* container) {
    std::uint8_t head[kDetectHeadSize];
    std::uint8_t signature[sizeof kFdSignature] = {};
    std::size_t headSize = 0;
    std::uint64_t size = 0;
    bool fdRead = false;
    if (!readHead(path, head, headSize, size, signature, fdRead))
        return imageTypeOfContent(path, nullptr, 0, 0, bodyOffset, container);
    return imageTypeOfContent(path, head, headSize, size, bodyOffset, container, fdRead ? signature : nullptr);
}

std::int32_t imageTypeOfContent(const char* path, const std::uint8_t* head, std::size_t headSize, std::uint64_t size,
                                std::uint32_t& bodyOffset, std::int32_t* container, const std::uint8_t* fdSignature) {
    bodyOffset = 0;
    const char* dot = std::strrchr(path, '.');
    const std::int32_t byName = dot && std::strcmp(kindOfName(path, kTypeNone), "X64") != 0
                                    ? getImageTypeFromName(dot + 1)
                                    : kTypeNone;
    const std::int32_t containerByName = imageContainerOfPath(path);
    if (container) *container = containerByName;
    if (!head) return byName;
    // A disk of exactly its format's size stays that disk, whatever its
    // first bytes hold (block 1/0 is free data like any other).
    bool errorBytes = false;
    if (formatLayout(byName) && containerByName == kContainerPlain && diskTypeOfSize(size, errorBytes) == byName)
        return byName;
    const DetectedType found = detectContent(head, headSize, size, fdSignature);
    if (found.type == kTypeNone) return byName;
    const char* named = kindOfName(path, byName);
    if (std::strcmp(named, found.kind) != 0)
        logMessage(kLogWarning, "%s holds a %s image, not what its name says (%s): opened as %s\n", path, found.kind,
                   *named ? named : "unknown", found.kind);
    bodyOffset = found.bodyOffset;
    if (container) *container = found.container;
    return found.type;
}

bool isOurContent(const char* path) {
    std::uint8_t head[kDetectHeadSize];
    std::uint8_t signature[sizeof kFdSignature] = {};
    std::size_t headSize = 0;
    std::uint64_t size = 0;
    bool fdRead = false;
    return readHead(path, head, headSize, size, signature, fdRead) &&
           detectContent(head, headSize, size, fdRead ? signature : nullptr).type != kTypeNone;
}
