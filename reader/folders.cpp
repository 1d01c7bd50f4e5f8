// Folders: a CMD FD image's partitions, a native partition's subdirectories
// and a 1581 disk's sub-disks. Each is a view of the opened image's bytes,
// an ImageInfo like any disk's (its own geometry, header, BAM and directory
// positions, its bytes from bodyOffset), so that everything reader/ and
// writer/ do to a disk they do inside a folder unchanged.
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"

namespace {

// In a native directory header: where the directory's entry lies in its
// parent (the DOS goes up one level and counts the entry's blocks so).
constexpr int kNativeParentHeader = 0x22;
constexpr int kNativeParentEntryBlock = 0x24;
constexpr int kNativeParentEntryOffset = 0x26;

// A 1581 partition is a sub-disk only in whole tracks, three at least, off
// the directory track 40 (VICE refuses any other).
constexpr int kSubDiskTrackBlocks = 40;
constexpr int kSubDiskMinimumTracks = 3;
constexpr std::uint8_t kD81DirectoryTrack = 40;
constexpr int kD81HeaderDosMark = 2;   // 'D'
constexpr int kD81HeaderDosType = 0x19;  // "3D"

std::uint32_t readMsbFirst3(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
}

// The partition types of a CMD FD image: 1 native, 2-4 the 1541, 1571 and
// 1581 disks they emulate; the rest are opaque to CBM DOS.
struct PartitionKind {
    std::uint8_t type;
    std::int32_t imageType;  // kTypeNone: one plain file of the partition's bytes
    std::uint8_t tracks;     // of an emulated disk (its fillers aside)
    const char* extension;   // of a plain file
};
constexpr PartitionKind kPartitionKinds[] = {
    {1, kTypeDNP, 0, ""},  {2, kTypeD64, 35, ""},     {3, kTypeD71, 70, ""},     {4, kTypeD81, 80, ""},
    {5, kTypeNone, 0, ".cpm"}, {6, kTypeNone, 0, ".prn"}, {7, kTypeNone, 0, ".bin"},
};
const PartitionKind* partitionKind(std::uint8_t type) {
    for (const PartitionKind& kind : kPartitionKinds)
        if (kind.type == type) return &kind;
    return nullptr;
}

// The volume fields of another view of the same bytes.
std::unique_ptr<ImageInfo> copyVolume(const ImageInfo& from) {
    std::unique_ptr<ImageInfo> view = newImageInfo();
    if (!view) return nullptr;
    view->imageName = borrowedBuffer<char[]>(from.imageName.get());
    view->imageData = borrowedBuffer<std::uint8_t[]>(from.imageData.get());
    view->imageType = from.imageType;
    view->fortyTrackType = from.fortyTrackType;
    view->imageSize = from.imageSize;
    view->bodyOffset = from.bodyOffset;
    view->trackCount = from.trackCount;
    view->dirTrack = from.dirTrack;
    view->dirSector = from.dirSector;
    view->bamTrack2 = from.bamTrack2;
    view->headerTrack = from.headerTrack;
    view->headerSector = from.headerSector;
    view->bamTrack = from.bamTrack;
    std::memcpy(view->bamSector, from.bamSector, sizeof view->bamSector);
    view->bamBlockCount = from.bamBlockCount;
    view->bamRun = from.bamRun;
    view->systemTrack = from.systemTrack;
    view->areaFirstTrack = from.areaFirstTrack;
    view->areaLastTrack = from.areaLastTrack;
    std::memcpy(view->bamFirstTrack, from.bamFirstTrack, sizeof view->bamFirstTrack);
    std::memcpy(view->bamEndTrack, from.bamEndTrack, sizeof view->bamEndTrack);
    view->geometry = from.geometry;
    view->hasErrorInfo = from.hasErrorInfo;
    view->errorInfo = from.errorInfo;
    view->restartListing = 1;
    return view;
}

// Where a block lies in the opened image's bytes, in blocks: folders are
// told apart by it (a folder that holds itself is entered once).
int globalBlock(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    const int index = getBlockIndex(info, track, sector);
    return index < 0 ? -1 : static_cast<int>(info.bodyOffset / kBlockSize) + index;
}

}  // namespace

