// The settings dialog's logic driven through a fake view, as a user would
// drive the real dialog; and the text export that hosts without a window
// system use; and the form dialog of Double Commander, through a fake host.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "core/new_image_settings.h"
#include "dialog/dialog.h"
#include "tests/test_support.h"
#include "writer/writer.h"

namespace {

struct FakeControl {
    std::string text;
    bool checked = false;
    bool enabled = true;
};

// The controls in their template state; typing and clicking respect the
// enabled state, as the window system does.
struct FakeDialog {
    std::map<int, FakeControl> controls;
    bool open = true;
    int result = 0;

    FakeDialog() {
        for (int id : {4009, 4013, kIdSpeedDos, kIdDolphinDos}) controls[id].enabled = false;
        settingsDialogInit(view());
    }

    DialogView view() {
        return DialogView{
            this,
            [](void* c, int id, const char* text) { self(c).controls[id].text = text; },
            [](void* c, int id, char* buffer, int size) {
                std::string t = self(c).controls[id].text.substr(0, static_cast<std::size_t>(size - 1));
                std::memcpy(buffer, t.c_str(), t.size() + 1);
            },
            [](void* c, int id, unsigned value) { self(c).controls[id].text = std::to_string(value); },
            [](void* c, int id) -> unsigned {
                const std::string& t = self(c).controls[id].text;
                unsigned long long v = 0;
                for (char ch : t) {
                    if (ch < '0' || ch > '9' || v > 0xFFFFFFFFull) return 0;
                    v = v * 10 + static_cast<unsigned>(ch - '0');
                }
                return v > 0xFFFFFFFFull ? 0 : static_cast<unsigned>(v);
            },
            [](void* c, int id, bool checked) { self(c).controls[id].checked = checked; },
            [](void* c, int id) { return self(c).controls[id].checked; },
            [](void* c, int id, bool enabled) { self(c).controls[id].enabled = enabled; },
        };
    }
    static FakeDialog& self(void* c) { return *static_cast<FakeDialog*>(c); }

