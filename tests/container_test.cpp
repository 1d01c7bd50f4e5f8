// Containers besides disks and tapes: Lynx archives, PC64 files, X64 disks,
// and the type told by content. Through the exports and the host, and
// against cbmconvert, which writes and reads Lynx and PC64 files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/test_support.h"

namespace {

using ts::Bytes;

using ts::LynxFile;
using ts::makeLynx;
using ts::pc64;

struct ContainerTest : ::testing::Test {
    ts::TempDir dir;
    void SetUp() override { ts::loadDefaultSettings(dir); }
    std::string host() const { return ts::host(dir); }
    bool haveCbmconvert() const { return ts::haveTool("cbmconvert"); }
};

TEST_F(ContainerTest, LynxListsExtractsAndFailsWhatLiesOutside) {
    const Bytes a = ts::randomBytes(13, 1), b = ts::randomBytes(700, 2), c = ts::randomBytes(254, 3),
                r = ts::randomBytes(300, 4), big = ts::randomBytes(120 * 254, 5), u = ts::randomBytes(9, 6);
    // The 121-block REL file: 120 data blocks behind one side sector.
    const std::vector<LynxFile> files = {{"GAME", 'P', a}, {"BIG", 'P', b},  {"RECS", 'R', r, 32}, {"TABLE", 'R', big, 254},
                                         {"USER", 'U', u}, {"GONE", 'D', u}, {"EXACT", 'S', c}};
    struct Row {
        const char* what;
        Bytes archive;
        int endResult;
        std::vector<int> results;  // per listed file
    };
    Bytes cut = makeLynx(files, 2);
    cut.resize(cut.size() - 10);
    const std::vector<Row> rows = {
        {"whole", makeLynx(files, 2), 10, {0, 0, 0, 0, 0, 0, 0}},
        {"cut short", cut, 10, {0, 0, 0, 0, 0, 0, 18}},
        {"count above its entries", makeLynx(files, 2, 9), 18, {0, 0, 0, 0, 0, 0, 0}},
        {"last count missing", makeLynx(files, 2, -1, ""), 10, {0, 0, 0, 0, 0, 0, 0}},
        {"last count impossible", makeLynx(files, 2, -1, " 300 \r"), 10, {0, 0, 0, 0, 0, 0, 18}},
    };
    for (const Row& row : rows) {
        ts::writeFile(dir / "a.lnx", row.archive);
        const ts::Listing l = ts::list(dir / "a.lnx");
        ASSERT_EQ(l.openResult, 0) << row.what;
        EXPECT_EQ(l.endResult, row.endResult) << row.what;
        ASSERT_EQ(l.files.size(), 7u) << row.what;
        EXPECT_EQ(l.files[2].name, "recs.rel");
        EXPECT_EQ(l.files[5].name, "gone.del");
        EXPECT_EQ(l.files[1].blocks, 3);
        EXPECT_EQ(l.files[3].blocks, 121);
        ts::TempDir out;
        const auto results = ts::extractAll(dir / "a.lnx", out.path);
        ASSERT_EQ(results.size(), 7u) << row.what;
        const Bytes* expected[] = {&a, &b, &r, &big, &u, &u, &c};
        for (std::size_t i = 0; i < 7; ++i) {
            EXPECT_EQ(results[i].second, row.results[i]) << row.what << " " << results[i].first;
            if (row.results[i] == 0) {
                EXPECT_EQ(ts::readFile(out / results[i].first), *expected[i]) << row.what;
            }
        }
    }
    // A directory longer than the blocks it claims lists what lies inside them.
    std::vector<LynxFile> many(12, LynxFile {"FILE", 'P', Bytes(5, 1)});
    ts::writeFile(dir / "a.lnx", makeLynx(many));
    const ts::Listing l = ts::list(dir / "a.lnx");
    EXPECT_EQ(l.endResult, 18);
    EXPECT_GT(l.files.size(), 4u);
    EXPECT_LT(l.files.size(), 12u);
    // Read only, as tapes are.
    ts::writeFile(dir / "new.prg", a);
    EXPECT_EQ(ts::run(host() + "add " + ts::shellQuote(dir / "a.lnx") + " -C " + ts::shellQuote(dir.path) + " new.prg"),
              24);
}

TEST_F(ContainerTest, LynxAndPc64OfCbmconvertThroughTheHost) {
    if (!haveCbmconvert()) GTEST_SKIP() << "cbmconvert is not installed: Lynx cross-check skipped";
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"game.prg", 13}, {"big.prg", 700}, {"notes.seq", 4}, {"exact.prg", 254}, {"last.prg", 300}};
    std::string names;
    for (std::size_t i = 0; i < files.size(); ++i) {
        ts::writeFile(dir / files[i].first, ts::randomBytes(files[i].second, 10 + static_cast<std::uint32_t>(i)));
        names += " " + files[i].first;
    }
    std::string out;
    ASSERT_EQ(ts::run("cd " + ts::shellQuote(dir.path) + " && cbmconvert -L peer.lnx -n" + names, &out), 0) << out;
    EXPECT_EQ(ts::run(host() + "test " + ts::shellQuote(dir / "peer.lnx"), &out), 0) << out;
    ASSERT_EQ(ts::run(host() + "extract " + ts::shellQuote(dir / "peer.lnx") + " -C " + ts::shellQuote(dir / "x"), &out),
              0)
        << out;
    for (const auto& f : files) EXPECT_EQ(ts::readFile(dir / ("x/" + f.first)), ts::readFile(dir / f.first)) << f.first;
    // A REL file of 121 blocks and a USR file, from PC64 files: the files'
    // bytes lie as makeLynx lays them, and come out whole.
    const Bytes table = ts::randomBytes(120 * 254, 20), user = ts::randomBytes(9, 21);
    ts::writeFile(dir / "table.r00", pc64("TABLE", table, 254));
    ts::writeFile(dir / "user.u00", pc64("USER", user));
    ASSERT_EQ(ts::run("cd " + ts::shellQuote(dir.path) + " && cbmconvert -L rel.lnx -p table.r00 user.u00", &out), 0);
    const Bytes peer = ts::readFile(dir / "rel.lnx"), ours = makeLynx({{"TABLE", 'R', table, 254}, {"USER", 'U', user}});
    const std::size_t tail = 121 * 254 + user.size();
    ASSERT_GT(peer.size(), tail);
    EXPECT_EQ(Bytes(peer.end() - static_cast<long>(tail), peer.end()), Bytes(ours.end() - static_cast<long>(tail), ours.end()));
    ASSERT_EQ(ts::run(host() + "extract " + ts::shellQuote(dir / "rel.lnx") + " -C " + ts::shellQuote(dir / "r")), 0);
    EXPECT_EQ(ts::readFile(dir / "r/table.rel"), table);
    EXPECT_EQ(ts::readFile(dir / "r/user.usr"), user);
    // cbmconvert's PC64 files: read, and packed under the names they carry.
    ASSERT_EQ(ts::run("mkdir -p " + ts::shellQuote(dir / "p") + " && cd " + ts::shellQuote(dir / "p") +
                      " && cbmconvert -P -n ../game.prg ../notes.seq"),
              0);
    EXPECT_EQ(ts::list(dir / "p/notes.s00").files.at(0).name, "notes.seq");
    ASSERT_EQ(ts::run(host() + "add " + ts::shellQuote(dir / "p.d64") + " -C " + ts::shellQuote(dir / "p") +
                      " game.p00 notes.s00"),
              0);
    ASSERT_EQ(ts::run(host() + "extract " + ts::shellQuote(dir / "p.d64") + " -C " + ts::shellQuote(dir / "q")), 0);
    EXPECT_EQ(ts::readFile(dir / "q/game.prg"), ts::readFile(dir / "game.prg"));
    EXPECT_EQ(ts::readFile(dir / "q/notes.seq"), ts::readFile(dir / "notes.seq"));
}

