// The disk as a whole: its header facts and directory as the drive shows
// them, and a check of every structure against the BAM, with a repair that
// rebuilds the BAM from what the image really uses.
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/results.h"
#include "image/image.h"
#include "platform/platform.h"
#include "reader/reader.h"
#include "writer/image_file.h"
#include "writer/writer.h"

namespace {

const char* const kTypeNames[] = {"DEL", "SEQ", "PRG", "USR", "REL", "CBM", "DIR", "???"};

// The type as the drive lists it: "*" before an unclosed file's, "<" after a locked one's.
std::string typeText(std::uint8_t type) {
    std::string text = (type & 0x80) ? "" : "*";
    text += kTypeNames[type & kFileTypeMask];
    if (type & 0x40) text += '<';
    return text;
}

const char* layoutName(const ImageInfo& info) {
    if (info.imageType != kTypeD64 || info.trackCount <= kStandardD64Tracks) return "none";
    switch (info.fortyTrackType) {
    case 2: return "speeddos";
    case 3: return "dolphindos";
    default: return "unknown";
    }
}

std::string blockName(int track, int sector) { return std::to_string(track) + ":" + std::to_string(sector); }

// Calls visit(entry) for every directory entry; false when the chain loops
// or leaves the disk (where is then set).
template <class Visit>
bool forEachDirEntry(const ImageInfo& info, Visit visit, std::string* where = nullptr) {
    BlockSet visits = directoryVisits(info);
    std::uint8_t track = info.dirTrack, sector = info.dirSector;
    while (track != 0) {
        const std::uint8_t* block = blockBytes(info, track, sector);
        if (!block || !visits.insert(info, track, sector)) {
            if (where) *where = (block ? "loops back to " : "leaves the disk at ") + blockName(track, sector);
            return false;
        }
        for (int i = 0; i < kEntriesPerBlock; ++i) visit(block + i * kDirEntrySize);
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
    return true;
}

// "file<TAB>BLOCKS<TAB>TYPE<TAB>NAME<TAB>QUOTED<TAB>AFTER": the whole name,
// then as the drive lists it (before the first 0xA0 in quotes, the rest after).
std::string fileLine(int blocks, const std::string& type, const std::uint8_t* name, bool ascii) {
    const ShownCbmName shown = shownCbmName(name, ascii);
    return "file\t" + std::to_string(blocks) + "\t" + type + "\t" + cbmText(name, kCbmNameLength, kTypeNone, ascii) +
           "\t" + shown.name + "\t" + shown.tail + "\n";
}

bool isArchiveOfFiles(std::int32_t type) { return type == kTypeLynx || type == kTypePC64; }

int loadForReading(ImageInfo& info) {
    if (info.imageType == kTypeT64 || isArchiveOfFiles(info.imageType)) {
        if (int rc = readImageFile(info)) return rc;
        if (info.imageType == kTypeLynx) return readLynxDirectory(info);
        if (info.imageType == kTypePC64) return readPC64File(info);
        initTapeState(info);
        return 0;
    }
    return loadExistingImage(info, "ImageInfoText", false);
}

// Blocks free as the directory listing states them, and as cc1541 lists
// them: the free bits of the BAM's bitmaps (a count can lie, and cc1541
// leaves the counts of a D71's second side at 0), without the directory
// track or the tracks beyond 35 of a D64. (A D71's track 53 counts with
// what its bitmap says: all used on our images, free on cc1541's.)
// total: the blocks those tracks hold in all, free or not.
int listedBlocksFree(const ImageInfo& info, int* total = nullptr) {
    const int last = info.imageType == kTypeD64 ? formatLayout(kTypeD64, false)->trackCount : info.trackCount;
    int free = 0, all = 0;
    for (int t = 1; t <= last; ++t) {
        SectorBits bits;
        int count = 0;
        const auto track = static_cast<std::uint8_t>(t);
        if (track == info.systemTrack || !readBamEntry(info, track, bits, count)) continue;
        // c1541 leaves a native partition's first 64 blocks out.
        const int reserved = reservedSectors(info, track);
        for (int s = 0; s < reserved; ++s) bits.reset(s);
        free += bits.count();
        all += getTrackSectorCount(info, track) - reserved;
    }
    if (total) *total = all;
    return free;
}

void describeTape(ImageInfo& info, std::string& text) {
    constexpr int kUserDescription = 40;
    text += "format\tT64\n";
    if (info.imageSize >= 64) text += "title\t" + cbmText(info.imageData.get() + kUserDescription, 24, kTypeT64) + "\n";
    ListedFile file;
    int files = 0;
    std::string entries;
    while (readTapeHeader(info, file) == 0) {
        ++files;
        // The tape's own name, as a drive would list the file once loaded and saved.
        const EntryFacts facts = listedEntryFacts(info, info.listed.back());
        entries += fileLine((file.packSize + 253) / 254, "PRG", facts.name, false);
    }
    text += "files\t" + std::to_string(files) + "\n" + entries;
}

// An archive of files: its kind and its files as its directory lists them.
// 18 when the directory ends before its count.
int describeArchive(ImageInfo& info, std::string& text) {
    text += std::string("format\t") + (info.imageType == kTypeLynx ? "LNX" : "PC64") + "\n";
    text += "files\t" + std::to_string(info.archived.size()) + "\n";
    for (const ArchivedFile& file : info.archived) text += fileLine(file.blocks, typeText(file.fileType), file.name, false);
    return info.archivedEnd == E_END_ARCHIVE ? 0 : info.archivedEnd;
}

// An archive of files is sound when its directory is whole and every file's
// data lie inside it.
int validateArchive(ImageInfo& info, std::string& text) {
    int problems = 0;
    if (info.archivedEnd != E_END_ARCHIVE) {
        text += "problem\tdirectory\tthe directory ends before the count it gives\n";
        ++problems;
    }
    const auto size = static_cast<std::uint64_t>(info.imageSize);
    for (const ArchivedFile& file : info.archived) {
        if (file.offset <= size && file.length <= size - file.offset) continue;
        text += "problem\tdata\t\"" + cbmText(file.name, kCbmNameLength, kTypeNone) +
                "\": its data do not lie inside the archive\n";
        ++problems;
    }
    return problems == 0 ? 0 : E_BAD_ARCHIVE;
}

// A volume's facts and root directory as "key<TAB>value" lines.
void describeVolume(const ImageInfo& info, std::string& text, bool withErrorBytes = true) {
    const std::int32_t type = info.imageType;
    const FormatLayout& layout = *diskLayout(type, info.trackCount);
    text += "tracks\t" + std::to_string(info.trackCount) + "\n";
    text += std::string("layout\t") + layoutName(info) + "\n";
    if (withErrorBytes) text += std::string("errorbytes\t") + (info.hasErrorInfo ? "1" : "0") + "\n";
    if (const std::uint8_t* header = blockBytes(info, info.headerTrack, info.headerSector)) {
        text += "title\t" + cbmText(header + layout.titleOffset, kCbmNameLength, type) + "\n";
        text += "id\t" + cbmText(header + layout.idOffset, 2, type) + "\n";
        text += "dos\t" + cbmText(header + layout.dosOffset, 2, type) + "\n";
    }
    int files = 0;
    std::string entries;
    forEachDirEntry(info, [&](const std::uint8_t* entry) {
        if (entry[kDirEntryType] == kTypeScratched) return;
        ++files;
        const int blocks = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
        entries += fileLine(blocks, typeText(entry[kDirEntryType]), entry + kDirFileName, isGeosEntry(entry));
    });
    text += "files\t" + std::to_string(files) + "\n";
    int total = 0;
    text += "blocksfree\t" + std::to_string(listedBlocksFree(info, &total)) + "\n";
    text += "blockstotal\t" + std::to_string(total) + "\n";
    text += entries;
}

const char* partitionTypeName(std::uint8_t type) {
    static const char* const kNames[] = {"none", "native", "1541", "1571", "1581", "1581 CP/M", "print buffer", "foreign"};
    return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "unknown";
}


}  // namespace

int describeImage(const char* path, std::string& text) {
    text.clear();
    std::uint32_t bodyOffset = 0;
    std::int32_t container = kContainerPlain;
    const std::int32_t type = imageTypeOfFile(path, bodyOffset, &container);
    if (type == kTypeNone) return E_UNKNOWN_FORMAT;
    std::unique_ptr<ImageInfo> info = newWorkingImage(path, type, container);
    if (!info) return E_NO_MEMORY;
    info->bodyOffset = bodyOffset;
    if (int rc = loadForReading(*info)) return rc;
    if (type == kTypeT64) {
        describeTape(*info, text);
        return 0;
    }
    if (isArchiveOfFiles(type)) return describeArchive(*info, text);
    const char* name = fdLayout(type) ? fdLayout(type)->name : diskLayout(type, info->trackCount)->name;
    text += std::string("format\t") + (bodyOffset ? "X64 " : "") +
            (info->container != kContainerG64 ? name : type == kTypeD71 ? "G71" : "G64") + "\n";
    if (!isFdImage(*info)) {
        describeVolume(*info, text);
        return 0;
    }
    // A CMD FD image: its partitions, then the disk of its default partition
    // as the drive shows it once the image is in.
    text += std::string("errorbytes\t") + (info->hasErrorInfo ? "1" : "0") + "\n";
    const ArchivedFile* shown = nullptr;
    const std::uint8_t wanted = fdDefaultPartition(*info);
    for (const ArchivedFile& p : info->archived) {
        text += "partition\t" + std::to_string(p.recordLength) + "\t" + partitionTypeName(p.fileType) + "\t" +
                cbmText(p.name, kCbmNameLength, type) + "\t" + std::to_string(p.blocks) + "\n";
        if (!shown || p.recordLength == wanted) shown = &p;
    }
    std::unique_ptr<ImageInfo> volume = shown ? partitionVolume(*info, *shown) : nullptr;
    if (volume) describeVolume(*volume, text, false);
    return 0;
}

namespace {

// A block that a second structure also uses, said once the walk is done, so
// that a damaged track reads as ranges rather than a line per block.
struct SharedUse {
    int track, sector;
    std::string first, second;
};

// Who uses each block, as the check walks the image.
struct Usage {
    std::vector<std::string> owner = std::vector<std::string>(kMaxImageBlocks);
    BlockClaims claims;
    std::vector<SharedUse> shared;
};

// Blocks of one track in ascending sectors, each with what it belongs to
// (may be empty), as ranges: "17:0-5 (\"game\"), 17:7".
struct BlockOfTrack {
    int sector;
    std::string owner;
};
std::string blockRanges(int track, const std::vector<BlockOfTrack>& blocks) {
    std::string text;
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t j = i;
        while (j + 1 < blocks.size() && blocks[j + 1].sector == blocks[j].sector + 1 && blocks[j + 1].owner == blocks[i].owner)
            ++j;
        text += (text.empty() ? " " : ", ") + blockName(track, blocks[i].sector);
        if (j > i) text += "-" + std::to_string(blocks[j].sector);
        if (!blocks[i].owner.empty()) text += " (" + blocks[i].owner + ")";
        i = j + 1;
    }
    return text;
}

// Errors put data at risk (the next write may destroy a file, a walk may not
// end); notes are what a sound disk may well hold: blocks marked used that no
// file uses (a trackloader's data, a copy protection, a CP/M area), a block
// count the listing merely shows.
struct Report {
    std::string text;
    int errors = 0;
    int notes = 0;
    int bamErrors = 0;    // errors a repair of the BAM mends
    int unusedNotes = 0;  // notes on blocks --free-unused frees
    std::string where;    // the folder being checked ("" for the image itself)
    void error(const char* kind, const std::string& what, bool bam = false) {
        text += std::string("error\t") + kind + "\t" + where + what + "\n";
        ++errors;
        if (bam) ++bamErrors;
    }
    void note(const char* kind, const std::string& what, bool unused = false) {
        text += std::string("note\t") + kind + "\t" + where + what + "\n";
        ++notes;
        if (unused) ++unusedNotes;
    }
};

void use(const ImageInfo& info, Usage& usage, int track, int sector, const std::string& owner) {
    const int index = getBlockIndex(info, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(sector));
    if (index < 0 || index >= kMaxImageBlocks) return;
    std::string& first = usage.owner[static_cast<std::size_t>(index)];
    if (!first.empty() && first != owner) usage.shared.push_back({track, sector, first, owner});
    if (first.empty()) first = owner;
    std::uint8_t& count = usage.claims.count[static_cast<std::size_t>(index)];
    if (count < 255) ++count;
}

// Walks a chain as the image holds it, reporting a loop or a link off the
// disk; the blocks it passes are used by `owner` when `claim` is set.
bool walkChain(const ImageInfo& info, Usage& usage, Report& report, int track, int sector, const std::string& owner,
               bool claim) {
    BlockSet visits;
    while (track != 0) {
        const auto t = static_cast<std::uint8_t>(track), s = static_cast<std::uint8_t>(sector);
        const std::uint8_t* block = blockBytes(info, t, s);
        if (!block) {
            report.error("chain", owner + ": its chain leaves the disk at " + blockName(track, sector));
            return false;
        }
        if (!visits.insert(info, t, s)) {
            report.error("chain", owner + ": its chain loops back to " + blockName(track, sector));
            return false;
        }
        if (claim) use(info, usage, track, sector, owner);
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
    return true;
}

// A partition's area must lie on the disk and off the directory track, where
// the DOS keeps its own blocks.
void checkPartition(const ImageInfo& info, Report& report, const std::uint8_t* entry, const std::string& name,
                    int blocks) {
    const int first = getBlockIndex(info, entry[kDirStartTrack], entry[kDirStartSector]);
    const std::string from = " blocks from " + blockName(entry[kDirStartTrack], entry[kDirStartSector]);
    if (first < 0) {
        report.error("partition", name + ": its area starts off the disk at " +
                                      blockName(entry[kDirStartTrack], entry[kDirStartSector]));
        return;
    }
    if (first + blocks > getDiskBlockCount(info))
        report.error("partition", name + ": its " + std::to_string(blocks) + from + " run off the disk");
    const int dirFirst = getBlockIndex(info, info.systemTrack, 0);
    const int dirEnd = dirFirst + getTrackSectorCount(info, info.systemTrack);
    if (dirFirst >= 0 && first < dirEnd && first + blocks > dirFirst)
        report.error("partition", name + ": its " + std::to_string(blocks) + from + " run over the directory track " +
                                      std::to_string(info.systemTrack));
}

void checkEntry(const ImageInfo& info, Usage& usage, Report& report, const std::uint8_t* entry) {
    const std::uint8_t type = entry[kDirEntryType];
    if (type == kTypeScratched) return;
    const std::string name = "\"" + entryNameText(entry, info.imageType) + "\"";
    const int claimed = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
    const bool partition = (type & kFileTypeMask) == kFileTypePartition;
    bool whole = true;
    const bool chained = (type & kFileTypeMask) <= (kTypeRel & kFileTypeMask);
    if (partition) {
        checkPartition(info, report, entry, name, claimed);
    } else if (chained && (type & 0x80) &&
               !blockBytes(info, entry[kDirStartTrack], entry[kDirStartSector])) {
        // A closed file always has a first block (an empty one holds no
        // byte): a drive reading this entry fails ("track 0 out of bounds").
        report.error("chain", name + ": its chain starts off the disk at " +
                                  blockName(entry[kDirStartTrack], entry[kDirStartSector]));
        whole = false;
    } else if (chained && entry[kDirStartTrack] != 0) {
        whole = walkChain(info, usage, report, entry[kDirStartTrack], entry[kDirStartSector], name, false);
    }
    // A drive finds a REL file's records through its side sectors.
    std::string problem;
    if (whole && !partition && (type & kFileTypeMask) == (kTypeRel & kFileTypeMask) && !checkRelFile(info, entry, problem))
        report.error("rel", name + ": " + problem);
    // Every block of the entry as the writer counts them: its chain, side
    // sectors, GEOS info block and records, a partition's area.
    BlockClaims own;
    claimEntryBlocks(info, own, entry);
    int blocks = 0;
    for (int t = 1; t <= info.trackCount; ++t)
        for (int s = 0; s < getTrackSectorCount(info, static_cast<std::uint8_t>(t)); ++s) {
            if (!blockClaims(info, own, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s))) continue;
            ++blocks;
            use(info, usage, t, s, name);
        }
    // The count is what the listing shows; nothing is written by it.
    if (whole && !partition && blocks != claimed)
        report.note("count", name + ": the directory says " + std::to_string(claimed) + " blocks, it has " +
                                 std::to_string(blocks));
}

}  // namespace

