// Adding and deleting through the command-line host, cross-checked with the
// peer tools: what `ombrix add` writes comes back byte for byte through
// cbmconvert and our own extraction, and passes `cc1541 -V`.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <set>

#include "tests/pack_support.h"

namespace {

using pt::Bytes;
using ts::shellQuote;

using ts::host;
using ts::mkdirIn;

int hostAdd(const ts::TempDir& dir, const std::string& image, const std::string& src,
            const std::vector<std::string>& names, std::string* out = nullptr) {
    std::string cmd = host(dir) + "add " + shellQuote(image) + " -C " + shellQuote(src);
    for (const std::string& n : names) cmd += " " + shellQuote(n);
    return ts::run(cmd, out);
}

int hostDelete(const ts::TempDir& dir, const std::string& image, const std::vector<std::string>& names,
               std::string* out = nullptr) {
    std::string cmd = host(dir) + "delete " + shellQuote(image);
    for (const std::string& n : names) cmd += " " + shellQuote(n);
    return ts::run(cmd, out);
}

bool peersPresent() { return ts::haveTool("cc1541") && ts::haveTool("cbmconvert"); }

std::string errorLine(const std::string& out) {
    const std::size_t at = out.find("ERROR:");
    return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
}

// cc1541's verdict on an image it made itself, per format ("" = passed).
// cc1541 4.0 rejects its own D71 and D81 images (it checks them by the 1541
// rules), so there no verdict on ours can be better than that one.
std::string peerOwnVerdict(const std::string& ext) {
    static std::map<std::string, std::string> verdicts;
    auto found = verdicts.find(ext);
    if (found != verdicts.end()) return found->second;
    ts::TempDir dir;
    ts::writeFile(dir / "f.prg", ts::randomBytes(3000, 9));
    const std::string image = dir / ("ref." + ext);
    ts::run("cc1541 -n REF -f ref -w " + shellQuote(dir / "f.prg") + " " + shellQuote(image));
    std::string out;
    ts::run("cc1541 -V " + shellQuote(image), &out);
    return verdicts[ext] = errorLine(out);
}

// `cc1541 -V IMAGE` validates without changing anything.
void expectValid(const std::string& image) {
    const std::string ext = image.substr(image.rfind('.') + 1);
    std::string out;
    const int rc = ts::run("cc1541 -V " + shellQuote(image), &out);
    const std::string reference = peerOwnVerdict(ext);
    if (reference.empty()) {
        EXPECT_EQ(rc, 0) << out;
        EXPECT_NE(out.find("validation passed"), std::string::npos) << out;
    } else {
        EXPECT_EQ(errorLine(out), reference) << out;
    }
}

// cc1541's listing: "blocks "name" type" per file, and the free count.
struct PeerListing {
    std::vector<std::string> lines;  // "<blocks> <name> <type>"
    int blocksFree = -1;
};
PeerListing peerList(const std::string& image) {
    PeerListing listing;
    std::string out;
    ts::run("cc1541 " + shellQuote(image), &out);
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        char* rest = nullptr;
        const long number = std::strtol(line.c_str(), &rest, 10);
        if (rest == line.c_str()) continue;
        const std::string tail(rest);
        if (tail.rfind(" blocks free", 0) == 0) {
            listing.blocksFree = static_cast<int>(number);
            continue;
        }
        // File lines: blanks, "name", blanks, type. The header line shows
        // the disk name in inverse video.
        const std::size_t open = tail.find('"');
        const std::size_t close = open == std::string::npos ? open : tail.find('"', open + 1);
        if (close == std::string::npos || tail.find("\x1b[7m") != std::string::npos) continue;
        std::size_t typeStart = tail.find_first_not_of(' ', close + 1);
        std::size_t typeEnd = tail.find(' ', typeStart);
        if (typeStart == std::string::npos) continue;
        listing.lines.push_back(std::to_string(number) + " " + tail.substr(open + 1, close - open - 1) + " " +
                                tail.substr(typeStart, typeEnd == std::string::npos ? typeEnd : typeEnd - typeStart));
    }
    return listing;
}

