// The disk as a whole through the host: dir and info agree with cc1541 on
// its own images; validate finds each kind of damage in an image made for
// it, tells errors from notes, and --repair mends the BAM errors (cc1541 -V
// then accepts the image) and nothing else;
// several images per command, and find across a folder tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/pack_support.h"
#include "tests/writer_support.h"

namespace {

using pt::Bytes;
using ts::shellQuote;

using ts::host;

TEST(DiskCheck, DirAndInfoAgreeWithCc1541) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 missing";
    ts::TempDir dir;
    ts::writeFile(dir / "src", ts::randomBytes(3000, 1));
    const struct {
        const char* image;
        const char* options;
        const char* format;
        const char* layout;
    } cases[] = {{"a.d64", "", "D64", "none"},         {"s.d64", "-4", "D64", "speeddos"},
                 {"d.d64", "-5", "D64", "dolphindos"}, {"b.d71", "", "D71", "none"},
                 {"c.d81", "", "D81", "none"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string image = dir / c.image;
        std::string out;
        ASSERT_EQ(ts::run("cd " + shellQuote(dir.path) + " && cc1541 -q " + c.options + " -n 'PEER Title' -i 'x9' -f game -w src -P -f locked -w src -T SEQ -f notes -w src -f 'a/b#61' -w src " + shellQuote(image), &out), 0) << out;
        ASSERT_EQ(ts::run("cc1541 " + shellQuote(image), &out), 0);
        EXPECT_NE(out.find("\"a/bA\""), std::string::npos) << out;
        // cc1541: 0 <reverse>"TITLE" ID<normal> ... N blocks free.
        const std::size_t q = out.find('"'), q2 = out.find('"', q + 1);
        std::string title = out.substr(q + 1, q2 - q - 1);
        title.erase(title.find_last_not_of(' ') + 1);
        const std::string id = out.substr(q2 + 2, 2);
        const std::size_t free = out.rfind(" blocks free.");
        const std::string blocks = out.substr(out.rfind('\n', free) + 1, free - out.rfind('\n', free) - 1);

        ASSERT_EQ(ts::run(host(dir) + "info --json " + shellQuote(image), &out), 0) << out;
        EXPECT_NE(out.find("\"format\": \"" + std::string(c.format) + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"layout\": \"" + std::string(c.layout) + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"title\": \"" + title + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"id\": \"" + id + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"blocksFree\": " + blocks + "}"), std::string::npos) << out;
        ASSERT_EQ(ts::run(host(dir) + "dir " + shellQuote(image), &out), 0) << out;
        EXPECT_EQ(out.rfind("0 \"" + title + std::string(16 - title.size(), ' ') + "\" " + id, 0), 0u) << out;
        EXPECT_NE(out.find("12   \"game\"             PRG\n12   \"locked\"           PRG<\n"), std::string::npos) << out;
        // The name as the drive shows it, as cc1541 does: '/' stays, 0x61 is a capital.
        EXPECT_NE(out.find("12   \"a/bA\"             PRG\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\n" + blocks + " BLOCKS FREE.\n"), std::string::npos) << out;
    }
}

// One image per kind of damage; every one is caught, the BAM errors mended,
// a note left as it is.
TEST(DiskCheck, ValidateFindsEachDamageAndRepairMendsTheBam) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(700, 1)}, {"b.prg", ts::randomBytes(700, 2)}});
    const std::string good = dir / "good.d64";
    ASSERT_EQ(pt::pack(good, src, {"a.prg", "b.prg"}), 0);
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "validate " + shellQuote(good), &out), 0) << out;

    auto info = pt::load(good);
    const auto list = pt::entries(*info);
    const pt::Chain a = pt::chainOf(*info, list[0]), b = pt::chainOf(*info, list[1]);
    struct Damage {
        const char* what;
        const char* line;  // in the report
        bool error;        // else a note
        bool mendable;     // by a repaired BAM
        void (*apply)(ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&);
    };
    const Damage damages[] = {
        {"a file's block free in the BAM, beside a block marked used that nothing uses",
         "error: in use but free in the BAM (the next write would destroy them): ", true, true,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain&, const std::vector<pt::Entry>&) {
             const auto track = static_cast<std::uint8_t>(a.blocks[1].first);
             markSectorFree(i, track, static_cast<std::uint8_t>(a.blocks[1].second));
             for (std::uint8_t s = 0; s < getTrackSectorCount(i, track); ++s)
                 if (IsSectorFree(i, track, s) && s != a.blocks[1].second) {
                     markSectorUsed(i, track, s);
                     return;
                 }
         }},
        {"a block marked used that nothing uses", "note: marked used but nothing uses them: 1:0", false, false,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&) { markSectorUsed(i, 1, 0); }},
        {"a count that disagrees with its bitmap", "error: track 5: the BAM counts 20 free blocks, its bitmap 21", true, true,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&) {
             wt::blockOf(i, 18, 0)[4 * 5] = 20;
         }},
        {"two files sharing a block", "is used by \"a\" and by \"b\"", true, false,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain& b, const std::vector<pt::Entry>&) {
             std::uint8_t* last = wt::blockOf(i, b.blocks.back().first, b.blocks.back().second);
             last[0] = static_cast<std::uint8_t>(a.blocks.back().first);
             last[1] = static_cast<std::uint8_t>(a.blocks.back().second);
         }},
        {"a chain that loops", "error: \"a\": its chain loops back to", true, false,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain&, const std::vector<pt::Entry>&) {
             std::uint8_t* last = wt::blockOf(i, a.blocks.back().first, a.blocks.back().second);
             last[0] = static_cast<std::uint8_t>(a.blocks[0].first);
             last[1] = static_cast<std::uint8_t>(a.blocks[0].second);
         }},
        {"a chain that leaves the disk", "error: \"b\": its chain leaves the disk at 99:", true, false,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain& b, const std::vector<pt::Entry>&) {
             wt::blockOf(i, b.blocks.back().first, b.blocks.back().second)[0] = 99;
         }},
        {"a closed file starting at track 0 (a 0-byte file as older versions stored it)",
         "error: \"b\": its chain starts off the disk at 0:0", true, false,
         [](ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>& list) {
             std::memset(list[1].bytes + kDirStartTrack, 0, 2);
         }},
        {"an unclosed file starting at track 0", "note: marked used but nothing uses them: ", false, false,
         [](ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>& list) {
             list[1].bytes[kDirEntryType] = 0x02;
             std::memset(list[1].bytes + kDirStartTrack, 0, 2);
         }},
        {"a wrong block count", "note: \"a\": the directory says 7 blocks, it has 3", false, false,
         [](ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>& list) {
             list[0].bytes[kDirBlockCount] = 7;
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        auto damaged = pt::load(good);
        d.apply(*damaged, a, b, pt::entries(*damaged));
        const std::string image = dir / "damaged.d64";
        ts::writeFile(image, wt::bytesOf(*damaged));
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), d.error ? 13 : 0) << out;
        EXPECT_NE(out.find(d.line), std::string::npos) << out;
        const bool notes = out.find(": note: ") != std::string::npos;
        EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), 13) << out;
        const Bytes before = ts::readFile(image);
        EXPECT_EQ(ts::run(host(dir) + "validate --repair " + shellQuote(image), &out), d.error && !d.mendable ? 13 : 0)
            << out;
        if (!d.mendable) {
            EXPECT_TRUE(ts::readFile(image) == before);
            continue;
        }
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
        EXPECT_EQ(out.find(": note: ") != std::string::npos, notes) << out;  // left as they were
        // Only the BAM changed; the files read as before.
        const Bytes after = ts::readFile(image);
        for (std::size_t i = 0; i < after.size(); ++i) {
            if (after[i] != before[i]) {
                ASSERT_TRUE(i >= 91392 && i < 91392 + 144) << "byte " << i;
            }
        }
        for (const auto& r : ts::extractAll(image, (dir / "x"))) {
            EXPECT_NE(r.second, 18);
        }
        if (!notes && ts::haveTool("cc1541")) {  // it takes a block marked used outside files for damage
            EXPECT_EQ(ts::run("cc1541 -V " + shellQuote(image), &out), 0) << out;
        }
    }
}