namespace {

// A change a repair makes: a track's BAM entry of one volume.
struct Mend {
    ImageInfo* volume;
    std::uint8_t track;
    SectorBits freeBits;
};

// Every structure of one volume (a disk, a partition, a sub-disk; a native
// partition with all its directories) against its BAM.
void checkVolume(ImageInfo& vol, Report& report, bool repair, bool freeUnused, std::vector<Mend>& mends,
                 std::string& freed) {
    ImageInfo* const info = &vol;
    Usage usage;
    use(*info, usage, info->headerTrack, info->headerSector, "the header");
    for (int k = 0; k < bamBlockTotal(*info); ++k)
        if (info->bamTrack != info->headerTrack || bamBlockSector(*info, k) != info->headerSector)
            use(*info, usage, info->bamTrack, bamBlockSector(*info, k), "the BAM");
    if (getTrackSectorCount(*info, info->bamTrack2) != 0)
        use(*info, usage, info->bamTrack2, info->bamSector[0], "the BAM");
    walkChain(*info, usage, report, info->dirTrack, info->dirSector, "the directory", true);
    forEachDirEntry(*info, [&](const std::uint8_t* entry) { checkEntry(*info, usage, report, entry); });
    if (isNativeVolume(*info)) {
        use(*info, usage, 1, 0, "the boot block");
        // The subdirectories: each one's entry claims its header and chain.
        struct Walk {
            ImageInfo* info;
            Usage* usage;
            Report* report;
        } walk {info, &usage, &report};
        forEachDirectory(
            *info,
            [](void* context, std::uint8_t headerTrack, std::uint8_t headerSector, std::uint8_t track,
               std::uint8_t sector) {
                auto& w = *static_cast<Walk*>(context);
                if (headerTrack == w.info->headerTrack && headerSector == w.info->headerSector) return;
                const std::string owner = "the directory with its header at " + blockName(headerTrack, headerSector);
                if (!walkChain(*w.info, *w.usage, *w.report, track, sector, owner, false)) return;
                BlockSet visits = directoryVisits(*w.info);
                for (std::uint8_t t = track, s = sector; t != 0;) {
                    const std::uint8_t* block = blockBytes(*w.info, t, s);
                    if (!block || !visits.insert(*w.info, t, s)) break;
                    for (int i = 0; i < kEntriesPerBlock; ++i) checkEntry(*w.info, *w.usage, *w.report, block + i * kDirEntrySize);
                    t = block[kDirLinkTrack];
                    s = block[kDirLinkSector];
                }
            },
            &walk);
    }
    // A GEOS disk's border block and its files, as collectBlockClaims takes them.
    const BorderBlock border = findBorderBlock(*info, usage.claims);
    if (const std::uint8_t* block = border.found ? blockBytes(*info, border.track, border.sector) : nullptr) {
        use(*info, usage, border.track, border.sector, "the GEOS border block");
        for (int i = 0; i < kEntriesPerBlock; ++i) checkEntry(*info, usage, report, block + i * kDirEntrySize);
    }

    // Shared blocks, a run of sectors of one track with the same two users a line.
    for (std::size_t i = 0; i < usage.shared.size();) {
        const SharedUse& u = usage.shared[i];
        std::size_t j = i;
        while (j + 1 < usage.shared.size() && usage.shared[j + 1].track == u.track &&
               usage.shared[j + 1].sector == usage.shared[j].sector + 1 && usage.shared[j + 1].first == u.first &&
               usage.shared[j + 1].second == u.second)
            ++j;
        const std::string where = j > i ? "blocks " + blockName(u.track, u.sector) + "-" +
                                              std::to_string(usage.shared[j].sector) + " are"
                                        : "block " + blockName(u.track, u.sector) + " is";
        report.error("shared", where + " used by " + u.first + " and by " + u.second);
        i = j + 1;
    }

    // The BAM against what is used, track by track (the D71's second BAM
    // track is the DOS's own, all of it). A repair changes only the entries
    // of tracks with errors, and frees a block nothing uses only when asked:
    // such blocks often hold what a disk keeps outside its files.
    for (int t = 1; t <= info->trackCount; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        SectorBits freeBits;
        int count = 0;
        if (track == info->bamTrack2 || !readBamEntry(*info, track, freeBits, count)) continue;
        SectorBits usedButFreeBits, unusedBits;
        std::vector<BlockOfTrack> usedButFree, freeButUnused;
        int freeInBits = 0;
        for (int s = 0; s < getTrackSectorCount(*info, track); ++s) {
            const bool used = blockClaims(*info, usage.claims, track, static_cast<std::uint8_t>(s)) != 0;
            const bool free = freeBits.test(s);
            freeInBits += free ? 1 : 0;
            if (used && free) {
                usedButFreeBits.set(s);
                const int index = getBlockIndex(*info, track, static_cast<std::uint8_t>(s));
                usedButFree.push_back({s, index >= 0 && index < kMaxImageBlocks
                                              ? usage.owner[static_cast<std::size_t>(index)]
                                              : std::string()});
            }
            if (!used && !free) {
                unusedBits.set(s);
                freeButUnused.push_back({s, std::string()});
            }
        }
        if (!usedButFree.empty())
            report.error("bam-free",
                         "in use but free in the BAM (the next write would destroy them):" + blockRanges(t, usedButFree),
                         true);
        if (!freeButUnused.empty())
            report.note("bam-used", "marked used but nothing uses them:" + blockRanges(t, freeButUnused), true);
        if (count != freeInBits)
            report.error("bam-count", "track " + std::to_string(t) + ": the BAM counts " + std::to_string(count) +
                                          " free blocks, its bitmap " + std::to_string(freeInBits),
                         true);
        const bool mendErrors = repair && (usedButFreeBits.any() || count != freeInBits);
        const bool freeThem = freeUnused && unusedBits.any();
        if (!mendErrors && !freeThem) continue;
        mends.push_back({info, track, freeBits.without(usedButFreeBits).with(freeThem ? unusedBits : SectorBits {})});
        if (freeThem) freed += (freed.empty() ? "" : ",") + blockRanges(t, freeButUnused);
    }
}

}  // namespace