// Extracts with cbmconvert (into a fresh folder) and with the host; both must
// give exactly the expected files.
void expectExtracted(const ts::TempDir& dir, const std::string& image, const std::map<std::string, Bytes>& expected,
                     bool withCbmconvert, const std::string& tag) {
    if (withCbmconvert) {
        const std::string cb = mkdirIn(dir, "cb-" + tag);
        std::string out;
        EXPECT_EQ(ts::run("cd " + shellQuote(cb) + " && cbmconvert -d " + shellQuote(image), &out), 0) << out;
        auto files = pt::snapshot(cb);
        EXPECT_EQ(files.size(), expected.size()) << out;
        for (const auto& [name, data] : expected) EXPECT_TRUE(files[name] == data) << "cbmconvert: " << name;
    }
    const std::string ours = mkdirIn(dir, "ours-" + tag);
    std::string out;
    EXPECT_EQ(ts::run(host(dir) + "extract " + shellQuote(image) + " -C " + shellQuote(ours), &out), 0) << out;
    auto files = pt::snapshot(ours);
    EXPECT_EQ(files.size(), expected.size()) << out;
    for (const auto& [name, data] : expected) EXPECT_TRUE(files[name] == data) << "ombrix: " << name;
}

TEST(RoundTrip, NewImagesWrittenByTheHostReadBackEverywhere) {
    if (!peersPresent()) GTEST_SKIP() << "cc1541 or cbmconvert missing";
    const char* const kExts[] = {"d64", "d71", "d81", "d80", "d82"};
    for (const char* ext : kExts) {
        SCOPED_TRACE(ext);
        const bool peers = std::string(ext) == "d64" || std::string(ext) == "d71" || std::string(ext) == "d81";
        ts::TempDir dir;
        const std::string src = mkdirIn(dir, "src");
        mkdirIn(dir, "src/sub");
        std::map<std::string, Bytes> sources;
        std::vector<std::string> names;
        for (std::size_t size : {1u, 253u, 254u, 255u, 508u, 509u, 20000u}) {
            const std::string name = "f" + std::to_string(size) + ".prg";
            sources[name] = ts::randomBytes(size, static_cast<std::uint32_t>(size));
            names.push_back(name);
        }
        sources["notes.seq"] = ts::randomBytes(3000, 11);
        sources["sub/file.prg"] = ts::randomBytes(600, 12);
        names.insert(names.end(), {"notes.seq", "sub/file.prg"});
        pt::writeSources(src, sources);
        const std::string image = dir / (std::string("new.") + ext);

        std::string out;
        ASSERT_EQ(hostAdd(dir, image, src, names, &out), 0) << out;
        if (peers) {
            expectValid(image);
            const PeerListing listing = peerList(image);
            EXPECT_EQ(listing.lines,
                      (std::vector<std::string>{"1 f1 prg", "1 f253 prg", "1 f254 prg", "2 f255 prg", "2 f508 prg",
                                                "3 f509 prg", "79 f20000 prg", "12 notes seq", "3 file prg"}));
        }
        std::map<std::string, Bytes> expected;
        // A source is stored under its base name, wherever it lies.
        for (const auto& [name, data] : sources) expected[name == "sub/file.prg" ? "file.prg" : name] = data;
        expectExtracted(dir, image, expected, peers, "first");

        // A file of 0 bytes owns no block (start 0/0); cbmconvert and we read
        // it as empty. cc1541 -V refuses any entry with track 0, so the
        // validation above runs before it is added.
        ts::writeFile(src + "/zero.prg", {});
        ASSERT_EQ(hostAdd(dir, image, src, {"zero.prg"}, &out), 0) << out;
        expected["zero.prg"] = {};
        expectExtracted(dir, image, expected, peers, "second");
    }
}

