// Sector addressing: the only way to a block of an image.
#include <cstring>

#include "core/log.h"
#include "core/settings.h"
#include "image/image.h"

int getBlockIndex(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    if (!info.geometry || track == 0 || track > info.trackCount) return -1;
    if (sector >= info.geometry[track - 1].sectors) return -1;
    // Offsets are 256 x the blocks before the track.
    return static_cast<int>(info.geometry[track - 1].offset / kBlockSize) + sector;
}

std::uint8_t* blockBytes(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    if (!info.geometry || track == 0 || track > info.trackCount) return nullptr;
    const TrackGeometry& row = info.geometry[track - 1];
    if (sector >= row.sectors) return nullptr;
    const std::uint32_t offset = info.bodyOffset + row.offset + kBlockSize * static_cast<std::uint32_t>(sector);
    // Never hand out a block that does not lie wholly inside the buffer.
    if (!info.imageData || info.imageSize < 0 || offset + kBlockSize > static_cast<std::uint32_t>(info.imageSize))
        return nullptr;
    return info.imageData.get() + offset;
}

int GetDiskSectorAddr(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint8_t** address) {
    if (!info.geometry || track == 0 || track > info.trackCount) {
        logMessage(kLogError, "GetDiskSectorAddr: invalid track no.: < 1 or > %d", info.trackCount);
        return -1;
    }
    std::uint8_t* block = blockBytes(info, track, sector);
    if (!block) return -1;
    if (ignoreErrorTable == 0 && info.hasErrorInfo == 1 && info.errorInfo) {
        int index = getBlockIndex(info, track, sector);
        if (index == -1) return -1;
        const unsigned e = info.errorInfo[index];
        if (e > 1) {
            logMessage(kLogWarning, "GetDiskSectorAddr: disk image error (%d) occured at %d:%d -[%s]\n", e, track,
                       sector, errorByteText(e));
            return static_cast<int>(e);
        }
    }
    *address = block;
    return 0;
}

int GetDiskSector(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint8_t* destination) {
    std::uint8_t* address = nullptr;
    int result = GetDiskSectorAddr(info, track, sector, &address);
    if (result == 0) std::memcpy(destination, address, kBlockSize);
    return result;
}

namespace {
template <typename Mark>
void forHeaderAndBamBlocks(const ImageInfo& info, Mark mark) {
    mark(info.headerTrack, info.headerSector);
    for (int k = 0; k < bamBlockTotal(info); ++k) mark(info.bamTrack, bamBlockSector(info, k));
    mark(info.bamTrack2, info.bamSector[0]);
}
}  // namespace

void markHeaderAndBamBlocks(const ImageInfo& info, BlockSet& set) {
    forHeaderAndBamBlocks(info, [&](std::uint8_t track, std::uint8_t sector) { set.insert(info, track, sector); });
}
