// DeleteFiles through the export: blocks released, entries cleared, the search
// rules, erasing, and every failure leaving the image file as it was.
#include <sys/stat.h>

#include <algorithm>

#include "core/new_image_settings.h"
#include "platform/platform.h"
#include "tests/pack_support.h"
#include "tests/writer_support.h"

namespace {

using pt::Bytes;

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_ino;
}

// Bytes of the image that differ between two versions, as offsets.
std::vector<std::size_t> changedOffsets(const Bytes& a, const Bytes& b) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) out.push_back(i);
    return out;
}

TEST(DeleteFiles, ReleasesTheChainClearsTheEntryAndKeepsTheRest) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    const Bytes game = ts::randomBytes(2000, 1);
    pt::writeSources(src, {{"other.seq", ts::randomBytes(900, 2)}, {"game.prg", game}});

    // An image with error bytes: they are written back as they were read.
    NewImageSettings.includeErrorInfo = 1;
    const std::string image = dir / "del.d64";
    ASSERT_EQ(pt::pack(image, src, {"other.seq"}), 0);
    Bytes withErrors = ts::readFile(image);
    withErrors[174848 + 400] = 1;  // "no error" byte of a block no file uses
    ts::writeFile(image, withErrors);
    const Bytes beforeAdd = ts::readFile(image);
    ASSERT_EQ(pt::pack(image, src, {"game.prg"}), 0);
    const Bytes afterAdd = ts::readFile(image);
    auto added = pt::load(image);
    const auto addedEntries = pt::entries(*added);
    const pt::Entry* entry = pt::findEntry(addedEntries, pt::petscii("game"));
    ASSERT_NE(entry, nullptr);
    const pt::Chain chain = pt::chainOf(*added, *entry);
    ASSERT_EQ(chain.blocks.size(), 8u);
    const std::size_t entryOffset = pt::offsetOf(*added, entry->track, entry->sector) + 32 * entry->index;

    ASSERT_EQ(pt::remove(image, {"game.prg"}), 0);
    const Bytes afterDelete = ts::readFile(image);
    auto deleted = pt::load(image);
    ts::writeFile(dir / "before.d64", beforeAdd);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*deleted), getFreeDataBlocksOnDisk(*pt::load(dir / "before.d64")));
    EXPECT_EQ(getFreeDataBlocksOnDisk(*deleted), getFreeDataBlocksOnDisk(*added) + 8);
    // The BAM is back where it was before the add; only the entry (bytes 2-31)
    // differs from the image after the add; error bytes and data blocks stay.
    const std::size_t bam = pt::offsetOf(*deleted, 18, 0);
    EXPECT_TRUE(std::equal(afterDelete.begin() + static_cast<long>(bam), afterDelete.begin() + static_cast<long>(bam) + 256,
                           beforeAdd.begin() + static_cast<long>(bam)));
    for (std::size_t offset : changedOffsets(afterAdd, afterDelete))
        EXPECT_TRUE((offset >= bam && offset < bam + 256) || (offset >= entryOffset + 2 && offset < entryOffset + 32))
            << offset;
    for (std::size_t k = 2; k < 32; ++k) EXPECT_EQ(afterDelete[entryOffset + k], 0) << k;
    EXPECT_TRUE(std::equal(afterDelete.end() - 683, afterDelete.end(), beforeAdd.end() - 683));
    for (auto [t, s] : chain.blocks)
        EXPECT_EQ(IsSectorFree(*deleted, static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(s)), 1);
    EXPECT_EQ(pt::chainOf(*deleted, *entry).ok, true);  // the blocks keep their content
    EXPECT_EQ(pt::entries(*deleted).size(), 1u);
    EXPECT_EQ(ts::list(image).files.size(), 1u);

    // With eraseDeletedSectors every block of the file reads as zeros.
    ts::loadSettings(dir, "[common]\nlogLevel=3\neraseDeletedSectors=1\n");
    ASSERT_EQ(pt::pack(image, src, {"game.prg"}), 0);
    auto again = pt::load(image);
    const pt::Chain chain2 = pt::chainOf(*again, *pt::findEntry(pt::entries(*again), pt::petscii("game")));
    ASSERT_EQ(pt::remove(image, {"game.prg"}), 0);
    auto erased = pt::load(image);
    for (auto [t, s] : chain2.blocks) {
        const std::uint8_t* b = pt::blockOf(*erased, t, s);
        EXPECT_EQ(std::count(b, b + 256, 0), 256) << t << ":" << s;
    }
    ts::loadDefaultSettings(dir);
}

