// G64 and G71 images: D64s of every kind (and D71s) encoded by us and
// decoded back, tracks written as a drive writes them, damaged sectors with
// the drive's error codes, writes that re-encode only changed blocks and
// refuse tracks that are not clean, hostile headers, and our G64s and G71s
// read back through cc1541 and cbmconvert.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>
#include <set>

#include "image/g64.h"
#include "tests/pack_support.h"

namespace {

using ts::Bytes;

// The model of a disk or G64/G71 file (of a 1541 disk unless its content
// tells a 1571's).
std::unique_ptr<ImageInfo> modelOf(const Bytes& bytes, std::int32_t container) {
    std::unique_ptr<ImageInfo> info = newImageInfo();
    const std::int32_t type = detectContent(bytes.data(), std::min<std::size_t>(bytes.size(), kDetectHeadSize), bytes.size()).type;
    info->imageType = type == kTypeD71 ? kTypeD71 : kTypeD64;
    info->container = container;
    info->imageData.reset(static_cast<std::uint8_t*>(std::malloc(bytes.size() + 1)));
    std::memcpy(info->imageData.get(), bytes.data(), bytes.size());
    info->imageSize = static_cast<std::int32_t>(bytes.size());
    if (container == kContainerG64 && decodeG64Image(*info) != 0) return nullptr;
    checkImageSize(*info);
    setDiskInitValues(*info);
    return info;
}

// Our encoder's G64 of a D64, and our decoder's D64 of a G64.
Bytes g64Of(const Bytes& d64) {
    auto info = modelOf(d64, kContainerPlain);
    CBuffer<std::uint8_t[]> out;
    std::uint32_t size = 0;
    EXPECT_EQ(encodeG64Image(*info, out, size), 0);
    return Bytes(out.get(), out.get() + size);
}
Bytes d64Of(const Bytes& g64) {
    auto info = modelOf(g64, kContainerG64);
    return info ? Bytes(info->imageData.get(), info->imageData.get() + info->imageSize) : Bytes {};
}

std::size_t le32(const Bytes& g, std::size_t at) {
    return g[at] | (g[at + 1] << 8) | (g[at + 2] << 16) | (static_cast<std::size_t>(g[at + 3]) << 24);
}
bool isG71(const Bytes& g) { return g.size() > 8 && g[6] == '7'; }
// A track's half track slot: a G71's side 1 from slot 84 on.
std::size_t slotOf(const Bytes& g, int track) {
    return isG71(g) && track > 35 ? 84 + 2 * static_cast<std::size_t>(track - 36) : 2 * static_cast<std::size_t>(track - 1);
}
std::size_t trackOffset(const Bytes& g64, int track) { return le32(g64, 12 + 4 * slotOf(g64, track)); }

// The file offset of GCR byte n of a block's data block (n < 326).
std::size_t dataByteOffset(const ImageInfo& info, const Bytes& g64, int track, int sector, std::size_t n) {
    const std::size_t offset = trackOffset(g64, track);
    const std::size_t length = g64[offset] | (g64[offset + 1] << 8);
    const std::size_t bit = info.g64->dataBit[static_cast<std::size_t>(getBlockIndex(info, track, sector))];
    return offset + 2 + (bit / 8 + n) % length;
}
std::size_t dataByteOffset(const Bytes& g64, int track, int sector, std::size_t n) {
    return dataByteOffset(*modelOf(g64, kContainerG64), g64, track, sector, n);
}

// A write changed nothing of the file but the data blocks of the blocks whose
// bytes changed; the number of those past track 35 (a G71's side 1).
int expectOnlyChangedBlocksRewritten(const Bytes& before, const Bytes& after) {
    EXPECT_EQ(after.size(), before.size());
    const Bytes modelBefore = d64Of(before), modelAfter = d64Of(after);
    EXPECT_EQ(modelAfter.size(), modelBefore.size()) << "a block no longer decodes";
    if (after.size() != before.size() || modelAfter.size() != modelBefore.size()) return 0;
    std::set<std::size_t> allowed;
    int side1 = 0;
    auto info = modelOf(before, kContainerG64);
    for (int t = 1; t <= info->trackCount; ++t)
        for (int s = 0; s < getTrackSectorCount(*info, static_cast<std::uint8_t>(t)); ++s) {
            const std::size_t at = 256 * static_cast<std::size_t>(getBlockIndex(*info, t, s));
            if (std::memcmp(&modelBefore[at], &modelAfter[at], 256) == 0) continue;
            side1 += t > 35;
            for (std::size_t n = 0; n < kGcrDataBytes + 1; ++n) allowed.insert(dataByteOffset(*info, before, t, s, n));
        }
    EXPECT_FALSE(allowed.empty());
    for (std::size_t i = 0; i < after.size(); ++i)
        EXPECT_TRUE(after[i] == before[i] || allowed.count(i)) << "byte " << i;
    return side1;
}

// A G64 written the way a drive writes one, bit by bit with a GCR table of
// the test's own (not through our encoder): syncs of a chosen length, gaps
// of odd lengths (in bits too), the two fillers after the data checksum as
// the row gives them, and what a nibbled copy may add.
struct DriveWriting {
    int syncBits = 40;
    std::uint32_t fillerBits = 0x5294A;  // 20 bits: the GCR of 00 00, as a drive writes them
    std::uint32_t headerFillBits = 0xAD6B5;  // the header's last two bytes: the GCR of 0F 0F
    bool duplicate17_0 = false;          // a second header for 17:0 at the track's end, its data an empty block
    bool invalidCode17_0 = false;        // a 0 nybble of 17:0's data as 00000, no GCR code; the checksum right
    bool nineOnes17_0 = false;           // before 17:0 a header of it and an empty block after runs of 9 one bits (no syncs)
    int badChecksumTrack = 0, badChecksumSector = 0;  // that block's data checksum wrong
};

struct TrackBits {
    Bytes bytes;
    std::size_t n = 0;
    void bit(int b) {
        if (n % 8 == 0) bytes.push_back(0);
        if (b) bytes.back() = static_cast<std::uint8_t>(bytes.back() | 0x80 >> (n % 8));
        ++n;
    }
    void bits(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bit((value >> i) & 1);
    }
    void gcr(const std::uint8_t* data, std::size_t size, int invalidNybble = -1) {
        static const std::uint8_t code[16] = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                              0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};
        for (std::size_t i = 0; i < 2 * size; ++i) {
            const int nybble = i % 2 ? data[i / 2] & 15 : data[i / 2] >> 4;
            bits(static_cast<int>(i) == invalidNybble ? 0 : code[nybble], 5);
        }
    }
    // Exactly `ones` one bits: a 0 goes first where the bits before end in a 1.
    void sync(int ones) {
        if (n > 0 && (bytes.back() >> (7 - (n - 1) % 8) & 1)) bit(0);
        for (int i = 0; i < ones; ++i) bit(1);
    }
};