// A GEOS disk as GEOS leaves it: "GEOS format" in the header, which names
// the border block, where the entry of a file moved onto the desktop's
// border lies. Validate, repair, adding and deleting hold that block and the
// file's blocks in use; the file is listed after the directory's, under its
// ASCII name. A border pointer that is not plausible claims nothing.
TEST(DiskCheck, GeosBorderBlockAndItsFiles) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    const Bytes photo = ts::convertFile("photo manager", 0x82, false, {ts::randomBytes(900, 4)}, 5);
    pt::writeSources(src, {{"a.cvt", ts::convertFile("Cory", 0x83, true, {ts::randomBytes(600, 1), {}}, 3)},
                           {"b.cvt", photo}, {"c.prg", ts::randomBytes(300, 6)}});
    const std::string image = dir / "geos.d64", copy = dir / "copy.d64";
    ASSERT_EQ(pt::pack(image, src, {"a.cvt", "b.cvt", "c.prg"}), 0);
    auto info = pt::load(image);
    const auto list = pt::entries(*info);
    std::uint8_t* header = wt::blockOf(*info, 18, 0);
    ASSERT_NE(header, nullptr);
    std::memcpy(header + 0xAD, "GEOS format V1.0", 16);
    header[0xAB] = 19, header[0xAC] = 0;
    ASSERT_TRUE(IsSectorFree(*info, 19, 0));
    markSectorUsed(*info, 19, 0);
    std::uint8_t* border = wt::blockOf(*info, 19, 0);
    border[1] = 0xFF;
    std::memcpy(border + 34, list[1].bytes + 2, 30);
    std::memset(list[1].bytes + 2, 0, 30);
    const Bytes good = wt::bytesOf(*info);
    ts::writeFile(image, good);
    auto names = [](const std::string& i) {
        std::vector<std::string> n;
        for (const ts::Listed& f : ts::list(i).files) n.push_back(f.name);
        return n;
    };
    EXPECT_EQ(names(image), (std::vector<std::string>{"Cory.cvt", "c.prg", "photo manager.cvt"}));
    std::string out;
    EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), 0) << out;
    ASSERT_EQ(ts::run(host(dir) + "find 'cory*' " + shellQuote(dir.path), &out), 0);
    EXPECT_EQ(out, image + ": Cory.cvt\n");
    EXPECT_EQ(ts::extractAll(image, ts::mkdirIn(dir, "x")).back().second, 0);
    EXPECT_EQ(ts::readFile(dir / "x/photo manager.cvt"), photo);

    // A BAM that calls the border's blocks free: adding as much as it then
    // offers leaves them alone, and the BAM gets them back.
    BlockClaims own;
    claimEntryBlocks(*info, own, border + 32);
    claimChain(*info, own, 19, 0);
    int freed = 0;
    for (std::uint8_t t = 1; t <= 35; ++t)
        for (std::uint8_t s = 0; s < getTrackSectorCount(*info, t); ++s)
            if (blockClaims(*info, own, t, s)) markSectorFree(*info, t, s), ++freed;
    ts::writeFile(image, wt::bytesOf(*info));
    EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 13) << out;
    ts::writeFile(src + "/big.prg", ts::randomBytes(254 * (getAllocatableBlocks(*info, false) - freed), 7));
    ASSERT_EQ(pt::pack(image, src, {"big.prg"}), 0);
    EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
    EXPECT_EQ(ts::extractAll(image, ts::mkdirIn(dir, "y")).size(), 4u);
    EXPECT_EQ(ts::readFile(dir / "y/photo manager.cvt"), photo);

    // Deleting the border's file clears its entry there and frees its blocks.
    ts::writeFile(image, good);
    ASSERT_EQ(pt::remove(image, {"photo manager.cvt"}), 0);
    EXPECT_EQ(names(image), (std::vector<std::string>{"Cory.cvt", "c.prg"}));
    const Bytes after = ts::readFile(image);
    const std::size_t borderAt = pt::offsetOf(*info, 19, 0);
    EXPECT_EQ(after[borderAt + 1], 0xFF);
    EXPECT_EQ(Bytes(after.begin() + borderAt + 34, after.begin() + borderAt + 64), Bytes(30, 0));
    EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), 0) << out;

    const std::size_t at = pt::offsetOf(*info, 18, 0), pointer = at + 0xAB;
    const struct {
        const char* what;
        std::size_t at;
        Bytes to;
    } bogus[] = {{"no GEOS signature", at + 0xAD, {'g'}},
                 {"the header", pointer, {18, 0}},
                 {"a directory block", pointer, {18, 1}},
                 {"outside the disk", pointer, {99, 0}},
                 {"a file's block", pointer, {Bytes(list[0].bytes + kDirStartTrack, list[0].bytes + kDirStartTrack + 2)}},
                 {"a block that links on", borderAt, {17}},
                 {"a block whose error byte says bad (error bytes added)", 174848 + borderAt / 256, {5}}};
    for (const auto& b : bogus) {
        SCOPED_TRACE(b.what);
        Bytes bytes = good;
        if (b.at >= bytes.size()) bytes.resize(174848 + 683, 0);
        std::copy(b.to.begin(), b.to.end(), bytes.begin() + static_cast<std::ptrdiff_t>(b.at));
        ts::writeFile(copy, bytes);
        EXPECT_EQ(names(copy), (std::vector<std::string>{"Cory.cvt", "c.prg"}));
        EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(copy), &out), 13);
        EXPECT_NE(out.find("marked used but nothing uses them: 19:0"), std::string::npos) << out;
    }
}

