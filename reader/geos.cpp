// GEOS files read as Convert (.cvt) files, the form in which cbmconvert and
// the C64's Convert program pass them around: one host file holds the
// directory entry, the info block and, for a VLIR file, every record.
#include <cstring>

#include "core/settings.h"
#include "image/image.h"
#include "reader/reader.h"

namespace {

// A record's block count is one byte of the Convert table.
constexpr std::uint32_t kMaxRecordBlocks = 255;

struct RecordShape {
    std::uint8_t track, sector;  // first block; track 0: no data
    std::uint8_t blocks;
    std::uint8_t lastByte;       // link byte of its last block: bytes used + 1
    std::uint32_t bytes;
};

// The GEOS file as found before anything is written: the Convert header
// carries the block count, the table the records' lengths.
struct GeosShape {
    std::uint8_t infoBlock[kBlockSize];
    bool vlir;
    std::uint8_t index[kBlockSize];
    RecordShape records[kVlirRecordSlots];
    int recordCount;  // table pairs before its end
    int lastFilled;   // the last record holding data; -1 none
    std::uint32_t blocks;
    std::uint32_t convertBytes;
};

ChainWalk failedAt(ChainWalk::Outcome outcome, std::uint8_t track, std::uint8_t sector) {
    ChainWalk walk;
    walk.outcome = outcome;
    walk.track = track;
    walk.sector = sector;
    return walk;
}

bool countRecordBlock(void* context, const std::uint8_t*, std::size_t) {
    return ++*static_cast<std::uint32_t*>(context) <= kMaxRecordBlocks;
}

ChainWalk measureRecords(const ImageInfo& info, GeosShape& shape, BlockSet& visits) {
    shape.blocks = 2;  // info and index block
    shape.convertBytes = kConvertVlirDataOffset;
    for (int r = 0; r < kVlirRecordSlots; ++r) {
        RecordShape& record = shape.records[r];
        record.track = shape.index[kVlirIndexPairs + 2 * r];
        record.sector = shape.index[kVlirIndexPairs + 2 * r + 1];
        if (record.track == 0 && record.sector == 0) break;
        shape.recordCount = r + 1;
        // 00 FF is an empty record; cbmconvert reads any other 00 xx so too.
        if (record.track == 0) continue;
        std::uint32_t counted = 0;
        ChainWalk walk = followFileChain(info, record.track, record.sector, 1, countRecordBlock, &counted, visits);
        if (walk.outcome == ChainWalk::kStopped) walk.outcome = ChainWalk::kMalformed;
        if (walk.outcome != ChainWalk::kComplete) return walk;
        // The table gives a record's length by its last block's link byte,
        // which cannot say "no byte".
        const std::uint32_t last = walk.bytes - (walk.blocks - 1) * kConvertBlock;
        if (last == 0) return failedAt(ChainWalk::kMalformed, walk.track, walk.sector);
        record.blocks = static_cast<std::uint8_t>(walk.blocks);
        record.lastByte = static_cast<std::uint8_t>(last + 1);
        record.bytes = walk.bytes;
        shape.blocks += walk.blocks;
        shape.lastFilled = r;
    }
    for (int r = 0; r <= shape.lastFilled; ++r) {
        const RecordShape& record = shape.records[r];
        if (record.track == 0) continue;
        shape.convertBytes += r == shape.lastFilled ? record.bytes : record.blocks * kConvertBlock;
    }
    return {};
}

// Reads one block of the file (info or index block) into `to`.
ChainWalk readPart(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint8_t* to,
                   BlockSet& visits) {
    if (const int error = GetDiskSector(info, track, sector, to); error != 0) {
        ChainWalk walk = failedAt(ChainWalk::kUnreadable, track, sector);
        walk.error = error;
        return walk;
    }
    if (!visits.insert(info, track, sector)) return failedAt(ChainWalk::kCircular, track, sector);
    return {};
}

ChainWalk measureGeosFile(const ImageInfo& info, const std::uint8_t* entry, GeosShape& shape, BlockSet& visits) {
    std::memset(&shape, 0, sizeof shape);
    shape.lastFilled = -1;
    const std::uint8_t structure = entry[kDirGeosStructure];
    if (structure > kGeosVlir) return failedAt(ChainWalk::kMalformed, entry[kDirStartTrack], entry[kDirStartSector]);
    ChainWalk part = readPart(info, entry[kDirGeosInfoTrack], entry[kDirGeosInfoSector], shape.infoBlock, visits);
    if (part.outcome != ChainWalk::kComplete) return part;
    shape.vlir = structure == kGeosVlir;
    if (shape.vlir) {
        part = readPart(info, entry[kDirStartTrack], entry[kDirStartSector], shape.index, visits);
        if (part.outcome != ChainWalk::kComplete) return part;
        return measureRecords(info, shape, visits);
    }
    // A sequential GEOS file always has its data chain (a count of 1 keeps
    // start track 0 from passing for an empty file).
    const ChainWalk data =
        followFileChain(info, entry[kDirStartTrack], entry[kDirStartSector], 1, nullptr, nullptr, visits);
    if (data.outcome != ChainWalk::kComplete) return data;
    shape.blocks = 1 + data.blocks;
    shape.convertBytes = kConvertSeqDataOffset + data.bytes;
    return {};
}

}  // namespace

