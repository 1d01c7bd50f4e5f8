// The command line as people type it: one session of invocations, each with
// the exit status and what it must say on standard output and error; and
// `convert` between every pair of writable types and from every read-only
// kind, read back by our own listing and by cc1541 and cbmconvert.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "tests/test_support.h"

namespace {

using ts::Bytes;
using ts::shellQuote;

struct Output {
    int status = -1;
    std::string out, err;
};

// Runs the host in the folder with standard output and error apart.
Output runIn(const ts::TempDir& dir, const std::string& args) {
    Output o;
    o.status = ts::run("(cd " + shellQuote(dir.path) + " && " + ts::host(dir) + args + " >" + shellQuote(dir / ".out") +
                       " 2>" + shellQuote(dir / ".err") + ")");
    const Bytes out = ts::readFile(dir / ".out"), err = ts::readFile(dir / ".err");
    o.out.assign(out.begin(), out.end());
    o.err.assign(err.begin(), err.end());
    return o;
}

// What a text must hold: "=TEXT" exactly TEXT, "!TEXT" anything without TEXT,
// else TEXT somewhere in it ("" anything).
::testing::AssertionResult holds(const std::string& text, const std::string& want) {
    const bool ok = want.empty()         ? true
                    : want[0] == '='     ? text == want.substr(1)
                    : want[0] == '!'     ? text.find(want.substr(1)) == std::string::npos
                                         : text.find(want) != std::string::npos;
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "wanted " << want << " in:\n" << text;
}

// A disk as cc1541 writes one: every closed type, a locked file, a name with
// a 0xA0 inside (dir art) and shifted letters.
void makePeerDisk(const ts::TempDir& dir, const std::string& image) {
    const std::string d = shellQuote(dir.path) + "/";
    ts::writeFile(dir / "f1", ts::randomBytes(3000, 1));
    ts::writeFile(dir / "f2", ts::randomBytes(300, 2));
    ts::writeFile(dir / "f3", ts::randomBytes(600, 3));
    ts::writeFile(dir / "f4", ts::randomBytes(20, 4));
    ts::writeFile(dir / "f5", ts::randomBytes(700, 5));
    ts::writeFile(dir / "f6", ts::randomBytes(254, 6));
    ASSERT_EQ(ts::run("cc1541 -q -n 'CONVERT SOURCE' -i cs -f game -w " + d + "f1 -T SEQ -f notes -w " + d +
                      "f2 -T USR -f user -w " + d + "f3 -T DEL -f deleted -w " + d + "f4 -P -f locked -w " + d +
                      "f5 -f 'dirart#a0,8,1' -w " + d + "f6 -f '#c1#c2c' -w " + d + "f6 " + shellQuote(image)),
              0);
}

TEST(CommandLine, OneSessionOfInvocations) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 missing";
    ts::TempDir dir;
    makePeerDisk(dir, dir / "src.d64");
    ts::mkdirIn(dir, "src");
    ts::mkdirIn(dir, "sub");
    const Bytes game = ts::randomBytes(3000, 11);
    for (const char* name : {"src/game.prg", "src/notes.seq", "src/x.usr", "src/y.del", "src/a.prg", "src/b.prg",
                             "src/locked.prg"})
        ts::writeFile(dir / name, game);
    ts::writeFile(dir / "sub/second.prg", ts::randomBytes(10, 12));
    ts::writeFile(dir / "tape.t64", ts::makeTape(1, {{1, 0x0801, 0x0801 + 300, 64 + 32, "TAPE NAME"}}, 300));
    ts::writeFile(dir / "arc.lnx", ts::makeLynx({{"LYNXFILE", 'P', Bytes(300, 1)}}));
    ts::writeFile(dir / "recs.r00", ts::pc64("RECS", Bytes(300, 2), 40));
    ts::writeFile(dir / "my.ini", Bytes {});
    ts::writeText(dir / "my.ini", "[common]\nappendPrgExtension=1\n");
    ts::writeFile(dir / "copy.d64", ts::readFile(dir / "src.d64"));
    ts::writeFile(dir / "-odd.d64", ts::readFile(dir / "src.d64"));
    // A file's first block marked bad in the error bytes: "game" starts at 1:0,
    // where cc1541 starts.
    Bytes withErrors = ts::readFile(dir / "src.d64");
    withErrors.resize(174848 + 683, 1);
    withErrors[174848] = 5;
    ts::writeFile(dir / "bad.d64", withErrors);
    // Track 1's blocks all free in the BAM while the files use them.
    Bytes damaged = ts::readFile(dir / "src.d64");
    for (int b = 1; b < 4; ++b) damaged[91392 + 4 + b] = 0xFF;
    damaged[91392 + 4 + 3] = 0x1F;
    damaged[91392 + 4] = 21;
    ts::writeFile(dir / "damaged.d64", damaged);
    // A scratched entry keeps its name.
    Bytes scratched = ts::readFile(dir / "src.d64");
    scratched[91648 + 32 + 2] = 0;
    ts::writeFile(dir / "scratched.d64", scratched);
    const std::string art = "dirart\xC2\xA0,8,1.prg";  // 0xA0 as listed names carry it
    const std::string usage = "\nTry 'ombrix --help' for more information.\n";

