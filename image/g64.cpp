// G64 files: the header, the track and speed tables, and the D64 model the
// tracks decode into. Every offset and length of the file is a claim: it is
// checked against the file before a byte is read.
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/g64.h"
#include "image/image.h"

namespace {

constexpr char kSignature[] = "GCR-1541";
constexpr std::size_t kSignatureSize = 8;
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kHalfTracksOffset = 9;
constexpr std::size_t kMaxTrackSizeOffset = 10;
constexpr std::size_t kTrackTable = 12;  // then the speed table, both one 4-byte entry per half track
constexpr std::uint8_t kVersion = 0;
constexpr std::uint8_t kNewHalfTracks = 84;
constexpr std::uint16_t kNewMaxTrackSize = 7928;
constexpr std::uint32_t kLastSpeedZone = 3;  // a larger speed entry is the offset of a per-byte table
constexpr int kStandardTracks = 35;
// Tracks 36-40 as the forty-track D64 rules have them; 41 and 42 hold no
// block of the model and are kept as they are.
constexpr int kModelTracks = kG64ModelTracks;

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

const TrackGeometry* d64Geometry() { return formatLayout(kTypeD64, true)->geometry; }

// The header as far as it lies inside the file.
struct Header {
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
    if (size < kTrackTable || std::memcmp(file, kSignature, kSignatureSize) != 0 || file[kVersionOffset] != kVersion) {
        logMessage(kLogError, "G64: no GCR-1541 header of version 0\n");
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

// The tracks of a G64 file decoded: blocks by block index of a forty-track
// D64, their error codes, and the per-block and per-track facts the writer
// needs.
struct Decoded {
    CBuffer<std::uint8_t[]> blocks;
    std::uint8_t error[kG64ModelBlocks];
    G64Source* source;  // dataBit and clean are filled when given
    bool fortyTracks;
};

int decodeTracks(const std::uint8_t* file, std::uint32_t size, Decoded& out) {
    Header header;
    if (int rc = readHeader(file, size, header)) return rc;
    out.blocks.reset(static_cast<std::uint8_t*>(std::calloc(kG64ModelBlocks, kBlockSize)));
    if (!out.blocks) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    out.fortyTracks = false;
    const TrackGeometry* geometry = d64Geometry();
    for (int t = 1; t <= kModelTracks; ++t) {
        const std::uint32_t first = geometry[t - 1].offset / kBlockSize;
        const auto sectors = static_cast<std::uint8_t>(geometry[t - 1].sectors);
        const std::uint32_t index = 2 * static_cast<std::uint32_t>(t - 1);
        GcrTrack track;
        std::uint32_t offset = 0;
        if (trackArea(file, size, header, index, offset, track.length)) track.bytes = file + offset + 2;
        else track.length = 0;
        TrackDecode decoded;
        decodeTrack(track, static_cast<std::uint8_t>(t), sectors, out.blocks.get() + kBlockSize * first, decoded);
        std::memcpy(out.error + first, decoded.error, sectors);
        if (t > kStandardTracks && decoded.anyHeader) out.fortyTracks = true;
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
    return (ext[0] == 'g' || ext[0] == 'G') && std::strcmp(ext + 1, "64") == 0 ? kContainerG64 : kContainerPlain;
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

    const FormatLayout& layout = *formatLayout(kTypeD64, decoded.fortyTracks);
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

// A new G64: 84 half tracks, the model's full tracks at the standard
// lengths and speeds, every block good.
int newG64File(const ImageInfo& info, CBuffer<std::uint8_t[]>& out, std::uint32_t& size) {
    const int tracks = info.trackCount;
    const std::uint32_t tablesEnd = kTrackTable + 8 * kNewHalfTracks;
    size = tablesEnd + static_cast<std::uint32_t>(tracks) * (2 + kNewMaxTrackSize);
    out.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
    if (!out) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    std::uint8_t* file = out.get();
    std::memcpy(file, kSignature, kSignatureSize);
    file[kVersionOffset] = kVersion;
    file[kHalfTracksOffset] = kNewHalfTracks;
    file[kMaxTrackSizeOffset] = kNewMaxTrackSize & 0xFF;
    file[kMaxTrackSizeOffset + 1] = kNewMaxTrackSize >> 8;
    for (std::uint32_t index = 0; index < kNewHalfTracks; ++index)
        putLe32(file + kTrackTable + 4 * (kNewHalfTracks + index), speedZone(static_cast<int>(index / 2 + 1)).speed);
    // The disk ID each header carries is the one in the BAM block.
    const FormatLayout& layout = *formatLayout(kTypeD64);
    const std::uint8_t* bam = blockBytes(info, layout.bamTrack, layout.bamSector[0]);
    const std::uint8_t id1 = bam ? bam[layout.idOffset] : 0, id2 = bam ? bam[layout.idOffset + 1] : 0;
    std::uint8_t blocks[21 * kBlockSize];
    for (int t = 1; t <= tracks; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        const std::uint8_t sectors = getTrackSectorCount(info, track);
        for (std::uint8_t s = 0; s < sectors && s < 21; ++s) {
            const std::uint8_t* block = blockBytes(info, track, s);
            if (block) std::memcpy(blocks + kBlockSize * s, block, kBlockSize);
            else std::memset(blocks + kBlockSize * s, 0, kBlockSize);
        }
        const std::uint32_t offset = tablesEnd + static_cast<std::uint32_t>(t - 1) * (2 + kNewMaxTrackSize);
        const std::uint16_t length = speedZone(t).trackLength;
        putLe32(file + kTrackTable + 4 * (2 * (t - 1)), offset);
        file[offset] = length & 0xFF;
        file[offset + 1] = static_cast<std::uint8_t>(length >> 8);
        encodeTrack(file + offset + 2, length, track, sectors, blocks, id1, id2);
    }
    return 0;
}

// The G64 that was read, with every block the model changed re-encoded over
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
    for (int t = 1; t <= info.trackCount && t <= kModelTracks; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        for (std::uint8_t s = 0; s < getTrackSectorCount(info, track); ++s) {
            const int index = getBlockIndex(info, track, s);
            const std::uint8_t* block = blockBytes(info, track, s);
            if (index < 0 || !block) return E_NOT_SUPPORTED;
            const std::uint8_t* before = source.decoded.get() + kBlockSize * static_cast<std::size_t>(index);
            if (std::memcmp(block, before, kBlockSize) == 0) continue;
            std::uint32_t offset = 0, length = 0;
            if (!source.clean[t - 1] || !trackArea(out.get(), size, header, 2 * (t - 1), offset, length)) {
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
    if (info.trackCount > kModelTracks) {
        logMessage(kLogError, "G64: a disk of %d tracks\n", info.trackCount);
        return E_NOT_SUPPORTED;
    }
    const int rc = info.g64 ? patchedG64File(info, out, size) : newG64File(info, out, size);
    if (rc) return rc;
    // Nothing is written that does not read back as the model: every block
    // the model holds as good must decode to its bytes.
    Decoded check {};
    if (decodeTracks(out.get(), size, check) != 0) return E_EWRITE;
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
