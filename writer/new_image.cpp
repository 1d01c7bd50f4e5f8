// New, empty images: the zero-filled buffer, the header block, the BAM blocks
// and the first directory block of each format.
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "reader/reader.h"
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

// A native partition as CMD DOS formats it: 1/0 zero, the root header at
// 1/1, the BAM at 1/2 to 1/33 (the first block names the last track), an
// empty root directory at 1/34; 1/0 to 1/34 in use, the tracks past the
// last one without free blocks.
bool formatNativeVolume(ImageInfo& info) {
    const NewImageSettingsRecord& settings = newImageSettings();
    std::uint8_t* boot = addressOrLog(info, 1, 0);
    std::uint8_t* header = addressOrLog(info, info.headerTrack, info.headerSector);
    std::uint8_t* bam = addressOrLog(info, info.bamTrack, info.bamSector[0]);
    std::uint8_t* dir = addressOrLog(info, info.dirTrack, info.dirSector);
    if (!boot || !header || !bam || !dir) return false;
    std::memset(boot, 0, kBlockSize);
    std::memset(header, 0, kBlockSize);
    const FormatLayout& layout = *formatLayout(info.imageType);
    header[0] = info.dirTrack;
    header[1] = info.dirSector;
    header[2] = kNativeHeaderMark;
    std::size_t titleLength = 0;
    while (titleLength < sizeof settings.diskTitle && settings.diskTitle[titleLength] != 0) ++titleLength;
    std::memset(header + layout.titleOffset, kFill, layout.dosOffset + 4 - layout.titleOffset);
    std::memcpy(header + layout.titleOffset, settings.diskTitle, titleLength);
    std::memcpy(header + layout.idOffset, settings.diskId, 2);
    header[layout.dosOffset] = '1';
    header[layout.dosOffset + 1] = kNativeHeaderMark;
    header[0x20] = info.headerTrack;  // the header's own position
    header[0x21] = info.headerSector;
    for (int k = 0; k < bamBlockTotal(info); ++k) {
        std::uint8_t* b = addressOrLog(info, info.bamTrack, bamBlockSector(info, k));
        if (!b) return false;
        std::memset(b, 0, kBlockSize);
    }
    bam[2] = kNativeHeaderMark;
    bam[3] = kNativeBamMark;
    std::memcpy(bam + 4, settings.diskId, 2);
    bam[6] = 0xC0;
    bam[kNativeLastTrack] = info.trackCount;
    SectorBits all;
    for (int s = 0; s < 256; ++s) all.set(s);
    for (int t = 1; t <= info.trackCount; ++t) writeBamEntry(info, static_cast<std::uint8_t>(t), all);
    for (int s = 0; s <= info.dirSector; ++s) markSectorUsed(info, 1, static_cast<std::uint8_t>(s));
    std::memset(dir, 0, kBlockSize);
    dir[1] = 255;
    return true;
}

void putMsbFirst3(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 16);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value);
}

void putPartitionName(std::uint8_t* entry, const char* name) {
    std::memset(entry + kFdPartitionName, kFill, kCbmNameLength);
    std::memcpy(entry + kFdPartitionName, name, std::strlen(name));
}

// A CMD FD image as VICE's creator makes one: the device block (drive map,
// unit 0 from 0 to the system partition, default partition 1, the
// signature), the partition directory (SYSTEM, then one native partition
// of the whole tracks of the data area) and that partition formatted.
bool formatFdImage(ImageInfo& info) {
    const FdLayout& fd = *fdLayout(info.imageType);
    std::uint8_t* system = info.imageData.get() + info.bodyOffset + fd.systemBlock * static_cast<std::size_t>(kBlockSize);
    std::uint8_t* device = system + kFdDeviceBlock * kBlockSize;
    std::memset(device, 0xFF, kBlockSize);
    constexpr int kMapColumn = 0x38;  // unit 0 from, unit 0 to: three bytes each across the columns
    const std::uint32_t end = fd.systemBlock * kBlockSize / kFdUnit;
    device[0] = 0;
    for (int c = 0; c < 3; ++c) {
        device[kMapColumn * (c + 1)] = 0;
        device[kMapColumn * (c + 1) + 1] = static_cast<std::uint8_t>(end >> (8 * (2 - c)));
    }
    std::memset(device + 0xE0, 0, kFdSignatureOffset - 0xE0);
    device[0xE2] = device[0xE3] = 1;
    std::memcpy(device + kFdSignatureOffset, kFdSignature, sizeof kFdSignature - 1);
    std::uint8_t* table = system + kFdPartitionBlock * kBlockSize;
    std::memset(table, 0, kFdPartitionBlocks * kBlockSize);
    for (int b = 0; b < kFdPartitionBlocks; ++b) {
        const bool last = b + 1 == kFdPartitionBlocks;
        table[b * kBlockSize] = last ? 0 : 1;
        table[b * kBlockSize + 1] = static_cast<std::uint8_t>(last ? 0xFF : b + 1);
    }
    table[kFdPartitionType] = 0xFF;
    putPartitionName(table, "SYSTEM");
    std::uint8_t* first = table + kDirEntrySize;
    const std::uint32_t tracks = fd.systemBlock / 256;
    first[kFdPartitionType] = 1;
    putPartitionName(first, "PARTITION 1");
    putMsbFirst3(first + kFdPartitionSize, tracks * kNativeTrackBytes / kFdUnit);
    ArchivedFile partition {};
    partition.fileType = 1;
    partition.length = tracks * kNativeTrackBytes;
    std::unique_ptr<ImageInfo> native = partitionVolume(info, partition);
    if (!native) return false;
    native->trackCount = static_cast<std::uint8_t>(tracks);
    return formatNativeVolume(*native);
}

}  // namespace

void allocDiskImage(ImageInfo& info) {
    info.imageData.reset();
    info.imageSize = 0;
    if (const FdLayout* fd = fdLayout(info.imageType)) {
        const std::uint32_t size = fd->blocks * (kBlockSize + (newImageSettings().includeErrorInfo ? 1u : 0u));
        info.imageSize = static_cast<std::int32_t>(size);
        info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
        return;
    }
    const FormatLayout* layout =
        info.imageType == kTypeT64 ? nullptr : formatLayout(info.imageType, newImageSettings().fortyTracks != 0);
    if (!layout) {
        logMessage(kLogError, "allocDiskImage: unknown disk type <%d>\n", info.imageType);
        return;
    }
    const std::uint32_t size = layout->size + (newImageSettings().includeErrorInfo ? layout->blockCount : 0u);
    info.imageSize = static_cast<std::int32_t>(size);
    // Error bytes stay zero: every block of a new image is good. (A native
    // partition has none.)
    if (info.imageType == kTypeDNP) info.imageSize = static_cast<std::int32_t>(layout->size);
    info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(info.imageSize), 1)));
}

void initDiskImage(ImageInfo& info) {
    if (fdLayout(info.imageType)) {
        if (!formatFdImage(info)) logMessage(kLogError, "initDiskImage: CMD FD image not formatted\n");
        return;
    }
    if (info.imageType == kTypeDNP) {
        if (!formatNativeVolume(info)) logMessage(kLogError, "initDiskImage: native partition not formatted\n");
        return;
    }
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
