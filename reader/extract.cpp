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

// Where the data of a walk go: the output file (none when testing) and the
// host's progress callback, which may cancel.
struct Output {
    std::FILE* file;
    bool failed;
    const ProgressSink* progress;
    const char* name;
    bool cancelled;
};

bool writeData(void* context, const std::uint8_t* data, std::size_t size) {
    auto& out = *static_cast<Output*>(context);
    if (out.file && size > 0 && std::fwrite(data, 1, size, out.file) != size) out.failed = true;
    if (!reportProgress(out.progress, out.name, static_cast<int>(size))) {
        out.cancelled = true;
        return false;
    }
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
    case ChainWalk::kStopped:
        logMessage(kLogTrace, "ProcessFile: cancelled at %d:%d\n", walk.track, walk.sector);
        return E_EABORTED;
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

    Output out {platform::createOutputFile(destName), false, &info.progress, destName, false};
    if (!out.file) {
        logMessage(kLogError, "error fopen <%s>\n", destName);
        return E_EWRITE;
    }
    const int result = chainResult(
        followFileChain(info, entry[kDirStartTrack], entry[kDirStartSector], blockCountOf(entry), writeData, &out));
    // A failed write or close is an output failure.
    if (std::fclose(out.file) != 0) out.failed = true;
    // A cancelled file is not left behind half written.
    if (out.cancelled) std::remove(destName);
    if (out.failed && result == 0) return E_EWRITE;
    return result;
}

int testDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const std::uint8_t* entry = findFileEntry(info, destPath, destName);
    if (!entry) return E_NO_FILES;
    Output out {nullptr, false, &info.progress, destName, false};
    return chainResult(
        followFileChain(info, entry[kDirStartTrack], entry[kDirStartSector], blockCountOf(entry), writeData, &out));
}