    struct Row {
        const char* args;
        int status;
        std::string out, err;
    };
    const Row rows[] = {
        // 1. Sources by any path, stored under their base names and said as
        // what they became; one-off names, types and locks.
        {"add new.d64 sub/second.prg", 0, "=sub/second.prg -> \"second\" PRG\n", "="},
        {"add new.d64 \"$PWD/src/game.prg\" -C sub", 0, "src/game.prg -> \"game\" PRG\n", "="},
        {"add new.d64 -C src notes.seq x.usr y.del", 0,
         "=notes.seq -> \"notes\" SEQ\nx.usr -> \"x\" USR\ny.del -> \"y\" DEL\n", "="},
        {"add new.d64 src/x.usr", 0, "=src/x.usr -> \"x\" USR\n", "="},  // replaces the USR file listed as x.usr
        {"list new.d64", 0, "!x~2", "="},
        {"add copy.d64 src/locked.prg", 0, "=src/locked.prg -> \"locked-2\" PRG\n", "="},  // "locked" stays
        {"add new.d64 src/a.prg sub/second.prg", 0, "src/a.prg -> \"a\" PRG\nsub/second.prg -> \"second\" PRG\n", ""},
        {"add -v new.d64 --name 'My Game' --type prg --lock src/game.prg", 0,
         "=src/game.prg -> \"My Game\" PRG<, 12 blocks\n", "="},
        {"add new.d64 --name 'My Game' --type prg src/b.prg", 16, "=", "a file \"My Game\" PRG< is there already"},
        {"add new.d64 --type usr --lock src/b.prg", 0, "=src/b.prg -> \"b\" USR<\n", ""},
        {"add new.d64 --title NEW src/a.prg", 2, "=", "new.d64 exists (its header is not changed)"},
        {"add new.d64 --name x src/a.prg src/b.prg", 2, "=", "--name names one file"},
        {"add new.d64 --type rel src/a.prg", 2, "=", "--type rel needs --record-length N"},
        {"add new.d64 --type rel --record-length 255 src/a.prg", 2, "=", "--record-length takes 1 to 254"},
        {"add new.d64 --type rel --record-length=64 src/a.prg", 0, "=src/a.prg -> \"a\" REL\n", "="},
        {"add new.d64 src/missing.prg", 18, "=", "=ombrix: no such file: src/missing.prg [E_EREAD (18)]\n"},
        {"add tape.t64 src/a.prg", 24, "=", "T64 images are read only: extract the files and add them to a .d64"},
        {"add arc.lnx src/a.prg", 24, "=", "Lynx archives are read only"},
        {"add fresh.x64 src/a.prg", 24, "=", "new X64 images are not made: name the image .d64"},
        {"add titled.d64 --title 'SIXTEEN CHARS!!!' --id ABC src/a.prg", 0, "",
         "=ombrix: warning: the ID is cut to 2 characters: \"AB\"\n"},
        {"dir titled.d64", 0, "0 \"sixteen chars!!!\" ab 2a\n", "="},
        {"add long.d64 --title 'SEVENTEEN CHARS!!' src/a.prg", 0, "", "the title is cut to 16 characters"},
        // 2. Names as the drive takes them: listed or CBM names, patterns, any case.
        {"extract src.d64 -C out GAME '*.usr' 'DIRART'", 0,
         "=extracted out/game.prg\nextracted out/user.usr\nextracted out/" + art + "\n", "="},
        {"test src.d64 'd*'", 0, "=ok deleted.del\nok " + art + "\n", "="},
        {"test src.d64 src.d64 ABC", 0, "src.d64:\nok ABc.prg\n", "="},
        {"test src.d64 nothing 'g?me'", 22, "=ok game.prg\n", "=ombrix: src.d64: no such file: nothing [E_NO_FILES (22)]\n"},
        {"delete copy.d64 'NOT*' nothing", 22, "=", "nothing deleted"},
        {"delete copy.d64 'NOT*' 'us?r'", 0, "=deleted notes.seq\ndeleted user.usr\n", "="},
        {"delete copy.d64 lock*", 24, "=", "file is locked: locked (\"locked\" PRG<); nothing deleted"},
        {"rename copy.d64 game new.usr", 0, "=game.prg -> \"new\" USR\n", "="},
        {"rename copy.d64 '*' x", 2, "=", "matches 6 files"},
        {"--scratched list scratched.d64", 0, "notes.prg  hidden\n", "="},
        {"list scratched.d64", 0, "!notes", "="},
        // 3. Messages: one line and where help is; words for what happened.
        {"--bogus list src.d64", 2, "=", std::string("=ombrix: unknown option '--bogus'") + usage},
        {"list src.d64 --pc64", 2, "=", "option '--pc64' does not go with list"},
        {"list --json=yes src.d64", 2, "=", "option '--json' takes no value"},
        {"frobnicate", 2, "=", "unknown command 'frobnicate'"},
        {"help add", 0, "Usage: ombrix add IMAGE", "="},
        {"delete --help", 0, "Usage: ombrix delete IMAGE NAME...", "="},
        {"list missing.d64", 15, "=", "=ombrix: missing.d64: cannot open the image: No such file or directory [E_EOPEN (15)]\n"},
        {"find zzz .", 1, "=", "="},
        {"find game nowhere", 15, "=", "nowhere: no such folder or image"},
        {"find GAME src.d64", 0, "=src.d64: game.prg\n", "="},
        {"new sub/blank.g71", 0, "=made sub/blank.g71\n", "="},
        {"add -q sub/blank.g71 src/a.prg", 0, "=", "="},
        {"find A sub", 0, "=sub/blank.g71: a.prg\n", "="},
        {"find 'game.prg?' src.d64", 1, "=", "="},
        // 4. Conventions: -O, --, --opt=value, -Cdir, -q, -v, --ini FILE, switches.
        {"extract src.d64 -Cout2 --directory=out3 notes.seq", 0, "=extracted out3/notes.seq\n", "="},
        {"-q extract src.d64 -C out4", 0, "=", "="},
        {"extract -v src.d64 -C out5 game", 0, "=extracted out5/game.prg (3000 bytes)\n", "="},
        {"test -- -odd.d64 game", 0, "=ok game.prg\n", "="},
        {"--ini my.ini list src.d64", 0, "notes.prg", ""},
        {"test bad.d64 game", 18, "", "game.prg: read error"},
        {"--ignore-errors test bad.d64 game", 0, "=ok game.prg\n", "="},
        // 5. Whole images.
        {"new blank.d81 --title 'MY DISK' --id AB", 0, "=made blank.d81\n", "="},
        {"dir blank.d81", 0, "=0 \"my disk         \" ab 3d\n3160 BLOCKS FREE.\n", "="},
        {"new blank.d81", 16, "=", "the image exists"},
        {"new forty.d64 --tracks 40", 0, "", ""},
        {"info forty.d64", 0, "tracks:          40\n40-track layout: speeddos\n", "="},
        {"new forty.d81 --tracks 40", 2, "=", "--tracks 40 makes a .d64"},
        {"new tape2.t64", 24, "=", "T64 images are read only"},
        {"convert src.d64 blank.d81", 0, "locked -> \"locked\" PRG<\n" + art + " -> \"dirart\",8,1 PRG\n", "="},
        {"convert src.d64 blank.d81", 16, "=", "a file \"game\" PRG is there already in blank.d81"},
        {"convert recs.r00 r.d64", 0, "=recs.rel -> \"recs\" REL\n", "="},
        {"convert src.d64 src.d64", 2, "=", "the source is the target"},
        // 6. dir as the drive shows it.
        {"dir src.d64", 0, "3    \"locked\"           PRG<\n1    \"dirart\",8,1       PRG\n", "="},
        {"dir tape.t64", 0, "2    \"tape name\"        PRG\n", "="},
        {"dir arc.lnx", 0, "=2    \"lynxfile\"         PRG\n", "="},
        // 7. JSON of one shape, failures in it; validate's ranges and hints.
        {"list --json tape.t64", 0, "=[\n  {\"image\": \"tape.t64\", \"files\": [\n    {\"name\": \"tape name.prg\", \"blocks\": 300, "
                                    "\"bytes\": 302, \"hidden\": false, \"type\": \"PRG\", \"cbmName\": "
                                    "\"54415045204e414d45a0a0a0a0a0a0a0\", \"locked\": false, \"closed\": true, \"geos\": false, "
                                    "\"recordLength\": 0}\n  ]}\n]\n", "="},
        {"list --json src.d64 missing.d64", 15,
         "\"type\": \"PRG\", \"cbmName\": \"4c4f434b4544a0a0a0a0a0a0a0a0a0a0\", \"locked\": true, \"closed\": true, "
         "\"geos\": false",
         ""},
        {"list --json missing.d64", 15, "[\n  {\"image\": \"missing.d64\", \"files\": [], \"error\": {\"code\": 15, \"name\": "
                                        "\"E_EOPEN\", \"message\": \"cannot open the file\"}}\n]\n", ""},
        {"info --json src.d64", 0, "[\n  {\"image\": \"src.d64\", \"format\": \"D64\"", "="},
        {"validate damaged.d64", 13,
         "in use but free in the BAM (the next write would destroy them): 1:0 (\"game\"), 1:", "="},
        {"validate damaged.d64", 13, "(ombrix validate --repair mends this)\n", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        const Output o = runIn(dir, row.args);
        EXPECT_EQ(o.status, row.status) << o.out << o.err;
        EXPECT_TRUE(holds(o.out, row.out));
        EXPECT_TRUE(holds(o.err, row.err));
    }
    // -O: the file's bytes and nothing else on standard output.
    const Output bytes = runIn(dir, "extract src.d64 game -O");
    EXPECT_EQ(bytes.status, 0);
    EXPECT_TRUE(Bytes(bytes.out.begin(), bytes.out.end()) == ts::readFile(dir / "f1"));
    EXPECT_EQ(bytes.err, "");
}

// What a convert must keep of each file, in directory order: its type byte
// (lock and closed bits in it), its 16 name bytes, its size and flags, its
// listed name; not where its entry lies.
std::vector<std::string> entryFacts(const std::string& image) {
    std::vector<char> buffer(1 << 16);
    int size = static_cast<int>(buffer.size());
    EXPECT_EQ(ListEntriesText(image.c_str(), buffer.data(), &size), 0) << image;
    std::vector<std::string> facts;
    std::string text(buffer.data());
    for (std::size_t from = 0; from < text.size();) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(from, end - from);
        from = end + 1;
        if (line.rfind("entry\t", 0) != 0) continue;
        // entry KEY NAME TYPE NAMEHEX BLOCKS BYTES FLAGS ...: all but the key and the blocks.
        std::vector<std::string> f;
        for (std::size_t a = 0;;) {
            const std::size_t tab = line.find('\t', a);
            f.push_back(line.substr(a, tab == std::string::npos ? std::string::npos : tab - a));
            if (tab == std::string::npos) break;
            a = tab + 1;
        }
        facts.push_back(f[2] + " " + f[3] + " " + f[4] + " " + f[6] + " " + f[7]);
    }
    return facts;
}

