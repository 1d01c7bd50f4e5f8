// Extraction of a listed file from a disk image: follows its block chain.
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

constexpr int kExtractVisitSlots = 6400;  // track x 40 + sector, every format

// The first recorded entry whose host name is the requested one, or null.
const std::uint8_t* findFileEntry(const ImageInfo& info, const char* destPath, const char* destName) {
    char request[kRequestNameSize];
    const bool requestFits = buildRequestName(destPath, destName, request, sizeof request);
    logMessage(kLogTrace, "COMPARE fileCounter %d\n", info.fileCounter);
    // A request that does not fit the buffer never matches.
    if (!requestFits) return nullptr;
    for (std::int32_t i = 0; i < info.fileCounter; ++i) {
        const std::uint8_t* entry = info.fileEntries.get() + i * kDirEntrySize;
        char candidate[kRequestNameSize] = {};
        if (!buildHostName(entry + kDirFileName, entry[kDirEntryType], candidate, sizeof candidate)) continue;
        logMessage(kLogTrace, "COMPARE <%s> <%s>\n", request, candidate);
        if (std::strcmp(request, candidate) == 0) return entry;
    }
    return nullptr;
}

// Closes the output; a failed write or close is an output failure.
int finish(std::FILE* out, bool writeFailed, int result) {
    if (std::fclose(out) != 0) writeFailed = true;
    if (writeFailed && result == 0) return E_EWRITE;
    return result;
}

}  // namespace

namespace {

// Follows the entry's block chain, writing its data to `out` when there is
// one. 0, or 18 for a block that cannot be read or a chain that comes back on
// itself; writeFailed reports a failed write.
int walkChain(const ImageInfo& info, const std::uint8_t* entry, std::FILE* out, bool& writeFailed) {
    std::vector<std::uint8_t> visits(kExtractVisitSlots, 0);
    std::uint8_t track = entry[kDirStartTrack];
    std::uint8_t sector = entry[kDirStartSector];
    // A file of 0 bytes, as PackFiles writes it, owns no block at all.
    if (track == 0 && entry[kDirBlockCount] == 0 && entry[kDirBlockCount + 1] == 0) return 0;
    for (;;) {
        std::uint8_t block[kBlockSize];
        if (GetDiskSector(info, track, sector, block) != 0) {
            logMessage(kLogError, "error Extract GetDiskSector %d:%d\n", track, sector);
            return E_EREAD;
        }
        std::uint8_t& seen = visits[track * 40u + sector];
        if (seen != 0) {
            logMessage(kLogError, "ProcessFile: error cyclic access for %d:%d\n", track, sector);
            return E_EREAD;
        }
        seen = 1;
        const std::size_t n = block[0] != 0 ? 254u : (block[1] >= 2 ? block[1] - 1u : 0u);
        if (out && n > 0 && std::fwrite(block + 2, 1, n, out) != n) writeFailed = true;
        if (block[0] == 0) return 0;
        track = block[0];
        sector = block[1];
    }
}

}  // namespace

int extractDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const std::uint8_t* entry = findFileEntry(info, destPath, destName);
    if (!entry) return E_NO_FILES;
    char shownName[kCbmNameLength + 1] = {};
    std::memcpy(shownName, entry + kDirFileName, kCbmNameLength);
    logMessage(kLogTrace, "EXTRACT found <%s> %d\n", shownName, entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8));

    std::FILE* out = platform::createOutputFile(destName);
    if (!out) {
        logMessage(kLogError, "error fopen <%s>\n", destName);
        return E_EWRITE;
    }
    bool writeFailed = false;
    const int result = walkChain(info, entry, out, writeFailed);
    return finish(out, writeFailed, result);
}

int testDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const std::uint8_t* entry = findFileEntry(info, destPath, destName);
    if (!entry) return E_NO_FILES;
    bool writeFailed = false;
    return walkChain(info, entry, nullptr, writeFailed);
}
