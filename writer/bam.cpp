// The block availability map: where each format keeps the free count and the
// free-sector bitmap of a track, and the operations that read and change them.
// Nothing is cached: every call finds its BAM block anew, so a change made by
// markSector is seen by the next test at once.
#include <cstddef>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "writer/writer.h"

namespace {

// Which block of the image a BAM field lives in: bamTrack/bamSector[k], or,
// for the bitmaps of the D71 second side, bamTrack2/bamSector[0].
enum BamBlock : std::uint8_t { kMainBam0, kMainBam1, kMainBam2, kMainBam3, kSecondSide };

// The BAM entries of a run of tracks: the count of track t lies at
// countBase + countStride x (t - firstTrack), its bitmap at
// bitmapBase + bitmapStride x (t - firstTrack).
struct BamZone {
    std::uint8_t firstTrack, lastTrack;
    std::int32_t fortyTrackType;  // 0: every image; 2 or 3: only images of that forty-track layout
    BamBlock countBlock;
    std::uint16_t countBase;
    std::uint8_t countStride;
    BamBlock bitmapBlock;
    std::uint16_t bitmapBase;
    std::uint8_t bitmapStride;
    std::uint8_t bitmapBytes;
    // False where the sector test believes the bitmap alone (D71 second side).
    bool sectorTestReadsCount;
    // No count byte: the free bits are the count (a native partition).
    bool noCount = false;
    // Bit 7 of a byte is its lowest sector (a native partition), else bit 0.
    bool lowSectorHigh = false;
};

struct BamLayout {
    std::int32_t imageType;
    const BamZone* zones;
    std::size_t zoneCount;
    // D64 tracks that only forty- or 42-track layouts describe (0, 0 for none).
    std::uint8_t fortyFirst, fortyLast;
    // D80/D82: each block states its tracks (readStatedBamTracks).
    bool rangeFromBlock;
    // The markSector BAM failure line names the BAM on the single-BAM formats.
    bool markLineNamesBam;
};

constexpr BamZone kZonesD64[] = {
    {1, 35, 0, kMainBam0, 4, 4, kMainBam0, 5, 4, 3, true},
    {36, 42, 2, kMainBam0, 192, 4, kMainBam0, 193, 4, 3, true},  // SpeedDOS (41-42 as VICE runs it on)
    {36, 40, 3, kMainBam0, 172, 4, kMainBam0, 173, 4, 3, true},  // DolphinDOS
};
constexpr BamZone kZonesD71[] = {
    {1, 35, 0, kMainBam0, 4, 4, kMainBam0, 5, 4, 3, true},
    // The second side keeps its counts in the tail of 18/0, its bitmaps on 53/0.
    {36, 70, 0, kMainBam0, 221, 1, kSecondSide, 0, 3, 3, false},
};
constexpr BamZone kZonesD80[] = {
    {1, 50, 0, kMainBam0, 6, 5, kMainBam0, 7, 5, 4, true},
    {51, 77, 0, kMainBam1, 6, 5, kMainBam1, 7, 5, 4, true},
};
constexpr BamZone kZonesD82[] = {
    {1, 50, 0, kMainBam0, 6, 5, kMainBam0, 7, 5, 4, true},
    {51, 100, 0, kMainBam1, 6, 5, kMainBam1, 7, 5, 4, true},
    {101, 150, 0, kMainBam2, 6, 5, kMainBam2, 7, 5, 4, true},
    {151, 154, 0, kMainBam3, 6, 5, kMainBam3, 7, 5, 4, true},
};
constexpr BamZone kZonesD81[] = {
    {1, 40, 0, kMainBam0, 16, 6, kMainBam0, 17, 6, 5, true},
    {41, 80, 0, kMainBam1, 16, 6, kMainBam1, 17, 6, 5, true},
};
// 32 bytes a track, track t at byte 32t of the BAM's run of 32 blocks from
// 1/2 (track 0's slot is the first block's header), no counts.
constexpr BamZone kZonesNative[] = {
    {1, 255, 0, kMainBam0, 0, 0, kMainBam0, 32, 32, 32, false, true, true},
};

template <std::size_t N>
constexpr BamLayout layoutOf(std::int32_t type, const BamZone (&zones)[N], std::uint8_t fortyFirst,
                             std::uint8_t fortyLast, bool rangeFromBlock, bool markLineNamesBam) {
    return {type, zones, N, fortyFirst, fortyLast, rangeFromBlock, markLineNamesBam};
}

constexpr BamLayout kBamLayouts[] = {
    layoutOf(kTypeD64, kZonesD64, 36, 42, false, true),
    layoutOf(kTypeD71, kZonesD71, 0, 0, false, true),
    layoutOf(kTypeD80, kZonesD80, 0, 0, true, false),
    layoutOf(kTypeD82, kZonesD82, 0, 0, true, false),
    layoutOf(kTypeD81, kZonesD81, 0, 0, false, true),
    layoutOf(kTypeDNP, kZonesNative, 0, 0, false, true),
};

// Every entry lies wholly inside its block (a run's entries inside the run:
// 32 blocks), and every bitmap has room for its 8 x bitmapBytes sectors.
constexpr bool zonesFit() {
    for (const BamLayout& layout : kBamLayouts)
        for (std::size_t i = 0; i < layout.zoneCount; ++i) {
            const BamZone& z = layout.zones[i];
            const int last = z.lastTrack - z.firstTrack;
            const int room = z.noCount ? 32 * 256 : 256;
            if (!z.noCount && z.countBase + z.countStride * last > 255) return false;
            if (z.bitmapBase + z.bitmapStride * last + z.bitmapBytes > room || z.bitmapBytes > 32) return false;
            if (z.noCount && (z.bitmapBase + z.bitmapStride * last) % 256 + z.bitmapBytes > 256) return false;
        }
    return true;
}
static_assert(zonesFit());

const BamLayout* bamLayout(std::int32_t imageType) {
    for (const BamLayout& layout : kBamLayouts)
        if (layout.imageType == imageType) return &layout;
    return nullptr;
}

enum class Lookup { kFound, kNoType, kFortyTrackType, kNoEntry };

// Zone i of this image: where the BAM blocks state their tracks and the
// image's statement was taken (readStatedBamTracks), those tracks; else the
// table's. False past the last zone.
bool imageZone(const ImageInfo& info, const BamLayout& layout, std::size_t i, BamZone& out) {
    if (i >= layout.zoneCount) return false;
    out = layout.zones[i];
    if (!layout.rangeFromBlock || info.bamEndTrack[0] == 0) return true;
    if (i >= info.bamBlockCount) return false;
    // Never more entries than the table's widest zone, which fits its block.
    const int tracks = info.bamEndTrack[i] - info.bamFirstTrack[i];
    if (tracks <= 0 || tracks > layout.zones[0].lastTrack - layout.zones[0].firstTrack + 1) return true;
    out.firstTrack = info.bamFirstTrack[i];
    out.lastTrack = static_cast<std::uint8_t>(info.bamEndTrack[i] - 1);
    return true;
}

// The zone that describes track t of this image.
Lookup findZone(const ImageInfo& info, std::uint8_t track, const BamLayout** layoutOut, BamZone* zoneOut) {
    const BamLayout* layout = bamLayout(info.imageType);
    if (!layout) return Lookup::kNoType;
    *layoutOut = layout;
    // A sub-disk's BAM speaks for its own area only.
    if (info.areaFirstTrack != 0 && (track < info.areaFirstTrack || track > info.areaLastTrack)) return Lookup::kNoEntry;
    BamZone z {};
    for (std::size_t i = 0; imageZone(info, *layout, i, z); ++i) {
        if (track < z.firstTrack || track > z.lastTrack) continue;
        if (z.fortyTrackType != 0 && z.fortyTrackType != info.fortyTrackType) continue;
        *zoneOut = z;
        return Lookup::kFound;
    }
    if (layout->fortyFirst != 0 && track >= layout->fortyFirst && track <= layout->fortyLast)
        return Lookup::kFortyTrackType;
    return Lookup::kNoEntry;
}

// The block of a BAM field: `block`, or in a run of BAM blocks the one
// `further` blocks on.
void blockAddress(const ImageInfo& info, BamBlock block, int further, std::uint8_t* track, std::uint8_t* sector) {
    if (block == kSecondSide) {
        *track = info.bamTrack2;
        *sector = info.bamSector[0];
    } else {
        *track = info.bamTrack;
        *sector = bamBlockSector(info, block + further);
    }
}

// A located BAM entry: pointers to the count byte (null where there is
// none) and the first bitmap byte.
struct Entry {
    std::uint8_t* count;
    std::uint8_t* bitmap;
    std::uint8_t bitmapBytes;
    bool lowSectorHigh;
};

bool addressField(const ImageInfo& info, BamBlock block, int offset, std::uint8_t** field, std::uint8_t* badTrack,
                  std::uint8_t* badSector) {
    std::uint8_t t = 0, s = 0;
    std::uint8_t* bytes = nullptr;
    blockAddress(info, block, offset / kBlockSize, &t, &s);
    if (GetDiskSectorAddr(info, t, s, &bytes) != 0) {
        *badTrack = t;
        *badSector = s;
        return false;
    }
    *field = bytes + offset % kBlockSize;
    return true;
}

// Addresses the blocks of the entry; on failure names the refused block.
bool addressEntry(const ImageInfo& info, const BamZone& z, std::uint8_t track, bool needBitmap, Entry* entry,
                  std::uint8_t* badTrack, std::uint8_t* badSector) {
    const int index = track - z.firstTrack;
    entry->count = nullptr;
    entry->bitmap = nullptr;
    entry->bitmapBytes = z.bitmapBytes;
    entry->lowSectorHigh = z.lowSectorHigh;
    if (!z.noCount && !addressField(info, z.countBlock, z.countBase + z.countStride * index, &entry->count, badTrack,
                                    badSector))
        return false;
    if (!needBitmap && !z.noCount) return true;
    return addressField(info, z.bitmapBlock, z.bitmapBase + z.bitmapStride * index, &entry->bitmap, badTrack,
                        badSector);
}

// Bit s of the result is sector s, whichever bit of its byte holds it.
SectorBits readBitmap(const Entry& e) {
    SectorBits bits;
    for (int s = 0; s < 8 * e.bitmapBytes; ++s)
        if ((e.bitmap[s / 8] >> (e.lowSectorHigh ? 7 - s % 8 : s % 8)) & 1) bits.set(s);
    return bits;
}

void writeBitmap(const Entry& e, const SectorBits& bits) {
    for (int i = 0; i < e.bitmapBytes; ++i) {
        std::uint8_t byte = 0;
        for (int b = 0; b < 8; ++b)
            if (bits.test(8 * i + b)) byte = static_cast<std::uint8_t>(byte | 1 << (e.lowSectorHigh ? 7 - b : b));
        e.bitmap[i] = byte;
    }
}

bool bitOf(const Entry& e, int s) { return ((e.bitmap[s / 8] >> (e.lowSectorHigh ? 7 - s % 8 : s % 8)) & 1) != 0; }

// The track's free count: its count byte, or its free bits where it has none.
int entryCount(const Entry& e) {
    if (e.count) return *e.count;
    int n = 0;
    for (int i = 0; i < e.bitmapBytes; ++i)
        for (unsigned b = e.bitmap[i]; b != 0; b &= b - 1) ++n;
    return n;
}

}  // namespace

