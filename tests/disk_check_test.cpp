// The disk as a whole through the host: dir and info agree with cc1541 on
// its own images; validate finds each kind of damage in an image made for
// it, and --repair mends the BAM ones (cc1541 -V then accepts the image);
// several images per command, and find across a folder tree.
#include <gtest/gtest.h>

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

// One image per kind of damage; every one is caught, the BAM ones mended.
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
        bool mendable;     // by a rebuilt BAM
        void (*apply)(ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&);
    };
    const Damage damages[] = {
        {"a file's block free in the BAM", "in use but free in the BAM (the next write would destroy them): ", true,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain&, const std::vector<pt::Entry>&) {
             markSectorFree(i, static_cast<std::uint8_t>(a.blocks[1].first), static_cast<std::uint8_t>(a.blocks[1].second));
         }},
        {"a block marked used that nothing uses", "marked used but nothing uses them: 1:0", true,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&) { markSectorUsed(i, 1, 0); }},
        {"a count that disagrees with its bitmap", "track 5: the BAM counts 20 free blocks, its bitmap 21", true,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&) {
             wt::blockOf(i, 18, 0)[4 * 5] = 20;
         }},
        {"two files sharing a block", "is used by \"a\" and by \"b\"", false,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain& b, const std::vector<pt::Entry>&) {
             std::uint8_t* last = wt::blockOf(i, b.blocks.back().first, b.blocks.back().second);
             last[0] = static_cast<std::uint8_t>(a.blocks.back().first);
             last[1] = static_cast<std::uint8_t>(a.blocks.back().second);
         }},
        {"a chain that loops", "\"a\": its chain loops back to", false,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain&, const std::vector<pt::Entry>&) {
             std::uint8_t* last = wt::blockOf(i, a.blocks.back().first, a.blocks.back().second);
             last[0] = static_cast<std::uint8_t>(a.blocks[0].first);
             last[1] = static_cast<std::uint8_t>(a.blocks[0].second);
         }},
        {"a chain that leaves the disk", "\"b\": its chain leaves the disk at 99:", false,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain& b, const std::vector<pt::Entry>&) {
             wt::blockOf(i, b.blocks.back().first, b.blocks.back().second)[0] = 99;
         }},
        {"a wrong block count", "\"a\": the directory says 7 blocks, it has 3", false,
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
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 13) << out;
        EXPECT_NE(out.find(d.line), std::string::npos) << out;
        const Bytes before = ts::readFile(image);
        EXPECT_EQ(ts::run(host(dir) + "validate --repair " + shellQuote(image), &out), d.mendable ? 0 : 13) << out;
        if (!d.mendable) continue;
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
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
        if (ts::haveTool("cc1541")) {
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
    const std::string src = pt::mkdirIn(dir, "src");
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
    EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
    ASSERT_EQ(ts::run(host(dir) + "find 'cory*' " + shellQuote(dir.path), &out), 0);
    EXPECT_EQ(out, image + ": Cory.cvt\n");
    EXPECT_EQ(ts::extractAll(image, pt::mkdirIn(dir, "x")).back().second, 0);
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
    EXPECT_EQ(ts::extractAll(image, pt::mkdirIn(dir, "y")).size(), 4u);
    EXPECT_EQ(ts::readFile(dir / "y/photo manager.cvt"), photo);

    // Deleting the border's file clears its entry there and frees its blocks.
    ts::writeFile(image, good);
    ASSERT_EQ(pt::remove(image, {"photo manager.cvt"}), 0);
    EXPECT_EQ(names(image), (std::vector<std::string>{"Cory.cvt", "c.prg"}));
    const Bytes after = ts::readFile(image);
    const std::size_t borderAt = pt::offsetOf(*info, 19, 0);
    EXPECT_EQ(after[borderAt + 1], 0xFF);
    EXPECT_EQ(Bytes(after.begin() + borderAt + 34, after.begin() + borderAt + 64), Bytes(30, 0));
    EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;

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
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(copy), &out), 13);
        EXPECT_NE(out.find("marked used but nothing uses them: 19:0"), std::string::npos) << out;
    }
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
    EXPECT_EQ(out, "[\n  {\"image\": \"" + one + "\", \"files\": [\n    {\"name\": \"game.prg\", \"blocks\": 2, \"bytes\": 300, \"hidden\": false}\n  ]},\n  {\"image\": \"" + two +
                       "\", \"files\": [\n    {\"name\": \"game.prg\", \"blocks\": 2, \"bytes\": 300, \"hidden\": false},\n    {\"name\": \"notes.seq\", \"blocks\": 1, \"bytes\": 30, \"hidden\": false}\n  ]}\n]\n");
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
                 {"game", dir.path, ""}};  // without a wildcard, the whole name
    for (const auto& f : finds) {
        ASSERT_EQ(ts::run(host(dir) + "find '" + f.pattern + "' " + shellQuote(f.folder), &out), 0);
        EXPECT_EQ(out, f.found) << f.pattern;
    }
}

}  // namespace
