// PackFiles through the export: new images of every format, names and types,
// chain ends, the capacity rule, and every refused call leaving the image
// file (or its absence) exactly as it was.
#include <sys/stat.h>
#include <unistd.h>

#include "core/new_image_settings.h"
#include "platform/platform.h"
#include "tests/pack_support.h"
#include "tests/writer_support.h"

namespace {

using pt::Bytes;

struct SizeCase {
    std::size_t size;
    int blocks;
    int lastByte1;
};
// Chain ends around the block boundaries: 254 data bytes per block.
// An empty file takes one block holding no byte (link 00 01), as drives write it.
const SizeCase kSizes[] = {{0, 1, 1}, {1, 1, 2}, {253, 1, 254}, {254, 1, 255},
                           {255, 2, 2}, {508, 2, 255}, {509, 3, 2}};

struct FormatCase {
    const char* ext;
    std::size_t size;
    int freeData;
    int freeDir;
};
const FormatCase kFormats[] = {{"d64", 174848, 664, 17},   {"d71", 349696, 1328, 17}, {"d80", 533248, 2052, 27},
                               {"d82", 1066496, 4133, 27}, {"d81", 819200, 3160, 36}};

bool noTemporaryFiles(const std::string& dir) {
    for (const std::string& name : ts::listDir(dir))
        if (name.find(".ombrix-") != std::string::npos) return false;
    return true;
}

std::vector<std::string> zeroByteNames(const std::string& src, const std::string& prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix + std::to_string(1000 + i) + ".prg";
        ts::writeFile(src + "/" + name, {});
        names.push_back(name);
    }
    return names;
}

TEST(PackFiles, NewImageOfEveryFormatHoldsFilesWithTheirChainEnds) {
    for (const FormatCase& format : kFormats) {
        SCOPED_TRACE(format.ext);
        ts::TempDir dir;
        ts::loadDefaultSettings(dir);
        const std::string src = ts::mkdirIn(dir, "src");
        std::vector<std::string> names;
        std::map<std::string, Bytes> sources;
        for (const SizeCase& c : kSizes) {
            std::string name = "f" + std::to_string(c.size) + ".prg";
            sources[name] = ts::randomBytes(c.size, static_cast<std::uint32_t>(c.size + 7));
            names.push_back(name);
        }
        pt::writeSources(src, sources);
        const std::string image = dir / (std::string("new.") + format.ext);

        ASSERT_EQ(pt::pack(image, src, names), 0);
        EXPECT_EQ(ts::readFile(image).size(), format.size);
        EXPECT_TRUE(noTemporaryFiles(dir.path));

        auto info = pt::load(image);
        EXPECT_EQ(getFreeDataBlocksOnDisk(*info), format.freeData - 11);
        EXPECT_EQ(getFreeDirBlocksOnDisk(*info), format.freeDir);
        const auto list = pt::entries(*info);
        ASSERT_EQ(list.size(), std::size(kSizes));
        for (std::size_t i = 0; i < std::size(kSizes); ++i) {
            const SizeCase& c = kSizes[i];
            SCOPED_TRACE(c.size);
            const pt::Entry& e = list[i];
            EXPECT_EQ(e.name, pt::petscii("f" + std::to_string(c.size)));
            EXPECT_EQ(e.type(), kTypePrg);
            EXPECT_EQ(e.blocks(), c.blocks);
            const pt::Chain chain = pt::chainOf(*info, e);
            ASSERT_TRUE(chain.ok);
            if (c.blocks == 0) {
                EXPECT_EQ(e.startTrack(), 0);
                EXPECT_EQ(e.startSector(), 0);
                continue;
            }
            EXPECT_EQ(static_cast<int>(chain.blocks.size()), c.blocks);
            EXPECT_EQ(chain.lastByte1, c.lastByte1);
            EXPECT_EQ(chain.data, sources[names[i]]);
            for (auto [t, s] : chain.blocks)
                EXPECT_EQ(IsSectorFree(*info, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s)), 0);
        }

        const std::string out = ts::mkdirIn(dir, "out");
        for (const auto& [name, rc] : ts::extractAll(image, out)) {
            EXPECT_EQ(rc, 0) << name;
            EXPECT_EQ(ts::readFile(out + "/" + name), sources[name]) << name;
        }
        EXPECT_EQ(ts::listDir(out).size(), sources.size());
    }
}

TEST(PackFiles, ListNamesBecomeCbmNamesAndTypes) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    ts::mkdirIn(dir, "src/sub");
    const std::vector<std::string> names = {"game.prg", "notes.seq", "readme.txt", "game",
                                            "GAME.PRG", "sub/file.prg", "abcdefghijklmnopqrst", "m\xC3\xBC\xC3\x9Fig.prg"};
    for (std::size_t i = 0; i < names.size(); ++i) ts::writeFile(src + "/" + names[i], ts::randomBytes(100 + i, 1));
    const std::string image = dir / "names.d64";
    ASSERT_EQ(pt::pack(image, src, names), 0);

    auto info = pt::load(image);
    const auto list = pt::entries(*info);
    ASSERT_EQ(list.size(), names.size());
    const std::pair<std::string, std::uint8_t> expected[] = {
        {"\x47\x41\x4D\x45", kTypePrg},
        {"NOTES", kTypeSeq},
        {"README.TXT", kTypeSeq},
        {"GAME", kTypeSeq},
        {"\xC7\xC1\xCD\xC5.\xD0\xD2\xC7", kTypeSeq},  // upper-case host letters are shifted PETSCII
        {"SUB FILE", kTypePrg},                        // the folder separator becomes a space
        {"ABCDEFGHIJKLMNOP", kTypeSeq},                // cut to 16 characters
        {"M  IG", kTypePrg},                           // one space per letter outside ASCII
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(list[i].name, expected[i].first);
        EXPECT_EQ(list[i].type(), expected[i].second);
        // Name field: the name, then 0xA0 up to 16 bytes; bytes 21-29 zero.
        for (std::size_t k = expected[i].first.size(); k < 16; ++k) EXPECT_EQ(list[i].bytes[5 + k], 0xA0);
        for (int k = 21; k < 30; ++k) EXPECT_EQ(list[i].bytes[k], 0);
    }

    std::vector<std::string> listed;
    for (const ts::Listed& f : ts::list(image).files) listed.push_back(f.name);
    EXPECT_EQ(listed, (std::vector<std::string>{"game.prg", "notes.seq", "readme.txt.seq", "game.seq", "GAME.PRG.seq",
                                                "sub file.prg", "abcdefghijklmnop.seq",
                                                "m  ig.prg"}));
}

