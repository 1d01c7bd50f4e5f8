// The settings dialog in a host that shows dialogs from Lazarus form text
// (Double Commander on Linux): the form is made from one table that mirrors
// dialog 1001 of resources/ombrix.rc, the host runs it modally, and the
// dialog's logic reaches the items through the host's message sender.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
#include "dialog/dialog.h"

namespace {

// Messages of the host's form dialogs.
constexpr std::intptr_t kDmClose = 1;
constexpr std::intptr_t kDmEnable = 2;
constexpr std::intptr_t kDmGetText = 6;
constexpr std::intptr_t kDmSetText = 12;
constexpr std::intptr_t kDmSetMaxTextLength = 13;
constexpr std::intptr_t kDmGetCheck = 16;
constexpr std::intptr_t kDmSetCheck = 17;
constexpr std::intptr_t kDmListGetItemIndex = 19;
constexpr std::intptr_t kDmListSetItemIndex = 20;
constexpr std::intptr_t kDnClick = 0x1001;
constexpr std::intptr_t kDnChange = 0x1003;
constexpr std::intptr_t kDnInitDialog = 0x1005;
// DM_ENABLE with this only reports the state (as tried with 1.0.10).
constexpr std::intptr_t kQueryOnly = -1;

// The template's kinds. Double Commander 1.0.10 cannot make a TRadioButton
// (its form reader knows no such class), so the two radio buttons become the
// items of a TRadioGroup that stands where the template's "40 track type"
// group is; the items follow their group in the table. Sunken and framed
// static texts are labels in panels that draw the edge.
enum class Kind { kButton, kGroup, kLabelLeft, kLabelRight, kSunken, kFramed, kEdit, kEditCentre, kCheck,
                  kRadioGroup, kRadioItem };

struct FormControl {
    int id;  // the template's control id
    Kind kind;
    const char* name;     // the item's name in the form; a radio item names its group
    const char* caption;  // caption, or an edit's text
    int x, y, w, h;       // dialog units, as in the template
    bool enabled;
    bool numbersOnly;
    int maxLength;  // characters an edit takes; 0 = no limit
};

// A disk title has 16 characters, as the drive and the peer tools keep it;
// ID and DOS version take 2.
constexpr int kTitleLength = 16;
constexpr int kTwoChars = 2;

// Template order, which is also the order of creation and so the tab order.
constexpr FormControl kControls[] = {
    {kIdOk, Kind::kButton, "ButtonOk", "OK", 56, 156, 48, 15, true, false, 0},
    {kIdCancel, Kind::kButton, "ButtonCancel", "Cancel", 136, 156, 48, 15, true, false, 0},
    {4017, Kind::kGroup, "GroupInterleave", "Interleave Settings", 8, 8, 216, 92, true, false, 0},
    {4004, Kind::kSunken, "LabelInterleaveD64", "D64 / D71", 68, 20, 40, 12, true, false, 0},
    {4008, Kind::kSunken, "LabelInterleaveD80", "D80 / D82", 120, 20, 40, 12, true, false, 0},
    {4012, Kind::kSunken, "LabelInterleaveD81", "D81", 172, 20, 40, 12, true, false, 0},
    {4001, Kind::kLabelRight, "LabelBam", "BAM:", 20, 36, 40, 8, true, false, 0},
    {4002, Kind::kLabelRight, "LabelDirectory", "Directory:", 20, 48, 40, 8, true, false, 0},
    {4003, Kind::kLabelRight, "LabelFiles", "Files:", 20, 60, 40, 8, true, false, 0},
    // The 1541 BAM has one fixed place: a text, not a field.
    {4005, Kind::kFramed, "InterleaveD64Bam", "0", 68, 36, 40, 12, true, false, 0},
    {4006, Kind::kEditCentre, "InterleaveD64Dir", "3", 68, 48, 40, 12, true, true, 0},
    {4007, Kind::kEditCentre, "InterleaveD64Files", "10", 68, 60, 40, 12, true, true, 0},
    {4009, Kind::kEditCentre, "InterleaveD80Bam", "3", 120, 36, 40, 12, false, true, 0},
    {4010, Kind::kEditCentre, "InterleaveD80Dir", "1", 120, 48, 40, 12, true, true, 0},
    {4011, Kind::kEditCentre, "InterleaveD80Files", "1", 120, 60, 40, 12, true, true, 0},
    {4013, Kind::kEditCentre, "InterleaveD81Bam", "1", 172, 36, 40, 12, false, true, 0},
    {4014, Kind::kEditCentre, "InterleaveD81Dir", "1", 172, 48, 40, 12, true, true, 0},
    {4015, Kind::kEditCentre, "InterleaveD81Files", "1", 172, 60, 40, 12, true, true, 0},
    {kIdInterleaveReset, Kind::kButton, "ButtonResetInterleave", "Reset", 92, 80, 48, 14, true, false, 0},
    {4026, Kind::kGroup, "GroupDos", "DOS Version", 8, 104, 216, 44, true, false, 0},
    {4028, Kind::kSunken, "LabelDosD64", "D64 / D71", 12, 116, 40, 12, true, false, 0},
    {4030, Kind::kSunken, "LabelDosD80", "D80 / D82", 64, 116, 40, 12, true, false, 0},
    {4032, Kind::kSunken, "LabelDosD81", "D81", 116, 116, 40, 12, true, false, 0},
    {4029, Kind::kEditCentre, "DosD64", "2A", 12, 128, 40, 12, true, false, kTwoChars},
    {4031, Kind::kEditCentre, "DosD80", "2C", 64, 128, 40, 12, true, false, kTwoChars},
    {4033, Kind::kEditCentre, "DosD81", "3D", 116, 128, 40, 12, true, false, kTwoChars},
    {kIdDosVersionReset, Kind::kButton, "ButtonResetDos", "Reset", 168, 120, 48, 14, true, false, 0},
    {4018, Kind::kGroup, "GroupD64", "D64 settings", 232, 8, 108, 72, true, false, 0},
    {kIdFortyTracks, Kind::kCheck, "CheckFortyTracks", "40 tracks image ?", 240, 28, 84, 10, true, false, 0},
    {4036, Kind::kRadioGroup, "GroupFortyTrackType", "40 track type", 240, 40, 88, 36, false, false, 0},
    {kIdSpeedDos, Kind::kRadioItem, "GroupFortyTrackType", "SpeedDos", 256, 52, 56, 10, false, false, 0},
    {kIdDolphinDos, Kind::kRadioItem, "GroupFortyTrackType", "DolphinDos", 256, 64, 56, 10, false, false, 0},
    {4019, Kind::kGroup, "GroupGeneral", "General settings", 232, 84, 108, 88, true, false, 0},
    {4023, Kind::kLabelLeft, "LabelTitle", "Disk Title:", 236, 96, 36, 8, true, false, 0},
    {kIdDiskTitle, Kind::kEdit, "EditTitle", "OMBRIX DISK", 272, 96, 64, 12, true, false, kTitleLength},
    {4025, Kind::kLabelLeft, "LabelId", "Disk ID:", 236, 112, 36, 8, true, false, 0},
    {kIdDiskId, Kind::kEdit, "EditId", "00", 272, 112, 16, 12, true, false, kTwoChars},
    {kIdErrorInfo, Kind::kCheck, "CheckErrorInfo", "include error information", 240, 128, 96, 10, true, false, 0},
    {kIdUseDirTrack, Kind::kCheck, "CheckUseDirTrack", "use Dir Track ?", 240, 140, 96, 10, true, false, 0},
    {kIdWriteFromTrack1, Kind::kCheck, "CheckFromTrack1", "write from track 1 ?", 240, 152, 96, 10, true, false, 0},
};

// The template's frame, in dialog units.
constexpr int kDialogWidth = 346;
constexpr int kDialogHeight = 178;

// Dialog units of the template's 8-point Tahoma in pixels (x 1.5, y 1.625),
// so the form looks like the Windows dialog.
int pixelsX(int units) { return units * 3 / 2; }
int pixelsY(int units) { return units * 13 / 8; }

const FormControl* controlById(int id) {
    for (const FormControl& c : kControls)
        if (c.id == id) return &c;
    return nullptr;
}

// The form item of that name (a radio group, not one of its items).
const FormControl* controlByName(const char* name) {
    if (!name) return nullptr;
    for (const FormControl& c : kControls)
        if (c.kind != Kind::kRadioItem && std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

// The position of a radio item in its group.
int itemIndex(const FormControl& item) {
    int index = 0;
    for (const FormControl* c = &item; c > kControls && (c - 1)->kind == Kind::kRadioItem; --c) ++index;
    return index;
}

const FormControl* itemAt(const FormControl& group, std::intptr_t index) {
    const FormControl* end = kControls + sizeof kControls / sizeof kControls[0];
    for (const FormControl* c = &group + 1; c < end && c->kind == Kind::kRadioItem; ++c)
        if (itemIndex(*c) == index) return c;
    return nullptr;
}

bool isEdit(Kind kind) { return kind == Kind::kEdit || kind == Kind::kEditCentre; }
bool isBox(Kind kind) { return kind == Kind::kCheck || kind == Kind::kRadioItem; }
bool isGroup(Kind kind) { return kind == Kind::kGroup || kind == Kind::kRadioGroup; }
// The kinds whose caption or text the host's DM_GETTEXT reports (1.0.10 has
// none for check boxes, panels and radio groups).
bool hostReportsText(Kind kind) { return !isBox(kind) && kind != Kind::kRadioGroup; }

const char* className(Kind kind) {
    switch (kind) {
    case Kind::kButton: return "TButton";
    case Kind::kGroup: return "TGroupBox";
    case Kind::kLabelLeft:
    case Kind::kLabelRight:
    case Kind::kSunken:
    case Kind::kFramed: return "TLabel";
    case Kind::kEdit:
    case Kind::kEditCentre: return "TEdit";
    case Kind::kCheck: return "TCheckBox";
    case Kind::kRadioGroup:
    case Kind::kRadioItem: return "TRadioGroup";
    }
    return "TLabel";
}

// Group boxes are windows that would hide controls lying over them, so a
// control is written inside the smallest group that holds it (a Windows
// template only draws its groups behind their controls).
bool holds(const FormControl& group, const FormControl& c) {
    return &group != &c && isGroup(group.kind) && c.x >= group.x && c.y >= group.y && c.x + c.w <= group.x + group.w &&
           c.y + c.h <= group.y + group.h;
}

const FormControl* parentOf(const FormControl& c) {
    const FormControl* parent = nullptr;
    for (const FormControl& g : kControls)
        if (holds(g, c) && (!parent || holds(*parent, g))) parent = &g;
    return parent;
}

// Where a group's children start, in pixels from its corner: the frame and
// the caption line of the host's toolkit (GTK 2 with the form's font).
constexpr int kGroupClientLeft = 2;
constexpr int kGroupClientTop = 15;

int leftIn(const FormControl* parent, const FormControl& c) {
    return parent ? pixelsX(c.x) - pixelsX(parent->x) - kGroupClientLeft : pixelsX(c.x);
}
int topIn(const FormControl* parent, const FormControl& c) {
    return parent ? pixelsY(c.y) - pixelsY(parent->y) - kGroupClientTop : pixelsY(c.y);
}

// A Pascal string literal.
std::string quoted(const char* text) {
    std::string out = "'";
    for (const char* p = text; *p; ++p) {
        if (*p == '\'') out += '\'';
        out += *p;
    }
    return out + "'";
}

void property(std::string& out, int depth, const char* name, const std::string& value) {
    out.append(2 * depth + 2, ' ');
    out += name;
    out += " = ";
    out += value;
    out += '\n';
}

void property(std::string& out, int depth, const char* name, int value) {
    property(out, depth, name, std::to_string(value));
}

void beginObject(std::string& out, int depth, const std::string& name, const char* type) {
    out.append(2 * depth, ' ');
    out += "object " + name + ": " + type + "\n";
}

void endObject(std::string& out, int depth) {
    out.append(2 * depth, ' ');
    out += "end\n";
}

void bounds(std::string& out, int depth, int left, int top, int width, int height) {
    property(out, depth, "Left", left);
    property(out, depth, "Top", top);
    property(out, depth, "Width", width);
    property(out, depth, "Height", height);
}

void appendChildren(std::string& out, const FormControl* parent, int depth);

// A sunken or framed text: a label centred in a panel that draws the edge.
void appendPanelLabel(std::string& out, const FormControl& c, const FormControl* parent, int depth) {
    beginObject(out, depth, std::string("Frame") + c.name, "TPanel");
    bounds(out, depth, leftIn(parent, c), topIn(parent, c), pixelsX(c.w), pixelsY(c.h));
    property(out, depth, "Caption", "''");
    if (c.kind == Kind::kSunken) {
        property(out, depth, "BevelOuter", "bvLowered");
    } else {
        property(out, depth, "BevelOuter", "bvNone");
        property(out, depth, "BorderStyle", "bsSingle");
    }
    beginObject(out, depth + 1, c.name, "TLabel");
    property(out, depth + 1, "Align", "alClient");
    property(out, depth + 1, "Alignment", "taCenter");
    property(out, depth + 1, "Layout", "tlCenter");
    property(out, depth + 1, "AutoSize", "False");
    property(out, depth + 1, "Caption", quoted(c.caption));
    endObject(out, depth + 1);
    endObject(out, depth);
}

void appendControl(std::string& out, const FormControl& c, const FormControl* parent, int depth) {
    if (c.kind == Kind::kRadioItem) return;  // written with its group
    if (c.kind == Kind::kSunken || c.kind == Kind::kFramed) {
        appendPanelLabel(out, c, parent, depth);
        return;
    }
    beginObject(out, depth, c.name, className(c.kind));
    bounds(out, depth, leftIn(parent, c), topIn(parent, c), pixelsX(c.w), pixelsY(c.h));
    // The template's geometry, whatever the text would ask for.
    property(out, depth, "AutoSize", "False");
    property(out, depth, isEdit(c.kind) ? "Text" : "Caption", quoted(c.caption));
    if (!c.enabled) property(out, depth, "Enabled", "False");
    switch (c.kind) {
    case Kind::kButton:
        // Enter and Escape press OK and Cancel, as in a Windows dialog.
        if (c.id == kIdOk) property(out, depth, "Default", "True");
        if (c.id == kIdCancel) property(out, depth, "Cancel", "True");
        property(out, depth, "OnClick", "ButtonClick");
        break;
    case Kind::kLabelRight: property(out, depth, "Alignment", "taRightJustify"); break;
    case Kind::kEditCentre: property(out, depth, "Alignment", "taCenter"); break;
    case Kind::kCheck: property(out, depth, "OnChange", "CheckBoxChange"); break;
    case Kind::kRadioGroup:
        out.append(2 * depth + 2, ' ');
        out += "Items.Strings = (\n";
        for (const FormControl* item = itemAt(c, 0); item; item = itemAt(c, itemIndex(*item) + 1)) {
            out.append(2 * depth + 4, ' ');
            out += quoted(item->caption) + "\n";
        }
        out.append(2 * depth + 2, ' ');
        out += ")\n";
        // The host has no change handler for radio groups: a choice is a click.
        property(out, depth, "OnClick", "ButtonClick");
        break;
    default: break;
    }
    if (c.numbersOnly) property(out, depth, "NumbersOnly", "True");
    if (c.kind == Kind::kGroup) appendChildren(out, &c, depth + 1);
    endObject(out, depth);
}

void appendChildren(std::string& out, const FormControl* parent, int depth) {
    for (const FormControl& c : kControls)
        if (parentOf(c) == parent) appendControl(out, c, parent, depth);
}

// The running dialog. The host's item callback carries no context of ours,
// and it runs one modal dialog at a time on its main thread.
struct FormDialog {
    FormShowProc show;
    FormSendProc send;
    std::uintptr_t handle;
    int result;
    // Our own messages while the host runs them: change notices they cause
    // are not the user's (Win32 sends none for CheckDlgButton either).
    int sending;
};
FormDialog Form = {nullptr, nullptr, 0, 0, 0};

std::intptr_t sendTo(const FormControl* c, std::intptr_t message, std::intptr_t wParam) {
    if (!c || !Form.send || !Form.handle) return 0;
    ++Form.sending;
    const std::intptr_t result = Form.send(Form.handle, const_cast<char*>(c->name), message, wParam, 0);
    --Form.sending;
    return result;
}

std::intptr_t send(int id, std::intptr_t message, std::intptr_t wParam) {
    return sendTo(controlById(id), message, wParam);
}

void formSetText(void*, int id, const char* text) {
    send(id, kDmSetText, reinterpret_cast<std::intptr_t>(text));
}

// The host's text lives only until its next message: copied at once.
void copyText(const FormControl* c, char* buffer, int size) {
    if (size <= 0) return;
    buffer[0] = 0;
    const char* text = reinterpret_cast<const char*>(sendTo(c, kDmGetText, 0));
    if (!text) return;
    const std::size_t n = strnlen(text, static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text, n);
    buffer[n] = 0;
}

void formGetText(void*, int id, char* buffer, int size) { copyText(controlById(id), buffer, size); }

void formSetNumber(void* context, int id, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    formSetText(context, id, text);
}

unsigned formGetNumber(void* context, int id) {
    char text[16];
    formGetText(context, id, text, sizeof text);
    return dialogNumber(text);
}

std::intptr_t chosenItem(const FormControl& item) { return sendTo(&item, kDmListGetItemIndex, 0); }

void formSetChecked(void*, int id, bool checked) {
    const FormControl* c = controlById(id);
    if (!c || c->kind != Kind::kRadioItem) {
        send(id, kDmSetCheck, checked ? 1 : 0);
        return;
    }
    // A radio item is cleared by choosing none, and only when it is chosen.
    if (checked) sendTo(c, kDmListSetItemIndex, itemIndex(*c));
    else if (chosenItem(*c) == itemIndex(*c)) sendTo(c, kDmListSetItemIndex, -1);
}

bool formIsChecked(void*, int id) {
    const FormControl* c = controlById(id);
    if (c && c->kind == Kind::kRadioItem) return chosenItem(*c) == itemIndex(*c);
    return send(id, kDmGetCheck, 0) == 1;
}

// A radio item's state is its group's.
void formSetEnabled(void*, int id, bool enabled) { send(id, kDmEnable, enabled ? 1 : 0); }

DialogView formView() {
    return DialogView{&Form,         formSetText,    formGetText,   formSetNumber,
                      formGetNumber, formSetChecked, formIsChecked, formSetEnabled};
}

// Every item as the host reports it back: what the user sees.
void logControls() {
    for (const FormControl& c : kControls) {
        char text[64] = {};
        const char* shown = nullptr;
        if (hostReportsText(c.kind)) shown = reinterpret_cast<const char*>(sendTo(&c, kDmGetText, 0));
        if (shown) std::snprintf(text, sizeof text, "%s", shown);
        const int checked = isBox(c.kind) ? formIsChecked(&Form, c.id) : -1;
        const int enabled = static_cast<int>(sendTo(&c, kDmEnable, kQueryOnly));
        logMessage(kLogTrace, "dialog item %d %s %s \"%s\" checked %d enabled %d\n", c.id, c.name,
                   shown ? "shows" : "form", shown ? text : c.caption, checked, enabled);
    }
}

void init(std::uintptr_t handle) {
    Form.handle = handle;
    for (const FormControl& c : kControls)
        if (c.maxLength) sendTo(&c, kDmSetMaxTextLength, c.maxLength);
    settingsDialogInit(formView());
    logControls();
}

void command(const FormControl& c) {
    const int result = settingsDialogCommand(formView(), c.id);
    if (result == 0) return;
    Form.result = result;
    sendTo(&c, kDmClose, result == kDialogOk ? kIdOk : kIdCancel);
}

std::intptr_t itemProc(std::uintptr_t handle, char* item, std::intptr_t message, std::intptr_t, std::intptr_t) {
    if (message == kDnInitDialog) {
        init(handle);
        return 0;
    }
    if (Form.sending || handle != Form.handle) return 0;
    const FormControl* c = controlByName(item);
    if (!c) return 0;
    if (message == kDnClick && c->kind == Kind::kButton) command(*c);
    if (message == kDnChange && c->kind == Kind::kCheck) command(*c);
    // A click in the radio group: the chosen item, as its button would say.
    if (message == kDnClick && c->kind == Kind::kRadioGroup)
        if (const FormControl* chosen = itemAt(*c, sendTo(c, kDmListGetItemIndex, 0))) command(*chosen);
    return 0;
}

}  // namespace

std::string settingsFormText() {
    std::string out = "object DialogBox: TDialogBox\n";
    bounds(out, 0, 0, 0, pixelsX(kDialogWidth), pixelsY(kDialogHeight));
    property(out, 0, "ClientWidth", pixelsX(kDialogWidth));
    property(out, 0, "ClientHeight", pixelsY(kDialogHeight));
    property(out, 0, "BorderStyle", "bsDialog");
    property(out, 0, "Caption", quoted("OMBRIX settings"));
    // The template's 8-point font is 11 pixels high. Where Tahoma is missing,
    // fontconfig falls back to DejaVu Sans, too wide for the template's
    // boxes; Arial's metrics (Liberation Sans, Nimbus Sans) are close.
    property(out, 0, "Font.Height", -11);
    property(out, 0, "Font.Name", quoted("Arial"));
    property(out, 0, "Position", "poScreenCenter");
    property(out, 0, "OnShow", "DialogBoxShow");
    appendChildren(out, nullptr, 1);
    out += "end\n";
    return out;
}

void setFormDialogHost(FormShowProc show, FormSendProc send) {
    Form.show = show;
    Form.send = send;
}

void configurePacker(void*, void*) {
    logMessage(kLogTrace, ">ConfigurePacker<\n");
    // Without the host's dialogs hosts use ConfigurePackerText.
    if (!Form.show || !Form.send) return;
    const std::string text = settingsFormText();
    Form.handle = 0;
    Form.result = 0;
    Form.sending = 0;
    Form.show(reinterpret_cast<std::intptr_t>(text.data()), static_cast<std::uint32_t>(text.size()), itemProc);
    if (!Form.handle) {
        // The host could not make the form: nothing changes.
        logMessage(kLogError, "ConfigurePacker: the host's dialog did not open\n");
        return;
    }
    Form.handle = 0;
    // Closed by its window button: as Cancel.
    settingsDialogFinish(Form.result == kDialogOk ? kDialogOk : kDialogCancel);
}
