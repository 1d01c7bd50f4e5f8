// Directory entries for new files: free counts, the growth order of the
// directory chain per format, and chains that cannot be walked.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/writer_support.h"

namespace {

using wt::Block;
using wt::blockOf;

class Directory : public ::testing::Test {
protected:
    void SetUp() override {
        wt::resetSettings();
        logMask = 3;
    }
    void TearDown() override { wt::resetSettings(); }
};

// Claims an entry as PackFiles does: bytes 2-31 filled, 0-1 left alone.
std::uint8_t* claim(ImageInfo& info, const char* name) {
    std::uint8_t* e = getFreeDirEntry(info);
    if (!e) return nullptr;
    e[2] = 0x82;
    std::memset(e + 5, 0xA0, 16);
    std::memcpy(e + 5, name, std::strlen(name));
    return e;
}

// The chain from the first directory block.
std::vector<Block> chain(const ImageInfo& info) {
    std::vector<Block> blocks;
    int t = info.dirTrack, s = info.dirSector;
    while (t != 0 && blocks.size() < 100) {
        blocks.emplace_back(t, s);
        const std::uint8_t* b = blockOf(info, t, s);
        t = b[0];
        s = b[1];
    }
    return blocks;
}

TEST_F(Directory, NinthFileGrowsTheD64Directory) {
    auto info = wt::newImage(kTypeD64);
    EXPECT_EQ(getFreeDirEntryCount(*info), 8);
    std::uint8_t* const first = blockOf(*info, 18, 1);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(claim(*info, "F"), first + 32 * i);
    EXPECT_EQ(getFreeDirEntryCount(*info), 0);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*info), 17);
    ts::LogCapture log;
    logMask = 4;
    std::uint8_t* ninth = claim(*info, "NINTH");
    ASSERT_EQ(ninth, blockOf(*info, 18, 4));
    EXPECT_EQ(first[0], 18);
    EXPECT_EQ(first[1], 4);
    EXPECT_EQ(ninth[0], 0);
    EXPECT_EQ(ninth[1], 255);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*info), 16);
    EXPECT_EQ(IsSectorFree(*info, 18, 4), 0);
    EXPECT_EQ(getFreeDirEntryCount(*info), 7);
    EXPECT_EQ(log.text(),
              "OMBRIX: getFreeDirEntry: 17 dir blocks available\n"
              "OMBRIX: getFreeDirEntry: searching 18:1 ...\n"
              "OMBRIX: GetCopyBlock: returning ret=1, track=18, sector=4\n"
              "OMBRIX: getFreeDirEntry: new entry at 18:4\n"
              "OMBRIX: getFreeDirEntry: searching 18:4 ...\n"
              "OMBRIX: getFreeDirEntry: found free entry at 18:4 index 0\n"
              "OMBRIX: getFreeDirEntryCount: searching 18:1 ...\n"
              "OMBRIX: getFreeDirEntryCount: searching 18:4 ...\n");
}

TEST_F(Directory, GrowthOrderAndLimitPerFormat) {
    struct Case {
        int type;
        std::vector<Block> order;
    };
    std::vector<Case> cases = {
        {kTypeD64, {{18, 1}, {18, 4}, {18, 7}, {18, 10}, {18, 13}, {18, 16}, {18, 2}, {18, 5}, {18, 8}, {18, 11},
                    {18, 14}, {18, 17}, {18, 3}, {18, 6}, {18, 9}, {18, 12}, {18, 15}, {18, 18}}},
        {kTypeD71, {}},
        {kTypeD80, {}},
        {kTypeD82, {}},
        {kTypeD81, {}},
    };
    cases[1].order = cases[0].order;
    for (int s = 1; s <= 28; ++s) cases[2].order.emplace_back(39, s);
    cases[3].order = cases[2].order;
    for (int s = 3; s <= 39; ++s) cases[4].order.emplace_back(40, s);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        auto info = wt::newImage(c.type);
        const int entries = static_cast<int>(c.order.size()) * 8;
        for (int i = 0; i < entries; ++i) ASSERT_NE(claim(*info, "X"), nullptr) << i;
        EXPECT_EQ(wt::describe(chain(*info)), wt::describe(c.order));
        EXPECT_EQ(getFreeDirBlocksOnDisk(*info), 0);
        EXPECT_EQ(getFreeDirEntryCount(*info), 0);
        ts::LogCapture log;
        EXPECT_EQ(getFreeDirEntry(*info), nullptr);
        EXPECT_EQ(log.text(), "");  // a full directory is no error of its own
        // Scratching an entry frees it for the next file.
        blockOf(*info, c.order[5].first, c.order[5].second)[32 * 3 + 2] = 0;
        EXPECT_EQ(getFreeDirEntryCount(*info), 1);
        EXPECT_EQ(getFreeDirEntry(*info), blockOf(*info, c.order[5].first, c.order[5].second) + 32 * 3);
    }
}