// A .cvt file goes in as the GEOS file it holds, under the name and type it
// carries, only when all of it agrees; any other .cvt is an ordinary SEQ file
// of its whole name, byte for byte.
TEST(PackFiles, ConvertFilesGoInAsGeosFilesOnlyWhenWhole) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    const Bytes vlir = ts::convertFile("VLIR", 0x83, true, {ts::randomBytes(600, 2), {}, ts::randomBytes(20, 3)}, 4);
    const Bytes seq = ts::convertFile("SEQ", 0xC2, false, {ts::randomBytes(300, 5)}, 6);
    auto changed = [](Bytes b, std::size_t at, const std::string& to) {
        std::memcpy(b.data() + at, to.data(), to.size());
        return b;
    };
    auto resized = [](Bytes b, std::size_t n) {
        b.resize(n, 0);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
        Bytes back;  // what extraction gives; empty: stored as it is
    };
    const Case cases[] = {
        {"sequential, locked", seq, seq},
        {"VLIR", vlir, vlir},
        {"last record filled up to its block", resized(vlir, vlir.size() + 234), vlir},
        {"signature of a SEQ Convert file", changed(seq, 30, "SEQ"), seq},
        {"no signature", changed(seq, 33, "_"), {}},
        {"REL type", changed(seq, 0, "\x84"), {}},
        {"partition type", changed(seq, 0, "\x85"), {}},
        {"file not closed", changed(seq, 0, "\x02"), {}},
        {"no GEOS file type", changed(seq, 22, std::string(1, 0)), {}},
        {"structure 2", changed(seq, 21, "\x02"), {}},
        {"empty name", changed(seq, 3, std::string(16, '\xA0')), {}},
        {"sequential without data", resized(seq, 508), {}},
        {"shorter than its header", resized(seq, 300), {}},
        {"a record cut short", resized(vlir, vlir.size() - 1), {}},
        {"a byte more than its table says", resized(vlir, vlir.size() + 1), {}},
        {"table claims a block more", changed(vlir, 508, "\x04"), {}},
        {"empty record not 00 FF", changed(vlir, 511, "\x05"), {}},
        {"record whose last block holds no byte", changed(vlir, 513, "\x01"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ts::writeFile(src + "/x.cvt", c.bytes);
        const std::string image = dir / "c.d64";
        std::remove(image.c_str());
        ASSERT_EQ(pt::pack(image, src, {"x.cvt"}), 0);
        const ts::Listing l = ts::list(image);
        ASSERT_EQ(l.files.size(), 1u);
        ts::TempDir out;
        ASSERT_EQ(ts::extractAll(image, out.path)[0].second, 0);
        const Bytes back = ts::readFile(out / l.files[0].name);
        if (c.back.empty()) {
            EXPECT_EQ(l.files[0].name, "x.cvt.seq");
            EXPECT_EQ(back, c.bytes);
            continue;
        }
        EXPECT_EQ(l.files[0].name, c.back[0] == 0x83 ? "VLIR.cvt" : "SEQ.cvt");  // GEOS names are ASCII
        EXPECT_EQ(l.files[0].blocks, c.back[28]);
        EXPECT_EQ(back, c.back);
        auto info = pt::load(image);
        EXPECT_EQ(pt::entries(*info)[0].type(), c.back[0]);
        std::string problems;
        EXPECT_EQ(validateImage(image.c_str(), false, problems), 0) << problems;
    }
}

TEST(PackFiles, AddsToAnExistingImageAndKeepsItsFiles) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    const Bytes a = ts::randomBytes(3000, 1), b = ts::randomBytes(700, 2), c = ts::randomBytes(254 * 30, 3);
    pt::writeSources(src, {{"a.prg", a}, {"b.seq", b}, {"c.prg", c}});
    // Reached through a symbolic link, the image is written where the link
    // points, and the link stays a link.
    const std::string image = dir / "grow.d71";
    ASSERT_EQ(pt::pack(image, src, {"a.prg"}), 0);
    const int freeBefore = getFreeDataBlocksOnDisk(*pt::load(image));
    const std::string link = dir / "link.d71";
    ASSERT_EQ(symlink("grow.d71", link.c_str()), 0);
    chmod(image.c_str(), 0600);

    // PK_PACK_MOVE_FILES: the sources go once the image is written; a call
    // that fails takes none.
    ASSERT_EQ(pt::pack(link, src, {"b.seq", "c.prg", "missing.prg"}, 1), 18);
    EXPECT_TRUE(ts::exists(src + "/b.seq"));
    ASSERT_EQ(pt::pack(link, src, {"b.seq", "c.prg"}, 1), 0);
    EXPECT_FALSE(ts::exists(src + "/b.seq"));
    EXPECT_FALSE(ts::exists(src + "/c.prg"));
    EXPECT_TRUE(ts::exists(src + "/a.prg"));
    struct stat st {};
    EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(stat(image.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);  // the image keeps its mode
    auto info = pt::load(image);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*info), freeBefore - 3 - 30);
    const auto list = pt::entries(*info);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(pt::chainOf(*info, list[0]).data, a);
    EXPECT_EQ(pt::chainOf(*info, list[1]).data, b);
    EXPECT_EQ(pt::chainOf(*info, list[2]).data, c);

    // Allocation from track 1: the first block comes by the sector step from
    // sector 0 (file interleave 10).
    NewImageSettings.writeFromTrack1 = 1;
    const std::string t1 = dir / "t1.d64";
    ts::writeFile(src + "/b.seq", b);
    ASSERT_EQ(pt::pack(t1, src, {"b.seq"}), 0);
    auto t1info = pt::load(t1);
    const auto t1list = pt::entries(*t1info);
    ASSERT_EQ(t1list.size(), 1u);
    EXPECT_EQ(pt::chainOf(*t1info, t1list[0]).blocks, (std::vector<std::pair<int, int>>{{1, 10}, {1, 20}, {1, 8}}));
}

TEST(PackFiles, RefusedCallsLeaveTheFolderAsItWas) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(1000, 1)}, {"b.prg", ts::randomBytes(600, 2)}});
    const std::string old = dir / "old.d64";
    ASSERT_EQ(pt::pack(old, src, {"a.prg"}), 0);
    ts::writeFile(dir / "small.d64", Bytes(1000, 0));
    ts::writeFile(dir / "empty.d81", {});
    ts::writeFile(dir / "forty.d64", Bytes(196608, 0));
    // Sources that are no plain file, or whose size lies: /proc files say 0
    // bytes and hold more, /sys files say 4096 and hold fewer.
    ts::mkdirIn(dir, "src/folder");
    ts::mkdirIn(dir, "folder.d64");
    mkfifo((src + "/fifo").c_str(), 0644);
    symlink("/dev/zero", (src + "/device").c_str());
    symlink("/proc/self/status", (src + "/grows").c_str());
    const bool haveSys = ts::exists("/sys/devices/system/cpu/online");
    symlink("/sys/devices/system/cpu/online", (src + "/shrinks").c_str());
    symlink("nowhere/x.d64", (dir / "dangling.d64").c_str());
    const auto before = pt::snapshot(dir.path);
    const std::string newImage = dir / "new.d64";

    struct Case {
        std::string what, image;
        std::vector<std::string> names;
        long writeFailure;
        int rc;
        std::string line;
    };
    const std::string longName(300 - src.size(), 'x');
    const Case cases[] = {
        {"tape image", dir / "x.t64", {"a.prg"}, -1, 24, ""},
        {"unknown extension", dir / "x.zip", {"a.prg"}, -1, 24, ""},
        {"no extension", dir / "image", {"a.prg"}, -1, 24, ""},
        {"missing source, existing image", old, {"a.prg", "missing.prg", "b.prg"}, -1, 18,
         "error getting file size for <" + src + "/missing.prg>\n"},
        {"missing source, new image", newImage, {"a.prg", "missing.prg", "b.prg"}, -1, 18,
         "getTotalSectorCount: error getting file size for <" + src + "/missing.prg> ... continue ...\n"},
        {"source path too long", old, {"a.prg", longName}, -1, 18,
         "error getting file size for <" + src + "/" + longName + ">\n"},
        {"name that is only an extension", old, {"a.prg", ".prg"}, -1, 16,
         "PackFiles: <.prg> gives an empty CBM name -> nothing added\n"},
        {"name that is only an extension, new image", newImage, {".seq"}, -1, 16, ""},
        {"source is a folder", old, {"a.prg", "folder"}, -1, 18, "error getting file size for <" + src + "/folder>\n"},
        {"source is a pipe", old, {"fifo"}, -1, 18, ""},
        {"source is a device", newImage, {"device"}, -1, 18, ""},
        {"source holds more than its size", old, {"grows"}, -1, 18, "error reading file <" + src + "/grows>\n"},
        {"source holds less than its size", haveSys ? old : "", {"shrinks"}, -1, 18, ""},
        {"image is a link to nowhere", dir / "dangling.d64", {"a.prg"}, -1, 19, "error: fopen (write image) failed\n"},
        {"image is a folder", dir / "folder.d64", {"a.prg"}, -1, 15, "error CreateFile 21\n"},
        {"image too small", dir / "small.d64", {"a.prg"}, -1, 14, "unknown disk type\n"},
        {"empty image", dir / "empty.d81", {"a.prg"}, -1, 14, "unknown disk type\n"},
        {"unknown forty-track layout", dir / "forty.d64", {"a.prg"}, -1, 24,
         "PackFiles: unknown D64 40 track format -> read only\n"},
        {"cannot create, existing image", old, {"b.prg"}, 0, 19, "error: fopen (write image) failed\n"},
        {"short write, existing image", old, {"b.prg"}, 1000, 19,
         "error: fwrite (write image) wrote less (1000 != 174848)\n"},
        {"cannot create, new image", newImage, {"b.prg"}, 0, 19, "error: fopen (write image) failed\n"},
        {"short write, new image", newImage, {"b.prg"}, 174847, 19,
         "error: fwrite (write image) wrote less (174847 != 174848)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.image.empty()) continue;
        ts::LogCapture log;
        if (c.writeFailure >= 0) platform::simulateWriteFailure(c.writeFailure);
        EXPECT_EQ(pt::pack(c.image, src, c.names), c.rc);
        if (!c.line.empty()) {
            EXPECT_TRUE(log.contains(c.line)) << log.text();
        }
        EXPECT_TRUE(pt::snapshot(dir.path) == before);
    }
    EXPECT_EQ(getTotalSectorCount((src + "/").c_str(), pt::zeroList({"a.prg", "missing.prg", "b.prg"}).data()), 4 + 3);
    EXPECT_EQ(countListNames(pt::zeroList({}).data()), 0);
    EXPECT_EQ(countListNames(pt::zeroList({"a", "b", "c"}).data()), 3);
}

