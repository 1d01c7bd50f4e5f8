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

const char* const kTypeNames[] = {"DEL", "SEQ", "PRG", "USR", "REL", "CBM", "???", "???"};

// The type as the drive lists it: "*" before an unclosed file's, "<" after a locked one's.
std::string typeText(std::uint8_t type) {
    std::string text = (type & 0x80) ? "" : "*";
    text += kTypeNames[type & kFileTypeMask];
    if (type & 0x40) text += '<';
    return text;
}

const char* layoutName(const ImageInfo& info) {
    if (info.imageType != kTypeD64 || info.trackCount != 40) return "none";
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

int loadForReading(ImageInfo& info) {
    if (info.imageType == kTypeT64) {
        if (int rc = readImageFile(info)) return rc;
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
int listedBlocksFree(const ImageInfo& info) {
    const int last = info.imageType == kTypeD64 ? formatLayout(kTypeD64, false)->trackCount : info.trackCount;
    int free = 0;
    for (int t = 1; t <= last; ++t) {
        std::uint64_t bits = 0;
        int count = 0;
        const auto track = static_cast<std::uint8_t>(t);
        if (track == info.dirTrack || !readBamEntry(info, track, bits, count)) continue;
        for (; bits != 0; bits &= bits - 1) ++free;
    }
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
        entries += "file\t" + std::to_string((file.packSize + 253) / 254) + "\tPRG\t" + file.fileName + "\n";
    }
    text += "files\t" + std::to_string(files) + "\n" + entries;
}

}  // namespace

int describeImage(const char* path, std::string& text) {
    text.clear();
    const std::int32_t type = imageTypeOfPath(path);
    if (type == kTypeNone) return E_UNKNOWN_FORMAT;
    std::unique_ptr<ImageInfo> info = newWorkingImage(path, type);
    if (!info) return E_NO_MEMORY;
    if (int rc = loadForReading(*info)) return rc;
    if (type == kTypeT64) {
        describeTape(*info, text);
        return 0;
    }
    const FormatLayout& layout = *formatLayout(type, info->trackCount == 40);
    text += std::string("format\t") + layout.name + "\n";
    text += "tracks\t" + std::to_string(info->trackCount) + "\n";
    text += std::string("layout\t") + layoutName(*info) + "\n";
    text += std::string("errorbytes\t") + (info->hasErrorInfo ? "1" : "0") + "\n";
    if (const std::uint8_t* header = blockBytes(*info, info->headerTrack, info->headerSector)) {
        text += "title\t" + cbmText(header + layout.titleOffset, kCbmNameLength, type) + "\n";
        text += "id\t" + cbmText(header + layout.idOffset, 2, type) + "\n";
        text += "dos\t" + cbmText(header + layout.dosOffset, 2, type) + "\n";
    }
    int files = 0;
    std::string entries;
    forEachDirEntry(*info, [&](const std::uint8_t* entry) {
        if (entry[kDirEntryType] == kTypeScratched) return;
        ++files;
        const int blocks = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
        entries += "file\t" + std::to_string(blocks) + "\t" + typeText(entry[kDirEntryType]) + "\t" +
                   cbmText(entry + kDirFileName, kCbmNameLength, type) + "\n";
    });
    text += "files\t" + std::to_string(files) + "\n";
    text += "blocksfree\t" + std::to_string(listedBlocksFree(*info)) + "\n";
    text += entries;
    return 0;
}

namespace {

// Who uses each block, as the check walks the image.
struct Usage {
    std::vector<std::string> owner = std::vector<std::string>(kMaxImageBlocks);
    BlockClaims claims;
};

struct Report {
    std::string text;
    int problems = 0;     // of every kind
    int bamProblems = 0;  // those a rebuilt BAM mends
    void add(const char* kind, const std::string& what, bool bam) {
        text += std::string("problem\t") + kind + "\t" + what + "\n";
        ++problems;
        if (bam) ++bamProblems;
    }
};

void use(const ImageInfo& info, Usage& usage, Report& report, int track, int sector, const std::string& owner) {
    const int index = getBlockIndex(info, static_cast<std::uint8_t>(track), static_cast<std::uint8_t>(sector));
    if (index < 0 || index >= kMaxImageBlocks) return;
    std::string& first = usage.owner[static_cast<std::size_t>(index)];
    if (!first.empty() && first != owner)
        report.add("shared", "block " + blockName(track, sector) + " is used by " + first + " and by " + owner, false);
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
            report.add("chain", owner + ": its chain leaves the disk at " + blockName(track, sector), false);
            return false;
        }
        if (!visits.insert(info, t, s)) {
            report.add("chain", owner + ": its chain loops back to " + blockName(track, sector), false);
            return false;
        }
        if (claim) use(info, usage, report, track, sector, owner);
        track = block[kDirLinkTrack];
        sector = block[kDirLinkSector];
    }
    return true;
}

