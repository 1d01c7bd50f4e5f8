// Damaged images of every kind: random bytes in directories, chains, BAMs and
// tape headers. Whatever they hold, listing, extraction, adding and deleting
// end (the program would hang or the sanitizers report otherwise) and the
// image file stays a whole image.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/test_support.h"

namespace {

using ts::Bytes;

// A valid image made through the plug-in itself, with a few files.
Bytes seedImage(const ts::TempDir& dir, const std::string& ext) {
    const std::string image = dir / ("seed." + ext);
    std::vector<char> list;
    for (int i = 0; i < 12; ++i) {
        std::string name = std::to_string(i);
        name.insert(name.begin(), 'f');
        name += i % 3 ? ".prg" : ".seq";
        ts::writeFile(dir / name, ts::randomBytes(static_cast<std::size_t>(i * 300 + 1), static_cast<std::uint32_t>(i)));
        list.insert(list.end(), name.begin(), name.end());
        list.push_back(0);
    }
    // GEOS files too: info blocks, index blocks and records to damage.
    ts::writeFile(dir / "g.cvt", ts::convertFile("GEOS", 0x83, true,
                                                 {ts::randomBytes(700, 40), {}, ts::randomBytes(30, 41)}, 42));
    ts::writeFile(dir / "h.cvt", ts::convertFile("SEQGEOS", 0x82, false, {ts::randomBytes(600, 43)}, 44));
    for (const char* name : {"g.cvt", "h.cvt"}) list.insert(list.end(), name, name + std::strlen(name) + 1);
    list.push_back(0);
    std::string img = image, src = dir.path + "/";
    EXPECT_EQ(PackFiles(img.data(), nullptr, src.data(), list.data(), 0), 0) << ext;
    return ts::readFile(image);
}

void exercise(const ts::TempDir& dir, const std::string& image) {
    ts::list(image);
    ts::TempDir out;
    ts::extractAll(image, out.path);
    std::string img = image;
    char del[] = "f1.prg\0f3.seq\0geos.cvt\0";
    DeleteFiles(img.data(), del);
    std::string src = dir.path + "/";
    char add[] = "f2.prg\0";
    PackFiles(img.data(), nullptr, src.data(), add, 0);
    ts::list(image);
}

TEST(Robustness, RandomDamageToDiskImages) {
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=0\n");
    std::mt19937 gen(12345);
    const struct {
        const char* ext;
        int dirTrackOffset;  // byte offset of the directory track
        int span;            // bytes of directory and BAM worth damaging
    } formats[] = {{"d64", 91392, 19 * 256}, {"d71", 91392, 19 * 256}, {"d80", 274688, 56 * 256},
                   {"d82", 274688, 56 * 256}, {"d81", 399360, 40 * 256}};
    for (const auto& f : formats) {
        const Bytes seed = seedImage(dir, f.ext);
        ASSERT_FALSE(seed.empty());
        for (int round = 0; round < 60; ++round) {
            Bytes damaged = seed;
            const int hits = 1 + static_cast<int>(gen() % 40);
            for (int h = 0; h < hits; ++h) {
                // Mostly the directory and BAM, sometimes anywhere (chains).
                std::size_t at = gen() % 4 ? f.dirTrackOffset + gen() % f.span : gen() % damaged.size();
                damaged[at] = static_cast<std::uint8_t>(gen() % 3 ? gen() : (gen() % 2 ? 0 : 0xFF));
            }
            if (round % 7 == 0) damaged.resize(damaged.size() - gen() % 5000);  // cut short too
            const std::string image = dir / (std::string("d.") + f.ext);
            ts::writeFile(image, damaged);
            exercise(dir, image);
            const Bytes after = ts::readFile(image);
            // Either untouched, or a whole image of the same size.
            EXPECT_EQ(after.size(), damaged.size()) << f.ext << " round " << round;
        }
    }
}

TEST(Robustness, RandomTapeHeaders) {
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=0\n");
    std::mt19937 gen(777);
    for (int round = 0; round < 300; ++round) {
        Bytes tape = ts::randomBytes(64 + gen() % 600, static_cast<std::uint32_t>(round));
        if (round % 2) {
            tape[34] = static_cast<std::uint8_t>(gen() % 20);
            tape[35] = 0;
            for (std::size_t s = 64; s + 32 <= tape.size(); s += 32) tape[s] = gen() % 3 ? 1 : 0;
        }
        ts::writeFile(dir / "t.t64", tape);
        ts::list(dir / "t.t64");
        ts::TempDir out;
        ts::extractAll(dir / "t.t64", out.path);
        std::string img = dir / "t.t64";
        char del[] = "x.prg\0";
        EXPECT_EQ(DeleteFiles(img.data(), del), 24);
        EXPECT_EQ(ts::readFile(dir / "t.t64"), tape);
    }
}

// Hostile CMD images: a partition table pointing past the image, a
// subdirectory whose chain loops back to its parent or that holds itself, a
// BAM claiming more tracks than the file holds. Every call ends, the image
// keeps its size, and whatever is packed reads back whole.
TEST(Robustness, HostileCmdImages) {
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=0\n");
    const std::vector<ts::CmdFile> tree = {{"top", 0x82, Bytes(300, 1)}, {"sub/one", 0x81, Bytes(600, 2)},
                                           {"sub/deeper/two", 0x82, Bytes(40, 3)}};
    const Bytes native = ts::makeNative(2, tree);
    auto at = [](Bytes& b, int t, int s) { return b.data() + ((t - 1) * 256 + s) * 256; };
    // The tree's blocks from 1/64: sub's header 1/66, its directory 1/67,
    // deeper's header 1/71 and directory 1/72.
    Bytes loop = native, self = native, tracks = native, fdPast = ts::makeFdImage(8, {{1, "P", native}}),
          fdHuge = fdPast, fdTracks = ts::makeFdImage(8, {{1, "P", native}});
    at(loop, 1, 72)[0] = 1;  // deeper's directory links on to the root's
    at(loop, 1, 72)[1] = 34;
    at(self, 1, 67)[3 + 32] = 1;  // deeper's entry names sub's own header
    at(self, 1, 67)[4 + 32] = 66;
    at(tracks, 1, 2)[8] = 255;
    std::uint8_t* entry = fdPast.data() + 3208 * 256 + 32;
    entry[0x15] = entry[0x16] = entry[0x17] = 0xFF;  // starts past the image
    fdHuge[3208 * 256 + 32 + 0x1D] = 0xFF;            // runs past the data area
    at(fdTracks, 1, 2)[8] = 200;                   // a partition of 2 tracks whose BAM says 200
    const struct {
        const char* file;
        Bytes bytes;
        const char* folder;  // where a file is packed
        int blocks;          // its size
    } rows[] = {{"loop.dnp", loop, "sub/deeper/", 3},  {"self.dnp", self, "sub/deeper/", 3},
                {"tracks.dnp", tracks, "", 500},       {"past.d1m", fdPast, "p/", 3},
                {"huge.d1m", fdHuge, "p/sub/", 3},     {"tracks.d1m", fdTracks, "p/", 500}};
    const std::string src = ts::mkdirIn(dir, "src");
    for (const char* sub : {"sub", "sub/deeper", "p", "p/sub"}) ts::mkdirIn(dir, std::string("src/") + sub);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string image = dir / row.file, name = std::string(row.folder) + "big.prg";
        ts::writeFile(image, row.bytes);
        ts::writeFile(src + "/" + name, ts::randomBytes(254 * row.blocks, 7));
        ts::list(image);
        ts::TempDir out;
        ts::extractAll(image, out.path);
        std::string img = image, from = src + "/";
        auto list = name + '\0' + '\0';
        const int packed = PackFiles(img.data(), nullptr, from.data(), list.data(), PK_PACK_SAVE_PATHS);
        EXPECT_TRUE(row.blocks < 400 || packed == 11);  // only the tracks the file holds have room
        EXPECT_EQ(ts::readFile(image).size(), row.bytes.size());
        if (packed == 0) {
            ts::TempDir again;
            for (const auto& r : ts::extractAll(image, again.path))
                EXPECT_TRUE(r.first != name || ts::readFile(again / name) == ts::readFile(src + "/" + name));
        }
        char del[] = "top.prg\0sub\0p\0";
        DeleteFiles(img.data(), del);
        EXPECT_EQ(ts::readFile(image).size(), row.bytes.size());
        ts::list(image);
    }
}

}  // namespace