TEST(DeleteFiles, FindsListedFilesByExactNameAndKeepsLockedOnes) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"gameover.prg", ts::randomBytes(300, 1)},
                           {"game.prg", ts::randomBytes(300, 2)},
                           {"notes.seq", ts::randomBytes(300, 3)},
                           {"locked.prg", ts::randomBytes(300, 4)},
                           {"user.prg", ts::randomBytes(300, 5)},
                           {"empty.prg", {}}});
    const std::string image = dir / "search.d81";
    ASSERT_EQ(pt::pack(image, src, {"gameover.prg", "game.prg", "notes.seq", "locked.prg", "user.prg", "empty.prg"}),
              0);
    Bytes bytes = ts::readFile(image);
    {
        auto info = pt::load(image);
        const auto list = pt::entries(*info);
        bytes[pt::offsetOf(*info, list[3].track, list[3].sector) + 32 * list[3].index + 2] = 0xC2;  // locked PRG
        bytes[pt::offsetOf(*info, list[4].track, list[4].sector) + 32 * list[4].index + 2] = 0x83;  // USR
    }
    ts::writeFile(image, bytes);
    const ino_t inode = inodeOf(image);

    // Names that find nothing: the file is not rewritten at all.
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::remove(image, {"locked.prg", "user.prg", "game.usr", "game", "GAME.PRG", "gam.prg"}), 0);
        EXPECT_TRUE(log.contains("file <LOCKED.PRG> not found in archive\n")) << log.text();
        EXPECT_EQ(ts::readFile(image), bytes);
        EXPECT_EQ(inodeOf(image), inode);
    }
    // A locked file is not scratched, and the host hears of it: the call
    // fails and deletes nothing, not even the other names.
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::remove(image, {"game.prg", "locked"}), 24);
        EXPECT_TRUE(log.contains("DeleteFiles: <locked> is locked -> nothing deleted\n")) << log.text();
        EXPECT_EQ(ts::readFile(image), bytes);
    }
    // game.prg deletes GAME and leaves GAMEOVER; the second game.prg finds
    // nothing; a USR file goes by its listed name as any file does.
    {
        ts::LogCapture log;
        EXPECT_EQ(pt::remove(image, {"game.prg", "game.prg", "notes.seq", "empty.prg", "user.usr"}), 0);
        EXPECT_TRUE(log.contains("file <GAME.PRG> not found in archive\n")) << log.text();
    }
    auto info = pt::load(image);
    std::vector<std::string> left;
    for (const pt::Entry& e : pt::entries(*info)) left.push_back(e.name);
    EXPECT_EQ(left, (std::vector<std::string>{pt::petscii("gameover"), pt::petscii("locked")}));

    // With appendPrgExtension a SEQ file is listed as .prg, and goes by that name.
    ts::writeFile(src + "/seqfile.seq", ts::randomBytes(10, 6));
    ASSERT_EQ(pt::pack(image, src, {"seqfile.seq"}), 0);
    ts::loadSettings(dir, "[common]\nlogLevel=3\nappendPrgExtension=1\n");
    EXPECT_EQ(pt::remove(image, {"seqfile.prg"}), 0);
    EXPECT_EQ(ts::list(image).files.size(), 2u);
    ts::loadDefaultSettings(dir);
}

