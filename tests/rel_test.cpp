// REL files written: from .r00 files and from exact lines (conversion's road),
// on every disk format, read back by our reader and by cbmconvert, checked by
// validate, deleted; and against the REL files c1541 made.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/pack_support.h"
#include "tests/writer_support.h"

namespace {

using ts::Bytes;

struct Format {
    const char* ext;
    int type;
    bool super;  // a super side sector before the side sectors
};
const Format kFormats[] = {{"d64", kTypeD64, false}, {"d71", kTypeD71, false}, {"d80", kTypeD80, false},
                           {"d81", kTypeD81, true},  {"d82", kTypeD82, true}};

std::size_t dataBlocksOf(std::size_t size, int length) {
    return std::max<std::size_t>(1, ((size + length - 1) / length * length + 253) / 254);
}

// What a drive reads from a REL file written with these data: the records
// (the last filled up with 00), then empty records (FF, 00s) up to the last
// record that fits wholly into the last data block.
Bytes asDriveReads(Bytes data, int length) {
    const std::size_t room = dataBlocksOf(data.size(), length) * 254;
    data.resize((data.size() + length - 1) / length * length, 0);
    while (data.size() + length <= room) {
        data.push_back(0xFF);
        data.resize(data.size() + length - 1, 0);
    }
    return data;
}

// A REL file's side sectors with the block addresses left out, so that two
// writers can be compared: per side sector its number, record length, the
// entries of its group table and its pointers ("!" where the table does not
// name the group's side sectors, or a pointer is not the data chain's block
// at its place); then the data chain's length and last byte.
std::string relShape(const ImageInfo& info, const pt::Entry& e, bool super) {
    const pt::Chain data = pt::chainOf(info, e);
    std::string shape;
    int t = e.bytes[kDirSideSectorTrack], s = e.bytes[kDirSideSectorSector];
    std::vector<std::pair<int, int>> groups;
    if (super) {
        const std::uint8_t* b = pt::blockOf(info, t, s);
        if (!b) return "no super side sector";
        for (int g = 0; g < 126 && b[3 + 2 * g]; ++g) groups.emplace_back(b[3 + 2 * g], b[4 + 2 * g]);
        shape += "super " + std::to_string(b[2]) + " groups " + std::to_string(groups.size()) + "; ";
        t = b[0];
        s = b[1];
    }
    std::vector<std::pair<int, int>> sides;
    std::vector<const std::uint8_t*> blocks;
    for (; t != 0 && sides.size() < 800; t = blocks.back()[0], s = blocks.back()[1]) {
        blocks.push_back(pt::blockOf(info, t, s));
        if (!blocks.back()) return shape + "off the disk";
        sides.emplace_back(t, s);
    }
    std::size_t at = 0;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        const std::uint8_t* b = blocks[k];
        int table = 0, pointers = b[0] ? 120 : (b[1] - 15) / 2;
        bool tableRight = !super || k % 6 != 0 || (k / 6 < groups.size() && groups[k / 6] == sides[k]);
        for (std::size_t j = 0; j < 6; ++j) {
            const std::size_t n = k / 6 * 6 + j;
            const std::pair<int, int> named(b[4 + 2 * j], b[5 + 2 * j]);
            tableRight = tableRight && named == (n < sides.size() ? sides[n] : std::pair<int, int>(0, 0));
            table += b[4 + 2 * j] ? 1 : 0;
        }
        bool pointersRight = true;
        for (int i = 0; i < pointers; ++i, ++at)
            pointersRight = pointersRight && at < data.blocks.size() &&
                            std::pair<int, int>(b[16 + 2 * i], b[17 + 2 * i]) == data.blocks[at];
        shape += "ss " + std::to_string(b[2]) + " L" + std::to_string(b[3]) + " t" + std::to_string(table) +
                 (tableRight ? "" : "!") + " p" + std::to_string(pointers) + (pointersRight ? "" : "!") + "; ";
    }
    return shape + "data " + std::to_string(data.blocks.size()) + "/" + std::to_string(at) + " last " +
           std::to_string(data.lastByte1);
}

// The shape a drive gives a REL file of these data.
std::string driveShape(std::size_t size, int length, bool super) {
    const std::size_t blocks = dataBlocksOf(size, length), sides = (blocks + 119) / 120;
    std::string shape = super ? "super 254 groups " + std::to_string((sides + 5) / 6) + "; " : "";
    for (std::size_t k = 0; k < sides; ++k)
        shape += "ss " + std::to_string(k % 6) + " L" + std::to_string(length) + " t" +
                 std::to_string(std::min<std::size_t>(6, sides - k / 6 * 6)) + " p" +
                 std::to_string(k + 1 < sides ? 120 : blocks - k * 120) + "; ";
    const std::size_t used = blocks * 254 / length * length - (blocks - 1) * 254;
    return shape + "data " + std::to_string(blocks) + "/" + std::to_string(blocks) + " last " + std::to_string(used + 1);
}

