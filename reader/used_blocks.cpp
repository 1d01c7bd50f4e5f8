// Which blocks the image's own structures use, read from the structures
// themselves: the BAM only claims what is free, and a BAM that lies must not
// lead the writer to hand out a block that holds a file or the directory.
#include <cstring>

#include "core/log.h"
#include "image/image.h"
#include "reader/reader.h"

namespace {

void claimBlock(const ImageInfo& info, BlockClaims& claims, std::uint8_t track, std::uint8_t sector) {
    const int index = getBlockIndex(info, track, sector);
    if (index < 0 || index >= kMaxImageBlocks) return;
    std::uint8_t& count = claims.count[static_cast<std::size_t>(index)];
    if (count < 255) ++count;
}

// A GEOS VLIR file's index block names the first block of every record.
void claimVlirRecords(const ImageInfo& info, BlockClaims& claims, const std::uint8_t* entry) {
    const std::uint8_t* index = blockBytes(info, entry[kDirStartTrack], entry[kDirStartSector]);
    if (!index) return;
    for (int i = 2; i + 1 < kBlockSize; i += 2)
        if (index[i] != 0) claimChain(info, claims, index[i], index[i + 1]);
}

}  // namespace

void claimEntryBlocks(const ImageInfo& info, BlockClaims& claims, const std::uint8_t* entry) {
    const std::uint8_t type = entry[kDirEntryType];
    if (type == kTypeScratched) return;
    if ((type & kFileTypeMask) == kFileTypePartition) {
        // A 1581 partition is an area, not a chain: its block count of blocks
        // in a row, clipped to the disk (its first block holds data, no link).
        const int first = getBlockIndex(info, entry[kDirStartTrack], entry[kDirStartSector]);
        const int blocks = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
        const int end = getDiskBlockCount(info);
        for (int i = first; first >= 0 && i < first + blocks && i < end && i < kMaxImageBlocks; ++i) {
            std::uint8_t& count = claims.count[static_cast<std::size_t>(i)];
            if (count < 255) ++count;
        }
        return;
    }
    // Whatever its type, the listing shows the entry and extraction follows
    // its chain, so the chain is in use.
    claimChain(info, claims, entry[kDirStartTrack], entry[kDirStartSector]);
    if ((type & kFileTypeMask) == (kTypeRel & kFileTypeMask)) {
        claimChain(info, claims, entry[kDirSideSectorTrack], entry[kDirSideSectorSector]);
        return;
    }
    if (entry[kDirGeosFileType] == 0) return;
    claimChain(info, claims, entry[kDirGeosInfoTrack], entry[kDirGeosInfoSector]);
    if (entry[kDirGeosStructure] == kGeosVlir) claimVlirRecords(info, claims, entry);
}

void claimChain(const ImageInfo& info, BlockClaims& claims, std::uint8_t track, std::uint8_t sector) {
    BlockSet visits;
    // Every link is followed as the image holds it, bad error bytes or not:
    // what matters is which blocks the file's bytes occupy.
    while (track != 0) {
        const std::uint8_t* block = blockBytes(info, track, sector);
        if (!block || !visits.insert(info, track, sector)) return;
        claimBlock(info, claims, track, sector);
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
}

namespace {

// Header and BAM blocks, the directory chain and the directory's files.
void collectDirectoryClaims(const ImageInfo& info, BlockClaims& claims) {
    claims.count.fill(0);
    claimBlock(info, claims, info.headerTrack, info.headerSector);
    for (int k = 0; k < info.bamBlockCount && k < 4; ++k)
        if (info.bamTrack != info.headerTrack || info.bamSector[k] != info.headerSector)
            claimBlock(info, claims, info.bamTrack, info.bamSector[k]);
    // The second side's BAM block of a D71.
    if (getTrackSectorCount(info, info.bamTrack2) != 0) claimBlock(info, claims, info.bamTrack2, info.bamSector[0]);

    BlockSet visits = directoryVisits(info);
    std::uint8_t track = info.dirTrack;
    std::uint8_t sector = info.dirSector;
    while (track != 0) {
        const std::uint8_t* block = blockBytes(info, track, sector);
        if (!block || !visits.insert(info, track, sector)) break;
        claimBlock(info, claims, track, sector);
        for (int i = 0; i < kEntriesPerBlock; ++i) claimEntryBlocks(info, claims, block + i * kDirEntrySize);
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
}

bool isGeosDisk(const ImageInfo& info) {
    const std::uint8_t* header = blockBytes(info, info.headerTrack, info.headerSector);
    return header &&
           std::memcmp(header + kGeosSignatureOffset, kGeosDiskSignature, sizeof kGeosDiskSignature - 1) == 0;
}

}  // namespace

BorderBlock findBorderBlock(const ImageInfo& info, const BlockClaims& directoryClaims) {
    if (!isGeosDisk(info)) return {};
    const std::uint8_t* header = blockBytes(info, info.headerTrack, info.headerSector);
    const std::uint8_t track = header[kGeosBorderTrack], sector = header[kGeosBorderSector];
    std::uint8_t block[kBlockSize];
    if (track == 0 || GetDiskSector(info, track, sector, block) != 0) return {};
    if (blockClaims(info, directoryClaims, track, sector) != 0 || block[kDirLinkTrack] != 0) return {};
    return {true, track, sector};
}

BorderBlock findBorderBlock(const ImageInfo& info) {
    // Most disks are no GEOS disks: they need no walk.
    if (!isGeosDisk(info)) return {};
    BlockClaims claims;
    collectDirectoryClaims(info, claims);
    return findBorderBlock(info, claims);
}

void collectBlockClaims(const ImageInfo& info, BlockClaims& claims) {
    collectDirectoryClaims(info, claims);
    // GEOS keeps the entries of files on the desktop's border in a block of
    // their own: files of the disk like the directory's.
    const BorderBlock border = findBorderBlock(info, claims);
    const std::uint8_t* block = border.found ? blockBytes(info, border.track, border.sector) : nullptr;
    if (!block) return;
    claimBlock(info, claims, border.track, border.sector);
    for (int i = 0; i < kEntriesPerBlock; ++i) claimEntryBlocks(info, claims, block + i * kDirEntrySize);
}

std::uint8_t blockClaims(const ImageInfo& info, const BlockClaims& claims, std::uint8_t track, std::uint8_t sector) {
    const int index = getBlockIndex(info, track, sector);
    if (index < 0 || index >= kMaxImageBlocks) return 0;
    return claims.count[static_cast<std::size_t>(index)];
}