TEST_F(ContainerTest, Pc64FilesOpenAsTheOneFileTheyHold) {
    const Bytes data = ts::randomBytes(300, 5);
    struct Row {
        const char* file;
        Bytes bytes;
        const char* listed;
    };
    const std::vector<Row> rows = {
        {"game.p00", pc64("GAME", data), "game.prg"},
        {"notes.S07", pc64("NOTES\xA0\xA0", data), "notes.seq"},
        {"recs.r00", pc64("RECS", data, 40), "recs.rel"},
        {"odd.bin", pc64("ODD", data), "odd.prg"},  // the content tells
    };
    for (const Row& row : rows) {
        ts::writeFile(dir / row.file, row.bytes);
        const ts::Listing l = ts::list(dir / row.file);
        ASSERT_EQ(l.openResult, 0) << row.file;
        ASSERT_EQ(l.files.size(), 1u) << row.file;
        EXPECT_EQ(l.files[0].name, row.listed);
        EXPECT_EQ(l.files[0].bytes, 300);
        EXPECT_EQ(l.files[0].blocks, 2) << row.file;  // 300 bytes: 254 and 46
        ts::TempDir out;
        ts::extractAll(dir / row.file, out.path);
        EXPECT_EQ(ts::readFile(out / row.listed), data) << row.file;
    }
    // Extracted as a PC64 file again, the REL file keeps its record length at byte 25.
    ts::loadSettings(dir, "[common]\nextractAsPC64=1\n");
    ts::TempDir out;
    ts::extractAll(dir / "recs.r00", out.path);
    EXPECT_EQ(ts::readFile(out / "recs.r00"), pc64("RECS\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0", data, 40));
}