// A 1541 disk of 35 or 42 tracks becomes a G64; a 1571 disk a G71, side 1
// from slot 84 on, with the formatted tracks 36-42 of each side (headers
// 71-84) that c1541 writes too.
Bytes driveG64(const Bytes& disk, const DriveWriting& w) {
    const std::uint8_t id1 = disk[0x16500 + 0xA2], id2 = disk[0x16500 + 0xA3];
    const bool g71 = disk.size() == 349696;
    const int sides = g71 ? 2 : 1, perSide = g71 || disk.size() >= 205312 ? 42 : 35;
    std::vector<std::pair<std::size_t, Bytes>> tracks;  // slot, bytes
    std::size_t first = 0;
    for (int k = 0; k < sides * perSide; ++k) {
        const int side = k / perSide, p = k % perSide + 1;
        const bool extra = g71 && p > 35;
        const int t = extra ? 70 + 7 * side + p - 35 : p + 35 * side;
        const int sectors = p <= 17 ? 21 : p <= 24 ? 19 : p <= 30 ? 18 : 17;
        const std::size_t zoneLength = p <= 17 ? 7692 : p <= 24 ? 7142 : p <= 30 ? 6666 : 6250;
        TrackBits track;
        int ones = w.syncBits;
        auto sector = [&](int s, const std::uint8_t* block, int invalidNybble) {
            const std::uint8_t header[8] = {0x08, static_cast<std::uint8_t>(s ^ t ^ id2 ^ id1),
                                            static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(t), id2, id1, 0x0F, 0x0F};
            track.sync(ones);
            track.gcr(header, 6);
            track.bits(w.headerFillBits, 20);
            for (int g = 0; g < 9; ++g) track.bits(0x55, 8);
            track.sync(ones);
            Bytes data = {0x07};
            data.insert(data.end(), block, block + 256);
            data.push_back(std::accumulate(block, block + 256, std::uint8_t {0}, std::bit_xor<std::uint8_t>()));
            if (t == w.badChecksumTrack && s == w.badChecksumSector) data.back() ^= 0xFF;
            track.gcr(data.data(), data.size(), invalidNybble);
            track.bits(w.fillerBits, 20);
            for (int g = 0; g < 3 + s % 4; ++g) track.bits(0x55, 8);
            track.bits(0x55, s % 7);  // gaps of odd bit lengths
        };
        static const std::uint8_t formatted[256] = {};
        for (int s = 0; s < sectors; ++s) {
            const std::uint8_t* block = extra ? formatted : &disk[256 * (first + static_cast<std::size_t>(s))];
            int invalid = -1;
            if (w.invalidCode17_0 && t == 17 && s == 0)
                for (int i = 2; i < 2 + 2 * 256 && invalid < 0; ++i)
                    if ((i % 2 ? block[i / 2 - 1] & 15 : block[i / 2 - 1] >> 4) == 0) invalid = i;
            if (w.nineOnes17_0 && t == 17 && s == 0) {
                ones = 9;
                sector(0, formatted, -1);
                ones = w.syncBits;
            }
            sector(s, block, invalid);
        }
        if (w.duplicate17_0 && t == 17) {
            std::uint8_t empty[256] = {0x00, 0x01};
            sector(0, empty, -1);
        }
        if (!extra) first += static_cast<std::size_t>(sectors);
        track.bytes.resize(std::max(zoneLength, track.bytes.size() + 2), 0x55);
        track.bytes.back() &= 0xFE;  // the first sync of the track, met after the wrap, stays exact too
        tracks.emplace_back(84 * static_cast<std::size_t>(side) + 2 * static_cast<std::size_t>(p - 1), track.bytes);
    }
    std::size_t maxSize = 0;
    for (const auto& [slot, bytes] : tracks) maxSize = std::max(maxSize, bytes.size());
    const std::size_t slots = 84 * static_cast<std::size_t>(sides);
    Bytes g = {'G', 'C', 'R', '-', '1', '5', static_cast<std::uint8_t>(g71 ? '7' : '4'), '1', 0,
               static_cast<std::uint8_t>(slots), static_cast<std::uint8_t>(maxSize), static_cast<std::uint8_t>(maxSize >> 8)};
    g.resize(12 + 8 * slots, 0);
    for (const auto& [slot, bytes] : tracks) {
        const std::size_t at = g.size(), p = slot % 84 / 2 + 1;
        for (int i = 0; i < 4; ++i) g[12 + 4 * slot + i] = static_cast<std::uint8_t>(at >> (8 * i));
        g[12 + 4 * slots + 4 * slot] = static_cast<std::uint8_t>(p <= 17 ? 3 : p <= 24 ? 2 : p <= 30 ? 1 : 0);
        g.push_back(static_cast<std::uint8_t>(bytes.size()));
        g.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
        g.insert(g.end(), bytes.begin(), bytes.end());
        g.resize(at + 2 + maxSize, 0);
    }
    return g;
}