    const FakeControl& at(int id) { return controls[id]; }
    void type(int id, const std::string& text) {
        if (controls[id].enabled) controls[id].text = text;
    }
    void command(int id) {
        const int r = settingsDialogCommand(view(), id);
        if (r) {
            open = false;
            result = r;
            settingsDialogFinish(r);
        }
    }
    void clickBox(int id) {
        if (!controls[id].enabled) return;
        controls[id].checked = !controls[id].checked;
        command(id);
    }
    void clickRadio(int id) {
        if (!controls[id].enabled) return;
        controls[kIdSpeedDos].checked = id == kIdSpeedDos;
        controls[kIdDolphinDos].checked = id == kIdDolphinDos;
        command(id);
    }
};

bool operator==(const NewImageSettingsRecord& a, const NewImageSettingsRecord& b) {
    return std::memcmp(a.interleave, b.interleave, sizeof a.interleave) == 0 &&
           std::memcmp(a.dosVersion, b.dosVersion, sizeof a.dosVersion) == 0 &&
           std::memcmp(a.diskId, b.diskId, sizeof a.diskId) == 0 &&
           std::memcmp(a.diskTitle, b.diskTitle, sizeof a.diskTitle) == 0 && a.fortyTracks == b.fortyTracks &&
           a.includeErrorInfo == b.includeErrorInfo && a.useDirTrack == b.useDirTrack &&
           a.writeFromTrack1 == b.writeFromTrack1 && a.fortyTrackType == b.fortyTrackType;
}

bool operator==(const SettingsDialogStateRecord& a, const SettingsDialogStateRecord& b) {
    return std::memcmp(a.interleave, b.interleave, sizeof a.interleave) == 0 &&
           std::memcmp(a.dosVersion, b.dosVersion, sizeof a.dosVersion) == 0 &&
           std::memcmp(a.diskId, b.diskId, sizeof a.diskId) == 0 &&
           std::memcmp(a.diskTitle, b.diskTitle, sizeof a.diskTitle) == 0 && a.fortyTracks == b.fortyTracks &&
           a.includeErrorInfo == b.includeErrorInfo && a.useDirTrack == b.useDirTrack &&
           a.writeFromTrack1 == b.writeFromTrack1 && a.fortyTrackType == b.fortyTrackType;
}

std::string title() { return std::string(NewImageSettings.diskTitle, strnlen(NewImageSettings.diskTitle, 16)); }
std::string twoChars(const char* p) { return std::string(p, 2); }

class SettingsDialog : public ::testing::Test {
protected:
    ts::TempDir dir;
    void SetUp() override {
        // The working copy and the allocator flag outlive a load; start clean.
        SettingsDialogState = {};
        NewImageSettings.fortyTrackType = 0;
        dirTrackFallback = 0;
        ts::loadDefaultSettings(dir);
    }
};

TEST_F(SettingsDialog, OpensWithTheLiveValues) {
    NewImageSettings.interleave[0][2] = 7;
    std::memcpy(NewImageSettings.dosVersion[1], "2B", 2);
    std::memcpy(NewImageSettings.diskId, "XY", 2);
    NewImageSettings.writeFromTrack1 = 1;
    FakeDialog d;
    EXPECT_EQ(d.at(4005).text, "0");
    EXPECT_EQ(d.at(4006).text, "3");
    EXPECT_EQ(d.at(4007).text, "7");
    EXPECT_EQ(d.at(4009).text, "3");
    EXPECT_EQ(d.at(4015).text, "1");
    EXPECT_EQ(d.at(4029).text, "2A");
    EXPECT_EQ(d.at(4031).text, "2B");
    EXPECT_EQ(d.at(4033).text, "3D");
    EXPECT_EQ(d.at(kIdDiskTitle).text, "OMBRIX DISK");
    EXPECT_EQ(d.at(kIdDiskId).text, "XY");
    EXPECT_FALSE(d.at(kIdFortyTracks).checked);
    EXPECT_FALSE(d.at(kIdSpeedDos).enabled);
    EXPECT_FALSE(d.at(kIdDolphinDos).enabled);
    EXPECT_FALSE(d.at(kIdErrorInfo).checked);
    EXPECT_FALSE(d.at(kIdUseDirTrack).checked);
    EXPECT_TRUE(d.at(kIdWriteFromTrack1).checked);

    // A title that fills all 16 bytes (no terminator) opens whole.
    std::memcpy(NewImageSettings.diskTitle, "0123456789ABCDEF", 16);
    FakeDialog full;
    EXPECT_EQ(full.at(kIdDiskTitle).text, "0123456789ABCDEF");
}

TEST_F(SettingsDialog, InterleaveInputOutsideOneToFortyTakesTheSlotDefault) {
    FakeDialog d;
    d.type(4006, "0");     // D64 directory, default 3
    d.type(4007, "41");    // D64 files, default 10
    d.type(4010, "256");   // D80 directory, default 1 (low byte 0)
    d.type(4011, "40");    // kept
    d.type(4014, "265");   // D81 directory, default 1: not its low byte 9
    d.type(4015, "");      // D81 files, default 1
    d.command(kIdOk);
    ASSERT_EQ(d.result, kDialogOk);
    EXPECT_EQ(NewImageSettings.interleave[0][0], 0);
    EXPECT_EQ(NewImageSettings.interleave[0][1], 3);
    EXPECT_EQ(NewImageSettings.interleave[0][2], 10);
    EXPECT_EQ(NewImageSettings.interleave[1][1], 1);
    EXPECT_EQ(NewImageSettings.interleave[1][2], 40);
    EXPECT_EQ(NewImageSettings.interleave[2][1], 1);
    EXPECT_EQ(NewImageSettings.interleave[2][2], 1);

    FakeDialog e;
    e.type(4006, "1");
    e.type(4007, "39");
    e.command(kIdOk);
    EXPECT_EQ(NewImageSettings.interleave[0][1], 1);
    EXPECT_EQ(NewImageSettings.interleave[0][2], 39);
}

TEST_F(SettingsDialog, DisabledBamFieldsKeepTheLiveValues) {
    NewImageSettings.interleave[1][0] = 7;
    NewImageSettings.interleave[2][0] = 5;
    FakeDialog d;
    EXPECT_FALSE(d.at(4009).enabled);
    EXPECT_FALSE(d.at(4013).enabled);
    d.type(4009, "20");
    d.type(4013, "21");
    d.command(kIdOk);
    EXPECT_EQ(NewImageSettings.interleave[1][0], 7);
    EXPECT_EQ(NewImageSettings.interleave[2][0], 5);
}

TEST_F(SettingsDialog, FortyTrackChoiceIsRememberedAcrossOpenings) {
    {
        FakeDialog d;
        d.clickBox(kIdFortyTracks);
        EXPECT_TRUE(d.at(kIdSpeedDos).enabled);
        EXPECT_TRUE(d.at(kIdSpeedDos).checked);
        d.clickRadio(kIdDolphinDos);
        d.command(kIdOk);
    }
    EXPECT_EQ(NewImageSettings.fortyTracks, 1);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackDolphinDos);
    {
        FakeDialog d;  // reopened: DolphinDos again
        EXPECT_TRUE(d.at(kIdFortyTracks).checked);
        EXPECT_TRUE(d.at(kIdDolphinDos).enabled);
        EXPECT_TRUE(d.at(kIdDolphinDos).checked);
        EXPECT_FALSE(d.at(kIdSpeedDos).checked);
        d.clickBox(kIdFortyTracks);  // cleared: radios disabled, states kept
        EXPECT_FALSE(d.at(kIdSpeedDos).enabled);
        EXPECT_TRUE(d.at(kIdDolphinDos).checked);
        d.command(kIdOk);
    }
    EXPECT_EQ(NewImageSettings.fortyTracks, 0);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackNone);
    {
        FakeDialog d;
        EXPECT_FALSE(d.at(kIdFortyTracks).checked);
        EXPECT_FALSE(d.at(kIdSpeedDos).enabled);
        d.clickBox(kIdFortyTracks);  // setting it again always selects SpeedDos
        EXPECT_TRUE(d.at(kIdSpeedDos).checked);
        EXPECT_FALSE(d.at(kIdDolphinDos).checked);
        d.command(kIdOk);
    }
    EXPECT_EQ(NewImageSettings.fortyTracks, 1);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackSpeedDos);

    // PackSetDefaultParams clears the box but not the remembered layout.
    ts::loadDefaultSettings(dir);
    EXPECT_EQ(NewImageSettings.fortyTracks, 0);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackSpeedDos);
}