// Extraction as PC64 files: exact names and types, numbered where two files
// meet on one host name, as cbmconvert -P writes them; cbmconvert -p reads
// them back under the same names, and PackFiles stores them so.
TEST_F(ContainerTest, ExtractAsPc64AndPackBackWithExactNames) {
    ts::RawImage img = ts::makeRawImage(1);
    const Bytes a = ts::randomBytes(300, 6), b = ts::randomBytes(20, 7);
    ts::putEntry(img, 18, 1, 0, 0x82, "GAME", 17, 0, 2);
    ts::putEntry(img, 18, 1, 1, 0x81, "GAME", 17, 5, 1);
    ts::putEntry(img, 18, 1, 2, 0x82, "GAME", 17, 5, 1);
    ts::putChain(img, {{17, 0}, {17, 1}}, a);
    ts::putChain(img, {{17, 5}}, b);
    ts::save(img, dir / "d.d64");
    ts::loadSettings(dir, "[common]\nextractAsPC64=1\n");
    const ts::Listing l = ts::list(dir / "d.d64");
    ASSERT_EQ(l.files.size(), 3u);
    EXPECT_EQ(l.files[0].name, "game.p00");
    EXPECT_EQ(l.files[1].name, "game.s00");
    EXPECT_EQ(l.files[2].name, "game.p01");
    EXPECT_EQ(l.files[0].bytes, 326);
    ts::TempDir out;
    for (const auto& r : ts::extractAll(dir / "d.d64", out.path)) EXPECT_EQ(r.second, 0) << r.first;
    EXPECT_EQ(ts::readFile(out / "game.p00"), pc64("GAME\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0", a));
    EXPECT_EQ(ts::readFile(out / "game.p01"), pc64("GAME\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0", b));
    ts::loadDefaultSettings(dir);

    // The host's option, and a name no host takes as it is.
    const std::string pad8 = "\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0";
    ts::writeFile(dir / "src.p00", pc64("MY/FILE*", a));
    ASSERT_EQ(ts::run(host() + "add " + ts::shellQuote(dir / "p.d64") + " -C " + ts::shellQuote(dir.path) + " src.p00"),
              0);
    EXPECT_EQ(ts::list(dir / "p.d64").files.at(0).name, "my_file_.prg");
    // A DEL file under its exact name; a REL file of the header's record
    // length, never with the header inside.
    const Bytes del = ts::randomBytes(240, 9);  // one block of data, two with the header
    ts::writeFile(dir / "gone.d00", pc64("GONE/1", del));
    ts::writeFile(dir / "recs.R07", pc64("RECS", a, 40));
    std::string said;
    ASSERT_EQ(ts::run(host() + "--log add " + ts::shellQuote(dir / "pc.d64") + " -C " + ts::shellQuote(dir.path) +
                          " gone.d00 recs.R07", &said), 0) << said;
    const ts::Listing added = ts::list(dir / "pc.d64");
    ASSERT_EQ(added.files.size(), 2u);
    EXPECT_EQ(added.files[0].name, "gone_1.del");
    EXPECT_EQ(added.files[0].blocks, 1);
    EXPECT_EQ(added.files[1].name, "recs.rel");
    EXPECT_EQ(added.files[1].blocks, 3);  // two data blocks, one side sector
    ts::TempDir plain;
    ts::extractAll(dir / "pc.d64", plain.path);
    EXPECT_EQ(ts::readFile(plain / "gone_1.del"), del);
    const Bytes records = ts::readFile(plain / "recs.rel");
    EXPECT_EQ(Bytes(records.begin(), records.begin() + static_cast<long>(std::min(records.size(), a.size()))), a);
    std::string text;
    ASSERT_EQ(ts::run(host() + "extract --pc64 " + ts::shellQuote(dir / "p.d64") + " -C " + ts::shellQuote(dir / "y"),
                      &text),
              0)
        << text;
    EXPECT_EQ(ts::readFile(dir / "y/my_file_.p00"), pc64("MY/FILE*" + pad8, a));
    if (!haveCbmconvert()) GTEST_SKIP() << "cbmconvert is not installed: PC64 cross-check skipped";
    ASSERT_EQ(ts::run("cd " + ts::shellQuote(dir / "y") + " && cbmconvert -D4 ../back.d64 -p my_file_.p00"), 0);
    const Bytes back = ts::readFile(dir / "back.d64");
    ASSERT_EQ(back.size(), 174848u);
    EXPECT_EQ(std::string(back.begin() + 0x16605, back.begin() + 0x16615), "MY/FILE*" + pad8);
    ts::TempDir peer;
    ASSERT_EQ(ts::run("cd " + ts::shellQuote(peer.path) + " && cbmconvert -P -d " + ts::shellQuote(dir / "p.d64")), 0);
    const std::vector<std::string> made = ts::listDir(peer.path);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(ts::readFile(peer / made[0]), ts::readFile(dir / "y/my_file_.p00"));
}

