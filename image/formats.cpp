// Image formats: type codes, track geometry, sizes and fixed block positions.
#include <array>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "image/image.h"

namespace {

// A zone: tracks up to and including lastTrack have `sectors` sectors.
struct Zone {
    unsigned lastTrack;
    unsigned sectors;
};

template <std::size_t N, std::size_t Z>
constexpr std::array<TrackGeometry, N> buildGeometry(const Zone (&zones)[Z]) {
    std::array<TrackGeometry, N> rows {};
    std::uint32_t offset = 0;
    std::size_t zone = 0;
    for (std::size_t t = 1; t <= N; ++t) {
        while (t > zones[zone].lastTrack) ++zone;
        rows[t - 1] = {zones[zone].sectors, offset};
        offset += 256 * zones[zone].sectors;
    }
    return rows;
}

constexpr Zone kZonesD64[] = {{17, 21}, {24, 19}, {30, 18}, {42, 17}};
constexpr Zone kZonesD71[] = {{17, 21}, {24, 19}, {30, 18}, {35, 17}, {52, 21}, {59, 19}, {65, 18}, {70, 17}};
constexpr Zone kZonesD80[] = {{39, 29}, {53, 27}, {64, 25}, {77, 23}};
constexpr Zone kZonesD82[] = {{39, 29}, {53, 27}, {64, 25}, {77, 23}, {116, 29}, {130, 27}, {141, 25}, {154, 23}};
constexpr Zone kZonesD81[] = {{80, 40}};
constexpr Zone kZonesNative[] = {{255, 256}};

constexpr auto kD64 = buildGeometry<42>(kZonesD64);
constexpr auto kD71 = buildGeometry<70>(kZonesD71);
constexpr auto kD80 = buildGeometry<77>(kZonesD80);
constexpr auto kD82 = buildGeometry<154>(kZonesD82);
constexpr auto kD81 = buildGeometry<80>(kZonesD81);
constexpr auto kNative = buildGeometry<255>(kZonesNative);

static_assert(kD64[17].offset == 91392 && kD64[35].offset == 174848);
static_assert(kD71[35].offset == 174848 && kD71[52].offset == 266240);
static_assert(kD80[38].offset == 282112 && kD80[37].offset == 274688);
static_assert(kD82[77].offset == 533248);
static_assert(kD81[39].offset == 399360);
static_assert(kD64[39].offset + 256 * 17 == 768 * 256 && kD64[41].offset + 256 * 17 == 802 * 256);
static_assert(kD71[69].offset + 256 * 17 == 1366 * 256);
static_assert(kD80[76].offset + 256 * 23 == 2083 * 256);
static_assert(kD82[153].offset + 256 * 23 == 4166 * 256);
static_assert(kD81[79].offset + 256 * 40 == 3200 * 256);
static_assert(kNative[254].offset + 256 * 256 == kMaxImageBlocks * 256);

// type, name, tracks, blocks, size, geometry, dir, bamTrack2, header, bamTrack, bamSectors, bamBlockCount,
// title, ID and DOS type offsets, tracks a BAM block states, narrower disk's tracks, the DOS's own
// track, BAM blocks in a run, track count from the image, sectors of track 1 kept for the DOS
const FormatLayout kLayouts[] = {
    {kTypeD64, "D64", 35, 683, 174848, kD64.data(), 18, 1, 255, 18, 0, 18, {0, 0, 0, 0}, 1, 144, 162, 165, 0, 0, 18, false, false, 0},
    {kTypeD64, "D64", 40, 768, 196608, kD64.data(), 18, 1, 255, 18, 0, 18, {0, 0, 0, 0}, 1, 144, 162, 165, 0, 0, 18, false, false, 0},
    // 42 tracks, as VICE extends an image that a drive wrote beyond track 40 on.
    {kTypeD64, "D64", 42, 802, 205312, kD64.data(), 18, 1, 255, 18, 0, 18, {0, 0, 0, 0}, 1, 144, 162, 165, 0, 0, 18, false, false, 0},
    {kTypeD71, "D71", 70, 1366, 349696, kD71.data(), 18, 1, 53, 18, 0, 18, {0, 0, 0, 0}, 1, 144, 162, 165, 0, 0, 18, false, false, 0},
    {kTypeD80, "D80", 77, 2083, 533248, kD80.data(), 39, 1, 255, 39, 0, 38, {0, 3, 0, 0}, 2, 6, 23, 26, 50, 0, 39, false, false, 0},
    {kTypeD82, "D82", 154, 4166, 1066496, kD82.data(), 39, 1, 255, 39, 0, 38, {0, 3, 6, 9}, 4, 6, 23, 26, 50, 77, 39, false, false, 0},
    {kTypeD81, "D81", 80, 3200, 819200, kD81.data(), 40, 3, 255, 40, 0, 40, {1, 2, 0, 0}, 2, 4, 22, 25, 0, 0, 40, false, false, 0},
    // A native partition: no directory track (directories go anywhere), no
    // second BAM track; c1541 leaves 1/0 to 1/63 out of blocks free.
    {kTypeDNP, "DNP", 255, 65280, 255 * kNativeTrackBytes, kNative.data(), 1, 34, 0, 1, 1, 1, {2, 0, 0, 0}, 32, 4, 22, 25, 0, 0, 0, true, true, 64},
};
static_assert(kMaxImageBlocks == 65280, "the largest volume's blocks");

const FdLayout kFdLayouts[] = {
    {kTypeD1M, "D1M", 3240, 3200},
    {kTypeD2M, "D2M", 6480, 6400},
    {kTypeD4M, "D4M", 12960, 12800},
};

const char* const kErrorTexts[] = {
    "",
    "00, No error, Sektor ok.",
    "20, Header block not found",
    "21, No sync character",
    "22, Data block not present",
    "23, Checksum error in data block",
    "24, Write verify (on format)",
    "25, Write verify error",
    "26, Write protect on",
    "27, Checksum error in header block",
    "28, Write error",
    "29, Disk ID mismatch",
    "74, Disk Not Ready (no device 1)",
};

}  // namespace

