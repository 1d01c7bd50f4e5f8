// Listing and extraction through the exports on images built block by block:
// directory chains, names, types, lengths, scratched entries, damaged chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>

#include "core/settings.h"
#include "reader/reader.h"
#include "tests/test_support.h"

namespace {

using ts::Bytes;

struct ListingTest : ::testing::Test {
    ts::TempDir dir;
    void SetUp() override { ts::loadDefaultSettings(dir); }
    void TearDown() override { ts::loadDefaultSettings(dir); }
    std::string path(const std::string& name) { return dir / name; }
};

std::vector<std::string> names(const ts::Listing& l) {
    std::vector<std::string> out;
    for (const auto& f : l.files) out.push_back(f.name);
    return out;
}

// A D64 with a two-block directory: entry kinds of every sort.
ts::RawImage sampleDisk(Bytes& a, Bytes& b) {
    ts::RawImage img = ts::makeRawImage(1);
    std::uint8_t* d1 = ts::block(img, 18, 1);
    d1[0] = 18;
    d1[1] = 4;
    ts::block(img, 18, 4)[1] = 0xFF;
    a = ts::randomBytes(600, 1);
    b = ts::randomBytes(254, 2);
    ts::putChain(img, {{17, 0}, {17, 10}, {17, 20}}, a);
    ts::putChain(img, {{16, 0}}, b);
    ts::putEntry(img, 18, 1, 0, 0x82, "HELLO", 17, 0, 3);
    ts::putEntry(img, 18, 1, 1, 0x81, "\xC8\xC5\xCC\xCC\xCF", 16, 0, 1);          // HELLO shifted
    ts::putEntry(img, 18, 1, 2, 0x00, "GONE", 16, 0, 1);                          // scratched
    ts::putEntry(img, 18, 1, 3, 0xC2, "LOCKED", 16, 0, 1);                        // locked PRG
    ts::putEntry(img, 18, 1, 4, 0x80, "A/B*C", 16, 0, 1);                         // DEL, odd chars
    ts::putEntry(img, 18, 1, 5, 0x82, "\xA0\xA0", 16, 0, 1);                      // empty name
    ts::putEntry(img, 18, 1, 6, 0x83, "ABCDEFGHIJKLMNOP", 16, 0, 1);              // 16 characters
    ts::putEntry(img, 18, 1, 7, 0x84, "HELLO", 16, 0, 1);                         // REL
    ts::putEntry(img, 18, 4, 0, 0x82, "HELLO", 16, 0, 1);                         // duplicate name
    ts::putEntry(img, 18, 4, 3, 0x82, "LAST", 16, 0, 1);                          // after empty slots
    return img;
}

TEST_F(ListingTest, NamesTypesAndScratchedEntries) {
    Bytes a, b;
    ts::RawImage img = sampleDisk(a, b);
    ts::save(img, path("d.d64"));
    ts::Listing l = ts::list(path("d.d64"));
    EXPECT_EQ(l.endResult, 10);
    // A file of an empty name is listed as "_" (a name no host takes).
    const std::vector<std::string> expected = {"hello.prg", "HELLO.seq", "locked", "a_b_c.del", "_.prg",
                                               "abcdefghijklmnop.usr", "hello.rel", "hello~2.prg", "last.prg"};
    EXPECT_EQ(names(l), expected);
    ASSERT_EQ(l.files.size(), expected.size());
    EXPECT_EQ(l.files[0].blocks, 3);
    EXPECT_EQ(l.files[0].bytes, 600);
    EXPECT_EQ(l.files[1].bytes, 254);
    EXPECT_EQ(l.files[0].attr, 0100644);

    // A later entry of a name already listed gets a name of its own, and
    // each extracts its own data.
    auto results = ts::extractAll(path("d.d64"), dir.path);
    for (const auto& r : results) EXPECT_EQ(r.second, 0) << r.first;
    EXPECT_EQ(ts::readFile(path("hello.prg")), a);
    EXPECT_EQ(ts::readFile(path("hello~2.prg")), b);
    EXPECT_EQ(ts::readFile(path("HELLO.seq")), b);
    EXPECT_EQ(ts::readFile(path("_.prg")), b);
    std::string said;
    EXPECT_EQ(ts::run(ts::host(dir) + "test " + ts::shellQuote(path("d.d64")), &said), 0) << said;
    EXPECT_NE(said.find("ok _.prg"), std::string::npos) << said;
    ts::loadSettings(dir, "[common]\nextractAsPC64=1\n");
    EXPECT_EQ(ts::list(path("d.d64")).files.at(4).name, "_.p00");
    ts::loadDefaultSettings(dir);
    ts::save(img, path("n.d64"));
    EXPECT_EQ(ts::run(ts::host(dir) + "delete " + ts::shellQuote(path("n.d64")) + " _.prg", &said), 0) << said;
    std::vector<std::string> left = expected;
    left.erase(left.begin() + 4);
    EXPECT_EQ(names(ts::list(path("n.d64"))), left);

    // Scratched entries: shown as hidden with .prg, or shown alone.
    ts::loadSettings(dir, "[common]\nshowScratchedFiles=1\n");
    l = ts::list(path("d.d64"));
    ASSERT_EQ(l.files.size(), expected.size() + 1);
    EXPECT_EQ(l.files[2].name, "gone.prg");
    EXPECT_EQ(l.files[2].attr, 0100444);
    ts::loadSettings(dir, "[common]\nshowScratchedFiles=1\nshowONLYScratchedFiles=1\n");
    EXPECT_EQ(names(ts::list(path("d.d64"))), std::vector<std::string>{"gone.prg"});
    ts::loadSettings(dir, "[common]\nshowONLYScratchedFiles=1\n");
    EXPECT_TRUE(ts::list(path("d.d64")).files.empty());

    // With appendPrgExtension every file is a .prg, and is extracted by that name.
    ts::loadSettings(dir, "[common]\nappendPrgExtension=1\n");
    l = ts::list(path("d.d64"));
    EXPECT_EQ(l.files[1].name, "HELLO.prg");
    EXPECT_EQ(l.files[2].name, "locked.prg");
    ts::TempDir out;
    results = ts::extractAll(path("d.d64"), out.path);
    EXPECT_EQ(results[1].second, 0);
    EXPECT_EQ(ts::readFile(out / "HELLO.prg"), b);
}

TEST_F(ListingTest, ExtractByRequestNameAndMisses) {
    Bytes a, b;
    ts::RawImage img = sampleDisk(a, b);
    ts::save(img, path("d.d64"));
    std::string image = path("d.d64");
    tOpenArchiveData data {};
    data.ArcName = image.data();
    HANDLE h = OpenArchive(&data);
    ASSERT_NE(h, nullptr);
    tHeaderData header {};
    ASSERT_EQ(ReadHeader(h, &header), 0);
    EXPECT_STREQ(header.ArcName, image.c_str());
    EXPECT_EQ(header.FileTime, 315532800);
    // DestPath given: DestName is the bare name, the file goes into DestPath.
    std::string target = "hello.prg", destPath = dir.path;
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, destPath.data(), target.data()), 0);
    EXPECT_EQ(ts::readFile(path("hello.prg")), a);
    EXPECT_FALSE(ts::exists("hello.prg"));
    std::remove(path("hello.prg").c_str());
    // ProcessFile works on the file just reported, whatever target name the
    // host chose for it (a rename, or a second file of a name it shows once).
    std::string upper = path("HELLO.PRG");
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, upper.data()), 0);
    EXPECT_EQ(ts::readFile(upper), a);
    std::remove(upper.c_str());
    // A test reads without writing; skip and other operations are harmless.
    std::string listed = path("hello.prg");
    EXPECT_EQ(ProcessFile(h, PK_TEST, nullptr, listed.data()), 0);
    EXPECT_FALSE(ts::exists(listed));
    EXPECT_EQ(ProcessFile(h, PK_SKIP, nullptr, nullptr), 0);
    EXPECT_EQ(ProcessFile(h, 7, nullptr, nullptr), 0);
    // An output that cannot be created is a write error.
    std::string badTarget = path("missing-dir/hello.prg");
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, badTarget.data()), 19);
    // Once the listing has ended no file is current: a request finds the
    // listed file of exactly its name, or nothing.
    while (ReadHeader(h, &header) == 0) {
    }
    std::string later = path("last.prg"), longName = path(std::string(60, 'h') + ".prg");
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, later.data()), 0);
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, upper.data()), 22);
    EXPECT_EQ(ProcessFile(h, PK_TEST, nullptr, upper.data()), 22);
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, longName.data()), 22);
    EXPECT_FALSE(ts::exists(upper));
    EXPECT_EQ(CloseArchive(h), 0);
    // A handle that is closed, or was never ours, is refused, not used.
    EXPECT_EQ(CloseArchive(h), 13);
    EXPECT_EQ(ReadHeader(h, &header), 13);
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, later.data()), 13);
    int notOurs = 0;
    EXPECT_EQ(ReadHeader(&notOurs, &header), 13);
    EXPECT_EQ(CloseArchive(&notOurs), 13);
}

