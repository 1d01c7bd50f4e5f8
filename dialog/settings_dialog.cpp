// The settings dialog's logic: it fills the controls from NewImageSettings,
// handles the buttons, reads and checks the fields on OK, and commits the
// working copy when the dialog was confirmed.
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/new_image_settings.h"
#include "dialog/dialog.h"

SettingsDialogStateRecord SettingsDialogState = {};

namespace {

constexpr unsigned kInterleaveMax = 40;

// Title: 16 characters and the terminator; ID and DOS version: 2 characters.
constexpr int kTitleBuffer = sizeof SettingsDialogState.diskTitle;
constexpr int kTwoCharBuffer = 3;

void showTwoChars(const DialogView& view, int id, const char* chars) {
    char text[kTwoCharBuffer] = {chars[0], chars[1], 0};
    view.setText(view.context, id, text);
}

void readTwoChars(const DialogView& view, int id, char* out) {
    char text[kTwoCharBuffer] = {};
    view.getText(view.context, id, text, sizeof text);
    out[0] = text[0];
    out[1] = text[0] ? text[1] : 0;
}

void setRadiosEnabled(const DialogView& view, bool enabled) {
    view.setEnabled(view.context, kIdSpeedDos, enabled);
    view.setEnabled(view.context, kIdDolphinDos, enabled);
}

void readInterleaves(const DialogView& view) {
    for (int g = 0; g < 3; ++g) {
        for (int p = 0; p < 3; ++p) {
            // The whole number is checked before it is narrowed, so that
            // 265 does not slip through as 9.
            unsigned value = view.getNumber(view.context, interleaveControl(g, p));
            if (value == 0 || value > kInterleaveMax) value = kNewImageDefaults.interleave[g][p];
            SettingsDialogState.interleave[g][p] = static_cast<std::uint8_t>(value);
        }
    }
}

void readFields(const DialogView& view) {
    SettingsDialogStateRecord& s = SettingsDialogState;
    readInterleaves(view);
    for (int g = 0; g < 3; ++g) readTwoChars(view, dosVersionControl(g), s.dosVersion[g]);
    std::memset(s.diskTitle, 0, sizeof s.diskTitle);
    view.getText(view.context, kIdDiskTitle, s.diskTitle, kTitleBuffer);
    s.diskTitle[kTitleBuffer - 1] = 0;
    readTwoChars(view, kIdDiskId, s.diskId);
    s.fortyTracks = view.isChecked(view.context, kIdFortyTracks) ? 1 : 0;
    if (s.fortyTracks)
        s.fortyTrackType = view.isChecked(view.context, kIdSpeedDos) ? kFortyTrackSpeedDos : kFortyTrackDolphinDos;
    else
        s.fortyTrackType = kFortyTrackNone;
    s.includeErrorInfo = view.isChecked(view.context, kIdErrorInfo) ? 1 : 0;
    s.useDirTrack = view.isChecked(view.context, kIdUseDirTrack) ? 1 : 0;
    s.writeFromTrack1 = view.isChecked(view.context, kIdWriteFromTrack1) ? 1 : 0;
}

}  // namespace

