// Images made by the peer tools cc1541 and cbmconvert, listed and extracted
// byte for byte through the plug-in (in-process and through the `ombrix` host).
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "tests/test_support.h"

namespace {

using ts::Bytes;

struct PeerFile {
    std::string cbmName;   // as given to cc1541 -f
    std::string type;      // cc1541 -T
    bool locked = false;
    std::size_t size = 0;
    std::string hostName;  // what the listing must show
};

struct PeerReadTest : ::testing::Test {
    ts::TempDir dir;
    void SetUp() override {
        if (!ts::haveTool("cc1541") || !ts::haveTool("cbmconvert")) GTEST_SKIP() << "peer tools missing";
        ts::loadDefaultSettings(dir);
    }
    // Builds an image with cc1541; returns the host file of each entry's data.
    std::map<std::string, Bytes> makeWithCc1541(const std::string& image, const std::string& options,
                                                 const std::vector<PeerFile>& files) {
        std::map<std::string, Bytes> data;
        std::string cmd = "cd " + ts::shellQuote(dir.path) + " && cc1541 -m -n 'PEER DISK' -i 'AB' " + options;
        int n = 0;
        for (const PeerFile& f : files) {
            std::string host = "src" + std::to_string(n);
            Bytes bytes = ts::randomBytes(f.size, static_cast<std::uint32_t>(100 + n++));
            ts::writeFile(dir / host, bytes);
            if (!data.count(f.hostName)) data[f.hostName] = bytes;
            cmd += " -N -f " + ts::shellQuote(f.cbmName) + " -T " + f.type + (f.locked ? " -P" : "") + " -w " + host;
        }
        std::string out;
        EXPECT_EQ(ts::run(cmd + " " + ts::shellQuote(image), &out), 0) << out;
        return data;
    }
    void expectListedAndExtracted(const std::string& image, const std::vector<PeerFile>& files,
                                  const std::map<std::string, Bytes>& data) {
        ts::Listing l = ts::list(image);
        ASSERT_EQ(l.openResult, 0);
        EXPECT_EQ(l.endResult, 10);
        ASSERT_EQ(l.files.size(), files.size()) << image;
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(l.files[i].name, files[i].hostName);
            EXPECT_EQ(l.files[i].bytes, static_cast<int>(files[i].size)) << files[i].hostName;
            EXPECT_EQ(l.files[i].blocks, static_cast<int>((files[i].size + 253) / 254)) << files[i].hostName;
        }
        ts::TempDir out;
        for (const auto& r : ts::extractAll(image, out.path)) EXPECT_EQ(r.second, 0) << r.first;
        for (const auto& [name, bytes] : data) EXPECT_EQ(ts::readFile(out / name), bytes) << name;
    }
};

std::vector<PeerFile> variedFiles() {
    return {
        {"game", "PRG", false, 3000, "game.prg"},
        {"SHIFTED", "PRG", false, 254, "SHIFTED.prg"},
        {"notes", "SEQ", false, 255, "notes.seq"},
        {"a#2fb#2ac#3a", "PRG", false, 10, "a_b_c_.prg"},
        {"sixteen chars ok", "USR", false, 508, "sixteen chars ok.usr"},
        {"deleted type", "DEL", false, 1, "deleted type.del"},
        {"relative", "REL", false, 509, "relative.rel"},
        {"locked", "PRG", true, 700, "locked"},
        {"game", "PRG", false, 40, "game~2.prg"},  // a second "game": listed under a name of its own
        {"x#a0y", "SEQ", false, 20, "x\xC2\xA0y.seq"},
    };
}

TEST_F(PeerReadTest, Cc1541ImagesOfEveryKind) {
    struct Case {
        const char* image;
        const char* options;
        std::size_t big;  // reaches tracks 36-40, the second side of a D71
    };
    const Case cases[] = {{"a.d64", "", 120000},
                          {"speed.d64", "-4", 160000},
                          {"dolphin.d64", "-5", 160000},
                          {"b.d71", "", 250000},
                          {"c.d81", "", 300000}};
    for (const Case& c : cases) {
        std::vector<PeerFile> files = variedFiles();
        // Enough files for a directory of several blocks.
        for (int i = 0; i < 14; ++i)
            files.push_back({"more" + std::to_string(i), "PRG", false, static_cast<std::size_t>(1 + i * 97), "more" + std::to_string(i) + ".prg"});
        files.push_back({"big", "PRG", false, c.big, "big.prg"});
        std::string image = dir / c.image;
        auto data = makeWithCc1541(image, c.options, files);
        expectListedAndExtracted(image, files, data);
    }
}