std::uint8_t IsTrackFree(const ImageInfo& info, std::uint8_t track) {
    logMessage(kLogBam, "IsTrackFree: for %d ...\n", track);
    const BamLayout* layout = nullptr;
    BamZone zone {};
    switch (findZone(info, track, &layout, &zone)) {
    case Lookup::kNoType:
        logMessage(kLogError, "IsTrackFree: type not supported %d\n", info.imageType);
        return 0;
    case Lookup::kFortyTrackType:
        logMessage(kLogWarning, "IsTrackFree: unknown 40 track type %d\n", info.fortyTrackType);
        return 0;
    case Lookup::kNoEntry:
        logMessage(kLogWarning, "IsTrackFree: no BAM entry for track %d\n", track);
        return 0;
    case Lookup::kFound:
        break;
    }
    Entry entry {};
    std::uint8_t badTrack = 0, badSector = 0;
    if (!addressEntry(info, zone, track, false, &entry, &badTrack, &badSector)) {
        logMessage(kLogError, "IsTrackFree: bad GetDiskSectorAddr call (%d:%d)\n", badTrack, badSector);
        return 0;
    }
    const std::uint8_t result = entryCount(entry) != 0 ? 1 : 0;
    logMessage(kLogBam, "IsTrackFree: returning %d\n", result);
    return result;
}

