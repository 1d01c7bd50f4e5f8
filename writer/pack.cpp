// Adding files (PackFiles): the image is loaded, or built new, in memory; the
// room for every listed file is checked before any is added; and the image
// file is replaced only once all of them are in.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
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
constexpr std::int32_t kManyBlocks = 0x7FFFFFFF;

// Blocks for a file of the given size; sizes of 4 GiB and more count as more
// than any image holds instead of being cut to their low 32 bits. An empty
// file takes one block holding no byte (link 00 01), as a drive writes it: an
// entry without a block would start at track 0, which no drive can read.
std::int32_t blocksForSize(std::uint32_t sizeLow, std::uint32_t sizeHigh) {
    if (sizeHigh != 0) return kManyBlocks;
    if (sizeLow == 0) return 1;
    return static_cast<std::int32_t>(sizeLow / kDataBytesPerBlock + (sizeLow % kDataBytesPerBlock != 0 ? 1 : 0));
}

// SrcPath followed directly by the list name (SrcPath ends with its
// separator). False when the result does not fit the platform's path limit.
bool buildSourcePath(const char* srcPath, const char* name, std::string& path) {
    path.assign(srcPath);
    path.append(name);
    return path.size() < platform::kMaxPath;
}

const char* nextName(const char* name) { return name + std::strlen(name) + 1; }

// Looks a source file up; false when it is missing, not a plain file or its
// path too long.
bool findSourceFile(const std::string& path, bool fits, std::int32_t& blocks, std::uint32_t* size = nullptr) {
    std::uint32_t sizeLow = 0, sizeHigh = 0;
    int lastError = 0;
    if (!fits || !platform::findFile(path.c_str(), sizeLow, sizeHigh, lastError)) return false;
    blocks = blocksForSize(sizeLow, sizeHigh);
    if (size) *size = sizeLow;
    return true;
}

// Every listed name must give a CBM name: "x/.prg" or ".seq" would be stored
// under an empty name that no listing shows.
int checkNames(const char* addList) {
    for (const char* name = addList; *name; name = nextName(name)) {
        CbmName cbm {};
        splitHostNameForAdding(name, cbm);
        if (cbm.name[0] == kDiskNamePad) {
            logMessage(kLogError, "PackFiles: <%s> gives an empty CBM name -> nothing added\n", name);
            return E_ECREATE;
        }
    }
    return 0;
}

// The image's own structures say which blocks are in use; a block among them
// that the BAM calls free is marked used before anything is allocated, so no
// file, directory or BAM block is ever handed out again.
void protectUsedBlocks(ImageInfo& info, const BlockClaims& claims) {
    for (int t = 1; t <= info.trackCount; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        for (int s = 0; s < getTrackSectorCount(info, track); ++s) {
            const auto sector = static_cast<std::uint8_t>(s);
            if (blockClaims(info, claims, track, sector) == 0 || !IsSectorFree(info, track, sector)) continue;
            logMessage(kLogWarning, "BAM marks used block %d:%d free\n", t, s);
            markSectorUsed(info, track, sector);
        }
    }
}

// Loads the existing image or builds a new one, and checks that it may be
// written. 0 or the call's result code.
int prepareImage(ImageInfo& info, bool mayCreate = true) {
    const char* path = info.imageName.get();
    bool missing = false;
    if (int rc = readImageFile(info, &missing, true)) return rc;
    const bool existing = !missing;
    if (!existing && !mayCreate) {
        logMessage(kLogError, "PackFiles: <%s> is gone -> nothing written\n", path);
        return E_EOPEN;
    }
    if (!existing) {
        logMessage(kLogTrace, "create new pack file <%s>\n", path);
        allocDiskImage(info);
        if (info.imageSize == 0 || !info.imageData) {
            logMessage(kLogError, "PackFiles: size 0 after allocDiskImage -> aborting (disktype %d)\n",
                       info.imageType);
            return E_NOT_SUPPORTED;
        }
    }
    if (!fdLayout(info.imageType)) setDiskInitValues(info);
    // Every block address comes from the geometry, so an image shorter than
    // its format would be worked on beyond its end.
    if (!checkImageSize(info)) {
        logMessage(kLogError, "unknown disk type\n");
        return E_UNKNOWN_FORMAT;
    }
    if (!existing) initDiskImage(info);
    // A CMD FD image's volumes are its partitions.
    if (fdLayout(info.imageType)) return readFdPartitions(info);
    readStatedBamTracks(info);
    if (info.imageType == kTypeD64 && info.trackCount > kStandardD64Tracks && checkD64Valid40Track(info) == 0) {
        logMessage(kLogWarning, "PackFiles: unknown D64 %d track format -> read only\n", info.trackCount);
        return E_NOT_SUPPORTED;
    }
    return 0;
}