void settingsDialogInit(const DialogView& view) {
    logMessage(kLogTrace, "dialog INIT\n");
    SettingsDialogStateRecord& s = SettingsDialogState;
    NewImageSettingsRecord live {};
    std::uint8_t fallback = 0;
    readNewImageSettings(live, fallback);
    std::memcpy(s.interleave, live.interleave, sizeof s.interleave);
    for (int g = 0; g < 3; ++g)
        for (int p = 0; p < 3; ++p) view.setNumber(view.context, interleaveControl(g, p), s.interleave[g][p]);
    std::memcpy(s.dosVersion, live.dosVersion, sizeof s.dosVersion);
    for (int g = 0; g < 3; ++g) showTwoChars(view, dosVersionControl(g), s.dosVersion[g]);
    // The live title need not be terminated when all 16 bytes are used.
    std::memset(s.diskTitle, 0, sizeof s.diskTitle);
    std::memcpy(s.diskTitle, live.diskTitle, strnlen(live.diskTitle, sizeof s.diskTitle - 1));
    view.setText(view.context, kIdDiskTitle, s.diskTitle);
    std::memcpy(s.diskId, live.diskId, sizeof s.diskId);
    showTwoChars(view, kIdDiskId, s.diskId);

    s.fortyTracks = live.fortyTracks;
    if (s.fortyTracks) {
        view.setChecked(view.context, kIdFortyTracks, true);
        setRadiosEnabled(view, true);
        // fortyTrackType is the dialog's own memory of the last choice.
        const bool speedDos = s.fortyTrackType == kFortyTrackSpeedDos;
        view.setChecked(view.context, kIdSpeedDos, speedDos);
        view.setChecked(view.context, kIdDolphinDos, !speedDos);
    } else {
        view.setChecked(view.context, kIdFortyTracks, false);
        setRadiosEnabled(view, false);
    }
    s.includeErrorInfo = live.includeErrorInfo;
    s.useDirTrack = live.useDirTrack;
    s.writeFromTrack1 = live.writeFromTrack1;
    view.setChecked(view.context, kIdErrorInfo, s.includeErrorInfo != 0);
    view.setChecked(view.context, kIdUseDirTrack, s.useDirTrack != 0);
    view.setChecked(view.context, kIdWriteFromTrack1, s.writeFromTrack1 != 0);
}

int settingsDialogCommand(const DialogView& view, int id) {
    switch (id) {
    case kIdInterleaveReset:
        logMessage(kLogTrace, "dialog RESET IL\n");
        for (int g = 0; g < 3; ++g)
            for (int p = 0; p < 3; ++p)
                view.setNumber(view.context, interleaveControl(g, p), kNewImageDefaults.interleave[g][p]);
        return 0;
    case kIdDosVersionReset:
        logMessage(kLogTrace, "dialog RESET DV\n");
        for (int g = 0; g < 3; ++g) view.setText(view.context, dosVersionControl(g), kNewImageDefaults.dosVersion[g]);
        return 0;
    case kIdFortyTracks:
        logMessage(kLogTrace, "dialog 40 tracks toogle\n");
        if (view.isChecked(view.context, kIdFortyTracks)) {
            setRadiosEnabled(view, true);
            view.setChecked(view.context, kIdSpeedDos, true);
            view.setChecked(view.context, kIdDolphinDos, false);
        } else {
            setRadiosEnabled(view, false);
        }
        return 0;
    case kIdOk:
        logMessage(kLogTrace, "dialog OK\n");
        readFields(view);
        return kDialogOk;
    case kIdCancel:
        logMessage(kLogTrace, "dialog CANCEL\n");
        return kDialogCancel;
    default:
        return 0;
    }
}

void settingsDialogFinish(int result) {
    if (result != kDialogOk) {
        logMessage(kLogTrace, "dialog CANCEL\n");
        return;
    }
    logMessage(kLogTrace, "dialog OK\n");
    const SettingsDialogStateRecord& s = SettingsDialogState;
    NewImageSettingsRecord live {};
    std::uint8_t fallback = 0;
    readNewImageSettings(live, fallback);
    std::memcpy(live.interleave, s.interleave, sizeof live.interleave);
    std::memcpy(live.dosVersion, s.dosVersion, sizeof live.dosVersion);
    // Zero the rest too, so no bytes of an older, longer title linger.
    std::memset(live.diskTitle, 0, sizeof live.diskTitle);
    std::memcpy(live.diskTitle, s.diskTitle, strnlen(s.diskTitle, sizeof s.diskTitle - 1));
    std::memcpy(live.diskId, s.diskId, sizeof live.diskId);
    live.fortyTracks = s.fortyTracks;
    live.fortyTrackType = s.fortyTrackType;
    live.includeErrorInfo = s.includeErrorInfo;
    live.useDirTrack = s.useDirTrack;
    live.writeFromTrack1 = s.writeFromTrack1;
    commitNewImageSettings(live, s.useDirTrack ? 1 : 0);
}

