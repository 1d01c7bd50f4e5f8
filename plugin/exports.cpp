// The packer interface's entry points. Each is a thin door into the reader,
// the writer, the settings or the dialog.
#include <atomic>
#include <cstring>
#include <set>

#include "core/log.h"
#include "core/settings.h"
#include "core/spin_lock.h"
#include "dialog/dialog.h"
#include "image/image.h"
#include "platform/platform.h"
#include "plugin/exports.h"
#include "reader/reader.h"
#include "writer/writer.h"

namespace {

const char* orNull(const char* text) { return text ? text : "(null)"; }

// The images OpenArchive handed out and CloseArchive has not yet released:
// a handle a host never got from us, or has closed already, is refused
// instead of being used.
SpinLock handleLock;
std::set<const void*> openHandles;

// The callback SetProcessDataProc gave with the handle -1, for PackFiles
// and DeleteFiles (which run without a handle).
std::atomic<tProcessDataProc> packProgressProc {nullptr};

int callHostProgress(const ProgressSink& sink, const char* name, int size) {
    // The host's callback takes a writable string.
    char text[4 * platform::kMaxPath] = {};
    std::strncpy(text, name ? name : "", sizeof text - 1);
    return reinterpret_cast<tProcessDataProc>(sink.proc)(text, size);
}

ProgressSink progressSink(tProcessDataProc proc) {
    ProgressSink sink;
    sink.call = callHostProgress;
    sink.proc = reinterpret_cast<void (*)()>(proc);
    return sink;
}

void registerHandle(const void* handle) {
    SpinGuard guard(handleLock);
    openHandles.insert(handle);
}

bool isOpenHandle(const void* handle) {
    SpinGuard guard(handleLock);
    return handle && openHandles.count(handle) != 0;
}

bool releaseHandle(const void* handle) {
    SpinGuard guard(handleLock);
    return handle && openHandles.erase(handle) != 0;
}

#ifdef _WIN32
constexpr std::int32_t kFileTime = 0x00210000;  // DOS date/time 1980-01-01 00:00:00
constexpr std::int32_t kAttrNormal = 0;
constexpr std::int32_t kAttrHidden = 2;
#else
// Linux hosts read Unix seconds and a Unix mode.
constexpr std::int32_t kFileTime = 315532800;  // 1980-01-01 00:00:00 UTC
constexpr std::int32_t kAttrNormal = 0100644;
constexpr std::int32_t kAttrHidden = 0100444;
#endif

// Reads the image file whole into a new ImageInfo; null with the open result.
ImageInfo* openImage(const char* name, int& openResult) {
    std::int32_t type = kTypeNone;
    if (std::strlen(name) > 4 && std::strchr(name, '.')) type = imageTypeOfPath(name);
    if (type == kTypeNone) {
        openResult = E_UNKNOWN_FORMAT;
        logMessage(kLogError, "unknown disk type\n");
        return nullptr;
    }
    logMessage(kLogTrace, "Open %s\n", name);

    platform::InputFile file;
    int lastError = 0;
    if (!platform::openForRead(name, file, lastError)) {
        logMessage(kLogError, "error CreateFile %d\n", lastError);
        openResult = E_EOPEN;
        return nullptr;
    }
    std::uint32_t size = 0;
    if (!platform::fileSize(file, size, lastError)) {
        logMessage(kLogError, "error GetFileSize %d\n", lastError);
        openResult = E_EREAD;
        return nullptr;
    }
    if (size == 0) {
        logMessage(kLogError, "disk has size 0 -> aborting\n");
        openResult = E_BAD_DATA;
        return nullptr;
    }
    // Sizes beyond 2 GiB cannot be an image of ours and do not fit imageSize.
    if (size > 0x7FFFFFFFu) {
        logMessage(kLogError, "error malloc disk data\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    std::unique_ptr<ImageInfo> info = newImageInfo();
    if (!info) {
        logMessage(kLogError, "error malloc pInfo\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    info->imageData.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
    if (!info->imageData) {
        logMessage(kLogError, "error malloc disk data\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    info->imageSize = static_cast<std::int32_t>(size);
    info->imageType = type;
    info->imageName.reset(strdup(name));
    if (!info->imageName) {
        logMessage(kLogError, "error malloc pInfo\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    if (type == kTypeT64) {
        logMessage(kLogTrace, "image type = T64\n");
    } else {
        info->restartListing = 1;
        if (!checkImageSize(*info)) {
            openResult = E_UNKNOWN_FORMAT;
            logMessage(kLogError, "unknown disk type\n");
            return nullptr;
        }
        setDiskInitBasicValues(*info);
        logMessage(kLogTrace, "disk type = %s\n", formatLayout(type)->name);
    }
    if (!platform::readAll(file, info->imageData.get(), size, lastError)) {
        logMessage(kLogError, "error ReadFile %d\n", lastError);
        openResult = E_EREAD;
        return nullptr;
    }
    platform::closeFile(file);
    if (type == kTypeT64) {
        initTapeState(*info);
        logTapeHeader(*info);
    }
    openResult = 0;
    return info.release();
}

}  // namespace

extern "C" {

HANDLE WCX_API OpenArchive(tOpenArchiveData* archiveData) {
    if (!archiveData) return nullptr;
    if (!archiveData->ArcName) {
        archiveData->OpenResult = E_UNKNOWN_FORMAT;
        return nullptr;
    }
    int openResult = 0;
    ImageInfo* info = openImage(archiveData->ArcName, openResult);
    archiveData->OpenResult = openResult;
    if (info) registerHandle(info);
    return info;
}

int WCX_API ReadHeader(HANDLE handle, tHeaderData* headerData) {
    if (!isOpenHandle(handle) || !headerData) return E_BAD_ARCHIVE;
    auto& info = *static_cast<ImageInfo*>(handle);
    logMessage(kLogTrace, "ReadHeader entry <%s>\n", info.imageName.get());
    std::memset(headerData, 0, sizeof *headerData);
    ListedFile file;
    const int result = info.imageType == kTypeT64 ? readTapeHeader(info, file) : readDiskHeader(info, file);
    if (result != 0) return result;
    std::strncpy(headerData->ArcName, info.imageName.get(), sizeof headerData->ArcName - 1);
    std::memcpy(headerData->FileName, file.fileName, sizeof headerData->FileName);
    headerData->FileName[sizeof headerData->FileName - 1] = 0;
    headerData->PackSize = file.packSize;
    headerData->UnpSize = file.unpSize;
    headerData->FileTime = kFileTime;
    headerData->FileAttr = file.hidden ? kAttrHidden : kAttrNormal;
    return 0;
}

int WCX_API ProcessFile(HANDLE handle, int operation, char* destPath, char* destName) {
    if (operation == PK_SKIP) return 0;
    logMessage(kLogTrace, "ProcessFile - ");
    if (operation == PK_TEST) {
        logMessage(kLogTrace, "ProcessFile - TEST <%s> <%s>\n", orNull(destPath), orNull(destName));
        // A test reads the file as an extraction would, so that a damaged
        // file is reported instead of passing as sound.
        if (!isOpenHandle(handle)) return E_BAD_ARCHIVE;
        if (!destName) return E_NO_FILES;
        const auto& info = *static_cast<const ImageInfo*>(handle);
        return info.imageType == kTypeT64 ? testTapeFile(info, destPath, destName)
                                          : testDiskFile(info, destPath, destName);
    }
    if (operation != PK_EXTRACT) {
        logMessage(kLogWarning, "ProcessFile - other operation %d <%s> <%s>\n", operation, orNull(destPath),
                   orNull(destName));
        return 0;
    }
    logMessage(kLogTrace, "ProcessFile - EXTRACT <%s> <%s>\n", orNull(destPath), orNull(destName));
    if (!isOpenHandle(handle)) return E_BAD_ARCHIVE;
    if (!destName) return E_NO_FILES;
    const auto& info = *static_cast<const ImageInfo*>(handle);
    return info.imageType == kTypeT64 ? extractTapeFile(info, destPath, destName)
                                      : extractDiskFile(info, destPath, destName);
}

int WCX_API CloseArchive(HANDLE handle) {
    logMessage(kLogTrace, "CloseArchive " OMBRIX_PTR "\n", reinterpret_cast<std::uintptr_t>(handle));
    if (!releaseHandle(handle)) return E_BAD_ARCHIVE;
    delete static_cast<ImageInfo*>(handle);
    return 0;
}

int WCX_API GetPackerCaps() {
    logMessage(kLogTrace, "GetPackerCaps\n");
    return PK_CAPS_NEW | PK_CAPS_MODIFY | PK_CAPS_MULTIPLE | PK_CAPS_DELETE | PK_CAPS_OPTIONS;
}

void WCX_API SetChangeVolProc(HANDLE, tChangeVolProc) {}

void WCX_API SetProcessDataProc(HANDLE handle, tProcessDataProc proc) {
    if (handle == kPackHandle) {
        packProgressProc.store(proc);
        return;
    }
    // The handle's own callback; the host calls this on the thread that uses
    // the handle, before it reads from it.
    if (isOpenHandle(handle)) static_cast<ImageInfo*>(handle)->progress = progressSink(proc);
}

int WCX_API GetBackgroundFlags() {
    // Calls on different images keep all their state in their own records.
    return BACKGROUND_UNPACK | BACKGROUND_PACK;
}

void WCX_API PackSetDefaultParams(PackDefaultParamStruct* dps) {
    logMessage(kLogTrace, "PackSetDefaultParams\n");
    if (!dps) return;
    logMessage(kLogTrace, "plugin interface version %lu.%lu\n", static_cast<unsigned long>(dps->PluginInterfaceVersionHi),
               static_cast<unsigned long>(dps->PluginInterfaceVersionLow));
    char iniName[sizeof dps->DefaultIniName + 1] = {};
    std::memcpy(iniName, dps->DefaultIniName, sizeof dps->DefaultIniName);
    loadSettings(iniName);
}

int WCX_API PackFiles(char* packedFile, char* /*subPath*/, char* srcPath, char* addList, int flags) {
    if (!packedFile || !srcPath || !addList) return E_NOT_SUPPORTED;
    const ProgressSink progress = progressSink(packProgressProc.load());
    return packFiles(packedFile, srcPath, addList, (flags & PK_PACK_MOVE_FILES) != 0, &progress);
}

int WCX_API DeleteFiles(char* packedFile, char* deleteList) {
    if (!packedFile || !deleteList) return E_NOT_SUPPORTED;
    const ProgressSink progress = progressSink(packProgressProc.load());
    return deleteFiles(packedFile, deleteList, &progress);
}

void WCX_API ConfigurePacker(void* parent, void* dllInstance) { configurePacker(parent, dllInstance); }

// For hosts without a window system: the dialog's values as "key=value" lines.
int WCX_API ConfigurePackerText(const char* text) { return configurePackerText(text); }

}  // extern "C"
