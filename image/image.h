// The disk image model: formats and geometry, fixed block positions, sector
// addressing with error bytes, and forty-track layout recognition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/image_info.h"

struct TrackGeometry {
    std::uint32_t sectors;
    std::uint32_t offset;
};

// One row per disk format (and per D64 track count): sizes and the fixed
// block positions.
struct FormatLayout {
    std::int32_t imageType;
    const char* name;            // "D64" ...
    std::uint8_t trackCount;
    std::uint16_t blockCount;
    std::uint32_t size;          // without error bytes
    const TrackGeometry* geometry;
    std::uint8_t dirTrack, dirSector;
    std::uint8_t bamTrack2;
    std::uint8_t headerTrack, headerSector;
    std::uint8_t bamTrack;
    std::uint8_t bamSector[4];
    std::uint8_t bamBlockCount;
    // In the header block: the 16-byte title, the 2-byte ID and the 2-byte
    // DOS type (fill bytes 0xA0 between them).
    std::uint8_t titleOffset, idOffset, dosOffset;
    // D80/D82: each BAM block states the tracks it covers (kBamFirstTrack,
    // kBamEndTrack), at most this many; 0 where the layout is fixed.
    std::uint8_t bamBlockTracks;
    // The tracks of the narrower disk the same drive also writes (an 8250
    // writes 8050 disks); 0 for none.
    std::uint8_t narrowTracks;
};

// In a D80/D82 BAM block: the first track it covers and the one after its last.
constexpr int kBamFirstTrack = 4;
constexpr int kBamEndTrack = 5;

// Layout row of an image type; D64 has three (35, 40 and 42 tracks). Null for
// types outside 1 to 5.
const FormatLayout* formatLayout(std::int32_t imageType, bool fortyTracks = false);
// The row of a disk of that type and track count (a D64's 35, 40 or 42); the
// type's first row for any other count, null for no disk type.
const FormatLayout* diskLayout(std::int32_t imageType, int tracks);

// Text of an error byte value for the log ("" above 12).
const char* errorByteText(unsigned value);

// Type code from the text after the last '.' of a file name.
std::int32_t getImageTypeFromName(const char* extension);
// The file type a PC64 extension names (p00 -> 0x82, s05 -> 0x81, u, r, d),
// 0 for any other extension (the disk formats' d64 ... among them).
std::uint8_t pc64FileType(const char* extension);
bool isLynxExtension(const char* extension);
// The disk format of an image file of this size, with or without error
// bytes; 0 for none.
std::int32_t diskTypeOfSize(std::uint64_t size, bool& errorBytes);
// Type from a whole path (0 when the name has no '.').
std::int32_t imageTypeOfPath(const char* path);
// Sets trackCount, hasErrorInfo and errorInfo from imageSize; 0 when the
// image is too small for its type.
int checkImageSize(ImageInfo& info);
void setDiskInitBasicValues(ImageInfo& info);
void setDiskInitValues(ImageInfo& info);
// D80/D82, once the image's bytes are in: the tracks each BAM block states
// it covers go to bamFirstTrack/bamEndTrack, and bamBlockCount becomes the
// number of blocks in that run. Ranges no drive writes leave the format's
// fixed layout in force (with a warning). Nothing happens for other formats.
void readStatedBamTracks(ImageInfo& info);
std::uint8_t getTrackSectorCount(const ImageInfo& info, std::uint8_t track);
// Blocks of the disk (its tracks, error bytes aside).
int getDiskBlockCount(const ImageInfo& info);

// Sector addressing. 0 = done, -1 = outside the image, 2..255 = error byte.
// The block's bytes whatever its error byte says; null when it does not lie
// wholly inside the image. For walks that must see what the image holds
// (which blocks a file occupies), not for reading a file's data.
std::uint8_t* blockBytes(const ImageInfo& info, std::uint8_t track, std::uint8_t sector);
int GetDiskSectorAddr(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint8_t** address);
int GetDiskSector(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint8_t* destination);
int getBlockIndex(const ImageInfo& info, std::uint8_t track, std::uint8_t sector);

// Tracks past these of a D64 need a layout that describes them.
constexpr int kStandardD64Tracks = 35;
// Forty- and 42-track D64 layouts: 1 = recognised (fortyTrackType 2 or 3), so
// that every track of the image has its BAM entry.
int checkD64Valid40Track(ImageInfo& info);

// Marks the header and BAM blocks in a table of kMaxImageBlocks bytes.
void markHeaderAndBamBlocks(const ImageInfo& info, std::uint8_t* seen);

// A set of blocks by block index: the visit table of a chain walk.
struct BlockSet {
    // One bit a block: a walk per listed file clears 66 words, not 4 KiB.
    std::array<std::uint64_t, (kMaxImageBlocks + 63) / 64> words {};
    bool contains(int index) const {
        return index >= 0 && index < kMaxImageBlocks &&
               (words[static_cast<std::size_t>(index) / 64] >> (index % 64) & 1) != 0;
    }
    // False when the block was in the set already or has no index.
    bool insert(const ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
        const int index = getBlockIndex(info, track, sector);
        if (index < 0 || index >= kMaxImageBlocks) return false;
        std::uint64_t& word = words[static_cast<std::size_t>(index) / 64];
        const std::uint64_t bit = std::uint64_t {1} << (index % 64);
        if (word & bit) return false;
        word |= bit;
        return true;
    }
};

// The visit table of a directory walk: the header and BAM blocks count as
// passed already, so a directory whose chain runs into one of them ends
// there, as a chain that comes back on itself does (a new entry written
// into such a block would wreck the BAM).
void markHeaderAndBamBlocks(const ImageInfo& info, BlockSet& set);
inline BlockSet directoryVisits(const ImageInfo& info) {
    BlockSet set;
    markHeaderAndBamBlocks(info, set);
    return set;
}

// --- what a file holds, from its first bytes and its size ---
constexpr std::uint32_t kX64HeaderSize = 64;
// Bytes of a file's start that detection reads at most.
constexpr std::size_t kDetectHeadSize = 1024;
struct DetectedType {
    std::int32_t type = kTypeNone;  // kTypeNone: the content does not tell
    std::uint32_t bodyOffset = 0;   // an X64's header
    const char* kind = "";          // "D64", "G64", "G71", "X64", "T64", "LNX", "PC64" ...
    std::int32_t container = kContainerPlain;  // kContainerG64: GCR tracks of a D64 or D71
};
// head: the file's first bytes (up to kDetectHeadSize), size: the whole size.
DetectedType detectContent(const std::uint8_t* head, std::size_t headSize, std::uint64_t size);
// The type a file is opened as: its content where that tells (a name that
// says otherwise is logged), else its name. bodyOffset is set for an X64,
// container (when given) to kContainerG64 for a G64 or G71 under any name, or
// for a .g64 or .g71 name whose content tells nothing (a new image). Reads no more than
// the file's first kDetectHeadSize bytes.
std::int32_t imageTypeOfFile(const char* path, std::uint32_t& bodyOffset, std::int32_t* container = nullptr);
// The same from bytes already read: head is the file's start (null when the
// file could not be read: the name alone decides), size its whole size.
std::int32_t imageTypeOfContent(const char* path, const std::uint8_t* head, std::size_t headSize, std::uint64_t size,
                                std::uint32_t& bodyOffset, std::int32_t* container);
// Where the directory of a Lynx archive starts: after the BASIC loader's
// end (its zero link); 0 when the line links do not lead there within size.
std::size_t lynxDirectoryStart(const std::uint8_t* data, std::size_t size);
// True when the content alone makes the file one of ours.
bool isOurContent(const char* path);