const FormatLayout* formatLayout(std::int32_t imageType, bool fortyTracks) {
    if (imageType == kTypeD64) return &kLayouts[fortyTracks ? 1 : 0];
    for (const FormatLayout& row : kLayouts)
        if (row.imageType == imageType) return &row;
    return nullptr;
}

const FdLayout* fdLayout(std::int32_t imageType) {
    for (const FdLayout& row : kFdLayouts)
        if (row.imageType == imageType) return &row;
    return nullptr;
}

bool isWritableType(std::int32_t imageType) { return formatLayout(imageType) || fdLayout(imageType); }

int nativeTrackCount(const std::uint8_t* partition, std::uint64_t bytes) {
    const std::uint64_t whole = bytes / kNativeTrackBytes;
    if (whole == 0 || bytes < 3 * kBlockSize) return 0;
    const int stated = partition[2 * kBlockSize + kNativeLastTrack];
    const int held = whole > 255 ? 255 : static_cast<int>(whole);
    return stated == 0 || stated > held ? held : stated;
}

const FormatLayout* diskLayout(std::int32_t imageType, int tracks) {
    const FormatLayout* first = nullptr;
    for (const FormatLayout& row : kLayouts) {
        if (row.imageType != imageType) continue;
        if (row.trackCount == tracks) return &row;
        if (!first) first = &row;
    }
    return first;
}

const char* errorByteText(unsigned value) {
    return value < sizeof kErrorTexts / sizeof kErrorTexts[0] ? kErrorTexts[value] : "";
}

