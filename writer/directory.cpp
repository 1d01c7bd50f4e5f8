// Directory entries for new files: counting the free ones and handing out the
// first free one, growing the directory chain by one block on the directory
// track when every block is full.
#include <cstring>

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
        if (newIndex >= 0 && newIndex < kMaxImageBlocks && visits.seen[static_cast<std::size_t>(newIndex)]) {
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
