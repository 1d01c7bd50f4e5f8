// Shared code of the fuzz targets and the seed writer: a private work folder,
// quiet settings, disk inputs (format byte + image or patches over a valid
// image), the exports driven as a file manager drives them, and what an
// image really holds, read independently of the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fz {

using Bytes = std::vector<std::uint8_t>;

// --- the process ---

// Once per process: a private folder (in /dev/shm when there is one, since
// PackFiles fsyncs every image it writes), logLevel 0, settings snapshot.
void setUp(const char* target);
// path("x") is x inside the private folder.
std::string path(const std::string& name);
// New-image settings and switches back to what setUp found, so that one
// input never changes how the next one runs.
void restoreSettings();

Bytes readFile(const std::string& file);
void writeFile(const std::string& file, const Bytes& data);
// Files of a folder (names only).
std::vector<std::string> folderNames(const std::string& folder);

// A failed check is a finding: it names the target, the check and what was
// seen, then aborts so that libFuzzer saves the input. Checks named in the
// environment variable OMBRIX_FUZZ_IGNORE (comma-separated) are skipped, so a
// long run can look past a finding that is known already ("all" skips every
// check, leaving the sanitizers and the time limit).
void check(bool ok, const char* name, const std::string& detail);
// byName: only when the list names the check ("all" does not count).
bool ignored(const char* name, bool byName = false);

// --- disk inputs ---

// Byte 0 picks the format variant, byte 1 how the rest becomes the image,
// bytes 2-5 are the target's own parameters.
struct Variant {
    const char* name;
    const char* ext;
    std::int32_t type;
    std::int32_t forty;  // 0, 2 SpeedDOS, 3 DolphinDOS
    bool errorBytes;
};
extern const Variant kVariants[];
extern const int kVariantCount;
std::size_t imageSizeOf(const Variant& v);

constexpr std::size_t kHeaderSize = 6;
enum Mode : std::uint8_t {
    kOverlay = 0,   // patches laid over the variant's base image
    kRawPadded = 1, // the image itself, zero-padded to the variant's size
    kRawExact = 2,  // the image itself, whatever its size
};
constexpr int kModeCount = 3;

struct DiskInput {
    const Variant* variant;
    std::uint8_t param[4];
    Bytes image;
    // The image shows a finding whose check is ignored and that would end
    // the run anyway (a sanitizer report or a hang): the target skips it.
    bool skip = false;
};
DiskInput decodeDiskInput(const std::uint8_t* data, std::size_t size);

// A valid image of the variant, made by the plug-in itself: twelve files of
// 0 to 5000 bytes (two directory blocks), two of them deleted again.
const Bytes& baseImage(int variant);
// Patches: [track][sector][offset][length, 0 = 256][bytes]. Track 0 writes
// the error bytes (sector x 256 + offset); other tracks and sectors wrap
// into the format.
void applyOverlay(const Variant& v, Bytes& image, const std::uint8_t* patches, std::size_t size);
// The patches that turn `base` into `changed` (same size).
Bytes encodeOverlay(const Variant& v, const Bytes& base, const Bytes& changed);
Bytes diskInput(int variant, Mode mode, const std::uint8_t (&param)[4], const Bytes& rest);

// Offset of a block in an image of the variant's layout (tracks counted from 1).
std::size_t blockOffset(const Variant& v, int track, int sector);

// Damage of the kinds real images and broken tools show, done to a base
// image (the entry numbers are those of the base image's files).
struct Damage {
    const char* name;
    bool needsErrorBytes;
    void (*apply)(int variant, Bytes& image);
};
extern const Damage kDamages[];
extern const int kDamageCount;

// --- the exports, as a file manager calls them ---

struct File {
    std::string name;
    bool hidden = false;
    std::int32_t unpSize = 0;
    int result = -1;  // ProcessFile's result (extract or test pass)
    Bytes bytes;      // extracted bytes
};
struct Contents {
    int openResult = 0;
    int endResult = 0;  // the ReadHeader result that ended the listing
    std::vector<File> files;
};
enum class Pass { list, extract, test };
// Open, then ReadHeader and ProcessFile alternately; a listing that does not
// end is a finding.
Contents readImage(const std::string& image, Pass pass);

