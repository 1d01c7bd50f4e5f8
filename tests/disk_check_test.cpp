// The disk as a whole through the host: dir and info agree with cc1541 on
// its own images; validate finds each kind of damage in an image made for
// it, and --repair mends the BAM ones (cc1541 -V then accepts the image);
// several images per command, and find across a folder tree.
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/pack_support.h"
#include "tests/writer_support.h"

namespace {

using pt::Bytes;
using ts::shellQuote;

std::string host(const ts::TempDir& dir) {
    return std::string(OMBRIX_HOST) + " --ini " + shellQuote(dir / "ini/wcx.ini") + " ";
}

TEST(DiskCheck, DirAndInfoAgreeWithCc1541) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 missing";
    ts::TempDir dir;
    ts::writeFile(dir / "src", ts::randomBytes(3000, 1));
    const struct {
        const char* image;
        const char* options;
        const char* format;
        const char* layout;
    } cases[] = {{"a.d64", "", "D64", "none"},         {"s.d64", "-4", "D64", "speeddos"},
                 {"d.d64", "-5", "D64", "dolphindos"}, {"b.d71", "", "D71", "none"},
                 {"c.d81", "", "D81", "none"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string image = dir / c.image;
        std::string out;
        ASSERT_EQ(ts::run("cd " + shellQuote(dir.path) + " && cc1541 -q " + c.options + " -n 'PEER Title' -i 'x9' -f game -w src -P -f locked -w src -T SEQ -f notes -w src " + shellQuote(image), &out), 0) << out;
        ASSERT_EQ(ts::run("cc1541 " + shellQuote(image), &out), 0);
        // cc1541: 0 <reverse>"TITLE" ID<normal> ... N blocks free.
        const std::size_t q = out.find('"'), q2 = out.find('"', q + 1);
        std::string title = out.substr(q + 1, q2 - q - 1);
        title.erase(title.find_last_not_of(' ') + 1);
        const std::string id = out.substr(q2 + 2, 2);
        const std::size_t free = out.rfind(" blocks free.");
        const std::string blocks = out.substr(out.rfind('\n', free) + 1, free - out.rfind('\n', free) - 1);

        ASSERT_EQ(ts::run(host(dir) + "info --json " + shellQuote(image), &out), 0) << out;
        EXPECT_NE(out.find("\"format\": \"" + std::string(c.format) + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"layout\": \"" + std::string(c.layout) + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"title\": \"" + title + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"id\": \"" + id + "\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"blocksFree\": " + blocks + "}"), std::string::npos) << out;
        ASSERT_EQ(ts::run(host(dir) + "dir " + shellQuote(image), &out), 0) << out;
        EXPECT_EQ(out.rfind("0 \"" + title + std::string(16 - title.size(), ' ') + "\" " + id, 0), 0u) << out;
        EXPECT_NE(out.find("12   \"game\"             PRG\n12   \"locked\"           PRG<\n"), std::string::npos) << out;
        EXPECT_NE(out.find("\n" + blocks + " BLOCKS FREE.\n"), std::string::npos) << out;
    }
}

// One image per kind of damage; every one is caught, the BAM ones mended.
TEST(DiskCheck, ValidateFindsEachDamageAndRepairMendsTheBam) {
    pt::SettingsGuard guard;
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = pt::mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(700, 1)}, {"b.prg", ts::randomBytes(700, 2)}});
    const std::string good = dir / "good.d64";
    ASSERT_EQ(pt::pack(good, src, {"a.prg", "b.prg"}), 0);
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "validate " + shellQuote(good), &out), 0) << out;

    auto info = pt::load(good);
    const auto list = pt::entries(*info);
    const pt::Chain a = pt::chainOf(*info, list[0]), b = pt::chainOf(*info, list[1]);
    struct Damage {
        const char* what;
        const char* line;  // in the report
        bool mendable;     // by a rebuilt BAM
        void (*apply)(ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&);
    };
    const Damage damages[] = {
        {"a file's block free in the BAM", "in use but free in the BAM (the next write would destroy them): ", true,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain&, const std::vector<pt::Entry>&) {
             markSectorFree(i, static_cast<std::uint8_t>(a.blocks[1].first), static_cast<std::uint8_t>(a.blocks[1].second));
         }},
        {"a block marked used that nothing uses", "marked used but nothing uses them: 1:0", true,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&) { markSectorUsed(i, 1, 0); }},
        {"a count that disagrees with its bitmap", "track 5: the BAM counts 20 free blocks, its bitmap 21", true,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>&) {
             wt::blockOf(i, 18, 0)[4 * 5] = 20;
         }},
        {"two files sharing a block", "is used by \"a\" and by \"b\"", false,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain& b, const std::vector<pt::Entry>&) {
             std::uint8_t* last = wt::blockOf(i, b.blocks.back().first, b.blocks.back().second);
             last[0] = static_cast<std::uint8_t>(a.blocks.back().first);
             last[1] = static_cast<std::uint8_t>(a.blocks.back().second);
         }},
        {"a chain that loops", "\"a\": its chain loops back to", false,
         [](ImageInfo& i, const pt::Chain& a, const pt::Chain&, const std::vector<pt::Entry>&) {
             std::uint8_t* last = wt::blockOf(i, a.blocks.back().first, a.blocks.back().second);
             last[0] = static_cast<std::uint8_t>(a.blocks[0].first);
             last[1] = static_cast<std::uint8_t>(a.blocks[0].second);
         }},
        {"a chain that leaves the disk", "\"b\": its chain leaves the disk at 99:", false,
         [](ImageInfo& i, const pt::Chain&, const pt::Chain& b, const std::vector<pt::Entry>&) {
             wt::blockOf(i, b.blocks.back().first, b.blocks.back().second)[0] = 99;
         }},
        {"a wrong block count", "\"a\": the directory says 7 blocks, it has 3", false,
         [](ImageInfo&, const pt::Chain&, const pt::Chain&, const std::vector<pt::Entry>& list) {
             list[0].bytes[kDirBlockCount] = 7;
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        auto damaged = pt::load(good);
        d.apply(*damaged, a, b, pt::entries(*damaged));
        const std::string image = dir / "damaged.d64";
        ts::writeFile(image, wt::bytesOf(*damaged));
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 13) << out;
        EXPECT_NE(out.find(d.line), std::string::npos) << out;
        const Bytes before = ts::readFile(image);
        EXPECT_EQ(ts::run(host(dir) + "validate --repair " + shellQuote(image), &out), d.mendable ? 0 : 13) << out;
        if (!d.mendable) continue;
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
        // Only the BAM changed; the files read as before.
        const Bytes after = ts::readFile(image);
        for (std::size_t i = 0; i < after.size(); ++i) {
            if (after[i] != before[i]) {
                ASSERT_TRUE(i >= 91392 && i < 91392 + 144) << "byte " << i;
            }
        }
        for (const auto& r : ts::extractAll(image, (dir / "x"))) {
            EXPECT_NE(r.second, 18);
        }
        if (ts::haveTool("cc1541")) {
            EXPECT_EQ(ts::run("cc1541 -V " + shellQuote(image), &out), 0) << out;
        }
    }
}