TEST_F(ListingTest, FileLengthsFromChainEnds) {
    ts::RawImage img = ts::makeRawImage(1);
    ts::block(img, 18, 1)[1] = 0xFF;
    auto oneBlock = [&](int entry, int sector, std::uint8_t byte1, int blocks) {
        std::uint8_t* blk = ts::block(img, 17, sector);
        blk[0] = 0;
        blk[1] = byte1;
        std::memset(blk + 2, 0x41, 254);
        ts::putEntry(img, 18, 1, entry, 0x82, std::string(1, static_cast<char>('A' + entry)), 17, sector, blocks);
    };
    oneBlock(0, 0, 10, 1);   // 9 bytes
    oneBlock(1, 1, 1, 1);    // empty
    oneBlock(2, 2, 0, 1);    // empty, not negative
    oneBlock(3, 3, 255, 1);  // 254 bytes
    oneBlock(4, 4, 10, 0);   // block count 0 (directory art): listed with the bytes extraction writes
    ts::save(img, path("l.d64"));
    ts::Listing l = ts::list(path("l.d64"));
    ASSERT_EQ(l.files.size(), 5u);
    EXPECT_EQ(l.files[0].bytes, 9);
    EXPECT_EQ(l.files[1].bytes, 0);
    EXPECT_EQ(l.files[2].bytes, 0);
    EXPECT_EQ(l.files[3].bytes, 254);
    EXPECT_EQ(l.files[4].bytes, 9);
    EXPECT_EQ(l.files[4].blocks, 0);
    ts::TempDir out;
    auto results = ts::extractAll(path("l.d64"), out.path);
    for (const auto& r : results) EXPECT_EQ(r.second, 0);
    EXPECT_EQ(ts::readFile(out / "a.prg").size(), 9u);
    EXPECT_EQ(ts::readFile(out / "b.prg").size(), 0u);
    EXPECT_EQ(ts::readFile(out / "c.prg").size(), 0u);
    EXPECT_EQ(ts::readFile(out / "d.prg").size(), 254u);
    EXPECT_EQ(ts::readFile(out / "e.prg").size(), 9u);
}

