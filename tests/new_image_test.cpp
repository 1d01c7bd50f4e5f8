// New empty images: sizes, header and BAM bytes per format, free counts, and
// acceptance by the peer tools.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/writer_support.h"

namespace {

using wt::blockOf;

class NewImage : public ::testing::Test {
protected:
    void SetUp() override { wt::resetSettings(); }
    void TearDown() override { wt::resetSettings(); }
};

ts::Bytes range(const std::uint8_t* block, int from, int to) { return ts::Bytes(block + from, block + to + 1); }

TEST_F(NewImage, D64DefaultsAreByteExact) {
    auto info = wt::newImage(kTypeD64);
    ASSERT_EQ(info->imageSize, 174848);
    EXPECT_EQ(info->hasErrorInfo, 0);
    const std::uint8_t* h = blockOf(*info, 18, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(range(h, 0, 3), (ts::Bytes {0x12, 0x01, 0x41, 0x00}));
    EXPECT_EQ(range(h, 4, 7), (ts::Bytes {0x15, 0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(range(h, 72, 75), (ts::Bytes {0x11, 0xFC, 0xFF, 0x07}));
    EXPECT_EQ(range(h, 140, 143), (ts::Bytes {0x11, 0xFF, 0xFF, 0x01}));
    // Tracks 18-24 have 19 sectors, 25-30 18.
    EXPECT_EQ(range(h, 4 * 19, 4 * 19 + 3), (ts::Bytes {0x13, 0xFF, 0xFF, 0x07}));
    EXPECT_EQ(range(h, 4 * 25, 4 * 25 + 3), (ts::Bytes {0x12, 0xFF, 0xFF, 0x03}));
    EXPECT_EQ(std::memcmp(h + 144, "OMBRIX DISK", 11), 0);
    EXPECT_EQ(range(h, 155, 161), ts::Bytes(7, 0xA0));
    EXPECT_EQ(range(h, 162, 166), (ts::Bytes {'0', '0', 0xA0, '2', 'A'}));
    EXPECT_EQ(range(h, 167, 170), ts::Bytes(4, 0xA0));
    EXPECT_EQ(range(h, 171, 255), ts::Bytes(85, 0));
    const std::uint8_t* d = blockOf(*info, 18, 1);
    EXPECT_EQ(d[0], 0x00);
    EXPECT_EQ(d[1], 0xFF);
    EXPECT_EQ(range(d, 2, 255), ts::Bytes(254, 0));

    EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 664);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*info), 17);
    EXPECT_EQ(IsTrackFree(*info, 18), 1);
    EXPECT_EQ(IsSectorFree(*info, 18, 0), 0);
    EXPECT_EQ(IsSectorFree(*info, 18, 1), 0);
    EXPECT_EQ(IsSectorFree(*info, 18, 2), 1);
    EXPECT_EQ(info->fortyTrackType, 0);

    // Everything but 18/0 and 18/1 is zero.
    ts::Bytes all = wt::bytesOf(*info);
    const int header = ts::blockIndex(ts::makeRawImage(1), 18, 0) * 256;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i < static_cast<std::size_t>(header) || i >= static_cast<std::size_t>(header + 512)) {
            ASSERT_EQ(all[i], 0) << "byte " << i;
        }
    }
}

