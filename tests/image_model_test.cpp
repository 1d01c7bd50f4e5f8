// The image model: type from the name, sizes, geometry, sector addressing
// with error bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "core/settings.h"
#include "image/image.h"
#include "tests/test_support.h"

namespace {

ImageInfo sized(std::int32_t type, std::uint32_t size) {
    ImageInfo info;
    info.imageType = type;
    info.imageSize = static_cast<std::int32_t>(size);
    info.imageData.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
    return info;
}

TEST(ImageModel, TypeFromExtension) {
    EXPECT_EQ(getImageTypeFromName("d64"), kTypeD64);
    EXPECT_EQ(getImageTypeFromName("D64"), kTypeD64);
    EXPECT_EQ(getImageTypeFromName("d064"), kTypeD64);
    EXPECT_EQ(getImageTypeFromName("d64x"), kTypeD64);
    EXPECT_EQ(getImageTypeFromName("d71"), kTypeD71);
    EXPECT_EQ(getImageTypeFromName("d80"), kTypeD80);
    EXPECT_EQ(getImageTypeFromName("D82"), kTypeD82);
    EXPECT_EQ(getImageTypeFromName("d81"), kTypeD81);
    EXPECT_EQ(getImageTypeFromName("T64"), kTypeT64);
    EXPECT_EQ(getImageTypeFromName("d65"), kTypePC64);  // a PC64 DEL file, as .p00 ... .r99 are
    EXPECT_EQ(getImageTypeFromName("LNX"), kTypeLynx);
    EXPECT_EQ(getImageTypeFromName("p100"), kTypeNone);
    EXPECT_EQ(getImageTypeFromName("t71"), kTypeNone);
    EXPECT_EQ(getImageTypeFromName(""), kTypeNone);
    EXPECT_EQ(getImageTypeFromName("d+64"), kTypeNone);
    EXPECT_EQ(getImageTypeFromName("d 64"), kTypeNone);
    EXPECT_EQ(imageTypeOfPath("disk.d64.bak"), kTypeNone);
    EXPECT_EQ(imageTypeOfPath("dir.x/disk"), kTypeNone);
}

TEST(ImageModel, SizesDecideTracksAndErrorBytes) {
    struct Case {
        std::int32_t type;
        std::uint32_t size;
        int accepted;
        int tracks;
        int errors;
    };
    const Case cases[] = {
        {kTypeD64, 174847, 0, 35, 0},  {kTypeD64, 174848, 1, 35, 0},  {kTypeD64, 175531, 1, 35, 1},
        {kTypeD64, 175532, 1, 35, 0},  {kTypeD64, 196607, 1, 35, 0},  {kTypeD64, 196608, 1, 40, 0},
        {kTypeD64, 197376, 1, 40, 1},  {kTypeD64, 205311, 1, 40, 0},  {kTypeD64, 205312, 1, 42, 0},
        {kTypeD64, 206114, 1, 42, 1},  {kTypeD64, 300000, 1, 42, 0},  {kTypeD71, 349695, 0, 70, 0},
        {kTypeD71, 351061, 1, 70, 0},  {kTypeD71, 351062, 1, 70, 1},  {kTypeD80, 533248, 1, 77, 0},
        {kTypeD80, 535331, 1, 77, 1},  {kTypeD82, 1066495, 0, 154, 0}, {kTypeD82, 1070662, 1, 154, 1},
        {kTypeD81, 819200, 1, 80, 0},  {kTypeD81, 822400, 1, 80, 1},
    };
    for (const Case& c : cases) {
        ImageInfo info = sized(c.type, c.size);
        EXPECT_EQ(checkImageSize(info), c.accepted) << c.size;
        EXPECT_EQ(info.trackCount, c.tracks) << c.size;
        EXPECT_EQ(info.hasErrorInfo, c.errors) << c.size;
        if (c.errors) {
            const FormatLayout* layout = diskLayout(c.type, c.tracks);
            EXPECT_EQ(info.errorInfo, info.imageData.get() + c.size - layout->blockCount);
        }
    }
}

TEST(ImageModel, GeometryTellingRows) {
    EXPECT_EQ(formatLayout(kTypeD64)->geometry[17].offset, 91392u);
    EXPECT_EQ(formatLayout(kTypeD64, true)->geometry[35].offset, 174848u);
    EXPECT_EQ(diskLayout(kTypeD64, 42)->geometry[41].offset, 200960u);
    EXPECT_EQ(diskLayout(kTypeD64, 42)->blockCount, 802);
    EXPECT_EQ(diskLayout(kTypeD71, 42), formatLayout(kTypeD71));
    EXPECT_EQ(formatLayout(kTypeD71)->geometry[52].offset, 266240u);
    EXPECT_EQ(formatLayout(kTypeD80)->geometry[38].offset, 282112u);
    EXPECT_EQ(formatLayout(kTypeD80)->geometry[37].offset, 274688u);
    EXPECT_EQ(formatLayout(kTypeD82)->geometry[77].offset, 533248u);
    EXPECT_EQ(formatLayout(kTypeD81)->geometry[39].offset, 399360u);
    ImageInfo info = sized(kTypeD64, 174848);
    checkImageSize(info);
    setDiskInitBasicValues(info);
    EXPECT_EQ(getBlockIndex(info, 18, 0), 357);
    EXPECT_EQ(getBlockIndex(info, 1, 0), 0);
    EXPECT_EQ(getBlockIndex(info, 35, 16), 682);
    EXPECT_EQ(getBlockIndex(info, 35, 17), -1);
}

TEST(ImageModel, SectorAddressingHonoursBoundsAndErrorBytes) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    ts::LogCapture log;
    ImageInfo info = sized(kTypeD64, 175531);
    ASSERT_EQ(checkImageSize(info), 1);
    setDiskInitBasicValues(info);
    std::uint8_t* p = nullptr;
    EXPECT_EQ(GetDiskSectorAddr(info, 35, 16, &p), 0);
    EXPECT_EQ(p, info.imageData.get() + 174592);
    EXPECT_EQ(GetDiskSectorAddr(info, 35, 17, &p), -1);
    EXPECT_EQ(GetDiskSectorAddr(info, 36, 0, &p), -1);
    EXPECT_EQ(GetDiskSectorAddr(info, 0, 0, &p), -1);
    EXPECT_TRUE(log.contains("OMBRIX: GetDiskSectorAddr: invalid track no.: < 1 or > 35"));

