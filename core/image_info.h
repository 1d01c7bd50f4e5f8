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
};

struct ImageInfo {
    CBuffer<char[]> imageName;
    std::int32_t imageType = kTypeNone;
    // 0 not determined, 1 unrecognised forty-track layout, 2 SpeedDOS, 3 DolphinDOS.
    std::int32_t fortyTrackType = 0;
    CBuffer<std::uint8_t[]> imageData;
    std::int32_t imageSize = 0;

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
    const TrackGeometry* geometry = nullptr;
    std::int32_t hasErrorInfo = 0;
    const std::uint8_t* errorInfo = nullptr;  // inside imageData
};

// A zero-filled record, or null when memory is exhausted.
inline std::unique_ptr<ImageInfo> newImageInfo() {
    return std::unique_ptr<ImageInfo>(new (std::nothrow) ImageInfo{});
}