std::map<std::string, Bytes> extracted(const ts::TempDir& dir, const std::string& image, const std::string& tag) {
    const std::string out = dir / ("x-" + tag);
    std::string text;
    EXPECT_EQ(ts::run(ts::host(dir) + "-q extract " + shellQuote(image) + " -C " + shellQuote(out), &text), 0) << text;
    std::map<std::string, Bytes> files;
    for (const std::string& name : ts::listDir(out)) files[name] = ts::readFile(out + "/" + name);
    return files;
}

// cc1541's file lines (name, type, lock; blocks) of an image it reads; it
// rewrites what it lists, so it lists a copy.
std::vector<std::string> peerLines(const ts::TempDir& dir, const std::string& image) {
    const std::string copy = dir / ("peer" + image.substr(image.rfind('.')));
    ts::writeFile(copy, ts::readFile(image));
    std::string out;
    ts::run("cc1541 " + shellQuote(copy), &out);
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < out.size();) {
        std::size_t end = out.find('\n', from);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(from, end - from);
        from = end + 1;
        if (line.find('"') != std::string::npos && line.find("\x1b[7m") == std::string::npos) lines.push_back(line);
    }
    return lines;
}

// cbmconvert's files of an image, by content (it names GEOS files its own way
// and skips unclosed ones).
std::multiset<Bytes> peerContents(const ts::TempDir& dir, const std::string& image, const std::string& tag) {
    const std::string out = ts::mkdirIn(dir, "cb-" + tag);
    ts::run("cd " + shellQuote(out) + " && cbmconvert -d " + shellQuote(image));
    std::multiset<Bytes> contents;
    for (const std::string& name : ts::listDir(out)) contents.insert(ts::readFile(out + "/" + name));
    return contents;
}

