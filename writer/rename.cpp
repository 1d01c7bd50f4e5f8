// Renaming a file in place (the RenameFile export): the entry keeps its
// blocks and gets a new CBM name, made from the new host name as packing
// makes names; one write-back, as for every change.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "reader/reader.h"
#include "writer/image_file.h"
#include "writer/writer.h"

namespace {

struct TypeExtension {
    const char* text;
    std::uint8_t type;
};
constexpr TypeExtension kTypeExtensions[] = {
    {".prg", kTypePrg}, {".seq", kTypeSeq}, {".usr", kTypeUsr}, {".del", kTypeDel}, {".rel", kTypeRel},
};

bool endsWithNoCase(const std::string& text, const char* tail) {
    const std::size_t n = std::strlen(tail);
    if (text.size() <= n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[text.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != tail[i]) return false;
    }
    return true;
}

// The new name and type of the entry; false when the host name gives no
// CBM name or asks for a type the entry cannot take (a REL file's side
// sectors cannot come or go by a rename).
bool newCbmName(const std::uint8_t* entry, const char* hostName, std::uint8_t* name, std::uint8_t& type) {
    std::string base(hostName);
    const std::uint8_t oldType = entry[kDirEntryType];
    type = oldType;
    if (isListedAsConvert(entry)) {
        // A GEOS file keeps its kind; its name is ASCII.
        if (endsWithNoCase(base, ".cvt")) base.resize(base.size() - 4);
    } else {
        for (const TypeExtension& e : kTypeExtensions) {
            if (!endsWithNoCase(base, e.text)) continue;
            base.resize(base.size() - std::strlen(e.text));
            type = static_cast<std::uint8_t>((oldType & ~kFileTypeMask) | (e.type & kFileTypeMask));
            break;
        }
        const bool wasRel = (oldType & kFileTypeMask) == (kTypeRel & kFileTypeMask);
        const bool isRel = (type & kFileTypeMask) == (kTypeRel & kFileTypeMask);
        if (wasRel != isRel) return false;
        base.resize(hostToPetscii(reinterpret_cast<std::uint8_t*>(base.data()), base.size()));
    }
    if (base.empty()) return false;
    std::memset(name, kDiskNamePad, kCbmNameLength);
    std::memcpy(name, base.data(), base.size() < kCbmNameLength ? base.size() : kCbmNameLength);
    return true;
}

}  // namespace

int renameFile(const char* packedFile, const char* oldName, const char* newName) {
    logMessage(kLogTrace, "RenameFile: PackedFile=%s\n", packedFile);
    const std::int32_t type = imageTypeOfPath(packedFile);
    if (type == kTypeNone || type == kTypeT64) return E_NOT_SUPPORTED;
    if (!oldName || !newName || !*newName) return E_ECREATE;

    std::unique_ptr<ImageInfo> info = newWorkingImage(packedFile, type);
    if (!info) return E_NO_MEMORY;
    if (int rc = loadExistingImage(*info, "RenameFile", true)) return rc;
    info->restartListing = 1;
    ListedFile listed;
    while (readDiskHeader(*info, listed) == 0) {
    }
    info->lastReported = -1;

    std::uint8_t* entry = findListedForDeleting(*info, oldName);
    if (!entry) {
        logMessage(kLogWarning, "RenameFile: <%s> not found in archive\n", oldName);
        return E_NO_FILES;
    }
    if ((entry[kDirEntryType] & kTypeLocked) || (entry[kDirEntryType] & kFileTypeMask) == kFileTypePartition) {
        logMessage(kLogError, "RenameFile: <%s> is locked -> not renamed\n", oldName);
        return E_NOT_SUPPORTED;
    }
    std::uint8_t name[kCbmNameLength];
    std::uint8_t newType = 0;
    if (!newCbmName(entry, newName, name, newType)) {
        logMessage(kLogError, "RenameFile: <%s> gives no CBM name for <%s> -> not renamed\n", newName, oldName);
        return E_ECREATE;
    }
    // As a file system's rename: a file listed under the new name goes.
    std::uint8_t* target = findListedForDeleting(*info, newName);
    if (target && target != entry) {
        if ((target[kDirEntryType] & kTypeLocked) || (target[kDirEntryType] & kFileTypeMask) == kFileTypePartition) {
            logMessage(kLogError, "RenameFile: <%s> is locked -> not replaced\n", newName);
            return E_NOT_SUPPORTED;
        }
        BlockClaims claims;
        collectBlockClaims(*info, claims);
        if (int rc = deleteDirEntry(*info, target, claims)) return rc;
    }
    std::memcpy(entry + kDirFileName, name, kCbmNameLength);
    entry[kDirEntryType] = newType;
    if (int rc = writeImageFile(*info)) return rc;
    logMessage(kLogTrace, "RenameFile: <%s> is now <%s>\n", oldName, newName);
    return 0;
}