unsigned dialogNumber(const char* text) {
    std::size_t i = 0;
    while (text[i] == ' ') ++i;
    std::uint64_t value = 0;
    bool digits = false;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > 0xFFFFFFFFu) return 0;
        digits = true;
    }
    return digits ? static_cast<unsigned>(value) : 0;
}

// --- the text form: a scripted dialog ---------------------------------------

namespace {

struct ScriptedControl {
    int id;
    std::string text;
    bool checked;
    bool enabled;
};

// The controls the logic touches, in their template state.
struct ScriptedDialog {
    std::vector<ScriptedControl> controls;
    ScriptedControl spare{0, {}, false, false};  // any other identifier

    ScriptedDialog() {
        for (int g = 0; g < 3; ++g) {
            for (int p = 0; p < 3; ++p) {
                // The BAM row is a static text (D64) or disabled edits.
                controls.push_back({interleaveControl(g, p), {}, false, p != kPurposeBam});
            }
            controls.push_back({dosVersionControl(g), {}, false, true});
        }
        for (int id : {kIdDiskTitle, kIdDiskId, kIdFortyTracks, kIdErrorInfo, kIdUseDirTrack, kIdWriteFromTrack1})
            controls.push_back({id, {}, false, true});
        controls.push_back({kIdSpeedDos, {}, false, false});
        controls.push_back({kIdDolphinDos, {}, false, false});
    }

    ScriptedControl& at(int id) {
        for (ScriptedControl& c : controls)
            if (c.id == id) return c;
        spare = ScriptedControl{id, {}, false, false};
        return spare;
    }
};

ScriptedDialog& scripted(void* context) { return *static_cast<ScriptedDialog*>(context); }

void scriptedSetText(void* context, int id, const char* text) { scripted(context).at(id).text = text; }

void scriptedGetText(void* context, int id, char* buffer, int size) {
    if (size <= 0) return;
    const std::string& text = scripted(context).at(id).text;
    const std::size_t n = text.size() < static_cast<std::size_t>(size - 1) ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
}

void scriptedSetNumber(void* context, int id, unsigned value) {
    scripted(context).at(id).text = std::to_string(value);
}

unsigned scriptedGetNumber(void* context, int id) { return dialogNumber(scripted(context).at(id).text.c_str()); }

void scriptedSetChecked(void* context, int id, bool checked) { scripted(context).at(id).checked = checked; }
bool scriptedIsChecked(void* context, int id) { return scripted(context).at(id).checked; }
void scriptedSetEnabled(void* context, int id, bool enabled) { scripted(context).at(id).enabled = enabled; }

DialogView scriptedView(ScriptedDialog& dialog) {
    return DialogView{&dialog,          scriptedSetText,    scriptedGetText,    scriptedSetNumber,
                      scriptedGetNumber, scriptedSetChecked, scriptedIsChecked, scriptedSetEnabled};
}

// One user action: typing into a field, setting a box, choosing the
// forty-track layout (0 = box cleared).
struct ScriptStep {
    enum Kind { kType, kBox, kForty } kind;
    int id;
    std::string text;
    int value;
};

bool parseGroup(const std::string& name, int& group) {
    std::string lower;
    for (char c : name) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    // The dialog's columns serve two formats each.
    if (lower == "d64" || lower == "d71") group = kGroupD64;
    else if (lower == "d80" || lower == "d82") group = kGroupD80;
    else if (lower == "d81") group = kGroupD81;
    else return false;
    return true;
}

bool isDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool parseLine(const std::string& line, std::vector<ScriptStep>& steps) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "title") {
        steps.push_back({ScriptStep::kType, kIdDiskTitle, value, 0});
        return true;
    }
    if (key == "id") {
        steps.push_back({ScriptStep::kType, kIdDiskId, value, 0});
        return true;
    }
    if (key == "dos" || key == "interleave") {
        const std::size_t eq2 = value.find('=');
        int group = 0;
        if (eq2 == std::string::npos || !parseGroup(value.substr(0, eq2), group)) return false;
        const std::string rest = value.substr(eq2 + 1);
        if (key == "dos") {
            steps.push_back({ScriptStep::kType, dosVersionControl(group), rest, 0});
            return true;
        }
        // The interleave fields take digits only.
        const std::size_t comma = rest.find(',');
        if (comma == std::string::npos) return false;
        const std::string dir = rest.substr(0, comma);
        const std::string files = rest.substr(comma + 1);
        if (!isDigits(dir) || !isDigits(files)) return false;
        steps.push_back({ScriptStep::kType, interleaveControl(group, kPurposeDirectory), dir, 0});
        steps.push_back({ScriptStep::kType, interleaveControl(group, kPurposeFiles), files, 0});
        return true;
    }
    if (key == "forty") {
        int type = -1;
        if (value == "speeddos") type = kFortyTrackSpeedDos;
        else if (value == "dolphindos") type = kFortyTrackDolphinDos;
        else if (value == "0" || value == "off") type = kFortyTrackNone;
        if (type < 0) return false;
        steps.push_back({ScriptStep::kForty, kIdFortyTracks, {}, type});
        return true;
    }
    int box = 0;
    if (key == "error-bytes") box = kIdErrorInfo;
    else if (key == "use-dir-track") box = kIdUseDirTrack;
    else if (key == "from-track1") box = kIdWriteFromTrack1;
    if (box == 0 || (value != "0" && value != "1")) return false;
    steps.push_back({ScriptStep::kBox, box, {}, value == "1"});
    return true;
}