TEST_F(SettingsDialog, TextsAreCutToTheirFields) {
    FakeDialog d;
    d.type(kIdDiskTitle, "ABCDEFGHIJKLMNOPQRST");
    d.type(kIdDiskId, "XYZ");
    d.type(4029, "4");
    d.type(4031, "");
    d.type(4033, "3DX");
    d.command(kIdOk);
    EXPECT_EQ(title(), "ABCDEFGHIJKLMNOP");  // 16 characters, as the drive keeps them
    EXPECT_EQ(twoChars(NewImageSettings.diskId), "XY");
    EXPECT_EQ(twoChars(NewImageSettings.dosVersion[0]), std::string("4\0", 2));
    EXPECT_EQ(twoChars(NewImageSettings.dosVersion[1]), std::string("\0\0", 2));
    EXPECT_EQ(twoChars(NewImageSettings.dosVersion[2]), "3D");

    // A shorter title leaves no bytes of the longer one behind.
    FakeDialog e;
    e.type(kIdDiskTitle, "AB");
    e.command(kIdOk);
    EXPECT_EQ(std::string(NewImageSettings.diskTitle, 16), std::string("AB") + std::string(14, '\0'));
}

TEST_F(SettingsDialog, CancelAfterResetChangesNothing) {
    NewImageSettings.interleave[0][1] = 5;
    NewImageSettings.interleave[1][2] = 9;
    std::memcpy(NewImageSettings.dosVersion[2], "9Z", 2);
    const NewImageSettingsRecord before = NewImageSettings;
    ts::LogCapture log;
    FakeDialog d;
    d.command(kIdInterleaveReset);
    d.command(kIdDosVersionReset);
    EXPECT_EQ(d.at(4006).text, "3");
    EXPECT_EQ(d.at(4011).text, "1");
    EXPECT_EQ(d.at(4033).text, "3D");
    d.clickBox(kIdUseDirTrack);
    d.command(kIdCancel);
    EXPECT_EQ(d.result, kDialogCancel);
    EXPECT_TRUE(before == NewImageSettings);
    EXPECT_EQ(dirTrackFallback, 0);
    EXPECT_EQ(log.text(),
              "OMBRIX: dialog INIT\nOMBRIX: dialog RESET IL\nOMBRIX: dialog RESET DV\n"
              "OMBRIX: dialog CANCEL\nOMBRIX: dialog CANCEL\n");

    // Confirming after the resets stores the defaults.
    FakeDialog e;
    e.command(kIdInterleaveReset);
    e.command(kIdDosVersionReset);
    e.command(kIdOk);
    EXPECT_EQ(std::memcmp(NewImageSettings.interleave, kNewImageDefaults.interleave, 9), 0);
    EXPECT_EQ(twoChars(NewImageSettings.dosVersion[2]), "3D");
}

