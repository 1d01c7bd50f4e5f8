// T64 tape images: a 64-byte header, a directory of 32-byte slots, and each
// file's data at the offset its slot gives. Whatever the header claims, no
// byte outside the image is read.
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

constexpr std::uint32_t kTapeHeaderSize = 64;
constexpr std::uint32_t kTapeDescr = 0;
constexpr std::uint32_t kTapeVersionMinor = 32;
constexpr std::uint32_t kTapeVersionMajor = 33;
constexpr std::uint32_t kTapeMaxFiles = 34;
constexpr std::uint32_t kTapeCurrFiles = 36;
constexpr std::uint32_t kTapeUserDescr = 40;

constexpr std::uint32_t kSlotSize = 32;
constexpr std::uint32_t kSlotEntryType = 0;
constexpr std::uint32_t kSlotStartAddr = 2;
constexpr std::uint32_t kSlotEndAddr = 4;
constexpr std::uint32_t kSlotTapePos = 8;
constexpr std::uint32_t kSlotFileName = 16;
constexpr std::size_t kLoadAddressSize = 2;

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t read32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The slot's bytes, or null when the slot does not lie wholly inside the image.
const std::uint8_t* slotAt(const ImageInfo& info, std::uint32_t index) {
    const std::uint64_t offset = std::uint64_t(info.tapeEntries) + std::uint64_t(kSlotSize) * index;
    if (offset + kSlotSize > static_cast<std::uint64_t>(info.imageSize)) return nullptr;
    return info.imageData.get() + offset;
}

// Number of data bytes of a slot that lie inside the image: data running past
// the end are cut there; data starting at or past the end, or an end address
// below the start address, give none.
std::uint32_t slotDataLength(const ImageInfo& info, const std::uint8_t* slot) {
    const std::uint16_t start = read16(slot + kSlotStartAddr);
    const std::uint16_t end = read16(slot + kSlotEndAddr);
    const std::uint32_t pos = read32(slot + kSlotTapePos);
    const auto size = static_cast<std::uint32_t>(info.imageSize);
    if (end < start || pos >= size) return 0;
    const std::uint32_t length = end - start;
    const std::uint32_t room = size - pos;
    return length < room ? length : room;
}

}  // namespace

void initTapeState(ImageInfo& info) {
    info.tapeSlot = 0;
    info.tapeSize = info.imageSize;
    info.tapeEntries = kTapeHeaderSize;
    const std::uint8_t* data = info.imageData.get();
    info.tapeMaxFiles = info.imageSize >= static_cast<std::int32_t>(kTapeMaxFiles + 2) ? read16(data + kTapeMaxFiles) : 0;
    info.tapeData = kTapeHeaderSize + kSlotSize * info.tapeMaxFiles;
}

void logTapeHeader(const ImageInfo& info) {
    logMessage(kLogTrace, "tape info: header offset = 0x" OMBRIX_PTR "\n", std::uintptr_t(0));
    logMessage(kLogTrace, "tape info: entry offset  = 0x" OMBRIX_PTR "\n", std::uintptr_t(info.tapeEntries));
    logMessage(kLogTrace, "tape info: data offset   = 0x" OMBRIX_PTR "\n", std::uintptr_t(info.tapeData));
    if (info.imageSize < static_cast<std::int32_t>(kTapeHeaderSize)) return;
    const auto* h = reinterpret_cast<const char*>(info.imageData.get());
    logMessage(kLogTrace, "tape header: TapeDescr = <%.32s>\n", h + kTapeDescr);
    logMessage(kLogTrace, "tape header: Version   = <%d.%d>\n", static_cast<unsigned char>(h[kTapeVersionMajor]),
               static_cast<unsigned char>(h[kTapeVersionMinor]));
    logMessage(kLogTrace, "tape header: MaxFiles  = <%d>\n", info.tapeMaxFiles);
    logMessage(kLogTrace, "tape header: CurrFiles = <%d>\n", read16(info.imageData.get() + kTapeCurrFiles));
    logMessage(kLogTrace, "tape header: UserDescr = <%.24s>\n", h + kTapeUserDescr);
}