    // Error byte of 18/0 is 5: a bad block, unless the table is ignored.
    info.imageData[174848 + 357] = 5;
    info.imageData[174848 + 358] = 1;  // 18/1: 1 means good
    p = nullptr;
    EXPECT_EQ(GetDiskSectorAddr(info, 18, 0, &p), 5);
    EXPECT_EQ(p, nullptr);
    EXPECT_TRUE(log.contains("GetDiskSectorAddr: disk image error (5) occured at 18:0 -[23, Checksum error in data block]\n"));
    EXPECT_EQ(GetDiskSectorAddr(info, 18, 1, &p), 0);
    std::uint8_t dest[256];
    std::memset(dest, 0x55, sizeof dest);
    EXPECT_EQ(GetDiskSector(info, 18, 0, dest), 5);
    EXPECT_EQ(dest[0], 0x55);
    ignoreErrorTable = 1;
    EXPECT_EQ(GetDiskSectorAddr(info, 18, 0, &p), 0);
    EXPECT_EQ(p, info.imageData.get() + 91392);
    ignoreErrorTable = 0;

    // A forty-track image accepts track 36.
    ImageInfo forty = sized(kTypeD64, 196608);
    checkImageSize(forty);
    setDiskInitBasicValues(forty);
    EXPECT_EQ(GetDiskSectorAddr(forty, 36, 0, &p), 0);
    EXPECT_EQ(p, forty.imageData.get() + 174848);
}

TEST(ImageModel, BlocksOutsideAShortBufferAreRefused) {
    // An image cut short (as a writer might be handed) never yields a block
    // past its end, whatever the geometry says.
    ImageInfo info = sized(kTypeD64, 1000);
    checkImageSize(info);
    setDiskInitBasicValues(info);
    std::uint8_t* p = nullptr;
    EXPECT_EQ(GetDiskSectorAddr(info, 1, 2, &p), 0);
    EXPECT_EQ(GetDiskSectorAddr(info, 1, 3, &p), -1);
    EXPECT_EQ(GetDiskSectorAddr(info, 18, 0, &p), -1);
}

