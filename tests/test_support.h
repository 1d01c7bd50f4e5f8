// Helpers shared by the test programs: temporary folders, files, running the
// plug-in through its exports, peer tools and the debug log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/exports.h"

namespace ts {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed at the end.
struct TempDir {
    std::string path;
    explicit TempDir(bool inMemory = false);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& data);
void writeText(const std::string& path, const std::string& text);
bool exists(const std::string& path);
// A file of the images others made (realimages/..., peerimages/...): in the
// folder beside the checkout (../shared), else under $OMBRIX_SHARED, else
// in /work/shared; "" when none holds it (the test then skips, saying so).
std::string sharedFile(const std::string& relative);
// Makes the folder dir/name (mode 0755) and returns its path.
std::string mkdirIn(const TempDir& dir, const std::string& name);
std::vector<std::string> listDir(const std::string& path);
Bytes randomBytes(std::size_t n, std::uint32_t seed);

// Runs a shell command; returns its exit status (-1 when it could not run).
int run(const std::string& command, std::string* output = nullptr);
// True when the peer tool is on the PATH.
bool haveTool(const std::string& name);
std::string shellQuote(const std::string& s);
// The command-line host with a settings folder of its own under dir, ready
// for a command to be appended.
std::string host(const TempDir& dir);

// Loads settings for the in-process plug-in: writes `ini` (may be empty: no
// file) as ombrix.ini in a folder and calls PackSetDefaultParams with it.
void loadSettings(const TempDir& dir, const std::string& ini);
// The default settings (logLevel 3, every switch off).
void loadDefaultSettings(const TempDir& dir);

struct Listed {
    std::string name;
    int blocks = 0;
    int bytes = 0;
    int attr = 0;
};
struct Listing {
    int openResult = 0;
    int endResult = 0;  // what the last ReadHeader returned (10 at a clean end)
    std::vector<Listed> files;
};
// Lists an image through the exports, as a file manager does.
Listing list(const std::string& image);
// Extracts every listed file into dir (names as listed); returns
// name -> ProcessFile result, in listing order. With inDestPath the host
// passes dir as DestPath and the bare name, else the whole path as DestName.
std::vector<std::pair<std::string, int>> extractAll(const std::string& image, const std::string& dir,
                                                    bool inDestPath = false);

// Captures the plug-in's debug output (OMBRIX_LOG) for the test's lifetime.
struct LogCapture {
    std::string file;
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }
};

// Disk images built byte by byte from the format's geometry, for tests that
// need layouts no peer tool makes.
struct RawImage {
    int type;         // 1 D64, 2 D71, 3 D80, 4 D82, 5 D81
    int tracks;
    Bytes data;
    bool errorBytes = false;
};
RawImage makeRawImage(int type, int tracks = 0, bool errorBytes = false);
std::uint8_t* block(RawImage& image, int track, int sector);
int sectorsOf(const RawImage& image, int track);
int blockIndex(const RawImage& image, int track, int sector);
// Writes a directory entry (entry 0..7 of the block) with a PETSCII name.
void putEntry(RawImage& image, int track, int sector, int entry, std::uint8_t type, const std::string& petsciiName,
              int startTrack, int startSector, int blocks);
// Writes data as a block chain over the given blocks (track, sector pairs).
void putChain(RawImage& image, const std::vector<std::pair<int, int>>& blocks, const Bytes& data);
void save(const RawImage& image, const std::string& path);

// A T64 tape built byte by byte: maxFiles directory slots, the given ones
// filled in, then dataSize bytes of data (byte i of the file is i * 7).
struct TapeSlot {
    std::uint8_t entryType;  // 1 a file, 0 an empty slot
    std::uint16_t start, end;
    std::uint32_t pos;
    std::string name;  // 16 bytes at most; padded with `pad`
    std::uint8_t pad = 0x20;
};
Bytes makeTape(std::uint16_t maxFiles, const std::vector<TapeSlot>& slots, std::size_t dataSize);

// A Convert (.cvt) file as cbmconvert writes one: header (entry bytes and
// signature), info block (icon header 03 15 BF, as cbmconvert requires), and
// for a VLIR file the record table and each record padded to whole blocks but
// the last one with data. parts: a sequential file's data, or a VLIR file's
// records (an empty one is an empty record).
Bytes convertFile(const std::string& petsciiName, std::uint8_t type, bool vlir, const std::vector<Bytes>& parts,
                  std::uint32_t seed);
// Its info block, without the link (the Convert file's bytes 254-507).
inline Bytes convertInfo(const Bytes& cvt) { return Bytes(cvt.begin() + 254, cvt.begin() + 508); }

// CMD images laid byte by byte from the layouts note (LAYOUTS-CMD.md), never
// by the plug-in's writer: native partitions with subdirectories as c1541's
// md makes them, CMD FD images with their partition table, 1581 sub-disks.
struct CmdFile {
    std::string path;  // folders joined by '/', each made when first named
    std::uint8_t type;  // 0x81, 0x82 ...
    Bytes data;
};
// A native partition of `tracks` tracks (ID "CM"), its blocks taken upward from 1/64.
Bytes makeNative(int tracks, const std::vector<CmdFile>& files, const std::string& title = "NATIVE");
struct FdPartition {
    std::uint8_t type;  // 1 native, 2-4 1541/1571/1581, 5 CP/M, 6 print buffer, 7 foreign
    std::string name;
    Bytes bytes;  // its size in 512-byte units is theirs
};
// Partitions one after the other from unit 0; default partition 1.
Bytes makeFdImage(int imageType, const std::vector<FdPartition>& partitions, bool errorBytes = false);
// A blank D81 (header 40/0, BAM 40/1-2, directory 40/3) and, in it, a
// sub-disk of `tracks` tracks from `first`: a CBM entry in the root, its area
// used in the root BAM, formatted as a 1581 formats one and holding `files`
// (no folders) on its own tracks. `files` of the root go on the root's tracks.
Bytes makeD81(const std::vector<CmdFile>& files);
void putSubDisk(Bytes& d81, int first, int tracks, const std::string& name, const std::vector<CmdFile>& files,
                bool format = true);
std::string sha256(const Bytes& data);
// A Lynx archive as the format describes it: loader "10 SYS2061", then the
// directory lines; `lastLine` replaces the last file's last-byte line when set.
struct LynxFile {
    std::string name;  // PETSCII
    char type;
    Bytes data;
    int recordLength = 0;
};
Bytes makeLynx(const std::vector<LynxFile>& files, int dirBlocks = 1, int count = -1, const char* lastLine = nullptr);
// A PC64 file (.p00 ...): header with the PETSCII name, then the data.
Bytes pc64(const std::string& name, const Bytes& data, std::uint8_t recordLength = 0);

}  // namespace ts
