// Reading images: directory listing, extraction, tape images and the
// conversions between CBM names and host names. Never writes an image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/image_info.h"
#include "image/image.h"

// Directory entry fields (offsets within the 32-byte entry).
constexpr int kDirLinkTrack = 0;
constexpr int kDirLinkSector = 1;
constexpr int kDirEntryType = 2;
constexpr int kDirStartTrack = 3;
constexpr int kDirStartSector = 4;
constexpr int kDirFileName = 5;
constexpr int kDirSideSectorTrack = 21;  // REL files (GEOS files keep their info block there)
constexpr int kDirSideSectorSector = 22;
constexpr int kDirGeosInfoTrack = 21;    // GEOS files
constexpr int kDirGeosInfoSector = 22;
constexpr int kDirGeosStructure = 23;    // 0 sequential, 1 VLIR
constexpr int kDirGeosFileType = 24;     // 0 for a file that is not a GEOS file
constexpr int kDirRecordLength = 23;    // REL files
constexpr int kDirBlockCount = 30;
constexpr std::uint8_t kGeosVlir = 1;
constexpr int kCbmNameLength = 16;
constexpr int kEntriesPerBlock = 8;

constexpr std::uint8_t kTypeScratched = 0x00;
constexpr std::uint8_t kTypeDel = 0x80;
constexpr std::uint8_t kTypeSeq = 0x81;
constexpr std::uint8_t kTypePrg = 0x82;
constexpr std::uint8_t kTypeUsr = 0x83;
constexpr std::uint8_t kTypeRel = 0x84;
constexpr std::uint8_t kFileTypeMask = 0x07;  // bit 7 closed, bit 6 locked
constexpr std::uint8_t kTypeLocked = 0x40;
constexpr std::uint8_t kFileTypePartition = 5;  // a 1581 partition (CBM)
constexpr std::uint8_t kFileTypeDirectory = 6;  // a native partition's subdirectory (DIR)
constexpr std::uint8_t kTypeDirectory = 0x86;

// GEOS disks: the header block says "GEOS format V1.x" at 0xAD and names at
// 0xAB-0xAC the border block, a block of 8 directory entries for the files
// lying on the desktop's border.
constexpr int kGeosBorderTrack = 0xAB;
constexpr int kGeosBorderSector = 0xAC;
constexpr int kGeosSignatureOffset = 0xAD;
constexpr char kGeosDiskSignature[] = "GEOS format";

constexpr std::uint8_t kDiskNamePad = 0xA0;
constexpr std::uint8_t kTapeNamePad = 0x20;

// What the listing reports of one file; the frame turns it into the host's
// header record.
struct ListedFile {
    char fileName[1024];  // a folder's file: its path (hosts of 260-character names get it cut)
    std::int32_t packSize;
    std::int32_t unpSize;
    bool hidden;
    bool folder;          // a directory entry
};