TEST(RoundTrip, FilesAddedToImagesMadeByPeerTools) {
    if (!peersPresent()) GTEST_SKIP() << "cc1541 or cbmconvert missing";
    struct Maker {
        const char* what;
        const char* ext;
        const char* cbmconvertFlag;  // null: made by cc1541
    };
    const Maker kMakers[] = {{"cc1541", "d64", nullptr},  {"cc1541", "d71", nullptr},  {"cc1541", "d81", nullptr},
                             {"cbmconvert", "d64", "-D4"}, {"cbmconvert", "d71", "-D7"}, {"cbmconvert", "d81", "-D8"}};
    for (const Maker& maker : kMakers) {
        SCOPED_TRACE(std::string(maker.what) + " " + maker.ext);
        ts::TempDir dir;
        const std::string src = mkdirIn(dir, "src");
        const std::map<std::string, Bytes> old = {{"old1.prg", ts::randomBytes(5000, 1)},
                                                  {"old2.seq", ts::randomBytes(300, 2)}};
        const std::map<std::string, Bytes> added = {{"new1.prg", ts::randomBytes(12000, 3)},
                                                    {"new2.seq", ts::randomBytes(254, 4)},
                                                    {"new3.prg", ts::randomBytes(1, 5)}};
        pt::writeSources(src, old);
        pt::writeSources(src, added);
        const std::string image = dir / (std::string("peer.") + maker.ext);
        std::string out;
        if (maker.cbmconvertFlag)
            ASSERT_EQ(ts::run("cd " + shellQuote(src) + " && cbmconvert " + maker.cbmconvertFlag + " " +
                                  shellQuote(image) + " old1.prg old2.seq",
                              &out),
                      0)
                << out;
        else
            ASSERT_EQ(ts::run("cc1541 -n PEER -f old1 -w " + shellQuote(src + "/old1.prg") + " -f old2 -T SEQ -w " +
                                  shellQuote(src + "/old2.seq") + " " + shellQuote(image),
                              &out),
                      0)
                << out;
        const int freeBefore = peerList(image).blocksFree;

        ASSERT_EQ(hostAdd(dir, image, src, {"new1.prg", "new2.seq", "new3.prg"}, &out), 0) << out;
        expectValid(image);
        const PeerListing listing = peerList(image);
        EXPECT_EQ(listing.blocksFree, freeBefore - 48 - 1 - 1);
        EXPECT_EQ(listing.lines, (std::vector<std::string>{"20 old1 prg", "2 old2 seq", "48 new1 prg", "1 new2 seq",
                                                           "1 new3 prg"}));
        std::map<std::string, Bytes> all = old;
        all.insert(added.begin(), added.end());
        expectExtracted(dir, image, all, true, "all");

        // Deleting what was added gives the peer's free count back.
        ASSERT_EQ(hostDelete(dir, image, {"new1.prg", "new2.seq", "new3.prg"}, &out), 0) << out;
        expectValid(image);
        EXPECT_EQ(peerList(image).blocksFree, freeBefore);
        EXPECT_EQ(peerList(image).lines, (std::vector<std::string>{"20 old1 prg", "2 old2 seq"}));
        expectExtracted(dir, image, old, true, "old");
    }
}

// GEOS files travel as Convert files: a sequential one, VLIR files with an
// empty record among their records and after the last, a locked one; their
// names are ASCII in both letter cases and list as such.
std::map<std::string, Bytes> geosSources() {
    return {{"seq.cvt", ts::convertFile("Seq Geos", 0x82, false, {ts::randomBytes(700, 21)}, 1)},
            {"vlir.cvt", ts::convertFile("Vlir GEOS", 0x83, true,
                                         {ts::randomBytes(300, 22), {}, ts::randomBytes(254, 23), ts::randomBytes(1, 24)},
                                         2)},
            {"tail.cvt", ts::convertFile("vlir Tail", 0x83, true, {ts::randomBytes(600, 25), {}, ts::randomBytes(10, 26), {}},
                                         3)},
            {"locked.cvt", ts::convertFile("Locked", 0xC2, false, {ts::randomBytes(254, 27)}, 4)}};
}
const std::map<std::string, std::string> kGeosListed = {
    {"seq.cvt", "Seq Geos.cvt"}, {"vlir.cvt", "Vlir GEOS.cvt"}, {"tail.cvt", "vlir Tail.cvt"}, {"locked.cvt", "Locked.cvt"}};

// cbmconvert names the GEOS files it extracts in its own way: files are
// compared by content.
std::multiset<Bytes> contents(const std::map<std::string, Bytes>& files) {
    std::multiset<Bytes> out;
    for (const auto& [name, data] : files) out.insert(data);
    return out;
}

std::map<std::string, Bytes> cbmconvertExtracts(const ts::TempDir& dir, const std::string& image, const std::string& tag) {
    const std::string cb = mkdirIn(dir, "cb-" + tag);
    std::string out;
    EXPECT_EQ(ts::run("cd " + shellQuote(cb) + " && cbmconvert -d " + shellQuote(image), &out), 0) << out;
    return pt::snapshot(cb);
}

