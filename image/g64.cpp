// G64 and G71 files: the header, the track and speed tables, and the D64 or
// D71 model the tracks decode into. Every offset and length of the file is a
// claim: it is checked against the file before a byte is read.
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/g64.h"
#include "image/image.h"

namespace {

constexpr std::size_t kSignatureSize = 8;
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kHalfTracksOffset = 9;
constexpr std::size_t kMaxTrackSizeOffset = 10;
constexpr std::size_t kTrackTable = 12;  // then the speed table, both one 4-byte entry per half track
constexpr std::uint8_t kVersion = 0;
constexpr std::uint8_t kNewHalfTracks = 84;  // of a side
constexpr std::uint16_t kNewMaxTrackSize = 7928;
constexpr std::uint32_t kLastSpeedZone = 3;  // a larger speed entry is the offset of a per-byte table
constexpr int kStandardTracks = 35;
constexpr int kFortyTracks = 40;
// The tracks a drive's head reaches: a new G71 stores them all on both sides.
constexpr int kPhysicalTracks = 42;

// The two kinds of GCR file. A G64 holds one side: full track T in half
// track slot 2 x (T - 1); its model has 35 tracks, or 40 or 42 where tracks
// past 35 or 40 carry a sound header (the D64 rules for those tracks apply).
// A G71 holds a 1571 disk's two sides of 84 slots each: side 1's physical
// track p is DOS track 35 + p, and its headers say so. The slots of physical
// tracks 36-42 (formatted by c1541, numbered 71-84) hold no block of the D71
// and are kept as they are.
struct GcrKind {
    const char* signature;
    std::int32_t modelType;
    int sides;
    int modelTracks;  // the most
};
constexpr GcrKind kKinds[] = {
    {"GCR-1541", kTypeD64, 1, 42},
    {"GCR-1571", kTypeD71, 2, 70},
};
static_assert(kKinds[1].modelTracks == kG64ModelTracks);

const GcrKind* kindOfModel(std::int32_t imageType) {
    for (const GcrKind& kind : kKinds)
        if (kind.modelType == imageType) return &kind;
    return nullptr;
}

int sideOf(const GcrKind& kind, int track) { return kind.sides == 2 && track > kStandardTracks ? 1 : 0; }
int physicalTrack(const GcrKind& kind, int track) { return track - kStandardTracks * sideOf(kind, track); }
std::uint32_t slotOf(const GcrKind& kind, int track) {
    return static_cast<std::uint32_t>(kNewHalfTracks * sideOf(kind, track) + 2 * (physicalTrack(kind, track) - 1));
}

// The zones of a 1541 disk: speed entry and the track length a new image
// gets (the bits a drive at that speed writes in one turn, as usual).
struct SpeedZone {
    int lastTrack;
    std::uint32_t speed;
    std::uint16_t trackLength;
};
constexpr SpeedZone kSpeedZones[] = {{17, 3, 7692}, {24, 2, 7142}, {30, 1, 6666}, {42, 0, 6250}};

const SpeedZone& speedZone(int track) {
    for (const SpeedZone& zone : kSpeedZones)
        if (track <= zone.lastTrack) return zone;
    return kSpeedZones[3];
}

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void putLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The header as far as it lies inside the file.
struct Header {
    const GcrKind* kind = nullptr;
    std::uint32_t halfTracks = 0;
    std::uint32_t maxTrackSize = 0;
    std::uint32_t tablesEnd = 0;
};

// Where half track `index` keeps its GCR bytes: false when it has none or
// they do not lie wholly inside the file.
bool trackArea(const std::uint8_t* file, std::uint32_t size, const Header& header, std::uint32_t index,
               std::uint32_t& offset, std::uint32_t& length) {
    if (index >= header.halfTracks) return false;
    offset = le32(file + kTrackTable + 4 * index);
    if (offset == 0 || offset >= size || size - offset < 2) return false;
    length = file[offset] | (file[offset + 1] << 8);
    return length != 0 && length <= size - offset - 2;
}

int readHeader(const std::uint8_t* file, std::uint32_t size, Header& header) {
    header.kind = nullptr;
    for (const GcrKind& kind : kKinds)
        if (size >= kTrackTable && std::memcmp(file, kind.signature, kSignatureSize) == 0) header.kind = &kind;
    if (!header.kind || file[kVersionOffset] != kVersion) {
        logMessage(kLogError, "G64: no GCR-1541 or GCR-1571 header of version 0\n");
        return E_UNKNOWN_FORMAT;
    }
    header.halfTracks = file[kHalfTracksOffset];
    header.maxTrackSize = file[kMaxTrackSizeOffset] | (file[kMaxTrackSizeOffset + 1] << 8);
    header.tablesEnd = static_cast<std::uint32_t>(kTrackTable + 8 * header.halfTracks);
    if (header.tablesEnd > size) {
        logMessage(kLogError, "G64: the track tables of %d half tracks end beyond the file\n",
                   static_cast<int>(header.halfTracks));
        return E_BAD_DATA;
    }
    return 0;
}

// A track may be written in place only when its area lies behind the
// tables, within the maximum size, shares no byte with another half track's
// area, and runs at one of the four speeds.
bool writableArea(const std::uint8_t* file, std::uint32_t size, const Header& header, std::uint32_t index) {
    std::uint32_t offset = 0, length = 0;
    if (!trackArea(file, size, header, index, offset, length)) return false;
    if (offset < header.tablesEnd || length > header.maxTrackSize) return false;
    if (le32(file + kTrackTable + 4 * (header.halfTracks + index)) > kLastSpeedZone) return false;
    const std::uint32_t end = offset + 2 + length;
    for (std::uint32_t other = 0; other < header.halfTracks; ++other) {
        std::uint32_t o = 0, l = 0;
        if (other == index || !trackArea(file, size, header, other, o, l)) continue;
        if (o < end && offset < o + 2 + l) return false;
    }
    return true;
}

// The tracks of a G64 or G71 file decoded: blocks by block index of the
// largest model of its kind, their error codes, and the per-block and
// per-track facts the writer needs.
struct Decoded {
    CBuffer<std::uint8_t[]> blocks;
    std::uint8_t error[kG64ModelBlocks];
    G64Source* source;  // dataBit and clean are filled when given
    const GcrKind* kind;
    bool fortyTracks, fortyTwoTracks;  // a G64's tracks past 35, past 40 hold a sound header
    // The tracks of the model.
    int tracks() const {
        if (kind->sides == 2) return kind->modelTracks;
        return fortyTwoTracks ? kPhysicalTracks : fortyTracks ? kFortyTracks : kStandardTracks;
    }
};

int decodeTracks(const std::uint8_t* file, std::uint32_t size, Decoded& out) {
    Header header;
    if (int rc = readHeader(file, size, header)) return rc;
    out.blocks.reset(static_cast<std::uint8_t*>(std::calloc(kG64ModelBlocks, kBlockSize)));
    if (!out.blocks) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    out.kind = header.kind;
    out.fortyTracks = out.fortyTwoTracks = false;
    const TrackGeometry* geometry = diskLayout(out.kind->modelType, out.kind->modelTracks)->geometry;
    for (int t = 1; t <= out.kind->modelTracks; ++t) {
        const std::uint32_t first = geometry[t - 1].offset / kBlockSize;
        const auto sectors = static_cast<std::uint8_t>(geometry[t - 1].sectors);
        const std::uint32_t index = slotOf(*out.kind, t);
        GcrTrack track;
        std::uint32_t offset = 0;
        if (trackArea(file, size, header, index, offset, track.length)) track.bytes = file + offset + 2;
        else track.length = 0;
        TrackDecode decoded;
        decodeTrack(track, static_cast<std::uint8_t>(t), sectors, out.blocks.get() + kBlockSize * first, decoded);
        std::memcpy(out.error + first, decoded.error, sectors);
        if (t > kStandardTracks && decoded.anyHeader) out.fortyTracks = true;
        if (t > kFortyTracks && decoded.anyHeader) out.fortyTwoTracks = true;
        if (!out.source) continue;
        std::memcpy(out.source->dataBit.data() + first, decoded.dataBit, sectors * sizeof decoded.dataBit[0]);
        out.source->clean[t - 1] = decoded.clean && writableArea(file, size, header, index) ? 1 : 0;
    }
    return 0;
}

}  // namespace

