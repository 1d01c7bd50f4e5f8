// Listing, extraction and testing of archives of files (Lynx, PC64): the
// directory read at opening gives each file's name, type and data range;
// a range that does not lie wholly inside the archive fails with 18.
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "platform/platform.h"
#include "reader/reader.h"

int readArchiveHeader(ImageInfo& info, ListedFile& file) {
    std::memset(&file, 0, sizeof file);
    info.lastReported = -1;
    if (info.archivedNext >= info.archived.size()) {
        logMessage(kLogTrace, "ReadHeader exit %d\n", info.archivedEnd);
        return info.archivedEnd;
    }
    const std::uint32_t index = info.archivedNext++;
    const ArchivedFile& archived = info.archived[index];
    std::uint8_t name[kCbmNameLength + 1] = {};
    std::memcpy(name, archived.name, kCbmNameLength);
    for (int i = kCbmNameLength - 1; i >= 0 && (name[i] == kDiskNamePad || name[i] == 0); --i) name[i] = 0;
    convert(name, kCbmNameLength);
    file.packSize = static_cast<std::int32_t>(archived.blocks);
    file.unpSize = static_cast<std::int32_t>(archived.length);
    reportListed(info, file, index, 0, uniqueListedName(info, name, archived.fileType));
    if (info.listed.back().asPC64) file.unpSize += static_cast<std::int32_t>(kPC64HeaderSize);
    return 0;
}

namespace {

// The archived file ProcessFile works on with its data inside the archive,
// or the result code: 22 not listed, 18 data outside the archive.
int findArchived(const ImageInfo& info, const char* destPath, const char* destName, const ArchivedFile*& found,
                 bool& asPC64) {
    const ListedEntry* listed = findListedEntry(info, destPath, destName);
    if (!listed || listed->record >= info.archived.size()) return E_NO_FILES;
    found = &info.archived[listed->record];
    asPC64 = listed->asPC64;
    const auto size = static_cast<std::uint64_t>(info.imageSize);
    if (found->offset > size || found->length > size - found->offset) {
        logMessage(kLogError, "ProcessFile: data of <%s> lie outside the archive\n", destName);
        return E_EREAD;
    }
    return 0;
}

}  // namespace

int testArchivedFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const ArchivedFile* file = nullptr;
    bool asPC64 = false;
    if (int rc = findArchived(info, destPath, destName, file, asPC64)) return rc;
    const auto size = static_cast<int>(file->length + (asPC64 ? kPC64HeaderSize : 0));
    return reportProgress(&info.progress, destName, size) ? 0 : E_EABORTED;
}

int extractArchivedFile(const ImageInfo& info, const char* destPath, const char* destName) {
    const ArchivedFile* file = nullptr;
    bool asPC64 = false;
    if (int rc = findArchived(info, destPath, destName, file, asPC64)) return rc;
    // Written beside the target and moved over it: whatever stood there (a
    // link too) is replaced, never written through.
    const std::string target = outputPath(destPath, destName);
    platform::OutputFile output;
    if (!platform::createOutputFile(target.c_str(), output)) {
        logMessage(kLogError, "error fopen <%s>\n", target.c_str());
        return E_EWRITE;
    }
    bool ok = true;
    if (asPC64) {
        std::uint8_t header[kPC64HeaderSize];
        makePC64Header(file->name, kDiskNamePad, file->fileType, file->recordLength, header);
        ok = std::fwrite(header, 1, sizeof header, output.file) == sizeof header;
    }
    const auto length = static_cast<std::size_t>(file->length);
    if (ok && length > 0 && std::fwrite(info.imageData.get() + file->offset, 1, length, output.file) != length)
        ok = false;
    // A cancelled file is not left behind.
    if (ok && !reportProgress(&info.progress, target.c_str(), static_cast<int>(length + (asPC64 ? kPC64HeaderSize : 0)))) {
        platform::finishOutputFile(output, false);
        return E_EABORTED;
    }
    return platform::finishOutputFile(output, ok) ? 0 : E_EWRITE;
}
