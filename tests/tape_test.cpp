// T64 tape images: built by the test (regular and damaged) and real tapes
// made by others, listed and extracted through the exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/test_support.h"

namespace {

using ts::Bytes;
using ts::makeTape;

struct TapeTest : ::testing::Test {
    ts::TempDir dir;
    void SetUp() override { ts::loadDefaultSettings(dir); }
};

TEST_F(TapeTest, FilesEmptySlotsPaddingAndClipping) {
    const std::uint32_t data = 64 + 32 * 8;
    Bytes t = makeTape(8,
                       {{1, 0x0801, 0x0901, data, "GAME"},
                        {0, 0x4000, 0x4004, data + 8, "long"},          // not a file, named as "long.prg" lists
                        {1, 0xC000, 0xC010, data + 256, "PADDED", 0xA0},
                        {1, 0x1000, 0x1000 + 300, data + 272, "LONG"},   // runs 100 bytes past the end
                        {1, 0x2000, 0x1000, data, "BACKWARDS"},        // end below start
                        {1, 0x3000, 0x3010, 999999, "FARAWAY"},         // data past the end
                        {1, 0x0801, 0x0805, data, "GAME"}},            // duplicate: a name of its own
                       256 + 16 + 200);
    ts::writeFile(dir / "t.t64", t);
    ts::LogCapture log;
    ts::Listing l = ts::list(dir / "t.t64");
    ASSERT_EQ(l.openResult, 0);
    EXPECT_EQ(l.endResult, 10);
    const std::vector<std::pair<std::string, int>> expected = {
        {"game.prg", 256}, {"padded\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0\xC2\xA0.prg", 16},
        {"long.prg", 200}, {"backwards.prg", 0}, {"faraway.prg", 0}, {"game~2.prg", 4}};
    ASSERT_EQ(l.files.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(l.files[i].name, expected[i].first);
        // Packed: the data; unpacked: what extraction writes, load address first.
        EXPECT_EQ(l.files[i].blocks, expected[i].second) << expected[i].first;
        EXPECT_EQ(l.files[i].bytes, expected[i].second + 2) << expected[i].first;
    }
    EXPECT_TRUE(log.contains("empty tape slot 1\n"));
    EXPECT_TRUE(log.contains("empty tape slot 7\n"));
    EXPECT_TRUE(log.contains("correcting EndAddr\n"));
    EXPECT_TRUE(log.contains("tape header: MaxFiles  = <8>\n"));

    ts::TempDir out;
    for (const auto& r : ts::extractAll(dir / "t.t64", out.path, true)) EXPECT_EQ(r.second, 0) << r.first;
    for (const ts::Listed& f : l.files) EXPECT_EQ(ts::readFile(out / f.name).size(), static_cast<std::size_t>(f.bytes));
    EXPECT_EQ(ts::readFile(out / "game~2.prg"), (Bytes{0x01, 0x08, t[data], t[data + 1], t[data + 2], t[data + 3]}));
    Bytes game = ts::readFile(out / "game.prg");
    ASSERT_EQ(game.size(), 258u);
    EXPECT_EQ(game[0], 0x01);
    EXPECT_EQ(game[1], 0x08);
    EXPECT_TRUE(std::equal(game.begin() + 2, game.end(), t.begin() + data));
    EXPECT_EQ(ts::readFile(out / "long.prg").size(), 202u);
    EXPECT_EQ(ts::readFile(out / "backwards.prg"), (Bytes{0x00, 0x20}));
    EXPECT_EQ(ts::readFile(out / "faraway.prg"), (Bytes{0x00, 0x30}));

    // appendPrgExtension makes no difference on a tape.
    ts::loadSettings(dir, "[common]\nappendPrgExtension=1\n");
    EXPECT_EQ(ts::list(dir / "t.t64").files[0].name, "game.prg");
}

TEST_F(TapeTest, TruncatedTapesNeverReadOutside) {
    // Shorter than the header: opened, but the listing reports a bad archive.
    ts::writeFile(dir / "tiny.t64", Bytes(40, 0x01));
    ts::Listing l = ts::list(dir / "tiny.t64");
    EXPECT_EQ(l.openResult, 0);
    EXPECT_EQ(l.endResult, 13);
    // The header promises 200 slots but the file ends inside the third: the
    // listing stops at the first slot that does not lie wholly inside.
    Bytes t = makeTape(3, {{1, 0x0801, 0x0811, 0, "A"}, {1, 0x0801, 0x0811, 0, "B"}, {1, 0x0801, 0x0811, 0, "C"}}, 0);
    t[34] = 200;
    t.resize(64 + 32 * 2 + 10);
    ts::writeFile(dir / "cut.t64", t);
    l = ts::list(dir / "cut.t64");
    EXPECT_EQ(l.endResult, 10);
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[0].bytes, 18);
    ts::TempDir out;
    for (const auto& r : ts::extractAll(dir / "cut.t64", out.path)) EXPECT_EQ(r.second, 0);
    EXPECT_EQ(ts::readFile(out / "a.prg").size(), 18u);
    // Every length and position, on a tape of every size up to a few slots.
    Bytes base = makeTape(4, {{1, 0x0801, 0xFFFF, 70, "X"}, {1, 0xFFFF, 0x0000, 0xFFFFFFFF, "Y"}}, 64);
    for (std::size_t n = 1; n <= base.size(); n += 7) {
        ts::writeFile(dir / "n.t64", Bytes(base.begin(), base.begin() + static_cast<long>(n)));
        ts::TempDir o;
        ts::extractAll(dir / "n.t64", o.path);
    }
}

TEST_F(TapeTest, RealTapesMadeByOthers) {
    const std::string compunet = ts::sharedFile("realimages/t64fix-compunet.t64");
    if (compunet.empty()) GTEST_SKIP() << "real images not present (../shared/realimages or $OMBRIX_SHARED)";
    const std::string folder = compunet.substr(0, compunet.rfind('/'));
    ts::Listing l = ts::list(compunet);
    ASSERT_EQ(l.openResult, 0);
    const std::vector<std::pair<std::string, int>> expected = {
        {"compunet +7  _gp.prg", 35505}, {"compunet rip _gp.prg", 4368}, {"compunet _ md 64.prg", 38548}};
    ASSERT_EQ(l.files.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(l.files[i].name, expected[i].first);
        EXPECT_EQ(l.files[i].bytes, expected[i].second);
    }
    ts::TempDir ours;
    for (const auto& r : ts::extractAll(compunet, ours.path)) EXPECT_EQ(r.second, 0);
    if (ts::haveTool("cbmconvert")) {
        // cbmconvert writes the same bytes (load address first) under its own names.
        ts::TempDir theirs;
        ASSERT_EQ(ts::run("cd " + ts::shellQuote(theirs.path) + " && cbmconvert -t " + ts::shellQuote(compunet)), 0);
        std::vector<Bytes> a, b;
        for (const auto& n : ts::listDir(ours.path)) a.push_back(ts::readFile(ours / n));
        for (const auto& n : ts::listDir(theirs.path)) b.push_back(ts::readFile(theirs / n));
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b);
    }
    // A snapshot slot (entry type 3) is not a file.
    ts::LogCapture log;
    l = ts::list(folder + "/t64fix-c64sfreeze-2.52.t64");
    EXPECT_EQ(l.openResult, 0);
    EXPECT_EQ(l.endResult, 10);
    EXPECT_TRUE(l.files.empty());
    EXPECT_TRUE(log.contains("empty tape slot 0\n"));
    EXPECT_TRUE(log.contains("empty tape slot 29\n"));
}

}  // namespace