// The plug-in's own images, of every format, with and without error bytes,
// are sound even to --strict, and a repair that may free changes no byte.
TEST(DiskCheck, OwnImagesOfEveryFormatAreSoundAndRepairLeavesThem) {
    ts::TempDir dir;
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"big.prg", ts::randomBytes(30000, 3)}, {"small.seq", ts::randomBytes(100, 4)},
                           {"empty.prg", {}}});
    const struct {
        const char* name;
        const char* options;
    } cases[] = {{"a.d64", ""}, {"s.d64", " --forty speeddos"}, {"d.d64", " --forty dolphindos"}, {"b.d71", ""},
                 {"c.d80", ""}, {"e.d81", ""},                  {"f.d82", ""}};
    std::string out;
    for (const auto& c : cases)
        for (const std::string errors : {"", " --error-bytes"}) {
            const std::string image = dir / ((errors.empty() ? "" : "x") + std::string(c.name));
            SCOPED_TRACE(image);
            const std::string add = "add " + shellQuote(image) + " -C " + shellQuote(src) + c.options + errors;
            ASSERT_EQ(ts::run(host(dir) + add + " big.prg small.seq empty.prg", &out), 0) << out;
            EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), 0) << out;
            EXPECT_EQ(out, image + ": consistent\n");
            // An empty file is one block holding no byte, which peers read too.
            if (c.name == std::string("a.d64") && errors.empty() && ts::haveTool("cc1541")) {
                EXPECT_EQ(ts::run("cc1541 -V " + shellQuote(image), &out), 0) << out;
            }
            const Bytes before = ts::readFile(image);
            EXPECT_EQ(ts::run(host(dir) + "validate --repair --free-unused " + shellQuote(image), &out), 0) << out;
            EXPECT_TRUE(ts::readFile(image) == before);
        }
}