// --- names ---
void trimNamePad(std::uint8_t* name, int length, std::int32_t imageType);
// A CBM name (ends at a zero) as a host name in place: PETSCII, or with
// ascii the ASCII of a GEOS file's name; what a host name cannot hold
// becomes '_'.
void convert(std::uint8_t* name, int length, bool ascii = false);
void appendTypeExtension(char* hostName, std::uint8_t fileType);
// Host text (UTF-8) to PETSCII in place; returns the new length (the rest is
// zero-filled).
std::size_t hostToPetscii(std::uint8_t* name, std::size_t length);
// A CBM text field (a title, an ID, a name: up to 24 bytes) as host text,
// as the drive shows it: fill bytes cut, letters as in names, every other
// character that has an ASCII form as itself, the rest '_'.
std::string cbmText(const std::uint8_t* bytes, int length, std::int32_t imageType, bool ascii = false);
// A directory entry's name so (ASCII for a GEOS file).
std::string entryNameText(const std::uint8_t* entry, std::int32_t imageType);
// A 16-byte name as the drive lists it: what stands before the first 0xA0
// goes between the quotes, the rest (fill bytes at its end cut) after the
// closing quote, as in "dirart",8,1.
struct ShownCbmName {
    std::string name, tail;
};
ShownCbmName shownCbmName(const std::uint8_t* name, bool ascii);
// The host name of a converted entry name (at most 16 bytes, ends at a zero):
// name plus type extension, in the host's encoding. False when it does not fit.
bool buildHostName(const std::uint8_t* convertedName, std::uint8_t fileType, char* out, std::size_t outSize);
// The name ProcessFile searches for: DestName, or without a DestPath the
// part of DestName after its last separator.
std::string requestName(const char* destPath, const char* destName);
// The file ProcessFile writes: DestName alone (a whole path) without a
// DestPath, else DestName in the folder DestPath.
std::string outputPath(const char* destPath, const char* destName);
// Makes a host name one the host's file system can create: "." and ".." get
// a '_' on every platform; with Windows rules also the reserved device names
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with or without an
// extension) after their device word, and a name ending in a dot or a space.
void makeHostSafe(std::string& name, bool windowsRules);
// The name under which the listing reports a file: its host name made safe
// ("_" for an empty CBM name), and when an earlier listed file has that name
// already, "~2", "~3"... before the type extension (CBM names never convert
// to '~', so these are new).
// Records the name in info.listedNameKeys.
std::string uniqueListedName(ImageInfo& info, const std::uint8_t* convertedName, std::uint8_t fileType);
// The same with an extension of its own (".cvt").
std::string uniqueListedName(ImageInfo& info, const std::uint8_t* convertedName, const std::string& typeExtension);
// What makes two host names the same name on this platform (Windows: letter
// case aside), as the listing and PackFiles compare them.
std::string listedNameKey(std::string name);

// A host name split into a CBM name and a file type, as files are added.
struct CbmName {
    std::uint8_t name[kCbmNameLength];  // 0xA0-filled
    std::uint8_t fileType;              // 0x82 or 0x81
};
void splitHostNameForAdding(const char* hostName, CbmName& out);
// As files are deleted: true only for a ".prg" or ".seq" name; the mapped
// name without its extension goes to out (zero-terminated, at most 99 bytes).
bool splitHostNameForDeleting(const char* mappedName, char* out, std::size_t outSize, std::uint8_t& fileType);

// --- block chains ---
// How a walk along a file's block chain ended.
struct ChainWalk {
    // kMalformed: a GEOS file the Convert format cannot hold (see geos.cpp).
    enum Outcome { kComplete, kUnreadable, kCircular, kStopped, kMalformed } outcome = kComplete;
    std::uint8_t track = 0, sector = 0;  // the block that ended the walk early
    int error = 0;                       // kUnreadable: GetDiskSector's answer (-1 off the image, else the error byte)
    std::uint32_t blocks = 0;            // blocks whose data were delivered
    std::uint32_t bytes = 0;             // data bytes delivered
};
// Receives the data bytes of each block in turn; false stops the walk.
using ChainDataFn = bool (*)(void* context, const std::uint8_t* data, std::size_t size);
// Follows a file's chain from its start block as extraction does: each block
// through GetDiskSector (error bytes honoured), a visit table against chains
// that come back on themselves, so every walk ends. An entry of 0 blocks at
// track 0 (an empty file as older versions stored it) has no chain at all.
ChainWalk followFileChain(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint16_t blockCount,
                          ChainDataFn onData, void* context);
// The same with a visit table shared by several chains (the parts of a GEOS
// file): a block met twice ends the walk as a circle.
ChainWalk followFileChain(const ImageInfo& info, std::uint8_t track, std::uint8_t sector, std::uint16_t blockCount,
                          ChainDataFn onData, void* context, BlockSet& visits);

