// ImageInfo: the one record per image, behind the handle of OpenArchive and
// built privately by PackFiles and DeleteFiles. It owns its buffers.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "core/progress.h"
#include "platform/platform.h"

struct TrackGeometry;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using CBuffer = std::unique_ptr<T, FreeDeleter>;

// Type codes.
constexpr std::int32_t kTypeNone = 0;
constexpr std::int32_t kTypeD64 = 1;
constexpr std::int32_t kTypeD71 = 2;
constexpr std::int32_t kTypeD80 = 3;
constexpr std::int32_t kTypeD82 = 4;
constexpr std::int32_t kTypeD81 = 5;
constexpr std::int32_t kTypeT64 = 6;
// Archives of files besides tapes, numbered apart from the disk formats.
constexpr std::int32_t kTypeLynx = 16;
constexpr std::int32_t kTypePC64 = 17;

// The file a disk model comes from: the disk's blocks as they are, or GCR
// tracks (a G64 of a 1541 disk, a G71 of a 1571 disk), decoded into a D64 or
// D71 model on reading and encoded back on writing.
constexpr std::int32_t kContainerPlain = 0;
constexpr std::int32_t kContainerG64 = 1;

constexpr int kBlockSize = 256;
constexpr int kDirEntrySize = 32;
// Blocks of the largest format (D82); every block index lies below it.
constexpr int kMaxImageBlocks = 4166;
// Far above any image file (a D82 with error bytes is about 1 MiB, tapes
// are smaller still): a larger file is no image and is refused unread.
constexpr std::uint64_t kMaxImageFileSize = 16u << 20;

// One file the listing reported: the record behind it and the name it was
// reported under, which no other listed file shares.
struct ListedEntry {
    std::uint32_t record;       // index into fileEntries (disks) or the slot number (tapes)
    std::uint32_t entryOffset;  // where its directory entry or tape slot lies in imageData
    std::string hostName;
    bool asConvert = false;     // a GEOS file listed and extracted as its Convert file
    bool asPC64 = false;        // extracted as a PC64 file (extractAsPC64)
};

// One file of an archive of files (Lynx, PC64): where its data lie in
// imageData, as the archive's directory claims them.
struct ArchivedFile {
    std::uint8_t name[16];      // the CBM name as stored (fill bytes kept)
    std::uint8_t fileType;      // 0x80..0x84
    std::uint8_t recordLength;  // REL files
    std::uint32_t blocks;       // as the directory states it
    std::uint64_t offset;       // data start; may lie past the end of a damaged archive
    std::uint64_t length;
};

// A disk read from a G64 or G71 file: the file as read, the model as decoded
// and, per block, where its data block starts in its track, so that a write
// re-encodes just the blocks that changed, where they were.
constexpr int kG64ModelBlocks = 1366;  // the larger model: a D71 (a D64 has 802 at most)
constexpr int kG64ModelTracks = 70;
struct G64Source {
    CBuffer<std::uint8_t[]> file;
    std::uint32_t fileSize = 0;
    CBuffer<std::uint8_t[]> decoded;  // kBlockSize x blocks of the model
    std::array<std::uint32_t, kG64ModelBlocks> dataBit {};  // bit offset in the track
    // Per track (index track - 1): its data lies where a rewrite cannot hurt
    // another track or the tables, and every sector decoded once and cleanly.
    std::array<std::uint8_t, kG64ModelTracks> clean {};
};

struct ImageInfo {
    CBuffer<char[]> imageName;
    std::int32_t imageType = kTypeNone;
    // 0 not determined, 1 unrecognised forty-track layout, 2 SpeedDOS, 3 DolphinDOS.
    std::int32_t fortyTrackType = 0;
    CBuffer<std::uint8_t[]> imageData;
    std::int32_t imageSize = 0;
    // Bytes in front of the disk (an X64 header): block addresses start here,
    // and the header is written back as it was.
    std::uint32_t bodyOffset = 0;

    // Listing state (disk images).
    std::uint8_t currTrack = 0;
    std::uint8_t currSector = 0;
    std::uint8_t currEntry = 0;
    std::uint8_t nextTrack = 0;
    std::uint8_t nextSector = 0;
    CBuffer<std::uint8_t[]> fileEntries;  // fileCounter x 32 bytes
    std::int32_t fileCounter = 0;
    std::uint8_t trackCount = 0;
    std::int32_t restartListing = 0;
    bool listingBorder = false;  // past the directory, in a GEOS disk's border block

    // What the listing reported so far (disks and tapes): ProcessFile works on
    // the file the last ReadHeader reported, or finds one by its listed name.
    std::vector<ListedEntry> listed;
    // The names above as the host's file system compares them, each with the
    // next "~n" to try when an entry of that name comes again.
    std::map<std::string, unsigned> listedNameKeys;
    std::int32_t lastReported = -1;        // index into listed; -1 when no file is current
    ProgressSink progress;                 // the host's callback for this handle

    // Tape state (T64): offsets into imageData.
    std::uint32_t tapeEntries = 0;
    std::uint32_t tapeData = 0;
    std::uint16_t tapeMaxFiles = 0;
    std::uint16_t tapeSlot = 0;
    std::int32_t tapeSize = 0;

    // Archives of files (Lynx, PC64): their directory as read at opening,
    // the next one to list, and how the listing ends once all are listed
    // (10, or 18 when the directory promised more than it holds).
    std::vector<ArchivedFile> archived;
    std::uint32_t archivedNext = 0;
    std::int32_t archivedEnd = 10;

    // Directory blocks the listing has passed, by block index: a chain that
    // comes back to one of them ends the listing.
    std::array<std::uint8_t, kMaxImageBlocks> dirBlockVisits = {};
    std::uint8_t dirTrack = 0;
    std::uint8_t dirSector = 0;
    std::uint8_t bamTrack2 = 0;
    std::uint8_t headerTrack = 0;
    std::uint8_t headerSector = 0;
    std::uint8_t bamTrack = 0;
    std::uint8_t bamSector[4] = {};
    std::uint8_t bamBlockCount = 0;
    // D80/D82: the tracks BAM block k covers, bamFirstTrack[k] up to before
    // bamEndTrack[k], as the image states them (readStatedBamTracks). All
    // zero: the format's fixed layout.
    std::uint8_t bamFirstTrack[4] = {};
    std::uint8_t bamEndTrack[4] = {};
    const TrackGeometry* geometry = nullptr;
    std::int32_t hasErrorInfo = 0;
    const std::uint8_t* errorInfo = nullptr;  // inside imageData

    std::int32_t container = kContainerPlain;
    std::unique_ptr<G64Source> g64;  // set once a G64 file is read

    // A writer's hold on the image file, from its reading to its replacing
    // (readImageFile for writing takes it, writeImageFile releases it).
    std::unique_ptr<platform::WriteLock> writeLock;
};

// A zero-filled record, or null when memory is exhausted.
inline std::unique_ptr<ImageInfo> newImageInfo() {
    return std::unique_ptr<ImageInfo>(new (std::nothrow) ImageInfo{});
}
