// REL files as a drive makes them: records of one length packed end to end
// in a data chain, side sectors listing the data blocks (120 a side sector,
// 6 side sectors a group, all of them one chain) so that the drive finds
// record n without walking the chain, and on a 1581 (and an 8250's D82, as
// VICE writes it) a super side sector naming the first side sector of every
// group. The directory entry points at the super side sector where there is
// one, else at side sector 0.
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "reader/reader.h"
#include "writer/writer.h"

namespace {

constexpr std::uint32_t kDataBytes = 254;
constexpr int kPointersPerSideSector = 120;
constexpr int kSideSectorsPerGroup = 6;
constexpr int kGroupsPerSuperSideSector = 126;
// Side sector bytes (of the block; the stream writeChain takes starts at 2).
constexpr int kSideNumber = 2;
constexpr int kSideRecordLength = 3;
constexpr int kSideGroupTable = 4;
constexpr int kSidePointers = 16;
// Super side sector bytes: byte 2 is its mark, then one pair a group.
constexpr std::uint8_t kSuperMarker = 0xFE;
constexpr int kSuperGroups = 3;
constexpr std::uint8_t kEmptyRecordMark = 0xFF;

struct RelLayout {
    std::uint64_t records = 0;  // written records (a short last one filled up)
    std::int32_t dataBlocks = 0;
    std::int32_t sideSectors = 0;
    std::int32_t superBlocks = 0;
};

// False when no record length is given or the format's side sectors cannot
// list that many data blocks.
bool planRel(std::uint32_t size, std::uint8_t recordLength, bool superSideSector, RelLayout& layout) {
    if (recordLength == 0 || recordLength > kDataBytes) return false;
    layout.records = (size + recordLength - 1ull) / recordLength;
    const std::uint64_t blocks = (layout.records * recordLength + kDataBytes - 1) / kDataBytes;
    const std::uint64_t limit = std::uint64_t {kPointersPerSideSector} * kSideSectorsPerGroup *
                                (superSideSector ? kGroupsPerSuperSideSector : 1);
    if (blocks > limit) return false;
    // A file opened and closed without a record still has one block of them.
    layout.dataBlocks = blocks == 0 ? 1 : static_cast<std::int32_t>(blocks);
    layout.sideSectors = (layout.dataBlocks + kPointersPerSideSector - 1) / kPointersPerSideSector;
    layout.superBlocks = superSideSector ? 1 : 0;
    return true;
}

struct Block {
    std::uint8_t track, sector;
};

// The blocks of a chain in order, at most `limit` of them; false when it
// loops, leaves the disk or runs on past the limit.
bool chainBlocks(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::size_t limit,
                 std::vector<Block>& blocks) {
    blocks.clear();
    BlockSet visits;
    while (track != 0) {
        const std::uint8_t* block = blockBytes(info, track, sector);
        if (!block || !visits.insert(info, track, sector) || blocks.size() == limit) return false;
        blocks.push_back({track, sector});
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
    return true;
}

std::string blockText(Block b) { return std::to_string(b.track) + ":" + std::to_string(b.sector); }

}  // namespace

bool usesSuperSideSector(const ImageInfo& info) {
    return info.imageType == kTypeD81 || info.imageType == kTypeD82;
}

std::int32_t relFileBlocks(std::uint32_t size, std::uint8_t recordLength, bool superSideSector) {
    RelLayout layout;
    if (!planRel(size, recordLength, superSideSector, layout)) return -1;
    return layout.dataBlocks + layout.sideSectors + layout.superBlocks;
}

int writeRelFile(ImageInfo& info, std::uint8_t* entry, std::uint8_t recordLength, const std::uint8_t* data,
                 std::uint32_t size) {
    const bool superSideSector = usesSuperSideSector(info);
    RelLayout layout;
    if (!planRel(size, recordLength, superSideSector, layout)) {
        logMessage(kLogError, "REL file: record length %d, %u bytes: more than its side sectors can list\n",
                   recordLength, size);
        return E_NO_MEMORY;
    }
    // The records, the last one filled up with 00 (as a drive fills a record
    // written short), then empty records (FF and 00s) up to the last that fits
    // wholly into the last block, as a drive extends a REL file.
    const std::uint32_t room = static_cast<std::uint32_t>(layout.dataBlocks) * kDataBytes;
    const std::uint32_t used = room / recordLength * recordLength;
    std::vector<std::uint8_t> stream(room, 0);
    if (size) std::memcpy(stream.data(), data, size);
    for (std::uint64_t at = layout.records * recordLength; at < used; at += recordLength) stream[at] = kEmptyRecordMark;

    ChainCursor cursor;
    if (int rc = writeChain(info, entry + kDirStartTrack, stream.data(), used, layout.dataBlocks, cursor)) return rc;
    std::vector<Block> dataBlocks;
    chainBlocks(info, entry[kDirStartTrack], entry[kDirStartSector], static_cast<std::size_t>(layout.dataBlocks),
                dataBlocks);

    // The side sectors' bytes from 2 on; their group tables follow once
    // their blocks are known.
    const std::uint32_t sideBytes = kBlockSize - kSideNumber;
    std::vector<std::uint8_t> sides(static_cast<std::size_t>(layout.sideSectors) * sideBytes, 0);
    for (std::size_t i = 0; i < dataBlocks.size(); ++i) {
        const std::size_t k = i / kPointersPerSideSector;
        std::uint8_t* side = sides.data() + k * sideBytes;
        side[kSideNumber - kSideNumber] = static_cast<std::uint8_t>(k % kSideSectorsPerGroup);
        side[kSideRecordLength - kSideNumber] = recordLength;
        std::uint8_t* pointer = side + kSidePointers - kSideNumber + 2 * (i % kPointersPerSideSector);
        pointer[0] = dataBlocks[i].track;
        pointer[1] = dataBlocks[i].sector;
    }
    // The last side sector ends after its last pointer: its link's second
    // byte is 15 + 2 * pointers.
    const std::size_t lastPointers = dataBlocks.size() - (layout.sideSectors - 1u) * kPointersPerSideSector;
    const auto sideSize =
        static_cast<std::uint32_t>((layout.sideSectors - 1u) * sideBytes + kSidePointers - kSideNumber + 2 * lastPointers);

    std::uint8_t* link = entry + kDirSideSectorTrack;
    std::uint8_t* super = nullptr;
    if (superSideSector) {
        const std::uint8_t marker[] = {kSuperMarker};
        if (int rc = writeChain(info, link, marker, sizeof marker, 1, cursor)) return rc;
        super = blockBytes(info, link[0], link[1]);
        link = super + kDirLinkTrack;  // the super side sector links to side sector 0
    }
    if (int rc = writeChain(info, link, sides.data(), sideSize, layout.sideSectors, cursor)) return rc;
    std::vector<Block> sideBlocks;
    chainBlocks(info, link[0], link[1], static_cast<std::size_t>(layout.sideSectors), sideBlocks);
    for (std::size_t k = 0; k < sideBlocks.size(); ++k) {
        std::uint8_t* side = blockBytes(info, sideBlocks[k].track, sideBlocks[k].sector);
        const std::size_t group = k / kSideSectorsPerGroup;
        for (std::size_t j = 0; j < kSideSectorsPerGroup && group * kSideSectorsPerGroup + j < sideBlocks.size(); ++j) {
            side[kSideGroupTable + 2 * j] = sideBlocks[group * kSideSectorsPerGroup + j].track;
            side[kSideGroupTable + 2 * j + 1] = sideBlocks[group * kSideSectorsPerGroup + j].sector;
        }
        if (super && k % kSideSectorsPerGroup == 0) {
            super[kSuperGroups + 2 * group] = sideBlocks[k].track;
            super[kSuperGroups + 2 * group + 1] = sideBlocks[k].sector;
        }
    }
    entry[kDirEntryType] = kTypeRel;
    entry[kDirRecordLength] = recordLength;
    const std::int32_t blocks = layout.dataBlocks + layout.sideSectors + layout.superBlocks;
    entry[kDirBlockCount] = static_cast<std::uint8_t>(blocks & 0xFF);
    entry[kDirBlockCount + 1] = static_cast<std::uint8_t>(blocks >> 8);
    return 0;
}

bool checkRelFile(const ImageInfo& info, const std::uint8_t* entry, std::string& problem) {
    const std::uint8_t recordLength = entry[kDirRecordLength];
    if (recordLength == 0 || recordLength > kDataBytes) {
        problem = "its record length is " + std::to_string(recordLength);
        return false;
    }
    // A data chain that loops or leaves the disk is reported as such.
    std::vector<Block> data;
    if (!chainBlocks(info, entry[kDirStartTrack], entry[kDirStartSector], kMaxImageBlocks, data)) return true;
    const bool superSideSector = usesSuperSideSector(info);
    Block first {entry[kDirSideSectorTrack], entry[kDirSideSectorSector]};
    const std::uint8_t* super = nullptr;
    if (superSideSector) {
        super = first.track ? blockBytes(info, first.track, first.sector) : nullptr;
        if (!super) {
            problem = "it has no super side sector";
            return false;
        }
        first = {super[kDirLinkTrack], super[kDirLinkSector]};
    }
    std::vector<Block> sides;
    if (!chainBlocks(info, first.track, first.sector, kMaxImageBlocks, sides)) {
        problem = "its side-sector chain loops or leaves the disk";
        return false;
    }
    const std::size_t needed = (data.size() + kPointersPerSideSector - 1) / kPointersPerSideSector;
    const std::size_t groups = (sides.size() + kSideSectorsPerGroup - 1) / kSideSectorsPerGroup;
    if (sides.size() != (needed ? needed : 1)) {
        problem = "it has " + std::to_string(sides.size()) + " side sectors for " + std::to_string(data.size()) +
                  " data blocks";
        return false;
    }
    if (groups > static_cast<std::size_t>(superSideSector ? kGroupsPerSuperSideSector : 1)) {
        problem = "its " + std::to_string(sides.size()) + " side sectors are more than the format can name";
        return false;
    }
    for (std::size_t k = 0; k < sides.size(); ++k) {
        const std::uint8_t* side = blockBytes(info, sides[k].track, sides[k].sector);
        const std::string where = "side sector " + blockText(sides[k]);
        if (side[kSideNumber] != static_cast<std::uint8_t>(k % kSideSectorsPerGroup) || side[kSideRecordLength] != recordLength) {
            problem = where + " gives number " + std::to_string(side[kSideNumber]) + " and record length " +
                      std::to_string(side[kSideRecordLength]);
            return false;
        }
        const std::size_t group = k / kSideSectorsPerGroup;
        for (std::size_t j = 0; j < kSideSectorsPerGroup; ++j) {
            const std::size_t n = group * kSideSectorsPerGroup + j;
            const Block listed {side[kSideGroupTable + 2 * j], side[kSideGroupTable + 2 * j + 1]};
            const Block wanted = n < sides.size() ? sides[n] : Block {0, 0};
            if (listed.track != wanted.track || listed.sector != wanted.sector) {
                problem = where + " names " + blockText(listed) + " as side sector " + std::to_string(j) +
                          " of its group, the chain has " + blockText(wanted);
                return false;
            }
        }
        const bool last = k + 1 == sides.size();
        const std::size_t pointers =
            last ? data.size() - k * kPointersPerSideSector : static_cast<std::size_t>(kPointersPerSideSector);
        if (last && side[kDirLinkSector] != static_cast<std::size_t>(kSidePointers - 1) + 2 * pointers) {
            problem = where + " ends at byte " + std::to_string(side[kDirLinkSector]) + ", its " +
                      std::to_string(pointers) + " data blocks at " + std::to_string(kSidePointers - 1 + 2 * pointers);
            return false;
        }
        for (std::size_t i = 0; i < pointers; ++i) {
            const Block listed {side[kSidePointers + 2 * i], side[kSidePointers + 2 * i + 1]};
            const Block wanted = data[k * kPointersPerSideSector + i];
            if (listed.track != wanted.track || listed.sector != wanted.sector) {
                problem = where + " lists " + blockText(listed) + " as data block " +
                          std::to_string(k * kPointersPerSideSector + i + 1) + ", the chain has " + blockText(wanted);
                return false;
            }
        }
    }
    for (std::size_t g = 0; super && g < kGroupsPerSuperSideSector; ++g) {
        const Block listed {super[kSuperGroups + 2 * g], super[kSuperGroups + 2 * g + 1]};
        const Block wanted = g < groups ? sides[g * kSideSectorsPerGroup] : Block {0, 0};
        if (listed.track != wanted.track || listed.sector != wanted.sector) {
            problem = "its super side sector names " + blockText(listed) + " for group " + std::to_string(g) +
                      ", the chain has " + blockText(wanted);
            return false;
        }
    }
    return true;
}
