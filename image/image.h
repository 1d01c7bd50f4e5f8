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
    // The track the DOS keeps for itself (ImageInfo::systemTrack); 0 for none.
    std::uint8_t systemTrack;
    // The BAM blocks are bamBlockCount blocks in a row from bamSector[0].
    bool bamRun;
    // The track count is the image's own (a native partition's BAM states
    // it); trackCount and size are the largest.
    bool variableTracks;
    // Sectors at the start of track 1 kept for the DOS (header, BAM, root
    // directory): no file goes there, and blocks free leave them out.
    std::uint8_t reservedSectors;
};

// A CMD FD image: its blocks in order, the system partition on the last
// cylinder (the device block at +5 with the signature, the partition
// directory at +8 to +11, four blocks of eight 32-byte entries).
struct FdLayout {
    std::int32_t imageType;
    const char* name;        // "D1M" ...
    std::uint32_t blocks;    // of the whole image, error bytes aside
    std::uint32_t systemBlock;
};
constexpr int kFdDeviceBlock = 5;
constexpr int kFdSignatureOffset = 0xF0;
constexpr int kFdDefaultPartition = 0xE2;  // in the device block
constexpr char kFdSignature[] = "CMD FD SERIES   ";
constexpr int kFdPartitionBlock = 8;
constexpr int kFdPartitionBlocks = 4;
constexpr int kFdPartitions = 32;
// In a partition directory entry.
constexpr int kFdPartitionType = 2;
constexpr int kFdPartitionName = 5;
constexpr int kFdPartitionStart = 0x15;  // three bytes, MSB first, in 512-byte units
constexpr int kFdPartitionSize = 0x1D;   // three bytes, MSB first, in 512-byte units
constexpr std::uint32_t kFdUnit = 512;
const FdLayout* fdLayout(std::int32_t imageType);
// The image writes: a disk format or a CMD FD image.
bool isWritableType(std::int32_t imageType);

// A native partition: header 1/1, BAM 1/2 to 1/33 (the first block states
// the last track at byte 8), root directory from 1/34; tracks of 256 blocks.
constexpr std::uint32_t kNativeTrackBytes = 256 * 256;
constexpr int kNativeLastTrack = 8;
constexpr std::uint8_t kNativeHeaderMark = 'H';
constexpr std::uint8_t kNativeBamMark = 0xB7;  // 'H' xor 0xFF
// The tracks a native partition of this many bytes holds: the BAM's last
// track, never past the bytes (0 when it holds no whole track).
int nativeTrackCount(const std::uint8_t* partition, std::uint64_t bytes);

// In a D80/D82 BAM block: the first track it covers and the one after its last.
constexpr int kBamFirstTrack = 4;
constexpr int kBamEndTrack = 5;

// Layout row of an image type; D64 has three (35, 40 and 42 tracks). Null for
// types that are no disk format (tapes, archives, CMD FD images).
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
// Sectors of the track (256 on a native partition); 0 for none.
int getTrackSectorCount(const ImageInfo& info, std::uint8_t track);
// BAM block k of the image (0 to bamBlockCount - 1), and their number.
inline std::uint8_t bamBlockSector(const ImageInfo& info, int k) {
    return info.bamRun ? static_cast<std::uint8_t>(info.bamSector[0] + k) : info.bamSector[k & 3];
}
inline int bamBlockTotal(const ImageInfo& info) {
    return info.bamRun ? info.bamBlockCount : (info.bamBlockCount < 4 ? info.bamBlockCount : 4);
}
// Sectors at the start of track 1 no file takes (a native partition's 64).
int reservedSectors(const ImageInfo& info, std::uint8_t track);
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

// Adds the header and BAM blocks to the set.
void markHeaderAndBamBlocks(const ImageInfo& info, BlockSet& seen);

// The visit table of a directory walk: the header and BAM blocks count as
// passed already, so a directory whose chain runs into one of them ends
// there, as a chain that comes back on itself does (a new entry written
// into such a block would wreck the BAM).
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
    const char* kind = "";          // "D64", "G64", "G71", "X64", "T64", "LNX", "PC64", "DNP", "D1M" ...
    std::int32_t container = kContainerPlain;  // kContainerG64: GCR tracks of a D64 or D71
};
// head: the file's first bytes (up to kDetectHeadSize), size: the whole size;
// fdSignature: the 16 bytes where a CMD FD image of that size keeps its
// signature (fdSignatureOffset), null when not read.
DetectedType detectContent(const std::uint8_t* head, std::size_t headSize, std::uint64_t size,
                           const std::uint8_t* fdSignature = nullptr);
// Where a CMD FD image of this size keeps its signature; 0 for no such size.
std::uint64_t fdSignatureOffset(std::uint64_t size);
// The type a file is opened as: its content where that tells (a name that
// says otherwise is logged), else its name. bodyOffset is set for an X64,
// container (when given) to kContainerG64 for a G64 or G71 under any name, or
// for a .g64 or .g71 name whose content tells nothing (a new image). Reads no more than
// the file's first kDetectHeadSize bytes.
std::int32_t imageTypeOfFile(const char* path, std::uint32_t& bodyOffset, std::int32_t* container = nullptr);
// The same from bytes already read: head is the file's start (null when the
// file could not be read: the name alone decides), size its whole size.
// fdSignature: as detectContent takes it.
std::int32_t imageTypeOfContent(const char* path, const std::uint8_t* head, std::size_t headSize, std::uint64_t size,
                                std::uint32_t& bodyOffset, std::int32_t* container,
                                const std::uint8_t* fdSignature = nullptr);
// Where the directory of a Lynx archive starts: after the BASIC loader's
// end (its zero link); 0 when the line links do not lead there within size.
std::size_t lynxDirectoryStart(const std::uint8_t* data, std::size_t size);
// True when the content alone makes the file one of ours.
bool isOurContent(const char* path);