// A disk whose every block is noise.
Bytes noiseDisk(int type, int tracks, bool errorBytes = false) {
    ts::RawImage raw = ts::makeRawImage(type, tracks, errorBytes);
    for (int t = 1; t <= raw.tracks; ++t)
        for (int s = 0; s < ts::sectorsOf(raw, t); ++s) {
            const Bytes noise = ts::randomBytes(256, static_cast<std::uint32_t>(t * 100 + s));
            std::memcpy(ts::block(raw, t, s), noise.data(), 256);
        }
    return raw.data;
}

struct G64Test : ::testing::Test {
    ts::TempDir dir;
    pt::SettingsGuard guard;
    void SetUp() override { ts::loadDefaultSettings(dir); }
    // A G64 made by PackFiles, holding files a (3000 bytes) and b (600).
    std::string packed(const std::string& name) {
        const std::string src = ts::mkdirIn(dir, "src");
        ts::writeFile(src + "/a.prg", ts::randomBytes(3000, 1));
        ts::writeFile(src + "/b.prg", ts::randomBytes(600, 2));
        EXPECT_EQ(pt::pack(dir / name, src, {"a.prg", "b.prg"}), 0);
        return dir / name;
    }
};

TEST_F(G64Test, EveryTestD64DecodesBackFromOurG64AndListsAsTheD64) {
    std::vector<std::pair<std::string, Bytes>> d64s = {
        {"demo", ts::readFile(std::string(OMBRIX_SOURCE_DIR) + "/samples/demo.d64")},
        {"xmas89a", ts::sharedFile("realimages/xmas89a.d64").empty() ? Bytes()
                                                                     : ts::readFile(ts::sharedFile("realimages/xmas89a.d64"))},
    };
    for (int tracks : {35, 40, 42}) d64s.push_back({"raw" + std::to_string(tracks), noiseDisk(kTypeD64, tracks, tracks == 40)});
    packed("packed.d64");
    d64s.push_back({"packed", ts::readFile(dir / "packed.d64")});
    for (const auto& [name, d64] : d64s) {
        if (d64.empty()) continue;
        const std::size_t blocks = d64.size() >= 205312 ? 205312 : d64.size() >= 196608 ? 196608 : 174848;
        const Bytes back = d64Of(g64Of(d64));
        ASSERT_EQ(back.size(), blocks) << name;
        EXPECT_TRUE(std::equal(back.begin(), back.end(), d64.begin())) << name;
        if (name.rfind("raw", 0) == 0) continue;
        ts::writeFile(dir / (name + ".d64"), d64);
        ts::writeFile(dir / (name + ".g64"), g64Of(d64));
        std::string fromD64, fromG64;
        const std::string host = std::string(OMBRIX_HOST) + " --ini " + ts::shellQuote(dir / "cfg/wcx.ini");
        EXPECT_EQ(ts::run(host + " list " + ts::shellQuote(dir / (name + ".d64")) + " --json", &fromD64), 0);
        EXPECT_EQ(ts::run(host + " list " + ts::shellQuote(dir / (name + ".g64")) + " --json", &fromG64), 0);
        // The same files; only the image's name differs.
        const std::size_t at = fromG64.find(".g64\"");
        if (at != std::string::npos) fromG64.replace(at, 4, ".d64");
        EXPECT_EQ(fromG64, fromD64) << name;
    }
    std::string found;
    ts::run(std::string(OMBRIX_HOST) + " find 'a*' " + ts::shellQuote(dir.path), &found);
    EXPECT_NE(found.find("packed.g64"), std::string::npos) << found;
}

