// What today's hosts do beside listing and copying: a progress callback that
// may cancel at any moment, and calls on different images from several
// threads at once (GetBackgroundFlags promises both are safe).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>

#include "tests/pack_support.h"

namespace {

using pt::Bytes;

// A host whose callback answers "cancel" at its n-th call (never when 0),
// and keeps the names it was given. With swapForFolder it puts a folder in
// place of the file named, as a user might while a move is under way.
int callsSoFar = 0;
int cancelAt = 0;
long bytesReported = 0;
std::vector<std::string> namesReported;
bool swapForFolder = false;
// What another program does to the image while a call works on it (once).
std::function<void()> meanwhile;
int WCX_API countingHost(char* name, int size) {
    ++callsSoFar;
    bytesReported += size;
    namesReported.push_back(name);
    if (swapForFolder && std::remove(name) == 0) mkdir(name, 0755);
    if (meanwhile) std::exchange(meanwhile, nullptr)();
    return callsSoFar == cancelAt ? 0 : 1;
}
void resetHost(int n) {
    callsSoFar = 0;
    bytesReported = 0;
    namesReported.clear();
    cancelAt = n;
}

// One file of the image through ProcessFile, with the host's callback set.
int processNth(const std::string& image, std::size_t index, int operation, const std::string& target) {
    std::vector<char> name(image.begin(), image.end());
    name.push_back(0);
    tOpenArchiveData data {};
    data.ArcName = name.data();
    HANDLE h = OpenArchive(&data);
    if (!h) return -1;
    SetProcessDataProc(h, countingHost);
    tHeaderData header {};
    for (std::size_t i = 0; i <= index; ++i) ReadHeader(h, &header);
    std::vector<char> dest(target.begin(), target.end());
    dest.push_back(0);
    const int rc = ProcessFile(h, operation, nullptr, dest.data());
    CloseArchive(h);
    return rc;
}

TEST(Background, ACancelAtAnyCallStopsWithoutLeavingAnything) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=0\n");
    const std::string src = ts::mkdirIn(dir, "src");
    const Bytes cvt = ts::convertFile("GEOS", 0x83, true, {ts::randomBytes(600, 4), {}, ts::randomBytes(9, 5)}, 6);
    pt::writeSources(src, {{"a.prg", ts::randomBytes(1000, 1)}, {"b.prg", ts::randomBytes(300, 2)},
                           {"c.seq", ts::randomBytes(10, 3)}, {"f.cvt", cvt}});
    const std::string image = dir / "p.d64";
    ASSERT_EQ(pt::pack(image, src, {"a.prg", "b.prg", "c.seq", "f.cvt"}), 0);
    ts::writeFile(dir / "t.t64", ts::makeTape(1, {{1, 0x0801, 0x0815, 64 + 32, "T"}}, 20));
    const Bytes before = ts::readFile(image);

    // Extraction and test: one call per block (a tape file: one call; a GEOS
    // file: one per part of its Convert file and per block).
    struct Read {
        std::string image;
        std::size_t index;
        long bytes;
    };
    for (const Read& r : {Read{image, 0, 1000}, Read{image, 2, 10}, Read{dir / "t.t64", 0, 22},
                          Read{image, 3, static_cast<long>(cvt.size())}}) {
        for (int operation : {PK_EXTRACT, PK_TEST}) {
            SCOPED_TRACE(r.image + " " + std::to_string(r.index) + (operation == PK_TEST ? " test" : " extract"));
            const std::string target = dir / "out.bin";
            resetHost(0);
            ASSERT_EQ(processNth(r.image, r.index, operation, target), 0);
            EXPECT_EQ(bytesReported, r.bytes);
            const int calls = callsSoFar;
            EXPECT_GE(calls, 1);
            std::remove(target.c_str());
            for (int n = 1; n <= calls; ++n) {
                resetHost(n);
                EXPECT_EQ(processNth(r.image, r.index, operation, target), E_EABORTED) << n;
                EXPECT_FALSE(ts::exists(target)) << n;
            }
        }
    }