TEST_F(NewImage, TitleIdAndDosVersionComeFromTheSettings) {
    std::memcpy(NewImageSettings.diskTitle, "FIFTEEN CHARS!!", 16);  // 15 characters and the terminator
    std::memcpy(NewImageSettings.diskId, "XY", 2);
    std::memcpy(NewImageSettings.dosVersion[0], "3B", 2);
    std::memcpy(NewImageSettings.dosVersion[1], "4E", 2);
    std::memcpy(NewImageSettings.dosVersion[2], "5F", 2);
    auto d64 = wt::newImage(kTypeD64);
    const std::uint8_t* h = blockOf(*d64, 18, 0);
    EXPECT_EQ(std::memcmp(h + 144, "FIFTEEN CHARS!!", 15), 0);
    EXPECT_EQ(h[159], 0xA0);
    EXPECT_EQ(h[2], 'B');
    EXPECT_EQ(range(h, 162, 166), (ts::Bytes {'X', 'Y', 0xA0, '3', 'B'}));

    // A full 16-character title has no terminator and no fill.
    std::memcpy(NewImageSettings.diskTitle, "SIXTEEN CHARS!!!", 16);
    auto d80 = wt::newImage(kTypeD80);
    const std::uint8_t* h80 = blockOf(*d80, 39, 0);
    EXPECT_EQ(std::memcmp(h80 + 6, "SIXTEEN CHARS!!!", 16), 0);
    EXPECT_EQ(range(h80, 22, 31), (ts::Bytes {0xA0, 'X', 'Y', 0xA0, '4', 'E', 0xA0, 0xA0, 0xA0, 0xA0}));
    EXPECT_EQ(h80[2], 'E');
    EXPECT_EQ(blockOf(*d80, 38, 0)[2], 'E');

    auto d81 = wt::newImage(kTypeD81);
    const std::uint8_t* h81 = blockOf(*d81, 40, 0);
    EXPECT_EQ(range(h81, 20, 28), (ts::Bytes {0xA0, 0xA0, 'X', 'Y', 0xA0, '5', 'F', 0xA0, 0xA0}));
    const std::uint8_t* b81 = blockOf(*d81, 40, 1);
    EXPECT_EQ(range(b81, 2, 5), (ts::Bytes {'F', static_cast<std::uint8_t>(~'F'), 'X', 'Y'}));
}

TEST_F(NewImage, ErrorBytesAreAllGood) {
    NewImageSettings.includeErrorInfo = 1;
    const struct {
        int type;
        int size;
        int blocks;
    } cases[] = {{kTypeD64, 175531, 683}, {kTypeD71, 351062, 1366}, {kTypeD80, 535331, 2083},
                 {kTypeD82, 1070662, 4166}, {kTypeD81, 822400, 3200}};
    for (const auto& c : cases) {
        auto info = wt::newImage(c.type);
        ASSERT_EQ(info->imageSize, c.size);
        EXPECT_EQ(info->hasErrorInfo, 1);
        ts::Bytes all = wt::bytesOf(*info);
        EXPECT_EQ(ts::Bytes(all.end() - c.blocks, all.end()), ts::Bytes(c.blocks, 0));
        EXPECT_NE(blockOf(*info, info->dirTrack, info->dirSector), nullptr);
    }
    auto d64 = wt::newImage(kTypeD64);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d64), 664);
}

TEST_F(NewImage, FortyTrackLayouts) {
    NewImageSettings.fortyTracks = 1;
    NewImageSettings.fortyTrackType = 2;
    auto speed = wt::newImage(kTypeD64);
    ASSERT_EQ(speed->imageSize, 196608);
    EXPECT_EQ(speed->trackCount, 40);
    EXPECT_EQ(speed->fortyTrackType, 2);
    const std::uint8_t* h = blockOf(*speed, 18, 0);
    for (int t = 36; t <= 40; ++t)
        EXPECT_EQ(range(h, 192 + 4 * (t - 36), 195 + 4 * (t - 36)), (ts::Bytes {0x11, 0xFF, 0xFF, 0x01}));
    EXPECT_EQ(range(h, 172, 191), ts::Bytes(20, 0));
    EXPECT_EQ(range(h, 212, 255), ts::Bytes(44, 0));
    EXPECT_EQ(getFreeDataBlocksOnDisk(*speed), 749);

    NewImageSettings.fortyTrackType = 3;
    auto dolphin = wt::newImage(kTypeD64);
    EXPECT_EQ(dolphin->fortyTrackType, 3);
    const std::uint8_t* hd = blockOf(*dolphin, 18, 0);
    for (int t = 36; t <= 40; ++t)
        EXPECT_EQ(range(hd, 172 + 4 * (t - 36), 175 + 4 * (t - 36)), (ts::Bytes {0x11, 0xFF, 0xFF, 0x01}));
    EXPECT_EQ(range(hd, 192, 211), ts::Bytes(20, 0));
    EXPECT_EQ(getFreeDataBlocksOnDisk(*dolphin), 749);

    // The free space is the image's own: a later change of the settings does
    // not take tracks 36-40 away, nor add them to a 35-track image.
    NewImageSettings.fortyTracks = 0;
    NewImageSettings.fortyTrackType = 0;
    EXPECT_EQ(getFreeDataBlocksOnDisk(*speed), 749);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*dolphin), 749);
    auto plain = wt::newImage(kTypeD64);
    NewImageSettings.fortyTracks = 1;
    NewImageSettings.fortyTrackType = 2;
    EXPECT_EQ(getFreeDataBlocksOnDisk(*plain), 664);

    // An unrecognised layout contributes nothing beyond track 35.
    speed->fortyTrackType = 1;
    EXPECT_EQ(getFreeDataBlocksOnDisk(*speed), 664);
}

