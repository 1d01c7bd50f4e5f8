// The directory listing of disk images: one reported file per ReadHeader.
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/log.h"
#include "core/results.h"
#include "core/settings.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"

std::int32_t getActualFileLength(const ImageInfo& info, std::uint8_t track, std::uint8_t sector,
                                 std::uint16_t blockCount) {
    // The chain is walked as extraction walks it; the entry's block count is
    // only what the directory claims (directory art points 0-block entries
    // into real chains).
    const ChainWalk walk = followFileChain(info, track, sector, blockCount, nullptr, nullptr);
    if (walk.outcome == ChainWalk::kCircular) {
        logMessage(kLogWarning, "getActualFileLength: error cyclic access for %d:%d\n", walk.track, walk.sector);
        return 0;
    }
    if (walk.outcome != ChainWalk::kComplete) {
        logMessage(kLogError, "getActualFileLength: bad GetDiskSectorAddr call (%d:%d)\n", walk.track, walk.sector);
        return 0;
    }
    if (walk.blocks > blockCount)
        logMessage(kLogWarning, "getActualFileLength: file has more sectors as mentioned in directory (%d > %d)\n",
                   static_cast<int>(walk.blocks), blockCount);
    return static_cast<std::int32_t>(walk.bytes);
}

std::int32_t getConvertFileLength(const ImageInfo& info, const std::uint8_t* entry) {
    const ChainWalk walk = followConvertFile(info, entry, nullptr, nullptr);
    if (walk.outcome == ChainWalk::kComplete) return static_cast<std::int32_t>(walk.bytes);
    logMessage(kLogWarning, "getConvertFileLength: GEOS file unreadable at %d:%d\n", walk.track, walk.sector);
    return 0;
}

namespace {

bool recordEntry(ImageInfo& info, const std::uint8_t* entry) {
    const std::size_t newSize = static_cast<std::size_t>(info.fileCounter + 1) * kDirEntrySize;
    void* grown = std::realloc(info.fileEntries.get(), newSize);
    if (!grown) return false;
    (void)info.fileEntries.release();
    info.fileEntries.reset(static_cast<std::uint8_t*>(grown));
    std::memcpy(info.fileEntries.get() + info.fileCounter * kDirEntrySize, entry, kDirEntrySize);
    ++info.fileCounter;
    return true;
}

}  // namespace

int readVolumeHeader(ImageInfo& info, ListedFile& file) {
    info.lastReported = -1;
    for (;;) {
        std::memset(&file, 0, sizeof file);
        if (info.restartListing) {
            info.currTrack = info.dirTrack;
            info.currSector = info.dirSector;
            info.currEntry = 0;
            logMessage(kLogTrace, "firstSector %d:%d-%d\n", info.currTrack, info.currSector, info.currEntry);
            info.restartListing = 0;
            info.listingBorder = false;
            info.dirBlockVisits.reset(new (std::nothrow) BlockSet);
            if (!info.dirBlockVisits) return E_NO_MEMORY;
            markHeaderAndBamBlocks(info, *info.dirBlockVisits);
        } else if (info.currEntry < 7) {
            ++info.currEntry;
        } else if (info.nextTrack != 0 && !info.listingBorder) {
            info.currTrack = info.nextTrack;
            info.currSector = info.nextSector;
            info.currEntry = 0;
        } else {
            // After the directory, the files on a GEOS desktop's border.
            const BorderBlock border = info.listingBorder ? BorderBlock {} : findBorderBlock(info);
            if (!border.found) {
                logMessage(kLogTrace, "ReadHeader exit E_END_ARCHIVE\n");
                return E_END_ARCHIVE;
            }
            info.listingBorder = true;
            info.currTrack = border.track;
            info.currSector = border.sector;
            info.currEntry = 0;
        }
        logMessage(kLogTrace, "currSector %d:%d-%d\n", info.currTrack, info.currSector, info.currEntry);

        std::uint8_t block[kBlockSize];
        if (GetDiskSector(info, info.currTrack, info.currSector, block) != 0) {
            logMessage(kLogError, "error ReadHeader GetDiskSector %d:%d\n", info.currTrack, info.currSector);
            return E_EREAD;
        }
        // GetDiskSector took the block, so it has an index. Blocks are told
        // apart by track and sector: a chain may pass the same sector number
        // on two tracks.
        if (info.currEntry == 0 && (!info.dirBlockVisits || !info.dirBlockVisits->insert(info, info.currTrack, info.currSector))) {
            logMessage(kLogWarning, "ReadHeader: error cyclic access for %d:%d\n", info.currTrack, info.currSector);
            return E_EREAD;
        }
        info.nextTrack = block[0];
        info.nextSector = block[1];

        std::uint8_t* entry = block + info.currEntry * kDirEntrySize;
        const std::uint8_t fileType = entry[kDirEntryType];
        if (showONLYScratchedFiles && fileType != kTypeScratched) continue;

        trimNamePad(entry + kDirFileName, kCbmNameLength, info.imageType);
        convert(entry + kDirFileName, kCbmNameLength, isGeosEntry(entry));
        // An unused slot; a file of an empty name is listed under one of its own.
        if (entry[kDirFileName] == 0 && fileType == kTypeScratched) continue;

        if (!recordEntry(info, entry)) return E_NO_MEMORY;

        if (fileType == kTypeScratched && !showScratchedFiles) {
            logMessage(kLogTrace, "scratched file at %d:%d-%d\n", info.currTrack, info.currSector, info.currEntry);
            continue;
        }
        const std::uint16_t blockCount =
            static_cast<std::uint16_t>(entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8));
        file.packSize = blockCount;
        file.hidden = fileType == kTypeScratched;
        const std::uint8_t* where = blockBytes(info, info.currTrack, info.currSector);
        const std::uint8_t* rawEntry = where + info.currEntry * kDirEntrySize;
        if (isFolderEntry(info, rawEntry)) {
            // A folder: its entry, then (readDiskHeader) what it holds.
            file.unpSize = 0;
            file.folder = true;
            reportListed(info, file, static_cast<std::uint32_t>(info.fileCounter - 1),
                         static_cast<std::uint32_t>(rawEntry - info.imageData.get()),
                         uniqueListedName(info, entry + kDirFileName, std::string()));
            info.listed.back().asPC64 = false;
            info.listed.back().folder = true;
            return 0;
        }
        const bool asConvert = isListedAsConvert(rawEntry);
        file.unpSize = asConvert ? getConvertFileLength(info, rawEntry)
                                 : getActualFileLength(info, entry[kDirStartTrack], entry[kDirStartSector], blockCount);
        reportListed(info, file, static_cast<std::uint32_t>(info.fileCounter - 1),
                     static_cast<std::uint32_t>(rawEntry - info.imageData.get()),
                     asConvert ? uniqueListedName(info, entry + kDirFileName, std::string(".cvt"))
                               : uniqueListedName(info, entry + kDirFileName, fileType),
                     asConvert);
        if (info.listed.back().asPC64) file.unpSize += static_cast<std::int32_t>(kPC64HeaderSize);
        logMessage(kLogTrace, "ReadHeader exit normal\n");
        return 0;
    }
}