// Blocks marked used that no entry names (a demo's trackloader data on tracks
// 36-40, the CP/M area of a C128 disk) are notes: a repair keeps them, and
// only --free-unused frees them, saying which before it writes.
TEST(DiskCheck, BlocksOutsideFilesStayUnlessFreeingIsAsked) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(700, 1)}});
    const struct {
        const char* name;
        int forty;
        int track;
    } cases[] = {{"demo.d64", 2, 36}, {"cpm.d71", 0, 40}};
    std::string out;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewImageSettings.fortyTracks = c.forty != 0;
        NewImageSettings.fortyTrackType = c.forty;
        const std::string image = dir / c.name;
        ASSERT_EQ(pt::pack(image, src, {"a.prg"}), 0);
        auto info = pt::load(image);
        for (std::uint8_t s = 0; s < getTrackSectorCount(*info, static_cast<std::uint8_t>(c.track)); ++s)
            markSectorUsed(*info, static_cast<std::uint8_t>(c.track), s);
        ts::writeFile(image, wt::bytesOf(*info));
        // A whole track is one range.
        const std::string blocks = std::to_string(c.track) + ":0-" +
                                   std::to_string(getTrackSectorCount(*info, static_cast<std::uint8_t>(c.track)) - 1) + "\n";
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
        EXPECT_NE(out.find("note: marked used but nothing uses them: " + blocks), std::string::npos) << out;
        const Bytes before = ts::readFile(image);
        EXPECT_EQ(ts::run(host(dir) + "validate --repair " + shellQuote(image), &out), 0) << out;
        EXPECT_TRUE(ts::readFile(image) == before);
        EXPECT_EQ(ts::run(host(dir) + "validate --free-unused " + shellQuote(image), &out), 2) << out;

        EXPECT_EQ(ts::run(host(dir) + "validate --repair --free-unused " + shellQuote(image), &out), 0) << out;
        const std::size_t freeing = out.find("freeing: blocks marked used that nothing uses: " + blocks);
        EXPECT_LT(freeing, out.find("repaired: ")) << out;
        EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), 0) << out;
        EXPECT_TRUE(IsSectorFree(*pt::load(image), static_cast<std::uint8_t>(c.track), 0));
    }
}