TEST_F(SettingsDialog, OkCommitsTheSwitchesAndTheDirectoryTrackFallback) {
    ts::LogCapture log;
    FakeDialog d;
    d.clickBox(kIdErrorInfo);
    d.clickBox(kIdUseDirTrack);
    d.clickBox(kIdWriteFromTrack1);
    d.command(kIdOk);
    EXPECT_EQ(NewImageSettings.includeErrorInfo, 1);
    EXPECT_EQ(NewImageSettings.useDirTrack, 1);
    EXPECT_EQ(NewImageSettings.writeFromTrack1, 1);
    EXPECT_EQ(dirTrackFallback, 1);
    EXPECT_TRUE(log.contains("OMBRIX: dialog OK\nOMBRIX: dialog OK\n"));

    // The defaults clear useDirTrack but not the allocator's flag; only the
    // next confirmed dialog does.
    ts::loadDefaultSettings(dir);
    EXPECT_EQ(NewImageSettings.useDirTrack, 0);
    EXPECT_EQ(dirTrackFallback, 1);
    FakeDialog e;
    EXPECT_FALSE(e.at(kIdUseDirTrack).checked);
    e.command(kIdOk);
    EXPECT_EQ(dirTrackFallback, 0);
}

TEST_F(SettingsDialog, ConfigurePackerOnlyLogsWithoutAWindowSystem) {
    ts::LogCapture log;
    const NewImageSettingsRecord before = NewImageSettings;
    ConfigurePacker(nullptr, nullptr);
    EXPECT_EQ(log.text(), "OMBRIX: >ConfigurePacker<\n");
    EXPECT_TRUE(before == NewImageSettings);
}

// Double Commander's form dialogs, faked: items by name, a user who fills
// the title, ticks 40 tracks, picks DolphinDos and presses OK.
struct FakeFormHost {
    static inline std::map<std::string, std::string> text;
    static inline std::map<std::string, std::intptr_t> state;  // check or chosen item
    static inline int shown = 0;
    static inline std::intptr_t closedWith = 0;
    static std::intptr_t send(std::uintptr_t, char* item, std::intptr_t msg, std::intptr_t wParam, std::intptr_t) {
        switch (msg) {
        case 1: closedWith = wParam; return 0;  // DM_CLOSE
        case 6: return reinterpret_cast<std::intptr_t>(text[item].c_str());
        case 12: text[item] = reinterpret_cast<const char*>(wParam); return 0;
        case 16: case 19: return state[item];
        case 17: case 20: state[item] = wParam; return 0;
        default: return 0;
        }
    }
    static std::int32_t show(std::intptr_t form, std::uint32_t size, tDlgProc proc) {
        ++shown;
        const std::string lfm(reinterpret_cast<const char*>(form), size);
        EXPECT_EQ(lfm.rfind("object DialogBox: TDialogBox\n", 0), 0u);
        proc(1, nullptr, 0x1005, 0, 0);  // DN_INITDIALOG
        EXPECT_EQ(text["EditTitle"], "OMBRIX DISK");
        text["EditTitle"] = "FORM DISK";
        state["CheckFortyTracks"] = 1;
        proc(1, const_cast<char*>("CheckFortyTracks"), 0x1003, 1, 0);  // DN_CHANGE
        EXPECT_EQ(state["GroupFortyTrackType"], 0);  // SpeedDos chosen
        state["GroupFortyTrackType"] = 1;
        proc(1, const_cast<char*>("GroupFortyTrackType"), 0x1001, 0, 0);  // DN_CLICK
        proc(1, const_cast<char*>("ButtonOk"), 0x1001, 0, 0);
        return closedWith == 1;
    }
};