TEST_F(PeerReadTest, ErrorBytesFromAPeerImage) {
    std::vector<PeerFile> files = {{"first", "PRG", false, 2000, "first.prg"},
                                   {"second", "PRG", false, 2000, "second.prg"},
                                   {"third", "SEQ", false, 100, "third.seq"}};
    std::string image = dir / "e.d64";
    auto data = makeWithCc1541(image, "", files);
    Bytes bytes = ts::readFile(image);
    ASSERT_EQ(bytes.size(), 174848u);
    // All-good error bytes (0 and 1) change nothing.
    Bytes errors(683, 0);
    for (std::size_t i = 0; i < errors.size(); i += 2) errors[i] = 1;
    Bytes withErrors = bytes;
    withErrors.insert(withErrors.end(), errors.begin(), errors.end());
    ts::writeFile(image, withErrors);
    expectListedAndExtracted(image, files, data);

    // Mark the second block of "second" bad: that file alone fails.
    ts::Listing l = ts::list(image);
    const std::size_t entry = 91392 + 256 + 32 + 2;  // 18/1, entry 1
    ASSERT_EQ(withErrors[entry], 0x82);
    const int t = withErrors[entry + 1], s = withErrors[entry + 2];
    const ts::RawImage geometry = ts::makeRawImage(1);
    const std::size_t first = static_cast<std::size_t>(ts::blockIndex(geometry, t, s)) * 256;
    const int t2 = withErrors[first], s2 = withErrors[first + 1];
    withErrors[174848 + ts::blockIndex(geometry, t2, s2)] = 7;
    ts::writeFile(image, withErrors);
    l = ts::list(image);
    ASSERT_EQ(l.files.size(), 3u);
    EXPECT_EQ(l.files[0].bytes, 2000);
    EXPECT_EQ(l.files[1].bytes, 0);
    EXPECT_EQ(l.files[2].bytes, 100);
    ts::TempDir out;
    auto results = ts::extractAll(image, out.path);
    EXPECT_EQ(results[0].second, 0);
    EXPECT_EQ(results[1].second, 18);
    EXPECT_EQ(results[2].second, 0);
    EXPECT_EQ(ts::readFile(out / "first.prg"), data["first.prg"]);
    EXPECT_EQ(ts::readFile(out / "third.seq"), data["third.seq"]);

    // A scratched entry disappears from the listing but stays extractable by
    // nothing else; the others are untouched.
    withErrors[entry] = 0x00;
    ts::writeFile(image, withErrors);
    l = ts::list(image);
    ASSERT_EQ(l.files.size(), 2u);
    EXPECT_EQ(l.files[1].name, "third.seq");
}

TEST_F(PeerReadTest, CbmconvertImages) {
    ts::TempDir src;
    const std::vector<std::pair<std::string, std::size_t>> natives = {
        {"game.prg", 700}, {"notes.seq", 300}, {"data.usr", 100}, {"big.prg", 60000}, {"empty.prg", 2}};
    std::string args;
    std::map<std::string, Bytes> data;
    std::uint32_t seed = 7;
    for (const auto& [name, size] : natives) {
        data[name] = ts::randomBytes(size, seed++);
        ts::writeFile(src / name, data[name]);
        args += " " + name;
    }
    for (const char* kind : {"D4", "D7", "D8"}) {
        std::string ext = std::string(kind) == "D4" ? "d64" : std::string(kind) == "D7" ? "d71" : "d81";
        std::string image = dir / ("cbm." + ext);
        std::string out;
        ASSERT_EQ(ts::run("cd " + ts::shellQuote(src.path) + " && cbmconvert -n -" + kind + " " + ts::shellQuote(image) + args, &out), 0) << out;
        ts::Listing l = ts::list(image);
        ASSERT_EQ(l.files.size(), natives.size()) << ext;
        ts::TempDir got;
        for (const auto& r : ts::extractAll(image, got.path)) EXPECT_EQ(r.second, 0);
        for (const auto& [name, bytes] : data) EXPECT_EQ(ts::readFile(got / name), bytes) << ext << " " << name;
    }
}