TEST(DeleteFiles, FailuresLeaveTheImageFileAsItWas) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(1000, 1)}, {"b.prg", ts::randomBytes(1000, 2)}});
    const std::string good = dir / "good.d64";
    ASSERT_EQ(pt::pack(good, src, {"a.prg", "b.prg"}), 0);
    auto info = pt::load(good);
    const auto list = pt::entries(*info);
    const pt::Chain chainB = pt::chainOf(*info, list[1]);
    const Bytes goodBytes = ts::readFile(good);

    // b.prg's chain leaves the image; its last block links back to its first.
    Bytes broken = goodBytes;
    const std::size_t lastB = pt::offsetOf(*info, chainB.blocks.back().first, chainB.blocks.back().second);
    broken[lastB] = 99;
    broken[lastB + 1] = 0;
    ts::writeFile(dir / "broken.d64", broken);
    Bytes looping = goodBytes;
    looping[lastB] = static_cast<std::uint8_t>(chainB.blocks.front().first);
    looping[lastB + 1] = static_cast<std::uint8_t>(chainB.blocks.front().second);
    ts::writeFile(dir / "looping.d64", looping);
    // A directory that links back to itself: the search ends, nothing found.
    Bytes loopDir = goodBytes;
    const std::size_t dirBlock = pt::offsetOf(*info, 18, 1);
    loopDir[dirBlock] = 18;
    loopDir[dirBlock + 1] = 1;
    ts::writeFile(dir / "loopdir.d64", loopDir);
    // A block of the chain flagged bad by its error byte.
    Bytes bad = goodBytes;
    bad.resize(175531, 0);
    bad[174848 + static_cast<std::size_t>(getBlockIndex(*info, static_cast<std::uint8_t>(chainB.blocks[1].first),
                                                         static_cast<std::uint8_t>(chainB.blocks[1].second)))] = 5;
    ts::writeFile(dir / "bad.d64", bad);
    ts::writeFile(dir / "small.d64", Bytes(100000, 0));
    ts::writeFile(dir / "forty.d64", Bytes(196608, 0));
    ts::writeFile(dir / "tape.t64", Bytes(1000, 0));
    const auto before = pt::snapshot(dir.path);

    struct Case {
        std::string what, image;
        std::vector<std::string> names;
        long writeFailure;
        int rc;
        std::string line;
    };
    const Case cases[] = {
        {"chain leaves the image", dir / "broken.d64", {"a.prg", "b.prg"}, -1, 18,
         "DeleteFiles: bad GetDiskSectorAddr call (99:0)\n"},
        {"chain runs in a circle", dir / "looping.d64", {"a.prg", "b.prg"}, -1, 18, ""},
        {"bad block in the chain", dir / "bad.d64", {"a.prg", "b.prg"}, -1, 18, "DeleteFiles: bad GetDiskSectorAddr call"},
        {"directory runs in a circle", dir / "loopdir.d64", {"missing.prg"}, -1, 0, "not found in archive"},
        {"tape image", dir / "tape.t64", {"a.prg"}, -1, 24, ""},
        {"no extension", dir / "image", {"a.prg"}, -1, 24, ""},
        {"missing image", dir / "missing.d64", {"a.prg"}, -1, 15, "error CreateFile"},
        {"image too small", dir / "small.d64", {"a.prg"}, -1, 14, "unknown disk type\n"},
        {"unknown forty-track layout", dir / "forty.d64", {"a.prg"}, -1, 24,
         "DeleteFiles: unknown D64 40 track format -> read only\n"},
        {"cannot create", good, {"a.prg"}, 0, 19, "error: fopen (write image) failed\n"},
        {"short write", good, {"a.prg"}, 4096, 19, "error: fwrite (write image) wrote less (4096 != 174848)\n"},
    };
    for (int erase = 0; erase < 2; ++erase) {
        ts::loadSettings(dir, erase ? "[common]\nlogLevel=3\neraseDeletedSectors=1\n" : "[common]\nlogLevel=3\n");
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what + (erase ? " (erasing)" : ""));
            ts::LogCapture log;
            if (c.writeFailure >= 0) platform::simulateWriteFailure(c.writeFailure);
            EXPECT_EQ(pt::remove(c.image, c.names), c.rc);
            if (!c.line.empty()) {
                EXPECT_TRUE(log.contains(c.line)) << log.text();
            }
            EXPECT_TRUE(pt::snapshot(dir.path) == before);
        }
    }
    ts::loadDefaultSettings(dir);
    // The same image deletes fine once the write goes through.
    ASSERT_EQ(pt::remove(good, {"a.prg", "b.prg"}), 0);
    EXPECT_EQ(getFreeDataBlocksOnDisk(*pt::load(good)), 664);
}