TEST_F(SettingsDialog, ConfigurePackerRunsTheFormDialogOfDoubleCommander) {
    auto info = std::make_unique<tExtensionStartupInfo>();
    info->DialogBoxLFM = FakeFormHost::show;
    info->SendDlgMsg = FakeFormHost::send;
    // A record too short to hold the two services is not read.
    info->StructSize = kExtensionDialogsEnd - 1;
    ExtensionInitialize(info.get());
    ConfigurePacker(nullptr, nullptr);
    EXPECT_EQ(FakeFormHost::shown, 0);

    info->StructSize = sizeof *info;
    ExtensionInitialize(info.get());
    info.reset();  // the host's record is gone once the call returns
    ConfigurePacker(nullptr, nullptr);
    ExtensionFinalize(nullptr);
    EXPECT_EQ(FakeFormHost::shown, 1);
    EXPECT_EQ(FakeFormHost::closedWith, kIdOk);
    EXPECT_EQ(title(), "FORM DISK");
    EXPECT_EQ(NewImageSettings.fortyTracks, 1);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackDolphinDos);

    ConfigurePacker(nullptr, nullptr);  // after ExtensionFinalize: only the log line
    EXPECT_EQ(FakeFormHost::shown, 1);
}

TEST_F(SettingsDialog, TextExportRunsTheDialog) {
    EXPECT_EQ(ConfigurePackerText("title=MY DISK\nid=AB\ndos=d80=2Z\ninterleave=d64=3,1\r\n"
                                  "forty=dolphindos\n\nerror-bytes=1\nuse-dir-track=1\nfrom-track1=1\n"),
              0);
    EXPECT_EQ(title(), "MY DISK");
    EXPECT_EQ(twoChars(NewImageSettings.diskId), "AB");
    EXPECT_EQ(twoChars(NewImageSettings.dosVersion[0]), "2A");
    EXPECT_EQ(twoChars(NewImageSettings.dosVersion[1]), "2Z");
    EXPECT_EQ(NewImageSettings.interleave[0][1], 3);
    EXPECT_EQ(NewImageSettings.interleave[0][2], 1);
    EXPECT_EQ(NewImageSettings.interleave[1][2], 1);
    EXPECT_EQ(NewImageSettings.fortyTracks, 1);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackDolphinDos);
    EXPECT_EQ(NewImageSettings.includeErrorInfo, 1);
    EXPECT_EQ(NewImageSettings.useDirTrack, 1);
    EXPECT_EQ(NewImageSettings.writeFromTrack1, 1);
    EXPECT_EQ(dirTrackFallback, 1);

    // Named fields change; the others keep what the dialog opens with.
    EXPECT_EQ(ConfigurePackerText("interleave=D81=41,256\ntitle=ABCDEFGHIJKLMNOPQRST\nforty=speeddos\n"
                                  "use-dir-track=0\n"),
              0);
    EXPECT_EQ(NewImageSettings.interleave[2][1], 1);
    EXPECT_EQ(NewImageSettings.interleave[2][2], 1);
    EXPECT_EQ(NewImageSettings.interleave[0][2], 1);
    EXPECT_EQ(title(), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(twoChars(NewImageSettings.diskId), "AB");
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackSpeedDos);
    EXPECT_EQ(NewImageSettings.includeErrorInfo, 1);
    EXPECT_EQ(dirTrackFallback, 0);
    EXPECT_EQ(ConfigurePackerText("forty=off\n"), 0);
    EXPECT_EQ(NewImageSettings.fortyTracks, 0);
    EXPECT_EQ(NewImageSettings.fortyTrackType, kFortyTrackNone);
    EXPECT_EQ(ConfigurePackerText(""), 0);
    EXPECT_EQ(ConfigurePackerText(nullptr), 0);

    // A line not understood names itself, and nothing changes.
    const NewImageSettingsRecord before = NewImageSettings;
    const SettingsDialogStateRecord workingBefore = SettingsDialogState;
    for (const char* bad : {"title=X\nid=CD\nbogus=1\n", "title=X\n\ninterleave=d64=3\n", "x\n",
                            "title=X\ninterleave=d64=a,1\n", "title=X\ndos=d99=2A\n", "title=X\nforty=maybe\n",
                            "error-bytes=yes\n", "interleave=d64=-1,3\n", "title=X\nuse-dir-track\n"}) {
        const int line = ConfigurePackerText(bad);
        int expected = 1;
        for (const char* p = bad; *p; ++p)
            if (*p == '\n' && p[1]) ++expected;
        EXPECT_EQ(line, expected) << bad;
        EXPECT_TRUE(before == NewImageSettings) << bad;
        EXPECT_TRUE(workingBefore == SettingsDialogState) << bad;
    }
}

}  // namespace