TEST_F(NewImage, FortyTracksWithoutALayoutAreRefusedLater) {
    ts::LogCapture log;
    NewImageSettings.fortyTracks = 1;
    NewImageSettings.fortyTrackType = 0;
    auto info = wt::newImage(kTypeD64);
    EXPECT_EQ(info->imageSize, 196608);
    EXPECT_TRUE(log.contains("OMBRIX: initDiskImage: unknown 40 tracks type 0\n"));
    EXPECT_EQ(range(blockOf(*info, 18, 0), 172, 211), ts::Bytes(40, 0));
    EXPECT_EQ(info->fortyTrackType, 1);  // checkD64Valid40Track found neither area in use
}

TEST_F(NewImage, D71SecondSide) {
    auto info = wt::newImage(kTypeD71);
    ASSERT_EQ(info->imageSize, 349696);
    const std::uint8_t* h = blockOf(*info, 18, 0);
    EXPECT_EQ(h[3], 0x80);
    ts::Bytes counts = range(h, 221, 255);
    ts::Bytes expected;
    expected.insert(expected.end(), 17, 21);
    expected.insert(expected.end(), 7, 19);
    expected.insert(expected.end(), 6, 18);
    expected.insert(expected.end(), 5, 17);
    expected[238 - 221] = 0;
    EXPECT_EQ(counts, expected);
    const std::uint8_t* b = blockOf(*info, 53, 0);
    EXPECT_EQ(range(b, 0, 2), (ts::Bytes {0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(range(b, 51, 53), ts::Bytes(3, 0));
    EXPECT_EQ(range(b, 54, 56), (ts::Bytes {0xFF, 0xFF, 0x07}));
    EXPECT_EQ(range(b, 102, 104), (ts::Bytes {0xFF, 0xFF, 0x01}));
    EXPECT_EQ(range(b, 105, 255), ts::Bytes(151, 0));
    EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 1328);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*info), 17);
    EXPECT_EQ(IsTrackFree(*info, 53), 0);
}

