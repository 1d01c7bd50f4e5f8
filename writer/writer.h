// Writing images: the block availability map (BAM), block allocation,
// directory growth, new images, adding and deleting files.
#pragma once

#include <cstdint>
#include <string>

#include "core/image_info.h"
#include "reader/reader.h"

// --- block availability map ---
// One bit per sector of a track (up to 256, a native partition's).
struct SectorBits {
    std::uint64_t words[4] = {};
    bool test(int s) const { return s >= 0 && s < 256 && ((words[s / 64] >> (s % 64)) & 1) != 0; }
    void set(int s) {
        if (s >= 0 && s < 256) words[s / 64] |= std::uint64_t {1} << (s % 64);
    }
    void reset(int s) {
        if (s >= 0 && s < 256) words[s / 64] &= ~(std::uint64_t {1} << (s % 64));
    }
    int count() const {
        int n = 0;
        for (std::uint64_t w : words)
            for (; w != 0; w &= w - 1) ++n;
        return n;
    }
    bool any() const { return (words[0] | words[1] | words[2] | words[3]) != 0; }
    // These bits without those of other.
    SectorBits without(const SectorBits& other) const {
        SectorBits out;
        for (int i = 0; i < 4; ++i) out.words[i] = words[i] & ~other.words[i];
        return out;
    }
    SectorBits with(const SectorBits& other) const {
        SectorBits out;
        for (int i = 0; i < 4; ++i) out.words[i] = words[i] | other.words[i];
        return out;
    }
};
constexpr int kMarkUsed = 1;
constexpr int kMarkFree = 2;
std::uint8_t IsTrackFree(const ImageInfo& info, std::uint8_t track);
std::uint8_t IsSectorFree(const ImageInfo& info, std::uint8_t track, std::uint8_t sector);
void markSector(ImageInfo& info, std::uint8_t track, std::uint8_t sector, int mode);
inline void markSectorUsed(ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    markSector(info, track, sector, kMarkUsed);
}
inline void markSectorFree(ImageInfo& info, std::uint8_t track, std::uint8_t sector) {
    markSector(info, track, sector, kMarkFree);
}
std::int32_t getFreeDataBlocksOnDisk(const ImageInfo& info);
std::int32_t getFreeDirBlocksOnDisk(const ImageInfo& info);
// A track's BAM entry as it stands: the free bits of its sectors and the
// count (a native partition keeps none: its free bits); false when the image
// keeps no entry for the track.
bool readBamEntry(const ImageInfo& info, std::uint8_t track, SectorBits& freeBits, int& count);
// Writes a track's entry: these sectors free, the count to match.
bool writeBamEntry(ImageInfo& info, std::uint8_t track, const SectorBits& freeBits);
// Blocks the allocator can really hand out (of the directory track alone, or
// of every other track): per track the lesser of its count and its free bits.
std::int32_t getAllocatableBlocks(const ImageInfo& info, bool dirTrackOnly);

// --- block allocation ---
// Where one allocator call stands: its arguments and the position reached.
// Limits are ints: the track after a native partition's 255th is 256.
struct BlockCursorRecord {
    std::uint8_t lowestTrack;
    int trackLimit;
    int prevLimit;
    std::uint8_t dirTrack;
    std::uint8_t skipTrack;
    std::uint8_t interleave;
    std::uint8_t track;
    std::uint8_t sector;
};

std::uint8_t getInterleave(const ImageInfo& info, int purpose);
std::uint8_t GetCopyBlock(const ImageInfo& info, std::uint8_t lowestTrack, int trackLimit, int prevLimit, std::uint8_t dirTrack, std::uint8_t skipTrack,
                          std::uint8_t interleave, std::uint8_t prevTrack, std::uint8_t prevSector,
                          std::uint8_t* outTrack, std::uint8_t* outSector);
std::uint8_t GetCopyBlockT1(const ImageInfo& info, std::uint8_t lowestTrack, int trackLimit, int prevLimit, std::uint8_t dirTrack, std::uint8_t skipTrack,
                            std::uint8_t interleave, std::uint8_t prevTrack, std::uint8_t prevSector,
                            std::uint8_t* outTrack, std::uint8_t* outSector);

// --- directory entries ---
std::int32_t getFreeDirEntryCount(const ImageInfo& info);
std::uint8_t* getFreeDirEntry(ImageInfo& info);

// A block of the directory, the header or the BAM that a file with blocks
// also claims (its chain, side sectors, GEOS info block or records): any
// write there would change that file. The directory's blocks are tried in
// the order it is walked, then the header and BAM; entry: the first file
// that claims the block.
struct SharedBlock {
    std::uint8_t track = 0;
    std::uint8_t sector = 0;
    bool inDirectory = false;
    const std::uint8_t* entry = nullptr;
};
bool findSharedSystemBlock(const ImageInfo& info, SharedBlock& shared);