std::unique_ptr<ImageInfo> partitionVolume(const ImageInfo& top, const ArchivedFile& partition) {
    const PartitionKind* kind = partitionKind(partition.fileType);
    if (!kind || kind->imageType == kTypeNone) return nullptr;
    std::unique_ptr<ImageInfo> view = newImageInfo();
    if (!view) return nullptr;
    view->imageName = borrowedBuffer<char[]>(top.imageName.get());
    view->imageData = borrowedBuffer<std::uint8_t[]>(top.imageData.get());
    view->imageType = kind->imageType;
    view->bodyOffset = top.bodyOffset + static_cast<std::uint32_t>(partition.offset);
    // Its blocks end where the partition does.
    view->imageSize = static_cast<std::int32_t>(view->bodyOffset + partition.length);
    setDiskInitValues(*view);
    const FormatLayout* layout = formatLayout(kind->imageType);
    view->trackCount = kind->tracks;
    if (kind->imageType == kTypeDNP)
        view->trackCount = static_cast<std::uint8_t>(
            nativeTrackCount(top.imageData.get() + view->bodyOffset, partition.length));
    if (view->trackCount == 0 || !layout) return nullptr;
    if (top.hasErrorInfo && top.errorInfo) {
        view->hasErrorInfo = 1;
        view->errorInfo = top.errorInfo + partition.offset / kBlockSize;
    }
    view->restartListing = 1;
    return view;
}

namespace {

std::unique_ptr<ImageInfo> subdirectoryVolume(const ImageInfo& parent, const std::uint8_t* entry) {
    const std::uint8_t* header = blockBytes(parent, entry[kDirStartTrack], entry[kDirStartSector]);
    if (!header || header[2] != kNativeHeaderMark) return nullptr;
    std::unique_ptr<ImageInfo> view = copyVolume(parent);
    if (!view) return nullptr;
    view->headerTrack = entry[kDirStartTrack];
    view->headerSector = entry[kDirStartSector];
    view->dirTrack = header[kDirLinkTrack];
    view->dirSector = header[kDirLinkSector];
    return view;
}

std::unique_ptr<ImageInfo> subDiskVolume(const ImageInfo& parent, const std::uint8_t* entry) {
    std::unique_ptr<ImageInfo> view = copyVolume(parent);
    if (!view) return nullptr;
    const std::uint8_t first = entry[kDirStartTrack];
    const int blocks = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
    // Laid out as a whole 1581 disk's header, BAM and directory are, on its
    // first track; its BAM uses the disk's track numbers.
    view->headerTrack = view->bamTrack = view->dirTrack = view->systemTrack = first;
    view->headerSector = 0;
    view->bamSector[0] = 1;
    view->bamSector[1] = 2;
    view->bamBlockCount = 2;
    view->dirSector = 3;
    view->areaFirstTrack = first;
    view->areaLastTrack = static_cast<std::uint8_t>(first + blocks / kSubDiskTrackBlocks - 1);
    return view;
}

}  // namespace

bool isFdImage(const ImageInfo& info) { return fdLayout(info.imageType) != nullptr; }

bool isNativeVolume(const ImageInfo& info) { return info.imageType == kTypeDNP; }

bool isDirectoryEntry(const ImageInfo& info, const std::uint8_t* entry) {
    const std::uint8_t type = entry[kDirEntryType];
    return isNativeVolume(info) && (type & 0x80) && (type & kFileTypeMask) == kFileTypeDirectory;
}

bool isSubDiskEntry(const ImageInfo& info, const std::uint8_t* entry) {
    const std::uint8_t type = entry[kDirEntryType];
    if (info.imageType != kTypeD81 || !(type & 0x80) || (type & kFileTypeMask) != kFileTypePartition) return false;
    const int first = entry[kDirStartTrack];
    const int blocks = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
    const int tracks = blocks / kSubDiskTrackBlocks;
    const int last = first + tracks - 1;
    if (entry[kDirStartSector] != 0 || blocks % kSubDiskTrackBlocks != 0 || tracks < kSubDiskMinimumTracks ||
        first < 1 || last > info.trackCount || (first <= kD81DirectoryTrack && last >= kD81DirectoryTrack))
        return false;
    // Inside a sub-disk, only within its area (and never its own header track).
    if (info.areaFirstTrack != 0 &&
        (first <= info.areaFirstTrack || last > info.areaLastTrack))
        return false;
    // Formatted: its first block reads as a 1581 header.
    const std::uint8_t* header = blockBytes(info, static_cast<std::uint8_t>(first), 0);
    return header && header[kD81HeaderDosMark] == 'D' && header[kD81HeaderDosType] == '3' &&
           header[kD81HeaderDosType + 1] == 'D';
}

