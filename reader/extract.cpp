// Extraction and testing of a listed file of a disk image: its block chain,
// followed from the entry the listing recorded.
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

// The recorded directory entry of the listed file ProcessFile works on.
const std::uint8_t* findFileEntry(const ImageInfo& info, const char* destPath, const char* destName) {
    logMessage(kLogTrace, "COMPARE fileCounter %d\n", info.fileCounter);
    const ListedEntry* listed = findListedEntry(info, destPath, destName);
    if (!listed || listed->record >= static_cast<std::uint32_t>(info.fileCounter)) return nullptr;
    return info.fileEntries.get() + listed->record * kDirEntrySize;
}

std::uint16_t blockCountOf(const std::uint8_t* entry) {
    return static_cast<std::uint16_t>(entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8));
}

struct Output {
    std::FILE* file;
    bool failed;
};

bool writeData(void* context, const std::uint8_t* data, std::size_t size) {
    auto& out = *static_cast<Output*>(context);
    if (size > 0 && std::fwrite(data, 1, size, out.file) != size) out.failed = true;
    return true;
}

// 0, or 18 for a block that cannot be read or a chain that comes back on
// itself, after logging which.
int chainResult(const ChainWalk& walk) {
    switch (walk.outcome) {
    case ChainWalk::kUnreadable:
        logMessage(kLogError, "error Extract GetDiskSector %d:%d\n", walk.track, walk.sector);
        return E_EREAD;
    case ChainWalk::kCircular:
        logMessage(kLogError, "ProcessFile: error cyclic access for %d:%d\n", walk.track, walk.sector);
        return E_EREAD;
    default:
        return 0;
    }
}

}  // namespace

int extractDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const std::uint8_t* entry = findFileEntry(info, destPath, destName);
    if (!entry) return E_NO_FILES;
    char shownName[kCbmNameLength + 1] = {};
    std::memcpy(shownName, entry + kDirFileName, kCbmNameLength);
    logMessage(kLogTrace, "EXTRACT found <%s> %d\n", shownName, blockCountOf(entry));

    Output out {platform::createOutputFile(destName), false};
    if (!out.file) {
        logMessage(kLogError, "error fopen <%s>\n", destName);
        return E_EWRITE;
    }
    const int result = chainResult(
        followFileChain(info, entry[kDirStartTrack], entry[kDirStartSector], blockCountOf(entry), writeData, &out));
    // A failed write or close is an output failure.
    if (std::fclose(out.file) != 0) out.failed = true;
    if (out.failed && result == 0) return E_EWRITE;
    return result;
}

int testDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const std::uint8_t* entry = findFileEntry(info, destPath, destName);
    if (!entry) return E_NO_FILES;
    return chainResult(
        followFileChain(info, entry[kDirStartTrack], entry[kDirStartSector], blockCountOf(entry), nullptr, nullptr));
}