TEST(PackFiles, CapacityRuleRefusesBeforeAnythingIsAdded) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");

    // Directory entries: 139 files leave 5 entries and no free directory block.
    const std::string full = dir / "full.d64";
    ASSERT_EQ(pt::pack(full, src, zeroByteNames(src, "z", 139)), 0);
    EXPECT_EQ(getFreeDirEntryCount(*pt::load(full)), 5);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*pt::load(full)), 0);
    const Bytes fullBefore = ts::readFile(full);
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(full, src, zeroByteNames(src, "y", 6)), 11);
        EXPECT_TRUE(log.contains("PackFiles: not enough dir entries available (5 < 6)\n")) << log.text();
        EXPECT_EQ(ts::readFile(full), fullBefore);
    }
    ASSERT_EQ(pt::pack(full, src, zeroByteNames(src, "x", 5)), 0);
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(full, src, zeroByteNames(src, "w", 1)), 11);
        EXPECT_TRUE(log.contains("PackFiles: not enough dir entries available (0 < 1)\n")) << log.text();
    }

    // Data blocks, without the directory track: 664 on a new D64.
    ts::writeFile(src + "/664.prg", ts::randomBytes(664 * 254, 5));
    ts::writeFile(src + "/665.prg", ts::randomBytes(664 * 254 + 1, 6));
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(dir / "data.d64", src, {"665.prg"}), 11);
        EXPECT_TRUE(log.contains("PackFiles: not enough data sectors available (664 < 665)\n")) << log.text();
        EXPECT_FALSE(ts::exists(dir / "data.d64"));
    }
    ASSERT_EQ(pt::pack(dir / "data.d64", src, {"664.prg"}), 0);
    auto data = pt::load(dir / "data.d64");
    EXPECT_EQ(getFreeDataBlocksOnDisk(*data), 0);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*data), 17);
    EXPECT_EQ(pt::chainOf(*data, pt::entries(*data)[0]).data, ts::readFile(src + "/664.prg"));

    // A Convert file needs the blocks of the GEOS file it becomes: 664 here,
    // though the .cvt itself takes 665.
    auto geos = [](std::size_t lastRecordBlocks) {
        return ts::convertFile("GEOS", 0x83, true,
                               {ts::randomBytes(255 * 254, 1), ts::randomBytes(255 * 254, 2),
                                ts::randomBytes(lastRecordBlocks * 254, 3)},
                               4);
    };
    ts::writeFile(src + "/fits.cvt", geos(152));
    ts::writeFile(src + "/over.cvt", geos(153));
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(dir / "geos.d64", src, {"over.cvt"}), 11);
        EXPECT_TRUE(log.contains("PackFiles: not enough data sectors available (664 < 665)\n")) << log.text();
        EXPECT_FALSE(ts::exists(dir / "geos.d64"));
    }
    ASSERT_EQ(pt::pack(dir / "geos.d64", src, {"fits.cvt"}), 0);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*pt::load(dir / "geos.d64")), 0);
    EXPECT_EQ(ts::list(dir / "geos.d64").files.at(0).blocks, 664);

    // With the directory track: 664 + 17 blocks, less the directory blocks
    // that the new entries will need.
    NewImageSettings.useDirTrack = 1;
    dirTrackFallback = 1;
    ts::writeFile(src + "/680.prg", ts::randomBytes(680 * 254, 7));
    ts::writeFile(src + "/681.prg", ts::randomBytes(681 * 254, 8));
    ts::writeFile(src + "/682.prg", ts::randomBytes(682 * 254, 9));
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(dir / "dir1.d64", src, {"682.prg"}), 11);
        EXPECT_TRUE(log.contains("PackFiles: not enough data+dir sectors available (681 < 682)\n")) << log.text();
    }
    ASSERT_EQ(pt::pack(dir / "dir1.d64", src, {"681.prg"}), 0);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*pt::load(dir / "dir1.d64")), 0);

    // Eight empty files (a block each) and one of 673 or 672 blocks.
    ts::writeFile(src + "/672.prg", ts::randomBytes(672 * 254, 10));
    ts::writeFile(src + "/673.prg", ts::randomBytes(673 * 254, 11));
    std::vector<std::string> nine = zeroByteNames(src, "v", 8);
    nine.push_back("673.prg");
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(dir / "dir9.d64", src, nine), 11);
        EXPECT_TRUE(log.contains("PackFiles: not enough data+dir sectors available (680 < 681)\n")) << log.text();
    }
    nine.back() = "672.prg";
    ASSERT_EQ(pt::pack(dir / "dir9.d64", src, nine), 0);
    auto dir9 = pt::load(dir / "dir9.d64");
    EXPECT_EQ(getFreeDataBlocksOnDisk(*dir9), 0);
    EXPECT_EQ(getFreeDirBlocksOnDisk(*dir9), 0);
    const auto list = pt::entries(*dir9);
    ASSERT_EQ(list.size(), 9u);
    EXPECT_EQ(list[8].track, 18);
    EXPECT_EQ(list[8].sector, 4);
    const pt::Chain big = pt::chainOf(*dir9, list[8]);
    EXPECT_EQ(big.data, ts::readFile(src + "/672.prg"));
    int onDirTrack = 0;
    for (auto [t, s] : big.blocks) onDirTrack += t == 18;
    EXPECT_EQ(onDirTrack, 16);
}