std::int32_t imageContainerOfPath(const char* path) {
    const char* dot = std::strrchr(path, '.');
    if (!dot) return kContainerPlain;
    const char* ext = dot + 1;
    return (ext[0] == 'g' || ext[0] == 'G') && (std::strcmp(ext + 1, "64") == 0 || std::strcmp(ext + 1, "71") == 0)
               ? kContainerG64
               : kContainerPlain;
}

int decodeG64Image(ImageInfo& info) {
    std::unique_ptr<G64Source> source(new (std::nothrow) G64Source {});
    if (!source) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    Decoded decoded {};
    decoded.source = source.get();
    const auto fileSize = static_cast<std::uint32_t>(info.imageSize);
    if (int rc = decodeTracks(info.imageData.get(), fileSize, decoded)) return rc;
    // The kind was told by the same signature; a file that changed since is
    // refused rather than taken for the other drive's disk.
    if (decoded.kind->modelType != info.imageType) {
        logMessage(kLogError, "G64: a %.8s file holds no disk of this type\n", decoded.kind->signature);
        return E_UNKNOWN_FORMAT;
    }

    const FormatLayout& layout = *diskLayout(info.imageType, decoded.tracks());
    bool anyError = false;
    for (int b = 0; b < layout.blockCount; ++b) anyError = anyError || decoded.error[b] != kErrorOk;
    // The D64 model, with error bytes only when a block needs one.
    const std::uint32_t modelSize = layout.size + (anyError ? layout.blockCount : 0u);
    CBuffer<std::uint8_t[]> model(static_cast<std::uint8_t*>(std::malloc(modelSize)));
    if (!model) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    // Block index b lies at 256 x b in a D64.
    std::memcpy(model.get(), decoded.blocks.get(), layout.size);
    if (anyError) std::memcpy(model.get() + layout.size, decoded.error, layout.blockCount);
    // Such tracks are read, never written.
    for (int t = 1; t <= layout.trackCount; ++t)
        if (!source->clean[t - 1]) logMessage(kLogTrace, "G64: track %d is not a standard track\n", t);

    source->file = std::move(info.imageData);
    source->fileSize = fileSize;
    source->decoded = std::move(decoded.blocks);
    info.imageData = std::move(model);
    info.imageSize = static_cast<std::int32_t>(modelSize);
    info.g64 = std::move(source);
    return 0;
}

