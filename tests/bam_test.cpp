// The block availability map: the tests, marking blocks, the free sums and
// their failure lines, per format.
#include <gtest/gtest.h>

#include <bit>

#include "tests/writer_support.h"

namespace {

using wt::blockOf;

class Bam : public ::testing::Test {
protected:
    void SetUp() override { wt::resetSettings(); }
    void TearDown() override { wt::resetSettings(); }
};

// Count and set bits of an entry must stay equal.
int setBits(const std::uint8_t* bitmap, int bytes) {
    int n = 0;
    for (int i = 0; i < bytes; ++i) n += std::popcount(static_cast<unsigned>(bitmap[i]));
    return n;
}

TEST_F(Bam, MarkingChangesExactlyOneBitAndTheCount) {
    struct Case {
        int type;
        int track, sector;
        int countTrack, countSector, countAt;
        int bitmapTrack, bitmapSector, bitmapAt, bitmapBytes;
    };
    const Case cases[] = {
        {kTypeD64, 17, 9, 18, 0, 68, 18, 0, 69, 3},
        {kTypeD71, 40, 12, 18, 0, 225, 53, 0, 12, 3},   // count in 18/0, bit in 53/0
        {kTypeD80, 60, 24, 38, 3, 51, 38, 3, 52, 4},
        {kTypeD82, 154, 22, 38, 9, 21, 38, 9, 22, 4},
        {kTypeD81, 41, 39, 40, 2, 16, 40, 2, 17, 5},
        {kTypeD81, 40, 5, 40, 1, 250, 40, 1, 251, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " " << c.track << "/" << c.sector);
        auto info = wt::newImage(c.type);
        const ts::Bytes before = wt::bytesOf(*info);
        const std::uint8_t* count = blockOf(*info, c.countTrack, c.countSector) + c.countAt;
        const std::uint8_t* bitmap = blockOf(*info, c.bitmapTrack, c.bitmapSector) + c.bitmapAt;
        const int free = *count;
        ASSERT_EQ(setBits(bitmap, c.bitmapBytes), free);
        ASSERT_EQ(IsSectorFree(*info, c.track, c.sector), 1);

        markSectorUsed(*info, c.track, c.sector);
        EXPECT_EQ(*count, free - 1);
        EXPECT_EQ(IsSectorFree(*info, c.track, c.sector), 0);
        EXPECT_EQ((bitmap[c.sector / 8] >> (c.sector % 8)) & 1, 0);
        EXPECT_EQ(setBits(bitmap, c.bitmapBytes), free - 1);
        const ts::Bytes after = wt::bytesOf(*info);
        int changed = 0;
        for (std::size_t i = 0; i < after.size(); ++i) changed += after[i] != before[i];
        EXPECT_EQ(changed, 2);

        // The same request again changes nothing.
        markSectorUsed(*info, c.track, c.sector);
        EXPECT_EQ(wt::bytesOf(*info), after);

        markSectorFree(*info, c.track, c.sector);
        EXPECT_EQ(wt::bytesOf(*info), before);
        markSectorFree(*info, c.track, c.sector);
        EXPECT_EQ(wt::bytesOf(*info), before);
    }
}

TEST_F(Bam, TestsOnTracksWithoutEntries) {
    ts::LogCapture log;
    auto d64 = wt::newImage(kTypeD64);
    EXPECT_EQ(IsTrackFree(*d64, 36), 0);
    EXPECT_TRUE(log.contains("OMBRIX: IsTrackFree: unknown 40 track type 0\n"));
    EXPECT_EQ(IsSectorFree(*d64, 36, 0), 0);
    EXPECT_TRUE(log.contains("OMBRIX: IsSectorFree: unknown 40 track type 0\n"));
    EXPECT_EQ(IsTrackFree(*d64, 0), 0);
    EXPECT_EQ(IsTrackFree(*d64, 41), 0);
    EXPECT_EQ(IsSectorFree(*d64, 200, 3), 0);

    // Sectors beyond the bitmap's width are never free, whatever the bytes hold.
    std::uint8_t* h = blockOf(*d64, 18, 0);
    h[4 * 19 + 4] = 0xFF;  // the byte after track 19's bitmap (track 20's count)
    for (int s = 24; s < 64; ++s) EXPECT_EQ(IsSectorFree(*d64, 19, static_cast<std::uint8_t>(s)), 0) << s;
    for (int s = 200; s < 256; ++s) EXPECT_EQ(IsSectorFree(*d64, 19, static_cast<std::uint8_t>(s)), 0) << s;

    // The count comes first: bits of a track counted full are not believed.
    h[4 * 5] = 0;
    EXPECT_EQ(IsTrackFree(*d64, 5), 0);
    EXPECT_EQ(IsSectorFree(*d64, 5, 0), 0);

    // The D71 second side believes its bitmap alone; track 53 is reserved.
    auto d71 = wt::newImage(kTypeD71);
    EXPECT_EQ(IsTrackFree(*d71, 53), 0);
    EXPECT_EQ(IsSectorFree(*d71, 53, 5), 0);
    blockOf(*d71, 18, 0)[185 + 40] = 0;
    EXPECT_EQ(IsTrackFree(*d71, 40), 0);
    EXPECT_EQ(IsSectorFree(*d71, 40, 0), 1);

    auto unknown = wt::newImage(kTypeD64);
    unknown->imageType = 9;
    EXPECT_EQ(IsTrackFree(*unknown, 1), 0);
    EXPECT_EQ(IsSectorFree(*unknown, 1, 0), 0);
    markSectorUsed(*unknown, 1, 0);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*unknown), 0);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*unknown), 0);
    EXPECT_TRUE(log.contains("OMBRIX: IsTrackFree: type not supported 9\n"));
    EXPECT_TRUE(log.contains("OMBRIX: IsSectorFree: type not supported 9\n"));
    EXPECT_TRUE(log.contains("OMBRIX: markSector: format 9 not supported (yet)"));
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDataBlocksOnDisk: format 9 not supported (yet)"));
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirBlocksOnDisk: format 9 not supported (yet)"));
}