TEST(ImageModel, FixedPositionsPerFormat) {
    struct Case {
        std::int32_t type;
        int dirT, dirS, bam2, headT, bamT, bamS1, bamCount;
    };
    const Case cases[] = {{kTypeD64, 18, 1, 255, 18, 18, 0, 1},
                          {kTypeD71, 18, 1, 53, 18, 18, 0, 1},
                          {kTypeD80, 39, 1, 255, 39, 38, 3, 2},
                          {kTypeD82, 39, 1, 255, 39, 38, 3, 4},
                          {kTypeD81, 40, 3, 255, 40, 40, 2, 2}};
    for (const Case& c : cases) {
        ImageInfo info;
        info.imageType = c.type;
        setDiskInitBasicValues(info);
        EXPECT_EQ(info.headerTrack, 0);  // only the full form sets them
        setDiskInitValues(info);
        EXPECT_EQ(info.dirTrack, c.dirT);
        EXPECT_EQ(info.dirSector, c.dirS);
        EXPECT_EQ(info.bamTrack2, c.bam2);
        EXPECT_EQ(info.headerTrack, c.headT);
        EXPECT_EQ(info.bamTrack, c.bamT);
        EXPECT_EQ(info.bamSector[1], c.bamCount > 1 ? c.bamS1 : 0);
        EXPECT_EQ(info.bamBlockCount, c.bamCount);
    }
}

TEST(ImageModel, FortyTrackLayoutRecognition) {
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=4\n");
    ts::LogCapture log;
    // 42 tracks: the entries of 41 and 42 at 212-219 after SpeedDOS's.
    auto check = [](int speedByte, int dolphinByte, std::array<std::uint8_t, 8> entries41 = {}, int tracks = 40) {
        ImageInfo info = sized(kTypeD64, tracks == 40 ? 196608 : 205312);
        checkImageSize(info);
        setDiskInitValues(info);
        std::uint8_t* bam = info.imageData.get() + 91392;
        if (speedByte >= 0) bam[speedByte] = 0x11;
        if (dolphinByte >= 0) bam[dolphinByte] = 0x11;
        std::memcpy(bam + 212, entries41.data(), 8);
        int r = checkD64Valid40Track(info);
        return std::make_pair(r, info.fortyTrackType);
    };
    EXPECT_EQ(check(192, -1), std::make_pair(1, 2));
    EXPECT_TRUE(log.contains("checkD64Valid40Track: assuming D64 40 track r/o format"));
    EXPECT_TRUE(log.contains("checkD64Valid40Track: Speed = true"));
    EXPECT_FALSE(log.contains("Dolphin = true"));
    EXPECT_EQ(check(-1, 191), std::make_pair(1, 3));
    EXPECT_TRUE(log.contains("checkD64Valid40Track: Dolphin = true"));
    EXPECT_EQ(check(211, 172), std::make_pair(0, 1));
    EXPECT_EQ(check(-1, -1), std::make_pair(0, 1));
    const std::array<std::uint8_t, 8> free41 = {17, 0xFF, 0xFF, 0x01, 2, 0x81, 0, 0};
    EXPECT_EQ(check(192, -1, free41, 42), std::make_pair(1, 2));
    EXPECT_EQ(check(192, -1, {}, 42), std::make_pair(1, 2));  // both full
    EXPECT_FALSE(log.contains("no BAM entries for tracks 41-42"));
    EXPECT_EQ(check(192, -1, {18, 0xFF, 0xFF, 0x03, 2, 0x81, 0, 0}, 42), std::make_pair(0, 1));  // a sector 17
    EXPECT_TRUE(log.contains("checkD64Valid40Track: no BAM entries for tracks 41-42\n"));
    EXPECT_EQ(check(192, -1, {17, 0xFF, 0xFF, 0x01, 3, 0x81, 0, 0}, 42), std::make_pair(0, 1));  // a count the bits deny
    EXPECT_EQ(check(-1, 191, free41, 42), std::make_pair(0, 1));  // DolphinDOS has no place for them
    EXPECT_EQ(check(-1, -1, free41, 42), std::make_pair(1, 2));  // 36-40 full: the run tells SpeedDOS
    EXPECT_EQ(check(-1, -1, {}, 42), std::make_pair(0, 1));
    EXPECT_EQ(check(-1, 191, free41, 40), std::make_pair(1, 3));  // 40 tracks: 212-219 are no matter
    ts::loadDefaultSettings(dir);
}

}  // namespace