std::map<std::string, Bytes> hostExtracts(const ts::TempDir& dir, const std::string& image, const std::string& tag) {
    const std::string ours = mkdirIn(dir, "ours-" + tag);
    std::string out;
    EXPECT_EQ(ts::run(host(dir) + "extract " + shellQuote(image) + " -C " + shellQuote(ours), &out), 0) << out;
    return pt::snapshot(ours);
}

// Every listed size is what extraction wrote.
void expectListedSizes(const std::string& image, const std::map<std::string, Bytes>& extracted) {
    const ts::Listing l = ts::list(image);
    EXPECT_EQ(l.files.size(), extracted.size());
    for (const ts::Listed& f : l.files) {
        auto found = extracted.find(f.name);
        ASSERT_NE(found, extracted.end()) << f.name;
        EXPECT_EQ(static_cast<std::size_t>(f.bytes), found->second.size()) << f.name;
    }
}

TEST(RoundTrip, GeosFilesCbmconvertWritesExtractAsCbmconvertExtractsThem) {
    if (!peersPresent()) GTEST_SKIP() << "cc1541 or cbmconvert missing";
    for (const std::string ext : {"d64", "d81"}) {
        SCOPED_TRACE(ext);
        ts::TempDir dir;
        const std::string src = mkdirIn(dir, "src");
        const auto sources = geosSources();
        pt::writeSources(src, sources);
        const std::string image = dir / ("geos." + ext);
        std::string out;
        ASSERT_EQ(ts::run("cd " + shellQuote(src) + " && cbmconvert " + (ext == "d64" ? "-D4 " : "-D8 ") +
                              shellQuote(image) + " seq.cvt vlir.cvt tail.cvt locked.cvt",
                          &out),
                  0)
            << out;
        const auto ours = hostExtracts(dir, image, "ours");
        EXPECT_EQ(contents(ours), contents(cbmconvertExtracts(dir, image, "cb")));
        for (const auto& [name, listed] : kGeosListed) EXPECT_TRUE(ours.at(listed) == sources.at(name)) << listed;
        expectListedSizes(image, ours);
    }
}

// What we pack cbmconvert extracts as it was and we extract again byte for
// byte; packing it again replaces it and deleting it gives every block back.
TEST(RoundTrip, ConvertFilesPackedByTheHostReadBackEverywhere) {
    if (!peersPresent()) GTEST_SKIP() << "cc1541 or cbmconvert missing";
    for (const std::string ext : {"d64", "d81"}) {
        SCOPED_TRACE(ext);
        ts::TempDir dir;
        const std::string src = mkdirIn(dir, "src");
        const auto sources = geosSources();
        pt::writeSources(src, sources);
        pt::writeSources(src, {{"plain.prg", ts::randomBytes(1000, 5)}});
        const std::string image = dir / ("geos." + ext);
        std::string out;
        ASSERT_EQ(hostAdd(dir, image, src, {"plain.prg"}, &out), 0) << out;
        const int freeBefore = peerList(image).blocksFree;
        ASSERT_EQ(hostAdd(dir, image, src, {"seq.cvt", "vlir.cvt", "tail.cvt", "locked.cvt"}, &out), 0) << out;
        std::map<std::string, Bytes> expected = sources;
        expected["plain.prg"] = ts::readFile(src + "/plain.prg");
        EXPECT_EQ(contents(cbmconvertExtracts(dir, image, "cb")), contents(expected));
        const auto ours = hostExtracts(dir, image, "ours");
        for (const auto& [name, listed] : kGeosListed) EXPECT_TRUE(ours.at(listed) == sources.at(name)) << listed;
        expectListedSizes(image, ours);
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;

        int geosBlocks = 0;
        for (const ts::Listed& f : ts::list(image).files) geosBlocks += f.name == "plain.prg" ? 0 : f.blocks;
        EXPECT_EQ(peerList(image).blocksFree, freeBefore - geosBlocks);
        // Packed again under the name it is listed as, a GEOS file is replaced.
        ts::writeFile(src + "/Vlir GEOS.cvt", sources.at("vlir.cvt"));
        ASSERT_EQ(hostAdd(dir, image, src, {"Vlir GEOS.cvt"}, &out), 0) << out;
        EXPECT_EQ(ts::list(image).files.size(), 5u);
        EXPECT_EQ(peerList(image).blocksFree, freeBefore - geosBlocks);
        // The locked file stays, as locked files do; asked for, it fails the call.
        EXPECT_EQ(hostDelete(dir, image, {"Seq Geos.cvt", "Locked.cvt"}, &out), 24) << out;
        ASSERT_EQ(hostDelete(dir, image, {"Seq Geos.cvt", "Vlir GEOS.cvt", "vlir Tail.cvt"}, &out), 0) << out;
        EXPECT_EQ(ts::run(host(dir) + "validate " + shellQuote(image), &out), 0) << out;
        // cc1541 takes the GEOS file's ASCII name for PETSCII.
        EXPECT_EQ(peerList(image).lines, (std::vector<std::string>{"4 plain prg", "2 lOCKED prg<"}));
        EXPECT_EQ(peerList(image).blocksFree, freeBefore - 2);
    }
}