int packFiles(const std::string& image, const std::string& folder, const std::vector<std::string>& names);
int deleteFiles(const std::string& image, const std::vector<std::string>& names);

// --- what a disk image really holds ---

// One directory entry that the listing records (its name is not empty), in
// directory order, with the data its own chain holds.
struct Entry {
    std::string name;   // as listed (names made unique with "~2"...); scratched and not shown: plain
    std::string plain;  // the host name of the CBM name and type alone
    std::uint8_t type;
    int result;  // 0, or 18 for a chain that cannot be read whole
    Bytes bytes;
    std::uint16_t blocks;  // the entry's block count
    bool cycle;            // the chain comes back to one of its blocks
    std::vector<std::pair<int, int>> chain;  // its blocks (track, sector)
    std::pair<int, int> where;               // the directory block that holds it
    int slot;                                // its place in that block (0-7)
};
std::vector<Entry> directoryEntries(const Bytes& image, std::int32_t type);

// The files that an add or delete which succeeds leaves alone byte for byte,
// by their place in the directory: every entry that is not scratched but
// one of 0 blocks whose chain runs through the header, BAM or directory
// (its bytes are the directory's).
std::map<std::pair<std::pair<int, int>, int>, const Entry*> filesBySlot(const std::vector<Entry>& entries,
                                                                       const Bytes& image, std::int32_t type);

// Why a file that PackFiles or DeleteFiles should have left alone changed:
// "shared-blocks" when its chain shares a block with one of the `released`
// files (replaced or deleted), "system-blocks" when a released chain runs
// through the header, BAM or directory, "lying-bam" when the BAM called one
// of its blocks free, else "damaged".
std::string damageCause(const Bytes& image, std::int32_t type, const std::string& name,
                        const std::vector<std::string>& released);

// True when the directory chain runs through the header or a BAM block.
bool directoryInHeaderOrBam(const Bytes& image, std::int32_t type);

// True when file `name` of `after` has a block that was a header, BAM or
// directory block of `before`: the writer handed out a block the image needs.
bool tookSystemBlock(const Bytes& before, const Bytes& after, std::int32_t type, const std::string& name);

// The listed files whose bytes only a fault can change: extracted whole, no
// other recorded entry has the same plain name (a "~2" moves when the first
// goes), the chain keeps out of header, BAM and directory, and the entry
// does not lie in the header or a BAM block.
std::map<std::string, Bytes> trustedFiles(const Contents& extracted, const Bytes& image, std::int32_t type);

// Reads, extracts and tests every file; checks what the reader must
// guarantee. Returns the extraction pass. `bytes` is the disk model; `file`
// the image file when that is not the model itself (a G64).
Contents exerciseReader(const std::string& image, const Bytes& bytes, std::int32_t type,
                        const Bytes* file = nullptr);

}  // namespace fz

namespace fz {

// --- CMD images: folders ---

// The kinds with folders, each a target of its own: a DNP (subdirectories
// two deep), a D1M (a native partition, a 1541 disk, a print buffer), a D81
// with a sub-disk. Their base images are laid by the tests' builders from
// the layouts, never by the plug-in's writer.
enum class CmdKind { dnp, fd, subDisk };
const Bytes& cmdBase(CmdKind kind);
// Byte 0 odd: the rest is the image itself; even: patches over the base,
// each [offset: 3 bytes, MSB first, taken modulo the base's size][length,
// 0 = 256][bytes].
Bytes cmdInput(bool raw, const std::vector<std::pair<std::size_t, Bytes>>& patches);
// Lists, extracts and tests; packs a file into a folder of the base (by
// path) and one to the top, then deletes them. Checks that every call ends,
// the image keeps its size, a packed file reads back whole under its name,
// and a delete that succeeds takes it.
void runCmdInput(CmdKind kind, const std::uint8_t* data, std::size_t size);

}  // namespace fz