struct RelTest : ::testing::Test {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    void SetUp() override { ts::loadDefaultSettings(dir); }
};

// Record lengths 1, 64 and 254 with 0, 1, 120, 121 and 800 records on every
// format, and the edges of the room (side sectors and the super side sector
// count) and of the side sectors' reach (720 data blocks without a super
// side sector); a short last record is filled up.
TEST_F(RelTest, WrittenAsADriveMakesThemReadBackValidatedAndDeleted) {
    struct Row {
        const Format* format;
        int length;
        std::size_t size;
    };
    std::vector<Row> rows;
    for (const Format& f : kFormats)
        for (int length : {1, 64, 254})
            for (std::size_t records : {0, 1, 120, 121, 800}) rows.push_back({&f, length, records * length});
    rows.push_back({&kFormats[0], 254, 658 * 254});   // 664 blocks: the disk full
    rows.push_back({&kFormats[0], 254, 659 * 254});   // one more
    rows.push_back({&kFormats[1], 254, 721 * 254});   // room, but past the side sectors' reach
    rows.push_back({&kFormats[3], 254, 3132 * 254});  // 3160 blocks with 27 side sectors and the super side sector
    rows.push_back({&kFormats[3], 254, 3133 * 254});
    rows.push_back({&kFormats[0], 64, 100});
    const bool cbmconvert = ts::haveTool("cbmconvert");
    const std::string src = ts::mkdirIn(dir, "src");
    for (const Row& row : rows) {
        const Format& f = *row.format;
        SCOPED_TRACE(std::string(f.ext) + " L" + std::to_string(row.length) + " " + std::to_string(row.size) + " bytes");
        const Bytes data = ts::randomBytes(row.size, static_cast<std::uint32_t>(row.size + row.length));
        ts::writeFile(src + "/r.r00", ts::pc64("R", data, static_cast<std::uint8_t>(row.length)));
        const std::string image = dir / (std::string("r.") + f.ext);
        std::remove(image.c_str());
        const std::int32_t room = getAllocatableBlocks(*wt::newImage(f.type), false);
        const std::size_t blocks = dataBlocksOf(row.size, row.length), sides = (blocks + 119) / 120;
        const std::size_t all = blocks + sides + (f.super ? 1 : 0);
        const bool fits = (f.super || blocks <= 720) && all <= static_cast<std::size_t>(room);
        ts::LogCapture log;
        ASSERT_EQ(pt::pack(image, src, {"r.r00"}), fits ? 0 : 11);
        if (!fits) {
            // Refused by the room check, which counts the side sectors.
            EXPECT_TRUE(log.contains(f.super || blocks <= 720 ? "not enough data sectors available (" +
                                                                    std::to_string(room) + " < " + std::to_string(all)
                                                              : "needs more side sectors than a REL file has here"))
                << log.text();
            continue;
        }
        const ts::Listing l = ts::list(image);
        ASSERT_EQ(l.files.size(), 1u);
        EXPECT_EQ(l.files[0].name, "r.rel");
        EXPECT_EQ(l.files[0].blocks, static_cast<int>(all));
        ts::TempDir out;
        ts::extractAll(image, out.path);
        const Bytes read = ts::readFile(out / "r.rel");
        EXPECT_TRUE(read == asDriveReads(data, row.length)) << read.size();
        {
            auto info = pt::load(image);
            const auto list = pt::entries(*info);
            EXPECT_EQ(list[0].bytes[kDirRecordLength], row.length);
            EXPECT_EQ(relShape(*info, list[0], f.super), driveShape(row.size, row.length, f.super));
        }
        std::string text;
        EXPECT_EQ(validateImage(image.c_str(), kValidateStrict, text), 0) << text;
        if (cbmconvert && f.type != kTypeD80 && f.type != kTypeD82) {
            // It checks side sectors on D64 and D71; on a D81 it calls every
            // REL file's side sector data wrong (it cannot write one either).
            std::string said;
            ts::TempDir peer;
            ASSERT_EQ(ts::run("cd " + ts::shellQuote(peer.path) + " && cbmconvert -P -d " + ts::shellQuote(image), &said), 0);
            const Bytes file = ts::readFile(peer / "r.r00");
            ASSERT_GT(file.size(), 26u);
            EXPECT_EQ(file[25], row.length);
            EXPECT_TRUE(Bytes(file.begin() + 26, file.end()) == read);
            if (f.type != kTypeD81) {
                EXPECT_EQ(said.find("side sector"), std::string::npos) << said;
            }
        }
        // Deleting frees every block, side sectors and super side sector too.
        ASSERT_EQ(pt::remove(image, {"r.rel"}), 0);
        EXPECT_EQ(getAllocatableBlocks(*pt::load(image), false), room);
    }
    // A header giving no record length (0, or 255, which no record has): nothing is begun.
    for (const int none : {0, 255}) {
        ts::writeFile(src + "/r.r00", ts::pc64("R", Bytes(100, 1), static_cast<std::uint8_t>(none)));
        EXPECT_EQ(pt::pack(dir / "none.d64", src, {"r.r00"}), 12);
        EXPECT_FALSE(ts::exists(dir / "none.d64"));
    }
}