TEST_F(ContainerTest, X64IsItsDiskWithTheHeaderKept) {
    const Bytes a = ts::randomBytes(100, 8);
    ts::writeFile(dir / "one.prg", a);
    ASSERT_EQ(ts::run(host() + "add " + ts::shellQuote(dir / "plain.d64") + " -C " + ts::shellQuote(dir.path) + " one.prg"),
              0);
    Bytes x = {0x43, 0x15, 0x41, 0x64, 1, 2, 1, 35, 1, 0};
    x.resize(64, 0x5A);
    const Bytes body = ts::readFile(dir / "plain.d64");
    x.insert(x.end(), body.begin(), body.end());
    ts::writeFile(dir / "disk.x64", x);
    ts::writeFile(dir / "two.prg", a);
    const std::string add = " -C " + ts::shellQuote(dir.path) + " two.prg";
    ASSERT_EQ(ts::run(host() + "add " + ts::shellQuote(dir / "disk.x64") + add), 0);
    ASSERT_EQ(ts::run(host() + "add " + ts::shellQuote(dir / "plain.d64") + add), 0);
    const Bytes after = ts::readFile(dir / "disk.x64");
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 64), Bytes(x.begin(), x.begin() + 64));
    EXPECT_EQ(Bytes(after.begin() + 64, after.end()), ts::readFile(dir / "plain.d64"));
    const ts::Listing l = ts::list(dir / "disk.x64");
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[1].name, "two.prg");
    std::string out;
    EXPECT_EQ(ts::run(host() + "validate " + ts::shellQuote(dir / "disk.x64"), &out), 0) << out;
}