std::uint8_t IsSectorFree(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    logMessage(kLogBam, "IsSectorFree: for %d/%d\n", track, sector);
    const BamLayout* layout = nullptr;
    BamZone zone {};
    switch (findZone(info, track, &layout, &zone)) {
    case Lookup::kNoType:
        logMessage(kLogError, "IsSectorFree: type not supported %d\n", info.imageType);
        return 0;
    case Lookup::kFortyTrackType:
        logMessage(kLogWarning, "IsSectorFree: unknown 40 track type %d\n", info.fortyTrackType);
        return 0;
    case Lookup::kNoEntry:
        logMessage(kLogWarning, "IsSectorFree: no BAM entry for track %d\n", track);
        return 0;
    case Lookup::kFound:
        break;
    }
    Entry entry {};
    std::uint8_t badTrack = 0, badSector = 0;
    if (!addressEntry(info, zone, track, true, &entry, &badTrack, &badSector)) {
        logMessage(kLogError, "IsSectorFree: bad GetDiskSectorAddr call (%d:%d)\n", badTrack, badSector);
        return 0;
    }
    if (zone.sectorTestReadsCount && *entry.count == 0) return 0;
    std::uint8_t result = 0;
    if (sector < 8 * entry.bitmapBytes) result = bitOf(entry, sector) ? 1 : 0;
    logMessage(kLogBam, "IsSectorFree: returning %d\n", result);
    return result;
}