// Each damage as a drive meets it, on the first block of file a (17:0); and
// a track whose data begin inside that block, which then wraps from the end
// of the track to its start.
TEST_F(G64Test, DamagedSectorGetsTheDriveErrorAndFailsOnlyItsFile) {
    const Bytes good = ts::readFile(packed("x.g64"));
    struct Row {
        const char* damage;
        std::function<void(Bytes&)> apply;
        std::uint8_t error;
        int fileA, fileB;  // b lies on track 17 too
    };
    // Our encoder writes the header 24 bytes before the data block.
    const std::size_t header = dataByteOffset(good, 17, 0, 0) - 5 - 9 - kGcrHeaderBytes;
    const auto badChecksum = [&](Bytes& g) {
        std::uint8_t h[8];
        gcrDecode(&g[header], 2, h);
        h[1] ^= 0x40;
        gcrEncode(h, 2, &g[header]);
    };
    const std::vector<Row> rows = {
        {"data byte", [&](Bytes& g) { g[dataByteOffset(good, 17, 0, 100)] ^= 0x21; }, kErrorDataChecksum, 18, 0},
        {"data mark", [&](Bytes& g) { g[dataByteOffset(good, 17, 0, 0)] = 0x52; }, kErrorNoData, 18, 0},
        {"header checksum", badChecksum, kErrorHeaderChecksum, 18, 0},
        {"header mark", [&](Bytes& g) { g[header] = 0x55; }, kErrorNoHeader, 18, 0},
        {"block across the track's end", [&](Bytes& g) {
             const std::size_t start = trackOffset(g, 17) + 2, length = g[start - 2] | (g[start - 1] << 8);
             std::rotate(&g[start], &g[dataByteOffset(good, 17, 0, 100)], &g[start + length]);
         }, kErrorOk, 0, 0},
        {"no sync on the track", [&](Bytes& g) {
             const std::size_t offset = trackOffset(g, 17);
             std::memset(&g[offset + 2], 0x55, g[offset] | (g[offset + 1] << 8));
         }, kErrorNoSync, 18, 18},
    };
    for (const Row& row : rows) {
        Bytes damaged = good;
        row.apply(damaged);
        auto info = modelOf(damaged, kContainerG64);
        ASSERT_TRUE(info) << row.damage;
        EXPECT_EQ(info->hasErrorInfo ? info->errorInfo[getBlockIndex(*info, 17, 0)] : kErrorOk, row.error) << row.damage;
        ts::writeFile(dir / "d.g64", damaged);
        ts::TempDir out;
        const auto results = ts::extractAll(dir / "d.g64", out.path);
        ASSERT_EQ(results.size(), 2u) << row.damage;
        EXPECT_EQ(results[0].second, row.fileA) << row.damage;
        EXPECT_EQ(results[1].second, row.fileB) << row.damage;
    }
}

