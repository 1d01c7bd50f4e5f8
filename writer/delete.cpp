// Deleting files (DeleteFiles): each named file's blocks are released and its
// directory entry cleared in memory; the image file is replaced once, at the
// end, and only when every name went through.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/results.h"
#include "core/settings.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"
#include "writer/image_file.h"
#include "writer/writer.h"

namespace {

constexpr std::size_t kSearchNameSize = 100;

// Releases the chain that starts at the entry; 0 or 18. A block that another
// file or the directory also claims stays allocated and untouched: freeing
// or erasing it would destroy what still uses it.
int releaseChain(ImageInfo& info, std::uint8_t track, std::uint8_t sector, BlockClaims& claims) {
    // A file of 0 bytes owns no block: its entry starts at track 0.
    if (track == 0) return 0;
    BlockSet visits;
    for (;;) {
        std::uint8_t* block = nullptr;
        if (GetDiskSectorAddr(info, track, sector, &block) != 0) {
            logMessage(kLogError, "DeleteFiles: bad GetDiskSectorAddr call (%d:%d)\n", track, sector);
            return E_EREAD;
        }
        if (!visits.insert(info, track, sector)) {
            logMessage(kLogError, "DeleteFiles: error cyclic access for %d:%d\n", track, sector);
            return E_EREAD;
        }
        const std::uint8_t nextTrack = block[kDirLinkTrack];
        const std::uint8_t nextSector = block[kDirLinkSector];
        const int index = getBlockIndex(info, track, sector);
        std::uint8_t& claimed = claims.count[static_cast<std::size_t>(index)];
        if (claimed > 1) {
            --claimed;
            logMessage(kLogWarning, "DeleteFiles: block %d:%d is used elsewhere too -> kept\n", track, sector);
        } else {
            claimed = 0;
            markSectorFree(info, track, sector);
            if (eraseDeletedSectors) std::memset(block, 0, kBlockSize);
        }
        if (nextTrack == 0) return 0;
        track = nextTrack;
        sector = nextSector;
    }
}

// A GEOS file's info block and, for a VLIR file, the records its index
// block names up to its end (00 00), before the index block itself goes.
int releaseGeosBlocks(ImageInfo& info, const std::uint8_t* entry, BlockClaims& claims) {
    const std::uint8_t type = entry[kDirEntryType] & kFileTypeMask;
    if (entry[kDirEntryType] == kTypeScratched || entry[kDirGeosFileType] == 0 || type == kFileTypePartition ||
        type == (kTypeRel & kFileTypeMask))
        return 0;
    if (entry[kDirGeosStructure] == kGeosVlir) {
        std::uint8_t index[kBlockSize];
        const std::uint8_t* block = blockBytes(info, entry[kDirStartTrack], entry[kDirStartSector]);
        if (block) {
            // A copy: a record may run through the index block itself.
            std::memcpy(index, block, kBlockSize);
            for (int r = 0; r < kVlirRecordSlots; ++r) {
                const std::uint8_t track = index[kVlirIndexPairs + 2 * r];
                const std::uint8_t sector = index[kVlirIndexPairs + 2 * r + 1];
                if (track == 0 && sector == 0) break;
                if (int rc = releaseChain(info, track, sector, claims)) return rc;
            }
        }
    }
    return releaseChain(info, entry[kDirGeosInfoTrack], entry[kDirGeosInfoSector], claims);
}

const char* nextName(const char* name) { return name + std::strlen(name) + 1; }

}  // namespace

int deleteDirEntry(ImageInfo& info, std::uint8_t* entry, BlockClaims& claims) {
    if (int rc = releaseGeosBlocks(info, entry, claims)) return rc;
    if ((entry[kDirEntryType] & kFileTypeMask) == (kTypeRel & kFileTypeMask))
        if (int rc = releaseChain(info, entry[kDirSideSectorTrack], entry[kDirSideSectorSector], claims)) return rc;
    if (int rc = releaseChain(info, entry[kDirStartTrack], entry[kDirStartSector], claims)) return rc;
    // Bytes 0 and 1 stay: in entry 0 they are the directory block's link.
    std::memset(entry + kDirEntryType, 0, kDirEntrySize - kDirEntryType);
    return 0;
}