TEST(DeleteFiles, WorksOnEveryFormat) {
    const char* const kExts[] = {"d64", "d71", "d80", "d81", "d82"};
    for (const char* ext : kExts) {
        SCOPED_TRACE(ext);
        ts::TempDir dir;
        ts::loadDefaultSettings(dir);
        const std::string src = ts::mkdirIn(dir, "src");
        pt::writeSources(src, {{"keep.prg", ts::randomBytes(5000, 1)}, {"drop.seq", ts::randomBytes(70000, 2)}});
        const std::string image = dir / (std::string("all.") + ext);
        ASSERT_EQ(pt::pack(image, src, {"keep.prg"}), 0);
        const int freeBefore = getFreeDataBlocksOnDisk(*pt::load(image));
        const Bytes beforeAdd = ts::readFile(image);
        ASSERT_EQ(pt::pack(image, src, {"drop.seq"}), 0);
        ASSERT_EQ(pt::remove(image, {"drop.seq"}), 0);
        auto info = pt::load(image);
        EXPECT_EQ(getFreeDataBlocksOnDisk(*info), freeBefore);
        const auto list = pt::entries(*info);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(pt::chainOf(*info, list[0]).data, ts::readFile(src + "/keep.prg"));
        // Every BAM block is as it was before the add.
        auto old = pt::load(image);
        old->imageData.reset(static_cast<std::uint8_t*>(std::calloc(beforeAdd.size(), 1)));
        std::memcpy(old->imageData.get(), beforeAdd.data(), beforeAdd.size());
        std::vector<std::pair<int, int>> bamBlocks;
        for (int k = 0; k < info->bamBlockCount; ++k) bamBlocks.emplace_back(info->bamTrack, info->bamSector[k]);
        if (info->bamTrack2 != 255) bamBlocks.emplace_back(info->bamTrack2, 0);
        for (auto [t, s] : bamBlocks) {
            const std::uint8_t* now = pt::blockOf(*info, t, s);
            const std::uint8_t* then = pt::blockOf(*old, t, s);
            EXPECT_TRUE(std::equal(now, now + 256, then)) << "BAM block " << t << ":" << s;
        }
    }
}

// A block that another file or the directory also uses is neither freed nor
// erased; the deleted file's entry goes all the same. Two files of one name
// are deleted by the names the listing gave them.
TEST(DeleteFiles, KeepsWhatOthersUseAndReachesEveryListedName) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=3\neraseDeletedSectors=1\n");
    const std::string src = ts::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(700, 1)}, {"b.prg", ts::randomBytes(700, 2)},
                           {"c.prg", ts::randomBytes(300, 3)}, {"game.prg", ts::randomBytes(100, 4)},
                           {"gamf.prg", ts::randomBytes(200, 5)}});
    const std::string image = dir / "x.d64";
    ASSERT_EQ(pt::pack(image, src, {"a.prg", "b.prg", "c.prg", "game.prg", "gamf.prg"}), 0);
    auto info = pt::load(image);
    const auto list = pt::entries(*info);
    const pt::Chain a = pt::chainOf(*info, list[0]), b = pt::chainOf(*info, list[1]);
    // a runs on into the directory block; b's tail is c; GAMF becomes a second GAME.
    std::uint8_t* aLast = pt::blockOf(*info, a.blocks.back().first, a.blocks.back().second);
    aLast[0] = 18;
    aLast[1] = 1;
    std::uint8_t* bLast = pt::blockOf(*info, b.blocks.back().first, b.blocks.back().second);
    bLast[0] = static_cast<std::uint8_t>(list[2].startTrack());
    bLast[1] = static_cast<std::uint8_t>(list[2].startSector());
    list[4].bytes[kDirFileName + 3] = 'E';
    ts::writeFile(image, wt::bytesOf(*info));
    EXPECT_EQ(pt::remove(image, {"a.prg", "b.prg", "game~2.prg"}), 0);

    ts::Listing l = ts::list(image);
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[0].name, "c.prg");
    EXPECT_EQ(l.files[1].name, "game.prg");
    ts::TempDir out;
    for (const auto& r : ts::extractAll(image, out.path)) EXPECT_EQ(r.second, 0) << r.first;
    EXPECT_EQ(ts::readFile(out / "c.prg"), ts::readFile(src + "/c.prg"));
    EXPECT_EQ(ts::readFile(out / "game.prg"), ts::readFile(src + "/game.prg"));
    auto now = pt::load(image);
    EXPECT_FALSE(IsSectorFree(*now, 18, 1));
    EXPECT_FALSE(IsSectorFree(*now, static_cast<std::uint8_t>(list[2].startTrack()),
                              static_cast<std::uint8_t>(list[2].startSector())));
    EXPECT_TRUE(IsSectorFree(*now, static_cast<std::uint8_t>(a.blocks[0].first),
                             static_cast<std::uint8_t>(a.blocks[0].second)));
}

