// The choices that govern new images and writing: interleaves, DOS version,
// ID, title and the writing switches.
#pragma once

#include <cstdint>

// Format groups and purposes of the interleave table.
constexpr int kGroupD64 = 0;  // D64 and D71
constexpr int kGroupD80 = 1;  // D80 and D82
constexpr int kGroupD81 = 2;
constexpr int kPurposeBam = 0;
constexpr int kPurposeDirectory = 1;
constexpr int kPurposeFiles = 2;

struct NewImageSettingsRecord {
    std::uint8_t interleave[3][3];
    char dosVersion[3][2];
    char diskId[2];
    char diskTitle[16];
    std::int32_t fortyTracks;
    std::int32_t includeErrorInfo;
    std::int32_t useDirTrack;
    std::int32_t writeFromTrack1;
    std::int32_t fortyTrackType;
};

// The constant defaults, shared with the settings dialog.
struct NewImageDefaults {
    std::uint8_t interleave[3][3];
    const char* title;
    const char* diskId;
    const char* dosVersion[3];
};
extern const NewImageDefaults kNewImageDefaults;

// The live values, which the settings dialog sets. Calls that may run beside
// others reach them only through the functions below.
extern NewImageSettingsRecord NewImageSettings;

// Non-zero: the directory track is the last resort for file data. Set only
// when the settings dialog is confirmed (setNewImageDefaults leaves it).
extern std::uint8_t dirTrackFallback;

// Every field but fortyTrackType back to its default.
void setNewImageDefaults();

// Reads and replaces the live values as a whole, so that a call on another
// thread never sees half a change.
void readNewImageSettings(NewImageSettingsRecord& settings, std::uint8_t& fallback);
void commitNewImageSettings(const NewImageSettingsRecord& settings, std::uint8_t fallback);

// A call that writes images works with the values as they were when it
// began: while a scope lives, the values below are its copy, taken once.
struct NewImageCallScope {
    NewImageSettingsRecord settings;
    std::uint8_t dirTrackFallback;
    const NewImageCallScope* outer;
    NewImageCallScope();
    ~NewImageCallScope();
    NewImageCallScope(const NewImageCallScope&) = delete;
    NewImageCallScope& operator=(const NewImageCallScope&) = delete;
};
// The running call's copy, or the live values outside any call.
const NewImageSettingsRecord& newImageSettings();
std::uint8_t directoryTrackFallback();