namespace {

std::string quote(const std::string& s) { return ts::shellQuote(s); }

// Byte offset of a block in a D64 of 35 or 40 tracks.
std::size_t d64Offset(int track, int sector) {
    std::size_t offset = 0;
    for (int t = 1; t < track; ++t) offset += 256u * (t <= 17 ? 21 : t <= 24 ? 19 : t <= 30 ? 18 : 17);
    return offset + 256u * static_cast<std::size_t>(sector);
}

TEST_F(SettingsDialog, TextExportValuesReachANewImage) {
    ts::writeFile(dir / "PROG", ts::randomBytes(600, 7));
    ASSERT_EQ(ConfigurePackerText("title=NEW D81\nid=QZ\ndos=d81=4X\n"), 0);
    std::string image = dir / "new.d81";
    std::string src = dir.path + "/";
    char list[] = "PROG\0";
    ASSERT_EQ(PackFiles(image.data(), nullptr, src.data(), list, 0), 0);
    const ts::Bytes d = ts::readFile(image);
    ASSERT_EQ(d.size(), 819200u);
    const std::uint8_t* header = d.data() + 256u * 39 * 40;  // 40/0
    EXPECT_EQ(header[2], 'X');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 4), 16), "NEW D81" + std::string(9, '\xA0'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 22), 2), "QZ");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 25), 2), "4X");
}

// The command-line host's add options go through the same export.
TEST_F(SettingsDialog, HostMakesAFortyTrackDolphinDosImageWithTheGivenValues) {
    ts::writeFile(dir / "FILE", ts::randomBytes(3000, 11));
    const std::string image = dir / "new.d64";
    std::string out;
    ASSERT_EQ(ts::run(std::string(OMBRIX_HOST) + " --ini " + quote(dir / "ini/wcx.ini") + " add -C " +
                          quote(dir.path) + " --title 'MY DISK' --id AB --interleave d64=3,1 --forty dolphindos " +
                          quote(image) + " FILE",
                      &out),
              0)
        << out;
    const ts::Bytes d = ts::readFile(image);
    ASSERT_EQ(d.size(), 196608u);
    const std::uint8_t* header = d.data() + d64Offset(18, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 144), 16), "MY DISK" + std::string(9, '\xA0'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header + 162), 5), "AB\xA0" "2A");
    for (int t = 36; t <= 40; ++t) {
        const std::uint8_t* entry = header + 172 + 4 * (t - 36);  // DolphinDOS place
        EXPECT_EQ(entry[0], 17) << t;
        EXPECT_EQ(header[192 + 4 * (t - 36)], 0) << t;  // nothing at the SpeedDOS place
    }
    // Twelve blocks, each the sector after the one before (interleave 1).
    const std::uint8_t* entry = d.data() + d64Offset(18, 1);
    int track = entry[3], sector = entry[4], blocks = 0;
    while (track != 0 && blocks < 20) {
        const std::uint8_t* b = d.data() + d64Offset(track, sector);
        ++blocks;
        if (b[0] != 0) {
            EXPECT_EQ(b[0], track);
            EXPECT_EQ(b[1], sector + 1);
        }
        track = b[0];
        sector = b[1];
    }
    EXPECT_EQ(blocks, 12);

    if (!ts::haveTool("cc1541")) GTEST_SKIP() << "cc1541 missing";
    std::string listing;
    EXPECT_EQ(ts::run("cc1541 " + quote(image), &listing), 0);
    EXPECT_NE(listing.find("\"my disk         \" ab 2a"), std::string::npos) << listing;
    EXPECT_NE(listing.find("12   \"FILE\""), std::string::npos) << listing;
    std::string validation;
    EXPECT_EQ(ts::run("cc1541 -V " + quote(image), &validation), 0) << validation;
    EXPECT_NE(validation.find("validation passed"), std::string::npos) << validation;

    // A setting the plug-in cannot take stops the host before anything is written.
    EXPECT_EQ(ts::run(std::string(OMBRIX_HOST) + " --ini " + quote(dir / "ini/wcx.ini") + " add -C " +
                          quote(dir.path) + " --interleave d64=3,x " + quote(dir / "other.d64") + " FILE",
                      &out),
              2);
    EXPECT_NE(out.find("interleave=d64=3,x"), std::string::npos) << out;
    EXPECT_FALSE(ts::exists(dir / "other.d64"));
}

}  // namespace