// Whatever holds a target's name (a link to another file, a link to nowhere,
// a pipe) is replaced by the extracted file, never written through; the
// same with the folder as DestPath.
TEST_F(ListingTest, ExtractionReplacesWhatHoldsTheName) {
    Bytes a, b;
    ts::save(sampleDisk(a, b), path("d.d64"));
    for (bool inDestPath : {false, true}) {
        ts::TempDir out;
        ts::writeText(path("victim"), "keep");
        ASSERT_EQ(symlink(path("victim").c_str(), (out / "hello.prg").c_str()), 0);
        ASSERT_EQ(symlink(path("ghost").c_str(), (out / "HELLO.seq").c_str()), 0);
        ASSERT_EQ(mkfifo((out / "last.prg").c_str(), 0644), 0);
        for (const auto& r : ts::extractAll(path("d.d64"), out.path, inDestPath)) EXPECT_EQ(r.second, 0) << r.first;
        EXPECT_EQ(ts::readFile(path("victim")), (Bytes {'k', 'e', 'e', 'p'}));
        EXPECT_FALSE(ts::exists(path("ghost")));
        // (A pipe left in place would block the read.)
        for (const auto& [name, data] : {std::pair {"hello.prg", a}, std::pair {"HELLO.seq", b}, std::pair {"last.prg", b}}) {
            const bool plain = std::filesystem::is_regular_file(out / name);
            EXPECT_TRUE(plain) << name;
            if (plain) {
                EXPECT_EQ(ts::readFile(out / name), data) << name;
            }
        }
        EXPECT_EQ(ts::listDir(out.path).size(), 9u);  // no temporary file left
    }
}

TEST_F(ListingTest, DamagedChainsEndWithReadErrors) {
    ts::RawImage img = ts::makeRawImage(1);
    std::uint8_t* d1 = ts::block(img, 18, 1);
    d1[0] = 18;
    d1[1] = 4;
    // 18/4 links back to 18/1: a directory loop after the files of both blocks.
    ts::block(img, 18, 4)[0] = 18;
    ts::block(img, 18, 4)[1] = 1;
    // SELF: a block linking to itself. SAME: the same sector on two tracks is
    // no loop. FAR: a chain leaving the disk.
    ts::block(img, 17, 0)[0] = 17;
    ts::block(img, 17, 0)[1] = 0;
    ts::putChain(img, {{17, 5}, {16, 5}, {15, 5}}, ts::randomBytes(700, 3));
    ts::block(img, 20, 0)[0] = 36;
    ts::block(img, 20, 0)[1] = 0;
    ts::putEntry(img, 18, 1, 0, 0x82, "SELF", 17, 0, 3);
    ts::putEntry(img, 18, 1, 1, 0x82, "SAME", 17, 5, 3);
    ts::putEntry(img, 18, 1, 2, 0x82, "FAR", 20, 0, 2);
    ts::putEntry(img, 18, 1, 3, 0x82, "NOWHERE", 0, 0, 1);
    ts::putEntry(img, 18, 4, 0, 0x82, "SECOND", 17, 5, 3);
    ts::putEntry(img, 18, 4, 1, 0x82, "HUGE", 17, 0, 0xFFFF);  // a count no walk may trust
    ts::putEntry(img, 18, 4, 2, 0x82, "OLD", 0, 0, 0);          // an empty file as older versions stored it
    ts::save(img, path("bad.d64"));
    ts::LogCapture log;
    ts::Listing l = ts::list(path("bad.d64"));
    EXPECT_EQ(names(l),
              (std::vector<std::string>{"self.prg", "same.prg", "far.prg", "nowhere.prg", "second.prg", "huge.prg",
                                        "old.prg"}));
    EXPECT_EQ(l.endResult, 18);
    EXPECT_TRUE(log.contains("ReadHeader: error cyclic access for 18:1\n"));
    EXPECT_EQ(l.files[0].bytes, 0);  // a loop: extraction fails
    EXPECT_EQ(l.files[1].bytes, 700);
    EXPECT_EQ(l.files[2].bytes, 0);
    EXPECT_EQ(l.files[5].bytes, 0);

    // Testing finds the same damage as extracting, without writing anything.
    std::string bad = path("bad.d64");
    std::string out2;
    EXPECT_EQ(ts::run(std::string(OMBRIX_HOST) + " --ini " + ts::shellQuote(path("cfg/wcx.ini")) + " test " +
                          ts::shellQuote(bad), &out2), 18) << out2;
    EXPECT_NE(out2.find("ok same.prg"), std::string::npos) << out2;
    EXPECT_NE(out2.find("self.prg: read error: a block of the file is damaged or missing"), std::string::npos) << out2;
    EXPECT_NE(out2.find("[E_EREAD (18)]"), std::string::npos) << out2;

    ts::TempDir out;
    auto results = ts::extractAll(path("bad.d64"), out.path);
    ASSERT_EQ(results.size(), 7u);
    EXPECT_EQ(results[6].second, 0);
    EXPECT_EQ(ts::readFile(out / "old.prg").size(), 0u);
    EXPECT_TRUE(ts::exists(out / "old.prg"));
    EXPECT_EQ(results[5].second, 18);
    EXPECT_EQ(results[0].second, 18);
    EXPECT_FALSE(ts::exists(out / "self.prg"));  // no stub of the data before the loop
    EXPECT_TRUE(log.contains("ProcessFile: error cyclic access for 17:0\n"));
    EXPECT_EQ(results[1].second, 0);
    EXPECT_EQ(results[2].second, 18);
    EXPECT_EQ(results[3].second, 18);
    EXPECT_EQ(results[4].second, 0);
}