TEST_F(PeerReadTest, HostListsJsonAndExtracts) {
    std::vector<PeerFile> files = variedFiles();
    std::string image = dir / "h.d64";
    auto data = makeWithCc1541(image, "", files);
    std::string out;
    const std::string host = std::string(OMBRIX_HOST) + " --ini " + ts::shellQuote(dir / "cfg/wcx.ini");
    ASSERT_EQ(ts::run(host + " list " + ts::shellQuote(image) + " --json", &out), 0) << out;
    EXPECT_NE(out.find("{\"name\": \"game.prg\", \"blocks\": 12, \"bytes\": 3000, \"hidden\": false,"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"name\": \"x\xC2\xA0y.seq\", \"blocks\": 1, \"bytes\": 20, \"hidden\": false,"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"name\": \"locked\", \"blocks\": 3, \"bytes\": 700, \"hidden\": false,"), std::string::npos) << out;
    ts::TempDir got;
    ASSERT_EQ(ts::run(host + " extract " + ts::shellQuote(image) + " -C " + ts::shellQuote(got.path), &out), 0) << out;
    for (const auto& [name, bytes] : data) EXPECT_EQ(ts::readFile(got / name), bytes) << name;
    // Named extraction, a missing name, and the exit status of a failure.
    ts::TempDir one;
    EXPECT_EQ(ts::run(host + " extract " + ts::shellQuote(image) + " -C " + ts::shellQuote(one.path) + " notes.seq nothere.prg", &out), 22) << out;
    EXPECT_NE(out.find("no such file: nothere.prg [E_NO_FILES (22)]"), std::string::npos) << out;
    EXPECT_EQ(ts::listDir(one.path), std::vector<std::string>{"notes.seq"});
    EXPECT_EQ(ts::run(host + " test " + ts::shellQuote(image), &out), 0) << out;
    EXPECT_EQ(ts::run(host + " list " + ts::shellQuote(dir / "missing.d64"), &out), 15);
    EXPECT_NE(out.find("E_EOPEN (15)"), std::string::npos) << out;
    EXPECT_EQ(ts::run(host + " frobnicate x.d64", &out), 2);
    EXPECT_EQ(ts::run(std::string(OMBRIX_HOST) + " --plugin /nonexistent.wcx list " + ts::shellQuote(image), &out), 3);
}

// The plug-in linked into ombrix and the plug-in file loaded with --plugin
// answer every command alike: the same output, exit status and image bytes.
TEST_F(PeerReadTest, LinkedInAndLoadedPluginAgree) {
    std::vector<std::string> images = {std::string(OMBRIX_SOURCE_DIR) + "/samples/demo.d64"};
    const std::vector<PeerFile> files = variedFiles();
    for (const char* ext : {"d64", "d71", "d81"}) {
        images.push_back(dir / ("peer." + std::string(ext)));
        makeWithCc1541(images.back(), "", files);
    }
    for (const char* name : {"xmas89a.d64", "t64fix-compunet.t64"})
        if (const std::string real = ts::sharedFile(std::string("realimages/") + name); !real.empty())
            images.push_back(real);
    ts::writeFile(dir / "new.prg", ts::randomBytes(1000, 5));
    const std::string linked = std::string(OMBRIX_HOST) + " --ini " + ts::shellQuote(dir / "cfg/wcx.ini") + " ";
    const std::string loaded = linked + "--plugin " + ts::shellQuote(OMBRIX_PLUGIN) + " ";
    for (const std::string& image : images) {
        SCOPED_TRACE(image);
        const std::string q = ts::shellQuote(image);
        for (const std::string& command : {"list " + q, "list --json " + q, "dir " + q, "info " + q, "test " + q}) {
            std::string a, b;
            EXPECT_EQ(ts::run(linked + command, &a), ts::run(loaded + command, &b)) << command;
            EXPECT_EQ(a, b) << command;
        }
        if (image.size() > 4 && image.substr(image.size() - 4) == ".t64") continue;
        // Writing: the same file added to two copies gives the same bytes.
        std::string a, b;
        const std::string copyA = dir / ("a" + image.substr(image.size() - 4)), copyB = dir / ("b" + image.substr(image.size() - 4));
        ts::writeFile(copyA, ts::readFile(image));
        ts::writeFile(copyB, ts::readFile(image));
        const std::string add = " -C " + ts::shellQuote(dir.path) + " new.prg";
        EXPECT_EQ(ts::run(linked + "add " + ts::shellQuote(copyA) + add, &a), 0) << a;
        EXPECT_EQ(ts::run(loaded + "add " + ts::shellQuote(copyB) + add, &b), 0) << b;
        EXPECT_EQ(a, b);
        EXPECT_TRUE(ts::readFile(copyA) == ts::readFile(copyB));
    }
}