void markSector(ImageInfo& info, std::uint8_t track, std::uint8_t sector, int mode) {
    std::uint8_t* data = nullptr;
    if (GetDiskSectorAddr(info, track, sector, &data) != 0) {
        logMessage(kLogError, "markSector: bad GetDiskSectorAddr call data (%d:%d)\n", track, sector);
        return;
    }
    const BamLayout* layout = nullptr;
    BamZone zone {};
    switch (findZone(info, track, &layout, &zone)) {
    case Lookup::kNoType:
        logMessage(kLogError, "markSector: format %d not supported (yet)", info.imageType);
        return;
    case Lookup::kFortyTrackType:
        logMessage(kLogError, "markSector: unknown 40 track type %d\n", info.fortyTrackType);
        return;
    case Lookup::kNoEntry:
        logMessage(kLogError, "markSector: no BAM entry for track %d\n", track);
        return;
    case Lookup::kFound:
        break;
    }
    Entry entry {};
    std::uint8_t badTrack = 0, badSector = 0;
    if (!addressEntry(info, zone, track, true, &entry, &badTrack, &badSector)) {
        if (layout->markLineNamesBam)
            logMessage(kLogError, "markSector: bad GetDiskSectorAddr call BAM (%d:%d)\n", badTrack, badSector);
        else
            logMessage(kLogError, "markSector: bad GetDiskSectorAddr call (%d:%d)\n", badTrack, badSector);
        return;
    }
    if (sector >= 8 * entry.bitmapBytes) return;  // every addressable sector has a bit; kept for safety
    SectorBits bits = readBitmap(entry);
    const bool used = mode == kMarkUsed;
    // A block already in the requested state keeps count and bit as they are,
    // so a double free or double allocation cannot drift the count.
    if (!bits.test(sector) == used) {
        logMessage(kLogWarning, "markSector: %d:%d already marked %s\n", track, sector, used ? "used" : "free");
        return;
    }
    if (used) bits.reset(sector);
    else bits.set(sector);
    // An inconsistent count is not wrapped around: a full track must not turn
    // into one with 255 free blocks.
    if (entry.count && used) {
        if (*entry.count > 0) --*entry.count;
    } else if (entry.count && *entry.count < 255) {
        ++*entry.count;
    }
    writeBitmap(entry, bits);
}

