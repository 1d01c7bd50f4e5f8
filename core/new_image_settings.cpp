#include "core/new_image_settings.h"

#include <cstring>

#include "core/spin_lock.h"

const NewImageDefaults kNewImageDefaults = {
    {{0, 3, 10}, {3, 1, 1}, {1, 1, 1}},
    "OMBRIX DISK",
    "00",
    {"2A", "2C", "3D"},
};

NewImageSettingsRecord NewImageSettings = {};
std::uint8_t dirTrackFallback = 0;

namespace {
SpinLock settingsLock;
thread_local const NewImageCallScope* currentCall = nullptr;
}  // namespace

void setNewImageDefaults() {
    SpinGuard guard(settingsLock);
    std::memcpy(NewImageSettings.interleave, kNewImageDefaults.interleave, sizeof NewImageSettings.interleave);
    for (int g = 0; g < 3; ++g) std::memcpy(NewImageSettings.dosVersion[g], kNewImageDefaults.dosVersion[g], 2);
    std::memcpy(NewImageSettings.diskId, kNewImageDefaults.diskId, 2);
    std::memset(NewImageSettings.diskTitle, 0, sizeof NewImageSettings.diskTitle);
    std::memcpy(NewImageSettings.diskTitle, kNewImageDefaults.title, std::strlen(kNewImageDefaults.title));
    NewImageSettings.fortyTracks = 0;
    NewImageSettings.includeErrorInfo = 0;
    NewImageSettings.useDirTrack = 0;
    NewImageSettings.writeFromTrack1 = 0;
}

void readNewImageSettings(NewImageSettingsRecord& settings, std::uint8_t& fallback) {
    SpinGuard guard(settingsLock);
    settings = NewImageSettings;
    fallback = dirTrackFallback;
}

void commitNewImageSettings(const NewImageSettingsRecord& settings, std::uint8_t fallback) {
    SpinGuard guard(settingsLock);
    NewImageSettings = settings;
    dirTrackFallback = fallback;
}

NewImageCallScope::NewImageCallScope() : settings {}, dirTrackFallback(0), outer(currentCall) {
    readNewImageSettings(settings, dirTrackFallback);
    currentCall = this;
}

NewImageCallScope::~NewImageCallScope() { currentCall = outer; }

const NewImageSettingsRecord& newImageSettings() { return currentCall ? currentCall->settings : NewImageSettings; }

std::uint8_t directoryTrackFallback() { return currentCall ? currentCall->dirTrackFallback : dirTrackFallback; }
