// Reading and replacing the image file for PackFiles and DeleteFiles.
#include "writer/image_file.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"

std::unique_ptr<ImageInfo> newWorkingImage(const char* path, std::int32_t type) {
    std::unique_ptr<ImageInfo> info = newImageInfo();
    if (info) info->imageName.reset(strdup(path));
    if (!info || !info->imageName) {
        logMessage(kLogError, "error malloc pInfo\n");
        return nullptr;
    }
    info->imageType = type;
    return info;
}

int readImageFile(ImageInfo& info, bool* missing) {
    const char* path = info.imageName.get();
    logMessage(kLogTrace, "opening existing pack file <%s>\n", path);
    // One open tells whether the file is there and gives its size: nothing
    // looks the file up before, so nothing can change between the two.
    platform::InputFile file;
    int lastError = 0;
    if (!platform::openForRead(path, file, lastError)) {
        if (missing && platform::isMissingFile(lastError)) {
            *missing = true;
            return 0;
        }
        logMessage(kLogError, "error CreateFile %d\n", lastError);
        return E_EOPEN;
    }
    std::uint32_t size = 0;
    if (!platform::fileSize(file, size, lastError)) {
        logMessage(kLogError, "error ReadFile %d\n", lastError);
        return E_EREAD;
    }
    logMessage(kLogTrace, "%d, %d\n", 0, static_cast<int>(size));
    // No image of ours comes near 2 GiB; a larger file (4 GiB and more are
    // reported as the largest size) is no image to work on.
    if (size > 0x7FFFFFFFu) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    // One byte at least, so that an empty file is told apart from no memory.
    info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(size ? size : 1, 1)));
    if (!info.imageData) {
        logMessage(kLogError, "error malloc disk data\n");
        return E_NO_MEMORY;
    }
    info.imageSize = static_cast<std::int32_t>(size);
    if (!platform::readAll(file, info.imageData.get(), size, lastError)) {
        logMessage(kLogError, "error ReadFile %d\n", lastError);
        return E_EREAD;
    }
    platform::closeFile(file);
    return 0;
}

int writeImageFile(const ImageInfo& info) {
    const auto size = static_cast<std::uint32_t>(info.imageSize);
    std::uint32_t written = 0;
    switch (platform::replaceFile(info.imageName.get(), info.imageData.get(), size, written)) {
    case platform::WriteResult::ok:
        return 0;
    case platform::WriteResult::cannotCreate:
        logMessage(kLogError, "error: fopen (write image) failed\n");
        return E_EWRITE;
    case platform::WriteResult::shortWrite:
        break;
    }
    logMessage(kLogError, "error: fwrite (write image) wrote less (%d != %d)\n", static_cast<int>(written),
               info.imageSize);
    return E_EWRITE;
}

int loadExistingImage(ImageInfo& info, const char* caller, bool forWriting) {
    if (int rc = readImageFile(info)) return rc;
    setDiskInitValues(info);
    // Block addresses come from the geometry: a short image would be
    // addressed beyond its end.
    if (!checkImageSize(info)) {
        logMessage(kLogError, "unknown disk type\n");
        return E_UNKNOWN_FORMAT;
    }
    if (info.imageType == kTypeD64 && info.trackCount == 40 && checkD64Valid40Track(info) == 0 && forWriting) {
        logMessage(kLogWarning, "%s: unknown D64 40 track format -> read only\n", caller);
        return E_NOT_SUPPORTED;
    }
    return 0;
}
