// Extraction and testing of a listed file of a disk image: its block chain,
// followed from the entry the listing recorded.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

// The listed file ProcessFile works on: its recorded directory entry (name
// converted) and the entry as the image holds it.
struct FileEntry {
    const std::uint8_t* recorded = nullptr;
    const std::uint8_t* raw = nullptr;
    bool asConvert = false;
    bool asPC64 = false;
    const ImageInfo* volume = nullptr;  // the disk or folder it lies in
    const ListedEntry* listed = nullptr;
};

FileEntry findFileEntry(const ImageInfo& info, const char* destPath, const char* destName) {
    logMessage(kLogTrace, "COMPARE fileCounter %d\n", info.fileCounter);
    const ListedEntry* listed = findListedEntry(info, destPath, destName);
    if (!listed) return {};
    const ImageInfo& volume = volumeOf(info, *listed);
    if (listed->folder || listed->raw) {
        FileEntry found;
        found.volume = &volume;
        found.listed = listed;
        return found;
    }
    if (listed->record >= static_cast<std::uint32_t>(volume.fileCounter)) return {};
    if (static_cast<std::uint64_t>(listed->entryOffset) + kDirEntrySize > static_cast<std::uint64_t>(info.imageSize))
        return {};
    return {volume.fileEntries.get() + listed->record * kDirEntrySize, info.imageData.get() + listed->entryOffset,
            listed->asConvert, listed->asPC64, &volume, listed};
}



std::uint16_t blockCountOf(const std::uint8_t* entry) {
    return static_cast<std::uint16_t>(entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8));
}

// Where the data of a walk go: the output file (none when testing) and the
// host's progress callback, which may cancel.
struct Output {
    std::FILE* file;
    bool failed;
    const ProgressSink* progress;
    const char* name;
    bool cancelled;
};

bool writeData(void* context, const std::uint8_t* data, std::size_t size) {
    auto& out = *static_cast<Output*>(context);
    if (out.file && size > 0 && std::fwrite(data, 1, size, out.file) != size) out.failed = true;
    if (!reportProgress(out.progress, out.name, static_cast<int>(size))) {
        out.cancelled = true;
        return false;
    }
    return true;
}

// 0, or 18 for a block that cannot be read or a chain that comes back on
// itself, after logging which.
int chainResult(const ChainWalk& walk) {
    switch (walk.outcome) {
    case ChainWalk::kUnreadable:
        // The reason a user is shown: the block and what the drive says of it.
        if (walk.error < 0)
            logMessage(kLogError, "block %d:%d: not on the disk\n", walk.track, walk.sector);
        else if (*errorByteText(static_cast<unsigned>(walk.error)))
            logMessage(kLogError, "block %d:%d: %s\n", walk.track, walk.sector,
                       errorByteText(static_cast<unsigned>(walk.error)));
        else
            logMessage(kLogError, "block %d:%d: error byte %d\n", walk.track, walk.sector, walk.error);
        return E_EREAD;
    case ChainWalk::kCircular:
        logMessage(kLogError, "ProcessFile: error cyclic access for %d:%d\n", walk.track, walk.sector);
        return E_EREAD;
    case ChainWalk::kMalformed:
        logMessage(kLogError, "ProcessFile: GEOS file cannot be converted at %d:%d\n", walk.track, walk.sector);
        return E_EREAD;
    case ChainWalk::kStopped:
        logMessage(kLogTrace, "ProcessFile: cancelled at %d:%d\n", walk.track, walk.sector);
        return E_EABORTED;
    default:
        return 0;
    }
}

// The file's bytes as extraction writes them: a GEOS file as its Convert
// file when it was listed as one, any other file as its chain.
int walkFile(const ImageInfo& info, const FileEntry& file, Output& out) {
    if (file.listed && file.listed->raw) {
        if (file.listed->record >= info.archived.size()) return E_NO_FILES;
        const ArchivedFile& part = info.archived[file.listed->record];
        const std::uint64_t end = static_cast<std::uint64_t>(info.imageSize);
        if (part.offset + info.bodyOffset > end || part.length > end - part.offset - info.bodyOffset) return E_EREAD;
        return writeData(&out, info.imageData.get() + info.bodyOffset + part.offset, static_cast<std::size_t>(part.length))
                   ? 0
                   : E_EABORTED;
    }
    if (file.listed && file.listed->folder) return 0;
    const ImageInfo& disk = *file.volume;
    if (file.asPC64) {
        std::uint8_t header[kPC64HeaderSize];
        makePC64Header(file.raw + kDirFileName, kDiskNamePad, file.raw[kDirEntryType], file.raw[kDirRecordLength],
                       header);
        if (!writeData(&out, header, sizeof header)) return E_EABORTED;
    }
    if (file.asConvert) return chainResult(followConvertFile(disk, file.raw, writeData, &out));
    const std::uint8_t* entry = file.recorded;
    return chainResult(
        followFileChain(disk, entry[kDirStartTrack], entry[kDirStartSector], blockCountOf(entry), writeData, &out));
}

// The folders above a file of a folder, made when missing: a host may ask
// for its files before (or without) making the folder itself.
void makeParentFolders(const ListedEntry& listed, const std::string& target) {
    if (listed.hostName.find(platform::kPathSeparator) == std::string::npos) return;
    const std::size_t sep = target.find_last_of(std::string(1, platform::kPathSeparator) + "/");
    if (sep != std::string::npos && sep > 0) platform::makeFolders(target.substr(0, sep).c_str());
}

}  // namespace

int extractDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const FileEntry file = findFileEntry(info, destPath, destName);
    if (!file.volume) return E_NO_FILES;
    const std::string target = outputPath(destPath, destName);
    makeParentFolders(*file.listed, target);
    if (file.listed->folder) {
        // A folder is made (a host that makes folders itself finds it there).
        if (platform::makeFolders(target.c_str())) return 0;
        logMessage(kLogError, "error mkdir <%s>\n", target.c_str());
        return E_EWRITE;
    }
    if (file.recorded) {
        char shownName[kCbmNameLength + 1] = {};
        std::memcpy(shownName, file.recorded + kDirFileName, kCbmNameLength);
        logMessage(kLogTrace, "EXTRACT found <%s> %d\n", shownName, blockCountOf(file.recorded));
    }
    platform::OutputFile output;
    if (!platform::createOutputFile(target.c_str(), output)) {
        logMessage(kLogError, "error fopen <%s>\n", target.c_str());
        return E_EWRITE;
    }
    Output out {output.file, false, &info.progress, target.c_str(), false};
    const int result = walkFile(info, file, out);
    // Only a whole file takes the target's name: after a cancel, a failed
    // write or a damaged block nothing is left behind, and whatever held the
    // name stays as it was.
    const bool kept = platform::finishOutputFile(output, result == 0 && !out.cancelled && !out.failed);
    if (!kept && result == 0) return E_EWRITE;
    return result;
}

int testDiskFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const FileEntry file = findFileEntry(info, destPath, destName);
    if (!file.volume) return E_NO_FILES;
    Output out {nullptr, false, &info.progress, destName, false};
    return walkFile(info, file, out);
}