// G64s as drives and nibblers write them, read as a drive reads them: the
// fillers after a data block's checksum are no matter, a sync of 10 bits is
// one, the first of two headers for a sector from the track's start counts,
// a code that is no GCR is an error where the checksum agrees, and the
// content tells a G64 under any name.
TEST_F(G64Test, TracksAsADriveWritesThemReadAsADriveReadsThem) {
    const Bytes d64 = ts::readFile(packed("x.d64"));
    struct Row {
        const char* what;
        DriveWriting writing;
        const char* name;
        std::uint8_t error17_0;  // a's first block
        int fileA;
    };
    const std::vector<Row> rows = {
        {"40-bit syncs, odd gaps, fillers 00 00", {}, "drive.g64", kErrorOk, 0},
        {"fillers that are no GCR", {.fillerBits = 0x12345}, "drive.g64", kErrorOk, 0},
        {"fillers of zero bits", {.fillerBits = 0}, "drive.g64", kErrorOk, 0},
        {"header fillers that are no GCR", {.headerFillBits = 0x12345}, "drive.g64", kErrorOk, 0},
        {"syncs of exactly 10 one bits", {.syncBits = 10}, "drive.g64", kErrorOk, 0},
        {"a header and block for 17:0 after 9 one bits, no syncs", {.nineOnes17_0 = true}, "drive.g64", kErrorOk, 0},
        {"a second header for 17:0 at the track's end", {.duplicate17_0 = true}, "drive.g64", kErrorOk, 0},
        {"a code that is none in 17:0, its checksum right", {.invalidCode17_0 = true}, "drive.g64", kErrorDataChecksum, 18},
        {"a G64 under a .d64 name", {}, "drive.d64", kErrorOk, 0},
    };
    for (const Row& row : rows) {
        const Bytes g = driveG64(d64, row.writing);
        auto info = modelOf(g, kContainerG64);
        ASSERT_TRUE(info) << row.what;
        for (int b = 0; b < 683; ++b) {
            const std::uint8_t error = info->hasErrorInfo ? info->errorInfo[b] : kErrorOk;
            EXPECT_EQ(error, b == getBlockIndex(*info, 17, 0) ? row.error17_0 : kErrorOk) << row.what << " block " << b;
        }
        EXPECT_TRUE(row.error17_0 != kErrorOk || d64Of(g) == d64) << row.what;
        // The decoded model is a D64 with error bytes as any other: 5 for 23.
        const int at17_0 = getBlockIndex(*info, 17, 0);
        EXPECT_TRUE(row.error17_0 == kErrorOk ||
                    std::string(errorByteText(info->errorInfo[at17_0])) == "23, Checksum error in data block")
            << row.what;
        ts::writeFile(dir / row.name, g);
        ts::TempDir out;
        const auto results = ts::extractAll(dir / row.name, out.path);
        ASSERT_EQ(results.size(), 2u) << row.what;
        EXPECT_EQ(results[0].second, row.fileA) << row.what;
        EXPECT_EQ(results[1].second, 0) << row.what;
        EXPECT_TRUE(row.fileA != 0 || ts::readFile(out / "a.prg") == ts::randomBytes(3000, 1)) << row.what;
        EXPECT_EQ(ts::readFile(out / "b.prg"), ts::randomBytes(600, 2)) << row.what;
        if (std::string(row.name).find(".d64") == std::string::npos) continue;
        // Written by its content too: it stays a G64 with the new file.
        const std::string more = ts::mkdirIn(dir, "more");
        ts::writeFile(more + "/c.prg", ts::randomBytes(500, 3));
        ASSERT_EQ(pt::pack(dir / row.name, more, {"c.prg"}), 0);
        const Bytes after = ts::readFile(dir / row.name);
        EXPECT_EQ(std::string(after.begin(), after.begin() + 8), "GCR-1541");
        EXPECT_EQ(ts::list(dir / row.name).files.size(), 3u);
    }
}

