// G64 and G71 files, a 1541's or 1571's tracks as GCR bits: the codec of one
// track (image/gcr.cpp) and the file around the tracks (image/g64.cpp), which
// is decoded into the D64 or D71 model that the reader and the writer use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/image_info.h"

// --- GCR ---

constexpr std::size_t kGcrHeaderBytes = 10;   // 8 bytes: 0x08, checksum, sector, track, ID2, ID1, 0x0F, 0x0F
constexpr std::size_t kGcrDataBytes = 325;    // 260 bytes: 0x07, the block, checksum, 0x00, 0x00
// The drive's errors as a D64's error bytes hold them (1 no error, 2 for
// 20, 3 for 21 ...), so that the decoded model is a D64 like any other.
constexpr std::uint8_t kErrorOk = 1;
constexpr std::uint8_t kErrorNoHeader = 2;        // 20
constexpr std::uint8_t kErrorNoSync = 3;          // 21
constexpr std::uint8_t kErrorNoData = 4;          // 22
constexpr std::uint8_t kErrorDataChecksum = 5;    // 23
constexpr std::uint8_t kErrorHeaderChecksum = 9;  // 27

// A track as the drive sees it: a loop of length bytes, most significant bit
// first.
struct GcrTrack {
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
};

// Groups of 4 bytes into groups of 5 GCR bytes, and back. Decoding is false
// when a quintuple of the first checkedBytes bytes is no GCR code (its
// nybble becomes 0 wherever it stands).
void gcrEncode(const std::uint8_t* in, std::size_t groups, std::uint8_t* out);
bool gcrDecode(const std::uint8_t* in, std::size_t groups, std::uint8_t* out, std::size_t checkedBytes = SIZE_MAX);

// Bit offsets where a block starts: the first 0 bit after 10 or more 1 bits
// (the run may wrap from the end of the track to its start).
std::vector<std::uint32_t> findSyncs(const GcrTrack& track);
// Bytes from a bit offset on, wrapping at the end of the track.
void readTrackBits(const GcrTrack& track, std::uint32_t bit, std::uint8_t* out, std::size_t bytes);
void writeTrackBits(std::uint8_t* track, std::uint32_t length, std::uint32_t bit, const std::uint8_t* in,
                    std::size_t bytes);

// One track decoded: per sector its error code (kErrorOk or the drive's) and
// where its data block starts; clean when every sector was found once with
// both checksums right, no other header stood on the track, and each data
// block ends before the next sync (a rewrite cannot reach another block).
struct TrackDecode {
    std::uint8_t error[21];
    std::uint32_t dataBit[21];
    bool clean;
    bool anyHeader;  // at least one sound header of this track
};
// blocks: sectors x 256 bytes, filled where the data block could be read.
void decodeTrack(const GcrTrack& track, std::uint8_t trackNumber, std::uint8_t sectors, std::uint8_t* blocks,
                 TrackDecode& out);

// The data block of one sector, in GCR.
void encodeDataBlock(const std::uint8_t* block, std::uint8_t* gcr);
// A freshly formatted track as a 1541 writes one: per sector a sync, the
// header, 9 gap bytes, a sync, the data block, then the gap that fills the
// track's length evenly.
void encodeTrack(std::uint8_t* out, std::uint32_t length, std::uint8_t trackNumber, std::uint8_t sectors,
                 const std::uint8_t* blocks, std::uint8_t id1, std::uint8_t id2);

// --- the G64 and G71 file ---

// kContainerG64 for a path ending in .g64 or .g71, else kContainerPlain.
std::int32_t imageContainerOfPath(const char* path);

// info.imageData holds the G64 or G71 file as read (info.imageType kTypeD64
// or kTypeD71, as its signature says): it becomes the model, a D64 of 35
// tracks (40 or 42 when a sector of tracks 36-40 or 41-42 has a header) or a
// D71, with an error table when a block could not be read. The file goes to
// info.g64. 0, or 14/12/11 after logging.
int decodeG64Image(ImageInfo& info);

// The G64 or G71 file of info's model: the one read with just the changed
// blocks re-encoded in place (24 when a changed block lies on a track that is
// not clean), or a new standard one. Decoded again before it is handed out: a
// block that does not come back as the model holds it is a failure. 0, or
// 24/19/11 after logging.
int encodeG64Image(const ImageInfo& info, CBuffer<std::uint8_t[]>& out, std::uint32_t& size);