TEST(PackFiles, BadBlocksAndLoopingDirectoriesEndTheCall) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    const Bytes a = ts::randomBytes(1000, 1);
    pt::writeSources(src, {{"a.prg", a}});

    // The allocator's first choice, 17/0, is flagged bad by its error byte.
    NewImageSettings.includeErrorInfo = 1;
    const std::string image = dir / "errors.d64";
    ASSERT_EQ(pt::pack(image, src, {}), 0);
    Bytes bytes = ts::readFile(image);
    ASSERT_EQ(bytes.size(), 175531u);
    const std::size_t errorByte = 174848 + 16 * 21;  // block index of 17/0
    bytes[errorByte] = 5;
    ts::writeFile(image, bytes);
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(image, src, {"a.prg"}), 11);
        EXPECT_TRUE(log.contains("error: no free blocks\n")) << log.text();
        EXPECT_EQ(ts::readFile(image), bytes);
        EXPECT_TRUE(noTemporaryFiles(dir.path));
    }
    // With the error table ignored the block is used; the error byte stays.
    ts::loadSettings(dir, "[common]\nlogLevel=3\nignoreErrorTable=1\n");
    ASSERT_EQ(pt::pack(image, src, {"a.prg"}), 0);
    auto info = pt::load(image);
    const auto list = pt::entries(*info);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].startTrack(), 17);
    EXPECT_EQ(list[0].startSector(), 0);
    EXPECT_EQ(ts::readFile(image)[errorByte], 5);
    ts::loadDefaultSettings(dir);

    // A directory whose full first block links back to itself, or on into
    // the BAM block (taken as a directory block, a new entry would wreck it).
    for (const std::uint8_t next : {1, 0}) {
        const std::string loop = dir / ("loop" + std::to_string(next) + ".d64");
        ASSERT_EQ(pt::pack(loop, src, zeroByteNames(src, "z", 8)), 0);
        bytes = ts::readFile(loop);
        const std::size_t dirBlock = pt::offsetOf(*pt::load(loop), 18, 1);
        bytes[dirBlock] = 18;
        bytes[dirBlock + 1] = next;
        ts::writeFile(loop, bytes);
        ts::LogCapture log;
        EXPECT_EQ(pt::pack(loop, src, {"a.prg"}), 23);
        EXPECT_TRUE(log.contains("PackFiles: problem getting free dir entries\n")) << log.text();
        EXPECT_TRUE(log.contains("error: no free dir entry\n")) << log.text();
        EXPECT_EQ(ts::readFile(loop), bytes) << int(next);
    }
}

}  // namespace

namespace {

TEST(PackFiles, FortyTrackImagesUseTracks36To40) {
    for (std::int32_t layout : {2, 3}) {
        SCOPED_TRACE(layout);
        pt::SettingsGuard guard;
        ts::TempDir dir;
        ts::loadDefaultSettings(dir);
        NewImageSettings.fortyTracks = 1;
        NewImageSettings.fortyTrackType = layout;
        const std::string src = ts::mkdirIn(dir, "src");
        const Bytes big = ts::randomBytes(700 * 254, 3);
        pt::writeSources(src, {{"big.prg", big}});
        const std::string image = dir / "forty.d64";
        ASSERT_EQ(pt::pack(image, src, {"big.prg"}), 0);
        EXPECT_EQ(ts::readFile(image).size(), 196608u);
        auto info = pt::load(image);
        EXPECT_EQ(info->fortyTrackType, layout);
        EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 749 - 700);
        const pt::Chain chain = pt::chainOf(*info, pt::entries(*info)[0]);
        EXPECT_EQ(chain.data, big);
        int high = 0;
        for (auto [t, s] : chain.blocks) high += t > 35;
        EXPECT_EQ(high, 700 - 664);

        ASSERT_EQ(pt::remove(image, {"big.prg"}), 0);
        EXPECT_EQ(getFreeDataBlocksOnDisk(*pt::load(image)), 749);
        NewImageSettings.fortyTrackType = 0;
    }
}


// 42-track D64s as VICE extends them: every track is read (files on tracks 41
// and 42, with and without the 802 error bytes); written where the BAM says
// how it keeps tracks 41-42 (SpeedDOS's run on at 212-219, as VICE keeps
// it), else read only.
TEST(PackFiles, FortyTwoTrackImagesReadWholeAndWriteWhereTheBamDescribesThem) {
    struct Row {
        const char* what;
        std::int32_t layout;
        bool errorBytes;
        int rc;
    };
    const Row rows[] = {{"SpeedDOS run on", 2, false, 0}, {"SpeedDOS run on, error bytes", 2, true, 0}, {"DolphinDOS", 3, false, 24}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        pt::SettingsGuard guard;
        ts::TempDir dir;
        ts::loadDefaultSettings(dir);
        NewImageSettings.fortyTracks = 1;
        NewImageSettings.fortyTrackType = row.layout;
        const std::string src = ts::mkdirIn(dir, "src");
        const Bytes t41 = ts::randomBytes(400, 5), t42 = ts::randomBytes(100, 6), big = ts::randomBytes(760 * 254, 7);
        pt::writeSources(src, {{"a.prg", ts::randomBytes(700, 1)}, {"big.prg", big}});
        const std::string image = dir / "vice.d64";
        ASSERT_EQ(pt::pack(image, src, {"a.prg"}), 0);
        NewImageSettings.fortyTrackType = 0;
        ts::RawImage raw {1, 42, ts::readFile(image), row.errorBytes};
        raw.data.resize(205312 + (row.errorBytes ? 802 : 0), 1);
        std::fill(raw.data.begin() + 196608, raw.data.begin() + 205312, 0);
        ts::putEntry(raw, 18, 1, 1, 0x82, "T41", 41, 0, 2);
        ts::putChain(raw, {{41, 0}, {41, 1}}, t41);
        ts::putEntry(raw, 18, 1, 2, 0x82, "T42", 42, 0, 1);
        ts::putChain(raw, {{42, 0}}, t42);
        if (row.layout == 2) {
            const std::uint8_t entries[8] = {15, 0xFC, 0xFF, 0x01, 16, 0xFE, 0xFF, 0x01};
            std::memcpy(ts::block(raw, 18, 0) + 212, entries, 8);
        }
        if (row.errorBytes) raw.data[205312 + static_cast<std::size_t>(ts::blockIndex(raw, 42, 0))] = 5;  // 23
        ts::save(raw, image);
        ts::TempDir out;
        const auto results = ts::extractAll(image, out.path);
        ASSERT_EQ(results.size(), 3u);
        EXPECT_EQ(results[1], std::make_pair(std::string("t41.prg"), 0));
        EXPECT_EQ(ts::readFile(out / "t41.prg"), t41);
        EXPECT_EQ(results[2].second, row.errorBytes ? 18 : 0);
        EXPECT_TRUE(row.errorBytes || ts::readFile(out / "t42.prg") == t42);

        ts::LogCapture log;
        EXPECT_EQ(pt::pack(image, src, {"big.prg"}), row.rc);
        const Bytes after = ts::readFile(image);
        if (row.rc != 0) {
            EXPECT_EQ(after, raw.data);
            EXPECT_TRUE(log.contains("PackFiles: unknown D64 42 track format -> read only\n")) << log.text();
            EXPECT_EQ(pt::remove(image, {"t41.prg"}), 24);
            EXPECT_EQ(ts::readFile(image), raw.data);
            continue;
        }
        ASSERT_EQ(after.size(), raw.data.size());
        EXPECT_TRUE(std::equal(after.begin() + 205312, after.end(), raw.data.begin() + 205312)) << "error bytes kept";
        auto info = pt::load(image);
        EXPECT_EQ(getFreeDataBlocksOnDisk(*info), 749 - 3 + 15 + 16 - 760);
        const pt::Chain chain = pt::chainOf(*info, *pt::findEntry(pt::entries(*info), "BIG"));
        EXPECT_EQ(chain.data, big);
        int high = 0;
        for (auto [t, s] : chain.blocks) high += t > 40;
        EXPECT_EQ(high, 760 - (749 - 3));
        EXPECT_EQ(ts::list(image).files.size(), 4u);
    }
}

}  // namespace