// --- GEOS files as Convert files ---
// The Convert (.cvt) layout, as cbmconvert writes it: a 254-byte block of the
// directory entry's bytes 2-31 (start and info block zeroed, the block count
// as the file really has it) and the signature, zero-filled; the info block
// without its link; for a VLIR file a 254-byte record table (per record its
// block count and its last block's link byte; 00 FF an empty record, 00 00
// the end) and the records' data, each but the last record holding data
// zero-padded to whole blocks; for a sequential file its data.
constexpr std::uint32_t kConvertBlock = 254;
constexpr std::uint32_t kConvertEntryBytes = kDirEntrySize - kDirEntryType;
constexpr std::uint32_t kConvertSignatureOffset = 30;
constexpr std::uint32_t kConvertInfoOffset = 254;
constexpr std::uint32_t kConvertTableOffset = 508;
constexpr std::uint32_t kConvertSeqDataOffset = 508;
constexpr std::uint32_t kConvertVlirDataOffset = 762;
constexpr char kConvertSignature[] = "PRG formatted GEOS file V1.0";
// Record pairs of a VLIR index block (from byte 2, after its link) and of
// the Convert table (from byte 0).
constexpr int kVlirIndexPairs = 2;
constexpr int kVlirRecordSlots = 127;
constexpr std::uint8_t kVlirEmptyRecord = 0xFF;  // sector byte of a record without data
// Where a directory entry field lies in the Convert header.
constexpr int convertOffset(int entryField) { return entryField - kDirEntryType; }
// A GEOS file the Convert format can carry: closed DEL, SEQ, PRG or USR
// (locked or not) with a GEOS file type. REL files and partitions use the
// same entry bytes for other things.
bool isConvertibleGeosType(std::uint8_t fileType, std::uint8_t geosFileType);
// A GEOS file's entry (isConvertibleGeosType): its name is ASCII.
bool isGeosEntry(const std::uint8_t* entry);
// The listing shows the entry as NAME.cvt (geosAsConvert on).
bool isListedAsConvert(const std::uint8_t* entry);
// Walks the GEOS file of a directory entry (its bytes as the image holds
// them) as its Convert file: every block it reads goes through GetDiskSector,
// one visit table covers the whole file (no block belongs to two of its
// parts, so the walk costs no more than the image has blocks), a record more
// than 255 blocks long ends the walk. onData receives the Convert file's bytes in order; without it the
// walk only measures. bytes is the Convert file's length, blocks every block
// of the GEOS file.
ChainWalk followConvertFile(const ImageInfo& info, const std::uint8_t* entry, ChainDataFn onData, void* context);

// --- blocks in use ---
// How many of the image's own structures claim each block (saturating).
struct BlockClaims {
    // 64 KiB: on the heap, so that calls holding one stay light on a thread's stack.
    std::vector<std::uint8_t> count = std::vector<std::uint8_t>(kMaxImageBlocks);
};
// Header and BAM blocks, the directory chain, and for every entry that is
// not scratched: its chain, a REL file's side sectors, a GEOS file's info
// block and VLIR records. Every walk is bounded.
// With a GEOS border block, that block and the claims of its entries too.
void collectBlockClaims(const ImageInfo& info, BlockClaims& claims);
// The GEOS border block, taken only when it is plausible: the header says
// "GEOS format"; the block lies inside the disk and reads (its error byte
// good); nothing the directory walk claims (header, BAM, directory chain,
// the directory's files: `directoryClaims`) uses it, so it cannot be a
// directory or file block that a bogus pointer names; and it ends its chain
// (link track 0) as the single block GEOS writes. Anything else is no border
// block: nothing is listed or claimed from it.
struct BorderBlock {
    bool found = false;
    std::uint8_t track = 0, sector = 0;
};
BorderBlock findBorderBlock(const ImageInfo& info, const BlockClaims& directoryClaims);
// The same, walking the directory for its claims.
BorderBlock findBorderBlock(const ImageInfo& info);
// Adds the claims of one directory entry (nothing for a scratched one; a
// native subdirectory's entry claims its header and directory chain, not
// what the subdirectory holds).
void claimEntryBlocks(const ImageInfo& info, BlockClaims& claims, const std::uint8_t* entry);
// Every directory of the volume, each once: its own, and in a native
// partition the root and every subdirectory below it (kMaxFolderDepth
// deep), whichever of them the view shows. Gives each directory's header
// and first block.
using DirectoryFn = void (*)(void* context, std::uint8_t headerTrack, std::uint8_t headerSector,
                             std::uint8_t dirTrack, std::uint8_t dirSector);