// A 1581 partition is an area of blocks in a row, whatever its first block
// holds: here a "link" into the file beside it, which must neither count as
// shared nor keep that file's blocks when it is deleted. Areas off the disk or
// over the directory track are errors.
TEST(DiskCheck, PartitionsAreAreasOfBlocks) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(1000, 1)}});
    const std::string good = dir / "good.d81";
    ASSERT_EQ(pt::pack(good, src, {"a.prg"}), 0);
    const struct {
        int track, sector, blocks, exit;
        const char* line;
    } cases[] = {
        {60, 0, 80, 0, ""},
        {41, 0, 1600, 0, ""},  // from just above the directory track to the disk's last block
        {40, 0, 40, 13, "error: \"part\": its 40 blocks from 40:0 run over the directory track 40"},
        {80, 0, 41, 13, "error: \"part\": its 41 blocks from 80:0 run off the disk"},  // one block too many
        {39, 0, 41, 13, "error: \"part\": its 41 blocks from 39:0 run over the directory track 40"},
        {79, 0, 65535, 13, "error: \"part\": its 65535 blocks from 79:0 run off the disk"},
        {81, 0, 40, 13, "error: \"part\": its area starts off the disk at 81:0"},
    };
    std::string out;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto info = pt::load(good);
        const pt::Chain a = pt::chainOf(*info, pt::entries(*info)[0]);
        std::uint8_t* entry = pt::blockOf(*info, 40, 3) + kDirEntrySize;
        entry[kDirEntryType] = 0x85;
        entry[kDirStartTrack] = static_cast<std::uint8_t>(c.track);
        entry[kDirStartSector] = static_cast<std::uint8_t>(c.sector);
        std::memset(entry + kDirFileName, 0xA0, kCbmNameLength);
        std::memcpy(entry + kDirFileName, "PART", 4);
        entry[kDirBlockCount] = static_cast<std::uint8_t>(c.blocks & 0xFF);
        entry[kDirBlockCount + 1] = static_cast<std::uint8_t>(c.blocks >> 8);
        for (int i = (c.track - 1) * 40; i < std::min((c.track - 1) * 40 + c.blocks, 3200); ++i)  // 40 a track
            if (IsSectorFree(*info, static_cast<std::uint8_t>(i / 40 + 1), static_cast<std::uint8_t>(i % 40)))
                markSectorUsed(*info, static_cast<std::uint8_t>(i / 40 + 1), static_cast<std::uint8_t>(i % 40));
        if (std::uint8_t* head = pt::blockOf(*info, c.track, c.sector)) {
            head[0] = static_cast<std::uint8_t>(a.blocks[0].first);
            head[1] = static_cast<std::uint8_t>(a.blocks[0].second);
        }
        const std::string image = dir / "part.d81";
        ts::writeFile(image, wt::bytesOf(*info));
        EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), c.exit) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        if (c.exit != 0) continue;
        ASSERT_EQ(pt::remove(image, {"a.prg"}), 0);
        auto after = pt::load(image);
        for (const auto& [t, s] : a.blocks)
            EXPECT_TRUE(IsSectorFree(*after, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s))) << t << ":" << s;
        EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &out), 0) << out;
    }
}