bool isFolderEntry(const ImageInfo& info, const std::uint8_t* entry) {
    return isDirectoryEntry(info, entry) || isSubDiskEntry(info, entry);
}

int readFdPartitions(ImageInfo& info) {
    info.archived.clear();
    info.archivedNext = 0;
    info.archivedEnd = E_END_ARCHIVE;
    const FdLayout* fd = fdLayout(info.imageType);
    if (!fd || info.imageSize < 0) return E_UNKNOWN_FORMAT;
    const std::uint64_t body = static_cast<std::uint64_t>(info.imageSize) - info.bodyOffset;
    const std::uint8_t* data = info.imageData.get() + info.bodyOffset;
    const std::uint64_t system = fd->systemBlock * static_cast<std::uint64_t>(kBlockSize);
    if (body < fd->blocks * static_cast<std::uint64_t>(kBlockSize)) return E_UNKNOWN_FORMAT;
    if (std::memcmp(data + system + kFdDeviceBlock * kBlockSize + kFdSignatureOffset, kFdSignature,
                    sizeof kFdSignature - 1) != 0) {
        logMessage(kLogWarning, "CMD FD image without its signature: no partitions\n");
        return 0;
    }
    for (int k = 1; k < kFdPartitions; ++k) {
        const std::uint8_t* entry =
            data + system + (kFdPartitionBlock + k / kEntriesPerBlock) * kBlockSize + (k % kEntriesPerBlock) * kDirEntrySize;
        const std::uint8_t type = entry[kFdPartitionType];
        if (type == 0) continue;
        ArchivedFile partition {};
        std::memcpy(partition.name, entry + kFdPartitionName, kCbmNameLength);
        partition.fileType = type;
        partition.offset = readMsbFirst3(entry + kFdPartitionStart) * static_cast<std::uint64_t>(kFdUnit);
        partition.length = readMsbFirst3(entry + kFdPartitionSize) * static_cast<std::uint64_t>(kFdUnit);
        partition.recordLength = static_cast<std::uint8_t>(k);  // its number
        // Only bytes of the image's data area are a partition's.
        if (partition.offset > system) partition.offset = system;
        if (partition.length > system - partition.offset) {
            logMessage(kLogWarning, "CMD FD partition %d runs past the data area: cut there\n", k);
            partition.length = system - partition.offset;
        }
        partition.blocks = static_cast<std::uint32_t>(partition.length / kBlockSize);
        info.archived.push_back(partition);
    }
    return 0;
}

std::uint8_t fdDefaultPartition(const ImageInfo& info) {
    const FdLayout* fd = fdLayout(info.imageType);
    // An image too short for its system partition has no default partition.
    if (!fd || info.imageSize < 0 || static_cast<std::uint64_t>(info.imageSize) < info.bodyOffset ||
        static_cast<std::uint64_t>(info.imageSize) - info.bodyOffset < fd->blocks * static_cast<std::uint64_t>(kBlockSize))
        return 0;
    const std::uint8_t* device =
        info.imageData.get() + info.bodyOffset + (fd->systemBlock + kFdDeviceBlock) * static_cast<std::size_t>(kBlockSize);
    return device[kFdDefaultPartition];
}