void forEachDirectory(const ImageInfo& info, DirectoryFn fn, void* context);
// Adds one claim for each block of the chain from track:sector.
void claimChain(const ImageInfo& info, BlockClaims& claims, std::uint8_t track, std::uint8_t sector);
std::uint8_t blockClaims(const ImageInfo& info, const BlockClaims& claims, std::uint8_t track, std::uint8_t sector);

// --- folders ---
// Walks into folders stop at these: a folder deeper down, or past the
// number of folders, is listed but not entered (a warning says so), and its
// path is never longer than a host's 1024-character name.
constexpr int kMaxFolderDepth = 16;
constexpr std::size_t kMaxFolders = 4096;
constexpr std::size_t kMaxFolderPath = 768;
bool isFdImage(const ImageInfo& info);
bool isNativeVolume(const ImageInfo& info);
// A native partition's subdirectory entry (closed DIR).
bool isDirectoryEntry(const ImageInfo& info, const std::uint8_t* entry);
// A 1581 partition that holds a sub-disk: a closed CBM entry of a D81 (or of
// a sub-disk, inside its area) from sector 0 of a track, whole tracks, three
// at least, neither on nor across track 40, whose first block reads as a
// 1581 header ('D' at 2, "3D" at 0x19). Any other partition stays an area.
bool isSubDiskEntry(const ImageInfo& info, const std::uint8_t* entry);
bool isFolderEntry(const ImageInfo& info, const std::uint8_t* entry);
// A CMD FD image's partition table into info.archived (name, type, byte
// offset and length within the data area, recordLength: the partition's
// number); 0, or 14. An image without the signature has no partitions.
int readFdPartitions(ImageInfo& info);
// The partition a CMD FD drive selects at start (its number).
std::uint8_t fdDefaultPartition(const ImageInfo& info);
// The next partition of a CMD FD image: a folder (native, 1541, 1571, 1581)
// or one plain file of its bytes (CP/M .cpm, print buffer .prn, foreign .bin).
int readFdHeader(ImageInfo& info, ListedFile& file);
// The volume a CMD FD partition holds (a native partition or an emulated
// disk), its bytes borrowed from top; null for a partition of another kind.
std::unique_ptr<ImageInfo> partitionVolume(const ImageInfo& top, const ArchivedFile& partition);
// The view a listed folder entry of `parent` opens (its bytes borrowed from
// top); null when it holds nothing to enter.
std::unique_ptr<ImageInfo> openFolderView(const ImageInfo& top, const ImageInfo& parent, const ListedEntry& listed);
// The block a folder starts at, counted in the opened image's blocks (its
// directory header; -1 for a partition, which the table names once).
int folderFirstBlock(const ImageInfo& view);
// The volume a listed entry lies in: the image itself or one of its folders.
ImageInfo& volumeOf(ImageInfo& top, const ListedEntry& listed);
const ImageInfo& volumeOf(const ImageInfo& top, const ListedEntry& listed);
// The view whose BAM a view uses: a native subdirectory's partition, else itself.
ImageInfo& bamVolume(ImageInfo& view);
// Writes into a new native directory header the pointers to its parent's
// header and to its own entry there (bytes 0x22-0x26); false when the
// parent is no native directory.
bool nativeParentPointers(const ImageInfo& parent, std::uint8_t* header, const std::uint8_t* entry);
// Makes a new view the folder of a listed entry: its parent, path and
// depth, counted as entered; false (nothing changed) when it holds itself.
bool adoptFolder(ImageInfo& top, ImageInfo& parent, ListedEntry& listed, std::unique_ptr<ImageInfo> view);

// --- listing ---
// Makes a file the current one, listed under `name`, and fills what the host
// is told of it.
void reportListed(ImageInfo& info, ListedFile& file, std::uint32_t record, std::uint32_t entryOffset,
                  std::string name, bool asConvert = false);
// The next file of a disk image and of its folders (a folder is reported as
// its directory entry, then what it holds): 0 reported, 10 end, 11 no
// memory, 18 once everything readable is listed when a directory was
// unreadable or cyclic.
int readDiskHeader(ImageInfo& info, ListedFile& file);
// The same within one volume, folders not entered.
int readVolumeHeader(ImageInfo& info, ListedFile& file);
// The bytes extraction of the file writes; 0 for a chain that cannot be read
// to its end (extraction then fails).
std::int32_t getActualFileLength(const ImageInfo& info, std::uint8_t track, std::uint8_t sector,
                                 std::uint16_t blockCount);
