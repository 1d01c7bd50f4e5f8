// Writing files by their entries (the WriteEntriesText export): a host that
// holds a file across calls (the mount, a conversion) names it by its key,
// so a second store of an open file replaces what the first put in, a
// rename moves that very entry, and a change of content keeps the entry's
// exact name and type. Every line of one call is one change of the image:
// read once, changed in memory, written back once, or not at all.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"
#include "writer/image_file.h"
#include "writer/writer.h"

namespace {

constexpr std::uint32_t kDataBytesPerBlock = 254;
constexpr std::uint8_t kTypeClosed = 0x80;

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
        if (tab == std::string::npos) return fields;
        from = tab + 1;
    }
}

// A source file read whole: it is small, since it must fit the image.
int readSource(const std::string& path, std::vector<std::uint8_t>& data) {
    std::uint32_t sizeLow = 0, sizeHigh = 0;
    int lastError = 0;
    if (!platform::findFile(path.c_str(), sizeLow, sizeHigh, lastError)) {
        logMessage(kLogError, "WriteEntries: cannot find <%s>\n", path.c_str());
        return E_EREAD;
    }
    if (sizeHigh != 0 || sizeLow > kMaxImageFileSize) {
        logMessage(kLogError, "WriteEntries: <%s> is larger than any image\n", path.c_str());
        return E_NO_MEMORY;
    }
    data.assign(sizeLow ? sizeLow : 1, 0);
    if (!platform::readWholeFile(path.c_str(), data.data(), sizeLow, lastError)) {
        logMessage(kLogError, "error reading file <%s>\n", path.c_str());
        return E_EREAD;
    }
    data.resize(sizeLow);
    return 0;
}

// Blocks of a plain file's chain: an empty file still takes one block (its
// link says it holds no byte), as a drive writes it.
std::int32_t chainBlocks(std::size_t size) {
    return size == 0 ? 1 : static_cast<std::int32_t>((size + kDataBytesPerBlock - 1) / kDataBytesPerBlock);
}

bool isLocked(const std::uint8_t* entry) {
    return (entry[kDirEntryType] & kTypeLocked) || (entry[kDirEntryType] & kFileTypeMask) == kFileTypePartition;
}

bool isRel(std::uint8_t fileType) { return (fileType & kFileTypeMask) == (kTypeRel & kFileTypeMask); }

// The entry a key names, if it still holds the name and type the key says;
// found: how it was listed (its volume, whether it is a folder).
std::uint8_t* entryOfKey(ImageInfo& info, const std::string& key, const ListedEntry** found = nullptr) {
    std::uint32_t offset = 0;
    std::uint8_t fileType = 0;
    std::uint8_t name[kCbmNameLength];
    if (!parseEntryKey(key.c_str(), offset, fileType, name)) return nullptr;
    for (const ListedEntry& listed : info.listed) {
        if (listed.entryOffset != offset) continue;
        if (found) *found = &listed;
        std::uint8_t* entry = info.imageData.get() + offset;
        if (entry[kDirEntryType] != fileType || entry[kDirEntryType] == kTypeScratched ||
            std::memcmp(entry + kDirFileName, name, kCbmNameLength) != 0)
            return nullptr;
        return entry;
    }
    return nullptr;
}

std::string keyOf(const ImageInfo& info, const std::uint8_t* entry) {
    EntryFacts facts;
    facts.offset = static_cast<std::uint32_t>(entry - info.imageData.get());
    facts.fileType = entry[kDirEntryType];
    std::memcpy(facts.name, entry + kDirFileName, kCbmNameLength);
    return entryKey(facts);
}

// Another file of this name and type (lock and closed bits aside): the
// drive would find only the first of the two.
std::uint8_t* otherFileNamed(const ImageInfo& info, const std::uint8_t* self, const std::uint8_t* name,
                             std::uint8_t fileType) {
    BlockSet visits = directoryVisits(info);
    for (std::uint8_t t = info.dirTrack, s = info.dirSector; t != 0;) {
        std::uint8_t* block = blockBytes(info, t, s);
        if (!block || !visits.insert(info, t, s)) break;
        for (int i = 0; i < kEntriesPerBlock; ++i) {
            std::uint8_t* entry = block + i * kDirEntrySize;
            if (entry == self || entry[kDirEntryType] == kTypeScratched) continue;
            if ((entry[kDirEntryType] & kFileTypeMask) == (fileType & kFileTypeMask) &&
                std::memcmp(entry + kDirFileName, name, kCbmNameLength) == 0)
                return entry;
        }
        t = block[kDirLinkTrack];
        s = block[kDirLinkSector];
    }
    return nullptr;
}