// The content decides: what CanYouHandleThisFile answers, what a file is
// opened as, and the log line where the name says otherwise.
TEST_F(ContainerTest, TypeToldByContent) {
    Bytes tape(64 + 32, 0);
    std::memcpy(tape.data(), "C64S tape image file", 20);
    struct Row {
        const char* file;
        Bytes bytes;
        int handled;
        int openResult;
        const char* logLine;
        int files = -1;  // listed, when it tells the kind
    };
    Bytes pc64Head = ts::makeRawImage(1).data;  // a D64 whose block 1:0 starts like a PC64 file
    std::memcpy(pc64Head.data(), "C64File", 8);
    Bytes noSignature = ts::makeFdImage(9, {});
    noSignature[(6400 + 5) * 256 + 0xF0] = 'X';
    const std::vector<Row> rows = {
        {"disk.d71", ts::makeRawImage(1).data, 1, 0, "holds a D64 image, not what its name says (D71)"},
        {"archive.d64", makeLynx({{"A", 'P', Bytes(3, 1)}}), 1, 0, "holds a LNX image"},
        {"tape.dat", tape, 1, 0, ""},
        {"noise.d64", ts::randomBytes(1000, 9), 0, 14, ""},
        {"gcr.d64", Bytes {'G', 'C', 'R', '-', '1', '5', '4', '1', 0, 84}, 1, 14, "holds a G64 image"},  // cut short
        {"gcr.g64", Bytes {'G', 'C', 'R', '-', '1', '5', '7', '1', 0, 168}, 1, 14,
         "holds a G71 image, not what its name says (G64)"},
        {"vice42.dat", ts::makeRawImage(1, 42).data, 1, 0, ""},
        {"vice42e.d71", ts::makeRawImage(1, 42, true).data, 1, 0, "holds a D64 image, not what its name says (D71)"},
        {"pc64head.d64", pc64Head, 1, 0, "", 0},
        {"short.x64", Bytes {0x43, 0x15, 0x41, 0x64}, 0, 14, ""},
        // Three tracks of a native partition: a 40-track D64's size.
        {"three.dnp", ts::makeNative(3, {{"a", 0x82, Bytes(9, 1)}}), 1, 0, "", 1},
        {"native.dat", ts::makeNative(2, {{"a", 0x82, Bytes(9, 1)}}), 1, 0, "", 1},
        {"fd.dat", ts::makeFdImage(9, {{1, "P", ts::makeNative(2, {})}}), 1, 0, "", 1},
        {"nosig.d2m", noSignature, 0, 0, "CMD FD image without its signature", 0},
    };
    for (const Row& row : rows) {
        ts::writeFile(dir / row.file, row.bytes);
        std::string path = dir / row.file;
        EXPECT_EQ(CanYouHandleThisFile(path.data()), row.handled) << row.file;
        ts::LogCapture log;
        const ts::Listing listing = ts::list(path);
        EXPECT_EQ(listing.openResult, row.openResult) << row.file;
        EXPECT_TRUE(log.contains(row.logLine)) << row.file;
        EXPECT_TRUE(row.files < 0 || listing.files.size() == static_cast<std::size_t>(row.files)) << row.file;
    }
    EXPECT_EQ(SetPackerSwitch("noSuchSwitch", 1), 24);
    std::string out;
    EXPECT_EQ(ts::run(host() + "find '*' " + ts::shellQuote(dir.path), &out), 0);
    EXPECT_NE(out.find("archive.d64: a.prg"), std::string::npos) << out;
}

}  // namespace