TEST_F(ListingTest, ErrorBytesMakeSingleFilesUnreadable) {
    ts::RawImage img = ts::makeRawImage(1, 35, true);
    ts::block(img, 18, 1)[1] = 0xFF;
    Bytes a = ts::randomBytes(500, 4), b = ts::randomBytes(300, 5), c = ts::randomBytes(100, 6);
    ts::putChain(img, {{17, 0}, {17, 10}}, a);
    ts::putChain(img, {{16, 0}, {16, 10}}, b);
    ts::putChain(img, {{15, 0}}, c);
    ts::putEntry(img, 18, 1, 0, 0x82, "GOOD", 17, 0, 2);
    ts::putEntry(img, 18, 1, 1, 0x82, "BAD", 16, 0, 2);
    ts::putEntry(img, 18, 1, 2, 0x82, "ONE", 15, 0, 1);
    const std::size_t errors = 174848;
    img.data[errors + ts::blockIndex(img, 17, 0)] = 1;   // good
    img.data[errors + ts::blockIndex(img, 17, 10)] = 0;  // good
    img.data[errors + ts::blockIndex(img, 16, 10)] = 5;  // bad
    ts::save(img, path("e.d64"));
    ts::Listing l = ts::list(path("e.d64"));
    ASSERT_EQ(l.files.size(), 3u);
    EXPECT_EQ(l.files[0].bytes, 500);
    EXPECT_EQ(l.files[1].bytes, 0);
    EXPECT_EQ(l.files[2].bytes, 100);
    ts::TempDir out;
    ts::writeText(out / "bad.prg", "keep");
    auto results = ts::extractAll(path("e.d64"), out.path);
    EXPECT_EQ(results[0].second, 0);
    EXPECT_EQ(results[1].second, 18);
    EXPECT_EQ(results[2].second, 0);
    EXPECT_EQ(ts::readFile(out / "good.prg"), a);
    EXPECT_EQ(ts::readFile(out / "one.prg"), c);
    EXPECT_EQ(ts::readFile(out / "bad.prg"), (Bytes {'k', 'e', 'e', 'p'}));  // what was there stays
    // Each call's reason is its own: asked by name after the listing, as
    // hosts do, the sound file after the damaged one has none.
    std::string image = path("e.d64");
    tOpenArchiveData open {};
    open.ArcName = image.data();
    HANDLE h = OpenArchive(&open);
    ASSERT_NE(h, nullptr);
    tHeaderData header {};
    while (ReadHeader(h, &header) == 0) {
    }
    for (const auto& [name, rc, reason] : {std::tuple {"bad.prg", 18, "block 16:10: 23, Checksum error in data block"},
                                           std::tuple {"good.prg", 0, ""}}) {
        std::string request = out.path + "/" + name;
        EXPECT_EQ(ProcessFile(h, PK_TEST, nullptr, request.data()), rc) << name;
        char why[256] = "x";
        int whySize = sizeof why;
        EXPECT_EQ(LastErrorText(why, &whySize), 0);
        EXPECT_STREQ(why, reason) << name;
    }
    CloseArchive(h);
    // A fresh extraction leaves no stub and no temporary file; the user is
    // told which block failed and why.
    std::string said;
    EXPECT_EQ(ts::run(ts::host(dir) + "extract " + ts::shellQuote(path("e.d64")) + " -C " + ts::shellQuote(path("x")), &said), 18);
    EXPECT_NE(said.find("bad.prg: read error: a block of the file is damaged or missing (ombrix validate shows where) (block 16:10: 23, Checksum error in data block) [E_EREAD (18)]\n"),
              std::string::npos) << said;
    std::vector<std::string> made = ts::listDir(path("x"));
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string> {"good.prg", "one.prg"}));
    // Over an older file of that name: the old file stays, no temporary file is left.
    ts::writeFile(path("x/bad.prg"), Bytes {'o', 'l', 'd'});
    EXPECT_EQ(ts::run(ts::host(dir) + "extract " + ts::shellQuote(path("e.d64")) + " -C " + ts::shellQuote(path("x")), &said), 18);
    made = ts::listDir(path("x"));
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string> {"bad.prg", "good.prg", "one.prg"}));
    EXPECT_EQ(ts::readFile(path("x/bad.prg")), (Bytes {'o', 'l', 'd'}));

    // A bad directory block ends the listing with a read error.
    img.data[errors + ts::blockIndex(img, 18, 1)] = 2;
    ts::save(img, path("e2.d64"));
    l = ts::list(path("e2.d64"));
    EXPECT_TRUE(l.files.empty());
    EXPECT_EQ(l.endResult, 18);
    // ...unless the error table is ignored.
    ts::loadSettings(dir, "[common]\nignoreErrorTable=1\n");
    l = ts::list(path("e2.d64"));
    ASSERT_EQ(l.files.size(), 3u);
    EXPECT_EQ(l.files[1].bytes, 300);
}

TEST_F(ListingTest, OpenResults) {
    ts::RawImage img = ts::makeRawImage(1);
    ts::block(img, 18, 1)[1] = 0xFF;
    ts::save(img, path("a.d64"));
    EXPECT_EQ(ts::list(path("a.d64")).openResult, 0);
    EXPECT_EQ(ts::list(path("a.d64")).endResult, 10);
    ts::writeFile(path("GAME.D64"), img.data);
    EXPECT_EQ(ts::list(path("GAME.D64")).openResult, 0);
    // Names that are not ours: the content (a D64's size) tells.
    ts::writeFile(path("a.d64.bak"), img.data);
    EXPECT_EQ(ts::list(path("a.d64.bak")).openResult, 0);
    EXPECT_EQ(ts::list(path("missing.d64")).openResult, 15);
    ts::writeFile(path("empty.d64"), {});
    EXPECT_EQ(ts::list(path("empty.d64")).openResult, 12);
    ts::writeFile(path("short.d64"), Bytes(174847, 0));
    EXPECT_EQ(ts::list(path("short.d64")).openResult, 14);
    ts::writeFile(path("x.d71"), Bytes(100, 0));
    EXPECT_EQ(ts::list(path("x.d71")).openResult, 14);
    ts::writeFile(path("a.d6"), img.data);
    EXPECT_EQ(ts::list(path("a.d6")).openResult, 0);
    EXPECT_EQ(ts::list("x.d6").openResult, 14);  // four characters: refused before the file is touched
    EXPECT_EQ(ts::list(dir.path).openResult, 14);
    // Sizes are 64-bit, and a file far larger than any image is refused
    // unread (sparse files: no disk space taken).
    for (std::uintmax_t size : {(std::uintmax_t {1} << 32) + 174848, std::uintmax_t {17} << 20}) {
        std::filesystem::resize_file(path("a.d64"), size);
        EXPECT_EQ(ts::list(path("a.d64")).openResult, 14) << size;
    }
    EXPECT_EQ(GetPackerCaps(), 95);  // 64: CanYouHandleThisFile answers by content
}