TEST_F(Directory, ScratchedEntriesAreReusedFirst) {
    auto info = wt::newImage(kTypeD64);
    for (int i = 0; i < 5; ++i) claim(*info, "F");
    std::uint8_t* second = blockOf(*info, 18, 1) + 32;
    second[2] = 0;  // scratched: name and block count stay
    EXPECT_EQ(getFreeDirEntryCount(*info), 4);
    EXPECT_EQ(getFreeDirEntry(*info), second);
    EXPECT_EQ(second[5], 'F');
}

TEST_F(Directory, ChainsThatCannotBeWalked) {
    ts::LogCapture log;
    // A link to track 0 ends the chain whatever its sector byte says.
    auto info = wt::newImage(kTypeD64);
    for (int i = 0; i < 9; ++i) claim(*info, "F");
    blockOf(*info, 18, 4)[1] = 77;
    EXPECT_EQ(getFreeDirEntryCount(*info), 7);

    // A chain that links back to one of its own blocks.
    for (int i = 0; i < 7; ++i) claim(*info, "G");
    blockOf(*info, 18, 4)[0] = 18;
    blockOf(*info, 18, 4)[1] = 1;
    EXPECT_EQ(getFreeDirEntryCount(*info), -1);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntryCount: directory chain loops back to 18:1\n"));
    const ts::Bytes before = wt::bytesOf(*info);
    EXPECT_EQ(getFreeDirEntry(*info), nullptr);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntry: directory chain loops back to 18:1\n"));
    EXPECT_EQ(wt::bytesOf(*info), before);

    // A block linking to itself.
    blockOf(*info, 18, 4)[1] = 4;
    EXPECT_EQ(getFreeDirEntryCount(*info), -1);
    EXPECT_EQ(getFreeDirEntry(*info), nullptr);

    // A link outside the disk.
    blockOf(*info, 18, 4)[0] = 36;
    EXPECT_EQ(getFreeDirEntryCount(*info), -1);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntryCount: bad GetDiskSectorAddr call (36:4)\n"));
    EXPECT_EQ(getFreeDirEntry(*info), nullptr);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntry: bad GetDiskSectorAddr call (36:4)\n"));

    // A BAM that calls a block of the chain free does not let the chain grow
    // over it.
    auto stale = wt::newImage(kTypeD64);
    for (int i = 0; i < 16; ++i) claim(*stale, "F");
    wt::fillTrack(*stale, 18);
    markSectorFree(*stale, 18, 1);  // the only block the directory could take
    const ts::Bytes staleBefore = wt::bytesOf(*stale);
    EXPECT_EQ(getFreeDirEntry(*stale), nullptr);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntry: directory chain loops back to 18:1\n")) << log.text();
    EXPECT_EQ(wt::bytesOf(*stale), staleBefore);
}

TEST_F(Directory, BadDirectoryBlocks) {
    NewImageSettings.includeErrorInfo = 1;
    auto info = wt::newImage(kTypeD64);
    ts::RawImage geometry = ts::makeRawImage(kTypeD64);
    info->imageData.get()[174848 + ts::blockIndex(geometry, 18, 1)] = 4;
    ts::LogCapture log;
    EXPECT_EQ(getFreeDirEntryCount(*info), -1);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntryCount: bad GetDiskSectorAddr call (18:1)\n"));
    EXPECT_EQ(getFreeDirEntry(*info), nullptr);
    EXPECT_TRUE(log.contains("OMBRIX: getFreeDirEntry: bad GetDiskSectorAddr call (18:1)\n"));
}

}  // namespace