TEST(RoundTrip, HostDeleteErasesWithTheIniSwitch) {
    if (!peersPresent()) GTEST_SKIP() << "cc1541 or cbmconvert missing";
    ts::TempDir dir;
    const std::string src = mkdirIn(dir, "src");
    pt::writeSources(src, {{"keep.prg", ts::randomBytes(2000, 1)}, {"gone.prg", ts::randomBytes(2000, 2)}});
    const std::string image = dir / "erase.d64";
    std::string out;
    ASSERT_EQ(hostAdd(dir, image, src, {"keep.prg", "gone.prg"}, &out), 0) << out;
    auto before = pt::load(image);
    const pt::Chain chain = pt::chainOf(*before, *pt::findEntry(pt::entries(*before), pt::petscii("gone")));
    ASSERT_EQ(chain.blocks.size(), 8u);

    ts::writeText(dir / "ini/ombrix.ini", "[common]\nlogLevel=3\neraseDeletedSectors=1\n");
    ASSERT_EQ(hostDelete(dir, image, {"gone.prg"}, &out), 0) << out;
    expectValid(image);
    auto after = pt::load(image);
    for (auto [t, s] : chain.blocks) {
        const std::uint8_t* b = pt::blockOf(*after, t, s);
        EXPECT_EQ(std::count(b, b + 256, 0), 256);
    }
    EXPECT_EQ(peerList(image).lines, (std::vector<std::string>{"8 keep prg"}));
    EXPECT_EQ(peerList(image).blocksFree, 664 - 8);
}

TEST(RoundTrip, HostReportsRefusedCalls) {
    ts::TempDir dir;
    const std::string src = mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(100, 1)}});
    std::string out;
    EXPECT_EQ(hostAdd(dir, dir / "x.t64", src, {"a.prg"}, &out), 24);
    EXPECT_NE(out.find("E_NOT_SUPPORTED (24)"), std::string::npos) << out;
    EXPECT_EQ(hostAdd(dir, dir / "x.d64", src, {"a.prg", "missing.prg"}, &out), 18);
    EXPECT_NE(out.find("E_EREAD (18)"), std::string::npos) << out;
    EXPECT_FALSE(ts::exists(dir / "x.d64"));
    // An empty name would end the plug-in's list early.
    EXPECT_EQ(hostAdd(dir, dir / "x.d64", src, {"", "a.prg"}, &out), 2);
    EXPECT_FALSE(ts::exists(dir / "x.d64"));
    EXPECT_EQ(hostDelete(dir, dir / "missing.d64", {"a.prg"}, &out), 15);
    EXPECT_NE(out.find("E_EOPEN (15)"), std::string::npos) << out;
    ASSERT_EQ(hostAdd(dir, dir / "x.d64", src, {"a.prg"}, &out), 0) << out;
    EXPECT_EQ(hostDelete(dir, dir / "x.d64", {"a.prg", ""}, &out), 2);
    EXPECT_EQ(ts::list(dir / "x.d64").files.size(), 1u);
    // A name that is only an extension: refused, and said why.
    ts::writeFile(src + "/.prg", {1});
    EXPECT_EQ(hostAdd(dir, dir / "x.d64", src, {".prg"}, &out), 16);
    EXPECT_NE(out.find(".prg: a name that is only a type extension cannot be stored"), std::string::npos) << out;
    // --move: the source goes once it is in the image.
    EXPECT_EQ(hostAdd(dir, dir / "x.d64", src, {"--move", "a.prg"}, &out), 0) << out;
    EXPECT_NE(out.find("a.prg -> \"a\" PRG"), std::string::npos) << out;
    EXPECT_FALSE(ts::exists(src + "/a.prg"));
}

}  // namespace