// A file manager's "overwrite" packs a file whose name the image already
// holds: the new content replaces the old one instead of hiding behind it.
TEST(PackFiles, SameNameReplacesTheOldFile) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string image = dir / "r.d64";
    ts::writeFile(dir / "game.prg", ts::randomBytes(3000, 1));
    ts::writeFile(dir / "keep.seq", ts::randomBytes(500, 2));
    ASSERT_EQ(pt::pack(image, dir.path, {"game.prg", "keep.seq"}), 0);
    const std::int32_t freeBefore = getFreeDataBlocksOnDisk(*pt::load(image));

    const Bytes fresh = ts::randomBytes(1000, 3);
    ts::writeFile(dir / "game.prg", fresh);
    ASSERT_EQ(pt::pack(image, dir.path, {"game.prg"}), 0);
    ts::Listing l = ts::list(image);
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[0].name, "game.prg");  // the freed entry is used again
    EXPECT_EQ(l.files[0].bytes, 1000);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*pt::load(image)), freeBefore + 12 - 4);
    ts::TempDir out;
    for (const auto& r : ts::extractAll(image, out.path)) EXPECT_EQ(r.second, 0);
    EXPECT_EQ(ts::readFile(out / "game.prg"), fresh);
    EXPECT_EQ(ts::readFile(out / "keep.seq"), ts::readFile(dir / "keep.seq"));

    // The file the host shows under the name is the one replaced, even when
    // its CBM name differs ("/" is shown as "_").
    {
        auto info = pt::load(image);
        pt::entries(*info)[1].bytes[kDirFileName + 1] = '/';  // KEEP -> K/EP, shown as k_ep.seq
        ts::writeFile(image, wt::bytesOf(*info));
        ts::writeFile(dir / "k_ep.seq", ts::randomBytes(300, 8));
        ASSERT_EQ(pt::pack(image, dir.path, {"k_ep.seq"}), 0);
        std::vector<std::string> names;
        for (const ts::Listed& f : ts::list(image).files) names.push_back(f.name);
        EXPECT_EQ(names, (std::vector<std::string>{"game.prg", "k ep.seq"}));
        ts::writeFile(dir / "keep.seq", ts::readFile(dir / "k_ep.seq"));
    }

    // A GEOS file listed as geos.cvt is another file than geos.prg, though
    // both are PRG files named GEOS.
    ts::writeFile(dir / "g.cvt", ts::convertFile("GEOS", 0x82, false, {ts::randomBytes(300, 9)}, 10));
    ts::writeFile(dir / "geos.prg", ts::randomBytes(20, 11));
    ASSERT_EQ(pt::pack(dir / "g.d64", dir.path, {"g.cvt"}), 0);
    ASSERT_EQ(pt::pack(dir / "g.d64", dir.path, {"geos.prg"}), 0);
    EXPECT_EQ(ts::list(dir / "g.d64").files.size(), 2u);

    // A SEQ file of the same name is another file; a full disk still takes a
    // replacement that fits into the blocks it frees.
    ts::writeFile(dir / "game.seq", ts::randomBytes(10, 4));
    ASSERT_EQ(pt::pack(image, dir.path, {"game.seq"}), 0);
    EXPECT_EQ(ts::list(image).files.size(), 3u);
    const std::int32_t room = getFreeDataBlocksOnDisk(*pt::load(image));
    ts::writeFile(dir / "filler.prg", ts::randomBytes(static_cast<std::size_t>(room) * 254, 5));
    ASSERT_EQ(pt::pack(image, dir.path, {"filler.prg"}), 0);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*pt::load(image)), 0);
    ts::writeFile(dir / "game.prg", ts::randomBytes(1016, 6));
    EXPECT_EQ(pt::pack(image, dir.path, {"game.prg"}), 0);
    ts::writeFile(dir / "game.prg", ts::randomBytes(1017, 7));
    const Bytes before = ts::readFile(image);
    EXPECT_EQ(pt::pack(image, dir.path, {"game.prg"}), 11);
    EXPECT_EQ(ts::readFile(image), before);
    if (ts::haveTool("cc1541")) {
        std::string out2;
        EXPECT_EQ(ts::run("cc1541 -m -V " + ts::shellQuote(image), &out2), 0) << out2;
    }
}