    // Packing (one call per stored file, named by its source path, even when
    // moving) and deleting (one per file): a cancel leaves image and sources
    // as they were.
    pt::writeSources(src, {{"d.prg", ts::randomBytes(500, 4)}, {"e.prg", ts::randomBytes(5, 5)}});
    SetProcessDataProc(kPackHandle, countingHost);
    for (int n = 1; n <= 2; ++n) {
        resetHost(n);
        EXPECT_EQ(pt::pack(image, src, {"d.prg", "e.prg"}, PK_PACK_MOVE_FILES), E_EABORTED) << n;
        resetHost(n);
        EXPECT_EQ(pt::remove(image, {"a.prg", "c.seq"}), E_EABORTED) << n;
        EXPECT_EQ(ts::readFile(image), before) << n;
        EXPECT_TRUE(ts::exists(src + "/d.prg") && ts::exists(src + "/e.prg")) << n;
    }
    resetHost(0);
    EXPECT_EQ(pt::pack(image, src, {"d.prg", "e.prg"}, PK_PACK_MOVE_FILES), 0);
    EXPECT_EQ(callsSoFar, 2);
    EXPECT_EQ(bytesReported, 505);
    EXPECT_EQ(namesReported, (std::vector<std::string>{src + "/d.prg", src + "/e.prg"}));
    EXPECT_FALSE(ts::exists(src + "/d.prg"));
    // A moved source that cannot be removed is a failure, though the image holds it.
    ts::writeFile(src + "/d.prg", ts::randomBytes(500, 4));
    swapForFolder = true;
    EXPECT_EQ(pt::pack(image, src, {"d.prg"}, PK_PACK_MOVE_FILES), E_EWRITE);
    swapForFolder = false;
    SetProcessDataProc(kPackHandle, nullptr);
}

// Eight threads, each on an image of its own, pack, list, extract and delete
// round after round; the images end exactly as the same work done on one
// thread leaves them (run under ThreadSanitizer by the test command).
TEST(Background, ParallelCallsOnDifferentImagesShareNothing) {
    ts::TempDir dir(true);
    ts::loadSettings(dir, "[common]\nlogLevel=0\n");
    EXPECT_EQ(GetBackgroundFlags(), BACKGROUND_UNPACK | BACKGROUND_PACK);
    const char* const kExts[] = {"d64", "d71", "d80", "d81", "d82", "d64", "d81", "d71"};
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    auto work = [&](int t, const std::string& folder) {
        ts::mkdirIn(dir, folder);
        const std::string base = dir / folder, image = base + "/img." + kExts[t];
        bool ok = true;
        const ts::TempDir out(true);
        for (int round = 0; round < kRounds && ok; ++round) {
            const std::string name = "f" + std::to_string(round % 5) + ".prg";
            const Bytes data = ts::randomBytes(100 + static_cast<std::size_t>((t * 7919 + round * 104729) % 6000),
                                               static_cast<std::uint32_t>(t * 1000 + round));
            ts::writeFile(base + "/" + name, data);
            ok = pt::pack(image, base, {name}) == 0;
            for (const auto& r : ts::extractAll(image, out.path)) ok = ok && r.second == 0;
            ok = ok && ts::readFile(out / name) == data && !ts::list(image).files.empty();
            if (round % 3 == 2) ok = ok && pt::remove(image, {"f" + std::to_string((round + 1) % 5) + ".prg"}) == 0;
        }
        return ok;
    };
    std::vector<std::thread> threads;
    std::vector<int> results(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { results[static_cast<std::size_t>(t)] = work(t, "p" + std::to_string(t)); });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(results[static_cast<std::size_t>(t)]) << "thread " << t;
        ASSERT_TRUE(work(t, "s" + std::to_string(t))) << "alone " << t;
        const std::string ext = kExts[t];
        EXPECT_EQ(ts::readFile(dir / ("p" + std::to_string(t) + "/img." + ext)),
                  ts::readFile(dir / ("s" + std::to_string(t) + "/img." + ext)))
            << "thread " << t;
    }
}