TEST(DiskCheck, SeveralImagesAndFind) {
    ts::TempDir dir;
    const std::string src = pt::mkdirIn(dir, "src");
    pt::writeSources(src, {{"game.prg", ts::randomBytes(300, 1)}, {"notes.seq", ts::randomBytes(30, 2)}});
    pt::mkdirIn(dir, "tree");
    pt::mkdirIn(dir, "tree/deeper");
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(dir / "tree/one.d64") + " -C " + shellQuote(src) + " game.prg", &out), 0);
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(dir / "tree/deeper/two.D81") + " -C " + shellQuote(src) +
                          " game.prg notes.seq", &out),
              0);
    const std::string one = dir / "tree/one.d64", two = dir / "tree/deeper/two.D81";
    ASSERT_EQ(ts::run(host(dir) + "list --json " + shellQuote(one) + " " + shellQuote(two), &out), 0);
    EXPECT_EQ(out, "[\n  {\"image\": \"" + one + "\", \"files\": [\n    {\"name\": \"game.prg\", \"blocks\": 2, \"bytes\": 300, \"hidden\": false}\n  ]},\n  {\"image\": \"" + two +
                       "\", \"files\": [\n    {\"name\": \"game.prg\", \"blocks\": 2, \"bytes\": 300, \"hidden\": false},\n    {\"name\": \"notes.seq\", \"blocks\": 1, \"bytes\": 30, \"hidden\": false}\n  ]}\n]\n");
    ASSERT_EQ(ts::run(host(dir) + "test " + shellQuote(one) + " " + shellQuote(two), &out), 0);
    EXPECT_NE(out.find(one + ":\nok game.prg\n\n" + two + ":\nok game.prg\nok notes.seq\n"), std::string::npos) << out;
    ASSERT_EQ(ts::run(host(dir) + "find 'GAME.*' " + shellQuote(dir / "tree"), &out), 0);
    EXPECT_EQ(out, one + ": game.prg\n" + two + ": game.prg\n");  // files before folders, each sorted
    ASSERT_EQ(ts::run(host(dir) + "find '*.s?q' " + shellQuote(dir.path), &out), 0);
    EXPECT_EQ(out, two + ": notes.seq\n");
}