int releaseEntry(ImageInfo& info, std::uint8_t* entry) {
    BlockClaims claims;
    collectBlockClaims(info, claims);
    return deleteDirEntry(info, entry, claims);
}

// Whether the blocks fit what the allocator can hand out.
bool roomFor(const ImageInfo& info, std::int32_t blocks) {
    std::int32_t free = getAllocatableBlocks(info, false);
    if (newImageSettings().useDirTrack) free += getAllocatableBlocks(info, true);
    if (blocks <= free) return true;
    logMessage(kLogError, "error not enough space <%d>\n", blocks);
    return false;
}

// Writes data into a cleared entry as a plain file (or, with a Convert
// layout, as the GEOS file it holds; with a record length, as a REL file)
// under this name and type.
int writeEntryData(ImageInfo& info, std::uint8_t* entry, const std::uint8_t* name, std::uint8_t fileType,
                   const std::vector<std::uint8_t>& data, bool asConvert, std::uint8_t recordLength = 0) {
    const auto size = static_cast<std::uint32_t>(data.size());
    if (recordLength) {
        const std::int32_t blocks = relFileBlocks(size, recordLength, usesSuperSideSector(info));
        if (blocks < 0) {
            logMessage(kLogError, "WriteEntries: %u bytes of records of %d: more than side sectors can list here\n",
                       size, recordLength);
            return E_NO_MEMORY;
        }
        if (!roomFor(info, blocks)) return E_NO_MEMORY;
        if (int rc = writeRelFile(info, entry, recordLength, data.data(), size)) return rc;
    } else if (asConvert) {
        ConvertLayout layout;
        if (!readConvertLayout(data.data(), size, size, layout)) {
            logMessage(kLogError, "WriteEntries: not a whole Convert file\n");
            return E_BAD_DATA;
        }
        if (int rc = writeGeosFile(info, entry, data.data(), size, layout)) return rc;
    } else {
        const std::int32_t blocks = chainBlocks(size);
        if (!roomFor(info, blocks)) return E_NO_MEMORY;
        entry[kDirBlockCount] = static_cast<std::uint8_t>(blocks & 0xFF);
        entry[kDirBlockCount + 1] = static_cast<std::uint8_t>((blocks >> 8) & 0xFF);
        ChainCursor cursor;
        if (int rc = writeChain(info, entry + kDirStartTrack, data.data(), size, blocks, cursor)) return rc;
    }
    entry[kDirEntryType] = fileType;
    std::memcpy(entry + kDirFileName, name, kCbmNameLength);
    return 0;
}

// store KEY SOURCE: the file's new content, in its own entry, under its
// exact name and type; a file left unclosed is closed by being written.
int storeEntry(ImageInfo& info, std::uint8_t* entry, const std::string& source, std::string& key) {
    if (isLocked(entry)) {
        logMessage(kLogError, "WriteEntries: <%s> is locked -> not written\n",
                   entryNameText(entry, info.imageType).c_str());
        return E_NOT_SUPPORTED;
    }
    if (isRel(entry[kDirEntryType])) {
        logMessage(kLogError, "WriteEntries: <%s> is a REL file: its records cannot be written so\n",
                   entryNameText(entry, info.imageType).c_str());
        return E_NOT_SUPPORTED;
    }
    std::vector<std::uint8_t> data;
    if (int rc = readSource(source, data)) return rc;
    const bool asConvert = isListedAsConvert(entry) && [&] {
        ConvertLayout layout;
        return readConvertLayout(data.data(), static_cast<std::uint32_t>(data.size()),
                                 static_cast<std::uint32_t>(data.size()), layout);
    }();
    std::uint8_t name[kCbmNameLength];
    std::memcpy(name, entry + kDirFileName, kCbmNameLength);
    // A GEOS file that gets other bytes than a Convert file becomes a plain file.
    const std::uint8_t fileType = static_cast<std::uint8_t>(entry[kDirEntryType] | kTypeClosed);
    std::uint8_t kept[kDirBlockCount - kDirSideSectorTrack];
    std::memcpy(kept, entry + kDirSideSectorTrack, sizeof kept);
    const bool plainBefore = !isGeosEntry(entry);
    if (int rc = releaseEntry(info, entry)) return rc;
    // The bytes a plain file's entry keeps beyond its chain (dates some DOSes write).
    if (plainBefore && !asConvert) std::memcpy(entry + kDirSideSectorTrack, kept, sizeof kept);
    if (int rc = writeEntryData(info, entry, name, fileType, data, asConvert)) return rc;
    key = keyOf(info, entry);
    return 0;
}