int validateImage(const char* path, int mode, std::string& text) {
    text.clear();
    const bool repair = (mode & kValidateRepair) != 0;
    const bool freeUnused = repair && (mode & kValidateFreeUnused) != 0;
    std::uint32_t bodyOffset = 0;
    std::int32_t container = kContainerPlain;
    const std::int32_t type = imageTypeOfFile(path, bodyOffset, &container);
    if (type == kTypeNone || type == kTypeT64) return E_NOT_SUPPORTED;
    std::unique_ptr<ImageInfo> info = newWorkingImage(path, type, container);
    if (!info) return E_NO_MEMORY;
    info->bodyOffset = bodyOffset;
    if (isArchiveOfFiles(type)) {
        if (repair) return E_NOT_SUPPORTED;
        if (int rc = loadForReading(*info)) return rc;
        return validateArchive(*info, text);
    }
    if (int rc = loadExistingImage(*info, "ValidateImage", repair)) return rc;
    // Its folders: the partitions and sub-disks with a BAM of their own
    // are volumes of their own, checked as a disk is.
    info->restartListing = 1;
    ListedFile listed;
    while (readDiskHeader(*info, listed) == 0) {
    }
    std::vector<ImageInfo*> volumes;
    if (!isFdImage(*info)) volumes.push_back(info.get());
    for (const std::unique_ptr<ImageInfo>& folder : info->folders)
        if (&bamVolume(*folder) == folder.get()) volumes.push_back(folder.get());
    Report report;
    std::vector<Mend> mends;
    std::string freed;
    for (ImageInfo* volume : volumes) {
        report.where = volume == info.get() ? "" : volume->folderPath + ": ";
        checkVolume(*volume, report, repair, freeUnused, mends, freed);
    }
    report.where.clear();

    text = report.text;
    int errorsLeft = report.errors, notesLeft = report.notes;
    if (!mends.empty()) {
        // Said before the image is written, so that it stands even when the
        // write fails.
        if (!freed.empty()) {
            text += "freeing\tblocks marked used that nothing uses:" + freed + "\n";
            logMessage(kLogWarning, "ValidateImage: freeing blocks marked used that nothing uses:%s\n", freed.c_str());
        }
        for (const Mend& m : mends) writeBamEntry(*m.volume, m.track, m.freeBits);
        if (int rc = writeImageFile(*info)) return rc;
        text += std::string("repaired\tthe BAM marks every block in use as used, its counts match its bitmaps") +
                (freed.empty() ? "\n" : ", and the blocks nothing used are free\n");
    }
    if (repair) errorsLeft -= report.bamErrors;
    if (freeUnused) notesLeft -= report.unusedNotes;
    text += "left\t" + std::to_string(errorsLeft) + "\t" + std::to_string(notesLeft) + "\n";
    const bool strict = (mode & kValidateStrict) != 0;
    return errorsLeft > 0 || (strict && notesLeft > 0) ? E_BAD_ARCHIVE : 0;
}