int readFdHeader(ImageInfo& info, ListedFile& file) {
    std::memset(&file, 0, sizeof file);
    info.lastReported = -1;
    if (info.restartListing) {
        info.restartListing = 0;
        info.archivedNext = 0;
    }
    if (info.archivedNext >= info.archived.size()) return E_END_ARCHIVE;
    const std::uint32_t index = info.archivedNext++;
    const ArchivedFile& partition = info.archived[index];
    std::uint8_t name[kCbmNameLength + 1] = {};
    std::memcpy(name, partition.name, kCbmNameLength);
    trimNamePad(name, kCbmNameLength, info.imageType);
    convert(name, kCbmNameLength);
    const PartitionKind* kind = partitionKind(partition.fileType);
    const bool folder = kind && kind->imageType != kTypeNone;
    file.packSize = static_cast<std::int32_t>(partition.blocks);
    file.unpSize = folder ? 0 : static_cast<std::int32_t>(partition.length);
    file.folder = folder;
    const std::uint32_t entryOffset = static_cast<std::uint32_t>(
        info.bodyOffset + fdLayout(info.imageType)->systemBlock * kBlockSize +
        (kFdPartitionBlock + partition.recordLength / kEntriesPerBlock) * kBlockSize +
        (partition.recordLength % kEntriesPerBlock) * kDirEntrySize);
    reportListed(info, file, index, entryOffset,
                 uniqueListedName(info, name, std::string(folder ? "" : kind ? kind->extension : ".bin")));
    info.listed.back().asPC64 = false;
    info.listed.back().folder = folder;
    info.listed.back().raw = !folder;
    return 0;
}

std::unique_ptr<ImageInfo> openFolderView(const ImageInfo& top, const ImageInfo& parent, const ListedEntry& listed) {
    if (isFdImage(parent)) {
        if (listed.record >= parent.archived.size()) return nullptr;
        return partitionVolume(top, parent.archived[listed.record]);
    }
    if (static_cast<std::uint64_t>(listed.entryOffset) + kDirEntrySize > static_cast<std::uint64_t>(top.imageSize))
        return nullptr;
    const std::uint8_t* entry = top.imageData.get() + listed.entryOffset;
    if (isDirectoryEntry(parent, entry)) return subdirectoryVolume(parent, entry);
    if (isSubDiskEntry(parent, entry)) return subDiskVolume(parent, entry);
    return nullptr;
}

int folderFirstBlock(const ImageInfo& view) {
    if (view.parentFolder && isFdImage(*view.parentFolder)) return -1;
    return globalBlock(view, view.headerTrack, view.headerSector);
}

ImageInfo& volumeOf(ImageInfo& top, const ListedEntry& listed) {
    if (listed.volume == 0 || listed.volume > top.folders.size()) return top;
    return *top.folders[listed.volume - 1];
}

const ImageInfo& volumeOf(const ImageInfo& top, const ListedEntry& listed) {
    if (listed.volume == 0 || listed.volume > top.folders.size()) return top;
    return *top.folders[listed.volume - 1];
}

ImageInfo& bamVolume(ImageInfo& view) {
    ImageInfo* at = &view;
    // A native subdirectory shares its partition's BAM.
    while (at->parentFolder && isNativeVolume(*at) && isNativeVolume(*at->parentFolder) &&
           at->parentFolder->bodyOffset == at->bodyOffset)
        at = at->parentFolder;
    return *at;
}

bool nativeParentPointers(const ImageInfo& parent, std::uint8_t* header, const std::uint8_t* entry) {
    if (!isNativeVolume(parent)) return false;
    const auto offset = static_cast<std::uint64_t>(entry - parent.imageData.get());
    if (offset < parent.bodyOffset) return false;
    // Tracks of 256 blocks: the block of the entry follows from its offset.
    const std::uint64_t block = (offset - parent.bodyOffset) / kBlockSize;
    if (block >= static_cast<std::uint64_t>(parent.trackCount) * 256) return false;
    header[kNativeParentHeader] = parent.headerTrack;
    header[kNativeParentHeader + 1] = parent.headerSector;
    header[kNativeParentEntryBlock] = static_cast<std::uint8_t>(block / 256 + 1);
    header[kNativeParentEntryBlock + 1] = static_cast<std::uint8_t>(block % 256);
    header[kNativeParentEntryOffset] = static_cast<std::uint8_t>((offset - parent.bodyOffset) % kBlockSize + kDirEntryType);
    return true;
}
