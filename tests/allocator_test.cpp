// Block allocation: the order of a file's blocks with both strategies, the
// jumps across the directory track, the directory-track fallback, and
// searches that must end on full or inconsistent maps.
#include <gtest/gtest.h>

#include <set>

#include "tests/writer_support.h"

namespace {

using wt::Block;

class Allocator : public ::testing::Test {
protected:
    void SetUp() override {
        wt::resetSettings();
        logMask = 3;
    }
    void TearDown() override { wt::resetSettings(); }
};

std::vector<Block> blocksOf(std::initializer_list<Block> list) { return std::vector<Block>(list); }

std::uint8_t copyBlock(ImageInfo& info, bool fromTrack1, Block previous, Block* out) {
    const auto limit = static_cast<std::uint8_t>(info.trackCount + 1);
    std::uint8_t t = 99, s = 99;
    const auto choose = fromTrack1 ? GetCopyBlockT1 : GetCopyBlock;
    const std::uint8_t r = choose(info, 1, limit, limit, info.dirTrack, info.bamTrack2, getInterleave(info, kPurposeFiles),
                                  static_cast<std::uint8_t>(previous.first), static_cast<std::uint8_t>(previous.second),
                                  &t, &s);
    *out = {t, s};
    return r;
}

TEST_F(Allocator, EmptyD64FileOrder) {
    auto info = wt::newImage(kTypeD64);
    EXPECT_EQ(wt::describe(wt::allocate(*info, 24)),
              wt::describe(blocksOf({{17, 0},  {17, 10}, {17, 20}, {17, 8},  {17, 18}, {17, 6},  {17, 16}, {17, 4},
                                     {17, 14}, {17, 2},  {17, 12}, {17, 1},  {17, 11}, {17, 3},  {17, 13}, {17, 5},
                                     {17, 15}, {17, 7},  {17, 17}, {17, 9},  {17, 19}, {16, 7},  {16, 17}, {16, 5}})));

    auto t1 = wt::newImage(kTypeD64);
    EXPECT_EQ(wt::describe(wt::allocate(*t1, 22, true)),
              wt::describe(blocksOf({{1, 10}, {1, 20}, {1, 8},  {1, 18}, {1, 6},  {1, 16}, {1, 4},  {1, 14},
                                     {1, 2},  {1, 12}, {1, 0},  {1, 11}, {1, 1},  {1, 13}, {1, 3},  {1, 15},
                                     {1, 5},  {1, 17}, {1, 7},  {1, 19}, {1, 9},  {2, 19}})));
    // Every new file starts again at track 1.
    EXPECT_EQ(wt::describe(wt::allocate(*t1, 1, true)), "2/10 ");
}

TEST_F(Allocator, JumpsAcrossTheDirectoryTrack) {
    auto info = wt::newImage(kTypeD64);
    for (int t = 1; t <= 17; ++t) wt::fillTrack(*info, t);
    Block b;
    ASSERT_EQ(copyBlock(*info, false, {0, 0}, &b), 1);
    EXPECT_EQ(b, Block(19, 0));
    ASSERT_EQ(copyBlock(*info, false, {16, 5}, &b), 1);
    EXPECT_EQ(b, Block(19, 10));

    // Upward to the last track, then round to the tracks below.
    auto up = wt::newImage(kTypeD64);
    for (int t = 19; t <= 35; ++t) wt::fillTrack(*up, t);
    ASSERT_EQ(copyBlock(*up, false, {34, 4}, &b), 1);
    EXPECT_EQ(b, Block(17, 10));

    // D71: track 53 is passed over on the way up.
    auto d71 = wt::newImage(kTypeD71);
    wt::fillTrack(*d71, 52);
    ASSERT_EQ(copyBlock(*d71, false, {52, 3}, &b), 1);
    EXPECT_EQ(b, Block(54, 13));
    ASSERT_EQ(copyBlock(*d71, true, {52, 3}, &b), 1);
    EXPECT_EQ(b, Block(54, 13));
    // ... and is never chosen for a first block, though it is nearer.
    for (int t = 1; t <= 52; ++t)
        if (t != 18) wt::fillTrack(*d71, t);
    ASSERT_EQ(copyBlock(*d71, false, {0, 0}, &b), 1);
    EXPECT_EQ(b, Block(54, 0));
}

TEST_F(Allocator, OtherFormatsStartNextToTheDirectory) {
    auto d81 = wt::newImage(kTypeD81);
    EXPECT_EQ(wt::describe(wt::allocate(*d81, 4)), "39/0 39/1 39/2 39/3 ");
    auto d80 = wt::newImage(kTypeD80);
    EXPECT_EQ(wt::describe(wt::allocate(*d80, 4)), "38/1 38/2 38/4 38/5 ");
    auto d82 = wt::newImage(kTypeD82);
    EXPECT_EQ(wt::describe(wt::allocate(*d82, 3)), "38/1 38/2 38/4 ");
    EXPECT_EQ(getInterleave(*d82, kPurposeFiles), 1);
    EXPECT_EQ(getInterleave(*d82, kPurposeDirectory), 1);
    EXPECT_EQ(getInterleave(*d81, kPurposeDirectory), 1);
    auto d64 = wt::newImage(kTypeD64);
    EXPECT_EQ(getInterleave(*d64, kPurposeDirectory), 3);
    EXPECT_EQ(getInterleave(*d64, kPurposeFiles), 10);

    ts::LogCapture log;
    d64->imageType = 6;
    EXPECT_EQ(getInterleave(*d64, kPurposeFiles), 1);
    EXPECT_TRUE(log.contains("OMBRIX: getInterleave: warning - returning 1 for unknown type <6>"));
}

TEST_F(Allocator, DirectoryTrackFallback) {
    auto info = wt::newImage(kTypeD64);
    for (int t = 1; t <= 35; ++t)
        if (t != 18) wt::fillTrack(*info, t);
    Block b;
    for (bool t1 : {false, true}) {
        EXPECT_EQ(copyBlock(*info, t1, {0, 0}, &b), 0);
        EXPECT_EQ(copyBlock(*info, t1, {35, 4}, &b), 0);
    }
    dirTrackFallback = 1;
    ASSERT_EQ(copyBlock(*info, false, {0, 0}, &b), 1);
    EXPECT_EQ(b, Block(18, 2));
    ASSERT_EQ(copyBlock(*info, true, {0, 0}, &b), 1);
    EXPECT_EQ(b, Block(18, 10));
    ASSERT_EQ(copyBlock(*info, false, {35, 4}, &b), 1);
    EXPECT_EQ(b, Block(18, 10));
    ASSERT_EQ(copyBlock(*info, true, {35, 4}, &b), 1);
    EXPECT_EQ(b, Block(18, 14));

    wt::fillTrack(*info, 18);
    for (bool t1 : {false, true}) {
        EXPECT_EQ(copyBlock(*info, t1, {0, 0}, &b), 0);
        EXPECT_EQ(copyBlock(*info, t1, {35, 4}, &b), 0);
        EXPECT_EQ(copyBlock(*info, t1, {18, 4}, &b), 0);
    }
}

TEST_F(Allocator, FillingAnImageUsesEveryDataBlockOnce) {
    for (int type : {kTypeD64, kTypeD71, kTypeD80, kTypeD82, kTypeD81}) {
        for (bool t1 : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << type << (t1 ? " from track 1" : ""));
            auto info = wt::newImage(type);
            const std::int32_t free = getFreeDataBlocksOnDisk(*info);
            const std::vector<Block> blocks = wt::allocate(*info, 5000, t1);
            EXPECT_EQ(static_cast<std::int32_t>(blocks.size()), free);
            EXPECT_EQ(std::set<Block>(blocks.begin(), blocks.end()).size(), blocks.size());
            EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 0);
            for (const Block& b : blocks) ASSERT_NE(b.first, info->dirTrack);
            // The fallback then hands out the directory track's blocks.
            dirTrackFallback = 1;
            const std::int32_t dirFree = getFreeDirBlocksOnDisk(*info);
            const std::vector<Block> more = wt::allocate(*info, 100, t1, blocks.back());
            EXPECT_EQ(static_cast<std::int32_t>(more.size()), dirFree);
            for (const Block& b : more) ASSERT_EQ(b.first, info->dirTrack);
            dirTrackFallback = 0;
        }
    }
}

