// Directory entries for new files: counting the free ones and handing out the
// first free one, growing the directory chain by one block on the directory
// track when every block is full.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
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

        // The last block is full: grow the chain on its own track (without a
        // directory track, into the next free block from it on).
        if (dirBlocksFree == 0) return nullptr;
        std::uint8_t nt = 0, ns = 0;
        const bool anywhere = info.systemTrack == 0;
        const int limit = anywhere ? info.trackCount + 1 : t + 1;
        if (!GetCopyBlock(info, anywhere ? 1 : t, limit, limit, info.systemTrack, info.bamTrack2,
                          getInterleave(info, kPurposeDirectory), t, s, &nt, &ns))
            return nullptr;
        // A BAM that calls a block of the chain free must not let the chain
        // overwrite its own blocks.
        if (visits.contains(getBlockIndex(info, nt, ns))) {
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
        // A native subdirectory's entry counts its header and directory blocks.
        if (isNativeVolume(info) && info.parentFolder && info.folderEntry + kDirEntrySize <= static_cast<std::uint32_t>(info.imageSize)) {
            std::uint8_t* entry = info.imageData.get() + info.folderEntry;
            const int blocks = (entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8)) + 1;
            entry[kDirBlockCount] = static_cast<std::uint8_t>(blocks & 0xFF);
            entry[kDirBlockCount + 1] = static_cast<std::uint8_t>(blocks >> 8);
        }
        logMessage(kLogTrace, "getFreeDirEntry: new entry at %d:%d\n", nt, ns);
        t = nt;
        s = ns;
        block = fresh;
    }
}

namespace {

// The directory blocks and the entries of files with blocks, of every
// directory a write could touch.
struct SystemWalk {
    const ImageInfo* info;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> blocks;
    std::vector<const std::uint8_t*> entries;
};

void collectDirectory(void* context, std::uint8_t headerTrack, std::uint8_t headerSector, std::uint8_t track,
                      std::uint8_t sector) {
    auto& walk = *static_cast<SystemWalk*>(context);
    const ImageInfo& info = *walk.info;
    if (isNativeVolume(info)) walk.blocks.emplace_back(headerTrack, headerSector);
    BlockSet visits = directoryVisits(info);
    for (std::uint8_t t = track, s = sector; t != 0;) {
        const std::uint8_t* block = blockBytes(info, t, s);
        if (!block || !visits.insert(info, t, s)) break;
        walk.blocks.emplace_back(t, s);
        for (int i = 0; i < kEntriesPerBlock; ++i) {
            const std::uint8_t* entry = block + i * kDirEntrySize;
            if (entry[kDirEntryType] != kTypeScratched && !isDirectoryEntry(info, entry) &&
                (entry[kDirBlockCount] | entry[kDirBlockCount + 1]) != 0)
                walk.entries.push_back(entry);
        }
        t = block[kDirLinkTrack];
        s = block[kDirLinkSector];
    }
}

}  // namespace