namespace {

// Opens the folder the reported entry names and makes it the next one the
// listing walks; a folder it cannot or must not enter stays listed, empty.
void enterFolder(ImageInfo& top, ImageInfo& parent, ListedEntry& listed) {
    const char* why = nullptr;
    if (top.folders.size() >= kMaxFolders) why = "too many folders";
    else if (parent.folderDepth + 1 > kMaxFolderDepth) why = "folders too deep";
    else if (listed.hostName.size() > kMaxFolderPath) why = "its path is too long";
    std::unique_ptr<ImageInfo> view = why ? nullptr : openFolderView(top, parent, listed);
    if (!why && !view) why = "nothing to enter";
    if (!why && !adoptFolder(top, parent, listed, std::move(view))) why = "it holds itself";
    if (why) {
        logMessage(kLogWarning, "ReadHeader: folder <%s> not entered: %s\n", listed.hostName.c_str(), why);
        return;
    }
    top.listingFolders.push_back(listed.child);
}

}  // namespace

bool adoptFolder(ImageInfo& top, ImageInfo& parent, ListedEntry& listed, std::unique_ptr<ImageInfo> view) {
    view->parentFolder = &parent;
    view->folderEntry = listed.entryOffset;
    view->folderPath = listed.hostName;
    view->folderDepth = parent.folderDepth + 1;
    const int first = folderFirstBlock(*view);
    if (first >= 0) {
        if (!top.foldersEntered) top.foldersEntered.reset(new (std::nothrow) BlockSet);
        if (!top.foldersEntered || !top.foldersEntered->add(first)) return false;
    }
    top.folders.push_back(std::move(view));
    listed.child = static_cast<std::uint32_t>(top.folders.size());
    return true;
}

int readDiskHeader(ImageInfo& top, ListedFile& file) {
    if (top.restartListing) {
        // A new listing opens its folders anew.
        top.listingFolders.clear();
        top.folders.clear();
        top.foldersEntered.reset();
        top.listingError = 0;
    }
    for (;;) {
        ImageInfo& current = top.listingFolders.empty() ? top : *top.folders[top.listingFolders.back() - 1];
        const int rc = isFdImage(current) ? readFdHeader(current, file) : readVolumeHeader(current, file);
        top.lastReported = -1;
        if (rc != 0 && rc != E_NO_MEMORY && !top.listingFolders.empty()) {
            // A folder ends; one that could not be read to its end spoils the
            // listing's end, not its siblings.
            if (rc != E_END_ARCHIVE) {
                logMessage(kLogError, "ReadHeader: folder <%s> cannot be read to its end\n",
                           current.folderPath.c_str());
                top.listingError = rc;
            }
            current.dirBlockVisits.reset();
            top.listingFolders.pop_back();
            continue;
        }
        if (rc == E_END_ARCHIVE && top.listingError != 0) return top.listingError;
        if (rc != 0) return rc;
        if (&current != &top) {
            ListedEntry listed = current.listed.back();
            listed.hostName = current.folderPath + platform::kPathSeparator + listed.hostName;
            listed.volume = top.listingFolders.back();
            top.listed.push_back(std::move(listed));
            std::memset(file.fileName, 0, sizeof file.fileName);
            const std::string& path = top.listed.back().hostName;
            std::memcpy(file.fileName, path.data(), path.size() < sizeof file.fileName ? path.size() : sizeof file.fileName - 1);
        }
        top.lastReported = static_cast<std::int32_t>(top.listed.size() - 1);
        if (file.folder) enterFolder(top, current, top.listed.back());
        return 0;
    }
}