// Another program at the image while a writer works on it (the host's
// progress callback comes between reading and replacing): cc1541 rewrites
// it in place, a program moves a new file over it, another writer holds the
// lock, an image appears where the writer makes a new one, or another writer
// replaces it while this one waits for the lock. Each writer lands on what
// is there then, or fails with 19 and leaves the other program's bytes.
TEST(Background, AWriterLandsOnTheImageAsItIsOrFails) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 missing";
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=3\n");
    const std::string src = ts::mkdirIn(dir, "src"), image = dir / "w.d64", copy = dir / "copy.d64";
    pt::writeSources(src, {{"ours.prg", ts::randomBytes(700, 1)}, {"keep.prg", ts::randomBytes(300, 2)}});
    const std::string cc1541 = "cc1541 -q -f FOREIGN -w " + ts::shellQuote(src + "/keep.prg") + " ";
    enum Other { inPlace, movedOver, holdsLock, creates, replacesWhileWaiting };
    const struct {
        const char* what;
        Other other;
        bool pack;  // else DeleteFiles of keep.prg
        int rc;
        std::vector<std::string> listed;  // empty: the image is what the other program left
        const char* line;
    } cases[] = {
        {"cc1541 rewrites it in place", inPlace, true, 19, {}, "changed by another program while it was being written"},
        {"cc1541 rewrites it in place (delete)", inPlace, false, 19, {}, "changed by another program"},
        {"a file is moved over it", movedOver, false, 19, {}, "changed by another program"},
        {"another writer holds it", holdsLock, true, 19, {}, "another program is writing"},
        {"it appears meanwhile", creates, true, 0, {"FOREIGN.prg", "ours.prg"}, "created by another program"},
        {"it is replaced while the writer waits", replacesWhileWaiting, true, 0,
         {"keep.prg", "FOREIGN.prg", "ours.prg"}, ""},
    };
    SetProcessDataProc(kPackHandle, countingHost);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetHost(0);
        std::remove(image.c_str());
        if (c.other != creates) {
            ASSERT_EQ(pt::pack(image, src, {"keep.prg"}), 0);
        }
        Bytes left;
        meanwhile = [&] {
            if (c.other == inPlace || c.other == creates) {
                ASSERT_EQ(ts::run(cc1541 + ts::shellQuote(image)), 0);
            }
            if (c.other == movedOver) {
                ts::writeFile(copy, ts::readFile(image));
                ASSERT_EQ(ts::run(cc1541 + ts::shellQuote(copy)), 0);
                ASSERT_EQ(std::rename(copy.c_str(), image.c_str()), 0);
            }
            left = ts::readFile(image);
        };
        platform::WriteLock other;
        int lockError = 0;
        if (c.other == holdsLock || c.other == replacesWhileWaiting) {
            meanwhile = nullptr;
            ASSERT_EQ(platform::lockImageForWriting(image.c_str(), other, lockError), platform::LockResult::ok);
            left = ts::readFile(image);
        }
        platform::setWriteLockWait(c.other == holdsLock ? 20 : 60000);
        ts::LogCapture log;
        int rc = -1;
        const unsigned long waitsBefore = platform::writeLockWaits();
        std::thread writer([&] { rc = c.pack ? pt::pack(image, src, {"ours.prg"}) : pt::remove(image, {"keep.prg"}); });
        if (c.other == replacesWhileWaiting) {
            // Once the writer waits, the other writer puts its image in place and lets go.
            for (int i = 0; i < 100000 && platform::writeLockWaits() == waitsBefore; ++i) platform::yieldThread();
            ts::writeFile(copy, ts::readFile(image));
            ASSERT_EQ(ts::run(cc1541 + ts::shellQuote(copy)), 0);
            ASSERT_EQ(std::rename(copy.c_str(), image.c_str()), 0);
            platform::unlockImage(other);
        }
        writer.join();
        platform::unlockImage(other);
        platform::setWriteLockWait(60000);
        EXPECT_EQ(rc, c.rc);
        EXPECT_TRUE(log.contains(c.line)) << log.text();
        std::vector<std::string> names;
        for (const ts::Listed& f : ts::list(image).files) names.push_back(f.name);
        if (c.listed.empty()) {
            EXPECT_EQ(ts::readFile(image), left);
        } else {
            EXPECT_EQ(names, c.listed);
        }
        std::vector<std::string> files = ts::listDir(dir.path);
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, (std::vector<std::string> {"settings", "src", "w.d64"}));
    }
    meanwhile = nullptr;
    SetProcessDataProc(kPackHandle, nullptr);
}

}  // namespace
