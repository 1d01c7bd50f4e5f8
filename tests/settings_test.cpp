// The settings file and its switches, through the command-line host (a real
// load of the plug-in module, with the sample beside it) and in-process.
#include <gtest/gtest.h>

#include <cstring>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "core/settings.h"
#include "tests/test_support.h"

namespace {

using ts::Bytes;

// Runs the host with the debug output going to a file; returns that output.
std::string runHost(const std::string& args, const std::string& logFile, int* status = nullptr,
                    const std::string& plugin = OMBRIX_PLUGIN) {
    std::remove(logFile.c_str());
    std::string out;
    int rc = ts::run("env -u OMBRIX_LOGLEVEL OMBRIX_LOG=" + ts::shellQuote(logFile) + " " + OMBRIX_HOST +
                         " --plugin " + ts::shellQuote(plugin) + " " + args,
                     &out);
    if (status) *status = rc;
    Bytes b = ts::readFile(logFile);
    return std::string(b.begin(), b.end());
}

// A D64 whose listing logs a line of each category but the BAM's: a file
// with block count 0 (warning) and a directory link off the disk (error).
void writeNoisyImage(const std::string& path) {
    ts::RawImage img = ts::makeRawImage(1);
    std::uint8_t* d = ts::block(img, 18, 1);
    d[0] = 36;
    d[1] = 0;
    ts::putChain(img, {{17, 0}}, ts::randomBytes(10, 1));
    ts::putEntry(img, 18, 1, 0, 0x82, "ZERO", 17, 0, 0);
    ts::save(img, path);
}

TEST(Settings, FirstUseCopiesTheSampleAndNeverOverwrites) {
    ts::TempDir dir;
    const std::string ini = dir / "cfg/wcx.ini";
    const std::string log = dir / "log.txt";
    writeNoisyImage(dir / "n.d64");
    std::string text = runHost("--ini " + ts::shellQuote(ini) + " list " + ts::shellQuote(dir / "n.d64"), log);
    const Bytes sample = ts::readFile(std::string(OMBRIX_BINARY_DIR) + "/ombrix.sample");
    ASSERT_FALSE(sample.empty());
    EXPECT_EQ(ts::readFile(dir / "cfg/ombrix.ini"), sample);
    // The sample's defaults: logLevel 3 gives errors, warnings and trace.
    EXPECT_NE(text.find("OMBRIX: Open "), std::string::npos) << text;

    ts::writeText(dir / "cfg/ombrix.ini", "[common]\nlogLevel=1\n");
    text = runHost("--ini " + ts::shellQuote(ini) + " list " + ts::shellQuote(dir / "n.d64"), log);
    EXPECT_EQ(ts::readFile(dir / "cfg/ombrix.ini"), (Bytes{'[', 'c', 'o', 'm', 'm', 'o', 'n', ']', '\n', 'l', 'o', 'g',
                                                            'L', 'e', 'v', 'e', 'l', '=', '1', '\n'}));
    EXPECT_EQ(text.find("OMBRIX: Open "), std::string::npos);
    EXPECT_NE(text.find("OMBRIX: error ReadHeader GetDiskSector 36:0\n"), std::string::npos) << text;
}

TEST(Settings, LogLevelsGiveTheirMasks) {
    ts::TempDir dir;
    const std::string ini = dir / "wcx.ini";
    const std::string log = dir / "log.txt";
    writeNoisyImage(dir / "n.d64");
    ts::writeFile(dir / "f.prg", ts::randomBytes(300, 9));
    struct Expect {
        int level;
        bool error, warning, trace, bam;
    };
    const Expect cases[] = {{0, false, false, false, false}, {1, true, false, false, false},
                            {2, true, true, false, false},   {3, true, true, true, false},
                            {4, true, true, true, true},     {5, false, false, false, false}};
    for (const Expect& c : cases) {
        ts::writeText(dir / "ombrix.ini", "[common]\nlogLevel=" + std::to_string(c.level) + "\n");
        std::string text = runHost("--ini " + ts::shellQuote(ini) + " list " + ts::shellQuote(dir / "n.d64"), log);
        std::remove((dir / "new.d64").c_str());
        text += runHost("--ini " + ts::shellQuote(ini) + " add " + ts::shellQuote(dir / "new.d64") + " -C " +
                            ts::shellQuote(dir.path) + " f.prg",
                        log);
        EXPECT_EQ(text.find("error ReadHeader GetDiskSector") != std::string::npos, c.error) << c.level;
        EXPECT_EQ(text.find("getActualFileLength: file has more sectors") != std::string::npos, c.warning) << c.level;
        EXPECT_EQ(text.find("ReadHeader entry <") != std::string::npos, c.trace) << c.level;
        EXPECT_EQ(text.find("IsTrackFree: for") != std::string::npos, c.bam) << c.level;
    }
}

TEST(Settings, MissingSampleStillGivesDefaults) {
    // A plug-in without its sample, and a settings folder without ombrix.ini.
    ts::TempDir dir;
    ASSERT_EQ(ts::run("cp " + ts::shellQuote(OMBRIX_PLUGIN) + " " + ts::shellQuote(dir / "ombrix.wcx")), 0);
    ts::writeFile(dir / "f.prg", ts::randomBytes(300, 9));
    const std::string log = dir / "log.txt";
    std::string text = runHost("--ini " + ts::shellQuote(dir / "cfg/wcx.ini") + " add " + ts::shellQuote(dir / "new.d64") +
                                   " -C " + ts::shellQuote(dir.path) + " f.prg",
                               log, nullptr, dir / "ombrix.wcx");
    EXPECT_FALSE(ts::exists(dir / "cfg/ombrix.ini"));
    EXPECT_NE(text.find("OMBRIX: can't create settings file " + dir.path + "/cfg/ombrix.ini"), std::string::npos) << text;
    EXPECT_NE(text.find("OMBRIX: PackFiles: PackedFile="), std::string::npos);  // trace: logLevel defaulted to 3
    // The new image got the default title, ID and DOS version, not zeros.
    Bytes image = ts::readFile(dir / "new.d64");
    ASSERT_EQ(image.size(), 174848u);
    EXPECT_EQ(0, std::memcmp(image.data() + 91392 + 144, "OMBRIX DISK\xA0\xA0\xA0\xA0\xA0\xA0\xA0" "00\xA0" "2A", 23));
}

TEST(Settings, InProcessPathsAndNewImageDefaults) {
    ts::TempDir dir;
    ts::LogCapture log;
    NewImageSettings.fortyTrackType = 3;
    std::memset(NewImageSettings.diskTitle, 'x', sizeof NewImageSettings.diskTitle);
    ts::loadDefaultSettings(dir);
    EXPECT_EQ(std::string(settingsPath), dir.path + "/settings/ombrix.ini");
    EXPECT_EQ(logMask, 7u);
    EXPECT_EQ(0, std::memcmp(NewImageSettings.diskTitle, "OMBRIX DISK\0\0\0\0\0", 16));
    EXPECT_EQ(NewImageSettings.fortyTrackType, 3);  // kept from an earlier dialog
    EXPECT_EQ(NewImageSettings.interleave[0][2], 10);
    EXPECT_EQ(NewImageSettings.interleave[1][0], 3);
    EXPECT_EQ(0, std::memcmp(NewImageSettings.dosVersion, "2A2C3D", 6));
    EXPECT_EQ(0, std::memcmp(NewImageSettings.diskId, "00", 2));
    NewImageSettings.fortyTrackType = 0;

    // A recommended name without a separator is used as the folder itself.
    PackDefaultParamStruct dps {};
    dps.size = sizeof dps;
    std::strcpy(dps.DefaultIniName, "plainname");
    PackSetDefaultParams(&dps);
    EXPECT_STREQ(settingsPath, "plainname/ombrix.ini");
    EXPECT_TRUE(log.contains("OMBRIX: invalid ini file location"));
    EXPECT_TRUE(log.contains("OMBRIX: plugin interface version 0.0\n"));

    // No recommended name at all: the user's settings folder, not the root.
    ts::TempDir home;
    setenv("XDG_CONFIG_HOME", home.path.c_str(), 1);
    dps.DefaultIniName[0] = 0;
    PackSetDefaultParams(&dps);
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(std::string(settingsPath), home.path + "/ombrix/ombrix.ini");

    // Keys that are missing or not numbers take their defaults; a line longer
    // than any buffer is read whole, so its tail cannot pass for a key.
    ts::loadSettings(dir, "[common]\nlogLevel=abc\nshowScratchedFiles=2x\n;" + std::string(1022, 'x') +
                              "eraseDeletedSectors=1\n[other]\nappendPrgExtension=1\n");
    EXPECT_EQ(logMask, 7u);
    EXPECT_EQ(showScratchedFiles, 2);
    EXPECT_EQ(appendPrgExtension, 0);
    EXPECT_EQ(eraseDeletedSectors, 0);
    ts::loadDefaultSettings(dir);
}

TEST(Settings, IgnoreErrorTableReadsABadBlock) {
    ts::TempDir dir;
    ts::RawImage img = ts::makeRawImage(1, 35, true);
    ts::block(img, 18, 1)[1] = 0xFF;
    Bytes data = ts::randomBytes(400, 3);
    ts::putChain(img, {{17, 0}, {17, 10}}, data);
    ts::putEntry(img, 18, 1, 0, 0x82, "FILE", 17, 0, 2);
    img.data[174848 + ts::blockIndex(img, 17, 10)] = 5;
    ts::save(img, dir / "e.d64");
    ts::loadDefaultSettings(dir);
    ts::TempDir out1, out2;
    EXPECT_EQ(ts::extractAll(dir / "e.d64", out1.path)[0].second, 18);
    ts::loadSettings(dir, "[common]\nignoreErrorTable=1\n");
    EXPECT_EQ(ts::list(dir / "e.d64").files[0].bytes, 400);
    EXPECT_EQ(ts::extractAll(dir / "e.d64", out2.path)[0].second, 0);
    EXPECT_EQ(ts::readFile(out2 / "file.prg"), data);
    ts::loadDefaultSettings(dir);
}

}  // namespace