// c1541's REL files read whole; written again from the same records, ours
// have the same shape, blocks and content (a file without records: c1541
// leaves record 1 all 00, we write an empty record there). cc1541 -V knows
// no side sectors: it names one as a block used outside files, on c1541's
// image and on ours alike.
TEST_F(RelTest, C1541sFilesReadAndWrittenAlike) {
    const std::string peer = ts::sharedFile("peerimages/rel_c1541.d64");
    if (peer.empty()) GTEST_SKIP() << "no peer images (../shared/peerimages or $OMBRIX_SHARED)";
    std::string text;
    EXPECT_EQ(validateImage(peer.c_str(), kValidateStrict, text), 0) << text;
    ts::TempDir out;
    ts::extractAll(peer, out.path);
    auto info = pt::load(peer);
    const auto list = pt::entries(*info);
    ASSERT_EQ(list.size(), 14u);
    const std::string src = ts::mkdirIn(dir, "src");
    for (const pt::Entry& e : list) {
        SCOPED_TRACE(e.name);
        int length = 0, records = 0;
        ASSERT_EQ(std::sscanf(e.name.c_str(), "R%dX%d", &length, &records), 2);
        std::string lower = e.name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        const Bytes peerRead = ts::readFile(out / (lower + ".rel"));
        ASSERT_GE(peerRead.size(), static_cast<std::size_t>(records * length));
        const Bytes written(peerRead.begin(), peerRead.begin() + records * length);
        const Bytes drive = asDriveReads(written, length);
        const std::size_t from = records == 0 ? static_cast<std::size_t>(length) : 0;
        EXPECT_TRUE(Bytes(peerRead.begin() + static_cast<long>(from), peerRead.end()) ==
                    Bytes(drive.begin() + static_cast<long>(from), drive.end()));
        ts::writeFile(src + "/" + lower + ".r00", ts::pc64(e.name, written, static_cast<std::uint8_t>(length)));
        const std::string image = dir / (lower + ".d64");
        ASSERT_EQ(pt::pack(image, src, {lower + ".r00"}), 0);
        auto ours = pt::load(image);
        const auto mine = pt::entries(*ours);
        EXPECT_EQ(mine[0].blocks(), e.blocks());
        EXPECT_EQ(relShape(*ours, mine[0], false), relShape(*info, e, false));
        ts::TempDir back;
        ts::extractAll(image, back.path);
        if (records > 0) {
            EXPECT_TRUE(ts::readFile(back / (lower + ".rel")) == peerRead);
        }
    }
    if (!ts::haveTool("cc1541")) return;
    for (const std::string& image : {peer, dir / "r64x1.d64"}) {
        SCOPED_TRACE(image);
        ts::writeFile(dir / "copy.d64", ts::readFile(image));
        std::string said;
        EXPECT_NE(ts::run("cc1541 -V " + ts::shellQuote(dir / "copy.d64"), &said), 0);
        int t = 0, s = 0;
        const std::size_t at = said.find("for track ");
        ASSERT_NE(at, std::string::npos) << said;
        ASSERT_EQ(std::sscanf(said.c_str() + at, "for track %d sector %d", &t, &s), 2);
        auto copy = pt::load(dir / "copy.d64");
        bool isSide = false;
        for (const pt::Entry& e : pt::entries(*copy))
            for (int k = e.bytes[kDirSideSectorTrack], j = e.bytes[kDirSideSectorSector], n = 0; k && n < 6; ++n) {
                isSide = isSide || (k == t && j == s);
                const std::uint8_t* b = pt::blockOf(*copy, k, j);
                k = b[0];
                j = b[1];
            }
        EXPECT_TRUE(isSide) << said;
    }
}