bool isConvertibleGeosType(std::uint8_t fileType, std::uint8_t geosFileType) {
    const std::uint8_t type = static_cast<std::uint8_t>(fileType & ~kTypeLocked);
    return geosFileType != 0 && type >= kTypeDel && type <= kTypeUsr;
}

bool isGeosEntry(const std::uint8_t* entry) {
    return isConvertibleGeosType(entry[kDirEntryType], entry[kDirGeosFileType]);
}

bool isListedAsConvert(const std::uint8_t* entry) { return geosAsConvert != 0 && isGeosEntry(entry); }

ChainWalk followConvertFile(const ImageInfo& info, const std::uint8_t* entry, ChainDataFn onData, void* context) {
    GeosShape shape;
    BlockSet visits;
    const ChainWalk measured = measureGeosFile(info, entry, shape, visits);
    if (measured.outcome != ChainWalk::kComplete) return measured;
    ChainWalk result;
    result.blocks = shape.blocks;
    result.bytes = shape.convertBytes;
    if (!onData) return result;
    auto stopped = [&]() {
        result.outcome = ChainWalk::kStopped;
        return result;
    };

    std::uint8_t header[kConvertBlock] = {};
    std::memcpy(header, entry + kDirEntryType, kConvertEntryBytes);
    // The block pointers mean nothing outside the image.
    header[convertOffset(kDirStartTrack)] = 0;
    header[convertOffset(kDirStartSector)] = 0;
    header[convertOffset(kDirGeosInfoTrack)] = 0;
    header[convertOffset(kDirGeosInfoSector)] = 0;
    // The count the file really has, not the one the directory claims.
    header[convertOffset(kDirBlockCount)] = static_cast<std::uint8_t>(shape.blocks & 0xFF);
    header[convertOffset(kDirBlockCount) + 1] = static_cast<std::uint8_t>(shape.blocks >> 8);
    std::memcpy(header + kConvertSignatureOffset, kConvertSignature, sizeof kConvertSignature - 1);
    if (!onData(context, header, sizeof header)) return stopped();
    // The second walk meets the blocks the first one did, in the same order.
    BlockSet again;
    again.insert(info, entry[kDirGeosInfoTrack], entry[kDirGeosInfoSector]);
    if (shape.vlir) again.insert(info, entry[kDirStartTrack], entry[kDirStartSector]);
    if (!onData(context, shape.infoBlock + 2, kConvertBlock)) return stopped();

    if (!shape.vlir) {
        const ChainWalk data =
            followFileChain(info, entry[kDirStartTrack], entry[kDirStartSector], 1, onData, context, again);
        if (data.outcome != ChainWalk::kComplete) return data;
        return result;
    }
    std::uint8_t table[kConvertBlock] = {};
    for (int r = 0; r < shape.recordCount; ++r) {
        const RecordShape& record = shape.records[r];
        table[2 * r] = record.track == 0 ? 0 : record.blocks;
        table[2 * r + 1] = record.track == 0 ? kVlirEmptyRecord : record.lastByte;
    }
    if (!onData(context, table, sizeof table)) return stopped();
    static constexpr std::uint8_t kZeros[kConvertBlock] = {};
    for (int r = 0; r <= shape.lastFilled; ++r) {
        const RecordShape& record = shape.records[r];
        if (record.track == 0) continue;
        const ChainWalk data = followFileChain(info, record.track, record.sector, 1, onData, context, again);
        if (data.outcome != ChainWalk::kComplete) return data;
        // Every record but the last one with data fills whole blocks.
        const std::uint32_t padding = record.blocks * kConvertBlock - record.bytes;
        if (r != shape.lastFilled && padding != 0 && !onData(context, kZeros, padding)) return stopped();
    }
    return result;
}