namespace {

// The host keeps the conventions of tar, unzip and the GNU tools: help and
// version on standard output with status 0, usage errors on standard error
// with 2, failures that name the system's cause, an extraction folder made
// ready (or refused once) before anything is tried.
TEST(RoundTrip, HostFollowsCommandLineConventions) {
    ts::TempDir dir;
    std::string out;
    // Standard output alone: standard error goes nowhere.
    auto stdoutOf = [&](const std::string& args, std::string* text) { return ts::run("(" + host(dir) + args + " 2>/dev/null)", text); };
    for (const char* help : {"--help", "-h"}) {
        EXPECT_EQ(stdoutOf(help, &out), 0) << help;
        EXPECT_EQ(out.rfind("Usage: ombrix", 0), 0u) << out;
    }
    EXPECT_EQ(stdoutOf("--version", &out), 0);
    EXPECT_EQ(out.rfind("ombrix 1.", 0), 0u) << out;
    for (const char* wrong : {"--bogus list x.d64", "frobnicate x.d64", "list", "add x.d64"}) {
        EXPECT_EQ(stdoutOf(wrong, &out), 2) << wrong;
        EXPECT_EQ(out, "") << wrong;  // the usage goes to standard error
        // One line naming the mistake, and where help is (the usage would scroll it away).
        EXPECT_EQ(ts::run(host(dir) + wrong, &out), 2) << wrong;
        EXPECT_EQ(out.find("Usage: ombrix"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
        EXPECT_NE(out.find("\nTry 'ombrix --help' for more information.\n"), std::string::npos) << out;
    }

    const std::string src = mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(100, 1)}});
    EXPECT_EQ(hostAdd(dir, dir / "x.d64", src, {"a.prg", "missing.prg"}, &out), 18);
    EXPECT_EQ(out, "ombrix: no such file: " + src + "/missing.prg [E_EREAD (18)]\n");
    EXPECT_EQ(ts::run(host(dir) + "list " + shellQuote(dir / "none.d64"), &out), 15);
    EXPECT_EQ(out, "ombrix: " + dir / "none.d64" + ": cannot open the image: No such file or directory [E_EOPEN (15)]\n");

    // A missing folder is made, as unzip -d does; one that cannot be is one
    // clear error before anything is tried.
    ASSERT_EQ(hostAdd(dir, dir / "x.d64", src, {"a.prg"}, &out), 0) << out;
    EXPECT_EQ(ts::run(host(dir) + "extract " + shellQuote(dir / "x.d64") + " -C " + shellQuote(dir / "new/deeper"), &out),
              0)
        << out;
    EXPECT_EQ(ts::readFile(dir / "new/deeper/a.prg"), ts::readFile(src + "/a.prg"));
    EXPECT_EQ(ts::run(host(dir) + "extract " + shellQuote(dir / "x.d64") + " -C " + shellQuote(src + "/a.prg/sub"), &out),
              2);
    EXPECT_EQ(out, "ombrix: " + src + "/a.prg/sub: cannot create the folder: Not a directory\n");
    // A folder that takes no file (even root cannot create one in /proc).
    EXPECT_EQ(ts::run(host(dir) + "extract " + shellQuote(dir / "x.d64") + " -C /proc", &out), 2);
    EXPECT_EQ(out.rfind("ombrix: /proc: cannot write into the folder: ", 0), 0u) << out;
    EXPECT_EQ(out.find("E_EWRITE"), std::string::npos) << out;
}

