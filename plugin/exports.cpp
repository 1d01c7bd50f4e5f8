// The packer interface's entry points. Each is a thin door into the reader,
// the writer, the settings or the dialog.
#include <cstring>
#include <set>

#include "core/log.h"
#include "core/settings.h"
#include "core/spin_lock.h"
#include "dialog/dialog.h"
#include "image/g64.h"
#include "image/image.h"
#include "platform/platform.h"
#include "plugin/dc_extension.h"
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

// The callback SetProcessDataProc(W) gave with the handle -1, for PackFiles
// and DeleteFiles (which run without a handle).
SpinLock packProgressLock;
ProgressSink packProgress;

ProgressSink packProgressSink() {
    SpinGuard guard(packProgressLock);
    return packProgress;
}

void setPackProgress(const ProgressSink& sink) {
    SpinGuard guard(packProgressLock);
    packProgress = sink;
}

// The host's callbacks take a writable string in their own encoding.
int callAnsiProgress(const ProgressSink& sink, const char* name, int size) {
    std::string text = platform::ansiFromUtf8(name ? name : "");
    return reinterpret_cast<tProcessDataProc>(sink.proc)(text.data(), size);
}

ProgressSink ansiProgress(tProcessDataProc proc) {
    ProgressSink sink;
    sink.call = callAnsiProgress;
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
constexpr std::int32_t kAttrDirectory = 0x10;
#else
// Linux hosts read Unix seconds and a Unix mode.
constexpr std::int32_t kFileTime = 315532800;  // 1980-01-01 00:00:00 UTC
constexpr std::int32_t kAttrNormal = 0100644;
constexpr std::int32_t kAttrHidden = 0100444;
constexpr std::int32_t kAttrDirectory = 040755;
#endif

std::int32_t fileAttr(const ListedFile& file) {
    return file.folder ? kAttrDirectory : file.hidden ? kAttrHidden : kAttrNormal;
}

// Reads the image file whole into a new ImageInfo; null with the open result.
ImageInfo* openImage(const char* name, int& openResult) {
    // One open serves both: the content tells the type where it can (the
    // name only where not), and the same read gives the image.
    auto unknown = [&] {
        openResult = E_UNKNOWN_FORMAT;
        logMessage(kLogError, "unknown disk type\n");
        return nullptr;
    };
    std::uint32_t bodyOffset = 0;
    std::int32_t container = kContainerPlain;
    platform::InputFile file;
    int lastError = 0;
    if (!platform::openForRead(name, file, lastError)) {
        if (imageTypeOfContent(name, nullptr, 0, 0, bodyOffset, &container) == kTypeNone) return unknown();
        logMessage(kLogTrace, "Open %s\n", name);
        logMessage(kLogError, "error CreateFile %d\n", lastError);
        openResult = E_EOPEN;
        return nullptr;
    }
    std::uint64_t size = 0;
    if (!platform::fileSize(file, size, lastError)) {
        logMessage(kLogError, "error GetFileSize %d\n", lastError);
        openResult = E_EREAD;
        return nullptr;
    }
    // A file far larger than any image is none, and is not read to find out.
    if (size > kMaxImageFileSize) return unknown();
    std::unique_ptr<ImageInfo> info = newImageInfo();
    if (!info) {
        logMessage(kLogError, "error malloc pInfo\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    info->imageData.reset(static_cast<std::uint8_t*>(std::calloc(size ? static_cast<std::size_t>(size) : 1, 1)));
    if (!info->imageData) {
        logMessage(kLogError, "error malloc disk data\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    if (!platform::readAll(file, info->imageData.get(), static_cast<std::uint32_t>(size), lastError)) {
        logMessage(kLogError, "error ReadFile %d\n", lastError);
        openResult = E_EREAD;
        return nullptr;
    }
    const std::size_t headSize = size < kDetectHeadSize ? static_cast<std::size_t>(size) : kDetectHeadSize;
    // The whole file is read: a CMD FD image's signature is in it.
    const std::uint64_t signatureAt = fdSignatureOffset(size);
    const std::int32_t type = imageTypeOfContent(name, info->imageData.get(), headSize, size, bodyOffset, &container,
                                                 signatureAt ? info->imageData.get() + signatureAt : nullptr);
    if (type == kTypeNone) return unknown();
    logMessage(kLogTrace, "Open %s\n", name);
    if (size == 0) {
        logMessage(kLogError, "disk has size 0 -> aborting\n");
        openResult = E_BAD_DATA;
        return nullptr;
    }
    info->imageSize = static_cast<std::int32_t>(size);
    info->imageType = type;
    info->bodyOffset = bodyOffset;
    info->imageName.reset(strdup(name));
    if (!info->imageName) {
        logMessage(kLogError, "error malloc pInfo\n");
        openResult = E_NO_MEMORY;
        return nullptr;
    }
    platform::closeFile(file);
    if (type == kTypeT64) {
        logMessage(kLogTrace, "image type = T64\n");
        initTapeState(*info);
        logTapeHeader(*info);
        openResult = 0;
        return info.release();
    }
    if (type == kTypeLynx || type == kTypePC64) {
        logMessage(kLogTrace, "image type = %s\n", type == kTypeLynx ? "LNX" : "PC64");
        if (int rc = type == kTypeLynx ? readLynxDirectory(*info) : readPC64File(*info)) {
            openResult = rc;
            return nullptr;
        }
        openResult = 0;
        return info.release();
    }
    // A G64's tracks become the D64 model here; all else reads that.
    info->container = container;
    if (info->container == kContainerG64) {
        if (int rc = decodeG64Image(*info)) {
            openResult = rc;
            return nullptr;
        }
    }
    info->restartListing = 1;
    if (!checkImageSize(*info)) {
        openResult = E_UNKNOWN_FORMAT;
        logMessage(kLogError, "unknown disk type\n");
        return nullptr;
    }
    if (const FdLayout* fd = fdLayout(type)) {
        // Partitions are its folders; the table is read once.
        logMessage(kLogTrace, "disk type = %s\n", fd->name);
        openResult = readFdPartitions(*info);
        return openResult == 0 ? info.release() : nullptr;
    }
    // The header and BAM positions too: the listing never takes them
    // for directory blocks.
    setDiskInitValues(*info);
    logMessage(kLogTrace, "disk type = %s\n", formatLayout(type)->name);
    readStatedBamTracks(*info);
    openResult = 0;
    return info.release();
}

bool isArchiveOfFiles(const ImageInfo& info) { return info.imageType == kTypeLynx || info.imageType == kTypePC64; }

// --- the calls themselves, on UTF-8 text; the exports below convert ---

// A host's list of names, each ending in a zero, the list in a second zero.
template <class Char, class Convert>
std::string nameList(const Char* list, Convert convert) {
    std::string out;
    for (const Char* name = list; *name;) {
        std::basic_string<Char> one(name);
        out += convert(one.c_str());
        out += '\0';
        name += one.size() + 1;
    }
    out += '\0';
    return out;
}

HANDLE openArchive(const char* arcName, std::int32_t& openResult) {
    clearLastError();
    int result = 0;
    ImageInfo* info = openImage(arcName, result);
    openResult = result;
    if (info) registerHandle(info);
    return info;
}

// The next listed file of an open image, with the image's path.
int readHeader(HANDLE handle, ListedFile& file, const char*& arcName) {
    clearLastError();
    if (!isOpenHandle(handle)) return E_BAD_ARCHIVE;
    auto& info = *static_cast<ImageInfo*>(handle);
    logMessage(kLogTrace, "ReadHeader entry <%s>\n", info.imageName.get());
    const int result = info.imageType == kTypeT64    ? readTapeHeader(info, file)
                       : isArchiveOfFiles(info)       ? readArchiveHeader(info, file)
                                                      : readDiskHeader(info, file);
    arcName = info.imageName.get();
    return result;
}

int processFile(HANDLE handle, int operation, const char* destPath, const char* destName) {
    clearLastError();  // an earlier call's reason is none for this one
    if (operation == PK_SKIP) return 0;
    logMessage(kLogTrace, "ProcessFile - ");
    if (operation == PK_TEST) {
        logMessage(kLogTrace, "ProcessFile - TEST <%s> <%s>\n", orNull(destPath), orNull(destName));
        // A test reads the file as an extraction would, so that a damaged
        // file is reported instead of passing as sound.
        if (!isOpenHandle(handle)) return E_BAD_ARCHIVE;
        if (!destName) return E_NO_FILES;
        const auto& info = *static_cast<const ImageInfo*>(handle);
        if (isArchiveOfFiles(info)) return testArchivedFile(info, destPath, destName);
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
    if (isArchiveOfFiles(info)) return extractArchivedFile(info, destPath, destName);
    return info.imageType == kTypeT64 ? extractTapeFile(info, destPath, destName)
                                      : extractDiskFile(info, destPath, destName);
}

void setProgress(HANDLE handle, const ProgressSink& sink) {
    if (handle == kPackHandle) {
        setPackProgress(sink);
        return;
    }
    // The handle's own callback; the host calls this on the thread that uses
    // the handle, before it reads from it.
    if (isOpenHandle(handle)) static_cast<ImageInfo*>(handle)->progress = sink;
}

static_assert(PK_PACK_MOVE_FILES == kPackMoveFiles && PK_PACK_SAVE_PATHS == kPackSavePaths);

int packFilesUtf8(const char* packedFile, const char* subPath, const char* srcPath, const char* addList, int flags) {
    clearLastError();
    const ProgressSink progress = packProgressSink();
    return packFiles(packedFile, subPath, srcPath, addList, flags, &progress);
}

int deleteFilesUtf8(const char* packedFile, const char* deleteList) {
    clearLastError();
    const ProgressSink progress = packProgressSink();
    return deleteFiles(packedFile, deleteList, &progress);
}

// An optional host string in UTF-8, null staying null.
struct Text {
    bool given;
    std::string text;
    const char* get() const { return given ? text.c_str() : nullptr; }
};
Text fromAnsi(const char* s) { return {s != nullptr, platform::utf8FromAnsi(s)}; }

// Listed names hold ASCII and U+00A0 only. The ANSI listing gives U+00A0 as
// the byte 0xA0 on Windows, whatever the code page; Linux hosts read UTF-8.
std::string ansiListedName(const std::string& name) {
#ifdef _WIN32
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c == 0xC2 && i + 1 < name.size()) out += name[++i];
        else out += static_cast<char>(c < 0x80 ? c : '_');
    }
    return out;
#else
    return name;
#endif
}

void copyText(char* out, std::size_t size, const std::string& text) {
    std::memset(out, 0, size);
    std::memcpy(out, text.data(), text.size() < size ? text.size() : size - 1);
}

void giveText(const std::string& text, char* buffer, int* size) {
    if (buffer && *size > 0) copyText(buffer, static_cast<std::size_t>(*size), text);
    *size = static_cast<int>(text.size() + 1);
}

#ifdef _WIN32
int callWideProgress(const ProgressSink& sink, const char* name, int size) {
    std::wstring text = platform::wideFromUtf8(name ? name : "");
    return reinterpret_cast<tProcessDataProcW>(sink.proc)(text.data(), size);
}

ProgressSink wideProgress(tProcessDataProcW proc) {
    ProgressSink sink;
    sink.call = callWideProgress;
    sink.proc = reinterpret_cast<void (*)()>(proc);
    return sink;
}

Text fromWide(const wchar_t* s) { return {s != nullptr, platform::utf8FromWide(s)}; }

void copyText(wchar_t* out, std::size_t size, const std::wstring& text) {
    std::memset(out, 0, size * sizeof *out);
    std::memcpy(out, text.data(), (text.size() < size ? text.size() : size - 1) * sizeof *out);
}

template <class Header>
void fillHeaderEx(Header& header, const ListedFile& file) {
    header.PackSize = static_cast<std::uint32_t>(file.packSize);
    header.UnpSize = static_cast<std::uint32_t>(file.unpSize);
    header.FileTime = kFileTime;
    header.FileAttr = fileAttr(file);
}
#endif

void fillHeader(tHeaderData& header, const ListedFile& file, const char* arcName) {
    copyText(header.ArcName, sizeof header.ArcName, platform::ansiFromUtf8(arcName));
    copyText(header.FileName, sizeof header.FileName, ansiListedName(file.fileName));
    header.PackSize = file.packSize;
    header.UnpSize = file.unpSize;
    header.FileTime = kFileTime;
    header.FileAttr = fileAttr(file);
}

}  // namespace

extern "C" {

HANDLE WCX_API OpenArchive(tOpenArchiveData* archiveData) {
    if (!archiveData) return nullptr;
    if (!archiveData->ArcName) {
        archiveData->OpenResult = E_UNKNOWN_FORMAT;
        return nullptr;
    }
    return openArchive(platform::utf8FromAnsi(archiveData->ArcName).c_str(), archiveData->OpenResult);
}

int WCX_API ReadHeader(HANDLE handle, tHeaderData* headerData) {
    if (!headerData) return E_BAD_ARCHIVE;
    std::memset(headerData, 0, sizeof *headerData);
    ListedFile file {};
    const char* arcName = nullptr;
    if (int rc = readHeader(handle, file, arcName)) return rc;
    fillHeader(*headerData, file, arcName);
    return 0;
}

int WCX_API ProcessFile(HANDLE handle, int operation, char* destPath, char* destName) {
    const Text path = fromAnsi(destPath), name = fromAnsi(destName);
    return processFile(handle, operation, path.get(), name.get());
}

int WCX_API CloseArchive(HANDLE handle) {
    logMessage(kLogTrace, "CloseArchive " OMBRIX_PTR "\n", reinterpret_cast<std::uintptr_t>(handle));
    if (!releaseHandle(handle)) return E_BAD_ARCHIVE;
    delete static_cast<ImageInfo*>(handle);
    return 0;
}

// Hosts ask whether a file of any name is ours: only its content answers.
int WCX_API CanYouHandleThisFile(char* fileName) {
    if (!fileName) return 0;
    return isOurContent(platform::utf8FromAnsi(fileName).c_str()) ? 1 : 0;
}

// A switch of the settings file set for this process, by its ini key (the
// command-line host passes its options this way): 0, or 24 for a key that
// is no switch.
int WCX_API SetPackerSwitch(const char* key, int value) { return setSwitch(key, value) ? 0 : E_NOT_SUPPORTED; }

int WCX_API GetPackerCaps() {
    logMessage(kLogTrace, "GetPackerCaps\n");
    return PK_CAPS_NEW | PK_CAPS_MODIFY | PK_CAPS_MULTIPLE | PK_CAPS_DELETE | PK_CAPS_OPTIONS | PK_CAPS_BY_CONTENT;
}

void WCX_API SetChangeVolProc(HANDLE, tChangeVolProc) {}

void WCX_API SetProcessDataProc(HANDLE handle, tProcessDataProc proc) { setProgress(handle, ansiProgress(proc)); }

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
    loadSettings(platform::utf8FromAnsi(iniName).c_str());
}

int WCX_API PackFiles(char* packedFile, char* subPath, char* srcPath, char* addList, int flags) {
    if (!packedFile || !srcPath || !addList) return E_NOT_SUPPORTED;
    return packFilesUtf8(platform::utf8FromAnsi(packedFile).c_str(), fromAnsi(subPath).get(),
                         platform::utf8FromAnsi(srcPath).c_str(), nameList(addList, platform::utf8FromAnsi).c_str(),
                         flags);
}

int WCX_API DeleteFiles(char* packedFile, char* deleteList) {
    if (!packedFile || !deleteList) return E_NOT_SUPPORTED;
    return deleteFilesUtf8(platform::utf8FromAnsi(packedFile).c_str(),
                           nameList(deleteList, platform::utf8FromAnsi).c_str());
}

void WCX_API ConfigurePacker(void* parent, void* dllInstance) { configurePacker(parent, dllInstance); }

// For hosts without a window system: the dialog's values as "key=value" lines.
int WCX_API ConfigurePackerText(const char* text) { return configurePackerText(text); }

// For hosts that show the disk as a whole: its facts and directory, and the
// check of its structures against the BAM, as "key<TAB>value" lines. The
// path is UTF-8 on every platform. The text is cut to the buffer; *size
// comes back as its whole length (with the zero), so a host can tell.
int WCX_API ImageInfoText(const char* path, char* buffer, int* size) {
    clearLastError();
    if (!path || !size) return E_NOT_SUPPORTED;
    std::string text;
    const int rc = describeImage(path, text);
    giveText(text, buffer, size);
    return rc;
}

static_assert(VALIDATE_REPAIR == kValidateRepair && VALIDATE_FREE_UNUSED == kValidateFreeUnused &&
              VALIDATE_STRICT == kValidateStrict);

// mode 1 (any host that passes a "repair" flag) mends only what puts data at risk.
int WCX_API ValidateImageText(const char* path, int mode, char* buffer, int* size) {
    clearLastError();
    if (!path || !size) return E_NOT_SUPPORTED;
    std::string text;
    const int rc = validateImage(path, mode, text);
    giveText(text, buffer, size);
    return rc;
}

// For hosts that hold files across calls (a file system, a conversion):
// every listed file with its key and what it is (reader/reader.h, entryLine),
// after one "image<TAB>writable<TAB>0|1" line. The result code is the
// listing's: 0, or the error that ended it (the lines before it stand).
int WCX_API ListEntriesText(const char* path, char* buffer, int* size) {
    clearLastError();
    if (!path || !size) return E_NOT_SUPPORTED;
    int result = 0;
    std::unique_ptr<ImageInfo> info(openImage(path, result));
    std::string text;
    if (info) {
        text = std::string("image\twritable\t") + (isWritableType(info->imageType) ? "1" : "0") + "\n";
        ListedFile file {};
        const char* arcName = nullptr;
        registerHandle(info.get());
        while ((result = readHeader(info.get(), file, arcName)) == 0) {
            const ListedEntry& listed = info->listed.back();
            text += entryLine(listedEntryFacts(*info, listed), listed, file);
        }
        releaseHandle(info.get());
        if (result == E_END_ARCHIVE) result = 0;
    }
    giveText(text, buffer, size);
    return result;
}

// Changes addressed by the files' keys (writer/writer.h, writeEntries), as
// one write of the image; the keys after the change come back one a line.
int WCX_API WriteEntriesText(const char* path, const char* srcPath, const char* lines, int flags, char* buffer,
                             int* size) {
    clearLastError();
    if (!path || !lines || !size) return E_NOT_SUPPORTED;
    std::string keys;
    const int rc = writeEntries(path, srcPath ? srcPath : "", lines, flags, keys);
    giveText(rc == 0 ? keys : std::string(), buffer, size);
    return rc;
}

int WCX_API RenameFile(const char* path, const char* oldName, const char* newName) {
    clearLastError();
    if (!path || !oldName || !newName) return E_NOT_SUPPORTED;
    return renameFile(path, oldName, newName);
}

// Why the last call of this thread failed: its last error line (UTF-8, ""
// when it logged none), given as ImageInfoText gives its text.
int WCX_API LastErrorText(char* buffer, int* size) {
    if (!size) return E_NOT_SUPPORTED;
    giveText(lastErrorLine(), buffer, size);
    return 0;
}

#ifndef _WIN32
// Double Commander hands over its services: its form dialogs show the
// settings dialog. The record is the host's, on its stack: keep the pointers.
void WCX_API ExtensionInitialize(tExtensionStartupInfo* startupInfo) {
    logMessage(kLogTrace, "ExtensionInitialize\n");
    if (!startupInfo || startupInfo->StructSize < kExtensionDialogsEnd || !startupInfo->DialogBoxLFM ||
        !startupInfo->SendDlgMsg) {
        setFormDialogHost(nullptr, nullptr);
        return;
    }
    setFormDialogHost(startupInfo->DialogBoxLFM, startupInfo->SendDlgMsg);
}

void WCX_API ExtensionFinalize(void*) { setFormDialogHost(nullptr, nullptr); }
#endif

}  // extern "C"

#ifdef _WIN32
// The Unicode forms: the same calls, with every name in UTF-16.
extern "C" {

HANDLE WCX_API OpenArchiveW(tOpenArchiveDataW* archiveData) {
    if (!archiveData) return nullptr;
    if (!archiveData->ArcName) {
        archiveData->OpenResult = E_UNKNOWN_FORMAT;
        return nullptr;
    }
    return openArchive(platform::utf8FromWide(archiveData->ArcName).c_str(), archiveData->OpenResult);
}

int WCX_API ReadHeaderEx(HANDLE handle, tHeaderDataEx* headerData) {
    if (!headerData) return E_BAD_ARCHIVE;
    std::memset(headerData, 0, sizeof *headerData);
    ListedFile file {};
    const char* arcName = nullptr;
    if (int rc = readHeader(handle, file, arcName)) return rc;
    copyText(headerData->ArcName, sizeof headerData->ArcName, platform::ansiFromUtf8(arcName));
    copyText(headerData->FileName, sizeof headerData->FileName, ansiListedName(file.fileName));
    fillHeaderEx(*headerData, file);
    return 0;
}

int WCX_API ReadHeaderExW(HANDLE handle, tHeaderDataExW* headerData) {
    if (!headerData) return E_BAD_ARCHIVE;
    std::memset(headerData, 0, sizeof *headerData);
    ListedFile file {};
    const char* arcName = nullptr;
    if (int rc = readHeader(handle, file, arcName)) return rc;
    copyText(headerData->ArcName, 1024, platform::wideFromUtf8(arcName));
    copyText(headerData->FileName, 1024, platform::wideFromUtf8(file.fileName));
    fillHeaderEx(*headerData, file);
    return 0;
}

int WCX_API ProcessFileW(HANDLE handle, int operation, wchar_t* destPath, wchar_t* destName) {
    const Text path = fromWide(destPath), name = fromWide(destName);
    return processFile(handle, operation, path.get(), name.get());
}

int WCX_API PackFilesW(wchar_t* packedFile, wchar_t* subPath, wchar_t* srcPath, wchar_t* addList, int flags) {
    if (!packedFile || !srcPath || !addList) return E_NOT_SUPPORTED;
    return packFilesUtf8(platform::utf8FromWide(packedFile).c_str(), fromWide(subPath).get(),
                         platform::utf8FromWide(srcPath).c_str(), nameList(addList, platform::utf8FromWide).c_str(),
                         flags);
}

int WCX_API DeleteFilesW(wchar_t* packedFile, wchar_t* deleteList) {
    if (!packedFile || !deleteList) return E_NOT_SUPPORTED;
    return deleteFilesUtf8(platform::utf8FromWide(packedFile).c_str(),
                           nameList(deleteList, platform::utf8FromWide).c_str());
}

int WCX_API CanYouHandleThisFileW(wchar_t* fileName) {
    if (!fileName) return 0;
    return isOurContent(platform::utf8FromWide(fileName).c_str()) ? 1 : 0;
}

void WCX_API SetChangeVolProcW(HANDLE, tChangeVolProcW) {}

void WCX_API SetProcessDataProcW(HANDLE handle, tProcessDataProcW proc) { setProgress(handle, wideProgress(proc)); }

}  // extern "C"
#endif