// The record length of a REL file's "rel=N" option (1 to 254); 0 when the
// option is not that.
std::uint8_t recordLengthOption(const std::string& option) {
    if (option.size() < 5 || option.size() > 7 || option.compare(0, 4, "rel=") != 0) return 0;
    int n = 0;
    for (std::size_t i = 4; i < option.size(); ++i) {
        if (option[i] < '0' || option[i] > '9') return 0;
        n = n * 10 + (option[i] - '0');
    }
    return n >= 1 && n <= 254 ? static_cast<std::uint8_t>(n) : 0;
}

// exact TYPE NAMEHEX SOURCE [OPTIONS]: a new file of exactly this name and
// type byte (lock and closed bits as given); "cvt" takes the source as the
// Convert file of a GEOS file, a REL file takes "rel=N", its record length,
// and the source as its records.
int exactEntry(ImageInfo& info, const std::vector<std::string>& f, const std::string& srcPath, std::string& key) {
    std::uint8_t fileType = 0;
    std::uint8_t name[kCbmNameLength];
    if (f.size() < 4 || f[1].size() != 2 || f[2].size() != 2 * kCbmNameLength || !readHexBytes(f[1].c_str(), 1, &fileType) ||
        !readHexBytes(f[2].c_str(), kCbmNameLength, name) || (fileType & kFileTypeMask) > (kTypeRel & kFileTypeMask) ||
        fileType == kTypeScratched) {
        logMessage(kLogError, "WriteEntries: bad exact line\n");
        return E_NOT_SUPPORTED;
    }
    const bool asConvert = f.size() > 4 && f[4] == "cvt";
    if (name[0] == kDiskNamePad) {
        logMessage(kLogError, "WriteEntries: an empty CBM name -> nothing added\n");
        return E_ECREATE;
    }
    const bool relOption = f.size() > 4 && f[4].compare(0, 4, "rel=") == 0;
    const std::uint8_t recordLength = relOption ? recordLengthOption(f[4]) : 0;
    if (isRel(fileType) ? recordLength == 0 : relOption) {
        logMessage(kLogError, "WriteEntries: a REL file takes rel=N (N from 1 to 254), no other file does -> nothing added\n");
        return E_NOT_SUPPORTED;
    }
    if (otherFileNamed(info, nullptr, name, fileType)) {
        logMessage(kLogError, "WriteEntries: a file \"%s\" of that type is there already -> nothing added\n",
                   cbmText(name, kCbmNameLength, info.imageType).c_str());
        return E_ECREATE;
    }
    std::vector<std::uint8_t> data;
    if (int rc = readSource(srcPath + f[3], data)) return rc;
    std::uint8_t* entry = getFreeDirEntry(info);
    if (!entry) {
        logMessage(kLogError, "error: no free dir entry\n");
        return E_TOO_MANY_FILES;
    }
    std::memset(entry + kDirEntryType, 0, kDirEntrySize - kDirEntryType);
    if (int rc = writeEntryData(info, entry, name, fileType, data, asConvert, recordLength)) return rc;
    if (asConvert) entry[kDirEntryType] = fileType;
    key = keyOf(info, entry);
    return 0;
}