TEST_F(Bam, BadBlocksAreNeverMarked) {
    NewImageSettings.includeErrorInfo = 1;
    auto info = wt::newImage(kTypeD64);
    ts::RawImage geometry = ts::makeRawImage(kTypeD64);
    std::uint8_t* errors = info->imageData.get() + 174848;
    errors[ts::blockIndex(geometry, 17, 3)] = 5;
    ts::LogCapture log;
    const ts::Bytes before = wt::bytesOf(*info);
    markSectorUsed(*info, 17, 3);
    EXPECT_EQ(wt::bytesOf(*info), before);
    EXPECT_TRUE(log.contains("OMBRIX: markSector: bad GetDiskSectorAddr call data (17:3)\n"));
    // With the error table ignored the block is an ordinary one.
    ignoreErrorTable = 1;
    markSectorUsed(*info, 17, 3);
    EXPECT_EQ(IsSectorFree(*info, 17, 3), 0);
}

TEST_F(Bam, UnreadableBamBlocks) {
    NewImageSettings.includeErrorInfo = 1;
    struct Case {
        int type;
        int badTrack, badSector;
        int testTrack;  // a track whose entry lies in the bad block
        const char* markLine;
    };
    const Case cases[] = {
        {kTypeD64, 18, 0, 5, "OMBRIX: markSector: bad GetDiskSectorAddr call BAM (18:0)\n"},
        {kTypeD71, 53, 0, 40, "OMBRIX: markSector: bad GetDiskSectorAddr call BAM (53:0)\n"},
        {kTypeD80, 38, 3, 60, "OMBRIX: markSector: bad GetDiskSectorAddr call (38:3)\n"},
        {kTypeD81, 40, 2, 50, "OMBRIX: markSector: bad GetDiskSectorAddr call BAM (40:2)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        auto info = wt::newImage(c.type);
        const FormatLayout* layout = formatLayout(c.type);
        ts::RawImage geometry = ts::makeRawImage(c.type);
        info->imageData.get()[layout->size + ts::blockIndex(geometry, c.badTrack, c.badSector)] = 7;
        ts::LogCapture log;
        const std::string where = "(" + std::to_string(c.badTrack) + ":" + std::to_string(c.badSector) + ")\n";
        const ts::Bytes before = wt::bytesOf(*info);
        markSectorUsed(*info, static_cast<std::uint8_t>(c.testTrack), 1);
        EXPECT_EQ(wt::bytesOf(*info), before);
        EXPECT_TRUE(log.contains(c.markLine)) << log.text();
        EXPECT_EQ(IsSectorFree(*info, static_cast<std::uint8_t>(c.testTrack), 1), 0);
        EXPECT_TRUE(log.contains("OMBRIX: IsSectorFree: bad GetDiskSectorAddr call " + where)) << log.text();
        if (c.type != kTypeD71) {
            EXPECT_EQ(IsTrackFree(*info, static_cast<std::uint8_t>(c.testTrack)), 0);
            EXPECT_TRUE(log.contains("OMBRIX: IsTrackFree: bad GetDiskSectorAddr call " + where)) << log.text();
            EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 0);
            EXPECT_TRUE(log.contains("OMBRIX: getFreeDataBlocksOnDisk: bad GetDiskSectorAddr call " + where));
        } else {
            // The second side's counts are in 18/0, which still reads.
            EXPECT_EQ(IsTrackFree(*info, 40), 1);
            EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 1328);
        }
    }
    auto d64 = wt::newImage(kTypeD64);
    d64->imageData.get()[174848 + 357] = 2;
    ts::LogCapture log;
    EXPECT_EQ(getFreeDirBlocksOnDisk(*d64), 0);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirBlocksOnDisk: bad GetDiskSectorAddr call (18:0)\n"));
}