// An 8050 disk in an 8250 drive: two BAM blocks stating tracks 1-77, and
// behind them the 8250 BAM blocks an earlier format left. The image is read
// as the 8050 disk it is; ranges no drive writes leave the fixed layout.
TEST(DiskCheck, D82BamBlocksStateTheirTracks) {
    ts::TempDir dir;
    const std::string src = ts::mkdirIn(dir, "src");
    // a takes 38:1 and 38:2: the old blocks 38:6 and 38:9 stay as they were.
    pt::writeSources(src, {{"a.prg", ts::randomBytes(300, 1)}, {"b.prg", ts::randomBytes(3000, 2)}});
    const std::string d80 = dir / "old.d80", d82 = dir / "new.d82", mixed = dir / "mixed.d82";
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(d80) + " -C " + shellQuote(src) + " a.prg", &out), 0) << out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(d82) + " -C " + shellQuote(src) + " b.prg", &out), 0) << out;
    Bytes bytes = ts::readFile(d82);
    const Bytes narrow = ts::readFile(d80);
    std::copy(narrow.begin(), narrow.end(), bytes.begin());  // tracks 1-77 lie alike
    const auto info = pt::load(d82);
    for (int sector : {6, 9}) {
        const std::size_t at = pt::offsetOf(*info, 38, sector);
        std::copy(info->imageData.get() + at, info->imageData.get() + at + 256, bytes.begin() + static_cast<long>(at));
    }
    ts::writeFile(mixed, bytes);
    EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(mixed), &out), 0) << out;
    ASSERT_EQ(ts::run(host(dir) + "info " + shellQuote(d80) + " " + shellQuote(mixed), &out), 0) << out;
    const std::size_t free80 = out.find("blocks free:"), free82 = out.find("blocks free:", free80 + 1);
    EXPECT_EQ(out.substr(free80, out.find('\n', free80) - free80), out.substr(free82, out.find('\n', free82) - free82));
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(mixed) + " -C " + shellQuote(src) + " b.prg", &out), 0) << out;
    EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(mixed), &out), 0) << out;

    bytes = ts::readFile(d82);
    bytes[pt::offsetOf(*info, 38, 3) + kBamEndTrack] = 99;  // tracks 51-98, then a gap
    ts::writeFile(mixed, bytes);
    EXPECT_EQ(ts::run(host(dir) + "--log validate --strict " + shellQuote(mixed) + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("BAM blocks state tracks no drive writes -> fixed layout"), std::string::npos) << out;
}