std::uint8_t* findDirEntryByCbmName(const ImageInfo& info, const std::uint8_t* name, std::uint8_t fileType) {
    std::uint8_t track = info.dirTrack;
    std::uint8_t sector = info.dirSector;
    BlockSet visits = directoryVisits(info);
    for (;;) {
        std::uint8_t* block = nullptr;
        if (GetDiskSectorAddr(info, track, sector, &block) != 0 || !visits.insert(info, track, sector)) return nullptr;
        for (int index = 0; index < kEntriesPerBlock; ++index) {
            std::uint8_t* entry = block + index * kDirEntrySize;
            if (entry[kDirEntryType] == fileType && std::memcmp(entry + kDirFileName, name, kCbmNameLength) == 0)
                return entry;
        }
        if (block[kDirLinkTrack] == 0) return nullptr;
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
}

std::uint8_t* searchDirEntryInDirTrack(const ImageInfo& info, const char* name) {
    char cut[kSearchNameSize];
    std::uint8_t wantedType = 0;
    if (!splitHostNameForDeleting(name, cut, sizeof cut, wantedType)) return nullptr;
    std::size_t n = std::strlen(cut);
    if (n > kCbmNameLength) n = kCbmNameLength;

    std::uint8_t track = info.dirTrack;
    std::uint8_t sector = info.dirSector;
    BlockSet visits = directoryVisits(info);
    for (;;) {
        std::uint8_t* block = nullptr;
        if (GetDiskSectorAddr(info, track, sector, &block) != 0) return nullptr;
        // A directory that links back into itself has been searched whole.
        if (!visits.insert(info, track, sector)) {
            logMessage(kLogWarning, "searchDirEntryInDirTrack: error cyclic access for %d:%d\n", track, sector);
            return nullptr;
        }
        for (int index = 0; index < kEntriesPerBlock; ++index) {
            std::uint8_t* entry = block + index * kDirEntrySize;
            const std::uint8_t* field = entry + kDirFileName;
            if (logMask & kLogTrace) {
                char shown[kCbmNameLength + 1] = {};
                std::memcpy(shown, field, kCbmNameLength);
                logMessage(kLogTrace, "searchDirEntryInDirTrack: searching dir=%s search=%s\n", shown, cut);
            }
            if (std::memcmp(field, cut, n) != 0) continue;
            if (n < kCbmNameLength && field[n] != kDiskNamePad) continue;
            if (entry[kDirEntryType] != wantedType) continue;
            logMessage(kLogTrace, "searchDirEntryInDirTrack: file found at %d:%d-%d\n", track, sector, index);
            return entry;
        }
        // The last block links to track 0.
        if (block[kDirLinkTrack] == 0) return nullptr;
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
}

std::uint8_t* findListedForDeleting(ImageInfo& info, const char* name, const ListedEntry** found) {
    for (const ListedEntry& listed : info.listed) {
        if (listed.hostName != name) continue;
        std::uint8_t* entry = info.imageData.get() + listed.entryOffset;
        if (found) *found = &listed;
        // A hidden scratched entry is gone already (a partition's entry is
        // the partition table's).
        return listed.raw || entry[kDirEntryType] != kTypeScratched ? entry : nullptr;
    }
    return nullptr;
}

namespace {

// What the DOS itself will not scratch: a locked file, a 1581 partition, a
// CMD FD partition (folder or not).
bool keptByDos(const ListedEntry* listed, const std::uint8_t* entry) {
    if (listed && listed->raw) return true;
    return (entry[kDirEntryType] & kTypeLocked) || (entry[kDirEntryType] & kFileTypeMask) == kFileTypePartition;
}

// A name of a folder as hosts give it for the folder with all it holds:
// "NAME", "NAME/" or "NAME/*.*".
std::string folderRequest(std::string name) {
    const std::string all = std::string(1, platform::kPathSeparator) + "*.*";
    if (name.size() > all.size() && name.compare(name.size() - all.size(), all.size(), all) == 0)
        name.resize(name.size() - all.size());
    while (name.size() > 1 && (name.back() == platform::kPathSeparator || name.back() == '/')) name.pop_back();
    return name;
}

}  // namespace

int deleteListedFolder(ImageInfo& info, const ListedEntry& folder) {
    const std::uint8_t* entry = info.imageData.get() + folder.entryOffset;
    if (folder.raw || !isDirectoryEntry(volumeOf(info, folder), entry)) {
        logMessage(kLogError, "DeleteFiles: <%s> is a partition -> nothing deleted\n", folder.hostName.c_str());
        return E_NOT_SUPPORTED;
    }
    const std::string prefix = folder.hostName + platform::kPathSeparator;
    std::vector<const ListedEntry*> inside;
    for (const ListedEntry& listed : info.listed)
        if (listed.hostName.compare(0, prefix.size(), prefix) == 0) inside.push_back(&listed);
    // Depth first order lists a folder before what it holds: backwards, the
    // contents go before their folder.
    inside.push_back(&folder);
    for (auto it = inside.rbegin(); it != inside.rend(); ++it) {
        const ListedEntry& listed = **it;
        std::uint8_t* at = info.imageData.get() + listed.entryOffset;
        if (at[kDirEntryType] == kTypeScratched) continue;
        if (keptByDos(&listed, at)) {
            logMessage(kLogError, "DeleteFiles: <%s> is locked -> nothing deleted\n", listed.hostName.c_str());
            return E_NOT_SUPPORTED;
        }
        ImageInfo& volume = volumeOf(info, listed);
        BlockClaims claims;
        collectBlockClaims(bamVolume(volume), claims);
        if (int rc = deleteDirEntry(volume, at, claims)) return rc;
    }
    return 0;
}

int deleteFiles(const char* packedFile, const char* deleteList, const ProgressSink* progress) {
    logMessage(kLogTrace, "DeleteFiles: PackedFile=%s\n", packedFile);
    // Only disks are written: tapes and archives of files are read only.
    std::uint32_t bodyOffset = 0;
    std::int32_t container = kContainerPlain;
    const std::int32_t type = imageTypeOfFile(packedFile, bodyOffset, &container);
    if (!isWritableType(type)) return E_NOT_SUPPORTED;

    std::unique_ptr<ImageInfo> info = newWorkingImage(packedFile, type, container);
    if (!info) return E_NO_MEMORY;
    info->bodyOffset = bodyOffset;
    if (int rc = loadExistingImage(*info, "DeleteFiles", true)) return rc;
    // Names are looked up as the host saw them listed (two files of one
    // CBM name are listed under two names); a listing that fails part way
    // still names the files before the damage.
    info->restartListing = 1;
    ListedFile listed;
    while (readDiskHeader(*info, listed) == 0) {
    }
    info->lastReported = -1;
    BlockClaims claims;
    if (!isFdImage(*info)) collectBlockClaims(*info, claims);

    bool imageChanged = false;
    int names = 0, done = 0;
    for (const char* name = deleteList; *name; name = nextName(name)) ++names;
    for (const char* name = deleteList; *name; name = nextName(name)) {
        ++done;
        logMessage(kLogTrace, "deleting file <%s>\n", name);
        std::string mapped(name);
        mapped.resize(hostToPetscii(reinterpret_cast<std::uint8_t*>(mapped.data()), mapped.size()));
        const ListedEntry* listed = nullptr;
        const std::string folderName = folderRequest(name);
        std::uint8_t* entry = findListedForDeleting(*info, folderName.c_str(), &listed);
        if (!entry || !listed->folder) entry = findListedForDeleting(*info, name, &listed);
        if (!entry && !isFdImage(*info)) entry = searchDirEntryInDirTrack(*info, mapped.c_str());
        if (!entry) {
            logMessage(kLogWarning, "file <%s> not found in archive\n", mapped.c_str());
            continue;
        }
        if (listed && listed->folder) {
            if (int rc = deleteListedFolder(*info, *listed)) return rc;
        } else {
            // Every listed file goes (USR, DEL, REL, unclosed ones too), except
            // what the DOS itself will not scratch: a locked file, a partition.
            // Those fail the call, so the host does not report them as deleted.
            if (keptByDos(listed, entry)) {
                logMessage(kLogError, "DeleteFiles: <%s> is locked -> nothing deleted\n", name);
                return E_NOT_SUPPORTED;
            }
            ImageInfo& volume = listed ? volumeOf(*info, *listed) : *info;
            if (&volume == info.get()) {
                if (int rc = deleteDirEntry(*info, entry, claims)) return rc;
            } else {
                BlockClaims own;
                collectBlockClaims(bamVolume(volume), own);
                if (int rc = deleteDirEntry(volume, entry, own)) return rc;
            }
        }
        imageChanged = true;
        // A cancel ends the call before the image file is touched.
        if (!reportPercent(progress, name, 100 * done / names)) {
            logMessage(kLogTrace, "DeleteFiles: cancelled\n");
            return E_EABORTED;
        }
    }
    logMessage(kLogTrace, "deleting done\n");
    if (!imageChanged) return 0;
    if (int rc = writeImageFile(*info)) return rc;
    logMessage(kLogTrace, "image written\n");
    return 0;
}
