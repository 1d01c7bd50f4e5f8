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

// A buffer from malloc/calloc, freed by its owner. A folder's view of an
// image (see ImageInfo::folders) borrows its parent's bytes through the same
// type with `owned` false, so every function keeps reading imageData and
// nothing but the parent ever frees them.
struct FreeDeleter {
    bool owned = true;
    void operator()(void* p) const noexcept {
        if (owned) std::free(p);
    }
};
template <class T>
using CBuffer = std::unique_ptr<T, FreeDeleter>;
template <class T>
CBuffer<T> borrowedBuffer(typename CBuffer<T>::pointer bytes) {
    return CBuffer<T>(bytes, FreeDeleter {false});
}

// Type codes.
constexpr std::int32_t kTypeNone = 0;
constexpr std::int32_t kTypeD64 = 1;
constexpr std::int32_t kTypeD71 = 2;
constexpr std::int32_t kTypeD80 = 3;
constexpr std::int32_t kTypeD82 = 4;
constexpr std::int32_t kTypeD81 = 5;
constexpr std::int32_t kTypeT64 = 6;
// A CMD native partition: a DNP file, or a native partition inside a CMD FD
// image (tracks of 256 sectors, subdirectories).
constexpr std::int32_t kTypeDNP = 7;
// CMD FD images: a partition table in the last cylinder, each partition a
// folder (a native partition, or a 1541/1571/1581 disk at an offset).
constexpr std::int32_t kTypeD1M = 8;
constexpr std::int32_t kTypeD2M = 9;
constexpr std::int32_t kTypeD4M = 10;
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
// Blocks of the largest volume (a native partition of 255 tracks of 256
// sectors); every block index of a volume lies below it.
constexpr int kMaxImageBlocks = 255 * 256;
// Above any image file (the largest, a DNP of 255 tracks, is 16,711,680
// bytes): a larger file is no image and is refused unread.
constexpr std::uint64_t kMaxImageFileSize = 16u << 20;

struct ImageInfo;
int getBlockIndex(const ImageInfo& info, std::uint8_t track, std::uint8_t sector);

// A set of blocks by block index: the visit table of a chain walk (a bit a
// block, 8 KiB, so walks may keep one on the stack).
struct BlockSet {
    std::array<std::uint64_t, (kMaxImageBlocks + 63) / 64> bits {};
    bool contains(int index) const {
        return index >= 0 && index < kMaxImageBlocks &&
               ((bits[static_cast<std::size_t>(index) / 64] >> (index % 64)) & 1) != 0;
    }
    // False when the block was in the set already or has no index.
    bool add(int index) {
        if (index < 0 || index >= kMaxImageBlocks || contains(index)) return false;
        bits[static_cast<std::size_t>(index) / 64] |= std::uint64_t {1} << (index % 64);
        return true;
    }
    bool insert(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
        return add(getBlockIndex(info, track, sector));
    }
    void clear() { bits.fill(0); }
};

// One file the listing reported: the record behind it and the name it was
// reported under, which no other listed file shares.
struct ListedEntry {
    std::uint32_t record;       // index into fileEntries (disks) or the slot number (tapes)
    std::uint32_t entryOffset;  // where its directory entry or tape slot lies in imageData
    std::string hostName;       // in a folder: the folder's path, the host's separator, the name
    bool asConvert = false;     // a GEOS file listed and extracted as its Convert file
    bool asPC64 = false;        // extracted as a PC64 file (extractAsPC64)
    std::uint32_t volume = 0;   // 0: the image itself; k: its folder k - 1 (ImageInfo::folders)
    bool folder = false;        // a directory entry: the folder `child` (folders[child - 1])
    std::uint32_t child = 0;
    bool raw = false;           // a partition's bytes as one file: archived[record]
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
    // comes back to one of them ends the listing. Made when a listing starts.
    std::unique_ptr<BlockSet> dirBlockVisits;
    std::uint8_t dirTrack = 0;
    std::uint8_t dirSector = 0;
    std::uint8_t bamTrack2 = 0;
    std::uint8_t headerTrack = 0;
    std::uint8_t headerSector = 0;
    std::uint8_t bamTrack = 0;
    std::uint8_t bamSector[4] = {};
    std::uint8_t bamBlockCount = 0;
    // The BAM blocks are a run from bamSector[0] (a native partition's 32),
    // not the listed sectors.
    bool bamRun = false;
    // The track the DOS keeps for header, BAM and directory, where files go
    // last (or only with useDirTrack); 0 for none (a native partition).
    std::uint8_t systemTrack = 0;
    // A 1581 sub-disk: the tracks of its area; its BAM keeps no entry for the
    // others. 0: every track of the disk.
    std::uint8_t areaFirstTrack = 0, areaLastTrack = 0;
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

    // Folders, in the image the exports opened: a CMD FD image's partitions,
    // a native partition's subdirectories, a 1581 disk's sub-disks. Each is
    // a view of this image's bytes (imageData borrowed, bodyOffset its
    // start), so reader and writer functions work on it as on any disk and
    // the image is written back once, whole. Entry offsets stay offsets into
    // this image's bytes. A view lives in `folders` of the image the exports
    // opened, so it never outlives the bytes it borrows.
    std::vector<std::unique_ptr<ImageInfo>> folders;
    ImageInfo* parentFolder = nullptr;  // a view: the volume its entry stands in (null: a top volume)
    std::uint32_t folderEntry = 0;      // a view: offset of the entry that makes it a folder
    std::string folderPath;             // a view: its listed path (no separator at the end)
    int folderDepth = 0;
    // The listing's walk into folders: folder numbers (1-based), innermost last.
    std::vector<std::uint32_t> listingFolders;
    // A folder whose directory could not be read to its end: the listing
    // goes on with the others and ends with this (18) instead of 10.
    std::int32_t listingError = 0;
    // Directory headers (native) or areas (sub-disks) entered, against a
    // folder that holds itself.
    std::unique_ptr<BlockSet> foldersEntered;
    // A writing call has checked this BAM and marked its blocks in use used.
    bool writePrepared = false;
    // A writer's hold on the image file, from its reading to its replacing
    // (readImageFile for writing takes it, writeImageFile releases it).
    std::unique_ptr<platform::WriteLock> writeLock;
};

// A zero-filled record, or null when memory is exhausted.
inline std::unique_ptr<ImageInfo> newImageInfo() {
    return std::unique_ptr<ImageInfo>(new (std::nothrow) ImageInfo{});
}