TEST_F(Allocator, InconsistentTracksEndTheSearch) {
    // Counts that say free over bitmaps with no free sector.
    auto info = wt::newImage(kTypeD64);
    for (int t = 1; t <= 35; ++t) wt::fillTrack(*info, t);
    std::uint8_t* h = wt::blockOf(*info, 18, 0);
    for (int t = 1; t <= 35; ++t) h[4 * t] = 5;
    dirTrackFallback = 1;
    Block b;
    for (bool t1 : {false, true}) {
        EXPECT_EQ(copyBlock(*info, t1, {0, 0}, &b), 0);
        EXPECT_EQ(copyBlock(*info, t1, {17, 3}, &b), 0);
        EXPECT_EQ(copyBlock(*info, t1, {18, 3}, &b), 0);
        EXPECT_EQ(copyBlock(*info, t1, {20, 3}, &b), 0);
    }

    // One such track is passed over like a full one.
    auto one = wt::newImage(kTypeD64);
    wt::fillTrack(*one, 17);
    wt::blockOf(*one, 18, 0)[4 * 17] = 3;
    ASSERT_EQ(copyBlock(*one, false, {0, 0}, &b), 1);
    EXPECT_EQ(b, Block(19, 0));
    ASSERT_EQ(copyBlock(*one, false, {17, 5}, &b), 1);
    EXPECT_EQ(b, Block(16, 15));
    wt::fillTrack(*one, 1);
    wt::blockOf(*one, 18, 0)[4 * 1] = 3;
    ASSERT_EQ(copyBlock(*one, true, {0, 0}, &b), 1);
    EXPECT_EQ(b, Block(2, 10));
}