TEST_F(Bam, FreeSumsFollowTheBam) {
    auto d80 = wt::newImage(kTypeD80);
    // The directory track does not count; the BAM track does.
    markSectorUsed(*d80, 39, 5);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d80), 2052);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*d80), 26);
    markSectorUsed(*d80, 38, 5);
    markSectorUsed(*d80, 77, 0);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d80), 2050);

    // A D80 BAM block that claims more tracks than fit in it is read no
    // further than its own 256 bytes.
    std::uint8_t* b1 = blockOf(*d80, 38, 3);
    b1[4] = 1;
    b1[5] = 255;
    const std::int32_t sum = getFreeDataBlocksOnDisk(*d80);
    EXPECT_GT(sum, 0);
    EXPECT_LE(sum, 1300 + 50 * 255);

    auto d81 = wt::newImage(kTypeD81);
    markSectorUsed(*d81, 1, 0);
    markSectorUsed(*d81, 80, 39);
    markSectorUsed(*d81, 40, 10);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d81), 3158);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*d81), 35);

    auto d71 = wt::newImage(kTypeD71);
    markSectorUsed(*d71, 36, 0);
    markSectorUsed(*d71, 70, 16);
    markSectorUsed(*d71, 18, 5);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d71), 1326);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*d71), 16);
    // A D71 block of track 53 cannot be released into the free space.
    markSectorFree(*d71, 53, 4);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*d71), 1326);
}

TEST_F(Bam, InconsistentCountsDoNotWrap) {
    auto info = wt::newImage(kTypeD64);
    std::uint8_t* h = blockOf(*info, 18, 0);
    h[4 * 3] = 0;  // track 3 counted full, bitmap all free
    markSectorUsed(*info, 3, 0);
    EXPECT_EQ(h[4 * 3], 0);
    h[4 * 4] = 255;
    markSectorUsed(*info, 4, 0);
    markSectorFree(*info, 4, 0);
    EXPECT_EQ(h[4 * 4], 255);
}

}  // namespace