namespace {

// The BAM only claims which blocks are free. Whatever it says of a header or
// BAM block, a directory block or a file's blocks, PackFiles never writes
// over them: every file reads back as before and the BAM is mended.
TEST(PackFiles, ALyingBamNeverCostsAFile) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    struct Lie {
        const char* what;
        const char* ext;
        std::size_t filler;  // bytes packed first, so the victim lands where the next file would go
        int files;           // files packed (8 fill a directory block: the next add grows the directory)
        std::vector<std::pair<int, int>> freed;  // blocks the BAM calls free; empty: the last file's
        std::vector<int> fullTracks;             // tracks marked full (a lie that costs nothing)
        bool relSideSector = false;              // the last file becomes a REL file, its side sector on 1/0
        std::uint8_t typeByte = 0;               // else the last file's type byte, when given
    };
    const Lie lies[] = {
        {"a file's blocks (D64)", "d64", 0, 2, {}, {}},
        {"a file's blocks on the second side (D71)", "d71", 664 * 254, 2, {}, {}},
        {"a file's blocks (D80)", "d80", 0, 2, {}, {}},
        {"a file's blocks (D82)", "d82", 0, 2, {}, {}},
        {"a file's blocks (D81)", "d81", 0, 2, {}, {}},
        {"the BAM block 38/0 (D80)", "d80", 0, 2, {{38, 0}}, {}},
        // 18/2 is really free; growing from 18/1 the search comes to 18/0 first.
        {"the header 18/0, directory growing (D64)", "d64", 0, 8, {{18, 0}, {18, 2}}, {18}},
        {"a directory block 18/1, directory growing (D64)", "d64", 0, 8, {{18, 1}}, {}},
        {"the BAM block 53/0 of the second side (D71)", "d71", 0, 2, {{53, 0}}, {}},
        {"the BAM block 40/1 (D81)", "d81", 0, 2, {{40, 1}}, {}},
        // Adding from track 1 comes to 1/0 first.
        {"a REL file's side sector (D64)", "d64", 0, 2, {{1, 0}}, {}, true},
        // Type 5 is a partition only on a 1581: here a file whose chain extraction follows.
        {"a locked file of type 5 (D64)", "d64", 0, 2, {}, {}, false, 0xC5},
    };
    const std::string src = ts::mkdirIn(dir, "src");
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        const std::string image = dir / (std::string("lie.") + lie.ext);
        std::remove(image.c_str());
        if (lie.filler) {
            ts::writeFile(src + "/filler.prg", ts::randomBytes(lie.filler, 1));
            ASSERT_EQ(pt::pack(image, src, {"filler.prg"}), 0);
        }
        std::vector<std::string> names;
        for (int i = 0; i < lie.files; ++i) {
            names.push_back("f" + std::to_string(i) + ".prg");
            ts::writeFile(src + "/" + names.back(), ts::randomBytes(700, static_cast<std::uint32_t>(i + 2)));
        }
        ASSERT_EQ(pt::pack(image, src, names), 0);
        auto info = pt::load(image);
        std::vector<std::pair<int, int>> freed = lie.freed;
        if (freed.empty()) freed = pt::chainOf(*info, pt::entries(*info).back()).blocks;
        for (int t : lie.fullTracks) wt::fillTrack(*info, t);
        NewImageSettings.writeFromTrack1 = lie.relSideSector;
        if (lie.typeByte) pt::entries(*info).back().bytes[kDirEntryType] = lie.typeByte;
        if (lie.relSideSector) {
            std::uint8_t* rel = pt::entries(*info).back().bytes;
            rel[kDirEntryType] = 0x84;
            rel[kDirSideSectorTrack] = 1;
            rel[kDirSideSectorSector] = 0;
            rel[kDirSideSectorSector + 1] = 254;  // record length
            std::uint8_t* side = wt::blockOf(*info, 1, 0);
            side[0] = 0;
            side[1] = 0x11;
            markSectorUsed(*info, 1, 0);
        }
        for (const auto& [t, s] : freed)
            if (!IsSectorFree(*info, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s)))
                markSectorFree(*info, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s));
        ts::writeFile(image, wt::bytesOf(*info));
        const Bytes lying = ts::readFile(image);
        ts::TempDir before;
        for (const auto& r : ts::extractAll(image, before.path)) ASSERT_EQ(r.second, 0) << r.first;

        ts::writeFile(src + "/new.prg", ts::randomBytes(5000, 99));
        ts::writeFile(src + "/new2.prg", ts::randomBytes(300, 98));
        ts::LogCapture log;
        ASSERT_EQ(pt::pack(image, src, {"new.prg", "new2.prg"}), 0);
        const std::string block = std::to_string(freed[0].first) + ":" + std::to_string(freed[0].second);
        EXPECT_TRUE(log.contains("BAM marks used block " + block + " free\n")) << log.text();
        ts::TempDir after;
        for (const auto& r : ts::extractAll(image, after.path)) EXPECT_EQ(r.second, 0) << r.first;
        for (const std::string& name : ts::listDir(before.path))
            EXPECT_EQ(ts::readFile(after / name), ts::readFile(before / name)) << name;
        EXPECT_EQ(ts::readFile(after / "new.prg"), ts::readFile(src + "/new.prg"));
        auto now = pt::load(image);
        for (const auto& [t, s] : freed)
            EXPECT_FALSE(IsSectorFree(*now, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s))) << t << ":" << s;
        // The header keeps its title and ID.
        const std::size_t h = pt::offsetOf(*now, now->headerTrack, now->headerSector);
        const Bytes written = ts::readFile(image);
        EXPECT_TRUE(std::equal(lying.begin() + static_cast<long>(h) + 144, lying.begin() + static_cast<long>(h) + 166,
                               written.begin() + static_cast<long>(h) + 144));
    }
}

}  // namespace