// Conversion's road in (an exact line of WriteEntries): REL files of the
// caller's records under their exact names, one call; a name taken, a REL
// type byte without a record length or with none a record has, and an empty
// name are refused. Then validate against each kind of damage to side
// sectors and the super side sector of a file of two groups.
TEST_F(RelTest, ExactLinesAndValidateAgainstDamagedSideSectors) {
    const std::string image = dir / "p.d81";
    const Bytes small = ts::randomBytes(300, 1), big = ts::randomBytes(800 * 254, 2);
    ts::writeFile(dir / "small", small);
    ts::writeFile(dir / "big", big);
    auto hex = [](const char* first) {
        std::string h = first;
        while (h.size() < 32) h += "A0";
        return h;
    };
    const std::string src = dir.path + "/", r = hex("52"), s = hex("53"), t = hex("54");
    std::string keys;
    auto exact = [&](const std::string& lines) {
        return writeEntries(image.c_str(), src.c_str(), lines.c_str(), kWriteEntriesCreate, keys);
    };
    ASSERT_EQ(exact("exact\t84\t" + r + "\tbig\trel=254\nexact\t84\t" + s + "\tsmall\trel=30\n"), 0);
    const std::string smallKey = keys.substr(keys.find('\n') + 1, keys.find('\n', keys.find('\n') + 1) - keys.find('\n') - 1);
    EXPECT_EQ(exact("exact\t84\t" + s + "\tsmall\trel=30\n"), 16);
    EXPECT_EQ(exact("exact\t84\t" + t + "\tsmall\n"), 24);
    EXPECT_EQ(exact("exact\t84\t" + t + "\tsmall\trel=0\n"), 24);
    EXPECT_EQ(exact("exact\t84\t" + t + "\tsmall\trel=255\n"), 24);
    EXPECT_EQ(exact("exact\t82\t" + t + "\tsmall\trel=30\n"), 24);
    EXPECT_EQ(exact("exact\t84\t" + hex("") + "\tsmall\trel=30\n"), 16);
    const ts::Listing l = ts::list(image);
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[0].blocks, 808);
    EXPECT_EQ(l.files[1].blocks, 4);
    ts::TempDir out;
    ts::extractAll(image, out.path);
    EXPECT_TRUE(ts::readFile(out / "r.rel") == big);
    EXPECT_TRUE(ts::readFile(out / "s.rel") == asDriveReads(small, 30));

    using Apply = void (*)(std::uint8_t* entry, std::uint8_t* super, std::vector<std::uint8_t*>& sides);
    const struct {
        const char* what;
        Apply apply;
    } damages[] = {
        {"lists ", [](std::uint8_t*, std::uint8_t*, std::vector<std::uint8_t*>& ss) { ss[1][16 + 11] ^= 1; }},
        {"gives number 6 ", [](std::uint8_t*, std::uint8_t*, std::vector<std::uint8_t*>& ss) { ss[6][2] = 6; }},
        {"and record length 254", [](std::uint8_t* e, std::uint8_t*, std::vector<std::uint8_t*>&) { e[23] = 100; }},
        {"names 0:0 as side sector 5 ", [](std::uint8_t*, std::uint8_t*, std::vector<std::uint8_t*>& ss) { ss[0][14] = ss[0][15] = 0; }},
        {"super side sector names 0:0 for group 1", [](std::uint8_t*, std::uint8_t* su, std::vector<std::uint8_t*>&) {
             su[5] = su[6] = 0;
         }},
        {"ends at byte 177", [](std::uint8_t*, std::uint8_t*, std::vector<std::uint8_t*>& ss) { ss[6][1] += 2; }},
        {"has 6 side sectors for 800", [](std::uint8_t*, std::uint8_t*, std::vector<std::uint8_t*>& ss) { ss[5][0] = 0; }},
        {"has 6 side sectors for 800", [](std::uint8_t* e, std::uint8_t* su, std::vector<std::uint8_t*>&) {
             e[21] = su[0];  // straight at side sector 0: no super side sector
             e[22] = su[1];
         }},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.what);
        auto info = pt::load(image);
        std::uint8_t* entry = pt::entries(*info)[0].bytes;
        std::uint8_t* super = pt::blockOf(*info, entry[21], entry[22]);
        std::vector<std::uint8_t*> sides;
        for (int t = super[0], s = super[1]; t != 0 && sides.size() < 7; t = sides.back()[0], s = sides.back()[1])
            sides.push_back(pt::blockOf(*info, t, s));
        ASSERT_EQ(sides.size(), 7u);
        d.apply(entry, super, sides);
        const std::string damaged = dir / "damaged.d81";
        ts::writeFile(damaged, wt::bytesOf(*info));
        std::string text;
        EXPECT_EQ(validateImage(damaged.c_str(), 0, text), 13) << text;
        EXPECT_NE(text.find(std::string("error\trel\t\"r\": ")), std::string::npos) << text;
        EXPECT_NE(text.find(d.what), std::string::npos) << text;
    }
    // A store would write the records as a plain chain: refused, the file stays.
    EXPECT_EQ(exact("store\t" + smallKey + "\tbig\n"), 24);
    EXPECT_TRUE(ts::readFile(out / "s.rel") == asDriveReads(small, 30));
}

}  // namespace