TEST(DiskCheck, SeveralImagesAndFind) {
    ts::TempDir dir;
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"game.prg", ts::randomBytes(300, 1)}, {"notes.seq", ts::randomBytes(30, 2)}});
    ts::mkdirIn(dir, "tree");
    ts::mkdirIn(dir, "tree/deeper");
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(dir / "tree/one.d64") + " -C " + shellQuote(src) + " game.prg", &out), 0);
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(dir / "tree/deeper/two.D81") + " -C " + shellQuote(src) +
                          " game.prg notes.seq", &out),
              0);
    const std::string one = dir / "tree/one.d64", two = dir / "tree/deeper/two.D81";
    ASSERT_EQ(ts::run(host(dir) + "list --json " + shellQuote(one) + " " + shellQuote(two), &out), 0);
    const std::string facts = ", \"locked\": false, \"closed\": true, \"geos\": false, \"recordLength\": 0}";
    const std::string game = "{\"name\": \"game.prg\", \"blocks\": 2, \"bytes\": 300, \"hidden\": false, \"type\": \"PRG\", "
                             "\"cbmName\": \"47414d45a0a0a0a0a0a0a0a0a0a0a0a0\"" + facts;
    EXPECT_EQ(out, "[\n  {\"image\": \"" + one + "\", \"files\": [\n    " + game + "\n  ]},\n  {\"image\": \"" + two +
                       "\", \"files\": [\n    " + game + ",\n    {\"name\": \"notes.seq\", \"blocks\": 1, \"bytes\": 30, "
                       "\"hidden\": false, \"type\": \"SEQ\", \"cbmName\": \"4e4f544553a0a0a0a0a0a0a0a0a0a0a0\"" + facts +
                       "\n  ]}\n]\n");
    // One image: the same shape (a glob that matches one file gives what it gives for many).
    ASSERT_EQ(ts::run(host(dir) + "list --json " + shellQuote(one), &out), 0);
    EXPECT_EQ(out, "[\n  {\"image\": \"" + one + "\", \"files\": [\n    " + game + "\n  ]}\n]\n");
    ASSERT_EQ(ts::run(host(dir) + "test " + shellQuote(one) + " " + shellQuote(two), &out), 0);
    EXPECT_NE(out.find(one + ":\nok game.prg\n\n" + two + ":\nok game.prg\nok notes.seq\n"), std::string::npos) << out;
    // A tape's blocks in dir are its bytes in whole blocks, rounded up.
    const std::string tape = dir / "tree/tape.t64";
    ts::writeFile(tape, ts::makeTape(1, {{1, 0x0801, 0x0801 + 300, 64 + 32, "TAPE"}}, 300));
    ASSERT_EQ(ts::run(host(dir) + "dir " + shellQuote(tape), &out), 0) << out;
    EXPECT_NE(out.find("\n2    \"tape"), std::string::npos) << out;
    const struct {
        const char* pattern;
        std::string folder, found;
    } finds[] = {{"GAME.*", dir / "tree", one + ": game.prg\n" + two + ": game.prg\n"},  // files before folders
                 {"*.s?q", dir.path, two + ": notes.seq\n"},
                 {"game", dir.path, one + ": game.prg\n" + two + ": game.prg\n"},  // the CBM name
                 {"gam", dir.path, ""}};  // without a wildcard, the whole name
    for (const auto& f : finds) {
        ASSERT_EQ(ts::run(host(dir) + "find '" + f.pattern + "' " + shellQuote(f.folder), &out), f.found.empty() ? 1 : 0);
        EXPECT_EQ(out, f.found) << f.pattern;
    }
}