namespace {

// Only the file the host showed under the incoming name is replaced. Any
// other file of the CBM name stays and the new one goes in beside it under
// a name of its own; a locked file the host names fails the whole call
// before anything is written or moved.
TEST(PackFiles, OnlyTheFileTheHostNamedIsReplaced) {
    struct Case {
        const char* what;
        bool locked;                   // GAME on the image is locked (listed as "game")
        std::vector<std::string> names;
        int rc;
        std::vector<std::pair<std::string, std::string>> after;  // listed name, source of its bytes ("" = as before)
    };
    const Case cases[] = {
        {"a .cvt naming a locked file inside", true, {"evil.cvt"}, 0,
         {{"game", ""}, {"notes for projec.seq", ""}, {"GAME-2.cvt", "evil.cvt"}}},
        {"a .cvt naming another file inside", false, {"innocent.cvt"}, 0,
         {{"game.prg", ""}, {"notes for projec.seq", ""}, {"GAME-2.cvt", "innocent.cvt"}}},
        {"two names cut to one CBM name", false, {"notes_for_project_part2.txt", "notes_for_project_part3.txt"}, 0,
         {{"game.prg", ""},
          {"notes for projec.seq", ""},
          {"notes for proj-2.seq", "notes_for_project_part2.txt"},
          {"notes for proj-3.seq", "notes_for_project_part3.txt"}}},
        {"the host names a locked file", true, {"x.prg", "game"}, 24, {{"game", ""}, {"notes for projec.seq", ""}}},
        {"a source listed twice", false, {"x.prg", "game.prg", "x.prg"}, 0,
         {{"game.prg", "game.prg"}, {"notes for projec.seq", ""}, {"x.prg", "x.prg"}}},
    };
    const std::map<std::string, Bytes> sources = {
        {"game.prg", ts::randomBytes(900, 1)},
        {"game", ts::randomBytes(300, 2)},
        {"x.prg", ts::randomBytes(700, 3)},
        {"notes_for_project_part2.txt", ts::randomBytes(500, 4)},
        {"notes_for_project_part3.txt", ts::randomBytes(400, 5)},
        {"evil.cvt", ts::convertFile("GAME", 0xC2, false, {ts::randomBytes(100, 6)}, 7)},
        {"innocent.cvt", ts::convertFile("GAME", 0x82, true, {ts::randomBytes(600, 8)}, 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ts::TempDir dir;
        ts::loadDefaultSettings(dir);
        const std::string src = ts::mkdirIn(dir, "src");
        const std::string image = dir / "only.d64";
        // Moved in: the image holds the only copy.
        const std::map<std::string, Bytes> old = {{"game.prg", ts::randomBytes(2000, 10)},
                                                  {"notes_for_project_part1.txt", ts::randomBytes(800, 11)}};
        pt::writeSources(src, old);
        ASSERT_EQ(pt::pack(image, src, {"game.prg", "notes_for_project_part1.txt"}, 1), 0);
        if (c.locked) {
            auto info = pt::load(image);
            pt::entries(*info)[0].bytes[kDirEntryType] |= kTypeLocked;
            ts::writeFile(image, wt::bytesOf(*info));
        }
        pt::writeSources(src, sources);
        const Bytes before = ts::readFile(image);
        EXPECT_EQ(pt::pack(image, src, c.names, 1), c.rc);
        for (const std::string& name : c.names) EXPECT_EQ(ts::exists(src + "/" + name), c.rc != 0) << name;
        EXPECT_TRUE(c.rc == 0 || ts::readFile(image) == before);

        ts::TempDir out;
        std::vector<std::pair<std::string, std::string>> listed;
        for (const auto& [name, rc] : ts::extractAll(image, out.path)) {
            EXPECT_EQ(rc, 0) << name;
            listed.emplace_back(name, "");
        }
        EXPECT_EQ(listed.size(), c.after.size());
        for (std::size_t i = 0; i < listed.size() && i < c.after.size(); ++i) {
            const auto& [name, from] = c.after[i];
            EXPECT_EQ(listed[i].first, name);
            Bytes want = !from.empty() ? sources.at(from) : i == 0 ? old.at("game.prg")
                                                                    : old.at("notes_for_project_part1.txt");
            // A Convert file carries the name the GEOS file got (in ASCII, as listed).
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cvt") == 0) {
                const std::string cbm = name.substr(0, name.size() - 4);
                std::memset(want.data() + 3, 0xA0, 16);
                std::memcpy(want.data() + 3, cbm.data(), cbm.size());
            }
            EXPECT_TRUE(ts::readFile(out / listed[i].first) == want) << name;
        }
        std::string problems;
        EXPECT_EQ(validateImage(image.c_str(), false, problems), 0) << problems;
    }
}

// A directory whose link is bent into a file's block would take new entries
// there: the add fails before anything is written, naming the block and the
// file, and validation reports the block as shared.
TEST(PackFiles, NoEntryGoesIntoABlockAFileUses) {
    struct Case {
        const char* what;
        std::string image;  // name in the temporary folder
        int track, sector;  // the bent link's block (the directory's last), or an entry's
        int at;             // the link's offset in it
        int toTrack, toSector;
        std::string file;   // empty: the add goes through
    };
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    const std::string xmas = ts::sharedFile("realimages/xmas89a.d64");  // a real disk, where present
    if (!xmas.empty()) ts::writeFile(dir / "xmas89a.d64", ts::readFile(xmas));
    std::vector<std::string> nine = zeroByteNames(src, "z", 7);
    ts::writeFile(src + "/big.prg", ts::randomBytes(3000, 1));
    nine.insert(nine.begin(), "big.prg");
    ASSERT_EQ(pt::pack(dir / "made.d81", src, nine), 0);
    ts::writeFile(dir / "art.d81", ts::readFile(dir / "made.d81"));
    pt::writeSources(src, {{"a.prg", ts::randomBytes(10, 2)}, {"b.prg", ts::randomBytes(20, 3)}});
    const Case cases[] = {
        {"a real D64, 18:16 bent to 8:2", "xmas89a.d64", 18, 16, 0, 8, 2, "Twisted Xmas.prg"},
        {"a D81 whose one full block links into a file", "made.d81", 40, 3, 0, 39, 0, "big.prg"},
        {"an entry of 0 blocks that reads the header (directory art)", "art.d81", 40, 3, 32 + 3, 40, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.image == "xmas89a.d64" && xmas.empty()) continue;
        const std::string image = dir / c.image;
        auto info = pt::load(image);
        std::uint8_t* link = pt::blockOf(*info, c.track, c.sector) + c.at;
        link[0] = static_cast<std::uint8_t>(c.toTrack);
        link[1] = static_cast<std::uint8_t>(c.toSector);
        const std::string block = std::to_string(c.toTrack) + ":" + std::to_string(c.toSector);
        if (c.file.empty()) link[kDirBlockCount - kDirStartTrack] = 0;  // an entry of 0 blocks
        ts::writeFile(image, wt::bytesOf(*info));
        const Bytes bent = ts::readFile(image);
        ts::LogCapture log;
        if (c.file.empty()) {
            EXPECT_EQ(pt::pack(image, src, {"a.prg", "b.prg"}), 0) << log.text();
            continue;
        }
        EXPECT_EQ(pt::pack(image, src, {"a.prg", "b.prg"}, 1), 12);
        EXPECT_TRUE(log.contains("PackFiles: block " + block + " of the directory is also used by <" + c.file +
                                 "> -> nothing added\n"))
            << log.text();
        EXPECT_EQ(ts::readFile(image), bent);
        EXPECT_TRUE(ts::exists(src + "/a.prg"));
        std::string problems;
        EXPECT_EQ(validateImage(image.c_str(), false, problems), 13);
        // A run of shared sectors of a track is one range ("blocks 8:1-2 are used by ...").
        bool named = problems.find("block " + block + " is used by the directory and by") != std::string::npos;
        for (int first = 0; first <= c.toSector && !named; ++first)
            for (int last = c.toSector; last < 40 && !named; ++last)
                named = problems.find("blocks " + std::to_string(c.toTrack) + ":" + std::to_string(first) + "-" +
                                      std::to_string(last) + " are used by the directory and by") != std::string::npos;
        EXPECT_TRUE(named) << problems;
    }
}


// Files addressed by their entries' keys (what the mount and a conversion
// use): a change of content stays in its entry under its exact name and
// type, a second store replaces the first, a rename replaces the file of
// the resulting name, a key whose entry changed names nothing, and a
// missing image is never made without being asked for.
TEST(PackFiles, EntriesByKeyKeepTheirIdentity) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src") + "/";
    const std::string image = dir / "keys.d64";
    pt::writeSources(src, {{"a.prg", ts::randomBytes(300, 1)}, {"b.prg", ts::randomBytes(20, 2)},
                           {"c.prg", ts::randomBytes(600, 3)}, {"d.prg", ts::randomBytes(9, 4)}});
    ASSERT_EQ(pt::pack(image, src, {"a.prg", "b.prg", "c.prg", "d.prg"}), 0);
    {
        // A USR file with a name no host name keeps, and an unclosed one.
        auto info = pt::load(image);
        auto e = pt::entries(*info);
        e[2].bytes[kDirEntryType] = kTypeUsr;
        std::memcpy(e[2].bytes + kDirFileName, "PART 1/2", 8);
        e[3].bytes[kDirEntryType] = kTypePrg & 7;
        ts::writeFile(image, wt::bytesOf(*info));
    }
    auto keys = [&] {
        std::vector<std::string> out;
        std::vector<char> text(65536);
        int size = static_cast<int>(text.size());
        EXPECT_EQ(ListEntriesText(image.c_str(), text.data(), &size), 0);
        for (const std::string& line : pt::lines(text.data()))
            if (line.rfind("entry\t", 0) == 0) out.push_back(line.substr(6, line.find('\t', 6) - 6));
        return out;
    };
    auto write = [&](const std::string& lines, std::string* key = nullptr, int flags = 0) {
        std::vector<char> out(4096);
        int size = static_cast<int>(out.size());
        const int rc = WriteEntriesText(image.c_str(), src.c_str(), lines.c_str(), flags, out.data(), &size);
        if (key) *key = pt::lines(out.data()).empty() ? "" : pt::lines(out.data())[0];
        return rc;
    };
    std::vector<std::string> k = keys();
    ASSERT_EQ(k.size(), 4u);
    EXPECT_NE(k[2].find(":83:5041525420312F32A0"), std::string::npos) << k[2];

    ts::writeFile(src + "new1", ts::randomBytes(700, 5));
    ts::writeFile(src + "new2", ts::randomBytes(40, 6));
    std::string key;
    EXPECT_EQ(write("store\t" + k[2] + "\tnew1", &key), 0);
    EXPECT_EQ(key, k[2]);  // same entry, exact name, same type
    EXPECT_EQ(write("store\t" + k[2] + "\tnew2"), 0);
    EXPECT_EQ(write("store\t" + k[3] + "\tnew1", &key), 0);
    EXPECT_NE(key.find(":82:"), std::string::npos) << key;  // written whole: closed
    EXPECT_EQ(write("store\t" + k[3] + "\tnew1"), 22);       // that key named the unclosed file
    EXPECT_EQ(write("rename\t" + k[0] + "\tb.prg", &key), 0);
    EXPECT_EQ(write("delete\t" + k[0]), 22);
    EXPECT_EQ(write("exact\tC1\t4E6F746573A0A0A0A0A0A0A0A0A0A0A0\tnew2"), 0);
    EXPECT_EQ(write("exact\t81\t4E6F746573A0A0A0A0A0A0A0A0A0A0A0\tnew2"), 16);  // that name and type are there
    k = keys();
    ASSERT_EQ(k.size(), 4u);
    EXPECT_EQ(write("store\t" + k[1] + "\tnew1"), 24);  // locked, in the entry B's old file left free
    EXPECT_EQ(write("add\tnew1\nbogus"), 24);                  // one bad line: nothing written

    ts::TempDir out;
    const auto got = ts::extractAll(image, out.path);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].first, "b.prg");
    EXPECT_EQ(ts::readFile(out / "b.prg"), ts::readFile(src + "a.prg"));
    EXPECT_EQ(got[1].first, "nOTES");  // locked: no type extension
    EXPECT_EQ(ts::readFile(out / got[2].first), ts::readFile(src + "new2")) << got[2].first;
    EXPECT_EQ(ts::readFile(out / got[3].first), ts::readFile(src + "new1")) << got[3].first;
    std::string problems;
    EXPECT_EQ(validateImage(image.c_str(), kValidateStrict, problems), 0) << problems;

    const std::string gone = dir / "gone.d64";
    std::vector<char> buffer(256);
    int size = static_cast<int>(buffer.size());
    EXPECT_EQ(WriteEntriesText(gone.c_str(), src.c_str(), "add\tnew1", 0, buffer.data(), &size), 15);
    EXPECT_FALSE(ts::exists(gone));
    size = static_cast<int>(buffer.size());
    EXPECT_EQ(WriteEntriesText(gone.c_str(), src.c_str(), "add\tnew1", 1, buffer.data(), &size), 0);
    EXPECT_EQ(ts::list(gone).files.size(), 1u);
}