TEST(CommandLine, ConvertKeepsEveryFileBetweenEveryPairOfWritableTypes) {
    if (!ts::haveTool("cc1541") || !ts::haveTool("cbmconvert")) GTEST_SKIP() << "cc1541 or cbmconvert missing";
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const std::string src = dir / "src.d64";
    makePeerDisk(dir, src);
    // An unclosed file ("ABc", the seventh entry) and a GEOS VLIR file.
    Bytes disk = ts::readFile(src);
    disk[91648 + 6 * 32 + 2] = 0x02;
    ts::writeFile(src, disk);
    ts::writeFile(dir / "geos.cvt",
                  ts::convertFile("Geos File", 0x83, true, {ts::randomBytes(600, 7), {}, ts::randomBytes(30, 8)}, 9));
    std::string out;
    ASSERT_EQ(ts::run(ts::host(dir) + "add " + shellQuote(src) + " " + shellQuote(dir / "geos.cvt"), &out), 0) << out;
    const std::vector<std::string> facts = entryFacts(src);
    ASSERT_EQ(facts.size(), 8u);
    const std::map<std::string, Bytes> files = extracted(dir, src, "src");
    const std::vector<std::string> peerOfSource = peerLines(dir, src);
    const std::multiset<Bytes> peerFiles = peerContents(dir, src, "src");

    // An X64 is written only where it is: an empty D64 behind a header.
    ASSERT_EQ(ts::run(ts::host(dir) + "new " + shellQuote(dir / "empty.d64"), &out), 0) << out;
    Bytes x64 = {0x43, 0x15, 0x41, 0x64, 1, 2, 1, 35, 1, 0};
    x64.resize(64, 0);
    const Bytes empty = ts::readFile(dir / "empty.d64");
    x64.insert(x64.end(), empty.begin(), empty.end());

    const std::vector<std::string> kinds = {"d64", "d71", "d80", "d81", "d82", "g64", "g71", "x64"};
    auto convert = [&](const std::string& from, const std::string& to) {
        SCOPED_TRACE(from + " -> " + to);
        if (to.substr(to.size() - 3) == "x64") ts::writeFile(to, x64);
        std::string text;
        ASSERT_EQ(ts::run(ts::host(dir) + "-q convert " + shellQuote(from) + " " + shellQuote(to), &text), 0) << text;
        EXPECT_EQ(entryFacts(to), facts);
        EXPECT_TRUE(extracted(dir, to, to.substr(to.rfind('/') + 1)) == files);
        const std::string kind = to.substr(to.size() - 3);
        if (kind == "d64" || kind == "d71" || kind == "d81") {
            EXPECT_EQ(peerLines(dir, to), peerOfSource);
            EXPECT_TRUE(peerContents(dir, to, to.substr(to.rfind('/') + 1)) == peerFiles);
        }
    };
    for (const std::string& a : kinds) convert(src, dir / ("t." + a));
    for (const std::string& a : kinds)
        for (const std::string& b : kinds) convert(dir / ("t." + a), dir / ("p-" + a + "." + b));
}