// The CMD images another tool made (../shared/peerimages, with a manifest of
// every file): each file listed at its folder path in the partition and
// extracted byte for byte as the manifest gives its data; the folders too.
TEST(PeerImages, CmdImagesFileForFileAsTheManifestSays) {
    const std::string manifestFile = ts::sharedFile("peerimages/manifest.json");
    if (manifestFile.empty()) GTEST_SKIP() << "no peer images (../shared/peerimages or $OMBRIX_SHARED)";
    const std::string folder = manifestFile.substr(0, manifestFile.rfind('/'));
    ts::TempDir dir;
    ts::loadDefaultSettings(dir);
    const Bytes text = ts::readFile(folder + "/manifest.json");
    const std::string manifest(text.begin(), text.end());
    // One image object from its "image" key to the next; its files as they come.
    const std::regex imageKey("\"image\": \"([^\"]+\\.(d1m|d2m|d4m|dnp))\"");
    const std::regex fileKey("\"path\": \"([^\"]+)\",[^}]*?\"type\": \"(\\w+)\",[^}]*?\"blocks\": (\\d+),"
                             "\\s*\"host_length\": (\\d+),\\s*\"host_sha256\": \"(\\w+)\"");
    int images = 0;
    for (auto it = std::sregex_iterator(manifest.begin(), manifest.end(), imageKey); it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[1];
        SCOPED_TRACE(name);
        const std::size_t from = static_cast<std::size_t>(it->position()), to = manifest.find("\"image\":", from + 1);
        const std::string part = manifest.substr(from, to == std::string::npos ? std::string::npos : to - from);
        // A D?M's files lie in its partition 1, the only one such images hold.
        const std::string prefix = name.substr(name.size() - 3) == "dnp" ? "" : "partition 1/";
        std::map<std::string, std::pair<int, int>> listed;
        const ts::Listing l = ts::list(folder + "/" + name);
        ASSERT_EQ(l.openResult, 0);
        EXPECT_EQ(l.endResult, 10);
        for (const ts::Listed& f : l.files) listed[f.name] = {f.blocks, f.attr == 040755 ? -1 : f.bytes};
        ts::TempDir out;
        for (const auto& r : ts::extractAll(folder + "/" + name, out.path)) EXPECT_EQ(r.second, 0) << r.first;
        std::size_t files = 0;
        for (auto f = std::sregex_iterator(part.begin(), part.end(), fileKey); f != std::sregex_iterator(); ++f, ++files) {
            const std::string path = prefix + (*f)[1].str() + "." + (*f)[2].str();
            ASSERT_TRUE(listed.count(path)) << path;
            EXPECT_EQ(listed[path], std::make_pair(std::stoi((*f)[3]), std::stoi((*f)[4]))) << path;
            EXPECT_EQ(ts::sha256(ts::readFile(out / path)), (*f)[5].str()) << path;
            // Every folder on its path is listed as one.
            for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
                EXPECT_EQ(listed[path.substr(0, slash)].second, -1) << path.substr(0, slash);
        }
        EXPECT_GT(files, 0u);
        ++images;
        std::string said;
        EXPECT_EQ(ts::run(ts::host(dir) + "validate " + ts::shellQuote(folder + "/" + name), &said), 0) << said;
    }
    EXPECT_GT(images, 0);
}

}  // namespace
