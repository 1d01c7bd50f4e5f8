// Convert (.cvt) files added back as the GEOS files they hold. A file is
// taken as one only when everything in it agrees: signature, types, and a
// record table whose lengths add up to the file's size. Anything else is
// stored as it is, like any other host file.
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "reader/reader.h"
#include "writer/writer.h"

namespace {

// The C64's Convert program writes "PRG" or "SEQ" (the form the .cvt file
// itself had there) ahead of this; cbmconvert always "PRG".
constexpr char kSignatureTail[] = " formatted GEOS file V1.";
constexpr std::uint32_t kLastByteMin = 2;  // a record's last block holds at least one byte

bool hasSignature(const std::uint8_t* header) {
    const std::uint8_t* at = header + kConvertSignatureOffset;
    if (std::memcmp(at, "PRG", 3) != 0 && std::memcmp(at, "SEQ", 3) != 0) return false;
    return std::memcmp(at + 3, kSignatureTail, sizeof kSignatureTail - 1) == 0;
}

// A name the listing shows: it does not start with a zero and is not all
// fill bytes.
bool hasVisibleName(const std::uint8_t* name) {
    if (name[0] == 0) return false;
    for (int i = 0; i < kCbmNameLength; ++i)
        if (name[i] != kDiskNamePad) return true;
    return false;
}

std::uint32_t recordBytes(std::uint8_t blocks, std::uint8_t lastByte) {
    return (blocks - 1u) * kConvertBlock + (lastByte - 1u);
}

// The record table: pairs up to 00 00, each 00 FF or a count with a last
// byte that names at least one byte. The length the data must have, or 0
// when the table is malformed; `padded` is the length with the last
// record's block filled up, which the file may also have.
std::uint32_t expectedVlirSize(ConvertLayout& layout, std::uint32_t& padded) {
    int lastFilled = -1;
    layout.blocks = 2;
    for (int r = 0; r < kVlirRecordSlots; ++r) {
        const std::uint8_t blocks = layout.table[2 * r];
        const std::uint8_t lastByte = layout.table[2 * r + 1];
        if (blocks == 0 && lastByte == 0) break;
        layout.records = r + 1;
        if (blocks == 0) {
            if (lastByte != kVlirEmptyRecord) return 0;
            continue;
        }
        if (lastByte < kLastByteMin) return 0;
        layout.blocks += blocks;
        lastFilled = r;
    }
    std::uint32_t size = kConvertVlirDataOffset;
    for (int r = 0; r < lastFilled; ++r) size += layout.table[2 * r] * kConvertBlock;
    padded = size;
    if (lastFilled < 0) return size;
    const std::uint8_t blocks = layout.table[2 * lastFilled];
    padded += blocks * kConvertBlock;
    return size + recordBytes(blocks, layout.table[2 * lastFilled + 1]);
}

}  // namespace

bool isConvertName(const char* hostName) {
    const std::size_t n = std::strlen(hostName);
    return n >= 4 && std::strcmp(hostName + n - 4, ".cvt") == 0;
}

bool readConvertLayout(const std::uint8_t* data, std::uint32_t available, std::uint32_t fileSize,
                       ConvertLayout& layout) {
    layout = ConvertLayout {};
    // A sequential file has one data byte at least: its entry must name a
    // data chain (cbmconvert refuses an empty one too).
    if (fileSize <= kConvertSeqDataOffset) return false;
    const std::uint32_t needed = fileSize < kConvertVlirDataOffset ? fileSize : kConvertVlirDataOffset;
    if (available < needed || !hasSignature(data)) return false;
    const std::uint8_t structure = data[convertOffset(kDirGeosStructure)];
    if (!isConvertibleGeosType(data[convertOffset(kDirEntryType)], data[convertOffset(kDirGeosFileType)]) ||
        structure > kGeosVlir || !hasVisibleName(data + convertOffset(kDirFileName)))
        return false;
    std::memcpy(layout.entry, data, kConvertEntryBytes);
    if (structure != kGeosVlir) {
        const std::uint32_t dataBytes = fileSize - kConvertSeqDataOffset;
        layout.blocks = static_cast<std::int32_t>(1 + (dataBytes + kConvertBlock - 1) / kConvertBlock);
        return true;
    }
    if (fileSize < kConvertVlirDataOffset) return false;
    layout.vlir = true;
    std::memcpy(layout.table, data + kConvertTableOffset, kConvertBlock);
    std::uint32_t padded = 0;
    const std::uint32_t expected = expectedVlirSize(layout, padded);
    return expected != 0 && (fileSize == expected || fileSize == padded);
}

int writeGeosFile(ImageInfo& info, std::uint8_t* entry, const std::uint8_t* data, std::uint32_t size,
                  const ConvertLayout& layout) {
    // The entry as the Convert file gives it: type, name, GEOS fields and
    // date; its block pointers and count are the image's own.
    std::memcpy(entry + kDirEntryType, layout.entry, kConvertEntryBytes);
    entry[kDirStartTrack] = entry[kDirStartSector] = 0;
    entry[kDirGeosInfoTrack] = entry[kDirGeosInfoSector] = 0;
    entry[kDirBlockCount] = static_cast<std::uint8_t>(layout.blocks & 0xFF);
    entry[kDirBlockCount + 1] = static_cast<std::uint8_t>((layout.blocks >> 8) & 0xFF);
    ChainCursor cursor;
    if (int rc = writeChain(info, entry + kDirGeosInfoTrack, data + kConvertInfoOffset, kConvertBlock, 1, cursor))
        return rc;
    if (!layout.vlir)
        return writeChain(info, entry + kDirStartTrack, data + kConvertSeqDataOffset, size - kConvertSeqDataOffset,
                          layout.blocks - 1, cursor);

    // The index block: empty records 00 FF, the others filled in as their
    // chains are written, 00 00 after the last.
    std::uint8_t index[kConvertBlock] = {};
    for (int r = 0; r < layout.records; ++r)
        if (layout.table[2 * r] == 0) index[2 * r + 1] = kVlirEmptyRecord;
    if (int rc = writeChain(info, entry + kDirStartTrack, index, kConvertBlock, 1, cursor)) return rc;
    std::uint8_t* indexBlock = nullptr;
    if (GetDiskSectorAddr(info, entry[kDirStartTrack], entry[kDirStartSector], &indexBlock) != 0) {
        logMessage(kLogError, "error: no free blocks\n");
        return E_NO_MEMORY;
    }
    std::uint32_t offset = kConvertVlirDataOffset;
    for (int r = 0; r < layout.records; ++r) {
        const std::uint8_t blocks = layout.table[2 * r];
        if (blocks == 0) continue;
        logMessage(kLogTrace, "writing GEOS record %d\n", r);
        if (int rc = writeChain(info, indexBlock + kVlirIndexPairs + 2 * r, data + offset,
                                recordBytes(blocks, layout.table[2 * r + 1]), blocks, cursor))
            return rc;
        offset += blocks * kConvertBlock;
    }
    return 0;
}
