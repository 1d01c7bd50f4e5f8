// The directory listing of disk images: one reported file per ReadHeader.
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "core/settings.h"
#include "image/image.h"
#include "reader/reader.h"

std::int32_t getActualFileLength(const ImageInfo& info, std::uint8_t track, std::uint8_t sector,
                                 std::uint16_t blockCount) {
    std::uint16_t counter = 0;
    std::int32_t length = 0;
    for (;;) {
        std::uint8_t* block = nullptr;
        if (GetDiskSectorAddr(info, track, sector, &block) != 0) {
            logMessage(kLogError, "getActualFileLength: bad GetDiskSectorAddr call (%d:%d)\n", track, sector);
            return 0;
        }
        ++counter;
        // Visiting more blocks than the directory names also ends a chain
        // that runs in a circle.
        if (counter > blockCount) {
            logMessage(kLogWarning,
                       "getActualFileLength: file has more sectors as mentioned in directory (%d > %d)\n", counter,
                       blockCount);
            return 0;
        }
        if (block[0] != 0) {
            length += 254;
            track = block[0];
            sector = block[1];
            continue;
        }
        // Byte 1 indexes the last used byte; below 2 the block holds no data.
        if (block[1] >= 2) length += block[1] - 1;
        return length;
    }
}

namespace {

bool recordEntry(ImageInfo& info, const std::uint8_t* entry) {
    const std::size_t newSize = static_cast<std::size_t>(info.fileCounter + 1) * kDirEntrySize;
    void* grown = std::realloc(info.fileEntries.get(), newSize);
    if (!grown) return false;
    (void)info.fileEntries.release();
    info.fileEntries.reset(static_cast<std::uint8_t*>(grown));
    std::memcpy(info.fileEntries.get() + info.fileCounter * kDirEntrySize, entry, kDirEntrySize);
    ++info.fileCounter;
    return true;
}

}  // namespace

int readDiskHeader(ImageInfo& info, ListedFile& file) {
    for (;;) {
        std::memset(&file, 0, sizeof file);
        if (info.restartListing) {
            info.currTrack = info.dirTrack;
            info.currSector = info.dirSector;
            info.currEntry = 0;
            logMessage(kLogTrace, "firstSector %d:%d-%d\n", info.currTrack, info.currSector, info.currEntry);
            info.restartListing = 0;
            std::memset(info.dirSectorVisits, 0, sizeof info.dirSectorVisits);
        } else if (info.currEntry < 7) {
            ++info.currEntry;
        } else {
            if (info.nextTrack == 0) {
                logMessage(kLogTrace, "ReadHeader exit E_END_ARCHIVE\n");
                return E_END_ARCHIVE;
            }
            info.currTrack = info.nextTrack;
            info.currSector = info.nextSector;
            info.currEntry = 0;
        }
        logMessage(kLogTrace, "currSector %d:%d-%d\n", info.currTrack, info.currSector, info.currEntry);

        std::uint8_t block[kBlockSize];
        if (GetDiskSector(info, info.currTrack, info.currSector, block) != 0) {
            logMessage(kLogError, "error ReadHeader GetDiskSector %d:%d\n", info.currTrack, info.currSector);
            return E_EREAD;
        }
        // Sector numbers of directory blocks are below 100 on every format
        // (GetDiskSector refused any other), so the table index is safe.
        if (info.currEntry == 0 && info.nextTrack != 0 && info.dirSectorVisits[info.currSector] != 0) {
            logMessage(kLogWarning, "ReadHeader: error cyclic access for %d:%d\n", info.currTrack, info.currSector);
            return E_EREAD;
        }
        ++info.dirSectorVisits[info.currSector];
        info.nextTrack = block[0];
        info.nextSector = block[1];

        std::uint8_t* entry = block + info.currEntry * kDirEntrySize;
        const std::uint8_t fileType = entry[kDirEntryType];
        if (showONLYScratchedFiles && fileType != kTypeScratched) continue;

        trimNamePad(entry + kDirFileName, kCbmNameLength, info.imageType);
        convert(entry + kDirFileName, kCbmNameLength);
        if (entry[kDirFileName] == 0) continue;

        if (!recordEntry(info, entry)) return E_NO_MEMORY;

        buildHostName(entry + kDirFileName, fileType, file.fileName, sizeof file.fileName);
        const std::uint16_t blockCount =
            static_cast<std::uint16_t>(entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8));
        file.packSize = blockCount;
        file.unpSize = getActualFileLength(info, entry[kDirStartTrack], entry[kDirStartSector], blockCount);
        if (fileType != kTypeScratched) {
            logMessage(kLogTrace, "ReadHeader exit normal\n");
            return 0;
        }
        if (showScratchedFiles) {
            file.hidden = true;
            logMessage(kLogTrace, "ReadHeader exit normal\n");
            return 0;
        }
        logMessage(kLogTrace, "scratched file at %d:%d-%d\n", info.currTrack, info.currSector, info.currEntry);
    }
}