TEST_F(NewImage, D80AndD82BamChains) {
    auto d80 = wt::newImage(kTypeD80);
    ASSERT_EQ(d80->imageSize, 533248);
    const std::uint8_t* h = blockOf(*d80, 39, 0);
    EXPECT_EQ(range(h, 0, 5), (ts::Bytes {39, 1, 'C', 0, 0, 0}));
    EXPECT_EQ(std::memcmp(h + 6, "OMBRIX DISK", 11), 0);
    EXPECT_EQ(range(h, 17, 31), (ts::Bytes {0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, '0', '0', 0xA0, '2', 'C', 0xA0, 0xA0,
                                            0xA0, 0xA0}));
    EXPECT_EQ(range(h, 32, 255), ts::Bytes(224, 0));
    const std::uint8_t* b0 = blockOf(*d80, 38, 0);
    EXPECT_EQ(range(b0, 0, 5), (ts::Bytes {38, 3, 'C', 0, 1, 51}));
    EXPECT_EQ(range(b0, 6, 10), (ts::Bytes {29, 0xFF, 0xFF, 0xFF, 0x1F}));
    // Track 38 holds the two BAM blocks, track 39 the header and the directory.
    EXPECT_EQ(range(b0, 6 + 5 * 37, 10 + 5 * 37), (ts::Bytes {27, 0xF6, 0xFF, 0xFF, 0x1F}));
    EXPECT_EQ(range(b0, 6 + 5 * 38, 10 + 5 * 38), (ts::Bytes {27, 0xFC, 0xFF, 0xFF, 0x1F}));
    const std::uint8_t* b1 = blockOf(*d80, 38, 3);
    EXPECT_EQ(range(b1, 0, 5), (ts::Bytes {0, 255, 'C', 0, 51, 78}));
    EXPECT_EQ(range(b1, 6 + 5 * 26, 10 + 5 * 26), (ts::Bytes {23, 0xFF, 0xFF, 0x7F, 0x00}));
    EXPECT_EQ(range(b1, 6 + 5 * 27, 255), ts::Bytes(250 - 5 * 27, 0));
    EXPECT_EQ(range(blockOf(*d80, 39, 1), 0, 1), (ts::Bytes {0, 255}));
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d80), 2052);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*d80), 27);

    auto d82 = wt::newImage(kTypeD82);
    ASSERT_EQ(d82->imageSize, 1066496);
    EXPECT_EQ(range(blockOf(*d82, 38, 0), 0, 5), (ts::Bytes {38, 3, 'C', 0, 1, 51}));
    EXPECT_EQ(range(blockOf(*d82, 38, 3), 0, 5), (ts::Bytes {38, 6, 'C', 0, 51, 101}));
    EXPECT_EQ(range(blockOf(*d82, 38, 6), 0, 5), (ts::Bytes {38, 9, 'C', 0, 101, 151}));
    const std::uint8_t* b3 = blockOf(*d82, 38, 9);
    EXPECT_EQ(range(b3, 0, 5), (ts::Bytes {0, 255, 'C', 0, 151, 155}));
    EXPECT_EQ(range(b3, 6 + 5 * 3, 10 + 5 * 3), (ts::Bytes {23, 0xFF, 0xFF, 0x7F, 0x00}));
    EXPECT_EQ(range(b3, 26, 255), ts::Bytes(230, 0));
    EXPECT_EQ(range(blockOf(*d82, 38, 0), 6 + 5 * 37, 6 + 5 * 37), ts::Bytes {25});
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d82), 4133);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*d82), 27);
}

