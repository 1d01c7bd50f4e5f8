// G64 images: D64s of every kind encoded by us and decoded back, damaged
// sectors with the drive's error codes, writes that re-encode only changed
// blocks and refuse tracks that are not clean, hostile headers, and our G64s
// read back through cc1541 and cbmconvert.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "image/g64.h"
#include "tests/pack_support.h"

namespace {

using ts::Bytes;

std::unique_ptr<ImageInfo> modelOf(const Bytes& bytes, std::int32_t container) {
    std::unique_ptr<ImageInfo> info = newImageInfo();
    info->imageType = kTypeD64;
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
std::size_t trackOffset(const Bytes& g64, int track) { return le32(g64, 12 + 8 * (track - 1)); }

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
        {"xmas89a", ts::readFile("/work/shared/realimages/xmas89a.d64")},
    };
    for (int tracks : {35, 40}) {
        ts::RawImage raw = ts::makeRawImage(1, tracks, tracks == 40);
        for (int t = 1; t <= tracks; ++t)
            for (int s = 0; s < ts::sectorsOf(raw, t); ++s) {
                const Bytes noise = ts::randomBytes(256, static_cast<std::uint32_t>(t * 100 + s));
                std::memcpy(ts::block(raw, t, s), noise.data(), 256);
            }
        d64s.push_back({"raw" + std::to_string(tracks), raw.data});
    }
    packed("packed.d64");
    d64s.push_back({"packed", ts::readFile(dir / "packed.d64")});
    for (const auto& [name, d64] : d64s) {
        if (d64.empty()) continue;
        const std::size_t blocks = d64.size() >= 196608 ? 196608 : 174848;
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
        {"data byte", [&](Bytes& g) { g[dataByteOffset(good, 17, 0, 100)] ^= 0x21; }, 23, 18, 0},
        {"data mark", [&](Bytes& g) { g[dataByteOffset(good, 17, 0, 0)] = 0x52; }, 22, 18, 0},
        {"header checksum", badChecksum, 27, 18, 0},
        {"header mark", [&](Bytes& g) { g[header] = 0x55; }, 20, 18, 0},
        {"block across the track's end", [&](Bytes& g) {
             const std::size_t start = trackOffset(g, 17) + 2, length = g[start - 2] | (g[start - 1] << 8);
             std::rotate(&g[start], &g[dataByteOffset(good, 17, 0, 100)], &g[start + length]);
         }, kErrorOk, 0, 0},
        {"no sync on the track", [&](Bytes& g) {
             const std::size_t offset = trackOffset(g, 17);
             std::memset(&g[offset + 2], 0x55, g[offset] | (g[offset + 1] << 8));
         }, 21, 18, 18},
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

TEST_F(G64Test, NewImageIsStandardAndAddAndDeleteRewriteOnlyTheChangedDataBlocks) {
    const std::string image = packed("x.g64");
    const Bytes made = ts::readFile(image);
    EXPECT_EQ(Bytes(made.begin(), made.begin() + 12), Bytes({'G', 'C', 'R', '-', '1', '5', '4', '1', 0, 84, 0xF8, 0x1E}));
    for (const auto& [track, speed] : std::vector<std::pair<int, int>> {{1, 3}, {17, 3}, {18, 2}, {25, 1}, {31, 0}, {35, 0}})
        EXPECT_EQ(le32(made, 12 + 4 * 84 + 8 * (track - 1)), static_cast<std::size_t>(speed)) << track;
    EXPECT_EQ(trackOffset(made, 36), 0u);
    const std::string src = ts::mkdirIn(dir, "more");
    ts::writeFile(src + "/c.prg", ts::randomBytes(2000, 3));
    for (int step = 0; step < 2; ++step) {
        const Bytes before = ts::readFile(image);
        ASSERT_EQ(step == 0 ? pt::pack(image, src, {"c.prg"}) : pt::remove(image, {"a.prg"}), 0);
        const Bytes after = ts::readFile(image);
        ASSERT_EQ(after.size(), before.size());
        const Bytes modelBefore = d64Of(before), modelAfter = d64Of(after);
        ASSERT_EQ(modelAfter.size(), 174848u) << "a block no longer decodes";
        std::set<std::size_t> allowed;
        auto info = modelOf(before, kContainerG64);
        for (int t = 1; t <= 35; ++t)
            for (int s = 0; s < getTrackSectorCount(*info, static_cast<std::uint8_t>(t)); ++s) {
                const std::size_t at = 256 * static_cast<std::size_t>(getBlockIndex(*info, t, s));
                if (std::memcmp(&modelBefore[at], &modelAfter[at], 256) == 0) continue;
                for (std::size_t n = 0; n < kGcrDataBytes + 1; ++n) allowed.insert(dataByteOffset(*info, before, t, s, n));
            }
        EXPECT_FALSE(allowed.empty());
        for (std::size_t i = 0; i < after.size(); ++i)
            EXPECT_TRUE(after[i] == before[i] || allowed.count(i)) << "step " << step << " byte " << i;
    }
    EXPECT_EQ(ts::list(image).files.size(), 2u);
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

// Our G64 (new image, then a delete) back to a D64 through our decoder:
// cc1541 and cbmconvert read the same files.
TEST_F(G64Test, PeersReadOurG64AsDecoded) {
    if (!ts::haveTool("cc1541") || !ts::haveTool("cbmconvert")) GTEST_SKIP() << "peer tools missing";
    const std::string image = packed("x.g64");
    ASSERT_EQ(pt::remove(image, {"b.prg"}), 0);
    ts::writeFile(dir / "x.d64", d64Of(ts::readFile(image)));
    std::string out;
    EXPECT_EQ(ts::run("cc1541 -V " + ts::shellQuote(dir / "x.d64"), &out), 0) << out;
    const std::string folder = ts::mkdirIn(dir, "peer");
    EXPECT_EQ(ts::run("cd " + ts::shellQuote(folder) + " && cbmconvert -d ../x.d64", &out), 0) << out;
    EXPECT_EQ(ts::readFile(folder + "/a.prg"), ts::randomBytes(3000, 1));
    EXPECT_FALSE(ts::exists(folder + "/b.prg"));
}

}  // namespace