struct Source;
std::int32_t totalBlocks(const std::vector<Source>& sources, const ImageInfo* bam, bool superSideSector);
bool relSourcesHaveRecords(const std::vector<Source>& sources);

// The room for the whole list, before anything is added: on every BAM a
// file goes to, its blocks and the directory blocks its new entries need.
int checkCapacity(const std::vector<Source>& sources);

// Every write to the header, the BAM or the directory must leave the files
// as they are: a directory whose chain runs into a file's blocks (a bent
// link) would take the new entries there. Such an image is not added to.
int refuseSharedSystemBlock(const ImageInfo& top, const ImageInfo& info) {
    SharedBlock shared;
    if (!findSharedSystemBlock(info, shared)) return 0;
    std::string owner;
    if (shared.entry) {
        owner = cbmText(shared.entry + kDirFileName, kCbmNameLength, info.imageType);
        const auto offset = static_cast<std::uint32_t>(shared.entry - info.imageData.get());
        for (const ListedEntry& listed : top.listed)
            if (listed.entryOffset == offset) owner = listed.hostName;
    }
    logMessage(kLogError, "PackFiles: block %d:%d of the %s is also used by <%s> -> nothing added\n", shared.track,
               shared.sector, shared.inDirectory ? "directory" : "header or BAM", owner.c_str());
    return E_BAD_DATA;
}

// The image as every adding call starts from: read or made new, listed (the
// names as the host saw them, for the files it overwrites), refused when
// its directory runs into a file, and the blocks in use that the BAM calls
// free marked used.
int loadForPacking(ImageInfo& info, bool mayCreate) {
    if (int rc = prepareImage(info, mayCreate)) return rc;
    info.restartListing = 1;
    ListedFile listed;
    while (readDiskHeader(info, listed) == 0) {
    }
    info.lastReported = -1;
    return isFdImage(info) ? 0 : prepareForWriting(info, info);
}

int failNoBlocks() {
    logMessage(kLogError, "error: no free blocks\n");
    return E_NO_MEMORY;
}

}  // namespace

int prepareForWriting(ImageInfo& top, ImageInfo& view) {
    ImageInfo& bam = bamVolume(view);
    if (bam.writePrepared) return 0;
    if (int rc = refuseSharedSystemBlock(top, bam)) return rc;
    BlockClaims claims;
    collectBlockClaims(bam, claims);
    protectUsedBlocks(bam, claims);
    bam.writePrepared = true;
    return 0;
}

int writeChain(ImageInfo& info, std::uint8_t* link, const std::uint8_t* data, std::uint32_t size,
               std::int32_t blocks, ChainCursor& cursor) {
    const std::uint8_t interleave = getInterleave(info, kPurposeFiles);
    const int limit = info.trackCount + 1;
    auto* choose = newImageSettings().writeFromTrack1 ? GetCopyBlockT1 : GetCopyBlock;
    std::uint8_t& prevTrack = cursor.track;
    std::uint8_t& prevSector = cursor.sector;
    std::uint8_t* prevBlock = nullptr;
    std::uint32_t done = 0, lastPart = 0;
    for (std::int32_t i = 0; i < blocks; ++i) {
        std::uint8_t track = 0, sector = 0;
        if (!choose(info, 1, limit, limit, info.systemTrack, info.bamTrack2, interleave, prevTrack, prevSector, &track,
                    &sector))
            return failNoBlocks();
        // A block flagged bad by its error byte cannot be marked either, so
        // the allocator would offer it again: end here rather than loop.
        std::uint8_t* block = nullptr;
        if (GetDiskSectorAddr(info, track, sector, &block) != 0) return failNoBlocks();
        logMessage(kLogTrace, "writing sector %d:%d\n", track, sector);
        if (i == 0) {
            link[0] = track;
            link[1] = sector;
        } else {
            prevBlock[kDirLinkTrack] = track;
            prevBlock[kDirLinkSector] = sector;
        }
        std::memset(block, 0, kBlockSize);
        lastPart = size - done < kDataBytesPerBlock ? size - done : kDataBytesPerBlock;
        std::memcpy(block + 2, data + done, lastPart);
        done += lastPart;
        logMessage(kLogTrace, "marking sector %d:%d\n", track, sector);
        markSectorUsed(info, track, sector);
        // A block the BAM did not take would be chosen again and link the
        // chain to itself.
        if (IsSectorFree(info, track, sector)) return failNoBlocks();
        prevTrack = track;
        prevSector = sector;
        prevBlock = block;
    }
    if (prevBlock) {
        prevBlock[kDirLinkTrack] = 0;
        prevBlock[kDirLinkSector] = static_cast<std::uint8_t>(lastPart + 1);
    }
    return 0;
}