std::int32_t getImageTypeFromName(const char* extension) {
    char first = extension[0];
    long number = first ? std::strtol(extension + 1, nullptr, 10) : 0;
    // strtol accepts a sign and leading blanks; the extension's number is digits only.
    if (first && !(extension[1] >= '0' && extension[1] <= '9')) number = 0;
    if (first == 'd' || first == 'D') {
        switch (number) {
        case 64: logMessage(kLogTrace, "disk type = D64\n"); return kTypeD64;
        case 71: logMessage(kLogTrace, "disk type = D71\n"); return kTypeD71;
        case 80: logMessage(kLogTrace, "disk type = D80\n"); return kTypeD80;
        case 81: logMessage(kLogTrace, "disk type = D81\n"); return kTypeD81;
        case 82: logMessage(kLogTrace, "disk type = D82\n"); return kTypeD82;
        default: break;
        }
        // CMD: a native partition, the FD images.
        const char* const kCmdNames[] = {"np", "1m", "2m", "4m"};
        const char* const kCmdKinds[] = {"DNP", "D1M", "D2M", "D4M"};
        const std::int32_t kCmdTypes[] = {kTypeDNP, kTypeD1M, kTypeD2M, kTypeD4M};
        for (int i = 0; i < 4; ++i)
            if ((extension[1] | 0x20) == kCmdNames[i][0] && (extension[2] | 0x20) == kCmdNames[i][1] &&
                extension[1] && extension[2] && extension[3] == 0) {
                logMessage(kLogTrace, "disk type = %s\n", kCmdKinds[i]);
                return kCmdTypes[i];
            }
    } else if ((first == 'g' || first == 'G') && number == 64) {
        // GCR tracks of a 1541 disk, decoded into the D64 model.
        logMessage(kLogTrace, "disk type = G64\n");
        return kTypeD64;
    } else if ((first == 'g' || first == 'G') && number == 71) {
        // GCR tracks of a 1571 disk, both sides, decoded into the D71 model.
        logMessage(kLogTrace, "disk type = G71\n");
        return kTypeD71;
    } else if ((first == 't' || first == 'T') && number == 64) {
        logMessage(kLogTrace, "image type = T64\n");
        return kTypeT64;
    }
    if (isLynxExtension(extension)) {
        logMessage(kLogTrace, "image type = LNX\n");
        return kTypeLynx;
    }
    if (pc64FileType(extension) != 0) {
        logMessage(kLogTrace, "image type = PC64\n");
        return kTypePC64;
    }
    logMessage(kLogError, "unknown disk type\n");
    return kTypeNone;
}

bool isLynxExtension(const char* extension) {
    return (extension[0] | 0x20) == 'l' && (extension[1] | 0x20) == 'n' && (extension[2] | 0x20) == 'x' &&
           extension[3] == 0;
}

std::uint8_t pc64FileType(const char* extension) {
    // The letter of .p00 ... .p99 (.s, .u, .r, .d), any letter case; .d64 and
    // the other disk names stay disks.
    static const char kLetters[] = "dspur";
    const char* letter = std::strchr(kLetters, extension[0] | 0x20);
    if (!extension[0] || !letter || !(extension[1] >= '0' && extension[1] <= '9') ||
        !(extension[2] >= '0' && extension[2] <= '9') || extension[3] != 0)
        return 0;
    if ((extension[0] | 0x20) == 'd') {
        for (const FormatLayout& row : kLayouts)
            if (std::strcmp(row.name + 1, extension + 1) == 0) return 0;
    }
    return static_cast<std::uint8_t>(0x80 + (letter - kLetters));
}

std::int32_t diskTypeOfSize(std::uint64_t size, bool& errorBytes) {
    for (const FormatLayout& row : kLayouts) {
        // A native partition is told by its content, not its size.
        if (row.variableTracks) continue;
        errorBytes = size == row.size + row.blockCount;
        if (size == row.size || errorBytes) return row.imageType;
    }
    for (const FdLayout& row : kFdLayouts) {
        errorBytes = size == row.blocks * (kBlockSize + 1u);
        if (size == row.blocks * static_cast<std::uint64_t>(kBlockSize) || errorBytes) return row.imageType;
    }
    errorBytes = false;
    return kTypeNone;
}

std::int32_t imageTypeOfPath(const char* path) {
    const char* dot = std::strrchr(path, '.');
    return dot ? getImageTypeFromName(dot + 1) : kTypeNone;
}