TEST_F(Allocator, OddArgumentsEnd) {
    auto info = wt::newImage(kTypeD64);
    std::uint8_t t = 0, s = 0;
    // Bounds that leave nothing to search.
    EXPECT_EQ(GetCopyBlock(*info, 0, 0, 0, 18, 255, 10, 0, 0, &t, &s), 0);
    EXPECT_EQ(GetCopyBlock(*info, 1, 36, 36, 18, 255, 10, 36, 0, &t, &s), 0);
    EXPECT_EQ(GetCopyBlockT1(*info, 1, 36, 20, 18, 255, 10, 25, 0, &t, &s), 0);
    // Previous blocks outside the disk: the search walks off the end, turns
    // round and finds the disk's tracks.
    ASSERT_EQ(GetCopyBlock(*info, 0, 255, 255, 18, 255, 10, 200, 0, &t, &s), 1);
    EXPECT_EQ(Block(t, s), Block(17, 10));
    ASSERT_EQ(GetCopyBlock(*info, 0, 255, 255, 0, 255, 255, 1, 250, &t, &s), 1);
    EXPECT_EQ(t, 1);
    ASSERT_EQ(GetCopyBlockT1(*info, 0, 255, 255, 255, 255, 200, 5, 255, &t, &s), 1);
    EXPECT_EQ(t, 5);
    EXPECT_EQ(getInterleave(*info, 7), 1);
    EXPECT_EQ(getInterleave(*info, -1), 1);

    // On a full disk every search ends, whatever it is given.
    for (int track = 1; track <= 35; ++track) wt::fillTrack(*info, track);
    dirTrackFallback = 1;
    const std::uint8_t values[] = {0, 1, 17, 18, 19, 35, 36, 100, 254, 255};
    int calls = 0;
    for (std::uint8_t lowest : values)
        for (std::uint8_t limit : values)
            for (std::uint8_t dir : values)
                for (std::uint8_t prev : values) {
                    EXPECT_EQ(GetCopyBlock(*info, lowest, limit, limit, dir, 53, 10, prev, 3, &t, &s), 0);
                    EXPECT_EQ(GetCopyBlockT1(*info, lowest, limit, limit, dir, 53, 10, prev, 3, &t, &s), 0);
                    calls += 2;
                }
    EXPECT_EQ(calls, 20000);
}

}  // namespace
