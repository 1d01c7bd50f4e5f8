// Reading and replacing the image file for PackFiles and DeleteFiles.
#include "writer/image_file.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/results.h"
#include "image/g64.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"

std::unique_ptr<ImageInfo> newWorkingImage(const char* path, std::int32_t type, std::int32_t container) {
    std::unique_ptr<ImageInfo> info = newImageInfo();
    if (info) info->imageName.reset(strdup(path));
    if (!info || !info->imageName) {
        logMessage(kLogError, "error malloc pInfo\n");
        return nullptr;
    }
    info->imageType = type;
    info->container = container;
    return info;
}

int readImageFile(ImageInfo& info, bool* missing, bool forWriting) {
    const char* path = info.imageName.get();
    logMessage(kLogTrace, "opening existing pack file <%s>\n", path);
    // One open tells whether the file is there and gives its size: nothing
    // looks the file up before, so nothing can change between the two. A
    // writer opens it once it holds the image's lock.
    platform::InputFile plain;
    platform::InputFile* file = &plain;
    int lastError = 0;
    bool opened = false;
    if (forWriting) {
        if (!info.writeLock) info.writeLock.reset(new (std::nothrow) platform::WriteLock);
        if (!info.writeLock) {
            logMessage(kLogError, "error malloc disk data\n");
            return E_NO_MEMORY;
        }
        platform::WriteLock& lock = *info.writeLock;
        const platform::LockResult locked = platform::lockImageForWriting(path, lock, lastError);
        if (locked == platform::LockResult::busy) {
            logMessage(kLogError, "error: another program is writing <%s> -> not written\n", path);
            return E_EWRITE;
        }
        // A missing image stays locked as such: it is then created, never replaced.
        opened = locked == platform::LockResult::ok && !lock.missing;
        if (opened && !lock.exclusive)
            logMessage(kLogWarning, "warning: <%s> cannot be locked here, only checked before it is written\n", path);
        file = &lock.image;
    } else {
        opened = platform::openForRead(path, plain, lastError);
    }
    if (!opened) {
        if (missing && platform::isMissingFile(lastError)) {
            *missing = true;
            return 0;
        }
        logMessage(kLogError, "error CreateFile %d\n", lastError);
        return E_EOPEN;
    }
    std::uint64_t wholeSize = 0;
    if (!platform::fileSize(*file, wholeSize, lastError)) {
        logMessage(kLogError, "error ReadFile %d\n", lastError);
        return E_EREAD;
    }
    logMessage(kLogTrace, "%d, %d\n", static_cast<int>(wholeSize >> 32), static_cast<int>(wholeSize & 0xFFFFFFFFu));
    // A file far larger than any image is none, and is not read to find out.
    if (wholeSize > kMaxImageFileSize) {
        logMessage(kLogError, "unknown disk type\n");
        return E_UNKNOWN_FORMAT;
    }
    const auto size = static_cast<std::uint32_t>(wholeSize);
    // One byte at least, so that an empty file is told apart from no memory.
    info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(size ? size : 1, 1)));
    if (!info.imageData) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    info.imageSize = static_cast<std::int32_t>(size);
    if (!platform::readAll(*file, info.imageData.get(), size, lastError)) {
        logMessage(kLogError, "error ReadFile %d\n", lastError);
        return E_EREAD;
    }
    platform::closeFile(*file);
    // What the image held when it was read, for the check before it is replaced.
    if (forWriting) platform::noteImageAsRead(*info.writeLock, info.imageData.get(), size);
    return info.container == kContainerG64 ? decodeG64Image(info) : 0;
}

int writeImageFile(const ImageInfo& info) {
    const char* path = info.imageName.get();
    if (!info.writeLock || !info.writeLock->taken) {
        logMessage(kLogError, "error: <%s> was not read for writing -> not written\n", path);
        return E_EWRITE;
    }
    auto size = static_cast<std::uint32_t>(info.imageSize);
    const std::uint8_t* bytes = info.imageData.get();
    // A G64 is written as its tracks, encoded from the model.
    CBuffer<std::uint8_t[]> tracks;
    if (info.container == kContainerG64) {
        if (int rc = encodeG64Image(info, tracks, size)) return rc;
        bytes = tracks.get();
    }
    std::uint32_t written = 0;
    const platform::WriteResult result = platform::replaceFile(*info.writeLock, bytes, size, written);
    // Released only now that the new image has the name.
    platform::unlockImage(*info.writeLock);
    switch (result) {
    case platform::WriteResult::ok:
        return 0;
    case platform::WriteResult::cannotCreate:
        logMessage(kLogError, "error: fopen (write image) failed\n");
        return E_EWRITE;
    case platform::WriteResult::changed:
        logMessage(kLogError, "error: <%s> changed by another program while it was being written -> not written\n",
                   path);
        return E_EWRITE;
    case platform::WriteResult::appeared:
        logMessage(kLogWarning, "<%s> was created by another program meanwhile\n", path);
        return kImageAppeared;
    case platform::WriteResult::shortWrite:
        break;
    }
    logMessage(kLogError, "error: fwrite (write image) wrote less (%d != %d)\n", static_cast<int>(written),
               static_cast<int>(size));
    return E_EWRITE;
}

int loadExistingImage(ImageInfo& info, const char* caller, bool forWriting) {
    if (int rc = readImageFile(info, nullptr, forWriting)) return rc;
    if (fdLayout(info.imageType)) {
        if (!checkImageSize(info)) {
            logMessage(kLogError, "unknown disk type\n");
            return E_UNKNOWN_FORMAT;
        }
        return readFdPartitions(info);
    }
    setDiskInitValues(info);
    // Block addresses come from the geometry: a short image would be
    // addressed beyond its end.
    if (!checkImageSize(info)) {
        logMessage(kLogError, "unknown disk type\n");
        return E_UNKNOWN_FORMAT;
    }
    readStatedBamTracks(info);
    // Tracks past 35 need a BAM layout that is known (forty_track.cpp).
    if (info.imageType == kTypeD64 && info.trackCount > kStandardD64Tracks && checkD64Valid40Track(info) == 0 &&
        forWriting) {
        logMessage(kLogWarning, "%s: unknown D64 %d track format -> read only\n", caller, info.trackCount);
        return E_NOT_SUPPORTED;
    }
    return 0;
}