// --- new images ---
void allocDiskImage(ImageInfo& info);
void initDiskImage(ImageInfo& info);

// --- adding and deleting files (the PackFiles and DeleteFiles exports) ---
// Where the allocator stands within one file: the block written last (track
// 0 before the first), so that all chains of a GEOS file follow one path.
struct ChainCursor {
    std::uint8_t track = 0;
    std::uint8_t sector = 0;
};
// Writes data into a chain of `blocks` newly allocated blocks; the first
// block's track and sector go to link[0] and link[1] (a directory entry's
// start, a GEOS info or record pointer). 0, or 11 when no block is left.
int writeChain(ImageInfo& info, std::uint8_t* link, const std::uint8_t* data, std::uint32_t size,
               std::int32_t blocks, ChainCursor& cursor);

// A Convert file as it is added: what its first bytes and its size say.
struct ConvertLayout {
    bool vlir = false;
    std::int32_t blocks = 0;                        // info block, index block and data
    std::uint8_t entry[kConvertEntryBytes] = {};    // directory entry bytes 2-31
    std::uint8_t table[kConvertBlock] = {};         // VLIR: the record table
    int records = 0;                                // table pairs before its end
};
// The host name ends in ".cvt" (lower case, as ".prg" and ".seq").
bool isConvertName(const char* hostName);
// Reads the layout from the file's first `available` bytes (at least its
// first kConvertVlirDataOffset, or all of a shorter file) and its size:
// false unless it is a Convert file whose table matches its length.
bool readConvertLayout(const std::uint8_t* data, std::uint32_t available, std::uint32_t fileSize,
                       ConvertLayout& layout);
// Writes a checked Convert file (all of it in data) as a GEOS file into a
// cleared directory entry: info block, index block, records or data chain.
int writeGeosFile(ImageInfo& info, std::uint8_t* entry, const std::uint8_t* data, std::uint32_t size,
                  const ConvertLayout& layout);

// --- REL files (writer/rel.cpp) ---
// Whether the format keeps a super side sector in front of a REL file's side
// sectors: the 1581's D81 and, as VICE writes it, the 8250's D82.
bool usesSuperSideSector(const ImageInfo& info);
// Blocks a REL file of `size` bytes of records takes: its data blocks (at
// least one), side sectors and super side sector; -1 when the record length
// is 0 or 255 or its side sectors cannot list that many data blocks (720
// without a super side sector).
std::int32_t relFileBlocks(std::uint32_t size, std::uint8_t recordLength, bool superSideSector);
// Writes a REL file as a drive makes it into a cleared directory entry (the
// name is the caller's): the data as records of recordLength bytes (a short
// last record filled with 00), empty records (FF, then 00s) to the end of
// the last data block, side sectors, the super side sector where the format
// has one. No data gives one block of empty records. 0, or 11.
int writeRelFile(ImageInfo& info, std::uint8_t* entry, std::uint8_t recordLength, const std::uint8_t* data,
                 std::uint32_t size);
// Checks a REL entry's side sectors (and super side sector) against its data
// chain: false with the first disagreement in `problem`. A data chain that
// loops or leaves the disk is left to the chain check.
bool checkRelFile(const ImageInfo& info, const std::uint8_t* entry, std::string& problem);
int countListNames(const char* list);
std::int32_t getTotalSectorCount(const char* srcPath, const char* list);
// flags: kPackMoveFiles removes the source files once the image is written;
// kPackSavePaths takes a name's folders as the image's folders (a missing
// one made where the format has folders that packing may make, else the
// folder part stays in the CBM name, as without it). subPath: the folder of
// the image the names go into (null or "" for the top).
constexpr int kPackMoveFiles = 1;
constexpr int kPackSavePaths = 2;
int packFiles(const char* packedFile, const char* subPath, const char* srcPath, const char* addList, int flags,
              const ProgressSink* progress);