// A write touches track 18 (directory, BAM) and the tracks near it; one that
// is not clean refuses the whole call, one elsewhere is no matter.
TEST_F(G64Test, AddRefusesATouchedTrackThatIsNotCleanAndLeavesOthersAlone) {
    const Bytes good = ts::readFile(packed("x.g64"));
    const std::string src = ts::mkdirIn(dir, "more");
    ts::writeFile(src + "/c.prg", ts::randomBytes(500, 3));
    struct Row {
        const char* damage;
        std::function<void(Bytes&)> apply;
        int result;
    };
    const std::vector<Row> rows = {
        {"bad free block on track 18", [&](Bytes& g) { g[dataByteOffset(good, 18, 10, 50)] ^= 0x21; }, 24},
        {"track 18 at a speed table", [&](Bytes& g) { g[12 + 4 * 84 + 4 * 34] = 0x80; }, 24},
        {"bad free block on track 35", [&](Bytes& g) { g[dataByteOffset(good, 35, 3, 50)] ^= 0x21; }, 0},
    };
    for (const Row& row : rows) {
        Bytes damaged = good;
        row.apply(damaged);
        ts::writeFile(dir / "d.g64", damaged);
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(dir / "d.g64", src, {"c.prg"}), row.result) << row.damage;
        const Bytes after = ts::readFile(dir / "d.g64");
        if (row.result != 0) {
            EXPECT_EQ(after, damaged) << row.damage;
            EXPECT_TRUE(log.contains("G64: track 18 is not a standard track -> read only")) << row.damage;
        } else {
            EXPECT_EQ(ts::list(dir / "d.g64").files.size(), 3u);
            EXPECT_EQ(after[dataByteOffset(good, 35, 3, 50)], damaged[dataByteOffset(good, 35, 3, 50)]);
        }
    }
}

// A G71 too: its side 1 from slot 84 on, the extra tracks of both sides
// formatted (84 tracks stored, as c1541 makes it), and a big file written
// onto side 1.
TEST_F(G64Test, NewImageIsStandardAndAddAndDeleteRewriteOnlyTheChangedDataBlocks) {
    struct Row {
        const char* name;  // in any letter case
        Bytes header;
        std::size_t size;
        std::vector<std::array<int, 3>> zones;  // track, speed, length
        int lastTrack;
    };
    const std::vector<std::array<int, 3>> side0 = {{1, 3, 7692},  {17, 3, 7692}, {18, 2, 7142}, {24, 2, 7142},
                                                   {25, 1, 6666}, {30, 1, 6666}, {31, 0, 6250}, {35, 0, 6250}};
    std::vector<std::array<int, 3>> sides = side0;
    for (const auto& [track, speed, length] : side0) sides.push_back({track + 35, speed, length});
    const std::vector<Row> rows = {
        {"X.G64", {'G', 'C', 'R', '-', '1', '5', '4', '1', 0, 84, 0xF8, 0x1E}, 278234, side0, 35},
        {"X.g71", {'G', 'C', 'R', '-', '1', '5', '7', '1', 0, 168, 0xF8, 0x1E}, 667476, sides, 70},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string image = packed(row.name);
        const Bytes made = ts::readFile(image);
        ASSERT_EQ(made.size(), row.size);
        EXPECT_EQ(Bytes(made.begin(), made.begin() + 12), row.header);
        const std::size_t slots = made[9];
        for (const auto& [track, speed, length] : row.zones) {
            EXPECT_EQ(le32(made, 12 + 4 * slots + 4 * slotOf(made, track)), static_cast<std::size_t>(speed)) << track;
            EXPECT_EQ(made[trackOffset(made, track)] | made[trackOffset(made, track) + 1] << 8, length) << track;
        }
        // Slots past the disk's tracks: none on a G64; on a G71 physical
        // tracks 36-42 of each side, stored in slot order behind the tables.
        for (std::size_t slot = 70; slot < slots; slot += 2)
            EXPECT_EQ(le32(made, 12 + 4 * slot), slots == 84 ? 0 : 12 + 8 * slots + slot / 2 * 7930) << slot;
        // Their headers numbered on from 70: physical 36 of side 0 is 71, 42 of side 1 is 84.
        for (const auto& [slot, number] : {std::pair<std::size_t, int> {70, 71}, {82, 77}, {154, 78}, {166, 84}}) {
            if (slots == 84) break;
            const std::size_t at = le32(made, 12 + 4 * slot);
            const GcrTrack track {&made[at + 2], static_cast<std::uint32_t>(made[at] | made[at + 1] << 8)};
            std::uint8_t gcr[kGcrHeaderBytes], h[8];
            readTrackBits(track, findSyncs(track).at(0), gcr, kGcrHeaderBytes);
            gcrDecode(gcr, 2, h);
            EXPECT_EQ(h[3], number) << slot;
        }
        const std::string src = ts::mkdirIn(dir, "more");
        ts::writeFile(src + "/c.prg", ts::randomBytes(2000, 3));
        ts::writeFile(src + "/big.prg", ts::randomBytes(700 * 254, 4));
        for (int step = 0; step < 3; ++step) {
            if (step == 2 && row.lastTrack == 35) break;
            SCOPED_TRACE(step);
            const Bytes before = ts::readFile(image);
            ASSERT_EQ(step == 0   ? pt::pack(image, src, {"c.prg"})
                      : step == 1 ? pt::remove(image, {"a.prg"})
                                  : pt::pack(image, src, {"big.prg"}),
                      0);
            // Side 1 holds 53/0 (its BAM) and the data that went there.
            EXPECT_TRUE(expectOnlyChangedBlocksRewritten(before, ts::readFile(image)) > 1 || step < 2)
                << "the big file stays off side 1";
        }
        EXPECT_EQ(ts::list(image).files.size(), row.lastTrack == 35 ? 2u : 3u);
    }
}