namespace {

// A new file of the model's kind: 84 half tracks a side, the model's full
// tracks at the standard lengths and speeds, every block good. A G71 stores
// physical tracks 1-42 of both sides, as c1541 makes one: the tracks past 35
// formatted empty, their headers numbered 71-77 (side 0) and 78-84 (side 1).
int newG64File(const ImageInfo& info, const GcrKind& kind, CBuffer<std::uint8_t[]>& out, std::uint32_t& size) {
    const int perSide = kind.sides == 2 ? kPhysicalTracks : info.trackCount;
    const std::uint32_t halfTracks = kNewHalfTracks * static_cast<std::uint32_t>(kind.sides);
    const std::uint32_t tablesEnd = kTrackTable + 8 * halfTracks;
    size = tablesEnd + static_cast<std::uint32_t>(perSide * kind.sides) * (2 + kNewMaxTrackSize);
    out.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
    if (!out) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    std::uint8_t* file = out.get();
    std::memcpy(file, kind.signature, kSignatureSize);
    file[kVersionOffset] = kVersion;
    file[kHalfTracksOffset] = static_cast<std::uint8_t>(halfTracks);
    file[kMaxTrackSizeOffset] = kNewMaxTrackSize & 0xFF;
    file[kMaxTrackSizeOffset + 1] = kNewMaxTrackSize >> 8;
    for (std::uint32_t index = 0; index < halfTracks; ++index)
        putLe32(file + kTrackTable + 4 * (halfTracks + index),
                speedZone(static_cast<int>(index % kNewHalfTracks / 2 + 1)).speed);
    // The disk ID each header carries is the one in the BAM block.
    const FormatLayout& layout = *formatLayout(info.imageType);
    const std::uint8_t* bam = blockBytes(info, layout.bamTrack, layout.bamSector[0]);
    const std::uint8_t id1 = bam ? bam[layout.idOffset] : 0, id2 = bam ? bam[layout.idOffset + 1] : 0;
    const TrackGeometry* zones = diskLayout(kTypeD64, kPhysicalTracks)->geometry;
    std::uint8_t blocks[21 * kBlockSize];
    for (int k = 0; k < perSide * kind.sides; ++k) {
        const int side = k / perSide, physical = k % perSide + 1;
        const bool inModel = physical <= kStandardTracks || kind.sides == 1;
        const int number = inModel ? physical + kStandardTracks * side
                                   : 2 * kStandardTracks + (kPhysicalTracks - kStandardTracks) * side +
                                         (physical - kStandardTracks);
        const auto track = static_cast<std::uint8_t>(number);
        const auto sectors = static_cast<std::uint8_t>(zones[physical - 1].sectors);
        std::memset(blocks, 0, sizeof blocks);
        for (std::uint8_t s = 0; inModel && s < sectors && s < 21; ++s)
            if (const std::uint8_t* block = blockBytes(info, track, s)) std::memcpy(blocks + kBlockSize * s, block, kBlockSize);
        const std::uint32_t offset = tablesEnd + static_cast<std::uint32_t>(k) * (2 + kNewMaxTrackSize);
        const std::uint16_t length = speedZone(physical).trackLength;
        putLe32(file + kTrackTable + 4 * (kNewHalfTracks * static_cast<std::uint32_t>(side) + 2 * (physical - 1)), offset);
        file[offset] = length & 0xFF;
        file[offset + 1] = static_cast<std::uint8_t>(length >> 8);
        encodeTrack(file + offset + 2, length, track, sectors, blocks, id1, id2);
    }
    return 0;
}

// The file that was read, with every block the model changed re-encoded over
// its data block's bits; nothing else of the file moves.
int patchedG64File(const ImageInfo& info, CBuffer<std::uint8_t[]>& out, std::uint32_t& size) {
    const G64Source& source = *info.g64;
    size = source.fileSize;
    out.reset(static_cast<std::uint8_t*>(std::malloc(size ? size : 1)));
    if (!out) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    std::memcpy(out.get(), source.file.get(), size);
    Header header;
    if (int rc = readHeader(out.get(), size, header)) return rc;
    for (int t = 1; t <= info.trackCount && t <= header.kind->modelTracks; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        for (std::uint8_t s = 0; s < getTrackSectorCount(info, track); ++s) {
            const int index = getBlockIndex(info, track, s);
            const std::uint8_t* block = blockBytes(info, track, s);
            if (index < 0 || !block) return E_NOT_SUPPORTED;
            const std::uint8_t* before = source.decoded.get() + kBlockSize * static_cast<std::size_t>(index);
            if (std::memcmp(block, before, kBlockSize) == 0) continue;
            std::uint32_t offset = 0, length = 0;
            if (!source.clean[t - 1] || !trackArea(out.get(), size, header, slotOf(*header.kind, t), offset, length)) {
                logMessage(kLogError, "G64: track %d is not a standard track -> read only\n", t);
                return E_NOT_SUPPORTED;
            }
            std::uint8_t gcr[kGcrDataBytes];
            encodeDataBlock(block, gcr);
            writeTrackBits(out.get() + offset + 2, length, source.dataBit[static_cast<std::size_t>(index)], gcr,
                           kGcrDataBytes);
        }
    }
    return 0;
}

}  // namespace