// Readies the BAM a view uses for a write, once per call: 12 when a
// directory, header or BAM block of it shares a block with a file; the
// blocks in use it calls free are marked used.
int prepareForWriting(ImageInfo& top, ImageInfo& view);
// A new empty subdirectory of a native directory, named as packing names a
// file (hostName's folder name, no type), as c1541's md makes it: a header
// and one directory block (the first free blocks), a DIR entry of 2 blocks.
// It joins the image's folders and listing; null with rc (11 no room, 23 no
// entry, 16 no name).
ImageInfo* makeSubdirectory(ImageInfo& top, ImageInfo& parent, const std::string& hostName, int& rc);
// Every folder of a listed path, made where missing (mkdir -p); the
// innermost, or null with rc (24 where the format makes no such folder).
ImageInfo* makeFolderPath(ImageInfo& top, const char* path, int& rc);
std::uint8_t* searchDirEntryInDirTrack(const ImageInfo& info, const char* name);
// The first closed file of exactly this 16-byte CBM name and type, or null.
std::uint8_t* findDirEntryByCbmName(const ImageInfo& info, const std::uint8_t* name, std::uint8_t fileType);
// Releases the entry's blocks (those no other structure claims) and clears
// it; 0, or 18 for a broken chain.
int deleteDirEntry(ImageInfo& info, std::uint8_t* entry, BlockClaims& claims);
// The file the listing reported under exactly this name (not a hidden
// scratched entry), or null; found: its listed record.
std::uint8_t* findListedForDeleting(ImageInfo& info, const char* name, const ListedEntry** found = nullptr);
int deleteFiles(const char* packedFile, const char* deleteList, const ProgressSink* progress);
// Deletes a listed native subdirectory with everything in it: its files
// first, then its subdirectories from the deepest up, then itself (header
// and directory blocks that nothing else claims freed). A partition or
// sub-disk stays (24), as does a folder holding a locked file.
int deleteListedFolder(ImageInfo& info, const ListedEntry& folder);
// Gives the file listed as oldName the CBM name packing makes of newName
// (its type kept unless newName's extension names another one); a file
// listed as newName is replaced. 0, 22 not listed, 24 locked, 16 no name.
int renameFile(const char* packedFile, const char* oldName, const char* newName);

// The new name and type a rename gives the entry: the CBM name packing makes
// of the host name, the type from a ".prg", ".seq", ".usr" or ".del"
// extension, else kept (a REL file stays one, nothing becomes one; a GEOS
// file keeps its kind and takes ".cvt" off). False when no name results.
bool renamedCbmName(const std::uint8_t* entry, const char* hostName, std::uint8_t* name, std::uint8_t& type);

// --- files by their entries (the WriteEntriesText export) ---
// The image as an adding call starts from (read, or made new with
// mayCreate; a missing one otherwise gives 15), listed, checked, its blocks
// in use protected.
int openImageForPacking(const char* packedFile, bool mayCreate, std::unique_ptr<ImageInfo>& info);
// One host file added as PackFiles adds it, under the name packing makes of
// it (a Convert or PC64 file as what it holds), never replacing another:
// a name taken gets "-2". stored: its entry.
int packOneFile(ImageInfo& info, const char* srcPath, const char* name, std::uint8_t** stored);
// Lines, one change each, applied to the image as one write:
//   store<TAB>KEY<TAB>SOURCE          the file's new content, same entry, name and type
//   add<TAB>NAME                      SOURCE = NAME, added as PackFiles adds it, never replacing
//   exact<TAB>TT<TAB>NAMEHEX<TAB>SOURCE[<TAB>cvt|rel=N]   a new file of exactly this type byte and name;
//                                     cvt: SOURCE is a GEOS file's Convert file; rel=N (a REL file's type
//                                     byte needs it, N 1-254): SOURCE holds its records of N bytes
//   rename<TAB>KEY<TAB>HOSTNAME[<TAB>KEY2]  in place; the file of the resulting name and type goes, and KEY2
//   delete<TAB>KEY
// SOURCE is a file name in srcPath. keys: one line per line given, the
// entry's key after the change ("" for a deletion). 0, or the first
// failure's code (nothing written): 22 a key whose entry is not what it
// named, 24 locked, a store to a REL file or a bad line, 16 a name that is
// there already or none, 11 no room (a REL file's side sectors counted),
// 15 the image is gone (without kWriteEntriesCreate).
constexpr int kWriteEntriesCreate = 1;
int writeEntries(const char* packedFile, const char* srcPath, const char* lines, int flags, std::string& keys);

// --- the disk as a whole ---
// The image's facts and directory as "key<TAB>value" lines (format, tracks,
// layout, errorbytes, title, id, dos, files, blocksfree, blockstotal, then one
// "file<TAB>blocks<TAB>type<TAB>name" line per entry). 0 or the result code.
int describeImage(const char* path, std::string& text);
// Checks every structure against the BAM: one "error<TAB>kind<TAB>what" line
// per problem that puts data at risk (blocks in use that the BAM calls free,
// blocks shared by two structures, chains that loop or leave the disk, BAM
// counts that disagree with their bitmaps, a partition off the disk or over
// the directory track) and one "note<TAB>kind<TAB>what" line per thing a
// sound disk may hold (blocks marked used that nothing uses, a directory
// block count that differs from the file's). With kValidateRepair the BAM
// entries of tracks with errors are mended and written back; with
// kValidateFreeUnused as well, the blocks nothing uses are freed too, listed
// first in a "freeing<TAB>..." line. A "repaired<TAB>..." line follows a
// write, and "left<TAB>errors<TAB>notes" ends the text. 0 when no error is
// left (kValidateStrict: and no note), else 13, or the result code.
constexpr int kValidateRepair = 1;
constexpr int kValidateFreeUnused = 2;
constexpr int kValidateStrict = 4;
int validateImage(const char* path, int mode, std::string& text);
