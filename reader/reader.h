// Reading images: directory listing, extraction, tape images and the
// conversions between CBM names and host names. Never writes an image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/image_info.h"

// Directory entry fields (offsets within the 32-byte entry).
constexpr int kDirLinkTrack = 0;
constexpr int kDirLinkSector = 1;
constexpr int kDirEntryType = 2;
constexpr int kDirStartTrack = 3;
constexpr int kDirStartSector = 4;
constexpr int kDirFileName = 5;
constexpr int kDirBlockCount = 30;
constexpr int kCbmNameLength = 16;
constexpr int kEntriesPerBlock = 8;

constexpr std::uint8_t kTypeScratched = 0x00;
constexpr std::uint8_t kTypeDel = 0x80;
constexpr std::uint8_t kTypeSeq = 0x81;
constexpr std::uint8_t kTypePrg = 0x82;
constexpr std::uint8_t kTypeUsr = 0x83;
constexpr std::uint8_t kTypeRel = 0x84;

constexpr std::uint8_t kDiskNamePad = 0xA0;
constexpr std::uint8_t kTapeNamePad = 0x20;

// Room for the longest host name the listing makes: 16 name characters (two
// bytes each where the host writes 0xA0 as UTF-8), an extension, a zero.
#ifdef _WIN32
constexpr std::size_t kRequestNameSize = 30;
#else
constexpr std::size_t kRequestNameSize = 40;
#endif

// What the listing reports of one file; the frame turns it into the host's
// header record.
struct ListedFile {
    char fileName[260];
    std::int32_t packSize;
    std::int32_t unpSize;
    bool hidden;
};

// --- names ---
void trimNamePad(std::uint8_t* name, int length, std::int32_t imageType);
void convert(std::uint8_t* name, int length);
void appendTypeExtension(char* hostName, std::uint8_t fileType);
void hostToPetscii(std::uint8_t* name, std::size_t length);
// The host name of a converted entry name (at most 16 bytes, ends at a zero):
// name plus type extension, in the host's encoding. False when it does not fit.
bool buildHostName(const std::uint8_t* convertedName, std::uint8_t fileType, char* out, std::size_t outSize);
// The name ProcessFile searches for; false when it does not fit.
bool buildRequestName(const char* destPath, const char* destName, char* out, std::size_t outSize);

// A host name split into a CBM name and a file type, as files are added.
struct CbmName {
    std::uint8_t name[kCbmNameLength];  // 0xA0-filled
    std::uint8_t fileType;              // 0x82 or 0x81
};
void splitHostNameForAdding(const char* hostName, CbmName& out);
// As files are deleted: true only for a ".prg" or ".seq" name; the mapped
// name without its extension goes to out (zero-terminated, at most 99 bytes).
bool splitHostNameForDeleting(const char* mappedName, char* out, std::size_t outSize, std::uint8_t& fileType);

// --- listing ---
// 0 reported, 10 end, 18 unreadable or cyclic directory, 11 no memory.
int readDiskHeader(ImageInfo& info, ListedFile& file);
std::int32_t getActualFileLength(const ImageInfo& info, std::uint8_t track, std::uint8_t sector,
                                 std::uint16_t blockCount);

// --- extraction ---
// 0 done, 22 not listed, 19 output failure, 18 unreadable or cyclic chain.
int extractDiskFile(const ImageInfo& info, const char* destPath, const char* destName);
// Reads the file's chain as extraction would, writing nothing: 0, 22 or 18.
int testDiskFile(const ImageInfo& info, const char* destPath, const char* destName);

// --- tape images ---
void logTapeHeader(const ImageInfo& info);
void initTapeState(ImageInfo& info);
int readTapeHeader(ImageInfo& info, ListedFile& file);
int extractTapeFile(const ImageInfo& info, const char* destPath, const char* destName);
// 0 when the tape holds a file of that name (its data are clipped to the
// image, so they always read), else 22.
int testTapeFile(const ImageInfo& info, const char* destPath, const char* destName);