// The write-back as the system sees it: the whole image goes to a temporary
// file, which is flushed to the disk before it is renamed over the image.
TEST(RoundTrip, ImageIsSyncedBeforeItReplacesTheOriginal) {
    if (!ts::haveTool("strace")) GTEST_SKIP() << "strace missing";
    ts::TempDir dir;
    const std::string src = mkdirIn(dir, "src");
    pt::writeSources(src, {{"a.prg", ts::randomBytes(3000, 1)}});
    std::string out;
    // LeakSanitizer cannot work under ptrace: off for this run of a sanitizer build.
    ASSERT_EQ(ts::run("strace -f -o " + shellQuote(dir / "trace") + " -e trace=write,fsync,fdatasync,rename,renameat,renameat2 " +
                          "env ASAN_OPTIONS=detect_leaks=0 " + host(dir) + "add " + shellQuote(dir / "x.d64") + " -C " + shellQuote(src) + " a.prg",
                      &out),
              0)
        << out;
    const Bytes t = ts::readFile(dir / "trace");
    const std::string trace(t.begin(), t.end());
    const std::size_t write = trace.find(", 174848) = 174848"), sync = trace.find("sync("),
                      rename = trace.find("rename");
    ASSERT_NE(write, std::string::npos) << trace;
    ASSERT_NE(sync, std::string::npos) << trace;
    ASSERT_NE(rename, std::string::npos) << trace;
    EXPECT_LT(write, sync);
    EXPECT_LT(sync, rename);
    EXPECT_NE(trace.find(".ombrix-", rename), std::string::npos) << trace;
}

}  // namespace

namespace {

// Starts every job at once, each in a process of its own (a forked copy of
// this program, which may run a command or call the exports); their exit codes.
std::vector<int> runAtOnce(const std::vector<std::function<int()>>& jobs) {
    int gate[2];
    if (pipe(gate) != 0) return {};
    std::vector<pid_t> pids;
    for (const auto& job : jobs) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char go = 0;
            while (read(gate[0], &go, 1) < 0 && errno == EINTR) {
            }
            _exit(job());
        }
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);  // every job starts now
    std::vector<int> codes;
    for (pid_t pid : pids) {
        int status = 0;
        codes.push_back(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    return codes;
}

// A dozen writers of one image at once, each with a change of its own: every
// one that reports success finds its change in the image (and all do: they
// take turns). New and existing images, adds mixed with deletes and renames.
TEST(RoundTrip, WritersOfOneImageAtOnceAllLand) {
    ts::TempDir dir;
    ts::loadSettings(dir, "[common]\nlogLevel=0\n");
    const std::string src = mkdirIn(dir, "src");
    std::map<std::string, Bytes> files;
    for (int i = 0; i < 12; ++i)
        for (const char* kind : {"a", "d", "r"})
            files[kind + std::to_string(i) + ".prg"] = ts::randomBytes(static_cast<std::size_t>(300 + 97 * i), i * 3u);
    pt::writeSources(src, files);
    const struct {
        const char* image;
        bool existing;
        int deletes, renames;  // of the twelve writers; the others add
    } cases[] = {{"new.d64", false, 0, 0}, {"old.d81", true, 0, 0}, {"mixed.d71", true, 3, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string image = dir / c.image;
        std::vector<std::string> present;
        for (int i = 0; i < 12 && c.existing; ++i) present.push_back((i < 6 ? "d" : "r") + std::to_string(i) + ".prg");
        if (c.existing) {
            ASSERT_EQ(hostAdd(dir, image, src, present), 0);
        }
        std::vector<std::function<int()>> jobs;
        std::set<std::string> expected(present.begin(), present.end());
        for (int i = 0; i < 12; ++i) {
            const std::string n = std::to_string(i);
            if (i < c.deletes) {
                jobs.push_back([&, n] { return hostDelete(dir, image, {"d" + n + ".prg"}); });
                expected.erase("d" + n + ".prg");
            } else if (i >= 12 - c.renames) {
                jobs.push_back([&, n] { return RenameFile(image.c_str(), ("r" + n + ".prg").c_str(), ("n" + n + ".prg").c_str()); });
                expected.erase("r" + n + ".prg");
                expected.insert("n" + n + ".prg");
                files["n" + n + ".prg"] = files["r" + n + ".prg"];
            } else {
                jobs.push_back([&, n] { return hostAdd(dir, image, src, {"a" + n + ".prg"}); });
                expected.insert("a" + n + ".prg");
            }
        }
        EXPECT_EQ(runAtOnce(jobs), std::vector<int>(12, 0));
        const ts::TempDir out;
        std::set<std::string> found;
        for (const auto& [name, rc] : ts::extractAll(image, out.path)) {
            EXPECT_EQ(rc, 0) << name;
            EXPECT_EQ(ts::readFile(out / name), files[name]) << name;
            found.insert(name);
        }
        EXPECT_EQ(found, expected);
        std::string text;
        EXPECT_EQ(ts::run(host(dir) + "validate --strict " + shellQuote(image), &text), 0) << text;
    }
}

}  // namespace