// rename KEY HOSTNAME [REPLACED KEY]: the entry gets the name (and type, by
// a type extension) that packing makes of the host name. As rename(2): the
// file that already has the resulting name and type goes, and so does the
// file the caller shows under the new name.
int renameEntry(ImageInfo& top, ImageInfo& info, std::uint8_t* entry, const std::vector<std::string>& f,
                std::string& key) {
    if (isLocked(entry)) {
        logMessage(kLogError, "RenameFile: <%s> is locked -> not renamed\n", entryNameText(entry, info.imageType).c_str());
        return E_NOT_SUPPORTED;
    }
    std::uint8_t name[kCbmNameLength];
    std::uint8_t newType = 0;
    // A folder keeps its type; its whole host name is its name.
    const bool folder = isDirectoryEntry(info, entry);
    if (folder) {
        std::string mapped = f[2];
        mapped.resize(hostToPetscii(reinterpret_cast<std::uint8_t*>(mapped.data()), mapped.size()));
        std::memset(name, kDiskNamePad, sizeof name);
        std::memcpy(name, mapped.data(), mapped.size() < sizeof name ? mapped.size() : sizeof name);
        newType = entry[kDirEntryType];
    }
    if (folder ? name[0] == kDiskNamePad : !renamedCbmName(entry, f[2].c_str(), name, newType)) {
        logMessage(kLogError, "RenameFile: <%s> gives no CBM name -> not renamed\n", f[2].c_str());
        return E_ECREATE;
    }
    const ListedEntry* replaced = nullptr;
    std::uint8_t* goners[2] = {otherFileNamed(info, entry, name, newType),
                               f.size() > 3 && !f[3].empty() ? entryOfKey(top, f[3], &replaced) : nullptr};
    // Only a file of the same folder is replaced; a folder never is.
    if (goners[1] && (replaced->folder || replaced->raw || &volumeOf(top, *replaced) != &info)) goners[1] = nullptr;
    if (goners[0] && isDirectoryEntry(info, goners[0])) {
        logMessage(kLogError, "RenameFile: <%s> is a folder's name -> not renamed\n", f[2].c_str());
        return E_ECREATE;
    }
    if (goners[1] == entry) goners[1] = nullptr;
    if (goners[1] == goners[0]) goners[1] = nullptr;
    for (std::uint8_t* goner : goners) {
        if (!goner) continue;
        if (isLocked(goner)) {
            logMessage(kLogError, "RenameFile: <%s> is locked -> not replaced\n", f[2].c_str());
            return E_NOT_SUPPORTED;
        }
        if (int rc = releaseEntry(info, goner)) return rc;
    }
    std::memcpy(entry + kDirFileName, name, kCbmNameLength);
    entry[kDirEntryType] = newType;
    // A native directory's header carries its name too.
    if (isDirectoryEntry(info, entry))
        if (std::uint8_t* header = blockBytes(info, entry[kDirStartTrack], entry[kDirStartSector]))
            std::memcpy(header + formatLayout(kTypeDNP)->titleOffset, name, kCbmNameLength);
    key = keyOf(info, entry);
    return 0;
}

int applyLine(ImageInfo& info, const std::string& line, const std::string& srcPath, std::string& key) {
    const std::vector<std::string> f = splitFields(line);
    const std::string& op = f[0];
    if (op == "exact") return exactEntry(info, f, srcPath, key);
    if (op == "add") {
        if (f.size() != 2 || f[1].empty()) return E_NOT_SUPPORTED;
        std::uint8_t* stored = nullptr;
        if (int rc = packOneFile(info, srcPath.c_str(), f[1].c_str(), &stored)) return rc;
        key = stored ? keyOf(info, stored) : "";
        return 0;
    }
    if (op == "folder") {
        if (f.size() != 2 || f[1].empty()) return E_NOT_SUPPORTED;
        int rc = 0;
        const ImageInfo* made = makeFolderPath(info, f[1].c_str(), rc);
        if (!made) return rc;
        key = keyOf(info, info.imageData.get() + made->folderEntry);
        return 0;
    }
    if (op != "store" && op != "rename" && op != "delete") {
        logMessage(kLogError, "WriteEntries: unknown line <%s>\n", line.c_str());
        return E_NOT_SUPPORTED;
    }
    if (f.size() < (op == "delete" ? 2u : 3u)) return E_NOT_SUPPORTED;
    const ListedEntry* listed = nullptr;
    std::uint8_t* entry = entryOfKey(info, f[1], &listed);
    if (!entry) {
        logMessage(kLogWarning, "WriteEntries: no file has the key <%s> (the image changed?)\n", f[1].c_str());
        return E_NO_FILES;
    }
    ImageInfo& volume = volumeOf(info, *listed);
    // A partition of a CMD FD image is its table's, never a file's.
    if (listed->raw || (listed->folder && !isDirectoryEntry(volume, entry))) {
        logMessage(kLogError, "WriteEntries: <%s> is a partition -> not changed\n", listed->hostName.c_str());
        return E_NOT_SUPPORTED;
    }
    if (op == "store" && listed->folder) {
        logMessage(kLogError, "WriteEntries: <%s> is a folder -> not written\n", listed->hostName.c_str());
        return E_NOT_SUPPORTED;
    }
    if (op == "store") return storeEntry(volume, entry, srcPath + f[2], key);
    if (op == "rename") return renameEntry(info, volume, entry, f, key);
    if (isLocked(entry)) {
        logMessage(kLogError, "DeleteFiles: <%s> is locked -> nothing deleted\n", entryNameText(entry, info.imageType).c_str());
        return E_NOT_SUPPORTED;
    }
    key.clear();
    if (listed->folder) return deleteListedFolder(info, *listed);
    return releaseEntry(volume, entry);
}

}  // namespace