// Nothing under an image's name makes a command hang or read a huge file: a
// pipe with no writer is refused (15) by every command, a file far larger
// than any image as unknown (14); find enters no link to a folder (two links
// back up would give 2^40 paths) and skips the pipe. A hang fails by timeout.
TEST(DiskCheck, PipesLinksAndHugeFilesNeverHang) {
    ts::TempDir dir;
    const std::string src = ts::mkdirIn(dir, "src"), one = dir / "tree/one.d64";
    pt::writeSources(src, {{"game.prg", ts::randomBytes(300, 1)}});
    ts::mkdirIn(dir, "tree");
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(one) + " -C " + shellQuote(src) + " game.prg", &out), 0);
    ASSERT_EQ(mkfifo((dir / "tree/pipe.d64").c_str(), 0644), 0);
    for (const char* link : {"a.d64", "b.d64"}) ASSERT_EQ(symlink(".", (dir / "tree/" + link).c_str()), 0);
    ASSERT_EQ(symlink("pipe.d64", (dir / "tree/c.d64").c_str()), 0);
    for (const auto& [name, size] : {std::pair {"big.d64", (std::uintmax_t {1} << 32) + 174848},
                                     std::pair {"large.d64", std::uintmax_t {17} << 20}}) {
        ts::writeFile(dir / name, {});
        std::filesystem::resize_file(dir / name, size);
    }
    const std::string bounded = "timeout 10 " + host(dir);
    for (const auto& [image, code] : {std::pair {dir / "tree/pipe.d64", 15}, std::pair {dir / "big.d64", 14},
                                      std::pair {dir / "large.d64", 14}}) {
        for (const std::string command : {"list", "info", "dir", "validate", "test", "extract", "delete", "add"}) {
            const std::string args = command + " " + shellQuote(image) +
                                     (command == "add" ? " -C " + shellQuote(src) + " game.prg" : "") +
                                     (command == "delete" ? " game.prg" : "") +
                                     (command == "extract" ? " -C " + shellQuote(dir / "out") : "");
            EXPECT_EQ(ts::run(bounded + args, &out), code) << args << "\n" << out;
        }
    }
    ASSERT_EQ(ts::run(bounded + "find '*' " + shellQuote(dir / "tree"), &out), 0);
    EXPECT_EQ(out, one + ": game.prg\n");
}

// Image paths reach JSON as valid UTF-8 (a byte that is none as Latin-1,
// control characters escaped), and plain text shows every control character
// and stray byte as \xHH: a name cannot drive the terminal.
TEST(DiskCheck, OddPathsGiveValidJsonAndHarmlessText) {
    ts::TempDir dir;
    const std::string src = ts::mkdirIn(dir, "src"), odd = dir / "e\x1b\xed\xa0\x80.d64";
    pt::writeSources(src, {{"game.prg", ts::randomBytes(300, 1)}});
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(odd) + " -C " + shellQuote(src) + " game.prg", &out), 0) << out;
    const std::string json = "\"" + dir.path + "/e\\u001b\xC3\xAD\xC2\xA0\xC2\x80.d64\"";
    const std::string text = dir.path + "/e\\x1b\\xed\\xa0\\x80.d64";
    ASSERT_EQ(ts::run(host(dir) + "list --json " + shellQuote(odd) + " " + shellQuote(odd), &out), 0);
    EXPECT_NE(out.find("{\"image\": " + json + ", \"files\""), std::string::npos) << out;
    ASSERT_EQ(ts::run(host(dir) + "info --json " + shellQuote(odd), &out), 0);
    EXPECT_EQ(out.rfind("[\n  {\"image\": " + json + ", ", 0), 0u) << out;
    for (const char* command : {"list", "dir", "info", "test"}) {
        ASSERT_EQ(ts::run(host(dir) + command + " " + shellQuote(odd) + " " + shellQuote(odd), &out), 0);
        EXPECT_NE(out.find(text + ":\n"), std::string::npos) << command << out;
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << command;
    }
    for (const char* command : {"validate ", "find '*' "}) {
        ASSERT_EQ(ts::run(host(dir) + command + shellQuote(command[0] == 'f' ? dir.path : odd), &out), 0);
        EXPECT_NE(out.find(text + ": "), std::string::npos) << command << out;
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << command;
    }
}

}  // namespace
