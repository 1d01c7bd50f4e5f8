#include "core/new_image_settings.h"

#include <cstring>

const NewImageDefaults kNewImageDefaults = {
    {{0, 3, 10}, {3, 1, 1}, {1, 1, 1}},
    "OMBRIX DISK",
    "00",
    {"2A", "2C", "3D"},
};

NewImageSettingsRecord NewImageSettings = {};
std::uint8_t dirTrackFallback = 0;

void setNewImageDefaults() {
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