namespace {

int writeEntriesOnce(const char* packedFile, const char* srcPath, const char* lines, int flags, std::string& keys) {
    keys.clear();
    std::unique_ptr<ImageInfo> info;
    if (int rc = openImageForPacking(packedFile, (flags & kWriteEntriesCreate) != 0, info)) return rc;

    std::string all(lines ? lines : "");
    std::size_t from = 0;
    int number = 0;
    while (from < all.size()) {
        std::size_t end = all.find('\n', from);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(from, end - from);
        from = end + 1;
        ++number;
        if (line.empty()) continue;
        std::string key;
        if (int rc = applyLine(*info, line, srcPath ? srcPath : "", key)) {
            logMessage(kLogError, "WriteEntries: line %d failed (%d) -> nothing written\n", number, rc);
            return rc;
        }
        // The listing's names and offsets stay as they were read: keys of
        // this call keep naming the entries they named.
        keys += key + "\n";
    }
    if (int rc = writeImageFile(*info)) return rc;
    logMessage(kLogTrace, "WriteEntries: image written\n");
    return 0;
}

}  // namespace

int writeEntries(const char* packedFile, const char* srcPath, const char* lines, int flags, std::string& keys) {
    logMessage(kLogTrace, "WriteEntries: PackedFile=%s\n", packedFile);
    const NewImageCallScope settings;
    // A new image another program made meanwhile is written to as it is.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const int rc = writeEntriesOnce(packedFile, srcPath, lines, flags, keys);
        if (rc != kImageAppeared) return rc;
    }
    logMessage(kLogError, "WriteEntries: <%s> keeps being made by another program -> not written\n", packedFile);
    return E_EWRITE;
}

int renameFile(const char* packedFile, const char* oldName, const char* newName) {
    logMessage(kLogTrace, "RenameFile: PackedFile=%s\n", packedFile);
    if (!oldName || !newName || !*newName) return E_ECREATE;
    std::unique_ptr<ImageInfo> info;
    if (int rc = openImageForPacking(packedFile, false, info)) return rc;
    const ListedEntry* oldListed = nullptr;
    std::uint8_t* entry = findListedForDeleting(*info, oldName, &oldListed);
    if (!entry) {
        logMessage(kLogWarning, "RenameFile: <%s> not found in archive\n", oldName);
        return E_NO_FILES;
    }
    // As a file system's rename: the file listed under the new name goes.
    std::uint8_t* listedAsNew = findListedForDeleting(*info, newName);
    std::string key;
    const std::vector<std::string> f = {"rename", keyOf(*info, entry), newName,
                                        listedAsNew ? keyOf(*info, listedAsNew) : ""};
    ImageInfo& volume = oldListed ? volumeOf(*info, *oldListed) : *info;
    if (oldListed && (oldListed->raw || (oldListed->folder && !isDirectoryEntry(volume, entry)))) {
        logMessage(kLogError, "RenameFile: <%s> is a partition -> not renamed\n", oldName);
        return E_NOT_SUPPORTED;
    }
    if (int rc = renameEntry(*info, volume, entry, f, key)) return rc;
    if (int rc = writeImageFile(*info)) return rc;
    logMessage(kLogTrace, "RenameFile: <%s> is now <%s>\n", oldName, newName);
    return 0;
}