TEST_F(NewImage, D81BamWithComplementByte) {
    auto info = wt::newImage(kTypeD81);
    ASSERT_EQ(info->imageSize, 819200);
    const std::uint8_t* h = blockOf(*info, 40, 0);
    EXPECT_EQ(range(h, 0, 3), (ts::Bytes {40, 3, 'D', 0}));
    EXPECT_EQ(std::memcmp(h + 4, "OMBRIX DISK", 11), 0);
    EXPECT_EQ(range(h, 15, 28), (ts::Bytes {0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, 0xA0, '0', '0', 0xA0, '3', 'D', 0xA0,
                                            0xA0}));
    EXPECT_EQ(range(h, 29, 255), ts::Bytes(227, 0));
    const std::uint8_t* b1 = blockOf(*info, 40, 1);
    EXPECT_EQ(range(b1, 0, 15), (ts::Bytes {40, 2, 'D', 0xBB, '0', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(range(b1, 16, 21), (ts::Bytes {40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(range(b1, 250, 255), (ts::Bytes {36, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF}));
    const std::uint8_t* b2 = blockOf(*info, 40, 2);
    EXPECT_EQ(range(b2, 0, 5), (ts::Bytes {0, 255, 'D', 0xBB, '0', '0'}));
    EXPECT_EQ(range(b2, 250, 255), (ts::Bytes {40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(range(blockOf(*info, 40, 3), 0, 1), (ts::Bytes {0, 255}));
    EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 3160);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*info), 36);
}

TEST_F(NewImage, UnknownTypes) {
    ts::LogCapture log;
    auto info = newImageInfo();
    info->imageType = kTypeT64;
    allocDiskImage(*info);
    EXPECT_EQ(info->imageSize, 0);
    EXPECT_EQ(info->imageData, nullptr);
    initDiskImage(*info);
    EXPECT_TRUE(log.contains("OMBRIX: allocDiskImage: unknown disk type <6>\n"));
    EXPECT_TRUE(log.contains("OMBRIX: initDiskImage: format 6 not supported (yet)"));

    // Without a buffer, the first block is refused and nothing more happens.
    auto empty = newImageInfo();
    empty->imageType = kTypeD64;
    setDiskInitValues(*empty);
    empty->trackCount = 35;
    initDiskImage(*empty);
    EXPECT_TRUE(log.contains("OMBRIX: initDiskImage: bad GetDiskSectorAddr call (18:0)\n"));
}

// --- peer tools ---

struct PeerCase {
    const char* name;
    int type;
    int fortyTrackType;  // 0: 35 tracks
    const char* cc1541Option;
    int freeBlocks;
};

std::string saveImage(const ts::TempDir& dir, const ImageInfo& info, const std::string& name) {
    const std::string path = dir / name;
    ts::writeFile(path, wt::bytesOf(info));
    return path;
}

// The packaged cc1541 (4.0) validates 35-track D64 images only: under -V it
// refuses even the D71, D81 and forty-track images it makes itself. Those
// are checked through its listing, by writing a file into them, and byte for
// byte against its own empty images below.
TEST_F(NewImage, Cc1541AcceptsNewImages) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 not installed";
    const PeerCase cases[] = {
        {"new.d64", kTypeD64, 0, "-V", 664},    {"speed.d64", kTypeD64, 2, "-4", 749},
        {"dolphin.d64", kTypeD64, 3, "-5", 749}, {"new.d71", kTypeD71, 0, "", 1328},
        {"new.d81", kTypeD81, 0, "", 3160},
    };
    ts::TempDir dir;
    ts::writeFile(dir / "data.prg", ts::randomBytes(3000, 7));  // 12 blocks
    for (const PeerCase& c : cases) {
        SCOPED_TRACE(c.name);
        NewImageSettings.fortyTracks = c.fortyTrackType != 0;
        NewImageSettings.fortyTrackType = c.fortyTrackType;
        auto info = wt::newImage(c.type);
        const std::string image = saveImage(dir, *info, c.name);
        const std::string option = c.cc1541Option;
        std::string out;
        ASSERT_EQ(ts::run("cc1541 " + option + " " + ts::shellQuote(image), &out), 0) << out;
        EXPECT_NE(out.find("\n" + std::to_string(c.freeBlocks) + " blocks free"), std::string::npos) << out;
        ASSERT_EQ(ts::run("cc1541 " + option + " -f DATA -w " + ts::shellQuote(dir / "data.prg") + " " +
                              ts::shellQuote(image),
                          &out),
                  0)
            << out;
        EXPECT_NE(out.find("\n" + std::to_string(c.freeBlocks - 12) + " blocks free"), std::string::npos) << out;
        if (option == "-V") {
            EXPECT_NE(out.find("CBM DOS validation passed"), std::string::npos) << out;
        }
    }
}

// Our empty images against cc1541's: the same bytes except the header's text
// fields (cc1541 shifts the title's letters and leaves the DOS version fill),
// the D81 BAM blocks' byte 6, and the D71 second side's free counts, which
// this cc1541 writes at the same offsets of 53/0 instead of 18/0, and the
// bitmap of track 53, which the 1571 keeps wholly for itself while cc1541
// frees all of it but 53/0.
TEST_F(NewImage, BamMatchesCc1541EmptyImages) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 not installed";
    struct Case {
        const char* name;
        int type;
        int fortyTrackType;
        const char* option;
    };
    const Case cases[] = {{"e.d64", kTypeD64, 0, ""},
                          {"e4.d64", kTypeD64, 2, "-4"},
                          {"e5.d64", kTypeD64, 3, "-5"},
                          {"e.d71", kTypeD71, 0, ""},
                          {"e.d81", kTypeD81, 0, ""}};
    ts::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NewImageSettings.fortyTracks = c.fortyTrackType != 0;
        NewImageSettings.fortyTrackType = c.fortyTrackType;
        auto info = wt::newImage(c.type);
        const std::string path = dir / c.name;
        std::string out;
        ASSERT_EQ(ts::run("cc1541 " + std::string(c.option) + " -n X -i 00 " + ts::shellQuote(path), &out), 0) << out;
        const ts::Bytes theirs = ts::readFile(path);
        const ts::Bytes ours = wt::bytesOf(*info);
        ASSERT_EQ(theirs.size(), ours.size());
        const std::size_t header = wt::blockOf(*info, info->headerTrack, info->headerSector) - info->imageData.get();
        const std::size_t titleAt = c.type == kTypeD81 ? 4 : 144;
        int differences = 0;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            if (ours[i] == theirs[i]) continue;
            const std::size_t inHeader = i - header;
            if (i >= header && inHeader >= titleAt && inHeader < titleAt + 27) continue;
            if (c.type == kTypeD71) {
                const std::size_t bam2 = wt::blockOf(*info, 53, 0) - info->imageData.get();
                const std::size_t block = i - i % 256;
                if ((block == header || block == bam2) && i % 256 >= 221) continue;
                if (block == bam2 && i % 256 >= 51 && i % 256 <= 53) continue;
            }
            if (c.type == kTypeD81 && (i == header + 256 + 6 || i == header + 512 + 6)) continue;
            if (++differences < 10) ADD_FAILURE() << "byte " << i << ": ours " << int(ours[i]) << ", cc1541 " << int(theirs[i]);
        }
        EXPECT_EQ(differences, 0);
    }
}

TEST_F(NewImage, CbmconvertReadsAndWritesNewImages) {
    if (!ts::haveTool("cbmconvert") || !ts::haveTool("cc1541")) GTEST_SKIP() << "peer tools not installed";
    ts::TempDir dir;
    const ts::Bytes data = ts::randomBytes(2000, 3);  // 8 blocks
    ts::run("mkdir -p " + ts::shellQuote(dir / "in"));
    ts::writeFile(dir / "in/DATA.prg", data);
    const struct {
        const char* name;
        int type;
        const char* writeOption;
        int freeBlocks;
    } cases[] = {{"c.d64", kTypeD64, "-D4", 664}, {"c.d71", kTypeD71, "-D7", 1328}, {"c.d81", kTypeD81, "-D8", 3160}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto info = wt::newImage(c.type);
        const std::string image = saveImage(dir, *info, c.name);
        const std::string empty = dir / (std::string(c.name) + ".empty");
        const std::string full = dir / (std::string(c.name) + ".full");
        std::string out;
        ts::run("mkdir -p " + ts::shellQuote(empty) + " " + ts::shellQuote(full));
        // The empty image reads without complaint and without files.
        EXPECT_EQ(ts::run("cd " + ts::shellQuote(empty) + " && cbmconvert -d " + ts::shellQuote(image), &out), 0) << out;
        EXPECT_TRUE(ts::listDir(empty).empty()) << out;
        // cbmconvert allocates by our BAM; cc1541 then counts what is left.
        ASSERT_EQ(ts::run("cbmconvert " + std::string(c.writeOption) + " " + ts::shellQuote(image) + " " +
                              ts::shellQuote(dir / "in/DATA.prg"),
                          &out),
                  0)
            << out;
        ASSERT_EQ(ts::run("cc1541 " + ts::shellQuote(image), &out), 0) << out;
        EXPECT_NE(out.find("\n" + std::to_string(c.freeBlocks - 8) + " blocks free"), std::string::npos) << out;
        ASSERT_EQ(ts::run("cd " + ts::shellQuote(full) + " && cbmconvert -d " + ts::shellQuote(image), &out), 0) << out;
        EXPECT_EQ(ts::readFile(full + "/DATA.prg"), data) << out;
    }
}

// New CMD images are formatted as VICE formats them: a DNP of 255 tracks,
// a D1M/D2M/D4M with the device block and one native partition over whole
// tracks of its data area. Each reads back with the file packed into it,
// validates clean, and counts blocks free as c1541 does.
TEST_F(NewImage, CmdImagesAsViceFormatsThem) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    ts::writeFile(dir / "f.prg", ts::randomBytes(300, 1));
    const struct {
        const char* name;
        std::size_t size, partition, system;  // partition: its offset in the file; system: the FD system block
        int tracks;
        std::uint8_t end[3];  // the device block's 39/71/A9
        const char* listed;
        int freeBlocks;        // as c1541 counts a blank one
    } cases[] = {{"n.dnp", 16711680, 0, 0, 255, {}, "f.prg", 65216},
                 {"n.d1m", 829440, 0, 3200, 12, {0, 6, 0x40}, "partition 1/f.prg", 3008},
                 {"n.d2m", 1658880, 0, 6400, 25, {0, 0x0C, 0x80}, "partition 1/f.prg", 6336},
                 {"n.d4m", 3317760, 0, 12800, 50, {0, 0x19, 0}, "partition 1/f.prg", 12736}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = dir / c.name;
        std::string img = image, src = dir.path + "/";
        char list[] = "f.prg\0";
        ASSERT_EQ(PackFiles(img.data(), nullptr, src.data(), list, 0), 0);
        const ts::Bytes b = ts::readFile(image);
        ASSERT_EQ(b.size(), c.size);
        const std::uint8_t* p = b.data() + c.partition;
        EXPECT_EQ(range(p + 256, 0, 2), (ts::Bytes {1, 34, 'H'}));
        EXPECT_EQ(range(p + 256, 0x19, 0x1A), (ts::Bytes {'1', 'H'}));
        EXPECT_EQ(range(p + 512, 2, 8), (ts::Bytes {'H', 0xB7, p[256 + 0x16], p[256 + 0x17], 0xC0, 0, std::uint8_t(c.tracks)}));
        // Track 1: sectors 0-34 used (bit 7 the lowest sector), the file's block too.
        EXPECT_EQ(range(p + 512, 32, 36), (ts::Bytes {0, 0, 0, 0, 0x1F}));
        EXPECT_TRUE(c.tracks == 255 || p[512 + 32 * (c.tracks + 1)] == 0);  // past the last track: none free
        if (c.system) {
            const std::uint8_t* device = b.data() + (c.system + 5) * 256;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(device + 0xF0), 16), "CMD FD SERIES   ");
            EXPECT_EQ((ts::Bytes {device[0x39], device[0x71], device[0xA9]}), ts::Bytes(c.end, c.end + 3));
            const std::uint8_t* entry = b.data() + (c.system + 8) * 256 + 32;
            EXPECT_EQ(entry[2], 1);  // native
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry + 5), 11), "PARTITION 1");
            EXPECT_EQ(entry[0x1E] << 8 | entry[0x1F], c.tracks * 128);  // in 512-byte units
        }
        const ts::Listing l = ts::list(image);
        ASSERT_FALSE(l.files.empty());
        EXPECT_EQ(l.files.back().name, c.listed);
        std::string out;
        EXPECT_EQ(ts::run(ts::host(dir) + "validate --strict " + ts::shellQuote(image), &out), 0) << out;
        EXPECT_EQ(ts::run(ts::host(dir) + "dir " + ts::shellQuote(image), &out), 0) << out;
        EXPECT_NE(out.find("\n" + std::to_string(c.freeBlocks - 2) + " BLOCKS FREE."), std::string::npos) << out;
    }
    // One block more than is free: refused by the room check, which leaves
    // out the sectors the DOS keeps on track 1, before anything is begun.
    ts::writeFile(dir / "big.prg", ts::randomBytes(3007 * 254, 2));
    std::string img = dir / "n.d1m", src = dir.path + "/";
    char list[] = "big.prg\0";
    ts::LogCapture log;
    EXPECT_EQ(PackFiles(img.data(), nullptr, src.data(), list, 0), 11);
    EXPECT_TRUE(log.contains("not enough data+dir sectors available (3006 < 3007)")) << log.text();
}

}  // namespace