// The bytes extraction of a GEOS file as a Convert file writes; 0 for one
// that cannot be read whole (extraction then fails).
std::int32_t getConvertFileLength(const ImageInfo& info, const std::uint8_t* entry);
// The listed file ProcessFile works on: the one the last ReadHeader reported,
// else the listed file of the requested name; null when there is none.
const ListedEntry* findListedEntry(const ImageInfo& info, const char* destPath, const char* destName);

// --- listed files by their entries ---
// What a host that holds a file across calls (the mount, a conversion) is
// told of each listed file. Its key names the entry itself: where it lies
// (the byte offset of a disk's directory entry or a tape's slot, the record
// of an archive of files, "a" in front) with the type byte and the exact
// 16 name bytes it held, as "OFFSET:TT:NAMEHEX". A key whose entry no longer
// holds that name and type names no file: the image changed meanwhile.
struct EntryFacts {
    std::uint32_t offset = 0;
    bool archiveRecord = false;
    std::uint8_t fileType = 0;                 // as the entry has it: closed 0x80, locked 0x40
    std::uint8_t name[kCbmNameLength] = {};    // 0xA0-filled
    std::uint8_t recordLength = 0;             // REL files
    bool geos = false;
};
EntryFacts listedEntryFacts(const ImageInfo& info, const ListedEntry& listed);
std::string entryKey(const EntryFacts& facts);
// A disk entry's key: false when it is not one.
bool parseEntryKey(const char* key, std::uint32_t& offset, std::uint8_t& fileType, std::uint8_t* name);
// "entry<TAB>KEY<TAB>LISTED NAME<TAB>TYPE<TAB>NAMEHEX<TAB>BLOCKS<TAB>BYTES<TAB>FLAGS<TAB>RECORD LENGTH
// <TAB>SHOWN NAME<TAB>SHOWN TAIL" with TYPE the type byte and NAMEHEX the 16
// name bytes in hexadecimal, FLAGS letters: h hidden, l locked, o not
// closed, g GEOS file, c listed as its Convert file ("-" for none), and the
// name as the drive lists it (shownCbmName).
std::string entryLine(const EntryFacts& facts, const ListedEntry& listed, const ListedFile& file);
// count bytes from 2*count hexadecimal digits that end the text or a field (':').
bool readHexBytes(const char* text, std::size_t count, std::uint8_t* out);

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

// --- archives of files: Lynx, PC64 ---
// Reads the archive's directory into info.archived: 0, or 14 when the file
// is no archive of that kind. A directory that ends before its count sets
// info.archivedEnd to 18; a file whose data do not lie inside the archive
// is listed and fails when it is read.
int readLynxDirectory(ImageInfo& info);
int readPC64File(ImageInfo& info);
int readArchiveHeader(ImageInfo& info, ListedFile& file);
int extractArchivedFile(const ImageInfo& info, const char* destPath, const char* destName);
int testArchivedFile(const ImageInfo& info, const char* destPath, const char* destName);

// --- PC64 files ---
constexpr std::uint32_t kPC64HeaderSize = 26;
bool isPC64Header(const std::uint8_t* data, std::uint64_t size);
// The 16-byte CBM name a PC64 header holds, its fill made 0xA0.
void cbmNameOfPC64(const std::uint8_t* header, std::uint8_t* name);
// The record length a PC64 header carries (REL files; 0 for the others).
std::uint8_t pc64RecordLength(const std::uint8_t* header);
// The extension letter of a file type (0x82 'p' ...).
char pc64Letter(std::uint8_t fileType);
// The header of a PC64 file holding a CBM file: the 16 name bytes (trailing
// padByte, 0x00 or 0xA0 are fill) and, for REL, the record length.
void makePC64Header(const std::uint8_t* cbmName, std::uint8_t padByte, std::uint8_t fileType,
                    std::uint8_t recordLength, std::uint8_t* header);