namespace {

// A source as it was when the call began: its path and size, and for a
// Convert file that goes in as a GEOS file its layout and the first bytes
// that gave it.
struct Source {
    std::string name;  // as the list gives it
    std::string path;
    // Where it goes: the directory (the image or a folder of it), its name
    // there (what no folder of the path took: the old rule folds a folder
    // part into the CBM name) and the path the listing would show it under.
    ImageInfo* volume = nullptr;
    std::string leaf;
    std::string listedPath;
    bool found = false;
    std::uint32_t size = 0;
    std::int32_t blocks = 0;  // of its size
    bool geos = false;
    ConvertLayout layout;
    std::uint8_t prefix[kConvertVlirDataOffset] = {};
    std::uint32_t prefixSize = 0;
    // The entry of the file it replaces, and that file's type and name.
    std::uint8_t* replaces = nullptr;
    std::uint8_t replacedType = 0;
    std::uint8_t replacedName[kCbmNameLength] = {};
    // A PC64 file goes in as the CBM file it holds: its exact name and type.
    bool pc64 = false;
    CbmName pc64Name {};
    // A .r00 goes in as a REL file of the record length its header carries.
    std::uint8_t recordLength = 0;
};

// Whether a ".cvt" source holds a Convert file: its first bytes and its
// size tell, so a large file is not read here. A file that cannot be read
// stays an ordinary one (adding it then reports the failure).
void readConvertSource(Source& source, const char* name, std::int32_t blocks) {
    source.geos = false;
    if (!source.found || blocks == kManyBlocks || !isConvertName(name) || source.size <= kConvertSeqDataOffset) return;
    source.prefixSize = source.size < kConvertVlirDataOffset ? source.size : kConvertVlirDataOffset;
    platform::InputFile file;
    int lastError = 0;
    if (!platform::openForRead(source.path.c_str(), file, lastError) ||
        !platform::readAll(file, source.prefix, source.prefixSize, lastError))
        return;
    source.geos = readConvertLayout(source.prefix, source.prefixSize, source.size, source.layout);
    if (source.geos) logMessage(kLogTrace, "PackFiles: <%s> goes in as a GEOS file\n", name);
}

// Whether a PC64 source (.p00, .s00, .u00, .d00, .r00, any number) holds a
// PC64 file: its header tells. It goes in under the exact name it carries and
// its type, a REL file with the record length of its header (never with the
// header inside the data).
void readPC64Source(Source& source, const char* name, std::int32_t blocks) {
    source.pc64 = false;
    const char* dot = std::strrchr(name, '.');
    const std::uint8_t type = dot ? pc64FileType(dot + 1) : 0;
    if (!source.found || blocks == kManyBlocks || source.geos || type == 0 || source.size < kPC64HeaderSize) return;
    platform::InputFile file;
    int lastError = 0;
    if (!platform::openForRead(source.path.c_str(), file, lastError) ||
        !platform::readAll(file, source.prefix, kPC64HeaderSize, lastError) ||
        !isPC64Header(source.prefix, source.size))
        return;
    cbmNameOfPC64(source.prefix, source.pc64Name.name);
    // A header without a name would store a file no listing shows.
    if (source.pc64Name.name[0] == kDiskNamePad) return;
    source.prefixSize = kPC64HeaderSize;
    source.pc64 = true;
    source.pc64Name.fileType = type;
    // 0 (or a length no record has) is refused by the room check.
    if (type == kTypeRel) source.recordLength = pc64RecordLength(source.prefix);
    logMessage(kLogTrace, "PackFiles: <%s> goes in as the PC64 file it is\n", name);
}

bool isRelSource(const Source& source) { return source.pc64 && source.pc64Name.fileType == kTypeRel; }

// A .r00 whose header gives no record length (0, or 255, which no record
// has) cannot become a REL file: the call adds nothing.
bool relSourcesHaveRecords(const std::vector<Source>& sources) {
    for (const Source& source : sources)
        if (isRelSource(source) && (source.recordLength == 0 || source.recordLength == 0xFF)) {
            logMessage(kLogError, "PackFiles: <%s> is a REL file of record length %d -> nothing added\n",
                       source.path.c_str(), source.recordLength);
            return false;
        }
    return true;
}

// Blocks the source takes in the image (a REL file's side sectors too; more
// than any image holds when its record length is none or its side sectors
// cannot list its data blocks).
std::int32_t blocksOfSource(const Source& source, bool superSideSector) {
    if (isRelSource(source)) {
        const std::int32_t blocks = relFileBlocks(source.size - kPC64HeaderSize, source.recordLength, superSideSector);
        return blocks < 0 ? kManyBlocks : blocks;
    }
    if (source.pc64) return blocksForSize(source.size - kPC64HeaderSize, 0);
    return source.geos ? source.layout.blocks : source.blocks;
}

// A listed source as the call finds it: its size is looked up once, and the
// room check and the adding work from that (reading it checks the size).
Source findSource(const char* srcPath, const char* name) {
    Source source {};
    source.name = name;
    const bool fits = buildSourcePath(srcPath, name, source.path);
    source.found = findSourceFile(source.path, fits, source.blocks, &source.size);
    readConvertSource(source, name, source.blocks);
    readPC64Source(source, name, source.blocks);
    return source;
}

std::int32_t totalBlocks(const std::vector<Source>& sources, const ImageInfo* bam, bool superSideSector) {
    std::int64_t total = 0;
    for (const Source& source : sources) {
        if (bam && source.volume && &bamVolume(*source.volume) != bam) continue;
        if (!source.found) {
            logMessage(kLogError, "getTotalSectorCount: error getting file size for <%s> ... continue ...\n",
                       source.path.c_str());
            continue;
        }
        const std::int32_t blocks = blocksOfSource(source, superSideSector);
        logMessage(kLogTrace, "getTotalSectorCount: checking file <%s>, size=%d blocks\n", source.path.c_str(),
                   blocks);
        if (isRelSource(source) && blocks == kManyBlocks)
            logMessage(kLogError, "PackFiles: <%s> needs more side sectors than a REL file has here\n",
                       source.path.c_str());
        total += blocks;
        if (total > kManyBlocks) total = kManyBlocks;
    }
    return static_cast<std::int32_t>(total);
}

int checkCapacity(const std::vector<Source>& sources) {
    if (!relSourcesHaveRecords(sources)) return E_BAD_DATA;
    std::vector<ImageInfo*> bams;
    for (const Source& source : sources)
        if (std::find(bams.begin(), bams.end(), &bamVolume(*source.volume)) == bams.end())
            bams.push_back(&bamVolume(*source.volume));
    for (ImageInfo* bam : bams) {
        const ImageInfo& info = *bam;
        // Per directory: its new entries beyond its free ones need blocks.
        std::int32_t n = 0, e = 0, wanted = 0;
        std::vector<const ImageInfo*> directories;
        for (const Source& source : sources)
            if (&bamVolume(*source.volume) == bam &&
                std::find(directories.begin(), directories.end(), source.volume) == directories.end())
                directories.push_back(source.volume);
        for (const ImageInfo* directory : directories) {
            std::int32_t files = 0;
            for (const Source& source : sources) files += source.volume == directory ? 1 : 0;
            const std::int32_t free = getFreeDirEntryCount(*directory);
            if (free == -1) logMessage(kLogWarning, "PackFiles: problem getting free dir entries\n");
            n += files;
            e += free;
            if (free < files) wanted += (files - (free < 0 ? 0 : free) + 7) / 8;
        }
        logMessage(kLogTrace, "PackFiles: %d files to add\n", n);
        if (e != -1) logMessage(kLogTrace, "PackFiles: %d dir entries free\n", e);
        const std::int32_t total = totalBlocks(sources, bam, usesSuperSideSector(info));
        logMessage(kLogTrace, "PackFiles: %d total blocks to write\n", total);
        // Only blocks the allocator can really hand out count.
        const std::int32_t data = getAllocatableBlocks(info, false);
        std::int32_t dir = getAllocatableBlocks(info, true);
        if (info.systemTrack == 0) {
            // Without a directory track, directory blocks come from the same free blocks.
            if (static_cast<std::int64_t>(data) < static_cast<std::int64_t>(total) + wanted) {
                logMessage(kLogError, "PackFiles: not enough data+dir sectors available (%d < %d)\n", data,
                           total + wanted);
                return E_NO_MEMORY;
            }
            continue;
        }
        if (e + 8 * dir < n) {
            logMessage(kLogError, "PackFiles: not enough dir entries available (%d < %d)\n", e + 8 * dir, n);
            return E_NO_MEMORY;
        }
        if (newImageSettings().useDirTrack == 0) {
            if (data < total) {
                logMessage(kLogError, "PackFiles: not enough data sectors available (%d < %d)\n", data, total);
                return E_NO_MEMORY;
            }
            continue;
        }
        // The directory blocks the new entries will need are not free for data.
        if (e < n) dir -= (n - e + 7) / 8;
        if (static_cast<std::int64_t>(data) + dir < total) {
            logMessage(kLogError, "PackFiles: not enough data+dir sectors available (%d < %d)\n", data + dir, total);
            return E_NO_MEMORY;
        }
    }
    return 0;
}

// The CBM name and type a source goes in under: the Convert file's own, or
// its host name's.
CbmName incomingName(const Source& source) {
    CbmName cbm {};
    splitHostNameForAdding(source.leaf.empty() ? source.name.c_str() : source.leaf.c_str(), cbm);
    if (source.geos) {
        std::memcpy(cbm.name, source.layout.entry + convertOffset(kDirFileName), kCbmNameLength);
        cbm.fileType = source.layout.entry[convertOffset(kDirEntryType)];
    }
    if (source.pc64) cbm = source.pc64Name;
    return cbm;
}

// The file the host showed under exactly this name, compared as the listing
// compares names; a hidden scratched entry is gone already.
std::uint8_t* findListedForPacking(ImageInfo& info, const std::string& name) {
    const std::string key = listedNameKey(name);
    for (const ListedEntry& listed : info.listed) {
        if (listedNameKey(listed.hostName) != key) continue;
        std::uint8_t* entry = info.imageData.get() + listed.entryOffset;
        return entry[kDirEntryType] != kTypeScratched ? entry : nullptr;
    }
    return nullptr;
}

// A file manager's "overwrite" calls PackFiles alone, for the file it
// showed under the name (which may be a_b.prg for A/B, or game~2.prg): that
// file, of the incoming type, is replaced, and no other. A file the host did
// not name (one of the same CBM name, or the one a .cvt names inside) stays,
// and the new file goes in beside it. A GEOS file the host sees as NAME.cvt
// is replaced only by a Convert file. What the DOS will not scratch, a locked
// file or a partition, fails the call before anything changes.
int planReplacements(ImageInfo& info, std::vector<Source>& sources) {
    for (Source& source : sources) {
        std::uint8_t* entry = findListedForPacking(info, source.listedPath);
        if (!entry) continue;
        const std::uint8_t type = entry[kDirEntryType];
        if ((type & kTypeLocked) || (type & kFileTypeMask) == kFileTypePartition) {
            logMessage(kLogError, "PackFiles: <%s> is locked -> nothing added\n", source.name.c_str());
            return E_NOT_SUPPORTED;
        }
        const bool sameType = type == incomingName(source).fileType;
        const bool asConvert = isListedAsConvert(entry);
        if (source.geos ? !asConvert && !sameType : asConvert || !sameType) continue;
        source.replaces = entry;
        source.replacedType = type;
        std::memcpy(source.replacedName, entry + kDirFileName, kCbmNameLength);
    }
    return 0;
}

// The replaced files' entries and blocks are released before the room check,
// so that it counts them.
int releaseReplacedFiles(const std::vector<Source>& sources) {
    for (const Source& source : sources) {
        if (!source.replaces) continue;
        logMessage(kLogTrace, "PackFiles: replacing <%s>\n", source.name.c_str());
        BlockClaims claims;
        collectBlockClaims(bamVolume(*source.volume), claims);
        if (int rc = deleteDirEntry(*source.volume, source.replaces, claims)) return rc;
    }
    return 0;
}

// Each replacement goes into the entry of the file it replaces: the listing
// keeps its order, so no other file's listed name moves; and the old name
// stays taken until then.
void reserveReplacedEntries(const std::vector<Source>& sources) {
    for (const Source& source : sources) {
        if (!source.replaces) continue;
        source.replaces[kDirEntryType] = source.replacedType;
        std::memcpy(source.replaces + kDirFileName, source.replacedName, kCbmNameLength);
    }
}

std::string nameKey(const std::uint8_t* name, std::uint8_t fileType) {
    std::string key(reinterpret_cast<const char*>(name), kCbmNameLength);
    key += static_cast<char>(fileType & kFileTypeMask);
    return key;
}

// A new file never takes the CBM name and type of another file on the disk:
// the drive would find only the first of the two. It gets "-2", "-3"... in
// place of its name's tail instead (the first that is free; the name stays
// within 16 characters). A replacement may keep the name of the file it
// replaces.
void makeNameUnique(const ImageInfo& info, const std::uint8_t* slot, const Source& source, CbmName& cbm) {
    if (source.replaces && std::memcmp(cbm.name, source.replacedName, kCbmNameLength) == 0 &&
        (cbm.fileType & kFileTypeMask) == (source.replacedType & kFileTypeMask))
        return;
    std::set<std::string> taken;
    BlockSet visits = directoryVisits(info);
    for (std::uint8_t t = info.dirTrack, s = info.dirSector; t != 0;) {
        const std::uint8_t* block = blockBytes(info, t, s);
        if (!block || !visits.insert(info, t, s)) break;
        for (int i = 0; i < kEntriesPerBlock; ++i) {
            const std::uint8_t* entry = block + i * kDirEntrySize;
            if (entry != slot && entry[kDirEntryType] != kTypeScratched)
                taken.insert(nameKey(entry + kDirFileName, entry[kDirEntryType]));
        }
        t = block[kDirLinkTrack];
        s = block[kDirLinkSector];
    }
    if (taken.count(nameKey(cbm.name, cbm.fileType)) == 0) return;
    std::uint8_t wanted[kCbmNameLength];
    std::memcpy(wanted, cbm.name, sizeof wanted);
    std::size_t length = sizeof wanted;
    while (length > 0 && wanted[length - 1] == kDiskNamePad) --length;
    // Every number gives another name, so at most one more than the names
    // taken is tried.
    for (unsigned n = 2; n == 2 || taken.count(nameKey(cbm.name, cbm.fileType)) != 0; ++n) {
        const std::string suffix = "-" + std::to_string(n);
        const std::size_t keep = std::min(length, sizeof wanted - suffix.size());
        std::memset(cbm.name, kDiskNamePad, sizeof wanted);
        std::memcpy(cbm.name, wanted, keep);
        std::memcpy(cbm.name + keep, suffix.data(), suffix.size());
    }
    logMessage(kLogWarning, "PackFiles: <%s> goes in as \"%s\": another file has its CBM name\n",
               source.name.c_str(), cbmText(cbm.name, kCbmNameLength, info.imageType).c_str());
}

bool isSeparator(char c) { return c == platform::kPathSeparator || (platform::kPathSeparator == '\\' && c == '/'); }

// The names of a path's folders and its last name, as the host separates them.
std::vector<std::string> pathParts(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (!isSeparator(c)) {
            part += c;
            continue;
        }
        if (!part.empty()) parts.push_back(part);
        part.clear();
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

// Where the source goes: down the folders its path names (SubPath's, then
// with savePaths its own), a missing one made where folders can be (a
// native partition); what is left is its name there. A name at the top of
// a CMD FD image has no volume to go to (24).
int resolveTarget(ImageInfo& top, const std::string& subPath, bool savePaths, Source& source) {
    std::vector<std::string> parts = pathParts(subPath);
    if (savePaths) {
        const std::vector<std::string> own = pathParts(source.name);
        parts.insert(parts.end(), own.begin(), own.end());
    } else {
        parts.push_back(source.name);
    }
    ImageInfo* at = &top;
    std::string prefix;
    std::size_t used = 0;
    for (; used + 1 < parts.size(); ++used) {
        const std::string path = prefix.empty() ? parts[used] : prefix + platform::kPathSeparator + parts[used];
        const ListedEntry* folder = nullptr;
        for (const ListedEntry& listed : top.listed)
            if (listed.folder && listedNameKey(listed.hostName) == listedNameKey(path)) folder = &listed;
        if (folder && folder->child != 0) {
            at = top.folders[folder->child - 1].get();
            prefix = folder->hostName;
            continue;
        }
        if (folder || !isNativeVolume(*at)) break;
        if (int rc = prepareForWriting(top, *at)) return rc;
        int rc = 0;
        ImageInfo* made = makeSubdirectory(top, *at, parts[used], rc);
        if (!made) return rc;
        at = made;
        prefix = made->folderPath;
    }
    if (isFdImage(*at) && parts.size() == 1) {
        // A file for the top of a CMD FD image goes where the drive starts:
        // into its default partition (so a new image takes plain files).
        for (const ListedEntry& listed : top.listed)
            if (listed.folder && listed.child != 0 && listed.volume == 0 && listed.record < top.archived.size() &&
                top.archived[listed.record].recordLength == fdDefaultPartition(top)) {
                at = top.folders[listed.child - 1].get();
                prefix = listed.hostName;
            }
    }
    if (isFdImage(*at)) {
        logMessage(kLogError, "PackFiles: <%s> names no partition of the image -> nothing added\n", source.name.c_str());
        return E_NOT_SUPPORTED;
    }
    source.volume = at;
    source.leaf.clear();
    // With paths, a folder the format cannot hold is left out (the file goes
    // in by its own name); without, the old rule folds it into the name.
    for (std::size_t i = savePaths ? parts.size() - 1 : used; i < parts.size(); ++i)
        source.leaf += (source.leaf.empty() ? std::string() : std::string(1, platform::kPathSeparator)) + parts[i];
    if (!savePaths && subPath.empty()) source.leaf = source.name;
    source.listedPath = prefix.empty() ? source.leaf : prefix + platform::kPathSeparator + source.leaf;
    CbmName cbm {};
    splitHostNameForAdding(source.leaf.c_str(), cbm);
    if (cbm.name[0] == kDiskNamePad) {
        logMessage(kLogError, "PackFiles: <%s> gives an empty CBM name -> nothing added\n", source.name.c_str());
        return E_ECREATE;
    }
    return prepareForWriting(top, *at);
}

int addFile(ImageInfo& info, const Source& source, std::uint8_t** storedEntry = nullptr) {
    logMessage(kLogTrace, "adding file <%s>\n", source.path.c_str());
    if (!source.found) {
        logMessage(kLogError, "error getting file size for <%s>\n", source.path.c_str());
        return E_EREAD;
    }
    const std::int32_t blocks = blocksOfSource(source, usesSuperSideSector(info));
    // The room was counted from the sizes the sources had when the call
    // began: reading refuses a file whose size has changed since, which would
    // be stored cut short.
    const std::uint32_t size = source.size;
    std::int32_t free = getAllocatableBlocks(info, false);
    if (newImageSettings().useDirTrack) free += getAllocatableBlocks(info, true);
    if (blocks > free) {
        logMessage(kLogError, "error not enough space <%d>\n", blocks);
        return E_NO_MEMORY;
    }
    logMessage(kLogTrace, "blocks to write <%d>, blocks free <%d>\n", blocks, free);
    // The whole file is read before anything is stored (it fits the image,
    // so it is small); it must end exactly where its size said.
    CBuffer<std::uint8_t[]> data(static_cast<std::uint8_t*>(std::calloc(size ? size : 1, 1)));
    if (!data) {
        logMessage(kLogError, "error malloc source data\n");
        return E_NO_MEMORY;
    }
    int lastError = 0;
    if (!platform::readWholeFile(source.path.c_str(), data.get(), size, lastError)) {
        logMessage(kLogError, "error reading file <%s>\n", source.path.c_str());
        return E_EREAD;
    }
    // The room was counted from the layout the file had when the call began.
    ConvertLayout layout;
    if (source.geos && (std::memcmp(data.get(), source.prefix, source.prefixSize) != 0 ||
                        !readConvertLayout(data.get(), size, size, layout))) {
        logMessage(kLogError, "error: <%s> changed while being added\n", source.path.c_str());
        return E_EREAD;
    }

    std::uint8_t* entry = source.replaces ? source.replaces : getFreeDirEntry(info);
    if (!entry) {
        logMessage(kLogError, "error: no free dir entry\n");
        return E_TOO_MANY_FILES;
    }
    if (storedEntry) *storedEntry = entry;
    CbmName cbm = incomingName(source);
    makeNameUnique(info, entry, source, cbm);
    std::memset(entry + kDirEntryType, 0, kDirEntrySize - kDirEntryType);
    if (source.geos) {
        const int rc = writeGeosFile(info, entry, data.get(), size, layout);
        std::memcpy(entry + kDirFileName, cbm.name, kCbmNameLength);
        return rc;
    }
    const std::uint8_t* bytes = data.get();
    std::uint32_t stored = size;
    if (source.pc64) {
        // The header that gave the name must still be the file's.
        if (std::memcmp(bytes, source.prefix, kPC64HeaderSize) != 0) {
            logMessage(kLogError, "error: <%s> changed while being added\n", source.path.c_str());
            return E_EREAD;
        }
        bytes += kPC64HeaderSize;
        stored -= kPC64HeaderSize;
    }
    std::memcpy(entry + kDirFileName, cbm.name, kCbmNameLength);
    if (isRelSource(source)) return writeRelFile(info, entry, source.recordLength, bytes, stored);
    entry[kDirEntryType] = cbm.fileType;
    entry[kDirBlockCount] = static_cast<std::uint8_t>(blocks & 0xFF);
    entry[kDirBlockCount + 1] = static_cast<std::uint8_t>((blocks >> 8) & 0xFF);
    ChainCursor cursor;
    return writeChain(info, entry + kDirStartTrack, bytes, stored, blocks, cursor);
}

}  // namespace

int countListNames(const char* list) {
    int count = 0;
    if (!list) return 0;
    for (const char* name = list; *name; name = nextName(name)) ++count;
    return count;
}

std::int32_t getTotalSectorCount(const char* srcPath, const char* list) {
    std::vector<Source> sources;
    for (const char* name = list; *name; name = nextName(name)) sources.push_back(findSource(srcPath, name));
    // No image to ask: a REL file counts with a super side sector.
    return totalBlocks(sources, nullptr, true);
}

namespace {

int packFilesOnce(const char* packedFile, const char* subPath, const char* srcPath, const char* addList, int flags,
                  const ProgressSink* progress) {
    const bool moveSources = (flags & kPackMoveFiles) != 0;
    // Only disks are written: tapes and archives of files are read only.
    std::uint32_t bodyOffset = 0;
    std::int32_t container = kContainerPlain;
    const std::int32_t type = imageTypeOfFile(packedFile, bodyOffset, &container);
    if (!isWritableType(type)) return E_NOT_SUPPORTED;

    std::unique_ptr<ImageInfo> info = newWorkingImage(packedFile, type, container);
    if (!info) return E_NO_MEMORY;
    info->bodyOffset = bodyOffset;

    // A name listed twice is one source: stored once, moved once.
    std::string list;
    std::set<std::string> seen;
    for (const char* name = addList; *name; name = nextName(name))
        if (seen.insert(listedNameKey(name)).second) list.append(name, std::strlen(name) + 1);
    list.push_back('\0');

    if (int rc = checkNames(list.data())) return rc;
    if (int rc = loadForPacking(*info, true)) return rc;

    std::vector<Source> sources;
    for (const char* name = list.data(); *name; name = nextName(name)) {
        sources.push_back(findSource(srcPath, name));
        if (int rc = resolveTarget(*info, subPath ? subPath : "", (flags & kPackSavePaths) != 0, sources.back()))
            return rc;
    }
    if (int rc = planReplacements(*info, sources)) return rc;
    if (int rc = releaseReplacedFiles(sources)) return rc;
    if (int rc = checkCapacity(sources)) return rc;
    reserveReplacedEntries(sources);
    for (const Source& source : sources) {
        if (int rc = addFile(*source.volume, source)) return rc;
        // A cancel ends the call before the image file is touched.
        if (!reportProgress(progress, source.path.c_str(), static_cast<int>(source.size))) {
            logMessage(kLogTrace, "PackFiles: cancelled\n");
            return E_EABORTED;
        }
    }
    logMessage(kLogTrace, "packing done\n");
    if (int rc = writeImageFile(*info)) return rc;
    // Moving: the sources go only once the image holding them is written.
    if (!moveSources) return 0;
    int result = 0;
    for (const Source& source : sources) {
        if (platform::removeFile(source.path.c_str())) continue;
        logMessage(kLogError, "PackFiles: cannot remove moved source <%s>\n", source.path.c_str());
        result = E_EWRITE;
    }
    return result;
}

}  // namespace

int packFiles(const char* packedFile, const char* subPath, const char* srcPath, const char* addList, int flags,
              const ProgressSink* progress) {
    logMessage(kLogTrace, "PackFiles: PackedFile=%s, SrcPath=%s\n", packedFile, srcPath);
    // The new-image values are read once, as they are now.
    const NewImageCallScope settings;
    // Two programs making one new image: the one whose image comes second
    // finds the other's in place and adds its files to that one instead.
    // Once the image exists, the lock lets every later try land.
    for (int attempt = 1;; ++attempt) {
        const int rc = packFilesOnce(packedFile, subPath, srcPath, addList, flags, progress);
        if (rc != kImageAppeared) return rc;
        if (attempt == 3) break;
        logMessage(kLogTrace, "PackFiles: adding to the image made meanwhile\n");
    }
    logMessage(kLogError, "PackFiles: <%s> keeps being made by another program -> not written\n", packedFile);
    return E_EWRITE;
}

int openImageForPacking(const char* packedFile, bool mayCreate, std::unique_ptr<ImageInfo>& info) {
    std::uint32_t bodyOffset = 0;
    std::int32_t container = kContainerPlain;
    const std::int32_t type = imageTypeOfFile(packedFile, bodyOffset, &container);
    if (!isWritableType(type)) return E_NOT_SUPPORTED;
    info = newWorkingImage(packedFile, type, container);
    if (!info) return E_NO_MEMORY;
    info->bodyOffset = bodyOffset;
    return loadForPacking(*info, mayCreate);
}

ImageInfo* makeFolderPath(ImageInfo& top, const char* path, int& rc) {
    // The folders of "PATH/x" are walked and made as a file's are; no x is added.
    Source source;
    source.name = std::string(path) + platform::kPathSeparator + "x";
    rc = resolveTarget(top, "", true, source);
    if (rc) return nullptr;
    // Every folder of the path is one now, or the format makes none there.
    if (source.volume == &top || listedNameKey(source.listedPath) != listedNameKey(source.name)) {
        rc = E_NOT_SUPPORTED;  // a folder this format cannot make (a 1581 disk's, a partition)
        return nullptr;
    }
    return source.volume;
}

int packOneFile(ImageInfo& info, const char* srcPath, const char* name, std::uint8_t** stored) {
    CbmName cbm {};
    splitHostNameForAdding(name, cbm);
    if (cbm.name[0] == kDiskNamePad) {
        logMessage(kLogError, "PackFiles: <%s> gives an empty CBM name -> nothing added\n", name);
        return E_ECREATE;
    }
    Source source = findSource(srcPath, name);
    if (int rc = resolveTarget(info, "", true, source)) return rc;
    return addFile(*source.volume, source, stored);
}
