// Drives the real settings dialog of the Windows DLL, as a user would: it
// loads the plug-in, opens the dialog through ConfigurePacker, checks every
// control against the layout the dialog is built to, types values, presses
// OK, and packs a new image whose header must carry them. A second opening
// must show the confirmed values; Cancel there must change nothing.
//
// usage: dialog_driver PLUGIN WORKDIR
// WORKDIR receives the source file, the ini folder and the images. For each
// screenshot the driver writes WORKDIR\NAME.request and waits (up to 60 s)
// for WORKDIR\NAME.done, which the calling script creates after taking it.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/wcx.h"

namespace {

using ConfigurePackerFn = void(WCX_API*)(HWND, HINSTANCE);
using PackFilesFn = int(WCX_API*)(char*, char*, char*, char*, int);
using PackSetDefaultParamsFn = void(WCX_API*)(PackDefaultParamStruct*);

int failures = 0;

void fail(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void fail(const char* format, ...) {
    ++failures;
    std::fputs("FAIL: ", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

enum Kind { kPush, kGroup, kStaticLeft, kStaticCentreSunken, kStaticRight, kStaticCentreBorder, kEditNumber, kEdit,
            kEditCentre, kCheck, kRadio };

struct Expected {
    int id;
    Kind kind;
    const char* text;  // as shown when the dialog opens with the defaults
    int x, y, w, h;
    bool enabled;      // when the dialog opens with the defaults
};

const Expected kControls[] = {
    {1, kPush, "OK", 56, 156, 48, 15, true},
    {2, kPush, "Cancel", 136, 156, 48, 15, true},
    {4017, kGroup, "Interleave Settings", 8, 8, 216, 92, true},
    {4004, kStaticCentreSunken, "D64 / D71", 68, 20, 40, 12, true},
    {4008, kStaticCentreSunken, "D80 / D82", 120, 20, 40, 12, true},
    {4012, kStaticCentreSunken, "D81", 172, 20, 40, 12, true},
    {4001, kStaticRight, "BAM:", 20, 36, 40, 8, true},
    {4002, kStaticRight, "Directory:", 20, 48, 40, 8, true},
    {4003, kStaticRight, "Files:", 20, 60, 40, 8, true},
    {4005, kStaticCentreBorder, "0", 68, 36, 40, 12, true},
    {4006, kEditNumber, "3", 68, 48, 40, 12, true},
    {4007, kEditNumber, "10", 68, 60, 40, 12, true},
    {4009, kEditNumber, "3", 120, 36, 40, 12, false},
    {4010, kEditNumber, "1", 120, 48, 40, 12, true},
    {4011, kEditNumber, "1", 120, 60, 40, 12, true},
    {4013, kEditNumber, "1", 172, 36, 40, 12, false},
    {4014, kEditNumber, "1", 172, 48, 40, 12, true},
    {4015, kEditNumber, "1", 172, 60, 40, 12, true},
    {4016, kPush, "Reset", 92, 80, 48, 14, true},
    {4026, kGroup, "DOS Version", 8, 104, 216, 44, true},
    {4028, kStaticCentreSunken, "D64 / D71", 12, 116, 40, 12, true},
    {4030, kStaticCentreSunken, "D80 / D82", 64, 116, 40, 12, true},
    {4032, kStaticCentreSunken, "D81", 116, 116, 40, 12, true},
    {4029, kEditCentre, "2A", 12, 128, 40, 12, true},
    {4031, kEditCentre, "2C", 64, 128, 40, 12, true},
    {4033, kEditCentre, "3D", 116, 128, 40, 12, true},
    {4027, kPush, "Reset", 168, 120, 48, 14, true},
    {4018, kGroup, "D64 settings", 232, 8, 108, 72, true},
    {4020, kCheck, "40 tracks image ?", 240, 28, 84, 10, true},
    {4036, kGroup, "40 track type", 240, 40, 88, 36, false},
    {4034, kRadio, "SpeedDos", 256, 52, 56, 10, false},
    {4035, kRadio, "DolphinDos", 256, 64, 56, 10, false},
    {4019, kGroup, "General settings", 232, 84, 108, 88, true},
    {4023, kStaticLeft, "Disk Title:", 236, 96, 36, 8, true},
    {4022, kEdit, "OMBRIX DISK", 272, 96, 64, 12, true},
    {4025, kStaticLeft, "Disk ID:", 236, 112, 36, 8, true},
    {4024, kEdit, "00", 272, 112, 16, 12, true},
    {4021, kCheck, "include error information", 240, 128, 96, 10, true},
    {4037, kCheck, "use Dir Track ?", 240, 140, 96, 10, true},
    {4038, kCheck, "write from track 1 ?", 240, 152, 96, 10, true},
};

std::string workDir;

std::string textOf(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string classOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

bool kindMatches(Kind kind, const std::string& cls, LONG style, LONG exStyle) {
    // A border may be turned into a client edge by the dialog manager.
    const bool bordered = (style & WS_BORDER) || (exStyle & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
    const LONG button = style & BS_TYPEMASK;
    const LONG stat = style & SS_TYPEMASK;
    switch (kind) {
    case kPush: return cls == "Button" && (button == BS_PUSHBUTTON || button == BS_DEFPUSHBUTTON);
    case kGroup: return cls == "Button" && button == BS_GROUPBOX;
    case kCheck: return cls == "Button" && button == BS_AUTOCHECKBOX;
    case kRadio: return cls == "Button" && button == BS_AUTORADIOBUTTON;
    case kStaticLeft: return cls == "Static" && stat == SS_LEFT;
    case kStaticRight: return cls == "Static" && stat == SS_RIGHT;
    case kStaticCentreSunken: return cls == "Static" && stat == SS_CENTER && (style & SS_SUNKEN);
    case kStaticCentreBorder: return cls == "Static" && stat == SS_CENTER && bordered;
    case kEditNumber: return cls == "Edit" && bordered && (style & ES_NUMBER) && (style & ES_CENTER);
    case kEditCentre: return cls == "Edit" && bordered && !(style & ES_NUMBER) && (style & ES_CENTER);
    case kEdit: return cls == "Edit" && bordered && !(style & (ES_NUMBER | ES_CENTER | ES_RIGHT));
    }
    return false;
}

// Every control where the template puts it (dialog units mapped by the
// dialog's own font), of the right kind, text and enabled state.
void checkLayout(HWND dialog) {
    if (textOf(dialog) != "OMBRIX settings") fail("caption <%s>", textOf(dialog).c_str());
    const LONG style = GetWindowLongA(dialog, GWL_STYLE);
    const LONG exStyle = GetWindowLongA(dialog, GWL_EXSTYLE);
    if (!(style & DS_MODALFRAME) || !(style & WS_SYSMENU) || !(style & WS_CAPTION) || !(style & DS_CONTEXTHELP) ||
        !(exStyle & WS_EX_CONTEXTHELP))
        fail("dialog style %08lx ex %08lx", static_cast<unsigned long>(style), static_cast<unsigned long>(exStyle));
    RECT size = {0, 0, 346, 178};
    MapDialogRect(dialog, &size);
    RECT client = {};
    GetClientRect(dialog, &client);
    if (client.right != size.right || client.bottom != size.bottom)
        fail("client area %ldx%ld, template %ldx%ld", client.right, client.bottom, size.right, size.bottom);
    RECT origin = {6, 18, 0, 0};
    MapDialogRect(dialog, &origin);
    RECT window = {};
    GetWindowRect(dialog, &window);
    // The window manager may move a top-level window; report, do not fail.
    std::printf("dialog at %ld,%ld (template %ld,%ld), client %ldx%ld\n", window.left, window.top, origin.left,
                origin.top, client.right, client.bottom);
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0));
    LOGFONTA logFont = {};
    if (!font || !GetObjectA(font, sizeof logFont, &logFont) || std::strcmp(logFont.lfFaceName, "Tahoma") != 0)
        fail("dialog font <%s>", logFont.lfFaceName);

    int children = 0;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) ++children;
    if (children != static_cast<int>(sizeof kControls / sizeof kControls[0]))
        fail("%d controls, expected %d", children, static_cast<int>(sizeof kControls / sizeof kControls[0]));

    for (const Expected& e : kControls) {
        HWND c = GetDlgItem(dialog, e.id);
        if (!c) {
            fail("control %d missing", e.id);
            continue;
        }
        // The dialog manager maps position and size separately.
        RECT want = {e.x, e.y, e.w, e.h};
        MapDialogRect(dialog, &want);
        want.right += want.left;
        want.bottom += want.top;
        RECT got = {};
        GetWindowRect(c, &got);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
        if (std::memcmp(&want, &got, sizeof want) != 0)
            fail("control %d at %ld,%ld-%ld,%ld, template %ld,%ld-%ld,%ld", e.id, got.left, got.top, got.right,
                 got.bottom, want.left, want.top, want.right, want.bottom);
        const LONG s = GetWindowLongA(c, GWL_STYLE);
        const LONG ex = GetWindowLongA(c, GWL_EXSTYLE);
        if (!kindMatches(e.kind, classOf(c), s, ex))
            fail("control %d is %s with style %08lx ex %08lx", e.id, classOf(c).c_str(), static_cast<unsigned long>(s),
                 static_cast<unsigned long>(ex));
        if (textOf(c) != e.text) fail("control %d shows <%s>, expected <%s>", e.id, textOf(c).c_str(), e.text);
        if ((IsWindowEnabled(c) != FALSE) != e.enabled) fail("control %d enabled state", e.id);
    }
    std::printf("layout checked: %d controls\n", children);
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Asks the script for something done from outside (NAME.shot: a screenshot,
// NAME.type: the file's text typed on the keyboard) and waits for it.
bool request(const std::string& name, const char* content) {
    const std::string done = workDir + "\\" + name.substr(0, name.rfind('.')) + ".done";
    const std::string temp = workDir + "\\" + name + ".tmp";
    if (FILE* f = std::fopen(temp.c_str(), "w")) {
        std::fputs(content, f);
        std::fclose(f);
    }
    MoveFileA(temp.c_str(), (workDir + "\\" + name).c_str());  // whole, or not at all
    for (int i = 0; i < 600 && !fileExists(done); ++i) Sleep(100);
    if (fileExists(done)) return true;
    std::printf("no answer to %s\n", name.c_str());
    return false;
}

void screenshot(const char* name) { request(std::string(name) + ".shot", ""); }

// Real keystrokes into a field, replacing its text.
void typeInto(HWND dialog, int id, const char* text) {
    static int count = 0;
    HWND control = GetDlgItem(dialog, id);
    SetForegroundWindow(dialog);
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    SendMessageA(control, EM_SETSEL, 0, -1);
    request("keys" + std::to_string(++count) + ".type", text);
}

HWND waitForDialog() {
    for (int i = 0; i < 600; ++i) {
        HWND dialog = FindWindowA(nullptr, "OMBRIX settings");
        if (dialog && IsWindowVisible(dialog)) return dialog;
        Sleep(50);
    }
    return nullptr;
}

void click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
bool checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
std::string itemText(HWND dialog, int id) { return textOf(GetDlgItem(dialog, id)); }

// First opening: the defaults are shown; enter new values and confirm.
DWORD WINAPI confirmRound(void*) {
    HWND dialog = waitForDialog();
    if (!dialog) {
        fail("the dialog did not appear");
        return 1;
    }
    checkLayout(dialog);
    screenshot("settings-dialog");
    // Typed: the narrow title and ID boxes must take their whole length, the
    // interleave boxes digits only. 16 title characters: OK cuts the last.
    typeInto(dialog, 4022, "WINE DIALOG DISK");
    if (itemText(dialog, 4022) != "WINE DIALOG DISK") fail("typed title <%s>", itemText(dialog, 4022).c_str());
    typeInto(dialog, 4024, "WD");
    if (itemText(dialog, 4024) != "WD") fail("typed ID <%s>", itemText(dialog, 4024).c_str());
    typeInto(dialog, 4007, "x1y");  // D64 files interleave
    if (itemText(dialog, 4007) != "1") fail("typed interleave <%s>", itemText(dialog, 4007).c_str());
    SetDlgItemTextA(dialog, 4029, "2B");
    SetDlgItemTextA(dialog, 4006, "41");  // D64 directory: out of range, default 3
    click(dialog, 4020);
    if (!checked(dialog, 4020) || !checked(dialog, 4034) || !IsWindowEnabled(GetDlgItem(dialog, 4035)))
        fail("the forty-track box does not enable and select SpeedDos");
    click(dialog, 4035);
    if (!checked(dialog, 4035) || checked(dialog, 4034)) fail("DolphinDos not chosen");
    click(dialog, 4037);
    screenshot("settings-dialog-filled");
    click(dialog, 1);
    return 0;
}

// Second opening: the confirmed values are shown; Reset and changes are
// dropped by Cancel.
DWORD WINAPI cancelRound(void*) {
    HWND dialog = waitForDialog();
    if (!dialog) {
        fail("the dialog did not appear a second time");
        return 1;
    }
    if (itemText(dialog, 4022) != "WINE DIALOG DISK") fail("title shown <%s>", itemText(dialog, 4022).c_str());
    if (itemText(dialog, 4024) != "WD") fail("ID shown <%s>", itemText(dialog, 4024).c_str());
    if (itemText(dialog, 4007) != "1" || itemText(dialog, 4006) != "3") fail("interleaves shown");
    if (!checked(dialog, 4020) || !checked(dialog, 4035) || checked(dialog, 4034) ||
        !IsWindowEnabled(GetDlgItem(dialog, 4034)))
        fail("the DolphinDos choice was not remembered");
    if (!checked(dialog, 4037)) fail("use Dir Track not shown");
    click(dialog, 4016);
    click(dialog, 4027);
    if (itemText(dialog, 4007) != "10" || itemText(dialog, 4029) != "2A") fail("Reset did not show the defaults");
    SetDlgItemTextA(dialog, 4022, "CANCELLED");
    click(dialog, 4020);
    click(dialog, 2);
    return 0;
}

bool runDialog(ConfigurePackerFn configurePacker, HMODULE plugin, LPTHREAD_START_ROUTINE round) {
    HANDLE thread = CreateThread(nullptr, 0, round, nullptr, 0, nullptr);
    if (!thread) return false;
    configurePacker(nullptr, plugin);
    // The dialog is gone; the round has ended or gives up on its own.
    WaitForSingleObject(thread, 60000);
    CloseHandle(thread);
    return true;
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::vector<unsigned char> data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, f)) data.insert(data.end(), buffer, buffer + n);
        std::fclose(f);
    }
    return data;
}

std::size_t d64Offset(int track, int sector) {
    std::size_t offset = 0;
    for (int t = 1; t < track; ++t) offset += 256u * (t <= 17 ? 21 : t <= 24 ? 19 : t <= 30 ? 18 : 17);
    return offset + 256u * static_cast<std::size_t>(sector);
}

int pack(PackFilesFn packFiles, const char* imageName) {
    std::string image = workDir + "\\" + imageName;
    std::string src = workDir + "\\";
    char list[] = "FILE\0";
    return packFiles(image.data(), nullptr, src.data(), list, 0);
}

// The confirmed values in the new image's header and in its file's blocks.
void checkImage(const char* imageName) {
    const std::vector<unsigned char> d = readFile(workDir + "\\" + imageName);
    if (d.size() != 196608) {
        fail("%s has %u bytes, not the 196,608 of 40 tracks", imageName, static_cast<unsigned>(d.size()));
        return;
    }
    const unsigned char* h = d.data() + d64Offset(18, 0);
    if (h[2] != 'B') fail("%s: DOS character %02x", imageName, h[2]);
    if (std::memcmp(h + 144, "WINE DIALOG DISK", 16) != 0) fail("%s: title %.16s", imageName, h + 144);
    if (std::memcmp(h + 162, "WD\xA0" "2B", 5) != 0) fail("%s: ID and DOS version %.5s", imageName, h + 162);
    for (int t = 36; t <= 40; ++t) {
        if (h[172 + 4 * (t - 36)] != 17 || h[192 + 4 * (t - 36)] != 0)
            fail("%s: track %d's entry is not in the DolphinDOS place", imageName, t);
    }
    const unsigned char* entry = d.data() + d64Offset(18, 1);
    int track = entry[3], sector = entry[4], blocks = 0;
    while (track != 0 && blocks < 20) {
        const unsigned char* b = d.data() + d64Offset(track, sector);
        ++blocks;
        if (b[0] != 0 && (b[0] != track || b[1] != sector + 1))
            fail("%s: block %d:%d is followed by %d:%d, not by interleave 1", imageName, track, sector, b[0], b[1]);
        track = b[0];
        sector = b[1];
    }
    if (blocks != 12) fail("%s: the file has %d blocks", imageName, blocks);
    std::printf("%s checked\n", imageName);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: dialog_driver PLUGIN WORKDIR\n", stderr);
        return 2;
    }
    workDir = argv[2];
    HMODULE plugin = LoadLibraryA(argv[1]);
    if (!plugin) {
        std::printf("FAIL: cannot load %s (%lu)\n", argv[1], GetLastError());
        return 3;
    }
    auto sym = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(plugin, name)); };
    auto configurePacker = reinterpret_cast<ConfigurePackerFn>(sym("ConfigurePacker"));
    auto packFiles = reinterpret_cast<PackFilesFn>(sym("PackFiles"));
    auto packSetDefaultParams = reinterpret_cast<PackSetDefaultParamsFn>(sym("PackSetDefaultParams"));
    if (!configurePacker || !packFiles || !packSetDefaultParams) {
        std::puts("FAIL: exports missing");
        return 3;
    }

    // 3,000 bytes: twelve blocks.
    std::vector<unsigned char> data(3000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
    if (FILE* f = std::fopen((workDir + "\\FILE").c_str(), "wb")) {
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    CreateDirectoryA((workDir + "\\ini").c_str(), nullptr);
    PackDefaultParamStruct dps = {};
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    std::snprintf(dps.DefaultIniName, sizeof dps.DefaultIniName, "%s\\ini\\wcx.ini", workDir.c_str());
    packSetDefaultParams(&dps);

    if (!runDialog(configurePacker, plugin, confirmRound)) fail("no thread");
    int rc = pack(packFiles, "confirmed.d64");
    if (rc != 0) fail("PackFiles after OK returned %d", rc);
    else checkImage("confirmed.d64");

    if (!runDialog(configurePacker, plugin, cancelRound)) fail("no thread");
    rc = pack(packFiles, "cancelled.d64");
    if (rc != 0) fail("PackFiles after Cancel returned %d", rc);
    else checkImage("cancelled.d64");

    std::printf("%s\n", failures ? "dialog test failed" : "dialog test passed");
    return failures ? 1 : 0;
}