int checkImageSize(ImageInfo& info) {
    // The disk's own bytes: an X64 header in front is not part of them.
    if (info.imageSize < 0 || info.bodyOffset > static_cast<std::uint32_t>(info.imageSize)) return 0;
    const auto size = static_cast<std::uint32_t>(info.imageSize) - info.bodyOffset;
    if (const FdLayout* fd = fdLayout(info.imageType)) {
        // The partitions are the volumes; the image has no tracks of its own.
        info.trackCount = 0;
        info.hasErrorInfo = size == fd->blocks * (kBlockSize + 1u) ? 1 : 0;
        if (info.hasErrorInfo) info.errorInfo = info.imageData.get() + info.bodyOffset + fd->blocks * kBlockSize;
        return size >= fd->blocks * kBlockSize ? 1 : 0;
    }
    if (info.imageType == kTypeDNP) {
        info.hasErrorInfo = 0;
        const int tracks = info.imageData ? nativeTrackCount(info.imageData.get() + info.bodyOffset, size) : 0;
        info.trackCount = static_cast<std::uint8_t>(tracks);
        return tracks > 0 ? 1 : 0;
    }
    // A D64 has as many tracks as its size holds (35, 40 or 42).
    const FormatLayout* layout = formatLayout(info.imageType);
    if (!layout) return 1;
    for (const FormatLayout& row : kLayouts)
        if (row.imageType == info.imageType && row.size <= size && row.size > layout->size) layout = &row;

    info.trackCount = layout->trackCount;
    const std::uint32_t withErrors = layout->size + layout->blockCount;
    if (size == withErrors) {
        info.hasErrorInfo = 1;
        info.errorInfo = info.imageData.get() + info.bodyOffset + size - layout->blockCount;
    } else {
        info.hasErrorInfo = 0;
    }
    return size >= layout->size ? 1 : 0;
}

namespace {
void copyBasicValues(ImageInfo& info, const FormatLayout& layout) {
    info.fortyTrackType = 0;
    info.dirTrack = layout.dirTrack;
    info.dirSector = layout.dirSector;
    info.bamTrack2 = layout.bamTrack2;
    info.geometry = layout.geometry;
}
}  // namespace

void setDiskInitBasicValues(ImageInfo& info) {
    const FormatLayout* layout = formatLayout(info.imageType);
    if (!layout) {
        logMessage(kLogError, "setDiskInitBasicValues: unknown disk type <%d>\n", info.imageType);
        return;
    }
    copyBasicValues(info, *layout);
}

void setDiskInitValues(ImageInfo& info) {
    const FormatLayout* layout = formatLayout(info.imageType);
    if (!layout) {
        logMessage(kLogError, "setDiskInitValues: unknown disk type <%d>\n", info.imageType);
        return;
    }
    copyBasicValues(info, *layout);
    info.headerTrack = layout->headerTrack;
    info.headerSector = layout->headerSector;
    info.bamTrack = layout->bamTrack;
    std::memcpy(info.bamSector, layout->bamSector, sizeof info.bamSector);
    info.bamBlockCount = layout->bamBlockCount;
    info.bamRun = layout->bamRun;
    info.systemTrack = layout->systemTrack;
    info.areaFirstTrack = info.areaLastTrack = 0;
    std::memset(info.bamFirstTrack, 0, sizeof info.bamFirstTrack);
    std::memset(info.bamEndTrack, 0, sizeof info.bamEndTrack);
}

int getDiskBlockCount(const ImageInfo& info) {
    if (!info.geometry || info.trackCount == 0) return 0;
    const TrackGeometry& last = info.geometry[info.trackCount - 1];
    return static_cast<int>(last.offset / kBlockSize + last.sectors);
}

int getTrackSectorCount(const ImageInfo& info, std::uint8_t track) {
    if (!info.geometry || track == 0 || track > info.trackCount) return 0;
    return static_cast<int>(info.geometry[track - 1].sectors);
}

int reservedSectors(const ImageInfo& info, std::uint8_t track) {
    if (track != 1) return 0;
    const FormatLayout* layout = formatLayout(info.imageType);
    return layout ? layout->reservedSectors : 0;
}