std::int32_t getFreeDataBlocksOnDisk(const ImageInfo& info) {
    const BamLayout* layout = bamLayout(info.imageType);
    if (!layout) {
        logMessage(kLogError, "getFreeDataBlocksOnDisk: format %d not supported (yet)", info.imageType);
        return 0;
    }
    // Tracks 36-42 of a D64 count by the image's own track count and the
    // layout recognised in it, never by a dialog setting.
    const bool fortyTrackImage = layout->fortyFirst != 0 && info.trackCount >= layout->fortyFirst;
    if (fortyTrackImage && info.fortyTrackType != 2 && info.fortyTrackType != 3)
        logMessage(kLogWarning, "getFreeDataBlocksOnDisk: unknown 40 tracks type %d\n", info.fortyTrackType);

    std::int32_t sum = 0;
    BamZone z {};
    for (std::size_t i = 0; imageZone(info, *layout, i, z); ++i) {
        if (z.fortyTrackType != 0 && (!fortyTrackImage || z.fortyTrackType != info.fortyTrackType)) continue;
        const int end = z.lastTrack + 1 > info.trackCount + 1 ? info.trackCount + 1 : z.lastTrack + 1;
        for (int track = z.firstTrack; track < end; ++track) {
            if (track == info.systemTrack || track == info.bamTrack2) continue;
            if (info.areaFirstTrack != 0 && (track < info.areaFirstTrack || track > info.areaLastTrack)) continue;
            Entry entry {};
            std::uint8_t t = 0, s = 0;
            if (!addressEntry(info, z, static_cast<std::uint8_t>(track), z.noCount, &entry, &t, &s)) {
                logMessage(kLogError, "getFreeDataBlocksOnDisk: bad GetDiskSectorAddr call (%d:%d)\n", t, s);
                return 0;
            }
            sum += entryCount(entry);
        }
    }
    return sum;
}

std::int32_t getFreeDirBlocksOnDisk(const ImageInfo& info) {
    // Without a directory track the directory grows into any free block.
    if (info.systemTrack == 0 && bamLayout(info.imageType)) return getAllocatableBlocks(info, false);
    const BamLayout* layout = nullptr;
    BamZone zone {};
    if (findZone(info, info.systemTrack, &layout, &zone) != Lookup::kFound) {
        logMessage(kLogError, "getFreeDirBlocksOnDisk: format %d not supported (yet)", info.imageType);
        return 0;
    }
    Entry entry {};
    std::uint8_t badTrack = 0, badSector = 0;
    if (!addressEntry(info, zone, info.systemTrack, zone.noCount, &entry, &badTrack, &badSector)) {
        logMessage(kLogError, "getFreeDirBlocksOnDisk: bad GetDiskSectorAddr call (%d:%d)\n", badTrack, badSector);
        return 0;
    }
    return entryCount(entry);
}

std::int32_t getAllocatableBlocks(const ImageInfo& info, bool dirTrackOnly) {
    std::int32_t sum = 0;
    for (int t = 1; t <= info.trackCount; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        if (dirTrackOnly != (track == info.systemTrack) || track == info.bamTrack2) continue;
        SectorBits bits;
        int count = 0;
        if (!readBamEntry(info, track, bits, count)) continue;
        // The allocator takes a sector only while the track's count is above
        // 0 and its bit says free: whichever of the two runs out first. The
        // sectors kept for the DOS it never takes.
        for (int s = 0; s < reservedSectors(info, track); ++s) bits.reset(s);
        const int freeBits = bits.count();
        sum += freeBits < count ? freeBits : count;
    }
    return sum;
}

namespace {
// The track's whole entry, quietly: false when the image keeps none.
bool locateEntry(const ImageInfo& info, std::uint8_t track, Entry& entry) {
    const BamLayout* layout = nullptr;
    BamZone zone {};
    std::uint8_t badTrack = 0, badSector = 0;
    return findZone(info, track, &layout, &zone) == Lookup::kFound &&
           addressEntry(info, zone, track, true, &entry, &badTrack, &badSector);
}
}  // namespace

bool readBamEntry(const ImageInfo& info, std::uint8_t track, SectorBits& freeBits, int& count) {
    Entry entry {};
    if (!locateEntry(info, track, entry)) return false;
    // Only the bits of sectors the track has.
    const int sectors = getTrackSectorCount(info, track);
    const SectorBits all = readBitmap(entry);
    freeBits = SectorBits {};
    for (int s = 0; s < sectors; ++s)
        if (all.test(s)) freeBits.set(s);
    count = entry.count ? *entry.count : freeBits.count();
    return true;
}

bool writeBamEntry(ImageInfo& info, std::uint8_t track, const SectorBits& freeBits) {
    Entry entry {};
    if (!locateEntry(info, track, entry)) return false;
    writeBitmap(entry, freeBits);
    if (entry.count) *entry.count = static_cast<std::uint8_t>(freeBits.count());
    return true;
}
