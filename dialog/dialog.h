// The settings dialog for new images. Its logic (initialisation, commands,
// validation, commit) talks to the controls only through DialogView, so the
// same code runs behind the Win32 dialog, behind the text export for hosts
// without a window system, and behind the tests' fake view.
#pragma once

#include <cstdint>
#include <string>

// Dialog template and control identifiers (resources/ombrix.rc).
constexpr int kDialogTemplateId = 1001;
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdInterleaveFirst = 4005;  // + 4 x group + purpose
constexpr int kIdInterleaveReset = 4016;
constexpr int kIdFortyTracks = 4020;
constexpr int kIdErrorInfo = 4021;
constexpr int kIdDiskTitle = 4022;
constexpr int kIdDiskId = 4024;
constexpr int kIdDosVersionReset = 4027;
constexpr int kIdDosVersionFirst = 4029;  // + 2 x group
constexpr int kIdSpeedDos = 4034;
constexpr int kIdDolphinDos = 4035;
constexpr int kIdUseDirTrack = 4037;
constexpr int kIdWriteFromTrack1 = 4038;

constexpr int interleaveControl(int group, int purpose) { return kIdInterleaveFirst + 4 * group + purpose; }
constexpr int dosVersionControl(int group) { return kIdDosVersionFirst + 2 * group; }

// Values of NewImageSettings.fortyTrackType.
constexpr std::int32_t kFortyTrackNone = 0;
constexpr std::int32_t kFortyTrackSpeedDos = 2;
constexpr std::int32_t kFortyTrackDolphinDos = 3;

// Results that end the dialog (0 = it stays open).
constexpr int kDialogOk = 1;
constexpr int kDialogCancel = 2;

// What the logic needs of a dialog: a record of operations on controls, each
// given the view's context and a control identifier.
struct DialogView {
    void* context;
    void (*setText)(void* context, int id, const char* text);
    // Copies at most size - 1 characters and a terminating zero.
    void (*getText)(void* context, int id, char* buffer, int size);
    void (*setNumber)(void* context, int id, unsigned value);
    // The text as an unsigned number; 0 when it is none or does not fit.
    unsigned (*getNumber)(void* context, int id);
    void (*setChecked)(void* context, int id, bool checked);
    bool (*isChecked)(void* context, int id);
    void (*setEnabled)(void* context, int id, bool enabled);
};

// The dialog's working copy: the fields of NewImageSettings. It outlives
// each dialog; fortyTrackType keeps the last confirmed choice.
struct SettingsDialogStateRecord {
    std::uint8_t interleave[3][3];
    char dosVersion[3][2];
    char diskTitle[17];  // 16 characters and a terminator
    char diskId[2];
    std::int32_t fortyTracks;
    std::int32_t fortyTrackType;
    std::int32_t includeErrorInfo;
    std::int32_t useDirTrack;
    std::int32_t writeFromTrack1;
};
extern SettingsDialogStateRecord SettingsDialogState;

// Fills the working copy from the live settings and shows it.
void settingsDialogInit(const DialogView& view);
// Handles a command from control `id`; returns 0, or the result that ends
// the dialog (kDialogOk after the fields were read into the working copy).
int settingsDialogCommand(const DialogView& view, int id);
// After the dialog: kDialogOk commits the working copy into NewImageSettings
// and dirTrackFallback; anything else changes nothing.
void settingsDialogFinish(int result);

// The ConfigurePacker export: the modal Win32 dialog on Windows; elsewhere
// the form dialog of a host that offered one (setFormDialogHost), else only a
// log line.
void configurePacker(void* parent, void* dllInstance);

// The text of an edit as an unsigned number, as the Win32 dialog reads one:
// leading blanks, then decimal digits; no digits or a value beyond 32 bits
// gives 0.
unsigned dialogNumber(const char* text);

#ifndef _WIN32
// Form dialogs of a host (Double Commander): it shows a modal dialog described
// as Lazarus form text, tells the item callback of events on named items, and
// takes messages for them.
using FormItemProc = std::intptr_t (*)(std::uintptr_t dialog, char* item, std::intptr_t message,
                                       std::intptr_t wParam, std::intptr_t lParam);
using FormSendProc = std::intptr_t (*)(std::uintptr_t dialog, char* item, std::intptr_t message,
                                       std::intptr_t wParam, std::intptr_t lParam);
using FormShowProc = std::int32_t (*)(std::intptr_t formText, std::uint32_t size, FormItemProc itemProc);
// Both null: no such host (the default), configurePacker only logs.
void setFormDialogHost(FormShowProc show, FormSendProc send);
// The settings dialog as Lazarus form text, made from the same table of
// controls as the dialog's items.
std::string settingsFormText();
#endif

// "key=value" lines run through the dialog logic as if typed into the dialog
// and confirmed. 0 when done, else the 1-based number of the first line not
// understood (and nothing changes).
int configurePackerText(const char* text);