TEST(CommandLine, ConvertFromTapesAndArchivesOfFiles) {
    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 missing";
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    ts::writeFile(dir / "t.t64", ts::makeTape(2, {{1, 0x0801, 0x0801 + 300, 64 + 64, "FIRST"},
                                                  {1, 0xC000, 0xC000 + 20, 64 + 64 + 300, "SECOND", 0xA0}},
                                              320));
    ts::writeFile(dir / "a.lnx", ts::makeLynx({{"PROG", 'P', ts::randomBytes(300, 1)},
                                               {"TEXT", 'S', ts::randomBytes(600, 2)},
                                               {"MINE", 'U', ts::randomBytes(20, 3)}}));
    ts::writeFile(dir / "one.p00", ts::pc64("ONE", ts::randomBytes(500, 4)));
    ts::writeFile(dir / "two.s00", ts::pc64("TWO", ts::randomBytes(50, 5)));
    struct Row {
        const char* from;
        const char* to;
        std::vector<std::string> peer;  // cc1541's file lines of the target
    };
    const Row rows[] = {
        {"t.t64", "tape.d64", {"2    \"first\"            prg ", "1    \"second\"           prg "}},
        {"a.lnx", "lynx.d81", {"2    \"prog\"             prg ", "3    \"text\"             seq ", "1    \"mine\"             usr "}},
        {"one.p00", "pc64.d71", {"2    \"one\"              prg "}},
        {"two.s00", "pc64.d71", {"2    \"one\"              prg ", "1    \"two\"              seq "}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.from);
        const Output o = runIn(dir, std::string("convert ") + row.from + " " + row.to);
        EXPECT_EQ(o.status, 0) << o.out << o.err;
        // The bytes extraction gives (a tape's with the load address); the
        // names as cc1541 lists them (a tape's 0xA0 fill is a disk name's end).
        std::multiset<Bytes> after;
        for (const auto& [name, data] : extracted(dir, dir / row.to, row.to)) after.insert(data);
        for (const auto& [name, data] : extracted(dir, dir / row.from, row.from))
            EXPECT_EQ(after.count(data), 1u) << name;
        EXPECT_EQ(peerLines(dir, dir / row.to), row.peer);
    }
    // A REL file goes with its record length, its records whole (a drive
    // extends them with empty records to the end of the last block).
    const Bytes records = ts::randomBytes(300, 6);
    ts::writeFile(dir / "r.lnx", ts::makeLynx({{"PROG", 'P', Bytes(10, 1)}, {"RECS", 'R', records, 30}}));
    const Output rel = runIn(dir, "convert r.lnx rel.d64");
    EXPECT_EQ(rel.status, 0) << rel.err;
    EXPECT_EQ(peerLines(dir, dir / "rel.d64"), (std::vector<std::string>{"1    \"prog\"             prg ", "3    \"recs\"             rel "}));
    EXPECT_NE(runIn(dir, "list --json rel.d64").out.find("\"type\": \"REL\", \"cbmName\": \"52454353a0a0a0a0a0a0a0a0a0a0a0a0\", \"locked\": false, \"closed\": true, \"geos\": false, \"recordLength\": 30"), std::string::npos);
    const Bytes back = extracted(dir, dir / "rel.d64", "rel.d64").at("recs.rel");
    ASSERT_EQ(back.size(), 480u);
    EXPECT_TRUE(Bytes(back.begin(), back.begin() + 300) == records);
    ts::writeFile(dir / "r0.lnx", ts::makeLynx({{"RECS", 'R', records, 0}}));
    const Output none = runIn(dir, "convert r0.lnx r0.d64");
    EXPECT_EQ(none.status, 24);
    EXPECT_NE(none.err.find("\"recs\" REL: a REL file of record length 0, which no record has"), std::string::npos) << none.err;
    EXPECT_FALSE(ts::exists(dir / "r0.d64"));
}

}  // namespace