// Packing with paths (PK_PACK_SAVE_PATHS, or a SubPath) puts files into the
// image's folders: a missing native subdirectory is made as c1541's md makes
// it, a CMD FD image's top files go into its default partition, a name whose
// first folder is no partition adds nothing (24), and on a 1581 disk, which
// has no folders packing makes, the file goes in by its own name.
TEST(PackFiles, PathsGoIntoTheImagesFolders) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    for (const char* sub : {"sub", "made", "made/deep", "partition 1", "partition 1/new", "inner", "none"})
        ts::mkdirIn(dir, std::string("src/") + sub);
    for (const char* name : {"a.prg", "sub/a.prg", "made/deep/x.seq", "partition 1/new/b.prg", "inner/z.prg", "none/c.prg"})
        ts::writeFile(src + "/" + name, ts::randomBytes(600, static_cast<std::uint32_t>(std::strlen(name))));
    const Bytes tree = ts::makeNative(2, {{"top", 0x82, Bytes(300, 1)}, {"sub/deeper/two", 0x82, Bytes(40, 2)}});
    Bytes subDisks = ts::makeD81({});
    ts::putSubDisk(subDisks, 50, 3, "inner", {});
    struct Row {
        const char* file;
        Bytes bytes;
        const char* subPath;
        std::vector<std::string> names;
        int rc;
        std::vector<std::string> added;  // listed after, beside what was there
    };
    const std::vector<Row> rows = {
        {"paths.dnp", tree, nullptr, {"sub/a.prg", "made/deep/x.seq", "a.prg"}, 0,
         {"sub/a.prg", "made", "made/deep", "made/deep/x.seq", "a.prg"}},
        {"subpath.dnp", tree, "sub/deeper", {"a.prg"}, 0, {"sub/deeper/a.prg"}},
        {"fd.d1m", ts::makeFdImage(8, {{1, "PARTITION 1", ts::makeNative(12, {})}}), nullptr,
         {"partition 1/new/b.prg", "a.prg"}, 0, {"partition 1/new", "partition 1/new/b.prg", "partition 1/a.prg"}},
        {"nopart.d1m", ts::makeFdImage(8, {{1, "PARTITION 1", ts::makeNative(12, {})}}), nullptr, {"sub/a.prg"}, 24, {}},
        {"sub.d81", subDisks, nullptr, {"inner/z.prg", "none/c.prg"}, 0, {"inner/z.prg", "c.prg"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string image = dir / row.file;
        ts::writeFile(image, row.bytes);
        std::vector<std::string> before;
        for (const ts::Listed& f : ts::list(image).files) before.push_back(f.name);
        auto img = pt::cstr(image), sub = pt::cstr(row.subPath ? row.subPath : ""), from = pt::cstr(src + "/");
        auto list = pt::zeroList(row.names);
        ASSERT_EQ(PackFiles(img.data(), row.subPath ? sub.data() : nullptr, from.data(), list.data(), PK_PACK_SAVE_PATHS),
                  row.rc);
        if (row.rc != 0) {
            EXPECT_EQ(ts::readFile(image), row.bytes);
            continue;
        }
        std::vector<std::string> after;
        for (const ts::Listed& f : ts::list(image).files)
            if (std::find(before.begin(), before.end(), f.name) == before.end()) after.push_back(f.name);
        EXPECT_EQ(after, row.added);
        ts::TempDir out;
        for (const auto& r : ts::extractAll(image, out.path)) EXPECT_EQ(r.second, 0) << r.first;
        const std::string source = row.names.back(), listed = row.added.back();
        EXPECT_EQ(ts::readFile(out / listed), ts::readFile(src + "/" + source)) << listed;
        std::string problems;
        EXPECT_EQ(validateImage(image.c_str(), kValidateStrict, problems), 0) << problems;
    }
    // The new subdirectory as the layouts give c1541's: a DIR entry of two
    // blocks, a header naming its parent's header and its own entry.
    const Bytes made = ts::readFile(dir / "paths.dnp");
    auto at = [&](int t, int s) { return made.data() + ((t - 1) * 256 + s) * 256; };
    const std::uint8_t* e = at(1, 34) + 32 * 2;  // top, sub, made
    ASSERT_EQ(e[2], 0x86);
    EXPECT_EQ(e[30] | e[31] << 8, 2);
    const std::uint8_t* h = at(e[3], e[4]);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 4), 5), "MADE\xA0");
    EXPECT_EQ(Bytes(h + 0x20, h + 0x27), (Bytes {e[3], e[4], 1, 1, 1, 34, 2 * 32 + 2}));
    EXPECT_EQ(at(h[0], h[1])[1], 0xFF);
    // A folder alone (the mount's mkdir): made in a native partition, refused
    // in a sub-disk and at a D?M's top, where no program makes folders.
    const std::pair<const char*, int> folders[] = {{"paths.dnp\tmade/new", 0}, {"sub.d81\tinner/new", 24},
                                                   {"fd.d1m\tpartition 2", 24}};
    for (const auto& [line, rc] : folders) {
        const std::string text = line, image = dir / text.substr(0, text.find('\t'));
        const Bytes before = ts::readFile(image);
        std::vector<char> keys(256);
        int size = static_cast<int>(keys.size());
        EXPECT_EQ(WriteEntriesText(image.c_str(), "", ("folder" + text.substr(text.find('\t'))).c_str(), 0, keys.data(), &size), rc) << line;
        EXPECT_TRUE(rc == 0 || ts::readFile(image) == before) << line;
    }
    const ts::Listing made2 = ts::list(dir / "paths.dnp");
    EXPECT_TRUE(std::any_of(made2.files.begin(), made2.files.end(),
                            [](const ts::Listed& f) { return f.name == "made/new" && f.attr == 040755; }));
}

}  // namespace