// G71s and 42-track G64s as a drive writes them: both sides of a 1571 disk
// (every zone of each) decode into the D71, and tracks 41-42 into a D64 of 42
// tracks; the extra tracks a G71 stores are ignored; a damaged block on side
// 1 gets the drive's 23 and fails only its file; a write on a drive's G71
// re-encodes only the blocks it changed; cbmconvert's D71 comes back byte for
// byte.
TEST_F(G64Test, G71AndFortyTwoTracksAsADriveWritesThem) {
    const std::string src = ts::mkdirIn(dir, "src");
    ts::writeFile(src + "/big.prg", ts::randomBytes(700 * 254, 4));
    const std::string files71 = packed("files.d71");
    ASSERT_EQ(pt::pack(files71, src, {"big.prg"}), 0);
    // A block of big.prg on side 1, off its BAM track.
    auto loaded = pt::load(files71);
    std::pair<int, int> side1 {0, 0};
    for (const auto& [t, s] : pt::chainOf(*loaded, *pt::findEntry(pt::entries(*loaded), "BIG")).blocks)
        if (t > 35 && t != 53 && side1.first == 0) side1 = {t, s};
    ASSERT_NE(side1.first, 0);
    Bytes peer71;
    if (ts::haveTool("cbmconvert")) {
        ts::writeFile(dir / "a.prg", ts::randomBytes(3000, 1));
        ts::writeFile(dir / "big.prg", ts::randomBytes(700 * 254, 4));
        std::string out;
        EXPECT_EQ(ts::run("cd " + ts::shellQuote(dir.path) + " && cbmconvert -D7 peer.d71 a.prg big.prg", &out), 0) << out;
        peer71 = ts::readFile(dir / "peer.d71");
    }
    struct Row {
        const char* what;
        Bytes disk;  // the blocks the tracks are written from
        DriveWriting writing;
        const char* name;
        std::pair<int, int> bad;  // the block that reads as 23, {0, 0} for none
        std::vector<int> results;  // extracting each listed file
    };
    const std::vector<Row> rows = {
        {"noise in every block of a G71", noiseDisk(kTypeD71, 70), {}, "n.g71", {0, 0}, {}},
        {"noise on 42 tracks of a G64", noiseDisk(kTypeD64, 42), {.syncBits = 10}, "n.g64", {0, 0}, {}},
        {"files on both sides of a G71", ts::readFile(files71), {}, "f.g71", {0, 0}, {0, 0, 0}},
        {"a bad block on side 1, under a .d71 name", ts::readFile(files71),
         {.badChecksumTrack = side1.first, .badChecksumSector = side1.second}, "bad.d71", side1, {0, 0, 18}},
        {"cbmconvert's D71", peer71, {.fillerBits = 0x12345}, "peer.g71", {0, 0}, {0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.disk.empty()) continue;
        const Bytes g = driveG64(row.disk, row.writing);
        auto info = modelOf(g, kContainerG64);
        ASSERT_TRUE(info);
        const int bad = row.bad.first ? getBlockIndex(*info, row.bad.first, row.bad.second) : -1;
        const Bytes model = d64Of(g);
        ASSERT_EQ(info->trackCount, row.disk.size() == 349696 ? 70 : 42);
        ASSERT_EQ(model.size(), row.disk.size() + (bad >= 0 ? getDiskBlockCount(*info) : 0));
        for (int b = 0; b < getDiskBlockCount(*info); ++b) {
            EXPECT_EQ(info->hasErrorInfo ? info->errorInfo[b] : kErrorOk, b == bad ? kErrorDataChecksum : kErrorOk) << b;
            EXPECT_TRUE(b == bad || std::equal(&model[256 * b], &model[256 * b + 256], &row.disk[256 * b])) << b;
        }
        if (row.results.empty()) continue;
        ts::writeFile(dir / row.name, g);
        ts::writeFile(dir / "same.d71", row.disk);
        const ts::Listing listing = ts::list(dir / row.name), plain = ts::list(dir / "same.d71");
        ASSERT_EQ(listing.files.size(), row.results.size());
        ts::TempDir out;
        const auto results = ts::extractAll(dir / row.name, out.path);
        for (std::size_t i = 0; i < row.results.size(); ++i) {
            EXPECT_EQ(listing.files[i].name, plain.files[i].name);
            EXPECT_EQ(results[i].second, row.results[i]) << results[i].first;
        }
        // Written by its content; the bad track is not touched by this file.
        const std::string more = ts::mkdirIn(dir, "more");
        ts::writeFile(more + "/c.prg", ts::randomBytes(500, 3));
        ASSERT_EQ(pt::pack(dir / row.name, more, {"c.prg"}), 0);
        expectOnlyChangedBlocksRewritten(g, ts::readFile(dir / row.name));
        EXPECT_EQ(ts::list(dir / row.name).files.size(), row.results.size() + 1);
    }
}

TEST_F(G64Test, HostileHeadersAreRefusedOrReadAsDamage) {
    const Bytes good = ts::readFile(packed("x.g64"));
    struct Row {
        const char* change;
        std::function<void(Bytes&)> apply;
        int openResult;
        int deleteResult;  // the file unchanged unless 0
    };
    const auto track18 = [](Bytes& g, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) g[12 + 8 * 17 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    const std::vector<Row> rows = {
        {"truncated in the signature", [](Bytes& g) { g.resize(6); }, 14, 14},
        {"version 1", [](Bytes& g) { g[8] = 1; }, 14, 14},
        {"tables past the end", [](Bytes& g) { g[9] = 255; g.resize(12 + 8 * 200); }, 12, 12},
        {"no half tracks", [](Bytes& g) { g[9] = 0; }, 0, 0},
        {"track 18 past the end", [&](Bytes& g) { track18(g, 0xFFFFFFF0u); }, 0, 0},
        {"track 18 in the tables", [&](Bytes& g) { track18(g, 12); }, 0, 0},
        {"last track cut short", [](Bytes& g) { g.resize(g.size() - 9000); }, 0, 0},
        {"maximum track size 0", [](Bytes& g) { g[10] = g[11] = 0; }, 0, 24},
        {"track 20 shares track 18's bytes", [](Bytes& g) {
             for (int i = 0; i < 4; ++i) g[12 + 8 * 19 + i] = g[12 + 8 * 17 + i];
         }, 0, 24},
    };
    for (const Row& row : rows) {
        Bytes changed = good;
        row.apply(changed);
        ts::writeFile(dir / "h.g64", changed);
        const ts::Listing listing = ts::list(dir / "h.g64");
        EXPECT_EQ(listing.openResult, row.openResult) << row.change;
        const ts::Bytes before = ts::readFile(dir / "h.g64");
        EXPECT_EQ(pt::remove(dir / "h.g64", {"b.prg"}), row.deleteResult) << row.change;
        EXPECT_TRUE(row.deleteResult == 0 || ts::readFile(dir / "h.g64") == before) << row.change;
    }
}

// Our G64 and G71 (new image, then a delete) back to a D64 or D71 through
// our decoder: cc1541 (35-track D64s only) and cbmconvert read the same files.
TEST_F(G64Test, PeersReadOurG64AsDecoded) {
    if (!ts::haveTool("cc1541") || !ts::haveTool("cbmconvert")) GTEST_SKIP() << "peer tools missing";
    for (const char* kind : {"64", "71"}) {
        SCOPED_TRACE(kind);
        const std::string image = packed(std::string("x.g") + kind), plain = dir / (std::string("x.d") + kind);
        ASSERT_EQ(pt::remove(image, {"b.prg"}), 0);
        ts::writeFile(plain, d64Of(ts::readFile(image)));
        ASSERT_EQ(ts::readFile(plain).size(), kind[0] == '6' ? 174848u : 349696u);
        std::string out;
        EXPECT_TRUE(kind[0] == '7' || ts::run("cc1541 -V " + ts::shellQuote(plain), &out) == 0) << out;
        const std::string folder = ts::mkdirIn(dir, std::string("peer") + kind);
        EXPECT_EQ(ts::run("cd " + ts::shellQuote(folder) + " && cbmconvert -d " + ts::shellQuote(plain), &out), 0) << out;
        EXPECT_EQ(ts::readFile(folder + "/a.prg"), ts::randomBytes(3000, 1));
        EXPECT_FALSE(ts::exists(folder + "/b.prg"));
    }
}

}  // namespace
