// New, empty images: the zero-filled buffer, the header block, the BAM blocks
// and the first directory block of each format.
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "writer/writer.h"

namespace {

constexpr std::uint8_t kFill = 0xA0;

// How the header and the BAM blocks of a new image are laid out. The BAM
// entries themselves are written through markSector, which knows where each
// format keeps them.
struct NewImageLayout {
    std::int32_t imageType;
    int group;                   // format group: DOS version characters
    std::uint8_t headerByte3;    // 0x80 marks a D71 as double-sided
    std::uint8_t fillAfterDos;   // title, ID and DOS type lie where FormatLayout says
    // BAM blocks apart from the header block: bytes 4-5 hold the first track
    // and the track after the last one they cover (D80/D82), or byte 3 the
    // complement of the DOS character and bytes 4-5 the ID (D81).
    bool bamBlocksCarryRange;
    bool bamBlocksCarryId;
    std::uint8_t bamRanges[4][2];
};

const NewImageLayout kNewImageLayouts[] = {
    {kTypeD64, kGroupD64, 0x00, 4, false, false, {}},
    {kTypeD71, kGroupD64, 0x80, 4, false, false, {}},
    {kTypeD80, kGroupD80, 0x00, 4, true, false, {{1, 51}, {51, 78}}},
    {kTypeD82, kGroupD80, 0x00, 4, true, false, {{1, 51}, {51, 101}, {101, 151}, {151, 155}}},
    {kTypeD81, kGroupD81, 0x00, 2, false, true, {}},
};

const NewImageLayout* newImageLayout(std::int32_t imageType) {
    for (const NewImageLayout& row : kNewImageLayouts)
        if (row.imageType == imageType) return &row;
    return nullptr;
}

std::uint8_t* addressOrLog(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    std::uint8_t* block = nullptr;
    if (GetDiskSectorAddr(info, track, sector, &block) != 0) {
        logMessage(kLogError, "initDiskImage: bad GetDiskSectorAddr call (%d:%d)\n", track, sector);
        return nullptr;
    }
    return block;
}

bool writeHeader(const ImageInfo& info, const NewImageLayout& row) {
    std::uint8_t* h = addressOrLog(info, info.headerTrack, info.headerSector);
    if (!h) return false;
    const NewImageSettingsRecord& settings = newImageSettings();
    const char* dos = settings.dosVersion[row.group];
    std::memset(h, 0, kBlockSize);
    h[0] = info.dirTrack;
    h[1] = info.dirSector;
    h[2] = static_cast<std::uint8_t>(dos[1]);
    h[3] = row.headerByte3;
    const FormatLayout& layout = *formatLayout(info.imageType);
    std::size_t titleLength = 0;
    while (titleLength < sizeof settings.diskTitle && settings.diskTitle[titleLength] != 0) ++titleLength;
    // Title, fill, ID, fill, DOS type, fill: 0xA0 wherever no text stands.
    std::memset(h + layout.titleOffset, kFill, layout.dosOffset + 2 + row.fillAfterDos - layout.titleOffset);
    std::memcpy(h + layout.titleOffset, settings.diskTitle, titleLength);
    std::memcpy(h + layout.idOffset, settings.diskId, 2);
    std::memcpy(h + layout.dosOffset, dos, 2);
    return true;
}

bool isHeaderBlock(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    return track == info.headerTrack && sector == info.headerSector;
}

// BAM blocks that are blocks of their own, linked in a chain.
bool writeBamBlocks(const ImageInfo& info, const NewImageLayout& row) {
    const char dosChar = newImageSettings().dosVersion[row.group][1];
    for (int k = 0; k < info.bamBlockCount && k < 4; ++k) {
        if (isHeaderBlock(info, info.bamTrack, info.bamSector[k])) continue;
        std::uint8_t* b = addressOrLog(info, info.bamTrack, info.bamSector[k]);
        if (!b) return false;
        std::memset(b, 0, kBlockSize);
        const bool last = k + 1 >= info.bamBlockCount;
        b[0] = last ? 0 : info.bamTrack;
        b[1] = last ? 255 : info.bamSector[k + 1];
        b[2] = static_cast<std::uint8_t>(dosChar);
        if (row.bamBlocksCarryRange) {
            b[4] = row.bamRanges[k][0];
            b[5] = row.bamRanges[k][1];
        }
        if (row.bamBlocksCarryId) {
            b[3] = static_cast<std::uint8_t>(~static_cast<std::uint8_t>(dosChar));
            std::memcpy(b + 4, newImageSettings().diskId, 2);
        }
    }
    return true;
}

// Every sector of every track free, except the whole of bamTrack2 (the D71
// second side's BAM track, which the DOS keeps for itself).
bool freeAllTracks(ImageInfo& info, std::uint8_t lastTrack) {
    for (int t = 1; t <= lastTrack; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        if (track == info.bamTrack2) continue;
        const int sectors = getTrackSectorCount(info, track);
        for (int s = 0; s < sectors; ++s) {
            if (!addressOrLog(info, track, static_cast<std::uint8_t>(s))) return false;
            markSectorFree(info, track, static_cast<std::uint8_t>(s));
        }
    }
    return true;
}

}  // namespace

void allocDiskImage(ImageInfo& info) {
    info.imageData.reset();
    info.imageSize = 0;
    const FormatLayout* layout =
        info.imageType == kTypeT64 ? nullptr : formatLayout(info.imageType, newImageSettings().fortyTracks != 0);
    if (!layout) {
        logMessage(kLogError, "allocDiskImage: unknown disk type <%d>\n", info.imageType);
        return;
    }
    const std::uint32_t size = layout->size + (newImageSettings().includeErrorInfo ? layout->blockCount : 0u);
    info.imageSize = static_cast<std::int32_t>(size);
    // Error bytes stay zero: every block of a new image is good.
    info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
}

void initDiskImage(ImageInfo& info) {
    const NewImageLayout* row = newImageLayout(info.imageType);
    if (!row) {
        logMessage(kLogError, "initDiskImage: format %d not supported (yet)", info.imageType);
        return;
    }
    if (!writeHeader(info, *row) || !writeBamBlocks(info, *row)) return;

    // Tracks 36-40 of a forty-track D64 get entries in the layout chosen in
    // the settings; the BAM code finds them through the image's layout.
    std::uint8_t lastTrack = info.trackCount;
    const std::int32_t savedFortyTrackType = info.fortyTrackType;
    const std::uint8_t standardTracks = formatLayout(kTypeD64, false)->trackCount;
    if (info.imageType == kTypeD64 && lastTrack > standardTracks) {
        const std::int32_t type = newImageSettings().fortyTrackType;
        if (type == 2 || type == 3) {
            info.fortyTrackType = type;
        } else {
            logMessage(kLogWarning, "initDiskImage: unknown 40 tracks type %d\n", type);
            lastTrack = standardTracks;
        }
    }
    const bool freed = freeAllTracks(info, lastTrack);
    info.fortyTrackType = savedFortyTrackType;
    if (!freed) return;

    // The blocks the empty file system occupies: header, BAM blocks and the
    // first directory block.
    std::uint8_t* dir = addressOrLog(info, info.dirTrack, info.dirSector);
    if (!dir) return;
    markSectorUsed(info, info.headerTrack, info.headerSector);
    for (int k = 0; k < info.bamBlockCount && k < 4; ++k)
        if (!isHeaderBlock(info, info.bamTrack, info.bamSector[k])) markSectorUsed(info, info.bamTrack, info.bamSector[k]);
    markSectorUsed(info, info.dirTrack, info.dirSector);

    std::memset(dir, 0, kBlockSize);
    dir[1] = 255;
}
