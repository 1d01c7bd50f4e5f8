// Directory entries for new files: counting the free ones and handing out the
// first free one, growing the directory chain by one block on the directory
// track when every block is full.
#include <cstring>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "image/image.h"
#include "writer/writer.h"

namespace {

int freeEntryIndex(const std::uint8_t* block) {
    for (int i = 0; i < kEntriesPerBlock; ++i)
        if (block[kDirEntrySize * i + kDirEntryType] == 0) return i;
    return -1;
}

}  // namespace

std::int32_t getFreeDirEntryCount(const ImageInfo& info) {
    BlockSet visits = directoryVisits(info);
    std::uint8_t t = info.dirTrack;
    std::uint8_t s = info.dirSector;
    std::int32_t count = 0;
    for (;;) {
        std::uint8_t* block = nullptr;
        if (GetDiskSectorAddr(info, t, s, &block) != 0) {
            logMessage(kLogError, "getFreeDirEntryCount: bad GetDiskSectorAddr call (%d:%d)\n", t, s);
            return -1;
        }
        if (!visits.insert(info, t, s)) {
            logMessage(kLogError, "getFreeDirEntryCount: directory chain loops back to %d:%d\n", t, s);
            return -1;
        }
        logMessage(kLogTrace, "getFreeDirEntryCount: searching %d:%d ...\n", t, s);
        for (int i = 0; i < kEntriesPerBlock; ++i)
            if (block[kDirEntrySize * i + kDirEntryType] == 0) ++count;
        if (block[0] == 0) return count;
        t = block[0];
        s = block[1];
    }
}

std::uint8_t* getFreeDirEntry(ImageInfo& info) {
    const std::int32_t dirBlocksFree = getFreeDirBlocksOnDisk(info);
    logMessage(kLogTrace, "getFreeDirEntry: %d dir blocks available\n", dirBlocksFree);

    BlockSet visits = directoryVisits(info);
    std::uint8_t t = info.dirTrack;
    std::uint8_t s = info.dirSector;
    std::uint8_t* block = nullptr;
    if (GetDiskSectorAddr(info, t, s, &block) != 0) {
        logMessage(kLogError, "getFreeDirEntry: bad GetDiskSectorAddr call (%d:%d)\n", t, s);
        return nullptr;
    }
    for (;;) {
        if (!visits.insert(info, t, s)) {
            logMessage(kLogError, "getFreeDirEntry: directory chain loops back to %d:%d\n", t, s);
            return nullptr;
        }
        logMessage(kLogTrace, "getFreeDirEntry: searching %d:%d ...\n", t, s);
        const int i = freeEntryIndex(block);
        if (i >= 0) {
            logMessage(kLogTrace, "getFreeDirEntry: found free entry at %d:%d index %d\n", t, s, i);
            return block + kDirEntrySize * i;
        }
        if (block[0] != 0) {
            const std::uint8_t nt = block[0];
            const std::uint8_t ns = block[1];
            if (GetDiskSectorAddr(info, nt, ns, &block) != 0) {
                logMessage(kLogError, "getFreeDirEntry: bad GetDiskSectorAddr call (%d:%d)\n", nt, ns);
                return nullptr;
            }
            t = nt;
            s = ns;
            continue;
        }

        // The last block is full: grow the chain on its own track.
        if (dirBlocksFree == 0) return nullptr;
        std::uint8_t nt = 0, ns = 0;
        const auto limit = static_cast<std::uint8_t>(t + 1);
        if (!GetCopyBlock(info, t, limit, limit, info.dirTrack, info.bamTrack2, getInterleave(info, kPurposeDirectory), t,
                          s, &nt, &ns))
            return nullptr;
        // A BAM that calls a block of the chain free must not let the chain
        // overwrite its own blocks.
        const int newIndex = getBlockIndex(info, nt, ns);
        if (visits.contains(newIndex)) {
            logMessage(kLogError, "getFreeDirEntry: directory chain loops back to %d:%d\n", nt, ns);
            return nullptr;
        }
        markSectorUsed(info, nt, ns);
        std::uint8_t* fresh = nullptr;
        if (GetDiskSectorAddr(info, nt, ns, &fresh) != 0) {
            logMessage(kLogError, "getFreeDirEntry: bad GetDiskSectorAddr call (%d:%d)\n", nt, ns);
            return nullptr;
        }
        std::memset(fresh, 0, kBlockSize);
        fresh[1] = 255;
        if (GetDiskSectorAddr(info, t, s, &block) != 0) {
            logMessage(kLogError, "getFreeDirEntry: bad GetDiskSectorAddr call (%d:%d)\n", t, s);
            return nullptr;
        }
        block[0] = nt;
        block[1] = ns;
        logMessage(kLogTrace, "getFreeDirEntry: new entry at %d:%d\n", nt, ns);
        t = nt;
        s = ns;
        block = fresh;
    }
}

bool findSharedSystemBlock(const ImageInfo& info, SharedBlock& shared) {
    // The directory as the writer walks it, and what the files with blocks
    // claim. An entry of 0 blocks owns nothing: what its chain reads (often
    // the header or the directory, as directory art has it) is not its own.
    BlockSet visits = directoryVisits(info);
    std::vector<std::pair<std::uint8_t, std::uint8_t>> blocks;
    std::vector<const std::uint8_t*> entries;
    for (std::uint8_t t = info.dirTrack, s = info.dirSector; t != 0;) {
        const std::uint8_t* block = blockBytes(info, t, s);
        if (!block || !visits.insert(info, t, s)) break;
        blocks.emplace_back(t, s);
        for (int i = 0; i < kEntriesPerBlock; ++i) {
            const std::uint8_t* entry = block + i * kDirEntrySize;
            if (entry[kDirEntryType] != kTypeScratched && (entry[kDirBlockCount] | entry[kDirBlockCount + 1]) != 0)
                entries.push_back(entry);
        }
        t = block[kDirLinkTrack];
        s = block[kDirLinkSector];
    }
    BlockClaims files;
    for (const std::uint8_t* entry : entries) claimEntryBlocks(info, files, entry);
    // The directory in the order it is walked, then the header and BAM.
    const std::size_t directoryBlocks = blocks.size();
    const BlockSet fixed = directoryVisits(info);
    for (int t = 1; t <= info.trackCount; ++t)
        for (int s = 0; s < getTrackSectorCount(info, static_cast<std::uint8_t>(t)); ++s) {
            const auto track = static_cast<std::uint8_t>(t), sector = static_cast<std::uint8_t>(s);
            const int index = getBlockIndex(info, track, sector);
            if (fixed.contains(index))
                blocks.emplace_back(track, sector);
        }
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const auto [track, sector] = blocks[b];
        if (blockClaims(info, files, track, sector) == 0) continue;
        shared.track = track;
        shared.sector = sector;
        shared.inDirectory = b < directoryBlocks;
        for (const std::uint8_t* entry : entries) {
            BlockClaims own;
            claimEntryBlocks(info, own, entry);
            if (blockClaims(info, own, track, sector) == 0) continue;
            shared.entry = entry;
            break;
        }
        return true;
    }
    return false;
}