// Every image format, built from its geometry: the first directory block of
// the format, a file at the far end of the disk.
TEST_F(ListingTest, EveryDiskFormat) {
    struct Case {
        int type;
        const char* ext;
        int dirTrack, dirSector, lastTrack, tracks;
    };
    const Case cases[] = {{1, "d64", 18, 1, 35, 35}, {1, "d64", 18, 1, 40, 40}, {2, "d71", 18, 1, 70, 0},
                          {3, "d80", 39, 1, 77, 0},  {4, "d82", 39, 1, 154, 0}, {5, "d81", 40, 3, 80, 0}};
    for (const Case& c : cases) {
        for (bool errors : {false, true}) {
            ts::RawImage img = ts::makeRawImage(c.type, c.tracks, errors);
            ts::block(img, c.dirTrack, c.dirSector)[1] = 0xFF;
            const int lastSector = ts::sectorsOf(img, c.lastTrack) - 1;
            Bytes data = ts::randomBytes(1000, static_cast<std::uint32_t>(c.type));
            ts::putChain(img, {{1, 0}, {c.lastTrack, lastSector}, {c.lastTrack - 1, 3}, {2, 7}}, data);
            ts::putEntry(img, c.dirTrack, c.dirSector, 0, 0x82, "FILE", 1, 0, 4);
            // Directory art: entries whose counts claim none, fewer or more
            // blocks than the chain they point into.
            ts::putEntry(img, c.dirTrack, c.dirSector, 1, 0xC0, "----", c.lastTrack - 1, 3, 0);
            ts::putEntry(img, c.dirTrack, c.dirSector, 2, 0x82, "SHORT", c.lastTrack, lastSector, 1);
            ts::putEntry(img, c.dirTrack, c.dirSector, 3, 0x81, "LONG", 2, 7, 9);
            std::string name = path(std::string("img.") + c.ext);
            ts::save(img, name);
            ts::Listing l = ts::list(name);
            ASSERT_EQ(l.openResult, 0) << c.ext;
            ASSERT_EQ(l.files.size(), 4u) << c.ext;
            EXPECT_EQ(l.files[0].bytes, 1000) << c.ext;
            EXPECT_EQ(l.files[1].blocks, 0) << c.ext;  // the count the directory gives
            EXPECT_EQ(l.files[1].bytes, 254 + 238) << c.ext;
            ts::TempDir out;
            auto results = ts::extractAll(name, out.path);
            for (std::size_t i = 0; i < results.size(); ++i) {
                EXPECT_EQ(results[i].second, 0) << c.ext << " " << results[i].first;
                EXPECT_EQ(ts::readFile(out / l.files[i].name).size(), static_cast<std::size_t>(l.files[i].bytes))
                    << c.ext << " " << l.files[i].name;
            }
            EXPECT_EQ(ts::readFile(out / "file.prg"), data) << c.ext;
        }
    }
}

TEST_F(ListingTest, DirectoryOfOnlyEmptyEntries) {
    ts::RawImage img = ts::makeRawImage(5);
    // 40/3 -> 40/4 -> 40/5, all empty, last block's sector byte arbitrary.
    ts::block(img, 40, 3)[0] = 40;
    ts::block(img, 40, 3)[1] = 4;
    ts::block(img, 40, 4)[0] = 40;
    ts::block(img, 40, 4)[1] = 5;
    ts::block(img, 40, 5)[1] = 0x37;
    ts::save(img, path("e.d81"));
    ts::LogCapture log;
    ts::Listing l = ts::list(path("e.d81"));
    EXPECT_TRUE(l.files.empty());
    EXPECT_EQ(l.endResult, 10);
    EXPECT_TRUE(log.contains("currSector 40:5-7\n"));
}

// A D64 or D71 (RawImage, directory 18/1) holding one file, as the bytes of
// an emulation partition: 342 or 684 units, the drive's filler blocks last.
Bytes emulatedDisk(int type, const Bytes& data) {
    ts::RawImage img = ts::makeRawImage(type);
    ts::block(img, 18, 1)[1] = 0xFF;
    ts::putChain(img, {{1, 0}, {1, 10}}, data);
    ts::putEntry(img, 18, 1, 0, 0x82, "EMU", 1, 0, 2);
    img.data.resize(type == 1 ? 684 * 256 : 1368 * 256, 0);
    return img.data;
}