// Nothing under an image's name makes a command hang or read a huge file: a
// pipe with no writer is refused (15) by every command, a file far larger
// than any image as unknown (14); find enters no link to a folder (two links
// back up would give 2^40 paths) and skips the pipe. A hang fails by timeout.
TEST(DiskCheck, PipesLinksAndHugeFilesNeverHang) {
    ts::TempDir dir;
    const std::string src = pt::mkdirIn(dir, "src"), one = dir / "tree/one.d64";
    pt::writeSources(src, {{"game.prg", ts::randomBytes(300, 1)}});
    pt::mkdirIn(dir, "tree");
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(one) + " -C " + shellQuote(src) + " game.prg", &out), 0);
    ASSERT_EQ(mkfifo((dir / "tree/pipe.d64").c_str(), 0644), 0);
    for (const char* link : {"a.d64", "b.d64"}) ASSERT_EQ(symlink(".", (dir / "tree/" + link).c_str()), 0);
    ASSERT_EQ(symlink("pipe.d64", (dir / "tree/c.d64").c_str()), 0);
    for (const auto& [name, size] : {std::pair {"big.d64", (std::uintmax_t {1} << 32) + 174848},
                                     std::pair {"large.d64", std::uintmax_t {17} << 20}}) {
        ts::writeFile(dir / name, {});
        std::filesystem::resize_file(dir / name, size);
    }
    const std::string bounded = "timeout 10 " + host(dir);
    for (const auto& [image, code] : {std::pair {dir / "tree/pipe.d64", 15}, std::pair {dir / "big.d64", 14},
                                      std::pair {dir / "large.d64", 14}}) {
        for (const std::string command : {"list", "info", "dir", "validate", "test", "extract", "delete", "add"}) {
            const std::string args = command + " " + shellQuote(image) +
                                     (command == "add" ? " -C " + shellQuote(src) + " game.prg" : "") +
                                     (command == "delete" ? " game.prg" : "") +
                                     (command == "extract" ? " -C " + shellQuote(dir / "out") : "");
            EXPECT_EQ(ts::run(bounded + args, &out), code) << args << "\n" << out;
        }
    }
    ASSERT_EQ(ts::run(bounded + "find '*' " + shellQuote(dir / "tree"), &out), 0);
    EXPECT_EQ(out, one + ": game.prg\n");
}

// Image paths reach JSON as valid UTF-8 (a byte that is none as Latin-1,
// control characters escaped), and plain text shows every control character
// and stray byte as \xHH: a name cannot drive the terminal.
TEST(DiskCheck, OddPathsGiveValidJsonAndHarmlessText) {
    ts::TempDir dir;
    const std::string src = pt::mkdirIn(dir, "src"), odd = dir / "e\x1b\xed\xa0\x80.d64";
    pt::writeSources(src, {{"game.prg", ts::randomBytes(300, 1)}});
    std::string out;
    ASSERT_EQ(ts::run(host(dir) + "add " + shellQuote(odd) + " -C " + shellQuote(src) + " game.prg", &out), 0) << out;
    const std::string json = "\"" + dir.path + "/e\\u001b\xC3\xAD\xC2\xA0\xC2\x80.d64\"";
    const std::string text = dir.path + "/e\\x1b\\xed\\xa0\\x80.d64";
    ASSERT_EQ(ts::run(host(dir) + "list --json " + shellQuote(odd) + " " + shellQuote(odd), &out), 0);
    EXPECT_NE(out.find("{\"image\": " + json + ", \"files\""), std::string::npos) << out;
    ASSERT_EQ(ts::run(host(dir) + "info --json " + shellQuote(odd), &out), 0);
    EXPECT_EQ(out.rfind("{\"image\": " + json + ", ", 0), 0u) << out;
    for (const char* command : {"list", "dir", "info", "test"}) {
        ASSERT_EQ(ts::run(host(dir) + command + " " + shellQuote(odd) + " " + shellQuote(odd), &out), 0);
        EXPECT_NE(out.find(text + ":\n"), std::string::npos) << command << out;
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << command;
    }
    for (const char* command : {"validate ", "find '*' "}) {
        ASSERT_EQ(ts::run(host(dir) + command + shellQuote(command[0] == 'f' ? dir.path : odd), &out), 0);
        EXPECT_NE(out.find(text + ": "), std::string::npos) << command << out;
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << command;
    }
}

}  // namespace