bool findSharedSystemBlock(const ImageInfo& info, SharedBlock& shared) {
    // The directory as the writer walks it (in a native partition every
    // directory: they share one BAM), and what the files with blocks claim.
    // An entry of 0 blocks owns nothing: what its chain reads (often the
    // header or the directory, as directory art has it) is not its own.
    SystemWalk walk {&info, {}, {}};
    forEachDirectory(info, collectDirectory, &walk);
    std::vector<std::pair<std::uint8_t, std::uint8_t>>& blocks = walk.blocks;
    const std::vector<const std::uint8_t*>& entries = walk.entries;
    BlockClaims files;
    for (const std::uint8_t* entry : entries) claimEntryBlocks(info, files, entry);
    // The directory in the order it is walked, then the header and BAM.
    const std::size_t directoryBlocks = blocks.size();
    const BlockSet fixed = directoryVisits(info);
    for (int t = 1; t <= info.trackCount; ++t)
        for (int s = 0; s < getTrackSectorCount(info, static_cast<std::uint8_t>(t)); ++s) {
            const auto track = static_cast<std::uint8_t>(t), sector = static_cast<std::uint8_t>(s);
            if (fixed.contains(getBlockIndex(info, track, sector))) blocks.emplace_back(track, sector);
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

ImageInfo* makeSubdirectory(ImageInfo& top, ImageInfo& parent, const std::string& hostName, int& rc) {
    rc = E_ECREATE;
    if (!isNativeVolume(parent)) return nullptr;
    std::uint8_t name[kCbmNameLength];
    std::string mapped = hostName;
    mapped.resize(hostToPetscii(reinterpret_cast<std::uint8_t*>(mapped.data()), mapped.size()));
    std::memset(name, kDiskNamePad, sizeof name);
    std::memcpy(name, mapped.data(), mapped.size() < sizeof name ? mapped.size() : sizeof name);
    if (mapped.empty()) {
        logMessage(kLogError, "makeSubdirectory: <%s> gives no CBM name\n", hostName.c_str());
        return nullptr;
    }
    // Two directories of one name: the DOS would enter only the first.
    std::size_t length = mapped.size() < sizeof name ? mapped.size() : sizeof name;
    for (unsigned n = 2; findDirEntryByCbmName(parent, name, kTypeDirectory); ++n) {
        const std::string suffix = "-" + std::to_string(n);
        const std::size_t keep = length < sizeof name - suffix.size() ? length : sizeof name - suffix.size();
        std::memset(name + keep, kDiskNamePad, sizeof name - keep);
        std::memcpy(name + keep, suffix.data(), suffix.size());
    }
    // The header and its directory block: the first free blocks, in a row.
    rc = E_NO_MEMORY;
    ImageInfo& bam = bamVolume(parent);
    std::uint8_t ht = 0, hs = 0, dt = 0, ds = 0;
    const int limit = bam.trackCount + 1;
    if (!GetCopyBlock(bam, 1, limit, limit, bam.systemTrack, bam.bamTrack2, 1, 0, 0, &ht, &hs)) return nullptr;
    markSectorUsed(bam, ht, hs);
    if (!GetCopyBlock(bam, 1, limit, limit, bam.systemTrack, bam.bamTrack2, 1, ht, hs, &dt, &ds)) return nullptr;
    markSectorUsed(bam, dt, ds);
    std::uint8_t* header = nullptr;
    std::uint8_t* dir = nullptr;
    if (GetDiskSectorAddr(bam, ht, hs, &header) != 0 || GetDiskSectorAddr(bam, dt, ds, &dir) != 0) return nullptr;
    rc = E_TOO_MANY_FILES;
    std::uint8_t* entry = getFreeDirEntry(parent);
    if (!entry) return nullptr;
    const std::uint8_t* root = blockBytes(bam, 1, 1);
    const FormatLayout& layout = *formatLayout(kTypeDNP);
    std::memset(header, 0, kBlockSize);
    header[0] = dt;
    header[1] = ds;
    header[2] = kNativeHeaderMark;
    std::memset(header + layout.titleOffset, kDiskNamePad, layout.dosOffset + 4 - layout.titleOffset);
    std::memcpy(header + layout.titleOffset, name, sizeof name);
    // The ID and DOS type are the root's.
    if (root) std::memcpy(header + layout.idOffset, root + layout.idOffset, 2);
    header[layout.dosOffset] = root ? root[layout.dosOffset] : '1';
    header[layout.dosOffset + 1] = kNativeHeaderMark;
    header[0x20] = ht;
    header[0x21] = hs;
    nativeParentPointers(parent, header, entry);
    std::memset(dir, 0, kBlockSize);
    dir[1] = 255;
    std::memset(entry + kDirEntryType, 0, kDirEntrySize - kDirEntryType);
    entry[kDirEntryType] = kTypeDirectory;
    entry[kDirStartTrack] = ht;
    entry[kDirStartSector] = hs;
    std::memcpy(entry + kDirFileName, name, sizeof name);
    entry[kDirBlockCount] = 2;

    // Listed as the listing would list it, and entered.
    std::uint8_t shown[kCbmNameLength + 1] = {};
    std::memcpy(shown, name, sizeof name);
    trimNamePad(shown, kCbmNameLength, parent.imageType);
    convert(shown, kCbmNameLength);
    ListedEntry listed {};
    listed.entryOffset = static_cast<std::uint32_t>(entry - top.imageData.get());
    const std::string leaf = uniqueListedName(parent, shown, std::string());
    listed.hostName = parent.folderPath.empty() || &parent == &top ? leaf : parent.folderPath + platform::kPathSeparator + leaf;
    for (std::size_t k = 0; k < top.folders.size(); ++k)
        if (top.folders[k].get() == &parent) listed.volume = static_cast<std::uint32_t>(k + 1);
    listed.folder = true;
    std::unique_ptr<ImageInfo> view = openFolderView(top, parent, listed);
    rc = E_ECREATE;
    if (!view || !adoptFolder(top, parent, listed, std::move(view))) return nullptr;
    top.listed.push_back(listed);
    logMessage(kLogTrace, "makeSubdirectory: <%s> at %d:%d\n", listed.hostName.c_str(), ht, hs);
    rc = 0;
    return top.folders.back().get();
}