int encodeG64Image(const ImageInfo& info, CBuffer<std::uint8_t[]>& out, std::uint32_t& size) {
    const GcrKind* kind = kindOfModel(info.imageType);
    if (!kind || info.trackCount > kind->modelTracks) {
        logMessage(kLogError, "G64: a disk of %d tracks\n", info.trackCount);
        return E_NOT_SUPPORTED;
    }
    const int rc = info.g64 ? patchedG64File(info, out, size) : newG64File(info, *kind, out, size);
    if (rc) return rc;
    // Nothing is written that does not read back as the model: every block
    // the model holds as good must decode to its bytes.
    Decoded check {};
    if (decodeTracks(out.get(), size, check) != 0 || check.kind != kind) return E_EWRITE;
    for (int t = 1; t <= info.trackCount; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        for (std::uint8_t s = 0; s < getTrackSectorCount(info, track); ++s) {
            const int index = getBlockIndex(info, track, s);
            const std::uint8_t* block = blockBytes(info, track, s);
            if (index < 0 || !block) return E_EWRITE;
            if (info.hasErrorInfo && info.errorInfo && info.errorInfo[index] > kErrorOk) continue;
            if (check.error[index] != kErrorOk ||
                std::memcmp(block, check.blocks.get() + kBlockSize * static_cast<std::size_t>(index), kBlockSize)) {
                logMessage(kLogError, "G64: block %d:%d does not read back as written -> not written\n", t, s);
                return E_EWRITE;
            }
        }
    }
    return 0;
}