// A click on an auto checkbox: it flips, then the dialog hears of it.
void clickBox(ScriptedDialog& dialog, const DialogView& view, int id) {
    ScriptedControl& c = dialog.at(id);
    if (!c.enabled) return;
    c.checked = !c.checked;
    settingsDialogCommand(view, id);
}

// A click on an auto radio button: it is checked and its partner cleared.
void clickRadio(ScriptedDialog& dialog, const DialogView& view, int id) {
    if (!dialog.at(id).enabled) return;
    dialog.at(kIdSpeedDos).checked = id == kIdSpeedDos;
    dialog.at(kIdDolphinDos).checked = id == kIdDolphinDos;
    settingsDialogCommand(view, id);
}

void setBox(ScriptedDialog& dialog, const DialogView& view, int id, bool checked) {
    if (dialog.at(id).checked != checked) clickBox(dialog, view, id);
}

void runStep(ScriptedDialog& dialog, const DialogView& view, const ScriptStep& step) {
    switch (step.kind) {
    case ScriptStep::kType:
        if (dialog.at(step.id).enabled) dialog.at(step.id).text = step.text;
        break;
    case ScriptStep::kBox:
        setBox(dialog, view, step.id, step.value != 0);
        break;
    case ScriptStep::kForty:
        setBox(dialog, view, kIdFortyTracks, step.value != kFortyTrackNone);
        if (step.value == kFortyTrackSpeedDos) clickRadio(dialog, view, kIdSpeedDos);
        if (step.value == kFortyTrackDolphinDos) clickRadio(dialog, view, kIdDolphinDos);
        break;
    }
}

}  // namespace

int configurePackerText(const char* text) {
    logMessage(kLogTrace, ">ConfigurePackerText<\n");
    // Every line is understood before anything is touched.
    std::vector<ScriptStep> steps;
    int lineNumber = 0;
    for (const char* p = text ? text : ""; *p;) {
        const char* end = std::strchr(p, '\n');
        std::string line = end ? std::string(p, end) : std::string(p);
        p = end ? end + 1 : p + line.size();
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (!parseLine(line, steps)) {
            logMessage(kLogError, "ConfigurePackerText: line %d not understood\n", lineNumber);
            return lineNumber;
        }
    }
    ScriptedDialog dialog;
    const DialogView view = scriptedView(dialog);
    settingsDialogInit(view);
    for (const ScriptStep& step : steps) runStep(dialog, view, step);
    settingsDialogFinish(settingsDialogCommand(view, kIdOk));
    return 0;
}