void checkEntry(const ImageInfo& info, Usage& usage, Report& report, const std::uint8_t* entry) {
    const std::uint8_t type = entry[kDirEntryType];
    if (type == kTypeScratched) return;
    const std::string name = "\"" + cbmText(entry + kDirFileName, kCbmNameLength, info.imageType) + "\"";
    const int claimed = entry[kDirBlockCount] | (entry[kDirBlockCount + 1] << 8);
    bool whole = true;
    if ((type & kFileTypeMask) <= (kTypeRel & kFileTypeMask) && entry[kDirStartTrack] != 0)
        whole = walkChain(info, usage, report, entry[kDirStartTrack], entry[kDirStartSector], name, false);
    // Every block of the entry as the writer counts them: its chain, side
    // sectors, GEOS info block and records, a partition's area.
    BlockClaims own;
    claimEntryBlocks(info, own, entry);
    int blocks = 0;
    for (int t = 1; t <= info.trackCount; ++t)
        for (int s = 0; s < getTrackSectorCount(info, static_cast<std::uint8_t>(t)); ++s) {
            if (!blockClaims(info, own, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s))) continue;
            ++blocks;
            use(info, usage, report, t, s, name);
        }
    if (whole && blocks != claimed)
        report.add("count", name + ": the directory says " + std::to_string(claimed) + " blocks, it has " +
                                std::to_string(blocks),
                   false);
}

}  // namespace

int validateImage(const char* path, bool repair, std::string& text) {
    text.clear();
    const std::int32_t type = imageTypeOfPath(path);
    if (type == kTypeNone || type == kTypeT64) return E_NOT_SUPPORTED;
    std::unique_ptr<ImageInfo> info = newWorkingImage(path, type);
    if (!info) return E_NO_MEMORY;
    if (int rc = loadExistingImage(*info, "ValidateImage", repair)) return rc;

    Usage usage;
    Report report;
    use(*info, usage, report, info->headerTrack, info->headerSector, "the header");
    for (int k = 0; k < info->bamBlockCount && k < 4; ++k)
        if (info->bamTrack != info->headerTrack || info->bamSector[k] != info->headerSector)
            use(*info, usage, report, info->bamTrack, info->bamSector[k], "the BAM");
    if (getTrackSectorCount(*info, info->bamTrack2) != 0)
        use(*info, usage, report, info->bamTrack2, info->bamSector[0], "the BAM");
    walkChain(*info, usage, report, info->dirTrack, info->dirSector, "the directory", true);
    forEachDirEntry(*info, [&](const std::uint8_t* entry) { checkEntry(*info, usage, report, entry); });

    // The BAM against what is used, track by track (the D71's second BAM
    // track is the DOS's own, all of it).
    for (int t = 1; t <= info->trackCount; ++t) {
        const auto track = static_cast<std::uint8_t>(t);
        std::uint64_t freeBits = 0;
        int count = 0;
        if (track == info->bamTrack2 || !readBamEntry(*info, track, freeBits, count)) continue;
        std::uint64_t wanted = 0;
        std::string usedButFree, freeButUnused;
        int freeInBits = 0;
        for (int s = 0; s < getTrackSectorCount(*info, track); ++s) {
            const bool used = blockClaims(*info, usage.claims, track, static_cast<std::uint8_t>(s)) != 0;
            const bool free = (freeBits >> s) & 1;
            freeInBits += free ? 1 : 0;
            if (!used) wanted |= std::uint64_t {1} << s;
            if (used && free) usedButFree += " " + blockName(t, s);
            if (!used && !free) freeButUnused += " " + blockName(t, s);
        }
        if (!usedButFree.empty())
            report.add("bam-free", "in use but free in the BAM (the next write would destroy them):" + usedButFree,
                       true);
        if (!freeButUnused.empty()) report.add("bam-used", "marked used but nothing uses them:" + freeButUnused, true);
        if (count != freeInBits)
            report.add("bam-count", "track " + std::to_string(t) + ": the BAM counts " + std::to_string(count) +
                                        " free blocks, its bitmap " + std::to_string(freeInBits),
                       true);
        if (repair) writeBamEntry(*info, track, wanted);
    }
    text = report.text;
    if (repair && report.bamProblems > 0) {
        if (int rc = writeImageFile(*info)) return rc;
        text += "repaired\tthe BAM now marks used exactly the blocks in use\n";
    }
    const int left = repair ? report.problems - report.bamProblems : report.problems;
    return left == 0 ? 0 : E_BAD_ARCHIVE;
}
