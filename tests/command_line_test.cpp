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
    for (const char* name : {"src/game.prg", "src/notes.seq", "src/x.usr", "src/y.del", "src/a.prg", "src/b.prg"})
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
        {"add new.d64 src/a.prg sub/second.prg", 0, "src/a.prg -> \"a\" PRG\nsub/second.prg -> \"second\" PRG\n", ""},
        {"add -v new.d64 --name 'My Game' --type prg --lock src/game.prg", 0,
         "=src/game.prg -> \"My Game\" PRG<, 12 blocks\n", "="},
        {"add new.d64 --name 'My Game' --type prg src/b.prg", 16, "=", "a file \"My Game\" PRG< is there already"},
        {"add new.d64 --type usr --lock src/b.prg", 0, "=src/b.prg -> \"b\" USR<\n", ""},
        {"add new.d64 --title NEW src/a.prg", 2, "=", "new.d64 exists (its header is not changed)"},
        {"add new.d64 --name x src/a.prg src/b.prg", 2, "=", "--name names one file"},
        {"add new.d64 --type rel src/a.prg", 2, "=", "REL files cannot be written"},
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
        {"rename copy.d64 '*' x", 2, "=", "matches 5 files"},
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
        {"convert recs.r00 r.d64", 24, "=", "\"recs\" REL (record length 40): REL files cannot be written yet"},
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

}  // namespace