int readTapeHeader(ImageInfo& info, ListedFile& file) {
    std::memset(&file, 0, sizeof file);
    info.lastReported = -1;
    if (info.imageSize < static_cast<std::int32_t>(kTapeHeaderSize)) return E_BAD_ARCHIVE;
    while (info.tapeSlot < info.tapeMaxFiles) {
        const std::uint8_t* slot = slotAt(info, info.tapeSlot);
        if (!slot) break;  // the directory runs past the end of the image
        if (slot[kSlotEntryType] != 1) {
            logMessage(kLogWarning, "empty tape slot %d\n", info.tapeSlot);
            ++info.tapeSlot;
            continue;
        }
        const std::uint16_t start = read16(slot + kSlotStartAddr);
        const std::uint32_t length = slotDataLength(info, slot);
        // The image stays as it is (a slot may even lie inside another
        // file's data): the clipped length is worked out anew where needed,
        // and the name is converted in a copy.
        if (length != static_cast<std::uint32_t>(read16(slot + kSlotEndAddr) - start))
            logMessage(kLogWarning, "correcting EndAddr\n");
        logMessage(kLogTrace, "file found in tape slot %d\n", info.tapeSlot);
        std::uint8_t name[kCbmNameLength + 1] = {};
        std::memcpy(name, slot + kSlotFileName, kCbmNameLength);
        trimNamePad(name, kCbmNameLength, kTypeT64);
        convert(name, kCbmNameLength);
        file.packSize = static_cast<std::int32_t>(length);
        // Extraction writes the load address in front of the data.
        file.unpSize = static_cast<std::int32_t>(length + kLoadAddressSize);
        reportListed(info, file, info.tapeSlot, static_cast<std::uint32_t>(slot - info.imageData.get()),
                     uniqueListedName(info, name, kTypePrg));
        if (info.listed.back().asPC64) file.unpSize += static_cast<std::int32_t>(kPC64HeaderSize);
        ++info.tapeSlot;
        return 0;
    }
    logMessage(kLogTrace, "ReadHeader exit E_END_ARCHIVE\n");
    return E_END_ARCHIVE;
}

namespace {

// The slot of the listed file ProcessFile works on, or null.
const std::uint8_t* findTapeEntry(const ImageInfo& info, const char* destPath, const char* destName) {
    const ListedEntry* listed = findListedEntry(info, destPath, destName);
    return listed ? info.imageData.get() + listed->entryOffset : nullptr;
}

}  // namespace

int testTapeFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const ListedEntry* listed = findListedEntry(info, destPath, destName);
    const std::uint8_t* found = findTapeEntry(info, destPath, destName);
    if (!found) return E_NO_FILES;
    const auto size = static_cast<int>(slotDataLength(info, found) + kLoadAddressSize +
                                       (listed->asPC64 ? kPC64HeaderSize : 0));
    return reportProgress(&info.progress, destName, size) ? 0 : E_EABORTED;
}

int extractTapeFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const ListedEntry* listed = findListedEntry(info, destPath, destName);
    const std::uint8_t* found = findTapeEntry(info, destPath, destName);
    if (!found) return E_NO_FILES;

    const std::uint32_t pos = read32(found + kSlotTapePos);
    logMessage(kLogTrace, "found: TapePos   = %lu\n", static_cast<unsigned long>(pos));
    logMessage(kLogTrace, "found: StartAddr = %d\n", read16(found + kSlotStartAddr));
    logMessage(kLogTrace, "found: EndAddr   = %d\n", static_cast<int>(read16(found + kSlotStartAddr) + slotDataLength(info, found)) & 0xFFFF);

    const std::string target = outputPath(destPath, destName);
    platform::OutputFile output;
    if (!platform::createOutputFile(target.c_str(), output)) {
        logMessage(kLogError, "error fopen <%s>\n", target.c_str());
        return E_EWRITE;
    }
    const std::uint32_t length = slotDataLength(info, found);
    bool ok = true;
    std::uint32_t headerSize = 0;
    if (listed->asPC64) {
        std::uint8_t header[kPC64HeaderSize];
        makePC64Header(found + kSlotFileName, kTapeNamePad, kTypePrg, 0, header);
        ok = std::fwrite(header, 1, sizeof header, output.file) == sizeof header;
        headerSize = kPC64HeaderSize;
    }
    ok = ok && std::fwrite(found + kSlotStartAddr, 1, kLoadAddressSize, output.file) == kLoadAddressSize;
    if (length > 0 && std::fwrite(info.imageData.get() + pos, 1, length, output.file) != length) ok = false;
    // A cancelled file is not left behind.
    if (ok && !reportProgress(&info.progress, target.c_str(), static_cast<int>(length + kLoadAddressSize + headerSize))) {
        platform::finishOutputFile(output, false);
        return E_EABORTED;
    }
    return platform::finishOutputFile(output, ok) ? 0 : E_EWRITE;
}