// Images of every CMD kind laid from the layouts, read back through the
// exports: each folder listed as a directory entry before what it holds,
// files at their paths, byte for byte.
TEST_F(ListingTest, CmdImagesOfEveryKind) {
    const Bytes a = ts::randomBytes(300, 1), b = ts::randomBytes(600, 2), c = ts::randomBytes(40, 3);
    const std::vector<ts::CmdFile> tree = {{"top", 0x82, a}, {"sub/one", 0x81, b}, {"sub/deeper/two", 0x82, c}};
    Bytes subDisks = ts::makeD81({{"root", 0x82, a}});
    ts::putSubDisk(subDisks, 50, 3, "inner", {{"in", 0x81, b}});
    ts::putSubDisk(subDisks, 60, 2, "area", {}, false);  // two tracks: a protected area, as before
    const Bytes native = ts::makeNative(2, tree), d1 = ts::makeNative(12, {{"x", 0x82, c}});
    struct Row {
        const char* file;
        Bytes bytes;
        std::vector<std::pair<std::string, int>> listed;  // name, bytes (-1 a folder)
    };
    const std::vector<std::pair<std::string, int>> treeListed = {
        {"top.prg", 300}, {"sub", -1}, {"sub/one.seq", 600}, {"sub/deeper", -1}, {"sub/deeper/two.prg", 40}};
    auto under = [&](const std::string& folder) {
        std::vector<std::pair<std::string, int>> out {{folder, -1}};
        for (const auto& [name, bytes] : treeListed) out.push_back({folder + "/" + name, bytes});
        return out;
    };
    std::vector<std::pair<std::string, int>> every = under("native");
    for (const auto& row : std::vector<std::pair<std::string, int>> {
             {"c64", -1}, {"c64/emu.prg", 300}, {"c128", -1}, {"c128/emu.prg", 300}, {"disk81", -1},
             {"disk81/root.prg", 300}, {"disk81/inner", -1}, {"disk81/inner/in.seq", 600}, {"disk81/area", 0},
             {"cpm.cpm", 4096}, {"spool.prn", 1024}, {"other.bin", 512}})
        every.push_back(row);
    const std::vector<Row> rows = {
        {"tree.dnp", native, treeListed},
        {"one.d1m", ts::makeFdImage(8, {{1, "PARTITION 1", d1}}), {{"partition 1", -1}, {"partition 1/x.prg", 40}}},
        {"errors.d2m", ts::makeFdImage(9, {{1, "NATIVE", native}}, true), under("native")},
        {"every.d4m",
         ts::makeFdImage(10, {{1, "NATIVE", native}, {2, "C64", emulatedDisk(1, a)}, {3, "C128", emulatedDisk(2, a)},
                              {4, "DISK81", subDisks}, {5, "CPM", Bytes(4096, 0xE5)}, {6, "SPOOL", Bytes(1024, 7)},
                              {7, "OTHER", Bytes(512, 9)}}),
         every},
        {"subdisks.d81", subDisks,
         {{"root.prg", 300}, {"inner", -1}, {"inner/in.seq", 600}, {"area", 0}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        ts::writeFile(path(row.file), row.bytes);
        const ts::Listing l = ts::list(path(row.file));
        ASSERT_EQ(l.openResult, 0);
        EXPECT_EQ(l.endResult, 10);
        ASSERT_EQ(l.files.size(), row.listed.size()) << ::testing::PrintToString(names(l));
        for (std::size_t i = 0; i < l.files.size(); ++i) {
            EXPECT_EQ(l.files[i].name, row.listed[i].first);
            EXPECT_EQ(l.files[i].attr == 040755, row.listed[i].second < 0) << l.files[i].name;
            EXPECT_EQ(l.files[i].bytes, std::max(row.listed[i].second, 0)) << l.files[i].name;
        }
        ts::TempDir out;
        for (const auto& r : ts::extractAll(path(row.file), out.path)) EXPECT_EQ(r.second, 0) << r.first;
        for (const auto& [name, bytes] : row.listed)
            if (bytes == 300 || bytes == 600 || bytes == 40) {
                EXPECT_EQ(ts::readFile(out / name), bytes == 300 ? a : bytes == 600 ? b : c) << name;
            }
    }
}

TEST(Names, ConversionTables) {
    std::uint8_t name[16];
    std::memset(name, 0xA0, 16);
    std::memcpy(name, "\x48\x45\x4C\x4C\x4F", 5);
    trimNamePad(name, 16, 1);
    convert(name, 16);
    EXPECT_STREQ(reinterpret_cast<char*>(name), "hello");

    // 0x61-0x7A are capitals as 0xC1-0xDA (as cc1541 lists them); a GEOS
    // name is ASCII.
    std::uint8_t capitals[16] = {0x61, 0x7A, 0x41, 0xC1, 0x2F};
    convert(capitals, 16);
    EXPECT_STREQ(reinterpret_cast<char*>(capitals), "AZaA_");
    std::uint8_t geos[16] = {'C', 'o', 'r', 'y', '~', '/', 0x7B, 0xC1};
    convert(geos, 16, true);
    EXPECT_STREQ(reinterpret_cast<char*>(geos), "Cory____");

    // Every byte: the nine characters host names cannot hold never come out,
    // nor the '~' of the listing's "~2".
    for (int c = 1; c < 256; ++c)
        for (bool ascii : {false, true}) {
            std::uint8_t one[16] = {static_cast<std::uint8_t>(c)};
            convert(one, 16, ascii);
            EXPECT_EQ(std::strchr("\\/:*?\"<>|~", one[0]) == nullptr || one[0] == 0, true) << c;
        }
    // Padding: 0xA0 inside a name stays, only the tail is cut; tape names pad with spaces.
    std::uint8_t tape[16];
    std::memset(tape, 0x20, 16);
    std::memcpy(tape, "A B\xA0", 4);
    trimNamePad(tape, 16, 6);
    EXPECT_EQ(tape[3], 0xA0);
    EXPECT_EQ(tape[4], 0);

    char host[32] = "x";
    appendTypeExtension(host, 0xC2);
    EXPECT_STREQ(host, "x");
    appendTypeExtension(host, 0x00);
    EXPECT_STREQ(host, "x.prg");
    std::strcpy(host, "x");
    appendTypeExtension(host, 0x81);
    EXPECT_STREQ(host, "x.seq");

    char out[64];
    const std::uint8_t withA0[] = {'a', 0xA0, 'b', 0};
    ASSERT_TRUE(buildHostName(withA0, 0x82, out, sizeof out));
    EXPECT_STREQ(out, "a\xC2\xA0" "b.prg");

    CbmName cbm;
    splitHostNameForAdding("game.prg", cbm);
    EXPECT_EQ(cbm.fileType, 0x82);
    EXPECT_EQ(0, std::memcmp(cbm.name, "\x47\x41\x4D\x45\xA0", 5));
    splitHostNameForAdding("readme.txt", cbm);
    EXPECT_EQ(cbm.fileType, 0x81);
    EXPECT_EQ(0, std::memcmp(cbm.name, "README.TXT\xA0\xA0\xA0\xA0\xA0\xA0", 16));
    splitHostNameForAdding("GAME.PRG", cbm);
    EXPECT_EQ(cbm.fileType, 0x81);
    EXPECT_EQ(0, std::memcmp(cbm.name, "\xC7\xC1\xCD\xC5\x2E\xD0\xD2\xC7\xA0", 9));
    // The types the listing shows: x.usr and x.del give USR and DEL files (lower case only).
    for (const auto& [name, type] : {std::pair {"x.usr", 0x83}, std::pair {"x.del", 0x80}, std::pair {"x.USR", 0x81}}) {
        splitHostNameForAdding(name, cbm);
        EXPECT_EQ(cbm.fileType, type) << name;
        EXPECT_EQ(cbm.name[1], type == 0x81 ? 0x2E : 0xA0) << name;
    }
    splitHostNameForAdding("sub/file.prg", cbm);
    EXPECT_EQ(cbm.fileType, 0x82);
    EXPECT_EQ(0, std::memcmp(cbm.name, "SUB FILE\xA0", 9));
    splitHostNameForAdding("abcdefghijklmnopqrst", cbm);
    EXPECT_EQ(0, std::memcmp(cbm.name, "ABCDEFGHIJKLMNOP", 16));

    // Names the host's file system could not create, or would take for
    // another file, get a '_'.
    const struct {
        const char* name;
        bool windows;
        const char* safe;
    } safe[] = {{".", false, "._"},           {"..", false, ".._"},        {"con", false, "con"},
                {"con", true, "con_"},         {"NUL.prg", true, "NUL_.prg"}, {"lpt1.txt", true, "lpt1_.txt"},
                {"com9", true, "com9_"},       {"com0.prg", true, "com0.prg"}, {"nul .prg", true, "nul_ .prg"},
                {"conout$", true, "conout$_"}, {"console", true, "console"}, {"a.", true, "a._"},
                {"b ", true, "b _"},           {"b ", false, "b "},          {"..", true, ".._"},
                {"com10", true, "com10"},      {"LPT12.prg", true, "LPT12.prg"}};
    for (const auto& c : safe) {
        std::string n = c.name;
        makeHostSafe(n, c.windows);
        EXPECT_EQ(n, c.safe) << c.name << (c.windows ? " (Windows)" : "");
    }

    char cut[100];
    std::uint8_t type = 0;
    EXPECT_TRUE(splitHostNameForDeleting("NOTES.SEQ", cut, sizeof cut, type));
    EXPECT_EQ(type, 0x81);
    EXPECT_STREQ(cut, "NOTES");
    EXPECT_FALSE(splitHostNameForDeleting("NAME.USR", cut, sizeof cut, type));
    EXPECT_FALSE(splitHostNameForDeleting("NAME", cut, sizeof cut, type));
}

}  // namespace

namespace {

// A write that fails while the file is extracted is reported, not hidden:
// /dev/full takes the open but refuses every byte.
TEST_F(ListingTest, FailedWritesOfTheOutputAreReported) {
    if (!ts::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ts::RawImage img = ts::makeRawImage(1);
    ts::block(img, 18, 1)[1] = 0xFF;
    ts::putChain(img, {{17, 0}, {17, 10}}, ts::randomBytes(400, 8));
    ts::putEntry(img, 18, 1, 0, 0xC2, "FULL", 17, 0, 2);  // locked: listed without extension
    ts::save(img, path("f.d64"));
    std::string image = path("f.d64");
    tOpenArchiveData data {};
    data.ArcName = image.data();
    HANDLE h = OpenArchive(&data);
    ASSERT_NE(h, nullptr);
    tHeaderData header {};
    ASSERT_EQ(ReadHeader(h, &header), 0);
    ASSERT_STREQ(header.FileName, "full");
    char target[] = "/dev/full";
    EXPECT_EQ(ProcessFile(h, PK_EXTRACT, nullptr, target), 19);
    CloseArchive(h);
}

}  // namespace

namespace {

// GEOS files put block by block: a sequential one and a VLIR one with an
// empty record among its records, each as ts::convertFile gives its Convert
// file (which carries the entry bytes the directory gets).
struct GeosDisk {
    ts::RawImage img = ts::makeRawImage(1, 35, true);  // error bytes all 0: every block good
    Bytes seqCvt, vlirCvt;
    std::vector<Bytes> records;
};

GeosDisk geosDisk() {
    GeosDisk d;
    ts::block(d.img, 18, 1)[1] = 0xFF;
    const Bytes seqData = ts::randomBytes(400, 31);
    d.records = {ts::randomBytes(300, 32), {}, ts::randomBytes(254, 33), ts::randomBytes(1, 34)};
    // GEOS names are ASCII; a '~' never comes out (the listing's "~2" is its own).
    d.seqCvt = ts::convertFile("SeqGeos", 0x82, false, {seqData}, 5);
    d.vlirCvt = ts::convertFile("Vlir~Geos", 0x83, true, d.records, 6);
    auto info = [&](int t, int s, const Bytes& cvt) {
        std::uint8_t* b = ts::block(d.img, t, s);
        b[1] = 0xFF;
        std::memcpy(b + 2, cvt.data() + 254, 254);
    };
    auto entry = [&](int i, const Bytes& cvt, int t, int s, int infoTrack, int infoSector) {
        std::uint8_t* e = ts::block(d.img, 18, 1) + 32 * i;
        std::memcpy(e + 2, cvt.data(), 30);
        e[3] = static_cast<std::uint8_t>(t);
        e[4] = static_cast<std::uint8_t>(s);
        e[21] = static_cast<std::uint8_t>(infoTrack);
        e[22] = static_cast<std::uint8_t>(infoSector);
    };
    info(17, 0, d.seqCvt);
    ts::putChain(d.img, {{17, 1}, {17, 2}}, seqData);
    entry(0, d.seqCvt, 17, 1, 17, 0);
    info(16, 0, d.vlirCvt);
    std::uint8_t* index = ts::block(d.img, 16, 1);
    index[1] = 0xFF;
    const std::uint8_t pairs[] = {16, 2, 0, 0xFF, 16, 4, 16, 5};
    std::memcpy(index + 2, pairs, sizeof pairs);
    ts::putChain(d.img, {{16, 2}, {16, 3}}, d.records[0]);
    ts::putChain(d.img, {{16, 4}}, d.records[2]);
    ts::putChain(d.img, {{16, 5}}, d.records[3]);
    entry(1, d.vlirCvt, 16, 1, 16, 0);
    return d;
}

TEST_F(ListingTest, GeosFilesAreListedAndExtractedAsConvertFiles) {
    GeosDisk d = geosDisk();
    ts::save(d.img, path("g.d64"));
    ts::Listing l = ts::list(path("g.d64"));
    ASSERT_EQ(names(l), (std::vector<std::string>{"SeqGeos.cvt", "Vlir_Geos.cvt"}));
    EXPECT_EQ(l.files[0].blocks, 3);
    EXPECT_EQ(l.files[1].blocks, 6);
    ts::TempDir out;
    for (const auto& r : ts::extractAll(path("g.d64"), out.path)) EXPECT_EQ(r.second, 0) << r.first;
    EXPECT_EQ(ts::readFile(out / "SeqGeos.cvt"), d.seqCvt);
    EXPECT_EQ(ts::readFile(out / "Vlir_Geos.cvt"), d.vlirCvt);
    for (const ts::Listed& f : l.files) EXPECT_EQ(ts::readFile(out / f.name).size(), static_cast<std::size_t>(f.bytes));

    // Switched off: the plain chains, of a VLIR file its index block.
    ts::loadSettings(dir, "[common]\ngeosAsConvert=0\n");
    l = ts::list(path("g.d64"));
    ASSERT_EQ(names(l), (std::vector<std::string>{"SeqGeos.prg", "Vlir_Geos.usr"}));
    EXPECT_EQ(l.files[0].bytes, 400);
    EXPECT_EQ(l.files[1].bytes, 254);
    ts::TempDir plain;
    for (const auto& r : ts::extractAll(path("g.d64"), plain.path)) EXPECT_EQ(r.second, 0) << r.first;
    EXPECT_EQ(ts::readFile(plain / "SeqGeos.prg"), Bytes(d.seqCvt.begin() + 508, d.seqCvt.end()));
    EXPECT_EQ(ts::readFile(plain / "Vlir_Geos.usr"), Bytes(ts::block(d.img, 16, 1) + 2, ts::block(d.img, 16, 1) + 256));
}

// A GEOS file that cannot be read whole, or that the Convert format cannot
// hold, fails as a damaged chain does: listed with 0 bytes, read error 18.
TEST_F(ListingTest, DamagedGeosFilesFailWithReadErrors) {
    const std::size_t errors = 174848;
    struct Case {
        const char* what;
        void (*damage)(ts::RawImage&);
    };
    const Case cases[] = {
        {"record chain loops", [](ts::RawImage& i) { ts::block(i, 16, 3)[0] = 16, ts::block(i, 16, 3)[1] = 2; }},
        {"record chain leaves the disk", [](ts::RawImage& i) { ts::block(i, 16, 3)[0] = 36; }},
        {"record block marked bad", [](ts::RawImage& i) { i.data[errors + ts::blockIndex(i, 16, 4)] = 5; }},
        {"index block marked bad", [](ts::RawImage& i) { i.data[errors + ts::blockIndex(i, 16, 1)] = 5; }},
        {"no info block", [](ts::RawImage& i) { ts::block(i, 18, 1)[32 + 21] = 0; }},
        {"two records share a block", [](ts::RawImage& i) { ts::block(i, 16, 1)[8] = 16, ts::block(i, 16, 1)[9] = 3; }},
        {"record block is the info block", [](ts::RawImage& i) { ts::block(i, 16, 1)[9] = 0; }},
        {"record's last block holds no byte", [](ts::RawImage& i) { ts::block(i, 16, 5)[1] = 1; }},
        {"record of 256 blocks", [](ts::RawImage& i) {
             std::vector<std::pair<int, int>> blocks;
             for (int t = 1; blocks.size() < 256; ++t)
                 for (int s = 0; s < 21 && blocks.size() < 256; ++s) blocks.emplace_back(t, s);
             ts::putChain(i, blocks, ts::randomBytes(256 * 254, 35));
             ts::block(i, 16, 1)[6] = 1, ts::block(i, 16, 1)[7] = 0;
         }},
        {"structure byte neither 0 nor 1", [](ts::RawImage& i) { ts::block(i, 18, 1)[32 + 23] = 2; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GeosDisk d = geosDisk();
        c.damage(d.img);
        ts::save(d.img, path("bad.d64"));
        ts::Listing l = ts::list(path("bad.d64"));
        ASSERT_EQ(l.files.size(), 2u);
        EXPECT_EQ(l.files[0].bytes, static_cast<int>(d.seqCvt.size()));
        EXPECT_EQ(l.files[1].bytes, 0);
        ts::TempDir out;
        const auto results = ts::extractAll(path("bad.d64"), out.path);
        EXPECT_EQ(results[0].second, 0);
        EXPECT_EQ(results[1].second, 18);
    }
}

}  // namespace