// Folders: a file in a folder, then the emptied folders, deleted by their
// listed paths give the BAM back as it was before they were packed; a native
// subdirectory goes with all it holds unless it holds a locked file; a
// partition or a sub-disk is never deleted (24), the files in it are.
TEST(DeleteFiles, FolderFilesThenTheFolderAndNeverAPartition) {
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = ts::mkdirIn(dir, "src");
    ts::mkdirIn(dir, "src/new");
    ts::mkdirIn(dir, "src/new/deep");
    ts::writeFile(src + "/new/deep/x.prg", ts::randomBytes(3000, 1));
    const std::vector<ts::CmdFile> tree = {{"top", 0x82, Bytes(300, 1)}, {"sub/one", 0x81, Bytes(600, 2)}};
    const std::string dnp = dir / "tree.dnp";
    const Bytes before = ts::makeNative(2, tree);
    ts::writeFile(dnp, before);
    ASSERT_EQ(pt::pack(dnp, src, {"new/deep/x.prg"}, PK_PACK_SAVE_PATHS), 0);
    ASSERT_EQ(ts::list(dnp).files.size(), 6u);
    for (const char* name : {"new/deep/x.prg", "new/deep", "new"}) EXPECT_EQ(pt::remove(dnp, {name}), 0) << name;
    const Bytes after = ts::readFile(dnp);
    EXPECT_TRUE(std::equal(after.begin() + 2 * 256, after.begin() + 34 * 256, before.begin() + 2 * 256));  // the BAM
    EXPECT_EQ(ts::list(dnp).files.size(), 3u);
    EXPECT_EQ(pt::remove(dnp, {"sub"}), 0);
    const ts::Listing left = ts::list(dnp);
    ASSERT_EQ(left.files.size(), 1u);
    EXPECT_EQ(left.files[0].name, "top.prg");
    std::string problems;
    EXPECT_EQ(validateImage(dnp.c_str(), kValidateStrict, problems), 0) << problems;

    Bytes subDisks = ts::makeD81({});
    ts::putSubDisk(subDisks, 50, 3, "inner", {{"in", 0x81, Bytes(600, 3)}});
    const struct {
        const char* file;
        Bytes bytes;
        const char* name;
    } kept[] = {
        {"part.d1m", ts::makeFdImage(8, {{1, "PARTITION 1", ts::makeNative(12, {})}}), "partition 1"},
        {"inner.d81", subDisks, "inner"},
        {"locked.dnp", ts::makeNative(2, {{"sub/one", 0xC1, Bytes(600, 2)}}), "sub"},
    };
    for (const auto& k : kept) {
        const std::string image = dir / k.file;
        ts::writeFile(image, k.bytes);
        EXPECT_EQ(pt::remove(image, {k.name}), 24) << k.file;
        EXPECT_EQ(ts::readFile(image), k.bytes) << k.file;
    }
    EXPECT_EQ(pt::remove(dir / "inner.d81", {"inner/in.seq"}), 0);
    EXPECT_EQ(ts::list(dir / "inner.d81").files.size(), 1u);
}

}  // namespace
