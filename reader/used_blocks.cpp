// Which blocks the image's own structures use, read from the structures
// themselves: the BAM only claims what is free, and a BAM that lies must not
// lead the writer to hand out a block that holds a file or the directory.
#include <algorithm>
#include <cstring>
#include <vector>

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
    if (isDirectoryEntry(info, entry)) {
        // Its header and directory chain; what it holds, its own entries claim.
        const std::uint8_t* header = blockBytes(info, entry[kDirStartTrack], entry[kDirStartSector]);
        if (!header) return;
        claimBlock(info, claims, entry[kDirStartTrack], entry[kDirStartSector]);
        claimChain(info, claims, header[kDirLinkTrack], header[kDirLinkSector]);
        return;
    }
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
        // Only a 1581 has partitions: on the other disks the listing shows
        // such an entry as a file and extraction follows its chain, so the
        // chain is in use too (else a write takes its blocks).
        const std::int32_t t = info.imageType;
        if (t != kTypeD64 && t != kTypeD71 && t != kTypeD80 && t != kTypeD82) return;
        claimChain(info, claims, entry[kDirStartTrack], entry[kDirStartSector]);
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

// A native partition's root: header 1/1 and directory 1/34, wherever the
// view stands (its subdirectories share one BAM, so every walk that claims
// blocks goes from the root).
struct Root {
    std::uint8_t headerTrack, headerSector, dirTrack, dirSector;
};
Root rootOf(const ImageInfo& info) {
    const FormatLayout* layout = isNativeVolume(info) ? formatLayout(info.imageType) : nullptr;
    if (layout) return {layout->headerTrack, layout->headerSector, layout->dirTrack, layout->dirSector};
    return {info.headerTrack, info.headerSector, info.dirTrack, info.dirSector};
}

struct DirectoryClaims {
    const ImageInfo* info;
    BlockClaims* claims;
    Root root;
};

// Each directory's entries; the root's own chain too (a subdirectory's
// chain is its entry's).
void claimDirectory(void* context, std::uint8_t headerTrack, std::uint8_t headerSector, std::uint8_t track,
                    std::uint8_t sector) {
    auto& c = *static_cast<DirectoryClaims*>(context);
    const bool root = headerTrack == c.root.headerTrack && headerSector == c.root.headerSector;
    BlockSet visits = directoryVisits(*c.info);
    while (track != 0) {
        const std::uint8_t* block = blockBytes(*c.info, track, sector);
        if (!block || !visits.insert(*c.info, track, sector)) break;
        if (root) claimBlock(*c.info, *c.claims, track, sector);
        for (int i = 0; i < kEntriesPerBlock; ++i) claimEntryBlocks(*c.info, *c.claims, block + i * kDirEntrySize);
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
}

// Header and BAM blocks, the directory chain and the directory's files (in
// a native partition: of every directory).
void collectDirectoryClaims(const ImageInfo& info, BlockClaims& claims) {
    std::fill(claims.count.begin(), claims.count.end(), 0);
    const Root root = rootOf(info);
    claimBlock(info, claims, root.headerTrack, root.headerSector);
    for (int k = 0; k < bamBlockTotal(info); ++k)
        if (info.bamTrack != root.headerTrack || bamBlockSector(info, k) != root.headerSector)
            claimBlock(info, claims, info.bamTrack, bamBlockSector(info, k));
    // The second side's BAM block of a D71.
    if (getTrackSectorCount(info, info.bamTrack2) != 0) claimBlock(info, claims, info.bamTrack2, info.bamSector[0]);
    // A native partition's boot block, 1/0, is the DOS's.
    if (isNativeVolume(info)) claimBlock(info, claims, 1, 0);
    DirectoryClaims context {&info, &claims, root};
    forEachDirectory(info, claimDirectory, &context);
}

bool isGeosDisk(const ImageInfo& info) {
    const std::uint8_t* header = blockBytes(info, info.headerTrack, info.headerSector);
    return header &&
           std::memcmp(header + kGeosSignatureOffset, kGeosDiskSignature, sizeof kGeosDiskSignature - 1) == 0;
}

}  // namespace

void forEachDirectory(const ImageInfo& info, DirectoryFn fn, void* context) {
    const Root root = rootOf(info);
    if (!isNativeVolume(info)) {
        fn(context, root.headerTrack, root.headerSector, root.dirTrack, root.dirSector);
        return;
    }
    // Breadth first; each header entered once, every chain bounded by one
    // visit table (a directory that holds itself, or two that share a
    // block, are walked once).
    struct Pending {
        std::uint8_t headerTrack, headerSector, dirTrack, dirSector;
        int depth;
    };
    std::vector<Pending> pending {{root.headerTrack, root.headerSector, root.dirTrack, root.dirSector, 0}};
    BlockSet headers, blocks = directoryVisits(info);
    headers.insert(info, root.headerTrack, root.headerSector);
    for (std::size_t next = 0; next < pending.size(); ++next) {
        const Pending at = pending[next];
        fn(context, at.headerTrack, at.headerSector, at.dirTrack, at.dirSector);
        for (std::uint8_t t = at.dirTrack, s = at.dirSector; t != 0;) {
            const std::uint8_t* block = blockBytes(info, t, s);
            if (!block || !blocks.insert(info, t, s)) break;
            for (int i = 0; i < kEntriesPerBlock && at.depth < kMaxFolderDepth; ++i) {
                const std::uint8_t* entry = block + i * kDirEntrySize;
                if (!isDirectoryEntry(info, entry)) continue;
                const std::uint8_t* header = blockBytes(info, entry[kDirStartTrack], entry[kDirStartSector]);
                if (!header || !headers.insert(info, entry[kDirStartTrack], entry[kDirStartSector])) continue;
                pending.push_back({entry[kDirStartTrack], entry[kDirStartSector], header[kDirLinkTrack],
                                   header[kDirLinkSector], at.depth + 1});
            }
            t = block[kDirLinkTrack];
            s = block[kDirLinkSector];
        }
    }
}

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
